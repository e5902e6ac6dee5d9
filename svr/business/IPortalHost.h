// IPortalHost: what a portal connection needs from the business that owns it. Besides the state
// messages (INetStateSink) these are the adapter addresses, the resolver rewrite, the portal
// environment flag, messages to the client and the two environment switches. The Portal business
// implements it; tests implement it to record what the connection asked for.
//
// All calls come from the Portal work thread (the connection's conversations run there).
#pragma once

#include "CAutoString.h"
#include "INetStateSink.h"

class IPortalHost : public INetStateSink {
public:
    // Addresses of the adapter that carries the default route: 1 on success, -1 when no usable
    // card or address was found (the outputs are then left alone).
    virtual int GetIpAndMac(CAutoString& ip4, CAutoString& ip6, CAutoString& mac) = 0;
    // Puts the two name servers into the resolver configuration and hands back, in the same
    // strings, the servers they replaced: 0 on success or the system error number (13: refused).
    virtual int SetDNS(CAutoString& dns1, CAutoString& dns2) = 0;
    // Puts the resolver configuration back exactly as it was before the first SetDNS of this
    // login: 0 when done or when nothing was rewritten, otherwise the system error number.
    virtual int RestoreDNS() = 0;
    // True while the machine is known to be behind the portal.
    virtual bool IsPortalEnv() = 0;
    // Sends a message to the client with source "NetModule".
    virtual void PostMsg(const char* target, const char* opcode, const char* param) = 0;
    // The network is open but not through this service's login: stop the portal work and probe.
    virtual void ChangeToUnknowEnv() = 0;
    // Asks the business to log out with the given reason (queues the logout task).
    virtual void DisConnect(CAutoString reason) = 0;
    // False while the card of the default route has no carrier or there is no default route;
    // true when that is not known (nothing watches the network).
    virtual bool IsLinkUp() { return true; }
};
