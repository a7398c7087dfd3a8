#pragma once
// A simulated LAN inside one process: several computers, each an InMemoryNetwork on one
// InMemoryHub, exchanging datagrams synchronously. The tests run several copies of the chat
// on it in one process, and the program runs on a network of its own alone when another
// program holds the port (it then works offline: it reaches nobody and nobody reaches it).
//
// Same rules as the real service: one receiving name per computer (a second one fails
// with EADDRINUSE, also from another InMemoryNetwork of the same computer name), names
// compared case-insensitively, Named delivery to one computer or every member of a group,
// datagrams for a name nobody has open are lost without an error.
//
// Single-threaded. Hub, networks and receivers may be destroyed in any order.

#include "network/datagram_network.h"

#include <QHash>

#include <memory>

namespace kalvento::network {

struct InMemoryHubState;

class InMemoryHub {
public:
    InMemoryHub();
    ~InMemoryHub();
    InMemoryHub(const InMemoryHub&) = delete;
    InMemoryHub& operator=(const InMemoryHub&) = delete;

    // Every delivery is queued this many times, as a datagram sent to a group arrives once
    // per network transport on a real LAN. At least 1; default 1.
    void setCopiesPerDelivery(int copies);
    int copiesPerDelivery() const;

    // Largest datagram the networks of this hub accept; default kMaxDatagramSize.
    void setMaxDatagramSize(quint32 size);
    quint32 maxDatagramSize() const;

    // Number of datagrams queued into receivers so far (copies counted).
    quint64 deliveredCount() const;

private:
    friend class InMemoryNetwork;
    std::shared_ptr<InMemoryHubState> m_state;
};

class InMemoryNetwork : public DatagramNetwork {
public:
    InMemoryNetwork(InMemoryHub& hub, QString computerName, QString groupName);
    ~InMemoryNetwork() override;

    QString computerName() const override { return m_computerName; }
    QString groupName() const override { return m_groupName; }

    std::unique_ptr<DatagramReceiver> openReceiver(const QString& mailslotName) override;
    void send(AddressKind kind, const QString& receiverName, const QString& mailslotName,
              QByteArrayView datagram) override;
    QStringList queryGroups(std::chrono::milliseconds wait, std::stop_token stop = {}) override;
    quint32 maxDatagramSize() const override;
    // Every computer on the hub is known without asking: Confirmed while its receiver is
    // open and it answers walks, Heard while it is open and does not, Unknown otherwise.
    Reach reach(const QString& computerName) const override;
    bool confirm(const QString&) override { return false; }
    QStringList liveLinks() const override { return m_liveLinks; }

    // Test hooks. The target of a send is its receiver name for Named, this computer's
    // name for LocalComputer and its group name for PrimaryGroup (case-insensitive).
    // The next send to target throws SystemError(errorNumber) and delivers nothing.
    void failNextSend(const QString& target, int errorNumber);
    // Number of send() calls to target that did not throw.
    int sendCount(const QString& target) const;
    int totalSendCount() const { return m_totalSends; }
    // A copy that does not answer walks (as a peer that only speaks the chat might): the
    // walks of others do not find its group, and it is never Confirmed. Default true.
    void setAnswersWalks(bool answers);
    // What liveLinks says from now on (nothing at first).
    void setLiveLinks(QStringList links) { m_liveLinks = std::move(links); }

private:
    QString targetOf(AddressKind kind, const QString& receiverName) const;

    std::shared_ptr<InMemoryHubState> m_state;
    QString m_computerName;
    QString m_groupName;
    bool m_answersWalks = true;
    QStringList m_liveLinks;
    QHash<QString, int> m_failures;   // folded target -> error number
    QHash<QString, int> m_sendCounts; // folded target -> count
    int m_totalSends = 0;
};

} // namespace kalvento::network
