// An https listener on loopback for tests, with certificates made at test time by the openssl
// command line: a certificate authority, a server certificate it issued for 127.0.0.1, and one
// it issued for another name only. Nothing of it is trusted by the system, so a client that
// checks certificates against the system's trust store refuses both.
//
// The test's translation unit must be built with CPPHTTPLIB_OPENSSL_SUPPORT (see
// tests/CMakeLists.txt): cpp-httplib's classes differ with it.
#pragma once

#ifndef CPPHTTPLIB_OPENSSL_SUPPORT
#error "a test using TlsTestServer.h is built with CPPHTTPLIB_OPENSSL_SUPPORT"
#endif

#include <fcntl.h>
#include <httplib.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "TestSupport.h"

extern char** environ;

namespace orvane_test {

// Runs program with args (no shell), its output thrown away; true when it ends with status 0.
inline bool runQuietly(const std::vector<std::string>& args) {
    std::vector<char*> argv;
    for (const std::string& arg : args)
        argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    const int rc = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    int status = 0;
    return rc == 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) &&
           WEXITSTATUS(status) == 0;
}

struct TestCertificates {
    std::string caFile;               // the authority's certificate (PEM)
    std::string hostCert, hostKey;    // issued for IP 127.0.0.1
    std::string otherCert, otherKey;  // issued for DNS other.example only
    bool made = false;

    explicit TestCertificates(const TempDir& dir)
        : caFile(dir.file("ca.pem")),
          hostCert(dir.file("host.pem")),
          hostKey(dir.file("host.key")),
          otherCert(dir.file("other.pem")),
          otherKey(dir.file("other.key")) {
        const std::string caKey = dir.file("ca.key");
        const std::vector<std::string> ec = {
            "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes", "-days", "2"};
        auto req = [&](std::vector<std::string> tail) {
            std::vector<std::string> args = {"openssl", "req", "-x509"};
            args.insert(args.end(), ec.begin(), ec.end());
            args.insert(args.end(), tail.begin(), tail.end());
            return runQuietly(args);
        };
        made = req({"-keyout", caKey, "-out", caFile, "-subj", "/CN=Orvane test authority",
                    "-addext", "basicConstraints=critical,CA:TRUE"}) &&
               req({"-CA", caFile, "-CAkey", caKey, "-keyout", hostKey, "-out", hostCert, "-subj",
                    "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1"}) &&
               req({"-CA", caFile, "-CAkey", caKey, "-keyout", otherKey, "-out", otherCert, "-subj",
                    "/CN=other.example", "-addext", "subjectAltName=DNS:other.example"});
    }
};

// An https server on a free loopback port, running on its own thread until destroyed. Routes
// are added to Server() before Start().
class TlsTestServer {
public:
    TlsTestServer(const std::string& cert, const std::string& key)
        : m_server(std::make_unique<httplib::SSLServer>(cert.c_str(), key.c_str())) {}
    ~TlsTestServer() {
        if (m_thread.joinable()) {
            waitFor([this] { return m_server->is_running(); }, std::chrono::seconds(5));
            m_server->stop();
            m_thread.join();
        }
    }
    TlsTestServer(const TlsTestServer&) = delete;
    TlsTestServer& operator=(const TlsTestServer&) = delete;

    httplib::SSLServer& Server() { return *m_server; }
    // False when the certificate did not load or no port could be bound.
    bool Start() {
        if (!m_server->is_valid())
            return false;
        m_port = m_server->bind_to_any_port("127.0.0.1");
        if (m_port <= 0)
            return false;
        m_thread = std::thread([this] { m_server->listen_after_bind(); });
        return waitFor([this] { return m_server->is_running(); }, std::chrono::seconds(5));
    }
    std::string Url(const std::string& path) const {
        return "https://127.0.0.1:" + std::to_string(m_port) + path;
    }

private:
    std::unique_ptr<httplib::SSLServer> m_server;
    std::thread m_thread;
    int m_port = 0;
};

}  // namespace orvane_test
