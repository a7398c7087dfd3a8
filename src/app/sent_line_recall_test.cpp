#include "app/sent_line_recall.h"

#include <QLineEdit>
#include <QTest>

#include <gtest/gtest.h>

#include <vector>

namespace kalvento::app {
namespace {

// Keys typed into a message box that remembers sent lines; the box's text after each.
TEST(SentLineRecall, UpAndDownWalkTheLinesWithoutReplacingWhatTheUserWrites) {
    struct Step {
        const char* what; // "up", "down", or text typed into the box (replacing it)
        const char* expected;
    };
    struct Row {
        const char* name;
        QStringList sent;
        std::vector<Step> steps;
    };
    const std::vector<Row> rows{
        {"nothing sent: the keys are the box's", {}, {{"up", ""}, {"down", ""}}},
        {"newest first, the oldest stays",
         {"one", "two"},
         {{"up", "two"}, {"up", "one"}, {"up", "one"}, {"down", "two"}}},
        {"down past the newest clears the recalled line",
         {"one", "two"},
         {{"up", "two"}, {"down", ""}, {"down", ""}}},
        {"a line being written is not replaced", {"one"}, {{"=draft", "draft"}, {"up", "draft"}}},
        {"typing over a recalled line leaves the recall",
         {"one", "two"},
         {{"up", "two"}, {"=two!", "two!"}, {"up", "two!"}}},
        {"a repeat is kept once",
         {"same", "same", "other", "same"},
         {{"up", "same"}, {"up", "other"}, {"up", "same"}, {"up", "same"}}},
    };
    for (const Row& row : rows) {
        QLineEdit box;
        SentLineRecall recall(box);
        for (const QString& line : row.sent)
            recall.remember(line);
        for (const Step& step : row.steps) {
            const QString what = QString::fromLatin1(step.what);
            if (what == u"up")
                QTest::keyClick(&box, Qt::Key_Up);
            else if (what == u"down")
                QTest::keyClick(&box, Qt::Key_Down);
            else
                box.setText(what.mid(1));
            EXPECT_EQ(box.text(), QString::fromLatin1(step.expected))
                << row.name << " after " << step.what;
        }
    }
}

TEST(SentLineRecall, KeepsTheNewestHundredLines) {
    QLineEdit box;
    SentLineRecall recall(box);
    for (int i = 0; i < SentLineRecall::kDepth + 5; ++i)
        recall.remember(QString::number(i));
    ASSERT_EQ(recall.lines().size(), SentLineRecall::kDepth);
    EXPECT_EQ(recall.lines().first(), QStringLiteral("5"));
    EXPECT_EQ(recall.lines().last(), QString::number(SentLineRecall::kDepth + 4));
}

} // namespace
} // namespace kalvento::app
