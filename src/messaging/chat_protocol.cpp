#include "messaging/chat_protocol.h"

#include "platform/text_codec.h"

#include <array>
#include <cstring>

namespace kalvento::messaging {
namespace {

// For a pair of plain bytes (a, b): the four encoded bytes of w1 = 6a + 9b and
// w2 = 9a + 6b, packed in memory order.
struct EncodeTable {
    std::array<std::array<char, 4>, 65536> bytes;
    EncodeTable() {
        for (int a = 0; a < 256; ++a)
            for (int b = 0; b < 256; ++b) {
                auto& out = bytes[a << 8 | b];
                putWord(6 * a + 9 * b, &out[0]);
                putWord(9 * a + 6 * b, &out[2]);
            }
    }
    static void putWord(int w, char* out) {
        const int h = w >> 8, l = w & 0xFF;
        if (h == 0 && l == 0) {
            out[0] = char(0xFF), out[1] = char(0xFF);
        } else if (h == 0) {
            out[0] = char(0xFE), out[1] = char(l);
        } else if (l == 0) {
            out[0] = char(0xFD), out[1] = char(h);
        } else {
            out[0] = char(h), out[1] = char(l);
        }
    }
};

// For an encoded pair (x, y): the 16-bit value it stands for.
struct DecodeTable {
    std::array<quint16, 65536> value;
    DecodeTable() {
        for (int x = 0; x < 256; ++x)
            for (int y = 0; y < 256; ++y) {
                int u;
                if (x == 0xFF)
                    u = 0;
                else if (x == 0xFE)
                    u = y;
                else if (x == 0xFD)
                    u = y * 256;
                else
                    u = x * 256 + y;
                value[x << 8 | y] = quint16(u);
            }
    }
};

const EncodeTable& encodeTable() {
    static const EncodeTable table;
    return table;
}

const DecodeTable& decodeTable() {
    static const DecodeTable table;
    return table;
}

inline unsigned byteAt(const char* p, qsizetype i) {
    return static_cast<unsigned char>(p[i]);
}

// (6·p − 9·q) / −45 with division truncating toward zero, as a byte.
inline char unmix(int p, int q) {
    return char(-((6 * p - 9 * q) / 45));
}

QByteArray concat(std::initializer_list<QByteArrayView> parts) {
    qsizetype size = 0;
    for (auto part : parts)
        size += part.size();
    QByteArray out;
    out.reserve(size);
    for (auto part : parts)
        out.append(part);
    return out;
}

bool startsWith(QByteArrayView text, const char* tag) {
    return text.size() >= 5 && std::memcmp(text.data(), tag, 5) == 0;
}

} // namespace

QByteArray EncodeText(QByteArrayView plain) {
    const qsizetype n = plain.size();
    const qsizetype groups = n == 0 ? 1 : (n + 3) / 4;
    QByteArray out(groups * 8, Qt::Uninitialized);
    const auto& table = encodeTable().bytes;
    const char* in = plain.data();
    char* dst = out.data();
    const qsizetype whole = n / 4;
    for (qsizetype g = 0; g < whole; ++g, in += 4, dst += 8) {
        std::memcpy(dst, table[byteAt(in, 0) << 8 | byteAt(in, 1)].data(), 4);
        std::memcpy(dst + 4, table[byteAt(in, 2) << 8 | byteAt(in, 3)].data(), 4);
    }
    if (whole < groups) {
        unsigned char last[4] = {0, 0, 0, 0};
        std::memcpy(last, in, size_t(n - whole * 4));
        std::memcpy(dst, table[last[0] << 8 | last[1]].data(), 4);
        std::memcpy(dst + 4, table[last[2] << 8 | last[3]].data(), 4);
    }
    return out;
}

QByteArray DecodeText(QByteArrayView encoded) {
    const qsizetype n = encoded.size();
    const qsizetype groups = (n + 7) / 8;
    QByteArray out(groups * 4, Qt::Uninitialized);
    const auto& table = decodeTable().value;
    const char* in = encoded.data();
    char* dst = out.data();
    const qsizetype whole = n / 8;
    auto decodeGroup = [&](const char* g, char* o) {
        const int u1 = table[byteAt(g, 0) << 8 | byteAt(g, 1)];
        const int u2 = table[byteAt(g, 2) << 8 | byteAt(g, 3)];
        const int u3 = table[byteAt(g, 4) << 8 | byteAt(g, 5)];
        const int u4 = table[byteAt(g, 6) << 8 | byteAt(g, 7)];
        o[0] = unmix(u1, u2);
        o[1] = unmix(u2, u1);
        o[2] = unmix(u3, u4);
        o[3] = unmix(u4, u3);
    };
    for (qsizetype g = 0; g < whole; ++g)
        decodeGroup(in + g * 8, dst + g * 4);
    if (whole < groups) {
        char last[8];
        std::memset(last, 0xFF, sizeof last);
        std::memcpy(last, in + whole * 8, size_t(n - whole * 8));
        decodeGroup(last, dst + whole * 4);
    }
    return out;
}

QByteArray LineTag(int k) {
    const QByteArray digits = QByteArray::number(k);
    return QByteArray("LLL").append(digits).mid(digits.size());
}

qsizetype maxPlainTextLength(quint32 maxDatagramSize) {
    // header (8) + encoded text (8 per group of 4) + zero byte
    const qint64 groups = (qint64(maxDatagramSize) - 8 - 1) / 8;
    const qint64 groupsIn16Bits = (65535 - 1) / 8; // the terminal's size is 16 bits wide
    return qsizetype(std::max<qint64>(0, std::min(groups, groupsIn16Bits)) * 4);
}

QByteArray limitPlainText(QByteArrayView plain, qsizetype maxLength) {
    // Never half a character at the end of a cut line.
    return platform::cutAtCharacter(plain, maxLength);
}

QList<QByteArray> splitPlainText(QByteArrayView plain, qsizetype maxLength) {
    QList<QByteArray> pieces;
    if (maxLength <= 0)
        return pieces;
    while (plain.size() > maxLength) {
        qsizetype cut = platform::cutAtCharacter(plain, maxLength).size();
        const qsizetype blank = plain.first(cut).lastIndexOf(' ');
        if (blank >= 0 && blank + 1 > cut - maxLength / 8)
            cut = blank + 1; // the blank ends the piece
        if (cut <= 0)
            cut = maxLength;
        pieces.append(plain.first(cut).toByteArray());
        plain = plain.sliced(cut);
    }
    pieces.append(plain.toByteArray());
    return pieces;
}

QByteArray payloadFromPlainText(QByteArrayView plain) {
    QByteArray payload = EncodeText(plain);
    payload.append('\0');
    return payload;
}

QByteArray plainTextFromPayload(QByteArrayView payload) {
    const qsizetype zero = payload.indexOf('\0');
    QByteArray text = DecodeText(zero < 0 ? payload : payload.first(zero));
    const qsizetype end = text.indexOf('\0');
    if (end >= 0)
        text.truncate(end);
    return text;
}

QByteArray greetingText(QByteArrayView computerName, QByteArrayView groupName) {
    return concat({kGreetingTag, computerName, kNameSeparator, groupName});
}

QByteArray answerText(QByteArrayView computerName, QByteArrayView groupName) {
    return concat({kAnswerTag, computerName, kNameSeparator, groupName});
}

QByteArray identityText(QByteArrayView identity) {
    return concat({kIdentityTag, identity});
}

QByteArray goodbyeText(QByteArrayView computerName) {
    return concat({kGoodbyeTag, computerName});
}

QByteArray signOfLifeText(QByteArrayView status) {
    return concat({kSignOfLifeTag, status});
}

QByteArray catchUpAskText(QByteArrayView since) {
    return concat({kCatchUpAskTag, since});
}

QByteArray receiptText(QByteArrayView body) {
    return concat({kReceiptTag, body});
}

QByteArray privateLineText(QByteArrayView text) {
    return concat({kPrivateTag, text});
}

QByteArray publicMultiLineText(int k, QByteArrayView line) {
    return concat({"#", LineTag(k), "#", line});
}

QByteArray privateMultiLineText(int k, QByteArrayView line) {
    const QByteArrayView mark(&kPrivateLineMark, 1);
    return concat({mark, LineTag(k), mark, line});
}

ClassifiedMessage classifyMessage(QByteArrayView text) {
    struct Tagged {
        const char* tag;
        MessageKind kind;
    };
    static constexpr Tagged kTags[] = {
        {kGreetingTag, MessageKind::Greeting},       {kGoodbyeTag, MessageKind::Goodbye},
        {kPrivateTag, MessageKind::PrivateLine},     {kAnswerTag, MessageKind::Answer},
        {kIdentityTag, MessageKind::Identity},       {kSignOfLifeTag, MessageKind::SignOfLife},
        {kReceiptTag, MessageKind::Receipt},         {kCatchUpAskTag, MessageKind::CatchUpAsk},
        {kCatchUpLineTag, MessageKind::CatchUpLine}, {kFileTag, MessageKind::FileMessage},
    };
    if (text.size() >= 5) {
        for (const auto& t : kTags)
            if (startsWith(text, t.tag))
                return {t.kind, false, text.sliced(5).toByteArray()};
        const char fifth = text[4];
        if (fifth == '#' && text[0] == '#' && text[1] == 'L')
            return {MessageKind::PublicMultiLine, startsWith(text, "#LL0#"),
                    text.sliced(5).toByteArray()};
        if (fifth == kPrivateLineMark && text[0] == kPrivateLineMark && text[1] == 'L')
            return {MessageKind::PrivateMultiLine, startsWith(text, "\xA4LL0\xA4"),
                    text.sliced(5).toByteArray()};
        if (text[0] == '#' && fifth == '#')
            return {MessageKind::UnknownTag, false, text.sliced(5).toByteArray()};
    }
    return {MessageKind::PublicLine, false, text.toByteArray()};
}

std::pair<QByteArray, QByteArray> splitComputerAndGroup(QByteArrayView body) {
    const qsizetype at = body.indexOf(QByteArrayView(kNameSeparator));
    if (at < 0)
        return {body.toByteArray(), QByteArray()};
    return {body.first(at).toByteArray(), body.sliced(at + 3).toByteArray()};
}

QStringList splitCommaText(QStringView text) {
    QStringList items;
    qsizetype i = 0;
    const qsizetype n = text.size();
    auto isBlank = [&](qsizetype at) { return at < n && text[at] > QChar(0) && text[at] <= u' '; };
    while (isBlank(i))
        ++i;
    while (i < n) {
        QString item;
        if (text[i] == u'"') {
            ++i;
            while (i < n) {
                if (text[i] == u'"') {
                    if (i + 1 < n && text[i + 1] == u'"') {
                        item += u'"';
                        i += 2;
                        continue;
                    }
                    ++i;
                    break;
                }
                item += text[i++];
            }
        } else {
            const qsizetype start = i;
            while (i < n && text[i] > u' ' && text[i] != u',')
                ++i;
            item = text.sliced(start, i - start).toString();
        }
        items.append(item);
        while (isBlank(i))
            ++i;
        if (i < n && text[i] == u',') {
            if (i + 1 == n)
                items.append(QString());
            do
                ++i;
            while (isBlank(i));
        } else if (i < n && text[i] <= u' ') {
            ++i; // a zero character ends nothing; step over it
        }
    }
    return items;
}

QString joinCommaText(const QStringList& items) {
    if (items.size() == 1 && items.front().isEmpty())
        return QStringLiteral("\"\"");
    QString out;
    for (qsizetype k = 0; k < items.size(); ++k) {
        if (k > 0)
            out += u',';
        const QString& item = items[k];
        bool quote = false;
        for (QChar ch : item)
            if (ch <= u' ' || ch == u'"' || ch == u',') {
                quote = true;
                break;
            }
        if (!quote) {
            out += item;
            continue;
        }
        out += u'"';
        for (QChar ch : item) {
            if (ch == u'"')
                out += u'"';
            out += ch;
        }
        out += u'"';
    }
    return out;
}

} // namespace kalvento::messaging
