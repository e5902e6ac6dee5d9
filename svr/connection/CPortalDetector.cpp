#include "CPortalDetector.h"

#include "CAuthConfig.h"
#include "CCurlHttp.h"
#include "CHttpData.h"
#include "CHttpHelper.h"
#include "CLog.h"
#include "CPortalParser.h"
#include "CServerSelector.h"
#include "IConnContext.h"
#include "IPortalHost.h"

#include <cstring>
#include <string>

void CPortalDetector::LoadStoredConfig(CAuthConfig& cfg) {
    CLog* log = CLog::GetInst();
    cfg.hostName = m_conn.MemoryValue("hostName");
    cfg.strClientId = m_conn.MemoryValue("clientId");
    cfg.version.Format("%s", m_conn.MemoryValue("version").c_str());
    log->WriteLog(CLog::INFO, "version is %s", cfg.version.c_str());
    cfg.ostag = "linux64";
    cfg.strUserAgent.Format("ZKRW/Linux64/%s", cfg.version.c_str());
    log->WriteLog(CLog::INFO, "sysVer is %s,agent is %s", cfg.ostag.c_str(),
                  cfg.strUserAgent.c_str());

    m_redirectUrl = m_conn.LocalValue("redirect");
    if (m_redirectUrl.IsEmpty())
        m_redirectUrl = kDefaultRedirectUrl;
    m_redirectUrlIpv6 = m_conn.LocalValue("redirectipv6");
    if (m_redirectUrlIpv6.IsEmpty())
        m_redirectUrlIpv6 = kDefaultRedirectUrlIpv6;
    ReadStoredValues(cfg);
}

void CPortalDetector::ReadStoredValues(CAuthConfig& cfg) {
    cfg.strTermUrl = m_conn.LocalValue("termUrl");
    cfg.strKeepUrl = m_conn.LocalValue("keepUrl");
    cfg.iKeepRetry = m_conn.LocalInt("keepRetry");
    cfg.strTicket = m_conn.LocalValue("ticket");
    cfg.strStateUrl = m_conn.LocalValue("stateUrl");
    cfg.nDefaultAuth = m_conn.LocalInt("defaultAuth");
    if (cfg.nDefaultAuth == 0)
        cfg.nDefaultAuth = 1;
    cfg.schoolId = m_conn.LocalValue("schoolId");
    cfg.domain = m_conn.LocalValue("domain");
    cfg.area = m_conn.LocalValue("area");
    cfg.wlanuserip = m_conn.LocalValue("wlanuserip");
    cfg.wlanusermac = m_conn.LocalValue("wlanusermac");
    cfg.wlancip = m_conn.LocalValue("wlanacip");
    cfg.fileInterval = m_conn.LocalInt("plusInterval");
    cfg.fileIntervalFlag = m_conn.LocalInt("plusFlag");
    m_disasterUrl = m_conn.LocalValue("disasterUrl");
    m_disasterUrl.MakeLower();
    cfg.m_strServersIPv4 = m_conn.LocalValue("serverCluster");
    cfg.m_strServersIPv6 = m_conn.LocalValue("serverCluster6");
}

// One probe request: GET, redirects left to the caller, ten seconds.
int CPortalDetector::ProbeOnce(const CAutoString& url, CHttpData& data) {
    if (!CHttpData::IsHeaderValue(m_conn.GetPortalConf()->strUserAgent.c_str())) {
        CLog::GetInst()->WriteLog(CLog::ERROR,
                                  "probe not sent: the user agent holds a control character");
        return -1;
    }
    CAutoString head;
    head.Format(
        "Connection:close\r\nUser-Agent:%s\r\nAccept:text/html,text/xml,"
        "application/xhtml+xml,application/x-javascript,*/*",
        m_conn.GetPortalConf()->strUserAgent.c_str());
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
void CPortalDetector::TakeSchoolHeaders(const CHttpData& data) {
    CLog* log = CLog::GetInst();
    const CAutoString school = data.GetHeadAttri("schoolid:");
    const CAutoString domain = data.GetHeadAttri("domain:");
    const CAutoString area = data.GetHeadAttri("area:");
    log->WriteLog(CLog::INFO, "schoolid length is %u", school.GetLength());
    log->WriteLog(CLog::INFO, "schoolid is %s,domain is %s,area is %s", school.c_str(),
                  domain.c_str(), area.c_str());
    if (school.IsEmpty() || domain.IsEmpty() || area.IsEmpty())
        return;
    CAuthConfig& cfg = *m_conn.GetPortalConf();
    cfg.schoolId = school;
    cfg.domain = domain;
    cfg.area = area;
    m_conn.SetLocals({{"schoolId", school}, {"domain", domain}, {"area", area}});
}

// The portal page's address carries this machine's identity on the portal network.
void CPortalDetector::TakePortalIdentity(const CAutoString& url) {
    CHttpHelper helper;
    if (!helper.SetAddress(url))
        return;
    CAuthConfig& cfg = *m_conn.GetPortalConf();
    cfg.wlanuserip = helper.GetParam("wlanuserip");
    cfg.wlanusermac = helper.GetParam("wlanusermac");
    cfg.wlancip = helper.GetParam("wlanacip");
    m_conn.SetLocals({{"wlanuserip", cfg.wlanuserip},
                      {"wlanusermac", cfg.wlanusermac},
                      {"wlanacip", cfg.wlancip}});
    CLog::GetInst()->WriteLog(CLog::INFO, "wlanuserip is %s, wlanusermac is %s, wlanacip is %s",
                              cfg.wlanuserip.c_str(), cfg.wlanusermac.c_str(), cfg.wlancip.c_str());
}

// A portal server that does not answer: the page is tried on another one of the cluster, a
// bounded number of times.
bool CPortalDetector::MoveToAnotherServer(CAutoString& url, int& failovers) {
    if (url.Find("index.cgi") < 0 || failovers >= kMaxProbeFailovers ||
        !m_selector.GetNewServerIP(url))
        return false;
    ++failovers;
    return true;
}

int CPortalDetector::CheckNetEnv() {
    CLog* log = CLog::GetInst();
    log->WriteLog(CLog::INFO, "CPortalConn::CheckConnState");
    const CAuthConfig* record = m_conn.GetPortalConf();
    if (record == nullptr)
        return -1;
    CAutoString url = record->m_afType == 10 ? m_redirectUrlIpv6 : m_redirectUrl;
    CHttpData data(true);
    int redirects = 0;
    int failovers = 0;
    for (;;) {
        log->WriteLog(CLog::INFO, "requestConfig is :%s", url.c_str());
        const int result = ProbeOnce(url, data);
        if (result != 0) {
            log->WriteLog(CLog::INFO, "requestConfig http err is :%d", result);
            if (MoveToAnotherServer(url, failovers))
                continue;
            return result;
        }
        log->WriteLog(CLog::INFO, "portal test  request state code is %d", data.retCode);
        log->WriteLog(CLog::INFO, "%s", data.RespHead());
        TakeSchoolHeaders(data);
        url = data.GetRedirectAddress();
        if (url.Find("index.cgi") >= 0)
            m_selector.GetNewServerIP(url);
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
    return m_conn.GetPortalParser().GetConfigWithString(data.RespData(), m_configXML) > 0 ? 1 : 0;
}

int CPortalDetector::RequestConfig() {
    CLog::GetInst()->WriteLog(CLog::INFO, "CPortalConn::RequestConfig");
    const int found = CheckNetEnv();
    if (found == 0)
        return 0;
    if (found == -1 && m_conn.GetPortalConf() != nullptr)
        m_conn.NetStateChange(INetConn::ES_PRECONNECTING, INetConn::ES_PRECONNECTFAIL, 20010205,
                              CAutoString(""));
    if (found != 1)
        return -1;
    // Pages put the block on lines of its own; an XML declaration counts only at the very start.
    const char* block = m_configXML.c_str();
    block += std::strspn(block, " \t\r\n");
    if (m_conn.ParseConfig(block) != 0) {
        CLog::GetInst()->WriteLog(CLog::WARN, "portal configuration refused");
        return -1;
    }
    PublishConfig();
    m_selector.UpdateServerList();
    m_conn.SetConnCfg(0);
    return 1;
}

// The order is the one the client has always seen: methods, identity, school, functions, urls,
// version.
void CPortalDetector::PublishConfig() {
    const CAuthConfig& cfg = *m_conn.GetPortalConf();
    SendData("authType", std::to_string(cfg.nAuthType).c_str());
    m_conn.SetGlobal("wlanuserip", cfg.wlanuserip);
    m_conn.SetGlobal("wlanusermac", cfg.wlanusermac);
    SendData("authDefautType", std::to_string(cfg.nDefaultAuth).c_str());
    m_conn.SetGlobal("wlanacip", cfg.wlancip);
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
    m_conn.SetLocals({{"tickUrl", cfg.strTickUrl},
                      {"stateUrl", cfg.strStateUrl},
                      {"defaultAuth", std::to_string(cfg.nDefaultAuth).c_str()}});
    SendData("version", cfg.version);
    SendData("clientId", m_conn.LocalValue("clientId"));
}

void CPortalDetector::SendData(const char* key, const char* value) {
    if (key == nullptr || value == nullptr || *value == '\0')
        return;
    m_conn.SetGlobal(key, value);
    IPortalHost* host = m_conn.Host();
    if (host == nullptr)
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
    host->PostMsg("Portal", "InfoCenter", param);
}
