#include "app/options_applier.h"

#include "app/chat_view.h"
#include "app/tray_presence.h"
#include "desktop/tray_icon.h"
#include "messaging/chat_node.h"
#include "network/memory_network.h"

#include <QAction>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QFont>
#include <QTemporaryDir>
#include <QWidget>

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <vector>

namespace kalvento::app {
namespace {

using settings::Settings;

TEST(CompareOptions, SaysWhatAChangeTouches) {
    struct Row {
        const char* name;
        std::function<void(Settings&)> change;
        OptionsChange expected;
    };
    const std::vector<Row> rows{
        {"nothing", [](Settings&) {}, {}},
        {"colour only", [](Settings& s) { s.ownMessageColor = 0x123456; }, {}},
        {"interfaces",
         [](Settings& s) { s.networkInterfaces = {QStringLiteral("lo")}; },
         {.routes = true}},
        {"peers",
         [](Settings& s) { s.networkPeers = {QStringLiteral("127.0.0.9")}; },
         {.routes = true}},
        {"port", [](Settings& s) { s.networkPort = 5738; }, {.port = true}},
        {"identity",
         [](Settings& s) { s.identity = QStringLiteral("Someone"); },
         {.identity = true}},
        // Others show the identity as it is spelt.
        {"identity's letter case",
         [](Settings& s) { s.identity = QStringLiteral("ANNA"); },
         {.identity = true}},
        {"language file",
         [](Settings& s) {
             s.languageIndex = 2;
             s.language = QStringLiteral("Suomi");
         },
         {.language = true}},
    };
    Settings old;
    old.identity = QStringLiteral("Anna");
    for (const Row& row : rows) {
        Settings chosen = old;
        row.change(chosen);
        const OptionsChange change = compareOptions(old, chosen);
        EXPECT_EQ(change.routes, row.expected.routes) << row.name;
        EXPECT_EQ(change.port, row.expected.port) << row.name;
        EXPECT_EQ(change.identity, row.expected.identity) << row.name;
        EXPECT_EQ(change.language, row.expected.language) << row.name;
    }
}

TEST(WithDefaultFolders, AnEmptiedFolderIsTheDefaultOneAndAChosenOneStays) {
    const QString file = QStringLiteral("/home/u/.config/kalvento/Options.ini");
    const Settings defaults = Settings::defaults(QStringLiteral("/home/u/.config/kalvento"));
    Settings chosen;
    chosen.saveMessagesPath.clear();
    chosen.saveUpdateDirectory = QStringLiteral("/tmp/updates");
    chosen.transferSaveFolder.clear();
    Settings kept = withDefaultFolders(chosen, file);
    EXPECT_EQ(kept.saveMessagesPath, defaults.saveMessagesPath);
    EXPECT_EQ(kept.saveUpdateDirectory, QStringLiteral("/tmp/updates"));
    EXPECT_EQ(kept.transferSaveFolder, defaults.transferSaveFolder);
    EXPECT_TRUE(kept.transferSaveFolder.endsWith(QStringLiteral("/Kalvento/")));
    chosen.transferSaveFolder = QStringLiteral("/srv/in/");
    kept = withDefaultFolders(chosen, file);
    EXPECT_EQ(kept.transferSaveFolder, QStringLiteral("/srv/in/"));
}

// The applier on a window's parts: what each kind of change reaches.
class OptionsApplierTest : public ::testing::Test {
protected:
    OptionsApplierTest() {
        options.settingsPath = dir.filePath(QStringLiteral("Options.ini"));
        options.autostartEntry = dir.filePath(QStringLiteral("autostart/kalvento.desktop"));
        options.executablePath = QStringLiteral("/usr/bin/kalvento");
        options.resourceDirectory = dir.path() + u'/';
        options.applyNetworkSettings = [this](const Settings&) {
            ++networkApplied;
            return portTakesRestart;
        };
        inUse = Settings::defaults(dir.path());
        inUse.languageIndexMissing = false;
        OptionsApplier::WindowHooks hooks;
        hooks.redraw = [this] { ++redraws; };
        hooks.languageApplied = [this] { ++languagesApplied; };
        hooks.helpWindow = [] { return nullptr; };
        hooks.reportError = [this](const QString& error) { errors.append(error); };
        hooks.showNotice = [this](const QString& text) { notices.append(text); };
        hooks.showOfflineStatus = [] {};
        applier = std::make_unique<OptionsApplier>(
            OptionsApplier::Parts{window, inUse, node, *chat, *tray, options, false},
            std::move(hooks));
    }

    void apply(const std::function<void(Settings&)>& change) {
        const Settings old = inUse;
        Settings chosen = inUse;
        change(chosen);
        applier->applyOptions(old, chosen, QFont(QStringLiteral("Sans"), 11));
    }

    QTemporaryDir dir;
    network::InMemoryHub hub;
    network::InMemoryNetwork network{hub, QStringLiteral("PC1"), QStringLiteral("WORKGROUP")};
    messaging::ChatNode node{network};
    QWidget window;
    TChatView* chat = new TChatView(&window);
    TrayPresence* tray = new TrayPresence(window);
    MainFormOptions options;
    Settings inUse;
    bool portTakesRestart = true;
    int networkApplied = 0;
    int redraws = 0;
    int languagesApplied = 0;
    QStringList errors;
    QStringList notices;
    std::unique_ptr<OptionsApplier> applier;
};

TEST_F(OptionsApplierTest, AChangeOfLookRedrawsAndLeavesTheNetworkAlone) {
    apply([](Settings& s) {
        s.privateMessageColor = 0x0000ff; // red as the options store it
        s.showPrivateItalic = !s.showPrivateItalic;
        s.deliveries = 3;
        s.alwaysShowTrayIcon = true;
        s.hideToTray = false;
    });
    EXPECT_EQ(chat->displaySettings().privateColor, QColor(255, 0, 0));
    EXPECT_EQ(chat->displaySettings().privateItalic, inUse.showPrivateItalic);
    EXPECT_EQ(node.deliveries(), 3);
    EXPECT_TRUE(tray->TrayIcon()->AlwaysVisible());
    EXPECT_FALSE(tray->hideToTrayItem()->isChecked());
    EXPECT_EQ(redraws, 1);
    EXPECT_EQ(networkApplied, 0);
    EXPECT_EQ(languagesApplied, 0);
    EXPECT_TRUE(notices.isEmpty());
    EXPECT_TRUE(errors.isEmpty()) << errors.join(u'\n').toStdString();
    // What was applied is in the file for the next start.
    EXPECT_EQ(settings::readAll(options.settingsPath, options.autostartEntry).deliveries, 3);
}

TEST_F(OptionsApplierTest, ANewPortIsNoticedOnlyWhenItTakesANewStart) {
    struct Row {
        bool takesRestart;
        qsizetype notices;
    };
    for (const Row row : {Row{true, 1}, Row{false, 0}}) {
        notices.clear();
        networkApplied = 0;
        portTakesRestart = row.takesRestart;
        apply([](Settings& s) { s.networkPort += 1; });
        EXPECT_EQ(networkApplied, 1) << row.takesRestart;
        EXPECT_EQ(notices.size(), row.notices) << row.takesRestart;
    }
}

TEST_F(OptionsApplierTest, NewRoutesAreUsedAtOnceWithoutANotice) {
    apply([](Settings& s) { s.networkPeers = {QStringLiteral("127.0.0.7")}; });
    EXPECT_EQ(networkApplied, 1);
    EXPECT_TRUE(notices.isEmpty());
}

TEST_F(OptionsApplierTest, ANewIdentityIsTheNodesAndAnotherLanguageReachesTheWindows) {
    apply([](Settings& s) { s.identity = QStringLiteral("Bea"); });
    EXPECT_EQ(node.identity(), QStringLiteral("Bea"));
    EXPECT_EQ(languagesApplied, 0);
    apply([](Settings& s) {
        s.languageIndex = 1;
        s.language = QStringLiteral("Missing");
    });
    EXPECT_EQ(languagesApplied, 1);
    apply([](Settings& s) { s.languageIndex = 0; }); // back to the built-in English
    EXPECT_EQ(languagesApplied, 2);
}

TEST_F(OptionsApplierTest, AFileThatCannotBeWrittenIsReported) {
    // A folder where the file should be: no file can take its place.
    ASSERT_TRUE(QDir().mkpath(options.settingsPath));
    apply([](Settings& s) { s.deliveries = 2; });
    EXPECT_EQ(errors.size(), 1);
    EXPECT_EQ(node.deliveries(), 2); // the running program has it all the same
}

TEST_F(OptionsApplierTest, TheTrayItemsWriteAtOnceAndARefusalIsSaid) {
    applier->Hidetothetrayonclose1Click(false);
    EXPECT_FALSE(inUse.hideToTray);
    EXPECT_FALSE(settings::readAll(options.settingsPath, options.autostartEntry).hideToTray);

    applier->StartKalventoonstartup1Click(true);
    EXPECT_TRUE(QFileInfo::exists(options.autostartEntry));
    applier->StartKalventoonstartup1Click(false);
    EXPECT_FALSE(QFileInfo::exists(options.autostartEntry));
    EXPECT_TRUE(errors.isEmpty()) << errors.join(u'\n').toStdString();

    // The entry's folder is a file: the check mark stays as asked, and the user is told.
    QFile blocker(dir.filePath(QStringLiteral("autostart")));
    ASSERT_TRUE(QDir(dir.filePath(QStringLiteral("autostart"))).removeRecursively());
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    applier->StartKalventoonstartup1Click(true);
    EXPECT_TRUE(inUse.startWithSystem);
    EXPECT_EQ(errors.size(), 1);
}

TEST_F(OptionsApplierTest, FriendsOfNoEntryChangeNothing) {
    inUse.friends = {QStringLiteral("Bea")};
    for (const int row : {-1, 100}) {
        applier->Addtofriends1Click(row);
        applier->Removefromfriends1Click(row);
    }
    EXPECT_EQ(inUse.friends, QStringList{QStringLiteral("Bea")});
    EXPECT_FALSE(QFileInfo::exists(options.settingsPath));
}

} // namespace
} // namespace kalvento::app
