// CPortalSession: the login itself. Obtains a ticket, logs the account in, keeps the login alive,
// asks the portal whether the ticket holds a login, and logs out. Stores what a login answer
// carries and applies its name servers through the name-server guard.
//
// A part of CPortalConn, which owns it and must outlive it, and reaches it as its IConnContext;
// runs on the Portal work thread. A ticket request without a ticket URL has the detector fetch
// the configuration first. The connection's public members of the same names document the
// results.
#pragma once

#include <chrono>
#include <functional>

#include "CAutoString.h"
#include "ISvrInfoCenter.h"

struct CAuthConfig;
class CDnsGuard;
class CHttpData;
class CPortalDetector;
class IConnContext;
class CServerSelector;

class CPortalSession {
public:
    CPortalSession(IConnContext& conn, CServerSelector& selector, CDnsGuard& dnsGuard,
                   CPortalDetector& detector)
        : m_conn(conn), m_selector(selector), m_dnsGuard(dnsGuard), m_detector(detector) {}
    // Holds references to its connection and its siblings.
    CPortalSession(const CPortalSession&) = delete;
    CPortalSession& operator=(const CPortalSession&) = delete;

    int RequestTicketOnce();
    int RequestTicket();
    void AccountTran();
    int Connect(const char* pXmlStr);
    void SaveAuthResponse(const CAutoString& userName, int retry, const CAutoString& strKeepUrl,
                          const CAutoString& strTermUrl, const CAutoString& strUserConfig,
                          const CAutoString& strDomainConfig);
    int KeepPluse();
    int CheckConnectState();
    int DisConnect(const char* pSrc);
    int GetKeepRetry() const { return m_keepRetry; }
    // Forgets keep-alive failures seen so far: after a resume or a link that came back, the
    // tolerance starts over.
    void ResetKeepFailures() { m_failingSince = {}; }
    // The monotonic clock the keep-alive tolerance is measured on; tests put in their own.
    using Clock = std::function<std::chrono::steady_clock::time_point()>;
    void SetClock(Clock clock) { m_clock = std::move(clock); }

    // A login counts as lost only after keep-alives have failed for at least this long (and for
    // the announced retries times the interval, when that is longer), with the link up.
    static constexpr std::chrono::seconds kMinKeepTolerance{30};

private:
    // Reports the ticket's progress steps; false (reported) when the adapter has no address.
    bool TakeAddresses(CAuthConfig& cfg);
    int TicketResult(int ret, unsigned long code, const CAutoString& sub, CHttpData& data);
    void PostTicket();
    int ConnectResult(int ret, unsigned long code, const CAutoString& sub, CHttpData& data);
    int Connect105(const CHttpData& data, const CAutoString& sub);
    int AcceptLogin(const CHttpData& data);
    // SaveAuthResponse without the store: the record, the memory values and the client's
    // message. Returns the local values the answer carries, for the caller to store.
    ISvrInfoCenter::LocalValues TakeAuthResponse(const CAutoString& userName, int retry,
                                                 const CAutoString& strKeepUrl,
                                                 const CAutoString& strTermUrl,
                                                 const CAutoString& strUserConfig,
                                                 const CAutoString& strDomainConfig);
    int KeepFailure(int ret, unsigned long code, const CAutoString& sub);
    // True while a keep-alive failure is still within the tolerance (always while the link is
    // down); false once the failures have lasted long enough to count the login as lost.
    bool KeepFailureTolerated();
    int StateResult(int ret, unsigned long code, CHttpData& data);
    int DisConnectResult(int ret, unsigned long code, const CAutoString& sub);

    IConnContext& m_conn;
    CServerSelector& m_selector;
    CDnsGuard& m_dnsGuard;
    CPortalDetector& m_detector;
    // Keep-alive failures tolerated by count, as the portal announced them (the retries of the
    // login + 1, then "keepRetry"); the time they span decides, see KeepFailure.
    int m_keepRetry = 0;
    // When the keep-alives began to fail (monotonic clock); empty while they succeed.
    std::chrono::steady_clock::time_point m_failingSince{};
    Clock m_clock = [] { return std::chrono::steady_clock::now(); };
};
