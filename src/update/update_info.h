#pragma once
// The update description the server offers: an INI text whose section "UpdateInfo" names
// the offered version, the file to download, a page about it and one line of details.

#include <QString>

namespace kalvento::update {

inline constexpr char NotAvailable[] = "N/A";

struct TUpdateInfo {
    QString Version = QString::fromLatin1(NotAvailable);
    QString UpdateURL = QString::fromLatin1(NotAvailable);
    QString ReadmeURL = QString::fromLatin1(NotAvailable);
    QString Details = QString::fromLatin1(NotAvailable);
};

// The description in file; "N/A" for every key it lacks (and for a file that cannot be read).
TUpdateInfo readUpdateInfo(const QString& file);

} // namespace kalvento::update
