#pragma once
// What two copies say about a file transfer, in bytes: the chat messages that offer one and
// answer it (carried sealed inside a "#FIL#" message, docs/protocol.md "File transfers"),
// the manifest the sender streams first (every file's relative path, size, time and the
// BLAKE2b hashes of its 1 MiB chunks) and the receiver's want list (the first chunk it
// lacks of each file). Integers are big-endian. Every reader here takes hostile bytes: it
// checks each length against what is left and against the limits below before it
// allocates, and refuses rather than guesses.

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

namespace kalvento::transfer {

inline constexpr quint32 kChunkSize = 1u << 20;
inline constexpr int kHashSize = 32;
inline constexpr int kTransferIdSize = 16;
// A transfer holds at most this many files, its manifest at most this many bytes, a path
// at most kMaxPathBytes bytes (each of its names at most kMaxNameBytes), a file at most
// kMaxFileSize bytes.
inline constexpr quint32 kMaxFiles = 200000;
inline constexpr quint32 kMaxManifestBytes = 64u << 20;
inline constexpr int kMaxPathBytes = 4096;
inline constexpr int kMaxNameBytes = 255;
inline constexpr quint64 kMaxFileSize = quint64{1} << 44; // 16 TiB

using Hash = std::array<std::uint8_t, kHashSize>;
using TransferId = std::array<std::uint8_t, kTransferIdSize>;

// 32 lowercase hex digits, as traces and files name a transfer.
QString transferIdText(const TransferId& id);
std::optional<TransferId> transferIdFromText(QStringView text);
TransferId newTransferId(); // from the system's randomness

// The number of chunks of a file of size bytes (0 for an empty file).
quint64 chunkCount(quint64 size);
// The length of chunk index of a file of size bytes.
quint32 chunkLength(quint64 size, quint64 index);
// BLAKE2b-256 of one chunk's bytes, keyless.
Hash chunkHash(QByteArrayView bytes);
// A file's hash: BLAKE2b-256 over "KVFILE1\0", the size (8 bytes) and its chunk hashes in
// order; so the hash of a file follows from its chunk hashes alone.
Hash fileHash(quint64 size, const std::vector<Hash>& chunks);

struct FileEntry {
    QByteArray path; // relative, '/'-separated, UTF-8 (checked by checkRelativePath)
    quint64 size = 0;
    qint64 modified = 0; // seconds since 1970
    Hash hash{};
    std::vector<Hash> chunks; // chunkCount(size) of them
};

struct Manifest {
    std::vector<FileEntry> files;
    quint64 totalBytes() const;
};

// Why a relative path may not be used, or empty when it may: valid UTF-8; 1 to
// kMaxPathBytes bytes; names separated by single '/', none empty, ".", "..", longer than
// kMaxNameBytes or ending in ".part" (the receiver's own partial files); no leading '/',
// no backslash, no control character (C0, DEL, C1), no bidirectional control, no name
// that a Windows system reserves for a device (CON, NUL, COM1, LPT1..., with or without an
// extension).
QString checkRelativePath(QByteArrayView path);
// The bytes as a name is shown inside a reason: control characters, text direction
// controls, backslashes and bytes that are not UTF-8 written as escapes ("\\x01",
// "\\u202e"), so a hostile name can neither break a line nor turn the text around.
QString safeName(QByteArrayView bytes);

// The manifest's bytes: "KVM1", the file count (4), the total bytes (8), then each file:
// path length (2), path, size (8), modified (8, signed), file hash (32), chunk hashes
// (32 each, chunkCount(size) of them).
QByteArray encodeManifest(const Manifest& manifest);
// The first 16 bytes: what a receiver checks before it reads further.
inline constexpr int kManifestHeaderSize = 16;
struct ManifestHeader {
    quint32 files = 0;
    quint64 totalBytes = 0;
};
// The header, or the reason it is refused (wrong magic, more than kMaxFiles files).
std::optional<ManifestHeader> decodeManifestHeader(QByteArrayView bytes, QString* error);
// A whole manifest, or the reason it is refused: a header refused, a path refused by
// checkRelativePath, the same path twice (compared case-insensitively) or a path that is
// both a file and a folder, a size over kMaxFileSize, sizes that do not add up to the
// total, a file hash that does not follow from its chunk hashes, bytes missing or left
// over, more than kMaxManifestBytes.
std::optional<Manifest> decodeManifest(QByteArrayView bytes, QString* error);

// The receiver's want list: for each file of the manifest, in order, the first chunk it
// lacks (4 bytes): 0 for all of it, chunkCount(size) for none. "KVW1", the count (4), the
// numbers.
QByteArray encodeWantList(const std::vector<quint32>& firstMissing);
// Refused unless it has exactly files numbers, each at most that file's chunk count.
std::optional<std::vector<quint32>> decodeWantList(QByteArrayView bytes, const Manifest& manifest,
                                                   QString* error);

// The chat messages of a transfer, sealed for one computer inside "#FIL#".
struct FileMessage {
    enum class Kind : quint8 {
        Offer = 1,       // the sender offers: port, files, bytes, the name shown
        Accept = 2,      // the receiver takes it and connects to the sender's port
        Decline = 3,     // the receiver does not take it: reason
        ConnectBack = 4, // the receiver could not connect: the sender connects to port
        Cancel = 5,      // either side ends it: reason
    };
    Kind kind = Kind::Offer;
    TransferId id{};
    quint16 port = 0;  // Offer, Accept, ConnectBack: where the side listens
    quint32 files = 0; // Offer
    quint64 bytes = 0; // Offer
    QByteArray name;   // Offer: the first file's or folder's name, at most kMaxNameBytes
    QByteArray reason; // Decline, Cancel: a short text, at most kMaxReasonBytes
};
inline constexpr int kMaxReasonBytes = 200;
// "KVF1", kind (1), id (16), then by kind: Offer port (2) files (4) bytes (8) name length
// (1) name; Accept and ConnectBack port (2); Decline and Cancel reason length (1) reason.
// Empty for a message that cannot be written so (a name or reason too long, an unknown
// kind): nothing is cut to fit.
QByteArray encodeFileMessage(const FileMessage& message);
// Refused: another magic or kind, bytes missing or left over, a port of 0, an offer of no
// files or more than kMaxFiles, a name that checkRelativePath refuses or that holds a '/',
// a reason that is not UTF-8.
std::optional<FileMessage> decodeFileMessage(QByteArrayView bytes);

} // namespace kalvento::transfer
