// Throughput of the chat payload's encoding and decoding, in plain-text bytes per second.

#include "messaging/chat_protocol.h"

#include <benchmark/benchmark.h>

using namespace kalvento::messaging;

namespace {

QByteArray sampleText(qsizetype size) {
    QByteArray text(size, Qt::Uninitialized);
    for (qsizetype i = 0; i < size; ++i)
        text[i] = char(1 + (i * 131 + 7) % 255); // every non-zero byte value
    return text;
}

void BM_EncodeText(benchmark::State& state) {
    const QByteArray plain = sampleText(state.range(0));
    for (auto _ : state)
        benchmark::DoNotOptimize(EncodeText(plain));
    state.SetBytesProcessed(state.iterations() * plain.size());
}

void BM_DecodeText(benchmark::State& state) {
    const QByteArray encoded = EncodeText(sampleText(state.range(0)));
    for (auto _ : state)
        benchmark::DoNotOptimize(DecodeText(encoded));
    // Counted in plain-text bytes, like the encoder, so the two figures compare.
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

} // namespace

BENCHMARK(BM_EncodeText)->Arg(64)->Arg(32764)->Arg(1 << 20);
BENCHMARK(BM_DecodeText)->Arg(64)->Arg(32764)->Arg(1 << 20);
BENCHMARK_MAIN();
