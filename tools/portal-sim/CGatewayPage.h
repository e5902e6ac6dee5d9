// CGatewayPage: the campus gateway's probe answer and the portal page with its configuration
// block.
//
// "/forward.cgi" answers 302 to the portal page while no login is active and a plain 200 page
// once one is. "/index.cgi" is the portal page; its configuration names this simulator's URLs.
#pragma once

#include <httplib.h>

#include <atomic>

#include "CFaultInjector.h"
#include "CSimContext.h"

class CGatewayPage {
public:
    CGatewayPage(CSimContext& ctx, CFaultInjector& injector) : m_ctx(ctx), m_injector(injector) {}
    void Register(httplib::Server& server);

    // The configuration block's XML document (without the comment markers).
    std::string ConfigDocument() const;

private:
    void Probe(const httplib::Request& req, httplib::Response& res);
    void Page(const httplib::Request& req, httplib::Response& res);
    void ServePage(httplib::Response& res) const;
    std::string FunCfg() const;
    std::string AccountRule() const;
    void AddFiller(httplib::Response& res) const;
    bool ConfigFromFile(std::string& out) const;

    CSimContext& m_ctx;
    CFaultInjector& m_injector;
    std::atomic<bool> m_hugeServed{false};  // the filler goes with the first page only
};
