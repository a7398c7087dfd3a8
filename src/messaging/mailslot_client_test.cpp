#include "messaging/mailslot_client.h"

#include "messaging/mailslot_server.h"
#include "network/memory_network.h"

#include <QCoreApplication>

#include <gtest/gtest.h>

#include <cerrno>

using namespace kalvento::messaging;
using namespace kalvento::platform;
using namespace kalvento::network;

namespace {

// PC1 and PC2 in WORK, PC3 in HOME, each receiving on "Terminal".
struct Lan {
    InMemoryHub hub;
    InMemoryNetwork pc1{hub, "PC1", "WORK"};
    InMemoryNetwork pc2{hub, "PC2", "WORK"};
    InMemoryNetwork pc3{hub, "PC3", "HOME"};
    TMailslotServer s1{pc1};
    TMailslotServer s2{pc2};
    TMailslotServer s3{pc3};

    Lan() {
        for (auto* server : {&s1, &s2, &s3})
            server->SetMailslotName("Terminal");
    }
};

} // namespace

TEST(MailslotClient, ReachesTheComputersItsReceiverTypeNames) {
    struct Case {
        TReceiverType receiver;
        const char* receiverName;
        quint32 at1, at2, at3;
    } cases[] = {
        {rcLocalComputer, "PC3", 1, 0, 0},     {rcPrimaryDomain, "", 1, 1, 0},
        {rcDomainOrComputer, "pc2", 0, 1, 0},  {rcDomainOrComputer, "home", 0, 0, 1},
        {rcDomainOrComputer, "WORK", 1, 1, 0},
    };
    for (const auto& c : cases) {
        Lan lan;
        TMailslotClient client(lan.pc1);
        EXPECT_EQ(client.MailslotName(), "mailbox");
        EXPECT_EQ(client.Receiver(), rcPrimaryDomain);
        EXPECT_EQ(client.Handle(), 0u) << "opens nothing before the first write";
        client.SetMailslotName("terminal");
        client.SetReceiver(c.receiver);
        client.SetReceiverName(c.receiverName);
        EXPECT_EQ(client.Write("hello", 5), 5u);
        EXPECT_EQ(lan.s1.MessageCount(), c.at1) << c.receiver << c.receiverName;
        EXPECT_EQ(lan.s2.MessageCount(), c.at2) << c.receiver << c.receiverName;
        EXPECT_EQ(lan.s3.MessageCount(), c.at3) << c.receiver << c.receiverName;
    }
}

TEST(MailslotClient, EveryWriterClosesEvenForTheSameValue) {
    Lan lan;
    TMailslotClient client(lan.pc1);
    client.SetMailslotName("Terminal");
    const std::function<void()> writers[] = {
        [&] { client.SetMailslotName(client.MailslotName()); },
        [&] { client.SetReceiverName(client.ReceiverName()); },
        [&] { client.SetReceiver(client.Receiver()); },
    };
    for (const auto& write : writers) {
        client.Write("x");
        const quint32 open = client.Handle();
        ASSERT_NE(open, 0u);
        client.Write("y");
        EXPECT_EQ(client.Handle(), open) << "stays open between writes";
        write();
        EXPECT_EQ(client.Handle(), 0u);
    }
    client.Write("z");
    EXPECT_NE(client.Handle(), 0u) << "the next write opens again";
}

TEST(MailslotClient, FailuresCarryTheSystemText) {
    Lan lan;
    TMailslotClient client(lan.pc1);
    client.SetMailslotName("Terminal");
    client.SetReceiver(rcDomainOrComputer);
    client.SetReceiverName("PC2");

    struct Case {
        const char* what;
        std::function<void()> arrange;
        QByteArray datagram;
        int errorNumber;
    } cases[] = {
        {"send failure", [&] { lan.pc1.failNextSend("PC2", ENETUNREACH); }, "x", ENETUNREACH},
        {"too long for the network", [] {}, QByteArray(int(kMaxDatagramSize) + 1, 'x'), EMSGSIZE},
        {"no receiver name", [&] { client.SetReceiverName(""); }, "x", EDESTADDRREQ},
    };
    for (const auto& c : cases) {
        c.arrange();
        try {
            client.Write(c.datagram);
            ADD_FAILURE() << c.what << ": no error";
        } catch (const EMailslotClientError& e) {
            EXPECT_EQ(e.text(), systemErrorText(c.errorNumber)) << c.what;
        }
    }
    EXPECT_EQ(lan.s2.MessageCount(), 0u);
}

TEST(MailslotClient, LongNamesAreCutAsPathsOf200Characters) {
    Lan lan;
    const QString longName(300, QChar('m'));
    lan.s1.SetMailslotName(longName);
    EXPECT_EQ(lan.s1.MailslotName(), longName);
    TMailslotClient client(lan.pc1);
    client.SetReceiver(rcLocalComputer);
    client.SetMailslotName(longName.left(190)); // both cut to the same 187 characters
    client.Write("x");
    EXPECT_EQ(lan.s1.MessageCount(), 1u);

    client.SetReceiver(rcDomainOrComputer);
    client.SetReceiverName(QString(200, QChar('c')));
    EXPECT_THROW(client.Write("x"), EMailslotClientError) << "the mailslot part was cut off";
}
