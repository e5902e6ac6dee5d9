// CServerSelector: how a portal request reaches a portal server. Gives a coded request its header
// lines, sends it, reads the portal's verdict from the answer's headers, handles an algorithm
// renewal and an answer the gateway intercepted, and moves a URL to another server of the cluster.
//
// A part of CPortalConn, which owns it and must outlive it, and reaches it as its IConnContext.
// Everything runs on the Portal work
// thread except RefillServerLists (message thread, at a client start); the two server lists have
// their own lock for that reason. The connection's public members of the same names document the
// results.
#pragma once

#include "CAutoString.h"
#include "HashBalance.h"
#include "Task.h"

#include <cstdint>
#include <mutex>

struct CAuthConfig;
class CHttpData;
class IConnContext;

class CServerSelector {
public:
    explicit CServerSelector(IConnContext& conn) : m_conn(conn) {}
    // Holds a reference to its connection and hands out references to its lists.
    CServerSelector(const CServerSelector&) = delete;
    CServerSelector& operator=(const CServerSelector&) = delete;

    // Time limits of the portal requests, in milliseconds.
    static constexpr uint64_t kShortRequestMs = 10000;
    static constexpr uint64_t kLoginRequestMs = 15000;
    static constexpr uint64_t kTerminalListMs = 15000;
    // Resends after a renewal answer that is neither stored nor refused.
    static constexpr int kMaxRenewalResends = 2;

    // The local time every request document carries.
    static CAutoString RequestTime();

    int RequestPortalServer(OrvaneSvr::TaskItem verb, CHttpData* pData, unsigned long& errCode,
                            CAutoString& subErrCode, int httpRetry);
    // Builds the POST for one portal request (coded body, header lines, no redirects) and sends
    // it with the budget of two; body must stay alive until the call returns. An empty body (a
    // document the builder refused) is not sent: -1 with errCode 0.
    int SendPortalRequest(OrvaneSvr::TaskItem verb, const CAutoString& url, const CAutoString& body,
                          uint64_t timeoutMs, CHttpData& data, unsigned long& errCode,
                          CAutoString& subErrCode);
    static bool IsRequestRedirect(const CHttpData* phttpData);
    static int GetErrorCode(CHttpData& httpData, CAutoString& subErrCode);
    CAutoString GetRequestHead(const CAutoString& body);
    static CAutoString GetMD5FromPostData(const CAutoString& body);

    bool GetNewServerIP(CAutoString& url);
    void SetServerIp();
    void RefillServerLists();
    // Loads both lists from the record's stored lists, at start-up.
    void LoadServerLists(const CAuthConfig& cfg);
    // After a configuration fetch: stores the list held so far and loads the fetched one whole.
    void UpdateServerList();

    HashBalance& GetHashBalance4() { return m_hashBalance4; }
    HashBalance& GetHashBalance6() { return m_hashBalance6; }

private:
    // Renewal branch of RequestPortalServer: 2 renewed, -2 reported, 0 send again.
    int HandleRenewal(OrvaneSvr::TaskItem verb, CHttpData* pData, int& failures, int& others);
    void HandleIntercepted(OrvaneSvr::TaskItem verb, const CHttpData* pData);

    IConnContext& m_conn;
    HashBalance m_hashBalance4;
    HashBalance m_hashBalance6;
    // Guards the two server lists and the record's server-list texts: the work thread moves
    // requests between servers while a client start may refill the lists.
    std::mutex m_serverLock;
};
