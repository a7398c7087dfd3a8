#include "update/update_schedule.h"

#include "settings/settings_store.h"

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

} // namespace kalvento::update
