#include "CPipeService.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <thread>
#include <utility>
#include <vector>

#include "CInstallationCheck.h"
#include "CLockGuard.h"
#include "CLog.h"
#include "CRuntimeFolder.h"
#include "CUniqueFd.h"

namespace {

// How long the reader waits for room in a full message queue before it drops a message. While it
// waits it does not read, so a peer that writes faster than messages are handled is held back by
// the FIFO itself; only a handler stuck for this long makes messages go.
const std::chrono::milliseconds kQueueWait(2000);

// Returned by OpenFifo when the path holds something this side must not use: retrying cannot help.
const int kRefused = -2;

void ReportRefusal(const std::string& why) {
    printf("pipe refused: %s\n", why.c_str());
    fflush(stdout);
    CLog::GetInst()->WriteLog(CLog::ERROR, "pipe refused: %s", why.c_str());
}

bool MakeBlocking(int fd) {
    const int flags = fcntl(fd, F_GETFL);
    return flags >= 0 && fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == 0;
}

}  // namespace

CPipeService::CPipeService(std::string folder, gid_t sharedGroup)
    : m_folder(std::move(folder)), m_sharedGroup(sharedGroup) {
    m_stopFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (m_stopFd < 0)
        printf("pipe stop event error=%s\n", strerror(errno));
}

CPipeService::~CPipeService() {
    StopMsgEngineAndWait();
    if (m_releaseFd >= 0)
        close(m_releaseFd);
    if (m_fdServer >= 0)
        close(m_fdServer);
    if (m_fdClient >= 0)
        close(m_fdClient);
    if (m_stopFd >= 0)
        close(m_stopFd);
    // Only the FIFO this side created; the peer removes its own.
    if (!m_pipeName.empty())
        unlink(m_pipeName.c_str());
}

std::string CPipeService::PathOf(const char* name) const {
    if (m_folder.empty())
        return name;
    return m_folder + "/" + name;
}

int CPipeService::CreateNamedPipeInServer(const char* pipeName, IPipeCallback* callback) {
    if (pipeName == nullptr || *pipeName == '\0')
        return -1;
    CLockGuard<MutexLock> guard(&m_pipeLock);
    m_pipeName = PathOf(pipeName);
    m_pCallback.store(callback);
    if (m_sharedGroup != kPrivate) {
        std::string why;
        if (CRuntimeFolder::MakePipe(m_pipeName, m_sharedGroup, why))
            return 0;
        ReportRefusal(why);
        return -1;
    }
    struct stat st;
    // A file left by an earlier run is kept and reused.
    if (lstat(m_pipeName.c_str(), &st) == 0)
        return -1;
    return mkfifo(m_pipeName.c_str(), 0600) == 0 ? 0 : -1;
}

// A FIFO this side may use. Anyone who could write into the peer's FIFO could command this
// program; in the installation only root and this program's user may, in a shared folder the
// group's members may (see CRuntimeFolder).
std::string CPipeService::RefusalOf(const struct stat& st, const std::string& path,
                                    uid_t owner) const {
    if (m_sharedGroup != kPrivate)
        return CRuntimeFolder::JudgePipe(st, path, m_sharedGroup, owner);
    std::vector<std::string> problems;
    CInstallationCheck::Judge(st, CInstallationCheck::EK_FIFO, path, problems);
    return problems.empty() ? std::string() : problems.front();
}

int CPipeService::OpenFifo(const std::string& path, int flags, uid_t owner, bool wait) {
    if (m_bStop.load())
        return -1;
    struct stat named;
    if (lstat(path.c_str(), &named) != 0)
        return -1;  // not made yet
    std::string why = RefusalOf(named, path, owner);
    if (!why.empty()) {
        ReportRefusal(why);
        return kRefused;
    }
    // Without O_NONBLOCK the open of a FIFO waits for the other end; with it a writer's open
    // fails with ENXIO instead. O_NOFOLLOW: a link put there since the lstat is refused too.
    const int mode = flags | O_NOFOLLOW | O_CLOEXEC | (wait ? 0 : O_NONBLOCK);
    int opened;
    do
        opened = open(path.c_str(), mode);
    while (opened < 0 && errno == EINTR && !m_bStop.load());
    CUniqueFd fd(opened);
    if (fd.get() < 0) {
        if (errno != ELOOP)
            return -1;
        ReportRefusal(path + " is a symbolic link");
        return kRefused;
    }
    // The checks hold for what was opened, not only for what the name showed a moment ago.
    struct stat held;
    why = fstat(fd.get(), &held) != 0 ? path + " cannot be examined" : RefusalOf(held, path, owner);
    if (!why.empty()) {
        ReportRefusal(why);
        return kRefused;
    }
    return wait || MakeBlocking(fd.get()) ? fd.Release() : -1;
}

int CPipeService::OpenPeerForReading(const std::string& path) {
    for (;;) {
        const int fd = OpenFifo(path, O_RDONLY, m_peerOwner);
        if (fd >= 0)
            return fd;
        // The peer may not have created its FIFO yet: look again every second.
        if (fd == kRefused || WaitForStop(1000))
            return -1;
    }
}

int CPipeService::OpenOwnForWriting() {
    if (m_pipeName.empty())
        return -1;
    const int fd = WaitForReader();
    if (fd < 0)
        return -1;
    {
        CLockGuard<MutexLock> guard(&m_pipeLock);
        m_fdServer = fd;
    }
    m_bIsopenPipe.store(true);
    return 0;
}

int CPipeService::WaitForReader() {
    {
        std::lock_guard<std::mutex> guard(m_openLock);
        if (m_bStop.load())
            return -1;
        m_openingPath = m_pipeName;
    }
    // The open itself waits for the peer's read end: a service without a window sleeps here
    // until one comes, instead of looking again and again. StopLoop ends the wait.
    int fd = OpenFifo(m_pipeName, O_WRONLY, geteuid(), true);
    {
        std::lock_guard<std::mutex> guard(m_openLock);
        m_openingPath.clear();
        if (m_releaseFd >= 0) {
            close(m_releaseFd);
            m_releaseFd = -1;
        }
    }
    if (fd >= 0 && m_bStop.load()) {
        close(fd);
        fd = -1;
    }
    return fd;
}

int CPipeService::OpenNamePipeServer(const char* peerName) {
    if (peerName == nullptr || OpenOwnForWriting() != 0)
        return -1;
    m_peerOwner = CRuntimeFolder::kAnyOwner;
    m_peerPath = PathOf(peerName);
    const int fd = OpenPeerForReading(m_peerPath);
    if (fd < 0)
        return -1;
    m_fdClient = fd;
    return 0;
}

int CPipeService::OpenNamePipeClient(const char* peerName) {
    if (peerName == nullptr)
        return -1;
    m_peerOwner = 0;  // only root's service may talk to the window
    m_peerPath = PathOf(peerName);
    const int fd = OpenPeerForReading(m_peerPath);
    if (fd < 0)
        return -1;
    m_fdClient = fd;
    return OpenOwnForWriting();
}

bool CPipeService::WritePipe(const char* message) {
    if (!m_bIsopenPipe.load() || message == nullptr)
        return false;
    CLockGuard<MutexLock> guard(&m_pipeLock);
    const size_t total = strlen(message) + 1;
    size_t done = 0;
    while (done < total) {
        const ssize_t n = write(m_fdServer, message + done, total - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            // Never the message itself: a log-in carries the password in clear.
            printf("write error=%s (a message of %zu bytes)\n", strerror(errno), total - 1);
            return false;
        }
        // A signal may interrupt a long write part-way; the rest follows so the peer never sees
        // half a message glued to the next one.
        done += static_cast<size_t>(n);
    }
    return true;
}

bool CPipeService::WaitForStop(int ms) {
    if (m_bStop.load())
        return true;
    // Without a stop event poll() ignores the negative descriptor and simply sleeps.
    struct pollfd pfd = {m_stopFd, POLLIN, 0};
    poll(&pfd, 1, ms);
    return m_bStop.load();
}

void CPipeService::Split(const char* data, size_t len) {
    m_splitter.Feed(data, len, [this](CAutoString message) {
        AddMessageWaiting(std::move(message), kQueueWait);
    });
}

int CPipeService::LoopMsg() {
    StartMsgEngine();
    std::vector<char> buffer(kReadSize);
    while (m_fdClient >= 0 && !m_bStop.load()) {
        struct pollfd fds[2] = {{m_fdClient, POLLIN, 0}, {m_stopFd, POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            printf("pipe poll error=%s\n", strerror(errno));
            break;
        }
        if (fds[1].revents != 0)
            break;
        const ssize_t n = read(m_fdClient, buffer.data(), buffer.size());
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (n < 0) {
            printf("pipe read error=%s\n", strerror(errno));
            break;
        }
        if (n == 0) {
            // No writer: the peer has gone, maybe to come back. A fragment it left unfinished
            // must not be glued to the next peer's first message.
            const size_t dropped = m_splitter.Reset();
            if (dropped != 0)
                printf("pipe peer closed, %zu bytes of an unfinished message dropped\n", dropped);
            if (WaitForStop(1000) || !FollowReplacedPeer())
                break;
            continue;
        }
        fflush(stdout);
        Split(buffer.data(), static_cast<size_t>(n));
    }
    // The caller tears down what the handlers use once this returns: the message in progress
    // finishes first.
    StopMsgEngineAndWait();
    return -1;
}

bool CPipeService::FollowReplacedPeer() {
    struct stat named, held;
    if (stat(m_peerPath.c_str(), &named) != 0 || fstat(m_fdClient, &held) != 0)
        return true;
    if (named.st_dev == held.st_dev && named.st_ino == held.st_ino)
        return true;
    // A restarted peer that removed its FIFO at exit has made a new one; the old one will never
    // have a writer again. Something refused in its place leaves the old one in use.
    printf("pipe %s was replaced, reopening\n", m_peerPath.c_str());
    const int fd = OpenFifo(m_peerPath, O_RDONLY, m_peerOwner);
    if (fd < 0)
        return !m_bStop.load();
    close(m_fdClient);
    m_fdClient = fd;
    return true;
}

void CPipeService::StopLoop() {
    m_bStop.store(true);
    if (m_stopFd >= 0) {
        const uint64_t one = 1;
        if (write(m_stopFd, &one, sizeof(one)) < 0) {
            // Already signalled (the counter cannot overflow from these writes); nothing to do.
        }
    }
    ReleaseWaitingWriter();
}

void CPipeService::ReleaseWaitingWriter() {
    std::lock_guard<std::mutex> guard(m_openLock);
    if (m_openingPath.empty() || m_releaseFd >= 0)
        return;
    // A read end of our own completes the writer's open, whether it is inside open() already or
    // just about to enter it; the opener closes it again once its open has returned.
    m_releaseFd = open(m_openingPath.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
}

bool CPipeService::IgnoreBrokenPipeSignal() {
    struct sigaction action;
    memset(&action, 0, sizeof(action));
    action.sa_handler = SIG_IGN;
    sigemptyset(&action.sa_mask);
    return sigaction(SIGPIPE, &action, nullptr) == 0;
}

void CPipeService::DoMessage(CAutoString message) {
    IPipeCallback* callback = m_pCallback.load();
    if (callback != nullptr)
        callback->DoWorkOnPipe(message);
}
