// Helpers for driving the real OrvaneSvr: a fresh installation folder, the service process, and
// a client end of the two FIFOs made with plain system calls (independent of the transport code).
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "TestSupport.h"

namespace orvane_test {

// Copies the build tree's installation folder (programs and conf/) into dir, writable by its
// owner only, as the service demands.
inline bool makeInstallation(const std::string& tree, const std::string& dir) {
    namespace fs = std::filesystem;
    std::error_code ec;
    fs::copy(tree, dir, fs::copy_options::recursive | fs::copy_options::overwrite_existing, ec);
    removeGroupOtherWrite(dir);
    return !ec && fs::exists(dir + "/OrvaneSvr") && fs::exists(dir + "/conf/conf.xml");
}

// One run of a program of the installation, with the folder as its working directory and its
// standard output in dir/<name>.out. Killed (SIGKILL) if still running when the object dies.
class ServiceProcess {
public:
    ServiceProcess() = default;
    ~ServiceProcess() {
        if (m_pid > 0 && !m_reaped) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, nullptr, 0);
        }
    }
    ServiceProcess(const ServiceProcess&) = delete;
    ServiceProcess& operator=(const ServiceProcess&) = delete;

    bool Start(const std::string& dir, const std::string& outName = "service",
               const std::vector<std::string>& args = {}) {
        return StartProgram(dir, "./OrvaneSvr", outName, args);
    }
    // The same for another program of the installation ("./client", "./AutoUpdate").
    bool StartProgram(const std::string& dir, const std::string& program,
                      const std::string& outName, const std::vector<std::string>& args = {}) {
        m_outPath = dir + "/" + outName + ".out";
        std::vector<std::string> argvText = {program};
        argvText.insert(argvText.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (auto& a : argvText)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        m_pid = fork();
        if (m_pid == 0) {
            // Only async-signal-safe calls between fork and exec.
            if (chdir(dir.c_str()) != 0)
                _exit(120);
            const int out = open(m_outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (out >= 0) {
                dup2(out, 1);
                dup2(out, 2);
            }
            execv(argv[0], argv.data());
            _exit(121);
        }
        return m_pid > 0;
    }

    pid_t pid() const { return m_pid; }
    const std::string& outPath() const { return m_outPath; }

    // Waits up to timeout for the process to end; its exit status, or -1 (still running or
    // killed by a signal; see signalled()).
    int Wait(std::chrono::milliseconds timeout) {
        waitFor([this] { return Reap(); }, timeout, std::chrono::milliseconds(10));
        if (!m_reaped || !WIFEXITED(m_status))
            return -1;
        return WEXITSTATUS(m_status);
    }
    bool running() { return !Reap(); }

private:
    bool Reap() {
        if (m_reaped)
            return true;
        if (waitpid(m_pid, &m_status, WNOHANG) == m_pid)
            m_reaped = true;
        return m_reaped;
    }

    pid_t m_pid = -1;
    bool m_reaped = false;
    int m_status = 0;
    std::string m_outPath;
};

// The desktop client's end of the pipes: reads "serverpipe", creates and writes "clientpipe".
class PipeClient {
public:
    ~PipeClient() {
        Close();
        if (!m_dir.empty())
            unlink((m_dir + "/clientpipe").c_str());
    }

    // Opens both FIFOs in the order the client uses; false when the service does not come.
    bool Connect(const std::string& dir, std::chrono::milliseconds timeout) {
        m_dir = dir;
        const std::string server = dir + "/serverpipe";
        const std::string client = dir + "/clientpipe";
        if (!waitFor([&] { return access(server.c_str(), F_OK) == 0; }, timeout))
            return false;
        m_readFd = open(server.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        if (m_readFd < 0)
            return false;
        if (mkfifo(client.c_str(), 0600) != 0 && errno != EEXIST)
            return false;
        return OpenWriter(timeout);
    }

    // (Re)opens the write end; succeeds once the service has the FIFO open for reading.
    bool OpenWriter(std::chrono::milliseconds timeout) {
        const std::string client = m_dir + "/clientpipe";
        waitFor(
            [&] {
                m_writeFd = open(client.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
                return m_writeFd >= 0;
            },
            timeout, std::chrono::milliseconds(20));
        if (m_writeFd < 0)
            return false;
        fcntl(m_writeFd, F_SETFL, 0);  // blocking from now on: each message is one whole write
        return true;
    }
    void CloseWriter() {
        if (m_writeFd >= 0)
            close(m_writeFd);
        m_writeFd = -1;
    }
    void Close() {
        CloseWriter();
        if (m_readFd >= 0)
            close(m_readFd);
        m_readFd = -1;
    }

    bool Send(const std::string& message) {
        const std::string framed = message + std::string(1, '\0');
        return m_writeFd >= 0 && write(m_writeFd, framed.data(), framed.size()) ==
                                     static_cast<ssize_t>(framed.size());
    }

    // The next message from the service, or false when none arrives in time.
    bool Receive(std::string& message, std::chrono::milliseconds timeout) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            const size_t zero = m_buffer.find('\0');
            if (zero != std::string::npos) {
                message = m_buffer.substr(0, zero);
                m_buffer.erase(0, zero + 1);
                return true;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0)
                return false;
            pollfd fd = {m_readFd, POLLIN, 0};
            if (poll(&fd, 1, static_cast<int>(left.count())) <= 0)
                continue;
            char chunk[4096];
            const ssize_t n = read(m_readFd, chunk, sizeof chunk);
            if (n > 0)
                m_buffer.append(chunk, static_cast<size_t>(n));
            // 0: no writer; the service has gone or not yet opened its end.
            if (n == 0)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }

private:
    std::string m_dir;
    int m_readFd = -1;
    int m_writeFd = -1;
    std::string m_buffer;
};

// CPU time (user + system, in clock ticks) a process has used so far; -1 when unreadable.
inline long processTicks(pid_t pid) {
    const std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
    const size_t close = stat.rfind(')');  // the command name may hold blanks
    if (close == std::string::npos)
        return -1;
    std::istringstream fields(stat.substr(close + 2));
    std::string field;
    long utime = -1, stime = -1;
    // Fields after the name start at 3 (state); utime is 14, stime 15.
    for (int index = 3; index <= 15 && (fields >> field); ++index) {
        if (index == 14)
            utime = std::stol(field);
        if (index == 15)
            stime = std::stol(field);
    }
    return (utime < 0 || stime < 0) ? -1 : utime + stime;
}

}  // namespace orvane_test
