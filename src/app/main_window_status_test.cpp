// The user's status between real windows of an in-memory LAN: chosen in the tray menu with a
// text, shown in the other window's list with its dot, its text and its tooltip, named in the
// own tray's tooltip, kept across a restart; Away by itself while the computer is not used or
// its screen is locked, and back after; and the notices of who came, went and changed, as
// comments, one for the answers to a greeting, none with the option off.

#include "app/chat_area.h"
#include "app/main_window.h"
#include "app/status_keeper.h"
#include "desktop/tray_icon.h"
#include "lang/format_message.h"
#include "lang/language_file.h"
#include "lang/message_table.h"
#include "messaging/chat_node.h"
#include "platform/idle_monitor.h"
#include "platform/text_codec.h"

#include "support/main_window_host.h"

#include <QAction>
#include <QInputDialog>
#include <QListView>
#include <QSpinBox>
#include <QToolButton>

#include <gtest/gtest.h>

#include <chrono>
#include <memory>

using namespace kalvento;
using namespace std::chrono_literals;
using network::PeerPresence;
using test::Host;

namespace {

// A desktop whose idle time and lock the test sets.
class FakeIdle : public platform::IdleSource {
public:
    void askIdleTime() override { emit idleTimeKnown(idle); }
    void lock(bool locked) { emit lockedChanged(locked); }
    qint64 idle = 0;
};

// A computer whose desktop is the test's, and whose greeting's answers are counted for a
// short while.
struct StatusHost : Host {
    StatusHost(network::InMemoryHub& hub, const QString& computer,
               const std::vector<test::Key>& keys = {})
        : Host(hub, computer, keys, {}, [](app::MainFormOptions& o) {
              o.idleSource = [] { return std::make_unique<FakeIdle>(); };
              o.greetingBurst = 200ms;
          }) {}
    FakeIdle& idle() { return dynamic_cast<FakeIdle&>(form->status().idleSource()); }
};

int rowOf(Host& host, const QString& computer) {
    for (int row = 0; row < host.listModel().rowCount(); ++row)
        if (host.entry(row).data(network::PeerList::ComputerNameRole).toString() == computer)
            return row;
    return -1;
}

PeerPresence presenceIn(Host& host, const QString& computer) {
    return PeerPresence(
        host.entry(rowOf(host, computer)).data(network::PeerList::PresenceRole).toInt());
}

// How many pixels of the list, as drawn, have the colour.
int pixelsOf(Host& host, const QColor& colour) {
    const QImage drawn = host->Computers()->viewport()->grab().toImage();
    int count = 0;
    for (int y = 0; y < drawn.height(); ++y)
        for (int x = 0; x < drawn.width(); ++x)
            count += drawn.pixelColor(x, y).rgb() == colour.rgb();
    return count;
}

QString notice(lang::MessageId id, const QString& name) {
    return lang::FormatMessage(lang::GetMessageText(id), {platform::isolatedText(name)});
}

void typeStatusText(Host& host, const QString& text) {
    host.dialogs->onModal<QInputDialog>(QStringLiteral("StatusTextDialog"),
                                        [text](QInputDialog& dialog) {
                                            dialog.setTextValue(text);
                                            return true;
                                        });
    host->action("Statustext1")->trigger();
}

class StatusTest : public ::testing::Test {
protected:
    network::InMemoryHub hub;
};

} // namespace

TEST_F(StatusTest, AwayWithATextShowsInTheOtherListAndTheOwnTrayAndOutlivesARestart) {
    StatusHost a(hub, QStringLiteral("PCA"));
    StatusHost b(hub, QStringLiteral("PCB"));
    a->show();
    b->show();
    test::pump(hub, {&a, &b});
    QTest::qWait(250); // the answers to the greetings are told by now
    ASSERT_GE(rowOf(b, QStringLiteral("PCA")), 0);
    const QColor amber = app::statusColor(PeerPresence::Away);
    EXPECT_EQ(pixelsOf(b, amber), 0);

    // From the tray menu, as the user picks it; the text through its dialog.
    a->action("StatusAway1")->trigger();
    typeStatusText(a, QStringLiteral("at <b>lunch</b>"));
    test::pump(hub, {&a, &b});

    const QModelIndex entry = b.entry(rowOf(b, QStringLiteral("PCA")));
    EXPECT_EQ(presenceIn(b, QStringLiteral("PCA")), PeerPresence::Away);
    EXPECT_GT(pixelsOf(b, amber), 0) << "no amber dot in the list";
    const QString isolated = platform::isolatedText(QStringLiteral("at <b>lunch</b>"));
    EXPECT_TRUE(app::entryText(entry).endsWith(isolated)) << app::entryText(entry).toStdString();
    EXPECT_TRUE(
        app::computerToolTip(entry, true)
            .startsWith(app::statusWord(PeerPresence::Away) + QStringLiteral(": ") + isolated))
        << app::computerToolTip(entry, true).toStdString();
    // The own entry carries no status of its own in the list.
    EXPECT_FALSE(app::computerToolTip(a.entry(rowOf(a, QStringLiteral("PCA"))), true)
                     .contains(app::statusWord(PeerPresence::Available)));

    EXPECT_TRUE(a->TrayIcon()->ToolTip().contains(app::statusWord(PeerPresence::Away)))
        << a->TrayIcon()->ToolTip().toStdString();
    EXPECT_EQ(a->status().button()->text(), app::statusWord(PeerPresence::Away));
    EXPECT_TRUE(b.chat().contains(notice(lang::MessageId::M090, QStringLiteral("PCA"))))
        << b.chat().toStdString();

    // Busy, then a restart: the choice and the text come back and go out again.
    a->action("StatusBusy1")->trigger();
    a.start();
    a->show();
    test::pump(hub, {&a, &b});
    EXPECT_EQ(a.ini().value(QStringLiteral("Status"), QStringLiteral("Status")),
              QStringLiteral("2"));
    EXPECT_EQ(a->node().status(), PeerPresence::Busy);
    EXPECT_EQ(a->node().statusText(), QStringLiteral("at <b>lunch</b>"));
    EXPECT_TRUE(a->action("StatusBusy1")->isChecked());
    EXPECT_FALSE(a->action("StatusAway1")->isChecked());
    EXPECT_TRUE(a->TrayIcon()->ToolTip().contains(app::statusWord(PeerPresence::Busy)));

    a->action("StatusAvailable1")->trigger();
    test::pump(hub, {&a, &b});
    EXPECT_EQ(presenceIn(b, QStringLiteral("PCA")), PeerPresence::Available);
    EXPECT_TRUE(b.chat().contains(notice(lang::MessageId::M092, QStringLiteral("PCA"))));
}

TEST_F(StatusTest, ATooLongTextIsCutBetweenCharactersWithAWord) {
    StatusHost a(hub, QStringLiteral("PCA"));
    // 40 two-byte letters, each with a combining accent (two more bytes): 160 bytes.
    QString long_;
    for (int i = 0; i < 40; ++i)
        long_ += QStringLiteral("\u00e4\u0301");
    typeStatusText(a, long_);
    const QString kept =
        a.ini().value(QStringLiteral("Status"), QStringLiteral("Status text")).value_or(QString());
    EXPECT_EQ(kept, long_.left(32)); // 16 letters and their accents: 64 bytes
    EXPECT_EQ(a->node().statusText(), kept);
    ASSERT_EQ(a.dialogs->notices.size(), 1);
    EXPECT_TRUE(a.dialogs->notices.constFirst().contains(kept));

    a.dialogs->notices.clear();
    typeStatusText(a, QStringLiteral("  back   at two "));
    EXPECT_TRUE(a.dialogs->notices.isEmpty());
    EXPECT_EQ(a->node().statusText(), QStringLiteral("back at two"));
}

TEST_F(StatusTest, AwayByItselfWhileIdleOrLockedAndBackToTheChoice) {
    StatusHost a(hub, QStringLiteral("PCA"), {{"Status", "Away after minutes", "5"}});
    StatusHost b(hub, QStringLiteral("PCB"));
    a->show();
    b->show();
    test::pump(hub, {&a, &b});

    QTest::qWait(100); // the window's activation, which is use, is over
    struct Row {
        const char* what;
        std::function<void()> leave;
        std::function<void()> come_back;
    };
    const Row rows[] = {
        {"idle beyond the minutes",
         [&] {
             a.idle().idle = qint64{6} * 60 * 1000;
             a->status().idleMonitor().setLimit(5min); // asks at once
         },
         [&] {
             a.idle().idle = 0;
             a->status().idleMonitor().userActive();
         }},
        {"screen locked", [&] { a.idle().lock(true); }, [&] { a.idle().lock(false); }},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        row.leave();
        QTest::qWait(20);
        test::pump(hub, {&a, &b});
        EXPECT_EQ(presenceIn(b, QStringLiteral("PCA")), PeerPresence::Away);
        EXPECT_TRUE(a->TrayIcon()->ToolTip().contains(app::statusWord(PeerPresence::Away)));
        // The choice is not changed: the file keeps it.
        EXPECT_EQ(a.ini()
                      .value(QStringLiteral("Status"), QStringLiteral("Status"))
                      .value_or(QStringLiteral("0")),
                  QStringLiteral("0"));
        row.come_back();
        QTest::qWait(20);
        test::pump(hub, {&a, &b});
        EXPECT_EQ(presenceIn(b, QStringLiteral("PCA")), PeerPresence::Available);
    }

    // Zero minutes: never, not even locked.
    a.options([](dialogs::TOptionsIkkuna& options) {
        options.findChild<QSpinBox*>(QStringLiteral("AwayAfter"))->setValue(0);
        return true;
    });
    EXPECT_EQ(a.ini().value(QStringLiteral("Status"), QStringLiteral("Away after minutes")),
              QStringLiteral("0"));
    a.idle().lock(true);
    test::pump(hub, {&a, &b});
    EXPECT_EQ(presenceIn(b, QStringLiteral("PCA")), PeerPresence::Available);
}

TEST_F(StatusTest, NoticesOfWhoCameAndWentAreCommentsAndTheAnswersToAGreetingOne) {
    StatusHost b(hub, QStringLiteral("PCB"));
    StatusHost c(hub, QStringLiteral("PCC"));
    b->show();
    c->show();
    test::pump(hub, {&b, &c});
    QTest::qWait(300);
    StatusHost a(hub, QStringLiteral("PCA"));
    a->show();
    test::pump(hub, {&a, &b, &c});
    QTest::qWait(300); // the burst is over
    const QString two = lang::FormatMessage(lang::GetMessageText(lang::MessageId::M088), {"2"});
    EXPECT_TRUE(a.chat().contains(QStringLiteral("--- ") + two)) << a.chat().toStdString();
    EXPECT_FALSE(a.chat().contains(notice(lang::MessageId::M087, QStringLiteral("PCB"))));
    // The others heard of A alone, as it came.
    EXPECT_TRUE(b.chat().contains(notice(lang::MessageId::M087, QStringLiteral("PCA"))))
        << b.chat().toStdString();

    StatusHost quiet(hub, QStringLiteral("PCQ"), {{"Status", "Show join and leave notices", "0"}});
    quiet->show();
    test::pump(hub, {&a, &b, &c, &quiet});
    QTest::qWait(300);
    EXPECT_TRUE(a.chat().contains(notice(lang::MessageId::M087, QStringLiteral("PCQ"))));

    c->action("StatusBusy1")->trigger();
    test::pump(hub, {&a, &b, &c, &quiet});
    c->SessionEnding();
    test::pump(hub, {&a, &b, &quiet});
    EXPECT_TRUE(a.chat().contains(notice(lang::MessageId::M091, QStringLiteral("PCC"))));
    const QString left = notice(lang::MessageId::M089, QStringLiteral("PCC"));
    EXPECT_EQ(a.chat().count(left), 1) << a.chat().toStdString();

    // The option off: the list changes, the chat says nothing of it.
    EXPECT_EQ(rowOf(quiet, QStringLiteral("PCC")), -1);
    for (lang::MessageId id : {lang::MessageId::M087, lang::MessageId::M088, lang::MessageId::M089,
                               lang::MessageId::M091}) {
        const QString pattern = lang::GetMessageText(id);
        const QString tail = pattern.mid(pattern.indexOf(u'%') + 2);
        EXPECT_FALSE(quiet.chat().contains(tail)) << quiet.chat().toStdString();
    }
}
