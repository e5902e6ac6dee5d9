#include "CommFunc.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "TestSupport.h"

using orvane_test::TempDir;

namespace {

// True when text has the shape of pattern, where '#' stands for any decimal digit.
bool HasShape(const std::string& text, const std::string& pattern) {
    if (text.size() != pattern.size())
        return false;
    for (size_t i = 0; i < text.size(); ++i) {
        const bool ok =
            pattern[i] == '#' ? (text[i] >= '0' && text[i] <= '9') : text[i] == pattern[i];
        if (!ok)
            return false;
    }
    return true;
}

}  // namespace

TEST(CommFuncText, TrimStripsTheGivenCharactersFromBothEndsOnly) {
    char text[] = "--a-b--";
    EXPECT_STREQ(CommFunc::Trim(text, "-"), "a-b");
    char mixed[] = " \t\"x y\" \r\n";
    EXPECT_STREQ(CommFunc::Trim(mixed, " \t\r\n\""), "x y");
    char all[] = "xxxx";
    EXPECT_STREQ(CommFunc::Trim(all, "x"), "");
    char none[] = "keep";
    EXPECT_STREQ(CommFunc::Trim(none, ""), "keep");
    EXPECT_EQ(CommFunc::Trim(nullptr, "x"), nullptr);
}

TEST(CommFuncText, IsTelNumWantsExactlyElevenDigits) {
    EXPECT_TRUE(IsTelNum("13800138000"));
    EXPECT_FALSE(IsTelNum("138001380001"));
    EXPECT_FALSE(IsTelNum("1380013800"));
    EXPECT_FALSE(IsTelNum("1380013800a"));
    EXPECT_FALSE(IsTelNum("+3800138000"));
    EXPECT_FALSE(IsTelNum(""));
    EXPECT_FALSE(IsTelNum(nullptr));
}

TEST(CommFuncText, ItoaWritesDecimalWhateverTheBase) {
    char buffer[12];
    EXPECT_EQ(itoa(255, buffer, 16), buffer);
    EXPECT_STREQ(buffer, "255");
    EXPECT_STREQ(itoa(0, buffer, 10), "0");
    EXPECT_STREQ(itoa(2147483647, buffer, 10), "2147483647");
}

TEST(CommFuncTime, LocalTimeUsesTheFormat) {
    const CAutoString now = CommFunc::GetLocalTime("%Y-%m-%d %H:%M:%S");
    EXPECT_TRUE(HasShape(now.ToStdString(), "####-##-## ##:##:##")) << now.c_str();
    // Longer than 99 characters: nothing rather than a cut text.
    EXPECT_STREQ(CommFunc::GetLocalTime(std::string(120, 'x').c_str()), "");
}

TEST(CommFuncDir, RecuMkDirCreatesEveryLevel) {
    TempDir dir;
    const std::string deep = dir.file("a/b/c");
    EXPECT_TRUE(CommFunc::RecuMkDir(deep.c_str(), 0700, false));
    struct stat st;
    ASSERT_EQ(stat(deep.c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_TRUE(CommFunc::RecuMkDir(deep.c_str(), 0700, false));  // existing: still fine

    // With the last-is-file flag the last component is left for the caller to create.
    const std::string forFile = dir.file("x/y/file.txt");
    EXPECT_TRUE(CommFunc::RecuMkDir(forFile.c_str(), 0700, true));
    EXPECT_EQ(stat(dir.file("x/y").c_str(), &st), 0);
    EXPECT_NE(stat(forFile.c_str(), &st), 0);

    // A file in the way is a failure, not an existing directory.
    ASSERT_TRUE(orvane_test::writeFile(dir.file("plain"), "data"));
    EXPECT_FALSE(CommFunc::RecuMkDir(dir.file("plain/sub").c_str(), 0700, false));
    EXPECT_FALSE(CommFunc::RecuMkDir(dir.file("plain").c_str(), 0700, false));
    EXPECT_FALSE(CommFunc::RecuMkDir("", 0700, false));
}
