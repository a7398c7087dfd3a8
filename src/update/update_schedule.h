#pragma once
// The daily update check: whether one is due, running it, counting the checks that failed
// in a row, and asking the user about a newer version. The main window owns the timers and
// the update window; it hands them in as hooks.

#include <QDate>
#include <QString>

#include <functional>

#ifndef KALVENTO_UPDATE_CHECK
#define KALVENTO_UPDATE_CHECK 1
#endif

namespace kalvento::update {

// Whether the program checks for updates by itself; packagers build it without
// (-DKALVENTO_UPDATE_CHECK=OFF), and the update button then still checks when asked.
inline constexpr bool kAutomaticCheckBuilt = KALVENTO_UPDATE_CHECK != 0;

// What a check found (the update window sets it).
enum TCheckResult { crNotSet = 0, crFailed = 1, crNoNewer = 2, crNewer = 3 };

// The number of failed checks in a row at which the user hears of them.
inline constexpr int kErrorCountAlert = 10;
inline constexpr int kDayMilliseconds = 86400000;

struct UpdateCheckHooks {
    // Creates the update window without showing it and runs its check; the result.
    std::function<int()> runCheck;
    // M003 with the count; true when the user wants the counter reset.
    std::function<bool(int errorCount)> askResetCounter;
    // M002; true when the user wants to see the newer version.
    std::function<bool()> askShowNewer;
    // Shows the update window as the check left it.
    std::function<void()> showNewer;
    // A settings write that failed.
    std::function<void(const QString& error)> reportError;
};

enum class NextCheck {
    // No connection was known: nothing is rescheduled until the detector reports one.
    WhenOnline,
    // A check ran today, now or earlier: the next one is a day away.
    Tomorrow,
};

// One run of TarkistaPaivitykset: reads "Last checked" and "Error type 1 count" from the
// settings file, checks when a check is due today (writing today's date first, so a
// failed check is not repeated that day), counts or resets the failures, asks about a
// newer version, writes the count back, and says what the timers are to do.
NextCheck TarkistaPaivitykset(const QString& settingsPath, QDate today, bool alwaysConnected,
                              bool online, const UpdateCheckHooks& hooks);

} // namespace kalvento::update
