#include "crypto/identity_key.h"

#include "support/qt_print.h"

#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <sys/stat.h>

using namespace kalvento::crypto;

namespace {

QByteArray hex(const char* text) {
    return QByteArray::fromHex(text);
}

// RFC 8032, 7.1, test 1: the key a seed gives and its signature of the empty message.
const QByteArray kSeed = hex("9d61b19deffd5a60ba844af492ec2cc44449c5697b326919703bac031cae7f60");
const QByteArray kPublic = hex("d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a");
const QByteArray kSignatureOfEmpty =
    hex("e5564300c360ac729086e2cc806e828a84877f1eb8e5d974d873e065224901555fb8821590a33bacc61e"
        "39701cf9b46bd25bf5f0595bbe24655141438e7a100b");

Signature signatureFrom(const QByteArray& bytes) {
    Signature s{};
    std::copy(bytes.begin(), bytes.end(), s.begin());
    return s;
}

} // namespace

TEST(IdentityKey, ASeedGivesTheStandardKeyAndSignature) {
    const IdentityKey key = IdentityKey::fromSeed(kSeed);
    EXPECT_EQ(toBytes(key.publicKey()), kPublic);
    const Signature s = key.sign("");
    EXPECT_EQ(QByteArray(reinterpret_cast<const char*>(s.data()), kSignatureSize),
              kSignatureOfEmpty);
    EXPECT_TRUE(verify(key.publicKey(), "", signatureFrom(kSignatureOfEmpty)));
}

TEST(IdentityKey, ASignatureHoldsForItsMessageAndKeyOnly) {
    const IdentityKey a = IdentityKey::generate();
    const IdentityKey b = IdentityKey::generate();
    const Signature s = a.sign("#HI!#PC1<@>WORKGROUP");
    EXPECT_TRUE(verify(a.publicKey(), "#HI!#PC1<@>WORKGROUP", s));
    EXPECT_FALSE(verify(a.publicKey(), "#HI!#PC2<@>WORKGROUP", s));
    EXPECT_FALSE(verify(b.publicKey(), "#HI!#PC1<@>WORKGROUP", s));
    Signature flipped = s;
    flipped[10] ^= 1;
    EXPECT_FALSE(verify(a.publicKey(), "#HI!#PC1<@>WORKGROUP", flipped));
}

TEST(IdentityKey, TheKeyFileIsMadeOnceForItsOwnerAndReadBack) {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("identity.key"));
    IdentityKey::Loaded first = IdentityKey::loadOrCreate(path);
    ASSERT_TRUE(first.key) << first.error.toStdString();
    EXPECT_TRUE(first.created);
    struct stat info {};
    ASSERT_EQ(::stat(QFile::encodeName(path).constData(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files).size(), 1) << "no temporary file left";

    IdentityKey::Loaded second = IdentityKey::loadOrCreate(path);
    ASSERT_TRUE(second.key) << second.error.toStdString();
    EXPECT_FALSE(second.created);
    EXPECT_EQ(second.key->publicKey(), first.key->publicKey());
    // The same secret: what one signs the other's public key verifies.
    EXPECT_TRUE(verify(first.key->publicKey(), "x", second.key->sign("x")));
}

TEST(IdentityKey, ADamagedOrUnreadableKeyFileIsReportedAndKept) {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("identity.key"));
    for (const QByteArray& damaged : {QByteArray("kalvento-identity-key 1\nnot base64!\n"),
                                      QByteArray("kalvento-identity-key 1\nAAAA\n"),
                                      QByteArray("something else\n"), QByteArray()}) {
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(damaged);
        f.close();
        IdentityKey::Loaded loaded = IdentityKey::loadOrCreate(path);
        EXPECT_FALSE(loaded.key) << damaged.constData();
        EXPECT_TRUE(loaded.error.contains(QStringLiteral("identity.key")))
            << loaded.error.toStdString();
        ASSERT_TRUE(f.open(QIODevice::ReadOnly));
        EXPECT_EQ(f.readAll(), damaged) << "the file is left as it was";
    }
    if (::geteuid() != 0) {
        QFile::setPermissions(path, QFileDevice::Permissions());
        EXPECT_FALSE(IdentityKey::loadOrCreate(path).key);
    }
}

TEST(IdentityKey, AKeyThatCannotBeWrittenIsAnErrorNotASilentNewIdentity) {
    const IdentityKey::Loaded loaded =
        IdentityKey::loadOrCreate(QStringLiteral("/nonexistent-folder/identity.key"));
    EXPECT_FALSE(loaded.key);
    EXPECT_TRUE(loaded.error.contains(QStringLiteral("/nonexistent-folder/identity.key")))
        << loaded.error.toStdString();
}

TEST(Fingerprint, IsSixGroupsOfDigitsAndTheSafetyNumberIsTheSameOnBothSides) {
    const IdentityKey a = IdentityKey::fromSeed(kSeed);
    const IdentityKey b = IdentityKey::generate();
    const QString fa = fingerprint(a.publicKey());
    EXPECT_TRUE(QRegularExpression(QStringLiteral("^\\d{5}( \\d{5}){5}$")).match(fa).hasMatch())
        << fa.toStdString();
    EXPECT_NE(fa, fingerprint(b.publicKey()));
    EXPECT_EQ(shortFingerprint(a.publicKey()), fa.left(5));
    EXPECT_EQ(safetyNumber(a.publicKey(), b.publicKey()),
              safetyNumber(b.publicKey(), a.publicKey()));
    EXPECT_TRUE(safetyNumber(a.publicKey(), b.publicKey()).contains(fa));
}

TEST(PublicKeyBytes, OnlyThirtyTwoBytesOfAPointAreAKey) {
    EXPECT_TRUE(publicKeyFromBytes(kPublic));
    EXPECT_FALSE(publicKeyFromBytes(kPublic.left(31)));
    EXPECT_FALSE(publicKeyFromBytes(kPublic + '\0'));
    // The identity point and a point of small order share no key with anybody.
    EXPECT_FALSE(publicKeyFromBytes(
        hex("0100000000000000000000000000000000000000000000000000000000000000")));
    EXPECT_FALSE(publicKeyFromBytes(
        hex("0000000000000000000000000000000000000000000000000000000000000000")));
}
