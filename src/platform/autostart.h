#pragma once
// Starting with the desktop session: an XDG autostart entry whose command runs the
// program with "-s" (start hidden in the notification area). Enabled exactly when the
// entry exists and does not carry Hidden=true (the way a desktop's settings switch off
// an entry).

#include "platform/result.h"

#include <QString>

namespace kalvento::platform {

// $XDG_CONFIG_HOME/autostart/kalvento.desktop (~/.config/autostart/ by default).
QString autostartEntryPath();

bool isAutostartEnabled();
bool isAutostartEnabled(const QString& entryPath);

// Writes the entry (atomically) or deletes it. False when that could not be done; the
// setting then simply stays as it was.
Result setAutostartEnabled(bool enabled, const QString& executablePath);
Result setAutostartEnabled(bool enabled, const QString& executablePath, const QString& entryPath);

// The Exec value that runs executablePath with "-s", quoted by the desktop-entry rules.
QString autostartExec(const QString& executablePath);

} // namespace kalvento::platform
