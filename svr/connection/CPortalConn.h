// CPortalConn: the service's one portal connection. Holds the portal configuration record and the
// connection state, carries out the conversations with the portal, and reports every state change
// to the client through the Portal business.
//
// Created by the Portal business at the first client start and destroyed at shut-down. Everything
// runs on the Portal work thread except GetNetState, PostLastNetStateMessage and RefillServerLists
// (message thread, at a client start) and Destroy (after the work thread has stopped).
//
// This class is the facade that the task handlers and the tests use. It keeps the shared parts:
// the configuration record, the algorithm parser, the state and the last state message, the host
// and the store. The conversations live in parts by concern: detection and configuration
// (CPortalDetector), sending and server selection (CServerSelector), the login session
// (CPortalSession), the other terminals (CTerminalRequests) and the name servers (CDnsGuard).
// The parts reach the shared ones through IConnContext, which this class implements; none of them
// knows this class, so the dependencies run one way: CPortalConn, its parts, that interface.
#pragma once

#include "CAuthConfig.h"
#include "CAutoString.h"
#include "CDnsGuard.h"
#include "CPortalDetector.h"
#include "CPortalParser.h"
#include "CPortalSession.h"
#include "CServerSelector.h"
#include "CTerminalRequests.h"
#include "HashBalance.h"
#include "IConnContext.h"
#include "INetConn.h"
#include "IPortalHost.h"
#include "ISvrInfoCenter.h"
#include "LockBase.h"
#include "Task.h"

#include <cstdint>
#include <memory>

class CHttpData;
class ISvrInfoCenter;

class CPortalConn : public INetConn, private IConnContext {
public:
    // host is the owning business: it receives every state message and message to the client and
    // answers for the adapter, the resolver and the environment switches. infoCenter holds the
    // values kept across restarts. Both must outlive the connection; without them messages are
    // dropped, host requests do nothing and stored values read as empty. Nothing is read until
    // Init.
    explicit CPortalConn(IPortalHost* host = nullptr, ISvrInfoCenter* infoCenter = nullptr);
    virtual ~CPortalConn();
    // The parser holds the algorithm module and the host is handed this object's messages.
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

    ESTATE GetNetState() const override;
    // The one place where the state changes. A pre-connecting report never displaces a connected
    // or pre-connected state; the states the client shows are posted, the others only stored.
    void NetStateChange(ESTATE eStateOld, ESTATE eStateNew, int iErrorcode,
                        CAutoString subErrCode) override;
    // Remember and post a plain (sub-code) or extended (sub-type, extra text) message.
    void PostNetStateMessage(ESTATE eStateOld, ESTATE eStateNew, int iErrorcode,
                             CAutoString subErrCode);
    void PostNetStateMessageEx(ESTATE eStateOld, ESTATE eStateNew, int iErrorcode,
                               const char* pSubType, const char* pExtern) override;
    // Posts the remembered message again; nothing when none was posted yet.
    void PostLastNetStateMessage();
    // The service is offline and working on it (the link is down, or it is logging in again by
    // itself): the state becomes ES_PRECONNECTING whatever it was, and the client is told with
    // code and sub-code. Unlike NetStateChange this also displaces a connected state.
    void ReportOffline(int iErrorcode, const CAutoString& subErrCode);
    // The error code of the last state message posted (0 before the first).
    int LastErrorCode() const;
    // Reports a transport failure: the state becomes eState and an extended "HttpError" message
    // carries httpErrCode as signed decimal text. bStopAll is not used.
    void PostError(ESTATE eState, unsigned long code, unsigned long httpErrCode,
                   int bStopAll) override;

    // The persisted "connState" flag: 1 while this program holds a portal login. Values handed
    // to StoreWithConnState go into the same synced write of the store.
    int GetConnCfg();
    void SetConnCfg(int state) override;
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

    // ---- Detection, configuration fetch and server selection ---------------------------------

    // Probes for the portal: fetches the probe URL and follows the gateway's redirects one at a
    // time (at most kMaxProbeRedirects), taking the school, domain and area headers and the
    // portal page's network identity on the way, and cuts the configuration block out of the
    // final page into m_configXML. Returns 1 a block was found; 0 the final page has none; the
    // transport result of a failed request (-1 empty URL, -2, -3 status 400 or above, -4 transfer
    // failure); kProbeTooManyRedirects when the chain does not end.
    int CheckNetEnv();
    // Probes, applies the configuration block to the record and publishes it. bPostErr is not
    // used: the callers report failures. Returns 1 applied; 0 no portal on this network; -1
    // failure (an empty probe URL is also reported to the client as 20010205).
    int RequestConfig(int bPostErr);
    // Publishes one value: the information center's global value and an "InfoCenter" message to
    // the client. Nothing for an absent or empty value.
    void SendData(const char* key, const char* value);
    // True when the response was not produced by a portal server: a 302 or 303, or a 200 without
    // both the "Error-Code" and the "Server-Tag" headers.
    static bool IsRequestRedirect(const CHttpData* phttpData);

    // Sends one portal request (ticket, login, keep-alive, state, logout, terminal requests) and
    // reads the portal's verdict. httpRetry is the number of sends a transport failure may use
    // (callers pass 2; a value below 1 counts as 1). The response stays in pData for the caller.
    // Returns
    //    1  the portal accepted (Error-Code 0); errCode 0;
    //    2  the algorithm container was renewed: rebuild the whole request and send it again;
    //   -1  every send failed in transport; errCode holds the last transport result;
    //   -2  failure already reported to the client (renewal failed, or the version limit);
    //   -3  another Error-Code (in errCode, -1 when absent), its Sub-Error text in subErrCode;
    //   -8  the answer was not produced by a portal server; already handled (logout "4" for the
    //       keep-alive, the unknown-environment switch for the others).
    int RequestPortalServer(OrvaneSvr::TaskItem verb, CHttpData* pData, unsigned long& errCode,
                            CAutoString& subErrCode, int httpRetry);
    // The answer's "Error-Code" (-1 when absent); subErrCode gets its "Sub-Error" text.
    static int GetErrorCode(CHttpData& httpData, CAutoString& subErrCode);
    // Moves url to another portal server of the list for the address family in use, chosen by the
    // client's own address; the chosen server leaves the list. False when the URL has no host or
    // no server is left.
    bool GetNewServerIP(CAutoString& url);
    // The user agent for the address family in use (IPv4 or IPv6); other families leave it.
    void SetServerIp();
    // Loads each server list that is empty from the record's stored list. The Portal business
    // calls it when a client starts; safe against the work thread's use of the lists.
    void RefillServerLists();

    // Redirects followed by one probe, and moves to another portal server within one probe.
    static constexpr int kMaxProbeRedirects = CPortalDetector::kMaxProbeRedirects;
    static constexpr int kMaxProbeFailovers = CPortalDetector::kMaxProbeFailovers;
    // CheckNetEnv's result for a redirect chain that does not end (too long, or a loop).
    static constexpr int kProbeTooManyRedirects = CPortalDetector::kProbeTooManyRedirects;
    // Resends after a renewal answer that is neither stored nor refused.
    static constexpr int kMaxRenewalResends = CServerSelector::kMaxRenewalResends;

    // ---- Accessors ----------------------------------------------------------------------------

    CAuthConfig* GetPortalConf() override { return m_pPortalConf.get(); }
    CPortalParser& GetPortalParser() override { return m_portalParse; }
    const CAutoString& GetRedirectUrl() const { return m_detector.GetRedirectUrl(); }
    const CAutoString& GetRedirectUrlIpv6() const { return m_detector.GetRedirectUrlIpv6(); }
    const CAutoString& GetDisasterUrl() const { return m_detector.GetDisasterUrl(); }
    HashBalance& GetHashBalance4() { return m_selector.GetHashBalance4(); }
    HashBalance& GetHashBalance6() { return m_selector.GetHashBalance6(); }

    // Probe URLs used when the store names none.
    static constexpr const char* kDefaultRedirectUrl = CPortalDetector::kDefaultRedirectUrl;
    static constexpr const char* kDefaultRedirectUrlIpv6 = CPortalDetector::kDefaultRedirectUrlIpv6;

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
    // (0, or the system error number, 13 refused), -1 when the text names no server. The host
    // keeps the resolver text from before the first application for RestoreDNS.
    int SetDNS(CAutoString& strDNS);
    // Puts the resolver file back as it was before the login's first SetDNS. Nothing when no
    // application is in force.
    void RestoreDNS();
    // One keep-alive: 1 accepted, 0 tolerated failure, 2 repeat, -1 login lost or no URL,
    // -14 the portal ended the login, -10 the portal no longer knows the ticket or the login
    // (Error-Code 10 or 13; reported as disconnected with 140010 / 140013).
    int KeepPluse();
    // The keep-alive tolerance starts over (after a resume or a link that came back).
    void ResetKeepFailures() { m_session.ResetKeepFailures(); }
    // Test seam: the monotonic clock of the keep-alive tolerance.
    void SetKeepClock(CPortalSession::Clock clock) { m_session.SetClock(std::move(clock)); }
    // Asks the portal whether this ticket holds a login: 1 adopted, 0 none yet or retry later,
    // 2 repeat, -1 not possible, -14 the login is over. bPostErr is not used.
    int CheckConnectState(int bPostErr);
    // The other terminals of the account: 1 with the "<response>" document in pXml, else 0.
    int TerminalRequestData(CAutoString& pXml);
    // Logs another terminal out (reason "8"); our own login and state are not touched. Returns
    // the last RequestPortalServer result other than 2.
    int TerminalTermRequest(CAutoString ticket);
    // Keep-alive failures still tolerated before the login counts as lost.
    int GetKeepRetry() const { return m_session.GetKeepRetry(); }
    const CAutoString& GetDNS1() const { return m_dnsGuard.GetDNS1(); }
    const CAutoString& GetDNS2() const { return m_dnsGuard.GetDNS2(); }

private:
    friend class CPortalConnTestAccess;  // unit tests: install a record, reach the request sender

    // ---- IConnContext: what the parts share through this object --------------------------------
    int ParseConfig(const char* block) override;
    IPortalHost* Host() const override { return m_pHost; }
    ISvrInfoCenter* InfoCenter() const override { return m_pInfoCenter; }
    CAutoString LocalValue(const char* key) override;
    int LocalInt(const char* key) override;
    CAutoString MemoryValue(const char* key) override;
    void SetLocal(const char* key, const char* value) override;
    void SetLocals(ISvrInfoCenter::LocalValues values) override;
    void StoreWithConnState(ISvrInfoCenter::LocalValues values) override;
    void SetGlobal(const char* key, const char* value) override;

    // Both expect m_stateLock held for writing.
    void RememberAndPost(ESTATE eStateOld, ESTATE eStateNew, int iErrorcode,
                         const CAutoString& subErrCode);
    void RememberAndPostEx(ESTATE eStateOld, ESTATE eStateNew, int iErrorcode, const char* pSubType,
                           const char* pExtern);

    CPortalParser m_portalParse;
    std::unique_ptr<CAuthConfig> m_pPortalConf;
    IPortalHost* m_pHost;
    ISvrInfoCenter* m_pInfoCenter;
    // Guarded by m_stateLock: the state and the remembered last message.
    ESTATE m_eState = ES_NONE;
    ESTATE m_lastState = ES_NONE;
    ESTATE m_lastOldState = ES_NONE;
    int m_lastErrorcode = 0;
    CAutoString m_lastSubErrCode;
    int m_lastErrType = -1;  // -1 none yet, 0 plain, 1 extended
    CAutoString m_lastSubType;
    CAutoString m_lastExtern;
    mutable RWLock m_stateLock;
    RWLock m_requestTicketTry;
    ISvrInfoCenter::LocalValues m_withConnState;  // work thread: see StoreWithConnState

    // The parts; each holds this object as its IConnContext and the parts declared before it.
    CServerSelector m_selector;
    CDnsGuard m_dnsGuard;
    CPortalDetector m_detector;
    CPortalSession m_session;
    CTerminalRequests m_terminals;
};
