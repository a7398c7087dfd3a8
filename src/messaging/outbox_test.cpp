#include "messaging/outbox.h"

#include "support/qt_print.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtEndian>

#include <gtest/gtest.h>

#include <sys/stat.h>

using namespace kalvento;
using namespace kalvento::messaging;
using Entry = Outbox::Entry;

namespace {

const crypto::IdentityKey own = crypto::IdentityKey::fromSeed(QByteArray(32, '\x01'));
const crypto::PublicKey keyA = crypto::IdentityKey::fromSeed(QByteArray(32, '\x02')).publicKey();
const crypto::PublicKey keyB = crypto::IdentityKey::fromSeed(QByteArray(32, '\x03')).publicKey();
const QDateTime t0 = QDateTime(QDate(2026, 3, 5), QTime(14, 7, 9, 123), Qt::UTC);

std::optional<crypto::SessionKey> restKeyFor(const crypto::IdentityKey& self,
                                             const crypto::PublicKey& recipient) {
    const auto pair = crypto::PairKeys::derive(self, recipient);
    return pair ? std::optional(Outbox::restKey(*pair)) : std::nullopt;
}

const Outbox::KeyFor keys = [](const crypto::PublicKey& r) { return restKeyFor(own, r); };

Entry line(quint64 id, const QString& computer = QStringLiteral("PC2"),
           const crypto::PublicKey& key = keyA, qsizetype size = 8) {
    const QString text = QStringLiteral("line %1 ").arg(id).leftJustified(int(size), u'x');
    return {id, computer, key, t0, {"#PRI#" + text.toUtf8()}, text};
}

QList<quint64> idsOf(const QList<Entry>& entries) {
    QList<quint64> ids;
    for (const Entry& e : entries)
        ids.append(e.lineId);
    return ids;
}

QByteArray contentOf(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void writeFile(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(bytes);
}

TEST(Outbox, ALineBeyondABoundIsRefusedWithTheReasonAndChangesNothing) {
    struct Case {
        const char* name;
        int fill;           // lines of fillSize bytes of text queued first
        qsizetype fillSize; // (each holds about twice that: text and plain text)
        Entry entry;
        Outbox::Added expected;
    };
    const qint64 half = Outbox::kMaxEntryBytes / 2;
    Entry noTime = line(9000), emptyPiece = line(9000), noText = line(9000);
    noTime.queuedAt = QDateTime();
    emptyPiece.plainTexts.append(QByteArray());
    noText.plainTexts.clear();
    const Case cases[] = {
        {"lines full", Outbox::kMaxEntries, 8, line(9000), Outbox::Added::FullLines},
        {"one below the lines bound", Outbox::kMaxEntries - 1, 8, line(9000),
         Outbox::Added::Queued},
        {"bytes full", 4, half - 200, line(9000, QStringLiteral("PC2"), keyA, 800),
         Outbox::Added::FullBytes},
        {"bytes still free", 4, half - 200, line(9000, QStringLiteral("PC2"), keyA, 780),
         Outbox::Added::Queued},
        {"one line too large", 0, 0, line(9000, QStringLiteral("PC2"), keyA, half - 3),
         Outbox::Added::TooLarge},
        {"one line as large as allowed", 0, 0, line(9000, QStringLiteral("PC2"), keyA, half - 4),
         Outbox::Added::Queued},
        {"a line that waits for its computer already", 3, 8, line(2, QStringLiteral("pc2")),
         Outbox::Added::DuplicateId},
        {"the same line for another computer", 3, 8, line(2, QStringLiteral("PC3")),
         Outbox::Added::Queued},
        {"no id", 0, 0, line(0), Outbox::Added::Invalid},
        {"no computer", 0, 0, line(9000, QString()), Outbox::Added::Invalid},
        {"no time", 0, 0, noTime, Outbox::Added::Invalid},
        {"an empty piece", 0, 0, emptyPiece, Outbox::Added::Invalid},
        {"nothing to send", 0, 0, noText, Outbox::Added::Invalid},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Outbox outbox;
        for (int i = 0; i < c.fill; ++i)
            ASSERT_EQ(outbox.add(line(quint64(i + 1), QStringLiteral("PC2"), keyA, c.fillSize)),
                      Outbox::Added::Queued);
        const QList<quint64> before = idsOf(outbox.entries());
        const qint64 bytesBefore = outbox.bytes();
        EXPECT_EQ(outbox.add(c.entry), c.expected);
        EXPECT_LE(outbox.bytes(), Outbox::kMaxBytes);
        if (c.expected == Outbox::Added::Queued) {
            EXPECT_EQ(outbox.size(), c.fill + 1);
            EXPECT_EQ(outbox.bytes(), bytesBefore + c.entry.bytes());
            continue;
        }
        EXPECT_EQ(idsOf(outbox.entries()), before);
        EXPECT_EQ(outbox.bytes(), bytesBefore);
    }
}

TEST(Outbox, LinesOlderThanTheAgeBoundExpireInQueueOrder) {
    const qint64 maxAge = Outbox::kMaxAge.count();
    Outbox outbox;
    const qint64 ages[] = {maxAge + 1, maxAge, 0, maxAge - 1, 3 * maxAge};
    for (quint64 i = 0; i < std::size(ages); ++i) {
        Entry entry = line(i + 1);
        entry.queuedAt = t0.addMSecs(-ages[i]);
        ASSERT_EQ(outbox.add(entry), Outbox::Added::Queued);
    }
    const qint64 bytes = outbox.bytes();
    const QList<Entry> expired = outbox.expire(t0);
    EXPECT_EQ(idsOf(expired), QList<quint64>({1, 5})) << "only those past the bound, in order";
    EXPECT_EQ(expired.value(0).text, line(1).text);
    EXPECT_EQ(idsOf(outbox.entries()), QList<quint64>({2, 3, 4}));
    EXPECT_EQ(outbox.bytes(), bytes - 2 * line(1).bytes());
    EXPECT_TRUE(outbox.expire(t0).isEmpty());
    EXPECT_EQ(idsOf(outbox.expire(t0.addMSecs(maxAge + 1))), QList<quint64>({2, 3, 4}));
}

TEST(Outbox, LinesGoOnlyToTheirComputerUnderTheKeyTheyWereQueuedFor) {
    Outbox outbox;
    outbox.add(line(1, QStringLiteral("PC2"), keyA));
    outbox.add(line(2, QStringLiteral("PC3"), keyA));
    outbox.add(line(3, QStringLiteral("PC2"), keyB)); // queued after the key changed and was taken
    outbox.add(line(4, QStringLiteral("pc2"), keyA));

    EXPECT_EQ(idsOf(outbox.heldForKeyChange(QStringLiteral("PC2"), keyA)), QList<quint64>({3}));
    EXPECT_EQ(idsOf(outbox.takeFor(QStringLiteral("Pc2"), keyA)), QList<quint64>({1, 4}));
    EXPECT_EQ(idsOf(outbox.entries()), QList<quint64>({2, 3}));
    EXPECT_TRUE(outbox.takeFor(QStringLiteral("PC2"), keyA).isEmpty())
        << "a key change holds line 3";
    EXPECT_TRUE(outbox.takeFor(QStringLiteral("PC4"), keyB).isEmpty());
    EXPECT_EQ(idsOf(outbox.heldForKeyChange(QStringLiteral("PC2"), keyB)), QList<quint64>());
    EXPECT_EQ(idsOf(outbox.takeFor(QStringLiteral("PC2"), keyB)), QList<quint64>({3}));

    EXPECT_FALSE(outbox.cancel(3, QStringLiteral("PC2"))) << "gone already";
    EXPECT_FALSE(outbox.cancel(2, QStringLiteral("PC2"))) << "line 2 waits for PC3";
    EXPECT_TRUE(outbox.cancel(2, QStringLiteral("pc3")));
    EXPECT_FALSE(outbox.contains(2, QStringLiteral("PC3")));
    EXPECT_EQ(outbox.size(), 0);
    EXPECT_EQ(outbox.bytes(), 0);
}

class OutboxFile : public ::testing::Test {
protected:
    QString path() const { return m_dir.filePath(QStringLiteral("outbox.dat")); }
    // Lines to PC2 (id 1, the first record of the file) and Łódź (2), saved.
    Outbox saved() {
        Outbox outbox;
        Entry first = line(1);
        first.plainTexts = {QByteArray("\xA4LL0\xA4"
                                       "first of two\0with a zero",
                                       29),
                            QByteArray("\xA4LL1\xA4second of two")};
        first.text = QStringLiteral("first of two\nsecond of two ") + QChar(0x202E) +
                     QStringLiteral(" of a right-to-left");
        first.queuedAt =
            QDateTime(QDate(2026, 3, 5), QTime(16, 7, 9, 456), Qt::OffsetFromUTC, 7200);
        EXPECT_EQ(outbox.add(first), Outbox::Added::Queued);
        // The same line for another computer: a line to several waits once for each.
        EXPECT_EQ(outbox.add(line(1, QStringLiteral("Łódź"), keyB, 40)), Outbox::Added::Queued);
        EXPECT_TRUE(outbox.changed());
        const platform::Result saved = outbox.save(path(), keys);
        EXPECT_TRUE(saved) << qPrintable(saved.error);
        EXPECT_FALSE(outbox.changed());
        return outbox;
    }
    // Where the first record's parts are: header at 25, its key at 41, the sealed part after.
    static constexpr qsizetype kFirstHeader = 25, kFirstKey = 41;
    static qsizetype firstSealed() { return kFirstHeader + 48 + 3 + 4; } // "PC2"

    QTemporaryDir m_dir;
};

TEST_F(OutboxFile, LinesComeBackByteForByteFromAFileOnlyItsOwnerReadsAndThatHidesWhatTheySay) {
    const Outbox outbox = saved();
    const QByteArray file = contentOf(path());
    struct stat info {};
    ASSERT_EQ(::stat(QFile::encodeName(path()).constData(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);

    EXPECT_TRUE(file.contains("\xC5\x81\xC3\xB3"
                              "d\xC5\xBA"))
        << "the computer's name is readable";
    for (const Entry& e : outbox.entries()) {
        for (const QByteArray& piece : e.plainTexts)
            for (qsizetype at = 0; at + 6 <= piece.size(); at += 3)
                EXPECT_FALSE(file.contains(piece.mid(at, 6)))
                    << piece.mid(at, 6).toHex().constData();
        for (qsizetype at = 0; at + 6 <= e.text.toUtf8().size(); at += 3)
            EXPECT_FALSE(file.contains(e.text.toUtf8().mid(at, 6)));
    }

    Outbox::Loaded loaded = Outbox::load(path(), keys);
    EXPECT_EQ(loaded.error, QString());
    EXPECT_FALSE(loaded.outbox.changed());
    ASSERT_EQ(loaded.outbox.size(), 2);
    EXPECT_EQ(loaded.outbox.bytes(), outbox.bytes());
    const QList<Entry> written = outbox.entries(), read = loaded.outbox.entries();
    for (qsizetype i = 0; i < 2; ++i) {
        const Entry& before = written[i];
        const Entry& after = read[i];
        EXPECT_EQ(after.lineId, before.lineId);
        EXPECT_EQ(after.computer, before.computer);
        EXPECT_EQ(after.recipientKey, before.recipientKey);
        EXPECT_EQ(after.plainTexts, before.plainTexts);
        EXPECT_EQ(after.text, before.text);
        EXPECT_TRUE(after.readable);
        EXPECT_EQ(after.queuedAt.toMSecsSinceEpoch(), before.queuedAt.toMSecsSinceEpoch());
        EXPECT_EQ(after.queuedAt.timeSpec(), Qt::UTC);
    }

    const Outbox::KeyFor otherCopy = [](const crypto::PublicKey& r) {
        return restKeyFor(crypto::IdentityKey::fromSeed(QByteArray(32, '\x09')), r);
    };
    EXPECT_EQ(Outbox::load(path(), otherCopy).unreadable, 2) << "another copy cannot read it";
    const QString missing = m_dir.filePath(QStringLiteral("none.dat"));
    const Outbox::Loaded none = Outbox::load(missing, keys);
    EXPECT_EQ(none.error, QString());
    EXPECT_EQ(none.outbox.size(), 0);
    EXPECT_FALSE(none.outbox.memoryOnly());
}

TEST_F(OutboxFile, ALineThatCannotBeOpenedIsReportedAndWrittenBackUnchangedTheOthersAreRead) {
    struct Case {
        const char* name;
        qsizetype flip; // -1: none; from the end of the first record when below -1
        Outbox::KeyFor keyFor;
        const char* reason;
    };
    const Outbox::KeyFor noKeyForPC2 = [](const crypto::PublicKey& r) {
        return r == keyA ? std::nullopt : restKeyFor(own, r);
    };
    const Outbox::KeyFor wrongKeyForPC2 = [](const crypto::PublicKey& r) {
        return r == keyA ? restKeyFor(own, keyB) : restKeyFor(own, r);
    };
    const char* damaged = "damaged, or sealed under another key (for PC2)";
    const Case cases[] = {
        {"line id", kFirstHeader + 7, keys, damaged},
        {"time queued", kFirstHeader + 12, keys, damaged},
        {"recipient key", kFirstKey + 5, keys, "PC2"}, // damaged, or no key for it at all
        {"computer name", kFirstKey + 34, keys, "(for PC3)"},
        {"nonce", firstSealed() + 3, keys, damaged},
        {"ciphertext", firstSealed() + 30, keys, damaged},
        {"tag", -2, keys, damaged},
        {"no key for the recipient", -1, noKeyForPC2, "no key for PC2"},
        {"a wrong key for the recipient", -1, wrongKeyForPC2, damaged},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        saved();
        QByteArray file = contentOf(path());
        if (c.flip != -1) {
            const qsizetype sealedLength = qFromBigEndian<quint32>(file.constData() + 76);
            const qsizetype at = c.flip >= 0 ? c.flip : firstSealed() + sealedLength + c.flip + 1;
            file[at] = char(file[at] ^ (c.flip == kFirstKey + 34 ? 0x01 : 0x10)); // "PC3"
            writeFile(path(), file);
        }
        Outbox::Loaded loaded = Outbox::load(path(), c.keyFor);
        EXPECT_EQ(loaded.unreadable, 1);
        EXPECT_TRUE(loaded.error.startsWith(path() + ": 1 waiting line could not be read"))
            << qPrintable(loaded.error);
        EXPECT_TRUE(loaded.error.contains(QLatin1String(c.reason))) << qPrintable(loaded.error);
        EXPECT_FALSE(loaded.outbox.memoryOnly());
        ASSERT_EQ(loaded.outbox.size(), 2);
        const Entry first = loaded.outbox.entries()[0];
        EXPECT_FALSE(first.readable);
        EXPECT_TRUE(first.plainTexts.isEmpty());
        EXPECT_EQ(loaded.outbox.entries()[1].text, line(1, {}, keyB, 40).text) << "still read";
        EXPECT_TRUE(loaded.outbox.takeFor(first.computer, first.recipientKey).isEmpty());

        // A new line and a save: the unreadable line's bytes are written back as they were.
        ASSERT_EQ(loaded.outbox.add(line(3, QStringLiteral("PC4"), keyB)), Outbox::Added::Queued);
        ASSERT_TRUE(loaded.outbox.save(path(), c.keyFor));
        const QByteArray again = contentOf(path());
        const qsizetype firstEnd = firstSealed() + qFromBigEndian<quint32>(file.constData() + 76);
        EXPECT_EQ(again.mid(21, firstEnd - 21), file.mid(21, firstEnd - 21));
        const Outbox::Loaded reread = Outbox::load(path(), keys);
        EXPECT_EQ(idsOf(reread.outbox.entries()).size(), 3);
        if (c.flip == -1) {
            EXPECT_EQ(reread.unreadable, 0) << "with its key back, nothing was lost";
        }
        EXPECT_TRUE(loaded.outbox.cancel(first.lineId, first.computer))
            << "the user can still take it out";
    }
}

TEST_F(OutboxFile, AFileThatCannotBeReadIsReportedAndNeverWrittenOver) {
    saved();
    const QByteArray good = contentOf(path());
    QByteArray version2 = good, moreLines = good, shortHeader = good;
    version2[16] = 2;
    moreLines[20] = 3;
    // 501 lines that each could be read but for their seal: one more than ever waits.
    QByteArray beyondBound = good.left(17) + QByteArray::fromHex("000001F5");
    const qsizetype firstEnd = firstSealed() + qFromBigEndian<quint32>(good.constData() + 76);
    for (int id = 1; id <= 501; ++id) {
        QByteArray record = good.mid(21, firstEnd - 21);
        qToBigEndian(quint64(id), record.data() + 4);
        beyondBound += record;
    }
    shortHeader[24] = 20;
    const struct {
        const char* name;
        QByteArray bytes;
    } cases[] = {
        {"empty", QByteArray()},
        {"cut inside the count", good.left(19)},
        {"cut inside a line", good.left(good.size() - 5)},
        {"more lines counted than there are", moreLines},
        {"more lines counted than an outbox holds", beyondBound},
        {"a header too short for a line", shortHeader},
        {"bytes after the last line", good + "x"},
        {"another version", version2},
        {"not an outbox", QByteArray("[Options]\nName=PC1\n")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        writeFile(path(), c.bytes);
        Outbox::Loaded loaded = Outbox::load(path(), keys);
        EXPECT_TRUE(loaded.error.startsWith(path() + ": ")) << qPrintable(loaded.error);
        EXPECT_TRUE(loaded.outbox.memoryOnly());
        EXPECT_EQ(loaded.outbox.size(), 0);
        ASSERT_EQ(loaded.outbox.add(line(7)), Outbox::Added::Queued) << "works in memory";
        const platform::Result r = loaded.outbox.save(path(), keys);
        EXPECT_FALSE(r);
        EXPECT_TRUE(r.error.contains(path()));
        EXPECT_EQ(contentOf(path()), c.bytes);
    }
    ASSERT_TRUE(QFile::remove(path()));
    ASSERT_TRUE(QDir(m_dir.path()).mkdir(QStringLiteral("outbox.dat")));
    EXPECT_TRUE(Outbox::load(path(), keys).outbox.memoryOnly()) << "a folder in its place";
}

TEST_F(OutboxFile, AFailedSaveIsReportedAndLeavesTheLinesToSaveAgain) {
    Outbox outbox;
    outbox.add(line(1));
    outbox.add(line(2, QStringLiteral("PC3"), keyB));
    // No key for PC3 now: PC2's line is written, and PC3's named as not saved.
    const Outbox::KeyFor noKeyForB = [](const crypto::PublicKey& k) {
        return k == keyB ? std::nullopt : restKeyFor(own, k);
    };
    const platform::Result partly = outbox.save(path(), noKeyForB);
    EXPECT_EQ(partly.error, path() + ": 1 waiting line not saved: no key for PC3");
    EXPECT_TRUE(outbox.changed());
    EXPECT_EQ(idsOf(Outbox::load(path(), keys).outbox.entries()), QList<quint64>({1}));

    outbox.add(line(3));
    const platform::Result r = outbox.save(QStringLiteral("/nonexistent-folder/outbox.dat"), keys);
    EXPECT_FALSE(r);
    EXPECT_TRUE(r.error.startsWith(QStringLiteral("/nonexistent-folder/outbox.dat: ")))
        << qPrintable(r.error);
    EXPECT_TRUE(outbox.changed());

    ASSERT_TRUE(outbox.save(path(), keys));
    EXPECT_FALSE(outbox.changed());
    EXPECT_EQ(idsOf(Outbox::load(path(), keys).outbox.entries()), QList<quint64>({1, 2, 3}));
}

TEST(Outbox, TheRestKeyIsTheSameAfterARestartAndDiffersForEachRecipient) {
    const crypto::IdentityKey again = crypto::IdentityKey::fromSeed(QByteArray(32, '\x01'));
    EXPECT_EQ(restKeyFor(own, keyA), restKeyFor(again, keyA));
    EXPECT_NE(restKeyFor(own, keyA), restKeyFor(own, keyB));
    const auto pair = crypto::PairKeys::derive(own, keyA);
    ASSERT_TRUE(pair);
    EXPECT_NE(Outbox::restKey(*pair), pair->sending()) << "not the line key itself";
}

} // namespace
