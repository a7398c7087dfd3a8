#include "desktop/desktop_idle.h"

#include <QDBusConnection>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusVariant>
#include <QGuiApplication>

#include <unistd.h>

namespace kalvento::desktop {

namespace {

const QString kMutterService = QStringLiteral("org.gnome.Mutter.IdleMonitor");
const QString kMutterPath = QStringLiteral("/org/gnome/Mutter/IdleMonitor/Core");
const QString kScreenSaverService = QStringLiteral("org.freedesktop.ScreenSaver");
const QString kScreenSaverPath = QStringLiteral("/org/freedesktop/ScreenSaver");
const QString kLogindService = QStringLiteral("org.freedesktop.login1");
const QString kLogindSession = QStringLiteral("org.freedesktop.login1.Session");
const QString kProperties = QStringLiteral("org.freedesktop.DBus.Properties");

// The Display* of the program's own X connection; null on any other platform.
void* ownX11Display() {
#if QT_CONFIG(xcb)
    if (qGuiApp)
        if (auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>())
            return static_cast<void*>(x11->display());
#endif
    return nullptr;
}

// Calls method and hands its reply to done, whenever it comes, on context's thread.
template <class Done>
void callAsync(const QDBusConnection& bus, const QDBusMessage& message, QObject* context,
               Done done) {
    auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(message), context);
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, context,
                     [done](QDBusPendingCallWatcher* w) {
                         w->deleteLater();
                         done(QDBusMessage(w->reply()));
                     });
}

} // namespace

DesktopIdleSource::DesktopIdleSource(QObject* parent) : IdleSource(parent) {
    if (void* display = ownX11Display()) {
        m_x11 = std::make_unique<platform::X11ScreenSaverIdle>(display);
        if (m_x11->usable())
            m_way = Way::X11;
    }
    if (m_way != Way::X11)
        m_way = Way::Mutter;

    // The lock: the screen saver service says when it turns on (the desktops that offer it
    // lock the screen with it), logind says it of the session.
    QDBusConnection session = QDBusConnection::sessionBus();
    if (session.isConnected()) {
        for (const QString& path : {kScreenSaverPath, QStringLiteral("/ScreenSaver")})
            session.connect(QString(), path, kScreenSaverService, QStringLiteral("ActiveChanged"),
                            this, SLOT(screenSaverActiveChanged(bool)));
        session.connect(QString(), QStringLiteral("/org/gnome/ScreenSaver"),
                        QStringLiteral("org.gnome.ScreenSaver"), QStringLiteral("ActiveChanged"),
                        this, SLOT(screenSaverActiveChanged(bool)));
        callAsync(session,
                  QDBusMessage::createMethodCall(kScreenSaverService, kScreenSaverPath,
                                                 kScreenSaverService, QStringLiteral("GetActive")),
                  this, [this](const QDBusMessage& reply) {
                      if (reply.type() == QDBusMessage::ReplyMessage &&
                          !reply.arguments().isEmpty())
                          setLocked(reply.arguments().constFirst().toBool());
                  });
    }
    followLogindSession();
}

DesktopIdleSource::~DesktopIdleSource() = default;

QString DesktopIdleSource::idleWay() const {
    switch (m_way) {
    case Way::X11:
        return QStringLiteral("x11");
    case Way::Mutter:
        return QStringLiteral("mutter");
    case Way::ScreenSaver:
        return QStringLiteral("screensaver");
    case Way::None:
        break;
    }
    return QStringLiteral("none");
}

void DesktopIdleSource::askIdleTime() {
    if (m_way == Way::X11) {
        emit idleTimeKnown(m_x11->idleTime().value_or(-1));
        return;
    }
    if (m_asking)
        return; // the answer to the call under way comes
    // A service missing at the last ask may have started since.
    if (m_way == Way::None)
        m_way = Way::Mutter;
    askOverDBus();
}

void DesktopIdleSource::askOverDBus() {
    QDBusConnection session = QDBusConnection::sessionBus();
    if (!session.isConnected() || m_way == Way::None) {
        m_way = Way::None;
        emit idleTimeKnown(-1);
        return;
    }
    m_asking = true;
    const bool mutter = m_way == Way::Mutter;
    const QDBusMessage call =
        mutter ? QDBusMessage::createMethodCall(kMutterService, kMutterPath, kMutterService,
                                                QStringLiteral("GetIdletime"))
               : QDBusMessage::createMethodCall(kScreenSaverService, kScreenSaverPath,
                                                kScreenSaverService,
                                                QStringLiteral("GetSessionIdleTime"));
    callAsync(session, call, this, [this, mutter](const QDBusMessage& reply) {
        m_asking = false;
        if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) {
            // Not offered here: the next way, and at the end none.
            m_way = mutter ? Way::ScreenSaver : Way::None;
            askOverDBus();
            return;
        }
        // Both answer in milliseconds (the compositor's as a 64-bit count).
        bool ok = false;
        const qlonglong idle = reply.arguments().constFirst().toLongLong(&ok);
        emit idleTimeKnown(ok && idle >= 0 ? idle : -1);
    });
}

void DesktopIdleSource::followLogindSession() {
    QDBusConnection system = QDBusConnection::systemBus();
    if (!system.isConnected())
        return;
    QDBusMessage call = QDBusMessage::createMethodCall(
        kLogindService, QStringLiteral("/org/freedesktop/login1"),
        QStringLiteral("org.freedesktop.login1.Manager"), QStringLiteral("GetSessionByPID"));
    call << quint32(getpid());
    callAsync(system, call, this, [this](const QDBusMessage& reply) {
        if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
            return; // no logind, or this process belongs to no session of it
        m_sessionPath = reply.arguments().constFirst().value<QDBusObjectPath>().path();
        if (m_sessionPath.isEmpty())
            return;
        QDBusConnection::systemBus().connect(
            kLogindService, m_sessionPath, kProperties, QStringLiteral("PropertiesChanged"), this,
            SLOT(sessionPropertiesChanged(QString, QVariantMap, QStringList)));
        askLockedHint();
    });
}

void DesktopIdleSource::askLockedHint() {
    QDBusMessage call = QDBusMessage::createMethodCall(kLogindService, m_sessionPath, kProperties,
                                                       QStringLiteral("Get"));
    call << kLogindSession << QStringLiteral("LockedHint");
    callAsync(QDBusConnection::systemBus(), call, this, [this](const QDBusMessage& reply) {
        if (reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty())
            setLocked(reply.arguments().constFirst().value<QDBusVariant>().variant().toBool());
    });
}

void DesktopIdleSource::screenSaverActiveChanged(bool active) {
    setLocked(active);
}

void DesktopIdleSource::sessionPropertiesChanged(const QString& interface,
                                                 const QVariantMap& changed,
                                                 const QStringList& invalidated) {
    if (interface != kLogindSession)
        return;
    if (const auto hint = changed.constFind(QStringLiteral("LockedHint")); hint != changed.cend())
        setLocked(hint->toBool());
    else if (invalidated.contains(QStringLiteral("LockedHint")))
        askLockedHint();
}

void DesktopIdleSource::setLocked(bool locked) {
    if (locked == m_locked)
        return;
    m_locked = locked;
    emit lockedChanged(locked);
}

} // namespace kalvento::desktop
