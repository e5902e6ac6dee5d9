#include "CNetlinkSocket.h"

#include <errno.h>
#include <linux/if_addr.h>
#include <linux/rtnetlink.h>
#include <poll.h>
#include <sys/socket.h>

#include <cstring>

namespace {

// Datagrams read by one Drain: a flood must not keep the caller from its other work.
constexpr int kMaxDrainDatagrams = 256;
// Room for a burst of notifications (a card going away withdraws its addresses and routes at
// once); the kernel may cap it lower, which only makes an overrun (and a fresh dump) likelier.
constexpr int kNotificationBufferBytes = 1 << 20;

bool Fail(std::string* error, const std::string& what) {
    if (error != nullptr)
        *error = what + ": " + std::strerror(errno);
    return false;
}

bool Interrupted() {
    return errno == EINTR;
}

// NLMSG_OK without the mixed-sign comparison of its expansion, which clang rejects: a whole
// header fits in what is left and the message does not claim more than that.
bool MessageFits(const nlmsghdr* h, int left) {
    return left >= static_cast<int>(sizeof(nlmsghdr)) && h->nlmsg_len >= sizeof(nlmsghdr) &&
           h->nlmsg_len <= static_cast<unsigned>(left);
}

}  // namespace

bool CNetlinkSocket::Open(uint32_t groups, std::string* error) {
    m_fd.Reset(socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_ROUTE));
    if (m_fd.get() < 0)
        return Fail(error, "cannot open a netlink socket");
    if (groups != 0) {
        // Best effort: the default buffer works too, only overruns sooner.
        setsockopt(m_fd.get(), SOL_SOCKET, SO_RCVBUF, &kNotificationBufferBytes,
                   sizeof kNotificationBufferBytes);
    }
    sockaddr_nl local{};
    local.nl_family = AF_NETLINK;
    local.nl_groups = groups;
    if (bind(m_fd.get(), reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
        m_fd.Close();
        return Fail(error, "cannot bind the netlink socket");
    }
    socklen_t length = sizeof local;
    if (getsockname(m_fd.get(), reinterpret_cast<sockaddr*>(&local), &length) != 0 ||
        length != sizeof local) {
        m_fd.Close();
        return Fail(error, "cannot learn the netlink socket's port");
    }
    m_portId = local.nl_pid;
    return true;
}

bool CNetlinkSocket::SendDumpRequest(uint16_t type, uint8_t family, uint32_t seq) {
    struct {
        nlmsghdr header;
        union {
            ifinfomsg link;
            ifaddrmsg address;
            rtmsg route;
        } body;
    } request{};
    // The kernel checks the request's header against the table asked for.
    const size_t bodySize = type == RTM_GETLINK   ? sizeof request.body.link
                            : type == RTM_GETADDR ? sizeof request.body.address
                                                  : sizeof request.body.route;
    request.header.nlmsg_len = NLMSG_LENGTH(bodySize);
    request.header.nlmsg_type = type;
    request.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    request.header.nlmsg_seq = seq;
    request.header.nlmsg_pid = m_portId;
    // The family is the first byte of each of the three headers.
    request.body.route.rtm_family = family;
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    ssize_t sent;
    do {
        sent = sendto(m_fd.get(), &request, request.header.nlmsg_len, 0,
                      reinterpret_cast<const sockaddr*>(&kernel), sizeof kernel);
    } while (sent < 0 && Interrupted());
    return sent == static_cast<ssize_t>(request.header.nlmsg_len);
}

int CNetlinkSocket::ReceiveOne(std::vector<char>& buffer) {
    // The real size of the next datagram, so the read below takes it whole.
    const ssize_t size = recv(m_fd.get(), nullptr, 0, MSG_PEEK | MSG_TRUNC | MSG_DONTWAIT);
    if (size < 0)
        return errno == EAGAIN || errno == EWOULDBLOCK ? 0 : -1;
    buffer.resize(size > 0 ? static_cast<size_t>(size) : 1);
    sockaddr_nl from{};
    iovec part{buffer.data(), buffer.size()};
    msghdr message{};
    message.msg_name = &from;
    message.msg_namelen = sizeof from;
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    const ssize_t got = recvmsg(m_fd.get(), &message, MSG_DONTWAIT);
    if (got < 0)
        return errno == EAGAIN || errno == EWOULDBLOCK ? 0 : -1;
    buffer.resize(static_cast<size_t>(got));
    // Only the kernel speaks for the tables; a cut datagram cannot be trusted to the end.
    if ((message.msg_flags & MSG_TRUNC) != 0 || message.msg_namelen != sizeof from ||
        from.nl_pid != 0) {
        buffer.clear();
    }
    return 1;
}

bool CNetlinkSocket::VisitAnswer(const std::vector<char>& buffer, uint32_t seq,
                                 const Visitor& visit, DumpResult* result, std::string* error) {
    int left = static_cast<int>(buffer.size());
    for (auto* h = reinterpret_cast<const nlmsghdr*>(buffer.data()); MessageFits(h, left);
         h = NLMSG_NEXT(h, left)) {
        if (h->nlmsg_seq != seq || h->nlmsg_pid != m_portId)
            continue;  // the late answer of an earlier request that timed out
        if ((h->nlmsg_flags & NLM_F_DUMP_INTR) != 0)
            *result = DumpResult::kInterrupted;
        if (h->nlmsg_type == NLMSG_DONE)
            return true;
        if (h->nlmsg_type == NLMSG_ERROR) {
            int code = 0;
            if (h->nlmsg_len >= NLMSG_LENGTH(sizeof(nlmsgerr)))
                code = reinterpret_cast<const nlmsgerr*>(NLMSG_DATA(h))->error;
            if (error != nullptr)
                *error = std::string("the kernel refused the dump: ") + std::strerror(-code);
            *result = DumpResult::kFailed;
            return true;
        }
        visit(*h);
    }
    return false;
}

CNetlinkSocket::DumpResult CNetlinkSocket::Dump(uint16_t type, uint8_t family, const Visitor& visit,
                                                std::chrono::milliseconds timeout,
                                                std::string* error) {
    using Clock = std::chrono::steady_clock;
    const uint32_t seq = ++m_seq;
    if (m_fd.get() < 0 || !SendDumpRequest(type, family, seq)) {
        Fail(error, "cannot send a netlink dump request");
        return DumpResult::kFailed;
    }
    const Clock::time_point deadline = Clock::now() + timeout;
    std::vector<char> buffer;
    DumpResult result = DumpResult::kOk;
    for (;;) {
        const int got = ReceiveOne(buffer);
        if (got < 0 && !Interrupted()) {
            Fail(error, "cannot read the netlink dump");
            return DumpResult::kFailed;
        }
        if (got > 0 && VisitAnswer(buffer, seq, visit, &result, error))
            return result;
        if (got != 0)
            continue;
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        pollfd ready{m_fd.get(), POLLIN, 0};
        if (left.count() <= 0 ||
            (poll(&ready, 1, static_cast<int>(left.count())) < 0 && !Interrupted())) {
            if (error != nullptr)
                *error =
                    "no complete netlink dump within " + std::to_string(timeout.count()) + " ms";
            return DumpResult::kFailed;
        }
    }
}

int CNetlinkSocket::Drain(bool* overrun) {
    int messages = 0;
    std::vector<char> buffer;
    for (int datagram = 0; datagram < kMaxDrainDatagrams; ++datagram) {
        const int got = ReceiveOne(buffer);
        if (got == 0)
            break;
        if (got < 0) {
            if (errno == ENOBUFS)
                *overrun = true;
            else if (!Interrupted())
                break;
            continue;
        }
        int left = static_cast<int>(buffer.size());
        for (auto* h = reinterpret_cast<const nlmsghdr*>(buffer.data()); MessageFits(h, left);
             h = NLMSG_NEXT(h, left)) {
            ++messages;
        }
    }
    return messages;
}
