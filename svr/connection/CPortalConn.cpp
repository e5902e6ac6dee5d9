#include "CPortalConn.h"

#include "CBusiness.h"
#include "CCurlHttp.h"
#include "CHttpData.h"
#include "CHttpHelper.h"
#include "CLockGuard.h"
#include "CLog.h"
#include "CMD5.h"
#include "CXMLOpt.h"
#include "CommFunc.h"
#include "IPortalHost.h"
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
    // The service is leaving: the machine gets its own name servers back whatever the portal said.
    RestoreDNS();
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
    if (!CHttpData::IsHeaderValue(m_pPortalConf->strUserAgent.c_str())) {
        CLog::GetInst()->WriteLog(CLog::ERROR,
                                  "probe not sent: the user agent holds a control character");
        return -1;
    }
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

// Keeps the list of the family in use; the stored value is the list held before this fetch. The
// list is loaded whole at every fetch: servers used up by earlier moves are tried again, so that
// a few failed detections cannot leave the client with nowhere to move.
void CPortalConn::UpdateServerList() {
    std::lock_guard<std::mutex> guard(m_serverLock);
    CAuthConfig& cfg = *m_pPortalConf;
    const bool v6 = cfg.m_afType == 10;
    CAutoString& held = v6 ? cfg.m_strServersIPv6 : cfg.m_strServersIPv4;
    HashBalance& balance = v6 ? m_hashBalance6 : m_hashBalance4;
    SetLocal(m_pInfoCenter, v6 ? "serverCluster6" : "serverCluster", held);
    if (!cfg.m_strServers.IsEmpty())
        held = cfg.m_strServers;
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

// ---- Login, keep-alive, state and logout ----------------------------------------------------

namespace {

// Time limits of the portal requests, in milliseconds.
constexpr uint64_t kShortRequestMs = 10000;
constexpr uint64_t kLoginRequestMs = 15000;
constexpr uint64_t kTerminalListMs = 15000;
// Sends per RequestPortalServer call.
constexpr int kHttpRetry = 2;
// A portal may demand one algorithm renewal after another; the terminal requests, which repeat
// on their own, give up after this many rounds instead of looping for ever.
constexpr int kMaxRenewRounds = 3;
constexpr unsigned long kPortalErrorBase = 140000;

CAutoString Now() {
    return CommFunc::GetLocalTime("%Y-%m-%d %H:%M:%S");
}

// A mobile number: exactly 11 decimal digits.
bool IsMobileNumber(const CAutoString& text) {
    if (text.GetLength() != 11)
        return false;
    for (unsigned i = 0; i < text.GetLength(); ++i) {
        if (text[static_cast<int>(i)] < '0' || text[static_cast<int>(i)] > '9')
            return false;
    }
    return true;
}

int PortalCode(unsigned long code) {
    return static_cast<int>(kPortalErrorBase + code);
}

}  // namespace

int CPortalConn::SendPortalRequest(OrvaneSvr::TaskItem verb, const CAutoString& url,
                                   const CAutoString& body, uint64_t timeoutMs, CHttpData& data,
                                   unsigned long& errCode, CAutoString& subErrCode) {
    // An empty body is a request the builder refused (a value the XML layer cannot carry);
    // sending it would reach the portal without its fields. The caller's failure path runs.
    if (body.IsEmpty()) {
        CLog::GetInst()->WriteLog(CLog::ERROR, "request %d not sent: its document was refused",
                                  static_cast<int>(verb));
        errCode = 0;
        return -1;
    }
    CAutoString head = GetRequestHead(body);
    if (head.IsEmpty()) {  // a header value was refused (logged by the builder)
        errCode = 0;
        return -1;
    }
    data.szUrl = url.c_str();
    data.szVerb = "POST";
    data.szHead = head.c_str();
    data.szPostData = body.c_str();
    data.dwTimeOut = timeoutMs;
    data.bChangeCode = false;
    data.bRedirect = false;
    int ret = RequestPortalServer(verb, &data, errCode, subErrCode, kHttpRetry);
    // The request texts die with this call; only the response stays in the record.
    data.szUrl = data.szHead = data.szPostData = nullptr;
    return ret;
}

int CPortalConn::CheckIP() {
    return _RequestTicket();
}

int CPortalConn::_RequestTicket() {
    CLog* log = CLog::GetInst();
    log->WriteLog(CLog::INFO, "CPortalConn::_RequestTicket");
    if (!m_pPortalConf)
        return -1;
    CAuthConfig& cfg = *m_pPortalConf;
    if (cfg.strTickUrl.IsEmpty())
        RequestConfig(0);
    if (cfg.strTickUrl.IsEmpty()) {
        log->WriteLog(CLog::WARN, "CPortalConn::ticketUrl is NULL");
        NetStateChange(ES_PRECONNECTING, ES_PRECONNECTFAIL, 20010003, CAutoString(""));
        return -1;
    }
    NetStateChange(ES_PRECONNECTING, ES_PRECONNECTING, 30000103, CAutoString(""));
    CAutoString ip4(""), ip6(""), mac("");
    int found = m_pHost != nullptr ? m_pHost->GetIpAndMac(ip4, ip6, mac) : -1;
    log->WriteLog(CLog::INFO, "ip4 is %s", ip4.c_str());
    if (found != 1) {
        NetStateChange(ES_PRECONNECTING, ES_PRECONNECTFAIL, 150107, CAutoString(""));
        return -3;
    }
    NetStateChange(ES_PRECONNECTING, ES_PRECONNECTING, 30000102, CAutoString(""));
    cfg.ip4 = ip4;
    cfg.ip6 = ip6;
    cfg.mac = mac;
    CAutoString body =
        m_portalParse.MakeTickRequestData(cfg.hostName, cfg.strUserAgent, cfg.strClientId, cfg.ip4,
                                          cfg.ip6, cfg.mac, Now(), cfg.ostag);
    if (body.IsEmpty()) {
        NetStateChange(ES_PRECONNECTING, ES_PRECONNECTFAIL, 150106, CAutoString(""));
        return -5;
    }
    CHttpData data(true);
    unsigned long code = 0;
    CAutoString sub("");
    int ret = SendPortalRequest(OrvaneSvr::reqTicket, cfg.strTickUrl, body, kShortRequestMs, data,
                                code, sub);
    return TicketResult(ret, code, sub, data);
}

int CPortalConn::TicketResult(int ret, unsigned long code, const CAutoString& sub,
                              CHttpData& data) {
    CAuthConfig& cfg = *m_pPortalConf;
    switch (ret) {
        case 2:
            return 2;
        case -1:
            if (GetNewServerIP(cfg.strTickUrl))
                return -99;
            CLog::GetInst()->WriteLog(CLog::WARN, "ticket http err is :%d", static_cast<int>(code));
            PostError(ES_PRECONNECTING, 150103, code, 1);
            return -1;
        case -8:
            NetStateChange(ES_CONNECTED, ES_DISCONNECTFAIL, 150010, CAutoString(""));
            return -8;
        case -3:
            NetStateChange(ES_PRECONNECTING, ES_PRECONNECTFAIL, PortalCode(code), sub);
            return -1;
        case 1:
            break;
        default:
            return -1;
    }
    CAutoString ticket("");
    int expire = 0;
    if (m_portalParse.ParserTickResponse(data.RespData(), ticket, expire) != 0) {
        NetStateChange(ES_PRECONNECTING, ES_PRECONNECTFAIL, 150003, CAutoString(""));
        return -7;
    }
    cfg.strTicket = ticket;
    cfg.expire = expire;
    if (m_pInfoCenter != nullptr)
        m_pInfoCenter->SetGlobalValue("ticket", ticket.c_str());
    return 1;
}

int CPortalConn::RequestTicket() {
    int ret = _RequestTicket();
    if (ret != 1)
        return ret;
    const CAuthConfig& cfg = *m_pPortalConf;
    if (m_pInfoCenter != nullptr)
        m_pInfoCenter->SetLocalValue("ticket", cfg.strTicket.c_str());
    // The ticket identifies the login to the portal; the log keeps only a recognisable piece.
    CLog::GetInst()->WriteLog(CLog::INFO, "ticket is %s",
                              CLog::Abbreviate(cfg.strTicket.c_str()).c_str());
    NetStateChange(ES_PRECONNECTING, ES_PRECONNECTED, 0, CAutoString(""));
    // Both values come from outside (the portal, the machine's name): escaped so that they
    // cannot break the message they travel in.
    CAutoString ticket = CBusiness::EscapeValue(cfg.strTicket);
    CAutoString host = CBusiness::EscapeValue(cfg.hostName);
    CAutoString param;
    param.Format("<ticket>%s</ticket><hostname>%s</hostname><qr>zkrw://%s@%s</qr>", ticket.c_str(),
                 host.c_str(), ticket.c_str(), host.c_str());
    if (m_pHost != nullptr)
        m_pHost->PostMsg("Portal", "TicketResp", param);
    return ret;
}

void CPortalConn::AccountTran() {
    CAuthConfig& cfg = *m_pPortalConf;
    cfg.userName.Trim();
    CAutoString account = cfg.userName.IsNull() ? CAutoString("") : cfg.userName;
    int at = account.Find('@');
    if (cfg.m_strAcountType == "add-domain") {
        const CAutoString& suffix =
            cfg.m_strAcountValue.IsEmpty() ? cfg.domain : cfg.m_strAcountValue;
        CAutoString user = at < 0 ? account : CAutoString(account.c_str(), at);
        cfg.userName = user + "@" + suffix.c_str();
    } else if (cfg.m_strAcountType == "del-domain" && at >= 0) {
        cfg.userName = CAutoString(account.c_str(), at);
    }
}

// The client's login message carries the password: neither it nor the request body is logged.
int CPortalConn::Connect(const char* pXmlStr) {
    CLog* log = CLog::GetInst();
    log->WriteLog(CLog::INFO, "portal connect start");
    CXMLOpt message;
    if (!m_pPortalConf || pXmlStr == nullptr || !message.SetDoc(pXmlStr))
        return -1;
    CAuthConfig& cfg = *m_pPortalConf;
    cfg.userName = message.GetValue("P.user");
    cfg.password = message.GetValue("P.password");
    AccountTran();
    log->WriteLog(CLog::INFO, "CPortalConn::ConnectThread");
    NetStateChange(ES_NONE, ES_CONNECTING, 0, CAutoString(""));
    log->WriteLog(CLog::INFO, "account is %s", cfg.userName.c_str());
    CAutoString body = m_portalParse.MakeAuthRequestData(
        cfg.strUserAgent, cfg.strClientId, cfg.userName, cfg.password, cfg.strTicket, Now());
    log->WriteLog(CLog::INFO, "authUrl is :%s", cfg.strAuthUrl.c_str());
    CHttpData data(true);
    unsigned long code = 0;
    CAutoString sub("");
    int ret =
        SendPortalRequest(OrvaneSvr::auth, cfg.strAuthUrl, body, kLoginRequestMs, data, code, sub);
    return ConnectResult(ret, code, sub, data);
}

int CPortalConn::ConnectResult(int ret, unsigned long code, const CAutoString& sub,
                               CHttpData& data) {
    switch (ret) {
        case 2:
            return 2;
        case -1:
            CLog::GetInst()->WriteLog(CLog::WARN, "auth http err is :%d", static_cast<int>(code));
            PostError(ES_CONNECTFAIL, 150102, code, 1);
            return -1;
        case -8:
            NetStateChange(ES_PRECONNECTING, ES_CONNECTFAIL, 150010, CAutoString(""));
            return -8;
        case -3:
            if (code == 105)
                return Connect105(data, sub);
            if (code != 14)  // 14: the portal ended the login; nothing to show
                NetStateChange(ES_CONNECTING, ES_CONNECTFAIL, PortalCode(code), sub);
            return -1;
        case 1:
            return AcceptLogin(data);
        default:
            return -1;
    }
}

// Error-Code 105: the account may not log in here. With "Last-Login" the client shows where the
// account is logged in; otherwise the hint depends on whether the account is a mobile number.
int CPortalConn::Connect105(const CHttpData& data, const CAutoString& sub) {
    CLog* log = CLog::GetInst();
    log->WriteLog(CLog::WARN, "auth resopnse err is 105");
    log->WriteLog(CLog::INFO, "%s", data.RespHead());
    CAutoString lastLogin = data.GetHeadAttri("Last-Login");
    if (!lastLogin.IsEmpty()) {
        PostNetStateMessageEx(ES_CONNECTING, ES_CONNECTFAIL, 150200, "ConnError", lastLogin);
        return -1;
    }
    const CAutoString& account = m_pPortalConf->userName;
    int at = account.Find('@');
    CAutoString user = at < 0 ? account : CAutoString(account.c_str(), at);
    if (IsMobileNumber(user)) {
        NetStateChange(ES_CONNECTING, ES_CONNECTFAIL, 140105, sub);
    } else {
        log->WriteLog(CLog::WARN,
                      "\xC7\xEB\xCA\xB9\xD3\xC3\xCA\xD6\xBB\xFA\xBA\xC5\xC2\xEB\xD7\xF7"
                      "\xCE\xAA\xBF\xED\xB4\xF8\xB5\xC7\xC2\xBC\xD5\xCB\xBA\xC5");
        NetStateChange(ES_CONNECTING, ES_CONNECTFAIL, 150201, CAutoString(""));
    }
    return -1;
}

int CPortalConn::AcceptLogin(const CHttpData& data) {
    CAutoString user(""), keepUrl(""), termUrl(""), userConfig(""), domainConfig("");
    int retry = 0;
    if (m_portalParse.ParserAuthResponse(data.RespData(), user, retry, keepUrl, termUrl, userConfig,
                                         domainConfig) != 0) {
        NetStateChange(ES_CONNECTING, ES_CONNECTFAIL, 150001, CAutoString(""));
        return -1;
    }
    SaveAuthResponse(user, retry, keepUrl, termUrl, userConfig, domainConfig);
    CAuthConfig& cfg = *m_pPortalConf;
    if (!cfg.m_strDNS.IsEmpty() && SetDNS(cfg.m_strDNS) == 13) {
        NetStateChange(ES_CONNECTING, ES_CONNECTFAIL, 150110, CAutoString(""));
        return -1;
    }
    m_keepRetry = retry + 1;
    NetStateChange(ES_CONNECTING, ES_CONNECTED, 1, CAutoString(""));
    return 1;
}

void CPortalConn::SaveAuthResponse(const CAutoString& userName, int retry,
                                   const CAutoString& strKeepUrl, const CAutoString& strTermUrl,
                                   const CAutoString& strUserConfig,
                                   const CAutoString& strDomainConfig) {
    CAuthConfig& cfg = *m_pPortalConf;
    cfg.userName = userName;
    cfg.strKeepUrl = strKeepUrl;
    cfg.strTermUrl = strTermUrl;
    cfg.iKeepRetry = retry;
    cfg.againstList = strUserConfig;
    cfg.checkWifiInterval =
        static_cast<uint64_t>(CPortalParser::GetCheckWifiShareTime(strUserConfig.c_str()));
    cfg.logoutDelay =
        static_cast<uint64_t>(CPortalParser::GetCheckWifiLogoutTime(cfg.againstList.c_str()));
    cfg.m_strDNS = strDomainConfig;
    if (m_pInfoCenter != nullptr) {
        m_pInfoCenter->SetLocalValue("termUrl", cfg.strTermUrl.c_str());
        m_pInfoCenter->SetLocalValue("keepUrl", cfg.strKeepUrl.c_str());
        m_pInfoCenter->SetLocalValue("keepRetry", std::to_string(cfg.iKeepRetry).c_str());
    }
    cfg.againstList.Replace("\r\n", "");
    if (m_pInfoCenter != nullptr)
        m_pInfoCenter->SetValue("againstList", cfg.againstList.c_str());
    CAutoString param;
    param.Format("<key>DialAccount</key><value>%s</value>",
                 CBusiness::EscapeValue(cfg.userName).c_str());
    if (m_pHost != nullptr)
        m_pHost->PostMsg("Portal", "SetValue", param);
}

int CPortalConn::SetDNS(CAutoString& strDNS) {
    CMarkup xml;
    if (strDNS.IsEmpty() || !xml.SetDoc(strDNS) || !xml.FindElem("domain-config"))
        return -1;
    xml.ResetChildPos();
    if (xml.FindChildElem("dns1"))
        m_strDNS1 = xml.GetChildData();
    xml.ResetChildPos();
    if (xml.FindChildElem("dns2"))
        m_strDNS2 = xml.GetChildData();
    if ((m_strDNS1.IsEmpty() && m_strDNS2.IsEmpty()) || m_pHost == nullptr)
        return -1;
    CAutoString dns1 = m_strDNS1.IsNull() ? CAutoString("") : m_strDNS1;
    CAutoString dns2 = m_strDNS2.IsNull() ? CAutoString("") : m_strDNS2;
    int ret = m_pHost->SetDNS(dns1, dns2);
    CLog::GetInst()->WriteLog(CLog::INFO, "set dns %s %s return %d", m_strDNS1.c_str(),
                              m_strDNS2.c_str(), ret);
    if (ret != 0)
        return ret;
    m_strDNS1 = dns1;
    m_strDNS2 = dns2;
    return 0;
}

// The file goes back as the machine had it, byte for byte: re-applying the replaced addresses
// would lose every server line beyond the second and any server the address check refuses.
void CPortalConn::RestoreDNS() {
    if (m_pHost == nullptr)
        return;
    const int ret = m_pHost->RestoreDNS();
    if (ret != 0)
        CLog::GetInst()->WriteLog(CLog::WARN, "restore dns return %d", ret);
}

int CPortalConn::KeepPluse() {
    CLog* log = CLog::GetInst();
    if (!m_pPortalConf || m_pPortalConf->strKeepUrl.IsEmpty()) {
        log->WriteLog(CLog::WARN, "Keep url is empty");
        return -1;
    }
    CAuthConfig& cfg = *m_pPortalConf;
    // Addresses are read afresh: the adapter may have changed since the login.
    CAutoString ip4(""), ip6(""), mac("");
    if (m_pHost == nullptr || m_pHost->GetIpAndMac(ip4, ip6, mac) != 1)
        ip4 = ip6 = mac = "";
    CAutoString body =
        m_portalParse.MakeKeepRequestData(cfg.strUserAgent, cfg.strClientId, cfg.strTicket, ip4,
                                          ip6, mac, Now(), nullptr, cfg.checkResult);
    CHttpData data(true);
    unsigned long code = 0;
    CAutoString sub("");
    int ret =
        SendPortalRequest(OrvaneSvr::pluse, cfg.strKeepUrl, body, kShortRequestMs, data, code, sub);
    if (ret == 2)
        return 2;
    if (ret == -2)
        return -1;
    if (ret != 1)
        return KeepFailure(ret, code, sub);
    int interval = cfg.iInterval;
    int level = cfg.iKeepLevel;
    if (m_portalParse.ParserKeepResponse(data.RespData(), interval, level) != 0)
        return 0;
    cfg.iInterval = cfg.fileIntervalFlag == 1 ? cfg.fileInterval : interval;
    cfg.iKeepLevel = level;
    m_keepRetry = cfg.iKeepRetry;
    return 1;
}

// A failed keep-alive: tolerated while retries are left, then the login counts as lost.
int CPortalConn::KeepFailure(int ret, unsigned long code, const CAutoString& sub) {
    if (ret == -3 && code == 14) {
        CLog::GetInst()->WriteLog(CLog::WARN, "KeepPluseThread err ret is %d, code is %d", ret, 14);
        NetStateChange(ES_CONNECTED, ES_DISCONNECTED, 14, CAutoString(""));
        return -14;
    }
    if (m_keepRetry > 0) {
        --m_keepRetry;
        return 0;
    }
    if (ret == -3)
        NetStateChange(ES_CONNECTING, ES_CONNECTFAIL, PortalCode(code), sub);
    else if (ret != -8)  // an intercepted answer was reported where it was recognised
        NetStateChange(ES_CONNECTING, ES_CONNECTFAIL, 150108, CAutoString(""));
    return -1;
}

int CPortalConn::CheckConnectState(int bPostErr) {
    (void)bPostErr;
    CLog* log = CLog::GetInst();
    log->WriteLog(CLog::INFO, "Portal check state");
    if (!m_pPortalConf)
        return -1;
    CAuthConfig& cfg = *m_pPortalConf;
    if (cfg.strTicket.IsEmpty() || cfg.strStateUrl.IsEmpty() || cfg.strClientId.IsEmpty()) {
        log->WriteLog(CLog::WARN, "Portal state url is %s", cfg.strStateUrl.c_str());
        return -1;
    }
    CAutoString body =
        m_portalParse.MakeStateRequestData(cfg.strUserAgent, cfg.strClientId, cfg.strTicket, Now());
    CHttpData data(true);
    unsigned long code = 0;
    CAutoString sub("");
    int ret = SendPortalRequest(OrvaneSvr::reqState, cfg.strStateUrl, body, kShortRequestMs, data,
                                code, sub);
    return StateResult(ret, code, data);
}

int CPortalConn::StateResult(int ret, unsigned long code, CHttpData& data) {
    switch (ret) {
        case 2:
            return 2;
        case -2:
            return -1;
        case -3:
            if (code == 300 || code == 301)  // the ticket holds no login yet
                return 0;
            if (code == 14 && GetNetState() == ES_CONNECTED)
                NetStateChange(ES_CONNECTED, ES_CONNECTFAIL, 20010004, CAutoString(""));
            return -14;
        case 1:
            break;
        default:
            CLog::GetInst()->WriteLog(CLog::WARN, "state http err is :%d,errCode is %d", ret,
                                      static_cast<int>(code));
            return 0;
    }
    // A login exists for this ticket (a mobile scan, or one left by an earlier run): adopt it.
    CAutoString user(""), keepUrl(""), termUrl(""), userConfig(""), domainConfig("");
    int retry = 0;
    if (m_portalParse.ParserAuthResponse(data.RespData(), user, retry, keepUrl, termUrl, userConfig,
                                         domainConfig) == 0) {
        SaveAuthResponse(user, retry, keepUrl, termUrl, userConfig, domainConfig);
        if (!m_pPortalConf->m_strDNS.IsEmpty())
            SetDNS(m_pPortalConf->m_strDNS);
        // The adopted login is kept alive with the same tolerance as one made here.
        m_keepRetry = retry + 1;
    }
    NetStateChange(ES_CONNECTING, ES_CONNECTED, 1, CAutoString(""));
    return 1;
}

int CPortalConn::DisConnect(const char* pSrc) {
    CLog* log = CLog::GetInst();
    const char* reason = pSrc != nullptr ? pSrc : "";
    log->WriteLog(CLog::INFO, "DisConnect For %s", reason);
    if (!m_pPortalConf)
        return -1;
    if (std::strcmp(reason, "5") == 0) {
        NetStateChange(ES_PRECONNECTING, ES_PRECONNECTING, 30000106, CAutoString(""));
        SetConnCfg(0);
    }
    CAuthConfig& cfg = *m_pPortalConf;
    CAutoString body = m_portalParse.MakeTermRequestData(cfg.strUserAgent, cfg.strClientId,
                                                         cfg.strTicket, Now(), reason);
    log->WriteLog(CLog::INFO, "TermUrl is :%s", cfg.strTermUrl.c_str());
    CHttpData data(true);
    unsigned long code = 0;
    CAutoString sub("");
    int ret =
        SendPortalRequest(OrvaneSvr::term, cfg.strTermUrl, body, kShortRequestMs, data, code, sub);
    if (ret != 2)
        RestoreDNS();  // whatever the portal answered, the login is over for this machine
    if (m_pHost != nullptr && !m_pHost->IsPortalEnv()) {
        SetConnCfg(0);
        return 0;
    }
    return DisConnectResult(ret, code, sub);
}

int CPortalConn::DisConnectResult(int ret, unsigned long code, const CAutoString& sub) {
    switch (ret) {
        case 2:
            return 2;
        case -1:
            CLog::GetInst()->WriteLog(CLog::WARN, "term http err is :%d", static_cast<int>(code));
            return -1;
        case -8:
            NetStateChange(ES_CONNECTED, ES_DISCONNECTFAIL, 150010, CAutoString(""));
            return -8;
        case -3:
            // 13/14: the portal no longer knows the login, which is what a logout wants.
            if (code != 13 && code != 14) {
                NetStateChange(ES_CONNECTING, ES_CONNECTFAIL, PortalCode(code), sub);
                return -1;
            }
            CLog::GetInst()->WriteLog(CLog::INFO, "portal term response head err code is :%d",
                                      static_cast<int>(code));
            break;
        case 1:
            break;
        default:
            return -1;
    }
    SetConnCfg(0);
    NetStateChange(ES_DISCONNECTING, ES_DISCONNECTED, 1, CAutoString(""));
    return 1;
}

int CPortalConn::TerminalRequestData(CAutoString& pXml) {
    CLog::GetInst()->WriteLog(CLog::INFO, "TerminalRequestData http start");
    if (!m_pPortalConf)
        return 0;
    return SendTerminalQuery(pXml);
}

int CPortalConn::SendTerminalQuery(CAutoString& pXml) {
    CAuthConfig& cfg = *m_pPortalConf;
    CHttpData data(true);
    int ret = 2;
    for (int round = 0; ret == 2 && round < kMaxRenewRounds; ++round) {
        CAutoString body =
            m_portalParse.MakeTerminalRequestData(cfg.strUserAgent, cfg.strClientId, Now());
        CLog::GetInst()->WriteLog(CLog::INFO, "terminal Http URL is :%s", cfg.strQueryUrl.c_str());
        unsigned long code = 0;
        CAutoString sub("");
        ret = SendPortalRequest(OrvaneSvr::terminal, cfg.strQueryUrl, body, kTerminalListMs, data,
                                code, sub);
    }
    if (ret != 1)
        return 0;
    CAutoString doc = m_portalParse.DecodePostResponseData(data.RespData());
    doc.Replace("%", " ");
    int at = doc.Find("<response>");
    if (at < 0)
        return 0;
    pXml = doc.Mid(at);
    return 1;
}

int CPortalConn::TerminalTermRequest(CAutoString ticket) {
    CLog* log = CLog::GetInst();
    log->WriteLog(CLog::INFO, "TerminalTermRequest DisConnect For 8");
    if (!m_pPortalConf)
        return -1;
    CAuthConfig& cfg = *m_pPortalConf;
    int ret = 2;
    for (int round = 0; ret == 2 && round < kMaxRenewRounds; ++round) {
        CAutoString body = m_portalParse.MakeTermRequestData(cfg.strUserAgent, cfg.strClientId,
                                                             ticket, Now(), "8");
        CHttpData data(true);
        unsigned long code = 0;
        CAutoString sub("");
        ret = SendPortalRequest(OrvaneSvr::terminalTerm, cfg.strTermUrl, body, kShortRequestMs,
                                data, code, sub);
        log->WriteLog(CLog::INFO, "TerminalTermRequest TermUrl is :%s return code:%d",
                      cfg.strTermUrl.c_str(), ret);
    }
    return ret;
}
