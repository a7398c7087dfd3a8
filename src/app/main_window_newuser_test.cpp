// What a new user meets first, between copies of an in-memory LAN: every language's letters
// on the wire and in the log, an older copy's Windows-1252, a peer that crashed and came
// back, friends kept at once, a hidden start that greets, and a window that cannot collapse.

#include "app/chat_view.h"
#include "app/main_window.h"
#include "desktop/tray_icon.h"
#include "lang/language_file.h"
#include "lang/qt_translation.h"
#include "messaging/chat_protocol.h"
#include "messaging/chat_session.h"
#include "messaging/mailslot_terminal.h"

#include "support/chat_node_probe.h"
#include "support/main_window_host.h"
#include "support/qt_print.h"

#include <QApplication>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QLibraryInfo>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

#include <sys/resource.h>

#include <csignal>
#include <cstring>

using namespace kalvento;
using test::Host;
using test::Key;
using test::pump;

namespace {

struct Lines {
    QStringList texts;
    QStringList senders;
    void listen(Host& host) {
        test::onLine(host->node(), host.form.get(), [this](const messaging::ReceivedLine& line) {
            texts << line.text;
            senders << line.senderName;
        });
    }
};

// Typed as a user with a keyboard of that language would: the text in the box, then Enter.
void say(Host& host, const QString& text) {
    host->Message()->setText(text);
    host->btnSendClick();
}

class NewUserTest : public ::testing::Test {
protected:
    network::InMemoryHub hub;
};

const QStringList kWorldLines = {
    QStringLiteral("Zażółć gęślą jaźń"),       QStringLiteral("Γειά σου κόσμε"),
    QStringLiteral("Съешь же ещё этих булок"), QStringLiteral("你好，世界"),
    QStringLiteral("Příliš žluťoučký kůň"),    QStringLiteral("done ✓ 😀"),
};

} // namespace

TEST_F(NewUserTest, EveryLanguagesLettersArriveExactlyWithTheNamesThatCarryThem) {
    Host a(hub, QStringLiteral("Łódź-PC"), {{"Advanced", "Identity", QStringLiteral("Żaneta")}});
    Host b(hub, QStringLiteral("ΑΘΗΝΑ"));
    Lines atB;
    atB.listen(b);
    a->show();
    b->show();
    pump(hub, {&a, &b});
    EXPECT_EQ(b.listTexts(),
              QStringList({QStringLiteral("Żaneta"), QStringLiteral("ΑΘΗΝΑ (@ WORKGROUP)")}));
    for (const QString& line : kWorldLines)
        say(a, line);
    pump(hub, {&a, &b});
    EXPECT_EQ(atB.texts, kWorldLines);
    EXPECT_EQ(atB.senders, QStringList(kWorldLines.size(), QStringLiteral("Żaneta")));
    for (const QString& line : kWorldLines)
        EXPECT_TRUE(b.chat().contains(line)) << line.toStdString();

    // The log keeps them: written at the end, read at the next start.
    b.setKey("General", "Save messages log", QStringLiteral("1"));
    b.start();
    b->show();
    pump(hub, {&a, &b});
    say(a, kWorldLines.last());
    pump(hub, {&a, &b});
    b->Close1Click(); // the end of the program, whatever "Hide to tray" says
    b.start();
    EXPECT_TRUE(b.chat().contains(kWorldLines.last())) << b.chat().toStdString();
}

TEST_F(NewUserTest, AnOlderCopysWindows1252IsStillRead) {
    Host a(hub, QStringLiteral("PCA"));
    a->show();
    pump(hub, {&a});
    Lines atA;
    atA.listen(a);
    // A copy of an older release: its names and lines are Windows-1252 bytes.
    network::InMemoryNetwork oldNetwork(hub, QStringLiteral("CaféPC"), test::Group);
    messaging::TMailslotTerminal old(oldNetwork);
    old.SetMailslotName(QStringLiteral("Terminal"));
    old.SetReceiver(messaging::rcDomainOrComputer);
    old.SetReceiverName(QStringLiteral("PCA"));
    old.Send(messaging::payloadFromPlainText(messaging::greetingText("Caf\xe9PC", "WORKGROUP")));
    old.Send(messaging::payloadFromPlainText("caf\xe9 \x80"));
    pump(hub, {&a});
    EXPECT_EQ(a.listTexts().value(1), QStringLiteral("CaféPC (@ WORKGROUP)"));
    EXPECT_EQ(atA.texts, QStringList{QStringLiteral("café €")});
    EXPECT_EQ(atA.senders, QStringList{QStringLiteral("CaféPC")});
}

// A line longer than one datagram carries arrives whole, in pieces that each end on a
// whole character, and the sender's own view shows the same pieces.
TEST_F(NewUserTest, ALineLongerThanADatagramArrivesWholeInWholeCharacters) {
    Host a(hub, QStringLiteral("PCA"));
    Host b(hub, QStringLiteral("PCB"));
    Lines atA, atB;
    atA.listen(a);
    atB.listen(b);
    a->show();
    b->show();
    pump(hub, {&a, &b});
    const qsizetype limit = a->node().maxLineLength();
    // Two-byte letters after one ASCII byte: every limit falls inside a letter.
    const QString text = QStringLiteral("x") + QString(int(limit), QChar(0x017C));
    a->Message()->setText(text);
    EXPECT_EQ(a->Message()->text(), text) << "the box keeps all of a long paste";
    a->btnSendClick();
    pump(hub, {&a, &b});
    ASSERT_EQ(atB.texts.size(), 3);
    EXPECT_EQ(atB.texts.join(QString()), text);
    for (const QString& piece : atB.texts) {
        const QByteArray bytes = piece.toUtf8();
        EXPECT_LE(bytes.size(), limit - 5);
        EXPECT_EQ(QString::fromUtf8(bytes).toUtf8(), bytes); // whole characters only
    }
    EXPECT_EQ(atA.texts, atB.texts);
}

// At the end, a settings file or a log that cannot be written is named with the system's
// reason, the old files stay whole, and the rest is still saved.
TEST_F(NewUserTest, WhatCannotBeSavedAtTheEndIsNamedAndTheOldFilesStayWhole) {
    Host a(hub, QStringLiteral("PCA"), {{"General", "Save messages log", QStringLiteral("1")}});
    a->show();
    pump(hub, {&a});
    say(a, QStringLiteral("a line worth keeping"));
    pump(hub, {&a});
    a->Close1Click();
    QFile oldLog(a.logPath());
    ASSERT_TRUE(oldLog.open(QIODevice::ReadOnly));
    const QByteArray logBefore = oldLog.readAll();
    oldLog.close();
    a.start();
    a->show();
    pump(hub, {&a});
    say(a, QString(4000, u'w'));
    pump(hub, {&a});
    QFile settings(a.settingsPath());
    ASSERT_TRUE(settings.open(QIODevice::ReadOnly));
    const QByteArray settingsBefore = settings.readAll();
    settings.close();
    // A full disk, as far as this process can tell: no file may grow past a few bytes.
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    struct sigaction previous {};
    sigaction(SIGXFSZ, &ignore, &previous);
    rlimit limit{};
    getrlimit(RLIMIT_FSIZE, &limit);
    const rlimit tiny{16, limit.rlim_max};
    setrlimit(RLIMIT_FSIZE, &tiny);
    a->SessionEnding();
    setrlimit(RLIMIT_FSIZE, &limit);
    sigaction(SIGXFSZ, &previous, nullptr);
    const QString errors = a.dialogs->errors.join(u'\n');
    EXPECT_TRUE(errors.contains(QStringLiteral("The settings file ") + a.settingsPath()))
        << errors.toStdString();
    EXPECT_TRUE(errors.contains(QStringLiteral("The chat log ") + a.logPath()))
        << errors.toStdString();
    EXPECT_EQ(errors.count(QString::fromLocal8Bit(strerror(EFBIG))), 2) << errors.toStdString();
    ASSERT_TRUE(settings.open(QIODevice::ReadOnly));
    EXPECT_EQ(settings.readAll(), settingsBefore);
    ASSERT_TRUE(oldLog.open(QIODevice::ReadOnly));
    EXPECT_EQ(oldLog.readAll(), logBefore);
}

TEST_F(NewUserTest, APeerThatCrashedAndCameBackIsShownByNameAgain) {
    Host a(hub, QStringLiteral("PCA"));
    Host b(hub, QStringLiteral("PCB"), {{"Advanced", "Identity", QStringLiteral("Bob")}});
    Host c(hub, QStringLiteral("PCC"));
    Lines atA;
    atA.listen(a);
    for (Host* host : {&a, &b, &c})
        (*host)->show();
    pump(hub, {&a, &b, &c});
    a.tick(QStringLiteral("Bob"));
    ASSERT_EQ(a.listTexts(),
              QStringList({QStringLiteral("PCA (@ WORKGROUP)"), QStringLiteral("Bob"),
                           QStringLiteral("PCC (@ WORKGROUP)")}));
    // PCB is killed: no goodbye. It starts again with a new terminal id and another name.
    b.form.reset();
    b.setKey("Advanced", "Identity", QStringLiteral("Robert"));
    b.start();
    b->show();
    pump(hub, {&a, &b, &c});
    b.type(QStringLiteral("I am back"));
    pump(hub, {&a, &b, &c});
    EXPECT_EQ(atA.senders, QStringList{QStringLiteral("Robert")});
    EXPECT_EQ(a.listTexts(),
              QStringList({QStringLiteral("PCA (@ WORKGROUP)"), QStringLiteral("Robert"),
                           QStringLiteral("PCC (@ WORKGROUP)")}));
    EXPECT_EQ(a.checkState(1), Qt::Checked);
}

TEST_F(NewUserTest, FriendsAreWrittenAsSoonAsTheyChange) {
    Host a(hub, QStringLiteral("PCA"));
    Host b(hub, QStringLiteral("PCB"), {{"Advanced", "Identity", QStringLiteral("Bob")}});
    a->show();
    b->show();
    pump(hub, {&a, &b});
    a.select(a.row(QStringLiteral("Bob")));
    a->Addtofriends1Click();
    // Before any exit: a kill now keeps the friend.
    EXPECT_EQ(a.ini().value(QStringLiteral("Friends"), QStringLiteral("Friend1"), QString()),
              QStringLiteral("Bob"));
    a->Removefromfriends1Click();
    EXPECT_FALSE(a.ini().hasSection(u"Friends") && a.ini().hasKey(u"Friends", u"Friend1"));
}

TEST_F(NewUserTest, TheWindowCannotBeMadeTooSmallToUse) {
    Host a(hub, QStringLiteral("PCA"));
    a->show();
    a->resize(320, 240);
    EXPECT_GE(a->width(), 633);
    EXPECT_GE(a->height(), 417);
    a->resize(900, 600);
    EXPECT_EQ(a->size(), QSize(900, 600));
}

TEST_F(NewUserTest, AHiddenStartGreetsOnceWhenItsCreationIsOver) {
    Host peer(hub, QStringLiteral("PEER"));
    peer->show();
    pump(hub, {&peer});
    Host hidden(hub, QStringLiteral("LOGIN"), {}, {QStringLiteral("-s")});
    QTest::qWait(20); // the greeting after the creation
    pump(hub, {&peer, &hidden});
    EXPECT_TRUE(peer.listTexts().contains(QStringLiteral("LOGIN (@ WORKGROUP)")));
    EXPECT_EQ(hidden->node().greetingCount(), 1); // once, not again for the minimized show
}

TEST_F(NewUserTest, TheTraysTipAndTheHelpWindowSpeakTheLanguage) {
    QTemporaryDir resources;
    QDir().mkpath(resources.filePath(QStringLiteral("Languages")));
    ASSERT_TRUE(QFile::copy(QStringLiteral(KALVENTO_SOURCE_DIR "Languages/Suomi.txt"),
                            resources.filePath(QStringLiteral("Languages/Suomi.txt"))));
    Host a(hub, QStringLiteral("PCA"),
           {{"Advanced", "Language index", QStringLiteral("1")},
            {"Advanced", "Language", QStringLiteral("Suomi")}},
           {}, [&](app::MainFormOptions& o) { o.resourceDirectory = resources.path() + u'/'; });
    EXPECT_EQ(a->windowTitle(), QStringLiteral("Kalvento 1.2 – Fennrake"));
    EXPECT_EQ(a->TrayIcon()->ToolTip(), QStringLiteral("Kalvento – Fennrake\nPaikalla"));
    a->btnHelpClick();
    QWidget* help = nullptr;
    for (QWidget* w : QApplication::topLevelWidgets())
        if (w->objectName() == QLatin1String("HelpWindow"))
            help = w;
    ASSERT_NE(help, nullptr);
    EXPECT_EQ(help->windowTitle(), QStringLiteral("Kalventon ohje"));
    lang::SetCurrentLanguageFile(nullptr);
    lang::installQtTranslation(nullptr);
}

TEST(QtTranslation, QtsOwnTextsFollowTheLanguageFile) {
    const auto finnish = lang::LoadLanguageFile(lang::languageFileName(QStringLiteral("Suomi")),
                                                QStringLiteral(KALVENTO_SOURCE_DIR));
    ASSERT_NE(finnish, nullptr);
    EXPECT_EQ(lang::languageLocale(finnish.get()), QStringLiteral("fi"));
    if (!QFile::exists(QLibraryInfo::path(QLibraryInfo::TranslationsPath) +
                       QStringLiteral("/qtbase_fi.qm")))
        GTEST_SKIP() << "Qt's Finnish translation is not installed";
    ASSERT_TRUE(lang::installQtTranslation(finnish.get()));
    EXPECT_EQ(QCoreApplication::translate("QPlatformTheme", "&Yes"), QStringLiteral("&Kyllä"));
    ASSERT_TRUE(lang::installQtTranslation(nullptr));
    EXPECT_EQ(QCoreApplication::translate("QPlatformTheme", "&Yes"), QStringLiteral("&Yes"));
}
