// The stop signal in a child process of its own: an orderly end in time runs the stop action only;
// an end that outlasts the grace runs the last action, then the signal ends the process.
#include "CStopSignal.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "TestSupport.h"

using namespace std::chrono_literals;

namespace {

struct Outcome {
    int status = 0;     // as waitpid reports it
    std::string marks;  // "s" for the stop action, "g" for the last action, in order
};

// The child installs the signal, sends itself SIGTERM and, when endsInTime, ends in order once
// the stop action has run (the object is destroyed, then exit 0); otherwise it waits longer than
// the grace.
Outcome RunChild(bool endsInTime) {
    int marks[2];
    if (pipe(marks) != 0)
        return {};
    const pid_t child = fork();
    if (child == 0) {
        close(marks[0]);
        int stopped[2];
        if (pipe(stopped) != 0)
            _exit(90);
        {
            auto onStop = [&] {
                (void)!write(marks[1], "s", 1);
                (void)!write(stopped[1], "", 1);
            };
            CStopSignal stop(
                onStop, [&] { (void)!write(marks[1], "g", 1); }, 200);
            if (!stop.Install())
                _exit(91);
            kill(getpid(), SIGTERM);
            pollfd wait = {stopped[0], POLLIN, 0};
            poll(&wait, 1, 5000);
            if (!endsInTime)
                poll(nullptr, 0, 5000);  // the signal's default action ends the process first
        }
        _exit(0);
    }
    close(marks[1]);
    Outcome outcome;
    if (!orvane_test::waitFor([&] { return waitpid(child, &outcome.status, WNOHANG) == child; },
                              10s)) {
        kill(child, SIGKILL);
        waitpid(child, &outcome.status, 0);
    }
    char c;
    while (read(marks[0], &c, 1) == 1)
        outcome.marks += c;
    close(marks[0]);
    return outcome;
}

TEST(StopSignalTest, LastActionRunsOnlyWhenTheOrderlyEndOutlastsTheGrace) {
    const Outcome inTime = RunChild(true);
    EXPECT_TRUE(WIFEXITED(inTime.status) && WEXITSTATUS(inTime.status) == 0) << inTime.status;
    EXPECT_EQ("s", inTime.marks);

    const Outcome stuck = RunChild(false);
    EXPECT_TRUE(WIFSIGNALED(stuck.status) && WTERMSIG(stuck.status) == SIGTERM) << stuck.status;
    EXPECT_EQ("sg", stuck.marks);
}

}  // namespace
