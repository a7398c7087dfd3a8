#include "crypto/replay_window.h"

#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <vector>

using namespace kalvento::crypto;

TEST(ReplayWindow, TakesEachNumberOnceAndLateOnesWithinTheWindow) {
    struct Step {
        std::uint64_t counter;
        bool fresh;
    };
    const std::vector<Step> steps = {
        {0, false},   // never given
        {100, true},  // first from this sender
        {100, false}, // the same datagram again
        {105, true},  // a jump
        {101, true},  // overtaken on the way, not seen yet
        {101, false}, // ... and only once
        {42, true},   // 63 below the mark: the oldest the window holds
        {41, false},  // 64 below: older than the window
        {169, true},  // a jump that moves 105 to 64 below the mark
        {105, false}, // too old now, whatever was seen
        {106, true},  // 63 below the mark, not seen
        {106, false},
    };
    ReplayWindow w;
    for (const Step& s : steps) {
        EXPECT_EQ(w.fresh(s.counter), s.fresh) << s.counter;
        if (w.fresh(s.counter))
            w.accept(s.counter);
    }
    EXPECT_EQ(w.highMark(), 169u);
}

TEST(ReplayWindow, AForgeryThatWasNotAcceptedSpendsNothing) {
    ReplayWindow w;
    w.accept(10);
    EXPECT_TRUE(w.fresh(1'000'000)); // checked, then found forged: not accepted
    EXPECT_TRUE(w.fresh(11));
    EXPECT_EQ(w.highMark(), 10u);
}

TEST(ReplayWindow, AWindowRestoredFromItsMarkRefusesEverythingUpToIt) {
    ReplayWindow w(500);
    EXPECT_FALSE(w.fresh(500));
    EXPECT_FALSE(w.fresh(499));
    EXPECT_FALSE(w.fresh(440));
    EXPECT_TRUE(w.fresh(501));
    w.accept(503);
    EXPECT_TRUE(w.fresh(501)) << "a number above the restored mark that was not seen yet";
    EXPECT_FALSE(w.fresh(500));
}

TEST(CounterClock, GrowsWhenTheClockStandsStillOrGoesBack) {
    static std::uint64_t now = 1'000;
    CounterClock clock([] { return now; });
    EXPECT_EQ(clock.next(), 1'000u);
    EXPECT_EQ(clock.next(), 1'001u);
    now = 900; // set back
    EXPECT_EQ(clock.next(), 1'002u);
    now = 5'000;
    EXPECT_EQ(clock.next(), 5'000u);
    CounterClock real;
    const std::uint64_t a = real.next();
    EXPECT_GT(real.next(), a);
    EXPECT_GT(a, 1'600'000'000'000'000u) << "microseconds since 1970";
}

// A copy ran with its clock an hour ahead, then started again with the clock put right.
TEST(CounterClock, AFloorKeptInAFileOutlivesAClockSetBackBetweenRuns) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("counter.txt"));
    static std::uint64_t now = 0;
    constexpr std::uint64_t kHour = 3'600'000'000;
    constexpr std::uint64_t kRightTime = 1'800'000'000'000'000;

    now = kRightTime + kHour;
    std::uint64_t lastOfFirstRun = 0;
    {
        CounterClock ahead([] { return now; });
        EXPECT_TRUE(ahead.keepIn(path).isEmpty()); // no file yet: nothing wrong
        for (int i = 0; i < 100; ++i) {
            lastOfFirstRun = ahead.next();
            now += 7 * CounterClock::kReserve / 5; // past a reserve now and then
        }
    }
    now = kRightTime;
    CounterClock putRight([] { return now; });
    EXPECT_TRUE(putRight.keepIn(path).isEmpty());
    const std::uint64_t first = putRight.next();
    EXPECT_GT(first, lastOfFirstRun);
    EXPECT_LE(first, lastOfFirstRun + CounterClock::kReserve + 1) << "reserved, not more";
    // ... and stays above it while the clock catches up, one by one.
    EXPECT_EQ(putRight.next(), first + 1);
    // The same without the file: the counters start an hour back, below what was taken.
    CounterClock forgetful([] { return now; });
    EXPECT_LT(forgetful.next(), lastOfFirstRun);
}

TEST(CounterClock, AFloorThatCannotBeReadOrWrittenLeavesTheClockToCount) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    static std::uint64_t now = 5'000'000'000;
    const QString path = dir.filePath(QStringLiteral("counter.txt"));
    for (const QByteArray& damaged :
         {QByteArray("counter x\n"), QByteArray("hello\n"), QByteArray("counter 0\n"),
          QByteArray("counter 99999999999999999999\n"),
          QByteArray("counter 9223372036854775807\n")}) {
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(damaged);
        file.close();
        CounterClock clock([] { return now; });
        EXPECT_FALSE(clock.keepIn(path).isEmpty()) << damaged.constData();
        EXPECT_EQ(clock.next(), now) << damaged.constData();
        // The damaged file is written over with a floor above the counter just given.
        ASSERT_TRUE(file.open(QIODevice::ReadOnly));
        EXPECT_EQ(file.readAll(),
                  "counter " + QByteArray::number(now + CounterClock::kReserve) + "\n");
    }
    // A folder that cannot be written: the counters go on.
    CounterClock nowhere([] { return now; });
    EXPECT_TRUE(nowhere.keepIn(dir.filePath(QStringLiteral("gone/counter.txt"))).isEmpty());
    EXPECT_EQ(nowhere.next(), now);
    EXPECT_EQ(nowhere.next(), now + 1);
}
