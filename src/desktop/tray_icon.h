#pragma once
// The program's icon in the notification area, shown while the main window is hidden
// there (and, when the user asks for it, while the window is shown); it carries the tray
// menu and brings the window back on a double click.

#include <QIcon>
#include <QObject>
#include <QPoint>
#include <QPointer>
#include <QString>
#include <QSystemTrayIcon>

class QMenu;
class QWidget;

namespace kalvento::desktop {

class TTrayIcon : public QObject {
    Q_OBJECT
public:
    static constexpr int kToolTipLimit = 62;

    explicit TTrayIcon(QObject* owner = nullptr);
    ~TTrayIcon() override;

    // Whether any notification area is there to show an icon in.
    static bool trayAvailable();

    // Adds (true) or removes (false) the icon; writing the current value does nothing.
    // Active means the window is hidden in the tray, whether or not the icon stays shown
    // beside the window as well (AlwaysVisible).
    bool Active() const { return m_active; }
    void SetActive(bool active);

    // The icon stays in the tray while the window is shown too, so that its menu can be
    // reached; Active is not changed by it.
    bool AlwaysVisible() const { return m_alwaysVisible; }
    void SetAlwaysVisible(bool always);

    QIcon Icon() const { return m_icon; }
    void SetIcon(const QIcon& icon);

    // Keeps the first 62 characters.
    QString ToolTip() const { return m_toolTip; }
    void SetToolTip(const QString& toolTip);

    // Stored only: a hidden Qt window has no taskbar button of its own to hide.
    bool ShowApp() const { return m_showApp; }
    void SetShowApp(bool showApp) { m_showApp = showApp; }

    // Shown by the tray host on a right click.
    QMenu* PopupMenu() const;
    void SetPopupMenu(QMenu* menu);

    // Turns one activation of the icon into the component's events. Under StatusNotifierItem
    // a left click only ever arrives as Trigger, never as DoubleClick, so there it counts as
    // both the click and the double click. Under XEmbed Qt reports a double click as
    // Trigger followed by DoubleClick, which map one to one.
    void Activate(QSystemTrayIcon::ActivationReason reason, bool statusNotifier);

    // True unless Qt shows tray icons by embedding windows of its own into an XEmbed tray
    // (X11 without a StatusNotifierItem watcher on D-Bus).
    static bool statusNotifierInUse();

    QSystemTrayIcon* systemTrayIcon() const { return m_trayIcon; }

signals:
    void OnClick();
    void OnDblClick();
    // After the tray host has shown the popup menu; position is the cursor's.
    void OnRightClick(Qt::MouseButton button, Qt::KeyboardModifiers shift, QPoint position);

private:
    QSystemTrayIcon* m_trayIcon;
    bool m_active = false;
    bool m_alwaysVisible = false;
    bool m_showApp = false;
    QIcon m_icon;
    QString m_toolTip;
    QPointer<QMenu> m_popupMenu;
};

// Cuts text to at most limit UTF-16 units without splitting a surrogate pair.
QString cutTip(const QString& text, int limit);

// Hides window into the tray. Without a notification area a hidden window could never be
// brought back, so it is minimized instead and the tray icon stays inactive.
void hideToTray(QWidget& window, TTrayIcon& trayIcon);

// The reverse: removes the tray icon and shows the window again.
void restoreFromTray(QWidget& window, TTrayIcon& trayIcon);

// Restores window from its minimized state and brings it to the front.
void restoreAndRaise(QWidget& window);

} // namespace kalvento::desktop
