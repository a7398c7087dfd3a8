#pragma once
// The walk of the network for workgroup names. It does not list computers: it finds the
// groups whose running copies answer, and the greeting goes to each of them.

#include "platform/datagram_network.h"

#include <QObject>
#include <QStringList>

#include <chrono>

namespace kalvento::network {

class TNetUsers : public QObject {
    Q_OBJECT
    Q_PROPERTY(QString Server READ Server WRITE setServer)
public:
    explicit TNetUsers(platform::DatagramNetwork& network, QObject* owner = nullptr);

    // Stored only; the walk does not use it.
    QString Server() const { return m_server; }
    void setServer(const QString& server);

    // Sorted, without duplicates, compared without regard to letter case.
    const QStringList& Names() const { return m_names; }

    // Empties Names and fills it with the groups found. False when nothing answered.
    // A failing network call throws platform::SystemError; Names keeps nothing then.
    // The walk blocks the window's show, so the network's wait is short (a LAN answers
    // within milliseconds).
    bool Enumerate() { return Enumerate(m_network.defaultWalkWait()); }
    bool Enumerate(std::chrono::milliseconds wait);

private:
    void addName(const QString& name);

    platform::DatagramNetwork& m_network;
    QString m_server;
    QStringList m_names;
};

// This computer's workgroup name; empty when unknown.
QString GetGroupName(const platform::DatagramNetwork& network);

} // namespace kalvento::network
