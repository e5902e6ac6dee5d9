// IServer: the router as its businesses see it.
#pragma once

class IBusiness;
class ISvrInfoCenter;

class IServer {
public:
    virtual ~IServer() = default;

    // Sets the business for name (exact, case-sensitive), replacing an earlier one. The business
    // is not owned and must outlive the router's message handling.
    virtual void RegisterBusiness(const char* name, IBusiness* business) = 0;
    // Sends one message envelope to the peer. Any thread. False when it was not written.
    virtual bool PostMessage(const char* message) = 0;
    // The process's information center; never null.
    virtual ISvrInfoCenter* GetInfoCenter() = 0;
};
