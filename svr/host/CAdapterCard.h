// CAdapterCard: the network adapter that carries the default route, its IPv4, MAC and global
// IPv6 addresses, and the host name. Reads the kernel's route tables and asks the adapter
// itself; runs no shell command. Holds only the paths of the route tables.
//
// Everything describes the network namespace of the calling thread at the time of the call.
#pragma once

#include <string>

#include "CAutoString.h"

class CAdapterCard {
public:
    CAdapterCard() : m_strRoute("/proc/net/route"), m_strRouteIPv6("/proc/net/ipv6_route") {}
    // Tests read route tables of their own.
    CAdapterCard(const char* routePath, const char* routeIPv6Path)
        : m_strRoute(routePath), m_strRouteIPv6(routeIPv6Path) {}

    // The adapter of the first IPv4 default route in the main table. 0 with its name; -1 with
    // net_name emptied when there is no such route or the table cannot be read.
    int GetActiveCardName(CAutoString& net_name);
    // The same for IPv6; routes that reject traffic and the loopback adapter do not count.
    int GetActiveInterfaceNameIPv6(CAutoString& interface_name);
    // IPv4 address (dotted decimal) and MAC ("%02x-..." six lower-case groups) of the adapter.
    // 0, or -1 when the name is empty or too long for the system, or the adapter has no such
    // address (the outputs are then unchanged).
    int GetIpAndMac(CAutoString net_name, CAutoString& ipv4, CAutoString& mac);
    // The adapter's global IPv6 address (the last one listed); nFamily is not used. Returns
    // getifaddrs' result (0, or -1 on failure); strIPAddress is unchanged when none is found.
    // Each entry of the adapter is traced on standard error.
    int GetIPAddress(int nFamily, const CAutoString& strInterfaceName, CAutoString& strIPAddress);
    // 0 with the host name, -1 when the system call fails.
    int GetHostName(CAutoString& hostName);

private:
    std::string m_strRoute;
    std::string m_strRouteIPv6;
};
