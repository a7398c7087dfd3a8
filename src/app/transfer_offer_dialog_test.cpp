// The question of an offer, as the user answers it: the peer's words shown as text, Accept
// the default, another folder chosen, and a folder that cannot take the files.

#include "app/transfer_offer_dialog.h"
#include "lang/language_file.h"

#include <QApplication>
#include <QFormLayout>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QTest>

#include <gtest/gtest.h>

using namespace kalvento;
using app::TransferOfferDialog;
using transfer::TransferInfo;
using transfer::TransferState;

namespace {

TransferInfo offer(const QString& name, int files, quint64 bytes) {
    TransferInfo info;
    info.id[0] = 9;
    info.outgoing = false;
    info.state = TransferState::Asking;
    info.name = name;
    info.files = files;
    info.totalBytes = bytes;
    return info;
}

// What the dialog asked of the service, and what it answers.
struct Service {
    QStringList accepted; // the folder of each accept
    int declined = 0;
    QString acceptError; // what accept answers
    std::optional<QString> chosenFolder;
    int folderQuestions = 0;

    TransferOfferDialog::Answers answers() {
        TransferOfferDialog::Answers a;
        a.accept = [this](const QString& folder) {
            accepted.append(folder);
            return acceptError;
        };
        a.decline = [this] { ++declined; };
        a.chooseFolder = [this](QWidget*, const QString&, const QString&) {
            ++folderQuestions;
            return chosenFolder;
        };
        return a;
    }
};

TEST(TransferOfferDialog, ThePeersWordsAreShownAsTextOnOneLineIsolated) {
    Service service;
    const struct {
        QString name;
        QString computer;
        const char* nameShown;  // contained
        const char* offerShown; // contained
        bool isolated;
    } cases[] = {
        {"<b>report</b>.pdf", "<img src=x>Anna", "<b>report</b>.pdf", "<img src=x>Anna offers",
         false},
        {"a\nb\r\nc.txt", "Anna\nEve: hi", "a b c.txt", "Anna Eve: hi offers", false},
        {QStringLiteral("\u202Efdp.exe"), QStringLiteral("\u05D0\u05D1"), "fdp.exe", "", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name.toStdString());
        auto* dialog = new TransferOfferDialog(offer(c.name, 1, 4'200'000), c.computer,
                                               "/home/u/Downloads/Kalvento/", service.answers());
        for (const QLabel* label : {dialog->offerLabel(), dialog->nameLabel()}) {
            EXPECT_EQ(label->textFormat(), Qt::PlainText);
            EXPECT_FALSE(label->text().contains(u'\n'));
        }
        EXPECT_TRUE(dialog->nameLabel()->text().contains(QString::fromUtf8(c.nameShown)))
            << dialog->nameLabel()->text().toStdString();
        EXPECT_TRUE(dialog->offerLabel()->text().contains(QString::fromUtf8(c.offerShown)))
            << dialog->offerLabel()->text().toStdString();
        if (c.isolated) {
            EXPECT_TRUE(dialog->nameLabel()->text().startsWith(QChar(0x2068)));
            EXPECT_TRUE(dialog->offerLabel()->text().startsWith(QChar(0x2068)));
        }
        EXPECT_FALSE(dialog->windowTitle().contains(u'\n'));
        EXPECT_EQ(dialog->folderLabel()->text(), "/home/u/Downloads/Kalvento/");
        dialog->offerEnded();
    }
    EXPECT_EQ(service.declined, 0); // an ended offer is not declined again
}

TEST(TransferOfferDialog, AnswersGoToTheServiceAndAFailedAcceptKeepsTheWindow) {
    const struct {
        const char* what;
        std::function<void(TransferOfferDialog&)> act;
        const char* acceptError;
        std::optional<QString> chosenFolder;
        QStringList accepted;
        int declined;
        bool stays;
    } cases[] = {
        {"Enter accepts into the save folder",
         [](TransferOfferDialog& d) { QTest::keyClick(&d, Qt::Key_Return); },
         "",
         std::nullopt,
         {""},
         0,
         false},
        {"Decline",
         [](TransferOfferDialog& d) { d.declineButton()->click(); },
         "",
         std::nullopt,
         {},
         1,
         false},
        {"Escape declines",
         [](TransferOfferDialog& d) { QTest::keyClick(&d, Qt::Key_Escape); },
         "",
         std::nullopt,
         {},
         1,
         false},
        {"closing declines",
         [](TransferOfferDialog& d) { d.close(); },
         "",
         std::nullopt,
         {},
         1,
         false},
        {"another folder",
         [](TransferOfferDialog& d) { d.chooseButton()->click(); },
         "",
         QString("/mnt/big"),
         {"/mnt/big"},
         0,
         false},
        {"choosing cancelled: still asking",
         [](TransferOfferDialog& d) { d.chooseButton()->click(); },
         "",
         std::nullopt,
         {},
         0,
         true},
        {"no space: the reason shows and the window stays",
         [](TransferOfferDialog& d) { d.acceptButton()->click(); },
         "Not enough space in /home/u/Downloads/Kalvento/",
         std::nullopt,
         {""},
         0,
         true},
        {"the chosen folder cannot be used",
         [](TransferOfferDialog& d) { d.chooseButton()->click(); },
         "/mnt/ro: read-only",
         QString("/mnt/ro"),
         {"/mnt/ro"},
         0,
         true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Service service;
        service.acceptError = QString::fromUtf8(c.acceptError);
        service.chosenFolder = c.chosenFolder;
        QPointer<TransferOfferDialog> dialog = new TransferOfferDialog(
            offer("report.pdf", 3, 10), "Anna", "/home/u/Downloads/Kalvento/", service.answers());
        dialog->show();
        EXPECT_FALSE(dialog->isModal());
        EXPECT_TRUE(dialog->acceptButton()->isDefault());
        c.act(*dialog);
        EXPECT_EQ(service.accepted, c.accepted);
        EXPECT_EQ(service.declined, c.declined);
        EXPECT_EQ(dialog && dialog->isVisible(), c.stays);
        if (c.stays && !service.acceptError.isEmpty()) {
            EXPECT_TRUE(dialog->errorLabel()->isVisible());
            EXPECT_EQ(dialog->errorLabel()->text(), service.acceptError);
        }
        if (dialog)
            dialog->offerEnded();
        QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        // Nothing is answered twice, whatever happens to the window afterwards.
        EXPECT_EQ(service.declined, c.declined);
    }
}

} // namespace

// A question open while the user chooses another language: its heading, captions and
// buttons follow, the peer's words stay as they were, and back again.
TEST(TransferOfferDialog, SaysEverythingAgainInTheLanguageChosen) {
    Service service;
    auto* dialog = new TransferOfferDialog(offer("report.pdf", 2, 4'200'000), "Anna",
                                           "/home/u/Downloads/Kalvento/", service.answers());
    const auto captions = [dialog] {
        QStringList shown{dialog->windowTitle(), dialog->offerLabel()->text()};
        const auto* form = dialog->findChild<QFormLayout*>();
        for (int row = 0; row < form->rowCount(); ++row)
            if (const QLayoutItem* item = form->itemAt(row, QFormLayout::LabelRole))
                shown.append(qobject_cast<QLabel*>(item->widget())->text());
        for (const QPushButton* b :
             {dialog->acceptButton(), dialog->declineButton(), dialog->chooseButton()})
            shown.append(b->text());
        return shown;
    };
    const QStringList english = captions();
    EXPECT_TRUE(english.contains(QStringLiteral("What:"))) << english.join(u'|').toStdString();

    lang::SetCurrentLanguageFile(lang::LoadLanguageFile(
        lang::languageFileName(QStringLiteral("Suomi")), QStringLiteral(KALVENTO_SOURCE_DIR)));
    ASSERT_NE(lang::CurrentLanguageFile(), nullptr);
    dialog->retranslate();
    const QStringList finnish = captions();
    EXPECT_TRUE(finnish.contains(QString::fromUtf8("Mitä:"))) << finnish.join(u'|').toStdString();
    EXPECT_TRUE(finnish.contains(QString::fromUtf8("&Hyväksy")));
    EXPECT_TRUE(finnish[1].contains(QStringLiteral("Anna")));
    EXPECT_TRUE(dialog->nameLabel()->text().contains(QStringLiteral("report.pdf")));

    lang::SetCurrentLanguageFile(nullptr);
    dialog->retranslate();
    EXPECT_EQ(captions(), english);
    dialog->offerEnded();
}
