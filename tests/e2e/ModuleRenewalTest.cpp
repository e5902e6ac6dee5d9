// A portal that renews the algorithm container with a hostile module
// (tests/modules/ZsmHostileModule.cpp): the service stores it and runs it, but whatever the module
// tries at load or while coding, nothing gets out of its helper: no process outlives the service,
// no file is written, no connection reaches the portal's listener, no other process is touched,
// and nothing of the login it codes can be read from outside the helper.
#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>

#include "E2eWorld.h"
#include "ZsmProtocol.h"

using namespace orvane_test;
using namespace std::chrono_literals;

namespace {

constexpr char kVictimSecret[] = "ORVANE_VICTIM_SECRET=victim-environment-secret";

uid_t zsmUid() {
    const struct passwd* pw = getpwnam("orvane-zsm");
    return pw != nullptr ? pw->pw_uid : 0;
}

// Runs body in a child as uid (groups dropped); the child's exit status, -1 when it failed.
template <class Body>
int asUser(uid_t uid, Body body) {
    const pid_t pid = fork();
    if (pid == 0) {
        if (setgroups(0, nullptr) != 0 || setresgid(uid, uid, uid) != 0 ||
            setresuid(uid, uid, uid) != 0)
            _exit(120);
        _exit(body());
    }
    int status = 0;
    return pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) ? WEXITSTATUS(status)
                                                                           : -1;
}

// Another program of the helper's own user, with a secret in its environment.
class Victim {
public:
    explicit Victim(uid_t uid) {
        m_pid = fork();
        if (m_pid == 0) {
            char* const argv[] = {const_cast<char*>("sleep"), const_cast<char*>("120"), nullptr};
            char* const envp[] = {const_cast<char*>(kVictimSecret), nullptr};
            if (setgroups(0, nullptr) == 0 && setresgid(uid, uid, uid) == 0 &&
                setresuid(uid, uid, uid) == 0)
                execve("/bin/sleep", argv, envp);
            _exit(127);
        }
    }
    ~Victim() {
        if (m_pid > 0) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, nullptr, 0);
        }
    }
    Victim(const Victim&) = delete;
    Victim& operator=(const Victim&) = delete;
    pid_t pid() const { return m_pid; }
    // Running, neither stopped nor ended.
    bool Unharmed() const {
        const std::string stat = readFile("/proc/" + std::to_string(m_pid) + "/stat");
        const size_t paren = stat.rfind(')');
        return paren != std::string::npos && stat.size() > paren + 2 && stat[paren + 2] == 'S';
    }

private:
    pid_t m_pid = -1;
};

struct Proc {
    pid_t ppid = 0;
    uid_t uid = 0;
    char state = '?';
};

std::map<pid_t, Proc> processes() {
    std::map<pid_t, Proc> out;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator("/proc", ec)) {
        const pid_t pid = std::atoi(e.path().filename().c_str());
        const std::string stat = readFile(e.path().string() + "/stat");
        const std::string status = readFile(e.path().string() + "/status");
        const size_t paren = stat.rfind(')');
        const size_t uidAt = status.find("\nUid:\t");
        if (pid <= 0 || paren == std::string::npos || uidAt == std::string::npos)
            continue;
        Proc p;
        char state = '?';
        int ppid = 0;
        if (std::sscanf(stat.c_str() + paren + 1, " %c %d", &state, &ppid) != 2)
            continue;
        p.state = state;
        p.ppid = ppid;
        p.uid = static_cast<uid_t>(std::atol(status.c_str() + uidAt + 6));
        out[pid] = p;
    }
    return out;
}

// The live processes of uid below root (root included), except the one left out.
std::vector<pid_t> liveOf(uid_t uid, pid_t root, pid_t except = -1) {
    const std::map<pid_t, Proc> all = processes();
    std::vector<pid_t> out;
    for (const auto& [pid, p] : all) {
        bool below = false;
        for (pid_t up = pid; up > 1 && !below; up = all.count(up) ? all.at(up).ppid : 0)
            below = up == root;
        if (below && p.uid == uid && p.state != 'Z' && pid != except)
            out.push_back(pid);
    }
    return out;
}

// A copy of the hostile module told what to try, packed as the development container (key and
// identifier), which the simulator goes on accepting.
bool packHostile(const std::string& plan, const std::string& dir, const std::string& container) {
    std::string module = readFile(ORVANE_ZSM_HOSTILE);
    const std::string marker = "orvane.hostile.slot.v1";
    const size_t at = module.find(marker);
    if (at == std::string::npos || module.find(marker, at + 1) != std::string::npos ||
        plan.size() >= 232)
        return false;
    module.replace(at + 24, plan.size() + 1, plan.c_str(), plan.size() + 1);
    const std::string copy = dir + "/hostile.so";
    const std::string pack = std::string(ORVANE_ZXM_PACK) + " '" + copy + "' '" + container +
                             "' --keyid D01 --key orvane-development-key --algoid " +
                             ORVANE_ZXM_ALGOID + " 2>/dev/null";
    return writeFile(copy, module) && std::system(pack.c_str()) == 0;
}

struct WayOut {
    const char* action;
    const char* stage;
    bool harmless;  // allowed or merely failing calls only: the module stays in use
};

class ModuleRenewalTest : public E2eTest, public ::testing::WithParamInterface<WayOut> {
protected:
    // Nothing of the running helper is reachable: no descendant, no shared mapping, and its
    // memory is closed even to a process of its own user.
    void ExpectClosed(pid_t helper, uid_t uid) {
        EXPECT_TRUE(liveOf(uid, helper, helper).empty()) << "a descendant of the helper runs";
        std::istringstream maps(readFile("/proc/" + std::to_string(helper) + "/maps"));
        for (std::string line; std::getline(maps, line);) {
            const size_t perms = line.find(' ') + 1;  // "rw-p": the fourth says shared or private
            EXPECT_TRUE(perms + 3 < line.size() && line[perms + 3] == 'p') << line;
        }
        const std::string mem = "/proc/" + std::to_string(helper) + "/mem";
        EXPECT_EQ(asUser(uid, [&] { return open(mem.c_str(), O_RDONLY) < 0 ? 0 : 1; }), 0);
    }
};

TEST_P(ModuleRenewalTest, NothingGetsOutOfTheHostileModulesHelper) {
    const uid_t uid = zsmUid();
    ASSERT_NE(uid, 0u) << "no system user orvane-zsm (./dev.sh creates it)";
    // Whatever leaves the service's tree comes to this process, where it can be found.
    ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0), 0);
    TempDir scratch;
    // Open to everybody like /tmp: only the helper's confinement keeps the marker out.
    ASSERT_EQ(chmod(scratch.path().c_str(), 01777), 0);
    const std::string marker = scratch.file("marker");
    const std::string container = scratch.file("hostile.zxm");
    Victim victim(uid);
    ASSERT_GT(victim.pid(), 0);
    ASSERT_TRUE(waitFor([&] { return victim.Unharmed(); }, 5s));
    // The simulator keeps decoding with the development key, which the hostile module codes with.
    E2E_WORLD(E2eOptions::Sim(
        {"--fault", "ticket:1:renew", "--renew-container", container, "--renew-unchecked"}));
    const std::string plan = std::string(GetParam().action) + " " + GetParam().stage + " " +
                             std::to_string(world->SimPort()) + " " + std::to_string(victim.pid()) +
                             " " + marker;
    ASSERT_TRUE(packHostile(plan, scratch.path(), container));
    ASSERT_TRUE(world->StartService({E2eWorld::kUser, E2eWorld::kPassword}));

    // The renewed module codes the next ticket request: the login goes on through it, or the
    // helper is ended at its first forbidden call and the module counts as missing.
    ASSERT_TRUE(waitFor([&] { return world->Count("ticket") >= 2; }, 30s)) << world->LogText();
    const bool settled = waitFor(
        [&] {
            const std::string log = world->LogText();
            return world->Count("auth") > 0 || log.find("zsm module of") != std::string::npos ||
                   log.find("zsm helper ended") != std::string::npos;
        },
        30s, 20ms);
    EXPECT_TRUE(settled) << world->LogText();
    EXPECT_EQ(readFile(world->InstallFile("zuvUzarod.zxm")), readFile(container));
    EXPECT_FALSE(std::filesystem::exists(world->InstallFile("protect.so")));
    // Builds with a sanitizer refuse calls instead of ending the helper: any module may live on.
    if (GetParam().harmless || !ZsmProtocol::kSanitizerRuntime) {
        EXPECT_EQ(world->Count("auth") > 0, GetParam().harmless) << world->LogText();
    }
    if (world->Count("auth") > 0) {
        ASSERT_TRUE(world->Service().running()) << world->LogText();
        const std::vector<pid_t> helpers = liveOf(uid, world->Service().pid(), victim.pid());
        EXPECT_EQ(helpers.size(), 1u) << "the helper that codes the login";
        for (pid_t helper : helpers)
            ExpectClosed(helper, uid);
    }

    world->StopService();
    ASSERT_TRUE(world->StopSim()) << world->SimOutput();
    EXPECT_TRUE(waitFor([&] { return liveOf(uid, getpid(), victim.pid()).empty(); }, 5s))
        << "a process of the helper's user outlived the service";
    EXPECT_FALSE(std::filesystem::exists(marker)) << readFile(marker);
    const std::string requests = readFile(world->dir().file("requests.jsonl"));
    EXPECT_EQ(requests.find("stolen"), std::string::npos) << "something reached the portal";
    EXPECT_EQ(requests.find("victim-environment-secret"), std::string::npos);
    EXPECT_TRUE(victim.Unharmed());
}

INSTANTIATE_TEST_SUITE_P(
    WaysOut, ModuleRenewalTest,
    // Reading another process's environment is allowed at load but finds nothing: the helper's
    // /proc shows its own namespace only.
    ::testing::Values(WayOut{"fork", "load", false}, WayOut{"fork", "code", false},
                      WayOut{"connect", "load", false}, WayOut{"connect", "code", false},
                      WayOut{"marker", "load", false}, WayOut{"marker", "code", false},
                      WayOut{"signal", "load", false}, WayOut{"signal", "code", false},
                      WayOut{"shared", "load", false}, WayOut{"shared", "code", false},
                      WayOut{"environ", "load", true}, WayOut{"environ", "code", false}),
    [](const ::testing::TestParamInfo<WayOut>& info) {
        return std::string(info.param.action) + "_at_" + info.param.stage;
    });

}  // namespace
