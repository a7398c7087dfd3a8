#include "messaging/crc32.h"

#include <QByteArray>

#include <gtest/gtest.h>

using kalvento::messaging::crc32;

TEST(Crc32, MatchesTheStandardCheckValues) {
    struct Case {
        QByteArray data;
        quint32 crc;
    } cases[] = {
        {"", 0x00000000u},
        {"123456789", 0xCBF43926u},
        {"a", 0xE8B7BE43u},
        {"The quick brown fox jumps over the lazy dog", 0x414FA339u},
        {QByteArray(32, '\0'), 0x190A55ADu},
        {QByteArray(32, '\xFF'), 0xFF6CAB0Bu},
    };
    for (const auto& c : cases)
        EXPECT_EQ(crc32(c.data), c.crc) << c.data.toHex().constData();
}

TEST(Crc32, ContinuesOverSplitInput) {
    const QByteArray all = "The quick brown fox jumps over the lazy dog";
    for (qsizetype cut = 0; cut <= all.size(); ++cut)
        EXPECT_EQ(crc32(all.sliced(cut), crc32(all.first(cut))), crc32(all)) << cut;
}
