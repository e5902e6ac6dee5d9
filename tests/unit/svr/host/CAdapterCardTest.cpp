// Adapter lookups: route tables parsed from files of the test's own, and the real lookups
// inside network namespaces made by the test.
#include "CAdapterCard.h"

#include <gtest/gtest.h>

#include <string>

#include "NetNamespace.h"
#include "TestSupport.h"

using orvane_test::NetNamespace;
using orvane_test::TempDir;
using orvane_test::writeFile;

namespace {

const char kRouteTitle[] =
    "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\tWindow\tIRTT\n";

std::string Route(const char* iface, const char* destination, const char* flags, const char* mask) {
    return std::string(iface) + "\t" + destination + "\t0102000A\t" + flags + "\t0\t0\t0\t" + mask +
           "\t0\t0\t0\n";
}

std::string Route6(const char* destination, const char* prefix, const char* flags,
                   const char* device) {
    const std::string zero(32, '0');
    return std::string(destination) + " " + prefix + " " + zero + " 00 " + zero +
           " 00000400 00000001 00000000 " + flags + " " + device + "\n";
}

std::string Lookup(CAdapterCard& card, bool ipv6) {
    CAutoString name("stale");
    int result = ipv6 ? card.GetActiveInterfaceNameIPv6(name) : card.GetActiveCardName(name);
    return std::to_string(result) + " " + name.c_str();
}

TEST(AdapterCardTableTest, DefaultRouteIsTheFirstUpRouteToEverywhere) {
    TempDir dir;
    const std::string route = dir.file("route");
    const std::string route6 = dir.file("ipv6_route");
    CAdapterCard card(route.c_str(), route6.c_str());

    ASSERT_TRUE(writeFile(route, kRouteTitle + Route("eth0", "0000A8C0", "0001", "00FFFFFF") +
                                     Route("wlan0", "00000000", "0002", "00000000") +
                                     Route("eth1", "00000000", "0003", "00000000") +
                                     Route("eth2", "00000000", "0003", "00000000")));
    EXPECT_EQ(Lookup(card, false), "0 eth1");

    const std::string zero(32, '0');
    ASSERT_TRUE(
        writeFile(route6, Route6("20010db8000000000000000000000000", "40", "00000001", "eth0") +
                              Route6(zero.c_str(), "00", "00200200", "lo") +
                              Route6(zero.c_str(), "00", "00000003", "ppp0")));
    EXPECT_EQ(Lookup(card, true), "0 ppp0");

    // No default route, and no table at all: -1 with the name emptied.
    ASSERT_TRUE(writeFile(route, kRouteTitle + Route("eth0", "0000A8C0", "0001", "00FFFFFF")));
    ASSERT_TRUE(writeFile(route6, Route6(zero.c_str(), "00", "00200200", "lo")));
    EXPECT_EQ(Lookup(card, false), "-1 ");
    EXPECT_EQ(Lookup(card, true), "-1 ");
    CAdapterCard missing(dir.file("none").c_str(), dir.file("none6").c_str());
    EXPECT_EQ(Lookup(missing, false), "-1 ");
}

// What a namespace shows through the lookups, one line each.
std::string Survey(const char* card4, const char* card6) {
    CAdapterCard card;
    std::string out = Lookup(card, false) + "\n" + Lookup(card, true) + "\n";
    CAutoString ip("none");
    CAutoString mac("none");
    const int found4 = card.GetIpAndMac(card4, ip, mac);
    out += std::to_string(found4) + " " + ip.c_str() + " " + mac.c_str() + "\n";
    CAutoString ip6("none");
    const int found6 = card.GetIPAddress(10, card6, ip6);
    out += std::to_string(found6) + " " + ip6.c_str();
    return out;
}

TEST(AdapterCardNamespaceTest, FindsTheCardOfTheDefaultRoute) {
    NetNamespace ns(true);
    if (!ns.ok())
        GTEST_SKIP() << ns.error();
    ASSERT_TRUE(ns.exec("ip link set veth0 address 02:AA:bb:cc:dd:0e"));
    ASSERT_TRUE(ns.exec("ip -6 addr add 2001:db8::10/64 dev veth0 nodad"));
    ASSERT_TRUE(ns.exec("ip -6 route add default via 2001:db8::1 dev veth0"));

    // The IPv6 address lookup ignores the case of the name; the link-local address that the
    // kernel adds is not global and must not be chosen.
    auto seen = ns.runInside([] { return Survey("veth0", "VETH0"); });
    ASSERT_TRUE(seen);
    EXPECT_EQ(*seen, "0 veth0\n0 veth0\n0 192.0.2.10 02-aa-bb-cc-dd-0e\n0 2001:db8::10");
}

TEST(AdapterCardNamespaceTest, WithoutDefaultRouteNothingIsFound) {
    NetNamespace ns(false);
    if (!ns.ok())
        GTEST_SKIP() << ns.error();
    auto seen = ns.runInside([] {
        std::string out = Survey("lo", "lo");
        CAdapterCard card;
        CAutoString ip("kept");
        CAutoString mac("kept");
        const int unknown = card.GetIpAndMac("nosuch0", ip, mac);
        out += "\n" + std::to_string(unknown) + " " + ip.c_str() + " " + mac.c_str();
        out += "\n" + std::to_string(card.GetIpAndMac("abcdefghijklmnop", ip, mac));
        return out;
    });
    ASSERT_TRUE(seen);
    // Loopback: the unreachable IPv6 default of the local table is not a route out; it has an
    // IPv4 address and an all-zero MAC but no global IPv6 address.
    EXPECT_EQ(*seen, "-1 \n-1 \n0 127.0.0.1 00-00-00-00-00-00\n0 none\n-1 kept kept\n-1");
}

}  // namespace
