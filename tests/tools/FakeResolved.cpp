// fake-resolved: plays systemd-resolved's per-link API on a private bus for the tests. Takes the
// resolver's bus name, answers SetLinkDNS, SetLinkDomains, RevertLink and GetLink on the manager
// and the DNS and Domains properties of each link object, and appends every call it answers to
// the log, one line each ("SetLinkDNS 3 192.0.2.1 2001:db8::1", "SetLinkDomains 3 ~.",
// "RevertLink 3", "GetLink 3").
//
//   fake-resolved --address ADDR --log FILE [--ready FILE] [--dns IFINDEX ADDRESS]...
//                 [--domain IFINDEX [~]NAME]... [--refuse METHOD] [--silent METHOD]
// --dns/--domain: what a link holds from the start. --refuse: that method answers with an
// access-denied error. --silent: that method never answers (the caller's time limit runs out).
#include <arpa/inet.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <string>
#include <vector>

namespace {

const char kManagerPath[] = "/org/freedesktop/resolve1";
const char kLinkPrefix[] = "/org/freedesktop/resolve1/link";

struct Link {
    std::vector<std::pair<int, std::vector<uint8_t>>> dns;
    std::vector<std::pair<std::string, bool>> domains;
};

struct Fake {
    std::map<int, Link> links;
    std::string log;
    std::string refuse;
    std::string silent;
    std::vector<sd_bus_message*> unanswered;  // kept so the caller sees no error either
};

Fake g_fake;

void Note(const std::string& line) {
    std::ofstream(g_fake.log, std::ios::app) << line << "\n" << std::flush;
}

// 0 when the method is to go on, else what the handler returns (1: handled, never answered).
int Gate(sd_bus_message* m, sd_bus_error* error, const char* method) {
    if (g_fake.silent == method) {
        g_fake.unanswered.push_back(sd_bus_message_ref(m));
        return 1;
    }
    if (g_fake.refuse == method)
        return sd_bus_error_set(error, SD_BUS_ERROR_ACCESS_DENIED, "refused by the test");
    return 0;
}

std::string AddressText(int family, const std::vector<uint8_t>& bytes) {
    char text[INET6_ADDRSTRLEN] = "?";
    if ((family == AF_INET && bytes.size() == 4) || (family == AF_INET6 && bytes.size() == 16))
        inet_ntop(family, bytes.data(), text, sizeof text);
    return text;
}

int SetLinkDns(sd_bus_message* m, void*, sd_bus_error* error) {
    int r = Gate(m, error, "SetLinkDNS");
    int32_t ifindex = 0;
    if (r != 0 || (r = sd_bus_message_read(m, "i", &ifindex)) < 0 ||
        (r = sd_bus_message_enter_container(m, 'a', "(iay)")) < 0)
        return r;
    Link& link = g_fake.links[ifindex];
    link.dns.clear();
    std::string line = "SetLinkDNS " + std::to_string(ifindex);
    while ((r = sd_bus_message_enter_container(m, 'r', "iay")) > 0) {
        int32_t family = 0;
        const void* data = nullptr;
        size_t size = 0;
        if ((r = sd_bus_message_read(m, "i", &family)) < 0 ||
            (r = sd_bus_message_read_array(m, 'y', &data, &size)) < 0 ||
            (r = sd_bus_message_exit_container(m)) < 0)
            return r;
        const uint8_t* p = static_cast<const uint8_t*>(data);
        link.dns.push_back({family, std::vector<uint8_t>(p, p + size)});
        line += " " + AddressText(family, link.dns.back().second);
    }
    Note(line);
    return r < 0 ? r : sd_bus_reply_method_return(m, "");
}

int SetLinkDomains(sd_bus_message* m, void*, sd_bus_error* error) {
    int r = Gate(m, error, "SetLinkDomains");
    int32_t ifindex = 0;
    if (r != 0 || (r = sd_bus_message_read(m, "i", &ifindex)) < 0 ||
        (r = sd_bus_message_enter_container(m, 'a', "(sb)")) < 0)
        return r;
    Link& link = g_fake.links[ifindex];
    link.domains.clear();
    std::string line = "SetLinkDomains " + std::to_string(ifindex);
    const char* name = nullptr;
    int routeOnly = 0;
    while ((r = sd_bus_message_read(m, "(sb)", &name, &routeOnly)) > 0) {
        link.domains.push_back({name, routeOnly != 0});
        line += std::string(" ") + (routeOnly ? "~" : "") + name;
    }
    Note(line);
    return r < 0 ? r : sd_bus_reply_method_return(m, "");
}

int RevertLink(sd_bus_message* m, void*, sd_bus_error* error) {
    int r = Gate(m, error, "RevertLink");
    int32_t ifindex = 0;
    if (r != 0 || (r = sd_bus_message_read(m, "i", &ifindex)) < 0)
        return r;
    g_fake.links.erase(ifindex);
    Note("RevertLink " + std::to_string(ifindex));
    return sd_bus_reply_method_return(m, "");
}

int GetLink(sd_bus_message* m, void*, sd_bus_error* error) {
    int r = Gate(m, error, "GetLink");
    int32_t ifindex = 0;
    if (r != 0 || (r = sd_bus_message_read(m, "i", &ifindex)) < 0)
        return r;
    char* path = nullptr;
    if ((r = sd_bus_path_encode(kLinkPrefix, std::to_string(ifindex).c_str(), &path)) < 0)
        return r;
    Note("GetLink " + std::to_string(ifindex));
    r = sd_bus_reply_method_return(m, "o", path);
    free(path);
    return r;
}

Link& LinkOf(const char* path) {
    char* name = nullptr;
    int ifindex = 0;
    if (sd_bus_path_decode(path, kLinkPrefix, &name) > 0)
        ifindex = std::atoi(name);
    free(name);
    return g_fake.links[ifindex];
}

int GetDns(sd_bus*, const char* path, const char*, const char*, sd_bus_message* reply, void*,
           sd_bus_error*) {
    int r = sd_bus_message_open_container(reply, 'a', "(iay)");
    for (const auto& server : LinkOf(path).dns) {
        if (r < 0 || (r = sd_bus_message_open_container(reply, 'r', "iay")) < 0 ||
            (r = sd_bus_message_append(reply, "i", server.first)) < 0 ||
            (r = sd_bus_message_append_array(reply, 'y', server.second.data(),
                                             server.second.size())) < 0 ||
            (r = sd_bus_message_close_container(reply)) < 0)
            return r;
    }
    return r < 0 ? r : sd_bus_message_close_container(reply);
}

int GetDomains(sd_bus*, const char* path, const char*, const char*, sd_bus_message* reply, void*,
               sd_bus_error*) {
    int r = sd_bus_message_open_container(reply, 'a', "(sb)");
    for (const auto& domain : LinkOf(path).domains) {
        if (r >= 0)
            r = sd_bus_message_append(reply, "(sb)", domain.first.c_str(), domain.second ? 1 : 0);
    }
    return r < 0 ? r : sd_bus_message_close_container(reply);
}

const sd_bus_vtable kManager[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_METHOD("SetLinkDNS", "ia(iay)", "", SetLinkDns, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("SetLinkDomains", "ia(sb)", "", SetLinkDomains, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("RevertLink", "i", "", RevertLink, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("GetLink", "i", "o", GetLink, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_VTABLE_END};

const sd_bus_vtable kLink[] = {
    SD_BUS_VTABLE_START(0), SD_BUS_PROPERTY("DNS", "a(iay)", GetDns, 0, 0),
    SD_BUS_PROPERTY("Domains", "a(sb)", GetDomains, 0, 0), SD_BUS_VTABLE_END};

bool AddInitial(const char* kind, const char* index, const char* value) {
    Link& link = g_fake.links[std::atoi(index)];
    if (std::strcmp(kind, "--domain") == 0) {
        const bool routeOnly = value[0] == '~';
        link.domains.push_back({value + (routeOnly ? 1 : 0), routeOnly});
        return true;
    }
    unsigned char bytes[16];
    if (inet_pton(AF_INET, value, bytes) == 1)
        link.dns.push_back({AF_INET, std::vector<uint8_t>(bytes, bytes + 4)});
    else if (inet_pton(AF_INET6, value, bytes) == 1)
        link.dns.push_back({AF_INET6, std::vector<uint8_t>(bytes, bytes + 16)});
    else
        return false;
    return true;
}

int Serve(const std::string& address, const std::string& ready) {
    sd_bus* bus = nullptr;
    int r = sd_bus_new(&bus);
    if (r >= 0 && (r = sd_bus_set_address(bus, address.c_str())) >= 0 &&
        (r = sd_bus_set_bus_client(bus, 1)) >= 0 && (r = sd_bus_start(bus)) >= 0 &&
        (r = sd_bus_add_object_vtable(bus, nullptr, kManagerPath,
                                      "org.freedesktop.resolve1.Manager", kManager, nullptr)) >=
            0 &&
        (r = sd_bus_add_fallback_vtable(bus, nullptr, kLinkPrefix, "org.freedesktop.resolve1.Link",
                                        kLink, nullptr, nullptr)) >= 0)
        r = sd_bus_request_name(bus, "org.freedesktop.resolve1", 0);
    if (r < 0) {
        std::fprintf(stderr, "fake-resolved: %s\n", std::strerror(-r));
        return 1;
    }
    if (!ready.empty())
        std::ofstream(ready) << getpid() << "\n";
    // Ends when the test kills it or the bus goes away.
    while ((r = sd_bus_process(bus, nullptr)) >= 0) {
        if (r == 0 && sd_bus_wait(bus, UINT64_MAX) < 0)
            break;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::string address;
    std::string ready;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--address" && i + 1 < argc)
            address = argv[++i];
        else if (arg == "--log" && i + 1 < argc)
            g_fake.log = argv[++i];
        else if (arg == "--ready" && i + 1 < argc)
            ready = argv[++i];
        else if (arg == "--refuse" && i + 1 < argc)
            g_fake.refuse = argv[++i];
        else if (arg == "--silent" && i + 1 < argc)
            g_fake.silent = argv[++i];
        else if ((arg == "--dns" || arg == "--domain") && i + 2 < argc &&
                 AddInitial(argv[i], argv[i + 1], argv[i + 2]))
            i += 2;
        else {
            std::fprintf(stderr, "fake-resolved: bad argument %s\n", argv[i]);
            return 64;
        }
    }
    return address.empty() || g_fake.log.empty() ? 64 : Serve(address, ready);
}
