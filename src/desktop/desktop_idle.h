#pragma once
// How long the desktop has been without input, and whether its screen is locked, from where
// the desktop tells it: on X11 the screen saver extension of the program's own display; on
// Wayland the idle services of the desktops on the session bus (the compositor's idle
// monitor, then the screen saver service's session idle time). The lock comes from the
// screen saver service's ActiveChanged on the session bus and from logind's LockedHint of
// this process's session on the system bus. Every D-Bus call is asynchronous: a service
// that does not answer holds up nothing.

#include "platform/idle_monitor.h"

#include <QDBusMessage>
#include <QString>

#include <memory>

class QDBusPendingCallWatcher;

namespace kalvento::desktop {

class DesktopIdleSource : public platform::IdleSource {
    Q_OBJECT
public:
    explicit DesktopIdleSource(QObject* parent = nullptr);
    ~DesktopIdleSource() override;

    void askIdleTime() override;
    // What answers the idle time: "x11", "mutter", "screensaver", or "none" once every way
    // failed (the trace names it).
    QString idleWay() const;

private slots:
    // org.freedesktop.ScreenSaver.ActiveChanged.
    void screenSaverActiveChanged(bool active);
    // org.freedesktop.DBus.Properties.PropertiesChanged of the logind session.
    void sessionPropertiesChanged(const QString& interface, const QVariantMap& changed,
                                  const QStringList& invalidated);

private:
    enum class Way { X11, Mutter, ScreenSaver, None };
    void askOverDBus();
    void followLogindSession();
    void askLockedHint();
    void setLocked(bool locked);

    std::unique_ptr<platform::X11ScreenSaverIdle> m_x11;
    Way m_way = Way::None;
    QString m_sessionPath;
    bool m_locked = false;
    bool m_asking = false;
};

} // namespace kalvento::desktop
