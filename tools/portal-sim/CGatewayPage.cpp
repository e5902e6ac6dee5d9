#include "CGatewayPage.h"

#include <fstream>
#include <sstream>

#include "CXmlFileCodec.h"
#include "SimHttpUtil.h"

namespace {
const char kBlockStart[] = "<!--//auth.orvane.local";
const char kBlockEnd[] = "//auth.orvane.local-->";
}  // namespace

void CGatewayPage::Register(httplib::Server& server) {
    server.Get("/forward.cgi",
               [this](const httplib::Request& q, httplib::Response& r) { Probe(q, r); });
    server.Get("/index.cgi",
               [this](const httplib::Request& q, httplib::Response& r) { Page(q, r); });
}

void CGatewayPage::Probe(const httplib::Request& req, httplib::Response& res) {
    JsonPtr rec = simhttp::NewRecord("probe", req);
    auto fault = m_ctx.faults.Next("probe");
    if (fault)
        cJSON_AddStringToObject(rec.get(), "fault", fault->rule.c_str());
    if (!fault || !m_injector.Apply(*fault, req, res)) {
        const CSimOptions& o = m_ctx.options;
        if (!o.schoolId.empty())
            res.set_header("schoolid", o.schoolId);
        if (!o.domain.empty())
            res.set_header("domain", o.domain);
        if (!o.area.empty())
            res.set_header("area", o.area);
        const bool passes = o.gatewayByAddress ? m_ctx.state.LoggedInFrom(req.remote_addr)
                                               : m_ctx.state.AnyLoggedIn();
        if (passes) {
            res.status = 200;
            res.set_content("<html><head><title>online</title></head><body>online</body></html>",
                            "text/html");
        } else {
            res.status = 302;
            res.set_header("Location", o.redirectTo.empty() ? m_ctx.PortalPageUrl(req.remote_addr)
                                                            : o.redirectTo);
        }
    }
    cJSON_AddNumberToObject(rec.get(), "status", res.status);
    m_ctx.log.Append(std::move(rec));
}

void CGatewayPage::Page(const httplib::Request& req, httplib::Response& res) {
    JsonPtr rec = simhttp::NewRecord("page", req);
    auto fault = m_ctx.faults.Next("page");
    if (fault)
        cJSON_AddStringToObject(rec.get(), "fault", fault->rule.c_str());
    if (!fault || !m_injector.Apply(*fault, req, res))
        ServePage(res);
    if (res.status == 200 && m_ctx.options.hugePageMib > 0 && !m_hugeServed.exchange(true)) {
        cJSON_AddNumberToObject(rec.get(), "filler_mib", m_ctx.options.hugePageMib);
        AddFiller(res);
    }
    cJSON_AddNumberToObject(rec.get(), "status", res.status);
    m_ctx.log.Append(std::move(rec));
}

// The page in UTF-8, or converted to --page-charset with a meta tag naming it, as portals that
// serve GBK pages do.
void CGatewayPage::ServePage(httplib::Response& res) const {
    const std::string& charset = m_ctx.options.pageCharset;
    const std::string meta =
        charset.empty()
            ? ""
            : "<meta http-equiv=\"Content-Type\" content=\"text/html; charset=" + charset + "\">";
    const std::string text =
        m_ctx.options.note.empty() ? "Please log in." : simhttp::XmlEscape(m_ctx.options.note);
    const std::string page = "<html><head>" + meta + "<title>Campus portal</title></head><body>\n" +
                             kBlockStart + "\n" + ConfigDocument() + "\n" + kBlockEnd + "\n<p>" +
                             text + "</p></body></html>\n";
    std::string bytes = page;
    if (!charset.empty() && !CXmlFileCodec::Convert(page, "UTF-8", charset.c_str(), bytes)) {
        res.status = 500;
        res.set_content("the page cannot be written in " + charset, "text/plain");
        return;
    }
    res.status = 200;
    res.set_content(bytes, charset.empty() ? "text/html" : "text/html; charset=" + charset);
}

// The page followed by hugePageMib MiB of blanks, produced as the reader takes them so that the
// simulator never holds the whole answer.
void CGatewayPage::AddFiller(httplib::Response& res) const {
    const std::string page = res.body;
    const size_t total = page.size() + (static_cast<size_t>(m_ctx.options.hugePageMib) << 20);
    res.body.clear();
    res.set_content_provider(
        total, "text/html", [page](size_t offset, size_t length, httplib::DataSink& sink) {
            static const std::string blanks(64 * 1024, ' ');
            if (offset < page.size())
                return sink.write(page.data() + offset, std::min(length, page.size() - offset));
            return sink.write(blanks.data(), std::min(length, blanks.size()));
        });
}

// The file's text with every "@BASE@" replaced; false when the file cannot be read.
bool CGatewayPage::ConfigFromFile(std::string& out) const {
    std::ifstream in(m_ctx.options.pageConfig, std::ios::binary);
    if (!in)
        return false;
    std::ostringstream text;
    text << in.rdbuf();
    out = text.str();
    const std::string mark = "@BASE@", base = m_ctx.BaseUrl();
    for (size_t at = 0; (at = out.find(mark, at)) != std::string::npos; at += base.size())
        out.replace(at, mark.size(), base);
    return true;
}

std::string CGatewayPage::ConfigDocument() const {
    std::string fromFile;
    if (!m_ctx.options.pageConfig.empty() && ConfigFromFile(fromFile))
        return fromFile;
    const std::string base = m_ctx.BaseUrl();
    const CSimOptions& o = m_ctx.options;
    std::string servers =
        o.servers.empty() ? o.listenAddr + ":" + std::to_string(m_ctx.Port()) : o.servers;
    const std::string encoding = o.pageCharset.empty() ? "UTF-8" : o.pageCharset;
    return "<?xml version=\"1.0\" encoding=\"" + encoding +
           "\"?><config>"
           "<ticket-url>" +
           base +
           "/ticket</ticket-url>"
           "<query-url>" +
           base +
           "/query</query-url>"
           "<auth-url>" +
           base +
           "/auth</auth-url>"
           "<state-url>" +
           base +
           "/state</state-url>"
           "<state-interval>" +
           std::to_string(o.stateInterval) + "</state-interval>" + AccountRule() +
           "<auth><type>vxr-http-pap</type><default>yes</default></auth>"
           "<auth><type>vxr-mobile-qr</type><default>0</default></auth>"
           "<server-clusters servers=\"" +
           simhttp::XmlEscape(servers) + "\"/>" + m_ctx.UserConfigXml() + m_ctx.NoteXml() +
           FunCfg() + "</config>";
}

std::string CGatewayPage::AccountRule() const {
    const std::string& rule = m_ctx.options.accountRule;
    if (rule.empty())
        return "";
    size_t colon = rule.find(':');
    std::string type = rule.substr(0, colon);
    std::string value = colon == std::string::npos ? "" : rule.substr(colon + 1);
    return "<account><modify><type>" + simhttp::XmlEscape(type) + "</type><value>" +
           simhttp::XmlEscape(value) + "</value></modify></account>";
}

std::string CGatewayPage::FunCfg() const {
    const CSimOptions& o = m_ctx.options;
    std::string xml = "<FunCfg>";
    if (o.stats) {
        xml += "<StatsInfor enable=\"" + std::to_string(o.statsEnable) + "\" interval=\"" +
               std::to_string(o.statsInterval) + "\" url=\"" + m_ctx.StatsUrl() + "\"/>";
    }
    // The client takes the text between the first two double quotes as the update address, so
    // "url" must be the first attribute.
    if (o.update)
        xml += "<Update url=\"" + m_ctx.BaseUrl() + "/update\" enable=\"1\"/>";
    return xml + "</FunCfg>";
}
