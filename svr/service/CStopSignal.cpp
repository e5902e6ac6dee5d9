#include "CStopSignal.h"

#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cstdint>
#include <utility>

namespace {

sigset_t StopSet() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGHUP);
    return set;
}

}  // namespace

CStopSignal::CStopSignal(std::function<void()> onStop, std::function<void()> onGiveUp, int graceMs)
    : m_onStop(std::move(onStop)), m_onGiveUp(std::move(onGiveUp)), m_graceMs(graceMs) {}

bool CStopSignal::Install() {
    if (m_waiter.joinable())
        return true;
    sigset_t set = StopSet();
    if (pthread_sigmask(SIG_BLOCK, &set, nullptr) != 0)
        return false;
    m_signalFd = signalfd(-1, &set, SFD_CLOEXEC);
    m_quitFd = eventfd(0, EFD_CLOEXEC);
    if (m_signalFd < 0 || m_quitFd < 0) {
        pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
        return false;
    }
    m_waiter = std::thread(&CStopSignal::WaitLoop, this);
    return true;
}

CStopSignal::~CStopSignal() {
    if (m_waiter.joinable()) {
        const uint64_t one = 1;
        // An eventfd write fails only on counter overflow, which a single write cannot reach.
        (void)!write(m_quitFd, &one, sizeof one);
        m_waiter.join();
    }
    if (m_signalFd >= 0)
        close(m_signalFd);
    if (m_quitFd >= 0)
        close(m_quitFd);
}

void CStopSignal::WaitLoop() {
    pollfd fds[2] = {{m_signalFd, POLLIN, 0}, {m_quitFd, POLLIN, 0}};
    for (;;) {
        if (poll(fds, 2, -1) < 0)
            continue;  // EINTR: nothing to do but wait again
        if (fds[1].revents != 0)
            return;
        signalfd_siginfo info = {};
        if (read(m_signalFd, &info, sizeof info) != static_cast<ssize_t>(sizeof info))
            continue;
        if (m_onStop)
            m_onStop();
        AwaitEnd(static_cast<int>(info.ssi_signo));
        return;
    }
}

void CStopSignal::AwaitEnd(int signo) {
    pollfd quit = {m_quitFd, POLLIN, 0};
    if (poll(&quit, 1, m_graceMs) > 0)
        return;
    // The orderly end is stuck: end the way the signal would have ended the process.
    if (m_onGiveUp)
        m_onGiveUp();
    signal(signo, SIG_DFL);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, signo);
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
    raise(signo);
}
