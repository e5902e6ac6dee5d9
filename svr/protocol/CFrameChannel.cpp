#include "CFrameChannel.h"

#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>

namespace {

int64_t nowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

int64_t deadlineFor(int timeoutMs) {
    return timeoutMs < 0 ? -1 : nowMs() + timeoutMs;
}

}  // namespace

bool CFrameChannel::waitReady(short events, int64_t deadlineMs) const {
    for (;;) {
        const int64_t left = deadlineMs - nowMs();
        if (left <= 0)
            return false;
        struct pollfd p = {m_fd.get(), events, 0};
        const int n = poll(&p, 1, static_cast<int>(left));
        if (n > 0)
            return true;  // readiness or an error condition: the next call tells which
        if (n < 0 && errno != EINTR)
            return true;
    }
}

CFrameChannel::Result CFrameChannel::writeAll(const char* data, size_t len, int timeoutMs,
                                              int64_t deadlineMs) {
    while (len > 0) {
        if (timeoutMs >= 0 && !waitReady(POLLOUT, deadlineMs))
            return kTimeout;
        // send with MSG_NOSIGNAL: a peer that is gone must not end this process with SIGPIPE.
        // Without a limit plain write is used, the one call the confined helper may make.
        const ssize_t n = timeoutMs >= 0 ? send(m_fd.get(), data, len, MSG_NOSIGNAL)
                                         : write(m_fd.get(), data, len);
        if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK))
            continue;
        if (n <= 0)
            return kClosed;
        data += n;
        len -= static_cast<size_t>(n);
    }
    return kOk;
}

CFrameChannel::Result CFrameChannel::readAll(char* data, size_t len, int timeoutMs,
                                             int64_t deadlineMs) {
    while (len > 0) {
        if (timeoutMs >= 0 && !waitReady(POLLIN, deadlineMs))
            return kTimeout;
        const ssize_t n = read(m_fd.get(), data, len);
        if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK))
            continue;
        if (n <= 0)
            return kClosed;
        data += n;
        len -= static_cast<size_t>(n);
    }
    return kOk;
}

CFrameChannel::Result CFrameChannel::Send(const std::string& payload, int timeoutMs) {
    if (m_fd.get() < 0)
        return kClosed;
    if (payload.size() > m_maxPayload)
        return kTooLarge;
    const int64_t deadline = deadlineFor(timeoutMs);
    const uint32_t len = static_cast<uint32_t>(payload.size());
    const char head[4] = {static_cast<char>(len & 0xff), static_cast<char>((len >> 8) & 0xff),
                          static_cast<char>((len >> 16) & 0xff),
                          static_cast<char>((len >> 24) & 0xff)};
    const Result r = writeAll(head, sizeof(head), timeoutMs, deadline);
    if (r != kOk)
        return r;
    return writeAll(payload.data(), payload.size(), timeoutMs, deadline);
}

CFrameChannel::Result CFrameChannel::Receive(std::string& payload, int timeoutMs) {
    payload.clear();
    if (m_fd.get() < 0)
        return kClosed;
    const int64_t deadline = deadlineFor(timeoutMs);
    unsigned char head[4];
    Result r = readAll(reinterpret_cast<char*>(head), sizeof(head), timeoutMs, deadline);
    if (r != kOk)
        return r;
    const uint32_t len = static_cast<uint32_t>(head[0]) | (static_cast<uint32_t>(head[1]) << 8) |
                         (static_cast<uint32_t>(head[2]) << 16) |
                         (static_cast<uint32_t>(head[3]) << 24);
    if (len > m_maxPayload)
        return kTooLarge;
    payload.resize(len);
    r = readAll(&payload[0], len, timeoutMs, deadline);
    if (r != kOk)
        payload.clear();
    return r;
}
