#pragma once
// The chat protocol at work: sending greetings, answers, identities, goodbyes and chat
// lines through the terminal, and turning received datagrams into peer-list changes and
// lines for the chat view. The main window and the headless peer both sit on top of it;
// how a line looks on screen is theirs to decide.

#include "messaging/mailslot_terminal.h"
#include "messaging/reception_budget.h"
#include "network/net_users.h"
#include "network/peer_list.h"

#include <QObject>
#include <QString>
#include <QStringList>

namespace kalvento::messaging {

// A chat line for the view, decoded and classified.
struct ReceivedLine {
    enum class Kind { Public, Private };
    Kind kind = Kind::Public;
    bool own = false;            // a public line this copy sent
    bool continuation = false;   // line 1..99 of a multi-line message: no heading, no alert
    bool multiLineStart = false; // line 0: its text starts on a line after the heading
    qint32 senderId = 0;
    QString senderName; // the peer's ShortName, or the identifier as a number
    QString text;
};

// "public", "private", or "more" for a continuation line: how the tools that print lines
// name their kind.
const char* lineKindName(const ReceivedLine& line);

// What a run of sends did. One receiver's failure does not keep the others from theirs.
struct SendResult {
    int sent = 0;
    QStringList errors; // "receiver: system text"
    bool ok() const { return errors.isEmpty(); }
    void merge(const SendResult& other) {
        sent += other.sent;
        errors += other.errors;
    }
};

// One chat message as it goes on the wire: a line in the plain form, or up to 100 lines in
// the multi-line form (whose line 0 carries the heading on reception).
struct OutgoingMessage {
    bool multiLine = false;
    QStringList lines;
    bool operator==(const OutgoingMessage&) const = default;
};

class ChatSession : public QObject {
    Q_OBJECT
public:
    // Attaches itself as the terminal's OnNewMessage handler and addresses by name.
    ChatSession(TMailslotTerminal& terminal, network::PeerList& peers, network::TNetUsers& netUsers,
                QObject* parent = nullptr);

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

    // The messages to every listed computer, and to this one whether it is listed yet or
    // not; a public line is shown when it comes back.
    SendResult sendPublic(const QList<OutgoingMessage>& messages);
    // The messages to the ticked computers; shortNames receives the ShortName of each, in
    // list order, for the lines the sender shows at once. Nobody ticked: nothing is sent.
    SendResult sendPrivate(const QList<OutgoingMessage>& messages, QStringList* shortNames);
    // A typed line (multiLine off) or the comma text of a multi-line message (on), planned
    // as above.
    SendResult sendPublic(const QString& text, bool multiLine);
    SendResult sendPrivate(const QString& text, bool multiLine, QStringList* shortNames);

    // The lines of a multi-line message's comma text.
    static QStringList multiLineLines(const QString& commaText);

    // Reception: the terminal's OnNewMessage.
    void TerminaaliNewMessage(TMailslotTerminal* sender, qint32 senderId, quint16 msgSize);

    // Longest plain text (bytes) one datagram carries for a chat line.
    qsizetype maxLineLength() const;

    // What greetings and answers may make this copy list and send; replaceable for tests.
    ReceptionBudget& budget() { return m_budget; }
    void setBudget(ReceptionBudget budget) { m_budget = std::move(budget); }

signals:
    void lineReceived(const kalvento::messaging::ReceivedLine& line);
    // A send that reception started (an answer) failed; reception goes on.
    void sendFailed(const QString& error);

private:
    // Sends one plain text to one receiver, copies times; failures go into result.
    void sendTo(const QString& receiver, const QByteArray& plain, int copies, SendResult& result);
    void sendMessages(const QString& receiver, const QList<OutgoingMessage>& messages,
                      bool isPrivate, SendResult& result);
    // A control message to each receiver, "Deliveries" times.
    SendResult sendToEach(const QStringList& receivers, const QByteArray& plain);

    TMailslotTerminal& m_terminal;
    network::PeerList& m_peers;
    network::TNetUsers& m_netUsers;
    QString m_ownComputerName;
    QString m_ownGroupName;
    QString m_ownIdentity;
    int m_deliveries = 1;
    ReceptionBudget m_budget;
};

} // namespace kalvento::messaging
