// The HTTP client against curl on the same loopback server and file: download speed, CPU
// time per megabyte, resident memory during the download, and the CPU a request costs
// while it waits for a slow server.
//
// KALVENTO_BENCH_DOWNLOAD_MB sets the file's size (256 by default) and
// KALVENTO_BENCH_WAIT_S how long the slow server waits (5 by default).

#include "http/http_client.h"

#include "run_benchmarks.h"
#include "support/http_servers.h"

#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QUrl>

using namespace kalvento::http;

namespace {

int envNumber(const char* name, int fallback) {
    bool ok = false;
    const int value = qEnvironmentVariableIntValue(name, &ok);
    return ok && value > 0 ? value : fallback;
}

using kalvento::bench::cpuSeconds;
using kalvento::bench::residentMegabytes;

struct Setup {
    QTemporaryDir dir;
    kalvento::test::ScriptedHttpServer server;
    QString file;
    qint64 size = 0;
    bool ready = false;

    Setup() {
        size = qint64(envNumber("KALVENTO_BENCH_DOWNLOAD_MB", 256)) * 1024 * 1024;
        file = dir.path() + QStringLiteral("/source.bin");
        QFile source(file);
        if (!source.open(QIODevice::WriteOnly))
            return;
        QByteArray block(1 << 20, Qt::Uninitialized);
        for (int i = 0; i < block.size(); ++i)
            block[i] = char((i * 7919) % 251);
        for (qint64 written = 0; written < size; written += block.size())
            source.write(block);
        source.close();
        ready = server.start();
    }
    QString url() const {
        return server.url(QStringLiteral("/file?path=") +
                          QString::fromLatin1(QUrl::toPercentEncoding(file)));
    }
};

Setup& setup() {
    static Setup instance;
    return instance;
}

void BM_DownloadKalvento(benchmark::State& state) {
    Setup& s = setup();
    if (!s.ready) {
        state.SkipWithError("the server did not start");
        return;
    }
    for (auto _ : state) {
        QFile target(s.dir.path() + QStringLiteral("/kalvento.bin"));
        target.open(QIODevice::WriteOnly | QIODevice::Truncate);
        THttpCli http;
        http.SetURL(s.url());
        http.SetDocumentStream(&target);
        const double startRss = residentMegabytes();
        double peakRss = startRss;
        qint64 nextSample = 0;
        http.SetOnDocData([&](THttpCli* sender, const char*, int) {
            if (sender->ReceivedBytes() >= nextSample) {
                peakRss = qMax(peakRss, residentMegabytes());
                nextSample += 1 << 20;
            }
        });
        const double cpuBefore = cpuSeconds(RUSAGE_SELF);
        QElapsedTimer clock;
        clock.start();
        http.GetSync();
        const double seconds = double(clock.nsecsElapsed()) / 1e9;
        const double cpu = cpuSeconds(RUSAGE_SELF) - cpuBefore;
        target.close();
        const double megabytes = double(http.ReceivedBytes()) / (1024.0 * 1024.0);
        if (http.ReceivedBytes() != s.size)
            state.SkipWithError("the download is incomplete");
        state.SetIterationTime(seconds);
        state.counters["MB_per_s"] = megabytes / seconds;
        state.counters["cpu_ms_per_MB"] = cpu * 1000.0 / megabytes;
        state.counters["rss_growth_MB"] = peakRss - startRss;
    }
}

void BM_DownloadCurl(benchmark::State& state) {
    Setup& s = setup();
    const QString curl = QStandardPaths::findExecutable(QStringLiteral("curl"));
    if (!s.ready || curl.isEmpty()) {
        state.SkipWithError("curl or the server is missing");
        return;
    }
    for (auto _ : state) {
        QProcess process;
        const double cpuBefore = cpuSeconds(RUSAGE_CHILDREN);
        QElapsedTimer clock;
        clock.start();
        process.start(curl, {QStringLiteral("-s"), QStringLiteral("-o"),
                             s.dir.path() + QStringLiteral("/curl.bin"), s.url()});
        process.waitForFinished(-1);
        const double seconds = double(clock.nsecsElapsed()) / 1e9;
        const double cpu = cpuSeconds(RUSAGE_CHILDREN) - cpuBefore;
        const double megabytes = double(s.size) / (1024.0 * 1024.0);
        state.SetIterationTime(seconds);
        state.counters["MB_per_s"] = megabytes / seconds;
        state.counters["cpu_ms_per_MB"] = cpu * 1000.0 / megabytes;
    }
}

// A request to a server that answers only after a while: the wait sleeps in the event loop.
void BM_WaitForASlowServer(benchmark::State& state) {
    Setup& s = setup();
    if (!s.ready) {
        state.SkipWithError("the server did not start");
        return;
    }
    const int delay = envNumber("KALVENTO_BENCH_WAIT_S", 5);
    for (auto _ : state) {
        THttpCli http;
        http.SetURL(s.server.url(QStringLiteral("/slow?delay=%1").arg(delay)));
        const double cpuBefore = cpuSeconds(RUSAGE_SELF);
        QElapsedTimer clock;
        clock.start();
        http.GetSync();
        const double seconds = double(clock.nsecsElapsed()) / 1e9;
        state.SetIterationTime(seconds);
        state.counters["core_percent"] = (cpuSeconds(RUSAGE_SELF) - cpuBefore) * 100.0 / seconds;
    }
}

BENCHMARK(BM_DownloadKalvento)->Iterations(3)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DownloadCurl)->Iterations(3)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WaitForASlowServer)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv) {
    // Names the tests make up must never reach a DNS server: with the program restricted
    // to loopback the resolver reads the hosts file only.
    qputenv("KALVENTO_INTERFACES", "lo");
    QCoreApplication app(argc, argv);
    return kalvento::bench::runBenchmarks(argc, argv);
}
