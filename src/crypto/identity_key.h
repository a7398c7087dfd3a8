#pragma once
// A copy's long-term identity: an Ed25519 key pair made at the first start and kept in a
// file of the settings folder that only its owner can read. The secret half never leaves
// this class: it signs, and it derives the keys shared with another copy (pair_keys.h).

#include "platform/result.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <array>
#include <cstdint>
#include <optional>

namespace kalvento::crypto {

inline constexpr int kPublicKeySize = 32;
inline constexpr int kSignatureSize = 64;
inline constexpr int kSeedSize = 32;

using PublicKey = std::array<std::uint8_t, kPublicKeySize>;
using Signature = std::array<std::uint8_t, kSignatureSize>;

// Starts libsodium once; every function of this folder calls it. False when the library
// cannot start (no source of randomness), and nothing here may be used then.
bool initialise();

class IdentityKey {
public:
    IdentityKey(const IdentityKey& other);
    IdentityKey& operator=(const IdentityKey& other);
    ~IdentityKey();

    // A new key from the system's randomness.
    static IdentityKey generate();
    // The key a 32-byte seed gives (the test vectors; the key file holds the seed).
    static IdentityKey fromSeed(QByteArrayView seed);

    struct Loaded;
    // Reads the key file at path, or makes a key and writes the file when there is none.
    // A file that exists but cannot be read or is damaged is an error and is left as it is:
    // replacing it would change the identity every other copy has pinned.
    static Loaded loadOrCreate(const QString& path);
    // Writes the seed to path atomically, the file readable and writable by its owner only.
    platform::Result save(const QString& path) const;

    const PublicKey& publicKey() const { return m_public; }
    Signature sign(QByteArrayView message) const;

private:
    IdentityKey() = default;
    friend class PairKeys;

    PublicKey m_public{};
    std::array<std::uint8_t, 64> m_secret{}; // libsodium's secret key: the seed, then m_public
};

struct IdentityKey::Loaded {
    std::optional<IdentityKey> key;
    bool created = false;
    QString error; // the file and the reason, when key is empty
};

bool verify(const PublicKey& key, QByteArrayView message, const Signature& signature);

// The key as a person reads it aloud: six groups of five digits ("05870 41293 ...").
QString fingerprint(const PublicKey& key);
// The first group alone, to tell apart two computers that show the same name.
QString shortFingerprint(const PublicKey& key);
// What two people compare to verify each other: both fingerprints, the smaller key's
// first, so that both sides show the same twelve groups.
QString safetyNumber(const PublicKey& a, const PublicKey& b);

// A key from its 32 bytes, or nothing when the bytes are not a valid Ed25519 point.
std::optional<PublicKey> publicKeyFromBytes(QByteArrayView bytes);
QByteArray toBytes(const PublicKey& key);

} // namespace kalvento::crypto
