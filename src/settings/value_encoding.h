#pragma once
// How values of each type are written to and read from the settings file. Anything that
// cannot be read gives nothing, and the caller takes the key's default.

#include <QDate>
#include <QString>

#include <optional>

namespace kalvento::settings {

// Decimal with an optional sign, or hexadecimal after "$" or "0x" (up to eight digits,
// taken as a 32-bit pattern, so "$FFFFFFFF" is -1).
std::optional<qint32> parseInteger(const QString& text);

// An integer, non-zero being true.
std::optional<bool> parseBoolean(const QString& text);
inline QString booleanToString(bool value) {
    return value ? QStringLiteral("1") : QStringLiteral("0");
}

// Dates are written as yyyy-MM-dd, the same in every locale, so a file moved between
// users or a change of locale does not lose them. Reading also takes the system locale's
// short format (files written by hand), with a two-digit year in this century.
QString dateToString(QDate date);
std::optional<QDate> parseDate(const QString& text);

} // namespace kalvento::settings
