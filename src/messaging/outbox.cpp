#include "messaging/outbox.h"

#include "platform/atomic_file.h"
#include "platform/system_error.h"

#include <QFile>
#include <QStringList>
#include <QtEndian>

#include <sodium.h>

#include <algorithm>
#include <utility>

namespace kalvento::messaging {

namespace {

constexpr QByteArrayView kMagic = "Kalvento outbox\n";
constexpr char kVersion = 1;
constexpr QByteArrayView kRestKeyDomain = "Kalvento outbox 1";
// line id, queued at, recipient key; the computer's name follows.
constexpr qsizetype kFixedHeader = 8 + 8 + crypto::kPublicKeySize;

QByteArray fileStart() {
    return kMagic.toByteArray() + kVersion;
}

void putU32(QByteArray& out, quint32 value) {
    char bytes[4];
    qToBigEndian(value, bytes);
    out.append(bytes, 4);
}

void putU64(QByteArray& out, quint64 value) {
    char bytes[8];
    qToBigEndian(value, bytes);
    out.append(bytes, 8);
}

void putFramed(QByteArray& out, QByteArrayView bytes) {
    putU32(out, quint32(bytes.size()));
    out.append(bytes);
}

// Takes a file or a body apart from the front; each read fails once the bytes run out.
class Reader {
public:
    explicit Reader(QByteArrayView bytes) : m_bytes(bytes) {}
    bool atEnd() const { return m_at == m_bytes.size(); }
    qsizetype at() const { return m_at; }
    std::optional<QByteArrayView> take(qsizetype n) {
        if (n < 0 || n > m_bytes.size() - m_at)
            return std::nullopt;
        const QByteArrayView out = m_bytes.sliced(m_at, n);
        m_at += n;
        return out;
    }
    std::optional<quint32> u32() {
        const auto bytes = take(4);
        return bytes ? std::optional(qFromBigEndian<quint32>(bytes->data())) : std::nullopt;
    }
    std::optional<quint64> u64() {
        const auto bytes = take(8);
        return bytes ? std::optional(qFromBigEndian<quint64>(bytes->data())) : std::nullopt;
    }
    std::optional<QByteArrayView> framed() {
        const auto length = u32();
        return length ? take(qsizetype(*length)) : std::nullopt;
    }

private:
    QByteArrayView m_bytes;
    qsizetype m_at = 0;
};

bool sameComputer(const QString& a, const QString& b) {
    return a.compare(b, Qt::CaseInsensitive) == 0;
}

QByteArray headerOf(const Outbox::Entry& entry) {
    QByteArray header;
    putU64(header, entry.lineId);
    putU64(header, quint64(entry.queuedAt.toMSecsSinceEpoch()));
    header.append(reinterpret_cast<const char*>(entry.recipientKey.data()),
                  qsizetype(entry.recipientKey.size()));
    header.append(entry.computer.toUtf8());
    return header;
}

QByteArray bodyOf(const Outbox::Entry& entry) {
    QByteArray body;
    putFramed(body, entry.text.toUtf8());
    putU32(body, quint32(entry.plainTexts.size()));
    for (const QByteArray& piece : entry.plainTexts)
        putFramed(body, piece);
    return body;
}

std::optional<Outbox::Entry> entryFromHeader(QByteArrayView header) {
    Reader reader(header);
    const auto lineId = reader.u64();
    const auto queuedAt = reader.u64();
    const auto key = reader.take(crypto::kPublicKeySize);
    if (!lineId || !queuedAt || !key)
        return std::nullopt;
    Outbox::Entry entry;
    entry.lineId = *lineId;
    entry.queuedAt = QDateTime::fromMSecsSinceEpoch(qint64(*queuedAt), Qt::UTC);
    std::copy(key->begin(), key->end(), entry.recipientKey.begin());
    entry.computer = QString::fromUtf8(header.sliced(reader.at()));
    if (entry.lineId == 0 || entry.computer.isEmpty() || !entry.queuedAt.isValid())
        return std::nullopt;
    return entry;
}

bool readBody(QByteArrayView body, Outbox::Entry& entry) {
    Reader reader(body);
    const auto text = reader.framed();
    const auto count = reader.u32();
    if (!text || !count)
        return false;
    QList<QByteArray> pieces;
    for (quint32 i = 0; i < *count; ++i) {
        const auto piece = reader.framed();
        if (!piece)
            return false;
        pieces.append(piece->toByteArray());
    }
    if (!reader.atEnd())
        return false;
    entry.text = QString::fromUtf8(*text);
    entry.plainTexts = std::move(pieces);
    return true;
}

// "1 waiting line" / "2 waiting lines"
QString waitingLines(int count) {
    return count == 1 ? QStringLiteral("1 waiting line")
                      : QStringLiteral("%1 waiting lines").arg(count);
}

// Distinct reasons in the order met, each with how often it came when more than once.
class Reasons {
public:
    void add(const QString& reason) {
        ++m_total;
        for (auto& [text, count] : m_reasons) {
            if (text == reason) {
                ++count;
                return;
            }
        }
        m_reasons.append({reason, 1});
    }
    int total() const { return m_total; }
    QString joined() const {
        QStringList parts;
        for (const auto& [text, count] : m_reasons)
            parts.append(count == 1 ? text : QStringLiteral("%1 (%2)").arg(text).arg(count));
        return parts.join(QStringLiteral("; "));
    }

private:
    QList<std::pair<QString, int>> m_reasons;
    int m_total = 0;
};

// An unreadable line holds what its record takes in the file.
qint64 slotBytes(const Outbox::Entry& entry, const QByteArray& record) {
    return entry.readable ? entry.bytes() : record.size();
}

} // namespace

qint64 Outbox::Entry::bytes() const {
    qint64 total = text.toUtf8().size() + computer.toUtf8().size();
    for (const QByteArray& piece : plainTexts)
        total += piece.size();
    return total;
}

crypto::SessionKey Outbox::restKey(const crypto::PairKeys& pair) {
    crypto::initialise();
    crypto::SessionKey key{};
    crypto_generichash(
        key.data(), key.size(), reinterpret_cast<const unsigned char*>(kRestKeyDomain.data()),
        std::size_t(kRestKeyDomain.size()), pair.sending().data(), pair.sending().size());
    return key;
}

Outbox::Added Outbox::add(Entry entry) {
    if (entry.lineId == 0 || entry.computer.isEmpty() || !entry.queuedAt.isValid() ||
        entry.plainTexts.isEmpty() ||
        std::any_of(entry.plainTexts.cbegin(), entry.plainTexts.cend(),
                    [](const QByteArray& piece) { return piece.isEmpty(); }))
        return Added::Invalid;
    if (contains(entry.lineId, entry.computer))
        return Added::DuplicateId;
    const qint64 bytes = entry.bytes();
    if (bytes > kMaxEntryBytes)
        return Added::TooLarge;
    if (m_slots.size() >= kMaxEntries)
        return Added::FullLines;
    if (m_bytes + bytes > kMaxBytes)
        return Added::FullBytes;
    entry.queuedAt = entry.queuedAt.toUTC();
    entry.readable = true;
    m_slots.append({std::move(entry), {}});
    m_bytes += bytes;
    m_changed = true;
    return Added::Queued;
}

Outbox::Entry Outbox::remove(qsizetype index) {
    Slot slot = m_slots.takeAt(index);
    m_bytes -= slotBytes(slot.entry, slot.record);
    m_changed = true;
    return std::move(slot.entry);
}

QList<Outbox::Entry> Outbox::expire(const QDateTime& now) {
    QList<Entry> out;
    for (qsizetype i = 0; i < m_slots.size();) {
        if (m_slots[i].entry.queuedAt.msecsTo(now) > kMaxAge.count())
            out.append(remove(i));
        else
            ++i;
    }
    return out;
}

QList<Outbox::Entry> Outbox::takeFor(const QString& computer, const crypto::PublicKey& keyNow) {
    QList<Entry> out;
    for (qsizetype i = 0; i < m_slots.size();) {
        const Entry& entry = m_slots[i].entry;
        if (entry.readable && entry.recipientKey == keyNow &&
            sameComputer(entry.computer, computer))
            out.append(remove(i));
        else
            ++i;
    }
    return out;
}

QList<Outbox::Entry> Outbox::heldForKeyChange(const QString& computer,
                                              const crypto::PublicKey& keyNow) const {
    QList<Entry> out;
    for (const Slot& slot : m_slots)
        if (slot.entry.recipientKey != keyNow && sameComputer(slot.entry.computer, computer))
            out.append(slot.entry);
    return out;
}

bool Outbox::cancel(quint64 lineId, const QString& computer) {
    for (qsizetype i = 0; i < m_slots.size(); ++i) {
        const Entry& entry = m_slots[i].entry;
        if (entry.lineId == lineId && entry.computer.compare(computer, Qt::CaseInsensitive) == 0) {
            remove(i);
            return true;
        }
    }
    return false;
}

QList<Outbox::Entry> Outbox::entries() const {
    QList<Entry> out;
    out.reserve(m_slots.size());
    for (const Slot& slot : m_slots)
        out.append(slot.entry);
    return out;
}

bool Outbox::contains(quint64 lineId, const QString& computer) const {
    return std::any_of(m_slots.cbegin(), m_slots.cend(), [&](const Slot& slot) {
        return slot.entry.lineId == lineId &&
               slot.entry.computer.compare(computer, Qt::CaseInsensitive) == 0;
    });
}

Outbox::Loaded Outbox::load(const QString& path, const KeyFor& keyFor) {
    Loaded loaded;
    const auto damaged = [&](const QString& reason) {
        loaded.outbox = Outbox();
        loaded.outbox.m_memoryOnly = true;
        loaded.unreadable = 0;
        loaded.error = path + QStringLiteral(": ") + reason +
                       QStringLiteral("; the file is kept as it is, and the lines waiting in "
                                      "this run are not saved");
        return loaded;
    };
    QFile file(path);
    if (!file.exists())
        return loaded;
    if (!file.open(QIODevice::ReadOnly))
        return damaged(file.errorString());
    if (file.size() > kMaxFileBytes)
        return damaged(QStringLiteral("larger than any outbox"));
    const QByteArray bytes = file.read(kMaxFileBytes + 1);
    if (file.error() != QFileDevice::NoError)
        return damaged(file.errorString());

    const QByteArray start = fileStart();
    Reader reader(bytes);
    const auto magic = reader.take(start.size());
    if (!magic || *magic != start)
        return damaged(QStringLiteral("not an outbox of a version this copy reads"));
    const auto count = reader.u32();
    if (!count)
        return damaged(QStringLiteral("cut short"));
    // An unreadable line counts against the bound as well, so no outbox holds more.
    if (*count > quint32(kMaxEntries))
        return damaged(QStringLiteral("more lines than an outbox holds"));
    Outbox& outbox = loaded.outbox;
    Reasons unreadable;
    for (quint32 i = 0; i < *count; ++i) {
        const qsizetype recordStart = reader.at();
        const auto header = reader.framed();
        const auto sealed = header ? reader.framed() : std::nullopt;
        if (!sealed)
            return damaged(QStringLiteral("cut short"));
        std::optional<Entry> entry = entryFromHeader(*header);
        if (!entry || outbox.contains(entry->lineId, entry->computer))
            return damaged(QStringLiteral("a waiting line without a valid id, computer or time"));
        QByteArray record = bytes.sliced(recordStart, reader.at() - recordStart);

        const std::optional<crypto::SessionKey> key = keyFor(entry->recipientKey);
        std::optional<QByteArray> body;
        if (key)
            body = crypto::open(*key, start + header->toByteArray(), *sealed);
        if (!key) {
            unreadable.add(QStringLiteral("no key for %1").arg(entry->computer));
            entry->readable = false;
        } else if (!body || !readBody(*body, *entry)) {
            unreadable.add(QStringLiteral("damaged, or sealed under another key (for %1)")
                               .arg(entry->computer));
            entry->readable = false;
        }
        outbox.m_bytes += slotBytes(*entry, record);
        outbox.m_slots.append({std::move(*entry), std::move(record)});
    }
    if (!reader.atEnd())
        return damaged(QStringLiteral("bytes after the last waiting line"));
    loaded.unreadable = unreadable.total();
    if (unreadable.total() > 0)
        loaded.error = path + QStringLiteral(": ") + waitingLines(unreadable.total()) +
                       QStringLiteral(" could not be read (kept for later): ") +
                       unreadable.joined();
    return loaded;
}

platform::Result Outbox::save(const QString& path, const KeyFor& keyFor) {
    if (m_memoryOnly)
        return platform::Result::failure(
            path + QStringLiteral(": not written, since the file could not be read when it "
                                  "was loaded; the lines waiting in this run are not saved"));
    const QByteArray start = fileStart();
    QByteArray records;
    quint32 written = 0;
    Reasons missing;
    for (Slot& slot : m_slots) {
        if (slot.record.isEmpty()) {
            const std::optional<crypto::SessionKey> key = keyFor(slot.entry.recipientKey);
            if (!key) {
                missing.add(QStringLiteral("no key for %1").arg(slot.entry.computer));
                continue;
            }
            const QByteArray header = headerOf(slot.entry);
            putFramed(slot.record, header);
            putFramed(slot.record, crypto::seal(*key, start + header, bodyOf(slot.entry)));
        }
        records += slot.record;
        ++written;
    }
    QByteArray out = start;
    putU32(out, written);
    out += records;
    try {
        platform::writeFileAtomically(path, out, platform::FileAccess::OwnerOnly);
    } catch (const platform::SystemError& e) {
        return platform::Result::failure(path + QStringLiteral(": ") + e.text());
    }
    if (missing.total() > 0)
        return platform::Result::failure(path + QStringLiteral(": ") +
                                         waitingLines(missing.total()) +
                                         QStringLiteral(" not saved: ") + missing.joined());
    m_changed = false;
    return platform::Result::success();
}

} // namespace kalvento::messaging
