// CSystemControlCentOS: the implementation for the CentOS family, where forwarding is judged by
// the IPv4 switch alone (the IPv6 switch is never looked at).
#pragma once

#include <string>

#include "CSystemControl.h"

class CSystemControlCentOS : public CSystemControl {
public:
    CSystemControlCentOS() : CSystemControlCentOS(std::string()) {}
    explicit CSystemControlCentOS(std::string procRoot) : CSystemControl(std::move(procRoot)) {}

    // The value of /proc/sys/net/ipv4/ip_forward; the last known value when it cannot be read.
    int NetworkEnableIpForwarding() override;

protected:
    ~CSystemControlCentOS() override = default;
};
