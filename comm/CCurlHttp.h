// CCurlHttp: runs one HTTP request or one download through libcurl's easy interface.
//
// Stateless: every call makes, uses and frees its own transfer handle and collectors, so any
// number of threads may transfer at once (each with its own CHttpData). Only HTTP and HTTPS are
// ever spoken, also after a redirect: URLs come from the portal and must not reach local files
// or other protocols. Nothing here throws; results come back as values.
#pragma once

#include <cstddef>
#include <cstdint>

#include "CAutoString.h"
#include "CHttpData.h"

class CCurlHttp {
public:
    // A response (headers or body) larger than this ends the transfer as a failure, so a hostile
    // server cannot make us hold an unbounded answer in memory.
    static constexpr uint64_t kMaxResponseBytes = 32ull << 20;

    // Runs the request described by pData. A response left in the record by an earlier call is
    // freed first. Certificates are checked only with bVerifyPeer. Returns
    //    0  an answer with HTTP status below 400 (3xx too when bRedirect is false); retCode holds
    //       the status, szRespHead/szRespData the header bytes and the body, dwDataLen its length;
    //   -1  szUrl is null or empty (nothing is sent);
    //   -2  no transfer handle could be made;
    //   -3  HTTP status 400 or above, in retCode; no response is stored;
    //   -4  the transfer failed (refused, timed out, bad protocol, answer too large, a header line
    //       holding a lone CR, LF or other control character, which is never sent...); retCode
    //       holds the libcurl code and a line "libcurl: (code) reason" goes to standard error.
    static int Perform(CHttpData* pData);

    // Downloads pData's URL (with its headers, verb and time limit) and appends the body to the
    // file at path, resuming after the bytes already there with a byte-range request. The time
    // limit bounds connecting and any stall, not the whole download; dwMaxFileBytes bounds the
    // file (bFileTooLarge tells a download stopped there), and certificates are always checked.
    // Returns true exactly when the transfer succeeded: the file then holds the whole resource
    // (also when it already did).
    static bool downLoad(CHttpData* pData, CAutoString path);
    // The same for a bare URL (GET, redirects followed), printing a progress line to standard
    // output; gives up when less than 1 byte a second arrives for 5 seconds.
    static bool downLoad(CAutoString url, CAutoString path);

    // Puts a "/" before the query when the host is followed directly by "?" (http://h?x=1 becomes
    // http://h/?x=1), then turns every "&amp;" into "&".
    static void PretreatUrl(CAutoString& url);

    // libcurl write routine: copies the block into a new chunk of the CBufferArray in userdata.
    // Returns the block size, or 0 (which ends the transfer) for an empty block, when the
    // collector would pass kMaxResponseBytes, or when memory runs out.
    static size_t cbWriteData(void* ptr, size_t size, size_t nmemb, void* userdata);

    // Length in bytes of the file at path, 0 when it cannot be opened for reading.
    static int64_t GetLocalFileLenth(const CAutoString& path);
};
