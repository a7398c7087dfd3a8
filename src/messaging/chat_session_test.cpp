#include "messaging/chat_session.h"

#include "messaging/chat_node.h"

#include "support/chat_node_probe.h"

#include "messaging/chat_protocol.h"
#include "network/memory_network.h"

#include <QCoreApplication>

#include <gtest/gtest.h>

#include <memory>

using namespace kalvento;
using messaging::ChatSession;
using messaging::ReceivedLine;
using messaging::SendResult;
using messaging::TMailslotTerminal;
using network::InMemoryHub;
using network::InMemoryNetwork;

namespace {

// One running copy of the chat on the in-memory LAN.
struct Copy {
    Copy(InMemoryHub& hub, const QString& computer, const QString& group)
        : network(hub, computer, group), node(network), probe(node), terminal(probe.terminal()),
          peers(probe.peers()), users(probe.netUsers()), session(probe.session()) {
        QObject::connect(&session, &ChatSession::lineReceived,
                         [this](const ReceivedLine& line) { lines.append(line); });
        QObject::connect(&session, &ChatSession::sendFailed,
                         [this](const QString& error) { failures.append(error); });
    }
    void receive() { terminal.ReceiveMessages(); }
    QStringList texts() const {
        QStringList out;
        for (const auto& l : lines)
            out.append(l.text);
        return out;
    }
    InMemoryNetwork network;
    messaging::ChatNode node;
    test::ChatNodeProbe probe;
    TMailslotTerminal& terminal;
    network::PeerList& peers;
    network::TNetUsers& users;
    ChatSession& session;
    QList<ReceivedLine> lines;
    QStringList failures;
};

struct ChatSessionTest : ::testing::Test {
    Copy& add(const QString& computer, const QString& group) {
        copies.push_back(std::make_unique<Copy>(hub, computer, group));
        return *copies.back();
    }
    // Lets every copy read what waits until the LAN is quiet.
    void settle() {
        for (int round = 0; round < 10; ++round)
            for (auto& c : copies)
                c->receive();
    }
    void greetAll() {
        for (auto& c : copies) {
            c->users.Enumerate();
            EXPECT_TRUE(c->session.SendGreeting().ok());
            settle();
        }
    }
    InMemoryHub hub;
    std::vector<std::unique_ptr<Copy>> copies;
};

} // namespace

TEST_F(ChatSessionTest, GreetingsFillEveryListAcrossGroups) {
    Copy& a = add("PC1", "WG");
    Copy& b = add("PC2", "WG");
    Copy& c = add("PC3", "OTHER");
    c.session.setOwnIdentity("Cy");
    greetAll();
    for (Copy* copy : {&a, &b, &c}) {
        ASSERT_EQ(copy->peers.count(), 3) << copy->session.OwnComputerName().toStdString();
        const int own = copy->peers.indexOfComputer(copy->session.OwnComputerName());
        EXPECT_FALSE(copy->peers.at(own).enabled);
    }
    EXPECT_EQ(a.peers.at(a.peers.indexOfComputer(u"PC3")).displayText, "Cy");
    EXPECT_TRUE(a.lines.isEmpty()); // control messages never reach the chat
}

TEST_F(ChatSessionTest, EveryCopyOfAGreetingIsAnsweredDeliveriesTimes) {
    Copy& a = add("PC1", "WG");
    Copy& b = add("PC2", "WG");
    a.session.setDeliveries(3);
    b.session.setDeliveries(3);
    b.session.setOwnIdentity("Bea");
    a.users.Enumerate();
    a.session.SendGreeting();
    b.receive();
    // Three greetings, each answered three times, each answer followed by three identities.
    EXPECT_EQ(b.network.sendCount("PC1"), 3 * (3 + 3));
    EXPECT_EQ(b.peers.count(), 1);
}

TEST_F(ChatSessionTest, PublicLinesReachEveryoneAndComeBackAsOwn) {
    Copy& a = add("PC1", "WG");
    Copy& b = add("PC2", "WG");
    Copy& c = add("PC3", "WG");
    greetAll();
    EXPECT_TRUE(a.session.sendPublic(QStringLiteral("hello <b>world</b> \u20AC")).ok());
    settle();
    for (Copy* copy : {&a, &b, &c}) {
        ASSERT_EQ(copy->lines.size(), 1);
        EXPECT_EQ(copy->lines[0].text, QStringLiteral("hello <b>world</b> \u20AC"));
        EXPECT_EQ(copy->lines[0].kind, ReceivedLine::Kind::Public);
        EXPECT_EQ(copy->lines[0].senderName, "PC1");
        EXPECT_EQ(copy->lines[0].own, copy == &a);
    }
}

TEST_F(ChatSessionTest, PrivateLinesGoOnlyToTickedComputers) {
    Copy& a = add("PC1", "WG");
    Copy& b = add("PC2", "WG");
    Copy& c = add("PC3", "WG");
    b.session.setOwnIdentity("Bea");
    greetAll();
    a.peers.setTicked(a.peers.indexOfComputer(u"PC2"), true);
    QStringList names;
    EXPECT_TRUE(a.session.sendPrivate("psst", &names).ok());
    settle();
    EXPECT_EQ(names, QStringList({"Bea"}));
    EXPECT_TRUE(a.lines.isEmpty()); // the sender shows it itself
    ASSERT_EQ(b.lines.size(), 1);
    EXPECT_EQ(b.lines[0].kind, ReceivedLine::Kind::Private);
    EXPECT_EQ(b.lines[0].text, "psst");
    EXPECT_TRUE(c.lines.isEmpty());
}

// Nothing the user wrote is cut: a big message of more lines than one message holds goes
// out as several, each with a heading of its own, every line once and in order.
TEST_F(ChatSessionTest, MultiLineMessagesOfMoreThanAHundredLinesGoOutWhole) {
    Copy& a = add("PC1", "WG");
    Copy& b = add("PC2", "WG");
    greetAll();
    QStringList lines;
    for (int i = 0; i < 150; ++i)
        lines.append(QStringLiteral("line %1").arg(i));
    a.peers.setTicked(a.peers.indexOfComputer(u"PC2"), true);
    a.session.sendPrivate(a.session.planMessages(lines, true, true), nullptr);
    settle();
    ASSERT_EQ(b.lines.size(), 150);
    EXPECT_EQ(b.texts(), lines);
    for (int i : {0, 100}) {
        EXPECT_TRUE(b.lines[i].multiLineStart) << i;
        EXPECT_EQ(b.lines[i].senderName, "PC1") << i;
    }
    EXPECT_TRUE(b.lines[99].continuation);
    EXPECT_TRUE(b.lines[149].continuation);
    EXPECT_EQ(b.lines[42].kind, ReceivedLine::Kind::Private);
}

TEST_F(ChatSessionTest, IdentityChangesAndGoodbyesReachTheOthers) {
    Copy& a = add("PC1", "WG");
    Copy& b = add("PC2", "WG");
    greetAll();
    a.session.setOwnIdentity("Ann");
    a.session.SendIdentity();
    settle();
    EXPECT_EQ(b.peers.at(b.peers.indexOfComputer(u"PC1")).displayText, "Ann");
    a.session.SendGoodbye();
    settle();
    EXPECT_EQ(b.peers.indexOfComputer(u"PC1"), -1);
    EXPECT_EQ(a.peers.indexOfComputer(u"PC1"), -1); // its own goodbye came back too
}

TEST_F(ChatSessionTest, OneFailingReceiverDoesNotStopTheOthers) {
    Copy& a = add("PC1", "WG");
    Copy& b = add("PC2", "WG");
    Copy& c = add("PC3", "OTHER");
    greetAll();
    // Greeting: the first group fails, the second is still greeted.
    a.network.failNextSend("OTHER", ENETUNREACH);
    a.users.Enumerate();
    const SendResult greeting = a.session.SendGreeting();
    EXPECT_EQ(greeting.errors.size(), 1);
    EXPECT_TRUE(greeting.errors[0].startsWith("OTHER: "));
    EXPECT_EQ(a.network.sendCount("WG"), 2);
    settle();
    // A public line: PC2 fails, PC3 and this copy still get it.
    a.network.failNextSend("PC2", EHOSTUNREACH);
    const SendResult line = a.session.sendPublic("still here");
    EXPECT_EQ(line.errors.size(), 1);
    settle();
    EXPECT_TRUE(b.texts().isEmpty());
    EXPECT_EQ(c.texts(), QStringList({"still here"}));
    EXPECT_EQ(a.texts(), QStringList({"still here"}));
}

TEST_F(ChatSessionTest, AFailingAnswerDoesNotStopReception) {
    Copy& a = add("PC1", "WG");
    Copy& b = add("PC2", "WG");
    b.network.failNextSend("PC1", EHOSTUNREACH);
    a.users.Enumerate();
    a.session.SendGreeting();
    a.session.sendPublic("after"); // a's list holds only itself yet
    a.terminal.SetReceiverName("PC2");
    a.terminal.Send(messaging::payloadFromPlainText("direct"));
    b.receive();
    EXPECT_EQ(b.failures.size(), 1);
    EXPECT_EQ(b.texts(), QStringList({"direct"}));
}

// A line longer than a datagram carries goes out in the multi-line form, split where a word
// ends, and arrives whole: its pieces joined are what was typed.
TEST_F(ChatSessionTest, ALineTooLongForADatagramArrivesWhole) {
    Copy& a = add("PC1", "WG");
    Copy& b = add("PC2", "WG");
    greetAll();
    const qsizetype max = a.session.maxLineLength();
    ASSERT_GT(max, 30000);
    QString typed;
    while (typed.size() < 44018)
        typed += QStringLiteral("Zażółć gęślą jaźń ✓ ");
    for (const bool isPrivate : {false, true}) {
        SCOPED_TRACE(isPrivate ? "private" : "public");
        b.lines.clear();
        a.peers.setTicked(a.peers.indexOfComputer(u"PC2"), isPrivate);
        const SendResult sent =
            isPrivate ? a.session.sendPrivate(typed, nullptr) : a.session.sendPublic(typed);
        EXPECT_TRUE(sent.ok());
        settle();
        // 31 bytes of UTF-8 for every 20 characters: three datagrams.
        ASSERT_EQ(b.lines.size(), 3);
        EXPECT_TRUE(b.lines[0].multiLineStart);
        EXPECT_TRUE(b.lines[1].continuation);
        EXPECT_TRUE(b.lines[2].continuation);
        EXPECT_EQ(b.texts().join(QString()), typed);
        EXPECT_TRUE(b.lines[0].text.endsWith(u' ')) << "split after a blank";
    }
}

// How what the user wrote maps onto messages: a line that fits goes as it is (the private
// tag counts), a longer one in pieces that fit, and big messages 100 lines to a message.
TEST_F(ChatSessionTest, MessagesArePlannedToFitWithoutCuttingAnything) {
    Copy& a = add("PC1", "WG");
    const qsizetype max = a.session.maxLineLength();
    const QString fits(int(max), u'x');
    const QString privateFits(int(max) - 5, u'x');
    using messaging::OutgoingMessage;
    EXPECT_EQ(a.session.planMessages({fits}, false, false),
              QList<OutgoingMessage>({{false, {fits}}}));
    EXPECT_EQ(a.session.planMessages({privateFits}, false, true),
              QList<OutgoingMessage>({{false, {privateFits}}}));
    const QList<OutgoingMessage> split = a.session.planMessages({fits}, false, true);
    ASSERT_EQ(split.size(), 1);
    EXPECT_TRUE(split[0].multiLine);
    EXPECT_EQ(split[0].lines.join(QString()), fits);
    for (const QString& piece : split[0].lines)
        EXPECT_LE(piece.toUtf8().size(), max - 5);
    // A character is never split between two pieces.
    const QString wide(int(max), QChar(0x20AC)); // three bytes each
    const QList<OutgoingMessage> wideSplit = a.session.planMessages({wide}, false, false);
    ASSERT_EQ(wideSplit.size(), 1);
    for (const QString& piece : wideSplit[0].lines)
        EXPECT_EQ(piece, QString(piece.size(), QChar(0x20AC)));
    EXPECT_EQ(a.session.planMessages({QString()}, true, false),
              QList<OutgoingMessage>({{true, {QString()}}}));
    QStringList many;
    for (int i = 0; i < 201; ++i)
        many.append(QString::number(i));
    const QList<OutgoingMessage> big = a.session.planMessages(many, true, false);
    ASSERT_EQ(big.size(), 3);
    EXPECT_EQ(big[0].lines.size(), 100);
    EXPECT_EQ(big[2].lines, QStringList({"200"}));
}

// The own copy always gets its own public line, also when its greeting has not come back
// yet to list it, and names itself as its sender.
TEST_F(ChatSessionTest, TheOwnLineComesBackBeforeTheOwnGreetingListedIt) {
    Copy& a = add("PC1", "WG");
    a.session.setOwnIdentity("Ann");
    ASSERT_EQ(a.peers.count(), 0);
    EXPECT_TRUE(a.session.sendPublic(QStringLiteral("first")).ok());
    settle();
    ASSERT_EQ(a.lines.size(), 1);
    EXPECT_TRUE(a.lines[0].own);
    EXPECT_EQ(a.lines[0].senderName, "Ann");
    EXPECT_EQ(a.lines[0].text, "first");
}

TEST_F(ChatSessionTest, UnknownSendersShowTheirIdentifierAndUnknownTagsAreDropped) {
    Copy& a = add("PC1", "WG");
    Copy& stranger = add("PC9", "WG");
    greetAll(); // both know each other now; make a sender nobody knows
    InMemoryNetwork lone(hub, "PC7", "WG");
    TMailslotTerminal loneTerminal(lone);
    loneTerminal.SetReceiverName("PC1");
    loneTerminal.Send(messaging::payloadFromPlainText("#abc#hidden"));
    loneTerminal.Send(messaging::payloadFromPlainText("visible"));
    a.receive();
    ASSERT_EQ(a.lines.size(), 1);
    EXPECT_EQ(a.lines[0].senderName, QString::number(qint32(loneTerminal.TerminalId())));
    (void)stranger;
}

TEST_F(ChatSessionTest, ForgedGreetingsAreListedAndAnsweredOnlyWithinTheBudget) {
    Copy& a = add("PC1", "WG");
    Copy& b = add("PC2", "WG");
    Copy& forger = add("EVIL", "WG");
    greetAll();
    // No refill: what the forger gets is the rest of its bucket.
    messaging::ReceptionBudget::Clock::time_point frozen{};
    a.session.setBudget(messaging::ReceptionBudget({0, 1000}, {0, 10}, [&] { return frozen; }));

    const quint32 sentBefore = a.terminal.SequenceNumber();
    forger.terminal.SetReceiverName("PC1");
    for (int i = 0; i < 500; ++i) {
        forger.terminal.Send(messaging::payloadFromPlainText(
            messaging::greetingText(QByteArray("FAKE") + QByteArray::number(i), "WG")));
        forger.terminal.Send(messaging::payloadFromPlainText(
            messaging::answerText(QByteArray("ALSO") + QByteArray::number(i), "WG")));
    }
    a.receive();
    int forged = 0;
    for (int i = 0; i < a.peers.count(); ++i) {
        const QString name = a.peers.at(i).computerName;
        forged += name.startsWith("FAKE") || name.startsWith("ALSO") ? 1 : 0;
    }
    EXPECT_EQ(forged, 10);
    EXPECT_EQ(a.session.budget().refused(), 990u);
    // One answer for each greeting let in, nothing for the answers.
    EXPECT_LE(a.terminal.SequenceNumber() - sentBefore, 10u);

    // The real peer's conversation goes on, answers included.
    b.session.sendPublic("still here");
    settle();
    EXPECT_TRUE(a.texts().contains("still here"));
    const int before = a.peers.count();
    b.users.Enumerate();
    EXPECT_TRUE(b.session.SendGreeting().ok());
    settle();
    EXPECT_EQ(a.peers.count(), before);
    EXPECT_GE(a.peers.indexOfComputer(u"PC2"), 0);
}

TEST_F(ChatSessionTest, RepeatedAnswersOfAListedComputerCostNothing) {
    Copy& a = add("PC1", "WG");
    add("PC2", "WG").session.setDeliveries(10);
    a.session.setDeliveries(10);
    messaging::ReceptionBudget::Clock::time_point frozen{};
    a.session.setBudget(messaging::ReceptionBudget({0, 1000}, {0, 2}, [&] { return frozen; }));
    a.users.Enumerate();
    EXPECT_TRUE(a.session.SendGreeting().ok());
    settle(); // ten answers from PC2, one of them charged
    EXPECT_GE(a.peers.indexOfComputer(u"PC2"), 0);
    EXPECT_EQ(a.session.budget().refused(), 0u);
}

// What one line makes a copy send does not grow with what forgers list: every computer
// whose address is confirmed gets it, the first 32 of those only heard from get it, and
// names never heard from (their frames named another sender) get nothing. The goodbye
// goes the same way.
TEST_F(ChatSessionTest, LinesGoToConfirmedComputersAndToAFewOthers) {
    Copy& a = add("PC1", "WG");
    Copy& b = add("PC2", "WG");
    std::vector<Copy*> silent; // copies that answer no walk: never confirmed
    for (int i = 0; i < ChatSession::kUnconfirmedRecipients + 8; ++i) {
        silent.push_back(&add(QStringLiteral("SIL%1").arg(i, 2, 10, QLatin1Char('0')), "WG"));
        silent.back()->network.setAnswersWalks(false);
    }
    Copy& forger = add("EVIL", "WG");
    greetAll();
    forger.terminal.SetReceiverName("PC1");
    for (int i = 0; i < 5; ++i)
        forger.terminal.Send(messaging::payloadFromPlainText(
            messaging::greetingText("FAKE" + QByteArray::number(i), "WG")));
    a.receive();
    ASSERT_EQ(a.peers.count(), 1 + 1 + int(silent.size()) + 1 + 5);
    EXPECT_EQ(a.network.sendCount("FAKE0"), 0); // not answered: it would go everywhere

    const SendResult line = a.session.sendPublic("to whom it may concern");
    EXPECT_TRUE(line.ok());
    EXPECT_EQ(line.withheld, 8 + 5);
    settle();
    EXPECT_EQ(a.texts(), QStringList({"to whom it may concern"}));
    EXPECT_EQ(b.texts(), QStringList({"to whom it may concern"}));
    EXPECT_EQ(forger.texts(), QStringList({"to whom it may concern"}));
    for (size_t i = 0; i < silent.size(); ++i) {
        const bool among = i < size_t(ChatSession::kUnconfirmedRecipients); // in list order
        EXPECT_EQ(silent[i]->texts().size(), among ? 1 : 0) << i;
    }
    EXPECT_EQ(a.network.sendCount("FAKE0"), 0);

    const SendResult goodbye = a.session.SendGoodbye();
    EXPECT_EQ(goodbye.withheld, 8 + 5);
    settle();
    EXPECT_EQ(b.peers.indexOfComputer(u"PC1"), -1);
    EXPECT_EQ(silent.front()->peers.indexOfComputer(u"PC1"), -1);
    EXPECT_GE(silent.back()->peers.indexOfComputer(u"PC1"), 0); // never told
}

TEST_F(ChatSessionTest, GreetingsThatFindTheBudgetEmptyWaitAndAreAnsweredAsItRefills) {
    Copy& a = add("PC1", "WG");
    messaging::ReceptionBudget::Clock::time_point now{};
    a.session.setBudget(messaging::ReceptionBudget({100, 3}, {10, 50}, [&] { return now; }));
    std::vector<Copy*> others;
    others.reserve(10);
    for (int i = 0; i < 10; ++i)
        others.push_back(&add(QStringLiteral("PC%1").arg(i + 2), "WG"));
    for (Copy* other : others) {
        other->users.Enumerate();
        other->session.SendGreeting();
    }
    a.receive();
    EXPECT_EQ(a.peers.count(), 3);
    EXPECT_EQ(a.session.waitingGreetings(), 7);
    // One that waits leaves (it does not know PC1 yet: it says goodbye to PC1 by hand), one
    // greets again (its latest greeting counts, once).
    others[9]->terminal.SetReceiverName("PC1");
    others[9]->terminal.Send(messaging::payloadFromPlainText(messaging::goodbyeText("PC11")));
    others[8]->users.Enumerate();
    others[8]->session.SendGreeting();
    a.receive();
    EXPECT_EQ(a.session.waitingGreetings(), 6);

    now += std::chrono::milliseconds(35); // three tokens
    a.session.takeWaitingGreetings();
    EXPECT_EQ(a.peers.count(), 6);
    now += std::chrono::seconds(1);
    a.session.takeWaitingGreetings();
    EXPECT_EQ(a.session.waitingGreetings(), 0);
    EXPECT_EQ(a.peers.count(), 9);
    EXPECT_EQ(a.peers.indexOfComputer(u"PC11"), -1); // said goodbye while it waited
    settle();
    for (int i = 0; i < 9; ++i) // every one was answered in the end
        EXPECT_GE(others[size_t(i)]->peers.indexOfComputer(u"PC1"), 0) << i;
    // One sender's own bucket still refuses outright.
    a.session.setBudget(messaging::ReceptionBudget({100, 1000}, {0, 2}, [&] { return now; }));
    Copy& loud = add("LOUD", "WG");
    loud.terminal.SetReceiverName("PC1");
    for (int i = 0; i < 5; ++i)
        loud.terminal.Send(messaging::payloadFromPlainText(
            messaging::greetingText("NAME" + QByteArray::number(i), "WG")));
    a.receive();
    EXPECT_EQ(a.session.budget().refused(), 3u);
    EXPECT_EQ(a.session.waitingGreetings(), 0);
}

TEST_F(ChatSessionTest, ANewcomerListsEveryCopyThatAnswersItsGreetingBeyondTheBudget) {
    for (int i = 0; i < 20; ++i)
        add(QStringLiteral("PC%1").arg(i + 2), "WG");
    greetAll();
    Copy& newcomer = add("PC1", "WG");
    messaging::ReceptionBudget::Clock::time_point now{};
    newcomer.session.setBudget(
        messaging::ReceptionBudget({0, 5}, {0, 2}, [&] { return now; })); // far too small
    newcomer.users.Enumerate();
    newcomer.session.SendGreeting();
    settle();
    EXPECT_EQ(newcomer.peers.count(), 21);
    EXPECT_EQ(newcomer.session.budget().freeAnswers(), 20u);
    newcomer.session.sendPublic("hello all");
    settle();
    for (auto& copy : copies)
        EXPECT_EQ(copy->texts(), QStringList({"hello all"}));
    // Long after its greeting, an answer from a computer not listed is charged again.
    now += messaging::ReceptionBudget::kAnswerWindow + std::chrono::seconds(1);
    Copy& late = add("LATE", "WG");
    late.terminal.SetReceiverName("PC1");
    for (int i = 0; i < 10; ++i)
        late.terminal.Send(messaging::payloadFromPlainText(
            messaging::answerText("LATE" + QByteArray::number(i), "WG")));
    newcomer.receive();
    EXPECT_EQ(newcomer.peers.count(), 21 + 2); // the bucket of its address: two
}

namespace {

// A network that records the questions that confirm an address.
struct AskingNetwork : InMemoryNetwork {
    using InMemoryNetwork::InMemoryNetwork;
    bool confirm(const QString& computerName) override {
        asked.append(computerName);
        return true;
    }
    QStringList asked;
};

} // namespace

TEST_F(ChatSessionTest, AComputerOnlyHeardFromIsAskedToConfirmAFewTimesAndAgainWhenItSpeaks) {
    AskingNetwork network(hub, "PC1", "WG");
    messaging::ChatNode node(network);
    test::ChatNodeProbe probe(node);
    Copy& quiet = add("PC2", "WG");
    quiet.network.setAnswersWalks(false);
    Copy& loud = add("PC3", "WG"); // confirmed: never asked
    probe.netUsers().Enumerate();
    probe.session().SendGreeting();
    probe.terminal().ReceiveMessages();
    settle();
    probe.terminal().ReceiveMessages();
    ASSERT_EQ(probe.peers().count(), 3);
    EXPECT_EQ(network.asked, QStringList({"PC2"}));
    for (int i = 0; i < 5; ++i)
        probe.session().askAgain();
    EXPECT_EQ(network.asked.size(), ChatSession::kConfirmTries);
    quiet.session.sendPublic("are you there");
    probe.terminal().ReceiveMessages();
    EXPECT_EQ(network.asked.size(), ChatSession::kConfirmTries + 1);
    // Once confirmed, it is asked no more.
    quiet.network.setAnswersWalks(true);
    probe.session().askAgain();
    quiet.network.setAnswersWalks(false);
    probe.session().askAgain();
    EXPECT_EQ(network.asked.size(), ChatSession::kConfirmTries + 1);
    EXPECT_FALSE(network.asked.contains("PC3"));
    (void)loud;
}
