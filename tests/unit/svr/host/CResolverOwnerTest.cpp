// The hand-over of the portal's name servers to the resolver's owner, with the owners played by
// fakes: systemd-resolved on a private bus, resolvconf in a test folder; the link is loopback (a
// route file of the test's names it), which every namespace has.
#include "CResolverOwner.h"

#include <gtest/gtest.h>
#include <net/if.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "PrivateBus.h"
#include "TestSupport.h"

using namespace orvane_test;
using namespace std::chrono_literals;

namespace {

const char kRoute[] =
    "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\tWindow\tIRTT\n"
    "lo\t00000000\t0100007F\t0003\t0\t0\t0\t00000000\t0\t0\t0\n";

std::string Lo() {
    return std::to_string(if_nametoindex("lo"));
}

class ResolverOwnerTest : public ::testing::Test {
protected:
    void SetUp() override {
        writeFile(dir.file("route"), kRoute);
        writeFile(dir.file("resolv.conf"), "nameserver 192.0.2.53\n");
        paths.resolver = dir.file("resolv.conf");
        paths.resolverSaved = dir.file("resolv.conf.saved");
        paths.resolvconfFolders = {};
        paths.systemBus = "unix:path=" + dir.file("no-bus");
    }
    int Apply(const char* dns1, const char* dns2) {
        CAutoString a(dns1), b(dns2);
        return owner().SetDNSServers(a, b);
    }
    CResolverOwner& owner() {
        if (!m_owner)
            m_owner = std::make_unique<CResolverOwner>(paths, adapter);
        return *m_owner;
    }
    bool RecordExists() const {
        struct stat st;
        return lstat(dir.file("resolv.conf.owner").c_str(), &st) == 0;
    }

    TempDir dir;
    CAdapterCard adapter{dir.file("route").c_str(), dir.file("ipv6_route").c_str()};
    CResolverOwner::Paths paths;
    std::unique_ptr<CResolverOwner> m_owner;
};

}  // namespace

// Only valid, non-local servers reach systemd-resolved; the link's own settings come back at
// the undoing, also through a new object (the next start after a crash).
TEST_F(ResolverOwnerTest, ResolvedGetsTheValidServersAndTheLinkBack) {
    PrivateBus bus;
    ASSERT_TRUE(bus.ok());
    ASSERT_TRUE(bus.StartResolved({"--dns", Lo(), "192.0.2.99", "--domain", Lo(), "lan"}));
    paths.systemBus = bus.Address();
    EXPECT_EQ(0, Apply("10.1.1.1\nnameserver 6.6.6.6", "2001:db8::53"));
    EXPECT_EQ(0, Apply("127.0.0.53", "10.1.1.2"));  // a state query: the link's own kept
    m_owner.reset();
    ASSERT_TRUE(RecordExists());
    EXPECT_EQ(0, owner().RestoreDNSServers());
    EXPECT_EQ("GetLink " + Lo() + "\nSetLinkDNS " + Lo() + " 2001:db8::53\nSetLinkDomains " + Lo() +
                  " ~.\nSetLinkDNS " + Lo() + " 10.1.1.2\nSetLinkDomains " + Lo() +
                  " ~.\nSetLinkDNS " + Lo() + " 192.0.2.99\nSetLinkDomains " + Lo() + " lan\n",
              bus.Calls());
    EXPECT_FALSE(RecordExists());
    EXPECT_EQ("nameserver 192.0.2.53\n", readFile(paths.resolver));
}

// A refusal or a silent bus fails the application (as a refused file does) within seconds and
// what was set goes again; an undoing the bus does not answer keeps the record for a later try,
// which finds the resolver service gone and with it the settings.
TEST_F(ResolverOwnerTest, RefusedOrSilentResolvedInBoundedTime) {
    struct Case {
        const char* mode;
        const char* method;
        int applied;
    };
    for (const Case& c :
         {Case{"--refuse", "SetLinkDomains", EACCES}, Case{"--silent", "SetLinkDomains", EACCES},
          Case{"--silent", "RevertLink", 0}}) {
        SCOPED_TRACE(std::string(c.mode) + " " + c.method);
        PrivateBus bus;
        ASSERT_TRUE(bus.ok());
        ASSERT_TRUE(bus.StartResolved({c.mode, c.method}));
        paths.systemBus = bus.Address();
        m_owner.reset();
        auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(c.applied, Apply("10.1.1.1", ""));
        EXPECT_LT(std::chrono::steady_clock::now() - start, 8s);
        if (c.applied == 0) {
            start = std::chrono::steady_clock::now();
            EXPECT_NE(0, owner().RestoreDNSServers());
            EXPECT_LT(std::chrono::steady_clock::now() - start, 8s);
            EXPECT_TRUE(RecordExists());
        } else {
            EXPECT_NE(std::string::npos, bus.Calls().find("RevertLink " + Lo())) << bus.Calls();
            EXPECT_FALSE(RecordExists());
        }
        bus.StopResolved();
        EXPECT_EQ(0, owner().RestoreDNSServers());
        EXPECT_FALSE(RecordExists());
    }
}

// resolvconf gets a record of the link with one line a server; its deletion is the undoing.
TEST_F(ResolverOwnerTest, ResolvconfRecordAddedAndDeleted) {
    ResolvconfFolder fake;
    paths.resolvconfFolders = {dir.file("none"), fake.Folder()};
    EXPECT_EQ(0, Apply("10.1.1.1", "10.1.1.2"));
    EXPECT_EQ("-a lo.orvane\nnameserver 10.1.1.1\nnameserver 10.1.1.2\n", fake.Log());
    m_owner.reset();
    EXPECT_EQ(0, owner().RestoreDNSServers());
    EXPECT_EQ("-a lo.orvane\nnameserver 10.1.1.1\nnameserver 10.1.1.2\n-d lo.orvane\n", fake.Log());
    EXPECT_FALSE(RecordExists());
    EXPECT_EQ("nameserver 192.0.2.53\n", readFile(paths.resolver));
}

// A program that anyone may change is never run as root; one that fails fails the application,
// its record kept until a deletion succeeds; one that hangs is killed in bounded time.
TEST_F(ResolverOwnerTest, ResolvconfUnsafeFailingOrHangingProgram) {
    ResolvconfFolder fake;
    paths.resolvconfFolders = {fake.Folder()};
    chmod(fake.Program().c_str(), 0777);
    EXPECT_EQ("", CResolvconf({fake.Folder()}).Program());
    chmod(fake.Program().c_str(), 0755);
    fake.FailFromNow();
    EXPECT_EQ(EACCES, Apply("10.1.1.1", ""));
    EXPECT_TRUE(RecordExists());
    EXPECT_NE(0, owner().RestoreDNSServers());
    unlink((fake.Folder() + "/resolvconf.fail").c_str());
    EXPECT_EQ(0, owner().RestoreDNSServers());
    EXPECT_FALSE(RecordExists());
    EXPECT_EQ("-a lo.orvane\nnameserver 10.1.1.1\n-d lo.orvane\n-d lo.orvane\n-d lo.orvane\n",
              fake.Log());
    fake.HangFromNow();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(ETIMEDOUT, CResolvconf({fake.Folder()}).Delete("lo.orvane"));
    EXPECT_LT(std::chrono::steady_clock::now() - start, CResolvconf::kWait + 3s);
}

// Names and addresses that would change what resolvconf is told never reach it.
TEST(ResolvconfTest, HostileNamesAndAddressesNeverRunTheProgram) {
    ResolvconfFolder fake;
    const CResolvconf resolvconf({fake.Folder()});
    for (const char* record : {"", ".orvane", "veth0", "-d.orvane", "../x.orvane", "a/b.orvane",
                               "a b.orvane", "abcdefghijklmnop.orvane", ".hidden.orvane"})
        EXPECT_EQ(EINVAL, resolvconf.Add(record, {"10.1.1.1"})) << record;
    for (const char* address : {"10.1.1.1\nnameserver 6.6.6.6", "10.1.1.1 x", "", "300.1.1.1"})
        EXPECT_EQ(EINVAL, resolvconf.Add("veth0.orvane", {address})) << address;
    EXPECT_EQ(EINVAL, resolvconf.Add("veth0.orvane", {}));
    EXPECT_EQ("", fake.Log());
    EXPECT_TRUE(CResolvconf::IsPlainInterfaceName("wlp2s0"));
    EXPECT_TRUE(CResolvconf::IsPlainInterfaceName("br-lan.10"));
    EXPECT_EQ(0, resolvconf.Add("br-lan.10.orvane", {"2001:db8::1"}));
}

// A record file counts only when whole and sensible: a damaged or planted one is never acted on.
TEST(ResolverOwnerRecordTest, OnlyWholeSensibleRecordsAreRead) {
    CResolverOwnerRecord record;
    record.owner = CResolverOwnerRecord::Owner::kResolved;
    record.iface = "veth0";
    record.ifindex = 3;
    record.before.dns = {{AF_INET, {192, 0, 2, 53}}};
    record.before.domains = {{"lan", false}, {".", true}};
    CResolverOwnerRecord back;
    ASSERT_TRUE(back.Parse(record.Text()));
    EXPECT_EQ(record.Text(), back.Text());
    EXPECT_EQ("owner systemd-resolved\nlink veth0 3\ndns 192.0.2.53\ndomain lan\ndomain ~.\n",
              record.Text());
    for (const char* text :
         {"", "owner systemd-resolved\n", "owner systemd-resolved\nlink veth0 3",
          "owner systemd-resolved\nlink veth0 -3\n", "owner systemd-resolved\nlink ../x 3\n",
          "owner systemd-resolved\nlink veth0 3x\n", "owner resolvconf\nrecord eth0\n",
          "owner resolvconf\nrecord ../../etc.orvane\n", "owner other\nrecord eth0.orvane\n",
          "owner systemd-resolved\nlink veth0 3\ndns 1.2.3\n",
          "owner systemd-resolved\nlink veth0 3\ndomain a b\n",
          "owner resolvconf\nrecord eth0.orvane\nlink veth0 3\n"})
        EXPECT_FALSE(CResolverOwnerRecord().Parse(text)) << text;

    TempDir dir;
    const std::string path = dir.file("resolv.conf.owner");
    ASSERT_EQ(0, record.Save(path));
    EXPECT_TRUE(CResolverOwnerRecord().Load(path));
    chmod(path.c_str(), 0644);
    EXPECT_FALSE(CResolverOwnerRecord().Load(path));
    chmod(path.c_str(), 0600);
    ASSERT_EQ(0, link(path.c_str(), dir.file("second").c_str()));
    EXPECT_FALSE(CResolverOwnerRecord().Load(path));
}
