// IBusiness: a business module behind a router. The router owns none of its businesses.
#pragma once

class IServer;

class IBusiness {
public:
    virtual ~IBusiness() = default;

    // Attaches the business to its router; called once at start-up before any message arrives.
    virtual void InitService(IServer* server) = 0;
    // Handles one whole message envelope. Called on the router's message thread, one at a time.
    virtual void DealMsg(const char* message) = 0;
    // The router's notice about its pipe; -1 means the pipe has ended and the service is closing.
    virtual void ServerStatus(int status) = 0;
};
