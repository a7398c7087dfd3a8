#include "messaging/chat_node.h"

#include "network/memory_network.h"

#include "support/loopback_lan.h"
#include "support/qt_print.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <memory>

using namespace kalvento;
using messaging::ChatNode;
using messaging::SendResult;
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
    QSignalSpy greeted(&a, &ChatNode::greeted);
    a.greet();
    EXPECT_EQ(greeted.count(), 1);
    EXPECT_FALSE(a.greetingPending());
    EXPECT_EQ(a.greetingCount(), 1);
    b.terminal().ReceiveMessages();
    EXPECT_EQ(listedAs(b, "PC1"), "PC1 (@ WG)");
}

TEST_F(ChatNodeOnLoopback, TheWalkRunsInTheBackgroundAndTheGreetingFollowsItsEnd) {
    ChatNode a(*net1);
    ChatNode b(*net2);
    SendResult result;
    int greetings = 0;
    QObject::connect(&a, &ChatNode::greeted, [&](const SendResult& r) {
        result = r;
        ++greetings;
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
    EXPECT_EQ(a.netUsers().Names(), QStringList{kGroup});
    ASSERT_TRUE(QTest::qWaitFor([&] { return !listedAs(b, "PC1").isEmpty(); }, 3000));
    EXPECT_EQ(listedAs(b, "PC1"), "PC1 (@ WG)");
    EXPECT_EQ(greetings, 1);
}

TEST_F(ChatNodeOnLoopback, AGoodbyeDropsTheGreetingThatWaitsForItsWalk) {
    ChatNode a(*net1);
    ChatNode b(*net2);
    // b knows a already: it greeted, and a answered.
    b.netUsers().Enumerate(50ms);
    b.session().SendGreeting();
    ASSERT_TRUE(QTest::qWaitFor([&] { return listedAs(b, "PC1") == "PC1"; }, 3000));
    QSignalSpy removed(&b.peers(), &network::PeerList::entryRemoved);
    QSignalSpy greeted(&a, &ChatNode::greeted);

    a.greet();
    QTest::qWait(100);
    EXPECT_TRUE(a.SendGoodbye().ok());
    EXPECT_FALSE(a.greetingPending());
    ASSERT_TRUE(QTest::qWaitFor([&] { return removed.count() == 1; }, 3000));
    // Long past the walk's end: no greeting went out after the goodbye.
    QTest::qWait(800);
    EXPECT_EQ(greeted.count(), 0);
    EXPECT_EQ(listedAs(b, "PC1"), QString());
}

TEST_F(ChatNodeOnLoopback, AGreetingBegunAgainReplacesTheOneThatWaits) {
    ChatNode a(*net1);
    ChatNode b(*net2);
    QSignalSpy greeted(&a, &ChatNode::greeted);
    a.greet();
    QTest::qWait(100);
    a.greet();
    ASSERT_TRUE(QTest::qWaitFor([&] { return greeted.count() > 0; }, 5000));
    QTest::qWait(300);
    EXPECT_EQ(greeted.count(), 1);
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
        node->terminal().SetInterval(60000);
        ASSERT_TRUE(node->terminal().Server()->Thread()->WakesOnArrival());
    }
    a.netUsers().Enumerate(50ms);
    a.session().SendGreeting();
    ASSERT_TRUE(QTest::qWaitFor([&] { return a.peers().count() == 2; }, 3000));
    QStringList atA, atB;
    QObject::connect(&a.session(), &messaging::ChatSession::lineReceived,
                     [&](const messaging::ReceivedLine& line) { atA.append(line.text); });
    QObject::connect(&b.session(), &messaging::ChatSession::lineReceived,
                     [&](const messaging::ReceivedLine& line) { atB.append(line.text); });
    EXPECT_TRUE(a.session().sendPublic(QStringLiteral("at once"), false).ok());
    EXPECT_TRUE(QTest::qWaitFor([&] { return atA.size() == 1 && atB.size() == 1; }, 3000));
    EXPECT_EQ(atA, QStringList{"at once"});
    EXPECT_EQ(atB, QStringList{"at once"});
}
