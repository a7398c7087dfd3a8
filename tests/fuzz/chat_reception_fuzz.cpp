// Reception as a running copy meets it: the input is a series of datagrams (each preceded by
// a two-byte length) that reach a chat node from other computers, through the terminal's
// header and duplicate filter, the chat payload's decoding and classification, and the peer
// list. The list must stay within its bound and hold each computer once; the text coding
// must round-trip.

#include "fuzz_support.h"

#include "messaging/chat_node.h"
#include "messaging/chat_protocol.h"
#include "messaging/chat_session.h"
#include "network/memory_network.h"

#include "support/chat_node_probe.h"

#include <QCoreApplication>
#include <QSet>

using namespace kalvento;

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    static QCoreApplication app(*argc, *argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const auto input = fuzz::bytes(data, size);
    network::InMemoryHub hub;
    network::InMemoryNetwork own(hub, QStringLiteral("PC1"), QStringLiteral("WORK"));
    network::InMemoryNetwork other(hub, QStringLiteral("PC2"), QStringLiteral("WORK"));
    messaging::ChatNode node(own);
    int lines = 0;
    test::onLine(node, &node, [&lines](const messaging::ReceivedLine&) { ++lines; });

    for (qsizetype at = 0; at + 2 <= input.size();) {
        const qsizetype length = (uchar(input[at]) << 8 | uchar(input[at + 1])) % 4096;
        at += 2;
        const QByteArrayView datagram = input.sliced(at, std::min(length, input.size() - at));
        at += datagram.size();
        other.send(network::AddressKind::Named, QStringLiteral("PC1"), QStringLiteral("Terminal"),
                   datagram);
    }
    test::ChatNodeProbe(node).receive();

    const network::PeerList& peers = node.peers();
    KALVENTO_FUZZ_CHECK(peers.count() <= network::PeerList::kMaxEntries);
    QSet<QString> names;
    for (int i = 0; i < peers.count(); ++i)
        names.insert(peers.at(i).computerName.toCaseFolded());
    KALVENTO_FUZZ_CHECK(names.size() == peers.count());

    // The text coding: decode(encode(x)) is x for every plain text (no zero byte in it).
    const QByteArray plain = input.toByteArray().replace('\0', '\1');
    QByteArray decoded = messaging::DecodeText(messaging::EncodeText(plain));
    decoded.truncate(decoded.indexOf('\0') < 0 ? decoded.size() : decoded.indexOf('\0'));
    KALVENTO_FUZZ_CHECK(decoded == plain);
    KALVENTO_FUZZ_CHECK(!messaging::EncodeText(plain).contains('\0'));
    return 0;
}
