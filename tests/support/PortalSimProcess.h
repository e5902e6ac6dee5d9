// A portal-sim process for tests, with a small HTTP helper to talk to it directly.
//
// The simulator runs in the test's private folder with the built algorithm containers, writes its
// port and its request log there, and is stopped at the end of the test whatever happened. Needs
// the compile definitions ORVANE_PORTAL_SIM, ORVANE_ZXM_CONTAINER and ORVANE_ZXM_SECOND.
#pragma once

#include <cjson/cJSON.h>
#include <curl/curl.h>
#include <gtest/gtest.h>
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

using namespace std::chrono_literals;

struct HttpResult {
    CURLcode rc = CURLE_OK;
    long status = 0;
    std::string head;
    std::string body;
    std::string Header(const std::string& name) const {
        size_t at = head.find("\r\n" + name + ": ");
        if (at == std::string::npos)
            return "";
        at += name.size() + 4;
        return head.substr(at, head.find("\r\n", at) - at);
    }
};

inline size_t Collect(char* data, size_t size, size_t n, void* out) {
    static_cast<std::string*>(out)->append(data, size * n);
    return size * n;
}

// One request; a body makes it a POST. Redirects are never followed.
inline HttpResult Http(const std::string& url, const std::string* body = nullptr,
                       const std::vector<std::string>& headers = {}, long timeoutMs = 5000) {
    HttpResult r;
    CURL* curl = curl_easy_init();
    curl_slist* list = nullptr;
    for (const std::string& h : headers)
        list = curl_slist_append(list, h.c_str());
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, list);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, timeoutMs);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, Collect);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &r.body);
    curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, Collect);
    curl_easy_setopt(curl, CURLOPT_HEADERDATA, &r.head);
    if (body) {
        curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body->c_str());
        curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE, static_cast<long>(body->size()));
    }
    r.rc = curl_easy_perform(curl);
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &r.status);
    curl_slist_free_all(list);
    curl_easy_cleanup(curl);
    return r;
}

// A running simulator in a private folder; killed at the end of the test whatever happened.
class SimProcess {
public:
    SimProcess(const TempDir& dir, std::vector<std::string> extra) : m_dir(dir) {
        std::vector<std::string> args = {ORVANE_PORTAL_SIM,
                                         "--container",
                                         ORVANE_ZXM_CONTAINER,
                                         "--renew-container",
                                         ORVANE_ZXM_SECOND,
                                         "--port-file",
                                         dir.file("port"),
                                         "--request-log",
                                         dir.file("requests.jsonl"),
                                         "--account",
                                         "alice:s3cret<&>",
                                         "--keep-interval",
                                         "1",
                                         "--keep-retry",
                                         "3"};
        args.insert(args.end(), extra.begin(), extra.end());
        std::vector<char*> argv;
        for (std::string& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        if (posix_spawn(&m_pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0)
            m_pid = -1;
        waitFor([&] { return !orvane_test::readFile(dir.file("port")).empty() || Exited(); }, 10s);
        m_port = std::atoi(orvane_test::readFile(dir.file("port")).c_str());
    }
    ~SimProcess() {
        for (cJSON* j : m_parsed)
            cJSON_Delete(j);
        if (m_pid <= 0 || m_status >= 0)
            return;
        kill(m_pid, SIGTERM);
        if (!waitFor([&] { return Exited(); }, 5s)) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, nullptr, 0);
            ADD_FAILURE() << "simulator ignored SIGTERM";
            return;
        }
        // A clean stop exits 0; sanitizer findings in the simulator change the exit status.
        EXPECT_TRUE(WIFEXITED(m_status) && WEXITSTATUS(m_status) == 0) << "status " << m_status;
    }
    SimProcess(const SimProcess&) = delete;
    SimProcess& operator=(const SimProcess&) = delete;

    bool Exited() {
        int st = 0;
        if (m_status < 0 && m_pid > 0 && waitpid(m_pid, &st, WNOHANG) == m_pid)
            m_status = st;
        return m_status >= 0;
    }
    int Status() const { return m_status; }
    pid_t Pid() const { return m_pid; }
    int Port() const { return m_port; }
    std::string Url(const std::string& path) const {
        return "http://127.0.0.1:" + std::to_string(m_port) + path;
    }
    // The request log, one parsed object a line.
    std::vector<cJSON*> Log() {
        for (cJSON* j : m_parsed)
            cJSON_Delete(j);
        m_parsed.clear();
        std::string text = orvane_test::readFile(m_dir.file("requests.jsonl"));
        for (size_t at = 0, nl; (nl = text.find('\n', at)) != std::string::npos; at = nl + 1)
            m_parsed.push_back(cJSON_Parse(text.substr(at, nl - at).c_str()));
        return m_parsed;
    }
    std::vector<std::string> Kinds() {
        std::vector<std::string> kinds;
        for (cJSON* rec : Log())
            kinds.push_back(Str(rec, "kind"));
        return kinds;
    }
    static std::string Str(const cJSON* obj, const char* path1, const char* path2 = nullptr) {
        const cJSON* item = cJSON_GetObjectItemCaseSensitive(obj, path1);
        if (path2)
            item = cJSON_GetObjectItemCaseSensitive(item, path2);
        return cJSON_IsString(item) ? item->valuestring : "";
    }

private:
    std::vector<cJSON*> m_parsed;
    const TempDir& m_dir;
    pid_t m_pid = -1;
    int m_status = -1;
    int m_port = 0;
};

}  // namespace orvane_test
