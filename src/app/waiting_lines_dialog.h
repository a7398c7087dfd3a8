#pragma once
// "Waiting lines...": the private lines that wait in the outbox for a computer not heard
// from, with their recipient, since when and how they begin; the user may take one out.

#include "messaging/chat_events.h"

#include <QDialog>
#include <QList>

#include <functional>

class QLabel;
class QPushButton;
class QTreeWidget;

namespace kalvento::app {

class WaitingLinesDialog : public QDialog {
    Q_OBJECT
public:
    // cancel takes a line out of the outbox: false when it was no longer there.
    // names turns a computer into the name the user knows it by.
    WaitingLinesDialog(const QList<messaging::WaitingLine>& lines,
                       std::function<bool(const messaging::WaitingLine&)> cancel,
                       const std::function<QString(const QString&)>& names,
                       QWidget* parent = nullptr);

    QTreeWidget* list() const { return m_list; }
    QPushButton* cancelButton() const { return m_cancel; }
    QLabel* status() const { return m_status; }
    // The lines still listed, in order.
    const QList<messaging::WaitingLine>& lines() const { return m_lines; }

    // Takes the selected line out ("Cancel line").
    void cancelSelected();

private:
    void selectionChanged();

    QList<messaging::WaitingLine> m_lines;
    std::function<bool(const messaging::WaitingLine&)> m_cancelLine;
    QTreeWidget* m_list = nullptr;
    QPushButton* m_cancel = nullptr;
    QLabel* m_status = nullptr;
};

} // namespace kalvento::app
