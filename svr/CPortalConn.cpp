#include "CPortalConn.h"

#include "CLockGuard.h"
#include "CLog.h"
#include "ISvrInfoCenter.h"

#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

namespace {

using WriteGuard = CLockGuard<RWLock, ExclusiveLockPolicy>;
using ReadGuard = CLockGuard<RWLock, SharedLockPolicy>;

// The pause after a pre-connection report, so the client can show each progress step.
constexpr std::chrono::milliseconds kPreConnectPause(500);

// A stored decimal read as atoi reads it (empty or garbage gives 0), clamped to the int range.
int StoredInt(ISvrInfoCenter* info, const char* key) {
    long value = std::strtol(info->GetLocalValue(key).c_str(), nullptr, 10);
    if (value > INT_MAX)
        return INT_MAX;
    if (value < INT_MIN)
        return INT_MIN;
    return static_cast<int>(value);
}

}  // namespace

CPortalConn::CPortalConn(INetStateSink* sink, ISvrInfoCenter* infoCenter)
    : m_pSink(sink), m_pInfoCenter(infoCenter) {}

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

    cfg.hostName = m_pInfoCenter->GetValue("hostName");
    cfg.strClientId = m_pInfoCenter->GetValue("clientId");
    cfg.version.Format("%s", m_pInfoCenter->GetValue("version").c_str());
    log->WriteLog(CLog::INFO, "version is %s", cfg.version.c_str());
    cfg.ostag = "linux64";
    cfg.strUserAgent.Format("ZKRW/Linux64/%s", cfg.version.c_str());
    log->WriteLog(CLog::INFO, "sysVer is %s,agent is %s", cfg.ostag.c_str(),
                  cfg.strUserAgent.c_str());

    m_redirectUrl = m_pInfoCenter->GetLocalValue("redirect");
    if (m_redirectUrl.IsEmpty())
        m_redirectUrl = kDefaultRedirectUrl;
    m_redirectUrlIpv6 = m_pInfoCenter->GetLocalValue("redirectipv6");
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
    ISvrInfoCenter* info = m_pInfoCenter;
    cfg.strTermUrl = info->GetLocalValue("termUrl");
    cfg.strKeepUrl = info->GetLocalValue("keepUrl");
    cfg.iKeepRetry = StoredInt(info, "keepRetry");
    cfg.strTicket = info->GetLocalValue("ticket");
    cfg.strStateUrl = info->GetLocalValue("stateUrl");
    cfg.nDefaultAuth = StoredInt(info, "defaultAuth");
    if (cfg.nDefaultAuth == 0)
        cfg.nDefaultAuth = 1;
    cfg.schoolId = info->GetLocalValue("schoolId");
    cfg.domain = info->GetLocalValue("domain");
    cfg.area = info->GetLocalValue("area");
    cfg.wlanuserip = info->GetLocalValue("wlanuserip");
    cfg.wlanusermac = info->GetLocalValue("wlanusermac");
    cfg.wlancip = info->GetLocalValue("wlanacip");
    cfg.fileInterval = StoredInt(info, "plusInterval");
    cfg.fileIntervalFlag = StoredInt(info, "plusFlag");
    m_disasterUrl = info->GetLocalValue("disasterUrl");
    m_disasterUrl.MakeLower();
    cfg.m_strServersIPv4 = info->GetLocalValue("serverCluster");
    cfg.m_strServersIPv6 = info->GetLocalValue("serverCluster6");
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
    if (m_pSink != nullptr) {
        m_pSink->PostNetStateMessage(ET_PORTAL, eStateOld, eStateNew, iErrorcode, subErrCode);
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
    if (m_pSink != nullptr) {
        m_pSink->PostNetStateMessageEx(ET_PORTAL, eStateOld, eStateNew, iErrorcode, pSubType,
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
    return StoredInt(m_pInfoCenter, "connState");
}

void CPortalConn::SetConnCfg(int state) {
    CLog::GetInst()->WriteLog(CLog::INFO, state != 0 ? "record connected" : "record not connect");
    m_pInfoCenter->SetLocalValue("connState", std::to_string(state).c_str());
}

void CPortalConn::ResetNetConfig() {
    if (!m_pPortalConf)
        return;
    m_pPortalConf->ip4 = "";
    m_pPortalConf->ip6 = "";
    m_pPortalConf->mac = "";
}
