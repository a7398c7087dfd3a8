#include "messaging/chat_node.h"

#include "network/datagram_network.h"

namespace kalvento::messaging {

ChatNode::ChatNode(network::DatagramNetwork& network, QObject* parent)
    : QObject(parent), m_network(network), m_netUsers(network) {
    m_terminal = std::make_unique<TMailslotTerminal>(network);
    m_terminal->SetInterval(kPollInterval);
    m_session = std::make_unique<ChatSession>(*m_terminal, m_peers, m_netUsers);
    m_session->setOwnNames(network.computerName(), network::GetGroupName(network));
    connect(&m_netUsers, &network::TNetUsers::Enumerated, this,
            [this](bool, const QString& error) { walkEnded(error); });
}

ChatNode::~ChatNode() {
    // The walk goes first: its worker must not hand an answer to a session that is gone.
    m_netUsers.Cancel();
}

void ChatNode::greet() {
    ++m_greetingCount;
    m_netUsers.BeginEnumerate();
}

void ChatNode::walkEnded(const QString& error) {
    if (!error.isEmpty())
        emit walkFailed(error);
    emit greeted(m_session->SendGreeting());
}

void ChatNode::cancelGreeting() {
    m_netUsers.Cancel();
}

SendResult ChatNode::SendGoodbye() {
    cancelGreeting();
    return m_session->SendGoodbye();
}

} // namespace kalvento::messaging
