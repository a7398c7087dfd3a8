#pragma once
// How the HTTP client takes a URL apart (for its URL, its proxy and relocations).

#include <QString>

namespace kalvento::http {

struct TUrlParts {
    QString Proto;
    QString User;
    QString Pass;
    QString Host;
    QString Port;
    QString Path; // keeps any query

    bool operator==(const TUrlParts&) const = default;
};

// Splits url into scheme, user, password, host, port and path. currentPath is the path that
// "./" and "../" are resolved against.
TUrlParts ParseURL(const QString& url, const QString& currentPath = QString());

// The part of path up to and including its last "/" (or "/" when it has none).
QString PathDirectory(const QString& path);

} // namespace kalvento::http
