// INetConn: base of the service's network connections. It carries no data; its two enumerations
// are sent as decimal numbers in every connection-state message, so their values are fixed.
#pragma once

class INetConn {
public:
    // Kind of network a state message speaks of.
    enum ETYPE {
        ET_UNKNOWN = 0,  // a network this service did not log on
        ET_LAN = 1,
        ET_MODEM = 2,
        ET_PPPOE = 3,
        ET_WLANEHOME = 11,
        ET_WLANOTHER = 12,
        ET_WIFI = 21,
        ET_WIFIVPN = 22,
        ET_CDMA1X = 31,
        ET_CDMA3G = 32,
        ET_BLUETOOTH = 41,
        ET_PORTAL = 51,  // every message of the portal connection
    };

    // Connection state.
    enum ESTATE {
        ES_NONE = 0,
        ES_CONNECTING = 1,
        ES_CONNECTED = 2,
        ES_CONNECTFAIL = 3,
        ES_DISCONNECTING = 11,
        ES_DISCONNECTED = 12,
        ES_DISCONNECTFAIL = 13,
        ES_PREDISCONNECTED = 14,
        ES_CANCELING = 21,
        ES_CANCELED = 22,
        ES_PRECONNECTED = 31,  // portal found and ticket obtained: ready for login
        ES_PRECONNECTFAIL = 32,
        ES_PRECONNECTING = 33,  // detection, configuration or ticket in progress
    };

protected:
    // Not deleted through this base.
    ~INetConn() = default;
};
