#include "desktop/alert_icon.h"

#include "desktop/tray_icon.h"
#include "lang/language_file.h"

namespace kalvento::desktop {

QString alertToolTip() {
    return cutTip(lang::GetMessageText(lang::MessageId::M004), AlertIcon::kToolTipLimit);
}

AlertIcon::AlertIcon(const QIcon& picture1, const QIcon& picture2, QObject* owner)
    : QObject(owner), m_pictures{picture1, picture2}, m_trayIcon(new QSystemTrayIcon(this)) {
    m_ikoniTimer.setInterval(kFlashInterval);
    connect(&m_ikoniTimer, &QTimer::timeout, this, &AlertIcon::IkoniTimerTimer);

    connect(m_trayIcon, &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason reason) { Activate(reason); });
}

AlertIcon::~AlertIcon() {
    m_trayIcon->hide();
}

void AlertIcon::show(int picture) {
    m_currentPicture = picture;
    m_trayIcon->setIcon(m_pictures[picture - 1]);
    // The language may have changed since the icon was last shown.
    m_trayIcon->setToolTip(alertToolTip());
}

void AlertIcon::MakeIcon() {
    if (!m_shown) {
        show(1);
        m_trayIcon->show();
        m_shown = true;
    }
    // Restarting a running timer would hold the flashing back under a stream of messages.
    if (!m_ikoniTimer.isActive())
        m_ikoniTimer.start();
}

void AlertIcon::IkoniTimerTimer() {
    if (m_flashPhase == 2) {
        m_flashPhase = 1;
    } else {
        m_flashPhase = 2;
    }
    show(m_flashPhase);
}

void AlertIcon::DeleteIcon() {
    m_ikoniTimer.stop();
    m_trayIcon->hide();
    m_shown = false;
}

void AlertIcon::Activate(QSystemTrayIcon::ActivationReason reason) {
    switch (reason) {
    case QSystemTrayIcon::Trigger:
    case QSystemTrayIcon::DoubleClick:
        // A double click starts with a single one, which has already done it all.
        if (!m_shown)
            break;
        DeleteIcon();
        emit restoreRequested();
        break;
    case QSystemTrayIcon::Context:
        DeleteIcon();
        break;
    default:
        break;
    }
}

} // namespace kalvento::desktop
