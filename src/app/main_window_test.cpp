// The main window as a whole: several copies in one process, each on its own computer of an
// in-memory LAN and with its own settings file, driven through their controls.

#include "app/chat_view.h"
#include "app/main_window.h"
#include "desktop/tray_icon.h"
#include "dialogs/options_window.h"
#include "network/memory_network.h"
#include "platform/ini_file.h"
#include "widgets/glyph_button.h"

#include "support/main_window_host.h"
#include "support/pdf_text.h"
#include "support/test_data.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLineEdit>
#include <QListView>
#include <QLocale>
#include <QMenu>
#include <QPrintDialog>
#include <QPrinter>
#include <QTemporaryDir>
#include <QTest>
#include <QTextCursor>
#include <QTextDocument>
#include <QTimer>

#include <QScreen>
#include <QSystemTrayIcon>

#include <gtest/gtest.h>

#include <cerrno>
#include <memory>
#include <optional>
#include <vector>

using namespace kalvento;
using app::TMainForm;
using platform::IniDocument;
using test::fixedNow;
using test::Group;
using test::Host;
using test::Key;
using test::pdfPageCount;
using test::pdfTextString;
using test::pump;
using test::readFile;
using test::writeFile;

namespace {

// The chat ends with line, followed at most by the quiet mark of what became of it.
bool endsWithLine(const QString& chat, const QString& line) {
    const QString last = chat.section(QLatin1Char('\n'), -1);
    return last == line || (last.startsWith(line) && last.at(line.size()) == QLatin1Char(' '));
}

struct Look {
    QColor color;
    bool italic = false;
    bool found = false;
};

// The look of the last occurrence of text in the chat.
Look lookOf(const TMainForm& form, const QString& text) {
    const QTextDocument* doc = form.Chat()->document();
    const QTextCursor at = doc->find(text, doc->characterCount(), QTextDocument::FindBackward);
    if (at.isNull())
        return {};
    const QTextCharFormat format = at.charFormat();
    return {format.foreground().color(), format.fontItalic(), true};
}

int count(const QString& haystack, const QString& needle) {
    return int(haystack.count(needle));
}

QStringList filesIn(const QTemporaryDir& dir) {
    return QDir(dir.path()).entryList(QDir::Files | QDir::Hidden | QDir::System, QDir::Name);
}

class MainWindowTest : public ::testing::Test {
protected:
    network::InMemoryHub hub;
};

// --- Layout ---------------------------------------------------------------------------------

TEST_F(MainWindowTest, LayoutThroughTheWindowAtStartAndOnResize) {
    struct Case {
        int dx, dy;
    };
    for (const Case c : {Case{0, 0}, Case{100, 0}, Case{0, 100}, Case{100, 100}}) {
        SCOPED_TRACE(testing::Message() << "+" << c.dx << " wide, +" << c.dy << " high");
        const int dx = c.dx, dy = c.dy;
        // The size stored in the settings is the client size the window opens with.
        Host a(hub, QStringLiteral("PCA"),
               {{"General", "Width", QString::number(633 + dx)},
                {"General", "Height", QString::number(417 + dy)}});
        a->show();
        auto check = [&](int wider, int higher) {
            EXPECT_EQ(a->size(), QSize(633 + wider, 417 + higher));
            EXPECT_EQ(a->Chat()->geometry(), QRect(8, 8, 320 + wider, 401 + higher));
            EXPECT_EQ(a->Computers()->geometry(), QRect(336 + wider, 24, 289, 183 + higher));
            EXPECT_EQ(a->findChild<QWidget*>("Paneeli")->geometry(),
                      QRect(336 + wider, 215 + higher, 289, 33));
            EXPECT_EQ(a->findChild<QWidget*>("Label1")->pos(), QPoint(336 + wider, 8));
            EXPECT_EQ(a->findChild<QWidget*>("Label2")->pos(), QPoint(336 + wider, 256 + higher));
            EXPECT_EQ(a->Message()->geometry(), QRect(336 + wider, 272 + higher, 289, 21));
            const char* firstRow[] = {"btnSend", "btnBigMessage", "btnComment", "btnPrint"};
            const char* secondRow[] = {"btnUpdate", "btnOptions", "btnInfo", "btnHelp", "btnClose"};
            for (int i = 0; i < 4; ++i) {
                EXPECT_EQ(a->button(firstRow[i])->geometry(),
                          QRect(338 + wider + 57 * i, 301 + higher, 57, 54))
                    << firstRow[i];
            }
            for (int i = 0; i < 5; ++i) {
                EXPECT_EQ(a->button(secondRow[i])->geometry(),
                          QRect(338 + wider + 57 * i, 355 + higher, 57, 54))
                    << secondRow[i];
            }
        };
        check(dx, dy);
        // The user resizes the shown window back to the design size and out again.
        a->resize(633, 417);
        QCoreApplication::processEvents();
        check(0, 0);
        a->resize(633 + dx, 417 + dy);
        QCoreApplication::processEvents();
        check(dx, dy);
    }
}

TEST_F(MainWindowTest, OpensCentredOnTheScreen) {
    Host a(hub, QStringLiteral("PCA"), {});
    a->show();
    const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
    // Within the few pixels a window frame may shift it by.
    EXPECT_LE((a->geometry().center() - screen.center()).manhattanLength(), 8)
        << a->geometry().x() << "," << a->geometry().y();
}

// The place of the last run, on its screen; a place no screen shows any more is no place.
TEST_F(MainWindowTest, OpensWhereItWasUnlessNoScreenShowsThatPlace) {
    const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
    const QString name = QGuiApplication::primaryScreen()->name();
    const QPoint inside = screen.topLeft() + QPoint(37, 21);
    const QPoint centred = screen.center() - QRect(QPoint(), QSize(633, 417)).center();
    const struct {
        const char* name;
        QString left, top, screen;
        QPoint expected;
    } rows[] = {
        {"where it was", QString::number(inside.x()), QString::number(inside.y()), name, inside},
        {"outside every screen", "-5000", "-5000", name, centred},
        {"its screen gone", QString::number(inside.x()), QString::number(inside.y()), "GONE-1",
         centred},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        network::InMemoryHub lan;
        Host a(lan, QStringLiteral("PCA"),
               {{"General", "Left", row.left},
                {"General", "Top", row.top},
                {"General", "Screen", row.screen}});
        EXPECT_EQ(a->pos(), row.expected);
    }
}

TEST_F(MainWindowTest, TheEndOfARunKeepsThePlaceBesideTheSize) {
    const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
    Host a(hub, QStringLiteral("PCA"), {{"General", "Hide to tray", "0"}});
    a->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(a.form.get()));
    const QPoint place = screen.topLeft() + QPoint(50, 40);
    a->move(place);
    QCoreApplication::processEvents();
    a->action("Close1")->trigger();
    EXPECT_EQ(a.ini().value(u"General", u"Left"), QString::number(a->pos().x()));
    EXPECT_EQ(a.ini().value(u"General", u"Top"), QString::number(a->pos().y()));
    EXPECT_EQ(a.ini().value(u"General", u"Screen"), QGuiApplication::primaryScreen()->name());
    a.start();
    EXPECT_EQ(a->pos(), place);
}

// --- The tray -------------------------------------------------------------------------------

TEST_F(MainWindowTest, TheTrayIconStaysBesideTheShownWindowOnlyWhenAskedTo) {
    for (const bool always : {false, true}) {
        SCOPED_TRACE(always ? "always" : "only while hidden");
        network::InMemoryHub lan;
        Host a(lan, QStringLiteral("PCA"),
               {{"General", "Always show tray icon", always ? "1" : "0"}});
        a->show();
        const QSystemTrayIcon* icon = a->TrayIcon()->systemTrayIcon();
        EXPECT_EQ(icon->isVisible(), always);
        EXPECT_FALSE(a->TrayIcon()->Active()); // the window is not in the tray
        a->HideToTray();
        a->TrayIconDblClick();
        EXPECT_TRUE(a->isVisible());
        EXPECT_EQ(icon->isVisible(), always);
        EXPECT_FALSE(a->TrayIcon()->Active());

        // The option takes effect from the options window at once.
        a.options([&](dialogs::TOptionsIkkuna& w) {
            auto* box = w.findChild<QCheckBox*>(QStringLiteral("AlwaysTray"));
            EXPECT_EQ(box->isChecked(), always);
            box->setChecked(!always);
            return true;
        });
        EXPECT_EQ(icon->isVisible(), !always);
        EXPECT_EQ(a.ini().value(u"General", u"Always show tray icon"),
                  QString::number(int(!always)));
    }
}

// --- Enabling -------------------------------------------------------------------------------

TEST_F(MainWindowTest, ButtonsAndPrivateBoxFollowTheirRules) {
    Host a(hub, QStringLiteral("PCA"));
    Host b(hub, QStringLiteral("PCB"));
    a->show();
    b->show();
    pump(hub, {&a, &b});
    ASSERT_EQ(a.listTexts(), QStringList({"PCA (@ WORKGROUP)", "PCB (@ WORKGROUP)"}));

    // Send and comment follow the text of Message.
    auto* send = a->button("btnSend");
    auto* comment = a->button("btnComment");
    EXPECT_FALSE(send->isEnabled());
    EXPECT_FALSE(comment->isEnabled());
    QTest::keyClicks(a->Message(), QStringLiteral("x"));
    EXPECT_TRUE(send->isEnabled());
    EXPECT_TRUE(comment->isEnabled());
    a->Message()->clear();
    EXPECT_FALSE(send->isEnabled());
    EXPECT_FALSE(comment->isEnabled());

    // Print, "Select All" and "Clear Chat" follow the chat: the welcome line is there.
    auto* print = a->button("btnPrint");
    EXPECT_TRUE(print->isEnabled());
    EXPECT_TRUE(a->Chat()->SelectAll1()->isEnabled());
    a->Chat()->Clearchat1Click();
    EXPECT_FALSE(print->isEnabled());
    EXPECT_FALSE(a->Chat()->SelectAll1()->isEnabled());
    EXPECT_FALSE(a->Chat()->Clearchat1()->isEnabled());
    b.type(QStringLiteral("back"));
    pump(hub, {&a, &b});
    EXPECT_TRUE(print->isEnabled());
    EXPECT_TRUE(a->Chat()->Clearchat1()->isEnabled());

    // The own entry can be neither enabled nor ticked.
    EXPECT_FALSE(a.flags(0) & Qt::ItemIsEnabled);
    a.setCheckState(0, Qt::Checked);
    EXPECT_EQ(a.checkState(0), Qt::Unchecked);
    EXPECT_EQ(a->node().peers().CheckedCount(), 0);
    EXPECT_FALSE(a->Privaatti()->isEnabled());

    // Privaatti is enabled exactly while an entry is ticked.
    EXPECT_TRUE(a.flags(1) & Qt::ItemIsEnabled);
    a.tick(QStringLiteral("PCB (@ WORKGROUP)"));
    EXPECT_TRUE(a->Privaatti()->isEnabled());
    a.tick(QStringLiteral("PCB (@ WORKGROUP)"), false);
    EXPECT_FALSE(a->Privaatti()->isEnabled());

    for (const char* name : {"btnBigMessage", "btnInfo", "btnUpdate", "btnHelp", "btnClose"})
        EXPECT_TRUE(a->button(name)->isEnabled()) << name;
}

// --- Several copies on one LAN --------------------------------------------------------------

class MainWindowChatTest : public MainWindowTest {
protected:
    void SetUp() override {
        // A names the sender, B shows neither name nor time, C shows both; their colours
        // differ so that each window is seen to use its own settings.
        a = std::make_unique<Host>(
            hub, QStringLiteral("PCA"),
            std::vector<Key>{{"Advanced", "Identity", "Alice"},
                             {"Messages", "Own message color", "clPurple"},
                             {"Messages", "Private message color", "clTeal"}});
        b = std::make_unique<Host>(
            hub, QStringLiteral("PCB"),
            std::vector<Key>{{"Messages", "Show sender's name", "0"},
                             {"Messages", "Other message color", "clMaroon"},
                             {"Messages", "Show private messages in italic", "1"}});
        c = std::make_unique<Host>(hub, QStringLiteral("PCC"),
                                   std::vector<Key>{{"Advanced", "Identity", "Carol"},
                                                    {"Messages", "Show message time", "1"}});
        for (Host* host : all())
            (*host)->show();
        pump(hub, all());
    }
    std::vector<Host*> all() { return {a.get(), b.get(), c.get()}; }

    std::unique_ptr<Host> a, b, c;
};

TEST_F(MainWindowChatTest, ShowingGreetsAndEveryListFills) {
    for (Host* host : all()) {
        EXPECT_EQ((*host)->node().greetingCount(), 1);
        EXPECT_EQ(host->listTexts(), QStringList({"Alice", "PCB (@ WORKGROUP)", "Carol"}));
        // Each chat opens with the welcome line only.
        EXPECT_EQ(count(host->chat(), "--- Welcome! Today is "), 1);
        EXPECT_EQ(host->chat().count(u'\n'), 0);
    }
}

TEST_F(MainWindowChatTest, PublicLineReachesEveryChatAsPlainText) {
    a->type(QStringLiteral("<b>x</b> & &amp;"));
    EXPECT_TRUE((*a)->Message()->text().isEmpty());
    EXPECT_FALSE((*a)->button("btnSend")->isEnabled());
    pump(hub, all());

    const QString text = QStringLiteral("<b>x</b> & &amp;");
    const QString time = QLocale::system().toString(fixedNow.time(), QLocale::LongFormat);
    struct Expect {
        Host* host;
        QString line;
        QColor color;
    };
    // The sender's own line carries the mark of its receipts: delivered to both.
    for (const Expect& e :
         {Expect{a.get(), "Alice: " + text + QStringLiteral(" ✓"), QColor(0x80, 0, 0x80)},
          Expect{b.get(), ": " + text, QColor(0x80, 0, 0)},
          Expect{c.get(), "Alice (" + time + "): " + text, QColor(0, 0, 0xFF)}}) {
        SCOPED_TRACE(e.line.toStdString());
        const QStringList lines = e.host->chat().split(u'\n');
        ASSERT_EQ(lines.size(), 2);
        EXPECT_EQ(lines[1], e.line);
        const Look look = lookOf(**e.host, text);
        ASSERT_TRUE(look.found);
        EXPECT_EQ(look.color, e.color);
        EXPECT_FALSE(look.italic);
        // Markup in a peer's line is never interpreted.
        EXPECT_FALSE(e.host->form->Chat()->document()->toHtml().contains("<b>x</b>"));
    }
}

TEST_F(MainWindowChatTest, PrivateLineOnlyWhereTicked) {
    a->tick(QStringLiteral("PCB (@ WORKGROUP)"));
    (*a)->Privaatti()->setChecked(true);
    const int sendsBefore = a->network->totalSendCount();
    a->type(QStringLiteral("just for B"));
    pump(hub, all());
    EXPECT_EQ(a->network->totalSendCount() - sendsBefore, 1);

    // The sender's echo, shown at once and only once.
    EXPECT_EQ(count(a->chat(), "just for B"), 1);
    EXPECT_TRUE(endsWithLine(a->chat(), "To PCB: just for B"));
    Look look = lookOf(**a, "To PCB: just for B");
    EXPECT_EQ(look.color, QColor(0, 0x80, 0x80));
    EXPECT_FALSE(look.italic);

    EXPECT_TRUE(b->chat().endsWith("\n: just for B"));
    look = lookOf(**b, "just for B");
    EXPECT_EQ(look.color, QColor(0, 0x80, 0));
    EXPECT_TRUE(look.italic);
    EXPECT_FALSE(c->chat().contains("just for B"));

    // Two ticked: both ShortNames in list order, one datagram each.
    a->tick(QStringLiteral("Carol"));
    a->type(QStringLiteral("to both"));
    pump(hub, all());
    EXPECT_TRUE(endsWithLine(a->chat(), "To PCB, Carol: to both"));
    EXPECT_TRUE(b->chat().endsWith("\n: to both"));
    EXPECT_TRUE(c->chat().endsWith(
        "\nAlice (" + QLocale::system().toString(fixedNow.time(), QLocale::LongFormat) +
        "): to both"));

    // Unticking everything leaves the box checked: a line marked private never goes to
    // everybody. It is not sent, the user is told why, and it waits in the box.
    a->tick(QStringLiteral("PCB (@ WORKGROUP)"), false);
    a->tick(QStringLiteral("Carol"), false);
    EXPECT_FALSE((*a)->Privaatti()->isEnabled());
    EXPECT_TRUE((*a)->Privaatti()->isChecked());
    const quint64 beforeRefusal = a->network->totalSendCount();
    a->type(QStringLiteral("to all"));
    pump(hub, all());
    EXPECT_EQ(a->network->totalSendCount(), beforeRefusal);
    for (Host* host : all())
        EXPECT_EQ(count(host->chat(), "to all"), 0);
    EXPECT_EQ((*a)->Message()->text(), QStringLiteral("to all"));
    ASSERT_FALSE(a->dialogs->errors.isEmpty());
    EXPECT_TRUE(a->dialogs->errors.last().contains(QStringLiteral("no computer is ticked")));
    // Unchecked, the same line goes to everybody.
    (*a)->Privaatti()->setChecked(false);
    QTest::keyClick((*a)->Message(), Qt::Key_Return);
    pump(hub, all());
    for (Host* host : all())
        EXPECT_EQ(count(host->chat(), "to all"), 1);
    EXPECT_TRUE(endsWithLine(a->chat(), "Alice: to all"));
}

// Enter on an empty box, or on a line of blanks, sends nothing, as the greyed button says.
TEST_F(MainWindowChatTest, AnEmptyOrBlankLineIsNotSent) {
    const quint64 before = a->network->totalSendCount();
    for (const QString& text : {QString(), QStringLiteral("   "), QStringLiteral("\t ")}) {
        (*a)->Message()->setText(text);
        EXPECT_FALSE((*a)->button("btnSend")->isEnabled()) << text.toStdString();
        QTest::keyClick((*a)->Message(), Qt::Key_Return);
    }
    pump(hub, all());
    EXPECT_EQ(a->network->totalSendCount(), before);
    EXPECT_FALSE(b->chat().contains(QStringLiteral(": \n")));
}

// Up in the empty box brings back the lines sent before, newest first; Down goes forward
// again and past the newest to an empty box. What the user is writing is never replaced.
TEST_F(MainWindowChatTest, UpRecallsTheLinesSentBefore) {
    QLineEdit* box = (*a)->Message();
    a->type(QStringLiteral("first"));
    a->type(QStringLiteral("second"));
    const auto key = [box](Qt::Key k) { QTest::keyClick(box, k); };
    key(Qt::Key_Up);
    EXPECT_EQ(box->text(), QStringLiteral("second"));
    key(Qt::Key_Up);
    key(Qt::Key_Up);
    EXPECT_EQ(box->text(), QStringLiteral("first"));
    key(Qt::Key_Down);
    EXPECT_EQ(box->text(), QStringLiteral("second"));
    key(Qt::Key_Down);
    EXPECT_TRUE(box->text().isEmpty());
    QTest::keyClicks(box, QStringLiteral("draft"));
    key(Qt::Key_Up);
    EXPECT_EQ(box->text(), QStringLiteral("draft"));
}

// A double click on a computer ticks it alone and marks the next line private.
TEST_F(MainWindowChatTest, ADoubleClickOnAComputerTicksItAloneForAPrivateLine) {
    a->tick(QStringLiteral("Carol"));
    const int bob = a->row(QStringLiteral("PCB (@ WORKGROUP)"));
    ASSERT_GE(bob, 0);
    (*a)->ComputersDblClick(a->entry(bob));
    EXPECT_EQ(a->checkState(bob), Qt::Checked);
    EXPECT_EQ(a->checkState(a->row(QStringLiteral("Carol"))), Qt::Unchecked);
    EXPECT_TRUE((*a)->Privaatti()->isChecked());
    a->type(QStringLiteral("only Bob"));
    pump(hub, all());
    EXPECT_TRUE(b->chat().contains(QStringLiteral("only Bob")));
    EXPECT_FALSE(c->chat().contains(QStringLiteral("only Bob")));
    // The own entry cannot be ticked, by a double click neither.
    const int own = a->row(QStringLiteral("Alice"));
    ASSERT_GE(own, 0);
    (*a)->ComputersDblClick(a->entry(own));
    EXPECT_EQ(a->checkState(own), Qt::Unchecked);
}

TEST_F(MainWindowChatTest, LineThatReachedNobodyStaysInTheBox) {
    // Public: every computer refuses.
    for (const char* computer : {"PCA", "PCB", "PCC"})
        a->network->failNextSend(QString::fromLatin1(computer), ENETUNREACH);
    a->type(QStringLiteral("try again"));
    EXPECT_EQ((*a)->Message()->text(), QStringLiteral("try again"));
    EXPECT_EQ(a->dialogs->errors.size(), 3);
    // Enter again, and it goes.
    QTest::keyClick((*a)->Message(), Qt::Key_Return);
    EXPECT_TRUE((*a)->Message()->text().isEmpty());
    pump(hub, all());
    for (Host* host : all())
        EXPECT_EQ(count(host->chat(), "try again"), 1);

    // Private: the only recipient refuses; nothing is shown as sent.
    a->tick(QStringLiteral("PCB (@ WORKGROUP)"));
    (*a)->Privaatti()->setChecked(true);
    a->network->failNextSend(QStringLiteral("PCB"), ENETUNREACH);
    a->type(QStringLiteral("whisper"));
    EXPECT_EQ((*a)->Message()->text(), QStringLiteral("whisper"));
    EXPECT_FALSE(a->chat().contains("whisper"));

    // One of two refuses: the other has it, and so does the sender's chat.
    (*a)->Message()->clear();
    a->tick(QStringLiteral("Carol"));
    a->network->failNextSend(QStringLiteral("PCB"), ENETUNREACH);
    a->type(QStringLiteral("half"));
    EXPECT_TRUE((*a)->Message()->text().isEmpty());
    pump(hub, all());
    EXPECT_TRUE(endsWithLine(a->chat(), "To PCB, Carol: half"));
    EXPECT_FALSE(b->chat().contains("half"));
    EXPECT_TRUE(c->chat().contains("half"));
}

TEST_F(MainWindowChatTest, IdentityChangeRenamesTheEntryEverywhere) {
    a->tick(QStringLiteral("PCB (@ WORKGROUP)"));
    (*b)->node().announceIdentity(QStringLiteral("Bob"));
    pump(hub, all());
    for (Host* host : all())
        EXPECT_EQ(host->listTexts(), QStringList({"Alice", "Bob", "Carol"}));
    // The entry keeps its tick.
    EXPECT_EQ(a->checkState(1), Qt::Checked);
    b->type(QStringLiteral("renamed"));
    pump(hub, all());
    EXPECT_TRUE(endsWithLine(a->chat(), "Bob: renamed"));

    // An empty identity brings the computer's own name back.
    (*b)->node().announceIdentity(QString());
    pump(hub, all());
    EXPECT_EQ(a->listTexts(), QStringList({"Alice", "PCB (@ WORKGROUP)", "Carol"}));
}

TEST_F(MainWindowChatTest, ClosingRemovesTheEntryFromTheOthers) {
    a->tick(QStringLiteral("Carol"));
    ASSERT_TRUE((*a)->Privaatti()->isEnabled());
    (*c)->Close1Click();
    EXPECT_FALSE((*c)->isVisible());
    pump(hub, all());
    EXPECT_EQ(a->listTexts(), QStringList({"Alice", "PCB (@ WORKGROUP)"}));
    EXPECT_EQ(b->listTexts(), QStringList({"Alice", "PCB (@ WORKGROUP)"}));
    // The ticked peer left: nobody is ticked any more.
    EXPECT_EQ((*a)->node().peers().CheckedCount(), 0);
    EXPECT_FALSE((*a)->Privaatti()->isEnabled());
    // The others go on without it.
    b->type(QStringLiteral("still here"));
    pump(hub, all());
    EXPECT_TRUE(endsWithLine(a->chat(), "PCB: still here"));
    EXPECT_FALSE(c->chat().contains("still here"));
}

TEST_F(MainWindowChatTest, CommentStaysLocal) {
    const int sendsBefore = a->network->totalSendCount();
    QTest::keyClicks((*a)->Message(), QStringLiteral("a note"));
    QTest::mouseClick((*a)->button("btnComment"), Qt::LeftButton);
    EXPECT_TRUE((*a)->Message()->text().isEmpty());
    EXPECT_EQ(a->network->totalSendCount(), sendsBefore);
    pump(hub, all());
    EXPECT_TRUE(endsWithLine(a->chat(), "--- a note ---"));
    EXPECT_EQ(lookOf(**a, "--- a note ---").color, QColor(0x80, 0, 0x80));
    EXPECT_FALSE(b->chat().contains("a note"));
    EXPECT_FALSE(c->chat().contains("a note"));
}

// --- Friends --------------------------------------------------------------------------------

// Whether the friend mark is drawn at the right end of the list's line for entry row.
bool markDrawn(TMainForm& form, int row) {
    QListView* list = form.Computers();
    list->clearSelection();
    list->setCurrentIndex(QModelIndex());
    const QImage shot = list->viewport()->grab().toImage();
    const QRect line = list->visualRect(list->model()->index(row, 0));
    const qreal scale = shot.devicePixelRatio();
    // The mark is gold; nothing else in the list is.
    for (int y = line.top(); y <= line.bottom(); ++y) {
        for (int x = line.right() - 20; x <= line.right(); ++x) {
            const QColor px = shot.pixelColor(int(x * scale), int(y * scale));
            if (px.red() > 200 && px.green() > 90 && px.blue() < 110)
                return true;
        }
    }
    return false;
}

TEST_F(MainWindowTest, FriendsFromThePopupAreMarkedAndWrittenAtClose) {
    Host a(hub, QStringLiteral("PCA"), {{"Friends", "Friend7", "Zed"}});
    Host b(hub, QStringLiteral("PCB"), {{"Advanced", "Identity", "Bob"}});
    Host c(hub, QStringLiteral("PCC"));
    Host d(hub, QStringLiteral("PCD"), {{"Advanced", "Identity", "bob"}});
    const std::vector<Host*> all{&a, &b, &c, &d};
    for (Host* host : all)
        (*host)->show();
    pump(hub, all);
    // Two computers that show one name are told apart by their keys' first digits.
    const QStringList texts = a.listTexts();
    ASSERT_EQ(texts.size(), 4);
    EXPECT_EQ(texts[0], QStringLiteral("PCA (@ WORKGROUP)"));
    EXPECT_EQ(texts[2], QStringLiteral("PCC (@ WORKGROUP)"));
    const QRegularExpression suffixed(QStringLiteral("^(Bob|bob) \\[\\d{5}\\]$"));
    EXPECT_TRUE(suffixed.match(texts[1]).hasMatch()) << texts[1].toStdString();
    EXPECT_TRUE(suffixed.match(texts[3]).hasMatch()) << texts[3].toStdString();
    EXPECT_TRUE(texts[1].startsWith(QStringLiteral("Bob ")));
    EXPECT_NE(texts[1].mid(4), texts[3].mid(4));
    EXPECT_EQ(a->FriendList(), QStringList({"Zed"}));

    QAction* add = a->action("Addtofriends1");
    QAction* remove = a->action("Removefromfriends1");
    auto popup = [&](int row) {
        a.select(row);
        a->ComputerPopupPopup();
    };
    // Nothing selected: nothing to offer.
    popup(-1);
    EXPECT_FALSE(add->isEnabled());
    EXPECT_FALSE(remove->isEnabled());

    popup(1);
    EXPECT_TRUE(add->isEnabled());
    EXPECT_FALSE(remove->isEnabled());
    add->trigger();
    // Every entry that announced the identity, in any letter case, is a friend now.
    for (int row = 0; row < 4; ++row) {
        const bool friendRow = row == 1 || row == 3;
        EXPECT_EQ(a->isFriend(row), friendRow) << row;
        EXPECT_EQ(markDrawn(*a, row), friendRow) << row;
    }
    popup(3);
    EXPECT_FALSE(add->isEnabled());
    EXPECT_TRUE(remove->isEnabled());

    // An entry without an identity makes the empty name a friend, for this run only.
    popup(2);
    add->trigger();
    EXPECT_TRUE(a->isFriend(0));
    EXPECT_TRUE(markDrawn(*a, 0));
    popup(0);
    remove->trigger();
    EXPECT_FALSE(a->isFriend(2));
    EXPECT_FALSE(markDrawn(*a, 2));
    EXPECT_TRUE(a->isFriend(1));

    // A friend's mark follows the identity to a peer that takes it later.
    c->node().announceIdentity(QStringLiteral("BOB"));
    pump(hub, all);
    EXPECT_TRUE(a->isFriend(2));
    EXPECT_TRUE(markDrawn(*a, 2));

    popup(2);
    EXPECT_FALSE(add->isEnabled());
    a->Addtofriends1Click(); // already a friend in another spelling: no second entry
    a->Close1Click();
    const IniDocument ini = a.ini();
    EXPECT_EQ(ini.keys(QStringLiteral("Friends")), QStringList({"Friend1", "Friend2"}));
    EXPECT_EQ(ini.value(u"Friends", u"Friend1"), QStringLiteral("Bob"));
    EXPECT_EQ(ini.value(u"Friends", u"Friend2"), QStringLiteral("Zed"));
}

// --- Log ------------------------------------------------------------------------------------

TEST_F(MainWindowTest, LogIsKeptAcrossRunsOnlyWhenSomethingWasSaid) {
    Host a(hub, QStringLiteral("PCA"), {{"General", "Save messages log", "1"}});
    // First start: the welcome line only.
    a->show();
    pump(hub, {&a});
    EXPECT_EQ(count(a.chat(), "--- Welcome! "), 1);
    a.type(QStringLiteral("first run"));
    pump(hub, {&a});
    a->Close1Click();
    ASSERT_TRUE(QFileInfo::exists(a.logPath()));
    const QByteArray firstLog = readFile(a.logPath());
    EXPECT_TRUE(firstLog.contains("first run"));
    // Written atomically: nothing but the files (and the key made at the first start, with
    // the floor of its counters) is left behind.
    EXPECT_EQ(filesIn(a.dir),
              QStringList({"Options.ini", "counter.txt", "identity.key", "log.rtf"}));

    // The next start shows the old content and a new welcome line; a run in which nothing
    // was said leaves the file alone.
    a.start();
    a->show();
    pump(hub, {&a});
    EXPECT_TRUE(a.chat().contains("PCA: first run"));
    EXPECT_EQ(count(a.chat(), "--- Welcome! "), 2);
    EXPECT_EQ(lookOf(*a, "PCA: first run").color, QColor(0xFF, 0, 0));
    a->Close1Click();
    EXPECT_EQ(readFile(a.logPath()), firstLog);

    // A comment is something said.
    a.start();
    EXPECT_EQ(count(a.chat(), "--- Welcome! "), 2);
    QTest::keyClicks(a->Message(), QStringLiteral("noted"));
    a->btnCommentClick();
    a->Close1Click();
    const QByteArray thirdLog = readFile(a.logPath());
    EXPECT_TRUE(thirdLog.contains("noted"));
    EXPECT_TRUE(thirdLog.contains("first run"));

    // Turned off: the log goes at close, though nothing else changed.
    a.setKey("General", "Save messages log", "0");
    a.start();
    EXPECT_EQ(count(a.chat(), "--- Welcome! "), 1);
    EXPECT_FALSE(a.chat().contains("first run"));
    a->Close1Click();
    EXPECT_FALSE(QFileInfo::exists(a.logPath()));
    EXPECT_EQ(filesIn(a.dir), QStringList({"Options.ini", "counter.txt", "identity.key"}));
}

// --- Shutdown -------------------------------------------------------------------------------

TEST_F(MainWindowTest, ShutdownGoesOnWhenTheGoodbyeFails) {
    Host a(hub, QStringLiteral("PCA"), {{"General", "Save messages log", "1"}});
    Host b(hub, QStringLiteral("PCB"));
    Host c(hub, QStringLiteral("PCC"));
    const std::vector<Host*> all{&a, &b, &c};
    for (Host* host : all)
        (*host)->show();
    pump(hub, all);
    a.type(QStringLiteral("before the end"));
    pump(hub, all);
    a->resize(700, 480);
    QCoreApplication::processEvents();

    a.network->failNextSend(QStringLiteral("PCB"), ECONNREFUSED);
    a->Close1Click();
    EXPECT_FALSE(a->isVisible());
    ASSERT_EQ(a.dialogs->errors.size(), 1);
    EXPECT_TRUE(a.dialogs->errors.first().contains(QStringLiteral("Connection refused")))
        << a.dialogs->errors.first().toStdString();

    // The goodbye that could go went; B never heard it.
    pump(hub, all);
    EXPECT_EQ(c.listTexts(), QStringList({"PCB (@ WORKGROUP)", "PCC (@ WORKGROUP)"}));
    EXPECT_EQ(b.listTexts().size(), 3);

    // Settings and log are written all the same, and atomically.
    const IniDocument ini = a.ini();
    EXPECT_EQ(ini.value(u"General", u"Width"), QStringLiteral("700"));
    EXPECT_EQ(ini.value(u"General", u"Height"), QStringLiteral("480"));
    EXPECT_EQ(ini.value(u"General", u"Maximized"), QStringLiteral("0"));
    EXPECT_TRUE(readFile(a.logPath()).contains("before the end"));
    // The keys of PCB and PCC as well, seen in this run.
    EXPECT_EQ(filesIn(a.dir), QStringList({"Options.ini", "counter.txt", "identity.key",
                                           "known-keys.txt", "last-here.txt", "log.rtf"}));
}

TEST_F(MainWindowTest, SessionEndWritesEverythingAndLeavesTheWindow) {
    Host a(hub, QStringLiteral("PCA"),
           {{"General", "Save messages log", "1"},
            {"General", "Width", "650"},
            {"General", "Height", "450"}});
    Host b(hub, QStringLiteral("PCB"), {{"Advanced", "Identity", "Bob"}});
    a->show();
    b->show();
    pump(hub, {&a, &b});
    a.select(1);
    a->Addtofriends1Click();
    a.type(QStringLiteral("last words"));
    pump(hub, {&a, &b});
    // Maximized: the normal size of the file is kept.
    a->showMaximized();
    QCoreApplication::processEvents();
    ASSERT_TRUE(a->isMaximized());

    a->SessionEnding();
    EXPECT_TRUE(a->isVisible());
    pump(hub, {&a, &b});
    EXPECT_EQ(b.listTexts(), QStringList({"Bob"}));
    const IniDocument ini = a.ini();
    EXPECT_EQ(ini.value(u"Friends", u"Friend1"), QStringLiteral("Bob"));
    EXPECT_EQ(ini.value(u"General", u"Maximized"), QStringLiteral("1"));
    EXPECT_EQ(ini.value(u"General", u"Width"), QStringLiteral("650"));
    EXPECT_EQ(ini.value(u"General", u"Height"), QStringLiteral("450"));
    EXPECT_TRUE(readFile(a.logPath()).contains("last words"));
    EXPECT_TRUE(a.dialogs->errors.isEmpty());

    // The next start opens maximized with the stored normal size underneath.
    a.start();
    EXPECT_TRUE(a->windowState() & Qt::WindowMaximized);
    a->show();
    QCoreApplication::processEvents();
    a->showNormal();
    QCoreApplication::processEvents();
    EXPECT_EQ(a->size(), QSize(650, 450));
}

// --- Hiding, restoring, closing -------------------------------------------------------------

TEST_F(MainWindowTest, EveryRestoreGreetsAgain) {
    ASSERT_FALSE(desktop::TTrayIcon::trayAvailable()); // offscreen has no notification area
    Host a(hub, QStringLiteral("PCA"),
           {{"General", "Deliveries", "3"}, {"Advanced", "Identity", "Alice"}});
    Host b(hub, QStringLiteral("PCB"), {{"General", "Deliveries", "3"}});
    b->show();
    pump(hub, {&a, &b});
    // Not shown yet: A answers B's greeting but greets nobody.
    EXPECT_EQ(a->node().greetingCount(), 0);
    EXPECT_EQ(a.network->sendCount(Group), 0);
    const int answersBefore = b.network->sendCount(QStringLiteral("PCA"));

    a->show();
    pump(hub, {&a, &b});
    EXPECT_EQ(a->node().greetingCount(), 1);
    // Three greetings and three identities to the group; B answers each greeting 3 times.
    EXPECT_EQ(a.network->sendCount(Group), 6);
    EXPECT_EQ(b.network->sendCount(QStringLiteral("PCA")) - answersBefore, 9);

    // Without a notification area, hiding to the tray minimizes: still a window, no icon,
    // no new greeting.
    a->HideToTray();
    QCoreApplication::processEvents();
    EXPECT_TRUE(a->isMinimized());
    EXPECT_TRUE(a->isVisible());
    EXPECT_FALSE(a->TrayIcon()->Active());
    a->showNormal();
    QCoreApplication::processEvents();
    EXPECT_EQ(a->node().greetingCount(), 1);

    // Hidden as a tray makes it, each restore runs the greeting again.
    for (int i = 1; i <= 3; ++i) {
        a->hide();
        a->TrayIconDblClick();
        pump(hub, {&a, &b});
        EXPECT_TRUE(a->isVisible());
        EXPECT_EQ(a->node().greetingCount(), 1 + i);
        EXPECT_EQ(a.network->sendCount(Group), 6 * (1 + i));
        EXPECT_EQ(b.network->sendCount(QStringLiteral("PCA")) - answersBefore, 9 * (1 + i));
    }
    // Answers change nothing in the lists.
    EXPECT_EQ(a.listTexts(), QStringList({"PCB (@ WORKGROUP)", "Alice"}));
    EXPECT_EQ(b.listTexts(), QStringList({"PCB (@ WORKGROUP)", "Alice"}));
}

TEST_F(MainWindowTest, StartHiddenOnlyWithExactlyDashS) {
    struct Case {
        QStringList arguments;
        bool hidden;
    };
    for (const Case& c : {Case{{"-s"}, true}, Case{{"-s", "-s"}, true}, Case{{"-S"}, false},
                          Case{{"--s", "s"}, false}, Case{{}, false}}) {
        SCOPED_TRACE(c.arguments.join(' ').toStdString());
        network::InMemoryHub lan;
        Host a(lan, QStringLiteral("PCA"), {}, c.arguments);
        // Without a notification area the window starts minimized instead of in the tray.
        EXPECT_EQ(a->isMinimized(), c.hidden);
        EXPECT_FALSE(a->TrayIcon()->Active());
        // A minimized window is shown (on the taskbar), so it greets: a copy that never
        // greeted would never be listed by the others.
        EXPECT_EQ(a->node().greetingCount(), c.hidden ? 1 : 0);
        EXPECT_EQ(a.network->sendCount(Group) > 0, c.hidden);
    }
}

TEST_F(MainWindowTest, CloseHidesOrEndsAsTheSettingSays) {
    enum How { CloseButton, TrayMenu, TrayMenuWhileHidden };
    struct Case {
        bool hideToTray;
        How how;
        bool ends;
    };
    for (const Case c : {Case{true, CloseButton, false}, Case{false, CloseButton, true},
                         Case{true, TrayMenu, true}, Case{true, TrayMenuWhileHidden, true}}) {
        SCOPED_TRACE(testing::Message() << "hide to tray " << c.hideToTray << ", way " << c.how);
        network::InMemoryHub lan;
        Host a(lan, QStringLiteral("PCA"), {{"General", "Hide to tray", c.hideToTray ? "1" : "0"}});
        Host b(lan, QStringLiteral("PCB"));
        a->show();
        b->show();
        pump(lan, {&a, &b});
        a->resize(640, 420);
        QCoreApplication::processEvents();

        if (c.how == CloseButton) {
            QTest::mouseClick(a->button("btnClose"), Qt::LeftButton);
        } else {
            if (c.how == TrayMenuWhileHidden)
                a->hide(); // as in the tray
            a->action("Close1")->trigger();
        }
        QCoreApplication::processEvents();
        pump(lan, {&a, &b});
        // Ended: closed, goodbye said, size written. Kept: a minimized window that still
        // talks.
        EXPECT_EQ(a->isVisible(), !c.ends);
        EXPECT_EQ(a->isMinimized(), !c.ends);
        EXPECT_EQ(b.listTexts().size(), c.ends ? 1 : 2);
        EXPECT_EQ(a.ini().value(u"General", u"Width"),
                  c.ends ? std::optional<QString>(QStringLiteral("640")) : std::nullopt);
    }
}

TEST_F(MainWindowTest, TrayMenuItemsToggleAndStore) {
    Host a(hub, QStringLiteral("PCA"));
    QAction* hide = a->action("Hidetothetrayonclose1");
    QAction* startup = a->action("StartKalventoonstartup1");
    EXPECT_TRUE(hide->isChecked());
    EXPECT_FALSE(startup->isChecked());

    hide->trigger();
    EXPECT_FALSE(hide->isChecked());
    EXPECT_FALSE(a->settings().hideToTray);
    EXPECT_EQ(a.ini().value(u"General", u"Hide to tray"), QStringLiteral("0"));

    const QString entry = a.dir.filePath(QStringLiteral("autostart/kalvento.desktop"));
    startup->trigger();
    EXPECT_TRUE(a->settings().startWithSystem);
    EXPECT_TRUE(readFile(entry).contains("-s"));
    startup->trigger();
    EXPECT_FALSE(QFileInfo::exists(entry));

    // Both come back as they were left.
    hide->trigger();
    hide->trigger();
    startup->trigger();
    a.start();
    EXPECT_FALSE(a->action("Hidetothetrayonclose1")->isChecked());
    EXPECT_TRUE(a->action("StartKalventoonstartup1")->isChecked());
}

// A start at login that cannot be set up is said, from the tray menu and from the options,
// and does not stop the settings from being written.
TEST_F(MainWindowTest, AnAutostartEntryThatCannotBeWrittenIsReported) {
    QTemporaryDir elsewhere;
    // A file where the entry's folder should be: no one, root included, can create it.
    const QString blocked = elsewhere.filePath(QStringLiteral("autostart"));
    writeFile(blocked, "not a folder");
    Host a(hub, QStringLiteral("PCA"), {}, {}, [&](app::MainFormOptions& options) {
        options.autostartEntry = blocked + QStringLiteral("/kalvento.desktop");
    });
    a->action("StartKalventoonstartup1")->trigger();
    ASSERT_EQ(a.dialogs->errors.size(), 1);
    EXPECT_TRUE(a.dialogs->errors.first().contains(blocked))
        << a.dialogs->errors.first().toStdString();

    a.options([](dialogs::TOptionsIkkuna&) { return true; });
    ASSERT_EQ(a.dialogs->errors.size(), 2);
    EXPECT_TRUE(a.dialogs->errors.last().contains(blocked));
    EXPECT_EQ(a.ini().value(u"General", u"Show splashscreen"), QStringLiteral("1"));
}

TEST_F(MainWindowTest, ClosingEndsTheEventLoop) {
    Host a(hub, QStringLiteral("PCA"), {{"General", "Hide to tray", "0"}});
    a->show();
    QTimer::singleShot(0, &*a, [&] { a->close(); });
    QTimer guard;
    guard.setSingleShot(true);
    QObject::connect(&guard, &QTimer::timeout, [] { QCoreApplication::exit(99); });
    guard.start(5000);
    EXPECT_EQ(QCoreApplication::exec(), 0);
    EXPECT_FALSE(a->isVisible());
}

// --- Printing -------------------------------------------------------------------------------

TEST_F(MainWindowTest, PrintButtonPrintsTheChatUnderTheJobTitle) {
    Host a(hub, QStringLiteral("PCA"));
    a->show();
    pump(hub, {&a});
    for (int i = 0; i < 120; ++i)
        a.type(QStringLiteral("line %1").arg(i));
    pump(hub, {&a});
    const QString pdf = a.dir.filePath(QStringLiteral("chat.pdf"));

    // The user picks printing to a file in the dialog and confirms.
    bool dialogSeen = false;
    a.dialogs->onModal(QStringLiteral("PrintDialog"), [&](QDialog& window) {
        auto* dialog = qobject_cast<QPrintDialog*>(&window);
        if (dialog == nullptr)
            return int(QDialog::Rejected);
        dialogSeen = true;
        dialog->printer()->setOutputFormat(QPrinter::PdfFormat);
        dialog->printer()->setOutputFileName(pdf);
        return int(QDialog::Accepted);
    });
    QTest::mouseClick(a->button("btnPrint"), Qt::LeftButton);
    ASSERT_TRUE(dialogSeen);

    const QByteArray bytes = readFile(pdf);
    ASSERT_TRUE(bytes.startsWith("%PDF-"));
    const QString title =
        QStringLiteral("Kalvento by Fennrake (%1)")
            .arg(QLocale::system().toString(fixedNow.date(), QLocale::ShortFormat));
    const qsizetype at = bytes.indexOf("/Title");
    ASSERT_GE(at, 0);
    EXPECT_TRUE(bytes.mid(at, 200).contains(pdfTextString(title)));
    // 120 lines and the welcome line take more than one page.
    EXPECT_GT(pdfPageCount(bytes), 1);
}

} // namespace
