// CAuthConfig: one portal login's configuration and identity. Filled from the portal's
// configuration block, the login answers and the service's stored values; owned by CPortalConn.
#pragma once

#include <cstdint>
#include <map>
#include <vector>

#include "CAutoString.h"

struct CAuthConfig {
    CAutoString strTickUrl;
    CAutoString strQueryUrl;
    CAutoString strAuthUrl;
    CAutoString strStateUrl;
    int32_t nDefaultAuth = 1;  // 1 password login, 2 mobile QR login, 4 other
    std::vector<CAutoString> process;
    std::vector<CAutoString> driver;
    int32_t nAuthType = 0;  // sum of the method values of all "auth" entries
    uint64_t stateInterval = 5;
    CAutoString strTermUrl;
    CAutoString strKeepUrl;
    CAutoString strTicket;
    int32_t expire = 0;
    CAutoString strClientId;
    CAutoString strUserAgent;
    int32_t iKeepRetry = 2;
    int32_t iInterval = 0;
    int32_t iKeepLevel = 0;
    CAutoString ostag;
    CAutoString mac;
    CAutoString ip4;
    CAutoString ip6;
    CAutoString hostName;
    CAutoString version;
    CAutoString userName;
    CAutoString password;
    CAutoString againstList;  // the whole "user-config" element, markup included
    uint64_t checkWifiInterval = 300;
    uint64_t logoutDelay = 300;
    int32_t checkResult = 0;
    std::vector<CAutoString> m_vecRegister;
    std::vector<CAutoString> m_vecOption;
    CAutoString m_strAcountType;
    CAutoString m_strAcountValue;
    uint16_t RNKeepPortTime = 300;
    CAutoString m_strDNS;
    CAutoString schoolId;  // sent as "VXR-SchoolId" when not empty
    CAutoString domain;    // sent as "VXR-Domain" when not empty
    CAutoString area;      // sent as "VXR-Area" when not empty
    CAutoString wlanuserip;
    CAutoString wlanusermac;
    CAutoString wlancip;
    CAutoString trafficStatisticsURL;
    int64_t trafficStatisticsInterval = 0;
    int32_t fileInterval = 0;
    int32_t fileIntervalFlag = 0;
    int32_t m_afType = -1;  // 2 IPv4, 10 IPv6, -1 none yet
    CAutoString m_strServersIPv4;
    CAutoString m_strServersIPv6;
    CAutoString m_strServers;
    std::map<CAutoString, CAutoString> funCfg;  // FunCfg child tag name -> its whole markup
};
