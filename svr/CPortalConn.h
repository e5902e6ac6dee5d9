// CPortalConn: the service's one portal connection. Holds the portal configuration record and the
// connection state, carries out the conversations with the portal, and reports every state change
// to the client through the Portal business.
//
// Created by the Portal business at the first client start and destroyed at shut-down. Everything
// runs on the Portal work thread except GetNetState and PostLastNetStateMessage (message thread,
// at a client start) and Destroy (after the work thread has stopped).
#pragma once

#include "CAuthConfig.h"
#include "CAutoString.h"
#include "CPortalParser.h"
#include "HashBalance.h"
#include "INetConn.h"
#include "INetStateSink.h"
#include "LockBase.h"
#include "Task.h"

#include <cstdint>
#include <memory>

class CHttpData;
class ISvrInfoCenter;

class CPortalConn : public INetConn {
public:
    // sink receives every state message; infoCenter holds the values kept across restarts. Both
    // must outlive the connection; without them messages are dropped and stored values read as
    // empty. Nothing is read until Init.
    explicit CPortalConn(INetStateSink* sink = nullptr, ISvrInfoCenter* infoCenter = nullptr);
    virtual ~CPortalConn();
    // The parser holds the algorithm module and the sink is handed this object's messages.
    CPortalConn(const CPortalConn&) = delete;
    CPortalConn& operator=(const CPortalConn&) = delete;

    // ---- Connection state, start-up and state messages ------------------------------------

    virtual int Connect(const char* message);
    virtual int DisConnect(const char* reason);
    virtual bool IsPhisycalConnect() { return true; }
    virtual int CheckIP();
    virtual void ExitPrepare() {}

    // InitPortalConf, then the algorithm module's start; returns the latter's result.
    int Init();
    // Creates the configuration record and fills it from the information center. Returns 0.
    int InitPortalConf();
    void InitEnviromment() {}
    // Logs out with reason "7" when the store says this program holds a login.
    void Destroy();
    void Reset() {}
    void CheckWifiShare() {}

    ESTATE GetNetState() const;
    // The one place where the state changes. A pre-connecting report never displaces a connected
    // or pre-connected state; the states the client shows are posted, the others only stored.
    void NetStateChange(ESTATE eStateOld, ESTATE eStateNew, int iErrorcode, CAutoString subErrCode);
    // Remember and post a plain (sub-code) or extended (sub-type, extra text) message.
    void PostNetStateMessage(ESTATE eStateOld, ESTATE eStateNew, int iErrorcode,
                             CAutoString subErrCode);
    void PostNetStateMessageEx(ESTATE eStateOld, ESTATE eStateNew, int iErrorcode,
                               const char* pSubType, const char* pExtern);
    // Posts the remembered message again; nothing when none was posted yet.
    void PostLastNetStateMessage();
    // Reports a transport failure: the state becomes eState and an extended "HttpError" message
    // carries httpErrCode as signed decimal text. bStopAll is not used.
    void PostError(ESTATE eState, unsigned long code, unsigned long httpErrCode, int bStopAll);

    // The persisted "connState" flag: 1 while this program holds a portal login.
    int GetConnCfg();
    void SetConnCfg(int state);
    // Forgets the adapter addresses, so the next request reads them again.
    void ResetNetConfig();

    // ---- Request headers and algorithm renewal ----------------------------------------------

    // Header lines for a coded request body, from the configuration record (all texts empty while
    // there is none) and the body's checksum.
    CAutoString GetRequestHead(const CAutoString& body);
    // MD5 of the coded body up to its terminator, as 32 lower-case hexadecimal digits.
    CAutoString GetMD5FromPostData(const CAutoString& body);

    // Announces the algorithm renewal (30000104), then stores the answer's body as the new
    // container: 1 success, -1 refused or file error, 0 empty body.
    template <class HttpData>
    int32_t UpdateAlgoid(const HttpData* pData) {
        NetStateChange(ES_PRECONNECTING, ES_PRECONNECTING, 30000104, CAutoString(""));
        return m_portalParse.UpdateAlgoid(pData);
    }

    // ---- Accessors ----------------------------------------------------------------------------

    CAuthConfig* GetPortalConf() { return m_pPortalConf.get(); }
    CPortalParser& GetPortalParser() { return m_portalParse; }
    const CAutoString& GetRedirectUrl() const { return m_redirectUrl; }
    const CAutoString& GetRedirectUrlIpv6() const { return m_redirectUrlIpv6; }
    const CAutoString& GetDisasterUrl() const { return m_disasterUrl; }
    HashBalance& GetHashBalance4() { return m_hashBalance4; }
    HashBalance& GetHashBalance6() { return m_hashBalance6; }

    // Probe URLs used when the store names none.
    static constexpr const char* kDefaultRedirectUrl = "http://gateway.orvane.local/forward.cgi";
    static constexpr const char* kDefaultRedirectUrlIpv6 = "http://www.debian.org/";

    // ---- Login, keep-alive, state and logout ----------------------------------------------
    // Each conversation posts one request through RequestPortalServer (two sends at most) and
    // reports what the user sees through NetStateChange. Results for the task handlers:
    // 1 done, 2 the algorithm was renewed (queue the task again), 0 nothing to do or a tolerated
    // failure, -1 failure (already reported where a code exists), -8 intercepted, -14 the portal
    // ended the login, -99 the ticket URL moved to another server (check the network again).

    // Registers this client and obtains a ticket: 1, 2, -99, or -1/-3/-5/-7/-8 (reported).
    int _RequestTicket();
    // _RequestTicket, and on success stores the ticket and posts "TicketResp" with the QR text.
    int RequestTicket();
    // Rewrites userName by the portal's account/modify rule (add-domain, del-domain).
    void AccountTran();
    // Stores a parsed login (or state) answer in the record, the store and the information
    // center, and tells the client the account name ("SetValue" DialAccount).
    void SaveAuthResponse(const CAutoString& userName, int retry, const CAutoString& strKeepUrl,
                          const CAutoString& strTermUrl, const CAutoString& strUserConfig,
                          const CAutoString& strDomainConfig);
    // Applies the name servers of a "domain-config" text through the host: the host's result
    // (0, or the system error number, 13 refused), -1 when the text names no server. The servers
    // found before the first successful application are kept for RestoreDNS.
    int SetDNS(CAutoString& strDNS);
    // Puts back the name servers that the first successful SetDNS replaced. Nothing when no
    // application is in force.
    void RestoreDNS();
    // One keep-alive: 1 accepted, 0 tolerated failure, 2 repeat, -1 login lost or no URL,
    // -14 the portal ended the login.
    int KeepPluse();
    // Asks the portal whether this ticket holds a login: 1 adopted, 0 none yet or retry later,
    // 2 repeat, -1 not possible, -14 the login is over. bPostErr is not used.
    int CheckConnectState(int bPostErr);
    // The other terminals of the account: 1 with the "<response>" document in pXml, else 0.
    int TerminalRequestData(CAutoString& pXml);
    // Logs another terminal out (reason "8"); our own login and state are not touched. Returns
    // the last RequestPortalServer result other than 2.
    int TerminalTermRequest(CAutoString ticket);
    // Keep-alive failures still tolerated before the login counts as lost.
    int GetKeepRetry() const { return m_keepRetry; }
    const CAutoString& GetDNS1() const { return m_strDNS1; }
    const CAutoString& GetDNS2() const { return m_strDNS2; }

private:
    friend class CPortalConnTestAccess;  // lets the unit tests install a configuration record

    CAutoString LocalValue(const char* key);
    int LocalInt(const char* key);
    void ReadStoredValues(CAuthConfig& cfg);
    // Both expect m_stateLock held for writing.
    void RememberAndPost(ESTATE eStateOld, ESTATE eStateNew, int iErrorcode,
                         const CAutoString& subErrCode);
    void RememberAndPostEx(ESTATE eStateOld, ESTATE eStateNew, int iErrorcode, const char* pSubType,
                           const char* pExtern);

    CPortalParser m_portalParse;
    CAutoString m_redirectUrl;
    CAutoString m_redirectUrlIpv6;
    CAutoString m_configXML;
    CAutoString m_strDNS1;
    CAutoString m_strDNS2;
    int m_keepRetry = 0;  // keep-alive failures still tolerated
    // Guarded by m_stateLock: the state and the remembered last message.
    ESTATE m_eState = ES_NONE;
    ESTATE m_lastState = ES_NONE;
    ESTATE m_lastOldState = ES_NONE;
    int m_lastErrorcode = 0;
    CAutoString m_lastSubErrCode;
    int m_lastErrType = -1;  // -1 none yet, 0 plain, 1 extended
    CAutoString m_lastSubType;
    CAutoString m_lastExtern;
    std::unique_ptr<CAuthConfig> m_pPortalConf;
    HashBalance m_hashBalance4;
    HashBalance m_hashBalance6;
    CAutoString m_disasterUrl;  // kept lower-cased; no flow consults it yet
    mutable RWLock m_stateLock;
    RWLock m_requestTicketTry;
    INetStateSink* m_pSink;
    ISvrInfoCenter* m_pInfoCenter;

    // Builds the POST for one portal request (coded body, header lines, no redirects) and sends
    // it with the budget of two; body must stay alive until the call returns.
    int SendPortalRequest(OrvaneSvr::TaskItem verb, const CAutoString& url,
                          const CAutoString& body, uint64_t timeoutMs, CHttpData& data,
                          unsigned long& errCode, CAutoString& subErrCode);
    int ConnectResult(int ret, unsigned long code, const CAutoString& sub, CHttpData& data);
    int Connect105(const CHttpData& data, const CAutoString& sub);
    int AcceptLogin(const CHttpData& data);
    int KeepFailure(int ret, unsigned long code, const CAutoString& sub);
    int StateResult(int ret, unsigned long code, CHttpData& data);
    int DisConnectResult(int ret, unsigned long code, const CAutoString& sub);
    int TicketResult(int ret, unsigned long code, const CAutoString& sub, CHttpData& data);
    int SendTerminalQuery(CAutoString& pXml);

    // The name servers a login's application replaced, restored at logout; valid while
    // m_bDNSApplied. Kept apart from m_strDNS1/m_strDNS2 so that a second application (a new
    // login, a state query adopting the login) cannot lose the machine's own servers.
    CAutoString m_strRestoreDNS1;
    CAutoString m_strRestoreDNS2;
    bool m_bDNSApplied = false;
};
