#include "CPortalOpcodes.h"

#include "CLog.h"
#include "CNetStatePoster.h"
#include "CPortalConn.h"
#include "CStayOnline.h"
#include "CTaskHandlers.h"
#include "CXMLOpt.h"
#include "IPortalWork.h"
#include "ISvrInfoCenter.h"

void CPortalOpcodes::ResyncClient(CPortalConn& conn) {
    // Under the connection's server lock: the work thread may be moving between servers.
    conn.RefillServerLists();
    ISvrInfoCenter* info = m_work.GetInfoCenter();
    if (info != nullptr)
        info->SynchroGlobalValue();

    switch (conn.GetNetState()) {
        case INetConn::ES_CONNECTING:
        case INetConn::ES_CONNECTED:
        case INetConn::ES_CONNECTFAIL:
        case INetConn::ES_DISCONNECTING:
        case INetConn::ES_DISCONNECTED:
        case INetConn::ES_DISCONNECTFAIL:
            // The client shows the ready page first, then the current state on top of it.
            PostNetStateMessage(INetConn::ET_PORTAL, INetConn::ES_NONE, INetConn::ES_PRECONNECTED,
                                0, CAutoString(""));
            conn.PostLastNetStateMessage();
            break;
        default:
            if (m_online.Offline() || m_online.AutoLogin().Active()) {
                // The service is working on it: the new window shows that, not a new check.
                const bool up = m_online.IsLinkUp();
                conn.ReportOffline(up ? CStayOnline::kLoggingInAgain : CStayOnline::kNetworkDown,
                                   CAutoString(up ? "0" : ""));
            } else {
                m_work.CheckNetStatus(0);
            }
            break;
    }
}

void CPortalOpcodes::CheckEnv() {
    if (m_online.AutoLogin().Active()) {
        // The window asks after every logout it is shown; a recovery paces its own attempts.
        CLog::GetInst()->WriteLog(CLog::INFO,
                                  "check asked for during a recovery: left to its schedule");
        return;
    }
    m_work.CheckNetStatus(0);
}

void CPortalOpcodes::Connect(CXMLOpt& message) {
    // The whole message travels as the tag; the connection reads account and password from it.
    m_work.QueueRequest(OrvaneSvr::auth, message.GetDoc(nullptr));
}

void CPortalOpcodes::DisConnect(CXMLOpt& message) {
    m_tasks.DisConnect(message.GetValue("P.src"));
}

void CPortalOpcodes::TerminalRequest(CXMLOpt& message) {
    m_work.StopTask(OrvaneSvr::terminal);
    m_work.QueueRequest(OrvaneSvr::terminal, message.GetDoc(nullptr));
}

void CPortalOpcodes::TerminalTermRequest(CXMLOpt& message) {
    m_tasks.SetOtherTicket(message.GetValue("P.ticket"));
    m_work.QueueRequest(OrvaneSvr::terminalTerm, message.GetDoc(nullptr));
}

void CPortalOpcodes::PostNetStateMessage(INetConn::ETYPE type, INetConn::ESTATE eStateOld,
                                         INetConn::ESTATE eStateNew, int iErrorcode,
                                         const CAutoString& subErrCode) {
    const CAutoString param =
        CNetStatePoster::FormatPlain(type, eStateOld, eStateNew, iErrorcode, subErrCode.c_str());
    m_work.PostMsg(CNetStatePoster::kTarget, CNetStatePoster::kOpcode, param.c_str());
}

void CPortalOpcodes::PostNetStateMessageEx(INetConn::ETYPE type, INetConn::ESTATE eStateOld,
                                           INetConn::ESTATE eStateNew, int iErrorcode,
                                           const char* pSubType, const char* pExtern) {
    const CAutoString param =
        CNetStatePoster::FormatEx(type, eStateOld, eStateNew, iErrorcode, pSubType, pExtern);
    m_work.PostMsg(CNetStatePoster::kTarget, CNetStatePoster::kOpcode, param.c_str());
}
