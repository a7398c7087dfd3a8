#include "app/window_updates.h"

#include "dialogs/update_window.h"
#include "dialogs/user_dialogs.h"
#include "lang/format_message.h"
#include "lang/language_file.h"
#include "lang/message_table.h"
#include "platform/trace.h"
#include "settings/settings_store.h"
#include "update/update_check.h"

#include <QAbstractButton>
#include <QWidget>

#include <utility>

namespace kalvento::app {

WindowUpdates::WindowUpdates(Parts parts, update::UpdateSchedule::Config schedule)
    : QObject(&parts.window), m_parts(std::move(parts)) {
    // The timer and the Internet detector start disabled; showing the window arms them.
    m_schedule = new update::UpdateSchedule(std::move(schedule), &m_parts.window);
    connect(m_schedule, &update::UpdateSchedule::checkDue, this,
            &WindowUpdates::TarkistaPaivitykset);
}

std::unique_ptr<dialogs::TUpdateIkkuna> WindowUpdates::makeUpdateWindow() {
    return std::make_unique<dialogs::TUpdateIkkuna>(m_parts.settings, m_parts.background,
                                                    m_parts.kuvat, m_parts.resourceDirectory,
                                                    m_parts.dialogs, &m_parts.window);
}

void WindowUpdates::btnUpdateClick() {
    const std::unique_ptr<dialogs::TUpdateIkkuna> window = makeUpdateWindow();
    m_parts.dialogs.runModal(*window);
}

void WindowUpdates::TarkistaPaivitykset() {
    // The button would open a window beside the check while it waits for the server.
    m_parts.updateButton.setEnabled(false);
    update::UpdateCheck check;
    update::UpdateCheckHooks hooks;
    hooks.runCheck = [&] { return check.run(m_parts.settings); };
    hooks.askResetCounter = [this](int count) {
        return askQuestion(dialogs::Severity::Warning,
                           lang::FormatMessage(lang::GetMessageText(lang::MessageId::M003),
                                               {QString::number(count)}));
    };
    hooks.askShowNewer = [this] {
        return askQuestion(dialogs::Severity::Information,
                           lang::GetMessageText(lang::MessageId::M002));
    };
    hooks.showNewer = [&] {
        const std::unique_ptr<dialogs::TUpdateIkkuna> window = makeUpdateWindow();
        window->showCheck(check);
        m_parts.dialogs.runModal(*window);
    };
    hooks.reportError = [this](const QString& error) {
        m_parts.dialogs.reportError(&m_parts.window, error);
    };
    m_schedule->TarkistaPaivitykset(hooks);
    m_parts.updateButton.setEnabled(true);
}

bool WindowUpdates::askQuestion(dialogs::Severity severity, const QString& text) {
    platform::trace(QStringLiteral("question ") + text);
    return m_parts.dialogs.askQuestion(&m_parts.window, severity, text);
}

} // namespace kalvento::app
