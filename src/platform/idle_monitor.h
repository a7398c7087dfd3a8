#pragma once
// Whether the user has left the computer: away after a chosen time without use, or at once
// while the screen is locked, and back on their return. How long the desktop has been idle
// and whether it is locked come from an IdleSource (desktop/desktop_idle.h asks the X
// server or the desktop's D-Bus services; tests give a fake). The monitor asks the idle
// time only when the limit could first have been reached, and every few seconds while the
// user is away by idleness, never in a busy loop.
//
// X11ScreenSaverIdle reads the idle time of an X display through the screen saver
// extension, loaded at run time (libXss.so.1) so that the program runs without it.

#include <QObject>
#include <QTimer>

#include <chrono>
#include <memory>
#include <optional>

namespace kalvento::platform {

class IdleSource : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;
    // Asks how long the desktop has been without input; the answer comes as idleTimeKnown,
    // at once or later, negative when the desktop cannot tell.
    virtual void askIdleTime() = 0;

signals:
    void idleTimeKnown(qint64 milliseconds);
    // The screen was locked or unlocked.
    void lockedChanged(bool locked);
};

class IdleMonitor : public QObject {
    Q_OBJECT
public:
    // How often the idle time is asked while the user is away by idleness: a return shows
    // as a smaller idle time.
    static constexpr std::chrono::milliseconds kAwayPoll{5000};

    explicit IdleMonitor(IdleSource& source, std::chrono::milliseconds awayPoll = kAwayPoll,
                         QObject* parent = nullptr);

    // Away after limit without use; zero never (a locked screen then does not count either).
    void setLimit(std::chrono::milliseconds limit);
    std::chrono::milliseconds limit() const { return m_limit; }
    // The user is away: idle beyond the limit or the screen locked.
    bool away() const;
    // The program saw the user's input itself (a key, a click in its window): back at once.
    void userActive();

signals:
    void awayChanged(bool away);

private:
    void idleTimeKnown(qint64 milliseconds);
    void lockedChanged(bool locked);
    void askIn(std::chrono::milliseconds wait);
    void setIdleAway(bool idleAway);
    void tellIfChanged(bool wasAway);

    IdleSource& m_source;
    std::chrono::milliseconds m_awayPoll;
    std::chrono::milliseconds m_limit{0};
    QTimer m_timer;
    bool m_idleAway = false;
    bool m_locked = false;
    qint64 m_lastIdle = -1;
};

// The screen saver extension of an X display, through libXss.so.1 loaded at run time.
class X11ScreenSaverIdle {
public:
    // display: an open Display* (Qt's, or one of openDisplay). Nothing is usable when the
    // library or the extension is missing.
    explicit X11ScreenSaverIdle(void* display);
    ~X11ScreenSaverIdle();
    X11ScreenSaverIdle(const X11ScreenSaverIdle&) = delete;
    X11ScreenSaverIdle& operator=(const X11ScreenSaverIdle&) = delete;

    bool usable() const { return m_info != nullptr; }
    // Milliseconds since the last input on the display; none when not usable.
    std::optional<qint64> idleTime() const;
    // Why it is not usable, for the trace and the tests' skip; empty when it is.
    const QString& error() const { return m_error; }

    // An X display of its own (libX11.so.6 loaded at run time), closed by closeDisplay;
    // null when it cannot be opened.
    static void* openDisplay(const QByteArray& name);
    static void closeDisplay(void* display);

private:
    struct Functions;
    void* m_display = nullptr;
    void* m_library = nullptr;
    std::unique_ptr<Functions> m_functions;
    void* m_info = nullptr;
    unsigned long m_root = 0;
    QString m_error;
};

} // namespace kalvento::platform
