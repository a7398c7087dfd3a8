#include "update/update_schedule.h"

#include "settings/settings_store.h"

#include <QScopedValueRollback>

namespace kalvento::update {

NextCheck TarkistaPaivitykset(const QString& settingsPath, QDate today, bool alwaysConnected,
                              bool online, const UpdateCheckHooks& hooks) {
    const settings::UpdateState state = settings::readUpdateState(settingsPath, today);
    int errorCount = state.errorCount;
    const bool due = today > state.lastChecked && (alwaysConnected || online);
    if (due) {
        if (const auto written = settings::writeLastChecked(settingsPath, today); !written)
            hooks.reportError(written.error);
        const int result = hooks.runCheck();
        if (result == crFailed) {
            ++errorCount;
            if (errorCount >= kErrorCountAlert && hooks.askResetCounter(errorCount))
                errorCount = 0;
        } else if (result == crNewer) {
            if (hooks.askShowNewer())
                hooks.showNewer();
        } else {
            errorCount = 0;
        }
        if (const auto written = settings::writeErrorCount(settingsPath, errorCount); !written)
            hooks.reportError(written.error);
    }
    // Not due today because no connection was known: wait for one.
    return due || today <= state.lastChecked ? NextCheck::Tomorrow : NextCheck::WhenOnline;
}

UpdateSchedule::UpdateSchedule(Config config, QObject* parent)
    : QObject(parent), m_config(std::move(config)),
      // The detector and the timer start disabled; showing arms them.
      m_internetti(m_config.internetSources ? new TINetDetect(*m_config.internetSources, this)
                                            : new TINetDetect(this)) {
    m_internetti->SetDispatchInterval(10000);
    m_internetti->SetOnChanged([this](TINetDetect*) { InternettiChanged(); });
    m_paivitys.setInterval(1000);
    connect(&m_paivitys, &QTimer::timeout, this, &UpdateSchedule::PaivitysTimer);
}

QDate UpdateSchedule::today() const {
    return m_config.today ? m_config.today() : QDate::currentDate();
}

void UpdateSchedule::follow(bool automaticUpdate, bool alwaysConnected) {
    m_automaticUpdate = automaticUpdate;
    m_alwaysConnected = alwaysConnected;
    arm();
}

void UpdateSchedule::windowShown() {
    m_paivitys.setSingleShot(false);
    arm();
}

void UpdateSchedule::arm() {
    const bool autoUpdate = m_automaticUpdate && m_config.automaticCheckBuilt;
    m_internetti->SetEnabled(autoUpdate && !m_alwaysConnected);
    // A running timer keeps its count: confirming the options must not put off the check.
    if (autoUpdate && (m_alwaysConnected || m_internetti->Online())) {
        if (!m_paivitys.isActive())
            m_paivitys.start();
    } else {
        m_paivitys.stop();
    }
}

void UpdateSchedule::InternettiChanged() {
    // Only while automatic updates are on: the detector's first look, which may end after
    // the options turned them off, must not start the checks.
    if (m_internetti->Online() && m_automaticUpdate && m_config.automaticCheckBuilt)
        m_paivitys.start();
    else
        m_paivitys.stop();
}

void UpdateSchedule::PaivitysTimer() {
    // A check that is under way (it waits for the server) is not started again.
    if (m_checkRunning)
        return;
    if (m_windowAway) {
        m_paivitys.stop();
        emit checkDue();
    }
}

NextCheck UpdateSchedule::TarkistaPaivitykset(const UpdateCheckHooks& hooks) {
    NextCheck next = NextCheck::WhenOnline;
    {
        QScopedValueRollback running(m_checkRunning, true);
        next = update::TarkistaPaivitykset(m_config.settingsPath, today(), m_alwaysConnected,
                                           m_internetti->Online(), hooks);
    }
    if (next == NextCheck::WhenOnline)
        return next; // Paivitys stays stopped until the detector reports a connection
    m_paivitys.stop();
    m_internetti->SetEnabled(false);
    if (m_alwaysConnected) {
        m_paivitys.setInterval(kDayMilliseconds);
        m_paivitys.start();
    } else {
        m_internetti->SetDispatchInterval(kDayMilliseconds);
        m_internetti->SetEnabled(true);
    }
    return next;
}

} // namespace kalvento::update
