#pragma once
// Whom to send files to, when they came without computers (the file manager's "Send files
// with Kalvento") and nobody is ticked: the computers that can take files, each with a box
// to tick, kept up to date as computers come and go; "Send" (the default, once one is
// ticked) offers the files to them, "Cancel" and the window's close send nothing. The window
// does not hold up the program.

#include <QDialog>
#include <QStringList>

#include <functional>

class QLabel;
class QListWidget;
class QPushButton;

namespace kalvento::app {

class SendToDialog : public QDialog {
    Q_OBJECT
public:
    struct Computer {
        QString computer; // the computer's name: what the files are sent to
        QString shown;    // as the list shows it (a peer's text)
    };
    // The computers that can take files now, in the list's order.
    using Computers = std::function<QList<Computer>()>;
    using Send = std::function<void(const QStringList& paths, const QStringList& computers)>;

    SendToDialog(QStringList paths, Computers computers, Send send, QWidget* parent = nullptr);

    // The computers again, keeping the boxes ticked of those still there.
    void refresh();
    // Says everything again in the language now chosen.
    void retranslate();
    QStringList tickedComputers() const;

    void btnSendClick();

    QListWidget* computerList() const { return m_list; }
    QLabel* filesLabel() const { return m_files; }
    QLabel* nobodyLabel() const { return m_nobody; }
    QPushButton* sendButton() const { return m_send; }
    QPushButton* cancelButton() const { return m_cancel; }

private:
    void updateButtons();

    QStringList m_paths;
    Computers m_computers;
    Send m_sendTo;
    QLabel* m_files = nullptr;
    QLabel* m_nobody = nullptr;
    QListWidget* m_list = nullptr;
    QPushButton* m_send = nullptr;
    QPushButton* m_cancel = nullptr;
};

} // namespace kalvento::app
