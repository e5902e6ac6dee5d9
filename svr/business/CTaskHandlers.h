// CTaskHandlers: the Portal business's task handlers, the steps of its task machine. Each makes
// at most one portal call through the connection and decides from its result what comes next:
// tasks queued, timer entries armed or stopped, the recovery told. It also keeps what the
// handlers remember between tasks: whether the machine stands behind the portal, the ticket of the
// terminal to log out, and the reason of the last logout.
//
// A part of CPortalServer, which owns it and must outlive it, and reaches it as its IPortalWork;
// the host services, the traffic schedule and the recovery are its siblings, declared before it.
//
// Threads: the handlers run on the work thread, one at a time. The portal flag, the terminal
// ticket and the logout reason are read and written from any thread (the last two under the
// ticket lock, which is innermost).
#pragma once

#include <atomic>
#include <mutex>

#include "CAutoString.h"
#include "Task.h"

struct CAuthConfig;
class CPortalConn;
class CPortalHostServices;
class CStayOnline;
class CTrafficSchedule;
class IPortalWork;

class CTaskHandlers {
public:
    // Requeues in a row of a task whose request keeps being answered with a renewal.
    static constexpr int kMaxRenewalRequeues = 3;
    // Delay of the re-probe while the network is open but not logged on by this service.
    static constexpr int kUnknownNetProbe = 5;

    CTaskHandlers(IPortalWork& work, CPortalHostServices& host, CTrafficSchedule& traffic,
                  CStayOnline& online);
    // Holds references to its business and its siblings.
    CTaskHandlers(const CTaskHandlers&) = delete;
    CTaskHandlers& operator=(const CTaskHandlers&) = delete;

    // ---- The handlers of the items of the same names (work thread) ---------------------------
    void checkNet(OrvaneSvr::Task& task);
    void checkUnknowNet(OrvaneSvr::Task& task);
    void reqConfig(OrvaneSvr::Task& task);
    void reqTicket(OrvaneSvr::Task& task);
    void reqState(OrvaneSvr::Task& task);
    void auth(OrvaneSvr::Task& task);
    void term(OrvaneSvr::Task& task);
    void pluse(OrvaneSvr::Task& task);
    // True (and the keep-alive held back) when the card's address is no longer the one the
    // ticket was issued to.
    bool AddressMoved(CPortalConn& conn);
    void checkWifi(OrvaneSvr::Task& task);
    void termForWifi(OrvaneSvr::Task& task);
    void TerminalRequestFun(OrvaneSvr::Task& task);
    void TerminalTermRequestFun(OrvaneSvr::Task& task);

    // Logout with reason, preceded by the traffic report when one is configured; see
    // CPortalServer::DisConnect. Message thread and work thread.
    void DisConnect(const CAutoString& reason);

    // The machine is known to stand behind the portal. Any thread.
    bool IsPortalEnv() const { return m_bPortalEnv.load() != 0; }
    void SetPortalEnv(bool portal) { m_bPortalEnv = portal ? 1 : 0; }
    // The ticket of the terminal that the next terminalTerm task logs out. Any thread.
    void SetOtherTicket(const CAutoString& ticket);
    CAutoString GetOtherTicket();
    // The reason of the last logout task run (its tag); empty before the first. Any thread.
    void SetLastLogoutReason(const CAutoString& reason);
    CAutoString LastLogoutReason();

private:
    // checkNet's steps: false when the check ends there (already reported).
    bool LinkIsUp(CPortalConn& conn);
    bool ReadAddresses(CPortalConn& conn);
    // What the network check does with the probe's result.
    void AfterProbe(CPortalConn& conn, int found);
    // A login is in place (own or adopted): ticket renewal and state poll end, keep-alive starts
    // now and the sharing check in 2 s.
    void StartKeepAlive(const CAuthConfig& cfg);
    // The task again at the end of the queue: an immediate retry after a renewed container. After
    // kMaxRenewalRequeues in a row the renewal counts as failed instead: 150003 is reported as
    // for a refused container and false returned, so the handler takes its failure path.
    bool RequeueRenewed(OrvaneSvr::Task& task, CPortalConn& conn);

    IPortalWork& m_work;
    CPortalHostServices& m_host;
    CTrafficSchedule& m_traffic;
    CStayOnline& m_online;
    std::atomic<int> m_bPortalEnv{0};
    std::mutex m_ticketLock;
    CAutoString m_otherTicket;           // guarded by m_ticketLock
    CAutoString m_lastLogoutReason{""};  // guarded by m_ticketLock
};
