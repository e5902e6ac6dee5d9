#include "SimHttpUtil.h"

#include <arpa/inet.h>
#include <libxml/parser.h>
#include <libxml/tree.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <chrono>
#include <memory>

namespace simhttp {

double NowSeconds() {
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    return static_cast<double>(std::chrono::duration_cast<std::chrono::microseconds>(now).count()) /
           1e6;
}

JsonPtr NewRecord(const std::string& kind, const httplib::Request& req) {
    JsonPtr rec(cJSON_CreateObject());
    cJSON_AddStringToObject(rec.get(), "kind", kind.c_str());
    // Arrival time, for checks on request pacing and for the benchmark's phases of a log-in.
    cJSON_AddNumberToObject(rec.get(), "time", NowSeconds());
    cJSON_AddStringToObject(rec.get(), "method", req.method.c_str());
    cJSON_AddStringToObject(rec.get(), "path", req.path.c_str());
    cJSON* query = cJSON_AddObjectToObject(rec.get(), "query");
    for (const auto& p : req.params)
        cJSON_AddStringToObject(query, p.first.c_str(), p.second.c_str());
    cJSON* headers = cJSON_AddObjectToObject(rec.get(), "headers");
    cJSON_AddStringToObject(rec.get(), "remote", req.remote_addr.c_str());
    for (const auto& h : req.headers) {
        // The server files the connection's addresses among the headers; they are not sent ones.
        if (h.first == "REMOTE_ADDR" || h.first == "REMOTE_PORT" || h.first == "LOCAL_ADDR" ||
            h.first == "LOCAL_PORT")
            continue;
        // Repeated header names keep the first value; the portal reads only the first as well.
        if (!cJSON_GetObjectItemCaseSensitive(headers, h.first.c_str()))
            cJSON_AddStringToObject(headers, h.first.c_str(), h.second.c_str());
    }
    return rec;
}

namespace {
struct XmlDocDeleter {
    void operator()(xmlDoc* d) const { xmlFreeDoc(d); }
};
struct XmlCharDeleter {
    void operator()(xmlChar* p) const { xmlFree(p); }
};
}  // namespace

bool ParseRequestDocument(const std::string& text, std::map<std::string, std::string>& fields) {
    std::unique_ptr<xmlDoc, XmlDocDeleter> doc(
        xmlReadMemory(text.data(), static_cast<int>(text.size()), "request.xml", nullptr,
                      XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING));
    if (!doc)
        return false;
    xmlNode* root = xmlDocGetRootElement(doc.get());
    if (!root || xmlStrcmp(root->name, BAD_CAST "request") != 0)
        return false;
    for (xmlNode* child = root->children; child; child = child->next) {
        if (child->type != XML_ELEMENT_NODE)
            continue;
        std::unique_ptr<xmlChar, XmlCharDeleter> content(xmlNodeGetContent(child));
        fields[reinterpret_cast<const char*>(child->name)] =
            content ? reinterpret_cast<const char*>(content.get()) : "";
    }
    return true;
}

std::string XmlEscape(const std::string& text) {
    std::string out;
    for (char c : text) {
        switch (c) {
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '&':
                out += "&amp;";
                break;
            case '"':
                out += "&quot;";
                break;
            default:
                out += c;
        }
    }
    return out;
}

namespace {
int PortOf(const sockaddr_storage& ss) {
    if (ss.ss_family == AF_INET)
        return ntohs(reinterpret_cast<const sockaddr_in&>(ss).sin_port);
    if (ss.ss_family == AF_INET6)
        return ntohs(reinterpret_cast<const sockaddr_in6&>(ss).sin6_port);
    return -1;
}
}  // namespace

bool DropConnection(const httplib::Request& req) {
    // The server hides the descriptor from handlers; the connection is the one socket whose local
    // and peer ports are those of this request.
    rlimit lim{};
    int maxFd = getrlimit(RLIMIT_NOFILE, &lim) == 0 && lim.rlim_cur < 65536
                    ? static_cast<int>(lim.rlim_cur)
                    : 65536;
    for (int fd = 0; fd < maxFd; ++fd) {
        sockaddr_storage local{}, peer{};
        socklen_t ll = sizeof local, pl = sizeof peer;
        if (getsockname(fd, reinterpret_cast<sockaddr*>(&local), &ll) != 0)
            continue;
        if (getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &pl) != 0)
            continue;
        if (PortOf(local) == req.local_port && PortOf(peer) == req.remote_port) {
            // Shutting down (not closing) leaves the descriptor to the server, which closes it.
            return shutdown(fd, SHUT_RDWR) == 0;
        }
    }
    return false;
}

}  // namespace simhttp
