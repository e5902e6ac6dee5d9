// HashBalance: the portal servers of one address family, and the choice of one for this client.
//
// The server for a client is picked by a hash of the client's own address, so every client of a
// cluster keeps talking to the same server while it answers. A server that failed is removed, so
// the next choice for the same client falls on another one. Not thread-safe: the owner guards it.
#pragma once

#include "CAutoString.h"

#include <cstdint>
#include <vector>

class HashBalance {
public:
    // Replaces the list with the entries of a comma-separated text. Every text before a comma is an
    // entry (an empty one too); the rest after the last comma only when longer than one byte.
    void SetIpList(const char* ips);
    size_t Size() const { return serverMap.size(); }
    // h = h * 31 + byte over the unsigned bytes, modulo 2^32.
    static uint32_t hash_index(const char* str);
    // The entry at hash(sourceIp) mod size; empty when sourceIp or the list is empty.
    CAutoString getServer(const char* sourceIp) const;
    // Removes the first entry equal to ip, if any.
    void deleteIp(const char* ip);

    std::vector<CAutoString> serverMap;
};
