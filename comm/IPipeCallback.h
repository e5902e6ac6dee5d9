// IPipeCallback: the receiver of the messages that arrive on a pipe transport.
#pragma once

#include "CAutoString.h"

class IPipeCallback {
public:
    virtual ~IPipeCallback() = default;
    // Called on the transport's message thread, one message at a time and in arrival order.
    // The message is the text between two zero bytes of the stream (it may be empty).
    virtual void DoWorkOnPipe(CAutoString message) = 0;
};
