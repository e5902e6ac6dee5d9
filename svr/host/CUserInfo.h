// CUserInfo: the installation's identity as the portal sees it: a client id, the machine's host
// name and the client version. Init establishes the three values once during start-up and
// publishes them in the information center, where the portal connection reads them.
//
// The client id is a time-based (version 1) UUID, created on the first start and kept as the
// local value "clientId", so it stays the same across restarts of the installation.
#pragma once

#include <cstdint>

#include "CAutoString.h"

class ISvrInfoCenter;

class CUserInfo {
public:
    // The fields of a time-based UUID while it is being made. data4 holds the node's low 32 bits
    // at bytes 0-3, its high 16 bits at bytes 4-5 and the clock sequence word at bytes 6-7, each
    // little-endian.
    struct _uuid_t {
        uint32_t data1 = 0;  // time low
        uint16_t data2 = 0;  // time mid
        uint16_t data3 = 0;  // time high and version
        unsigned char data4[8] = {};
    };

    // info: the store to read and publish in; null means the process's information center. Not
    // owned; it must outlive this object.
    explicit CUserInfo(ISvrInfoCenter* info = nullptr);

    // Fills the three values and publishes "clientId", "hostName" and "version" as values of the
    // running service, then stores "clientId" as a local value for the next start. Returns 1.
    int Init();

    // The stored id as it is, or a new one when none is stored or the stored one holds a
    // character that cannot go into a request header.
    CAutoString GetClientId();
    // The machine's host name; empty when it cannot be read.
    CAutoString GetHostName();
    // The version text, loaded from the local value "version" while still empty.
    CAutoString GetVersion();
    // A new id in text form: 36 lower-case characters, xxxxxxxx-xxxx-1xxx-Vxxx-xxxxxxxxxxxx with
    // V one of 8, 9, a, b.
    static CAutoString CreateClientId();

    // Makes a version 1 UUID. Ids made by one process never repeat, even within one clock tick.
    // Thread-safe.
    static void uuid_create(_uuid_t* uuid);
    // The text form of uuid, "%08lx-%04x-%04x-%04x-%04x%08lx".
    static CAutoString uuid_to_string(const _uuid_t* uuid);

    // True when text holds no control character (CR, LF and the others), so it can stand as
    // the value of a request header line.
    static bool FitsInHeader(const CAutoString& text);

private:
    ISvrInfoCenter* Info();

    ISvrInfoCenter* m_pInfoCenter;
    CAutoString m_clientId;
    CAutoString m_hostName;
    CAutoString m_version;
};
