#include "messaging/chat_session.h"

#include "messaging/chat_protocol.h"
#include "network/datagram_network.h"
#include "platform/text_codec.h"

#include <QDebug>
#include <QScopeGuard>

namespace kalvento::messaging {

using platform::fromWire;
using platform::toWire;

const char* deliveryStateName(DeliveryChanged::State state) {
    switch (state) {
    case DeliveryChanged::State::Delivered:
        return "delivered";
    case DeliveryChanged::State::Read:
        return "read";
    case DeliveryChanged::State::Failed:
        return "failed";
    case DeliveryChanged::State::Waiting:
        return "queued";
    case DeliveryChanged::State::Sent:
        return "sent";
    case DeliveryChanged::State::Cancelled:
        return "cancelled";
    case DeliveryChanged::State::Expired:
        return "expired";
    }
    return "delivered";
}

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
    m_waitingTimer.setSingleShot(true);
    connect(&m_waitingTimer, &QTimer::timeout, this, &ChatSession::takeWaitingGreetings);
    m_confirmTimer.setInterval(kConfirmRetry);
    connect(&m_confirmTimer, &QTimer::timeout, this, &ChatSession::askAgain);
    m_presence = PresenceKeeper(PresenceKeeper::intervalFromEnvironment());
    m_retryTimer.setSingleShot(true);
    connect(&m_retryTimer, &QTimer::timeout, this, &ChatSession::retryDue);
    m_receiptTimer.setSingleShot(true);
    connect(&m_receiptTimer, &QTimer::timeout, this, &ChatSession::sendReceipts);
    connect(&m_outboxTimer, &QTimer::timeout, this, &ChatSession::expireOutbox);
    m_catchUpTimer.setSingleShot(true);
    connect(&m_catchUpTimer, &QTimer::timeout, this, &ChatSession::showCaughtUp);
    connect(&m_signTimer, &QTimer::timeout, this, &ChatSession::sendSignsOfLife);
    m_expiryTimer.setSingleShot(true);
    connect(&m_expiryTimer, &QTimer::timeout, this, &ChatSession::checkPresence);
    // A computer without a key changes nothing of presence: a flood of plain greetings
    // costs no count of the list.
    connect(&m_peers, &network::PeerList::entryAdded, this, [this](int i) {
        if (m_peers.at(i).trust == network::PeerTrust::Plain)
            return;
        schedulePresence();
    });
}

ChatSession::~ChatSession() {
    network::DatagramNetwork& network = m_terminal.network();
    for (const QString& computer : std::as_const(m_guarded))
        network.setGuarded(computer, false);
}

void ChatSession::setOwnNames(const QString& computerName, const QString& groupName) {
    m_ownComputerName = computerName;
    m_ownGroupName = groupName;
    m_guard.setOwnComputerName(computerName);
    m_peers.setOwnComputerName(computerName);
}

qsizetype ChatSession::maxLineLength() const {
    return maxPlainTextLength(
        quint32(m_terminal.MaxPayloadSize() + TMailslotTerminal::kHeaderSize));
}

EnvelopeContext ChatSession::contextFor(const QString& receiver) const {
    return {m_terminal.TerminalId(), network::wireName(m_ownComputerName),
            network::wireName(receiver)};
}

ChatGuard::LineForm ChatSession::sendTo(const QString& receiver, const QByteArray& plain,
                                        int copies, SendResult& result, Form form,
                                        const QByteArray& trailer) {
    ChatGuard::LineForm lineForm = ChatGuard::LineForm::Plain;
    if (form != Form::Control) {
        lineForm = m_guard.lineForm(receiver, form == Form::PrivateLine);
        if (lineForm == ChatGuard::LineForm::Withheld) {
            if (!result.notEncrypted.contains(receiver))
                result.notEncrypted.append(receiver);
            return lineForm;
        }
        if (m_guard.active() && lineForm == ChatGuard::LineForm::Plain &&
            form == Form::PrivateLine && !result.sentPlain.contains(receiver))
            result.sentPlain.append(receiver);
    }
    // A text longer than a datagram carries is cut, never sent with a wrapped size. A
    // signature takes room of its own.
    const qsizetype room = form == Form::Control && m_guard.active()
                               ? maxPlainTextLength(quint32(m_terminal.MaxPayloadSize() +
                                                            TMailslotTerminal::kHeaderSize -
                                                            ChatGuard::kSignedOverhead))
                               : maxLineLength();
    QByteArray text = limitPlainText(plain, room);
    // Sealed, the text travels as it is (not encoded), which leaves room for the trailer.
    if (lineForm == ChatGuard::LineForm::Sealed && !trailer.isEmpty())
        text += '\0' + trailer;
    const EnvelopeContext context = contextFor(receiver);
    m_terminal.SetReceiverName(receiver);
    const bool bothKeys = form == Form::PublicLine && lineForm == ChatGuard::LineForm::Sealed &&
                          m_guard.sealsForBothKeys(receiver);
    for (int i = 0; i < copies; ++i) {
        try {
            // Each copy has a counter of its own: a second copy of one counter would be a
            // replay to its receiver.
            m_terminal.Send(form == Form::Control
                                ? m_guard.controlPayload(text, context)
                                : m_guard.linePayload(receiver, lineForm, text, context));
            // The receiver refuses the one it cannot open; a refused datagram does not
            // spend its sequence number, so the other is still taken.
            if (bothKeys)
                m_terminal.Send(m_guard.linePayload(receiver, lineForm, text, context, true));
            ++result.sent;
        } catch (const std::exception& e) {
            result.errors.append(receiver + QStringLiteral(": ") + QString::fromUtf8(e.what()));
            break; // the copies that follow would fail the same way
        }
    }
    return lineForm;
}

SendResult ChatSession::sendToEach(const QStringList& receivers, const QByteArray& plain) {
    SendResult result;
    for (const QString& receiver : receivers)
        sendTo(receiver, plain, m_deliveries, result);
    return result;
}

SendResult ChatSession::SendGreeting() {
    // The answers to it are asked for.
    m_budget.greetingSent();
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
    int withheld = 0;
    const QStringList receivers = lineRecipients(&withheld);
    SendResult result = sendToEach(receivers, goodbyeText(toWire(m_ownComputerName)));
    result.withheld = withheld;
    return result;
}

QStringList ChatSession::lineRecipients(int* withheld) {
    network::DatagramNetwork& network = m_terminal.network();
    QStringList receivers;
    int unconfirmed = 0;
    int left = 0;
    for (int i = 0; i < m_peers.count(); ++i) {
        const QString& computer = m_peers.at(i).computerName;
        switch (network.reach(computer)) {
        case network::Reach::Confirmed:
            receivers.append(computer);
            break;
        case network::Reach::Heard:
            if (unconfirmed < kUnconfirmedRecipients) {
                ++unconfirmed;
                receivers.append(computer);
            } else {
                // Not asked again here: a line would then send a question to every
                // forged address instead. It is asked when it next speaks.
                ++left;
            }
            break;
        case network::Reach::Unknown:
            // Only a broadcast to every interface and static peer would reach it; a
            // computer that greeted was heard from where it greeted.
            ++left;
            break;
        }
    }
    if (withheld)
        *withheld = left;
    return receivers;
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

SendResult ChatSession::sendPublic(const QList<OutgoingMessage>& messages, LineOutcome* outcome) {
    SendResult result;
    QStringList receivers = lineRecipients(&result.withheld);
    // The own copy shows a public line when it comes back, so it always gets one, also
    // before its own greeting has listed it.
    if (!m_ownComputerName.isEmpty() && m_peers.indexOfComputer(m_ownComputerName) < 0)
        receivers.prepend(m_ownComputerName);
    const QList<PlannedLine> lines = planLines(messages, false);
    if (outcome)
        for (const PlannedLine& line : lines)
            if (line.lineId != 0)
                outcome->lineIds.append(line.lineId);
    for (const QString& computer : receivers)
        sendLines(computer, lines, false, result, outcome);
    return result;
}

SendResult ChatSession::sendPrivate(const QList<OutgoingMessage>& messages, QStringList* shortNames,
                                    LineOutcome* outcome) {
    SendResult result;
    const QList<PlannedLine> lines = planLines(messages, true);
    if (outcome)
        for (const PlannedLine& line : lines)
            if (line.lineId != 0)
                outcome->lineIds.append(line.lineId);
    for (int i : m_peers.tickedIndices()) {
        if (shortNames)
            shortNames->append(m_peers.distinctName(i));
        sendLines(m_peers.at(i).computerName, lines, true, result, outcome);
    }
    return result;
}

SendResult ChatSession::sendPublic(const QString& typed) {
    return sendPublic(planMessages({typed}, false, false));
}

SendResult ChatSession::sendPrivate(const QString& typed, QStringList* shortNames) {
    return sendPrivate(planMessages({typed}, false, true), shortNames);
}

void ChatSession::askToConfirm(const QString& computerName) {
    network::DatagramNetwork& network = m_terminal.network();
    // Only what is listed: a greeting that finds the list full is answered, not asked.
    if (m_peers.indexOfComputer(computerName) < 0 ||
        network.reach(computerName) != network::Reach::Heard)
        return;
    Asking& asking = m_confirming[computerName.toCaseFolded()];
    asking.computerName = computerName;
    network.confirm(computerName); // nothing goes out when its address was just asked
    ++asking.asked;
    if (!m_confirmTimer.isActive())
        m_confirmTimer.start();
}

void ChatSession::askAgain() {
    network::DatagramNetwork& network = m_terminal.network();
    for (auto it = m_confirming.begin(); it != m_confirming.end();) {
        Asking& asking = it.value();
        if (asking.asked >= kConfirmTries || m_peers.indexOfComputer(asking.computerName) < 0 ||
            network.reach(asking.computerName) != network::Reach::Heard) {
            it = m_confirming.erase(it);
            continue;
        }
        network.confirm(asking.computerName);
        ++asking.asked;
        ++it;
    }
    if (m_confirming.isEmpty())
        m_confirmTimer.stop();
}

void ChatSession::setOwnStatus(network::PeerPresence status, const QString& text) {
    if (status != network::PeerPresence::Away && status != network::PeerPresence::Busy)
        status = network::PeerPresence::Available;
    const QString simplified = text.simplified();
    if (status == m_ownStatus && simplified == m_ownStatusText)
        return;
    m_ownStatus = status;
    m_ownStatusText = simplified;
    // Told at once, not with the next round.
    SendResult result;
    const QByteArray plain = signOfLifeText(signOfLifeBody(m_ownStatus, m_ownStatusText));
    for (const QString& receiver : presenceRecipients())
        sendTo(receiver, plain, 1, result);
    for (const QString& error : result.errors)
        emit sendFailed(error);
}

void ChatSession::setPresence(PresenceKeeper presence) {
    m_presence = std::move(presence);
    m_signTimer.stop();
    m_expiryTimer.stop();
    schedulePresence();
}

QStringList ChatSession::presenceRecipients() {
    QStringList receivers;
    if (!m_guard.active())
        return receivers;
    for (const QString& computer : lineRecipients()) {
        if (computer.compare(m_ownComputerName, Qt::CaseInsensitive) != 0 &&
            m_guard.book().find(computer))
            receivers.append(computer);
    }
    return receivers;
}

void ChatSession::schedulePresence() {
    if (!m_guard.active() || m_signTimer.isActive())
        return;
    // Only for a computer listed under a key (a flood of plain greetings costs nothing).
    bool pinned = false;
    for (int i = 0; i < m_peers.count() && !pinned; ++i)
        pinned = m_peers.at(i).trust != network::PeerTrust::Plain &&
                 m_peers.at(i).computerName.compare(m_ownComputerName, Qt::CaseInsensitive) != 0;
    if (!pinned)
        return;
    // The first round at a moment of the interval chosen at random; the timer stops again
    // at a round that finds nobody to send to.
    m_signTimer.start(m_presence.firstRound());
}

void ChatSession::sendSignsOfLife() {
    const QStringList receivers = presenceRecipients();
    if (receivers.isEmpty()) {
        m_signTimer.stop(); // nobody left: no more wake-ups until one is listed
        return;
    }
    // One wake-up an interval sends the whole round. A sign of life that did not go is
    // missed like a lost datagram: the receiver asks after it before it greys this copy.
    SendResult result;
    const QByteArray plain = signOfLifeText(signOfLifeBody(m_ownStatus, m_ownStatusText));
    for (const QString& receiver : receivers)
        sendTo(receiver, plain, 1, result);
    if (std::chrono::milliseconds(m_signTimer.interval()) != m_presence.interval())
        m_signTimer.start(m_presence.interval());
}

void ChatSession::sendSignOfLifeTo(const QString& computer) {
    if (!m_guard.active() || computer.compare(m_ownComputerName, Qt::CaseInsensitive) == 0 ||
        !m_guard.book().find(computer) ||
        m_terminal.network().reach(computer) == network::Reach::Unknown)
        return;
    SendResult result;
    sendTo(computer, signOfLifeText(signOfLifeBody(m_ownStatus, m_ownStatusText)), 1, result);
    for (const QString& error : std::as_const(result.errors))
        emit sendFailed(error);
}

void ChatSession::notePresence(const QString& computer, bool signOfLife, const Status& status) {
    if (computer.compare(m_ownComputerName, Qt::CaseInsensitive) == 0 ||
        m_peers.indexOfComputer(computer) < 0 || !m_guard.book().find(computer))
        return;
    QDateTime silentSince;
    if (const auto change =
            m_presence.heard(computer, signOfLife, status.presence, status.text, &silentSince))
        tellPresence(*change);
    // Heard: what waits for it goes out, and a copy that was away asks what it missed.
    sendWaiting(computer);
    askCatchUp(computer);
    if (silentSince.isValid())
        askMissed(computer, silentSince);
    // The earliest deadline moves on with every sign of life: the timer follows it, so that
    // it fires only when a computer is really late, not a few times a minute for nothing.
    armPresenceExpiry();
}

void ChatSession::tellPresence(const PresenceKeeper::Change& change) {
    // Away now: the private lines that failed to it wait for it in the outbox.
    if (change.presence == network::PeerPresence::Absent ||
        change.presence == network::PeerPresence::Gone)
        queueFailed(change.computer);
    if (change.presence == network::PeerPresence::Gone) {
        emit presenceChanged({change.computer, change.presence, change.lastSeen, {}});
        m_peers.remove(change.computer);
        return;
    }
    m_peers.setPresence(change.computer, change.presence, change.lastSeen, change.statusText);
    emit presenceChanged({change.computer, change.presence, change.lastSeen, change.statusText});
}

void ChatSession::checkPresence() {
    const auto keep = [this](const QString& computer) {
        return m_peers.isFriend(m_peers.indexOfComputer(computer));
    };
    QStringList ask;
    const QList<PresenceKeeper::Change> changes = m_presence.expire(keep, &ask);
    // Asked whether it is there: a greeting, which a copy that is there answers. One that
    // cannot go (this computer's network is gone) is missed like a lost datagram: the
    // computer is greyed, which the user sees, rather than told of in an error box.
    SendResult result;
    for (const QString& computer : std::as_const(ask))
        if (m_peers.indexOfComputer(computer) >= 0 &&
            m_terminal.network().reach(computer) != network::Reach::Unknown)
            sendTo(computer, greetingText(toWire(m_ownComputerName), toWire(m_ownGroupName)), 1,
                   result);
    for (const PresenceKeeper::Change& change : changes) {
        if (m_peers.indexOfComputer(change.computer) < 0) {
            m_presence.forget(change.computer); // left the list some other way
            continue;
        }
        tellPresence(change);
    }
    armPresenceExpiry();
}

void ChatSession::armPresenceExpiry() {
    const auto next = m_presence.nextDeadline();
    if (!next) {
        m_expiryTimer.stop();
        return;
    }
    const auto wait =
        std::max(std::chrono::ceil<std::chrono::milliseconds>(*next - m_presence.now()),
                 std::chrono::milliseconds(10));
    m_expiryDue = m_presence.now() + wait;
    m_expiryTimer.start(wait);
}

void ChatSession::greetBack(const QString& computer, const QString& source) {
    if (computer.compare(m_ownComputerName, Qt::CaseInsensitive) == 0 ||
        m_peers.indexOfComputer(computer) >= 0 || !m_guard.book().find(computer) ||
        m_terminal.network().reach(computer) == network::Reach::Unknown ||
        !m_presence.mayGreetBack(computer) || !m_budget.take(source))
        return;
    SendResult result;
    sendTo(computer, greetingText(toWire(m_ownComputerName), toWire(m_ownGroupName)), 1, result);
    for (const QString& error : result.errors)
        emit sendFailed(error);
}

QString nameClashKeyText(const NameClash& clash) {
    return clash.fingerprint.isEmpty() ? QStringLiteral("plain")
                                       : QString(clash.fingerprint).remove(u' ');
}

void ChatSession::noteNameClash(const QString& source, qint32 senderId, const Verdict& verdict) {
    // Each run of the other copy (a sender id of its own) learns of it once: a copy that
    // starts again is greeted again, and two copies that refuse each other's greetings do
    // not greet each other for ever. A forger of many ids gets at most a few.
    const QString copy = source + u'/' + QString::number(senderId);
    if (m_clashCopies.contains(copy) || m_clashCopies.size() >= kMaxNameClashes)
        return;
    m_clashCopies.append(copy);
    if (!m_clashAddresses.contains(source)) {
        m_clashAddresses.append(source);
        emit nameClash(NameClash{
            source, verdict.ownNamePlain ? QString() : crypto::fingerprint(verdict.senderKey)});
    }
    const PresenceKeeper::Clock::time_point now = m_presence.now();
    if (m_clashGreetedAt && now - *m_clashGreetedAt < kNameClashGreetingGap)
        return;
    m_clashGreetedAt = now;
    const SendResult result = SendGreeting();
    for (const QString& error : result.errors)
        emit sendFailed(error);
}

void ChatSession::acceptGreeting(const QString& computerName, const QString& groupName,
                                 qint32 senderId) {
    // A copy listed anew or started again (another sender id); not the copies of one
    // greeting ("Deliveries"), nor a greeting again of a copy listed as it is.
    const int listed = m_peers.indexOfComputer(computerName);
    const bool fresh = listed < 0 || m_peers.at(listed).senderId != QString::number(senderId);
    m_peers.GreetingReceived(computerName, groupName, senderId);
    if (computerName == m_ownComputerName)
        return;
    // A copy's greeting always tells where it is (its frame names the same computer); an
    // answer to a name never heard from would go to every interface and static peer.
    if (m_terminal.network().reach(computerName) == network::Reach::Unknown)
        return;
    askToConfirm(computerName);
    const SendResult result = SendAnswer(computerName);
    for (const QString& error : result.errors)
        emit sendFailed(error);
    // A computer with a key hears this copy's status at once, and learns that it sends
    // signs of life (and receipts), after the answer that lists it there.
    if (fresh)
        sendSignOfLifeTo(computerName);
}

void ChatSession::waitGreeting(const QString& computerName, const QString& groupName,
                               qint32 senderId) {
    const QString key = computerName.toCaseFolded();
    const auto found = m_waiting.find(key);
    if (found != m_waiting.end()) {
        found.value() = {computerName, groupName, senderId}; // its latest greeting counts
    } else {
        if (m_waiting.size() >= network::PeerList::kMaxEntries)
            return; // more computers than a list holds wait already
        m_waiting.insert(key, {computerName, groupName, senderId});
        m_waitingOrder.push_back(key);
    }
    scheduleWaitingGreetings();
}

void ChatSession::scheduleWaitingGreetings() {
    if (m_waiting.isEmpty() || m_waitingTimer.isActive())
        return;
    const auto wait = m_budget.untilNextToken();
    if (wait == ReceptionBudget::Clock::duration::max())
        return; // a budget that never refills (tests drive takeWaitingGreetings)
    // A few tokens at a time rather than a wake-up for each.
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(wait);
    m_waitingTimer.start(std::max(ms, std::chrono::milliseconds(20)));
}

void ChatSession::takeWaitingGreetings() {
    while (!m_waitingOrder.empty()) {
        const auto found = m_waiting.find(m_waitingOrder.front());
        if (found == m_waiting.end()) {
            m_waitingOrder.pop_front(); // said goodbye meanwhile
            continue;
        }
        if (!m_budget.takeWaiting())
            break;
        // Taken out of the table before it is erased there.
        const WaitingGreeting greeting = std::move(found.value());
        m_waiting.erase(found);
        m_waitingOrder.pop_front();
        acceptGreeting(greeting.computerName, greeting.groupName, greeting.senderId);
    }
    if (m_waiting.isEmpty())
        m_waitingOrder.clear();
    scheduleWaitingGreetings();
}

void ChatSession::TerminaaliNewMessage(TMailslotTerminal* sender, qint32 senderId,
                                       quint16 msgSize) {
    const QByteArrayView payload = sender->ReceiveStream().Read(qsizetype(msgSize));
    Arrival arrival;
    arrival.context = {quint32(senderId), sender->ReceiveSenderComputer(), sender->ReceiveTarget()};
    arrival.frameComputer = QString::fromUtf8(arrival.context.senderComputer);
    const int listedSender = m_peers.indexOfSender(senderId);
    if (listedSender >= 0)
        arrival.claimed.append(m_peers.at(listedSender).computerName);
    const Verdict verdict = m_guard.check(payload, arrival);
    if (verdict.refused) {
        // Nothing of it counts, not even its sequence number.
        sender->RefuseDelivered();
        emit refused(*verdict.refused, verdict.computer);
        if (verdict.ownName)
            noteNameClash(sender->ReceiveSource(), senderId, verdict);
        return;
    }
    if (verdict.authenticated) {
        emit bookChanged();
        // Before the message is acted on: an answer to a greeting goes where it came from.
        guardAddress(verdict.computer);
        if (verdict.vouches)
            sender->VouchForDelivered();
    }
    const ClassifiedMessage message = classifyMessage(verdict.plain);
    // Whatever it does, an authenticated datagram shows its computer is there; counted once
    // the message has acted (a greeting lists the computer first).
    const auto presence = qScopeGuard([&] {
        if (verdict.authenticated && message.kind != MessageKind::Goodbye)
            notePresence(verdict.computer, message.kind == MessageKind::SignOfLife,
                         statusFromSignOfLife(message.body));
    });
    // What the checks learnt of the sender's key shows before what the message does.
    if (m_guard.active() && !verdict.authenticated &&
        (message.kind == MessageKind::Greeting || message.kind == MessageKind::Answer))
        m_guard.notePlain(fromWire(splitComputerAndGroup(message.body).first));
    tellTrustChanges();

    ReceivedLine line;
    line.senderId = senderId;
    switch (message.kind) {
    case MessageKind::Greeting: {
        const auto [computer, group] = splitComputerAndGroup(message.body);
        const QString computerName = fromWire(computer);
        // This copy's own greeting coming back costs nothing; any other is within budget,
        // waits for it, or is ignored.
        if (computerName != m_ownComputerName) {
            switch (m_budget.admitGreeting(sender->ReceiveSource(), !m_waiting.isEmpty())) {
            case ReceptionBudget::Admission::Now:
                break;
            case ReceptionBudget::Admission::Waiting:
                waitGreeting(computerName, fromWire(group), senderId);
                return;
            case ReceptionBudget::Admission::Refused:
                return;
            }
        }
        acceptGreeting(computerName, fromWire(group), senderId);
        return;
    }
    case MessageKind::Goodbye: {
        const QString computerName = fromWire(message.body);
        m_waiting.remove(computerName.toCaseFolded()); // nothing of it comes after this
        m_presence.forget(computerName);
        m_peers.GoodbyeReceived(computerName);
        return;
    }
    case MessageKind::Answer: {
        const auto [computer, group] = splitComputerAndGroup(message.body);
        // An answer sends nothing now, but lists a computer that every later line goes to.
        // A repeat of one already listed ("Deliveries" copies) costs nothing.
        const QString computerName = fromWire(computer);
        const int listed = m_peers.indexOfComputer(computerName);
        const bool repeat = listed >= 0 && m_peers.at(listed).senderId == QString::number(senderId);
        if (repeat) {
            askToConfirm(computerName); // an earlier question may have been lost
            return;
        }
        if (!m_budget.admitAnswer(sender->ReceiveSource()))
            return;
        m_peers.AnswerReceived(computerName, fromWire(group), senderId);
        askToConfirm(computerName);
        sendSignOfLifeTo(computerName);
        return;
    }
    case MessageKind::Identity:
        m_peers.IdentityReceived(fromWire(message.body), senderId);
        return;
    case MessageKind::SignOfLife:
        // Only an authenticated one counts; a copy without a key sends none.
        if (verdict.authenticated)
            greetBack(verdict.computer, sender->ReceiveSource());
        return;
    case MessageKind::Receipt:
        if (verdict.authenticated)
            handleReceipt(verdict.computer, message.body);
        return;
    case MessageKind::CatchUpAsk:
        if (verdict.authenticated)
            serveCatchUp(verdict.computer, senderId, message.body);
        return;
    case MessageKind::CatchUpLine:
        if (verdict.authenticated)
            takeCaughtUpLine(verdict.computer, verdict);
        return;
    case MessageKind::FileMessage:
        // Only sealed for this copy by a computer whose key the book holds: nobody else can
        // offer a file in its name.
        if (verdict.authenticated && verdict.encrypted && !verdict.trailer.isEmpty())
            emit fileMessage({verdict.computer, sender->ReceiveSource(), verdict.trailer});
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
    // A listed computer that speaks and has not confirmed its address is asked again, in
    // case a question or its answer was lost.
    if (!line.own && !line.continuation) {
        if (const int i = m_peers.indexOfSender(senderId); i >= 0)
            askToConfirm(m_peers.at(i).computerName);
    }
    if (!line.continuation) {
        // The own line that comes back before the own greeting listed this copy still
        // names its sender.
        const bool listed = m_peers.indexOfSender(senderId) >= 0;
        if (line.own && !listed)
            line.senderName = m_ownIdentity.isEmpty() ? m_ownComputerName : m_ownIdentity;
        else if (!listed && vouchedAuthor(verdict))
            line.senderName = unlistedAuthorName(verdict);
        else
            line.senderName = m_peers.SenderName(senderId);
    }
    line.text = fromWire(message.body);
    line.senderComputer =
        listedSender >= 0 ? m_peers.at(listedSender).computerName : verdict.computer;
    line.encrypted = verdict.encrypted;
    line.senderTrust =
        verdict.authenticated ? m_guard.trustOf(verdict.computer) : network::PeerTrust::Plain;
    if (!takeLine(verdict.computer, arrival.context.senderComputer, verdict.plain, verdict,
                  line.own, line))
        return; // sent again, its receipt having been lost: shown once already
    emit lineReceived(line);
}

// A line whose sender this copy does not list under that run's sender id (this copy
// started a moment ago, or the sender did, and a line sent again came before the greeting)
// shows the bare number, unless it came under the key pinned or verified for its computer:
// then it is known who wrote it, and it shows the name the sealed line carries (the name
// its author's lines show), else that computer's name.
bool ChatSession::vouchedAuthor(const Verdict& verdict) const {
    if (!verdict.authenticated || verdict.computer.isEmpty())
        return false;
    const network::PeerTrust trust = m_guard.trustOf(verdict.computer);
    return trust == network::PeerTrust::Pinned || trust == network::PeerTrust::Verified;
}

QString ChatSession::unlistedAuthorName(const Verdict& verdict) const {
    if (verdict.encrypted)
        if (const std::optional<LineTrailer> trailer = decodeTrailer(verdict.trailer);
            trailer && trailer->name && !trailer->name->isEmpty())
            return fromWire(*trailer->name);
    return verdict.computer;
}

void ChatSession::tellTrustChanges() {
    const QList<TrustChange> changes = m_guard.takeTrustChanges();
    for (const TrustChange& change : changes) {
        m_peers.setTrust(change.computer, change.trust,
                         m_guard.shortFingerprintOf(change.computer));
        emit trustChanged(change);
    }
    if (std::any_of(changes.cbegin(), changes.cend(), [](const TrustChange& change) {
            return change.trust != network::PeerTrust::Plain;
        }))
        schedulePresence();
}

void ChatSession::guardAddress(const QString& computer) {
    // A key that made room for a new one no longer places its computer.
    for (const QString& evicted : m_guard.book().takeEvicted())
        if (const auto it = m_guarded.constFind(evicted.toCaseFolded()); it != m_guarded.cend()) {
            m_terminal.network().setGuarded(it.value(), false);
            m_guarded.erase(it);
        }
    const QString key = computer.toCaseFolded();
    if (m_guarded.contains(key) || !m_guard.book().find(computer))
        return;
    m_guarded.insert(key, computer);
    m_terminal.network().setGuarded(computer, true);
}

void ChatSession::guardKnownAddresses() {
    QHash<QString, QString> now;
    if (m_guard.active())
        for (const QString& computer : m_guard.knownComputers())
            now.insert(computer.toCaseFolded(), computer);
    network::DatagramNetwork& network = m_terminal.network();
    for (auto it = m_guarded.cbegin(); it != m_guarded.cend(); ++it)
        if (!now.contains(it.key()))
            network.setGuarded(it.value(), false);
    for (auto it = now.cbegin(); it != now.cend(); ++it)
        if (!m_guarded.contains(it.key()))
            network.setGuarded(it.value(), true);
    m_guarded = std::move(now);
}

void ChatSession::trustChangedByUser(const QString& computerName) {
    const network::PeerTrust trust = m_guard.trustOf(computerName);
    const QString print = m_guard.shortFingerprintOf(computerName);
    m_peers.setTrust(computerName, trust, print);
    m_guard.noteTold(computerName, trust);
    const crypto::KnownKey* known = m_guard.book().find(computerName);
    emit trustChanged(
        {computerName, trust, {}, known ? crypto::fingerprint(known->key) : QString()});
    emit bookChanged();
}

} // namespace kalvento::messaging
