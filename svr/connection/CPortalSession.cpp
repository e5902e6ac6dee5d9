#include "CPortalSession.h"

#include "CAuthConfig.h"
#include "CBusiness.h"
#include "CDnsGuard.h"
#include "CHttpData.h"
#include "CLog.h"
#include "CPortalDetector.h"
#include "CPortalParser.h"
#include "CServerSelector.h"
#include "CXMLOpt.h"
#include "IConnContext.h"
#include "IPortalHost.h"
#include "ISvrInfoCenter.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <utility>

namespace {

constexpr unsigned long kPortalErrorBase = 140000;

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

CAutoString Now() {
    return CServerSelector::RequestTime();
}

}  // namespace

// ---- Ticket ---------------------------------------------------------------------------------

int CPortalSession::RequestTicketOnce() {
    CLog* log = CLog::GetInst();
    log->WriteLog(CLog::INFO, "CPortalConn::_RequestTicket");
    if (m_conn.GetPortalConf() == nullptr)
        return -1;
    CAuthConfig& cfg = *m_conn.GetPortalConf();
    if (cfg.strTickUrl.IsEmpty())
        m_detector.RequestConfig();
    if (cfg.strTickUrl.IsEmpty()) {
        log->WriteLog(CLog::WARN, "CPortalConn::ticketUrl is NULL");
        m_conn.NetStateChange(INetConn::ES_PRECONNECTING, INetConn::ES_PRECONNECTFAIL, 20010003,
                              CAutoString(""));
        return -1;
    }
    if (!TakeAddresses(cfg))
        return -3;
    CAutoString body = m_conn.GetPortalParser().MakeTickRequestData(
        cfg.hostName, cfg.strUserAgent, cfg.strClientId, cfg.ip4, cfg.ip6, cfg.mac, Now(),
        cfg.ostag);
    if (body.IsEmpty()) {
        m_conn.NetStateChange(INetConn::ES_PRECONNECTING, INetConn::ES_PRECONNECTFAIL, 150106,
                              CAutoString(""));
        return -5;
    }
    CHttpData data(true);
    unsigned long code = 0;
    CAutoString sub("");
    int ret = m_selector.SendPortalRequest(OrvaneSvr::reqTicket, cfg.strTickUrl, body,
                                           CServerSelector::kShortRequestMs, data, code, sub);
    return TicketResult(ret, code, sub, data);
}

// The ticket names this machine by the addresses of the adapter that carries the default route.
bool CPortalSession::TakeAddresses(CAuthConfig& cfg) {
    m_conn.NetStateChange(INetConn::ES_PRECONNECTING, INetConn::ES_PRECONNECTING, 30000103,
                          CAutoString(""));
    CAutoString ip4(""), ip6(""), mac("");
    IPortalHost* host = m_conn.Host();
    int found = host != nullptr ? host->GetIpAndMac(ip4, ip6, mac) : -1;
    CLog::GetInst()->WriteLog(CLog::INFO, "ip4 is %s", ip4.c_str());
    if (found != 1) {
        m_conn.NetStateChange(INetConn::ES_PRECONNECTING, INetConn::ES_PRECONNECTFAIL, 150107,
                              CAutoString(""));
        return false;
    }
    m_conn.NetStateChange(INetConn::ES_PRECONNECTING, INetConn::ES_PRECONNECTING, 30000102,
                          CAutoString(""));
    cfg.ip4 = ip4;
    cfg.ip6 = ip6;
    cfg.mac = mac;
    return true;
}

int CPortalSession::TicketResult(int ret, unsigned long code, const CAutoString& sub,
                                 CHttpData& data) {
    CAuthConfig& cfg = *m_conn.GetPortalConf();
    switch (ret) {
        case 2:
            return 2;
        case -1:
            if (m_selector.GetNewServerIP(cfg.strTickUrl))
                return -99;
            CLog::GetInst()->WriteLog(CLog::WARN, "ticket http err is :%d", static_cast<int>(code));
            m_conn.PostError(INetConn::ES_PRECONNECTING, 150103, code, 1);
            return -1;
        case -8:
            m_conn.NetStateChange(INetConn::ES_CONNECTED, INetConn::ES_DISCONNECTFAIL, 150010,
                                  CAutoString(""));
            return -8;
        case -3:
            m_conn.NetStateChange(INetConn::ES_PRECONNECTING, INetConn::ES_PRECONNECTFAIL,
                                  PortalCode(code), sub);
            return -1;
        case 1:
            break;
        default:
            return -1;
    }
    CAutoString ticket("");
    int expire = 0;
    if (m_conn.GetPortalParser().ParserTickResponse(data.RespData(), ticket, expire) != 0) {
        m_conn.NetStateChange(INetConn::ES_PRECONNECTING, INetConn::ES_PRECONNECTFAIL, 150003,
                              CAutoString(""));
        return -7;
    }
    cfg.strTicket = ticket;
    cfg.expire = expire;
    m_conn.SetGlobal("ticket", ticket);
    return 1;
}

int CPortalSession::RequestTicket() {
    int ret = RequestTicketOnce();
    if (ret != 1)
        return ret;
    const CAuthConfig& cfg = *m_conn.GetPortalConf();
    m_conn.SetLocal("ticket", cfg.strTicket);
    // The ticket identifies the login to the portal; the log keeps only a recognisable piece.
    CLog::GetInst()->WriteLog(CLog::INFO, "ticket is %s",
                              CLog::Abbreviate(cfg.strTicket.c_str()).c_str());
    m_conn.NetStateChange(INetConn::ES_PRECONNECTING, INetConn::ES_PRECONNECTED, 0,
                          CAutoString(""));
    PostTicket();
    return ret;
}

// Both values come from outside (the portal, the machine's name): escaped so that they cannot
// break the message they travel in.
void CPortalSession::PostTicket() {
    const CAuthConfig& cfg = *m_conn.GetPortalConf();
    CAutoString ticket = CBusiness::EscapeValue(cfg.strTicket);
    CAutoString host = CBusiness::EscapeValue(cfg.hostName);
    CAutoString param;
    param.Format("<ticket>%s</ticket><hostname>%s</hostname><qr>zkrw://%s@%s</qr>", ticket.c_str(),
                 host.c_str(), ticket.c_str(), host.c_str());
    if (m_conn.Host() != nullptr)
        m_conn.Host()->PostMsg("Portal", "TicketResp", param);
}

// ---- Login ----------------------------------------------------------------------------------

void CPortalSession::AccountTran() {
    CAuthConfig& cfg = *m_conn.GetPortalConf();
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
int CPortalSession::Connect(const char* pXmlStr) {
    CLog* log = CLog::GetInst();
    log->WriteLog(CLog::INFO, "portal connect start");
    CXMLOpt message;
    if (m_conn.GetPortalConf() == nullptr || pXmlStr == nullptr || !message.SetDoc(pXmlStr))
        return -1;
    CAuthConfig& cfg = *m_conn.GetPortalConf();
    cfg.userName = message.GetValue("P.user");
    cfg.password = message.GetValue("P.password");
    AccountTran();
    log->WriteLog(CLog::INFO, "CPortalConn::ConnectThread");
    m_conn.NetStateChange(INetConn::ES_NONE, INetConn::ES_CONNECTING, 0, CAutoString(""));
    log->WriteLog(CLog::INFO, "account is %s", cfg.userName.c_str());
    CAutoString body = m_conn.GetPortalParser().MakeAuthRequestData(
        cfg.strUserAgent, cfg.strClientId, cfg.userName, cfg.password, cfg.strTicket, Now());
    log->WriteLog(CLog::INFO, "authUrl is :%s", cfg.strAuthUrl.c_str());
    CHttpData data(true);
    unsigned long code = 0;
    CAutoString sub("");
    int ret = m_selector.SendPortalRequest(OrvaneSvr::auth, cfg.strAuthUrl, body,
                                           CServerSelector::kLoginRequestMs, data, code, sub);
    return ConnectResult(ret, code, sub, data);
}

int CPortalSession::ConnectResult(int ret, unsigned long code, const CAutoString& sub,
                                  CHttpData& data) {
    switch (ret) {
        case 2:
            return 2;
        case -1:
            CLog::GetInst()->WriteLog(CLog::WARN, "auth http err is :%d", static_cast<int>(code));
            m_conn.PostError(INetConn::ES_CONNECTFAIL, 150102, code, 1);
            return -1;
        case -8:
            m_conn.NetStateChange(INetConn::ES_PRECONNECTING, INetConn::ES_CONNECTFAIL, 150010,
                                  CAutoString(""));
            return -8;
        case -3:
            if (code == 105)
                return Connect105(data, sub);
            if (code != 14)  // 14: the portal ended the login; nothing to show
                m_conn.NetStateChange(INetConn::ES_CONNECTING, INetConn::ES_CONNECTFAIL,
                                      PortalCode(code), sub);
            return -1;
        case 1:
            return AcceptLogin(data);
        default:
            return -1;
    }
}

// Error-Code 105: the account may not log in here. With "Last-Login" the client shows where the
// account is logged in; otherwise the hint depends on whether the account is a mobile number.
int CPortalSession::Connect105(const CHttpData& data, const CAutoString& sub) {
    CLog* log = CLog::GetInst();
    log->WriteLog(CLog::WARN, "auth resopnse err is 105");
    log->WriteLog(CLog::INFO, "%s", data.RespHead());
    CAutoString lastLogin = data.GetHeadText("Last-Login");  // shown as it stands, blanks kept
    if (!lastLogin.IsEmpty()) {
        m_conn.PostNetStateMessageEx(INetConn::ES_CONNECTING, INetConn::ES_CONNECTFAIL, 150200,
                                     "ConnError", lastLogin);
        return -1;
    }
    const CAutoString& account = m_conn.GetPortalConf()->userName;
    int at = account.Find('@');
    CAutoString user = at < 0 ? account : CAutoString(account.c_str(), at);
    if (IsMobileNumber(user)) {
        m_conn.NetStateChange(INetConn::ES_CONNECTING, INetConn::ES_CONNECTFAIL, 140105, sub);
    } else {
        log->WriteLog(CLog::WARN,
                      "\xC7\xEB\xCA\xB9\xD3\xC3\xCA\xD6\xBB\xFA\xBA\xC5\xC2\xEB\xD7\xF7"
                      "\xCE\xAA\xBF\xED\xB4\xF8\xB5\xC7\xC2\xBC\xD5\xCB\xBA\xC5");
        m_conn.NetStateChange(INetConn::ES_CONNECTING, INetConn::ES_CONNECTFAIL, 150201,
                              CAutoString(""));
    }
    return -1;
}

int CPortalSession::AcceptLogin(const CHttpData& data) {
    CAutoString user(""), keepUrl(""), termUrl(""), userConfig(""), domainConfig("");
    int retry = 0;
    if (m_conn.GetPortalParser().ParserAuthResponse(data.RespData(), user, retry, keepUrl, termUrl,
                                                    userConfig, domainConfig) != 0) {
        m_conn.NetStateChange(INetConn::ES_CONNECTING, INetConn::ES_CONNECTFAIL, 150001,
                              CAutoString(""));
        return -1;
    }
    ISvrInfoCenter::LocalValues stored =
        TakeAuthResponse(user, retry, keepUrl, termUrl, userConfig, domainConfig);
    CAuthConfig& cfg = *m_conn.GetPortalConf();
    if (!cfg.m_strDNS.IsEmpty() && m_dnsGuard.SetDNS(cfg.m_strDNS) == 13) {
        m_conn.SetLocals(std::move(stored));
        m_conn.NetStateChange(INetConn::ES_CONNECTING, INetConn::ES_CONNECTFAIL, 150110,
                              CAutoString(""));
        return -1;
    }
    m_keepRetry = retry + 1;
    m_failingSince = {};
    // Stored with the login's record, after the client has been told (see NetStateChange).
    m_conn.StoreWithConnState(std::move(stored));
    m_conn.NetStateChange(INetConn::ES_CONNECTING, INetConn::ES_CONNECTED, 1, CAutoString(""));
    return 1;
}

void CPortalSession::SaveAuthResponse(const CAutoString& userName, int retry,
                                      const CAutoString& strKeepUrl, const CAutoString& strTermUrl,
                                      const CAutoString& strUserConfig,
                                      const CAutoString& strDomainConfig) {
    m_conn.SetLocals(
        TakeAuthResponse(userName, retry, strKeepUrl, strTermUrl, strUserConfig, strDomainConfig));
}

ISvrInfoCenter::LocalValues CPortalSession::TakeAuthResponse(const CAutoString& userName, int retry,
                                                             const CAutoString& strKeepUrl,
                                                             const CAutoString& strTermUrl,
                                                             const CAutoString& strUserConfig,
                                                             const CAutoString& strDomainConfig) {
    CAuthConfig& cfg = *m_conn.GetPortalConf();
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
    cfg.againstList.Replace("\r\n", "");
    if (ISvrInfoCenter* info = m_conn.InfoCenter())
        info->SetValue("againstList", cfg.againstList.c_str());
    CAutoString param;
    param.Format("<key>DialAccount</key><value>%s</value>",
                 CBusiness::EscapeValue(cfg.userName).c_str());
    if (m_conn.Host() != nullptr)
        m_conn.Host()->PostMsg("Portal", "SetValue", param);
    return {{"termUrl", cfg.strTermUrl},
            {"keepUrl", cfg.strKeepUrl},
            {"keepRetry", std::to_string(cfg.iKeepRetry).c_str()}};
}

// ---- Keep-alive and state -------------------------------------------------------------------

int CPortalSession::KeepPluse() {
    const CAuthConfig* record = m_conn.GetPortalConf();
    if (record == nullptr || record->strKeepUrl.IsEmpty()) {
        CLog::GetInst()->WriteLog(CLog::WARN, "Keep url is empty");
        return -1;
    }
    CAuthConfig& cfg = *m_conn.GetPortalConf();
    // Addresses are read afresh: the adapter may have changed since the login.
    CAutoString ip4(""), ip6(""), mac("");
    IPortalHost* host = m_conn.Host();
    if (host == nullptr || host->GetIpAndMac(ip4, ip6, mac) != 1)
        ip4 = ip6 = mac = "";
    CPortalParser& parser = m_conn.GetPortalParser();
    CAutoString body = parser.MakeKeepRequestData(cfg.strUserAgent, cfg.strClientId, cfg.strTicket,
                                                  ip4, ip6, mac, Now(), nullptr, cfg.checkResult);
    CHttpData data(true);
    unsigned long code = 0;
    CAutoString sub("");
    int ret = m_selector.SendPortalRequest(OrvaneSvr::pluse, cfg.strKeepUrl, body,
                                           CServerSelector::kShortRequestMs, data, code, sub);
    if (ret == 2)
        return 2;
    if (ret == -2)
        return -1;
    if (ret != 1)
        return KeepFailure(ret, code, sub);
    int interval = cfg.iInterval;
    int level = cfg.iKeepLevel;
    if (parser.ParserKeepResponse(data.RespData(), interval, level) != 0)
        return 0;
    cfg.iInterval = cfg.fileIntervalFlag == 1 ? cfg.fileInterval : interval;
    cfg.iKeepLevel = level;
    m_keepRetry = cfg.iKeepRetry;
    m_failingSince = {};
    return 1;
}

// A failed keep-alive: tolerated while retries are left, then the login counts as lost.
int CPortalSession::KeepFailure(int ret, unsigned long code, const CAutoString& sub) {
    if (ret == -3 && code == 14) {
        CLog::GetInst()->WriteLog(CLog::WARN, "KeepPluseThread err ret is %d, code is %d", ret, 14);
        m_dnsGuard.RestoreDNS();  // the portal ended the login: its name servers go with it
        m_conn.NetStateChange(INetConn::ES_CONNECTED, INetConn::ES_DISCONNECTED, 14,
                              CAutoString(""));
        return -14;
    }
    if (ret == -3 && (code == 10 || code == 13)) {
        // The portal no longer knows this ticket or login (it was restarted, or forgot us): no
        // further keep-alive can succeed, so waiting out the tolerance would only delay the
        // new login.
        CLog::GetInst()->WriteLog(CLog::WARN,
                                  "keep-alive: the portal no longer knows the login "
                                  "(code %d)",
                                  static_cast<int>(code));
        m_conn.NetStateChange(INetConn::ES_CONNECTED, INetConn::ES_DISCONNECTED, PortalCode(code),
                              sub);
        return -10;
    }
    if (KeepFailureTolerated())
        return 0;
    if (ret == -3)
        m_conn.NetStateChange(INetConn::ES_CONNECTING, INetConn::ES_CONNECTFAIL, PortalCode(code),
                              sub);
    else if (ret != -8)  // an intercepted answer was reported where it was recognised
        m_conn.NetStateChange(INetConn::ES_CONNECTING, INetConn::ES_CONNECTFAIL, 150108,
                              CAutoString(""));
    return -1;
}

bool CPortalSession::KeepFailureTolerated() {
    IPortalHost* host = m_conn.Host();
    if (host != nullptr && !host->IsLinkUp()) {
        // Nothing can get through a link that is down: such failures say nothing about the
        // login, and the tolerance starts when the link is back.
        m_failingSince = {};
        return true;
    }
    const auto now = m_clock();
    if (m_failingSince == std::chrono::steady_clock::time_point{})
        m_failingSince = now;
    if (m_keepRetry > 0) {
        --m_keepRetry;
        return true;
    }
    const CAuthConfig* cfg = m_conn.GetPortalConf();
    const long interval = cfg != nullptr && cfg->iInterval > 0 ? cfg->iInterval : 1;
    const long retries = cfg != nullptr && cfg->iKeepRetry > 0 ? cfg->iKeepRetry : 1;
    const auto tolerance = std::max<std::chrono::seconds>(
        kMinKeepTolerance, std::chrono::seconds(std::min(retries * interval, 86400L)));
    if (now - m_failingSince < tolerance)
        return true;
    CLog::GetInst()->WriteLog(
        CLog::WARN, "keep-alives failed for %ld s: the login is lost",
        static_cast<long>(
            std::chrono::duration_cast<std::chrono::seconds>(now - m_failingSince).count()));
    m_failingSince = {};
    return false;
}

int CPortalSession::CheckConnectState() {
    CLog* log = CLog::GetInst();
    log->WriteLog(CLog::INFO, "Portal check state");
    if (m_conn.GetPortalConf() == nullptr)
        return -1;
    CAuthConfig& cfg = *m_conn.GetPortalConf();
    if (cfg.strTicket.IsEmpty() || cfg.strStateUrl.IsEmpty() || cfg.strClientId.IsEmpty()) {
        log->WriteLog(CLog::WARN, "Portal state url is %s", cfg.strStateUrl.c_str());
        return -1;
    }
    CAutoString body = m_conn.GetPortalParser().MakeStateRequestData(
        cfg.strUserAgent, cfg.strClientId, cfg.strTicket, Now());
    CHttpData data(true);
    unsigned long code = 0;
    CAutoString sub("");
    int ret = m_selector.SendPortalRequest(OrvaneSvr::reqState, cfg.strStateUrl, body,
                                           CServerSelector::kShortRequestMs, data, code, sub);
    return StateResult(ret, code, data);
}

int CPortalSession::StateResult(int ret, unsigned long code, CHttpData& data) {
    switch (ret) {
        case 2:
            return 2;
        case -2:
            return -1;
        case -3:
            if (code == 300 || code == 301)  // the ticket holds no login yet
                return 0;
            if (code == 14 && m_conn.GetNetState() == INetConn::ES_CONNECTED)
                m_conn.NetStateChange(INetConn::ES_CONNECTED, INetConn::ES_CONNECTFAIL, 20010004,
                                      CAutoString(""));
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
    if (m_conn.GetPortalParser().ParserAuthResponse(data.RespData(), user, retry, keepUrl, termUrl,
                                                    userConfig, domainConfig) != 0) {
        // An answer that cannot be read proves no login: reporting one would tell the user they
        // are online and start keep-alives that can only fail. The next poll asks again.
        CLog::GetInst()->WriteLog(CLog::WARN, "state answer unreadable, no login adopted");
        return 0;
    }
    ISvrInfoCenter::LocalValues stored =
        TakeAuthResponse(user, retry, keepUrl, termUrl, userConfig, domainConfig);
    CAuthConfig& cfg = *m_conn.GetPortalConf();
    if (!cfg.m_strDNS.IsEmpty())
        m_dnsGuard.SetDNS(cfg.m_strDNS);
    // The adopted login is kept alive with the same tolerance as one made here.
    m_keepRetry = retry + 1;
    m_failingSince = {};
    m_conn.StoreWithConnState(std::move(stored));
    m_conn.NetStateChange(INetConn::ES_CONNECTING, INetConn::ES_CONNECTED, 1, CAutoString(""));
    return 1;
}

// ---- Logout ---------------------------------------------------------------------------------

int CPortalSession::DisConnect(const char* pSrc) {
    CLog* log = CLog::GetInst();
    const char* reason = pSrc != nullptr ? pSrc : "";
    log->WriteLog(CLog::INFO, "DisConnect For %s", reason);
    if (m_conn.GetPortalConf() == nullptr)
        return -1;
    if (std::strcmp(reason, "5") == 0) {
        m_conn.NetStateChange(INetConn::ES_PRECONNECTING, INetConn::ES_PRECONNECTING, 30000106,
                              CAutoString(""));
        m_conn.SetConnCfg(0);
    }
    CAuthConfig& cfg = *m_conn.GetPortalConf();
    CAutoString body = m_conn.GetPortalParser().MakeTermRequestData(
        cfg.strUserAgent, cfg.strClientId, cfg.strTicket, Now(), reason);
    log->WriteLog(CLog::INFO, "TermUrl is :%s", cfg.strTermUrl.c_str());
    CHttpData data(true);
    unsigned long code = 0;
    CAutoString sub("");
    int ret = m_selector.SendPortalRequest(OrvaneSvr::term, cfg.strTermUrl, body,
                                           CServerSelector::kShortRequestMs, data, code, sub);
    if (ret != 2)
        m_dnsGuard
            .RestoreDNS();  // whatever the portal answered, the login is over for this machine
    IPortalHost* host = m_conn.Host();
    if (host != nullptr && !host->IsPortalEnv()) {
        m_conn.SetConnCfg(0);
        return 0;
    }
    return DisConnectResult(ret, code, sub);
}

int CPortalSession::DisConnectResult(int ret, unsigned long code, const CAutoString& sub) {
    switch (ret) {
        case 2:
            return 2;
        case -1:
            CLog::GetInst()->WriteLog(CLog::WARN, "term http err is :%d", static_cast<int>(code));
            return -1;
        case -8:
            m_conn.NetStateChange(INetConn::ES_CONNECTED, INetConn::ES_DISCONNECTFAIL, 150010,
                                  CAutoString(""));
            return -8;
        case -3:
            // 10/13/14: the portal no longer knows the ticket or the login (10 after a portal
            // restart forgot it), which is what a logout wants: already logged out.
            if (code != 10 && code != 13 && code != 14) {
                m_conn.NetStateChange(INetConn::ES_CONNECTING, INetConn::ES_CONNECTFAIL,
                                      PortalCode(code), sub);
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
    m_conn.SetConnCfg(0);
    m_conn.NetStateChange(INetConn::ES_DISCONNECTING, INetConn::ES_DISCONNECTED, 1,
                          CAutoString(""));
    return 1;
}
