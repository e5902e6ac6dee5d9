// The algorithm module's confinement: a hostile module (tests/modules/ZsmProbeModule.cpp) runs in
// an unprivileged, filtered helper, and whatever it does the loader answers with its fallbacks
// and works again at the next call.
#include "CZsmProcess.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "CLog.h"
#include "CZsmHelper.h"
#include "TestSupport.h"

using orvane_test::readFile;
using orvane_test::TempDir;

namespace {

struct Owned {
    explicit Owned(char* p) : p(p) {}
    ~Owned() { CZsmHelper::FreeResult(p); }
    Owned(const Owned&) = delete;
    Owned& operator=(const Owned&) = delete;
    std::string str() const { return p ? p : "<null>"; }
    char* p;
};

// One "Name:\tvalue" line of /proc/PID/status.
std::string statusLine(pid_t pid, const std::string& name) {
    const std::string text = readFile("/proc/" + std::to_string(pid) + "/status");
    const size_t at = text.find("\n" + name + ":");
    if (at == std::string::npos)
        return "<none>";
    const size_t start = text.find_first_not_of(" \t", at + name.size() + 2);
    return text.substr(start, text.find('\n', start) - start);
}

std::set<std::string> openDescriptors(pid_t pid) {
    std::set<std::string> out;
    std::error_code ec;
    for (const auto& e :
         std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec))
        out.insert(e.path().filename().string());
    return out;
}

// The dedicated user for a root service (./dev.sh creates it), the service's own otherwise.
uid_t expectedHelperUid() {
    if (geteuid() != 0)
        return geteuid();
    const struct passwd* pw = getpwnam(CZsmProcess::kUserName);
    return pw != nullptr ? pw->pw_uid : 0;
}

std::string nsLink(pid_t pid, const char* kind) {
    std::error_code ec;
    return std::filesystem::read_symlink("/proc/" + std::to_string(pid) + "/ns/" + kind, ec);
}

class ZsmProcessTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(inst.path().empty());
        // An installation as it is laid out: root's, readable and searchable by everybody.
        ASSERT_EQ(chmod(inst.path().c_str(), 0755), 0);
        const std::string pack = std::string(ORVANE_ZXM_PACK) + " '" + ORVANE_ZSM_PROBE + "' '" +
                                 container + "' --keyid PRB --algoid probe-id 2>/dev/null";
        ASSERT_EQ(std::system(pack.c_str()), 0) << pack;
        zsm->SetHostPath(ORVANE_ZSM_HOST);
        zsm->Init(container.c_str(), nullptr, 0);
    }
    void TearDown() override { zsm->Release(); }

    std::string code(const char* text) { return Owned(zsm->Code(text)).str(); }
    bool helperGone(pid_t pid) { return kill(pid, 0) != 0 && errno == ESRCH; }

    TempDir inst;
    std::string container = inst.file("zuvUzarod.zxm");
    CZsmHelper* zsm = CZsmHelper::GetInst();
};

TEST_F(ZsmProcessTest, ModuleRunsUnprivilegedAloneInItsOwnNamespaces) {
    const uid_t uid = expectedHelperUid();
    ASSERT_NE(uid, 0u) << "no system user " << CZsmProcess::kUserName << " (./dev.sh creates it)";
    EXPECT_EQ(code("whoami"), "euid=" + std::to_string(uid));

    const pid_t pid = zsm->HelperPid();
    ASSERT_GT(pid, 0);
    const std::string u = std::to_string(uid);
    EXPECT_EQ(statusLine(pid, "Uid"), u + "\t" + u + "\t" + u + "\t" + u);
    // Another uid's non-dumpable process: only root sees its descriptors.
    if (geteuid() == 0) {
        EXPECT_EQ(statusLine(pid, "Groups"), "");
        EXPECT_EQ(openDescriptors(pid), (std::set<std::string>{"0", "1", "2", "3"}));
    }
    EXPECT_EQ(statusLine(pid, "NoNewPrivs"), "1");
    EXPECT_EQ(statusLine(pid, "Seccomp"), "2");
    EXPECT_EQ(statusLine(pid, "CapEff"), "0000000000000000");
    EXPECT_EQ(std::filesystem::read_symlink("/proc/" + std::to_string(pid) + "/cwd"), "/");
    EXPECT_EQ(readFile("/proc/" + std::to_string(pid) + "/environ"), "");
    // The first process of its own namespaces: its own id there is 1.
    const std::string nspid = statusLine(pid, "NSpid");
    EXPECT_EQ(nspid.substr(nspid.rfind('\t') + 1), "1") << nspid;
    for (const char* kind : {"pid", "net", "mnt", "ipc", "uts"})
        EXPECT_NE(nsLink(pid, kind), nsLink(getpid(), kind)) << kind;
}

// A root service never starts a helper as an account that is missing or root's; the reason is
// what the log shows.
TEST(ZsmProcessIdentity, UnusableAccountsStartNoHelper) {
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root";
    const std::string image = readFile(ORVANE_ZSM_PROBE);
    for (const auto& c : {std::make_pair("orvane-no-such-account", "no system user"),
                          std::make_pair("root", "has root's uid")}) {
        SCOPED_TRACE(c.first);
        CZsmProcess process;
        process.SetUser(c.first);
        std::string why;
        EXPECT_FALSE(process.Start(ORVANE_ZSM_HOST, "PRB",
                                   std::vector<unsigned char>(image.begin(), image.end()), why));
        EXPECT_NE(why.find(c.second), std::string::npos) << why;
        EXPECT_FALSE(process.Running());
    }
}

TEST_F(ZsmProcessTest, SystemCallsOutsideComputingAreRefusedAfterLoading) {
    // Killed by the filter (the fallback) or, in sanitizer builds, refused with EPERM.
    const std::string result = code("open");
    EXPECT_NE(result, "open-ok");
    EXPECT_TRUE(result == CZsmHelper::kCodeFallback || result == "open-failed") << result;
    EXPECT_EQ(code("whoami").rfind("euid=", 0), 0u) << "the next call works again";
}

// Under ThreadSanitizer every byte of a 100 MB answer goes through the race checker: on a busy
// machine the flooding module may then miss the time limit before it passes the size cap.
#if defined(__SANITIZE_THREAD__)
constexpr bool kFloodMayTimeOut = true;
#else
constexpr bool kFloodMayTimeOut = false;
#endif

// Each misbehaviour gives the fallbacks, is logged as an error, and the next call gets a fresh
// helper that works.
TEST_F(ZsmProcessTest, CrashingLoopingAndFloodingModulesGiveTheFallbacks) {
    CLog* log = CLog::GetInst();
    const int level = log->GetLevel();
    TempDir logDir;
    ASSERT_EQ(0, log->Create(logDir.path().c_str(), "Info.log", ""));
    log->SetLevel(CLog::ERROR);
    struct Case {
        const char* text;
        const char* logged;
    };
    for (const Case& c :
         {Case{"crash", "helper ended during a call (signal"},
          Case{"loop", "no answer within 2000 ms"}, Case{"huge", "answered more than"}}) {
        SCOPED_TRACE(c.text);
        const size_t logged = readFile(log->GetPath()).size();
        ASSERT_EQ(code("warm-up").rfind("euid=", 0), 0u);
        const pid_t before = zsm->HelperPid();
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(code(c.text), CZsmHelper::kCodeFallback);
        EXPECT_EQ(Owned(zsm->DeCode(c.text)).p, nullptr);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(8));
        EXPECT_TRUE(helperGone(before)) << "the failed helper is ended and reaped";
        EXPECT_EQ(code("after").rfind("euid=", 0), 0u);
        EXPECT_EQ(Owned(zsm->DeCode("plain")).str(), "plain");
        // Only what this case logged counts.
        const std::string lines = readFile(log->GetPath()).substr(logged);
        const bool timedOut = kFloodMayTimeOut && std::string(c.text) == "huge" &&
                              lines.find("no answer within 2000 ms") != std::string::npos;
        EXPECT_TRUE(lines.find(c.logged) != std::string::npos || timedOut) << lines;
    }
    log->Close();
    log->SetLevel(level);
}

TEST_F(ZsmProcessTest, UpdateEndsTheOldHelperAndStartsOneWithTheNewModule) {
    EXPECT_EQ(zsm->GetAlgoId(), "probe-id");
    const pid_t old = zsm->HelperPid();
    ASSERT_GT(old, 0);
    const std::string dev = readFile(ORVANE_ZXM_CONTAINER);
    ASSERT_EQ(zsm->Update(dev.data(), dev.size()), 1);
    const pid_t renewed = zsm->HelperPid();
    EXPECT_GT(renewed, 0);
    EXPECT_NE(renewed, old);
    EXPECT_TRUE(helperGone(old));
    EXPECT_EQ(zsm->GetAlgoId(), ORVANE_ZXM_ALGOID);
    EXPECT_EQ(zsm->HelperPid(), renewed) << "an unchanged container keeps its helper";
    Owned coded(zsm->Code("<a/>"));
    EXPECT_EQ(Owned(zsm->DeCode(coded.p)).str(), "<a/>");
}

// The service starts helpers for its whole life: none of them may cost it a descriptor or leave
// a process behind.
TEST_F(ZsmProcessTest, StartingAndEndingHelpersLeavesNothingBehind) {
    ASSERT_EQ(zsm->GetAlgoId(), "probe-id");
    const size_t before = openDescriptors(getpid()).size();
    std::vector<pid_t> ended;
    for (int i = 0; i < 5; ++i) {
        ended.push_back(zsm->HelperPid());
        zsm->Release();
        EXPECT_EQ(zsm->GetAlgoId(), "probe-id");
    }
    EXPECT_EQ(openDescriptors(getpid()).size(), before);
    for (pid_t pid : ended)
        EXPECT_TRUE(helperGone(pid)) << pid;
}

TEST(ZsmHostProgram, RefusesToRunAsRoot) {
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root";
    const int status = std::system((std::string("'") + ORVANE_ZSM_HOST + "' </dev/null").c_str());
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 2);
}

}  // namespace
