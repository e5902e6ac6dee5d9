#include "CSystemControl.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include "CAdapterCard.h"

CSystemControl::CSystemControl(std::string procRoot) : m_strProcRoot(std::move(procRoot)) {}

bool CSystemControl::ReadSwitch(const char* path, int& value) const {
    std::ifstream in(ProcPath(path));
    int read = 0;
    if (!(in >> read))
        return false;
    value = read;
    return true;
}

int CSystemControl::NetworkEnableIpForwarding() {
    if (!ReadSwitch("/proc/sys/net/ipv4/ip_forward", m_nIP_Forward_Enabled)) {
        std::fprintf(stderr, "ip_forward: %s\n", std::strerror(errno ? errno : ENOENT));
    }
    if (m_nIP_Forward_Enabled == 0) {
        ReadSwitch("/proc/sys/net/ipv6/conf/all/forwarding", m_nIP_Forward_Enabled);
    }
    return m_nIP_Forward_Enabled;
}

int CSystemControl::NetworkTrafficStatistics(unsigned long& transmitted, unsigned long& received) {
    std::ifstream dev(ProcPath("/proc/net/dev"));
    if (!dev)
        return -1;
    CAutoString name;
    CAdapterCard card(ProcPath("/proc/net/route").c_str(),
                      ProcPath("/proc/net/ipv6_route").c_str());
    if (card.GetActiveCardName(name) == 0) {
        std::string line;
        while (std::getline(dev, line)) {
            // "  eth0: rx-bytes rx-packets ... (8 receive columns) tx-bytes ..."
            for (char& c : line)
                c = c == ':' ? ' ' : c;
            std::istringstream fields(line);
            std::string iface;
            uint64_t column[9] = {};
            if (!(fields >> iface) || iface != name.c_str())
                continue;
            int got = 0;
            while (got < 9 && fields >> column[got])
                ++got;
            if (got < 9)
                break;
            std::snprintf(m_sStatistics.szInterface, sizeof m_sStatistics.szInterface, "%s",
                          iface.c_str());
            m_sStatistics.un64ReceiveBytes = column[0];
            m_sStatistics.un64TransmitBytes = column[8];
            break;
        }
    }
    transmitted = m_sStatistics.un64TransmitBytes;
    received = m_sStatistics.un64ReceiveBytes;
    return 0;
}
