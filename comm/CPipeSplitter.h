// CPipeSplitter: cuts the byte stream read from a pipe into zero-terminated messages.
//
// Reads end anywhere: inside a message, right after its zero byte, or after several messages. The
// splitter keeps the beginning of an unfinished message until the rest arrives. A message that
// grows past the bound without a zero byte is dropped (with a printed line) up to its zero byte,
// so a peer that never terminates cannot make memory grow. One reader thread at a time.
#pragma once

#include <cstddef>
#include <functional>
#include <string>

#include "CAutoString.h"

class CPipeSplitter {
public:
    using Deliver = std::function<void(CAutoString message)>;

    explicit CPipeSplitter(size_t maxMessage) : m_maxMessage(maxMessage) {}

    // Splits freshly read bytes; each message completed by them goes to deliver, in order.
    void Feed(const char* data, size_t len, const Deliver& deliver);
    // Forgets an unfinished message and leaves a dropping state: the next byte starts a new
    // message. Returns the number of bytes forgotten.
    size_t Reset();
    // Bytes of an unfinished message held for the next read.
    size_t Pending() const { return m_partial.size(); }
    // True while the rest of an oversize message is being dropped.
    bool IsDiscarding() const { return m_bDiscarding; }

private:
    size_t m_maxMessage;
    std::string m_partial;       // bytes of a message not yet terminated
    bool m_bDiscarding = false;  // dropping an oversize message up to its zero byte
};
