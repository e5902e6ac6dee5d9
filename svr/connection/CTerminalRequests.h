// CTerminalRequests: the account's other terminals. Reads the list of terminals logged in with
// the same account and logs one of them out; this machine's own login and state are not touched.
//
// A part of CPortalConn, which owns it and must outlive it, and reaches it as its IConnContext;
// runs on the Portal work thread. The connection's public members of the same names document the
// results.
#pragma once

#include "CAutoString.h"

class IConnContext;
class CServerSelector;

class CTerminalRequests {
public:
    CTerminalRequests(IConnContext& conn, CServerSelector& selector)
        : m_conn(conn), m_selector(selector) {}
    // Holds references to its connection and its sibling.
    CTerminalRequests(const CTerminalRequests&) = delete;
    CTerminalRequests& operator=(const CTerminalRequests&) = delete;

    // A portal may demand one algorithm renewal after another; these requests, which repeat on
    // their own, give up after this many rounds instead of looping for ever.
    static constexpr int kMaxRenewRounds = 3;

    int TerminalRequestData(CAutoString& pXml);
    int TerminalTermRequest(const CAutoString& ticket);

private:
    int SendTerminalQuery(CAutoString& pXml);

    IConnContext& m_conn;
    CServerSelector& m_selector;
};
