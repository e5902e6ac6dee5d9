// IConnContext: what the parts of a portal connection (detection, server selection, the login
// session, the other terminals) share through the connection that owns them: the configuration
// record and the algorithm parser, the host and the store, and the state with its messages.
//
// CPortalConn implements it and hands it to each part it builds. The parts include this header,
// never CPortalConn.h, so the dependencies run one way: the connection holds its parts, the parts
// see only this interface (and the siblings they were given).
//
// The calls come from the Portal work thread, except where CPortalConn says otherwise for the
// members of the same names.
#pragma once

#include "CAutoString.h"
#include "INetConn.h"
#include "ISvrInfoCenter.h"

struct CAuthConfig;
class CPortalParser;
class IPortalHost;

class IConnContext {
public:
    // ---- The record, the parser, the host --------------------------------------------------
    // The configuration record; null before start-up.
    virtual CAuthConfig* GetPortalConf() = 0;
    // Applies a configuration block to the record (which the parser may replace): the parser's
    // result, 0 when applied.
    virtual int ParseConfig(const char* block) = 0;
    // The parser holding the algorithm module: request documents, coding, renewal.
    virtual CPortalParser& GetPortalParser() = 0;
    // The owning business; null in tests that give none (then nothing is asked of it).
    virtual IPortalHost* Host() const = 0;
    // The information center itself; null when there is none.
    virtual ISvrInfoCenter* InfoCenter() const = 0;

    // ---- The store (null-safe: without an information center reads are empty and writes go) --
    // Local values are kept across restarts, memory values only for this run, global values are
    // shared with the other parts of the service.
    virtual CAutoString LocalValue(const char* key) = 0;
    // A stored decimal read as atoi reads it (empty or garbage gives 0), clamped to the int range.
    virtual int LocalInt(const char* key) = 0;
    virtual CAutoString MemoryValue(const char* key) = 0;
    virtual void SetLocal(const char* key, const char* value) = 0;
    // Several local values with one synced rewrite of the store.
    virtual void SetLocals(ISvrInfoCenter::LocalValues values) = 0;
    // Keeps values for the store until the next SetConnCfg, which writes them with the flag: a
    // login's addresses land in the same write as the flag that says the login is held.
    virtual void StoreWithConnState(ISvrInfoCenter::LocalValues values) = 0;
    virtual void SetGlobal(const char* key, const char* value) = 0;
    // The persisted "connState" flag: 1 while this program holds a portal login.
    virtual void SetConnCfg(int state) = 0;

    // ---- The state and its messages (see CPortalConn) --------------------------------------
    virtual INetConn::ESTATE GetNetState() const = 0;
    virtual void NetStateChange(INetConn::ESTATE eStateOld, INetConn::ESTATE eStateNew,
                                int iErrorcode, CAutoString subErrCode) = 0;
    virtual void PostNetStateMessageEx(INetConn::ESTATE eStateOld, INetConn::ESTATE eStateNew,
                                       int iErrorcode, const char* pSubType,
                                       const char* pExtern) = 0;
    virtual void PostError(INetConn::ESTATE eState, unsigned long code, unsigned long httpErrCode,
                           int bStopAll) = 0;

protected:
    // Not deleted through this interface: the connection owns its parts, not the reverse.
    ~IConnContext() = default;
};
