// The chat log written while the program runs: what a killed copy keeps, how often a busy
// chat is written, a failure said once and the lines written once the disk takes them, and
// the history still read from the log that was replaced under it.

#include "app/log_saver.h"

#include "app/chat_view.h"
#include "richtext/rtf_writer.h"

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTextCursor>
#include <QTextDocument>

#include <gtest/gtest.h>

using namespace kalvento;
using namespace std::chrono_literals;
using app::LogSaver;
using app::TChatView;
using messaging::ReceivedLine;

namespace {

ReceivedLine line(const QString& text) {
    ReceivedLine l;
    l.kind = ReceivedLine::Kind::Public;
    l.senderName = QStringLiteral("PC1");
    l.text = text;
    return l;
}

QByteArray readFile(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// What a later run shows of the log: its history, then its own welcome line.
QString shownByNextRun(const QString& path) {
    TChatView next;
    EXPECT_TRUE(next.startOfRunContent(path, true, QFont(QStringLiteral("Sans"), 11)).ok());
    next.loadWholeHistory();
    return next.toPlainText();
}

struct LogSaverTest : ::testing::Test {
    LogSaverTest() {
        view.resize(400, 200);
        EXPECT_TRUE(
            view.startOfRunContent(logPath(), true, QFont(QStringLiteral("Sans"), 11)).ok());
        view.setLogBaseline();
        // Made after the history and the welcome line, as the window makes it.
        saver = std::make_unique<LogSaver>(
            view, LogSaver::Hooks{[this] { return logPath(); }, [this] { return saveOn; },
                                  [this](const QString& error) { reported.append(error); },
                                  [this] { ++writes; }});
        saver->setDelay(kDelay);
    }
    QString logPath() const { return TChatView::logFilePath(folder); }

    static constexpr std::chrono::milliseconds kDelay{200};
    QTemporaryDir dir;
    QString folder = dir.path() + u'/';
    bool saveOn = true;
    QStringList reported;
    int writes = 0; // told after each write that worked
    TChatView view;
    std::unique_ptr<LogSaver> saver;
};

} // namespace

TEST_F(LogSaverTest, TheLinesReachTheLogWithoutAClose) {
    // The welcome line alone is not worth a write.
    QTest::qWait(int(3 * kDelay.count()));
    EXPECT_FALSE(QFile::exists(logPath()));
    EXPECT_EQ(writes, 0);

    view.appendReceived(line(QStringLiteral("first")));
    EXPECT_TRUE(saver->pending());
    QTRY_VERIFY_WITH_TIMEOUT(readFile(logPath()).contains("first"), 5000);
    // What the close writes afterwards is only what came since: nothing, here.
    const QByteArray written = readFile(logPath());
    EXPECT_TRUE(view.writeBackLog(logPath(), true).ok());
    EXPECT_EQ(readFile(logPath()), written);
    view.appendReceived(line(QStringLiteral("second")));
    QTRY_VERIFY_WITH_TIMEOUT(readFile(logPath()).contains("second"), 5000);
    // A copy killed now loses nothing that was shown a moment ago.
    const QString next = shownByNextRun(logPath());
    EXPECT_TRUE(next.contains(QStringLiteral(": first\n")));
    EXPECT_TRUE(next.contains(QStringLiteral(": second\n")));
    EXPECT_EQ(next.count(QStringLiteral("first")), 1);
    EXPECT_TRUE(reported.isEmpty());
}

TEST_F(LogSaverTest, ABusyChatIsWrittenAsItGoesAndNothingWhileTheLogIsOff) {
    // A line every 20 ms does not put the write off: it comes after the first line's wait
    // (200 ms here), long before the chat falls quiet.
    QElapsedTimer clock;
    clock.start();
    int sent = 0;
    while (!readFile(logPath()).contains("busy 0") && clock.elapsed() < 10000) {
        view.appendReceived(line(QStringLiteral("busy %1").arg(sent++)));
        QTest::qWait(20);
    }
    EXPECT_TRUE(readFile(logPath()).contains("busy 0")) << "not written while lines kept coming";

    saveOn = false;
    QTest::qWait(int(2 * kDelay.count()));
    const QByteArray before = readFile(logPath());
    view.appendReceived(line(QStringLiteral("not kept")));
    EXPECT_FALSE(saver->pending());
    saver->saveNow();
    EXPECT_EQ(readFile(logPath()), before);
}

TEST_F(LogSaverTest, AFailedWriteIsSaidOnceAndTheLinesGoWhenTheDiskTakesThem) {
    folder = dir.filePath(QStringLiteral("not yet/"));
    for (int i = 0; i < 3; ++i) {
        view.appendReceived(line(QStringLiteral("kept %1").arg(i)));
        saver->saveNow();
    }
    ASSERT_EQ(reported.size(), 1) << reported.join(u'\n').toStdString();
    EXPECT_EQ(writes, 0);
    EXPECT_TRUE(reported[0].contains(QStringLiteral("not yet"))) << reported[0].toStdString();
    // It tries again by itself, a while later, with nothing new said.
    EXPECT_TRUE(saver->pending());
    ASSERT_TRUE(QDir().mkpath(folder));
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(logPath()), 10000);
    EXPECT_EQ(writes, 1);
    const QString next = shownByNextRun(logPath());
    for (int i = 0; i < 3; ++i)
        EXPECT_TRUE(next.contains(QStringLiteral(": kept %1\n").arg(i)));
    EXPECT_EQ(reported.size(), 1);
}

TEST_F(LogSaverTest, TheHistoryNotShownYetIsStillReadAfterTheLogWasWritten) {
    // A long log from earlier runs, of which the view shows the end only.
    QTextDocument history;
    QStringList old;
    for (int i = 0; i < 2000; ++i)
        old.append(QStringLiteral("history line %1").arg(i));
    QTextCursor(&history).insertText(old.join(u'\n'));
    {
        QFile file(logPath());
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(richtext::writeRtf(history));
    }
    TChatView reading;
    reading.setHistoryChunkBytes(4096);
    ASSERT_TRUE(reading.startOfRunContent(logPath(), true, QFont(QStringLiteral("Sans"), 11)).ok());
    reading.setLogBaseline();
    ASSERT_TRUE(reading.hasEarlierHistory());
    LogSaver writing(reading, {[this] { return logPath(); },
                               [] { return true; },
                               [this](const QString& error) { reported.append(error); },
                               {}});
    reading.appendReceived(line(QStringLiteral("said now")));
    writing.saveNow();
    ASSERT_TRUE(readFile(logPath()).contains("said now"));

    QSignalSpy errors(&reading, &TChatView::historyError);
    reading.loadWholeHistory();
    EXPECT_TRUE(errors.isEmpty());
    const QString shown = reading.toPlainText();
    EXPECT_TRUE(shown.startsWith(QStringLiteral("history line 0\n")))
        << shown.left(80).toStdString();
    EXPECT_EQ(shown.count(QStringLiteral("history line 1999")), 1);
    EXPECT_TRUE(shown.endsWith(QStringLiteral(": said now")));
    EXPECT_TRUE(reported.isEmpty());
}

TEST_F(LogSaverTest, ALogMovedToAnotherFolderTakesAlongWhatWasWrittenBeforeEachTime) {
    view.appendReceived(line(QStringLiteral("in the first folder")));
    saver->saveNow();
    ASSERT_TRUE(readFile(logPath()).contains("in the first folder"));
    // The options name another folder; the next write makes the log there.
    folder = dir.filePath(QStringLiteral("moved/"));
    ASSERT_TRUE(QDir().mkpath(folder));
    view.appendReceived(line(QStringLiteral("in the second folder")));
    saver->saveNow();
    // And once more: the log takes along what the last one held.
    folder = dir.filePath(QStringLiteral("moved again/"));
    ASSERT_TRUE(QDir().mkpath(folder));
    view.appendReceived(line(QStringLiteral("in the third folder")));
    saver->saveNow();
    const QString next = shownByNextRun(logPath());
    for (const char* where : {"first", "second", "third"})
        EXPECT_TRUE(next.contains(QStringLiteral(": in the %1 folder\n").arg(QLatin1String(where))))
            << where << '\n'
            << next.toStdString();
    EXPECT_TRUE(reported.isEmpty());
}
