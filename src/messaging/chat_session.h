#pragma once
// The chat protocol at work: sending greetings, answers, identities, goodbyes and chat
// lines through the terminal, and turning received datagrams into peer-list changes and
// lines for the chat view. It is a part of the ChatNode, which hands what it reports to
// the node's owners as events; how a line looks on screen is theirs to decide.

#include "messaging/catch_up.h"
#include "messaging/chat_events.h"
#include "messaging/chat_guard.h"
#include "messaging/delivery.h"
#include "messaging/mailslot_terminal.h"
#include "messaging/outbox.h"
#include "messaging/presence.h"
#include "messaging/reception_budget.h"
#include "network/net_users.h"
#include "network/peer_list.h"

#include <QHash>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <deque>
#include <optional>

namespace kalvento::messaging {

class ChatSession : public QObject {
    Q_OBJECT
public:
    // Attaches itself as the terminal's OnNewMessage handler and addresses by name.
    ChatSession(TMailslotTerminal& terminal, network::PeerList& peers, network::TNetUsers& netUsers,
                QObject* parent = nullptr);
    // Hands the addresses it guarded back to the network's own learning.
    ~ChatSession() override;

    void setOwnNames(const QString& computerName, const QString& groupName);
    const QString& OwnComputerName() const { return m_ownComputerName; }
    const QString& OwnGroupName() const { return m_ownGroupName; }
    void setOwnIdentity(const QString& identity) { m_ownIdentity = identity; }
    const QString& OwnIdentity() const { return m_ownIdentity; }
    // "General"/"Deliveries": each control message is sent this many times in a row.
    void setDeliveries(int deliveries) { m_deliveries = qBound(1, deliveries, 10); }
    int deliveries() const { return m_deliveries; }

    // The greeting to every name of the last walk, then the identity when there is one.
    SendResult SendGreeting();
    // The answer to a greeting from another computer, then the identity.
    SendResult SendAnswer(const QString& computerName);
    // The identity to every name of the last walk (after the user changed it).
    SendResult SendIdentity();
    // The goodbye to every listed computer.
    SendResult SendGoodbye();

    // What the user wrote, as the messages that carry all of it: a typed line that fits one
    // datagram goes as it is; a longer one, and the lines of a multi-line message, go in the
    // multi-line form, each line split into as many lines as it needs (at blanks where it
    // can), 100 lines to a message. Nothing is cut.
    QList<OutgoingMessage> planMessages(const QStringList& lines, bool multiLine,
                                        bool isPrivate) const;

    // The messages to every listed computer that lineRecipients() gives, and to this one
    // whether it is listed yet or not; a public line is shown when it comes back.
    SendResult sendPublic(const QList<OutgoingMessage>& messages, LineOutcome* outcome = nullptr);
    // The messages to the ticked computers; shortNames receives the ShortName of each, in
    // list order, for the lines the sender shows at once. Nobody ticked: nothing is sent.
    SendResult sendPrivate(const QList<OutgoingMessage>& messages, QStringList* shortNames,
                           LineOutcome* outcome = nullptr);
    // A typed line, planned as above.
    SendResult sendPublic(const QString& typed);
    SendResult sendPrivate(const QString& typed, QStringList* shortNames);

    // Lines and the goodbye go to at most this many listed computers whose address has not
    // confirmed them; to every confirmed one, and to this computer, without limit. Forged
    // greetings can list thousands of computers at addresses of the forger's choosing, but
    // only a receiver at an address can answer the question that confirms it.
    static constexpr int kUnconfirmedRecipients = 32;
    // The listed computers a public line or the goodbye goes to, in list order: this
    // computer, every confirmed one, and the first kUnconfirmedRecipients of those only
    // heard from. The rest are counted in withheld.
    QStringList lineRecipients(int* withheld = nullptr);

    static constexpr int kConfirmTries = 3;
    static constexpr std::chrono::milliseconds kConfirmRetry{1000};

    // Greetings that wait for the whole copy's budget; taken as it refills.
    int waitingGreetings() const { return int(m_waiting.size()); }
    // Acts on the waiting greetings the budget allows now (the timer's work).
    void takeWaitingGreetings();
    // Asks again the listed computers that have not confirmed their address, each at most
    // kConfirmTries times since it was last heard (the timer's work, every kConfirmRetry).
    void askAgain();

    // Reception: the terminal's OnNewMessage.
    void TerminaaliNewMessage(TMailslotTerminal* sender, qint32 senderId, quint16 msgSize);

    // Longest plain text (bytes) one datagram carries for a chat line.
    qsizetype maxLineLength() const;

    // Signs, seals and checks when this copy has an identity key (chat_guard.h).
    ChatGuard& guard() { return m_guard; }
    const ChatGuard& guard() const { return m_guard; }
    // After the user took a changed key or verified one: the list shows it, and the
    // change is told.
    void trustChangedByUser(const QString& computerName);
    // The network guards the address of every computer whose key the book holds while
    // this copy has a key (DatagramNetwork::setGuarded), and of no other: call after the
    // key or the book changed. Reception guards each computer as its key is pinned.
    void guardKnownAddresses();

    // ---- Presence (presence.h): only a copy with a key sends or follows signs of life.
    // The listed computers with a pinned key that a sign of life goes to: those of
    // lineRecipients() but this one.
    QStringList presenceRecipients();
    // The next step of the round of signs of life (the timer's work); the timer stops when
    // nobody is left to send to.
    void sendSignsOfLife();
    // Greys and removes what was not heard from for too long (the timer's work).
    void checkPresence();
    bool signsOfLifeRunning() const { return m_signTimer.isActive(); }
    // How long the timer of the signs of life waits: the first round's random moment, then
    // the interval.
    std::chrono::milliseconds signOfLifeWait() const {
        return std::chrono::milliseconds(m_signTimer.interval());
    }
    // When the expiry timer fires next, on the presence's clock; nothing while it is idle.
    std::optional<PresenceKeeper::Clock::time_point> presenceCheckDue() const {
        return m_expiryTimer.isActive() ? std::optional(m_expiryDue) : std::nullopt;
    }
    PresenceKeeper& presence() { return m_presence; }
    // Replaceable for tests (a clock of their own, a short interval).
    void setPresence(PresenceKeeper presence);

    // What this copy's signs of life say; a change goes to every receiver at once.
    void setOwnStatus(network::PeerPresence status, const QString& text);
    network::PeerPresence ownStatus() const { return m_ownStatus; }
    const QString& ownStatusText() const { return m_ownStatusText; }

    // ---- Receipts, the outbox and catch-up (ChatNode's operations of the same names)
    // A new send whose receipts are followed (LineOutcome::item).
    quint64 newItem() { return m_delivery.newItem(); }
    // Sends again what waited long enough for its receipt, and tells what failed (the
    // timer's work).
    void retryDue();
    // Sends the receipts of the lines taken a moment ago, together (the timer's work).
    void sendReceipts();
    // Replaceable for tests (a clock of their own).
    void setDelivery(DeliveryTracker delivery) { m_delivery = std::move(delivery); }
    void linesRead();
    bool sendAgain(quint64 item);
    QString setOutbox(const QString& path);
    QList<WaitingLine> waitingLines() const;
    bool cancelWaiting(quint64 lineId, const QString& computer);
    // Takes out what waited too long (the timer's work, and at each change).
    void expireOutbox();
    QString setCatchUpMark(const QString& path);
    // Writes the moment now as the last one this copy was there; the error, or empty.
    QString saveCatchUpMark();
    // The public lines this copy can offer to one that catches up.
    const LineHistory& history() const { return m_history; }
    // Offers line to computer, sealed for it (nothing when its key is not known).
    void offerLine(const QString& computer, const SignedLine& line);
    // Shows what the catch-up collected, in order (the timer's work).
    void showCaughtUp();

    // A file transfer's message, sealed for computer: the error for the user, or empty
    // when it went. Only a current copy (one that sends signs of life) with a key that is
    // pinned and not changed gets one.
    QString sendFileMessage(const QString& computer, const QByteArray& bytes);
    // Why computer cannot take part in a file transfer, or empty when it can.
    QString fileTransferBlocker(const QString& computer) const;

    // What greetings and answers may make this copy list and send; replaceable for tests.
    ReceptionBudget& budget() { return m_budget; }
    void setBudget(ReceptionBudget budget) { m_budget = std::move(budget); }

signals:
    void lineReceived(const kalvento::messaging::ReceivedLine& line);
    // A send that reception started (an answer) failed; reception goes on.
    void sendFailed(const QString& error);
    // A datagram failed a check and was dropped: it changed nothing.
    void refused(kalvento::messaging::RefusalReason reason, const QString& computer);
    // What is known of a computer's key changed (first seen included).
    void trustChanged(const kalvento::messaging::TrustChange& change);
    // A reception changed the book of keys (pinned, changed, or counters marked).
    void bookChanged();
    void presenceChanged(const kalvento::messaging::PresenceChanged& change);
    void deliveryChanged(const kalvento::messaging::DeliveryChanged& change);
    void caughtUp(int count);
    void fileMessage(const kalvento::messaging::FileMessageReceived& message);
    void nameClash(const kalvento::messaging::NameClash& clash);

private:
    enum class Form { Control, PublicLine, PrivateLine };
    // Sends one plain text to one receiver, copies times, in the form it goes to that
    // receiver (signed, sealed or plain); failures and lines kept back go into result. A
    // line that goes sealed carries trailer after a zero byte. Returns the form it went in.
    ChatGuard::LineForm sendTo(const QString& receiver, const QByteArray& plain, int copies,
                               SendResult& result, Form form = Form::Control,
                               const QByteArray& trailer = {});
    // One datagram of what the user wrote: its plain text (with its tag), its line id and
    // the trailer that carries it (with the author's signature for a public line).
    struct PlannedLine {
        QByteArray plain;
        quint64 lineId = 0;
        QByteArray trailer;
    };
    QList<PlannedLine> planLines(const QList<OutgoingMessage>& messages, bool isPrivate);
    // What the user wrote in a send, its lines joined: the text of a waiting line.
    static QString writtenText(const LineOutcome& outcome);
    // Sends the lines to receiver; with an outcome, a current copy's receipts are awaited.
    void sendLines(const QString& receiver, const QList<PlannedLine>& lines, bool isPrivate,
                   SendResult& result, LineOutcome* outcome);
    // What reception does with a line's trailer: false when the line came before (sent
    // again because its receipt was lost) and is not to be shown again.
    bool takeLine(const QString& computer, const QByteArray& computerWire, const QByteArray& plain,
                  const Verdict& verdict, bool own, ReceivedLine& line);
    // A private line to an absent computer with a known key waits in the outbox: true when
    // it was queued there.
    bool queueForLater(const QString& receiver, const QList<PlannedLine>& lines,
                       LineOutcome* outcome);
    // computer was heard: what waits for it goes out.
    void sendWaiting(const QString& computer);
    // computer is away (greyed, gone or not listed): the private lines to it that failed
    // wait in the outbox instead, as lines written to it while away do.
    void queueFailed(const QString& computer);
    bool isAway(const QString& computer) const;
    std::optional<QString> saveOutbox();
    // The key the outbox's lines for key are sealed under at rest.
    std::optional<crypto::SessionKey> restKeyFor(const crypto::PublicKey& key);
    // The key the book pins for computer, unless it changed and was not taken yet.
    std::optional<crypto::PublicKey> pinnedKeyOf(const QString& computer) const;
    void tellOutbox(quint64 lineId, DeliveryChanged::State state, const Outbox::Entry& entry);
    void askCatchUp(const QString& computer);
    // The signed request for the public lines after sinceMicros.
    void sendCatchUpAsk(const QString& computer, quint64 sinceMicros);
    // A computer heard again after the two lost each other (a network gone for a while,
    // a computer that slept): asked for the public lines since it was last heard, by up to
    // kCatchUpPeers of those that come back within an interval.
    void askMissed(const QString& computer, const QDateTime& lastHeard);
    bool mayOfferCaughtUp(const QString& computer) const;
    void serveCatchUp(const QString& computer, qint32 senderId, QByteArrayView body);
    void takeCaughtUpLine(const QString& computer, const Verdict& verdict);
    void queueReceipt(const QString& computer, quint64 lineId);
    // A line caught up from a relay counts as taken from its author, who is told it arrived.
    void acknowledgeCaughtUp(const QString& author, const SignedLine& line);
    void handleReceipt(const QString& computer, QByteArrayView body);
    // Receipts (delivered, or read) for the lines of each computer.
    void sendReceiptsTo(const QList<std::pair<QString, QList<quint64>>>& byComputer, bool read);
    void tellDelivery(DeliveryChanged change);
    // Sends lines again, each to its computer, as they first went.
    void resend(const QList<DeliveryTracker::Resend>& resends);
    void armRetries();
    EnvelopeContext contextFor(const QString& receiver) const;
    // Emits the guard's trust changes and shows them in the list.
    void tellTrustChanges();
    bool vouchedAuthor(const Verdict& verdict) const;
    QString unlistedAuthorName(const Verdict& verdict) const;
    // The network guards computer's address from now on when its key is in the book.
    void guardAddress(const QString& computer);
    // A control message to each receiver, "Deliveries" times.
    SendResult sendToEach(const QStringList& receivers, const QByteArray& plain);
    // A greeting within the budget: listed, and answered where an answer can go.
    void acceptGreeting(const QString& computerName, const QString& groupName, qint32 senderId);
    void waitGreeting(const QString& computerName, const QString& groupName, qint32 senderId);
    void scheduleWaitingGreetings();
    // Asks the computer to confirm its address when it has not yet, and again on the
    // timer (a question or its answer may be lost), kConfirmTries times in all.
    void askToConfirm(const QString& computerName);
    // Starts the signs of life when a computer with a pinned key is listed.
    void schedulePresence();
    // An authenticated datagram came from computer (a sign of life saying status).
    void notePresence(const QString& computer, bool signOfLife, const Status& status);
    void armPresenceExpiry();
    // One sign of life to a computer just listed under a key.
    void sendSignOfLifeTo(const QString& computer);
    void tellPresence(const PresenceKeeper::Change& change);
    // A sign of life from a computer that is not listed: it lists this one, which removed it
    // (after a time apart); a greeting makes it answer and be listed again.
    void greetBack(const QString& computer, const QString& source);
    // Another copy came in this copy's name: the user is told once per address, and the
    // other copy learns the same from a greeting of this one, which it refuses alike.
    void noteNameClash(const QString& source, qint32 senderId, const Verdict& verdict);

    TMailslotTerminal& m_terminal;
    network::PeerList& m_peers;
    network::TNetUsers& m_netUsers;
    QString m_ownComputerName;
    QString m_ownGroupName;
    QString m_ownIdentity;
    int m_deliveries = 1;
    ReceptionBudget m_budget;
    ChatGuard m_guard;
    struct WaitingGreeting {
        QString computerName;
        QString groupName;
        qint32 senderId = 0;
    };
    // Case-folded computer name -> its latest greeting; one per computer, in arrival order.
    QHash<QString, WaitingGreeting> m_waiting;
    std::deque<QString> m_waitingOrder; // may hold names no longer waiting (a goodbye came)
    QTimer m_waitingTimer;
    struct Asking {
        QString computerName;
        int asked = 0; // times asked; a question goes out only when its address was not
                       // asked a moment ago (for this or another name)
    };
    QHash<QString, Asking> m_confirming; // case-folded name -> listed, not yet confirmed
    QHash<QString, QString> m_guarded;   // case-folded name -> name: guarded at the network
    QTimer m_confirmTimer;
    PresenceKeeper m_presence;
    QTimer m_signTimer;   // runs while a computer with a pinned key is listed
    QTimer m_expiryTimer; // single shot, at the next deadline of the computers followed
    PresenceKeeper::Clock::time_point m_expiryDue;
    DeliveryTracker m_delivery;
    LineLedger m_ledger;
    crypto::CounterClock m_lineClock;
    QTimer m_retryTimer;   // single shot, when the next line waits long enough for its receipt
    QTimer m_receiptTimer; // single shot: receipts go out together, a moment after the lines
    QList<std::pair<QString, quint64>> m_receiptsDue;
    Outbox m_outbox;
    QString m_outboxPath;
    QTimer m_outboxTimer; // hourly while lines wait: what waited too long is dropped
    // Lines of the outbox sent this run: their send (this run's item, or a tracker item of
    // a line queued in an earlier run, told as item 0), their text and since when.
    struct Queued {
        quint64 item = 0;
        bool earlierRun = false;
        QString text;
        QDateTime queuedAt;
        QString computer;
    };
    // Case-folded computer and line id (a line to several computers waits for each).
    static QString queuedKey(const QString& computer, quint64 lineId);
    QHash<QString, Queued> m_queued;
    QHash<quint64, quint64> m_earlierItems; // tracker item -> line id (earlier runs)
    LineHistory m_history;
    std::optional<CatchUpCollector> m_collector;
    QString m_markPath;
    bool m_askAtStart = false;  // the mark held a moment: the first peers are asked
    QStringList m_catchUpAsked; // case-folded computers asked this run (at most 3)
    QStringList m_missedAsked;  // the same, in the round of asking after a silence
    std::optional<std::chrono::steady_clock::time_point> m_missedRoundAt;
    // The copies seen in this copy's name ("address/sender id") and the addresses told, at
    // most kMaxNameClashes each; the last greeting sent for one.
    static constexpr qsizetype kMaxNameClashes = 16;
    static constexpr std::chrono::minutes kNameClashGreetingGap{1};
    QStringList m_clashCopies;
    QStringList m_clashAddresses;
    std::optional<PresenceKeeper::Clock::time_point> m_clashGreetedAt;
    struct Served {
        qint32 senderId = 0;
        std::chrono::steady_clock::time_point at;
    };
    QHash<QString, Served> m_catchUpServed; // case-folded computer ->
    QTimer m_catchUpTimer; // single shot: shows the lines a moment after the last came
    network::PeerPresence m_ownStatus = network::PeerPresence::Available;
    QString m_ownStatusText;
};

} // namespace kalvento::messaging
