#include "CServer.h"

#include "CClientCommand.h"
#include "CInfoCenter.h"
#include "CLog.h"
#include "CXMLOpt.h"

#include <vector>

int CServer::CreateServer(const char* ownFifo) {
    return m_pipeSvr.CreateNamedPipeInServer(ownFifo, this);
}

int CServer::ConnectToServer(const char* peerFifo) {
    return m_pipeSvr.OpenNamePipeServer(peerFifo);
}

int CServer::DoWork() {
    CLog::GetInst()->WriteLog(CLog::INFO, "DoWork");
    const int result = m_pipeSvr.LoopMsg();
    ServerStatus(result);
    return 0;
}

void CServer::StopWork() {
    m_pipeSvr.StopLoop();
}

void CServer::DoWorkOnPipe(CAutoString message) {
    CXMLOpt doc;
    if (message.IsNull() || !doc.SetDoc(message.c_str()))
        return;
    const CAutoString target = doc.GetValue("OpT");
    const CAutoString opcode = doc.GetValue("OpC");
    // A log-in carries the password in clear, so it never reaches the log; a terminal's logout
    // carries that terminal's ticket, which is logged only in part.
    if (opcode == "TerminalTermSend") {
        CLog::GetInst()->WriteLog(CLog::INFO, "TerminalTermSend for ticket %s",
                                  CLog::Abbreviate(doc.GetValue("P.ticket").c_str()).c_str());
    } else if (opcode != "PortalConnect") {
        CLog::GetInst()->WriteLog(CLog::INFO, "%s", message.c_str());
    }
    IBusiness* business = FindBusiness(target);
    if (business != nullptr)
        business->DealMsg(message.c_str());
}

void CServer::RegisterBusiness(const char* name, IBusiness* business) {
    if (name == nullptr)
        return;
    std::lock_guard<std::mutex> lock(m_busLock);
    m_BusinessMap[CAutoString(name)] = business;
}

bool CServer::PostMessage(const char* message) {
    if (message == nullptr)
        return false;
    CClientCommand* console = m_console.load();
    if (console != nullptr && console->IsStarted())
        console->AddMessage(CAutoString(message));
    return m_pipeSvr.WritePipe(message);
}

ISvrInfoCenter* CServer::GetInfoCenter() {
    return CInfoCenter::GetInst();
}

void CServer::ServerStatus(int status) {
    CLog::GetInst()->WriteLog(CLog::INFO, "client disconnect %d", status);
    std::vector<IBusiness*> businesses;
    {
        std::lock_guard<std::mutex> lock(m_busLock);
        for (const auto& entry : m_BusinessMap)
            businesses.push_back(entry.second);
    }
    // Called without the table lock: a business may post or register while it closes down.
    for (IBusiness* business : businesses) {
        if (business != nullptr)
            business->ServerStatus(status);
    }
}

IBusiness* CServer::FindBusiness(const CAutoString& name) {
    std::lock_guard<std::mutex> lock(m_busLock);
    auto it = m_BusinessMap.find(name);
    return it == m_BusinessMap.end() ? nullptr : it->second;
}
