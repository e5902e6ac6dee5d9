// CSimpleThread: holds one worker thread at a time, driven by a single owner thread.
//
// The run flag handed to Run() is written by the owner and polled by the thread's loop; it is
// atomic so the two sides never race. A thread that does not stop in time is never killed:
// Stop(..., force) waits for it, which is safe because every loop in this system polls its flag.
#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

class CSimpleThread {
public:
    typedef void* (*ThreadFunc)(void*);

    // name (at most 15 characters are kept) is given to each thread started, so that the
    // system's tools (top -H, /proc/PID/task/*/comm) tell the threads apart; null leaves the
    // program's name.
    explicit CSimpleThread(const char* name = nullptr) : m_name(name ? name : "") {}
    // Stops the thread (waiting for it) so the thread never outlives the holder. The holder must
    // not be destroyed by its own thread.
    ~CSimpleThread();
    CSimpleThread(const CSimpleThread&) = delete;
    CSimpleThread& operator=(const CSimpleThread&) = delete;

    // Starts function(argument). A non-null run flag is remembered and set to true. Returns false
    // without starting anything while an earlier thread is still running; an earlier thread that
    // has finished is reaped first. Returns true when the thread was created, false when the
    // system refused to create one.
    bool Run(ThreadFunc function, void* argument, std::atomic<bool>* pbRunCtrl = nullptr);
    // Sets the run flag (if any) to false.
    void Stopping();
    // Stopping(), then waits up to timeoutMs for the thread to end. True when it ended in time,
    // or when force is set (then it waits as long as the thread takes). False otherwise; the
    // thread keeps running and Stop may be called again. Called from the held thread itself it
    // only clears the run flag and returns false: a thread cannot wait for its own end.
    bool Stop(int timeoutMs, bool force);
    // True while a started thread has not finished its function.
    bool IsRunning() const;

private:
    void Reap();

    const std::string m_name;
    std::thread m_threadId;
    std::atomic<bool>* m_pbRunCtrl = nullptr;
    mutable std::mutex m_mutex;
    std::condition_variable m_doneCond;
    bool m_bFinished = true;
    std::thread::id m_workerId;  // the held thread while it runs its function
};
