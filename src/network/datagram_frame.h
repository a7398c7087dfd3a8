#pragma once
// The bytes of one UDP datagram of the datagram service: a small header naming the
// target, the receiving name and the sender, then the body. docs/protocol.md describes
// the layout; this is its only encoder and decoder.

#include "network/datagram_network.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QStringView>

#include <optional>

namespace kalvento::network {

enum class FrameType : quint8 {
    Data = 1,       // body: one datagram for a receiving name
    WalkQuery = 2,  // body: 4-byte query number
    WalkAnswer = 3, // body: the query number being answered
};

inline constexpr char kFrameMagic[] = "KVD";
inline constexpr quint8 kFrameVersion = 1;
// Longest name on the wire, in bytes; longer names are cut.
inline constexpr int kMaxWireNameLength = 63;
// Magic, version, type, port, then four length-prefixed names.
inline constexpr int kMinFrameSize = 3 + 1 + 1 + 2 + 4;
inline constexpr int kMaxFrameHeaderSize = kMinFrameSize + 4 * kMaxWireNameLength;
inline constexpr int kWalkBodySize = 4;

struct Frame {
    FrameType type = FrameType::Data;
    // Port of the sender's receiving endpoint; where answers and later unicasts go.
    quint16 senderPort = 0;
    QByteArray target;         // computer or group name the frame is for (Data)
    QByteArray receivingName;  // receiving name it is for (Data)
    QByteArray senderComputer; // sender's computer name
    QByteArray senderGroup;    // sender's group name (the walk's answer)
    QByteArray body;
};

// wireName and sameWireName (datagram_network.h): a name as it travels, cut to
// kMaxWireNameLength bytes.

// Names longer than kMaxWireNameLength bytes are cut.
QByteArray encodeFrame(const Frame& frame);
// nullopt for anything that is not a well-formed frame of this version: short, wrong
// magic or version, unknown type, a name overrunning the frame or longer than allowed,
// a data body over kMaxDatagramSize or a walk body not exactly kWalkBodySize bytes.
std::optional<Frame> decodeFrame(QByteArrayView bytes);

} // namespace kalvento::network
