#pragma once
// One running copy of the chat: the terminal on this computer's receiving name, the list of
// computers, the walk of the workgroups and the session that speaks the protocol, wired
// together behind one door. The main window owns one, the headless peer is one, and tests
// create as many as they like on an in-memory LAN. Its owners call the operations below and
// read what happens from one stream of events (chatEvent); the parts stay inside. How lines
// and the list look is for its owner.

#include "messaging/chat_events.h"
#include "network/peer_list.h"

#include <QObject>
#include <QTimer>

#include <array>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>

class QAbstractItemModel;

namespace kalvento::crypto {
class IdentityKey;
}

namespace kalvento::network {
class DatagramNetwork;
class TNetUsers;
} // namespace kalvento::network

namespace kalvento::test {
class ChatNodeProbe;
}

namespace kalvento::messaging {

class ChatSession;
class TMailslotTerminal;

class ChatNode : public QObject {
    Q_OBJECT
public:
    // How often the terminal looks for datagrams should a wake-up from the network be
    // missed, in milliseconds.
    static constexpr quint32 kPollInterval = 250;

    // Opens this computer's receiving name and starts receiving at once. Throws what the
    // terminal throws when another process owns it.
    explicit ChatNode(network::DatagramNetwork& network, QObject* parent = nullptr);
    ~ChatNode() override;

    // ---- Who this copy is
    network::DatagramNetwork& network() const { return m_network; }
    const QString& computerName() const;
    const QString& groupName() const;
    // The identifier every datagram of this copy carries.
    quint32 senderId() const;
    // The name the user chose; empty for none.
    const QString& identity() const;
    // Takes the identity; others learn it with the next greeting or answer.
    void setIdentity(const QString& identity);
    // Takes the identity and tells it at once to every group of the last walk.
    SendResult announceIdentity(const QString& identity);
    // The name this copy's lines carry: the identity, else the computer name.
    QString ownName() const;
    // "General"/"Deliveries": each control message is sent this many times in a row (1-10).
    void setDeliveries(int deliveries);
    int deliveries() const;
    // The identities of the user's friends; the list marks their entries.
    void setFriends(const QStringList& identities);
    // The copy runs on a network that reaches nobody (another program holds the port):
    // what the user writes is planned and reported Offline, never sent.
    void setOffline(bool offline) { m_offline = offline; }
    bool offline() const { return m_offline; }

    // ---- Identity and trust
    // With a key, every control message goes out signed, every line to a computer whose key
    // is known goes sealed for it, and every datagram received is checked (chat_guard.h).
    // Without one (the default) the copy speaks the plain form only, as older copies do.
    void setIdentityKey(const crypto::IdentityKey& key);
    bool hasIdentityKey() const;
    // The book of keys seen per computer: read from path now (an error, e.g. a file that
    // cannot be read, comes back and leaves the book empty), written back atomically a
    // moment after it changed and when the node ends. An empty path keeps it in memory.
    QString setTrustBook(const QString& path);
    // Writes the book now when it changed; the error text, or empty.
    QString saveTrustBook();
    // "Send private lines unencrypted to older copies" (default on).
    void setPlainPrivateAllowed(bool allowed);
    // The user takes the new key of a changed computer, or confirms (by the safety number)
    // the pinned one. False when there is no such key.
    bool acceptKeyChange(const QString& computerName);
    bool markVerified(const QString& computerName);
    // This copy's key as six groups of five digits; empty without a key.
    QString ownFingerprint() const;
    // What is known of computerName's key (plain when nothing is).
    PeerKey peerKey(const QString& computerName) const;
    // Datagrams dropped by a check so far.
    int refusals() const;
    // How long a book whose keys or trust changed waits before it is written, and one
    // whose replay counters alone moved: those move with every datagram of a current copy
    // (a sign of life a minute from each), and a copy on a quiet LAN need not write its
    // disk every few seconds for them. They are written at the end of the run as well.
    static constexpr std::chrono::milliseconds kBookSaveDelay{5000};
    static constexpr std::chrono::milliseconds kMarksSaveDelay{300000};

    // ---- Presence, receipts, the outbox and catch-up (only between copies with keys)
    // What this copy's signs of life say: Available, Away or Busy, with a short text (at
    // most kMaxStatusText bytes, cut on a character boundary). A change goes out at once.
    static constexpr int kMaxStatusText = 64;
    void setStatus(network::PeerPresence status, const QString& text = {});
    network::PeerPresence status() const;
    QString statusText() const;
    // The window shows every line received so far while it is active: their read receipts
    // go out.
    void linesRead();
    // Sends a line again to the recipients that did not acknowledge it (Failed). False
    // when nothing of item is failed.
    bool sendAgain(quint64 item);
    // The outbox: private lines that wait for an absent computer with a known key. Read from
    // path now (an error comes back and leaves it empty), written back atomically when it
    // changes. An empty path keeps it in memory.
    QString setOutbox(const QString& path);
    QList<WaitingLine> waitingLines() const;
    // Takes a line out of the outbox; false when it is not there (it went meanwhile).
    bool cancelWaiting(quint64 lineId, const QString& computer);
    // Where the moment this copy was last there is kept, for catch-up: the public lines
    // said since then are asked of the first computers heard from. An empty path asks for
    // nothing.
    QString setCatchUpMark(const QString& path);
    // Where the floor of this copy's envelope counters is kept, so that they grow across
    // restarts even when the clock was set back in between (the others would refuse them
    // as replays until the clock caught up). An error when the file is there and cannot be
    // read; the counters then start from the clock.
    QString setCounterFloor(const QString& path);
    // Moves that moment to now: everything shown so far is kept (the chat log was just
    // written), so a copy killed from here on is offered only what came after.
    QString saveCatchUpMark();

    // ---- File transfers (only between current copies with keys)
    // Why computer cannot take part in a file transfer, or empty when it can.
    QString fileTransferBlocker(const QString& computer) const;
    // A transfer's message (transfer/transfer_wire.h) sealed for computer: the error, or
    // empty when it went. What comes back arrives as FileMessageReceived.
    QString sendFileMessage(const QString& computer, const QByteArray& bytes);
    // This copy's identity key, or null without one.
    const crypto::IdentityKey* identityKey() const;
    // The key pinned for computer (not a changed one's offered key), or nothing.
    std::optional<std::array<std::uint8_t, 32>> pinnedKey(const QString& computer) const;

    // ---- The list of computers
    // For lookups; it changes only through reception and the calls below.
    const network::PeerList& peers() const { return *m_peers; }
    // The list as the item model a view shows; checking an entry there ticks it.
    QAbstractItemModel& listModel();
    // Ticks or unticks an entry; this computer's own entry stays unticked.
    void setTicked(int entry, bool ticked);
    // Ticks the entry alone, for a private line to it. False, and nothing changes, when the
    // entry does not exist or is this computer's own.
    bool tickAlone(int entry);
    void clearList();

    // ---- Sending what the user wrote
    // One typed line (multiLine off) or the lines of a multi-line message (on), publicly
    // to every listed computer that may get a line and to this one (which shows a public
    // line when it comes back), or privately to the ticked computers. A private line with
    // nobody ticked is refused. Failures come as SendFailed events, withheld recipients as
    // Withheld, before this returns.
    LineOutcome send(const QStringList& lines, bool multiLine, bool isPrivate);
    // Longest plain text (bytes) one datagram carries for a chat line.
    qsizetype maxLineLength() const;

    // ---- Reception
    // Datagrams wait while reception is paused (a window not ready to show them yet).
    void pauseReception();
    void resumeReception();
    // Greetings from other computers that wait for the reception budget.
    int waitingGreetings() const;

    // ---- Greeting and goodbye
    // The greeting that makes this copy known: the walk, then the greeting to every group
    // found and the identity. Where the walk runs in the background this returns at once
    // and the greeting goes out when the walk ends; Greeted says what it did. A greeting
    // begun while another waits for its walk replaces it.
    void greet();
    // A greeting waits for its walk.
    bool greetingPending() const;
    // The greetings begun so far.
    int greetingCount() const { return m_greetingCount; }
    // Drops a greeting that waits for its walk: it never goes out.
    void cancelGreeting();
    // A walk without a greeting, waiting for its end (the tools' "walk"); the groups found.
    // Throws platform::SystemError when the network call fails.
    QStringList walk();
    QStringList walk(std::chrono::milliseconds wait);
    // The groups the last walk found.
    const QStringList& groups() const;
    // How often the links to the network are looked at: one that comes up after this copy
    // greeted brings another greeting (NetworkBack).
    static constexpr std::chrono::milliseconds kLinkCheckInterval{2000};
    // At most one such greeting in this time, however often a link comes and goes.
    static constexpr std::chrono::seconds kLinkGreetingGap{10};
    // A copy that lost every computer it followed greets again after a presence interval,
    // then after twice as long each time, up to kMaxLonelyGreetingGap, until it hears one:
    // its network may have been gone without a link going down (a switch further on).
    static constexpr std::chrono::minutes kMaxLonelyGreetingGap{30};
    // The goodbye to every listed computer. A greeting still waiting for its walk is
    // dropped first, so nothing of this copy's arrives after its goodbye.
    SendResult SendGoodbye();

signals:
    // Everything that happens in the chat, in order.
    void chatEvent(const kalvento::messaging::ChatEvent& event);

private:
    friend class test::ChatNodeProbe;

    void walkEnded(const QString& error);
    void checkLinks();
    void presenceChanged();
    void greetLonely();
    // A greeting of this copy's own accord: what fails is not the user's to hear of.
    void greetAgain();
    void beginGreeting(bool quiet);
    // Each failure of a run as SendFailed, then what it withheld.
    void report(Sending what, const SendResult& result);

    network::DatagramNetwork& m_network;
    std::unique_ptr<TMailslotTerminal> m_terminal;
    std::unique_ptr<network::PeerList> m_peers;
    std::unique_ptr<network::TNetUsers> m_netUsers;
    std::unique_ptr<ChatSession> m_session;
    QString m_bookPath;
    QTimer m_bookTimer;
    QTimer m_linkTimer;
    QStringList m_links; // the live links at the last look
    std::optional<std::chrono::steady_clock::time_point> m_linkGreetedAt;
    std::chrono::steady_clock::duration m_linkGreetingGap = kLinkGreetingGap;
    QTimer m_lonelyTimer;
    std::chrono::milliseconds m_lonelyGap{0}; // the next wait; 0 while somebody is heard
    bool m_quietGreeting = false;
    int m_greetingCount = 0;
    bool m_offline = false;
};

} // namespace kalvento::messaging
