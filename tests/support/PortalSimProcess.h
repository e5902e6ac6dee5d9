// A portal-sim process for tests that hold a conversation with it: started in a private folder
// on a free loopback port, with the request log as the oracle for what it received, and stopped
// (SIGTERM, then SIGKILL) when the object dies, whatever the test did.
#pragma once

#include <cjson/cJSON.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include "TestSupport.h"

extern char** environ;

namespace orvane_test {

// One request as the simulator logged it.
struct SimRecord {
    std::string kind;    // ticket auth keep state term query ...
    std::string fields;  // the decoded request document's fields as compact JSON
    std::string Field(const std::string& name) const {
        std::string key = "\"" + name + "\":\"";
        size_t at = fields.find(key);
        if (at == std::string::npos)
            return "";
        at += key.size();
        return fields.substr(at, fields.find('"', at) - at);
    }
};

class PortalSimProcess {
public:
    // args: the simulator's options besides the port file and the request log.
    PortalSimProcess(const std::string& binary, const std::string& folder,
                     std::vector<std::string> args)
        : m_folder(folder) {
        std::vector<std::string> all = {binary, "--port-file", folder + "/port", "--request-log",
                                        folder + "/requests.jsonl"};
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (std::string& a : all)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        if (posix_spawn(&m_pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0)
            m_pid = -1;
        using namespace std::chrono_literals;
        waitFor([&] { return !readFile(folder + "/port").empty() || Exited(); }, 10s);
        m_port = std::atoi(readFile(folder + "/port").c_str());
    }
    ~PortalSimProcess() { Stop(); }
    PortalSimProcess(const PortalSimProcess&) = delete;
    PortalSimProcess& operator=(const PortalSimProcess&) = delete;

    // Stops the simulator; true when it ended by SIGTERM with status 0 (a sanitizer finding in
    // the simulator changes the status).
    bool Stop() {
        using namespace std::chrono_literals;
        if (m_pid <= 0)
            return false;
        if (m_status < 0) {
            kill(m_pid, SIGTERM);
            if (!waitFor([&] { return Exited(); }, 5s)) {
                kill(m_pid, SIGKILL);
                waitpid(m_pid, &m_status, 0);
                return false;
            }
        }
        return WIFEXITED(m_status) && WEXITSTATUS(m_status) == 0;
    }
    bool Exited() {
        int st = 0;
        if (m_status < 0 && m_pid > 0 && waitpid(m_pid, &st, WNOHANG) == m_pid)
            m_status = st;
        return m_status >= 0;
    }
    int Port() const { return m_port; }
    std::string HostPort() const { return "127.0.0.1:" + std::to_string(m_port); }
    std::string Url(const std::string& path) const { return "http://" + HostPort() + path; }

    // Every request logged so far, in order.
    std::vector<SimRecord> Log() const {
        std::vector<SimRecord> out;
        std::string text = readFile(m_folder + "/requests.jsonl");
        for (size_t at = 0, nl; (nl = text.find('\n', at)) != std::string::npos; at = nl + 1) {
            cJSON* rec = cJSON_Parse(text.substr(at, nl - at).c_str());
            SimRecord r;
            const cJSON* kind = cJSON_GetObjectItemCaseSensitive(rec, "kind");
            r.kind = cJSON_IsString(kind) ? kind->valuestring : "";
            char* fields = cJSON_PrintUnformatted(cJSON_GetObjectItemCaseSensitive(rec, "fields"));
            r.fields = fields ? fields : "";
            cJSON_free(fields);
            cJSON_Delete(rec);
            out.push_back(r);
        }
        return out;
    }
    std::vector<std::string> Kinds() const {
        std::vector<std::string> kinds;
        for (const SimRecord& r : Log())
            kinds.push_back(r.kind);
        return kinds;
    }

private:
    std::string m_folder;
    pid_t m_pid = -1;
    int m_status = -1;
    int m_port = 0;
};

}  // namespace orvane_test
