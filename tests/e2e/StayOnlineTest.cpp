// Staying online end to end: the portal sits behind the card (cutting the link cuts it off), the
// real service runs in window or console mode, and each scenario is one of a laptop's ordinary
// events. Afterwards the service is online again without a click, in the same process, with the
// same login when the portal kept it; or, where retrying cannot help, it stops trying.
#include <signal.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "E2eWorld.h"

#ifndef ORVANE_CLOCK_SHIM
#define ORVANE_CLOCK_SHIM ""
#endif

namespace orvane_test {
namespace {

enum class Mode { Window, Console };
enum class Event {
    LinkFlap,           // link down 20 s
    Suspend,            // process stopped, link down 30 s, resumed, link back 6 s later
    PortalForgets,      // the portal forgets tickets and logins (a restart)
    PortalEnds,         // the portal ends the login (Error-Code 14)
    BackOff,            // the portal forgets, then refuses three new log-ins
    RefusedAfterReset,  // the portal forgets, then refuses the password
    WrongPassword,      // the first log-in is refused
    RequestedLogout,    // the user logs out
    RouteMoved,         // the default route moves to a second card
    ClockBack,          // the wall clock steps back one hour
    ClockAhead,         // the wall clock steps ahead eight hours
};

struct Scenario {
    const char* name;
    Mode mode;
    Event event;
};

constexpr const char* kSecondAddress = "198.51.100.10";

class StayOnlineTest : public E2eTest, public ::testing::WithParamInterface<Scenario> {
protected:
    bool Console() const { return GetParam().mode == Mode::Console; }

    void Start(const std::string& password = E2eWorld::kPassword) {
        E2E_WORLD(E2eOptions::BehindCard());
        std::vector<std::string> env;
        if (GetParam().event == Event::ClockBack || GetParam().event == Event::ClockAhead) {
            if (std::string(ORVANE_CLOCK_SHIM).empty())
                GTEST_SKIP() << "no clock shim in this build";
            env = {std::string("LD_PRELOAD=") + ORVANE_CLOCK_SHIM,
                   "ORVANE_CLOCK_OFFSET_FILE=" + world->dir().file("clock-offset"),
                   "ASAN_OPTIONS=verify_asan_link_order=0:detect_leaks=0"};
        }
        if (Console()) {
            ASSERT_TRUE(world->StartService({E2eWorld::kUser, password}, "svr", env));
            return;
        }
        ASSERT_TRUE(world->StartService({}, "svr", env));
        ASSERT_TRUE(window.Connect(world->Install())) << world->ServiceOutput();
        ASSERT_TRUE(window.Send("ClientStart"));
        ASSERT_TRUE(window.WaitFor("ClientStartComplete", 10s));
        ASSERT_TRUE(window.Send("CheckEnv"));
        ASSERT_TRUE(window.WaitState(31, 20s));
        window.Send("PortalConnect", std::string("<user>") + E2eWorld::kUser + "</user><password>" +
                                         password + "</password>");
    }
    void GoOnline() {
        Start();
        if (HasFatalFailure() || IsSkipped())
            return;
        ASSERT_TRUE(OnlineAfter(0, 30s)) << world->ServiceOutput();
        m_ticket = LastKeepTicket();
        m_auths = Accepted("auth");
    }

    // Requests of a kind the portal accepted (Error-Code 0).
    size_t Accepted(const std::string& kind) {
        size_t n = 0;
        for (const cJSON* rec : world->Requests(kind))
            n += AcceptedRecord(rec);
        return n;
    }
    static bool AcceptedRecord(const cJSON* rec) {
        const cJSON* answer = cJSON_GetObjectItemCaseSensitive(rec, "answer");
        const cJSON* code = cJSON_GetObjectItemCaseSensitive(answer, "error_code");
        return cJSON_IsNumber(code) && code->valueint == 0;
    }
    std::string LastKeepTicket() {
        const auto keeps = world->Requests("keep");
        return keeps.empty() ? "" : E2eWorld::Field(keeps.back(), "fields", "ticket");
    }
    // Online: a keep-alive accepted after the time t (seconds since the epoch); in window mode
    // the window was also told so.
    bool OnlineAfter(double t, std::chrono::milliseconds timeout) {
        const bool kept = waitFor(
            [&] {
                for (const cJSON* rec : world->Requests("keep")) {
                    if (E2eWorld::Time(rec) > t && AcceptedRecord(rec))
                        return true;
                }
                return false;
            },
            timeout, 50ms);
        return kept && (Console() || LastState() == 2 || window.WaitState(2, 5s));
    }
    int LastState() const { return window.States().empty() ? -1 : window.States().back().newState; }
    static double Now() {
        return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch())
            .count();
    }
    // No request of kind arrives for this long.
    bool Quiet(const std::string& kind, std::chrono::milliseconds span) {
        const size_t before = world->Count(kind);
        std::this_thread::sleep_for(span);
        return world->Count(kind) == before;
    }
    // The window shows the initialising page for the service's offline code (150120, 150121).
    void ExpectOfflineShown(long code) {
        if (Console())
            return;
        NetState s;
        EXPECT_TRUE(
            waitFor([&] { return window.WaitState(33, 200ms, &s) && s.code == code; }, 15s, 0ms))
            << window.Transcript();
    }
    // The same process kept the same login: no new log-in, keep-alives on the old ticket.
    void ExpectSameLogin() {
        EXPECT_TRUE(world->Service().running());
        EXPECT_EQ(m_auths, Accepted("auth"));
        EXPECT_EQ(m_ticket, LastKeepTicket());
    }
    void ExpectLoggedInAgain(double since, std::chrono::milliseconds timeout) {
        EXPECT_TRUE(OnlineAfter(since, timeout)) << world->LogText();
        EXPECT_TRUE(world->Service().running());
        EXPECT_GT(Accepted("auth"), m_auths);
    }
    void SetClockOffset(long seconds) {
        ASSERT_TRUE(writeFile(world->dir().file("clock-offset"), std::to_string(seconds)));
    }
    // Keep-alives keep their one-second interval after the wall clock stepped.
    void ExpectKeepAlivesAfterStep(long offset) {
        SetClockOffset(offset);
        const size_t before = world->Count("keep");
        std::this_thread::sleep_for(8s);
        EXPECT_GE(world->Count("keep"), before + 4) << world->LogText();
    }

    void LinkFlap();
    void Suspend();
    void ForgetOrEnd(const char* command);
    void BackOff();
    void RefusedAfterReset();
    void WrongPassword();
    void RequestedLogout();
    void RouteMoved();

    std::string m_ticket;
    size_t m_auths = 0;
};

void StayOnlineTest::LinkFlap() {
    ASSERT_TRUE(world->CutLink());
    ExpectOfflineShown(150120);
    std::this_thread::sleep_for(20s);
    const double back = Now();
    ASSERT_TRUE(world->RestoreLink());
    EXPECT_TRUE(OnlineAfter(back, 10s)) << world->LogText();
    ExpectSameLogin();
}

void StayOnlineTest::Suspend() {
    const pid_t pid = world->Service().pid();
    ASSERT_EQ(0, kill(pid, SIGSTOP));
    ASSERT_TRUE(world->CutLink());
    std::this_thread::sleep_for(30s);
    kill(pid, SIGCONT);
    std::this_thread::sleep_for(6s);
    const double back = Now();
    ASSERT_TRUE(world->RestoreLink());
    EXPECT_TRUE(OnlineAfter(back, 10s)) << world->LogText();
    ExpectSameLogin();
}

void StayOnlineTest::ForgetOrEnd(const char* command) {
    const double t = Now();
    ASSERT_TRUE(world->SimControl(command));
    ExpectOfflineShown(150121);
    ExpectLoggedInAgain(t, 20s);
}

void StayOnlineTest::BackOff() {
    // The first log-in was request 1; the next three are refused with a code worth retrying.
    ASSERT_TRUE(
        world->SimControl("fault auth:2:error:99\nfault auth:3:error:99\n"
                          "fault auth:4:error:99\nreset"));
    ASSERT_TRUE(world->WaitForRequests("auth", 5, 60s)) << world->LogText();
    const auto auths = world->Requests("auth");
    std::vector<double> gaps;
    for (size_t i = 2; i < 5; ++i)
        gaps.push_back(E2eWorld::Time(auths[i]) - E2eWorld::Time(auths[i - 1]));
    // Delays of 2, 4 and 8 s, each within a fifth, on top of the same detection and ticket.
    EXPECT_GT(gaps[0], 1.5);
    EXPECT_GT(gaps[1], gaps[0] + 0.5);
    EXPECT_GT(gaps[2], gaps[1] + 1.5);
    EXPECT_TRUE(OnlineAfter(E2eWorld::Time(auths[4]) - 0.01, 15s));
}

void StayOnlineTest::RefusedAfterReset() {
    ASSERT_TRUE(world->SimControl("fault auth:next:error:11\nreset"));
    if (Console()) {
        EXPECT_EQ(2, world->Service().Wait(30s)) << world->ServiceOutput();
    } else {
        NetState s;
        ASSERT_TRUE(
            waitFor([&] { return window.WaitState(3, 200ms, &s) && s.code == 150122; }, 30s, 0ms))
            << window.Transcript();
        EXPECT_EQ("140011", s.subCode);
    }
    const size_t auths = world->Count("auth");
    EXPECT_TRUE(Quiet("auth", 8s));
    EXPECT_EQ(m_auths + 1, auths);
}

void StayOnlineTest::WrongPassword() {
    Start("not-the-password");
    if (HasFatalFailure() || IsSkipped())
        return;
    if (Console())
        EXPECT_EQ(2, world->Service().Wait(30s)) << world->ServiceOutput();
    else
        EXPECT_TRUE(window.WaitState(3, 20s));
    EXPECT_TRUE(Quiet("auth", 8s));
    EXPECT_EQ(1u, world->Count("auth"));
}

void StayOnlineTest::RequestedLogout() {
    ASSERT_TRUE(window.Send("PortalDisConnect", "<src>2</src>"));
    ASSERT_TRUE(window.WaitState(12, 15s));
    EXPECT_TRUE(Quiet("auth", 8s));
    EXPECT_EQ(m_auths, world->Count("auth"));
}

void StayOnlineTest::RouteMoved() {
    ASSERT_TRUE(world->AddSecondCard());
    const size_t probes = world->Count("probe");
    ASSERT_TRUE(world->MoveDefaultRoute());
    // A new probe and log-in from the new address; the old ticket is never used from it.
    double loggedIn = -1;
    ASSERT_TRUE(waitFor(
        [&] {
            for (const cJSON* rec : world->Requests("auth")) {
                if (AcceptedRecord(rec) && E2eWorld::Field(rec, "remote") == kSecondAddress)
                    loggedIn = E2eWorld::Time(rec);
            }
            return loggedIn > 0;
        },
        20s, 50ms))
        << world->LogText();
    EXPECT_TRUE(OnlineAfter(loggedIn, 10s));
    EXPECT_TRUE(world->Service().running());
    EXPECT_GT(world->Count("probe"), probes);
    for (const cJSON* rec : world->Requests("keep")) {
        if (E2eWorld::Field(rec, "remote") == kSecondAddress) {
            EXPECT_NE(m_ticket, E2eWorld::Field(rec, "fields", "ticket"));
        }
    }
}

TEST_P(StayOnlineTest, OnlineAgainWithoutAClick) {
    const Event event = GetParam().event;
    if (event == Event::WrongPassword)
        return WrongPassword();
    GoOnline();
    if (HasFatalFailure() || IsSkipped())
        return;
    switch (event) {
        case Event::LinkFlap:
            return LinkFlap();
        case Event::Suspend:
            return Suspend();
        case Event::PortalForgets:
            return ForgetOrEnd("reset");
        case Event::PortalEnds:
            return ForgetOrEnd("end-login");
        case Event::BackOff:
            return BackOff();
        case Event::RefusedAfterReset:
            return RefusedAfterReset();
        case Event::RequestedLogout:
            return RequestedLogout();
        case Event::RouteMoved:
            return RouteMoved();
        case Event::ClockBack:
            return ExpectKeepAlivesAfterStep(-3600);
        case Event::ClockAhead:
            return ExpectKeepAlivesAfterStep(8 * 3600);
        case Event::WrongPassword:
            break;
    }
}

void PrintTo(const Scenario& scenario, std::ostream* out) {
    *out << scenario.name;
}

const Scenario kScenarios[] = {
    {"WindowLinkFlap", Mode::Window, Event::LinkFlap},
    {"ConsoleLinkFlap", Mode::Console, Event::LinkFlap},
    {"WindowSuspend", Mode::Window, Event::Suspend},
    {"ConsoleSuspend", Mode::Console, Event::Suspend},
    {"WindowPortalForgets", Mode::Window, Event::PortalForgets},
    {"ConsolePortalForgets", Mode::Console, Event::PortalForgets},
    {"WindowPortalEnds", Mode::Window, Event::PortalEnds},
    {"ConsolePortalEnds", Mode::Console, Event::PortalEnds},
    {"ConsoleBackOff", Mode::Console, Event::BackOff},
    {"WindowRefusedAfterReset", Mode::Window, Event::RefusedAfterReset},
    {"ConsoleRefusedAfterReset", Mode::Console, Event::RefusedAfterReset},
    {"WindowWrongPassword", Mode::Window, Event::WrongPassword},
    {"ConsoleWrongPassword", Mode::Console, Event::WrongPassword},
    {"WindowRequestedLogout", Mode::Window, Event::RequestedLogout},
    {"WindowRouteMoved", Mode::Window, Event::RouteMoved},
    {"ConsoleRouteMoved", Mode::Console, Event::RouteMoved},
    {"WindowClockBack", Mode::Window, Event::ClockBack},
    {"ConsoleClockAhead", Mode::Console, Event::ClockAhead},
};

INSTANTIATE_TEST_SUITE_P(Events, StayOnlineTest, ::testing::ValuesIn(kScenarios),
                         [](const ::testing::TestParamInfo<Scenario>& info) {
                             return std::string(info.param.name);
                         });

}  // namespace
}  // namespace orvane_test
