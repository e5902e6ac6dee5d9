#include "CTableTimer.h"

#include <chrono>
#include <utility>

namespace {
// The timer whose dispatch thread runs on this thread, to recognise a stop from inside a callback.
thread_local const CTableTimer* t_dispatchOf = nullptr;

// Now in whole seconds of the monotonic clock, the clock of every due time.
time_t Now() {
    const auto since = std::chrono::steady_clock::now().time_since_epoch();
    return static_cast<time_t>(std::chrono::duration_cast<std::chrono::seconds>(since).count());
}

std::chrono::steady_clock::time_point TimePoint(time_t seconds) {
    return std::chrono::steady_clock::time_point(std::chrono::seconds(seconds));
}
}  // namespace

CTableTimer::~CTableTimer() {
    DispatchTask(false);
}

void CTableTimer::DispatchTask(bool start) {
    if (start) {
        m_threadObject.Run(&CTableTimer::TaskDispatch, this, &m_bWorking);
        return;
    }
    {
        // Cleared under the lock so a dispatcher about to wait cannot miss the wake-up.
        std::lock_guard<std::recursive_mutex> lock(m_taskLock);
        m_bWorking.store(false);
        m_taskCond.notify_all();
    }
    if (t_dispatchOf == this)
        return;
    // The dispatcher wakes at once; only a callback in progress can hold it up, and waiting for it
    // keeps callbacks from running on an object that is being destroyed.
    m_threadObject.Stop(0, true);
}

void CTableTimer::AddTask(int id, int type, bool toDo, long interval, bool replace) {
    AddTask(id, type, toDo, interval, replace, CAutoString());
}

void CTableTimer::AddTask(int id, int type, bool toDo, long interval, bool replace,
                          const CAutoString& tag) {
    std::unique_ptr<TaskInfo> entry(new TaskInfo);
    entry->m_timeId = id;
    entry->m_type = type;
    entry->m_toDo = toDo;
    entry->m_dual = interval;
    entry->m_time = Now();
    entry->m_strTag = tag;
    ReAddTask(std::move(entry), replace);
}

void CTableTimer::ReAddTask(std::unique_ptr<TaskInfo> entry, bool replace) {
    if (!entry)
        return;
    std::lock_guard<std::recursive_mutex> lock(m_taskLock);
    for (auto it = m_TaskList.begin(); it != m_TaskList.end(); ++it) {
        if ((*it)->m_timeId != entry->m_timeId)
            continue;
        if (!replace)
            return;  // the earlier entry stays as it was
        m_TaskList.erase(it);
        break;
    }
    entry->m_time = Now();
    if (entry->m_toDo) {
        entry->m_toDo = false;
    } else if (entry->m_type == 0 && entry->m_dual < 1) {
        // A periodic entry with no period would fire back to back forever with the lock held.
        entry->m_time += 1;
    } else {
        entry->m_time += entry->m_dual;
    }
    auto pos = m_TaskList.begin();
    while (pos != m_TaskList.end() && (*pos)->m_time < entry->m_time)
        ++pos;
    m_TaskList.insert(pos, std::move(entry));
    m_taskCond.notify_all();
}

void CTableTimer::RemoveTask(int id) {
    std::lock_guard<std::recursive_mutex> lock(m_taskLock);
    for (auto it = m_TaskList.begin(); it != m_TaskList.end(); ++it) {
        if ((*it)->m_timeId == id) {
            m_TaskList.erase(it);
            return;
        }
    }
}

void CTableTimer::ClearTask() {
    std::lock_guard<std::recursive_mutex> lock(m_taskLock);
    m_TaskList.clear();
}

int CTableTimer::IsExistTask(int id) {
    std::lock_guard<std::recursive_mutex> lock(m_taskLock);
    for (const auto& entry : m_TaskList) {
        if (entry->m_timeId == id)
            return 1;
    }
    return 0;
}

void* CTableTimer::TaskDispatch(void* self) {
    static_cast<CTableTimer*>(self)->DispatchLoop();
    return nullptr;
}

void CTableTimer::DispatchLoop() {
    t_dispatchOf = this;
    std::unique_lock<std::recursive_mutex> lock(m_taskLock);
    while (m_bWorking.load()) {
        if (m_TaskList.empty()) {
            m_taskCond.wait(lock);
            continue;
        }
        const time_t due = m_TaskList.front()->m_time;
        if (due > Now()) {
            // A change of the table wakes it early; setting the time of day does not wake it.
            m_taskCond.wait_until(lock, TimePoint(due));
            continue;
        }
        std::unique_ptr<TaskInfo> entry = std::move(m_TaskList.front());
        m_TaskList.pop_front();
        const int id = entry->m_timeId;
        // The callback gets its own copy of the tag: it may remove or replace the entry itself.
        CAutoString tag = entry->m_strTag;
        // A periodic entry is due again one period from now, so a late firing delays later ones.
        if (entry->m_type == 0)
            ReAddTask(std::move(entry), true);
        DoTimeTask(id, tag);
        // Back to the top without waiting, so entries due together fire back to back.
    }
    m_TaskList.clear();
    t_dispatchOf = nullptr;
}
