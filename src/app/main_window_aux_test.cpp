// The main window's smaller windows: big messages between copies of an in-memory LAN, the
// about box, the splash during creation, the icons and decorations of every window, the
// language of a start, and the title button by the top right corner.

#include "app/main_window.h"
#include "app/status_keeper.h"
#include "app/unsent_text.h"
#include "desktop/tray_icon.h"
#include "dialogs/about_box.h"
#include "dialogs/mline_window.h"
#include "dialogs/options_window.h"
#include "dialogs/update_window.h"
#include "dialogs/welcome_window.h"
#include "lang/language_file.h"
#include "lang/message_table.h"
#include "messaging/chat_session.h"
#include "widgets/glyph_button.h"
#include "widgets/title_button.h"

#include "support/chat_node_probe.h"
#include "support/main_window_host.h"
#include "support/qt_print.h"

#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QHelpEvent>
#include <QLabel>
#include <QLocale>
#include <QPlainTextEdit>
#include <QPointer>
#include <QRawFont>
#include <QTest>
#include <QToolButton>
#include <QToolTip>

#include <gtest/gtest.h>

using namespace kalvento;
using test::Host;
using test::Key;
using test::pump;

namespace {

// The lines a copy received, as text, with "..." in front of the continuation lines.
struct Received {
    QStringList lines;
    void listen(Host& host) {
        test::onLine(host->node(), host.form.get(), [this](const messaging::ReceivedLine& line) {
            lines << (line.continuation ? QStringLiteral("...") : QString()) +
                         (line.kind == messaging::ReceivedLine::Kind::Private
                              ? QStringLiteral("private: ")
                              : QString()) +
                         line.text;
        });
    }
};

class BigMessageTest : public ::testing::Test {
protected:
    void SetUp() override {
        a = std::make_unique<Host>(hub, QStringLiteral("PCA"));
        b = std::make_unique<Host>(hub, QStringLiteral("PCB"));
        c = std::make_unique<Host>(hub, QStringLiteral("PCC"));
        for (Host* host : {a.get(), b.get(), c.get()})
            (*host)->show();
        pump(hub, {a.get(), b.get(), c.get()});
        atB.listen(*b);
        atC.listen(*c);
    }
    dialogs::TMLineIkkuna* open() {
        (*a)->button("btnBigMessage")->click();
        return (*a)->lastBigMessageWindow();
    }
    void send(dialogs::TMLineIkkuna* window, const QString& text) {
        window->RE()->setPlainText(text);
        window->button("btnSend")->click();
        pump(hub, {a.get(), b.get(), c.get()});
    }

    network::InMemoryHub hub;
    std::unique_ptr<Host> a, b, c;
    Received atB, atC;
};

} // namespace

TEST_F(BigMessageTest, LinesArriveUnchangedAtEveryCopyAndTheWindowKeepsThem) {
    dialogs::TMLineIkkuna* window = open();
    ASSERT_NE(window, nullptr);
    EXPECT_TRUE(window->isVisible());
    const QString text = QStringLiteral("He said, \"wait\" , then left\n\n  indented line");
    send(window, text);
    const QStringList expected{QStringLiteral("He said, \"wait\" , then left"),
                               QStringLiteral("..."), QStringLiteral("...  indented line")};
    EXPECT_EQ(atB.lines, expected);
    EXPECT_EQ(atC.lines, expected);
    EXPECT_EQ(window->RE()->toPlainText(), text);
    // Sending again is a second message.
    window->button("btnSend")->click();
    pump(hub, {a.get(), b.get(), c.get()});
    EXPECT_EQ(atB.lines, expected + expected);
}

// Nothing of a big message is left behind: past 100 lines a second message carries the
// rest, with a heading of its own, to everybody.
TEST_F(BigMessageTest, EveryLineGoesAlsoPastAHundred) {
    QStringList lines;
    for (int i = 1; i <= 120; ++i)
        lines << QStringLiteral("line %1").arg(i);
    send(open(), lines.join(u'\n'));
    ASSERT_EQ(atB.lines.size(), 120);
    EXPECT_EQ(atB.lines.first(), QStringLiteral("line 1"));
    EXPECT_EQ(atB.lines[99], QStringLiteral("...line 100"));
    EXPECT_EQ(atB.lines[100], QStringLiteral("line 101")) << "a heading of its own";
    EXPECT_EQ(atB.lines.last(), QStringLiteral("...line 120"));
    EXPECT_EQ(atC.lines.size(), 120);
}

// A line longer than a datagram carries is split, not cut: its pieces follow each other and
// the lines around it still go.
TEST_F(BigMessageTest, ALineTooLongForADatagramIsSplitAndTheOthersStillGo) {
    const QString longLine(40000, u'x');
    send(open(), QStringLiteral("before\n") + longLine + QStringLiteral("\nafter"));
    ASSERT_EQ(atB.lines.size(), 4);
    EXPECT_EQ(atB.lines[0], QStringLiteral("before"));
    EXPECT_TRUE(atB.lines[1].startsWith(QStringLiteral("...xxxx")));
    EXPECT_EQ(atB.lines[1].mid(3) + atB.lines[2].mid(3), longLine);
    EXPECT_EQ(atB.lines[3], QStringLiteral("...after"));
}

TEST_F(BigMessageTest, WithAComputerTickedTheMessageIsPrivate) {
    b->tick(QStringLiteral("PCA (@ WORKGROUP)"), false);
    a->tick(QStringLiteral("PCB (@ WORKGROUP)"));
    ASSERT_TRUE((*a)->Privaatti()->isEnabled());
    (*a)->Privaatti()->setChecked(true);
    send(open(), QStringLiteral("just for you\nsecond"));
    EXPECT_EQ(atB.lines, QStringList({QStringLiteral("private: just for you"),
                                      QStringLiteral("...private: second")}));
    EXPECT_TRUE(atC.lines.isEmpty());
    // The sender sees its private message at once.
    EXPECT_TRUE(a->chat().contains(QLatin1String("just for you")));
}

TEST_F(BigMessageTest, EachClickOpensAWindowOfItsOwnThatFreesItself) {
    QPointer<dialogs::TMLineIkkuna> first = open();
    QPointer<dialogs::TMLineIkkuna> second = open();
    ASSERT_TRUE(first && second);
    EXPECT_NE(first.data(), second.data());
    EXPECT_EQ((*a)->lastBigMessageWindow(), second.data());
    send(first, QStringLiteral("from the first"));
    send(second, QStringLiteral("from the second"));
    EXPECT_EQ(atB.lines,
              QStringList({QStringLiteral("from the first"), QStringLiteral("from the second")}));
    second->close();
    EXPECT_TRUE(QTest::qWaitFor([&] { return second.isNull(); }, 2000));
    EXPECT_EQ((*a)->lastBigMessageWindow(), nullptr);
    EXPECT_FALSE(first.isNull());
}

// Quitting the program with a big message still unsent asks first; kept, the program stays
// and says no goodbye.
TEST_F(BigMessageTest, QuittingWithABigMessageNotSentAsksAndNoKeepsTheProgram) {
    QPointer<dialogs::TMLineIkkuna> window = open();
    ASSERT_TRUE(window);
    int asked = 0;
    bool lose = false;
    window->askToLose = [&](const QString&) {
        ++asked;
        return lose;
    };
    window->RE()->setPlainText(QStringLiteral("half of a long report"));
    (*a)->Close1Click();
    pump(hub, {a.get(), b.get(), c.get()});
    EXPECT_EQ(asked, 1);
    EXPECT_TRUE((*a)->isVisible());
    EXPECT_TRUE(window && window->isVisible());
    EXPECT_EQ(b->listTexts().size(), 3) << "no goodbye went";

    // The same close later, with the text let go: the program ends.
    lose = true;
    (*a)->Close1Click();
    pump(hub, {a.get(), b.get(), c.get()});
    EXPECT_EQ(asked, 2);
    EXPECT_FALSE((*a)->isVisible());
    EXPECT_EQ(b->listTexts().size(), 2);
}

// The end of the desktop session (or SIGTERM) cannot ask: what was written and not sent
// is kept, and the next start puts it back where it was and says so, once.
TEST_F(BigMessageTest, AnEndThatCannotAskKeepsWhatWasNotSentForTheNextStart) {
    (*a)->Message()->setText(QStringLiteral("half a line"));
    dialogs::TMLineIkkuna* report = open();
    report->RE()->setPlainText(QStringLiteral("a long report\nof two lines\n"));
    send(open(), QStringLiteral("sent already")); // kept by nobody
    open();                                       // empty
    (*a)->SessionEnding();

    a->start();
    EXPECT_EQ((*a)->Message()->text(), QStringLiteral("half a line"));
    const auto windows = (*a)->findChildren<dialogs::TMLineIkkuna*>();
    ASSERT_EQ(windows.size(), 1);
    EXPECT_TRUE(windows.front()->isVisible());
    EXPECT_EQ(windows.front()->RE()->toPlainText(),
              QStringLiteral("a long report\nof two lines\n"));
    EXPECT_TRUE(windows.front()->hasUnsentText()) << "closing it still asks";
    const QString notice = lang::GetMessageText(lang::MessageId::M181);
    EXPECT_TRUE(a->chat().contains(notice)) << a->chat().toStdString();
    EXPECT_TRUE(a->dialogs->errors.isEmpty()) << a->dialogs->errors.join(u'\n').toStdString();

    // Given back once: a start after an end with nothing written has nothing to give.
    (*a)->Message()->clear();
    windows.front()->button("btnSend")->click();
    (*a)->SessionEnding();
    a->start();
    EXPECT_EQ((*a)->Message()->text(), QString());
    EXPECT_TRUE((*a)->findChildren<dialogs::TMLineIkkuna*>().isEmpty());
    EXPECT_FALSE(a->chat().contains(notice));
}

// A copy killed without an end (SIGKILL, a crash) has kept what was being written within
// seconds: the next start gives it back. Sent, it is kept no more.
TEST_F(BigMessageTest, TextBeingWrittenSurvivesAKillWithoutAnEnd) {
    const QString path = a->dir.filePath(QStringLiteral("unsent.json"));
    const int wait = 3 * app::UnsentTextKeeper::kKeepDelayMs;
    (*a)->Message()->setText(QStringLiteral("half a line"));
    open()->RE()->setPlainText(QStringLiteral("a long report\nbeing written"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return QFile::exists(path); }, wait));

    a->start(); // the old window goes without its end, as under SIGKILL
    EXPECT_EQ((*a)->Message()->text(), QStringLiteral("half a line"));
    const auto windows = (*a)->findChildren<dialogs::TMLineIkkuna*>();
    ASSERT_EQ(windows.size(), 1);
    EXPECT_EQ(windows.front()->RE()->toPlainText(), QStringLiteral("a long report\nbeing written"));
    EXPECT_TRUE(a->chat().contains(lang::GetMessageText(lang::MessageId::M181)));

    // Given back, it is kept again at once: a second kill loses nothing either.
    ASSERT_TRUE(QTest::qWaitFor([&] { return QFile::exists(path); }, wait));
    // Both sent (the big message window stays open with its text): nothing is left.
    (*a)->button("btnSend")->click();
    windows.front()->button("btnSend")->click();
    EXPECT_TRUE(QTest::qWaitFor([&] { return !QFile::exists(path); }, wait));
    a->start();
    EXPECT_EQ((*a)->Message()->text(), QString());
    EXPECT_TRUE((*a)->findChildren<dialogs::TMLineIkkuna*>().isEmpty());
}

// Text that cannot be kept is said where the user looks when quitting, beside the other
// saves that failed.
TEST_F(BigMessageTest, TextThatCannotBeKeptAtTheEndIsSaid) {
    ASSERT_TRUE(QDir(a->dir.path()).mkdir(QStringLiteral("unsent.json")));
    (*a)->Message()->setText(QStringLiteral("half a line"));
    (*a)->Close1Click();
    ASSERT_EQ(a->dialogs->notices.size(), 1);
    EXPECT_TRUE(a->dialogs->notices.front().contains(QStringLiteral("unsent.json")))
        << a->dialogs->notices.front().toStdString();
}

// The marks beside sent lines are drawn by the fonts a plain desktop has (the setup and the
// package ask for DejaVu), in English and in Finnish: no box stands for a missing glyph.
TEST(DeliveryMarkGlyphs, EveryMarkIsInTheDefaultFont) {
    const QFont dejaVu(QStringLiteral("DejaVu Sans"));
    if (QFontInfo(dejaVu).family() != QStringLiteral("DejaVu Sans"))
        GTEST_SKIP() << "DejaVu Sans is not installed";
    const QRawFont raw = QRawFont::fromFont(dejaVu);
    ASSERT_TRUE(raw.isValid());
    const auto finnish = lang::LoadLanguageFile(lang::languageFileName(QStringLiteral("Suomi")),
                                                QStringLiteral(KALVENTO_SOURCE_DIR));
    ASSERT_NE(finnish, nullptr);
    QStringList marks{QStringLiteral("\u2026"), QStringLiteral("\u2713\u2713 3/4")};
    for (const lang::MessageId id : {lang::MessageId::M100, lang::MessageId::M101}) {
        for (const lang::LanguageFile* file :
             {static_cast<const lang::LanguageFile*>(nullptr), finnish.get()})
            marks << lang::messageText(file, lang::messageDefault(id), lang::messageIdentifier(id));
    }
    for (const QString& mark : std::as_const(marks)) {
        ASSERT_FALSE(mark.isEmpty());
        for (const uint c : mark.toUcs4())
            EXPECT_TRUE(raw.supportsCharacter(c))
                << mark.toStdString() << ": U+" << QString::number(c, 16).toUpper().toStdString();
    }
}

// --- The about box and the splash ----------------------------------------------------------

TEST(MainWindowAbout, TheInfoButtonShowsTheAboutBoxWithTheVersion) {
    network::InMemoryHub hub;
    QString product;
    QString system;
    Host a(hub, QStringLiteral("PCA"), {}, {}, [&](app::MainFormOptions& o) {
        test::recording(o).onModal<dialogs::TAboutBox>(
            QStringLiteral("AboutBox"), [&](dialogs::TAboutBox& box) {
                product = box.label("ProductName")->text();
                system = box.label("Windows")->text();
            });
    });
    EXPECT_TRUE(a->button("btnInfo")->isEnabled());
    a->button("btnInfo")->click();
    EXPECT_EQ(product, QStringLiteral("Kalvento ") + QStringLiteral(KALVENTO_VERSION));
    EXPECT_FALSE(system.isEmpty());
}

bool splashShown() {
    for (QWidget* w : QApplication::topLevelWidgets())
        if (w->objectName() == QLatin1String("Odota") && w->isVisible())
            return true;
    return false;
}

// The creation is over in a blink: the splash stays long enough to be seen, the window ready
// behind it and taking what arrives; it goes at once for the wizard and for a start into the
// tray.
TEST(MainWindowSplash, TheSplashStaysToBeSeenWhileTheWindowIsReadyBehindIt) {
    const struct {
        const char* name;
        bool showSplash;
        bool firstRun;
        QStringList arguments;
        QStringList stepsAtCreation;
    } rows[] = {
        {"shown", true, false, {}, {"splash shown", "created"}},
        {"off", false, false, {}, {"created"}},
        {"first run", true, true, {}, {"splash shown", "splash closed", "wizard", "created"}},
        {"into the tray", true, false, {"-s"}, {"splash shown", "splash closed", "created"}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        network::InMemoryHub hub;
        Host b(hub, QStringLiteral("PCB"), {{"General", "Show splashscreen", "0"}});
        b->show();
        QStringList steps;
        bool shownAtCreation = false;
        // "Language index" at the value that reads as missing: a first run.
        const std::vector<Key> keys{{"General", "Show splashscreen", row.showSplash ? "1" : "0"},
                                    {"Advanced", "Language index", row.firstRun ? "-69" : "0"}};
        Host a(hub, QStringLiteral("PCA"), keys, row.arguments, [&](app::MainFormOptions& o) {
            o.splashMinimum = std::chrono::milliseconds(600);
            o.creationTrace = [&](const QString& step) {
                steps << step;
                if (step == QLatin1String("splash shown"))
                    shownAtCreation = splashShown();
            };
        });
        EXPECT_EQ(steps, row.stepsAtCreation);
        EXPECT_EQ(shownAtCreation, row.showSplash);
        const bool lingers = row.stepsAtCreation.size() == 2;
        EXPECT_EQ(splashShown(), lingers);
        if (!lingers)
            continue;
        // The window is up behind the splash, and a line said meanwhile is shown at once.
        a->show();
        pump(hub, {&a, &b});
        b.type(QStringLiteral("seen behind the splash"));
        pump(hub, {&a, &b});
        EXPECT_TRUE(a.chat().contains(QStringLiteral("seen behind the splash")));
        EXPECT_TRUE(splashShown());
        EXPECT_TRUE(QTest::qWaitFor([] { return !splashShown(); }, 3000));
        EXPECT_EQ(steps.last(), QStringLiteral("splash closed"));
    }
    for (QWidget* w : QApplication::topLevelWidgets())
        EXPECT_NE(w->objectName(), QStringLiteral("Odota")) << "the splash outlived its time";
}

// Every window shows the program's icon; the dialogs (the options, the update window, the
// about box, the wizard) can be closed but neither minimized nor maximized.
TEST(MainWindowWindows, EveryWindowHasTheIconAndDialogsNoMinimizeOrMaximize) {
    network::InMemoryHub hub;
    QList<QPair<QString, Qt::WindowFlags>> dialogs;
    QStringList iconless;
    const auto look = [&](QWidget& window, bool dialog) {
        if (window.windowIcon().isNull() ||
            window.windowIcon().cacheKey() != QApplication::windowIcon().cacheKey())
            iconless << window.objectName();
        if (dialog)
            dialogs.append({window.objectName(), window.windowFlags()});
    };
    Host a(hub, QStringLiteral("PCA"), {}, {}, [&](app::MainFormOptions& o) {
        test::RecordingDialogs& user = test::recording(o);
        user.onModal<dialogs::TAboutBox>(QStringLiteral("AboutBox"),
                                         [&](dialogs::TAboutBox& box) { look(box, true); });
        user.onModal<dialogs::TUpdateIkkuna>(
            QStringLiteral("UpdateIkkuna"),
            [&](dialogs::TUpdateIkkuna& window) { look(window, true); });
    });
    EXPECT_FALSE(QApplication::windowIcon().isNull());
    look(*a.form, false);
    a->button("btnInfo")->click();
    a->button("btnUpdate")->click();
    a.options([&](dialogs::TOptionsIkkuna& w) {
        look(w, true);
        return false;
    });
    dialogs::TWelcomeIkkuna wizard;
    look(wizard, true);
    a->button("btnBigMessage")->click();
    ASSERT_NE(a->lastBigMessageWindow(), nullptr);
    look(*a->lastBigMessageWindow(), false);
    a->button("btnHelp")->click();
    for (QWidget* w : QApplication::topLevelWidgets())
        if (w->objectName() == QLatin1String("HelpWindow"))
            look(*w, false);
    EXPECT_TRUE(iconless.isEmpty()) << iconless.join(u' ').toStdString();
    ASSERT_EQ(dialogs.size(), 4);
    for (const auto& [name, flags] : dialogs) {
        SCOPED_TRACE(name.toStdString());
        EXPECT_EQ(flags & Qt::WindowType_Mask, Qt::Dialog);
        EXPECT_FALSE(flags & Qt::WindowMinimizeButtonHint);
        EXPECT_FALSE(flags & Qt::WindowMaximizeButtonHint);
    }
    a->lastBigMessageWindow()->close();
}

// A start in Finnish: the welcome line names the day as a Finn would, and the title button
// says what it does in Finnish.
TEST(MainWindowLanguage, TheWelcomeLineAndTheTitleButtonSpeakTheLanguage) {
    network::InMemoryHub hub;
    Host a(
        hub, QStringLiteral("PCA"),
        {{"Advanced", "Language index", "1"}, {"Advanced", "Language", "Suomi"}}, {},
        [](app::MainFormOptions& o) { o.resourceDirectory = QStringLiteral(KALVENTO_SOURCE_DIR); });
    const QDate today = QDate::currentDate();
    const QLocale finnish(QLocale::Finnish, QLocale::Finland);
    EXPECT_TRUE(a.chat().contains(QStringLiteral("Tervetuloa! Tänään on ") +
                                  finnish.standaloneDayName(today.dayOfWeek())))
        << a.chat().toStdString();
    EXPECT_TRUE(a.chat().contains(finnish.toString(today, QLocale::ShortFormat)));
    EXPECT_EQ(a->btnTitle()->toolTip(), QStringLiteral("Piilota Kalvento ilmoitusalueelle"));
    lang::SetCurrentLanguageFile(nullptr);
}

// In either language and at the window's first size or a larger one, no control covers
// another or the title button: the list's label is longer in Finnish, and the status button
// shows the whole word of the status.
TEST(MainWindowLanguage, NoControlCoversAnotherInEitherLanguage) {
    for (const bool finnish : {false, true}) {
        SCOPED_TRACE(finnish ? "Finnish" : "English");
        network::InMemoryHub hub;
        std::vector<Key> keys;
        if (finnish)
            keys = {{"Advanced", "Language index", "1"}, {"Advanced", "Language", "Suomi"}};
        Host a(hub, QStringLiteral("PCA"), keys, {}, [](app::MainFormOptions& o) {
            o.resourceDirectory = QStringLiteral(KALVENTO_SOURCE_DIR);
        });
        a->show();
        const QToolButton* status = a->status().button();
        for (const QSize size : {QSize(633, 417), QSize(900, 600)}) {
            a->resize(size);
            EXPECT_EQ(status->width(), status->sizeHint().width());
            std::vector<std::pair<QString, QRect>> shown{
                {QStringLiteral("title button"), a->btnTitle()->ButtonRect()}};
            for (const QWidget* child :
                 a->findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly))
                if (child->isVisible())
                    shown.emplace_back(child->objectName(), child->geometry());
            for (size_t i = 0; i < shown.size(); ++i)
                for (size_t j = i + 1; j < shown.size(); ++j)
                    EXPECT_FALSE(shown[i].second.intersects(shown[j].second))
                        << shown[i].first.toStdString() << " and " << shown[j].first.toStdString()
                        << " at " << size.width();
        }
        lang::SetCurrentLanguageFile(nullptr);
    }
}

// --- The title button -----------------------------------------------------------------------

TEST(MainWindowTitleButton, ItCoversNoControlAtTheDesignSizeOrALargerOne) {
    network::InMemoryHub hub;
    Host a(hub, QStringLiteral("PCA"));
    a->show();
    const widgets::TTitlebtn* button = a->btnTitle();
    ASSERT_NE(button, nullptr);
    EXPECT_TRUE(button->Visible());
    EXPECT_TRUE(button->Enabled());
    for (const QSize size : {QSize(633, 417), QSize(800, 600), QSize(1600, 1000)}) {
        a->resize(size);
        const QRect r = button->ButtonRect();
        EXPECT_TRUE(a->rect().contains(r));
        for (const QWidget* child :
             a->findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly)) {
            if (child->isVisible()) {
                EXPECT_FALSE(child->geometry().intersects(r))
                    << child->objectName().toStdString() << " at " << size.width();
            }
        }
    }
}

TEST(MainWindowTitleButton, ItsTipSaysWhatItDoesOnTheButtonOnly) {
    network::InMemoryHub hub;
    Host a(hub, QStringLiteral("PCA"));
    a->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(a.form.get()));
    const auto tipAt = [&](QPoint at) {
        QToolTip::hideText();
        EXPECT_TRUE(QTest::qWaitFor([] { return !QToolTip::isVisible(); }, 2000));
        QHelpEvent help(QEvent::ToolTip, at, a->mapToGlobal(at));
        QApplication::sendEvent(a.form.get(), &help);
        return QToolTip::isVisible() ? QToolTip::text() : QString();
    };
    EXPECT_EQ(tipAt(a->btnTitle()->ButtonRect().center()),
              QStringLiteral("Hide Kalvento to the tray"));
    EXPECT_EQ(tipAt(a->btnTitle()->ButtonRect().bottomLeft() + QPoint(-3, 3)), QString());
    QToolTip::hideText();
}

TEST(MainWindowTitleButton, AClickHidesToTheTrayWhateverTheSettingSays) {
    network::InMemoryHub hub;
    Host a(hub, QStringLiteral("PCA"), {{"General", "Hide to tray", "0"}});
    a->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(a.form.get()));
    const QPoint at = a->btnTitle()->ButtonRect().center();
    QTest::mousePress(a.form.get(), Qt::LeftButton, {}, at);
    QTest::mouseRelease(a.form.get(), Qt::LeftButton, {}, at);
    // Offscreen there is no tray: hiding minimizes instead, as everywhere in the program.
    EXPECT_TRUE(a->TrayIcon()->Active() || a->isMinimized() || !a->isVisible());
    EXPECT_FALSE(a->settings().hideToTray);
}
