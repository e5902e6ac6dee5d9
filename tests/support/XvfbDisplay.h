// An X server of the test's own (Xvfb on a free display number, no TCP), and the calls tests
// make on it: xdotool for finding windows, clicking and typing, ImageMagick's import for
// screenshots. The server is stopped and reaped by the destructor, also when a test fails.
// Given a user, the server and every command run on it belong to that user (without
// supplementary groups), so no root process of the test is a client of the display.
#pragma once

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "TestSupport.h"

namespace orvane_test {

class XvfbDisplay {
public:
    // Starts Xvfb and waits up to ten seconds for it to name its display; logPath receives its
    // output. On failure error() says why (no Xvfb, no display).
    explicit XvfbDisplay(const std::string& logPath, uid_t asUser = 0, gid_t asGroup = 0) {
        if (asUser != 0) {
            m_commandPrefix = "setpriv --reuid=" + std::to_string(asUser) +
                              " --regid=" + std::to_string(asGroup) + " --clear-groups ";
        }
        int ready[2];
        if (pipe2(ready, O_CLOEXEC) != 0) {
            m_error = "no pipe for Xvfb";
            return;
        }
        m_pid = fork();
        if (m_pid == 0) {
            // Only async-signal-safe calls between fork and exec; descriptor 3 stays open.
            const int log = open(logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (log >= 0) {
                dup2(log, 1);
                dup2(log, 2);
            }
            dup2(ready[1], 3);
            if (asUser != 0 &&
                (setgroups(0, nullptr) != 0 || setresgid(asGroup, asGroup, asGroup) != 0 ||
                 setresuid(asUser, asUser, asUser) != 0))
                _exit(126);
            execlp("Xvfb", "Xvfb", "-displayfd", "3", "-screen", "0", "800x600x24", "-nolisten",
                   "tcp", "-noreset", static_cast<char*>(nullptr));
            _exit(127);
        }
        close(ready[1]);
        m_display = ReadDisplay(ready[0]);
        close(ready[0]);
        if (m_display.empty())
            m_error = "Xvfb did not start (is the xvfb package installed?): " + readFile(logPath);
    }
    ~XvfbDisplay() {
        if (m_pid <= 0)
            return;
        kill(m_pid, SIGTERM);
        if (!waitFor([&] { return waitpid(m_pid, nullptr, WNOHANG) == m_pid; },
                     std::chrono::seconds(5), std::chrono::milliseconds(10))) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, nullptr, 0);
        }
    }
    XvfbDisplay(const XvfbDisplay&) = delete;
    XvfbDisplay& operator=(const XvfbDisplay&) = delete;

    bool ok() const { return !m_display.empty(); }
    const std::string& error() const { return m_error; }
    // ":N", for DISPLAY.
    const std::string& display() const { return m_display; }
    pid_t pid() const { return m_pid; }

    // Runs a command of the test's own making against this display; its standard output, and
    // in status its exit status.
    std::string Run(const std::string& command, int* status = nullptr) const {
        const std::string full =
            "DISPLAY=" + m_display + " " + m_commandPrefix + command + " 2>/dev/null";
        std::string out;
        FILE* pipe = popen(full.c_str(), "r");
        if (pipe == nullptr)
            return out;
        char chunk[512];
        size_t n;
        while ((n = fread(chunk, 1, sizeof chunk, pipe)) > 0)
            out.append(chunk, n);
        const int rc = pclose(pipe);
        if (status != nullptr)
            *status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
        return out;
    }
    // The first visible window whose title is exactly title, or "" when there is none.
    std::string FindWindow(const std::string& title) const {
        const std::string out = Run("xdotool search --onlyvisible --name '^" + title + "$'");
        return out.substr(0, out.find('\n'));
    }
    bool WaitWindow(const std::string& title, std::chrono::milliseconds timeout) const {
        return waitFor([&] { return !FindWindow(title).empty(); }, timeout,
                       std::chrono::milliseconds(100));
    }
    bool WaitNoWindow(const std::string& title, std::chrono::milliseconds timeout) const {
        return waitFor([&] { return FindWindow(title).empty(); }, timeout,
                       std::chrono::milliseconds(100));
    }
    // Clicks at (x, y) inside window.
    bool Click(const std::string& window, int x, int y) const {
        int status = -1;
        Run("xdotool mousemove --window " + window + " " + std::to_string(x) + " " +
                std::to_string(y) + " click 1",
            &status);
        return status == 0;
    }
    // Types text (plain ASCII of the test's own) into whatever has the keyboard focus.
    bool Type(const std::string& text) const {
        int status = -1;
        Run("xdotool type --delay 30 '" + text + "'", &status);
        return status == 0;
    }
    bool Key(const std::string& keys, const std::string& window = "") const {
        int status = -1;
        const std::string focus = window.empty() ? "" : "windowfocus --sync " + window + " ";
        Run("xdotool " + focus + "key " + keys, &status);
        return status == 0;
    }
    // Saves the whole screen as a PNG.
    bool Screenshot(const std::string& path) const {
        int status = -1;
        Run("import -window root '" + path + "'", &status);
        return status == 0;
    }

private:
    static std::string ReadDisplay(int fd) {
        std::string number;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (std::chrono::steady_clock::now() < deadline) {
            pollfd p = {fd, POLLIN, 0};
            if (poll(&p, 1, 100) <= 0)
                continue;
            char c;
            const ssize_t n = read(fd, &c, 1);
            if (n <= 0)
                break;  // Xvfb ended without naming a display
            if (c == '\n')
                return number.empty() ? "" : ":" + number;
            number += c;
        }
        return "";
    }

    pid_t m_pid = -1;
    std::string m_commandPrefix;  // runs a command as the display's user
    std::string m_display;
    std::string m_error;
};

}  // namespace orvane_test
