// CFaultInjector: applies the faults that any server of the simulator can show (connection and
// HTTP level). Portal-level faults (error codes, ended login, renewal) are left to CPortalServers.
#pragma once

#include <httplib.h>

#include <cstdint>

#include "CSimContext.h"

class CFaultInjector {
public:
    explicit CFaultInjector(CSimContext& ctx) : m_ctx(ctx) {}

    // Applies fault to res. Returns true when res is the whole answer and the normal handler must
    // not run; false when the request goes on (after a delay, or for a portal-level fault).
    bool Apply(const SimFault& fault, const httplib::Request& req, httplib::Response& res);

    // The headers every genuine portal answer carries.
    static void SetPortalHeaders(httplib::Response& res, int code, const std::string& subError);

private:
    void Truncate(httplib::Response& res);
    // Answers 200 with a body of bytes bytes that announces no length.
    void Flood(httplib::Response& res, uint64_t bytes);

    CSimContext& m_ctx;
};
