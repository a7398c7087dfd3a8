#pragma once
// One running copy of the chat: the terminal on this computer's receiving name, the list of
// computers, the walk of the workgroups and the session that speaks the protocol, wired
// together. The main window owns one, the headless peer is one, and tests create as many
// as they like on an in-memory LAN. How lines and the list look is for its owner.

#include "messaging/chat_session.h"
#include "messaging/mailslot_terminal.h"
#include "network/net_users.h"
#include "network/peer_list.h"

#include <QObject>

namespace kalvento::messaging {

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

    network::DatagramNetwork& network() const { return m_network; }
    TMailslotTerminal& terminal() { return *m_terminal; }
    network::PeerList& peers() { return m_peers; }
    network::TNetUsers& netUsers() { return m_netUsers; }
    ChatSession& session() { return *m_session; }

    // The greeting that makes this copy known: the walk, then the greeting to every group
    // found and the identity (SendGreeting). Where the walk runs in the background this
    // returns at once and the greeting goes out when the walk ends; greeted() says what
    // it did. A greeting begun while another waits for its walk replaces it.
    void greet();
    // A greeting waits for its walk.
    bool greetingPending() const { return m_netUsers.Enumerating(); }
    // The greetings begun so far.
    int greetingCount() const { return m_greetingCount; }
    // Drops a greeting that waits for its walk: it never goes out.
    void cancelGreeting();

    // The goodbye to every listed computer. A greeting still waiting for its walk is
    // dropped first, so nothing of this copy's arrives after its goodbye.
    SendResult SendGoodbye();

signals:
    // The walk of a greeting failed with the system's text; what it found is still greeted.
    void walkFailed(const QString& error);
    // The greeting went out (to every group the walk found).
    void greeted(const kalvento::messaging::SendResult& result);

private:
    void walkEnded(const QString& error);

    network::DatagramNetwork& m_network;
    std::unique_ptr<TMailslotTerminal> m_terminal;
    network::PeerList m_peers;
    network::TNetUsers m_netUsers;
    std::unique_ptr<ChatSession> m_session;
    int m_greetingCount = 0;
};

} // namespace kalvento::messaging
