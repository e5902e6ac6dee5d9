#include "CSimpleFile.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <filesystem>
#include <set>
#include <string>
#include <thread>

#include "TestSupport.h"

namespace fs = std::filesystem;
using orvane_test::readFile;
using orvane_test::TempDir;
using orvane_test::writeFile;

namespace {

std::set<std::string> Names(const std::string& dir) {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir)) {
        names.insert(entry.path().filename().string());
    }
    return names;
}

bool Atomic(const std::string& path, const std::string& data) {
    return CSimpleFile::WriteFileAtomic(path.c_str(), data.data(), data.size());
}

}  // namespace

TEST(CSimpleFileStream, ReturnCodes) {
    TempDir dir;
    CSimpleFile file;
    EXPECT_EQ(file.WriteFile("x", 1), -2);
    EXPECT_EQ(file.CloseFile(), 0);
    EXPECT_EQ(file.CreateFile(dir.file("no/such/folder").c_str(), "a+"), -1);
    EXPECT_FALSE(file.IsOpen());

    ASSERT_EQ(file.CreateFile(dir.file("f").c_str(), "a+"), 0);
    EXPECT_EQ(file.WriteFile("abc", 3), 0);
    // Written through at once: another reader sees the bytes while the file is still open.
    EXPECT_EQ(readFile(dir.file("f")), "abc");
    // Reopening closes the first stream; "a+" appends.
    ASSERT_EQ(file.CreateFile(dir.file("f").c_str(), "a+"), 0);
    EXPECT_EQ(file.WriteFile("de", 2), 0);
    EXPECT_EQ(file.CloseFile(), 0);
    EXPECT_EQ(file.CloseFile(), 0);
    EXPECT_EQ(readFile(dir.file("f")), "abcde");
}

TEST(CSimpleFileStream, ModulePathIsTheWorkingDirectory) {
    char buffer[PATH_MAX];
    ASSERT_TRUE(CSimpleFile::GetModulePath(buffer, sizeof(buffer)));
    EXPECT_EQ(fs::path(buffer), fs::current_path());
    char tiny[2];
    EXPECT_FALSE(CSimpleFile::GetModulePath(tiny, sizeof(tiny)));  // "/" alone would fit
    EXPECT_TRUE(CSimpleFile::IsFileExist(buffer));
    EXPECT_FALSE(CSimpleFile::IsFileExist((std::string(buffer) + "/orvane-none").c_str()));
}

TEST(CSimpleFileAtomic, ReplacesContentAndKeepsTheMode) {
    TempDir dir;
    const std::string path = dir.file("conf.xml");
    ASSERT_TRUE(Atomic(path, "<first/>"));
    EXPECT_EQ(readFile(path), "<first/>");
    ASSERT_EQ(chmod(path.c_str(), 0600), 0);
    ASSERT_TRUE(Atomic(path, "<second>longer</second>"));
    EXPECT_TRUE(Atomic(path, "<x/>"));
    EXPECT_EQ(readFile(path), "<x/>");
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_EQ(Names(dir.path()), std::set<std::string>{"conf.xml"});  // no temporary file left
    EXPECT_TRUE(CSimpleFile::WriteFileAtomic(path.c_str(), nullptr, 0));
    EXPECT_EQ(readFile(path), "");
}

TEST(CSimpleFileAtomic, FailedWriteKeepsTheOldFile) {
    // Permission bits do not stop root, so the failure is made in ways that hold for any user:
    // a file size limit (the kernel refuses the write itself), a folder that is missing or is
    // really a file, and a target that is a directory (the rename fails).
    TempDir dir;
    const std::string path = dir.file("conf.xml");
    ASSERT_TRUE(writeFile(path, "old"));

    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        signal(SIGXFSZ, SIG_IGN);  // turn the signal into a failing write
        struct rlimit limit = {16, 16};
        setrlimit(RLIMIT_FSIZE, &limit);
        _exit(Atomic(path, std::string(4096, 'n')) ? 1 : 0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "the write reported success";
    EXPECT_EQ(readFile(path), "old");
    EXPECT_EQ(Names(dir.path()), std::set<std::string>{"conf.xml"});

    EXPECT_FALSE(Atomic(dir.file("missing/conf.xml"), "new"));
    EXPECT_FALSE(Atomic(dir.file("conf.xml/inner.xml"), "new"));
    ASSERT_TRUE(fs::create_directories(dir.file("taken/sub")));
    EXPECT_FALSE(Atomic(dir.file("taken"), "new"));
    EXPECT_TRUE(fs::is_directory(dir.file("taken/sub")));
    EXPECT_EQ(Names(dir.path()), (std::set<std::string>{"conf.xml", "taken"}));
    EXPECT_EQ(readFile(path), "old");
    EXPECT_FALSE(Atomic("", "new"));
}

TEST(CSimpleFileAtomic, KilledWriterLeavesOldOrNewNeverAMixture) {
    TempDir dir;
    const std::string path = dir.file("store.xml");
    const std::string a(200000, 'a');
    const std::string b(70000, 'b');
    ASSERT_TRUE(Atomic(path, a));
    for (int round = 0; round < 10; ++round) {
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            for (int i = 0; i < 100000; ++i)
                Atomic(path, (i % 2) ? a : b);
            _exit(0);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5 + 7 * round));
        kill(child, SIGKILL);
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        const std::string now = readFile(path);
        ASSERT_TRUE(now == a || now == b) << "round " << round << ": " << now.size() << " bytes";
    }
}
