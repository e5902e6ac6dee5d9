// The Portal business's traffic-report schedule: the settings read at login, the report task's
// tag, the TIMING chain, and the LOGOUT report that goes before the logout it carries.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "CInfoCenter.h"
#include "CLog.h"
#include "CPortalServer.h"
#include "PortalServerTestSupport.h"
#include "TestSupport.h"

using namespace OrvaneSvr;
using namespace std::chrono_literals;
using orvane_test::readFile;
using orvane_test::TempDir;
using orvane_test::waitFor;

namespace {

// Nothing listens on the discard port of loopback: a report sent there fails at once.
const char kClosedUrl[] = "http://127.0.0.1:9/stats";

std::string Store(const TempDir& dir) {
    orvane_test::writeFile(dir.file("conf.xml"),
                           "<conf><redirect>http://127.0.0.1:9/forward.cgi</redirect></conf>");
    return dir.file("conf.xml");
}

class PortalTrafficTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(0, CLog::GetInst()->Create(dir.path().c_str(), "Info.log", ""));
        CLog::GetInst()->SetLevel(CLog::DEBUG);
        portal.SetInfoCenter(&info);
        CPortalServerTestAccess::StartMachine(portal);
        ASSERT_NE(nullptr, portal.GetPortalConn());
        cfg = portal.GetPortalConn()->GetPortalConf();
        ASSERT_NE(nullptr, cfg);
    }
    void TearDown() override { CLog::GetInst()->Close(); }

    void StatsEntry(const std::string& markup) {
        cfg->funCfg[CAutoString("StatsInfor")] = markup.c_str();
    }
    int Armed() { return CPortalServerTestAccess::Armed(portal, trafficStatistics); }
    std::string LogText() { return readFile(dir.file("Info.log")); }
    void EnableReports() {
        StatsEntry("<StatsInfor enable=\"1\" interval=\"300\" url=\"" + std::string(kClosedUrl) +
                   "\"/>");
        cfg->trafficStatisticsURL = kClosedUrl;  // as an earlier login read it
    }
    // The adapter's byte counters as the kernel shows them to the business (loopback carries
    // the default route).
    void Counters(int sent, int received) {
        std::filesystem::create_directories(dir.file("proc/net"));
        orvane_test::writeFile(
            dir.file("proc/net/route"),
            "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\tWindow\tIRTT\n"
            "lo\t00000000\t0100007F\t0003\t0\t0\t0\t00000000\t0\t0\t0\n");
        orvane_test::writeFile(dir.file("proc/net/dev"),
                               "Inter-|   Receive |  Transmit\n face |bytes packets|bytes packets\n"
                               "    lo: " +
                                   std::to_string(received) + " 0 0 0 0 0 0 0 " +
                                   std::to_string(sent) + " 0 0 0 0 0 0 0\n");
    }
    // Keeps the work thread in a task of the test's own until Release(), so that a report armed
    // meanwhile waits in the queue. The hook is set before the first task runs.
    void HoldWorker() {
        Task hold;
        hold.curTask = reqConfig;  // a handler with nothing to do
        hold.level = mostHigh;
        CPortalServerTestAccess::Queue(portal, hold);
        ASSERT_TRUE(waitFor([&] { return portal.Count(reqConfig) == 1; }, 5s));
    }
    void ReleaseWorker() { released = true; }
    void SetUpHold() {
        portal.SetHook([this](Task& task) {
            if (task.curTask == reqConfig)
                waitFor([this] { return released.load(); }, 10s);
        });
    }
    std::atomic<bool> released{false};

    TempDir dir;
    CInfoCenter info{Store(dir).c_str()};
    RecordingPortal portal{orvane_test::LoopbackHostPaths(dir)};
    CAuthConfig* cfg = nullptr;
};

}  // namespace

// Only an enabled, well-formed entry turns reporting on, and every login reads it afresh.
TEST_F(PortalTrafficTest, LoginReadsTheStatsEntryAfreshAndOnlyWhenEnabled) {
    cfg->trafficStatisticsURL = "http://left.over/from-an-earlier-login";
    EXPECT_EQ(-1, portal.NetworkTraffic(CTrafficStatistics::LOGIN, ""));  // no entry at all
    EXPECT_TRUE(cfg->trafficStatisticsURL.IsEmpty());

    const struct {
        std::string markup;
        int result;
    } entries[] = {
        {"<StatsInfor enable=\"0\" interval=\"300\" url=\"" + std::string(kClosedUrl) + "\"/>", -1},
        {"<StatsInfor enable=\"1\" interval=\"300\" url=\"" + std::string(kClosedUrl) + "\"", -1},
        {"<Other enable=\"1\" interval=\"300\" url=\"" + std::string(kClosedUrl) + "\"/>", -1},
        {"<StatsInfor enable=\"1\" interval=\"300\"/>", -1},
        {"<StatsInfor enable=\"1\" interval=\"300\" url=\"" + std::string(kClosedUrl) + "\"/>", 0},
    };
    for (const auto& entry : entries) {
        StatsEntry(entry.markup);
        EXPECT_EQ(entry.result, portal.NetworkTraffic(CTrafficStatistics::LOGIN, ""))
            << entry.markup;
    }
    EXPECT_STREQ(kClosedUrl, cfg->trafficStatisticsURL.c_str());
    EXPECT_EQ(300, cfg->trafficStatisticsInterval);
    // The LOGIN entry fires at once; its task arms the first TIMING report 300 s away.
    ASSERT_TRUE(waitFor([&] { return portal.Count(trafficStatistics) == 1 && Armed() == 1; }, 5s));
    EXPECT_EQ("<tag><type>1</type><next></next></tag>", portal.TagOf(trafficStatistics));
    EXPECT_EQ(0, portal.Count(term));
}

// With no address the logout goes ahead at once; with one, the LOGOUT report replaces the pending
// TIMING report, runs first, queues the logout with its reason, and arms nothing after it.
TEST_F(PortalTrafficTest, LogoutReportGoesFirstAndEndsTheTimingChain) {
    EXPECT_EQ(-1, portal.NetworkTraffic(CTrafficStatistics::LOGOUT, "6"));
    ASSERT_TRUE(waitFor([&] { return portal.Count(term) == 1; }, 5s));
    EXPECT_EQ("6", portal.TagOf(term));
    EXPECT_EQ(0, portal.Count(trafficStatistics));

    cfg->trafficStatisticsURL = kClosedUrl;
    cfg->trafficStatisticsInterval = 300;
    ASSERT_EQ(0, portal.NetworkTraffic(CTrafficStatistics::TIMING, ""));
    EXPECT_EQ(1, Armed());
    portal.DisConnect(CAutoString("2"));
    ASSERT_TRUE(waitFor([&] { return portal.Count(term) == 2; }, 5s));
    const std::vector<TaskItem> ran = portal.Ran();
    ASSERT_GE(ran.size(), 3u);
    EXPECT_EQ(trafficStatistics, ran[ran.size() - 2]);
    EXPECT_EQ("<tag><type>0</type><next>2</next></tag>", portal.TagOf(trafficStatistics));
    EXPECT_EQ("2", portal.TagOf(term));
    EXPECT_EQ(1, portal.Count(trafficStatistics));  // the TIMING entry never fired
    EXPECT_EQ(0, Armed());
}

// A logout asked for while a timed report is on its way (the post may take its 10 s) must not be
// cancelled when that report finishes and plans the next one.
TEST_F(PortalTrafficTest, LogoutAskedForDuringATimedReportIsNotLost) {
    cfg->trafficStatisticsURL = kClosedUrl;
    cfg->trafficStatisticsInterval = 1;
    std::atomic<bool> asked{false};
    portal.SetHook([&](Task& task) {
        if (task.curTask != trafficStatistics || asked.exchange(true))
            return;
        portal.DisConnect(CAutoString("2"));
        // The LOGOUT entry fires into the queue while this report is still running.
        waitFor([&] { return CPortalServerTestAccess::QueueSize(portal) > 0; }, 3s);
    });
    ASSERT_EQ(0, portal.NetworkTraffic(CTrafficStatistics::TIMING, ""));
    ASSERT_TRUE(waitFor([&] { return portal.Count(term) == 1; }, 5s));
    EXPECT_EQ("2", portal.TagOf(term));
    EXPECT_EQ(2, portal.Count(trafficStatistics));
    EXPECT_NE(std::string::npos, LogText().find("logout report pending, no further timed report"));
    EXPECT_EQ(0, Armed());
}

// The window may ask for the logout the moment it is told of the login, before the login's report
// is planned: the login's report must not replace the logout's, or the logout is never made. The
// next login after that logout starts its chain of reports as usual.
TEST_F(PortalTrafficTest, LogoutAskedForBeforeTheLoginReportIsPlannedIsNotLost) {
    StatsEntry("<StatsInfor enable=\"1\" interval=\"300\" url=\"" + std::string(kClosedUrl) +
               "\"/>");
    cfg->trafficStatisticsURL = kClosedUrl;  // as the login being ended read it
    for (int round = 1; round <= 3; ++round) {
        portal.DisConnect(CAutoString("2"));
        portal.NetworkTraffic(CTrafficStatistics::LOGIN, "");
        ASSERT_TRUE(waitFor([&] { return portal.Count(term) == round; }, 5s)) << "round " << round;
        EXPECT_EQ("2", portal.TagOf(term));
    }
    ASSERT_EQ(0, portal.NetworkTraffic(CTrafficStatistics::LOGIN, ""));
    EXPECT_TRUE(waitFor(
        [&] {
            return portal.TagOf(trafficStatistics) == "<tag><type>1</type><next></next></tag>" &&
                   Armed() == 1;
        },
        5s));
}

// Each TIMING report arms the next; an interval below a second from the portal counts as one.
TEST_F(PortalTrafficTest, TimingReportsRearmThemselves) {
    cfg->trafficStatisticsURL = kClosedUrl;
    cfg->trafficStatisticsInterval = 0;
    ASSERT_EQ(0, portal.NetworkTraffic(CTrafficStatistics::TIMING, "carried"));
    const auto start = std::chrono::steady_clock::now();
    // A report is counted when its task starts and re-arms at its end, so wait for both.
    ASSERT_TRUE(waitFor([&] { return portal.Count(trafficStatistics) >= 2 && Armed() == 1; }, 5s));
    EXPECT_GE(std::chrono::steady_clock::now() - start, 900ms);
    EXPECT_EQ("<tag><type>2</type><next>carried</next></tag>", portal.TagOf(trafficStatistics));
    EXPECT_EQ(0, portal.Count(term));
}

// A tag that is no document, has no type or an unknown one ends the task without a report or a
// follow-up.
TEST_F(PortalTrafficTest, ReportTaskWithABadTagDoesNothing) {
    cfg->trafficStatisticsURL = kClosedUrl;
    for (const char* tag : {"", "<tag><type>0</type>", "<tag><next>2</next></tag>", "plain",
                            "<tag><type>7</type><next>2</next></tag>"}) {
        Task task;
        task.curTask = trafficStatistics;
        task.level = high;
        task.tag = tag;
        CPortalServerTestAccess::Queue(portal, task);
    }
    ASSERT_TRUE(waitFor([&] { return portal.Count(trafficStatistics) == 5; }, 5s));
    ASSERT_TRUE(waitFor([&] { return CPortalServerTestAccess::QueueSize(portal) == 0; }, 2s));
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(0, portal.Count(term));
    EXPECT_EQ(0, Armed());
    EXPECT_EQ(std::string::npos, LogText().find("traffic report type"));
}

// Stopping every task (a request the gateway intercepted) takes a pending logout report with it.
// Logins after that still get their reports; the logout that was stopped is not made.
TEST_F(PortalTrafficTest, StoppedLogoutReportLeavesLaterLoginsReported) {
    SetUpHold();
    EnableReports();
    HoldWorker();
    portal.DisConnect(CAutoString("2"));
    ASSERT_TRUE(waitFor([&] { return CPortalServerTestAccess::QueueSize(portal) == 1; }, 5s));
    portal.StopAllTask();
    EXPECT_EQ(0u, CPortalServerTestAccess::QueueSize(portal));
    ReleaseWorker();

    EXPECT_EQ(0, portal.NetworkTraffic(CTrafficStatistics::LOGIN, ""));
    ASSERT_TRUE(waitFor(
        [&] {
            return portal.TagOf(trafficStatistics) == "<tag><type>1</type><next></next></tag>" &&
                   Armed() == 1;
        },
        5s));
    EXPECT_EQ(0, portal.Count(term));
    EXPECT_EQ(std::string::npos, LogText().find("logout report pending"));
}

// A logout asked for before the login's report is planned supersedes that report; its own report
// still counts from that login, not from the one before it.
TEST_F(PortalTrafficTest, LogoutReportCountsFromTheLoginItEnds) {
    SetUpHold();
    EnableReports();
    Counters(1000, 2000);
    ASSERT_EQ(0, portal.NetworkTraffic(CTrafficStatistics::LOGIN, ""));  // the earlier login
    ASSERT_TRUE(waitFor([&] { return portal.Count(trafficStatistics) == 1 && Armed() == 1; }, 5s));
    EXPECT_EQ(std::make_pair(uint64_t{1000}, uint64_t{2000}),
              CPortalServerTestAccess::TrafficStart(portal));

    Counters(5000, 9000);
    HoldWorker();
    portal.DisConnect(CAutoString("2"));  // told of the new login before it is reported
    ASSERT_TRUE(waitFor([&] { return CPortalServerTestAccess::QueueSize(portal) == 1; }, 5s));
    EXPECT_EQ(-1, portal.NetworkTraffic(CTrafficStatistics::LOGIN, ""));  // nothing armed
    ReleaseWorker();
    ASSERT_TRUE(waitFor([&] { return portal.Count(term) == 1; }, 5s));
    EXPECT_EQ("<tag><type>0</type><next>2</next></tag>", portal.TagOf(trafficStatistics));
    EXPECT_EQ(std::make_pair(uint64_t{5000}, uint64_t{9000}),
              CPortalServerTestAccess::TrafficStart(portal));
    EXPECT_EQ(0, Armed());
}
