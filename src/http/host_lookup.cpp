#include "http/host_lookup.h"

#include "http/socket_errors.h"

#include <QFile>
#include <QUrl>

#include <arpa/inet.h>
#include <cerrno>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

namespace kalvento::http {

QString dottedDecimal(const in_addr& address) {
    char text[INET_ADDRSTRLEN] = {};
    if (inet_ntop(AF_INET, &address, text, sizeof text) == nullptr)
        return QString();
    return QString::fromLatin1(text);
}

HostLookupResult lookupIPv4Host(const QString& hostName) {
    if (hostName.isEmpty())
        return {wsa::HostNotFound, {}};
    QByteArray name = QUrl::toAce(hostName);
    if (name.isEmpty())
        name = hostName.toUtf8();
    addrinfo hints = {};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM; // one entry per address instead of one per socket type
    addrinfo* result = nullptr;
    errno = 0;
    const int status = getaddrinfo(name.constData(), nullptr, &hints, &result);
    if (status != 0)
        return {socketErrorFromResolver(status, errno), {}};
    HostLookupResult found;
    for (const addrinfo* entry = result; entry != nullptr; entry = entry->ai_next) {
        if (entry->ai_family != AF_INET || entry->ai_addr == nullptr)
            continue;
        const QString address =
            dottedDecimal(reinterpret_cast<const sockaddr_in*>(entry->ai_addr)->sin_addr);
        if (!address.isEmpty() && !found.addresses.contains(address))
            found.addresses.append(address);
    }
    freeaddrinfo(result);
    if (found.addresses.isEmpty())
        found.error = wsa::NoData;
    return found;
}

std::optional<QStringList> resolveFromHostsFile(const QString& hostName, const QString& hostsFile) {
    QFile file(hostsFile);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    QStringList addresses;
    while (!file.atEnd()) {
        QString line = QString::fromUtf8(file.readLine());
        line.truncate(line.indexOf(QLatin1Char('#')) < 0 ? line.size() : line.indexOf('#'));
        const QStringList fields = line.simplified().split(QLatin1Char(' '), Qt::SkipEmptyParts);
        in_addr parsed{};
        if (fields.size() < 2 ||
            ::inet_pton(AF_INET, fields[0].toLatin1().constData(), &parsed) != 1)
            continue;
        for (qsizetype i = 1; i < fields.size(); ++i)
            if (fields[i].compare(hostName, Qt::CaseInsensitive) == 0 &&
                !addresses.contains(fields[0]))
                addresses.append(fields[0]);
    }
    if (addresses.isEmpty())
        return std::nullopt;
    return addresses;
}

HostLookupResult lookupIPv4InHostsFile(const QString& hostName, const QString& hostsFile) {
    const std::optional<QStringList> addresses = resolveFromHostsFile(hostName, hostsFile);
    if (!addresses)
        return {wsa::HostNotFound, {}};
    return {0, *addresses};
}

HostResolver systemHostResolver() {
    if (qEnvironmentVariableIsSet("KALVENTO_INTERFACES"))
        return [](const QString& name) { return lookupIPv4InHostsFile(name); };
    return lookupIPv4Host;
}

} // namespace kalvento::http
