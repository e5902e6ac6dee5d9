#include "CTaskMgr.h"

namespace OrvaneSvr {

void CTaskMgr::AddTask(const Task& task) {
    {
        std::lock_guard<std::mutex> guard(m_taskLock);
        m_taskList.push_back(task);
    }
    m_taskCond.notify_all();
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
