// Every conversation of the service (the portal's, the terminal list and the traffic report)
// against every way a gateway can fail it: the real OrvaneSvr in a network namespace, the test
// playing the window, portal-sim failing the conversation until the test lifts the fault. Each
// scenario checks that the service stays up, tells the window a state it can show, comes back
// with the next normal answer, and leaves nothing behind: the store parses, the client id is
// kept, no module file is left on disk, the resolver file is the machine's own again after the
// log-out, and no descriptor has leaked.
#include <dirent.h>
#include <gtest/gtest.h>

#include <cctype>
#include <filesystem>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "CMarkup.h"
#include "E2eWorld.h"

using namespace orvane_test;
using namespace std::chrono_literals;

namespace {

struct Fault {
    const char* name;
    const char* action;  // the simulator's fault action
};

// A refused portal closes its listener for a second after the request it drops.
const Fault kFaults[] = {
    {"Refused", "refuse:1000"}, {"Dropped", "drop"},       {"Http500", "http500"},
    {"Garbage", "garbage"},     {"Truncated", "truncate"}, {"Intercepted", "notag"},
    {"ErrorCode", "error:99"},
};

// The conversations, by the simulator's request kind: the portal's own, the terminal list
// ("query") and the traffic report ("stats").
const char* const kConversations[] = {"probe", "page", "ticket", "auth", "keep",
                                      "state", "term", "query",  "stats"};

using Scenario = std::tuple<const char*, Fault>;

// The statistics server is no portal server: it has no Error-Code to get wrong, and a page
// without the portal's tag is just another unreadable answer there (garbage covers it).
bool Applies(const std::string& kind, const Fault& fault) {
    const std::string name = fault.name;
    return kind != "stats" || (name != "Intercepted" && name != "ErrorCode");
}

std::vector<Scenario> Scenarios() {
    std::vector<Scenario> all;
    for (const char* kind : kConversations) {
        for (const Fault& fault : kFaults) {
            if (Applies(kind, fault))
                all.emplace_back(kind, fault);
        }
    }
    return all;
}

// A request held past the service's time limit. Each takes the whole limit, so the stalls are
// instances of their own that CTest runs alongside the rest.
std::vector<Scenario> Stalls() {
    std::vector<Scenario> all;
    for (const char* kind : kConversations)
        all.emplace_back(kind, Fault{"Stalled", "delay"});
    return all;
}

size_t OpenDescriptors(pid_t pid) {
    size_t n = 0;
    DIR* dir = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
    if (!dir)
        return 0;
    while (readdir(dir))
        ++n;
    closedir(dir);
    return n;
}

class FaultMatrixTest : public E2eTest, public ::testing::WithParamInterface<Scenario> {
protected:
    std::string Kind() const { return std::get<0>(GetParam()); }
    bool Refused() const { return std::string(std::get<1>(GetParam()).name) == "Refused"; }
    bool Intercepted() const { return std::string(std::get<1>(GetParam()).name) == "Intercepted"; }
    bool Stall() const { return std::string(std::get<1>(GetParam()).name) == "Stalled"; }

    // Fails every request of the conversation from the next one on (a stall only the next one:
    // a stalled request is retried by the service and would stall it for each retry).
    void Arm() {
        m_faulted = world->Count(Kind());
        const std::string rule =
            Kind() + (Stall() ? ":next:" : ":" + std::to_string(m_faulted + 1) + "+:") + Action();
        ASSERT_TRUE(world->SimControl("fault " + rule)) << rule;
        m_armed = rule;
    }
    // A stall lasts just past the time limit of the request (the log-in and the terminal list
    // have the longer one).
    std::string Action() const {
        if (Stall())
            return Kind() == "auth" || Kind() == "query" ? "delay:16000" : "delay:11000";
        return std::get<1>(GetParam()).action;
    }
    // Waits until the simulator has failed `n` requests of the conversation.
    bool WaitFaulted(size_t n, std::chrono::milliseconds timeout) {
        return waitFor(
            [&] {
                size_t hit = 0;
                for (const cJSON* rec : world->Requests(Kind()))
                    hit += E2eWorld::Field(rec, "fault") == m_armed;
                return hit >= n;
            },
            timeout, 20ms);
    }
    // Lets the portal answer normally again; after a refusal, once its listener is back.
    void Lift() {
        ASSERT_TRUE(world->SimControl("clear-faults"));
        if (!Refused())
            return;
        NetnsScope inside(world->ns().name());
        ASSERT_TRUE(inside.entered());
        // Any answer will do (this path has none but "not found"); nothing is logged for it.
        ASSERT_TRUE(
            waitFor([&] { return Http(world->SimUrl("/listening"), nullptr, {}, 500).status > 0; },
                    5s, 50ms));
    }
    // Requests failed before the service reports: both sends of one conversation, one stall.
    size_t Expected() const { return 1; }

    void StartAndRemember() {
        ASSERT_TRUE(world->StartService());
        ASSERT_TRUE(window.Connect(world->Install())) << world->ServiceOutput();
        ASSERT_TRUE(window.Send("ClientStart"));
        ASSERT_TRUE(window.WaitFor("ClientStartComplete", 10s));
        m_clientId = world->StoreValue("clientId");
        m_fds = OpenDescriptors(world->Service().pid());
        ASSERT_GT(m_fds, 0u);
    }
    void CheckEnv() {
        ASSERT_TRUE(window.Send("CheckEnv"));
        ASSERT_TRUE(window.WaitState(31, 30s));
    }
    // After the fault: a state message the window can show arrived, the service runs.
    void ExpectReported(size_t statesBefore) {
        ASSERT_TRUE(WaitFaulted(Expected(), 25s)) << m_armed;
        // A logout that never reached the portal leaves the login as it was, unreported; the
        // service only notes it in its log.
        const auto termFailed = [&] {
            return Kind() == "term" &&
                   world->LogText().find("term http err is") != std::string::npos;
        };
        waitFor([&] { return Drain(), window.States().size() > statesBefore || termFailed(); },
                12s);
        const bool reported = window.States().size() > statesBefore;
        if (Kind() == "term" && !reported) {
            EXPECT_TRUE(termFailed());
            EXPECT_EQ("1", world->StoreValue("connState"));
        } else {
            EXPECT_TRUE(reported);
        }
        EXPECT_TRUE(world->Service().running()) << world->ServiceOutput();
    }
    // True when a state message with this new state came since the index `from`, or comes
    // within the timeout.
    bool SawState(int newState, size_t from, std::chrono::milliseconds timeout) {
        for (size_t i = from; i < window.States().size(); ++i) {
            if (window.States()[i].newState == newState)
                return true;
        }
        return window.WaitState(newState, timeout);
    }
    // Reads whatever the service sent so far without waiting long.
    void Drain() { window.WaitFor("-none-", 50ms); }

    void LogOut() {
        ASSERT_TRUE(window.Send("PortalDisConnect", "<src>2</src>"));
        ASSERT_TRUE(window.WaitState(12, 30s));
    }
    // What every scenario leaves behind.
    void ExpectClean() {
        EXPECT_TRUE(world->Service().running());
        namespace fs = std::filesystem;
        std::error_code ec;
        for (const auto& entry : fs::recursive_directory_iterator(world->Install(), ec)) {
            const std::string path = entry.path().string();
            EXPECT_NE("protect.so", entry.path().filename().string()) << path;
            if (entry.path().extension() == ".xml" && path.find("/conf/") != std::string::npos) {
                CMarkup doc;
                EXPECT_TRUE(doc.Load(path.c_str())) << path << ": " << doc.GetError().c_str();
            }
        }
        EXPECT_FALSE(m_clientId.empty());
        EXPECT_EQ(m_clientId, world->StoreValue("clientId"));
        EXPECT_EQ("0", world->StoreValue("connState"));
        EXPECT_EQ("nameserver 192.0.2.53\n", world->Resolver());
        const size_t fds = OpenDescriptors(world->Service().pid());
        EXPECT_LE(fds, m_fds + 2) << "descriptors before " << m_fds << ", after " << fds;
    }

    void RunCheckEnvPhase();
    void RunLogin();
    void RunKeepAlive();
    void RunKeepIntercepted();
    void RunLogoutIntercepted();
    void RunStatePoll();
    void RunLogout();
    void RunTerminalList();
    void RunStatistics();
    size_t TerminalLists() const;
    size_t AcceptedReports();

    std::string m_armed;
    std::string m_clientId;
    size_t m_faulted = 0;
    size_t m_fds = 0;
};

// Probe, portal page and ticket all belong to the environment check.
void FaultMatrixTest::RunCheckEnvPhase() {
    Arm();
    ASSERT_FALSE(HasFatalFailure());
    const size_t states = window.States().size();
    ASSERT_TRUE(window.Send("CheckEnv"));
    ExpectReported(states);
    Lift();
    // The service may probe again on its own; otherwise the window's next check succeeds.
    if (!SawState(31, states, Stall() ? 15s : 7s))
        CheckEnv();
    ASSERT_FALSE(HasFatalFailure());
    LogIn();
    ASSERT_FALSE(HasFatalFailure());
    LogOut();
}

void FaultMatrixTest::RunLogin() {
    CheckEnv();
    ASSERT_FALSE(HasFatalFailure());
    Arm();
    ASSERT_FALSE(HasFatalFailure());
    const size_t states = window.States().size();
    ASSERT_TRUE(window.Send("PortalConnect", std::string("<user>") + E2eWorld::kUser +
                                                 "</user><password>" + E2eWorld::kPassword +
                                                 "</password>"));
    ExpectReported(states);
    Lift();
    Drain();
    if (Stall()) {
        // The second send was answered: logged in (possibly reported while the stall ran out).
        ASSERT_TRUE(SawState(2, states, 30s));
    } else {
        EXPECT_NE(2, window.States().back().newState);
        EXPECT_NE("1", world->StoreValue("connState"));
        if (!window.WaitState(31, 7s))
            CheckEnv();
        ASSERT_FALSE(HasFatalFailure());
        LogIn();
    }
    ASSERT_FALSE(HasFatalFailure());
    LogOut();
}

void FaultMatrixTest::RunKeepAlive() {
    CheckEnv();
    ASSERT_FALSE(HasFatalFailure());
    LogIn();
    ASSERT_FALSE(HasFatalFailure());
    ASSERT_TRUE(world->WaitForRequests("keep", 1, 10s));
    Arm();
    ASSERT_FALSE(HasFatalFailure());
    if (Intercepted()) {
        RunKeepIntercepted();
        return;
    }
    // Two failed keep-alives are within the portal's retry count: the login holds.
    ASSERT_TRUE(WaitFaulted(Expected(), 25s)) << m_armed;
    Lift();
    const size_t keeps = world->Count("keep");
    EXPECT_TRUE(world->WaitForRequests("keep", keeps + 2, 10s));
    EXPECT_EQ("1", world->StoreValue("connState"));
    EXPECT_EQ(0u, Logouts("3"));
    Drain();
    EXPECT_EQ(2, window.States().back().newState);
    LogOut();
}

void FaultMatrixTest::RunStatePoll() {
    CheckEnv();
    ASSERT_FALSE(HasFatalFailure());
    Arm();
    ASSERT_FALSE(HasFatalFailure());
    ASSERT_TRUE(WaitFaulted(Expected(), 25s)) << m_armed;
    Lift();
    const size_t polls = world->Count("state");
    EXPECT_TRUE(world->WaitForRequests("state", polls + 1, 10s));
    EXPECT_TRUE(world->Service().running());
    // A failed poll changes nothing: the log-in goes ahead (after a fresh check if the service
    // asked for one).
    Drain();
    if (window.States().back().newState != 31)
        CheckEnv();
    ASSERT_FALSE(HasFatalFailure());
    LogIn();
    ASSERT_FALSE(HasFatalFailure());
    LogOut();
}

// A keep-alive caught by the gateway means the login is gone there: no retry is spent on it,
// the window is told at once, the service logs out with reason "4" and looks for the portal
// again, and the user can log in afresh.
void FaultMatrixTest::RunKeepIntercepted() {
    NetState lost;
    ASSERT_TRUE(window.WaitState(3, 10s, &lost));
    EXPECT_EQ(150108, lost.code);
    EXPECT_TRUE(WaitForLogout("4", 10s));
    EXPECT_EQ(0u, Logouts("3"));
    ASSERT_TRUE(window.WaitState(31, 15s));
    EXPECT_EQ("0", world->StoreValue("connState"));
    EXPECT_TRUE(world->Service().running());
    Lift();
    LogIn();
    ASSERT_FALSE(HasFatalFailure());
    LogOut();
}

// A logout answered by the gateway's own page never reached the portal. The service gives the
// login up (the store says logged out at once) and looks at the network again a few seconds
// later: the portal still holds the login, so the service either adopts it again (connected) or,
// when the portal has let it go meanwhile, finds the portal page (pre-connected). Either is a
// state the window can show and leave by the usual way.
void FaultMatrixTest::RunLogoutIntercepted() {
    ASSERT_TRUE(window.Send("PortalDisConnect", "<src>2</src>"));
    ASSERT_TRUE(WaitFaulted(Expected(), 10s)) << m_armed;
    EXPECT_TRUE(waitFor([&] { return world->StoreValue("connState") == "0"; }, 5s));
    Lift();
    const auto looked = [&] {
        const std::string log = world->LogText();
        return log.find("env change to portal") != std::string::npos ||
               log.find("env still unknow env") != std::string::npos;
    };
    ASSERT_TRUE(waitFor(looked, 15s, 50ms));
    int settled = -1;
    EXPECT_TRUE(waitFor(
        [&] {
            Drain();
            const int last = window.States().back().newState;
            const bool adopted = last == 2 && world->StoreValue("connState") == "1";
            settled = adopted || last == 31 ? last : -1;
            return settled != -1;
        },
        10s));
    EXPECT_TRUE(world->Service().running());
    if (settled == 2)
        LogOut();
}

void FaultMatrixTest::RunLogout() {
    CheckEnv();
    ASSERT_FALSE(HasFatalFailure());
    LogIn();
    ASSERT_FALSE(HasFatalFailure());
    Arm();
    ASSERT_FALSE(HasFatalFailure());
    if (Intercepted()) {
        RunLogoutIntercepted();
        return;
    }
    const size_t states = window.States().size();
    ASSERT_TRUE(window.Send("PortalDisConnect", "<src>2</src>"));
    ExpectReported(states);
    Lift();
    Drain();
    if (window.States().back().newState != 12)
        LogOut();
    ASSERT_FALSE(HasFatalFailure());
    // Whatever the failed logout reported, the portal has forgotten the login now.
    EXPECT_TRUE(waitFor([&] { return world->StoreValue("connState") == "0"; }, 5s));
}

size_t FaultMatrixTest::TerminalLists() const {
    size_t n = 0;
    for (const std::string& m : window.Messages())
        n += m.find("<OpC>SetTerminalData</OpC>") != std::string::npos;
    return n;
}

// A failed terminal list sends the window nothing (it keeps the list it has); the login is not
// touched, and the window's next request gets the list.
void FaultMatrixTest::RunTerminalList() {
    CheckEnv();
    ASSERT_FALSE(HasFatalFailure());
    LogIn();
    ASSERT_FALSE(HasFatalFailure());
    Arm();
    ASSERT_FALSE(HasFatalFailure());
    ASSERT_TRUE(window.Send("GetTerminalData"));
    ASSERT_TRUE(WaitFaulted(Expected(), 25s)) << m_armed;
    Drain();
    // A stalled request is sent again once the time limit is up, and that one is answered.
    if (Stall())
        EXPECT_TRUE(waitFor([&] { return Drain(), TerminalLists() == 1; }, 10s));
    else
        EXPECT_EQ(0u, TerminalLists());
    EXPECT_TRUE(world->Service().running());
    Lift();
    // An intercepted answer makes the service look at the network again first; the login it
    // finds there is its own.
    if (Intercepted()) {
        EXPECT_TRUE(world->LogHas("env still unknow env", 15s));
    }
    EXPECT_EQ("1", world->StoreValue("connState"));
    ASSERT_TRUE(window.Send("GetTerminalData"));
    std::string list;
    ASSERT_TRUE(window.WaitFor("SetTerminalData", 20s, &list));
    EXPECT_NE(std::string::npos, list.find("<response>")) << list;
    EXPECT_EQ(2, window.States().back().newState);
    LogOut();
}

// Reports the statistics server took: answered 200 with no fault applied.
size_t FaultMatrixTest::AcceptedReports() {
    size_t n = 0;
    for (const cJSON* rec : world->Requests("stats")) {
        const cJSON* status = cJSON_GetObjectItemCaseSensitive(rec, "status");
        n += E2eWorld::Field(rec, "fault").empty() && cJSON_IsNumber(status) &&
             status->valueint == 200;
    }
    return n;
}

// A failed traffic report is the report's own business: the login holds, no state changes, and
// the next periodic report goes through.
void FaultMatrixTest::RunStatistics() {
    CheckEnv();
    ASSERT_FALSE(HasFatalFailure());
    LogIn();
    ASSERT_FALSE(HasFatalFailure());
    ASSERT_TRUE(world->WaitForRequests("stats", 1, 10s));  // the log-in's report
    Arm();
    ASSERT_FALSE(HasFatalFailure());
    ASSERT_TRUE(WaitFaulted(Expected(), 25s)) << m_armed;
    Lift();
    const size_t accepted = AcceptedReports();
    EXPECT_TRUE(waitFor([&] { return AcceptedReports() > accepted; }, 15s, 50ms));
    EXPECT_EQ("1", world->StoreValue("connState"));
    EXPECT_EQ(0u, Logouts("3"));
    Drain();
    EXPECT_EQ(2, window.States().back().newState);
    EXPECT_TRUE(world->Service().running());
    LogOut();
}

TEST_P(FaultMatrixTest, ServiceRecovers) {
    E2E_WORLD();
    StartAndRemember();
    if (HasFatalFailure())
        return;
    const std::string kind = Kind();
    if (kind == "probe" || kind == "page" || kind == "ticket")
        RunCheckEnvPhase();
    else if (kind == "auth")
        RunLogin();
    else if (kind == "keep")
        RunKeepAlive();
    else if (kind == "state")
        RunStatePoll();
    else if (kind == "query")
        RunTerminalList();
    else if (kind == "stats")
        RunStatistics();
    else
        RunLogout();
    if (HasFatalFailure())
        return;
    ExpectClean();
}

std::string ScenarioName(const ::testing::TestParamInfo<Scenario>& info) {
    std::string kind = std::get<0>(info.param);
    kind[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(kind[0])));
    return kind + std::get<1>(info.param).name;
}

INSTANTIATE_TEST_SUITE_P(Conversations, FaultMatrixTest, ::testing::ValuesIn(Scenarios()),
                         ScenarioName);
INSTANTIATE_TEST_SUITE_P(Stalls, FaultMatrixTest, ::testing::ValuesIn(Stalls()), ScenarioName);

}  // namespace
