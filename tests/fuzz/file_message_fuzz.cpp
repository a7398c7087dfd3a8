// A file transfer's chat message as any bytes: a message taken is written back byte for
// byte and read the same again, and holds only what a receiver may show or use.

#include "fuzz_support.h"

#include "transfer/transfer_wire.h"

using namespace kalvento;
using namespace kalvento::transfer;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArrayView input = fuzz::bytes(data, size);
    const auto message = decodeFileMessage(input);
    if (!message)
        return 0;
    KALVENTO_FUZZ_CHECK(message->name.size() <= kMaxNameBytes);
    KALVENTO_FUZZ_CHECK(message->reason.size() <= kMaxReasonBytes);
    if (message->kind == FileMessage::Kind::Offer)
        KALVENTO_FUZZ_CHECK(checkRelativePath(message->name).isEmpty() &&
                            !message->name.contains('/'));
    const QByteArray again = encodeFileMessage(*message);
    KALVENTO_FUZZ_CHECK(again == input);
    const auto reread = decodeFileMessage(again);
    KALVENTO_FUZZ_CHECK(reread && reread->kind == message->kind && reread->id == message->id &&
                        reread->port == message->port && reread->files == message->files &&
                        reread->bytes == message->bytes && reread->name == message->name &&
                        reread->reason == message->reason);
    return 0;
}
