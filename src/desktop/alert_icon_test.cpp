#include "desktop/alert_icon.h"

#include "lang/language_file.h"

#include <gtest/gtest.h>

#include <QPixmap>
#include <QSignalSpy>
#include <QTest>

using namespace kalvento::desktop;
using namespace kalvento::lang;

namespace {

QIcon squareIcon(Qt::GlobalColor color) {
    QPixmap pixmap(16, 16);
    pixmap.fill(color);
    return QIcon(pixmap);
}

class AlertIconTest : public ::testing::Test {
protected:
    void TearDown() override { SetCurrentLanguageFile(nullptr); }

    AlertIcon icon{squareIcon(Qt::red), squareIcon(Qt::yellow)};
};

void useLanguage(const QByteArray& text) {
    SetCurrentLanguageFile(std::make_shared<LanguageFile>(LanguageFile::fromBytes(text)));
}

} // namespace

TEST_F(AlertIconTest, MakeIconShowsTheFirstPictureAndStartsFlashing) {
    EXPECT_FALSE(icon.isShown());
    icon.MakeIcon();
    EXPECT_TRUE(icon.isShown());
    EXPECT_TRUE(icon.systemTrayIcon()->isVisible());
    EXPECT_TRUE(icon.isFlashing());
    EXPECT_EQ(icon.IkoniTimer().interval(), 500);
    EXPECT_EQ(icon.currentPicture(), 1);
    EXPECT_EQ(icon.toolTip(), "Kalvento - You have got a new message!");
}

TEST_F(AlertIconTest, EachTickShowsTheOtherPicture) {
    icon.MakeIcon();
    std::vector<int> pictures;
    for (int tick = 0; tick < 5; ++tick) {
        icon.IkoniTimerTimer();
        pictures.push_back(icon.currentPicture());
        EXPECT_EQ(icon.FlashPhase(), icon.currentPicture());
    }
    EXPECT_EQ(pictures, (std::vector<int>{2, 1, 2, 1, 2}));
}

TEST_F(AlertIconTest, TheTimerDrivesTheFlashing) {
    icon.MakeIcon();
    EXPECT_TRUE(QTest::qWaitFor([&] { return icon.currentPicture() == 2; }, 1500));
    EXPECT_TRUE(QTest::qWaitFor([&] { return icon.currentPicture() == 1; }, 1500));
}

// The phase survives DeleteIcon: a new alert starts on picture 1 and its first tick goes on
// from wherever the last alert stopped.
TEST_F(AlertIconTest, FlashPhaseIsNeverReset) {
    icon.MakeIcon();
    icon.IkoniTimerTimer(); // phase 2
    icon.DeleteIcon();
    icon.MakeIcon();
    EXPECT_EQ(icon.currentPicture(), 1);
    EXPECT_EQ(icon.FlashPhase(), 2);
    icon.IkoniTimerTimer();
    EXPECT_EQ(icon.currentPicture(), 1);
    EXPECT_EQ(icon.FlashPhase(), 1);
}

// A stream of messages keeps one icon that goes on flashing at its own pace.
TEST_F(AlertIconTest, SecondMakeIconChangesNothingAndKeepsFlashing) {
    icon.IkoniTimer().setInterval(3000); // slow enough that no tick falls inside the test
    icon.MakeIcon();
    icon.IkoniTimerTimer();
    ASSERT_EQ(icon.currentPicture(), 2);
    QTest::qWait(600);
    icon.MakeIcon();
    EXPECT_EQ(icon.currentPicture(), 2);
    EXPECT_TRUE(icon.isFlashing());
    // Not restarted: the next tick is still due when it was (a coarse timer may run up to
    // 5% late, so a restart shows as 2850 or more).
    EXPECT_LT(icon.IkoniTimer().remainingTime(), 2700);
}

TEST_F(AlertIconTest, DeleteIconStopsTheFlashingAndRemovesTheIcon) {
    icon.MakeIcon();
    icon.DeleteIcon();
    EXPECT_FALSE(icon.isShown());
    EXPECT_FALSE(icon.isFlashing());
    EXPECT_FALSE(icon.systemTrayIcon()->isVisible());
    const int picture = icon.currentPicture();
    QTest::qWait(700);
    EXPECT_EQ(icon.currentPicture(), picture);
}

TEST_F(AlertIconTest, TipFollowsTheLanguageFileCutTo63Characters) {
    struct Case {
        const char* name;
        QByteArray file;
        QString tip;
    };
    const Case cases[] = {
        {"translated", "[Misc]\nM004=Kalvento - Uusi viesti!\n", "Kalvento - Uusi viesti!"},
        {"too long", "[Misc]\nM004=" + QByteArray(100, 'w') + "\n", QString(63, u'w')},
        {"empty text", "[Misc]\nM004=\n", ""},
        {"missing from the file", "[Misc]\nM007=Uusi viesti!\n", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        useLanguage(c.file);
        icon.MakeIcon();
        EXPECT_EQ(icon.toolTip(), c.tip);
        icon.IkoniTimerTimer();
        EXPECT_EQ(icon.toolTip(), c.tip);
        icon.DeleteIcon();
    }
}

// Mouse on the icon: what is left of it and whether the window is asked back. A click
// brings the window back on every tray; the second click of a double click finds the icon
// gone and asks nothing more.
TEST_F(AlertIconTest, AClickOnEveryTrayRestoresAndARightClickOnlyRemoves) {
    using R = QSystemTrayIcon::ActivationReason;
    struct Case {
        const char* name;
        std::vector<R> reasons;
        bool shownAfter;
        int restores;
    };
    const Case cases[] = {
        {"single click (XEmbed) or activation (StatusNotifierItem)", {R::Trigger}, false, 1},
        {"double click", {R::Trigger, R::DoubleClick}, false, 1},
        {"right click", {R::Context}, false, 0},
        {"middle click", {R::MiddleClick}, true, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        QSignalSpy restores(&icon, &AlertIcon::restoreRequested);
        icon.MakeIcon();
        for (R reason : c.reasons)
            icon.Activate(reason);
        EXPECT_EQ(icon.isShown(), c.shownAfter);
        EXPECT_EQ(icon.isFlashing(), c.shownAfter);
        EXPECT_EQ(restores.count(), c.restores);
        icon.DeleteIcon();
    }
}
