// The transfers panel, shown in a window of its own: rows follow what the service reports,
// in place, with the buttons that fit each state.

#include "app/transfers_panel.h"
#include "lang/language_file.h"

#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QTextDocument>
#include <QToolButton>

#include <gtest/gtest.h>

using namespace kalvento;
using app::TransfersPanel;
using transfer::TransferId;
using transfer::TransferInfo;
using transfer::TransferState;

namespace {

TransferInfo transferOf(quint8 n, bool outgoing = true) {
    TransferInfo info;
    info.id = TransferId{};
    info.id[0] = n;
    info.outgoing = outgoing;
    info.computer = QStringLiteral("pc%1").arg(n);
    info.name = QStringLiteral("report.pdf");
    info.files = 1;
    info.totalBytes = 4'000'000;
    return info;
}

struct Shown {
    QWidget window;
    TransfersPanel* panel = new TransfersPanel(&window);
    Shown() {
        window.resize(500, 300);
        window.show();
    }
};

TEST(TransfersPanel, HiddenUntilTheFirstTransferAndBackWithANewOne) {
    Shown shown;
    TransfersPanel& panel = *shown.panel;
    QSignalSpy layout(&panel, &TransfersPanel::layoutChanged);
    EXPECT_FALSE(panel.isVisible());

    TransferInfo first = transferOf(1);
    panel.showTransfer(first, "Anna");
    EXPECT_TRUE(panel.isVisible());
    EXPECT_EQ(panel.rowCount(), 1);
    EXPECT_EQ(layout.count(), 1);

    // The user hides it: updates of the rows it has keep it hidden...
    panel.hideButton()->click();
    EXPECT_FALSE(panel.isVisible());
    EXPECT_EQ(layout.count(), 2);
    first.doneBytes = 1000;
    first.state = TransferState::Running;
    panel.showTransfer(first, "Anna");
    EXPECT_FALSE(panel.isVisible());
    EXPECT_EQ(layout.count(), 2);
    // ...a new transfer brings it back.
    panel.showTransfer(transferOf(2), "Bertil");
    EXPECT_TRUE(panel.isVisible());
    EXPECT_EQ(panel.rowCount(), 2);

    panel.removeTransfer(first.id);
    EXPECT_EQ(panel.rowCount(), 1);
    EXPECT_EQ(panel.row(first.id), nullptr);
    panel.removeTransfer(first.id); // gone already: nothing happens
    EXPECT_EQ(panel.rowCount(), 1);
}

TEST(TransfersPanel, RowsFollowProgressRateAndTimeLeftInPlace) {
    Shown shown;
    TransfersPanel& panel = *shown.panel;
    TransferInfo info = transferOf(1, false);
    info.state = TransferState::Connecting;
    panel.showTransfer(info, "Anna");
    const TransfersPanel::Row* row = panel.row(info.id);
    ASSERT_NE(row, nullptr);
    QProgressBar* const total = row->total; // the same controls from update to update

    const struct {
        TransferState state;
        quint64 done;
        double rate;
        const char* currentFile;
        quint64 currentDone, currentSize;
        int totalValue, currentValue;
        const char* rateText;
        const char* timeLeft;
        const char* stateText;
    } steps[] = {
        {TransferState::Running, 1'000'000, 500'000.0, "a/b.txt", 5, 10, 250, 500, "500.0 kB/s",
         "0:06 left", "in progress"},
        {TransferState::Running, 2'000'000, 2'000'000.0, "a/c.txt", 0, 0, 500, 0, "2.0 MB/s",
         "0:01 left", "in progress"},
        // Paused and waiting: no rate, no time left.
        {TransferState::Paused, 2'000'000, 0.0, "a/c.txt", 0, 10, 500, 0, "", "", "paused"},
        {TransferState::Waiting, 3'000'000, 0.0, "a/c.txt", 10, 10, 750, 1000, "", "",
         "waiting for the other computer"},
        // A total beyond what an int holds in bytes still shows as a share.
        {TransferState::Done, 4'000'000, 0.0, "", 0, 0, 1000, 0, "", "", "done"},
    };
    for (const auto& s : steps) {
        SCOPED_TRACE(s.stateText);
        info.state = s.state;
        info.doneBytes = s.done;
        info.bytesPerSecond = s.rate;
        info.currentFile = QString::fromUtf8(s.currentFile);
        info.currentFileBytes = s.currentDone;
        info.currentFileSize = s.currentSize;
        panel.showTransfer(info, "Anna");
        ASSERT_EQ(panel.row(info.id), row);
        EXPECT_EQ(row->total, total);
        EXPECT_EQ(row->total->value(), s.totalValue);
        EXPECT_EQ(row->current->value(), s.currentValue);
        EXPECT_EQ(row->rate->text(), QString::fromUtf8(s.rateText));
        EXPECT_EQ(row->timeLeft->text(), QString::fromUtf8(s.timeLeft));
        EXPECT_EQ(row->state->text(), QString::fromUtf8(s.stateText));
        EXPECT_EQ(row->currentFile->text(), QString::fromUtf8(s.currentFile));
    }
    EXPECT_EQ(panel.rowCount(), 1);

    TransferInfo big = transferOf(2);
    big.totalBytes = quint64{1} << 40;
    big.doneBytes = big.totalBytes / 4;
    big.state = TransferState::Running;
    panel.showTransfer(big, "Bertil");
    EXPECT_EQ(panel.row(big.id)->total->value(), 250);
    EXPECT_EQ(panel.row(big.id)->name->text(), "report.pdf (1.1 TB)");
    EXPECT_EQ(panel.row(big.id)->computer->text(), "to Bertil");
    EXPECT_EQ(row->computer->text(), "from Anna");
}

TEST(TransfersPanel, ButtonsFollowTheStateAndSayWhichTransfer) {
    Shown shown;
    TransfersPanel& panel = *shown.panel;
    QSignalSpy actions(&panel, &TransfersPanel::actionRequested);
    TransferInfo info = transferOf(7, false);
    const struct {
        TransferState state;
        const char* firstPath;
        bool pauseShown, pauseEnabled;
        const char* pauseCaption;
        bool cancelShown, openShown, openEnabled, clearShown;
    } cases[] = {
        {TransferState::Preparing, "", true, false, "Pause", true, false, false, false},
        {TransferState::Offered, "", true, false, "Pause", true, false, false, false},
        {TransferState::Asking, "", true, false, "Pause", true, false, false, false},
        {TransferState::Connecting, "", true, true, "Pause", true, false, false, false},
        {TransferState::Running, "", true, true, "Pause", true, false, false, false},
        {TransferState::Waiting, "", true, true, "Pause", true, false, false, false},
        {TransferState::Paused, "", true, true, "Resume", true, false, false, false},
        {TransferState::Done, "", false, false, "Pause", false, true, false, true},
        {TransferState::Done, "/d/report.pdf", false, false, "Pause", false, true, true, true},
        {TransferState::Failed, "", false, false, "Pause", false, false, false, true},
        {TransferState::Declined, "", false, false, "Pause", false, false, false, true},
        {TransferState::Cancelled, "", false, false, "Pause", false, false, false, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << transfer::stateName(c.state) << " " << c.firstPath);
        info.state = c.state;
        info.firstPath = QString::fromUtf8(c.firstPath);
        panel.showTransfer(info, "Anna");
        const TransfersPanel::Row& row = *panel.row(info.id);
        EXPECT_EQ(row.pause->isVisible(), c.pauseShown);
        EXPECT_EQ(row.pause->isEnabled(), c.pauseEnabled);
        EXPECT_EQ(row.pause->text(), QString::fromUtf8(c.pauseCaption));
        EXPECT_EQ(row.cancel->isVisible(), c.cancelShown);
        EXPECT_EQ(row.open->isVisible(), c.openShown);
        EXPECT_EQ(row.showInFolder->isVisible(), c.openShown);
        EXPECT_EQ(row.open->isEnabled(), c.openEnabled);
        EXPECT_EQ(row.showInFolder->isEnabled(), c.openEnabled);
        EXPECT_EQ(row.clear->isVisible(), c.clearShown);
    }

    // Paused by the other side: only that side can resume, and the row says who paused.
    info.state = TransferState::Paused;
    info.pausedByOther = true;
    panel.showTransfer(info, "Anna");
    EXPECT_TRUE(panel.row(info.id)->pause->isVisible());
    EXPECT_FALSE(panel.row(info.id)->pause->isEnabled());
    EXPECT_EQ(panel.row(info.id)->state->text(), QStringLiteral("paused by Anna"));
    info.pausedByOther = false;

    // Each click names the action and the transfer as the row shows it now.
    const struct {
        TransferState state;
        QPushButton* TransfersPanel::Row::*button;
        TransfersPanel::Action action;
    } clicks[] = {
        {TransferState::Running, &TransfersPanel::Row::pause, TransfersPanel::Action::Pause},
        {TransferState::Paused, &TransfersPanel::Row::pause, TransfersPanel::Action::Resume},
        {TransferState::Running, &TransfersPanel::Row::cancel, TransfersPanel::Action::Cancel},
        {TransferState::Done, &TransfersPanel::Row::open, TransfersPanel::Action::Open},
        {TransferState::Done, &TransfersPanel::Row::showInFolder,
         TransfersPanel::Action::ShowInFolder},
        {TransferState::Done, &TransfersPanel::Row::clear, TransfersPanel::Action::Clear},
    };
    info.firstPath = QStringLiteral("/d/report.pdf");
    for (const auto& c : clicks) {
        info.state = c.state;
        panel.showTransfer(info, "Anna");
        actions.clear();
        (panel.row(info.id)->*c.button)->click();
        ASSERT_EQ(actions.count(), 1);
        EXPECT_EQ(actions[0][0].value<TransfersPanel::Action>(), c.action);
        const auto sent = actions[0][1].value<TransferInfo>();
        EXPECT_EQ(sent.id, info.id);
        EXPECT_EQ(sent.state, c.state);
    }
}

// As wide as the chat of a window at its first size, with long names and a long reason:
// every button in sight without scrolling, the name cut but not its count and size, and a
// line coming or going (the file in hand, the rate) makes the window lay the panel out
// again at the height it now wants.
TEST(TransfersPanel, ARowFitsTheChatsWidthAndThePanelFollowsItsHeight) {
    Shown shown;
    TransfersPanel& panel = *shown.panel;
    QSignalSpy layout(&panel, &TransfersPanel::layoutChanged);
    const auto layOut = [&] {
        panel.setGeometry(0, 0, 320, panel.wantedHeight());
        QCoreApplication::sendPostedEvents(nullptr, QEvent::LayoutRequest);
    };
    const auto inSight = [&](const QWidget* w) {
        const QRect at(w->mapTo(&panel, QPoint(0, 0)), w->size());
        return panel.rect().contains(at);
    };
    TransferInfo info = transferOf(4, false);
    info.name = QStringLiteral("Photos of the summer holiday in the archipelago");
    info.files = 31;
    info.totalBytes = 81'400'000;
    info.state = TransferState::Connecting;
    const QString computer = QStringLiteral("Anna-Kaarina's laptop upstairs");
    panel.showTransfer(info, computer);
    layOut();
    const TransfersPanel::Row& row = *panel.row(info.id);
    const int connecting = panel.wantedHeight();
    EXPECT_TRUE(inSight(row.pause));
    EXPECT_TRUE(inSight(row.cancel));

    layout.clear();
    info.state = TransferState::Running;
    info.doneBytes = 20'000'000;
    info.bytesPerSecond = 4'800'000;
    info.currentFile = QStringLiteral("Photos of the summer holiday in the archipelago/video.mp4");
    info.currentFileBytes = 1;
    info.currentFileSize = 60'000'000;
    panel.showTransfer(info, computer);
    EXPECT_EQ(layout.count(), 1);
    EXPECT_GT(panel.wantedHeight(), connecting);
    layOut();
    for (const QWidget* w : std::initializer_list<const QWidget*>{
             row.name, row.computer, row.state, row.total, row.currentFile, row.current, row.rate,
             row.timeLeft, row.pause, row.cancel})
        EXPECT_TRUE(inSight(w)) << w->metaObject()->className();
    EXPECT_NE(row.name->shownText(), row.name->text());
    EXPECT_TRUE(row.name->shownText().endsWith(QStringLiteral(" (31 files, 81.4 MB)")))
        << row.name->shownText().toStdString();

    layout.clear();
    info.state = TransferState::Failed;
    info.error = QStringLiteral("the other computer has no room left on its disk for the files");
    panel.showTransfer(info, computer);
    EXPECT_EQ(layout.count(), 1);
    EXPECT_LT(panel.wantedHeight(), connecting + 1);
    layOut();
    EXPECT_TRUE(inSight(row.clear));
    EXPECT_TRUE(inSight(row.state));
    EXPECT_TRUE(row.state->shownText().startsWith(QStringLiteral("failed")))
        << row.state->shownText().toStdString();
}

TEST(TransfersPanel, PeerNamesAreShownAsTextOnOneLine) {
    Shown shown;
    TransfersPanel& panel = *shown.panel;
    TransferInfo info = transferOf(3, false);
    info.name = QStringLiteral("<b>big</b>\nBob: hello");
    info.currentFile = QStringLiteral("dir/\u202Etxt.exe");
    info.state = TransferState::Running;
    panel.showTransfer(info, QStringLiteral("<i>Anna</i>\r\nEve"));
    const TransfersPanel::Row& row = *panel.row(info.id);
    for (const QLabel* label : {row.name, row.computer, row.currentFile}) {
        EXPECT_EQ(label->textFormat(), Qt::PlainText);
        EXPECT_FALSE(label->text().contains(u'\n'));
        EXPECT_FALSE(label->text().contains(u'\r'));
    }
    EXPECT_TRUE(row.name->text().startsWith("<b>big</b> Bob: hello"));
    EXPECT_EQ(row.computer->text(), "from <i>Anna</i> Eve");
    // The override is closed and the whole isolated: it cannot turn what follows around.
    EXPECT_TRUE(row.currentFile->text().startsWith(QChar(0x2068)));
    EXPECT_TRUE(row.currentFile->text().endsWith(QChar(0x2069)));

    // The other side's reason, in the state's tip too, reads as it was sent.
    info.state = TransferState::Declined;
    info.error = QStringLiteral("<b>no</b> room");
    panel.showTransfer(info, QStringLiteral("Anna"));
    const QString tip = row.state->toolTip();
    QTextDocument rendered;
    rendered.setHtml(tip);
    EXPECT_EQ(Qt::mightBeRichText(tip) ? rendered.toPlainText() : tip,
              QStringLiteral("declined: <b>no</b> room"));
}

// The language chosen while the panel shows transfers: every caption and label follows,
// and back again.
TEST(TransfersPanel, SaysEverythingAgainInTheLanguageChosen) {
    Shown shown;
    TransfersPanel& panel = *shown.panel;
    TransferInfo info = transferOf(3, false);
    info.state = TransferState::Running;
    panel.showTransfer(info, "Anna");
    const TransfersPanel::Row& row = *panel.row(info.id);
    const auto* title = panel.findChild<QLabel*>(QStringLiteral("TransfersTitle"));
    ASSERT_NE(title, nullptr);
    const QString english = row.computer->text();

    lang::SetCurrentLanguageFile(lang::LoadLanguageFile(
        lang::languageFileName(QStringLiteral("Suomi")), QStringLiteral(KALVENTO_SOURCE_DIR)));
    ASSERT_NE(lang::CurrentLanguageFile(), nullptr);
    panel.retranslate();
    EXPECT_EQ(title->text(), QStringLiteral("Siirrot"));
    EXPECT_EQ(panel.hideButton()->toolTip(), QStringLiteral("Piilota siirrot"));
    EXPECT_EQ(row.pause->text(), QStringLiteral("Tauko"));
    EXPECT_EQ(row.cancel->text(), QStringLiteral("Peru"));
    EXPECT_EQ(row.showInFolder->text(), QString::fromUtf8("Näytä kansiossa"));
    EXPECT_NE(row.computer->text(), english);
    EXPECT_TRUE(row.computer->text().contains(QStringLiteral("Anna")));

    lang::SetCurrentLanguageFile(nullptr);
    panel.retranslate();
    EXPECT_EQ(title->text(), QStringLiteral("Transfers"));
    EXPECT_EQ(row.pause->text(), QStringLiteral("Pause"));
    EXPECT_EQ(row.computer->text(), english);
}

} // namespace
