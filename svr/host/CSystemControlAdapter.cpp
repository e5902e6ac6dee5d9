#include "CSystemControlAdapter.h"

#include <fstream>

#include "CSystemControl.h"
#include "CSystemControlCentOS.h"

CSystemControlAdapter::CSystemControlAdapter(std::string osReleasePath, std::string procRoot)
    : m_strOsRelease(std::move(osReleasePath)), m_strProcRoot(std::move(procRoot)) {}

ISystemControl* CSystemControlAdapter::GetSystemControl() {
    if (!m_Instance) {
        if (GetSystem() == SYSTEM_CENT) {
            m_Instance.reset(new CSystemControlCentOS(m_strProcRoot));
        } else {
            m_Instance.reset(new CSystemControl(m_strProcRoot));
        }
    }
    return m_Instance.get();
}

int CSystemControlAdapter::GetSystem() {
    m_OperationSystem = SYSTEM_COMMON;
    std::ifstream in(m_strOsRelease);
    std::string line;
    while (std::getline(in, line)) {
        if (line.find("ubuntu") != std::string::npos)
            m_OperationSystem = SYSTEM_UBUNTU;
        if (line.find("Fedora") != std::string::npos)
            m_OperationSystem = SYSTEM_FEDORA;
        if (line.find("CentOS") != std::string::npos)
            m_OperationSystem = SYSTEM_CENT;
    }
    return m_OperationSystem;
}
