#include "platform/atomic_file.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kalvento::platform {
namespace {

QByteArray contentOf(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void writeFile(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly)) << path.toStdString();
    file.write(bytes);
}

// The number of a process that has ended (and been reaped).
qint64 endedProcess() {
    QProcess process;
    process.start(QStringLiteral("true"), {});
    process.waitForFinished();
    return process.processId() > 0 ? process.processId() : 999999;
}

bool folderHasUnnamedFiles(const QString& folder) {
    const int fd = ::open(QFile::encodeName(folder).constData(), O_TMPFILE | O_WRONLY, 0600);
    if (fd < 0)
        return false;
    ::close(fd);
    return true;
}

TEST(AtomicFile, OnlyTheTemporariesOfEndedProcessesAreRemoved) {
    QTemporaryDir dir;
    QDir().mkpath(dir.filePath(QStringLiteral("real")));
    const QString target = dir.filePath(QStringLiteral("real/Options.ini"));
    writeFile(target, "[A]\n");
    // Saves through a link go beside the file it names, and so does the sweep.
    const QString link = dir.filePath(QStringLiteral("Options.ini"));
    ASSERT_TRUE(QFile::link(target, link));

    // A process (pid 1) that runs, this process, and one that has ended.
    const QString ended = QString::number(endedProcess());
    const QString own = QString::number(::getpid());
    const QStringList stale = {"Options.ini.tmp" + ended + ".123",
                               "Options.ini.tmp" + ended + ".0"};
    const QStringList kept = {"Options.ini.tmp1.55",
                              "Options.ini.tmp" + own + ".7",
                              "Options.ini.tmp" + ended + ".12.bak",
                              "Options.ini.tmp" + ended + ".",
                              "Options.ini.tmpx.1",
                              "Options.ini.tmp.1",
                              "Other.ini.tmp" + ended + ".1",
                              "Options.ini"};
    for (const QString& name : stale + kept) {
        if (name != QLatin1String("Options.ini"))
            writeFile(dir.filePath("real/" + name), "partial");
    }

    EXPECT_EQ(removeStaleTemporaries(link), int(stale.size()));
    const QStringList left = QDir(dir.filePath(QStringLiteral("real"))).entryList(QDir::Files);
    for (const QString& name : stale)
        EXPECT_FALSE(left.contains(name)) << name.toStdString();
    for (const QString& name : kept)
        EXPECT_TRUE(left.contains(name)) << name.toStdString();
    EXPECT_EQ(contentOf(target), "[A]\n");
    EXPECT_EQ(removeStaleTemporaries(dir.filePath(QStringLiteral("missing/x.ini"))), 0);
}

TEST(AtomicFile, AReplacementHasNoNameBesideTheFileUntilItIsCommitted) {
    QTemporaryDir dir;
    if (!folderHasUnnamedFiles(dir.path()))
        GTEST_SKIP() << "this file system has no unnamed files";
    const QString target = dir.filePath(QStringLiteral("setup.bin"));
    writeFile(target, "old");

    {
        ReplacementFile replacement(target);
        ASSERT_TRUE(replacement.open());
        replacement.device()->write("half of it");
        // What a kill here would leave: nothing but the old file.
        EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files), QStringList({"setup.bin"}));
        EXPECT_EQ(contentOf(target), "old");
    } // never committed
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files), QStringList({"setup.bin"}));
    EXPECT_EQ(contentOf(target), "old");

    ReplacementFile replacement(target);
    ASSERT_TRUE(replacement.open());
    replacement.device()->write("new and whole");
    ASSERT_TRUE(replacement.commit());
    EXPECT_EQ(contentOf(target), "new and whole");
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files), QStringList({"setup.bin"}));
}

TEST(AtomicFile, AWholeFileReplacesTheOldOneAndKeepsItsMode) {
    QTemporaryDir dir;
    const QString target = dir.filePath(QStringLiteral("log.rtf"));
    writeFile(target, "old");
    ASSERT_TRUE(QFile::setPermissions(target, QFile::ReadOwner | QFile::WriteOwner));
    const QByteArray bytes(3 << 20, 'x'); // beyond any buffer of the writer
    writeFileAtomically(target, bytes);
    EXPECT_EQ(contentOf(target), bytes);
    struct stat info {};
    ASSERT_EQ(::stat(QFile::encodeName(target).constData(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files), QStringList({"log.rtf"}));
}

TEST(AtomicFile, AFileForItsOwnerOnlyIsNeverWrittenReadableByOthers) {
    // Whatever mode an older file had, and whatever the umask lets a new file have.
    struct Case {
        const char* name;
        int oldMode; // -1: no older file
        FileAccess access;
        unsigned expected;
    };
    const mode_t umask = ::umask(022);
    const Case cases[] = {
        {"new file, owner only", -1, FileAccess::OwnerOnly, 0600u},
        {"older file readable by all, owner only", 0644, FileAccess::OwnerOnly, 0600u},
        {"older file writable by the group, owner only", 0664, FileAccess::OwnerOnly, 0600u},
        {"older file readable by all, kept", 0644, FileAccess::Keep, 0644u},
        {"new file, kept as any new file", -1, FileAccess::Keep, 0644u},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        QTemporaryDir dir;
        const QString target = dir.filePath(QStringLiteral("outbox.dat"));
        if (c.oldMode >= 0) {
            writeFile(target, "old");
            ASSERT_EQ(::chmod(QFile::encodeName(target).constData(), mode_t(c.oldMode)), 0);
        }
        writeFileAtomically(target, "new", c.access);
        EXPECT_EQ(contentOf(target), "new");
        struct stat info {};
        ASSERT_EQ(::stat(QFile::encodeName(target).constData(), &info), 0);
        EXPECT_EQ(info.st_mode & 0777, c.expected);
    }
    ::umask(umask);
}

} // namespace
} // namespace kalvento::platform
