#include "crypto/trust_book.h"

#include "support/qt_print.h"

#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace kalvento::crypto;

namespace {

const PublicKey keyA = IdentityKey::generate().publicKey();
const PublicKey keyB = IdentityKey::generate().publicKey();

} // namespace

TEST(TrustBook, TheFirstKeyIsPinnedAnotherIsAChangeUntilTheUserAcceptsIt) {
    TrustBook book;
    EXPECT_EQ(book.see(QStringLiteral("PC2"), keyA), TrustBook::Seen::First);
    EXPECT_EQ(book.see(QStringLiteral("pc2"), keyA), TrustBook::Seen::Same) << "names fold";
    EXPECT_FALSE(book.acceptChange(QStringLiteral("PC2"))) << "nothing to accept";

    EXPECT_EQ(book.see(QStringLiteral("PC2"), keyB), TrustBook::Seen::Changed);
    const KnownKey* known = book.find(QStringLiteral("PC2"));
    ASSERT_TRUE(known);
    EXPECT_EQ(known->trust, Trust::Changed);
    EXPECT_EQ(known->key, keyA) << "the pinned key stays until the change is accepted";
    EXPECT_EQ(known->offered, keyB);
    EXPECT_EQ(book.see(QStringLiteral("PC2"), keyA), TrustBook::Seen::Same)
        << "the old key still speaks for the computer";
    EXPECT_FALSE(book.markVerified(QStringLiteral("PC2"))) << "a changed key is not verified";

    EXPECT_TRUE(book.acceptChange(QStringLiteral("PC2")));
    EXPECT_EQ(book.find(QStringLiteral("PC2"))->key, keyB);
    EXPECT_EQ(book.find(QStringLiteral("PC2"))->trust, Trust::Pinned);
    EXPECT_EQ(book.see(QStringLiteral("PC2"), keyA), TrustBook::Seen::Changed)
        << "the old key is a change now";
    EXPECT_TRUE(book.acceptChange(QStringLiteral("PC2")));
    EXPECT_TRUE(book.markVerified(QStringLiteral("PC2")));
    EXPECT_EQ(book.find(QStringLiteral("PC2"))->trust, Trust::Verified);
    EXPECT_FALSE(book.find(QStringLiteral("PC3")));
    EXPECT_FALSE(book.window(QStringLiteral("PC3")));
}

TEST(TrustBook, KeysTrustAndHighMarksSurviveARestart) {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("known_keys"));
    TrustBook book;
    book.see(QStringLiteral("Łódź 1"), keyA); // a name with a blank and letters beyond ASCII
    book.window(QStringLiteral("Łódź 1"))->accept(1000);
    book.see(QStringLiteral("PC3"), keyA);
    book.see(QStringLiteral("PC3"), keyB);
    book.see(QStringLiteral("PC4"), keyB);
    book.markVerified(QStringLiteral("PC4"));
    ASSERT_TRUE(book.save(path));
    EXPECT_FALSE(book.changedSinceSave());

    TrustBook::Loaded loaded = TrustBook::load(path);
    EXPECT_TRUE(loaded.error.isEmpty());
    EXPECT_EQ(loaded.skippedLines, 0);
    EXPECT_EQ(loaded.book.size(), 3);
    const KnownKey* lodz = loaded.book.find(QStringLiteral("łÓDŹ 1"));
    ASSERT_TRUE(lodz);
    EXPECT_EQ(lodz->computer, QStringLiteral("Łódź 1"));
    EXPECT_EQ(lodz->key, keyA);
    EXPECT_FALSE(loaded.book.window(QStringLiteral("Łódź 1"))->fresh(1000));
    EXPECT_FALSE(loaded.book.window(QStringLiteral("Łódź 1"))->fresh(990))
        << "a number below the kept mark could be a recording";
    EXPECT_TRUE(loaded.book.window(QStringLiteral("Łódź 1"))->fresh(1001));
    EXPECT_EQ(loaded.book.find(QStringLiteral("PC3"))->trust, Trust::Changed);
    EXPECT_EQ(loaded.book.find(QStringLiteral("PC3"))->offered, keyB);
    EXPECT_EQ(loaded.book.find(QStringLiteral("PC4"))->trust, Trust::Verified);
}

TEST(TrustBook, ADamagedLineIsSkippedAndTheOthersKept) {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("known_keys"));
    const QByteArray good = "PC2 " + toBytes(keyA).toBase64() + " pinned 5 -\n";
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write("# Kalvento known keys 1\n" + good + "PC3 notakey pinned 5 -\n" + "PC4 " +
            toBytes(keyA).toBase64() + " trusted 5 -\n" + "PC5 " + toBytes(keyA).toBase64() +
            " changed 5 -\n" + "PC6 " + toBytes(keyA).toBase64() + " pinned x -\n" + "PC7\n");
    f.close();
    const TrustBook::Loaded loaded = TrustBook::load(path);
    EXPECT_EQ(loaded.book.size(), 1);
    EXPECT_EQ(loaded.skippedLines, 5);
    EXPECT_TRUE(loaded.book.find(QStringLiteral("PC2")));
    EXPECT_TRUE(TrustBook::load(dir.filePath(QStringLiteral("none"))).error.isEmpty());
}

TEST(TrustBook, AFailedSaveNamesTheFileAndKeepsTheBookToSave) {
    TrustBook book;
    book.see(QStringLiteral("PC2"), keyA);
    const kalvento::platform::Result r = book.save(QStringLiteral("/nonexistent-folder/keys"));
    EXPECT_FALSE(r);
    EXPECT_TRUE(r.error.contains(QStringLiteral("/nonexistent-folder/keys")))
        << r.error.toStdString();
    EXPECT_TRUE(book.changedSinceSave());
}

TEST(TrustBook, AFloodOfMadeUpKeysPushesOutTheKeySeenLongestAgoButNeverAVerifiedOne) {
    TrustBook book;
    book.see(QStringLiteral("VERIFIED"), keyA);
    ASSERT_TRUE(book.markVerified(QStringLiteral("VERIFIED")));
    book.see(QStringLiteral("OLD"), keyA);
    book.see(QStringLiteral("RECENT"), keyB);
    for (int i = 3; i < TrustBook::kMaxKeys; ++i)
        book.see(QStringLiteral("F%1").arg(i), keyB);
    ASSERT_EQ(book.size(), TrustBook::kMaxKeys);
    book.see(QStringLiteral("RECENT"), keyB); // heard again: the last to go
    EXPECT_TRUE(book.takeEvicted().isEmpty());

    // Full: each new key takes the place of the one seen longest ago, and says whose.
    book.see(QStringLiteral("NEW1"), keyA);
    EXPECT_EQ(book.size(), TrustBook::kMaxKeys);
    EXPECT_FALSE(book.find(QStringLiteral("OLD")));
    EXPECT_EQ(book.takeEvicted(), QStringList({QStringLiteral("OLD")}));
    EXPECT_TRUE(book.takeEvicted().isEmpty());
    for (int i = 0; i < TrustBook::kMaxKeys; ++i)
        book.see(QStringLiteral("G%1").arg(i), keyB);
    EXPECT_EQ(book.size(), TrustBook::kMaxKeys);
    EXPECT_TRUE(book.find(QStringLiteral("VERIFIED")));
    EXPECT_FALSE(book.find(QStringLiteral("RECENT")));
}
