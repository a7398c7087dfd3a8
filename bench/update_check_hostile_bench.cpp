// The update check against hostile servers on loopback: for each answer, how long the check
// takes to end, the processor time it costs, how far resident memory grows (at its peak and
// after the check), the connections it makes and the longest the event loop stood still.
// A check still running after KALVENTO_BENCH_CAP_S seconds (40 by default) is aborted, as a
// user would; "capped" then says so.
//
// Run by hand: build/bench/update_check_hostile_bench (the one-byte-every-5-s server takes
// as long as the check lets it).

#include "update/update_check.h"

#include "http/http_client.h"
#include "run_benchmarks.h"
#include "support/http_servers.h"

#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTimer>

using namespace kalvento;

namespace {

using bench::cpuSeconds;
using bench::residentMegabytes;

// VmHWM (the peak of VmRSS) in MiB; ResetPeak starts a new peak from the current size.
double peakMegabytes() {
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').first().toDouble() / 1024;
    }
    return 0;
}

void resetPeak() {
    QFile clear(QStringLiteral("/proc/self/clear_refs"));
    if (clear.open(QIODevice::WriteOnly))
        clear.write("5");
}

test::ScriptedHttpServer& server() {
    static test::ScriptedHttpServer instance;
    static const bool started = instance.start();
    Q_UNUSED(started);
    return instance;
}

void BM_UpdateCheck(benchmark::State& state, const char* path) {
    test::ScriptedHttpServer& s = server();
    if (s.port() == 0) {
        state.SkipWithError("the server did not start");
        return;
    }
    bool capOk = false;
    int cap = qEnvironmentVariableIntValue("KALVENTO_BENCH_CAP_S", &capOk);
    if (!capOk || cap <= 0)
        cap = 40;
    for (auto _ : state) {
        QTemporaryDir dir;
        settings::Settings settings = settings::Settings::defaults(dir.path());
        settings.saveUpdateDirectory = dir.path() + QStringLiteral("/updates/");
        settings.updateAddress = s.url(QString::fromLatin1(path));
        update::UpdateCheck check;

        QElapsedTimer clock;
        qint64 last = 0;
        qint64 worstGap = 0;
        QTimer ticker;
        ticker.setInterval(10);
        QObject::connect(&ticker, &QTimer::timeout, [&] {
            worstGap = qMax(worstGap, clock.elapsed() - last);
            last = clock.elapsed();
        });
        bool capped = false;
        QTimer limit;
        limit.setSingleShot(true);
        QObject::connect(&limit, &QTimer::timeout, [&] {
            capped = true;
            check.abort();
        });

        const int requestsBefore = s.requestCount();
        const double rssBefore = residentMegabytes();
        resetPeak();
        const double cpuBefore = cpuSeconds(RUSAGE_SELF);
        clock.start();
        ticker.start();
        limit.start(cap * 1000);
        check.run(settings);
        const double seconds = double(clock.nsecsElapsed()) / 1e9;
        worstGap = qMax(worstGap, clock.elapsed() - last);
        ticker.stop();
        limit.stop();
        const double cpu = cpuSeconds(RUSAGE_SELF) - cpuBefore;
        const double peak = peakMegabytes();
        QCoreApplication::processEvents();
        const double rssAfter = residentMegabytes();

        state.SetIterationTime(seconds);
        state.counters["cpu_s"] = cpu;
        state.counters["peak_rss_growth_MB"] = peak - rssBefore;
        state.counters["rss_after_growth_MB"] = rssAfter - rssBefore;
        state.counters["connections"] = s.requestCount() - requestsBefore;
        state.counters["worst_gap_ms"] = double(worstGap);
        state.counters["capped"] = capped ? 1 : 0;
        state.counters["files_left"] =
            double(QDir(settings.saveUpdateDirectory).entryList(QDir::Files).size());
        state.SetLabel(check.status().left(90).toStdString());
    }
}

BENCHMARK_CAPTURE(BM_UpdateCheck, cut_redirect, "/cutredirect")
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_UpdateCheck, redirect_loop, "/loop")
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_UpdateCheck, endless_header_512MB, "/endless")
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_UpdateCheck, description_256MB, "/huge/268435456")
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_UpdateCheck, description_256MB_no_length, "/huge/268435456?length=0")
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_UpdateCheck, chunked_description, "/chunked")
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_UpdateCheck, byte_every_5s, "/trickle?interval=5000&count=100")
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv) {
    // Names must never reach a DNS server: restricted to loopback, the resolver reads the
    // hosts file only.
    qputenv("KALVENTO_INTERFACES", "lo");
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QCoreApplication app(argc, argv);
    return kalvento::bench::runBenchmarks(argc, argv);
}
