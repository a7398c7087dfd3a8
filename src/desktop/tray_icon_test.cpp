#include "desktop/tray_icon.h"

#include <gtest/gtest.h>

#include <QPixmap>
#include <QSignalSpy>
#include <QWidget>

using namespace kalvento::desktop;

namespace {

QIcon squareIcon(Qt::GlobalColor color) {
    QPixmap pixmap(16, 16);
    pixmap.fill(color);
    return QIcon(pixmap);
}

} // namespace

TEST(CutTip, KeepsAtMostTheLimitWithoutSplittingACharacter) {
    const QString smile = QString::fromUtf8("\xF0\x9F\x98\x80"); // two UTF-16 units
    struct Case {
        QString text;
        int limit;
        QString expected;
    };
    const Case cases[] = {
        {"", 62, ""},
        {"Kalvento by Fennrake", 62, "Kalvento by Fennrake"},
        {QString(62, u'x'), 62, QString(62, u'x')},
        {QString(63, u'x'), 62, QString(62, u'x')},
        {QString(200, u'y'), 63, QString(63, u'y')},
        {QString(61, u'a') + smile + "b", 62, QString(61, u'a')},
        {QString(60, u'a') + smile + "b", 62, QString(60, u'a') + smile},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text.toStdString());
        EXPECT_EQ(cutTip(c.text, c.limit), c.expected);
    }
}

TEST(TTrayIcon, ToolTipIsCutTo62CharactersAndReachesTheIcon) {
    TTrayIcon tray;
    tray.SetToolTip(QString(70, u'z'));
    EXPECT_EQ(tray.ToolTip(), QString(62, u'z'));
    EXPECT_EQ(tray.systemTrayIcon()->toolTip(), QString(62, u'z'));
}

TEST(TTrayIcon, ActiveShowsAndHidesTheIcon) {
    TTrayIcon tray;
    tray.SetIcon(squareIcon(Qt::red));
    EXPECT_FALSE(tray.Active());
    tray.SetActive(true);
    EXPECT_TRUE(tray.Active());
    EXPECT_TRUE(tray.systemTrayIcon()->isVisible());
    tray.SetActive(false);
    EXPECT_FALSE(tray.systemTrayIcon()->isVisible());
}

// Which events one activation raises, under each way Qt talks to the tray.
TEST(TTrayIcon, ActivationsBecomeClickDoubleClickAndRightClick) {
    using R = QSystemTrayIcon::ActivationReason;
    struct Case {
        const char* name;
        std::vector<R> reasons;
        bool statusNotifier;
        int clicks, doubleClicks, rightClicks;
    };
    const Case cases[] = {
        {"XEmbed single click", {R::Trigger}, false, 1, 0, 0},
        {"XEmbed double click", {R::Trigger, R::DoubleClick}, false, 1, 1, 0},
        {"XEmbed right click", {R::Context}, false, 0, 0, 1},
        {"XEmbed middle click", {R::MiddleClick}, false, 0, 0, 0},
        {"SNI activation", {R::Trigger}, true, 1, 1, 0},
        {"SNI context menu", {R::Context}, true, 0, 0, 1},
        {"SNI secondary activation", {R::MiddleClick}, true, 0, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TTrayIcon tray;
        QSignalSpy clicks(&tray, &TTrayIcon::OnClick);
        QSignalSpy doubleClicks(&tray, &TTrayIcon::OnDblClick);
        QSignalSpy rightClicks(&tray, &TTrayIcon::OnRightClick);
        for (R reason : c.reasons)
            tray.Activate(reason, c.statusNotifier);
        EXPECT_EQ(clicks.count(), c.clicks);
        EXPECT_EQ(doubleClicks.count(), c.doubleClicks);
        ASSERT_EQ(rightClicks.count(), c.rightClicks);
        if (c.rightClicks > 0) {
            EXPECT_EQ(rightClicks.at(0).at(0).value<Qt::MouseButton>(), Qt::RightButton);
        }
    }
}

TEST(TTrayIcon, ActivationFromQtReachesTheEvents) {
    TTrayIcon tray;
    QSignalSpy doubleClicks(&tray, &TTrayIcon::OnDblClick);
    emit tray.systemTrayIcon()->activated(QSystemTrayIcon::DoubleClick);
    EXPECT_EQ(doubleClicks.count(), 1);
}

// Offscreen has no notification area: hiding there must leave a way back.
TEST(HideToTray, WithoutATrayMinimizesInsteadOfHiding) {
    ASSERT_FALSE(TTrayIcon::trayAvailable());
    QWidget window;
    window.show();
    TTrayIcon tray;
    tray.SetIcon(squareIcon(Qt::blue));
    hideToTray(window, tray);
    EXPECT_FALSE(tray.Active());
    EXPECT_TRUE(window.isMinimized());
    EXPECT_TRUE(window.isVisible());

    restoreAndRaise(window);
    EXPECT_FALSE(window.isMinimized());
    EXPECT_TRUE(window.isVisible());
}

TEST(RestoreFromTray, RemovesTheTrayIconAndShowsTheWindow) {
    QWidget window;
    TTrayIcon tray;
    tray.SetIcon(squareIcon(Qt::blue));
    tray.SetActive(true);
    restoreFromTray(window, tray);
    EXPECT_FALSE(tray.Active());
    EXPECT_FALSE(tray.systemTrayIcon()->isVisible());
    EXPECT_TRUE(window.isVisible());
}
