#include "CProcessLauncher.h"

#include <fcntl.h>
#include <grp.h>
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

std::vector<char*> Pointers(const std::vector<std::string>& texts) {
    std::vector<char*> out;
    for (const std::string& t : texts)
        out.push_back(const_cast<char*>(t.c_str()));
    out.push_back(nullptr);
    return out;
}

// Groups first, then the group, then the user: once the user is dropped nothing else can be.
bool DropTo(const CProcessLauncher::Options& o) {
    return setgroups(o.groups.size(), o.groups.data()) == 0 &&
           setresgid(o.gid, o.gid, o.gid) == 0 && setresuid(o.uid, o.uid, o.uid) == 0;
}

// In the child: returns only when something failed (errno tells what).
void RunChild(const CProcessLauncher::Options& o, char* const* argv, char* const* envp) {
    if (o.newSession)
        setsid();
    const int input = o.input >= 0 ? o.input : open("/dev/null", O_RDONLY);
    if (input >= 0 && input != 0)
        dup2(input, 0);
    if ((o.dirFd >= 0 ? fchdir(o.dirFd) : chdir(o.dir.c_str())) != 0)
        return;
    // A script's interpreter reaches it as /dev/fd/N/name, so the folder must stay open for it.
    const int programDir = o.programDir >= 0 ? fcntl(o.programDir, F_DUPFD, 3) : -1;
    if (o.programDir >= 0 && programDir < 0)
        return;
    if (o.asUser && !DropTo(o))
        return;
    if (programDir < 0) {
        execve(argv[0], argv, envp);
        return;
    }
    syscall(SYS_execveat, programDir, argv[0], argv, envp, AT_SYMLINK_NOFOLLOW);
}

}  // namespace

pid_t CProcessLauncher::Start(const std::vector<std::string>& argv, const std::string& dir,
                              bool newSession) {
    Options options;
    options.dir = dir;
    options.newSession = newSession;
    return Start(argv, options);
}

pid_t CProcessLauncher::Start(const std::vector<std::string>& argv, const Options& options) {
    if (argv.empty())
        return -1;
    std::vector<char*> args = Pointers(argv);
    std::vector<char*> env = Pointers(options.environment);
    int report[2];
    if (pipe2(report, O_CLOEXEC) != 0)
        return -1;
    const pid_t pid = fork();
    if (pid == 0) {
        close(report[0]);
        RunChild(options, args.data(), options.ownEnvironment ? env.data() : environ);
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
    Options options;
    options.dir = dir;
    return Run(argv, options);
}

int CProcessLauncher::Run(const std::vector<std::string>& argv, const Options& options) {
    const pid_t pid = Start(argv, options);
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
