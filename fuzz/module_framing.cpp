// The algorithm module helper's message framing: a 4-byte little-endian length, then the payload.
// Input: a byte choosing the cap and the mode, then either the raw byte stream one side reads
// (checked against a plain reading of the same bytes) or payloads separated by zero bytes that
// one side sends and the other receives. Runs over a socket pair; no process is started.
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "CFrameChannel.h"
#include "FuzzSupport.h"

using orvane_fuzz::Check;
using orvane_fuzz::TakePiece;

namespace {

const int kLimitMs = 1000;

struct Pair {
    int fd[2] = {-1, -1};
    Pair() { Check(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, fd) == 0); }
};

uint32_t LengthAt(const std::string& s, size_t at) {
    return static_cast<uint32_t>(static_cast<unsigned char>(s[at])) |
           static_cast<uint32_t>(static_cast<unsigned char>(s[at + 1])) << 8 |
           static_cast<uint32_t>(static_cast<unsigned char>(s[at + 2])) << 16 |
           static_cast<uint32_t>(static_cast<unsigned char>(s[at + 3])) << 24;
}

// The reader sees exactly the frames a plain reading finds, then the one failure that ends them.
void ReadStream(const std::string& stream, uint32_t cap) {
    Pair pair;
    Check(write(pair.fd[0], stream.data(), stream.size()) == static_cast<ssize_t>(stream.size()));
    close(pair.fd[0]);
    CFrameChannel reader(pair.fd[1], cap);
    size_t at = 0;
    for (;;) {
        std::string payload("stale");
        const CFrameChannel::Result got = reader.Receive(payload, kLimitMs);
        if (stream.size() - at < 4) {
            Check(got == CFrameChannel::kClosed && payload.empty());
            return;
        }
        const uint32_t len = LengthAt(stream, at);
        if (len > cap) {
            Check(got == CFrameChannel::kTooLarge && payload.empty());
            return;
        }
        if (stream.size() - at - 4 < len) {
            Check(got == CFrameChannel::kClosed && payload.empty());
            return;
        }
        Check(got == CFrameChannel::kOk && payload == stream.substr(at + 4, len));
        at += 4 + len;
    }
}

// Whatever is sent within the cap arrives unchanged; a payload above it is refused unsent.
void RoundTrip(const uint8_t* data, size_t size, uint32_t cap) {
    Pair pair;
    CFrameChannel writer(pair.fd[0], cap);
    CFrameChannel reader(pair.fd[1], cap);
    while (size > 0) {
        const std::string payload = TakePiece(data, size);
        if (payload.size() > cap) {
            Check(writer.Send(payload, kLimitMs) == CFrameChannel::kTooLarge);
            continue;
        }
        Check(writer.Send(payload, kLimitMs) == CFrameChannel::kOk);
        std::string got;
        Check(reader.Receive(got, kLimitMs) == CFrameChannel::kOk && got == payload);
    }
    // Nothing is left over in the stream: the reader now times out rather than finding a frame.
    std::string rest;
    Check(reader.Receive(rest, 0) == CFrameChannel::kTimeout && rest.empty());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0 || size > 65536)
        return 0;
    const uint32_t cap = data[0] >> 1;  // small caps, so the fuzzer reaches them easily
    const bool stream = data[0] & 1;
    ++data;
    --size;
    if (stream)
        ReadStream(std::string(reinterpret_cast<const char*>(data), size), cap);
    else
        RoundTrip(data, size, cap);
    return 0;
}
