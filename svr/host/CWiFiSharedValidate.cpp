#include "CWiFiSharedValidate.h"

#include <cerrno>
#include <cstdlib>

#include "CLog.h"
#include "CMarkup.h"
#include "CShellExecutor.h"

const char CWiFiSharedValidate::kForwardingLabel[] = "IP\xCA\xFD\xBE\xDD\xD7\xAA\xB7\xA2";

bool CWiFiSharedValidate::IsAcceptableProgramName(const std::string& name) {
    // The kernel keeps 15 bytes of a command name; "ps -C" compares with exactly that.
    if (name.empty() || name.size() > 15)
        return false;
    for (char c : name) {
        const bool alnum =
            (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
        if (!alnum && c != '.' && c != '_' && c != '+' && c != '-')
            return false;
    }
    return true;
}

bool CWiFiSharedValidate::Initialization(const char* xml) {
    if (!xml || !*xml)
        return m_bIsInitialized;
    CMarkup doc;
    if (!doc.SetDoc(xml) || !doc.FindElem("user-config") || !doc.FindChildElem("against") ||
        !doc.IntoElem()) {
        return m_bIsInitialized;
    }
    m_mProcesses.clear();
    while (doc.FindChildElem("process")) {
        const std::string name = doc.GetChildData().ToStdString();
        if (!IsAcceptableProgramName(name)) {
            CLog::GetInst()->WriteLog(CLog::INFO,
                                      "[CWiFiSharedValidate::Initialization] program name "
                                      "refused, not checked: \"%s\".",
                                      name.c_str());
            continue;
        }
        m_mProcesses[name] = doc.GetChildAttrib("displayname").ToStdString();
    }
    doc.ResetChildPos();
    if (doc.FindChildElem("shared") && doc.IntoElem()) {
        if (doc.FindChildElem("ipforward")) {
            m_bIPForward = std::atoi(doc.GetChildData().c_str()) != 0;
        }
        doc.OutOfElem();
    }
    doc.OutOfElem();
    m_bIsInitialized = true;
    return m_bIsInitialized;
}

namespace {

// Line handler of the process query: any count other than 1 (the title line alone) is a find.
// A missing ps makes wc print 0, which counts as found: the check fails closed.
void CountParser(const char* line, void* context) {
    if (std::atoi(line) != 1)
        *static_cast<bool*>(context) = true;
}

}  // namespace

bool CWiFiSharedValidate::IsProgramRunning(const std::string& name) {
    if (!IsAcceptableProgramName(name))
        return false;  // never reaches the shell
    bool found = false;
    CShellExecutor executor;
    executor.SetSystemControlLogger(&CountParser, &found);
    const std::string command = "ps -C " + CShellExecutor::Quote(name) + " | wc -l 2>&1";
    if (!executor.ExecuteShellScript(command.c_str(), "r")) {
        CLog::GetInst()->WriteLog(
            CLog::DEBUG, "[CWiFiSharedValidate::IsValidEnvironment] pclose failed(%d).\n", errno);
    }
    return found;
}

int CWiFiSharedValidate::IsValidEnvironment(const char* xml) {
    if (!xml || !*xml)
        return 0;
    if (!m_bIsInitialized)
        m_bIsInitialized = Initialization(xml);
    if (!m_bIsInitialized)
        return 0;
    for (const auto& [name, displayName] : m_mProcesses) {
        if (IsProgramRunning(name)) {
            m_strDisplayName = displayName;
            return 1;
        }
    }
    if (m_bIPForward && m_Adapter.GetSystemControl()->NetworkEnableIpForwarding() != 0) {
        m_strDisplayName = kForwardingLabel;
        return 1;
    }
    return 0;
}
