#include "CSimpleThread.h"

#include <pthread.h>

#include <chrono>
#include <system_error>

CSimpleThread::~CSimpleThread() {
    Stop(0, true);
}

bool CSimpleThread::Run(ThreadFunc function, void* argument, std::atomic<bool>* pbRunCtrl) {
    if (pbRunCtrl != nullptr) {
        m_pbRunCtrl = pbRunCtrl;
        m_pbRunCtrl->store(true);
    }
    if (IsRunning())
        return false;
    Reap();
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_bFinished = false;
    }
    try {
        m_threadId = std::thread([this, function, argument] {
            if (!m_name.empty())
                pthread_setname_np(pthread_self(), m_name.substr(0, 15).c_str());
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                m_workerId = std::this_thread::get_id();
            }
            function(argument);
            std::lock_guard<std::mutex> lock(m_mutex);
            m_workerId = std::thread::id();
            m_bFinished = true;
            m_doneCond.notify_all();
        });
    } catch (const std::system_error&) {
        // Out of threads or memory: report it instead of letting the exception escape.
        std::lock_guard<std::mutex> lock(m_mutex);
        m_bFinished = true;
        return false;
    }
    return true;
}

void CSimpleThread::Stopping() {
    if (m_pbRunCtrl != nullptr)
        m_pbRunCtrl->store(false);
}

bool CSimpleThread::Stop(int timeoutMs, bool force) {
    Stopping();
    {
        // join() on the own thread would throw; the cleared flag ends the loop after this return.
        // Checked before m_threadId is read, which the owner may still be assigning.
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_workerId == std::this_thread::get_id())
            return false;
    }
    if (!m_threadId.joinable())
        return true;
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        const auto deadline = std::chrono::steady_clock::now() +
                              std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
        const bool ended = m_doneCond.wait_until(lock, deadline, [this] { return m_bFinished; });
        if (!ended && !force)
            return false;
        // Forced: the thread polls its run flag, so waiting for it is both safe and bounded.
        m_doneCond.wait(lock, [this] { return m_bFinished; });
    }
    Reap();
    return true;
}

bool CSimpleThread::IsRunning() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_threadId.joinable() && !m_bFinished;
}

void CSimpleThread::Reap() {
    if (m_threadId.joinable())
        m_threadId.join();
}
