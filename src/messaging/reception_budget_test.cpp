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
