#include "messaging/chat_protocol.h"

#include "support/test_data.h"

#include <gtest/gtest.h>

using namespace kalvento::messaging;
using kalvento::test::bytes;

TEST(ChatEncoding, KnownEncodings) {
    EXPECT_EQ(EncodeText("abc"), bytes({0x05, 0xB8, 0x05, 0xB5, 0x02, 0x52, 0x03, 0x7B}));
    EXPECT_EQ(EncodeText(""), QByteArray(8, char(0xFF)));
    // Each branch of the pair rule: low byte zero (0xFD h), high byte zero (0xFE l).
    // a=0, b=0x80: w1 = 9*128 = 0x480, w2 = 6*128 = 0x300 -> FD 03
    EXPECT_EQ(EncodeText(QByteArray("\x00\x80", 2)).left(4), bytes({0x04, 0x80, 0xFD, 0x03}));
    // a=1: w1 = 6 -> FE 06, w2 = 9 -> FE 09
    EXPECT_EQ(EncodeText("\x01").left(4), bytes({0xFE, 0x06, 0xFE, 0x09}));
    EXPECT_EQ(EncodeText("abcde").size(), 16);
}

TEST(ChatEncoding, EveryByteAtEveryPositionOfAGroupSurvivesARoundTrip) {
    for (int a = 1; a < 256; ++a)
        for (int b = 1; b < 256; ++b) {
            const QByteArray plain = bytes({a, b, b, a, a});
            const QByteArray encoded = EncodeText(plain);
            ASSERT_FALSE(encoded.contains('\0')) << a << "," << b;
            ASSERT_EQ(plainTextFromPayload(payloadFromPlainText(plain)), plain) << a << "," << b;
        }
}

TEST(ChatEncoding, DecodeKeepsPaddingForTheCallerToCut) {
    EXPECT_EQ(DecodeText(EncodeText("abc")), QByteArray("abc\0", 4));
    EXPECT_EQ(DecodeText(QByteArray(8, char(0xFF))), QByteArray(4, '\0'));
    EXPECT_EQ(plainTextFromPayload(payloadFromPlainText("")), QByteArray());
}

TEST(ChatEncoding, MalformedInputDecodesWithoutHarm) {
    // A part group reads as padded with 0xFF; odd sizes and garbage never crash.
    EXPECT_EQ(DecodeText(EncodeText("abcd").left(4)), QByteArray("ab\0\0", 4));
    EXPECT_EQ(DecodeText(QByteArray()), QByteArray());
    QByteArray garbage;
    for (int i = 0; i < 1000; ++i)
        garbage.append(char(i * 37 + 11));
    EXPECT_EQ(DecodeText(garbage).size(), 4 * ((garbage.size() + 7) / 8));
}

TEST(ChatEncoding, LimitsFollowTheDatagramSize) {
    // 8 header + 8 per group + 1 zero byte must fit; the 16-bit size caps it too.
    EXPECT_EQ(maxPlainTextLength(65535 + 8), 32764);
    EXPECT_EQ(maxPlainTextLength(8 + 1 + 16), 8);
    const qsizetype max = maxPlainTextLength(65000);
    EXPECT_LE(8 + payloadFromPlainText(QByteArray(max, 'x')).size(), 65000);
    EXPECT_GT(8 + payloadFromPlainText(QByteArray(max + 1, 'x')).size(), 65000);
    EXPECT_EQ(limitPlainText(QByteArray(max + 10, 'x'), max).size(), max);
}

TEST(ChatProtocol, LineTags) {
    EXPECT_EQ(LineTag(0), "LL0");
    EXPECT_EQ(LineTag(9), "LL9");
    EXPECT_EQ(LineTag(10), "L10");
    EXPECT_EQ(LineTag(99), "L99");
    EXPECT_EQ(publicMultiLineText(7, "x"), "#LL7#x");
    EXPECT_EQ(privateMultiLineText(42, "y"), "\xA4L42\xA4y");
}

TEST(ChatProtocol, MessageForms) {
    EXPECT_EQ(greetingText("PC1", "WORKGROUP"), "#HI!#PC1<@>WORKGROUP");
    EXPECT_EQ(answerText("PC1", "WG"), "#REP#PC1<@>WG");
    EXPECT_EQ(identityText("Ann"), "#NIC#Ann");
    EXPECT_EQ(goodbyeText("PC1"), "#REM#PC1");
    EXPECT_EQ(privateLineText("hi"), "#PRI#hi");
    EXPECT_EQ(signOfLifeText("available"), "#ALV#available");
    // An empty public line is eight 0xFF bytes and the zero byte.
    EXPECT_EQ(payloadFromPlainText(""), QByteArray(8, char(0xFF)) + QByteArray(1, '\0'));
}

TEST(ChatProtocol, Classification) {
    struct Case {
        QByteArray text;
        MessageKind kind;
        bool firstLine;
        QByteArray body;
    } cases[] = {
        {"#HI!#PC<@>WG", MessageKind::Greeting, false, "PC<@>WG"},
        {"#REM#PC", MessageKind::Goodbye, false, "PC"},
        {"#PRI#secret", MessageKind::PrivateLine, false, "secret"},
        {"#REP#PC<@>WG", MessageKind::Answer, false, "PC<@>WG"},
        {"#NIC#", MessageKind::Identity, false, ""},
        {"#ALV#available", MessageKind::SignOfLife, false, "available"},
        {"#alv#available", MessageKind::UnknownTag, false, "available"},
        {"#LL0#head", MessageKind::PublicMultiLine, true, "head"},
        {"#L42#line", MessageKind::PublicMultiLine, false, "line"},
        {"#Lxy#", MessageKind::PublicMultiLine, false, ""},
        {"\xA4LL0\xA4head", MessageKind::PrivateMultiLine, true, "head"},
        {"\xA4L13\xA4line", MessageKind::PrivateMultiLine, false, "line"},
        {"#abc#d", MessageKind::UnknownTag, false, "d"},
        {"#ab#c", MessageKind::PublicLine, false, "#ab#c"}, // its fifth character is 'c'
        {"#hi!#x", MessageKind::UnknownTag, false, "x"},    // tags compare letter case
        {"\xA4LL0#x", MessageKind::PublicLine, false, "\xA4LL0#x"},
        {"#LL0\xA4x", MessageKind::PublicLine, false, "#LL0\xA4x"},
        {"hello", MessageKind::PublicLine, false, "hello"},
        {"#HI!", MessageKind::PublicLine, false, "#HI!"}, // shorter than five
        {"#", MessageKind::PublicLine, false, "#"},
        {"", MessageKind::PublicLine, false, ""},
        {"\xA4", MessageKind::PublicLine, false, "\xA4"},
        {"a#bc#", MessageKind::PublicLine, false, "a#bc#"},
    };
    for (const auto& c : cases) {
        const ClassifiedMessage m = classifyMessage(c.text);
        EXPECT_EQ(m.kind, c.kind) << c.text.toStdString();
        EXPECT_EQ(m.firstLine, c.firstLine) << c.text.toStdString();
        EXPECT_EQ(m.body, c.body) << c.text.toStdString();
    }
}

TEST(ChatProtocol, ComputerAndGroupSplitAtTheFirstSeparator) {
    EXPECT_EQ(splitComputerAndGroup("PC<@>WG"), std::make_pair(QByteArray("PC"), QByteArray("WG")));
    EXPECT_EQ(splitComputerAndGroup("PC<@>W<@>G"),
              std::make_pair(QByteArray("PC"), QByteArray("W<@>G")));
    EXPECT_EQ(splitComputerAndGroup("PC"), std::make_pair(QByteArray("PC"), QByteArray()));
    EXPECT_EQ(splitComputerAndGroup("<@>"), std::make_pair(QByteArray(), QByteArray()));
}

TEST(CommaText, Splitting) {
    struct Case {
        QString text;
        QStringList items;
    } cases[] = {
        {"a,b,c", {"a", "b", "c"}},
        {"a b", {"a", "b"}},
        {"\"a b\",c", {"a b", "c"}},
        {"\"say \"\"hi\"\"\",x", {"say \"hi\"", "x"}},
        {"a,,b", {"a", "", "b"}},
        {"a,", {"a", ""}},
        {"  a ,  b  ", {"a", "b"}},
        {"\"\"", {""}},
        {"", {}},
        {"\"unterminated, text", {"unterminated, text"}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(splitCommaText(c.text), c.items) << c.text.toStdString();
}

TEST(CommaText, JoinedLinesComeBackUnchanged) {
    const QList<QStringList> lists = {
        {"plain", "with space", "with,comma", "with \"quote\"", "", "\ttab", "last"},
        {""},
        {"", ""},
        {"one"},
    };
    for (const auto& lines : lists)
        EXPECT_EQ(splitCommaText(joinCommaText(lines)), lines)
            << joinCommaText(lines).toStdString();
}
