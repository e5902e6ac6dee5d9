// CTableTimer: a small table of one-shot and periodic timer entries with one dispatch thread.
//
// A class that needs delayed or periodic work derives from it, adds entries identified by an
// integer id, and receives DoTimeTask(id, tag) on the dispatch thread when an entry falls due.
// Due times are whole seconds of the monotonic clock (steady_clock), so setting the time of day,
// by hand or by a time service, moves no entry. The dispatch thread sleeps on a condition variable
// until the earliest entry is due or the table changes.
//
// The callback runs with the table lock held. The lock is recursive, so a callback may add, remove,
// clear and query entries of the same timer; other threads doing so wait until it returns, so
// callbacks must be short. Lock order: the table lock may be held while other locks are taken.
#pragma once

#include <atomic>
#include <condition_variable>
#include <ctime>
#include <list>
#include <memory>
#include <mutex>

#include "CAutoString.h"
#include "CSimpleThread.h"

class CTableTimer {
public:
    struct TaskInfo {
        int m_timeId = 0;      // chosen by the caller; at most one entry per id
        int m_type = 0;        // 0: periodic (re-inserted each time it fires); other: one-shot
        time_t m_time = 0;     // absolute due time, seconds of the monotonic clock
        long m_dual = 0;       // delay of a one-shot entry, period of a periodic one (seconds)
        bool m_doing = false;  // kept for the record layout; nothing depends on it
        bool m_toDo = false;  // fire at the next insertion's current second instead of after m_dual
        CAutoString m_strTag;  // handed to the callback
    };

    CTableTimer() = default;
    // Stops the dispatch thread. A derived class must call DispatchTask(false) in its own
    // destructor, because the callbacks it overrides are gone by the time this one runs.
    virtual ~CTableTimer();
    CTableTimer(const CTableTimer&) = delete;
    CTableTimer& operator=(const CTableTimer&) = delete;

    // Called on the dispatch thread only (the one-argument form is never called by the table).
    virtual void DoTimeTask(int id) = 0;
    virtual void DoTimeTask(int id, CAutoString& tag) = 0;

    // true starts the dispatch thread (entries added before then fire once it runs); false stops
    // it and waits until it has ended, which includes a callback in progress. The exiting thread
    // empties the table. Stopping from inside a callback does not wait (it cannot wait for itself).
    void DispatchTask(bool start);

    // Adds an entry due now + interval, or at once when toDo is set. With an entry of the same id
    // present, replace true swaps it for the new one and replace false keeps the old one.
    void AddTask(int id, int type, bool toDo, long interval, bool replace);
    void AddTask(int id, int type, bool toDo, long interval, bool replace, const CAutoString& tag);
    // Removes the entry with that id, if any.
    void RemoveTask(int id);
    // Removes every entry.
    void ClearTask();
    // 1 when an entry with that id is in the table, else 0.
    int IsExistTask(int id);

protected:
    // Inserts entry in due order (ahead of entries due in the same second); see AddTask.
    void ReAddTask(std::unique_ptr<TaskInfo> entry, bool replace);

private:
    typedef std::list<std::unique_ptr<TaskInfo>> TaskList;

    static void* TaskDispatch(void* self);
    void DispatchLoop();

    TaskList m_TaskList;  // sorted by m_time, earliest first
    std::atomic<bool> m_bWorking{false};
    std::recursive_mutex m_taskLock;
    std::condition_variable_any m_taskCond;  // table changed or stop requested
    CSimpleThread m_threadObject{"timer"};
};
