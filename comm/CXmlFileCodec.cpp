#include "CXmlFileCodec.h"
#include "CSimpleFile.h"

#include <fcntl.h>
#include <iconv.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

namespace {

// Owns an iconv descriptor for one conversion direction.
class IconvHandle {
public:
    IconvHandle(const char* to, const char* from) : h_(iconv_open(to, from)) {}
    ~IconvHandle() {
        if (Valid())
            iconv_close(h_);
    }
    IconvHandle(const IconvHandle&) = delete;
    IconvHandle& operator=(const IconvHandle&) = delete;
    bool Valid() const { return h_ != reinterpret_cast<iconv_t>(-1); }
    iconv_t Get() const { return h_; }

private:
    iconv_t h_;
};

struct FileCloser {
    void operator()(FILE* f) const { std::fclose(f); }
};
using FilePtr = std::unique_ptr<FILE, FileCloser>;

bool IsEncodingChar(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '_' || c == '-' ||
           c == ':';
}

bool SameName(const std::string& enc, const char* name) {
    return strcasecmp(enc.c_str(), name) == 0;
}

bool IsUtf8Name(const std::string& enc) {
    return SameName(enc, "UTF-8") || SameName(enc, "UTF8");
}

bool IsUtf16Name(const std::string& enc) {
    return SameName(enc, "UTF-16") || SameName(enc, "UTF-16LE") || SameName(enc, "UTF-16BE") ||
           SameName(enc, "UTF16");
}

std::string Lowered(const std::string& text, size_t limit) {
    std::string out = text.substr(0, limit);
    for (char& c : out)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

// The value after key (e.g. "encoding" or "charset"), optionally quoted, at or after from.
std::string ValueAfter(const std::string& text, size_t at) {
    while (at < text.size() && (text[at] == ' ' || text[at] == '=' || text[at] == '"' ||
                                text[at] == '\'' || text[at] == '\t'))
        ++at;
    size_t end = at;
    while (end < text.size() && IsEncodingChar(text[end]))
        ++end;
    return text.substr(at, end - at);
}

std::string MetaCharset(const std::string& text) {
    // Only HTML pages name their encoding this way; look at the head of the page only.
    const std::string head = Lowered(text, 4096);
    if (head.find("<html") == std::string::npos)
        return std::string();
    for (size_t meta = head.find("<meta"); meta != std::string::npos;
         meta = head.find("<meta", meta + 5)) {
        const size_t close = head.find('>', meta);
        const size_t cs = head.find("charset", meta);
        if (cs != std::string::npos && (close == std::string::npos || cs < close))
            return ValueAfter(text, cs + 7);
    }
    return std::string();
}

bool Utf16Out(const std::string& text, bool bigEndian, std::string& bytes) {
    std::string body;
    if (!CXmlFileCodec::Convert(text, "UTF-8", bigEndian ? "UTF-16BE" : "UTF-16LE", body))
        return false;
    bytes = bigEndian ? std::string("\xFE\xFF") : std::string("\xFF\xFE");
    bytes += body;
    return true;
}

}  // namespace

std::string CXmlFileCodec::DeclaredEncoding(const std::string& text) {
    size_t at = text.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
    if (text.compare(at, 5, "<?xml") == 0) {
        const size_t end = text.find("?>", at);
        const std::string decl = text.substr(at, end == std::string::npos ? 0 : end - at);
        const size_t key = decl.find("encoding");
        return key == std::string::npos ? std::string() : ValueAfter(decl, key + 8);
    }
    return MetaCharset(text);
}

bool CXmlFileCodec::Convert(const std::string& in, const char* from, const char* to,
                            std::string& out) {
    IconvHandle cd(to, from);
    if (!cd.Valid())
        return false;
    std::string result(in.size() * 2 + 16, '\0');
    char* src = const_cast<char*>(in.data());  // iconv's interface is not const-correct
    size_t srcLeft = in.size();
    size_t used = 0;
    for (;;) {
        char* dst = &result[used];
        size_t dstLeft = result.size() - used;
        const size_t rc = iconv(cd.Get(), srcLeft ? &src : nullptr, &srcLeft, &dst, &dstLeft);
        used = result.size() - dstLeft;
        if (rc != static_cast<size_t>(-1) && srcLeft == 0)
            break;
        if (rc == static_cast<size_t>(-1) && errno != E2BIG)
            return false;
        result.resize(result.size() * 2);
    }
    result.resize(used);
    out.swap(result);
    return true;
}

bool CXmlFileCodec::Decode(const std::string& bytes, std::string& text, Form& form) {
    if (bytes.compare(0, 3, "\xEF\xBB\xBF") == 0) {
        form = Form::Utf8Bom;
        text = bytes.substr(3);
        return true;
    }
    if (bytes.compare(0, 2, "\xFF\xFE") == 0 || bytes.compare(0, 2, "\xFE\xFF") == 0) {
        form = bytes[0] == '\xFF' ? Form::Utf16LE : Form::Utf16BE;
        return Convert(bytes.substr(2), form == Form::Utf16LE ? "UTF-16LE" : "UTF-16BE", "UTF-8",
                       text);
    }
    form = Form::Utf8;
    const std::string enc = DeclaredEncoding(bytes);
    // Without a byte-order mark the bytes are ASCII-compatible (the declaration was readable),
    // so a UTF-16 label cannot be right; read them as UTF-8.
    if (enc.empty() || IsUtf8Name(enc) || IsUtf16Name(enc)) {
        text = bytes;
        return true;
    }
    return Convert(bytes, enc.c_str(), "UTF-8", text);
}

bool CXmlFileCodec::Encode(const std::string& text, Form form, std::string& bytes) {
    const std::string enc = DeclaredEncoding(text);
    const bool loadedUtf16 = form == Form::Utf16LE || form == Form::Utf16BE;
    if (IsUtf16Name(enc) || (enc.empty() && loadedUtf16)) {
        const bool bigEndian =
            SameName(enc, "UTF-16BE") || (form == Form::Utf16BE && !SameName(enc, "UTF-16LE"));
        return Utf16Out(text, bigEndian, bytes);
    }
    // A byte-order mark outranks the declaration when reading, so a document read with one goes
    // back as UTF-8 with it, whatever its label says (an unknown label would otherwise fail here).
    if (enc.empty() || IsUtf8Name(enc) || form == Form::Utf8Bom) {
        bytes = form == Form::Utf8Bom ? "\xEF\xBB\xBF" + text : text;
        return true;
    }
    std::string converted, back;
    Form readForm;
    if (!Convert(text, "UTF-8", enc.c_str(), converted))
        return false;
    // An encoding that codes the markup itself (UTF-7) would hide the declaration, and the file
    // would never load again: such a text goes out as UTF-8 behind a byte-order mark, which
    // outranks the label when read.
    if (Decode(converted, back, readForm) && back == text)
        bytes.swap(converted);
    else
        bytes = "\xEF\xBB\xBF" + text;
    return true;
}

bool CXmlFileCodec::ReadFile(const char* path, std::string& bytes) {
    if (path == nullptr || *path == '\0')
        return false;
    // Stores are read the way they are written: never through a link planted at the name.
    const int fd = CSimpleFile::OpenSingleLink(AT_FDCWD, path, O_RDONLY);
    FilePtr f(fd >= 0 ? ::fdopen(fd, "rb") : nullptr);
    if (!f) {
        if (fd >= 0)
            ::close(fd);
        return false;
    }
    std::string data;
    char chunk[16384];
    size_t got;
    while ((got = std::fread(chunk, 1, sizeof chunk, f.get())) > 0)
        data.append(chunk, got);
    if (std::ferror(f.get()))
        return false;
    bytes.swap(data);
    return true;
}

bool CXmlFileCodec::WriteFileAtomic(const char* path, const std::string& bytes) {
    // Stores hold the password and the session ticket: whatever mode the old file had, the new
    // one is its owner's alone.
    return CSimpleFile::WriteFileAtomic(path, bytes.data(), bytes.size(), false);
}
