// CFrameChannel: length-prefixed messages over one stream socket.
//
// A frame is a 4-byte little-endian payload length followed by the payload. The channel owns its
// descriptor. A length above the channel's cap is refused as soon as the 4 bytes are read, before
// anything is allocated, so a peer cannot make the reader hold more than the cap.
//
// With a time limit (milliseconds >= 0) the descriptor must be non-blocking: the channel waits
// with poll and gives up when the limit has passed. With -1 it reads and writes blocking and calls
// nothing but read and write, which is what a process under a tight system-call filter can do.
// Not thread-safe: one caller at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "CUniqueFd.h"

class CFrameChannel {
public:
    enum Result {
        kOk = 0,
        kClosed = -1,    // end of stream, a broken socket or a frame cut short
        kTimeout = -2,   // the limit passed before the whole frame moved
        kTooLarge = -3,  // the frame's length is above the cap (nothing more is read or written)
    };

    CFrameChannel(int fd, uint32_t maxPayload) : m_fd(fd), m_maxPayload(maxPayload) {}
    CFrameChannel(const CFrameChannel&) = delete;
    CFrameChannel& operator=(const CFrameChannel&) = delete;

    // Sends one frame within timeoutMs (-1: no limit).
    Result Send(const std::string& payload, int timeoutMs);
    // Receives one frame into payload within timeoutMs (-1: no limit). On a failure payload is
    // left empty and the stream is out of step: the caller drops the channel.
    Result Receive(std::string& payload, int timeoutMs);

    int fd() const { return m_fd.get(); }
    uint32_t maxPayload() const { return m_maxPayload; }

private:
    Result writeAll(const char* data, size_t len, int timeoutMs, int64_t deadlineMs);
    Result readAll(char* data, size_t len, int timeoutMs, int64_t deadlineMs);
    // Waits until the descriptor is ready for events; false when the deadline passed first.
    bool waitReady(short events, int64_t deadlineMs) const;

    CUniqueFd m_fd;
    uint32_t m_maxPayload;
};
