// CTaskMgr: the Portal business's task queue. Tasks are held by value in order of insertion;
// GetTask hands out the highest level first and, within a level, the oldest.
//
// Any thread may add and remove; the work thread is the one consumer. Every operation holds the
// queue lock for its whole duration and calls nothing outside the queue while holding it, so the
// lock is always the innermost one: the table timer may append from inside its callback (timer
// lock held), and the queue lock is never held while the timer lock is taken.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <list>
#include <mutex>

#include "Task.h"

namespace OrvaneSvr {

class CTaskMgr {
public:
    typedef std::list<Task> TaskList;

    // Tasks that may wait at once. The service's own chains hold one or two tasks per item, so
    // a full queue means a flood; what comes beyond is refused.
    static constexpr size_t kMaxTasks = 64;
    // Depth used for tasks asked for over the pipe, so a flood of requests leaves room for the
    // tasks the service queues itself (keep-alive, logout).
    static constexpr size_t kMaxRequestTasks = kMaxTasks / 2;

    CTaskMgr() = default;
    CTaskMgr(const CTaskMgr&) = delete;
    CTaskMgr& operator=(const CTaskMgr&) = delete;

    // Appends a copy and returns true; the same item may be queued any number of times. When
    // depth (at most kMaxTasks) tasks already wait the task is refused with a log line: false.
    bool AddTask(const Task& task, size_t depth = kMaxTasks);
    // Copies out and removes the oldest task of the highest level queued; false when empty.
    bool GetTask(Task& task);
    // Removes every queued task whose curTask is item (nextTask is not looked at).
    void RemoveTask(TaskItem item);
    // Empties the queue.
    void RemoveAllTask();
    size_t Size();

    // Waits at most timeout until a task is queued or *running is false (running may be null).
    // Returns at once when either already holds. A waiter is woken by AddTask and by Wake.
    void WaitForTask(std::chrono::milliseconds timeout, const std::atomic<bool>* running);
    // Wakes every waiter so it looks at its run flag again (clear the flag first).
    void Wake();

private:
    TaskList m_taskList;
    std::mutex m_taskLock;
    std::condition_variable m_taskCond;
};

}  // namespace OrvaneSvr
