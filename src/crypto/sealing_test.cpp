#include "crypto/sealing.h"

#include "support/qt_print.h"

#include <gtest/gtest.h>

using namespace kalvento::crypto;

namespace {

struct Pair {
    IdentityKey a = IdentityKey::generate();
    IdentityKey b = IdentityKey::generate();
    PairKeys ab = *PairKeys::derive(a, b.publicKey());
    PairKeys ba = *PairKeys::derive(b, a.publicKey());
};

} // namespace

TEST(PairKeys, BothEndsDeriveTheSameKeyForEachDirectionAndTwoDirectionsDiffer) {
    const Pair p;
    EXPECT_EQ(p.ab.sending(), p.ba.receiving());
    EXPECT_EQ(p.ba.sending(), p.ab.receiving());
    EXPECT_NE(p.ab.sending(), p.ab.receiving());
    const IdentityKey c = IdentityKey::generate();
    EXPECT_NE(PairKeys::derive(p.a, c.publicKey())->sending(), p.ab.sending());
}

TEST(PairKeys, ACopyTalkingToItselfOpensWhatItSeals) {
    const IdentityKey a = IdentityKey::generate();
    const auto self = PairKeys::derive(a, a.publicKey());
    ASSERT_TRUE(self);
    const QByteArray sealed = seal(self->sending(), "ad", "own line");
    EXPECT_EQ(open(self->receiving(), "ad", sealed), QByteArray("own line"));
}

TEST(Sealing, ALineOpensOnlyWithItsKeyItsAssociatedDataAndUnchanged) {
    const Pair p;
    const QByteArray line = QByteArray("Zażółć ✓");
    const QByteArray sealed = seal(p.ab.sending(), "PC1>PC2 line 7", line);
    EXPECT_EQ(sealed.size(), line.size() + kSealOverhead);
    EXPECT_FALSE(sealed.contains(line));
    EXPECT_EQ(open(p.ba.receiving(), "PC1>PC2 line 7", sealed), line);

    EXPECT_FALSE(open(p.ba.sending(), "PC1>PC2 line 7", sealed)) << "the other direction";
    EXPECT_FALSE(open(p.ba.receiving(), "PC1>PC3 line 7", sealed)) << "re-targeted";
    EXPECT_FALSE(open(p.ba.receiving(), "PC1>PC2 line 8", sealed)) << "another counter";
    for (qsizetype at : {qsizetype(0), qsizetype(kNonceSize), sealed.size() - 1}) {
        QByteArray changed = sealed;
        changed[at] = char(changed[at] ^ 0x01);
        EXPECT_FALSE(open(p.ba.receiving(), "PC1>PC2 line 7", changed)) << "byte " << at;
    }
    EXPECT_FALSE(open(p.ba.receiving(), "PC1>PC2 line 7", sealed.left(kSealOverhead - 1)));
    EXPECT_FALSE(open(p.ba.receiving(), "PC1>PC2 line 7", sealed.chopped(1)));
}

TEST(Sealing, TheSameLineSealedTwiceLooksDifferentAndAnEmptyLineSeals) {
    const Pair p;
    EXPECT_NE(seal(p.ab.sending(), "", "hi"), seal(p.ab.sending(), "", "hi"));
    const QByteArray empty = seal(p.ab.sending(), "", "");
    EXPECT_EQ(empty.size(), kSealOverhead);
    EXPECT_EQ(open(p.ba.receiving(), "", empty), QByteArray(""));
}
