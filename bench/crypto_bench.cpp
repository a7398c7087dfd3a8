// The cost of signing and sealing the chat: a line sealed and opened, a greeting signed and
// verified, the pair keys derived for a newly seen computer, and one public line sealed
// for each of 1,000 computers.

#include "crypto/identity_key.h"
#include "crypto/sealing.h"
#include "messaging/chat_protocol.h"
#include "messaging/envelope.h"

#include <QFile>
#include <benchmark/benchmark.h>

#include <vector>

using namespace kalvento;
using namespace kalvento::messaging;

namespace {

const QByteArray kLine = "Lunch at twelve in the usual place? The one by the river, not the other.";

void BM_SealLine(benchmark::State& state) {
    const auto a = crypto::IdentityKey::generate();
    const auto b = crypto::IdentityKey::generate();
    const auto ab = *crypto::PairKeys::derive(a, b.publicKey());
    const EnvelopeContext context{1, "PC1", "PC2"};
    std::uint64_t counter = 0;
    for (auto _ : state)
        benchmark::DoNotOptimize(sealedPayload(a, ab, ++counter, context, kLine));
}
BENCHMARK(BM_SealLine);

void BM_OpenLine(benchmark::State& state) {
    const auto a = crypto::IdentityKey::generate();
    const auto b = crypto::IdentityKey::generate();
    const auto ab = *crypto::PairKeys::derive(a, b.publicKey());
    const auto ba = *crypto::PairKeys::derive(b, a.publicKey());
    const EnvelopeContext context{1, "PC1", "PC2"};
    const QByteArray payload = sealedPayload(a, ab, 1, context, kLine);
    for (auto _ : state) {
        const SplitPayload split = splitPayload(payload);
        benchmark::DoNotOptimize(openSealed(*split.envelope, ba, context));
    }
}
BENCHMARK(BM_OpenLine);

void BM_SignGreeting(benchmark::State& state) {
    const auto a = crypto::IdentityKey::generate();
    const EnvelopeContext context{1, "PC1", "WORKGROUP"};
    const QByteArray greeting = greetingText("PC1", "WORKGROUP");
    std::uint64_t counter = 0;
    for (auto _ : state)
        benchmark::DoNotOptimize(signedPayload(a, ++counter, context, greeting));
}
BENCHMARK(BM_SignGreeting);

void BM_VerifyGreeting(benchmark::State& state) {
    const auto a = crypto::IdentityKey::generate();
    const EnvelopeContext context{1, "PC1", "WORKGROUP"};
    const QByteArray greeting = greetingText("PC1", "WORKGROUP");
    const SplitPayload split = splitPayload(signedPayload(a, 1, context, greeting));
    for (auto _ : state)
        benchmark::DoNotOptimize(verifySigned(*split.envelope, context, split.visible));
}
BENCHMARK(BM_VerifyGreeting);

void BM_DerivePairKeys(benchmark::State& state) {
    const auto a = crypto::IdentityKey::generate();
    const auto b = crypto::IdentityKey::generate();
    for (auto _ : state)
        benchmark::DoNotOptimize(crypto::PairKeys::derive(a, b.publicKey()));
}
BENCHMARK(BM_DerivePairKeys);

// A public line to 1,000 computers whose pair keys are known: one seal each.
void BM_PublicLineTo1000(benchmark::State& state) {
    const auto a = crypto::IdentityKey::generate();
    std::vector<crypto::PairKeys> pairs;
    std::vector<QByteArray> names;
    for (int i = 0; i < 1000; ++i) {
        pairs.push_back(*crypto::PairKeys::derive(a, crypto::IdentityKey::generate().publicKey()));
        names.push_back("PC" + QByteArray::number(i));
    }
    std::uint64_t counter = 0;
    for (auto _ : state) {
        for (std::size_t i = 0; i < pairs.size(); ++i)
            benchmark::DoNotOptimize(
                sealedPayload(a, pairs[i], ++counter, EnvelopeContext{1, "PC1", names[i]}, kLine));
    }
}
BENCHMARK(BM_PublicLineTo1000)->Unit(benchmark::kMillisecond);

void BM_LoadIdentityKey(benchmark::State& state) {
    const QString path = QStringLiteral("/tmp/kalvento-bench-identity.key");
    (void)crypto::IdentityKey::generate().save(path);
    for (auto _ : state)
        benchmark::DoNotOptimize(crypto::IdentityKey::loadOrCreate(path));
}
BENCHMARK(BM_LoadIdentityKey);

// The first start: a new key, written to the disk (synced) before it is used.
void BM_CreateIdentityKey(benchmark::State& state) {
    const QString path = QStringLiteral("/tmp/kalvento-bench-new-identity.key");
    for (auto _ : state) {
        state.PauseTiming();
        QFile::remove(path);
        state.ResumeTiming();
        benchmark::DoNotOptimize(crypto::IdentityKey::loadOrCreate(path));
    }
    QFile::remove(path);
}
BENCHMARK(BM_CreateIdentityKey)->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
