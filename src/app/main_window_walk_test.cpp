// The walk at every show, with real datagram services on loopback and a walk of 2 s: the
// window stays alive while it runs, and what ends the copy during it ends the greeting too.

#include "app/main_window.h"
#include "messaging/chat_node.h"
#include "messaging/chat_protocol.h"

#include "support/chat_node_probe.h"
#include "support/loopback_lan.h"
#include "support/main_window_host.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

using namespace kalvento;
using namespace std::chrono_literals;
using test::Host;

namespace {

constexpr auto kWalk = 2000ms;

class WalkTest : public ::testing::Test {
protected:
    // The observer, on a computer of its own, notes every message of the window's copy
    // before its own session handles it. It knows the copy already: it greeted before the
    // window was shown, and the copy answered.
    void SetUp() override {
        messaging::TMailslotTerminal& terminal = test::ChatNodeProbe(observer).terminal();
        const messaging::TNewMessageEvent handle = terminal.OnNewMessage();
        const auto fromA = qint32(a->node().senderId());
        terminal.SetOnNewMessage(
            [this, handle, fromA](messaging::TMailslotTerminal* sender, qint32 id, quint16 size) {
                if (id == fromA) {
                    const QByteArrayView payload = sender->payload().first(size);
                    heard.append(
                        messaging::classifyMessage(messaging::plainTextFromPayload(payload)).kind);
                }
                handle(sender, id, size);
            });
        observer.walk(50ms);
        test::ChatNodeProbe(observer).session().SendGreeting();
        ASSERT_TRUE(QTest::qWaitFor([&] { return heard.contains(Kind::Answer); }, 3000));
        heard.clear();
    }

    using Kind = messaging::MessageKind;

    test::LoopbackLan lan;
    Host a{lan.computer(1, "PCA", test::Group, kWalk)};
    std::unique_ptr<network::UdpNetwork> observerNetwork = lan.computer(2, "PCB", test::Group);
    messaging::ChatNode observer{*observerNetwork};
    QList<Kind> heard; // what the window's copy said, in order
};

} // namespace

TEST_F(WalkTest, TheWindowKeepsProcessingEventsDuringATwoSecondWalk) {
    int ticks = 0;
    QTimer beat;
    QObject::connect(&beat, &QTimer::timeout, [&] { ++ticks; });
    beat.start(20);
    QElapsedTimer clock;
    clock.start();
    a->show();
    EXPECT_LT(clock.elapsed(), 300) << "the show waited for the walk";
    EXPECT_TRUE(a->node().greetingPending());
    ASSERT_TRUE(QTest::qWaitFor([&] { return !a->node().greetingPending(); }, 5000));
    EXPECT_GE(clock.elapsed(), 2000);
    // A beat every 20 ms for the 2 s: the event loop never stood still for long.
    EXPECT_GE(ticks, 80);
    // The greeting goes out at the walk's end.
    ASSERT_TRUE(QTest::qWaitFor([&] { return heard.contains(Kind::Greeting); }, 3000));
    EXPECT_TRUE(a.dialogs->errors.isEmpty()) << a.dialogs->errors.join(u'\n').toStdString();
}

TEST_F(WalkTest, ACloseDuringTheWalkSendsNoGreetingAfterTheGoodbye) {
    a->show();
    QTest::qWait(200);
    ASSERT_TRUE(a->node().greetingPending());
    a->Close1Click();
    ASSERT_TRUE(QTest::qWaitFor([&] { return heard.contains(Kind::Goodbye); }, 3000));
    QTest::qWait(int(kWalk.count()) + 300);
    EXPECT_EQ(heard, QList<Kind>{Kind::Goodbye}) << "a greeting came after the goodbye";
    EXPECT_EQ(observer.peers().indexOfComputer(u"PCA"), -1);
}

TEST_F(WalkTest, AHideDuringTheWalkStillGreetsButNotAfterAGoodbye) {
    // Hidden to the tray during the walk: the copy is still running, and greets.
    a->show();
    QTest::qWait(200);
    a->HideToTray();
    ASSERT_TRUE(QTest::qWaitFor([&] { return heard.contains(Kind::Greeting); }, 5000));
    heard.clear();

    // Shown and hidden again, and the desktop session ends before the walk does.
    a->hide();
    a->show();
    QTest::qWait(200);
    ASSERT_TRUE(a->node().greetingPending());
    a->HideToTray();
    a->SessionEnding();
    ASSERT_TRUE(QTest::qWaitFor([&] { return heard.contains(Kind::Goodbye); }, 3000));
    QTest::qWait(int(kWalk.count()) + 300);
    EXPECT_EQ(heard, QList<Kind>{Kind::Goodbye}) << "a greeting came after the goodbye";
}
