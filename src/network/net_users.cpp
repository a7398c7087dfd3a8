#include "network/net_users.h"

#include <algorithm>

namespace kalvento::network {

TNetUsers::TNetUsers(platform::DatagramNetwork& network, QObject* owner)
    : QObject(owner), m_network(network) {}

void TNetUsers::setServer(const QString& server) {
    if (server != m_server)
        m_server = server;
}

void TNetUsers::addName(const QString& name) {
    const auto less = [](const QString& a, const QString& b) {
        return a.compare(b, Qt::CaseInsensitive) < 0;
    };
    const auto at = std::lower_bound(m_names.begin(), m_names.end(), name, less);
    if (at != m_names.end() && at->compare(name, Qt::CaseInsensitive) == 0)
        return;
    m_names.insert(at, name);
}

bool TNetUsers::Enumerate(std::chrono::milliseconds wait) {
    m_names.clear();
    for (const QString& group : m_network.queryGroups(wait))
        if (!group.isEmpty())
            addName(group);
    return !m_names.isEmpty();
}

QString GetGroupName(const platform::DatagramNetwork& network) { return network.groupName(); }

} // namespace kalvento::network
