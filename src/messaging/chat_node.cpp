#include "messaging/chat_node.h"

#include "crypto/identity_key.h"

#include "messaging/chat_session.h"
#include "messaging/mailslot_terminal.h"
#include "network/datagram_network.h"
#include "network/net_users.h"

namespace kalvento::messaging {

ChatNode::ChatNode(network::DatagramNetwork& network, QObject* parent)
    : QObject(parent), m_network(network), m_peers(std::make_unique<network::PeerList>()),
      m_netUsers(std::make_unique<network::TNetUsers>(network)) {
    m_terminal = std::make_unique<TMailslotTerminal>(network);
    m_terminal->SetInterval(kPollInterval);
    m_session = std::make_unique<ChatSession>(*m_terminal, *m_peers, *m_netUsers);
    m_session->setOwnNames(network.computerName(), network::GetGroupName(network));

    // The parts' signals become the one stream of events.
    connect(m_netUsers.get(), &network::TNetUsers::Enumerated, this,
            [this](bool, const QString& error) { walkEnded(error); });
    connect(m_session.get(), &ChatSession::lineReceived, this,
            [this](const ReceivedLine& line) { emit chatEvent(LineReceived{line}); });
    connect(m_session.get(), &ChatSession::sendFailed, this, [this](const QString& error) {
        emit chatEvent(SendFailed{Sending::Answer, error, SendFailed::Reason::System, {}});
    });
    connect(m_session.get(), &ChatSession::refused, this,
            [this](RefusalReason reason, const QString& computer) {
                emit chatEvent(Refused{reason, computer});
            });
    connect(m_session.get(), &ChatSession::trustChanged, this,
            [this](const PeerTrustChanged& change) { emit chatEvent(change); });
    connect(m_session.get(), &ChatSession::presenceChanged, this,
            [this](const PresenceChanged& change) {
                emit chatEvent(change);
                presenceChanged();
            });
    connect(m_session.get(), &ChatSession::deliveryChanged, this,
            [this](const DeliveryChanged& change) { emit chatEvent(change); });
    connect(m_session.get(), &ChatSession::fileMessage, this,
            [this](const FileMessageReceived& message) { emit chatEvent(message); });
    connect(m_session.get(), &ChatSession::nameClash, this,
            [this](const NameClash& clash) { emit chatEvent(clash); });
    connect(m_session.get(), &ChatSession::caughtUp, this,
            [this](int count) { emit chatEvent(CaughtUp{count}); });
    m_links = network.liveLinks();
    connect(&m_linkTimer, &QTimer::timeout, this, &ChatNode::checkLinks);
    m_linkTimer.start(kLinkCheckInterval);
    m_lonelyTimer.setSingleShot(true);
    connect(&m_lonelyTimer, &QTimer::timeout, this, &ChatNode::greetLonely);
    m_bookTimer.setSingleShot(true);
    connect(&m_bookTimer, &QTimer::timeout, this, [this] { saveTrustBook(); });
    connect(m_session.get(), &ChatSession::bookChanged, this, [this] {
        const crypto::TrustBook& book = m_session->guard().book();
        if (m_bookPath.isEmpty() || !book.changedSinceSave())
            return;
        const std::chrono::milliseconds delay =
            book.keysChangedSinceSave() ? kBookSaveDelay : kMarksSaveDelay;
        if (!m_bookTimer.isActive() || m_bookTimer.remainingTimeAsDuration() > delay)
            m_bookTimer.start(delay);
    });
    connect(m_terminal.get(), &TMailslotTerminal::receptionError, this,
            [this](const QString& error) { emit chatEvent(ReceptionFailed{error}); });
    const network::PeerList& peers = *m_peers;
    connect(&peers, &network::PeerList::entryAdded, this, [this, &peers](int i) {
        emit chatEvent(PeerAdded{i, peers.at(i)});
    });
    connect(&peers, &network::PeerList::entryChanged, this, [this, &peers](int i) {
        emit chatEvent(PeerChanged{i, peers.at(i)});
    });
    connect(&peers, &network::PeerList::entryRemoved, this, [this](int i, const QString& computer) {
        emit chatEvent(PeerRemoved{i, computer});
    });
    connect(&peers, &network::PeerList::checkedCountChanged, this,
            [this](int count) { emit chatEvent(TicksChanged{count}); });
}

ChatNode::~ChatNode() {
    // The walk goes first: its worker must not hand an answer to a session that is gone.
    m_netUsers->Cancel();
    const QString error = saveTrustBook();
    if (!error.isEmpty())
        qWarning("The book of keys was not saved: %s", qUtf8Printable(error));
}

void ChatNode::setIdentityKey(const crypto::IdentityKey& key) {
    m_session->guard().setIdentityKey(key);
    m_session->guardKnownAddresses();
}

bool ChatNode::hasIdentityKey() const {
    return m_session->guard().active();
}

QString ChatNode::setTrustBook(const QString& path) {
    m_bookTimer.stop();
    m_bookPath = path;
    if (path.isEmpty()) {
        m_session->guard().setBook({});
        m_session->guardKnownAddresses();
        return {};
    }
    crypto::TrustBook::Loaded loaded = crypto::TrustBook::load(path);
    m_session->guard().setBook(std::move(loaded.book));
    m_session->guardKnownAddresses();
    // A book that could not be read is left as it is: the keys seen in this run are kept
    // in memory only, rather than written over the ones pinned before.
    if (!loaded.error.isEmpty()) {
        m_bookPath.clear();
        return loaded.error + QStringLiteral(" (the keys seen now are not kept)");
    }
    return {};
}

QString ChatNode::setCounterFloor(const QString& path) {
    return m_session->guard().keepCountersIn(path);
}

QString ChatNode::saveCatchUpMark() {
    return m_session->saveCatchUpMark();
}

QString ChatNode::saveTrustBook() {
    m_bookTimer.stop();
    // The moment this copy was last there goes with the book: both move with the chat.
    if (const QString error = m_session->saveCatchUpMark(); !error.isEmpty())
        qWarning("The catch-up mark was not saved: %s", qUtf8Printable(error));
    crypto::TrustBook& book = m_session->guard().book();
    if (m_bookPath.isEmpty() || !book.changedSinceSave())
        return {};
    const platform::Result result = book.save(m_bookPath);
    return result.error;
}

void ChatNode::setPlainPrivateAllowed(bool allowed) {
    m_session->guard().setPlainPrivateAllowed(allowed);
}

bool ChatNode::acceptKeyChange(const QString& computerName) {
    if (!m_session->guard().acceptKeyChange(computerName))
        return false;
    m_session->trustChangedByUser(computerName);
    return true;
}

bool ChatNode::markVerified(const QString& computerName) {
    if (!m_session->guard().book().markVerified(computerName))
        return false;
    m_session->trustChangedByUser(computerName);
    return true;
}

QString ChatNode::ownFingerprint() const {
    const auto& key = m_session->guard().identityKey();
    return key ? crypto::fingerprint(key->publicKey()) : QString();
}

QString ChatNode::fileTransferBlocker(const QString& computer) const {
    return m_session->fileTransferBlocker(computer);
}

QString ChatNode::sendFileMessage(const QString& computer, const QByteArray& bytes) {
    if (m_offline)
        return QStringLiteral("%1: offline").arg(computer);
    return m_session->sendFileMessage(computer, bytes);
}

const crypto::IdentityKey* ChatNode::identityKey() const {
    const auto& key = m_session->guard().identityKey();
    return key ? &*key : nullptr;
}

std::optional<std::array<std::uint8_t, 32>> ChatNode::pinnedKey(const QString& computer) const {
    const ChatGuard& guard = m_session->guard();
    const network::PeerTrust trust = guard.trustOf(computer);
    if (trust != network::PeerTrust::Pinned && trust != network::PeerTrust::Verified)
        return std::nullopt;
    const crypto::KnownKey* known = guard.book().find(computer);
    if (known == nullptr)
        return std::nullopt;
    return known->key;
}

PeerKey ChatNode::peerKey(const QString& computerName) const {
    const ChatGuard& guard = m_session->guard();
    PeerKey result;
    result.trust = guard.trustOf(computerName);
    const auto& own = guard.identityKey();
    if (!own)
        return result;
    if (computerName.compare(this->computerName(), Qt::CaseInsensitive) == 0) {
        result.fingerprint = crypto::fingerprint(own->publicKey());
        result.safetyNumber = crypto::safetyNumber(own->publicKey(), own->publicKey());
        return result;
    }
    const crypto::KnownKey* known = guard.book().find(computerName);
    if (known == nullptr)
        return result;
    result.fingerprint = crypto::fingerprint(known->key);
    if (known->offered)
        result.offeredFingerprint = crypto::fingerprint(*known->offered);
    result.safetyNumber =
        crypto::safetyNumber(own->publicKey(), known->offered ? *known->offered : known->key);
    return result;
}

int ChatNode::refusals() const {
    return m_session->guard().refusals();
}

void ChatNode::setStatus(network::PeerPresence status, const QString& text) {
    m_session->setOwnStatus(status, text);
}

network::PeerPresence ChatNode::status() const {
    return m_session->ownStatus();
}

QString ChatNode::statusText() const {
    return m_session->ownStatusText();
}

void ChatNode::linesRead() {
    m_session->linesRead();
}

bool ChatNode::sendAgain(quint64 item) {
    return m_session->sendAgain(item);
}

QString ChatNode::setOutbox(const QString& path) {
    return m_session->setOutbox(path);
}

QList<WaitingLine> ChatNode::waitingLines() const {
    return m_session->waitingLines();
}

bool ChatNode::cancelWaiting(quint64 lineId, const QString& computer) {
    return m_session->cancelWaiting(lineId, computer);
}

QString ChatNode::setCatchUpMark(const QString& path) {
    return m_session->setCatchUpMark(path);
}

const QString& ChatNode::computerName() const {
    return m_session->OwnComputerName();
}

const QString& ChatNode::groupName() const {
    return m_session->OwnGroupName();
}

quint32 ChatNode::senderId() const {
    return m_terminal->TerminalId();
}

const QString& ChatNode::identity() const {
    return m_session->OwnIdentity();
}

void ChatNode::setIdentity(const QString& identity) {
    m_session->setOwnIdentity(identity);
}

SendResult ChatNode::announceIdentity(const QString& identity) {
    m_session->setOwnIdentity(identity);
    SendResult result = m_session->SendIdentity();
    report(Sending::Identity, result);
    return result;
}

QString ChatNode::ownName() const {
    return identity().isEmpty() ? computerName() : identity();
}

void ChatNode::setDeliveries(int deliveries) {
    m_session->setDeliveries(deliveries);
}

int ChatNode::deliveries() const {
    return m_session->deliveries();
}

void ChatNode::setFriends(const QStringList& identities) {
    m_peers->setFriends(identities);
}

QAbstractItemModel& ChatNode::listModel() {
    return *m_peers;
}

void ChatNode::setTicked(int entry, bool ticked) {
    if (entry >= 0 && entry < m_peers->count())
        m_peers->setTicked(entry, ticked);
}

bool ChatNode::tickAlone(int entry) {
    if (entry < 0 || entry >= m_peers->count() || !m_peers->at(entry).enabled)
        return false;
    for (int i = 0; i < m_peers->count(); ++i)
        m_peers->setTicked(i, i == entry);
    return true;
}

void ChatNode::clearList() {
    m_peers->clear();
}

LineOutcome ChatNode::send(const QStringList& lines, bool multiLine, bool isPrivate) {
    LineOutcome outcome;
    outcome.isPrivate = isPrivate;
    // A line marked private never goes to everybody: with nobody ticked it is not sent.
    if (isPrivate && m_peers->tickedIndices().isEmpty()) {
        outcome.status = LineOutcome::Status::Refused;
        return outcome;
    }
    outcome.messages = m_session->planMessages(lines, multiLine, isPrivate);
    if (m_offline) {
        outcome.status = LineOutcome::Status::Offline;
        return outcome;
    }
    if (m_session->guard().active())
        outcome.item = m_session->newItem();
    outcome.result = isPrivate
                         ? m_session->sendPrivate(outcome.messages, &outcome.recipients, &outcome)
                         : m_session->sendPublic(outcome.messages, &outcome);
    if (outcome.tracked.isEmpty() && outcome.waiting.isEmpty())
        outcome.item = 0; // nobody will say what became of it
    report(Sending::Line, outcome.result);
    return outcome;
}

qsizetype ChatNode::maxLineLength() const {
    return m_session->maxLineLength();
}

void ChatNode::pauseReception() {
    m_terminal->Server()->SetMessagePolling(false);
}

void ChatNode::resumeReception() {
    m_terminal->Server()->SetMessagePolling(true);
}

int ChatNode::waitingGreetings() const {
    return m_session->waitingGreetings();
}

void ChatNode::greet() {
    beginGreeting(false);
}

void ChatNode::beginGreeting(bool quiet) {
    // The user's greeting that one of this copy's own replaces still reports.
    m_quietGreeting = quiet && (!greetingPending() || m_quietGreeting);
    ++m_greetingCount;
    m_netUsers->BeginEnumerate();
}

void ChatNode::checkLinks() {
    QStringList links = m_network.liveLinks();
    QStringList back;
    for (const QString& link : std::as_const(links))
        if (!m_links.contains(link))
            back.append(link);
    // Before the first greeting the owner greets when it is ready; offline, nobody.
    if (back.isEmpty() || m_greetingCount == 0 || m_offline) {
        m_links = std::move(links);
        return;
    }
    // A link that flaps greets once in kLinkGreetingGap: what came meanwhile is seen as new
    // at the first look after it.
    const auto now = std::chrono::steady_clock::now();
    if (m_linkGreetedAt && now - *m_linkGreetedAt < m_linkGreetingGap)
        return;
    m_links = std::move(links);
    m_linkGreetedAt = now;
    emit chatEvent(NetworkBack{back});
    greetAgain();
}

void ChatNode::presenceChanged() {
    if (!m_session->presence().lostEveryone()) {
        m_lonelyTimer.stop();
        m_lonelyGap = std::chrono::milliseconds(0);
        return;
    }
    if (m_lonelyGap.count() == 0) {
        m_lonelyGap = m_session->presence().interval();
        m_lonelyTimer.start(m_lonelyGap);
    }
}

void ChatNode::greetLonely() {
    if (!m_session->presence().lostEveryone()) {
        m_lonelyGap = std::chrono::milliseconds(0);
        return;
    }
    if (m_greetingCount > 0 && !m_offline)
        greetAgain();
    m_lonelyGap = std::min<std::chrono::milliseconds>(m_lonelyGap * 2, kMaxLonelyGreetingGap);
    m_lonelyTimer.start(m_lonelyGap);
}

void ChatNode::greetAgain() {
    beginGreeting(true);
}

bool ChatNode::greetingPending() const {
    return m_netUsers->Enumerating();
}

void ChatNode::walkEnded(const QString& error) {
    // A greeting of this copy's own may go out while the network is still gone: its
    // failures are no news to the user, who gets the next one when a link comes up.
    const bool quiet = std::exchange(m_quietGreeting, false);
    if (!error.isEmpty() && !quiet)
        emit chatEvent(WalkFailed{error});
    const SendResult result = m_session->SendGreeting();
    if (!quiet)
        report(Sending::Greeting, result);
    emit chatEvent(Greeted{result});
}

void ChatNode::cancelGreeting() {
    m_netUsers->Cancel();
}

QStringList ChatNode::walk() {
    m_netUsers->Enumerate();
    return m_netUsers->Names();
}

QStringList ChatNode::walk(std::chrono::milliseconds wait) {
    m_netUsers->Enumerate(wait);
    return m_netUsers->Names();
}

const QStringList& ChatNode::groups() const {
    return m_netUsers->Names();
}

SendResult ChatNode::SendGoodbye() {
    cancelGreeting();
    SendResult result = m_session->SendGoodbye();
    report(Sending::Goodbye, result);
    return result;
}

void ChatNode::report(Sending what, const SendResult& result) {
    for (const QString& error : result.errors)
        emit chatEvent(SendFailed{what, error, SendFailed::Reason::System, {}});
    for (const QString& computer : result.notEncrypted)
        emit chatEvent(
            SendFailed{what, computer + QStringLiteral(": not sent, it would not go encrypted"),
                       SendFailed::Reason::NotEncrypted, computer});
    if (result.withheld > 0)
        emit chatEvent(Withheld{what, result.withheld});
}

} // namespace kalvento::messaging
