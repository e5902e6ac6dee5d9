// The Portal business: work loop, timer-driven tasks, task control and state messages, with the
// business on its own (a recording router stands in for the pipe).
#include "CPortalServer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "CLog.h"
#include "IServer.h"
#include "PortalServerTestSupport.h"
#include "TestSupport.h"

using namespace OrvaneSvr;
using namespace std::chrono_literals;
using orvane_test::readFile;
using orvane_test::TempDir;
using orvane_test::waitFor;

namespace {

// Stands in for the router: records what the business posts.
class RecordingRouter : public IServer {
public:
    void RegisterBusiness(const char*, IBusiness*) override {}
    bool PostMessage(const char* message) override {
        std::lock_guard<std::mutex> guard(m_lock);
        m_posted.emplace_back(message);
        return true;
    }
    ISvrInfoCenter* GetInfoCenter() override { return nullptr; }
    std::vector<std::string> Posted() {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_posted;
    }

private:
    std::mutex m_lock;
    std::vector<std::string> m_posted;
};

Task Make(TaskItem item, TaskLevel level, const char* tag = "", TaskItem next = noTask) {
    Task task;
    task.curTask = item;
    task.nextTask = next;
    task.level = level;
    task.tag = tag;
    return task;
}

class PortalServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(0, CLog::GetInst()->Create(dir.path().c_str(), "Info.log", ""));
        CLog::GetInst()->SetLevel(CLog::DEBUG);
    }
    void TearDown() override { CLog::GetInst()->Close(); }
    std::string LogText() { return readFile(dir.file("Info.log")); }

    TempDir dir;
    RecordingPortal portal;
};

size_t Find(const std::string& text, const std::string& what, size_t from = 0) {
    return text.find(what, from);
}

}  // namespace

// Levels decide across the queue; a nextTask runs on the same pass, before anything queued
// meanwhile; keepPort, noTask and unknown items run nothing.
TEST_F(PortalServerTest, WorkLoopRunsByLevelAndChainsNextTaskOnTheSamePass) {
    CPortalServerTestAccess::Queue(portal, Make(term, normal, "5", checkNet));
    CPortalServerTestAccess::Queue(portal, Make(reqState, normal));
    CPortalServerTestAccess::Queue(portal, Make(pluse, high, "first"));
    CPortalServerTestAccess::Queue(portal, Make(keepPort, high));
    CPortalServerTestAccess::Queue(portal, Make(noTask, mostHigh));
    CPortalServerTestAccess::Queue(portal, Make(static_cast<TaskItem>(99), high));
    CPortalServerTestAccess::Queue(portal, Make(terminal, high, "second"));
    CPortalServerTestAccess::Queue(portal, Make(reqTicket, mostHigh));
    portal.Work(1);
    ASSERT_TRUE(waitFor([&] { return portal.Ran().size() == 8; }, 3s));
    ASSERT_TRUE(waitFor([&] { return CPortalServerTestAccess::QueueSize(portal) == 0; }, 1s));

    const std::vector<TaskItem> expected = {reqTicket, pluse, keepPort, static_cast<TaskItem>(99),
                                            terminal,  term,  checkNet, reqState};
    EXPECT_EQ(expected, portal.Ran());  // noTask never reaches a handler
    // The chained step keeps the record: same tag and level.
    EXPECT_EQ("5", portal.TagOf(checkNet));

    const std::string log = LogText();
    const size_t termAt = Find(log, "logout reason 5");
    const size_t chainAt = Find(log, "cur task is 1,next task is 0\n", termAt);
    const size_t checkAt = Find(log, "check net status start", chainAt);
    EXPECT_NE(std::string::npos, termAt);
    EXPECT_NE(std::string::npos, chainAt);
    EXPECT_NE(std::string::npos, checkAt);
    EXPECT_EQ(std::string::npos, Find(log, "item 13"));  // keepPort is dropped silently
    EXPECT_EQ(std::string::npos, Find(log, "item 99"));
}

// With nothing to do the worker looks again every 500 ms; a task or a stop wakes it at once.
TEST_F(PortalServerTest, IdleWorkerWakesEvery500msAndAtOnceForWorkOrStop) {
    portal.Work(1);
    ASSERT_TRUE(waitFor([&] { return CPortalServerTestAccess::IdlePasses(portal) >= 1; }, 1s));
    const unsigned first = CPortalServerTestAccess::IdlePasses(portal);
    std::this_thread::sleep_for(1250ms);
    const unsigned passes = CPortalServerTestAccess::IdlePasses(portal) - first;
    EXPECT_GE(passes, 2u);
    EXPECT_LE(passes, 3u);

    auto start = std::chrono::steady_clock::now();
    CPortalServerTestAccess::Queue(portal, Make(reqConfig, normal));
    ASSERT_TRUE(waitFor([&] { return portal.Ran().size() == 1; }, 2s));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 250ms);

    start = std::chrono::steady_clock::now();
    portal.Work(0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 250ms);
    EXPECT_FALSE(CPortalServerTestAccess::WorkerRunning(portal));
}

// A stop waits for the handler in progress instead of cutting it off.
TEST_F(PortalServerTest, StoppingTheWorkerLetsTheRunningHandlerFinish) {
    std::atomic<bool> started{false}, finished{false};
    portal.SetHook([&](Task&) {
        started = true;
        std::this_thread::sleep_for(400ms);
        finished = true;
    });
    portal.Work(1);
    CPortalServerTestAccess::Queue(portal, Make(pluse, high));
    ASSERT_TRUE(waitFor([&] { return started.load(); }, 2s));
    portal.Work(0);
    EXPECT_TRUE(finished.load());
    EXPECT_FALSE(CPortalServerTestAccess::WorkerRunning(portal));
}

TEST_F(PortalServerTest, TimerEntriesBecomeTasksOfTheirLevelWithTheirTag) {
    const std::vector<std::pair<int, TaskLevel>> table = {
        {checkNet, mostHigh}, {reqTicket, mostHigh}, {checkUnknowNet, normal},
        {reqState, normal},   {pluse, high},         {terminal, high},
        {terminalTerm, high}, {keepPort, high},      {trafficStatistics, high},
        {checkWifi, low},     {termForWifi, low},    {auth, normal},
        {term, normal},       {reqConfig, normal},   {noTask, normal},
        {42, normal},
    };
    for (const auto& row : table) {
        CAutoString tag(std::to_string(row.first).c_str());
        portal.DoTimeTask(row.first, tag);
    }
    portal.DoTimeTask(pluse);  // the one-argument form leaves the tag empty
    const std::vector<Task> queued = CPortalServerTestAccess::Drain(portal);
    ASSERT_EQ(table.size() + 1, queued.size());
    for (const auto& row : table) {
        auto it = std::find_if(queued.begin(), queued.end(), [&](const Task& t) {
            return t.curTask == row.first && t.tag == std::to_string(row.first).c_str();
        });
        ASSERT_NE(queued.end(), it) << row.first;
        EXPECT_EQ(row.second, it->level) << "timer id " << row.first;
        EXPECT_EQ(noTask, it->nextTask);
    }
    EXPECT_EQ(1, std::count_if(queued.begin(), queued.end(), [](const Task& t) {
                  return t.curTask == pluse && t.tag.IsEmpty();
              }));

    // The dispatch thread feeds the queue: a network check armed now arrives as mostHigh.
    CPortalServerTestAccess::StartTimer(portal);
    portal.CheckNetStatus(0);
    ASSERT_TRUE(waitFor([&] { return CPortalServerTestAccess::QueueSize(portal) == 1; }, 3s));
    const std::vector<Task> fired = CPortalServerTestAccess::Drain(portal);
    EXPECT_EQ(checkNet, fired.at(0).curTask);
    EXPECT_EQ(mostHigh, fired.at(0).level);
    EXPECT_EQ(0, CPortalServerTestAccess::Armed(portal, checkNet));
}

TEST_F(PortalServerTest, StopTaskClearsQueueAndTimerAndStopAllLeavesTheUnknownNetProbe) {
    CPortalServerTestAccess::Queue(portal, Make(pluse, high));
    CPortalServerTestAccess::Queue(portal, Make(term, normal, "3", pluse));  // nextTask not a match
    CPortalServerTestAccess::Queue(portal, Make(pluse, low));
    CPortalServerTestAccess::Arm(portal, pluse, 100);
    CPortalServerTestAccess::Arm(portal, reqState, 100);
    portal.StopTask(pluse);
    EXPECT_EQ(0, CPortalServerTestAccess::Armed(portal, pluse));
    EXPECT_EQ(1, CPortalServerTestAccess::Armed(portal, reqState));
    std::vector<Task> left = CPortalServerTestAccess::Drain(portal);
    ASSERT_EQ(1u, left.size());
    EXPECT_EQ(term, left[0].curTask);

    for (int item = checkNet; item <= trafficStatistics; ++item) {
        CPortalServerTestAccess::Queue(portal, Make(static_cast<TaskItem>(item), normal));
        CPortalServerTestAccess::Arm(portal, item, 100);
    }
    portal.StopAllTask();
    left = CPortalServerTestAccess::Drain(portal);
    ASSERT_EQ(1u, left.size());
    EXPECT_EQ(checkUnknowNet, left[0].curTask);
    for (int item = checkNet; item <= trafficStatistics; ++item)
        EXPECT_EQ(item == checkUnknowNet ? 1 : 0, CPortalServerTestAccess::Armed(portal, item))
            << "item " << item;
    EXPECT_NE(std::string::npos, LogText().find("stop all task\n"));
}

TEST_F(PortalServerTest, UnknownEnvironmentIsReportedAndProbedAgain) {
    RecordingRouter router;
    portal.InitService(&router);
    CPortalServerTestAccess::Queue(portal, Make(reqTicket, mostHigh));
    CPortalServerTestAccess::Arm(portal, pluse, 100);
    portal.ChangeToUnknowEnv();

    EXPECT_FALSE(portal.IsPortalEnv());
    EXPECT_EQ(0u, CPortalServerTestAccess::QueueSize(portal));
    EXPECT_EQ(0, CPortalServerTestAccess::Armed(portal, pluse));
    EXPECT_EQ(1, CPortalServerTestAccess::Armed(portal, checkUnknowNet));
    const std::vector<std::string> expected = {
        "<M><OpS>NetModule</OpS><OpT>Portal</OpT><OpC>NetStateMessageResp</OpC><P><type>0</type>"
        "<oldState>1</oldState><newState>2</newState><ErrorCode>0</ErrorCode><subErrCode>"
        "</subErrCode><subType></subType><extern></extern></P></M>"};
    EXPECT_EQ(expected, router.Posted());
    EXPECT_NE(std::string::npos,
              LogText().find("net is connected and not connected by myself, is unknow type\n"));

    portal.PostNetStateMessageEx(INetConn::ET_PORTAL, INetConn::ES_NONE, INetConn::ES_CONNECTFAIL,
                                 150102, "HttpError", "-4");
    EXPECT_EQ(
        "<M><OpS>NetModule</OpS><OpT>Portal</OpT><OpC>NetStateMessageResp</OpC><P><type>51</type>"
        "<oldState>0</oldState><newState>3</newState><ErrorCode>150102</ErrorCode><subErrCode>"
        "</subErrCode><subType>HttpError</subType><extern>-4</extern></P></M>",
        router.Posted().back());
}
