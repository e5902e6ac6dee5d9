#include "CPortalConn.h"

#include "CLockGuard.h"
#include "CLog.h"
#include "CMD5.h"
#include "ISvrInfoCenter.h"

#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

namespace {

using WriteGuard = CLockGuard<RWLock, ExclusiveLockPolicy>;
using ReadGuard = CLockGuard<RWLock, SharedLockPolicy>;

// The pause after a pre-connection report, so the client can show each progress step.
constexpr std::chrono::milliseconds kPreConnectPause(500);

CAutoString MemoryValue(ISvrInfoCenter* info, const char* key) {
    return info != nullptr ? info->GetValue(key) : CAutoString("");
}

}  // namespace

CPortalConn::CPortalConn(IPortalHost* host, ISvrInfoCenter* infoCenter)
    : m_pHost(host), m_pInfoCenter(infoCenter) {}

CPortalConn::~CPortalConn() = default;

int CPortalConn::Connect(const char* message) {
    (void)message;
    CLog::GetInst()->WriteLog(CLog::WARN, "portal login is not available in this build");
    return -1;
}

int CPortalConn::DisConnect(const char* reason) {
    CLog::GetInst()->WriteLog(CLog::WARN,
                              "portal logout (reason %s) is not available in this build",
                              reason ? reason : "");
    return -1;
}

int CPortalConn::CheckIP() {
    return -1;
}

CAutoString CPortalConn::LocalValue(const char* key) {
    return m_pInfoCenter != nullptr ? m_pInfoCenter->GetLocalValue(key) : CAutoString("");
}

// A stored decimal read as atoi reads it (empty or garbage gives 0), clamped to the int range.
int CPortalConn::LocalInt(const char* key) {
    long value = std::strtol(LocalValue(key).c_str(), nullptr, 10);
    if (value > INT_MAX)
        return INT_MAX;
    if (value < INT_MIN)
        return INT_MIN;
    return static_cast<int>(value);
}

int CPortalConn::Init() {
    InitPortalConf();
    InitEnviromment();
    return m_portalParse.Init();
}

int CPortalConn::InitPortalConf() {
    std::printf("svr start success\n");
    std::fflush(stdout);
    m_pPortalConf = std::make_unique<CAuthConfig>();
    CAuthConfig& cfg = *m_pPortalConf;
    CLog* log = CLog::GetInst();

    cfg.hostName = MemoryValue(m_pInfoCenter, "hostName");
    cfg.strClientId = MemoryValue(m_pInfoCenter, "clientId");
    cfg.version.Format("%s", MemoryValue(m_pInfoCenter, "version").c_str());
    log->WriteLog(CLog::INFO, "version is %s", cfg.version.c_str());
    cfg.ostag = "linux64";
    cfg.strUserAgent.Format("ZKRW/Linux64/%s", cfg.version.c_str());
    log->WriteLog(CLog::INFO, "sysVer is %s,agent is %s", cfg.ostag.c_str(),
                  cfg.strUserAgent.c_str());

    m_redirectUrl = LocalValue("redirect");
    if (m_redirectUrl.IsEmpty())
        m_redirectUrl = kDefaultRedirectUrl;
    m_redirectUrlIpv6 = LocalValue("redirectipv6");
    if (m_redirectUrlIpv6.IsEmpty())
        m_redirectUrlIpv6 = kDefaultRedirectUrlIpv6;

    ReadStoredValues(cfg);
    if (!cfg.m_strServersIPv4.IsEmpty())
        m_hashBalance4.SetIpList(cfg.m_strServersIPv4);
    if (!cfg.m_strServersIPv6.IsEmpty())
        m_hashBalance6.SetIpList(cfg.m_strServersIPv6);
    return 0;
}

void CPortalConn::ReadStoredValues(CAuthConfig& cfg) {
    cfg.strTermUrl = LocalValue("termUrl");
    cfg.strKeepUrl = LocalValue("keepUrl");
    cfg.iKeepRetry = LocalInt("keepRetry");
    cfg.strTicket = LocalValue("ticket");
    cfg.strStateUrl = LocalValue("stateUrl");
    cfg.nDefaultAuth = LocalInt("defaultAuth");
    if (cfg.nDefaultAuth == 0)
        cfg.nDefaultAuth = 1;
    cfg.schoolId = LocalValue("schoolId");
    cfg.domain = LocalValue("domain");
    cfg.area = LocalValue("area");
    cfg.wlanuserip = LocalValue("wlanuserip");
    cfg.wlanusermac = LocalValue("wlanusermac");
    cfg.wlancip = LocalValue("wlanacip");
    cfg.fileInterval = LocalInt("plusInterval");
    cfg.fileIntervalFlag = LocalInt("plusFlag");
    m_disasterUrl = LocalValue("disasterUrl");
    m_disasterUrl.MakeLower();
    cfg.m_strServersIPv4 = LocalValue("serverCluster");
    cfg.m_strServersIPv6 = LocalValue("serverCluster6");
}

void CPortalConn::Destroy() {
    if (GetConnCfg() == 1)
        DisConnect("7");
}

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
            SetConnCfg(1);
            PostNetStateMessage(eStateOld, eStateNew, iErrorcode, subErrCode);
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
    if (m_pInfoCenter != nullptr)
        m_pInfoCenter->SetLocalValue("connState", std::to_string(state).c_str());
}

void CPortalConn::ResetNetConfig() {
    if (!m_pPortalConf)
        return;
    m_pPortalConf->ip4 = "";
    m_pPortalConf->ip6 = "";
    m_pPortalConf->mac = "";
}

int CPortalConn::RequestPortalServer(OrvaneSvr::TaskItem verb, CHttpData* pData,
                                     unsigned long& errCode, CAutoString& subErrCode,
                                     int httpRetry) {
    (void)verb;
    (void)pData;
    (void)httpRetry;
    errCode = static_cast<unsigned long>(-1);
    subErrCode = "";
    return -1;
}

CAutoString CPortalConn::GetRequestHead(const CAutoString& body) {
    static const CAuthConfig kEmpty;
    const CAuthConfig& conf = m_pPortalConf != nullptr ? *m_pPortalConf : kEmpty;
    return m_portalParse.MakeRequestHead(conf.strUserAgent, conf.strClientId,
                                         GetMD5FromPostData(body), conf.schoolId, conf.domain,
                                         conf.area);
}

CAutoString CPortalConn::GetMD5FromPostData(const CAutoString& body) {
    const char* text = body.c_str();
    return CAutoString(CMD5::HexDigest(text, strlen(text)));
}
