#include "CPortalParser.h"

#include <iconv.h>
#include <unistd.h>

#include <strings.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "CHttpData.h"
#include "CLog.h"
#include "CMarkup.h"
#include "CZsmHelper.h"

namespace {

// Owns one iconv conversion descriptor.
class IconvHandle {
public:
    IconvHandle(const char* to, const char* from) : m_cd(iconv_open(to, from)) {}
    ~IconvHandle() {
        if (Valid())
            iconv_close(m_cd);
    }
    IconvHandle(const IconvHandle&) = delete;
    IconvHandle& operator=(const IconvHandle&) = delete;
    bool Valid() const { return m_cd != reinterpret_cast<iconv_t>(-1); }
    iconv_t Get() const { return m_cd; }

private:
    iconv_t m_cd;
};

struct ZsmResultDeleter {
    void operator()(char* p) const { CZsmHelper::FreeResult(p); }
};
using ZsmResult = std::unique_ptr<char, ZsmResultDeleter>;

}  // namespace

CPortalParser::~CPortalParser() {
    Release();
}

int CPortalParser::Init() {
    // Relative: the service has entered the folder its installation check held, and a path text
    // rebuilt from getcwd could lead elsewhere after a rename above it.
    return CZsmHelper::GetInst()->Init("./zuvUzarod.zxm", nullptr, 0);
}

void CPortalParser::Release() {
    CZsmHelper::GetInst()->Release();
}

CAutoString CPortalParser::MakeRequestHead(const CAutoString& userAgent,
                                           const CAutoString& clientId, const CAutoString& checksum,
                                           const CAutoString& schoolId, const CAutoString& domain,
                                           const CAutoString& area) {
    const CAutoString algoId = GetAlgoId();
    const std::pair<const char*, const CAutoString*> values[] = {
        {"User-Agent", &userAgent},  {"Algo-ID", &algoId},        {"Client-ID", &clientId},
        {"VXR-Checksum", &checksum}, {"VXR-SchoolId", &schoolId}, {"VXR-Domain", &domain},
        {"VXR-Area", &area}};
    for (const auto& [name, value] : values) {
        if (!CHttpData::IsHeaderValue(value->c_str())) {
            // Named, never shown: the value is the portal's text and could be anything.
            CLog::GetInst()->WriteLog(CLog::ERROR,
                                      "request header not built: the value of %s holds a "
                                      "control character",
                                      name);
            return CAutoString("");
        }
    }
    CAutoString head;
    head.Format(
        "Connection:close\r\nUser-Agent:%s\r\nAlgo-ID:%s\r\nClient-ID:%s\r\nVXR-Checksum:%s\r\n",
        userAgent.c_str(), algoId.c_str(), clientId.c_str(), checksum.c_str());
    CAutoString line;
    if (!schoolId.IsEmpty() && line.Format("VXR-SchoolId:%s\r\n", schoolId.c_str()) > 0)
        head += line;
    if (!domain.IsEmpty() && line.Format("VXR-Domain:%s\r\n", domain.c_str()) > 0)
        head += line;
    if (!area.IsEmpty() && line.Format("VXR-Area:%s\r\n", area.c_str()) > 0)
        head += line;
    return head;
}

CAutoString CPortalParser::EncodePostRequestData(const CAutoString& document) {
    ZsmResult coded(CZsmHelper::GetInst()->Code(document.c_str()));
    return coded ? CAutoString(coded.get()) : CAutoString();
}

CAutoString CPortalParser::DecodePostResponseData(const char* body) {
    ZsmResult decoded(CZsmHelper::GetInst()->DeCode(body != nullptr ? body : ""));
    if (!decoded)
        return CAutoString("");
    const size_t n = strlen(decoded.get());
    // GB18030 never needs more bytes than UTF-8 for the same text; 3n plus a terminator is ample.
    std::unique_ptr<char[]> converted(new char[3 * n + 1]());
    if (CodeConvert("UTF-8", "GB18030", decoded.get(), n, converted.get(), 3 * n) < 0) {
        return CAutoString(decoded.get());
    }
    return CAutoString(converted.get());
}

int32_t CPortalParser::CodeConvert(const char* from, const char* to, const char* input,
                                   size_t inLen, char* output, size_t outLen) {
    if (from == nullptr || to == nullptr || (input == nullptr && inLen > 0) || output == nullptr)
        return -1;
    IconvHandle cd(to, from);
    if (!cd.Valid())
        return -1;
    memset(output, 0, outLen);
    char* in = const_cast<char*>(input);  // iconv's prototype is not const-correct; it only reads
    char* out = output;
    size_t inLeft = inLen;
    size_t outLeft = outLen;
    const size_t rc = iconv(cd.Get(), &in, &inLeft, &out, &outLeft);
    if (rc == static_cast<size_t>(-1))
        return -1;
    return static_cast<int32_t>(rc);
}

CAutoString CPortalParser::GetAlgoId() {
    return CZsmHelper::GetInst()->GetAlgoId();
}

int32_t CPortalParser::UpdateAlgoidBody(const char* data, uint64_t len) {
    if (data == nullptr || len == 0)
        return 0;
    return CZsmHelper::GetInst()->Update(data, static_cast<size_t>(len));
}

// ---- Configuration block and request/response documents ------------------------------------

namespace {

const char kRequestStart[] = "<?xml version=\"1.0\" encoding=\"UTF-8\"?><request></request>";

// Leading decimal digits as an int; no digits gives 0, too many saturate instead of overflowing.
int LeadingDecimal(const char* text) {
    long long value = 0;
    for (const char* p = text ? text : ""; *p >= '0' && *p <= '9'; ++p) {
        value = value * 10 + (*p - '0');
        if (value > INT_MAX)
            return INT_MAX;
    }
    return static_cast<int>(value);
}

// atoi without its undefined behaviour on overflow: optional blanks and sign, then digits.
long long AtoiLike(const char* text) {
    const char* p = text ? text : "";
    while (std::isspace(static_cast<unsigned char>(*p)))
        ++p;
    bool negative = *p == '-';
    if (*p == '-' || *p == '+')
        ++p;
    long long value = LeadingDecimal(p);
    return negative ? -value : value;
}

// One child of a request document.
struct RequestChild {
    const char* name;   // tag name; null for a ready-made element given in value
    const char* value;  // text, or the element's markup
    int flags;          // CMarkup escaping flags for text
};

// Builds a request document with the children in the given (document) order. Values go through
// the XML layer, so markup characters are escaped and CDATA sections stay closed. A child the XML
// layer refuses (a value with control characters, a fragment that is no element) fails the whole
// document: a request with a field silently missing would be sent as if it were complete. Returns
// false then, with a log line naming the child but never its value (it may be a password).
bool BuildRequest(const std::vector<RequestChild>& children, CAutoString& doc) {
    CMarkup xml(kRequestStart);
    xml.FindElem("request");
    for (const RequestChild& child : children) {
        const bool added =
            child.name != nullptr
                ? xml.AddChildElem(child.name, child.value ? child.value : "", child.flags)
                : xml.AddChildSubDoc(child.value);
        if (!added) {
            CLog::GetInst()->WriteLog(CLog::ERROR, "request not built: the value of %s is refused",
                                      child.name != nullptr ? child.name : "the extra fragment");
            return false;
        }
    }
    doc = xml.GetDoc();
    return true;
}

// The coded body of the request, or the empty text when the document could not be built; every
// caller treats an empty body as a request that cannot be sent.
CAutoString CodedRequest(CPortalParser& parser, const std::vector<RequestChild>& children) {
    CAutoString doc;
    if (!BuildRequest(children, doc))
        return CAutoString("");
    return parser.EncodePostRequestData(doc);
}

// Positions the child cursor on the first child named name.
bool FindFirstChild(CMarkup& xml, const char* name) {
    xml.ResetChildPos();
    return xml.FindChildElem(name);
}

// Text of the first child named name, if there is one.
bool ReadFirstChild(CMarkup& xml, const char* name, CAutoString& out) {
    if (!FindFirstChild(xml, name))
        return false;
    out = xml.GetChildData().c_str();
    return true;
}

bool ReadFirstChild(CMarkup& xml, const char* name, int& out) {
    if (!FindFirstChild(xml, name))
        return false;
    out = LeadingDecimal(xml.GetChildData());
    return true;
}

// Loads a decoded answer; true when it is a document whose root is "response".
bool LoadResponse(CMarkup& xml, const char* doc) {
    if (doc == nullptr || !xml.SetDoc(doc))
        return false;
    return xml.FindElem("response");
}

// The number between the first open tag and the first close tag after it; fallback otherwise.
int NumberBetweenTags(const char* text, const char* open, const char* close, int fallback) {
    if (text == nullptr)
        return fallback;
    const char* start = std::strstr(text, open);
    if (start == nullptr)
        return fallback;
    start += std::strlen(open);
    const char* end = std::strstr(start, close);
    if (end == nullptr || end == start)
        return fallback;
    long long value = AtoiLike(std::string(start, end).c_str());
    if (value > INT_MAX)
        return INT_MAX;
    if (value < INT_MIN)
        return INT_MIN;
    return static_cast<int>(value);
}

}  // namespace

int CPortalParser::GetConfigWithString(const char* page, CAutoString& out) {
    if (page == nullptr)
        return 0;
    const std::string startMarker = std::string("<!--//") + kMarkerToken;
    const std::string endMarker = std::string("//") + kMarkerToken + "-->";
    const char* start = std::strstr(page, startMarker.c_str());
    if (start == nullptr)
        return 0;
    start += startMarker.size();
    const char* end = std::strstr(start, endMarker.c_str());
    if (end == nullptr || end == start)
        return 0;
    out = CAutoString(start, static_cast<size_t>(end - start));
    return static_cast<int>(end - start);
}

namespace {

// The five addresses and the poll interval count only in this order: each is searched among the
// children after the one found before, so one standing before an earlier one is not seen.
void ReadServiceUrls(CMarkup& xml, CAuthConfig& cfg) {
    struct {
        const char* name;
        CAutoString* field;
    } const urls[] = {{"ticket-url", &cfg.strTickUrl},
                      {"query-url", &cfg.strQueryUrl},
                      {"auth-url", &cfg.strAuthUrl},
                      {"state-url", &cfg.strStateUrl}};
    xml.ResetChildPos();
    for (const auto& url : urls) {
        if (xml.FindChildElem(url.name))
            *url.field = xml.GetChildData();
    }
    if (xml.FindChildElem("state-interval")) {
        long long seconds = AtoiLike(xml.GetChildData());
        // A poll interval of 0 (or garbage, or a negative number) would poll without pause.
        cfg.stateInterval = seconds > 0 ? static_cast<uint64_t>(seconds) : 5;
    }
}

void ReadNotify(CMarkup& xml, CAuthConfig& cfg) {
    if (!FindFirstChild(xml, "notify"))
        return;
    cfg.m_vecRegister.clear();
    cfg.m_vecOption.clear();
    xml.IntoElem();
    while (xml.FindChildElem("register"))
        cfg.m_vecRegister.push_back(xml.GetChildData());
    // Options are looked for after the last register entry.
    while (xml.FindChildElem("option"))
        cfg.m_vecOption.push_back(xml.GetChildData());
    xml.OutOfElem();
}

void ReadAccountModify(CMarkup& xml, CAuthConfig& cfg) {
    if (!FindFirstChild(xml, "account"))
        return;
    xml.IntoElem();
    if (xml.FindChildElem("modify")) {
        xml.IntoElem();
        if (xml.FindChildElem("type"))
            cfg.m_strAcountType = xml.GetChildData();
        if (xml.FindChildElem("value"))
            cfg.m_strAcountValue = xml.GetChildData();
        xml.OutOfElem();
    }
    xml.OutOfElem();
}

// Sums the methods of all "auth" entries; a default entry sets the default method. The default
// is not reset first, so a configuration without a default entry keeps the earlier one.
void ReadAuthMethods(CMarkup& xml, CAuthConfig& cfg) {
    cfg.nAuthType = 0;
    xml.ResetChildPos();
    while (xml.FindChildElem("auth")) {
        CAutoString type("");
        CAutoString isDefault("");
        xml.IntoElem();
        ReadFirstChild(xml, "type", type);
        ReadFirstChild(xml, "default", isDefault);
        xml.OutOfElem();
        int method = 4;
        if (type == "vxr-http-pap") {
            method = 1;
        } else if (type == "vxr-mobile-qr") {
            method = 2;
        }
        cfg.nAuthType += method;
        if (isDefault == "1" || strcasecmp(isDefault.c_str(), "yes") == 0)
            cfg.nDefaultAuth = method;
    }
}

void ReadMarkupParts(CMarkup& xml, CAuthConfig& cfg) {
    if (FindFirstChild(xml, "server-clusters"))
        cfg.m_strServers = xml.GetChildAttrib("servers");
    if (FindFirstChild(xml, "user-config"))
        cfg.againstList = xml.GetChildSubDoc();
    if (FindFirstChild(xml, "FunCfg")) {
        xml.IntoElem();
        while (xml.FindChildElem())
            cfg.funCfg[xml.GetChildTagName()] = xml.GetChildSubDoc();
        xml.OutOfElem();
    }
}

}  // namespace

int CPortalParser::ParserConfig(const char* text, std::unique_ptr<CAuthConfig>& config) {
    CLog::GetInst()->WriteLog(CLog::INFO, "config is %s ", text ? text : "");
    if (!config)
        config = std::make_unique<CAuthConfig>();
    CMarkup xml;
    if (text == nullptr || !xml.SetDoc(text) || !xml.FindElem("config")) {
        CLog::GetInst()->WriteLog(CLog::WARN, "config refused: not a config document");
        return -1;
    }
    CAuthConfig& cfg = *config;
    ReadServiceUrls(xml, cfg);
    ReadNotify(xml, cfg);
    ReadAccountModify(xml, cfg);
    ReadAuthMethods(xml, cfg);
    ReadMarkupParts(xml, cfg);
    return 0;
}

CAutoString CPortalParser::MakeTickRequestData(const char* hostName, const char* userAgent,
                                               const char* clientId, const char* ipv4,
                                               const char* ipv6, const char* mac,
                                               const char* localTime, const char* osTag) {
    return CodedRequest(
        *this, {
                   {"ostag", osTag, 0},
                   {"local-time", localTime, 0},
                   {"mac", mac, 0},
                   {"ipv6", ipv6, 0},
                   {"ipv4", ipv4, 0},
                   {"client-id", clientId, 0},
                   {"user-agent", userAgent, 0},
                   // Host names may arrive with references already written (such as &amp;).
                   {"host-name", hostName, CMarkup::MNF_WITHREFS},
               });
}

CAutoString CPortalParser::MakeAuthRequestData(const char* userAgent, const char* clientId,
                                               const char* account, const char* password,
                                               const char* ticket, const char* localTime) {
    return CodedRequest(*this, {
                                   {"local-time", localTime, 0},
                                   {"ticket", ticket, 0},
                                   {"passwd", password, CMarkup::MNF_WITHCDATA},
                                   {"userid", account, CMarkup::MNF_WITHCDATA},
                                   {"client-id", clientId, 0},
                                   {"user-agent", userAgent, 0},
                               });
}

CAutoString CPortalParser::MakeKeepRequestData(const char* userAgent, const char* clientId,
                                               const char* ticket, const char* ipv4,
                                               const char* ipv6, const char* mac,
                                               const char* localTime, const char* extra,
                                               int shared) {
    const std::string sharedText = std::to_string(shared);
    const bool hasExtra = extra != nullptr && *extra != '\0';
    std::vector<RequestChild> children;
    // Without a fragment "shared" leads the document; with one it follows the local time.
    if (hasExtra)
        children.push_back({"local-time", localTime, 0});
    if (shared != 0)
        children.push_back({"shared", sharedText.c_str(), 0});
    if (hasExtra) {
        children.push_back({nullptr, extra, 0});
    } else {
        children.push_back({"local-time", localTime, 0});
    }
    children.insert(children.end(), {{"mac", mac, 0},
                                     {"ipv6", ipv6, 0},
                                     {"ipv4", ipv4, 0},
                                     {"ticket", ticket, 0},
                                     {"client-id", clientId, 0},
                                     {"user-agent", userAgent, 0}});
    return CodedRequest(*this, children);
}

CAutoString CPortalParser::MakeTermRequestData(const char* userAgent, const char* clientId,
                                               const char* ticket, const char* localTime,
                                               const char* reason) {
    return CodedRequest(*this, {
                                   {"reason", reason, 0},
                                   {"local-time", localTime, 0},
                                   {"ticket", ticket, 0},
                                   {"client-id", clientId, 0},
                                   {"user-agent", userAgent, 0},
                               });
}

CAutoString CPortalParser::MakeStateRequestData(const char* userAgent, const char* clientId,
                                                const char* ticket, const char* localTime) {
    return CodedRequest(*this, {
                                   {"local-time", localTime, 0},
                                   {"ticket", ticket, 0},
                                   {"client-id", clientId, 0},
                                   {"user-agent", userAgent, 0},
                               });
}

CAutoString CPortalParser::MakeTerminalRequestData(const char* userAgent, const char* clientId,
                                                   const char* localTime) {
    return CodedRequest(*this, {
                                   {"local-time", localTime, 0},
                                   {"client-id", clientId, 0},
                                   {"user-agent", userAgent, 0},
                               });
}

int CPortalParser::ReadTickResponse(const char* doc, CAutoString& ticket, int& expire) {
    CMarkup xml;
    if (!LoadResponse(xml, doc))
        return -1;
    ReadFirstChild(xml, "ticket", ticket);
    ReadFirstChild(xml, "expire", expire);
    return 0;
}

int CPortalParser::ReadAuthResponse(const char* doc, CAutoString& userid, int& keepRetry,
                                    CAutoString& keepUrl, CAutoString& termUrl,
                                    CAutoString& userConfig, CAutoString& domainConfig) {
    CMarkup xml;
    if (!LoadResponse(xml, doc))
        return -1;
    ReadFirstChild(xml, "userid", userid);
    ReadFirstChild(xml, "keep-retry", keepRetry);
    ReadFirstChild(xml, "keep-url", keepUrl);
    ReadFirstChild(xml, "term-url", termUrl);
    if (FindFirstChild(xml, "user-config"))
        userConfig = xml.GetChildSubDoc();
    if (FindFirstChild(xml, "domain-config"))
        domainConfig = xml.GetChildSubDoc();
    return 0;
}

int CPortalParser::ReadKeepResponse(const char* doc, int& interval, int& level) {
    CMarkup xml;
    if (!LoadResponse(xml, doc))
        return -1;
    ReadFirstChild(xml, "interval", interval);
    ReadFirstChild(xml, "level", level);
    return 0;
}

int CPortalParser::ParserTickResponse(const char* body, CAutoString& ticket, int& expire) {
    CAutoString doc = DecodePostResponseData(body);
    return ReadTickResponse(doc, ticket, expire);
}

int CPortalParser::ParserAuthResponse(const char* body, CAutoString& userid, int& keepRetry,
                                      CAutoString& keepUrl, CAutoString& termUrl,
                                      CAutoString& userConfig, CAutoString& domainConfig) {
    CAutoString doc = DecodePostResponseData(body);
    CLog::GetInst()->WriteLog(CLog::INFO, "auth is %s ", doc.c_str());
    return ReadAuthResponse(doc, userid, keepRetry, keepUrl, termUrl, userConfig, domainConfig);
}

int CPortalParser::ParserKeepResponse(const char* body, int& interval, int& level) {
    CAutoString doc = DecodePostResponseData(body);
    return ReadKeepResponse(doc, interval, level);
}

int CPortalParser::GetCheckWifiShareTime(const char* text) {
    return NumberBetweenTags(text, "<against-interval>", "</against-interval>", 0);
}

int CPortalParser::GetCheckWifiLogoutTime(const char* text) {
    return NumberBetweenTags(text, "<logout-delay>", "</logout-delay>", 300);
}
