#include "transfer/save_folder.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QTemporaryDir>
#include <QThread>
#include <gtest/gtest.h>

#include <array>
#include <map>

#include <sys/stat.h>
#include <unistd.h>

using namespace kalvento::transfer;

namespace {

// Content of n chunks and a few bytes, each chunk different.
QByteArray contentOf(int chunks, int extra = 3) {
    QByteArray content(chunks * int(kChunkSize) + extra, '\0');
    for (qsizetype i = 0; i < content.size(); i += 4093)
        content[i] = char(i / 4093);
    return content;
}

QByteArrayView chunkOf(const QByteArray& content, quint64 index) {
    return QByteArrayView(content).sliced(qsizetype(index * kChunkSize),
                                          chunkLength(quint64(content.size()), index));
}

FileEntry entryFor(const QByteArray& path, const QByteArray& content,
                   qint64 modified = 1600000000) {
    FileEntry entry;
    entry.path = path;
    entry.size = quint64(content.size());
    entry.modified = modified;
    for (quint64 i = 0; i < chunkCount(entry.size); ++i)
        entry.chunks.push_back(chunkHash(chunkOf(content, i)));
    entry.hash = fileHash(entry.size, entry.chunks);
    return entry;
}

QByteArray read(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

void write(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate)) << path.toStdString();
    file.write(bytes);
}

QString linkTarget(const QString& path) {
    return QFileInfo(path).symLinkTarget();
}

bool isLink(const QString& path) {
    return QFileInfo(path).isSymLink();
}

class SaveFolderTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_dir.isValid());
        root = m_dir.path();
        QDir(root).mkpath(QStringLiteral("save"));
        QDir(root).mkpath(QStringLiteral("outside"));
        save = root + QStringLiteral("/save");
        outside = root + QStringLiteral("/outside");
        QString error;
        auto opened = SaveFolder::open(save, &error);
        ASSERT_TRUE(opened) << error.toStdString();
        folder.emplace(std::move(*opened));
    }

    // Sends content whole as entry into the save folder: the final path, or empty.
    QString receive(const FileEntry& entry, const QByteArray& content, const TransferId& transfer) {
        QString error;
        auto part = folder->openPart(entry, transfer, &error);
        if (!part) {
            lastError = error;
            return {};
        }
        for (quint64 i = part->verifiedChunks(); i < entry.chunks.size(); ++i) {
            if (!part->writeChunk(i, chunkOf(content, i), &error)) {
                lastError = error;
                return {};
            }
        }
        const auto final = part->finish(&error);
        lastError = error;
        return final.value_or(QString());
    }

    QTemporaryDir m_dir;
    QString root, save, outside, lastError;
    std::optional<SaveFolder> folder;
    const TransferId id = newTransferId();
};

} // namespace

TEST_F(SaveFolderTest, AFileIsReceivedWholeWithItsTimeAndFolders) {
    const QByteArray content = contentOf(2);
    const QString final = receive(entryFor("a/b/file.bin", content, 1234567890), content, id);
    ASSERT_EQ(final, save + QStringLiteral("/a/b/file.bin")) << lastError.toStdString();
    EXPECT_EQ(read(final), content);
    EXPECT_EQ(QFileInfo(final).lastModified().toSecsSinceEpoch(), 1234567890);
    EXPECT_EQ(QDir(save + QStringLiteral("/a/b")).entryList(QDir::Files),
              QStringList{QStringLiteral("file.bin")})
        << "the part and its sidecar are gone";
    const QString empty = receive(entryFor("empty", ""), "", id);
    EXPECT_EQ(read(empty), QByteArray());
}

TEST_F(SaveFolderTest, OpeningAFileAsTheSaveFolderFailsWithAReason) {
    write(root + QStringLiteral("/plain"), "x");
    for (const QString& path :
         {root + QStringLiteral("/plain"), root + QStringLiteral("/plain/sub")}) {
        QString error;
        EXPECT_FALSE(SaveFolder::open(path, &error)) << path.toStdString();
        EXPECT_FALSE(error.isEmpty()) << path.toStdString();
    }
    QString error;
    EXPECT_TRUE(SaveFolder::open(root + QStringLiteral("/new/deeper"), &error)) << "parents made";
    EXPECT_GT(folder->freeBytes(), 0u);
}

TEST_F(SaveFolderTest, APlantedLinkIsNeverFollowedNorReplaced) {
    write(outside + QStringLiteral("/secret"), "keep me");
    const QByteArray content = contentOf(1);
    struct Case {
        const char* what;
        QString link;      // in the save folder
        QString target;    // what it points at
        QByteArray path;   // the entry's path
        QString finalName; // expected, empty when refused
    };
    const Case cases[] = {
        {"a folder on the way", save + QStringLiteral("/dir"), outside, "dir/x.txt", QString()},
        {"the final name", save + QStringLiteral("/secret"), outside + QStringLiteral("/secret"),
         "secret", save + QStringLiteral("/secret (2)")},
        {"a dangling final name", save + QStringLiteral("/new.txt"),
         outside + QStringLiteral("/created.txt"), "new.txt",
         save + QStringLiteral("/new (2).txt")},
        {"the part name", save + QStringLiteral("/p.txt.part"), outside + QStringLiteral("/secret"),
         "p.txt", save + QStringLiteral("/p.txt")},
        {"the sidecar name", save + QStringLiteral("/s.txt.part.kvs"),
         outside + QStringLiteral("/secret"), "s.txt", save + QStringLiteral("/s.txt")},
    };
    for (const Case& c : cases) {
        ASSERT_TRUE(QFile::link(c.target, c.link)) << c.what;
        const QString final = receive(entryFor(c.path, content), content, id);
        EXPECT_EQ(final, c.finalName) << c.what << ": " << lastError.toStdString();
        if (c.finalName.isEmpty()) {
            EXPECT_TRUE(lastError.contains(QLatin1String("link"))) << lastError.toStdString();
        } else {
            EXPECT_EQ(read(final), content) << c.what;
        }
        EXPECT_TRUE(isLink(c.link)) << c.what;
        EXPECT_EQ(linkTarget(c.link), c.target) << c.what;
        EXPECT_EQ(read(outside + QStringLiteral("/secret")), "keep me") << c.what;
        EXPECT_EQ(QDir(outside).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System),
                  QStringList{QStringLiteral("secret")})
            << c.what;
    }
}

TEST_F(SaveFolderTest, AnExistingFileIsNeverOverwritten) {
    struct Case {
        QByteArray name;
        QStringList taken;
        QString expected;
    };
    const Case cases[] = {
        {"a.txt", {"a.txt"}, "a (2).txt"},
        {"b.txt", {"b.txt", "b (2).txt"}, "b (3).txt"},
        {"archive.tar.gz", {"archive.tar.gz"}, "archive.tar (2).gz"},
        {".bashrc", {".bashrc"}, ".bashrc (2)"},
        {"plain", {"plain"}, "plain (2)"},
        {"dotted.", {"dotted."}, "dotted. (2)"},
        // The longest names: the stem gives way, at a character's start.
        {QByteArray(251, 'x') + ".txt",
         {QString(251, u'x') + ".txt"},
         QString(247, u'x') + " (2).txt"},
        {QString(125, QChar(0xe9)).toUtf8() + ".txt",
         {QString(125, QChar(0xe9)) + ".txt"},
         QString(123, QChar(0xe9)) + " (2).txt"},
    };
    const QByteArray content = "new content";
    for (const Case& c : cases) {
        for (const QString& taken : c.taken)
            write(save + u'/' + taken, "old " + taken.toUtf8());
        const QString final = receive(entryFor(c.name, content), content, id);
        EXPECT_EQ(final, save + u'/' + c.expected) << c.name.constData() << lastError.toStdString();
        EXPECT_EQ(read(final), content);
        for (const QString& taken : c.taken)
            EXPECT_EQ(read(save + u'/' + taken), "old " + taken.toUtf8());
    }
}

TEST_F(SaveFolderTest, AKeptPartResumesAfterItsVerifiedChunks) {
    const QByteArray content = contentOf(5);
    // The second name leaves no room for ".part.kvs": its part is named shorter.
    for (const QByteArray& name : {QByteArray("r.bin"), QByteArray(kMaxNameBytes, 'r')}) {
        const FileEntry entry = entryFor(name, content);
        QString error;
        {
            auto part = folder->openPart(entry, id, &error);
            ASSERT_TRUE(part) << error.toStdString();
            EXPECT_EQ(part->verifiedChunks(), 0u);
            for (quint64 i = 0; i < 3; ++i)
                ASSERT_TRUE(part->writeChunk(i, chunkOf(content, i), &error))
                    << error.toStdString();
            part->keep();
        }
        {
            // Another transfer of the same file does not take this part over.
            auto other = folder->openPart(entry, newTransferId(), &error);
            ASSERT_TRUE(other);
            EXPECT_EQ(other->verifiedChunks(), 0u);
            other->discard();
        }
        const QStringList left = QDir(save).entryList(QDir::Files);
        ASSERT_EQ(left.size(), 2) << left.join(u' ').toStdString();
        EXPECT_TRUE(left[0].endsWith(QLatin1String(".part")));
        EXPECT_EQ(QFileInfo(save + u'/' + left[1]).size(), 76) << "the sidecar";

        auto part = folder->openPart(entry, id, &error);
        ASSERT_TRUE(part) << error.toStdString();
        EXPECT_EQ(part->verifiedChunks(), 3u);
        for (quint64 i = 3; i < entry.chunks.size(); ++i)
            ASSERT_TRUE(part->writeChunk(i, chunkOf(content, i), &error)) << error.toStdString();
        const auto final = part->finish(&error);
        ASSERT_TRUE(final) << error.toStdString();
        EXPECT_EQ(*final, save + u'/' + QString::fromUtf8(name));
        EXPECT_EQ(read(*final), content);
        EXPECT_EQ(QDir(save).entryList(QDir::Files), QStringList{QString::fromUtf8(name)});
        QFile::remove(*final);
    }
}

TEST_F(SaveFolderTest, ACorruptedChunkPastTheSyncedMarkIsCutBack) {
    const QByteArray content = contentOf(6);
    const FileEntry entry = entryFor("c.bin", content);
    const QString sidecar = save + QStringLiteral("/c.bin.part.kvs");
    QString error;
    QByteArray unsyncedRecord;
    {
        auto part = folder->openPart(entry, id, &error);
        ASSERT_TRUE(part) << error.toStdString();
        for (quint64 i = 0; i < PartFile::kSidecarStride; ++i)
            ASSERT_TRUE(part->writeChunk(i, chunkOf(content, i), &error)) << error.toStdString();
        // Recorded on the stride without a sync: what a power cut would leave.
        unsyncedRecord = read(sidecar);
    }
    write(sidecar, unsyncedRecord);
    QFile part(save + QStringLiteral("/c.bin.part"));
    ASSERT_TRUE(part.open(QIODevice::ReadWrite));
    part.seek(2 * qint64(kChunkSize) + 17);
    part.write("garbage");
    part.close();

    auto resumed = folder->openPart(entry, id, &error);
    ASSERT_TRUE(resumed) << error.toStdString();
    EXPECT_EQ(resumed->verifiedChunks(), 2u) << "cut back at the first damaged chunk";
    for (quint64 i = 2; i < entry.chunks.size(); ++i)
        ASSERT_TRUE(resumed->writeChunk(i, chunkOf(content, i), &error)) << error.toStdString();
    const auto final = resumed->finish(&error);
    ASSERT_TRUE(final) << error.toStdString();
    EXPECT_EQ(read(*final), content);
}

TEST_F(SaveFolderTest, AForeignPartIsLeftAlone) {
    const QByteArray content = contentOf(1);
    const FileEntry entry = entryFor("f.txt", content);
    struct Case {
        const char* what;
        QByteArray sidecar; // empty: none
    };
    const Case cases[] = {
        {"no sidecar", {}},
        {"a sidecar of another transfer", "KVS1" + QByteArray(16 + 32 + 24, '\x01')},
        {"a sidecar cut short", "KVS1"},
    };
    for (const Case& c : cases) {
        write(save + QStringLiteral("/f.txt.part"), "someone else's");
        if (!c.sidecar.isEmpty())
            write(save + QStringLiteral("/f.txt.part.kvs"), c.sidecar);
        const QString final = receive(entry, content, id);
        EXPECT_EQ(final, save + QStringLiteral("/f.txt")) << c.what << lastError.toStdString();
        EXPECT_EQ(read(save + QStringLiteral("/f.txt.part")), "someone else's") << c.what;
        if (!c.sidecar.isEmpty()) {
            EXPECT_EQ(read(save + QStringLiteral("/f.txt.part.kvs")), c.sidecar) << c.what;
        }
        EXPECT_FALSE(QFile::exists(save + QStringLiteral("/f.txt (2).part"))) << c.what;
        QFile::remove(save + QStringLiteral("/f.txt"));
        QFile::remove(save + QStringLiteral("/f.txt.part.kvs"));
    }
}

TEST_F(SaveFolderTest, AChunkThatIsNotTheNextOrNotRightIsNeverWritten) {
    const QByteArray content = contentOf(2);
    const FileEntry entry = entryFor("w.bin", content);
    QString error;
    auto part = folder->openPart(entry, id, &error);
    ASSERT_TRUE(part) << error.toStdString();
    QByteArray tampered = chunkOf(content, 0).toByteArray();
    tampered[100] = char(tampered[100] ^ 1);
    struct Case {
        const char* what;
        quint64 index;
        QByteArray bytes;
        const char* reason;
    };
    const Case cases[] = {
        {"a flipped bit", 0, tampered, "does not match"},
        {"the next but one", 1, chunkOf(content, 1).toByteArray(), "out of order"},
        {"past the end", 3, QByteArray(3, '\0'), "out of order"},
        {"one byte short", 0, chunkOf(content, 0).chopped(1).toByteArray(), "bytes, not"},
    };
    for (const Case& c : cases) {
        EXPECT_FALSE(part->writeChunk(c.index, c.bytes, &error)) << c.what;
        EXPECT_TRUE(error.contains(QLatin1String(c.reason))) << c.what << error.toStdString();
        EXPECT_EQ(part->verifiedChunks(), 0u) << c.what;
        EXPECT_EQ(QFileInfo(save + QStringLiteral("/w.bin.part")).size(), 0) << c.what;
    }
    EXPECT_FALSE(part->finish(&error)) << "not complete";
    part->discard();
    EXPECT_EQ(QDir(save).entryList(QDir::Files), QStringList()) << "part and sidecar removed";
}

TEST_F(SaveFolderTest, AHostilePathIsRefusedBeforeAnythingIsMade) {
    const QByteArray content = "x";
    for (const QByteArray& path : {QByteArray("../escape"), QByteArray("/etc/passwd"),
                                   QByteArray("a/../../b"), QByteArray("x.part")}) {
        EXPECT_TRUE(receive(entryFor(path, content), content, id).isEmpty()) << path.constData();
        EXPECT_FALSE(lastError.isEmpty());
    }
    EXPECT_EQ(QDir(root).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
              (QStringList{QStringLiteral("outside"), QStringLiteral("save")}));
    EXPECT_EQ(QDir(save).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList());
}

TEST_F(SaveFolderTest, AFileIsAlreadyThereOnlyWithTheSameContent) {
    const QByteArray content = contentOf(1);
    write(save + QStringLiteral("/same.bin"), content);
    QByteArray changed = content;
    changed[int(kChunkSize) + 1] = 'Z';
    write(save + QStringLiteral("/changed.bin"), changed);
    write(save + QStringLiteral("/longer.bin"), content + "x");
    ASSERT_TRUE(
        QFile::link(save + QStringLiteral("/same.bin"), save + QStringLiteral("/link.bin")));
    QDir(save).mkpath(QStringLiteral("folder.bin"));
    ASSERT_EQ(::mkfifo(QFile::encodeName(save + QStringLiteral("/fifo.bin")).constData(), 0600), 0);
    struct Case {
        QByteArray path;
        bool there;
    };
    const Case cases[] = {
        {"same.bin", true},  {"changed.bin", false}, {"longer.bin", false}, {"missing.bin", false},
        {"link.bin", false}, {"folder.bin", false},  {"fifo.bin", false},   {"no/such.bin", false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(folder->alreadyThere(entryFor(c.path, content)), c.there) << c.path.constData();
}

TEST_F(SaveFolderTest, AFolderFoundMissingIsLookedForAgainOnceAFileMadeIt) {
    const QByteArray content = contentOf(0, 100);
    const FileEntry first = entryFor("new/first.txt", content);
    const FileEntry second = entryFor("new/second.txt", content);
    EXPECT_FALSE(folder->alreadyThere(first));
    EXPECT_FALSE(folder->alreadyThere(second));
    ASSERT_FALSE(receive(first, content, id).isEmpty()) << lastError.toStdString();
    ASSERT_FALSE(receive(entryFor("other/third.txt", content), content, id).isEmpty());
    EXPECT_TRUE(folder->alreadyThere(first));
    EXPECT_FALSE(folder->alreadyThere(second));
}

namespace {

// A small file written unnamed and whole, ready to be held; nullptr when the file system
// here has no unnamed files.
std::unique_ptr<PartFile> writtenSmallFile(SaveFolder& folder, const FileEntry& entry,
                                           const QByteArray& content, const TransferId& transfer) {
    QString error;
    auto part = folder.openPart(entry, transfer, &error);
    EXPECT_TRUE(part) << error.toStdString();
    if (!part || !part->syncedWithFolder())
        return nullptr;
    EXPECT_TRUE(part->writeChunk(0, content, &error)) << error.toStdString();
    return part;
}

} // namespace

TEST_F(SaveFolderTest, SmallFilesTakeTheirNamesOnlyOnceASyncHasCoveredThem) {
    const TransferId transfer = newTransferId();
    std::optional<BackgroundSync> background;
    background.emplace(*folder, 16 * 1024);
    std::map<size_t, QString> named;
    background->onNamed = [&named](size_t index, const QString& path) { named[index] = path; };
    auto pathOf = [this](size_t i) { return save + QStringLiteral("/small/f%1").arg(i); };
    QList<QByteArray> contents;
    auto holdNext = [&] {
        const size_t i = size_t(contents.size());
        const QByteArray content = QByteArray::number(qulonglong(i)).repeated(1000);
        auto part = writtenSmallFile(
            *folder, entryFor("small/f" + QByteArray::number(qulonglong(i)), content), content,
            transfer);
        if (!part)
            return false;
        QString error;
        EXPECT_TRUE(background->hold(std::move(part), i, &error)) << error.toStdString();
        contents.push_back(content);
        // No sync that began after it was written can have ended yet.
        EXPECT_FALSE(QFileInfo::exists(pathOf(i))) << i;
        return true;
    };
    for (int i = 0; i < 40; ++i)
        if (!holdNext())
            GTEST_SKIP() << "the file system here has no unnamed files";
    EXPECT_GE(background->started(), 1);
    EXPECT_LE(background->started(), 8); // one at a time, each after 16 KiB more
    // While the transfer goes on, the files a finished sync covered take their names.
    for (int tries = 0; named.empty() && tries < 500; ++tries) {
        QThread::msleep(20);
        holdNext();
    }
    ASSERT_FALSE(named.empty());
    for (const auto& [index, path] : named) {
        EXPECT_EQ(path, pathOf(index));
        EXPECT_EQ(read(path), contents[qsizetype(index)]);
    }
    QString error;
    ASSERT_TRUE(background->finish(&error)) << error.toStdString();
    EXPECT_EQ(background->held(), 0U);
    ASSERT_EQ(named.size(), size_t(contents.size()));
    for (int i = 0; i < contents.size(); ++i) {
        EXPECT_EQ(named[size_t(i)], pathOf(size_t(i)));
        EXPECT_EQ(read(pathOf(size_t(i))), contents[i]);
    }
}

TEST_F(SaveFolderTest, SmallFilesNoSyncCoveredLeaveNothingWhenTheTransferStops) {
    const TransferId transfer = newTransferId();
    HeldFileBudget budget(100);
    std::optional<BackgroundSync> background;
    background.emplace(*folder, quint64(1) << 40, 1000, budget); // no sync before the end
    for (size_t i = 0; i < 5; ++i) {
        const QByteArray content = contentOf(0, 100 + int(i));
        auto part = writtenSmallFile(
            *folder, entryFor("stop/f" + QByteArray::number(qulonglong(i)), content), content,
            transfer);
        if (!part)
            GTEST_SKIP() << "the file system here has no unnamed files";
        QString error;
        ASSERT_TRUE(background->hold(std::move(part), i, &error)) << error.toStdString();
    }
    EXPECT_EQ(background->started(), 0);
    EXPECT_EQ(background->held(), 5U);
    EXPECT_EQ(budget.count(), 5U);
    background.reset(); // paused or cancelled: they are sent again on resume
    EXPECT_EQ(budget.count(), 0U);
    EXPECT_EQ(
        QDir(save + QStringLiteral("/stop")).entryList(QDir::Files | QDir::Hidden | QDir::System),
        QStringList{});
}

TEST_F(SaveFolderTest, HeldSmallFilesStayWithinTheirLimitAndAllArrive) {
    const TransferId transfer = newTransferId();
    BackgroundSync background(*folder, quint64(1) << 40, 4);
    QList<QByteArray> contents;
    for (size_t i = 0; i < 20; ++i) {
        const QByteArray content = contentOf(0, 10 + int(i));
        auto part = writtenSmallFile(
            *folder, entryFor("many/f" + QByteArray::number(qulonglong(i)), content), content,
            transfer);
        if (!part)
            GTEST_SKIP() << "the file system here has no unnamed files";
        QString error;
        ASSERT_TRUE(background.hold(std::move(part), i, &error)) << error.toStdString();
        EXPECT_LE(background.held(), 4U) << i;
        contents.push_back(content);
    }
    EXPECT_GE(background.started(), 4); // half the limit starts a sync, bytes or not
    QString error;
    ASSERT_TRUE(background.finish(&error)) << error.toStdString();
    for (int i = 0; i < contents.size(); ++i)
        EXPECT_EQ(read(save + QStringLiteral("/many/f%1").arg(i)), contents[i]);
}

TEST_F(SaveFolderTest, TransfersTogetherHoldNoMoreSmallFilesThanTheirBudget) {
    const TransferId transfer = newTransferId();
    HeldFileBudget budget(4); // less than the two may hold together
    const std::array<std::unique_ptr<BackgroundSync>, 2> jobs{
        std::make_unique<BackgroundSync>(*folder, quint64(1) << 40, 4, budget),
        std::make_unique<BackgroundSync>(*folder, quint64(1) << 40, 4, budget)};
    QMap<QString, QByteArray> contents;
    for (size_t i = 0; i < 16; ++i) {
        for (size_t j = 0; j < jobs.size(); ++j) {
            const QByteArray path = "budget" + QByteArray::number(qulonglong(j)) + "/f" +
                                    QByteArray::number(qulonglong(i));
            const QByteArray content = contentOf(0, int(20 + i + 100 * j));
            auto part = writtenSmallFile(*folder, entryFor(path, content), content, transfer);
            if (!part)
                GTEST_SKIP() << "the file system here has no unnamed files";
            QString error;
            ASSERT_TRUE(jobs[j]->hold(std::move(part), i, &error)) << error.toStdString();
            EXPECT_LE(budget.count(), 4U) << path.constData();
            EXPECT_LE(jobs[j]->held(), 4U) << path.constData();
            contents.insert(save + u'/' + QString::fromUtf8(path), content);
        }
    }
    for (const auto& job : jobs) {
        QString error;
        ASSERT_TRUE(job->finish(&error)) << error.toStdString();
    }
    EXPECT_EQ(budget.count(), 0U);
    for (auto it = contents.cbegin(); it != contents.cend(); ++it)
        EXPECT_EQ(read(it.key()), it.value()) << it.key().toStdString();
}
