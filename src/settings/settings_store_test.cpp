#include "settings/settings_store.h"

#include "support/qt_print.h"
#include "support/test_data.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QVariant>

#include <gtest/gtest.h>

#include <QStandardPaths>

#include <functional>
#include <optional>

using namespace kalvento::settings;
using kalvento::test::readFile;
using kalvento::test::writeFile;

namespace {

class SettingsStore : public ::testing::Test {
protected:
    QTemporaryDir dir;
    QString path = dir.filePath("Options.ini");
    QString entry = dir.filePath("autostart/kalvento.desktop");
    QString home = dir.path() + "/";

    Settings read() { return readAll(path, entry); }
};

// Where updates go unless the file says otherwise: the user's download folder.
QString downloads() {
    return QStandardPaths::writableLocation(QStandardPaths::DownloadLocation) + u'/';
}

} // namespace

TEST_F(SettingsStore, MissingFileGivesEveryDefault) {
    const Settings s = read();
    struct Case {
        const char* key;
        QVariant actual, expected;
    } cases[] = {
        {"Height", s.height, 417},
        {"Width", s.width, 633},
        {"Maximized", s.maximized, false},
        {"Show splashscreen", s.showSplashscreen, true},
        {"Deliveries", s.deliveries, 1},
        {"Hide to tray", s.hideToTray, true},
        {"Always show tray icon", s.alwaysShowTrayIcon, false},
        {"Save messages log", s.saveMessagesLog, false},
        {"Automatic update", s.automaticUpdate, true},
        {"Always connected to the Internet", s.alwaysConnected, false},
        {"Save messages path", s.saveMessagesPath, home},
        {"Show message time", s.showMessageTime, true},
        {"Own message color", s.ownMessageColor, clRed},
        {"Show sender's name", s.showSenderName, true},
        {"Other message color", s.otherMessageColor, clBlue},
        {"Show private messages in italic", s.showPrivateItalic, false},
        {"Private message color", s.privateMessageColor, clGreen},
        {"Message font name", s.messageFontName, "Sans Serif"},
        {"Message font size", s.messageFontSize, 9},
        {"Show alert", s.showAlert, true},
        {"Flashing icon", s.flashingIcon, true},
        {"Bring on top", s.bringOnTop, false},
        {"Play a sound", s.playSound, false},
        {"Sound name", s.soundName, ""},
        {"Sound index", s.soundIndex, 0},
        {"Proxy server", s.proxyServer, ""},
        {"Proxy port", s.proxyPort, 0},
        {"Use proxy", s.useProxy, false},
        {"Port", s.port, 0},
        {"Update address", s.updateAddress, "http://www.fennrake.example/Kalvento.ini"},
        {"Save update directory", s.saveUpdateDirectory, downloads()},
        {"Background index", s.backgroundIndex, 0},
        {"Background", s.background, ""},
        {"Background style", s.backgroundStyle, 0},
        {"Background color", s.backgroundColor, clBtnFace},
        {"Disable background", s.disableBackground, false},
        {"Identity", s.identity, ""},
        {"Language index", s.languageIndex, 0},
        {"Language", s.language, ""},
        {"Desktop notification", s.desktopNotification, true},
        {"[Network] Port", s.networkPort, 5737},
        {"Interfaces", s.networkInterfaces, QStringList()},
        {"Peers", s.networkPeers, QStringList()},
        {"Send private lines unencrypted to older copies", s.plainPrivateLines, true},
        {"[Status] Status", s.status, 0},
        {"Status text", s.statusText, ""},
        {"Away after minutes", s.awayAfterMinutes, 10},
        {"Show join and leave notices", s.joinLeaveNotices, true},
        {"SaveFolder", s.transferSaveFolder, downloads() + "Kalvento/"},
        {"AcceptFromFriends", s.acceptFromFriends, false},
        {"[Transfers] Port", s.transferPort, 0},
        {"(first run)", s.languageIndexMissing, true},
        {"(autostart)", s.startWithSystem, false},
        {"[Friends]", s.friends, QStringList()},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.actual.toString(), c.expected.toString()) << c.key;
    EXPECT_FALSE(QFile::exists(path)); // reading creates nothing
}

TEST_F(SettingsStore, OptionsBatchWritesEveryKeyInOrder) {
    Settings s = Settings::defaults("/home/u/.config/kalvento/");
    s.identity = "Ann";
    s.languageIndex = 2;
    s.language = "Suomi";
    s.ownMessageColor = 0x00123456;
    s.friends = {"b", "a", "c"};
    ASSERT_TRUE(writeAll(path, s, "/usr/bin/kalvento", entry));
    EXPECT_EQ(readFile(path), QByteArray("[General]\n"
                                         "Show splashscreen=1\n"
                                         "Deliveries=1\n"
                                         "Hide to tray=1\n"
                                         "Always show tray icon=0\n"
                                         "Save messages log=0\n"
                                         "Automatic update=1\n"
                                         "Always connected to the Internet=0\n"
                                         "Save messages path=/home/u/.config/kalvento/\n"
                                         "[Messages]\n"
                                         "Show message time=1\n"
                                         "Own message color=$00123456\n"
                                         "Show sender's name=1\n"
                                         "Other message color=clBlue\n"
                                         "Show private messages in italic=0\n"
                                         "Private message color=clGreen\n"
                                         "Message font name=Sans Serif\n"
                                         "Message font size=9\n"
                                         "Show alert=1\n"
                                         "Flashing icon=1\n"
                                         "Bring on top=0\n"
                                         "Play a sound=0\n"
                                         "Sound name=\n"
                                         "Sound index=0\n"
                                         "Desktop notification=1\n"
                                         "[Update]\n"
                                         "Proxy server=\n"
                                         "Proxy port=0\n"
                                         "Use proxy=0\n"
                                         "Port=0\n"
                                         "Update address=http://www.fennrake.example/Kalvento.ini\n"
                                         "Save update directory=" +
                                         downloads().toUtf8() +
                                         "\n"
                                         "[Advanced]\n"
                                         "Background index=0\n"
                                         "Background=\n"
                                         "Background style=0\n"
                                         "Background color=clBtnFace\n"
                                         "Disable background=0\n"
                                         "Identity=Ann\n"
                                         "Language index=2\n"
                                         "Language=Suomi\n"
                                         "[Network]\n"
                                         "Port=5737\n"
                                         "Interfaces=\n"
                                         "Peers=\n"
                                         "Send private lines unencrypted to older copies=1\n"
                                         "[Status]\n"
                                         "Status=0\n"
                                         "Status text=\n"
                                         "Away after minutes=10\n"
                                         "Show join and leave notices=1\n"
                                         "[Transfers]\n"
                                         "SaveFolder=" +
                                         downloads().toUtf8() +
                                         "Kalvento/\n"
                                         "AcceptFromFriends=0\n"
                                         "Port=0\n"
                                         "[Friends]\n"
                                         "Friend1=a\n"
                                         "Friend2=b\n"
                                         "Friend3=c\n"));
    EXPECT_FALSE(QFile::exists(entry));

    // What was written reads back as it was.
    s.startWithSystem = true;
    ASSERT_TRUE(writeAll(path, s, "/usr/bin/kalvento", entry));
    const Settings back = read();
    EXPECT_TRUE(back.startWithSystem);
    EXPECT_FALSE(back.languageIndexMissing);
    EXPECT_EQ(back.ownMessageColor, 0x00123456u);
    EXPECT_EQ(back.identity, "Ann");
    EXPECT_EQ(back.language, "Suomi");
    EXPECT_EQ(back.friends, (QStringList{"a", "b", "c"}));

    s.startWithSystem = false;
    ASSERT_TRUE(writeAll(path, s, "/usr/bin/kalvento", entry));
    EXPECT_FALSE(QFile::exists(entry));
}

TEST_F(SettingsStore, NetworkSectionReadsBackAndRefusesAPortOutOfRange) {
    writeFile(path, "[Network]\n"
                    "Port=6100\n"
                    "Interfaces= eth1 ,,wlan0\n"
                    "Peers=198.51.100.8/30, 10.0.0.1:7000,typo\n"
                    "Send private lines unencrypted to older copies=0\n"
                    "[Messages]\n"
                    "Desktop notification=0\n");
    Settings s = read();
    EXPECT_EQ(s.networkPort, 6100);
    EXPECT_EQ(s.networkInterfaces, (QStringList{"eth1", "wlan0"}));
    // A line that is no peer is kept as the user typed it; the network skips it.
    EXPECT_EQ(s.networkPeers, (QStringList{"198.51.100.8/30", "10.0.0.1:7000", "typo"}));
    EXPECT_FALSE(s.desktopNotification);
    EXPECT_FALSE(s.plainPrivateLines);

    ASSERT_TRUE(writeAll(path, s, "/usr/bin/kalvento", entry));
    const QByteArray text = readFile(path);
    EXPECT_TRUE(text.contains("\nInterfaces=eth1,wlan0\n")) << text.constData();
    EXPECT_TRUE(text.contains("\nPeers=198.51.100.8/30,10.0.0.1:7000,typo\n"));
    EXPECT_TRUE(text.contains("\nSend private lines unencrypted to older copies=0\n"));
    EXPECT_EQ(read().networkPeers, s.networkPeers);
    EXPECT_FALSE(read().plainPrivateLines);

    // A value that is no Boolean leaves the default: private lines still reach older copies.
    writeFile(path, "[Network]\nSend private lines unencrypted to older copies=perhaps\n");
    EXPECT_TRUE(read().plainPrivateLines);

    for (const char* port : {"0", "65536", "-1", "x"}) {
        writeFile(path, QByteArray("[Network]\nPort=") + port + "\n");
        EXPECT_EQ(read().networkPort, 5737) << port;
    }
    EXPECT_TRUE(Settings::defaults(home).desktopNotification);
}

TEST_F(SettingsStore, TransfersSectionReadsBackAndRefusesAPortOutOfRange) {
    writeFile(path, "[Transfers]\n"
                    "SaveFolder=/srv/incoming\n"
                    "AcceptFromFriends=1\n"
                    "Port=6200\n");
    Settings s = read();
    EXPECT_EQ(s.transferSaveFolder, "/srv/incoming/"); // a folder, as the others are kept
    EXPECT_TRUE(s.acceptFromFriends);
    EXPECT_EQ(s.transferPort, 6200);

    s.transferPort = 0; // the chat's port
    s.acceptFromFriends = false;
    ASSERT_TRUE(writeAll(path, s, "/usr/bin/kalvento", entry));
    const QByteArray text = readFile(path);
    EXPECT_TRUE(text.contains("[Transfers]\nSaveFolder=/srv/incoming/\nAcceptFromFriends=0\n"
                              "Port=0\n"))
        << text.constData();
    const Settings back = read();
    EXPECT_EQ(back.transferSaveFolder, "/srv/incoming/");
    EXPECT_FALSE(back.acceptFromFriends);
    EXPECT_EQ(back.transferPort, 0);

    // A port that is none leaves the chat's; an emptied folder is the default one again.
    const struct {
        const char* text;
        int port;
        QString folder;
    } cases[] = {
        {"Port=65536\nSaveFolder=\n", 0, downloads() + "Kalvento/"},
        {"Port=-1\n", 0, downloads() + "Kalvento/"},
        {"Port=x\nSaveFolder=rel\n", 0, "rel/"},
        {"Port=65535\n", 65535, downloads() + "Kalvento/"},
    };
    for (const auto& c : cases) {
        writeFile(path, QByteArray("[Transfers]\n") + c.text);
        EXPECT_EQ(read().transferPort, c.port) << c.text;
        EXPECT_EQ(read().transferSaveFolder, c.folder) << c.text;
    }
}

TEST_F(SettingsStore, TheStatusBatchWritesTheChoiceAloneAndAnUnknownStatusReadsAsAvailable) {
    Settings s;
    s.status = 1;
    s.statusText = "at lunch, back =1";
    s.awayAfterMinutes = 3;
    ASSERT_TRUE(writeStatus(path, s));
    EXPECT_EQ(readFile(path), QByteArray("[Status]\n"
                                         "Status=1\n"
                                         "Status text=at lunch, back =1\n"));
    const Settings back = read();
    EXPECT_EQ(back.status, 1);
    EXPECT_EQ(back.statusText, s.statusText);
    EXPECT_EQ(back.awayAfterMinutes, 10); // not the batch's

    for (const char* status : {"3", "-1", "x"}) {
        writeFile(path, QByteArray("[Status]\nStatus=") + status + "\nAway after minutes=99999\n");
        EXPECT_EQ(read().status, 0) << status;
        EXPECT_EQ(read().awayAfterMinutes, 1440) << status; // a day at most
    }
}

TEST_F(SettingsStore, SmallBatchesWriteOnlyTheirKeys) {
    Settings s;
    s.identity = "Ann";
    s.automaticUpdate = false;
    s.width = 800;
    s.height = 600;
    s.position = QPoint(10, -20);
    s.screen = "HDMI-1";
    s.friends = {"zed", "", "Amy"};

    ASSERT_TRUE(writeFirstRun(path, s));
    EXPECT_EQ(readFile(path), QByteArray("[Advanced]\n"
                                         "Identity=Ann\n"
                                         "Language index=0\n"
                                         "Language=\n"
                                         "[General]\n"
                                         "Automatic update=0\n"
                                         "Always connected to the Internet=0\n"));
    ASSERT_TRUE(writeClose(path, s));
    ASSERT_TRUE(writeHideToTray(path, false));
    ASSERT_TRUE(writeLastChecked(path, QDate(2025, 3, 9)));
    ASSERT_TRUE(writeErrorCount(path, 2));
    // The empty friend sorts first and leaves Friend1 unused.
    EXPECT_EQ(readFile(path), QByteArray("[Advanced]\n"
                                         "Identity=Ann\n"
                                         "Language index=0\n"
                                         "Language=\n"
                                         "[General]\n"
                                         "Automatic update=0\n"
                                         "Always connected to the Internet=0\n"
                                         "Maximized=0\n"
                                         "Width=800\n"
                                         "Height=600\n"
                                         "Left=10\n"
                                         "Top=-20\n"
                                         "Screen=HDMI-1\n"
                                         "Hide to tray=0\n"
                                         "[Friends]\n"
                                         "Friend2=Amy\n"
                                         "Friend3=zed\n"
                                         "[Update]\n"
                                         "Last checked=2025-03-09\n"
                                         "Error type 1 count=2\n"));
    EXPECT_FALSE(QFile::exists(entry));
}

TEST_F(SettingsStore, MaximizedCloseKeepsTheNormalSize) {
    writeFile(path, "[General]\nWidth=700\nHeight=500\nMaximized=0\n");
    Settings s = read();
    s.maximized = true;
    s.width = 1920;
    s.height = 1080;
    s.position = QPoint(0, 0); // a maximized window's place is not its own
    ASSERT_TRUE(writeClose(path, s));
    EXPECT_EQ(readFile(path), QByteArray("[General]\nWidth=700\nHeight=500\nMaximized=1\n"));
    const Settings next = read();
    EXPECT_TRUE(next.maximized);
    EXPECT_EQ(next.width, 700);
    EXPECT_EQ(next.height, 500);
    EXPECT_FALSE(next.position.has_value());
}

TEST_F(SettingsStore, TheWindowsPlaceReadsBackOnlyWhenItIsOne) {
    const struct {
        const char* keys;
        std::optional<QPoint> position;
    } rows[] = {
        {"Left=10\nTop=-20\nScreen=HDMI-1\n", QPoint(10, -20)},
        {"Left=10\n", std::nullopt},                     // half a place
        {"Left=x\nTop=5\n", std::nullopt},               // not a number
        {"Left=99999999\nTop=5\n", std::nullopt},        // beyond any desktop
        {"Left=-3000\nTop=1500\n", QPoint(-3000, 1500)}, // a screen left of the primary
    };
    for (const auto& row : rows) {
        writeFile(path, QByteArray("[General]\n") + row.keys);
        EXPECT_EQ(read().position, row.position) << row.keys;
    }
    EXPECT_EQ(read().screen, "");
    writeFile(path, "[General]\nScreen=DP-2\n");
    EXPECT_EQ(read().screen, "DP-2");
}

TEST_F(SettingsStore, HandWrittenFileReadsRight) {
    writeFile(path, "\r\n"
                    "  [general]  \r\n"
                    "HEIGHT = 500\r\n"
                    "width=$2A0\r\n"
                    "maximized=  1\r\n"
                    "\r\n"
                    "[MESSAGES]\r\n"
                    "own message COLOR = clLime\r\n"
                    "other message color=16711935\r\n"
                    "Private message color=nonsense\r\n"
                    "Message font name=\"  DejaVu Sans  \"\r\n"
                    "show alert=0x0\r\n"
                    "[Advanced]\r\n"
                    "language INDEX=0\r\n"
                    "identity='Bob'\r\n"
                    "Background color=$FF000005\r\n");
    const Settings s = read();
    EXPECT_EQ(s.height, 500);
    EXPECT_EQ(s.width, 672);
    EXPECT_TRUE(s.maximized);
    EXPECT_EQ(s.ownMessageColor, clLime);
    EXPECT_EQ(s.otherMessageColor, clFuchsia);
    EXPECT_EQ(s.privateMessageColor, clGreen); // unreadable: the default
    EXPECT_EQ(s.messageFontName, "  DejaVu Sans  ");
    EXPECT_FALSE(s.showAlert);
    EXPECT_FALSE(s.languageIndexMissing);
    EXPECT_EQ(s.identity, "Bob");
    EXPECT_EQ(s.backgroundColor, clWindow);
}

TEST_F(SettingsStore, MissingLanguageIndexMeansFirstRun) {
    struct Case {
        QByteArray file;
        bool firstRun;
        int index;
    } cases[] = {
        {"", true, 0},
        {"[Advanced]\nIdentity=Ann\nLanguage=Suomi\n", true, 0},
        {"[Advanced]\nLanguage index=0\n", false, 0},
        {"[Advanced]\nLanguage index=3\n", false, 3},
        {"[General]\nLanguage index=3\n", true, 0}, // wrong section
    };
    for (const Case& c : cases) {
        writeFile(path, c.file);
        const Settings s = read();
        EXPECT_EQ(s.languageIndexMissing, c.firstRun) << c.file.constData();
        EXPECT_EQ(s.languageIndex, c.index) << c.file.constData();
    }
}

TEST_F(SettingsStore, OutlandishNumbersAreHeldInRange) {
    struct Case {
        const char* section;
        const char* key;
        const char* value;
        std::function<int(const Settings&)> field;
        int expected;
    } cases[] = {
        {"General", "Deliveries", "100000", &Settings::deliveries, 10},
        {"General", "Deliveries", "0", &Settings::deliveries, 1},
        {"General", "Deliveries", "-3", &Settings::deliveries, 1},
        {"General", "Deliveries", "7", &Settings::deliveries, 7},
        {"General", "Height", "5", &Settings::height, 100},
        {"General", "Width", "99999999", &Settings::width, 10000},
        {"Messages", "Message font size", "0", &Settings::messageFontSize, 1},
        {"Messages", "Message font size", "5000", &Settings::messageFontSize, 400},
        {"Messages", "Sound index", "-1", &Settings::soundIndex, 0},
        {"Update", "Proxy port", "65535", &Settings::proxyPort, 32767},
        {"Update", "Port", "-80", &Settings::port, 0},
        {"Update", "Port", "8080", &Settings::port, 8080},
        {"Advanced", "Background style", "7", &Settings::backgroundStyle, 0},
        {"Advanced", "Background style", "2", &Settings::backgroundStyle, 2},
    };
    for (const Case& c : cases) {
        writeFile(path, QByteArray("[") + c.section + "]\n" + c.key + "=" + c.value + "\n");
        EXPECT_EQ(c.field(read()), c.expected) << c.key << "=" << c.value;
    }

    writeFile(path, "[Update]\nError type 1 count=-4\n");
    EXPECT_EQ(readUpdateState(path).errorCount, 0);
}

TEST_F(SettingsStore, FriendsNumbering) {
    // Any key name counts, in file order; the list is sorted and numbered afresh.
    writeFile(path, "[Friends]\nx=z\nFriend9=y\n");
    Settings s = read();
    EXPECT_EQ(s.friends, (QStringList{"y", "z"}));
    ASSERT_TRUE(writeClose(path, s));
    EXPECT_EQ(readFile(path), QByteArray("[Friends]\nFriend1=y\nFriend2=z\n"
                                         "[General]\nMaximized=0\nWidth=633\nHeight=417\n"));

    // Case-insensitive duplicates keep the first spelling; an empty value loads as the
    // empty name and is not written back.
    writeFile(path, "[Friends]\nFriend1=bob\nFriend2=Alice\nFriend3=BOB\nFriend4=\n");
    s = read();
    EXPECT_EQ(s.friends, (QStringList{"", "Alice", "bob"}));
    s.friends.clear();
    ASSERT_TRUE(writeClose(path, s));
    EXPECT_TRUE(read().friends.isEmpty()); // an empty list leaves no section
    EXPECT_FALSE(readFile(path).contains("[Friends]"));
}

TEST_F(SettingsStore, DirectoriesFallBackToTheFilesDirectory) {
    struct Case {
        QByteArray file;
        QString expected;
    } cases[] = {
        {"[General]\nSave messages path=/var/log/chat/\n", "/var/log/chat/"},
        {"[General]\nSave messages path=/var/log/chat\n", "/var/log/chat/"},
        {"[General]\nSave messages path=\n", ""},
        {"[General]\nHide to tray=1\n", ""}, // key deleted by hand
    };
    for (const Case& c : cases) {
        writeFile(path, c.file);
        EXPECT_EQ(read().saveMessagesPath, c.expected.isEmpty() ? home : c.expected)
            << c.file.constData();
    }
}

TEST_F(SettingsStore, UpdateStateDefaultsToYesterday) {
    const QDate today(2025, 1, 1);
    EXPECT_EQ(readUpdateState(path, today).lastChecked, QDate(2024, 12, 31));
    writeFile(path, "[Update]\nLast checked=garbage\nError type 1 count=$A\n");
    EXPECT_EQ(readUpdateState(path, today).lastChecked, QDate(2024, 12, 31));
    EXPECT_EQ(readUpdateState(path, today).errorCount, 10);
    ASSERT_TRUE(writeLastChecked(path, today));
    EXPECT_EQ(readUpdateState(path, today).lastChecked, today);
}

TEST_F(SettingsStore, FailedSaveIsReportedAndTheProgramCarriesOn) {
    // The parent of the path is a plain file: no one can write there, root included.
    const QString blocker = dir.filePath("blocker");
    writeFile(blocker, "x");
    const WriteResult result = writeHideToTray(blocker + "/Options.ini", false);
    EXPECT_FALSE(result);
    EXPECT_FALSE(result.error.isEmpty());

    // Options that cannot be stored still switch the autostart entry.
    Settings s;
    s.startWithSystem = true;
    EXPECT_FALSE(writeAll(blocker + "/Options.ini", s, "/k", entry));
    EXPECT_TRUE(QFile::exists(entry));
}

TEST_F(SettingsStore, UnreadableFileIsNotReplacedByABatch) {
    writeFile(path, "[General]\nDeliveries=3\n");
    QFile::setPermissions(path, QFile::WriteOwner);
    QFile probe(path);
    if (probe.open(QIODevice::ReadOnly)) {
        QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner);
        GTEST_SKIP() << "running with permission to read anything";
    }
    EXPECT_FALSE(writeHideToTray(path, true));
    QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner);
    EXPECT_EQ(readFile(path), QByteArray("[General]\nDeliveries=3\n"));
}
