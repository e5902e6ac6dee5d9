// CPortalHostServices: what the Portal business asks of the machine it runs on: the addresses of
// the active adapter, the hand-over of the portal's name servers to the resolver and its undoing,
// and the sharing check of the against list.
//
// A part of CPortalServer, which owns it and must outlive it. It needs nothing of the business:
// the paths come from the facade's HostPaths, and the record to mark with the address family is
// handed to GetIpAndMac.
//
// Threads: the adapter lookups run on the work thread (the adapter object holds no state); the
// resolver calls come from the work thread and from start-up and shut-down, serialised by the
// resolver lock (innermost: nothing else is taken while it is held); the sharing check runs on the
// work thread only.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "CAdapterCard.h"
#include "CAutoString.h"
#include "CResolverOwner.h"
#include "CWiFiSharedValidate.h"

struct CAuthConfig;

class CPortalHostServices {
public:
    // The paths as in CPortalServer::HostPaths.
    struct Paths {
        std::string route;
        std::string routeIPv6;
        std::string resolver;
        std::string resolverSaved;
        std::vector<std::string> resolvconfFolders;
        std::string systemBus;
        std::string osRelease;
        std::string procRoot;
    };

    explicit CPortalHostServices(const Paths& paths);
    CPortalHostServices(const CPortalHostServices&) = delete;
    CPortalHostServices& operator=(const CPortalHostServices&) = delete;

    // Addresses of the active adapter (IPv4 and MAC, else its IPv6 address); records the address
    // family found in cfg when one is given (-1 first, then 2 or 10). 1 on success, -1 when no
    // usable card or address.
    int GetIpAndMac(CAuthConfig* cfg, CAutoString& ip4, CAutoString& ip6, CAutoString& mac);
    // True when some card carries a default route, IPv4 or IPv6.
    bool HasActiveCard();
    // The resolver rewrite and its undoing; see CPortalServer's members of the same names.
    int SetDNS(CAutoString& dns1, CAutoString& dns2);
    int RestoreDNS();
    int RestoreDNSForExit();
    // 1 when the against list finds sharing on this machine, else 0. Work thread only.
    int CheckWiFiShare(const char* againstList);
    // The name of what the last check found, for the log. Work thread only.
    const char* SharingDisplayName() { return m_WiFiSharedValidate.GetDisplayName(); }
    CAdapterCard& Adapter() { return m_adapterCard; }

private:
    CAdapterCard m_adapterCard;
    CResolverOwner m_resolverOwner;  // guarded by m_resolverLock
    std::mutex m_resolverLock;
    CWiFiSharedValidate m_WiFiSharedValidate;
};
