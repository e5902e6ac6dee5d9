// Runs a program with the clock shim preloaded (see tools/clock-shim/ClockShim.c), so a test can
// step its wall clock by writing seconds into an offset file. A test that must itself run under
// the shim runs its own program again with only itself selected: in that run InsideClockShim()
// holds and it does its checks; outside it only starts the run and judges its exit status.
// Needs the compile definition ORVANE_CLOCK_SHIM.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include "TestSupport.h"

extern char** environ;

namespace orvane_test {

inline constexpr const char* kClockOffsetVariable = "ORVANE_CLOCK_OFFSET_FILE";

// True in a run started by runWithClockShim: the offset file's name is in the environment.
inline bool InsideClockShim() {
    return std::getenv(kClockOffsetVariable) != nullptr;
}

// The offset file of this run (empty outside one).
inline std::string ClockOffsetFile() {
    const char* path = std::getenv(kClockOffsetVariable);
    return path != nullptr ? path : "";
}

struct ShimRunResult {
    bool finished = false;  // ended by itself within the time allowed
    int status = -1;        // its exit status when it did
    std::string output;     // standard output and error
};

// Runs argv with the shim preloaded and offsetFile named to it, output into outPath. A sanitized
// test program must be told that the shim comes ahead of its runtime.
inline ShimRunResult runWithClockShim(std::vector<std::string> argv, const std::string& offsetFile,
                                      const std::string& outPath, std::chrono::seconds timeout) {
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string entry = *e;
        if (entry.rfind("LD_PRELOAD=", 0) != 0 && entry.rfind("ASAN_OPTIONS=", 0) != 0)
            env.push_back(entry);
    }
    const char* asan = std::getenv("ASAN_OPTIONS");
    env.push_back(std::string("ASAN_OPTIONS=") + (asan != nullptr ? std::string(asan) + ":" : "") +
                  "verify_asan_link_order=0");
    env.push_back(std::string("LD_PRELOAD=") + ORVANE_CLOCK_SHIM);
    env.push_back(std::string(kClockOffsetVariable) + "=" + offsetFile);
    std::vector<char*> args;
    std::vector<char*> envp;
    for (auto& a : argv)
        args.push_back(a.data());
    for (auto& e : env)
        envp.push_back(e.data());
    args.push_back(nullptr);
    envp.push_back(nullptr);

    ShimRunResult result;
    const pid_t child = fork();
    if (child < 0)
        return result;
    if (child == 0) {
        const int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        if (out < 0 || dup2(out, 1) < 0 || dup2(out, 2) < 0)
            _exit(126);
        execve(args[0], args.data(), envp.data());
        _exit(127);
    }
    int status = 0;
    result.finished = waitFor([&] { return waitpid(child, &status, WNOHANG) == child; },
                              std::chrono::duration_cast<std::chrono::milliseconds>(timeout),
                              std::chrono::milliseconds(10));
    if (!result.finished) {
        kill(child, SIGKILL);
        waitpid(child, &status, 0);
    }
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    result.output = readFile(outPath);
    return result;
}

// Runs the current test again, alone, in a fresh copy of this program under the shim.
inline ShimRunResult runThisTestWithClockShim(const std::string& offsetFile,
                                              const std::string& outPath,
                                              std::chrono::seconds timeout) {
    const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
    const std::string filter =
        std::string("--gtest_filter=") + test->test_suite_name() + "." + test->name();
    return runWithClockShim({"/proc/self/exe", filter}, offsetFile, outPath, timeout);
}

}  // namespace orvane_test
