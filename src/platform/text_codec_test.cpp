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
