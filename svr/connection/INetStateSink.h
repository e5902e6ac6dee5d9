// INetStateSink: where a connection hands its state messages. The Portal business implements it and
// forwards each message to the client as "NetStateMessageResp"; tests implement it to record them.
#pragma once

#include "CAutoString.h"
#include "INetConn.h"

class INetStateSink {
public:
    virtual ~INetStateSink() = default;

    // Plain form: a sub-code, no sub-type or extra text.
    virtual void PostNetStateMessage(INetConn::ETYPE type, INetConn::ESTATE eStateOld,
                                     INetConn::ESTATE eStateNew, int iErrorcode,
                                     CAutoString subErrCode) = 0;
    // Extended form: a sub-type and an extra text, no sub-code. Null texts are sent as empty.
    virtual void PostNetStateMessageEx(INetConn::ETYPE type, INetConn::ESTATE eStateOld,
                                       INetConn::ESTATE eStateNew, int iErrorcode,
                                       const char* pSubType, const char* pExtern) = 0;
};
