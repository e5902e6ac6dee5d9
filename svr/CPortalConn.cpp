#include "CPortalConn.h"

#include <cstring>

#include "CMD5.h"

CPortalConn::~CPortalConn() {
    delete m_pPortalConf;
}

void CPortalConn::NetStateChange(ESTATE eStateOld, ESTATE eStateNew, int iErrorcode,
                                 CAutoString subErrCode) {
    if ((m_eState == ES_CONNECTED || m_eState == ES_PRECONNECTED) && eStateNew == ES_PRECONNECTING)
        return;
    m_eState = eStateNew;
    switch (eStateNew) {
        case ES_CONNECTING:
        case ES_PRECONNECTED:
        case ES_CONNECTED:
        case ES_CONNECTFAIL:
        case ES_DISCONNECTED:
        case ES_PRECONNECTFAIL:
        case ES_PRECONNECTING:
            PostNetStateMessage(eStateOld, eStateNew, iErrorcode, subErrCode);
            break;
        default:
            break;
    }
}

void CPortalConn::PostNetStateMessage(ESTATE eStateOld, ESTATE eStateNew, int iErrorcode,
                                      CAutoString subErrCode) {
    m_lastErrType = 0;
    m_lastState = eStateNew;
    m_lastOldState = eStateOld;
    m_lastErrorcode = iErrorcode;
    m_lastSubErrCode = subErrCode;
}

CAutoString CPortalConn::GetRequestHead(const CAutoString& body) {
    static const CAuthConfig kEmpty;
    const CAuthConfig& conf = m_pPortalConf != nullptr ? *m_pPortalConf : kEmpty;
    return m_portalParse.MakeRequestHead(conf.strUserAgent, conf.strClientId,
                                         GetMD5FromPostData(body), conf.schoolId, conf.domain,
                                         conf.area);
}

CAutoString CPortalConn::GetMD5FromPostData(const CAutoString& body) {
    const char* text = body.c_str();
    return CAutoString(CMD5::HexDigest(text, strlen(text)));
}
