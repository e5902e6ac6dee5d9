// System control: distribution detection from a fake os-release, forwarding and traffic
// counters from a fake kernel file tree, and both forms for real inside network namespaces.
#include "CSystemControl.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "CSystemControlAdapter.h"
#include "CSystemControlCentOS.h"
#include "NetNamespace.h"
#include "TestSupport.h"

using orvane_test::NetNamespace;
using orvane_test::TempDir;
using orvane_test::writeFile;

namespace {

// A kernel file tree under a temporary folder.
class FakeProc {
public:
    void Set(const std::string& path, const std::string& text) {
        std::filesystem::create_directories(std::filesystem::path(dir.path() + path).parent_path());
        ASSERT_TRUE(writeFile(dir.path() + path, text));
    }
    void Remove(const std::string& path) { std::filesystem::remove(dir.path() + path); }
    void Forwarding(const char* ipv4, const char* ipv6) {
        Set("/proc/sys/net/ipv4/ip_forward", ipv4);
        Set("/proc/sys/net/ipv6/conf/all/forwarding", ipv6);
    }
    std::string root() const { return dir.path(); }

private:
    TempDir dir;
};

TEST(SystemControlAdapterTest, OsReleaseSelectsTheImplementation) {
    TempDir dir;
    const std::string osRelease = dir.file("os-release");
    struct Case {
        const char* text;
        int system;
        bool centos;
    };
    const Case cases[] = {
        {"NAME=\"Ubuntu\"\nID=ubuntu\n", CSystemControlAdapter::SYSTEM_UBUNTU, false},
        {"NAME=\"CentOS Linux\"\nID=\"centos\"\n", CSystemControlAdapter::SYSTEM_CENT, true},
        {"NAME=Fedora\n", CSystemControlAdapter::SYSTEM_FEDORA, false},
        {"ID=ubuntu\nNAME=Fedora CentOS\n", CSystemControlAdapter::SYSTEM_CENT, true},
        {"NAME=\"Debian GNU/Linux\"\n", CSystemControlAdapter::SYSTEM_COMMON, false},
    };
    for (const Case& c : cases) {
        ASSERT_TRUE(writeFile(osRelease, c.text));
        CSystemControlAdapter adapter(osRelease, "");
        ISystemControl* control = adapter.GetSystemControl();
        EXPECT_EQ(adapter.GetSystem(), c.system) << c.text;
        EXPECT_EQ(dynamic_cast<CSystemControlCentOS*>(control) != nullptr, c.centos) << c.text;
        EXPECT_EQ(adapter.GetSystemControl(), control);  // made once
    }
    CSystemControlAdapter missing(dir.file("none"), "");
    EXPECT_EQ(missing.GetSystem(), CSystemControlAdapter::SYSTEM_COMMON);
}

TEST(SystemControlTest, ForwardingFromTheKernelSwitches) {
    FakeProc proc;
    CSystemControlAdapter adapter("/nonexistent", proc.root());
    ISystemControl* control = adapter.GetSystemControl();

    // Nothing readable yet: forwarding counts as on.
    EXPECT_EQ(control->NetworkEnableIpForwarding(), 1);
    proc.Forwarding("0\n", "0\n");
    EXPECT_EQ(control->NetworkEnableIpForwarding(), 0);
    proc.Forwarding("0\n", "1\n");
    EXPECT_EQ(control->NetworkEnableIpForwarding(), 1);
    proc.Forwarding("1\n", "0\n");
    EXPECT_EQ(control->NetworkEnableIpForwarding(), 1);
    // An unreadable switch keeps the last value read.
    proc.Forwarding("0\n", "0\n");
    EXPECT_EQ(control->NetworkEnableIpForwarding(), 0);
    proc.Remove("/proc/sys/net/ipv4/ip_forward");
    EXPECT_EQ(control->NetworkEnableIpForwarding(), 0);
}

// The CentOS form judges by the IPv4 switch alone, read from the same kernel file.
TEST(CentOSTest, ForwardingFromTheIPv4SwitchOnly) {
    TempDir dir;
    ASSERT_TRUE(writeFile(dir.file("os-release"), "NAME=\"CentOS Linux\"\n"));
    FakeProc proc;
    CSystemControlAdapter adapter(dir.file("os-release"), proc.root());
    ISystemControl* control = adapter.GetSystemControl();
    ASSERT_NE(dynamic_cast<CSystemControlCentOS*>(control), nullptr);

    EXPECT_EQ(control->NetworkEnableIpForwarding(), 1);  // nothing readable yet: counts as on
    proc.Forwarding("0\n", "1\n");
    EXPECT_EQ(control->NetworkEnableIpForwarding(), 0);  // IPv6 forwarding does not count here
    proc.Forwarding("1\n", "0\n");
    EXPECT_EQ(control->NetworkEnableIpForwarding(), 1);
    proc.Remove("/proc/sys/net/ipv4/ip_forward");
    EXPECT_EQ(control->NetworkEnableIpForwarding(), 1);  // the last value read stays
}

const char kDevTitle[] =
    "Inter-|   Receive                                                |  Transmit\n"
    " face |bytes    packets errs drop fifo frame compressed multicast|bytes    packets errs "
    "drop fifo colls carrier compressed\n";

TEST(SystemControlTest, TrafficOfTheDefaultRouteAdapter) {
    FakeProc proc;
    CSystemControlAdapter adapter("/nonexistent", proc.root());
    ISystemControl* control = adapter.GetSystemControl();
    unsigned long sent = 7;
    unsigned long received = 7;
    EXPECT_EQ(control->NetworkTrafficStatistics(sent, received), -1);  // no /proc/net/dev
    EXPECT_EQ(sent, 7u);

    proc.Set("/proc/net/route",
             "Iface\tDestination\tGateway\tFlags\tRefCnt\tUse\tMetric\tMask\tMTU\tWindow\tIRTT\n"
             "eth1\t00000000\t0102000A\t0003\t0\t0\t0\t00000000\t0\t0\t0\n");
    proc.Set("/proc/net/dev", std::string(kDevTitle) +
                                  "    lo: 100 1 0 0 0 0 0 0 100 1 0 0 0 0 0 0\n"
                                  "  eth1:5000000000 9 0 0 0 0 0 0 4321 8 0 0 0 0 0 0\n");
    EXPECT_EQ(control->NetworkTrafficStatistics(sent, received), 0);
    EXPECT_EQ(sent, 4321u);
    EXPECT_EQ(received, 5000000000u);

    // Without a default route the previous counters are reported again.
    proc.Set("/proc/net/route", "Iface\tDestination\tGateway\tFlags\n");
    proc.Set("/proc/net/dev", std::string(kDevTitle) + "  eth1: 1 1 0 0 0 0 0 0 1 1 0 0 0 0 0 0\n");
    EXPECT_EQ(control->NetworkTrafficStatistics(sent, received), 0);
    EXPECT_EQ(sent, 4321u);
    EXPECT_EQ(received, 5000000000u);
}

// Forwarding of both forms inside the namespace, as "general centos".
std::string ForwardingInside() {
    CSystemControlAdapter general("/nonexistent", "");
    TempDir dir;
    writeFile(dir.file("os-release"), "NAME=\"CentOS Linux\"\n");
    CSystemControlAdapter centos(dir.file("os-release"), "");
    return std::to_string(general.GetSystemControl()->NetworkEnableIpForwarding()) + " " +
           std::to_string(centos.GetSystemControl()->NetworkEnableIpForwarding());
}

TEST(SystemControlNamespaceTest, ForwardingIsReadPerNamespace) {
    NetNamespace off(false);
    if (!off.ok())
        GTEST_SKIP() << off.error();
    NetNamespace on4(false);
    NetNamespace on6(false);
    ASSERT_TRUE(on4.ok() && on6.ok());
    ASSERT_TRUE(off.exec("sysctl -w net.ipv4.ip_forward=0 net.ipv6.conf.all.forwarding=0"));
    ASSERT_TRUE(on4.exec("sysctl -w net.ipv4.ip_forward=1"));
    ASSERT_TRUE(on6.exec("sysctl -w net.ipv4.ip_forward=0 net.ipv6.conf.all.forwarding=1"));

    EXPECT_EQ(off.runInside(ForwardingInside), "0 0");
    EXPECT_EQ(on4.runInside(ForwardingInside), "1 1");
    // Only the general form looks at IPv6.
    EXPECT_EQ(on6.runInside(ForwardingInside), "1 0");
}

TEST(SystemControlNamespaceTest, TrafficOfTheNamespaceCard) {
    NetNamespace ns(true);
    if (!ns.ok())
        GTEST_SKIP() << ns.error();
    auto seen = ns.runInside([] {
        CSystemControlAdapter adapter("/nonexistent", "");
        auto* control = static_cast<CSystemControl*>(adapter.GetSystemControl());
        unsigned long before = 0;
        unsigned long received = 0;
        if (control->NetworkTrafficStatistics(before, received) != 0)
            return std::string("-1");
        // A datagram to the gateway sends an address resolution request out of veth0.
        int fd = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(9);
        inet_pton(AF_INET, "192.0.2.1", &to.sin_addr);
        sendto(fd, "x", 1, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
        close(fd);
        unsigned long after = before;
        orvane_test::waitFor(
            [&] {
                return control->NetworkTrafficStatistics(after, received) == 0 && after > before;
            },
            std::chrono::seconds(5));
        return std::string(control->GetStatistics().szInterface) +
               (after > before ? " sent" : " silent");
    });
    EXPECT_EQ(seen, "veth0 sent");
}

}  // namespace
