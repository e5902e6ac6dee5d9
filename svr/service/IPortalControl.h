// IPortalControl: the commands the console business gives the Portal business. In the program
// they reach the Portal business's own handlers on the calling thread, exactly as the window's
// messages do after routing; tests implement the interface to record the commands.
#pragma once

#include "CAutoString.h"

class CXMLOpt;

class IPortalControl {
public:
    virtual ~IPortalControl() = default;

    // "ClientStart" from "client" with an empty document: starts the business's machine.
    virtual void ClientStart() = 0;
    // Hands over the console's log-in ("PortalConnect" with account and password), which the
    // business sends again by itself when a login ends without being asked for. The caller
    // wipes its copy afterwards.
    virtual void SetAutoLogin(const CAutoString& loginMessage) = 0;
    // "PortalConnect": message is the whole log-in message (account and password inside).
    virtual void PortalConnect(CXMLOpt& message) = 0;
    // "PortalDisConnect": message carries the logout reason as "P.src".
    virtual void PortalDisConnect(CXMLOpt& message) = 0;
    // Arms a network check delay seconds from now.
    virtual void CheckNetStatus(int delay) = 0;
    // The reason code of the last logout the business carried out ("6" sharing, "7" shut-down,
    // ...); empty before the first.
    virtual CAutoString LastLogoutReason() = 0;
};
