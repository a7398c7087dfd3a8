#include "messaging/chat_node.h"

#include "network/memory_network.h"

#include <cerrno>

#include "support/chat_node_probe.h"
#include "support/loopback_lan.h"
#include "support/qt_print.h"

#include <QElapsedTimer>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <memory>

using namespace kalvento;
using messaging::ChatNode;
using messaging::SendResult;
using test::ChatNodeProbe;
using test::EventLog;
using namespace std::chrono_literals;

namespace {

const QString kGroup = QStringLiteral("WG");

// Whether the observer lists the computer, and in which form: a greeting lists it as
// "PC (@ WG)", an answer by its name alone.
QString listedAs(ChatNode& observer, const QString& computer) {
    const int i = observer.peers().indexOfComputer(computer);
    return i < 0 ? QString() : observer.peers().at(i).displayText;
}

class ChatNodeOnLoopback : public ::testing::Test {
protected:
    test::LoopbackLan lan;
    std::unique_ptr<network::UdpNetwork> net1 = lan.computer(1, "PC1", kGroup, 500ms);
    std::unique_ptr<network::UdpNetwork> net2 = lan.computer(2, "PC2", kGroup);
};

} // namespace

TEST(ChatNode, OnAnInMemoryLanTheGreetingGoesOutBeforeGreetReturns) {
    network::InMemoryHub hub;
    network::InMemoryNetwork net1(hub, "PC1", kGroup);
    network::InMemoryNetwork net2(hub, "PC2", kGroup);
    ChatNode a(net1);
    ChatNode b(net2);
    EventLog events(a);
    a.greet();
    EXPECT_EQ(events.count<messaging::Greeted>(), 1);
    EXPECT_FALSE(a.greetingPending());
    EXPECT_EQ(a.greetingCount(), 1);
    ChatNodeProbe(b).receive();
    EXPECT_EQ(listedAs(b, "PC1"), "PC1 (@ WG)");
}

TEST_F(ChatNodeOnLoopback, TheWalkRunsInTheBackgroundAndTheGreetingFollowsItsEnd) {
    ChatNode a(*net1);
    ChatNode b(*net2);
    SendResult result;
    int greetings = 0;
    QObject::connect(&a, &ChatNode::chatEvent, [&](const messaging::ChatEvent& event) {
        if (const auto* greeted = std::get_if<messaging::Greeted>(&event)) {
            result = greeted->result;
            ++greetings;
        }
    });
    int ticks = 0;
    QTimer beat;
    QObject::connect(&beat, &QTimer::timeout, [&] { ++ticks; });
    beat.start(10);

    QElapsedTimer clock;
    clock.start();
    a.greet();
    EXPECT_LT(clock.elapsed(), 100) << "greet() waited for the walk";
    EXPECT_TRUE(a.greetingPending());
    ASSERT_TRUE(QTest::qWaitFor([&] { return greetings > 0; }, 5000));
    EXPECT_GE(clock.elapsed(), 500);
    // The event loop ran all along: a beat every 10 ms of the 500.
    EXPECT_GE(ticks, 25);
    EXPECT_TRUE(result.ok()) << result.errors.join(u'\n').toStdString();
    EXPECT_EQ(a.groups(), QStringList{kGroup});
    ASSERT_TRUE(QTest::qWaitFor([&] { return !listedAs(b, "PC1").isEmpty(); }, 3000));
    EXPECT_EQ(listedAs(b, "PC1"), "PC1 (@ WG)");
    EXPECT_EQ(greetings, 1);
}

TEST_F(ChatNodeOnLoopback, AGoodbyeDropsTheGreetingThatWaitsForItsWalk) {
    ChatNode a(*net1);
    ChatNode b(*net2);
    // b knows a already: it greeted, and a answered.
    b.walk(50ms);
    ChatNodeProbe(b).session().SendGreeting();
    ASSERT_TRUE(QTest::qWaitFor([&] { return listedAs(b, "PC1") == "PC1"; }, 3000));
    EventLog atB(b);
    EventLog atA(a);

    a.greet();
    QTest::qWait(100);
    EXPECT_TRUE(a.SendGoodbye().ok());
    EXPECT_FALSE(a.greetingPending());
    ASSERT_TRUE(QTest::qWaitFor([&] { return atB.count<messaging::PeerRemoved>() == 1; }, 3000));
    // Long past the walk's end: no greeting went out after the goodbye.
    QTest::qWait(800);
    EXPECT_EQ(atA.count<messaging::Greeted>(), 0);
    EXPECT_EQ(listedAs(b, "PC1"), QString());
}

TEST_F(ChatNodeOnLoopback, AGreetingBegunAgainReplacesTheOneThatWaits) {
    ChatNode a(*net1);
    ChatNode b(*net2);
    EventLog events(a);
    a.greet();
    QTest::qWait(100);
    a.greet();
    ASSERT_TRUE(QTest::qWaitFor([&] { return events.count<messaging::Greeted>() > 0; }, 5000));
    QTest::qWait(300);
    EXPECT_EQ(events.count<messaging::Greeted>(), 1);
    EXPECT_EQ(a.greetingCount(), 2);
}

TEST_F(ChatNodeOnLoopback, ANodeEndsAtOnceDuringItsWalk) {
    auto slow = lan.computer(3, "PC3", kGroup, 60s);
    QElapsedTimer clock;
    {
        ChatNode a(*slow);
        a.greet();
        QTest::qWait(50);
        clock.start();
    }
    EXPECT_LT(clock.elapsed(), 500);
    QTest::qWait(50); // nothing is delivered to the node that is gone
}

// The receive thread wakes the owner's thread: with a poll only every minute, a line still
// reaches the other copy, and comes back to its sender, at once.
TEST_F(ChatNodeOnLoopback, ALineArrivesWithoutWaitingForAPoll) {
    ChatNode a(*net1);
    ChatNode b(*net2);
    for (ChatNode* node : {&a, &b}) {
        ChatNodeProbe(*node).terminal().SetInterval(60000);
        ASSERT_TRUE(ChatNodeProbe(*node).terminal().Server()->Thread()->WakesOnArrival());
    }
    a.walk(50ms);
    ChatNodeProbe(a).session().SendGreeting();
    ASSERT_TRUE(QTest::qWaitFor([&] { return a.peers().count() == 2; }, 3000));
    QStringList atA, atB;
    QObject context;
    test::onLine(a, &context, [&](const messaging::ReceivedLine& line) { atA.append(line.text); });
    test::onLine(b, &context, [&](const messaging::ReceivedLine& line) { atB.append(line.text); });
    EXPECT_TRUE(a.send({QStringLiteral("at once")}, false, false).result.ok());
    EXPECT_TRUE(QTest::qWaitFor([&] { return atA.size() == 1 && atB.size() == 1; }, 3000));
    EXPECT_EQ(atA, QStringList{"at once"});
    EXPECT_EQ(atB, QStringList{"at once"});
}

namespace {

// Three copies on an in-memory LAN that have greeted each other; a is the one that writes.
struct SmallLan : ::testing::Test {
    void SetUp() override {
        for (ChatNode* node : {&a, &b, &c}) {
            node->walk();
            ChatNodeProbe(*node).session().SendGreeting();
            settle();
        }
        ASSERT_EQ(a.peers().count(), 3);
    }
    void settle() {
        for (int round = 0; round < 10; ++round)
            for (ChatNode* node : {&a, &b, &c})
                ChatNodeProbe(*node).receive();
    }
    int entry(ChatNode& node, const QString& computer) {
        return node.peers().indexOfComputer(computer);
    }

    network::InMemoryHub hub;
    network::InMemoryNetwork netA{hub, "PCA", kGroup};
    network::InMemoryNetwork netB{hub, "PCB", kGroup};
    network::InMemoryNetwork netC{hub, "PCC", kGroup};
    ChatNode a{netA};
    ChatNode b{netB};
    ChatNode c{netC};
};

QStringList texts(const EventLog& log) {
    QStringList out;
    for (const messaging::LineReceived& e : log.of<messaging::LineReceived>())
        out.append(e.line.text);
    return out;
}

} // namespace

// Who gets what the user wrote, and what the sender is told: the rules the window, the
// headless peer and the tests share.
TEST_F(SmallLan, WhatTheUserWroteGoesWhereItsKindAndTheTicksSay) {
    using Status = messaging::LineOutcome::Status;
    struct Case {
        const char* name;
        bool isPrivate;
        QStringList ticked; // computers ticked at a
        bool offline;
        Status status;
        bool accepted;
        bool echo;
        QStringList recipients;
        QStringList atA, atB, atC;
    };
    const QList<Case> cases = {
        {"public", false, {}, false, Status::Sent, true, false, {}, {"hi"}, {"hi"}, {"hi"}},
        {"public with a tick",
         false,
         {"PCB"},
         false,
         Status::Sent,
         true,
         false,
         {},
         {"hi"},
         {"hi"},
         {"hi"}},
        {"private to one", true, {"PCB"}, false, Status::Sent, true, true, {"PCB"}, {}, {"hi"}, {}},
        {"private to two",
         true,
         {"PCC", "PCB"},
         false,
         Status::Sent,
         true,
         true,
         {"PCB", "PCC"},
         {},
         {"hi"},
         {"hi"}},
        {"private with nobody ticked",
         true,
         {},
         false,
         Status::Refused,
         false,
         false,
         {},
         {},
         {},
         {}},
        {"offline public", false, {}, true, Status::Offline, true, false, {}, {}, {}, {}},
        {"offline private", true, {"PCB"}, true, Status::Offline, true, false, {}, {}, {}, {}},
        {"offline private with nobody ticked",
         true,
         {},
         true,
         Status::Refused,
         false,
         false,
         {},
         {},
         {},
         {}},
    };
    for (const Case& t : cases) {
        SCOPED_TRACE(t.name);
        for (int i = 0; i < a.peers().count(); ++i)
            a.setTicked(i, t.ticked.contains(a.peers().at(i).computerName));
        a.setOffline(t.offline);
        EventLog atA(a), atB(b), atC(c);
        const quint64 before = hub.deliveredCount();
        const messaging::LineOutcome outcome = a.send({QStringLiteral("hi")}, false, t.isPrivate);
        settle();
        EXPECT_EQ(outcome.status, t.status);
        EXPECT_EQ(outcome.accepted(), t.accepted);
        EXPECT_EQ(outcome.showsEcho(), t.echo);
        EXPECT_EQ(outcome.recipients, t.recipients);
        EXPECT_EQ(texts(atA), t.atA);
        EXPECT_EQ(texts(atB), t.atB);
        EXPECT_EQ(texts(atC), t.atC);
        if (t.status != Status::Sent) {
            EXPECT_EQ(hub.deliveredCount(), before) << "something left a copy that sends nothing";
        }
        const QList<messaging::OutgoingMessage> planned =
            t.status == Status::Refused
                ? QList<messaging::OutgoingMessage>{}
                : QList<messaging::OutgoingMessage>{{false, {QStringLiteral("hi")}}};
        EXPECT_EQ(outcome.messages, planned);
    }
}

TEST_F(SmallLan, TheLinesOfAMultiLineMessageArriveAsTheyWereWritten) {
    EventLog atB(b);
    // Commas and quotes are text, not separators.
    const QStringList lines = {"one, two", "\"three\"", "", "four"};
    const messaging::LineOutcome outcome = a.send(lines, true, false);
    settle();
    ASSERT_EQ(outcome.messages.size(), 1);
    EXPECT_TRUE(outcome.messages[0].multiLine);
    EXPECT_EQ(texts(atB), lines);
}

TEST_F(SmallLan, EachFailedSendIsAnEventAndTheOthersStillGo) {
    EventLog atA(a), atC(c);
    netA.failNextSend("PCB", EHOSTUNREACH);
    const messaging::LineOutcome outcome = a.send({QStringLiteral("to all")}, false, false);
    settle();
    EXPECT_TRUE(outcome.accepted()); // it reached somebody
    EXPECT_EQ(outcome.result.sent, 2);
    const auto failures = atA.of<messaging::SendFailed>();
    ASSERT_EQ(failures.size(), 1u);
    EXPECT_EQ(failures[0].what, messaging::Sending::Line);
    EXPECT_TRUE(failures[0].error.startsWith("PCB: ")) << failures[0].error.toStdString();
    EXPECT_EQ(texts(atC), QStringList{"to all"});

    // A private line that reached nobody is not done with: the user may send it again.
    a.tickAlone(entry(a, "PCB"));
    netA.failNextSend("PCB", EHOSTUNREACH);
    const messaging::LineOutcome lost = a.send({QStringLiteral("psst")}, false, true);
    EXPECT_FALSE(lost.accepted());
    EXPECT_FALSE(lost.showsEcho());
    EXPECT_EQ(atA.count<messaging::SendFailed>(), 2);

    // The goodbye's failures are marked as such.
    netA.failNextSend("PCC", EHOSTUNREACH);
    a.SendGoodbye();
    EXPECT_EQ(atA.of<messaging::SendFailed>().back().what, messaging::Sending::Goodbye);
}

TEST_F(SmallLan, TheListsChangesAndTheTicksComeAsEvents) {
    EventLog events(a);
    ASSERT_FALSE(a.tickAlone(entry(a, "PCA"))) << "the own entry cannot be ticked";
    ASSERT_FALSE(a.tickAlone(a.peers().count()));
    EXPECT_TRUE(events.all().empty());

    a.setTicked(entry(a, "PCB"), true);
    ASSERT_TRUE(a.tickAlone(entry(a, "PCC")));
    EXPECT_EQ(a.peers().tickedIndices(), QList<int>{entry(a, "PCC")});
    const auto ticks = events.of<messaging::TicksChanged>();
    ASSERT_FALSE(ticks.empty());
    EXPECT_EQ(ticks.back().ticked, 1);

    events.clear();
    b.announceIdentity(QStringLiteral("Bea"));
    settle();
    const auto changed = events.of<messaging::PeerChanged>();
    ASSERT_EQ(changed.size(), 1u);
    EXPECT_EQ(changed[0].entry.computerName, "PCB");
    EXPECT_EQ(changed[0].entry.identity, "Bea");
    EXPECT_EQ(changed[0].index, entry(a, "PCB"));

    events.clear();
    c.SendGoodbye();
    settle();
    const auto removed = events.of<messaging::PeerRemoved>();
    ASSERT_EQ(removed.size(), 1u);
    EXPECT_EQ(removed[0].computerName, "PCC");
    EXPECT_EQ(a.peers().indexOfComputer(u"PCC"), -1);
    ASSERT_FALSE(events.of<messaging::TicksChanged>().empty()) << "the ticked entry went";
    EXPECT_EQ(events.of<messaging::TicksChanged>().back().ticked, 0);

    events.clear();
    c.walk();
    ChatNodeProbe(c).session().SendGreeting();
    settle();
    const auto added = events.of<messaging::PeerAdded>();
    ASSERT_EQ(added.size(), 1u);
    EXPECT_EQ(added[0].entry.computerName, "PCC");
    EXPECT_EQ(added[0].entry.displayText, "PCC (@ WG)");
}
