// Files between two copies of the program, in real windows with real datagram services and
// transfer services on loopback: what the user does (the button, the menus, a drop, the
// command line) and what they see (the question, the panel, the chat's comments).

#include "app/chat_view.h"
#include "app/file_transfers.h"
#include "app/main_window.h"
#include "app/send_handoff.h"
#include "app/send_to_dialog.h"
#include "app/transfer_offer_dialog.h"
#include "app/transfers_panel.h"
#include "desktop/alert_icon.h"
#include "lang/language_file.h"
#include "messaging/chat_node.h"

#include "widgets/glyph_button.h"

#include "support/loopback_lan.h"
#include "support/main_window_host.h"

#include <QAction>
#include <QCheckBox>
#include <QDir>
#include <QDropEvent>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QListWidget>
#include <QMenu>
#include <QMessageBox>
#include <QMimeData>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>

#include <gtest/gtest.h>

#include <future>

using namespace kalvento;
using namespace std::chrono_literals;
using namespace Qt::StringLiterals;
using app::TransfersPanel;
using test::Host;
using transfer::TransferState;

namespace {

// What the user's desktop was asked to do, and what the file dialog answers.
struct Desktop {
    QStringList chosenPaths; // the file dialog's answer
    QList<bool> chooserFolders;
    QList<QUrl> opened;
    QStringList shownInManager;
    bool fileManagerAnswers = true;

    void install(app::MainFormOptions& options) {
        options.transfers.choosePaths = [this](QWidget*, bool folder) {
            chooserFolders.append(folder);
            return chosenPaths;
        };
        options.transfers.openUrl = [this](const QUrl& url) { opened.append(url); };
        options.transfers.showInFileManager = [this](const QString& file) {
            shownInManager.append(file);
            return fileManagerAnswers;
        };
        options.transfers.listingWait = 300ms;
    }
};

class TransferWindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        a->show();
        b->show();
        waitUntilKeyed();
        report = writeFile("report.txt", "the numbers\n");
    }

    // Each lists the other with its key: files may go both ways.
    void waitUntilKeyed() {
        ASSERT_TRUE(QTest::qWaitFor(
            [&] {
                return a->transfers().service()->cannotSendTo("PCB").isEmpty() &&
                       b->transfers().service()->cannotSendTo("PCA").isEmpty();
            },
            10000))
            << a->transfers().service()->cannotSendTo("PCB").toStdString()
            << b->transfers().service()->cannotSendTo("PCA").toStdString();
    }

    QString writeFile(const QString& name, const QByteArray& bytes) {
        QString path = files.filePath(name);
        QDir().mkpath(QFileInfo(path).absolutePath());
        QFile file(path);
        EXPECT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(bytes);
        return path;
    }

    QString saveFolder(Host& host) const { return host.dir.filePath("in"); }

    app::TransferOfferDialog* waitForOffer(Host& host) {
        EXPECT_TRUE(
            QTest::qWaitFor([&] { return !host->transfers().openOffers().isEmpty(); }, 10000));
        const QList<app::TransferOfferDialog*> offers = host->transfers().openOffers();
        return offers.isEmpty() ? nullptr : offers.constFirst();
    }

    // The row of the only transfer the host's panel shows.
    const TransfersPanel::Row* onlyRow(Host& host) const {
        const QList<transfer::TransferInfo> all = host->transfers().service()->transfers();
        if (all.size() != 1)
            return nullptr;
        return host->transfers().panel()->row(all.constFirst().id);
    }

    bool finished(Host& host, TransferState state) const {
        const QList<transfer::TransferInfo> all = host->transfers().service()->transfers();
        return all.size() == 1 && all.constFirst().state == state;
    }

    // Drags paths onto the window at a point of it, as the desktop does: the widget under
    // the point is entered first, and the drop goes where the entering was taken. Whether
    // the drop was taken.
    bool dropOn(Host& host, const QPoint& at, const QStringList& paths) {
        QMimeData data;
        QList<QUrl> urls;
        for (const QString& path : paths)
            urls.append(QUrl::fromLocalFile(path));
        data.setUrls(urls);
        // File managers give the names as text too, which a text box would take.
        data.setText(paths.join(u'\n'));
        QWidget* under = host->childAt(at);
        if (under == nullptr)
            under = host.form.get();
        const QPointF local = under->mapFrom(host.form.get(), at);
        QDragEnterEvent enter(local.toPoint(), Qt::CopyAction, &data, Qt::LeftButton,
                              Qt::NoModifier);
        QApplication::sendEvent(under, &enter);
        if (!enter.isAccepted())
            return false;
        QDropEvent drop(local, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(under, &drop);
        return drop.isAccepted();
    }

    // Where the list shows the entry whose text begins with name, in the window.
    QPoint entryPoint(Host& host, const QString& name) const {
        const int row = host.row(host.listTexts().filter(name).value(0));
        EXPECT_GE(row, 0) << name.toStdString();
        const QRect entry = host->Computers()->visualRect(host.entry(row));
        return host->Computers()->viewport()->mapTo(host.form.get(), entry.center());
    }

    void tick(Host& host, const QString& name) {
        host.tick(host.listTexts().filter(name).value(0));
    }

    test::LoopbackLan lan;
    Desktop desktopA, desktopB;
    Host a{lan.computer(1, "PCA", test::Group, 50ms), {}, {}, [this](app::MainFormOptions& o) {
               desktopA.install(o);
           }};
    Host b{lan.computer(2, "PCB", test::Group, 50ms), {}, {}, [this](app::MainFormOptions& o) {
               desktopB.install(o);
               test::recording(o).clearRecords();
           }};
    QTemporaryDir files;
    QString report;

    void TearDown() override {
        // What the program said that the test did not look for.
        for (Host* host : {&a, &b})
            EXPECT_TRUE(host->dialogs->errors.isEmpty())
                << host->dialogs->errors.join(u'\n').toStdString();
    }
};

TEST_F(TransferWindowTest, TickedComputersGetTheFilesAndBothChatsSayIt) {
    b.setKey("Transfers", "SaveFolder", saveFolder(b)); // read at the next start
    b.start();
    b->show();
    waitUntilKeyed();
    EXPECT_FALSE(a->transfers().panel()->isVisible()); // nothing yet: no panel

    desktopA.chosenPaths = {report};
    tick(a, "PCB");
    a->button("btnSendFiles")->click();
    EXPECT_EQ(desktopA.chooserFolders, QList<bool>{false});
    EXPECT_TRUE(a->transfers().panel()->isVisible());

    app::TransferOfferDialog* offer = waitForOffer(b);
    ASSERT_NE(offer, nullptr);
    EXPECT_TRUE(offer->offerLabel()->text().contains("PCA"));
    EXPECT_EQ(offer->nameLabel()->text(), "report.txt");
    EXPECT_EQ(offer->folderLabel()->text(), QDir::toNativeSeparators(saveFolder(b) + u'/'));
    EXPECT_TRUE(b->transfers().panel()->isVisible());
    offer->acceptButton()->click();
    EXPECT_EQ(offer->errorLabel()->text(), "");

    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return finished(a, TransferState::Done) && finished(b, TransferState::Done); },
        15000))
        <<
        [&] {
            QString states;
            for (Host* host : {&a, &b})
                for (const transfer::TransferInfo& t : (*host)->transfers().service()->transfers())
                    states += QStringLiteral("%1: %2 %3 %4/%5\n")
                                  .arg((*host)->node().computerName(),
                                       QString::fromLatin1(transfer::stateName(t.state)), t.error)
                                  .arg(t.doneBytes)
                                  .arg(t.totalBytes);
            return states.toStdString();
        }();
    QFile received(saveFolder(b) + "/report.txt");
    ASSERT_TRUE(received.open(QIODevice::ReadOnly));
    EXPECT_EQ(received.readAll(), "the numbers\n");
    EXPECT_TRUE(QTest::qWaitFor(
        [&] { return b.chat().contains("received report.txt (12 B) from PCA"); }, 3000))
        << b.chat().toStdString();
    EXPECT_TRUE(a.chat().contains("sent report.txt (12 B) to PCB")) << a.chat().toStdString();

    // The finished row: the whole file, Open and Show in folder, Clear.
    const TransfersPanel::Row* row = onlyRow(b);
    ASSERT_NE(row, nullptr);
    EXPECT_EQ(row->total->value(), 1000);
    EXPECT_EQ(row->state->text(), "done");
    EXPECT_EQ(row->computer->text(), "from PCA");
    ASSERT_TRUE(row->open->isEnabled());
    row->open->click();
    ASSERT_EQ(desktopB.opened.size(), 1);
    EXPECT_EQ(desktopB.opened[0], QUrl::fromLocalFile(saveFolder(b) + "/report.txt"));
    row->showInFolder->click();
    EXPECT_EQ(desktopB.shownInManager, QStringList{saveFolder(b) + "/report.txt"});
    desktopB.fileManagerAnswers = false; // no file manager: the folder opens
    row->showInFolder->click();
    ASSERT_EQ(desktopB.opened.size(), 2);
    EXPECT_EQ(desktopB.opened[1], QUrl::fromLocalFile(saveFolder(b)));
    row->clear->click();
    EXPECT_EQ(b->transfers().panel()->rowCount(), 0);
    EXPECT_TRUE(b->transfers().service()->transfers().isEmpty());
}

TEST_F(TransferWindowTest, ADeclinedOfferIsSaidOnBothSidesAndNothingArrives) {
    desktopA.chosenPaths = {report};
    tick(a, "PCB");
    QAction* sendFiles = a->action("Sendfiles1");
    ASSERT_NE(sendFiles, nullptr);
    EXPECT_TRUE(a->Chat()->ChatPopup()->actions().contains(sendFiles));
    sendFiles->trigger();

    app::TransferOfferDialog* offer = waitForOffer(b);
    ASSERT_NE(offer, nullptr);
    offer->declineButton()->click();
    ASSERT_TRUE(QTest::qWaitFor([&] { return finished(a, TransferState::Declined); }, 10000));
    EXPECT_TRUE(
        QTest::qWaitFor([&] { return a.chat().contains("report.txt to PCB: declined"); }, 3000))
        << a.chat().toStdString();
    EXPECT_TRUE(b.chat().contains("report.txt from PCA: declined ---")) << b.chat().toStdString();
    EXPECT_TRUE(a.chat().contains("report.txt to PCB: declined ---")) << a.chat().toStdString();
    EXPECT_TRUE(b->transfers().openOffers().isEmpty());
    EXPECT_FALSE(QFile::exists(b->settings().transferSaveFolder + "report.txt"));
    const TransfersPanel::Row* row = onlyRow(a);
    ASSERT_NE(row, nullptr);
    EXPECT_FALSE(row->open->isVisible());
    EXPECT_TRUE(row->clear->isVisible());
}

// Whether the box that says a message came is up.
bool newMessageBoxShown() {
    for (QWidget* w : QApplication::topLevelWidgets())
        if (auto* box = qobject_cast<QMessageBox*>(w);
            box && box->isVisible() && box->text() == "You have got a new message!")
            return true;
    return false;
}

// An offer waits for an answer: a user who is not looking gets the alerts a line gets (the
// flashing icon, the window brought on top) but not the box that says a message came, and
// none when alerts are off. Once every offer is answered the icon stops flashing, unless a
// line came meanwhile.
TEST_F(TransferWindowTest, AnOfferAlertsAUserWhoIsNotLookingUntilItIsAnswered) {
    const auto restart = [&](const char* showAlert, const char* bringOnTop) {
        b.setKey("Messages", "Show alert", showAlert);
        b.setKey("Messages", "Bring on top", bringOnTop);
        b.start();
        b->show();
        waitUntilKeyed();
        b->alertIcon()->DeleteIcon();
        b->showMinimized();
    };
    const auto offered = [&] {
        EXPECT_EQ(a->transfers().service()->sendFiles({report}, {"PCB"}).offered.size(), 1);
        return waitForOffer(b);
    };
    const auto answer = [&](app::TransferOfferDialog* offer) {
        const QPointer<app::TransferOfferDialog> question(offer);
        offer->declineButton()->click();
        return QTest::qWaitFor([&] { return question.isNull(); }, 5000);
    };
    const auto flashing = [&] { return b->alertIcon()->isFlashing() || b->alertIcon()->isShown(); };

    // Brought on top, with the question over it, and no box saying a message came.
    restart("1", "1");
    app::TransferOfferDialog* offer = offered();
    ASSERT_NE(offer, nullptr);
    EXPECT_FALSE(b->isMinimized());
    EXPECT_TRUE(offer->isVisible());
    EXPECT_FALSE(newMessageBoxShown());
    ASSERT_TRUE(answer(offer));

    // No alerts chosen: none.
    restart("0", "0");
    ASSERT_NE(offer = offered(), nullptr);
    EXPECT_FALSE(flashing());
    EXPECT_TRUE(b->isMinimized());
    ASSERT_TRUE(answer(offer));

    // The flashing icon, until the offer is answered...
    restart("1", "0");
    ASSERT_NE(offer = offered(), nullptr);
    EXPECT_TRUE(flashing());
    ASSERT_TRUE(answer(offer));
    EXPECT_FALSE(flashing());
    // ...unless a line came meanwhile, which the user has still to see.
    ASSERT_NE(offer = offered(), nullptr);
    a->Message()->setText("are you there?");
    a->btnSendClick();
    ASSERT_TRUE(QTest::qWaitFor([&] { return b.chat().contains("are you there?"); }, 5000));
    ASSERT_TRUE(answer(offer));
    EXPECT_TRUE(flashing());
}

TEST_F(TransferWindowTest, NobodyTickedIsRefusedAndTheUserIsTold) {
    desktopA.chosenPaths = {report};
    const struct {
        const char* what;
        std::function<void()> act;
    } ways[] = {
        {"the button", [&] { a->button("btnSendFiles")->click(); }},
        {"the chat's folder item", [&] { a->action("Sendfolder1")->trigger(); }},
        {"a drop on the chat",
         [&] { EXPECT_TRUE(dropOn(a, a->Chat()->geometry().center(), {report})); }},
        {"a drop on the message line",
         [&] { EXPECT_TRUE(dropOn(a, a->Message()->geometry().center(), {report})); }},
    };
    for (const auto& way : ways) {
        SCOPED_TRACE(way.what);
        a.dialogs->errors.clear();
        way.act();
        ASSERT_EQ(a.dialogs->errors.size(), 1);
        EXPECT_TRUE(a.dialogs->errors[0].startsWith("Tick the computers"));
    }
    a.dialogs->errors.clear();
    EXPECT_EQ(a->Message()->text(), "") << "the names were typed in instead";
    EXPECT_TRUE(desktopA.chooserFolders.isEmpty()) << "a file dialog before a recipient";
    EXPECT_TRUE(a->transfers().service()->transfers().isEmpty());
    EXPECT_FALSE(a->transfers().panel()->isVisible());
}

TEST_F(TransferWindowTest, FilesDroppedOnAComputerGoToItAlone) {
    const int row = a.row(a.listTexts().filter("PCB").value(0));
    ASSERT_GE(row, 0);
    EXPECT_TRUE(dropOn(a, entryPoint(a, "PCB"), {report, writeFile("more/notes.txt", "n")}));
    app::TransferOfferDialog* offer = waitForOffer(b);
    ASSERT_NE(offer, nullptr);
    EXPECT_EQ(a.checkState(row), Qt::Unchecked); // not ticked, yet it got them
    offer->offerEnded();

    EXPECT_EQ(offer->nameLabel()->text(), "report.txt");
    offer->offerEnded();

    // The list's menu sends to its entry alone too; for this computer's own it is greyed.
    desktopA.chosenPaths = {report};
    QAction* toEntry = a->action("Sendfilesto1");
    ASSERT_NE(toEntry, nullptr);
    ASSERT_TRUE(a->ComputerPopup()->actions().contains(toEntry));
    a.select(a.row(a.listTexts().filter("PCA").value(0)));
    emit a->ComputerPopup()->aboutToShow();
    EXPECT_FALSE(toEntry->isEnabled());
    a.select(row);
    emit a->ComputerPopup()->aboutToShow();
    ASSERT_TRUE(toEntry->isEnabled());
    toEntry->trigger();
    EXPECT_EQ(desktopA.chooserFolders, QList<bool>{false});
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return b->transfers().service()->transfers().size() == 2; }, 10000));
    ASSERT_NE(waitForOffer(b), nullptr);

    // This computer's own entry takes nothing; text dragged in is no file.
    dropOn(a, entryPoint(a, "PCA"), {report});
    QMimeData text;
    text.setText("just words");
    QDragEnterEvent enter(entryPoint(a, "PCB"), Qt::CopyAction, &text, Qt::LeftButton,
                          Qt::NoModifier);
    QApplication::sendEvent(a.form.get(), &enter);
    EXPECT_FALSE(enter.isAccepted());
    EXPECT_EQ(a->transfers().service()->transfers().size(), 2);
}

TEST_F(TransferWindowTest, TheCommandLineHandsItsPathsToTheRunningCopy) {
    QTemporaryDir socketDir;
    const QString socket = socketDir.filePath("send.socket");
    app::SendHandoffServer server(
        [&](const app::SendRequest& request) { return a->sendFromCommandLine(request); });
    ASSERT_EQ(server.listen(socket), "");
    const auto handOff = [&](const app::SendRequest& request) {
        std::future<app::HandoffResult> result =
            std::async(std::launch::async, [&] { return app::handOff(socket, request, 10000); });
        while (result.wait_for(5ms) != std::future_status::ready)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        return result.get();
    };

    const struct {
        const char* what;
        app::SendRequest request;
        bool ok;
        const char* said;
        int offers; // at PCB
    } cases[] = {
        {"to a named computer, by any case",
         {{report}, {"pcb"}},
         true,
         "Offered to 1 computer.",
         1},
        {"a computer not listed",
         {{report}, {"NOPE"}},
         false,
         "Not sent to NOPE: it is not listed",
         0},
        {"one listed, one not",
         {{report}, {"NOPE", "PCB"}},
         true,
         "Offered to 1 computer.\nNot sent to NOPE: it is not listed",
         1},
        {"a path that is not there",
         {{files.filePath("gone.txt")}, {"PCB"}},
         false,
         "Not sent:",
         0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const app::HandoffResult result = handOff(c.request);
        ASSERT_EQ(result.outcome, app::HandoffResult::Outcome::Answered)
            << result.error.toStdString();
        EXPECT_EQ(result.answer.ok, c.ok);
        EXPECT_TRUE(result.answer.text.startsWith(QString::fromUtf8(c.said)))
            << result.answer.text.toStdString();
        if (c.offers > 0) {
            app::TransferOfferDialog* offer = waitForOffer(b);
            ASSERT_NE(offer, nullptr);
            offer->declineButton()->click();
        }
    }
    // Refusals stand in the chat too, named.
    EXPECT_TRUE(a.chat().contains("Files not sent to NOPE: not listed")) << a.chat().toStdString();
}

TEST_F(TransferWindowTest, PathsForNobodyWhileNobodyIsTickedAskWhomToSendThemTo) {
    // The file manager's action names no computer: the running copy asks, and says so.
    const app::HandoffAnswer answer =
        a->sendFromCommandLine({{report, writeFile("b.txt", "b")}, {}});
    EXPECT_TRUE(answer.ok);
    EXPECT_EQ(answer.text, "Kalvento asks whom to send them to.");
    QList<app::SendToDialog*> asked = a->transfers().openSendTo();
    ASSERT_EQ(asked.size(), 1);
    app::SendToDialog* question = asked.constFirst();
    EXPECT_EQ(question->filesLabel()->text(), "Send report.txt and 1 more to:");
    // Only PCB can take files (this computer is not offered); nothing is ticked yet.
    QListWidget* list = question->computerList();
    ASSERT_EQ(list->count(), 1);
    EXPECT_TRUE(list->item(0)->text().startsWith("PCB")) << list->item(0)->text().toStdString();
    EXPECT_FALSE(question->sendButton()->isEnabled());
    EXPECT_FALSE(question->nobodyLabel()->isVisibleTo(question));
    // The list follows the computers: PCB leaves, the question says nobody can take them.
    b->SessionEnding(); // its goodbye
    b.form.reset();
    ASSERT_TRUE(QTest::qWaitFor([&] { return list->count() == 0; }, 10000));
    EXPECT_TRUE(question->nobodyLabel()->isVisibleTo(question));
    question->cancelButton()->click();
    EXPECT_TRUE(a->transfers().openSendTo().isEmpty());
    EXPECT_TRUE(a->transfers().service()->transfers().isEmpty()) << "cancelled, yet sent";

    // Paths that cannot go are refused at once, without a question.
    const app::HandoffAnswer gone = a->sendFromCommandLine({{files.filePath("gone.txt")}, {}});
    EXPECT_FALSE(gone.ok);
    EXPECT_TRUE(gone.text.startsWith("Not sent:")) << gone.text.toStdString();
    EXPECT_TRUE(a->transfers().openSendTo().isEmpty());
}

TEST_F(TransferWindowTest, TheComputersChosenInTheQuestionGetTheFiles) {
    a->sendWhenListed({{report}, {}}); // a starting copy's own paths, for nobody
    QList<app::SendToDialog*> asked = a->transfers().openSendTo();
    ASSERT_EQ(asked.size(), 1);
    app::SendToDialog* question = asked.constFirst();
    ASSERT_EQ(question->computerList()->count(), 1);
    question->computerList()->item(0)->setCheckState(Qt::Checked);
    ASSERT_TRUE(question->sendButton()->isEnabled());
    EXPECT_TRUE(question->sendButton()->isDefault());
    question->sendButton()->click();
    EXPECT_TRUE(a->transfers().openSendTo().isEmpty());
    app::TransferOfferDialog* offer = waitForOffer(b);
    ASSERT_NE(offer, nullptr);
    EXPECT_EQ(offer->nameLabel()->text(), "report.txt");
    offer->declineButton()->click();
    EXPECT_EQ(a.checkState(a.row(a.listTexts().filter("PCB").value(0))), Qt::Unchecked)
        << "the question ticks nothing in the list";
}

TEST_F(TransferWindowTest, AStartingCopyWaitsForTheComputersItWasToldOf) {
    a->sendWhenListed({{report}, {"PCB", "LATER"}});
    // PCB is listed: it gets the files at once; LATER never comes and is named.
    ASSERT_NE(waitForOffer(b), nullptr);
    EXPECT_TRUE(QTest::qWaitFor(
        [&] {
            return a.chat().contains("Files not sent to LATER: it was not listed within a minute.");
        },
        3000))
        << a.chat().toStdString();
    EXPECT_FALSE(a.chat().contains("PCB: it was not listed"));
}

// A copy started by "kalvento --send FILE --to PCB" lists PCB a moment before it knows
// that PCB can take files (its key and first sign of life follow the answer): the files
// wait for that, rather than being refused as if PCB ran an older copy.
TEST_F(TransferWindowTest, AStartingCopyWaitsUntilAListedComputerCanTakeFiles) {
    a.start();
    a->show();
    a->sendWhenListed({{report}, {"PCB"}});
    ASSERT_NE(waitForOffer(b), nullptr) << a.chat().toStdString();
    EXPECT_FALSE(a.chat().contains("Files not sent")) << a.chat().toStdString();
}

// The transfers of the last run are shown before the language is loaded at a start: they
// speak it all the same.
TEST_F(TransferWindowTest, TransfersOfTheLastRunSpeakTheLanguageChosen) {
    a->sendFromCommandLine({{report}, {"PCB"}}); // not answered: it waits across a restart
    ASSERT_NE(waitForOffer(b), nullptr);
    a.setKey("Advanced", "Language index", "1");
    a.setKey("Advanced", "Language", "Suomi");
    const auto configure = a.configure;
    a.configure = [configure](app::MainFormOptions& o) {
        configure(o);
        o.resourceDirectory = QStringLiteral(KALVENTO_SOURCE_DIR);
    };
    a.start();
    const TransfersPanel::Row* row = onlyRow(a);
    ASSERT_NE(row, nullptr);
    EXPECT_EQ(row->cancel->text(), "Peru");
    EXPECT_EQ(row->clear->text(), "Poista");
    EXPECT_EQ(row->pause->text(), "Tauko");
    lang::SetCurrentLanguageFile(nullptr);
}

TEST_F(TransferWindowTest, TheOptionsReachTheRunningTransfers) {
    a.options([&](dialogs::TOptionsIkkuna& w) {
        w.findChild<QLineEdit*>("TransferFolder")->setText(saveFolder(a));
        w.findChild<QCheckBox*>("AcceptFromFriends")->setChecked(true);
        return true;
    });
    const transfer::TransferOptions& options = a->transfers().service()->options();
    EXPECT_EQ(options.saveFolder, saveFolder(a) + u'/');
    EXPECT_TRUE(options.acceptFromFriends);
    EXPECT_EQ(a.ini().value(u"Transfers"_s, u"SaveFolder"_s), saveFolder(a) + u'/');
    EXPECT_EQ(a.ini().value(u"Transfers"_s, u"AcceptFromFriends"_s), u"1"_s);
    // A friend added from the list is one for the transfers at once.
    a.select(a.row(a.listTexts().filter("PCB").value(0)));
    a->Addtofriends1Click();
    EXPECT_EQ(a->transfers().service()->options().friends, a->settings().friends);
    EXPECT_FALSE(a->settings().friends.isEmpty());
    // Emptied, the folder is the default again.
    a.options([&](dialogs::TOptionsIkkuna& w) {
        w.findChild<QLineEdit*>("TransferFolder")->clear();
        return true;
    });
    EXPECT_TRUE(a->transfers().service()->options().saveFolder.endsWith("/Kalvento/"));
}

} // namespace
