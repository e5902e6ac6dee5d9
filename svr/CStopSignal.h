// CStopSignal: turns SIGTERM, SIGINT and SIGHUP into the service's orderly end.
//
// The service's main thread spends its life blocked in the pipe opens and reads. A stop signal is
// taken by a waiting thread (the signals are blocked everywhere else), which then interrupts the
// main thread with a signal whose handler does nothing, so the blocked open or read fails and the
// ordinary end runs: businesses are told, the router removes its FIFO. If the main thread has not
// finished within kGraceMs, the signal's default action ends the process as it would have without
// this class.
#pragma once

#include <atomic>
#include <pthread.h>
#include <thread>

class CStopSignal {
public:
    static constexpr int kGraceMs = 3000;
    static constexpr int kKickMs = 100;

    CStopSignal() = default;
    // Stops the waiting thread; the signals stay blocked in the calling thread.
    ~CStopSignal();
    CStopSignal(const CStopSignal&) = delete;
    CStopSignal& operator=(const CStopSignal&) = delete;

    // Call on the main thread before any other thread exists, so every later thread inherits the
    // blocked stop signals. The calling thread is the one interrupted. False when the set-up
    // failed; the process then ends on a stop signal as before.
    bool Install();
    // True once a stop signal has arrived.
    bool StopRequested() const { return m_stopSignal.load() != 0; }

private:
    void WaitLoop();
    void KickUntilDone(int signo);

    pthread_t m_mainThread{};
    int m_signalFd = -1;
    int m_quitFd = -1;  // eventfd: written by the destructor to end the waiting thread
    std::atomic<int> m_stopSignal{0};
    std::thread m_waiter;
};
