#pragma once
// The main window's side of updates: the daily schedule, the check it runs without a
// window (which opens only when a newer version is found and the user asks to see it), and
// the update window the update button opens.

#include "dialogs/user_dialogs.h"
#include "update/update_schedule.h"

#include <QImage>
#include <QList>
#include <QObject>
#include <QString>

#include <memory>

class QAbstractButton;
class QWidget;

namespace kalvento::dialogs {
class TUpdateIkkuna;
}
namespace kalvento::settings {
struct Settings;
}

namespace kalvento::app {

class WindowUpdates : public QObject {
    Q_OBJECT
public:
    // What the update window shows and where questions go; the window's own, which
    // change as the user's settings do.
    struct Parts {
        QWidget& window;
        const settings::Settings& settings;
        const QImage& background;
        const QList<QImage>& kuvat;
        QString resourceDirectory;
        dialogs::UserDialogs& dialogs;
        // Greyed while a check waits for the server.
        QAbstractButton& updateButton;
    };

    WindowUpdates(Parts parts, update::UpdateSchedule::Config schedule);

    update::UpdateSchedule& schedule() { return *m_schedule; }
    // The update window, modally; the schedule is not touched.
    void btnUpdateClick();
    // The check the schedule says is due.
    void TarkistaPaivitykset();

private:
    std::unique_ptr<dialogs::TUpdateIkkuna> makeUpdateWindow();
    bool askQuestion(dialogs::Severity severity, const QString& text);

    Parts m_parts;
    update::UpdateSchedule* m_schedule = nullptr;
};

} // namespace kalvento::app
