#include "CResolvedLink.h"

#include <sys/socket.h>
#include <systemd/sd-bus.h>

#include <cerrno>
#include <cstring>
#include <memory>

namespace {

const char kService[] = "org.freedesktop.resolve1";
const char kManagerPath[] = "/org/freedesktop/resolve1";
const char kManager[] = "org.freedesktop.resolve1.Manager";
const char kLink[] = "org.freedesktop.resolve1.Link";

struct MessageUnref {
    void operator()(sd_bus_message* m) const { sd_bus_message_unref(m); }
};
using Message = std::unique_ptr<sd_bus_message, MessageUnref>;

// Owns an sd_bus_error's texts for one call.
struct BusError {
    sd_bus_error error = SD_BUS_ERROR_NULL;
    ~BusError() { sd_bus_error_free(&error); }
};

// No bus at all (no socket, nobody listening): nothing owns the resolver there.
bool NoBus(int error) {
    return error == -ENOENT || error == -ECONNREFUSED || error == -ENOTDIR || error == -EACCES;
}

int ReadServer(sd_bus_message* reply, CResolvedLink::Server& server) {
    int r = sd_bus_message_enter_container(reply, SD_BUS_TYPE_STRUCT, "iay");
    if (r <= 0)
        return r;
    int32_t family = 0;
    const void* data = nullptr;
    size_t size = 0;
    if ((r = sd_bus_message_read(reply, "i", &family)) < 0 ||
        (r = sd_bus_message_read_array(reply, 'y', &data, &size)) < 0 ||
        (r = sd_bus_message_exit_container(reply)) < 0)
        return r;
    server.family = family;
    const uint8_t* bytes = static_cast<const uint8_t*>(data);
    server.address.assign(bytes, bytes + size);
    return CResolvedLink::Valid(server) ? 1 : -EBADMSG;
}

int AppendServers(sd_bus_message* call, const std::vector<CResolvedLink::Server>& servers) {
    int r = sd_bus_message_open_container(call, SD_BUS_TYPE_ARRAY, "(iay)");
    for (size_t i = 0; r >= 0 && i < servers.size(); ++i) {
        const CResolvedLink::Server& s = servers[i];
        if ((r = sd_bus_message_open_container(call, SD_BUS_TYPE_STRUCT, "iay")) < 0 ||
            (r = sd_bus_message_append(call, "i", static_cast<int32_t>(s.family))) < 0 ||
            (r = sd_bus_message_append_array(call, 'y', s.address.data(), s.address.size())) < 0)
            return r;
        r = sd_bus_message_close_container(call);
    }
    return r < 0 ? r : sd_bus_message_close_container(call);
}

int AppendDomains(sd_bus_message* call, const std::vector<CResolvedLink::Domain>& domains) {
    int r = sd_bus_message_open_container(call, SD_BUS_TYPE_ARRAY, "(sb)");
    for (size_t i = 0; r >= 0 && i < domains.size(); ++i)
        r = sd_bus_message_append(call, "(sb)", domains[i].name.c_str(),
                                  static_cast<int>(domains[i].routeOnly));
    return r < 0 ? r : sd_bus_message_close_container(call);
}

// A bus at an address of the caller's, spoken to as the system bus is.
int OpenAt(const std::string& address, sd_bus** bus) {
    int r = sd_bus_new(bus);
    if (r >= 0)
        r = sd_bus_set_address(*bus, address.c_str());
    if (r >= 0)
        r = sd_bus_set_bus_client(*bus, 1);
    if (r >= 0)
        r = sd_bus_start(*bus);
    return r;
}

}  // namespace

CResolvedLink::~CResolvedLink() {
    if (m_bus != nullptr)
        sd_bus_flush_close_unref(m_bus);
}

bool CResolvedLink::Valid(const Server& server) {
    return (server.family == AF_INET && server.address.size() == 4) ||
           (server.family == AF_INET6 && server.address.size() == 16);
}

bool CResolvedLink::Valid(const Domain& domain) {
    if (domain.name.empty() || domain.name.size() > kMaxDomainLength)
        return false;
    for (unsigned char c : domain.name) {
        if (c <= ' ' || c >= 0x7f)
            return false;
    }
    return true;
}

int CResolvedLink::Failed(int error, const char* what) {
    m_lastError = std::string(what) + ": " + std::strerror(-error);
    return error;
}

int CResolvedLink::Open() {
    if (m_broken != 0)
        return m_broken;
    if (m_bus != nullptr)
        return 0;
    int r = m_address.empty() ? sd_bus_open_system(&m_bus) : OpenAt(m_address, &m_bus);
    if (r >= 0)
        r = sd_bus_set_method_call_timeout(m_bus, kCallTimeoutUsec);
    if (r < 0) {
        m_bus = sd_bus_flush_close_unref(m_bus);
        m_broken = r;
        return Failed(r, "system bus");
    }
    return 0;
}

int CResolvedLink::Call(const char* method, sd_bus_message* call, sd_bus_message** reply) {
    BusError error;
    const int r = sd_bus_call(m_bus, call, 0, &error.error, reply);
    return Answered(method, r, sd_bus_error_is_set(&error.error), error.error.message);
}

int CResolvedLink::Answered(const char* what, int r, bool refused, const char* message) {
    if (r >= 0)
        return 0;
    // A method's own refusal leaves the connection usable; silence or a lost bus does not.
    if (!refused || r == -ETIMEDOUT || sd_bus_is_open(m_bus) <= 0)
        m_broken = r;
    m_lastError = std::string(what) + ": " + (message != nullptr ? message : std::strerror(-r));
    return r;
}

int CResolvedLink::Property(const std::string& path, const char* member, const char* type,
                            sd_bus_message** reply) {
    BusError error;
    const int r = sd_bus_get_property(m_bus, kService, path.c_str(), kLink, member, &error.error,
                                      reply, type);
    if (Answered(member, r, sd_bus_error_is_set(&error.error), error.error.message) < 0)
        return r;
    return sd_bus_message_enter_container(*reply, SD_BUS_TYPE_ARRAY, type + 1);
}

int CResolvedLink::NewCall(const char* method, int ifindex, sd_bus_message** call) {
    int r = Open();
    if (r < 0)
        return r;
    r = sd_bus_message_new_method_call(m_bus, call, kService, kManagerPath, kManager, method);
    if (r >= 0)
        r = sd_bus_message_append(*call, "i", static_cast<int32_t>(ifindex));
    return r < 0 ? Failed(r, method) : 0;
}

int CResolvedLink::IsRunning() {
    int r = Open();
    if (r < 0)
        return NoBus(r) ? 0 : r;
    sd_bus_message* raw = nullptr;
    r = sd_bus_message_new_method_call(m_bus, &raw, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                       "org.freedesktop.DBus", "NameHasOwner");
    Message call(raw);
    if (r >= 0)
        r = sd_bus_message_append(call.get(), "s", kService);
    if (r < 0)
        return Failed(r, "NameHasOwner");
    raw = nullptr;
    r = Call("NameHasOwner", call.get(), &raw);
    Message reply(raw);
    int owned = 0;
    if (r >= 0 && (r = sd_bus_message_read(reply.get(), "b", &owned)) < 0)
        return Failed(r, "NameHasOwner");
    return r < 0 ? (NoBus(r) ? 0 : r) : owned != 0;
}

int CResolvedLink::SetDns(int ifindex, const std::vector<Server>& servers) {
    sd_bus_message* raw = nullptr;
    int r = NewCall("SetLinkDNS", ifindex, &raw);
    Message call(raw);
    if (r < 0)
        return r;
    if ((r = AppendServers(call.get(), servers)) < 0)
        return Failed(r, "SetLinkDNS");
    raw = nullptr;
    r = Call("SetLinkDNS", call.get(), &raw);
    Message reply(raw);
    return r;
}

int CResolvedLink::SetDomains(int ifindex, const std::vector<Domain>& domains) {
    sd_bus_message* raw = nullptr;
    int r = NewCall("SetLinkDomains", ifindex, &raw);
    Message call(raw);
    if (r < 0)
        return r;
    if ((r = AppendDomains(call.get(), domains)) < 0)
        return Failed(r, "SetLinkDomains");
    raw = nullptr;
    r = Call("SetLinkDomains", call.get(), &raw);
    Message reply(raw);
    return r;
}

int CResolvedLink::SetLink(int ifindex, const std::vector<Server>& servers) {
    const int r = SetDns(ifindex, servers);
    return r < 0 ? r : SetDomains(ifindex, {{".", true}});
}

int CResolvedLink::PutBack(int ifindex, const Settings& before) {
    if (!before.Empty()) {
        const int r = SetDns(ifindex, before.dns);
        return r < 0 ? r : SetDomains(ifindex, before.domains);
    }
    sd_bus_message* raw = nullptr;
    int r = NewCall("RevertLink", ifindex, &raw);
    Message call(raw);
    if (r < 0)
        return r;
    raw = nullptr;
    r = Call("RevertLink", call.get(), &raw);
    Message reply(raw);
    return r;
}

int CResolvedLink::LinkPath(int ifindex, std::string& path) {
    sd_bus_message* raw = nullptr;
    int r = NewCall("GetLink", ifindex, &raw);
    Message call(raw);
    if (r < 0)
        return r;
    raw = nullptr;
    r = Call("GetLink", call.get(), &raw);
    Message reply(raw);
    const char* object = nullptr;
    if (r >= 0 && (r = sd_bus_message_read(reply.get(), "o", &object)) < 0)
        return Failed(r, "GetLink");
    if (r >= 0)
        path = object;
    return r;
}

int CResolvedLink::ReadDns(const std::string& path, std::vector<Server>& dns) {
    sd_bus_message* raw = nullptr;
    int r = Property(path, "DNS", "a(iay)", &raw);
    Message reply(raw);
    Server server;
    while (r >= 0 && (r = ReadServer(reply.get(), server)) > 0) {
        if (dns.size() == kMaxEntries)
            return Failed(-E2BIG, "link DNS");
        dns.push_back(server);
    }
    return r < 0 ? Failed(r, "link DNS") : 0;
}

int CResolvedLink::ReadDomains(const std::string& path, std::vector<Domain>& domains) {
    sd_bus_message* raw = nullptr;
    int r = Property(path, "Domains", "a(sb)", &raw);
    Message reply(raw);
    const char* name = nullptr;
    int routeOnly = 0;
    while (r >= 0 && (r = sd_bus_message_read(reply.get(), "(sb)", &name, &routeOnly)) > 0) {
        Domain domain{name, routeOnly != 0};
        if (domains.size() == kMaxEntries || !Valid(domain))
            return Failed(-EBADMSG, "link Domains");
        domains.push_back(domain);
    }
    return r < 0 ? Failed(r, "link Domains") : 0;
}

int CResolvedLink::ReadLink(int ifindex, Settings& before) {
    before = Settings();
    std::string path;
    int r = LinkPath(ifindex, path);
    if (r >= 0)
        r = ReadDns(path, before.dns);
    if (r >= 0)
        r = ReadDomains(path, before.domains);
    return r < 0 ? r : 0;
}
