#pragma once
// Filling the placeholders of message texts, translated ones included: "%s" and "%d" take
// the next argument as it is, "%1.n" (any width and precision before the "n") the next one
// as well, which the caller formats with ThousandsNumber; "%%" is a percent sign. A
// translation with fewer placeholders simply shows fewer values, one with more keeps the
// extra placeholders as text; arguments are never scanned again.

#include <QString>
#include <QStringList>

namespace kalvento::lang {

QString FormatMessage(const QString& pattern, const QStringList& args);

// A whole number with the locale's thousands separators and no decimals ("1,234,567").
QString ThousandsNumber(qint64 value);

} // namespace kalvento::lang
