#pragma once
// The datagram service over IPv4 UDP. One socket per computer on one port: owning it is
// owning the receiving name. Frames name their target (a computer or a group) and their
// receiving name, and receivers drop what is not for them. Named computers are reached
// at the address they last sent from, or else by a broadcast that only they accept, so
// no name service is needed. The bytes on the wire are in docs/protocol.md.

#include "platform/datagram_network.h"

#include <QList>
#include <QString>
#include <QStringList>
#include <QStringView>

#include <chrono>
#include <memory>
#include <optional>

namespace kalvento::platform {

inline constexpr quint16 kDefaultDatagramPort = 5737;
inline constexpr std::chrono::milliseconds kDefaultWalkWait{200};

struct Ipv4Endpoint {
    quint32 address = 0; // host byte order
    quint16 port = 0;

    friend bool operator==(const Ipv4Endpoint&, const Ipv4Endpoint&) = default;
    QString toString() const;
    // "a.b.c.d" or "a.b.c.d:port"; addresses only, never host names (no DNS).
    static std::optional<Ipv4Endpoint> parse(QStringView text, quint16 defaultPort);
};

struct UdpNetworkConfig {
    QString computerName; // empty: identity's computerName()
    QString groupName;    // empty: workgroupName()
    quint16 port = kDefaultDatagramPort;
    quint32 bindAddress = 0; // host byte order; 0 binds every address
    // Interfaces broadcast on and accepted from (loopback is always accepted);
    // nullopt: every interface that is up and can broadcast.
    std::optional<QStringList> interfaces;
    // Always sent the copies of a broadcast; reach copies on loopback or past routers.
    QList<Ipv4Endpoint> peers;
    std::chrono::milliseconds walkWait = kDefaultWalkWait;
    // Waiting datagrams beyond these are dropped.
    quint32 maxQueuedDatagrams = 4096;
    quint64 maxQueuedBytes = 32 * 1024 * 1024;
    // The copies this computer sends itself (the user's own lines) wait in the same order
    // but are counted apart, so that a flood from elsewhere cannot push them out.
    quint32 maxQueuedOwnDatagrams = 4096;
    quint64 maxQueuedOwnBytes = 32 * 1024 * 1024;

    // KALVENTO_PORT, KALVENTO_BIND_ADDRESS, KALVENTO_INTERFACES (comma-separated names),
    // KALVENTO_PEERS ("addr[:port],..."), KALVENTO_WALK_MS, and the identity and workgroup
    // variables. A value that does not parse leaves the default (a bad peer is skipped).
    static UdpNetworkConfig fromEnvironment();
};

class UdpNetwork : public DatagramNetwork {
public:
    explicit UdpNetwork(UdpNetworkConfig config = {});
    ~UdpNetwork() override;
    UdpNetwork(const UdpNetwork&) = delete;
    UdpNetwork& operator=(const UdpNetwork&) = delete;

    QString computerName() const override;
    QString groupName() const override;
    std::unique_ptr<DatagramReceiver> openReceiver(const QString& mailslotName) override;
    void send(AddressKind kind, const QString& receiverName, const QString& mailslotName,
              QByteArrayView datagram) override;
    QStringList queryGroups(std::chrono::milliseconds wait, std::stop_token stop = {}) override;
    // The walk waits on a socket of its own, so it may run on any thread.
    bool walksInBackground() const override { return true; }
    std::chrono::milliseconds defaultWalkWait() const override;

    const UdpNetworkConfig& config() const;

    struct State;

private:
    std::shared_ptr<State> m_state;
};

} // namespace kalvento::platform
