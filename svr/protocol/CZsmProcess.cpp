#include "CZsmProcess.h"

#include <fcntl.h>
#include <grp.h>
#include <linux/prctl.h>
#include <pwd.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "CSimpleFile.h"
#include "CUniqueFd.h"
#include "ZsmProtocol.h"

#ifndef CLOSE_RANGE_CLOEXEC
#define CLOSE_RANGE_CLOEXEC (1U << 2)
#endif
#ifndef SYS_close_range
#define SYS_close_range 436
#endif
#ifndef AT_EMPTY_PATH
#define AT_EMPTY_PATH 0x1000
#endif

namespace {

constexpr uid_t kNobody = 65534;
constexpr int kChildFdFloor = 10;  // child-side descriptors live above 0-3 until moved there

// Everything the child needs, prepared before fork: after fork only system calls are made.
struct ChildPlan {
    int sock = -1;
    int exe = -1;
    int devnull = -1;
    bool switchUser = false;
    uid_t uid = kNobody;
    gid_t gid = kNobody;
    long maxFd = 1024;
    struct rlimit cpuLimit = {CZsmProcess::kCpuLimitSec, CZsmProcess::kCpuLimitSec};
    char* argv[2] = {nullptr, nullptr};
    char* envp[1] = {nullptr};
};

// Any failure ends the child with status 127 before the helper program runs.
[[noreturn]] void childExec(const ChildPlan& p) {
    bool ok = syscall(SYS_dup3, p.devnull, 0, 0) >= 0 && syscall(SYS_dup3, p.devnull, 1, 0) >= 0;
    // A sanitizer's report is the only diagnostic of a helper that crashes in such a build.
    if (!ZsmProtocol::kSanitizerRuntime)
        ok = ok && syscall(SYS_dup3, p.devnull, 2, 0) >= 0;
    ok = ok && syscall(SYS_dup3, p.sock, ZsmProtocol::kHostSocketFd, 0) >= 0;
    // Everything above the socket, the program's descriptor included, goes away with the exec.
    if (ok &&
        syscall(SYS_close_range, ZsmProtocol::kHostSocketFd + 1, ~0U, CLOSE_RANGE_CLOEXEC) != 0)
        for (long fd = ZsmProtocol::kHostSocketFd + 1; fd < p.maxFd; ++fd)
            syscall(SYS_fcntl, fd, F_SETFD, FD_CLOEXEC);
    if (ok && p.switchUser) {
        ok = syscall(SYS_setgroups, 0, nullptr) == 0 &&
             syscall(SYS_setresgid, p.gid, p.gid, p.gid) == 0 &&
             syscall(SYS_setresuid, p.uid, p.uid, p.uid) == 0;
    }
    // Ambient capabilities would survive the exec of a service that holds them without root.
    syscall(SYS_prctl, PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0);
    // A helper whose service is gone ends at the end of its socket; one caught in a module's
    // endless loop ends at its processor-time limit. (A parent-death signal would not do: it
    // follows the thread that started the helper, and callers' threads come and go.)
    ok = ok && syscall(SYS_prlimit64, 0, RLIMIT_CPU, &p.cpuLimit, nullptr) == 0 &&
         syscall(SYS_prctl, PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 && syscall(SYS_chdir, "/") == 0;
    if (ok)
        syscall(SYS_execveat, p.exe, "", p.argv, p.envp, AT_EMPTY_PATH);
    syscall(SYS_exit_group, 127);
    for (;;) {
    }
}

// The helper's identity: the dedicated user when it exists and is not root, else 65534.
void helperIdentity(ChildPlan& plan) {
    plan.switchUser = geteuid() == 0;
    struct passwd pw;
    struct passwd* found = nullptr;
    std::vector<char> buf(16384);
    if (getpwnam_r(CZsmProcess::kUserName, &pw, buf.data(), buf.size(), &found) == 0 &&
        found != nullptr && found->pw_uid != 0 && found->pw_gid != 0) {
        plan.uid = found->pw_uid;
        plan.gid = found->pw_gid;
    }
}

// A copy of fd at kChildFdFloor or above, so the child's moves to 0-3 never overwrite it (and
// dup3 never meets equal descriptors).
int lift(int fd) {
    return fd < 0 ? -1 : fcntl(fd, F_DUPFD_CLOEXEC, kChildFdFloor);
}

std::string describeEnd(int status) {
    if (WIFSIGNALED(status))
        return "signal " + std::to_string(WTERMSIG(status));
    if (WIFEXITED(status))
        return "exit status " + std::to_string(WEXITSTATUS(status));
    return "status " + std::to_string(status);
}

std::string loadRequest(const std::string& keyid, const std::vector<unsigned char>& image) {
    std::string req(1, ZsmProtocol::kOpLoad);
    req += keyid.substr(0, ZsmProtocol::kKeyIdLen);
    req.resize(1 + ZsmProtocol::kKeyIdLen, '\0');
    req.append(reinterpret_cast<const char*>(image.data()), image.size());
    return req;
}

}  // namespace

bool CZsmProcess::spawn(int exeFd, std::string& why) {
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) {
        why = std::string("socketpair: ") + strerror(errno);
        return false;
    }
    m_channel.reset(new CFrameChannel(sv[0], ZsmProtocol::kMaxAnswer));
    CUniqueFd theirsLow(sv[1]);
    CUniqueFd theirs(lift(sv[1]));
    CUniqueFd exe(lift(exeFd));
    CUniqueFd devnullLow(open("/dev/null", O_RDWR | O_CLOEXEC));
    CUniqueFd devnull(lift(devnullLow.get()));
    if (theirs.get() < 0 || exe.get() < 0 || devnull.get() < 0) {
        why = std::string("descriptors: ") + strerror(errno);
        m_channel.reset();
        return false;
    }
    static char programName[] = "OrvaneZsm";
    ChildPlan plan;
    plan.sock = theirs.get();
    plan.exe = exe.get();
    plan.devnull = devnull.get();
    plan.argv[0] = programName;
    helperIdentity(plan);
    struct rlimit rl;
    if (getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur != RLIM_INFINITY)
        plan.maxFd = static_cast<long>(rl.rlim_cur);
    const pid_t pid = fork();
    if (pid == 0)
        childExec(plan);
    if (pid < 0) {
        why = std::string("fork: ") + strerror(errno);
        m_channel.reset();
        return false;
    }
    m_pid = pid;
    const int fd = m_channel->fd();
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    return true;
}

bool CZsmProcess::Start(const std::string& hostPath, const std::string& keyid,
                        const std::vector<unsigned char>& image, std::string& why) {
    Stop();
    CUniqueFd exe(CSimpleFile::OpenSingleLink(AT_FDCWD, hostPath.c_str(), O_RDONLY));
    if (exe.get() < 0) {
        why = "cannot open the helper program " + hostPath;
        return false;
    }
    if (!spawn(exe.get(), why))
        return false;
    std::string answer;
    const Result r = Call(loadRequest(keyid, image), answer, kStartTimeoutMs);
    if (r != kOk) {
        why = r == kTimeout ? "no answer to the load within the limit"
                            : "the helper ended while loading (" + m_lastEnd + ")";
        return false;
    }
    if (answer.empty() || answer[0] != ZsmProtocol::kStLoaded) {
        why = answer.size() > 1 && answer[0] == ZsmProtocol::kStLoadFailed ? answer.substr(1)
                                                                           : "unexpected answer";
        Stop();
        return false;
    }
    return true;
}

CZsmProcess::Result CZsmProcess::Call(const std::string& request, std::string& answer,
                                      int timeoutMs) {
    answer.clear();
    if (!Running() || !m_channel)
        return kNotRunning;
    using Clock = std::chrono::steady_clock;
    const Clock::time_point start = Clock::now();
    CFrameChannel::Result r = m_channel->Send(request, timeoutMs);
    if (r == CFrameChannel::kOk) {
        const auto spent =
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
        const int left = spent >= timeoutMs ? 0 : timeoutMs - static_cast<int>(spent);
        r = m_channel->Receive(answer, left);
    }
    if (r == CFrameChannel::kOk)
        return kOk;
    Stop();
    if (r == CFrameChannel::kTimeout)
        return kTimeout;
    return r == CFrameChannel::kTooLarge ? kTooLarge : kDied;
}

void CZsmProcess::Stop() {
    m_channel.reset();
    if (m_pid <= 0)
        return;
    // Our own unreaped child, so the id cannot belong to another process yet.
    kill(m_pid, SIGKILL);
    int status = 0;
    pid_t r;
    do {
        r = waitpid(m_pid, &status, 0);
    } while (r < 0 && errno == EINTR);
    m_lastEnd = r == m_pid ? describeEnd(status) : "not reaped";
    m_pid = -1;
}
