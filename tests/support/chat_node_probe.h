#pragma once
// A look inside a ChatNode for tests: its terminal (to hand the waiting datagrams to it on
// an in-memory LAN, to read its id), its session (the reception budget, greetings without a
// walk), its walk and its list. The program itself only ever uses the node's public side.
// EventLog records the node's events for a test to read.

#include "messaging/chat_node.h"
#include "messaging/chat_session.h"
#include "messaging/mailslot_terminal.h"
#include "network/net_users.h"
#include "network/peer_list.h"

#include <QObject>

#include <functional>
#include <variant>
#include <vector>

namespace kalvento::test {

class ChatNodeProbe {
public:
    explicit ChatNodeProbe(messaging::ChatNode& node) : m_node(node) {}

    messaging::TMailslotTerminal& terminal() const { return *m_node.m_terminal; }
    messaging::ChatSession& session() const { return *m_node.m_session; }
    network::TNetUsers& netUsers() const { return *m_node.m_netUsers; }
    network::PeerList& peers() const { return *m_node.m_peers; }
    // The timer that writes the book of keys a moment after it changed.
    const QTimer& bookTimer() const { return m_node.m_bookTimer; }
    // One look at the links to the network, as the node's timer takes it.
    void checkLinks() const { m_node.checkLinks(); }
    // How long after one greeting for a link the next may come (kLinkGreetingGap).
    void setLinkGreetingGap(std::chrono::steady_clock::duration gap) const {
        m_node.m_linkGreetingGap = gap;
    }
    // The timer of the greetings of a copy that lost everybody, and what it does when it
    // runs out.
    const QTimer& lonelyTimer() const { return m_node.m_lonelyTimer; }
    void greetLonely() const { m_node.greetLonely(); }
    // A greeting of the node's own accord, as after a silence.
    void greetAgain() const { m_node.greetAgain(); }
    // One reception pass over every waiting datagram.
    void receive() const { terminal().ReceiveMessages(); }

private:
    messaging::ChatNode& m_node;
};

// Calls handle for each line the node receives, while context lives.
inline void onLine(messaging::ChatNode& node, const QObject* context,
                   std::function<void(const messaging::ReceivedLine&)> handle) {
    QObject::connect(&node, &messaging::ChatNode::chatEvent, context,
                     [handle = std::move(handle)](const messaging::ChatEvent& event) {
                         if (const auto* line = std::get_if<messaging::LineReceived>(&event))
                             handle(line->line);
                     });
}

// Every event of a node, in order.
class EventLog {
public:
    explicit EventLog(messaging::ChatNode& node) {
        m_connection = QObject::connect(
            &node, &messaging::ChatNode::chatEvent,
            [this](const messaging::ChatEvent& event) { m_events.push_back(event); });
    }
    ~EventLog() { QObject::disconnect(m_connection); }
    EventLog(const EventLog&) = delete;
    EventLog& operator=(const EventLog&) = delete;

    const std::vector<messaging::ChatEvent>& all() const { return m_events; }
    void clear() { m_events.clear(); }
    // The events of one kind, in order.
    template <class Event> std::vector<Event> of() const {
        std::vector<Event> found;
        for (const messaging::ChatEvent& event : m_events) {
            if (const auto* e = std::get_if<Event>(&event))
                found.push_back(*e);
        }
        return found;
    }
    template <class Event> int count() const { return int(of<Event>().size()); }

private:
    std::vector<messaging::ChatEvent> m_events;
    QMetaObject::Connection m_connection;
};

} // namespace kalvento::test
