#include "CMsgEngine.h"

#include "CLog.h"

#include <utility>

namespace {
// The engine whose consumer runs on this thread, so calls made from DoMessage are recognised
// without touching the thread object that another thread may be joining.
thread_local const CMsgEngine* t_consumerOf = nullptr;
}  // namespace

CMsgEngine::~CMsgEngine() {
    StopMsgEngineAndWait();
}

bool CMsgEngine::AddMessage(CAutoString message) {
    return AddMessageWaiting(std::move(message), std::chrono::milliseconds(0));
}

bool CMsgEngine::AddMessageWaiting(CAutoString message, std::chrono::milliseconds maxWait) {
    {
        std::unique_lock<std::recursive_mutex> lock(m_msgLock);
        if (maxWait.count() > 0) {
            m_roomCond.wait_for(lock, maxWait,
                                [this] { return m_MsgQueue.size() < kMaxQueuedMessages; });
        }
        if (m_MsgQueue.size() < kMaxQueuedMessages) {
            m_MsgQueue.push_back(std::move(message));
            m_msgCond.notify_one();
            return true;
        }
    }
    // Logged outside the queue lock: the log has its own, and a handler may be logging.
    CLog::GetInst()->WriteLog(CLog::WARN, "message refused: %zu messages already wait (%u bytes)",
                              kMaxQueuedMessages, message.GetLength());
    return false;
}

void CMsgEngine::StartMsgEngine() {
    if (t_consumerOf == this) {
        // A handler restarted its own engine before its consumer saw the stop: the consumer
        // simply carries on.
        std::lock_guard<std::recursive_mutex> lock(m_msgLock);
        m_Running.store(true);
        return;
    }
    std::lock_guard<std::mutex> threadLock(m_threadLock);
    if (m_Running.load())
        return;
    // An earlier consumer that was told to stop may still be finishing its last message; it must
    // be gone before a new one starts, or two consumers would reorder messages.
    if (m_consumer.joinable())
        m_consumer.join();
    {
        std::lock_guard<std::recursive_mutex> lock(m_msgLock);
        m_Running.store(true);
    }
    m_consumer = std::thread(&CMsgEngine::DealMessageThread, this);
}

void CMsgEngine::StopMsgEngine() {
    // The flag changes under the queue lock so a consumer about to wait cannot miss the wake-up.
    std::lock_guard<std::recursive_mutex> lock(m_msgLock);
    m_Running.store(false);
    m_msgCond.notify_all();
}

void CMsgEngine::StopMsgEngineAndWait() {
    StopMsgEngine();
    if (t_consumerOf == this)
        return;
    std::lock_guard<std::mutex> threadLock(m_threadLock);
    if (m_consumer.joinable())
        m_consumer.join();
}

size_t CMsgEngine::PendingMessages() {
    std::lock_guard<std::recursive_mutex> lock(m_msgLock);
    return m_MsgQueue.size();
}

bool CMsgEngine::GetMessage(CAutoString& out) {
    std::unique_lock<std::recursive_mutex> lock(m_msgLock);
    m_msgCond.wait(lock, [this] { return !m_Running.load() || !m_MsgQueue.empty(); });
    if (!m_Running.load())
        return false;
    out = std::move(m_MsgQueue.front());
    m_MsgQueue.pop_front();
    m_roomCond.notify_all();
    return true;
}

void CMsgEngine::DealMessageThread() {
    t_consumerOf = this;
    CAutoString message;
    while (GetMessage(message)) {
        DoMessage(message);
    }
}
