#include "messaging/catch_up.h"

#include "messaging/chat_protocol.h"

#include <QtEndian>

#include <algorithm>
#include <cstring>
#include <tuple>

namespace kalvento::messaging {

namespace {

constexpr QByteArrayView kSignedDomain = "Kalvento line 1";
constexpr QByteArrayView kRecordMagic = "KVC";
constexpr std::uint8_t kRecordVersion = 1;
// magic, version, author key, line id
constexpr qsizetype kRecordHead = 3 + 1 + crypto::kPublicKeySize + 8;
// the head, the three length fields and the signature around the fields' bytes
constexpr qsizetype kRecordFrame = kRecordHead + 1 + 1 + 4 + crypto::kSignatureSize;

// The author, id and fields as both the signed bytes and the record lay them out.
void appendFields(QByteArray& out, const SignedLine& line) {
    out.append(crypto::toBytes(line.author));
    char be[8];
    qToBigEndian(line.lineId, be);
    out.append(be, 8);
    out.append(char(line.computer.size()));
    out.append(line.computer);
    out.append(char(line.name.size()));
    out.append(line.name);
    char length[4];
    qToBigEndian(quint32(line.text.size()), length);
    out.append(length, 4);
    out.append(line.text);
}

// Reads the record's fields front to back; every read is checked against what is left.
class Reader {
public:
    explicit Reader(QByteArrayView bytes) : m_rest(bytes) {}

    std::optional<QByteArrayView> take(qsizetype n) {
        if (n < 0 || n > m_rest.size())
            return std::nullopt;
        const QByteArrayView taken = m_rest.first(n);
        m_rest = m_rest.sliced(n);
        return taken;
    }
    std::optional<qsizetype> length(qsizetype width) {
        const auto bytes = take(width);
        if (!bytes)
            return std::nullopt;
        qsizetype value = 0;
        for (char c : *bytes)
            value = (value << 8) | std::uint8_t(c);
        return value;
    }
    bool atEnd() const { return m_rest.isEmpty(); }

private:
    QByteArrayView m_rest;
};

bool isKeptBefore(quint64 id, QByteArrayView record, quint64 otherId, QByteArrayView other) {
    if (id != otherId)
        return id < otherId;
    // Same id: by author key, which every record holds right after its magic and version.
    return std::memcmp(record.data() + 4, other.data() + 4, crypto::kPublicKeySize) < 0;
}

} // namespace

bool lineFits(const SignedLine& line) {
    return line.computer.size() <= kMaxLineComputer && line.name.size() <= kMaxLineName &&
           line.text.size() <= kMaxLineText;
}

std::optional<QByteArray> lineSignedBytes(const SignedLine& line) {
    if (!lineFits(line))
        return std::nullopt;
    QByteArray out;
    out.reserve(kSignedDomain.size() + kRecordFrame + line.computer.size() + line.name.size() +
                line.text.size());
    out.append(kSignedDomain);
    appendFields(out, line);
    return out;
}

std::optional<crypto::Signature> signLine(const crypto::IdentityKey& own, const SignedLine& line) {
    if (own.publicKey() != line.author)
        return std::nullopt;
    const auto bytes = lineSignedBytes(line);
    if (!bytes)
        return std::nullopt;
    return own.sign(*bytes);
}

bool verifyLine(const SignedLine& line) {
    if (!crypto::publicKeyFromBytes(crypto::toBytes(line.author)))
        return false;
    const auto bytes = lineSignedBytes(line);
    return bytes && crypto::verify(line.author, *bytes, line.signature);
}

QByteArray encodeRecord(const SignedLine& line) {
    if (!lineFits(line))
        return {};
    QByteArray out;
    out.reserve(kRecordFrame + line.computer.size() + line.name.size() + line.text.size());
    out.append(kRecordMagic);
    out.append(char(kRecordVersion));
    appendFields(out, line);
    out.append(reinterpret_cast<const char*>(line.signature.data()), crypto::kSignatureSize);
    return out;
}

std::optional<SignedLine> decodeRecord(QByteArrayView bytes) {
    Reader in(bytes);
    const auto magic = in.take(kRecordMagic.size());
    const auto version = in.take(1);
    if (!magic || *magic != kRecordMagic || !version ||
        std::uint8_t((*version)[0]) != kRecordVersion)
        return std::nullopt;
    const auto keyBytes = in.take(crypto::kPublicKeySize);
    const auto author = keyBytes ? crypto::publicKeyFromBytes(*keyBytes) : std::nullopt;
    const auto id = in.take(8);
    if (!author || !id)
        return std::nullopt;
    SignedLine line;
    line.author = *author;
    line.lineId = qFromBigEndian<quint64>(id->data());

    const auto computerLength = in.length(1);
    if (!computerLength || *computerLength > kMaxLineComputer)
        return std::nullopt;
    const auto computer = in.take(*computerLength);
    const auto nameLength = in.length(1);
    if (!computer || !nameLength)
        return std::nullopt;
    const auto name = in.take(*nameLength);
    const auto textLength = in.length(4);
    if (!name || !textLength || *textLength > kMaxLineText)
        return std::nullopt;
    const auto text = in.take(*textLength);
    const auto signature = in.take(crypto::kSignatureSize);
    if (!text || !signature || !in.atEnd())
        return std::nullopt;
    line.computer = computer->toByteArray();
    line.name = name->toByteArray();
    line.text = text->toByteArray();
    std::memcpy(line.signature.data(), signature->data(), crypto::kSignatureSize);
    return line;
}

bool isPublicLine(QByteArrayView text) {
    const MessageKind kind = classifyMessage(text).kind;
    return kind == MessageKind::PublicLine || kind == MessageKind::PublicMultiLine;
}

bool LineHistory::add(const SignedLine& line) {
    if (!isPublicLine(line.text) || !verifyLine(line))
        return false;
    QByteArray record = encodeRecord(line);
    const auto at = std::lower_bound(m_lines.begin(), m_lines.end(), line.lineId,
                                     [&](const Kept& kept, quint64 id) {
                                         return isKeptBefore(kept.id, kept.record, id, record);
                                     });
    if (at != m_lines.end() && at->id == line.lineId &&
        std::memcmp(at->record.constData() + 4, record.constData() + 4, crypto::kPublicKeySize) ==
            0)
        return false;
    if (int(m_lines.size()) >= kMaxLines) {
        if (at == m_lines.begin())
            return false; // older than everything kept: it would be the one to go
        // The oldest goes; everything before the insertion point moves down by one.
        std::move(m_lines.begin() + 1, at, m_lines.begin());
        *(at - 1) = Kept{line.lineId, std::move(record)};
        return true;
    }
    m_lines.insert(at, Kept{line.lineId, std::move(record)});
    return true;
}

QList<SignedLine> LineHistory::since(quint64 sinceMicros, quint64 nowMicros, int max) const {
    if (sinceMicros == UINT64_MAX || max <= 0)
        return {};
    const quint64 oldest = nowMicros > kMaxAge ? nowMicros - kMaxAge : 0;
    const quint64 from = std::max(oldest, sinceMicros + 1);
    const quint64 newest =
        nowMicros > UINT64_MAX - kMaxLineAhead ? UINT64_MAX : nowMicros + kMaxLineAhead;
    auto first = std::lower_bound(m_lines.begin(), m_lines.end(), from,
                                  [](const Kept& kept, quint64 id) { return kept.id < id; });
    const auto last = std::upper_bound(first, m_lines.end(), newest,
                                       [](quint64 id, const Kept& kept) { return id < kept.id; });
    if (last - first > max)
        first = last - max;
    QList<SignedLine> out;
    out.reserve(last - first);
    for (auto it = first; it != last; ++it) {
        // Each record was made here from a line that fits, so it always reads back.
        if (auto line = decodeRecord(it->record))
            out.append(std::move(*line));
    }
    return out;
}

void LineHistory::expire(quint64 nowMicros) {
    if (nowMicros <= kMaxAge)
        return;
    const quint64 oldest = nowMicros - kMaxAge;
    const auto end = std::lower_bound(m_lines.begin(), m_lines.end(), oldest,
                                      [](const Kept& kept, quint64 id) { return kept.id < id; });
    m_lines.erase(m_lines.begin(), end);
}

qsizetype LineHistory::recordBytes() const {
    qsizetype total = 0;
    for (const Kept& kept : m_lines)
        total += kept.record.size();
    return total;
}

CatchUpCollector::CatchUpCollector(quint64 sinceMicros, PinnedKey pinnedKey)
    : m_since(sinceMicros), m_pinnedKey(std::move(pinnedKey)) {}

CatchUpCollector::Verdict CatchUpCollector::offer(const SignedLine& line, quint64 nowMicros) {
    // The cheap checks first: a peer may offer many lines, and only a line that passes
    // them all is worth a signature check.
    if (line.lineId <= m_since ||
        (nowMicros > LineHistory::kMaxAge && line.lineId < nowMicros - LineHistory::kMaxAge))
        return Verdict::TooOld;
    if (line.lineId > nowMicros && line.lineId - nowMicros > kMaxLineAhead)
        return Verdict::Future;
    if (m_seen.count({line.lineId, line.author}))
        return Verdict::Duplicate;
    if (!isPublicLine(line.text))
        return Verdict::NotPublic;
    const std::optional<crypto::PublicKey> pinned =
        m_pinnedKey ? m_pinnedKey(QString::fromUtf8(line.computer)) : std::nullopt;
    if (!pinned)
        return Verdict::UnknownAuthor;
    if (*pinned != line.author)
        return Verdict::WrongKey;
    if (!verifyLine(line))
        return Verdict::BadSignature;
    // Last, so that Full counts only genuine lines this copy could not take.
    if (m_acceptedCount >= kMaxCollect)
        return Verdict::Full;
    // Only a line that passed every check is marked: a forged offer under a real author and
    // id must not make the genuine line a duplicate.
    m_seen.insert({line.lineId, line.author});
    m_accepted.append(line);
    ++m_acceptedCount;
    return Verdict::Accepted;
}

void CatchUpCollector::seenLive(const crypto::PublicKey& author, quint64 lineId) {
    if (lineId <= m_since) // anything older is refused anyway
        return;
    m_seen.insert({lineId, author});
    // A copy that runs for weeks follows every line it sees: past a day a line is refused
    // as too old, and past kMaxSeen the oldest are let go.
    if (m_seen.size() <= kMaxSeen)
        return;
    const quint64 oldest = lineId > LineHistory::kMaxAge ? lineId - LineHistory::kMaxAge : 0;
    while (!m_seen.empty() && (m_seen.begin()->first < oldest || m_seen.size() > kMaxSeen))
        m_seen.erase(m_seen.begin());
}

void CatchUpCollector::newRound() {
    if (m_accepted.isEmpty())
        m_acceptedCount = 0;
}

QList<SignedLine> CatchUpCollector::take() {
    std::sort(m_accepted.begin(), m_accepted.end(), [](const SignedLine& a, const SignedLine& b) {
        return std::tie(a.lineId, a.author) < std::tie(b.lineId, b.author);
    });
    return std::exchange(m_accepted, {});
}

const char* verdictName(CatchUpCollector::Verdict verdict) {
    using V = CatchUpCollector::Verdict;
    switch (verdict) {
    case V::Accepted:
        return "accepted";
    case V::BadSignature:
        return "signature";
    case V::UnknownAuthor:
        return "unknown";
    case V::WrongKey:
        return "key";
    case V::TooOld:
        return "old";
    case V::Future:
        return "future";
    case V::Duplicate:
        return "duplicate";
    case V::Full:
        return "full";
    case V::NotPublic:
        return "private";
    }
    return "?";
}

} // namespace kalvento::messaging
