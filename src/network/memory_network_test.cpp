#include "network/memory_network.h"

#include <gtest/gtest.h>

#include <cerrno>

using namespace kalvento::platform;
using namespace kalvento::network;

namespace {

QByteArray readNext(DatagramReceiver& receiver) {
    QByteArray buffer(qsizetype(receiver.nextSize()), '\0');
    buffer.resize(qsizetype(receiver.read(buffer.data(), quint32(buffer.size()))));
    return buffer;
}

int errorOf(const std::function<void()>& action) {
    try {
        action();
    } catch (const SystemError& e) {
        return e.errorNumber();
    }
    return 0;
}

// Three computers: PC1 and PC2 in WORK, PC3 in HOME.
struct Lan {
    InMemoryHub hub;
    InMemoryNetwork pc1{hub, "PC1", "WORK"};
    InMemoryNetwork pc2{hub, "PC2", "work"};
    InMemoryNetwork pc3{hub, "PC3", "HOME"};
    std::unique_ptr<DatagramReceiver> r1 = pc1.openReceiver("Terminal");
    std::unique_ptr<DatagramReceiver> r2 = pc2.openReceiver("Terminal");
    std::unique_ptr<DatagramReceiver> r3 = pc3.openReceiver("Terminal");
};

} // namespace

TEST(InMemoryNetwork, DeliversByAddressKindAndCaseInsensitiveNames) {
    struct Case {
        const char* what;
        AddressKind kind;
        const char* receiver;
        const char* mailslot;
        int expected1, expected2, expected3;
    } cases[] = {
        {"local computer", AddressKind::LocalComputer, "", "Terminal", 1, 0, 0},
        {"own group", AddressKind::PrimaryGroup, "", "Terminal", 1, 1, 0},
        {"named computer", AddressKind::Named, "pc2", "Terminal", 0, 1, 0},
        {"named group", AddressKind::Named, "Home", "Terminal", 0, 0, 1},
        {"mailslot name folded", AddressKind::Named, "WORK", "TERMINAL", 1, 1, 0},
        {"unknown name is lost", AddressKind::Named, "PC9", "Terminal", 0, 0, 0},
        {"other mailslot name", AddressKind::PrimaryGroup, "", "mailbox", 0, 0, 0},
    };
    for (const auto& c : cases) {
        Lan lan;
        lan.pc1.send(c.kind, c.receiver, c.mailslot, "hello");
        EXPECT_EQ(lan.r1->pendingCount(), quint32(c.expected1)) << c.what;
        EXPECT_EQ(lan.r2->pendingCount(), quint32(c.expected2)) << c.what;
        EXPECT_EQ(lan.r3->pendingCount(), quint32(c.expected3)) << c.what;
    }
}

TEST(InMemoryNetwork, QueuesWholeDatagramsInOrder) {
    Lan lan;
    lan.pc2.send(AddressKind::Named, "PC1", "Terminal", "first");
    lan.pc2.send(AddressKind::Named, "PC1", "Terminal", "");
    lan.pc2.send(AddressKind::Named, "PC1", "Terminal", "third");
    EXPECT_EQ(lan.r1->pendingCount(), 3u);
    EXPECT_EQ(lan.r1->nextSize(), 5u);
    EXPECT_EQ(readNext(*lan.r1), "first");
    EXPECT_EQ(readNext(*lan.r1), "");
    char small[2];
    EXPECT_EQ(errorOf([&] { lan.r1->read(small, sizeof small); }), EMSGSIZE);
    EXPECT_EQ(readNext(*lan.r1), "third") << "a read into too small a buffer keeps the datagram";
    EXPECT_EQ(errorOf([&] { lan.r1->read(small, sizeof small); }), EAGAIN);
}

TEST(InMemoryNetwork, OneReceiverPerComputer) {
    InMemoryHub hub;
    InMemoryNetwork first(hub, "PC1", "WORK");
    InMemoryNetwork secondCopy(hub, "pc1", "WORK"); // another process on the same computer
    auto receiver = first.openReceiver("Terminal");
    EXPECT_EQ(errorOf([&] { first.openReceiver("mailbox"); }), EADDRINUSE);
    try {
        secondCopy.openReceiver("Terminal");
        FAIL() << "second receiver opened";
    } catch (const SystemError& e) {
        EXPECT_EQ(e.text(), systemErrorText(EADDRINUSE));
    }
    receiver.reset();
    EXPECT_NO_THROW(secondCopy.openReceiver("Terminal"));
}

TEST(InMemoryNetwork, QueryGroupsListsComputersWithAReceiver) {
    InMemoryHub hub;
    InMemoryNetwork pc1(hub, "PC1", "WORK");
    InMemoryNetwork pc2(hub, "PC2", "HOME");
    InMemoryNetwork idle(hub, "PC3", "IDLE");
    auto r1 = pc1.openReceiver("Terminal");
    auto r2 = pc2.openReceiver("Terminal");
    QStringList groups = idle.queryGroups(std::chrono::milliseconds(0));
    groups.sort();
    EXPECT_EQ(groups, QStringList({"HOME", "WORK"}));
}

TEST(InMemoryNetwork, RefusesOversizeAndInjectedFailures) {
    Lan lan;
    lan.hub.setMaxDatagramSize(10);
    EXPECT_EQ(lan.pc1.maxDatagramSize(), 10u);
    EXPECT_EQ(errorOf([&] { lan.pc1.send(AddressKind::Named, "PC2", "Terminal", "01234567890"); }),
              EMSGSIZE);
    EXPECT_EQ(errorOf([&] { lan.pc1.send(AddressKind::Named, "PC2", "Terminal", "0123456789"); }),
              0);

    lan.pc1.failNextSend("pc2", ENETUNREACH);
    EXPECT_EQ(errorOf([&] { lan.pc1.send(AddressKind::Named, "PC2", "Terminal", "x"); }),
              ENETUNREACH);
    EXPECT_EQ(errorOf([&] { lan.pc1.send(AddressKind::Named, "PC2", "Terminal", "y"); }), 0)
        << "only the next send fails";
    EXPECT_EQ(lan.r2->pendingCount(), 2u);
    EXPECT_EQ(lan.pc1.sendCount("PC2"), 2);
    EXPECT_EQ(lan.pc1.totalSendCount(), 2);
}

TEST(InMemoryNetwork, CopiesPerDeliveryImitateSeveralTransports) {
    Lan lan;
    lan.hub.setCopiesPerDelivery(3);
    lan.pc1.send(AddressKind::PrimaryGroup, "", "Terminal", "x");
    EXPECT_EQ(lan.r1->pendingCount(), 3u);
    EXPECT_EQ(lan.r2->pendingCount(), 3u);
    EXPECT_EQ(lan.hub.deliveredCount(), 6u);
}

TEST(InMemoryNetwork, PartsMayBeDestroyedInAnyOrder) {
    auto hub = std::make_unique<InMemoryHub>();
    auto network = std::make_unique<InMemoryNetwork>(*hub, "PC1", "WORK");
    auto receiver = network->openReceiver("Terminal");
    auto other = std::make_unique<InMemoryNetwork>(*hub, "PC2", "WORK");
    hub.reset();
    other->send(AddressKind::Named, "PC1", "Terminal", "still here");
    network.reset();
    EXPECT_EQ(readNext(*receiver), "still here");
    receiver.reset();
    EXPECT_NO_THROW(other->send(AddressKind::PrimaryGroup, "", "Terminal", "nobody"));
}

TEST(InMemoryNetwork, ReachIsWhatTheHubKnowsOfEachComputer) {
    Lan lan;
    InMemoryNetwork closed(lan.hub, "PC4", "WORK"); // no receiver open
    lan.pc3.setAnswersWalks(false);                 // open, but it answers no walk
    const struct {
        const char* name;
        Reach expected;
    } cases[] = {
        {"PC1", Reach::Confirmed}, // itself
        {"pc2", Reach::Confirmed},  {"PC3", Reach::Heard},
        {"PC4", Reach::Unknown},    {"WORK", Reach::Unknown}, // a group is no computer
        {"NOBODY", Reach::Unknown},
    };
    for (const auto& c : cases)
        EXPECT_EQ(lan.pc1.reach(c.name), c.expected) << c.name;
    EXPECT_FALSE(lan.pc1.confirm("PC3")); // nothing to ask on a hub
    // The walk does not find a copy that answers none.
    EXPECT_EQ(lan.pc1.queryGroups(std::chrono::milliseconds(0)), QStringList({"WORK", "work"}));
    // The setting follows the computer to a receiver opened later.
    lan.r3.reset();
    auto again = lan.pc3.openReceiver("Terminal");
    EXPECT_EQ(lan.pc1.reach("PC3"), Reach::Heard);
    lan.pc3.setAnswersWalks(true);
    EXPECT_EQ(lan.pc1.reach("PC3"), Reach::Confirmed);
}
