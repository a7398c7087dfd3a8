#pragma once
// The main window: the program itself. It holds the in-memory settings, and its creation,
// showing, hiding and closing drive the life of a running copy. The chat itself is a
// ChatNode (the terminal, the list of computers, the walk and the session) that the window
// owns. The window shows; the work is done by the objects it puts together: the chat area
// and what drives it (ChatArea, ChatController), the toolbar (MainToolbar), the tray and
// the alerts (TrayPresence), settings put to use (OptionsApplier), the windows it opens
// (SideWindows), the update side (WindowUpdates) and the splash (StartSplash). Its
// handlers, named after their control and event, hand each event to the one concerned.

#include "app/command_line.h"
#include "app/main_form_options.h"
#include "app/send_handoff.h"
#include "app/tray_presence.h"
#include "dialogs/user_dialogs.h"
#include "messaging/chat_node.h"
#include "network/memory_network.h"
#include "network/udp_network.h"
#include "settings/settings_store.h"
#include "update/inet_detect.h"
#include "update/update_schedule.h"

#include <QImage>
#include <QStringList>
#include <QTimer>
#include <QWidget>

#include <memory>

class QAction;
class QCheckBox;
class QLineEdit;
class QListView;
class QMenu;
class QModelIndex;

namespace kalvento::widgets {
class TGlyphButton;
class TTitlebtn;
} // namespace kalvento::widgets
namespace kalvento::dialogs {
class TMLineIkkuna;
}

namespace kalvento::app {

class ChatArea;
class ChatController;
class FileTransfers;
class LogSaver;
class MainToolbar;
class PresenceNotices;
class StatusKeeper;
class SideWindows;
class OptionsApplier;
class StartSplash;
class TChatView;
class TrayPresence;
struct UnsentText;
class UnsentTextKeeper;
class WindowUpdates;

inline constexpr char ApplicationTitle[] = "Kalvento 1.2 by Fennrake";
// The window's smallest client area: the size its layout is drawn for.
// Beside the settings: this copy's identity key, and the keys it has seen.
inline constexpr char kIdentityKeyFile[] = "identity.key";
inline constexpr char kKnownKeysFile[] = "known-keys.txt";
// The floor of the counters this copy's envelopes carry.
inline constexpr char kCounterFile[] = "counter.txt";
inline constexpr char kOutboxFile[] = "outbox.dat";
inline constexpr char kCatchUpMarkFile[] = "last-here.txt";

inline constexpr int kMinimumClientWidth = 633;
inline constexpr int kMinimumClientHeight = 417;

class TMainForm : public QWidget {
    Q_OBJECT
public:
    // Runs the creation sequence (FormCreate). Throws what the terminal throws when this
    // computer's receiving name is owned by another process.
    TMainForm(network::DatagramNetwork& network, MainFormOptions options,
              QWidget* parent = nullptr);
    ~TMainForm() override;

    // The handlers, named after their control and event.
    void FormShow();
    void FormResize();
    // Sends what the user wrote: one typed line (multiLine off) or the lines of a big
    // message (on), publicly or, with "Send a private message" ticked, to the ticked
    // computers. False when nothing went out: every send failed, a private line has nobody
    // ticked, or the copy is offline (the user is told each time).
    bool LahetaViesti(const QStringList& lines, bool multiLine);
    void btnSendClick();
    void btnCommentClick();
    void btnPrintClick();
    void btnHelpClick();
    void btnCloseClick();
    void MessageChange();
    // A double click on a computer: it alone is ticked, for a private line.
    void ComputersDblClick(const QModelIndex& entry);
    // Whether this copy runs without the network (another program holds the port).
    bool offline() const { return m_portInUse; }
    void HideToTray();
    void TrayIconDblClick();
    void Close1Click();
    void StartKalventoonstartup1Click();
    void Hidetothetrayonclose1Click();
    void ComputerPopupPopup();
    void Addtofriends1Click();
    void Removefromfriends1Click();
    void InternettiChanged() { m_updates->InternettiChanged(); }
    // The update button: the update window, modally; the schedule is not touched.
    void btnUpdateClick();
    // A new big message window, shown without waiting.
    void btnBigMessageClick();
    // The about box, modally.
    void btnInfoClick();
    // The title button: hides to the tray whatever "Hide to tray" says.
    void btnTitleAction();
    // A tick of Paivitys: runs the daily check while the window is minimized or hidden.
    void PaivitysTimer() { m_updates->PaivitysTimer(); }
    // The daily check, if one is due, and the schedule of the next: the check runs without
    // a window, which shows only when a newer version is found and the user asks to see it.
    void TarkistaPaivitykset();
    // The end of the desktop session (or SIGTERM/SIGHUP): goodbyes, settings and log are
    // written; the window itself stays.
    void SessionEnding(bool mayAsk = false);

    // The options window, modally; OK applies the chosen settings.
    void btnOptionsClick();
    // Files to the ticked computers, chosen in a file dialog.
    void btnSendFilesClick();
    // "kalvento --send" handed over by another process: offered now, answered in words.
    HandoffAnswer sendFromCommandLine(const SendRequest& request);
    // The program was started again: the window comes back from the tray, or is restored
    // and raised.
    void bringToFront();
    // The command line this copy started with: offered as the computers are listed.
    void sendWhenListed(const SendRequest& request);
    FileTransfers& transfers() const { return *m_transfers; }
    bool updateCheckRunning() const { return m_updates->checkRunning(); }

    // For the tests and the pieces that later windows add.
    TChatView* Chat() const { return m_chat; }
    QLineEdit* Message() const { return m_message; }
    // Shows the list of computers, node().listModel().
    QListView* Computers() const { return m_computers; }
    QCheckBox* Privaatti() const { return m_privaatti; }
    widgets::TGlyphButton* button(const char* name) const;
    desktop::TTrayIcon* TrayIcon() const { return m_tray->TrayIcon(); }
    desktop::AlertIcon* alertIcon() const { return m_tray->alertIcon(); }
    QAction* action(const char* name) const;
    QMenu* ComputerPopup() const;
    const settings::Settings& settings() const { return m_settings; }
    // The running chat, through its public side.
    messaging::ChatNode& node() { return *m_node; }
    // The user's status: the menu, the button above the list, the idle time followed.
    StatusKeeper& status() const { return *m_status; }
    update::TINetDetect* Internetti() const { return m_updates->Internetti(); }
    widgets::TTitlebtn* btnTitle() const { return m_btnTitle; }
    // The big message window opened last (null once it is closed).
    dialogs::TMLineIkkuna* lastBigMessageWindow() const;
    QTimer& Paivitys() { return m_updates->Paivitys(); }
    const QStringList& FriendList() const { return m_settings.friends; }
    bool isFriend(int entry) const;
    bool FirstRun() const { return m_firstRun; }
    QString helpFile() const;
    const QImage& Tausta() const { return m_tausta; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void changeEvent(QEvent* event) override;
    // Files dropped on a computer of the list go to it; anywhere else, to the ticked ones.
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dropEvent(QDropEvent* event) override;
    // The message box would take dropped files as text: they are sent, as on the window.
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void createNode();
    void loadIdentity();
    void createComponents();
    void createChatArea();
    void createToolbar();
    void createTray();
    void createStatus();
    void createOptionsApplier();
    void createUpdates();
    void createTransfers();
    // The creation sequence, in its steps.
    void FormCreate();
    void readSettings();
    void loadLanguage();
    // The transfers' panel and windows, made before the language was loaded or in another.
    void retranslateTransfers();
    void loadChatLog();
    void restoreUnsentText();
    void unsentTextChanged();
    QString unsentTextPath() const;
    UnsentText unsentText() const;
    void finishCreation(bool startHidden);
    void runWelcomeWizard();
    void loadBackground();
    // Goodbyes, settings and log. With mayAsk, what could not be saved is put before the
    // user in a message box; otherwise (a signal, a session that allows no interaction) it
    // goes to the log output only.
    void ShutdownSequence(bool mayAsk);
    void reportError(const QString& error);
    // The window says it is offline for as long as it is: in its title, over the list of
    // computers and in the tray's tip.
    void showOfflineStatus();

    // Paivitys and Internetti as the settings and the connection call for.
    void armUpdateTimers();
    // Tells the update schedule whether the window is out of sight (minimized, in the tray).
    void tellScheduleWhereTheWindowIs();
    void traceCreation(const QString& step);
    QDate today() const;

    MainFormOptions m_options;
    network::DatagramNetwork& m_network;
    settings::Settings m_settings;
    bool m_firstRun = false;
    bool m_closing = false;
    bool m_painted = false;
    std::shared_ptr<dialogs::UserDialogs> m_dialogs;

    // When another program holds the port, the chat runs on a network of its own that
    // reaches nobody, so that the window and the options still work.
    std::unique_ptr<network::InMemoryHub> m_offlineHub;
    std::unique_ptr<network::InMemoryNetwork> m_offlineNetwork;
    bool m_portInUse = false;
    std::unique_ptr<messaging::ChatNode> m_node;
    // Files between the copies; goes before the node it serves.
    std::unique_ptr<FileTransfers> m_transfers;

    // Controls: the chat area's, kept at hand.
    ChatArea* m_area = nullptr;
    TChatView* m_chat = nullptr;
    QListView* m_computers = nullptr;
    QCheckBox* m_privaatti = nullptr;
    QLineEdit* m_message = nullptr;
    ChatController* m_controller = nullptr;
    MainToolbar* m_toolbar = nullptr;

    // Pictures.
    QImage m_tausta;            // the background picture
    QImage m_defaultBackground; // the built-in one, to go back to

    // Tray, alerts, timers, options.
    TrayPresence* m_tray = nullptr;
    StatusKeeper* m_status = nullptr;
    PresenceNotices* m_notices = nullptr;
    std::unique_ptr<OptionsApplier> m_applier;
    WindowUpdates* m_updateActions = nullptr;
    update::UpdateSchedule* m_updates = nullptr; // m_updateActions's
    widgets::TTitlebtn* m_btnTitle = nullptr;
    SideWindows* m_side = nullptr;
    UnsentTextKeeper* m_unsentKeeper = nullptr; // from the start's giving back on
    StartSplash* m_splash = nullptr;
    LogSaver* m_logSaver = nullptr; // writes the chat to the log as the run goes
};

} // namespace kalvento::app
