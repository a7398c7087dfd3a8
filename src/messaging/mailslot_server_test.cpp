#include "messaging/mailslot_server.h"

#include "network/memory_network.h"

#include <QCoreApplication>
#include <QSignalSpy>
#include <QTest>

#include <gtest/gtest.h>

using namespace kalvento::messaging;
using namespace kalvento::platform;
using namespace kalvento::network;

namespace {

struct Computers {
    InMemoryHub hub;
    InMemoryNetwork pc1{hub, "PC1", "WORK"};
    InMemoryNetwork pc2{hub, "PC2", "WORK"};

    void sendTo(const QString& mailslot, const QByteArray& datagram) {
        pc2.send(AddressKind::Named, "PC1", mailslot, datagram);
    }
};

QByteArray readOne(TMailslotServer& server) {
    QByteArray buffer(qsizetype(server.NextMessageSize()), '\0');
    buffer.resize(qsizetype(server.Read(buffer.data(), quint32(buffer.size()))));
    return buffer;
}

} // namespace

TEST(MailslotServer, StartsWithDefaultsAndPollsWithoutHandler) {
    Computers lan;
    TMailslotServer server(lan.pc1);
    EXPECT_EQ(server.MailslotName(), "mailbox");
    EXPECT_EQ(server.MaxMessageSize(), 0u);
    EXPECT_FALSE(server.InheritHandle());
    EXPECT_EQ(server.ReadTimeOut(), -1);
    EXPECT_NE(server.Handle(), 0u);
    EXPECT_TRUE(server.MessagePolling());
    EXPECT_EQ(server.Interval(), 1000u);
    EXPECT_EQ(server.ThreadPriority(), QThread::NormalPriority);
    EXPECT_FALSE(server.Thread()->Suspended()) << "polls from creation";
    EXPECT_EQ(server.Thread()->Interval(), 1000u);

    lan.sendTo("MAILBOX", "a");
    server.Thread()->CheckMessages();
    EXPECT_EQ(server.Thread()->LastCount, 1u) << "a poll without a handler only counts";
    EXPECT_EQ(server.MessageCount(), 1u);
}

TEST(MailslotServer, PollsExactlyWhileIntervalPollingAndHandlerAllow) {
    Computers lan;
    TMailslotServer server(lan.pc1);
    auto suspended = [&] { return server.Thread()->Suspended(); };
    auto handler = [](TMailslotServer*) {};

    struct Step {
        const char* what;
        std::function<void()> change;
        bool suspendedAfter;
    } steps[] = {
        {"first change without handler stops polling", [&] { server.SetInterval(500); }, true},
        {"assigning a handler resumes", [&] { server.SetOnNewMessage(handler); }, false},
        {"interval 0 stops", [&] { server.SetInterval(0); }, true},
        {"interval back resumes", [&] { server.SetInterval(20); }, false},
        {"polling off stops", [&] { server.SetMessagePolling(false); }, true},
        {"priority change keeps it stopped",
         [&] { server.SetThreadPriority(QThread::LowPriority); }, true},
        {"polling on resumes", [&] { server.SetMessagePolling(true); }, false},
        {"handler removed stops", [&] { server.SetOnNewMessage(nullptr); }, true},
        {"handler again resumes", [&] { server.SetOnNewMessage(handler); }, false},
    };
    for (const auto& step : steps) {
        step.change();
        EXPECT_EQ(suspended(), step.suspendedAfter) << step.what;
    }
    EXPECT_EQ(server.Thread()->Interval(), 20u);
    EXPECT_EQ(server.Thread()->Priority(), QThread::LowPriority);
}

TEST(MailslotServer, ReopensOnlyWhenANamingPropertyChanges) {
    Computers lan;
    TMailslotServer server(lan.pc1);
    const quint32 first = server.Handle();
    lan.sendTo("mailbox", "kept");

    server.SetMailslotName("mailbox");
    server.SetInheritHandle(false);
    server.SetMaxMessageSize(0);
    server.SetReadTimeOut(100);
    EXPECT_EQ(server.Handle(), first) << "same values do not reopen";
    EXPECT_EQ(server.MessageCount(), 1u);

    server.SetMailslotName("Terminal");
    EXPECT_NE(server.Handle(), first);
    EXPECT_EQ(server.MessageCount(), 0u) << "a new mailslot starts empty";
    lan.sendTo("mailbox", "old name");
    lan.sendTo("terminal", "new name");
    EXPECT_EQ(server.MessageCount(), 1u);
    EXPECT_EQ(readOne(server), "new name");

    const quint32 second = server.Handle();
    server.SetInheritHandle(true);
    EXPECT_NE(server.Handle(), second);
}

TEST(MailslotServer, MaxMessageSizeDiscardsLongerDatagrams) {
    Computers lan;
    TMailslotServer server(lan.pc1);
    server.SetMaxMessageSize(4);
    lan.sendTo("mailbox", "12345");
    lan.sendTo("mailbox", "1234");
    lan.sendTo("mailbox", "123456");
    EXPECT_EQ(server.NextMessageSize(), 4u);
    EXPECT_EQ(readOne(server), "1234");
    EXPECT_EQ(server.MessageCount(), 0u);
}

TEST(MailslotServer, ReadLowersLastCountAndFailsWithTheSystemText) {
    Computers lan;
    TMailslotServer server(lan.pc1);
    lan.sendTo("mailbox", "abc");
    lan.sendTo("mailbox", "def");
    server.Thread()->CheckMessages();
    ASSERT_EQ(server.Thread()->LastCount, 2u);
    EXPECT_EQ(readOne(server), "abc");
    EXPECT_EQ(server.Thread()->LastCount, 1u);

    char small[2];
    try {
        server.Read(small, sizeof small);
        FAIL() << "read into a small buffer succeeded";
    } catch (const EMailslotServerError& e) {
        EXPECT_EQ(e.text(), systemErrorText(EMSGSIZE));
    }
    EXPECT_EQ(readOne(server), "def");
    EXPECT_EQ(server.Thread()->LastCount, 0u);
    EXPECT_THROW(server.Read(small, sizeof small), EMailslotServerError) << "nothing waits";

    server.Close();
    EXPECT_EQ(server.Handle(), 0u);
    EXPECT_EQ(server.MessageCount(), 0u);
    EXPECT_EQ(server.NextMessageSize(), 0u);
    EXPECT_EQ(server.Read(small, sizeof small), 0u);
}

TEST(MailslotServer, SecondOwnerOnTheComputerFailsWithTheSystemText) {
    InMemoryHub hub;
    InMemoryNetwork copy1(hub, "PC1", "WORK");
    InMemoryNetwork copy2(hub, "PC1", "WORK");
    TMailslotServer owner(copy1);
    try {
        TMailslotServer second(copy2);
        FAIL() << "second owner opened";
    } catch (const EMailslotServerError& e) {
        EXPECT_EQ(e.text(), systemErrorText(EADDRINUSE));
    }
    // A writer that reopens fails the same way and leaves the server closed.
    owner.Close();
    TMailslotServer other(copy2);
    EXPECT_THROW(owner.SetMailslotName("Terminal"), EMailslotServerError);
    EXPECT_EQ(owner.Handle(), 0u);
    EXPECT_EQ(owner.MessageCount(), 0u);
}

TEST(MailslotServer, DatagramsBetweenPollsRaiseOneEvent) {
    Computers lan;
    TMailslotServer server(lan.pc1);
    int events = 0;
    QList<QByteArray> read;
    server.SetOnNewMessage([&](TMailslotServer* sender) {
        EXPECT_EQ(sender, &server);
        ++events;
        while (sender->MessageCount() > 0)
            read.append(readOne(*sender));
    });
    lan.sendTo("mailbox", "one");
    lan.sendTo("mailbox", "two");
    server.Thread()->CheckMessages();
    EXPECT_EQ(events, 1);
    EXPECT_EQ(read, QList<QByteArray>({"one", "two"}));
    server.Thread()->CheckMessages();
    EXPECT_EQ(events, 1) << "nothing new, no event";
}

TEST(MailslotServer, ArrivalDuringTheHandlerIsDeliveredByTheNextPoll) {
    Computers lan;
    TMailslotServer server(lan.pc1);
    QList<QByteArray> read;
    server.SetOnNewMessage([&](TMailslotServer* sender) {
        while (sender->MessageCount() > 0)
            read.append(readOne(*sender));
        if (read.size() == 1)
            lan.sendTo("mailbox", "late"); // after the handler's last look
    });
    lan.sendTo("mailbox", "first");
    server.Thread()->CheckMessages();
    EXPECT_EQ(read, QList<QByteArray>({"first"}));
    server.Thread()->CheckMessages();
    EXPECT_EQ(read, QList<QByteArray>({"first", "late"}));
}

TEST(MailslotServer, AFailingHandlerIsReportedAndPollingGoesOn) {
    Computers lan;
    TMailslotServer server(lan.pc1);
    QSignalSpy errors(&server, &TMailslotServer::receptionError);
    int calls = 0;
    QList<QByteArray> read;
    server.SetInterval(10);
    server.SetOnNewMessage([&](TMailslotServer* sender) {
        if (++calls == 1)
            throw std::runtime_error("answer failed");
        while (sender->MessageCount() > 0)
            read.append(readOne(*sender));
    });
    lan.sendTo("mailbox", "x");
    EXPECT_TRUE(QTest::qWaitFor([&] { return read.size() == 1; }, 2000));
    ASSERT_EQ(errors.size(), 1);
    EXPECT_EQ(errors.at(0).at(0).toString(), "answer failed");
    EXPECT_FALSE(server.Thread()->Suspended());

    lan.sendTo("mailbox", "y");
    EXPECT_TRUE(QTest::qWaitFor([&] { return read.size() == 2; }, 2000));
}

TEST(MailslotServer, APollInsideTheHandlerDoesNothing) {
    Computers lan;
    TMailslotServer server(lan.pc1);
    int events = 0;
    server.SetOnNewMessage([&](TMailslotServer* sender) {
        ++events;
        sender->Thread()->CheckMessages(); // as a nested event loop would
        while (sender->MessageCount() > 0)
            readOne(*sender);
    });
    lan.sendTo("mailbox", "x");
    server.Thread()->CheckMessages();
    EXPECT_EQ(events, 1);
}

TEST(MailslotServer, DestroyedServerStopsPolling) {
    Computers lan;
    auto server = std::make_unique<TMailslotServer>(lan.pc1);
    TMailslotThread* thread = server->Thread();
    server->SetOnNewMessage([](TMailslotServer*) {});
    EXPECT_FALSE(thread->Suspended());
    server.reset();
    EXPECT_NO_THROW(TMailslotServer again(lan.pc1)) << "the mailslot was closed";
}

// An arrival wakes the look at once, whatever the interval; a burst is one look; no timer
// runs while nothing waits, and one runs (once, Interval long) while datagrams still wait.
TEST(MailslotServer, AnArrivalWakesTheLookAndABurstIsReadInOne) {
    Computers lan;
    TMailslotServer server(lan.pc1);
    server.SetInterval(60000);
    int events = 0;
    bool leaveOne = false;
    QList<QByteArray> read;
    server.SetOnNewMessage([&](TMailslotServer* sender) {
        ++events;
        while (sender->MessageCount() > (leaveOne ? 1u : 0u))
            read.append(readOne(*sender));
    });
    ASSERT_TRUE(server.Thread()->WakesOnArrival());
    QCoreApplication::processEvents(); // the look that Resume asks for
    EXPECT_FALSE(server.Thread()->TimerActive()) << "a timer ticks while nothing waits";
    events = 0;

    lan.sendTo("mailbox", "one");
    lan.sendTo("mailbox", "two");
    lan.sendTo("mailbox", "three");
    QCoreApplication::processEvents();
    EXPECT_EQ(read, QList<QByteArray>({"one", "two", "three"}));
    EXPECT_EQ(events, 1);
    EXPECT_EQ(server.Thread()->WakeCount(), 1u);
    EXPECT_FALSE(server.Thread()->TimerActive());

    // A datagram still waiting after the look is looked at again Interval later.
    server.SetInterval(20);
    leaveOne = true;
    lan.sendTo("mailbox", "four");
    lan.sendTo("mailbox", "five");
    QCoreApplication::processEvents();
    EXPECT_EQ(read.size(), 4);
    EXPECT_TRUE(server.Thread()->TimerActive());
    leaveOne = false;
    EXPECT_TRUE(QTest::qWaitFor([&] { return read.size() == 5; }, 2000));
    EXPECT_FALSE(server.Thread()->TimerActive());
}

TEST(MailslotServer, WhatArrivesWhilePollingIsOffIsReadWhenItIsBackOn) {
    Computers lan;
    TMailslotServer server(lan.pc1);
    server.SetInterval(60000);
    QList<QByteArray> read;
    server.SetOnNewMessage([&](TMailslotServer* sender) {
        while (sender->MessageCount() > 0)
            read.append(readOne(*sender));
    });
    server.SetMessagePolling(false);
    lan.sendTo("mailbox", "held");
    QTest::qWait(20);
    EXPECT_TRUE(read.isEmpty());
    server.SetMessagePolling(true);
    QCoreApplication::processEvents();
    EXPECT_EQ(read, QList<QByteArray>({"held"}));
}
