#include "network/datagram_frame.h"

#include "network/datagram_network.h"

#include "support/test_data.h"

#include <gtest/gtest.h>

using namespace kalvento::platform;
using namespace kalvento::network;
using kalvento::test::bytes;

TEST(DatagramFrame, LaysOutTheHeaderAsDocumented) {
    const Frame frame{FrameType::Data, 0x1661, "PC2", "Terminal", "PC1", "WORKGROUP", "hi"};
    const QByteArray expected = QByteArray("KVD") + bytes({1, 1, 0x16, 0x61, 3}) + "PC2" +
                                bytes({8}) + "Terminal" + bytes({3}) + "PC1" + bytes({9}) +
                                "WORKGROUP" + "hi";
    EXPECT_EQ(encodeFrame(frame), expected);

    const auto decoded = decodeFrame(expected);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->type, FrameType::Data);
    EXPECT_EQ(decoded->senderPort, 0x1661);
    EXPECT_EQ(decoded->target, "PC2");
    EXPECT_EQ(decoded->receivingName, "Terminal");
    EXPECT_EQ(decoded->senderComputer, "PC1");
    EXPECT_EQ(decoded->senderGroup, "WORKGROUP");
    EXPECT_EQ(decoded->body, "hi");
}

TEST(DatagramFrame, NamesAreUtf8CutTo63BytesAtACharacter) {
    EXPECT_EQ(wireName(QStringLiteral("caf\u00E9")), QByteArray("caf\xC3\xA9"));
    const QByteArray cut = wireName(QString(100, QLatin1Char('x')));
    EXPECT_EQ(cut.size(), kMaxWireNameLength);
    // 40 two-byte letters: 31 of them fit, never half of the 32nd.
    EXPECT_EQ(wireName(QString(40, QChar(0x017C))), QString(31, QChar(0x017C)).toUtf8());

    Frame frame;
    frame.target = QByteArray(80, 'T');
    frame.senderGroup = QByteArray(64, 'G');
    frame.senderComputer = QString(40, QChar(0x4E2D)).toUtf8(); // three bytes each
    const auto decoded = decodeFrame(encodeFrame(frame));
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->target, QByteArray(63, 'T'));
    EXPECT_EQ(decoded->senderGroup, QByteArray(63, 'G'));
    EXPECT_EQ(decoded->senderComputer, QString(21, QChar(0x4E2D)).toUtf8());
}

TEST(DatagramFrame, NameComparisonIgnoresCaseAcrossTheCodePage) {
    EXPECT_TRUE(sameWireName("Workgroup", "WORKGROUP"));
    EXPECT_TRUE(sameWireName("caf\xE9", "CAF\xC9")); // é / É from an older copy
    EXPECT_TRUE(sameWireName("\xC5\x81\xC3\xB3"
                             "d\xC5\xBA",
                             "\xC5\x81\xC3\x93"
                             "D\xC5\xB9"));              // Łódź / ŁÓDŹ
    EXPECT_TRUE(sameWireName("caf\xC3\xA9", "CAF\xC9")); // the same name from a new and an old copy
    EXPECT_FALSE(sameWireName("PC1", "PC10"));
    EXPECT_FALSE(sameWireName("", "PC1"));
}

TEST(DatagramFrame, LargestBodyFitsOneUdpDatagram) {
    Frame frame;
    frame.target = frame.receivingName = frame.senderComputer = frame.senderGroup =
        QByteArray(63, 'n');
    frame.body = QByteArray(kMaxDatagramSize, 'b');
    const QByteArray encoded = encodeFrame(frame);
    EXPECT_LE(encoded.size(), 65507);
    EXPECT_TRUE(decodeFrame(encoded));
}

TEST(DatagramFrame, RejectsAnythingMalformed) {
    const QByteArray good = encodeFrame({FrameType::Data, 1, "A", "B", "C", "D", "x"});
    const QByteArray walk = encodeFrame({FrameType::WalkQuery, 1, "", "", "C", "D", "1234"});
    struct Case {
        const char* what;
        QByteArray bytes;
    } cases[] = {
        {"empty", QByteArray()},
        {"magic only", "KVD"},
        {"shorter than the names' lengths", good.first(kMinFrameSize - 1)},
        {"wrong magic", "KVX" + good.mid(3)},
        {"other version", good.first(3) + char(2) + good.mid(4)},
        {"type 0", good.first(4) + char(0) + good.mid(5)},
        {"unknown type", good.first(4) + char(9) + good.mid(5)},
        {"name longer than 63", good.first(7) + char(64) + QByteArray(64, 'n') + good.mid(9)},
        {"name overruns the frame", good.first(7) + char(40) + "A"},
        {"last name missing", good.first(good.size() - 3)},
        {"data body too large", encodeFrame({FrameType::Data, 1, "A", "B", "C", "D",
                                             QByteArray(kMaxDatagramSize + 1, 0)})},
        {"walk body short", walk.first(walk.size() - 1)},
        {"walk body long", walk + 'x'},
    };
    for (const Case& c : cases)
        EXPECT_FALSE(decodeFrame(c.bytes)) << c.what;
    EXPECT_TRUE(decodeFrame(good));
    EXPECT_TRUE(decodeFrame(walk));
    EXPECT_TRUE(decodeFrame(encodeFrame({FrameType::Data, 0, "", "", "", "", ""})))
        << "an empty datagram is still a datagram";
}
