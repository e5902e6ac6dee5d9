// The shell runner: whole output lines to the handler, results, quoting, and the stand-in.
#include "CShellExecutor.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "TestSupport.h"

namespace {

void Collect(const char* line, void* context) {
    static_cast<std::vector<std::string>*>(context)->push_back(line);
}

TEST(ShellExecutorTest, EveryLineReachesTheHandlerWhole) {
    std::vector<std::string> lines;
    CShellExecutor executor;
    executor.SetSystemControlLogger(&Collect, &lines);
    EXPECT_EQ(executor.GetLogRoutine(), &Collect);
    EXPECT_EQ(executor.ExecuteShellScript("printf 'one\\n%05000d\\nlast'", "r"), 1);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], "one\n");
    EXPECT_EQ(lines[1], std::string(5000, '0') + "\n");
    EXPECT_EQ(lines[2], "last");
}

// The service's threads block the stop signals and ignore SIGPIPE; its commands must not inherit
// either, or a command could not be stopped or would not end on a closed pipe.
TEST(ShellExecutorTest, CommandsStartWithNoBlockedOrIgnoredSignals) {
    std::vector<std::string> lines;
    std::thread caller([&] {
        sigset_t stop;
        sigemptyset(&stop);
        sigaddset(&stop, SIGTERM);
        sigaddset(&stop, SIGINT);
        pthread_sigmask(SIG_BLOCK, &stop, nullptr);
        struct sigaction ignore = {};
        ignore.sa_handler = SIG_IGN;
        struct sigaction before = {};
        sigaction(SIGPIPE, &ignore, &before);
        CShellExecutor executor;
        executor.SetSystemControlLogger(&Collect, &lines);
        executor.ExecuteShellScript("grep -E '^Sig(Blk|Ign)' /proc/self/status", "r");
        sigaction(SIGPIPE, &before, nullptr);
    });
    caller.join();
    ASSERT_EQ(lines.size(), 2u);
    ASSERT_EQ(lines[0].rfind("SigBlk:\t", 0), 0u);
    ASSERT_EQ(lines[1].rfind("SigIgn:\t", 0), 0u);
    EXPECT_EQ(std::stoull(lines[0].substr(8), nullptr, 16), 0u) << lines[0];
    const unsigned long long ignored = std::stoull(lines[1].substr(8), nullptr, 16);
    EXPECT_EQ(ignored & (1ull << (SIGPIPE - 1)), 0u) << lines[1];
}

TEST(ShellExecutorTest, ResultTellsWhetherTheCommandRan) {
    CShellExecutor executor;
    // A command that fails still ran: only a shell that cannot start or close counts.
    EXPECT_EQ(executor.ExecuteShellScript("exit 3", "r"), 1);
    EXPECT_EQ(executor.ExecuteShellScript("", "r"), 0);
    EXPECT_EQ(executor.ExecuteShellScript(nullptr, "r"), 0);
    EXPECT_EQ(executor.ExecuteShellScript("true", ""), 0);
}

TEST(ShellExecutorTest, QuotedWordsReachTheCommandAsOneArgument) {
    orvane_test::TempDir dir;
    const std::string marker = dir.file("ran");
    const std::string hostile =
        "a'b;touch " + marker + " $(touch " + marker + ")`touch " + marker + "` \"c\" \\";
    std::vector<std::string> lines;
    CShellExecutor executor;
    executor.SetSystemControlLogger(&Collect, &lines);
    const std::string command = "printf '%s\\n' " + CShellExecutor::Quote(hostile);
    EXPECT_EQ(executor.ExecuteShellScript(command.c_str(), "r"), 1);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], hostile + "\n");
    EXPECT_FALSE(std::filesystem::exists(marker));
}

TEST(ShellExecutorTest, StandInReceivesTheCommandInsteadOfTheShell) {
    std::vector<std::string> commands;
    CShellExecutor::SetRunner([&](const char* command, const auto& emit) {
        commands.push_back(command);
        emit("played\n");
        return 0;
    });
    std::vector<std::string> lines;
    CShellExecutor executor;
    executor.SetSystemControlLogger(&Collect, &lines);
    EXPECT_EQ(executor.ExecuteShellScript("echo real", "r"), 0);
    CShellExecutor::SetRunner(nullptr);
    EXPECT_EQ(commands, std::vector<std::string>{"echo real"});
    EXPECT_EQ(lines, std::vector<std::string>{"played\n"});

    EXPECT_EQ(executor.ExecuteShellScript("echo real", "r"), 1);
    EXPECT_EQ(lines.back(), "real\n");
}

}  // namespace
