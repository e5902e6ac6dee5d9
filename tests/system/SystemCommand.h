// Commands of the system test's own making, run with a bound: argv is executed directly (no
// shell), in a process group of its own so that a command that overstays its bound is killed
// with everything it started. Standard output and error are collected apart (a screenshot comes
// back as bytes on standard output).
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

namespace orvane_system {

struct CommandResult {
    int status = -1;  // the exit status; -1 when signalled, killed at its bound or never started
    bool timedOut = false;
    std::string out;
    std::string err;
    bool ok() const { return status == 0; }
    // Both streams, for a failure message.
    std::string Text() const { return out + err; }
};

namespace detail {

inline void ReadInto(int fd, std::string& into, bool& open) {
    char chunk[8192];
    const ssize_t n = read(fd, chunk, sizeof chunk);
    if (n > 0)
        into.append(chunk, static_cast<size_t>(n));
    else if (n == 0 || errno != EINTR)
        open = false;
}

// Collects both pipes until both close or the deadline passes; false on the deadline.
inline bool Collect(int outFd, int errFd, CommandResult& r,
                    std::chrono::steady_clock::time_point deadline) {
    bool outOpen = true, errOpen = true;
    while (outOpen || errOpen) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return false;
        pollfd p[2] = {{outOpen ? outFd : -1, POLLIN, 0}, {errOpen ? errFd : -1, POLLIN, 0}};
        if (poll(p, 2, static_cast<int>(left.count())) <= 0)
            continue;
        if (p[0].revents != 0)
            ReadInto(outFd, r.out, outOpen);
        if (p[1].revents != 0)
            ReadInto(errFd, r.err, errOpen);
    }
    return true;
}

// Waits for the child until the deadline; kills its group when it passes.
inline void Reap(pid_t pid, CommandResult& r, std::chrono::steady_clock::time_point deadline) {
    int st = 0;
    while (waitpid(pid, &st, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() >= deadline) {
            r.timedOut = true;
            kill(-pid, SIGKILL);
            waitpid(pid, &st, 0);
            break;
        }
        usleep(10 * 1000);
    }
    r.status = !r.timedOut && WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

}  // namespace detail

// Runs argv with standard input from /dev/null; the result once it ended or was killed at
// timeout.
inline CommandResult runCommand(std::vector<std::string> argv, std::chrono::milliseconds timeout) {
    CommandResult r;
    std::vector<char*> args;
    for (std::string& a : argv)
        args.push_back(a.data());
    args.push_back(nullptr);
    int out[2], err[2];
    if (argv.empty() || pipe2(out, O_CLOEXEC) != 0)
        return r;
    if (pipe2(err, O_CLOEXEC) != 0) {
        close(out[0]);
        close(out[1]);
        return r;
    }
    const pid_t pid = fork();
    if (pid == 0) {
        // Only async-signal-safe calls between fork and exec.
        setpgid(0, 0);
        const int in = open("/dev/null", O_RDONLY);
        dup2(in, 0);
        dup2(out[1], 1);
        dup2(err[1], 2);
        execvp(args[0], args.data());
        _exit(127);
    }
    close(out[1]);
    close(err[1]);
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    if (pid > 0) {
        r.timedOut = !detail::Collect(out[0], err[0], r, deadline);
        detail::Reap(pid, r, r.timedOut ? std::chrono::steady_clock::now() : deadline);
    }
    close(out[0]);
    close(err[0]);
    return r;
}

// Runs a shell line of the test's own making (pipes, redirections), bounded as runCommand.
inline CommandResult runShell(const std::string& line, std::chrono::milliseconds timeout) {
    return runCommand({"/bin/sh", "-c", line}, timeout);
}

// text as one word for /bin/sh.
inline std::string shellWord(const std::string& text) {
    std::string q = "'";
    for (char c : text)
        q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

}  // namespace orvane_system
