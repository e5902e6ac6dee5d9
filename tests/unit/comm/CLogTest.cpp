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
                                               std::string(4096, 'L') + "...(10000 bytes, cut)"};
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

// A portal's header text with line breaks must not start lines of its own in the log.
TEST(CLogLines, ControlCharactersAreEscapedSoNoLineCanBeForged) {
    TempDir dir;
    CLog log;
    log.SetLevel(CLog::DEBUG);
    ASSERT_EQ(log.Create(dir.path().c_str(), "Info.log", ""), 0);
    const std::string forged = "S1\r\n06-12 08:15:02 login ok\nx\ty\x01\x1b[2J\x7f\xd6\xd0";
    log.WriteLog(CLog::INFO, "schoolid is %s", forged.c_str());
    log.WriteLog(CLog::INFO, "trailing feed is the caller's line end\n");
    log.WriteLog(CLog::INFO, "%s", "\r\n");  // nothing but a line end: no line

    const std::vector<std::string> lines = Lines(readFile(log.GetPath()));
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].substr(15),
              "schoolid is S1\\r\\n06-12 08:15:02 login ok\\nx\\ty\\x01\\x1b[2J\\x7f\xd6\xd0");
    EXPECT_EQ(lines[1].substr(15), "trailing feed is the caller's line end");

    // The cut keeps whole escapes: it is made before escaping, on the message's own bytes.
    const std::string safe = CLog::MakeSafe(std::string(4095, 'a') + "\n" + "tail");
    EXPECT_EQ(safe, std::string(4095, 'a') + "\\n...(4100 bytes, cut)");
}

TEST(CLogFile, RotatesAtTheCapKeepingOneOldFile) {
    TempDir dir;
    CLog log;
    log.SetLevel(CLog::DEBUG);
    ASSERT_EQ(log.Create(dir.path().c_str(), "Info.log", ""), 0);
    log.SetMaxFileSize(1000);
    const std::string pad(85, 'p');  // 15 + 4 + 1 + 85 + 1 = 106 bytes a line
    for (int i = 0; i < 30; ++i)
        log.WriteLog(CLog::INFO, "L%02d %s", i, pad.c_str());

    const std::string current = readFile(dir.file("Info.log"));
    const std::string old = readFile(dir.file("Info.log.1"));
    EXPECT_LE(current.size(), 1000u);
    EXPECT_LE(old.size(), 1000u);
    EXPECT_FALSE(fs::exists(dir.file("Info.log.1.1")));
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 2);
    // 9 lines fill a file; the newest lines are in the current file, the ones before in the old.
    const std::vector<std::string> now = Lines(current);
    const std::vector<std::string> before = Lines(old);
    ASSERT_EQ(now.size(), 3u);
    ASSERT_EQ(before.size(), 9u);
    EXPECT_EQ(now.front().substr(15, 3), "L27");
    EXPECT_EQ(now.back().substr(15, 3), "L29");
    EXPECT_EQ(before.front().substr(15, 3), "L18");
    EXPECT_EQ(log.GetPath(), dir.file("Info.log"));

    // A file already past the cap when opened is rotated before its first new line; a line
    // larger than the cap still goes into a fresh file whole.
    CLog again;
    ASSERT_EQ(again.Create(dir.path().c_str(), "Info.log", ""), 0);
    again.SetMaxFileSize(200);
    again.WriteLog(CLog::ERROR, "%s", std::string(500, 'B').c_str());
    EXPECT_EQ(Lines(readFile(dir.file("Info.log.1"))), now);
    EXPECT_EQ(Lines(readFile(dir.file("Info.log"))).size(), 1u);
}

// A ticket is never logged whole.
TEST(CLogLines, SecretsAreAbbreviated) {
    EXPECT_EQ(CLog::Abbreviate("0123456789abcdef"), "0123...(16 chars)");
    EXPECT_EQ(CLog::Abbreviate("12345678"), "...(8 chars)");
    EXPECT_EQ(CLog::Abbreviate(""), "...(0 chars)");
    EXPECT_EQ(CLog::Abbreviate(nullptr), "...(0 chars)");
    EXPECT_EQ(CLog::Abbreviate("\n\n\n\nsecret-rest"), "\\n\\n\\n\\n...(15 chars)");
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

    // Another name for a file elsewhere, made either way: nothing is written through it, and
    // the one line that says why is the only trace.
    struct Plant {
        const char* name;
        int (*make)(const char*, const char*);
        const char* said;
    };
    const Plant plants[] = {{"Symbolic.log", symlink, "is not written"},
                            {"Hard.log", link, "it has more than one link"}};
    for (const Plant& plant : plants) {
        SCOPED_TRACE(plant.name);
        const std::string victim = dir.file("victim");
        ASSERT_TRUE(orvane_test::writeFile(victim, "keep me"));
        ASSERT_EQ(plant.make(victim.c_str(), (folder + plant.name).c_str()), 0);
        CLog log;
        log.SetLevel(CLog::DEBUG);
        testing::internal::CaptureStderr();
        EXPECT_EQ(log.Create(folder.c_str(), plant.name, ""), -1);
        const std::string said = testing::internal::GetCapturedStderr();
        EXPECT_NE(said.find(folder + plant.name), std::string::npos) << said;
        EXPECT_NE(said.find(plant.said), std::string::npos) << said;
        EXPECT_EQ(log.GetPath(), "");
        log.WriteLog(CLog::ERROR, "header text chosen by a portal");
        EXPECT_EQ(readFile(victim), "keep me");
        fs::remove(victim);
    }
}
