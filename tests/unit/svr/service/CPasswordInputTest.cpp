// The password read from the first line of a descriptor: only that line is taken, and anything
// that is not a usable password is refused rather than cut or padded.
#include "CPasswordInput.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

namespace {

// A pipe whose reading end holds text followed by end of input (or still open, on request).
class Input {
public:
    explicit Input(const std::string& text, bool closeAfter = true) {
        EXPECT_EQ(0, pipe(m_fds));
        EXPECT_EQ(static_cast<ssize_t>(text.size()), write(m_fds[1], text.data(), text.size()));
        if (closeAfter)
            CloseWriter();
    }
    ~Input() {
        CloseWriter();
        close(m_fds[0]);
    }
    Input(const Input&) = delete;
    Input& operator=(const Input&) = delete;

    int fd() const { return m_fds[0]; }
    void CloseWriter() {
        if (m_fds[1] >= 0)
            close(m_fds[1]);
        m_fds[1] = -1;
    }
    // Everything still unread.
    std::string Rest() {
        CloseWriter();
        std::string rest;
        char chunk[256];
        for (ssize_t n; (n = read(m_fds[0], chunk, sizeof chunk)) > 0;)
            rest.append(chunk, static_cast<size_t>(n));
        return rest;
    }

private:
    int m_fds[2] = {-1, -1};
};

CPasswordInput::Result Read(const std::string& text, CAutoString& password) {
    Input in(text);
    return CPasswordInput::ReadLine(in.fd(), password);
}

}  // namespace

// The console reads its answers from the same descriptor afterwards: a byte too many taken here
// would swallow the user's "y".
TEST(PasswordInputTest, TakesTheFirstLineAndLeavesTheRestUnread) {
    Input in("s3cret <&> pw\ny\nmore\n", false);
    CAutoString password;
    ASSERT_EQ(CPasswordInput::kRead, CPasswordInput::ReadLine(in.fd(), password));
    EXPECT_STREQ("s3cret <&> pw", password.c_str());
    EXPECT_EQ("y\nmore\n", in.Rest());
}

TEST(PasswordInputTest, LineEndingsAndAMissingLastLineFeed) {
    CAutoString password;
    ASSERT_EQ(CPasswordInput::kRead, Read("dos-pw\r\n", password));
    EXPECT_STREQ("dos-pw", password.c_str());
    ASSERT_EQ(CPasswordInput::kRead, Read("no-line-feed", password));
    EXPECT_STREQ("no-line-feed", password.c_str());
    // Blanks belong to the password.
    ASSERT_EQ(CPasswordInput::kRead, Read(" pw \n", password));
    EXPECT_STREQ(" pw ", password.c_str());
}

TEST(PasswordInputTest, RefusesWhatIsNoPassword) {
    CAutoString password("left over");
    EXPECT_EQ(CPasswordInput::kEmpty, Read("", password));
    EXPECT_TRUE(password.IsEmpty());
    EXPECT_EQ(CPasswordInput::kEmpty, Read("\nsecond line\n", password));
    EXPECT_EQ(CPasswordInput::kEmpty, Read("\r\n", password));
    EXPECT_EQ(CPasswordInput::kReadError, CPasswordInput::ReadLine(-1, password));
    EXPECT_TRUE(password.IsEmpty());
}

TEST(PasswordInputTest, LongestLineIsTakenWholeAndOneMoreIsRefused) {
    const std::string longest(CPasswordInput::kMaxLength, 'p');
    CAutoString password;
    ASSERT_EQ(CPasswordInput::kRead, Read(longest + "\n", password));
    EXPECT_EQ(longest, password.ToStdString());
    EXPECT_EQ(CPasswordInput::kTooLong, Read(longest + "q\n", password));
    EXPECT_TRUE(password.IsEmpty());
}
