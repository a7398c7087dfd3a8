#pragma once
// The main window: the program itself. It owns every component of the chat, holds the
// in-memory settings, and its creation, showing, hiding and closing drive the life of a
// running copy. The chat itself is a ChatNode (the terminal, the list of computers, the
// walk and the session) that the window owns; the window shows it, holds the settings and
// decides how things look.

#include "dialogs/user_dialogs.h"
#include "messaging/chat_node.h"
#include "network/memory_network.h"
#include "network/udp_network.h"
#include "settings/settings_store.h"
#include "update/inet_detect.h"
#include "update/update_schedule.h"

#include <QElapsedTimer>
#include <QImage>
#include <QPointer>
#include <QStringList>
#include <QTimer>
#include <QWidget>

#include <array>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>

class QAction;
class QCheckBox;
class QFrame;
class QLabel;
class QLineEdit;
class QListView;
class QMenu;
class QModelIndex;

namespace kalvento::widgets {
class TGlyphButton;
class TTitlebtn;
} // namespace kalvento::widgets
namespace kalvento::dialogs {
class THelpWindow;
class TMLineIkkuna;
class TOdota;
class TOptionsIkkuna;
class TUpdateIkkuna;
} // namespace kalvento::dialogs

namespace kalvento::desktop {
class AlertIcon;
class DesktopNotification;
class NewMessageAlert;
class TTrayIcon;
} // namespace kalvento::desktop

namespace kalvento::app {

class TChatView;

// Where the window finds and keeps its files, and how it was started.
struct MainFormOptions {
    QString settingsPath;      // Options.ini
    QString resourceDirectory; // holds Languages/ and Helps/, with a trailing "/"
    QString executablePath;    // what the autostart entry starts
    QString autostartEntry;    // the autostart .desktop file
    QStringList arguments;     // the command line after the program's name
    // Where errors, notices and questions go and how the dialogs run modally (the wizard,
    // the options, the update window, the about box); unset, message boxes and exec().
    std::shared_ptr<dialogs::UserDialogs> dialogs;
    // Today's date for the daily update check (tests); unset, the system's.
    std::function<QDate()> today;
    // Where the Internet detector looks (tests); unset, the system.
    std::optional<update::AddressSources> internetSources;
    // Told each step of creation that tests follow: "splash shown", "splash closed",
    // "wizard", "created" ("splash closed" comes after "created" while the splash stays
    // to be seen).
    std::function<void(const QString& step)> creationTrace;
    // How long the splash stays at least, from its showing; the window is ready and shown
    // meanwhile.
    std::chrono::milliseconds splashMinimum{1000};
    // Whether this build checks for updates by itself (KALVENTO_UPDATE_CHECK); the update
    // button works either way.
    bool automaticUpdateCheck = update::kAutomaticCheckBuilt;
    // The UDP port the network's endpoint uses, for the messages that name it.
    int networkPort = 5737;
    // Puts the network settings chosen in the options to use: the interfaces and the peers
    // at once. True when the chosen port is not the one in use, which takes a new start.
    // Unset: nothing changes at once, and any port change takes a new start.
    std::function<bool(const settings::Settings&)> applyNetworkSettings;
};

// The network settings of the options, as the datagram service takes them (the
// environment's variables still override them there).
network::NetworkSettings networkSettings(const settings::Settings& settings);

// The options a normal start uses: the settings file of the user, the program's folder.
MainFormOptions defaultMainFormOptions(const QStringList& arguments);

inline constexpr char ApplicationTitle[] = "Kalvento 1.2 by Fennrake";
// The window's smallest client area: the design size.
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
    bool updateCheckRunning() const { return m_updates->checkRunning(); }

    // For the tests and the pieces that later windows add.
    TChatView* Chat() const { return m_chat; }
    QLineEdit* Message() const { return m_message; }
    // Shows the list of computers, node().listModel().
    QListView* Computers() const { return m_computers; }
    QCheckBox* Privaatti() const { return m_privaatti; }
    widgets::TGlyphButton* button(const char* name) const;
    desktop::TTrayIcon* TrayIcon() const { return m_trayIcon; }
    desktop::AlertIcon* alertIcon() const { return m_alertIcon; }
    QAction* action(const char* name) const;
    QMenu* ComputerPopup() const { return m_computerPopup; }
    const settings::Settings& settings() const { return m_settings; }
    // The running chat, through its public side.
    messaging::ChatNode& node() { return *m_node; }
    update::TINetDetect* Internetti() const { return m_updates->Internetti(); }
    widgets::TTitlebtn* btnTitle() const { return m_btnTitle; }
    // The big message window opened last (null once it is closed).
    dialogs::TMLineIkkuna* lastBigMessageWindow() const;
    QTimer& Paivitys() { return m_updates->Paivitys(); }
    const QStringList& FriendList() const { return m_settings.friends; }
    bool isFriend(int entry) const;
    bool FirstRun() const { return m_firstRun; }
    QString helpFile() const { return m_helpFile; }
    const QImage& Tausta() const { return m_tausta; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void changeEvent(QEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void FormCreate();
    void runWelcomeWizard();
    void createComponents();
    void createMenus();
    void loadBackground();
    void applyChatDisplaySettings();
    // What the chat reports, one event at a time.
    void chatEvent(const messaging::ChatEvent& event);
    void TerminaaliNewMessage(const messaging::ReceivedLine& line);
    // Goodbyes, settings and log. With mayAsk, what could not be saved is put before the
    // user in a message box; otherwise (a signal, a session that allows no interaction) it
    // goes to the log output only.
    void ShutdownSequence(bool mayAsk);
    // The help window at an anchor of the help file (0: from the top).
    void showHelp(int topic);
    void reportErrors(const QStringList& errors);
    void reportError(const QString& error);
    // The row of the list's current entry; -1 without one.
    int currentComputer() const;
    void updateChatEnabling(bool hasText);
    // The window says it is offline for as long as it is: in its title, over the list of
    // computers and in the tray's tip.
    void showOfflineStatus();
    // Up and Down in the message box: the lines sent before.
    bool recallSentLine(int step);

    // OK of the options window: the chosen settings applied to the running program.
    void applyOptions(const settings::Settings& old, const settings::Settings& chosen,
                      const QFont& font);
    // Paivitys and Internetti as the settings and the connection call for.
    void armUpdateTimers();
    // Tells the update schedule whether the window is out of sight (minimized, in the tray).
    void tellScheduleWhereTheWindowIs();
    void showNotice(const QString& text);
    void showSplash();
    void closeSplash();
    // Closes the splash once it has been up for splashMinimum.
    void closeSplashOnceSeen();
    // The window where it was at the end of the last run, or centred.
    void restorePlace();
    // The language of the settings (a file or the built-in English) on every open window.
    void applyLanguageToOpenWindows();
    void traceCreation(const QString& step);
    void applyLanguageBeyondWindows();
    void writeFriends();
    QDate today() const;
    bool askQuestion(dialogs::Severity severity, const QString& text);
    std::unique_ptr<dialogs::TUpdateIkkuna> makeUpdateWindow();

    MainFormOptions m_options;
    network::DatagramNetwork& m_network;
    settings::Settings m_settings;
    bool m_firstRun = false;
    bool m_closing = false;
    bool m_painted = false;
    QString m_helpFile;
    std::shared_ptr<dialogs::UserDialogs> m_dialogs;

    // When another program holds the port, the chat runs on a network of its own that
    // reaches nobody, so that the window and the options still work.
    std::unique_ptr<network::InMemoryHub> m_offlineHub;
    std::unique_ptr<network::InMemoryNetwork> m_offlineNetwork;
    bool m_portInUse = false;
    std::unique_ptr<messaging::ChatNode> m_node;

    // Controls.
    TChatView* m_chat = nullptr;
    QLabel* m_label1 = nullptr;
    QListView* m_computers = nullptr;
    QFrame* m_paneeli = nullptr;
    QCheckBox* m_privaatti = nullptr;
    QLabel* m_label2 = nullptr;
    QLineEdit* m_message = nullptr;
    QLabel* m_offlineStatus = nullptr;
    // The lines sent, oldest first, for Up in the message box; m_recalled indexes the one
    // shown (m_sentLines.size(): none).
    QStringList m_sentLines;
    qsizetype m_recalled = 0;
    std::array<widgets::TGlyphButton*, 9> m_buttons{};

    // Pictures.
    QList<QImage> m_kuvat;      // the toolbar image list, shared with the update window
    QImage m_tausta;            // the background picture
    QImage m_defaultBackground; // the built-in one, to go back to
    QImage m_frendi;            // the friend mark

    // Tray, alerts, timers.
    desktop::TTrayIcon* m_trayIcon = nullptr;
    QMenu* m_trayPopUp = nullptr;
    desktop::AlertIcon* m_alertIcon = nullptr;
    desktop::DesktopNotification* m_notification = nullptr;
    desktop::NewMessageAlert* m_alert = nullptr;
    QMenu* m_computerPopup = nullptr;
    update::UpdateSchedule* m_updates = nullptr;
    QPointer<dialogs::THelpWindow> m_helpWindow;
    widgets::TTitlebtn* m_btnTitle = nullptr;
    QPointer<dialogs::TMLineIkkuna> m_mline;
    dialogs::TOdota* m_splash = nullptr;
    QElapsedTimer m_splashClock;
};

} // namespace kalvento::app
