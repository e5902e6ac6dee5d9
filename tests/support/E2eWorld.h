// A whole world for end-to-end runs: a network namespace of the test's own (loopback, veth0 with
// 192.0.2.10/24 and, on request, the default route via 192.0.2.1, and a resolver file that
// `ip netns exec` mounts over /etc/resolv.conf), portal-sim inside it on loopback, a fresh
// installation folder whose probe URL points at the simulator, and OrvaneSvr run inside the
// namespace either from the "terminal" (account and password, standard input and output through
// a pipe and a file) or with a test client on the two FIFOs playing the window.
//
// Everything is removed by the destructor in reverse order (processes killed and reaped, the
// namespace and its /etc/netns folder deleted, the temporary folder removed), also when an
// assertion ends the test early. Needs the compile definitions ORVANE_PORTAL_SIM,
// ORVANE_ZXM_CONTAINER, ORVANE_ZXM_SECOND and ORVANE_INSTALL_TREE.
#pragma once

#include <cjson/cJSON.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <iostream>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "NetNamespace.h"
#include "PortalSimProcess.h"
#include "ServiceProcess.h"
#include "TestSupport.h"

namespace orvane_test {

using namespace std::chrono_literals;

// A program started through `ip netns exec NS` with a working directory, its standard output and
// error in a file and, on request, its standard input on a pipe held by the test. SIGKILLed and
// reaped by the destructor when still running.
class NsProcess {
public:
    NsProcess() = default;
    ~NsProcess() {
        CloseInput();
        if (m_pid > 0 && !m_reaped) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, &m_status, 0);
        }
    }
    NsProcess(const NsProcess&) = delete;
    NsProcess& operator=(const NsProcess&) = delete;

    bool Start(const std::string& ns, const std::string& workDir, std::vector<std::string> argv,
               const std::string& outPath, bool withInput) {
        argv.insert(argv.begin(), {"ip", "netns", "exec", ns});
        std::vector<char*> args;
        for (std::string& a : argv)
            args.push_back(a.data());
        args.push_back(nullptr);
        int input[2] = {-1, -1};
        if (withInput && pipe2(input, O_CLOEXEC) != 0)
            return false;
        m_outPath = outPath;
        m_pid = fork();
        if (m_pid == 0) {
            // Only async-signal-safe calls between fork and exec.
            const int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            const int in = withInput ? input[0] : open("/dev/null", O_RDONLY);
            if (out < 0 || in < 0 || chdir(workDir.c_str()) != 0)
                _exit(120);
            dup2(in, 0);
            dup2(out, 1);
            dup2(out, 2);
            execvp(args[0], args.data());
            _exit(121);
        }
        if (withInput) {
            close(input[0]);
            m_input = input[1];
        }
        return m_pid > 0;
    }

    bool WriteInput(const std::string& text) {
        return m_input >= 0 &&
               write(m_input, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    }
    void CloseInput() {
        if (m_input >= 0)
            close(m_input);
        m_input = -1;
    }
    pid_t pid() const { return m_pid; }
    std::string Output() const { return readFile(m_outPath); }
    bool running() { return !Reap(); }

    // Waits up to timeout for the end; the exit status, or -1 when still running or signalled.
    int Wait(std::chrono::milliseconds timeout) {
        waitFor([this] { return Reap(); }, timeout, 10ms);
        if (!m_reaped || !WIFEXITED(m_status))
            return -1;
        return WEXITSTATUS(m_status);
    }
    // SIGTERM, then SIGKILL when it does not end within grace; the exit status as for Wait.
    int Stop(std::chrono::milliseconds grace = 10s) {
        if (m_pid <= 0)
            return -1;
        if (!Reap())
            kill(m_pid, SIGTERM);
        const int status = Wait(grace);
        if (!m_reaped) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, &m_status, 0);
            m_reaped = true;
        }
        return status;
    }

private:
    bool Reap() {
        if (m_pid <= 0 || m_reaped)
            return true;
        if (waitpid(m_pid, &m_status, WNOHANG) == m_pid)
            m_reaped = true;
        return m_reaped;
    }

    pid_t m_pid = -1;
    bool m_reaped = false;
    int m_status = 0;
    int m_input = -1;
    std::string m_outPath;
};

// Sanitizer findings in a program's output; empty when clean.
inline std::string sanitizerFindings(const std::string& output) {
    static const char* const kMarks[] = {"ERROR: AddressSanitizer", "ERROR: LeakSanitizer",
                                         "WARNING: ThreadSanitizer", "runtime error:"};
    for (const char* mark : kMarks) {
        const size_t at = output.find(mark);
        if (at != std::string::npos)
            return output.substr(at, 2000);
    }
    return "";
}

struct E2eOptions {
    bool defaultRoute = true;          // veth0 carries the default route
    std::vector<std::string> simArgs;  // extra portal-sim options
    std::string storeExtra;            // extra elements for conf/conf.xml, e.g. connState
    std::string resolver = "nameserver 192.0.2.53\n";  // the namespace's own /etc/resolv.conf
    // The simulator lives in a second namespace behind the far end of veth0 (the gateway
    // 192.0.2.1), as a portal does behind the card: cutting the link (CutLink) really cuts the
    // portal off. Its gateway then tells clients apart by address.
    bool portalBehindCard = false;
    // A service program to run in place of the installation's OrvaneSvr (e.g. one built for a
    // package's layout), and the folder it writes into instead of the installation (its state
    // folder); the log and store helpers read from there.
    std::string serviceProgram;
    std::string stateDir;
    // The resolver's owners the service may find: a bus address where systemd-resolved is asked
    // and the folders resolvconf is looked for in. Empty: neither (a bus address and a folder
    // that do not exist), so the service never reaches the machine's own and uses the file.
    std::string systemBus;
    std::string resolvconfPath;

    static E2eOptions Sim(std::vector<std::string> args) {
        E2eOptions o;
        o.simArgs = std::move(args);
        return o;
    }
    static E2eOptions BehindCard(std::vector<std::string> args = {}) {
        E2eOptions o = Sim(std::move(args));
        o.portalBehindCard = true;
        return o;
    }
    static E2eOptions NoDefaultRoute() {
        E2eOptions o;
        o.defaultRoute = false;
        return o;
    }
};

class E2eWorld {
public:
    static constexpr const char* kUser = "demo";
    static constexpr const char* kPassword = "demo-pw";

    explicit E2eWorld(const E2eOptions& options = {}) : m_options(options) {
        m_ns = std::make_unique<NetNamespace>(options.defaultRoute);
        if (!m_ns->ok()) {
            m_skip = m_ns->error();
            return;
        }
        if (options.portalBehindCard && !MakePortalSide())
            m_failure = "cannot move the far end of veth0 into a namespace of the portal's";
        else if (!MakeResolver())
            m_failure = "cannot write " + ResolverDir() + "/resolv.conf";
        else if (!StartSim())
            m_failure = "portal-sim did not start inside " + m_ns->name() + ": " + SimOutput();
        else if (!makeInstallation(ORVANE_INSTALL_TREE, Install()) || !WriteStore() ||
                 !UseServiceProgram())
            m_failure = "cannot lay out the installation in " + Install();
    }
    ~E2eWorld() {
        m_service.reset();
        if (m_sim)
            m_sim->Stop(5s);
        m_sim.reset();
        std::error_code ec;
        if (m_resolverMade)
            std::filesystem::remove_all(ResolverDir(), ec);
        m_portalNs.reset();
        m_ns.reset();
    }
    E2eWorld(const E2eWorld&) = delete;
    E2eWorld& operator=(const E2eWorld&) = delete;

    // Non-empty when the machine cannot make namespaces (the test is skipped with this reason).
    const std::string& skipReason() const { return m_skip; }
    // Non-empty when something else went wrong while setting up (the test fails).
    const std::string& failure() const { return m_failure; }

    const NetNamespace& ns() const { return *m_ns; }
    const TempDir& dir() const { return m_dir; }
    std::string Install() const { return m_dir.file("inst"); }
    std::string InstallFile(const std::string& name) const { return Install() + "/" + name; }
    // A file the service writes: in its state folder when it has one, else in the installation.
    std::string WrittenFile(const std::string& name) const {
        return m_options.stateDir.empty() ? InstallFile(name) : m_options.stateDir + "/" + name;
    }

    // --- the simulator -------------------------------------------------------------------------
    int SimPort() const { return m_simPort; }
    // The simulator's address: loopback, or the far end of veth0 when the portal is behind it.
    std::string SimHost() const {
        return m_options.portalBehindCard ? kPortalAddress : "127.0.0.1";
    }
    std::string SimUrl(const std::string& path) const {
        return "http://" + SimHost() + ":" + std::to_string(m_simPort) + path;
    }
    // Where the simulator takes control commands (its own listener, see SimControl).
    std::string SimControlUrl() const {
        return "http://" + SimHost() + ":" + std::to_string(m_controlPort) + "/sim/control";
    }
    // The namespace the simulator runs in.
    const std::string& SimNs() const { return m_portalNs ? m_portalNs->name() : m_ns->name(); }

    // --- the link (portal behind the card only) --------------------------------------------------
    // The portal is not on the card's own subnet: it is reached through the default route's
    // gateway (192.0.2.1), so the route, not only the card, decides how it is reached.
    static constexpr const char* kPortalAddress = "203.0.113.1";
    // The far end of veth0 goes down or up: veth0 loses or regains its carrier, its address and
    // routes stay, as when a cable is pulled or a Wi-Fi network is lost.
    bool CutLink() { return m_portalNs && m_portalNs->exec("ip link set veth1 down"); }
    bool RestoreLink() { return m_portalNs && m_portalNs->exec("ip link set veth1 up"); }
    // A second card (veth2, 198.51.100.10/24, the portal side 198.51.100.1) that also reaches the
    // portal; MoveDefaultRoute puts the default route on it, as when a laptop moves from cable
    // to Wi-Fi.
    bool AddSecondCard() {
        return m_portalNs &&
               runQuiet("ip -n " + m_ns->name() +
                        " link add veth2 type veth peer name veth3 netns " + m_portalNs->name()) &&
               m_ns->exec("ip addr add 198.51.100.10/24 dev veth2") &&
               m_ns->exec("ip link set veth2 up") &&
               m_portalNs->exec("ip addr add 198.51.100.1/24 dev veth3") &&
               m_portalNs->exec("ip link set veth3 up");
    }
    bool MoveDefaultRoute() {
        return m_ns->exec("ip route replace default via 198.51.100.1 dev veth2");
    }
    // Stops the simulator (SIGTERM); true when it ended cleanly.
    bool StopSim() {
        const bool clean = m_sim && m_sim->Stop(5s) == 0;
        m_simOutput = m_sim ? m_sim->Output() : "";
        return clean;
    }
    std::string SimOutput() const { return m_sim ? m_sim->Output() : m_simOutput; }
    // Control commands (one a line) posted from inside the namespace to the simulator's own
    // control listener, which stays open while a "refuse" fault closes the portal's; true on
    // "ok".
    bool SimControl(const std::string& commands) {
        NetnsScope inside(SimNs());
        if (!inside.entered())
            return false;
        const HttpResult r = Http(SimControlUrl(), &commands);
        return r.rc == CURLE_OK && r.status == 200;
    }
    // The simulator's request log so far, one record a line, optionally only one kind. The
    // records are owned here and stay valid for the life of the world.
    std::vector<const cJSON*> Requests(const std::string& kind = "") {
        const std::string text = readFile(m_dir.file("requests.jsonl"));
        for (size_t nl; (nl = text.find('\n', m_logParsed)) != std::string::npos;
             m_logParsed = nl + 1) {
            cJSON* rec = cJSON_Parse(text.substr(m_logParsed, nl - m_logParsed).c_str());
            if (rec)
                m_records.emplace_back(rec, cJSON_Delete);
        }
        std::vector<const cJSON*> out;
        for (const auto& rec : m_records) {
            if (kind.empty() || Field(rec.get(), "kind") == kind)
                out.push_back(rec.get());
        }
        return out;
    }
    size_t Count(const std::string& kind) { return Requests(kind).size(); }
    bool WaitForRequests(const std::string& kind, size_t n, std::chrono::milliseconds timeout) {
        return waitFor([&] { return Count(kind) >= n; }, timeout, 20ms);
    }
    // A text member of a record; path2 reaches into a nested object ("fields", "reason").
    static std::string Field(const cJSON* rec, const char* path1, const char* path2 = nullptr) {
        return SimProcess::Str(rec, path1, path2);
    }
    static double Time(const cJSON* rec) {
        const cJSON* t = cJSON_GetObjectItemCaseSensitive(rec, "time");
        return cJSON_IsNumber(t) ? t->valuedouble : -1;
    }

    // --- the installation and the service --------------------------------------------------------
    // Starts OrvaneSvr inside the namespace; with args (account, password) in console mode, with
    // its standard input on a pipe.
    // env: extra "NAME=value" settings for the service alone (a preloaded clock shim).
    bool StartService(const std::vector<std::string>& args = {}, const std::string& tag = "svr",
                      const std::vector<std::string>& env = {}) {
        m_service = std::make_unique<NsProcess>();
        std::vector<std::string> argv = {"./OrvaneSvr"};
        argv.insert(argv.begin(), env.begin(), env.end());
        const std::string& bus = m_options.systemBus;
        const std::string& folders = m_options.resolvconfPath;
        argv.insert(
            argv.begin(),
            {"env",
             "DBUS_SYSTEM_BUS_ADDRESS=" + (bus.empty() ? "unix:path=" + m_dir.file("no-bus") : bus),
             "ORVANE_RESOLVCONF_PATH=" + (folders.empty() ? m_dir.file("none") : folders)});
        argv.insert(argv.end(), args.begin(), args.end());
        m_startDay = Today();
        return m_service->Start(m_ns->name(), Install(), argv, m_dir.file(tag + ".out"), true);
    }
    NsProcess& Service() { return *m_service; }
    // Stops the service; its exit status (-1 when it had to be killed).
    int StopService(std::chrono::milliseconds grace = 15s) {
        return m_service ? m_service->Stop(grace) : -1;
    }
    std::string ServiceOutput() const { return m_service ? m_service->Output() : ""; }

    // The service's log of today (or of the day it started, across midnight).
    std::string LogText() const {
        std::string text = readFile(WrittenFile("Log/" + Today() + "_Info.log"));
        if (text.empty())
            text = readFile(WrittenFile("Log/" + m_startDay + "_Info.log"));
        return text;
    }
    bool LogHas(const std::string& needle, std::chrono::milliseconds timeout) const {
        return waitFor([&] { return LogText().find(needle) != std::string::npos; }, timeout, 20ms);
    }
    // The text of a top-level element of the service's store ("connState", "clientId").
    std::string StoreValue(const std::string& key) const {
        const std::string text = readFile(WrittenFile("conf/conf.xml"));
        std::smatch m;
        if (std::regex_search(text, m, std::regex("<" + key + ">([^<]*)</" + key + ">")))
            return m[1];
        return "";
    }
    // The namespace's resolver file as the service sees it.
    std::string Resolver() const { return readFile(ResolverDir() + "/resolv.conf"); }
    // Rewrites it in place, as a network manager inside the namespace would.
    bool WriteResolver(const std::string& text) const {
        return writeFile(ResolverDir() + "/resolv.conf", text);
    }

    static std::string Today() {
        char day[16];
        const time_t now = time(nullptr);
        tm local{};
        localtime_r(&now, &local);
        strftime(day, sizeof day, "%Y%m%d", &local);
        return day;
    }

private:
    std::string ResolverDir() const { return "/etc/netns/" + m_ns->name(); }

    bool MakePortalSide() {
        m_portalNs = std::make_unique<NetNamespace>(false);
        return m_portalNs->ok() &&
               runQuiet("ip -n " + m_ns->name() + " link set veth1 netns " + m_portalNs->name()) &&
               m_portalNs->exec("ip addr add 192.0.2.1/24 dev veth1") &&
               m_portalNs->exec(std::string("ip addr add ") + kPortalAddress + "/32 dev lo") &&
               m_portalNs->exec("ip link set veth1 up");
    }

    bool MakeResolver() {
        std::error_code ec;
        std::filesystem::create_directories(ResolverDir(), ec);
        m_resolverMade = !ec;
        return m_resolverMade && writeFile(ResolverDir() + "/resolv.conf", m_options.resolver);
    }

    bool StartSim() {
        std::vector<std::string> argv = {ORVANE_PORTAL_SIM,
                                         "--container",
                                         ORVANE_ZXM_CONTAINER,
                                         "--renew-container",
                                         ORVANE_ZXM_SECOND,
                                         "--port-file",
                                         m_dir.file("port"),
                                         "--control-port",
                                         "0",
                                         "--control-port-file",
                                         m_dir.file("control-port"),
                                         "--request-log",
                                         m_dir.file("requests.jsonl"),
                                         "--account",
                                         std::string(kUser) + ":" + kPassword,
                                         "--state-interval",
                                         "1",
                                         "--keep-interval",
                                         "1",
                                         "--no-update"};
        if (m_options.portalBehindCard)
            argv.insert(argv.end(), {"--listen", kPortalAddress, "--gateway-by-address"});
        argv.insert(argv.end(), m_options.simArgs.begin(), m_options.simArgs.end());
        m_sim = std::make_unique<NsProcess>();
        if (!m_sim->Start(SimNs(), m_dir.path(), argv, m_dir.file("sim.out"), false))
            return false;
        waitFor([&] { return !readFile(m_dir.file("port")).empty() || !m_sim->running(); }, 10s);
        m_simPort = std::atoi(readFile(m_dir.file("port")).c_str());
        m_controlPort = std::atoi(readFile(m_dir.file("control-port")).c_str());
        return m_simPort > 0 && m_controlPort > 0;
    }

    bool UseServiceProgram() {
        if (m_options.serviceProgram.empty())
            return true;
        std::error_code ec;
        std::filesystem::copy_file(m_options.serviceProgram, InstallFile("OrvaneSvr"),
                                   std::filesystem::copy_options::overwrite_existing, ec);
        removeGroupOtherWrite(InstallFile("OrvaneSvr"));
        return !ec;
    }

    // Points the probe URL at the simulator and adds the test's own store values.
    bool WriteStore() {
        const std::string path = InstallFile("conf/conf.xml");
        std::string text = readFile(path);
        const std::string empty = "<redirect></redirect>";
        const size_t at = text.find(empty);
        const size_t end = text.rfind("</conf>");
        if (at == std::string::npos || end == std::string::npos || end < at)
            return false;
        text.insert(end, m_options.storeExtra + "\n");
        // Both probe URLs lead to the simulator, so no probe ever leaves the namespace.
        text.replace(at, empty.size(),
                     "<redirect>" + SimUrl("/forward.cgi") + "</redirect><redirectipv6>" +
                         SimUrl("/forward.cgi") + "</redirectipv6>");
        const std::string emptyV6 = "<redirectipv6></redirectipv6>";
        const size_t v6 = text.find(emptyV6);
        if (v6 != std::string::npos)
            text.erase(v6, emptyV6.size());
        // A value of the test's own replaces the one the installation ships.
        std::smatch tag;
        for (std::string rest = m_options.storeExtra;
             std::regex_search(rest, tag, std::regex("<([A-Za-z0-9]+)>")); rest = tag.suffix()) {
            const std::string shipped = "<" + tag[1].str() + ">";
            const size_t first = text.find(shipped);
            const size_t close = text.find("</" + tag[1].str() + ">", first);
            if (first != std::string::npos && close != std::string::npos &&
                text.find(shipped, first + 1) != std::string::npos)
                text.erase(first, close + shipped.size() + 1 - first);
        }
        return writeFile(path, text);
    }

    E2eOptions m_options;
    TempDir m_dir;
    std::unique_ptr<NetNamespace> m_ns;
    std::unique_ptr<NetNamespace> m_portalNs;  // the portal's side of the card, on request
    std::unique_ptr<NsProcess> m_sim;
    std::unique_ptr<NsProcess> m_service;
    std::vector<std::unique_ptr<cJSON, void (*)(cJSON*)>> m_records;
    std::string m_skip;
    std::string m_failure;
    std::string m_simOutput;
    std::string m_startDay;
    bool m_resolverMade = false;
    size_t m_logParsed = 0;  // bytes of the request log already parsed into m_records
    int m_simPort = 0;
    int m_controlPort = 0;  // the simulator's control listener, open also while it refuses
};

// One connection-state message ("NetStateMessageResp") as the window reads it.
struct NetState {
    int type = -1;
    int oldState = -1;
    int newState = -1;
    long code = -1;
    std::string subCode;
    std::string text;  // the whole message
};

// The window's side of the pipes: sends the client's commands and collects what the service
// sends, with the state messages parsed.
class WindowClient {
public:
    static std::string Command(const std::string& opcode, const std::string& params = "") {
        return "<M><OpS>client</OpS><OpT>Portal</OpT><OpC>" + opcode + "</OpC><P>" + params +
               "</P></M>";
    }

    WindowClient() = default;
    WindowClient(const WindowClient&) = delete;
    WindowClient& operator=(const WindowClient&) = delete;

    // Opens the FIFOs; a window that was open before closes first, as when the user restarts it.
    bool Connect(const std::string& installDir, std::chrono::milliseconds timeout = 15s) {
        m_pipe.Close();
        return m_pipe.Connect(installDir, timeout);
    }
    bool Send(const std::string& opcode, const std::string& params = "") {
        return m_pipe.Send(Command(opcode, params));
    }

    // Reads until a message with this opcode arrives; false on timeout.
    bool WaitFor(const std::string& opcode, std::chrono::milliseconds timeout,
                 std::string* message = nullptr) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            std::string m;
            if (left.count() <= 0 || !m_pipe.Receive(m, left))
                return false;
            Record(m);
            if (m.find("<OpC>" + opcode + "</OpC>") != std::string::npos) {
                if (message)
                    *message = m;
                return true;
            }
        }
    }
    // Reads until a state message with this new state arrives; false on timeout.
    bool WaitState(int newState, std::chrono::milliseconds timeout, NetState* state = nullptr) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            std::string m;
            if (left.count() <= 0 || !WaitFor("NetStateMessageResp", left, &m))
                return false;
            const NetState s = m_states.back();
            if (s.newState == newState) {
                if (state)
                    *state = s;
                return true;
            }
        }
    }
    const std::vector<NetState>& States() const { return m_states; }
    const std::vector<std::string>& Messages() const { return m_messages; }
    std::string Transcript() const {
        std::string all;
        for (const std::string& m : m_messages)
            all += m + "\n";
        return all;
    }

private:
    static std::string Element(const std::string& m, const std::string& tag) {
        const size_t b = m.find("<" + tag + ">");
        const size_t e = m.find("</" + tag + ">");
        if (b == std::string::npos || e == std::string::npos || e < b)
            return "";
        return m.substr(b + tag.size() + 2, e - b - tag.size() - 2);
    }
    void Record(const std::string& m) {
        m_messages.push_back(m);
        if (m.find("<OpC>NetStateMessageResp</OpC>") == std::string::npos)
            return;
        NetState s;
        s.type = std::atoi(Element(m, "type").c_str());
        s.oldState = std::atoi(Element(m, "oldState").c_str());
        s.newState = std::atoi(Element(m, "newState").c_str());
        s.code = std::atol(Element(m, "ErrorCode").c_str());
        s.subCode = Element(m, "subErrCode");
        s.text = m;
        m_states.push_back(s);
    }

    PipeClient m_pipe;
    std::vector<std::string> m_messages;
    std::vector<NetState> m_states;
};

// Base of the scenario tests: one world per test, checked for sanitizer findings at the end.
class E2eTest : public ::testing::Test {
protected:
    // Makes the world; skips the test (GTEST_SKIP) when namespaces cannot be made here. Callers
    // return when IsSkipped() or HasFatalFailure() afterwards (E2E_WORLD does both).
    void MakeWorld(const E2eOptions& options = {}) {
        world = std::make_unique<E2eWorld>(options);
        if (!world->skipReason().empty())
            GTEST_SKIP() << world->skipReason();
        ASSERT_EQ("", world->failure());
    }
    void TearDown() override {
        if (!world)
            return;
        world->StopService();
        const std::string service = world->ServiceOutput();
        EXPECT_TRUE(world->StopSim()) << "portal-sim did not stop cleanly:\n" << world->SimOutput();
        EXPECT_EQ("", sanitizerFindings(service));
        EXPECT_EQ("", sanitizerFindings(world->SimOutput()));
        if (HasFailure()) {
            std::cerr << "--- service output\n"
                      << service << "--- service log\n"
                      << world->LogText() << "--- window transcript\n"
                      << window.Transcript();
        }
    }

    // Starts the service in window mode and plays the window up to the pre-connected state.
    void StartToPreconnected(const std::string& tag = "svr") {
        ASSERT_TRUE(world->StartService({}, tag));
        ASSERT_TRUE(window.Connect(world->Install())) << world->ServiceOutput();
        ASSERT_TRUE(window.Send("ClientStart"));
        ASSERT_TRUE(window.WaitFor("ClientStartComplete", 10s));
        ASSERT_TRUE(window.Send("CheckEnv"));
        ASSERT_TRUE(window.WaitState(31, 20s));
    }
    // Sends the log-in as the window does and waits for the connected state, and then for the
    // store to record the login, which the service writes after telling the window.
    void LogIn(const std::string& password = E2eWorld::kPassword) {
        ASSERT_TRUE(window.Send("PortalConnect", std::string("<user>") + E2eWorld::kUser +
                                                     "</user><password>" + password +
                                                     "</password>"));
        ASSERT_TRUE(window.WaitState(2, 20s));
        ASSERT_TRUE(waitFor([&] { return world->StoreValue("connState") == "1"; }, 5s, 10ms));
    }
    // The logout requests the simulator received with this reason.
    size_t Logouts(const std::string& reason) {
        size_t n = 0;
        for (const cJSON* rec : world->Requests("term"))
            n += E2eWorld::Field(rec, "fields", "reason") == reason;
        return n;
    }
    bool WaitForLogout(const std::string& reason, std::chrono::milliseconds timeout) {
        return waitFor([&] { return Logouts(reason) > 0; }, timeout, 50ms);
    }

    std::unique_ptr<E2eWorld> world;
    WindowClient window;
};

#define E2E_WORLD(...)                        \
    do {                                      \
        MakeWorld(__VA_ARGS__);               \
        if (IsSkipped() || HasFatalFailure()) \
            return;                           \
    } while (0)

}  // namespace orvane_test
