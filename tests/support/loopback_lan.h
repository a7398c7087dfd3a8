#pragma once
// Real datagram services on loopback for tests: each computer a UdpNetwork bound to its
// own 127.0.0.x address, all on one free port and told each other's addresses, so that
// they reach each other by unicast and nothing leaves the host.

#include "network/udp_network.h"

#include <QRandomGenerator>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <memory>

namespace kalvento::test {

class LoopbackLan {
public:
    static constexpr int kComputers = 4; // 127.0.0.1 to 127.0.0.4

    LoopbackLan() : m_port(freePort()) {}

    quint16 port() const { return m_port; }

    // Computer number (1 to kComputers) of the LAN.
    std::unique_ptr<network::UdpNetwork>
    computer(int number, const QString& name, const QString& group,
             std::chrono::milliseconds walkWait = network::kDefaultWalkWait) const {
        network::UdpNetworkConfig config;
        config.computerName = name;
        config.groupName = group;
        config.port = m_port;
        config.bindAddress = address(number);
        config.interfaces = QStringList{QStringLiteral("lo")};
        for (int peer = 1; peer <= kComputers; ++peer)
            config.peers.append({address(peer), m_port});
        config.walkWait = walkWait;
        return std::make_unique<network::UdpNetwork>(config);
    }

private:
    static quint32 address(int number) { return 0x7F000000u + quint32(number); }

    static bool freeOn(quint32 address, quint16 port) {
        const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(address);
        a.sin_port = htons(port);
        const bool ok = ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
        ::close(fd);
        return ok;
    }

    // A port away from the default, free on every address of the LAN, so that parallel
    // runs and a running copy of the program do not meet.
    static quint16 freePort() {
        for (;;) {
            const auto port = quint16(QRandomGenerator::global()->bounded(20000, 60000));
            bool free = true;
            for (int number = 1; number <= kComputers && free; ++number)
                free = freeOn(address(number), port);
            if (free)
                return port;
        }
    }

    quint16 m_port;
};

} // namespace kalvento::test
