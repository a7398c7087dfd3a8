// What a transfer costs one core, stage by stage:
//   - BLAKE2b over one 1 MiB chunk in memory, and the stream's sealing and opening of one
//     (each side does one of each per chunk: their sum is the ceiling of one core);
//   - hashFiles over a file of 4 and of 256 MiB and over 10,000 files of 4 KB in the page
//     cache, so that what is measured is the reading and hashing and not the disk (the
//     threads share the work: the time is the wall clock's);
//   - receiving small files into a save folder: checking, writing, naming, and the sync at
//     the end, per file (the file system's part of many small files), and the bare system
//     calls of the same, its floor (run it with TMPDIR on the file system to measure);
//   - decoding a hostile manifest near the size limit.

#include "transfer/manifest_builder.h"
#include "transfer/save_folder.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <benchmark/benchmark.h>
#include <sodium.h>

#include <memory>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace kalvento::transfer;

namespace {

void BM_ChunkHash(benchmark::State& state) {
    const QByteArray chunk(qsizetype(kChunkSize), 'c');
    for (auto _ : state)
        benchmark::DoNotOptimize(chunkHash(chunk));
    state.SetBytesProcessed(qint64(state.iterations()) * qint64(kChunkSize));
}
BENCHMARK(BM_ChunkHash)->Unit(benchmark::kMicrosecond);

// One chunk sealed (state.range(0) == 0) or opened (1) as a record of the stream is.
void BM_StreamChunk(benchmark::State& state) {
    const bool open = state.range(0) != 0;
    std::vector<unsigned char> key(crypto_secretstream_xchacha20poly1305_KEYBYTES);
    randombytes_buf(key.data(), key.size());
    std::vector<unsigned char> plain(kChunkSize, 'c');
    std::vector<unsigned char> sealed(kChunkSize + crypto_secretstream_xchacha20poly1305_ABYTES);
    unsigned char header[crypto_secretstream_xchacha20poly1305_HEADERBYTES];
    crypto_secretstream_xchacha20poly1305_state push{}, pull{};
    crypto_secretstream_xchacha20poly1305_init_push(&push, header, key.data());
    crypto_secretstream_xchacha20poly1305_init_pull(&pull, header, key.data());
    const unsigned char type = 'C';
    const auto seal = [&] {
        crypto_secretstream_xchacha20poly1305_push(&push, sealed.data(), nullptr, plain.data(),
                                                   plain.size(), &type, 1, 0);
    };
    for (auto _ : state) {
        if (open) {
            state.PauseTiming();
            seal();
            state.ResumeTiming();
            unsigned char tag = 0;
            if (crypto_secretstream_xchacha20poly1305_pull(&pull, plain.data(), nullptr, &tag,
                                                           sealed.data(), sealed.size(), &type,
                                                           1) != 0)
                state.SkipWithError("a record did not open");
        } else {
            seal();
        }
        benchmark::DoNotOptimize(sealed.data());
    }
    state.SetBytesProcessed(qint64(state.iterations()) * qint64(kChunkSize));
}
BENCHMARK(BM_StreamChunk)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

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
BENCHMARK(BM_HashFiles)->Arg(4)->Arg(256)->Unit(benchmark::kMillisecond)->UseRealTime();

// state.range(0) files of 4 KB, 100 to a folder, in the page cache: reading and hashing a
// folder of small files.
void BM_HashSmallFiles(benchmark::State& state) {
    QTemporaryDir dir;
    const QByteArray content(4096, 's');
    for (qint64 i = 0; i < state.range(0); ++i) {
        const QString folder = dir.filePath(QStringLiteral("d%1").arg(i % 100));
        QDir().mkpath(folder);
        QFile file(folder + QStringLiteral("/f%1").arg(i));
        if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size()) {
            state.SkipWithError("cannot write the files");
            return;
        }
    }
    QString error;
    const auto listed = listFiles({dir.path()}, &error);
    if (!listed) {
        state.SkipWithError(error.toStdString().c_str());
        return;
    }
    for (auto _ : state) {
        const auto hashed = hashFiles(*listed, {}, {}, &error);
        if (!hashed) {
            const std::string why = error.toStdString();
            state.SkipWithError(why.c_str());
            break;
        }
        benchmark::DoNotOptimize(hashed);
    }
    state.SetItemsProcessed(qint64(state.iterations()) * state.range(0));
}
BENCHMARK(BM_HashSmallFiles)->Arg(10000)->Unit(benchmark::kMillisecond)->UseRealTime();

// state.range(0) files of 4 KB received into a fresh save folder, 100 to a folder, as the
// receiver does it: each opened, its one chunk checked and written, then named once a sync
// (in the background every 4 MiB, and at the end) has put it on the disk. Reported per file.
void BM_ReceiveSmallFiles(benchmark::State& state) {
    const qint64 count = state.range(0);
    std::vector<FileEntry> entries;
    std::vector<QByteArray> contents;
    for (qint64 i = 0; i < count; ++i) {
        QByteArray bytes(4096, Qt::Uninitialized);
        randombytes_buf(bytes.data(), std::size_t(bytes.size()));
        FileEntry entry;
        entry.path = QStringLiteral("d%1/f%2").arg(i % 100, 2, 10, QChar(u'0')).arg(i).toUtf8();
        entry.size = quint64(bytes.size());
        entry.modified = 1'700'000'000;
        entry.chunks = {chunkHash(bytes)};
        entry.hash = fileHash(entry.size, entry.chunks);
        entries.push_back(entry);
        contents.push_back(bytes);
    }
    TransferId id{};
    int round = 0;
    for (auto _ : state) {
        state.PauseTiming();
        auto dir = std::make_unique<QTemporaryDir>();
        QString error;
        std::optional<SaveFolder> folder = SaveFolder::open(dir->path(), &error);
        if (!folder) {
            state.SkipWithError(error.toStdString().c_str());
            break;
        }
        id[0] = char(++round);
        state.ResumeTiming();
        std::optional<BackgroundSync> background(std::in_place, *folder);
        for (size_t i = 0; i < entries.size(); ++i) {
            const FileEntry& entry = entries[i];
            benchmark::DoNotOptimize(folder->alreadyThere(entry));
            std::unique_ptr<PartFile> part = folder->openPart(entry, id, &error);
            if (!part) {
                state.SkipWithError(error.toStdString().c_str());
                break;
            }
            const bool written = part->writeChunk(0, contents[i], &error);
            if (!written ||
                !(part->syncedWithFolder() ? background->hold(std::move(part), i, &error)
                                           : part->finish(&error).has_value())) {
                state.SkipWithError(error.toStdString().c_str());
                break;
            }
        }
        if (!background->finish(&error))
            state.SkipWithError(error.toStdString().c_str());
        state.PauseTiming();
        background.reset();
        folder.reset();
        dir.reset(); // removing the files is not receiving them
        state.ResumeTiming();
    }
    state.SetItemsProcessed(qint64(state.iterations()) * count);
}
BENCHMARK(BM_ReceiveSmallFiles)
    ->Arg(1000)
    ->Arg(10000)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// The floor under BM_ReceiveSmallFiles: the bare system calls that put a file of 4 KB
// under its name with its time and nothing left by a crash (an unnamed file, written,
// timed, linked, closed), 100 to a folder, one sync at the end. No checks, no hashing.
void BM_BareSmallFiles(benchmark::State& state) {
    const qint64 count = state.range(0);
    const QByteArray content(4096, 'b');
    const struct timespec times[2] = {{0, UTIME_NOW}, {1'700'000'000, 0}};
    for (auto _ : state) {
        state.PauseTiming();
        auto dir = std::make_unique<QTemporaryDir>();
        std::vector<int> folders;
        for (int i = 0; i < 100; ++i) {
            const QByteArray name = QFile::encodeName(dir->filePath(QString::number(i)));
            ::mkdir(name.constData(), 0755);
            folders.push_back(::open(name.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        }
        state.ResumeTiming();
        for (qint64 i = 0; i < count; ++i) {
            const int folder = folders[std::size_t(i % 100)];
            const int fd = ::openat(folder, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0644);
            const QByteArray name = "f" + QByteArray::number(i);
            if (fd < 0 || ::pwrite(fd, content.constData(), std::size_t(content.size()), 0) < 0 ||
                ::futimens(fd, times) != 0 ||
                ::linkat(fd, "", folder, name.constData(), AT_EMPTY_PATH) != 0) {
                state.SkipWithError("the file system refused a small file");
                break;
            }
            ::close(fd);
        }
        ::syncfs(folders.front());
        state.PauseTiming();
        for (const int folder : folders)
            ::close(folder);
        dir.reset();
        state.ResumeTiming();
    }
    state.SetItemsProcessed(qint64(state.iterations()) * count);
}
BENCHMARK(BM_BareSmallFiles)->Arg(10000)->Unit(benchmark::kMillisecond)->UseRealTime();

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
