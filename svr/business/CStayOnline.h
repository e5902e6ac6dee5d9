// CStayOnline: the Portal business's recovery from every end of a login the user did not ask
// for (keep-alive lost, intercepted, ended or forgotten by the portal, a new network): it logs in
// again by itself with the last log-in request, paced by CAutoLogin, and follows the network
// watcher's events to know when the link is there to try. It reports the service's own offline
// codes (150120 waiting for the network, 150121 logging in again, 150122 no new attempt).
//
// A part of CPortalServer, which owns it and must outlive it, and reaches it as its IPortalWork;
// the host services (declared before it) undo a login's name servers.
//
// Threads: the recovery steps and the network events run on the work thread; StartNetWatch on
// the message thread before the work thread starts, StopNetWatch at shut-down; IsLinkUp, the
// offline flag and the log-in record (CAutoLogin is thread-safe) from any thread. The watcher's
// own thread only queues netChange tasks.
#pragma once

#include <atomic>
#include <chrono>
#include <memory>

#include "CAutoLogin.h"
#include "CAutoString.h"
#include "CNetWatch.h"
#include "Task.h"

class CPortalConn;
class CPortalHostServices;
class IPortalWork;

class CStayOnline {
public:
    // Codes of the service's own offline reports (texts in conf/code.xml).
    static constexpr int kNetworkDown = 150120;      // no carrier or no default route: waiting
    static constexpr int kLoggingInAgain = 150121;   // sub-code: seconds to the next attempt
    static constexpr int kRecoveryStopped = 150122;  // sub-code: the code that ended the login

    // watchNetwork: listen to the kernel's link, address and route changes (see
    // CPortalServer::HostPaths).
    CStayOnline(IPortalWork& work, CPortalHostServices& host, bool watchNetwork);
    // Holds references to its business and its sibling.
    CStayOnline(const CStayOnline&) = delete;
    CStayOnline& operator=(const CStayOnline&) = delete;

    // The "autoLogin" store value: 1 (the default) logs in again by itself.
    bool AutoLoginEnabled();
    // A login ended without being asked for (cause: the error code of the end): a recovery starts
    // when a log-in is remembered and the store allows it; otherwise the end is reported as final
    // (150122 with the cause) and false returned, so the caller goes on as without recovery.
    bool StartRecovery(int cause);
    // 150122: no new attempt follows; the sub-code names the code that ended the login.
    void ReportFinal(CPortalConn& conn, int cause);
    // The next attempt of a recovery: armed after the back-off delay and announced (150121 with
    // the delay); while the link is down it waits for the link instead (150120).
    void ScheduleAttempt();
    // An attempt failed with code: the next one is scheduled, or, for a refusal that retrying
    // cannot mend, the recovery ends (150122) and a ticket is fetched for a log-in by hand.
    // False when no recovery was under way (the caller then does what it did before).
    bool AttemptFailed(int code);
    // The recovery reached a login (its own or one the portal still held).
    void RecoveryDone();
    // After a suspend (the boot-time clock ran ahead of the monotonic one) the first keep-alive
    // waits, bounded, for carrier and a default route, and the keep-alive tolerance starts over.
    void AfterResume(CPortalConn& conn);

    // Starts the network watcher when the network is watched; its events become netChange tasks.
    void StartNetWatch();
    // No network event queues work any more. Safe to call repeatedly.
    void StopNetWatch();
    // The netChange task: the network the watcher sees now against the one last seen up.
    void netChange(OrvaneSvr::Task& task);
    // True while the card of the default route has carrier and there is a default route (also
    // when the network is not watched). Any thread.
    bool IsLinkUp();

    // The log-in to make again and the pace of the attempts. Any thread.
    CAutoLogin& AutoLogin() { return m_autoLogin; }
    // The link is down while a login is held: keep-alives wait for it. Any thread.
    bool Offline() const { return m_offline.load(); }
    void SetOffline(bool offline) { m_offline = offline; }
    // Clears the flag and says whether it was set.
    bool TakeOffline() { return m_offline.exchange(false); }

private:
    // The machine holds a login at the portal as far as this service knows, link down or not.
    bool HoldsLogin(CPortalConn& conn);
    // The network watcher's events, on the work thread.
    void OnLinkLost(CPortalConn& conn);
    void OnLinkBack(CPortalConn& conn);
    void OnNetworkMoved(CPortalConn& conn, const CNetWatch::Snapshot& before,
                        const CNetWatch::Snapshot& now);
    // A recovery's attempt is due now: a pending one is replaced by an immediate network check.
    void AttemptNow();

    IPortalWork& m_work;
    CPortalHostServices& m_host;
    const bool m_watchNetwork;
    CAutoLogin m_autoLogin;
    // Null unless the network is watched; started with the machine, stopped before its threads.
    std::unique_ptr<CNetWatch> m_netWatch;
    // Work thread only: the network last seen up (to tell a new network from the old one coming
    // back), and the boot-time lead of the monotonic clock at the last keep-alive (it grows
    // across a suspend).
    CNetWatch::Snapshot m_lastUpNet;
    std::atomic<bool> m_offline{false};
    long m_sleptSeconds = -1;
};
