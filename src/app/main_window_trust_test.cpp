// What the user sees of the identity keys between copies of an in-memory LAN: lines of a
// current copy unmarked, an older copy's lines and the private lines to it marked, a changed
// key warned of and marked until the user takes it, and the safety number both sides
// compare.

#include "app/chat_area.h"
#include "app/chat_view.h"
#include "app/main_window.h"
#include "dialogs/about_box.h"
#include "lang/format_message.h"
#include "lang/language_file.h"
#include "lang/message_table.h"
#include "messaging/chat_node.h"

#include "support/chat_node_probe.h"
#include "support/main_window_host.h"

#include <QAction>
#include <QCheckBox>
#include <QFile>
#include <QLabel>
#include <QTextBlock>
#include <QTextCursor>

#include <gtest/gtest.h>

using namespace kalvento;
using test::Host;

namespace {

QString message(lang::MessageId id) {
    return lang::GetMessageText(id);
}

// The row of a computer in a window's list; -1 when it is not listed.
int rowOf(Host& host, const QString& computer) {
    for (int row = 0; row < host.listModel().rowCount(); ++row)
        if (host.entry(row).data(network::PeerList::ComputerNameRole).toString() == computer)
            return row;
    return -1;
}

network::PeerTrust trustShown(Host& host, const QString& computer) {
    const int row = rowOf(host, computer);
    return network::PeerTrust(host.entry(row).data(network::PeerList::TrustRole).toInt());
}

// The tooltip of the view where the user would point at the first character of what.
QString toolTipOver(app::TChatView& view, const QString& what) {
    const QTextCursor found = view.document()->find(what);
    if (found.isNull())
        return QStringLiteral("<%1 not shown>").arg(what);
    QTextCursor at(view.document());
    at.setPosition(found.selectionStart() + 1);
    const QRect before = view.cursorRect(at);
    at.setPosition(found.selectionStart() + 2);
    const QRect after = view.cursorRect(at);
    return view.toolTipAt(QPoint((before.left() + after.left()) / 2, before.center().y()));
}

// Private, to the computer alone, as the user ticks and types it.
void sayPrivately(Host& from, const QString& computer, const QString& text) {
    for (int row = 0; row < from.listModel().rowCount(); ++row)
        from.setCheckState(row, row == rowOf(from, computer) ? Qt::Checked : Qt::Unchecked);
    from->Privaatti()->setChecked(true);
    from.type(text);
}

// The popup as a right click on the computer's entry opens it.
void popupOn(Host& host, const QString& computer) {
    host.select(rowOf(host, computer));
    host->ComputerPopupPopup();
}

// An older copy: a chat without a key on the same LAN.
struct OlderCopy {
    network::InMemoryNetwork network;
    messaging::ChatNode node;
    QStringList lines;
    OlderCopy(network::InMemoryHub& hub, const QString& name)
        : network(hub, name, test::Group), node(network) {
        test::onLine(node, &node,
                     [this](const messaging::ReceivedLine& line) { lines << line.text; });
    }
};

void pumpAll(network::InMemoryHub& hub, const std::vector<Host*>& hosts,
             messaging::ChatNode* older = nullptr) {
    for (int round = 0; round < 100; ++round) {
        const quint64 before = hub.deliveredCount();
        for (Host* host : hosts)
            test::ChatNodeProbe(host->form->node()).receive();
        if (older)
            test::ChatNodeProbe(*older).receive();
        if (hub.deliveredCount() == before)
            return;
    }
    FAIL() << "the LAN never went quiet";
}

class TrustTest : public ::testing::Test {
protected:
    network::InMemoryHub hub;
};

TEST_F(TrustTest, CurrentCopiesCompareOneSafetyNumberAndTheVerifiedMarkOutlivesARestart) {
    Host a(hub, QStringLiteral("PCA"));
    Host b(hub, QStringLiteral("PCB"));
    a->show();
    b->show();
    pumpAll(hub, {&a, &b});
    b.type(QStringLiteral("hello there"));
    pumpAll(hub, {&a, &b});
    // Sealed for each other, signed by a key seen first: no mark, and the entry says so.
    EXPECT_TRUE(a.chat().contains(QStringLiteral("PCB: hello there"))) << a.chat().toStdString();
    EXPECT_FALSE(a.chat().contains(message(lang::MessageId::M070)));
    EXPECT_EQ(trustShown(a, QStringLiteral("PCB")), network::PeerTrust::Pinned);
    EXPECT_TRUE(a.dialogs->errors.isEmpty()) << a.dialogs->errors.join(u'\n').toStdString();

    // The key the others pinned is the one the about box and the options show.
    const QString printA = a->node().ownFingerprint();
    EXPECT_EQ(printA, b->node().peerKey(QStringLiteral("PCA")).fingerprint);
    EXPECT_EQ(printA.size(), 35); // six groups of five digits
    QString aboutShows;
    a.dialogs->onModal<dialogs::TAboutBox>(
        QStringLiteral("AboutBox"),
        [&](dialogs::TAboutBox& box) { aboutShows = box.label("Fingerprint")->text(); });
    a->btnInfoClick();
    EXPECT_EQ(aboutShows, printA);
    QString optionsShow;
    a.options([&](dialogs::TOptionsIkkuna& options) {
        optionsShow = options.findChild<QLabel*>(QStringLiteral("OwnFingerprint"))->text();
        return false;
    });
    EXPECT_EQ(optionsShow, printA);

    QAction* verify = a->action("Verify1");
    QAction* accept = a->action("Acceptnewkey1");
    popupOn(a, QStringLiteral("PCA")); // its own entry: nothing to compare
    EXPECT_FALSE(verify->isEnabled());
    popupOn(a, QStringLiteral("PCB"));
    EXPECT_TRUE(verify->isEnabled());
    EXPECT_FALSE(accept->isEnabled());

    // The user closes the box without confirming: nothing changes.
    verify->trigger();
    ASSERT_EQ(a.dialogs->notices.size(), 1);
    EXPECT_EQ(trustShown(a, QStringLiteral("PCB")), network::PeerTrust::Pinned);

    // Both people see the same twelve groups, each naming the other.
    popupOn(b, QStringLiteral("PCA"));
    b.dialogs->chooseAction = true;
    b->action("Verify1")->trigger();
    ASSERT_EQ(b.dialogs->notices.size(), 1);
    const QString atA = a.dialogs->notices.first();
    const QString atB = b.dialogs->notices.first();
    EXPECT_TRUE(atA.contains(QStringLiteral("PCB")));
    EXPECT_TRUE(atB.contains(QStringLiteral("PCA")));
    const QString digitsA = atA.section(QStringLiteral("\n\n"), 1);
    EXPECT_EQ(digitsA, atB.section(QStringLiteral("\n\n"), 1));
    EXPECT_EQ(digitsA.split(u'\n').size(), 3);
    EXPECT_TRUE(digitsA.contains(a->node().ownFingerprint().left(11)));
    EXPECT_EQ(trustShown(b, QStringLiteral("PCA")), network::PeerTrust::Verified);
    EXPECT_TRUE(b.listTexts().contains(QStringLiteral("PCA (@ WORKGROUP) \u2713")))
        << b.listTexts().join(u'|').toStdString();

    // The book goes with the settings and is read again at the next start.
    b.start();
    b->show();
    pumpAll(hub, {&a, &b});
    EXPECT_TRUE(QFile::exists(b.dir.filePath(QStringLiteral("known-keys.txt"))));
    EXPECT_EQ(trustShown(b, QStringLiteral("PCA")), network::PeerTrust::Verified);
}

TEST_F(TrustTest, AnOlderCopyIsMarkedAndPrivateLinesToItSayHowTheyWent) {
    Host a(hub, QStringLiteral("PCA"));
    OlderCopy old(hub, QStringLiteral("OLDPC"));
    a->show();
    old.node.greet();
    pumpAll(hub, {&a}, &old.node);
    ASSERT_GE(rowOf(a, QStringLiteral("OLDPC")), 0);
    old.node.send({QStringLiteral("from the old copy")}, false, false);
    pumpAll(hub, {&a}, &old.node);

    // Its line carries a quiet mark that says why when pointed at; its entry says the same.
    const QString marked = QStringLiteral("OLDPC (") + message(lang::MessageId::M070) +
                           QStringLiteral("): from the old copy");
    EXPECT_TRUE(a.chat().contains(marked)) << a.chat().toStdString();
    EXPECT_EQ(toolTipOver(*a->Chat(), message(lang::MessageId::M070)),
              message(lang::MessageId::M071));
    EXPECT_EQ(toolTipOver(*a->Chat(), QStringLiteral("from the old copy")), QString());
    EXPECT_EQ(trustShown(a, QStringLiteral("OLDPC")), network::PeerTrust::Plain);
    popupOn(a, QStringLiteral("OLDPC"));
    EXPECT_FALSE(a->action("Verify1")->isEnabled());

    // A private line goes to it unencrypted, and the sender's view says so.
    sayPrivately(a, QStringLiteral("OLDPC"), QStringLiteral("just for you"));
    pumpAll(hub, {&a}, &old.node);
    EXPECT_TRUE(old.lines.contains(QStringLiteral("just for you")));
    const QString plainMark =
        lang::FormatMessage(message(lang::MessageId::M074), {QStringLiteral("OLDPC")});
    EXPECT_TRUE(
        a.chat().contains(QStringLiteral("(") + plainMark + QStringLiteral("): just for you")))
        << a.chat().toStdString();
    EXPECT_EQ(toolTipOver(*a->Chat(), plainMark), message(lang::MessageId::M075));

    // Refused by the user's choice: kept from it, said under the line, no box, and the
    // text stays to be sent otherwise.
    a.options([](dialogs::TOptionsIkkuna& options) {
        auto* plain = options.findChild<QCheckBox*>(QStringLiteral("PlainPrivateLines"));
        EXPECT_TRUE(plain->isChecked()); // on by default
        plain->setChecked(false);
        return true;
    });
    EXPECT_EQ(a.ini()
                  .value(QStringLiteral("Network"),
                         QStringLiteral("Send private lines unencrypted to older copies"))
                  .value_or(QString()),
              QStringLiteral("0"));
    sayPrivately(a, QStringLiteral("OLDPC"), QStringLiteral("not for plain eyes"));
    pumpAll(hub, {&a}, &old.node);
    EXPECT_FALSE(old.lines.contains(QStringLiteral("not for plain eyes")));
    EXPECT_TRUE(a.chat().contains(
        lang::FormatMessage(message(lang::MessageId::M076), {QStringLiteral("OLDPC")})))
        << a.chat().toStdString();
    EXPECT_TRUE(a.dialogs->errors.isEmpty()) << a.dialogs->errors.join(u'\n').toStdString();
    EXPECT_EQ(a->Message()->text(), QStringLiteral("not for plain eyes"));
}

TEST_F(TrustTest, AChangedKeyIsWarnedOfAndItsLinesMarkedUntilTheUserTakesIt) {
    Host a(hub, QStringLiteral("PCA"));
    Host b(hub, QStringLiteral("PCB"));
    a->show();
    b->show();
    pumpAll(hub, {&a, &b});
    const QString oldPrint = a->node().peerKey(QStringLiteral("PCB")).fingerprint;
    ASSERT_EQ(oldPrint, b->node().ownFingerprint());

    // PCB comes back with a new key (a new installation, or somebody else in its name).
    ASSERT_TRUE(QFile::remove(b.dir.filePath(QStringLiteral("identity.key"))));
    b.start();
    b->show();
    pumpAll(hub, {&a, &b});
    const QString newPrint = b->node().ownFingerprint();
    ASSERT_NE(newPrint, oldPrint);
    EXPECT_TRUE(a.chat().contains(QStringLiteral("The key of PCB has changed.")))
        << a.chat().toStdString();
    EXPECT_TRUE(a.chat().contains(QStringLiteral("Before: ") + oldPrint));
    EXPECT_TRUE(a.chat().contains(QStringLiteral("Now: ") + newPrint));
    EXPECT_TRUE(a.listTexts().contains(QStringLiteral("\u26A0 PCB (@ WORKGROUP)")))
        << a.listTexts().join(u'|').toStdString();

    b.type(QStringLiteral("trust me"));
    pumpAll(hub, {&a, &b});
    const QString changedMark = QStringLiteral("(") + message(lang::MessageId::M072) + u')';
    EXPECT_TRUE(
        a.chat().contains(QStringLiteral("PCB ") + changedMark + QStringLiteral(": trust me")))
        << a.chat().toStdString();
    EXPECT_EQ(toolTipOver(*a->Chat(), message(lang::MessageId::M072)),
              lang::FormatMessage(message(lang::MessageId::M073), {QStringLiteral("PCB")}));
    // Nothing private goes to a key the user has not taken, and the chat says why and what
    // to do, not that the computer cannot take encrypted lines.
    sayPrivately(a, QStringLiteral("PCB"), QStringLiteral("are you you?"));
    EXPECT_TRUE(a.chat().contains(
        lang::FormatMessage(message(lang::MessageId::M182), {QStringLiteral("PCB")})))
        << a.chat().toStdString();
    EXPECT_FALSE(a.chat().contains(
        lang::FormatMessage(message(lang::MessageId::M076), {QStringLiteral("PCB")})));

    QAction* accept = a->action("Acceptnewkey1");
    popupOn(a, QStringLiteral("PCB"));
    EXPECT_TRUE(accept->isEnabled());
    EXPECT_FALSE(a->action("Verify1")->isEnabled());
    a.dialogs->notices.clear();
    accept->trigger(); // shown, not confirmed
    ASSERT_EQ(a.dialogs->notices.size(), 1);
    EXPECT_TRUE(a.dialogs->notices.first().contains(oldPrint));
    EXPECT_TRUE(a.dialogs->notices.first().contains(newPrint));
    EXPECT_EQ(trustShown(a, QStringLiteral("PCB")), network::PeerTrust::Changed);
    a.dialogs->chooseAction = true;
    // Yet another key arrives while the user reads the box: confirming it does not take a
    // key the user was not shown.
    a.dialogs->whileNoticeIsUp = [&] {
        ASSERT_TRUE(QFile::remove(b.dir.filePath(QStringLiteral("identity.key"))));
        b.start();
        b->show();
        pumpAll(hub, {&a, &b});
    };
    accept->trigger();
    a.dialogs->whileNoticeIsUp = nullptr;
    const QString thirdPrint = b->node().ownFingerprint();
    EXPECT_EQ(trustShown(a, QStringLiteral("PCB")), network::PeerTrust::Changed);
    EXPECT_EQ(a->node().peerKey(QStringLiteral("PCB")).offeredFingerprint, thirdPrint);
    popupOn(a, QStringLiteral("PCB"));
    accept->trigger();
    EXPECT_EQ(trustShown(a, QStringLiteral("PCB")), network::PeerTrust::Pinned);
    EXPECT_TRUE(a.listTexts().contains(QStringLiteral("PCB (@ WORKGROUP)")));

    b.type(QStringLiteral("thank you"));
    pumpAll(hub, {&a, &b});
    EXPECT_TRUE(a.chat().contains(QStringLiteral("PCB: thank you"))) << a.chat().toStdString();
}

TEST(TrustMarks, AnEntryNotHeardFromSaysSinceWhen) {
    using network::PeerPresence;
    const QDateTime at(QDate(2026, 12, 9), QTime(14, 5, 30));
    EXPECT_EQ(app::presenceNote(PeerPresence::Absent, at),
              u'(' +
                  lang::FormatMessage(message(lang::MessageId::M086), {QStringLiteral("14:05")}) +
                  u')');
    EXPECT_EQ(app::presenceNote(PeerPresence::Available, at), QString());
    EXPECT_EQ(app::presenceNote(PeerPresence::Absent, QDateTime()), QString());
}

TEST(TrustMarks, EntriesSayWhatIsKnownOfTheirKeys) {
    using network::PeerTrust;
    // A copy without a key of its own cannot tell an older copy from a current one.
    EXPECT_EQ(app::entryToolTip(PeerTrust::Plain, false), QString());
    EXPECT_EQ(app::entryToolTip(PeerTrust::Plain, true), message(lang::MessageId::M078));
}

} // namespace
