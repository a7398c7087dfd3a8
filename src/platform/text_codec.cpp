#include "platform/text_codec.h"

#include <QStringDecoder>

#include <array>

namespace kalvento::platform {
namespace {

// Unicode code points of the bytes 0x80..0x9F in Windows-1252.
constexpr std::array<char16_t, 32> kHighControls = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

char16_t unicodeOf(unsigned char byte) {
    if (byte >= 0x80 && byte <= 0x9F)
        return kHighControls[byte - 0x80];
    return byte;
}

// Byte for a code point, or -1 when Windows-1252 has none.
int ansiOf(char16_t ch) {
    if (ch < 0x80 || (ch >= 0xA0 && ch <= 0xFF))
        return ch;
    for (std::size_t i = 0; i < kHighControls.size(); ++i)
        if (kHighControls[i] == ch)
            return int(0x80 + i);
    return -1;
}

} // namespace

QString fromAnsi(QByteArrayView bytes) {
    QString out(bytes.size(), Qt::Uninitialized);
    QChar* dst = out.data();
    for (qsizetype i = 0; i < bytes.size(); ++i)
        dst[i] = QChar(unicodeOf(static_cast<unsigned char>(bytes[i])));
    return out;
}

QByteArray toAnsi(QStringView text) {
    QByteArray out;
    out.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar ch = text[i];
        if (ch.isHighSurrogate() && i + 1 < text.size() && text[i + 1].isLowSurrogate())
            ++i; // one character outside the BMP: one replacement byte
        const int b = ansiOf(ch.unicode());
        out.append(b < 0 ? '?' : char(b));
    }
    return out;
}

bool isAnsiRepresentable(QStringView text) {
    for (QChar ch : text)
        if (ansiOf(ch.unicode()) < 0)
            return false;
    return true;
}

QString decodeUtf8OrAnsi(QByteArrayView bytes) {
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = utf8.decode(bytes);
    if (!utf8.hasError()) {
        if (text.startsWith(QChar(0xFEFF)))
            text.remove(0, 1);
        return text;
    }
    return fromAnsi(bytes);
}

QByteArray toWire(QStringView text) {
    return text.toUtf8();
}

QString fromWire(QByteArrayView bytes) {
    // A leading U+FEFF is part of the text here, not a file's byte-order mark.
    QStringDecoder utf8(QStringDecoder::Utf8,
                        QStringDecoder::Flag::Stateless | QStringDecoder::Flag::ConvertInitialBom);
    const QString text = utf8.decode(bytes);
    return utf8.hasError() ? fromAnsi(bytes) : text;
}

QByteArray cutAtCharacter(QByteArrayView bytes, qsizetype maxBytes) {
    if (maxBytes <= 0)
        return QByteArray();
    if (bytes.size() <= maxBytes)
        return bytes.toByteArray();
    qsizetype cut = maxBytes;
    // A byte 10xxxxxx continues a character: the cut backs up to where that character
    // starts, by at most three bytes (the longest UTF-8 character has four).
    for (int back = 0; back < 3 && cut > 0 && (quint8(bytes[cut]) & 0xC0) == 0x80; ++back)
        --cut;
    if ((quint8(bytes[cut]) & 0xC0) == 0x80)
        cut = maxBytes; // not UTF-8 here: cut where the limit says
    return bytes.first(cut).toByteArray();
}

QByteArray toWire(QStringView text, qsizetype maxBytes) {
    return cutAtCharacter(text.toUtf8(), maxBytes);
}

QString cutToWireLength(const QString& text, qsizetype maxBytes) {
    return QString::fromUtf8(toWire(text, maxBytes));
}

QString isolatedText(QStringView text) {
    constexpr char16_t kLri = 0x2066, kRli = 0x2067, kFsi = 0x2068, kPdi = 0x2069;
    QString out;
    out.reserve(text.size() + 2);
    out += QChar(kFsi);
    int open = 0;
    for (const QChar c : text) {
        const char16_t u = c.unicode();
        if (u == kLri || u == kRli || u == kFsi) {
            ++open;
        } else if (u == kPdi) {
            if (open == 0)
                continue; // would close the isolate around the text
            --open;
        }
        out += c;
    }
    out += QString(open + 1, QChar(kPdi));
    return out;
}

} // namespace kalvento::platform
