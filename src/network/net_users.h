#pragma once
// The walk of the network for workgroup names. It does not list computers: it finds the
// groups whose running copies answer, and the greeting goes to each of them.

#include "network/datagram_network.h"

#include <QObject>
#include <QStringList>

#include <chrono>
#include <thread>

namespace kalvento::network {

class TNetUsers : public QObject {
    Q_OBJECT
    Q_PROPERTY(QString Server READ Server WRITE setServer)
public:
    explicit TNetUsers(network::DatagramNetwork& network, QObject* owner = nullptr);
    // Drops a walk under way.
    ~TNetUsers() override;

    // Stored only; the walk does not use it.
    QString Server() const { return m_server; }
    void setServer(const QString& server);

    // Sorted, without duplicates, compared without regard to letter case.
    const QStringList& Names() const { return m_names; }

    // Empties Names and fills it with the groups found, waiting for the walk. False when
    // nothing answered. A failing network call throws platform::SystemError; Names keeps
    // nothing then. A walk begun with BeginEnumerate is dropped first.
    bool Enumerate() { return Enumerate(m_network.defaultWalkWait()); }
    bool Enumerate(std::chrono::milliseconds wait);

    // The walk without waiting for it. On a network whose walk runs in the background it
    // runs on a thread of its own, and Enumerated comes through the event loop when it
    // ends; on any other it runs at once, and Enumerated is emitted before this returns.
    // Names changes only then. A walk begun while another is under way replaces it.
    void BeginEnumerate() { BeginEnumerate(m_network.defaultWalkWait()); }
    void BeginEnumerate(std::chrono::milliseconds wait);
    // Drops the walk under way: it neither changes Names nor says that it ended.
    void Cancel();
    // A walk begun and neither ended nor dropped.
    bool Enumerating() const { return m_enumerating; }

signals:
    // The end of a walk begun with BeginEnumerate. found: Names is not empty; error: the
    // system's text when the walk failed (Names then holds nothing).
    void Enumerated(bool found, const QString& error);

private:
    void addName(const QString& name);
    void setNames(const QStringList& groups);
    void finish(quint64 walk, const QStringList& groups, const QString& error);

    network::DatagramNetwork& m_network;
    QString m_server;
    QStringList m_names;
    bool m_enumerating = false;
    quint64 m_walk = 0; // the number of the walk whose end counts
    std::jthread m_worker;
};

// This computer's workgroup name; empty when unknown.
QString GetGroupName(const network::DatagramNetwork& network);

} // namespace kalvento::network
