#include "CPortalSim.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <chrono>
#include <fstream>
#include <sstream>

#include "SimHttpUtil.h"

CPortalSim::CPortalSim(const CSimOptions& options)
    : m_ctx(options),
      m_injector(m_ctx),
      m_gateway(m_ctx, m_injector),
      m_portal(m_ctx, m_injector),
      m_stats(m_ctx, m_injector),
      m_update(m_ctx, m_injector) {}

bool CPortalSim::Init(std::string& error) {
    const CSimOptions& o = m_ctx.options;
    if (!m_ctx.log.Open(o.requestLog)) {
        error = "cannot open request log '" + o.requestLog + "'";
        return false;
    }
    if (o.container.empty() || !m_ctx.codec.Load(o.container)) {
        error = "cannot load algorithm container '" + o.container + "' (--container)";
        return false;
    }
    if (!m_update.Load(error))
        return false;
    if (o.statsRefuse && !OpenRefusingPort()) {
        error = "cannot reserve a refusing port for --stats-refuse";
        return false;
    }
    for (const std::string& rule : o.faults) {
        if (!m_ctx.faults.Add(rule, error))
            return false;
    }
    m_gateway.Register(m_server);
    m_portal.Register(m_server);
    m_stats.Register(m_server);
    m_update.Register(m_server);
    (o.controlPort >= 0 ? m_control : m_server)
        .Post("/sim/control",
              [this](const httplib::Request& q, httplib::Response& r) { Control(q, r); });
    m_ctx.SetRefuseHook([this] { StopListenerOnce(); });
    if (o.controlPort >= 0 && !BindControl()) {
        error = "cannot listen for control on " + o.listenAddr + ":" +
                std::to_string(o.controlPort) + " or write '" + o.controlPortFile + "'";
        return false;
    }
    if (!Bind(o.port)) {
        error = "cannot listen on " + o.listenAddr + ":" + std::to_string(o.port);
        return false;
    }
    // Written last: a reader that sees the port finds the control port already there.
    if (!WritePortFile(o.portFile, m_ctx.Port())) {
        error = "cannot write port file '" + o.portFile + "'";
        return false;
    }
    return true;
}

bool CPortalSim::OpenRefusingPort() {
    // Bound but never listening: the kernel answers every connection attempt with a reset.
    m_refusing.reset(new CUniqueFd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    socklen_t len = sizeof addr;
    if (m_refusing->get() < 0 ||
        ::inet_pton(AF_INET, m_ctx.options.listenAddr.c_str(), &addr.sin_addr) != 1 ||
        ::bind(m_refusing->get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::getsockname(m_refusing->get(), reinterpret_cast<sockaddr*>(&addr), &len) != 0)
        return false;
    m_ctx.SetRefusingPort(ntohs(addr.sin_port));
    return true;
}

bool CPortalSim::Bind(int port) {
    std::lock_guard<std::mutex> guard(m_runLock);
    ++m_bindCount;
    if (port == 0) {
        int chosen = m_server.bind_to_any_port(m_ctx.options.listenAddr);
        if (chosen <= 0)
            return false;
        m_ctx.SetPort(chosen);
        return true;
    }
    if (!m_server.bind_to_port(m_ctx.options.listenAddr, port))
        return false;
    m_ctx.SetPort(port);
    return true;
}

bool CPortalSim::BindControl() {
    const CSimOptions& o = m_ctx.options;
    if (o.controlPort == 0)
        m_controlPort = m_control.bind_to_any_port(o.listenAddr);
    else if (m_control.bind_to_port(o.listenAddr, o.controlPort))
        m_controlPort = o.controlPort;
    return m_controlPort > 0 && WritePortFile(o.controlPortFile, m_controlPort);
}

void CPortalSim::StartControl() {
    if (m_controlPort <= 0)
        return;
    m_controlThread = std::thread([this] {
        m_control.listen_after_bind();
        m_controlDone = true;
    });
}

void CPortalSim::StopControl() {
    if (!m_controlThread.joinable())
        return;
    // A stop that comes before the thread starts listening is lost, so it is repeated until
    // the listener has ended.
    while (!m_controlDone) {
        if (m_control.is_running())
            m_control.stop();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    m_controlThread.join();
}

bool CPortalSim::WritePortFile(const std::string& path, int port) {
    if (path.empty())
        return true;
    // Written under another name and renamed, so a reader never sees a partial number.
    std::string tmp = path + ".tmp";
    {
        std::ofstream out(tmp, std::ios::trunc);
        out << port << "\n";
        if (!out)
            return false;
    }
    return std::rename(tmp.c_str(), path.c_str()) == 0;
}

bool CPortalSim::Run() {
    bool ok = true;
    StartControl();
    while (!m_ctx.Stopping()) {
        m_server.listen_after_bind();
        long pause = m_ctx.TakeRefuse();
        if (m_ctx.Stopping() || pause <= 0)
            break;
        // Nothing listens during the pause, so connection attempts are refused.
        m_ctx.Sleep(pause);
        if (m_ctx.Stopping())
            break;
        if (!Bind(m_ctx.Port())) {
            ok = false;
            break;
        }
    }
    StopControl();
    MarkRunDone();
    return ok;
}

void CPortalSim::MarkRunDone() {
    std::lock_guard<std::mutex> guard(m_runLock);
    m_runDone = true;
    m_runDoneCv.notify_all();
}

void CPortalSim::StopListenerOnce() {
    std::lock_guard<std::mutex> guard(m_runLock);
    if (m_stoppedBind != m_bindCount && m_server.is_running()) {
        m_server.stop();
        m_stoppedBind = m_bindCount;
    }
}

void CPortalSim::Stop() {
    m_ctx.RequestStop();
    // stop() only acts on a running listener; retry until Run() has ended, which also covers a
    // stop that arrives between a re-bind and the start of listening.
    for (;;) {
        StopListenerOnce();
        std::unique_lock<std::mutex> lock(m_runLock);
        if (m_runDoneCv.wait_for(lock, std::chrono::milliseconds(20), [this] { return m_runDone; }))
            return;
    }
}

void CPortalSim::Control(const httplib::Request& req, httplib::Response& res) {
    JsonPtr rec = simhttp::NewRecord("control", req);
    cJSON_AddStringToObject(rec.get(), "body", req.body.c_str());
    std::istringstream lines(req.body);
    std::string line, error;
    bool ok = true;
    while (ok && std::getline(lines, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (!line.empty())
            ok = ControlCommand(line, error);
    }
    res.status = ok ? 200 : 400;
    res.set_content(ok ? "ok\n" : error + "\n", "text/plain");
    cJSON_AddNumberToObject(rec.get(), "status", res.status);
    m_ctx.log.Append(std::move(rec));
}

bool CPortalSim::ControlCommand(const std::string& line, std::string& error) {
    if (line.rfind("fault ", 0) == 0)
        return m_ctx.faults.Add(line.substr(6), error);
    if (line == "clear-faults") {
        m_ctx.faults.Clear();
    } else if (line == "end-login") {
        m_ctx.state.EndAllLogins();
    } else if (line.rfind("login-elsewhere ", 0) == 0 && line.size() > 16) {
        if (m_ctx.state.AdoptOpenTickets(line.substr(16)) == 0) {
            error = "no open ticket to log in";
            return false;
        }
    } else if (line == "stats-stall on" || line == "stats-stall off") {
        m_ctx.statsStall = line == "stats-stall on";
    } else if (line == "reset") {
        m_ctx.state.Reset();
    } else {
        error = "unknown command '" + line + "'";
        return false;
    }
    return true;
}
