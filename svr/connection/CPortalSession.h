// CPortalSession: the login itself. Obtains a ticket, logs the account in, keeps the login alive,
// asks the portal whether the ticket holds a login, and logs out. Stores what a login answer
// carries and applies its name servers through the name-server guard.
//
// A part of CPortalConn, which owns it and must outlive it; runs on the Portal work thread. The
// connection's public members of the same names document the results.
#pragma once

#include "CAutoString.h"
#include "ISvrInfoCenter.h"

struct CAuthConfig;
class CDnsGuard;
class CHttpData;
class CPortalConn;
class CServerSelector;

class CPortalSession {
public:
    CPortalSession(CPortalConn& conn, CServerSelector& selector, CDnsGuard& dnsGuard)
        : m_conn(conn), m_selector(selector), m_dnsGuard(dnsGuard) {}
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
    int StateResult(int ret, unsigned long code, CHttpData& data);
    int DisConnectResult(int ret, unsigned long code, const CAutoString& sub);

    CPortalConn& m_conn;
    CServerSelector& m_selector;
    CDnsGuard& m_dnsGuard;
    int m_keepRetry = 0;  // keep-alive failures still tolerated
};
