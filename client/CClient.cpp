#include "CClient.h"

#include "CInfoCenter.h"

#include <utility>

CClient::CClient(std::string pipeFolder, gid_t sharedGroup)
    : m_pipe(std::move(pipeFolder), sharedGroup) {}

int CClient::Open() {
    // A FIFO left behind by an earlier client is reused; only the open below decides.
    m_pipe.CreateNamedPipeInServer(kOwnFifo, this);
    return m_pipe.OpenNamePipeClient(kPeerFifo);
}

int CClient::DoWork() {
    const int result = m_pipe.LoopMsg();
    IBusiness* business = m_pBusiness.load();
    if (business != nullptr)
        business->ServerStatus(result);
    return result;
}

void CClient::StopWork() {
    m_pipe.StopLoop();
}

void CClient::DoWorkOnPipe(CAutoString message) {
    IBusiness* business = m_pBusiness.load();
    if (business != nullptr && !message.IsNull())
        business->DealMsg(message.c_str());
}

void CClient::RegisterBusiness(const char* name, IBusiness* business) {
    (void)name;
    m_pBusiness.store(business);
}

bool CClient::PostMessage(const char* message) {
    return message != nullptr && m_pipe.WritePipe(message);
}

ISvrInfoCenter* CClient::GetInfoCenter() {
    return CInfoCenter::GetInst();
}
