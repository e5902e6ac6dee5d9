// The machine's own resolver file around a console login in a network namespace: the portal's
// name servers while logged in, the file back byte for byte after every way a console run ends
// and after a service killed while logged in has been started again, and a network manager's
// rewrite during the login left as it is.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <ostream>
#include <string>
#include <vector>

#include "CClientCommand.h"
#include "E2eWorld.h"

using namespace orvane_test;
using namespace std::chrono_literals;

namespace {

const char kPrompt[] = "If you want go to offline, Please enter [y]:\n";
const char kOwnResolver[] =
    "nameserver 192.168.0.1\nnameserver 10.20.0.2\noptions timeout:2 attempts:3\n"
    "search campus.example\n";
const char kPortalResolver[] =
    "nameserver 10.1.1.1\nnameserver 10.1.1.2\noptions timeout:2 attempts:3\n"
    "search campus.example\n";

class ResolverRestoreTest : public E2eTest {
protected:
    void MakeWorldWith(std::vector<std::string> simArgs, const std::string& storeExtra = "") {
        E2eOptions options = E2eOptions::Sim(std::move(simArgs));
        options.resolver = kOwnResolver;
        options.storeExtra = storeExtra;
        MakeWorld(options);
    }
    bool LoggedIn() {
        return waitFor([&] { return world->ServiceOutput().find(kPrompt) != std::string::npos; },
                       30s, 20ms);
    }
    std::string Saved() const { return world->InstallFile("conf/resolv.conf.saved"); }
    bool SavedExists() const {
        struct stat st;
        return lstat(Saved().c_str(), &st) == 0 ||
               lstat(world->InstallFile("conf/resolv.conf.written").c_str(), &st) == 0;
    }
    void LogOutWithY() {
        ASSERT_TRUE(world->Service().WriteInput("y\n"));
        EXPECT_EQ(0, world->Service().Wait(20s)) << world->ServiceOutput();
    }
};

}  // namespace

TEST_F(ResolverRestoreTest, PortalServersWhileLoggedInOwnFileAfterLogout) {
    MakeWorldWith({"--dns1", "10.1.1.1", "--dns2", "10.1.1.2"});
    if (IsSkipped() || HasFatalFailure())
        return;
    ASSERT_TRUE(world->StartService({E2eWorld::kUser, E2eWorld::kPassword}));
    ASSERT_TRUE(LoggedIn()) << world->ServiceOutput();
    EXPECT_EQ(
        "nameserver 10.1.1.1\nnameserver 10.1.1.2\noptions timeout:2 attempts:3\n"
        "search campus.example\n",
        world->Resolver());
    // Kept next to the store, for the owner only, while the rewrite is in force.
    struct stat st;
    ASSERT_EQ(0, lstat(Saved().c_str(), &st));
    EXPECT_EQ(0600u, st.st_mode & 0777);
    EXPECT_EQ(kOwnResolver, readFile(Saved()));

    LogOutWithY();
    EXPECT_EQ(kOwnResolver, world->Resolver());
    EXPECT_FALSE(SavedExists());
}

// A campus server with zeros inside its address is used; the second own server, which it
// displaces, comes back with the rest of the file.
TEST_F(ResolverRestoreTest, ServerWithZeroOctetsIsUsedAndTheFileComesBack) {
    MakeWorldWith({"--dns1", "10.0.0.1"});
    if (IsSkipped() || HasFatalFailure())
        return;
    ASSERT_TRUE(world->StartService({E2eWorld::kUser, E2eWorld::kPassword}));
    ASSERT_TRUE(LoggedIn()) << world->ServiceOutput();
    EXPECT_EQ("nameserver 10.0.0.1\noptions timeout:2 attempts:3\nsearch campus.example\n",
              world->Resolver());
    LogOutWithY();
    EXPECT_EQ(kOwnResolver, world->Resolver());
}

// Killed while logged in: the next start puts the file back before anything else (even without
// a client), and a later login and logout leave it as the machine had it.
TEST_F(ResolverRestoreTest, KilledWhileLoggedInRestoredAtTheNextStart) {
    MakeWorldWith({"--dns1", "10.1.1.1", "--dns2", "10.1.1.2"});
    if (IsSkipped() || HasFatalFailure())
        return;
    ASSERT_TRUE(world->StartService({E2eWorld::kUser, E2eWorld::kPassword}));
    ASSERT_TRUE(LoggedIn()) << world->ServiceOutput();
    ASSERT_NE(kOwnResolver, world->Resolver());
    kill(world->Service().pid(), SIGKILL);
    ASSERT_EQ(-1, world->Service().Wait(10s));
    EXPECT_NE(kOwnResolver, world->Resolver());

    // Window mode: the service waits for a client that never comes.
    ASSERT_TRUE(world->StartService({}, "second"));
    EXPECT_TRUE(waitFor([&] { return world->Resolver() == kOwnResolver; }, 15s, 20ms))
        << world->Resolver();
    // The copy goes only once the file is back.
    EXPECT_TRUE(waitFor([&] { return !SavedExists(); }, 5s, 20ms));
    // Stopped only once it listens for the stop signal.
    ASSERT_TRUE(world->LogHas(
        "OrvaneSvr started, pid " + std::to_string(world->Service().pid()) + "\n", 10s));
    EXPECT_EQ(0, world->StopService());

    // The login of the killed run is still open at the portal: it is closed, then a new one made.
    ASSERT_TRUE(world->StartService({E2eWorld::kUser, E2eWorld::kPassword}, "third"));
    ASSERT_TRUE(LoggedIn()) << world->ServiceOutput();
    EXPECT_EQ(kOwnResolver, readFile(Saved()));
    LogOutWithY();
    EXPECT_EQ(kOwnResolver, world->Resolver());
}

// ---- Every way a console run ends --------------------------------------------------------------

namespace {

struct ConsoleEnd {
    const char* name;
    std::vector<std::string> simArgs;  // besides the portal's two name servers
    bool autoLoginOff;                 // "autoLogin" 0: the service gives up instead of retrying
    const char* password;
    enum { kAnswerY, kStopSignal, kPortalEndsLogin, kByItself } trigger;
    int status;
};
// Test names and failure messages show the case's name, not its bytes.
void PrintTo(const ConsoleEnd& c, std::ostream* os) {
    *os << c.name;
}

class ResolverAtEveryEndTest : public ResolverRestoreTest,
                               public ::testing::WithParamInterface<ConsoleEnd> {};

}  // namespace

TEST_P(ResolverAtEveryEndTest, TheFileIsTheMachinesOwnAfterTheRun) {
    const ConsoleEnd& end = GetParam();
    std::vector<std::string> simArgs = {"--dns1", "10.1.1.1", "--dns2", "10.1.1.2"};
    simArgs.insert(simArgs.end(), end.simArgs.begin(), end.simArgs.end());
    MakeWorldWith(simArgs, end.autoLoginOff ? "<autoLogin>0</autoLogin>" : "");
    if (IsSkipped() || HasFatalFailure())
        return;
    ASSERT_TRUE(world->StartService({E2eWorld::kUser, end.password}));
    if (end.password == std::string(E2eWorld::kPassword)) {
        ASSERT_TRUE(LoggedIn()) << world->ServiceOutput();
        EXPECT_EQ(kPortalResolver, world->Resolver());
    }
    if (end.trigger == ConsoleEnd::kAnswerY) {
        ASSERT_TRUE(world->Service().WriteInput("y\n"));
    } else if (end.trigger == ConsoleEnd::kStopSignal) {
        kill(world->Service().pid(), SIGTERM);
    } else if (end.trigger == ConsoleEnd::kPortalEndsLogin) {
        ASSERT_TRUE(world->SimControl("end-login\n"));
    }
    EXPECT_EQ(end.status, world->Service().Wait(40s)) << world->ServiceOutput();
    EXPECT_EQ(kOwnResolver, world->Resolver());
    EXPECT_FALSE(SavedExists());
}

INSTANTIATE_TEST_SUITE_P(
    Ends, ResolverAtEveryEndTest,
    ::testing::Values(
        ConsoleEnd{"RequestedLogout",
                   {},
                   false,
                   E2eWorld::kPassword,
                   ConsoleEnd::kAnswerY,
                   CClientCommand::kExitLoggedOut},
        ConsoleEnd{"StopSignal",
                   {},
                   false,
                   E2eWorld::kPassword,
                   ConsoleEnd::kStopSignal,
                   CClientCommand::kExitLoggedOut},
        ConsoleEnd{"RefusedPassword",
                   {},
                   false,
                   "not-the-password",
                   ConsoleEnd::kByItself,
                   CClientCommand::kExitLoginFailed},
        // The first keep-alives are answered, so the rewrite is seen before the loss.
        ConsoleEnd{"KeepAliveLostWithoutAutoLogin",
                   {"--keep-retry", "0", "--fault", "keep:3+:http500"},
                   true,
                   E2eWorld::kPassword,
                   ConsoleEnd::kByItself,
                   CClientCommand::kExitKeepAliveLost},
        ConsoleEnd{"PortalEndedTheLoginWithoutAutoLogin",
                   {},
                   true,
                   E2eWorld::kPassword,
                   ConsoleEnd::kPortalEndsLogin,
                   CClientCommand::kExitPortalEnded},
        // The portal refuses the log-out asked for: the login stays, the run ends all the same.
        ConsoleEnd{"RefusedLogout",
                   {"--fault", "term:1+:error:5"},
                   false,
                   E2eWorld::kPassword,
                   ConsoleEnd::kAnswerY,
                   CClientCommand::kExitLogoutFailed}),
    [](const ::testing::TestParamInfo<ConsoleEnd>& info) { return info.param.name; });

// A network manager rewrites the file during the login (a new DHCP lease): its text is what the
// machine uses now, and the logout leaves it so.
TEST_F(ResolverRestoreTest, ManagersRewriteDuringTheLoginSurvivesTheLogout) {
    MakeWorldWith({"--dns1", "10.1.1.1", "--dns2", "10.1.1.2"});
    if (IsSkipped() || HasFatalFailure())
        return;
    ASSERT_TRUE(world->StartService({E2eWorld::kUser, E2eWorld::kPassword}));
    ASSERT_TRUE(LoggedIn()) << world->ServiceOutput();
    ASSERT_EQ(kPortalResolver, world->Resolver());
    const std::string manager = "# Generated by NetworkManager\nnameserver 172.16.0.1\n";
    ASSERT_TRUE(world->WriteResolver(manager));
    // The login goes on over the manager's file for a while.
    ASSERT_TRUE(world->WaitForRequests("keep", world->Count("keep") + 2, 10s));

    LogOutWithY();
    EXPECT_EQ(manager, world->Resolver());
    EXPECT_FALSE(SavedExists());
    EXPECT_NE(std::string::npos, world->LogText().find("rewritten by another program"))
        << world->LogText();
}
