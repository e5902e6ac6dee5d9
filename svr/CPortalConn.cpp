#include "CPortalConn.h"

#include "CCurlHttp.h"
#include "CHttpData.h"
#include "CHttpHelper.h"
#include "CLockGuard.h"
#include "CLog.h"
#include "CMD5.h"
#include "ISvrInfoCenter.h"

#include <algorithm>
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

void SetLocal(ISvrInfoCenter* info, const char* key, const char* value) {
    if (info != nullptr)
        info->SetLocalValue(key, value ? value : "");
}

void SetGlobal(ISvrInfoCenter* info, const char* key, const char* value) {
    if (info != nullptr)
        info->SetGlobalValue(key, value ? value : "");
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

// ---- Detection, configuration fetch and server selection -------------------------------------

namespace {

// A decimal header value read as atoi reads it, clamped to the int range so that a hostile
// value cannot overflow.
int HeaderInt(const CAutoString& text) {
    long value = std::strtol(text.c_str(), nullptr, 10);
    return static_cast<int>(std::clamp<long>(value, INT_MIN, INT_MAX));
}

}  // namespace

// One probe request: GET, redirects left to the caller, ten seconds.
int CPortalConn::ProbeOnce(const CAutoString& url, CHttpData& data) {
    CAutoString head;
    head.Format(
        "Connection:close\r\nUser-Agent:%s\r\nAccept:text/html,text/xml,"
        "application/xhtml+xml,application/x-javascript,*/*",
        m_pPortalConf->strUserAgent.c_str());
    data.szUrl = url.c_str();
    data.szVerb = "GET";
    data.szHead = head.c_str();
    data.dwTimeOut = 10000;
    data.bRedirect = false;
    const int result = CCurlHttp::Perform(&data);
    data.szUrl = nullptr;  // the texts are this function's; the record must not keep them
    data.szHead = nullptr;
    return result;
}

// The gateway names the school, domain and area in its headers; all three or none are taken.
void CPortalConn::TakeSchoolHeaders(const CHttpData& data) {
    CLog* log = CLog::GetInst();
    const CAutoString school = data.GetHeadAttri("schoolid:");
    const CAutoString domain = data.GetHeadAttri("domain:");
    const CAutoString area = data.GetHeadAttri("area:");
    log->WriteLog(CLog::INFO, "schoolid length is %u", school.GetLength());
    log->WriteLog(CLog::INFO, "schoolid is %s,domain is %s,area is %s", school.c_str(),
                  domain.c_str(), area.c_str());
    if (school.IsEmpty() || domain.IsEmpty() || area.IsEmpty())
        return;
    m_pPortalConf->schoolId = school;
    m_pPortalConf->domain = domain;
    m_pPortalConf->area = area;
    SetLocal(m_pInfoCenter, "schoolId", school);
    SetLocal(m_pInfoCenter, "domain", domain);
    SetLocal(m_pInfoCenter, "area", area);
}

// The portal page's address carries this machine's identity on the portal network.
void CPortalConn::TakePortalIdentity(const CAutoString& url) {
    CHttpHelper helper;
    if (!helper.SetAddress(url))
        return;
    CAuthConfig& cfg = *m_pPortalConf;
    cfg.wlanuserip = helper.GetParam("wlanuserip");
    cfg.wlanusermac = helper.GetParam("wlanusermac");
    cfg.wlancip = helper.GetParam("wlanacip");
    SetLocal(m_pInfoCenter, "wlanuserip", cfg.wlanuserip);
    SetLocal(m_pInfoCenter, "wlanusermac", cfg.wlanusermac);
    SetLocal(m_pInfoCenter, "wlanacip", cfg.wlancip);
    CLog::GetInst()->WriteLog(CLog::INFO, "wlanuserip is %s, wlanusermac is %s, wlanacip is %s",
                              cfg.wlanuserip.c_str(), cfg.wlanusermac.c_str(), cfg.wlancip.c_str());
}

int CPortalConn::CheckNetEnv() {
    CLog* log = CLog::GetInst();
    log->WriteLog(CLog::INFO, "CPortalConn::CheckConnState");
    if (!m_pPortalConf)
        return -1;
    CAutoString url = m_pPortalConf->m_afType == 10 ? m_redirectUrlIpv6 : m_redirectUrl;
    CHttpData data(true);
    int redirects = 0;
    int failovers = 0;
    for (;;) {
        log->WriteLog(CLog::INFO, "requestConfig is :%s", url.c_str());
        const int result = ProbeOnce(url, data);
        if (result != 0) {
            log->WriteLog(CLog::INFO, "requestConfig http err is :%d", result);
            // A portal server that does not answer: try the page on another one of the cluster.
            if (url.Find("index.cgi") >= 0 && failovers < kMaxProbeFailovers &&
                GetNewServerIP(url)) {
                ++failovers;
                continue;
            }
            return result;
        }
        log->WriteLog(CLog::INFO, "portal test  request state code is %d", data.retCode);
        log->WriteLog(CLog::INFO, "%s", data.RespHead());
        TakeSchoolHeaders(data);
        url = data.GetRedirectAddress();
        if (url.Find("index.cgi") >= 0)
            GetNewServerIP(url);
        if (url.IsEmpty())
            break;  // this page is where the probe ends
        // A chain that does not end is a gateway fault or a loop, not a portal.
        if (++redirects > kMaxProbeRedirects) {
            log->WriteLog(CLog::WARN, "probe gave up after %d redirects", kMaxProbeRedirects);
            return kProbeTooManyRedirects;
        }
        TakePortalIdentity(url);
        data.Release();
    }
    m_configXML = "";
    return m_portalParse.GetConfigWithString(data.RespData(), m_configXML) > 0 ? 1 : 0;
}

int CPortalConn::RequestConfig(int bPostErr) {
    (void)bPostErr;
    CLog::GetInst()->WriteLog(CLog::INFO, "CPortalConn::RequestConfig");
    const int found = CheckNetEnv();
    if (found == 0)
        return 0;
    if (found == -1 && m_pPortalConf)
        NetStateChange(ES_PRECONNECTING, ES_PRECONNECTFAIL, 20010205, CAutoString(""));
    if (found != 1)
        return -1;
    // Pages put the block on lines of its own; an XML declaration counts only at the very start.
    const char* block = m_configXML.c_str();
    block += std::strspn(block, " \t\r\n");
    if (m_portalParse.ParserConfig(block, m_pPortalConf) != 0) {
        CLog::GetInst()->WriteLog(CLog::WARN, "portal configuration refused");
        return -1;
    }
    PublishConfig();
    UpdateServerList();
    SetConnCfg(0);
    return 1;
}

// The order is the one the client has always seen: methods, identity, school, functions, urls,
// version.
void CPortalConn::PublishConfig() {
    const CAuthConfig& cfg = *m_pPortalConf;
    SendData("authType", std::to_string(cfg.nAuthType).c_str());
    SetGlobal(m_pInfoCenter, "wlanuserip", cfg.wlanuserip);
    SetGlobal(m_pInfoCenter, "wlanusermac", cfg.wlanusermac);
    SendData("authDefautType", std::to_string(cfg.nDefaultAuth).c_str());
    SetGlobal(m_pInfoCenter, "wlanacip", cfg.wlancip);
    SendData("schoolId", cfg.schoolId);
    SendData("domain", cfg.domain);
    SendData("area", cfg.area);
    for (const auto& entry : cfg.funCfg) {
        // Each entry is markup; it travels as text inside the message's value element.
        CAutoString value(entry.second);
        value.Replace("<", "&lt;");
        value.Replace(">", "&gt;");
        SendData((CAutoString("FUN_") + entry.first).c_str(), value);
    }
    SetLocal(m_pInfoCenter, "tickUrl", cfg.strTickUrl);
    SetLocal(m_pInfoCenter, "stateUrl", cfg.strStateUrl);
    SetLocal(m_pInfoCenter, "defaultAuth", std::to_string(cfg.nDefaultAuth).c_str());
    SendData("version", cfg.version);
    SendData("clientId", LocalValue("clientId"));
}

// Keeps the list of the family in use; the stored value is the list held before this fetch.
void CPortalConn::UpdateServerList() {
    std::lock_guard<std::mutex> guard(m_serverLock);
    CAuthConfig& cfg = *m_pPortalConf;
    const bool v6 = cfg.m_afType == 10;
    CAutoString& held = v6 ? cfg.m_strServersIPv6 : cfg.m_strServersIPv4;
    HashBalance& balance = v6 ? m_hashBalance6 : m_hashBalance4;
    SetLocal(m_pInfoCenter, v6 ? "serverCluster6" : "serverCluster", held);
    if (cfg.m_strServers == held)
        return;
    held = cfg.m_strServers;
    if (balance.Size() == 0)
        balance.SetIpList(held);
}

void CPortalConn::SendData(const char* key, const char* value) {
    if (key == nullptr || value == nullptr || *value == '\0')
        return;
    SetGlobal(m_pInfoCenter, key, value);
    if (m_pHost == nullptr)
        return;
    // Angle brackets would end the value element early and let a portal value add elements of
    // its own to the message; an already escaped value passes unchanged.
    CAutoString safeKey(key), safeValue(value);
    for (CAutoString* text : {&safeKey, &safeValue}) {
        text->Replace("<", "&lt;");
        text->Replace(">", "&gt;");
    }
    CAutoString param;
    param.Format("<key>%s</key><value>%s</value>", safeKey.c_str(), safeValue.c_str());
    m_pHost->PostMsg("Portal", "InfoCenter", param);
}

bool CPortalConn::IsRequestRedirect(const CHttpData* phttpData) {
    if (phttpData == nullptr)
        return true;
    if (phttpData->retCode == 302 || phttpData->retCode == 303)
        return true;
    if (phttpData->retCode != 200)
        return false;
    return phttpData->GetHeadAttri("Error-Code").IsEmpty() ||
           phttpData->GetHeadAttri("Server-Tag").IsEmpty();
}

int CPortalConn::GetErrorCode(CHttpData& httpData, CAutoString& subErrCode) {
    subErrCode = httpData.GetHeadAttri("Sub-Error");
    const CAutoString code = httpData.GetHeadAttri("Error-Code");
    return code.IsEmpty() ? -1 : HeaderInt(code);
}

void CPortalConn::HandleIntercepted(OrvaneSvr::TaskItem verb, const CHttpData* pData) {
    CLog::GetInst()->WriteLog(CLog::INFO, "request %s redirect", pData->szUrl ? pData->szUrl : "");
    if (verb == OrvaneSvr::pluse) {
        // The keep-alive was caught by the gateway: the login is gone.
        NetStateChange(ES_CONNECTING, ES_CONNECTFAIL, 150108, CAutoString(""));
        if (m_pHost != nullptr)
            m_pHost->DisConnect(CAutoString("4"));
    } else if (m_pHost != nullptr) {
        m_pHost->ChangeToUnknowEnv();
    }
}

int CPortalConn::HandleRenewal(OrvaneSvr::TaskItem verb, CHttpData* pData, int& failures,
                               int& others) {
    CLog* log = CLog::GetInst();
    const int renewed = UpdateAlgoid(pData);
    if (renewed == 1) {
        log->WriteLog(CLog::INFO, "update algoid success");
        NetStateChange(ES_PRECONNECTING, ES_PRECONNECTING, 30000105, CAutoString(""));
        return 2;
    }
    if (renewed == -1) {
        log->WriteLog(CLog::INFO, "update algoid fail");
        ++failures;
    } else if (++others > kMaxRenewalResends) {
        // An answer that is neither a container nor a refusal must not keep us sending forever.
        log->WriteLog(CLog::WARN, "update algoid got no container %d times", others);
        failures = 2;
    }
    if (failures < 2)
        return 0;
    log->WriteLog(CLog::INFO, "update algoid fail time is %d", failures);
    if (verb == OrvaneSvr::auth || verb == OrvaneSvr::term)
        NetStateChange(ES_CONNECTING, ES_CONNECTFAIL, 150003, CAutoString(""));
    else
        NetStateChange(ES_PRECONNECTING, ES_PRECONNECTFAIL, 150003, CAutoString(""));
    return -2;
}

int CPortalConn::RequestPortalServer(OrvaneSvr::TaskItem verb, CHttpData* pData,
                                     unsigned long& errCode, CAutoString& subErrCode,
                                     int httpRetry) {
    if (pData == nullptr)
        return -1;
    int renewFailures = 0;
    int renewOthers = 0;
    for (;;) {
        const int sent = CCurlHttp::Perform(pData);
        if (sent != 0) {
            errCode = static_cast<unsigned long>(static_cast<long>(sent));
            if (--httpRetry <= 0)
                return -1;
            CLog::GetInst()->WriteLog(CLog::INFO, "request %d return err %d,retry", verb, sent);
            pData->Release();
            continue;
        }
        if (IsRequestRedirect(pData)) {
            HandleIntercepted(verb, pData);
            return -8;
        }
        const int code = GetErrorCode(*pData, subErrCode);
        errCode = static_cast<unsigned long>(static_cast<long>(code));
        if (code == 0)
            return 1;
        if (code == 3) {
            CLog::GetInst()->WriteLog(CLog::INFO, "version limit");
            NetStateChange(ES_PRECONNECTING, ES_PRECONNECTFAIL, 140003, subErrCode);
            return -2;
        }
        if (code != 200)
            return -3;
        const int renewal = HandleRenewal(verb, pData, renewFailures, renewOthers);
        if (renewal != 0)
            return renewal;
        pData->Release();
    }
}

bool CPortalConn::GetNewServerIP(CAutoString& url) {
    CAutoString host;
    if (!m_pPortalConf || !CHttpHelper::ParseIP(url, host))
        return false;
    std::lock_guard<std::mutex> guard(m_serverLock);
    const CAuthConfig& cfg = *m_pPortalConf;
    const bool v6 = cfg.m_afType == 10 && !cfg.ip6.IsEmpty();
    HashBalance& balance = v6 ? m_hashBalance6 : m_hashBalance4;
    const CAutoString chosen = balance.getServer(v6 ? cfg.ip6 : cfg.ip4);
    if (chosen.IsEmpty())
        return false;
    url.Replace(host, chosen);
    balance.deleteIp(chosen);
    CLog::GetInst()->WriteLog(CLog::INFO, "GetNewServerIP old url %s, new url %s", host.c_str(),
                              url.c_str());
    return true;
}

void CPortalConn::SetServerIp() {
    if (!m_pPortalConf)
        return;
    CAuthConfig& cfg = *m_pPortalConf;
    if (cfg.m_afType == 2)
        cfg.strUserAgent.Format("ZKRW/Linux64/%s", cfg.version.c_str());
    else if (cfg.m_afType == 10)
        cfg.strUserAgent.Format("ZKRW/LinuxIpv664/%s", cfg.version.c_str());
    CLog::GetInst()->WriteLog(CLog::INFO, "sysVer is %s,agent is %s", cfg.ostag.c_str(),
                              cfg.strUserAgent.c_str());
}

void CPortalConn::RefillServerLists() {
    if (!m_pPortalConf)
        return;
    std::lock_guard<std::mutex> guard(m_serverLock);
    if (m_hashBalance4.Size() == 0 && !m_pPortalConf->m_strServersIPv4.IsEmpty())
        m_hashBalance4.SetIpList(m_pPortalConf->m_strServersIPv4);
    if (m_hashBalance6.Size() == 0 && !m_pPortalConf->m_strServersIPv6.IsEmpty())
        m_hashBalance6.SetIpList(m_pPortalConf->m_strServersIPv6);
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
