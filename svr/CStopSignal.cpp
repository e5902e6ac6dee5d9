#include "CStopSignal.h"

#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>

namespace {

// The interrupting signal; its handler only exists so that a blocked call returns EINTR.
constexpr int kKickSignal = SIGUSR2;

void IgnoreKick(int) {}

sigset_t StopSet() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGHUP);
    return set;
}

}  // namespace

bool CStopSignal::Install() {
    if (m_waiter.joinable()) return true;
    struct sigaction kick = {};
    kick.sa_handler = IgnoreKick;  // no SA_RESTART: the blocked call must fail with EINTR
    sigemptyset(&kick.sa_mask);
    if (sigaction(kKickSignal, &kick, nullptr) != 0) return false;

    sigset_t set = StopSet();
    if (pthread_sigmask(SIG_BLOCK, &set, nullptr) != 0) return false;
    m_signalFd = signalfd(-1, &set, SFD_CLOEXEC);
    m_quitFd = eventfd(0, EFD_CLOEXEC);
    if (m_signalFd < 0 || m_quitFd < 0) {
        pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
        return false;
    }
    m_mainThread = pthread_self();
    m_waiter = std::thread(&CStopSignal::WaitLoop, this);
    return true;
}

CStopSignal::~CStopSignal() {
    if (m_waiter.joinable()) {
        const uint64_t one = 1;
        if (write(m_quitFd, &one, sizeof one) != static_cast<ssize_t>(sizeof one)) {
            // An eventfd write only fails on overflow, which one write cannot reach.
        }
        m_waiter.join();
    }
    if (m_signalFd >= 0) close(m_signalFd);
    if (m_quitFd >= 0) close(m_quitFd);
}

void CStopSignal::WaitLoop() {
    pollfd fds[2] = {{m_signalFd, POLLIN, 0}, {m_quitFd, POLLIN, 0}};
    for (;;) {
        if (poll(fds, 2, -1) < 0) continue;  // EINTR only: our kick is never sent here
        if (fds[1].revents != 0) return;
        signalfd_siginfo info = {};
        if (read(m_signalFd, &info, sizeof info) != static_cast<ssize_t>(sizeof info)) continue;
        m_stopSignal.store(static_cast<int>(info.ssi_signo));
        KickUntilDone(static_cast<int>(info.ssi_signo));
        return;
    }
}

// Interrupts the main thread until it finishes (the destructor writes the eventfd); a kick can
// land between two blocking calls, hence the repetition.
void CStopSignal::KickUntilDone(int signo) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kGraceMs);
    pollfd quit = {m_quitFd, POLLIN, 0};
    while (std::chrono::steady_clock::now() < deadline) {
        pthread_kill(m_mainThread, kKickSignal);
        if (poll(&quit, 1, kKickMs) > 0) return;
    }
    // The main thread is stuck somewhere a kick cannot reach: end as the signal would have.
    signal(signo, SIG_DFL);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, signo);
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
    raise(signo);
}
