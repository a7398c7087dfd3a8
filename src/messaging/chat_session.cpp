#include "messaging/chat_session.h"

#include "messaging/chat_protocol.h"
#include "platform/text_codec.h"

#include <QDebug>

namespace kalvento::messaging {

using platform::fromWire;
using platform::toWire;

const char* lineKindName(const ReceivedLine& line) {
    if (line.continuation)
        return "more";
    return line.kind == ReceivedLine::Kind::Private ? "private" : "public";
}

ChatSession::ChatSession(TMailslotTerminal& terminal, network::PeerList& peers,
                         network::TNetUsers& netUsers, QObject* parent)
    : QObject(parent), m_terminal(terminal), m_peers(peers), m_netUsers(netUsers) {
    // Every send names its receiver: a computer or a whole workgroup.
    m_terminal.SetReceiver(rcDomainOrComputer);
    m_terminal.SetOnNewMessage([this](TMailslotTerminal* sender, qint32 id, quint16 size) {
        TerminaaliNewMessage(sender, id, size);
    });
}

void ChatSession::setOwnNames(const QString& computerName, const QString& groupName) {
    m_ownComputerName = computerName;
    m_ownGroupName = groupName;
    m_peers.setOwnComputerName(computerName);
}

qsizetype ChatSession::maxLineLength() const {
    return maxPlainTextLength(
        quint32(m_terminal.MaxPayloadSize() + TMailslotTerminal::kHeaderSize));
}

void ChatSession::sendTo(const QString& receiver, const QByteArray& plain, int copies,
                         SendResult& result) {
    // A text longer than a datagram carries is cut, never sent with a wrapped size.
    const QByteArray payload = payloadFromPlainText(limitPlainText(plain, maxLineLength()));
    m_terminal.SetReceiverName(receiver);
    for (int i = 0; i < copies; ++i) {
        try {
            m_terminal.Send(payload);
            ++result.sent;
        } catch (const std::exception& e) {
            result.errors.append(receiver + QStringLiteral(": ") + QString::fromUtf8(e.what()));
            return; // the copies that follow would fail the same way
        }
    }
}

SendResult ChatSession::sendToEach(const QStringList& receivers, const QByteArray& plain) {
    SendResult result;
    for (const QString& receiver : receivers)
        sendTo(receiver, plain, m_deliveries, result);
    return result;
}

SendResult ChatSession::SendGreeting() {
    SendResult result = sendToEach(m_netUsers.Names(),
                                   greetingText(toWire(m_ownComputerName), toWire(m_ownGroupName)));
    if (!m_ownIdentity.isEmpty())
        result.merge(SendIdentity());
    return result;
}

SendResult ChatSession::SendIdentity() {
    return sendToEach(m_netUsers.Names(), identityText(toWire(m_ownIdentity)));
}

SendResult ChatSession::SendAnswer(const QString& computerName) {
    SendResult result;
    sendTo(computerName, answerText(toWire(m_ownComputerName), toWire(m_ownGroupName)),
           m_deliveries, result);
    if (!m_ownIdentity.isEmpty())
        sendTo(computerName, identityText(toWire(m_ownIdentity)), m_deliveries, result);
    return result;
}

SendResult ChatSession::SendGoodbye() {
    return sendToEach(m_peers.computerNames(), goodbyeText(toWire(m_ownComputerName)));
}

QStringList ChatSession::multiLineLines(const QString& commaText) {
    return splitCommaText(commaText);
}

QList<OutgoingMessage> ChatSession::planMessages(const QStringList& lines, bool multiLine,
                                                 bool isPrivate) const {
    QList<OutgoingMessage> messages;
    // Every tag ("#PRI#", "#LLk#", "\xA4LLk\xA4") is five bytes.
    constexpr qsizetype kTagLength = 5;
    const qsizetype room = maxLineLength() - kTagLength;
    if (!multiLine && lines.size() == 1) {
        const QByteArray plain = toWire(lines.first());
        if (plain.size() <= (isPrivate ? room : maxLineLength()))
            return {OutgoingMessage{false, lines}};
    }
    OutgoingMessage message{true, {}};
    for (const QString& line : lines) {
        for (const QByteArray& piece : splitPlainText(toWire(line), room)) {
            if (message.lines.size() == kMaxMultiLineLines) {
                messages.append(message);
                message.lines.clear();
            }
            message.lines.append(fromWire(piece));
        }
    }
    if (!message.lines.isEmpty())
        messages.append(message);
    return messages;
}

void ChatSession::sendMessages(const QString& receiver, const QList<OutgoingMessage>& messages,
                               bool isPrivate, SendResult& result) {
    for (const OutgoingMessage& message : messages) {
        if (!message.multiLine) {
            const QByteArray plain = toWire(message.lines.value(0));
            sendTo(receiver, isPrivate ? privateLineText(plain) : plain, 1, result);
            continue;
        }
        for (int k = 0; k < message.lines.size() && k < kMaxMultiLineLines; ++k) {
            const QByteArray line = toWire(message.lines[k]);
            sendTo(receiver,
                   isPrivate ? privateMultiLineText(k, line) : publicMultiLineText(k, line), 1,
                   result);
        }
    }
}

SendResult ChatSession::sendPublic(const QList<OutgoingMessage>& messages) {
    SendResult result;
    QStringList receivers = m_peers.computerNames();
    // The own copy shows a public line when it comes back, so it always gets one, also
    // before its own greeting has listed it.
    if (!m_ownComputerName.isEmpty() && m_peers.indexOfComputer(m_ownComputerName) < 0)
        receivers.prepend(m_ownComputerName);
    for (const QString& computer : receivers)
        sendMessages(computer, messages, false, result);
    return result;
}

SendResult ChatSession::sendPrivate(const QList<OutgoingMessage>& messages,
                                    QStringList* shortNames) {
    SendResult result;
    for (int i : m_peers.tickedIndices()) {
        if (shortNames)
            shortNames->append(m_peers.ShortName(i));
        sendMessages(m_peers.at(i).computerName, messages, true, result);
    }
    return result;
}

SendResult ChatSession::sendPublic(const QString& text, bool multiLine) {
    return sendPublic(
        planMessages(multiLine ? multiLineLines(text) : QStringList{text}, multiLine, false));
}

SendResult ChatSession::sendPrivate(const QString& text, bool multiLine, QStringList* shortNames) {
    return sendPrivate(
        planMessages(multiLine ? multiLineLines(text) : QStringList{text}, multiLine, true),
        shortNames);
}

void ChatSession::TerminaaliNewMessage(TMailslotTerminal* sender, qint32 senderId,
                                       quint16 msgSize) {
    const QByteArray plain = plainTextFromPayload(sender->ReceiveStream().Read(qsizetype(msgSize)));
    const ClassifiedMessage message = classifyMessage(plain);

    ReceivedLine line;
    line.senderId = senderId;
    switch (message.kind) {
    case MessageKind::Greeting: {
        const auto [computer, group] = splitComputerAndGroup(message.body);
        const QString computerName = fromWire(computer);
        // This copy's own greeting coming back costs nothing; any other is within budget
        // or ignored.
        if (computerName != m_ownComputerName && !m_budget.take(sender->ReceiveSource()))
            return;
        m_peers.GreetingReceived(computerName, fromWire(group), senderId);
        if (computerName != m_ownComputerName) {
            const SendResult result = SendAnswer(computerName);
            for (const QString& error : result.errors)
                emit sendFailed(error);
        }
        return;
    }
    case MessageKind::Goodbye:
        m_peers.GoodbyeReceived(fromWire(message.body));
        return;
    case MessageKind::Answer: {
        const auto [computer, group] = splitComputerAndGroup(message.body);
        // An answer sends nothing now, but lists a computer that every later line goes to.
        // A repeat of one already listed ("Deliveries" copies) costs nothing.
        const QString computerName = fromWire(computer);
        const int listed = m_peers.indexOfComputer(computerName);
        const bool repeat = listed >= 0 && m_peers.at(listed).senderId == QString::number(senderId);
        if (!repeat && !m_budget.take(sender->ReceiveSource()))
            return;
        m_peers.AnswerReceived(computerName, fromWire(group), senderId);
        return;
    }
    case MessageKind::Identity:
        m_peers.IdentityReceived(fromWire(message.body), senderId);
        return;
    case MessageKind::UnknownTag:
        return;
    case MessageKind::PrivateLine:
        line.kind = ReceivedLine::Kind::Private;
        break;
    case MessageKind::PublicMultiLine:
    case MessageKind::PrivateMultiLine:
        line.kind = message.kind == MessageKind::PublicMultiLine ? ReceivedLine::Kind::Public
                                                                 : ReceivedLine::Kind::Private;
        line.multiLineStart = message.firstLine;
        line.continuation = !message.firstLine;
        break;
    case MessageKind::PublicLine:
        break;
    }
    line.own =
        line.kind == ReceivedLine::Kind::Public && senderId == qint32(m_terminal.TerminalId());
    if (!line.continuation) {
        // The own line that comes back before the own greeting listed this copy still
        // names its sender.
        if (line.own && m_peers.indexOfSender(senderId) < 0)
            line.senderName = m_ownIdentity.isEmpty() ? m_ownComputerName : m_ownIdentity;
        else
            line.senderName = m_peers.SenderName(senderId);
    }
    line.text = fromWire(message.body);
    emit lineReceived(line);
}

} // namespace kalvento::messaging
