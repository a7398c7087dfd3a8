#include "app/tray_presence.h"

#include "desktop/alert_icon.h"
#include "desktop/desktop_notification.h"
#include "desktop/new_message_alert.h"
#include "desktop/program_icon.h"
#include "desktop/sound_player.h"
#include "desktop/tray_icon.h"
#include "lang/language_file.h"
#include "lang/message_table.h"
#include "messaging/chat_events.h"
#include "settings/settings_store.h"
#include "widgets/artwork.h"

#include <QAction>
#include <QApplication>
#include <QMenu>
#include <QWidget>

#include <memory>
#include <utility>

namespace kalvento::app {

using desktop::restoreAndRaise;

namespace {

QAction* makeAction(QWidget* owner, const char* name, const QString& caption) {
    auto* action = new QAction(caption, owner);
    action->setObjectName(QString::fromLatin1(name));
    return action;
}

} // namespace

TrayPresence::TrayPresence(QWidget& window) : QObject(&window), m_window(window) {
    m_trayIcon = new desktop::TTrayIcon(&window);
    m_trayIcon->SetIcon(desktop::programIcon().icon);
    m_trayIcon->SetToolTip(lang::GetMessageText(lang::MessageId::M039));
    connect(m_trayIcon, &desktop::TTrayIcon::OnDblClick, this, &TrayPresence::TrayIconDblClick);
    createAlerts();
    createMenu();
}

void TrayPresence::createAlerts() {
    m_alertIcon =
        new desktop::AlertIcon(QIcon(QPixmap::fromImage(widgets::makeIkoni1())),
                               QIcon(QPixmap::fromImage(widgets::makeIkoni2())), &m_window);
    connect(m_alertIcon, &desktop::AlertIcon::restoreRequested, this, &TrayPresence::bringBack);
    m_notification = new desktop::DesktopNotification(&m_window);
    connect(m_notification, &desktop::DesktopNotification::activated, this,
            &TrayPresence::bringBack);
    auto sound = std::make_shared<desktop::SoundPlayer>();
    desktop::NewMessageAlert::Hooks hooks;
    hooks.playSound = [sound](const desktop::SoundChoice& choice) { sound->play(choice); };
    hooks.makeIcon = [this] { m_alertIcon->MakeIcon(); };
    hooks.trayIconActive = [this] { return m_trayIcon->Active(); };
    hooks.restoreFromTray = [this] { TrayIconDblClick(); };
    hooks.restoreAndRaise = [this] { restoreAndRaise(m_window); };
    m_alert = new desktop::NewMessageAlert(std::move(hooks), &m_window);
    m_alert->setBoxParent(&m_window);
}

void TrayPresence::createMenu() {
    m_menu = new QMenu(&m_window);
    m_menu->setObjectName(QStringLiteral("TrayPopUp"));
    m_startWithSystem = makeAction(&m_window, "StartKalventoonstartup1",
                                   QStringLiteral("Start Kalvento on Startup"));
    m_hideToTray =
        makeAction(&m_window, "Hidetothetrayonclose1", QStringLiteral("Hide to the Tray on Close"));
    auto* restore = makeAction(&m_window, "Restore1", QStringLiteral("Restore"));
    m_close = makeAction(&m_window, "Close1", QStringLiteral("Close"));
    m_startWithSystem->setCheckable(true);
    m_hideToTray->setCheckable(true);
    QFont bold = restore->font();
    bold.setBold(true); // the default item
    restore->setFont(bold);
    m_menu->addAction(m_startWithSystem);
    m_menu->addAction(m_hideToTray);
    m_menu->addSeparator();
    m_menu->addAction(restore);
    m_menu->addAction(m_close);
    m_trayIcon->SetPopupMenu(m_menu);
    connect(restore, &QAction::triggered, this, &TrayPresence::TrayIconDblClick);
}

void TrayPresence::showSettings(const settings::Settings& settings) {
    m_startWithSystem->setChecked(settings.startWithSystem);
    m_hideToTray->setChecked(settings.hideToTray);
    m_trayIcon->SetAlwaysVisible(settings.alwaysShowTrayIcon);
}

void TrayPresence::setToolTip(const QString& tip) {
    m_trayIcon->SetToolTip(tip);
}

void TrayPresence::addStatusMenu(QMenu* status) {
    QAction* first = m_menu->actions().value(0);
    m_menu->insertMenu(first, status);
    m_menu->insertSeparator(first);
}

bool TrayPresence::active() const {
    return m_trayIcon->Active();
}

void TrayPresence::HideToTray() {
    desktop::hideToTray(m_window, *m_trayIcon);
    emit windowPlaceChanged();
}

void TrayPresence::TrayIconDblClick() {
    if (!m_trayIcon->Active() && m_window.isVisible() && !m_window.isMinimized())
        restoreAndRaise(m_window);
    else
        desktop::restoreFromTray(m_window, *m_trayIcon);
    emit windowPlaceChanged();
    m_alertIcon->DeleteIcon();
    m_lineUnseen = false;
}

void TrayPresence::bringBack() {
    if (m_trayIcon->Active())
        TrayIconDblClick();
    else
        restoreAndRaise(m_window);
}

void TrayPresence::alertNewLine(const messaging::ReceivedLine& line,
                                const settings::Settings& settings) {
    alert(line.senderName, line.text, settings, true);
}

void TrayPresence::alertOffer(const QString& title, const QString& text,
                              const settings::Settings& settings) {
    alert(title, text, settings, false);
}

void TrayPresence::offersAnswered() {
    if (m_lineUnseen)
        return;
    m_alertIcon->DeleteIcon();
    m_notification->close();
}

void TrayPresence::alert(const QString& title, const QString& text,
                         const settings::Settings& settings, bool line) {
    // The window manager marks a window the user is not in (its task button, say).
    if (m_window.isVisible() && !m_window.isActiveWindow())
        QApplication::alert(&m_window);
    desktop::AlertConditions conditions;
    conditions.trayIconActive = m_trayIcon->Active();
    conditions.windowMinimized = m_window.isMinimized();
    conditions.applicationActive = QApplication::activeWindow() != nullptr;
    conditions.showAlert = settings.showAlert;
    if (alertDue(conditions)) {
        m_lineUnseen = m_lineUnseen || line;
        desktop::AlertSettings alert = desktop::AlertSettings::from(settings);
        alert.messageBox = line;
        m_alert->run(alert);
        if (settings.desktopNotification)
            m_notification->show(title, text);
    }
}

void TrayPresence::windowActivated() {
    m_notification->close();
    m_lineUnseen = false;
}

void TrayPresence::stopFlashing() {
    m_alertIcon->DeleteIcon();
    m_lineUnseen = false;
}

void TrayPresence::remove() {
    m_trayIcon->SetActive(false);
    m_alertIcon->DeleteIcon();
}

} // namespace kalvento::app
