#pragma once
// Peers beyond the broadcast domain, as the user types them: an address ("10.0.4.7"), an
// address and port ("10.0.4.7:5800"), or a subnet ("10.0.4.0/24", also with ":port") whose
// hosts are reached one by one. A subnet holds at most 1,024 addresses (/22 to /32), so a
// typing slip cannot make every send a flood.

#include "network/udp_network.h"

#include <QList>
#include <QString>
#include <QStringList>
#include <QStringView>

namespace kalvento::network {

inline constexpr int kShortestPeerPrefix = 22; // 1,024 addresses

struct StaticPeerEntry {
    QList<Ipv4Endpoint> endpoints; // the hosts, in address order
    QString error;                 // why the entry is no peer; empty when it is one
    bool ok() const { return error.isEmpty(); }
};

// One entry. A subnet's hosts leave out its network and broadcast addresses (from /30
// down); /31 gives both addresses and /32 the one. Without a port: defaultPort.
StaticPeerEntry parsePeerEntry(QStringView text, quint16 defaultPort);

// Every endpoint of the entries that parse, each once, in the entries' order; the others
// are skipped.
QList<Ipv4Endpoint> expandPeerEntries(const QStringList& entries, quint16 defaultPort);

} // namespace kalvento::network
