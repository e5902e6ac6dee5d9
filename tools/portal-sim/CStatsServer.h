// CStatsServer: the traffic-statistics server. Takes the hexadecimal report body, removes the
// outer AES layer (a JSON array holding one {"token": ...}), then the inner layer (the report
// object), and records the report in the request log.
#pragma once

#include <httplib.h>

#include <string>

#include "CFaultInjector.h"
#include "CSimContext.h"

class CStatsServer {
public:
    CStatsServer(CSimContext& ctx, CFaultInjector& injector) : m_ctx(ctx), m_injector(injector) {}
    void Register(httplib::Server& server);

    // Decrypts hexadecimal AES-128-CBC text with PKCS#7 padding. False on bad hex, bad padding
    // or a length that is not a whole number of blocks.
    static bool DecryptHex(const std::string& hex, const char* key, const char* iv,
                           std::string& plain);
    // Both layers; returns the report object, or null with a reason in error.
    static JsonPtr OpenReport(const std::string& body, std::string& error);

private:
    void Report(const httplib::Request& req, httplib::Response& res);

    CSimContext& m_ctx;
    CFaultInjector& m_injector;
};
