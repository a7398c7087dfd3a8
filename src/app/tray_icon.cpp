#include "app/tray_icon.h"

#include <QApplication>
#include <QCursor>
#include <QMenu>
#include <QWidget>

namespace kalvento::app {

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
    m_trayIcon->setVisible(active);
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

void restoreAndRaise(QWidget& window) {
    if (window.isMinimized())
        window.setWindowState(window.windowState() & ~Qt::WindowMinimized);
    window.show();
    window.raise();
    window.activateWindow();
}

} // namespace kalvento::app
