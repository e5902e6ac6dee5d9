#include "CStayOnline.h"

#include <time.h>

#include <cstdlib>
#include <string>

#include "CLog.h"
#include "CPortalConn.h"
#include "CPortalHostServices.h"
#include "IPortalWork.h"
#include "ISvrInfoCenter.h"

using OrvaneSvr::Task;

namespace {

// How long the first keep-alive after a resume waits for the network to come back.
constexpr std::chrono::seconds kResumeWait{15};
// A boot-time lead of the monotonic clock that grew by this much means the machine slept.
constexpr long kSleepThreshold = 5;

// Seconds the machine has spent suspended since boot (CLOCK_BOOTTIME counts them, the monotonic
// clock does not); -1 when either clock cannot be read.
long SecondsAsleep() {
    timespec boot{}, mono{};
    if (clock_gettime(CLOCK_BOOTTIME, &boot) != 0 || clock_gettime(CLOCK_MONOTONIC, &mono) != 0)
        return -1;
    return static_cast<long>(boot.tv_sec - mono.tv_sec);
}

CLog* Log() {
    return CLog::GetInst();
}

}  // namespace

CStayOnline::CStayOnline(IPortalWork& work, CPortalHostServices& host, bool watchNetwork)
    : m_work(work), m_host(host), m_watchNetwork(watchNetwork) {}

bool CStayOnline::IsLinkUp() {
    return !m_netWatch || m_netWatch->Current().up;
}

void CStayOnline::StopNetWatch() {
    if (m_netWatch)
        m_netWatch->Stop();
}

void CStayOnline::AttemptNow() {
    m_work.StopTask(OrvaneSvr::checkNet);
    m_work.ArmOnce(OrvaneSvr::checkNet, 0, true, true, CAutoString());
}

bool CStayOnline::AutoLoginEnabled() {
    ISvrInfoCenter* info = m_work.GetInfoCenter();
    const CAutoString value = info != nullptr ? info->GetLocalValue("autoLogin") : CAutoString("");
    return value.IsEmpty() || std::strtol(value.c_str(), nullptr, 10) != 0;
}

void CStayOnline::ReportFinal(CPortalConn& conn, int cause) {
    Log()->WriteLog(CLog::INFO, "not logging in again (code %d)", cause);
    conn.NetStateChange(INetConn::ES_CONNECTING, INetConn::ES_CONNECTFAIL, kRecoveryStopped,
                        CAutoString(std::to_string(cause).c_str()));
}

bool CStayOnline::StartRecovery(int cause) {
    CPortalConn* conn = m_work.GetPortalConn();
    if (conn == nullptr)
        return false;
    if (!AutoLoginEnabled() || !m_autoLogin.Begin(cause)) {
        ReportFinal(*conn, cause);
        return false;
    }
    Log()->WriteLog(CLog::INFO, "login ended (code %d): logging in again by itself", cause);
    ScheduleAttempt();
    return true;
}

void CStayOnline::ScheduleAttempt() {
    CPortalConn* conn = m_work.GetPortalConn();
    if (conn == nullptr)
        return;
    m_work.StopTask(OrvaneSvr::checkNet);
    if (!IsLinkUp()) {
        conn->ReportOffline(kNetworkDown, CAutoString(""));
        return;
    }
    const long delay = m_autoLogin.NextDelay();
    Log()->WriteLog(CLog::INFO, "next log-in attempt in %ld s", delay);
    conn->ReportOffline(kLoggingInAgain, CAutoString(std::to_string(delay).c_str()));
    m_work.ArmOnce(OrvaneSvr::checkNet, delay, delay == 0, true, CAutoString());
}

bool CStayOnline::AttemptFailed(int code) {
    CPortalConn* conn = m_work.GetPortalConn();
    if (conn == nullptr)
        return false;
    if (!m_autoLogin.Active()) {
        // The console keeps trying from its first attempt on; the window's user decides.
        if (!m_autoLogin.Persistent())
            return false;
        if (!AutoLoginEnabled()) {
            ReportFinal(*conn, code);
            return false;
        }
        m_autoLogin.Begin(code);
        m_autoLogin.NextDelay();  // the attempt that failed was the immediate one
    }
    if (!CAutoLogin::Retryable(code)) {
        m_autoLogin.Stop();
        ReportFinal(*conn, code);
        // Ready for a log-in by hand with other credentials.
        m_work.QueueTask(OrvaneSvr::reqTicket, OrvaneSvr::high, CAutoString(""));
        return true;
    }
    Log()->WriteLog(CLog::INFO, "log-in attempt failed (code %d)", code);
    ScheduleAttempt();
    return true;
}

void CStayOnline::RecoveryDone() {
    if (!m_autoLogin.Active())
        return;
    Log()->WriteLog(CLog::INFO, "online again after code %d", m_autoLogin.Cause());
    m_autoLogin.Stop();
}

bool CStayOnline::HoldsLogin(CPortalConn& conn) {
    return m_offline.load() || conn.GetNetState() == INetConn::ES_CONNECTED;
}

void CStayOnline::StartNetWatch() {
    if (!m_watchNetwork)
        return;
    m_netWatch = std::make_unique<CNetWatch>();
    const bool started = m_netWatch->Start(
        [this](const CNetWatch::Snapshot& before, const CNetWatch::Snapshot& now) {
            // The window hears of a lost link at once, even while the work thread still waits on
            // a request that cannot get through; the task does the rest.
            CPortalConn* conn = m_work.GetPortalConn();
            if (before.up && !now.up && conn != nullptr && HoldsLogin(*conn)) {
                m_offline = true;  // the state no longer says connected: this remembers it
                conn->ReportOffline(kNetworkDown, CAutoString(""));
            }
            m_work.QueueTask(OrvaneSvr::netChange, OrvaneSvr::mostHigh, CAutoString(""));
        });
    if (!started) {
        // Without the kernel's notices the service works as before: no link is assumed lost.
        Log()->WriteLog(CLog::WARN, "network changes not watched: %s",
                        m_netWatch->LastError().c_str());
        m_netWatch.reset();
        return;
    }
    m_lastUpNet = m_netWatch->Current();
}

void CStayOnline::netChange(Task& task) {
    (void)task;
    CPortalConn* conn = m_work.GetPortalConn();
    if (conn == nullptr || !m_netWatch)
        return;
    const CNetWatch::Snapshot now = m_netWatch->Current();
    const CNetWatch::Snapshot before = m_lastUpNet;
    if (!now.up) {
        if (before.up)
            OnLinkLost(*conn);
        m_lastUpNet.up = false;  // the card and addresses stay, to compare with on return
        return;
    }
    m_lastUpNet = now;
    const bool moved = !before.card.empty() && (now.card != before.card || now.ip4 != before.ip4 ||
                                                (now.ip4.empty() && now.ip6 != before.ip6));
    if (moved)
        OnNetworkMoved(*conn, before, now);
    else if (!before.up)
        OnLinkBack(*conn);
}

void CStayOnline::OnLinkLost(CPortalConn& conn) {
    Log()->WriteLog(CLog::INFO, "network down (no carrier or no default route)");
    if (HoldsLogin(conn)) {
        // Keep-alives wait for the link; the portal may well keep the login meanwhile.
        m_offline = true;
        m_work.StopTask(OrvaneSvr::pluse);
        conn.ResetKeepFailures();
    }
    if (m_autoLogin.Active())
        m_work.StopTask(OrvaneSvr::checkNet);
    const bool told = conn.LastErrorCode() == kNetworkDown;  // by the watcher, at once
    if (!told &&
        (m_offline.load() || m_autoLogin.Active() || conn.GetNetState() != INetConn::ES_NONE))
        conn.ReportOffline(kNetworkDown, CAutoString(""));
}

void CStayOnline::OnLinkBack(CPortalConn& conn) {
    Log()->WriteLog(CLog::INFO, "network up again");
    if (m_offline.load()) {
        // A keep-alive now tells whether the portal kept the login.
        conn.ResetKeepFailures();
        m_work.Arm(OrvaneSvr::pluse, 0, true, true);
    } else if (m_autoLogin.Active()) {
        AttemptNow();
    } else if (conn.GetNetState() != INetConn::ES_NONE) {
        m_work.CheckNetStatus(0);
    }
}

void CStayOnline::OnNetworkMoved(CPortalConn& conn, const CNetWatch::Snapshot& before,
                                 const CNetWatch::Snapshot& now) {
    Log()->WriteLog(CLog::INFO, "network changed: card %s -> %s, address %s -> %s",
                    before.card.c_str(), now.card.c_str(), before.ip4.c_str(), now.ip4.c_str());
    if (HoldsLogin(conn)) {
        // A new address or card is a new network: the old ticket is not used from it.
        m_work.StopAllTask();
        m_offline = false;
        m_host.RestoreDNS();
        conn.SetConnCfg(0);
        if (!StartRecovery(150108))
            m_work.CheckNetStatus(0);
    } else if (m_autoLogin.Active()) {
        AttemptNow();
    } else if (conn.GetNetState() != INetConn::ES_NONE) {
        m_work.CheckNetStatus(0);
    }
}

void CStayOnline::AfterResume(CPortalConn& conn) {
    const long asleep = SecondsAsleep();
    const long before = m_sleptSeconds;
    m_sleptSeconds = asleep;
    if (asleep < 0 || before < 0 || asleep - before < kSleepThreshold)
        return;
    Log()->WriteLog(CLog::INFO, "resumed after %ld s of sleep", asleep - before);
    conn.ResetKeepFailures();
    if (m_netWatch && !m_netWatch->WaitUntilUp(kResumeWait))
        Log()->WriteLog(CLog::INFO, "network not back %ld s after the resume",
                        static_cast<long>(kResumeWait.count()));
}
