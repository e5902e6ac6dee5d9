// The clock shim: a preloaded program sees its wall clock moved by the seconds in the offset file,
// read again at every call, and its monotonic clocks untouched.
#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>

#include "ClockShimRun.h"
#include "TestSupport.h"

using orvane_test::TempDir;
using orvane_test::writeFile;

namespace {

struct OffsetCase {
    const char* name;
    const char* text;  // nullptr: no offset file at all
    long long seconds;
};

void PrintTo(const OffsetCase& c, std::ostream* out) {
    *out << c.name;
}

const OffsetCase kOffsets[] = {
    {"HourAhead", "3600", 3600},
    {"HourBack", "-3600\n", -3600},
    {"EightHoursAheadWithSignAndSpaces", "  +28800 \n", 28800},
    {"TrailingGarbage", "12abc", 0},
    {"Empty", "", 0},
    {"SignAlone", "-", 0},
    {"Huge", "99999999999999999999", 0},
    {"TooLong", "1                                                                      ", 0},
    {"NoFile", nullptr, 0},
};

class ClockShimOffsetTest : public ::testing::TestWithParam<OffsetCase> {};

TEST_P(ClockShimOffsetTest, DateSeesTheOffsetOfTheFile) {
    TempDir dir;
    const std::string offsetFile = dir.file("offset");
    if (GetParam().text != nullptr) {
        ASSERT_TRUE(writeFile(offsetFile, GetParam().text));
    }
    const long long before = time(nullptr);
    const auto run = orvane_test::runWithClockShim({"/bin/date", "+%s"}, offsetFile,
                                                   dir.file("date.out"), std::chrono::seconds(10));
    const long long after = time(nullptr);
    ASSERT_TRUE(run.finished);
    ASSERT_EQ(run.status, 0) << run.output;
    const long long seen = std::atoll(run.output.c_str()) - GetParam().seconds;
    EXPECT_GE(seen, before) << run.output;
    EXPECT_LE(seen, after) << run.output;
}

INSTANTIATE_TEST_SUITE_P(Offsets, ClockShimOffsetTest, ::testing::ValuesIn(kOffsets),
                         [](const ::testing::TestParamInfo<OffsetCase>& info) {
                             return std::string(info.param.name);
                         });

// The clock's seconds as the kernel tells them, past any preloaded library.
long long KernelSeconds(clockid_t clock) {
    timespec ts{};
    syscall(SYS_clock_gettime, clock, &ts);
    return ts.tv_sec;
}

// Each wall-clock reading minus the kernel's, and the monotonic ones likewise, in one line.
std::string Offsets() {
    const long long real = KernelSeconds(CLOCK_REALTIME);
    const long long mono = KernelSeconds(CLOCK_MONOTONIC);
    const long long boot = KernelSeconds(CLOCK_BOOTTIME);
    timespec ts{};
    timeval tv{};
    std::string out;
    out += std::to_string(time(nullptr) - real) + " ";
    gettimeofday(&tv, nullptr);
    out += std::to_string(tv.tv_sec - real) + " ";
    clock_gettime(CLOCK_REALTIME, &ts);
    out += std::to_string(ts.tv_sec - real) + " ";
    clock_gettime(CLOCK_REALTIME_COARSE, &ts);
    out += std::to_string(ts.tv_sec - real) + " ";
    timespec_get(&ts, TIME_UTC);
    out += std::to_string(ts.tv_sec - real) + " ";
    out += std::to_string(std::chrono::system_clock::to_time_t(std::chrono::system_clock::now()) -
                          real) +
           " | ";
    clock_gettime(CLOCK_MONOTONIC, &ts);
    out += std::to_string(ts.tv_sec - mono) + " ";
    clock_gettime(CLOCK_BOOTTIME, &ts);
    out += std::to_string(ts.tv_sec - boot) + " ";
    out += std::to_string(std::chrono::duration_cast<std::chrono::seconds>(
                              std::chrono::steady_clock::now().time_since_epoch())
                              .count() -
                          mono);
    return out;
}

// A second may tick between two readings, so each reading is taken until two agree.
std::string StableOffsets() {
    std::string last = Offsets();
    for (int attempt = 0; attempt < 5; ++attempt) {
        const std::string next = Offsets();
        if (next == last)
            return next;
        last = next;
    }
    return last;
}

TEST(ClockShimTest, EveryWallClockCallMovesAtOnceAndNoMonotonicOne) {
    if (orvane_test::InsideClockShim()) {
        const std::string file = orvane_test::ClockOffsetFile();
        EXPECT_EQ(StableOffsets(), "28800 28800 28800 28800 28800 28800 | 0 0 0");
        ASSERT_TRUE(writeFile(file, "-3600"));
        EXPECT_EQ(StableOffsets(), "-3600 -3600 -3600 -3600 -3600 -3600 | 0 0 0");
        ASSERT_TRUE(writeFile(file, "garbage"));
        EXPECT_EQ(StableOffsets(), "0 0 0 0 0 0 | 0 0 0");
        return;
    }
    TempDir dir;
    ASSERT_TRUE(writeFile(dir.file("offset"), "28800"));
    const auto run = orvane_test::runThisTestWithClockShim(dir.file("offset"), dir.file("run.out"),
                                                           std::chrono::seconds(30));
    ASSERT_TRUE(run.finished) << run.output;
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_NE(run.output.find("[  PASSED  ] 1 test"), std::string::npos) << run.output;
}

}  // namespace
