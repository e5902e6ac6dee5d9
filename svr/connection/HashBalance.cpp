#include "HashBalance.h"

#include <algorithm>
#include <cstring>
#include <string>

void HashBalance::SetIpList(const char* ips) {
    serverMap.clear();
    std::string rest = ips ? ips : "";
    for (size_t comma = rest.find(','); comma != std::string::npos; comma = rest.find(',')) {
        serverMap.emplace_back(rest.substr(0, comma));
        rest.erase(0, comma + 1);
    }
    // A lone one-byte remainder is not an address; it is what a trailing separator typo leaves.
    if (rest.size() > 1)
        serverMap.emplace_back(rest);
}

uint32_t HashBalance::hash_index(const char* str) {
    uint32_t h = 0;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(str ? str : ""); *p; ++p) {
        h = h * 31u + *p;
    }
    return h;
}

CAutoString HashBalance::getServer(const char* sourceIp) const {
    if (sourceIp == nullptr || *sourceIp == '\0' || serverMap.empty())
        return CAutoString("");
    return serverMap[hash_index(sourceIp) % serverMap.size()];
}

void HashBalance::deleteIp(const char* ip) {
    auto found = std::find_if(serverMap.begin(), serverMap.end(),
                              [ip](const CAutoString& entry) { return entry == ip; });
    if (found != serverMap.end())
        serverMap.erase(found);
}
