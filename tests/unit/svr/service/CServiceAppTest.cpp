// The service's command line: what starts console mode, what is refused before anything starts,
// and that the password given on the command line does not stay readable there.
#include "CServiceApp.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

// An argument vector with writable strings, as main receives it.
class Argv {
public:
    Argv(std::vector<std::string> args) : m_text(std::move(args)) {  // NOLINT: brace lists
        m_text.insert(m_text.begin(), "./OrvaneSvr");
        for (std::string& a : m_text)
            m_ptrs.push_back(&a[0]);
        m_ptrs.push_back(nullptr);
    }
    int argc() const { return static_cast<int>(m_ptrs.size()) - 1; }
    char** argv() { return m_ptrs.data(); }
    // The argument as the kernel shows it: up to its first zero byte.
    std::string Shown(size_t i) const { return std::string(m_text[i].c_str()); }

private:
    std::vector<std::string> m_text;
    std::vector<char*> m_ptrs;
};

// Captures one output stream.
class Capture {
public:
    Capture() : m_file(std::tmpfile()) {}
    ~Capture() { std::fclose(m_file); }
    Capture(const Capture&) = delete;
    Capture& operator=(const Capture&) = delete;
    FILE* file() { return m_file; }
    std::string Text() {
        std::fflush(m_file);
        std::rewind(m_file);
        std::string text;
        for (int c; (c = std::fgetc(m_file)) != EOF;)
            text.push_back(static_cast<char>(c));
        return text;
    }

private:
    FILE* m_file;
};

class ServiceArgumentsTest : public ::testing::Test {
protected:
    ~ServiceArgumentsTest() override {
        for (int fd : m_fds)
            close(fd);
    }
    // A descriptor that reads text, then end of input.
    int InputOf(const std::string& text) {
        int fds[2];
        EXPECT_EQ(0, pipe(fds));
        EXPECT_EQ(static_cast<ssize_t>(text.size()), write(fds[1], text.data(), text.size()));
        close(fds[1]);
        m_fds.push_back(fds[0]);
        return fds[0];
    }
    CServiceApp::Arguments Take(Argv& args, const std::string& input = "") {
        return CServiceApp::TakeArguments(args.argc(), args.argv(), InputOf(input), out.file(),
                                          err.file());
    }

    Capture out;
    Capture err;
    std::vector<int> m_fds;
};

}  // namespace

TEST_F(ServiceArgumentsTest, NoArgumentServesTheWindowOnly) {
    Argv args({});
    const CServiceApp::Arguments taken = Take(args);
    EXPECT_FALSE(taken.console);
    EXPECT_EQ(-1, taken.exitStatus);
    EXPECT_EQ("", out.Text() + err.Text());
}

TEST_F(ServiceArgumentsTest, ASingleArgumentEndsWithTheUsage) {
    Argv wrong({"alice01"});
    EXPECT_EQ(CServiceApp::kUsageError, Take(wrong).exitStatus);
    EXPECT_EQ(CServiceApp::kUsage, err.Text());
    EXPECT_EQ("", out.Text());

    Argv help({"--help"});
    const CServiceApp::Arguments taken = Take(help);
    EXPECT_EQ(0, taken.exitStatus);
    EXPECT_FALSE(taken.console);
    EXPECT_EQ(CServiceApp::kUsage, out.Text());
}

TEST_F(ServiceArgumentsTest, AccountAndPasswordLeaveTheCommandLine) {
    Argv args({"alice01", "s3cret", "extra"});
    const CServiceApp::Arguments taken = Take(args, "not read\n");
    ASSERT_TRUE(taken.console);
    EXPECT_EQ(-1, taken.exitStatus);
    EXPECT_STREQ("alice01", taken.account.c_str());
    EXPECT_STREQ("s3cret", taken.password.c_str());
    EXPECT_EQ("", args.Shown(1));
    EXPECT_EQ("", args.Shown(2));
    EXPECT_EQ("extra", args.Shown(3));
}

TEST_F(ServiceArgumentsTest, DashReadsThePasswordFromTheFirstInputLine) {
    Argv args({"alice01", "-"});
    const CServiceApp::Arguments taken = Take(args, "pw from input\ny\n");
    ASSERT_TRUE(taken.console);
    EXPECT_EQ(-1, taken.exitStatus);
    EXPECT_STREQ("alice01", taken.account.c_str());
    EXPECT_STREQ("pw from input", taken.password.c_str());
    EXPECT_EQ("", out.Text() + err.Text());
}

// Each of these would only send a log-in the portal refuses, again at every restart.
TEST_F(ServiceArgumentsTest, UnusableCredentialsEndWithTheUsageStatus) {
    const struct {
        std::vector<std::string> args;
        std::string input;
        std::string line;
    } cases[] = {
        {{"alice01", "-"}, "", "no password on standard input"},
        {{"alice01", "-"}, "\nsecond\n", "no password on standard input"},
        {{"alice01", "-"}, std::string(2000, 'x') + "\n", "too long"},
        {{"alice01", ""}, "", "the password is empty"},
        {{"", "s3cret"}, "", "the account is empty"},
        {{"", "-"}, "pw\n", "the account is empty"},
    };
    for (const auto& c : cases) {
        Capture error;
        Argv args(c.args);
        const CServiceApp::Arguments taken = CServiceApp::TakeArguments(
            args.argc(), args.argv(), InputOf(c.input), out.file(), error.file());
        EXPECT_EQ(CServiceApp::kUsageError, taken.exitStatus) << c.line;
        EXPECT_TRUE(taken.password.IsEmpty()) << c.line;
        const std::string text = error.Text();
        EXPECT_NE(std::string::npos, text.find(c.line)) << text;
        EXPECT_NE(std::string::npos, text.find(CServiceApp::kUsage)) << text;
    }
}
