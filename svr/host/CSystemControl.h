// CSystemControl: the general implementation of ISystemControl. Reads the kernel's switches and
// counters from its files; the paths are taken below a root folder so tests can use a fake tree.
#pragma once

#include <cstdint>
#include <string>

#include "ISystemControl.h"

class CSystemControl : public ISystemControl {
public:
    typedef struct Net_Device_Statistics {
        char szInterface[32];
        uint64_t un64ReceiveBytes;
        uint64_t un64TransmitBytes;
    } NET_DEVICE_STATISTICS;

    CSystemControl() : CSystemControl(std::string()) {}
    // procRoot is put before every kernel path ("" for the real ones).
    explicit CSystemControl(std::string procRoot);

    // IPv4 forwarding from /proc/sys/net/ipv4/ip_forward; when that is 0, IPv6 forwarding from
    // /proc/sys/net/ipv6/conf/all/forwarding decides. Unreadable files keep the last value.
    int NetworkEnableIpForwarding() override;
    // Counters of the first IPv4 default route's adapter from /proc/net/route and /proc/net/dev.
    int NetworkTrafficStatistics(unsigned long& transmitted, unsigned long& received) override;
    void Release() override { delete this; }

    const NET_DEVICE_STATISTICS& GetStatistics() const { return m_sStatistics; }

protected:
    ~CSystemControl() override = default;
    std::string ProcPath(const char* path) const { return m_strProcRoot + path; }
    // The integer at the start of the file; false when it cannot be read.
    bool ReadSwitch(const char* path, int& value) const;

    int m_nIP_Forward_Enabled = 1;
    NET_DEVICE_STATISTICS m_sStatistics{};
    std::string m_strProcRoot;
};
