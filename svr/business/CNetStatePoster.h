// CNetStatePoster: turns connection-state reports into the parameter text of a
// "NetStateMessageResp" message and hands it to a posting function.
//
// The Portal business owns the outlet to the client; it posts through this class (or uses the two
// formatters directly) so that both message forms stay byte-exact wherever they are produced.
#pragma once

#include "INetStateSink.h"

#include <functional>

class CNetStatePoster : public INetStateSink {
public:
    // Receives the target module ("Portal"), the operation code ("NetStateMessageResp") and the
    // parameter text. Called on the thread that reports the state.
    using PostFn = std::function<void(const char* target, const char* opcode, const char* param)>;

    explicit CNetStatePoster(PostFn post) : m_post(std::move(post)) {}

    void PostNetStateMessage(INetConn::ETYPE type, INetConn::ESTATE eStateOld,
                             INetConn::ESTATE eStateNew, int iErrorcode,
                             CAutoString subErrCode) override;
    void PostNetStateMessageEx(INetConn::ETYPE type, INetConn::ESTATE eStateOld,
                               INetConn::ESTATE eStateNew, int iErrorcode, const char* pSubType,
                               const char* pExtern) override;

    // The parameter texts of the two forms. Text values are escaped as XML text, so a portal
    // header value holding markup characters cannot break the message envelope.
    static CAutoString FormatPlain(INetConn::ETYPE type, INetConn::ESTATE eStateOld,
                                   INetConn::ESTATE eStateNew, int iErrorcode,
                                   const char* subErrCode);
    static CAutoString FormatEx(INetConn::ETYPE type, INetConn::ESTATE eStateOld,
                                INetConn::ESTATE eStateNew, int iErrorcode, const char* pSubType,
                                const char* pExtern);

    static constexpr const char* kTarget = "Portal";
    static constexpr const char* kOpcode = "NetStateMessageResp";

private:
    PostFn m_post;
};
