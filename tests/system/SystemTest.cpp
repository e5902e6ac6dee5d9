// The packages on a booted Debian 12: both installed with apt into a machine run by its own
// systemd (with systemd-resolved owning the resolver), joined to a network namespace of the
// test's with portal-sim on its loopback. One machine serves every scenario, in this order: the
// window of a desktop user against the service the installation started, the headless unit
// (start, journal, a killed service, a long link outage, stop, reboot), the resolver during and
// after a login, and removal and purge. The families run in the order they are defined here and
// each family's steps in the order listed, each building on the machine the one before left.
//
// The packages come from ORVANE_SYSTEM_DEBS (a folder holding exactly the two .debs, default
// build/deb); the root is kept in build/system, screenshots in build/system/artefacts.
// ORVANE_SYSTEM_LINK_DOWN shortens the link outage (seconds) for a quick run by hand.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "CClientCommand.h"
#include "SystemWorld.h"

using namespace orvane_system;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

std::string Env(const char* name, const std::string& fallback) {
    const char* v = std::getenv(name);
    return v && *v ? v : fallback;
}

// The world every test uses; made by the environment, null when that failed.
SystemWorld* g_world = nullptr;
std::string g_worldFailure;

// Takes the machine down when the run overstays its bound or is interrupted: the tests' own
// bounds end every wait, this one ends a run that hangs anyway, and nothing stays behind.
class Watchdog {
public:
    explicit Watchdog(std::chrono::minutes bound) {
        sigemptyset(&m_signals);
        sigaddset(&m_signals, SIGINT);
        sigaddset(&m_signals, SIGTERM);
        sigaddset(&m_signals, SIGHUP);
        pthread_sigmask(SIG_BLOCK, &m_signals, nullptr);
        m_thread = std::thread([this, bound] { Watch(bound); });
        m_thread.detach();
    }

private:
    void Watch(std::chrono::minutes bound) {
        const auto deadline = std::chrono::steady_clock::now() + bound;
        int got = -1;
        while (got < 0 && std::chrono::steady_clock::now() < deadline) {
            // Woken early (EINTR) now and then: waits again for the rest of the bound.
            const auto left = std::chrono::duration_cast<std::chrono::seconds>(
                deadline - std::chrono::steady_clock::now());
            const timespec wait{static_cast<time_t>(left.count()) + 1, 0};
            got = sigtimedwait(&m_signals, nullptr, &wait);
        }
        std::cerr << "[ system ] " << (got > 0 ? "interrupted" : "run overstayed its bound")
                  << ": taking the machine down" << std::endl;
        if (g_world)
            g_world->Abandon();
        _exit(2);
    }

    sigset_t m_signals;
    std::thread m_thread;
};

class SystemEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        const std::string cache = ORVANE_SOURCE_DIR "/build/system";
        std::vector<std::string> debs;
        std::error_code ec;
        // The two packages; their debug symbol packages, if any, are not installed.
        const std::string folder = Env("ORVANE_SYSTEM_DEBS", ORVANE_SOURCE_DIR "/build/deb");
        for (const auto& e : fs::directory_iterator(folder, ec)) {
            const std::string name = e.path().filename();
            if (e.path().extension() == ".deb" &&
                (name.rfind("orvane_", 0) == 0 || name.rfind("orvane-window_", 0) == 0))
                debs.push_back(e.path());
        }
        std::sort(debs.begin(), debs.end());
        ASSERT_EQ(2u, debs.size())
            << "expected orvane and orvane-window in " << folder << " (./dev.sh deb)";
        m_world = std::make_unique<SystemWorld>(debs, cache);
        g_world = m_world.get();
        std::string why;
        if (!m_world->Start(why)) {
            g_worldFailure = why;
            FAIL() << why;
        }
    }
    void TearDown() override {
        PhaseTimer phase("power off and clean up");
        g_world = nullptr;
        m_world.reset();
    }

private:
    std::unique_ptr<SystemWorld> m_world;
};

// Base of every family: the shared machine, and the service's state as the scenarios read it.
class SystemFixture : public ::testing::Test {
protected:
    void SetUp() override {
        if (!g_world)
            GTEST_FAIL() << "no machine: " << g_worldFailure;
    }
    SystemWorld& world() { return *g_world; }
    BootedContainer& machine() { return g_world->machine(); }
    CommandResult In(const std::vector<std::string>& argv, std::chrono::milliseconds t = 60s) {
        return machine().In(argv, t);
    }
    std::string Active(const std::string& unit) {
        return machine().Out({"systemctl", "is-active", unit});
    }
    std::string MainPid(const std::string& unit) {
        return machine().Out({"systemctl", "show", "-p", "MainPID", "--value", unit});
    }
    std::string Journal(const std::string& unit) {
        return In({"journalctl", "-u", unit, "--no-pager", "-o", "cat"}).out;
    }
    bool WaitJournal(const std::string& unit, const std::string& text,
                     std::chrono::milliseconds t) {
        return orvane_test::waitFor([&] { return Journal(unit).find(text) != std::string::npos; },
                                    t, 500ms);
    }
    // The service's status and recent lines, for a failure message.
    std::string UnitReport(const std::string& unit) {
        return In({"systemctl", "status", unit, "--no-pager", "-l"}).Text() +
               In({"journalctl", "-u", unit, "--no-pager", "-n", "40"}).Text();
    }
    bool WaitLogout(size_t mark, const std::string& reason, std::chrono::milliseconds t) {
        return orvane_test::waitFor([&] { return world().Logouts(mark, reason) > 0; }, t, 200ms);
    }
    bool WaitLogin(size_t mark, std::chrono::milliseconds t) {
        return orvane_test::waitFor([&] { return world().LoggedInSince(mark); }, t, 200ms);
    }
    // Logged in and keeping the login: a login the portal accepted, then a keep-alive.
    bool WaitKeptLogin(size_t mark, std::chrono::milliseconds t) {
        return orvane_test::waitFor(
            [&] { return world().LoggedInSince(mark) && world().Accepted(mark, "keep"); }, t,
            200ms);
    }
    // Nothing of the service's or window's programs runs in the machine.
    void ExpectNoProgramRunning() {
        for (const char* program : {"OrvaneSvr", "OrvaneZsm", "client"})
            EXPECT_NE(0, In({"pgrep", "-x", program}).status) << program << " still runs";
    }
};

// A family's steps: a name and what the step does, in the order they run.
template <class Family>
struct Step {
    const char* name;
    void (Family::*run)();
};
// Shown in the test's line when it fails, instead of the bytes of the struct.
template <class Family>
void PrintTo(const Step<Family>& step, std::ostream* os) {
    *os << step.name;
}
template <class Family>
std::string StepName(const ::testing::TestParamInfo<Step<Family>>& info) {
    return info.param.name;
}

// --- the window of a desktop user ------------------------------------------------------------

// A member of the group "orvane" runs the window from the desktop entry's command line on an X
// server of that user's, against the service the installation started as root.
class WindowFamily : public SystemFixture {
public:
    static constexpr const char* kUser = "orvwin";
    static constexpr const char* kDisplay = ":7";
    static constexpr const char* kTitle = "Orvane校园";
    static constexpr const char* kClientOut = "/var/tmp/orvtest/client.out";

    void ServiceRunsAsRoot() {
        ASSERT_EQ("active", Active("orvane-window")) << UnitReport("orvane-window");
        const std::string pid = MainPid("orvane-window");
        EXPECT_EQ("root", machine().Out({"ps", "-o", "user=", "-p", pid}));
        EXPECT_EQ("root:orvane 770", machine().Out({"stat", "-c", "%U:%G %a", "/run/orvane"}));
    }

    void MemberLogsInAndOut() {
        ASSERT_TRUE(In({"useradd", "--create-home", "--groups", "orvane", kUser}).ok());
        StartUnit("orvtest-xvfb",
                  {"Xvfb", kDisplay, "-nolisten", "tcp", "-screen", "0", "800x600x24", "-noreset"},
                  {});
        ASSERT_TRUE(orvane_test::waitFor(
            [&] {
                return X({"xdotool", "getdisplaygeometry"}).ok();
            },
            20s, 200ms))
            << UnitReport("orvtest-xvfb");
        StartClient();
        if (HasFatalFailure())
            return;
        ASSERT_TRUE(WaitPage("login", 0, 40s)) << ClientOutput() << UnitReport("orvtest-client");
        const std::string window = WaitWindow();
        ASSERT_FALSE(window.empty()) << ClientOutput();
        Screenshot("window-login");
        TypeInto(window, 150, 100, SystemWorld::kAccount);
        TypeInto(window, 150, 150, SystemWorld::kPassword);
        size_t mark = world().Mark();
        size_t seen = ClientOutput().size();
        Click(window, 150, 215);
        ASSERT_TRUE(WaitPage("online", seen, 30s)) << ClientOutput() << world().Transcript(mark);
        EXPECT_TRUE(world().LoggedInSince(mark)) << world().Transcript(mark);
        Screenshot("window-online");
        mark = world().Mark();
        seen = ClientOutput().size();
        Click(window, 160, 165);
        EXPECT_TRUE(WaitLogout(mark, "2", 20s)) << world().Transcript(mark);
        EXPECT_TRUE(WaitPage("login", seen, 30s)) << ClientOutput();
        Screenshot("window-logged-out");
    }

    void TearDown() override {
        for (const char* unit : {"orvtest-client", "orvtest-xvfb"})
            In({"systemctl", "stop", unit}, 30s);
    }

private:
    // The desktop entry's command line as a launcher runs it: the Exec line's words without
    // quotes and field codes, in the entry's Path. The entry is the one the package installed
    // (the machine has others).
    void StartClient() {
        const CommandResult entry = machine().Sh(
            "cat $(dpkg -L orvane-window | grep '^/usr/share/applications/.*\\.desktop$')");
        ASSERT_TRUE(entry.ok()) << entry.Text();
        std::vector<std::string> argv;
        std::istringstream words(EntryValue(entry.out, "Exec"));
        for (std::string w; words >> w;) {
            w.erase(std::remove(w.begin(), w.end(), '"'), w.end());
            if (w.size() != 2 || w[0] != '%')
                argv.push_back(w);
        }
        ASSERT_FALSE(argv.empty()) << entry.out;
        const std::string path = EntryValue(entry.out, "Path");
        StartUnit(
            "orvtest-client", argv,
            {"-p", "WorkingDirectory=" + (path.empty() ? "/" : path), "-p",
             std::string("StandardOutput=file:") + kClientOut, "-p", "StandardError=inherit"});
    }
    static std::string EntryValue(const std::string& entry, const std::string& key) {
        std::istringstream lines(entry);
        for (std::string line; std::getline(lines, line);) {
            if (line.rfind(key + "=", 0) == 0)
                return line.substr(key.size() + 1);
        }
        return "";
    }
    // Runs argv as the desktop user in a transient unit of the machine, with the user's groups
    // and a desktop session's environment.
    void StartUnit(const std::string& unit, const std::vector<std::string>& argv,
                   const std::vector<std::string>& extra) {
        std::vector<std::string> line = {"systemd-run",
                                         "--unit=" + unit,
                                         "--collect",
                                         "-p",
                                         std::string("User=") + kUser,
                                         "-E",
                                         std::string("HOME=/home/") + kUser,
                                         "-E",
                                         std::string("DISPLAY=") + kDisplay,
                                         "-E",
                                         "LANG=C.UTF-8"};
        line.insert(line.end(), extra.begin(), extra.end());
        line.insert(line.end(), argv.begin(), argv.end());
        const CommandResult r = In(line);
        ASSERT_TRUE(r.ok()) << r.Text();
    }
    // A command on the display, as its user (no root process is a client of it).
    CommandResult X(const std::vector<std::string>& argv) {
        std::vector<std::string> line = {"setpriv",
                                         std::string("--reuid=") + kUser,
                                         std::string("--regid=") + kUser,
                                         "--init-groups",
                                         "env",
                                         std::string("DISPLAY=") + kDisplay};
        line.insert(line.end(), argv.begin(), argv.end());
        return In(line, 30s);
    }
    std::string ClientOutput() { return orvane_test::readFile(machine().HostPath(kClientOut)); }
    bool WaitPage(const std::string& page, size_t since, std::chrono::milliseconds t) {
        return orvane_test::waitFor(
            [&] { return ClientOutput().find("page: " + page + "\n", since) != std::string::npos; },
            t, 200ms);
    }
    std::string WaitWindow() {
        std::string id;
        orvane_test::waitFor(
            [&] {
                const std::string out = X({"xdotool", "search", "--onlyvisible", "--name",
                                           std::string("^") + kTitle + "$"})
                                            .out;
                id = out.substr(0, out.find('\n'));
                return !id.empty();
            },
            20s, 200ms);
        return id;
    }
    void Click(const std::string& window, int x, int y) {
        ASSERT_TRUE(X({"xdotool", "mousemove", "--window", window, std::to_string(x),
                       std::to_string(y), "click", "1"})
                        .ok());
    }
    void TypeInto(const std::string& window, int x, int y, const std::string& text) {
        Click(window, x, y);
        ASSERT_TRUE(X({"xdotool", "key", "ctrl+a"}).ok());
        ASSERT_TRUE(X({"xdotool", "type", "--delay", "30", text}).ok());
    }
    void Screenshot(const std::string& name) {
        const CommandResult shot = X({"import", "-window", "root", "png:-"});
        std::error_code ec;
        fs::create_directories(world().Artefacts(), ec);
        EXPECT_TRUE(shot.ok() &&
                    orvane_test::writeFile(world().Artefacts() + "/" + name + ".png", shot.out))
            << shot.err;
    }
};

using WindowStep = Step<WindowFamily>;
class WindowTest : public WindowFamily, public ::testing::WithParamInterface<WindowStep> {};
TEST_P(WindowTest, Runs) {
    (this->*GetParam().run)();
}
INSTANTIATE_TEST_SUITE_P(
    Window, WindowTest,
    ::testing::Values(WindowStep{"ServiceRunsAsRoot", &WindowFamily::ServiceRunsAsRoot},
                      WindowStep{"MemberLogsInAndOut", &WindowFamily::MemberLogsInAndOut}),
    StepName<WindowFamily>);

// --- the headless unit -------------------------------------------------------------------------

class HeadlessFamily : public SystemFixture {
public:
    // Account and password where the unit reads them; the window's unit, enabled by the
    // installation, is disabled first: the two exclude each other, and both enabled would race
    // at boot.
    void EnabledServiceLogsIn() {
        // A family before that failed half-way may have left a login at the portal.
        ASSERT_TRUE(world().SimControl("reset"));
        ASSERT_TRUE(machine()
                        .Sh(std::string("mkdir -p /etc/orvane && echo ORVANE_ACCOUNT=") +
                            SystemWorld::kAccount + " >/etc/orvane/orvane.conf && umask 077 && " +
                            "echo " + SystemWorld::kPassword + " >/etc/orvane/password")
                        .ok());
        EXPECT_EQ("600 root", machine().Out({"stat", "-c", "%a %U", "/etc/orvane/password"}));
        ASSERT_TRUE(In({"systemctl", "disable", "--now", "orvane-window"}, 120s).ok());
        const size_t mark = world().Mark();
        const CommandResult r = In({"systemctl", "enable", "--now", "orvane"}, 120s);
        ASSERT_TRUE(r.ok()) << r.Text();
        EXPECT_TRUE(WaitKeptLogin(mark, 60s)) << world().Transcript(mark) << UnitReport("orvane");
        EXPECT_EQ("active", Active("orvane"));
        // Every part of the login succeeded, the name servers' too.
        EXPECT_EQ(std::string::npos, Journal("orvane").find("login fail")) << Journal("orvane");
    }

    void JournalHasTheServiceLines() {
        EXPECT_TRUE(WaitJournal("orvane", CClientCommand::kPrompt, 20s)) << Journal("orvane");
    }

    // A crash: systemd starts the service again, which logs the stale login out ("5") and in.
    void KilledServiceIsRestarted() {
        const std::string before = MainPid("orvane");
        ASSERT_NE("0", before);
        const size_t mark = world().Mark();
        ASSERT_TRUE(In({"systemctl", "kill", "-s", "KILL", "--kill-who=main", "orvane"}).ok());
        EXPECT_TRUE(orvane_test::waitFor(
            [&] {
                const std::string now = MainPid("orvane");
                return now != "0" && now != before && Active("orvane") == "active";
            },
            90s, 500ms))
            << UnitReport("orvane");
        EXPECT_TRUE(WaitLogout(mark, "5", 60s)) << world().Transcript(mark);
        EXPECT_TRUE(WaitLogin(mark, 60s)) << world().Transcript(mark) << UnitReport("orvane");
    }

    // The card goes down for minutes and comes back; the default route comes back with it, as a
    // network manager puts it back. The service is logged in again with nobody's help.
    void LinkOutage() {
        const int seconds = std::atoi(Env("ORVANE_SYSTEM_LINK_DOWN", "180").c_str());
        ASSERT_TRUE(world().ns().exec("ip link set veth0 down"));
        std::this_thread::sleep_for(std::chrono::seconds(seconds));
        const size_t mark = world().Mark();
        ASSERT_TRUE(world().ns().exec("ip link set veth0 up"));
        ASSERT_TRUE(world().ns().exec("ip route replace default via 192.0.2.1"));
        EXPECT_TRUE(orvane_test::waitFor(
            [&] {
                return world().Accepted(mark, "keep") &&
                       (Journal("orvane").find("logged in again") != std::string::npos ||
                        Journal("orvane").find("link back, still logged in") != std::string::npos);
            },
            90s, 500ms))
            << world().Transcript(mark) << UnitReport("orvane");
        EXPECT_EQ("active", Active("orvane"));
    }

    void StopLogsOutOnce() {
        const size_t mark = world().Mark();
        const CommandResult r = In({"systemctl", "stop", "orvane"}, 120s);
        ASSERT_TRUE(r.ok()) << r.Text();
        EXPECT_EQ(1u, world().Since(mark, "term").size()) << world().Transcript(mark);
        EXPECT_EQ(1u, world().Logouts(mark, "7")) << world().Transcript(mark);
        EXPECT_EQ("inactive", Active("orvane"));
    }

    void LogsInAtBoot() {
        const size_t mark = world().Mark();
        std::string why;
        {
            PhaseTimer phase("reboot");
            ASSERT_TRUE(machine().Reboot(why)) << why;
        }
        EXPECT_TRUE(WaitKeptLogin(mark, 60s)) << world().Transcript(mark) << UnitReport("orvane");
        EXPECT_EQ("active", Active("orvane"));
    }
};

using HeadlessStep = Step<HeadlessFamily>;
class HeadlessTest : public HeadlessFamily, public ::testing::WithParamInterface<HeadlessStep> {};
TEST_P(HeadlessTest, Runs) {
    (this->*GetParam().run)();
}
INSTANTIATE_TEST_SUITE_P(
    Headless, HeadlessTest,
    ::testing::Values(
        HeadlessStep{"EnabledServiceLogsIn", &HeadlessFamily::EnabledServiceLogsIn},
        HeadlessStep{"JournalHasTheServiceLines", &HeadlessFamily::JournalHasTheServiceLines},
        HeadlessStep{"KilledServiceIsRestarted", &HeadlessFamily::KilledServiceIsRestarted},
        HeadlessStep{"LinkOutage", &HeadlessFamily::LinkOutage},
        HeadlessStep{"StopLogsOutOnce", &HeadlessFamily::StopLogsOutOnce},
        HeadlessStep{"LogsInAtBoot", &HeadlessFamily::LogsInAtBoot}),
    StepName<HeadlessFamily>);

// --- systemd-resolved owns the resolver ------------------------------------------------------

// The headless service is logged in since the boot.
class ResolverFamily : public SystemFixture {
public:
    void PortalServersOnTheLink() {
        ASSERT_EQ("active", Active("orvane"));
        EXPECT_TRUE(orvane_test::waitFor(
            [&] {
                const std::string dns = world().LinkDns();
                return dns.find(SystemWorld::kPortalDns1) != std::string::npos &&
                       dns.find(SystemWorld::kPortalDns2) != std::string::npos;
            },
            20s, 500ms))
            << world().LinkDns();
        EXPECT_EQ(world().ResolverLinkBefore(), world().ResolverLink());
    }

    void AsBeforeAfterLogout() {
        const size_t mark = world().Mark();
        ASSERT_TRUE(In({"systemctl", "stop", "orvane"}, 120s).ok());
        EXPECT_EQ(1u, world().Logouts(mark, "7"))
            << world().Transcript(mark) << UnitReport("orvane");
        EXPECT_EQ(world().LinkDnsBefore(), world().LinkDns());
        EXPECT_EQ(world().ResolverLinkBefore(), world().ResolverLink());
    }
};

using ResolverStep = Step<ResolverFamily>;
class ResolverTest : public ResolverFamily, public ::testing::WithParamInterface<ResolverStep> {};
TEST_P(ResolverTest, Runs) {
    (this->*GetParam().run)();
}
INSTANTIATE_TEST_SUITE_P(Resolver, ResolverTest,
                         ::testing::Values(ResolverStep{"PortalServersOnTheLink",
                                                        &ResolverFamily::PortalServersOnTheLink},
                                           ResolverStep{"AsBeforeAfterLogout",
                                                        &ResolverFamily::AsBeforeAfterLogout}),
                         StepName<ResolverFamily>);

// --- removal and purge -------------------------------------------------------------------------

class RemovalFamily : public SystemFixture {
public:
    // Removed while logged in: the removal stops the service, which logs out.
    void RemoveLeavesNothingRunning() {
        size_t mark = world().Mark();
        ASSERT_TRUE(In({"systemctl", "start", "orvane"}, 120s).ok());
        ASSERT_TRUE(WaitLogin(mark, 60s)) << world().Transcript(mark);
        mark = world().Mark();
        const CommandResult r = In({"apt-get", "remove", "-y", "orvane-window", "orvane"}, 300s);
        ASSERT_TRUE(r.ok()) << r.Text();
        EXPECT_EQ(1u, world().Logouts(mark, "7")) << world().Transcript(mark);
        ExpectNoProgramRunning();
        EXPECT_NE(0, In({"test", "-e", "/run/orvane"}).status)
            << machine().Sh("ls -la /run/orvane").Text();
        EXPECT_EQ(world().ResolverLinkBefore(), world().ResolverLink());
        EXPECT_EQ(world().LinkDnsBefore(), world().LinkDns());
    }

    // Purges what dpkg still knows of the two (a package without configuration files is gone
    // whole after its removal, and apt knows it no more).
    void PurgeLeavesNoConfigurationOrState() {
        std::vector<std::string> line = {"apt-get", "purge", "-y"};
        for (const char* package : {"orvane-window", "orvane"}) {
            if (In({"dpkg-query", "-W", package}).ok())
                line.push_back(package);
        }
        CommandResult r;
        r.status = 0;
        if (line.size() > 3)
            r = In(line, 300s);
        ASSERT_TRUE(r.ok()) << r.Text();
        for (const char* path : {"/etc/orvane", "/var/lib/orvane"})
            EXPECT_NE(0, In({"test", "-e", path}).status) << path << " is left";
    }
};

using RemovalStep = Step<RemovalFamily>;
class RemovalTest : public RemovalFamily, public ::testing::WithParamInterface<RemovalStep> {};
TEST_P(RemovalTest, Runs) {
    (this->*GetParam().run)();
}
INSTANTIATE_TEST_SUITE_P(Removal, RemovalTest,
                         ::testing::Values(RemovalStep{"RemoveLeavesNothingRunning",
                                                       &RemovalFamily::RemoveLeavesNothingRunning},
                                           RemovalStep{
                                               "PurgeLeavesNoConfigurationOrState",
                                               &RemovalFamily::PurgeLeavesNoConfigurationOrState}),
                         StepName<RemovalFamily>);

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::AddGlobalTestEnvironment(new SystemEnvironment);
    Watchdog watchdog(std::chrono::minutes(std::atoi(Env("ORVANE_SYSTEM_MINUTES", "20").c_str())));
    return RUN_ALL_TESTS();
}
