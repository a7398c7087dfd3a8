#pragma once
// The standard reflected CRC-32 of IEEE 802.3 (polynomial 0xEDB88320 reflected, initial
// value and final exclusive-or 0xFFFFFFFF), the one zlib and PNG use.

#include <QByteArrayView>

namespace kalvento::messaging {

quint32 crc32(QByteArrayView data);

// Continues a CRC over further bytes: crc32(b, crc32(a)) == crc32(a + b).
quint32 crc32(QByteArrayView data, quint32 previous);

} // namespace kalvento::messaging
