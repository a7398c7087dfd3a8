#include "app/desktop_notification.h"

#include "app/program_icon.h"
#include "app/wayland_activation.h"
#include "lang/language_file.h"
#include "lang/message_table.h"
#include "platform/trace.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QRegularExpression>
#include <QVariantMap>

namespace kalvento::app {

namespace {

const QString kService = QStringLiteral("org.freedesktop.Notifications");
const QString kPath = QStringLiteral("/org/freedesktop/Notifications");
const QString kInterface = QStringLiteral("org.freedesktop.Notifications");
constexpr qsizetype kMaxBodyLength = 300;

QDBusMessage call(const QString& method) {
    return QDBusMessage::createMethodCall(kService, kPath, kInterface, method);
}

} // namespace

DesktopNotification::DesktopNotification(QObject* parent) : QObject(parent) {}

// The bus is first used with the first notification: a program that never shows one never
// talks to it.
bool DesktopNotification::connectOnce() {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return false;
    if (m_connected)
        return true;
    m_connected = true;
    bus.connect(kService, kPath, kInterface, QStringLiteral("ActionInvoked"), this,
                SLOT(onActionInvoked(uint, QString)));
    bus.connect(kService, kPath, kInterface, QStringLiteral("NotificationClosed"), this,
                SLOT(onNotificationClosed(uint, uint)));
    // A Wayland client may only take the focus with a token the compositor handed out; a
    // service passes one with the click, and Qt's Wayland platform uses it from
    // XDG_ACTIVATION_TOKEN when the window asks to be activated.
    bus.connect(kService, kPath, kInterface, QStringLiteral("ActivationToken"), this,
                SLOT(onActivationToken(uint, QString)));
    // Asked without waiting: a service that is slow to start must not hold up the window.
    auto* watcher =
        new QDBusPendingCallWatcher(bus.asyncCall(call(QStringLiteral("GetCapabilities"))), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* w) {
        const QDBusPendingReply<QStringList> reply = *w;
        if (!reply.isError())
            m_markup = reply.value().contains(QStringLiteral("body-markup"));
        w->deleteLater();
    });
    return true;
}

DesktopNotification::~DesktopNotification() = default;

QString DesktopNotification::bodyText(const QString& text, bool serviceReadsMarkup) {
    QString line = text;
    if (const qsizetype end = line.indexOf(QRegularExpression(QStringLiteral("[\r\n]"))); end >= 0)
        line.truncate(end);
    for (QChar& c : line)
        if (c.category() == QChar::Other_Control)
            c = u' ';
    if (line.size() > kMaxBodyLength) {
        qsizetype cut = kMaxBodyLength - 1;
        if (line.at(cut).isLowSurrogate())
            --cut; // keep a surrogate pair whole
        line = line.left(cut) + QChar(0x2026);
    }
    return serviceReadsMarkup ? line.toHtmlEscaped() : line;
}

void DesktopNotification::show(const QString& sender, const QString& text) {
    m_closeWhenShown = false;
    m_summary = sender;
    m_body = text;
    if (m_callPending) {
        m_sendAgain = true; // sent with the id the pending call brings
        return;
    }
    send();
}

void DesktopNotification::send() {
    if (!connectOnce())
        return;
    QDBusConnection bus = QDBusConnection::sessionBus();
    QDBusMessage message = call(QStringLiteral("Notify"));
    QVariantMap hints;
    hints.insert(QStringLiteral("desktop-entry"), QStringLiteral("kalvento"));
    hints.insert(QStringLiteral("category"), QStringLiteral("im.received"));
    // The theme's icon by name; a program outside the theme names none.
    const QString icon = programIcon().source == ProgramIconSource::Theme
                             ? QString::fromLatin1(kProgramIconName)
                             : QString();
    message << QStringLiteral("Kalvento") << m_id << icon << m_summary
            << bodyText(m_body, m_markup.value_or(true))
            << QStringList{QStringLiteral("default"), lang::GetMessageText(lang::MessageId::M044)}
            << hints << -1;
    m_callPending = true;
    m_sendAgain = false;
    auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(message), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* w) {
        const QDBusPendingReply<uint> reply = *w;
        w->deleteLater();
        m_callPending = false;
        if (reply.isError()) {
            // No service: silently nothing. The next message tries again.
            platform::trace(QStringLiteral("notification failed: ") + reply.error().name());
            m_id = 0;
            return;
        }
        m_id = reply.value();
        platform::trace(QStringLiteral("notification %1").arg(m_id));
        if (m_closeWhenShown) {
            m_closeWhenShown = false;
            close(); // the user came back while the service was answering
        } else if (m_sendAgain) {
            send();
        }
    });
}

void DesktopNotification::close() {
    m_sendAgain = false;
    if (m_callPending) {
        m_closeWhenShown = true;
        return;
    }
    if (m_id == 0)
        return;
    QDBusConnection bus = QDBusConnection::sessionBus();
    QDBusMessage message = call(QStringLiteral("CloseNotification"));
    message << m_id;
    bus.asyncCall(message);
    m_id = 0;
}

void DesktopNotification::onActionInvoked(uint id, const QString& action) {
    if (id != 0 && id == m_id && action == QLatin1String("default"))
        emit activated();
}

void DesktopNotification::onActivationToken(uint id, const QString& token) {
    if (id != 0 && id == m_id && !token.isEmpty() && onWayland())
        qputenv("XDG_ACTIVATION_TOKEN", token.toUtf8());
}

void DesktopNotification::onNotificationClosed(uint id, uint) {
    if (id != 0 && id == m_id)
        m_id = 0; // the next message makes a new one
}

} // namespace kalvento::app
