#include "CClientManager.h"

#include "CInfoCenter.h"

#include <cstdlib>

CClientManager* CClientManager::GetInst() {
    static CClientManager* instance = new CClientManager();  // never destroyed
    return instance;
}

ISvrInfoCenter* CClientManager::Info() {
    return m_pInfo != nullptr ? m_pInfo : CInfoCenter::GetInst();
}

bool CClientManager::Start() {
    return PostMsg(kSource, kTarget, "ClientStart", "ClientStart");
}

bool CClientManager::CheckEnv() {
    return PostMsg(kSource, kTarget, "CheckEnv", "CheckEnv");
}

bool CClientManager::Login(const char* account, const char* password) {
    if (account == nullptr || password == nullptr)
        return false;
    ISvrInfoCenter* info = Info();
    info->SetLocalValue("Account", account);
    info->SetLocalValue("Password", password);
    info->SetGlobalValue("account", account);
    const CAutoString params = MakeParam("user", account) + MakeParam("password", password);
    return PostMsg(kSource, kTarget, "PortalConnect", params.c_str());
}

bool CClientManager::Logout() {
    return PostMsg(kSource, kTarget, "PortalDisConnect", "<src>2</src>");
}

void CClientManager::DefaultDeal(CXMLOpt& message) {
    const CAutoString opcode = message.GetValue("OpC");
    if (opcode == "NetStateMessageResp")
        OnNetState(message);
    else if (opcode == "ClientStartComplete")
        CheckEnv();
    else if (opcode == "InfoCenter")
        OnInfoCenter(message);
}

void CClientManager::OnNetState(CXMLOpt& message) {
    IClientView* view = m_pMainWnd.load();
    switch (message.GetIntValue("P.newState")) {
        case ES_CONNECTED:
            if (view != nullptr)
                view->ShowOnlinePage(message.GetIntValue("P.type"));
            break;
        case ES_CONNECTFAIL:
        case ES_DISCONNECTFAIL:
        case ES_PRECONNECTFAIL:
            OnError(message, view);
            break;
        case ES_DISCONNECTED:
            if (view != nullptr)
                view->ShowInitPage();
            CheckEnv();
            break;
        case ES_PRECONNECTED:
            if (view != nullptr)
                view->ShowLoginPage();
            if (m_updateRun)
                m_updateRun();
            break;
        default:
            break;
    }
}

void CClientManager::OnError(CXMLOpt& message, IClientView* view) {
    if (view == nullptr)
        return;
    const long code = std::strtol(message.GetValue("P.ErrorCode").c_str(), nullptr, 10);
    const CAutoString sub = message.GetValue("P.subErrCode");
    const CAutoString text = message.GetValue("P.extern");
    view->ShowError(code, sub.c_str(), text.c_str());
}

void CClientManager::OnInfoCenter(CXMLOpt& message) {
    const CAutoString key = message.GetValue("P.key");
    if (key.IsEmpty())
        return;
    Info()->SetGlobalValue(key.c_str(), message.GetValue("P.value").c_str());
}
