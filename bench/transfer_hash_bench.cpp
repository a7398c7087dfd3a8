// The speed of reading and hashing files to send: BLAKE2b over one 1 MiB chunk in memory
// (the ceiling), then hashFiles over a file of 4 and of 256 MiB in the page cache, so that
// what is measured is the reading and hashing and not the disk.

#include "transfer/manifest_builder.h"

#include <QFile>
#include <QTemporaryDir>
#include <benchmark/benchmark.h>

using namespace kalvento::transfer;

namespace {

void BM_ChunkHash(benchmark::State& state) {
    const QByteArray chunk(qsizetype(kChunkSize), 'c');
    for (auto _ : state)
        benchmark::DoNotOptimize(chunkHash(chunk));
    state.SetBytesProcessed(qint64(state.iterations()) * qint64(kChunkSize));
}
BENCHMARK(BM_ChunkHash)->Unit(benchmark::kMicrosecond);

void BM_HashFiles(benchmark::State& state) {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("data.bin"));
    {
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly)) {
            state.SkipWithError("cannot write the file");
            return;
        }
        QByteArray block(qsizetype(kChunkSize), '\0');
        for (qint64 mib = 0; mib < state.range(0); ++mib) {
            block.fill(char(mib));
            file.write(block);
        }
    }
    QString error;
    const auto listed = listFiles({path}, &error);
    if (!listed) {
        state.SkipWithError(error.toStdString().c_str());
        return;
    }
    for (auto _ : state) {
        const auto hashed = hashFiles(*listed, {}, {}, &error);
        if (!hashed)
            state.SkipWithError(error.toStdString().c_str());
        benchmark::DoNotOptimize(hashed);
    }
    state.SetBytesProcessed(qint64(state.iterations()) * state.range(0) * qint64(kChunkSize));
}
BENCHMARK(BM_HashFiles)->Arg(4)->Arg(256)->Unit(benchmark::kMillisecond);

// A hostile manifest near the size limit: files of 0 bytes, each under its own chain of
// folders nested as deep as a path allows, which a receiver must check for clashes.
void BM_DecodeDeepManifest(benchmark::State& state) {
    Manifest manifest;
    QByteArray chain;
    while (chain.size() + 2 < kMaxPathBytes - 16)
        chain += "/a";
    for (qint64 i = 0; i < state.range(0); ++i) {
        FileEntry file;
        file.path = "f" + QByteArray::number(i) + chain;
        file.hash = fileHash(0, {});
        manifest.files.push_back(file);
    }
    const QByteArray bytes = encodeManifest(manifest);
    for (auto _ : state) {
        QString error;
        const auto decoded = decodeManifest(bytes, &error);
        if (!decoded)
            state.SkipWithError(error.toStdString().c_str());
        benchmark::DoNotOptimize(decoded);
    }
    state.SetBytesProcessed(qint64(state.iterations()) * bytes.size());
}
BENCHMARK(BM_DecodeDeepManifest)->Arg(16)->Arg(15000)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
