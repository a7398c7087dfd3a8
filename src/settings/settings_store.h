#pragma once
// The user's settings: the keys of Options.ini held in memory, and the batches that read
// and write them. Each batch loads the file, changes its keys and saves it once,
// atomically; keys keep their place in the file and new ones are appended in the batch's
// order, as writing them one by one would. Nothing here keeps the file open or cached.
//
// A batch of writes that cannot reach the file returns the system's text of the failure
// (WriteResult) and never throws: the program carries on with its in-memory settings, and
// the caller decides whether the user hears of it.

#include "platform/autostart.h"
#include "platform/result.h"
#include "settings/colors.h"

#include <QDate>
#include <QPoint>
#include <QString>
#include <QStringList>

#include <optional>

namespace kalvento::settings {

// What "Language index" reads as when the key is missing: the mark of a first run.
inline constexpr int LanguageIndexMissing = -69;

struct Settings {
    // [General]
    int height = 417; // client area of the main window
    int width = 633;
    // Where the window was (its frame's top-left corner, in the desktop's coordinates) and
    // the name of the screen it was on; none before the first end of the program.
    std::optional<QPoint> position;
    QString screen;
    bool maximized = false;
    bool showSplashscreen = true;
    int deliveries = 1; // copies of each announcement, 1 to 10
    bool hideToTray = true;
    bool alwaysShowTrayIcon = false; // the tray icon also while the window is shown
    bool saveMessagesLog = false;
    bool automaticUpdate = true;
    bool alwaysConnected = false; // "Always connected to the Internet"
    QString saveMessagesPath;     // directory of log.rtf, with a trailing "/"

    // [Messages]
    bool showMessageTime = true;
    quint32 ownMessageColor = clRed;
    bool showSenderName = true;
    quint32 otherMessageColor = clBlue;
    bool showPrivateItalic = false;
    quint32 privateMessageColor = clGreen;
    QString messageFontName = QStringLiteral("Sans Serif");
    int messageFontSize = 9; // points
    bool showAlert = true;
    bool flashingIcon = true;
    bool bringOnTop = false;
    bool playSound = false;
    QString soundName;
    int soundIndex = 0;
    bool desktopNotification = true; // a notification of the desktop among the alerts

    // [Update]
    QString proxyServer;
    int proxyPort = 0;
    bool useProxy = false;
    int port = 0;
    QString updateAddress = QStringLiteral("http://www.fennrake.example/Kalvento.ini");
    QString saveUpdateDirectory; // with a trailing "/"; the user's download folder at first

    // [Advanced]
    int backgroundIndex = 0; // 0: the built-in picture, else the file in background
    QString background;
    int backgroundStyle = 0; // 0 tile, 1 centre, 2 stretch
    quint32 backgroundColor = clBtnFace;
    bool disableBackground = false;
    QString identity;
    int languageIndex = 0; // 0: built-in English, else the file named by language
    QString language;

    // [Network]
    int networkPort = 5737;        // the UDP port of every copy of the chat
    QStringList networkInterfaces; // the interfaces used; none: every one that can broadcast
    // Beyond the broadcast domain: "a.b.c.d", "a.b.c.d:port" or "a.b.c.d/nn", as typed.
    QStringList networkPeers;
    // A private line to an older copy (one without a key, which cannot receive encrypted
    // lines) goes unencrypted and marked so in the chat; off, it is not sent to such a copy.
    bool plainPrivateLines = true;

    // [Status]
    int status = 0;               // what this copy's user chose: 0 available, 1 away, 2 busy
    QString statusText;           // the short text given with it; empty for none
    int awayAfterMinutes = 10;    // away by itself after this long without use; 0: never
    bool joinLeaveNotices = true; // "Anna is here", "Bertil left"... written in the chat

    // [Transfers]
    QString transferSaveFolder; // with a trailing "/"; the downloads' "Kalvento" at first
    // Offers from friends whose key is pinned or verified are taken without a question.
    bool acceptFromFriends = false;
    int transferPort = 0; // the TCP port of file transfers; 0: the chat's port number

    // Not keys of their own.
    bool languageIndexMissing = true; // the file had no "Language index": run the wizard
    bool startWithSystem = false;     // the autostart entry exists
    QStringList friends;              // [Friends], sorted, no duplicates in any letter case

    // Every key at its default: directory (with a trailing "/") holds the log, updates go to
    // the user's download folder, received files to "Kalvento" in it.
    static Settings defaults(const QString& directory);
};
using TSettings = Settings;

struct UpdateState {
    QDate lastChecked;
    int errorCount = 0;
};

// A batch's answer: the system's text when the file could not be written.
using WriteResult = platform::Result;

// Every key, the autostart entry and the friends (at start). A missing file or key gives the
// default; the two directories default to the directory holding the file.
Settings readAll(const QString& path,
                 const QString& autostartEntry = platform::autostartEntryPath());

// What the first-run wizard asks: "Identity", "Automatic update", "Always connected to the
// Internet", "Language index", "Language".
[[nodiscard]] WriteResult writeFirstRun(const QString& path, const Settings& settings);

// Every key but the window size and the update state, and the friends (when the options
// are confirmed), then the autostart entry written or deleted. The entry's failure is
// reported after the file's, each on a line of its own.
[[nodiscard]] WriteResult writeAll(const QString& path, const Settings& settings,
                                   const QString& executablePath,
                                   const QString& autostartEntry = platform::autostartEntryPath());

// At the end of the run: the friends, "Maximized", and "Width", "Height", "Left", "Top" and
// "Screen" only when not maximized, so a maximized window keeps the normal place and size of
// an earlier run (the place only when known: a Wayland compositor tells none).
[[nodiscard]] WriteResult writeClose(const QString& path, const Settings& settings);

// The section "Friends" alone, written when the user adds or removes a friend.
[[nodiscard]] WriteResult writeFriendsSection(const QString& path, const Settings& settings);

// "Status" and "Status text" alone, written as soon as the user chooses them.
[[nodiscard]] WriteResult writeStatus(const QString& path, const Settings& settings);

// "Hide to tray" alone (the tray menu's item).
[[nodiscard]] WriteResult writeHideToTray(const QString& path, bool hideToTray);

// The autostart entry only, written or deleted (the tray menu's item).
platform::Result setStartWithSystem(bool enabled, const QString& executablePath,
                                    const QString& autostartEntry = platform::autostartEntryPath());

// The daily update check's state: "Last checked" (default, and for a day after today: the
// day before today) and "Error type 1 count".
UpdateState readUpdateState(const QString& path, QDate today = QDate::currentDate());
[[nodiscard]] WriteResult writeLastChecked(const QString& path, QDate day);
[[nodiscard]] WriteResult writeErrorCount(const QString& path, int count);

// The friends as the list keeps them: the first spelling of each name in any letter
// case, sorted without regard to case (the empty name, when present, first).
QStringList normalizeFriends(const QStringList& names);

} // namespace kalvento::settings
