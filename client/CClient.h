// CClient: the client's message router. Owns the pipe transport towards the service and hands
// every message it receives to its one business, whatever the message's target: the client has
// exactly one business, so there is nothing to route by.
//
// Threads: Open and DoWork run on the pipe thread; DoWorkOnPipe on the transport's message thread;
// PostMessage from any thread (the transport serialises writes); StopWork from any thread.
#pragma once

#include "CPipeService.h"
#include "IBusiness.h"
#include "IPipeCallback.h"
#include "IServer.h"

#include <atomic>
#include <string>

class CClient : public IPipeCallback, public IServer {
public:
    // The client's own FIFO and the service's, relative to the pipe folder.
    static constexpr const char* kOwnFifo = "clientpipe";
    static constexpr const char* kPeerFifo = "serverpipe";

    // pipeFolder: where both FIFOs live; empty means the working directory. sharedGroup: see
    // CPipeService (the service's runtime folder shared with the group, or kPrivate).
    explicit CClient(std::string pipeFolder = std::string(),
                     gid_t sharedGroup = CPipeService::kPrivate);
    // Closes both pipe ends and removes the client's FIFO. DoWork must have returned.
    ~CClient() override = default;
    // The transport and the business hold this router's address.
    CClient(const CClient&) = delete;
    CClient& operator=(const CClient&) = delete;

    // Creates "clientpipe" and opens both FIFOs in the client's order, waiting for the service.
    // 0 when both are open, -1 on failure or when StopWork intervened.
    int Open();
    // Runs the read loop on the calling thread until it ends (read error or StopWork), then gives
    // the business ServerStatus with the result, which is returned.
    int DoWork();
    // Ends DoWork, or an Open still waiting for the service; final for this object.
    void StopWork();

    void DoWorkOnPipe(CAutoString message) override;
    // Remembers business as the single receiver (not owned); the name is not used.
    void RegisterBusiness(const char* name, IBusiness* business) override;
    bool PostMessage(const char* message) override;
    // The client's information center (the process-wide one).
    ISvrInfoCenter* GetInfoCenter() override;

private:
    CPipeService m_pipe;
    std::atomic<IBusiness*> m_pBusiness{nullptr};
};
