// The resolver's owners as the tests play them, never the machine's own: a private dbus-daemon
// (its socket in a test folder) with fake-resolved on it, and a folder holding fake-resolvconf
// as "resolvconf". Everything is stopped and removed by the destructors. Needs the compile
// definitions ORVANE_FAKE_RESOLVED and ORVANE_FAKE_RESOLVCONF.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "TestSupport.h"

namespace orvane_test {

// A program run with an argument vector, its output in a file; killed and reaped at the end.
class TestChild {
public:
    TestChild(std::vector<std::string> argv, const std::string& outPath) {
        std::vector<char*> args;
        for (std::string& a : argv)
            args.push_back(a.data());
        args.push_back(nullptr);
        m_pid = fork();
        if (m_pid == 0) {
            const int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
            if (out >= 0) {
                dup2(out, 1);
                dup2(out, 2);
            }
            execv(args[0], args.data());
            _exit(121);
        }
    }
    ~TestChild() {
        if (m_pid > 0) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, nullptr, 0);
        }
    }
    TestChild(const TestChild&) = delete;
    TestChild& operator=(const TestChild&) = delete;
    bool running() const { return m_pid > 0 && waitpid(m_pid, nullptr, WNOHANG) == 0; }

private:
    pid_t m_pid = -1;
};

// A bus of the test's own, and fake-resolved on it on request.
class PrivateBus {
public:
    PrivateBus() {
        std::ofstream(m_dir.file("bus.conf"))
            << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\" "
               "\"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
               "<busconfig><listen>unix:path="
            << m_dir.file("bus")
            << "</listen><auth>EXTERNAL</auth><policy context=\"default\">"
               "<allow send_destination=\"*\"/><allow receive_sender=\"*\"/><allow own=\"*\"/>"
               "</policy></busconfig>\n";
        m_daemon = std::make_unique<TestChild>(
            std::vector<std::string>{"/usr/bin/dbus-daemon",
                                     "--config-file=" + m_dir.file("bus.conf"), "--nofork",
                                     "--nopidfile", "--nosyslog"},
            m_dir.file("dbus.out"));
        struct stat st;
        waitFor([&] { return stat(m_dir.file("bus").c_str(), &st) == 0; },
                std::chrono::seconds(10));
    }
    ~PrivateBus() {
        m_resolved.reset();
        m_daemon.reset();
    }
    PrivateBus(const PrivateBus&) = delete;
    PrivateBus& operator=(const PrivateBus&) = delete;

    bool ok() const {
        struct stat st;
        return stat(m_dir.file("bus").c_str(), &st) == 0 && m_daemon->running();
    }
    std::string Address() const { return "unix:path=" + m_dir.file("bus"); }
    // Starts fake-resolved with extra arguments (--dns, --refuse, ...); true once it owns the
    // resolver's name.
    bool StartResolved(const std::vector<std::string>& extra = {}) {
        std::vector<std::string> argv = {
            ORVANE_FAKE_RESOLVED, "--address", Address(),          "--log",
            CallsPath(),          "--ready",   m_dir.file("ready")};
        argv.insert(argv.end(), extra.begin(), extra.end());
        m_resolved = std::make_unique<TestChild>(argv, m_dir.file("resolved.out"));
        return waitFor([&] { return !readFile(m_dir.file("ready")).empty(); },
                       std::chrono::seconds(10));
    }
    void StopResolved() { m_resolved.reset(); }
    // The calls fake-resolved answered, one a line.
    std::string Calls() const { return readFile(CallsPath()); }
    std::string CallsPath() const { return m_dir.file("calls"); }

private:
    TempDir m_dir;
    std::unique_ptr<TestChild> m_daemon;
    std::unique_ptr<TestChild> m_resolved;
};

// A folder with fake-resolvconf as "resolvconf" (root's, 0755, as the service demands) and the
// log of its runs.
class ResolvconfFolder {
public:
    ResolvconfFolder() {
        std::error_code ec;
        std::filesystem::copy_file(ORVANE_FAKE_RESOLVCONF, Program(), ec);
        chmod(Program().c_str(), 0755);
        chmod(m_dir.path().c_str(), 0755);
    }
    const std::string& Folder() const { return m_dir.path(); }
    std::string Program() const { return m_dir.file("resolvconf"); }
    std::string Log() const { return readFile(m_dir.file("resolvconf.log")); }
    // Later runs fail (status 1), or never end by themselves.
    void FailFromNow() const { writeFile(m_dir.file("resolvconf.fail"), ""); }
    void HangFromNow() const { writeFile(m_dir.file("resolvconf.hang"), ""); }

private:
    TempDir m_dir;
};

}  // namespace orvane_test
