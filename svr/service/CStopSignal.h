// CStopSignal: turns SIGTERM, SIGINT and SIGHUP into the service's orderly end.
//
// The stop signals are blocked in the installing thread and so in every thread started after it;
// a waiting thread of this class takes them from a signalfd and calls the stop action (the router
// ends its pipe loop), so the ordinary end runs on the main thread: businesses are told and the
// router removes its FIFO. If the process has not finished within kGraceMs of the signal, the
// signal's default action ends it as it would have without this class (after a last action).
#pragma once

#include <functional>
#include <thread>

class CStopSignal {
public:
    // Long enough for the portal request in progress to finish (a log-in: two sends of up to 15 s)
    // and for the logout that follows (two sends of up to 10 s), with room to spare.
    static constexpr int kGraceMs = 60000;

    // onStop runs once, on the waiting thread, when the first stop signal arrives. onGiveUp, when
    // set, runs on the same thread once kGraceMs have passed without the orderly end, right
    // before the signal's default action ends the process: the last chance to undo what must
    // not outlive it.
    // graceMs replaces kGraceMs (tests).
    explicit CStopSignal(std::function<void()> onStop, std::function<void()> onGiveUp = nullptr,
                         int graceMs = kGraceMs);
    // Ends the waiting thread (waiting for a running stop action). The signals stay blocked.
    ~CStopSignal();
    CStopSignal(const CStopSignal&) = delete;
    CStopSignal& operator=(const CStopSignal&) = delete;

    // Call before any other thread of the process exists, so that every later thread inherits the
    // blocked stop signals. False when the set-up failed; a stop signal then ends the process
    // with its default action.
    bool Install();

private:
    void WaitLoop();
    // Gives the orderly end m_graceMs; then ends the process with signo's default action.
    void AwaitEnd(int signo);

    std::function<void()> m_onStop;
    std::function<void()> m_onGiveUp;
    int m_graceMs;
    int m_signalFd = -1;
    int m_quitFd = -1;  // eventfd: written by the destructor to release the waiting thread
    std::thread m_waiter;
};
