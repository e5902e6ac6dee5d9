#include "CUpdateServer.h"

#include <fstream>
#include <sstream>

#include "SimHttpUtil.h"

bool CUpdateServer::Load(std::string& error) {
    for (const SimPackage& pkg : m_ctx.options.packages) {
        for (auto [path, kind] : {std::pair{pkg.binFile, "bin"}, std::pair{pkg.exeFile, "exe"}}) {
            if (path.empty())
                continue;
            std::ifstream in(path, std::ios::binary);
            std::ostringstream bytes;
            bytes << in.rdbuf();
            if (!in) {
                error = "cannot read package file '" + path + "'";
                return false;
            }
            m_files[pkg.name + "/" + kind] = bytes.str();
        }
    }
    return true;
}

void CUpdateServer::Register(httplib::Server& server) {
    server.Get("/update", [this](const httplib::Request& q, httplib::Response& r) { Query(q, r); });
    server.Get(R"(/pkg/([^/]+)/(bin|exe))",
               [this](const httplib::Request& q, httplib::Response& r) { Download(q, r); });
}

std::string CUpdateServer::FileEntry(const char* tag, const std::string& name, const char* kind,
                                     const std::string& listedSize) const {
    auto it = m_files.find(name + "/" + kind);
    if (it == m_files.end())
        return "";
    const std::string size =
        listedSize.empty() ? std::to_string(it->second.size()) : simhttp::XmlEscape(listedSize);
    return std::string("<") + tag + " size=\"" + size + "\" md5=\"" +
           CSimCodec::Md5Hex(it->second) + "\">" + m_ctx.BaseUrl() + "/pkg/" +
           simhttp::XmlEscape(name) + "/" + kind + "</" + tag + ">";
}

std::string CUpdateServer::QueryAnswer(const std::string& listedSize) const {
    if (!m_ctx.options.updateList)
        return "<?xml version=\"1.0\" encoding=\"UTF-8\"?><response><result>0</result></response>";
    std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?><response><pkgxmls>";
    for (const SimPackage& pkg : m_ctx.options.packages) {
        xml += "<pkgxml><pkglist><pkg name=\"" + simhttp::XmlEscape(pkg.name) + "\"><pfile>" +
               FileEntry("binfile", pkg.name, "bin", listedSize) +
               FileEntry("exefile", pkg.name, "exe", listedSize) +
               "</pfile></pkg></pkglist></pkgxml>";
    }
    return xml + "</pkgxmls></response>";
}

void CUpdateServer::Query(const httplib::Request& req, httplib::Response& res) {
    JsonPtr rec = simhttp::NewRecord("update", req);
    auto fault = m_ctx.faults.Next("update");
    if (fault)
        cJSON_AddStringToObject(rec.get(), "fault", fault->rule.c_str());
    if (fault && fault->action == "listsize") {
        res.status = 200;
        res.set_content(QueryAnswer(fault->arg), "text/xml");
    } else if (!fault || !m_injector.Apply(*fault, req, res)) {
        res.status = 200;
        res.set_content(QueryAnswer(), "text/xml");
    }
    cJSON_AddNumberToObject(rec.get(), "status", res.status);
    m_ctx.log.Append(std::move(rec));
}

void CUpdateServer::Download(const httplib::Request& req, httplib::Response& res) {
    JsonPtr rec = simhttp::NewRecord("download", req);
    auto fault = m_ctx.faults.Next("download");
    if (fault)
        cJSON_AddStringToObject(rec.get(), "fault", fault->rule.c_str());
    if (!fault || !m_injector.Apply(*fault, req, res)) {
        auto it = m_files.find(req.matches[1].str() + "/" + req.matches[2].str());
        if (it == m_files.end()) {
            res.status = 404;
        } else {
            // Leaving the status unset lets the server answer 206 with the requested range, or
            // 416 for a range outside the file.
            res.set_content(it->second, "application/octet-stream");
        }
    }
    cJSON_AddStringToObject(rec.get(), "range", req.get_header_value("Range").c_str());
    // An unset status is decided by the server from the range: 206, or 416 out of bounds.
    int status = res.status != -1 ? res.status : (req.ranges.empty() ? 200 : 206);
    cJSON_AddNumberToObject(rec.get(), "status", status);
    m_ctx.log.Append(std::move(rec));
}
