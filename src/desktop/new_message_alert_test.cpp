#include "desktop/new_message_alert.h"

#include "desktop/alert_icon.h"
#include "desktop/tray_icon.h"
#include "lang/language_file.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QMessageBox>
#include <QPixmap>
#include <QPushButton>
#include <QSignalSpy>
#include <QWidget>

#include <memory>

using namespace kalvento::desktop;
using kalvento::desktop::SoundChoice;

namespace {

QIcon squareIcon(Qt::GlobalColor color) {
    QPixmap pixmap(16, 16);
    pixmap.fill(color);
    return QIcon(pixmap);
}

int visibleMessageBoxes() {
    int count = 0;
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        if (qobject_cast<QMessageBox*>(widget) != nullptr && widget->isVisible())
            ++count;
    }
    return count;
}

// Records what the alert asked of the program, in order.
struct Recorder {
    std::vector<std::string> calls;
    std::vector<SoundChoice> sounds;
    bool trayActive = false;

    NewMessageAlert::Hooks hooks() {
        return {
            [this](const SoundChoice& choice) {
                calls.emplace_back("sound");
                sounds.push_back(choice);
            },
            [this] { calls.emplace_back("icon"); },
            [this] { return trayActive; },
            [this] {
                calls.emplace_back("restore from tray");
                trayActive = false;
            },
            [this] { calls.emplace_back("raise"); },
        };
    }
};

} // namespace

TEST(AlertDue, WhenTheUserCannotBeLookingAndAlertsAreOn) {
    struct Case {
        AlertConditions conditions;
        bool due;
    };
    const Case cases[] = {
        {{.trayIconActive = false, .windowMinimized = false, .applicationActive = true}, false},
        {{.trayIconActive = true, .windowMinimized = false, .applicationActive = true}, true},
        {{.trayIconActive = false, .windowMinimized = true, .applicationActive = true}, true},
        {{.trayIconActive = false, .windowMinimized = false, .applicationActive = false}, true},
        {{.trayIconActive = true, .windowMinimized = true, .applicationActive = false}, true},
        {{.trayIconActive = true,
          .windowMinimized = false,
          .applicationActive = true,
          .showAlert = false},
         false},
        {{.trayIconActive = false,
          .windowMinimized = false,
          .applicationActive = false,
          .showAlert = false},
         false},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(alertDue(cases[i].conditions), cases[i].due);
    }
}

TEST(NewMessageAlert, RunsTheStepsTheSettingsAskForInOrder) {
    struct Case {
        const char* name;
        AlertSettings settings;
        bool trayActive;
        std::vector<std::string> calls;
        bool box;
    };
    const Case cases[] = {
        {"nothing on", {false, "ding.wav", 0, false, false}, false, {}, false},
        {"sound only", {true, "ding.wav", 0, false, false}, true, {"sound"}, false},
        {"icon only", {false, "", 0, true, false}, true, {"icon"}, false},
        {"bring on top from the tray",
         {true, "", 2, true, true},
         true,
         {"sound", "icon", "restore from tray", "raise"},
         true},
        {"bring on top from minimized", {false, "", 0, true, true}, false, {"icon", "raise"}, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Recorder recorder;
        recorder.trayActive = c.trayActive;
        NewMessageAlert alert(recorder.hooks());
        QSignalSpy boxes(&alert, &NewMessageAlert::messageBoxShown);
        alert.run(c.settings);
        EXPECT_EQ(recorder.calls, c.calls);
        EXPECT_EQ(boxes.count(), c.box ? 1 : 0);
        EXPECT_EQ(alert.messageBoxOpen(), c.box);
    }
}

TEST(NewMessageAlert, PlaysTheFileOrTheSystemSoundTheNameCallsFor) {
    Recorder recorder;
    NewMessageAlert alert(recorder.hooks());
    alert.run({true, "/usr/share/sounds/ding.wav", 3, false, false});
    alert.run({true, "System asterisk", 3, false, false});
    alert.run({true, "", 9, false, false});
    const std::vector<SoundChoice> expected = {
        {SoundChoice::File, "/usr/share/sounds/ding.wav", 0},
        {SoundChoice::SystemSound, "", 3},
        {SoundChoice::SystemSound, "", 9},
    };
    EXPECT_EQ(recorder.sounds, expected);
}

// A stream of messages while the box is open must not pile up boxes; once the user has
// closed it, the next message opens it again.
TEST(NewMessageAlert, OpensAtMostOneMessageBoxAtATime) {
    Recorder recorder;
    QWidget window;
    window.show();
    NewMessageAlert alert(recorder.hooks());
    alert.setBoxParent(&window);
    QSignalSpy boxes(&alert, &NewMessageAlert::messageBoxShown);
    const AlertSettings settings{false, "", 0, false, true};

    for (int message = 0; message < 20; ++message)
        alert.run(settings);
    EXPECT_EQ(boxes.count(), 1);
    EXPECT_EQ(visibleMessageBoxes(), 1);
    EXPECT_EQ(window.findChildren<QMessageBox*>().size(), 1);

    QMessageBox* box = alert.messageBox();
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(box->text(), "You have got a new message!");
    EXPECT_EQ(box->icon(), QMessageBox::Information);
    EXPECT_EQ(box->windowModality(), Qt::ApplicationModal);
    box->button(QMessageBox::Ok)->click();
    EXPECT_FALSE(alert.messageBoxOpen());
    EXPECT_EQ(visibleMessageBoxes(), 0);

    alert.run(settings);
    alert.run(settings);
    EXPECT_EQ(boxes.count(), 2);
    EXPECT_EQ(visibleMessageBoxes(), 1);
    EXPECT_EQ(window.findChildren<QMessageBox*>().size(), 1);
    box->button(QMessageBox::Ok)->click();
}

TEST(NewMessageAlert, BoxTextIsPlainAndComesFromTheLanguage) {
    using namespace kalvento::lang;
    SetCurrentLanguageFile(std::make_shared<LanguageFile>(
        LanguageFile::fromBytes("[Misc]\nM007=<b>Uusi</b> viesti!\n")));
    Recorder recorder;
    NewMessageAlert alert(recorder.hooks());
    alert.run({false, "", 0, false, true});
    ASSERT_NE(alert.messageBox(), nullptr);
    EXPECT_EQ(alert.messageBox()->text(), "<b>Uusi</b> viesti!");
    EXPECT_EQ(alert.messageBox()->textFormat(), Qt::PlainText);
    alert.messageBox()->close();
    SetCurrentLanguageFile(nullptr);
}

// The window the box belonged to may be gone by the next message.
TEST(NewMessageAlert, SurvivesTheBoxParentGoingAway) {
    Recorder recorder;
    NewMessageAlert alert(recorder.hooks());
    auto window = std::make_unique<QWidget>();
    alert.setBoxParent(window.get());
    alert.run({false, "", 0, false, true});
    window.reset();
    EXPECT_EQ(alert.messageBox(), nullptr);
    alert.run({false, "", 0, false, true});
    ASSERT_NE(alert.messageBox(), nullptr);
    EXPECT_TRUE(alert.messageBoxOpen());
    alert.messageBox()->close();
}

// The whole sequence with the real icons: the window hidden to the tray comes back, the tray
// icon goes, the alert icon that was just made goes too, and the box opens.
TEST(NewMessageAlert, BringOnTopFromTheTrayUndoesTheTrayAndTheAlertIcon) {
    QWidget window;
    TTrayIcon tray;
    tray.SetIcon(squareIcon(Qt::blue));
    AlertIcon alertIcon(squareIcon(Qt::red), squareIcon(Qt::yellow));
    tray.SetActive(true); // as hideToTray does where a tray exists
    window.hide();

    bool iconWasMade = false;
    NewMessageAlert alert({
        [](const SoundChoice&) {},
        [&] {
            alertIcon.MakeIcon();
            iconWasMade = alertIcon.isShown();
        },
        [&] { return tray.Active(); },
        [&] {
            restoreFromTray(window, tray);
            alertIcon.DeleteIcon();
        },
        [&] { restoreAndRaise(window); },
    });
    alert.setBoxParent(&window);
    alert.run({true, "System start", 0, true, true});

    EXPECT_TRUE(iconWasMade);
    EXPECT_FALSE(tray.Active());
    EXPECT_TRUE(window.isVisible());
    EXPECT_FALSE(alertIcon.isShown());
    EXPECT_FALSE(alertIcon.isFlashing());
    EXPECT_TRUE(alert.messageBoxOpen());
    alert.messageBox()->close();
}
