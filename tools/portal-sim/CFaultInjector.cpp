#include "CFaultInjector.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "SimHttpUtil.h"

namespace {
const char kServerTag[] = "portal-sim";
constexpr long kDefaultRefuseMs = 2000;
}  // namespace

void CFaultInjector::SetPortalHeaders(httplib::Response& res, int code,
                                      const std::string& subError) {
    res.set_header("Error-Code", std::to_string(code));
    res.set_header("Server-Tag", kServerTag);
    if (!subError.empty())
        res.set_header("Sub-Error", subError);
}

void CFaultInjector::Truncate(httplib::Response& res) {
    res.status = 200;
    SetPortalHeaders(res, 0, "");
    // Announces 4096 bytes, sends 16 and gives up: the server then closes the connection.
    res.set_content_provider(4096, "text/plain",
                             [](size_t offset, size_t, httplib::DataSink& sink) {
                                 if (offset == 0)
                                     sink.write("ZX00000000000000", 16);
                                 return false;
                             });
}

void CFaultInjector::Flood(httplib::Response& res, uint64_t bytes) {
    res.status = 200;
    // Chunked, so no length warns the client; never held whole in memory.
    res.set_chunked_content_provider(
        "application/octet-stream", [bytes](size_t offset, httplib::DataSink& sink) {
            static const std::string kBlock(64 * 1024, 'F');
            if (offset >= bytes) {
                sink.done();
                return true;
            }
            const size_t n = static_cast<size_t>(
                std::min<uint64_t>(kBlock.size(), bytes - static_cast<uint64_t>(offset)));
            return sink.write(kBlock.data(), n);
        });
}

bool CFaultInjector::Apply(const SimFault& fault, const httplib::Request& req,
                           httplib::Response& res) {
    const std::string& a = fault.action;
    if (a == "delay") {
        m_ctx.Sleep(std::atol(fault.arg.c_str()));
        return false;
    }
    if (a == "drop" || a == "refuse") {
        // The listener closes before the client learns of the drop, so its next attempt is
        // refused rather than queued.
        if (a == "refuse")
            m_ctx.RequestRefuse(fault.arg.empty() ? kDefaultRefuseMs
                                                  : std::atol(fault.arg.c_str()));
        simhttp::DropConnection(req);
        res.status = 500;  // never reaches the client
        return true;
    }
    if (a == "http500") {
        res.status = 500;
        res.set_content("Internal Server Error", "text/plain");
    } else if (a == "garbage") {
        res.status = 200;
        SetPortalHeaders(res, 0, "");
        res.set_content("#<garbage>\x7f\x01 not a coded answer", "text/plain");
    } else if (a == "truncate") {
        Truncate(res);
    } else if (a == "flood") {
        Flood(res, std::strtoull(fault.arg.c_str(), nullptr, 10));
    } else if (a == "redirect") {
        res.status = 302;
        res.set_header("Location", m_ctx.PortalPageUrl(req.remote_addr));
    } else if (a == "notag") {
        res.status = 200;
        res.set_header("Error-Code", "0");
        res.set_content("<html><body>gateway page</body></html>", "text/html");
    } else {
        return false;
    }
    return true;
}
