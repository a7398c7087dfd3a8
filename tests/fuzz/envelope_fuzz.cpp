// The envelope after a payload's zero byte: any bytes are taken apart without harm, an
// envelope found in them never verifies or opens unless it was made with the key, and a
// well-formed one taken apart again gives the same fields.

#include "fuzz_support.h"

#include "messaging/chat_protocol.h"
#include "messaging/envelope.h"

using namespace kalvento;
using namespace kalvento::messaging;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const crypto::IdentityKey own = crypto::IdentityKey::fromSeed(QByteArray(32, '\x07'));
    static const crypto::PairKeys self = *crypto::PairKeys::derive(own, own.publicKey());
    const auto input = kalvento::fuzz::bytes(data, size);
    const SplitPayload split = splitPayload(input);
    KALVENTO_FUZZ_CHECK(!(split.envelope && split.damagedEnvelope));
    KALVENTO_FUZZ_CHECK(split.visible == plainTextFromPayload(input));
    if (!split.envelope)
        return 0;
    const EnvelopeContext context{1, "PC1", "PC2"};
    // Random bytes are no signature and no seal for a key the input does not hold.
    if (split.envelope->kind == EnvelopeKind::Sealed)
        KALVENTO_FUZZ_CHECK(!openSealed(*split.envelope, self, context));
    KALVENTO_FUZZ_CHECK(!verifySigned(*split.envelope, context, split.visible) ||
                        split.envelope->senderKey != own.publicKey());
    return 0;
}
