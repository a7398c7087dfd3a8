// What the user sees of their lines' delivery, of the outbox and of the lines caught up
// after an absence, in real windows on an in-memory LAN: the events reach the window the
// way the chat reports them (its one signal), and the sends' outcomes are shown the way a
// send shows them.

#include "app/chat_controller.h"
#include "app/chat_view.h"
#include "app/delivery_marks.h"
#include "app/main_window.h"
#include "app/waiting_lines_dialog.h"
#include "desktop/alert_icon.h"
#include "lang/format_message.h"
#include "lang/language_file.h"
#include "lang/message_table.h"
#include "messaging/chat_node.h"

#include "support/chat_node_probe.h"
#include "support/main_window_host.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QContextMenuEvent>
#include <QLabel>
#include <QLocale>
#include <QMenu>
#include <QPushButton>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>
#include <QToolTip>
#include <QTreeWidget>

#include <gtest/gtest.h>

using namespace kalvento;
using messaging::DeliveryChanged;
using State = DeliveryChanged::State;
using test::Host;

namespace {

QString message(lang::MessageId id) {
    return lang::GetMessageText(id);
}

// The chat reports something to the window.
void report(Host& host, const messaging::ChatEvent& event) {
    emit host->node().chatEvent(event);
}

void delivery(Host& host, quint64 item, const QString& computer, State state, quint64 lineId = 0) {
    DeliveryChanged change;
    change.item = item;
    change.computer = computer;
    change.state = state;
    change.lineId = lineId;
    report(host, change);
}

messaging::ReceivedLine line(const QString& sender, const QString& text, bool own = false,
                             quint64 lineId = 0) {
    messaging::ReceivedLine received;
    received.own = own;
    received.senderName = sender;
    received.senderComputer = sender;
    received.text = text;
    received.lineId = lineId;
    received.encrypted = true;
    received.senderTrust = network::PeerTrust::Pinned;
    return received;
}

// What a send that expects receipts from tracked gave back.
messaging::LineOutcome sent(quint64 item, const QStringList& tracked, const QString& text,
                            bool isPrivate = false, QList<quint64> lineIds = {}) {
    messaging::LineOutcome outcome;
    outcome.isPrivate = isPrivate;
    outcome.item = item;
    outcome.tracked = tracked;
    outcome.lineIds = std::move(lineIds);
    outcome.messages = {messaging::OutgoingMessage{false, {text}}};
    outcome.recipients = isPrivate ? tracked : QStringList{};
    outcome.result.sent = int(tracked.size());
    return outcome;
}

app::ChatController& controller(Host& host) {
    return *host->findChild<app::ChatController*>();
}
app::DeliveryMarks& marks(Host& host) {
    return *host->findChild<app::DeliveryMarks*>();
}

// The line of the chat that holds what, as the user reads it.
QString lineWith(Host& host, const QString& what) {
    for (const QString& shown : host.chat().split(u'\n')) {
        if (shown.contains(what))
            return shown;
    }
    return QStringLiteral("<%1 not shown>").arg(what);
}

QTextCursor lastMatch(app::TChatView& view, const QString& what) {
    QTextCursor found;
    for (QTextCursor next = view.document()->find(what); !next.isNull();
         next = view.document()->find(what, next))
        found = next;
    return found;
}

// The tooltip of the view where the user would point at the first character of what (the
// last one shown).
QString toolTipOver(app::TChatView& view, const QString& what) {
    const QTextCursor found = lastMatch(view, what);
    if (found.isNull())
        return QStringLiteral("<%1 not shown>").arg(what);
    QTextCursor at(view.document());
    at.setPosition(found.selectionStart() + 1);
    const QRect before = view.cursorRect(at);
    at.movePosition(QTextCursor::NextCharacter);
    const QRect after = view.cursorRect(at);
    return view.toolTipAt(QPoint((before.left() + after.left()) / 2, before.center().y()));
}

// A right click on what in the chat: whether the popup offers "Send again".
bool offersSendAgain(Host& host, const QString& what) {
    app::TChatView& view = *host->Chat();
    view.verticalScrollBar()->setValue(view.verticalScrollBar()->maximum());
    const QTextCursor found = lastMatch(view, what);
    if (found.isNull()) {
        ADD_FAILURE() << what.toStdString() << " not shown";
        return false;
    }
    QTextCursor at(view.document());
    at.setPosition(found.selectionStart());
    const QPoint point = view.cursorRect(at).center() + QPoint(2, 0);
    QContextMenuEvent click(QContextMenuEvent::Mouse, point, view.viewport()->mapToGlobal(point));
    QApplication::sendEvent(view.viewport(), &click);
    const bool offered = marks(host).sendAgainAction()->isVisible();
    view.ChatPopup()->close();
    return offered;
}

class DeliveryTest : public ::testing::Test {
protected:
    void SetUp() override { host->show(); }
    network::InMemoryHub hub;
    Host host{hub, QStringLiteral("PCA")};
};

TEST_F(DeliveryTest, MarkOfAPublicLineChangesInPlaceAsReceiptsComeAndLinesFollowIt) {
    controller(host).showSent(sent(42, {"PCB", "PCC", "PCD"}, "hello all", false, {0x1234}));
    // Its own line comes back: the mark goes beside it, pending.
    report(host, messaging::LineReceived{line("PCA", "hello all", true, 0x1234)});
    EXPECT_EQ(lineWith(host, "hello all"), "PCA: hello all \u2026");
    EXPECT_EQ(toolTipOver(*host->Chat(), "\u2026"), "delivered to 0 of 3");

    struct Step {
        const char* computer;
        State state;
        const char* shown;
        const char* mark;
        const char* toolTip;
    } steps[] = {
        {"PCB", State::Delivered, "PCA: hello all ✓ 1/3", "✓", "delivered to 1 of 3"},
        {"PCC", State::Delivered, "PCA: hello all ✓ 2/3", "✓", "delivered to 2 of 3"},
        {"PCB", State::Read, "PCA: hello all ✓ 2/3", "✓", "delivered to 2 of 3; read by PCB"},
        {"PCD", State::Failed, "PCA: hello all ⚠ not delivered", "⚠",
         "delivered to 2 of 3; not delivered: PCD; read by PCB"},
    };
    int others = 0;
    for (const Step& step : steps) {
        SCOPED_TRACE(step.shown);
        // Lines of others come between the receipts.
        const QString later = QStringLiteral("later line %1").arg(++others);
        report(host, messaging::LineReceived{line("PCB", later)});
        delivery(host, 42, QString::fromLatin1(step.computer), step.state);
        EXPECT_EQ(lineWith(host, "hello all"), QString::fromUtf8(step.shown));
        EXPECT_EQ(toolTipOver(*host->Chat(), QString::fromUtf8(step.mark)),
                  QString::fromUtf8(step.toolTip));
        EXPECT_EQ(lineWith(host, later), "PCB: " + later);
    }
    EXPECT_EQ(host.chat().count(u'\u26A0'), 1) << host.chat().toStdString();
    // "Send again" is offered on the line that was not delivered, on no other.
    EXPECT_TRUE(offersSendAgain(host, "hello all"));
    EXPECT_FALSE(offersSendAgain(host, "later line 1"));
    // The log keeps the line as it was said, without the mark of the moment.
    const QString log = host->Chat()->unsavedLines().toPlainText();
    EXPECT_TRUE(log.contains("PCA: hello all\n")) << log.toStdString();
    EXPECT_FALSE(log.contains(u'\u26A0'));
}

TEST_F(DeliveryTest, PrivateEchoCarriesItsMarkAndTheOutboxShowsWaitingThenCancelled) {
    messaging::LineOutcome outcome = sent(50, {"PCB"}, "just for you", true);
    outcome.waiting = {"PCC"};
    outcome.recipients = {"PCB", "PCC"};
    controller(host).showSent(outcome);
    const QString to = message(lang::MessageId::M005);
    EXPECT_EQ(lineWith(host, "just for you"), to + " PCB, PCC: just for you ◷ waiting");
    EXPECT_EQ(toolTipOver(*host->Chat(), "◷"), "delivered to 0 of 2; waiting for PCC");
    EXPECT_FALSE(offersSendAgain(host, "just for you"));

    delivery(host, 50, "PCB", State::Delivered);
    delivery(host, 50, "PCC", State::Cancelled);
    EXPECT_EQ(lineWith(host, "just for you"), to + " PCB, PCC: just for you ✓");
    EXPECT_EQ(toolTipOver(*host->Chat(), "✓"), "delivered to 1 of 1; cancelled: PCC");

    messaging::LineOutcome queued = sent(51, {}, "when you are back", true);
    queued.waiting = {"PCC"};
    queued.recipients = {"PCC"};
    queued.result.sent = 1;
    controller(host).showSent(queued);
    EXPECT_EQ(lineWith(host, "when you are back"), to + " PCC: when you are back ◷ waiting");
    delivery(host, 51, "PCC", State::Cancelled);
    EXPECT_EQ(lineWith(host, "when you are back"), to + " PCC: when you are back cancelled");
    // The earlier line's mark did not move.
    EXPECT_EQ(lineWith(host, "just for you"), to + " PCB, PCC: just for you ✓");
}

// Names in a tooltip are peer data: what looks like markup is shown as it is written.
TEST_F(DeliveryTest, TooltipsShowPeerNamesAsText) {
    const QString forged = QStringLiteral("<img src=x><b>PCX</b>");
    controller(host).showSent(sent(70, {forged}, "a line", true));
    app::TChatView& view = *host->Chat();
    const QTextCursor found = lastMatch(view, QStringLiteral("…"));
    ASSERT_FALSE(found.isNull());
    QTextCursor at(view.document());
    at.setPosition(found.selectionStart() + 1);
    const QPoint point = view.cursorRect(at).center() - QPoint(2, 0);
    ASSERT_EQ(view.toolTipAt(point), "delivered to 0 of 1");
    delivery(host, 70, forged, State::Failed);
    const QString tip = view.toolTipAt(point);
    ASSERT_EQ(tip, "delivered to 0 of 1; not delivered: " + forged);
    QHelpEvent help(QEvent::ToolTip, point, view.viewport()->mapToGlobal(point));
    QApplication::sendEvent(view.viewport(), &help);
    // Shown escaped: the tag's characters are on screen, not an image and bold text.
    EXPECT_TRUE(QToolTip::text().contains(forged.toHtmlEscaped()))
        << QToolTip::text().toStdString();
    QToolTip::hideText();
}

TEST_F(DeliveryTest, MarkSurvivesHistoryAboveItAndAClearedChat) {
    controller(host).showSent(sent(60, {"PCB"}, "first words", false, {0x60}));
    report(host, messaging::LineReceived{line("PCA", "first words", true, 0x60)});
    report(host, messaging::LineReceived{line("PCB", "an answer")});
    // History shown above what is there moves the mark along.
    QTextCursor top(host->Chat()->document());
    top.insertText(QStringLiteral("older line"));
    top.insertBlock();
    delivery(host, 60, "PCB", State::Delivered);
    EXPECT_EQ(lineWith(host, "first words"), "PCA: first words ✓");
    EXPECT_EQ(lineWith(host, "older line"), "older line");
    EXPECT_EQ(lineWith(host, "an answer"), "PCB: an answer");

    // Once the user cleared the chat, what comes after the mark's line is left alone.
    host->Chat()->Clearchat1Click();
    report(host, messaging::LineReceived{line("PCB", "after the clearing")});
    delivery(host, 60, "PCB", State::Read);
    EXPECT_EQ(host.chat().trimmed(), "PCB: after the clearing");
}

TEST_F(DeliveryTest, AnOutboxLineOfAnEarlierRunIsToldOfWhenSettled) {
    struct Case {
        State state;
        lang::MessageId notice; // the notice, when one is shown
        bool shown;
    } cases[] = {
        {State::Waiting, lang::MessageId::M110, false},
        {State::Sent, lang::MessageId::M110, false},
        {State::Delivered, lang::MessageId::M110, true},
        {State::Failed, lang::MessageId::M111, true},
        {State::Expired, lang::MessageId::M112, true},
    };
    const QDateTime queuedAt = QDateTime(QDate::currentDate(), QTime(10, 2));
    const QString when = QLocale::system().toString(QTime(10, 2), QLocale::ShortFormat);
    for (const Case& c : cases) {
        SCOPED_TRACE(messaging::deliveryStateName(c.state));
        host->Chat()->Clearchat1Click();
        DeliveryChanged change;
        change.computer = "PCB";
        change.state = c.state;
        change.lineId = 77;
        change.queuedAt = queuedAt;
        change.text = "<b>meet</b> at the\nstation before the train leaves at noon";
        report(host, change);
        if (!c.shown) {
            EXPECT_TRUE(host->Chat()->isChatEmpty()) << host.chat().toStdString();
            continue;
        }
        // Peer text as data: the markup stays text, the line break a blank, the end cut
        // visibly.
        EXPECT_EQ(host.chat().trimmed(),
                  "--- " +
                      lang::FormatMessage(
                          message(c.notice),
                          {"PCB", when, "<b>meet</b> at the station before the tr\u2026"}) +
                      " ---");
    }
}

TEST_F(DeliveryTest, CaughtUpLinesShowTheirTimeAndMarkAndRaiseNoAlertEach) {
    Host away(hub, QStringLiteral("PCE"), {{"Messages", "Show message time", "1"}});
    away->show();
    away->showMinimized();
    desktop::AlertIcon& alert = *away->alertIcon();
    // A line as it comes, in a minimized window, alerts: what the lines below are measured
    // against.
    report(away, messaging::LineReceived{line("PCB", "right now")});
    ASSERT_TRUE(alert.isFlashing() || alert.isShown());
    away->Chat()->Clearchat1Click();
    alert.DeleteIcon();

    const QDateTime saidAt(test::fixedNow.date(), QTime(10, 2, 30));
    const QDateTime yesterday(test::fixedNow.date().addDays(-1), QTime(23, 59, 1));
    const QLocale locale = QLocale::system();
    const QString time = locale.toString(saidAt.time(), QLocale::LongFormat);
    const QString dated = locale.toString(yesterday.date(), QLocale::ShortFormat) + u' ' +
                          locale.toString(yesterday.time(), QLocale::LongFormat);
    for (const auto& [text, when] : {std::pair{"said last night", yesterday},
                                     {"said this morning", saidAt},
                                     {"said again", saidAt}}) {
        messaging::ReceivedLine caught = line("PCB", QString::fromLatin1(text));
        caught.caughtUp = true;
        caught.sentAt = when;
        report(away, messaging::LineReceived{caught});
    }
    report(away, messaging::CaughtUp{3});
    const QString mark = message(lang::MessageId::M113);
    EXPECT_EQ(lineWith(away, "said last night"),
              "PCB (" + dated + ") (" + mark + "): said last night");
    EXPECT_EQ(lineWith(away, "said this morning"),
              "PCB (" + time + ") (" + mark + "): said this morning");
    EXPECT_EQ(toolTipOver(*away->Chat(), mark),
              lang::FormatMessage(message(lang::MessageId::M114), {time}));
    EXPECT_EQ(lineWith(away, "missed"),
              "--- " + lang::FormatMessage(message(lang::MessageId::M116), {"3"}) + " ---");
    EXPECT_FALSE(alert.isFlashing() || alert.isShown());
}

TEST_F(DeliveryTest, WaitingLinesListAndCancelTheChosenOne) {
    const QDateTime since(QDate(2024, 3, 5), QTime(9, 30));
    const QList<messaging::WaitingLine> lines = {
        {0xA1, "PCB", since, "first waiting line"},
        {0xA2, "PCC", since.addSecs(60), "second\nwaiting line"},
    };
    QList<quint64> asked;
    app::WaitingLinesDialog dialog(
        lines,
        [&](const messaging::WaitingLine& waiting) {
            asked.append(waiting.lineId);
            return waiting.lineId == 0xA1; // the other one left meanwhile
        },
        [](const QString& computer) { return "name of " + computer; });
    QTreeWidget& list = *dialog.list();
    ASSERT_EQ(list.topLevelItemCount(), 2);
    EXPECT_EQ(list.topLevelItem(0)->text(0), "name of PCB");
    EXPECT_EQ(list.topLevelItem(0)->text(1),
              QLocale::system().toString(since, QLocale::ShortFormat));
    EXPECT_EQ(list.topLevelItem(1)->text(2), "second waiting line");

    list.setCurrentItem(list.topLevelItem(1));
    dialog.cancelButton()->click();
    EXPECT_EQ(asked, QList<quint64>{0xA2});
    EXPECT_EQ(dialog.status()->text(), message(lang::MessageId::M123));
    ASSERT_EQ(list.topLevelItemCount(), 1);
    EXPECT_EQ(dialog.lines().value(0).lineId, 0xA1u);

    list.setCurrentItem(list.topLevelItem(0));
    dialog.cancelButton()->click();
    EXPECT_EQ(asked, (QList<quint64>{0xA2, 0xA1}));
    EXPECT_TRUE(dialog.status()->text().isEmpty());
    EXPECT_EQ(list.topLevelItemCount(), 0);
    EXPECT_FALSE(dialog.cancelButton()->isEnabled());
}

TEST_F(DeliveryTest, WaitingLinesIsOfferedOnlyWithLinesInTheOutbox) {
    QMenu& popup = *host->ComputerPopup();
    emit popup.aboutToShow();
    QAction* waiting = marks(host).waitingLinesAction();
    EXPECT_TRUE(popup.actions().contains(waiting));
    EXPECT_EQ(waiting->isEnabled(), !host->node().waitingLines().isEmpty());
}

TEST(ReadReporter, TellsOfLinesShownWhileTheUserLooksAndOfTheOthersWhenTheyComeBack) {
    QWidget window;
    int told = 0;
    app::ReadReporter reporter(window, [&] { ++told; });
    reporter.lineShown(); // hidden
    EXPECT_EQ(told, 0);
    EXPECT_TRUE(reporter.unread());
    window.show();
    window.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
    EXPECT_EQ(told, 1);
    reporter.lineShown();
    reporter.lineShown();
    EXPECT_EQ(told, 3);
    window.showMinimized();
    QTest::qWait(20);
    if (!window.isMinimized())
        GTEST_SKIP() << "this platform does not minimize windows";
    reporter.lineShown();
    EXPECT_EQ(told, 3);
    window.showNormal();
    window.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
    EXPECT_EQ(told, 4);
    EXPECT_FALSE(reporter.unread());
}

// Between two current copies, without any event made up: a private line gets its receipt.
TEST_F(DeliveryTest, APrivateLineBetweenCurrentCopiesIsMarkedDelivered) {
    Host other(hub, QStringLiteral("PCB"));
    other->show();
    test::pump(hub, {&host, &other});
    for (int row = 0; row < host.listModel().rowCount(); ++row)
        host.setCheckState(
            row, host.entry(row).data().toString().startsWith("PCB") ? Qt::Checked : Qt::Unchecked);
    host->Privaatti()->setChecked(true);
    host.type("did you get this");
    if (marks(host).table().size() == 0)
        GTEST_SKIP() << "needs receipts in the node";
    test::pump(hub, {&host, &other});
    EXPECT_EQ(lineWith(host, "did you get this"),
              message(lang::MessageId::M005) + " PCB: did you get this ✓");
}

} // namespace
