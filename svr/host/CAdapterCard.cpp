#include "CAdapterCard.h"
#include "CUniqueFd.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <net/route.h>
#include <netinet/in.h>
#include <strings.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>

namespace {

// The adapter of the first default route of the IPv4 table: destination and mask 0, route up.
std::string FirstDefaultIPv4(std::istream& in) {
    std::string line;
    std::getline(in, line);  // column titles
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string iface, destination, gateway, mask, skip;
        unsigned int flags = 0;
        if (!(fields >> iface >> destination >> gateway >> std::hex >> flags >> std::dec))
            continue;
        if (!(fields >> skip >> skip >> skip >> mask))
            continue;
        if (destination == "00000000" && mask == "00000000" && (flags & RTF_UP))
            return iface;
    }
    return "";
}

// The same for the IPv6 table, which has no title line and lists the local table as well.
std::string FirstDefaultIPv6(std::istream& in) {
    const std::string zero(32, '0');
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string destination, prefix, source, sourcePrefix, nextHop, metric, ref, use, device;
        unsigned int flags = 0;
        if (!(fields >> destination >> prefix >> source >> sourcePrefix >> nextHop >> metric >>
              ref >> use >> std::hex >> flags >> std::dec >> device)) {
            continue;
        }
        if (destination != zero || prefix != "00" || device == "lo")
            continue;
        if ((flags & RTF_UP) && !(flags & RTF_REJECT))
            return device;
    }
    return "";
}

int ReportRoute(const std::string& name, CAutoString& out) {
    out = name.c_str();
    return name.empty() ? -1 : 0;
}

const char* Ipv6Kind(const in6_addr& a) {
    const uint8_t* b = a.s6_addr;
    if (IN6_IS_ADDR_MULTICAST(&a))
        return "IPv6 Multicast address: %s\n";
    if (IN6_IS_ADDR_LINKLOCAL(&a))
        return "IPv6 Unicast link-local address: %s\n";
    if (IN6_IS_ADDR_LOOPBACK(&a))
        return "IPv6 Loopback address: %s\n";
    if (IN6_IS_ADDR_UNSPECIFIED(&a))
        return "IPv6 Unspecified address: %s\n";
    if (IN6_IS_ADDR_SITELOCAL(&a))
        return "IPv6 Unicast site-local  address: %s\n";
    if (IN6_IS_ADDR_V4MAPPED(&a))
        return "IPv6 IPv4 mapped address: %s\n";
    static const uint8_t zero[12] = {};
    if (std::memcmp(b, zero, sizeof zero) == 0)
        return "IPv6 IPv4-compatible address: %s\n";
    return nullptr;  // global
}

void Trace(int line, const char* format, const char* value) {
    std::fprintf(stderr, "[%s,%s]:%d ", "CAdapterCard.cpp", "GetIPAddress", line);
    std::fprintf(stderr, format, value);
}

}  // namespace

int CAdapterCard::GetActiveCardName(CAutoString& net_name) {
    std::ifstream in(m_strRoute);
    return ReportRoute(in ? FirstDefaultIPv4(in) : "", net_name);
}

int CAdapterCard::GetActiveInterfaceNameIPv6(CAutoString& interface_name) {
    std::ifstream in(m_strRouteIPv6);
    return ReportRoute(in ? FirstDefaultIPv6(in) : "", interface_name);
}

int CAdapterCard::GetIpAndMac(CAutoString net_name, CAutoString& ipv4, CAutoString& mac) {
    if (net_name.IsEmpty() || net_name.GetLength() >= IFNAMSIZ)
        return -1;
    CUniqueFd fd(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (fd.get() < 0) {
        std::printf("%s:%d Open socket error!\n", __FILE__, __LINE__);
        return -1;
    }
    ifreq request{};
    std::memcpy(request.ifr_name, net_name.c_str(), net_name.GetLength());
    if (ioctl(fd.get(), SIOCGIFHWADDR, &request) != 0) {
        std::printf("SIOCGIFHWADDR IOCTL error!\n");
        return -1;
    }
    const auto* hw = reinterpret_cast<const unsigned char*>(request.ifr_hwaddr.sa_data);
    CAutoString macText;
    macText.Format("%02x-%02x-%02x-%02x-%02x-%02x", hw[0], hw[1], hw[2], hw[3], hw[4], hw[5]);
    if (ioctl(fd.get(), SIOCGIFADDR, &request) != 0) {
        std::printf("SIOCGIFADDR IOCTL error!\n");
        return -1;
    }
    sockaddr_in address{};
    std::memcpy(&address, &request.ifr_addr, sizeof address);
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &address.sin_addr, text, sizeof text);
    ipv4 = text;
    mac = macText;
    return 0;
}

int CAdapterCard::GetIPAddress(int /*nFamily*/, const CAutoString& strInterfaceName,
                               CAutoString& strIPAddress) {
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0)
        return -1;
    std::unique_ptr<ifaddrs, void (*)(ifaddrs*)> owner(list, freeifaddrs);
    for (const ifaddrs* entry = list; entry; entry = entry->ifa_next) {
        if (!entry->ifa_addr || !(entry->ifa_flags & IFF_UP))
            continue;
        if (strcasecmp(entry->ifa_name, strInterfaceName.c_str()) != 0)
            continue;
        Trace(__LINE__, "Interface name: %s\n", entry->ifa_name);
        char text[INET6_ADDRSTRLEN] = {};
        if (entry->ifa_addr->sa_family == AF_INET) {
            const auto* in4 = reinterpret_cast<const sockaddr_in*>(entry->ifa_addr);
            inet_ntop(AF_INET, &in4->sin_addr, text, sizeof text);
            Trace(__LINE__, "IPv4 Address: %s\n", text);
            continue;
        }
        if (entry->ifa_addr->sa_family != AF_INET6)
            continue;
        const auto* in6 = reinterpret_cast<const sockaddr_in6*>(entry->ifa_addr);
        inet_ntop(AF_INET6, &in6->sin6_addr, text, sizeof text);
        const char* kind = Ipv6Kind(in6->sin6_addr);
        Trace(__LINE__, kind ? kind : "IPv6 address: %s\n", text);
        if (!kind)
            strIPAddress = text;
    }
    return 0;
}

int CAdapterCard::GetHostName(CAutoString& hostName) {
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0) {
        std::perror("gethostname");
        return -1;
    }
    hostName = name;
    return 0;
}
