// CHttpData: one HTTP request and, after CCurlHttp has run it, its response.
//
// A plain record: the caller fills the request fields, CCurlHttp fills the response fields. The
// request texts are borrowed and must outlive the transfer; the two response buffers are owned by
// the record (allocated with new[], NUL-terminated). A record belongs to one thread at a time.
#pragma once

#include <cstdint>

#include "CAutoString.h"

class CHttpData {
public:
    // autoRelease: whether destruction frees the response buffers. With false the owner of the
    // record frees them through Release().
    explicit CHttpData(bool autoRelease);
    ~CHttpData();
    // The record owns its response buffers; a copy would free them twice.
    CHttpData(const CHttpData&) = delete;
    CHttpData& operator=(const CHttpData&) = delete;

    // Frees both response buffers and sets them to null.
    void Release();

    // The stored header / body text, or "" when none is stored.
    const char* RespHead() const { return szRespHead ? szRespHead : ""; }
    const char* RespData() const { return szRespData ? szRespData : ""; }
    // Stores a new[]-allocated, NUL-terminated buffer; ownership passes to the record and the
    // previously stored buffer is freed.
    void RespHead(char* pHead);
    void RespData(char* pData);

    // Value of the header field named attri in the raw response headers: the text between the
    // first ':' after the name and the end of that line ("\r\n", or a lone "\n"), with blanks
    // removed. The name may carry its colon or not and is matched case-sensitively, only at the
    // start of a line, so a name inside another header's value is never taken. Empty when the
    // name is missing, its line has no ':' or is unfinished, or the value holds a CR or another
    // control character (such a value would break the line of any request it is copied into).
    CAutoString GetHeadAttri(CAutoString attri) const;
    // The same value with only its leading and trailing blanks and tabs removed: for texts shown
    // to the user ("Last-Login": where and when the account logged in), whose inner blanks are
    // part of the text.
    CAutoString GetHeadText(const char* name) const;
    // True when text may be put into a request header line: no CR, LF or other control character
    // (a tab is allowed). Values from the portal or the store are checked with it before a
    // header is built, so no value can end its line and add a header of its own.
    static bool IsHeaderValue(const char* text);
    // Where the response sends the client, in lower case: the Location header of a 302 or 303,
    // the target of a meta refresh in a 200 page, or of a script in the page's head that sets
    // location.href. Empty for every other status (301 and 307 included), when none is found,
    // when the target is not an absolute http:// or https:// address, or when it is longer than
    // kMaxRedirectBytes. Blanks, CR and LF are removed from the result.
    CAutoString GetRedirectAddress() const;

    static constexpr size_t kMaxRedirectBytes = 8192;

    const char* szUrl = nullptr;          // request URL
    const char* szVerb = "GET";           // "GET" or "POST", any case
    const char* szHead = nullptr;         // extra request header lines, each ended by "\r\n"
    const char* szPostData = nullptr;     // POST body
    uint64_t dwPostDataLen = UINT64_MAX;  // body length; all ones means "up to its NUL"
    uint64_t dwTimeOut = 10000;           // milliseconds, for the connect and the whole transfer
    int32_t retCode = 0;                  // HTTP status, or the libcurl code of a failed transfer
    uint64_t dwDataLen = 0;               // body length in bytes
    bool bChangeCode = true;              // charset wish of the caller; the transport ignores it
    uint32_t pageCode = 0;                // code page of the page; the transport ignores it
    bool bRedirect = true;                // follow redirects
    // https only: check the server's certificate chain and that it names the host. Off for the
    // portal conversations (portals run with certificates no trust store knows); on for the
    // update server and the statistics report, whose answers carry no checks of their own.
    bool bVerifyPeer = false;
    const char* szCaFile = nullptr;  // with bVerifyPeer: PEM trust anchors; null: the system's
    // downLoad only: the file may grow to at most this many bytes (0: no limit). A server that
    // sends more ends the download as a failure with bFileTooLarge set.
    uint64_t dwMaxFileBytes = 0;
    bool bFileTooLarge = false;
    char* szRespHead = nullptr;  // every response header byte received
    char* szRespData = nullptr;  // response body
    bool m_bAutoRealease;
};
