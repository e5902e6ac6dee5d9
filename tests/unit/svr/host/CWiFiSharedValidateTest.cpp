// Sharing detection: the against list, program names that must never reach the shell, and the
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

// Plays "ps -C NAME | wc -l": programs in running count as found. Records every command.
class SharedValidateTest : public ::testing::Test {
protected:
    void SetUp() override {
        forwarding("0");
        CShellExecutor::SetRunner([this](const char* command, const auto& emit) {
            commands.push_back(command);
            bool found = false;
            for (const std::string& name : running) {
                found = found || std::string(command) == "ps -C '" + name + "' | wc -l 2>&1";
            }
            emit(found ? "2\n" : "1\n");
            return 1;
        });
    }
    void TearDown() override { CShellExecutor::SetRunner(nullptr); }
    void forwarding(const char* value) {
        std::filesystem::create_directories(proc.path() + "/proc/sys/net/ipv4");
        writeFile(proc.path() + "/proc/sys/net/ipv4/ip_forward", value);
    }

    TempDir proc;
    std::vector<std::string> running;
    std::vector<std::string> commands;
    CWiFiSharedValidate validate{"/nonexistent", proc.path()};
};

TEST_F(SharedValidateTest, FirstRunningProgramInNameOrderWins) {
    running = {"alpha", "beta"};
    const std::string xml = AgainstList(Process("gamma", "G") + Process("beta", "B") +
                                        Process("alpha", "A") + Process("alpha", "A2"));
    EXPECT_EQ(validate.IsValidEnvironment(xml.c_str()), 1);
    EXPECT_STREQ(validate.GetDisplayName(), "A2");  // the later duplicate overwrites
    EXPECT_EQ(commands.size(), 1u);                 // beta and gamma not examined

    running = {"gamma"};
    EXPECT_EQ(validate.IsValidEnvironment(xml.c_str()), 1);
    EXPECT_STREQ(validate.GetDisplayName(), "G");
    running.clear();
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
    EXPECT_EQ(validate.IsValidEnvironment(""), 0);
    EXPECT_EQ(validate.IsValidEnvironment(nullptr), 0);
    EXPECT_EQ(validate.IsValidEnvironment("<user-config><against>"), 0);  // unusable: retried
    EXPECT_EQ(validate.IsValidEnvironment("<other/>"), 0);
    EXPECT_TRUE(commands.empty());

    running = {"beta"};
    EXPECT_EQ(validate.IsValidEnvironment(AgainstList(Process("alpha", "A")).c_str()), 0);
    // A changed list has no effect on this object.
    EXPECT_EQ(validate.IsValidEnvironment(AgainstList(Process("beta", "B")).c_str()), 0);
    EXPECT_EQ(commands, std::vector<std::string>(2, "ps -C 'alpha' | wc -l 2>&1"));
}

TEST_F(SharedValidateTest, HostileProgramNamesAreRefusedAndNeverRun) {
    TempDir logDir;
    const int level = CLog::GetInst()->GetLevel();
    ASSERT_EQ(CLog::GetInst()->Create((logDir.path() + "/").c_str(), "Info.log", ""), 0);
    CLog::GetInst()->SetLevel(CLog::DEBUG);

    const std::vector<std::string> hostile = {
        "a;touch x", "$(id)", "`id`", "abcdefghijklmnop", "a b", "a|b", "a'b", "", "../sleep"};
    std::string processes;
    for (const std::string& name : hostile)
        processes += Process(name, "bad");
    processes += Process("ok.name_1+-", "good");
    running = {"ok.name_1+-"};
    for (const std::string& name : hostile)
        running.push_back(name);

    EXPECT_EQ(validate.IsValidEnvironment(AgainstList(processes).c_str()), 1);
    EXPECT_STREQ(validate.GetDisplayName(), "good");
    EXPECT_EQ(commands, std::vector<std::string>{"ps -C 'ok.name_1+-' | wc -l 2>&1"});

    const std::string logged = orvane_test::readFile(CLog::GetInst()->GetPath());
    CLog::GetInst()->Close();
    CLog::GetInst()->SetLevel(level);
    EXPECT_NE(logged.find("refused, not checked: \"$(id)\""), std::string::npos) << logged;
    EXPECT_NE(logged.find("\"abcdefghijklmnop\""), std::string::npos);
    EXPECT_TRUE(CWiFiSharedValidate::IsAcceptableProgramName("abcdefghijklmno"));  // 15
}

// Runs the check inside a namespace with the real shell and the real kernel switches.
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
