#include "CProcessLauncher.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>

namespace {

int PidFd(pid_t pid) {
#ifdef SYS_pidfd_open
    return static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
#else
    (void)pid;
    errno = ENOSYS;
    return -1;
#endif
}

// Waits until pid's descriptor becomes readable (the process ended) or the time is up. Without
// pidfd support it falls back to checking every 20 ms.
template <class Ended>
bool WaitUntil(pid_t pid, int timeoutMs, Ended ended) {
    const int fd = PidFd(pid);
    if (fd >= 0) {
        pollfd p{fd, POLLIN, 0};
        int rc;
        while ((rc = poll(&p, 1, timeoutMs)) < 0 && errno == EINTR) {
        }
        close(fd);
        return ended();
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!ended() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    return ended();
}

}  // namespace

pid_t CProcessLauncher::Start(const std::vector<std::string>& argv, const std::string& dir,
                              bool newSession) {
    if (argv.empty())
        return -1;
    std::vector<char*> args;
    for (const std::string& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    int report[2];
    if (pipe2(report, O_CLOEXEC) != 0)
        return -1;
    const pid_t pid = fork();
    if (pid == 0) {
        close(report[0]);
        if (newSession)
            setsid();
        const int null = open("/dev/null", O_RDONLY);
        if (null >= 0)
            dup2(null, 0);
        if (chdir(dir.c_str()) == 0)
            execv(args[0], args.data());
        const int err = errno;
        (void)!write(report[1], &err, sizeof err);
        _exit(127);
    }
    close(report[1]);
    int err = 0;
    ssize_t got;
    while ((got = read(report[0], &err, sizeof err)) < 0 && errno == EINTR) {
    }
    close(report[0]);
    if (pid > 0 && got > 0) {
        waitpid(pid, nullptr, 0);
        return -1;
    }
    return pid;
}

int CProcessLauncher::Run(const std::vector<std::string>& argv, const std::string& dir) {
    const pid_t pid = Start(argv, dir, false);
    if (pid < 0)
        return -1;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR)
            return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool CProcessLauncher::WaitChild(pid_t pid, int timeoutMs, int& status) {
    bool done = false;
    auto ended = [&] {
        if (!done)
            done = waitpid(pid, &status, WNOHANG) == pid;
        return done;
    };
    return WaitUntil(pid, timeoutMs, ended);
}

bool CProcessLauncher::WaitGone(pid_t pid, int timeoutMs) {
    if (pid <= 0)
        return true;
    return WaitUntil(pid, timeoutMs, [pid] { return kill(pid, 0) != 0 && errno == ESRCH; });
}
