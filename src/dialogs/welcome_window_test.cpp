// The first-run wizard on its own and inside a start of the program, and the language and
// help files that ship with the program.

#include "dialogs/welcome_window.h"

#include "app/main_window.h"
#include "dialogs/about_box.h"
#include "dialogs/options_window.h"
#include "lang/language_file.h"
#include "lang/message_table.h"
#include "network/memory_network.h"
#include "platform/ini_file.h"
#include "support/recording_dialogs.h"

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QGroupBox>
#include <QImage>
#include <QLabel>
#include <QLayout>
#include <QLineEdit>
#include <QListView>
#include <QMenu>
#include <QPushButton>
#include <QRegularExpression>
#include <QStackedWidget>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QTextBlock>
#include <QTextDocument>

#include <gtest/gtest.h>

#include <memory>
#include <set>

using namespace kalvento;
using dialogs::TWelcomeIkkuna;

namespace {

// The source tree: it holds the Languages/ and Helps/ the program ships with.
const QString SourceDir = QStringLiteral(KALVENTO_SOURCE_DIR);
const QString ShippedLanguage = QStringLiteral("Suomi");

QByteArray readAll(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void writeFile(const QString& path, const QByteArray& bytes) {
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly)) << path.toStdString();
    file.write(bytes);
}

// --- The wizard ---------------------------------------------------------------------------

TEST(WelcomeWindow, FinishingUntouchedGivesTheDefaults) {
    TWelcomeIkkuna w;
    w.fillLanguages(SourceDir);
    EXPECT_EQ(w.windowTitle(), QStringLiteral("Welcome to Kalvento"));
    EXPECT_EQ(w.Lehtio()->currentIndex(), TWelcomeIkkuna::KieliPage);
    EXPECT_GE(w.width(), 361);
    EXPECT_GE(w.height(), 177);
    EXPECT_FALSE(w.Language()->isEditable());

    w.show();
    w.NextButtonClick();
    w.btnNextClick();
    QTest::mouseClick(w.button("FinishButton"), Qt::LeftButton);
    EXPECT_FALSE(w.isVisible());
    EXPECT_EQ(w.result(), QDialog::Accepted);
    EXPECT_EQ(w.languageIndex(), 0);
    EXPECT_EQ(w.language(), QStringLiteral("Default (English)"));
    EXPECT_TRUE(w.automaticUpdate());
    EXPECT_FALSE(w.alwaysConnected());
    EXPECT_EQ(w.identity(), QString());
}

TEST(WelcomeWindow, UntickedAutoUpdateGreysConnectedButKeepsItsTick) {
    TWelcomeIkkuna w;
    EXPECT_TRUE(w.Connected()->isEnabled());
    w.Connected()->click();
    w.AutoUpdate()->click();
    EXPECT_FALSE(w.Connected()->isEnabled());
    EXPECT_TRUE(w.Connected()->isChecked());
    EXPECT_FALSE(w.automaticUpdate());
    EXPECT_TRUE(w.alwaysConnected());
    w.AutoUpdate()->click();
    EXPECT_TRUE(w.Connected()->isEnabled());
}

TEST(WelcomeWindow, ArrowButtonsAndReturnMoveBetweenThePages) {
    TWelcomeIkkuna w;
    w.show();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&w));
    struct Step {
        const char* press; // a button, or "Return"
        int page;          // the page shown after it; -1: the wizard has ended
    };
    const Step steps[] = {
        {"NextButton", 1},     {"btnPrevious", 0}, {"NextButton", 1},     {"btnNext", 2},
        {"PreviousButton", 1}, {"Return", 2},      {"PreviousButton", 1}, {"btnPrevious", 0},
        {"Return", 1},         {"Return", 2},      {"Return", -1},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.press);
        if (qstrcmp(step.press, "Return") == 0) {
            // Pressed where the keyboard is: on each page's first control.
            ASSERT_NE(QApplication::focusWidget(), nullptr);
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
        } else {
            QPushButton* b = w.button(step.press);
            ASSERT_NE(b, nullptr);
            // Only the buttons of the page shown can be pressed.
            ASSERT_TRUE(b->isVisible());
            QTest::mouseClick(b, Qt::LeftButton);
        }
        if (step.page < 0) {
            EXPECT_FALSE(w.isVisible());
        } else {
            EXPECT_TRUE(w.isVisible());
            EXPECT_EQ(w.Lehtio()->currentIndex(), step.page);
        }
    }
}

TEST(WelcomeWindow, HasNoCloseBoxAndNothingCancels) {
    TWelcomeIkkuna w;
    const Qt::WindowFlags flags = w.windowFlags();
    EXPECT_TRUE(flags & Qt::CustomizeWindowHint);
    EXPECT_FALSE(flags & Qt::WindowCloseButtonHint);
    EXPECT_FALSE(flags & Qt::WindowSystemMenuHint);

    w.show();
    QTest::keyClick(&w, Qt::Key_Escape);
    QTest::keyClick(w.Language(), Qt::Key_Escape);
    EXPECT_TRUE(w.isVisible());

    // Closed some other way, what it shows is taken all the same.
    w.NextButtonClick();
    w.AutoUpdate()->click();
    w.btnNextClick();
    QTest::keyClicks(w.Identify(), QStringLiteral("Steve"));
    w.close();
    EXPECT_FALSE(w.isVisible());
    EXPECT_EQ(w.result(), QDialog::Accepted);
    EXPECT_FALSE(w.automaticUpdate());
    EXPECT_EQ(w.identity(), QStringLiteral("Steve"));
}

// The wizard speaks the language from the moment it is chosen, and English again when that
// is chosen; its pages grow for longer texts.
TEST(WelcomeWindow, TheChosenLanguageSpeaksAtOnceAndEnglishComesBack) {
    TWelcomeIkkuna w;
    w.fillLanguages(SourceDir);
    w.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
    const auto text = [&w](const char* name) {
        return w.findChild<QLabel*>(QString::fromLatin1(name))->text();
    };
    const QString prompt = text("Label2");
    const QSize englishSize = w.size();
    w.Language()->setCurrentIndex(w.Language()->findText(ShippedLanguage));
    EXPECT_EQ(w.windowTitle(), QStringLiteral("Tervetuloa Kalventoon"));
    EXPECT_EQ(text("Label2"), QStringLiteral("Valitse kieli, jota haluat käyttää:"));
    EXPECT_EQ(w.AutoUpdate()->text(), QStringLiteral("Tarkista päivitykset automaattisesti"));
    EXPECT_EQ(w.button("FinishButton")->toolTip(), QStringLiteral("Valmis, käynnistä Kalvento!"));
    EXPECT_GE(w.height(), englishSize.height());
    // Every page holds its longer texts whole.
    for (int page = TWelcomeIkkuna::KieliPage; page <= TWelcomeIkkuna::IdentityPage; ++page) {
        w.Lehtio()->setCurrentIndex(page);
        QApplication::processEvents();
        const QWidget* shown = w.Lehtio()->currentWidget();
        EXPECT_GE(shown->height(), shown->layout()->totalHeightForWidth(shown->width())) << page;
    }

    w.Language()->setCurrentIndex(0);
    EXPECT_EQ(w.windowTitle(), QStringLiteral("Welcome to Kalvento"));
    EXPECT_EQ(text("Label2"), prompt);
    EXPECT_EQ(w.AutoUpdate()->text(), QStringLiteral("Check for updates automatically"));
    EXPECT_EQ(w.size(), englishSize);
    // The wizard's choice is its answer; the language file in use is the program's to set.
    EXPECT_EQ(lang::CurrentLanguageFile(), nullptr);
}

TEST(WelcomeWindow, LanguagesListedWithTheirOwnOrAGenericPicture) {
    QTemporaryDir dir;
    const QString base = dir.path() + u'/';
    writeFile(base + QStringLiteral("Languages/Alpha.txt"), "[Misc]\n");
    writeFile(base + QStringLiteral("Languages/Beta.txt"), "[Misc]\n");
    // A picture larger than the list's is kept whole, not cut to 16 by 16.
    QImage wide(32, 16, QImage::Format_RGB32);
    wide.fill(Qt::green);
    ASSERT_TRUE(wide.save(base + QStringLiteral("Languages/Alpha.bmp"), "BMP"));
    // Something that is no picture counts as no picture.
    writeFile(base + QStringLiteral("Languages/Beta.bmp"), "not a bitmap");

    TWelcomeIkkuna w;
    w.fillLanguages(base);
    ASSERT_EQ(w.Language()->count(), 3);
    EXPECT_EQ(w.Language()->currentIndex(), 0);
    EXPECT_EQ(w.Language()->itemText(0), QStringLiteral("Default (English)"));
    EXPECT_EQ(w.pictureOf(0), TWelcomeIkkuna::EnglishPicture);

    QStringList names;
    for (int i = 1; i < 3; ++i)
        names << w.Language()->itemText(i);
    // File-system order, whatever it is.
    EXPECT_EQ(names, lang::languageList(base + QStringLiteral("Languages/")).mid(1));
    const int alpha = w.Language()->findText(QStringLiteral("Alpha"));
    const int beta = w.Language()->findText(QStringLiteral("Beta"));
    ASSERT_GE(w.pictureOf(alpha), 2);
    EXPECT_EQ(w.LanguageImageList()[w.pictureOf(alpha)].size(), QSize(32, 16));
    EXPECT_EQ(w.pictureOf(beta), TWelcomeIkkuna::GenericPicture);

    w.Language()->setCurrentIndex(beta);
    EXPECT_EQ(w.languageIndex(), beta);
    EXPECT_EQ(w.language(), QStringLiteral("Beta"));

    // Without the folder only the built-in English remains.
    QTemporaryDir empty;
    w.fillLanguages(empty.path() + u'/');
    ASSERT_EQ(w.Language()->count(), 1);
    EXPECT_EQ(w.languageIndex(), 0);
    EXPECT_EQ(w.language(), QStringLiteral("Default (English)"));
}

// --- A start of the program ---------------------------------------------------------------

// One computer whose program is started with a settings file that may be missing; each
// start records whether the wizard ran and what it was made to answer.
struct FirstRunHost {
    QTemporaryDir dir;
    QString settingsPath = dir.filePath(QStringLiteral("Options.ini"));
    QString resources = SourceDir;
    std::unique_ptr<network::InMemoryNetwork> network;
    std::unique_ptr<app::TMainForm> form;
    std::shared_ptr<test::RecordingDialogs> user; // of the last start
    int wizardRuns = 0;
    std::function<void(TWelcomeIkkuna&)> answer = [](TWelcomeIkkuna& w) { w.close(); };

    FirstRunHost(network::InMemoryHub& hub, const QString& computer)
        : network(std::make_unique<network::InMemoryNetwork>(hub, computer,
                                                             QStringLiteral("WORKGROUP"))) {}

    void start(QStringList arguments = {}) {
        form.reset();
        app::MainFormOptions options;
        options.settingsPath = settingsPath;
        options.resourceDirectory = resources;
        options.executablePath = QStringLiteral("/usr/bin/kalvento");
        options.autostartEntry = dir.filePath(QStringLiteral("autostart/kalvento.desktop"));
        options.arguments = std::move(arguments);
        user = std::make_shared<test::RecordingDialogs>();
        user->onModal<TWelcomeIkkuna>(QStringLiteral("WelcomeIkkuna"), [this](TWelcomeIkkuna& w) {
            ++wizardRuns;
            answer(w);
        });
        options.dialogs = user;
        form = std::make_unique<app::TMainForm>(*network, options);
    }
    QString label1() const { return form->findChild<QLabel*>(QStringLiteral("Label1"))->text(); }
};

class WelcomeFirstRunTest : public ::testing::Test {
protected:
    void TearDown() override { lang::SetCurrentLanguageFile(nullptr); }
    network::InMemoryHub hub;
};

TEST_F(WelcomeFirstRunTest, RunsOnceAndWritesItsAnswersInOrder) {
    FirstRunHost a(hub, QStringLiteral("PCA"));
    a.start();
    EXPECT_EQ(a.wizardRuns, 1);
    EXPECT_TRUE(a.form->FirstRun());
    EXPECT_TRUE(a.user->errors.isEmpty()) << a.user->errors.join(u'\n').toStdString();
    EXPECT_EQ(readAll(a.settingsPath), QByteArray("[Advanced]\n"
                                                  "Identity=\n"
                                                  "Language index=0\n"
                                                  "Language=Default (English)\n"
                                                  "[General]\n"
                                                  "Automatic update=1\n"
                                                  "Always connected to the Internet=0\n"));

    a.start();
    EXPECT_EQ(a.wizardRuns, 1);
    EXPECT_FALSE(a.form->FirstRun());

    // Without "Language index" it is a first run again, also when started into the tray.
    platform::IniDocument ini = platform::ini::load(a.settingsPath);
    ini.removeKey(QStringLiteral("Advanced"), QStringLiteral("Language index"));
    platform::ini::save(a.settingsPath, ini);
    a.start({QStringLiteral("-s")});
    EXPECT_EQ(a.wizardRuns, 2);

    QFile::remove(a.settingsPath);
    a.start();
    EXPECT_EQ(a.wizardRuns, 3);
}

TEST_F(WelcomeFirstRunTest, TheChosenLanguageIsAppliedAndItsHelpChosen) {
    FirstRunHost a(hub, QStringLiteral("PCA"));
    a.answer = [](TWelcomeIkkuna& w) {
        w.Language()->setCurrentIndex(w.Language()->findText(ShippedLanguage));
        w.FinishButtonClick();
    };
    a.start();
    ASSERT_EQ(a.wizardRuns, 1);
    EXPECT_EQ(a.form->settings().language, ShippedLanguage);
    EXPECT_GT(a.form->settings().languageIndex, 0);
    EXPECT_EQ(a.label1(), QStringLiteral("Aktiiviset tietokoneet lähiverkossa:"));
    EXPECT_EQ(a.form->helpFile(), SourceDir + QStringLiteral("Helps/KVSuomi.html"));

    // The next start reads the same choice from the file.
    lang::SetCurrentLanguageFile(nullptr);
    a.start();
    EXPECT_EQ(a.wizardRuns, 1);
    EXPECT_EQ(a.label1(), QStringLiteral("Aktiiviset tietokoneet lähiverkossa:"));
}

TEST_F(WelcomeFirstRunTest, TheIdentityIsAnnouncedAtTheFirstShow) {
    FirstRunHost b(hub, QStringLiteral("PCB"));
    b.start();
    b.form->show();
    FirstRunHost a(hub, QStringLiteral("PCA"));
    a.answer = [](TWelcomeIkkuna& w) {
        w.NextButtonClick();
        w.btnNextClick();
        QTest::keyClicks(w.Identify(), QStringLiteral("Steve"));
        w.FinishButtonClick();
    };
    a.start();
    EXPECT_EQ(a.form->settings().identity, QStringLiteral("Steve"));
    a.form->show();
    const auto bShows = [&] {
        const QAbstractItemModel* list = b.form->Computers()->model();
        for (int i = 0; i < list->rowCount(); ++i) {
            if (list->index(i, 0).data().toString() == QStringLiteral("Steve"))
                return true;
        }
        return false;
    };
    EXPECT_TRUE(QTest::qWaitFor(bShows, 5000));
}

TEST_F(WelcomeFirstRunTest, AFailedWriteIsReportedAndTheAnswersStillHold) {
    FirstRunHost a(hub, QStringLiteral("PCA"));
    // A file where the settings' folder should be: nothing can be written there.
    writeFile(a.dir.filePath(QStringLiteral("blocked")), "x");
    a.settingsPath = a.dir.filePath(QStringLiteral("blocked/Options.ini"));
    a.answer = [](TWelcomeIkkuna& w) {
        w.Identify()->setText(QStringLiteral("Bill"));
        w.FinishButtonClick();
    };
    a.start();
    EXPECT_EQ(a.wizardRuns, 1);
    // The settings, and the key that could not be kept either: this run is not encrypted.
    ASSERT_EQ(a.user->errors.size(), 2);
    EXPECT_TRUE(a.user->errors[0].contains(QStringLiteral("identity.key")));
    EXPECT_EQ(a.form->settings().identity, QStringLiteral("Bill"));
}

// --- The files that ship with the program -------------------------------------------------

// The named components of a window, as the language is applied to them.
void collectNamed(const QObject* parent, QList<QObject*>& out) {
    for (QObject* child : parent->children()) {
        auto* widget = qobject_cast<QWidget*>(child);
        if (widget != nullptr && widget->isWindow() && qobject_cast<QMenu*>(widget) == nullptr)
            continue;
        if (!child->objectName().isEmpty() && !child->objectName().startsWith(u"qt_"))
            out.append(child);
        collectNamed(child, out);
    }
}

QString captionOf(const QObject* component) {
    if (auto* label = qobject_cast<const QLabel*>(component))
        return label->text();
    if (auto* button = qobject_cast<const QAbstractButton*>(component))
        return button->text();
    if (auto* group = qobject_cast<const QGroupBox*>(component))
        return group->title();
    if (auto* action = qobject_cast<const QAction*>(component))
        return action->isSeparator() ? QString() : action->text();
    if (auto* menu = qobject_cast<const QMenu*>(component))
        return menu->title();
    // A page of a tab widget: its tab.
    if (auto* page = qobject_cast<const QWidget*>(component); page && page->parentWidget()) {
        if (auto* tabs = qobject_cast<const QTabWidget*>(page->parentWidget()->parentWidget()))
            return tabs->tabText(tabs->indexOf(const_cast<QWidget*>(page)));
    }
    return {};
}

// Every designed text of window has its key in file: the window's caption, each named
// component's caption and hint, each combo box's items. Components whose texts the program
// makes up as it runs are in dataComponents. No key names a component the window lacks.
void expectWindowCovered(QWidget* window, const lang::LanguageFile& file,
                         const QSet<QString>& dataComponents) {
    const QString section = window->objectName();
    SCOPED_TRACE(section.toStdString());
    const auto has = [&](const QString& key) {
        const auto value = file.readString(section, key);
        return value.has_value() && !value->isEmpty();
    };
    EXPECT_TRUE(has(section + QStringLiteral(".Caption")));
    QList<QObject*> components;
    collectNamed(window, components);
    std::set<QString> names;
    for (QObject* c : components) {
        const QString name = c->objectName();
        names.insert(name.toLower());
        if (dataComponents.contains(name))
            continue;
        const QString prefix = section + u'.' + name + u'.';
        // A caption without a letter ("...") reads the same in every language.
        if (captionOf(c).contains(QRegularExpression(QStringLiteral("\\p{L}")))) {
            EXPECT_TRUE(has(prefix + QStringLiteral("Caption"))) << name.toStdString();
        }
        if (auto* widget = qobject_cast<QWidget*>(c); widget && !widget->toolTip().isEmpty()) {
            EXPECT_TRUE(has(prefix + QStringLiteral("Hint"))) << name.toStdString();
        }
        if (auto* combo = qobject_cast<QComboBox*>(c)) {
            for (int i = 0; i < combo->count(); ++i) {
                EXPECT_TRUE(has(prefix + QStringLiteral("items[%1]").arg(i)))
                    << name.toStdString() << " " << i;
            }
        }
    }
    for (const QString& key : file.document().keys(section)) {
        const QStringList parts = key.split(u'.');
        if (parts.size() == 3) {
            EXPECT_TRUE(names.count(parts[1].toLower())) << key.toStdString();
        }
    }
}

TEST_F(WelcomeFirstRunTest, ShippedLanguageCoversEveryMessageAndTheWindows) {
    const auto file = lang::LoadLanguageFile(lang::languageFileName(ShippedLanguage), SourceDir);
    ASSERT_NE(file, nullptr);

    // Every message, with the placeholders of its English default.
    static const QRegularExpression placeholder(QStringLiteral("%(s|d|1\\.n)"));
    const auto placeholders = [](const QString& text) {
        QStringList found;
        for (auto it = placeholder.globalMatch(text); it.hasNext();)
            found << it.next().captured();
        return found;
    };
    for (const lang::MessageEntry& entry : lang::messageTable()) {
        SCOPED_TRACE(entry.identifier);
        const auto value = file->readString(u"Misc", QString::fromLatin1(entry.identifier));
        ASSERT_TRUE(value.has_value());
        EXPECT_FALSE(value->isEmpty());
        EXPECT_EQ(placeholders(*value), placeholders(QString::fromUtf8(entry.englishDefault)));
    }

    FirstRunHost a(hub, QStringLiteral("PCA"));
    writeFile(a.settingsPath, "[Advanced]\nLanguage index=0\n");
    a.start();
    ASSERT_EQ(a.wizardRuns, 0);
    // The chat's lines and the list's items are the conversation and the peers.
    expectWindowCovered(
        a.form.get(), *file,
        {QStringLiteral("Chat"), QStringLiteral("Computers"), QStringLiteral("StatusButton")});

    QTemporaryDir empty;
    dialogs::TOptionsIkkuna options(empty.path() + u'/', a.form->settings());
    // The folder of the languages, the chosen font, the language list, the network cards
    // found, what the Network page says about the peers typed and the environment and the
    // computer's key and the ports for the firewall (their texts are messages of the table,
    // or the key), and what the chosen sound plays.
    expectWindowCovered(&options, *file,
                        {QStringLiteral("LangDir"), QStringLiteral("MessageFont"),
                         QStringLiteral("Language"), QStringLiteral("Interfaces"),
                         QStringLiteral("PeersProblem"), QStringLiteral("NetworkOverride"),
                         QStringLiteral("OwnFingerprint"), QStringLiteral("FirewallNote"),
                         QStringLiteral("SoundPlays")});

    // The wizard, but for its list of languages (their own names), and the about box, but
    // for the names, addresses, version, system and key it shows.
    TWelcomeIkkuna wizard;
    expectWindowCovered(&wizard, *file, {QStringLiteral("Language")});
    dialogs::TAboutBox about(QImage(), QImage(), QStringLiteral("1.2"), QDate(2026, 1, 1));
    about.setFingerprint(QStringLiteral("05870 41293 00000 11111 22222 33333"));
    expectWindowCovered(
        &about, *file,
        {QStringLiteral("ProductName"), QStringLiteral("Label6"), QStringLiteral("Version"),
         QStringLiteral("WebLink"), QStringLiteral("MailLink"), QStringLiteral("Windows"),
         QStringLiteral("Memory"), QStringLiteral("Fingerprint"), QStringLiteral("ProgramIcon")});
}

TEST(ShippedHelp, EveryHelpFileHasTheTopicsAndNoBrokenLinks) {
    const QStringList helps = QDir(SourceDir + QStringLiteral("Helps"))
                                  .entryList({QStringLiteral("KV*.html")}, QDir::Files);
    EXPECT_TRUE(helps.contains(QStringLiteral("KVEnglish.html")));
    EXPECT_TRUE(helps.contains(QStringLiteral("KV") + ShippedLanguage + QStringLiteral(".html")));
    for (const QString& name : helps) {
        SCOPED_TRACE(name.toStdString());
        QTextDocument document;
        document.setHtml(QString::fromUtf8(readAll(SourceDir + QStringLiteral("Helps/") + name)));
        QSet<QString> anchors, links;
        for (QTextBlock block = document.begin(); block.isValid(); block = block.next()) {
            for (auto it = block.begin(); !it.atEnd(); ++it) {
                const QTextCharFormat format = it.fragment().charFormat();
                for (const QString& anchor : format.anchorNames())
                    anchors.insert(anchor);
                if (format.anchorHref().startsWith(u'#'))
                    links.insert(format.anchorHref().mid(1));
            }
        }
        EXPECT_TRUE(anchors.contains(QStringLiteral("101")));
        EXPECT_TRUE(anchors.contains(QStringLiteral("105")));
        for (const QString& link : links)
            EXPECT_TRUE(anchors.contains(link)) << link.toStdString();
    }
}

} // namespace
