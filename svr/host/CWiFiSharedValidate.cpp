#include "CWiFiSharedValidate.h"

#include <cerrno>
#include <cstdlib>

#include "CLog.h"
#include "CMarkup.h"

const char CWiFiSharedValidate::kForwardingLabel[] = "IP\xCA\xFD\xBE\xDD\xD7\xAA\xB7\xA2";

bool CWiFiSharedValidate::IsAcceptableProgramName(const std::string& name) {
    if (name.empty() || name.size() > kMaxNameLength)
        return false;
    for (char c : name) {
        const unsigned char u = static_cast<unsigned char>(c);
        // ps splits its list at blanks and commas; control characters are never a command name
        // a portal means and would only garble the log.
        if (u < 0x20 || u == 0x7f || c == ' ' || c == ',')
            return false;
    }
    return true;
}

bool CWiFiSharedValidate::AddProgram(const std::string& name, const std::string& displayName) {
    if (!IsAcceptableProgramName(name)) {
        CLog::GetInst()->WriteLog(CLog::INFO,
                                  "[CWiFiSharedValidate::Initialization] program name "
                                  "refused, not checked: \"%s\".",
                                  name.c_str());
        return true;
    }
    auto it = m_mProcesses.find(name);
    if (it != m_mProcesses.end()) {
        it->second = displayName;  // a later entry of the same name wins
        return true;
    }
    if (m_mProcesses.size() >= kMaxPrograms)
        return false;
    m_mProcesses.emplace(name, displayName);
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
    size_t leftOut = 0;
    while (doc.FindChildElem("process")) {
        if (!AddProgram(doc.GetChildData().ToStdString(),
                        doc.GetChildAttrib("displayname").ToStdString()))
            ++leftOut;
    }
    if (leftOut > 0) {
        CLog::GetInst()->WriteLog(CLog::WARN,
                                  "[CWiFiSharedValidate::Initialization] %zu program names "
                                  "beyond the first %zu left out.",
                                  leftOut, kMaxPrograms);
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

bool CWiFiSharedValidate::IsProgramRunning(const std::string& name) {
    const int count = m_Processes.CountByName(name);
    if (count < 0) {
        CLog::GetInst()->WriteLog(CLog::ERROR,
                                  "[CWiFiSharedValidate::IsValidEnvironment] the process table "
                                  "cannot be read (%d); counted as found.",
                                  errno);
        return true;
    }
    return count > 0;
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
