#include "CTableTimer.h"

#include <gtest/gtest.h>
#include <time.h>

#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ClockShimRun.h"
#include "TestSupport.h"

using namespace std::chrono_literals;
using orvane_test::waitFor;
using orvane_test::writeFile;

namespace {

class RecordingTimer : public CTableTimer {
public:
    ~RecordingTimer() override { DispatchTask(false); }

    std::function<void(int)> hook;  // runs inside the callback, with the table lock held

    void DoTimeTask(int id) override { (void)id; }
    void DoTimeTask(int id, CAutoString& tag) override {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_fired.push_back(id);
            m_last[id] = std::chrono::steady_clock::now();
            m_tags[id] = tag.ToStdString();
        }
        if (hook)
            hook(id);
    }

    std::vector<int> Fired() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_fired;
    }
    int Count(int id) {
        std::lock_guard<std::mutex> lock(m_mutex);
        int n = 0;
        for (int f : m_fired)
            n += f == id;
        return n;
    }
    std::string Tag(int id) {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_tags[id];
    }
    // When the entry fired last.
    std::chrono::steady_clock::time_point Last(int id) {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_last[id];
    }

private:
    std::mutex m_mutex;
    std::vector<int> m_fired;
    std::map<int, std::string> m_tags;
    std::map<int, std::chrono::steady_clock::time_point> m_last;
};

// The timer's clock: whole seconds of the monotonic clock.
long long MonotonicSecond() {
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

long long Ms(std::chrono::steady_clock::duration d) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(d).count();
}

double ProcessCpuMs() {
    struct timespec ts;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

}  // namespace

TEST(CTableTimer, EntriesFireByDueTimeAndLaterInsertedFirstWithinASecond) {
    RecordingTimer timer;
    timer.AddTask(1, 1, false, 2, true);  // due in 2 s
    timer.AddTask(2, 1, false, 1, true);  // due in 1 s
    // Two entries due now must be added within one second for their order to be defined.
    for (int attempt = 0; attempt < 3; ++attempt) {
        const long long second = MonotonicSecond();
        timer.AddTask(3, 1, true, 100, true, CAutoString("tag-3"));  // toDo: interval ignored
        timer.AddTask(4, 1, true, 0, true);
        if (MonotonicSecond() == second)
            break;
    }
    timer.DispatchTask(true);
    ASSERT_TRUE(waitFor([&] { return timer.Fired().size() == 4; }, 5s));
    EXPECT_EQ(timer.Fired(), (std::vector<int>{4, 3, 2, 1}));
    EXPECT_EQ(timer.Tag(3), "tag-3");
    for (int id = 1; id <= 4; ++id)
        EXPECT_EQ(timer.IsExistTask(id), 0) << id;  // one-shots gone
}

TEST(CTableTimer, ReplaceMovesTheDueTimeAndKeepLeavesIt) {
    RecordingTimer timer;
    timer.AddTask(5, 1, false, 100, true);
    timer.AddTask(5, 1, true, 0, false);  // kept: the entry due in 100 s stays
    timer.AddTask(6, 1, true, 0, true);
    timer.AddTask(6, 1, false, 100, true);  // replaced: no longer due now
    timer.DispatchTask(true);
    std::this_thread::sleep_for(300ms);
    EXPECT_TRUE(timer.Fired().empty());
    EXPECT_EQ(timer.IsExistTask(5), 1);
    EXPECT_EQ(timer.IsExistTask(6), 1);

    // The dispatcher is asleep until the 100 s deadline; a new due entry must wake it.
    timer.AddTask(5, 1, true, 0, true);
    ASSERT_TRUE(waitFor([&] { return timer.Count(5) == 1; }, 2s));
    EXPECT_EQ(timer.IsExistTask(5), 0);
    EXPECT_EQ(timer.Count(6), 0);
    timer.RemoveTask(6);
    EXPECT_EQ(timer.IsExistTask(6), 0);
}

TEST(CTableTimer, PeriodicEntriesRepeatUntilRemovedEvenFromTheirOwnCallback) {
    RecordingTimer timer;
    timer.hook = [&](int id) {
        if (id == 8)
            timer.RemoveTask(8);  // re-inserted before the call; removing it must stick
    };
    timer.AddTask(7, 0, true, 1, true);
    timer.AddTask(8, 0, true, 1, true);
    timer.AddTask(9, 0, true, 0, true);  // no period: must not fire back to back
    timer.DispatchTask(true);
    ASSERT_TRUE(waitFor([&] { return timer.Count(7) >= 3; }, 5s));
    timer.RemoveTask(7);
    timer.RemoveTask(9);
    const int sevens = timer.Count(7);
    std::this_thread::sleep_for(1300ms);
    EXPECT_EQ(timer.Count(7), sevens);
    EXPECT_EQ(timer.Count(8), 1);
    EXPECT_LE(timer.Count(9), 5);
}

TEST(CTableTimer, IdleDispatcherSleepsAndStopsPromptlyEmptyingTheTable) {
    RecordingTimer timer;
    timer.AddTask(10, 1, false, 100, true);
    timer.DispatchTask(true);
    std::this_thread::sleep_for(20ms);
    const double before = ProcessCpuMs();
    std::this_thread::sleep_for(300ms);
    EXPECT_LT(ProcessCpuMs() - before, 30.0) << "CPU ms used while idle";

    const auto start = std::chrono::steady_clock::now();
    timer.DispatchTask(false);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
    EXPECT_EQ(timer.IsExistTask(10), 0);
}

// The time of day is stepped eight hours ahead and then an hour back while entries wait: every
// entry still falls due after its own interval, and the dispatcher does not spin meanwhile.
TEST(CTableTimer, SettingTheTimeOfDayMovesNoDueTime) {
    if (!orvane_test::InsideClockShim()) {
        orvane_test::TempDir dir;
        ASSERT_TRUE(writeFile(dir.file("offset"), "0"));
        const auto run =
            orvane_test::runThisTestWithClockShim(dir.file("offset"), dir.file("run.out"), 30s);
        ASSERT_TRUE(run.finished) << run.output;
        EXPECT_EQ(run.status, 0) << run.output;
        EXPECT_NE(run.output.find("[  PASSED  ] 1 test"), std::string::npos) << run.output;
        return;
    }
    const std::string offset = orvane_test::ClockOffsetFile();
    RecordingTimer timer;
    const auto start = std::chrono::steady_clock::now();
    timer.AddTask(1, 0, false, 1, true);  // every second
    timer.AddTask(2, 1, false, 3, true);  // once, 2 to 3 s from now (whole seconds)
    timer.DispatchTask(true);
    ASSERT_TRUE(writeFile(offset, "28800"));
    ASSERT_TRUE(waitFor([&] { return timer.Count(2) == 1; }, 5s));
    EXPECT_GE(Ms(timer.Last(2) - start), 1900);
    EXPECT_GE(timer.Count(1), 2);

    ASSERT_TRUE(writeFile(offset, "-3600"));
    const auto stepped = std::chrono::steady_clock::now();
    const int periodic = timer.Count(1);
    const double cpu = ProcessCpuMs();
    timer.AddTask(3, 1, false, 2, true);
    ASSERT_TRUE(waitFor([&] { return timer.Count(3) == 1; }, 4s));
    EXPECT_GE(Ms(timer.Last(3) - stepped), 900);
    EXPECT_GE(timer.Count(1) - periodic, 1);
    EXPECT_LT(ProcessCpuMs() - cpu, 200.0) << "CPU ms used while waiting";
}
