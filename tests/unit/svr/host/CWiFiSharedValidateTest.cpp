// Sharing detection: the against list and its bounds, names compared as ps compares them, and the
// forbidden program and forwarding found for real inside network namespaces.
#include "CWiFiSharedValidate.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "CLog.h"
#include "NetNamespace.h"
#include "TestSupport.h"

using orvane_test::NamedSleeper;
using orvane_test::NetNamespace;
using orvane_test::TempDir;
using orvane_test::writeFile;

namespace {

std::string AgainstList(const std::string& processes, const char* ipforward = nullptr) {
    std::string xml = "<user-config><against-interval>2</against-interval><against>" + processes;
    if (ipforward)
        xml += std::string("<shared><ipforward>") + ipforward + "</ipforward></shared>";
    return xml + "</against></user-config>";
}

std::string Process(const std::string& name, const std::string& display) {
    return "<process displayname=\"" + display + "\">" + name + "</process>";
}

// A fake process table: one /proc/PID/comm file per running program.
class SharedValidateTest : public ::testing::Test {
protected:
    void SetUp() override {
        forwarding("0");
        run({});
    }
    void forwarding(const char* value) {
        std::filesystem::create_directories(proc.path() + "/proc/sys/net/ipv4");
        writeFile(proc.path() + "/proc/sys/net/ipv4/ip_forward", value);
    }
    // Replaces the running programs by names (the kernel keeps 15 bytes of each).
    void run(const std::vector<std::string>& names) {
        for (int pid = 100; pid < 100 + static_cast<int>(shown); ++pid)
            std::filesystem::remove_all(proc.path() + "/proc/" + std::to_string(pid));
        shown = names.size();
        int pid = 100;
        for (const std::string& name : names) {
            const std::string folder = proc.path() + "/proc/" + std::to_string(pid++);
            std::filesystem::create_directories(folder);
            writeFile(folder + "/comm", name.substr(0, 15) + "\n");
        }
    }

    TempDir proc;
    size_t shown = 0;
    CWiFiSharedValidate validate{"/nonexistent", proc.path()};
};

TEST_F(SharedValidateTest, FirstRunningProgramInNameOrderWins) {
    run({"alpha", "beta"});
    const std::string xml = AgainstList(Process("gamma", "G") + Process("beta", "B") +
                                        Process("alpha", "A") + Process("alpha", "A2"));
    EXPECT_EQ(validate.IsValidEnvironment(xml.c_str()), 1);
    EXPECT_STREQ(validate.GetDisplayName(), "A2");  // the later duplicate overwrites

    run({"gamma"});
    EXPECT_EQ(validate.IsValidEnvironment(xml.c_str()), 1);
    EXPECT_STREQ(validate.GetDisplayName(), "G");
    run({"alphabet", "bet"});  // neither is "alpha" or "beta"
    EXPECT_EQ(validate.IsValidEnvironment(xml.c_str()), 0);
    EXPECT_STREQ(validate.GetDisplayName(), "G");  // a clean check keeps the last find
}

TEST_F(SharedValidateTest, ForwardingCountsOnlyWhenTheListForbidsIt) {
    forwarding("1");
    CWiFiSharedValidate allowed("/nonexistent", proc.path());
    EXPECT_EQ(allowed.IsValidEnvironment(AgainstList("", "0").c_str()), 0);

    EXPECT_EQ(validate.IsValidEnvironment(AgainstList("", "1").c_str()), 1);
    EXPECT_STREQ(validate.GetDisplayName(), "IP\xCA\xFD\xBE\xDD\xD7\xAA\xB7\xA2");
    forwarding("0");
    EXPECT_EQ(validate.IsValidEnvironment(AgainstList("", "1").c_str()), 0);
}

TEST_F(SharedValidateTest, TheFirstUsableListIsKept) {
    run({"alpha", "beta"});
    EXPECT_EQ(validate.IsValidEnvironment(""), 0);
    EXPECT_EQ(validate.IsValidEnvironment(nullptr), 0);
    EXPECT_EQ(validate.IsValidEnvironment("<user-config><against>"), 0);  // unusable: retried
    EXPECT_EQ(validate.IsValidEnvironment("<other/>"), 0);

    run({"beta"});
    EXPECT_EQ(validate.IsValidEnvironment(AgainstList(Process("alpha", "A")).c_str()), 0);
    // A changed list has no effect on this object.
    EXPECT_EQ(validate.IsValidEnvironment(AgainstList(Process("beta", "B")).c_str()), 0);
}

// Names are compared, never run, so shell words are harmless; only what ps itself would read as
// several names, or as no name, is refused. Names longer than the kernel keeps match on 15 bytes.
TEST_F(SharedValidateTest, NamesAreComparedAsPsComparesThem) {
    TempDir logDir;
    const int level = CLog::GetInst()->GetLevel();
    ASSERT_EQ(CLog::GetInst()->Create((logDir.path() + "/").c_str(), "Info.log", ""), 0);
    CLog::GetInst()->SetLevel(CLog::DEBUG);

    std::string processes;
    for (const char* name : {"a b", "a,b", "tab\there", ""})
        processes += Process(name, "bad");
    processes += Process("$(id)", "shellword") + Process("averyverylongname_x", "long");
    CWiFiSharedValidate other("/nonexistent", proc.path());
    run({"a", "b", "tab", "here"});
    EXPECT_EQ(validate.IsValidEnvironment(AgainstList(processes).c_str()), 0);
    run({"$(id)"});
    EXPECT_EQ(other.IsValidEnvironment(AgainstList(processes).c_str()), 1);
    EXPECT_STREQ(other.GetDisplayName(), "shellword");
    run({"averyverylongname_other"});  // the same first 15 bytes
    EXPECT_EQ(other.IsValidEnvironment(AgainstList(processes).c_str()), 1);
    EXPECT_STREQ(other.GetDisplayName(), "long");

    const std::string logged = orvane_test::readFile(CLog::GetInst()->GetPath());
    CLog::GetInst()->Close();
    CLog::GetInst()->SetLevel(level);
    EXPECT_NE(logged.find("refused, not checked: \"a,b\""), std::string::npos) << logged;
    EXPECT_NE(logged.find("refused, not checked: \"tab\\there\""), std::string::npos) << logged;
}

// A portal list is bounded: names beyond the first 64 are left out with one log line; a repeated
// name does not use up a place.
TEST_F(SharedValidateTest, AtMostSixtyFourNamesAreKept) {
    TempDir logDir;
    const int level = CLog::GetInst()->GetLevel();
    ASSERT_EQ(CLog::GetInst()->Create((logDir.path() + "/").c_str(), "Info.log", ""), 0);
    CLog::GetInst()->SetLevel(CLog::DEBUG);

    std::string processes;
    for (int i = 0; i < 64; ++i) {
        processes += Process("p" + std::to_string(100 + i), "kept");
        processes += Process("p100", "kept");  // repeats take no place
    }
    processes += Process("p900", "beyond") + Process("p901", "beyond");
    const std::string xml = AgainstList(processes);
    run({"p163"});
    EXPECT_EQ(validate.IsValidEnvironment(xml.c_str()), 1);
    EXPECT_STREQ(validate.GetDisplayName(), "kept");
    run({"p900"});
    EXPECT_EQ(validate.IsValidEnvironment(xml.c_str()), 0);

    const std::string logged = orvane_test::readFile(CLog::GetInst()->GetPath());
    CLog::GetInst()->Close();
    CLog::GetInst()->SetLevel(level);
    EXPECT_NE(logged.find("2 program names beyond the first 64 left out"), std::string::npos)
        << logged;
}

// With no process table to read, the check fails closed, as it did when ps was missing.
TEST(SharedValidateNoTableTest, AnUnreadableTableCountsAsFound) {
    TempDir empty;
    CWiFiSharedValidate validate("/nonexistent", empty.path());
    EXPECT_EQ(validate.IsValidEnvironment(AgainstList(Process("hostapd", "H")).c_str()), 1);
    EXPECT_STREQ(validate.GetDisplayName(), "H");
}

// Runs the check inside a namespace with the real process table and kernel switches.
std::optional<std::string> CheckInside(const NetNamespace& ns, const std::string& xml) {
    return ns.runInside([xml] {
        CWiFiSharedValidate validate;
        int result = validate.IsValidEnvironment(xml.c_str());
        return std::to_string(result) + " " + validate.GetDisplayName();
    });
}

TEST(SharedValidateNamespaceTest, ForbiddenProgramRunningIsFound) {
    NetNamespace ns(true);
    if (!ns.ok())
        GTEST_SKIP() << ns.error();
    TempDir dir;
    const std::string name = "orvforbid" + std::to_string(getpid() % 100000);
    const std::string xml = AgainstList(Process("orvnotthere", "N") + Process(name, "Hotspot"));
    EXPECT_EQ(CheckInside(ns, xml), "0 ");
    {
        NamedSleeper sleeper(dir.path(), name);
        ASSERT_TRUE(
            orvane_test::waitFor([&] { return sleeper.running(name); }, std::chrono::seconds(5)));
        EXPECT_EQ(CheckInside(ns, xml), "1 Hotspot");
    }
    EXPECT_EQ(CheckInside(ns, xml), "0 ");
}

TEST(SharedValidateNamespaceTest, ForwardingIsJudgedPerNamespace) {
    NetNamespace on(true);
    if (!on.ok())
        GTEST_SKIP() << on.error();
    NetNamespace off(true);
    ASSERT_TRUE(off.ok()) << off.error();
    ASSERT_TRUE(on.exec("sysctl -w net.ipv4.ip_forward=1"));
    ASSERT_TRUE(off.exec("sysctl -w net.ipv4.ip_forward=0 net.ipv6.conf.all.forwarding=0"));

    const std::string forbidden = AgainstList(Process("orvnotthere", "N"), "1");
    EXPECT_EQ(CheckInside(on, forbidden),
              std::string("1 ") + CWiFiSharedValidate::kForwardingLabel);
    EXPECT_EQ(CheckInside(off, forbidden), "0 ");
    EXPECT_EQ(CheckInside(on, AgainstList(Process("orvnotthere", "N"), "0")), "0 ");
}

}  // namespace
