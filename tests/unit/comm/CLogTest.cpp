#include "CLog.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <ctime>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "TestSupport.h"

namespace fs = std::filesystem;
using orvane_test::readFile;
using orvane_test::TempDir;

namespace {

std::string Today(const char* format) {
    char text[64];
    return std::string(text, CLog::getTimeNow(text, sizeof(text), format));
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

// True when line starts with a time stamp "MM-DD hh:mm:ss ".
bool HasStamp(const std::string& line) {
    static const char kShape[] = "##-## ##:##:## ";
    if (line.size() < sizeof(kShape) - 1)
        return false;
    for (size_t i = 0; i + 1 < sizeof(kShape); ++i) {
        const char c = line[i];
        const bool ok = kShape[i] == '#' ? (c >= '0' && c <= '9') : c == kShape[i];
        if (!ok)
            return false;
    }
    return true;
}

}  // namespace

TEST(CLogFile, DatedFileUnderTheGivenFolder) {
    TempDir dir;
    CLog log;
    log.SetLevel(CLog::DEBUG);
    const std::string before = Today("%Y%m%d");
    ASSERT_EQ(log.Create((dir.path() + "/inst/Log/").c_str(), "Info.log", "%Y%m%d"), 0);
    const std::string after = Today("%Y%m%d");
    const std::string path = log.GetPath();
    EXPECT_TRUE(path == dir.path() + "/inst/Log/" + before + "_Info.log" ||
                path == dir.path() + "/inst/Log/" + after + "_Info.log")
        << path;
    EXPECT_TRUE(fs::is_regular_file(path));

    // Without a trailing slash the separator is added; without a date format no prefix.
    CLog plain;
    ASSERT_EQ(plain.Create((dir.path() + "/inst/Log").c_str(), "Other.log", ""), 0);
    EXPECT_EQ(plain.GetPath(), dir.path() + "/inst/Log/Other.log");
}

TEST(CLogFile, UnusableFolderFallsBackToTheWorkingDirectory) {
    TempDir dir;
    ASSERT_TRUE(orvane_test::writeFile(dir.file("blocker"), ""));
    const fs::path old = fs::current_path();
    fs::current_path(dir.path());
    CLog log;
    const int rc = log.Create(dir.file("blocker/Log/").c_str(), "Info.log", "");
    const std::string path = log.GetPath();
    fs::current_path(old);
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(path, "Info.log");
    EXPECT_TRUE(fs::exists(dir.file("Info.log")));
}

TEST(CLogLines, LineFormatLevelsAndEmptyMessages) {
    TempDir dir;
    CLog log;
    log.WriteLog(CLog::ERROR, "before create");  // no file yet: dropped quietly
    ASSERT_EQ(log.Create(dir.path().c_str(), "Info.log", ""), 0);
    log.WriteLog(CLog::ERROR, "level %d is on by default", 0);
    log.WriteLog(CLog::WARN, "dropped: the level starts at 0");
    log.SetLevel(CLog::NOTICE);
    log.WriteLog(CLog::NOTICE, "DoWork");
    log.WriteLog(CLog::INFO, "dropped: above NOTICE");
    log.WriteLog(CLog::ERROR, "%s", "");  // empty text: not even a time stamp
    log.WriteLog(CLog::ERROR, "%s", std::string(10000, 'L').c_str());

    const std::vector<std::string> lines = Lines(readFile(log.GetPath()));
    ASSERT_EQ(lines.size(), 3u);
    const std::vector<std::string> messages = {"level 0 is on by default", "DoWork",
                                               std::string(10000, 'L')};
    for (size_t i = 0; i < lines.size(); ++i) {
        ASSERT_GE(lines[i].size(), 15u);
        EXPECT_TRUE(HasStamp(lines[i])) << lines[i];
        EXPECT_EQ(lines[i].substr(15), messages[i]);
    }
    // The stamp is today's month and day.
    EXPECT_EQ(lines[1].substr(0, 5), Today("%m-%d"));
}

TEST(CLogLines, ReopeningAppends) {
    TempDir dir;
    {
        CLog log;
        ASSERT_EQ(log.Create(dir.path().c_str(), "Info.log", ""), 0);
        log.WriteLog(CLog::ERROR, "one");
    }
    CLog log;
    ASSERT_EQ(log.Create(dir.path().c_str(), "Info.log", ""), 0);
    log.WriteLog(CLog::ERROR, "two");
    log.Close();
    log.WriteLog(CLog::ERROR, "after close");
    const std::vector<std::string> lines = Lines(readFile(dir.file("Info.log")));
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].substr(15), "one");
    EXPECT_EQ(lines[1].substr(15), "two");
}

TEST(CLogLines, ConcurrentLinesAreNeverInterleaved) {
    constexpr int kThreads = 8;
    constexpr int kLines = 500;
    TempDir dir;
    CLog log;
    log.SetLevel(CLog::DEBUG);
    ASSERT_EQ(log.Create(dir.path().c_str(), "Info.log", "%Y%m%d"), 0);
    const std::string pad(300, '.');
    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; ++t) {
        writers.emplace_back([&log, &pad, t] {
            for (int i = 0; i < kLines; ++i)
                log.WriteLog(CLog::INFO, "T%d L%d %s", t, i, pad.c_str());
        });
    }
    for (auto& w : writers)
        w.join();

    std::map<int, int> next;  // per thread, the line number expected next
    const std::vector<std::string> lines = Lines(readFile(log.GetPath()));
    ASSERT_EQ(lines.size(), static_cast<size_t>(kThreads * kLines));
    for (const std::string& line : lines) {
        ASSERT_TRUE(HasStamp(line)) << line;
        int t = -1;
        int i = -1;
        int used = 0;
        ASSERT_EQ(std::sscanf(line.c_str() + 15, "T%d L%d %n", &t, &i, &used), 2) << line;
        ASSERT_EQ(line.substr(15 + used), pad) << line;
        ASSERT_EQ(i, next[t]) << "thread " << t << " out of order";
        ++next[t];
    }
    for (int t = 0; t < kThreads; ++t)
        EXPECT_EQ(next[t], kLines);
}

TEST(CLogFile, ALinkAtTheLogIsNotWrittenThroughAndNewLogsAreTheOwnersAlone) {
    TempDir dir;
    const std::string folder = dir.path() + "/Log/";
    const mode_t old = umask(0);
    CLog first;
    const int created = first.Create(folder.c_str(), "Info.log", "");
    umask(old);
    ASSERT_EQ(created, 0);
    first.Close();
    EXPECT_EQ(fs::status(folder).permissions(), fs::perms::owner_all);
    EXPECT_EQ(fs::status(folder + "Info.log").permissions(),
              fs::perms::owner_read | fs::perms::owner_write);

    const std::string victim = dir.file("victim");
    ASSERT_TRUE(orvane_test::writeFile(victim, "keep me"));
    ASSERT_EQ(symlink(victim.c_str(), (folder + "Linked.log").c_str()), 0);
    CLog log;
    log.SetLevel(CLog::DEBUG);
    EXPECT_EQ(log.Create(folder.c_str(), "Linked.log", ""), -1);
    EXPECT_EQ(log.GetPath(), "");
    log.WriteLog(CLog::ERROR, "header text chosen by a portal");
    EXPECT_EQ(readFile(victim), "keep me");
}
