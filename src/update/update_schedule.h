#pragma once
// The daily update check: when one is due (UpdateSchedule, with its timer and the Internet
// detector), running it, counting the checks that failed in a row, and asking the user
// about a newer version (TarkistaPaivitykset, whose questions and windows are hooks). The
// main window tells the schedule where it is and runs the check when told it is due.

#include "update/inet_detect.h"

#include <QDate>
#include <QObject>
#include <QString>
#include <QTimer>

#include <functional>
#include <optional>

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

// When the daily check is due. Paivitys ticks every second once armed; a tick while the
// window is out of sight (minimized or hidden in the tray) stops it and says checkDue.
// Paivitys runs while automatic updates are on and a connection is known ("Always connected
// to the Internet", or Internetti, which polls for one meanwhile). After a check the next
// one is a day away: Paivitys at 24 hours, or Internetti polling once a day.
class UpdateSchedule : public QObject {
    Q_OBJECT
public:
    struct Config {
        QString settingsPath; // holds "Last checked" and "Error type 1 count"
        // Whether this build checks by itself (KALVENTO_UPDATE_CHECK).
        bool automaticCheckBuilt = kAutomaticCheckBuilt;
        // Today's date (tests); unset, the system's.
        std::function<QDate()> today;
        // Where Internetti looks (tests); unset, the system.
        std::optional<AddressSources> internetSources;
    };

    explicit UpdateSchedule(Config config, QObject* parent = nullptr);

    // "Automatic update" and "Always connected to the Internet" as they are now; the timers
    // follow them at once (a running Paivitys keeps its count, so that confirming the
    // options does not put off the check).
    void follow(bool automaticUpdate, bool alwaysConnected);
    // The window was shown: Paivitys ticks every second again, armed as the settings say.
    void windowShown();
    // Whether the window is out of the user's sight: minimized or hidden in the tray.
    void setWindowAway(bool away) { m_windowAway = away; }
    bool windowAway() const { return m_windowAway; }

    // A tick of Paivitys.
    void PaivitysTimer();
    // Internetti found or lost the connection.
    void InternettiChanged();
    // Runs the check through hooks when one is due, and schedules the next.
    NextCheck TarkistaPaivitykset(const UpdateCheckHooks& hooks);
    // While a check runs, ticks start nothing.
    bool checkRunning() const { return m_checkRunning; }

    QTimer& Paivitys() { return m_paivitys; }
    TINetDetect* Internetti() const { return m_internetti; }
    QDate today() const;

signals:
    // A check is due: the window runs it (TarkistaPaivitykset) when it can.
    void checkDue();

private:
    void arm();

    Config m_config;
    bool m_automaticUpdate = false;
    bool m_alwaysConnected = false;
    bool m_windowAway = false;
    bool m_checkRunning = false;
    QTimer m_paivitys;
    TINetDetect* m_internetti;
};

} // namespace kalvento::update
