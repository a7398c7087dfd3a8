#include "crypto/identity_key.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <sodium.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kalvento::crypto {

namespace {

constexpr QByteArrayView kKeyFileHeader = "kalvento-identity-key 1\n";
constexpr QByteArrayView kFingerprintDomain = "Kalvento fingerprint 1";
constexpr std::size_t kGroups = 6;
constexpr std::size_t kGroupBytes = 5;

const unsigned char* bytesOf(QByteArrayView v) {
    return reinterpret_cast<const unsigned char*>(v.data());
}

QString systemText(int error) {
    return QString::fromLocal8Bit(std::strerror(error));
}

// Writes bytes to a new file beside path (made readable by its owner only) and renames it
// over path, so that the key file is either the old one or the whole new one.
platform::Result writeSecretFile(const QString& path, QByteArrayView bytes) {
    const QString where = QDir::toNativeSeparators(path);
    const QByteArray directory = QFile::encodeName(QFileInfo(path).absolutePath());
    QByteArray temporary = QFile::encodeName(path) + ".XXXXXX";
    const int fd = ::mkostemp(temporary.data(), O_CLOEXEC); // mode 0600
    if (fd < 0)
        return platform::Result::failure(where + QStringLiteral(": ") + systemText(errno));
    auto fail = [&](int error) {
        ::close(fd);
        ::unlink(temporary.constData());
        return platform::Result::failure(where + QStringLiteral(": ") + systemText(error));
    };
    qsizetype written = 0;
    while (written < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + written, size_t(bytes.size() - written));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return fail(n < 0 ? errno : ENOSPC);
        written += n;
    }
    if (::fsync(fd) != 0)
        return fail(errno);
    if (::close(fd) != 0) {
        const int error = errno;
        ::unlink(temporary.constData());
        return platform::Result::failure(where + QStringLiteral(": ") + systemText(error));
    }
    if (::rename(temporary.constData(), QFile::encodeName(path).constData()) != 0) {
        const int error = errno;
        ::unlink(temporary.constData());
        return platform::Result::failure(where + QStringLiteral(": ") + systemText(error));
    }
    const int dir = ::open(directory.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
    return platform::Result::success();
}

// Five decimal digits from five bytes of the hash, as a 40-bit number modulo 100,000.
QString digitGroup(const unsigned char* five) {
    std::uint64_t value = 0;
    for (int i = 0; i < 5; ++i)
        value = (value << 8) | five[i];
    return QStringLiteral("%1").arg(value % 100000, 5, 10, QLatin1Char('0'));
}

} // namespace

bool initialise() {
    static const bool started = sodium_init() >= 0;
    return started;
}

IdentityKey::IdentityKey(const IdentityKey& other) = default;
IdentityKey& IdentityKey::operator=(const IdentityKey& other) = default;
IdentityKey::~IdentityKey() {
    sodium_memzero(m_secret.data(), m_secret.size());
}

IdentityKey IdentityKey::generate() {
    initialise();
    IdentityKey key;
    crypto_sign_keypair(key.m_public.data(), key.m_secret.data());
    return key;
}

IdentityKey IdentityKey::fromSeed(QByteArrayView seed) {
    initialise();
    Q_ASSERT(seed.size() == kSeedSize);
    IdentityKey key;
    crypto_sign_seed_keypair(key.m_public.data(), key.m_secret.data(), bytesOf(seed));
    return key;
}

IdentityKey::Loaded IdentityKey::loadOrCreate(const QString& path) {
    const QString where = QDir::toNativeSeparators(path);
    QFile file(path);
    if (!file.exists()) {
        Loaded loaded{generate(), true, {}};
        if (platform::Result saved = loaded.key->save(path); !saved)
            return {std::nullopt, false, saved.error};
        return loaded;
    }
    if (!file.open(QIODevice::ReadOnly))
        return {std::nullopt, false, where + QStringLiteral(": ") + file.errorString()};
    QByteArray contents = file.read(4096);
    QByteArray seed;
    if (contents.startsWith(kKeyFileHeader.toByteArray())) {
        QByteArray encoded = contents.mid(kKeyFileHeader.size()).trimmed();
        const auto decoded = QByteArray::fromBase64Encoding(
            encoded, QByteArray::Base64Encoding | QByteArray::AbortOnBase64DecodingErrors);
        if (decoded)
            seed = *decoded;
        sodium_memzero(encoded.data(), size_t(encoded.size()));
    }
    sodium_memzero(contents.data(), size_t(contents.size()));
    if (seed.size() != kSeedSize)
        return {std::nullopt, false,
                where + QStringLiteral(": not an identity key (the file is damaged)")};
    Loaded loaded{fromSeed(seed), false, {}};
    sodium_memzero(seed.data(), size_t(seed.size()));
    return loaded;
}

platform::Result IdentityKey::save(const QString& path) const {
    QByteArray seed(reinterpret_cast<const char*>(m_secret.data()), kSeedSize);
    QByteArray contents = kKeyFileHeader.toByteArray() + seed.toBase64() + '\n';
    platform::Result result = writeSecretFile(path, contents);
    sodium_memzero(seed.data(), size_t(seed.size()));
    sodium_memzero(contents.data(), size_t(contents.size()));
    return result;
}

Signature IdentityKey::sign(QByteArrayView message) const {
    Signature signature{};
    crypto_sign_detached(signature.data(), nullptr, bytesOf(message),
                         static_cast<unsigned long long>(message.size()), m_secret.data());
    return signature;
}

bool verify(const PublicKey& key, QByteArrayView message, const Signature& signature) {
    initialise();
    return crypto_sign_verify_detached(signature.data(), bytesOf(message),
                                       static_cast<unsigned long long>(message.size()),
                                       key.data()) == 0;
}

QString fingerprint(const PublicKey& key) {
    initialise();
    std::array<unsigned char, kGroups * kGroupBytes> hash{};
    crypto_generichash(hash.data(), hash.size(), key.data(), key.size(),
                       bytesOf(kFingerprintDomain), size_t(kFingerprintDomain.size()));
    QStringList groups;
    for (std::size_t i = 0; i < kGroups; ++i)
        groups << digitGroup(hash.data() + kGroupBytes * i);
    return groups.join(QLatin1Char(' '));
}

QString shortFingerprint(const PublicKey& key) {
    return fingerprint(key).left(5);
}

QString safetyNumber(const PublicKey& a, const PublicKey& b) {
    const bool aFirst = std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end());
    return aFirst ? fingerprint(a) + QLatin1Char(' ') + fingerprint(b)
                  : fingerprint(b) + QLatin1Char(' ') + fingerprint(a);
}

std::optional<PublicKey> publicKeyFromBytes(QByteArrayView bytes) {
    initialise();
    if (bytes.size() != kPublicKeySize)
        return std::nullopt;
    PublicKey key{};
    std::memcpy(key.data(), bytes.data(), key.size());
    // A key that is not a point of the curve, or one of small order, can verify nothing and
    // gives no shared key: refuse it where it arrives.
    std::array<unsigned char, crypto_scalarmult_curve25519_BYTES> curve{};
    if (crypto_sign_ed25519_pk_to_curve25519(curve.data(), key.data()) != 0)
        return std::nullopt;
    return key;
}

QByteArray toBytes(const PublicKey& key) {
    return QByteArray(reinterpret_cast<const char*>(key.data()), qsizetype(key.size()));
}

} // namespace kalvento::crypto
