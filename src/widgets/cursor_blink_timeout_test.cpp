#include "widgets/cursor_blink_timeout.h"

#include <QApplication>
#include <QLineEdit>
#include <QTest>

#include <gtest/gtest.h>

using kalvento::widgets::CursorBlinkTimeout;

namespace {

// Counts the timer events that reach a text field and the objects inside it: its cursor's
// blinking.
struct TimerCount : QObject {
    int count = 0;
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::Timer)
            ++count;
        return false;
    }
};

} // namespace

TEST(CursorBlinkTimeout, TheCursorStopsBlinkingWithoutInputAndBlinksAgainAtAKey) {
    const int desktop = QApplication::cursorFlashTime();
    QApplication::setCursorFlashTime(100);
    {
        QLineEdit field;
        field.show();
        field.activateWindow();
        field.setFocus();
        ASSERT_TRUE(QTest::qWaitForWindowActive(&field));
        TimerCount timers;
        field.installEventFilter(&timers);
        for (QObject* inside : field.findChildren<QObject*>())
            inside->installEventFilter(&timers);

        CursorBlinkTimeout timeout(800);
        QTest::qWait(250);
        EXPECT_TRUE(timeout.blinking());
        EXPECT_GE(timers.count, 2) << "the cursor did not blink to begin with";

        EXPECT_TRUE(QTest::qWaitFor([&] { return !timeout.blinking(); }, 3000));
        EXPECT_EQ(QApplication::cursorFlashTime(), 0);
        timers.count = 0;
        QTest::qWait(400);
        EXPECT_EQ(timers.count, 0) << "the cursor still blinks";

        QTest::keyClick(&field, Qt::Key_A);
        EXPECT_TRUE(timeout.blinking());
        EXPECT_EQ(QApplication::cursorFlashTime(), 100);
        QTest::qWait(200);
        EXPECT_GE(timers.count, 2) << "a key did not bring the blinking back";
    }
    // Stopped when it went, the flash time is put back.
    {
        CursorBlinkTimeout timeout(10);
        QTest::qWait(50);
        EXPECT_EQ(QApplication::cursorFlashTime(), 0);
    }
    EXPECT_EQ(QApplication::cursorFlashTime(), 100);
    QApplication::setCursorFlashTime(desktop);
}
