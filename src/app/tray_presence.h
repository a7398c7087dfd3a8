#pragma once
// The program beside its window: the tray icon and its menu, and how a new line is made
// known while the user looks elsewhere (the flashing alert icon, the desktop notification,
// the sound, the window brought up). The window keeps the decisions about itself; this
// object hides it, brings it back and raises the alerts.

#include <QObject>

class QAction;
class QMenu;
class QWidget;

namespace kalvento::desktop {
class AlertIcon;
class DesktopNotification;
class NewMessageAlert;
class TTrayIcon;
} // namespace kalvento::desktop
namespace kalvento::messaging {
struct ReceivedLine;
}
namespace kalvento::settings {
struct Settings;
}

namespace kalvento::app {

class TrayPresence : public QObject {
    Q_OBJECT
public:
    // The menu and its actions belong to window, where its handlers and translations find
    // them by name.
    explicit TrayPresence(QWidget& window);

    desktop::TTrayIcon* TrayIcon() const { return m_trayIcon; }
    desktop::AlertIcon* alertIcon() const { return m_alertIcon; }
    QAction* startWithSystemItem() const { return m_startWithSystem; }
    QAction* hideToTrayItem() const { return m_hideToTray; }
    QAction* closeItem() const { return m_close; }

    // The menu's check marks and the icon as the settings say.
    void showSettings(const settings::Settings& settings);
    void setToolTip(const QString& tip);
    // The user's "Status" submenu, at the top of the tray's menu.
    void addStatusMenu(QMenu* status);
    QMenu* menu() const { return m_menu; }
    // Whether the window is in the tray rather than on the desktop.
    bool active() const;

    void HideToTray();
    // The icon shown beside the window (always in the tray) brings it forward; from the
    // tray, the window comes back. The flashing stops either way.
    void TrayIconDblClick();
    // An alert's "show me", or the program started again: from the tray, or to the front.
    void bringBack();
    // A line the chat showed: the alerts the settings ask for, if the user is not looking.
    void alertNewLine(const messaging::ReceivedLine& line, const settings::Settings& settings);
    // An offer of files, which waits for the user's answer in a window of its own: the
    // alerts of a line but the box, the notification with title and text.
    void alertOffer(const QString& title, const QString& text, const settings::Settings& settings);
    // Every offer was answered: the flashing icon and the notification go, unless a line
    // came meanwhile that the user has not seen.
    void offersAnswered();
    // The user is in the window: the notification has done its work.
    void windowActivated();
    // Out of the minimized state, or the window going: the flashing stops.
    void stopFlashing();
    // The program ends: the icons go.
    void remove();

signals:
    // The window went to the tray or came back (the update schedule follows it).
    void windowPlaceChanged();

private:
    void alert(const QString& title, const QString& text, const settings::Settings& settings,
               bool line);
    void createMenu();
    void createAlerts();

    QWidget& m_window;
    desktop::TTrayIcon* m_trayIcon = nullptr;
    QMenu* m_menu = nullptr;
    QAction* m_startWithSystem = nullptr;
    QAction* m_hideToTray = nullptr;
    QAction* m_close = nullptr;
    desktop::AlertIcon* m_alertIcon = nullptr;
    bool m_lineUnseen = false; // a line alerted since the user was last in the window
    desktop::DesktopNotification* m_notification = nullptr;
    desktop::NewMessageAlert* m_alert = nullptr;
};

} // namespace kalvento::app
