// A long run of the service in window mode against portal-sim: logged in with a keep-alive every
// second, state polls and traffic reports every two, a logout and a new login every 30 s, and the
// window attached throughout. Every 10 s the service's resident memory, threads and open
// descriptors are sampled; the run fails when they grow.
//
// Growth rule: the median of the last third of the samples against the median of the first
// third; memory may grow by 1 MiB or 10 % (whichever is more), threads by 2, descriptors by 3.
// Medians keep a short-lived thread or a descriptor open during a request from counting. Under
// a sanitizer the memory is reported but not judged.
//
// ORVANE_SOAK_MINUTES sets the sampled time (default 3).
#include <dirent.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include "E2eWorld.h"

using namespace orvane_test;
using namespace std::chrono_literals;

namespace {

using Clock = std::chrono::steady_clock;

struct Sample {
    double seconds = 0;
    long rssKiB = -1;
    long threads = -1;
    long fds = -1;
};

long StatusField(const std::string& status, const std::string& name) {
    const size_t at = status.find("\n" + name + ":");
    return at == std::string::npos ? -1 : std::atol(status.c_str() + at + name.size() + 2);
}

long CountFds(pid_t pid) {
    DIR* dir = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
    if (!dir)
        return -1;
    long n = 0;
    while (const dirent* e = readdir(dir))
        n += e->d_name[0] != '.';
    closedir(dir);
    return n;
}

Sample TakeSample(pid_t pid, Clock::time_point start) {
    Sample s;
    s.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    const std::string status = "\n" + readFile("/proc/" + std::to_string(pid) + "/status");
    s.rssKiB = StatusField(status, "VmRSS");
    s.threads = StatusField(status, "Threads");
    s.fds = CountFds(pid);
    return s;
}

long Median(std::vector<long> values) {
    std::sort(values.begin(), values.end());
    return values.empty() ? -1 : values[values.size() / 2];
}

// Medians of the first and the last third of one measure.
std::pair<long, long> Thirds(const std::vector<Sample>& samples, long Sample::*measure) {
    const size_t third = std::max<size_t>(1, samples.size() / 3);
    std::vector<long> first, last;
    for (size_t i = 0; i < third; ++i) {
        first.push_back(samples[i].*measure);
        last.push_back(samples[samples.size() - 1 - i].*measure);
    }
    return {Median(first), Median(last)};
}

class SoakTest : public E2eTest {
protected:
    // Reads (and keeps) whatever the service sends for a while, so its pipe never fills.
    void Drain(Clock::duration span) {
        window.WaitFor("-", std::chrono::duration_cast<std::chrono::milliseconds>(span));
    }
    void LogOutAndIn() {
        ASSERT_TRUE(window.Send("PortalDisConnect", "<src>2</src>"));
        ASSERT_TRUE(window.WaitState(12, 20s)) << "no logout";
        ASSERT_TRUE(window.Send("CheckEnv"));
        ASSERT_TRUE(window.WaitState(31, 20s)) << "no new ticket";
        LogIn();
        ++m_cycles;
    }
    void Print(const std::vector<Sample>& samples) const {
        std::printf("%8s %10s %8s %6s\n", "seconds", "RSS KiB", "threads", "fds");
        for (const Sample& s : samples)
            std::printf("%8.0f %10ld %8ld %6ld\n", s.seconds, s.rssKiB, s.threads, s.fds);
        std::fflush(stdout);
    }

    int m_cycles = 0;
};

}  // namespace

TEST_F(SoakTest, LoggedInWithPeriodicLogoutsNothingGrows) {
    const char* minutesText = std::getenv("ORVANE_SOAK_MINUTES");
    const double minutes = minutesText && *minutesText ? std::atof(minutesText) : 3.0;
    ASSERT_GT(minutes, 0.3) << "ORVANE_SOAK_MINUTES must allow at least two samples";
    E2E_WORLD(E2eOptions::Sim(
        {"--keep-interval", "1", "--state-interval", "2", "--stats-interval", "2"}));
    StartToPreconnected();
    LogIn();
    // One whole cycle and a few seconds before the first sample, so start-up allocations and
    // the first logout's are behind.
    LogOutAndIn();
    Drain(5s);
    const pid_t pid = world->Service().pid();

    const Clock::time_point start = Clock::now();
    const Clock::time_point end =
        start + std::chrono::duration_cast<Clock::duration>(
                    std::chrono::duration<double, std::ratio<60>>(minutes));
    std::vector<Sample> samples;
    Clock::time_point nextSample = start, nextCycle = start + 30s;
    while (!HasFatalFailure()) {
        const Clock::time_point now = Clock::now();
        if (now >= nextSample) {
            samples.push_back(TakeSample(pid, start));
            ASSERT_GE(samples.back().rssKiB, 0) << "the service has gone";
            nextSample += 10s;
            if (now >= end)
                break;
        }
        if (now >= nextCycle) {
            LogOutAndIn();
            nextCycle += 30s;
        }
        Drain(std::min(nextSample, nextCycle) - Clock::now());
    }
    if (HasFatalFailure())
        return;
    Print(samples);

    ASSERT_GE(samples.size(), 3u);
    const auto [rssFirst, rssLast] = Thirds(samples, &Sample::rssKiB);
    const auto [threadsFirst, threadsLast] = Thirds(samples, &Sample::threads);
    const auto [fdsFirst, fdsLast] = Thirds(samples, &Sample::fds);
    std::printf(
        "first/last third medians: RSS %ld/%ld KiB, threads %ld/%ld, fds %ld/%ld; "
        "%d logout/login cycles, %zu keep-alives, %zu reports\n",
        rssFirst, rssLast, threadsFirst, threadsLast, fdsFirst, fdsLast, m_cycles,
        world->Count("keep"), world->Count("stats"));
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    // The sanitizers' quarantine and shadow memory grow by design; only the other measures count.
#else
    EXPECT_LE(rssLast, rssFirst + std::max(1024L, rssFirst / 10)) << "resident memory grows";
#endif
    EXPECT_LE(threadsLast, threadsFirst + 2) << "threads grow";
    EXPECT_LE(fdsLast, fdsFirst + 3) << "open descriptors grow";

    // The service kept working all along: keep-alives at about one a second, and reports.
    const double seconds = samples.back().seconds;
    EXPECT_GE(world->Count("keep"), static_cast<size_t>(seconds * 0.5));
    EXPECT_GE(world->Count("stats"), static_cast<size_t>(seconds / 2 * 0.5));
    EXPECT_GE(Logouts("2"), static_cast<size_t>(m_cycles));
}
