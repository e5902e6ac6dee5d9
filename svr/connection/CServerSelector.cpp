#include "CServerSelector.h"

#include "CAuthConfig.h"
#include "CCurlHttp.h"
#include "CHttpData.h"
#include "CHttpHelper.h"
#include "CLog.h"
#include "CMD5.h"
#include "CPortalParser.h"
#include "CommFunc.h"
#include "IConnContext.h"
#include "IPortalHost.h"
#include "ISvrInfoCenter.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>

namespace {

// Sends per RequestPortalServer call.
constexpr int kHttpRetry = 2;

// A decimal header value read as atoi reads it, clamped to the int range so that a hostile
// value cannot overflow.
int HeaderInt(const CAutoString& text) {
    long value = std::strtol(text.c_str(), nullptr, 10);
    return static_cast<int>(std::clamp<long>(value, INT_MIN, INT_MAX));
}

}  // namespace

CAutoString CServerSelector::RequestTime() {
    return CommFunc::GetLocalTime("%Y-%m-%d %H:%M:%S");
}

bool CServerSelector::IsRequestRedirect(const CHttpData* phttpData) {
    if (phttpData == nullptr)
        return true;
    if (phttpData->retCode == 302 || phttpData->retCode == 303)
        return true;
    if (phttpData->retCode != 200)
        return false;
    return phttpData->GetHeadAttri("Error-Code").IsEmpty() ||
           phttpData->GetHeadAttri("Server-Tag").IsEmpty();
}

int CServerSelector::GetErrorCode(CHttpData& httpData, CAutoString& subErrCode) {
    subErrCode = httpData.GetHeadAttri("Sub-Error");
    const CAutoString code = httpData.GetHeadAttri("Error-Code");
    return code.IsEmpty() ? -1 : HeaderInt(code);
}

void CServerSelector::HandleIntercepted(OrvaneSvr::TaskItem verb, const CHttpData* pData) {
    CLog::GetInst()->WriteLog(CLog::INFO, "request %s redirect", pData->szUrl ? pData->szUrl : "");
    IPortalHost* host = m_conn.Host();
    if (verb == OrvaneSvr::pluse) {
        // The keep-alive was caught by the gateway: the login is gone.
        m_conn.NetStateChange(INetConn::ES_CONNECTING, INetConn::ES_CONNECTFAIL, 150108,
                              CAutoString(""));
        if (host != nullptr)
            host->DisConnect(CAutoString("4"));
    } else if (host != nullptr) {
        host->ChangeToUnknowEnv();
    }
}

int CServerSelector::HandleRenewal(OrvaneSvr::TaskItem verb, CHttpData* pData, int& failures,
                                   int& others) {
    CLog* log = CLog::GetInst();
    m_conn.NetStateChange(INetConn::ES_PRECONNECTING, INetConn::ES_PRECONNECTING, 30000104,
                          CAutoString(""));
    const int renewed = m_conn.GetPortalParser().UpdateAlgoid(pData);
    if (renewed == 1) {
        log->WriteLog(CLog::INFO, "update algoid success");
        m_conn.NetStateChange(INetConn::ES_PRECONNECTING, INetConn::ES_PRECONNECTING, 30000105,
                              CAutoString(""));
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
        m_conn.NetStateChange(INetConn::ES_CONNECTING, INetConn::ES_CONNECTFAIL, 150003,
                              CAutoString(""));
    else
        m_conn.NetStateChange(INetConn::ES_PRECONNECTING, INetConn::ES_PRECONNECTFAIL, 150003,
                              CAutoString(""));
    return -2;
}

int CServerSelector::RequestPortalServer(OrvaneSvr::TaskItem verb, CHttpData* pData,
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
            m_conn.NetStateChange(INetConn::ES_PRECONNECTING, INetConn::ES_PRECONNECTFAIL, 140003,
                                  subErrCode);
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

int CServerSelector::SendPortalRequest(OrvaneSvr::TaskItem verb, const CAutoString& url,
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

CAutoString CServerSelector::GetRequestHead(const CAutoString& body) {
    static const CAuthConfig kEmpty;
    const CAuthConfig* record = m_conn.GetPortalConf();
    const CAuthConfig& conf = record != nullptr ? *record : kEmpty;
    return m_conn.GetPortalParser().MakeRequestHead(conf.strUserAgent, conf.strClientId,
                                                    GetMD5FromPostData(body), conf.schoolId,
                                                    conf.domain, conf.area);
}

CAutoString CServerSelector::GetMD5FromPostData(const CAutoString& body) {
    const char* text = body.c_str();
    return CAutoString(CMD5::HexDigest(text, strlen(text)));
}

bool CServerSelector::GetNewServerIP(CAutoString& url) {
    CAutoString host;
    const CAuthConfig* record = m_conn.GetPortalConf();
    if (record == nullptr || !CHttpHelper::ParseIP(url, host))
        return false;
    std::lock_guard<std::mutex> guard(m_serverLock);
    const bool v6 = record->m_afType == 10 && !record->ip6.IsEmpty();
    HashBalance& balance = v6 ? m_hashBalance6 : m_hashBalance4;
    const CAutoString chosen = balance.getServer(v6 ? record->ip6 : record->ip4);
    if (chosen.IsEmpty())
        return false;
    url.Replace(host, chosen);
    balance.deleteIp(chosen);
    CLog::GetInst()->WriteLog(CLog::INFO, "GetNewServerIP old url %s, new url %s", host.c_str(),
                              url.c_str());
    return true;
}

void CServerSelector::SetServerIp() {
    CAuthConfig* record = m_conn.GetPortalConf();
    if (record == nullptr)
        return;
    CAuthConfig& cfg = *record;
    if (cfg.m_afType == 2)
        cfg.strUserAgent.Format("ZKRW/Linux64/%s", cfg.version.c_str());
    else if (cfg.m_afType == 10)
        cfg.strUserAgent.Format("ZKRW/LinuxIpv664/%s", cfg.version.c_str());
    CLog::GetInst()->WriteLog(CLog::INFO, "sysVer is %s,agent is %s", cfg.ostag.c_str(),
                              cfg.strUserAgent.c_str());
}

void CServerSelector::RefillServerLists() {
    const CAuthConfig* record = m_conn.GetPortalConf();
    if (record == nullptr)
        return;
    std::lock_guard<std::mutex> guard(m_serverLock);
    if (m_hashBalance4.Size() == 0 && !record->m_strServersIPv4.IsEmpty())
        m_hashBalance4.SetIpList(record->m_strServersIPv4);
    if (m_hashBalance6.Size() == 0 && !record->m_strServersIPv6.IsEmpty())
        m_hashBalance6.SetIpList(record->m_strServersIPv6);
}

void CServerSelector::LoadServerLists(const CAuthConfig& cfg) {
    std::lock_guard<std::mutex> guard(m_serverLock);
    if (!cfg.m_strServersIPv4.IsEmpty())
        m_hashBalance4.SetIpList(cfg.m_strServersIPv4);
    if (!cfg.m_strServersIPv6.IsEmpty())
        m_hashBalance6.SetIpList(cfg.m_strServersIPv6);
}

// Keeps the list of the family in use; the stored value is the list held before this fetch. The
// list is loaded whole at every fetch: servers used up by earlier moves are tried again, so that
// a few failed detections cannot leave the client with nowhere to move.
void CServerSelector::UpdateServerList() {
    std::lock_guard<std::mutex> guard(m_serverLock);
    CAuthConfig& cfg = *m_conn.GetPortalConf();
    const bool v6 = cfg.m_afType == 10;
    CAutoString& held = v6 ? cfg.m_strServersIPv6 : cfg.m_strServersIPv4;
    HashBalance& balance = v6 ? m_hashBalance6 : m_hashBalance4;
    if (ISvrInfoCenter* info = m_conn.InfoCenter())
        info->SetLocalValue(v6 ? "serverCluster6" : "serverCluster", held.c_str());
    if (!cfg.m_strServers.IsEmpty())
        held = cfg.m_strServers;
    balance.SetIpList(held);
}
