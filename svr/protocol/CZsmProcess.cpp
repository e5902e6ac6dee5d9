#include "CZsmProcess.h"

#include <fcntl.h>
#include <grp.h>
#include <linux/prctl.h>
#include <pwd.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
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

constexpr int kChildFdFloor = 10;  // child-side descriptors live above 0-3 until moved there
// The helper is the first process of its own process, network, mount, IPC and host-name
// namespaces: whatever it might leave behind dies with it, and it reaches no network at all.
constexpr unsigned long kHelperNamespaces =
    CLONE_NEWPID | CLONE_NEWNET | CLONE_NEWNS | CLONE_NEWIPC | CLONE_NEWUTS;

// Everything the child needs, prepared before the clone: after it only system calls are made.
struct ChildPlan {
    int sock = -1;
    int exe = -1;
    int devnull = -1;
    bool switchUser = false;  // a root service: to the helper's own user
    bool ownUser = false;     // any other: its own uid in a user namespace of the helper's
    uid_t uid = 0;
    gid_t gid = 0;
    std::string uidMap, gidMap;  // "ID ID 1" lines for ownUser
    long maxFd = 1024;
    struct rlimit cpuLimit = {CZsmProcess::kCpuLimitSec, CZsmProcess::kCpuLimitSec};
    char* argv[2] = {nullptr, nullptr};
    char* envp[1] = {nullptr};
};

bool writeProcSelf(const char* name, const char* text, size_t len) {
    const long fd = syscall(SYS_openat, AT_FDCWD, name, O_WRONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool ok = syscall(SYS_write, fd, text, len) == static_cast<long>(len);
    syscall(SYS_close, fd);
    return ok;
}

// A user namespace in which the service's own uid and gid are the only ones, so the other
// namespaces can be made without privileges.
bool mapOwnUser(const ChildPlan& p) {
    return !p.ownUser || (writeProcSelf("/proc/self/setgroups", "deny", 4) &&
                          writeProcSelf("/proc/self/uid_map", p.uidMap.data(), p.uidMap.size()) &&
                          writeProcSelf("/proc/self/gid_map", p.gidMap.data(), p.gidMap.size()));
}

// Mounts made from now on stay in the helper's namespace, and /proc shows its namespace only.
bool privateMounts() {
    return syscall(SYS_mount, nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
           syscall(SYS_mount, "proc", "/proc", "proc", MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr) ==
               0;
}

bool moveDescriptors(const ChildPlan& p) {
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
    return ok;
}

// Any failure ends the child with status 127 before the helper program runs.
[[noreturn]] void childExec(const ChildPlan& p) {
    bool ok = mapOwnUser(p) && privateMounts() && moveDescriptors(p);
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

// An account other than name with uid (the one the system's lookup finds first, else any in
// /etc/passwd), or "".
std::string otherAccountWith(uid_t uid, const char* name) {
    std::vector<char> buf(16384);
    struct passwd pw;
    struct passwd* found = nullptr;
    if (getpwuid_r(uid, &pw, buf.data(), buf.size(), &found) == 0 && found != nullptr &&
        strcmp(found->pw_name, name) != 0)
        return found->pw_name;
    std::unique_ptr<FILE, int (*)(FILE*)> f(fopen("/etc/passwd", "re"), fclose);
    while (f && fgetpwent_r(f.get(), &pw, buf.data(), buf.size(), &found) == 0) {
        if (found->pw_uid == uid && strcmp(found->pw_name, name) != 0)
            return found->pw_name;
    }
    return "";
}

// The helper's identity: for a root service the dedicated system user, which must exist, must
// not be root and must be the only account with its uid (a shared uid such as nobody's would let
// the module's process and another program's reach each other). False with why otherwise.
bool helperIdentity(const std::string& user, ChildPlan& plan, std::string& why) {
    if (geteuid() != 0) {
        plan.ownUser = true;
        plan.uid = geteuid();
        plan.gid = getegid();
        plan.uidMap = std::to_string(plan.uid) + " " + std::to_string(plan.uid) + " 1";
        plan.gidMap = std::to_string(plan.gid) + " " + std::to_string(plan.gid) + " 1";
        return true;
    }
    struct passwd pw;
    struct passwd* found = nullptr;
    std::vector<char> buf(16384);
    if (getpwnam_r(user.c_str(), &pw, buf.data(), buf.size(), &found) != 0 || found == nullptr) {
        why = "no system user " + user + " for the module helper (create it with " +
              "systemd-sysusers or `useradd --system --no-create-home --shell /usr/sbin/nologin " +
              user + "`)";
        return false;
    }
    if (found->pw_uid == 0 || found->pw_gid == 0) {
        why = "the module helper's user " + user + " has root's uid or group";
        return false;
    }
    const std::string other = otherAccountWith(found->pw_uid, user.c_str());
    if (!other.empty()) {
        why = "the module helper's user " + user + " shares its uid " +
              std::to_string(found->pw_uid) + " with " + other;
        return false;
    }
    plan.switchUser = true;
    plan.uid = found->pw_uid;
    plan.gid = found->pw_gid;
    return true;
}

// Starts the child in its namespaces: its pid, or -1 with errno set.
pid_t cloneHelper(ChildPlan& plan) {
    static char programName[] = "OrvaneZsm";
    plan.argv[0] = programName;
    struct rlimit rl;
    if (getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur != RLIM_INFINITY)
        plan.maxFd = static_cast<long>(rl.rlim_cur);
    // A raw clone, like fork but with the namespaces (glibc's fork takes no flags).
    const unsigned long flags = kHelperNamespaces | (plan.ownUser ? CLONE_NEWUSER : 0) | SIGCHLD;
    const pid_t pid = static_cast<pid_t>(syscall(SYS_clone, flags, nullptr, nullptr, nullptr, 0));
    if (pid == 0)
        childExec(plan);
    return pid;
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
    ChildPlan plan;
    if (!helperIdentity(m_user, plan, why))
        return false;
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
    plan.sock = theirs.get();
    plan.exe = exe.get();
    plan.devnull = devnull.get();
    const pid_t pid = cloneHelper(plan);
    if (pid < 0) {
        why = std::string("cannot make the module helper's namespaces: ") + strerror(errno);
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
