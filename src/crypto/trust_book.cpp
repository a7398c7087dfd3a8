#include "crypto/trust_book.h"

#include "platform/atomic_file.h"
#include "platform/system_error.h"

#include <QFile>

#include <utility>

namespace kalvento::crypto {

namespace {

constexpr QByteArrayView kHeader = "# Kalvento known keys 1\n";

QByteArray base64(const PublicKey& key) {
    return toBytes(key).toBase64();
}

std::optional<PublicKey> keyFromBase64(const QByteArray& text) {
    const auto decoded = QByteArray::fromBase64Encoding(
        text, QByteArray::Base64Encoding | QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded)
        return std::nullopt;
    return publicKeyFromBytes(*decoded);
}

// computer (percent-encoded UTF-8), key, trust, high mark, offered key or "-"
std::optional<KnownKey> parseLine(const QByteArray& line) {
    const QList<QByteArray> fields = line.split(' ');
    if (fields.size() != 5)
        return std::nullopt;
    KnownKey known;
    known.computer = QString::fromUtf8(QByteArray::fromPercentEncoding(fields[0]));
    const auto key = keyFromBase64(fields[1]);
    bool numberOk = false;
    const std::uint64_t high = fields[3].toULongLong(&numberOk);
    if (known.computer.isEmpty() || !key || !numberOk)
        return std::nullopt;
    known.key = *key;
    known.window = ReplayWindow(high);
    if (fields[2] == trustName(Trust::Pinned))
        known.trust = Trust::Pinned;
    else if (fields[2] == trustName(Trust::Verified))
        known.trust = Trust::Verified;
    else if (fields[2] == trustName(Trust::Changed))
        known.trust = Trust::Changed;
    else
        return std::nullopt;
    if (fields[4] != "-") {
        known.offered = keyFromBase64(fields[4]);
        if (!known.offered)
            return std::nullopt;
    }
    if ((known.trust == Trust::Changed) != known.offered.has_value())
        return std::nullopt;
    return known;
}

} // namespace

const char* trustName(Trust trust) {
    switch (trust) {
    case Trust::Pinned:
        return "pinned";
    case Trust::Verified:
        return "verified";
    case Trust::Changed:
        return "changed";
    }
    return "pinned";
}

const KnownKey* TrustBook::find(const QString& computer) const {
    const auto it = m_keys.constFind(computer.toCaseFolded());
    return it == m_keys.cend() ? nullptr : &*it;
}

QStringList TrustBook::computers() const {
    QStringList out;
    out.reserve(m_keys.size());
    for (const KnownKey& known : m_keys)
        out.append(known.computer);
    return out;
}

TrustBook::Seen TrustBook::see(const QString& computer, const PublicKey& key) {
    const QString folded = computer.toCaseFolded();
    auto it = m_keys.find(folded);
    if (it == m_keys.end()) {
        if (m_keys.size() >= kMaxKeys)
            makeRoom();
        m_keys.insert(folded, KnownKey{computer, key, Trust::Pinned, std::nullopt, ReplayWindow(),
                                       ++m_seenCount});
        m_dirty = true;
        return Seen::First;
    }
    it->lastSeen = ++m_seenCount;
    if (it->key == key)
        return Seen::Same;
    if (it->trust != Trust::Changed || it->offered != key) {
        it->trust = Trust::Changed;
        it->offered = key;
        m_dirty = true;
    }
    return Seen::Changed;
}

void TrustBook::makeRoom() {
    // Keys not seen in this run (0) go first, then those seen longest ago. A verified key
    // stays: the user compared it.
    auto oldest = m_keys.end();
    for (auto it = m_keys.begin(); it != m_keys.end(); ++it)
        if (it->trust != Trust::Verified &&
            (oldest == m_keys.end() || it->lastSeen < oldest->lastSeen))
            oldest = it;
    if (oldest == m_keys.end())
        return;
    m_evicted.append(oldest->computer);
    m_keys.erase(oldest);
}

QStringList TrustBook::takeEvicted() {
    return std::exchange(m_evicted, {});
}

bool TrustBook::acceptChange(const QString& computer) {
    auto it = m_keys.find(computer.toCaseFolded());
    if (it == m_keys.end() || it->trust != Trust::Changed || !it->offered)
        return false;
    it->key = *it->offered;
    it->offered.reset();
    it->trust = Trust::Pinned;
    it->window = ReplayWindow();
    m_dirty = true;
    return true;
}

bool TrustBook::markVerified(const QString& computer) {
    auto it = m_keys.find(computer.toCaseFolded());
    if (it == m_keys.end() || it->trust == Trust::Changed)
        return false; // a changed key is accepted first, then verified
    if (it->trust != Trust::Verified) {
        it->trust = Trust::Verified;
        m_dirty = true;
    }
    return true;
}

ReplayWindow* TrustBook::window(const QString& computer) {
    auto it = m_keys.find(computer.toCaseFolded());
    if (it == m_keys.end())
        return nullptr;
    m_marksDirty = true; // the caller marks counters in it
    return &it->window;
}

TrustBook::Loaded TrustBook::load(const QString& path) {
    Loaded loaded;
    QFile file(path);
    if (!file.exists())
        return loaded;
    if (!file.open(QIODevice::ReadOnly)) {
        loaded.error = path + QStringLiteral(": ") + file.errorString();
        return loaded;
    }
    while (!file.atEnd()) {
        const QByteArray line = file.readLine(4096).trimmed();
        if (line.isEmpty() || line.startsWith('#'))
            continue;
        if (std::optional<KnownKey> known = parseLine(line))
            loaded.book.m_keys.insert(known->computer.toCaseFolded(), *known);
        else
            ++loaded.skippedLines;
    }
    return loaded;
}

platform::Result TrustBook::save(const QString& path) {
    QByteArray out = kHeader.toByteArray();
    for (const KnownKey& k : std::as_const(m_keys)) {
        out += k.computer.toUtf8().toPercentEncoding() + ' ' + base64(k.key) + ' ' +
               trustName(k.trust) + ' ' + QByteArray::number(k.window.highMark()) + ' ' +
               (k.offered ? base64(*k.offered) : QByteArray("-")) + '\n';
    }
    try {
        platform::writeFileAtomically(path, out);
    } catch (const platform::SystemError& e) {
        return platform::Result::failure(path + QStringLiteral(": ") + e.text());
    }
    m_dirty = false;
    m_marksDirty = false;
    return platform::Result::success();
}

} // namespace kalvento::crypto
