#include "messaging/catch_up.h"

#include "messaging/chat_protocol.h"
#include "support/keyed_lan.h"
#include "support/qt_print.h"
#include "support/test_data.h"

#include <gtest/gtest.h>

#include <functional>

using namespace kalvento;
using namespace kalvento::messaging;
using Verdict = CatchUpCollector::Verdict;

namespace {

// RFC 8032's first test key, the key of docs/protocol.md's test vectors.
const crypto::IdentityKey& keyA() {
    return test::vectorKeyA();
}
const crypto::IdentityKey& keyB() {
    static const crypto::IdentityKey key = test::keyFor('\x02');
    return key;
}

constexpr quint64 kSecond = 1000ull * 1000;
constexpr quint64 kNow = 1700000000000000; // the documented line's id

SignedLine signedBy(const crypto::IdentityKey& key, quint64 id, QByteArray computer = "PC1",
                    QByteArray text = "hello", QByteArray name = "Anna") {
    SignedLine line{key.publicKey(), id, std::move(computer), std::move(name), std::move(text), {}};
    line.signature = signLine(key, line).value();
    return line;
}

std::vector<quint64> idsOf(const QList<SignedLine>& lines) {
    std::vector<quint64> ids;
    for (const SignedLine& line : lines)
        ids.push_back(line.lineId);
    return ids;
}

// The point of order 1 (the identity), which signs for anything under a weak check.
crypto::PublicKey smallOrderKey() {
    crypto::PublicKey key{};
    key[0] = 1;
    return key;
}

} // namespace

TEST(LineSignature, HoldsOnlyOverTheWholeLineItWasMadeFor) {
    const SignedLine good = signedBy(keyA(), kNow, "PC1", "#LL0#Zażółć ✓", "Łucja");
    EXPECT_TRUE(verifyLine(good));
    const std::vector<std::pair<const char*, std::function<void(SignedLine&)>>> changes = {
        {"author", [](SignedLine& l) { l.author = keyB().publicKey(); }},
        {"id", [](SignedLine& l) { ++l.lineId; }},
        {"computer", [](SignedLine& l) { l.computer = "PC2"; }},
        {"computer case", [](SignedLine& l) { l.computer = "pc1"; }},
        {"name", [](SignedLine& l) { l.name = "Mallory"; }},
        {"a byte moved from name to computer",
         [](SignedLine& l) {
             l.computer += l.name.left(2);
             l.name.remove(0, 2);
         }},
        {"text", [](SignedLine& l) { l.text.chop(1); }},
        {"signature", [](SignedLine& l) { l.signature[63] ^= 0x01; }},
        {"small-order author", [](SignedLine& l) { l.author = smallOrderKey(); }},
    };
    for (const auto& [what, change] : changes) {
        SignedLine changed = good;
        change(changed);
        EXPECT_FALSE(verifyLine(changed)) << what;
    }
}

TEST(LineSignature, IsRefusedForAnotherAuthorOrFieldsTooLong) {
    SignedLine line{keyA().publicKey(), kNow, "PC1", "Anna", "hello", {}};
    EXPECT_FALSE(signLine(keyB(), line)) << "signed in another author's name";
    const struct {
        QByteArray SignedLine::*field;
        qsizetype longest;
    } limits[] = {
        {&SignedLine::computer, 63}, {&SignedLine::name, 255}, {&SignedLine::text, 32492}};
    for (const auto& [field, longest] : limits) {
        SignedLine fits = line;
        fits.*field = QByteArray(longest, 'x');
        fits.signature = signLine(keyA(), fits).value();
        EXPECT_TRUE(verifyLine(fits)) << longest;
        EXPECT_EQ(decodeRecord(encodeRecord(fits)), fits) << longest;
        SignedLine over = fits;
        over.*field += 'x';
        EXPECT_FALSE(signLine(keyA(), over)) << longest;
        EXPECT_FALSE(verifyLine(over)) << longest;
        EXPECT_TRUE(encodeRecord(over).isEmpty()) << longest;
    }
}

TEST(CatchUpRecord, ReadsBackEveryLineItWasMadeFrom) {
    for (const SignedLine& line :
         {signedBy(keyA(), 1, "", "", ""),
          signedBy(keyA(), UINT64_MAX, "PC1", QByteArray("a\0b", 3), "\xff"),
          signedBy(keyB(), kNow, "PC-2", publicMultiLineText(7, "piece"), "Łucja")}) {
        const QByteArray record = encodeRecord(line);
        EXPECT_EQ(decodeRecord(record), line) << record.toHex().constData();
    }
}

TEST(CatchUpRecord, RefusesEveryMalformedRecordWithoutReadingPastIt) {
    const QByteArray good = encodeRecord(signedBy(keyA(), kNow, "PC1", "hello", "Anna"));
    // 3 magic, 1 version, 32 key, 8 id; then the computer's length at 44, the name's at 48,
    // the text's at 53, the signature at 62.
    ASSERT_EQ(good.size(), 126);
    for (qsizetype n = 0; n < good.size(); ++n) {
        // A copy of exactly n bytes, so that a read past its end is one the sanitizers see.
        const QByteArray cut = good.first(n);
        EXPECT_FALSE(decodeRecord(cut)) << "cut at " << n;
    }
    auto with = [&](qsizetype at, const QByteArray& bytes) {
        return QByteArray(good).replace(at, bytes.size(), bytes);
    };
    const std::vector<std::pair<const char*, QByteArray>> bad = {
        {"trailing byte", good + 'x'},
        {"magic", with(0, "KVX")},
        {"version", with(3, "\x02")},
        {"small-order key", with(4, crypto::toBytes(smallOrderKey()))},
        {"computer longer than said", with(44, "\x04")},
        {"computer shorter than said", with(44, "\x02")},
        {"computer over 63",
         QByteArray(good).insert(45, QByteArray(61, 'x')).replace(44, 1, "\x40")},
        {"name longer than said", with(48, "\x05")},
        {"name of 255 past the end", with(48, "\xff")},
        {"text longer than said", with(56, "\x06")},
        {"text of 4 GiB", with(53, "\xff\xff\xff\xff")},
        {"text over 32,492", QByteArray(good)
                                 .insert(57, QByteArray(32488, 'x'))
                                 .replace(53, 4, test::bytes({0, 0, 0x7e, 0xed}))},
    };
    for (const auto& [what, bytes] : bad)
        EXPECT_FALSE(decodeRecord(bytes)) << what;
    // The same layout with a text of exactly 32,492 bytes is well formed.
    const QByteArray longest = QByteArray(good)
                                   .insert(57, QByteArray(32487, 'x'))
                                   .replace(53, 4, test::bytes({0, 0, 0x7e, 0xec}));
    EXPECT_TRUE(decodeRecord(longest));
}

TEST(LineHistory, KeepsTheNewestLinesOnceEachWithinItsBounds) {
    LineHistory history;
    LineHistory small;
    EXPECT_TRUE(small.add(signedBy(keyA(), kNow)));
    EXPECT_FALSE(small.add(signedBy(keyA(), kNow))) << "a duplicate";
    EXPECT_EQ(small.size(), 1);
    // 520 lines, each pair added the wrong way round.
    for (int i = 0; i < LineHistory::kMaxLines + 20; ++i)
        EXPECT_TRUE(history.add(signedBy(keyA(), kNow + quint64(i ^ 1) * kSecond))) << i;
    EXPECT_EQ(history.size(), LineHistory::kMaxLines);
    EXPECT_FALSE(history.add(signedBy(keyA(), kNow + 300 * kSecond))) << "a duplicate";
    EXPECT_FALSE(history.add(signedBy(keyA(), kNow - kSecond))) << "older than all, when full";
    EXPECT_TRUE(history.add(signedBy(keyB(), kNow + 500 * kSecond))) << "same id, other author";
    EXPECT_EQ(history.size(), LineHistory::kMaxLines);
    SignedLine forged = signedBy(keyA(), kNow + 600 * kSecond);
    forged.text = "changed";
    EXPECT_FALSE(history.add(forged));
    EXPECT_FALSE(history.add(signedBy(keyA(), kNow + 601 * kSecond, "PC1", privateLineText("x"))));
    EXPECT_FALSE(
        history.add(signedBy(keyA(), kNow + 602 * kSecond, "PC1", greetingText("PC1", "G"))));

    // 21 lines went: the 20 oldest of the first 520, then the oldest again for B's line.
    const quint64 now = kNow + 600 * kSecond;
    const QList<SignedLine> all = history.since(0, now, 1000);
    ASSERT_EQ(all.size(), LineHistory::kMaxLines);
    EXPECT_EQ(all.front().lineId, kNow + 21 * kSecond);
    EXPECT_EQ(all.back().lineId, kNow + 519 * kSecond);
    EXPECT_TRUE(
        std::is_sorted(all.begin(), all.end(), [](const SignedLine& a, const SignedLine& b) {
            return a.lineId < b.lineId;
        }));
    EXPECT_TRUE(verifyLine(all[300]));

    // The newest max after since, oldest first.
    EXPECT_EQ(idsOf(history.since(kNow + 516 * kSecond, now, 2)),
              (std::vector<quint64>{kNow + 518 * kSecond, kNow + 519 * kSecond}));
    EXPECT_EQ(idsOf(history.since(kNow + 517 * kSecond, now)),
              (std::vector<quint64>{kNow + 518 * kSecond, kNow + 519 * kSecond}));
    EXPECT_EQ(history.since(0, now).size(), LineHistory::kMaxOffer);
    EXPECT_EQ(history.since(0, now).front().lineId, kNow + 321 * kSecond);
    EXPECT_TRUE(history.since(0, now, 0).isEmpty());
    EXPECT_TRUE(history.since(kNow + 519 * kSecond, now).isEmpty());

    // Age: a day back from now, and no further ahead than a receiver takes.
    const quint64 dayLater = kNow + 100 * kSecond + LineHistory::kMaxAge;
    EXPECT_EQ(history.since(0, dayLater, 1000).front().lineId, kNow + 100 * kSecond);
    EXPECT_EQ(history.since(0, kNow + 219 * kSecond - kMaxLineAhead, 1000).back().lineId,
              kNow + 219 * kSecond);
    history.expire(dayLater);
    EXPECT_EQ(history.size(), 421);
    EXPECT_EQ(history.since(0, dayLater, 1000).size(), 421);
}

namespace {

struct CollectorCase {
    const char* what;
    SignedLine line;
    Verdict verdict;
};

} // namespace

TEST(CatchUpCollector, TakesOnlyGenuineLinesOfTheTimeAwayOnce) {
    const quint64 since = kNow - 3600 * kSecond;
    const quint64 now = kNow;
    const crypto::IdentityKey keyC = test::keyFor('\x03');
    CatchUpCollector collector(
        since, [](const QString& computer) -> std::optional<crypto::PublicKey> {
            if (computer.compare(QStringLiteral("pc1"), Qt::CaseInsensitive) == 0)
                return keyA().publicKey();
            if (computer == QStringLiteral("PC2"))
                return keyB().publicKey();
            return std::nullopt;
        });
    SignedLine forged = signedBy(keyA(), now - 10 * kSecond);
    forged.text = "changed";
    const SignedLine live = signedBy(keyB(), now - 20 * kSecond, "PC2");
    collector.seenLive(live.author, live.lineId);
    const CollectorCase cases[] = {
        {"genuine", signedBy(keyA(), now - 30 * kSecond), Verdict::Accepted},
        {"forged before the genuine one", forged, Verdict::BadSignature},
        {"genuine after a forgery", signedBy(keyA(), now - 10 * kSecond), Verdict::Accepted},
        {"offered again", signedBy(keyA(), now - 30 * kSecond), Verdict::Duplicate},
        {"seen live", live, Verdict::Duplicate},
        {"unknown computer", signedBy(keyC, now - 40 * kSecond, "PC3"), Verdict::UnknownAuthor},
        {"another key for the computer", signedBy(keyC, now - 40 * kSecond, "PC1"),
         Verdict::WrongKey},
        {"A's key for B's computer", signedBy(keyA(), now - 40 * kSecond, "PC2"),
         Verdict::WrongKey},
        {"case of the computer", signedBy(keyA(), now - 50 * kSecond, "Pc1"), Verdict::Accepted},
        {"at since", signedBy(keyA(), since), Verdict::TooOld},
        {"just after since", signedBy(keyA(), since + 1), Verdict::Accepted},
        {"a private line", signedBy(keyA(), now - 60 * kSecond, "PC1", privateLineText("x")),
         Verdict::NotPublic},
        {"five minutes ahead", signedBy(keyA(), now + kMaxLineAhead), Verdict::Accepted},
        {"further ahead", signedBy(keyA(), now + kMaxLineAhead + 1), Verdict::Future},
    };
    for (const CollectorCase& c : cases)
        EXPECT_STREQ(verdictName(collector.offer(c.line, now)), verdictName(c.verdict)) << c.what;

    CatchUpCollector longAway(0, [](const QString&) { return keyA().publicKey(); });
    EXPECT_EQ(longAway.offer(signedBy(keyA(), now - LineHistory::kMaxAge), now), Verdict::Accepted);
    EXPECT_EQ(longAway.offer(signedBy(keyA(), now - LineHistory::kMaxAge - 1), now),
              Verdict::TooOld);
    CatchUpCollector noBook(0, {});
    EXPECT_EQ(noBook.offer(signedBy(keyA(), now), now), Verdict::UnknownAuthor);
}

TEST(CatchUpCollector, HandsOverInLineOrderThenStopsAtItsBound) {
    CatchUpCollector collector(kNow, [](const QString& computer) {
        return computer == QStringLiteral("PC1") ? keyA().publicKey() : keyB().publicKey();
    });
    const quint64 now = kNow + 3600 * kSecond;
    const bool aFirst = keyA().publicKey() < keyB().publicKey();
    // Offered newest first, the two of one id in the wrong order.
    const SignedLine byA = signedBy(keyA(), kNow + 2, "PC1");
    const SignedLine byB = signedBy(keyB(), kNow + 2, "PC2");
    EXPECT_EQ(collector.offer(signedBy(keyA(), kNow + 3), now), Verdict::Accepted);
    EXPECT_EQ(collector.offer(aFirst ? byB : byA, now), Verdict::Accepted);
    EXPECT_EQ(collector.offer(aFirst ? byA : byB, now), Verdict::Accepted);
    EXPECT_EQ(collector.offer(signedBy(keyB(), kNow + 1, "PC2"), now), Verdict::Accepted);
    EXPECT_TRUE(collector.any());
    const QList<SignedLine> taken = collector.take();
    ASSERT_EQ(taken.size(), 4);
    EXPECT_EQ(idsOf(taken), (std::vector<quint64>{kNow + 1, kNow + 2, kNow + 2, kNow + 3}));
    EXPECT_EQ(taken[1], aFirst ? byA : byB);
    EXPECT_EQ(taken[2], aFirst ? byB : byA);
    EXPECT_FALSE(collector.any());
    EXPECT_TRUE(collector.take().isEmpty());
    EXPECT_EQ(collector.offer(byA, now), Verdict::Duplicate) << "taken lines stay known";

    for (quint64 i = 4; i < CatchUpCollector::kMaxCollect + 4; ++i)
        ASSERT_EQ(collector.offer(signedBy(keyA(), kNow + i), now),
                  i < 1000 ? Verdict::Accepted : Verdict::Full)
            << i;
    EXPECT_EQ(collector.acceptedCount(), CatchUpCollector::kMaxCollect);
    EXPECT_EQ(collector.take().size(), CatchUpCollector::kMaxCollect - 4);
    SignedLine forged = signedBy(keyA(), kNow + 5000);
    forged.name = "Mallory";
    EXPECT_EQ(collector.offer(forged, now), Verdict::BadSignature)
        << "full counts genuine lines only";
    EXPECT_EQ(collector.offer(byA, now), Verdict::Duplicate);
}

// The record of docs/protocol.md's test vector.
TEST(CatchUpRecord, TheDocumentedTestVector) {
    const SignedLine line = signedBy(keyA(), 1700000000000000, "PC1", "hello", "Anna");
    EXPECT_EQ(lineSignedBytes(line)->toHex(),
              QByteArray("4b616c76656e746f206c696e652031d75a980182b10ab7d54bfed3c964073a0ee172f3"
                         "daa62325af021a68f707511a00060a24181e40000350433104416e6e61000000056865"
                         "6c6c6f"));
    EXPECT_EQ(encodeRecord(line).toHex(),
              QByteArray("4b564301d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f70751"
                         "1a00060a24181e40000350433104416e6e610000000568656c6c6f8c233609b51d08ff"
                         "ebe38d1aec1aa33a1eb55c04eb84462d166a934f78cd2411818d080a60f56e39019f5a"
                         "a16baef56abad46bf4303697260d60cd836aa56f01"));
}
