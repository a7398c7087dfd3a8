#include "app/chat_text.h"

#include <QRegularExpression>

#include <algorithm>
#include <iterator>
#include <vector>

namespace kalvento::app {
namespace {

constexpr char16_t kFirstStrongIsolate = 0x2068;
constexpr char16_t kPopDirectionalIsolate = 0x2069;
constexpr char16_t kPopDirectionalFormatting = 0x202C;

bool isLineBreak(char16_t ch) {
    switch (ch) {
    case u'\n':
    case u'\r':
    case 0x000B: // vertical tab
    case 0x000C: // form feed
    case 0x0085: // next line
    case 0x2028:
    case 0x2029:
        return true;
    default:
        return false;
    }
}

} // namespace

QStringList splitAtLineBreaks(QStringView text) {
    QStringList pieces;
    qsizetype from = 0;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t ch = text[i].unicode();
        if (!isLineBreak(ch))
            continue;
        pieces.append(text.sliced(from, i - from).toString());
        if (ch == u'\r' && i + 1 < text.size() && text[i + 1] == u'\n')
            ++i;
        from = i + 1;
    }
    pieces.append(text.sliced(from).toString());
    for (QString& piece : pieces) {
        piece.replace(QChar(0xFDD0), QChar::ReplacementCharacter);
        piece.replace(QChar(0xFDD1), QChar::ReplacementCharacter);
    }
    return pieces;
}

QString isolateDirection(QStringView text) {
    // What is open, innermost last: true for an isolate, false for an embedding or override.
    std::vector<bool> open;
    bool reorders = false;
    QString out;
    out.reserve(text.size() + 2);
    for (qsizetype i = 0; i < text.size(); ++i) {
        char32_t ch = text[i].unicode();
        qsizetype units = 1;
        if (QChar::isHighSurrogate(ch) && i + 1 < text.size() && text[i + 1].isLowSurrogate()) {
            ch = QChar::surrogateToUcs4(text[i], text[i + 1]);
            units = 2;
        }
        switch (QChar::direction(ch)) {
        case QChar::DirR:
        case QChar::DirAL:
        case QChar::DirAN:
            reorders = true;
            break;
        case QChar::DirLRE:
        case QChar::DirRLE:
        case QChar::DirLRO:
        case QChar::DirRLO:
            reorders = true;
            open.push_back(false);
            break;
        case QChar::DirLRI:
        case QChar::DirRLI:
        case QChar::DirFSI:
            reorders = true;
            open.push_back(true);
            break;
        case QChar::DirPDF:
            // Closes an embedding of this text only, never one of the isolate around it.
            if (open.empty() || open.back())
                continue;
            open.pop_back();
            break;
        case QChar::DirPDI: {
            // Closes the innermost isolate of this text and the embeddings inside it.
            auto isolate = std::find(open.rbegin(), open.rend(), true);
            if (isolate == open.rend())
                continue;
            open.erase(std::prev(isolate.base()), open.end());
            break;
        }
        default:
            break;
        }
        out.append(text.sliced(i, units));
        i += units - 1;
    }
    for (auto it = open.rbegin(); it != open.rend(); ++it)
        out.append(QChar(*it ? kPopDirectionalIsolate : kPopDirectionalFormatting));
    if (!reorders)
        return out;
    return QChar(kFirstStrongIsolate) + out + QChar(kPopDirectionalIsolate);
}

QString headingName(QStringView name) {
    return isolateDirection(splitAtLineBreaks(name).join(u' ').trimmed());
}

QList<TextLink> findLinks(QStringView text) {
    // A scheme or "www." begins an address only where no word, address or domain goes on.
    static const QRegularExpression pattern(
        QStringLiteral(R"((?<![\w@.-])(?:https?://|mailto:|www\.)[^\s<>"\p{Cc}\p{Cf}]+)"
                       R"(|(?<![\w@.%+-])[\w.%+-]+@[\w-]+(?:\.[\w-]+)+)"),
        QRegularExpression::CaseInsensitiveOption | QRegularExpression::UseUnicodePropertiesOption);
    QList<TextLink> links;
    for (auto it = pattern.globalMatch(text); it.hasNext();) {
        const QRegularExpressionMatch match = it.next();
        QStringView found = match.capturedView();
        // Sentence punctuation and brackets that close something begun before the address.
        while (!found.isEmpty()) {
            const QChar last = found.back();
            const auto unmatched = [&](QChar open, QChar close) {
                return last == close && found.count(close) > found.count(open);
            };
            if (QStringView(u".,;:!?'*").contains(last) || unmatched(u'(', u')') ||
                unmatched(u'[', u']') || unmatched(u'{', u'}'))
                found.chop(1);
            else
                break;
        }
        QString target = found.toString();
        if (found.startsWith(u"www.", Qt::CaseInsensitive))
            target.prepend(QStringLiteral("http://"));
        else if (!found.contains(u':'))
            target.prepend(QStringLiteral("mailto:"));
        const QUrl url(target);
        const QString scheme = url.scheme().toLower();
        const bool web = scheme == u"http" || scheme == u"https";
        const bool mail = scheme == u"mailto" && url.path().contains(u'@');
        if (!url.isValid() || (web && url.host().isEmpty()) || (!web && !mail))
            continue;
        links.append({match.capturedStart(), found.size(), url});
    }
    return links;
}

} // namespace kalvento::app
