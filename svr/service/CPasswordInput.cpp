#include "CPasswordInput.h"

#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

// Switches a terminal's echo off for the life of the object; nothing happens on other input.
class EchoOff {
public:
    explicit EchoOff(int fd) : m_fd(fd) {
        if (!isatty(fd) || tcgetattr(fd, &m_saved) != 0)
            return;
        termios quiet = m_saved;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        m_active = tcsetattr(fd, TCSAFLUSH, &quiet) == 0;
        std::fputs("Password: ", stderr);
        std::fflush(stderr);
    }
    ~EchoOff() {
        if (!m_active)
            return;
        tcsetattr(m_fd, TCSAFLUSH, &m_saved);
        std::fputs("\n", stderr);  // the user's line feed was not echoed
    }
    EchoOff(const EchoOff&) = delete;
    EchoOff& operator=(const EchoOff&) = delete;

private:
    int m_fd;
    termios m_saved{};
    bool m_active = false;
};

// Holds the bytes read; zeroes them however the reading ends.
struct WipedBuffer {
    std::vector<char> bytes;
    ~WipedBuffer() {
        volatile char* p = bytes.data();
        for (size_t i = 0; i < bytes.size(); ++i)
            p[i] = 0;
    }
};

}  // namespace

CPasswordInput::Result CPasswordInput::ReadLine(int fd, CAutoString& password) {
    Wipe(password);
    EchoOff echo(fd);
    WipedBuffer line;
    // Reserved once, so the bytes never move and leave a copy behind in freed memory.
    line.bytes.reserve(kMaxLength + 1);
    for (;;) {
        char c = 0;
        const ssize_t got = read(fd, &c, 1);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return kReadError;
        if (got == 0 || c == '\n')
            break;
        if (line.bytes.size() == kMaxLength)
            return kTooLong;
        line.bytes.push_back(c);
    }
    size_t length = line.bytes.size();
    if (length > 0 && line.bytes[length - 1] == '\r')
        --length;
    if (length == 0)
        return kEmpty;
    password = CAutoString(line.bytes.data(), length);
    return kRead;
}

const char* CPasswordInput::Describe(Result result) {
    switch (result) {
        case kRead:
            return "the password was read";
        case kEmpty:
            return "no password on standard input (its first line is empty)";
        case kTooLong:
            return "the first line of standard input is too long for a password";
        case kReadError:
            break;
    }
    return "standard input cannot be read";
}

void CPasswordInput::Wipe(CAutoString& text) {
    volatile char* p = text.GetBuffer();
    const size_t length = p ? static_cast<size_t>(text.GetLength()) : 0;
    for (size_t i = 0; i < length; ++i)
        p[i] = 0;
    // Assigning a null string would leave the text as it is; this frees it.
    text.Detach();
}
