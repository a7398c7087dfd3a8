#include "update/update_info.h"

#include "platform/ini_file.h"

namespace kalvento::update {

TUpdateInfo readUpdateInfo(const QString& file) {
    const platform::IniDocument document = platform::ini::load(file);
    const QString section = QStringLiteral("UpdateInfo");
    const QString missing = QString::fromLatin1(NotAvailable);
    TUpdateInfo info;
    info.Version = document.value(section, u"Version", missing);
    info.UpdateURL = document.value(section, u"UpdateURL", missing);
    info.ReadmeURL = document.value(section, u"ReadmeURL", missing);
    info.Details = document.value(section, u"Details", missing);
    return info;
}

} // namespace kalvento::update
