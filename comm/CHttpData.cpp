#include "CHttpData.h"

#include <algorithm>
#include <cctype>
#include <string>

namespace {

// Position of the first occurrence of name that begins a line of text; npos when none does.
size_t FindAtLineStart(const std::string& text, const char* name) {
    size_t pos = text.find(name);
    while (pos != std::string::npos && pos > 0 && text[pos - 1] != '\n')
        pos = text.find(name, pos + 1);
    return pos;
}

// True when text holds a byte below 0x20 other than a tab, or DEL.
bool HasControlCharacter(const std::string& text) {
    return std::any_of(text.begin(), text.end(), [](char c) {
        const unsigned char u = static_cast<unsigned char>(c);
        return (u < 0x20 && u != '\t') || u == 0x7f;
    });
}

// The text between the ':' after name and the end of its line, as it stands; false when the name
// is missing, the line unfinished or the value holds a control character other than a tab.
bool RawHeadValue(const char* head, const char* name, std::string& value) {
    if (head == nullptr)
        return false;
    const std::string text(head);
    const size_t at = FindAtLineStart(text, name);
    if (at == std::string::npos)
        return false;
    const size_t lineEnd = text.find('\n', at);
    const size_t colon = text.find(':', at);
    if (lineEnd == std::string::npos || colon == std::string::npos || colon > lineEnd)
        return false;
    value = text.substr(colon + 1, lineEnd - colon - 1);
    if (!value.empty() && value.back() == '\r')
        value.pop_back();
    return !HasControlCharacter(value);
}

std::string Lower(const char* text) {
    std::string out(text ? text : "");
    std::transform(out.begin(), out.end(), out.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return out;
}

// The text of a 302/303 Location header line, up to the end of that line.
std::string LocationTarget(const std::string& head) {
    static const std::string kName = "location:";
    const size_t at = head.find(kName);
    if (at == std::string::npos)
        return "";
    const size_t from = at + kName.size();
    const size_t nl = head.find('\n', from);
    return nl == std::string::npos ? head.substr(from) : head.substr(from, nl - from);
}

// <meta http-equiv="refresh" content="0; url=TARGET">: the text from "url=" to the next quote.
// Empty when the page has no meta refresh or the refresh names no target.
bool MetaRefreshTarget(const std::string& body, std::string& target) {
    const size_t meta = body.find("http-equiv=\"refresh\"");
    if (meta == std::string::npos || meta == 0)
        return false;
    const size_t content = body.find("content=", meta);
    const size_t url = content == std::string::npos ? content : body.find("url=", content);
    const size_t quote = url == std::string::npos ? url : body.find('"', url + 4);
    if (quote != std::string::npos)
        target = body.substr(url + 4, quote - url - 4);
    return true;
}

// location.href="TARGET"</script> inside <head>...</head>; a script elsewhere in the page does
// not count.
std::string ScriptTarget(const std::string& body) {
    static const std::string kOpen = "location.href=\"";
    const size_t head = body.find("<head>");
    const size_t headEnd = head == std::string::npos ? head : body.find("</head>", head);
    if (headEnd == std::string::npos)
        return "";
    const std::string inHead = body.substr(head + 6, headEnd - head - 6);
    const size_t open = inHead.find(kOpen);
    const size_t close =
        open == std::string::npos ? open : inHead.find("\"</script>", open + kOpen.size());
    if (close == std::string::npos)
        return "";
    return inHead.substr(open + kOpen.size(), close - open - kOpen.size());
}

bool IsWebAddress(const std::string& target) {
    return target.compare(0, 7, "http://") == 0 || target.compare(0, 8, "https://") == 0;
}

}  // namespace

CHttpData::CHttpData(bool autoRelease) : m_bAutoRealease(autoRelease) {}

CHttpData::~CHttpData() {
    if (m_bAutoRealease)
        Release();
}

void CHttpData::Release() {
    delete[] szRespHead;
    delete[] szRespData;
    szRespHead = nullptr;
    szRespData = nullptr;
}

void CHttpData::RespHead(char* pHead) {
    if (pHead == szRespHead)
        return;
    delete[] szRespHead;
    szRespHead = pHead;
}

void CHttpData::RespData(char* pData) {
    if (pData == szRespData)
        return;
    delete[] szRespData;
    szRespData = pData;
}

CAutoString CHttpData::GetHeadAttri(CAutoString attri) const {
    std::string value;
    if (attri.IsEmpty() || !RawHeadValue(szRespHead, attri.c_str(), value))
        return CAutoString("");
    CAutoString trimmed(value);
    trimmed.Trim();
    return trimmed;
}

CAutoString CHttpData::GetHeadText(const char* name) const {
    std::string value;
    if (name == nullptr || *name == '\0' || !RawHeadValue(szRespHead, name, value))
        return CAutoString("");
    const size_t first = value.find_first_not_of(" \t");
    if (first == std::string::npos)
        return CAutoString("");
    return CAutoString(value.substr(first, value.find_last_not_of(" \t") - first + 1));
}

bool CHttpData::IsHeaderValue(const char* text) {
    return text == nullptr || !HasControlCharacter(text);
}

CAutoString CHttpData::GetRedirectAddress() const {
    std::string target;
    if (retCode == 302 || retCode == 303) {
        target = LocationTarget(Lower(szRespHead));
    } else if (retCode == 200) {
        const std::string body = Lower(szRespData);
        if (!MetaRefreshTarget(body, target))
            target = ScriptTarget(body);
    }
    CAutoString result(target);
    result.Trim();
    // Only an absolute web address is followed: a relative path, a file or a script target from
    // the network must never become the next request.
    if (!IsWebAddress(result.c_str()) || result.GetLength() > kMaxRedirectBytes)
        return CAutoString("");
    return result;
}
