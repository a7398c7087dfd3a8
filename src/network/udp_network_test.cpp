#include "network/udp_network.h"

#include "network/datagram_frame.h"
#include "network/peer_address.h"

#include <QRandomGenerator>
#include <QtEndian>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <optional>
#include <thread>

using namespace kalvento::platform;
using namespace kalvento::network;
using namespace std::chrono_literals;

namespace {

constexpr quint32 kHost1 = 0x7F000001; // 127.0.0.1
constexpr quint32 kHost2 = 0x7F000002;
constexpr quint32 kHost3 = 0x7F000003;

bool portFreeOn(quint32 address, quint16 port) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(address);
    a.sin_port = htons(port);
    const bool ok = ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    ::close(fd);
    return ok;
}

// A port away from the default, free on the three test addresses, so that parallel runs
// and a running copy of the program do not meet.
quint16 randomFreePort() {
    for (;;) {
        const auto port = quint16(QRandomGenerator::global()->bounded(20000, 60000));
        if (portFreeOn(kHost1, port) && portFreeOn(kHost2, port) && portFreeOn(kHost3, port))
            return port;
    }
}

void sendRaw(const QByteArray& bytes, quint32 address, quint16 port, quint32 source = 0) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(source);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ADD_FAILURE() << "cannot send from that address: " << std::strerror(errno);
        ::close(fd);
        return;
    }
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(address);
    a.sin_port = htons(port);
    ::sendto(fd, bytes.constData(), size_t(bytes.size()), 0, reinterpret_cast<sockaddr*>(&a),
             sizeof a);
    ::close(fd);
}

QByteArray readOne(DatagramReceiver& receiver) {
    QByteArray buffer(int(receiver.nextSize()), Qt::Uninitialized);
    const quint32 size = receiver.read(buffer.data(), quint32(buffer.size()));
    return buffer.left(int(size));
}

// Everything that reached the receiver before a marker sent to its endpoint afterwards
// from a socket of its own: on loopback the marker queues behind anything sent earlier,
// so waiting for it shows what was (and what was not) delivered.
QByteArrayList receivedBefore(UdpNetwork& network, DatagramReceiver& receiver) {
    static int serial = 0;
    const QByteArray marker = "marker-" + QByteArray::number(++serial);
    const UdpNetworkConfig& c = network.config();
    sendRaw(encodeFrame({FrameType::Data, c.port, wireName(c.computerName),
                         wireName(receiver.name()), "MARKER", "MARKERS", marker}),
            c.bindAddress, c.port);
    QByteArrayList received;
    const auto deadline = std::chrono::steady_clock::now() + 2s;
    while (std::chrono::steady_clock::now() < deadline) {
        if (receiver.pendingCount() == 0) {
            std::this_thread::sleep_for(1ms);
            continue;
        }
        const QByteArray datagram = readOne(receiver);
        if (datagram == marker)
            return received;
        received.append(datagram);
    }
    ADD_FAILURE() << "marker never arrived at " << receiver.name().toStdString();
    return received;
}

class UdpNetworkTest : public ::testing::Test {
protected:
    void SetUp() override { port = randomFreePort(); }

    UdpNetworkConfig config(quint32 address, const char* computer, const char* group,
                            const QList<quint32>& peerAddresses = {kHost1, kHost2, kHost3}) const {
        UdpNetworkConfig c;
        c.computerName = QString::fromLatin1(computer);
        c.groupName = QString::fromLatin1(group);
        c.port = port;
        c.bindAddress = address;
        c.interfaces = QStringList{QStringLiteral("lo")};
        for (quint32 peer : peerAddresses)
            c.peers.append({peer, port});
        return c;
    }

    quint16 port = 0;
};

// Three copies on one host: PC1 and PC2 in GROUPA, PC3 in GROUPB.
class ThreeCopies : public UdpNetworkTest {
protected:
    void SetUp() override {
        UdpNetworkTest::SetUp();
        pc1 = std::make_unique<UdpNetwork>(config(kHost1, "PC1", "GROUPA"));
        pc2 = std::make_unique<UdpNetwork>(config(kHost2, "PC2", "GROUPA"));
        pc3 = std::make_unique<UdpNetwork>(config(kHost3, "PC3", "GROUPB"));
        rx1 = pc1->openReceiver(QStringLiteral("Terminal"));
        rx2 = pc2->openReceiver(QStringLiteral("Terminal"));
        rx3 = pc3->openReceiver(QStringLiteral("Terminal"));
    }

    // What each copy received, in order PC1, PC2, PC3.
    std::array<QByteArrayList, 3> received() {
        return {receivedBefore(*pc1, *rx1), receivedBefore(*pc2, *rx2), receivedBefore(*pc3, *rx3)};
    }

    std::unique_ptr<UdpNetwork> pc1, pc2, pc3;
    std::unique_ptr<DatagramReceiver> rx1, rx2, rx3;
};

const QString kTerminal = QStringLiteral("Terminal");

} // namespace

TEST_F(ThreeCopies, EachAddressReachesExactlyItsComputers) {
    struct Case {
        const char* what;
        UdpNetwork* from;
        AddressKind kind;
        const char* name;
        std::array<int, 3> copies; // expected at PC1, PC2, PC3
    } cases[] = {
        {"own computer", pc1.get(), AddressKind::LocalComputer, "", {1, 0, 0}},
        {"own group, sender included", pc1.get(), AddressKind::PrimaryGroup, "", {1, 1, 0}},
        {"named own group", pc3.get(), AddressKind::Named, "groupb", {0, 0, 1}},
        {"named other group", pc1.get(), AddressKind::Named, "GROUPB", {0, 0, 1}},
        {"other group, any case", pc3.get(), AddressKind::Named, "GroupA", {1, 1, 0}},
        {"named computer", pc1.get(), AddressKind::Named, "PC2", {0, 1, 0}},
        {"named computer, any case", pc2.get(), AddressKind::Named, "pc3", {0, 0, 1}},
        {"named self", pc2.get(), AddressKind::Named, "PC2", {0, 1, 0}},
        {"nobody of that name", pc1.get(), AddressKind::Named, "PC9", {0, 0, 0}},
    };
    for (const Case& c : cases) {
        const QByteArray payload = QByteArray("to ") + c.what;
        c.from->send(c.kind, QString::fromLatin1(c.name), kTerminal, payload);
        const auto got = received();
        for (int i = 0; i < 3; ++i) {
            EXPECT_EQ(got[i].count(payload), c.copies[i]) << c.what << " at PC" << i + 1;
            EXPECT_EQ(got[i].size(), c.copies[i]) << c.what << " at PC" << i + 1;
        }
    }
}

// What a signature binds: the frame's sender computer and target as they came, for a
// datagram from elsewhere and for the copy a computer delivers to itself.
TEST_F(ThreeCopies, EachDatagramTellsItsFramesSenderAndTarget) {
    struct Case {
        const char* what;
        UdpNetwork* from;
        AddressKind kind;
        const char* name;
        DatagramReceiver* at;
        const char* sender;
        const char* target;
    } cases[] = {
        {"named, in the letter case sent", pc1.get(), AddressKind::Named, "pc2", rx2.get(), "PC1",
         "pc2"},
        {"a group", pc3.get(), AddressKind::Named, "GroupA", rx1.get(), "PC3", "GroupA"},
        {"own copy by name", pc1.get(), AddressKind::Named, "PC1", rx1.get(), "PC1", "PC1"},
        {"own group", pc2.get(), AddressKind::PrimaryGroup, "", rx2.get(), "PC2", "GROUPA"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        c.from->send(c.kind, QString::fromLatin1(c.name), kTerminal, c.what);
        const auto deadline = std::chrono::steady_clock::now() + 2s;
        while (c.at->pendingCount() == 0 && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(1ms);
        ASSERT_EQ(readOne(*c.at), QByteArray(c.what));
        EXPECT_EQ(c.at->lastSenderComputer(), QByteArray(c.sender));
        EXPECT_EQ(c.at->lastTarget(), QByteArray(c.target));
        received(); // whatever else the send delivered
    }
}

TEST_F(ThreeCopies, DatagramsForAnotherReceivingNameAreDropped) {
    pc1->send(AddressKind::Named, QStringLiteral("PC2"), QStringLiteral("mailbox"), "wrong name");
    pc1->send(AddressKind::Named, QStringLiteral("PC2"), QStringLiteral("TERMINAL"), "any case");
    EXPECT_EQ(receivedBefore(*pc2, *rx2), QByteArrayList{"any case"});
}

TEST_F(ThreeCopies, TheWalkListsTheGroupsOfOpenEndpointsQuickly) {
    const auto start = std::chrono::steady_clock::now();
    QStringList groups = pc1->queryGroups(200ms);
    const auto took = std::chrono::steady_clock::now() - start;
    groups.sort();
    EXPECT_EQ(groups, (QStringList{"GROUPA", "GROUPA", "GROUPB"}));
    EXPECT_GE(took, 200ms);
    EXPECT_LT(took, 600ms);

    rx3.reset();
    groups = pc2->queryGroups(100ms);
    groups.sort();
    EXPECT_EQ(groups, (QStringList{"GROUPA", "GROUPA"})) << "a copy without endpoint is silent";
}

// A computer too busy to run its own receiving thread within the wait (a wait of nothing
// stands for it) still greets its own group; a copy whose endpoint is closed does not.
TEST_F(ThreeCopies, TheOwnGroupIsFoundEvenWhenItsAnswerIsLate) {
    EXPECT_EQ(pc3->queryGroups(0ms), QStringList{"GROUPB"});
    rx3.reset();
    EXPECT_EQ(pc3->queryGroups(0ms), QStringList{});
}

TEST_F(ThreeCopies, MalformedFramesAreDroppedAndDoNotStopReception) {
    const QByteArray valid =
        encodeFrame({FrameType::Data, port, "PC1", "Terminal", "RAW", "GROUPA", "valid"});
    QByteArray handMade("KVD\x01\x01", 5); // written from the documented layout
    handMade += char(port >> 8);
    handMade += char(port & 0xFF);
    handMade += QByteArray("\x03PC1\x08Terminal\x03RAW\x06GROUPA") + "by hand";
    const QByteArray garbage[] = {
        QByteArray(),
        "KVD",
        "hello, world",
        "KVX" + valid.mid(3),
        valid.first(3) + char(7) + valid.mid(4),
        valid.first(valid.size() - 8), // cut inside the names
        encodeFrame({FrameType::Data, port, "PC1", "Terminal", "RAW", "GROUPA",
                     QByteArray(int(kMaxDatagramSize) + 1, 'x')}),
        encodeFrame({FrameType::Data, port, "PC2", "Terminal", "RAW", "GROUPA", "for PC2"}),
        encodeFrame({FrameType::WalkAnswer, port, "PC1", "", "RAW", "GROUPA", "1234"}),
    };
    for (const QByteArray& bytes : garbage)
        sendRaw(bytes, kHost1, port);
    sendRaw(valid, kHost1, port);
    sendRaw(handMade, kHost1, port);
    EXPECT_EQ(receivedBefore(*pc1, *rx1), (QByteArrayList{"valid", "by hand"}));
}

TEST_F(ThreeCopies, ANamedComputerIsReachedWhereItLastSentFrom) {
    // PC4 knows no peers, so before hearing from PC3 it cannot reach it.
    UdpNetworkConfig lonely = config(0x7F000004, "PC4", "GROUPC", {});
    ASSERT_TRUE(portFreeOn(0x7F000004, port));
    UdpNetwork pc4(lonely);
    auto rx4 = pc4.openReceiver(kTerminal);

    pc4.send(AddressKind::Named, QStringLiteral("PC3"), kTerminal, "too early");
    EXPECT_TRUE(receivedBefore(*pc3, *rx3).isEmpty());

    // As PC3 would send it: from its address, naming the port it listens on.
    sendRaw(encodeFrame({FrameType::Data, port, "PC4", "Terminal", "PC3", "GROUPB", "hi"}),
            0x7F000004, port, kHost3);
    EXPECT_EQ(receivedBefore(pc4, *rx4), QByteArrayList{"hi"});

    pc4.send(AddressKind::Named, QStringLiteral("pc3"), kTerminal, "now known");
    EXPECT_EQ(receivedBefore(*pc3, *rx3), QByteArrayList{"now known"});
    // A group is never a learnt address.
    pc4.send(AddressKind::Named, QStringLiteral("GROUPB"), kTerminal, "to the group");
    EXPECT_TRUE(receivedBefore(*pc3, *rx3).isEmpty());
}

TEST_F(UdpNetworkTest, OneOwnerOfTheEndpointAtATime) {
    UdpNetwork network(config(kHost1, "PC1", "GROUPA"));
    auto mailbox = network.openReceiver(QStringLiteral("mailbox"));

    UdpNetwork sameComputer(config(kHost1, "PC1", "GROUPA"));
    for (UdpNetwork* second : {&network, &sameComputer}) {
        try {
            second->openReceiver(kTerminal);
            ADD_FAILURE() << "a second owner opened the endpoint";
        } catch (const SystemError& e) {
            EXPECT_EQ(e.errorNumber(), EADDRINUSE);
            EXPECT_STREQ(e.what(), "Address already in use");
        }
    }

    // Closing frees the port at once: the owner can switch names without a gap.
    mailbox.reset();
    auto terminal = network.openReceiver(kTerminal);
    network.send(AddressKind::LocalComputer, {}, QStringLiteral("mailbox"), "old name");
    network.send(AddressKind::LocalComputer, {}, kTerminal, "new name");
    EXPECT_EQ(receivedBefore(network, *terminal), QByteArrayList{"new name"});
}

TEST_F(UdpNetworkTest, DatagramsUpToTheLimitArriveWholeAndLargerAreRefused) {
    UdpNetwork network(config(kHost1, "PC1", "GROUPA"));
    auto receiver = network.openReceiver(kTerminal);

    QByteArray largest(int(kMaxDatagramSize), Qt::Uninitialized);
    for (int i = 0; i < largest.size(); ++i)
        largest[i] = char(i * 7);
    network.send(AddressKind::LocalComputer, {}, kTerminal, largest);
    network.send(AddressKind::LocalComputer, {}, kTerminal, QByteArray());
    try {
        network.send(AddressKind::LocalComputer, {}, kTerminal, largest + 'x');
        ADD_FAILURE() << "an oversized datagram was sent";
    } catch (const SystemError& e) {
        EXPECT_EQ(e.errorNumber(), EMSGSIZE);
    }
    EXPECT_EQ(receivedBefore(network, *receiver), (QByteArrayList{largest, QByteArray()}));
}

TEST_F(UdpNetworkTest, ReadReportsAnEmptyQueueAndASmallBuffer) {
    UdpNetwork network(config(kHost1, "PC1", "GROUPA"));
    auto receiver = network.openReceiver(kTerminal);
    char buffer[8];
    try {
        receiver->read(buffer, sizeof buffer);
        ADD_FAILURE() << "read from an empty queue";
    } catch (const SystemError& e) {
        EXPECT_EQ(e.errorNumber(), EAGAIN);
    }
    EXPECT_EQ(receiver->nextSize(), 0u);

    network.send(AddressKind::LocalComputer, {}, kTerminal, "twelve bytes");
    network.send(AddressKind::LocalComputer, {}, kTerminal, "short");
    while (receiver->pendingCount() < 2)
        std::this_thread::sleep_for(1ms);
    EXPECT_EQ(receiver->nextSize(), 12u);
    try {
        receiver->read(buffer, sizeof buffer);
        ADD_FAILURE() << "read into a buffer too small";
    } catch (const SystemError& e) {
        EXPECT_EQ(e.errorNumber(), EMSGSIZE);
    }
    EXPECT_EQ(receiver->pendingCount(), 2u) << "the datagram stays";
    EXPECT_EQ(readOne(*receiver), "twelve bytes");
    EXPECT_EQ(readOne(*receiver), "short");
}

// Waits until the receiver holds expected datagrams, then a little longer, so that the
// bounds alone decide what is kept (nothing is read meanwhile).
void arrivedAndSettled(DatagramReceiver& receiver, quint32 expected) {
    const auto deadline = std::chrono::steady_clock::now() + 1s;
    while (receiver.pendingCount() < expected && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(1ms);
    std::this_thread::sleep_for(50ms);
}

TEST_F(UdpNetworkTest, TheQueueIsBoundedAndDropsTheExcess) {
    UdpNetworkConfig c = config(kHost1, "PC1", "GROUPA");
    c.maxQueuedDatagrams = 3;
    c.maxQueuedBytes = 1000;
    c.maxQueuedOwnDatagrams = 2;
    c.maxQueuedOwnBytes = 1000;
    UdpNetwork network(c);
    UdpNetwork other(config(kHost2, "PC2", "GROUPA"));
    auto receiver = network.openReceiver(kTerminal);
    const auto sendFromOther = [&](const QByteArray& d) {
        other.send(AddressKind::Named, QStringLiteral("PC1"), kTerminal, d);
    };
    const auto sendLocal = [&](const QByteArray& d) {
        network.send(AddressKind::LocalComputer, {}, kTerminal, d);
    };

    for (const char* d : {"1", "2", "3", "4", "5"})
        sendFromOther(d);
    arrivedAndSettled(*receiver, 3);
    ASSERT_EQ(receiver->pendingCount(), 3u);
    EXPECT_EQ(readOne(*receiver), "1");
    EXPECT_EQ(readOne(*receiver), "2");
    EXPECT_EQ(readOne(*receiver), "3");

    sendFromOther(QByteArray(600, 'a'));
    sendFromOther(QByteArray(600, 'b')); // over the byte bound while the first waits
    sendFromOther("fits");
    arrivedAndSettled(*receiver, 2);
    ASSERT_EQ(receiver->pendingCount(), 2u);
    EXPECT_EQ(readOne(*receiver).count('a'), 600);
    EXPECT_EQ(readOne(*receiver), "fits");

    // The own copies have bounds of their own.
    for (const char* d : {"own 1", "own 2", "own 3"})
        sendLocal(d);
    arrivedAndSettled(*receiver, 2);
    ASSERT_EQ(receiver->pendingCount(), 2u);
    EXPECT_EQ(readOne(*receiver), "own 1");
    EXPECT_EQ(readOne(*receiver), "own 2");
}

TEST_F(UdpNetworkTest, AFloodCannotPushOutTheUsersOwnLines) {
    UdpNetworkConfig c = config(kHost1, "PC1", "GROUPA");
    c.maxQueuedDatagrams = 4;
    UdpNetwork network(c);
    UdpNetwork flooder(config(kHost2, "PC2", "GROUPA"));
    auto receiver = network.openReceiver(kTerminal);

    const auto flood = [&](int from, int to) {
        for (int i = from; i < to; ++i)
            flooder.send(AddressKind::PrimaryGroup, {}, kTerminal,
                         "flood " + QByteArray::number(i));
    };
    flood(0, 2);
    arrivedAndSettled(*receiver, 2);
    network.send(AddressKind::PrimaryGroup, {}, kTerminal, "my line"); // comes back to PC1
    arrivedAndSettled(*receiver, 3);
    flood(2, 50);
    arrivedAndSettled(*receiver, 5); // the others' share is full now
    // A forger may give PC1's name, but not send from PC1's own socket.
    sendRaw(encodeFrame({FrameType::Data, port, "PC1", "Terminal", "PC1", "GROUPA", "forged"}),
            kHost1, port, kHost2);
    network.send(AddressKind::LocalComputer, {}, kTerminal, "my second line");
    arrivedAndSettled(*receiver, 6);

    QByteArrayList queued;
    while (receiver->pendingCount() > 0)
        queued.append(readOne(*receiver));
    EXPECT_EQ(queued, (QByteArrayList{"flood 0", "flood 1", "my line", "flood 2", "flood 3",
                                      "my second line"}));
}

TEST_F(UdpNetworkTest, ASendFailsOnlyWhenEveryPathFails) {
    UdpNetworkConfig c = config(kHost1, "PC1", "GROUPA", {});
    c.peers = {{kHost2, 0}}; // port 0 cannot be sent to
    UdpNetwork broken(c);
    try {
        broken.send(AddressKind::Named, QStringLiteral("GROUPB"), kTerminal, "x");
        ADD_FAILURE() << "a send that reached nobody succeeded";
    } catch (const SystemError& e) {
        EXPECT_EQ(e.errorNumber(), EINVAL);
        EXPECT_STREQ(e.what(), "Invalid argument");
    }

    UdpNetworkConfig mixed = config(kHost1, "PC1", "GROUPA", {});
    mixed.peers = {{kHost2, 0}, {kHost3, port}};
    UdpNetwork sender(mixed);
    UdpNetwork pc3(config(kHost3, "PC3", "GROUPB"));
    auto rx3 = pc3.openReceiver(kTerminal);
    sender.send(AddressKind::Named, QStringLiteral("GROUPB"), kTerminal, "one path works");
    EXPECT_EQ(receivedBefore(pc3, *rx3), QByteArrayList{"one path works"});
}

TEST(UdpNetworkConfig, EndpointsAreAddressesWithAnOptionalPort) {
    struct Case {
        const char* text;
        std::optional<Ipv4Endpoint> expected;
    } cases[] = {
        {"127.0.0.2", Ipv4Endpoint{0x7F000002, 5737}},
        {" 198.51.100.7:6000 ", Ipv4Endpoint{0xC6336407, 6000}},
        {"10.0.0.1:0", std::nullopt},
        {"10.0.0.1:65536", std::nullopt},
        {"10.0.0.1:", std::nullopt},
        {"somehost", std::nullopt}, // never resolved
        {"10.0.0", std::nullopt},
        {"", std::nullopt},
    };
    for (const Case& c : cases)
        EXPECT_EQ(Ipv4Endpoint::parse(QString::fromLatin1(c.text), 5737), c.expected) << c.text;
}

TEST(UdpNetworkConfig, ReadsTheEnvironment) {
    const char* names[] = {"KALVENTO_PORT",     "KALVENTO_BIND_ADDRESS", "KALVENTO_INTERFACES",
                           "KALVENTO_PEERS",    "KALVENTO_WALK_MS",      "KALVENTO_COMPUTER_NAME",
                           "KALVENTO_WORKGROUP"};
    QList<std::optional<QByteArray>> saved;
    for (const char* n : names)
        saved.append(qEnvironmentVariableIsSet(n) ? std::optional(qgetenv(n)) : std::nullopt);

    qputenv("KALVENTO_PORT", "6001");
    qputenv("KALVENTO_BIND_ADDRESS", "127.0.0.2");
    qputenv("KALVENTO_INTERFACES", "veth0, veth1,");
    qputenv("KALVENTO_PEERS", "127.0.0.3,bad,127.0.0.4:7000");
    qputenv("KALVENTO_WALK_MS", "350");
    qputenv("KALVENTO_COMPUTER_NAME", "Copy2");
    qputenv("KALVENTO_WORKGROUP", "Office");
    UdpNetworkConfig c = UdpNetworkConfig::fromEnvironment();
    EXPECT_EQ(c.port, 6001);
    EXPECT_EQ(c.bindAddress, 0x7F000002u);
    EXPECT_EQ(c.interfaces, (QStringList{"veth0", "veth1"}));
    EXPECT_EQ(c.peers, (QList<Ipv4Endpoint>{{0x7F000003, 6001}, {0x7F000004, 7000}}));
    EXPECT_EQ(c.walkWait, 350ms);
    EXPECT_EQ(c.computerName, "Copy2");
    EXPECT_EQ(c.groupName, "Office");
    EXPECT_EQ(UdpNetwork(c).defaultWalkWait(), 350ms);

    qputenv("KALVENTO_PORT", "99999");
    qputenv("KALVENTO_INTERFACES", "");
    qunsetenv("KALVENTO_BIND_ADDRESS");
    c = UdpNetworkConfig::fromEnvironment();
    EXPECT_EQ(c.port, kDefaultDatagramPort);
    EXPECT_EQ(c.bindAddress, 0u);
    EXPECT_EQ(c.interfaces, QStringList()) << "set but empty restricts to loopback and peers";
    qunsetenv("KALVENTO_INTERFACES");
    EXPECT_FALSE(UdpNetworkConfig::fromEnvironment().interfaces);

    for (int i = 0; i < saved.size(); ++i) {
        if (saved[i])
            qputenv(names[i], *saved[i]);
        else
            qunsetenv(names[i]);
    }
}

// The options' [Network] values are used unless a variable of the environment is set.
TEST(UdpNetworkConfig, TheEnvironmentOverridesTheFile) {
    const char* names[] = {"KALVENTO_PORT", "KALVENTO_INTERFACES", "KALVENTO_PEERS"};
    QList<std::optional<QByteArray>> saved;
    for (const char* n : names) {
        saved.append(qEnvironmentVariableIsSet(n) ? std::optional(qgetenv(n)) : std::nullopt);
        qunsetenv(n);
    }
    NetworkSettings file;
    file.port = 6100;
    file.interfaces = {"eth1"};
    file.peers = {"198.51.100.9/30", "10.0.0.1:7000", "typo"};
    UdpNetworkConfig c = UdpNetworkConfig::fromSettings(file);
    EXPECT_EQ(c.port, 6100);
    EXPECT_EQ(c.interfaces, QStringList{"eth1"});
    EXPECT_EQ(c.peers,
              (QList<Ipv4Endpoint>{{0xC6336409, 6100}, {0xC633640A, 6100}, {0x0A000001, 7000}}));
    file.interfaces.clear();
    EXPECT_FALSE(UdpNetworkConfig::fromSettings(file).interfaces) << "none ticked: every one";

    // A port from the environment is also the port of the file's peers without one.
    qputenv("KALVENTO_PORT", "6200");
    qputenv("KALVENTO_INTERFACES", "lo");
    c = UdpNetworkConfig::fromSettings(file);
    EXPECT_EQ(c.port, 6200);
    EXPECT_EQ(c.interfaces, QStringList{"lo"});
    EXPECT_EQ(c.peers.front(), (Ipv4Endpoint{0xC6336409, 6200}));
    qputenv("KALVENTO_PEERS", "127.0.0.5");
    EXPECT_EQ(UdpNetworkConfig::fromSettings(file).peers,
              (QList<Ipv4Endpoint>{{0x7F000005, 6200}}));

    for (int i = 0; i < saved.size(); ++i) {
        if (saved[i])
            qputenv(names[i], *saved[i]);
        else
            qunsetenv(names[i]);
    }
}

// Peers and interfaces changed while the endpoint stays open are used from the next send.
TEST_F(UdpNetworkTest, NewRoutesTakeEffectWithoutReopening) {
    UdpNetwork pc1(config(kHost1, "PC1", "GROUPA", {}));
    UdpNetwork pc2(config(kHost2, "PC2", "GROUPA", {}));
    auto rx1 = pc1.openReceiver(kTerminal);
    auto rx2 = pc2.openReceiver(kTerminal);

    pc1.send(AddressKind::Named, QStringLiteral("GROUPA"), kTerminal, "nobody listed");
    EXPECT_TRUE(receivedBefore(pc2, *rx2).isEmpty());

    // PC2 as a /30 (127.0.0.1 and .2 are its hosts), as the options would give it.
    pc1.setRoutes(QStringList{QStringLiteral("lo")}, expandPeerEntries({"127.0.0.2/30"}, port));
    EXPECT_EQ(pc1.config().peers.size(), 2);
    pc1.send(AddressKind::Named, QStringLiteral("GROUPA"), kTerminal, "through the subnet");
    EXPECT_EQ(receivedBefore(pc2, *rx2), QByteArrayList{"through the subnet"});
    // The walk reaches PC2 through the subnet too: it answers, as PC1 itself does.
    EXPECT_EQ(pc1.queryGroups(300ms), (QStringList{"GROUPA", "GROUPA"}));

    pc1.setRoutes(QStringList{QStringLiteral("lo")}, {});
    pc1.send(AddressKind::Named, QStringLiteral("GROUPA"), kTerminal, "gone again");
    EXPECT_TRUE(receivedBefore(pc2, *rx2).isEmpty());
    (void)rx1;
}

namespace {

bool eventually(const std::function<bool()>& condition) {
    const auto deadline = std::chrono::steady_clock::now() + 2s;
    while (std::chrono::steady_clock::now() < deadline) {
        if (condition())
            return true;
        std::this_thread::sleep_for(1ms);
    }
    return condition();
}

// A socket bound to one address and the test port: a computer that the test plays by hand.
struct HandSocket {
    HandSocket(quint32 address, quint16 port) : fd(::socket(AF_INET, SOCK_DGRAM, 0)) {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(address);
        a.sin_port = htons(port);
        bound = ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
        timeval wait{2, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    }
    ~HandSocket() { ::close(fd); }
    // The next frame that arrives (nullopt after 2 s), and where from.
    std::optional<Frame> receive(sockaddr_in* from = nullptr) {
        char buffer[2048];
        sockaddr_in sender{};
        socklen_t length = sizeof sender;
        const ssize_t size =
            ::recvfrom(fd, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&sender), &length);
        if (size < 0)
            return std::nullopt;
        if (from)
            *from = sender;
        return decodeFrame(QByteArrayView(buffer, size));
    }
    void sendTo(const QByteArray& bytes, const sockaddr_in& to) {
        ::sendto(fd, bytes.constData(), size_t(bytes.size()), 0,
                 reinterpret_cast<const sockaddr*>(&to), sizeof to);
    }
    int fd;
    bool bound = false;
};

} // namespace

// A name is confirmed by the answer to a walk query sent to the address it was heard from:
// a real endpoint answers, an address where nobody receives never does, and neither a
// frame from elsewhere nor answers that guess the number move a confirmed name.
TEST_F(ThreeCopies, OnlyAnAddressThatAnswersConfirmsItsName) {
    pc2->send(AddressKind::Named, QStringLiteral("PC1"), kTerminal, "hello from PC2");
    ASSERT_EQ(receivedBefore(*pc1, *rx1), QByteArrayList{"hello from PC2"});
    EXPECT_EQ(pc1->reach(QStringLiteral("pc2")), Reach::Heard);
    EXPECT_EQ(pc1->reach(QStringLiteral("PC1")), Reach::Confirmed); // itself
    EXPECT_EQ(pc1->reach(QStringLiteral("PC3")), Reach::Unknown);
    EXPECT_FALSE(pc1->confirm(QStringLiteral("PC3"))); // nowhere to ask
    EXPECT_TRUE(pc1->confirm(QStringLiteral("PC2")));
    EXPECT_TRUE(eventually([&] { return pc1->reach(QStringLiteral("PC2")) == Reach::Confirmed; }));
    EXPECT_FALSE(pc1->confirm(QStringLiteral("PC2"))); // nothing left to ask

    // A forger claims PC2 from an address where nobody receives: PC2 stays where it
    // answered, and the forger's address is asked (and never answers).
    constexpr quint32 kNobody = 0x7F000009;
    sendRaw(encodeFrame({FrameType::Data, port, "PC1", "Terminal", "PC2", "GROUPA", "forged"}),
            kHost1, port, kNobody);
    sendRaw(encodeFrame({FrameType::Data, port, "PC1", "Terminal", "GHOST", "GROUPA", "boo"}),
            kHost1, port, kNobody);
    EXPECT_EQ(receivedBefore(*pc1, *rx1), QByteArrayList({"forged", "boo"}));
    EXPECT_EQ(pc1->reach(QStringLiteral("PC2")), Reach::Confirmed);
    pc1->send(AddressKind::Named, QStringLiteral("PC2"), kTerminal, "still to PC2");
    EXPECT_EQ(receivedBefore(*pc2, *rx2), QByteArrayList{"still to PC2"});
    EXPECT_EQ(pc1->reach(QStringLiteral("GHOST")), Reach::Heard);
    // Its address was asked a moment ago, when it claimed PC2.
    EXPECT_FALSE(pc1->confirm(QStringLiteral("GHOST")));
    // Answers that guess the number, from where GHOST was heard, confirm nothing.
    for (quint32 guess = 0; guess < 200; ++guess) {
        QByteArray number(4, Qt::Uninitialized);
        qToBigEndian(guess, number.data());
        sendRaw(encodeFrame({FrameType::WalkAnswer, port, "PC1", "", "GHOST", "GROUPA", number}),
                kHost1, port, kNobody);
    }
    EXPECT_TRUE(receivedBefore(*pc1, *rx1).isEmpty());
    EXPECT_EQ(pc1->reach(QStringLiteral("GHOST")), Reach::Heard);
}

// The answer may come from another address of the computer asked (a copy with two cards
// answers from the one its route prefers): the number is what counts, and the name is
// confirmed at the address that was asked.
TEST_F(UdpNetworkTest, TheNumberConfirmsTheAddressAskedWhereverTheAnswerComesFrom) {
    constexpr quint32 kFirstCard = 0x7F000005;
    constexpr quint32 kSecondCard = 0x7F000006;
    UdpNetwork pc1(config(kHost1, "PC1", "GROUPA", {}));
    auto rx1 = pc1.openReceiver(kTerminal);
    HandSocket first(kFirstCard, port);
    HandSocket second(kSecondCard, port);
    ASSERT_TRUE(first.bound && second.bound);
    sendRaw(encodeFrame({FrameType::Data, port, "PC1", "Terminal", "MULTI", "GROUPA", "hi"}),
            kHost1, port, kFirstCard);
    ASSERT_EQ(receivedBefore(pc1, *rx1), QByteArrayList{"hi"});
    ASSERT_TRUE(pc1.confirm(QStringLiteral("MULTI")));
    sockaddr_in asker{};
    const auto query = first.receive(&asker);
    ASSERT_TRUE(query && query->type == FrameType::WalkQuery);
    EXPECT_EQ(ntohs(asker.sin_port), port); // asked from the endpoint, where answers go
    second.sendTo(
        encodeFrame({FrameType::WalkAnswer, port, "PC1", "", "MULTI", "GROUPA", query->body}),
        asker);
    EXPECT_TRUE(eventually([&] { return pc1.reach(QStringLiteral("MULTI")) == Reach::Confirmed; }));
    pc1.send(AddressKind::Named, QStringLiteral("MULTI"), kTerminal, "to the first card");
    const auto data = first.receive();
    ASSERT_TRUE(data.has_value());
    EXPECT_EQ(data->body, "to the first card");
}

TEST_F(ThreeCopies, AFloodOfNamesPushesOutItsOwnKindButNotAConfirmedComputer) {
    pc2->send(AddressKind::Named, QStringLiteral("PC1"), kTerminal, "hello");
    ASSERT_EQ(receivedBefore(*pc1, *rx1), QByteArrayList{"hello"});
    ASSERT_TRUE(pc1->confirm(QStringLiteral("PC2")));
    ASSERT_TRUE(eventually([&] { return pc1->reach(QStringLiteral("PC2")) == Reach::Confirmed; }));
    // Frames for another computer teach their senders too.
    for (int i = 0; i < 5000; ++i)
        sendRaw(encodeFrame({FrameType::Data, port, "ELSEWHERE", "Terminal",
                             "FAKE" + QByteArray::number(i), "GROUPA", "x"}),
                kHost1, port, 0x7F000009);
    EXPECT_TRUE(receivedBefore(*pc1, *rx1).isEmpty());
    EXPECT_EQ(pc1->reach(QStringLiteral("PC2")), Reach::Confirmed);
    int heard = 0;
    for (int i = 0; i < 5000; ++i)
        heard += pc1->reach(QStringLiteral("FAKE%1").arg(i)) == Reach::Heard ? 1 : 0;
    EXPECT_LE(heard, 4095); // the table's bound, less PC2
    EXPECT_GT(heard, 1000);
    EXPECT_EQ(pc1->reach(QStringLiteral("FAKE0")), Reach::Unknown); // the oldest went first
    pc1->send(AddressKind::Named, QStringLiteral("PC2"), kTerminal, "still reached");
    EXPECT_EQ(receivedBefore(*pc2, *rx2), QByteArrayList{"still reached"});
}

// A guarded name (a computer whose key the chat holds) is placed only by what the chat
// vouches for: no frame in its name, from anywhere, and no answer to a question sets or
// moves it, and its address is never asked. Guarding drops what a frame said of it
// before, but not what was confirmed.
TEST_F(UdpNetworkTest, AGuardedNameMovesOnlyWhereTheChatVouches) {
    constexpr quint32 kForger = 0x7F000007;
    UdpNetwork pc1(config(kHost1, "PC1", "GROUPA", {}));
    UdpNetwork pc2(config(kHost2, "PC2", "GROUPA", {kHost1}));
    auto rx1 = pc1.openReceiver(kTerminal);
    auto rx2 = pc2.openReceiver(kTerminal);
    HandSocket forger(kForger, port);
    ASSERT_TRUE(forger.bound);
    const auto claims = [&](const QByteArray& name) {
        return QList<QByteArray>{
            encodeFrame({FrameType::Data, port, "PC1", "Terminal", name, "GROUPA", "claim"}),
            encodeFrame({FrameType::WalkQuery, port, "", "", name, "GROUPA", "\1\2\3\4"}),
            encodeFrame({FrameType::WalkAnswer, port, "PC1", "", name, "GROUPA", "\1\2\3\4"})};
    };

    // Heard from a forged frame before it was guarded: forgotten when guarded.
    for (const QByteArray& claim : claims("PC2"))
        sendRaw(claim, kHost1, port, kForger);
    ASSERT_EQ(receivedBefore(pc1, *rx1), QByteArrayList{"claim"});
    ASSERT_EQ(pc1.reach(QStringLiteral("PC2")), Reach::Heard);
    pc1.setGuarded(QStringLiteral("pc2"), true);
    EXPECT_EQ(pc1.reach(QStringLiteral("PC2")), Reach::Unknown);

    // PC2's own datagram teaches nothing until it is vouched for.
    pc2.send(AddressKind::Named, QStringLiteral("PC1"), kTerminal, "from PC2");
    ASSERT_EQ(receivedBefore(pc1, *rx1), QByteArrayList{"from PC2"});
    EXPECT_EQ(pc1.reach(QStringLiteral("PC2")), Reach::Unknown);
    // The read that follows (the marker's) is not PC2's: vouch right after PC2's own.
    pc2.send(AddressKind::Named, QStringLiteral("PC1"), kTerminal, "from PC2 again");
    ASSERT_TRUE(eventually([&] { return rx1->pendingCount() > 0; }));
    ASSERT_EQ(readOne(*rx1), "from PC2 again");
    rx1->vouchForLast();
    EXPECT_EQ(pc1.reach(QStringLiteral("PC2")), Reach::Confirmed);

    // Every claim from elsewhere, even with the forger answering what it is asked, leaves it
    // where it was vouched for.
    for (int round = 0; round < 3; ++round)
        for (const QByteArray& claim : claims("PC2"))
            sendRaw(claim, kHost1, port, kForger);
    EXPECT_EQ(receivedBefore(pc1, *rx1), QByteArrayList({"claim", "claim", "claim"}));
    EXPECT_EQ(pc1.reach(QStringLiteral("PC2")), Reach::Confirmed);
    pc1.send(AddressKind::Named, QStringLiteral("PC2"), kTerminal, "to PC2");
    EXPECT_EQ(receivedBefore(pc2, *rx2), QByteArrayList{"to PC2"});

    // An unguarded name is still learnt and confirmed as before, at the forger's address
    // too. Its question is the first to go there (the claims in PC2's name asked nothing:
    // a question a moment before would hold this one back).
    for (const QByteArray& claim : claims("PC3"))
        sendRaw(claim, kHost1, port, kForger);
    EXPECT_EQ(receivedBefore(pc1, *rx1), QByteArrayList{"claim"});
    EXPECT_EQ(pc1.reach(QStringLiteral("PC3")), Reach::Heard);
    ASSERT_TRUE(pc1.confirm(QStringLiteral("PC3")));
    sockaddr_in asker{};
    std::optional<Frame> question = forger.receive(&asker);
    ASSERT_TRUE(question && question->type == FrameType::WalkQuery);
    forger.sendTo(
        encodeFrame({FrameType::WalkAnswer, port, "PC1", "", "PC3", "GROUPA", question->body}),
        asker);
    EXPECT_TRUE(eventually([&] { return pc1.reach(QStringLiteral("PC3")) == Reach::Confirmed; }));

    // A datagram vouched for from another address moves it (a computer given a new address).
    sendRaw(encodeFrame({FrameType::Data, port, "PC1", "Terminal", "PC2", "GROUPA", "moved"}),
            kHost1, port, kForger);
    ASSERT_TRUE(eventually([&] { return rx1->pendingCount() > 0; }));
    ASSERT_EQ(readOne(*rx1), "moved");
    rx1->vouchForLast();
    pc1.send(AddressKind::Named, QStringLiteral("PC2"), kTerminal, "to the new address");
    question = forger.receive();
    ASSERT_TRUE(question.has_value());
    EXPECT_EQ(question->body, "to the new address");
    EXPECT_TRUE(receivedBefore(pc2, *rx2).isEmpty());

    // No longer guarded: frames teach it again, and a confirmed address asks the new one.
    pc1.setGuarded(QStringLiteral("PC2"), false);
    pc2.send(AddressKind::Named, QStringLiteral("PC1"), kTerminal, "back");
    EXPECT_EQ(receivedBefore(pc1, *rx1), QByteArrayList{"back"});
    EXPECT_TRUE(eventually([&] {
        pc1.send(AddressKind::Named, QStringLiteral("PC2"), kTerminal, "found");
        return !receivedBefore(pc2, *rx2).isEmpty();
    }));
}
