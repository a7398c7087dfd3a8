#include "app/chat_view.h"

#include "app/chat_find_bar.h"
#include "app/chat_text.h"
#include "lang/qt_translation.h"
#include "richtext/rtf_log.h"

#include "richtext/rtf_writer.h"

#include "support/pdf_text.h"
#include "support/test_data.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLineEdit>
#include <QLocale>
#include <QMap>
#include <QMenu>
#include <QMouseEvent>
#include <QPrinter>
#include <QScrollBar>
#include <QShortcut>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTextBlock>
#include <QTextDocument>
#include <QTextLayout>

#include <gtest/gtest.h>

#include <csignal>
#include <functional>
#include <sys/resource.h>

using namespace kalvento;
using app::ChatDisplaySettings;
using app::TChatView;
using messaging::ReceivedLine;
using test::pdfPageCount;
using test::pdfTextString;
using test::readFile;
using test::writeFile;

namespace {

const QDateTime fixedNow(QDate(2024, 3, 5), QTime(14, 7, 9));

QString longTime() {
    return QLocale::system().toString(fixedNow.time(), QLocale::LongFormat);
}

QString welcomeLine() {
    // The built-in English names the day in English, whatever the system speaks.
    const QLocale locale = lang::displayLocale(nullptr);
    return QStringLiteral("--- Welcome! Today is %1 of %2 %3 ---")
        .arg(locale.standaloneDayName(fixedNow.date().dayOfWeek(), QLocale::LongFormat),
             locale.toString(fixedNow.date(), QLocale::ShortFormat),
             locale.toString(fixedNow.time(), QLocale::LongFormat));
}

ReceivedLine line(const QString& text, ReceivedLine::Kind kind = ReceivedLine::Kind::Public,
                  bool own = false, QString sender = QStringLiteral("PC1")) {
    ReceivedLine l;
    l.kind = kind;
    l.own = own;
    l.senderName = std::move(sender);
    l.text = text;
    return l;
}

ReceivedLine multiLine(const QString& text, bool start,
                       ReceivedLine::Kind kind = ReceivedLine::Kind::Public) {
    ReceivedLine l = line(text, kind);
    l.multiLineStart = start;
    l.continuation = !start;
    return l;
}

struct TextRun {
    QString text;
    QColor color; // invalid: no colour of its own
    bool italic;
};

// The text runs of the view, as colour and italic state.
QList<TextRun> runs(const QTextDocument& doc) {
    QList<TextRun> out;
    for (QTextBlock block = doc.begin(); block.isValid(); block = block.next()) {
        for (auto it = block.begin(); !it.atEnd(); ++it) {
            const QTextCharFormat f = it.fragment().charFormat();
            const QBrush brush = f.foreground();
            out.append({it.fragment().text(),
                        brush.style() == Qt::NoBrush ? QColor() : brush.color(), f.fontItalic()});
        }
    }
    return out;
}

// The run that holds needle.
TextRun runWith(const QTextDocument& doc, const QString& needle) {
    for (const TextRun& r : runs(doc))
        if (r.text.contains(needle))
            return r;
    ADD_FAILURE() << "no run holds " << needle.toStdString();
    return {};
}

struct ChatViewTest : ::testing::Test {
    ChatViewTest() {
        view.setClock([] { return fixedNow; });
        view.resize(400, 200);
    }
    QString plain() const { return view.toPlainText(); }
    // Start-of-run as the window runs it, baseline included.
    QString start(TChatView& v, bool saveOn) {
        v.setClock([] { return fixedNow; });
        QString error =
            v.startOfRunContent(logPath(), saveOn, QFont(QStringLiteral("Sans"), 11)).error;
        v.setLogBaseline();
        return error;
    }
    QString logPath() const { return TChatView::logFilePath(dir.path() + u'/'); }

    QTemporaryDir dir;
    TChatView view;
};

TEST_F(ChatViewTest, ColoursAndItalicFollowKindAndOwner) {
    ChatDisplaySettings s;
    s.ownColor = Qt::red;
    s.otherColor = Qt::blue;
    s.privateColor = Qt::darkGreen;
    struct Case {
        const char* name;
        ReceivedLine::Kind kind;
        bool own;
        bool italicSetting;
        QColor color;
        bool italic;
    } cases[] = {
        {"own public", ReceivedLine::Kind::Public, true, true, Qt::red, false},
        {"other public", ReceivedLine::Kind::Public, false, true, Qt::blue, false},
        {"private italic", ReceivedLine::Kind::Private, false, true, Qt::darkGreen, true},
        {"private upright", ReceivedLine::Kind::Private, false, false, Qt::darkGreen, false},
        // A public line clears the italic that a private one left.
        {"public after private", ReceivedLine::Kind::Public, false, true, Qt::blue, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        s.privateItalic = c.italicSetting;
        view.setDisplaySettings(s);
        const QString text = QStringLiteral("text of ") + QString::fromLatin1(c.name);
        EXPECT_TRUE(view.appendReceived(line(text, c.kind, c.own)));
        const TextRun r = runWith(*view.document(), text);
        EXPECT_EQ(r.color, c.color);
        EXPECT_EQ(r.italic, c.italic);
    }
}

TEST_F(ChatViewTest, NameAndTimeAsTheSettingsSay) {
    struct Case {
        bool name, time;
        QString expected;
    } cases[] = {
        {true, true, QStringLiteral("PC1 (%1): hi").arg(longTime())},
        {true, false, QStringLiteral("PC1: hi")},
        {false, true, QStringLiteral("(%1): hi").arg(longTime())},
        {false, false, QStringLiteral(": hi")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.expected.toStdString());
        TChatView v;
        v.setClock([] { return fixedNow; });
        ChatDisplaySettings s;
        s.showSenderName = c.name;
        s.showMessageTime = c.time;
        v.setDisplaySettings(s);
        v.appendReceived(line(QStringLiteral("hi")));
        EXPECT_EQ(v.toPlainText(), c.expected);
    }
}

TEST_F(ChatViewTest, EachMessageStartsOnItsOwnLine) {
    ChatDisplaySettings s;
    s.showMessageTime = false;
    view.setDisplaySettings(s);
    view.appendReceived(line(QStringLiteral("one")));
    view.appendReceived(
        line(QStringLiteral("two"), ReceivedLine::Kind::Public, false, QStringLiteral("-42")));
    EXPECT_EQ(plain(), QStringLiteral("PC1: one\n-42: two"));
}

TEST_F(ChatViewTest, MultiLineHeadingAndFollowingLines) {
    ChatDisplaySettings s;
    s.showMessageTime = false;
    s.privateItalic = true;
    view.setDisplaySettings(s);
    view.appendReceived(line(QStringLiteral("before")));
    EXPECT_TRUE(view.appendReceived(multiLine(QStringLiteral("first"), true)));
    EXPECT_FALSE(view.appendReceived(multiLine(QStringLiteral("second"), false)));
    // The lines of the message begin with the continuation mark, never where a name does.
    EXPECT_EQ(plain(), QStringLiteral("PC1: before\nPC1: \n") + app::kContinuationMark +
                           QStringLiteral("first\n") + app::kContinuationMark +
                           QStringLiteral("second"));
    EXPECT_EQ(runWith(*view.document(), QStringLiteral("second")).color, s.otherColor);

    // Private lines: heading and lines in the private colour, italic.
    view.appendReceived(multiLine(QStringLiteral("p0"), true, ReceivedLine::Kind::Private));
    view.appendReceived(multiLine(QStringLiteral("p1"), false, ReceivedLine::Kind::Private));
    EXPECT_TRUE(plain().endsWith(QStringLiteral("second\nPC1: \n") + app::kContinuationMark +
                                 QStringLiteral("p0\n") + app::kContinuationMark +
                                 QStringLiteral("p1")));
    const TextRun p1 = runWith(*view.document(), QStringLiteral("p1"));
    EXPECT_EQ(p1.color, s.privateColor);
    EXPECT_TRUE(p1.italic);
}

TEST_F(ChatViewTest, ContinuationWithoutFirstLineFollowsWhateverIsLast) {
    ChatDisplaySettings s;
    view.setDisplaySettings(s);
    view.appendComment(QStringLiteral("note"));
    // Public: the insertion colour as it is (the comment's own colour).
    EXPECT_FALSE(view.appendReceived(multiLine(QStringLiteral("stray"), false)));
    // Private: the private colour.
    EXPECT_FALSE(view.appendReceived(
        multiLine(QStringLiteral("secret"), false, ReceivedLine::Kind::Private)));
    EXPECT_EQ(plain(), QStringLiteral("--- note ---\n") + app::kContinuationMark +
                           QStringLiteral("stray\n") + app::kContinuationMark +
                           QStringLiteral("secret"));
    EXPECT_EQ(runWith(*view.document(), QStringLiteral("stray")).color, s.ownColor);
    EXPECT_EQ(runWith(*view.document(), QStringLiteral("secret")).color, s.privateColor);

    // Into an empty chat it starts the first line.
    TChatView empty;
    empty.appendReceived(multiLine(QStringLiteral("alone"), false));
    EXPECT_EQ(empty.toPlainText(), u'\n' + app::kContinuationMark + QStringLiteral("alone"));
}

TEST_F(ChatViewTest, PrivateEchoShowsTheReceiversAtOnce) {
    ChatDisplaySettings s;
    s.privateItalic = true;
    view.setDisplaySettings(s);
    view.appendPrivateEcho({QStringLiteral("PC1"), QStringLiteral("PC2")}, QStringLiteral("psst"),
                           false);
    EXPECT_EQ(plain(), QStringLiteral("To PC1, PC2 (%1): psst").arg(longTime()));
    const TextRun r = runWith(*view.document(), QStringLiteral("psst"));
    EXPECT_EQ(r.color, s.privateColor);
    EXPECT_TRUE(r.italic);

    s.showMessageTime = false;
    s.privateItalic = false;
    view.setDisplaySettings(s);
    QStringList lines;
    for (int k = 0; k < 150; ++k)
        lines.append(QString::number(k));
    view.appendPrivateEcho({QStringLiteral("PC3")}, QString(), true, lines);
    const QStringList shown = plain().split(u'\n');
    ASSERT_EQ(shown.size(), 1 + 1 + 100);
    EXPECT_EQ(shown[1], QStringLiteral("To PC3:"));
    EXPECT_EQ(shown[2], app::kContinuationMark + QStringLiteral("0"));
    EXPECT_EQ(shown.last(), app::kContinuationMark + QStringLiteral("99"));
    EXPECT_FALSE(runWith(*view.document(), QStringLiteral("To PC3")).italic);
}

TEST_F(ChatViewTest, CommentInOwnColour) {
    ChatDisplaySettings s;
    view.setDisplaySettings(s);
    view.appendComment(QStringLiteral("first"));
    view.appendComment(QString());
    EXPECT_EQ(plain(), QStringLiteral("--- first ---\n---  ---"));
    EXPECT_EQ(runWith(*view.document(), QStringLiteral("first")).color, s.ownColor);
}

TEST_F(ChatViewTest, PeerTextIsNeverMarkupOnScreenOrInTheLog) {
    const QStringList texts = {QStringLiteral("<b>x</b>"), QStringLiteral("&amp;"),
                               QStringLiteral("<img src=\"file:///etc/passwd\">"),
                               QStringLiteral("{\\rtf1 \\b bold}"), QStringLiteral("a\\par b")};
    ChatDisplaySettings s;
    s.showMessageTime = false;
    view.setDisplaySettings(s);
    for (const QString& t : texts)
        view.appendReceived(line(t, ReceivedLine::Kind::Public, false, t));
    QStringList expected;
    for (const QString& t : texts)
        expected.append(t + QStringLiteral(": ") + t);
    EXPECT_EQ(plain(), expected.join(u'\n'));
    for (const TextRun& r : runs(*view.document()))
        EXPECT_FALSE(r.text.contains(QChar::ObjectReplacementCharacter));
    EXPECT_FALSE(runWith(*view.document(), QStringLiteral("x</b>")).italic);

    ASSERT_TRUE(view.writeBackLog(logPath(), true).ok());
    TChatView reloaded;
    ASSERT_TRUE(reloaded.loadLog(logPath()).ok());
    EXPECT_EQ(reloaded.toPlainText(), plain());
}

TEST_F(ChatViewTest, FirstStartWithoutLogShowsOnlyTheWelcomeLine) {
    view.appendComment(QStringLiteral("left over"));
    view.clear(); // as the window empties it before
    EXPECT_TRUE(start(view, true).isEmpty());
    EXPECT_EQ(plain(), welcomeLine());
    // Nothing happened: no log appears.
    EXPECT_TRUE(view.writeBackLog(logPath(), true).ok());
    EXPECT_FALSE(QFileInfo::exists(logPath()));
}

TEST_F(ChatViewTest, LogGrowsAcrossRunsAndAnIdleRunLeavesIt) {
    ChatDisplaySettings s;
    s.showMessageTime = false;
    {
        TChatView first;
        start(first, true);
        first.setDisplaySettings(s);
        first.appendReceived(line(QStringLiteral("hello")));
        ASSERT_TRUE(first.writeBackLog(logPath(), true).ok());
    }
    const QString firstRun = welcomeLine() + QStringLiteral("\nPC1: hello");
    const QByteArray saved = readFile(logPath());
    ASSERT_TRUE(saved.startsWith("{\\rtf1"));
    {
        // Only the welcome line is new: the file is not rewritten.
        TChatView idle;
        start(idle, true);
        EXPECT_EQ(idle.toPlainText(), firstRun + u'\n' + welcomeLine());
        EXPECT_TRUE(idle.writeBackLog(logPath(), true).ok());
        EXPECT_EQ(readFile(logPath()), saved);
    }
    {
        TChatView third;
        start(third, true);
        EXPECT_EQ(third.toPlainText(), firstRun + u'\n' + welcomeLine());
        third.setDisplaySettings(s);
        third.appendReceived(line(QStringLiteral("again"), ReceivedLine::Kind::Public, true));
        ASSERT_TRUE(third.writeBackLog(logPath(), true).ok());
    }
    TChatView fourth;
    start(fourth, true);
    EXPECT_EQ(fourth.toPlainText(),
              firstRun + u'\n' + welcomeLine() + QStringLiteral("\nPC1: again\n") + welcomeLine());
    // Colours survive the file; the welcome line keeps following the desktop's text colour.
    EXPECT_EQ(runWith(*fourth.document(), QStringLiteral("hello")).color, s.otherColor);
    EXPECT_EQ(runWith(*fourth.document(), QStringLiteral("again")).color, s.ownColor);
    for (const TextRun& r : runs(*fourth.document())) {
        if (r.text.contains(QStringLiteral("Welcome"))) {
            EXPECT_FALSE(r.color.isValid());
        }
    }
}

TEST_F(ChatViewTest, ClearingTheViewLosesNothingOfTheLog) {
    ChatDisplaySettings s;
    s.showMessageTime = false;
    const struct {
        const char* name;
        QByteArray log;
        QString text;
    } cases[] = {
        {"another editor's log", "{\\rtf1\\ansi old line\\par}", QStringLiteral("old line")},
        {"a log of our own",
         [] {
             QTextDocument old;
             QTextCursor(&old).insertText(QStringLiteral("first\nold line"));
             return richtext::writeRtf(old);
         }(),
         QStringLiteral("first\nold line")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        writeFile(logPath(), c.log);
        {
            TChatView run;
            start(run, true);
            run.setDisplaySettings(s);
            run.appendReceived(line(QStringLiteral("before the clear")));
            run.Clearchat1Click();
            EXPECT_TRUE(run.toPlainText().isEmpty());
            EXPECT_FALSE(run.hasEarlierHistory());
            run.appendReceived(line(QStringLiteral("one")));
            run.appendComment(QStringLiteral("two"));
            ASSERT_TRUE(run.writeBackLog(logPath(), true).ok());
            // The end of the session after the close adds nothing twice.
            const QByteArray saved = readFile(logPath());
            ASSERT_TRUE(run.writeBackLog(logPath(), true).ok());
            EXPECT_EQ(readFile(logPath()), saved);
        }
        TChatView next;
        start(next, true);
        EXPECT_EQ(next.toPlainText(), c.text + u'\n' + welcomeLine() +
                                          QStringLiteral("\nPC1: before the clear\nPC1: one\n"
                                                         "--- two ---\n") +
                                          welcomeLine());
    }
}

TEST_F(ChatViewTest, LogOffDeletesTheFile) {
    writeFile(logPath(), "{\\rtf1\\ansi old\\par}");
    // Off at start: the log is not shown.
    start(view, false);
    EXPECT_EQ(plain(), welcomeLine());
    EXPECT_TRUE(view.writeBackLog(logPath(), false).ok());
    EXPECT_FALSE(QFileInfo::exists(logPath()));
    // A missing file is no error.
    EXPECT_TRUE(view.writeBackLog(logPath(), false).ok());
}

TEST_F(ChatViewTest, PathWithoutTrailingSeparatorNamesAFileBesideIt) {
    const QString folder = dir.filePath(QStringLiteral("logs"));
    ASSERT_TRUE(QDir().mkpath(folder));
    const QString path = TChatView::logFilePath(folder);
    EXPECT_EQ(path, dir.filePath(QStringLiteral("logslog.rtf")));
    EXPECT_EQ(TChatView::logFilePath(folder + u'/'), folder + QStringLiteral("/log.rtf"));
    start(view, true);
    view.appendComment(QStringLiteral("x"));
    EXPECT_TRUE(view.writeBackLog(path, true).ok());
    EXPECT_TRUE(QFileInfo(path).isFile());
    EXPECT_TRUE(QDir(folder).isEmpty());
}

TEST_F(ChatViewTest, FailedSaveReportsAndLeavesTheOldFile) {
    writeFile(logPath(), "{\\rtf1\\ansi old\\par}");
    start(view, true);
    for (int i = 0; i < 50; ++i)
        view.appendComment(QStringLiteral("a line long enough to pass the size limit"));

    // A file size limit makes the write fail half-way, even for root.
    struct rlimit saved {};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = saved;
    small.rlim_cur = 512;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    const QString error = view.writeBackLog(logPath(), true).error;
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, oldHandler);

    EXPECT_FALSE(error.isEmpty());
    EXPECT_EQ(readFile(logPath()), QByteArray("{\\rtf1\\ansi old\\par}"));
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files), QStringList{QStringLiteral("log.rtf")});

    EXPECT_FALSE(view.writeBackLog(dir.filePath(QStringLiteral("missing/log.rtf")), true).ok());
}

TEST_F(ChatViewTest, UnreadableLogIsReportedAndKeptAside) {
    // Not RTF at the end: damaged.
    const QByteArray damaged = "{\\rtf1\\ansi half a history {\\b unclosed";
    writeFile(logPath(), damaged);
    EXPECT_FALSE(start(view, true).isEmpty());
    EXPECT_EQ(plain(), welcomeLine());
    view.appendComment(QStringLiteral("new"));
    ASSERT_TRUE(view.writeBackLog(logPath(), true).ok());
    EXPECT_EQ(readFile(logPath() + QStringLiteral(".bak")), damaged);
    EXPECT_TRUE(readFile(logPath()).contains("new"));
    // A second write-back (end of session after close) does not touch the kept file.
    ASSERT_TRUE(view.writeBackLog(logPath(), true).ok());
    EXPECT_EQ(readFile(logPath() + QStringLiteral(".bak")), damaged);

    // A log that cannot even be opened: the program still starts.
    TChatView other;
    const QString folderPath = dir.filePath(QStringLiteral("folder"));
    ASSERT_TRUE(QDir().mkpath(folderPath + QStringLiteral("log.rtf")));
    other.setClock([] { return fixedNow; });
    EXPECT_FALSE(other.startOfRunContent(TChatView::logFilePath(folderPath), true, QFont()).ok());
    EXPECT_EQ(other.toPlainText(), welcomeLine());
}

TEST_F(ChatViewTest, ChatFontReachesTheWholeView) {
    writeFile(logPath(), "{\\rtf1\\ansi{\\fonttbl{\\f0 Courier;}}\\f0\\fs40 old\\par}");
    view.setClock([] { return fixedNow; });
    ASSERT_TRUE(view.startOfRunContent(logPath(), true, QFont(QStringLiteral("Serif"), 13)).ok());
    view.appendComment(QStringLiteral("later"));
    for (QTextBlock b = view.document()->begin(); b.isValid(); b = b.next())
        for (auto it = b.begin(); !it.atEnd(); ++it) {
            const QTextCharFormat f = it.fragment().charFormat();
            EXPECT_EQ(f.fontFamilies().toStringList().value(0), QStringLiteral("Serif"));
            EXPECT_EQ(f.fontPointSize(), 13);
        }
}

TEST_F(ChatViewTest, EnablingFollowsTextAndSelection) {
    QSignalSpy spy(&view, &TChatView::hasTextChanged);
    view.ChatChange();
    ASSERT_EQ(spy.size(), 1);
    EXPECT_FALSE(spy.last().at(0).toBool());
    EXPECT_FALSE(view.SelectAll1()->isEnabled());
    EXPECT_FALSE(view.Clearchat1()->isEnabled());
    EXPECT_FALSE(view.Copy1()->isEnabled());

    view.appendComment(QStringLiteral("x"));
    EXPECT_TRUE(spy.last().at(0).toBool());
    EXPECT_TRUE(view.SelectAll1()->isEnabled());
    EXPECT_TRUE(view.Clearchat1()->isEnabled());
    EXPECT_FALSE(view.Copy1()->isEnabled());

    view.SelectAll1()->trigger();
    EXPECT_TRUE(view.Copy1()->isEnabled());
    view.Copy1()->trigger();
    EXPECT_EQ(QApplication::clipboard()->text(), QStringLiteral("--- x ---"));

    view.Clearchat1()->trigger();
    EXPECT_TRUE(plain().isEmpty());
    EXPECT_FALSE(spy.last().at(0).toBool());
    EXPECT_FALSE(view.SelectAll1()->isEnabled());
    EXPECT_FALSE(view.Clearchat1()->isEnabled());
    EXPECT_FALSE(view.Copy1()->isEnabled());
    // The chat goes on after clearing.
    view.appendComment(QStringLiteral("y"));
    EXPECT_EQ(plain(), QStringLiteral("--- y ---"));
}

TEST_F(ChatViewTest, PopupCarriesTheTranslatableItems) {
    QMenu* popup = view.findChild<QMenu*>(QStringLiteral("ChatPopup"));
    ASSERT_NE(popup, nullptr);
    const struct {
        const char* name;
        const char* caption;
        QKeySequence keys;
    } items[] = {{"Copy1", "Copy", QKeySequence(Qt::CTRL | Qt::Key_C)},
                 {"SelectAll1", "Select All", QKeySequence(Qt::CTRL | Qt::Key_A)},
                 {"Clearchat1", "Clear Chat", QKeySequence(Qt::CTRL | Qt::Key_Delete)}};
    ASSERT_EQ(popup->actions().size(), 3);
    for (int i = 0; i < 3; ++i) {
        QAction* a = popup->actions()[i];
        EXPECT_EQ(a->objectName(), QLatin1String(items[i].name));
        EXPECT_EQ(a->text(), QLatin1String(items[i].caption));
        EXPECT_EQ(a->shortcut(), items[i].keys);
    }

    view.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&view));
    QContextMenuEvent event(QContextMenuEvent::Mouse, QPoint(5, 5), view.mapToGlobal(QPoint(5, 5)));
    QApplication::sendEvent(view.viewport(), &event);
    EXPECT_TRUE(popup->isVisible());
    popup->hide();

    // The shortcuts work from the keyboard while the view has the focus.
    view.appendComment(QStringLiteral("x"));
    view.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&view));
    view.setFocus();
    QTest::keyClick(&view, Qt::Key_Delete, Qt::ControlModifier);
    EXPECT_TRUE(view.isChatEmpty());
}

TEST_F(ChatViewTest, FollowsNewLinesOnlyWhileTheUserIsElsewhere) {
    QWidget window;
    QLineEdit* elsewhere = new QLineEdit(&window);
    view.setParent(&window);
    view.setGeometry(0, 30, 300, 150);
    window.resize(300, 200);
    window.show();
    window.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
    elsewhere->setFocus();
    QScrollBar* bar = view.verticalScrollBar();

    for (int i = 0; i < 200; ++i)
        view.appendComment(QString::number(i));
    ASSERT_GT(bar->maximum(), 0);
    EXPECT_EQ(bar->value(), bar->maximum());

    view.setFocus();
    ASSERT_TRUE(view.hasFocus());
    bar->setValue(0);
    for (int i = 0; i < 20; ++i)
        view.appendComment(QString::number(i));
    EXPECT_EQ(bar->value(), 0);

    elsewhere->setFocus();
    view.appendComment(QStringLiteral("last"));
    EXPECT_EQ(bar->value(), bar->maximum());
    view.setParent(nullptr);
}

TEST_F(ChatViewTest, PrintsTheWholeChatUnderTheJobTitle) {
    for (int i = 0; i < 300; ++i)
        view.appendComment(QStringLiteral("line %1").arg(i));
    const QString title =
        QStringLiteral("Kalvento by Fennrake (%1)")
            .arg(QLocale::system().toString(fixedNow.date(), QLocale::ShortFormat));
    EXPECT_EQ(view.printJobTitle(), title);

    QPrinter printer(QPrinter::HighResolution);
    printer.setOutputFormat(QPrinter::PdfFormat);
    const QString pdf = dir.filePath(QStringLiteral("chat.pdf"));
    printer.setOutputFileName(pdf);
    view.print(&printer);
    EXPECT_EQ(printer.docName(), title);

    const QByteArray bytes = readFile(pdf);
    ASSERT_TRUE(bytes.startsWith("%PDF-"));
    // The title in the document information.
    const qsizetype at = bytes.indexOf("/Title");
    ASSERT_GE(at, 0);
    EXPECT_TRUE(bytes.mid(at, 200).contains(pdfTextString(title)));
    // 300 lines do not fit on one page.
    EXPECT_GT(pdfPageCount(bytes), 1);
}

// --- History -------------------------------------------------------------------------------

// A log in the log form of `count` lines "history line <i>", extra added to the lines it
// names; and its text.
QString historyText(int count, const QMap<int, QString>& extra = {}) {
    QStringList lines;
    for (int i = 0; i < count; ++i)
        lines.append(QStringLiteral("history line %1").arg(i) + extra.value(i));
    return lines.join(u'\n');
}

QByteArray historyLog(int count, const QMap<int, QString>& extra = {}) {
    QTextDocument document;
    QTextCursor(&document).insertText(historyText(count, extra));
    return richtext::writeRtf(document);
}

// Whether shown is the end of full, in whole lines.
bool endsInWholeLines(const QString& full, const QString& shown) {
    return shown == full || full.endsWith(u'\n' + shown);
}

// The line at the top of the view.
QString topLine(const TChatView& view) {
    return view.cursorForPosition(QPoint(20, 2)).block().text();
}

TEST_F(ChatViewTest, HistoryIsShownFromItsEndAndEarlierWhenScrolledTo) {
    writeFile(logPath(), historyLog(3000));
    const QString full = historyText(3000) + u'\n' + welcomeLine();
    view.setHistoryChunkBytes(4096);
    start(view, true);
    // The last part only, in whole lines.
    EXPECT_TRUE(view.hasEarlierHistory());
    EXPECT_LT(view.document()->blockCount(), 300);
    EXPECT_TRUE(endsInWholeLines(full, plain()));
    view.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&view));
    QScrollBar* bar = view.verticalScrollBar();
    EXPECT_EQ(bar->value(), bar->maximum());

    // At the top, the part before comes, and the line that was at the top stays there.
    for (int round = 0; round < 3; ++round) {
        const int blocks = view.document()->blockCount();
        bar->setValue(0);
        const QString top = topLine(view);
        QTRY_VERIFY(view.document()->blockCount() > blocks);
        EXPECT_EQ(topLine(view), top);
        EXPECT_GT(bar->value(), 0);
        EXPECT_TRUE(endsInWholeLines(full, plain()));
    }
    view.loadWholeHistory();
    EXPECT_EQ(plain(), full);
    EXPECT_FALSE(view.hasEarlierHistory());
}

TEST_F(ChatViewTest, TheLogKeepsTheHistoryThatWasNeverShown) {
    const QByteArray old = historyLog(3000);
    writeFile(logPath(), old);
    view.setHistoryChunkBytes(4096);
    start(view, true);
    view.appendComment(QStringLiteral("new"));
    ASSERT_TRUE(view.writeBackLog(logPath(), true).ok());

    const QByteArray now = readFile(logPath());
    const auto oldHeader = richtext::parseLogHeader(old);
    const auto newHeader = richtext::parseLogHeader(now);
    ASSERT_TRUE(oldHeader && newHeader);
    EXPECT_EQ(now.mid(newHeader->headerBytes, oldHeader->bodyBytes),
              old.mid(oldHeader->headerBytes, oldHeader->bodyBytes));
    TChatView next;
    start(next, true);
    next.loadWholeHistory();
    EXPECT_EQ(next.toPlainText(), historyText(3000) + u'\n' + welcomeLine() +
                                      QStringLiteral("\n--- new ---\n") + welcomeLine());
}

TEST_F(ChatViewTest, AHistoryChangedByAnotherProgramIsReported) {
    writeFile(logPath(), historyLog(3000));
    view.setHistoryChunkBytes(4096);
    start(view, true);
    const QString shown = plain();
    QSignalSpy errors(&view, &TChatView::historyError);
    QFile file(logPath());
    ASSERT_TRUE(file.open(QIODevice::Append));
    file.write("more");
    file.close();

    EXPECT_FALSE(view.loadEarlierHistory());
    ASSERT_EQ(errors.size(), 1);
    EXPECT_TRUE(errors[0][0].toString().contains(QStringLiteral("changed")))
        << errors[0][0].toString().toStdString();
    EXPECT_FALSE(view.hasEarlierHistory());
    EXPECT_EQ(plain(), shown);
}

TEST_F(ChatViewTest, FindLooksThroughTheHistoryNotYetShown) {
    const QMap<int, QString> extra{{2, QStringLiteral(" Zebra")},
                                   {5, QStringLiteral(" zebra crossing")}};
    writeFile(logPath(), historyLog(3000, extra));
    const QString full = historyText(3000, extra) + u'\n' + welcomeLine();
    view.setHistoryChunkBytes(4096);
    start(view, true);
    view.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&view));
    app::ChatFindBar* bar = view.findBar();
    using Status = app::ChatFindBar::Status;

    // The newest match first, found back in the part not yet shown: shown with all after it.
    view.openFindBar();
    bar->field()->setText(QStringLiteral("ZEBRA"));
    QTRY_COMPARE(view.textCursor().selectedText(), QStringLiteral("zebra"));
    EXPECT_EQ(view.textCursor().block().text(), QStringLiteral("history line 5 zebra crossing"));
    EXPECT_EQ(bar->status(), Status::None);
    EXPECT_TRUE(endsInWholeLines(full, plain()));
    // The matches on screen are marked.
    const QList<QTextEdit::ExtraSelection> marks = view.extraSelections();
    EXPECT_FALSE(marks.isEmpty());
    for (const QTextEdit::ExtraSelection& mark : marks)
        EXPECT_EQ(mark.cursor.selectedText().toLower(), QStringLiteral("zebra"));

    view.findOlder();
    QTRY_COMPARE(view.textCursor().block().text(), QStringLiteral("history line 2 Zebra"));
    view.findOlder();
    QTRY_COMPARE(bar->status(), Status::NoOlder);
    EXPECT_EQ(view.textCursor().block().text(), QStringLiteral("history line 2 Zebra"));
    view.findNewer();
    EXPECT_EQ(view.textCursor().block().text(), QStringLiteral("history line 5 zebra crossing"));
    view.findNewer();
    EXPECT_EQ(bar->status(), Status::NoNewer);

    bar->field()->setText(QStringLiteral("okapi"));
    QTRY_COMPARE(bar->status(), Status::NoMatch);
    view.closeFindBar();
    EXPECT_TRUE(view.extraSelections().isEmpty());
}

TEST_F(ChatViewTest, FindKeysWorkFromTheWholeWindow) {
    QWidget window;
    auto* message = new QLineEdit(&window);
    view.setParent(&window);
    view.setGeometry(0, 30, 400, 200);
    window.resize(400, 240);
    // The window's own Esc, as the main window has it.
    int escapes = 0;
    auto* escape = new QShortcut(QKeySequence(Qt::Key_Escape), &window);
    QObject::connect(escape, &QShortcut::activated, [&] { ++escapes; });
    for (int i = 1; i <= 3; ++i)
        view.appendComment(QStringLiteral("apple %1").arg(i));
    view.appendComment(QStringLiteral("pear"));
    window.show();
    window.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
    message->setFocus();
    QLineEdit* field = view.findBar()->field();
    const auto matchLine = [this] { return view.textCursor().block().text(); };

    QTest::keyClick(message, Qt::Key_F, Qt::ControlModifier);
    ASSERT_TRUE(view.findBar()->isVisible());
    EXPECT_TRUE(field->hasFocus());
    QTest::keyClicks(field, QStringLiteral("apple"));
    EXPECT_EQ(matchLine(), QStringLiteral("--- apple 3 ---"));
    const struct {
        Qt::Key key;
        Qt::KeyboardModifiers modifiers;
        const char* line;
    } steps[] = {
        {Qt::Key_Return, Qt::NoModifier, "--- apple 2 ---"},
        {Qt::Key_F3, Qt::NoModifier, "--- apple 1 ---"},
        {Qt::Key_F3, Qt::ShiftModifier, "--- apple 2 ---"},
        {Qt::Key_Enter, Qt::ShiftModifier, "--- apple 3 ---"},
    };
    for (const auto& step : steps) {
        QTest::keyClick(field, step.key, step.modifiers);
        EXPECT_EQ(matchLine(), QLatin1String(step.line)) << step.key << " " << step.modifiers;
    }
    QTest::keyClick(field, Qt::Key_Escape);
    EXPECT_FALSE(view.findBar()->isVisible());
    EXPECT_EQ(escapes, 0);
    EXPECT_TRUE(message->hasFocus());
    EXPECT_TRUE(view.extraSelections().isEmpty());

    // F3 from the message box: the bar again, the search going on.
    QTest::keyClick(message, Qt::Key_F3);
    EXPECT_TRUE(view.findBar()->isVisible());
    EXPECT_EQ(matchLine(), QStringLiteral("--- apple 2 ---"));
    view.setParent(nullptr);
}

// --- Links ---------------------------------------------------------------------------------

TEST_F(ChatViewTest, AddressesAreLinksThatOpenThroughTheDesktop) {
    QList<QUrl> opened;
    view.setLinkOpener([&](const QUrl& url) { opened.append(url); });
    ChatDisplaySettings s;
    s.showMessageTime = false;
    view.setDisplaySettings(s);
    view.appendReceived(line(QStringLiteral("see www.example.fi/a or mail anna@example.com")));
    view.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&view));
    const auto pointAt = [this](const char* text) {
        QTextCursor cursor(view.document());
        cursor.setPosition(int(plain().indexOf(QLatin1String(text))) + 2);
        return view.cursorRect(cursor).center();
    };
    QWidget* area = view.viewport();

    EXPECT_EQ(view.anchorAt(pointAt("www")), QStringLiteral("http://www.example.fi/a"));
    QTest::mouseMove(area, pointAt("www"));
    EXPECT_EQ(area->cursor().shape(), Qt::PointingHandCursor);
    QTest::mouseClick(area, Qt::LeftButton, {}, pointAt("www"));
    QTest::mouseClick(area, Qt::LeftButton, {}, pointAt("anna"));
    EXPECT_EQ(opened, (QList<QUrl>{QUrl(QStringLiteral("http://www.example.fi/a")),
                                   QUrl(QStringLiteral("mailto:anna@example.com"))}));

    // Text that is no address: no link, the text cursor.
    QTest::mouseMove(area, pointAt("see"));
    EXPECT_EQ(area->cursor().shape(), Qt::IBeamCursor);
    QTest::mouseClick(area, Qt::LeftButton, {}, pointAt("see"));
    // A selection begun on a link opens nothing.
    QTest::mousePress(area, Qt::LeftButton, {}, pointAt("www"));
    QTest::mouseMove(area, pointAt("mail"));
    QTest::mouseRelease(area, Qt::LeftButton, {}, pointAt("mail"));
    EXPECT_EQ(opened.size(), 2);

    // The log gets the text alone; the history read back has its links again.
    for (QTextBlock b = view.unsavedLines().begin(); b.isValid(); b = b.next())
        for (auto it = b.begin(); !it.atEnd(); ++it) {
            EXPECT_FALSE(it.fragment().charFormat().isAnchor());
            EXPECT_FALSE(it.fragment().charFormat().fontUnderline());
        }
    view.setLogBaseline(0);
    ASSERT_TRUE(view.writeBackLog(logPath(), true).ok());
    TChatView next;
    next.resize(view.size());
    start(next, true);
    next.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&next));
    QTextCursor cursor(next.document());
    cursor.setPosition(int(next.toPlainText().indexOf(QLatin1String("anna"))) + 2);
    EXPECT_EQ(next.anchorAt(next.cursorRect(cursor).center()),
              QStringLiteral("mailto:anna@example.com"));
}

// --- Lines that cannot pass for others -----------------------------------------------------

// The geometry of the lines on screen, which the view keeps to itself.
struct ExposedView : TChatView {
    ExposedView() {
        setClock([] { return fixedNow; });
        resize(420, 300);
        setFont(QFont(QStringLiteral("DejaVu Sans"), 10));
    }
    // Each line on screen, as an image across the view, in order.
    QList<QImage> screenLines() {
        QList<QImage> lines;
        const QImage all = viewport()->grab().toImage();
        for (QTextBlock b = document()->begin(); b.isValid(); b = b.next()) {
            const QRectF box = blockBoundingGeometry(b).translated(contentOffset());
            const QTextLayout* layout = b.layout();
            for (int i = 0; i < layout->lineCount(); ++i) {
                const QTextLine l = layout->lineAt(i);
                lines.append(all.copy(
                    QRectF(0, box.top() + l.y(), all.width(), l.height()).toAlignedRect()));
            }
        }
        return lines;
    }
    void showAndWait() {
        show();
        QVERIFY(QTest::qWaitForWindowExposed(this));
    }
};

TEST_F(ChatViewTest, PeerLinesCannotPassForOtherSendersLines) {
    const QString forged = QStringLiteral("HOSTC (%1): fake").arg(longTime());
    // How a line of HOSTC begins on screen: its heading.
    ExposedView reference;
    reference.appendReceived(
        line(QStringLiteral("fake"), ReceivedLine::Kind::Public, false, QStringLiteral("HOSTC")));
    reference.showAndWait();
    QTextCursor headingEnd(reference.document());
    headingEnd.setPosition(int(forged.indexOf(u':')) + 2);
    const int headingWidth = reference.cursorRect(headingEnd).left();
    const QImage heading = reference.screenLines().value(0).copy(0, 0, headingWidth, 100);
    const auto beginsLikeTheHeading = [&](const QImage& screenLine) {
        return screenLine.copy(0, 0, headingWidth, 100) == heading;
    };
    {
        // The comparison sees a real line of HOSTC after another line.
        ExposedView real;
        real.appendReceived(line(QStringLiteral("one")));
        real.appendReceived(line(QStringLiteral("fake"), ReceivedLine::Kind::Public, false,
                                 QStringLiteral("HOSTC")));
        real.showAndWait();
        ASSERT_TRUE(beginsLikeTheHeading(real.screenLines().value(1)));
    }

    const QStringList breaks = {"\n",
                                "\r",
                                "\r\n",
                                QStringLiteral("\u000B"),
                                "\u000C",
                                QStringLiteral("\u0085"),
                                QStringLiteral("\u2028"),
                                QStringLiteral("\u2029")};
    struct Case {
        QString name;
        std::function<void(TChatView&)> write;
    };
    QList<Case> cases;
    for (const QString& br : breaks) {
        cases.append(
            {QStringLiteral("line break U+%1").arg(int(br.back().unicode()), 4, 16),
             [=](TChatView& v) { v.appendReceived(line(QStringLiteral("hi") + br + forged)); }});
    }
    cases.append({QStringLiteral("a line of a multi-line message"), [=](TChatView& v) {
                      v.appendReceived(multiLine(QStringLiteral("hi"), true));
                      v.appendReceived(multiLine(forged, false));
                  }});
    cases.append({QStringLiteral("a name with a line break"), [=](TChatView& v) {
                      v.appendReceived(line(QStringLiteral("x"), ReceivedLine::Kind::Public, false,
                                            QStringLiteral("x\n") + forged));
                  }});
    // A long line whose wrap puts the forged heading at the start of a line on screen.
    for (int words = 1; words < 120; ++words) {
        ExposedView probe;
        const QString text = QStringLiteral("ab ").repeated(words) + forged;
        probe.appendReceived(line(text));
        probe.showAndWait();
        const QTextLayout* layout = probe.document()->begin().layout();
        if (layout->lineCount() > 1 &&
            probe.document()->begin().text().mid(layout->lineAt(1).textStart()) == forged) {
            cases.append({QStringLiteral("a line that wraps"),
                          [=](TChatView& v) { v.appendReceived(line(text)); }});
            break;
        }
    }
    ASSERT_EQ(cases.size(), breaks.size() + 3);

    for (const Case& c : cases) {
        SCOPED_TRACE(c.name.toStdString());
        ExposedView attacked;
        attacked.appendReceived(line(QStringLiteral("one")));
        c.write(attacked);
        attacked.showAndWait();
        const QList<QImage> lines = attacked.screenLines();
        ASSERT_GE(lines.size(), 2);
        for (qsizetype i = 0; i < lines.size(); ++i)
            EXPECT_FALSE(beginsLikeTheHeading(lines[i])) << "line " << i;
        // In the text too (copies, the log) no line begins with a forged heading, and the
        // log gives back the same text.
        for (const QString& text : attacked.toPlainText().split(u'\n'))
            EXPECT_FALSE(text.startsWith(QStringLiteral("HOSTC"))) << text.toStdString();
        ASSERT_TRUE(attacked.writeBackLog(logPath(), true).ok());
        TChatView reloaded;
        ASSERT_TRUE(reloaded.loadLog(logPath()).ok());
        EXPECT_EQ(reloaded.toPlainText(), attacked.toPlainText());
        QFile::remove(logPath());
    }
}

TEST_F(ChatViewTest, DirectionControlsOfPeersReorderNothingAroundThem) {
    const auto received = [](const QString& sender, const QString& text) {
        return [=](TChatView& v) {
            v.appendReceived(line(text, ReceivedLine::Kind::Public, false, sender));
        };
    };
    const auto echo = [](const QStringList& names) {
        return [=](TChatView& v) { v.appendPrivateEcho(names, QStringLiteral("hi"), false); };
    };
    const auto comment = [](const QString& text) {
        return [=](TChatView& v) { v.appendComment(text); };
    };
    const QString EVIL = QStringLiteral("EVIL");
    // Right-to-left text after an opening left open would take the time stamp along.
    const QString hebrew = QStringLiteral("\u05E9\u05DC\u05D5\u05DD 12");
    const struct {
        const char* name;
        std::function<void(TChatView&)> attack;
        std::function<void(TChatView&)> looksLike;
    } cases[] = {
        {"an override in a sender's name", received(EVIL + QChar(0x202E), hebrew),
         received(EVIL, hebrew)},
        {"an isolate opened in a name", received(QChar(0x2067) + EVIL, hebrew),
         received(EVIL, hebrew)},
        {"an embedding opened in a name", received(QChar(0x202B) + EVIL, hebrew),
         received(EVIL, hebrew)},
        {"an override in a receiver's name", echo({QStringLiteral("A\u202E"), "B"}),
         echo({"A", "B"})},
        {"an override in a text with more after it", comment(QStringLiteral("\u202Ecba")),
         comment("abc")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ExposedView attacked, plainView;
        c.attack(attacked);
        c.looksLike(plainView);
        attacked.showAndWait();
        plainView.showAndWait();
        EXPECT_EQ(attacked.screenLines().value(0), plainView.screenLines().value(0));
        // The isolation is kept by the log.
        ASSERT_TRUE(attacked.writeBackLog(logPath(), true).ok());
        TChatView reloaded;
        ASSERT_TRUE(reloaded.loadLog(logPath()).ok());
        EXPECT_EQ(reloaded.toPlainText(), attacked.toPlainText());
        QFile::remove(logPath());
    }
}

} // namespace
