// Receipts between copies with keys on an in-memory LAN: delivered and read per recipient,
// no receipt from an older copy, lines sent again with backoff and then failed, "Send
// again", a line sent again shown once; and the wire forms of the trailer and the receipt.

#include "messaging/delivery.h"

#include "messaging/chat_node.h"
#include "messaging/chat_protocol.h"
#include "network/memory_network.h"

#include "support/chat_node_probe.h"
#include "support/keyed_lan.h"
#include "support/qt_print.h"

#include <QDateTime>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace kalvento;
using namespace std::chrono_literals;
using messaging::ChatNode;
using messaging::DeliveryChanged;
using messaging::DeliveryTracker;
using State = messaging::DeliveryChanged::State;
using test::ChatNodeProbe;
using test::EventLog;
using test::keyFor;
using test::RecordingNetwork;

namespace {

const QString kGroup = QStringLiteral("WG");

QStringList told(const EventLog& log) {
    QStringList out;
    for (const auto& e : log.of<DeliveryChanged>())
        out.append(e.computer + ' ' + messaging::deliveryStateName(e.state));
    return out;
}

// PC1, PC2 and PC3 are copies with keys, PC4 an older copy without. Every copy has greeted
// and been answered, and the copies with keys have told each other they are there.
struct DeliveryLan : ::testing::Test {
    void SetUp() override {
        for (auto [node, seed] : {std::pair<ChatNode*, char>{&a, 1}, {&b, 2}, {&c, 3}})
            node->setIdentityKey(keyFor(seed));
        ChatNodeProbe(a).session().setDelivery(DeliveryTracker([this] { return now; }));
        for (ChatNode* node : nodes()) {
            node->walk();
            ChatNodeProbe(*node).session().SendGreeting();
            settle();
        }
        for (ChatNode* node : nodes())
            ASSERT_EQ(node->peers().count(), 4);
    }
    std::vector<ChatNode*> nodes() { return nodesNow; }
    void settle() {
        for (int round = 0; round < 10; ++round) {
            for (ChatNode* node : nodes())
                ChatNodeProbe(*node).receive();
            for (ChatNode* node : nodes())
                ChatNodeProbe(*node).session().sendReceipts();
        }
    }
    void tick(std::initializer_list<const char*> computers) {
        for (int i = 0; i < a.peers().count(); ++i)
            a.setTicked(i, false);
        for (const char* computer : computers)
            a.setTicked(a.peers().indexOfComputer(QString::fromLatin1(computer)), true);
    }
    // Time passes on PC1's clock; what waits long enough is sent again.
    void pass(std::chrono::milliseconds time) {
        now += time;
        ChatNodeProbe(a).session().retryDue();
        settle();
    }

    DeliveryTracker::Clock::time_point now{std::chrono::hours(1)};
    network::InMemoryHub hub;
    RecordingNetwork net1{hub, "PC1", kGroup};
    RecordingNetwork net2{hub, "PC2", kGroup};
    RecordingNetwork net3{hub, "PC3", kGroup};
    RecordingNetwork net4{hub, "PC4", kGroup};
    ChatNode a{net1};
    ChatNode b{net2};
    ChatNode c{net3};
    ChatNode d{net4};
    std::vector<ChatNode*> nodesNow{&a, &b, &c, &d};
};

} // namespace

TEST_F(DeliveryLan, APrivateLineIsDeliveredByCurrentCopiesAndReadWhereAWindowShowedIt) {
    EventLog atA(a);
    EventLog atB(b);
    EventLog atD(d);
    tick({"PC2", "PC3", "PC4"});
    const messaging::LineOutcome outcome = a.send({QStringLiteral("lunch?")}, false, true);
    ASSERT_NE(outcome.item, 0u);
    EXPECT_EQ(outcome.tracked, (QStringList{"PC2", "PC3"}));
    EXPECT_EQ(outcome.noReceipt, QStringList{"PC4"});
    ASSERT_EQ(outcome.lineIds.size(), 1);
    settle();
    EXPECT_EQ(told(atA), (QStringList{"PC2 delivered", "PC3 delivered"}));
    for (const auto& e : atA.of<DeliveryChanged>()) {
        EXPECT_EQ(e.item, outcome.item);
        EXPECT_EQ(e.lineId, outcome.lineIds[0]);
    }
    // The receiver names the line by the same id; the older copy reads the line as ever.
    ASSERT_EQ(atB.of<messaging::LineReceived>().size(), 1u);
    EXPECT_EQ(atB.of<messaging::LineReceived>()[0].line.lineId, outcome.lineIds[0]);
    EXPECT_EQ(atB.of<messaging::LineReceived>()[0].line.text, "lunch?");
    ASSERT_EQ(atD.of<messaging::LineReceived>().size(), 1u);
    EXPECT_EQ(atD.of<messaging::LineReceived>()[0].line.text, "lunch?");

    atA.clear();
    b.linesRead(); // PC2's window is active
    settle();
    EXPECT_EQ(told(atA), QStringList{"PC2 read"});
    b.linesRead(); // nothing new to tell
    settle();
    EXPECT_EQ(told(atA), QStringList{"PC2 read"});
    // Nothing was waiting: no datagram goes again.
    net1.sent.clear();
    pass(60s);
    EXPECT_TRUE(net1.sent.empty());
}

TEST_F(DeliveryLan, APublicMultiLineMessageIsDeliveredWhenEveryLineArrived) {
    EventLog atA(a);
    const messaging::LineOutcome outcome = a.send(
        {QStringLiteral("one"), QStringLiteral("two"), QStringLiteral("three")}, true, false);
    EXPECT_EQ(outcome.lineIds.size(), 3);
    EXPECT_EQ(outcome.tracked, (QStringList{"PC2", "PC3"}));
    EXPECT_EQ(outcome.noReceipt, QStringList{"PC4"});
    // Its own copy comes back under the same ids, and asks for no receipt.
    EventLog own(a);
    settle();
    EXPECT_EQ(told(atA), (QStringList{"PC2 delivered", "PC3 delivered"}));
    QList<quint64> back;
    for (const auto& e : own.of<messaging::LineReceived>())
        if (e.line.own)
            back.append(e.line.lineId);
    EXPECT_EQ(back, outcome.lineIds);
}

// A message longer than the book of receipts holds (thousands of lines to many computers;
// four datagrams here): the computers whose lines fit are followed, the one whose lines did
// not all fit is told as sending no receipt, and is never left waiting nor called failed.
TEST_F(DeliveryLan, AMessageLargerThanTheBookOfReceiptsLeavesNoComputerWaiting) {
    ChatNodeProbe(a).session().setDelivery(DeliveryTracker([this] { return now; }, 4));
    EventLog atA(a);
    const messaging::LineOutcome outcome = a.send(
        {QStringLiteral("one"), QStringLiteral("two"), QStringLiteral("three")}, true, false);
    EXPECT_EQ(outcome.tracked, QStringList{"PC2"});
    EXPECT_EQ(outcome.noReceipt, (QStringList{"PC3", "PC4"}));
    settle();
    EXPECT_EQ(told(atA), QStringList{"PC2 delivered"});
    // Nothing of PC3's lines waits: none goes again, and none is called failed.
    net1.sent.clear();
    pass(30s);
    EXPECT_TRUE(net1.sent.empty());
    EXPECT_EQ(told(atA), QStringList{"PC2 delivered"});

    // The next message finds room again.
    atA.clear();
    const messaging::LineOutcome next = a.send({QStringLiteral("short")}, false, false);
    EXPECT_EQ(next.tracked, (QStringList{"PC2", "PC3"}));
    settle();
    EXPECT_EQ(told(atA), (QStringList{"PC2 delivered", "PC3 delivered"}));
}

TEST_F(DeliveryLan, ALostLineIsSentAgainWithBackoffThenFailedAndSendAgainDeliversIt) {
    EventLog atA(a);
    EventLog atB(b);
    tick({"PC2", "PC3"});
    net1.lostTo = QStringList{"pc2"}; // a firewall drops everything to PC2
    const messaging::LineOutcome outcome = a.send({QStringLiteral("ping")}, false, true);
    settle();
    EXPECT_EQ(told(atA), QStringList{"PC3 delivered"});
    const auto toPC2 = [&] { return int(net1.targets().count("PC2")); };
    // Sent again after 2, 4 and 8 s, then failed 8 s after the last try.
    struct Step {
        std::chrono::milliseconds after;
        int sends;
    };
    int sends = toPC2();
    for (const Step& step : {Step{1900ms, 0}, Step{100ms, 1}, Step{3900ms, 0}, Step{100ms, 1},
                             Step{8s, 1}, Step{7900ms, 0}}) {
        pass(step.after);
        EXPECT_EQ(toPC2() - sends, step.sends) << step.after.count();
        sends = toPC2();
    }
    EXPECT_EQ(told(atA), QStringList{"PC3 delivered"});
    pass(100ms);
    EXPECT_EQ(told(atA), (QStringList{"PC3 delivered", "PC2 failed"}));
    EXPECT_EQ(atA.of<DeliveryChanged>().back().item, outcome.item);
    pass(60s);
    EXPECT_EQ(toPC2(), sends) << "nothing more after the failure";
    EXPECT_TRUE(atB.of<messaging::LineReceived>().empty());

    // The way is free again: "Send again" delivers it, once.
    net1.lostTo.clear();
    EXPECT_FALSE(a.sendAgain(outcome.item + 100));
    ASSERT_TRUE(a.sendAgain(outcome.item));
    settle();
    EXPECT_EQ(told(atA), (QStringList{"PC3 delivered", "PC2 failed", "PC2 delivered"}));
    ASSERT_EQ(atB.of<messaging::LineReceived>().size(), 1u);
    EXPECT_FALSE(a.sendAgain(outcome.item)) << "nothing failed any more";
}

TEST_F(DeliveryLan, ALineSentAgainBecauseItsReceiptWasLostIsShownOnce) {
    EventLog atA(a);
    EventLog atB(b);
    tick({"PC2"});
    net2.lostTo = QStringList{"pc1"}; // PC2's receipts are lost
    a.send({QStringLiteral("once")}, false, true);
    settle();
    pass(2s);
    pass(4s);
    EXPECT_GE(net1.targets().count("PC2"), 3);
    net2.lostTo.clear();
    pass(8s);
    EXPECT_EQ(told(atA), QStringList{"PC2 delivered"});
    EXPECT_EQ(atB.of<messaging::LineReceived>().size(), 1u);
}

TEST_F(DeliveryLan, APrivateLineToAnAbsentComputerWaitsIsShownAndCanBeCancelled) {
    EventLog atA(a);
    EventLog atC(c);
    ChatNodeProbe(a).peers().setPresence("PC3", network::PeerPresence::Absent,
                                         QDateTime::currentDateTime());
    tick({"PC3"});
    const messaging::LineOutcome outcome = a.send({QStringLiteral("later")}, false, true);
    settle();
    EXPECT_EQ(outcome.waiting, QStringList{"PC3"});
    EXPECT_EQ(outcome.result.sent, 0);
    // Nothing went, yet the line is the user's: shown at once, and the text box is done.
    EXPECT_TRUE(outcome.showsEcho());
    EXPECT_TRUE(outcome.accepted());
    EXPECT_TRUE(atC.of<messaging::LineReceived>().empty());
    ASSERT_EQ(a.waitingLines().size(), 1);
    EXPECT_EQ(a.waitingLines()[0].text, "later");
    EXPECT_EQ(told(atA), QStringList{"PC3 queued"});
    EXPECT_FALSE(a.cancelWaiting(outcome.lineIds[0] + 1, "PC3"));
    EXPECT_FALSE(a.cancelWaiting(outcome.lineIds[0], "PC2"));
    ASSERT_TRUE(a.cancelWaiting(outcome.lineIds[0], "pc3"));
    EXPECT_EQ(told(atA), (QStringList{"PC3 queued", "PC3 cancelled"}));
    EXPECT_TRUE(a.waitingLines().isEmpty());
}

// A private line to two computers that are both away waits for each of them, and each gets
// it when it is back.
TEST_F(DeliveryLan, APrivateLineToTwoAbsentComputersWaitsForEach) {
    EventLog atB(b);
    EventLog atC(c);
    for (const char* computer : {"PC2", "PC3"})
        ChatNodeProbe(a).peers().setPresence(QString::fromLatin1(computer),
                                             network::PeerPresence::Absent,
                                             QDateTime::currentDateTime());
    tick({"PC2", "PC3"});
    const messaging::LineOutcome outcome = a.send({QStringLiteral("for you both")}, false, true);
    settle();
    EXPECT_EQ(outcome.waiting, (QStringList{"PC2", "PC3"}));
    EXPECT_EQ(outcome.result.sent, 0);
    EXPECT_EQ(a.waitingLines().size(), 2);
    EXPECT_TRUE(atB.of<messaging::LineReceived>().empty());
    EXPECT_TRUE(atC.of<messaging::LineReceived>().empty());
}

TEST(DeliveryWire, TrailersAndReceiptsAreReadStrictly) {
    using messaging::decodeTrailer;
    using messaging::encodeTrailer;
    messaging::LineTrailer plain;
    plain.lineId = 0x0102030405060708ull;
    const QByteArray bytes = encodeTrailer(plain);
    EXPECT_EQ(bytes.toHex(), "4b564c01000102030405060708");
    ASSERT_TRUE(decodeTrailer(bytes));
    EXPECT_EQ(decodeTrailer(bytes)->lineId, plain.lineId);
    EXPECT_FALSE(decodeTrailer(bytes)->signature);

    messaging::LineTrailer signedLine = plain;
    signedLine.name = QByteArray("Anna");
    crypto::Signature signature{};
    signature.fill(0x5a);
    signedLine.signature = signature;
    const QByteArray withSignature = encodeTrailer(signedLine);
    ASSERT_EQ(withSignature.size(), 13 + 1 + 4 + 64);
    const auto back = decodeTrailer(withSignature);
    ASSERT_TRUE(back && back->name && back->signature);
    EXPECT_EQ(*back->name, "Anna");
    EXPECT_EQ(*back->signature, signature);

    for (const QByteArray& bad :
         {QByteArray(), bytes.left(12), bytes + 'x', QByteArray("KVX") + bytes.mid(3),
          QByteArray(bytes).replace(3, 1, "\x02"), QByteArray(bytes).replace(4, 1, "\x02"),
          QByteArray::fromHex("4b564c01000000000000000000"), withSignature.left(80),
          withSignature + 'x'})
        EXPECT_FALSE(decodeTrailer(bad)) << bad.toHex().toStdString();

    using messaging::parseReceipt;
    const QByteArray body = messaging::receiptBody(true, {1, 0xfedcba9876543210ull});
    EXPECT_EQ(body, "r 0000000000000001 fedcba9876543210");
    const auto receipt = parseReceipt(body);
    ASSERT_TRUE(receipt);
    EXPECT_TRUE(receipt->read);
    EXPECT_EQ(receipt->ids, (QList<quint64>{1, 0xfedcba9876543210ull}));
    QByteArray tooMany("d");
    for (int i = 1; i <= messaging::kMaxReceiptIds + 1; ++i)
        tooMany += ' ' + messaging::lineIdText(quint64(i)).toLatin1();
    for (const char* bad : {"", "d", "x 0000000000000001", "d 000000000000001",
                            "d 0000000000000001 ", "d 000000000000000G", "d 0000000000000000",
                            "d  0000000000000001", "d 0000000000000001x", "d 0000000000000001,"})
        EXPECT_FALSE(parseReceipt(bad)) << bad;
    EXPECT_FALSE(parseReceipt(tooMany));
}

namespace {

// A copy that was away: PC3 restarts with the moment it was last there, and PC1 and PC2
// offer what was said since.
struct CatchUpLan : DeliveryLan {
    QTemporaryDir dir;
    // PC5 was there before (it knows PC1's and PC2's keys) and comes back.
    RecordingNetwork net5{hub, "PC5", kGroup};
    QString markPath() const { return dir.filePath(QStringLiteral("here")); }
    static quint64 nowMicros() { return quint64(QDateTime::currentMSecsSinceEpoch()) * 1000; }
    // PC5 was last there at micros.
    void writeMark(quint64 micros) {
        QFile mark(markPath());
        ASSERT_TRUE(mark.open(QIODevice::WriteOnly));
        mark.write("last-here " + QByteArray::number(micros) + '\n');
    }
    // PC5's copy as it starts again: its key, the keys it pinned before and its mark.
    void prepareBack(ChatNode& back) {
        back.setIdentityKey(keyFor(5));
        for (auto [computer, seed] : {std::pair<const char*, char>{"PC1", 1}, {"PC2", 2}})
            ChatNodeProbe(back).session().guard().book().see(QString::fromLatin1(computer),
                                                             keyFor(seed).publicKey());
        ASSERT_TRUE(back.setCatchUpMark(markPath()).isEmpty());
    }
    // ... joins the LAN and greets: the first computers it hears from are asked.
    void greetBack(ChatNode& back) {
        nodesNow.push_back(&back);
        back.walk();
        ChatNodeProbe(back).session().SendGreeting();
        settle();
    }
    static QStringList caughtUp(const EventLog& log) {
        QStringList caught;
        for (const auto& e : log.of<messaging::LineReceived>())
            if (e.line.caughtUp)
                caught.append(e.line.senderName + ": " + e.line.text);
        return caught;
    }
};

} // namespace

TEST_F(CatchUpLan, ACopyThatWasAwayCatchesUpInOrderOnceAndRefusesAnAlteredLine) {
    ASSERT_TRUE(dir.isValid());
    a.send({QStringLiteral("before")}, false, false);
    settle();
    // PC5 was last there now; then the others talk.
    writeMark(nowMicros());
    for (int i = 1; i <= 6; ++i)
        (i % 2 ? a : b).send({QStringLiteral("line %1").arg(i)}, false, false);
    settle();

    // PC5 comes back with its mark; the first computers it hears from are asked.
    ChatNode back(net5);
    prepareBack(back);
    EventLog atBack(back);
    greetBack(back);
    ChatNodeProbe(back).session().showCaughtUp();
    EXPECT_EQ(caughtUp(atBack), (QStringList{"PC1: line 1", "PC2: line 2", "PC1: line 3",
                                             "PC2: line 4", "PC1: line 5", "PC2: line 6"}));
    ASSERT_EQ(atBack.of<messaging::CaughtUp>().size(), 1u);
    EXPECT_EQ(atBack.of<messaging::CaughtUp>()[0].count, 6);

    // A relay that alters a line it offers is refused, and the line never shows.
    const auto kept = ChatNodeProbe(a).session().history().since(0, nowMicros());
    ASSERT_FALSE(kept.isEmpty());
    messaging::SignedLine altered = kept.last();
    altered.text = "altered";
    ++altered.lineId;
    atBack.clear();
    ChatNodeProbe(a).session().offerLine("PC5", altered);
    settle();
    ChatNodeProbe(back).session().showCaughtUp();
    ASSERT_EQ(atBack.of<messaging::Refused>().size(), 1u);
    EXPECT_EQ(atBack.of<messaging::Refused>()[0].computer, "PC1");
    EXPECT_TRUE(atBack.of<messaging::LineReceived>().empty());
}

// PC5 was last there while its clock ran an hour ahead, and comes back with the clock put
// right: a line it missed after its start is still taken when a relay offers it.
TEST_F(CatchUpLan, AMarkAheadOfTheClockStillTakesWhatIsMissedAfterTheStart) {
    ASSERT_TRUE(dir.isValid());
    writeMark(nowMicros() + 3'600'000'000ull);
    ChatNode back(net5);
    prepareBack(back);
    EventLog atBack(back);
    greetBack(back);
    // Said while PC1's datagrams did not reach PC5, then offered by PC1.
    net1.lostTo = QStringList{"pc5"};
    a.send({QStringLiteral("missed after the start")}, false, false);
    settle();
    net1.lostTo.clear();
    const auto kept = ChatNodeProbe(a).session().history().since(0, nowMicros());
    ASSERT_FALSE(kept.isEmpty());
    ChatNodeProbe(a).session().offerLine("PC5", kept.last());
    settle();
    ChatNodeProbe(back).session().showCaughtUp();
    EXPECT_EQ(caughtUp(atBack), QStringList{"PC1: missed after the start"});
}

namespace {

// PC5 runs and is followed by the others, then freezes and is killed: it says no goodbye and
// takes nothing in until it is started again with the moment it was last there.
struct KilledCopyLan : CatchUpLan {
    void SetUp() override {
        CatchUpLan::SetUp();
        ASSERT_TRUE(dir.isValid());
        first = std::make_unique<ChatNode>(net5);
        first->setIdentityKey(keyFor(5));
        greetBack(*first);
        writeMark(nowMicros());
        // Frozen: it takes nothing in, and PC1's lines are lost on the way to it.
        nodesNow.pop_back();
        net1.lostTo = QStringList{"pc5"};
    }
    // PC5 starts again and asks the others what it missed.
    void restart() {
        first.reset();
        back = std::make_unique<ChatNode>(net5);
        prepareBack(*back);
        atBack = std::make_unique<EventLog>(*back);
        greetBack(*back);
        ChatNodeProbe(*back).session().showCaughtUp();
        settle();
    }
    QStringList shownAtBack() const {
        QStringList shown;
        for (const auto& e : atBack->of<messaging::LineReceived>())
            shown.append(e.line.senderName + (e.line.caughtUp ? " (caught up): " : ": ") +
                         e.line.text);
        return shown;
    }

    std::unique_ptr<ChatNode> first;
    std::unique_ptr<ChatNode> back;
    std::unique_ptr<EventLog> atBack;
};

} // namespace

TEST_F(KilledCopyLan, ALineNotDeliveredToAKilledCopyIsDeliveredOnceItCatchesUp) {
    EventLog atA(a);
    const messaging::LineOutcome outcome = a.send({QStringLiteral("anyone?")}, false, false);
    ASSERT_TRUE(outcome.tracked.contains("PC5"));
    for (auto wait : {2s, 4s, 8s, 8s})
        pass(wait);
    ASSERT_TRUE(told(atA).contains("PC5 failed"));
    atA.clear();

    net1.lostTo.clear();
    restart();
    EXPECT_EQ(shownAtBack(), QStringList{"PC1 (caught up): anyone?"});
    // PC5's receipt tells PC1 that the line arrived after all, and then that it was read.
    ASSERT_EQ(told(atA), QStringList{"PC5 delivered"});
    EXPECT_EQ(atA.of<DeliveryChanged>().back().item, outcome.item);
    EXPECT_FALSE(a.sendAgain(outcome.item)) << "nothing is left to send again";
    back->linesRead();
    settle();
    EXPECT_EQ(told(atA), (QStringList{"PC5 delivered", "PC5 read"}));
}

TEST_F(KilledCopyLan, ALineCaughtUpIsNotShownAgainWhenItsAuthorsCopyArrivesLate) {
    EventLog atA(a);
    net5.lostTo = QStringList{"pc1"}; // nothing PC5 sends reaches PC1: no receipt either
    a.send({QStringLiteral("still there?")}, false, false);
    settle();
    atA.clear();
    restart();
    // The way opens; PC1 sends the line again, as it does until a receipt comes.
    net1.lostTo.clear();
    net5.lostTo.clear();
    pass(2s);
    EXPECT_EQ(shownAtBack(), QStringList{"PC1 (caught up): still there?"});
    EXPECT_EQ(told(atA), QStringList{"PC5 delivered"});
}
