#include "desktop/tray_icon.h"

#include "desktop/wayland_activation.h"
#include "platform/trace.h"

#include <QApplication>
#include <QCursor>
#include <QMenu>
#include <QWidget>
#include <QWindow>

#include <utility>

namespace kalvento::desktop {

TTrayIcon::TTrayIcon(QObject* owner) : QObject(owner), m_trayIcon(new QSystemTrayIcon(this)) {
    connect(m_trayIcon, &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason reason) {
                Activate(reason, statusNotifierInUse());
            });
}

TTrayIcon::~TTrayIcon() {
    m_trayIcon->hide();
}

bool TTrayIcon::trayAvailable() {
    return QSystemTrayIcon::isSystemTrayAvailable();
}

void TTrayIcon::SetActive(bool active) {
    if (active == m_active)
        return;
    m_active = active;
    m_trayIcon->setVisible(m_active || m_alwaysVisible);
}

void TTrayIcon::SetAlwaysVisible(bool always) {
    m_alwaysVisible = always;
    m_trayIcon->setVisible(m_active || m_alwaysVisible);
}

void TTrayIcon::SetIcon(const QIcon& icon) {
    m_icon = icon;
    m_trayIcon->setIcon(icon);
}

void TTrayIcon::SetToolTip(const QString& toolTip) {
    m_toolTip = cutTip(toolTip, kToolTipLimit);
    m_trayIcon->setToolTip(m_toolTip);
}

QMenu* TTrayIcon::PopupMenu() const {
    return m_popupMenu;
}

void TTrayIcon::SetPopupMenu(QMenu* menu) {
    m_popupMenu = menu;
    m_trayIcon->setContextMenu(menu);
}

void TTrayIcon::Activate(QSystemTrayIcon::ActivationReason reason, bool statusNotifier) {
    switch (reason) {
    case QSystemTrayIcon::Trigger:
        emit OnClick();
        if (statusNotifier)
            emit OnDblClick();
        break;
    case QSystemTrayIcon::DoubleClick:
        emit OnDblClick();
        break;
    case QSystemTrayIcon::Context:
        emit OnRightClick(Qt::RightButton, Qt::NoModifier, QCursor::pos());
        break;
    default:
        break;
    }
}

bool TTrayIcon::statusNotifierInUse() {
    // Qt has no public word on it, but its XEmbed icons are small top-level widgets of its
    // own, present exactly while such an icon is shown; a StatusNotifierItem has none.
    const auto widgets = QApplication::topLevelWidgets();
    for (const QWidget* widget : widgets) {
        if (widget->inherits("QSystemTrayIconSys"))
            return false;
    }
    return true;
}

QString cutTip(const QString& text, int limit) {
    if (text.size() <= limit)
        return text;
    qsizetype length = limit;
    if (length > 0 && text.at(length - 1).isHighSurrogate())
        --length;
    return text.left(length);
}

void hideToTray(QWidget& window, TTrayIcon& trayIcon) {
    if (!TTrayIcon::trayAvailable()) {
        window.showMinimized();
        return;
    }
    window.hide();
    trayIcon.SetActive(true);
}

void restoreFromTray(QWidget& window, TTrayIcon& trayIcon) {
    trayIcon.SetActive(false);
    window.show();
}

namespace {

// Asks the compositor to activate the window; Qt's own request where it has none.
void activateOnWayland(QWidget& window, const QByteArray& token) {
    if (window.isActiveWindow()) {
        platform::trace(u"wayland-activation not needed: the window is active");
        return;
    }
    const WaylandActivation result = requestWaylandActivation(window.windowHandle(), token);
    platform::trace(QStringLiteral("wayland-activation %1%2")
                        .arg(waylandActivationName(result),
                             token.isEmpty() ? QString() : QStringLiteral(" with a token")));
    if (result != WaylandActivation::Requested)
        window.activateWindow();
}

// Activates a window that has just been shown once the compositor has mapped it: a
// compositor ignores a request for a surface it does not show yet.
class ActivateWhenExposed : public QObject {
public:
    ActivateWhenExposed(QWidget& window, QByteArray token)
        : QObject(&window), m_window(window), m_token(std::move(token)) {
        window.windowHandle()->installEventFilter(this);
    }

    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::Expose && m_window.windowHandle()->isExposed()) {
            m_window.windowHandle()->removeEventFilter(this);
            activateOnWayland(m_window, m_token);
            deleteLater();
        }
        return false;
    }

private:
    QWidget& m_window;
    QByteArray m_token;
};

} // namespace

void restoreAndRaise(QWidget& window) {
    // Shown already, though perhaps not exposed: Qt counts a Wayland window that gets no
    // frame callbacks (on a workspace out of sight) as unexposed, and it stays so until the
    // compositor shows it, which is what the request is for.
    const bool wasShown = window.isVisible();
    if (window.isMinimized())
        window.setWindowState(window.windowState() & ~Qt::WindowMinimized);
    window.show();
    window.raise();
    if (!onWayland()) {
        window.activateWindow();
        return;
    }
    // On Wayland only the compositor gives the focus, for a token: the one a click on our
    // notification left, taken here before Qt may use it up, or else one of our own, which
    // asks for the user's attention.
    QByteArray token = qgetenv("XDG_ACTIVATION_TOKEN");
    qunsetenv("XDG_ACTIVATION_TOKEN");
    if (wasShown)
        activateOnWayland(window, token);
    else if (window.windowHandle())
        new ActivateWhenExposed(window, std::move(token));
}

} // namespace kalvento::desktop
