#include "CClientManager.h"

#include "CErrorCodeTable.h"
#include "CInfoCenter.h"

#include <cstdlib>
#include <cstring>

namespace {

// A sub code that is a plain decimal number of up to nine digits (a code, a count of seconds);
// anything else from the pipe is not taken for one.
bool ParseNumber(const char* text, long& value) {
    const size_t length = std::strlen(text);
    if (length == 0 || length > 9 || std::strspn(text, "0123456789") != length)
        return false;
    value = std::strtol(text, nullptr, 10);
    return true;
}

long ErrorCodeOf(CXMLOpt& message) {
    return std::strtol(message.GetValue("P.ErrorCode").c_str(), nullptr, 10);
}

}  // namespace

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
        OnStartComplete();
    else if (opcode == "InfoCenter")
        OnInfoCenter(message);
}

void CClientManager::OnStartComplete() {
    // A service that answers the start afresh has no recovery of an earlier one under way.
    m_bRecovering = false;
    CheckEnv();
}

void CClientManager::OnNetState(CXMLOpt& message) {
    IClientView* view = m_pMainWnd.load();
    switch (message.GetIntValue("P.newState")) {
        case ES_CONNECTED:
            m_bRecovering = false;
            if (view != nullptr)
                view->ShowOnlinePage(message.GetIntValue("P.type"));
            break;
        case ES_CONNECTFAIL:
        case ES_DISCONNECTFAIL:
        case ES_PRECONNECTFAIL:
            OnFailure(message, view);
            break;
        case ES_DISCONNECTED:
            if (view != nullptr)
                view->ShowInitPage();
            // While recovering the service is already at work; a check of ours would only
            // compete with its attempts.
            if (!m_bRecovering)
                CheckEnv();
            break;
        case ES_PRECONNECTED:
            // During a recovery the service logs in by itself right after this.
            if (m_bRecovering)
                break;
            if (view != nullptr)
                view->ShowLoginPage();
            if (m_updateRun)
                m_updateRun();
            break;
        case ES_PRECONNECTING:
            OnPreconnecting(message, view);
            break;
        default:
            break;
    }
}

void CClientManager::OnPreconnecting(CXMLOpt& message, IClientView* view) {
    const long code = ErrorCodeOf(message);
    if (code != kWaitingForNetwork && code != kLoggingInAgain)
        return;  // progress of a detection or a log-in: the page stays as it is
    m_bRecovering = true;
    if (view != nullptr)
        view->ShowRecoveryPage(RecoveryText(code, message.GetValue("P.subErrCode").c_str()));
}

void CClientManager::OnFailure(CXMLOpt& message, IClientView* view) {
    const long code = ErrorCodeOf(message);
    if (code == kRecoveryStopped) {
        OnRecoveryStopped(message, view);
        return;
    }
    if (view == nullptr)
        return;
    const CAutoString sub = message.GetValue("P.subErrCode");
    const CAutoString text = message.GetValue("P.extern");
    // A failed attempt of a recovery is not the end of it: the next attempt follows by itself.
    if (m_bRecovering)
        view->ShowRecoveryPage(
            CErrorCodeTable::GetInst()->GetShownText(code, sub.c_str(), text.c_str()));
    else
        view->ShowError(code, sub.c_str(), text.c_str());
}

// The service has stopped logging in again: the user's turn, told why in the words of the code
// that ended it (150122's own words when that code has none).
void CClientManager::OnRecoveryStopped(CXMLOpt& message, IClientView* view) {
    m_bRecovering = false;
    if (view == nullptr)
        return;
    view->ShowLoginPage();
    long cause = 0;
    const CAutoString text = message.GetValue("P.extern");
    if (ParseNumber(message.GetValue("P.subErrCode").c_str(), cause) &&
        CErrorCodeTable::GetInst()->HasText(cause, ""))
        view->ShowError(cause, "", text.c_str());
    else
        view->ShowError(kRecoveryStopped, "", text.c_str());
}

CAutoString CClientManager::RecoveryText(long code, const char* subErrCode) {
    // The sub code of 150121 is a count of seconds, not a key of the table.
    CAutoString text = CErrorCodeTable::GetInst()->GetShownText(code, "", "");
    long seconds = 0;
    if (code == kLoggingInAgain && subErrCode != nullptr && ParseNumber(subErrCode, seconds) &&
        seconds > 0) {
        CAutoString after;
        after.Format("（%ld 秒后）", seconds);
        text += after;
    }
    return text;
}

void CClientManager::OnInfoCenter(CXMLOpt& message) {
    const CAutoString key = message.GetValue("P.key");
    if (key.IsEmpty())
        return;
    Info()->SetGlobalValue(key.c_str(), message.GetValue("P.value").c_str());
}
