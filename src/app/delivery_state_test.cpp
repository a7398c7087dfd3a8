// What the mark beside a sent line says as the receipts come: per recipient, in any order,
// with failures, the outbox and the user's cancelling, for a bounded number of sends.

#include "app/delivery_state.h"

#include <gtest/gtest.h>

#include <optional>
#include <vector>

using namespace kalvento;
using app::DeliveryTable;
using messaging::DeliveryChanged;
using State = DeliveryChanged::State;
using Summary = DeliveryTable::Summary;

namespace {

messaging::LineOutcome outcome(quint64 item, QStringList tracked, QStringList waiting = {},
                               QStringList noReceipt = {}, QList<quint64> lineIds = {}) {
    messaging::LineOutcome sent;
    sent.item = item;
    sent.tracked = std::move(tracked);
    sent.waiting = std::move(waiting);
    sent.noReceipt = std::move(noReceipt);
    sent.lineIds = std::move(lineIds);
    return sent;
}

DeliveryChanged change(quint64 item, const QString& computer, State state) {
    DeliveryChanged changed;
    changed.item = item;
    changed.computer = computer;
    changed.state = state;
    return changed;
}

QString lower(const QString& computer) {
    return computer.toLower();
}

// One step of a line's life: an event (or the user's "Send again"), then the mark.
struct Step {
    const char* what;
    std::optional<DeliveryChanged> event; // none: Send again
    bool changes;
    const char* text;
    Summary summary;
    const char* toolTip;
};

void walk(DeliveryTable& table, quint64 item, const std::vector<Step>& steps) {
    for (const Step& step : steps) {
        SCOPED_TRACE(step.what);
        if (step.event)
            EXPECT_EQ(table.apply(*step.event), step.changes ? item : 0);
        else
            table.sentAgain(item);
        const DeliveryTable::Mark mark = table.mark(item, lower);
        EXPECT_EQ(mark.text, QString::fromUtf8(step.text));
        EXPECT_EQ(mark.summary, step.summary);
        EXPECT_EQ(mark.toolTip, QString::fromUtf8(step.toolTip));
    }
}

} // namespace

TEST(DeliveryTable, MarkFollowsReceiptsOfEveryRecipientAndNeverGoesBack) {
    DeliveryTable table;
    ASSERT_TRUE(table.track(outcome(7, {"PCA", "PCB", "PCC"}, {}, {"PCD"})));
    const DeliveryTable::Mark first = table.mark(7, lower);
    EXPECT_EQ(first.text, QStringLiteral("\u2026"));
    EXPECT_EQ(first.toolTip, "delivered to 0 of 3; no receipt (older copy): pcd");
    walk(table, 7,
         {
             {"one delivered", change(7, "PCA", State::Delivered), true, "✓ 1/3", Summary::Partly,
              "delivered to 1 of 3; no receipt (older copy): pcd"},
             {"same again", change(7, "PCA", State::Delivered), false, "✓ 1/3", Summary::Partly,
              "delivered to 1 of 3; no receipt (older copy): pcd"},
             // A read receipt may overtake its delivery receipt.
             {"read before delivered", change(7, "pcb", State::Read), true, "✓ 2/3",
              Summary::Partly, "delivered to 2 of 3; read by pcb; no receipt (older copy): pcd"},
             {"late delivery after read", change(7, "PCB", State::Delivered), false, "✓ 2/3",
              Summary::Partly, "delivered to 2 of 3; read by pcb; no receipt (older copy): pcd"},
             {"all delivered", change(7, "PCC", State::Delivered), true, "✓", Summary::Delivered,
              "delivered to 3 of 3; read by pcb; no receipt (older copy): pcd"},
             {"late failure after delivery", change(7, "PCC", State::Failed), false, "✓",
              Summary::Delivered, "delivered to 3 of 3; read by pcb; no receipt (older copy): pcd"},
             {"two read", change(7, "PCA", State::Read), true, "✓", Summary::Delivered,
              "delivered to 3 of 3; read by pca, pcb; no receipt (older copy): pcd"},
             {"all read", change(7, "PCC", State::Read), true, "✓✓", Summary::Read,
              "delivered to 3 of 3; read by pca, pcb, pcc; no receipt (older copy): pcd"},
         });
}

TEST(DeliveryTable, FailuresTheOutboxAndCancellingShowUntilSettled) {
    DeliveryTable table;
    ASSERT_TRUE(table.track(outcome(9, {"PCA"}, {"PCB"})));
    walk(table, 9,
         {
             {"start", change(9, "PCA", State::Sent), false, "◷ waiting", Summary::Waiting,
              "delivered to 0 of 2; waiting for pcb"},
             {"failure beats waiting", change(9, "PCA", State::Failed), true, "⚠ not delivered",
              Summary::Failed, "delivered to 0 of 2; not delivered: pca; waiting for pcb"},
             {"send again", std::nullopt, false, "◷ waiting", Summary::Waiting,
              "delivered to 0 of 2; waiting for pcb"},
             {"delivered after all", change(9, "PCA", State::Delivered), true, "◷ waiting",
              Summary::Waiting, "delivered to 1 of 2; waiting for pcb"},
             {"out of the outbox", change(9, "PCB", State::Sent), true, "✓ 1/2", Summary::Partly,
              "delivered to 1 of 2"},
             {"both", change(9, "PCB", State::Delivered), true, "✓", Summary::Delivered,
              "delivered to 2 of 2"},
         });

    ASSERT_TRUE(table.track(outcome(10, {}, {"PCB", "PCC"})));
    walk(table, 10,
         {
             {"one cancelled", change(10, "PCB", State::Cancelled), true, "◷ waiting",
              Summary::Waiting, "delivered to 0 of 1; waiting for pcc; cancelled: pcb"},
             {"both cancelled", change(10, "PCC", State::Cancelled), true, "cancelled",
              Summary::Cancelled, "cancelled: pcb, pcc"},
         });

    ASSERT_TRUE(table.track(outcome(11, {}, {"PCB"})));
    walk(
        table, 11,
        {
            {"expired", change(11, "PCB", State::Expired), true, "⚠ not delivered", Summary::Failed,
             "delivered to 0 of 1; dropped from the outbox after waiting too "
             "long: pcb"},
            {"send again leaves an expired line", std::nullopt, false, "⚠ not delivered",
             Summary::Failed,
             "delivered to 0 of 1; dropped from the outbox after waiting too "
             "long: pcb"},
        });
    EXPECT_FALSE(table.hasFailed(11)); // nothing for "Send again": the outbox dropped it

    // Not delivered to a computer then seen to be away: the line waits for it after all.
    ASSERT_TRUE(table.track(outcome(12, {"PCB"})));
    walk(table, 12,
         {
             {"failed", change(12, "PCB", State::Failed), true, "⚠ not delivered", Summary::Failed,
              "delivered to 0 of 1; not delivered: pcb"},
             {"into the outbox", change(12, "PCB", State::Waiting), true, "◷ waiting",
              Summary::Waiting, "delivered to 0 of 1; waiting for pcb"},
             {"out of it", change(12, "PCB", State::Sent), true, "…", Summary::Pending,
              "delivered to 0 of 1"},
         });
    EXPECT_FALSE(table.hasFailed(12));
}

TEST(DeliveryTable, EventsBeforeTheirSendWaitForIt) {
    DeliveryTable table;
    EXPECT_EQ(table.apply(change(5, "PCA", State::Waiting)), 0u);
    EXPECT_EQ(table.apply(change(6, "PCA", State::Delivered)), 0u);
    ASSERT_TRUE(table.track(outcome(5, {"PCA"})));
    EXPECT_EQ(table.mark(5, lower).summary, Summary::Waiting);
    ASSERT_TRUE(table.track(outcome(6, {"PCA", "PCB"})));
    EXPECT_EQ(table.mark(6, lower).text, "✓ 1/2");
    // Sends that expect no receipt are not followed, nor their events.
    EXPECT_FALSE(table.track(outcome(0, {"PCA"})));
    EXPECT_EQ(table.apply(change(0, "PCA", State::Delivered)), 0u);
    EXPECT_EQ(table.size(), 2);
}

TEST(DeliveryTable, KeepsTheLastSendsOnlyWithTheirLineIds) {
    DeliveryTable table(3);
    for (quint64 item = 1; item <= 4; ++item)
        ASSERT_TRUE(table.track(outcome(item, {"PCA"}, {}, {}, {item * 100, item * 100 + 1})));
    EXPECT_EQ(table.size(), 3);
    EXPECT_FALSE(table.contains(1));
    EXPECT_EQ(table.itemOfLine(100), 0u);
    EXPECT_EQ(table.itemOfLine(101), 0u);
    EXPECT_EQ(table.apply(change(1, "PCA", State::Failed)), 0u);
    for (quint64 item = 2; item <= 4; ++item) {
        EXPECT_TRUE(table.contains(item));
        EXPECT_EQ(table.itemOfLine(item * 100 + 1), item);
        EXPECT_EQ(table.apply(change(item, "PCA", State::Failed)), item);
        EXPECT_TRUE(table.hasFailed(item));
    }
}

TEST(DeliveryTable, NamesInTheTooltipAreIsolatedData) {
    DeliveryTable table;
    ASSERT_TRUE(table.track(outcome(3, {"PCA", "PCB"})));
    table.apply(change(3, "PCA", State::Failed));
    const auto names = [](const QString& computer) {
        return computer == "PCA" ? QStringLiteral("<b>\u05D0\u05D1</b>\nx") : computer;
    };
    // On one line and wrapped in an isolate: the tooltip reads the same around it.
    EXPECT_EQ(
        table.mark(3, names).toolTip,
        QStringLiteral("delivered to 0 of 2; not delivered: \u2068<b>\u05D0\u05D1</b> x\u2069"));
}

TEST(DeliveryTable, TextStartIsOneLineAndCutVisiblyOnACharacterBoundary) {
    struct Case {
        QString text;
        qsizetype max;
        QString start;
    } cases[] = {
        {"hello", 40, "hello"},
        {"two\r\nlines\u2028here", 40, "two lines here"},
        {"abcdefghij", 5, "abcde\u2026"},
        {"abcd\U0001F600xyz", 5, "abcd\u2026"}, // not half of the emoji
        {"abc\U0001F600xyz", 5, "abc\U0001F600\u2026"},
        {"", 5, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text.toStdString());
        EXPECT_EQ(app::textStart(c.text, c.max), c.start);
    }
}
