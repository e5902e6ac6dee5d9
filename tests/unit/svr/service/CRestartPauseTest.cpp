// The pause between failed runs under the unit: 20 s, doubling to at most 5 minutes, back to the
// start after a long run, a start by hand or a reboot; and a pause that a stop signal ends.
#include "CRestartPause.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace {

// One start: the unit's restart counter then, and how long (s) the run before it had lasted when
// it ended (counted from the end of its own pause).
struct Start {
    unsigned restarts;
    long long lastRan;
};

struct ScheduleCase {
    const char* name;
    std::vector<Start> starts;
    std::vector<unsigned> pauses;  // the whole pause before each start
};

void PrintTo(const ScheduleCase& c, std::ostream* out) {
    *out << c.name;
}

class RestartPauseScheduleTest : public ::testing::TestWithParam<ScheduleCase> {};

TEST_P(RestartPauseScheduleTest, PauseGrowsWithFailedRunsInARowAndStartsOverAfterALongRun) {
    const ScheduleCase& c = GetParam();
    ASSERT_EQ(c.starts.size(), c.pauses.size());
    CRestartPause::Record record;
    for (size_t i = 0; i < c.starts.size(); ++i) {
        const Start& s = c.starts[i];
        // The run ends, systemd waits its part, then the service starts again.
        const long long now = record.startedAt + s.lastRan + CRestartPause::kUnitPause;
        // The record goes through the store as text.
        CRestartPause::Record stored;
        ASSERT_TRUE(CRestartPause::Parse(CRestartPause::Format(record), stored));
        record = CRestartPause::Next(stored, s.restarts, now);
        const unsigned extra = CRestartPause::ExtraSeconds(record.failedRuns);
        const unsigned whole = record.failedRuns == 0 ? 0 : CRestartPause::kUnitPause + extra;
        EXPECT_EQ(c.pauses[i], whole) << "start " << i;
        EXPECT_EQ(now + extra, record.startedAt);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Schedules, RestartPauseScheduleTest,
    ::testing::Values(
        ScheduleCase{"CrashLoopDoublesUpToFiveMinutes",
                     {{0, 0}, {1, 1}, {2, 1}, {3, 1}, {4, 1}, {5, 1}, {6, 1}, {7, 1}},
                     {0, 20, 40, 80, 160, 300, 300, 300}},
        ScheduleCase{"LongRunStartsOver",
                     {{0, 0}, {1, 5}, {2, 5}, {3, 5}, {4, 600}, {5, 5}},
                     {0, 20, 40, 80, 20, 40}},
        ScheduleCase{"JustShortOfTenMinutesStillCounts", {{0, 0}, {1, 5}, {2, 599}}, {0, 20, 40}},
        ScheduleCase{
            "StartByHandStartsOver", {{0, 0}, {1, 5}, {2, 5}, {2, 5}, {3, 5}}, {0, 20, 40, 0, 20}},
        ScheduleCase{"FirstRecordAfterRestartsThenACounterReset",
                     {{4, 0}, {5, 5}, {6, 5}, {0, 5}, {1, 5}},
                     {20, 40, 80, 0, 20}},
        ScheduleCase{"DaysOfOutageNeverRunOut",
                     {{0, 0}, {1, 1}, {2, 1}, {3, 1}, {4, 1}, {5, 1}, {1000, 1}, {1001, 1}},
                     {0, 20, 40, 80, 160, 300, 300, 300}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(RestartPauseTest, PauseSecondsAlone) {
    EXPECT_EQ(0u, CRestartPause::PauseSeconds(0));
    EXPECT_EQ(20u, CRestartPause::PauseSeconds(1));
    EXPECT_EQ(160u, CRestartPause::PauseSeconds(4));
    EXPECT_EQ(300u, CRestartPause::PauseSeconds(5));
    EXPECT_EQ(300u, CRestartPause::PauseSeconds(4000000000u));
    EXPECT_EQ(0u, CRestartPause::ExtraSeconds(1));
    EXPECT_EQ(280u, CRestartPause::ExtraSeconds(9));
}

TEST(RestartPauseTest, RecordFromTheStoreIsTakenOnlyWhenWhole) {
    CRestartPause::Record record;
    record.restarts = 7;
    for (const char* bad : {"", "1 2", "1 2 3 4", "a b c", "1 2 3x", "-"}) {
        EXPECT_FALSE(CRestartPause::Parse(bad, record)) << bad;
        EXPECT_EQ(7u, record.restarts);
    }
    ASSERT_TRUE(CRestartPause::Parse("3 2 12345\n", record));
    EXPECT_EQ(3u, record.restarts);
    EXPECT_EQ(2u, record.failedRuns);
    EXPECT_EQ(12345, record.startedAt);
}

TEST(RestartPauseTest, OutsideAUnitNothingIsWaitedOrRecorded) {
    unsigned restarts = 0;
    // The test runs in no service unit of its own (or not as one that systemd started).
    if (getenv("INVOCATION_ID") == nullptr) {
        EXPECT_FALSE(CRestartPause::UnitRestarts(restarts));
    }
    EXPECT_TRUE(CRestartPause::Run(nullptr));
}

TEST(RestartPauseTest, StopSignalEndsThePauseAtOnce) {
    // Blocked in every thread, as in the service, so the signal can only end the wait.
    sigset_t term, before;
    sigemptyset(&term);
    sigaddset(&term, SIGTERM);
    ASSERT_EQ(0, pthread_sigmask(SIG_BLOCK, &term, &before));
    const pid_t me = getpid();
    std::thread stopper([me] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        kill(me, SIGTERM);
    });
    const auto start = std::chrono::steady_clock::now();
    const bool waited = CRestartPause::Wait(30);
    const auto took = std::chrono::steady_clock::now() - start;
    stopper.join();
    EXPECT_FALSE(waited);
    EXPECT_LT(took, std::chrono::seconds(5));
    // The pause that nothing interrupts runs out.
    EXPECT_TRUE(CRestartPause::Wait(1));
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
}

}  // namespace
