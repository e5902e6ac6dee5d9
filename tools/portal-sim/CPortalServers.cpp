#include "CPortalServers.h"

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "SimHttpUtil.h"

namespace {

const char* const kKinds[] = {"ticket", "auth", "keep", "state", "term", "query"};

std::string Lower(std::string s) {
    for (char& c : s)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

std::string Get(const std::map<std::string, std::string>& f, const char* key) {
    auto it = f.find(key);
    return it == f.end() ? "" : it->second;
}

std::string Element(const char* tag, const std::string& text) {
    return std::string("<") + tag + ">" + simhttp::XmlEscape(text) + "</" + tag + ">";
}

bool ReadFile(const std::string& path, std::string& out) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    std::ostringstream s;
    s << in.rdbuf();
    out = s.str();
    return true;
}

}  // namespace

void CPortalServers::Register(httplib::Server& server) {
    for (const char* kind : kKinds) {
        std::string k = kind;
        server.Post("/" + k, [this, k](const httplib::Request& q, httplib::Response& r) {
            Handle(k, q, r);
        });
    }
}

void CPortalServers::Handle(const std::string& kind, const httplib::Request& req,
                            httplib::Response& res) {
    JsonPtr rec = simhttp::NewRecord(kind, req);
    Fields fields;
    int verdict = Verify(req, fields, rec.get());
    Answer answer{verdict, "", "", ""};
    auto fault = m_ctx.faults.Next(kind);
    FaultOutcome outcome = kNoFault;
    if (fault) {
        cJSON_AddStringToObject(rec.get(), "fault", fault->rule.c_str());
        outcome =
            m_injector.Apply(*fault, req, res) ? kFaultFinal : PortalFault(*fault, answer, res);
    }
    if (outcome == kNoFault && verdict == kCodeOk)
        answer = Converse(kind, fields);
    if (outcome == kNoFault && verdict == kCodeChecksum)
        answer.subError = "checksum";
    if (outcome == kNoFault && verdict == kCodeAlgoId)
        answer.subError = "algo-id";
    if (outcome != kFaultFinal)
        Send(answer, res, rec.get());
    cJSON_AddNumberToObject(rec.get(), "status", res.status);
    // The answer is made; what follows until the client has it is the transfer back.
    cJSON_AddNumberToObject(rec.get(), "answered", simhttp::NowSeconds());
    m_ctx.log.Append(std::move(rec));
}

int CPortalServers::Verify(const httplib::Request& req, Fields& fields, cJSON* rec) {
    // The body travels NUL-terminated; the checksum covers the bytes before the terminator.
    std::string body = req.body.substr(0, std::strlen(req.body.c_str()));
    bool algoOk = req.get_header_value("Algo-ID") == m_ctx.codec.AlgoId();
    bool sumOk = Lower(req.get_header_value("VXR-Checksum")) == CSimCodec::Md5Hex(body);
    std::string plain;
    bool decoded = m_ctx.codec.Decode(body, plain);
    bool parsed = decoded && simhttp::ParseRequestDocument(plain, fields);
    cJSON_AddBoolToObject(rec, "algo_ok", algoOk);
    cJSON_AddBoolToObject(rec, "checksum_ok", sumOk);
    cJSON_AddStringToObject(rec, decoded ? "body" : "raw_body",
                            decoded ? plain.c_str() : body.c_str());
    cJSON* f = cJSON_AddObjectToObject(rec, "fields");
    for (const auto& kv : fields)
        cJSON_AddStringToObject(f, kv.first.c_str(), kv.second.c_str());
    if (!algoOk)
        return kCodeAlgoId;
    if (!sumOk)
        return kCodeChecksum;
    return parsed ? kCodeOk : kCodeMalformed;
}

CPortalServers::FaultOutcome CPortalServers::PortalFault(const SimFault& fault, Answer& answer,
                                                         httplib::Response& res) {
    const std::string& a = fault.action;
    if (a == "error") {
        size_t colon = fault.arg.find(':');
        answer.code = std::atoi(fault.arg.c_str());
        answer.subError = colon == std::string::npos ? "" : fault.arg.substr(colon + 1);
    } else if (a == "lastlogin") {
        answer.code = 105;
        answer.lastLogin = fault.arg;
    } else if (a == "endlogin") {
        m_ctx.state.EndAllLogins();
        answer.code = kCodeEnded;
    } else if (a == "renew") {
        std::string container;
        const std::string& path = m_ctx.options.renewContainer;
        if (path.empty() || !ReadFile(path, container) ||
            (!m_ctx.options.renewUnchecked && !m_ctx.codec.Load(path))) {
            res.status = 500;
            res.set_content("no renewal container", "text/plain");
            return kFaultFinal;
        }
        res.status = 200;
        CFaultInjector::SetPortalHeaders(res, kCodeRenew, "");
        res.set_content(container, "application/octet-stream");
        return kFaultFinal;
    } else {
        return kNoFault;
    }
    return kFaultAnswer;
}

void CPortalServers::Send(const Answer& answer, httplib::Response& res, cJSON* rec) {
    std::string doc = answer.document.empty() ? "<response></response>" : answer.document;
    res.status = 200;
    CFaultInjector::SetPortalHeaders(res, answer.code, answer.subError);
    if (!answer.lastLogin.empty())
        res.set_header("Last-Login", answer.lastLogin);
    res.set_content(m_ctx.codec.Encode("<?xml version=\"1.0\" encoding=\"UTF-8\"?>" + doc),
                    "text/plain");
    cJSON* out = cJSON_AddObjectToObject(rec, "answer");
    cJSON_AddNumberToObject(out, "error_code", answer.code);
    cJSON_AddStringToObject(out, "sub_error", answer.subError.c_str());
    cJSON_AddStringToObject(out, "document", doc.c_str());
}

CPortalServers::Answer CPortalServers::Converse(const std::string& kind, const Fields& f) {
    if (kind == "ticket")
        return Ticket(f);
    if (kind == "auth")
        return Login(f);
    if (kind == "keep")
        return Keep(f);
    if (kind == "state")
        return State(f);
    if (kind == "term")
        return Term(f);
    return Query(f);
}

CPortalServers::Answer CPortalServers::Ticket(const Fields& f) {
    std::string ticket =
        m_ctx.state.IssueTicket(Get(f, "client-id"), Get(f, "host-name"), Get(f, "ipv4"));
    return {kCodeOk, "",
            "<response>" + Element("ticket", ticket) +
                Element("expire", std::to_string(m_ctx.options.ticketExpire)) + m_ctx.NoteXml() +
                "</response>",
            ""};
}

CPortalServers::Answer CPortalServers::Login(const Fields& f) {
    std::string account = Get(f, "userid");
    int code = m_ctx.state.Login(Get(f, "ticket"), account, Get(f, "passwd"));
    return {code, "", code == kCodeOk ? LoginDocument(account) : "", ""};
}

CPortalServers::Answer CPortalServers::Keep(const Fields& f) {
    int code = m_ctx.state.Keep(Get(f, "ticket"));
    if (code != kCodeOk)
        return {code, "", "", ""};
    return {code, "",
            "<response>" + Element("interval", std::to_string(m_ctx.options.keepInterval)) +
                Element("level", std::to_string(m_ctx.options.keepLevel)) + m_ctx.NoteXml() +
                "</response>",
            ""};
}

CPortalServers::Answer CPortalServers::State(const Fields& f) {
    std::string account;
    int code = m_ctx.state.State(Get(f, "ticket"), account);
    return {code, "", code == kCodeOk ? LoginDocument(account) : "", ""};
}

CPortalServers::Answer CPortalServers::Term(const Fields& f) {
    return {m_ctx.state.Logout(Get(f, "ticket"), Get(f, "reason")), "", "", ""};
}

CPortalServers::Answer CPortalServers::Query(const Fields& f) {
    std::string account = m_ctx.state.AccountOfClient(Get(f, "client-id"));
    if (account.empty())
        return {kCodeNoLogin, "", "", ""};
    std::string doc = "<response><terminals>";
    for (const SimTerminal& t : m_ctx.state.Terminals(account)) {
        doc += "<terminal>" + Element("ticket", t.ticket) + Element("host", t.hostName) +
               Element("ip", t.ip4) + "</terminal>";
    }
    return {kCodeOk, "", doc + "</terminals></response>", ""};
}

std::string CPortalServers::LoginDocument(const std::string& account) const {
    const CSimOptions& o = m_ctx.options;
    const std::string& userId = o.userId.empty() ? account : o.userId;
    std::string doc = "<response>" + Element("userid", userId) + m_ctx.NoteXml() +
                      Element("keep-retry", std::to_string(o.keepRetry)) +
                      Element("keep-url", m_ctx.BaseUrl() + "/keep") +
                      Element("term-url", m_ctx.BaseUrl() + "/term") + m_ctx.UserConfigXml();
    if (!o.dns1.empty() || !o.dns2.empty()) {
        doc += "<domain-config>";
        if (!o.dns1.empty())
            doc += Element("dns1", o.dns1);
        if (!o.dns2.empty())
            doc += Element("dns2", o.dns2);
        doc += "</domain-config>";
    }
    return doc + "</response>";
}
