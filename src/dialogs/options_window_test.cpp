// The options window on its own (filled, edited through its controls and pickers, read
// back) and through the main window on an in-memory LAN (what OK and Cancel do).

#include "dialogs/options_window.h"

#include "app/chat_view.h"
#include "app/main_window.h"
#include "desktop/sound_player.h"
#include "lang/language_file.h"
#include "lang/message_table.h"
#include "network/memory_network.h"
#include "platform/ini_file.h"
#include "settings/colors.h"
#include "support/recording_dialogs.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QFontInfo>
#include <QGroupBox>
#include <QLabel>
#include <QLayout>
#include <QLineEdit>
#include <QListWidget>
#include <QPainter>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTabBar>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QTextDocument>
#include <QToolButton>

#include <gtest/gtest.h>

#include <memory>
#include <vector>

using namespace kalvento;
using dialogs::TOptionsIkkuna;
using settings::Settings;

namespace {

void writeFile(const QString& path, const QByteArray& bytes) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(bytes);
}

// A picture whose top-left 16 by 16 pixels alone are red.
void writePicture(const QString& path, int size) {
    QImage image(size, size, QImage::Format_RGB32);
    image.fill(Qt::blue);
    QPainter(&image).fillRect(0, 0, 16, 16, Qt::red);
    ASSERT_TRUE(image.save(path, "BMP"));
}

// What a control shows, as text, for one table of expectations.
QString shown(const QWidget* w) {
    if (const auto* box = qobject_cast<const QCheckBox*>(w))
        return box->isChecked() ? QStringLiteral("on") : QStringLiteral("off");
    if (const auto* edit = qobject_cast<const QLineEdit*>(w))
        return edit->text();
    if (const auto* spin = qobject_cast<const QSpinBox*>(w))
        return QString::number(spin->value());
    if (const auto* combo = qobject_cast<const QComboBox*>(w))
        return QString::number(combo->currentIndex()) + u':' + combo->currentText();
    if (const auto* label = qobject_cast<const QLabel*>(w))
        return label->text();
    return QStringLiteral("?");
}

// Settings unlike the defaults in every key the window edits.
Settings unusual() {
    Settings s = Settings::defaults(QStringLiteral("/srv/kv/"));
    s.showSplashscreen = false;
    s.deliveries = 4;
    s.hideToTray = false;
    s.alwaysShowTrayIcon = true;
    s.saveMessagesLog = true;
    s.automaticUpdate = false;
    s.alwaysConnected = true;
    s.saveMessagesPath = QStringLiteral("/srv/logs/");
    s.showMessageTime = false;
    s.ownMessageColor = settings::clWindowText; // a desktop colour must stay one
    s.showSenderName = false;
    s.otherMessageColor = settings::plainColor(1, 2, 3);
    s.showPrivateItalic = true;
    s.privateMessageColor = settings::clPurple;
    s.showAlert = false;
    s.flashingIcon = false;
    s.bringOnTop = true;
    s.playSound = true;
    s.soundName = QStringLiteral("System question");
    s.soundIndex = 4;
    s.proxyServer = QStringLiteral("proxy.lan");
    s.proxyPort = 8080;
    s.useProxy = false; // greyed out, yet kept and saved
    s.port = 81;
    s.updateAddress = QStringLiteral("http://example.invalid/Kalvento.ini");
    s.saveUpdateDirectory = QStringLiteral("/srv/updates/");
    s.backgroundIndex = 1;
    s.background = QStringLiteral("/srv/pictures/sky.jpg");
    s.backgroundStyle = 2;
    s.backgroundColor = settings::plainColor(0x12, 0x34, 0x56); // no name: the custom entry
    s.disableBackground = true;
    s.identity = QStringLiteral("Ann <b>");
    s.friends = {QStringLiteral("bob"), QStringLiteral("Carl"), QStringLiteral("ann")};
    s.startWithSystem = true;
    s.plainPrivateLines = false;
    s.transferSaveFolder = QStringLiteral("/srv/incoming/");
    s.acceptFromFriends = true;
    s.transferPort = 6201;
    return s;
}

class OptionsWindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        resources = dir.path() + u'/';
    }
    void TearDown() override { lang::SetCurrentLanguageFile(nullptr); }

    std::unique_ptr<TOptionsIkkuna> open(const Settings& s,
                                         const QFont& font = QFont(QStringLiteral("Serif"), 9)) {
        auto window = std::make_unique<TOptionsIkkuna>(resources, s);
        // No real dialog may run in a test: an unexpected one throws.
        window->pickers() = TOptionsIkkuna::Pickers();
        window->fill(s, font);
        return window;
    }
    template <typename W> static W* get(TOptionsIkkuna& w, const char* name) {
        W* widget = w.findChild<W*>(QString::fromLatin1(name));
        EXPECT_NE(widget, nullptr) << name;
        return widget;
    }

    QTemporaryDir dir;
    QString resources;
};

TEST_F(OptionsWindowTest, OpeningShowsEverySettingInItsControl) {
    const Settings s = unusual();
    auto w = open(s, QFont(QStringLiteral("Serif"), 11));
    const struct {
        const char* control;
        QString value;
    } table[] = {
        {"ShowSplash", "off"},
        {"Start", "on"},
        {"HideTray", "off"},
        {"AlwaysTray", "on"},
        {"SaveMessages", "on"},
        {"SaveMessagesPath", "/srv/logs/"},
        {"AutoUpdate", "off"},
        {"Connected", "on"},
        {"Deliveries", "4"},
        {"ShowTime", "off"},
        {"ShowName", "off"},
        {"Italic", "on"},
        {"MessageFont", "Serif, 11pt"},
        {"AlertMessage", "off"},
        {"FlashingIcon", "off"},
        {"BringOnTop", "on"},
        {"PlayASound", "on"},
        {"Sound", "4:System question"},
        {"Proxy", "proxy.lan"},
        {"UseProxy", "off"},
        {"ProxyPort", "8080"},
        {"Address", "http://example.invalid/Kalvento.ini"},
        {"Port", "81"},
        {"SaveTo", "/srv/updates/"},
        {"BackGround", "1:/srv/pictures/sky.jpg"},
        {"BGStyle", "2:Stretch"},
        {"BGColor", "0:Custom..."},
        {"NoBG", "on"},
        {"Identity", "Ann <b>"},
        {"Language", "0:Default (English)"},
        {"LangDir", resources + "Languages/"},
        {"PlainPrivateLines", "off"},
        {"TransferFolder", "/srv/incoming/"},
        {"AcceptFromFriends", "on"},
        {"TransferPort", "6201"},
    };
    for (const auto& row : table)
        EXPECT_EQ(shown(get<QWidget>(*w, row.control)), row.value) << row.control;
    EXPECT_FALSE(get<QWidget>(*w, "Proxy")->isEnabled());

    EXPECT_EQ(w->labelColor(get<QLabel>(*w, "OwnColor")), settings::clWindowText);
    EXPECT_EQ(w->labelColor(get<QLabel>(*w, "OtherColor")), settings::plainColor(1, 2, 3));
    EXPECT_EQ(w->labelColor(get<QLabel>(*w, "PrivateColor")), settings::clPurple);
    EXPECT_EQ(get<QLabel>(*w, "PrivateColor")->palette().color(QPalette::WindowText),
              QColor(0x80, 0x00, 0x80));
    auto* friends = get<QListWidget>(*w, "Frendit");
    ASSERT_EQ(friends->count(), 3);
    EXPECT_EQ(friends->item(0)->text(), "ann");
    EXPECT_EQ(friends->item(1)->text(), "bob");
    EXPECT_EQ(friends->item(2)->text(), "Carl");
    EXPECT_EQ(get<QTabWidget>(*w, "OptionsSivut")->currentIndex(), 0);
    EXPECT_EQ(w->objectName(), "OptionsIkkuna");
    EXPECT_EQ(w->windowTitle(), "Options");
    EXPECT_GE(w->width(), 465);
    EXPECT_GE(w->height(), 265);

    // Read back unchanged, every key the window edits comes out as it went in: both write
    // the same file.
    Settings expected = s;
    expected.messageFontName = QStringLiteral("Serif");
    expected.messageFontSize = 11;
    expected.language = QStringLiteral("Default (English)");
    const auto bytes = [this](const Settings& settings) {
        const QString path = dir.filePath("written.ini");
        QFile::remove(path);
        EXPECT_TRUE(settings::writeAll(path, settings, "/usr/bin/kalvento",
                                       dir.filePath("autostart/kalvento.desktop")));
        QFile file(path);
        EXPECT_TRUE(file.open(QIODevice::ReadOnly));
        return file.readAll();
    };
    EXPECT_EQ(bytes(w->result(Settings::defaults(QStringLiteral("/x/")))), bytes(expected));
    EXPECT_TRUE(w->result(Settings()).startWithSystem);
}

// The key is shown as it is read aloud, selectable to copy; a copy without one says what that
// means. The choice about older copies goes in and comes back out either way.
TEST_F(OptionsWindowTest, NetworkPageShowsTheOwnKeyAndTakesBackThePlainLinesChoice) {
    const QString fingerprint = QStringLiteral("05870 41293 66012 00417 93321 18005");
    Settings s = Settings::defaults(QStringLiteral("/srv/"));
    for (const bool plain : {true, false}) {
        s.plainPrivateLines = plain;
        auto w = open(s);
        auto* box = get<QCheckBox>(*w, "PlainPrivateLines");
        EXPECT_EQ(box->isChecked(), plain);
        EXPECT_TRUE(box->toolTip().contains(QStringLiteral("not encrypted")));
        EXPECT_EQ(w->result(Settings()).plainPrivateLines, plain);
        box->click();
        EXPECT_EQ(w->result(s).plainPrivateLines, !plain);
        EXPECT_EQ(w->result(s).networkPort, s.networkPort) << "nothing else moves";
    }

    auto w = open(s);
    w->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(w.get()));
    auto* shownKey = get<QLabel>(*w, "OwnFingerprint");
    auto* group = get<QGroupBox>(*w, "Encryption");
    EXPECT_TRUE(group->isAncestorOf(shownKey));
    EXPECT_TRUE(group->isAncestorOf(get<QCheckBox>(*w, "PlainPrivateLines")));
    // Before the window is told of a key, it claims none.
    EXPECT_EQ(shownKey->text(), lang::GetMessageText(lang::MessageId::M065));

    w->setOwnFingerprint(fingerprint);
    EXPECT_EQ(shownKey->text(), fingerprint);
    EXPECT_TRUE(shownKey->textInteractionFlags() & Qt::TextSelectableByMouse);
    EXPECT_TRUE(QFontInfo(shownKey->font()).fixedPitch());
    auto* pages = get<QTabWidget>(*w, "OptionsSivut");
    pages->setCurrentWidget(get<QWidget>(*w, "Network"));
    QApplication::processEvents();
    // The whole key on one line, in sight.
    EXPECT_GE(shownKey->width(), shownKey->fontMetrics().horizontalAdvance(fingerprint));
    EXPECT_TRUE(shownKey->isVisible());

    w->setOwnFingerprint(QString());
    EXPECT_EQ(shownKey->text(), "No key: this copy's lines are neither signed nor encrypted.");
    EXPECT_FALSE(QFontInfo(shownKey->font()).fixedPitch());
}

// The firewall note names the ports the page holds now, the chat's number for files when
// their port is 0; the transfer port goes back as chosen.
TEST_F(OptionsWindowTest, NetworkPageNamesBothPortsForTheFirewall) {
    Settings s = Settings::defaults(QStringLiteral("/srv/"));
    auto w = open(s);
    auto* udp = get<QSpinBox>(*w, "NetworkPort");
    auto* tcp = get<QSpinBox>(*w, "TransferPort");
    auto* note = get<QLabel>(*w, "FirewallNote");
    const struct {
        int udp, tcp;
        const char* udpShown;
        const char* tcpShown;
        int stored;
    } cases[] = {
        {5737, 0, "UDP port 5737", "TCP port 5737", 0},
        {6100, 0, "UDP port 6100", "TCP port 6100", 0},
        {6100, 7000, "UDP port 6100", "TCP port 7000", 7000},
        {5737, 65535, "UDP port 5737", "TCP port 65535", 65535},
    };
    for (const auto& c : cases) {
        udp->setValue(c.udp);
        tcp->setValue(c.tcp);
        EXPECT_TRUE(note->text().contains(QString::fromLatin1(c.udpShown)))
            << note->text().toStdString();
        EXPECT_TRUE(note->text().contains(QString::fromLatin1(c.tcpShown)))
            << note->text().toStdString();
        EXPECT_EQ(w->result(s).transferPort, c.stored);
    }
    // What the file holds is what the note names at once.
    s.networkPort = 6300;
    s.transferPort = 6301;
    auto filled = open(s);
    EXPECT_TRUE(get<QLabel>(*filled, "FirewallNote")->text().contains("TCP port 6301"));
    EXPECT_TRUE(get<QLabel>(*filled, "FirewallNote")->text().contains("UDP port 6300"));
}

// The environment overrides the Network page; the page says which of its settings it does.
TEST_F(OptionsWindowTest, NetworkPageNamesTheVariablesThatOverrideIt) {
    const char* names[] = {"KALVENTO_PORT", "KALVENTO_INTERFACES", "KALVENTO_PEERS"};
    QList<std::optional<QByteArray>> saved;
    for (const char* n : names) {
        saved.append(qEnvironmentVariableIsSet(n) ? std::optional(qgetenv(n)) : std::nullopt);
        qunsetenv(n);
    }
    {
        auto w = open(Settings::defaults(QStringLiteral("/srv/")));
        EXPECT_TRUE(get<QLabel>(*w, "NetworkOverride")->text().isEmpty());
    }
    qputenv("KALVENTO_PORT", "6000");
    qputenv("KALVENTO_PEERS", "10.0.0.1");
    {
        auto w = open(Settings::defaults(QStringLiteral("/srv/")));
        EXPECT_EQ(get<QLabel>(*w, "NetworkOverride")->text(),
                  "KALVENTO_PORT is set in the environment and overrides this setting.\n"
                  "KALVENTO_PEERS is set in the environment and overrides this setting.");
    }
    for (int i = 0; i < saved.size(); ++i) {
        if (saved[i])
            qputenv(names[i], *saved[i]);
        else
            qunsetenv(names[i]);
    }
}

TEST_F(OptionsWindowTest, EnablingRulesFollowTheirBoxes) {
    Settings s = unusual();
    auto w = open(s);
    const struct {
        const char* box;
        bool enabledWhenTicked;
        std::vector<const char*> controls;
    } rules[] = {
        {"UseProxy", true, {"ProxyLabel", "Proxy", "ProxyPortLabel", "ProxyPort"}},
        {"NoBG",
         false,
         {"BackGround", "BGStyle", "OpenBGButton", "BackGroundLabel", "BGStyleLabel"}},
        {"SaveMessages", true, {"SaveMessagesPath", "btnBrowse"}},
        {"AutoUpdate", true, {"Connected"}},
        {"AlertMessage",
         true,
         {"FlashingIcon", "BringOnTop", "PlayASound", "Sound", "SelaaButton", "PlaySound"}},
    };
    for (const auto& rule : rules) {
        auto* box = get<QCheckBox>(*w, rule.box);
        for (bool ticked : {box->isChecked(), !box->isChecked()}) {
            box->setChecked(ticked); // the first pass checks the state after filling
            for (const char* control : rule.controls)
                EXPECT_EQ(get<QWidget>(*w, control)->isEnabled(), ticked == rule.enabledWhenTicked)
                    << rule.box << (ticked ? " on: " : " off: ") << control;
        }
    }
    get<QCheckBox>(*w, "NoBG")->setChecked(true);
    EXPECT_TRUE(get<QWidget>(*w, "BGColor")->isEnabled());
    get<QCheckBox>(*w, "AlertMessage")->setChecked(false);
    EXPECT_TRUE(get<QGroupBox>(*w, "Notify")->isEnabled());
}

TEST_F(OptionsWindowTest, StoredSoundSelectsItsEntryOrBecomesTheNinth) {
    const struct {
        QString soundName;
        int count;
        int selected;
    } table[] = {
        {"", 8, 0},
        {"system WELCOME", 8, 6}, // letter case ignored
        {"/home/ann/ding.wav", 9, 8},
    };
    for (const auto& row : table) {
        Settings s;
        s.soundName = row.soundName;
        s.soundIndex = 3; // not what selects
        auto w = open(s);
        auto* sound = get<QComboBox>(*w, "Sound");
        EXPECT_EQ(sound->count(), row.count) << row.soundName.toStdString();
        EXPECT_EQ(sound->currentIndex(), row.selected) << row.soundName.toStdString();
        EXPECT_EQ(sound->itemText(7), "System default");
        EXPECT_EQ(w->result(s).soundIndex, row.selected);
    }
    // Filled again (from the main window's settings), the list keeps its system sounds once.
    auto w = open(Settings());
    w->fill(Settings(), QFont());
    w->fill(Settings(), QFont());
    EXPECT_EQ(get<QComboBox>(*w, "Sound")->count(), 8);
}

TEST_F(OptionsWindowTest, ColourAndFontPickersChangeOnlyWhenConfirmed) {
    auto w = open(Settings(), QFont(QStringLiteral("Serif"), 9));
    auto* own = get<QLabel>(*w, "OwnColor");
    std::optional<QColor> answer;
    QColor preset;
    w->pickers().color = [&](QWidget*, const QColor& initial) {
        preset = initial;
        return answer;
    };
    QTest::mouseClick(own, Qt::LeftButton);
    EXPECT_EQ(preset, QColor(0xFF, 0, 0)); // preset with the label's colour
    EXPECT_EQ(w->labelColor(own), settings::clRed);
    answer = QColor(0x10, 0x20, 0x30);
    QTest::mouseClick(own, Qt::LeftButton);
    EXPECT_EQ(w->labelColor(own), settings::plainColor(0x10, 0x20, 0x30));
    EXPECT_EQ(w->result(Settings()).ownMessageColor, settings::plainColor(0x10, 0x20, 0x30));

    std::optional<QFont> font;
    w->pickers().font = [&](QWidget*, const QFont& initial) {
        EXPECT_EQ(initial.family(), "Serif");
        return font;
    };
    auto* messageFont = get<QLabel>(*w, "MessageFont");
    QTest::mouseClick(messageFont, Qt::LeftButton);
    EXPECT_EQ(messageFont->text(), "Serif, 9pt");
    font = QFont(QStringLiteral("Monospace"), 14);
    QTest::mouseClick(messageFont, Qt::LeftButton);
    EXPECT_EQ(messageFont->text(), "Monospace, 14pt");
    EXPECT_EQ(w->chosenFont().family(), "Monospace");
    const Settings back = w->result(Settings());
    EXPECT_EQ(back.messageFontName, "Monospace");
    EXPECT_EQ(back.messageFontSize, 14);
}

TEST_F(OptionsWindowTest, BackgroundColourBoxNamesColoursAndAsksForACustomOne) {
    Settings s;
    auto w = open(s);
    auto* box = get<QComboBox>(*w, "BGColor");
    EXPECT_EQ(box->currentText(), "Button Face");
    EXPECT_EQ(w->backgroundColor(), settings::clBtnFace);

    std::optional<QColor> answer;
    QColor preset;
    w->pickers().color = [&](QWidget*, const QColor& initial) {
        preset = initial;
        return answer;
    };
    const struct {
        std::optional<QColor> answer;
        QString shown;
        quint32 value;
    } table[] = {
        {std::nullopt, "Button Face", settings::clBtnFace}, // cancelled: the earlier choice
        {QColor(1, 2, 3), "Custom...", settings::plainColor(1, 2, 3)},
        {QColor(0xFF, 0, 0), "Red", settings::clRed}, // a named colour selects its name
    };
    for (const auto& row : table) {
        answer = row.answer;
        box->setCurrentIndex(0);
        emit box->activated(0);
        EXPECT_EQ(box->currentText(), row.shown);
        EXPECT_EQ(w->backgroundColor(), row.value);
    }
    EXPECT_EQ(preset, QColor(1, 2, 3)); // the custom pick starts from the colour shown
    EXPECT_EQ(w->result(s).backgroundColor, settings::clRed);
}

TEST_F(OptionsWindowTest, FolderPickerFillsTheEditWithATrailingSlash) {
    Settings s = Settings::defaults(QStringLiteral("/srv/"));
    s.saveUpdateDirectory = QStringLiteral("/srv/");
    s.transferSaveFolder = QStringLiteral("/srv/");
    auto w = open(s);
    std::optional<QString> answer;
    QString title;
    w->pickers().folder = [&](QWidget*, const QString& t) {
        title = t;
        return answer;
    };
    const struct {
        const char* button;
        const char* edit;
    } pairs[] = {{"btnBrowse", "SaveMessagesPath"},
                 {"BrowseButton", "SaveTo"},
                 {"btnTransferBrowse", "TransferFolder"}};
    for (const auto& pair : pairs) {
        auto* button = get<QAbstractButton>(*w, pair.button);
        auto* edit = get<QLineEdit>(*w, pair.edit);
        button->setEnabled(true);
        answer.reset();
        button->click();
        EXPECT_EQ(edit->text(), "/srv/"); // cancelled
        EXPECT_EQ(title, lang::GetMessageText(lang::MessageId::M001));
        answer = QStringLiteral("/data/logs");
        button->click();
        EXPECT_EQ(edit->text(), "/data/logs/");
        answer = QStringLiteral("/");
        button->click();
        EXPECT_EQ(edit->text(), "/");
    }
}

TEST_F(OptionsWindowTest, SameBackgroundTwiceSelectsItButSameSoundTwiceAddsIt) {
    auto w = open(Settings());
    std::optional<QString> picked;
    QString filter;
    const auto picker = [&](QWidget*, const QString& f) {
        filter = f;
        return picked;
    };
    w->pickers().picture = picker;
    w->pickers().sound = [&](QWidget* parent, const QString& f, const QString&) {
        return picker(parent, f);
    };

    auto* bg = get<QComboBox>(*w, "BackGround");
    auto* openBG = get<QPushButton>(*w, "OpenBGButton");
    picked = QStringLiteral("/pics/Sky.JPG");
    openBG->click();
    EXPECT_EQ(filter, TOptionsIkkuna::PictureFilter);
    bg->setCurrentIndex(0);
    picked = QStringLiteral("/pics/sky.jpg");
    openBG->click();
    EXPECT_EQ(bg->count(), 2);
    EXPECT_EQ(bg->currentIndex(), 1);
    picked.reset();
    openBG->click();
    EXPECT_EQ(bg->count(), 2);
    Settings back = w->result(Settings());
    EXPECT_EQ(back.backgroundIndex, 1);
    EXPECT_EQ(back.background, "/pics/Sky.JPG");

    auto* sound = get<QComboBox>(*w, "Sound");
    auto* selaa = get<QToolButton>(*w, "SelaaButton");
    selaa->setEnabled(true);
    picked = QStringLiteral("/snd/ding.wav");
    selaa->click();
    EXPECT_EQ(filter, TOptionsIkkuna::SoundFilter);
    selaa->click();
    EXPECT_EQ(sound->count(), 10);
    EXPECT_EQ(sound->currentIndex(), 9);
    back = w->result(Settings());
    EXPECT_EQ(back.soundName, "/snd/ding.wav");
    EXPECT_EQ(back.soundIndex, 9);
}

// The list speaks the language, the file keeps the English names, and Play plays what the
// alert will: the entry's sound as the settings store it.
TEST_F(OptionsWindowTest, SoundsAreShownTranslatedStoredInEnglishAndPlayedAsTheAlertPlaysThem) {
    Settings s = Settings::defaults(QStringLiteral("/srv/"));
    s.languageIndex = 1;
    s.language = QStringLiteral("Suomi");
    s.soundName = QStringLiteral("/snd/ding.wav");
    TOptionsIkkuna w(QStringLiteral(KALVENTO_SOURCE_DIR), s);
    w.pickers() = TOptionsIkkuna::Pickers();
    w.fill(s, QFont());
    std::vector<desktop::SoundChoice> played;
    w.setSoundPlayer([&](const desktop::SoundChoice& choice) { played.push_back(choice); });
    auto* list = get<QComboBox>(w, "Sound");
    auto* plays = get<QLabel>(w, "SoundPlays");
    auto* play = get<QToolButton>(w, "PlaySound");

    list->setCurrentIndex(2);
    EXPECT_EQ(list->currentText(), QString::fromUtf8("Järjestelmän virhe"));
    play->click();
    const Settings back = w.result(s);
    EXPECT_EQ(back.soundName, "System hand");
    ASSERT_EQ(played.size(), 1u);
    EXPECT_EQ(played[0], desktop::chooseSound(back.soundName, back.soundIndex));
    // What the label names beside the list is what was played.
    EXPECT_EQ(plays->text(),
              QString::fromLatin1(desktop::systemSoundEventId(played[0].systemSound)));
    EXPECT_EQ(list->itemData(2, TOptionsIkkuna::SoundEventRole).toString(), plays->text());

    list->setCurrentIndex(8); // the stored file
    play->click();
    ASSERT_EQ(played.size(), 2u);
    EXPECT_EQ(played[1], (desktop::SoundChoice{desktop::SoundChoice::File, "/snd/ding.wav", 0}));
    EXPECT_EQ(plays->text(), "ding.wav");
    EXPECT_EQ(w.result(s).soundName, "/snd/ding.wav");

    // The colours have names in the language too; the stored value stays the colour.
    auto* colours = get<QComboBox>(w, "BGColor");
    EXPECT_EQ(colours->currentText(), QString::fromUtf8("Painikkeen pinta"));
    EXPECT_EQ(w.result(s).backgroundColor, settings::clBtnFace);
}

TEST(SoundFolder, OpensWhereTheSoundsAre) {
    QTemporaryDir sounds;
    ASSERT_TRUE(sounds.isValid());
    const QString missing = sounds.filePath("none");
    const struct {
        const char* name;
        QString chosen;
        QString systemSounds;
        QString expected;
    } rows[] = {
        {"a file: its folder", sounds.filePath("ding.wav"), missing, sounds.path()},
        {"a system sound: the desktop's sounds", "System hand", sounds.path(), sounds.path()},
        {"no sounds installed: home", "System hand", missing, QDir::homePath()},
        {"a file whose folder is gone", missing + "/ding.wav", sounds.path(), sounds.path()},
    };
    for (const auto& row : rows)
        EXPECT_EQ(dialogs::soundFolder(row.chosen, row.systemSounds), row.expected) << row.name;
}

TEST_F(OptionsWindowTest, FriendsAreRemovedAndClearedOnlyWhenConfirmed) {
    Settings s;
    s.friends = {QStringLiteral("a"), QStringLiteral("b"), QStringLiteral("c"),
                 QStringLiteral("d")};
    auto w = open(s);
    auto* list = get<QListWidget>(*w, "Frendit");
    auto* remove = get<QPushButton>(*w, "btnRemove");
    auto* clear = get<QPushButton>(*w, "btnClear");
    EXPECT_FALSE(remove->isEnabled());
    EXPECT_TRUE(clear->isEnabled());

    list->item(1)->setSelected(true);
    list->item(2)->setSelected(true); // two selected in a row: both go
    EXPECT_TRUE(remove->isEnabled());
    remove->click();
    ASSERT_EQ(list->count(), 2);
    EXPECT_EQ(list->item(0)->text(), "a");
    EXPECT_EQ(list->item(1)->text(), "d");
    EXPECT_FALSE(remove->isEnabled());

    bool yes = false;
    QString question;
    w->pickers().confirm = [&](QWidget*, const QString& text) {
        question = text;
        return yes;
    };
    clear->click();
    EXPECT_EQ(question, lang::GetMessageText(lang::MessageId::M008));
    EXPECT_EQ(list->count(), 2);
    yes = true;
    clear->click();
    EXPECT_EQ(list->count(), 0);
    EXPECT_FALSE(clear->isEnabled());
    EXPECT_TRUE(w->result(s).friends.isEmpty());
}

TEST_F(OptionsWindowTest, LanguageListHasPicturesAndSelectsTheStoredLanguage) {
    const QString folder = resources + "Languages/";
    writeFile(folder + "Suomi.txt", "[Misc]\n");
    writeFile(folder + "Svenska.txt", "[Misc]\n");
    writePicture(folder + "Suomi.bmp", 40); // cut to its top-left 16 by 16
    const struct {
        int index;
        QString language;
        QString selected;
    } table[] = {
        {0, "Suomi", "Default (English)"},
        {2, "SUOMI", "Suomi"},
        {3, "Gone", ""}, // the file is gone: nothing selected, and OK keeps the setting
    };
    for (const auto& row : table) {
        Settings s;
        s.languageIndex = row.index;
        s.language = row.language;
        auto w = open(s);
        auto* box = get<QComboBox>(*w, "Language");
        ASSERT_EQ(box->count(), 3);
        EXPECT_EQ(box->itemText(0), "Default (English)");
        EXPECT_EQ(box->currentText(), row.selected);
        const Settings back = w->result(s);
        const bool kept = row.selected.isEmpty();
        EXPECT_EQ(back.languageIndex, kept ? row.index : box->findText(row.selected));
        EXPECT_EQ(back.language, kept ? row.language : row.selected);
    }

    auto w = open(Settings());
    auto* box = get<QComboBox>(*w, "Language");
    const auto picture = [](const QIcon& icon) {
        return icon.pixmap(16, 16).toImage().convertToFormat(QImage::Format_ARGB32);
    };
    EXPECT_EQ(picture(box->itemIcon(box->findText("Suomi"))).pixelColor(15, 15), QColor(Qt::red));
    EXPECT_EQ(picture(box->itemIcon(box->findText("Svenska"))),
              picture(TOptionsIkkuna::languagePicture(1)));
    EXPECT_EQ(picture(box->itemIcon(0)), picture(TOptionsIkkuna::languagePicture(0)));
}

TEST_F(OptionsWindowTest, CreationPutsTheStoredLanguageOnTheWindow) {
    writeFile(resources + "Languages/Suomi.txt",
              "[OptionsIkkuna]\n"
              "OptionsIkkuna.Caption=Asetukset\n"
              "OptionsIkkuna.General.Caption=Yleiset\n"
              "OptionsIkkuna.ShowSplash.Caption=N\xc3\xa4yt\xc3\xa4 aloituskuva\n"
              "OptionsIkkuna.btnOk.Hint=Tallenna\n"
              "OptionsIkkuna.BGStyle.items[1]=Keskell\xc3\xa4\n");
    for (int index : {0, 1}) {
        Settings s;
        s.languageIndex = index;
        s.language = QStringLiteral("Suomi");
        auto w = open(s);
        const bool translated = index != 0;
        EXPECT_EQ(w->windowTitle(), translated ? "Asetukset" : "Options");
        EXPECT_EQ(get<QTabWidget>(*w, "OptionsSivut")->tabText(0),
                  translated ? "Yleiset" : "General");
        EXPECT_EQ(get<QCheckBox>(*w, "ShowSplash")->text(),
                  translated ? QString::fromUtf8("Näytä aloituskuva")
                             : QString("Show splashscreen on startup"));
        EXPECT_EQ(get<QPushButton>(*w, "btnOk")->toolTip(),
                  translated ? "Tallenna" : "Save changes (enter)");
        EXPECT_EQ(get<QComboBox>(*w, "BGStyle")->itemText(1),
                  translated ? QString::fromUtf8("Keskellä") : QString("Center"));
    }
}

TEST(LanguageChangeTest, OnlyARealChangeActs) {
    using dialogs::LanguageChange;
    const struct {
        int beforeIndex;
        const char* before;
        int afterIndex;
        const char* after;
        LanguageChange change;
    } table[] = {
        {0, "", 0, "Default (English)", LanguageChange::None}, // English both times
        {0, "Default (English)", 0, "Default (English)", LanguageChange::None},
        {1, "Suomi", 0, "Default (English)", LanguageChange::Apply}, // no restart
        {0, "Default (English)", 1, "Suomi", LanguageChange::Apply},
        {0, "Suomi", 1, "Suomi", LanguageChange::Apply}, // stale name, English was shown
        {1, "Suomi", 2, "Svenska", LanguageChange::Apply},
        {1, "Suomi", 1, "suomi", LanguageChange::Apply}, // exact comparison
        {1, "Suomi", 2, "Suomi", LanguageChange::None},
    };
    for (const auto& row : table) {
        Settings before;
        before.languageIndex = row.beforeIndex;
        before.language = QString::fromLatin1(row.before);
        Settings after;
        after.languageIndex = row.afterIndex;
        after.language = QString::fromLatin1(row.after);
        EXPECT_EQ(dialogs::languageChange(before, after), row.change)
            << row.before << " -> " << row.after;
    }
}

// ---- Through the main window --------------------------------------------------------

class MainFormOptionsTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        own = std::make_unique<network::InMemoryNetwork>(hub, QStringLiteral("ALPHA"),
                                                         QStringLiteral("WG1"));
        // A copy in a second workgroup, so the walk finds two names.
        other = std::make_unique<network::InMemoryNetwork>(hub, QStringLiteral("BETA"),
                                                           QStringLiteral("WG2"));
        otherReceiver = other->openReceiver(QStringLiteral("Terminal"));
        writeFile(dir.filePath("Languages/Suomi.txt"),
                  "[MainForm]\n"
                  "MainForm.Label1.Caption=Aktiiviset koneet:\n"
                  "MainForm.Chat.lines[0]=not a chat line\n"
                  "MainForm.Chat.Hint=Keskustelu\n"
                  "[OptionsIkkuna]\n"
                  "OptionsIkkuna.Caption=Asetukset\n"
                  "OptionsIkkuna.ShowSplash.Caption=N\xc3\xa4yt\xc3\xa4 aloituskuva\n");
    }
    void TearDown() override {
        form.reset();
        lang::SetCurrentLanguageFile(nullptr);
    }

    QString settingsPath() const { return dir.filePath("Options.ini"); }

    void start(const std::vector<std::pair<QString, QString>>& advanced = {},
               const std::vector<std::pair<QString, QString>>& network = {}) {
        form.reset(); // one receiving name per computer
        platform::IniDocument ini;
        ini.setValue(QStringLiteral("General"), QStringLiteral("Automatic update"), "0");
        ini.setValue(QStringLiteral("Advanced"), QStringLiteral("Language index"), "0");
        for (const auto& [key, value] : advanced)
            ini.setValue(QStringLiteral("Advanced"), key, value);
        for (const auto& [key, value] : network)
            ini.setValue(QStringLiteral("Network"), key, value);
        platform::ini::save(settingsPath(), ini);
        form = std::make_unique<app::TMainForm>(*own, mainFormOptions());
        form->FormShow(); // the walk finds WG1 and WG2
        ASSERT_EQ(form->node().groups(), QStringList({"WG1", "WG2"}));
        QFile::remove(settingsPath()); // so that a write shows
    }

    app::MainFormOptions mainFormOptions() {
        app::MainFormOptions options;
        options.settingsPath = settingsPath();
        options.resourceDirectory = dir.path() + u'/';
        options.executablePath = QStringLiteral("/usr/bin/kalvento");
        options.autostartEntry = dir.filePath("autostart/kalvento.desktop");
        // Each window its own user: the last one made is user.
        user = std::make_shared<test::RecordingDialogs>();
        options.dialogs = user;
        options.networkPort = 5737;
        options.applyNetworkSettings = [this](const Settings& chosen) {
            applied.push_back(chosen);
            return chosen.networkPort != 5737;
        };
        return options;
    }

    template <typename W> W* get(TOptionsIkkuna& w, const char* name) {
        W* widget = w.findChild<W*>(QString::fromLatin1(name));
        EXPECT_NE(widget, nullptr) << name;
        return widget;
    }

    QTemporaryDir dir;
    network::InMemoryHub hub;
    std::unique_ptr<network::InMemoryNetwork> own;
    std::unique_ptr<network::InMemoryNetwork> other;
    std::unique_ptr<network::DatagramReceiver> otherReceiver;
    std::unique_ptr<app::TMainForm> form;
    std::vector<Settings> applied; // what applyNetworkSettings was given
    std::shared_ptr<test::RecordingDialogs> user;

    // The options window of window, driven by drive in the user's place: true for OK.
    void runOptions(app::TMainForm& window, std::function<bool(TOptionsIkkuna&)> drive) {
        user->onModal<TOptionsIkkuna>(QStringLiteral("OptionsIkkuna"), std::move(drive));
        window.btnOptionsClick();
    }
};

TEST_F(MainFormOptionsTest, OkWithoutChangesWritesTheFileAndAnnouncesNothing) {
    start({{"Identity", "Ann"}});
    const int sends = own->totalSendCount();
    runOptions(*form, [](TOptionsIkkuna&) { return true; });
    EXPECT_EQ(own->totalSendCount(), sends);
    EXPECT_TRUE(user->notices.isEmpty());
    EXPECT_TRUE(user->errors.isEmpty()) << user->errors.join('\n').toStdString();
    const platform::IniDocument written = platform::ini::load(settingsPath());
    EXPECT_EQ(written.value(u"Advanced", u"Identity"), "Ann");
    EXPECT_EQ(written.value(u"Advanced", u"Language index"), "0");
    EXPECT_TRUE(written.hasKey(u"Messages", u"Sound name"));
    EXPECT_FALSE(written.hasKey(u"General", u"Width")); // not this batch's
}

TEST_F(MainFormOptionsTest, ChangedIdentityIsAnnouncedToEveryWorkgroup) {
    for (const QString& typed : {QStringLiteral("ann"), QStringLiteral("Bob")}) {
        start({{"Identity", "Ann"}});
        const int wg1 = own->sendCount("WG1");
        const int wg2 = own->sendCount("WG2");
        runOptions(*form, [&](TOptionsIkkuna& w) {
            get<QLineEdit>(w, "Identity")->setText(typed); // letter case alone counts
            get<QSpinBox>(w, "Deliveries")->setValue(3);
            return true;
        });
        EXPECT_EQ(own->sendCount("WG1") - wg1, 3) << typed.toStdString();
        EXPECT_EQ(own->sendCount("WG2") - wg2, 3) << typed.toStdString();
        EXPECT_EQ(form->node().identity(), typed);
        EXPECT_EQ(form->node().deliveries(), 3);
        EXPECT_EQ(platform::ini::load(settingsPath()).value(u"Advanced", u"Identity"), typed);
    }
}

TEST_F(MainFormOptionsTest, OkAppliesDisplayTrayMarksFriendsAndFont) {
    start();
    runOptions(*form, [&](TOptionsIkkuna& w) {
        get<QCheckBox>(w, "ShowTime")->setChecked(false);
        get<QCheckBox>(w, "HideTray")->setChecked(false);
        get<QCheckBox>(w, "Start")->setChecked(true);
        get<QCheckBox>(w, "Italic")->setChecked(true);
        get<QLineEdit>(w, "SaveMessagesPath")->setText(QString());
        w.pickers().font = [](QWidget*, const QFont&) {
            return std::optional<QFont>(QFont(QStringLiteral("Monospace"), 13));
        };
        w.MessageFontClick();
        return true;
    });
    const app::ChatDisplaySettings& display = form->Chat()->displaySettings();
    EXPECT_FALSE(display.showMessageTime);
    EXPECT_TRUE(display.privateItalic);
    EXPECT_FALSE(form->action("Hidetothetrayonclose1")->isChecked());
    EXPECT_TRUE(form->action("StartKalventoonstartup1")->isChecked());
    EXPECT_TRUE(QFileInfo::exists(dir.filePath("autostart/kalvento.desktop")));
    EXPECT_EQ(form->settings().messageFontName, "Monospace");
    EXPECT_EQ(form->settings().messageFontSize, 13);
    // An emptied log folder is the default one again, not the working directory.
    EXPECT_EQ(form->settings().saveMessagesPath, dir.path() + u'/');
}

TEST_F(MainFormOptionsTest, NewLanguageAppliesToTheMainWindowButNotToTheChat) {
    start();
    auto* label = form->findChild<QLabel*>(QStringLiteral("Label1"));
    ASSERT_NE(label, nullptr);
    const QString englishCaption = label->text();
    const QString chat = form->Chat()->document()->toPlainText();
    runOptions(*form, [&](TOptionsIkkuna& w) {
        auto* language = get<QComboBox>(w, "Language");
        language->setCurrentIndex(language->findText(QStringLiteral("Suomi")));
        return true;
    });
    EXPECT_NE(englishCaption, "Aktiiviset koneet:");
    EXPECT_EQ(label->text(), "Aktiiviset koneet:");
    EXPECT_EQ(form->Chat()->document()->toPlainText(), chat);
    EXPECT_EQ(form->Chat()->toolTip(), "Keskustelu");
    EXPECT_EQ(form->settings().languageIndex, 1);
    EXPECT_EQ(form->settings().language, "Suomi");
    EXPECT_TRUE(user->notices.isEmpty());
    const platform::IniDocument written = platform::ini::load(settingsPath());
    EXPECT_EQ(written.value(u"Advanced", u"Language"), "Suomi");
}

// Both ways without a restart: the options window shows the chosen language at once, and
// OK puts it on the main window, the English too.
TEST_F(MainFormOptionsTest, EnglishAfterAnotherLanguageComesBackAtOnceEverywhere) {
    start({{"Language index", "1"}, {"Language", "Suomi"}});
    auto* label = form->findChild<QLabel*>(QStringLiteral("Label1"));
    ASSERT_EQ(label->text(), "Aktiiviset koneet:");
    ASSERT_EQ(form->Chat()->toolTip(), "Keskustelu");
    const QString chat = form->Chat()->document()->toPlainText();
    runOptions(*form, [&](TOptionsIkkuna& w) {
        auto* splash = get<QCheckBox>(w, "ShowSplash");
        EXPECT_EQ(splash->text(), QString::fromUtf8("Näytä aloituskuva"));
        EXPECT_EQ(w.windowTitle(), "Asetukset");
        get<QComboBox>(w, "Language")->setCurrentIndex(0);
        EXPECT_EQ(splash->text(), "Show splashscreen on startup");
        EXPECT_EQ(w.windowTitle(), "Options");
        get<QComboBox>(w, "Language")->setCurrentIndex(1);
        EXPECT_EQ(splash->text(), QString::fromUtf8("Näytä aloituskuva"));
        get<QComboBox>(w, "Language")->setCurrentIndex(0);
        return true;
    });
    EXPECT_TRUE(user->notices.isEmpty());
    EXPECT_EQ(label->text(), "Active computers on LAN:");
    EXPECT_EQ(form->Chat()->toolTip(), "");
    EXPECT_EQ(form->Chat()->document()->toPlainText(), chat);
    EXPECT_EQ(lang::GetMessageText(lang::MessageId::M007),
              lang::messageDefault(lang::MessageId::M007));
    EXPECT_TRUE(form->helpFile().endsWith("Helps/KVEnglish.html"));
    EXPECT_EQ(form->settings().languageIndex, 0);
    EXPECT_EQ(form->settings().language, "Default (English)");

    // And back again.
    runOptions(*form, [&](TOptionsIkkuna& w) {
        get<QComboBox>(w, "Language")->setCurrentIndex(1);
        return true;
    });
    EXPECT_EQ(label->text(), "Aktiiviset koneet:");
    EXPECT_EQ(form->Chat()->toolTip(), "Keskustelu");
}

TEST_F(MainFormOptionsTest, CancelChangesNothing) {
    start({{"Identity", "Ann"}});
    const Settings before = form->settings();
    const int sends = own->totalSendCount();
    runOptions(*form, [&](TOptionsIkkuna& w) {
        get<QLineEdit>(w, "Identity")->setText(QStringLiteral("Bob"));
        get<QCheckBox>(w, "ShowTime")->setChecked(false);
        get<QComboBox>(w, "Language")->setCurrentIndex(1);
        return false;
    });
    EXPECT_EQ(own->totalSendCount(), sends);
    EXPECT_FALSE(QFileInfo::exists(settingsPath()));
    EXPECT_EQ(form->settings().identity, "Ann");
    EXPECT_EQ(form->settings().showMessageTime, before.showMessageTime);
    EXPECT_EQ(form->settings().languageIndex, 0);
    EXPECT_EQ(lang::CurrentLanguageFile(), nullptr); // the preview was the window's alone
    EXPECT_TRUE(form->Chat()->displaySettings().showMessageTime);
}

TEST_F(MainFormOptionsTest, NetworkPageIsFilledFromTheFileWrittenOnOkAndDiscardedOnCancel) {
    start({}, {{"Port", "6100"},
               {"Interfaces", "eth1"},
               {"Peers", "10.0.0.1:7000"},
               {"Send private lines unencrypted to older copies", "0"}});
    EXPECT_EQ(form->settings().networkPort, 6100);
    const auto detected = [](TOptionsIkkuna& w, const Settings& s) {
        w.setDetectedInterfaces({"eth0", "wlan0"});
        w.fill(s, QFont());
    };

    // Cancel: nothing is used, nothing is written.
    runOptions(*form, [&](TOptionsIkkuna& w) {
        detected(w, form->settings());
        EXPECT_EQ(get<QSpinBox>(w, "NetworkPort")->value(), 6100);
        EXPECT_EQ(get<QPlainTextEdit>(w, "Peers")->toPlainText(), "10.0.0.1:7000");
        auto* interfaces = get<QListWidget>(w, "Interfaces");
        // The chosen card that is not there stays, ticked, after the detected ones.
        EXPECT_EQ(interfaces->count(), 3);
        EXPECT_EQ(interfaces->item(2)->text(), "eth1 (not found)");
        EXPECT_EQ(interfaces->item(2)->checkState(), Qt::Checked);
        EXPECT_EQ(interfaces->item(0)->checkState(), Qt::Unchecked);
        EXPECT_FALSE(get<QCheckBox>(w, "PlainPrivateLines")->isChecked());
        get<QCheckBox>(w, "PlainPrivateLines")->setChecked(true);
        get<QSpinBox>(w, "NetworkPort")->setValue(6200);
        get<QPlainTextEdit>(w, "Peers")->setPlainText("10.9.9.9");
        return false;
    });
    EXPECT_TRUE(applied.empty());
    EXPECT_FALSE(QFileInfo::exists(settingsPath()));
    EXPECT_EQ(form->settings().networkPeers, QStringList{"10.0.0.1:7000"});
    EXPECT_FALSE(form->settings().plainPrivateLines);

    // OK: the routes at once and a greeting for the new peers; the port from the next start.
    const int sends = own->totalSendCount();
    QString problem;
    runOptions(*form, [&](TOptionsIkkuna& w) {
        detected(w, form->settings());
        auto* interfaces = get<QListWidget>(w, "Interfaces");
        interfaces->item(1)->setCheckState(Qt::Checked);   // wlan0
        interfaces->item(2)->setCheckState(Qt::Unchecked); // eth1
        get<QSpinBox>(w, "NetworkPort")->setValue(6200);
        get<QPlainTextEdit>(w, "Peers")->setPlainText(" 198.51.100.8/30\n\n10.0.0.0/16\n10.0.0.1 ");
        get<QCheckBox>(w, "PlainPrivateLines")->setChecked(true);
        problem = get<QLabel>(w, "PeersProblem")->text();
        return true;
    });
    EXPECT_TRUE(problem.startsWith("Line 3 is no peer: a subnet must be /22 to /32"))
        << problem.toStdString();
    ASSERT_EQ(applied.size(), 1u);
    EXPECT_EQ(applied[0].networkInterfaces, QStringList{"wlan0"});
    EXPECT_EQ(applied[0].networkPeers, (QStringList{"198.51.100.8/30", "10.0.0.0/16", "10.0.0.1"}));
    EXPECT_GT(own->totalSendCount(), sends) << "the new peers are greeted";
    EXPECT_EQ(user->notices, QStringList{lang::GetMessageText(lang::MessageId::M041)});
    const platform::IniDocument written = platform::ini::load(settingsPath());
    EXPECT_EQ(written.value(u"Network", u"Port"), "6200");
    EXPECT_EQ(written.value(u"Network", u"Interfaces"), "wlan0");
    EXPECT_EQ(written.value(u"Network", u"Peers"), "198.51.100.8/30,10.0.0.0/16,10.0.0.1");
    EXPECT_EQ(written.value(u"Network", u"Send private lines unencrypted to older copies"), "1");
    EXPECT_TRUE(form->settings().plainPrivateLines);
}

// Another program on the port: the start says which port and where to change it, and the
// window still works, the options included.
TEST_F(MainFormOptionsTest, APortHeldByAnotherProgramIsNamedAndTheWindowStillOpens) {
    start();
    platform::IniDocument ini; // not a first run: no wizard
    ini.setValue(QStringLiteral("Advanced"), QStringLiteral("Language index"), "0");
    ini.setValue(QStringLiteral("General"), QStringLiteral("Automatic update"), "0");
    platform::ini::save(settingsPath(), ini);
    app::TMainForm second(*own, mainFormOptions()); // the first holds the receiving name
    ASSERT_EQ(user->errors.size(), 1);
    EXPECT_TRUE(user->errors.front().startsWith("UDP port 5737 is used by another program"))
        << user->errors.front().toStdString();
    EXPECT_TRUE(user->errors.front().contains("Network page"));
    second.FormShow();
    const int sends = own->totalSendCount();
    runOptions(second, [&](TOptionsIkkuna& w) {
        get<QSpinBox>(w, "NetworkPort")->setValue(5800);
        return true;
    });
    EXPECT_EQ(own->totalSendCount(), sends) << "nothing goes out on the network held by another";
    EXPECT_EQ(user->notices, QStringList{lang::GetMessageText(lang::MessageId::M041)});

    // Offline is said where the user looks, for as long as it lasts: the title, over the
    // list of computers, and on every line written, which is never shown as said.
    EXPECT_TRUE(second.offline());
    EXPECT_TRUE(second.windowTitle().endsWith(QStringLiteral(" (offline)")))
        << second.windowTitle().toStdString();
    auto* status = second.findChild<QLabel*>(QStringLiteral("OfflineStatus"));
    ASSERT_NE(status, nullptr);
    EXPECT_FALSE(status->isHidden());
    EXPECT_TRUE(status->text().startsWith(QStringLiteral("Offline: UDP port 5737")));
    for (const char* line : {"anyone there?", "hello?"}) {
        second.Message()->setText(QString::fromLatin1(line));
        second.btnSendClick();
    }
    EXPECT_EQ(own->totalSendCount(), sends);
    const QString chat = second.Chat()->toPlainText();
    EXPECT_EQ(chat.count(QStringLiteral("Not sent: Kalvento is offline (UDP port 5737")), 2)
        << chat.toStdString();
    EXPECT_TRUE(chat.contains(QStringLiteral("anyone there?")));
}

} // namespace

TEST_F(OptionsWindowTest, EveryTranslatedCaptionFitsItsControl) {
    Settings s = Settings::defaults(QStringLiteral("/srv/"));
    s.languageIndex = 1;
    s.language = QStringLiteral("Suomi");
    s.updateAddress = QStringLiteral("http://www.fennrake.example/Kalvento.ini");
    TOptionsIkkuna w(QStringLiteral(KALVENTO_SOURCE_DIR), s);
    w.pickers() = TOptionsIkkuna::Pickers();
    w.fill(s, QFont(QStringLiteral("DejaVu Sans"), 9));
    w.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
    EXPECT_EQ(w.windowTitle(), QStringLiteral("Asetukset"));
    auto* pages = w.findChild<QTabWidget*>(QStringLiteral("OptionsSivut"));
    ASSERT_NE(pages, nullptr);
    for (int page = 0; page < pages->count(); ++page) {
        pages->setCurrentIndex(page);
        QApplication::processEvents();
        for (QWidget* widget : pages->widget(page)->findChildren<QWidget*>()) {
            if (!widget->isVisible())
                continue;
            QString text;
            if (auto* label = qobject_cast<QLabel*>(widget);
                label && label->pixmap().isNull() && !label->wordWrap())
                text = label->text();
            else if (auto* button = qobject_cast<QAbstractButton*>(widget))
                text = button->text();
            else if (auto* edit = qobject_cast<QLineEdit*>(widget))
                text = edit->text();
            if (text.isEmpty())
                continue;
            const int needed = widget->fontMetrics().horizontalAdvance(QString(text).remove(u'&'));
            EXPECT_GE(widget->width(), needed) << widget->objectName().toStdString() << " on page "
                                               << page << ": \"" << text.toStdString() << "\"";
        }
    }
}

TEST_F(OptionsWindowTest, EveryPagesTabStaysInSightInEitherLanguage) {
    for (const bool finnish : {false, true}) {
        Settings s = Settings::defaults(QStringLiteral("/srv/"));
        if (finnish) {
            s.languageIndex = 1;
            s.language = QStringLiteral("Suomi");
        }
        TOptionsIkkuna w(QStringLiteral(KALVENTO_SOURCE_DIR), s);
        w.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
        auto* pages = w.findChild<QTabWidget*>(QStringLiteral("OptionsSivut"));
        ASSERT_NE(pages, nullptr);
        const QTabBar* tabs = pages->tabBar();
        for (int page = 0; page < pages->count(); ++page) {
            pages->setCurrentIndex(page);
            QApplication::processEvents();
            for (int tab = 0; tab < pages->count(); ++tab)
                EXPECT_TRUE(tabs->rect().contains(tabs->tabRect(tab)))
                    << (finnish ? "Finnish" : "English") << ": tab " << tab
                    << " out of sight with page " << page << " shown";
        }
    }
}
