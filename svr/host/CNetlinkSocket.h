// CNetlinkSocket: one rtnetlink (NETLINK_ROUTE) socket, either for requests (dumps of the route,
// link and address tables) or subscribed to the kernel's change notifications.
//
// The socket belongs to the network namespace of the thread that opened it, whichever thread uses
// it later. Only messages sent by the kernel are accepted; each read is sized to the datagram it
// reads, so no message is ever cut. One object is used by one thread at a time.
#pragma once

#include <linux/netlink.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "CUniqueFd.h"

class CNetlinkSocket {
public:
    enum class DumpResult { kOk, kInterrupted, kFailed };
    // Called with each well-formed message of an answer; its length was checked by NLMSG_OK.
    using Visitor = std::function<void(const nlmsghdr& message)>;

    CNetlinkSocket() = default;
    CNetlinkSocket(const CNetlinkSocket&) = delete;
    CNetlinkSocket& operator=(const CNetlinkSocket&) = delete;

    // Opens and binds the socket; groups is a mask of RTMGRP_* (0 for a request socket). False
    // with the reason in *error when the kernel refuses.
    bool Open(uint32_t groups, std::string* error);
    int fd() const { return m_fd.get(); }
    void Close() { m_fd.Close(); }

    // Asks for the whole table of type (RTM_GETROUTE, RTM_GETLINK, RTM_GETADDR) of family and
    // hands every message of the answer to visit. kInterrupted: the table changed during the
    // dump (what was visited is inconsistent, ask again); kFailed: an error answer, a socket
    // error, or no complete answer within timeout (reason in *error).
    DumpResult Dump(uint16_t type, uint8_t family, const Visitor& visit,
                    std::chrono::milliseconds timeout, std::string* error);

    // Reads every datagram already queued, without waiting. Returns the number of well-formed
    // messages read; *overrun is set when the kernel dropped notifications for want of room
    // (ENOBUFS), after which only a fresh dump tells the truth.
    int Drain(bool* overrun);

private:
    // Receives one datagram from the kernel into buffer; 1 done, 0 nothing queued (EAGAIN), -1
    // error (errno kept). Datagrams from anyone but the kernel are dropped and reported as 0.
    int ReceiveOne(std::vector<char>& buffer);
    bool SendDumpRequest(uint16_t type, uint8_t family, uint32_t seq);
    // Visits the messages of one answer datagram; true once the dump's end (or error) is seen.
    bool VisitAnswer(const std::vector<char>& buffer, uint32_t seq, const Visitor& visit,
                     DumpResult* result, std::string* error);

    CUniqueFd m_fd;
    uint32_t m_portId = 0;
    uint32_t m_seq = 0;
};
