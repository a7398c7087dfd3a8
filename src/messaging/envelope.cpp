#include "messaging/envelope.h"

#include "messaging/chat_protocol.h"

#include <QtEndian>

namespace kalvento::messaging {

namespace {

constexpr char kMagic[] = "KVX";
constexpr std::uint8_t kVersion = 1;
// magic, version, kind, counter, sender key
constexpr qsizetype kHeaderSize = 3 + 1 + 1 + 8 + crypto::kPublicKeySize;

QByteArray header(EnvelopeKind kind, std::uint64_t counter, const crypto::PublicKey& key) {
    QByteArray out(kMagic, 3);
    out.append(char(kVersion));
    out.append(char(kind));
    char be[8];
    qToBigEndian(counter, be);
    out.append(be, 8);
    out.append(crypto::toBytes(key));
    return out;
}

void appendShort(QByteArray& out, QByteArrayView bytes) {
    out.append(char(std::min<qsizetype>(bytes.size(), 255)));
    out.append(bytes.first(std::min<qsizetype>(bytes.size(), 255)));
}

// What a signature covers, and a seal's associated data: the envelope's header, then the
// context, then (for a signature) the visible plain text.
QByteArray boundBytes(const QByteArray& head, const EnvelopeContext& context,
                      QByteArrayView visible) {
    QByteArray out = head;
    char le[4];
    qToLittleEndian(context.senderId, le);
    out.append(le, 4);
    appendShort(out, context.senderComputer);
    appendShort(out, context.target);
    out.append(visible);
    return out;
}

} // namespace

SplitPayload splitPayload(QByteArrayView payload) {
    SplitPayload split;
    split.visible = plainTextFromPayload(payload);
    const qsizetype zero = payload.indexOf('\0');
    if (zero < 0)
        return split;
    const QByteArrayView rest = payload.sliced(zero + 1);
    if (!rest.startsWith(QByteArrayView(kMagic, 3)))
        return split; // nothing of ours: older copies send nothing after the zero
    if (rest.size() < kHeaderSize || std::uint8_t(rest[3]) != kVersion) {
        split.damagedEnvelope = true;
        return split;
    }
    const auto kind = std::uint8_t(rest[4]);
    const QByteArrayView body = rest.sliced(kHeaderSize);
    const bool wellFormed =
        (kind == std::uint8_t(EnvelopeKind::Signed) && body.size() == crypto::kSignatureSize) ||
        (kind == std::uint8_t(EnvelopeKind::Sealed) && body.size() >= crypto::kSealOverhead);
    const auto key = crypto::publicKeyFromBytes(rest.sliced(13, crypto::kPublicKeySize));
    if (!wellFormed || !key) {
        split.damagedEnvelope = true;
        return split;
    }
    Envelope envelope;
    envelope.kind = EnvelopeKind(kind);
    envelope.counter = qFromBigEndian<std::uint64_t>(rest.data() + 5);
    envelope.senderKey = *key;
    envelope.body = body.toByteArray();
    split.envelope = std::move(envelope);
    return split;
}

QByteArray signedPayload(const crypto::IdentityKey& own, std::uint64_t counter,
                         const EnvelopeContext& context, QByteArrayView plain) {
    const QByteArray head = header(EnvelopeKind::Signed, counter, own.publicKey());
    const crypto::Signature signature = own.sign(boundBytes(head, context, plain));
    return payloadFromPlainText(plain) + head +
           QByteArray(reinterpret_cast<const char*>(signature.data()), crypto::kSignatureSize);
}

QByteArray sealedPayload(const crypto::IdentityKey& own, const crypto::PairKeys& keys,
                         std::uint64_t counter, const EnvelopeContext& context,
                         QByteArrayView plain, const crypto::Nonce* nonce) {
    const QByteArray head = header(EnvelopeKind::Sealed, counter, own.publicKey());
    const QByteArray associated = boundBytes(head, context, kSealedTag);
    const QByteArray sealed = nonce
                                  ? crypto::sealWithNonce(keys.sending(), *nonce, associated, plain)
                                  : crypto::seal(keys.sending(), associated, plain);
    return payloadFromPlainText(kSealedTag) + head + sealed;
}

bool verifySigned(const Envelope& envelope, const EnvelopeContext& context,
                  QByteArrayView visible) {
    if (envelope.kind != EnvelopeKind::Signed || envelope.body.size() != crypto::kSignatureSize)
        return false;
    crypto::Signature signature{};
    std::copy(envelope.body.begin(), envelope.body.end(), signature.begin());
    const QByteArray head = header(envelope.kind, envelope.counter, envelope.senderKey);
    return crypto::verify(envelope.senderKey, boundBytes(head, context, visible), signature);
}

std::optional<QByteArray> openSealed(const Envelope& envelope, const crypto::PairKeys& keys,
                                     const EnvelopeContext& context) {
    if (envelope.kind != EnvelopeKind::Sealed)
        return std::nullopt;
    const QByteArray head = header(envelope.kind, envelope.counter, envelope.senderKey);
    return crypto::open(keys.receiving(), boundBytes(head, context, kSealedTag), envelope.body);
}

} // namespace kalvento::messaging
