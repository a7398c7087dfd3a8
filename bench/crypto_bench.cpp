// The cost of signing and sealing the chat: a line sealed and opened, a greeting signed and
// verified, the pair keys derived for a newly seen computer, and one public line sealed
// for each of 1,000 computers; a public line's own signature, and the history and
// catch-up built on it.

#include "crypto/identity_key.h"
#include "crypto/sealing.h"
#include "messaging/catch_up.h"
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

constexpr quint64 kLineSecond = 1000ull * 1000;
constexpr quint64 kLineStart = 1700000000000000;

// n lines of kLine by key on computer, one a second from first on.
std::vector<SignedLine> signedLines(const crypto::IdentityKey& key, int n, quint64 first,
                                    const QByteArray& computer = "PC1") {
    std::vector<SignedLine> lines;
    for (int i = 0; i < n; ++i) {
        SignedLine line{
            key.publicKey(), first + quint64(i) * kLineSecond, computer, "Anna", kLine, {}};
        line.signature = *signLine(key, line);
        lines.push_back(std::move(line));
    }
    return lines;
}

void BM_SignLine(benchmark::State& state) {
    const auto a = crypto::IdentityKey::generate();
    SignedLine line{a.publicKey(), kLineStart, "PC1", "Anna", kLine, {}};
    for (auto _ : state) {
        ++line.lineId;
        benchmark::DoNotOptimize(signLine(a, line));
    }
}
BENCHMARK(BM_SignLine);

void BM_VerifyLine(benchmark::State& state) {
    const SignedLine line = signedLines(crypto::IdentityKey::generate(), 1, kLineStart).front();
    for (auto _ : state)
        benchmark::DoNotOptimize(verifyLine(line));
}
BENCHMARK(BM_VerifyLine);

// A full history of 500 lines takes 500 newer ones (each checked, the oldest going), then
// offers the newest 200 of them.
void BM_LineHistoryFullRound(benchmark::State& state) {
    const auto a = crypto::IdentityKey::generate();
    const std::vector<SignedLine> older = signedLines(a, LineHistory::kMaxLines, kLineStart);
    const std::vector<SignedLine> newer =
        signedLines(a, LineHistory::kMaxLines, kLineStart + 1000 * kLineSecond);
    LineHistory full;
    for (const SignedLine& line : older)
        full.add(line);
    const quint64 now = kLineStart + 2000 * kLineSecond;
    for (auto _ : state) {
        state.PauseTiming();
        LineHistory history = full;
        state.ResumeTiming();
        for (const SignedLine& line : newer)
            history.add(line);
        benchmark::DoNotOptimize(history.since(0, now));
    }
    // What the kept records of 500 lines of kLine take, beside a 32-byte entry each.
    state.counters["record_bytes"] = double(full.recordBytes());
}
BENCHMARK(BM_LineHistoryFullRound)->Unit(benchmark::kMillisecond);

// The copy catching up takes 1,000 offered lines from two authors, then hands them over.
void BM_CollectThousandLines(benchmark::State& state) {
    const auto a = crypto::IdentityKey::generate();
    const auto b = crypto::IdentityKey::generate();
    std::vector<SignedLine> offered = signedLines(a, 500, kLineStart + 1);
    for (SignedLine& line : signedLines(b, 500, kLineStart + 2, "PC2"))
        offered.push_back(std::move(line));
    const quint64 now = kLineStart + 1000 * kLineSecond;
    auto pinned = [&](const QString& computer) -> std::optional<crypto::PublicKey> {
        return computer == QStringLiteral("PC1") ? a.publicKey() : b.publicKey();
    };
    for (auto _ : state) {
        CatchUpCollector collector(kLineStart, pinned);
        for (const SignedLine& line : offered)
            collector.offer(line, now);
        if (collector.acceptedCount() != int(offered.size()))
            state.SkipWithError("a genuine line was refused");
        benchmark::DoNotOptimize(collector.take());
    }
}
BENCHMARK(BM_CollectThousandLines)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
