#pragma once
// What a running chat tells its owner, and the plain values its operations take and give.
// Everything a ChatNode has to say comes as one ChatEvent through one signal, in the order
// it happened, so that the window, the headless peer and the trace read the same stream.

#include "network/peer_list.h"

#include <QDateTime>
#include <QList>
#include <QString>
#include <QStringList>

#include <variant>

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
    // The computer it came from: the listed one whose sender id it carries, else the
    // sender its datagram names.
    QString senderComputer;
    // It came sealed for this copy (only a copy with an identity key receives so).
    bool encrypted = false;
    // What is known of the key it was signed or sealed with: plain for a line that
    // carried none, changed for a computer whose new key the user has not taken yet.
    network::PeerTrust senderTrust = network::PeerTrust::Plain;
    // The id its author gave it (a current copy's line; 0 for an older copy's). Unique per
    // author: the author's clock in microseconds since 1970 when it was sent.
    quint64 lineId = 0;
    // A public line said while this copy was away, offered by a peer after it came back
    // (ChatNode catch-up); sentAt is when its author said it.
    bool caughtUp = false;
    QDateTime sentAt;
};

// "public", "private", or "more" for a continuation line: how the tools that print lines
// name their kind.
const char* lineKindName(const ReceivedLine& line);

// What a run of sends did. One receiver's failure does not keep the others from theirs.
struct SendResult {
    int sent = 0;
    QStringList errors; // "receiver: system text"
    // Listed computers not sent to: their address has not confirmed that they receive there
    // and the few such computers a line goes to were taken (ChatSession::lineRecipients).
    int withheld = 0;
    // Computers a private line was kept from because it would not have gone encrypted: a
    // copy without a key while plain private lines are not allowed, or a computer whose key
    // changed and waits for the user to take it.
    QStringList notEncrypted;
    // Computers a private line went to unencrypted (copies without a key).
    QStringList sentPlain;
    bool ok() const { return errors.isEmpty() && notEncrypted.isEmpty(); }
    void merge(const SendResult& other) {
        sent += other.sent;
        errors += other.errors;
        withheld += other.withheld;
        notEncrypted += other.notEncrypted;
        sentPlain += other.sentPlain;
    }
};

// One chat message as it goes on the wire: a line in the plain form, or up to 100 lines in
// the multi-line form (whose line 0 carries the heading on reception).
struct OutgoingMessage {
    bool multiLine = false;
    QStringList lines;
    bool operator==(const OutgoingMessage&) const = default;
};

// What became of what the user wrote (ChatNode::send).
struct LineOutcome {
    enum class Status {
        Sent,    // handed to the network; result says how it went
        Refused, // a private line with nobody ticked: never sent, not even publicly
        Offline, // the copy reaches nobody: planned, not sent
    };
    Status status = Status::Sent;
    bool isPrivate = false;
    // The messages that carry all of it, as they went out (or would have).
    QList<OutgoingMessage> messages;
    // A private line's recipients: the distinctName of each ticked computer, in list order.
    QStringList recipients;
    SendResult result;
    // This send, as DeliveryChanged and ChatNode::sendAgain name it; 0 when no receipt is
    // expected from anybody.
    quint64 item = 0;
    // The ids of the lines that carry it, in order (one per datagram's line; a line
    // received back, ReceivedLine::lineId, names the same). Empty from a copy without a key.
    QList<quint64> lineIds;
    // The computers a receipt is expected from (current copies), those that give none
    // (older copies), and those the line waits for in the outbox (absent, known key).
    QStringList tracked;
    QStringList noReceipt;
    QStringList waiting;

    // Whether the user's text is done with: something went out or nothing failed, or the
    // copy is offline and shows it as not sent. False for a refusal and for a line that
    // reached nobody, which the user may send again.
    bool accepted() const {
        switch (status) {
        case Status::Refused:
            return false;
        case Status::Offline:
            return true;
        case Status::Sent:
            break;
        }
        return result.sent > 0 || result.ok();
    }
    // A private line does not come back to its sender, who shows it at once, as long as it
    // reached somebody or waits in the outbox for somebody.
    bool showsEcho() const {
        return status == Status::Sent && isPrivate && (result.sent > 0 || !waiting.isEmpty());
    }
};

// What a send was for. The owner may treat failures differently: the goodbye's come at the
// end of a run, when the window collects them itself.
enum class Sending { Line, Greeting, Answer, Identity, Goodbye };

// A chat line arrived (also this copy's own public line coming back).
struct LineReceived {
    ReceivedLine line;
};
// The list of computers changed; entry is the entry as it stands now.
struct PeerAdded {
    int index = 0;
    network::PeerEntry entry;
};
struct PeerChanged {
    int index = 0;
    network::PeerEntry entry;
};
// The entry is gone from the list by now.
struct PeerRemoved {
    int index = 0;
    QString computerName;
};
// The number of ticked computers changed; a private line can go while it is above zero.
struct TicksChanged {
    int ticked = 0;
};
// A send failed ("receiver: system text"); the others of the same run went on.
struct SendFailed {
    enum class Reason {
        System,       // the network refused it: error has the system's text
        NotEncrypted, // a private line kept from a computer it could not go to encrypted
    };
    Sending what = Sending::Line;
    QString error;
    Reason reason = Reason::System;
    QString computer; // for NotEncrypted: the computer left out
};
// A public line or the goodbye was not sent to this many listed computers whose address has
// not confirmed them.
struct Withheld {
    Sending what = Sending::Line;
    int count = 0;
};
// A datagram could not be read or handled; reception goes on with the next.
struct ReceptionFailed {
    QString error;
};
// The walk of a greeting failed with the system's text; what it found is still greeted.
struct WalkFailed {
    QString error;
};
// A link to the network came up, or came back, after this copy had greeted: it greets again
// (Greeted follows), so that the others and this copy find each other after a network that
// was gone, or one that came up after the program started.
struct NetworkBack {
    QStringList links; // the links that were not there before, as liveLinks says them
};
// A greeting went out to every group the walk found (its failures came as SendFailed).
struct Greeted {
    SendResult result;
};

// Why a received datagram was dropped by a check.
enum class RefusalReason {
    Auth,      // a damaged envelope, a signature that does not hold, a line that does not open
    Replay,    // a counter its sender key used before
    Downgrade, // plain, in the name of a computer whose key is known
    Key,       // under another key than the computer it speaks for is known by
};
// "auth", "replay", "downgrade", "key": the word the trace prints.
const char* refusalName(RefusalReason reason);

// A datagram failed a check: it changed nothing. computer: the one it came in the name of.
struct Refused {
    RefusalReason reason = RefusalReason::Auth;
    QString computer;
};
// Another copy goes by this copy's own computer name: datagrams in this name that are not
// this copy's came from address, under the key of that fingerprint (empty: plain, an older
// copy). Told once per address a run.
struct NameClash {
    QString address;
    QString fingerprint;
};
// The other copy's key as the trace prints it: the fingerprint's digits, or "plain".
QString nameClashKeyText(const NameClash& clash);
// What is known of a computer's key changed; also when a computer is first heard from
// (plain or pinned).
struct PeerTrustChanged {
    QString computer;
    network::PeerTrust trust = network::PeerTrust::Plain;
    QString oldFingerprint; // changed: the key pinned before
    QString newFingerprint; // the key now seen (empty for plain)
};

// Whether a listed computer is still there changed: heard again (available, or the status
// its sign of life tells), not heard for a while (absent: greyed, lastSeen says since
// when), or gone (removed from the list, unless a friend, which stays absent).
struct PresenceChanged {
    QString computer;
    network::PeerPresence state = network::PeerPresence::Available;
    QDateTime lastSeen;
    QString statusText; // given with away or busy
};

// What became of a line this copy sent, for one recipient.
struct DeliveryChanged {
    enum class State {
        Delivered, // the recipient's copy took it
        Read,      // its window showed it while active
        Failed,    // not acknowledged after the retries; ChatNode::sendAgain tries again
        Waiting,   // in the outbox until the recipient is heard again
        Sent,      // left the outbox: sent, a receipt is awaited
        Cancelled, // taken out of the outbox by the user
        Expired,   // too old for the outbox: dropped from it
    };
    quint64 item = 0; // LineOutcome::item; 0 for a line of the outbox from an earlier run
    QString computer;
    State state = State::Delivered;
    quint64 lineId = 0;
    // For a line of the outbox: what it says and since when it waits.
    QString text;
    QDateTime queuedAt;
};
// "delivered", "read", "failed", "queued", "sent", "cancelled", "expired".
const char* deliveryStateName(DeliveryChanged::State state);

// A private line in the outbox (ChatNode::waitingLines).
struct WaitingLine {
    quint64 lineId = 0;
    QString computer;
    QDateTime queuedAt;
    QString text;
};

// A catch-up added count lines (LineReceived with caughtUp, in order, came before it).
struct CaughtUp {
    int count = 0;
};

// What this copy knows of a computer's key, for the user to compare with its owner.
struct PeerKey {
    network::PeerTrust trust = network::PeerTrust::Plain;
    QString fingerprint;        // the key pinned (empty for a plain computer)
    QString offeredFingerprint; // changed: the new key, not taken yet
    // Both copies' fingerprints as both people see them: with the offered key for a
    // changed computer, empty for a plain one or a copy without a key of its own.
    QString safetyNumber;
};

// A file transfer's message from computer, sealed for this copy and opened: its bytes
// (transfer/transfer_wire.h) and the address it came from ("198.51.100.12"; empty where the
// network has no addresses).
struct FileMessageReceived {
    QString computer;
    QString source;
    QByteArray bytes;
};

using ChatEvent = std::variant<LineReceived, PeerAdded, PeerChanged, PeerRemoved, TicksChanged,
                               SendFailed, Withheld, ReceptionFailed, WalkFailed, Greeted, Refused,
                               PeerTrustChanged, PresenceChanged, DeliveryChanged, CaughtUp,
                               FileMessageReceived, NameClash, NetworkBack>;

} // namespace kalvento::messaging
