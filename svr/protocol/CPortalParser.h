// CPortalParser: builds and reads the portal's documents and codes them for the wire: cuts the
// configuration block out of the portal page and parses it, builds the coded request documents,
// decodes and parses the answers. It holds no data of its own; the algorithm module behind the
// coding is the process-wide CZsmHelper.
//
// Runs on the Portal work thread; the coding calls are also safe from other threads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "CAuthConfig.h"
#include "CAutoString.h"

class CPortalParser {
public:
    CPortalParser() = default;
    ~CPortalParser();
    CPortalParser(const CPortalParser&) = delete;
    CPortalParser& operator=(const CPortalParser&) = delete;

    // ---- Body coding and request headers ----------------------------------------------------

    // Points the algorithm module loader at "zuvUzarod.zxm" in the working directory (the
    // installation directory). Returns the loader's result (1).
    int Init();
    // Closes the loaded algorithm module.
    void Release();

    // The request header block: "Connection:close", "User-Agent:", "Algo-ID:" (asked from the
    // loader on every call), "Client-ID:", "VXR-Checksum:", then "VXR-SchoolId:", "VXR-Domain:"
    // and "VXR-Area:" each only when its value is not empty; every line ends with CR LF.
    // Empty, with a log line naming the header, when any value holds a CR, LF or other control
    // character (CHttpData::IsHeaderValue): such a request must not be sent.
    CAutoString MakeRequestHead(const CAutoString& userAgent, const CAutoString& clientId,
                                const CAutoString& checksum, const CAutoString& schoolId,
                                const CAutoString& domain, const CAutoString& area);

    // The coded request body. When the module cannot be used this is the loader's fallback text,
    // which is sent as it is; empty only if the loader returns nothing at all.
    CAutoString EncodePostRequestData(const CAutoString& document);
    // The decoded answer converted from UTF-8 to GB18030 (unconverted when conversion fails);
    // empty when the module is missing or refuses the body.
    CAutoString DecodePostResponseData(const char* body);

    // Converts inLen bytes of input from code page `from` to `to` into output, after zeroing its
    // outLen bytes; the output is not terminated beyond that zeroing. Returns iconv's count of
    // irreversible conversions, or -1 when the converter cannot be opened or conversion fails
    // (including an output that is too small).
    static int32_t CodeConvert(const char* from, const char* to, const char* input, size_t inLen,
                               char* output, size_t outLen);

    // The current algorithm identifier, or the all-zero identifier when no module loads.
    CAutoString GetAlgoId();

    // Stores the response body of `pData` (its dwDataLen bytes of szRespData) as the new algorithm
    // container: 1 success, -1 refused or file error, 0 empty body. A template so that this header
    // needs no transport types; any record with those two fields will do.
    template <class HttpData>
    int32_t UpdateAlgoid(const HttpData* pData) {
        if (pData == nullptr)
            return 0;
        return UpdateAlgoidBody(pData->szRespData, static_cast<uint64_t>(pData->dwDataLen));
    }
    // The same for a body given directly.
    int32_t UpdateAlgoidBody(const char* data, uint64_t len);

    // ---- Configuration block and request/response documents ---------------------------------

    // The configuration block stands in the page between "<!--//" + kMarkerToken and
    // "//" + kMarkerToken + "-->". The portal simulator uses the same token.
    static constexpr const char* kMarkerToken = "auth.orvane.local";

    // Stores the text between the first start marker and the first end marker after it in out.
    // Returns its length; 0 (out untouched) when there is no complete, non-empty block.
    int GetConfigWithString(const char* page, CAutoString& out);
    // Reads a "config" document into config, creating the record with its defaults first when
    // config is empty. Only what the document carries is overwritten (the notify lists and
    // nAuthType are rebuilt). Returns 0, or -1 when the text is not well formed or its root is
    // not "config" (a record created here stays, with its defaults).
    int ParserConfig(const char* text, std::unique_ptr<CAuthConfig>& config);

    // Request builders: each returns the coded body of its request document. Null texts are
    // written as empty elements. When the XML layer refuses a value (control characters) the
    // result is empty and nothing may be sent: the request would otherwise go out incomplete.
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
};
