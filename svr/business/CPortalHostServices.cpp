#include "CPortalHostServices.h"

#include "CAuthConfig.h"

CPortalHostServices::CPortalHostServices(const Paths& paths)
    : m_adapterCard(paths.route.c_str(), paths.routeIPv6.c_str()),
      m_resolverOwner(
          {paths.resolver, paths.resolverSaved, "", paths.resolvconfFolders, paths.systemBus},
          m_adapterCard),
      m_WiFiSharedValidate(paths.osRelease, paths.procRoot) {}

int CPortalHostServices::GetIpAndMac(CAuthConfig* cfg, CAutoString& ip4, CAutoString& ip6,
                                     CAutoString& mac) {
    if (cfg != nullptr)
        cfg->m_afType = -1;
    CAutoString name("");
    if (m_adapterCard.GetActiveCardName(name) < 0 &&
        m_adapterCard.GetActiveInterfaceNameIPv6(name) == -1)
        return -1;
    if (m_adapterCard.GetIpAndMac(name, ip4, mac) == 0) {
        if (cfg != nullptr)
            cfg->m_afType = 2;  // AF_INET
        return 1;
    }
    if (m_adapterCard.GetIPAddress(10, name, ip6) == -1)
        return -1;
    if (cfg != nullptr)
        cfg->m_afType = 10;  // AF_INET6
    return 1;
}

bool CPortalHostServices::HasActiveCard() {
    CAutoString name("");
    return m_adapterCard.GetActiveCardName(name) == 0 ||
           m_adapterCard.GetActiveInterfaceNameIPv6(name) == 0;
}

int CPortalHostServices::SetDNS(CAutoString& dns1, CAutoString& dns2) {
    std::lock_guard<std::mutex> guard(m_resolverLock);
    return m_resolverOwner.SetDNSServers(dns1, dns2);
}

int CPortalHostServices::RestoreDNS() {
    std::lock_guard<std::mutex> guard(m_resolverLock);
    return m_resolverOwner.RestoreDNSServers();
}

int CPortalHostServices::RestoreDNSForExit() {
    std::lock_guard<std::mutex> guard(m_resolverLock);
    m_resolverOwner.RefuseRewrites();
    return m_resolverOwner.RestoreDNSServers();
}

int CPortalHostServices::CheckWiFiShare(const char* againstList) {
    return m_WiFiSharedValidate.IsValidEnvironment(againstList);
}
