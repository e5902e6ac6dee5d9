// CPortalOpcodes: what the Portal business does with the client's commands, and how it tells the
// client: the opcodes after the first "ClientStart" (a later client start, "CheckEnv",
// "PortalConnect", "PortalDisConnect", "GetTerminalData", "TerminalTermSend"), each of which only
// queues a task or arms a timer entry, and the two forms of "NetStateMessageResp".
//
// A part of CPortalServer, which owns it and must outlive it, and reaches it as its IPortalWork;
// the recovery and the task handlers are its siblings, declared before it. The opcode table and
// the first client start (which builds the connection and starts the threads) stay with the
// facade.
//
// Threads: the opcodes run on the router's message thread, one message at a time; the state
// messages are posted from any thread.
#pragma once

#include "CAutoString.h"
#include "INetConn.h"

class CPortalConn;
class CStayOnline;
class CTaskHandlers;
class CXMLOpt;
class IPortalWork;

class CPortalOpcodes {
public:
    CPortalOpcodes(IPortalWork& work, CStayOnline& online, CTaskHandlers& tasks)
        : m_work(work), m_online(online), m_tasks(tasks) {}
    // Holds references to its business and its siblings.
    CPortalOpcodes(const CPortalOpcodes&) = delete;
    CPortalOpcodes& operator=(const CPortalOpcodes&) = delete;

    // A later "ClientStart": brings the new client up to date with conn's state.
    void ResyncClient(CPortalConn& conn);
    // "CheckEnv": a network check now, unless a recovery paces its own attempts.
    void CheckEnv();
    // "PortalConnect": the auth task, carrying the whole message.
    void Connect(CXMLOpt& message);
    // "PortalDisConnect": the logout with the message's reason ("P.src").
    void DisConnect(CXMLOpt& message);
    // "GetTerminalData": one terminal task, replacing any queued or armed one.
    void TerminalRequest(CXMLOpt& message);
    // "TerminalTermSend": keeps "P.ticket" for the terminalTerm task it queues.
    void TerminalTermRequest(CXMLOpt& message);

    // "NetStateMessageResp" to the client, plain or extended form (CNetStatePoster's texts).
    void PostNetStateMessage(INetConn::ETYPE type, INetConn::ESTATE eStateOld,
                             INetConn::ESTATE eStateNew, int iErrorcode,
                             const CAutoString& subErrCode);
    void PostNetStateMessageEx(INetConn::ETYPE type, INetConn::ESTATE eStateOld,
                               INetConn::ESTATE eStateNew, int iErrorcode, const char* pSubType,
                               const char* pExtern);

private:
    IPortalWork& m_work;
    CStayOnline& m_online;
    CTaskHandlers& m_tasks;
};
