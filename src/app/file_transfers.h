#pragma once
// Files between this copy and the others, as the main window shows them: the transfer
// service runs beside the chat; what the user asks for (the toolbar's button, the menus,
// files dropped on the window or on a computer, "kalvento --send") goes to it, and what it
// reports goes to the transfers panel, to the question of each offer, and to the chat as
// a comment when a transfer ends. Refusals are named in the chat, one computer a line.

#include "app/command_line.h"
#include "app/main_form_options.h"
#include "app/send_handoff.h"
#include "transfer/transfer_service.h"

#include <QHash>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QTimer>

#include <memory>

class QAction;
class QMenu;
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

class SendToDialog;
class TChatView;
class TransferOfferDialog;
class TransfersPanel;

class FileTransfers : public QObject {
    Q_OBJECT
public:
    // How long computers named on the command line of a starting copy are waited for.
    static constexpr std::chrono::seconds kListingWait{60};
    // How long a computer just listed is given to show it can take files: its key and its
    // first sign of life come a moment after it is listed.
    static constexpr std::chrono::seconds kReadyWait{10};

    struct Parts {
        QWidget& window;
        messaging::ChatNode& node;
        TChatView& chat;
        const settings::Settings& settings;
        dialogs::UserDialogs& dialogs;
        // The list's popup ("Send files..." to its current computer) and which entry is
        // current there.
        QMenu& computerPopup;
        std::function<int()> currentComputer;
        // The chat's UDP port: the files' port when the settings say 0.
        int chatPort = 5737;
        // Where the service keeps its state files (the settings' folder).
        QString stateFolder;
        TransferHooks hooks;
    };

    FileTransfers(Parts parts, QObject* parent = nullptr);
    ~FileTransfers() override;

    // Starts the service with the settings as they are now (read, the node keyed).
    void start();
    bool started() const { return m_service != nullptr; }
    transfer::TransferService* service() const { return m_service.get(); }
    TransfersPanel* panel() const { return m_panel; }
    // The settings changed (the options, a friend added or removed): the service takes them.
    void applySettings();
    transfer::TransferOptions transferOptions() const;

    // The toolbar's button and the chat's menu: files (or a folder) to the ticked computers.
    void sendToTicked(bool folder);
    // The list's menu: files to the computer of that entry.
    void sendToEntry(int entry);
    // Paths dropped or chosen: to the computers, or the ticked ones when none; the user is
    // told when nobody is ticked. Refusals are named in the chat.
    void sendPaths(const QStringList& paths, const QStringList& computers);
    // "kalvento --send" handed to this copy: the same, answered in words for the other
    // process instead of a message box. Paths for nobody while nobody is ticked (the file
    // manager's action names no computer) bring up the question whom to send them to.
    HandoffAnswer sendFromCommandLine(const SendRequest& request);
    // The command line of a starting copy: each computer named gets the files once it is
    // listed and can take them, or kReadyWait after it is listed, when the refusal says why
    // (without names: the ticked ones, else the user is asked whom); after kListingWait the
    // chat names those that never were listed.
    void sendWhenListed(const SendRequest& request);

    // The questions of offers not answered yet, as they are shown.
    QList<TransferOfferDialog*> openOffers() const;
    // The questions whom to send files to, as they are shown.
    QList<SendToDialog*> openSendTo() const;
    // The chat popup's items ("Send files...", "Send a folder...") and the list's.
    QAction* sendFilesAction() const { return m_sendFiles; }
    QAction* sendFolderAction() const { return m_sendFolder; }
    QAction* sendToComputerAction() const { return m_sendToComputer; }

signals:
    // Another computer offers files and waits for the user's answer: worth the alerts a
    // line gets. title names who, text what.
    void offerArrived(const QString& title, const QString& text);
    // No offer waits for an answer any more (each was answered, or taken back).
    void offersAnswered();

private:
    struct Outcome {
        int offered = 0;
        QStringList lines; // for the command line: what happened, one a line
        bool nothingToSend = false;
    };
    Outcome offer(const QStringList& paths, const QStringList& computers);
    QStringList tickedComputers() const;
    QString resolveComputer(const QString& name) const;
    QString shownName(const QString& computer) const;
    void offerReceived(const transfer::TransferInfo& info);
    void transferChanged(const transfer::TransferInfo& info);
    void transferFinished(const transfer::TransferInfo& info);
    void panelAction(int action, const transfer::TransferInfo& info);
    void chooseAndSend(bool folder, const QStringList& computers);
    void checkWaitingRequests();
    // Asks whom to send paths to, among the computers that can take files.
    void askWhomToSend(const QStringList& paths);
    void showInFolder(const QString& file);

    Parts m_parts;
    std::unique_ptr<transfer::TransferService> m_service;
    TransfersPanel* m_panel = nullptr;
    QAction* m_sendFiles = nullptr;
    QAction* m_sendFolder = nullptr;
    QAction* m_sendToComputer = nullptr;
    QHash<QByteArray, QPointer<TransferOfferDialog>> m_offers;
    // Command-line requests of a starting copy that wait for their computers.
    struct Waiting {
        QStringList paths;
        QStringList computers; // not yet listed
        // Listed, not yet able to take files: since when (milliseconds since the epoch).
        QList<QPair<QString, qint64>> listed;
        QTimer* deadline = nullptr;
    };
    QList<Waiting> m_waiting;
    // Looks again, a second apart, at computers listed but not yet able to take files: no
    // event marks a first sign of life.
    QTimer* m_readyCheck = nullptr;
    QList<QPointer<SendToDialog>> m_sendTo;
};

} // namespace kalvento::app
