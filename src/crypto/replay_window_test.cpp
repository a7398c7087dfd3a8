#include "crypto/replay_window.h"

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
