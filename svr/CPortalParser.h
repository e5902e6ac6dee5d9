// CPortalParser: the portal's documents. Cuts the configuration block out of the portal page and
// parses it, builds the coded request documents, decodes and parses the answers, and holds the
// algorithm module that codes them.
//
// Holds no data of its own; CPortalConn owns one as m_portalParse. Called from the Portal work
// thread only.
#pragma once

#include "CAuthConfig.h"
#include "CAutoString.h"

#include <memory>

class CPortalParser {
public:
    CPortalParser() = default;
    ~CPortalParser();
    CPortalParser(const CPortalParser&) = delete;
    CPortalParser& operator=(const CPortalParser&) = delete;

    // ---- Configuration block and request/response documents -------------------------------

    // The configuration block stands in the page between "<!--//" + kMarkerToken and
    // "//" + kMarkerToken + "-->". The portal simulator uses the same token.
    static constexpr const char* kMarkerToken = "auth.orvane.local";

    // Points the algorithm module loader at the container next to the program. Returns the
    // loader's result.
    int Init();
    // Releases the algorithm module.
    void Release();

    // Stores the text between the first start marker and the first end marker after it in out.
    // Returns its length; 0 (out untouched) when there is no complete, non-empty block.
    int GetConfigWithString(const char* page, CAutoString& out);
    // Reads a "config" document into config, creating the record with its defaults first when
    // config is empty. Only what the document carries is overwritten (the notify lists and
    // nAuthType are rebuilt). Returns 0, or -1 when the text is not well formed or its root is
    // not "config" (a record created here stays, with its defaults).
    int ParserConfig(const char* text, std::unique_ptr<CAuthConfig>& config);

    // Request builders: each returns the coded body of its request document. Null texts are
    // written as empty elements.
    CAutoString MakeTickRequestData(const char* hostName, const char* userAgent,
                                    const char* clientId, const char* ipv4, const char* ipv6,
                                    const char* mac, const char* localTime, const char* osTag);
    CAutoString MakeAuthRequestData(const char* userAgent, const char* clientId,
                                    const char* account, const char* password, const char* ticket,
                                    const char* localTime);
    // extra: an optional XML element placed between "shared" and "mac"; shared is written only
    // when it is not 0.
    CAutoString MakeKeepRequestData(const char* userAgent, const char* clientId, const char* ticket,
                                    const char* ipv4, const char* ipv6, const char* mac,
                                    const char* localTime, const char* extra, int shared);
    CAutoString MakeTermRequestData(const char* userAgent, const char* clientId, const char* ticket,
                                    const char* localTime, const char* reason);
    CAutoString MakeStateRequestData(const char* userAgent, const char* clientId,
                                     const char* ticket, const char* localTime);
    CAutoString MakeTerminalRequestData(const char* userAgent, const char* clientId,
                                        const char* localTime);

    // Response parsers: decode the coded body and read the children of its "response" root, in
    // any order. Return 0, or -1 (every output untouched) when the body does not decode to a
    // "response" document. A missing child leaves its output as the caller set it.
    int ParserTickResponse(const char* body, CAutoString& ticket, int& expire);
    int ParserAuthResponse(const char* body, CAutoString& userid, int& keepRetry,
                           CAutoString& keepUrl, CAutoString& termUrl, CAutoString& userConfig,
                           CAutoString& domainConfig);
    int ParserKeepResponse(const char* body, int& interval, int& level);

    // The same readers on a decoded document.
    static int ReadTickResponse(const char* doc, CAutoString& ticket, int& expire);
    static int ReadAuthResponse(const char* doc, CAutoString& userid, int& keepRetry,
                                CAutoString& keepUrl, CAutoString& termUrl, CAutoString& userConfig,
                                CAutoString& domainConfig);
    static int ReadKeepResponse(const char* doc, int& interval, int& level);

    // Seconds between sharing checks from a "user-config" text: the number inside the first
    // "<against-interval>" element; 0 when absent or empty.
    static int GetCheckWifiShareTime(const char* text);
    // Seconds from detected sharing to the logout: the number inside the first "<logout-delay>"
    // element; 300 when absent or empty.
    static int GetCheckWifiLogoutTime(const char* text);

    // ---- Body coding and request headers ---------------------------------------------------

    CAutoString EncodePostRequestData(const char* document);
    CAutoString DecodePostResponseData(const char* body);
};
