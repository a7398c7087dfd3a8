#pragma once
// A computer of the in-memory LAN for the chat's benchmarks: every other computer is reached
// at a confirmed address, and what this one sends is counted and dropped.

#include "network/memory_network.h"

namespace kalvento::bench {

class CountingNetwork : public network::InMemoryNetwork {
public:
    using InMemoryNetwork::InMemoryNetwork;
    network::Reach reach(const QString&) const override { return network::Reach::Confirmed; }
    void send(network::AddressKind, const QString&, const QString&, QByteArrayView) override {
        ++sent;
    }
    long sent = 0;
};

} // namespace kalvento::bench
