// Copies with identity keys on an in-memory LAN: what they send (signed, sealed, plain),
// what they take, and everything a forger on the LAN tries in another computer's name.

#include "crypto/identity_key.h"
#include "messaging/chat_node.h"
#include "messaging/chat_protocol.h"
#include "messaging/envelope.h"
#include "messaging/mailslot_terminal.h"
#include "network/datagram_network.h"
#include "network/memory_network.h"

#include "support/chat_node_probe.h"
#include "support/keyed_lan.h"
#include "support/qt_print.h"

#include <QDateTime>
#include <QDir>
#include <QSet>
#include <QTemporaryDir>
#include <QtEndian>

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <memory>
#include <optional>

using namespace kalvento;
using messaging::ChatNode;
using messaging::RefusalReason;
using network::PeerTrust;
using test::ChatNodeProbe;
using test::EventLog;
using test::keyFor;
using test::RecordingNetwork;
using test::terminalDatagram;

namespace {

const QString kGroup = QStringLiteral("WG");
const QString kSlot = QStringLiteral("Terminal");

// An in-memory computer that keeps what the chat tells its network of addresses: the
// computers it guards and, for each datagram it vouched for, that datagram's sender computer.
class WatchedNetwork : public network::InMemoryNetwork {
public:
    using InMemoryNetwork::InMemoryNetwork;
    std::unique_ptr<network::DatagramReceiver> openReceiver(const QString& name) override {
        return std::make_unique<Receiver>(InMemoryNetwork::openReceiver(name), vouched);
    }
    void setGuarded(const QString& computer, bool on) override {
        if (on)
            guarded.insert(computer.toCaseFolded());
        else
            guarded.remove(computer.toCaseFolded());
    }
    QSet<QString> guarded;
    QStringList vouched;

private:
    class Receiver : public network::DatagramReceiver {
    public:
        Receiver(std::unique_ptr<network::DatagramReceiver> inner, QStringList& vouched)
            : m_inner(std::move(inner)), m_vouched(vouched) {}
        QString name() const override { return m_inner->name(); }
        quint32 pendingCount() const override { return m_inner->pendingCount(); }
        quint32 nextSize() const override { return m_inner->nextSize(); }
        quint32 read(char* buffer, quint32 capacity) override {
            return m_inner->read(buffer, capacity);
        }
        QString lastSource() const override { return m_inner->lastSource(); }
        QByteArray lastSenderComputer() const override { return m_inner->lastSenderComputer(); }
        QByteArray lastTarget() const override { return m_inner->lastTarget(); }
        void vouchForLast() override {
            m_vouched.append(QString::fromUtf8(m_inner->lastSenderComputer()));
        }
        // NOLINTNEXTLINE(performance-unnecessary-value-param)
        bool setArrivalNotifier(std::function<void()> notify) override {
            return m_inner->setArrivalNotifier(std::move(notify));
        }

    private:
        std::unique_ptr<network::DatagramReceiver> m_inner;
        QStringList& m_vouched;
    };
};

quint32 senderIdOf(const QByteArray& datagram) {
    return qFromLittleEndian<quint32>(datagram.constData());
}

QByteArray withSequence(QByteArray datagram, quint32 sequence) {
    qToLittleEndian(sequence, datagram.data() + 4);
    return datagram;
}

// PC1 and PC2 are current copies (keys A and B), PC3 an older one without a key; each has
// greeted and been answered.
struct TrustLan : ::testing::Test {
    void SetUp() override {
        a.setIdentityKey(keyA);
        b = std::make_unique<ChatNode>(net2);
        b->setIdentityKey(keyB);
        for (ChatNode* node : nodes()) {
            node->walk();
            ChatNodeProbe(*node).session().SendGreeting();
            settle();
        }
        ASSERT_EQ(a.peers().count(), 3);
        ASSERT_EQ(b->peers().count(), 3);
        net2.sent.clear();
    }
    std::vector<ChatNode*> nodes() { return {&a, b.get(), &c}; }
    void settle() {
        for (int round = 0; round < 10; ++round)
            for (ChatNode* node : nodes())
                ChatNodeProbe(*node).receive();
    }
    const network::PeerEntry& entry(ChatNode& node, const QString& computer) {
        const int i = node.peers().indexOfComputer(computer);
        EXPECT_GE(i, 0) << computer.toStdString();
        return node.peers().at(std::max(i, 0));
    }
    // The last datagram PC2 sent to target.
    QByteArray lastFromB(const QString& target) {
        for (auto it = net2.sent.rbegin(); it != net2.sent.rend(); ++it)
            if (it->target.compare(target, Qt::CaseInsensitive) == 0)
                return it->datagram;
        ADD_FAILURE() << "PC2 sent nothing to " << target.toStdString();
        return {};
    }

    crypto::IdentityKey keyA = keyFor(1);
    crypto::IdentityKey keyB = keyFor(2);
    network::InMemoryHub hub;
    WatchedNetwork net1{hub, "PC1", kGroup};
    RecordingNetwork net2{hub, "PC2", kGroup};
    network::InMemoryNetwork net3{hub, "PC3", kGroup};
    ChatNode a{net1};
    std::unique_ptr<ChatNode> b;
    ChatNode c{net3};
};

} // namespace

TEST_F(TrustLan, CurrentCopiesPinEachOtherAndTheOlderCopyIsListedPlain) {
    EXPECT_EQ(entry(a, "PC2").trust, PeerTrust::Pinned);
    EXPECT_EQ(entry(a, "PC2").keyFingerprint, crypto::shortFingerprint(keyB.publicKey()));
    EXPECT_EQ(entry(*b, "PC1").trust, PeerTrust::Pinned);
    EXPECT_EQ(entry(a, "PC3").trust, PeerTrust::Plain);
    EXPECT_TRUE(entry(a, "PC3").keyFingerprint.isEmpty());
    // The older copy lists both current copies as it always did.
    EXPECT_EQ(entry(c, "PC1").displayText, "PC1 (@ WG)");
    EXPECT_EQ(entry(c, "PC2").trust, PeerTrust::Plain);
}

TEST_F(TrustLan, TrustIsToldOncePerComputerAndChange) {
    // A fresh pair of copies, to see the first contact's events.
    network::InMemoryHub otherHub;
    network::InMemoryNetwork n1(otherHub, "PC1", kGroup), n2(otherHub, "PC2", kGroup),
        n3(otherHub, "PC3", kGroup);
    ChatNode x(n1), y(n2), z(n3);
    x.setIdentityKey(keyA);
    y.setIdentityKey(keyB);
    EventLog log(x);
    for (int round = 0; round < 2; ++round) {
        for (ChatNode* node : {&x, &y, &z}) {
            node->walk();
            ChatNodeProbe(*node).session().SendGreeting();
            for (int i = 0; i < 5; ++i)
                for (ChatNode* n : {&x, &y, &z})
                    ChatNodeProbe(*n).receive();
        }
    }
    QStringList told;
    for (const auto& e : log.of<messaging::PeerTrustChanged>())
        told.append(e.computer + ' ' + network::peerTrustName(e.trust));
    EXPECT_EQ(told, (QStringList{"PC2 pinned", "PC3 plain"}));
    EXPECT_EQ(log.count<messaging::Refused>(), 0);
}

TEST_F(TrustLan, LinesBetweenCurrentCopiesTravelSealedAndShowTheirTrust) {
    EventLog atA(a);
    EventLog atC(c);
    ASSERT_TRUE(b->send({QStringLiteral("the secret word")}, false, false).result.ok());
    settle();
    // No byte of the line is on the wire to PC1 or to PC2 itself; PC3 gets it plain.
    const QByteArray encoded = messaging::EncodeText("the secret word");
    for (const auto& sent : net2.sent) {
        const bool toPlainCopy = sent.target == "PC3";
        EXPECT_EQ(sent.datagram.contains(encoded), toPlainCopy) << sent.target.toStdString();
    }
    const auto lines = atA.of<messaging::LineReceived>();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].line.text, "the secret word");
    EXPECT_TRUE(lines[0].line.encrypted);
    EXPECT_EQ(lines[0].line.senderTrust, PeerTrust::Pinned);
    EXPECT_EQ(lines[0].line.senderComputer, "PC2");
    const auto plainLines = atC.of<messaging::LineReceived>();
    ASSERT_EQ(plainLines.size(), 1u);
    EXPECT_EQ(plainLines[0].line.text, "the secret word");
}

TEST_F(TrustLan, TheOwnPublicLineComesBackSealedForItself) {
    EventLog atB(*b);
    b->send({QStringLiteral("mine")}, false, false);
    settle();
    const auto lines = atB.of<messaging::LineReceived>();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_TRUE(lines[0].line.own);
    EXPECT_TRUE(lines[0].line.encrypted);
    EXPECT_FALSE(lastFromB("PC2").contains(messaging::EncodeText("mine")));
}

TEST_F(TrustLan, PrivateLinesToTheOlderCopyGoPlainOnlyWhileThatIsAllowed) {
    EventLog atA(a);
    EventLog atC(c);
    const int pc3 = a.peers().indexOfComputer(u"PC3");
    ASSERT_TRUE(a.tickAlone(pc3));
    messaging::LineOutcome outcome = a.send({QStringLiteral("plain to you")}, false, true);
    settle();
    EXPECT_EQ(outcome.result.sentPlain, QStringList{"PC3"});
    EXPECT_TRUE(outcome.accepted());
    ASSERT_EQ(atC.count<messaging::LineReceived>(), 1);
    // And the older copy's lines come in plain.
    c.send({QStringLiteral("hello from the past")}, false, false);
    settle();
    const auto fromC = atA.of<messaging::LineReceived>();
    ASSERT_EQ(fromC.size(), 1u);
    EXPECT_FALSE(fromC[0].line.encrypted);
    EXPECT_EQ(fromC[0].line.senderTrust, PeerTrust::Plain);

    a.setPlainPrivateAllowed(false);
    atA.clear();
    atC.clear();
    outcome = a.send({QStringLiteral("not for plain eyes")}, false, true);
    settle();
    EXPECT_EQ(outcome.result.notEncrypted, QStringList{"PC3"});
    EXPECT_EQ(outcome.result.sent, 0);
    EXPECT_FALSE(outcome.accepted()) << "the user's text must stay to be sent again";
    EXPECT_EQ(atC.count<messaging::LineReceived>(), 0);
    const auto failed = atA.of<messaging::SendFailed>();
    ASSERT_EQ(failed.size(), 1u);
    EXPECT_EQ(failed[0].reason, messaging::SendFailed::Reason::NotEncrypted);
    EXPECT_EQ(failed[0].computer, "PC3");

    // A private line to a current copy is unaffected.
    ASSERT_TRUE(a.tickAlone(a.peers().indexOfComputer(u"PC2")));
    outcome = a.send({QStringLiteral("sealed for you")}, false, true);
    EXPECT_TRUE(outcome.result.ok());
    EXPECT_EQ(outcome.result.sent, 1);
    EXPECT_TRUE(outcome.result.sentPlain.isEmpty());
}

TEST_F(TrustLan, EachDeliveryOfAControlMessageHasACounterOfItsOwn) {
    EventLog atA(a);
    b->setDeliveries(3);
    b->announceIdentity(QStringLiteral("Bea"));
    settle();
    EXPECT_EQ(atA.count<messaging::Refused>(), 0);
    EXPECT_EQ(entry(a, "PC2").identity, "Bea");
}

TEST_F(TrustLan, ACopyWithoutAKeySendsThePlainFormByteForByte) {
    // PC3 has no key: its line to PC1 is exactly the plain payload.
    RecordingNetwork plainNet(hub, "PC4", kGroup);
    ChatNode plain(plainNet);
    plain.walk();
    ChatNodeProbe(plain).session().SendGreeting();
    plain.send({QStringLiteral("hi")}, false, false);
    ASSERT_FALSE(plainNet.sent.empty());
    for (const auto& sent : plainNet.sent)
        EXPECT_FALSE(sent.datagram.contains("KVX")) << sent.target.toStdString();
    const QByteArray last = plainNet.sent.back().datagram;
    EXPECT_EQ(last.mid(8), messaging::payloadFromPlainText("hi"));
}

namespace {

// What a forger sends to PC1 and what PC1 must make of it.
struct Forgery {
    const char* what;
    QString frameComputer; // the forger's network's name: what its frames say
    // The datagram, made from what PC2 sent PC1 before (its greeting, answer, a line...).
    std::function<QByteArray(TrustLan&)> make;
    RefusalReason reason;
    QString computer;
};

QByteArray signedBy(const crypto::IdentityKey& key, quint32 senderId, const QString& from,
                    const QString& to, const QByteArray& plain, std::uint64_t counter) {
    const messaging::EnvelopeContext context{senderId, network::wireName(from),
                                             network::wireName(to)};
    return messaging::signedPayload(key, counter, context, plain);
}

QByteArray sealedBy(const crypto::IdentityKey& key, const crypto::PublicKey& recipient,
                    quint32 senderId, const QString& from, const QString& to,
                    const QByteArray& plain, std::uint64_t counter) {
    const messaging::EnvelopeContext context{senderId, network::wireName(from),
                                             network::wireName(to)};
    const auto pair = crypto::PairKeys::derive(key, recipient);
    return messaging::sealedPayload(key, *pair, counter, context, plain);
}

} // namespace

TEST_F(TrustLan, EveryForgeryIsRefusedAndChangesNothing) {
    const crypto::IdentityKey evil = keyFor(9);
    const quint32 idB = b->senderId();
    const quint32 high = 0xFFFFFF00u;
    const std::vector<Forgery> forgeries = {
        {"a plain line in PC2's name", "PC2",
         [&](TrustLan&) {
             return terminalDatagram(idB, high, messaging::payloadFromPlainText("x"));
         },
         RefusalReason::Downgrade, "PC2"},
        {"a plain goodbye naming PC2 from elsewhere", "EVIL",
         [&](TrustLan&) {
             return terminalDatagram(
                 7, high, messaging::payloadFromPlainText(messaging::goodbyeText("PC2")));
         },
         RefusalReason::Downgrade, "PC2"},
        {"a plain greeting naming PC2", "EVIL",
         [&](TrustLan&) {
             return terminalDatagram(
                 7, high, messaging::payloadFromPlainText(messaging::greetingText("PC2", "WG")));
         },
         RefusalReason::Downgrade, "PC2"},
        {"a plain greeting in this computer's own name", "PC1",
         [&](TrustLan&) {
             return terminalDatagram(
                 7, high, messaging::payloadFromPlainText(messaging::greetingText("PC1", "WG")));
         },
         RefusalReason::Downgrade, "PC1"},
        {"a greeting in this computer's own name under another key", "PC1",
         [&](TrustLan&) {
             return terminalDatagram(
                 7, high, signedBy(evil, 7, "PC1", "PC1", messaging::greetingText("PC1", "WG"), 5));
         },
         RefusalReason::Key, "PC1"},
        {"an identity of PC2 signed by another key", "PC2",
         [&](TrustLan&) {
             return terminalDatagram(
                 idB, high,
                 signedBy(evil, idB, "PC2", "PC1", messaging::identityText("Mallory"), 5));
         },
         RefusalReason::Key, "PC2"},
        {"a goodbye of PC2 signed by another key", "PC2",
         [&](TrustLan&) {
             return terminalDatagram(
                 idB, high, signedBy(evil, idB, "PC2", "PC1", messaging::goodbyeText("PC2"), 5));
         },
         RefusalReason::Key, "PC2"},
        {"a line of PC2 sealed by another key", "PC2",
         [&](TrustLan& lan) {
             return terminalDatagram(
                 idB, high, sealedBy(evil, lan.keyA.publicKey(), idB, "PC2", "PC1", "x", 5));
         },
         RefusalReason::Key, "PC2"},
        {"a line under its own key with PC2's sender id", "EVIL",
         [&](TrustLan& lan) {
             return terminalDatagram(
                 idB, high, sealedBy(evil, lan.keyA.publicKey(), idB, "EVIL", "PC1", "x", 5));
         },
         RefusalReason::Key, "PC2"},
        {"PC2's line again with a higher sequence number", "PC2",
         [&](TrustLan& lan) { return withSequence(lan.lastFromB("PC1"), high); },
         RefusalReason::Replay, "PC2"},
        {"PC2's line with a byte of its seal changed", "PC2",
         [&](TrustLan& lan) {
             QByteArray d = withSequence(lan.lastFromB("PC1"), high);
             d[d.size() - 1] = char(d[d.size() - 1] ^ 1);
             return d;
         },
         RefusalReason::Auth, "PC2"},
        {"PC2's line under another sender id", "PC2",
         [&](TrustLan& lan) {
             QByteArray d = withSequence(lan.lastFromB("PC1"), high);
             qToLittleEndian(quint32(7), d.data());
             return d;
         },
         RefusalReason::Auth, "PC2"},
        {"PC2's line sent from another computer's frame", "PC9",
         [&](TrustLan& lan) { return withSequence(lan.lastFromB("PC1"), high); },
         RefusalReason::Auth, "PC9"},
        {"a damaged envelope", "PC2",
         [&](TrustLan&) {
             return terminalDatagram(idB, high, messaging::payloadFromPlainText("x") + "KVX\x01");
         },
         RefusalReason::Auth, "PC2"},
    };
    bool sawOwnNameClash = false;
    for (const Forgery& forgery : forgeries) {
        SCOPED_TRACE(forgery.what);
        // PC2 says something genuine first, the datagram the forger copies.
        b->send({QStringLiteral("genuine")}, false, false);
        settle();
        const int listed = a.peers().count();
        const QString identity = entry(a, "PC2").identity;
        const int refusalsBefore = a.refusals();
        const qsizetype vouchedBefore = net1.vouched.size();
        EventLog atA(a);

        network::InMemoryNetwork forger(hub, forgery.frameComputer, kGroup);
        forger.send(network::AddressKind::Named, "PC1", kSlot, forgery.make(*this));
        ChatNodeProbe(a).receive();

        const auto refused = atA.of<messaging::Refused>();
        ASSERT_EQ(refused.size(), 1u);
        EXPECT_EQ(refused[0].reason, forgery.reason);
        EXPECT_EQ(refused[0].computer, forgery.computer);
        EXPECT_EQ(a.refusals(), refusalsBefore + 1);
        // One in this computer's own name is told as another copy of that name, once.
        const bool ownName = forgery.computer == "PC1";
        EXPECT_EQ(atA.count<messaging::NameClash>(),
                  int(ownName && forgery.frameComputer == "PC1" && !sawOwnNameClash));
        sawOwnNameClash = sawOwnNameClash || atA.count<messaging::NameClash>() > 0;
        EXPECT_EQ(atA.all().size(), 1u + atA.count<messaging::NameClash>())
            << "a refused datagram changes nothing";
        EXPECT_EQ(a.peers().count(), listed);
        EXPECT_EQ(entry(a, "PC2").identity, identity);
        EXPECT_EQ(entry(a, "PC2").trust, PeerTrust::Pinned);
        EXPECT_EQ(net1.vouched.size(), vouchedBefore) << "nothing refused places a computer";

        // The forged sequence number was not taken: PC2's next line still arrives.
        atA.clear();
        b->send({QStringLiteral("still here")}, false, false);
        settle();
        const auto lines = atA.of<messaging::LineReceived>();
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(lines[0].line.text, "still here");
    }
}

// Two computers that go by one name (two hosts called "debian", or long host names cut to
// the same 15 bytes): the others cannot reach both. Each copy tells its user once where
// the other is, and greets again, once per run of the other copy, so that the other copy,
// which refuses this one's greeting alike, tells its user too. Greeting each other back
// and forth never starts, and whoever forges such datagrams gets a few greetings at most.
TEST_F(TrustLan, AnotherCopyInThisCopysNameIsToldOnceAndGreetedOncePerRun) {
    auto now = messaging::PresenceKeeper::Clock::now();
    ChatNodeProbe(a).session().setPresence(messaging::PresenceKeeper(
        messaging::PresenceKeeper::kDefaultInterval, [&now] { return now; }));
    const crypto::IdentityKey twinKey = keyFor(9);
    network::InMemoryNetwork twin(hub, "PC1", kGroup);
    std::uint64_t counter = 1;
    const auto twinGreets = [&](quint32 senderId) {
        twin.send(network::AddressKind::PrimaryGroup, {}, kSlot,
                  terminalDatagram(senderId, quint32(counter),
                                   signedBy(twinKey, senderId, "PC1", "WG",
                                            messaging::greetingText("PC1", "WG"), counter)));
        ++counter;
        settle();
    };
    const auto greetings = [&] { return net1.sendCount("wg"); };
    EventLog atA(a);

    int greeted = greetings();
    twinGreets(7);
    auto clashes = atA.of<messaging::NameClash>();
    ASSERT_EQ(clashes.size(), 1u);
    EXPECT_EQ(clashes[0].address, "PC1") << "where it came from (an address on a real LAN)";
    EXPECT_EQ(clashes[0].fingerprint, crypto::fingerprint(twinKey.publicKey()));
    EXPECT_GT(greetings(), greeted) << "greeted again, for the twin to learn of it";
    EXPECT_EQ(a.peers().count(), 3) << "the twin is not listed";
    // PC2 heard the twin's greeting too and shows PC1's key as changed. Its public lines
    // still reach this copy, which holds the pinned key, once each.
    EXPECT_EQ(entry(*b, "PC1").trust, PeerTrust::Changed);
    b->send({QStringLiteral("still here")}, false, false);
    settle();
    const auto lines = atA.of<messaging::LineReceived>();
    ASSERT_EQ(lines.size(), 1u) << "before, sealed for the twin's key, it never arrived";
    EXPECT_EQ(lines[0].line.text, "still here");
    EXPECT_EQ(lines[0].line.senderTrust, PeerTrust::Pinned);

    // The same run of the twin again, and this copy's own greeting coming back: nothing.
    greeted = greetings();
    twinGreets(7);
    EXPECT_EQ(greetings(), greeted);
    EXPECT_EQ(atA.count<messaging::NameClash>(), 1);

    // The twin starts again: greeted again, but not within a minute of the last greeting,
    // and the user is not told again of the same address.
    now += std::chrono::seconds(59);
    twinGreets(8);
    EXPECT_EQ(greetings(), greeted);
    now += std::chrono::seconds(2);
    twinGreets(9);
    EXPECT_GT(greetings(), greeted);
    EXPECT_EQ(atA.count<messaging::NameClash>(), 1);

    // A forger of ever new runs: a few greetings at most, however long it goes on.
    greeted = greetings();
    for (quint32 senderId = 10; senderId < 60; ++senderId) {
        now += std::chrono::minutes(2);
        twinGreets(senderId);
    }
    EXPECT_LE(greetings() - greeted, 16);
    EXPECT_EQ(atA.count<messaging::NameClash>(), 1);
}

// An older copy (no key) that goes by this copy's name is told as such.
TEST_F(TrustLan, AnOlderCopyInThisCopysNameIsTold) {
    EventLog atA(a);
    network::InMemoryNetwork twin(hub, "PC1", kGroup);
    twin.send(network::AddressKind::PrimaryGroup, {}, kSlot,
              terminalDatagram(
                  7, 1, messaging::payloadFromPlainText(messaging::greetingText("PC1", "WG"))));
    settle();
    const auto clashes = atA.of<messaging::NameClash>();
    ASSERT_EQ(clashes.size(), 1u);
    EXPECT_EQ(clashes[0].fingerprint, QString()) << "plain";
    // A greeting that names PC1 from another computer's frame only pretends to be PC1: it
    // is refused, but no copy goes by this name there.
    network::InMemoryNetwork other(hub, "EVIL", kGroup);
    other.send(network::AddressKind::Named, "PC1", kSlot,
               terminalDatagram(
                   7, 2, messaging::payloadFromPlainText(messaging::greetingText("PC1", "WG"))));
    settle();
    EXPECT_EQ(atA.count<messaging::NameClash>(), 1);
    EXPECT_EQ(atA.count<messaging::Refused>(), 2);
}

// PC2 ran with its clock an hour ahead (PC1 took its counters), and starts again with the
// clock put right: its floor of counters keeps it heard. Without the floor, PC1 would
// refuse everything it sends as a replay for that hour.
TEST_F(TrustLan, ACopyWhoseClockWasSetBackBetweenRunsIsStillHeard) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString floor = dir.filePath(QStringLiteral("counter.txt"));
    EventLog atA(a);
    auto restartB = [&](std::uint64_t (*clock)(), const QString& floorPath) {
        b.reset();
        b = std::make_unique<ChatNode>(net2);
        b->setIdentityKey(keyB);
        if (clock)
            ChatNodeProbe(*b).session().guard().setCounterClock(clock);
        EXPECT_TRUE(b->setCounterFloor(floorPath).isEmpty());
        b->walk();
        ChatNodeProbe(*b).session().SendGreeting();
        settle();
    };
    auto linesAtA = [&] {
        QStringList texts;
        for (const auto& e : atA.of<messaging::LineReceived>())
            texts.append(e.line.text);
        return texts;
    };
    static constexpr std::uint64_t kHour = 3'600'000'000;
    restartB([] { return std::uint64_t(QDateTime::currentMSecsSinceEpoch()) * 1000 + kHour; },
             floor);
    b->send({QStringLiteral("ahead")}, false, false);
    settle();
    auto hourBack = [] { return std::uint64_t(QDateTime::currentMSecsSinceEpoch()) * 1000; };
    restartB(hourBack, floor);
    b->send({QStringLiteral("put right")}, false, false);
    settle();
    EXPECT_EQ(linesAtA(), QStringList({"ahead", "put right"}));
    EXPECT_EQ(atA.count<messaging::Refused>(), 0);

    restartB(hourBack, QString()); // no floor kept
    b->send({QStringLiteral("lost")}, false, false);
    settle();
    EXPECT_EQ(linesAtA(), QStringList({"ahead", "put right"}));
    const auto refused = atA.of<messaging::Refused>();
    ASSERT_FALSE(refused.empty());
    EXPECT_EQ(refused.front().reason, RefusalReason::Replay);
}

// PC2 starts again and takes lines before its greeting lists anybody (the lines sent again
// to a copy that was killed a moment before come then): a line under the key it pinned for
// the computer shows who wrote it, not the sender's number; the older copy's still shows
// its number, and so does a line from a computer this copy has no key of.
TEST_F(TrustLan, ALineBeforeTheGreetingNamesItsPinnedAuthorNotANumber) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString book = dir.filePath(QStringLiteral("known-keys.txt"));
    ASSERT_TRUE(b->setTrustBook(book).isEmpty());
    ChatNodeProbe(*b).session().SendGreeting(); // pins PC1 again, now in the file
    settle();
    b.reset();
    b = std::make_unique<ChatNode>(net2);
    b->setIdentityKey(keyB);
    ASSERT_TRUE(b->setTrustBook(book).isEmpty());
    ASSERT_EQ(b->peers().count(), 0);
    EventLog atB(*b);
    a.setIdentity(QStringLiteral("Anna"));
    a.send({QStringLiteral("public, named")}, false, false);
    ASSERT_TRUE(a.tickAlone(a.peers().indexOfComputer(u"PC2")));
    a.send({QStringLiteral("private, by computer")}, false, true);
    c.send({QStringLiteral("from the older copy")}, false, false);
    settle();

    std::map<QString, messaging::ReceivedLine> byText;
    for (const auto& e : atB.of<messaging::LineReceived>())
        byText[e.line.text] = e.line;
    ASSERT_EQ(byText.size(), 3u);
    EXPECT_EQ(byText["public, named"].senderName, "Anna");
    EXPECT_EQ(byText["public, named"].senderTrust, PeerTrust::Pinned);
    EXPECT_EQ(byText["private, by computer"].senderName, "PC1");
    bool isNumber = false;
    byText["from the older copy"].senderName.toInt(&isNumber);
    EXPECT_TRUE(isNumber) << byText["from the older copy"].senderName.toStdString();
    EXPECT_EQ(byText["from the older copy"].senderTrust, PeerTrust::Plain);
    // Once listed, PC1's lines show its name as the list gives it, as before.
    ChatNodeProbe(*b).session().SendGreeting();
    settle();
    a.send({QStringLiteral("listed now")}, false, false);
    settle();
    const auto lines = atB.of<messaging::LineReceived>();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back().line.text, "listed now");
    EXPECT_EQ(lines.back().line.senderName, "Anna");
    b.reset(); // writes its book while the folder is there
}

TEST_F(TrustLan, AGreetingUnderANewKeyMarksTheComputerChangedUntilTheUserTakesIt) {
    EventLog atA(a);
    const qsizetype vouched = net1.vouched.size();
    // PC2 starts again with another key.
    b.reset();
    const crypto::IdentityKey newKey = keyFor(3);
    b = std::make_unique<ChatNode>(net2);
    b->setIdentityKey(newKey);
    EventLog atB(*b);
    b->walk();
    ChatNodeProbe(*b).session().SendGreeting();
    settle();

    const auto told = atA.of<messaging::PeerTrustChanged>();
    ASSERT_EQ(told.size(), 1u);
    EXPECT_EQ(told[0].computer, "PC2");
    EXPECT_EQ(told[0].trust, PeerTrust::Changed);
    EXPECT_EQ(told[0].oldFingerprint, crypto::fingerprint(keyB.publicKey()));
    EXPECT_EQ(told[0].newFingerprint, crypto::fingerprint(newKey.publicKey()));
    EXPECT_EQ(entry(a, "PC2").trust, PeerTrust::Changed);
    EXPECT_EQ(entry(a, "PC2").keyFingerprint, crypto::shortFingerprint(newKey.publicKey()));

    // Its lines come, marked, and this copy's public lines reach it, once each; a private
    // line to it waits for the user.
    b->send({QStringLiteral("it is me")}, false, false);
    settle();
    const auto lines = atA.of<messaging::LineReceived>();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].line.senderTrust, PeerTrust::Changed);
    a.send({QStringLiteral("welcome")}, false, false);
    settle();
    const auto atBPublic = atB.of<messaging::LineReceived>();
    EXPECT_EQ(
        std::count_if(atBPublic.begin(), atBPublic.end(),
                      [](const messaging::LineReceived& e) { return e.line.text == "welcome"; }),
        1);
    atB.clear();
    ASSERT_TRUE(a.tickAlone(a.peers().indexOfComputer(u"PC2")));
    messaging::LineOutcome outcome = a.send({QStringLiteral("prove it")}, false, true);
    EXPECT_EQ(outcome.result.notEncrypted, QStringList{"PC2"});
    EXPECT_EQ(outcome.result.sent, 0);
    // Nothing under the new key places PC2 while the user has not taken it.
    EXPECT_EQ(net1.vouched.size(), vouched);
    EXPECT_TRUE(net1.guarded.contains("pc2"));

    ASSERT_TRUE(a.acceptKeyChange("PC2"));
    EXPECT_EQ(entry(a, "PC2").trust, PeerTrust::Pinned);
    // What the new key sent before it was taken is still spent: its line, sent again, is
    // a replay.
    network::InMemoryNetwork forger(hub, "PC2", kGroup);
    forger.send(network::AddressKind::Named, "PC1", kSlot,
                withSequence(lastFromB("PC1"), 0xFFFFFF00u));
    ChatNodeProbe(a).receive();
    ASSERT_EQ(atA.count<messaging::Refused>(), 1);
    EXPECT_EQ(atA.of<messaging::Refused>()[0].reason, RefusalReason::Replay);
    outcome = a.send({QStringLiteral("welcome back")}, false, true);
    settle();
    EXPECT_EQ(outcome.result.sent, 1);
    const auto atBLines = atB.of<messaging::LineReceived>();
    ASSERT_FALSE(atBLines.empty());
    EXPECT_EQ(atBLines.back().line.text, "welcome back");
    EXPECT_TRUE(atBLines.back().line.encrypted);
    // The old key is not taken any more.
    EXPECT_FALSE(a.acceptKeyChange("PC2"));
    // What the user did was told once; PC2's next greeting tells nothing new.
    const auto toldNow = atA.of<messaging::PeerTrustChanged>();
    ASSERT_EQ(toldNow.size(), 2u);
    EXPECT_EQ(toldNow[1].trust, PeerTrust::Pinned);
    ChatNodeProbe(*b).session().SendGreeting();
    settle();
    EXPECT_EQ(atA.count<messaging::PeerTrustChanged>(), 2);
    EXPECT_EQ(atA.count<messaging::Refused>(), 1);
    // The taken key places PC2 again.
    EXPECT_EQ(net1.vouched.mid(vouched), QStringList{"PC2"});
}

// Where a computer with a pinned key is comes only from its own datagrams, the newest under
// its key: what a forger can send again (or hold back and send later) places nothing.
TEST_F(TrustLan, OnlyTheNewestDatagramUnderAPinnedKeyPlacesItsComputer) {
    EXPECT_EQ(net1.guarded, QSet<QString>{"pc2"}) << "the computers with a pinned key";
    ASSERT_FALSE(net1.vouched.isEmpty());
    EXPECT_EQ(net1.vouched.count("PC2"), net1.vouched.size());

    EventLog atA(a);
    network::InMemoryNetwork forger(hub, "PC2", kGroup);
    const quint32 idB = b->senderId();
    const std::uint64_t later = quint64(QDateTime::currentMSecsSinceEpoch() + 10000) * 1000;
    struct Case {
        const char* what;
        std::uint64_t counter;
        bool taken;
        bool places;
    } cases[] = {
        {"newer than all before", later, true, true},
        {"overtaken: older and not seen yet", later - 10, true, false},
        {"the newest sent again", later, false, false},
        {"newer again", later + 1, true, true},
    };
    quint32 sequence = 0xFFFF0000u;
    for (const Case& test : cases) {
        SCOPED_TRACE(test.what);
        atA.clear();
        const qsizetype vouched = net1.vouched.size();
        forger.send(network::AddressKind::Named, "PC1", kSlot,
                    terminalDatagram(idB, ++sequence,
                                     signedBy(keyB, idB, "PC2", "PC1",
                                              messaging::identityText("Bob"), test.counter)));
        ChatNodeProbe(a).receive();
        EXPECT_EQ(atA.count<messaging::Refused>(), test.taken ? 0 : 1);
        EXPECT_EQ(net1.vouched.size(), vouched + (test.places ? 1 : 0));
    }

    // The older copy's lines place nothing: its address is the network's to learn.
    const qsizetype vouched = net1.vouched.size();
    c.send({QStringLiteral("plain")}, false, false);
    settle();
    EXPECT_EQ(net1.vouched.size(), vouched);
}

// The datagram that pinned a key, sent again while nothing newer came under that key: the
// counter it spent before the key was pinned is still spent, so it is a replay, and it
// places nothing.
TEST(ChatTrustFirstContact, TheDatagramThatPinnedAKeyCannotBeSentAgain) {
    network::InMemoryHub hub;
    WatchedNetwork net1(hub, "PC1", kGroup);
    RecordingNetwork net2(hub, "PC2", kGroup);
    ChatNode a(net1), b(net2);
    a.setIdentityKey(keyFor(1));
    b.setIdentityKey(keyFor(2));
    EventLog atA(a);
    a.walk();
    ChatNodeProbe(a).session().SendGreeting();
    ChatNodeProbe(b).receive(); // b answers
    ChatNodeProbe(a).receive(); // the answer pins b's key
    const int listed = a.peers().indexOfComputer(u"PC2");
    ASSERT_GE(listed, 0);
    ASSERT_EQ(a.peers().at(listed).trust, PeerTrust::Pinned);
    // The answer, and the sign of life that follows it, each placed PC2.
    EXPECT_EQ(net1.vouched, (QStringList{"PC2", "PC2"}));
    QByteArray answer;
    for (const auto& sent : net2.sent)
        if (sent.target == "PC1" && answer.isEmpty())
            answer = sent.datagram;
    ASSERT_FALSE(answer.isEmpty());

    network::InMemoryNetwork forger(hub, "PC2", kGroup);
    forger.send(network::AddressKind::Named, "PC1", kSlot, withSequence(answer, 0xFFFFFF00u));
    ChatNodeProbe(a).receive();
    const auto refused = atA.of<messaging::Refused>();
    ASSERT_EQ(refused.size(), 1u);
    EXPECT_EQ(refused[0].reason, RefusalReason::Replay);
    EXPECT_EQ(atA.count<messaging::LineReceived>(), 0);
    EXPECT_EQ(net1.vouched, (QStringList{"PC2", "PC2"}));
}

TEST_F(TrustLan, VerifyingAPinnedKeyIsShownAndKept) {
    EventLog atA(a);
    ASSERT_TRUE(a.markVerified("PC2"));
    EXPECT_EQ(entry(a, "PC2").trust, PeerTrust::Verified);
    ASSERT_EQ(atA.count<messaging::PeerTrustChanged>(), 1);
    EXPECT_FALSE(a.markVerified("PC3")) << "a copy without a key cannot be verified";
}

TEST(ChatTrustBook, ReplayMarksAndPinsOutliveARestart) {
    QTemporaryDir dir;
    const QString book = dir.filePath("known-keys");
    network::InMemoryHub hub;
    WatchedNetwork net1(hub, "PC1", kGroup);
    RecordingNetwork net2(hub, "PC2", kGroup);
    QByteArray captured;
    {
        ChatNode a(net1), b(net2);
        a.setIdentityKey(keyFor(1));
        EXPECT_TRUE(a.setTrustBook(book).isEmpty());
        b.setIdentityKey(keyFor(2));
        for (ChatNode* node : {&a, &b}) {
            node->walk();
            ChatNodeProbe(*node).session().SendGreeting();
            for (int i = 0; i < 4; ++i) {
                ChatNodeProbe(a).receive();
                ChatNodeProbe(b).receive();
            }
        }
        // A key pinned is written soon; counters alone, which every datagram moves, later.
        const QTimer& timer = ChatNodeProbe(a).bookTimer();
        EXPECT_TRUE(timer.isActive());
        EXPECT_LE(timer.remainingTimeAsDuration(), 2 * ChatNode::kBookSaveDelay); // coarse
        EXPECT_TRUE(a.saveTrustBook().isEmpty());
        EXPECT_FALSE(timer.isActive());
        b.send({QStringLiteral("recorded")}, false, false);
        ChatNodeProbe(a).receive();
        EXPECT_TRUE(timer.isActive());
        EXPECT_GT(timer.remainingTimeAsDuration(), 2 * ChatNode::kBookSaveDelay);
        for (auto it = net2.sent.rbegin(); it != net2.sent.rend() && captured.isEmpty(); ++it)
            if (it->target == "PC1")
                captured = it->datagram;
    } // a writes its book as it ends
    ASSERT_FALSE(captured.isEmpty());
    EXPECT_TRUE(net1.guarded.isEmpty()) << "a copy that ends leaves addresses to the network";
    {
        // Without a key the book guards nothing: the copy learns addresses as before.
        ChatNode keyless(net1);
        EXPECT_TRUE(keyless.setTrustBook(book).isEmpty());
        EXPECT_TRUE(net1.guarded.isEmpty());
    }

    // The book read before the key is given: every computer in it is guarded from the start.
    ChatNode again(net1);
    EXPECT_TRUE(again.setTrustBook(book).isEmpty());
    again.setIdentityKey(keyFor(1));
    EXPECT_EQ(net1.guarded, QSet<QString>{"pc2"});
    EventLog log(again);
    // The recorded line, sent again after the restart: the terminal has never seen its
    // sender id, so only the kept replay mark stops it.
    network::InMemoryNetwork forger(hub, "PC2", kGroup);
    forger.send(network::AddressKind::Named, "PC1", kSlot, captured);
    ChatNodeProbe(again).receive();
    const auto refused = log.of<messaging::Refused>();
    ASSERT_EQ(refused.size(), 1u);
    EXPECT_EQ(refused[0].reason, RefusalReason::Replay);
    EXPECT_EQ(log.count<messaging::LineReceived>(), 0);
    // And PC2 is still pinned: a plain line in its name is a downgrade.
    forger.send(network::AddressKind::Named, "PC1", kSlot,
                terminalDatagram(senderIdOf(captured), 99, messaging::payloadFromPlainText("x")));
    ChatNodeProbe(again).receive();
    ASSERT_EQ(log.count<messaging::Refused>(), 2);
    EXPECT_EQ(log.of<messaging::Refused>()[1].reason, RefusalReason::Downgrade);
}

TEST(ChatTrustBook, ABookThatCannotBeReadIsReported) {
    QTemporaryDir dir;
    network::InMemoryHub hub;
    network::InMemoryNetwork net(hub, "PC1", kGroup);
    ChatNode node(net);
    node.setIdentityKey(keyFor(1));
    // A folder where the file should be.
    ASSERT_TRUE(QDir(dir.path()).mkdir("book"));
    EXPECT_FALSE(node.setTrustBook(dir.filePath("book")).isEmpty());
}
