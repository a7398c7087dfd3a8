#include "crypto/sealing.h"

#include <sodium.h>

#include <algorithm>

namespace kalvento::crypto {

namespace {

const unsigned char* bytesOf(QByteArrayView v) {
    return reinterpret_cast<const unsigned char*>(v.data());
}

using CurveKey = std::array<unsigned char, crypto_kx_PUBLICKEYBYTES>;

} // namespace

PairKeys::~PairKeys() {
    sodium_memzero(m_sending.data(), m_sending.size());
    sodium_memzero(m_receiving.data(), m_receiving.size());
}

std::optional<PairKeys> PairKeys::derive(const IdentityKey& own, const PublicKey& peer) {
    if (!initialise())
        return std::nullopt;
    CurveKey ownPublic{}, peerPublic{};
    std::array<unsigned char, crypto_kx_SECRETKEYBYTES> ownSecret{};
    if (crypto_sign_ed25519_pk_to_curve25519(peerPublic.data(), peer.data()) != 0 ||
        crypto_sign_ed25519_pk_to_curve25519(ownPublic.data(), own.m_public.data()) != 0 ||
        crypto_sign_ed25519_sk_to_curve25519(ownSecret.data(), own.m_secret.data()) != 0)
        return std::nullopt;

    PairKeys keys;
    const bool client = std::lexicographical_compare(own.m_public.begin(), own.m_public.end(),
                                                     peer.begin(), peer.end());
    const int derived =
        client || own.m_public == peer
            ? crypto_kx_client_session_keys(keys.m_receiving.data(), keys.m_sending.data(),
                                            ownPublic.data(), ownSecret.data(), peerPublic.data())
            : crypto_kx_server_session_keys(keys.m_receiving.data(), keys.m_sending.data(),
                                            ownPublic.data(), ownSecret.data(), peerPublic.data());
    sodium_memzero(ownSecret.data(), ownSecret.size());
    if (derived != 0)
        return std::nullopt; // a peer key of small order
    if (own.m_public == peer)
        keys.m_receiving = keys.m_sending;
    return keys;
}

QByteArray sealWithNonce(const SessionKey& key, const Nonce& nonce, QByteArrayView associated,
                         QByteArrayView plain) {
    initialise();
    QByteArray sealed(kNonceSize + plain.size() + kTagSize, Qt::Uninitialized);
    std::copy(nonce.begin(), nonce.end(), sealed.begin());
    unsigned long long length = 0;
    crypto_aead_xchacha20poly1305_ietf_encrypt(
        reinterpret_cast<unsigned char*>(sealed.data()) + kNonceSize, &length, bytesOf(plain),
        static_cast<unsigned long long>(plain.size()), bytesOf(associated),
        static_cast<unsigned long long>(associated.size()), nullptr, nonce.data(), key.data());
    sealed.resize(kNonceSize + qsizetype(length));
    return sealed;
}

QByteArray seal(const SessionKey& key, QByteArrayView associated, QByteArrayView plain) {
    initialise();
    Nonce nonce{};
    randombytes_buf(nonce.data(), nonce.size());
    return sealWithNonce(key, nonce, associated, plain);
}

std::optional<QByteArray> open(const SessionKey& key, QByteArrayView associated,
                               QByteArrayView sealed) {
    initialise();
    if (sealed.size() < kSealOverhead)
        return std::nullopt;
    QByteArray plain(sealed.size() - kSealOverhead, Qt::Uninitialized);
    unsigned long long length = 0;
    const auto* nonce = bytesOf(sealed);
    if (crypto_aead_xchacha20poly1305_ietf_decrypt(
            reinterpret_cast<unsigned char*>(plain.data()), &length, nullptr, nonce + kNonceSize,
            static_cast<unsigned long long>(sealed.size() - kNonceSize), bytesOf(associated),
            static_cast<unsigned long long>(associated.size()), nonce, key.data()) != 0)
        return std::nullopt;
    plain.resize(qsizetype(length));
    return plain;
}

} // namespace kalvento::crypto
