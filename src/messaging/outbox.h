#pragma once
// Private lines that wait for a computer that is away: a line to a computer whose key is
// pinned goes here when the computer cannot be reached, and goes out when it is heard
// again under the same key. The outbox is bounded (kMaxEntries lines, kMaxBytes in all,
// kMaxEntryBytes a line, kMaxAge old) and refuses what does not fit rather than pushing
// out an older line; the caller says so to the user.
//
// It is kept in a file of the settings folder (outbox.dat), written atomically, readable by
// its owner only. What each line says is sealed (XChaCha20-Poly1305) under a key that only
// this copy and the line's recipient can derive (restKey); what identifies it stays
// readable, so that the window can list the waiting lines even when a key cannot be had.
// The file, all numbers big-endian:
//
//   "Kalvento outbox\n"  16 bytes
//   version              u8, 1
//   count                u32, the records that follow
//   count records:
//     header length      u32
//     header             line id u64, queued at (ms since 1970, UTC) i64,
//                        recipient key 32 bytes, computer name UTF-8 (the rest)
//     sealed length      u32
//     sealed             nonce 24, then the ciphertext and tag of the body, sealed with
//                        the first 17 bytes of the file and the header as associated data
//   body                 text length u32, text UTF-8, piece count u32, then each plain
//                        text as length u32 and bytes
//
// Readable from the file: each line's id, recipient computer and key, and when it was
// queued. Not readable: what the user wrote and the datagrams that carry it. A changed
// header does not open.

#include "crypto/identity_key.h"
#include "crypto/sealing.h"
#include "platform/result.h"

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>

#include <chrono>
#include <functional>
#include <optional>

namespace kalvento::messaging {

class Outbox {
public:
    static constexpr int kMaxEntries = 500;
    static constexpr qint64 kMaxBytes = 4 << 20;
    static constexpr qint64 kMaxEntryBytes = 1 << 20;
    static constexpr std::chrono::milliseconds kMaxAge = std::chrono::hours(7 * 24);
    // A larger file is not read (and is kept as it is). The bounds keep a real one below:
    // at most four bytes of framing for each (non-empty) plain text, and less than 128 for
    // each line beside what it holds.
    static constexpr qint64 kMaxFileBytes = 5 * kMaxBytes + qint64{kMaxEntries} * 128;

    struct Entry {
        quint64 lineId = 0;               // its author's id for the line; with computer, unique
        QString computer;                 // the recipient, compared without regard to letter case
        crypto::PublicKey recipientKey{}; // pinned for it when the line was queued
        QDateTime queuedAt;               // UTC
        // The plain texts of the datagrams that carry the line, in order; sealed for the
        // recipient when they go out.
        QList<QByteArray> plainTexts;
        QString text; // what the user wrote
        // False for a line of the file that could not be opened (load said why): its texts
        // are empty, it is never taken to be sent, and its bytes are written back as they
        // were read. It can still be cancelled, and it expires.
        bool readable = true;

        // What the line holds against the bounds: its plain texts, its text and its
        // computer's name (UTF-8).
        qint64 bytes() const;
    };

    enum class Added {
        Queued,
        FullLines,   // kMaxEntries lines wait already
        FullBytes,   // the lines waiting and this one would pass kMaxBytes
        TooLarge,    // this line alone passes kMaxEntryBytes
        DuplicateId, // the line waits for its computer already
        Invalid,     // no id, no computer, no time, nothing to send or an empty piece
    };
    // Queued, or why not; a refused line changes nothing.
    Added add(Entry entry);

    // Takes out and returns the lines queued more than kMaxAge before now, in queue order.
    QList<Entry> expire(const QDateTime& now);
    // Takes out and returns, in queue order, the readable lines for computer queued under
    // keyNow. Lines queued under another key stay (heldForKeyChange): they never go to a
    // key the user has not seen them queued for.
    QList<Entry> takeFor(const QString& computer, const crypto::PublicKey& keyNow);
    // The lines for computer queued under another key than keyNow.
    QList<Entry> heldForKeyChange(const QString& computer, const crypto::PublicKey& keyNow) const;
    // The user took the line out for computer. False when no such line waits. A line to
    // several computers waits once for each.
    bool cancel(quint64 lineId, const QString& computer);

    QList<Entry> entries() const;
    bool contains(quint64 lineId, const QString& computer) const;
    int size() const { return int(m_slots.size()); }
    qint64 bytes() const { return m_bytes; }
    // Lines added or taken out since the last load or save.
    bool changed() const { return m_changed; }
    // The file could not be read as a whole: it is kept as it is, and save refuses to
    // write over it, so that this run's lines live in memory only.
    bool memoryOnly() const { return m_memoryOnly; }

    // The key a line's texts are sealed under at rest: BLAKE2b-256 of "Kalvento outbox 1"
    // keyed with the pair's sending key, so that the same copy derives it again after a
    // restart and only it and the recipient can open it.
    static crypto::SessionKey restKey(const crypto::PairKeys& pair);
    // The rest key for a recipient, or nothing when this copy cannot derive one (no identity
    // key, or an unusable recipient key).
    using KeyFor = std::function<std::optional<crypto::SessionKey>(const crypto::PublicKey&)>;

    struct Loaded;
    // A missing file is an empty outbox. Lines that cannot be opened are kept unreadable
    // and counted in error; a file that cannot be read as a whole gives an empty outbox
    // that is memoryOnly, and error says why.
    static Loaded load(const QString& path, const KeyFor& keyFor);
    // Writes every line; a line whose key cannot be had is not written, and the error names
    // how many, while the rest are. Nothing is written over a file load could not read.
    platform::Result save(const QString& path, const KeyFor& keyFor);

private:
    struct Slot {
        Entry entry;
        QByteArray record; // as last written or read; empty until it is sealed
    };
    Entry remove(qsizetype index);

    QList<Slot> m_slots; // in queue order
    qint64 m_bytes = 0;
    bool m_changed = false;
    bool m_memoryOnly = false;
};

struct Outbox::Loaded {
    Outbox outbox;
    int unreadable = 0; // lines kept that could not be opened
    QString error;      // what went wrong, with the file's name; empty when nothing did
};

} // namespace kalvento::messaging
