#pragma once
// What runs on one transfer's connection once the channel is up, on the thread that owns
// it: the sender streams the manifest, reads the receiver's want list and sends the chunks
// it lacks, file after file with no round trip between them; the receiver checks the
// manifest, says what it lacks, and checks and writes each chunk into the save folder. The
// records (transfer_channel.h) are:
//
//   sender to receiver: 'H' the manifest's length (4 bytes), 'M' a piece of the manifest,
//                       'C' a chunk (file index 4, chunk index 4, the bytes), 'E' the end
//   receiver to sender: 'W' the want list, 'A' the bytes verified so far (8), 'D' done
//   either way:         'P' paused, 'K' cancelled (a reason), 'X' failed (a reason)
//
// 'E', 'D', 'P', 'K' and 'X' are the final records of their direction.

#include "transfer/manifest_builder.h"
#include "transfer/transfer_channel.h"

#include <QString>

#include <atomic>
#include <functional>
#include <mutex>
#include <optional>
#include <stop_token>

namespace kalvento::transfer {

// Shared between the job's thread and the service: progress as it goes, and what the user
// asks of a running job.
struct JobState {
    std::atomic<quint64> doneBytes{0}; // of the whole transfer
    std::atomic<int> fileIndex{-1};    // the file in progress
    std::atomic<quint64> fileBytes{0}; // of that file
    // Sender: chunk bytes sent on this connection.
    std::atomic<quint64> sentBytes{0};
    // Receiver: the file in progress, by name.
    std::mutex nameLock;
    QString currentFile;
    quint64 currentFileSize = 0;
    enum Request : int { None, Pause, Cancel };
    std::atomic<int> request{None};
};

struct JobOutcome {
    enum class Kind {
        Done,
        Failed,      // for good: the reason says why
        Interrupted, // the connection was lost: the transfer can go on later
        Paused,      // by this side (request) or the other ('P')
        Cancelled,   // by this side (request) or the other ('K')
    };
    Kind kind = Kind::Interrupted;
    QString reason;
    bool byOtherSide = false;
    QString firstPath;   // receiver: where the first file went
    QString firstSha256; // when the trace is on: the first file's SHA-256, hex
    // receiver, paused or interrupted: the partial file left for a resume, below the save
    // folder (SaveFolder::discardPart removes it should the transfer end without one)
    QByteArray keptPart;
};

struct SenderSetup {
    const LocalManifest* files = nullptr; // hashed
    QByteArray manifestBytes;             // encodeManifest of files->manifest
};
JobOutcome runSender(Channel& channel, const SenderSetup& setup, JobState& state,
                     const std::stop_token& stop);

struct ReceiverSetup {
    QString folder; // the save folder
    TransferId id{};
    quint32 offeredFiles = 0; // what the offer said: the manifest must say the same
    quint64 offeredBytes = 0;
    // BLAKE2b of the manifest a connection before this one brought: the manifest must be
    // the same (empty for the first connection, which then may skip looking for parts).
    QByteArray manifestHash;
    // Called once the manifest is taken, with its hash (to be kept for the next
    // connection).
    std::function<void(const QByteArray&)> manifestTaken;
};
JobOutcome runReceiver(Channel& channel, const ReceiverSetup& setup, JobState& state,
                       const std::stop_token& stop);

// BLAKE2b-256 of bytes (a manifest's identity).
QByteArray manifestHash(QByteArrayView manifestBytes);
// The SHA-256 of a file, in hex; empty when it cannot be read.
QString fileSha256(const QString& path);

} // namespace kalvento::transfer
