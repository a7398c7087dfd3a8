#pragma once

// What BENCHMARK_MAIN does, for benchmarks whose main() first creates a Qt application, and
// the process's own CPU time and resident memory for their counters.

#include <benchmark/benchmark.h>

#include <QByteArray>
#include <QFile>

#include <sys/resource.h>

namespace kalvento::bench {

inline int runBenchmarks(int& argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}

// CPU seconds (user and system) of this process, or of its waited-for children.
inline double cpuSeconds(int who = RUSAGE_SELF) {
    rusage usage{};
    getrusage(who, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// VmRSS of this process in MiB.
inline double residentMegabytes() {
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').first().toDouble() / 1024;
    }
    return 0;
}

} // namespace kalvento::bench
