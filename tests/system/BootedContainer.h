// A Debian root booted with its own systemd by systemd-nspawn, joined to a network namespace of
// the test's, and driven from outside: every command enters all namespaces of the container's
// PID 1 with nsenter. A reboot inside ends nspawn with status 133, after which it is started
// again, as nspawn's own service unit does.
//
// The destructor powers the container off (bounded) and otherwise kills nspawn, which takes the
// container with it; the root folder is the caller's.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "SystemCommand.h"
#include "TestSupport.h"

namespace orvane_system {

using namespace std::chrono_literals;

class BootedContainer {
public:
    // nspawn's output goes to folder/nspawn.log and its process id to folder/nspawn.pid.
    BootedContainer(std::string root, std::string netns, const std::string& folder)
        : m_root(std::move(root)),
          m_netns(std::move(netns)),
          m_log(folder + "/nspawn.log"),
          m_pidFile(folder + "/nspawn.pid") {}
    ~BootedContainer() { PowerOff(); }
    BootedContainer(const BootedContainer&) = delete;
    BootedContainer& operator=(const BootedContainer&) = delete;

    // Starts nspawn and waits until the container's systemd has finished booting; false with
    // why (and nspawn's output) otherwise.
    bool Boot(std::string& why) {
        const std::string netns = "--network-namespace-path=/run/netns/" + m_netns;
        m_nspawn = fork();
        if (m_nspawn == 0) {
            setsid();
            const int log = open(m_log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
            const int in = open("/dev/null", O_RDONLY);
            dup2(in, 0);
            dup2(log, 1);
            dup2(log, 2);
            // nspawn clears its folder under /run/systemd/nspawn between a reboot inside and
            // the next start, and refuses to where /run is no tmpfs; a tmpfs of its own, in a
            // mount namespace of its own, leaves the host's /run as it is.
            execlp("unshare", "unshare", "--mount", "--propagation", "private", "/bin/sh", "-c",
                   "mkdir -p /run/systemd/nspawn && mount -t tmpfs tmpfs /run/systemd/nspawn && "
                   "exec systemd-nspawn \"$@\"",
                   "sh", "--quiet", "--boot", "--register=no", "--keep-unit", "--console=passive",
                   "--resolv-conf=off", "--timezone=off", "--link-journal=no", "-D", m_root.c_str(),
                   netns.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        orvane_test::writeFile(m_pidFile, std::to_string(m_nspawn));
        return m_nspawn > 0 && WaitBooted(why);
    }

    // Reboots from inside and waits for the machine to finish booting again.
    bool Reboot(std::string& why) {
        In({"systemctl", "reboot"}, 30s);
        if (!orvane_test::waitFor([&] { return !running(); }, 90s, 100ms)) {
            why = "the machine did not go down for the reboot:\n" + Log();
            return false;
        }
        if (m_exit != kRebooted) {
            why = "nspawn ended with status " + std::to_string(m_exit) + " instead of a reboot";
            return false;
        }
        return Boot(why);
    }

    // Runs argv inside the container as root, with a plain environment.
    CommandResult In(const std::vector<std::string>& argv,
                     std::chrono::milliseconds timeout) const {
        std::vector<std::string> line = {"nsenter",
                                         "-t",
                                         std::to_string(m_pid1),
                                         "-a",
                                         "env",
                                         "-i",
                                         "PATH=/usr/sbin:/usr/bin:/sbin:/bin",
                                         "LANG=C.UTF-8",
                                         "DEBIAN_FRONTEND=noninteractive"};
        line.insert(line.end(), argv.begin(), argv.end());
        if (m_pid1 <= 0)
            return CommandResult{};
        return runCommand(line, timeout);
    }
    // A shell line inside the container.
    CommandResult Sh(const std::string& line, std::chrono::milliseconds timeout = 60s) const {
        return In({"/bin/sh", "-c", line}, timeout);
    }
    // Standard output of a command inside, trimmed of its last newline.
    std::string Out(const std::vector<std::string>& argv) const {
        std::string out = In(argv, 30s).out;
        while (!out.empty() && (out.back() == '\n' || out.back() == ' '))
            out.pop_back();
        return out;
    }

    pid_t pid1() const { return m_pid1; }
    // False once nspawn has ended (and been reaped; its status is then in m_exit).
    bool running() {
        int status = 0;
        if (m_nspawn <= 0 || waitpid(m_nspawn, &status, WNOHANG) == 0)
            return m_nspawn > 0;
        m_exit = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        m_nspawn = -1;
        m_pid1 = -1;
        return false;
    }
    std::string Log() const { return orvane_test::readFile(m_log); }
    // A path inside the root as the host sees it.
    std::string HostPath(const std::string& inside) const { return m_root + inside; }

    // Powers off from inside and waits for nspawn to end; kills it when it does not in time.
    void PowerOff() {
        if (m_nspawn <= 0)
            return;
        if (running()) {
            In({"systemctl", "poweroff", "--no-block"}, 20s);
            orvane_test::waitFor([&] { return !running(); }, 30s, 50ms);
        }
        if (running()) {
            kill(m_nspawn, SIGKILL);
            waitpid(m_nspawn, nullptr, 0);
        }
        m_nspawn = -1;
        m_pid1 = -1;
    }

private:
    // nspawn's status when the container rebooted.
    static constexpr int kRebooted = 133;

    // PID 1 of the container: the child of nspawn that is PID 1 of its own process namespace
    // (nspawn's short-lived outer child is not, and a command entering that one would reach the
    // host's systemd).
    pid_t FindPid1() const {
        std::ifstream children("/proc/" + std::to_string(m_nspawn) + "/task/" +
                               std::to_string(m_nspawn) + "/children");
        for (pid_t pid; children >> pid;) {
            if (InnermostPid(pid) == "1")
                return pid;
        }
        return -1;
    }
    static std::string InnermostPid(pid_t pid) {
        std::istringstream status(
            orvane_test::readFile("/proc/" + std::to_string(pid) + "/status"));
        for (std::string line; std::getline(status, line);) {
            if (line.rfind("NSpid:", 0) == 0)
                return line.substr(line.find_last_of(" \t") + 1);
        }
        return "";
    }

    bool WaitBooted(std::string& why) {
        m_pid1 = -1;
        const bool found = orvane_test::waitFor(
            [&] {
                // Entered, and its manager answers (any state, "starting" too): only then can
                // systemctl wait for the boot's end.
                m_pid1 = running() ? FindPid1() : -1;
                return m_pid1 > 0 && !In({"systemctl", "is-system-running"}, 10s).out.empty();
            },
            90s, 200ms);
        if (!found) {
            why = "the container did not start:\n" + Log();
            return false;
        }
        orvane_test::writeFile(m_pid1File, std::to_string(m_pid1));
        const CommandResult state = In({"systemctl", "is-system-running", "--wait"}, 120s);
        const std::string s = state.out.substr(0, state.out.find('\n'));
        if (s == "running" || s == "degraded")
            return true;
        why = "the container's systemd did not finish booting (" + s + "):\n" +
              In({"systemctl", "--failed", "--no-pager"}, 20s).Text() + Log();
        return false;
    }

    std::string m_root;
    std::string m_netns;
    std::string m_log;
    std::string m_pidFile;
    std::string m_pid1File;
    pid_t m_nspawn = -1;
    pid_t m_pid1 = -1;
    int m_exit = -1;
};

}  // namespace orvane_system
