// The user is away after the limit without use and back on their return, away at once while
// the screen is locked, never with a limit of zero; the idle time is asked only when the
// limit could have been reached, and while away every few moments. And the X server's screen
// saver extension answers with an idle time that grows while nobody types.

#include "platform/idle_monitor.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QStandardPaths>
#include <QTest>

#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <sys/prctl.h>

#include <string>
#include <vector>

using namespace kalvento::platform;
using namespace std::chrono_literals;

namespace {

// A desktop whose user last touched it when input() was called; unknown() makes it one that
// cannot tell.
class FakeSource : public IdleSource {
public:
    FakeSource() { m_sinceInput.start(); }
    void askIdleTime() override {
        ++asks;
        emit idleTimeKnown(m_known ? m_sinceInput.elapsed() : -1);
    }
    void input() { m_sinceInput.restart(); }
    void unknown() { m_known = false; }
    void lock(bool locked) { emit lockedChanged(locked); }
    int asks = 0;

private:
    QElapsedTimer m_sinceInput;
    bool m_known = true;
};

enum class Do { Wait, Input, Lock, Unlock, Unknown, AppInput };

struct Step {
    Do what;
    int ms = 0;     // Wait: how long
    bool away = {}; // what the monitor says after the step
};

struct Script {
    const char* name;
    int limitMs;
    std::vector<Step> steps;
    int maxAsks; // the idle time is not polled while the limit is far
};

const std::vector<Script> scripts = {
    {"limit reached, then the user returns",
     300,
     {{Do::Wait, 150, false},
      {Do::Wait, 400, true},
      {Do::Input, 0, true}, // seen at the next ask
      {Do::Wait, 150, false},
      {Do::Wait, 120, false}},
     30},
    {"input that keeps coming keeps the user here",
     300,
     {{Do::Wait, 200, false},
      {Do::Input, 0, false},
      {Do::Wait, 200, false},
      {Do::Input, 0, false},
      {Do::Wait, 200, false}},
     8},
    {"a locked screen is away at once, unlocking is back",
     5000,
     {{Do::Lock, 0, true}, {Do::Wait, 50, true}, {Do::Unlock, 0, false}, {Do::Wait, 50, false}},
     3},
    {"zero is never, locked or idle",
     0,
     {{Do::Lock, 0, false}, {Do::Wait, 300, false}, {Do::Unlock, 0, false}},
     0},
    {"a desktop that cannot tell: the lock still counts",
     200,
     {{Do::Unknown, 0, false}, {Do::Wait, 500, false}, {Do::Lock, 0, true}, {Do::Unlock, 0, false}},
     6},
    {"the program's own input brings the user back before the next ask",
     200,
     {{Do::Wait, 400, true}, {Do::AppInput, 0, false}},
     30},
};

} // namespace

TEST(IdleMonitor, FollowsIdlenessAndTheLockWithoutPolling) {
    for (const Script& script : scripts) {
        SCOPED_TRACE(script.name);
        FakeSource source;
        IdleMonitor monitor(source, 40ms);
        int changes = 0;
        bool last = false;
        QObject::connect(&monitor, &IdleMonitor::awayChanged, [&](bool away) {
            ++changes;
            EXPECT_NE(away, last) << "told without a change";
            last = away;
        });
        monitor.setLimit(std::chrono::milliseconds(script.limitMs));
        int expectedChanges = 0;
        bool expected = false;
        for (size_t i = 0; i < script.steps.size(); ++i) {
            const Step& step = script.steps[i];
            switch (step.what) {
            case Do::Wait:
                QTest::qWait(step.ms);
                break;
            case Do::Input:
                source.input();
                break;
            case Do::Lock:
                source.lock(true);
                break;
            case Do::Unlock:
                source.input();
                source.lock(false);
                break;
            case Do::Unknown:
                source.unknown();
                break;
            case Do::AppInput:
                source.input();
                monitor.userActive();
                break;
            }
            EXPECT_EQ(monitor.away(), step.away) << "after step " << i;
            if (step.away != expected)
                ++expectedChanges;
            expected = step.away;
        }
        EXPECT_EQ(changes, expectedChanges);
        EXPECT_LE(source.asks, script.maxAsks);
    }
}

TEST(IdleMonitor, AZeroLimitSetWhileAwayBringsTheUserBack) {
    FakeSource source;
    IdleMonitor monitor(source, 40ms);
    monitor.setLimit(10min);
    source.lock(true);
    ASSERT_TRUE(monitor.away());
    QList<bool> told;
    QObject::connect(&monitor, &IdleMonitor::awayChanged, [&](bool away) { told << away; });
    monitor.setLimit(0ms);
    EXPECT_FALSE(monitor.away());
    EXPECT_EQ(told, QList<bool>{false});
}

// Xvfb of its own: the extension answers, and its idle time grows while nobody types.
TEST(X11ScreenSaverIdle, AnswersWithAGrowingIdleTimeUnderXvfb) {
    EXPECT_FALSE(X11ScreenSaverIdle(nullptr).usable());
    const QString xvfb = QStandardPaths::findExecutable(QStringLiteral("Xvfb"));
    if (xvfb.isEmpty())
        GTEST_SKIP() << "Xvfb is not installed";
    QProcess server;
    // The server ends with the test, however the test ends, and holds none of its files
    // (a lock the test runner was started under).
    server.setChildProcessModifier([] {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        for (int fd = 3; fd < 1024; ++fd)
            fcntl(fd, F_SETFD, FD_CLOEXEC);
    });
    // -displayfd 1: the server writes its display number on its output when it is ready.
    server.start(xvfb,
                 {QStringLiteral("-displayfd"), QStringLiteral("1"), QStringLiteral("-nolisten"),
                  QStringLiteral("tcp"), QStringLiteral("-screen"), QStringLiteral("0"),
                  QStringLiteral("320x240x24")});
    ASSERT_TRUE(server.waitForStarted(5000));
    QByteArray number;
    QElapsedTimer waited;
    waited.start();
    while (!number.contains('\n') && waited.elapsed() < 10000) {
        server.waitForReadyRead(200);
        number += server.readAllStandardOutput();
    }
    ASSERT_TRUE(number.contains('\n')) << "Xvfb gave no display number";
    void* display = X11ScreenSaverIdle::openDisplay(':' + number.trimmed());
    ASSERT_NE(display, nullptr);
    {
        X11ScreenSaverIdle idle(display);
        if (!idle.usable() && idle.error().contains(QStringLiteral("libXss")))
            GTEST_SKIP() << "libXss.so.1 is absent: " << idle.error().toStdString();
        ASSERT_TRUE(idle.usable()) << idle.error().toStdString();
        const std::optional<qint64> first = idle.idleTime();
        ASSERT_TRUE(first.has_value());
        QTest::qWait(400);
        const std::optional<qint64> second = idle.idleTime();
        ASSERT_TRUE(second.has_value());
        EXPECT_GE(*second, *first + 300);
    }
    X11ScreenSaverIdle::closeDisplay(display);
    server.terminate();
    server.waitForFinished(5000);
}
