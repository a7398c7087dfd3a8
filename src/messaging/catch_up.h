#pragma once
// Catching up on the public lines a copy missed while it was off. Every public line a copy
// with a key sends carries its author's signature over the line (signLine), so any peer
// that kept it can hand it on as a record (encodeRecord) and no relay can forge or change
// it. A copy keeps the lines it could hand on in a LineHistory; the copy that catches up
// checks what its peers offer with a CatchUpCollector and shows what that accepts, in
// order, with the lines' own times. Private lines are never kept or handed on.
// docs/protocol.md ("Line signatures and the catch-up record") gives every byte.

#include "crypto/identity_key.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QString>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <set>
#include <utility>
#include <vector>

namespace kalvento::messaging {

// The longest fields a signed line can have: a computer name as the wire allows it, a
// shown name of 255 bytes (the caller cuts it on a character boundary), and the longest
// plain text a chat payload can carry.
inline constexpr int kMaxLineComputer = 63;
inline constexpr int kMaxLineName = 255;
inline constexpr int kMaxLineText = 32492;

struct SignedLine {
    crypto::PublicKey author{};
    quint64 lineId = 0;  // the author's clock in microseconds since 1970, unique per author
    QByteArray computer; // the author's computer name as it goes on the wire (UTF-8)
    QByteArray name;     // the name its lines show: identity, else computer name (UTF-8)
    QByteArray text;     // the visible plain text, tags included
    crypto::Signature signature{};

    bool operator==(const SignedLine&) const = default;
};

// Whether every field fits what a signature and a record can hold.
bool lineFits(const SignedLine& line);
// The bytes a line's signature covers, or nothing when a field is too long.
std::optional<QByteArray> lineSignedBytes(const SignedLine& line);

// The author's signature over the line (its own signature field is not read), or nothing
// when a field is too long or own is not the line's author.
std::optional<crypto::Signature> signLine(const crypto::IdentityKey& own, const SignedLine& line);
// Whether the signature holds for the author's key over every other field. A key that is
// not a point of the curve, or one of small order, verifies nothing.
bool verifyLine(const SignedLine& line);

// The record a relay sends; empty when a field is too long.
QByteArray encodeRecord(const SignedLine& line);
// A record taken apart (the signature is not checked here), or nothing unless the bytes are
// exactly one well-formed record.
std::optional<SignedLine> decodeRecord(QByteArrayView bytes);

// How far ahead of the receiver's clock a line id may be: clocks of a LAN disagree a little.
inline constexpr quint64 kMaxLineAhead = 5ull * 60 * 1000 * 1000;

// Whether a plain text is a public line (one line, or a piece of a multi-line one): the only
// lines a copy keeps and hands on.
bool isPublicLine(QByteArrayView text);

// The public lines with a valid signature this copy received (its own included), to offer
// to a peer that catches up. Each is kept as its record: one block of memory a line.
class LineHistory {
public:
    static constexpr int kMaxLines = 500;
    static constexpr quint64 kMaxAge = 24ull * 60 * 60 * 1000 * 1000; // microseconds
    static constexpr int kMaxOffer = 200;

    // Keeps a public line whose signature holds. A line already kept (same author and id) is
    // ignored; when full, the oldest line goes (the new one itself when it is the oldest).
    // True when the line was kept.
    bool add(const SignedLine& line);
    // Lines with an id above sinceMicros that are neither older than kMaxAge nor more than
    // kMaxLineAhead ahead of nowMicros: the newest max of them, oldest first.
    QList<SignedLine> since(quint64 sinceMicros, quint64 nowMicros, int max = kMaxOffer) const;
    // Forgets the lines older than kMaxAge at nowMicros.
    void expire(quint64 nowMicros);

    int size() const { return int(m_lines.size()); }
    // The bytes the kept records take (their contents, not the containers' overhead).
    qsizetype recordBytes() const;

private:
    struct Kept {
        quint64 id;
        QByteArray record;
    };
    std::vector<Kept> m_lines; // ordered by id, then author key
};

// The side of the copy that catches up: what its peers offer is accepted once, from the
// key its book pins for the author's computer, for the time it was away only.
class CatchUpCollector {
public:
    // At most this many lines a round of asking.
    static constexpr int kMaxCollect = 1000;
    // Lines seen live that are followed, to refuse them when offered.
    static constexpr std::size_t kMaxSeen = 20000;

    enum class Verdict {
        Accepted,
        BadSignature,
        UnknownAuthor, // the book holds no key for the line's computer
        WrongKey,      // the line's key is not the one pinned for its computer
        TooOld,        // from before sinceMicros, or older than LineHistory::kMaxAge
        Future,        // more than kMaxLineAhead ahead of now
        Duplicate,     // accepted before, or seen live
        Full,          // kMaxCollect lines accepted already
        NotPublic,     // a private line or a control message, which no copy hands on
    };

    using PinnedKey = std::function<std::optional<crypto::PublicKey>(const QString& computer)>;
    CatchUpCollector(quint64 sinceMicros, PinnedKey pinnedKey);

    Verdict offer(const SignedLine& line, quint64 nowMicros);
    // A line that arrived live meanwhile: an offer of it is a duplicate.
    void seenLive(const crypto::PublicKey& author, quint64 lineId);
    // A new round of asking (after a silence): once the last round's lines are taken, up
    // to kMaxCollect more may be accepted. What was seen or taken before stays a duplicate,
    // and the moment the copy was last there (or started) stays the earliest taken.
    void newRound();
    // The lines accepted since the last call, by id (ties by author key bytes).
    QList<SignedLine> take();
    bool any() const { return !m_accepted.isEmpty(); }
    // The moment the copy was last there: lines from before it are not taken.
    quint64 since() const { return m_since; }
    // How many lines were accepted in this round, taken or not.
    int acceptedCount() const { return m_acceptedCount; }

private:
    quint64 m_since;
    PinnedKey m_pinnedKey;
    std::set<std::pair<quint64, crypto::PublicKey>> m_seen;
    QList<SignedLine> m_accepted;
    int m_acceptedCount = 0;
};

const char* verdictName(CatchUpCollector::Verdict verdict);

} // namespace kalvento::messaging
