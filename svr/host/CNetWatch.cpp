#include "CNetWatch.h"

#include <errno.h>
#include <linux/rtnetlink.h>
#include <poll.h>
#include <sys/eventfd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <optional>
#include <system_error>

#include "CLog.h"
#include "CNetTables.h"

namespace {

using Clock = std::chrono::steady_clock;

// The watcher whose thread this is, so a Stop from its callback is recognised without reading the
// thread object the owner may be joining.
thread_local const CNetWatch* t_watcherOf = nullptr;

// A burst of notifications (a card going away withdraws addresses and routes one by one) is read
// once it has been quiet this long, and at the latest this long after its first message.
constexpr std::chrono::milliseconds kQuietTime(100);
constexpr std::chrono::milliseconds kLongestBurst(1000);
// After a failed reading of the tables the next try comes this much later.
constexpr std::chrono::milliseconds kRetryDelay(1000);

constexpr uint32_t kGroups =
    RTMGRP_LINK | RTMGRP_IPV4_IFADDR | RTMGRP_IPV6_IFADDR | RTMGRP_IPV4_ROUTE | RTMGRP_IPV6_ROUTE;

int MillisecondsUntil(const std::optional<Clock::time_point>& due) {
    if (!due)
        return -1;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(*due - Clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

}  // namespace

// When the tables are read next: nothing pending, or a burst being coalesced.
class CNetWatch::RereadSchedule {
public:
    void Notified(Clock::time_point now) {
        if (!m_burstEnd)
            m_burstEnd = now + kLongestBurst;
        m_due = std::min(now + kQuietTime, *m_burstEnd);
    }
    void RetryLater(Clock::time_point now) {
        m_burstEnd.reset();
        m_due = now + kRetryDelay;
    }
    bool Due(Clock::time_point now) const { return m_due && now >= *m_due; }
    void Done() {
        m_due.reset();
        m_burstEnd.reset();
    }
    const std::optional<Clock::time_point>& due() const { return m_due; }

private:
    std::optional<Clock::time_point> m_due;
    std::optional<Clock::time_point> m_burstEnd;
};

bool CNetWatch::Snapshot::operator==(const Snapshot& other) const {
    return up == other.up && card == other.card && ifindex == other.ifindex && ip4 == other.ip4 &&
           ip6 == other.ip6;
}

std::string CNetWatch::Snapshot::Describe() const {
    if (card.empty())
        return "down, no default route";
    return std::string(up ? "up" : "down") + ", card " + card + " (" + std::to_string(ifindex) +
           "), ip4 " + (ip4.empty() ? "none" : ip4) + ", ip6 " + (ip6.empty() ? "none" : ip6);
}

CNetWatch::~CNetWatch() {
    Stop();
}

bool CNetWatch::Start(Callback callback) {
    if (m_thread.joinable()) {
        SetError("the watcher already runs");
        return false;
    }
    std::string error;
    // Subscribed before the first reading, so no change between the two goes unheard.
    if (!m_events.Open(kGroups, &error) || !m_requests.Open(0, &error)) {
        SetError(error);
        return false;
    }
    Snapshot first;
    if (!CNetTables::Read(m_requests, &first, &error)) {
        SetError(error);
        return false;
    }
    m_stopEvent.Reset(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (m_stopEvent.get() < 0) {
        SetError(std::string("cannot make the stop event: ") + std::strerror(errno));
        return false;
    }
    m_callback = std::move(callback);
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_current = first;
        m_running = true;
        m_error.clear();
    }
    CLog::GetInst()->WriteLog(CLog::INFO, "[CNetWatch] network: %s", first.Describe().c_str());
    try {
        m_thread = std::thread(&CNetWatch::Run, this);
    } catch (const std::system_error& e) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_running = false;
        m_error = std::string("cannot start the watcher thread: ") + e.what();
        return false;
    }
    return true;
}

void CNetWatch::Stop() {
    const bool fromCallback = t_watcherOf == this;
    if (!fromCallback && !m_thread.joinable())
        return;
    const uint64_t one = 1;
    // Only fails when the counter would overflow, and then a stop is already pending.
    (void)!write(m_stopEvent.get(), &one, sizeof one);
    if (fromCallback)
        return;  // the loop ends once the callback returns
    m_thread.join();
    m_stopEvent.Close();
    m_events.Close();
    m_requests.Close();
}

CNetWatch::Snapshot CNetWatch::Current() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_current;
}

std::string CNetWatch::LastError() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_error;
}

bool CNetWatch::WaitUntilUp(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_upCond.wait_for(lock, timeout, [this] { return m_current.up || !m_running; });
    return m_current.up;
}

CNetWatch::Snapshot CNetWatch::Read(std::string* error) {
    CNetlinkSocket requests;
    Snapshot snapshot;
    std::string reason;
    if (!requests.Open(0, &reason) || !CNetTables::Read(requests, &snapshot, &reason)) {
        snapshot = Snapshot();
        if (error != nullptr)
            *error = reason;
    }
    return snapshot;
}

void CNetWatch::SetError(const std::string& error) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_error = error;
}

void CNetWatch::Run() {
    t_watcherOf = this;
    RereadSchedule schedule;
    while (WaitAndRecompute(schedule)) {
    }
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_running = false;
    }
    m_upCond.notify_all();
}

bool CNetWatch::WaitAndRecompute(RereadSchedule& schedule) {
    pollfd ready[2] = {{m_events.fd(), POLLIN, 0}, {m_stopEvent.get(), POLLIN, 0}};
    if (poll(ready, 2, MillisecondsUntil(schedule.due())) < 0 && errno != EINTR) {
        SetError(std::string("the watcher cannot wait: ") + std::strerror(errno));
        return false;
    }
    if (ready[1].revents != 0)
        return false;
    if ((ready[0].revents & (POLLHUP | POLLNVAL)) != 0) {
        SetError("the notification socket failed");
        return false;
    }
    if (ready[0].revents != 0) {
        bool overrun = false;
        if (m_events.Drain(&overrun) > 0 || overrun)
            schedule.Notified(Clock::now());
    }
    const Clock::time_point now = Clock::now();
    if (!schedule.Due(now))
        return true;
    schedule.Done();
    if (!Recompute())
        schedule.RetryLater(now);
    return true;
}

bool CNetWatch::Recompute() {
    Snapshot now;
    std::string error;
    if (!CNetTables::Read(m_requests, &now, &error)) {
        CLog::GetInst()->WriteLog(CLog::WARN, "[CNetWatch] cannot read the network: %s",
                                  error.c_str());
        SetError(error);
        return false;
    }
    Snapshot before;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_current == now)
            return true;
        before = m_current;
        m_current = now;
    }
    m_upCond.notify_all();
    CLog::GetInst()->WriteLog(CLog::INFO, "[CNetWatch] network: %s", now.Describe().c_str());
    if (m_callback)
        m_callback(before, now);
    return true;
}
