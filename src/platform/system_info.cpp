#include "platform/system_info.h"

#include <QFile>
#include <QStringList>

#include <sys/sysinfo.h>
#include <sys/utsname.h>

namespace kalvento::platform {

namespace {

// The value of KEY=value or KEY="value" in an os-release text (shell-style quoting, with
// backslash escapes inside double quotes).
QString osReleaseValue(const QString& text, QStringView key) {
    for (const QString& raw : text.split(QLatin1Char('\n'))) {
        const QString line = raw.trimmed();
        if (!line.startsWith(key) || line.mid(key.size(), 1) != QLatin1String("="))
            continue;
        QString value = line.mid(key.size() + 1);
        if (value.size() >= 2 && (value.front() == u'"' || value.front() == u'\'') &&
            value.back() == value.front()) {
            const QChar quote = value.front();
            value = value.mid(1, value.size() - 2);
            if (quote == u'"') {
                QString unescaped;
                for (qsizetype i = 0; i < value.size(); ++i) {
                    if (value[i] == u'\\' && i + 1 < value.size())
                        ++i;
                    unescaped += value[i];
                }
                value = unescaped;
            }
        }
        return value.trimmed();
    }
    return QString();
}

QString readText(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    return QString::fromUtf8(file.read(qint64{64} * 1024));
}

} // namespace

QString systemLine(const QString& osRelease, const QString& kernelRelease, const QString& machine) {
    QString pretty = osReleaseValue(osRelease, u"PRETTY_NAME");
    QStringList kernel;
    if (!kernelRelease.isEmpty())
        kernel << QStringLiteral("Linux ") + kernelRelease;
    if (!machine.isEmpty())
        kernel << machine;
    QString kernelText = kernel.join(QStringLiteral(", "));
    if (pretty.isEmpty())
        return kernelText;
    if (kernelText.isEmpty())
        return pretty;
    return pretty + QStringLiteral(" (") + kernelText + u')';
}

QString systemLine() {
    QString osRelease = readText(QStringLiteral("/etc/os-release"));
    if (osRelease.isEmpty())
        osRelease = readText(QStringLiteral("/usr/lib/os-release"));
    utsname names{};
    if (uname(&names) != 0)
        return systemLine(osRelease, QString(), QString());
    return systemLine(osRelease, QString::fromLocal8Bit(names.release),
                      QString::fromLocal8Bit(names.machine));
}

qint64 totalMemoryKilobytes() {
    struct sysinfo info {};
    if (sysinfo(&info) != 0)
        return 0;
    return qint64(info.totalram) * qint64(info.mem_unit) / 1024;
}

} // namespace kalvento::platform
