// Presence between copies with keys on an in-memory LAN, on a clock the tests move: the
// signs of life (how many, to whom, how spread), a silent copy greyed and then removed (a
// friend kept greyed), a copy heard again, forgeries that would keep a silent copy alive,
// and what never expires.

#include "messaging/presence.h"

#include "crypto/identity_key.h"
#include "messaging/chat_node.h"
#include "messaging/chat_protocol.h"
#include "messaging/envelope.h"
#include "network/datagram_network.h"
#include "network/memory_network.h"

#include "support/chat_node_probe.h"
#include "support/keyed_lan.h"
#include "support/qt_print.h"

#include <QTemporaryDir>
#include <QTimeZone>
#include <QtEndian>

#include <gtest/gtest.h>

#include <cerrno>
#include <memory>

using namespace kalvento;
using namespace std::chrono_literals;
using messaging::ChatNode;
using messaging::PresenceKeeper;
using messaging::RefusalReason;
using network::PeerPresence;
using test::ChatNodeProbe;
using test::EventLog;
using test::keyFor;
using test::RecordingNetwork;
using test::terminalDatagram;

namespace {

const QString kGroup = QStringLiteral("WG");
const QString kSlot = QStringLiteral("Terminal");

QStringList presenceTold(const EventLog& log) {
    QStringList told;
    for (const auto& e : log.of<messaging::PresenceChanged>())
        told.append(e.computer + ' ' + network::peerPresenceName(e.state));
    return told;
}

// PC1, PC2 and PC3 are copies with keys, PC4 an older copy without. PC3's user is Carol,
// a friend of PC2's user. Every copy has greeted and been answered; the clock is the
// tests' own.
struct PresenceLan : ::testing::Test {
    static constexpr std::chrono::milliseconds kInterval = 10s;

    void SetUp() override {
        for (auto [node, seed] : {std::pair<ChatNode*, char>{&a, 1}, {&b, 2}, {&c, 3}})
            node->setIdentityKey(keyFor(seed));
        c.setIdentity(QStringLiteral("Carol"));
        b.setFriends({QStringLiteral("carol")});
        for (ChatNode* node : nodes())
            ChatNodeProbe(*node).session().setPresence(keeper());
        for (ChatNode* node : nodes()) {
            node->walk();
            ChatNodeProbe(*node).session().SendGreeting();
            settle();
        }
        for (ChatNode* node : nodes())
            ASSERT_EQ(node->peers().count(), 4);
        for (RecordingNetwork* net : {&net1, &net2, &net3, &net4})
            net->sent.clear();
    }
    PresenceKeeper keeper() {
        return PresenceKeeper(
            kInterval, [this] { return now; },
            [this] {
                return start.addMSecs(std::chrono::duration_cast<std::chrono::milliseconds>(
                                          now - PresenceKeeper::Clock::time_point{})
                                          .count());
            });
    }
    std::vector<ChatNode*> nodes() { return {&a, &b, &c, &d}; }
    messaging::ChatSession& session(ChatNode& node) { return ChatNodeProbe(node).session(); }
    // Reception everywhere but on the copies that are gone (killed: they answer nothing).
    void settle() {
        for (int round = 0; round < 10; ++round)
            for (ChatNode* node : nodes())
                if (!dead.contains(node))
                    ChatNodeProbe(*node).receive();
    }
    // A round of signs of life from each sender, then reception everywhere.
    void signsOfLife(std::initializer_list<ChatNode*> senders) {
        for (ChatNode* node : senders)
            session(*node).sendSignsOfLife();
        settle();
    }
    // Time passes without a sign of life; every copy checks (and asks after the silent).
    void pass(std::chrono::milliseconds time) {
        now += time;
        for (ChatNode* node : nodes())
            if (!dead.contains(node))
                session(*node).checkPresence();
        settle();
    }
    // Intervals go by; the live copies send their signs of life in each, every copy checks.
    void intervals(int count, std::initializer_list<ChatNode*> live) {
        for (int i = 0; i < count; ++i) {
            now += kInterval;
            signsOfLife(live);
            for (ChatNode* node : nodes())
                if (!dead.contains(node))
                    session(*node).checkPresence();
            settle();
        }
    }
    const network::PeerEntry* entry(ChatNode& node, const QString& computer) {
        const int i = node.peers().indexOfComputer(computer);
        return i < 0 ? nullptr : &node.peers().at(i);
    }
    QDateTime wallAt(PresenceKeeper::Clock::time_point t) const {
        return start.addMSecs(std::chrono::duration_cast<std::chrono::milliseconds>(
                                  t - PresenceKeeper::Clock::time_point{})
                                  .count());
    }

    PresenceKeeper::Clock::time_point now{std::chrono::hours(1)};
    // Killed copies: nothing they send arrives, and they are not run.
    QSet<ChatNode*> dead;
    void kill(ChatNode& node) {
        dead.insert(&node);
        netOf(node).lost = true;
    }
    void revive(ChatNode& node) {
        dead.remove(&node);
        netOf(node).lost = false;
    }
    RecordingNetwork& netOf(ChatNode& node) {
        return &node == &a ? net1 : &node == &b ? net2 : &node == &c ? net3 : net4;
    }
    const QDateTime start{QDate(2026, 12, 9), QTime(9, 0), QTimeZone::utc()};
    network::InMemoryHub hub;
    RecordingNetwork net1{hub, "PC1", kGroup};
    RecordingNetwork net2{hub, "PC2", kGroup};
    RecordingNetwork net3{hub, "PC3", kGroup};
    RecordingNetwork net4{hub, "PC4", kGroup};
    ChatNode a{net1};
    ChatNode b{net2};
    ChatNode c{net3};
    ChatNode d{net4};
};

} // namespace

TEST(PresenceKeeper, TheFirstRoundFallsAtARandomMomentOfTheInterval) {
    // Copies started together (after a power cut) must not all send at the same moment.
    for (const auto interval : {60s, 1s}) {
        const PresenceKeeper keeper(interval);
        QSet<qint64> seen;
        for (int i = 0; i < 200; ++i) {
            const auto first = keeper.firstRound();
            EXPECT_GT(first, 0ms);
            EXPECT_LE(first, interval);
            seen.insert(first.count());
        }
        EXPECT_GT(seen.size(), 50) << interval.count();
    }
}

TEST(PresenceKeeper, TheIntervalComesFromTheEnvironmentWhenItIsSensible) {
    struct Case {
        const char* value;
        std::chrono::milliseconds interval;
    };
    for (const Case& c : {Case{"1000", 1000ms}, Case{"250", 250ms}, Case{"", 60s}, Case{"99", 60s},
                          Case{"abc", 60s}, Case{"-5", 60s}, Case{"3600001", 60s}}) {
        qputenv("KALVENTO_PRESENCE_MS", c.value);
        EXPECT_EQ(PresenceKeeper::intervalFromEnvironment(), c.interval) << c.value;
    }
    qunsetenv("KALVENTO_PRESENCE_MS");
    EXPECT_EQ(PresenceKeeper::intervalFromEnvironment(), 60s);
}

TEST_F(PresenceLan, SignsOfLifeGoSignedToPinnedComputersOnceAnInterval) {
    messaging::ChatSession& atA = session(a);
    EXPECT_EQ(atA.presenceRecipients(), (QStringList{"PC2", "PC3"}));
    ASSERT_TRUE(atA.signsOfLifeRunning());
    for (int round = 0; round < 2; ++round) {
        net1.sent.clear();
        atA.sendSignsOfLife();
        ASSERT_EQ(net1.targets(), (QStringList{"PC2", "PC3"}));
        for (const auto& sent : net1.sent) {
            const messaging::SplitPayload split =
                messaging::splitPayload(QByteArrayView(sent.datagram).sliced(8));
            EXPECT_EQ(split.visible, QByteArray("#ALV#available"));
            ASSERT_TRUE(split.envelope);
            EXPECT_EQ(split.envelope->kind, messaging::EnvelopeKind::Signed);
        }
    }
    // The older copy sends none and runs no timer for them.
    EXPECT_FALSE(session(d).signsOfLifeRunning());
    session(d).sendSignsOfLife();
    EXPECT_TRUE(net4.sent.empty());
    // And one that reaches it changes nothing there: no line, no list change.
    EventLog atD(d);
    network::InMemoryNetwork sender(hub, "PC1", kGroup);
    sender.send(network::AddressKind::Named, "PC4", kSlot,
                terminalDatagram(a.senderId(), 0xFFFFFF00u,
                                 messaging::signedPayload(keyFor(1), 1ull << 62,
                                                          {a.senderId(), "PC1", "PC4"},
                                                          messaging::signOfLifeText("available"))));
    ChatNodeProbe(d).receive();
    EXPECT_TRUE(atD.all().empty());
    EXPECT_EQ(d.peers().count(), 4);
}

TEST(PresenceAlone, ARoundReachesEachPinnedComputerOnceAnInterval) {
    // 150 listed computers with pinned keys (and 10 plain ones), every address confirmed.
    struct Confirmed : RecordingNetwork {
        using RecordingNetwork::RecordingNetwork;
        network::Reach reach(const QString&) const override { return network::Reach::Confirmed; }
    };
    network::InMemoryHub hub;
    Confirmed net(hub, "PC0", kGroup);
    ChatNode node(net);
    node.setIdentityKey(keyFor(1));
    messaging::ChatSession& session = ChatNodeProbe(node).session();
    session.setPresence(PresenceKeeper(60s));
    for (int i = 1; i <= 160; ++i) {
        const QString name = QStringLiteral("PC%1").arg(i);
        if (i <= 150) { // as reception does: pinned as the answer arrives, then listed
            session.guard().book().see(name, keyFor(char(i)).publicKey());
            ChatNodeProbe(node).peers().setTrust(name, network::PeerTrust::Pinned, {});
        }
        ChatNodeProbe(node).peers().AnswerReceived(name, kGroup, 1000 + i);
    }
    ASSERT_TRUE(session.signsOfLifeRunning());
    for (int interval = 0; interval < 2; ++interval) {
        net.sent.clear();
        QHash<QString, int> got;
        session.sendSignsOfLife(); // one wake-up sends the round
        for (const auto& sent : net.sent)
            ++got[sent.target];
        EXPECT_EQ(net.sent.size(), 150u);
        EXPECT_EQ(got.size(), 150) << "each pinned computer, none of the plain ones";
        for (auto it = got.cbegin(); it != got.cend(); ++it)
            EXPECT_EQ(it.value(), 1) << it.key().toStdString();
        EXPECT_FALSE(got.contains("PC151"));
    }
}

TEST(PresenceAlone, ACopyWithAKeyAmongOlderCopiesOnlyNeverWakesForPresence) {
    network::InMemoryHub hub;
    RecordingNetwork net1(hub, "PC1", kGroup);
    network::InMemoryNetwork net2(hub, "PC2", kGroup);
    ChatNode keyed(net1);
    ChatNode older(net2);
    keyed.setIdentityKey(keyFor(1));
    for (ChatNode* node : {&keyed, &older}) {
        node->walk();
        ChatNodeProbe(*node).session().SendGreeting();
        for (int i = 0; i < 5; ++i)
            for (ChatNode* n : {&keyed, &older})
                ChatNodeProbe(*n).receive();
    }
    ASSERT_EQ(keyed.peers().count(), 2);
    EXPECT_FALSE(ChatNodeProbe(keyed).session().signsOfLifeRunning());
    net1.sent.clear();
    ChatNodeProbe(keyed).session().sendSignsOfLife();
    EXPECT_TRUE(net1.sent.empty());
}

TEST_F(PresenceLan, ASilentCopyIsAskedGreyedAndRemovedWithinTwoIntervals) {
    signsOfLife({&a, &b, &c});
    const QDateTime lastHeard = wallAt(now);
    EventLog atA(a);
    EventLog atB(b);
    kill(c); // it sends and answers nothing from now on

    intervals(1, {&a, &b});
    EXPECT_TRUE(entry(a, "PC3")->present());
    // A quarter of an interval late: asked with a greeting, still shown as there.
    net1.sent.clear();
    pass(kInterval * 3 / 10);
    EXPECT_EQ(net1.targets().count("PC3"), 1);
    EXPECT_TRUE(entry(a, "PC3")->present());
    // Half an interval late: greyed, and asked once more.
    net1.sent.clear();
    pass(kInterval / 4);
    EXPECT_EQ(net1.targets().count("PC3"), 1);
    EXPECT_EQ(presenceTold(atA), QStringList{"PC3 absent"});
    EXPECT_EQ(presenceTold(atB), QStringList{"PC3 absent"});
    const network::PeerEntry* greyed = entry(a, "PC3");
    ASSERT_TRUE(greyed);
    EXPECT_FALSE(greyed->present());
    EXPECT_EQ(greyed->lastSeen, lastHeard);
    const QModelIndex row = a.listModel().index(a.peers().indexOfComputer(u"PC3"), 0);
    EXPECT_EQ(row.data(network::PeerList::PresenceRole).toInt(), int(PeerPresence::Absent));
    EXPECT_EQ(row.data(network::PeerList::LastSeenRole).toDateTime(), lastHeard);

    // A sign of life moves lastSeen without redrawing the entry: only the greying did.
    EXPECT_EQ(atA.count<messaging::PeerChanged>(), 1);
    // Before two intervals of silence: removed.
    pass(kInterval * 4 / 10);
    EXPECT_LT(now - (PresenceKeeper::Clock::time_point{std::chrono::hours(1)}), 2 * kInterval);
    EXPECT_EQ(presenceTold(atA), (QStringList{"PC3 absent", "PC3 gone"}));
    EXPECT_EQ(entry(a, "PC3"), nullptr);
    ASSERT_EQ(atA.count<messaging::PeerRemoved>(), 1);
    EXPECT_EQ(atA.of<messaging::PeerRemoved>()[0].computerName, "PC3");
    // Carol is PC2's friend: kept, greyed, for good.
    intervals(6, {&a, &b});
    EXPECT_EQ(presenceTold(atB), QStringList{"PC3 absent"});
    ASSERT_TRUE(entry(b, "PC3"));
    EXPECT_FALSE(entry(b, "PC3")->present());
    // The live copies stayed present to each other, and the older copy, which sends no
    // sign of life, stays listed as it always did.
    for (ChatNode* node : {&a, &b}) {
        ASSERT_TRUE(entry(*node, "PC4"));
        EXPECT_EQ(entry(*node, "PC4")->presence, PeerPresence::Available);
    }
    EXPECT_TRUE(entry(a, "PC2")->present());
    EXPECT_TRUE(entry(b, "PC1")->present());
}

TEST_F(PresenceLan, ALostSignOfLifeGreysNobodyThatAnswers) {
    signsOfLife({&a, &b, &c});
    EventLog atA(a);
    // PC3's next sign of life is lost; PC3 itself is there and answers when asked.
    now += kInterval;
    signsOfLife({&a, &b});
    pass(kInterval * 3 / 10);
    pass(kInterval / 4);
    pass(kInterval / 2);
    EXPECT_TRUE(presenceTold(atA).isEmpty());
    EXPECT_TRUE(entry(a, "PC3")->present());
}

TEST_F(PresenceLan, ACopyThatSendsNoSignOfLifeIsNeverTakenForGone) {
    // PC2 has a key but never sent PC1 a sign of life (as a version before them): it is
    // listed as long as it does not say goodbye, as before. Here PC1 forgets the one it
    // had at the start, and nothing of PC2's reaches PC1 any more.
    session(a).presence().forget("PC2");
    net2.lostTo = QStringList{"pc1"};
    signsOfLife({&a, &c});
    EventLog atA(a);
    intervals(10, {&a, &c});
    ASSERT_TRUE(entry(a, "PC2"));
    EXPECT_EQ(entry(a, "PC2")->presence, PeerPresence::Available);
    EXPECT_TRUE(presenceTold(atA).isEmpty());
}

TEST_F(PresenceLan, ACopyHeardAgainIsBackAtOnce) {
    signsOfLife({&a, &b, &c});
    net3.lost = true; // its datagrams are lost for a while
    intervals(1, {&a, &b});
    pass(kInterval * 6 / 10);
    ASSERT_FALSE(entry(a, "PC3")->present());
    net3.lost = false;
    EventLog atA(a);
    // Any authenticated datagram will do: a line.
    c.send({QStringLiteral("back")}, false, false);
    settle();
    EXPECT_EQ(presenceTold(atA), QStringList{"PC3 available"});
    EXPECT_TRUE(entry(a, "PC3")->present());
    EXPECT_EQ(entry(a, "PC3")->lastSeen, wallAt(now));

    // Gone, then started again: its greeting lists it and tells it available at once.
    kill(c);
    intervals(2, {&a, &b});
    ASSERT_EQ(entry(a, "PC3"), nullptr);
    revive(c);
    atA.clear();
    session(c).SendGreeting();
    settle();
    ASSERT_TRUE(entry(a, "PC3"));
    EXPECT_EQ(presenceTold(atA), QStringList{"PC3 available"});
}

TEST_F(PresenceLan, ACopyRemovedWhileApartGreetsBackAndIsListedAgain) {
    signsOfLife({&a, &b, &c});
    // PC3 hears PC1 all along, PC1 does not hear PC3 (a one-way loss), so PC1 removes it.
    net3.lostTo = QStringList{"pc1"};
    for (int i = 0; i < 4; ++i) {
        now += kInterval;
        signsOfLife({&a, &b});
        session(a).checkPresence();
        settle();
    }
    ASSERT_EQ(entry(a, "PC3"), nullptr);
    ASSERT_TRUE(entry(c, "PC1"));
    net3.lostTo.clear();
    EventLog atA(a);
    // PC3's next sign of life to PC1 draws a greeting, whose answer lists PC3 again.
    signsOfLife({&c});
    ASSERT_TRUE(entry(a, "PC3"));
    EXPECT_TRUE(entry(a, "PC3")->present());
    EXPECT_TRUE(presenceTold(atA).contains("PC3 available"));
    // Greeted once an interval at most, however many signs come.
    net1.sent.clear();
    ChatNodeProbe(a).peers().remove("PC3");
    signsOfLife({&c});
    signsOfLife({&c});
    EXPECT_EQ(net1.targets().count("PC3"), 0);
}

// A computer heard again after the two lost each other tells when it was last heard: greyed,
// gone, or silent that long by the wall clock alone (this computer slept, and the steady
// clock stood still). A late sign of life or a copy that is simply heard tells nothing.
TEST(PresenceKeeper, AComputerHeardAgainAfterASilenceTellsWhenItWasLastHeard) {
    constexpr std::chrono::milliseconds interval = 10s;
    PresenceKeeper::Clock::time_point steady{std::chrono::hours(1)};
    const QDateTime start(QDate(2026, 12, 9), QTime(9, 0), QTimeZone::utc());
    QDateTime wall = start;
    PresenceKeeper keeper(
        interval, [&] { return steady; }, [&] { return wall; });
    const auto passing = [&](std::chrono::milliseconds time, bool wallToo = true) {
        steady += time;
        if (wallToo)
            wall = wall.addMSecs(time.count());
    };
    const auto heard = [&](const QString& computer) {
        QDateTime since;
        keeper.heard(computer, true, PeerPresence::Available, {}, &since);
        return since;
    };
    const auto never = [](const QString&) { return false; };

    EXPECT_FALSE(heard("PC1").isValid()); // first heard
    passing(12s);                         // a sign of life late, not lost
    EXPECT_FALSE(heard("PC1").isValid());

    const QDateTime beforeSilence = wall;
    passing(16s);
    ASSERT_EQ(keeper.expire(never).size(), 1); // greyed
    EXPECT_EQ(heard("PC1"), beforeSilence);
    EXPECT_FALSE(heard("PC1").isValid());

    const QDateTime beforeGone = wall;
    passing(20s);
    ASSERT_EQ(keeper.expire(never).size(), 1); // gone
    ASSERT_EQ(keeper.followed(), 0);
    EXPECT_EQ(heard("pc1"), beforeGone);

    // Asleep for ten minutes: the steady clock moved a second, the wall clock all of it.
    const QDateTime beforeSleep = wall;
    steady += 1s;
    wall = wall.addSecs(600);
    EXPECT_TRUE(keeper.expire(never).isEmpty());
    EXPECT_EQ(heard("PC1"), beforeSleep);

    // A goodbye is no silence: a copy that said it is heard like a new one.
    keeper.forget("PC1");
    passing(60s);
    EXPECT_FALSE(heard("PC1").isValid());
}

// A copy cut off from the network (a cable pulled, Wi-Fi gone) loses every other copy, and
// they lose it. When its link comes back it greets again, everybody lists everybody, and
// it takes the public lines said while it was away from those it hears again: each once,
// not those it saw before.
TEST_F(PresenceLan, ACopyCutOffFindsTheOthersWhenItsLinkIsBackAndCatchesUp) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    for (ChatNode* node : {&a, &b, &c})
        ASSERT_TRUE(node->setCatchUpMark(dir.filePath(node->computerName())).isEmpty());
    const QString link = QStringLiteral("eth0 198.51.100.11/198.51.100.255");
    net1.setLiveLinks({link});
    EventLog atA(a);
    ChatNodeProbe(a).checkLinks();
    EXPECT_TRUE(atA.of<messaging::NetworkBack>().empty()); // the link it started with
    a.greet();
    settle();
    signsOfLife({&a, &b, &c});
    b.send({QStringLiteral("before")}, false, false);
    settle();

    // Cut off: nothing of PC1's goes out, nothing reaches it, its link is down.
    net1.lost = true;
    for (RecordingNetwork* net : {&net2, &net3, &net4})
        net->lostTo = QStringList{"pc1"};
    net1.setLiveLinks({});
    ChatNodeProbe(a).checkLinks();
    intervals(3, {&b, &c});
    ASSERT_EQ(entry(a, "PC2"), nullptr);
    ASSERT_EQ(entry(b, "PC1"), nullptr);
    b.send({QStringLiteral("while you were away")}, false, false);
    c.send({QStringLiteral("me too")}, false, false);
    settle();
    // Nobody greets it back by themselves: only its own greeting brings them together.
    intervals(1, {&b, &c});
    ASSERT_EQ(entry(a, "PC2"), nullptr);

    net1.lost = false;
    for (RecordingNetwork* net : {&net2, &net3, &net4})
        net->lostTo.clear();
    atA.clear();
    ChatNodeProbe(a).checkLinks(); // not back yet
    EXPECT_TRUE(atA.of<messaging::NetworkBack>().empty());
    net1.setLiveLinks({link});
    ChatNodeProbe(a).checkLinks();
    ASSERT_EQ(atA.of<messaging::NetworkBack>().size(), 1u);
    EXPECT_EQ(atA.of<messaging::NetworkBack>()[0].links, QStringList{link});
    settle();
    for (const char* computer : {"PC2", "PC3", "PC4"})
        EXPECT_TRUE(entry(a, computer)) << computer;
    EXPECT_TRUE(entry(b, "PC1"));
    EXPECT_TRUE(entry(c, "PC1"));

    signsOfLife({&b, &c});
    session(a).showCaughtUp();
    QStringList caught;
    for (const auto& e : atA.of<messaging::LineReceived>())
        if (e.line.caughtUp)
            caught.append(e.line.senderComputer + ": " + e.line.text);
    EXPECT_EQ(caught, (QStringList{"PC2: while you were away", "PC3: me too"}));
    // The same copies heard again at once ask nothing more.
    atA.clear();
    signsOfLife({&b, &c});
    session(a).showCaughtUp();
    EXPECT_TRUE(atA.of<messaging::LineReceived>().empty());
    ChatNodeProbe(a).checkLinks(); // the same link: no greeting
    EXPECT_TRUE(atA.of<messaging::NetworkBack>().empty());
    // A link that flaps greets once in a while: the next change waits for the gap.
    const int greetings = a.greetingCount();
    net1.setLiveLinks({});
    ChatNodeProbe(a).checkLinks();
    net1.setLiveLinks({link});
    ChatNodeProbe(a).checkLinks();
    EXPECT_EQ(a.greetingCount(), greetings);
    ChatNodeProbe(a).setLinkGreetingGap({});
    ChatNodeProbe(a).checkLinks();
    EXPECT_EQ(a.greetingCount(), greetings + 1);
    EXPECT_EQ(atA.of<messaging::NetworkBack>().size(), 1u);
    for (ChatNode* node : {&a, &b, &c})
        node->setCatchUpMark({}); // the folder goes first
}

// Cut off where no link of its own goes down (a switch further on): a copy that lost every
// computer it followed greets again after an interval, then twice as long each time, its
// failures unreported, and stops once it hears somebody.
TEST_F(PresenceLan, ACopyThatLostEverybodyGreetsAgainLessAndLessOftenUntilItHearsSomebody) {
    a.greet();
    settle();
    signsOfLife({&a, &b, &c});
    const ChatNodeProbe probe(a);
    net1.lost = true;
    for (RecordingNetwork* net : {&net2, &net3, &net4})
        net->lostTo = QStringList{"pc1"};
    intervals(1, {&b, &c});
    EXPECT_FALSE(probe.lonelyTimer().isActive()); // late, not yet lost
    pass(kInterval / 2);
    // PC2 and PC3 greyed, PC4 never followed (it sends no sign of life): lost.
    ASSERT_TRUE(probe.lonelyTimer().isActive());
    EXPECT_EQ(probe.lonelyTimer().intervalAsDuration(), kInterval);
    intervals(1, {&b, &c});
    ASSERT_EQ(entry(a, "PC2"), nullptr);
    EXPECT_EQ(probe.lonelyTimer().intervalAsDuration(), kInterval); // not started again

    const int greetings = a.greetingCount();
    probe.greetLonely();
    settle();
    EXPECT_EQ(a.greetingCount(), greetings + 1);
    EXPECT_EQ(probe.lonelyTimer().intervalAsDuration(), 2 * kInterval);
    probe.greetLonely();
    EXPECT_EQ(probe.lonelyTimer().intervalAsDuration(), 4 * kInterval);

    net1.lost = false;
    for (RecordingNetwork* net : {&net2, &net3, &net4})
        net->lostTo.clear();
    probe.greetLonely();
    settle();
    EXPECT_TRUE(entry(a, "PC2"));
    EXPECT_TRUE(entry(b, "PC1"));
    signsOfLife({&b});
    EXPECT_FALSE(probe.lonelyTimer().isActive());
    probe.greetLonely(); // a last run of a timer that had already fired: nothing
    EXPECT_EQ(a.greetingCount(), greetings + 3);

    // What fails in a greeting of its own accord is not reported; in the user's it is.
    const auto failures = [](const EventLog& log) {
        return log.of<messaging::SendFailed>().size() + log.of<messaging::WalkFailed>().size();
    };
    EventLog atA(a);
    net1.failNextSend(kGroup, ENETUNREACH);
    probe.greetAgain();
    settle();
    EXPECT_EQ(failures(atA), 0u);
    EXPECT_EQ(atA.of<messaging::Greeted>().size(), 1u);
    net1.failNextSend(kGroup, ENETUNREACH);
    a.greet();
    settle();
    EXPECT_EQ(failures(atA), 1u);
}

namespace {

// A datagram in PC3's name to PC1 while PC3 is silent, and why PC1 refuses it.
struct Forgery {
    const char* what;
    std::function<QByteArray(PresenceLan&)> make;
    RefusalReason reason;
};

QByteArray signedBy(const crypto::IdentityKey& key, quint32 senderId, const QByteArray& plain,
                    std::uint64_t counter) {
    return messaging::signedPayload(key, counter, {senderId, "PC3", "PC1"}, plain);
}

} // namespace

TEST_F(PresenceLan, NoForgeryKeepsASilentCopyAlive) {
    signsOfLife({&a, &b, &c});
    QByteArray captured;
    for (const auto& sent : net3.sent)
        if (sent.target == "PC1")
            captured = sent.datagram;
    ASSERT_FALSE(captured.isEmpty());
    kill(c);
    intervals(1, {&a, &b});
    pass(kInterval * 6 / 10);
    ASSERT_FALSE(entry(a, "PC3")->present());

    const quint32 idC = c.senderId();
    const quint32 high = 0xFFFFFF00u;
    const QByteArray sign = messaging::signOfLifeText("available");
    const std::vector<Forgery> forgeries = {
        {"PC3's sign of life again, with a higher sequence number",
         [&](PresenceLan&) {
             QByteArray again = captured;
             qToLittleEndian(high, again.data() + 4);
             return again;
         },
         RefusalReason::Replay},
        {"a sign of life signed by another key",
         [&](PresenceLan&) {
             return terminalDatagram(idC, high, signedBy(keyFor(9), idC, sign, 1));
         },
         RefusalReason::Key},
        {"a plain sign of life",
         [&](PresenceLan&) {
             return terminalDatagram(idC, high, messaging::payloadFromPlainText(sign));
         },
         RefusalReason::Downgrade},
        {"a sign of life sealed rather than signed",
         [&](PresenceLan&) {
             const auto pair = crypto::PairKeys::derive(keyFor(3), keyFor(1).publicKey());
             return terminalDatagram(
                 idC, high,
                 messaging::sealedPayload(keyFor(3), *pair, 1ull << 62, {idC, "PC3", "PC1"}, sign));
         },
         RefusalReason::Auth},
    };
    network::InMemoryNetwork forger(hub, "PC3", kGroup);
    for (const Forgery& forgery : forgeries) {
        SCOPED_TRACE(forgery.what);
        EventLog atA(a);
        forger.send(network::AddressKind::Named, "PC1", kSlot, forgery.make(*this));
        ChatNodeProbe(a).receive();
        const auto refused = atA.of<messaging::Refused>();
        ASSERT_EQ(refused.size(), 1u);
        EXPECT_EQ(refused[0].reason, forgery.reason);
        EXPECT_EQ(refused[0].computer, "PC3");
        EXPECT_TRUE(presenceTold(atA).isEmpty());
        EXPECT_FALSE(entry(a, "PC3")->present());
    }
    // Still removed in its time.
    EventLog atA(a);
    intervals(2, {&a, &b});
    EXPECT_EQ(presenceTold(atA), QStringList{"PC3 gone"});
}

namespace {

QStringList deliveryTold(const EventLog& log) {
    QStringList told;
    for (const auto& e : log.of<messaging::DeliveryChanged>())
        told.append(e.computer + ' ' + messaging::deliveryStateName(e.state));
    return told;
}

// PC1's receipts run on the tests' clock too, and its presence at the usual pace (greyed
// after 90 s, gone after 114 s): a line fails well before its copy is greyed. PC3 is
// killed: what PC1 sends it is lost.
struct KilledRecipientLan : PresenceLan {
    void SetUp() override {
        PresenceLan::SetUp();
        session(a).setDelivery(messaging::DeliveryTracker([this] { return now; }));
        session(a).setPresence(PresenceKeeper(
            PresenceKeeper::kDefaultInterval, [this] { return now; },
            [this] { return wallAt(now); }));
        signsOfLife({&a, &b, &c});
        kill(c);
        net1.lostTo = QStringList{"pc3"};
        for (int i = 0; i < a.peers().count(); ++i)
            a.setTicked(i, a.peers().at(i).computerName == "PC3");
    }
    // Time passes; PC1 and PC2 are heard, PC1 sends what is due again and checks who is
    // there.
    void retries(std::initializer_list<std::chrono::milliseconds> waits) {
        for (auto wait : waits) {
            now += wait;
            signsOfLife({&a, &b});
            session(a).retryDue();
            session(a).checkPresence();
            settle();
        }
    }
    // PC3 is back (what PC1 sent it meanwhile was lost).
    void restart() {
        revive(c);
        net1.lostTo.clear();
        atC = std::make_unique<EventLog>(c);
        signsOfLife({&c});
        session(c).sendReceipts(); // as its event loop would, once the line is taken
        settle();
    }
    QStringList shownAtC() const {
        QStringList shown;
        for (const auto& e : atC->of<messaging::LineReceived>())
            shown.append(e.line.text);
        return shown;
    }
    std::unique_ptr<EventLog> atC;
};

} // namespace

// A private line to a copy killed a moment before fails after its tries; once the copy is
// seen to be away, the line waits in the outbox as a line written to it then would, and it
// goes when the copy is back, its receipts told under the same send.
TEST_F(KilledRecipientLan, APrivateLineThatFailedToAKilledCopyWaitsAndGoesWhenItIsBack) {
    EventLog atA(a);
    const messaging::LineOutcome outcome = a.send({QStringLiteral("are you there?")}, false, true);
    ASSERT_EQ(outcome.tracked, QStringList{"PC3"});
    retries({2s, 4s, 8s, 8s});
    ASSERT_EQ(deliveryTold(atA), QStringList{"PC3 failed"});
    EXPECT_TRUE(a.waitingLines().isEmpty()) << "not known to be away yet";

    retries({30s, 30s, 20s}); // silent for 102 s: greyed
    ASSERT_EQ(presenceTold(atA), QStringList{"PC3 absent"});
    EXPECT_EQ(deliveryTold(atA), (QStringList{"PC3 failed", "PC3 queued"}));
    EXPECT_EQ(atA.of<messaging::DeliveryChanged>().back().item, outcome.item);
    ASSERT_EQ(a.waitingLines().size(), 1);
    EXPECT_EQ(a.waitingLines()[0].text, "are you there?");
    EXPECT_EQ(a.waitingLines()[0].lineId, outcome.lineIds[0]);
    EXPECT_FALSE(a.sendAgain(outcome.item)) << "nothing is left failed";

    restart();
    EXPECT_EQ(shownAtC(), QStringList{"are you there?"});
    EXPECT_TRUE(a.waitingLines().isEmpty());
    EXPECT_EQ(deliveryTold(atA),
              (QStringList{"PC3 failed", "PC3 queued", "PC3 sent", "PC3 delivered"}));
    EXPECT_EQ(atA.of<messaging::DeliveryChanged>().back().item, outcome.item);
}

// A copy greyed before its line fails: the failure puts the line in the outbox at once. A
// public line is not kept (the copy catches up on those), and a line to a copy that is
// still heard stays failed, for the user to send again.
TEST_F(KilledRecipientLan, ALineThatFailsAfterItsCopyIsGreyedWaitsAndOnlyThen) {
    retries({40s, 40s}); // silent for 80 s: still listed as there
    EventLog atA(a);
    a.send({QStringLiteral("quick question")}, false, true);
    a.send({QStringLiteral("for everyone")}, false, false);
    retries({2s, 4s, 8s});
    ASSERT_EQ(presenceTold(atA), QStringList{"PC3 absent"});
    EXPECT_TRUE(a.waitingLines().isEmpty());
    retries({8s});
    ASSERT_EQ(a.waitingLines().size(), 1);
    EXPECT_EQ(a.waitingLines()[0].text, "quick question");

    // PC2 is there but does not answer (its receipts are lost): its line stays failed.
    net2.lostTo = QStringList{"pc1"};
    for (int i = 0; i < a.peers().count(); ++i)
        a.setTicked(i, a.peers().at(i).computerName == "PC2");
    const messaging::LineOutcome toB = a.send({QStringLiteral("hello?")}, false, true);
    retries({2s, 4s, 8s, 8s});
    EXPECT_EQ(a.waitingLines().size(), 1);
    EXPECT_TRUE(a.sendAgain(toB.item));
}
