#include "CNetStatePoster.h"

#include "CMarkup.h"

namespace {

CAutoString Escaped(const char* text) {
    return CMarkup::EscapeText(text ? text : "", CMarkup::MNF_ESCAPEALL);
}

}  // namespace

CAutoString CNetStatePoster::FormatPlain(INetConn::ETYPE type, INetConn::ESTATE eStateOld,
                                         INetConn::ESTATE eStateNew, int iErrorcode,
                                         const char* subErrCode) {
    CAutoString param;
    param.Format(
        "<type>%d</type><oldState>%d</oldState><newState>%d</newState><ErrorCode>%d</ErrorCode>"
        "<subErrCode>%s</subErrCode><subType></subType><extern></extern>",
        static_cast<int>(type), static_cast<int>(eStateOld), static_cast<int>(eStateNew),
        iErrorcode, Escaped(subErrCode).c_str());
    return param;
}

CAutoString CNetStatePoster::FormatEx(INetConn::ETYPE type, INetConn::ESTATE eStateOld,
                                      INetConn::ESTATE eStateNew, int iErrorcode,
                                      const char* pSubType, const char* pExtern) {
    CAutoString param;
    param.Format(
        "<type>%d</type><oldState>%d</oldState><newState>%d</newState><ErrorCode>%d</ErrorCode>"
        "<subErrCode></subErrCode><subType>%s</subType><extern>%s</extern>",
        static_cast<int>(type), static_cast<int>(eStateOld), static_cast<int>(eStateNew),
        iErrorcode, Escaped(pSubType).c_str(), Escaped(pExtern).c_str());
    return param;
}

void CNetStatePoster::PostNetStateMessage(INetConn::ETYPE type, INetConn::ESTATE eStateOld,
                                          INetConn::ESTATE eStateNew, int iErrorcode,
                                          CAutoString subErrCode) {
    if (!m_post)
        return;
    CAutoString param = FormatPlain(type, eStateOld, eStateNew, iErrorcode, subErrCode.c_str());
    m_post(kTarget, kOpcode, param.c_str());
}

void CNetStatePoster::PostNetStateMessageEx(INetConn::ETYPE type, INetConn::ESTATE eStateOld,
                                            INetConn::ESTATE eStateNew, int iErrorcode,
                                            const char* pSubType, const char* pExtern) {
    if (!m_post)
        return;
    CAutoString param = FormatEx(type, eStateOld, eStateNew, iErrorcode, pSubType, pExtern);
    m_post(kTarget, kOpcode, param.c_str());
}
