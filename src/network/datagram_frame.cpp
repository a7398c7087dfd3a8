#include "network/datagram_frame.h"

#include "network/datagram_network.h"
#include "platform/text_codec.h"

namespace kalvento::network {

using platform::cutAtCharacter;
using platform::fromWire;
using platform::toWire;

static_assert(kMaxFrameHeaderSize + kMaxDatagramSize <= 65507,
              "a full frame must fit in one IPv4 UDP datagram");

QByteArray wireName(QStringView name) {
    return toWire(name, kMaxWireNameLength);
}

bool sameWireName(QByteArrayView a, QByteArrayView b) {
    return fromWire(a).compare(fromWire(b), Qt::CaseInsensitive) == 0;
}

namespace {

void appendName(QByteArray& out, const QByteArray& name) {
    const QByteArray cut = cutAtCharacter(name, kMaxWireNameLength);
    out.append(char(cut.size()));
    out.append(cut);
}

bool takeName(QByteArrayView bytes, qsizetype& at, QByteArray& name) {
    if (at >= bytes.size())
        return false;
    const int length = quint8(bytes[at++]);
    if (length > kMaxWireNameLength || length > bytes.size() - at)
        return false;
    name = bytes.sliced(at, length).toByteArray();
    at += length;
    return true;
}

} // namespace

QByteArray encodeFrame(const Frame& frame) {
    QByteArray out;
    out.reserve(kMaxFrameHeaderSize + frame.body.size());
    out.append(kFrameMagic, 3);
    out.append(char(kFrameVersion));
    out.append(char(frame.type));
    out.append(char(frame.senderPort >> 8));
    out.append(char(frame.senderPort & 0xFF));
    appendName(out, frame.target);
    appendName(out, frame.receivingName);
    appendName(out, frame.senderComputer);
    appendName(out, frame.senderGroup);
    out.append(frame.body);
    return out;
}

std::optional<Frame> decodeFrame(QByteArrayView bytes) {
    if (bytes.size() < kMinFrameSize || bytes.first(3) != QByteArrayView(kFrameMagic, 3) ||
        quint8(bytes[3]) != kFrameVersion)
        return std::nullopt;
    Frame frame;
    const quint8 type = quint8(bytes[4]);
    if (type < quint8(FrameType::Data) || type > quint8(FrameType::WalkAnswer))
        return std::nullopt;
    frame.type = FrameType(type);
    frame.senderPort = quint16(quint8(bytes[5]) << 8 | quint8(bytes[6]));
    qsizetype at = 7;
    if (!takeName(bytes, at, frame.target) || !takeName(bytes, at, frame.receivingName) ||
        !takeName(bytes, at, frame.senderComputer) || !takeName(bytes, at, frame.senderGroup))
        return std::nullopt;
    const qsizetype bodySize = bytes.size() - at;
    if (frame.type == FrameType::Data ? bodySize > qsizetype(kMaxDatagramSize)
                                      : bodySize != kWalkBodySize)
        return std::nullopt;
    frame.body = bytes.sliced(at).toByteArray();
    return frame;
}

} // namespace kalvento::network
