#pragma once
// What the tests of copies with keys on an in-memory LAN share: fixed keys, a computer that
// keeps every datagram it sends (what a capture of the LAN sees), and datagrams built by
// hand as a forger would.

#include "crypto/identity_key.h"
#include "network/memory_network.h"

#include <QByteArray>
#include <QStringList>
#include <QtEndian>

#include <vector>

namespace kalvento::test {

// The key whose seed is 32 times seedByte: the same in every run.
inline crypto::IdentityKey keyFor(char seedByte) {
    return crypto::IdentityKey::fromSeed(QByteArray(crypto::kSeedSize, seedByte));
}

// The keys of docs/protocol.md's test vectors: RFC 8032's first two seeds.
inline const crypto::IdentityKey& vectorKeyA() {
    static const crypto::IdentityKey key = crypto::IdentityKey::fromSeed(
        QByteArray::fromHex("9d61b19deffd5a60ba844af492ec2cc44449c5697b326919703bac031cae7f60"));
    return key;
}
inline const crypto::IdentityKey& vectorKeyB() {
    static const crypto::IdentityKey key = crypto::IdentityKey::fromSeed(
        QByteArray::fromHex("4ccd089b28ff96da9db6c346ec114e0f5b8a319f35aba624da8cf6ed4fb8a6fb"));
    return key;
}

class RecordingNetwork : public network::InMemoryNetwork {
public:
    using InMemoryNetwork::InMemoryNetwork;
    struct Sent {
        QString target;
        QByteArray datagram;
    };
    void send(network::AddressKind kind, const QString& receiverName, const QString& mailslotName,
              QByteArrayView datagram) override {
        sent.push_back({receiverName, datagram.toByteArray()});
        // A computer whose datagrams are lost on the way (a cable pulled, a firewall).
        if (lost || lostTo.contains(receiverName.toCaseFolded()))
            return;
        InMemoryNetwork::send(kind, receiverName, mailslotName, datagram);
    }
    bool lost = false;
    QStringList lostTo; // case-folded receiver names
    QStringList targets() const {
        QStringList out;
        for (const Sent& s : sent)
            out.append(s.target);
        return out;
    }
    std::vector<Sent> sent;
};

// A datagram of the terminal: its 8-byte header (sender id, sequence number), then payload.
inline QByteArray terminalDatagram(quint32 senderId, quint32 sequence, QByteArrayView payload) {
    QByteArray out(8, '\0');
    qToLittleEndian(senderId, out.data());
    qToLittleEndian(sequence, out.data() + 4);
    return out + payload.toByteArray();
}

} // namespace kalvento::test
