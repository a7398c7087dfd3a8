#include "http/http_url.h"

namespace kalvento::http {

namespace {

bool isSchemeCharacter(QChar c) {
    return (c >= QLatin1Char('a') && c <= QLatin1Char('z')) ||
           (c >= QLatin1Char('0') && c <= QLatin1Char('9')) || c == QLatin1Char('+') ||
           c == QLatin1Char('-') || c == QLatin1Char('.');
}

} // namespace

QString PathDirectory(const QString& path) {
    const qsizetype slash = path.lastIndexOf(QLatin1Char('/'));
    return slash < 0 ? QStringLiteral("/") : path.left(slash + 1);
}

TUrlParts ParseURL(const QString& url, const QString& currentPath) {
    TUrlParts parts;
    if (url.isEmpty())
        return parts;

    if (url.startsWith(QLatin1String("./"))) {
        parts.Path = PathDirectory(currentPath) + url.mid(2);
        return parts;
    }
    if (url.startsWith(QLatin1String("../"))) {
        QString directory = PathDirectory(currentPath);
        QString rest = url;
        while (rest.startsWith(QLatin1String("../"))) {
            rest = rest.mid(3);
            // "/a/b/" loses "b/"; the root stays the root.
            const qsizetype slash = directory.lastIndexOf(QLatin1Char('/'), directory.size() - 2);
            directory = slash < 0 ? QStringLiteral("/") : directory.left(slash + 1);
        }
        parts.Path = directory + rest;
        return parts;
    }

    qsizetype authorityStart = 0;
    const qsizetype separator = url.indexOf(QLatin1String("://"));
    bool schemeFound = false;
    if (separator >= 0) {
        schemeFound = true;
        for (qsizetype i = 0; i < separator; ++i)
            if (!isSchemeCharacter(url[i])) {
                schemeFound = false;
                break;
            }
    }
    if (schemeFound) {
        parts.Proto = url.left(separator);
        authorityStart = separator + 3;
    } else if (url.startsWith(QLatin1Char('/'))) {
        parts.Proto = QStringLiteral("http");
        parts.Path = url.startsWith(QLatin1String("//")) ? url.mid(1) : url;
        return parts;
    } else if (url.startsWith(QLatin1String("mailto:"), Qt::CaseInsensitive)) {
        parts.Proto = QStringLiteral("mailto");
        authorityStart = 7;
    }

    qsizetype authorityEnd = url.size();
    for (qsizetype i = authorityStart; i < url.size(); ++i)
        if (url[i] == QLatin1Char('/') || url[i] == QLatin1Char('?')) {
            authorityEnd = i;
            break;
        }
    parts.Path = url.mid(authorityEnd);
    QString authority = url.mid(authorityStart, authorityEnd - authorityStart);

    const qsizetype at = authority.lastIndexOf(QLatin1Char('@'));
    if (at >= 0) {
        const QString userInfo = authority.left(at);
        authority = authority.mid(at + 1);
        const qsizetype colon = userInfo.indexOf(QLatin1Char(':'));
        if (colon >= 0) {
            parts.User = userInfo.left(colon);
            parts.Pass = userInfo.mid(colon + 1);
        } else {
            parts.User = userInfo;
        }
    }
    const qsizetype colon = authority.lastIndexOf(QLatin1Char(':'));
    if (colon >= 0) {
        parts.Host = authority.left(colon);
        parts.Port = authority.mid(colon + 1);
    } else {
        parts.Host = authority;
    }
    return parts;
}

} // namespace kalvento::http
