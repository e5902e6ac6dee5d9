#include "CRuntimeFolder.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>

#include "CPipeService.h"
#include "TestSupport.h"

using namespace std::chrono_literals;
using orvane_test::TempDir;
using orvane_test::waitFor;

namespace {

// Any group will do for the rules; the service looks up the real one by name.
const gid_t kGroup = 4242;

struct stat StatOf(const std::string& path) {
    struct stat st {};
    lstat(path.c_str(), &st);
    return st;
}

class NullCallback : public IPipeCallback {
public:
    void DoWorkOnPipe(CAutoString) override {}
};

struct ClaimCase {
    const char* what;
    mode_t mode;
    uid_t owner;
    bool link;
    bool accepted;
};

class RuntimeFolderClaim : public ::testing::TestWithParam<ClaimCase> {};

// The service gives a folder it may trust to the group, and leaves anything else as it found it:
// a folder others could enter or that another user owns may already hold planted files.
TEST_P(RuntimeFolderClaim, TakesOnlyAFolderNobodyElseCouldHaveUsed) {
    const ClaimCase& c = GetParam();
    if (geteuid() != 0)
        GTEST_SKIP() << "giving folders away needs root";
    TempDir dir;
    const std::string real = dir.file("real");
    ASSERT_EQ(mkdir(real.c_str(), 0700), 0);
    ASSERT_EQ(chmod(real.c_str(), c.mode), 0);
    ASSERT_EQ(chown(real.c_str(), c.owner, 0), 0);
    std::string path = real;
    if (c.link) {
        path = dir.file("run");
        ASSERT_EQ(symlink(real.c_str(), path.c_str()), 0);
    }
    std::string why;
    EXPECT_EQ(c.accepted, CRuntimeFolder::Claim(path, kGroup, why)) << why;
    const struct stat st = StatOf(real);
    if (c.accepted) {
        EXPECT_EQ("", CRuntimeFolder::JudgeFolder(st, real, kGroup));
        EXPECT_EQ(0770u, st.st_mode & 07777);
        EXPECT_EQ(kGroup, st.st_gid);
        return;
    }
    EXPECT_NE(why.find(path), std::string::npos) << why;
    EXPECT_EQ(c.mode, st.st_mode & 07777) << "a refused folder is left as it was";
    EXPECT_EQ(0u, st.st_gid);
}

INSTANTIATE_TEST_SUITE_P(Folders, RuntimeFolderClaim,
                         ::testing::Values(ClaimCase{"root_0700", 0700, 0, false, true},
                                           ClaimCase{"root_0770", 0770, 0, false, true},
                                           ClaimCase{"root_0755", 0755, 0, false, false},
                                           ClaimCase{"root_0777", 0777, 0, false, false},
                                           ClaimCase{"root_sticky", 01770, 0, false, false},
                                           ClaimCase{"other_user", 0700, 65534, false, false},
                                           ClaimCase{"link", 0700, 0, true, false}),
                         [](const ::testing::TestParamInfo<ClaimCase>& info) {
                             return info.param.what;
                         });

// What a member of the group could leave in the folder in place of the other side's FIFO. Each
// side refuses it at once with a line saying so, and never uses it: the service takes any
// member's FIFO of the group, the window only root's.
enum class Plant { kLinkToFifo, kFile, kFifo };

struct PlantCase {
    const char* name;
    bool service;  // the service reads "clientpipe", else the window reads "serverpipe"
    Plant plant;
    uid_t owner;
    gid_t group;
    mode_t mode;
    const char* expected;  // in the refusal line
};

class RuntimeFolderPlant : public ::testing::TestWithParam<PlantCase> {};

TEST_P(RuntimeFolderPlant, PeerPipeThatIsNotAsTheFolderSaysIsRefused) {
    const PlantCase& c = GetParam();
    if (geteuid() != 0)
        GTEST_SKIP() << "giving files away needs root";
    TempDir dir;
    const std::string folder = dir.file("run");
    ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
    std::string why;
    ASSERT_TRUE(CRuntimeFolder::Claim(folder, kGroup, why)) << why;
    const std::string peer = folder + (c.service ? "/clientpipe" : "/serverpipe");
    const std::string made = c.plant == Plant::kLinkToFifo ? dir.file("elsewhere") : peer;
    const bool planted = c.plant == Plant::kFile ? orvane_test::writeFile(made, "commands")
                                                 : mkfifo(made.c_str(), 0600) == 0;
    ASSERT_TRUE(planted);
    ASSERT_EQ(chown(made.c_str(), c.owner, c.group), 0);
    ASSERT_EQ(chmod(made.c_str(), c.mode), 0);
    if (c.plant == Plant::kLinkToFifo) {
        ASSERT_EQ(symlink(made.c_str(), peer.c_str()), 0);
    }

    CPipeService side(folder, kGroup);
    NullCallback cb;
    ASSERT_EQ(0, side.CreateNamedPipeInServer(c.service ? "serverpipe" : "clientpipe", &cb));
    std::atomic<int> result{1};
    testing::internal::CaptureStdout();
    std::thread opener([&] {
        result = c.service ? side.OpenNamePipeServer("clientpipe")
                           : side.OpenNamePipeClient("serverpipe");
    });
    // The service's write end waits for a reader first: the window's part.
    const std::string own = folder + "/serverpipe";
    int reader = -1;
    if (c.service) {
        waitFor([&] { return (reader = open(own.c_str(), O_RDONLY | O_NONBLOCK)) >= 0; }, 3s);
    }
    const bool ended = waitFor([&] { return result.load() != 1; }, 3s);
    side.StopLoop();
    opener.join();
    const std::string printed = testing::internal::GetCapturedStdout();
    if (reader >= 0)
        close(reader);
    EXPECT_TRUE(ended) << "refused at once, not retried";
    EXPECT_EQ(-1, result.load());
    EXPECT_NE(printed.find("pipe refused: " + peer + " " + c.expected), std::string::npos)
        << printed;
}

INSTANTIATE_TEST_SUITE_P(
    Planted, RuntimeFolderPlant,
    ::testing::Values(
        PlantCase{"LinkToAMembersFifo", true, Plant::kLinkToFifo, 42424, kGroup, 0660,
                  "is a symbolic link"},
        PlantCase{"RegularFile", true, Plant::kFile, 42424, kGroup, 0660, "is not a named pipe"},
        PlantCase{"FifoOfAnotherGroup", true, Plant::kFifo, 42424, 42424, 0660,
                  "is not of the group"},
        PlantCase{"FifoWritableByOthers", true, Plant::kFifo, 42424, kGroup, 0662, "has mode 0662"},
        PlantCase{"ServiceFifoOfAMember", false, Plant::kFifo, 42424, kGroup, 0660,
                  "is owned by user 42424, not 0"}),
    [](const ::testing::TestParamInfo<PlantCase>& info) { return info.param.name; });

// Both sides in a shared folder: each makes its own FIFO afresh (a leftover is not trusted)
// with the group and mode 0660, and a member's FIFO is taken by the service; the window takes
// only root's.
TEST(RuntimeFolderPipes, BothSidesMeetThroughGroupFifos) {
    if (geteuid() != 0)
        GTEST_SKIP() << "giving folders away needs root";
    TempDir dir;
    const std::string folder = dir.file("run");
    ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
    std::string why;
    ASSERT_TRUE(CRuntimeFolder::Claim(folder, kGroup, why)) << why;
    ASSERT_TRUE(orvane_test::writeFile(folder + "/serverpipe", "planted"));
    CPipeService service(folder, kGroup);
    CPipeService window(folder, kGroup);
    NullCallback cb;
    ASSERT_EQ(0, service.CreateNamedPipeInServer("serverpipe", &cb));
    ASSERT_EQ(0, window.CreateNamedPipeInServer("clientpipe", &cb));
    for (const char* name : {"serverpipe", "clientpipe"}) {
        const struct stat st = StatOf(folder + "/" + name);
        EXPECT_EQ("", CRuntimeFolder::JudgePipe(st, name, kGroup, 0)) << name;
    }
    std::atomic<int> served{1};
    std::thread serviceSide([&] { served = service.OpenNamePipeServer("clientpipe"); });
    const int opened = window.OpenNamePipeClient("serverpipe");
    serviceSide.join();
    EXPECT_EQ(0, opened);
    EXPECT_EQ(0, served.load());
}

}  // namespace
