// The datagram frame: any bytes decode or are refused; what decodes encodes back to the same
// bytes and decodes again to the same frame.

#include "fuzz_support.h"

#include "network/datagram_frame.h"

using namespace kalvento::network;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const auto input = kalvento::fuzz::bytes(data, size);
    const std::optional<Frame> frame = decodeFrame(input);
    if (!frame)
        return 0;
    const QByteArray encoded = encodeFrame(*frame);
    KALVENTO_FUZZ_CHECK(encoded == input);
    const std::optional<Frame> again = decodeFrame(encoded);
    KALVENTO_FUZZ_CHECK(
        again && again->type == frame->type && again->body == frame->body &&
        again->target == frame->target && again->senderComputer == frame->senderComputer &&
        again->senderGroup == frame->senderGroup && again->receivingName == frame->receivingName &&
        again->senderPort == frame->senderPort);
    // Names compare with themselves whatever their bytes.
    KALVENTO_FUZZ_CHECK(sameWireName(frame->target, frame->target));
    return 0;
}
