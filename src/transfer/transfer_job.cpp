#include "transfer/transfer_job.h"

#include "platform/text_codec.h"
#include "platform/trace.h"
#include "transfer/save_folder.h"

#include <sodium.h>

#include <QFile>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace kalvento::transfer {

namespace {

// How long a side that sent its last record waits for the other to close.
constexpr std::chrono::milliseconds kFinishWait{2000};

// Verified bytes are reported back at least this often.
constexpr quint64 kAckStride = quint64{8} << 20;

quint32 read32(const char* p) {
    const auto* u = reinterpret_cast<const unsigned char*>(p);
    return (quint32(u[0]) << 24) | (quint32(u[1]) << 16) | (quint32(u[2]) << 8) | quint32(u[3]);
}

quint64 read64(const char* p) {
    return (quint64(read32(p)) << 32) | read32(p + 4);
}

void put32(QByteArray& out, quint32 value) {
    const char bytes[4] = {char(value >> 24), char(value >> 16), char(value >> 8), char(value)};
    out.append(bytes, 4);
}

void put64(QByteArray& out, quint64 value) {
    put32(out, quint32(value >> 32));
    put32(out, quint32(value));
}

QString hex(const unsigned char* bytes, size_t size) {
    return QString::fromLatin1(
        QByteArray(reinterpret_cast<const char*>(bytes), qsizetype(size)).toHex());
}

// A record that ends the stream from the other side, as an outcome; nullopt for any other.
std::optional<JobOutcome> endFromOtherSide(char type, const QByteArray& payload) {
    JobOutcome outcome;
    outcome.byOtherSide = true;
    const QString reason = QString::fromUtf8(platform::cutAtCharacter(payload, kMaxReasonBytes));
    switch (type) {
    case 'P':
        outcome.kind = JobOutcome::Kind::Paused;
        outcome.reason = QStringLiteral("paused by the other computer");
        return outcome;
    case 'K':
        outcome.kind = JobOutcome::Kind::Cancelled;
        outcome.reason =
            reason.isEmpty() ? QStringLiteral("cancelled by the other computer") : reason;
        return outcome;
    case 'X':
        outcome.kind = JobOutcome::Kind::Failed;
        outcome.reason = reason.isEmpty() ? QStringLiteral("failed at the other computer") : reason;
        return outcome;
    default:
        return std::nullopt;
    }
}

// What this side asked for (pause or cancel), sent as the final record: an outcome, or
// nullopt when nothing was asked.
std::optional<JobOutcome> takeRequest(Channel& channel, JobState& state,
                                      const std::stop_token& stop) {
    const int request = state.request.load();
    if (request == JobState::None)
        return std::nullopt;
    JobOutcome outcome;
    try {
        if (request == JobState::Pause) {
            outcome.kind = JobOutcome::Kind::Paused;
            channel.send('P', {}, stop, true);
        } else {
            outcome.kind = JobOutcome::Kind::Cancelled;
            channel.send('K', QByteArrayView("cancelled by the other computer"), stop, true);
        }
        channel.socket().finish(kFinishWait);
    } catch (const ChannelError&) {
    }
    return outcome;
}

// This side fails for good: the other is told why.
JobOutcome fail(Channel& channel, const QString& reason, const std::stop_token& stop) {
    try {
        channel.send('X', platform::toWire(reason, kMaxReasonBytes), stop, true);
        channel.socket().finish(kFinishWait);
    } catch (const ChannelError&) {
    }
    return {JobOutcome::Kind::Failed, reason, false, {}, {}, {}};
}

JobOutcome interrupted(const ChannelError& error) {
    return {JobOutcome::Kind::Interrupted, error.text, false, {}, {}, {}};
}

// A readable name of a manifest path for messages: control characters escaped.
QString shown(const QByteArray& path) {
    return platform::escapeControls(QString::fromUtf8(path));
}

} // namespace

QByteArray manifestHash(QByteArrayView manifestBytes) {
    const Hash hash = chunkHash(manifestBytes); // the same BLAKE2b-256, over the whole
    return QByteArray(reinterpret_cast<const char*>(hash.data()), kHashSize);
}

QString fileSha256(const QString& path) {
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return {};
    crypto_hash_sha256_state sha;
    crypto_hash_sha256_init(&sha);
    std::unique_ptr<unsigned char[]> buffer(new unsigned char[kChunkSize]);
    for (;;) {
        const ssize_t n = ::read(fd, buffer.get(), kChunkSize);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            ::close(fd);
            return {};
        }
        if (n == 0)
            break;
        crypto_hash_sha256_update(&sha, buffer.get(), quint64(n));
    }
    ::close(fd);
    unsigned char digest[crypto_hash_sha256_BYTES];
    crypto_hash_sha256_final(&sha, digest);
    return hex(digest, sizeof digest);
}

JobOutcome runSender(Channel& channel, const SenderSetup& setup, JobState& state,
                     const std::stop_token& stop) {
    const Manifest& manifest = setup.files->manifest;
    QByteArray payload;
    try {
        QByteArray length;
        put32(length, quint32(setup.manifestBytes.size()));
        channel.send('H', length, stop);
        for (qsizetype at = 0; at < setup.manifestBytes.size(); at += kChunkSize)
            channel.send(
                'M',
                QByteArrayView(setup.manifestBytes)
                    .sliced(at)
                    .first(std::min<qsizetype>(kChunkSize, setup.manifestBytes.size() - at)),
                stop);

        const char type = channel.receive(payload, stop);
        if (std::optional<JobOutcome> end = endFromOtherSide(type, payload))
            return *end;
        if (type != 'W')
            return fail(channel, QStringLiteral("the receiver sent no want list"), stop);
        QString error;
        const std::optional<std::vector<quint32>> want = decodeWantList(payload, manifest, &error);
        if (!want)
            return fail(channel, QStringLiteral("the receiver's want list: %1").arg(error), stop);

        quint64 already = 0;
        for (size_t f = 0; f < manifest.files.size(); ++f)
            already += std::min<quint64>(manifest.files[f].size, quint64((*want)[f]) * kChunkSize);
        state.doneBytes = already;

        QByteArray record;
        record.reserve(qsizetype(kChunkSize) + 8);
        for (size_t f = 0; f < manifest.files.size(); ++f) {
            const FileEntry& entry = manifest.files[f];
            const quint64 chunks = chunkCount(entry.size);
            if ((*want)[f] >= chunks)
                continue;
            const QString& local = setup.files->localPaths[qsizetype(f)];
            const int fd =
                ::open(QFile::encodeName(local).constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
            if (fd < 0)
                return fail(
                    channel,
                    QStringLiteral("%1 cannot be read: %2")
                        .arg(shown(entry.path), QString::fromLocal8Bit(std::strerror(errno))),
                    stop);
            struct FdCloser {
                int fd;
                ~FdCloser() { ::close(fd); }
            } closer{fd};
            struct stat info {};
            if (::fstat(fd, &info) != 0 || quint64(info.st_size) != entry.size)
                return fail(
                    channel,
                    QStringLiteral("%1 changed since it was offered").arg(shown(entry.path)), stop);
            if (chunks > 1)
                ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
            state.fileIndex = int(f);
            state.fileBytes = quint64((*want)[f]) * kChunkSize;
            for (quint64 c = (*want)[f]; c < chunks; ++c) {
                if (std::optional<JobOutcome> asked = takeRequest(channel, state, stop))
                    return *asked;
                const quint32 length32 = chunkLength(entry.size, c);
                record.resize(8 + qsizetype(length32));
                char* head = record.data();
                head[0] = char(f >> 24);
                head[1] = char(f >> 16);
                head[2] = char(f >> 8);
                head[3] = char(f);
                head[4] = char(c >> 24);
                head[5] = char(c >> 16);
                head[6] = char(c >> 8);
                head[7] = char(c);
                qsizetype got = 0;
                while (got < qsizetype(length32)) {
                    const ssize_t n = ::pread(fd, head + 8 + got, size_t(length32) - size_t(got),
                                              off_t(c * kChunkSize) + got);
                    if (n < 0 && errno == EINTR)
                        continue;
                    if (n <= 0)
                        return fail(channel,
                                    QStringLiteral("%1 changed since it was offered")
                                        .arg(shown(entry.path)),
                                    stop);
                    got += n;
                }
                // Small files' chunks go out many to a write call.
                channel.queue('C', record, stop);
                state.fileBytes += length32;
                state.sentBytes += length32;
                if (channel.hasQueued())
                    continue;
                // What the receiver says it verified, without waiting for it.
                for (;;) {
                    pollfd p{channel.socket().fd(), POLLIN, 0};
                    if (::poll(&p, 1, 0) <= 0)
                        break;
                    const char back = channel.receive(payload, stop);
                    if (std::optional<JobOutcome> end = endFromOtherSide(back, payload))
                        return *end;
                    if (back == 'A' && payload.size() == 8)
                        state.doneBytes = read64(payload.constData());
                }
            }
        }
        channel.send('E', {}, stop, true);
        for (;;) {
            const char back = channel.receive(payload, stop);
            if (std::optional<JobOutcome> end = endFromOtherSide(back, payload))
                return *end;
            if (back == 'A' && payload.size() == 8) {
                state.doneBytes = read64(payload.constData());
                continue;
            }
            if (back == 'D')
                break;
            return {JobOutcome::Kind::Failed,
                    QStringLiteral("the receiver ended unexpectedly"),
                    false,
                    {},
                    {},
                    {}};
        }
        state.doneBytes = manifest.totalBytes();
        JobOutcome outcome{JobOutcome::Kind::Done, {}, false, {}, {}, {}};
        if (platform::traceEnabled() && !setup.files->localPaths.isEmpty())
            outcome.firstSha256 = fileSha256(setup.files->localPaths.first());
        return outcome;
    } catch (const ChannelError& error) {
        return interrupted(error);
    }
}

JobOutcome runReceiver(Channel& channel, const ReceiverSetup& setup, JobState& state,
                       const std::stop_token& stop) {
    QByteArray payload;
    // The file in progress. A cut keeps it (dropped, it stays for a resume); a failure,
    // which ends the transfer for good, removes it.
    std::unique_ptr<PartFile> part;
    // A part an earlier connection left, kept for this one until its file's next chunk
    // opens it again.
    QByteArray resumedPart;
    // Ends the connection keeping the file in progress for a resume, and says where it is.
    const auto keeping = [&](JobOutcome outcome) {
        if (part) {
            part->keep();
            outcome.keptPart = part->partPath();
        } else {
            outcome.keptPart = resumedPart;
        }
        return outcome;
    };
    const auto failed = [&](const QString& reason) {
        if (part) {
            part->discard();
            part.reset();
        }
        return fail(channel, reason, stop);
    };
    try {
        char type = channel.receive(payload, stop);
        if (std::optional<JobOutcome> end = endFromOtherSide(type, payload))
            return *end;
        if (type != 'H' || payload.size() != 4)
            return failed(QStringLiteral("the sender sent no manifest"));
        const quint32 manifestSize = read32(payload.constData());
        if (manifestSize > kMaxManifestBytes || manifestSize < kManifestHeaderSize)
            return failed(QStringLiteral("the sender's list of files is too large (%1 bytes)")
                              .arg(manifestSize));
        QByteArray manifestBytes;
        while (quint32(manifestBytes.size()) < manifestSize) {
            type = channel.receive(payload, stop);
            if (std::optional<JobOutcome> end = endFromOtherSide(type, payload))
                return *end;
            if (type != 'M' ||
                quint64(manifestBytes.size()) + quint64(payload.size()) > manifestSize)
                return failed(QStringLiteral("the sender's list of files is damaged"));
            const bool headerNow = manifestBytes.size() < kManifestHeaderSize &&
                                   manifestBytes.size() + payload.size() >= kManifestHeaderSize;
            manifestBytes.append(payload);
            if (headerNow) {
                // Refused from its first bytes: a count no transfer may have, or other than
                // what the user was asked about.
                QString error;
                const std::optional<ManifestHeader> header =
                    decodeManifestHeader(manifestBytes, &error);
                if (!header)
                    return failed(QStringLiteral("the sender's list of files: %1").arg(error));
                if (header->files != setup.offeredFiles || header->totalBytes != setup.offeredBytes)
                    return failed(QStringLiteral("the files are not those offered (%1 files, %2 "
                                                 "bytes offered; %3 files, %4 bytes sent)")
                                      .arg(setup.offeredFiles)
                                      .arg(setup.offeredBytes)
                                      .arg(header->files)
                                      .arg(header->totalBytes));
            }
        }
        QString error;
        const std::optional<Manifest> manifest = decodeManifest(manifestBytes, &error);
        if (!manifest)
            return failed(QStringLiteral("the sender's list of files: %1").arg(error));
        const QByteArray hash = manifestHash(manifestBytes);
        if (!setup.manifestHash.isEmpty() && hash != setup.manifestHash)
            return failed(
                QStringLiteral("the files changed at the sender since the transfer began"));
        if (setup.manifestTaken)
            setup.manifestTaken(hash);

        std::optional<SaveFolder> folder = SaveFolder::open(setup.folder, &error);
        if (!folder)
            return failed(error);
        // Ends a cancelled transfer: no partial file stays.
        const auto discarding = [&](const JobOutcome& outcome) {
            if (part)
                part->discard();
            else if (!resumedPart.isEmpty())
                folder->discardPart(resumedPart, setup.id);
            return outcome;
        };

        // What is there already: whole files, and the verified chunks of parts an earlier
        // connection left (only looked for when there was one).
        const bool resuming = !setup.manifestHash.isEmpty();
        std::vector<quint32> want(manifest->files.size(), 0);
        quint64 have = 0;
        for (size_t f = 0; f < manifest->files.size(); ++f) {
            const FileEntry& entry = manifest->files[f];
            if (folder->alreadyThere(entry)) {
                want[f] = quint32(chunkCount(entry.size));
                have += entry.size;
                continue;
            }
            if (!resuming || entry.size == 0)
                continue;
            std::unique_ptr<PartFile> earlier = folder->openPart(entry, setup.id, &error);
            if (!earlier)
                return failed(error);
            want[f] = quint32(earlier->verifiedChunks());
            if (want[f] == 0) {
                earlier->discard();
            } else {
                have += std::min<quint64>(entry.size, quint64(want[f]) * kChunkSize);
                earlier->keep();
                resumedPart = earlier->partPath();
            }
        }
        const quint64 total = manifest->totalBytes();
        if (folder->freeBytes() < total - have)
            return failed(QStringLiteral("not enough space in %1: %2 bytes needed, %3 free")
                              .arg(setup.folder)
                              .arg(total - have)
                              .arg(folder->freeBytes()));
        channel.send('W', encodeWantList(want), stop);
        state.doneBytes = have;

        JobOutcome outcome{JobOutcome::Kind::Done, {}, false, {}, {}, {}};
        const bool wantSha = platform::traceEnabled();
        crypto_hash_sha256_state sha;
        bool shaStreaming = false;
        size_t next = 0; // the first file not finished yet
        BackgroundSync background(*folder);
        background.onNamed = [&outcome](size_t index, const QString& path) {
            if (index == 0)
                outcome.firstPath = path;
        };
        quint64 ackedAt = have;

        // Finishes the files before upTo that need no chunk (empty, or already there).
        auto finishQuiet = [&](size_t upTo) -> std::optional<QString> {
            for (; next < upTo; ++next) {
                const FileEntry& entry = manifest->files[next];
                if (want[next] >= chunkCount(entry.size) && entry.size > 0)
                    continue; // already there
                if (entry.size > 0)
                    return QStringLiteral("%1 arrived incomplete").arg(shown(entry.path));
                if (folder->alreadyThere(entry))
                    continue;
                std::unique_ptr<PartFile> empty = folder->openPart(entry, setup.id, &error);
                if (!empty)
                    return error;
                const std::optional<QString> path = empty->finish(&error);
                if (!path)
                    return error;
                if (next == 0)
                    outcome.firstPath = *path;
            }
            return std::nullopt;
        };

        for (;;) {
            if (std::optional<JobOutcome> asked = takeRequest(channel, state, stop)) {
                // A cancelled transfer leaves no partial file; a paused one keeps it.
                if (asked->kind == JobOutcome::Kind::Cancelled)
                    return discarding(*asked);
                return keeping(*asked);
            }
            type = channel.receive(payload, stop);
            if (std::optional<JobOutcome> end = endFromOtherSide(type, payload)) {
                if (end->kind == JobOutcome::Kind::Cancelled)
                    return discarding(*end);
                return keeping(*end);
            }
            if (type == 'E') {
                if (part)
                    return failed(QStringLiteral("%1 arrived incomplete")
                                      .arg(shown(manifest->files[next].path)));
                if (const std::optional<QString> problem = finishQuiet(manifest->files.size()))
                    return failed(*problem);
                if (!background.finish(&error))
                    return failed(error);
                state.doneBytes = total;
                channel.send('D', {}, stop, true);
                if (wantSha && !manifest->files.empty() && outcome.firstSha256.isEmpty()) {
                    if (outcome.firstPath.isEmpty())
                        outcome.firstPath = folder->path() + QLatin1Char('/') +
                                            QString::fromUtf8(manifest->files[0].path);
                    outcome.firstSha256 = fileSha256(outcome.firstPath);
                }
                return outcome;
            }
            if (type != 'C' || payload.size() < 8)
                return failed(QStringLiteral("the sender sent something unexpected"));
            const quint32 f = read32(payload.constData());
            const quint32 c = read32(payload.constData() + 4);
            if (f >= manifest->files.size() || f < next)
                return failed(QStringLiteral("a chunk of no file in the list"));
            const FileEntry& entry = manifest->files[f];
            if (!part || f != next) {
                if (part)
                    return failed(QStringLiteral("%1 arrived incomplete")
                                      .arg(shown(manifest->files[next].path)));
                if (const std::optional<QString> problem = finishQuiet(f))
                    return failed(*problem);
                part = folder->openPart(entry, setup.id, &error);
                if (!part)
                    return failed(error);
                resumedPart.clear(); // the part, if any, is this one now
                if (part->verifiedChunks() != want[f]) {
                    part->keep();
                    part.reset();
                    return failed(QStringLiteral("%1: its partial file changed meanwhile")
                                      .arg(shown(entry.path)));
                }
                state.fileIndex = int(f);
                state.fileBytes = quint64(want[f]) * kChunkSize;
                {
                    std::lock_guard lock(state.nameLock);
                    state.currentFile = QString::fromUtf8(entry.path);
                    state.currentFileSize = entry.size;
                }
                shaStreaming = wantSha && f == 0 && want[0] == 0;
                if (shaStreaming)
                    crypto_hash_sha256_init(&sha);
            }
            const QByteArrayView bytes = QByteArrayView(payload).sliced(8);
            if (c != part->verifiedChunks() ||
                bytes.size() != qsizetype(chunkLength(entry.size, c)))
                return failed(QStringLiteral("%1: chunk %2 is not the one expected or has the "
                                             "wrong length")
                                  .arg(shown(entry.path))
                                  .arg(c));
            if (!part->writeChunk(c, bytes, &error)) {
                return failed(QStringLiteral("%1: %2").arg(shown(entry.path), error));
            }
            if (shaStreaming)
                crypto_hash_sha256_update(&sha,
                                          reinterpret_cast<const unsigned char*>(bytes.data()),
                                          quint64(bytes.size()));
            state.fileBytes += quint64(bytes.size());
            state.doneBytes += quint64(bytes.size());
            if (part->verifiedChunks() == chunkCount(entry.size)) {
                // A small file is named once its bytes are on the disk; a part was synced
                // and is renamed now.
                if (part->syncedWithFolder()) {
                    if (!background.hold(std::exchange(part, nullptr), f, &error))
                        return failed(error);
                } else {
                    const std::optional<QString> path = part->finish(&error);
                    if (!path)
                        return failed(QStringLiteral("%1: %2").arg(shown(entry.path), error));
                    part.reset();
                    if (f == 0)
                        outcome.firstPath = *path;
                }
                if (f == 0 && shaStreaming) {
                    unsigned char digest[crypto_hash_sha256_BYTES];
                    crypto_hash_sha256_final(&sha, digest);
                    outcome.firstSha256 = hex(digest, sizeof digest);
                }
                next = f + 1;
            }
            if (state.doneBytes - ackedAt >= kAckStride) {
                ackedAt = state.doneBytes;
                QByteArray ack;
                put64(ack, ackedAt);
                channel.send('A', ack, stop);
            }
        }
    } catch (const ChannelError& error) {
        return keeping(interrupted(error));
    }
}

} // namespace kalvento::transfer
