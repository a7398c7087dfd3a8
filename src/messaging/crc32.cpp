#include "messaging/crc32.h"

#include <array>

namespace kalvento::messaging {

namespace {

constexpr std::array<quint32, 256> makeTable() {
    std::array<quint32, 256> table{};
    for (quint32 n = 0; n < 256; ++n) {
        quint32 c = n;
        for (int bit = 0; bit < 8; ++bit)
            c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        table[n] = c;
    }
    return table;
}

constexpr std::array<quint32, 256> kTable = makeTable();

} // namespace

quint32 crc32(QByteArrayView data, quint32 previous) {
    quint32 c = previous ^ 0xFFFFFFFFu;
    for (const char byte : data)
        c = kTable[(c ^ quint8(byte)) & 0xFF] ^ (c >> 8);
    return c ^ 0xFFFFFFFFu;
}

quint32 crc32(QByteArrayView data) {
    return crc32(data, 0);
}

} // namespace kalvento::messaging
