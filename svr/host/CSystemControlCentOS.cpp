#include "CSystemControlCentOS.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

int CSystemControlCentOS::NetworkEnableIpForwarding() {
    if (!ReadSwitch("/proc/sys/net/ipv4/ip_forward", m_nIP_Forward_Enabled))
        std::fprintf(stderr, "ip_forward: %s\n", std::strerror(errno ? errno : ENOENT));
    return m_nIP_Forward_Enabled;
}
