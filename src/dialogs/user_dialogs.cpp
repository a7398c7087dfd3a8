#include "dialogs/user_dialogs.h"

#include <QDialog>
#include <QMessageBox>
#include <QPushButton>

namespace kalvento::dialogs {

namespace {

QMessageBox::Icon icon(Severity severity) {
    return severity == Severity::Warning ? QMessageBox::Warning : QMessageBox::Information;
}

} // namespace

QString MessageBoxes::title(const QWidget* parent) const {
    if (parent != nullptr && qobject_cast<const QDialog*>(parent->window()) != nullptr)
        return parent->window()->windowTitle();
    return m_programTitle;
}

void MessageBoxes::reportError(QWidget* parent, const QString& text) {
    qWarning("kalvento: %s", qPrintable(text));
    // One box at a time: a stream of failures adds lines, not windows.
    if (m_errorBox) {
        m_errorBox->setText(m_errorBox->text() + QLatin1Char('\n') + text);
        return;
    }
    m_errorBox =
        new QMessageBox(QMessageBox::Warning, title(parent), text, QMessageBox::Ok, parent);
    m_errorBox->setTextFormat(Qt::PlainText);
    m_errorBox->setAttribute(Qt::WA_DeleteOnClose);
    m_errorBox->open();
}

void MessageBoxes::logError(const QString& text) {
    qWarning("kalvento: %s", qPrintable(text));
}

bool MessageBoxes::showNotice(QWidget* parent, Severity severity, const QString& text,
                              const QString& action) {
    QMessageBox box(icon(severity), title(parent), text, QMessageBox::Ok, parent);
    box.setTextFormat(Qt::PlainText);
    QPushButton* chosen =
        action.isEmpty() ? nullptr : box.addButton(action, QMessageBox::ActionRole);
    box.setDefaultButton(QMessageBox::Ok);
    box.exec();
    return chosen != nullptr && box.clickedButton() == chosen;
}

bool MessageBoxes::askQuestion(QWidget* parent, Severity severity, const QString& text) {
    QMessageBox box(icon(severity), title(parent), text, QMessageBox::Yes | QMessageBox::No,
                    parent);
    box.setTextFormat(Qt::PlainText);
    return box.exec() == QMessageBox::Yes;
}

int MessageBoxes::runModal(QDialog& window) {
    return window.exec();
}

} // namespace kalvento::dialogs
