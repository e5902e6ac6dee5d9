// CPortalConn: the service's one portal connection. It owns the portal configuration record and
// the connection state, and carries out the HTTP conversations with the portal.
//
// All operations run on the Portal work thread unless noted.
#pragma once

#include <cstdint>

#include "CAuthConfig.h"
#include "CAutoString.h"
#include "CPortalParser.h"
#include "INetConn.h"

class CPortalConn : public INetConn {
public:
    CPortalConn() = default;
    ~CPortalConn();
    // Owns the configuration record through a raw pointer handed to the parser by reference.
    CPortalConn(const CPortalConn&) = delete;
    CPortalConn& operator=(const CPortalConn&) = delete;

    ESTATE GetNetState() const { return m_eState; }

    // The one place where the state changes. A PRECONNECTING report does not displace
    // CONNECTED or PRECONNECTED.
    void NetStateChange(ESTATE eStateOld, ESTATE eStateNew, int iErrorcode, CAutoString subErrCode);
    // Remembers a plain state message as the last one for a client that connects later.
    void PostNetStateMessage(ESTATE eStateOld, ESTATE eStateNew, int iErrorcode,
                             CAutoString subErrCode);

    // Header lines for a coded request body, from the configuration record (all texts empty while
    // there is none) and the body's checksum.
    CAutoString GetRequestHead(const CAutoString& body);
    // MD5 of the coded body up to its terminator, as 32 lower-case hexadecimal digits.
    CAutoString GetMD5FromPostData(const CAutoString& body);

    // Announces the algorithm renewal (30000104), then stores the answer's body as the new
    // container: 1 success, -1 refused or file error, 0 empty body.
    template <class HttpData>
    int32_t UpdateAlgoid(const HttpData* pData) {
        NetStateChange(ES_PRECONNECTING, ES_PRECONNECTING, 30000104, CAutoString(""));
        return m_portalParse.UpdateAlgoid(pData);
    }

private:
    friend class CPortalConnTestAccess;  // lets the unit tests install a configuration record

    CPortalParser m_portalParse;
    ESTATE m_eState = ES_NONE;
    ESTATE m_lastState = ES_NONE;
    ESTATE m_lastOldState = ES_NONE;
    int32_t m_lastErrorcode = 0;
    CAutoString m_lastSubErrCode;
    int32_t m_lastErrType = -1;            // -1 none yet, 0 plain, 1 extended
    CAuthConfig* m_pPortalConf = nullptr;  // owned
};
