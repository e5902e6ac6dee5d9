// CServer: the service's message router. Owns the pipe transport towards the desktop client and
// delivers each incoming message to the one business registered under the message's target
// module (OpT, exact and case-sensitive). Businesses are not owned and must outlive the router.
#pragma once

#include "CAutoString.h"
#include "CPipeService.h"
#include "IBusiness.h"
#include "IPipeCallback.h"
#include "IServer.h"

#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <utility>

class CClientCommand;

class CServer : public IPipeCallback, public IServer {
public:
    typedef std::map<CAutoString, IBusiness*> CBusMap;

    // pipeFolder: where both FIFOs live; empty means the working directory. sharedGroup: see
    // CPipeService (a runtime folder shared with the window's users, or kPrivate).
    explicit CServer(std::string pipeFolder = std::string(),
                     gid_t sharedGroup = CPipeService::kPrivate)
        : m_pipeSvr(std::move(pipeFolder), sharedGroup) {}
    // Closes both pipe ends and removes the service's own FIFO.
    ~CServer() override = default;
    // The transport and the businesses hold this router's address.
    CServer(const CServer&) = delete;
    CServer& operator=(const CServer&) = delete;

    // Creates the service's own FIFO (a leftover from an earlier run is reused; the result says
    // only whether this call created it).
    int CreateServer(const char* ownFifo);
    // Opens the own FIFO for writing (blocks until the client reads it), then the client's FIFO
    // for reading. -1 when the own FIFO cannot be opened.
    int ConnectToServer(const char* peerFifo);
    // Runs the pipe read loop on the calling thread until reading fails, then tells every
    // business ServerStatus(-1). Returns 0.
    int DoWork();
    // Ends DoWork (and a ConnectToServer still waiting for the client) from any thread.
    void StopWork();
    // True once StopWork has been called.
    bool IsStopping() const { return m_pipeSvr.IsStopping(); }

    // Dispatch of one incoming message; runs on the transport's message thread.
    void DoWorkOnPipe(CAutoString message) override;

    void RegisterBusiness(const char* name, IBusiness* business) override;
    // Writes the message to the client's pipe and, once the console business has been started,
    // queues a copy for it (also when no client reads the pipe). The result is the pipe's.
    bool PostMessage(const char* message) override;
    // The console business that gets copies of every posted message; null for none. Not owned:
    // it must outlive the router or be unset first.
    void SetConsole(CClientCommand* console) { m_console.store(console); }
    ISvrInfoCenter* GetInfoCenter() override;

    // Logs the status and passes it to every registered business in ascending name order.
    void ServerStatus(int status);

private:
    IBusiness* FindBusiness(const CAutoString& name);

    CPipeService m_pipeSvr;
    std::mutex m_busLock;  // the table is filled at start-up but read from the message thread
    CBusMap m_BusinessMap;
    std::atomic<CClientCommand*> m_console{nullptr};
};
