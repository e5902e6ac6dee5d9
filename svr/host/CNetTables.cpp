#include "CNetTables.h"

#include <arpa/inet.h>
#include <linux/if.h>
#include <linux/if_addr.h>
#include <linux/rtnetlink.h>

#include <cstdint>
#include <cstring>
#include <map>
#include <optional>

namespace {

using DumpResult = CNetlinkSocket::DumpResult;

// Time one dump may take before the reading counts as failed.
constexpr std::chrono::milliseconds kDumpTimeout(2000);
constexpr int kReadAttempts = 3;

struct Link {
    std::string name;
    unsigned flags = 0;
};
using Links = std::map<int, Link>;

struct Route {
    int ifindex = 0;
    uint32_t metric = 0;
};

struct AddressPick {
    std::string ip4;
    std::string ip6;
    int ip6Rank = 0;  // 0: none yet; higher is better
};

// The fixed header T of message h, with its attributes; nullptr when h is too short for T.
template <class T>
const T* Body(const nlmsghdr& h, const rtattr** attributes, int* length) {
    if (h.nlmsg_len < NLMSG_SPACE(sizeof(T)))
        return nullptr;
    const char* body = static_cast<const char*>(NLMSG_DATA(&h));
    *attributes = reinterpret_cast<const rtattr*>(body + NLMSG_ALIGN(sizeof(T)));
    *length = static_cast<int>(h.nlmsg_len - NLMSG_SPACE(sizeof(T)));
    return reinterpret_cast<const T*>(body);
}

template <class Visit>
void ForEachAttribute(const rtattr* first, int length, Visit visit) {
    for (const rtattr* a = first; RTA_OK(a, length); a = RTA_NEXT(a, length))
        visit(*a);
}

size_t PayloadSize(const rtattr& a) {
    return static_cast<size_t>(RTA_PAYLOAD(&a));
}

const char* Payload(const rtattr& a) {
    return static_cast<const char*>(RTA_DATA(&a));
}

bool ReadU32(const rtattr& a, uint32_t* value) {
    if (PayloadSize(a) < sizeof *value)
        return false;
    std::memcpy(value, Payload(a), sizeof *value);
    return true;
}

// The address in attribute a as text; "" when its size does not match the family.
std::string AddressText(int family, const rtattr* a) {
    const size_t size = family == AF_INET ? 4 : 16;
    char text[INET6_ADDRSTRLEN] = "";
    if (a == nullptr || PayloadSize(*a) != size ||
        inet_ntop(family, Payload(*a), text, sizeof text) == nullptr)
        return "";
    return text;
}

void ParseLink(const nlmsghdr& h, Links* links) {
    const rtattr* attributes = nullptr;
    int length = 0;
    const auto* info = Body<ifinfomsg>(h, &attributes, &length);
    if (h.nlmsg_type != RTM_NEWLINK || info == nullptr)
        return;
    Link link;
    link.flags = info->ifi_flags;
    ForEachAttribute(attributes, length, [&](const rtattr& a) {
        if (a.rta_type == IFLA_IFNAME)
            link.name.assign(Payload(a), strnlen(Payload(a), PayloadSize(a)));
    });
    if (!link.name.empty())
        (*links)[info->ifi_index] = link;
}

// The card of a multipath route: its first hop's.
int FirstHopCard(const rtattr& a) {
    if (PayloadSize(a) < sizeof(rtnexthop))
        return 0;
    const auto* hop = reinterpret_cast<const rtnexthop*>(Payload(a));
    return hop->rtnh_len >= sizeof(rtnexthop) && hop->rtnh_len <= PayloadSize(a) ? hop->rtnh_ifindex
                                                                                 : 0;
}

void ParseRoute(const nlmsghdr& h, const Links& links, std::optional<Route>* best) {
    const rtattr* attributes = nullptr;
    int length = 0;
    const auto* rt = Body<rtmsg>(h, &attributes, &length);
    if (h.nlmsg_type != RTM_NEWROUTE || rt == nullptr || rt->rtm_dst_len != 0 ||
        rt->rtm_type != RTN_UNICAST)
        return;
    uint32_t table = rt->rtm_table;
    uint32_t card = 0;
    Route route;
    ForEachAttribute(attributes, length, [&](const rtattr& a) {
        if (a.rta_type == RTA_TABLE)
            ReadU32(a, &table);
        else if (a.rta_type == RTA_OIF)
            ReadU32(a, &card);
        else if (a.rta_type == RTA_PRIORITY)
            ReadU32(a, &route.metric);
        else if (a.rta_type == RTA_MULTIPATH && card == 0)
            card = static_cast<uint32_t>(FirstHopCard(a));
    });
    route.ifindex = static_cast<int>(card);
    const auto link = links.find(route.ifindex);
    if (table != RT_TABLE_MAIN || route.ifindex <= 0 ||
        (link != links.end() && (link->second.flags & IFF_LOOPBACK) != 0))
        return;
    if (!*best || route.metric < (*best)->metric)
        *best = route;
}

// Stable before temporary (privacy) addresses, and fresh before deprecated ones, so the
// address chosen does not change each time a temporary one is renewed.
int Ip6Rank(uint32_t flags) {
    return 4 - ((flags & IFA_F_DEPRECATED) != 0 ? 2 : 0) - ((flags & IFA_F_TEMPORARY) != 0 ? 1 : 0);
}

void ParseAddress(const nlmsghdr& h, int ifindex, AddressPick* pick) {
    const rtattr* attributes = nullptr;
    int length = 0;
    const auto* ifa = Body<ifaddrmsg>(h, &attributes, &length);
    if (h.nlmsg_type != RTM_NEWADDR || ifa == nullptr ||
        static_cast<int>(ifa->ifa_index) != ifindex)
        return;
    uint32_t flags = ifa->ifa_flags;
    const rtattr* local = nullptr;
    const rtattr* address = nullptr;
    ForEachAttribute(attributes, length, [&](const rtattr& a) {
        if (a.rta_type == IFA_FLAGS)
            ReadU32(a, &flags);
        else if (a.rta_type == IFA_LOCAL)
            local = &a;
        else if (a.rta_type == IFA_ADDRESS)
            address = &a;
    });
    if (ifa->ifa_family == AF_INET && pick->ip4.empty()) {
        // On a point-to-point card IFA_ADDRESS is the peer; IFA_LOCAL is always the own one.
        pick->ip4 = AddressText(AF_INET, local != nullptr ? local : address);
        return;
    }
    const int rank = Ip6Rank(flags);
    if (ifa->ifa_family != AF_INET6 || ifa->ifa_scope != RT_SCOPE_UNIVERSE ||
        (flags & (IFA_F_TENTATIVE | IFA_F_DADFAILED)) != 0 || rank <= pick->ip6Rank)
        return;
    const std::string text = AddressText(AF_INET6, address);
    if (!text.empty()) {
        pick->ip6 = text;
        pick->ip6Rank = rank;
    }
}

// Folds two dump results: the worse one wins.
DumpResult Worse(DumpResult a, DumpResult b) {
    return static_cast<int>(a) > static_cast<int>(b) ? a : b;
}

DumpResult DefaultRoute(CNetlinkSocket& requests, const Links& links, std::optional<Route>* best,
                        std::string* error) {
    DumpResult result = DumpResult::kOk;
    for (uint8_t family : {AF_INET, AF_INET6}) {
        result = Worse(result, requests.Dump(
                                   RTM_GETROUTE, family,
                                   [&](const nlmsghdr& h) { ParseRoute(h, links, best); },
                                   kDumpTimeout, error));
        if (result == DumpResult::kFailed || *best)
            break;
    }
    return result;
}

}  // namespace

bool CNetTables::Read(CNetlinkSocket& requests, CNetWatch::Snapshot* snapshot, std::string* error) {
    for (int attempt = 0; attempt < kReadAttempts; ++attempt) {
        *snapshot = CNetWatch::Snapshot();
        const DumpResult result = ReadOnce(requests, snapshot, error);
        if (result != DumpResult::kInterrupted)
            return result == DumpResult::kOk;
    }
    *snapshot = CNetWatch::Snapshot();
    if (error != nullptr)
        *error = "the network tables kept changing while they were read";
    return false;
}

DumpResult CNetTables::ReadOnce(CNetlinkSocket& requests, CNetWatch::Snapshot* snapshot,
                                std::string* error) {
    Links links;
    DumpResult result = requests.Dump(
        RTM_GETLINK, AF_UNSPEC, [&](const nlmsghdr& h) { ParseLink(h, &links); }, kDumpTimeout,
        error);
    std::optional<Route> route;
    if (result != DumpResult::kFailed)
        result = Worse(result, DefaultRoute(requests, links, &route, error));
    if (result == DumpResult::kFailed || !route)
        return result;
    const auto link = links.find(route->ifindex);
    if (link == links.end())
        return DumpResult::kInterrupted;  // the card went away between the two dumps
    snapshot->card = link->second.name;
    snapshot->ifindex = route->ifindex;
    snapshot->up = (link->second.flags & IFF_UP) != 0 && (link->second.flags & IFF_LOWER_UP) != 0;
    AddressPick pick;
    result = Worse(result, requests.Dump(
                               RTM_GETADDR, AF_UNSPEC,
                               [&](const nlmsghdr& h) { ParseAddress(h, route->ifindex, &pick); },
                               kDumpTimeout, error));
    snapshot->ip4 = pick.ip4;
    snapshot->ip6 = pick.ip6;
    return result;
}
