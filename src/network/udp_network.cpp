#include "network/udp_network.h"

#include "network/peer_address.h"

#include "network/datagram_frame.h"
#include "network/workgroup.h"
#include "platform/identity.h"
#include "platform/text_codec.h"

#include <QHash>
#include <QRandomGenerator>
#include <QSet>

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

namespace kalvento::network {

using platform::fromWire;
using platform::SystemError;

namespace {

// A LAN has far fewer computers; the bound only keeps forged names from eating memory.
constexpr qsizetype kMaxLearntComputers = 4096;
// Questions that confirm an address (walk queries of a number of our own, sent from the
// endpoint to one address): one address is asked at most this often, an answer later
// than kProbeLife is not taken, and at most kMaxProbes wait for their answers.
constexpr std::chrono::milliseconds kProbeInterval{2000};
constexpr std::chrono::milliseconds kProbeLife{3000};
constexpr qsizetype kMaxProbes = 8192;
// Questions sent: a burst of a whole list's worth (a newcomer among thousands of copies
// asks each of them at once), then a thousand a second.
constexpr double kProbeBurst = 4096;
constexpr double kProbeRate = 1000;
constexpr int kSocketReceiveBuffer = 1 << 20;
// Larger than any UDP payload, so a cut datagram is always noticed.
constexpr size_t kPacketBufferSize = 65536;
// Datagrams taken per wake-up before the stop request is looked at again.
constexpr int kMaxDrainPerWake = 256;

sockaddr_in toSockaddr(const Ipv4Endpoint& endpoint) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(endpoint.address);
    address.sin_port = htons(endpoint.port);
    return address;
}

class FileDescriptor {
public:
    explicit FileDescriptor(int fd = -1) : m_fd(fd) {}
    ~FileDescriptor() {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int get() const { return m_fd; }
    int release() { return std::exchange(m_fd, -1); }

private:
    int m_fd;
};

// Deliberately without SO_REUSEADDR: a second owner of the port must fail.
int openSocket(quint32 bindAddress, quint16 port, bool nonBlocking) {
    FileDescriptor fd(
        ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | (nonBlocking ? SOCK_NONBLOCK : 0), 0));
    if (fd.get() < 0)
        throw SystemError(errno);
    const int on = 1;
    if (::setsockopt(fd.get(), IPPROTO_IP, IP_PKTINFO, &on, sizeof on) != 0 ||
        ::setsockopt(fd.get(), SOL_SOCKET, SO_BROADCAST, &on, sizeof on) != 0)
        throw SystemError(errno);
    // Best effort: a burst of large datagrams should not overflow the default buffer.
    ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVBUF, &kSocketReceiveBuffer,
                 sizeof kSocketReceiveBuffer);
    const sockaddr_in address = toSockaddr({bindAddress, port});
    if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
        throw SystemError(errno);
    return fd.release();
}

struct Packet {
    qsizetype size = 0;
    sockaddr_in from{};
    int interfaceIndex = 0;
    bool truncated = false;
};

// False when nothing waits (or on an error, which the next poll reports again).
bool receivePacket(int fd, std::vector<char>& buffer, Packet& packet) {
    iovec io{buffer.data(), buffer.size()};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))];
    msghdr message{};
    message.msg_name = &packet.from;
    message.msg_namelen = sizeof packet.from;
    message.msg_iov = &io;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    ssize_t size;
    do {
        size = ::recvmsg(fd, &message, MSG_DONTWAIT);
    } while (size < 0 && errno == EINTR);
    if (size < 0)
        return false;
    packet.size = size;
    packet.truncated = (message.msg_flags & MSG_TRUNC) != 0;
    packet.interfaceIndex = 0;
    for (cmsghdr* c = CMSG_FIRSTHDR(&message); c; c = CMSG_NXTHDR(&message, c)) {
        if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
            in_pktinfo info;
            std::memcpy(&info, CMSG_DATA(c), sizeof info);
            packet.interfaceIndex = info.ipi_ifindex;
        }
    }
    return true;
}

struct BroadcastInterface {
    int index;
    quint32 address;   // host byte order
    quint32 broadcast; // host byte order
};

// Interfaces that are up, can broadcast, carry IPv4 and are allowed; with running, only
// those with a carrier too. Returns false with errno set when the system cannot list them.
bool broadcastInterfaces(const std::optional<QStringList>& allowed,
                         std::vector<BroadcastInterface>& out, bool running = false) {
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0)
        return false;
    for (const ifaddrs* entry = list; entry; entry = entry->ifa_next) {
        const unsigned flags = entry->ifa_flags;
        if (!entry->ifa_addr || entry->ifa_addr->sa_family != AF_INET || !entry->ifa_broadaddr ||
            !(flags & IFF_UP) || !(flags & IFF_BROADCAST) || (flags & IFF_LOOPBACK) ||
            (running && !(flags & IFF_RUNNING)))
            continue;
        // Address labels ("eth0:1") belong to their interface.
        const QString name =
            QString::fromLocal8Bit(entry->ifa_name).section(QLatin1Char(':'), 0, 0);
        if (allowed && !allowed->contains(name))
            continue;
        const int index = int(::if_nametoindex(name.toLocal8Bit().constData()));
        const quint32 address =
            ntohl(reinterpret_cast<const sockaddr_in*>(entry->ifa_addr)->sin_addr.s_addr);
        const quint32 broadcast =
            ntohl(reinterpret_cast<const sockaddr_in*>(entry->ifa_broadaddr)->sin_addr.s_addr);
        if (index == 0 || broadcast == 0)
            continue;
        const bool seen = std::any_of(out.begin(), out.end(), [&](const BroadcastInterface& i) {
            return i.index == index && i.broadcast == broadcast;
        });
        if (!seen)
            out.push_back({index, address, broadcast});
    }
    ::freeifaddrs(list);
    return true;
}

// Sends out of the given interface whatever the routing table prefers, so that every
// interface on one network gets its own broadcast.
bool sendThrough(int fd, const QByteArray& bytes, const BroadcastInterface& via, quint16 port) {
    sockaddr_in to = toSockaddr({via.broadcast, port});
    iovec io{const_cast<char*>(bytes.constData()), size_t(bytes.size())};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))] = {};
    msghdr message{};
    message.msg_name = &to;
    message.msg_namelen = sizeof to;
    message.msg_iov = &io;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    cmsghdr* c = CMSG_FIRSTHDR(&message);
    c->cmsg_level = IPPROTO_IP;
    c->cmsg_type = IP_PKTINFO;
    c->cmsg_len = CMSG_LEN(sizeof(in_pktinfo));
    in_pktinfo info{};
    info.ipi_ifindex = via.index;
    info.ipi_spec_dst.s_addr = htonl(via.address);
    std::memcpy(CMSG_DATA(c), &info, sizeof info);
    ssize_t sent;
    do {
        sent = ::sendmsg(fd, &message, MSG_NOSIGNAL);
    } while (sent < 0 && errno == EINTR);
    return sent == bytes.size();
}

bool sendTo(int fd, const QByteArray& bytes, const Ipv4Endpoint& endpoint) {
    const sockaddr_in to = toSockaddr(endpoint);
    ssize_t sent;
    do {
        sent = ::sendto(fd, bytes.constData(), size_t(bytes.size()), MSG_NOSIGNAL,
                        reinterpret_cast<const sockaddr*>(&to), sizeof to);
    } while (sent < 0 && errno == EINTR);
    return sent == bytes.size();
}

QByteArray walkBody(quint32 queryNumber) {
    QByteArray body(kWalkBodySize, Qt::Uninitialized);
    for (int i = 0; i < kWalkBodySize; ++i)
        body[i] = char(queryNumber >> (8 * (kWalkBodySize - 1 - i)));
    return body;
}

// "a.b.c.d" of an address in host byte order.
QString dottedAddress(quint32 address) {
    return QStringLiteral("%1.%2.%3.%4")
        .arg(address >> 24)
        .arg((address >> 16) & 0xFF)
        .arg((address >> 8) & 0xFF)
        .arg(address & 0xFF);
}

} // namespace

QString Ipv4Endpoint::toString() const {
    return QStringLiteral("%1:%2").arg(dottedAddress(address)).arg(port);
}

std::optional<Ipv4Endpoint> Ipv4Endpoint::parse(QStringView text, quint16 defaultPort) {
    const QStringView trimmed = text.trimmed();
    const qsizetype colon = trimmed.indexOf(QLatin1Char(':'));
    Ipv4Endpoint endpoint{0, defaultPort};
    if (colon >= 0) {
        bool ok = false;
        const uint port = trimmed.sliced(colon + 1).toUInt(&ok);
        if (!ok || port == 0 || port > 65535)
            return std::nullopt;
        endpoint.port = quint16(port);
    }
    in_addr address{};
    const QByteArray host = trimmed.first(colon < 0 ? trimmed.size() : colon).toLatin1();
    if (::inet_pton(AF_INET, host.constData(), &address) != 1)
        return std::nullopt;
    endpoint.address = ntohl(address.s_addr);
    return endpoint;
}

UdpNetworkConfig UdpNetworkConfig::fromEnvironment() {
    return fromSettings(NetworkSettings{});
}

UdpNetworkConfig UdpNetworkConfig::fromSettings(const NetworkSettings& file) {
    UdpNetworkConfig config;
    config.computerName = platform::computerName();
    config.groupName = workgroupName();
    config.port = file.port != 0 ? file.port : kDefaultDatagramPort;
    bool ok = false;
    const uint port = qEnvironmentVariable("KALVENTO_PORT").trimmed().toUInt(&ok);
    if (ok && port > 0 && port <= 65535)
        config.port = quint16(port);
    if (const auto bind = Ipv4Endpoint::parse(qEnvironmentVariable("KALVENTO_BIND_ADDRESS"), 0))
        config.bindAddress = bind->address;
    if (qEnvironmentVariableIsSet("KALVENTO_INTERFACES")) {
        QStringList names;
        for (const QString& name : qEnvironmentVariable("KALVENTO_INTERFACES")
                                       .split(QLatin1Char(','), Qt::SkipEmptyParts))
            if (!name.trimmed().isEmpty())
                names.append(name.trimmed());
        config.interfaces = names;
    } else if (!file.interfaces.isEmpty()) {
        config.interfaces = file.interfaces;
    }
    const QStringList peers =
        qEnvironmentVariableIsSet("KALVENTO_PEERS")
            ? qEnvironmentVariable("KALVENTO_PEERS").split(QLatin1Char(','), Qt::SkipEmptyParts)
            : file.peers;
    config.peers = expandPeerEntries(peers, config.port);
    const uint walk = qEnvironmentVariable("KALVENTO_WALK_MS").trimmed().toUInt(&ok);
    if (ok && walk <= 60000)
        config.walkWait = std::chrono::milliseconds(walk);
    return config;
}

QStringList broadcastInterfaceNames() {
    std::vector<BroadcastInterface> interfaces;
    QStringList names;
    if (!broadcastInterfaces(std::nullopt, interfaces))
        return names;
    for (const BroadcastInterface& i : interfaces) {
        char name[IF_NAMESIZE] = {};
        if (::if_indextoname(unsigned(i.index), name)) {
            const QString text = QString::fromLocal8Bit(name);
            if (!names.contains(text))
                names.append(text);
        }
    }
    return names;
}

namespace {

// An open receiving name that this process's own sends reach without the network.
class OwnDelivery {
public:
    virtual ~OwnDelivery() = default;
    virtual const QByteArray& wireReceivingName() const = 0;
    virtual void deliverOwn(const QByteArray& datagram, const QByteArray& target) = 0;
};

} // namespace

struct UdpNetwork::State {
    explicit State(UdpNetworkConfig c) : config(std::move(c)) {
        if (config.computerName.isEmpty())
            config.computerName = platform::computerName();
        if (config.groupName.isEmpty())
            config.groupName = workgroupName();
        wireComputer = wireName(config.computerName);
        wireGroup = wireName(config.groupName);
    }
    ~State() {
        if (sendFd >= 0)
            ::close(sendFd);
        if (unconfirmedFd >= 0)
            ::close(unconfirmedFd);
    }

    Ipv4Endpoint ownEndpoint() const {
        return {config.bindAddress ? config.bindAddress : quint32(INADDR_LOOPBACK), config.port};
    }

    QByteArray frame(FrameType type, const QByteArray& target, const QByteArray& receivingName,
                     QByteArrayView body) const {
        return encodeFrame({type, config.port, target, receivingName, wireComputer, wireGroup,
                            body.toByteArray()});
    }

    bool isForThisComputer(QByteArrayView target) const {
        return sameWireName(target, wireComputer) || sameWireName(target, wireGroup);
    }

    bool acceptsInterface(int index) {
        std::lock_guard lock(interfaceMutex);
        if (!config.interfaces)
            return true;
        const auto known = interfaceAccepted.constFind(index);
        if (known != interfaceAccepted.cend())
            return *known;
        char name[IF_NAMESIZE] = {};
        bool accepted = false;
        if (index > 0 && ::if_indextoname(unsigned(index), name)) {
            accepted = config.interfaces->contains(QString::fromLocal8Bit(name));
            // Loopback only carries this host's own traffic.
            FileDescriptor probe(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
            ifreq request{};
            std::memcpy(request.ifr_name, name, IF_NAMESIZE);
            if (probe.get() >= 0 && ::ioctl(probe.get(), SIOCGIFFLAGS, &request) == 0 &&
                (request.ifr_flags & IFF_LOOPBACK))
                accepted = true;
        }
        interfaceAccepted.insert(index, accepted);
        return accepted;
    }

    // Where a computer is: the address (and sender port) its frames last came from. A name
    // confirmed at its address (it answered a question only a receiver there could see)
    // does not follow a frame from elsewhere, which anyone may forge: the new address is
    // asked, and the name moves when that address answers under it. A guarded name does
    // not follow frames at all: only what the chat vouches for moves it.
    void learn(const Frame& frame, const sockaddr_in& from) {
        if (frame.senderComputer.isEmpty() || frame.senderPort == 0 ||
            sameWireName(frame.senderComputer, wireComputer))
            return;
        const QString key = fromWire(frame.senderComputer).toCaseFolded();
        const Ipv4Endpoint endpoint{ntohl(from.sin_addr.s_addr), frame.senderPort};
        std::lock_guard lock(learntMutex);
        if (guarded.contains(key))
            return;
        const auto found = learnt.find(key);
        if (found == learnt.end()) {
            insertLearnt(key, endpoint);
            return;
        }
        if (found.value() == endpoint)
            return;
        if (confirmedAt.value(found.value().key()) == key) {
            if (confirmedAt.value(endpoint.key()) == key)
                found.value() = endpoint; // another address it has answered at
            else
                probeLocked(endpoint);
            return;
        }
        found.value() = endpoint;
    }

    // Under learntMutex. When full, the name learnt longest ago that is not confirmed goes
    // (a flood of forged names pushes out its own kind, not the computers that answered).
    void insertLearnt(const QString& key, const Ipv4Endpoint& endpoint) {
        if (learnt.size() >= kMaxLearntComputers) {
            bool evicted = false;
            for (size_t looked = learntOrder.size(); looked > 0 && !evicted; --looked) {
                QString oldest = std::move(learntOrder.front());
                learntOrder.pop_front();
                const auto it = learnt.constFind(oldest);
                if (it == learnt.cend())
                    continue; // gone already
                if (confirmedAt.value(it.value().key()) == oldest) {
                    learntOrder.push_back(std::move(oldest)); // kept; looked at again later
                    continue;
                }
                learnt.erase(it);
                evicted = true;
            }
            if (!evicted)
                learnt.erase(learnt.begin());
        }
        learnt.insert(key, endpoint);
        learntOrder.push_back(key);
        if (qsizetype(learntOrder.size()) > 2 * kMaxLearntComputers) {
            learntOrder.clear();
            for (auto it = learnt.cbegin(); it != learnt.cend(); ++it)
                learntOrder.push_back(it.key());
        }
    }

    struct Learnt {
        Ipv4Endpoint endpoint;
        bool confirmed = false;
    };
    std::optional<Learnt> learntAddress(QByteArrayView name) {
        const QString key = fromWire(name).toCaseFolded();
        std::lock_guard lock(learntMutex);
        const auto found = learnt.constFind(key);
        if (found == learnt.cend())
            return std::nullopt;
        return Learnt{*found, confirmedAt.value(found->key()) == key};
    }

    Reach reach(const QString& computerName) {
        const QString key = computerName.toCaseFolded();
        if (key == config.computerName.toCaseFolded())
            return Reach::Confirmed;
        std::lock_guard lock(learntMutex);
        const auto found = learnt.constFind(key);
        if (found == learnt.cend())
            return Reach::Unknown;
        return confirmedAt.value(found.value().key()) == key ? Reach::Confirmed : Reach::Heard;
    }

    bool confirm(const QString& computerName) {
        const QString key = computerName.toCaseFolded();
        std::lock_guard lock(learntMutex);
        const auto found = learnt.constFind(key);
        if (found == learnt.cend() || confirmedAt.value(found.value().key()) == key)
            return false;
        return probeLocked(found.value());
    }

    // Under learntMutex: a walk query with a number of its own from the endpoint to one
    // address. Its answer comes back to the endpoint (probeAnswered).
    bool probeLocked(const Ipv4Endpoint& to) {
        using std::chrono::steady_clock;
        if (endpointFd < 0)
            return false;
        const steady_clock::time_point now = steady_clock::now();
        const auto asked = probedAt.constFind(to.key());
        if (asked != probedAt.cend() && now - asked.value() < kProbeInterval)
            return false;
        const double seconds = std::chrono::duration<double>(now - probeTokensAt).count();
        probeTokens = std::min(kProbeBurst, probeTokens + seconds * kProbeRate);
        probeTokensAt = now;
        if (probeTokens < 1)
            return false;
        if (probes.size() >= kMaxProbes)
            probes.removeIf([now](const auto& p) { return now - p.value().sent > kProbeLife; });
        if (probes.size() >= kMaxProbes)
            return false;
        if (probedAt.size() >= 2 * kMaxProbes)
            probedAt.removeIf([now](const auto& p) { return now - p.value() >= kProbeInterval; });
        quint32 number;
        do
            number = QRandomGenerator::system()->generate();
        while (probes.contains(number));
        const QByteArray query = frame(FrameType::WalkQuery, {}, {}, walkBody(number));
        const sockaddr_in address = toSockaddr(to);
        ::sendto(endpointFd, query.constData(), size_t(query.size()), MSG_DONTWAIT | MSG_NOSIGNAL,
                 reinterpret_cast<const sockaddr*>(&address), sizeof address);
        probes.insert(number, {to, now});
        probedAt.insert(to.key(), now);
        probeTokens -= 1;
        answerCredits = std::min<qsizetype>(answerCredits + 1, kMaxProbes);
        return true;
    }

    // A walk answer at the endpoint. Only as many are looked at as questions were sent, so
    // that guessing a number costs a forger one try per question of ours, not one per
    // datagram it can send. The name it carries is confirmed at the address asked (the
    // answer may come from another address of the same computer).
    void probeAnswered(const Frame& answer) {
        std::lock_guard lock(learntMutex);
        if (answerCredits == 0)
            return;
        --answerCredits;
        quint32 number = 0;
        for (const char byte : answer.body)
            number = (number << 8) | quint8(byte);
        const auto found = probes.constFind(number);
        if (found == probes.cend())
            return;
        const Probe probe = found.value();
        probes.erase(found);
        if (std::chrono::steady_clock::now() - probe.sent > kProbeLife ||
            answer.senderComputer.isEmpty() || sameWireName(answer.senderComputer, wireComputer))
            return;
        const QString key = fromWire(answer.senderComputer).toCaseFolded();
        // A guarded name is not confirmed by an answer, nor is the address of one taken
        // from it by an answer in another name (whoever sees our question may answer it).
        if (guarded.contains(key))
            return;
        const QString holder = confirmedAt.value(probe.endpoint.key());
        if (!holder.isEmpty() && guarded.contains(holder) && learnt.value(holder) == probe.endpoint)
            return;
        confirmLocked(key, probe.endpoint);
    }

    // Under learntMutex: the name is at the endpoint, confirmed.
    void confirmLocked(const QString& key, const Ipv4Endpoint& endpoint) {
        if (confirmedAt.size() >= 2 * kMaxLearntComputers) // keep only what names point to
            confirmedAt.removeIf([this](const auto& c) {
                const auto it = learnt.constFind(c.value());
                return it == learnt.cend() || it.value().key() != c.key();
            });
        confirmedAt.insert(endpoint.key(), key);
        if (const auto it = learnt.find(key); it != learnt.end())
            it.value() = endpoint;
        else
            insertLearnt(key, endpoint);
    }

    // The chat found a datagram from endpoint authentic in the name of senderComputer.
    void vouch(const QByteArray& senderComputer, const Ipv4Endpoint& endpoint) {
        if (senderComputer.isEmpty() || endpoint.port == 0 || endpoint.address == 0 ||
            sameWireName(senderComputer, wireComputer))
            return;
        const QString key = fromWire(senderComputer).toCaseFolded();
        std::lock_guard lock(learntMutex);
        confirmLocked(key, endpoint);
    }

    void setGuarded(const QString& computerName, bool on) {
        const QString key = fromWire(wireName(computerName)).toCaseFolded();
        if (key.isEmpty())
            return;
        std::lock_guard lock(learntMutex);
        if (!on) {
            guarded.remove(key);
            return;
        }
        guarded.insert(key);
        // What a frame said of it may be a forger's; what it confirmed stays.
        if (const auto it = learnt.find(key);
            it != learnt.end() && confirmedAt.value(it.value().key()) != key)
            learnt.erase(it);
    }

    void setEndpoint(int fd) {
        std::lock_guard lock(learntMutex);
        endpointFd = fd;
    }

    // Every allowed broadcast interface when asked, then each unicast address once. A
    // failure on one path is no failure while another path took the datagram.
    void transmit(int fd, const QByteArray& bytes, bool broadcast,
                  const std::vector<Ipv4Endpoint>& unicast) {
        int attempts = 0;
        int successes = 0;
        int lastError = 0;
        const auto count = [&](bool ok) {
            ++attempts;
            if (ok)
                ++successes;
            else
                lastError = errno;
        };
        if (broadcast) {
            std::vector<BroadcastInterface> interfaces;
            if (!broadcastInterfaces(allowedInterfaces(), interfaces))
                count(false);
            for (const BroadcastInterface& via : interfaces)
                count(sendThrough(fd, bytes, via, config.port));
        }
        // A subnet of peers makes a long list: each address is sent to once.
        QSet<quint64> done;
        for (const Ipv4Endpoint& to : unicast) {
            if (done.contains(to.key()))
                continue;
            done.insert(to.key());
            count(sendTo(fd, bytes, to));
        }
        if (attempts > 0 && successes == 0)
            throw SystemError(lastError ? lastError : EIO);
    }

    std::optional<QStringList> allowedInterfaces() {
        std::lock_guard lock(interfaceMutex);
        return config.interfaces;
    }

    void setRoutes(std::optional<QStringList> interfaces, QList<Ipv4Endpoint> peers) {
        std::lock_guard lock(interfaceMutex);
        config.interfaces = std::move(interfaces);
        config.peers = std::move(peers);
        interfaceAccepted.clear();
    }

    std::vector<Ipv4Endpoint> groupUnicasts(bool includeOwnEndpoint) {
        std::unique_lock lock(interfaceMutex);
        std::vector<Ipv4Endpoint> out(config.peers.cbegin(), config.peers.cend());
        lock.unlock();
        if (includeOwnEndpoint)
            out.push_back(ownEndpoint());
        return out;
    }

    UdpNetworkConfig config;
    QByteArray wireComputer;
    QByteArray wireGroup;

    // The copy this computer sends itself goes straight to its open receiver, so that it
    // never meets a full socket buffer or queue on the way: the user's own line is shown
    // whatever arrives meanwhile. Returns false when no receiver of that name is open
    // here (another process may own the endpoint): the copy then goes by the network.
    bool deliverToSelf(QByteArrayView receivingName, const QByteArray& datagram,
                       const QByteArray& target) {
        std::lock_guard lock(receiversMutex);
        for (OwnDelivery* receiver : receivers) {
            if (sameWireName(receiver->wireReceivingName(), receivingName)) {
                receiver->deliverOwn(datagram, target);
                return true;
            }
        }
        return false;
    }

    bool receiving() {
        std::lock_guard lock(receiversMutex);
        return !receivers.empty();
    }

    std::mutex receiversMutex;
    std::vector<OwnDelivery*> receivers; // open in this process

    std::mutex sendMutex;
    int sendFd = -1;
    int unconfirmedFd = -1;           // non-blocking: for addresses that have not confirmed a name
    std::atomic<quint16> sendPort{0}; // the port sendFd sends from, 0 before the first send

    // A datagram that this copy sent: its own computer name from its own sending port.
    bool isOwn(const Frame& frame, const sockaddr_in& from) const {
        const quint16 port = sendPort.load();
        return port != 0 && ntohs(from.sin_port) == port &&
               sameWireName(frame.senderComputer, wireComputer);
    }

    // Guards what was learnt of other computers, the questions and the endpoint below.
    std::mutex learntMutex;
    QHash<QString, Ipv4Endpoint> learnt; // case-folded computer name -> its endpoint
    std::deque<QString> learntOrder;     // names in the order first learnt, for eviction
    QHash<quint64, QString> confirmedAt; // endpoint -> case-folded name that answered there
    QSet<QString> guarded;               // case-folded names only vouchForLast places
    struct Probe {
        Ipv4Endpoint endpoint;
        std::chrono::steady_clock::time_point sent;
    };
    QHash<quint32, Probe> probes;                                   // number -> question
    QHash<quint64, std::chrono::steady_clock::time_point> probedAt; // endpoint -> last asked
    double probeTokens = kProbeBurst;
    std::chrono::steady_clock::time_point probeTokensAt = std::chrono::steady_clock::now();
    qsizetype answerCredits = 0; // walk answers at the endpoint still looked at
    int endpointFd = -1;         // the open endpoint's socket, where questions go from

    std::mutex interfaceMutex; // guards config.interfaces, config.peers and the cache below
    QHash<int, bool> interfaceAccepted; // interface index -> datagrams from it accepted
};

namespace {

// Owns the endpoint's socket and the thread that reads it. Accepted datagrams wait in
// a bounded queue; walk queries are answered straight from the thread.
class UdpReceiver final : public DatagramReceiver, public OwnDelivery {
public:
    UdpReceiver(std::shared_ptr<UdpNetwork::State> state, QString name, int fd)
        : m_state(std::move(state)), m_name(std::move(name)), m_wireName(wireName(m_name)),
          m_fd(fd) {
        m_wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (m_wakeFd < 0) {
            const int error = errno;
            ::close(m_fd);
            throw SystemError(error);
        }
        m_thread = std::thread([this] { run(); });
        m_state->setEndpoint(m_fd);
        std::lock_guard lock(m_state->receiversMutex);
        m_state->receivers.push_back(this);
    }

    ~UdpReceiver() override {
        m_state->setEndpoint(-1);
        {
            std::lock_guard lock(m_state->receiversMutex);
            std::erase(m_state->receivers, static_cast<OwnDelivery*>(this));
        }
        const quint64 one = 1;
        [[maybe_unused]] const ssize_t written = ::write(m_wakeFd, &one, sizeof one);
        m_thread.join();
        ::close(m_fd); // frees the port at once for the next owner
        ::close(m_wakeFd);
    }

    QString name() const override { return m_name; }

    const QByteArray& wireReceivingName() const override { return m_wireName; }
    void deliverOwn(const QByteArray& datagram, const QByteArray& target) override {
        enqueue(datagram, true, {INADDR_LOOPBACK, m_state->config.port}, m_state->wireComputer,
                target);
    }

    quint32 pendingCount() const override {
        std::lock_guard lock(m_mutex);
        return quint32(m_queue.size());
    }

    quint32 nextSize() const override {
        std::lock_guard lock(m_mutex);
        return m_queue.empty() ? 0 : quint32(m_queue.front().bytes.size());
    }

    QString lastSource() const override {
        std::lock_guard lock(m_mutex);
        const quint32 address = m_lastSource.address;
        if (address == 0)
            return {};
        return dottedAddress(address);
    }

    void vouchForLast() override {
        std::unique_lock lock(m_mutex);
        const QByteArray computer = m_lastSenderComputer;
        const Ipv4Endpoint source = m_lastSource;
        lock.unlock();
        m_state->vouch(computer, source);
    }

    QByteArray lastSenderComputer() const override {
        std::lock_guard lock(m_mutex);
        return m_lastSenderComputer;
    }

    QByteArray lastTarget() const override {
        std::lock_guard lock(m_mutex);
        return m_lastTarget;
    }

    bool setArrivalNotifier(std::function<void()> notify) override {
        std::lock_guard lock(m_mutex);
        m_notify = std::move(notify);
        return true;
    }

    quint32 read(char* buffer, quint32 capacity) override {
        std::lock_guard lock(m_mutex);
        if (m_queue.empty())
            throw SystemError(EAGAIN);
        const Queued& next = m_queue.front();
        if (quint32(next.bytes.size()) > capacity)
            throw SystemError(EMSGSIZE);
        const quint32 size = quint32(next.bytes.size());
        if (size > 0)
            std::memcpy(buffer, next.bytes.constData(), size);
        m_lastSource = next.source;
        m_lastSenderComputer = next.senderComputer;
        m_lastTarget = next.target;
        Count& count = next.own ? m_own : m_others;
        --count.datagrams;
        count.bytes -= size;
        m_queue.pop_front();
        return size;
    }

private:
    void run() {
        std::vector<char> buffer(kPacketBufferSize);
        pollfd fds[2] = {{m_fd, POLLIN, 0}, {m_wakeFd, POLLIN, 0}};
        for (;;) {
            fds[0].revents = fds[1].revents = 0;
            if (::poll(fds, 2, -1) < 0) {
                if (errno == EINTR)
                    continue;
                return;
            }
            if (fds[1].revents)
                return;
            Packet packet;
            for (int i = 0; i < kMaxDrainPerWake && receivePacket(m_fd, buffer, packet); ++i)
                if (!packet.truncated)
                    handle(QByteArrayView(buffer.data(), packet.size), packet);
        }
    }

    void handle(QByteArrayView bytes, const Packet& packet) {
        if (!m_state->acceptsInterface(packet.interfaceIndex))
            return;
        const std::optional<Frame> frame = decodeFrame(bytes);
        if (!frame)
            return;
        m_state->learn(*frame, packet.from);
        switch (frame->type) {
        case FrameType::Data:
            if (m_state->isForThisComputer(frame->target) &&
                sameWireName(frame->receivingName, m_wireName))
                enqueue(frame->body, m_state->isOwn(*frame, packet.from),
                        {ntohl(packet.from.sin_addr.s_addr), frame->senderPort},
                        frame->senderComputer, frame->target);
            break;
        case FrameType::WalkQuery: {
            const QByteArray answer =
                m_state->frame(FrameType::WalkAnswer, frame->senderComputer, {}, frame->body);
            ::sendto(m_fd, answer.constData(), size_t(answer.size()), MSG_DONTWAIT | MSG_NOSIGNAL,
                     reinterpret_cast<const sockaddr*>(&packet.from), sizeof packet.from);
            break;
        }
        case FrameType::WalkAnswer:
            // The walk's answers go to the walking socket; here come those to the
            // questions that confirm an address.
            m_state->probeAnswered(*frame);
            break;
        }
    }

    void enqueue(const QByteArray& datagram, bool own, const Ipv4Endpoint& source,
                 const QByteArray& senderComputer, const QByteArray& target) {
        std::lock_guard lock(m_mutex);
        const UdpNetworkConfig& config = m_state->config;
        Count& count = own ? m_own : m_others;
        const quint32 maxDatagrams = own ? config.maxQueuedOwnDatagrams : config.maxQueuedDatagrams;
        const quint64 maxBytes = own ? config.maxQueuedOwnBytes : config.maxQueuedBytes;
        if (count.datagrams >= maxDatagrams || count.bytes + quint64(datagram.size()) > maxBytes)
            return;
        m_queue.push_back({datagram, own, source, senderComputer, target});
        ++count.datagrams;
        count.bytes += quint64(datagram.size());
        // Under the lock: the notifier cannot be changed or dropped while it runs.
        if (m_notify)
            m_notify();
    }

    struct Queued {
        QByteArray bytes;
        bool own = false;
        Ipv4Endpoint source; // the sender's address and its frame's sender port
        QByteArray senderComputer;
        QByteArray target;
    };
    struct Count {
        quint32 datagrams = 0;
        quint64 bytes = 0;
    };

    std::shared_ptr<UdpNetwork::State> m_state;
    const QString m_name;
    const QByteArray m_wireName;
    const int m_fd;
    int m_wakeFd = -1;
    mutable std::mutex m_mutex;
    std::deque<Queued> m_queue; // in the order of arrival, own and others together
    Count m_own, m_others;
    Ipv4Endpoint m_lastSource;       // of the datagram last read
    QByteArray m_lastSenderComputer; // of the datagram last read
    QByteArray m_lastTarget;
    std::function<void()> m_notify; // guarded by m_mutex
    std::thread m_thread;
};

} // namespace

UdpNetwork::UdpNetwork(UdpNetworkConfig config)
    : m_state(std::make_shared<State>(std::move(config))) {}

UdpNetwork::~UdpNetwork() = default;

QString UdpNetwork::computerName() const {
    return m_state->config.computerName;
}

QString UdpNetwork::groupName() const {
    return m_state->config.groupName;
}

const UdpNetworkConfig& UdpNetwork::config() const {
    return m_state->config;
}

Reach UdpNetwork::reach(const QString& computerName) const {
    return m_state->reach(computerName);
}

bool UdpNetwork::confirm(const QString& computerName) {
    return m_state->confirm(computerName);
}

void UdpNetwork::setGuarded(const QString& computerName, bool guarded) {
    m_state->setGuarded(computerName, guarded);
}

QStringList UdpNetwork::liveLinks() const {
    std::vector<BroadcastInterface> interfaces;
    QStringList links;
    if (!broadcastInterfaces(m_state->allowedInterfaces(), interfaces, true))
        return links;
    for (const BroadcastInterface& i : interfaces) {
        char name[IF_NAMESIZE] = {};
        const QString text =
            ::if_indextoname(unsigned(i.index), name) ? QString::fromLocal8Bit(name) : QString();
        links.append(QStringLiteral("%1 %2/%3")
                         .arg(text, dottedAddress(i.address), dottedAddress(i.broadcast)));
    }
    return links;
}

std::chrono::milliseconds UdpNetwork::defaultWalkWait() const {
    return m_state->config.walkWait;
}

std::unique_ptr<DatagramReceiver> UdpNetwork::openReceiver(const QString& mailslotName) {
    const int fd = openSocket(m_state->config.bindAddress, m_state->config.port, true);
    return std::make_unique<UdpReceiver>(m_state, mailslotName, fd);
}

void UdpNetwork::send(AddressKind kind, const QString& receiverName, const QString& mailslotName,
                      QByteArrayView datagram) {
    if (datagram.size() > qsizetype(maxDatagramSize()))
        throw SystemError(EMSGSIZE);
    State& s = *m_state;
    const QByteArray target = kind == AddressKind::LocalComputer  ? s.wireComputer
                              : kind == AddressKind::PrimaryGroup ? s.wireGroup
                                                                  : wireName(receiverName);
    const QByteArray bytes = s.frame(FrameType::Data, target, wireName(mailslotName), datagram);

    const QByteArray receivingName = wireName(mailslotName);
    const bool toSelf = sameWireName(target, s.wireComputer);
    const bool toOwnGroup = sameWireName(target, s.wireGroup);
    const bool deliveredHere =
        (toSelf || toOwnGroup) && s.deliverToSelf(receivingName, datagram.toByteArray(), target);
    if (toSelf && deliveredHere)
        return;

    std::lock_guard lock(s.sendMutex);
    if (s.sendFd < 0) {
        s.sendFd = openSocket(s.config.bindAddress, 0, false);
        sockaddr_in local{};
        socklen_t length = sizeof local;
        if (::getsockname(s.sendFd, reinterpret_cast<sockaddr*>(&local), &length) == 0)
            s.sendPort.store(ntohs(local.sin_port));
    }
    if (toSelf) {
        s.transmit(s.sendFd, bytes, false, {s.ownEndpoint()});
    } else if (const auto learnt = s.learntAddress(target); learnt && learnt->confirmed) {
        s.transmit(s.sendFd, bytes, false, {learnt->endpoint});
    } else if (learnt) {
        // An address that has not confirmed it receives may be a forger's, where nobody
        // answers the network's own questions (ARP) either: what the system holds for
        // such addresses would fill the socket and stop every send, the user's included,
        // for seconds. Those datagrams go through a socket of their own without waiting,
        // and one the system cannot take is dropped, as a full network would drop it.
        if (s.unconfirmedFd < 0)
            s.unconfirmedFd = openSocket(s.config.bindAddress, 0, true);
        const sockaddr_in to = toSockaddr(learnt->endpoint);
        ssize_t sent;
        do {
            sent = ::sendto(s.unconfirmedFd, bytes.constData(), size_t(bytes.size()),
                            MSG_DONTWAIT | MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&to),
                            sizeof to);
        } while (sent < 0 && errno == EINTR);
        if (sent < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != ENOBUFS)
            throw SystemError(errno);
    } else // a group, or a computer not heard from yet: only it accepts the broadcast
    {
        std::vector<Ipv4Endpoint> unicasts = s.groupUnicasts(toOwnGroup && !deliveredHere);
        if (deliveredHere) // the copy a peer list gives the own endpoint is here already
            std::erase(unicasts, s.ownEndpoint());
        s.transmit(s.sendFd, bytes, true, unicasts);
    }
}

QStringList UdpNetwork::queryGroups(std::chrono::milliseconds wait, std::stop_token stop) {
    State& s = *m_state;
    FileDescriptor fd(openSocket(s.config.bindAddress, 0, false));
    // A stop request wakes the wait below through an event counter.
    FileDescriptor woken(stop.stop_possible() ? ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK) : -1);
    if (stop.stop_possible() && woken.get() < 0)
        throw SystemError(errno);
    const std::stop_callback wake(stop, [&woken] {
        const quint64 one = 1;
        [[maybe_unused]] const ssize_t written = ::write(woken.get(), &one, sizeof one);
    });
    const quint32 queryNumber = QRandomGenerator::global()->generate();
    const QByteArray body = walkBody(queryNumber);
    const auto deadline = std::chrono::steady_clock::now() + wait;
    s.transmit(fd.get(), s.frame(FrameType::WalkQuery, {}, {}, body), true, s.groupUnicasts(true));

    QStringList groups;
    bool ownAnswered = false;
    std::vector<char> buffer(kPacketBufferSize);
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            break;
        if (stop.stop_requested())
            break;
        pollfd pfds[2] = {{fd.get(), POLLIN, 0}, {woken.get(), POLLIN, 0}};
        if (::poll(pfds, woken.get() >= 0 ? 2 : 1, int(left.count())) <= 0)
            continue; // timeout ends the loop above; EINTR just polls again
        if (pfds[1].revents)
            break;
        Packet packet;
        while (receivePacket(fd.get(), buffer, packet)) {
            if (packet.truncated || !s.acceptsInterface(packet.interfaceIndex))
                continue;
            const auto frame = decodeFrame(QByteArrayView(buffer.data(), packet.size));
            if (!frame || frame->type != FrameType::WalkAnswer || frame->body != body)
                continue;
            s.learn(*frame, packet.from);
            groups.append(fromWire(frame->senderGroup));
            ownAnswered = ownAnswered || (sameWireName(frame->senderComputer, s.wireComputer) &&
                                          sameWireName(frame->senderGroup, s.wireGroup));
        }
    }
    // This copy's own group is there whenever its endpoint is open, also when its own
    // answer did not come back in time: on a computer busy starting up, its receiving
    // thread may not run within the wait, and a copy that greeted no group would be listed
    // by nobody.
    if (!ownAnswered && s.receiving())
        groups.append(s.config.groupName);
    return groups;
}

namespace {

std::optional<UdpNetworkConfig>& systemNetworkConfig() {
    static std::optional<UdpNetworkConfig> config;
    return config;
}

} // namespace

void configureSystemNetwork(UdpNetworkConfig config) {
    systemNetworkConfig() = std::move(config);
}

UdpNetwork& systemUdpNetwork() {
    static UdpNetwork network(systemNetworkConfig().value_or(UdpNetworkConfig::fromEnvironment()));
    return network;
}

DatagramNetwork& systemNetwork() {
    return systemUdpNetwork();
}

void UdpNetwork::setRoutes(std::optional<QStringList> interfaces, QList<Ipv4Endpoint> peers) {
    m_state->setRoutes(std::move(interfaces), std::move(peers));
}

} // namespace kalvento::network
