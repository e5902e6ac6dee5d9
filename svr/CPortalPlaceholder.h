// CPortalPlaceholder: holds the "Portal" name in the router while the service has no portal
// logic. It answers nothing and starts nothing; each message is noted in the log by operation
// and source only, so a password inside a log-in never reaches the log.
#pragma once

#include "CBusiness.h"

class CPortalPlaceholder : public CBusiness {
public:
    // The router name of the business.
    static constexpr const char* kName = "Portal";

    // Attaches to the router and registers under "Portal".
    void InitService(IServer* server) override;
    void ServerStatus(int status) override;
    void DefaultDeal(CXMLOpt& message) override;
};
