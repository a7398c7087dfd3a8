#pragma once
// What the user sees of their lines' delivery, of the outbox and of the lines caught up
// after an absence: the mark beside each line sent, kept up to date in place as receipts
// come; "Send again" on a line not delivered; "Waiting lines..." for the outbox; the notices
// of lines from an earlier run and of a catch-up; and the read receipts the window gives
// while the user looks at it.

#include "app/delivery_state.h"
#include "messaging/chat_events.h"

#include <QHash>
#include <QList>
#include <QObject>
#include <QTextCursor>

#include <functional>

class QAction;
class QMenu;
class QWidget;

namespace kalvento::dialogs {
class UserDialogs;
}
namespace kalvento::messaging {
class ChatNode;
}

namespace kalvento::app {

class TChatView;

// Tells the chat that the user has seen its lines: at once when a line is shown while the
// window is active and not minimized, else when the window becomes so again.
class ReadReporter : public QObject {
    Q_OBJECT
public:
    ReadReporter(QWidget& window, std::function<void()> linesRead);
    // A line of somebody else's was shown.
    void lineShown();
    bool unread() const { return m_unread; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    bool looking() const;

    QWidget& m_window;
    std::function<void()> m_linesRead;
    bool m_unread = false;
};

class DeliveryMarks : public QObject {
    Q_OBJECT
public:
    struct Parts {
        QWidget& window;
        TChatView& view;
        messaging::ChatNode& node;
        dialogs::UserDialogs& dialogs;
        // The popup of the list of computers, where "Waiting lines..." goes.
        QMenu& computerPopup;
        // The name the list shows for a computer.
        std::function<QString(const QString&)> shownName;
    };
    explicit DeliveryMarks(Parts parts);

    // A send went out: its item is followed from now on. Called before its private echo
    // is shown (markLastLine then puts the mark beside each of its messages).
    void sent(const messaging::LineOutcome& outcome);
    // Puts the mark of item beside the last line of the view.
    void markLastLine(quint64 item);
    // A line was shown: the mark of one of the user's own lines that came back, the read
    // receipts of the others.
    void lineShown(const messaging::ReceivedLine& line);
    void deliveryChanged(const messaging::DeliveryChanged& change);
    void caughtUp(const messaging::CaughtUp& caught);

    // "Send again" for the line under a point of the view's viewport (its popup).
    QAction* sendAgainAction() const { return m_sendAgain; }
    QAction* waitingLinesAction() const { return m_waitingLines; }
    void sendAgain(quint64 item);
    // The waiting lines' window, modally.
    void showWaitingLines();
    const DeliveryTable& table() const { return m_table; }
    ReadReporter& readReporter() const { return *m_read; }

private:
    void updateMarks(quint64 item);
    void chatPopupRequested(const QPoint& viewportPoint);
    bool cancelWaiting(const messaging::WaitingLine& line);
    QString momentText(const QDateTime& moment) const;

    Parts m_parts;
    DeliveryTable m_table;
    // Where each item's marks stand in the view (one per message of the send).
    QHash<quint64, QList<QTextCursor>> m_marks;
    ReadReporter* m_read = nullptr;
    QAction* m_sendAgain = nullptr;
    quint64 m_popupItem = 0;
    QAction* m_waitingLines = nullptr;
};

} // namespace kalvento::app
