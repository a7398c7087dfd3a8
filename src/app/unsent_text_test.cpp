// Text kept at an end and given back at the next start: once, whole, and only to its owner.

#include "app/unsent_text.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

#include <sys/stat.h>

using kalvento::app::keepUnsentText;
using kalvento::app::takeUnsentText;
using kalvento::app::UnsentText;
using kalvento::app::UnsentTextKeeper;

namespace {

struct UnsentTextFile : ::testing::Test {
    QTemporaryDir dir;
    QString path = dir.filePath(QStringLiteral("unsent.json"));
};

} // namespace

TEST_F(UnsentTextFile, WhatIsKeptComesBackOnceWholeAndReadableByItsOwnerAlone) {
    const UnsentText text{
        QStringLiteral("half a line with \"quotes\" and \u00e4 \U0001F600"),
        {QStringLiteral("first\nsecond\r\n\tthird\n"), QStringLiteral("\u202eother")}};
    ASSERT_EQ(keepUnsentText(path, text), QString());
    struct stat info {};
    ASSERT_EQ(::stat(QFile::encodeName(path).constData(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777u, 0600u);

    const auto taken = takeUnsentText(path);
    EXPECT_EQ(taken.error, QString());
    EXPECT_EQ(taken.text, text);
    EXPECT_FALSE(QFile::exists(path));
    EXPECT_TRUE(takeUnsentText(path).text.isEmpty());
}

// An end with nothing written removes what an earlier end kept, so that old text does not
// come back after a later run.
TEST_F(UnsentTextFile, NothingToKeepRemovesWhatAnEarlierEndKept) {
    ASSERT_EQ(keepUnsentText(path, {QStringLiteral("old"), {}}), QString());
    ASSERT_EQ(keepUnsentText(path, {}), QString());
    EXPECT_FALSE(QFile::exists(path));
    EXPECT_EQ(keepUnsentText(path, {}), QString()) << "nothing there is no error";
}

TEST_F(UnsentTextFile, FailuresAreSaidAndAnUnreadableFileStaysForTheUser) {
    // Cannot be written: a folder in its place.
    ASSERT_TRUE(QDir(dir.path()).mkdir(QStringLiteral("unsent.json")));
    EXPECT_NE(keepUnsentText(path, {QStringLiteral("text"), {}}), QString());
    ASSERT_TRUE(QDir(path).removeRecursively());

    // Not what this program writes: said, and left where it is.
    for (const QByteArray& bytes : {QByteArray("{\"message\": \"cut"), QByteArray("[1, 2]")}) {
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(bytes);
        file.close();
        const auto taken = takeUnsentText(path);
        EXPECT_TRUE(taken.error.contains(path)) << taken.error.toStdString();
        EXPECT_TRUE(taken.text.isEmpty());
        EXPECT_TRUE(QFile::exists(path));
    }
}

// While the user writes, the text is kept within seconds, also by a user who never pauses,
// so that a copy killed without an end loses little; a failing write is told once, not at
// every change, and told again only after one has worked.
TEST_F(UnsentTextFile, TextIsKeptWhileItIsWrittenAndAFailureIsToldOnce) {
    UnsentText now{QStringLiteral("half"), {}};
    QStringList told;
    constexpr int kDelay = 200;
    UnsentTextKeeper keeper(
        path, [&] { return now; }, [&](const QString& error) { told << error; }, nullptr, kDelay);
    const auto keptMessage = [&] {
        QFile file(path);
        return file.exists() ? takeUnsentText(path).text.message : QString();
    };

    keeper.changed();
    EXPECT_TRUE(keeper.isWaiting());
    ASSERT_TRUE(QTest::qWaitFor([&] { return QFile::exists(path); }, 3 * kDelay));
    EXPECT_EQ(keptMessage(), QStringLiteral("half"));

    // Typing on without a pause: each change must not put the write off again.
    now.message = QStringLiteral("half a line");
    QElapsedTimer typing;
    typing.start();
    while (!QFile::exists(path) && typing.elapsed() < qint64{3} * kDelay) {
        keeper.changed();
        QTest::qWait(kDelay / 10);
    }
    EXPECT_EQ(keptMessage(), QStringLiteral("half a line"));

    // Sent: nothing is left to keep, and the file goes.
    ASSERT_EQ(keepUnsentText(path, now), QString());
    now = {};
    keeper.changed();
    EXPECT_TRUE(QTest::qWaitFor([&] { return !QFile::exists(path); }, 3 * kDelay));

    // A folder in the file's place: told at the first write, quiet at the next.
    now.message = QStringLiteral("again");
    ASSERT_TRUE(QDir(dir.path()).mkdir(QStringLiteral("unsent.json")));
    for (int write = 0; write < 2; ++write) {
        keeper.changed();
        EXPECT_TRUE(QTest::qWaitFor([&] { return !keeper.isWaiting(); }, 3 * kDelay));
    }
    ASSERT_EQ(told.size(), 1);
    EXPECT_TRUE(told.front().contains(path)) << told.front().toStdString();

    // Writable again: kept, and a later failure is told anew.
    ASSERT_TRUE(QDir(path).removeRecursively());
    EXPECT_EQ(keeper.keepNow(), QString());
    EXPECT_FALSE(keeper.isWaiting());
    EXPECT_EQ(keptMessage(), QStringLiteral("again"));
    ASSERT_TRUE(QDir(dir.path()).mkdir(QStringLiteral("unsent.json")));
    keeper.changed();
    EXPECT_TRUE(QTest::qWaitFor([&] { return told.size() == 2; }, 3 * kDelay));
}
