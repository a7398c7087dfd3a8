#pragma once
// The controls of the chat in the main window: the chat view, the list of computers with
// its friend marks, the panel with "Send a private message", the message box and the
// offline status over the list. It creates them on the window, lays them out, and makes a
// right click in the list choose the entry under the pointer.

#include "network/peer_list.h"

#include <QDateTime>
#include <QObject>

class QAbstractItemModel;
class QCheckBox;
class QFrame;
class QLabel;
class QLineEdit;
class QListView;
class QStyledItemDelegate;
class QWidget;

namespace kalvento::app {

class TChatView;
struct MainLayout;

// What the list adds to an entry that has not been heard from for a while: "(not seen
// since hh:mm)"; nothing for one that is there.
QString presenceNote(network::PeerPresence presence, const QDateTime& lastSeen);
// What an entry's tooltip says of its key; nothing of a plain copy while this copy has no
// key of its own (trustMarks off), which could not tell it apart.
QString entryToolTip(network::PeerTrust trust, bool trustMarks);
// What the list shows of an entry: its text, then "(not seen since 10:02)" while absent,
// else the text its user gave with the status (isolated: it is the peer's).
QString entryText(const QModelIndex& entry);
// What pointing at an entry of the list says: its status ("Away: at lunch"; none for this
// copy's own entry) and its key (entryToolTip), a line each, as plain text.
QString computerToolTip(const QModelIndex& entry, bool trustMarks);

class ChatArea : public QObject {
    Q_OBJECT
public:
    // list is the model of the computers (the chat's list).
    ChatArea(QWidget& window, QAbstractItemModel& list);

    TChatView* chat() const { return m_chat; }
    QListView* computers() const { return m_computers; }
    QCheckBox* privaatti() const { return m_privaatti; }
    QLineEdit* message() const { return m_message; }

    // The controls where layout puts them; labels grow with their texts, and the offline
    // status takes the foot of the list's place.
    void layOut(const MainLayout& layout);
    // Where the text of the message's label ends, once laid out.
    int messageLabelEnd() const;
    // The status over the list says the copy is offline (shown from then on).
    void showOfflineStatus(const QString& text);
    // The row of the list's current entry; -1 without one.
    int currentComputer() const;
    // This copy has a key: lines and entries of copies without one are marked.
    void setTrustMarks(bool on);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QLabel* makeLabel(QWidget& window, const char* name, const QString& text);
    void createComputers(QWidget& window, QAbstractItemModel& list);

    TChatView* m_chat = nullptr;
    QLabel* m_label1 = nullptr;
    QListView* m_computers = nullptr;
    QStyledItemDelegate* m_delegate = nullptr;
    QFrame* m_paneeli = nullptr;
    QCheckBox* m_privaatti = nullptr;
    QLabel* m_label2 = nullptr;
    QLineEdit* m_message = nullptr;
    QLabel* m_offlineStatus = nullptr;
};

} // namespace kalvento::app
