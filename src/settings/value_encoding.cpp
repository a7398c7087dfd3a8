#include "settings/value_encoding.h"

#include <QLocale>

#include <cctype>

namespace kalvento::settings {

std::optional<qint32> parseInteger(const QString& text) {
    QStringView digits = QStringView(text).trimmed();
    int base = 10;
    if (digits.startsWith(u'$')) {
        digits = digits.mid(1);
        base = 16;
    } else if (digits.startsWith(u"0x", Qt::CaseInsensitive)) {
        digits = digits.mid(2);
        base = 16;
    }
    if (digits.isEmpty())
        return std::nullopt;
    bool ok = false;
    if (base == 16) {
        // toUInt would accept a sign or blanks here; a hex pattern has neither.
        for (const QChar c : digits) {
            if (c.unicode() > 0x7F || !std::isxdigit(c.unicode()))
                return std::nullopt;
        }
        const qulonglong value = digits.toULongLong(&ok, 16);
        if (!ok || value > 0xFFFFFFFFull)
            return std::nullopt;
        return qint32(quint32(value));
    }
    const int value = digits.toInt(&ok, 10);
    if (!ok)
        return std::nullopt;
    return value;
}

std::optional<bool> parseBoolean(const QString& text) {
    if (const std::optional<qint32> value = parseInteger(text))
        return *value != 0;
    return std::nullopt;
}

QString dateToString(QDate date) {
    return date.toString(Qt::ISODate);
}

std::optional<QDate> parseDate(const QString& text) {
    const QString trimmed = text.trimmed();
    if (trimmed.isEmpty())
        return std::nullopt;
    QDate date = QDate::fromString(trimmed, Qt::ISODate);
    if (date.isValid())
        return date;
    const QLocale locale = QLocale::system();
    const QString format = locale.dateFormat(QLocale::ShortFormat);
    date = locale.toDate(trimmed, format);
    if (!date.isValid())
        return std::nullopt;
    if (!format.contains(QStringLiteral("yyyy")) && date.year() < 2000)
        date = date.addYears(100);
    return date;
}

} // namespace kalvento::settings
