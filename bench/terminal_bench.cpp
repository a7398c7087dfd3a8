// Reception throughput of the terminal: header parsing, the per-sender filter and the
// hand-over to the owner, on the in-memory network.

#include "messaging/mailslot_terminal.h"
#include "network/memory_network.h"

#include <QCoreApplication>
#include <QtEndian>

#include <benchmark/benchmark.h>

using namespace kalvento::messaging;
using namespace kalvento::platform;
using namespace kalvento::network;

namespace {

constexpr int kDatagrams = 100000;
constexpr int kSenders = 1000;

// state.range(0): copies of each datagram, as several network transports deliver them.
void BM_TerminalReception(benchmark::State& state) {
    InMemoryHub hub;
    hub.setCopiesPerDelivery(int(state.range(0)));
    InMemoryNetwork receiving(hub, "PC1", "WORK");
    InMemoryNetwork sending(hub, "PC2", "WORK");
    TMailslotTerminal terminal(receiving);
    quint64 delivered = 0;
    quint64 payloadBytes = 0;
    terminal.SetOnNewMessage([&](TMailslotTerminal* sender, qint32, quint16 size) {
        ++delivered;
        payloadBytes += quint64(sender->ReceiveStream().Read(size).size());
    });

    // A typical chat line.
    QByteArray datagram(8, '\0');
    datagram += "PC2: Lunch at twelve in the usual place?";
    quint32 round = 0;
    for (auto _ : state) {
        state.PauseTiming();
        for (int i = 0; i < kDatagrams; ++i) {
            qToLittleEndian(quint32(0x1000 + i % kSenders), datagram.data());
            qToLittleEndian(quint32(round * kDatagrams / kSenders + i / kSenders + 1),
                            datagram.data() + 4);
            sending.send(AddressKind::Named, "PC1", "Terminal", datagram);
        }
        ++round;
        state.ResumeTiming();
        terminal.ReceiveMessages();
    }
    if (delivered != quint64(round) * kDatagrams)
        state.SkipWithError("a datagram was lost or delivered twice");
    state.SetItemsProcessed(state.iterations() * kDatagrams * state.range(0));
    state.counters["senders"] = double(terminal.SenderTable().size());
    benchmark::DoNotOptimize(payloadBytes);
}

} // namespace

BENCHMARK(BM_TerminalReception)->Arg(1)->Arg(3)->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv); // the terminal's poll timer needs one
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
