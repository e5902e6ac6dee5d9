#include "CInstallationCheck.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "TestSupport.h"

using orvane_test::readFile;
using orvane_test::TempDir;
using orvane_test::writeFile;

namespace {

// An installation laid out the safe way: owner-writable folders, a container, a store, a FIFO.
class InstallationCheckTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(dir.path().empty());
        ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
        ASSERT_EQ(mkdir(dir.file("conf").c_str(), 0755), 0);
        ASSERT_TRUE(writeFile(dir.file("container"), "zxm"));
        ASSERT_TRUE(writeFile(dir.file("conf/store.xml"), "<root/>"));
        ASSERT_EQ(mkfifo(dir.file("pipe").c_str(), 0600), 0);
        check.Add("", CInstallationCheck::EK_FOLDER);
        check.Add("conf", CInstallationCheck::EK_FOLDER);
        check.Add("Log", CInstallationCheck::EK_FOLDER);  // not made: missing passes
        check.Add("container", CInstallationCheck::EK_FILE);
        check.Add("conf/store.xml", CInstallationCheck::EK_FILE);
        check.Add("pipe", CInstallationCheck::EK_FIFO);
    }
    // The one problem reported; fails the test when there is not exactly one.
    std::string OnlyProblem() {
        EXPECT_FALSE(check.Check());
        EXPECT_EQ(check.Problems().size(), 1u);
        return check.Problems().empty() ? std::string() : check.Problems().front();
    }
    void ReplaceWithLink(const std::string& name) {
        const std::string real = dir.file(name + ".real");
        ASSERT_EQ(rename(dir.file(name).c_str(), real.c_str()), 0);
        ASSERT_EQ(symlink(real.c_str(), dir.file(name).c_str()), 0);
    }

    TempDir dir;
    CInstallationCheck check{dir.path()};
};

// Runs line through sh and returns its exit status.
std::string WorkingDir() {
    char buf[4096];
    return getcwd(buf, sizeof buf) != nullptr ? std::string(buf) : std::string("/");
}

int RunShell(const std::string& line) {
    const int status = std::system(line.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string CommandOf(const std::string& problem) {
    const std::string marker = "mend it with: ";
    const size_t at = problem.find(marker);
    return at == std::string::npos ? std::string() : problem.substr(at + marker.size());
}

}  // namespace

TEST_F(InstallationCheckTest, SafeInstallationPassesAndMissingPathsAreFine) {
    EXPECT_TRUE(check.Check()) << (check.Problems().empty() ? "" : check.Problems().front());
    // A folder only owner-writable with read for others is the usual root installation.
    ASSERT_EQ(chmod(dir.file("conf/store.xml").c_str(), 0644), 0);
    EXPECT_TRUE(check.Check());
}

TEST_F(InstallationCheckTest, WritableByGroupOrOthersIsRefusedWithChmod) {
    for (const mode_t mode : {0775, 0757, 0777}) {
        ASSERT_EQ(chmod(dir.path().c_str(), mode), 0);
        const std::string problem = OnlyProblem();
        EXPECT_NE(problem.find(dir.path() + " is writable by group or others"), std::string::npos)
            << problem;
        EXPECT_EQ(CommandOf(problem), "chmod go-w '" + dir.path() + "'");
    }
    // The printed command does mend it.
    EXPECT_EQ(RunShell(CommandOf(check.Problems().front())), 0);
    EXPECT_TRUE(check.Check());

    ASSERT_EQ(chmod(dir.file("conf/store.xml").c_str(), 0620), 0);
    EXPECT_NE(OnlyProblem().find("conf/store.xml is writable"), std::string::npos);
}

TEST_F(InstallationCheckTest, ForeignOwnerIsRefusedWithChown) {
    if (geteuid() != 0)
        GTEST_SKIP() << "giving a file to another user needs root";
    ASSERT_EQ(chown(dir.file("container").c_str(), 65534, 65534), 0);
    const std::string problem = OnlyProblem();
    EXPECT_NE(problem.find(dir.file("container") + " is owned by user 65534"), std::string::npos)
        << problem;
    EXPECT_EQ(CommandOf(problem), "chown root '" + dir.file("container") + "'");
    EXPECT_EQ(RunShell(CommandOf(problem)), 0);
    EXPECT_TRUE(check.Check());

    // Both faults of one path are named, so one run tells everything to mend.
    ASSERT_EQ(chown(dir.file("conf").c_str(), 65534, 65534), 0);
    ASSERT_EQ(chmod(dir.file("conf").c_str(), 0777), 0);
    EXPECT_FALSE(check.Check());
    EXPECT_EQ(check.Problems().size(), 2u);
}

TEST_F(InstallationCheckTest, LinksAreRefusedAndTheHintNeverCopiesTheirTarget) {
    for (const char* name : {"container", "conf/store.xml", "pipe", "conf"}) {
        SCOPED_TRACE(name);
        ReplaceWithLink(name);
        const std::string problem = OnlyProblem();
        EXPECT_NE(problem.find(dir.file(name) + " is a symbolic link"), std::string::npos)
            << problem;
        // Whatever the link points to is its planter's: it goes, and a reinstall brings the file.
        EXPECT_EQ(CommandOf(problem), "rm '" + dir.file(name) + "', then reinstall");
        ASSERT_EQ(unlink(dir.file(name).c_str()), 0);
        EXPECT_TRUE(check.Check()) << "a missing path passes";
        ASSERT_EQ(rename(dir.file(std::string(name) + ".real").c_str(), dir.file(name).c_str()), 0);
    }
    EXPECT_EQ(readFile(dir.file("conf/store.xml")), "<root/>");
}

TEST_F(InstallationCheckTest, TheHeldFolderStaysTheCheckedOneAfterARename) {
    ASSERT_TRUE(check.Check());
    ASSERT_GE(check.Folder(), 0);
    EXPECT_TRUE(CInstallationCheck::StillAt(dir.path(), check.Folder()));
    const std::string moved = dir.path() + ".moved";
    ASSERT_EQ(rename(dir.path().c_str(), moved.c_str()), 0);
    ASSERT_EQ(mkdir(dir.path().c_str(), 0755), 0);  // a look-alike at the old path
    EXPECT_FALSE(CInstallationCheck::StillAt(dir.path(), check.Folder()));
    EXPECT_TRUE(CInstallationCheck::StillAt(moved, check.Folder()));

    // Entered by its descriptor, relative names reach the checked folder, not the look-alike.
    const std::string before = WorkingDir();
    std::string why;
    ASSERT_TRUE(CInstallationCheck::Enter(check.Folder(), why)) << why;
    EXPECT_EQ(readFile("conf/store.xml"), "<root/>");
    ASSERT_EQ(chdir(before.c_str()), 0);
    ASSERT_EQ(rmdir(dir.path().c_str()), 0);
    ASSERT_EQ(rename(moved.c_str(), dir.path().c_str()), 0);
}

// A folder above the installation that someone else may change, each way it can be so.
struct ParentCase {
    const char* name;
    uid_t owner;  // 0: left as made
    mode_t mode;
    const char* fault;  // empty: passes
};

class InstallationParentTest : public ::testing::TestWithParam<ParentCase> {};

TEST_P(InstallationParentTest, EveryFolderUpToTheRootIsJudged) {
    const ParentCase& c = GetParam();
    if (c.owner != 0 && geteuid() != 0)
        GTEST_SKIP() << "giving a folder to another user needs root";
    TempDir top;
    const std::string parent = top.file("parent");
    const std::string inst = parent + "/inst";
    ASSERT_EQ(mkdir(parent.c_str(), 0755), 0);
    ASSERT_EQ(mkdir(inst.c_str(), 0755), 0);
    ASSERT_EQ(chmod(parent.c_str(), c.mode), 0);
    if (c.owner != 0) {
        ASSERT_EQ(chown(parent.c_str(), c.owner, c.owner), 0);
    }
    CInstallationCheck check(inst);
    check.Add("", CInstallationCheck::EK_FOLDER);
    const bool passed = check.Check();
    if (*c.fault == '\0') {
        EXPECT_TRUE(passed) << check.Problems().front();
        return;
    }
    ASSERT_FALSE(passed);
    EXPECT_EQ(check.Folder(), -1) << "nothing refused is held";
    EXPECT_NE(check.Problems().front().find(parent + " " + c.fault), std::string::npos)
        << check.Problems().front();
}

INSTANTIATE_TEST_SUITE_P(
    Parents, InstallationParentTest,
    ::testing::Values(ParentCase{"OwnedByAnother", 65534, 0755, "is owned by user 65534"},
                      ParentCase{"GroupWritable", 0, 0775, "is writable by group or others"},
                      ParentCase{"WorldWritable", 0, 0777, "is writable by group or others"},
                      ParentCase{"StickyLikeTmp", 0, 01777, ""}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(InstallationPathTest, ALinkOnTheWayIsRefused) {
    TempDir top;
    ASSERT_EQ(mkdir(top.file("real").c_str(), 0755), 0);
    ASSERT_EQ(symlink(top.file("real").c_str(), top.file("via").c_str()), 0);
    CInstallationCheck check(top.file("via") + "/.");
    check.Add("", CInstallationCheck::EK_FOLDER);
    ASSERT_FALSE(check.Check());
    EXPECT_NE(check.Problems().front().find(top.file("via") + " is a symbolic link"),
              std::string::npos)
        << check.Problems().front();
}

TEST_F(InstallationCheckTest, WrongKindIsRefused) {
    ASSERT_EQ(unlink(dir.file("pipe").c_str()), 0);
    ASSERT_TRUE(writeFile(dir.file("pipe"), "a regular file"));
    EXPECT_NE(OnlyProblem().find("is not a named pipe"), std::string::npos);
    ASSERT_EQ(unlink(dir.file("pipe").c_str()), 0);
    ASSERT_EQ(mkdir(dir.file("container.d").c_str(), 0700), 0);
    ASSERT_EQ(unlink(dir.file("container").c_str()), 0);
    ASSERT_EQ(rename(dir.file("container.d").c_str(), dir.file("container").c_str()), 0);
    EXPECT_NE(OnlyProblem().find("is not a regular file"), std::string::npos);
}

TEST(InstallationCheckQuote, PrintedPathsSurviveTheShell) {
    TempDir dir;
    const std::string odd = dir.file("it's a \"dir\" $(touch x) `y`");
    ASSERT_EQ(mkdir(odd.c_str(), 0777), 0);
    ASSERT_EQ(chmod(odd.c_str(), 0777), 0);
    CInstallationCheck check(odd);
    check.Add("", CInstallationCheck::EK_FOLDER);
    ASSERT_FALSE(check.Check());
    ASSERT_EQ(check.Problems().size(), 1u);
    const std::string problem = check.Problems().front();
    ASSERT_EQ(RunShell("cd '" + dir.path() + "' && " + CommandOf(problem)), 0) << problem;
    EXPECT_TRUE(check.Check());
    EXPECT_NE(access(dir.file("x").c_str(), F_OK), 0) << "a word of the path was run by the shell";
}
