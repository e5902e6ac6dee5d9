// Network namespaces and helper processes for tests that look at the machine's network: each
// test gets namespaces of its own, so the host's settings are never read for a verdict or
// changed. Everything made here is removed when its object dies, also when a test fails.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>

namespace orvane_test {

// Runs a command the test made up itself; true on exit status 0. Output is discarded.
inline bool runQuiet(const std::string& command) {
    return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

// A namespace "orvtest-<pid>-<n>" with loopback up and, on request, a veth pair whose veth0
// carries 192.0.2.10/24 and the default route via 192.0.2.1. Deleted by the destructor.
class NetNamespace {
public:
    explicit NetNamespace(bool withDefaultRoute) {
        static std::atomic<int> counter{0};
        name_ = "orvtest-" + std::to_string(getpid()) + "-" + std::to_string(counter++);
        if (geteuid() != 0) {
            error_ = "network namespaces need root (CAP_SYS_ADMIN); not running as root";
            return;
        }
        if (!runQuiet("ip netns add " + name_)) {
            error_ = "cannot make network namespaces here (ip netns add " + name_ + " failed)";
            return;
        }
        made_ = true;
        if (!exec("ip link set lo up")) {
            error_ = "cannot bring up loopback in " + name_;
            return;
        }
        if (withDefaultRoute && !AddVeth()) {
            error_ = "cannot make a veth pair with a default route in " + name_;
            return;
        }
        ok_ = true;
    }
    ~NetNamespace() {
        if (made_)
            runQuiet("ip netns del " + name_);
    }
    NetNamespace(const NetNamespace&) = delete;
    NetNamespace& operator=(const NetNamespace&) = delete;

    bool ok() const { return ok_; }
    const std::string& error() const { return error_; }
    const std::string& name() const { return name_; }

    // Runs command (the test's own text) inside the namespace; true on exit status 0.
    bool exec(const std::string& command) const {
        return runQuiet("ip netns exec " + name_ + " " + command);
    }

    // Moves the calling process into the namespace; for forked children only.
    bool enter() const {
        int fd = open(("/var/run/netns/" + name_).c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            return false;
        bool entered = setns(fd, CLONE_NEWNET) == 0;
        close(fd);
        return entered;
    }

    // Runs fn in a forked child inside the namespace and returns what fn returned; nothing when
    // the child could not enter, crashed or took longer than timeout (it is then killed).
    std::optional<std::string> runInside(
        const std::function<std::string()>& fn,
        std::chrono::milliseconds timeout = std::chrono::seconds(20)) const {
        int fds[2];
        if (pipe(fds) != 0)
            return std::nullopt;
        pid_t child = fork();
        if (child < 0) {
            close(fds[0]);
            close(fds[1]);
            return std::nullopt;
        }
        if (child == 0) {
            close(fds[0]);
            if (!enter())
                _exit(2);
            const std::string result = fn();
            size_t done = 0;
            while (done < result.size()) {
                ssize_t n = write(fds[1], result.data() + done, result.size() - done);
                if (n <= 0)
                    _exit(3);
                done += static_cast<size_t>(n);
            }
            _exit(0);
        }
        close(fds[1]);
        std::string out;
        bool complete = ReadUntilEof(fds[0], out, timeout);
        close(fds[0]);
        if (!complete)
            kill(child, SIGKILL);
        int status = 0;
        waitpid(child, &status, 0);
        if (!complete || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
            return std::nullopt;
        return out;
    }

private:
    bool AddVeth() const {
        return runQuiet("ip -n " + name_ + " link add veth0 type veth peer name veth1") &&
               exec("ip addr add 192.0.2.10/24 dev veth0") && exec("ip link set veth0 up") &&
               exec("ip link set veth1 up") && exec("ip route add default via 192.0.2.1");
    }

    static bool ReadUntilEof(int fd, std::string& out, std::chrono::milliseconds timeout) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0)
                return false;
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, static_cast<int>(left.count())) <= 0)
                continue;
            char buffer[4096];
            ssize_t n = read(fd, buffer, sizeof buffer);
            if (n == 0)
                return true;
            if (n < 0)
                return false;
            out.append(buffer, static_cast<size_t>(n));
        }
    }

    std::string name_;
    std::string error_;
    bool made_ = false;
    bool ok_ = false;
};

// Runs the calling thread in another network namespace for the life of the object, so that a
// socket it opens (a request to the simulator on the namespace's loopback) belongs there.
class NetnsScope {
public:
    explicit NetnsScope(const std::string& ns) {
        m_home = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
        const int target = open(("/var/run/netns/" + ns).c_str(), O_RDONLY | O_CLOEXEC);
        m_entered = m_home >= 0 && target >= 0 && setns(target, CLONE_NEWNET) == 0;
        if (target >= 0)
            close(target);
    }
    ~NetnsScope() {
        if (m_entered && setns(m_home, CLONE_NEWNET) != 0)
            std::abort();  // the test thread would go on in the wrong namespace
        if (m_home >= 0)
            close(m_home);
    }
    NetnsScope(const NetnsScope&) = delete;
    NetnsScope& operator=(const NetnsScope&) = delete;
    bool entered() const { return m_entered; }

private:
    int m_home = -1;
    bool m_entered = false;
};

// A copy of /bin/sleep started under another command name from a folder of the test's; killed
// and reaped by the destructor.
class NamedSleeper {
public:
    NamedSleeper(const std::string& folder, const std::string& name) {
        const std::string path = folder + "/" + name;
        std::error_code ec;
        std::filesystem::copy_file("/bin/sleep", path, ec);
        if (ec)
            return;
        pid_ = fork();
        if (pid_ == 0) {
            execl(path.c_str(), name.c_str(), "60", static_cast<char*>(nullptr));
            _exit(127);
        }
    }
    ~NamedSleeper() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    NamedSleeper(const NamedSleeper&) = delete;
    NamedSleeper& operator=(const NamedSleeper&) = delete;

    pid_t pid() const { return pid_; }
    // True once the process runs the copied program under its name (its first 15 bytes).
    bool running(const std::string& name) const {
        if (pid_ <= 0)
            return false;
        std::string comm;
        FILE* f = std::fopen(("/proc/" + std::to_string(pid_) + "/comm").c_str(), "r");
        if (!f)
            return false;
        char buffer[64] = {};
        if (std::fgets(buffer, sizeof buffer, f))
            comm = buffer;
        std::fclose(f);
        return comm == name.substr(0, 15) + "\n";  // the kernel keeps 15 bytes
    }

private:
    pid_t pid_ = -1;
};

}  // namespace orvane_test
