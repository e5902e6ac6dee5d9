#include "CMsgEngine.h"

#include <gtest/gtest.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "CLog.h"
#include "TestSupport.h"

using namespace std::chrono_literals;
using orvane_test::waitFor;

namespace {

// Records what it handles, notes overlapping calls and runs an optional hook per message.
class Recorder : public CMsgEngine {
public:
    ~Recorder() override { StopMsgEngineAndWait(); }

    std::function<void(const std::string&)> hook;
    std::atomic<int> inFlight{0};
    std::atomic<bool> overlapped{false};

    std::vector<std::string> Got() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_got;
    }
    size_t Count() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_got.size();
    }

protected:
    void DoMessage(CAutoString message) override {
        if (inFlight.fetch_add(1) != 0)
            overlapped = true;
        const std::string text = message.ToStdString();
        if (hook)
            hook(text);
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_got.push_back(text);
        }
        inFlight.fetch_sub(1);
    }

private:
    std::mutex m_mutex;
    std::vector<std::string> m_got;
};

// Adds a message, waiting (bounded) while the queue is full, as a producer that respects the
// queue's depth would.
void AddWhenRoom(CMsgEngine& engine, const std::string& text) {
    ASSERT_TRUE(waitFor([&] { return engine.AddMessage(text.c_str()); }, 10s)) << text;
}

double ProcessCpuMs() {
    struct timespec ts;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

}  // namespace

TEST(CMsgEngine, TenThousandMessagesKeepTheirOrderAndNeverOverlap) {
    Recorder engine;
    engine.AddMessage("queued-before-start");  // waits for the consumer
    engine.StartMsgEngine();
    engine.StartMsgEngine();  // a second start must not add a second consumer
    for (int i = 0; i < 10000; ++i)
        AddWhenRoom(engine, std::to_string(i));
    ASSERT_TRUE(waitFor([&] { return engine.Count() == 10001; }, 20s));
    const auto got = engine.Got();
    EXPECT_EQ(got[0], "queued-before-start");
    for (int i = 0; i < 10000; ++i)
        ASSERT_EQ(got[i + 1], std::to_string(i));
    EXPECT_FALSE(engine.overlapped);
}

TEST(CMsgEngine, ProducersOnManyThreadsLoseNothingAndKeepTheirOwnOrder) {
    Recorder engine;
    engine.StartMsgEngine();
    std::vector<std::thread> producers;
    for (int p = 0; p < 4; ++p) {
        producers.emplace_back([&engine, p] {
            for (int i = 0; i < 2000; ++i)
                AddWhenRoom(engine, std::to_string(p) + ":" + std::to_string(i));
        });
    }
    for (auto& t : producers)
        t.join();
    ASSERT_TRUE(waitFor([&] { return engine.Count() == 8000; }, 20s));
    std::vector<int> next(4, 0);
    for (const auto& m : engine.Got()) {
        const int p = m[0] - '0';
        ASSERT_EQ(m.substr(2), std::to_string(next[p])) << "producer " << p;
        ++next[p];
    }
    EXPECT_FALSE(engine.overlapped);
}

TEST(CMsgEngine, IdleConsumerSleepsInsteadOfSpinning) {
    Recorder engine;
    engine.StartMsgEngine();
    engine.AddMessage("wake");
    ASSERT_TRUE(waitFor([&] { return engine.Count() == 1; }, 5s));
    const double before = ProcessCpuMs();
    std::this_thread::sleep_for(300ms);
    const double used = ProcessCpuMs() - before;
    // A consumer re-testing the queue in a loop would burn about the whole 300 ms.
    EXPECT_LT(used, 30.0) << "CPU ms used while idle";
}

TEST(CMsgEngine, StopLeavesQueuedMessagesForTheNextStart) {
    Recorder engine;
    std::mutex gate;
    std::unique_lock<std::mutex> closed(gate);
    std::atomic<bool> firstStarted{false};
    engine.hook = [&](const std::string& m) {
        if (m != "first")
            return;
        firstStarted = true;
        std::lock_guard<std::mutex> wait(gate);  // held until the test opens the gate
    };
    engine.StartMsgEngine();
    engine.AddMessage("first");
    ASSERT_TRUE(waitFor([&] { return firstStarted.load(); }, 5s));
    engine.AddMessage("a");
    engine.AddMessage("b");
    engine.StopMsgEngine();
    closed.unlock();
    // The consumer finishes "first" and ends; "a" and "b" stay queued.
    engine.StopMsgEngineAndWait();
    EXPECT_EQ(engine.Got(), std::vector<std::string>{"first"});
    EXPECT_EQ(engine.PendingMessages(), 2u);

    engine.StartMsgEngine();
    ASSERT_TRUE(waitFor([&] { return engine.Count() == 3; }, 5s));
    EXPECT_EQ(engine.Got(), (std::vector<std::string>{"first", "a", "b"}));
}

TEST(CMsgEngine, StopOnAnEmptyQueueEndsTheConsumerPromptly) {
    Recorder engine;
    engine.StartMsgEngine();
    std::this_thread::sleep_for(20ms);  // let the consumer reach its wait
    const auto start = std::chrono::steady_clock::now();
    engine.StopMsgEngineAndWait();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
    EXPECT_FALSE(engine.IsMsgEngineRunning());
}

TEST(CMsgEngine, HandlerMayQueueAndStopOnItsOwnEngine) {
    Recorder engine;
    engine.hook = [&](const std::string& m) {
        if (m == "ping")
            engine.AddMessage("pong");
        if (m == "pong")
            engine.StopMsgEngineAndWait();  // from the consumer: must not self-join
    };
    engine.StartMsgEngine();
    engine.AddMessage("ping");
    ASSERT_TRUE(waitFor([&] { return engine.Count() == 2; }, 5s));
    ASSERT_TRUE(waitFor([&] { return !engine.IsMsgEngineRunning(); }, 5s));
    EXPECT_EQ(engine.Got(), (std::vector<std::string>{"ping", "pong"}));
}

// The queue has a fixed depth: a message beyond it is refused with a log line, the waiting ones
// are kept and handled in order, and room made by the consumer is usable again.
TEST(CMsgEngine, MessagesBeyondTheDepthAreRefused) {
    orvane_test::TempDir dir;
    const int level = CLog::GetInst()->GetLevel();
    ASSERT_EQ(CLog::GetInst()->Create(dir.path().c_str(), "Info.log", ""), 0);
    CLog::GetInst()->SetLevel(CLog::DEBUG);

    Recorder engine;
    for (size_t i = 0; i < CMsgEngine::kMaxQueuedMessages; ++i)
        ASSERT_TRUE(engine.AddMessage(std::to_string(i).c_str())) << i;
    EXPECT_FALSE(engine.AddMessage("one too many"));
    EXPECT_FALSE(engine.AddMessage("and another"));
    EXPECT_EQ(engine.PendingMessages(), CMsgEngine::kMaxQueuedMessages);

    engine.StartMsgEngine();
    ASSERT_TRUE(waitFor([&] { return engine.Count() == CMsgEngine::kMaxQueuedMessages; }, 10s));
    EXPECT_TRUE(engine.AddMessage("room again"));
    ASSERT_TRUE(waitFor([&] { return engine.Count() == CMsgEngine::kMaxQueuedMessages + 1; }, 5s));
    const auto got = engine.Got();
    for (size_t i = 0; i < CMsgEngine::kMaxQueuedMessages; ++i)
        ASSERT_EQ(got[i], std::to_string(i));
    EXPECT_EQ(got.back(), "room again");

    const std::string log = orvane_test::readFile(CLog::GetInst()->GetPath());
    CLog::GetInst()->Close();
    CLog::GetInst()->SetLevel(level);
    EXPECT_NE(log.find("message refused: 256 messages already wait (12 bytes)"), std::string::npos)
        << log;
}

// A waiting producer gets the room the consumer makes, and gives up after its time limit.
TEST(CMsgEngine, AWaitingProducerGetsRoomOrGivesUp) {
    Recorder engine;
    for (size_t i = 0; i < CMsgEngine::kMaxQueuedMessages; ++i)
        ASSERT_TRUE(engine.AddMessage("m"));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(engine.AddMessageWaiting("late", 100ms));
    EXPECT_GE(std::chrono::steady_clock::now() - start, 100ms);

    std::thread starter([&engine] {
        std::this_thread::sleep_for(50ms);
        engine.StartMsgEngine();
    });
    EXPECT_TRUE(engine.AddMessageWaiting("in time", 10s));
    starter.join();
    ASSERT_TRUE(waitFor([&] { return engine.Count() == CMsgEngine::kMaxQueuedMessages + 1; }, 5s));
    EXPECT_EQ(engine.Got().back(), "in time");
}
