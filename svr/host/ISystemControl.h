// ISystemControl: the host facts the service needs, one implementation per distribution
// family (see CSystemControlAdapter). Used by one thread at a time.
#pragma once

class ISystemControl {
public:
    // Non-zero when this machine forwards IP packets (the last known value when it cannot be
    // read; forwarding counts as on until the first successful read).
    virtual int NetworkEnableIpForwarding() = 0;
    // Bytes sent and received by the adapter of the IPv4 default route. 0 on success (with the
    // previous counters, zeros at first, when there is no default route); -1 when the counters
    // cannot be read, the outputs then untouched.
    virtual int NetworkTrafficStatistics(unsigned long& transmitted, unsigned long& received) = 0;
    // Destroys the object; the pointer must not be used afterwards.
    virtual void Release() = 0;

protected:
    virtual ~ISystemControl() = default;
};
