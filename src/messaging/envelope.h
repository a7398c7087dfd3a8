#pragma once
// What a copy that has an identity key adds to a chat payload: after the zero byte that
// ends the encoded plain text, where older copies stop reading, an envelope that signs a
// control message or carries a line sealed for its one recipient. docs/protocol.md
// ("Envelope") gives every byte.
//
// A signed payload keeps its plain text, so an older copy reads the greeting, answer,
// identity or goodbye as before. A sealed payload shows the plain text "#ENC#", a tag older
// copies ignore, and carries the real plain text (tags and all) sealed.

#include "crypto/identity_key.h"
#include "crypto/sealing.h"

#include <QByteArray>
#include <QByteArrayView>

#include <cstdint>
#include <optional>

namespace kalvento::messaging {

inline constexpr char kSealedTag[] = "#ENC#";

enum class EnvelopeKind : std::uint8_t { Signed = 1, Sealed = 2 };

// What the datagram says around the payload, bound into every signature and seal so that a
// payload cannot be moved to another sender, recipient or datagram: the terminal header's
// sender id, and the frame's sender computer and target as their bytes went on the wire.
struct EnvelopeContext {
    std::uint32_t senderId = 0;
    QByteArray senderComputer;
    QByteArray target;
};

struct Envelope {
    EnvelopeKind kind = EnvelopeKind::Signed;
    std::uint64_t counter = 0;
    crypto::PublicKey senderKey{};
    QByteArray body; // the signature, or the nonce and ciphertext
};

// A received payload taken apart (no check made yet).
struct SplitPayload {
    QByteArray visible;               // the encoded plain text, decoded and cut as always
    std::optional<Envelope> envelope; // present when the payload carries a well-formed one
    bool damagedEnvelope = false;     // bytes after the zero that claim to be one and are not
};
SplitPayload splitPayload(QByteArrayView payload);

// The payload of a control message (or a plain line) signed by own.
QByteArray signedPayload(const crypto::IdentityKey& own, std::uint64_t counter,
                         const EnvelopeContext& context, QByteArrayView plain);
// The payload of a line sealed with the pair's sending key. The nonce is random unless
// given (the test vectors).
QByteArray sealedPayload(const crypto::IdentityKey& own, const crypto::PairKeys& keys,
                         std::uint64_t counter, const EnvelopeContext& context,
                         QByteArrayView plain, const crypto::Nonce* nonce = nullptr);

// Whether a signed envelope holds for the visible plain text in its context.
bool verifySigned(const Envelope& envelope, const EnvelopeContext& context, QByteArrayView visible);
// The sealed plain text, or nothing when the envelope was not sealed for keys' receiving
// direction in this context or was changed on the way.
std::optional<QByteArray> openSealed(const Envelope& envelope, const crypto::PairKeys& keys,
                                     const EnvelopeContext& context);

} // namespace kalvento::messaging
