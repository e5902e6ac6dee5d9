// Pipe read splitter: a stream cut into reads of arbitrary sizes must come out as the messages
// between its zero bytes, in order. Every message up to the bound is delivered whatever the cuts;
// a longer one may be delivered or dropped, but never glued to another, and the bytes held
// between reads never exceed the bound.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "CPipeSplitter.h"
#include "FuzzSupport.h"

using orvane_fuzz::Check;

namespace {

// Read sizes of 1..64 bytes from a small generator the fuzzer seeds, so it can steer the cuts.
class Cuts {
public:
    explicit Cuts(uint32_t seed) : m_state(seed | 1u) {}
    size_t Next() {
        m_state ^= m_state << 13;
        m_state ^= m_state >> 17;
        m_state ^= m_state << 5;
        return 1 + m_state % 64;
    }

private:
    uint32_t m_state;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2)
        return 0;
    const size_t bound = 4 + data[0] % 48;
    Cuts cuts(data[1]);
    const std::string stream(reinterpret_cast<const char*>(data) + 2, size - 2);

    CPipeSplitter splitter(bound);
    std::vector<std::string> got;
    const CPipeSplitter::Deliver deliver = [&got](CAutoString message) {
        got.emplace_back(message.c_str(), static_cast<size_t>(message.GetLength()));
    };
    for (size_t at = 0; at < stream.size();) {
        const size_t len = std::min(cuts.Next(), stream.size() - at);
        splitter.Feed(stream.data() + at, len, deliver);
        at += len;
        Check(splitter.Pending() <= bound);
    }

    // Walk the complete messages of the stream alongside what was delivered.
    size_t next = 0;
    size_t start = 0;
    for (size_t i = 0; i < stream.size(); ++i) {
        if (stream[i] != '\0')
            continue;
        const std::string message = stream.substr(start, i - start);
        start = i + 1;
        if (next < got.size() && got[next] == message)
            ++next;
        else
            Check(message.size() > bound);  // only an oversize message may go missing
    }
    Check(next == got.size());  // nothing delivered that the stream did not hold, in this order
    // What is left is the unterminated tail (or nothing while an oversize one is dropped).
    Check(splitter.IsDiscarding() || splitter.Pending() == stream.size() - start);
    splitter.Reset();
    Check(splitter.Pending() == 0 && !splitter.IsDiscarding());
    return 0;
}
