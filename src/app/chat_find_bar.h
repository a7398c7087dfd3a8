#pragma once
// The chat view's find bar: a field, buttons for the older and the newer match, a line
// that says how the search went, and a close button. It only takes the keys and shows the
// state; the view searches.
//
// Keys in the field: Enter or F3 the next older match, Shift+Enter or Shift+F3 the next
// newer one, Esc closes the bar (and does not close the window).

#include <QString>
#include <QWidget>

class QLabel;
class QLineEdit;
class QToolButton;

namespace kalvento::app {

class ChatFindBar : public QWidget {
    Q_OBJECT
public:
    enum class Status { None, Searching, NoMatch, NoOlder, NoNewer, Failed };

    explicit ChatFindBar(QWidget* parent = nullptr);

    QLineEdit* field() const { return m_field; }
    QString text() const;
    QToolButton* olderButton() const { return m_older; }
    QToolButton* newerButton() const { return m_newer; }
    QLabel* statusLabel() const { return m_status; }

    // Shows the bar with the focus in the field and its text selected.
    void open();
    // In the words of the language file (messages M050 to M053); detail: the reason of a
    // failure.
    void setStatus(Status status, const QString& detail = {});
    Status status() const { return m_state; }

signals:
    void textChanged(const QString& text);
    void olderRequested();
    void newerRequested();
    void closeRequested();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QLineEdit* m_field = nullptr;
    QToolButton* m_older = nullptr;
    QToolButton* m_newer = nullptr;
    QToolButton* m_close = nullptr;
    QLabel* m_status = nullptr;
    Status m_state = Status::None;
};

} // namespace kalvento::app
