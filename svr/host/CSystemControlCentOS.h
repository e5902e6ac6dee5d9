// CSystemControlCentOS: the implementation for the CentOS family, where forwarding is judged by
// the IPv4 switch alone, as the sysctl tool reports it.
#pragma once

#include <string>

#include "CSystemControl.h"

class CSystemControlCentOS : public CSystemControl {
public:
    CSystemControlCentOS() : CSystemControlCentOS(std::string()) {}
    explicit CSystemControlCentOS(std::string procRoot);

    // Runs "sysctl -a" filtered to the forwarding keys; the value of the line
    // "net.ipv4.ip_forward = N" is the answer. The last known value when no such line comes.
    int NetworkEnableIpForwarding() override;

    // Line handler (context: the object): takes the number after the last "=" of a line that
    // holds "net.ipv4.ip_forward " (the blank keeps longer keys such as ..._use_pmtu out).
    static void LogParser(const char* line, void* context);

protected:
    ~CSystemControlCentOS() override = default;
};
