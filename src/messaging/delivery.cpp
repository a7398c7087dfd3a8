#include "messaging/delivery.h"

#include <QtEndian>

#include <algorithm>

namespace kalvento::messaging {

namespace {

constexpr char kTrailerMagic[] = "KVL";
constexpr quint8 kTrailerVersion = 1;
constexpr quint8 kSignedFlag = 1;

} // namespace

QByteArray encodeTrailer(const LineTrailer& trailer) {
    QByteArray bytes(kTrailerMagic, 3);
    bytes.append(char(kTrailerVersion));
    const bool isSigned = trailer.name && trailer.signature;
    bytes.append(char(isSigned ? kSignedFlag : 0));
    char id[8];
    qToBigEndian(trailer.lineId, id);
    bytes.append(id, 8);
    if (isSigned) {
        const QByteArray name = trailer.name->left(255);
        bytes.append(char(name.size()));
        bytes.append(name);
        bytes.append(reinterpret_cast<const char*>(trailer.signature->data()),
                     qsizetype(trailer.signature->size()));
    }
    return bytes;
}

std::optional<LineTrailer> decodeTrailer(QByteArrayView bytes) {
    if (bytes.size() < 13 || !bytes.startsWith(kTrailerMagic) ||
        quint8(bytes[3]) != kTrailerVersion)
        return std::nullopt;
    const quint8 flags = quint8(bytes[4]);
    if ((flags & ~kSignedFlag) != 0)
        return std::nullopt;
    LineTrailer trailer;
    trailer.lineId = qFromBigEndian<quint64>(bytes.data() + 5);
    if (trailer.lineId == 0)
        return std::nullopt;
    if (!(flags & kSignedFlag))
        return bytes.size() == 13 ? std::optional(trailer) : std::nullopt;
    if (bytes.size() < 14)
        return std::nullopt;
    const qsizetype nameLength = quint8(bytes[13]);
    const qsizetype signatureSize = qsizetype(crypto::Signature{}.size());
    if (bytes.size() != 14 + nameLength + signatureSize)
        return std::nullopt;
    trailer.name = bytes.sliced(14, nameLength).toByteArray();
    crypto::Signature signature{};
    std::copy_n(bytes.data() + 14 + nameLength, signature.size(),
                reinterpret_cast<char*>(signature.data()));
    trailer.signature = signature;
    return trailer;
}

QList<std::pair<QString, QList<quint64>>>
groupByComputer(const QList<std::pair<QString, quint64>>& lines) {
    QList<std::pair<QString, QList<quint64>>> result;
    for (const std::pair<QString, quint64>& line : lines) {
        const QString& computer = line.first;
        auto found = std::find_if(result.begin(), result.end(), [&](const auto& entry) {
            return entry.first.compare(computer, Qt::CaseInsensitive) == 0;
        });
        if (found == result.end()) {
            result.append({computer, {}});
            found = result.end() - 1;
        }
        found->second.append(line.second);
    }
    return result;
}

QString lineIdText(quint64 id) {
    return QStringLiteral("%1").arg(id, 16, 16, QLatin1Char('0'));
}

QByteArray receiptBody(bool read, const QList<quint64>& ids) {
    QByteArray body(read ? "r" : "d");
    for (quint64 id : ids)
        body += ' ' + lineIdText(id).toLatin1();
    return body;
}

std::optional<Receipt> parseReceipt(QByteArrayView body) {
    if (body.isEmpty() || (body[0] != 'd' && body[0] != 'r'))
        return std::nullopt;
    Receipt receipt;
    receipt.read = body[0] == 'r';
    QByteArrayView rest = body.sliced(1);
    while (!rest.isEmpty()) {
        if (rest.size() < 17 || rest[0] != ' ' || receipt.ids.size() >= kMaxReceiptIds)
            return std::nullopt;
        bool ok = false;
        const QByteArrayView hex = rest.sliced(1, 16);
        for (char c : hex)
            if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')))
                return std::nullopt;
        const quint64 id = hex.toULongLong(&ok, 16);
        if (!ok || id == 0)
            return std::nullopt;
        receipt.ids.append(id);
        rest = rest.sliced(17);
    }
    if (receipt.ids.isEmpty())
        return std::nullopt;
    return receipt;
}

// ---- DeliveryTracker

DeliveryTracker::DeliveryTracker(std::function<Clock::time_point()> now, int maxWaiting)
    : m_now(std::move(now)), m_maxWaiting(maxWaiting) {}

QString DeliveryTracker::key(const QString& computer, quint64 lineId) {
    return computer.toCaseFolded() + QLatin1Char('/') + QString::number(lineId, 16);
}

quint64 DeliveryTracker::newItem() {
    const quint64 item = m_nextItem++;
    m_items.insert(item, {});
    m_itemOrder.push_back(item);
    while (m_itemOrder.size() > size_t(kMaxItems))
        forgetOldest();
    return item;
}

void DeliveryTracker::wait(const QString& k, Datagram& datagram, Clock::time_point due) {
    m_byDue.erase({datagram.due, k});
    datagram.due = due;
    m_byDue.emplace(due, k);
}

void DeliveryTracker::unwait(const QString& k) {
    if (const auto found = m_datagrams.constFind(k); found != m_datagrams.cend())
        m_byDue.erase({found->due, k});
}

void DeliveryTracker::forgetOldest() {
    const quint64 oldest = m_itemOrder.front();
    m_itemOrder.pop_front();
    const auto found = m_items.find(oldest);
    if (found == m_items.end())
        return;
    for (const QList<QString>& keys : std::as_const(found->byComputer))
        for (const QString& k : keys) {
            unwait(k);
            m_datagrams.remove(k);
        }
    m_items.erase(found);
}

bool DeliveryTracker::expect(quint64 item, const QString& computer, quint64 lineId,
                             const QByteArray& plain, bool isPrivate) {
    const auto found = m_items.find(item);
    if (found == m_items.end())
        return false;
    // A flood of lines to many computers forgets the oldest sends, not the newest.
    while (m_byDue.size() >= size_t(m_maxWaiting) && m_itemOrder.size() > 1 &&
           m_itemOrder.front() != item)
        forgetOldest();
    if (m_byDue.size() >= size_t(m_maxWaiting))
        return false;
    const QString k = key(computer, lineId);
    unwait(k); // a datagram of the same key sent before
    Datagram datagram{item,          computer, lineId, plain, isPrivate, 0, m_now() + kBackoff[0],
                      State::Waiting};
    m_datagrams.insert(k, datagram);
    m_byDue.emplace(datagram.due, k);
    m_items[item].byComputer[computer.toCaseFolded()].append(k);
    return true;
}

void DeliveryTracker::forget(quint64 item, const QString& computer) {
    const auto found = m_items.find(item);
    if (found == m_items.end())
        return;
    const QString who = computer.toCaseFolded();
    for (const QString& k : found->byComputer.take(who)) {
        unwait(k);
        m_datagrams.remove(k);
    }
    found->told.remove(who);
}

std::optional<DeliveryChanged::State> DeliveryTracker::summary(const Item& item,
                                                               const QString& who) const {
    bool any = false;
    bool allRead = true;
    for (const QString& k : item.byComputer.value(who)) {
        const auto datagram = m_datagrams.constFind(k);
        if (datagram == m_datagrams.cend())
            continue;
        any = true;
        switch (datagram->state) {
        case State::Failed:
            return DeliveryChanged::State::Failed;
        case State::Waiting:
            return std::nullopt;
        case State::Delivered:
            allRead = false;
            break;
        case State::Read:
            break;
        }
    }
    if (!any)
        return std::nullopt;
    return allRead ? DeliveryChanged::State::Read : DeliveryChanged::State::Delivered;
}

quint64 DeliveryTracker::lastLineId(const Item& item, const QString& who) const {
    const QList<QString> keys = item.byComputer.value(who);
    for (auto k = keys.crbegin(); k != keys.crend(); ++k)
        if (const auto d = m_datagrams.constFind(*k); d != m_datagrams.cend())
            return d->lineId;
    return 0;
}

QList<DeliveryChanged> DeliveryTracker::receipt(const QString& computer, const Receipt& receipt) {
    QList<quint64> items;
    for (quint64 id : receipt.ids) {
        const QString k = key(computer, id);
        const auto found = m_datagrams.find(k);
        if (found == m_datagrams.end())
            continue; // not sent to it, or forgotten
        Datagram& datagram = found.value();
        // A read receipt says it arrived as well; one that comes after the line was called
        // failed shows it arrived after all.
        if (receipt.read)
            datagram.state = State::Read;
        else if (datagram.state != State::Read)
            datagram.state = State::Delivered;
        datagram.plain.clear();
        unwait(k);
        if (!items.contains(datagram.item))
            items.append(datagram.item);
    }
    QList<DeliveryChanged> changes;
    const QString who = computer.toCaseFolded();
    for (quint64 item : std::as_const(items)) {
        const auto found = m_items.find(item);
        if (found == m_items.end())
            continue;
        Item& entry = found.value();
        const auto state = summary(entry, who);
        if (!state)
            continue;
        const auto told = entry.told.constFind(who);
        if (told != entry.told.cend() && *told == *state)
            continue;
        entry.told.insert(who, *state);
        DeliveryChanged change;
        change.item = item;
        change.computer = computer;
        change.state = *state;
        change.lineId = lastLineId(entry, who);
        changes.append(change);
    }
    return changes;
}

QList<DeliveryTracker::Resend> DeliveryTracker::due(QList<DeliveryChanged>* failed) {
    QList<Resend> resends;
    const Clock::time_point now = m_now();
    QList<QString> dueKeys;
    for (auto it = m_byDue.cbegin(); it != m_byDue.cend() && it->first <= now; ++it)
        dueKeys.append(it->second);
    QList<std::pair<quint64, QString>> failedItems;
    for (const QString& k : std::as_const(dueKeys)) {
        Datagram& datagram = m_datagrams[k];
        if (datagram.tries >= kRetries) {
            datagram.state = State::Failed;
            const std::pair<quint64, QString> pair{datagram.item, datagram.computer};
            if (!failedItems.contains(pair))
                failedItems.append(pair);
            unwait(k);
            continue;
        }
        ++datagram.tries;
        wait(k, datagram, now + kBackoff[datagram.tries]);
        resends.append({datagram.computer, datagram.lineId, datagram.plain, datagram.isPrivate});
    }
    for (const auto& [item, computer] : failedItems) {
        const auto found = m_items.find(item);
        if (found == m_items.end())
            continue;
        Item& entry = found.value();
        const QString who = computer.toCaseFolded();
        const auto state = summary(entry, who);
        if (!state || *state != DeliveryChanged::State::Failed)
            continue;
        if (entry.told.value(who, DeliveryChanged::State::Delivered) ==
                DeliveryChanged::State::Failed &&
            entry.told.contains(who))
            continue;
        entry.told.insert(who, DeliveryChanged::State::Failed);
        if (failed) {
            DeliveryChanged change;
            change.item = item;
            change.computer = computer;
            change.state = DeliveryChanged::State::Failed;
            change.lineId = lastLineId(entry, who);
            failed->append(change);
        }
    }
    // Sent again in the order they were first sent, so a multi-line message stays in order.
    std::stable_sort(resends.begin(), resends.end(),
                     [](const Resend& a, const Resend& b) { return a.lineId < b.lineId; });
    return resends;
}

std::optional<DeliveryTracker::Clock::time_point> DeliveryTracker::nextDue() const {
    if (m_byDue.empty())
        return std::nullopt;
    return m_byDue.cbegin()->first;
}

QList<DeliveryTracker::Resend> DeliveryTracker::sendAgain(quint64 item) {
    QList<Resend> resends;
    const auto found = m_items.find(item);
    if (found == m_items.end())
        return resends;
    const Clock::time_point now = m_now();
    for (const QList<QString>& keys : std::as_const(found->byComputer))
        for (const QString& k : keys) {
            Datagram& datagram = m_datagrams[k];
            if (datagram.state != State::Failed)
                continue;
            datagram.state = State::Waiting;
            datagram.tries = 0;
            wait(k, datagram, now + kBackoff[0]);
            found->told.remove(datagram.computer.toCaseFolded());
            resends.append(
                {datagram.computer, datagram.lineId, datagram.plain, datagram.isPrivate});
        }
    std::stable_sort(resends.begin(), resends.end(),
                     [](const Resend& a, const Resend& b) { return a.lineId < b.lineId; });
    return resends;
}

void DeliveryTracker::describe(quint64 item, const QString& text) {
    if (const auto found = m_items.find(item); found != m_items.end())
        found->text = text;
}

QList<DeliveryTracker::FailedLine> DeliveryTracker::failedPrivate(const QString& computer) const {
    QList<FailedLine> lines;
    const QString who = computer.toCaseFolded();
    for (const quint64 item : m_itemOrder) {
        const auto found = m_items.constFind(item);
        if (found == m_items.cend())
            continue;
        FailedLine line{item, found->text, {}};
        for (const QString& k : found->byComputer.value(who)) {
            const auto datagram = m_datagrams.constFind(k);
            if (datagram != m_datagrams.cend() && datagram->state == State::Failed &&
                datagram->isPrivate && !datagram->plain.isEmpty())
                line.datagrams.append({datagram->lineId, datagram->plain});
        }
        if (line.datagrams.isEmpty())
            continue;
        std::sort(line.datagrams.begin(), line.datagrams.end(),
                  [](const auto& a, const auto& b) { return a.first < b.first; });
        lines.append(line);
    }
    return lines;
}

void DeliveryTracker::dropFailed(quint64 item, const QString& computer) {
    const auto found = m_items.find(item);
    if (found == m_items.end())
        return;
    const QString who = computer.toCaseFolded();
    QList<QString>& own = found->byComputer[who];
    for (qsizetype i = own.size() - 1; i >= 0; --i) {
        const auto datagram = m_datagrams.constFind(own[i]);
        if (datagram == m_datagrams.cend() || datagram->state != State::Failed)
            continue;
        m_datagrams.erase(datagram);
        own.removeAt(i);
    }
    found->told.remove(who);
}

// ---- LineLedger

bool LineLedger::take(const QString& computer, quint64 lineId) {
    const QString k = computer.toCaseFolded() + QLatin1Char('/') + QString::number(lineId, 16);
    if (m_taken.contains(k))
        return false;
    if (m_order.size() >= size_t(kRemembered)) {
        m_taken.remove(m_order.front());
        m_order.pop_front();
    }
    m_taken.insert(k, true);
    m_order.push_back(k);
    return true;
}

void LineLedger::noteUnread(const QString& computer, quint64 lineId) {
    if (m_unread.size() >= kUnread)
        m_unread.removeFirst();
    m_unread.append({computer, lineId});
}

QList<std::pair<QString, QList<quint64>>> LineLedger::takeUnread() {
    auto result = groupByComputer(m_unread);
    m_unread.clear();
    return result;
}

} // namespace kalvento::messaging
