// CHttpHelper: splits a portal address into its path part and its query parameters, and takes
// the host out of a URL.
//
// Every input is stripped of blanks, CR and LF first (CAutoString::Trim). Query values are kept
// as they stand, without URL decoding. Not thread-safe; one owner at a time.
#pragma once

#include <map>

#include "CAutoString.h"

class CHttpHelper {
public:
    // Stores the stripped address and, when it has a query, the text before the first "?" as the
    // URL and each name=value pair of the query as a parameter (a repeated name keeps its last
    // value; a piece without "=" is skipped). Earlier results are forgotten first. Returns false
    // when the address holds no "http://" or its query contains no "=" at all; true otherwise,
    // also for an address without a query (URL and parameters then stay empty).
    bool SetAddress(CAutoString address);
    // Gives the text before and after the first "?" of an "http://" address. False when the
    // address has no "http://" or no "?"; the outputs are then untouched.
    static bool ParseAddress(CAutoString address, CAutoString& url, CAutoString& params);
    // The host of an "http://" (or, without one, "https://") URL: the text up to the next "/",
    // port suffix included. False for other URLs and for an empty host.
    static bool ParseIP(CAutoString url, CAutoString& host);
    // As above; when the host is followed by a "/" and holds a ":", it is split there into host
    // and port. Without a "/" the port suffix stays in host and port is untouched.
    static bool ParseIP(CAutoString url, CAutoString& host, CAutoString& port);

    const CAutoString& GetAddress() const { return m_address; }
    const CAutoString& GetUrl() const { return m_url; }
    // The value stored for name, or "" (a missing name is then stored with an empty value).
    CAutoString GetParam(const CAutoString& name);
    const std::map<CAutoString, CAutoString>& GetParams() const { return m_params; }

private:
    CAutoString m_address;
    CAutoString m_url;
    std::map<CAutoString, CAutoString> m_params;
};
