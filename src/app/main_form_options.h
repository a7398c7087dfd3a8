#pragma once
// How the main window was started: where it finds and keeps its files, what it is given to
// talk to the user with, and the hooks tests use in place of the system.

#include "dialogs/user_dialogs.h"
#include "network/udp_network.h"
#include "settings/settings_store.h"
#include "update/inet_detect.h"
#include "update/update_schedule.h"

#include <QDate>
#include <QStringList>
#include <QUrl>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>

class QWidget;

namespace kalvento::platform {
class IdleSource;
}

namespace kalvento::app {

// What file transfers ask of the desktop; each unset, the real one.
struct TransferHooks {
    // Files to send (with folder: one folder); empty when the user cancels.
    std::function<QStringList(QWidget* parent, bool folder)> choosePaths;
    // Another folder for an offer's files; nothing when the user cancels.
    std::function<std::optional<QString>(QWidget* parent, const QString& title,
                                         const QString& start)>
        chooseFolder;
    // Opens a file or folder with the desktop's program for it.
    std::function<void(const QUrl& url)> openUrl;
    // Shows the file selected in the file manager (org.freedesktop.FileManager1); false
    // when that cannot be asked, and the folder is opened instead.
    std::function<bool(const QString& file)> showInFileManager;
    // The TCP port files are listened for on, over the settings (tests: 0, any free one).
    std::optional<quint16> port;
    // How long a starting copy waits for the computers its command line names (60 s).
    std::optional<std::chrono::milliseconds> listingWait;
};

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
    // Tells when the user is away from the computer (tests give a fake); unset, the
    // desktop's (desktop::DesktopIdleSource).
    std::function<std::unique_ptr<platform::IdleSource>()> idleSource;
    // How long the answers to this copy's greeting are counted into one notice.
    std::chrono::milliseconds greetingBurst{3000};
    // File transfers' dialogs, desktop and port.
    TransferHooks transfers;
};

// The network settings of the options, as the datagram service takes them (the
// environment's variables still override them there).
network::NetworkSettings networkSettings(const settings::Settings& settings);

// The options a normal start uses: the settings file of the user, the program's folder.
MainFormOptions defaultMainFormOptions(const QStringList& arguments);

} // namespace kalvento::app
