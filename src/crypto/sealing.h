#pragma once
// What two copies share and how a line travels sealed between them. The pair's keys come
// from both identity keys (X25519 on the Ed25519 pairs, then BLAKE2b: libsodium's key
// exchange), one for each direction. A sealed message is a random 24-byte nonce and the
// XChaCha20-Poly1305 ciphertext with its 16-byte tag; the associated data binds it to its
// sender, recipient, kind and counter, which the caller puts there.

#include "crypto/identity_key.h"

#include <QByteArray>
#include <QByteArrayView>

#include <array>
#include <cstdint>
#include <optional>

namespace kalvento::crypto {

inline constexpr int kSessionKeySize = 32;
inline constexpr int kNonceSize = 24;
inline constexpr int kTagSize = 16;
inline constexpr int kSealOverhead = kNonceSize + kTagSize;

using SessionKey = std::array<std::uint8_t, kSessionKeySize>;
using Nonce = std::array<std::uint8_t, kNonceSize>;

class PairKeys {
public:
    // The keys between own and peer, or nothing when peer's key is unusable. The copy whose
    // public key sorts first takes the exchange's client role, so both ends agree without a
    // word; a copy talking to itself seals and opens with one key.
    static std::optional<PairKeys> derive(const IdentityKey& own, const PublicKey& peer);

    PairKeys(const PairKeys&) = default;
    PairKeys& operator=(const PairKeys&) = default;
    ~PairKeys();

    const SessionKey& sending() const { return m_sending; }
    const SessionKey& receiving() const { return m_receiving; }

private:
    PairKeys() = default;
    SessionKey m_sending{};
    SessionKey m_receiving{};
};

// nonce, then the ciphertext and tag of plain.
QByteArray seal(const SessionKey& key, QByteArrayView associated, QByteArrayView plain);
QByteArray sealWithNonce(const SessionKey& key, const Nonce& nonce, QByteArrayView associated,
                         QByteArrayView plain);
// The plain text, or nothing when sealed was not made with key and associated, or was
// changed on the way.
std::optional<QByteArray> open(const SessionKey& key, QByteArrayView associated,
                               QByteArrayView sealed);

} // namespace kalvento::crypto
