#include "platform/text_codec.h"

#include <gtest/gtest.h>

using namespace kalvento::platform;

TEST(TextCodec, EveryByteSurvivesARoundTrip) {
    QByteArray all;
    for (int b = 0; b < 256; ++b)
        all.append(char(b));
    EXPECT_EQ(toAnsi(fromAnsi(all)), all);
}

TEST(TextCodec, MapsTheWesternCodePage) {
    struct Case {
        const char* bytes;
        QString text;
    } cases[] = {
        {"\xA4", QString(QChar(0x00A4))},         // the private multi-line tag
        {"\x80", QString(QChar(0x20AC))},         // euro sign
        {"caf\xE9", QStringLiteral("caf\u00E9")}, // é
        {"\x9F", QString(QChar(0x0178))},         // Ÿ
    };
    for (const auto& c : cases) {
        EXPECT_EQ(fromAnsi(c.bytes), c.text) << c.bytes;
        EXPECT_EQ(toAnsi(c.text), QByteArray(c.bytes));
    }
}

TEST(TextCodec, CharactersOutsideTheCodePageBecomeOneQuestionMark) {
    EXPECT_EQ(toAnsi(QStringLiteral("a\u03A9b")), QByteArray("a?b"));
    EXPECT_EQ(toAnsi(QString::fromUtf8("x\xF0\x9F\x98\x80y")), QByteArray("x?y")); // emoji
    EXPECT_FALSE(isAnsiRepresentable(QStringLiteral("\u03A9")));
    EXPECT_TRUE(isAnsiRepresentable(QStringLiteral("\u20AC\u00E9")));
}

TEST(TextCodec, FilesAreUtf8WhenValidElseWindows1252) {
    EXPECT_EQ(decodeUtf8OrAnsi("caf\xC3\xA9"), QStringLiteral("caf\u00E9"));
    EXPECT_EQ(decodeUtf8OrAnsi("caf\xE9"), QStringLiteral("caf\u00E9"));
    EXPECT_EQ(decodeUtf8OrAnsi("\xEF\xBB\xBFhi"), QStringLiteral("hi"));
}

TEST(TextCodec, TheWireIsUtf8AndWhatIsNotUtf8IsWindows1252) {
    const QString polish = QStringLiteral("Zażółć gęślą jaźń — ✓ 😀");
    EXPECT_EQ(toWire(polish), polish.toUtf8());
    EXPECT_EQ(fromWire(polish.toUtf8()), polish);
    EXPECT_EQ(fromWire("caf\xe9 \x80"), QStringLiteral("café €"));         // an older copy's bytes
    EXPECT_EQ(fromWire("\xef\xbb\xbfkeep"), QStringLiteral("\ufeffkeep")); // data, not a file mark
    EXPECT_EQ(fromWire(""), QString());
}

TEST(TextCodec, CutsFallOnCharacterBoundaries) {
    const struct {
        QString text;
        qsizetype limit;
        QString kept;
    } rows[] = {
        {QStringLiteral("abc"), 5, QStringLiteral("abc")},
        {QStringLiteral("abcdef"), 3, QStringLiteral("abc")},
        {QStringLiteral("aż"), 2, QStringLiteral("a")}, // ż is two bytes
        {QStringLiteral("aż"), 3, QStringLiteral("aż")},
        {QStringLiteral("a中"), 3, QStringLiteral("a")}, // three bytes
        {QStringLiteral("a中"), 2, QStringLiteral("a")},
        {QStringLiteral("a😀"), 4, QStringLiteral("a")}, // four bytes
        {QStringLiteral("a😀b"), 5, QStringLiteral("a😀")},
        {QStringLiteral("😀"), 0, QString()},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(QString::fromUtf8(toWire(row.text, row.limit)), row.kept)
            << row.text.toStdString() << " / " << row.limit;
        EXPECT_LE(toWire(row.text, row.limit).size(), row.limit);
        EXPECT_EQ(cutToWireLength(row.text, row.limit), row.kept);
    }
    // Bytes that are not UTF-8 are cut where the limit says.
    EXPECT_EQ(cutAtCharacter("caf\xe9s", 4), QByteArray("caf\xe9"));
    EXPECT_EQ(cutAtCharacter("\x80\x80\x80\x80\x80", 4), QByteArray("\x80\x80\x80\x80"));
}
