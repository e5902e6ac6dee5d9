#include "CXmlScanner.h"

#include <strings.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <string_view>

namespace {

bool IsSpace(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

bool IsXmlChar(uint32_t c) {
    return c == 0x9 || c == 0xA || c == 0xD || (c >= 0x20 && c <= 0xD7FF) ||
           (c >= 0xE000 && c <= 0xFFFD) || (c >= 0x10000 && c <= 0x10FFFF);
}

// Decodes one strictly valid UTF-8 sequence (no overlong forms, no surrogates) at p. Returns its
// length and stores the code point, or returns 0 for an invalid or truncated sequence.
size_t DecodeUtf8(const unsigned char* p, size_t avail, uint32_t& cp) {
    if (avail == 0)
        return 0;
    const unsigned char b = p[0];
    size_t len;
    uint32_t min;
    if (b < 0x80) {
        cp = b;
        return 1;
    } else if (b >= 0xC2 && b <= 0xDF) {
        len = 2, min = 0x80, cp = b & 0x1F;
    } else if (b >= 0xE0 && b <= 0xEF) {
        len = 3, min = 0x800, cp = b & 0x0F;
    } else if (b >= 0xF0 && b <= 0xF4) {
        len = 4, min = 0x10000, cp = b & 0x07;
    } else {
        return 0;
    }
    if (avail < len)
        return 0;
    for (size_t i = 1; i < len; ++i) {
        if ((p[i] & 0xC0) != 0x80)
            return 0;
        cp = (cp << 6) | (p[i] & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
        return 0;
    return len;
}

bool IsNameStart(uint32_t c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' || c == ':' ||
           (c >= 0xC0 && c <= 0xD6) || (c >= 0xD8 && c <= 0xF6) || (c >= 0xF8 && c <= 0x2FF) ||
           (c >= 0x370 && c <= 0x37D) || (c >= 0x37F && c <= 0x1FFF) ||
           (c >= 0x200C && c <= 0x200D) || (c >= 0x2070 && c <= 0x218F) ||
           (c >= 0x2C00 && c <= 0x2FEF) || (c >= 0x3001 && c <= 0xD7FF) ||
           (c >= 0xF900 && c <= 0xFDCF) || (c >= 0xFDF0 && c <= 0xFFFD) ||
           (c >= 0x10000 && c <= 0xEFFFF);
}

bool IsNameChar(uint32_t c) {
    return IsNameStart(c) || c == '-' || c == '.' || (c >= '0' && c <= '9') || c == 0xB7 ||
           (c >= 0x300 && c <= 0x36F) || (c >= 0x203F && c <= 0x2040);
}

// Length of the name at p (0 when p does not start one).
size_t NameLength(const char* p, size_t avail) {
    const auto* u = reinterpret_cast<const unsigned char*>(p);
    size_t i = 0;
    while (i < avail) {
        uint32_t cp = 0;
        const size_t n = DecodeUtf8(u + i, avail - i, cp);
        if (n == 0 || !(i == 0 ? IsNameStart(cp) : IsNameChar(cp)))
            break;
        i += n;
    }
    return i;
}

// Finds the first byte that no document may hold: a control character other than tab, line
// feed and carriage return. Bytes 0x80 and above are data to us: portal texts come in UTF-8 or
// GB18030. Inside a multi-byte character UTF-8 uses only bytes 0x80 and above, GB18030 also
// digits, letters and a few punctuation bytes (0x30-0x39, 0x40-0x7E), but never one of the
// characters that open or close markup ('<', '>', '&', quotes, '-', '?', '/', '='), so the
// structure is found the same way in both. Only ']' (0x5D) can be a GB18030 trail byte; a
// character ending in it just before "]>" reads as "]]>", which we refuse rather than guess.
// Returns the offset, or npos.
size_t FindBadChar(const std::string& text) {
    for (size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c < 0x20 && c != '\t' && c != '\n' && c != '\r')
            return i;
    }
    return std::string::npos;
}

class Scanner {
public:
    explicit Scanner(const std::string& text) : t_(text), n_(text.size()) {}
    CXmlScanner::Result Run();

private:
    bool At(const char* lit) const { return t_.compare(p_, std::strlen(lit), lit) == 0; }
    char Ch(size_t i) const { return i < n_ ? t_[i] : '\0'; }
    bool SkipSpace() {
        const size_t from = p_;
        while (p_ < n_ && IsSpace(t_[p_]))
            ++p_;
        return p_ > from;
    }
    bool Fail(const char* why) {
        res_.error = std::string(why) + " at offset " + std::to_string(p_);
        return false;
    }
    bool Expect(char c, const char* why) {
        if (Ch(p_) != c)
            return Fail(why);
        ++p_;
        return true;
    }
    size_t Name() {
        const size_t len = NameLength(t_.data() + p_, n_ - p_);
        p_ += len;
        return len;
    }
    bool SkipTo(const char* terminator, const char* why) {
        const size_t at = t_.find(terminator, p_);
        if (at == std::string::npos)
            return Fail(why);
        p_ = at + std::strlen(terminator);
        return true;
    }

    bool Declaration();
    bool Pseudo(const char* name, bool (*valueOk)(std::string_view));
    bool Misc(bool& handled);
    bool Comment();
    bool ProcessingInstruction();
    bool Doctype();
    bool InternalSubset();
    bool Literal();
    bool Content();
    bool Text();
    bool Reference();
    bool StartTag();
    bool Attributes();
    bool EndTag();

    const std::string& t_;
    const size_t n_;
    size_t p_ = 0;
    CXmlScanner::Result res_;
    std::vector<int> open_;  // indices of the elements whose end tag is still due
    bool sawDoctype_ = false;
};

bool VersionOk(std::string_view v) {
    if (v.size() < 3 || v.compare(0, 2, "1.") != 0)
        return false;
    return std::all_of(v.begin() + 2, v.end(), [](char c) { return c >= '0' && c <= '9'; });
}

bool EncodingOk(std::string_view v) {
    if (v.empty() || !std::isalpha(static_cast<unsigned char>(v[0])))
        return false;
    return std::all_of(v.begin(), v.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '_' || c == '-';
    });
}

bool StandaloneOk(std::string_view v) {
    return v == "yes" || v == "no";
}

// One pseudo-attribute of the declaration: name Eq quoted value.
bool Scanner::Pseudo(const char* name, bool (*valueOk)(std::string_view)) {
    p_ += std::strlen(name);
    SkipSpace();
    if (!Expect('=', "'=' expected in the XML declaration"))
        return false;
    SkipSpace();
    const char q = Ch(p_);
    if (q != '"' && q != '\'')
        return Fail("quoted value expected in the XML declaration");
    const size_t close = t_.find(q, p_ + 1);
    if (close == std::string::npos)
        return Fail("unterminated value in the XML declaration");
    if (!valueOk(std::string_view(t_).substr(p_ + 1, close - p_ - 1)))
        return Fail("bad value in the XML declaration");
    p_ = close + 1;
    return true;
}

bool Scanner::Declaration() {
    p_ += 5;  // "<?xml"
    if (!SkipSpace() || !At("version"))
        return Fail("XML declaration without version");
    if (!Pseudo("version", VersionOk))
        return false;
    bool spaced = SkipSpace();
    if (spaced && At("encoding")) {
        if (!Pseudo("encoding", EncodingOk))
            return false;
        spaced = SkipSpace();
    }
    if (spaced && At("standalone")) {
        if (!Pseudo("standalone", StandaloneOk))
            return false;
        SkipSpace();
    }
    if (!At("?>"))
        return Fail("malformed XML declaration");
    p_ += 2;
    return true;
}

bool Scanner::Comment() {
    p_ += 4;  // "<!--"
    const size_t dashes = t_.find("--", p_);
    if (dashes == std::string::npos)
        return Fail("unterminated comment");
    p_ = dashes + 2;
    return Expect('>', "'--' inside a comment");
}

bool Scanner::ProcessingInstruction() {
    p_ += 2;  // "<?"
    const size_t nameAt = p_;
    const size_t len = Name();
    if (len == 0)
        return Fail("processing instruction without target");
    if (len == 3 && strncasecmp(t_.data() + nameAt, "xml", 3) == 0)
        return Fail("XML declaration not at the start of the document");
    if (At("?>")) {
        p_ += 2;
        return true;
    }
    if (!SkipSpace())
        return Fail("space expected after processing instruction target");
    return SkipTo("?>", "unterminated processing instruction");
}

bool Scanner::Literal() {
    const char q = Ch(p_);
    if (q != '"' && q != '\'')
        return Fail("quoted literal expected in DOCTYPE");
    const size_t close = t_.find(q, p_ + 1);
    if (close == std::string::npos)
        return Fail("unterminated literal in DOCTYPE");
    p_ = close + 1;
    return true;
}

// Skips the internal subset up to its closing ']', stepping over literals, comments and
// processing instructions so that a ']' inside them does not end it.
bool Scanner::InternalSubset() {
    ++p_;  // '['
    while (p_ < n_) {
        const char c = t_[p_];
        if (c == ']') {
            ++p_;
            return true;
        }
        if (c == '"' || c == '\'') {
            if (!Literal())
                return false;
        } else if (At("<!--")) {
            if (!Comment())
                return false;
        } else if (At("<?")) {
            if (!ProcessingInstruction())
                return false;
        } else {
            ++p_;
        }
    }
    return Fail("unterminated DOCTYPE internal subset");
}

bool Scanner::Doctype() {
    p_ += 9;  // "<!DOCTYPE"
    if (!SkipSpace() || Name() == 0)
        return Fail("DOCTYPE without name");
    bool spaced = SkipSpace();
    if (spaced && (At("SYSTEM") || At("PUBLIC"))) {
        const bool isPublic = At("PUBLIC");
        p_ += 6;
        if (!SkipSpace() || !Literal())
            return false;
        if (isPublic && (!SkipSpace() || !Literal()))
            return false;
        SkipSpace();
    }
    if (Ch(p_) == '[') {
        if (!InternalSubset())
            return false;
        SkipSpace();
    }
    return Expect('>', "malformed DOCTYPE");
}

size_t ReferenceLengthAt(const char* p, size_t avail) {
    if (avail < 3 || p[0] != '&')
        return 0;
    if (p[1] == '#') {
        const bool hex = avail > 2 && p[2] == 'x';
        size_t i = hex ? 3 : 2;
        uint32_t value = 0;
        const size_t first = i;
        for (; i < avail; ++i) {
            const char c = p[i];
            int digit;
            if (c >= '0' && c <= '9') {
                digit = c - '0';
            } else if (hex && c >= 'a' && c <= 'f') {
                digit = c - 'a' + 10;
            } else if (hex && c >= 'A' && c <= 'F') {
                digit = c - 'A' + 10;
            } else {
                break;
            }
            value = value * (hex ? 16 : 10) + digit;
            if (value > 0x10FFFF)
                value = 0x110000;  // stays out of range, never overflows
        }
        if (i == first || i >= avail || p[i] != ';' || !IsXmlChar(value))
            return 0;
        return i + 1;
    }
    const size_t len = NameLength(p + 1, avail - 1);
    if (len == 0 || 1 + len >= avail || p[1 + len] != ';')
        return 0;
    const std::string_view name(p + 1, len);
    if (name != "lt" && name != "gt" && name != "amp" && name != "apos" && name != "quot")
        return 0;
    return len + 2;
}

bool Scanner::Reference() {
    const size_t len = ReferenceLengthAt(t_.data() + p_, n_ - p_);
    if (len == 0)
        return Fail("'&' that does not start a known reference");
    p_ += len;
    return true;
}

// A run of character data up to the next markup or reference. Scans only the run itself, so a
// document made of many short runs stays linear.
bool Scanner::Text() {
    for (; p_ < n_ && t_[p_] != '<' && t_[p_] != '&'; ++p_) {
        if (t_[p_] == ']' && At("]]>"))
            return Fail("']]>' in text");
    }
    return true;
}

bool Scanner::Attributes() {
    std::vector<std::string_view> names;
    for (;;) {
        const bool spaced = SkipSpace();
        if (p_ >= n_)
            return Fail("unterminated start tag");
        if (t_[p_] == '>' || At("/>"))
            break;
        if (!spaced)
            return Fail("space expected between attributes");
        const size_t nameAt = p_;
        const size_t len = Name();
        if (len == 0)
            return Fail("bad attribute name");
        names.emplace_back(t_.data() + nameAt, len);
        SkipSpace();
        if (!Expect('=', "'=' expected after attribute name"))
            return false;
        SkipSpace();
        const char q = Ch(p_);
        if (q != '"' && q != '\'')
            return Fail("quoted attribute value expected");
        ++p_;
        while (p_ < n_ && t_[p_] != q) {
            if (t_[p_] == '<')
                return Fail("'<' in attribute value");
            if (t_[p_] == '&') {
                if (!Reference())
                    return false;
            } else {
                ++p_;
            }
        }
        if (!Expect(q, "unterminated attribute value"))
            return false;
    }
    std::sort(names.begin(), names.end());
    if (std::adjacent_find(names.begin(), names.end()) != names.end())
        return Fail("duplicate attribute");
    return true;
}

bool Scanner::StartTag() {
    CXmlScanner::Node node;
    node.start = p_++;
    const size_t len = Name();
    if (len == 0)
        return Fail("bad element name");
    node.nameLen = static_cast<uint32_t>(len);
    if (!Attributes())
        return false;
    node.selfClosed = t_[p_] == '/';
    p_ += node.selfClosed ? 2 : 1;
    node.tagEnd = p_;
    if (node.selfClosed)
        node.contentEnd = node.end = p_;

    const int index = static_cast<int>(res_.nodes.size());
    if (!open_.empty()) {
        node.parent = open_.back();
        CXmlScanner::Node& parent = res_.nodes[node.parent];
        node.prev = parent.lastChild;
        if (parent.lastChild >= 0)
            res_.nodes[parent.lastChild].next = index;
        if (parent.firstChild < 0)
            parent.firstChild = index;
        parent.lastChild = index;
    }
    res_.nodes.push_back(node);
    if (!node.selfClosed)
        open_.push_back(index);
    return true;
}

bool Scanner::EndTag() {
    const size_t at = p_;
    p_ += 2;  // "</"
    CXmlScanner::Node& node = res_.nodes[open_.back()];
    const size_t len = Name();
    if (len != node.nameLen || t_.compare(at + 2, len, t_, node.start + 1, len) != 0) {
        p_ = at;
        return Fail("end tag does not match start tag");
    }
    SkipSpace();
    if (!Expect('>', "malformed end tag"))
        return false;
    node.contentEnd = at;
    node.end = p_;
    open_.pop_back();
    return true;
}

// One step inside the root element.
bool Scanner::Content() {
    if (t_[p_] == '&')
        return Reference();
    if (t_[p_] != '<')
        return Text();
    if (At("</"))
        return EndTag();
    if (At("<!--"))
        return Comment();
    if (At("<![CDATA["))
        return SkipTo("]]>", "unterminated CDATA section");
    if (At("<?"))
        return ProcessingInstruction();
    if (At("<!"))
        return Fail("markup declaration inside an element");
    return StartTag();
}

// One step outside the root element: whitespace, comment, PI or DOCTYPE. handled tells whether
// the text at p_ was one of them.
bool Scanner::Misc(bool& handled) {
    handled = true;
    if (SkipSpace())
        return true;
    if (At("<!--"))
        return Comment();
    if (At("<?"))
        return ProcessingInstruction();
    if (At("<!DOCTYPE")) {
        if (res_.hasRoot || sawDoctype_)
            return Fail("misplaced DOCTYPE");
        sawDoctype_ = true;
        return Doctype();
    }
    handled = false;
    return true;
}

CXmlScanner::Result Scanner::Run() {
    const size_t bad = FindBadChar(t_);
    if (bad != std::string::npos) {
        p_ = bad;
        Fail("control character not allowed in XML");
        return res_;
    }
    if (At("\xEF\xBB\xBF"))
        p_ = 3;
    bool ok = true;
    if (At("<?xml") && (IsSpace(Ch(p_ + 5)) || Ch(p_ + 5) == '?'))
        ok = Declaration();
    while (ok && p_ < n_) {
        if (!open_.empty()) {
            ok = Content();
            continue;
        }
        bool handled = false;
        ok = Misc(handled);
        if (!ok || handled)
            continue;
        if (res_.hasRoot) {
            ok = Fail("content after the root element");
        } else if (t_[p_] != '<' || At("</") || At("<!")) {
            ok = Fail("text outside the root element");
        } else {
            res_.hasRoot = true;
            ok = StartTag();
        }
    }
    if (ok && !open_.empty())
        ok = Fail("unterminated element");
    res_.syntaxOk = ok;
    if (!ok)
        res_.nodes.clear();
    return std::move(res_);
}

}  // namespace

CXmlScanner::Result CXmlScanner::Scan(const std::string& text) {
    return Scanner(text).Run();
}

bool CXmlScanner::IsName(const char* p, size_t len) {
    return p != nullptr && len > 0 && NameLength(p, len) == len;
}

size_t CXmlScanner::ReferenceLength(const char* p, size_t avail) {
    return p == nullptr ? 0 : ReferenceLengthAt(p, avail);
}

std::vector<CXmlScanner::Attr> CXmlScanner::Attributes(const std::string& text, const Node& node) {
    std::vector<Attr> attrs;
    size_t p = node.start + 1 + node.nameLen;
    const size_t limit = std::min(node.tagEnd, text.size());
    for (;;) {
        while (p < limit && IsSpace(text[p]))
            ++p;
        const size_t len = NameLength(text.data() + p, limit - p);
        if (len == 0)
            break;
        Attr a;
        a.nameStart = p;
        a.nameLen = len;
        p += len;
        while (p < limit && text[p] != '"' && text[p] != '\'')
            ++p;  // over S? '=' S?
        if (p >= limit)
            break;
        const size_t close = text.find(text[p], p + 1);
        if (close == std::string::npos || close >= limit)
            break;
        a.valueStart = p + 1;
        a.valueEnd = close;
        attrs.push_back(a);
        p = close + 1;
    }
    return attrs;
}
