#include "CRuntimeFolder.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <functional>
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

// What a member of the group could leave in the folder in place of the other side's FIFO. The
// service refuses each at once with a line saying so, and never writes into it.
struct PlantCase {
    const char* what;
    const char* expected;  // in the refusal line
    std::function<void(const std::string& path, const TempDir& dir)> plant;
};

class RuntimeFolderPlant : public ::testing::TestWithParam<PlantCase> {};

TEST_P(RuntimeFolderPlant, ServiceRefusesWhatIsNotAMembersFifo) {
    if (geteuid() != 0)
        GTEST_SKIP() << "giving files away needs root";
    TempDir dir;
    const std::string folder = dir.file("run");
    ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
    std::string why;
    ASSERT_TRUE(CRuntimeFolder::Claim(folder, kGroup, why)) << why;
    const std::string peer = folder + "/clientpipe";
    GetParam().plant(peer, dir);

    CPipeService service(folder, kGroup);
    NullCallback cb;
    ASSERT_EQ(0, service.CreateNamedPipeInServer("serverpipe", &cb));
    std::atomic<int> result{1};
    testing::internal::CaptureStdout();
    std::thread opener([&] { result = service.OpenNamePipeServer("clientpipe"); });
    // The service's write end waits for a reader: the window's part.
    int reader = -1;
    waitFor(
        [&] {
            return (reader = open((folder + "/serverpipe").c_str(), O_RDONLY | O_NONBLOCK)) >= 0;
        },
        3s);
    const bool ended = waitFor([&] { return result.load() != 1; }, 3s);
    service.StopLoop();
    opener.join();
    const std::string printed = testing::internal::GetCapturedStdout();
    if (reader >= 0)
        close(reader);
    EXPECT_TRUE(ended) << "refused at once, not retried";
    EXPECT_EQ(-1, result.load());
    EXPECT_NE(printed.find("pipe refused: " + peer + " " + GetParam().expected), std::string::npos)
        << printed;
}

INSTANTIATE_TEST_SUITE_P(
    Planted, RuntimeFolderPlant,
    ::testing::Values(PlantCase{"link_to_a_members_fifo", "is a symbolic link",
                                [](const std::string& path, const TempDir& d) {
                                    ASSERT_EQ(mkfifo(d.file("elsewhere").c_str(), 0660), 0);
                                    ASSERT_EQ(chown(d.file("elsewhere").c_str(), 42424, kGroup), 0);
                                    ASSERT_EQ(chmod(d.file("elsewhere").c_str(), 0660), 0);
                                    ASSERT_EQ(symlink(d.file("elsewhere").c_str(), path.c_str()),
                                              0);
                                }},
                      PlantCase{"regular_file", "is not a named pipe",
                                [](const std::string& path, const TempDir&) {
                                    ASSERT_TRUE(orvane_test::writeFile(path, "commands"));
                                    ASSERT_EQ(chown(path.c_str(), 42424, kGroup), 0);
                                }},
                      PlantCase{"fifo_of_another_group", "is not of the group",
                                [](const std::string& path, const TempDir&) {
                                    ASSERT_EQ(mkfifo(path.c_str(), 0660), 0);
                                    ASSERT_EQ(chown(path.c_str(), 42424, 42424), 0);
                                    ASSERT_EQ(chmod(path.c_str(), 0660), 0);
                                }},
                      PlantCase{"fifo_writable_by_others", "has mode 0662",
                                [](const std::string& path, const TempDir&) {
                                    ASSERT_EQ(mkfifo(path.c_str(), 0660), 0);
                                    ASSERT_EQ(chown(path.c_str(), 42424, kGroup), 0);
                                    ASSERT_EQ(chmod(path.c_str(), 0662), 0);
                                }}),
    [](const ::testing::TestParamInfo<PlantCase>& info) { return info.param.what; });

// Both sides in a shared folder: each makes its own FIFO afresh (a leftover is not trusted) with
// the group and mode 0660, and a member's FIFO is taken by the service; the window takes only
// root's.
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

TEST(RuntimeFolderPipes, WindowRefusesAServiceFifoNotOfRoot) {
    if (geteuid() != 0)
        GTEST_SKIP() << "giving files away needs root";
    TempDir dir;
    const std::string folder = dir.file("run");
    ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
    std::string why;
    ASSERT_TRUE(CRuntimeFolder::Claim(folder, kGroup, why)) << why;
    const std::string fake = folder + "/serverpipe";
    ASSERT_EQ(mkfifo(fake.c_str(), 0660), 0);
    ASSERT_EQ(chown(fake.c_str(), 42424, kGroup), 0);
    ASSERT_EQ(chmod(fake.c_str(), 0660), 0);
    CPipeService window(folder, kGroup);
    NullCallback cb;
    ASSERT_EQ(0, window.CreateNamedPipeInServer("clientpipe", &cb));
    testing::internal::CaptureStdout();
    EXPECT_EQ(-1, window.OpenNamePipeClient("serverpipe"));
    const std::string printed = testing::internal::GetCapturedStdout();
    EXPECT_NE(printed.find(fake + " is owned by user 42424, not 0"), std::string::npos) << printed;
}

}  // namespace
