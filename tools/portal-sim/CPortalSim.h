// CPortalSim: the simulator as a whole. Owns the HTTP server, the shared context and every
// simulated server, and runs the listener until Stop().
//
// Init() and Run() are called from one thread; Stop() from any other thread (not from a signal
// handler). Run() re-opens the listener on the same port after a "refuse" pause.
#pragma once

#include <httplib.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>

#include "CFaultInjector.h"
#include "CGatewayPage.h"
#include "CPortalServers.h"
#include "CSimContext.h"
#include "CStatsServer.h"
#include "CUniqueFd.h"
#include "CUpdateServer.h"

class CPortalSim {
public:
    explicit CPortalSim(const CSimOptions& options);
    CPortalSim(const CPortalSim&) = delete;
    CPortalSim& operator=(const CPortalSim&) = delete;

    // Opens the request log, loads the container and the packages, adds the fault rules and binds
    // the listener. False with a message in error when any of these fails.
    bool Init(std::string& error);
    // Serves until Stop(); returns false when the listener could not be re-opened after a pause.
    bool Run();
    void Stop();
    int Port() const { return m_ctx.Port(); }

private:
    bool Bind(int port);
    // Reserves the port that --stats-refuse names in the configuration.
    bool OpenRefusingPort();
    bool WritePortFile() const;
    void Control(const httplib::Request& req, httplib::Response& res);
    bool ControlCommand(const std::string& line, std::string& error);
    void MarkRunDone();
    // Stops the listener of the current bind once; later calls for the same bind do nothing
    // (the server must not be stopped twice while its loop winds down).
    void StopListenerOnce();

    CSimContext m_ctx;
    CFaultInjector m_injector;
    CGatewayPage m_gateway;
    CPortalServers m_portal;
    CStatsServer m_stats;
    CUpdateServer m_update;
    httplib::Server m_server;
    std::unique_ptr<CUniqueFd> m_refusing;  // the --stats-refuse port, held for the whole run

    std::mutex m_runLock;
    std::condition_variable m_runDoneCv;
    bool m_runDone = false;
    unsigned m_bindCount = 0;    // guarded by m_runLock; one per bind attempt
    unsigned m_stoppedBind = 0;  // the bind StopListenerOnce last stopped
};
