// One booted Debian 12 machine with the packages under test, shared by every scenario of the
// system test: the root (DebianRoot, unpacked afresh into a run folder), a network namespace of
// the test's (loopback, veth0 192.0.2.10/24, default route via 192.0.2.1) with portal-sim on its
// loopback, and the container booted by its own systemd inside that namespace (BootedContainer).
// The probe URL of the service's store points at the simulator before the service first starts.
//
// The destructor takes everything down in reverse order (container, simulator, namespace, run
// folder). When the run overstays its bound or is interrupted, the test's watchdog calls
// Abandon() from its own thread instead, and the process ends at once.
#pragma once

#include <cjson/cJSON.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <iomanip>
#include <iostream>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "BootedContainer.h"
#include "DebianRoot.h"
#include "E2eWorld.h"
#include "PhaseTimer.h"
#include "SystemCommand.h"

namespace orvane_system {

using namespace std::chrono_literals;

class SystemWorld {
public:
    static constexpr const char* kAccount = "demo";
    static constexpr const char* kPassword = "demo";
    // The name servers the portal announces in its login answer.
    static constexpr const char* kPortalDns1 = "198.51.100.53";
    static constexpr const char* kPortalDns2 = "198.51.100.54";

    // debs: the two packages; cache: where the root and artefacts are kept between runs.
    SystemWorld(std::vector<std::string> debs, std::string cache)
        : m_debs(std::move(debs)),
          m_cache(std::move(cache)),
          m_run(m_cache + "/run-" + std::to_string(getpid())) {}
    SystemWorld(const SystemWorld&) = delete;
    SystemWorld& operator=(const SystemWorld&) = delete;

    // Builds the whole world up to the installed packages; false with why.
    bool Start(std::string& why) {
        return MakeRoot(why) && Going(why) && MakeNetwork(why) && Going(why) && BootMachine(why) &&
               Going(why) && Install(why);
    }

    // For the watchdog, while the test thread may still be using the world: ends the machine and
    // the simulator by the process ids noted in the run folder (PID 1 first: its end ends
    // everything in the container), deletes the namespace by name and removes the run folder,
    // touching none of the objects. The process must end right after.
    void Abandon() {
        m_abandoned = true;
        for (const char* file : {"pid1", "nspawn.pid", "sim.pid"}) {
            const pid_t pid = std::atoi(orvane_test::readFile(RunFile(file)).c_str());
            if (pid > 0)
                kill(pid, SIGKILL);
        }
        const std::string ns = orvane_test::readFile(RunFile("netns"));
        if (!ns.empty())
            runCommand({"ip", "netns", "del", ns}, 10s);
        // The container's processes take a moment to go after their PID 1.
        orvane_test::waitFor(
            [&] {
                std::error_code ec;
                std::filesystem::remove_all(m_run, ec);
                return !std::filesystem::exists(m_run, ec);
            },
            20s, 200ms);
    }

    ~SystemWorld() {
        m_machine.reset();
        if (m_sim)
            m_sim->Stop(5s);
        m_sim.reset();
        m_ns.reset();
        std::error_code ec;
        std::filesystem::remove_all(m_run, ec);
    }

    BootedContainer& machine() { return *m_machine; }
    const orvane_test::NetNamespace& ns() const { return *m_ns; }
    std::string Artefacts() const { return m_cache + "/artefacts"; }
    // What the resolver looked like before the packages were installed.
    const std::string& ResolverLinkBefore() const { return m_linkBefore; }
    const std::string& LinkDnsBefore() const { return m_dnsBefore; }

    // --- the machine's resolver -------------------------------------------------------------
    std::string ResolverLink() { return m_machine->Out({"readlink", "/etc/resolv.conf"}); }
    std::string LinkDns() { return m_machine->Out({"resolvectl", "dns", "veth0"}); }

    // --- the simulator's request log --------------------------------------------------------
    // The number of records so far: a mark that later questions count from.
    size_t Mark() { return Records().size(); }
    // Records of kind received since mark (all kinds when kind is empty).
    std::vector<const cJSON*> Since(size_t mark, const std::string& kind = "") {
        std::vector<const cJSON*> out;
        const auto& all = Records();
        for (size_t i = mark; i < all.size(); ++i) {
            if (kind.empty() || Field(all[i].get(), "kind") == kind)
                out.push_back(all[i].get());
        }
        return out;
    }
    // Logouts since mark with this reason.
    size_t Logouts(size_t mark, const std::string& reason) {
        size_t n = 0;
        for (const cJSON* rec : Since(mark, "term"))
            n += Field(rec, "fields", "reason") == reason;
        return n;
    }
    // A login the portal accepted since mark.
    bool LoggedInSince(size_t mark) { return Accepted(mark, "auth"); }
    // A request of kind since mark that the portal answered with code 0.
    bool Accepted(size_t mark, const std::string& kind) {
        for (const cJSON* rec : Since(mark, kind)) {
            if (AnswerCode(rec) == 0)
                return true;
        }
        return false;
    }
    bool WaitAccepted(size_t mark, const std::string& kind, std::chrono::milliseconds timeout) {
        return orvane_test::waitFor([&] { return Accepted(mark, kind); }, timeout, 100ms);
    }
    // The log from mark on, one "kind(code) reason" a line, for failure messages; the state
    // polls, which come every few seconds, are left out.
    std::string Transcript(size_t mark = 0) {
        std::string text;
        for (const cJSON* rec : Since(mark)) {
            if (Field(rec, "kind") == "state")
                continue;
            text += Field(rec, "kind") + "(" + std::to_string(AnswerCode(rec)) + ") " +
                    Field(rec, "fields", "reason") + "\n";
        }
        return text;
    }
    static std::string Field(const cJSON* rec, const char* a, const char* b = nullptr) {
        return orvane_test::SimProcess::Str(rec, a, b);
    }
    std::string SimOutput() const { return m_sim ? m_sim->Output() : ""; }
    // Control commands (one a line) for the simulator; true when it took them.
    bool SimControl(const std::string& commands) {
        orvane_test::NetnsScope inside(m_ns->name());
        const int port = std::atoi(orvane_test::readFile(RunFile("control-port")).c_str());
        if (!inside.entered() || port <= 0)
            return false;
        const orvane_test::HttpResult r = orvane_test::Http(
            "http://127.0.0.1:" + std::to_string(port) + "/sim/control", &commands);
        return r.rc == CURLE_OK && r.status == 200;
    }

private:
    static int AnswerCode(const cJSON* rec) {
        const cJSON* answer = cJSON_GetObjectItemCaseSensitive(rec, "answer");
        const cJSON* code = cJSON_GetObjectItemCaseSensitive(answer, "error_code");
        return cJSON_IsNumber(code) ? code->valueint : -1;
    }
    const std::vector<std::unique_ptr<cJSON, void (*)(cJSON*)>>& Records() {
        const std::string text = orvane_test::readFile(RunFile("requests.jsonl"));
        for (size_t nl; (nl = text.find('\n', m_parsed)) != std::string::npos; m_parsed = nl + 1) {
            cJSON* rec = cJSON_Parse(text.substr(m_parsed, nl - m_parsed).c_str());
            if (rec)
                m_records.emplace_back(rec, cJSON_Delete);
        }
        return m_records;
    }

    std::string RunFile(const std::string& name) const { return m_run + "/" + name; }
    // False once Abandon() began (the watchdog's, from another thread): nothing more is made.
    bool Going(std::string& why) const {
        if (m_abandoned)
            why = "the world is being taken down";
        return !m_abandoned;
    }
    std::string Root() const { return RunFile("root"); }

    bool MakeRoot(std::string& why) {
        std::vector<std::string> packages = DebianRoot::BasePackages();
        if (!AddDependencies(packages, why) || !Unpacked(why))
            return false;
        DebianRoot root(m_cache, packages);
        {
            PhaseTimer phase("root (mmdebstrap, or the kept one)");
            if (!root.Ensure(why))
                return false;
        }
        PhaseTimer phase("fresh copy of the root");
        return root.Unpack(Root(), why);
    }

    // The packages' own dependencies, installed into the root beforehand: the container has no
    // mirror inside the test network.
    bool AddDependencies(std::vector<std::string>& packages, std::string& why) const {
        std::vector<std::string> ours;
        for (const std::string& deb : m_debs)
            ours.push_back(runCommand({"dpkg-deb", "-f", deb, "Package"}, 30s).out);
        for (std::string& name : ours)
            name = name.substr(0, name.find('\n'));
        for (const std::string& deb : m_debs) {
            const CommandResult r =
                runCommand({"dpkg-deb", "-f", deb, "Pre-Depends", "Depends", "Recommends"}, 30s);
            if (r.status != 0) {
                why = "cannot read " + deb + ": " + r.Text();
                return false;
            }
            for (const std::string& name : DependencyNames(r.out)) {
                if (std::find(ours.begin(), ours.end(), name) == ours.end())
                    packages.push_back(name);
            }
        }
        return true;
    }
    // "Depends: a (>= 1), b | c, d:any" and the like: the first choice of each, bare names.
    static std::vector<std::string> DependencyNames(const std::string& fields) {
        std::vector<std::string> names;
        std::istringstream lines(fields);
        for (std::string line; std::getline(lines, line);) {
            std::istringstream items(line.substr(line.find(':') + 1));
            for (std::string item; std::getline(items, item, ',');) {
                std::istringstream words(item.substr(0, item.find('|')));
                std::string name;
                words >> name;
                name = name.substr(0, name.find(':'));
                if (!name.empty())
                    names.push_back(name);
            }
        }
        return names;
    }

    // The packages unpacked on the host, for the simulator's algorithm container and the seed
    // of the service's store.
    bool Unpacked(std::string& why) {
        std::error_code ec;
        std::filesystem::remove_all(m_run, ec);
        std::filesystem::create_directories(RunFile("pkg"), ec);
        for (const std::string& deb : m_debs) {
            if (!runCommand({"dpkg-deb", "-x", deb, RunFile("pkg")}, 60s).ok()) {
                why = "cannot unpack " + deb;
                return false;
            }
        }
        return true;
    }

    bool MakeNetwork(std::string& why) {
        PhaseTimer phase("network namespace and portal-sim");
        m_ns = std::make_unique<orvane_test::NetNamespace>(true);
        if (!m_ns->ok()) {
            why = m_ns->error();
            return false;
        }
        const std::vector<std::string> argv = {ORVANE_PORTAL_SIM,
                                               "--container",
                                               RunFile("pkg/usr/lib/orvane/zuvUzarod.zxm"),
                                               "--port-file",
                                               RunFile("port"),
                                               "--control-port",
                                               "0",
                                               "--control-port-file",
                                               RunFile("control-port"),
                                               "--request-log",
                                               RunFile("requests.jsonl"),
                                               "--account",
                                               std::string(kAccount) + ":" + kPassword,
                                               "--keep-interval",
                                               "2",
                                               "--state-interval",
                                               "2",
                                               "--no-update",
                                               "--dns1",
                                               kPortalDns1,
                                               "--dns2",
                                               kPortalDns2};
        m_sim = std::make_unique<orvane_test::NsProcess>();
        if (!m_sim->Start(m_ns->name(), m_run, argv, RunFile("sim.out"), false) ||
            !orvane_test::waitFor([&] { return !orvane_test::readFile(RunFile("port")).empty(); },
                                  10s, 20ms)) {
            why = "portal-sim did not start: " + m_sim->Output();
            return false;
        }
        m_port = std::atoi(orvane_test::readFile(RunFile("port")).c_str());
        // For ./dev.sh, which removes what a run killed outright left.
        orvane_test::writeFile(RunFile("netns"), m_ns->name());
        orvane_test::writeFile(RunFile("sim.pid"), std::to_string(m_sim->pid()));
        std::cout << "[ system ] namespace " << m_ns->name() << ", portal-sim on port " << m_port
                  << ", run folder " << m_run << std::endl;
        return true;
    }

    // The store the service starts from, with the probe URL at the simulator: the shipped seed
    // in the installation for a service that keeps its store there, and the state folder's copy
    // for one that seeds its own from it at the first start.
    std::string PointedStore(std::string& why) const {
        std::string text = orvane_test::readFile(RunFile("pkg/usr/lib/orvane/conf/conf.xml"));
        const std::string url = "http://127.0.0.1:" + std::to_string(m_port) + "/forward.cgi";
        for (const std::string tag : {"redirect", "redirectipv6"}) {
            const std::string empty = "<" + tag + "></" + tag + ">";
            const size_t at = text.find(empty);
            if (at == std::string::npos) {
                why = "the shipped store has no empty " + empty;
                return "";
            }
            text.replace(at, empty.size(), "<" + tag + ">" + url + "</" + tag + ">");
        }
        return text;
    }

    bool BootMachine(std::string& why) {
        const std::string store = PointedStore(why);
        if (store.empty())
            return false;
        std::error_code ec;
        std::filesystem::create_directories(Root() + "/var/lib/orvane/conf", ec);
        std::filesystem::permissions(Root() + "/var/lib/orvane", std::filesystem::perms::owner_all,
                                     ec);
        std::filesystem::create_directories(Root() + "/var/tmp/orvtest", ec);
        for (const std::string& deb : m_debs)
            std::filesystem::copy_file(
                deb, Root() + "/var/tmp/orvtest/" + std::filesystem::path(deb).filename().string(),
                ec);
        if (ec || !orvane_test::writeFile(Root() + "/var/lib/orvane/conf/conf.xml", store) ||
            !orvane_test::writeFile(RunFile("store.xml"), store)) {
            why = "cannot prepare " + Root();
            return false;
        }
        PhaseTimer phase("boot");
        m_machine = std::make_unique<BootedContainer>(Root(), m_ns->name(), m_run);
        return m_machine->Boot(why);
    }

    bool Install(std::string& why) {
        m_linkBefore = ResolverLink();
        m_dnsBefore = LinkDns();
        PhaseTimer phase("apt install of the packages");
        std::string line = "cd /var/tmp/orvtest && apt-get install -y";
        for (const std::string& deb : m_debs)
            line += " ./" + std::filesystem::path(deb).filename().string();
        const CommandResult r = m_machine->Sh(line, 5min);
        if (!r.ok()) {
            why = "installing the packages failed:\n" + r.Text();
            return false;
        }
        return SeedInstallation(why);
    }

    // The seed is the package's file; it is pointed at the simulator before the headless
    // service's first start. The window's service, started by the installation, is stopped
    // meanwhile: a service that keeps its store in the installation writes it back at its stop.
    bool SeedInstallation(std::string& why) {
        const std::string seed = "/usr/lib/orvane/conf/conf.xml";
        const bool windowService =
            m_machine->In({"systemctl", "is-active", "--quiet", "orvane-window"}, 30s).ok();
        if (windowService)
            m_machine->In({"systemctl", "stop", "orvane-window"}, 120s);
        if (!orvane_test::writeFile(m_machine->HostPath(seed),
                                    orvane_test::readFile(RunFile("store.xml")))) {
            why = "cannot point " + seed + " at the simulator";
            return false;
        }
        if (windowService && !m_machine->In({"systemctl", "start", "orvane-window"}, 120s).ok()) {
            why = "orvane-window did not start again";
            return false;
        }
        return true;
    }

    std::vector<std::string> m_debs;
    std::string m_cache;
    std::string m_run;
    std::atomic<bool> m_abandoned{false};
    std::unique_ptr<orvane_test::NetNamespace> m_ns;
    std::unique_ptr<orvane_test::NsProcess> m_sim;
    std::unique_ptr<BootedContainer> m_machine;
    int m_port = 0;
    std::string m_linkBefore;
    std::string m_dnsBefore;
    size_t m_parsed = 0;
    std::vector<std::unique_ptr<cJSON, void (*)(cJSON*)>> m_records;
};

}  // namespace orvane_system
