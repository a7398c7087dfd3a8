#include "network/net_users.h"

#include <algorithm>

namespace kalvento::network {

TNetUsers::TNetUsers(network::DatagramNetwork& network, QObject* owner)
    : QObject(owner), m_network(network) {}

TNetUsers::~TNetUsers() {
    Cancel();
}

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

void TNetUsers::setNames(const QStringList& groups) {
    m_names.clear();
    for (const QString& group : groups)
        if (!group.isEmpty())
            addName(group);
}

bool TNetUsers::Enumerate(std::chrono::milliseconds wait) {
    Cancel();
    m_names.clear();
    setNames(m_network.queryGroups(wait));
    return !m_names.isEmpty();
}

void TNetUsers::BeginEnumerate(std::chrono::milliseconds wait) {
    Cancel();
    const quint64 walk = ++m_walk;
    m_enumerating = true;
    if (!m_network.walksInBackground()) {
        QStringList groups;
        QString error;
        try {
            groups = m_network.queryGroups(wait);
        } catch (const std::exception& e) {
            error = QString::fromUtf8(e.what());
        }
        finish(walk, groups, error);
        return;
    }
    // The worker hands its answer to this object's thread. It never outlives the object:
    // Cancel, which the destructor calls, stops it and waits for it.
    m_worker = std::jthread([this, walk, wait](const std::stop_token& stop) {
        QStringList groups;
        QString error;
        try {
            groups = m_network.queryGroups(wait, stop);
        } catch (const std::exception& e) {
            error = QString::fromUtf8(e.what());
        }
        if (stop.stop_requested())
            return;
        QMetaObject::invokeMethod(
            this, [this, walk, groups, error] { finish(walk, groups, error); },
            Qt::QueuedConnection);
    });
}

void TNetUsers::finish(quint64 walk, const QStringList& groups, const QString& error) {
    if (walk != m_walk || !m_enumerating)
        return; // dropped, or replaced by a later walk
    m_enumerating = false;
    setNames(error.isEmpty() ? groups : QStringList());
    emit Enumerated(!m_names.isEmpty(), error);
}

void TNetUsers::Cancel() {
    ++m_walk;
    m_enumerating = false;
    if (m_worker.joinable()) {
        m_worker.request_stop();
        m_worker.join(); // at once: the stop request wakes the walk's wait
    }
}

QString GetGroupName(const network::DatagramNetwork& network) {
    return network.groupName();
}

} // namespace kalvento::network
