// A portal host for tests: records every state message, client message and request the connection
// makes of its owning business, and answers the adapter and resolver questions with values the
// test sets. Safe to read from the test thread while another thread reports.
#pragma once

#include "IPortalHost.h"

#include <mutex>
#include <string>
#include <vector>

namespace orvane_test {

// One state message as the connection posted it.
struct PostedState {
    bool extended = false;
    int type = 0, oldState = 0, newState = 0, code = 0;
    std::string sub, subType, extra;
};

// One message for the client ("InfoCenter" and the like).
struct PostedMsg {
    std::string target, opcode, param;
};

class RecordingPortalHost : public IPortalHost {
public:
    // ---- What the test sets -----------------------------------------------------------------
    int ipResult = 1;  // GetIpAndMac's result; the three values are handed out only on 1
    std::string ip4 = "10.1.2.3", ip6, mac = "aa-bb-cc-dd-ee-ff";
    int dnsResult = 0;                                      // SetDNS's result
    std::string replacedDns1 = "192.0.2.53", replacedDns2;  // handed back by SetDNS
    bool portalEnv = true;

    // ---- IPortalHost --------------------------------------------------------------------------
    void PostNetStateMessage(INetConn::ETYPE type, INetConn::ESTATE o, INetConn::ESTATE n, int code,
                             CAutoString sub) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_states.push_back({false, type, o, n, code, sub.c_str(), "", ""});
    }
    void PostNetStateMessageEx(INetConn::ETYPE type, INetConn::ESTATE o, INetConn::ESTATE n,
                               int code, const char* subType, const char* extra) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_states.push_back(
            {true, type, o, n, code, "", subType ? subType : "", extra ? extra : ""});
    }
    int GetIpAndMac(CAutoString& outIp4, CAutoString& outIp6, CAutoString& outMac) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        ++m_ipCalls;
        if (ipResult == 1) {
            outIp4 = ip4.c_str();
            outIp6 = ip6.c_str();
            outMac = mac.c_str();
        }
        return ipResult;
    }
    int SetDNS(CAutoString& dns1, CAutoString& dns2) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_dnsCalls.push_back({dns1.c_str(), dns2.c_str()});
        if (dnsResult == 0) {
            dns1 = replacedDns1.c_str();
            dns2 = replacedDns2.c_str();
        }
        return dnsResult;
    }
    int RestoreDNS() override {
        std::lock_guard<std::mutex> lock(m_mutex);
        ++m_restores;
        return 0;
    }
    bool IsPortalEnv() override { return portalEnv; }
    void PostMsg(const char* target, const char* opcode, const char* param) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_msgs.push_back({target ? target : "", opcode ? opcode : "", param ? param : ""});
    }
    void ChangeToUnknowEnv() override {
        std::lock_guard<std::mutex> lock(m_mutex);
        ++m_unknownEnv;
    }
    void DisConnect(CAutoString reason) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_disconnects.push_back(reason.c_str());
    }

    // ---- What the test reads ------------------------------------------------------------------
    std::vector<PostedState> States() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_states;
    }
    size_t StateCount() { return States().size(); }
    PostedState LastState() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_states.empty() ? PostedState{} : m_states.back();
    }
    // The error codes of the state messages in the order posted.
    std::vector<int> Codes() {
        std::vector<int> codes;
        for (const PostedState& s : States())
            codes.push_back(s.code);
        return codes;
    }
    std::vector<PostedMsg> Msgs() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_msgs;
    }
    std::vector<std::string> Disconnects() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_disconnects;
    }
    std::vector<std::pair<std::string, std::string>> DnsCalls() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_dnsCalls;
    }
    int RestoreCount() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_restores;
    }
    int UnknownEnvCount() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_unknownEnv;
    }
    int IpCalls() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_ipCalls;
    }
    void Clear() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_states.clear();
        m_msgs.clear();
        m_disconnects.clear();
        m_dnsCalls.clear();
        m_unknownEnv = 0;
        m_ipCalls = 0;
        m_restores = 0;
    }

private:
    std::mutex m_mutex;
    std::vector<PostedState> m_states;
    std::vector<PostedMsg> m_msgs;
    std::vector<std::string> m_disconnects;
    std::vector<std::pair<std::string, std::string>> m_dnsCalls;
    int m_unknownEnv = 0;
    int m_ipCalls = 0;
    int m_restores = 0;
};

}  // namespace orvane_test
