#include "network/peer_address.h"

#include <QSet>

#include <arpa/inet.h>

namespace kalvento::network {

StaticPeerEntry parsePeerEntry(QStringView text, quint16 defaultPort) {
    StaticPeerEntry entry;
    const QStringView trimmed = text.trimmed();
    if (trimmed.isEmpty()) {
        entry.error = QStringLiteral("an empty line");
        return entry;
    }
    QStringView rest = trimmed;
    quint16 port = defaultPort;
    if (const qsizetype colon = rest.lastIndexOf(u':'); colon >= 0) {
        bool ok = false;
        const uint number = rest.mid(colon + 1).toUInt(&ok);
        if (!ok || number == 0 || number > 65535) {
            entry.error = QStringLiteral("the port is not a number from 1 to 65535");
            return entry;
        }
        port = quint16(number);
        rest = rest.first(colon);
    }
    int prefix = 32;
    if (const qsizetype slash = rest.indexOf(u'/'); slash >= 0) {
        bool ok = false;
        prefix = rest.mid(slash + 1).toInt(&ok);
        if (!ok || prefix < kShortestPeerPrefix || prefix > 32) {
            entry.error = QStringLiteral("a subnet must be /22 to /32 (at most 1,024 addresses)");
            return entry;
        }
        rest = rest.first(slash);
    }
    in_addr address{};
    if (rest.isEmpty() || rest.size() > 15 ||
        ::inet_pton(AF_INET, rest.toLatin1().constData(), &address) != 1) {
        entry.error = QStringLiteral("not an IPv4 address such as 192.168.1.20");
        return entry;
    }
    const quint32 host = ntohl(address.s_addr);
    if (prefix == 32) {
        entry.endpoints.append({host, port});
        return entry;
    }
    const quint32 size = quint32(1) << (32 - prefix);
    const quint32 network = host & ~(size - 1);
    // From /30 down the first and the last address are the subnet's own, not hosts.
    const quint32 first = prefix == 31 ? network : network + 1;
    const quint32 last = prefix == 31 ? network + 1 : network + size - 2;
    for (quint32 a = first; a <= last; ++a)
        entry.endpoints.append({a, port});
    return entry;
}

QList<Ipv4Endpoint> expandPeerEntries(const QStringList& entries, quint16 defaultPort) {
    QList<Ipv4Endpoint> endpoints;
    QSet<quint64> seen;
    for (const QString& text : entries) {
        for (const Ipv4Endpoint& endpoint : parsePeerEntry(text, defaultPort).endpoints) {
            if (!seen.contains(endpoint.key())) {
                seen.insert(endpoint.key());
                endpoints.append(endpoint);
            }
        }
    }
    return endpoints;
}

} // namespace kalvento::network
