// A public line to 1,000 listed computers through the chat core (ChatNode::send): the
// plain form, and sealed for 1,000 pinned keys, with their pair keys known and without.
// The network counts the datagrams and drops them.

#include "counting_network.h"
#include "crypto/identity_key.h"
#include "messaging/chat_node.h"
#include "network/memory_network.h"
#include "run_benchmarks.h"

#include "support/chat_node_probe.h"

#include <QCoreApplication>

#include <benchmark/benchmark.h>

#include <memory>
#include <vector>

using namespace kalvento;

using bench::CountingNetwork;

namespace {

constexpr int kComputers = 1000;
const QString kLine =
    QStringLiteral("Lunch at twelve in the usual place? The one by the river, not the other.");

struct Copy {
    explicit Copy(bool keyed) {
        if (keyed)
            node.setIdentityKey(crypto::IdentityKey::generate());
        test::ChatNodeProbe probe(node);
        for (int i = 0; i < kComputers; ++i) {
            const QString name = QStringLiteral("PC%1").arg(i + 1);
            probe.peers().AnswerReceived(name, QStringLiteral("WG"), i + 1000);
            if (keyed)
                probe.session().guard().book().see(name,
                                                   crypto::IdentityKey::generate().publicKey());
        }
    }
    network::InMemoryHub hub;
    CountingNetwork network{hub, QStringLiteral("PC0"), QStringLiteral("WG")};
    messaging::ChatNode node{network};
};

void BM_NodePublicLineTo1000(benchmark::State& state) {
    const bool keyed = state.range(0) != 0;
    Copy copy(keyed);
    copy.node.send({kLine}, false, false); // the pair keys of every computer
    copy.network.sent = 0;
    for (auto _ : state)
        benchmark::DoNotOptimize(copy.node.send({kLine}, false, false));
    state.counters["datagrams"] =
        benchmark::Counter(double(copy.network.sent), benchmark::Counter::kAvgIterations);
    state.SetLabel(keyed ? "sealed" : "plain");
}
BENCHMARK(BM_NodePublicLineTo1000)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

// The worst first line: 1,000 keys pinned whose pair keys were never derived (reception
// derives them as each greeting or answer comes, so a real copy does not meet this).
void BM_NodeFirstSealedLineTo1000(benchmark::State& state) {
    for (auto _ : state) {
        state.PauseTiming();
        auto copy = std::make_unique<Copy>(true);
        state.ResumeTiming();
        benchmark::DoNotOptimize(copy->node.send({kLine}, false, false));
        state.PauseTiming();
        copy.reset();
        state.ResumeTiming();
    }
}
BENCHMARK(BM_NodeFirstSealedLineTo1000)->Unit(benchmark::kMillisecond)->Iterations(5);

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    return kalvento::bench::runBenchmarks(argc, argv);
}
