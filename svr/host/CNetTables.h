// CNetTables: reads the kernel's link, route and address tables over a netlink request socket and
// derives from them the network the machine uses.
//
// The default route is the lowest-metric unicast route to everywhere in the main IPv4 table, or,
// when IPv4 has none, in the main IPv6 table; routes through the loopback card do not count. Its
// card is up when it is administratively up and has carrier. Every attribute is checked against
// the length of its message before it is read; messages that do not fit are skipped.
#pragma once

#include <string>

#include "CNetWatch.h"
#include "CNetlinkSocket.h"

class CNetTables {
public:
    // Fills *snapshot from the tables; a table that changes while it is read is read again, a few
    // times. False with the reason in *error when the tables cannot be read consistently.
    static bool Read(CNetlinkSocket& requests, CNetWatch::Snapshot* snapshot, std::string* error);

private:
    static CNetlinkSocket::DumpResult ReadOnce(CNetlinkSocket& requests,
                                               CNetWatch::Snapshot* snapshot, std::string* error);
};
