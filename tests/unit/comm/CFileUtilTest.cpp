#include "CFileUtil.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <random>
#include <set>
#include <string>

#include "TestSupport.h"

namespace fs = std::filesystem;
using orvane_test::readFile;
using orvane_test::TempDir;
using orvane_test::writeFile;

namespace {

// Makes a folder the working directory for one scope.
class InDirectory {
public:
    explicit InDirectory(const std::string& dir) : m_old(fs::current_path()) {
        fs::current_path(dir);
    }
    ~InDirectory() { fs::current_path(m_old); }

private:
    fs::path m_old;
};

std::set<std::string> Listing(const std::string& dir) {
    std::set<std::string> names;
    for (const auto& entry : fs::recursive_directory_iterator(dir)) {
        names.insert(fs::relative(entry.path(), dir).string());
    }
    return names;
}

std::string RandomBytes(size_t n) {
    std::mt19937 gen(42);
    std::string s(n, '\0');
    for (auto& c : s)
        c = static_cast<char>(gen());
    return s;
}

}  // namespace

TEST(CFileUtilDelete, DeleteFileRemovesOnlyTheGivenFile) {
    TempDir dir;
    InDirectory cwd(dir.path());
    for (const char* name : {"target.bin", "a.txt", ".hidden.cfg", "update.xml", "plain"}) {
        ASSERT_TRUE(writeFile(name, name));
    }
    EXPECT_EQ(CFileUtil::DeleteFile("target.bin"), 0);
    EXPECT_EQ(Listing(dir.path()),
              (std::set<std::string>{"a.txt", ".hidden.cfg", "update.xml", "plain"}));
    EXPECT_EQ(CFileUtil::DeleteFile("target.bin"), 0);  // already gone is fine
    EXPECT_EQ(CFileUtil::DeleteFile(""), -1);
}

TEST(CFileUtilDelete, NamesWithShellCharactersAreJustNames) {
    TempDir dir;
    InDirectory cwd(dir.path());
    const std::string evil = "pkg dir; touch pwned1 $(touch pwned2) `touch pwned3` *";
    ASSERT_TRUE(CFileUtil::CreateDir((evil + "/inner").c_str()) == 0);
    ASSERT_TRUE(writeFile(evil + "/inner/file", "x"));
    // Neighbours that a split or globbing command line would hit.
    ASSERT_TRUE(fs::create_directory("pkg"));
    ASSERT_TRUE(writeFile("dir;", "x"));
    ASSERT_TRUE(writeFile("keep.txt", "x"));

    EXPECT_EQ(CFileUtil::DeleteDir(evil.c_str()), 0);
    EXPECT_EQ(Listing(dir.path()), (std::set<std::string>{"pkg", "dir;", "keep.txt"}));
}

TEST(CFileUtilDelete, LinksAreRemovedNotFollowed) {
    TempDir dir;
    ASSERT_TRUE(fs::create_directories(dir.file("real/sub")));
    ASSERT_TRUE(writeFile(dir.file("real/sub/data"), "x"));
    ASSERT_TRUE(fs::create_directory(dir.file("tree")));
    fs::create_directory_symlink(dir.file("real"), dir.file("tree/link"));
    fs::create_directory_symlink(dir.file("real"), dir.file("toplink"));

    EXPECT_EQ(CFileUtil::DeleteDir(dir.file("tree").c_str()), 0);
    EXPECT_EQ(CFileUtil::DeleteFile(dir.file("toplink").c_str()), 0);
    EXPECT_EQ(readFile(dir.file("real/sub/data")), "x");
    EXPECT_FALSE(fs::exists(dir.file("tree")));
    EXPECT_FALSE(fs::is_symlink(dir.file("toplink")));
}

TEST(CFileUtilCopy, CopyFileCopiesEveryByteAndTruncates) {
    TempDir dir;
    const std::string data = RandomBytes(3 * 64 * 1024 + 17);  // several buffers plus a tail
    ASSERT_TRUE(writeFile(dir.file("src"), data));
    ASSERT_TRUE(writeFile(dir.file("dst"), std::string(500000, 'o')));
    EXPECT_EQ(CFileUtil::CopyFile(dir.file("src").c_str(), dir.file("dst").c_str(), false), 0);
    EXPECT_EQ(readFile(dir.file("dst")), data);
}

TEST(CFileUtilCopy, CopyFileRefusals) {
    TempDir dir;
    ASSERT_TRUE(writeFile(dir.file("src"), "new"));
    ASSERT_TRUE(writeFile(dir.file("dst"), "old"));
    EXPECT_EQ(CFileUtil::CopyFile(dir.file("src").c_str(), dir.file("dst").c_str(), true), -1);
    EXPECT_EQ(readFile(dir.file("dst")), "old");

    // Copying a file onto itself must not truncate it.
    EXPECT_EQ(CFileUtil::CopyFile(dir.file("src").c_str(), dir.file("src").c_str(), false), -1);
    EXPECT_EQ(readFile(dir.file("src")), "new");

    testing::internal::CaptureStdout();
    EXPECT_EQ(CFileUtil::CopyFile(dir.file("missing").c_str(), dir.file("x").c_str(), false), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Source file open failure.");
    testing::internal::CaptureStdout();
    EXPECT_EQ(CFileUtil::CopyFile(dir.file("src").c_str(), dir.file("no/dir/x").c_str(), false),
              -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Destination file open failure.");

    // A link planted at the destination is not written through.
    ASSERT_TRUE(writeFile(dir.file("victim"), "keep me"));
    ASSERT_EQ(symlink(dir.file("victim").c_str(), dir.file("linked").c_str()), 0);
    testing::internal::CaptureStdout();
    EXPECT_EQ(CFileUtil::CopyFile(dir.file("src").c_str(), dir.file("linked").c_str(), false), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Destination file open failure.");
    EXPECT_EQ(readFile(dir.file("victim")), "keep me");
}

TEST(CFileUtilCopy, CopyFileKeepsTheExecutableBit) {
    TempDir dir;
    ASSERT_TRUE(writeFile(dir.file("tool"), "#!/bin/sh\n"));
    ASSERT_EQ(chmod(dir.file("tool").c_str(), 0755), 0);
    ASSERT_EQ(CFileUtil::CopyFile(dir.file("tool").c_str(), dir.file("copy").c_str(), false), 0);
    struct stat st;
    ASSERT_EQ(stat(dir.file("copy").c_str(), &st), 0);
    EXPECT_TRUE(st.st_mode & S_IXUSR);
}

TEST(CFileUtilCopy, CopyAllFileCopiesTheTree) {
    TempDir dir;
    ASSERT_EQ(CFileUtil::CreateDir(dir.file("src/a/b").c_str()), 0);
    ASSERT_TRUE(writeFile(dir.file("src/top"), "1"));
    ASSERT_TRUE(writeFile(dir.file("src/a/b/deep"), "2"));
    ASSERT_TRUE(writeFile(dir.file("src/a/.dot"), "3"));

    EXPECT_EQ(CFileUtil::CopyAllFile(dir.file("src").c_str(), dir.file("out/new").c_str(), true),
              0);
    EXPECT_EQ(Listing(dir.file("out/new")), Listing(dir.file("src")));
    EXPECT_EQ(readFile(dir.file("out/new/a/b/deep")), "2");

    // An existing destination is refused with the flag, merged into without it.
    EXPECT_EQ(CFileUtil::CopyAllFile(dir.file("src").c_str(), dir.file("out/new").c_str(), true),
              -1);
    ASSERT_TRUE(writeFile(dir.file("src/top"), "changed"));
    EXPECT_EQ(CFileUtil::CopyAllFile(dir.file("src/").c_str(), dir.file("out/new/").c_str(), false),
              0);
    EXPECT_EQ(readFile(dir.file("out/new/top")), "changed");
    EXPECT_EQ(CFileUtil::CopyAllFile(dir.file("none").c_str(), dir.file("out/x").c_str(), false),
              -1);
}

TEST(CFileUtilQuery, ExistenceChecks) {
    TempDir dir;
    ASSERT_TRUE(writeFile(dir.file("f"), ""));
    EXPECT_TRUE(CFileUtil::IfExistFile(dir.file("f").c_str()));
    EXPECT_FALSE(CFileUtil::IfExistFile(dir.file("g").c_str()));
    EXPECT_TRUE(CFileUtil::IfExistDir(dir.path().c_str()));
    EXPECT_FALSE(CFileUtil::IfExistDir(dir.file("f").c_str()));
    EXPECT_FALSE(CFileUtil::IfExistDir(dir.file("g").c_str()));
}
