// The process count by command name, compared with what "ps -C" counts for the same names.
#include "CProcessTable.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "NetNamespace.h"
#include "TestSupport.h"

using orvane_test::NamedSleeper;
using orvane_test::TempDir;

namespace {

// The number of lines "ps -C NAME" prints, less its title line.
int PsCount(const std::string& name) {
    const std::string command = "ps -C '" + name + "' --no-headers | wc -l";
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr)
        return -1;
    int count = -1;
    if (std::fscanf(pipe, "%d", &count) != 1)
        count = -1;
    pclose(pipe);
    return count;
}

std::string CommOf(int pid) {
    std::string comm;
    FILE* file = std::fopen(("/proc/" + std::to_string(pid) + "/comm").c_str(), "r");
    if (file == nullptr)
        return comm;
    char line[64] = {};
    if (std::fgets(line, sizeof line, file) != nullptr)
        comm = line;
    std::fclose(file);
    return comm.substr(0, comm.find('\n'));
}

TEST(ProcessTableTest, CountsEqualThoseOfPs) {
    TempDir dir;
    const std::string tag = std::to_string(getpid() % 100000);
    const std::string longName = "orvlongprogram" + tag + "_tail";  // well past 15 bytes
    const std::string shortName = "orvp" + tag;
    std::vector<std::unique_ptr<NamedSleeper>> sleepers;
    sleepers.push_back(std::make_unique<NamedSleeper>(dir.path(), longName));
    sleepers.push_back(std::make_unique<NamedSleeper>(dir.path(), shortName));
    TempDir second;  // a second process of the short name
    sleepers.push_back(std::make_unique<NamedSleeper>(second.path(), shortName));
    ASSERT_TRUE(orvane_test::waitFor(
        [&] {
            return sleepers[0]->running(longName) && sleepers[1]->running(shortName) &&
                   sleepers[2]->running(shortName);
        },
        std::chrono::seconds(5)));

    std::vector<std::string> names = {
        longName,                      // cut to 15 bytes by the kernel
        longName.substr(0, 15),        // exactly what the kernel keeps
        longName.substr(0, 16),        // longer than kept: the first 15 bytes decide
        longName.substr(0, 14),        // shorter: no match
        longName.substr(0, 15) + "x",  // differs only past the kept bytes
        shortName,                     // two processes
        shortName.substr(1),           // a tail of a running name is no match
        "orvnotrunning" + tag,
    };
    // Whatever runs as process 1, unless it is one of the programs the comparison itself starts.
    const std::string first = CommOf(1);
    if (!first.empty() && first != "sh" && first != "ps" && first != "wc" &&
        first.find_first_of(" ,'") == std::string::npos)
        names.push_back(first);
    CProcessTable table;
    for (const std::string& name : names) {
        ASSERT_FALSE(name.empty());
        EXPECT_EQ(table.CountByName(name), PsCount(name)) << name;
    }
    EXPECT_EQ(table.CountByName(longName), 1);
    EXPECT_EQ(table.CountByName(shortName), 2);
    EXPECT_EQ(table.CountByName("orvnotrunning" + tag), 0);
}

TEST(ProcessTableTest, OnlyProcessEntriesOfAReadableTableCount) {
    TempDir root;
    EXPECT_EQ(CProcessTable(root.path()).CountByName("sshd"), -1);  // no table at all
    for (const char* entry : {"/proc/12", "/proc/self", "/proc/sys", "/proc/77", "/proc/9a"}) {
        std::filesystem::create_directories(root.path() + entry);
        ASSERT_TRUE(orvane_test::writeFile(root.path() + entry + "/comm", "sshd\n"));
    }
    std::filesystem::create_directories(root.path() + "/proc/78");  // ended while read: no comm
    EXPECT_EQ(CProcessTable(root.path()).CountByName("sshd"), 2);
    EXPECT_EQ(CProcessTable(root.path()).CountByName("ssh"), 0);
}

}  // namespace
