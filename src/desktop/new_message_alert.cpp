#include "desktop/new_message_alert.h"

#include "lang/language_file.h"
#include "settings/settings_store.h"

#include <QApplication>
#include <QMessageBox>

namespace kalvento::desktop {

AlertSettings AlertSettings::from(const settings::Settings& settings) {
    return {settings.playSound,    settings.soundName,  settings.soundIndex,
            settings.flashingIcon, settings.bringOnTop, true};
}

bool alertDue(const AlertConditions& conditions) {
    return conditions.showAlert && (conditions.trayIconActive || conditions.windowMinimized ||
                                    !conditions.applicationActive);
}

NewMessageAlert::NewMessageAlert(Hooks hooks, QObject* owner)
    : QObject(owner), m_hooks(std::move(hooks)) {}

NewMessageAlert::~NewMessageAlert() {
    // A box without a parent window is ours to free.
    if (m_box != nullptr && m_box->parent() == nullptr)
        delete m_box;
}

void NewMessageAlert::setBoxParent(QWidget* parent) {
    m_boxParent = parent;
    if (m_box != nullptr)
        m_box->setParent(parent, m_box->windowFlags());
}

QMessageBox* NewMessageAlert::messageBox() const {
    return m_box;
}

bool NewMessageAlert::messageBoxOpen() const {
    return m_box != nullptr && m_box->isVisible();
}

void NewMessageAlert::run(const AlertSettings& settings) {
    if (settings.playSound && m_hooks.playSound)
        m_hooks.playSound(desktop::chooseSound(settings.soundName, settings.soundIndex));

    if (settings.flashingIcon && m_hooks.makeIcon)
        m_hooks.makeIcon();

    if (settings.bringOnTop) {
        if (m_hooks.trayIconActive && m_hooks.trayIconActive()) {
            if (m_hooks.restoreFromTray)
                m_hooks.restoreFromTray();
        }
        if (m_hooks.restoreAndRaise)
            m_hooks.restoreAndRaise();
        if (settings.messageBox)
            showMessageBox();
    }
}

void NewMessageAlert::showMessageBox() {
    if (m_box == nullptr) {
        m_box = new QMessageBox(m_boxParent);
        m_box->setIcon(QMessageBox::Information);
        m_box->setStandardButtons(QMessageBox::Ok);
        m_box->setTextFormat(Qt::PlainText);
        m_box->setWindowModality(Qt::ApplicationModal);
    }
    if (!m_box->isVisible()) {
        // The main window's title, as every message box of the program has.
        m_box->setWindowTitle(m_boxParent != nullptr ? m_boxParent->window()->windowTitle()
                                                     : QApplication::applicationName());
        m_box->setText(lang::GetMessageText(lang::MessageId::M007));
        m_box->show();
        emit messageBoxShown();
    }
    m_box->raise();
    m_box->activateWindow();
}

} // namespace kalvento::desktop
