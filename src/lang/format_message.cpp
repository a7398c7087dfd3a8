#include "lang/format_message.h"

#include <QLocale>

namespace kalvento::lang {

QString FormatMessage(const QString& pattern, const QStringList& args) {
    QString result;
    result.reserve(pattern.size() + 64);
    qsizetype next = 0;
    for (qsizetype i = 0; i < pattern.size(); ++i) {
        const QChar ch = pattern[i];
        if (ch != u'%' || i + 1 >= pattern.size()) {
            result += ch;
            continue;
        }
        if (pattern[i + 1] == u'%') {
            result += u'%';
            ++i;
            continue;
        }
        // "%s", "%d", or a width and precision before "n".
        qsizetype end = i + 1;
        while (end < pattern.size() && (pattern[end].isDigit() || pattern[end] == u'.'))
            ++end;
        const bool directive = end < pattern.size() &&
                               (pattern[end] == u'n' ||
                                (end == i + 1 && (pattern[end] == u's' || pattern[end] == u'd')));
        if (directive && next < args.size()) {
            result += args[next++];
            i = end;
            continue;
        }
        result += ch;
    }
    return result;
}

QString ThousandsNumber(qint64 value) {
    QLocale locale;
    locale.setNumberOptions(locale.numberOptions() & ~QLocale::OmitGroupSeparator);
    return locale.toString(value);
}

} // namespace kalvento::lang
