#include "http/host_lookup.h"
#include "http/socket_errors.h"

#include "support/qt_print.h"

#include <gtest/gtest.h>

#include <QTemporaryFile>

#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <functional>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace kalvento::http;

namespace {

// A descriptor closed when it goes out of scope.
class Fd {
public:
    explicit Fd(int fd) : m_fd(fd) {}
    ~Fd() {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return m_fd; }
    void reset(int fd) {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = fd;
    }

private:
    int m_fd;
};

int tcpSocket() {
    return ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
}

sockaddr_in ipv4(const char* address, quint16 port) {
    sockaddr_in result{};
    result.sin_family = AF_INET;
    result.sin_port = htons(port);
    ::inet_pton(AF_INET, address, &result.sin_addr);
    return result;
}

int bindTo(int fd, const sockaddr_in& address) {
    return ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
}

int connectTo(int fd, const sockaddr_in& address) {
    return ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
}

// The errno a failed call left; 0 when the call succeeded, which the tests treat as a fault.
int failure(long result) {
    return result < 0 ? errno : 0;
}

// A loopback port nobody listens on: bound for a moment to learn a free one, then closed.
quint16 closedLoopbackPort() {
    Fd fd(tcpSocket());
    sockaddr_in address = ipv4("127.0.0.1", 0);
    bindTo(fd.get(), address);
    socklen_t size = sizeof address;
    ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&address), &size);
    return ntohs(address.sin_port);
}

// A listening loopback socket with a backlog of one.
struct Listener {
    Fd fd{tcpSocket()};
    sockaddr_in address = ipv4("127.0.0.1", 0);

    Listener() {
        bindTo(fd.get(), address);
        ::listen(fd.get(), 0);
        socklen_t size = sizeof address;
        ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&address), &size);
    }
};

// A connection to listener whose far end is then closed with a reset; returns once the
// reset has arrived.
int resetConnection(Listener& listener) {
    const int fd = tcpSocket();
    connectTo(fd, listener.address);
    Fd peer(::accept4(listener.fd.get(), nullptr, nullptr, SOCK_CLOEXEC));
    const linger hard{1, 0};
    ::setsockopt(peer.get(), SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    peer.reset(-1);
    pollfd ready{fd, POLLIN, 0};
    ::poll(&ready, 1, 5000);
    return fd;
}

} // namespace

// What the kernel reports when an operation really fails, read as the socket layer shows it
// to the user ("Error N in function OPERATION" and the text). The errors are provoked on
// loopback; nothing leaves the machine.
TEST(SocketErrors, RealFailuresReadAsTheUserSeesThem) {
    const struct {
        const char* situation;
        std::function<int()> provoke; // returns the errno of the failed call
        const char* operation;
        const char* report;
    } rows[] = {
        {"connecting to a closed loopback port",
         [] {
             Fd fd(tcpSocket());
             return failure(connectTo(fd.get(), ipv4("127.0.0.1", closedLoopbackPort())));
         },
         "Connect", "Error 10061 in function Connect\r\nConnection refused"},
        {"a connection attempt nobody answers",
         [] {
             // The listener's queue is full, so the kernel drops the handshake and the
             // attempt times out after the first retry (about a second).
             Listener listener;
             Fd queued(tcpSocket());
             connectTo(queued.get(), listener.address);
             Fd fd(tcpSocket());
             const unsigned timeoutMs = 300;
             ::setsockopt(fd.get(), IPPROTO_TCP, TCP_USER_TIMEOUT, &timeoutMs, sizeof timeoutMs);
             return failure(connectTo(fd.get(), listener.address));
         },
         "Connect", "Error 10060 in function Connect\r\nConnection timed out"},
        {"binding to an address of no interface",
         [] {
             Fd fd(tcpSocket());
             return failure(bindTo(fd.get(), ipv4("198.51.100.7", 0)));
         },
         "Bind", "Error 10049 in function Bind\r\nAddress not available"},
        {"binding to a port in use",
         [] {
             Listener listener;
             Fd fd(tcpSocket());
             return failure(bindTo(fd.get(), listener.address));
         },
         "Bind", "Error 10048 in function Bind\r\nAddress already in use"},
        {"connecting a connected socket",
         [] {
             Listener listener;
             Fd fd(tcpSocket());
             connectTo(fd.get(), listener.address);
             return failure(connectTo(fd.get(), listener.address));
         },
         "Connect", "Error 10056 in function Connect\r\nSocket is already connected"},
        {"receiving with nothing waiting",
         [] {
             Listener listener;
             Fd fd(tcpSocket());
             connectTo(fd.get(), listener.address);
             char byte = 0;
             return failure(::recv(fd.get(), &byte, 1, MSG_DONTWAIT));
         },
         "Receive", "Error 10035 in function Receive\r\nOperation would block"},
        {"receiving on a socket never connected",
         [] {
             Fd fd(tcpSocket());
             char byte = 0;
             return failure(::recv(fd.get(), &byte, 1, 0));
         },
         "Receive", "Error 10057 in function Receive\r\nSocket is not connected"},
        {"receiving after the peer reset the connection",
         [] {
             Listener listener;
             Fd fd(resetConnection(listener));
             char byte = 0;
             return failure(::recv(fd.get(), &byte, 1, 0));
         },
         "Receive", "Error 10054 in function Receive\r\nConnection reset by peer"},
        // Linux says EPIPE for every send after the reset has been reported once.
        {"sending again after the peer reset the connection",
         [] {
             Listener listener;
             Fd fd(resetConnection(listener));
             ::send(fd.get(), "x", 1, MSG_NOSIGNAL);
             return failure(::send(fd.get(), "x", 1, MSG_NOSIGNAL));
         },
         "Send", "Error 10054 in function Send\r\nConnection reset by peer"},
        {"a socket call on a file",
         [] {
             Fd fd(::open("/dev/null", O_RDONLY | O_CLOEXEC));
             int type = 0;
             socklen_t size = sizeof type;
             return failure(::getsockopt(fd.get(), SOL_SOCKET, SO_TYPE, &type, &size));
         },
         "GetSockOpt", "Error 10038 in function GetSockOpt\r\nSocket operation on non-socket"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.situation);
        const int error = row.provoke();
        ASSERT_NE(error, 0) << "the call did not fail";
        EXPECT_EQ(
            socketErrorReport(socketErrorFromErrno(error), QString::fromLatin1(row.operation)),
            QString::fromLatin1(row.report));
    }
    // An errno the socket layer has no number for keeps its own and says so.
    EXPECT_EQ(socketErrorReport(socketErrorFromErrno(EIO), QStringLiteral("Send")),
              QStringLiteral("Error 5 in function Send\r\nNot a WinSock error"));
}

// The resolver's own failures, asked so that no query leaves the machine: a name that is no
// address with numeric lookups only, and a family the resolver does not know.
TEST(SocketErrors, RealResolverFailuresReadAsTheUserSeesThem) {
    const auto lookup = [](const char* name, int family, int flags) {
        addrinfo hints = {};
        hints.ai_family = family;
        hints.ai_flags = flags;
        addrinfo* result = nullptr;
        errno = 0;
        const int status = ::getaddrinfo(name, nullptr, &hints, &result);
        if (result != nullptr)
            ::freeaddrinfo(result);
        return socketErrorReport(socketErrorFromResolver(status, errno), QStringLiteral("Lookup"));
    };
    EXPECT_EQ(lookup("not an address", AF_INET, AI_NUMERICHOST),
              QStringLiteral("Error 11001 in function Lookup\r\nHost not found"));
    EXPECT_EQ(lookup("127.0.0.1", 12345, AI_NUMERICHOST),
              QStringLiteral("Error 10047 in function Lookup\r\nAddress family not supported by "
                             "protocol family"));
    EXPECT_EQ(lookup("127.0.0.1", AF_INET, AI_NUMERICHOST),
              QStringLiteral("Error 0 in function Lookup\r\nNo Error"));
}

TEST(HostLookup, TheHostsFileGivesEveryAddressInItsOrderOrHostNotFound) {
    QTemporaryFile hosts;
    ASSERT_TRUE(hosts.open());
    hosts.write("192.0.2.9 server\n192.0.2.3 other server\n192.0.2.9 SERVER\n");
    hosts.flush();
    const HostLookupResult found =
        lookupIPv4InHostsFile(QStringLiteral("server"), hosts.fileName());
    EXPECT_EQ(found.error, 0);
    EXPECT_EQ(found.addresses, QStringList({"192.0.2.9", "192.0.2.3"}));
    const HostLookupResult missing =
        lookupIPv4InHostsFile(QStringLiteral("nobody"), hosts.fileName());
    EXPECT_EQ(missing.error, 11001);
    EXPECT_TRUE(missing.addresses.isEmpty());
}

// localhost and literal addresses never leave the machine.
TEST(HostLookup, TheSystemResolverAnswersLocalhostAndLiterals) {
    const HostLookupResult localhost = lookupIPv4Host(QStringLiteral("localhost"));
    EXPECT_EQ(localhost.error, 0);
    EXPECT_TRUE(localhost.addresses.contains(QStringLiteral("127.0.0.1")));
    EXPECT_EQ(lookupIPv4Host(QStringLiteral("198.51.100.7")).addresses,
              QStringList{QStringLiteral("198.51.100.7")});
    EXPECT_EQ(lookupIPv4Host(QString()).error, 11001);
}

TEST(HostLookup, WhileRestrictedToChosenInterfacesOnlyTheHostsFileIsAsked) {
    ASSERT_TRUE(qEnvironmentVariableIsSet("KALVENTO_INTERFACES"));
    const HostResolver resolver = systemHostResolver();
    EXPECT_EQ(resolver(QStringLiteral("localhost")).addresses.value(0),
              QStringLiteral("127.0.0.1"));
    // Would be a DNS query with the system's resolver.
    EXPECT_EQ(resolver(QStringLiteral("no-such-host.invalid")).error, 11001);
}
