#include "transfer/manifest_builder.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <sys/stat.h>

using namespace kalvento::transfer;

namespace {

void write(const QString& path, const QByteArray& bytes) {
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate)) << path.toStdString();
    file.write(bytes);
}

QStringList pathsOf(const LocalManifest& m) {
    QStringList paths;
    for (const FileEntry& file : m.manifest.files)
        paths << QString::fromUtf8(file.path);
    return paths;
}

bool skippedOne(const LocalManifest& m, const QString& local, const char* why) {
    for (const QString& s : m.skipped) {
        if (s.startsWith(local + u':') && s.contains(QLatin1String(why)))
            return true;
    }
    return false;
}

class ManifestBuilderTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_dir.isValid());
        root = m_dir.path();
    }
    QTemporaryDir m_dir;
    QString root;
};

} // namespace

TEST_F(ManifestBuilderTest, AFolderKeepsItsStructureInSortedOrderAndLeavesOutWhatIsNotAFile) {
    const QString src = root + QStringLiteral("/Photos");
    write(src + QStringLiteral("/b.txt"), "bee");
    write(src + QStringLiteral("/a/x.txt"), "ex");
    write(src + QStringLiteral("/a/deep/y.txt"), "why");
    write(src + QStringLiteral("/Z.txt"), "zed");
    QDir().mkpath(src + QStringLiteral("/empty"));
    ASSERT_TRUE(QFile::link(src + QStringLiteral("/b.txt"), src + QStringLiteral("/link.txt")));
    ASSERT_TRUE(QFile::link(root, src + QStringLiteral("/up")));
    ASSERT_EQ(::mkfifo(QFile::encodeName(src + QStringLiteral("/pipe")).constData(), 0600), 0);
    write(src + QStringLiteral("/bad\\name"), "b");
    write(src + QStringLiteral("/half.part"), "h");
    write(root + QStringLiteral("/single.txt"), "one");
    ASSERT_TRUE(
        QFile::link(root + QStringLiteral("/single.txt"), root + QStringLiteral("/chosen")));

    QString error;
    const auto listed = listFiles(
        {src, root + QStringLiteral("/single.txt"), root + QStringLiteral("/chosen")}, &error);
    ASSERT_TRUE(listed) << error.toStdString();
    EXPECT_EQ(pathsOf(*listed), (QStringList{"Photos/Z.txt", "Photos/a/deep/y.txt",
                                             "Photos/a/x.txt", "Photos/b.txt", "single.txt"}));
    EXPECT_EQ(listed->localPaths,
              (QStringList{src + "/Z.txt", src + "/a/deep/y.txt", src + "/a/x.txt", src + "/b.txt",
                           root + "/single.txt"}));
    EXPECT_EQ(listed->manifest.files[3].size, 3u);
    EXPECT_EQ(listed->manifest.totalBytes(), 3u + 3u + 2u + 3u + 3u);
    struct Skip {
        QString local;
        const char* why;
    };
    const Skip skips[] = {
        {src + "/link.txt", "link"},   {src + "/up", "link"},
        {src + "/pipe", "pipe"},       {src + "/bad\\name", "backslash"},
        {src + "/half.part", ".part"}, {root + "/chosen", "link"},
    };
    for (const Skip& s : skips)
        EXPECT_TRUE(skippedOne(*listed, s.local, s.why))
            << s.local.toStdString() << " in " << listed->skipped.join(u'\n').toStdString();
    EXPECT_EQ(listed->skipped.size(), qsizetype(std::size(skips)));
    EXPECT_EQ(listed->manifest.files[0].chunks.size(), 0u) << "not hashed yet";
}

TEST_F(ManifestBuilderTest, NamesThatDifferOnlyInCaseAreNotBothSent) {
    write(root + QStringLiteral("/d/A.txt"), "1");
    write(root + QStringLiteral("/d/a.txt"), "2");
    write(root + QStringLiteral("/d/b/in.txt"), "3");
    write(root + QStringLiteral("/d/B"), "4");
    QString error;
    const auto listed = listFiles({root + QStringLiteral("/d")}, &error);
    ASSERT_TRUE(listed) << error.toStdString();
    // Byte order puts the upper case first: "A.txt", "B", then "a.txt", "b".
    EXPECT_EQ(pathsOf(*listed), (QStringList{"d/A.txt", "d/B"}));
    EXPECT_TRUE(skippedOne(*listed, root + "/d/a.txt", "case"));
    EXPECT_TRUE(skippedOne(*listed, root + "/d/b", "case"));
    // What is listed is what a receiver accepts.
    Manifest m = listed->manifest;
    for (FileEntry& f : m.files)
        f.hash = fileHash(f.size, f.chunks = std::vector<Hash>(chunkCount(f.size)));
    EXPECT_TRUE(decodeManifest(encodeManifest(m), &error)) << error.toStdString();
}

TEST_F(ManifestBuilderTest, ChoicesThatCannotBeListedAreRefused) {
    write(root + QStringLiteral("/one/same.txt"), "1");
    write(root + QStringLiteral("/two/Same.txt"), "2");
    struct Case {
        const char* what;
        QStringList chosen;
    };
    const Case cases[] = {
        {"two items of one name", {root + "/one/same.txt", root + "/two/Same.txt"}},
        {"a missing item", {root + "/nothing"}},
    };
    for (const Case& c : cases) {
        QString error;
        EXPECT_FALSE(listFiles(c.chosen, &error)) << c.what;
        EXPECT_FALSE(error.isEmpty()) << c.what;
    }
}

TEST_F(ManifestBuilderTest, HashingReadsEachFileAndNoticesAChange) {
    QByteArray big(int(kChunkSize) * 2 + 10, 'b');
    big[5] = 'x';
    write(root + QStringLiteral("/f/big"), big);
    write(root + QStringLiteral("/f/small"), "small");
    write(root + QStringLiteral("/f/zero"), "");
    QString error;
    const auto listed = listFiles({root + QStringLiteral("/f")}, &error);
    ASSERT_TRUE(listed) << error.toStdString();

    quint64 last = 0;
    const auto hashed = hashFiles(
        *listed, {}, [&](quint64 done) { last = done; }, &error);
    ASSERT_TRUE(hashed) << error.toStdString();
    EXPECT_EQ(last, quint64(big.size()) + 5u);
    const FileEntry& file = hashed->manifest.files[0];
    ASSERT_EQ(file.chunks.size(), 3u);
    EXPECT_EQ(file.chunks[0], chunkHash(QByteArrayView(big).first(int(kChunkSize))));
    EXPECT_EQ(file.chunks[2], chunkHash(QByteArrayView(big).last(10)));
    EXPECT_EQ(file.hash, fileHash(file.size, file.chunks));
    EXPECT_EQ(hashed->manifest.files[1].chunks, std::vector<Hash>{chunkHash("small")});
    EXPECT_EQ(hashed->manifest.files[2].hash, fileHash(0, {}));
    EXPECT_TRUE(decodeManifest(encodeManifest(hashed->manifest), &error)) << error.toStdString();

    struct Change {
        const char* what;
        QByteArray content;
    };
    const Change changes[] = {{"longer", "smaller"}, {"shorter", "smal"}};
    for (const Change& c : changes) {
        write(root + QStringLiteral("/f/small"), c.content);
        EXPECT_FALSE(hashFiles(*listed, {}, {}, &error)) << c.what;
        EXPECT_TRUE(error.contains(QLatin1String("changed"))) << c.what << error.toStdString();
    }
    write(root + QStringLiteral("/f/small"), "small");
    std::stop_source stop;
    stop.request_stop();
    EXPECT_FALSE(hashFiles(*listed, stop.get_token(), {}, &error));
}

// A big file is hashed by several threads, a run of chunks each, and a folder of many small
// ones likewise: every chunk's hash is in its place, and a file that changed is noticed
// whichever run reads the change.
TEST_F(ManifestBuilderTest, HashingSpreadOverThreadsPutsEveryChunkInItsPlace) {
    QByteArray big(qsizetype(kChunkSize) * 40 + 77, Qt::Uninitialized);
    for (qsizetype i = 0; i < big.size(); ++i)
        big[i] = char((i * 7919) >> 12);
    write(root + QStringLiteral("/g/big"), big);
    for (int i = 0; i < 50; ++i)
        write(root + QStringLiteral("/g/small%1").arg(i), QByteArray::number(i));
    QString error;
    const auto listed = listFiles({root + QStringLiteral("/g")}, &error);
    ASSERT_TRUE(listed) << error.toStdString();
    const auto hashed = hashFiles(*listed, {}, {}, &error);
    ASSERT_TRUE(hashed) << error.toStdString();
    for (const FileEntry& file : hashed->manifest.files) {
        SCOPED_TRACE(file.path.toStdString());
        const QByteArray content =
            file.path.endsWith("big")
                ? big
                : QByteArray::number(file.path.mid(file.path.indexOf("small") + 5).toInt());
        ASSERT_EQ(file.chunks.size(), std::size_t(chunkCount(quint64(content.size()))));
        for (std::size_t c = 0; c < file.chunks.size(); ++c)
            ASSERT_EQ(file.chunks[c], chunkHash(QByteArrayView(content)
                                                    .sliced(qsizetype(c * kChunkSize))
                                                    .first(qsizetype(chunkLength(file.size, c)))))
                << c;
        EXPECT_EQ(file.hash, fileHash(file.size, file.chunks));
    }

    for (const qsizetype size : {qsizetype(kChunkSize) * 20, big.size() + 1}) {
        SCOPED_TRACE(size);
        write(root + QStringLiteral("/g/big"), QByteArray(size, 'c'));
        EXPECT_FALSE(hashFiles(*listed, {}, {}, &error));
        EXPECT_TRUE(error.contains(QLatin1String("changed"))) << error.toStdString();
    }
}
