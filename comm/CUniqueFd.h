// CUniqueFd: owns one file descriptor and closes it on every way out of its scope.
#pragma once

#include <unistd.h>

class CUniqueFd {
public:
    explicit CUniqueFd(int fd = -1) : m_fd(fd) {}
    ~CUniqueFd() { Close(); }
    CUniqueFd(const CUniqueFd&) = delete;
    CUniqueFd& operator=(const CUniqueFd&) = delete;

    int get() const { return m_fd; }
    // Gives the descriptor up without closing it; the caller owns it from now on.
    int Release() {
        const int fd = m_fd;
        m_fd = -1;
        return fd;
    }
    // Closes the descriptor held (if any) and takes fd in its place.
    void Reset(int fd) {
        Close();
        m_fd = fd;
    }
    // Closes now. False when the close failed, which is where a late write error shows up.
    bool Close() {
        if (m_fd < 0)
            return true;
        const int fd = m_fd;
        m_fd = -1;
        return ::close(fd) == 0;
    }

private:
    int m_fd;
};
