#include "platform/trace.h"

#include <cstdio>

namespace kalvento::platform {

QString escapeControls(QStringView text) {
    QString escaped;
    escaped.reserve(text.size());
    for (const QChar c : text) {
        const char16_t u = c.unicode();
        if (u == u'\\') {
            escaped += QLatin1String("\\\\");
        } else if (u == u'\n') {
            escaped += QLatin1String("\\n");
        } else if (u == u'\r') {
            escaped += QLatin1String("\\r");
        } else if (u == u'\t') {
            escaped += QLatin1String("\\t");
        } else if (u < 0x20 || (u >= 0x7F && u < 0xA0) || u == 0x2028 || u == 0x2029) {
            escaped += QStringLiteral("\\x{%1}").arg(uint(u), 2, 16, QLatin1Char('0'));
        } else {
            escaped += c;
        }
    }
    return escaped;
}

bool traceEnabled() {
    static const bool enabled = [] {
        const QByteArray value = qgetenv("KALVENTO_TRACE");
        return !value.isEmpty() && value != "0";
    }();
    return enabled;
}

void trace(QStringView text) {
    if (!traceEnabled())
        return;
    const QByteArray line = "TRACE " + escapeControls(text).toUtf8() + '\n';
    std::fwrite(line.constData(), 1, size_t(line.size()), stderr);
    std::fflush(stderr);
}

} // namespace kalvento::platform
