#include "network/workgroup.h"

#include "platform/text_codec.h"

#include <QFile>
#include <QStringList>

namespace kalvento::network {

using platform::decodeUtf8OrAnsi;

namespace {

// Parameter and section names compare without case and without blanks ("Work Group").
QString normalizedName(QStringView name) {
    QString out;
    for (QChar c : name)
        if (!c.isSpace())
            out.append(c.toLower());
    return out;
}

} // namespace

std::optional<QString> workgroupFromSmbConf(QByteArrayView contents) {
    const QString text = decodeUtf8OrAnsi(contents);
    QStringList lines;
    QString pending;
    for (const QString& raw : text.split(QLatin1Char('\n'))) {
        QString line = raw;
        if (line.endsWith(QLatin1Char('\r')))
            line.chop(1);
        pending += line;
        if (pending.endsWith(QLatin1Char('\\'))) {
            pending.chop(1);
            continue;
        }
        lines.append(pending);
        pending.clear();
    }
    if (!pending.isEmpty())
        lines.append(pending);

    std::optional<QString> result;
    bool inGlobal = true; // before the first section header
    for (const QString& raw : lines) {
        const QString line = raw.trimmed();
        if (line.isEmpty() || line.startsWith(QLatin1Char(';')) ||
            line.startsWith(QLatin1Char('#')))
            continue;
        if (line.startsWith(QLatin1Char('['))) {
            const qsizetype close = line.indexOf(QLatin1Char(']'));
            const QString section = normalizedName(line.mid(1, close < 0 ? -1 : close - 1));
            inGlobal = section == QLatin1String("global") || section == QLatin1String("globals");
            continue;
        }
        const qsizetype equals = line.indexOf(QLatin1Char('='));
        if (!inGlobal || equals < 0)
            continue;
        if (normalizedName(QStringView(line).first(equals)) != QLatin1String("workgroup"))
            continue;
        const QString value = line.mid(equals + 1).trimmed();
        result = value.isEmpty() ? std::nullopt : std::optional<QString>(value);
    }
    return result;
}

QString workgroupName(const QString& smbConfPath) {
    QString override = qEnvironmentVariable("KALVENTO_WORKGROUP");
    if (!override.isEmpty())
        return override;
    QFile file(smbConfPath);
    if (file.open(QIODevice::ReadOnly)) {
        if (const auto name = workgroupFromSmbConf(file.readAll()))
            return *name;
    }
    return QString::fromLatin1(kDefaultWorkgroup);
}

QString workgroupName() {
    return workgroupName(QString::fromLatin1(kDefaultSmbConfPath));
}

} // namespace kalvento::network
