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

// How long and how much the update window lets a server take. A description is a few
// hundred bytes, so the check refuses a large one while it arrives and ends within half a
// minute whatever the server does. A download may take long, but only while it moves: its
// connection must bring at least downloadMinimumRate bytes a second, counted over each
// window of downloadRateWindow seconds.
struct TUpdateLimits {
    int idleTimeout = 60; // seconds without a byte, for both
    int checkDeadline = 30;
    qint64 descriptionMaxBytes = qint64{64} * 1024;
    int downloadMinimumRate = 1024;
    int downloadRateWindow = 60;
};

} // namespace kalvento::update
