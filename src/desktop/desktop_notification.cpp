#include "desktop/desktop_notification.h"

#include "desktop/program_icon.h"
#include "desktop/wayland_activation.h"
#include "lang/language_file.h"
#include "lang/message_table.h"
#include "platform/text_codec.h"
#include "platform/trace.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QRegularExpression>
#include <QVariantMap>

namespace kalvento::desktop {

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

namespace {

// Control characters become spaces: a peer's text cannot lay itself out as something else.
QString withoutControls(QString text) {
    for (QChar& c : text)
        if (c.category() == QChar::Other_Control)
            c = u' ';
    return text;
}

} // namespace

QString DesktopNotification::bodyText(const QString& text, bool serviceReadsMarkup) {
    QString line = text;
    if (const qsizetype end =
            line.indexOf(QRegularExpression(QStringLiteral("[\\r\\n\\x{2028}\\x{2029}]")));
        end >= 0)
        line.truncate(end);
    line = withoutControls(line);
    if (line.size() > kMaxBodyLength) {
        qsizetype cut = kMaxBodyLength - 1;
        if (line.at(cut).isLowSurrogate())
            --cut; // keep a surrogate pair whole
        line = line.left(cut) + QChar(0x2026);
    }
    line = platform::isolatedText(line);
    return serviceReadsMarkup ? line.toHtmlEscaped() : line;
}

QString DesktopNotification::summaryText(const QString& sender, bool serviceReadsMarkup) {
    const QString name = platform::isolatedText(withoutControls(sender));
    return serviceReadsMarkup ? name.toHtmlEscaped() : name;
}

DesktopNotification::Shown* DesktopNotification::find(const QString& sender) {
    for (Shown& shown : m_shown)
        if (shown.sender == sender)
            return &shown;
    return nullptr;
}

const DesktopNotification::Shown* DesktopNotification::find(const QString& sender) const {
    for (const Shown& shown : m_shown)
        if (shown.sender == sender)
            return &shown;
    return nullptr;
}

DesktopNotification::Shown* DesktopNotification::findId(uint id) {
    if (id == 0)
        return nullptr;
    for (Shown& shown : m_shown)
        if (shown.id == id)
            return &shown;
    return nullptr;
}

uint DesktopNotification::id(const QString& sender) const {
    const Shown* shown = find(sender);
    return shown ? shown->id : 0;
}

uint DesktopNotification::id() const {
    return m_shown.isEmpty() ? 0 : m_shown.last().id;
}

void DesktopNotification::show(const QString& sender, const QString& text) {
    qsizetype at = -1;
    for (qsizetype i = 0; i < m_shown.size(); ++i)
        if (m_shown[i].sender == sender)
            at = i;
    Shown shown;
    if (at >= 0) {
        shown = m_shown.takeAt(at);
    } else if (m_shown.size() >= kMaxShown) {
        // The notification updated longest ago is taken over, id and all.
        shown = m_shown.takeFirst();
        shown.sender = sender;
    } else {
        shown.sender = sender;
    }
    shown.closeWhenShown = false;
    shown.body = text;
    const bool pending = shown.callPending;
    if (pending)
        shown.sendAgain = true; // sent with the id the pending call brings
    m_shown.append(shown);
    if (!pending)
        send(sender);
}

void DesktopNotification::send(const QString& sender) {
    Shown* shown = find(sender);
    if (shown == nullptr || !connectOnce())
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
    const bool markup = m_markup.value_or(true);
    message << QStringLiteral("Kalvento") << shown->id << icon << summaryText(shown->sender, markup)
            << bodyText(shown->body, markup)
            << QStringList{QStringLiteral("default"), lang::GetMessageText(lang::MessageId::M044)}
            << hints << -1;
    shown->callPending = true;
    shown->sendAgain = false;
    auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(message), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this, sender](QDBusPendingCallWatcher* w) {
                const QDBusPendingReply<uint> reply = *w;
                w->deleteLater();
                Shown* answered = find(sender);
                if (answered == nullptr)
                    return; // taken over by another sender meanwhile
                answered->callPending = false;
                if (reply.isError()) {
                    // No service: silently nothing. The next message tries again.
                    platform::trace(QStringLiteral("notification failed: ") + reply.error().name());
                    answered->id = 0;
                    return;
                }
                answered->id = reply.value();
                platform::trace(QStringLiteral("notification %1").arg(answered->id));
                if (answered->closeWhenShown) {
                    answered->closeWhenShown = false;
                    closeOne(*answered); // the user came back while the service was answering
                } else if (answered->sendAgain) {
                    send(sender);
                }
            });
}

void DesktopNotification::closeOne(Shown& shown) {
    shown.sendAgain = false;
    if (shown.callPending) {
        shown.closeWhenShown = true;
        return;
    }
    if (shown.id == 0)
        return;
    QDBusMessage message = call(QStringLiteral("CloseNotification"));
    message << shown.id;
    QDBusConnection::sessionBus().asyncCall(message);
    shown.id = 0;
}

void DesktopNotification::close() {
    for (Shown& shown : m_shown)
        closeOne(shown);
    m_shown.removeIf([](const Shown& shown) { return !shown.callPending; });
}

void DesktopNotification::onActionInvoked(uint id, const QString& action) {
    if (findId(id) != nullptr && action == QLatin1String("default"))
        emit activated();
}

void DesktopNotification::onActivationToken(uint id, const QString& token) {
    if (findId(id) != nullptr && !token.isEmpty() && onWayland())
        qputenv("XDG_ACTIVATION_TOKEN", token.toUtf8());
}

void DesktopNotification::onNotificationClosed(uint id, uint) {
    if (Shown* shown = findId(id))
        shown->id = 0; // the sender's next message makes a new one
}

} // namespace kalvento::desktop
