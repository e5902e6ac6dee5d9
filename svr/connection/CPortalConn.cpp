#include "CPortalConn.h"

#include "CLockGuard.h"
#include "CLog.h"
#include "IPortalHost.h"
#include "ISvrInfoCenter.h"

#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <utility>

namespace {

using WriteGuard = CLockGuard<RWLock, ExclusiveLockPolicy>;
using ReadGuard = CLockGuard<RWLock, SharedLockPolicy>;

// The pause after a pre-connection report, so the client can show each progress step.
constexpr std::chrono::milliseconds kPreConnectPause(500);

}  // namespace

CPortalConn::CPortalConn(IPortalHost* host, ISvrInfoCenter* infoCenter)
    : m_pHost(host),
      m_pInfoCenter(infoCenter),
      m_selector(*this),
      m_dnsGuard(host),
      m_detector(*this, m_selector),
      m_session(*this, m_selector, m_dnsGuard, m_detector),
      m_terminals(*this, m_selector) {}

CPortalConn::~CPortalConn() = default;

// ---- The store ------------------------------------------------------------------------------

CAutoString CPortalConn::LocalValue(const char* key) {
    return m_pInfoCenter != nullptr ? m_pInfoCenter->GetLocalValue(key) : CAutoString("");
}

int CPortalConn::LocalInt(const char* key) {
    long value = std::strtol(LocalValue(key).c_str(), nullptr, 10);
    if (value > INT_MAX)
        return INT_MAX;
    if (value < INT_MIN)
        return INT_MIN;
    return static_cast<int>(value);
}

CAutoString CPortalConn::MemoryValue(const char* key) {
    return m_pInfoCenter != nullptr ? m_pInfoCenter->GetValue(key) : CAutoString("");
}

void CPortalConn::SetLocal(const char* key, const char* value) {
    if (m_pInfoCenter != nullptr)
        m_pInfoCenter->SetLocalValue(key, value ? value : "");
}

void CPortalConn::SetLocals(ISvrInfoCenter::LocalValues values) {
    for (auto& pair : values) {
        if (pair.second.IsNull())
            pair.second = "";  // a value never set is stored empty, as SetLocal stores it
    }
    if (m_pInfoCenter != nullptr)
        m_pInfoCenter->SetLocalValues(values);
}

void CPortalConn::StoreWithConnState(ISvrInfoCenter::LocalValues values) {
    m_withConnState.insert(m_withConnState.end(), values.begin(), values.end());
}

void CPortalConn::SetGlobal(const char* key, const char* value) {
    if (m_pInfoCenter != nullptr)
        m_pInfoCenter->SetGlobalValue(key, value ? value : "");
}

int CPortalConn::ParseConfig(const char* block) {
    return m_portalParse.ParserConfig(block, m_pPortalConf);
}

// ---- Start-up and shut-down -----------------------------------------------------------------

int CPortalConn::Init() {
    InitPortalConf();
    InitEnviromment();
    return m_portalParse.Init();
}

int CPortalConn::InitPortalConf() {
    std::printf("svr start success\n");
    std::fflush(stdout);
    m_pPortalConf = std::make_unique<CAuthConfig>();
    m_detector.LoadStoredConfig(*m_pPortalConf);
    m_selector.LoadServerLists(*m_pPortalConf);
    return 0;
}

void CPortalConn::Destroy() {
    if (GetConnCfg() == 1)
        DisConnect("7");
    // The service is leaving: the machine gets its own name servers back whatever the portal said.
    RestoreDNS();
}

// ---- State and state messages ---------------------------------------------------------------

INetConn::ESTATE CPortalConn::GetNetState() const {
    ReadGuard guard(&m_stateLock);
    return m_eState;
}

void CPortalConn::NetStateChange(ESTATE eStateOld, ESTATE eStateNew, int iErrorcode,
                                 CAutoString subErrCode) {
    {
        WriteGuard guard(&m_stateLock);
        CLog::GetInst()->WriteLog(
            CLog::INFO, "NetStateChange curState %d, oldState %d,newState %d,code %d,subCode %s",
            m_eState, eStateOld, eStateNew, iErrorcode, subErrCode.c_str());
        // A new detection round must not hide a login that is already in place or ready.
        if ((m_eState == ES_CONNECTED || m_eState == ES_PRECONNECTED) &&
            eStateNew == ES_PRECONNECTING) {
            return;
        }
        m_eState = eStateNew;
    }
    switch (eStateNew) {
        case ES_CONNECTED:
            // The client is told first: its synced write keeps the store off the log-in's path.
            // A crash before the write is a crash before the login was recorded, which the next
            // start meets anyway, since the portal holds the login as soon as it has answered.
            PostNetStateMessage(eStateOld, eStateNew, iErrorcode, subErrCode);
            SetConnCfg(1);
            break;
        case ES_CONNECTING:
        case ES_PRECONNECTED:
        case ES_CONNECTFAIL:
        case ES_DISCONNECTED:
            PostNetStateMessage(eStateOld, eStateNew, iErrorcode, subErrCode);
            break;
        case ES_PRECONNECTFAIL:
        case ES_PRECONNECTING:
            PostNetStateMessage(eStateOld, eStateNew, iErrorcode, subErrCode);
            std::this_thread::sleep_for(kPreConnectPause);
            break;
        default:  // stored only: the client is not told about these states
            break;
    }
}

// The lock stays held while posting, so messages leave in the order they are remembered and a
// client start never repeats an older message than the last one sent.
void CPortalConn::PostNetStateMessage(ESTATE eStateOld, ESTATE eStateNew, int iErrorcode,
                                      CAutoString subErrCode) {
    WriteGuard guard(&m_stateLock);
    RememberAndPost(eStateOld, eStateNew, iErrorcode, subErrCode);
}

void CPortalConn::PostNetStateMessageEx(ESTATE eStateOld, ESTATE eStateNew, int iErrorcode,
                                        const char* pSubType, const char* pExtern) {
    WriteGuard guard(&m_stateLock);
    RememberAndPostEx(eStateOld, eStateNew, iErrorcode, pSubType, pExtern);
}

void CPortalConn::PostLastNetStateMessage() {
    WriteGuard guard(&m_stateLock);
    if (m_lastErrType == 0) {
        RememberAndPost(m_lastOldState, m_lastState, m_lastErrorcode,
                        CAutoString(m_lastSubErrCode));
    } else if (m_lastErrType == 1) {
        // Copies: the remembered texts are overwritten while they are being posted.
        CAutoString subType(m_lastSubType);
        CAutoString extra(m_lastExtern);
        RememberAndPostEx(m_lastOldState, m_lastState, m_lastErrorcode, subType, extra);
    }
}

void CPortalConn::RememberAndPost(ESTATE eStateOld, ESTATE eStateNew, int iErrorcode,
                                  const CAutoString& subErrCode) {
    m_lastErrType = 0;
    m_lastState = eStateNew;
    m_lastOldState = eStateOld;
    m_lastErrorcode = iErrorcode;
    m_lastSubErrCode = subErrCode;
    if (m_pHost != nullptr) {
        m_pHost->PostNetStateMessage(ET_PORTAL, eStateOld, eStateNew, iErrorcode, subErrCode);
    }
}

void CPortalConn::RememberAndPostEx(ESTATE eStateOld, ESTATE eStateNew, int iErrorcode,
                                    const char* pSubType, const char* pExtern) {
    m_lastErrType = 1;
    m_lastState = eStateNew;
    m_lastOldState = eStateOld;
    m_lastErrorcode = iErrorcode;
    m_lastSubType = CAutoString(pSubType ? pSubType : "");
    m_lastExtern = CAutoString(pExtern ? pExtern : "");
    if (m_pHost != nullptr) {
        m_pHost->PostNetStateMessageEx(ET_PORTAL, eStateOld, eStateNew, iErrorcode, pSubType,
                                       pExtern);
    }
}

void CPortalConn::PostError(ESTATE eState, unsigned long code, unsigned long httpErrCode,
                            int bStopAll) {
    (void)bStopAll;
    {
        WriteGuard guard(&m_stateLock);
        m_eState = eState;
    }
    CAutoString extra;
    extra.Format("%ld", static_cast<long>(httpErrCode));
    PostNetStateMessageEx(ES_NONE, eState, static_cast<int>(code), "HttpError", extra);
}

int CPortalConn::GetConnCfg() {
    return LocalInt("connState");
}

void CPortalConn::SetConnCfg(int state) {
    CLog::GetInst()->WriteLog(CLog::INFO, state != 0 ? "record connected" : "record not connect");
    ISvrInfoCenter::LocalValues values;
    values.swap(m_withConnState);
    values.emplace_back("connState", std::to_string(state).c_str());
    SetLocals(std::move(values));
}

void CPortalConn::ResetNetConfig() {
    if (!m_pPortalConf)
        return;
    m_pPortalConf->ip4 = "";
    m_pPortalConf->ip6 = "";
    m_pPortalConf->mac = "";
}

// ---- The conversations, carried out by the parts --------------------------------------------

int CPortalConn::CheckNetEnv() {
    return m_detector.CheckNetEnv();
}

int CPortalConn::RequestConfig(int bPostErr) {
    (void)bPostErr;
    return m_detector.RequestConfig();
}

void CPortalConn::SendData(const char* key, const char* value) {
    m_detector.SendData(key, value);
}

bool CPortalConn::IsRequestRedirect(const CHttpData* phttpData) {
    return CServerSelector::IsRequestRedirect(phttpData);
}

int CPortalConn::GetErrorCode(CHttpData& httpData, CAutoString& subErrCode) {
    return CServerSelector::GetErrorCode(httpData, subErrCode);
}

int CPortalConn::RequestPortalServer(OrvaneSvr::TaskItem verb, CHttpData* pData,
                                     unsigned long& errCode, CAutoString& subErrCode,
                                     int httpRetry) {
    return m_selector.RequestPortalServer(verb, pData, errCode, subErrCode, httpRetry);
}

bool CPortalConn::GetNewServerIP(CAutoString& url) {
    return m_selector.GetNewServerIP(url);
}

void CPortalConn::SetServerIp() {
    m_selector.SetServerIp();
}

void CPortalConn::RefillServerLists() {
    m_selector.RefillServerLists();
}

CAutoString CPortalConn::GetRequestHead(const CAutoString& body) {
    return m_selector.GetRequestHead(body);
}

CAutoString CPortalConn::GetMD5FromPostData(const CAutoString& body) {
    return CServerSelector::GetMD5FromPostData(body);
}

int CPortalConn::CheckIP() {
    return m_session.RequestTicketOnce();
}

int CPortalConn::_RequestTicket() {
    return m_session.RequestTicketOnce();
}

int CPortalConn::RequestTicket() {
    return m_session.RequestTicket();
}

void CPortalConn::AccountTran() {
    m_session.AccountTran();
}

int CPortalConn::Connect(const char* pXmlStr) {
    return m_session.Connect(pXmlStr);
}

void CPortalConn::SaveAuthResponse(const CAutoString& userName, int retry,
                                   const CAutoString& strKeepUrl, const CAutoString& strTermUrl,
                                   const CAutoString& strUserConfig,
                                   const CAutoString& strDomainConfig) {
    m_session.SaveAuthResponse(userName, retry, strKeepUrl, strTermUrl, strUserConfig,
                               strDomainConfig);
}

int CPortalConn::KeepPluse() {
    return m_session.KeepPluse();
}

int CPortalConn::CheckConnectState(int bPostErr) {
    (void)bPostErr;
    return m_session.CheckConnectState();
}

int CPortalConn::DisConnect(const char* pSrc) {
    return m_session.DisConnect(pSrc);
}

int CPortalConn::SetDNS(CAutoString& strDNS) {
    return m_dnsGuard.SetDNS(strDNS);
}

void CPortalConn::RestoreDNS() {
    m_dnsGuard.RestoreDNS();
}

int CPortalConn::TerminalRequestData(CAutoString& pXml) {
    return m_terminals.TerminalRequestData(pXml);
}

int CPortalConn::TerminalTermRequest(CAutoString ticket) {
    return m_terminals.TerminalTermRequest(ticket);
}

void CPortalConn::ReportOffline(int iErrorcode, const CAutoString& subErrCode) {
    WriteGuard guard(&m_stateLock);
    CLog::GetInst()->WriteLog(CLog::INFO, "offline: curState %d, code %d, subCode %s", m_eState,
                              iErrorcode, subErrCode.c_str());
    const ESTATE old = m_eState;
    m_eState = ES_PRECONNECTING;
    RememberAndPost(old, ES_PRECONNECTING, iErrorcode, subErrCode);
}

int CPortalConn::LastErrorCode() const {
    ReadGuard guard(&m_stateLock);
    return m_lastErrorcode;
}
