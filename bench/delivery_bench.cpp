// What the sender's book of receipts costs for one long multi-line message to many current
// copies: every line to every computer waits for its receipt, the receipts come back 64
// ids at a time, and after each the session looks for the next retry (as it does).

#include "messaging/delivery.h"

#include <benchmark/benchmark.h>

using namespace kalvento::messaging;

namespace {

void BM_LongMessageReceipts(benchmark::State& state) {
    const int lines = int(state.range(0));
    const int computers = int(state.range(1));
    QStringList names;
    for (int c = 0; c < computers; ++c)
        names.append(QStringLiteral("PC%1").arg(c));
    const QByteArray plain(120, 'x');
    for (auto _ : state) {
        DeliveryTracker tracker;
        const quint64 item = tracker.newItem();
        for (const QString& name : std::as_const(names)) {
            for (int l = 0; l < lines; ++l)
                tracker.expect(item, name, quint64(l) + 1, plain, false);
            benchmark::DoNotOptimize(tracker.nextDue());
        }
        for (const QString& name : std::as_const(names)) {
            for (int first = 0; first < lines; first += kMaxReceiptIds) {
                Receipt receipt;
                for (int l = first; l < std::min(lines, first + kMaxReceiptIds); ++l)
                    receipt.ids.append(quint64(l) + 1);
                benchmark::DoNotOptimize(tracker.receipt(name, receipt));
                benchmark::DoNotOptimize(tracker.nextDue());
            }
        }
        benchmark::DoNotOptimize(tracker.due(nullptr));
    }
    state.counters["datagrams"] = double(lines) * computers;
}
BENCHMARK(BM_LongMessageReceipts)
    ->Args({40, 60})
    ->Args({390, 60})
    ->Args({330, 60}) // about the 20,000 datagrams the book keeps at most
    ->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
