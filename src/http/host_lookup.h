#pragma once
// Host name lookup for the socket layer: every IPv4 address of a name in the resolver's
// order, or the socket error number of the failure. The lookups block; callers run them off
// the GUI thread.

#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

struct in_addr;

namespace kalvento::http {

struct HostLookupResult {
    int error = 0;         // a socket error number (11001 "Host not found" ...); 0 on success
    QStringList addresses; // dotted, duplicates dropped, in the resolver's order
};

using HostResolver = std::function<HostLookupResult(const QString& hostName)>;

// The dotted form of an IPv4 address; empty when it cannot be written.
QString dottedDecimal(const in_addr& address);

// getaddrinfo for IPv4. A name that is not ASCII is looked up in its ACE form.
HostLookupResult lookupIPv4Host(const QString& hostName);

// The IPv4 addresses the hosts file gives a name, in file order (names compared without
// regard to case); none when the file does not name it.
std::optional<QStringList>
resolveFromHostsFile(const QString& hostName,
                     const QString& hostsFile = QStringLiteral("/etc/hosts"));

// The same as a lookup: a name the file does not hold is 11001 "Host not found".
HostLookupResult lookupIPv4InHostsFile(const QString& hostName,
                                       const QString& hostsFile = QStringLiteral("/etc/hosts"));

// The resolver the program uses: the system's, or the hosts file alone while the program is
// restricted to chosen interfaces (KALVENTO_INTERFACES, as every test run is), so that no
// DNS query ever leaves the machine then.
HostResolver systemHostResolver();

} // namespace kalvento::http
