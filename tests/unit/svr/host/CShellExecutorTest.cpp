// The shell runner: whole output lines to the handler, results, quoting, and the stand-in.
#include "CShellExecutor.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
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
