#include "CCurlHttp.h"

#include <curl/curl.h>
#include <fcntl.h>
#include <strings.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>

#include "CBufferArray.h"

namespace {

struct CurlEasyDeleter {
    void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
using CurlEasy = std::unique_ptr<CURL, CurlEasyDeleter>;

struct CurlSlistDeleter {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
using CurlSlist = std::unique_ptr<curl_slist, CurlSlistDeleter>;

struct FileCloser {
    void operator()(FILE* file) const { std::fclose(file); }
};
using FilePtr = std::unique_ptr<FILE, FileCloser>;

// libcurl's global set-up is not thread-safe, so it runs once before the first handle is made.
CurlEasy MakeEasy() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
    return CurlEasy(curl_easy_init());
}

bool IsEmptyText(const char* text) {
    return text == nullptr || *text == '\0';
}

// Cuts the header text at every "\r\n" and appends each piece, in order, to the list. A last
// piece without "\r\n" counts; a final "\r\n" adds no empty piece. CURLE_OUT_OF_MEMORY when
// memory runs out; CURLE_BAD_FUNCTION_ARGUMENT when a piece holds a lone CR, LF or another control
// character: libcurl would send it as it is, and the server would read the rest as a header line
// of its own.
CURLcode SetRequestHead(const char* text, CurlSlist& list) {
    const std::string head(text);
    size_t pos = 0;
    while (pos < head.size()) {
        const size_t end = head.find("\r\n", pos);
        const std::string piece =
            head.substr(pos, end == std::string::npos ? std::string::npos : end - pos);
        if (!CHttpData::IsHeaderValue(piece.c_str()))
            return CURLE_BAD_FUNCTION_ARGUMENT;
        curl_slist* grown = curl_slist_append(list.get(), piece.c_str());
        if (grown == nullptr)
            return CURLE_OUT_OF_MEMORY;
        list.release();  // the same list, now one longer, is owned through grown
        list.reset(grown);
        if (end == std::string::npos)
            break;
        pos = end + 2;
    }
    return CURLE_OK;
}

void SetRequestVerb(CURL* easy, const CHttpData& data) {
    if (data.szVerb == nullptr || strcasecmp(data.szVerb, "POST") != 0) {
        curl_easy_setopt(easy, CURLOPT_HTTPGET, 1L);
        return;
    }
    curl_easy_setopt(easy, CURLOPT_POST, 1L);
    // Without a body libcurl would read one from standard input; send an empty one instead.
    const char* body = data.szPostData ? data.szPostData : "";
    curl_off_t size = -1;  // libcurl measures the body up to its NUL
    if (data.szPostData == nullptr) {
        size = 0;
    } else if (data.dwPostDataLen <= static_cast<uint64_t>(INT64_MAX)) {
        size = static_cast<curl_off_t>(data.dwPostDataLen);
    }
    curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, size);
    curl_easy_setopt(easy, CURLOPT_POSTFIELDS, body);
}

// Restricts the transfer and every redirect to HTTP and HTTPS. Returns libcurl's code.
CURLcode RestrictProtocols(CURL* easy) {
#if LIBCURL_VERSION_NUM >= 0x075500
    CURLcode rc = curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
    if (rc == CURLE_OK)
        rc = curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
#else
    const long allowed = CURLPROTO_HTTP | CURLPROTO_HTTPS;
    CURLcode rc = curl_easy_setopt(easy, CURLOPT_PROTOCOLS, allowed);
    if (rc == CURLE_OK)
        rc = curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS, allowed);
#endif
    return rc;
}

long ClampToLong(uint64_t value) {
    return value > static_cast<uint64_t>(LONG_MAX) ? LONG_MAX : static_cast<long>(value);
}

// Options every transfer shares. NOSIGNAL keeps libcurl's time limits from using signals,
// which would not be safe with several threads transferring.
CURLcode SetCommonOptions(CURL* easy, const char* url, char* errorBuffer) {
    curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, errorBuffer);
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_MAXREDIRS, 20L);
    CURLcode rc = RestrictProtocols(easy);
    if (rc == CURLE_OK)
        rc = curl_easy_setopt(easy, CURLOPT_URL, url);
    return rc;
}

void ReportError(CURLcode rc, const char* errorBuffer) {
    std::fprintf(stderr, "\nlibcurl: (%d) ", static_cast<int>(rc));
    const size_t len = std::strlen(errorBuffer);
    if (len > 0) {
        std::fprintf(stderr, "%s%s", errorBuffer, errorBuffer[len - 1] == '\n' ? "" : "\n");
    } else {
        std::fprintf(stderr, "%s\n", curl_easy_strerror(rc));
    }
}

// Copies the collected chunks into one new[] buffer with a NUL after them; null without memory.
char* JoinChunks(const CBufferArray& chunks) {
    const uint64_t total = chunks.GetAllBufferSize();
    char* joined = new (std::nothrow) char[total + 1];
    if (joined == nullptr)
        return nullptr;
    joined[chunks.RecvBuffer(joined, total)] = '\0';
    return joined;
}

// Stores the collected answer in the record. False when memory ran out.
bool StoreResponse(CHttpData* pData, const CBufferArray& head, const CBufferArray& body) {
    char* headText = JoinChunks(head);
    char* bodyText = JoinChunks(body);
    if (headText == nullptr || bodyText == nullptr) {
        delete[] headText;
        delete[] bodyText;
        return false;
    }
    pData->RespHead(headText);
    pData->RespData(bodyText);
    pData->dwDataLen = body.GetAllBufferSize();
    return true;
}

// Request steps shared by Perform and the record download: header list, URL, verb, redirects,
// protocols and the connect limit. heads must outlive the transfer. Returns libcurl's code.
CURLcode PrepareRequest(CURL* easy, const CHttpData& data, CurlSlist& heads, char* errorBuffer) {
    if (!IsEmptyText(data.szHead)) {
        const CURLcode rc = SetRequestHead(data.szHead, heads);
        if (rc != CURLE_OK)
            return rc;
        curl_easy_setopt(easy, CURLOPT_HTTPHEADER, heads.get());
    }
    CAutoString url(data.szUrl);
    CCurlHttp::PretreatUrl(url);  // libcurl copies the URL, so the local copy may die early
    SetRequestVerb(easy, data);
    curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, ClampToLong(data.dwTimeOut));
    curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, data.bRedirect ? 1L : 0L);
    return SetCommonOptions(easy, url.c_str(), errorBuffer);
}

// The certificate chain must lead to a trust anchor (caFile, or the system's when null) and the
// certificate must name the host of the URL.
void RequireTlsChecks(CURL* easy, const char* caFile) {
    curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 2L);
    if (!IsEmptyText(caFile))
        curl_easy_setopt(easy, CURLOPT_CAINFO, caFile);
}

}  // namespace

int CCurlHttp::Perform(CHttpData* pData) {
    if (pData == nullptr || IsEmptyText(pData->szUrl))
        return -1;
    pData->Release();
    pData->dwDataLen = 0;
    CurlEasy easy = MakeEasy();
    if (!easy)
        return -2;
    char errorBuffer[CURL_ERROR_SIZE] = {0};
    CurlSlist heads;
    CBufferArray head;
    CBufferArray body;
    CURLcode rc = PrepareRequest(easy.get(), *pData, heads, errorBuffer);
    if (rc == CURLE_OK) {
        curl_easy_setopt(easy.get(), CURLOPT_TIMEOUT_MS, ClampToLong(pData->dwTimeOut));
        if (pData->bVerifyPeer) {
            // Also after a redirect from http to https.
            RequireTlsChecks(easy.get(), pData->szCaFile);
        } else if (std::strstr(pData->szUrl, "https://") != nullptr) {
            // Portal servers run with self-issued certificates that no trust store knows; the
            // portal answers carry their own checks.
            curl_easy_setopt(easy.get(), CURLOPT_USE_SSL, static_cast<long>(CURLUSESSL_NONE));
            curl_easy_setopt(easy.get(), CURLOPT_SSL_VERIFYPEER, 0L);
            curl_easy_setopt(easy.get(), CURLOPT_SSL_VERIFYHOST, 0L);
        }
        curl_easy_setopt(easy.get(), CURLOPT_HEADERFUNCTION, &CCurlHttp::cbWriteData);
        curl_easy_setopt(easy.get(), CURLOPT_HEADERDATA, &head);
        curl_easy_setopt(easy.get(), CURLOPT_WRITEFUNCTION, &CCurlHttp::cbWriteData);
        curl_easy_setopt(easy.get(), CURLOPT_WRITEDATA, &body);
        rc = curl_easy_perform(easy.get());
    }
    if (rc == CURLE_OK) {
        long status = 0;
        curl_easy_getinfo(easy.get(), CURLINFO_RESPONSE_CODE, &status);
        pData->retCode = static_cast<int32_t>(status);
        if (status >= 400)
            return -3;
        if (StoreResponse(pData, head, body))
            return 0;
        rc = CURLE_OUT_OF_MEMORY;
    }
    pData->retCode = static_cast<int32_t>(rc);
    ReportError(rc, errorBuffer);
    return -4;
}

size_t CCurlHttp::cbWriteData(void* ptr, size_t size, size_t nmemb, void* userdata) {
    if (size == 0 || nmemb == 0 || nmemb > SIZE_MAX / size)
        return 0;
    const size_t block = size * nmemb;
    CBufferArray* chunks = static_cast<CBufferArray*>(userdata);
    if (block > kMaxResponseBytes - chunks->GetAllBufferSize())
        return 0;
    char* chunk = new (std::nothrow) char[block];
    if (chunk == nullptr)
        return 0;
    std::memcpy(chunk, ptr, block);
    return chunks->AddBuffer(chunk, block) ? block : 0;
}

int64_t CCurlHttp::GetLocalFileLenth(const CAutoString& path) {
    if (path.IsEmpty())
        return 0;
    FilePtr file(std::fopen(path.c_str(), "rb"));
    if (!file || fseeko(file.get(), 0, SEEK_END) != 0)
        return 0;
    const off_t len = ftello(file.get());
    return len > 0 ? static_cast<int64_t>(len) : 0;
}

void CCurlHttp::PretreatUrl(CAutoString& url) {
    if (url.IsEmpty())
        return;
    std::string text = url.ToStdString();
    const size_t scheme = text.find("://");
    if (scheme != std::string::npos) {
        const size_t query = text.find('?', scheme + 3);
        const size_t slash = text.find('/', scheme + 3);
        if (query != std::string::npos && slash > query)
            text.insert(query, "/");
    }
    url = CAutoString(text);
    url.Replace("&amp;", "&");
}

namespace {

// Where the body goes: the file, and how many more bytes it may take.
struct DownloadSink {
    FILE* file = nullptr;
    uint64_t room = UINT64_MAX;
    bool tooLarge = false;
};

// Appends each body block to the file and flushes it, so an interrupted download leaves every
// byte received on disk for the next resume. A short write, or a block the file has no room
// for, ends the transfer: a server that sends more than it said cannot fill the disk.
size_t WriteToFile(void* ptr, size_t size, size_t nmemb, void* userdata) {
    if (size == 0 || nmemb == 0 || nmemb > SIZE_MAX / size)
        return 0;
    DownloadSink* sink = static_cast<DownloadSink*>(userdata);
    const size_t block = size * nmemb;
    if (block > sink->room) {
        sink->tooLarge = true;
        return 0;
    }
    if (std::fwrite(ptr, 1, block, sink->file) != block || std::fflush(sink->file) != 0)
        return 0;
    sink->room -= block;
    return block;
}

// Opens the download target for appending and positions at its end; null when it cannot.
FilePtr OpenForAppend(const CAutoString& path) {
    if (path.IsEmpty())
        return FilePtr();
    // Never through a link planted at the name, and new files are the owner's alone.
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_APPEND | O_NOFOLLOW | O_CLOEXEC, 0600);
    FilePtr file(fd >= 0 ? ::fdopen(fd, "a+b") : nullptr);
    if (fd >= 0 && !file)
        ::close(fd);
    if (file && fseeko(file.get(), 0, SEEK_END) != 0)
        file.reset();
    return file;
}

// Body to the file, resuming after localLen bytes. An HTTP error status fails the transfer
// before any of its body reaches the file, so an error page never lands inside a package.
void SetDownloadTarget(CURL* easy, DownloadSink* sink, int64_t localLen) {
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &WriteToFile);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, sink);
    curl_easy_setopt(easy, CURLOPT_RESUME_FROM_LARGE, static_cast<curl_off_t>(localLen));
    curl_easy_setopt(easy, CURLOPT_FAILONERROR, 1L);
}

struct Progress {
    int64_t localLen = 0;
    int lastShown = -1;
};

// Prints the share of the whole file that is on disk, once per change of the percentage.
// Always lets the transfer go on.
int ShowProgress(void* clientp, curl_off_t dltotal, curl_off_t dlnow, curl_off_t, curl_off_t) {
    Progress* progress = static_cast<Progress*>(clientp);
    int percent = 0;
    if (dltotal > 0) {
        const double whole = static_cast<double>(progress->localLen + dltotal);
        percent = static_cast<int>((progress->localLen + dlnow) / whole * 100);
    }
    if (percent != progress->lastShown) {
        progress->lastShown = percent;
        // "download progress", in the GB18030 code page of the client's terminal
        std::printf("\xCF\xC2\xD4\xD8\xBD\xF8\xB6\xC8%0d%%\r", percent);
        std::fflush(stdout);
    }
    return 0;
}

}  // namespace

bool CCurlHttp::downLoad(CHttpData* pData, CAutoString path) {
    if (pData == nullptr || IsEmptyText(pData->szUrl))
        return false;
    pData->bFileTooLarge = false;
    CurlEasy easy = MakeEasy();
    if (!easy)
        return false;
    const int64_t localLen = GetLocalFileLenth(path);
    std::printf("local file len is %ld\n", static_cast<long>(localLen));
    const uint64_t have = static_cast<uint64_t>(localLen);
    if (pData->dwMaxFileBytes > 0 && have > pData->dwMaxFileBytes) {
        pData->bFileTooLarge = true;
        return false;
    }
    FilePtr file = OpenForAppend(path);
    if (!file)
        return false;
    DownloadSink sink;
    sink.file = file.get();
    if (pData->dwMaxFileBytes > 0)
        sink.room = pData->dwMaxFileBytes - have;
    char errorBuffer[CURL_ERROR_SIZE] = {0};
    CurlSlist heads;
    CURLcode rc = PrepareRequest(easy.get(), *pData, heads, errorBuffer);
    if (rc == CURLE_OK) {
        // A stall as long as the time limit ends the download; a slow but steady one may run on.
        curl_easy_setopt(easy.get(), CURLOPT_LOW_SPEED_LIMIT, 1L);
        curl_easy_setopt(easy.get(), CURLOPT_LOW_SPEED_TIME,
                         std::max(1L, ClampToLong(pData->dwTimeOut / 1000)));
        if (std::strstr(pData->szUrl, "https://") != nullptr) {
            curl_easy_setopt(easy.get(), CURLOPT_USE_SSL, static_cast<long>(CURLUSESSL_ALL));
        }
        // Downloads always check certificates (libcurl's defaults, made explicit).
        RequireTlsChecks(easy.get(), pData->szCaFile);
        SetDownloadTarget(easy.get(), &sink, localLen);
        rc = curl_easy_perform(easy.get());
    }
    pData->bFileTooLarge = sink.tooLarge;
    if (rc != CURLE_OK)
        ReportError(rc, errorBuffer);
    return rc == CURLE_OK;
}

bool CCurlHttp::downLoad(CAutoString url, CAutoString path) {
    if (url.IsEmpty())
        return false;
    CurlEasy easy = MakeEasy();
    if (!easy)
        return false;
    Progress progress;
    progress.localLen = GetLocalFileLenth(path);
    FilePtr file = OpenForAppend(path);
    if (!file)
        return false;
    char errorBuffer[CURL_ERROR_SIZE] = {0};
    CURLcode rc = SetCommonOptions(easy.get(), url.c_str(), errorBuffer);
    if (rc == CURLE_OK) {
        curl_easy_setopt(easy.get(), CURLOPT_NOPROGRESS, 0L);
        curl_easy_setopt(easy.get(), CURLOPT_XFERINFOFUNCTION, &ShowProgress);
        curl_easy_setopt(easy.get(), CURLOPT_XFERINFODATA, &progress);
        curl_easy_setopt(easy.get(), CURLOPT_LOW_SPEED_LIMIT, 1L);
        curl_easy_setopt(easy.get(), CURLOPT_LOW_SPEED_TIME, 5L);
        curl_easy_setopt(easy.get(), CURLOPT_HEADER, 0L);
        curl_easy_setopt(easy.get(), CURLOPT_NOBODY, 0L);
        curl_easy_setopt(easy.get(), CURLOPT_FOLLOWLOCATION, 1L);
        DownloadSink sink;
        sink.file = file.get();
        SetDownloadTarget(easy.get(), &sink, progress.localLen);
        rc = curl_easy_perform(easy.get());
    }
    if (rc != CURLE_OK)
        ReportError(rc, errorBuffer);
    return rc == CURLE_OK;
}
