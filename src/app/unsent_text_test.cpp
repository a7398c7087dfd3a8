// Text kept at an end and given back at the next start: once, whole, and only to its owner.

#include "app/unsent_text.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <sys/stat.h>

using kalvento::app::keepUnsentText;
using kalvento::app::takeUnsentText;
using kalvento::app::UnsentText;

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
