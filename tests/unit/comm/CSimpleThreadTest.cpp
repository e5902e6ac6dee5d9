#include "CSimpleThread.h"

#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "TestSupport.h"

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using orvane_test::waitFor;

namespace {

// What a test thread does: count its starts, then either poll the run flag (a well-behaved
// loop) or ignore it and sleep for a fixed time.
struct Job {
    std::atomic<bool> run{false};
    std::atomic<int> starts{0};
    std::atomic<bool> finished{false};
    std::atomic<bool> release{false};
    std::chrono::milliseconds ignoreFlagFor{0};
    bool waitForRelease = false;
};

void* PollingLoop(void* arg) {
    Job* job = static_cast<Job*>(arg);
    ++job->starts;
    waitFor([job] { return !job->run.load(); }, 10s, 1ms);
    job->finished = true;
    return nullptr;
}

void* Stubborn(void* arg) {
    Job* job = static_cast<Job*>(arg);
    ++job->starts;
    if (job->waitForRelease) {
        waitFor([job] { return job->release.load(); }, 10s, 1ms);
    } else {
        std::this_thread::sleep_for(job->ignoreFlagFor);
    }
    job->finished = true;
    return nullptr;
}

long long MsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

}  // namespace

TEST(CSimpleThreadRun, RunSetsTheFlagAndStoppingEndsAPollingLoop) {
    Job job;
    CSimpleThread thread;
    ASSERT_TRUE(thread.Run(PollingLoop, &job, &job.run));
    EXPECT_TRUE(job.run.load());
    EXPECT_TRUE(waitFor([&] { return job.starts.load() == 1; }, 5s));
    EXPECT_TRUE(thread.IsRunning());
    thread.Stopping();
    EXPECT_FALSE(job.run.load());
    EXPECT_TRUE(waitFor([&] { return !thread.IsRunning(); }, 5s));
    EXPECT_TRUE(job.finished.load());
}

TEST(CSimpleThreadRun, SecondRunWhileRunningStartsNothing) {
    Job job;
    job.waitForRelease = true;
    CSimpleThread thread;
    ASSERT_TRUE(thread.Run(Stubborn, &job));
    EXPECT_TRUE(waitFor([&] { return job.starts.load() == 1; }, 5s));
    EXPECT_FALSE(thread.Run(Stubborn, &job));
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(job.starts.load(), 1);

    // Once the first thread has finished, the holder reaps it and starts another.
    job.release = true;
    EXPECT_TRUE(waitFor([&] { return !thread.IsRunning(); }, 5s));
    EXPECT_TRUE(thread.Run(Stubborn, &job));
    EXPECT_TRUE(waitFor([&] { return job.starts.load() == 2; }, 5s));
    EXPECT_TRUE(thread.Stop(5000, false));
}

TEST(CSimpleThreadStop, ThreadEndingBeforeTheTimeoutStopsInTime) {
    Job job;
    job.ignoreFlagFor = 200ms;
    CSimpleThread thread;
    ASSERT_TRUE(thread.Run(Stubborn, &job, &job.run));
    const auto start = Clock::now();
    EXPECT_TRUE(thread.Stop(1000, false));
    EXPECT_TRUE(job.finished.load());
    EXPECT_LT(MsSince(start), 1000);
    EXPECT_FALSE(thread.IsRunning());
}

TEST(CSimpleThreadStop, TimeoutWithoutForceReportsFalseAndKeepsTheThread) {
    Job job;
    job.waitForRelease = true;
    CSimpleThread thread;
    ASSERT_TRUE(thread.Run(Stubborn, &job, &job.run));
    const auto start = Clock::now();
    EXPECT_FALSE(thread.Stop(100, false));
    EXPECT_GE(MsSince(start), 100);
    EXPECT_FALSE(job.run.load());
    EXPECT_TRUE(thread.IsRunning());
    job.release = true;
    EXPECT_TRUE(thread.Stop(5000, false));
    EXPECT_TRUE(job.finished.load());
}

TEST(CSimpleThreadStop, ForcedStopWaitsForTheThreadInsteadOfKillingIt) {
    Job job;
    job.ignoreFlagFor = 300ms;
    CSimpleThread thread;
    ASSERT_TRUE(thread.Run(Stubborn, &job, &job.run));
    // The thread finished its function normally: it was neither cancelled nor killed, and the
    // process (this test) lives on.
    EXPECT_TRUE(thread.Stop(20, true));
    EXPECT_TRUE(job.finished.load());
    EXPECT_FALSE(thread.IsRunning());
}

TEST(CSimpleThreadStop, StopWithoutThreadAndDestructorAreSafe) {
    CSimpleThread idle;
    EXPECT_TRUE(idle.Stop(0, false));
    Job job;
    {
        CSimpleThread thread;
        ASSERT_TRUE(thread.Run(PollingLoop, &job, &job.run));
    }  // the destructor clears the flag and waits
    EXPECT_TRUE(job.finished.load());
}

namespace {

struct SelfStop {
    CSimpleThread* holder = nullptr;
    std::atomic<bool> run{false};
    std::atomic<int> result{-1};
};

void* StopsItself(void* arg) {
    SelfStop* s = static_cast<SelfStop*>(arg);
    s->result = s->holder->Stop(1000, true) ? 1 : 0;
    return nullptr;
}

}  // namespace

TEST(CSimpleThreadStop, StopFromTheHeldThreadOnlyClearsTheFlag) {
    CSimpleThread thread;
    SelfStop s;
    s.holder = &thread;
    ASSERT_TRUE(thread.Run(StopsItself, &s, &s.run));
    EXPECT_TRUE(waitFor([&] { return s.result.load() != -1; }, 5s));
    EXPECT_EQ(s.result.load(), 0);
    EXPECT_FALSE(s.run.load());
    EXPECT_TRUE(thread.Stop(5000, false));
}

namespace {

void* ReadOwnName(void* arg) {
    char name[32] = "";
    pthread_getname_np(pthread_self(), name, sizeof name);
    *static_cast<std::string*>(arg) = name;
    return nullptr;
}

}  // namespace

// The system's tools tell the threads apart by name (the benchmark counts the timers' wake-ups
// by it); a name longer than the system keeps is cut, not refused.
TEST(CSimpleThread, StartedThreadsCarryTheirName) {
    for (const char* name : {"timer", "a-name-longer-than-fifteen"}) {
        std::string seen;
        CSimpleThread thread(name);
        ASSERT_TRUE(thread.Run(ReadOwnName, &seen));
        ASSERT_TRUE(thread.Stop(5000, false));
        EXPECT_EQ(std::string(name).substr(0, 15), seen);
    }
}
