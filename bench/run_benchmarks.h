#pragma once

// What BENCHMARK_MAIN does, for benchmarks whose main() first creates a Qt application.

#include <benchmark/benchmark.h>

namespace kalvento::bench {

inline int runBenchmarks(int& argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}

} // namespace kalvento::bench
