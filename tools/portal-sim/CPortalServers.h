// CPortalServers: the portal's coded conversations: ticket, login, keep-alive, state, logout
// (also of another terminal) and the terminal list.
//
// Every request is checked in this order: faults for its kind, "Algo-ID" against the current
// container, "VXR-Checksum" against the MD5 of the body, then the decoded document. Every answer
// carries "Error-Code" and "Server-Tag" and a body coded with the current container.
#pragma once

#include <httplib.h>

#include <map>
#include <string>

#include "CFaultInjector.h"
#include "CSimContext.h"

class CPortalServers {
public:
    CPortalServers(CSimContext& ctx, CFaultInjector& injector) : m_ctx(ctx), m_injector(injector) {}
    void Register(httplib::Server& server);

private:
    using Fields = std::map<std::string, std::string>;
    // What a conversation answers: the portal code, its sub-error and the plain answer document.
    struct Answer {
        int code = 0;
        std::string subError;
        std::string document;
        std::string lastLogin;
    };

    void Handle(const std::string& kind, const httplib::Request& req, httplib::Response& res);
    // Checks identifier, checksum and document; fills fields. Returns kCodeOk or the refusal.
    int Verify(const httplib::Request& req, Fields& fields, cJSON* rec);
    enum FaultOutcome { kNoFault, kFaultAnswer, kFaultFinal };
    // Portal-level fault: kFaultAnswer when it set answer, kFaultFinal when res is complete
    // (the renewal container), kNoFault when the fault is not a portal-level one.
    FaultOutcome PortalFault(const SimFault& fault, Answer& answer, httplib::Response& res);
    Answer Converse(const std::string& kind, const Fields& fields);
    void Send(const Answer& answer, httplib::Response& res, cJSON* rec);

    Answer Ticket(const Fields& f);
    Answer Login(const Fields& f);
    Answer Keep(const Fields& f);
    Answer State(const Fields& f);
    Answer Term(const Fields& f);
    Answer Query(const Fields& f);
    std::string LoginDocument(const std::string& account) const;

    CSimContext& m_ctx;
    CFaultInjector& m_injector;
};
