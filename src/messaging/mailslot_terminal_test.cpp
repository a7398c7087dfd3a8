#include "messaging/mailslot_terminal.h"

#include "network/memory_network.h"

#include <QCoreApplication>
#include <QPointer>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>
#include <QtEndian>

#include <gtest/gtest.h>

#include <cerrno>

using namespace kalvento::messaging;
using namespace kalvento::platform;
using namespace kalvento::network;

namespace {

QByteArray frame(quint32 senderId, quint32 sequenceNumber, const QByteArray& payload = {}) {
    QByteArray datagram(8, '\0');
    qToLittleEndian(senderId, datagram.data());
    qToLittleEndian(sequenceNumber, datagram.data() + 4);
    return datagram + payload;
}

struct Delivery {
    qint32 senderId;
    quint16 msgSize;
    QByteArray payload;
    bool operator==(const Delivery&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Delivery& d) {
    return out << "{" << d.senderId << ", " << d.msgSize << ", " << d.payload.constData() << "}";
}

// Records what a terminal delivers, reading the payload as an owner does.
struct Recorder {
    QList<Delivery> deliveries;

    explicit Recorder(TMailslotTerminal& terminal) {
        terminal.SetOnNewMessage([this](TMailslotTerminal* sender, qint32 id, quint16 size) {
            deliveries.append({id, size, sender->ReceiveStream().Read(size).toByteArray()});
        });
    }
};

// PC1 and PC2 in WORK, PC3 in HOME; FORGER writes raw datagrams.
struct Lan {
    InMemoryHub hub;
    InMemoryNetwork pc1{hub, "PC1", "WORK"};
    InMemoryNetwork pc2{hub, "PC2", "WORK"};
    InMemoryNetwork pc3{hub, "PC3", "HOME"};
    InMemoryNetwork forger{hub, "FORGER", "ELSEWHERE"};

    void inject(const QByteArray& datagram, const QString& to = "PC1") {
        forger.send(AddressKind::Named, to, "Terminal", datagram);
    }
};

quint32 sequenceOf(const QByteArray& datagram) {
    return qFromLittleEndian<quint32>(datagram.constData() + 4);
}

} // namespace

TEST(MailslotTerminal, StartsWithDefaultsAndPassesPropertiesOn) {
    Lan lan;
    TMailslotTerminal terminal(lan.pc1);
    EXPECT_EQ(terminal.Interval(), 250u);
    EXPECT_EQ(terminal.MailslotName(), "Terminal");
    EXPECT_EQ(terminal.Receiver(), rcPrimaryDomain);
    EXPECT_EQ(terminal.ReceiverName(), "");
    EXPECT_EQ(terminal.SequenceNumber(), 0u);
    EXPECT_EQ(terminal.Server()->MailslotName(), "Terminal");
    EXPECT_EQ(terminal.Server()->Interval(), 250u);
    EXPECT_FALSE(terminal.Server()->Thread()->Suspended()) << "reception polls from the start";
    EXPECT_EQ(terminal.Client()->MailslotName(), "Terminal");
    EXPECT_EQ(terminal.Client()->Receiver(), rcPrimaryDomain);

    terminal.SetInterval(100);
    EXPECT_EQ(terminal.Server()->Interval(), 100u);
    terminal.SetMailslotName("Other");
    EXPECT_EQ(terminal.Server()->MailslotName(), "Other");
    EXPECT_EQ(terminal.Client()->MailslotName(), "Other");

    terminal.SetReceiver(rcDomainOrComputer);
    terminal.SetReceiverName("PC2");
    terminal.Send("x");
    ASSERT_NE(terminal.Client()->Handle(), 0u);
    terminal.SetReceiverName("PC2");
    EXPECT_EQ(terminal.Client()->Handle(), 0u) << "the same receiver name still closes";
    EXPECT_EQ(terminal.Client()->ReceiverName(), "PC2");
    EXPECT_EQ(terminal.Client()->Receiver(), rcDomainOrComputer);
}

TEST(MailslotTerminal, EverySendTakesTheNextSequenceNumberWhateverItsReceiver) {
    Lan lan;
    TMailslotTerminal terminal(lan.pc1);
    auto watcher = lan.pc3.openReceiver("Terminal");
    terminal.SetReceiver(rcDomainOrComputer);
    const char* receivers[] = {"PC3",  "PC2", "WORK", "PC1", "PC2",
                               "HOME", "PC9", "PC2",  "PC1", "PC3"};
    QList<QByteArray> seen;
    for (const char* receiver : receivers) {
        terminal.SetReceiverName(receiver);
        terminal.Send(seen.isEmpty() ? QByteArray("first") : QByteArray());
        while (watcher->pendingCount() > 0) {
            QByteArray datagram(qsizetype(watcher->nextSize()), '\0');
            watcher->read(datagram.data(), quint32(datagram.size()));
            seen.append(datagram);
        }
    }
    EXPECT_EQ(terminal.SequenceNumber(), 10u);
    ASSERT_EQ(seen.size(), 3); // PC3, HOME, PC3
    EXPECT_EQ(seen[0], frame(terminal.TerminalId(), 1, "first"));
    EXPECT_EQ(sequenceOf(seen[1]), 6u);
    EXPECT_EQ(seen[2], frame(terminal.TerminalId(), 10)) << "an empty payload is the bare header";
}

TEST(MailslotTerminal, DeliversEachDatagramOncePerSenderInOrder) {
    struct Case {
        quint32 id, seq;
        bool delivered;
    } cases[] = {
        {7, 5, true},           {7, 5, false}, // a copy
        {7, 4, false},                         // late
        {7, 6, true},           {8, 6, true},  // another sender has its own numbers
        {8, 6, false},          {9, 0, true},  // an unknown sender with 0
        {10, 0xFFFFFFFF, true}, {10, 0xFFFFFFFF, false},
        {7, 7, true},
    };
    Lan lan;
    TMailslotTerminal terminal(lan.pc1);
    Recorder recorder(terminal);
    QList<Delivery> expected;
    int n = 0;
    for (const auto& c : cases) {
        const QByteArray payload = QByteArray::number(++n);
        lan.inject(frame(c.id, c.seq, payload));
        if (c.delivered)
            expected.append({qint32(c.id), quint16(payload.size()), payload});
    }
    terminal.ReceiveMessages();
    EXPECT_EQ(recorder.deliveries, expected);
    EXPECT_EQ(terminal.Server()->MessageCount(), 0u);
    EXPECT_EQ(terminal.SenderTable().front().SenderId, 7u) << "most recently heard first";
    EXPECT_EQ(terminal.SenderTable().size(), 4u);
}

// A datagram its owner refused (a forgery with a high number) leaves the sender's number
// as it was; one it took counts as before. The frame's names come with each datagram.
TEST(MailslotTerminal, ARefusedDatagramDoesNotSpendItsSequenceNumber) {
    Lan lan;
    TMailslotTerminal terminal(lan.pc1);
    QList<quint32> delivered;
    QByteArrayList names;
    terminal.SetOnNewMessage([&](TMailslotTerminal* sender, qint32, quint16 size) {
        const QByteArray payload = sender->ReceiveStream().Read(size).toByteArray();
        names.append(sender->ReceiveSenderComputer() + '>' + sender->ReceiveTarget());
        delivered.append(sequenceOf(sender->ReceiveStream().Data().toByteArray()));
        if (payload == "forged")
            sender->RefuseDelivered();
    });
    lan.inject(frame(7, 5, "genuine"));
    lan.inject(frame(7, 0xFFFFFF00u, "forged"));
    lan.inject(frame(7, 6, "genuine"));
    lan.inject(frame(7, 6, "genuine")); // a copy of a datagram taken: dropped
    lan.inject(frame(7, 0xFFFFFF00u, "forged"));
    terminal.ReceiveMessages();
    EXPECT_EQ(delivered, (QList<quint32>{5, 0xFFFFFF00u, 6, 0xFFFFFF00u}));
    EXPECT_EQ(terminal.SenderTable().front().SequenceNumber, 6u);
    EXPECT_EQ(names.value(0), "FORGER>PC1");
}

TEST(MailslotTerminal, CopiesFromSeveralTransportsAreDeliveredOnceAndOwnOnesComeBack) {
    Lan lan;
    lan.hub.setCopiesPerDelivery(3);
    TMailslotTerminal a(lan.pc1);
    TMailslotTerminal b(lan.pc2);
    Recorder atA(a), atB(b);
    a.Send("to the group");
    a.SetReceiver(rcLocalComputer);
    a.Send(""); // to itself, empty
    a.ReceiveMessages();
    b.ReceiveMessages();

    const auto id = qint32(a.TerminalId());
    EXPECT_EQ(atB.deliveries, QList<Delivery>({{id, 12, "to the group"}}));
    EXPECT_EQ(atA.deliveries, QList<Delivery>({{id, 12, "to the group"}, {id, 0, ""}}));
    EXPECT_NE(a.TerminalId(), b.TerminalId());
}

TEST(MailslotTerminal, DropsDatagramsShorterThanTheHeader) {
    Lan lan;
    TMailslotTerminal terminal(lan.pc1);
    Recorder recorder(terminal);
    const QByteArray header = frame(5, 1);
    for (int size = 0; size < 8; ++size)
        lan.inject(header.first(size));
    lan.inject(frame(5, 1, "ok"));
    terminal.ReceiveMessages();
    EXPECT_EQ(recorder.deliveries, QList<Delivery>({{5, 2, "ok"}}));
}

TEST(MailslotTerminal, AFailingHandlerIsReportedAndReceptionGoesOn) {
    Lan lan;
    TMailslotTerminal terminal(lan.pc1);
    terminal.SetInterval(10);
    QSignalSpy errors(&terminal, &TMailslotTerminal::receptionError);
    QList<QByteArray> received;
    terminal.SetOnNewMessage([&](TMailslotTerminal* sender, qint32, quint16 size) {
        const QByteArray payload = sender->ReceiveStream().Read(size).toByteArray();
        if (payload == "bad")
            throw EMailslotClientError("Network is unreachable");
        received.append(payload);
    });
    lan.inject(frame(1, 1, "bad"));
    lan.inject(frame(1, 2, "next"));
    lan.inject(frame(2, 1, "other"));
    EXPECT_NO_THROW(terminal.ReceiveMessages());
    EXPECT_EQ(received, QList<QByteArray>({"next", "other"})) << "in the same pass";
    ASSERT_EQ(errors.size(), 1);
    EXPECT_EQ(errors.at(0).at(0).toString(), "Network is unreachable");

    lan.inject(frame(1, 3, "later"));
    EXPECT_TRUE(QTest::qWaitFor([&] { return received.size() == 3; }, 2000)) << "polling goes on";
}

TEST(MailslotTerminal, AHandlerMayDestroyItsTerminal) {
    Lan lan;
    QPointer<TMailslotTerminal> terminal = new TMailslotTerminal(lan.pc1);
    int calls = 0;
    terminal->SetOnNewMessage([&](TMailslotTerminal* sender, qint32, quint16) {
        ++calls;
        delete sender; // the owner closes while a datagram is delivered
    });
    lan.inject(frame(1, 1));
    lan.inject(frame(1, 2));
    terminal->Server()->Thread()->CheckMessages();
    EXPECT_TRUE(terminal.isNull());
    EXPECT_EQ(calls, 1);
    EXPECT_NO_THROW(TMailslotTerminal again(lan.pc1)) << "the mailslot was freed";
}

TEST(MailslotTerminal, TwoCopiesTalkThroughTheirPolls) {
    Lan lan;
    TMailslotTerminal a(lan.pc1);
    TMailslotTerminal b(lan.pc2);
    a.SetInterval(10);
    b.SetInterval(10);
    Recorder atB(b);
    // b answers every datagram to its sender's computer, from inside the handler.
    int answers = 0;
    Recorder atA(a);
    b.SetOnNewMessage([&](TMailslotTerminal* sender, qint32 id, quint16 size) {
        atB.deliveries.append({id, size, sender->payload().toByteArray()});
        sender->SetReceiver(rcDomainOrComputer);
        sender->SetReceiverName("PC1");
        sender->Send("answer " + QByteArray::number(++answers));
    });
    a.SetReceiver(rcDomainOrComputer);
    a.SetReceiverName("pc2");
    a.Send("hello");
    a.Send("again");
    EXPECT_TRUE(QTest::qWaitFor([&] { return atA.deliveries.size() == 2; }, 2000));
    const auto idB = qint32(b.TerminalId());
    EXPECT_EQ(atA.deliveries, QList<Delivery>({{idB, 8, "answer 1"}, {idB, 8, "answer 2"}}));
    const auto idA = qint32(a.TerminalId());
    EXPECT_EQ(atB.deliveries, QList<Delivery>({{idA, 5, "hello"}, {idA, 5, "again"}}));
}

TEST(MailslotTerminal, SecondCopyOnTheComputerFailsWithTheSystemText) {
    InMemoryHub hub;
    InMemoryNetwork copy1(hub, "PC1", "WORK");
    InMemoryNetwork copy2(hub, "pc1", "WORK");
    TMailslotTerminal first(copy1);
    try {
        TMailslotTerminal second(copy2);
        FAIL() << "second terminal opened";
    } catch (const EMailslotServerError& e) {
        EXPECT_EQ(e.text(), systemErrorText(EADDRINUSE));
    }
}

TEST(MailslotTerminal, RefusesPayloadsThatDoNotFitInsteadOfWrapping) {
    Lan lan;
    TMailslotTerminal terminal(lan.pc1);
    struct Case {
        quint32 maxDatagram;
        qsizetype size;
        bool sent;
    } cases[] = {
        {100000, 65535, true}, {100000, 65536, false}, {1000, 992, true},
        {1000, 993, false},    {1000, 0, true},
    };
    auto watcher = lan.pc2.openReceiver("Terminal");
    terminal.SetReceiver(rcDomainOrComputer);
    terminal.SetReceiverName("PC2");
    for (const auto& c : cases) {
        lan.hub.setMaxDatagramSize(c.maxDatagram);
        const quint32 before = terminal.SequenceNumber();
        const quint32 waiting = watcher->pendingCount();
        if (c.sent) {
            EXPECT_EQ(terminal.Send(QByteArray(c.size, 'x')), quint32(c.size + 8)) << c.size;
            EXPECT_EQ(watcher->pendingCount(), waiting + 1);
        } else {
            try {
                terminal.Send(QByteArray(c.size, 'x'));
                ADD_FAILURE() << c.size << " sent";
            } catch (const EMailslotClientError& e) {
                EXPECT_EQ(e.text(), systemErrorText(EMSGSIZE));
            }
            EXPECT_EQ(terminal.SequenceNumber(), before) << "no number spent";
        }
    }
}

TEST(MailslotTerminal, SenderTableStaysBoundedAndKeepsActiveSenders) {
    Lan lan;
    TMailslotTerminal terminal(lan.pc1);
    Recorder recorder(terminal);
    const quint32 peer = 0xABCD;
    quint32 peerSequence = 0;
    for (quint32 forged = 1; forged <= 3 * TMailslotTerminal::kMaxSenders; ++forged) {
        lan.inject(frame(0x10000 + forged, 1));
        if (forged % 1000 == 0)
            lan.inject(frame(peer, ++peerSequence));
        if (forged % 500 == 0)
            terminal.ReceiveMessages();
    }
    terminal.ReceiveMessages();
    EXPECT_EQ(terminal.SenderTable().size(), size_t(TMailslotTerminal::kMaxSenders));

    recorder.deliveries.clear();
    lan.inject(frame(peer, peerSequence)); // a copy of the peer's last datagram
    terminal.ReceiveMessages();
    EXPECT_TRUE(recorder.deliveries.isEmpty()) << "the active peer is still known";
}

TEST(TerminalIdentity, OleDateCountsDaysSince30December1899) {
    struct Case {
        QDateTime time;
        double ole;
    } cases[] = {
        {QDateTime(QDate(1899, 12, 30), QTime(0, 0)), 0.0},
        {QDateTime(QDate(1900, 1, 1), QTime(12, 0)), 2.5},
        {QDateTime(QDate(2000, 1, 1), QTime(6, 0)), 36526.25},
    };
    for (const auto& c : cases)
        EXPECT_DOUBLE_EQ(toOleDate(c.time), c.ole) << c.time.toString().toStdString();
}

TEST(MailslotTerminal, AFloodIsReadInPassesThatLetOtherEventsRunBetween) {
    Lan lan;
    TMailslotTerminal terminal(lan.pc1);
    Recorder recorder(terminal);
    constexpr int kFlood = 5 * TMailslotTerminal::kPassDatagrams + 10;
    for (int i = 1; i <= kFlood; ++i)
        lan.inject(frame(7, quint32(i), "x"));

    // An event queued behind the arrivals, as a key press or the walk's end would be.
    int deliveredWhenItRan = -1;
    QTimer::singleShot(0, [&] { deliveredWhenItRan = int(recorder.deliveries.size()); });
    terminal.ReceiveSome();
    EXPECT_LE(recorder.deliveries.size(), TMailslotTerminal::kPassDatagrams);
    EXPECT_TRUE(QTest::qWaitFor([&] { return recorder.deliveries.size() == kFlood; }, 5000));
    EXPECT_GE(deliveredWhenItRan, 1);
    EXPECT_LT(deliveredWhenItRan, kFlood); // it ran before the flood was through
    for (int i = 0; i < kFlood; ++i)
        ASSERT_EQ(recorder.deliveries[i].payload, "x") << i;
}
