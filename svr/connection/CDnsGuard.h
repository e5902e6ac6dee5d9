// CDnsGuard: the login's hold on the machine's name servers. Applies the servers a login answer
// announces through the host, and has the host put the resolver file back when the login ends.
// The host keeps the resolver text from before the first application (on disk, so that a restart
// after a crash can still restore it); this object keeps the two addresses the last application
// replaced.
//
// A part of CPortalConn; runs on the Portal work thread. The host must outlive it; without one
// nothing is applied or restored.
#pragma once

#include "CAutoString.h"

class IPortalHost;

class CDnsGuard {
public:
    explicit CDnsGuard(IPortalHost* host) : m_pHost(host) {}

    // Applies the name servers of a "domain-config" text: the host's result (0, or the system
    // error number, 13 refused), -1 when the text names no server or there is no host.
    int SetDNS(CAutoString& strDNS);
    // Puts the resolver file back as it was before the login's first SetDNS. Nothing when no
    // application is in force.
    void RestoreDNS();

    // After a successful SetDNS: the addresses it replaced.
    const CAutoString& GetDNS1() const { return m_strDNS1; }
    const CAutoString& GetDNS2() const { return m_strDNS2; }

private:
    IPortalHost* m_pHost;
    CAutoString m_strDNS1;
    CAutoString m_strDNS2;
};
