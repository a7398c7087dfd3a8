#include "dialogs/mline_window.h"

#include "support/qt_print.h"
#include "support/test_data.h"
#include "widgets/glyph_button.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QFile>
#include <QMenu>
#include <QPainter>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPrinter>
#include <QSet>
#include <QTemporaryDir>
#include <QTest>

using namespace kalvento;
using dialogs::TMLineIkkuna;

namespace {

QList<QImage> pictures() {
    QList<QImage> kuvat;
    for (int i = 0; i < 30; ++i) {
        QImage image(32, 32, QImage::Format_ARGB32);
        image.fill(QColor(i * 8, 90, 160));
        kuvat.append(image);
    }
    return kuvat;
}

struct Editor {
    QList<QStringList> sent;
    QStringList errors;
    TMLineIkkuna* window;

    Editor() {
        TMLineIkkuna::Host host;
        host.send = [this](const QStringList& lines) {
            sent << lines;
            return true;
        };
        host.chatFont = QFont(QStringLiteral("DejaVu Sans"), 11);
        host.color = QColor(10, 200, 30);
        host.kuvat = pictures();
        host.today = [] { return QDate(2026, 12, 8); };
        window = new TMLineIkkuna(std::move(host));
        window->reportError = [this](const QString& e) { errors << e; };
    }
    ~Editor() { delete window; }
    bool enabled(const char* name) const { return window->button(name)->isEnabled(); }
};

} // namespace

TEST(MLineLayout, TheOpeningSizeGivesTheKnownPlaces) {
    const dialogs::MLineLayout l = dialogs::computeMLineLayout(QSize(593, 449));
    EXPECT_EQ(l.RE, QRect(8, 8, 577, 317));
    EXPECT_EQ(l.btnCut, QRect(126, 333, 57, 54)); // round(125.5) is 126, the even one
    EXPECT_EQ(l.btnCopy.left(), 183);
    EXPECT_EQ(l.btnOpen.left(), 126 + 5 * 57);
    EXPECT_EQ(l.btnSend, QRect(240, 387, 57, 54)); // round(239.5) is 240
    EXPECT_EQ(l.btnClose, QRect(297, 387, 57, 54));
    const dialogs::MLineLayout wide = dialogs::computeMLineLayout(QSize(800, 600));
    EXPECT_EQ(wide.RE, QRect(8, 8, 784, 468));
    EXPECT_EQ(wide.btnCut.left(), 229);
    EXPECT_EQ(wide.btnSend.left(), 343);
}

TEST(MLineWindow, OpensAtItsOwnSizeWithTheChatFontAndTheMainWindowsColour) {
    Editor e;
    EXPECT_EQ(e.window->size(), QSize(593, 449));
    EXPECT_EQ(e.window->windowTitle(), QStringLiteral("Send multilined messages"));
    EXPECT_EQ(e.window->RE()->font().family(), QStringLiteral("DejaVu Sans"));
    EXPECT_EQ(e.window->palette().color(QPalette::Window), QColor(10, 200, 30));
    EXPECT_EQ(e.window->RE()->geometry(), QRect(8, 8, 577, 317));
    EXPECT_TRUE(e.window->testAttribute(Qt::WA_DeleteOnClose));
    EXPECT_FALSE(e.window->windowFlags() & Qt::WindowMinimizeButtonHint);
    EXPECT_TRUE(e.window->windowFlags() & Qt::WindowMaximizeButtonHint);
}

// Each button, clicked with the mouse, does its own job, carries a hint and shows a picture of
// its own from the toolbar's list.
TEST(MLineWindow, EachButtonClickedDoesItsOwnJob) {
    Editor e;
    QApplication::clipboard()->clear();
    int asked = 0;
    int printed = 0;
    e.window->chooseFile = [&](QWidget*) {
        ++asked;
        return QString();
    };
    e.window->confirmPrint = [&](QPrinter*, QWidget*) {
        ++printed;
        return false;
    };
    e.window->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(e.window));
    const auto click = [&](const char* name) {
        widgets::TGlyphButton* button = e.window->button(name);
        ASSERT_NE(button, nullptr) << name;
        ASSERT_TRUE(button->isEnabled()) << name;
        QTest::mouseClick(button, Qt::LeftButton);
    };

    e.window->RE()->setPlainText(QStringLiteral("one\ntwo"));
    click("btnSelectAll");
    EXPECT_EQ(e.window->RE()->textCursor().selectedText(), QStringLiteral("one\u2029two"));
    click("btnCopy");
    EXPECT_EQ(QApplication::clipboard()->text(), QStringLiteral("one\ntwo"));
    click("btnCut");
    EXPECT_TRUE(e.window->RE()->toPlainText().isEmpty());
    click("btnPaste");
    click("btnPaste");
    EXPECT_EQ(e.window->RE()->toPlainText(), QStringLiteral("one\ntwoone\ntwo"));
    click("btnSend");
    EXPECT_EQ(e.sent, QList<QStringList>{QStringList({"one", "twoone", "two"})});
    click("btnOpen");
    EXPECT_EQ(asked, 1);
    click("btnPrint");
    EXPECT_EQ(printed, 1);

    QSet<QString> hints;
    QSet<int> shown;
    const QList<widgets::TGlyphButton*> buttons = e.window->findChildren<widgets::TGlyphButton*>();
    EXPECT_EQ(buttons.size(), 8);
    for (const widgets::TGlyphButton* button : buttons) {
        SCOPED_TRACE(button->objectName().toStdString());
        EXPECT_FALSE(button->hint().isEmpty());
        hints.insert(button->hint());
        EXPECT_GE(button->imageIndex(), 0);
        EXPECT_LT(button->imageIndex(), button->imageCount());
        shown.insert(button->imageIndex());
    }
    EXPECT_EQ(hints.size(), buttons.size());
    EXPECT_EQ(shown.size(), buttons.size());

    QPointer<TMLineIkkuna> window = e.window;
    e.window = nullptr; // closing frees it
    QTest::mouseClick(window->button("btnClose"), Qt::LeftButton);
    EXPECT_TRUE(QTest::qWaitFor([&] { return window.isNull(); }, 2000));
}

TEST(MLineWindow, ButtonsAndMenuItemsFollowTheTextTheSelectionAndTheClipboard) {
    Editor e;
    QApplication::clipboard()->clear();
    e.window->FormActivate();
    // Empty.
    for (const char* name :
         {"btnSend", "btnPrint", "btnSelectAll", "btnCut", "btnCopy", "btnPaste"})
        EXPECT_FALSE(e.enabled(name)) << name;
    EXPECT_TRUE(e.enabled("btnOpen"));
    EXPECT_TRUE(e.enabled("btnClose"));
    // Text, nothing selected.
    e.window->RE()->setPlainText(QStringLiteral("one\ntwo"));
    for (const char* name : {"btnSend", "btnPrint", "btnSelectAll"})
        EXPECT_TRUE(e.enabled(name)) << name;
    EXPECT_FALSE(e.enabled("btnCut"));
    // A selection.
    e.window->btnSelectAllClick();
    EXPECT_TRUE(e.enabled("btnCut"));
    EXPECT_TRUE(e.enabled("btnCopy"));
    e.window->btnCopyClick();
    EXPECT_EQ(QApplication::clipboard()->text(), QStringLiteral("one\ntwo"));
    EXPECT_TRUE(e.enabled("btnPaste"));
    // The menu takes the buttons' states when it opens.
    e.window->REPopupPopup();
    for (const char* item : {"Cut1", "Copy1", "Paste1", "SelectAll1"})
        EXPECT_TRUE(e.window->action(item)->isEnabled()) << item;
    e.window->btnCutClick();
    EXPECT_TRUE(e.window->RE()->toPlainText().isEmpty());
    EXPECT_FALSE(e.enabled("btnCut"));
    e.window->REPopupPopup();
    EXPECT_FALSE(e.window->action("Cut1")->isEnabled());
    EXPECT_FALSE(e.window->action("SelectAll1")->isEnabled());
    e.window->btnPasteClick();
    EXPECT_EQ(e.window->RE()->toPlainText(), QStringLiteral("one\ntwo"));
    // An activation looks at the clipboard again.
    QApplication::clipboard()->clear();
    e.window->FormActivate();
    EXPECT_FALSE(e.enabled("btnPaste"));
}

TEST(MLineWindow, SendingHandsTheLinesOverAndKeepsThem) {
    Editor e;
    e.window->RE()->setPlainText(QStringLiteral("first, with \"quotes\"\n\nthird line\n"));
    e.window->btnSendClick();
    e.window->btnSendClick();
    const QStringList lines{QStringLiteral("first, with \"quotes\""), QString(),
                            QStringLiteral("third line")};
    EXPECT_EQ(e.sent, QList<QStringList>(2, lines));
    EXPECT_EQ(e.window->RE()->toPlainText(),
              QStringLiteral("first, with \"quotes\"\n\nthird line\n"));
    EXPECT_EQ(dialogs::linesOfText(QStringLiteral("a\nb")), QStringList({"a", "b"}));
    EXPECT_EQ(dialogs::linesOfText(QStringLiteral("a\n\n")), QStringList({"a", ""}));
}

TEST(MLineWindow, AFileIsReadAsTextWithinASensibleSize) {
    Editor e;
    QTemporaryDir dir;
    const auto write = [&](const char* name, const QByteArray& bytes) {
        QString path = dir.filePath(QString::fromLatin1(name));
        QFile file(path);
        file.open(QIODevice::WriteOnly);
        file.write(bytes);
        return path;
    };
    const QString utf8 = write("utf8.txt", "Zażółć gęślą jaźń\nsecond\n");
    const QString ansi = write("ansi.txt", "Caf\xe9 cr\xe8me\n");
    QString chosen = utf8;
    e.window->chooseFile = [&](QWidget*) { return chosen; };
    e.window->btnOpenClick();
    EXPECT_EQ(e.window->RE()->toPlainText(), QStringLiteral("Zażółć gęślą jaźń\nsecond\n"));
    chosen = ansi;
    e.window->btnOpenClick();
    EXPECT_EQ(e.window->RE()->toPlainText(), QStringLiteral("Café crème\n"));
    EXPECT_TRUE(e.errors.isEmpty());

    // What cannot be a message leaves the text as it was, and says why.
    chosen = write("huge.txt", QByteArray(TMLineIkkuna::kMaxFileSize + 1, 'x'));
    e.window->btnOpenClick();
    chosen = write("binary.txt", QByteArray("\x7f"
                                            "ELF\x02\x01\x01\x00\x00\x00",
                                            10));
    e.window->btnOpenClick();
    chosen = dir.filePath(QStringLiteral("missing.txt"));
    e.window->btnOpenClick();
    ASSERT_EQ(e.errors.size(), 3);
    EXPECT_TRUE(e.errors[0].contains(QLatin1String("too large"))) << e.errors[0].toStdString();
    EXPECT_TRUE(e.errors[1].contains(QLatin1String("not a text file")));
    EXPECT_TRUE(e.errors[2].contains(QLatin1String("could not be opened")));
    EXPECT_EQ(e.window->RE()->toPlainText(), QStringLiteral("Café crème\n"));
    chosen.clear(); // the dialog cancelled
    e.window->btnOpenClick();
    EXPECT_EQ(e.errors.size(), 3);
}

TEST(MLineWindow, PrintsTheTextUnderTheJobTitle) {
    Editor e;
    e.window->RE()->setPlainText(QStringLiteral("printed text"));
    QTemporaryDir dir;
    const QString pdf = dir.filePath(QStringLiteral("message.pdf"));
    e.window->confirmPrint = [&](QPrinter* printer, QWidget*) {
        printer->setOutputFormat(QPrinter::PdfFormat);
        printer->setOutputFileName(pdf);
        return true;
    };
    e.window->btnPrintClick();
    const QByteArray bytes = test::readFile(pdf);
    ASSERT_TRUE(bytes.startsWith("%PDF-"));
    const QString title =
        QStringLiteral("Kalvento by Fennrake (%1)")
            .arg(QLocale::system().toString(QDate(2026, 12, 8), QLocale::ShortFormat));
    EXPECT_EQ(e.window->printJobTitle(), title);
    EXPECT_TRUE(bytes.contains("/Title"));
}

TEST(MLineWindow, EscapeClosesAndTheWindowFreesItself) {
    Editor e;
    QPointer<TMLineIkkuna> window = e.window;
    e.window->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(e.window));
    e.window = nullptr; // it is its own from here on
    QTest::keyClick(window, Qt::Key_Escape);
    EXPECT_TRUE(QTest::qWaitFor([&] { return window.isNull(); }, 2000));
}

TEST(MLineWindow, ClosingWithTextNeverSentAsksAndKeepsItUnlessTheUserLetsItGo) {
    Editor e;
    QStringList asked;
    bool lose = false;
    e.window->askToLose = [&](const QString& question) {
        asked << question;
        return lose;
    };
    QPointer<TMLineIkkuna> window = e.window;
    e.window->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(e.window));
    e.window->RE()->setPlainText(QStringLiteral("a long message\nwritten with care"));

    // Escape, the close button and the title bar's close all ask; No keeps the window.
    QTest::keyClick(e.window, Qt::Key_Escape);
    e.window->btnCloseClick();
    EXPECT_FALSE(e.window->close());
    ASSERT_EQ(asked.size(), 3);
    EXPECT_EQ(asked[0],
              QStringLiteral("This message has not been sent. Close the window and lose it?"));
    EXPECT_TRUE(e.window->isVisible());
    EXPECT_EQ(e.window->RE()->toPlainText(), QStringLiteral("a long message\nwritten with care"));

    // Sent, it closes without a question; changed after that, it asks again.
    e.window->btnSendClick();
    EXPECT_FALSE(e.window->hasUnsentText());
    e.window->RE()->appendPlainText(QStringLiteral("one more thought"));
    EXPECT_FALSE(e.window->close());
    EXPECT_EQ(asked.size(), 4);
    e.window->btnSendClick();
    e.window = nullptr; // it is its own from here on
    QTest::keyClick(window, Qt::Key_Escape);
    EXPECT_TRUE(QTest::qWaitFor([&] { return window.isNull(); }, 2000));
    EXPECT_EQ(asked.size(), 4);
}

TEST(MLineWindow, AMessageThatDidNotGoOutIsStillUnsentAndYesLetsItGo) {
    TMLineIkkuna::Host host;
    host.send = [](const QStringList&) { return false; };
    host.kuvat = pictures();
    auto* window = new TMLineIkkuna(std::move(host));
    QPointer<TMLineIkkuna> alive = window;
    int asked = 0;
    window->askToLose = [&](const QString&) { return ++asked == 2; };
    window->RE()->setPlainText(QStringLiteral("nobody to send it to"));
    window->btnSendClick(); // refused: nobody ticked, or offline
    EXPECT_TRUE(window->hasUnsentText());
    window->show();
    EXPECT_FALSE(window->close());
    EXPECT_TRUE(window->close()); // the second answer is Yes
    EXPECT_EQ(asked, 2);
    EXPECT_TRUE(QTest::qWaitFor([&] { return alive.isNull(); }, 2000));
    // An empty window asks nothing.
    Editor empty;
    empty.window->askToLose = [&](const QString&) { return ++asked, false; };
    empty.window->show();
    QPointer<TMLineIkkuna> emptyAlive = empty.window;
    empty.window = nullptr;
    EXPECT_TRUE(emptyAlive->close());
    EXPECT_EQ(asked, 2);
    EXPECT_TRUE(QTest::qWaitFor([&] { return emptyAlive.isNull(); }, 2000));
}

TEST(MLineWindow, TheMainWindowsBackgroundIsPaintedByItsRules) {
    int painted = 0;
    QSize paintedSize;
    TMLineIkkuna::Host host;
    host.kuvat = pictures();
    host.paintBackground = [&](QPainter& painter, const QWidget& window) {
        ++painted;
        paintedSize = window.size();
        painter.fillRect(window.rect(), QColor(250, 0, 0));
    };
    TMLineIkkuna window(std::move(host));
    const QImage shot = window.grab().toImage();
    EXPECT_GT(painted, 0);
    EXPECT_EQ(paintedSize, QSize(593, 449));
    EXPECT_EQ(QColor(shot.pixel(2, 2)), QColor(250, 0, 0));
}
