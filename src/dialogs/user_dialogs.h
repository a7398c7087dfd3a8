#pragma once
// Everything that stops to tell the user something or waits for an answer: an error, a
// notice, a Yes/No question and a window run modally. The windows are given one; the
// program's own shows message boxes and runs the windows, and the tests give a recording
// one that answers in the user's place.

#include <QPointer>
#include <QString>

#include <utility>

class QDialog;
class QMessageBox;
class QWidget;

namespace kalvento::dialogs {

enum class Severity { Information, Warning };

class UserDialogs {
public:
    virtual ~UserDialogs() = default;

    // A failure the user should read. It does not wait: while the box of an earlier one is
    // still up, the text is added to it as a line of its own instead of a second box.
    virtual void reportError(QWidget* parent, const QString& text) = 0;
    // A failure at a time when no window can be shown any more (the end of the session):
    // it goes to the log output only.
    virtual void logError(const QString& text) = 0;
    // A message the user acknowledges; with action, a second button of that caption. True
    // when the action was chosen.
    virtual bool showNotice(QWidget* parent, Severity severity, const QString& text,
                            const QString& action = QString()) = 0;
    // A Yes/No question; true for Yes.
    virtual bool askQuestion(QWidget* parent, Severity severity, const QString& text) = 0;
    // Runs window modally; the QDialog result it ended with.
    virtual int runModal(QDialog& window) = 0;
};

// Message boxes on the screen and windows run with exec(). Every text is plain text: it
// may hold a server's or a peer's words. A box over a dialog carries the dialog's title,
// any other the program's.
class MessageBoxes : public UserDialogs {
public:
    explicit MessageBoxes(QString programTitle) : m_programTitle(std::move(programTitle)) {}

    void reportError(QWidget* parent, const QString& text) override;
    void logError(const QString& text) override;
    bool showNotice(QWidget* parent, Severity severity, const QString& text,
                    const QString& action = QString()) override;
    bool askQuestion(QWidget* parent, Severity severity, const QString& text) override;
    int runModal(QDialog& window) override;

private:
    QString title(const QWidget* parent) const;

    QString m_programTitle;
    QPointer<QMessageBox> m_errorBox;
};

} // namespace kalvento::dialogs
