#include "lang/language_file.h"
#include "uisupport/apply_language.h"

#include "support/qt_print.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSystemTrayIcon>
#include <QTabWidget>
#include <QTextBlock>
#include <QTextDocument>
#include <QTextEdit>
#include <QTimer>

#include <memory>

using namespace kalvento::uisupport;
using namespace Qt::StringLiterals;

namespace {

template <typename T, typename Parent> T* make(Parent* parent, const char* name) {
    auto* object = new T(parent);
    object->setObjectName(QString::fromLatin1(name));
    return object;
}

// A small main window with one component of each kind that takes a translation.
class ApplyLanguageTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        static int argc = 1;
        static char name[] = "apply_language_test";
        static char* argv[] = {name, nullptr};
        if (QApplication::instance() == nullptr)
            app = std::make_unique<QApplication>(argc, argv);
    }
    static void TearDownTestSuite() { app.reset(); }

    void SetUp() override {
        window = std::make_unique<QWidget>();
        window->setObjectName("MainForm");
        window->setWindowTitle("Kalvento");

        btnSend = make<QPushButton>(window.get(), "btnSend");
        btnSend->setText("&Send");
        btnSend->setToolTip("Send message");
        label = make<QLabel>(window.get(), "lblInfo");
        label->setText("Info");
        showTime = make<QCheckBox>(window.get(), "ShowTime");
        showTime->setText("Show message time");
        showTime->setToolTip("Time in front of each line");
        close1 = make<QAction>(window.get(), "Close1");
        close1->setText("Close");
        trayPopUp = make<QMenu>(window.get(), "TrayPopUp");
        trayPopUp->setTitle("Tray");
        restore1 = make<QAction>(trayPopUp, "Restore1");
        restore1->setText("Restore");
        trayPopUp->addAction(restore1);
        trayIcon = make<QSystemTrayIcon>(window.get(), "TrayIcon");

        memo = make<QPlainTextEdit>(window.get(), "Memo");
        memo->setPlainText("one\ntwo\nthree\nfour\n");
        rich = make<QTextEdit>(window.get(), "Rich");
        rich->setHtml("<p><b>bold</b> first</p><p>second</p>");

        bgStyle = make<QComboBox>(window.get(), "BGStyle");
        bgStyle->addItems({"Tile", "Center", "Stretch"});
        frendit = make<QListWidget>(window.get(), "Frendit");
        frendit->addItems({"Anna", "Bertil"});

        notify = make<QGroupBox>(window.get(), "Notify");
        notify->setTitle("Notify with");
        pages = make<QTabWidget>(window.get(), "OptionsSivut");
        general = make<QWidget>(static_cast<QWidget*>(nullptr), "General");
        pages->addTab(general, "General");
        proxy = make<QLineEdit>(general, "Proxy");
        proxy->setText("proxy.example");

        // Unnamed containers are passed through, not over.
        auto* box = new QWidget(window.get());
        deep = make<QLabel>(new QWidget(box), "Deep");
        deep->setText("Deep");

        nested = make<QDialog>(window.get(), "Nested");
        nested->setWindowTitle("Nested dialog");
        lblNested = make<QLabel>(nested, "lblNested");
        lblNested->setText("Inside");
    }

    static inline std::unique_ptr<QApplication> app;
    std::unique_ptr<QWidget> window;
    QPushButton* btnSend{};
    QLabel* label{};
    QCheckBox* showTime{};
    QAction* close1{};
    QMenu* trayPopUp{};
    QAction* restore1{};
    QSystemTrayIcon* trayIcon{};
    QPlainTextEdit* memo{};
    QTextEdit* rich{};
    QComboBox* bgStyle{};
    QListWidget* frendit{};
    QGroupBox* notify{};
    QTabWidget* pages{};
    QWidget* general{};
    QLineEdit* proxy{};
    QLabel* deep{};
    QDialog* nested{};
    QLabel* lblNested{};
};

const char TranslatedMainForm[] = "; test translation\n"
                                  "[mainform]\n"
                                  "MainForm.Caption=Kalvento (suomi)\n"
                                  "MAINFORM.BTNSEND.CAPTION=&L\xc3\xa4het\xc3\xa4\n"
                                  "MainForm.btnSend.Hint=L\xc3\xa4het\xc3\xa4 viesti\n"
                                  "MainForm.lblInfo.Caption=<b>Tieto</b>\n"
                                  "MainForm.ShowTime.Caption=\n"
                                  "MainForm.ShowTime.Hint=\n"
                                  "MainForm.Close1.Caption=Sulje\n"
                                  "MainForm.Close1.Hint=<b>Sulje</b> ohjelma\n"
                                  "MainForm.TrayPopUp.Caption=Ilmoitusalue\n"
                                  "MainForm.Restore1.Caption=Palauta\n"
                                  "MainForm.TrayIcon.Hint=Kalvento\n"
                                  "MainForm.Memo.lines[0]=yksi\n"
                                  "MainForm.Memo.lines[1]=\n"
                                  "MainForm.Memo.lines[2]=fsdef\n"
                                  "MainForm.Memo.lines[4]=not added\n"
                                  "MainForm.Rich.lines[1]=<i>toinen</i>\n"
                                  "MainForm.BGStyle.items[0]=Vierekk\xc3\xa4in\n"
                                  "MainForm.BGStyle.items[1]=\n"
                                  "MainForm.BGStyle.items[3]=not added\n"
                                  "MainForm.Frendit.items[1]=Berit\n"
                                  "MainForm.Notify.Caption=Ilmoita\n"
                                  "MainForm.General.Caption=Yleiset\n"
                                  "MainForm.Proxy.Caption=no caption to set\n"
                                  "MainForm.Proxy.Hint=V\xc3\xa4lityspalvelin\n"
                                  "MainForm.Deep.Caption=Syv\xc3\xa4\n"
                                  "MainForm.Nested.Caption=not mine\n"
                                  "MainForm.lblNested.Caption=not mine\n"
                                  "[Misc]\n"
                                  "MainForm.btnSend.Caption=wrong section\n";

} // namespace

TEST_F(ApplyLanguageTest, TranslatesCaptionsAndHintsOfOwnedComponents) {
    const LanguageFile file = LanguageFile::fromBytes(TranslatedMainForm);
    ApplyLanguage(window.get(), &file);

    EXPECT_EQ(window->windowTitle(), u"Kalvento (suomi)");
    EXPECT_EQ(btnSend->text(), u"&Lähetä");
    EXPECT_EQ(btnSend->toolTip(), u"Lähetä viesti");
    EXPECT_EQ(btnSend->statusTip(), u"Lähetä viesti");
    EXPECT_EQ(close1->text(), u"Sulje");
    EXPECT_EQ(trayPopUp->title(), u"Ilmoitusalue");
    EXPECT_EQ(restore1->text(), u"Palauta");
    EXPECT_EQ(trayIcon->toolTip(), u"Kalvento");
    EXPECT_EQ(notify->title(), u"Ilmoita");
    EXPECT_EQ(pages->tabText(0), u"Yleiset");
    EXPECT_EQ(deep->text(), u"Syvä");

    // A key present with an empty value leaves the designed text.
    EXPECT_EQ(showTime->text(), u"Show message time");
    EXPECT_EQ(showTime->toolTip(), u"Time in front of each line");

    // An edit field has no caption; its hint still applies.
    EXPECT_EQ(proxy->text(), u"proxy.example");
    EXPECT_EQ(proxy->toolTip(), u"Välityspalvelin");
}

TEST_F(ApplyLanguageTest, TranslatedTextIsNeverTakenForMarkup) {
    const LanguageFile file = LanguageFile::fromBytes(TranslatedMainForm);
    ApplyLanguage(window.get(), &file);

    EXPECT_EQ(label->text(), u"<b>Tieto</b>");
    EXPECT_EQ(label->textFormat(), Qt::PlainText);
    // The status bar shows text as it is; a tool tip gets markup that displays it.
    EXPECT_EQ(close1->statusTip(), u"<b>Sulje</b> ohjelma");
    QTextDocument shown;
    shown.setHtml(close1->toolTip());
    EXPECT_EQ(shown.toPlainText(), u"<b>Sulje</b> ohjelma");
}

TEST_F(ApplyLanguageTest, ReplacesPresentMemoLinesOnly) {
    const LanguageFile file = LanguageFile::fromBytes(TranslatedMainForm);
    ApplyLanguage(window.get(), &file);

    // "fsdef" and missing keys keep a line, an empty value empties it, nothing is added.
    EXPECT_EQ(memo->toPlainText(), u"yksi\n\nthree\nfour\n");

    const QTextDocument* document = rich->document();
    ASSERT_EQ(document->blockCount(), 2);
    EXPECT_EQ(document->firstBlock().text(), u"bold first");
    EXPECT_EQ(document->lastBlock().text(), u"<i>toinen</i>");
    EXPECT_FALSE(rich->toHtml().contains(u"<i>toinen"));
}

TEST_F(ApplyLanguageTest, ReplacesPresentListItemsThatAreNotEmpty) {
    const LanguageFile file = LanguageFile::fromBytes(TranslatedMainForm);
    ApplyLanguage(window.get(), &file);

    ASSERT_EQ(bgStyle->count(), 3);
    EXPECT_EQ(bgStyle->itemText(0), u"Vierekkäin");
    EXPECT_EQ(bgStyle->itemText(1), u"Center");
    EXPECT_EQ(bgStyle->itemText(2), u"Stretch");
    ASSERT_EQ(frendit->count(), 2);
    EXPECT_EQ(frendit->item(0)->text(), u"Anna");
    EXPECT_EQ(frendit->item(1)->text(), u"Berit");
}

TEST_F(ApplyLanguageTest, LeavesOtherWindowsAlone) {
    const LanguageFile file = LanguageFile::fromBytes(TranslatedMainForm);
    ApplyLanguage(window.get(), &file);

    EXPECT_EQ(nested->windowTitle(), u"Nested dialog");
    EXPECT_EQ(lblNested->text(), u"Inside");
}

TEST_F(ApplyLanguageTest, ChangesNothingWithoutFileOrOwnSection) {
    const LanguageFile other = LanguageFile::fromBytes("[OptionsIkkuna]\n"
                                                       "MainForm.Caption=Kalvento (suomi)\n"
                                                       "MainForm.btnSend.Caption=L\n");
    for (const LanguageFile* file : {static_cast<const LanguageFile*>(nullptr), &other}) {
        ApplyLanguage(window.get(), file);
        EXPECT_EQ(window->windowTitle(), u"Kalvento");
        EXPECT_EQ(btnSend->text(), u"&Send");
        EXPECT_EQ(memo->toPlainText(), u"one\ntwo\nthree\nfour\n");
    }
}

TEST_F(ApplyLanguageTest, SetTextPropertyPassesOverObjectsWithoutTheProperty) {
    QTimer timer;
    EXPECT_FALSE(SetTextProperty(&timer, u"Caption", u"x"_s));
    EXPECT_FALSE(SetTextProperty(&timer, u"Hint", u"x"_s));
    EXPECT_FALSE(SetTextProperty(proxy, u"Caption", u"x"_s));
    EXPECT_EQ(proxy->text(), u"proxy.example");
    QWidget plain(window.get());
    EXPECT_FALSE(SetTextProperty(&plain, u"Caption", u"x"_s));
    EXPECT_TRUE(SetTextProperty(general, u"Caption", u"Yleiset"_s));
    EXPECT_EQ(pages->tabText(0), u"Yleiset");

    EXPECT_TRUE(SetTextProperty(nested, u"Caption", u"Tietoja"_s));
    EXPECT_EQ(nested->windowTitle(), u"Tietoja");
    // Other names are the object's own string properties.
    EXPECT_TRUE(SetTextProperty(proxy, u"placeholderText", u"host"_s));
    EXPECT_EQ(proxy->placeholderText(), u"host");
    EXPECT_FALSE(SetTextProperty(proxy, u"maxLength", u"3"_s));
}

// Another language, or none, starts from the built-in texts: nothing of the one before
// stays, and no restart is needed.
TEST_F(ApplyLanguageTest, TheNextLanguageOrNoneStartsFromTheBuiltInTexts) {
    const LanguageFile finnish = LanguageFile::fromBytes(TranslatedMainForm);
    const LanguageFile partial = LanguageFile::fromBytes("[MainForm]\n"
                                                         "MainForm.btnSend.Caption=&Skicka\n");
    ApplyLanguage(window.get(), &finnish);
    ApplyLanguage(window.get(), &partial);
    EXPECT_EQ(btnSend->text(), u"&Skicka");
    EXPECT_EQ(btnSend->toolTip(), u"Send message"); // not the Finnish hint
    EXPECT_EQ(window->windowTitle(), u"Kalvento");

    ApplyLanguage(window.get(), &finnish);
    ApplyLanguage(window.get(), nullptr);
    EXPECT_EQ(window->windowTitle(), u"Kalvento");
    EXPECT_EQ(btnSend->text(), u"&Send");
    EXPECT_EQ(btnSend->toolTip(), u"Send message");
    EXPECT_EQ(btnSend->statusTip(), u"");
    EXPECT_EQ(close1->text(), u"Close");
    EXPECT_EQ(trayPopUp->title(), u"Tray");
    EXPECT_EQ(pages->tabText(0), u"General");
    EXPECT_EQ(bgStyle->itemText(0), u"Tile");
    EXPECT_EQ(frendit->item(1)->text(), u"Bertil");
    EXPECT_EQ(memo->toPlainText(), u"one\ntwo\nthree\nfour\n");
    EXPECT_EQ(label->text(), u"Info");
}

// What the program or the user changed after the language was applied is theirs.
TEST_F(ApplyLanguageTest, TextsChangedSinceTheLanguageStayWhenItGoes) {
    const LanguageFile file = LanguageFile::fromBytes(TranslatedMainForm);
    label->setTextFormat(Qt::RichText);
    ApplyLanguage(window.get(), &file);
    btnSend->setText("Sending...");
    memo->setPlainText("typed by the user\n");
    ApplyLanguage(window.get(), nullptr);
    EXPECT_EQ(btnSend->text(), u"Sending...");
    EXPECT_EQ(memo->toPlainText(), u"typed by the user\n");
    EXPECT_EQ(label->text(), u"Info");
    EXPECT_EQ(label->textFormat(), Qt::RichText); // as it was built
}

TEST_F(ApplyLanguageTest, TheLinesAndItemsOfDataStayButTheirHintFollows) {
    memo->setProperty(TextIsDataProperty, true);
    frendit->setProperty(TextIsDataProperty, true);
    const LanguageFile file = LanguageFile::fromBytes("[MainForm]\n"
                                                      "MainForm.Memo.lines[0]=yksi\n"
                                                      "MainForm.Memo.Hint=Muistio\n"
                                                      "MainForm.Frendit.items[1]=Berit\n");
    ApplyLanguage(window.get(), &file);
    EXPECT_EQ(memo->toPlainText(), u"one\ntwo\nthree\nfour\n");
    EXPECT_EQ(memo->toolTip(), u"Muistio");
    EXPECT_EQ(frendit->item(1)->text(), u"Bertil");
}
