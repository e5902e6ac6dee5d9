// CAuthConfig: the portal configuration record and the identity of one portal login.
//
// Filled from the configuration block of the portal page (CPortalParser::ParserConfig), from the
// service's store at start-up (CPortalConn::InitPortalConf) and from the portal's answers during
// the login. Owned by CPortalConn; a plain record with no locking of its own, so every reader and
// writer runs on the Portal work thread unless its owner says otherwise.
#pragma once

#include "CAutoString.h"

#include <cstdint>
#include <map>
#include <vector>

class CAuthConfig {
public:
    CAutoString strTickUrl;   // "ticket-url"
    CAutoString strQueryUrl;  // "query-url"
    CAutoString strAuthUrl;   // "auth-url"
    CAutoString strStateUrl;  // "state-url"
    // Default login method: 1 password, 2 mobile QR code, 4 other.
    int32_t nDefaultAuth = 1;
    std::vector<CAutoString> process;
    std::vector<CAutoString> driver;
    // Sum of the method values of every "auth" entry of the configuration.
    int32_t nAuthType = 0;
    uint64_t stateInterval = 5;  // seconds between state polls
    CAutoString strTermUrl;      // logout URL, from the login answer
    CAutoString strKeepUrl;      // keep-alive URL, from the login answer
    CAutoString strTicket;
    int32_t expire = 0;  // ticket lifetime
    CAutoString strClientId;
    CAutoString strUserAgent;
    int32_t iKeepRetry = 2;
    int32_t iInterval = 0;   // keep-alive interval from the keep-alive answer
    int32_t iKeepLevel = 0;  // keep-alive level from the keep-alive answer
    CAutoString ostag;
    CAutoString mac;
    CAutoString ip4;
    CAutoString ip6;
    CAutoString hostName;
    CAutoString version;
    CAutoString userName;
    CAutoString password;
    // The whole "user-config" element, markup included; replaced by the login answer's one.
    CAutoString againstList;
    uint64_t checkWifiInterval = 300;        // seconds between sharing checks
    uint64_t logoutDelay = 300;              // seconds from detected sharing to the logout
    int32_t checkResult = 0;                 // last sharing check result
    std::vector<CAutoString> m_vecRegister;  // "notify/register" texts
    std::vector<CAutoString> m_vecOption;    // "notify/option" texts
    CAutoString m_strAcountType;             // "account/modify/type"
    CAutoString m_strAcountValue;            // "account/modify/value"
    uint16_t RNKeepPortTime = 300;
    CAutoString m_strDNS;
    CAutoString schoolId;
    CAutoString domain;
    CAutoString area;
    CAutoString wlanuserip;   // from the portal redirect
    CAutoString wlanusermac;  // from the portal redirect
    CAutoString wlancip;      // access controller address, from the portal redirect
    CAutoString trafficStatisticsURL;
    // Not set by the configuration; 0 until the traffic report reads its own entry.
    int64_t trafficStatisticsInterval = 0;
    // Keep-alive interval that replaces the server's one when fileIntervalFlag is 1.
    int32_t fileInterval = 0;
    int32_t fileIntervalFlag = 0;
    // Address family of the portal connection: 2 IPv4, 10 IPv6, -1 none (0 until decided).
    int32_t m_afType = 0;
    CAutoString m_strServersIPv4;  // comma-separated portal servers
    CAutoString m_strServersIPv6;
    CAutoString m_strServers;  // "servers" attribute of "server-clusters"
    // One entry per child of "FunCfg": tag name -> the child's whole markup.
    std::map<CAutoString, CAutoString> funCfg;
};
