#include "CMarkup.h"

#include "CXmlFileCodec.h"
#include "CXmlScanner.h"

#include <cstring>
#include <string>
#include <string_view>

namespace {

using Node = CXmlScanner::Node;

const char kLineBreak[] = "\r\n";

std::string NameOf(const std::string& doc, const Node& n) {
    return doc.substr(n.start + 1, n.nameLen);
}

// Appends code point cp as UTF-8.
void AppendUtf8(std::string& out, uint32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

// Decodes the reference of length len at p ("&...;") into out; false when it is not one we know.
bool DecodeReference(const char* p, size_t len, std::string& out) {
    const std::string_view ref(p + 1, len - 2);
    static const struct {
        const char* name;
        char ch;
    } kEntities[] = {{"lt", '<'}, {"gt", '>'}, {"amp", '&'}, {"apos", '\''}, {"quot", '"'}};
    for (const auto& e : kEntities) {
        if (ref == e.name) {
            out += e.ch;
            return true;
        }
    }
    if (ref.size() < 2 || ref[0] != '#')
        return false;
    const bool hex = ref[1] == 'x';
    uint32_t cp = 0;
    for (size_t i = hex ? 2 : 1; i < ref.size(); ++i) {
        const char c = ref[i];
        const int digit = c >= '0' && c <= '9'          ? c - '0'
                          : hex && c >= 'a' && c <= 'f' ? c - 'a' + 10
                          : hex && c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                        : -1;
        if (digit < 0)
            return false;
        cp = cp * (hex ? 16 : 10) + digit;
        if (cp > 0x10FFFF)
            return false;
    }
    if (cp == 0 || (cp >= 0xD800 && cp <= 0xDFFF))
        return false;
    AppendUtf8(out, cp);
    return true;
}

std::string Unescape(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '&') {
            const size_t semi = text.find(';', i);
            if (semi != std::string_view::npos &&
                DecodeReference(text.data() + i, semi - i + 1, out)) {
                i = semi;
                continue;
            }
        }
        out += text[i];
    }
    return out;
}

std::string Escape(const char* text, int flags, bool attribute) {
    std::string out;
    if (text == nullptr)
        return out;
    if ((flags & CMarkup::MNF_WITHCDATA) && !attribute && *text != '\0') {
        // A "]]>" inside the value would end the section early: close the section between "]]"
        // and ">" and open a new one, so the reader gets the value back unchanged.
        std::string value(text);
        out = "<![CDATA[";
        for (size_t at = 0;;) {
            const size_t hit = value.find("]]>", at);
            if (hit == std::string::npos) {
                out.append(value, at, std::string::npos);
                break;
            }
            out.append(value, at, hit + 2 - at);
            out += "]]><![CDATA[";
            at = hit + 2;
        }
        return out + "]]>";
    }
    const size_t len = std::strlen(text);
    for (size_t i = 0; i < len; ++i) {
        const char c = text[i];
        if (c == '&' && (flags & CMarkup::MNF_WITHREFS)) {
            const size_t ref = CXmlScanner::ReferenceLength(text + i, len - i);
            if (ref > 0) {
                out.append(text + i, ref);
                i += ref - 1;
                continue;
            }
        }
        switch (c) {
            case '<':
                out += "&lt;";
                break;
            case '&':
                out += "&amp;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '\'':
                out += attribute ? "&apos;" : "'";
                break;
            case '"':
                out += attribute ? "&quot;" : "\"";
                break;
            default:
                out += c;
        }
    }
    return out;
}

// Text content of an element without child elements: text decoded, CDATA verbatim, comments and
// processing instructions left out.
std::string ContentText(const std::string& doc, const Node& n) {
    std::string out;
    size_t p = n.tagEnd;
    while (p < n.contentEnd) {
        size_t stop = doc.find('<', p);
        if (stop == std::string::npos || stop > n.contentEnd)
            stop = n.contentEnd;
        out += Unescape(std::string_view(doc).substr(p, stop - p));
        if (stop >= n.contentEnd)
            break;
        const char* close = "?>";
        size_t skip = 2;
        if (doc.compare(stop, 9, "<![CDATA[") == 0) {
            const size_t end = doc.find("]]>", stop + 9);
            if (end == std::string::npos)
                break;
            out.append(doc, stop + 9, end - stop - 9);
            p = end + 3;
            continue;
        }
        if (doc.compare(stop, 4, "<!--") == 0)
            close = "-->", skip = 3;
        const size_t end = doc.find(close, stop + 2);
        if (end == std::string::npos)
            break;
        p = end + skip;
    }
    return out;
}

bool NameMatches(const std::string& doc, const Node& n, const char* name) {
    if (name == nullptr || *name == '\0')
        return true;
    const size_t len = std::strlen(name);
    return len == n.nameLen && doc.compare(n.start + 1, len, name) == 0;
}

CAutoString ToAuto(const std::string& s) {
    return CAutoString(s.data(), s.size());
}

}  // namespace

struct CMarkup::Impl {
    std::string doc;
    CXmlScanner::Result index;
    CXmlFileCodec::Form form = CXmlFileCodec::Form::Utf8;
    int parent = -1;
    int main = -1;
    int child = -1;

    void Parse() {
        index = CXmlScanner::Scan(doc);
        parent = main = child = -1;
    }
    const Node& At(int i) const { return index.nodes[static_cast<size_t>(i)]; }
    int Count() const { return static_cast<int>(index.nodes.size()); }

    // Search the siblings starting at from for name.
    int FindFrom(int from, const char* name) const {
        for (int i = from; i >= 0; i = At(i).next)
            if (NameMatches(doc, At(i), name))
                return i;
        return -1;
    }

    int Replace(size_t a, size_t b, const std::string& text);
    size_t AfterLineBreak(size_t pos, size_t limit) const;
    int InsertChild(int parentIdx, int anchor, bool before, const std::string& element);
    std::string Element(const char* name, const char* value, int flags) const;
    bool SetAttrib(const char* name, const std::string& value);
};

// Replaces doc[a, b) with text and re-indexes. The edit is kept only when the result is well
// formed; otherwise nothing changes and -1 is returned. Cursor positions are carried over: the
// elements that started inside [a, b) are gone (positions on them are emptied) and those after
// shift by the number of elements added. Returns the index of the first element starting at or
// after a in the new document.
int CMarkup::Impl::Replace(size_t a, size_t b, const std::string& text) {
    int first = 0;
    while (first < Count() && At(first).start < a)
        ++first;
    int removed = 0;
    while (first + removed < Count() && At(first + removed).start < b)
        ++removed;

    std::string edited;
    edited.reserve(doc.size() - (b - a) + text.size());
    edited.append(doc, 0, a).append(text).append(doc, b, std::string::npos);
    CXmlScanner::Result scanned = CXmlScanner::Scan(edited);
    if (!scanned.WellFormed())
        return -1;

    const int added = static_cast<int>(scanned.nodes.size()) - (Count() - removed);
    for (int* pos : {&parent, &main, &child}) {
        if (*pos >= first + removed)
            *pos += added - removed;
        else if (*pos >= first)
            *pos = -1;
    }
    doc.swap(edited);
    index = std::move(scanned);
    return first;
}

size_t CMarkup::Impl::AfterLineBreak(size_t pos, size_t limit) const {
    if (pos + 2 <= limit && doc.compare(pos, 2, kLineBreak) == 0)
        return pos + 2;
    if (pos + 1 <= limit && doc[pos] == '\n')
        return pos + 1;
    return pos;
}

// Inserts element under parentIdx (-1: as the root of a document without one), before or after
// anchor, or first/last when anchor is -1. Returns the new element's index or -1.
int CMarkup::Impl::InsertChild(int parentIdx, int anchor, bool before, const std::string& element) {
    const std::string line = element + kLineBreak;
    if (parentIdx < 0) {
        if (index.hasRoot || !index.syntaxOk)
            return -1;
        const bool needBreak = !doc.empty() && doc.back() != '\n';
        return Replace(doc.size(), doc.size(), (needBreak ? kLineBreak : "") + line);
    }
    const Node& p = At(parentIdx);
    if (p.selfClosed) {  // "<p/>" becomes "<p>\r\n<new/>\r\n</p>"
        return Replace(p.tagEnd - 2, p.tagEnd,
                       ">" + std::string(kLineBreak) + line + "</" + NameOf(doc, p) + ">");
    }
    if (p.tagEnd == p.contentEnd)
        return Replace(p.tagEnd, p.tagEnd, kLineBreak + line);
    size_t at;
    if (anchor >= 0) {
        at = before ? At(anchor).start : AfterLineBreak(At(anchor).end, p.contentEnd);
    } else if (before) {
        at = p.firstChild >= 0 ? At(p.firstChild).start : AfterLineBreak(p.tagEnd, p.contentEnd);
    } else {
        at = p.lastChild >= 0 ? AfterLineBreak(At(p.lastChild).end, p.contentEnd) : p.contentEnd;
    }
    return Replace(at, at, line);
}

std::string CMarkup::Impl::Element(const char* name, const char* value, int flags) const {
    const std::string body = Escape(value, flags, false);
    if (body.empty())
        return "<" + std::string(name) + "/>";
    return "<" + std::string(name) + ">" + body + "</" + name + ">";
}

bool CMarkup::Impl::SetAttrib(const char* name, const std::string& value) {
    const Node& n = At(main);
    const size_t len = std::strlen(name);
    size_t insertAt = n.start + 1 + n.nameLen;
    for (const CXmlScanner::Attr& a : CXmlScanner::Attributes(doc, n)) {
        if (a.nameLen == len && doc.compare(a.nameStart, len, name) == 0)
            return Replace(a.valueStart - 1, a.valueEnd + 1, "\"" + value + "\"") >= 0;
        insertAt = a.valueEnd + 1;
    }
    return Replace(insertAt, insertAt, " " + std::string(name) + "=\"" + value + "\"") >= 0;
}

CMarkup::CMarkup() : m_pImpl(std::make_unique<Impl>()) {
    m_pImpl->Parse();
}

CMarkup::CMarkup(const char* text) : CMarkup() {
    SetDoc(text);
}

CMarkup::CMarkup(const CMarkup& other) : m_pImpl(std::make_unique<Impl>(*other.m_pImpl)) {}

CMarkup& CMarkup::operator=(const CMarkup& other) {
    if (this != &other)
        *m_pImpl = *other.m_pImpl;
    return *this;
}

CMarkup::~CMarkup() = default;

bool CMarkup::SetDoc(const char* text) {
    m_pImpl->doc = text != nullptr ? text : "";
    m_pImpl->form = CXmlFileCodec::Form::Utf8;
    m_pImpl->Parse();
    return IsWellFormed();
}

bool CMarkup::IsWellFormed() const {
    return m_pImpl->index.WellFormed();
}

CAutoString CMarkup::GetError() const {
    if (!m_pImpl->index.syntaxOk)
        return ToAuto(m_pImpl->index.error);
    return m_pImpl->index.hasRoot ? CAutoString("") : CAutoString("no root element");
}

CAutoString CMarkup::GetDoc() const {
    return ToAuto(m_pImpl->doc);
}

bool CMarkup::Load(const char* path) {
    std::string bytes;
    std::string text;
    CXmlFileCodec::Form form;
    if (!CXmlFileCodec::ReadFile(path, bytes) || !CXmlFileCodec::Decode(bytes, text, form))
        return false;
    m_pImpl->doc.swap(text);
    m_pImpl->form = form;
    m_pImpl->Parse();
    return IsWellFormed();
}

bool CMarkup::Save(const char* path) const {
    std::string bytes;
    return CXmlFileCodec::Encode(m_pImpl->doc, m_pImpl->form, bytes) &&
           CXmlFileCodec::WriteFileAtomic(path, bytes);
}

void CMarkup::ResetPos() {
    m_pImpl->parent = m_pImpl->main = m_pImpl->child = -1;
}

void CMarkup::ResetChildPos() {
    m_pImpl->child = -1;
}

bool CMarkup::FindElem(const char* name) {
    Impl& d = *m_pImpl;
    int from;
    if (d.main >= 0)
        from = d.At(d.main).next;
    else if (d.parent >= 0)
        from = d.At(d.parent).firstChild;
    else
        from = d.Count() > 0 ? 0 : -1;
    const int found = d.FindFrom(from, name);
    if (found < 0)
        return false;
    d.main = found;
    d.child = -1;
    return true;
}

bool CMarkup::FindChildElem(const char* name) {
    Impl& d = *m_pImpl;
    if (d.main < 0 && !FindElem())
        return false;
    const int from = d.child >= 0 ? d.At(d.child).next : d.At(d.main).firstChild;
    const int found = d.FindFrom(from, name);
    if (found < 0)
        return false;
    d.child = found;
    return true;
}

bool CMarkup::IntoElem() {
    Impl& d = *m_pImpl;
    if (d.main < 0)
        return false;
    d.parent = d.main;
    d.main = d.child;
    d.child = -1;
    return true;
}

bool CMarkup::OutOfElem() {
    Impl& d = *m_pImpl;
    if (d.parent < 0)
        return false;
    d.child = d.main;
    d.main = d.parent;
    d.parent = d.At(d.parent).parent;
    return true;
}

CAutoString CMarkup::GetData() const {
    return ElementData(m_pImpl->main);
}

CAutoString CMarkup::GetChildData() const {
    return ElementData(m_pImpl->child);
}

CAutoString CMarkup::ElementData(int i) const {
    const Impl& d = *m_pImpl;
    if (i < 0 || d.At(i).firstChild >= 0)
        return CAutoString("");
    return ToAuto(ContentText(d.doc, d.At(i)));
}

CAutoString CMarkup::GetTagName() const {
    const Impl& d = *m_pImpl;
    return d.main < 0 ? CAutoString("") : ToAuto(NameOf(d.doc, d.At(d.main)));
}

CAutoString CMarkup::GetChildTagName() const {
    const Impl& d = *m_pImpl;
    return d.child < 0 ? CAutoString("") : ToAuto(NameOf(d.doc, d.At(d.child)));
}

CAutoString CMarkup::GetAttrib(const char* name) const {
    return ElementAttrib(m_pImpl->main, name);
}

CAutoString CMarkup::GetChildAttrib(const char* name) const {
    return ElementAttrib(m_pImpl->child, name);
}

CAutoString CMarkup::ElementAttrib(int i, const char* name) const {
    const Impl& d = *m_pImpl;
    if (i < 0 || name == nullptr)
        return CAutoString("");
    const size_t len = std::strlen(name);
    for (const CXmlScanner::Attr& a : CXmlScanner::Attributes(d.doc, d.At(i))) {
        if (a.nameLen == len && d.doc.compare(a.nameStart, len, name) == 0)
            return ToAuto(
                Unescape(std::string_view(d.doc).substr(a.valueStart, a.valueEnd - a.valueStart)));
    }
    return CAutoString("");
}

CAutoString CMarkup::GetSubDoc() const {
    return ElementMarkup(m_pImpl->main);
}

CAutoString CMarkup::GetChildSubDoc() const {
    return ElementMarkup(m_pImpl->child);
}

CAutoString CMarkup::ElementMarkup(int i) const {
    const Impl& d = *m_pImpl;
    if (i < 0)
        return CAutoString("");
    const Node& n = d.At(i);
    return ToAuto(d.doc.substr(n.start, n.end - n.start));
}

bool CMarkup::AddElem(const char* name, const char* value, int flags) {
    Impl& d = *m_pImpl;
    if (name == nullptr || !CXmlScanner::IsName(name, std::strlen(name)))
        return false;
    const int added = d.InsertChild(d.parent, d.main, false, d.Element(name, value, flags));
    if (added < 0)
        return false;
    d.main = added;
    d.child = -1;
    return true;
}

bool CMarkup::AddElem(const char* name, int value, int flags) {
    return AddElem(name, std::to_string(value).c_str(), flags);
}

bool CMarkup::AddChild(const char* name, const char* value, int flags, bool before) {
    Impl& d = *m_pImpl;
    if (d.main < 0 || name == nullptr || !CXmlScanner::IsName(name, std::strlen(name)))
        return false;
    const int added = d.InsertChild(d.main, d.child, before, d.Element(name, value, flags));
    if (added < 0)
        return false;
    d.child = added;
    return true;
}

bool CMarkup::AddChildElem(const char* name, const char* value, int flags) {
    return AddChild(name, value, flags, false);
}

bool CMarkup::AddChildElem(const char* name, int value, int flags) {
    return AddChild(name, std::to_string(value).c_str(), flags, false);
}

bool CMarkup::InsertChildElem(const char* name, const char* value, int flags) {
    return AddChild(name, value, flags, true);
}

bool CMarkup::InsertChildElem(const char* name, int value, int flags) {
    return AddChild(name, std::to_string(value).c_str(), flags, true);
}

bool CMarkup::AddChildSubDoc(const char* markup) {
    Impl& d = *m_pImpl;
    if (d.main < 0 || markup == nullptr)
        return false;
    const std::string text(markup);
    const CXmlScanner::Result sub = CXmlScanner::Scan(text);
    if (!sub.WellFormed())
        return false;
    const Node& root = sub.nodes.front();
    const int added =
        d.InsertChild(d.main, d.child, false, text.substr(root.start, root.end - root.start));
    if (added < 0)
        return false;
    d.child = added;
    return true;
}

bool CMarkup::SetAttrib(const char* name, const char* value, int flags) {
    Impl& d = *m_pImpl;
    if (d.main < 0 || name == nullptr || !CXmlScanner::IsName(name, std::strlen(name)))
        return false;
    return d.SetAttrib(name, Escape(value, flags & ~MNF_WITHCDATA, true));
}

bool CMarkup::SetAttrib(const char* name, int value, int flags) {
    return SetAttrib(name, std::to_string(value).c_str(), flags);
}

bool CMarkup::SetData(const char* value, int flags) {
    Impl& d = *m_pImpl;
    if (d.main < 0)
        return false;
    const Node& n = d.At(d.main);
    // Replacing the content of an element with children would silently drop them.
    if (n.firstChild >= 0)
        return false;
    const std::string body = Escape(value, flags, false);
    if (n.selfClosed) {  // "<a/>" becomes "<a>value</a>"
        if (body.empty())
            return true;
        return d.Replace(n.tagEnd - 2, n.tagEnd, ">" + body + "</" + NameOf(d.doc, n) + ">") >= 0;
    }
    return d.Replace(n.tagEnd, n.contentEnd, body) >= 0;
}

bool CMarkup::SetData(int value, int flags) {
    return SetData(std::to_string(value).c_str(), flags);
}

CAutoString CMarkup::EscapeText(const char* text, int flags, bool attribute) {
    return ToAuto(Escape(text, flags, attribute));
}

CAutoString CMarkup::UnescapeText(const char* text) {
    return ToAuto(Unescape(text != nullptr ? std::string_view(text) : std::string_view()));
}
