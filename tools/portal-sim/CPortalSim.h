// CPortalSim: the simulator as a whole. Owns the HTTP server, the shared context and every
// simulated server, and runs the listener until Stop().
//
// Init() and Run() are called from one thread; Stop() from any other thread (not from a signal
// handler). Run() re-opens the listener on the same port after a "refuse" pause. With
// --control-port the control commands have a listener of their own, served by a thread that
// Run() starts and ends, so a test can still lift a fault while the portal refuses.
#pragma once

#include <httplib.h>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

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
    // The control listener's port; the main port when control shares it.
    int ControlPort() const { return m_controlPort > 0 ? m_controlPort : Port(); }

private:
    bool Bind(int port);
    // Reserves the port that --stats-refuse names in the configuration.
    bool OpenRefusingPort();
    static bool WritePortFile(const std::string& path, int port);
    bool BindControl();
    void StartControl();
    void StopControl();
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
    httplib::Server m_control;  // only with --control-port
    int m_controlPort = 0;
    std::thread m_controlThread;
    std::atomic<bool> m_controlDone{false};
    std::unique_ptr<CUniqueFd> m_refusing;  // the --stats-refuse port, held for the whole run

    std::mutex m_runLock;
    std::condition_variable m_runDoneCv;
    bool m_runDone = false;
    unsigned m_bindCount = 0;    // guarded by m_runLock; one per bind attempt
    unsigned m_stoppedBind = 0;  // the bind StopListenerOnce last stopped
};
