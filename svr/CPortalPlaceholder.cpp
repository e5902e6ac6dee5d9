#include "CPortalPlaceholder.h"

#include "CLog.h"

void CPortalPlaceholder::InitService(IServer* server) {
    CBusiness::InitService(server);
    if (server != nullptr)
        server->RegisterBusiness(kName, this);
}

void CPortalPlaceholder::ServerStatus(int status) {
    CLog::GetInst()->WriteLog(CLog::INFO, "CPortalPlaceholder::ServerStatus %d", status);
}

void CPortalPlaceholder::DefaultDeal(CXMLOpt& message) {
    const CAutoString opcode = message.GetValue("OpC");
    const CAutoString source = message.GetValue("OpS");
    CLog::GetInst()->WriteLog(CLog::INFO, "CPortalPlaceholder: %s from %s not handled",
                              opcode.c_str(), source.c_str());
}
