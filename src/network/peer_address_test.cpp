#include "network/peer_address.h"

#include <gtest/gtest.h>

#include "support/qt_print.h"

using namespace kalvento::platform;
using namespace kalvento::network;

namespace {

constexpr quint32 ip(int a, int b, int c, int d) {
    return quint32(a) << 24 | quint32(b) << 16 | quint32(c) << 8 | quint32(d);
}

} // namespace

TEST(StaticPeerEntry, AddressesPortsAndSubnets) {
    EXPECT_EQ(parsePeerEntry(u" 10.0.4.7 ", 5737).endpoints,
              (QList<Ipv4Endpoint>{{ip(10, 0, 4, 7), 5737}}));
    EXPECT_EQ(parsePeerEntry(u"10.0.4.7:5800", 5737).endpoints,
              (QList<Ipv4Endpoint>{{ip(10, 0, 4, 7), 5800}}));
    // A /30 has two hosts: its first and last address are the subnet's own.
    EXPECT_EQ(parsePeerEntry(u"198.51.100.9/30", 5737).endpoints,
              (QList<Ipv4Endpoint>{{ip(198, 51, 100, 9), 5737}, {ip(198, 51, 100, 10), 5737}}));
    EXPECT_EQ(parsePeerEntry(u"198.51.100.8/31:6000", 5737).endpoints,
              (QList<Ipv4Endpoint>{{ip(198, 51, 100, 8), 6000}, {ip(198, 51, 100, 9), 6000}}));
    EXPECT_EQ(parsePeerEntry(u"198.51.100.9/32", 5737).endpoints,
              (QList<Ipv4Endpoint>{{ip(198, 51, 100, 9), 5737}}));

    // The largest subnet: 1,024 addresses, 1,022 hosts, from .0.1 to .3.254.
    const StaticPeerEntry widest = parsePeerEntry(u"10.1.2.3/22", 5737);
    ASSERT_TRUE(widest.ok());
    ASSERT_EQ(widest.endpoints.size(), 1022);
    EXPECT_EQ(widest.endpoints.front().address, ip(10, 1, 0, 1));
    EXPECT_EQ(widest.endpoints.back().address, ip(10, 1, 3, 254));
}

TEST(StaticPeerEntry, AnythingElseIsRefusedWithAReason) {
    for (const char16_t* text :
         {u"", u"  ", u"host.example", u"10.0.4", u"10.0.4.256", u"10.0.4.7:0", u"10.0.4.7:65536",
          u"10.0.4.7:x", u"10.0.0.0/21", u"10.0.0.0/33", u"10.0.0.0/", u"/24", u"10.0.4.7:5800:1",
          u"::1"}) {
        const StaticPeerEntry entry = parsePeerEntry(text, 5737);
        EXPECT_FALSE(entry.ok()) << QString::fromUtf16(text).toStdString();
        EXPECT_TRUE(entry.endpoints.isEmpty()) << QString::fromUtf16(text).toStdString();
    }
    EXPECT_TRUE(parsePeerEntry(u"10.0.0.0/16", 5737).error.contains("/22"));
}

TEST(StaticPeerEntry, AListSkipsWhatDoesNotParseAndRepeatsNothing) {
    const QList<Ipv4Endpoint> endpoints = expandPeerEntries(
        {"198.51.100.9/30", "nonsense", "198.51.100.10", "198.51.100.10:6000", "10.0.0.1"}, 5737);
    EXPECT_EQ(endpoints, (QList<Ipv4Endpoint>{{ip(198, 51, 100, 9), 5737},
                                              {ip(198, 51, 100, 10), 5737},
                                              {ip(198, 51, 100, 10), 6000},
                                              {ip(10, 0, 0, 1), 5737}}));
}
