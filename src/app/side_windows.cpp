#include "app/side_windows.h"

#include "app/chat_view.h"
#include "desktop/program_icon.h"
#include "dialogs/about_box.h"
#include "dialogs/help_window.h"
#include "dialogs/mline_window.h"
#include "dialogs/user_dialogs.h"
#include "settings/settings_store.h"
#include "uisupport/qcolor_mapping.h"
#include "update/version.h"
#include "widgets/background.h"

#include <QPainter>
#include <QPlainTextEdit>
#include <QPrintDialog>
#include <QPrinter>

#include <utility>

namespace kalvento::app {

SideWindows::SideWindows(Parts parts) : QObject(&parts.window), m_parts(std::move(parts)) {}

void SideWindows::setHelpFile(const QString& file) {
    m_helpFile = file;
    if (m_helpWindow)
        m_helpWindow->setHelpFile(m_helpFile);
}

dialogs::TMLineIkkuna* SideWindows::lastBigMessageWindow() const {
    return m_mline.data();
}

QWidget* SideWindows::helpWindow() const {
    return m_helpWindow;
}

void SideWindows::btnBigMessageClick() {
    dialogs::TMLineIkkuna::Host host;
    host.send = [this](const QStringList& lines) {
        const bool sent = m_parts.sendBigMessage(lines);
        if (m_parts.unsentChanged)
            m_parts.unsentChanged();
        return sent;
    };
    host.paintBackground = [this](QPainter& painter, const QWidget& window) {
        widgets::paintBackground(
            painter, window.size(), window.frameGeometry().size(), m_parts.background,
            m_parts.settings.backgroundStyle, m_parts.settings.disableBackground,
            uisupport::toQColor(m_parts.settings.backgroundColor, m_parts.window.palette()));
    };
    host.chatFont = QFont(m_parts.settings.messageFontName, m_parts.settings.messageFontSize);
    host.color = uisupport::toQColor(m_parts.settings.backgroundColor, m_parts.window.palette());
    host.kuvat = m_parts.kuvat;
    host.translate = m_parts.settings.languageIndex != 0;
    host.today = m_parts.today;
    // A window of its own that frees itself when closed; several may be open.
    auto* window = new dialogs::TMLineIkkuna(std::move(host), &m_parts.window);
    m_mline = window;
    if (m_parts.unsentChanged) {
        connect(window->RE(), &QPlainTextEdit::textChanged, this, m_parts.unsentChanged);
        connect(window, &QObject::destroyed, this, m_parts.unsentChanged);
    }
    window->show();
}

void SideWindows::btnInfoClick() {
    dialogs::TAboutBox box(m_parts.defaultBackground,
                           desktop::programIcon().icon.pixmap(64, 64).toImage(),
                           update::GetVersion(), m_parts.today(), &m_parts.window);
    box.setFingerprint(m_parts.fingerprint ? m_parts.fingerprint() : QString());
    m_parts.dialogs.runModal(box);
}

void SideWindows::btnPrintClick() {
    QPrinter printer;
    QPrintDialog dialog(&printer, &m_parts.window);
    dialog.setObjectName(QStringLiteral("PrintDialog"));
    if (m_parts.dialogs.runModal(dialog) == QDialog::Accepted)
        m_parts.chat.print(&printer);
}

void SideWindows::showHelp(int topic) {
    if (!m_helpWindow)
        m_helpWindow = new dialogs::THelpWindow(&m_parts.window);
    m_helpWindow->showHelp(m_helpFile, topic);
}

} // namespace kalvento::app
