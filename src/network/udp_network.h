#pragma once
// The datagram service over IPv4 UDP. One socket per computer on one port: owning it is
// owning the receiving name. Frames name their target (a computer or a group) and their
// receiving name, and receivers drop what is not for them. Named computers are reached
// at the address they last sent from, or else by a broadcast that only they accept, so
// no name service is needed. The bytes on the wire are in docs/protocol.md.

#include "network/datagram_network.h"

#include <QList>
#include <QString>
#include <QStringList>
#include <QStringView>

#include <chrono>
#include <memory>
#include <optional>

namespace kalvento::network {

inline constexpr quint16 kDefaultDatagramPort = 5737;
inline constexpr std::chrono::milliseconds kDefaultWalkWait{200};

struct Ipv4Endpoint {
    quint32 address = 0; // host byte order
    quint16 port = 0;

    friend bool operator==(const Ipv4Endpoint&, const Ipv4Endpoint&) = default;
    // Address and port in one number, for sets of endpoints.
    quint64 key() const { return (quint64(address) << 16) | port; }
    QString toString() const;
    // "a.b.c.d" or "a.b.c.d:port"; addresses only, never host names (no DNS).
    static std::optional<Ipv4Endpoint> parse(QStringView text, quint16 defaultPort);
};

// The user's choice in Options.ini's [Network] section.
struct NetworkSettings {
    quint16 port = kDefaultDatagramPort;
    QStringList interfaces; // none: every interface that can broadcast
    QStringList peers;      // entries as parsePeerEntry (peer_address.h) reads them
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
    quint64 maxQueuedBytes = quint64{32} * 1024 * 1024;
    // The copies this computer sends itself (the user's own lines) wait in the same order
    // but are counted apart, so that a flood from elsewhere cannot push them out.
    quint32 maxQueuedOwnDatagrams = 4096;
    quint64 maxQueuedOwnBytes = quint64{32} * 1024 * 1024;

    // KALVENTO_PORT, KALVENTO_BIND_ADDRESS, KALVENTO_INTERFACES (comma-separated names),
    // KALVENTO_PEERS ("addr[:port]" or "addr/nn[:port]", comma-separated), KALVENTO_WALK_MS,
    // and the identity and workgroup variables. A value that does not parse leaves the
    // default (a bad peer is skipped).
    static UdpNetworkConfig fromEnvironment();
    // The same, over what the user chose in the options: a variable that is set overrides
    // the file's value. Peers without a port get the port in use.
    static UdpNetworkConfig fromSettings(const NetworkSettings& file);
};

// The names of the interfaces that are up, can broadcast and have an IPv4 address, in the
// system's order, each once (loopback is never one).
QStringList broadcastInterfaceNames();

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
    // A name is Confirmed once the address it was heard from answered a walk query of a
    // number of our own sent there from the endpoint; confirm() sends that query (and
    // needs the endpoint open). Thread-safe.
    Reach reach(const QString& computerName) const override;
    bool confirm(const QString& computerName) override;
    // Thread-safe.
    void setGuarded(const QString& computerName, bool guarded) override;
    // The allowed interfaces that are up with a carrier, can broadcast and have an IPv4
    // address: "name address/broadcast" each. Thread-safe.
    QStringList liveLinks() const override;

    // The configuration it was made with and the routes of the last setRoutes. Read it on
    // the thread that calls setRoutes.
    const UdpNetworkConfig& config() const;

    // New interfaces and static peers, used from the next datagram on: sends, walks and
    // what is accepted. The port and the bind address stay those of the open endpoint.
    void setRoutes(std::optional<QStringList> interfaces, QList<Ipv4Endpoint> peers);

    struct State;

private:
    std::shared_ptr<State> m_state;
};

// The configuration systemNetwork() is made with; has no effect once it is made.
void configureSystemNetwork(UdpNetworkConfig config);
// systemNetwork() as what it is.
UdpNetwork& systemUdpNetwork();

} // namespace kalvento::network
