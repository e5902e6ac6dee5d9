#include "CTaskMgr.h"

#include "CLog.h"

namespace OrvaneSvr {

bool CTaskMgr::AddTask(const Task& task, size_t depth) {
    size_t waiting = 0;
    {
        std::lock_guard<std::mutex> guard(m_taskLock);
        waiting = m_taskList.size();
        if (waiting < depth && waiting < kMaxTasks)
            m_taskList.push_back(task);
    }
    if (waiting >= depth || waiting >= kMaxTasks) {
        // Logged after the queue lock is released: the queue lock stays the innermost one.
        CLog::GetInst()->WriteLog(CLog::WARN, "task %d refused: %zu tasks already wait",
                                  static_cast<int>(task.curTask), waiting);
        return false;
    }
    m_taskCond.notify_all();
    return true;
}

bool CTaskMgr::GetTask(Task& task) {
    std::lock_guard<std::mutex> guard(m_taskLock);
    if (m_taskList.empty())
        return false;
    // Only a strictly higher level displaces the candidate, so the oldest of the top level wins.
    auto best = m_taskList.begin();
    for (auto it = std::next(best); it != m_taskList.end(); ++it) {
        if (it->level > best->level)
            best = it;
    }
    task = *best;
    m_taskList.erase(best);
    return true;
}

void CTaskMgr::RemoveTask(TaskItem item) {
    std::lock_guard<std::mutex> guard(m_taskLock);
    m_taskList.remove_if([item](const Task& task) { return task.curTask == item; });
}

void CTaskMgr::RemoveAllTask() {
    std::lock_guard<std::mutex> guard(m_taskLock);
    m_taskList.clear();
}

size_t CTaskMgr::Size() {
    std::lock_guard<std::mutex> guard(m_taskLock);
    return m_taskList.size();
}

void CTaskMgr::WaitForTask(std::chrono::milliseconds timeout, const std::atomic<bool>* running) {
    std::unique_lock<std::mutex> guard(m_taskLock);
    m_taskCond.wait_for(guard, timeout, [this, running] {
        return !m_taskList.empty() || (running != nullptr && !running->load());
    });
}

void CTaskMgr::Wake() {
    // Taking the lock orders the flag change before a waiter's next look at its predicate.
    { std::lock_guard<std::mutex> guard(m_taskLock); }
    m_taskCond.notify_all();
}

}  // namespace OrvaneSvr
