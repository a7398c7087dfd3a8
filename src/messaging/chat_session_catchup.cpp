// The chat session's outbox (private lines that wait for an absent computer with a known
// key) and catch-up (the public lines a copy missed while it was off, offered by its peers
// and signed by their authors).

#include "messaging/chat_protocol.h"
#include "messaging/chat_session.h"
#include "network/datagram_network.h"
#include "platform/atomic_file.h"
#include "platform/text_codec.h"

#include <QDateTime>
#include <QFile>

#include <algorithm>

namespace kalvento::messaging {

using platform::fromWire;
using platform::toWire;

namespace {

// The lines of a catch-up are shown together, this long after the last one came.
constexpr std::chrono::milliseconds kCatchUpSettle{1500};
// At most this many peers are asked; a peer serves one request per run of a copy.
constexpr int kCatchUpPeers = 3;
constexpr std::chrono::seconds kCatchUpServeGap{1};
constexpr std::chrono::hours kOutboxCheck{1};

quint64 nowMicros() {
    return quint64(QDateTime::currentMSecsSinceEpoch()) * 1000;
}

} // namespace

// ---- The outbox

QString ChatSession::setOutbox(const QString& path) {
    m_outboxPath = path;
    if (path.isEmpty()) {
        m_outbox = Outbox();
        return {};
    }
    Outbox::Loaded loaded =
        Outbox::load(path, [this](const crypto::PublicKey& key) { return restKeyFor(key); });
    m_outbox = std::move(loaded.outbox);
    expireOutbox();
    return loaded.error;
}

std::optional<crypto::SessionKey> ChatSession::restKeyFor(const crypto::PublicKey& key) {
    const crypto::PairKeys* pair = m_guard.pairKeys(key);
    return pair ? std::optional(Outbox::restKey(*pair)) : std::nullopt;
}

std::optional<QString> ChatSession::saveOutbox() {
    if (m_outboxPath.isEmpty() || !m_outbox.changed())
        return std::nullopt;
    const platform::Result result = m_outbox.save(
        m_outboxPath, [this](const crypto::PublicKey& key) { return restKeyFor(key); });
    if (result.error.isEmpty())
        return std::nullopt;
    emit sendFailed(result.error);
    return result.error;
}

QList<WaitingLine> ChatSession::waitingLines() const {
    QList<WaitingLine> lines;
    for (const Outbox::Entry& entry : m_outbox.entries())
        lines.append({entry.lineId, entry.computer, entry.queuedAt, entry.text});
    return lines;
}

void ChatSession::tellOutbox(quint64 lineId, DeliveryChanged::State state,
                             const Outbox::Entry& entry) {
    DeliveryChanged change;
    const auto queued = m_queued.constFind(queuedKey(entry.computer, lineId));
    change.item = queued != m_queued.cend() && !queued->earlierRun ? queued->item : 0;
    change.computer = entry.computer;
    change.state = state;
    change.lineId = lineId;
    change.text = entry.text;
    change.queuedAt = entry.queuedAt;
    emit deliveryChanged(change);
}

QString ChatSession::queuedKey(const QString& computer, quint64 lineId) {
    return computer.toCaseFolded() + u'/' + QString::number(lineId, 16);
}

bool ChatSession::cancelWaiting(quint64 lineId, const QString& computer) {
    Outbox::Entry cancelled;
    for (const Outbox::Entry& entry : m_outbox.entries())
        if (entry.lineId == lineId && entry.computer.compare(computer, Qt::CaseInsensitive) == 0)
            cancelled = entry;
    if (!m_outbox.cancel(lineId, computer))
        return false;
    saveOutbox();
    tellOutbox(lineId, DeliveryChanged::State::Cancelled, cancelled);
    return true;
}

void ChatSession::expireOutbox() {
    for (const Outbox::Entry& entry : m_outbox.expire(QDateTime::currentDateTimeUtc()))
        tellOutbox(entry.lineId, DeliveryChanged::State::Expired, entry);
    saveOutbox();
    if (m_outbox.size() == 0)
        m_outboxTimer.stop();
    else if (!m_outboxTimer.isActive())
        m_outboxTimer.start(kOutboxCheck);
}

bool ChatSession::queueForLater(const QString& receiver, const QList<PlannedLine>& lines,
                                LineOutcome* outcome) {
    const int listed = m_peers.indexOfComputer(receiver);
    const crypto::KnownKey* known = m_guard.book().find(receiver);
    if (!outcome || lines.isEmpty() || listed < 0 || !known ||
        known->trust == crypto::Trust::Changed ||
        m_peers.at(listed).presence != network::PeerPresence::Absent)
        return false;
    Outbox::Entry entry;
    entry.lineId = lines.first().lineId;
    entry.computer = receiver;
    entry.recipientKey = known->key;
    entry.queuedAt = QDateTime::currentDateTimeUtc();
    for (const PlannedLine& line : lines)
        entry.plainTexts.append(line.plain + '\0' + line.trailer);
    entry.text = writtenText(*outcome);
    // What the outbox cannot hold goes now, as to a computer that is there: it may arrive.
    if (m_outbox.add(entry) != Outbox::Added::Queued)
        return false;
    m_queued.insert(queuedKey(receiver, entry.lineId),
                    {outcome->item, false, entry.text, entry.queuedAt, receiver});
    outcome->waiting.append(receiver);
    saveOutbox();
    tellOutbox(entry.lineId, DeliveryChanged::State::Waiting, entry);
    if (!m_outboxTimer.isActive())
        m_outboxTimer.start(kOutboxCheck);
    return true;
}

bool ChatSession::isAway(const QString& computer) const {
    const int listed = m_peers.indexOfComputer(computer);
    return listed < 0 || m_peers.at(listed).presence == network::PeerPresence::Absent;
}

void ChatSession::queueFailed(const QString& computer) {
    const std::optional<crypto::PublicKey> key = pinnedKeyOf(computer);
    if (!key)
        return;
    bool queued = false;
    for (const DeliveryTracker::FailedLine& failed : m_delivery.failedPrivate(computer)) {
        Outbox::Entry entry;
        entry.lineId = failed.datagrams.first().first;
        entry.computer = computer;
        entry.recipientKey = *key;
        entry.queuedAt = QDateTime::currentDateTimeUtc();
        for (const auto& [lineId, plain] : failed.datagrams)
            entry.plainTexts.append(plain);
        entry.text = failed.text;
        // What the outbox cannot hold stays failed, to be sent again by the user.
        if (m_outbox.add(entry) != Outbox::Added::Queued)
            continue;
        m_delivery.dropFailed(failed.item, computer);
        // A line of an earlier run's outbox keeps being told as such (item 0).
        m_queued.insert(queuedKey(computer, entry.lineId),
                        {failed.item, m_earlierItems.contains(failed.item), entry.text,
                         entry.queuedAt, computer});
        tellOutbox(entry.lineId, DeliveryChanged::State::Waiting, entry);
        queued = true;
    }
    if (!queued)
        return;
    saveOutbox();
    if (!m_outboxTimer.isActive())
        m_outboxTimer.start(kOutboxCheck);
}

void ChatSession::sendWaiting(const QString& computer) {
    if (m_outbox.size() == 0 || !m_presence.isFollowed(computer))
        return;
    const crypto::KnownKey* known = m_guard.book().find(computer);
    if (!known || known->trust == crypto::Trust::Changed)
        return;
    const QList<Outbox::Entry> entries = m_outbox.takeFor(computer, known->key);
    if (entries.isEmpty())
        return;
    SendResult result;
    for (const Outbox::Entry& entry : entries) {
        const QString key = queuedKey(entry.computer, entry.lineId);
        auto queued = m_queued.find(key);
        if (queued == m_queued.end()) {
            // Queued in an earlier run: receipts are followed under an item of their own,
            // told to the window as item 0.
            const quint64 item = m_delivery.newItem();
            queued = m_queued.insert(key, {item, true, entry.text, entry.queuedAt, entry.computer});
            m_earlierItems.insert(item, entry.lineId);
        }
        m_delivery.describe(queued->item, entry.text);
        for (const QByteArray& plain : entry.plainTexts) {
            const qsizetype zero = plain.indexOf('\0');
            const QByteArray text = zero < 0 ? plain : plain.first(zero);
            const QByteArray trailer = zero < 0 ? QByteArray() : plain.sliced(zero + 1);
            const int before = result.sent;
            const ChatGuard::LineForm went =
                sendTo(computer, text, 1, result, Form::PrivateLine, trailer);
            const auto decoded = decodeTrailer(trailer);
            if (went == ChatGuard::LineForm::Sealed && result.sent > before && decoded)
                m_delivery.expect(queued->item, computer, decoded->lineId, plain, true);
        }
        tellOutbox(entry.lineId, DeliveryChanged::State::Sent, entry);
    }
    for (const QString& error : std::as_const(result.errors))
        emit sendFailed(error);
    saveOutbox();
    armRetries();
}

// ---- Catch-up

QString ChatSession::setCatchUpMark(const QString& path) {
    m_markPath = path;
    m_collector.reset();
    m_askAtStart = false;
    if (path.isEmpty())
        return {};
    // The collector follows the lines seen live from now on, so that a round of asking
    // after a silence shows only what was missed.
    auto pinned = [this](const QString& computer) { return pinnedKeyOf(computer); };
    QFile file(path);
    if (!file.exists()) {
        m_collector.emplace(nowMicros(), pinned); // never here before: nothing was missed
        return {};
    }
    const QByteArray line = file.open(QIODevice::ReadOnly) ? file.readLine(64).trimmed() : "";
    bool ok = false;
    const quint64 since = line.startsWith("last-here ") ? line.sliced(10).toULongLong(&ok) : 0;
    m_askAtStart = ok && since != 0;
    // A moment ahead of the clock was written while the clock ran ahead, and it was set
    // back since: taken as it stands, nothing offered in this run would be taken until the
    // clock passed it. What was said before now is all there can be.
    m_collector.emplace(m_askAtStart ? std::min(since, nowMicros()) : nowMicros(), pinned);
    if (file.error() != QFileDevice::NoError)
        return QStringLiteral("%1: %2").arg(path, file.errorString());
    if (!m_askAtStart)
        return QStringLiteral("%1: not a moment this copy was last there").arg(path);
    return {};
}

std::optional<crypto::PublicKey> ChatSession::pinnedKeyOf(const QString& computer) const {
    const crypto::KnownKey* known = m_guard.book().find(computer);
    if (!known || known->trust == crypto::Trust::Changed)
        return std::nullopt;
    return known->key;
}

QString ChatSession::saveCatchUpMark() {
    // Only a copy that knows others with keys has anybody to catch up from.
    if (m_markPath.isEmpty() || !m_guard.active() || m_guard.knownComputers().isEmpty())
        return {};
    try {
        platform::writeFileAtomically(m_markPath, QByteArray("last-here ") +
                                                      QByteArray::number(nowMicros()) + '\n');
    } catch (const std::exception& e) {
        return QString::fromUtf8(e.what());
    }
    return {};
}

void ChatSession::askCatchUp(const QString& computer) {
    if (!m_collector || !m_askAtStart || m_catchUpAsked.size() >= kCatchUpPeers ||
        m_catchUpAsked.contains(computer.toCaseFolded()) || !m_presence.isFollowed(computer))
        return;
    m_catchUpAsked.append(computer.toCaseFolded());
    sendCatchUpAsk(computer, m_collector->since());
}

void ChatSession::sendCatchUpAsk(const QString& computer, quint64 sinceMicros) {
    SendResult result;
    sendTo(computer, catchUpAskText(lineIdText(sinceMicros).toLatin1()), 1, result);
    for (const QString& error : std::as_const(result.errors))
        emit sendFailed(error);
}

void ChatSession::askMissed(const QString& computer, const QDateTime& lastHeard) {
    if (!m_collector || !m_presence.isFollowed(computer))
        return;
    // Everybody comes back within an interval of the first when this copy was the one
    // away: one round asks the first few of them.
    const auto now = std::chrono::steady_clock::now();
    if (!m_missedRoundAt || now - *m_missedRoundAt >= m_presence.interval()) {
        m_missedRoundAt = now;
        m_missedAsked.clear();
    }
    const QString key = computer.toCaseFolded();
    if (m_missedAsked.size() >= kCatchUpPeers || m_missedAsked.contains(key))
        return;
    m_missedAsked.append(key);
    // Line ids are their authors' clocks, which may be behind this one.
    const qint64 heardMs = std::max<qint64>(lastHeard.toMSecsSinceEpoch(), 0);
    const quint64 heard = quint64(heardMs) * 1000;
    const quint64 since = heard > kMaxLineAhead ? heard - kMaxLineAhead : 1;
    m_collector->newRound();
    sendCatchUpAsk(computer, since);
}

bool ChatSession::mayOfferCaughtUp(const QString& computer) const {
    const QString key = computer.toCaseFolded();
    return m_catchUpAsked.contains(key) || m_missedAsked.contains(key);
}

void ChatSession::serveCatchUp(const QString& computer, qint32 senderId, QByteArrayView body) {
    bool ok = body.size() == 16;
    const quint64 since = ok ? body.toULongLong(&ok, 16) : 0;
    if (!ok || m_peers.indexOfComputer(computer) < 0)
        return;
    // A copy asks when it starts, and again when it comes back after a silence: at most
    // one request per computer in kCatchUpServeGap, and from one run of it (its sender id,
    // which its signature binds) at most one an interval.
    const auto now = std::chrono::steady_clock::now();
    const QString key = computer.toCaseFolded();
    if (const auto last = m_catchUpServed.constFind(key); last != m_catchUpServed.cend()) {
        const auto gap = last->senderId == senderId
                             ? std::max<std::chrono::steady_clock::duration>(kCatchUpServeGap,
                                                                             m_presence.interval())
                             : std::chrono::steady_clock::duration(kCatchUpServeGap);
        if (now - last->at < gap)
            return;
    }
    if (m_catchUpServed.size() >= network::PeerList::kMaxEntries)
        m_catchUpServed.clear();
    m_catchUpServed.insert(key, {senderId, now});
    for (const SignedLine& line : m_history.since(since, nowMicros()))
        offerLine(computer, line);
}

void ChatSession::offerLine(const QString& computer, const SignedLine& line) {
    // Only sealed for the one who asked: nobody else reads what it is offered.
    if (m_guard.lineForm(computer, true) != ChatGuard::LineForm::Sealed)
        return;
    const QByteArray record = encodeRecord(line);
    if (record.isEmpty())
        return;
    SendResult result;
    sendTo(computer, QByteArray(kCatchUpLineTag), 1, result, Form::PrivateLine, record);
    for (const QString& error : std::as_const(result.errors))
        emit sendFailed(error);
}

void ChatSession::takeCaughtUpLine(const QString& computer, const Verdict& verdict) {
    if (!m_collector || !verdict.encrypted || !mayOfferCaughtUp(computer))
        return;
    const std::optional<SignedLine> line = decodeRecord(verdict.trailer);
    if (!line) {
        emit refused(RefusalReason::Auth, computer);
        return;
    }
    switch (m_collector->offer(*line, nowMicros())) {
    case CatchUpCollector::Verdict::Accepted:
        m_catchUpTimer.start(kCatchUpSettle);
        return;
    case CatchUpCollector::Verdict::BadSignature:
    case CatchUpCollector::Verdict::WrongKey:
    case CatchUpCollector::Verdict::NotPublic:
        // Changed on the way, or not its author's: the relay is to blame.
        emit refused(RefusalReason::Auth, computer);
        return;
    case CatchUpCollector::Verdict::UnknownAuthor:
    case CatchUpCollector::Verdict::TooOld:
    case CatchUpCollector::Verdict::Future:
    case CatchUpCollector::Verdict::Duplicate:
    case CatchUpCollector::Verdict::Full:
        return;
    }
}

void ChatSession::acknowledgeCaughtUp(const QString& author, const SignedLine& line) {
    // Its author's live copy, if one is still on its way, is acknowledged but not shown again.
    m_ledger.take(author, line.lineId);
    // The author may still wait for this line, or have marked it not delivered: tell it the
    // line arrived after all, and that it was read once the window shows it.
    if (m_peers.indexOfComputer(author) < 0 || pinnedKeyOf(author) != line.author)
        return;
    queueReceipt(author, line.lineId);
    m_ledger.noteUnread(author, line.lineId);
}

void ChatSession::showCaughtUp() {
    if (!m_collector)
        return;
    const QList<SignedLine> lines = m_collector->take();
    if (lines.isEmpty())
        return;
    const auto& own = m_guard.identityKey();
    for (const SignedLine& signedLine : lines) {
        const ClassifiedMessage message = classifyMessage(signedLine.text);
        ReceivedLine line;
        line.kind = ReceivedLine::Kind::Public;
        if (message.kind == MessageKind::PublicMultiLine) {
            line.multiLineStart = message.firstLine;
            line.continuation = !message.firstLine;
        }
        line.own = own && own->publicKey() == signedLine.author;
        line.senderName = fromWire(signedLine.name);
        line.senderComputer = fromWire(signedLine.computer);
        line.text = fromWire(message.body);
        line.encrypted = true;
        line.senderTrust = m_guard.trustOf(line.senderComputer);
        line.lineId = signedLine.lineId;
        line.caughtUp = true;
        line.sentAt = QDateTime::fromMSecsSinceEpoch(qint64(signedLine.lineId / 1000));
        if (!line.own)
            acknowledgeCaughtUp(line.senderComputer, signedLine);
        emit lineReceived(line);
    }
    emit caughtUp(int(lines.size()));
}

} // namespace kalvento::messaging
