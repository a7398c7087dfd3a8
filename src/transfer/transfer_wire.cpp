#include "transfer/transfer_wire.h"

#include "crypto/identity_key.h"

#include <QtEndian>

#include <sodium.h>

#include <algorithm>

namespace kalvento::transfer {

namespace {

constexpr char kManifestMagic[] = "KVM1";
constexpr char kWantMagic[] = "KVW1";
constexpr char kMessageMagic[] = "KVF1";
constexpr char kFileHashPrefix[8] = {'K', 'V', 'F', 'I', 'L', 'E', '1', '\0'};
// Path length, size, time and file hash of an entry with a one-byte path and no chunks.
constexpr qsizetype kMinEntryBytes = 2 + 1 + 8 + 8 + kHashSize;

// Reads big-endian integers and byte runs off the front of hostile bytes; every read
// fails once the bytes are used up, and nothing is read after a failure.
class Reader {
public:
    explicit Reader(QByteArrayView bytes) : m_bytes(bytes) {}
    qsizetype left() const { return m_bytes.size() - m_at; }
    bool ok() const { return m_ok; }
    bool take(qsizetype n, QByteArrayView* out) {
        if (!m_ok || n < 0 || n > left()) {
            m_ok = false;
            return false;
        }
        *out = m_bytes.sliced(m_at, n);
        m_at += n;
        return true;
    }
    template <typename T> bool number(T* out) {
        QByteArrayView raw;
        if (!take(qsizetype(sizeof(T)), &raw))
            return false;
        *out = qFromBigEndian<T>(raw.data());
        return true;
    }
    template <std::size_t N> bool array(std::array<std::uint8_t, N>* out) {
        QByteArrayView raw;
        if (!take(qsizetype(N), &raw))
            return false;
        std::memcpy(out->data(), raw.data(), N);
        return true;
    }

private:
    QByteArrayView m_bytes;
    qsizetype m_at = 0;
    bool m_ok = true;
};

template <typename T> void appendNumber(QByteArray& out, T value) {
    char raw[sizeof(T)];
    qToBigEndian(value, raw);
    out.append(raw, qsizetype(sizeof(T)));
}

template <std::size_t N> void appendArray(QByteArray& out, const std::array<std::uint8_t, N>& a) {
    out.append(reinterpret_cast<const char*>(a.data()), qsizetype(N));
}

void setError(QString* error, const QString& text) {
    if (error)
        *error = text;
}

// Decodes one UTF-8 sequence at bytes[at]: the code point and its length, or -1 for
// bytes that are not UTF-8 (overlong forms, surrogates and values past U+10FFFF included).
char32_t decodeUtf8(QByteArrayView bytes, qsizetype at, int* length) {
    const auto b = [&](qsizetype i) { return std::uint8_t(bytes[i]); };
    const std::uint8_t lead = b(at);
    *length = -1;
    int n = 0;
    char32_t cp = 0;
    char32_t min = 0;
    if (lead < 0x80) {
        *length = 1;
        return lead;
    } else if ((lead & 0xe0) == 0xc0) {
        n = 2, cp = lead & 0x1fu, min = 0x80;
    } else if ((lead & 0xf0) == 0xe0) {
        n = 3, cp = lead & 0x0fu, min = 0x800;
    } else if ((lead & 0xf8) == 0xf0) {
        n = 4, cp = lead & 0x07u, min = 0x10000;
    } else {
        return 0;
    }
    if (at + n > bytes.size())
        return 0;
    for (int i = 1; i < n; ++i) {
        if ((b(at + i) & 0xc0) != 0x80)
            return 0;
        cp = (cp << 6) | (b(at + i) & 0x3fu);
    }
    if (cp < min || cp > 0x10ffff || (cp >= 0xd800 && cp <= 0xdfff))
        return 0;
    *length = n;
    return cp;
}

bool validUtf8(QByteArrayView bytes) {
    for (qsizetype at = 0; at < bytes.size();) {
        int length = 0;
        decodeUtf8(bytes, at, &length);
        if (length < 0)
            return false;
        at += length;
    }
    return true;
}

bool isControl(char32_t c) {
    return c < 0x20 || (c >= 0x7f && c <= 0x9f);
}

bool isBidiControl(char32_t c) {
    return c == 0x061c || c == 0x200e || c == 0x200f || (c >= 0x202a && c <= 0x202e) ||
           (c >= 0x2066 && c <= 0x2069);
}

bool isWindowsDevice(QByteArrayView name) {
    // The part before the first dot, without trailing spaces, as Windows compares it.
    qsizetype end = name.indexOf('.');
    if (end < 0)
        end = name.size();
    while (end > 0 && name[end - 1] == ' ')
        --end;
    if (end != 3 && end != 4)
        return false;
    const QByteArray base = name.first(end).toByteArray().toUpper();
    if (base == "CON" || base == "PRN" || base == "AUX" || base == "NUL")
        return true;
    return base.size() == 4 && (base.startsWith("COM") || base.startsWith("LPT")) &&
           base[3] >= '1' && base[3] <= '9';
}

// Orders paths name by name: '/' before every other byte, so that what lies below a path
// follows it at once ("a", "a/b", "a b").
bool pathLess(const QByteArray& a, const QByteArray& b) {
    const qsizetype n = std::min(a.size(), b.size());
    for (qsizetype i = 0; i < n; ++i) {
        if (a[i] != b[i]) {
            const auto rank = [](char c) { return c == '/' ? -1 : int(std::uint8_t(c)); };
            return rank(a[i]) < rank(b[i]);
        }
    }
    return a.size() < b.size();
}

// The same path twice, or a path that is a file and also a folder of another, among the
// case-folded paths. Sorted rather than checked folder by folder, so that deep paths cost
// their length once and not once for each of their folders.
QString findClash(std::vector<QByteArray>& keys) {
    std::sort(keys.begin(), keys.end(), pathLess);
    for (std::size_t i = 1; i < keys.size(); ++i) {
        const QByteArray &a = keys[i - 1], &b = keys[i];
        if (a == b)
            return QStringLiteral("the path \"%1\" is in the manifest twice").arg(safeName(b));
        if (b.size() > a.size() && b.startsWith(a) && b[a.size()] == '/')
            return QStringLiteral("the path \"%1\" is both a file and a folder").arg(safeName(a));
    }
    return {};
}

bool endsWithPart(QByteArrayView name) {
    return name.size() >= 5 && qstrnicmp(name.data() + name.size() - 5, ".part", 5) == 0;
}

} // namespace

QString safeName(QByteArrayView bytes) {
    QString out;
    for (qsizetype at = 0; at < bytes.size();) {
        int length = 0;
        const char32_t c = decodeUtf8(bytes, at, &length);
        if (length < 0) {
            out += QStringLiteral("\\x%1").arg(uint(std::uint8_t(bytes[at])), 2, 16, QChar('0'));
            ++at;
            continue;
        }
        if (c == '\\')
            out += QStringLiteral("\\\\");
        else if (isControl(c) || isBidiControl(c))
            out += c < 0x100 ? QStringLiteral("\\x%1").arg(uint(c), 2, 16, QChar('0'))
                             : QStringLiteral("\\u%1").arg(uint(c), 4, 16, QChar('0'));
        else
            out += QString::fromUtf8(bytes.sliced(at, length));
        at += length;
    }
    return out;
}

QString transferIdText(const TransferId& id) {
    return QString::fromLatin1(
        QByteArray(reinterpret_cast<const char*>(id.data()), kTransferIdSize).toHex());
}

std::optional<TransferId> transferIdFromText(QStringView text) {
    if (text.size() != qsizetype{2} * kTransferIdSize)
        return std::nullopt;
    for (QChar c : text) {
        if (!((c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f')))
            return std::nullopt;
    }
    const QByteArray raw = QByteArray::fromHex(text.toLatin1());
    TransferId id{};
    std::memcpy(id.data(), raw.data(), kTransferIdSize);
    return id;
}

TransferId newTransferId() {
    crypto::initialise();
    TransferId id{};
    randombytes_buf(id.data(), id.size());
    return id;
}

quint64 chunkCount(quint64 size) {
    return size / kChunkSize + (size % kChunkSize ? 1 : 0);
}

quint32 chunkLength(quint64 size, quint64 index) {
    if (index >= chunkCount(size))
        return 0;
    const quint64 start = index * kChunkSize;
    return quint32(std::min<quint64>(kChunkSize, size - start));
}

Hash chunkHash(QByteArrayView bytes) {
    crypto::initialise();
    Hash hash{};
    crypto_generichash(hash.data(), hash.size(),
                       reinterpret_cast<const unsigned char*>(bytes.data()), quint64(bytes.size()),
                       nullptr, 0);
    return hash;
}

Hash fileHash(quint64 size, const std::vector<Hash>& chunks) {
    crypto::initialise();
    crypto_generichash_state state;
    crypto_generichash_init(&state, nullptr, 0, kHashSize);
    crypto_generichash_update(&state, reinterpret_cast<const unsigned char*>(kFileHashPrefix),
                              sizeof kFileHashPrefix);
    unsigned char rawSize[8];
    qToBigEndian(size, rawSize);
    crypto_generichash_update(&state, rawSize, sizeof rawSize);
    for (const Hash& chunk : chunks)
        crypto_generichash_update(&state, chunk.data(), chunk.size());
    Hash hash{};
    crypto_generichash_final(&state, hash.data(), hash.size());
    return hash;
}

quint64 Manifest::totalBytes() const {
    quint64 total = 0;
    for (const FileEntry& file : files)
        total += file.size;
    return total;
}

QString checkRelativePath(QByteArrayView path) {
    if (path.isEmpty())
        return QStringLiteral("the path is empty");
    if (path.size() > kMaxPathBytes)
        return QStringLiteral("the path is longer than %1 bytes").arg(kMaxPathBytes);
    if (!validUtf8(path))
        return QStringLiteral("the path \"%1\" is not valid UTF-8").arg(safeName(path));
    if (path.front() == '/')
        return QStringLiteral("the path \"%1\" starts at the root").arg(safeName(path));
    qsizetype start = 0;
    while (start <= path.size()) {
        qsizetype end = path.indexOf('/', start);
        if (end < 0)
            end = path.size();
        const QByteArrayView name = path.sliced(start, end - start);
        const auto shown = [&] { return safeName(name); };
        if (name.isEmpty())
            return QStringLiteral("an empty name in the path \"%1\"").arg(safeName(path));
        if (name == "..")
            return QStringLiteral("the name \"..\" leads out of the folder");
        if (name == ".")
            return QStringLiteral("the name \".\" stands for the folder itself");
        if (name.size() > kMaxNameBytes)
            return QStringLiteral("the name \"%1\" is longer than %2 bytes")
                .arg(shown())
                .arg(kMaxNameBytes);
        if (name.contains('\\'))
            return QStringLiteral("a backslash in the name \"%1\"").arg(shown());
        for (qsizetype at = 0; at < name.size();) {
            int length = 0;
            const char32_t c = decodeUtf8(name, at, &length);
            if (isControl(c))
                return QStringLiteral("a control character in the name \"%1\"").arg(shown());
            if (isBidiControl(c))
                return QStringLiteral("a text direction control in the name \"%1\"").arg(shown());
            at += length;
        }
        if (endsWithPart(name))
            return QStringLiteral("the name \"%1\" ends in .part, as partial files do")
                .arg(shown());
        if (isWindowsDevice(name))
            return QStringLiteral("the name \"%1\" is reserved for a device on Windows")
                .arg(shown());
        start = end + 1;
    }
    return {};
}

QByteArray encodeManifest(const Manifest& manifest) {
    QByteArray out(kManifestMagic, 4);
    appendNumber(out, quint32(manifest.files.size()));
    appendNumber(out, manifest.totalBytes());
    for (const FileEntry& file : manifest.files) {
        appendNumber(out, quint16(file.path.size()));
        out.append(file.path);
        appendNumber(out, file.size);
        appendNumber(out, file.modified);
        appendArray(out, file.hash);
        for (const Hash& chunk : file.chunks)
            appendArray(out, chunk);
    }
    return out;
}

std::optional<ManifestHeader> decodeManifestHeader(QByteArrayView bytes, QString* error) {
    if (bytes.size() < kManifestHeaderSize) {
        setError(error, QStringLiteral("the manifest is cut short"));
        return std::nullopt;
    }
    if (bytes.first(4) != QByteArrayView(kManifestMagic, 4)) {
        setError(error, QStringLiteral("the manifest does not start as one"));
        return std::nullopt;
    }
    ManifestHeader header;
    header.files = qFromBigEndian<quint32>(bytes.data() + 4);
    header.totalBytes = qFromBigEndian<quint64>(bytes.data() + 8);
    if (header.files > kMaxFiles) {
        setError(error, QStringLiteral("the manifest lists %1 files, more than %2")
                            .arg(header.files)
                            .arg(kMaxFiles));
        return std::nullopt;
    }
    if (header.totalBytes > quint64(header.files) * kMaxFileSize) {
        setError(error, QStringLiteral("the manifest announces more bytes than its files hold"));
        return std::nullopt;
    }
    return header;
}

std::optional<Manifest> decodeManifest(QByteArrayView bytes, QString* error) {
    if (bytes.size() > qsizetype(kMaxManifestBytes)) {
        setError(error,
                 QStringLiteral("the manifest is larger than %1 bytes").arg(kMaxManifestBytes));
        return std::nullopt;
    }
    const auto header = decodeManifestHeader(bytes, error);
    if (!header)
        return std::nullopt;
    Reader reader(bytes.sliced(kManifestHeaderSize));
    const QString cutShort = QStringLiteral("the manifest is cut short");
    Manifest manifest;
    manifest.files.reserve(
        std::min<std::size_t>(header->files, std::size_t(reader.left() / kMinEntryBytes)));
    // Case-folded, as a receiver on a system that ignores case would see them.
    std::vector<QByteArray> keys;
    keys.reserve(manifest.files.capacity());
    quint64 total = 0;
    for (quint32 i = 0; i < header->files; ++i) {
        FileEntry file;
        quint16 pathLength = 0;
        QByteArrayView path;
        if (!reader.number(&pathLength) || !reader.take(pathLength, &path) ||
            !reader.number(&file.size) || !reader.number(&file.modified) ||
            !reader.array(&file.hash)) {
            setError(error, cutShort);
            return std::nullopt;
        }
        if (const QString why = checkRelativePath(path); !why.isEmpty()) {
            setError(error, why);
            return std::nullopt;
        }
        file.path = path.toByteArray();
        keys.push_back(QString::fromUtf8(path).toCaseFolded().toUtf8());
        if (file.size > kMaxFileSize) {
            setError(error, QStringLiteral("the file \"%1\" is larger than a transfer allows")
                                .arg(safeName(path)));
            return std::nullopt;
        }
        const quint64 chunks = chunkCount(file.size);
        if (chunks > quint64(reader.left() / kHashSize)) {
            setError(error, cutShort);
            return std::nullopt;
        }
        file.chunks.resize(std::size_t(chunks));
        for (Hash& chunk : file.chunks)
            reader.array(&chunk);
        if (fileHash(file.size, file.chunks) != file.hash) {
            setError(error, QStringLiteral("the hash of \"%1\" does not follow from its chunks")
                                .arg(safeName(path)));
            return std::nullopt;
        }
        total += file.size;
        manifest.files.push_back(std::move(file));
    }
    if (reader.left() != 0) {
        setError(error, QStringLiteral("the manifest has bytes after its last file"));
        return std::nullopt;
    }
    if (total != header->totalBytes) {
        setError(error, QStringLiteral("the manifest's files do not add up to its total"));
        return std::nullopt;
    }
    if (const QString why = findClash(keys); !why.isEmpty()) {
        setError(error, why);
        return std::nullopt;
    }
    return manifest;
}

QByteArray encodeWantList(const std::vector<quint32>& firstMissing) {
    QByteArray out(kWantMagic, 4);
    appendNumber(out, quint32(firstMissing.size()));
    for (quint32 n : firstMissing)
        appendNumber(out, n);
    return out;
}

std::optional<std::vector<quint32>> decodeWantList(QByteArrayView bytes, const Manifest& manifest,
                                                   QString* error) {
    Reader reader(bytes);
    QByteArrayView magic;
    quint32 count = 0;
    if (!reader.take(4, &magic) || magic != QByteArrayView(kWantMagic, 4) ||
        !reader.number(&count)) {
        setError(error, QStringLiteral("the want list does not start as one"));
        return std::nullopt;
    }
    if (count != manifest.files.size() || reader.left() != qsizetype(count) * 4) {
        setError(error, QStringLiteral("the want list does not name each file once"));
        return std::nullopt;
    }
    std::vector<quint32> wanted(count);
    for (quint32 i = 0; i < count; ++i) {
        reader.number(&wanted[i]);
        if (wanted[i] > chunkCount(manifest.files[i].size)) {
            setError(error, QStringLiteral("the want list asks past the end of \"%1\"")
                                .arg(safeName(manifest.files[i].path)));
            return std::nullopt;
        }
    }
    return wanted;
}

QByteArray encodeFileMessage(const FileMessage& message) {
    QByteArray out(kMessageMagic, 4);
    out.append(char(message.kind));
    appendArray(out, message.id);
    switch (message.kind) {
    case FileMessage::Kind::Offer:
        if (message.name.size() > kMaxNameBytes)
            return {};
        appendNumber(out, message.port);
        appendNumber(out, message.files);
        appendNumber(out, message.bytes);
        out.append(char(message.name.size()));
        out.append(message.name);
        break;
    case FileMessage::Kind::Accept:
    case FileMessage::Kind::ConnectBack:
        appendNumber(out, message.port);
        break;
    case FileMessage::Kind::Decline:
    case FileMessage::Kind::Cancel:
        if (message.reason.size() > kMaxReasonBytes)
            return {};
        out.append(char(message.reason.size()));
        out.append(message.reason);
        break;
    default:
        return {};
    }
    return out;
}

std::optional<FileMessage> decodeFileMessage(QByteArrayView bytes) {
    Reader reader(bytes);
    QByteArrayView magic;
    quint8 kind = 0;
    FileMessage message;
    if (!reader.take(4, &magic) || magic != QByteArrayView(kMessageMagic, 4) ||
        !reader.number(&kind) || !reader.array(&message.id))
        return std::nullopt;
    message.kind = FileMessage::Kind(kind);
    switch (message.kind) {
    case FileMessage::Kind::Offer: {
        quint8 length = 0;
        QByteArrayView name;
        if (!reader.number(&message.port) || !reader.number(&message.files) ||
            !reader.number(&message.bytes) || !reader.number(&length) ||
            !reader.take(length, &name))
            return std::nullopt;
        // One name that a receiver could save, for at least one file and a port to reach.
        if (message.port == 0 || message.files == 0 || message.files > kMaxFiles ||
            name.contains('/') || !checkRelativePath(name).isEmpty())
            return std::nullopt;
        message.name = name.toByteArray();
        break;
    }
    case FileMessage::Kind::Accept:
    case FileMessage::Kind::ConnectBack:
        if (!reader.number(&message.port) || message.port == 0)
            return std::nullopt;
        break;
    case FileMessage::Kind::Decline:
    case FileMessage::Kind::Cancel: {
        quint8 length = 0;
        QByteArrayView reason;
        if (!reader.number(&length) || length > kMaxReasonBytes || !reader.take(length, &reason) ||
            !validUtf8(reason))
            return std::nullopt;
        message.reason = reason.toByteArray();
        break;
    }
    default:
        return std::nullopt;
    }
    if (reader.left() != 0)
        return std::nullopt;
    return message;
}

} // namespace kalvento::transfer
