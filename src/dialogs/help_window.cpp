#include "dialogs/help_window.h"

#include "lang/language_file.h"
#include "platform/trace.h"

#include <QDesktopServices>
#include <QFileInfo>
#include <QTextBrowser>
#include <QVBoxLayout>

namespace kalvento::dialogs {

THelpWindow::THelpWindow(QWidget* parent)
    : QDialog(parent, Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowMinMaxButtonsHint | Qt::WindowCloseButtonHint),
      m_browser(new QTextBrowser(this)) {
    setObjectName(QStringLiteral("HelpWindow"));
    setWindowTitle(lang::GetMessageText(lang::MessageId::M038));
    resize(620, 520);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(m_browser);
    // Pages of the help link to each other; web links go to the user's browser.
    m_browser->setOpenLinks(true);
    m_browser->setOpenExternalLinks(true);
}

void THelpWindow::setHelpFile(const QString& helpFile) {
    setWindowTitle(lang::GetMessageText(lang::MessageId::M038));
    if (isVisible() && QFileInfo::exists(helpFile))
        m_browser->setSource(QUrl::fromLocalFile(helpFile));
}

void THelpWindow::showHelp(const QString& helpFile, int topic) {
    const bool found = QFileInfo::exists(helpFile);
    platform::trace(QStringLiteral("help %1%2")
                        .arg(helpFile, found ? QString() : QStringLiteral(" (not found)")));
    if (!found) {
        m_browser->setPlainText(QStringLiteral("The help file %1 was not found.").arg(helpFile));
    } else {
        QUrl url = QUrl::fromLocalFile(helpFile);
        if (topic > 0)
            url.setFragment(QString::number(topic));
        m_browser->setSource(url);
        if (topic > 0)
            m_browser->scrollToAnchor(QString::number(topic));
    }
    setWindowTitle(lang::GetMessageText(lang::MessageId::M038)); // the language in use now
    show();
    raise();
    activateWindow();
}

} // namespace kalvento::dialogs
