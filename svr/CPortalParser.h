// CPortalParser: builds and reads the portal's documents and codes them for the wire. It holds no
// data of its own; the algorithm module behind the coding is the process-wide CZsmHelper.
//
// Runs on the Portal work thread; the coding calls are also safe from other threads.
#pragma once

#include <cstddef>
#include <cstdint>

#include "CAutoString.h"

class CPortalParser {
public:
    CPortalParser() = default;
    ~CPortalParser();
    CPortalParser(const CPortalParser&) = delete;
    CPortalParser& operator=(const CPortalParser&) = delete;

    // Points the algorithm module loader at "zuvUzarod.zxm" in the working directory (the
    // installation directory). Returns the loader's result (1).
    int Init();
    // Closes the loaded algorithm module.
    void Release();

    // The request header block: "Connection:close", "User-Agent:", "Algo-ID:" (asked from the
    // loader on every call), "Client-ID:", "VXR-Checksum:", then "VXR-SchoolId:", "VXR-Domain:"
    // and "VXR-Area:" each only when its value is not empty; every line ends with CR LF.
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
};
