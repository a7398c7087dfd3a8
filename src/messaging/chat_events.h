#pragma once
// What a running chat tells its owner, and the plain values its operations take and give.
// Everything a ChatNode has to say comes as one ChatEvent through one signal, in the order
// it happened, so that the window, the headless peer and the trace read the same stream.

#include "network/peer_list.h"

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
    bool ok() const { return errors.isEmpty(); }
    void merge(const SendResult& other) {
        sent += other.sent;
        errors += other.errors;
        withheld += other.withheld;
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
    // A private line's recipients: the ShortName of each ticked computer, in list order.
    QStringList recipients;
    SendResult result;

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
    // reached somebody.
    bool showsEcho() const { return status == Status::Sent && isPrivate && result.sent > 0; }
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
    Sending what = Sending::Line;
    QString error;
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
// A greeting went out to every group the walk found (its failures came as SendFailed).
struct Greeted {
    SendResult result;
};

using ChatEvent = std::variant<LineReceived, PeerAdded, PeerChanged, PeerRemoved, TicksChanged,
                               SendFailed, Withheld, ReceptionFailed, WalkFailed, Greeted>;

} // namespace kalvento::messaging
