// The chat session's receipts: line ids and trailers on what the user sends, receipts for
// what arrives, sending again what was not acknowledged (delivery.h).

#include "messaging/chat_protocol.h"
#include "messaging/chat_session.h"
#include "network/datagram_network.h"
#include "platform/text_codec.h"

namespace kalvento::messaging {

using platform::toWire;

namespace {

// Receipts for the lines of one reception pass go out together, once it ends.
constexpr std::chrono::milliseconds kReceiptDelay{0};

} // namespace

QString ChatSession::writtenText(const LineOutcome& outcome) {
    QStringList lines;
    for (const OutgoingMessage& message : outcome.messages)
        lines += message.lines;
    return lines.join(QLatin1Char('\n'));
}

QList<ChatSession::PlannedLine> ChatSession::planLines(const QList<OutgoingMessage>& messages,
                                                       bool isPrivate) {
    QList<PlannedLine> planned;
    for (const OutgoingMessage& message : messages) {
        if (!message.multiLine) {
            const QByteArray plain = toWire(message.lines.value(0));
            planned.append({isPrivate ? privateLineText(plain) : plain, 0, {}});
            continue;
        }
        for (int k = 0; k < message.lines.size() && k < kMaxMultiLineLines; ++k) {
            const QByteArray line = toWire(message.lines[k]);
            planned.append(
                {isPrivate ? privateMultiLineText(k, line) : publicMultiLineText(k, line), 0, {}});
        }
    }
    if (!m_guard.active())
        return planned;
    // Each line has one id for all its receivers, so that a line offered again later by
    // another copy is known for the same line.
    for (PlannedLine& line : planned) {
        line.lineId = m_lineClock.next();
        LineTrailer trailer;
        trailer.lineId = line.lineId;
        // A public line is signed by its author, so that another copy can offer it to one
        // that missed it, unchanged.
        if (!isPrivate) {
            SignedLine signedLine;
            signedLine.author = m_guard.identityKey()->publicKey();
            signedLine.lineId = line.lineId;
            signedLine.computer = network::wireName(m_ownComputerName);
            signedLine.name =
                toWire(m_ownIdentity.isEmpty() ? m_ownComputerName : m_ownIdentity, kMaxLineName);
            signedLine.text = line.plain;
            if (const auto signature = signLine(*m_guard.identityKey(), signedLine)) {
                trailer.name = signedLine.name;
                trailer.signature = *signature;
            }
        }
        line.trailer = encodeTrailer(trailer);
    }
    return planned;
}

void ChatSession::sendLines(const QString& receiver, const QList<PlannedLine>& lines,
                            bool isPrivate, SendResult& result, LineOutcome* outcome) {
    const Form form = isPrivate ? Form::PrivateLine : Form::PublicLine;
    const bool own = receiver.compare(m_ownComputerName, Qt::CaseInsensitive) == 0;
    // A current copy (one that sends signs of life) acknowledges each line it takes.
    const bool receipts = outcome && outcome->item != 0 && !own && m_presence.isFollowed(receiver);
    if (isPrivate && !own && queueForLater(receiver, lines, outcome))
        return;
    if (receipts && isPrivate)
        m_delivery.describe(outcome->item, writtenText(*outcome));
    bool sealed = false;
    bool booked = true;
    for (const PlannedLine& line : lines) {
        const int before = result.sent;
        const ChatGuard::LineForm went =
            sendTo(receiver, line.plain, 1, result, form, line.trailer);
        sealed = sealed || went == ChatGuard::LineForm::Sealed;
        // A line that could not be handed to the network is reported as failed now; it is
        // not waited for.
        if (receipts && booked && went == ChatGuard::LineForm::Sealed && result.sent > before)
            booked = m_delivery.expect(outcome->item, receiver, line.lineId,
                                       line.plain + '\0' + line.trailer, isPrivate);
    }
    // A long message to many computers can fill the book of receipts: a computer whose
    // lines did not all fit in it is told as one that sends no receipt, not left waiting.
    if (receipts && !booked)
        m_delivery.forget(outcome->item, receiver);
    if (!outcome || own || lines.isEmpty())
        return;
    if (receipts && sealed && booked)
        outcome->tracked.append(receiver);
    else if (!result.notEncrypted.contains(receiver))
        outcome->noReceipt.append(receiver);
    armRetries();
}

bool ChatSession::takeLine(const QString& computer, const QByteArray& computerWire,
                           const QByteArray& plain, const Verdict& verdict, bool own,
                           ReceivedLine& line) {
    if (!verdict.encrypted || verdict.trailer.isEmpty())
        return true;
    const std::optional<LineTrailer> trailer = decodeTrailer(verdict.trailer);
    if (!trailer)
        return true; // shown as any line; no receipt can name it
    line.lineId = trailer->lineId;
    if (m_collector)
        m_collector->seenLive(verdict.senderKey, trailer->lineId);
    // A public line its author signed is kept, to offer to a copy that missed it.
    if (trailer->signature && trailer->name && isPublicLine(plain)) {
        SignedLine signedLine;
        signedLine.author = verdict.senderKey;
        signedLine.lineId = trailer->lineId;
        signedLine.computer = computerWire;
        signedLine.name = *trailer->name;
        signedLine.text = plain;
        signedLine.signature = *trailer->signature;
        if (verifyLine(signedLine))
            m_history.add(signedLine);
    }
    if (own)
        return true;
    // Acknowledged every time it comes: the sender sends it again until a receipt arrives.
    queueReceipt(computer, trailer->lineId);
    if (!m_ledger.take(computer, trailer->lineId))
        return false;
    m_ledger.noteUnread(computer, trailer->lineId);
    return true;
}

void ChatSession::queueReceipt(const QString& computer, quint64 lineId) {
    m_receiptsDue.append({computer, lineId});
    if (!m_receiptTimer.isActive())
        m_receiptTimer.start(kReceiptDelay);
}

void ChatSession::sendReceipts() {
    const auto byComputer = groupByComputer(m_receiptsDue);
    m_receiptsDue.clear();
    sendReceiptsTo(byComputer, false);
}

void ChatSession::linesRead() {
    sendReceiptsTo(m_ledger.takeUnread(), true);
}

void ChatSession::sendReceiptsTo(const QList<std::pair<QString, QList<quint64>>>& byComputer,
                                 bool read) {
    SendResult result;
    for (const auto& [computer, ids] : byComputer)
        for (qsizetype i = 0; i < ids.size(); i += kMaxReceiptIds)
            sendTo(computer, receiptText(receiptBody(read, ids.mid(i, kMaxReceiptIds))), 1, result);
    for (const QString& error : std::as_const(result.errors))
        emit sendFailed(error);
}

void ChatSession::handleReceipt(const QString& computer, QByteArrayView body) {
    const std::optional<Receipt> receipt = parseReceipt(body);
    if (!receipt)
        return;
    for (const DeliveryChanged& change : m_delivery.receipt(computer, *receipt))
        tellDelivery(change);
    armRetries();
}

void ChatSession::tellDelivery(DeliveryChanged change) {
    // A line of the outbox from an earlier run: the window has no send for it.
    if (const auto earlier = m_earlierItems.constFind(change.item);
        earlier != m_earlierItems.cend()) {
        const Queued queued = m_queued.value(queuedKey(change.computer, *earlier));
        change.item = 0;
        change.lineId = *earlier;
        change.text = queued.text;
        change.queuedAt = queued.queuedAt;
    }
    emit deliveryChanged(change);
}

void ChatSession::armRetries() {
    const auto next = m_delivery.nextDue();
    if (!next) {
        m_retryTimer.stop();
        return;
    }
    const auto wait = std::max(
        std::chrono::ceil<std::chrono::milliseconds>(*next - DeliveryTracker::Clock::now()),
        std::chrono::milliseconds(10));
    m_retryTimer.start(wait);
}

void ChatSession::resend(const QList<DeliveryTracker::Resend>& resends) {
    SendResult result;
    for (const DeliveryTracker::Resend& line : resends) {
        // The plain text, a zero byte, the trailer: as the line first went.
        const qsizetype zero = line.plain.indexOf('\0');
        sendTo(line.computer, line.plain.first(zero), 1, result,
               line.isPrivate ? Form::PrivateLine : Form::PublicLine, line.plain.sliced(zero + 1));
    }
    for (const QString& error : std::as_const(result.errors))
        emit sendFailed(error);
}

void ChatSession::retryDue() {
    QList<DeliveryChanged> failed;
    resend(m_delivery.due(&failed));
    QStringList away;
    for (const DeliveryChanged& change : std::as_const(failed)) {
        tellDelivery(change);
        if (isAway(change.computer) && !away.contains(change.computer, Qt::CaseInsensitive))
            away.append(change.computer);
    }
    // A line that failed to a computer known to be away by now waits for it.
    for (const QString& computer : std::as_const(away))
        queueFailed(computer);
    armRetries();
}

bool ChatSession::sendAgain(quint64 item) {
    const QList<DeliveryTracker::Resend> resends = m_delivery.sendAgain(item);
    resend(resends);
    armRetries();
    return !resends.isEmpty();
}

} // namespace kalvento::messaging
