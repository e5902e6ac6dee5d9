// CPortalDetector: finds the portal and reads its configuration. Fills the configuration record
// from the store at start-up, probes through the gateway's redirects to the portal page, applies
// the page's configuration block to the record and publishes what it learnt to the information
// center and the client.
//
// A part of CPortalConn, which owns it and must outlive it, and reaches it as its IConnContext;
// runs on the Portal work thread. The connection's public members of the same names document the
// results.
#pragma once

#include "CAutoString.h"

struct CAuthConfig;
class CHttpData;
class IConnContext;
class CServerSelector;

class CPortalDetector {
public:
    CPortalDetector(IConnContext& conn, CServerSelector& selector)
        : m_conn(conn), m_selector(selector) {}
    // Holds references to its connection and its sibling.
    CPortalDetector(const CPortalDetector&) = delete;
    CPortalDetector& operator=(const CPortalDetector&) = delete;

    // Redirects followed by one probe, and moves to another portal server within one probe.
    static constexpr int kMaxProbeRedirects = 10;
    static constexpr int kMaxProbeFailovers = 10;
    // CheckNetEnv's result for a redirect chain that does not end (too long, or a loop).
    static constexpr int kProbeTooManyRedirects = -5;
    // Probe URLs used when the store names none.
    static constexpr const char* kDefaultRedirectUrl = "http://gateway.orvane.local/forward.cgi";
    static constexpr const char* kDefaultRedirectUrlIpv6 = "http://www.debian.org/";

    // Fills a fresh record with this program's identity and the values kept across restarts,
    // and takes the probe URLs (the defaults when the store names none).
    void LoadStoredConfig(CAuthConfig& cfg);

    int CheckNetEnv();
    int RequestConfig();
    void SendData(const char* key, const char* value);

    const CAutoString& GetRedirectUrl() const { return m_redirectUrl; }
    const CAutoString& GetRedirectUrlIpv6() const { return m_redirectUrlIpv6; }
    const CAutoString& GetDisasterUrl() const { return m_disasterUrl; }

private:
    void ReadStoredValues(CAuthConfig& cfg);
    int ProbeOnce(const CAutoString& url, CHttpData& data);
    bool MoveToAnotherServer(CAutoString& url, int& failovers);
    void TakeSchoolHeaders(const CHttpData& data);
    void TakePortalIdentity(const CAutoString& url);
    void PublishConfig();

    IConnContext& m_conn;
    CServerSelector& m_selector;
    CAutoString m_redirectUrl;
    CAutoString m_redirectUrlIpv6;
    CAutoString m_configXML;
    CAutoString m_disasterUrl;  // kept lower-cased; no flow consults it yet
};
