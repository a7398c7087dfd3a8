#pragma once
// The chat area at work: what the user writes goes to the chat, and what the chat reports
// shows in the area (lines, the ticks that enable "Send a private message", failures).

#include "messaging/chat_events.h"

#include <QObject>
#include <QStringList>

#include <functional>

class QAction;
class QMenu;
class QModelIndex;
class QWidget;

namespace kalvento::dialogs {
class UserDialogs;
}
namespace kalvento::messaging {
class ChatNode;
}
namespace kalvento::settings {
struct Settings;
}

namespace kalvento::app {

class ChatArea;
class DeliveryMarks;
class SentLineRecall;
class TrayPresence;

class ChatController : public QObject {
    Q_OBJECT
public:
    struct Parts {
        ChatArea& area;
        messaging::ChatNode& node;
        TrayPresence& tray;
        const settings::Settings& settings;
        // The UDP port, for the mark of a line that could not leave an offline copy.
        int networkPort = 0;
        std::function<void(const QString&)> reportError;
        // Asks the user about a computer's key.
        dialogs::UserDialogs& dialogs;
    };

    // The list's popup and its items belong to window, where translations find them.
    ChatController(Parts parts, QWidget& window);

    // Sends what the user wrote: see TMainForm::LahetaViesti.
    bool LahetaViesti(const QStringList& lines, bool multiLine);
    // Shows what became of a send: the private echo, the marks of its delivery, the
    // computers it could not go to encrypted.
    void showSent(const messaging::LineOutcome& outcome);
    void btnSendClick();
    void btnCommentClick();
    // A double click on a computer: it alone is ticked, for a private line.
    void ComputersDblClick(const QModelIndex& entry);
    // The popup of the list: "Add to friends" or "Remove from friends", as the entry is;
    // "Verify..." for an entry with a key, "Accept the new key..." for one whose key changed.
    void ComputerPopupPopup();
    // Shows the safety number of the current entry; the user may mark it verified.
    void Verify1Click();
    // Shows the old and new fingerprints of the current entry; the user may take the new key.
    void Acceptnewkey1Click();
    QMenu* ComputerPopup() const { return m_computerPopup; }

private:
    void createComputerPopup(QWidget& window);
    void chatEvent(const messaging::ChatEvent& event);
    void TerminaaliNewMessage(const messaging::ReceivedLine& line);
    // The list's names of computers, for the marks of what was sent.
    QStringList shownNames(const QStringList& computers) const;
    QString currentComputerName() const;

    Parts m_parts;
    SentLineRecall* m_recall = nullptr;
    DeliveryMarks* m_marks = nullptr;
    QMenu* m_computerPopup = nullptr;
    QAction* m_add = nullptr;
    QAction* m_remove = nullptr;
    QAction* m_verify = nullptr;
    QAction* m_acceptKey = nullptr;
};

} // namespace kalvento::app
