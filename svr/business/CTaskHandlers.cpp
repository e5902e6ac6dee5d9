#include "CTaskHandlers.h"

#include <string>

#include "CAuthConfig.h"
#include "CBusiness.h"
#include "CLog.h"
#include "CPortalConn.h"
#include "CPortalHostServices.h"
#include "CStayOnline.h"
#include "CTrafficSchedule.h"
#include "IPortalWork.h"

using OrvaneSvr::Task;

namespace {

// The client's business, target of every message to the client.
constexpr const char* kTarget = "Portal";

// text with the content of every "<ticket>" element cut down to what CLog::Abbreviate keeps.
std::string AbbreviateTickets(std::string text) {
    static const std::string kOpen = "<ticket>";
    static const std::string kClose = "</ticket>";
    size_t pos = 0;
    while ((pos = text.find(kOpen, pos)) != std::string::npos) {
        pos += kOpen.size();
        const size_t end = text.find(kClose, pos);
        if (end == std::string::npos)
            return text.substr(0, pos) + CLog::Abbreviate(text.substr(pos).c_str());
        const std::string shortened = CLog::Abbreviate(text.substr(pos, end - pos).c_str());
        text.replace(pos, end - pos, shortened);
        pos += shortened.size() + kClose.size();
    }
    return text;
}

CLog* Log() {
    return CLog::GetInst();
}

}  // namespace

CTaskHandlers::CTaskHandlers(IPortalWork& work, CPortalHostServices& host,
                             CTrafficSchedule& traffic, CStayOnline& online)
    : m_work(work), m_host(host), m_traffic(traffic), m_online(online) {}

void CTaskHandlers::SetOtherTicket(const CAutoString& ticket) {
    std::lock_guard<std::mutex> guard(m_ticketLock);
    m_otherTicket = ticket;
}

CAutoString CTaskHandlers::GetOtherTicket() {
    std::lock_guard<std::mutex> guard(m_ticketLock);
    return m_otherTicket;
}

void CTaskHandlers::SetLastLogoutReason(const CAutoString& reason) {
    std::lock_guard<std::mutex> guard(m_ticketLock);
    m_lastLogoutReason = reason;
}

CAutoString CTaskHandlers::LastLogoutReason() {
    std::lock_guard<std::mutex> guard(m_ticketLock);
    return m_lastLogoutReason;
}

void CTaskHandlers::DisConnect(const CAutoString& reason) {
    // A logout the user asked for, the shut-down and sharing end every recovery; the user's
    // logout also forgets the log-in, so nothing logs in again until the user does.
    if (reason == "2")
        m_online.AutoLogin().Forget();
    else if (reason == "6" || reason == "7")
        m_online.AutoLogin().Stop();
    // The report, once sent, queues the logout; without a report address it is queued at once.
    m_traffic.NetworkTraffic(CTrafficStatistics::LOGOUT, reason);
}

// ---- Task handlers -----------------------------------------------------------------------------
// Each handler makes at most one portal call and decides from its result what comes next. A
// result of 2 means the algorithm module was renewed: the task goes back into the queue as it is.

bool CTaskHandlers::RequeueRenewed(Task& task, CPortalConn& conn) {
    if (task.renewals < kMaxRenewalRequeues) {
        Task again = task;
        ++again.renewals;
        m_work.QueueTask(again);
        return true;
    }
    Log()->WriteLog(CLog::WARN, "task %d renewed %d times in a row, given up",
                    static_cast<int>(task.curTask), task.renewals);
    if (task.curTask == OrvaneSvr::auth || task.curTask == OrvaneSvr::term) {
        conn.NetStateChange(INetConn::ES_CONNECTING, INetConn::ES_CONNECTFAIL, 150003,
                            CAutoString(""));
    } else {
        conn.NetStateChange(INetConn::ES_PRECONNECTING, INetConn::ES_PRECONNECTFAIL, 150003,
                            CAutoString(""));
    }
    return false;
}

void CTaskHandlers::checkNet(Task& task) {
    (void)task;
    Log()->WriteLog(CLog::INFO, "check net status start");
    CPortalConn* conn = m_work.GetPortalConn();
    if (conn == nullptr || !LinkIsUp(*conn))
        return;
    conn->NetStateChange(INetConn::ES_PRECONNECTING, INetConn::ES_PRECONNECTING, 30000101,
                         CAutoString(""));
    if (!ReadAddresses(*conn))
        return;
    conn->SetServerIp();
    AfterProbe(*conn, conn->RequestConfig(0));
}

bool CTaskHandlers::LinkIsUp(CPortalConn& conn) {
    if (m_online.IsLinkUp())
        return true;
    // Nothing to detect without a link: the link's return starts the check again.
    Log()->WriteLog(CLog::INFO, "no link or default route: waiting for the network");
    conn.ReportOffline(CStayOnline::kNetworkDown, CAutoString(""));
    // A console run that may not log in by itself ends here, as a failed detection.
    if (m_online.AutoLogin().Persistent() && !m_online.AutoLoginEnabled())
        m_online.ReportFinal(conn, 20010204);
    return false;
}

bool CTaskHandlers::ReadAddresses(CPortalConn& conn) {
    if (!m_host.HasActiveCard()) {
        Log()->WriteLog(CLog::INFO, "no valid net card");
        conn.NetStateChange(INetConn::ES_PRECONNECTING, INetConn::ES_PRECONNECTFAIL, 20010204,
                            CAutoString(""));
        m_bPortalEnv = 0;
        conn.ExitPrepare();
        m_online.AttemptFailed(20010204);
        return false;
    }
    CAutoString ip4(""), ip6(""), mac("");
    CAuthConfig* cfg = conn.GetPortalConf();
    if (m_host.GetIpAndMac(cfg, ip4, ip6, mac) != 1) {
        conn.NetStateChange(INetConn::ES_PRECONNECTING, INetConn::ES_PRECONNECTFAIL, 150107,
                            CAutoString(""));
        m_online.AttemptFailed(150107);
        return false;
    }
    if (cfg != nullptr) {
        cfg->ip4 = ip4;
        cfg->ip6 = ip6;
        cfg->mac = mac;
    }
    return true;
}

void CTaskHandlers::AfterProbe(CPortalConn& conn, int found) {
    if (found == 1) {
        m_bPortalEnv = 1;
        conn.ResetNetConfig();
        Log()->WriteLog(CLog::INFO, "[CTaskHandlers::checkNet]reqTicket...");
        m_work.QueueTask(OrvaneSvr::reqTicket, OrvaneSvr::normal, CAutoString(""));
    } else if (found == -1) {
        m_bPortalEnv = 0;
        Log()->WriteLog(CLog::INFO, "check net status is fail");
        conn.NetStateChange(INetConn::ES_PRECONNECTING, INetConn::ES_PRECONNECTFAIL, 20010207,
                            CAutoString(""));
        m_online.AttemptFailed(20010207);
    } else if (found == 0) {
        if (conn.GetConnCfg() == 1) {
            // A login of an earlier run is still open: end it, then look at the network again.
            Log()->WriteLog(CLog::INFO, "net is connected,now disconnect");
            Task logout;
            logout.curTask = OrvaneSvr::term;
            logout.nextTask = OrvaneSvr::checkNet;
            logout.tag = "5";
            m_work.QueueTask(logout);
        } else {
            m_work.ChangeToUnknowEnv();
        }
    }
}

void CTaskHandlers::checkUnknowNet(Task& task) {
    (void)task;
    Log()->WriteLog(CLog::INFO, "checkUnknowNet");
    if (IsPortalEnv()) {
        Log()->WriteLog(CLog::INFO, "checkUnknowNet return portal env");
        return;
    }
    CPortalConn* conn = m_work.GetPortalConn();
    if (conn == nullptr)
        return;
    const int found = conn->RequestConfig(0);
    if (found == 1) {
        Log()->WriteLog(CLog::INFO, "env change to portal");
        m_work.QueueTask(OrvaneSvr::reqTicket, OrvaneSvr::normal, CAutoString(""));
    } else if (found == 0) {
        Log()->WriteLog(CLog::INFO, "env still unknow env");
        m_work.QueueTask(OrvaneSvr::reqState, OrvaneSvr::normal, CAutoString(""));
    } else {
        m_work.Arm(OrvaneSvr::checkUnknowNet, kUnknownNetProbe, false, true);
    }
}

void CTaskHandlers::reqConfig(Task& task) {
    // Configuration is fetched by checkNet and checkUnknowNet; this item has nothing to do.
    (void)task;
}

void CTaskHandlers::reqTicket(Task& task) {
    CPortalConn* conn = m_work.GetPortalConn();
    if (conn == nullptr)
        return;
    int ret = conn->RequestTicket();
    if (ret == 2 && !RequeueRenewed(task, *conn))
        ret = -1;  // as for a refused container
    if (ret == 2)
        return;
    if (ret == -99) {
        m_work.QueueTask(OrvaneSvr::checkNet, OrvaneSvr::normal, CAutoString(""));
    } else if (ret == 1) {
        const CAuthConfig& cfg = *conn->GetPortalConf();
        // A fresh ticket before this one expires; meanwhile the account state is polled.
        m_work.Arm(OrvaneSvr::reqTicket, cfg.expire, false, true);
        m_work.Arm(OrvaneSvr::reqState, static_cast<long>(cfg.stateInterval), true, false);
        if (m_online.AutoLogin().Active()) {
            Log()->WriteLog(CLog::INFO, "ticket obtained: logging in again");
            m_work.QueueTask(OrvaneSvr::auth, OrvaneSvr::high, m_online.AutoLogin().Login());
        }
    } else {
        m_online.AttemptFailed(conn->LastErrorCode());
    }
}

void CTaskHandlers::reqState(Task& task) {
    CPortalConn* conn = m_work.GetPortalConn();
    if (conn == nullptr)
        return;
    int ret = conn->CheckConnectState(1);
    if (ret == 2 && !RequeueRenewed(task, *conn))
        ret = -1;  // as for a refused container
    if (ret == 2)
        return;
    if (ret == 1) {
        m_bPortalEnv = 1;
        m_online.SetOffline(false);
        m_online.RecoveryDone();
        StartKeepAlive(*conn->GetPortalConf());
    } else if (ret == -14) {
        m_work.StopTask(OrvaneSvr::pluse);
        m_work.StopTask(OrvaneSvr::checkWifi);
        m_work.StopTask(OrvaneSvr::termForWifi);
        m_work.StopTask(OrvaneSvr::trafficStatistics);
        m_host.RestoreDNS();  // the login is over: its name servers go with it
        m_traffic.LoginEnded();
        m_work.QueueTask(OrvaneSvr::reqTicket, OrvaneSvr::normal, CAutoString(""));
    } else if (ret != -1) {
        m_work.Arm(OrvaneSvr::reqState, static_cast<long>(conn->GetPortalConf()->stateInterval),
                   false, false);
    }
}

void CTaskHandlers::auth(Task& task) {
    // The tag holds the account and password: it is never written to the log.
    CPortalConn* conn = m_work.GetPortalConn();
    if (conn == nullptr)
        return;
    if (conn->GetNetState() == INetConn::ES_CONNECTED &&
        (task.tag == m_online.AutoLogin().Login() || m_online.AutoLogin().Persistent())) {
        // The console's own log-in and a recovery's can meet on one ticket.
        Log()->WriteLog(CLog::INFO, "already logged in with this log-in");
        return;
    }
    int ret = conn->Connect(task.tag.c_str());
    if (ret == 2 && !RequeueRenewed(task, *conn))
        ret = -1;  // as for a refused container
    if (ret == 2)
        return;
    if (ret == 1) {
        m_bPortalEnv = 1;
        m_online.SetOffline(false);
        // Kept in memory only, for logging in again after an end the user did not ask for.
        m_online.AutoLogin().Remember(task.tag);
        m_online.RecoveryDone();
        StartKeepAlive(*conn->GetPortalConf());
        m_traffic.NetworkTraffic(CTrafficStatistics::LOGIN, CAutoString(""));
    } else if (!m_online.AttemptFailed(conn->LastErrorCode())) {
        m_work.QueueTask(OrvaneSvr::reqTicket, OrvaneSvr::high, CAutoString(""));
    }
}

void CTaskHandlers::StartKeepAlive(const CAuthConfig& cfg) {
    m_work.StopTask(OrvaneSvr::reqTicket);
    m_work.StopTask(OrvaneSvr::reqState);
    m_work.Arm(OrvaneSvr::pluse, cfg.iInterval, true, true);
    if (cfg.checkWifiInterval != 0)
        m_work.Arm(OrvaneSvr::checkWifi, 2, false, true);
}

void CTaskHandlers::term(Task& task) {
    Log()->WriteLog(CLog::INFO, "logout reason %s", task.tag.c_str());
    CPortalConn* conn = m_work.GetPortalConn();
    if (conn == nullptr)
        return;
    // Recorded before the state messages go out, so whoever reads them can name the cause.
    SetLastLogoutReason(task.tag);
    int ret = conn->DisConnect(task.tag.c_str());
    if (ret == 2 && !RequeueRenewed(task, *conn))
        ret = -1;  // as for a refused container
    if (ret == 2)
        return;
    const bool lost = task.tag == "3" || task.tag == "4";
    if (lost) {
        // Whatever the portal answered, this login is over for the machine.
        m_work.StopTask(OrvaneSvr::pluse);
        m_online.SetOffline(false);
        m_host.RestoreDNS();
    }
    if (ret == 1) {
        m_work.StopTask(OrvaneSvr::pluse);
        m_work.StopTask(OrvaneSvr::checkWifi);
        m_work.StopTask(OrvaneSvr::termForWifi);
    }
    if (lost && m_online.StartRecovery(task.tag == "3" ? 150108 : 150010))
        return;
    // A logout the user asked for (2) or the shut-down (7) needs no ticket for a next login.
    if (ret == 1 && task.tag != "2" && task.tag != "7")
        m_work.QueueTask(OrvaneSvr::reqTicket, OrvaneSvr::normal, CAutoString(""));
}

bool CTaskHandlers::AddressMoved(CPortalConn& conn) {
    CAuthConfig* cfg = conn.GetPortalConf();
    if (cfg == nullptr || cfg->ip4.IsEmpty())
        return false;
    const CAutoString ticketAddress = cfg->ip4;
    CAutoString ip4(""), ip6(""), mac("");
    if (m_host.GetIpAndMac(cfg, ip4, ip6, mac) != 1 || ip4 == ticketAddress)
        return false;
    // The default route moved before the network watcher's notice came through: the ticket
    // belongs to the old address and is not used from the new one. The notice (queued at once
    // here as well) starts the new log-in; the keep-alive is tried again meanwhile.
    Log()->WriteLog(CLog::INFO, "address %s is not the ticket's %s: keep-alive held back",
                    ip4.c_str(), ticketAddress.c_str());
    m_work.QueueTask(OrvaneSvr::netChange, OrvaneSvr::mostHigh, CAutoString(""));
    m_work.Arm(OrvaneSvr::pluse, 1, false, true);
    return true;
}

void CTaskHandlers::pluse(Task& task) {
    Log()->WriteLog(CLog::INFO, "pulse");
    CPortalConn* conn = m_work.GetPortalConn();
    if (conn == nullptr)
        return;
    m_online.AfterResume(*conn);
    if (!m_online.IsLinkUp()) {
        // Nothing gets through; the link's return sends the next keep-alive.
        Log()->WriteLog(CLog::INFO, "no link: keep-alive waits for the network");
        return;
    }
    if (AddressMoved(*conn))
        return;
    int ret = conn->KeepPluse();
    if (ret == 2 && !RequeueRenewed(task, *conn))
        ret = -1;  // as for a refused container
    if (ret == 2)
        return;
    if (ret == 1 && m_online.IsLinkUp() &&
        (m_online.TakeOffline() || conn->GetNetState() != INetConn::ES_CONNECTED)) {
        // The portal kept the login while the network was away: the same login goes on.
        Log()->WriteLog(CLog::INFO, "keep-alive accepted again: still logged in");
        conn->NetStateChange(INetConn::ES_CONNECTING, INetConn::ES_CONNECTED, 1, CAutoString(""));
        m_online.RecoveryDone();
    }
    if (ret == 0 || ret == 1) {
        m_work.Arm(OrvaneSvr::pluse, conn->GetPortalConf()->iInterval, false, true);
    } else if (ret == -14 || ret == -10) {
        // The portal ended the login (14) or no longer knows it (10, 13).
        m_work.StopTask(OrvaneSvr::pluse);
        m_online.SetOffline(false);
        m_host.RestoreDNS();
        conn->SetConnCfg(0);
        if (!m_online.StartRecovery(ret == -14 ? 14 : conn->LastErrorCode()))
            m_work.QueueTask(OrvaneSvr::reqState, OrvaneSvr::normal, CAutoString(""));
    } else {
        m_work.StopTask(OrvaneSvr::pluse);
        m_work.QueueTask(OrvaneSvr::term, OrvaneSvr::normal, CAutoString("3"));
    }
}

void CTaskHandlers::checkWifi(Task& task) {
    (void)task;
    CPortalConn* conn = m_work.GetPortalConn();
    CAuthConfig* cfg = conn != nullptr ? conn->GetPortalConf() : nullptr;
    // Without a list there is nothing to enforce until the next login brings one.
    if (cfg == nullptr || cfg->againstList.IsEmpty())
        return;
    cfg->checkResult = m_host.CheckWiFiShare(cfg->againstList.c_str());
    if (cfg->checkResult != 0) {
        m_work.StopTask(OrvaneSvr::checkWifi);
        // A pending forced logout keeps its time: a second finding does not postpone it.
        m_work.Arm(OrvaneSvr::termForWifi, static_cast<long>(cfg->logoutDelay), false, false);
        Log()->WriteLog(CLog::INFO, "%s", m_host.SharingDisplayName());
    } else {
        m_work.Arm(OrvaneSvr::checkWifi, static_cast<long>(cfg->checkWifiInterval), false, true);
    }
}

void CTaskHandlers::termForWifi(Task& task) {
    (void)task;
    DisConnect(CAutoString("6"));
}

void CTaskHandlers::TerminalRequestFun(Task& task) {
    (void)task;
    CPortalConn* conn = m_work.GetPortalConn();
    if (conn == nullptr)
        return;
    CAutoString list("");
    const int ret = conn->TerminalRequestData(list);
    if (ret != 1) {
        Log()->WriteLog(CLog::INFO, "TerminalRequestData request error:ret:%d", ret);
        return;
    }
    const CAuthConfig& cfg = *conn->GetPortalConf();
    // The list is the portal's markup; the two values are text and are escaped.
    CAutoString tail;
    tail.Format("<host>%s</host><ticket>%s</ticket>", CBusiness::EscapeValue(cfg.hostName).c_str(),
                CBusiness::EscapeValue(cfg.strTicket).c_str());
    m_work.PostMsg(kTarget, "SetTerminalData", (list + tail).c_str());
    // The list names the other terminals by their tickets; no ticket is logged whole.
    Log()->WriteLog(CLog::INFO, "post TERMINAL_RESP param is %s",
                    AbbreviateTickets((list + tail).ToStdString()).c_str());
}

void CTaskHandlers::TerminalTermRequestFun(Task& task) {
    (void)task;
    CPortalConn* conn = m_work.GetPortalConn();
    if (conn == nullptr)
        return;
    const int ret = conn->TerminalTermRequest(GetOtherTicket());
    if (ret == 1) {
        // The client receives the list without the terminal it just logged out.
        m_work.QueueTask(OrvaneSvr::terminal, OrvaneSvr::high, CAutoString(""));
        return;
    }
    CAutoString code;
    code.Format("<code>%d</code>", ret);
    m_work.PostMsg(kTarget, "TerminalTermReturn", code.c_str());
}
