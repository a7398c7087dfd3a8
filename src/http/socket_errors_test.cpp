#include "http/host_lookup.h"
#include "http/socket_errors.h"

#include "support/qt_print.h"

#include <gtest/gtest.h>

#include <QTemporaryFile>

#include <cerrno>
#include <netdb.h>

using namespace kalvento::http;

TEST(SocketErrors, LinuxErrorsTakeTheSocketLayersNumbersAndTexts) {
    struct Row {
        int errnoValue;
        int number;
        const char* text;
    };
    const Row rows[] = {
        {0, 0, "No Error"},
        {EINTR, 10004, "Interrupted system call"},
        {EACCES, 10013, "Permission denied"},
        {EINVAL, 10022, "Invalid argument"},
        {EMFILE, 10024, "Too many open files"},
        {EAGAIN, 10035, "Operation would block"},
        {EINPROGRESS, 10036, "Operation now in progress"},
        {ENOTSOCK, 10038, "Socket operation on non-socket"},
        {EADDRINUSE, 10048, "Address already in use"},
        {EADDRNOTAVAIL, 10049, "Address not available"},
        {ENETDOWN, 10050, "Network is down"},
        {ENETUNREACH, 10051, "Network is unreachable"},
        {ECONNABORTED, 10053, "Connection aborted"},
        {ECONNRESET, 10054, "Connection reset by peer"},
        {EPIPE, 10054, "Connection reset by peer"},
        {ENOBUFS, 10055, "No buffer space available"},
        {EISCONN, 10056, "Socket is already connected"},
        {ENOTCONN, 10057, "Socket is not connected"},
        {ETIMEDOUT, 10060, "Connection timed out"},
        {ECONNREFUSED, 10061, "Connection refused"},
        {EHOSTDOWN, 10064, "Host is down"},
        {EHOSTUNREACH, 10065, "No route to host"},
        {EIO, EIO, "Not a WinSock error"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.errnoValue);
        EXPECT_EQ(socketErrorFromErrno(row.errnoValue), row.number);
        EXPECT_EQ(WSocketErrorDesc(row.number), QString::fromLatin1(row.text));
    }
}

TEST(SocketErrors, ResolverResultsTakeTheLookupNumbers) {
    EXPECT_EQ(socketErrorFromResolver(0, 0), 0);
    EXPECT_EQ(socketErrorFromResolver(EAI_NONAME, 0), 11001);
    EXPECT_EQ(socketErrorFromResolver(EAI_AGAIN, 0), 11002);
    EXPECT_EQ(socketErrorFromResolver(EAI_FAIL, 0), 11003);
    EXPECT_EQ(socketErrorFromResolver(EAI_NODATA, 0), 11004);
    EXPECT_EQ(socketErrorFromResolver(EAI_MEMORY, 0), 10055);
    EXPECT_EQ(socketErrorFromResolver(EAI_SYSTEM, ETIMEDOUT), 10060);
    EXPECT_EQ(WSocketErrorDesc(11001), QStringLiteral("Host not found"));
    EXPECT_EQ(WSocketErrorDesc(11004), QStringLiteral("No Data"));
    EXPECT_EQ(WSocketErrorDesc(10093), QStringLiteral("WinSock not initialized"));
    EXPECT_EQ(WSocketErrorDesc(12345), QStringLiteral("Not a WinSock error"));
}

TEST(SocketErrors, AReportNamesTheNumberTheFunctionAndTheText) {
    EXPECT_EQ(socketErrorReport(10057, QStringLiteral("Send")),
              QStringLiteral("Error 10057 in function Send\r\nSocket is not connected"));
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
