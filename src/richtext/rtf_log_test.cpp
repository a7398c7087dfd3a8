#include "richtext/rtf_log.h"
#include "richtext/rtf_reader.h"
#include "richtext/rtf_writer.h"

#include "platform/system_error.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QFont>
#include <QTemporaryDir>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <memory>

#include <sys/resource.h>
#include <sys/stat.h>

namespace kalvento::richtext {
namespace {

QByteArray readFile(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void writeFile(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    ASSERT_EQ(file.write(bytes), bytes.size());
}

// A document of lines "<prefix> <i>" in alternating colours, italic every third.
std::unique_ptr<QTextDocument> linesDocument(const QString& prefix, int count,
                                             const QString& family = QStringLiteral("Arial")) {
    auto document = std::make_unique<QTextDocument>();
    document->setDefaultFont(QFont(family, 10));
    QTextCursor cursor(document.get());
    for (int i = 0; i < count; ++i) {
        QTextCharFormat format;
        format.setForeground(i % 2 ? QColor(Qt::blue) : QColor(200, 10, 10));
        format.setFontItalic(i % 3 == 0);
        if (i > 0)
            cursor.insertBlock(QTextBlockFormat(), format);
        cursor.insertText(QStringLiteral("%1 %2 {ä€Ω}").arg(prefix).arg(i), format);
    }
    return document;
}

QString textOf(const QByteArray& rtf) {
    QTextDocument document;
    EXPECT_TRUE(readRtf(rtf, document).ok());
    return document.toPlainText();
}

QStringList temporariesIn(const QString& folder) {
    return QDir(folder).entryList({QStringLiteral("*.tmp*")}, QDir::Files | QDir::Hidden);
}

struct RtfLogTest : ::testing::Test {
    QString path(const char* name) const { return dir.filePath(QString::fromLatin1(name)); }
    QTemporaryDir dir;
};

TEST(LogHeader, OnlyTheWritersOwnHeaderIsRecognised) {
    // Tables with names that need every kind of escape.
    const RtfTables tables{{"Arial", "Odd;Name{x}\\", QString::fromUtf8("Ä Ω 😀"), " lead\ttab"},
                           {qRgb(0, 0, 0), qRgb(255, 128, 1)}};
    const QByteArray header = RtfLogWriter(QFont(), tables).header(1234);
    const std::optional<LogHeader> parsed = parseLogHeader(header + "\\plain x\\par\n}\n");
    ASSERT_TRUE(parsed.has_value());
    EXPECT_EQ(parsed->tables, tables);
    EXPECT_EQ(parsed->headerBytes, header.size());
    EXPECT_EQ(parsed->bodyBytes, 1234);

    const struct {
        const char* name;
        QByteArray head;
    } others[] = {
        {"another editor", "{\\rtf1\\ansi\\deff0{\\fonttbl{\\f0 Arial;}}\\f0 x\\par}"},
        {"another generator",
         QByteArray(header).replace("generator Kalvento;", "generator Other;")},
        {"a blank added", QByteArray(header).replace("{\\colortbl ;", "{\\colortbl  ;")},
        {"fonts out of order", QByteArray(header).replace("{\\f1\\", "{\\f2\\")},
        {"a colour beyond a byte", QByteArray(header).replace("\\red255", "\\red256")},
        {"a longer way of writing the same", QByteArray(header).replace("\\red0", "\\red00")},
        {"no length", QByteArray(header).replace("1234", "")},
        {"cut short", header.left(header.size() - 3)},
        {"empty", QByteArray()},
    };
    for (const auto& other : others)
        EXPECT_FALSE(parseLogHeader(other.head).has_value()) << other.name;
}

TEST_F(RtfLogTest, ReadsTheHistoryBackInWholeLines) {
    const auto document = linesDocument(QStringLiteral("line"), 400);
    const QByteArray rtf = writeRtf(*document);
    const QString log = path("log.rtf");
    writeFile(log, rtf);

    LogHistoryFile history;
    ASSERT_TRUE(history.open(log).ok());
    ASSERT_TRUE(history.isLogForm());
    EXPECT_EQ(history.bodyEnd(), rtf.size() - 2);

    // Back from the end in pieces of about 1000 bytes: each piece whole lines that read on
    // their own, together the body.
    QByteArray body;
    QStringList pieces;
    int count = 0;
    for (qint64 end = history.bodyEnd(); end > history.bodyBegin(); ++count) {
        qint64 begin = 0;
        QByteArray lines;
        ASSERT_TRUE(history.readLinesBefore(end, 1000, begin, lines).ok());
        ASSERT_LT(begin, end);
        ASSERT_TRUE(lines.startsWith("\\plain")) << begin;
        ASSERT_TRUE(lines.endsWith("\\par\n"));
        body.prepend(lines);
        pieces.prepend(textOf(history.documentOf(lines)));
        end = begin;
    }
    EXPECT_GT(count, 10);
    EXPECT_EQ(body, rtf.mid(history.bodyBegin(), history.bodyEnd() - history.bodyBegin()));
    EXPECT_EQ(pieces.join(u'\n'), document->toPlainText());

    // A line longer than the piece asked for comes whole.
    qint64 begin = 0;
    QByteArray lines;
    ASSERT_TRUE(history.readLinesBefore(history.bodyEnd(), 3, begin, lines).ok());
    EXPECT_EQ(textOf(history.documentOf(lines)), document->lastBlock().text());
}

TEST_F(RtfLogTest, FilesNotWhollyInTheLogFormAreReadWhole) {
    const QByteArray rtf = writeRtf(*linesDocument(QStringLiteral("x"), 5));
    const struct {
        const char* name;
        QByteArray bytes;
    } cases[] = {
        {"another editor's file", "{\\rtf1\\ansi x\\par}"},
        {"cut short", rtf.left(rtf.size() - 10)},
        {"a line added by hand", rtf.left(rtf.size() - 2) + "\\plain more\\par\n}\n"},
        {"without its last line end", rtf.left(rtf.size() - 1)},
        {"plain text", "just text\n"},
    };
    for (const auto& c : cases) {
        writeFile(path("log.rtf"), c.bytes);
        LogHistoryFile history;
        ASSERT_TRUE(history.open(path("log.rtf")).ok()) << c.name;
        EXPECT_FALSE(history.isLogForm()) << c.name;
        QByteArray all;
        ASSERT_TRUE(history.readAll(all).ok());
        EXPECT_EQ(all, c.bytes) << c.name;
    }
}

TEST_F(RtfLogTest, AHistoryChangedInPlaceIsNoLongerRead) {
    const QString log = path("log.rtf");
    writeFile(log, writeRtf(*linesDocument(QStringLiteral("x"), 50)));
    LogHistoryFile history;
    ASSERT_TRUE(history.open(log).ok());
    // Replaced by a new file: what was opened stays readable.
    writeFile(path("new.rtf"), "{\\rtf1 other\\par}");
    ASSERT_EQ(std::rename(QFile::encodeName(path("new.rtf")).constData(),
                          QFile::encodeName(log).constData()),
              0);
    qint64 begin = 0;
    QByteArray lines;
    EXPECT_TRUE(history.readLinesBefore(history.bodyEnd(), 100, begin, lines).ok());

    // Changed in place: refused, with the reason.
    LogHistoryFile changed;
    writeFile(log, writeRtf(*linesDocument(QStringLiteral("x"), 50)));
    ASSERT_TRUE(changed.open(log).ok());
    QFile file(log);
    ASSERT_TRUE(file.open(QIODevice::Append));
    file.write("tail");
    file.close();
    const platform::Result read = changed.readLinesBefore(changed.bodyEnd(), 100, begin, lines);
    EXPECT_FALSE(read.ok());
    EXPECT_TRUE(read.error.contains(QStringLiteral("changed"))) << read.error.toStdString();

    EXPECT_FALSE(LogHistoryFile().open(path("missing.rtf")).ok());
    EXPECT_FALSE(LogHistoryFile().open(dir.path()).ok());
}

TEST_F(RtfLogTest, AppendingCopiesTheOldBodyByteForByte) {
    const QString log = path("log.rtf");
    const auto oldLines = linesDocument(QStringLiteral("old"), 300);
    const QByteArray old = writeRtf(*oldLines);
    writeFile(log, old);
    ASSERT_EQ(::chmod(QFile::encodeName(log).constData(), 0640), 0);
    const std::optional<LogHeader> oldHeader = parseLogHeader(old);
    ASSERT_TRUE(oldHeader.has_value());

    // New lines in a font and a colour the old log does not have.
    auto newLines = linesDocument(QStringLiteral("new"), 3, QStringLiteral("Courier"));
    QTextCursor(newLines.get()).insertText(QStringLiteral("green "), [] {
        QTextCharFormat format;
        format.setForeground(Qt::darkGreen);
        return format;
    }());
    const AppendOutcome outcome = appendToLog(log, log, *newLines);
    ASSERT_TRUE(outcome.result.ok()) << outcome.result.error.toStdString();

    const QByteArray now = readFile(log);
    const std::optional<LogHeader> header = parseLogHeader(now);
    ASSERT_TRUE(header.has_value());
    EXPECT_EQ(header->tables.fonts.mid(0, oldHeader->tables.fonts.size()), oldHeader->tables.fonts);
    EXPECT_EQ(header->tables.colors.mid(0, oldHeader->tables.colors.size()),
              oldHeader->tables.colors);
    EXPECT_GT(header->tables.fonts.size(), oldHeader->tables.fonts.size());
    EXPECT_GT(header->tables.colors.size(), oldHeader->tables.colors.size());
    EXPECT_EQ(now.mid(header->headerBytes, oldHeader->bodyBytes),
              old.mid(oldHeader->headerBytes, oldHeader->bodyBytes));
    EXPECT_EQ(now.size(), header->headerBytes + header->bodyBytes + 2);
    EXPECT_EQ(textOf(now), oldLines->toPlainText() + u'\n' + newLines->toPlainText());
    // The new lines keep their colours through the grown tables.
    QTextDocument back;
    ASSERT_TRUE(readRtf(now, back).ok());
    const QTextBlock green = back.findBlockByNumber(300);
    EXPECT_EQ(green.begin().fragment().charFormat().foreground().color(), QColor(Qt::darkGreen));
    EXPECT_EQ(green.begin().fragment().charFormat().fontFamilies().toStringList().value(0),
              QStringLiteral("Courier"));
    struct stat st {};
    ASSERT_EQ(::stat(QFile::encodeName(log).constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
    EXPECT_TRUE(temporariesIn(dir.path()).isEmpty());

    // Again: still in the log form, and the result is the same as one write of it all.
    ASSERT_TRUE(appendToLog(log, log, *newLines).result.ok());
    EXPECT_EQ(textOf(readFile(log)), oldLines->toPlainText() + u'\n' + newLines->toPlainText() +
                                         u'\n' + newLines->toPlainText());
    LogHistoryFile history;
    ASSERT_TRUE(history.open(log).ok());
    EXPECT_TRUE(history.isLogForm());
}

TEST_F(RtfLogTest, OtherSourcesAreReadWholeAndWrittenInTheLogForm) {
    const auto lines = linesDocument(QStringLiteral("new"), 2);
    const QByteArray logForm = writeRtf(*linesDocument(QStringLiteral("old"), 4));
    const QByteArray edited = QByteArray(logForm).replace("old 2", "{\\b old} 2");
    ASSERT_EQ(edited.size(), logForm.size() + 5);
    // Edited by hand without a change of length: a group in the body.
    QByteArray sameLength = logForm;
    sameLength.replace(sameLength.indexOf("old 2"), 5, "{\\b }");
    const struct {
        const char* name;
        QByteArray old;
        QString oldText; // empty: no old log
    } cases[] = {
        {"no old log", QByteArray(), QString()},
        {"another editor's RTF",
         "{\\rtf1\\ansi{\\colortbl;\\red1\\green2\\blue3;}\\cf1 a\\par b\\par}",
         QStringLiteral("a\nb")},
        {"plain text", "first\nsecond\n", QStringLiteral("first\nsecond")},
        {"a log with a group added", edited, textOf(edited)},
        {"a log with a group of the same length", sameLength, textOf(sameLength)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const QString log = path("log.rtf");
        QFile::remove(log);
        if (!c.old.isNull())
            writeFile(log, c.old);
        const AppendOutcome outcome = appendToLog(log, log, *lines);
        ASSERT_TRUE(outcome.result.ok()) << outcome.result.error.toStdString();
        const QByteArray now = readFile(log);
        EXPECT_EQ(textOf(now), c.oldText.isEmpty() ? lines->toPlainText()
                                                   : c.oldText + u'\n' + lines->toPlainText());
        EXPECT_TRUE(parseLogHeader(now).has_value());
    }
}

TEST_F(RtfLogTest, ARichTextControlsLogKeepsItsColoursWhenWrittenAgain) {
    QFile fixture(QStringLiteral(KALVENTO_RTF_TESTDATA "/richedit-colors.rtf"));
    ASSERT_TRUE(fixture.open(QIODevice::ReadOnly));
    const QByteArray old = fixture.readAll();
    const QString log = path("log.rtf");
    writeFile(log, old);
    const auto lines = linesDocument(QStringLiteral("new"), 2);
    ASSERT_TRUE(appendToLog(log, log, *lines).result.ok());

    QTextDocument back;
    ASSERT_TRUE(readRtf(readFile(log), back).ok());
    EXPECT_EQ(back.toPlainText(), textOf(old) + u'\n' + lines->toPlainText());
    const auto formatOf = [&back](const QString& line) {
        for (QTextBlock b = back.begin(); b.isValid(); b = b.next())
            if (b.text() == line)
                return b.begin().fragment().charFormat();
        ADD_FAILURE() << line.toStdString();
        return QTextCharFormat();
    };
    EXPECT_EQ(formatOf(QStringLiteral("Colored Line")).foreground().color(), QColor(0, 255, 0));
    EXPECT_EQ(formatOf(QStringLiteral("Highlighted Line")).background().color(), QColor(255, 0, 0));
}

TEST_F(RtfLogTest, AMovedLogTakesItsHistoryAlongAndLeavesTheOldFile) {
    const QString old = path("old.rtf");
    const QByteArray oldBytes = writeRtf(*linesDocument(QStringLiteral("old"), 20));
    writeFile(old, oldBytes);
    const auto lines = linesDocument(QStringLiteral("new"), 2);
    ASSERT_TRUE(appendToLog(path("moved.rtf"), old, *lines).result.ok());
    EXPECT_EQ(readFile(old), oldBytes);
    EXPECT_EQ(textOf(readFile(path("moved.rtf"))), textOf(oldBytes) + u'\n' + lines->toPlainText());
}

TEST_F(RtfLogTest, ADamagedOldLogIsReportedAndLeftAlone) {
    const QString log = path("log.rtf");
    const QByteArray damaged = "{\\rtf1\\ansi half a history {\\b unclosed";
    writeFile(log, damaged);
    const AppendOutcome outcome = appendToLog(log, log, *linesDocument(QStringLiteral("n"), 1));
    EXPECT_FALSE(outcome.result.ok());
    EXPECT_TRUE(outcome.sourceDamaged);
    EXPECT_EQ(readFile(log), damaged);
}

TEST_F(RtfLogTest, AFailedWriteLeavesTheOldLogWholeAndSaysWhy) {
    const QString log = path("log.rtf");
    const QByteArray old = writeRtf(*linesDocument(QStringLiteral("old"), 200));
    const QByteArray foreign = "{\\rtf1\\ansi " + QByteArray(6000, 'x') + "\\par}";
    const auto lines = linesDocument(QStringLiteral("new"), 100);
    const qint64 oldHeader = parseLogHeader(old)->headerBytes;
    ASSERT_GT(old.size(), 8000);

    // A file size limit makes the write fail where it falls: in the header, in the copy of
    // the old body, in the new lines; the same for a log rewritten whole.
    const struct {
        const char* name;
        QByteArray before;
        rlim_t limit;
    } cases[] = {
        {"in the header", old, rlim_t(oldHeader / 2)},
        {"in the old body", old, rlim_t(old.size() / 2)},
        {"in the new lines", old, rlim_t(old.size() + 100)},
        {"rewriting another editor's file", foreign, rlim_t(3000)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        writeFile(log, c.before);
        struct rlimit saved {};
        ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
        const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
        struct rlimit small = saved;
        small.rlim_cur = c.limit;
        ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
        const AppendOutcome outcome = appendToLog(log, log, *lines);
        setrlimit(RLIMIT_FSIZE, &saved);
        std::signal(SIGXFSZ, oldHandler);

        EXPECT_FALSE(outcome.result.ok());
        EXPECT_FALSE(outcome.sourceDamaged);
        EXPECT_TRUE(outcome.result.error.contains(platform::systemErrorText(EFBIG)))
            << outcome.result.error.toStdString();
        EXPECT_EQ(readFile(log), c.before);
        EXPECT_TRUE(temporariesIn(dir.path()).isEmpty());
    }

    // A folder that is not there: nothing to replace, and the reason.
    const AppendOutcome missing = appendToLog(path("missing/log.rtf"), log, *lines);
    EXPECT_TRUE(missing.result.error.contains(platform::systemErrorText(ENOENT)))
        << missing.result.error.toStdString();
}

} // namespace
} // namespace kalvento::richtext
