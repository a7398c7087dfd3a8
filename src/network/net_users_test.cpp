#include "network/memory_network.h"
#include "network/net_users.h"

#include <gtest/gtest.h>

using namespace kalvento;
using network::InMemoryHub;
using network::InMemoryNetwork;

TEST(NetUsersWalk, ListsEveryGroupWithARunningCopyOnceSortedWithoutLetterCase) {
    InMemoryHub hub;
    InMemoryNetwork own(hub, "PC1", "Workgroup");
    InMemoryNetwork a(hub, "PC2", "WORKGROUP");
    InMemoryNetwork b(hub, "PC3", "accounts");
    InMemoryNetwork silent(hub, "PC4", "NOBODY"); // no receiver open: not running
    auto r1 = own.openReceiver("Terminal");
    auto r2 = a.openReceiver("Terminal");
    auto r3 = b.openReceiver("Terminal");

    network::TNetUsers users(own);
    EXPECT_TRUE(users.Enumerate());
    ASSERT_EQ(users.Names().size(), 2);
    EXPECT_EQ(users.Names()[0], "accounts");
    EXPECT_EQ(users.Names()[1].toUpper(), "WORKGROUP");
    EXPECT_EQ(network::GetGroupName(own), "Workgroup");
}

TEST(NetUsersWalk, NothingAnsweringGivesFalseAndEmptiesNames) {
    InMemoryHub hub;
    InMemoryNetwork own(hub, "PC1", "WG");
    auto receiver = own.openReceiver("Terminal");
    network::TNetUsers users(own);
    ASSERT_TRUE(users.Enumerate());
    receiver.reset();
    EXPECT_FALSE(users.Enumerate());
    EXPECT_TRUE(users.Names().isEmpty());
}
