#include "messaging/reception_budget.h"

#include <gtest/gtest.h>

using kalvento::messaging::ReceptionBudget;
using namespace std::chrono_literals;

namespace {

struct FakeClock {
    ReceptionBudget::Clock::time_point now{};
    auto function() {
        return [this] { return now; };
    }
};

int taken(ReceptionBudget& budget, const QString& source, int tries) {
    int n = 0;
    for (int i = 0; i < tries; ++i)
        n += budget.take(source) ? 1 : 0;
    return n;
}

} // namespace

TEST(ReceptionBudget, ABurstIsTakenThenTheRateRefillsIt) {
    FakeClock clock;
    ReceptionBudget budget({100, 1000}, {10, 50}, clock.function());
    EXPECT_EQ(taken(budget, "10.0.0.1", 200), 50); // one sender: its own bucket
    EXPECT_EQ(budget.refused(), 150u);
    clock.now += 1s;
    EXPECT_EQ(taken(budget, "10.0.0.1", 200), 10);
    clock.now += 10s; // refills to the burst, never beyond
    EXPECT_EQ(taken(budget, "10.0.0.1", 200), 50);
    clock.now += 250ms;
    EXPECT_EQ(taken(budget, "10.0.0.1", 10), 2); // 2.5 tokens: two whole ones
    // Another sender is not held back by the first.
    EXPECT_EQ(taken(budget, "10.0.0.2", 10), 10);
}

TEST(ReceptionBudget, ManySendersShareTheWholeCopysBucket) {
    FakeClock clock;
    ReceptionBudget budget({100, 1000}, {10, 50}, clock.function());
    int total = 0;
    for (int i = 0; i < 10000; ++i)
        total += budget.take(QStringLiteral("10.0.%1.%2").arg(i / 256).arg(i % 256)) ? 1 : 0;
    EXPECT_EQ(total, 1000);
    clock.now += 2s;
    total = 0;
    for (int i = 0; i < 10000; ++i)
        total += budget.take(QStringLiteral("10.1.%1.%2").arg(i / 256).arg(i % 256)) ? 1 : 0;
    EXPECT_EQ(total, 200);
    // Unknown sources count against the whole copy only.
    clock.now += 1s;
    EXPECT_EQ(taken(budget, QString(), 500), 100);
}

TEST(ReceptionBudget, TheTableOfSendersStaysBoundedAndKeepsBusyOnesWhileItCan) {
    FakeClock clock;
    ReceptionBudget budget({1e9, 1e9}, {0.001, 3}, clock.function());
    EXPECT_EQ(taken(budget, "busy", 10), 3);
    for (int i = 0; i < 5 * ReceptionBudget::kMaxSources; ++i) {
        clock.now += 1ms;
        budget.take(QString::number(i));
        if (i % 1000 == 0) {
            EXPECT_FALSE(budget.take("busy")) << i; // still remembered as spent
        }
    }
    EXPECT_LE(budget.sourceCount(), ReceptionBudget::kMaxSources);
}

TEST(ReceptionBudget, GreetingsBeyondTheWholeCopysBucketWaitInsteadOfBeingLost) {
    FakeClock clock;
    ReceptionBudget budget({100, 10}, {10, 3}, clock.function());
    using Admission = ReceptionBudget::Admission;
    struct Step {
        const char* source;
        bool othersWaiting;
        Admission expected;
    };
    const Step steps[] = {
        {"10.0.0.1", false, Admission::Now},    {"10.0.0.1", false, Admission::Now},
        {"10.0.0.1", false, Admission::Now},    {"10.0.0.1", false, Admission::Refused},
        {"10.0.0.2", true, Admission::Waiting}, // behind those that wait, tokens or not
    };
    for (const Step& step : steps)
        EXPECT_EQ(budget.admitGreeting(step.source, step.othersWaiting), step.expected)
            << step.source;
    // The one that waited took nothing from the whole copy: seven more use up its ten,
    // and the next waits.
    for (int i = 0; i < 7; ++i)
        EXPECT_EQ(budget.admitGreeting(QString::number(i), false), Admission::Now) << i;
    EXPECT_EQ(budget.admitGreeting("10.0.0.9", false), Admission::Waiting);
    EXPECT_EQ(budget.refused(), 1u);
    EXPECT_EQ(budget.waited(), 2u);
    // The whole copy's token for one that waits comes with the refill.
    EXPECT_FALSE(budget.takeWaiting());
    EXPECT_EQ(budget.untilNextToken(), 10ms);
    clock.now += 25ms;
    EXPECT_EQ(budget.untilNextToken(), ReceptionBudget::Clock::duration::zero());
    EXPECT_TRUE(budget.takeWaiting());
    EXPECT_TRUE(budget.takeWaiting());
    EXPECT_FALSE(budget.takeWaiting());
    EXPECT_EQ(budget.untilNextToken(), 5ms);
    // A budget that never refills never has a token to wait for.
    ReceptionBudget frozen({0, 1}, {0, 5}, clock.function());
    EXPECT_EQ(frozen.admitGreeting("a", false), Admission::Now);
    EXPECT_EQ(frozen.admitGreeting("a", false), Admission::Waiting);
    EXPECT_EQ(frozen.untilNextToken(), ReceptionBudget::Clock::duration::max());
}

TEST(ReceptionBudget, AnswersToTheCopysOwnGreetingAreFreeOncePerAddressForAWhile) {
    FakeClock clock;
    ReceptionBudget budget({0, 2}, {0, 1}, clock.function());
    // Before any greeting of ours, an answer is charged like a greeting.
    EXPECT_TRUE(budget.admitAnswer("10.0.0.1"));
    EXPECT_FALSE(budget.admitAnswer("10.0.0.1"));
    budget.greetingSent();
    // Thousands of copies answer at once: far beyond the buckets, all free.
    int answered = 0;
    for (int i = 0; i < 3000; ++i)
        answered +=
            budget.admitAnswer(QStringLiteral("10.1.%1.%2").arg(i / 256).arg(i % 256)) ? 1 : 0;
    EXPECT_EQ(answered, 3000);
    EXPECT_EQ(budget.freeAnswers(), 3000u);
    // A second name from an address that answered already pays: the whole copy's last
    // token, then nothing.
    EXPECT_TRUE(budget.admitAnswer("10.1.0.0"));
    EXPECT_FALSE(budget.admitAnswer("10.1.0.0"));
    // The window ends.
    clock.now += ReceptionBudget::kAnswerWindow + 1s;
    EXPECT_FALSE(budget.admitAnswer("10.9.0.1"));
    // The next greeting opens it again, for every address; free answers are counted.
    budget.greetingSent();
    EXPECT_TRUE(budget.admitAnswer("10.1.0.0"));
    for (int i = 0; i < ReceptionBudget::kMaxFreeAnswers; ++i)
        budget.admitAnswer(QStringLiteral("10.2.%1.%2").arg(i / 256).arg(i % 256));
    EXPECT_FALSE(budget.admitAnswer("10.3.0.1")); // beyond a full list of free answers
}
