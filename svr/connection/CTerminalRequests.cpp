#include "CTerminalRequests.h"

#include "CAuthConfig.h"
#include "CHttpData.h"
#include "CLog.h"
#include "CPortalParser.h"
#include "CServerSelector.h"
#include "IConnContext.h"

int CTerminalRequests::TerminalRequestData(CAutoString& pXml) {
    CLog::GetInst()->WriteLog(CLog::INFO, "TerminalRequestData http start");
    if (m_conn.GetPortalConf() == nullptr)
        return 0;
    return SendTerminalQuery(pXml);
}

int CTerminalRequests::SendTerminalQuery(CAutoString& pXml) {
    CAuthConfig& cfg = *m_conn.GetPortalConf();
    CPortalParser& parser = m_conn.GetPortalParser();
    CHttpData data(true);
    int ret = 2;
    for (int round = 0; ret == 2 && round < kMaxRenewRounds; ++round) {
        CAutoString body = parser.MakeTerminalRequestData(cfg.strUserAgent, cfg.strClientId,
                                                          CServerSelector::RequestTime());
        CLog::GetInst()->WriteLog(CLog::INFO, "terminal Http URL is :%s", cfg.strQueryUrl.c_str());
        unsigned long code = 0;
        CAutoString sub("");
        ret = m_selector.SendPortalRequest(OrvaneSvr::terminal, cfg.strQueryUrl, body,
                                           CServerSelector::kTerminalListMs, data, code, sub);
    }
    if (ret != 1)
        return 0;
    CAutoString doc = parser.DecodePostResponseData(data.RespData());
    doc.Replace("%", " ");
    int at = doc.Find("<response>");
    if (at < 0)
        return 0;
    pXml = doc.Mid(at);
    return 1;
}

int CTerminalRequests::TerminalTermRequest(const CAutoString& ticket) {
    CLog* log = CLog::GetInst();
    log->WriteLog(CLog::INFO, "TerminalTermRequest DisConnect For 8");
    if (m_conn.GetPortalConf() == nullptr)
        return -1;
    CAuthConfig& cfg = *m_conn.GetPortalConf();
    int ret = 2;
    for (int round = 0; ret == 2 && round < kMaxRenewRounds; ++round) {
        CAutoString body = m_conn.GetPortalParser().MakeTermRequestData(
            cfg.strUserAgent, cfg.strClientId, ticket, CServerSelector::RequestTime(), "8");
        CHttpData data(true);
        unsigned long code = 0;
        CAutoString sub("");
        ret = m_selector.SendPortalRequest(OrvaneSvr::terminalTerm, cfg.strTermUrl, body,
                                           CServerSelector::kShortRequestMs, data, code, sub);
        log->WriteLog(CLog::INFO, "TerminalTermRequest TermUrl is :%s return code:%d",
                      cfg.strTermUrl.c_str(), ret);
    }
    return ret;
}
