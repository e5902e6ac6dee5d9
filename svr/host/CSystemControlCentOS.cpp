#include "CSystemControlCentOS.h"

#include <cstdlib>
#include <cstring>

CSystemControlCentOS::CSystemControlCentOS(std::string procRoot)
    : CSystemControl(std::move(procRoot)) {
    m_Executor.SetSystemControlLogger(&CSystemControlCentOS::LogParser, this);
}

int CSystemControlCentOS::NetworkEnableIpForwarding() {
    m_Executor.SetSystemControlLogger(&CSystemControlCentOS::LogParser, this);
    m_Executor.ExecuteShellScript("sysctl -a 2>/dev/null | grep \"ip_forward\"", "r");
    return m_nIP_Forward_Enabled;
}

void CSystemControlCentOS::LogParser(const char* line, void* context) {
    auto* self = static_cast<CSystemControlCentOS*>(context);
    if (!self || !line || !std::strstr(line, "net.ipv4.ip_forward "))
        return;
    const char* equals = std::strrchr(line, '=');
    if (!equals)
        return;
    char* end = nullptr;
    long value = std::strtol(equals + 1, &end, 10);
    if (end != equals + 1)
        self->m_nIP_Forward_Enabled = static_cast<int>(value);
}
