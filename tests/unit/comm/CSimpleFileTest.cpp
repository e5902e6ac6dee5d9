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

TEST(CSimpleFileSafety, FilesPlantedAtGuessableTemporaryNamesAreLeftAlone) {
    TempDir dir;
    const std::string path = dir.file("conf.xml");
    const std::string victim = dir.file("victim");
    ASSERT_TRUE(writeFile(victim, "keep me"));
    // Names an attacker could guess from the process id: links into the victim and plain files.
    const std::string stem = path + ".tmp" + std::to_string(getpid()) + ".";
    std::set<std::string> expected = {"conf.xml", "victim"};
    for (int i = 0; i < 4; ++i) {
        ASSERT_EQ(symlink(victim.c_str(), (stem + std::to_string(i)).c_str()), 0);
        expected.insert("conf.xml.tmp" + std::to_string(getpid()) + "." + std::to_string(i));
    }
    for (const char* name : {".new", ".tmp", ".XXXXXX"}) {
        ASSERT_TRUE(writeFile(path + name, "planted"));
        expected.insert(std::string("conf.xml") + name);
    }
    for (int round = 0; round < 4; ++round)
        ASSERT_TRUE(Atomic(path, "<store/>"));
    EXPECT_EQ(readFile(path), "<store/>");
    EXPECT_EQ(readFile(victim), "keep me");
    EXPECT_EQ(readFile(path + ".new"), "planted");
    EXPECT_EQ(Names(dir.path()), expected);
}

TEST(CSimpleFileSafety, NewFilesAreTheOwnersAloneAndLinksAreReplacedNotFollowed) {
    TempDir dir;
    const mode_t old = umask(0);  // the modes must not depend on the caller's umask
    const std::string store = dir.file("new.xml");
    const bool written = Atomic(store, "<a/>");
    CSimpleFile file;
    const int opened = file.CreateFile(dir.file("created.log").c_str(), "a+");
    file.CloseFile();
    umask(old);
    ASSERT_TRUE(written);
    ASSERT_EQ(opened, 0);
    struct stat st;
    ASSERT_EQ(stat(store.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    ASSERT_EQ(stat(dir.file("created.log").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);

    // A link at the target: the write replaces the link; the file it pointed to stays as it was,
    // and its mode is not taken over.
    const std::string victim = dir.file("victim");
    ASSERT_TRUE(writeFile(victim, "keep me"));
    ASSERT_EQ(chmod(victim.c_str(), 0666), 0);
    const std::string linked = dir.file("linked.xml");
    ASSERT_EQ(symlink(victim.c_str(), linked.c_str()), 0);
    ASSERT_TRUE(Atomic(linked, "<b/>"));
    EXPECT_EQ(readFile(victim), "keep me");
    ASSERT_EQ(lstat(linked.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0600u);

    // Without keepMode the result is the owner's alone even over a readable file.
    ASSERT_EQ(chmod(store.c_str(), 0644), 0);
    ASSERT_TRUE(CSimpleFile::WriteFileAtomic(store.c_str(), "c", 1, false));
    ASSERT_EQ(stat(store.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
}

TEST(CSimpleFileSafety, StreamsOpenOnlyRegularFilesAndNeverThroughALink) {
    TempDir dir;
    const std::string victim = dir.file("victim");
    ASSERT_TRUE(writeFile(victim, "keep me"));
    ASSERT_EQ(symlink(victim.c_str(), dir.file("log").c_str()), 0);
    ASSERT_EQ(symlink(dir.file("nowhere").c_str(), dir.file("dangling").c_str()), 0);
    ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0600), 0);
    CSimpleFile file;
    for (const char* mode : {"a+", "w", "r"}) {
        SCOPED_TRACE(mode);
        EXPECT_EQ(file.CreateFile(dir.file("log").c_str(), mode), -1);
        EXPECT_EQ(file.CreateFile(dir.file("dangling").c_str(), mode), -1);
        // A FIFO with nobody at the other end would stall a plain open for ever.
        EXPECT_EQ(file.CreateFile(dir.file("fifo").c_str(), mode), -1);
        EXPECT_EQ(file.CreateFile(dir.path().c_str(), mode), -1);
    }
    EXPECT_EQ(file.CreateFile(dir.file("x").c_str(), "q"), -1);
    EXPECT_FALSE(file.IsOpen());
    EXPECT_EQ(readFile(victim), "keep me");
    EXPECT_FALSE(fs::exists(dir.file("nowhere")));

    // The usual modes still behave as fopen's: "w" truncates, "r" reads.
    ASSERT_EQ(file.CreateFile(victim.c_str(), "w"), 0);
    EXPECT_EQ(file.WriteFile("new", 3), 0);
    file.CloseFile();
    EXPECT_EQ(readFile(victim), "new");
    ASSERT_EQ(file.CreateFile(victim.c_str(), "r"), 0);
    EXPECT_EQ(file.WriteFile("x", 1), -1);
}
