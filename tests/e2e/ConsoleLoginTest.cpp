// OrvaneSvr started from the terminal with an account and a password, inside a network namespace
// with portal-sim: the whole log-in, the keep-alive at the portal's pace, the log-out on "y", the
// service logging in again by itself, and every end of a console run with its own exit status
// (the ends the service would mend by itself with its re-login turned off: "autoLogin" 0).
#include <gtest/gtest.h>

#include <string>

#include "CClientCommand.h"
#include "E2eWorld.h"

using namespace orvane_test;
using namespace std::chrono_literals;

namespace {

class ConsoleLoginTest : public E2eTest {
protected:
    bool OutputHas(const std::string& text, std::chrono::milliseconds timeout) {
        return waitFor([&] { return world->ServiceOutput().find(text) != std::string::npos; },
                       timeout, 20ms);
    }
};

const char kPrompt[] = "If you want go to offline, Please enter [y]:\n";

}  // namespace

TEST_F(ConsoleLoginTest, LogsInKeepsAliveAtThePortalsPaceAndLogsOutOnY) {
    E2E_WORLD(E2eOptions::Sim({"--keep-interval", "2"}));
    ASSERT_TRUE(world->StartService({E2eWorld::kUser, E2eWorld::kPassword}));
    ASSERT_TRUE(OutputHas(kPrompt, 30s));
    const auto logins = world->Requests("auth");
    ASSERT_EQ(1u, logins.size());
    EXPECT_EQ(E2eWorld::kPassword, E2eWorld::Field(logins[0], "fields", "passwd"));
    // The order of the conversation: probe, portal page, ticket, then the login.
    ASSERT_GE(world->Count("ticket"), 1u);
    EXPECT_LE(E2eWorld::Time(world->Requests("page")[0]),
              E2eWorld::Time(world->Requests("ticket")[0]));
    EXPECT_LE(E2eWorld::Time(world->Requests("ticket")[0]), E2eWorld::Time(logins[0]));

    // The password is no longer readable from the process's command line.
    const std::string cmdline =
        readFile("/proc/" + std::to_string(world->Service().pid()) + "/cmdline");
    EXPECT_EQ(std::string::npos, cmdline.find(E2eWorld::kPassword));

    // The timer counts whole seconds, so each gap may be up to a second off the interval; on
    // average it is the interval the portal gave. Meanwhile, with no window, the main thread
    // waits in the open of the service's FIFO without waking.
    const pid_t pid = world->Service().pid();
    const long asleep = wakeupsOf(pid, pid);
    ASSERT_TRUE(world->WaitForRequests("keep", 4, 15s));
    const long woken = wakeupsOf(pid, pid) - asleep;
    ASSERT_GE(asleep, 0);
    EXPECT_LE(woken, 1) << "the main thread woke " << woken << " times waiting for a window";
    const auto keeps = world->Requests("keep");
    for (size_t i = 1; i < keeps.size(); ++i) {
        const double gap = E2eWorld::Time(keeps[i]) - E2eWorld::Time(keeps[i - 1]);
        EXPECT_GT(gap, 1.0) << "keep-alive " << i;
        EXPECT_LT(gap, 3.0) << "keep-alive " << i;
    }
    const double mean = (E2eWorld::Time(keeps.back()) - E2eWorld::Time(keeps.front())) /
                        static_cast<double>(keeps.size() - 1);
    EXPECT_NEAR(2.0, mean, 0.5);

    ASSERT_TRUE(world->Service().WriteInput("y\n"));
    EXPECT_EQ(0, world->Service().Wait(15s)) << world->ServiceOutput();
    ASSERT_EQ(1u, world->Count("term"));
    EXPECT_EQ("2", E2eWorld::Field(world->Requests("term")[0], "fields", "reason"));
    EXPECT_EQ("0", world->StoreValue("connState"));
    // The prompt comes once, and the password never reaches the log.
    const std::string out = world->ServiceOutput();
    EXPECT_EQ(out.find(kPrompt), out.rfind(kPrompt));
    EXPECT_EQ(std::string::npos, world->LogText().find(E2eWorld::kPassword));
}

TEST_F(ConsoleLoginTest, OtherAnswersThanYKeepTheLogin) {
    E2E_WORLD();
    ASSERT_TRUE(world->StartService({E2eWorld::kUser, E2eWorld::kPassword}));
    ASSERT_TRUE(OutputHas(kPrompt, 30s));
    ASSERT_TRUE(world->Service().WriteInput("n\nyes\n\n"));
    const size_t keeps = world->Count("keep");
    EXPECT_TRUE(world->WaitForRequests("keep", keeps + 2, 6s));
    EXPECT_TRUE(world->Service().running());
    EXPECT_EQ(0u, world->Count("term"));
}

// A refused password is never tried again: the line with the code's text, then the end.
TEST_F(ConsoleLoginTest, WrongPasswordEndsWithTheLoginFailLineAndStatusTwo) {
    E2E_WORLD();
    ASSERT_TRUE(world->StartService({E2eWorld::kUser, "not-the-password"}));
    EXPECT_EQ(CClientCommand::kExitLoginFailed, world->Service().Wait(30s))
        << world->ServiceOutput();
    // The portal refused the account (its code 11).
    EXPECT_NE(std::string::npos,
              world->ServiceOutput().find("login fail: 账号或密码错误 (140011)\n"))
        << world->ServiceOutput();
    EXPECT_EQ(std::string::npos, world->ServiceOutput().find(kPrompt));
    EXPECT_EQ(1u, world->Count("auth"));
    EXPECT_EQ(0u, world->Count("keep"));
}

// ---- How a console run ends (statuses as documented in the README) ------------------------------

namespace {

class ConsoleEndTest : public ConsoleLoginTest {
protected:
    // Starts a console run and waits for its end; its status (-1 when it did not end).
    int RunToEnd(std::chrono::milliseconds limit) {
        if (!world->StartService({E2eWorld::kUser, E2eWorld::kPassword}))
            return -2;
        return world->Service().Wait(limit);
    }
    // A world whose service does not log in again by itself.
    static E2eOptions WithoutAutoLogin(std::vector<std::string> simArgs = {}) {
        E2eOptions options = E2eOptions::Sim(std::move(simArgs));
        options.storeExtra = "<autoLogin>0</autoLogin>";
        return options;
    }
};

}  // namespace

TEST_F(ConsoleEndTest, FailedDetectionWithoutAutoLoginEndsWithStatusOne) {
    E2eOptions options = WithoutAutoLogin();
    options.defaultRoute = false;
    E2E_WORLD(options);
    EXPECT_EQ(CClientCommand::kExitDetectionFailed, RunToEnd(30s)) << world->ServiceOutput();
    EXPECT_NE(std::string::npos, world->ServiceOutput().find("(150122, 20010204)\n"))
        << world->ServiceOutput();
}

// Error-Code 14 on the log-in reports nothing and goes back to a ticket; the service tries again.
TEST_F(ConsoleEndTest, LoginEndedByThePortalAtOnceIsTriedAgain) {
    E2E_WORLD(E2eOptions::Sim({"--fault", "auth:1:error:14"}));
    ASSERT_TRUE(world->StartService({E2eWorld::kUser, E2eWorld::kPassword}));
    ASSERT_TRUE(OutputHas(kPrompt, 60s)) << world->ServiceOutput();
    EXPECT_EQ(2u, world->Count("auth"));
    EXPECT_TRUE(world->Service().running());
}

// The probe finds an open network: one line, no prompt; the portal that shows up afterwards is
// logged in to, and "y" then logs out with status 0.
TEST_F(ConsoleEndTest, OpenNetworkIsWaitedOutUntilAPortalAppears) {
    E2E_WORLD(E2eOptions::Sim({"--fault", "probe:1:garbage"}));
    ASSERT_TRUE(world->StartService({E2eWorld::kUser, E2eWorld::kPassword}));
    ASSERT_TRUE(OutputHas("The network needs no portal log-in; waiting for a portal.\n", 30s))
        << world->ServiceOutput();
    ASSERT_TRUE(OutputHas(kPrompt, 30s)) << world->ServiceOutput();
    const std::string out = world->ServiceOutput();
    EXPECT_LT(out.find("needs no portal"), out.find(kPrompt));
    ASSERT_TRUE(world->Service().WriteInput("y\n"));
    EXPECT_EQ(0, world->Service().Wait(15s)) << world->ServiceOutput();
}

TEST_F(ConsoleEndTest, YBeforeAnyLoginEndsAtOnceWithZero) {
    // The network stays open: no login will ever be held.
    E2E_WORLD(E2eOptions::Sim({"--fault", "probe:1+:garbage"}));
    ASSERT_TRUE(world->StartService({E2eWorld::kUser, E2eWorld::kPassword}));
    ASSERT_TRUE(OutputHas("needs no portal log-in", 30s)) << world->ServiceOutput();
    ASSERT_TRUE(world->Service().WriteInput("y\n"));
    EXPECT_EQ(0, world->Service().Wait(10s)) << world->ServiceOutput();
    EXPECT_EQ(0u, world->Count("term"));
}

TEST_F(ConsoleEndTest, KeepAliveLostWithoutAutoLoginEndsWithStatusThree) {
    E2E_WORLD(WithoutAutoLogin({"--keep-retry", "0", "--fault", "keep:1+:http500"}));
    EXPECT_EQ(CClientCommand::kExitKeepAliveLost, RunToEnd(40s)) << world->ServiceOutput();
    EXPECT_NE(std::string::npos, world->ServiceOutput().find("keep-alive lost: "));
}

// The portal ends the login: the service logs in again by itself and the run goes on.
TEST_F(ConsoleEndTest, LoginEndedByThePortalIsLoggedInAgain) {
    E2E_WORLD(E2eOptions::Sim({"--keep-interval", "1"}));
    ASSERT_TRUE(world->StartService({E2eWorld::kUser, E2eWorld::kPassword}));
    ASSERT_TRUE(OutputHas(kPrompt, 30s)) << world->ServiceOutput();
    ASSERT_TRUE(world->SimControl("end-login\n"));
    ASSERT_TRUE(OutputHas("logged in again\n", 60s)) << world->ServiceOutput();
    EXPECT_NE(std::string::npos,
              world->ServiceOutput().find("login ended by the portal: 本次登录已被门户结束"));
    EXPECT_EQ(2u, world->Count("auth"));
    ASSERT_TRUE(world->Service().WriteInput("y\n"));
    EXPECT_EQ(0, world->Service().Wait(15s)) << world->ServiceOutput();
}

TEST_F(ConsoleEndTest, LoginEndedByThePortalWithoutAutoLoginEndsWithStatusFour) {
    E2E_WORLD(WithoutAutoLogin({"--keep-interval", "1"}));
    ASSERT_TRUE(world->StartService({E2eWorld::kUser, E2eWorld::kPassword}));
    ASSERT_TRUE(OutputHas(kPrompt, 30s)) << world->ServiceOutput();
    ASSERT_TRUE(world->SimControl("end-login\n"));
    EXPECT_EQ(CClientCommand::kExitPortalEnded, world->Service().Wait(20s))
        << world->ServiceOutput();
    EXPECT_NE(std::string::npos, world->ServiceOutput().find("login ended by the portal"));
}

TEST_F(ConsoleEndTest, StopSignalWhileLoggedInLogsOutWithZero) {
    E2E_WORLD();
    ASSERT_TRUE(world->StartService({E2eWorld::kUser, E2eWorld::kPassword}));
    ASSERT_TRUE(OutputHas(kPrompt, 30s)) << world->ServiceOutput();
    EXPECT_EQ(0, world->StopService(30s)) << world->ServiceOutput();
    ASSERT_EQ(1u, world->Count("term"));
    EXPECT_EQ("7", E2eWorld::Field(world->Requests("term")[0], "fields", "reason"));
}

// A portal that answers every log-in with another renewed container: the log-in is sent again at
// most three times, then reported as a failed renewal.
TEST_F(ConsoleEndTest, EndlessRenewalsWithoutAutoLoginEndAsAFailedLogin) {
    E2E_WORLD(WithoutAutoLogin({"--fault", "auth:1+:renew"}));
    EXPECT_EQ(CClientCommand::kExitLoginFailed, RunToEnd(60s)) << world->ServiceOutput();
    EXPECT_NE(std::string::npos,
              world->ServiceOutput().find("login fail: 认证组件更新失败，请重启客户端 (150003)\n"))
        << world->ServiceOutput();
    EXPECT_EQ(4u, world->Count("auth"));
}

// The stop's own logout may need both of its sends: the first one here outlasts its time limit.
// The service is given the time and ends in order instead of being killed by the signal.
TEST_F(ConsoleEndTest, StopSignalWaitsForASlowLogout) {
    E2E_WORLD(E2eOptions::Sim({"--fault", "term:1:delay:11000"}));
    ASSERT_TRUE(world->StartService({E2eWorld::kUser, E2eWorld::kPassword}));
    ASSERT_TRUE(OutputHas(kPrompt, 30s)) << world->ServiceOutput();
    EXPECT_EQ(0, world->StopService(70s)) << world->ServiceOutput();
    // The delayed first send is recorded when its answer goes out, after the second.
    EXPECT_TRUE(world->WaitForRequests("term", 2, 5s));
}
