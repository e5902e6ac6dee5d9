#include "CAutoString.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

char* Allocate(size_t len) {
    char* p = static_cast<char*>(std::malloc(len + 1));
    if (p == nullptr) {
        // Nothing sensible can continue without memory; fail loudly rather than corrupt state.
        std::fputs("CAutoString: out of memory\n", stderr);
        std::abort();
    }
    return p;
}

}  // namespace

CAutoString::CAutoString(const char* text) {
    if (text != nullptr) Assign(text, std::strlen(text));
}

CAutoString::CAutoString(const char* text, size_t len) {
    if (text != nullptr) Assign(text, len);
}

CAutoString::CAutoString(const std::string& text) { Assign(text.data(), text.size()); }

CAutoString::CAutoString(const CAutoString& other) {
    if (other.m_pStr != nullptr) Assign(other.m_pStr, other.m_len);
}

CAutoString::CAutoString(CAutoString&& other) noexcept : m_pStr(other.m_pStr), m_len(other.m_len) {
    other.m_pStr = nullptr;
    other.m_len = 0;
}

CAutoString::~CAutoString() { std::free(m_pStr); }

CAutoString& CAutoString::operator=(const CAutoString& other) {
    if (this != &other && other.m_pStr != nullptr) Assign(other.m_pStr, other.m_len);
    return *this;
}

CAutoString& CAutoString::operator=(CAutoString&& other) noexcept {
    if (this != &other && other.m_pStr != nullptr) {
        std::free(m_pStr);
        m_pStr = other.m_pStr;
        m_len = other.m_len;
        other.m_pStr = nullptr;
        other.m_len = 0;
    }
    return *this;
}

CAutoString& CAutoString::operator=(const char* text) {
    if (text != nullptr && text != m_pStr) Assign(text, std::strlen(text));
    return *this;
}

void CAutoString::Assign(const char* data, size_t len) {
    char* p = Allocate(len);
    std::memcpy(p, data, len);
    p[len] = '\0';
    std::free(m_pStr);
    m_pStr = p;
    m_len = static_cast<unsigned int>(len);
}

int CAutoString::Format(const char* format, ...) {
    if (format == nullptr) return -1;
    va_list args;
    va_start(args, format);
    va_list copy;
    va_copy(copy, args);
    const int need = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    if (need <= 0) {
        va_end(args);
        return -1;
    }
    char* p = Allocate(static_cast<size_t>(need));
    std::vsnprintf(p, static_cast<size_t>(need) + 1, format, args);
    va_end(args);
    std::free(m_pStr);
    m_pStr = p;
    m_len = static_cast<unsigned int>(need);
    return need;
}

bool CAutoString::operator==(const char* text) const {
    if (m_pStr == nullptr || text == nullptr) return m_pStr == text;
    return std::strcmp(m_pStr, text) == 0;
}

bool CAutoString::operator<(const CAutoString& other) const {
    const size_t common = m_len < other.m_len ? m_len : other.m_len;
    const int cmp = common ? std::memcmp(m_pStr, other.m_pStr, common) : 0;
    if (cmp != 0) return cmp < 0;
    return m_len < other.m_len;
}

CAutoString CAutoString::operator+(const char* text) const {
    CAutoString result(*this);
    result += text;
    return result;
}

CAutoString& CAutoString::operator+=(const char* text) {
    if (text != nullptr) Append(text, std::strlen(text));
    return *this;
}

CAutoString& CAutoString::Append(const char* data, size_t len) {
    char* p = Allocate(m_len + len);
    if (m_len) std::memcpy(p, m_pStr, m_len);
    if (len) std::memcpy(p + m_len, data, len);
    p[m_len + len] = '\0';
    std::free(m_pStr);
    m_pStr = p;
    m_len += static_cast<unsigned int>(len);
    return *this;
}

char CAutoString::GetAt(int i) const {
    if (i < 0 || static_cast<unsigned int>(i) >= m_len) return 0;
    return m_pStr[i];
}

CAutoString CAutoString::Mid(int start, int count) const {
    if (m_len == 0 || start < 0 || static_cast<unsigned int>(start) >= m_len || count < 0) {
        return CAutoString();
    }
    size_t avail = m_len - static_cast<unsigned int>(start);
    size_t take = (count == 0 || static_cast<size_t>(count) > avail) ? avail : count;
    return CAutoString(m_pStr + start, take);
}

CAutoString CAutoString::Left(int n) const {
    if (n <= 0) return CAutoString();
    return Mid(0, n);
}

CAutoString CAutoString::Right(int n) const {
    if (n <= 0 || m_len == 0) return CAutoString();
    unsigned int take = static_cast<unsigned int>(n) > m_len ? m_len : static_cast<unsigned int>(n);
    return CAutoString(m_pStr + (m_len - take), take);
}

int CAutoString::Find(char ch, int start) const {
    if (m_len == 0 || start < 0 || static_cast<unsigned int>(start) >= m_len) return -1;
    const void* hit = std::memchr(m_pStr + start, static_cast<unsigned char>(ch), m_len - start);
    return hit ? static_cast<int>(static_cast<const char*>(hit) - m_pStr) : -1;
}

int CAutoString::Find(const char* text, int start) const {
    if (m_len == 0 || text == nullptr || start < 0 || static_cast<unsigned int>(start) > m_len) {
        return -1;
    }
    const char* hit = std::strstr(m_pStr + start, text);
    return hit ? static_cast<int>(hit - m_pStr) : -1;
}

void CAutoString::Trim() {
    if (m_pStr == nullptr) return;
    unsigned int out = 0;
    for (unsigned int i = 0; i < m_len; ++i) {
        const char c = m_pStr[i];
        if (c != ' ' && c != '\r' && c != '\n') m_pStr[out++] = c;
    }
    m_pStr[out] = '\0';
    m_len = out;
}

void CAutoString::Replace(const char* from, const char* to) {
    if (m_len == 0 || from == nullptr || *from == '\0') return;
    if (to == nullptr) to = "";
    const size_t fromLen = std::strlen(from);
    std::string out;
    out.reserve(m_len);
    const char* cur = m_pStr;
    const char* end = m_pStr + m_len;
    while (cur < end) {
        const char* hit = std::strstr(cur, from);
        if (hit == nullptr) break;
        out.append(cur, hit);
        out.append(to);
        cur = hit + fromLen;
    }
    out.append(cur, end);
    Assign(out.data(), out.size());
}

void CAutoString::MakeLower() {
    for (unsigned int i = 0; i < m_len; ++i) {
        if (m_pStr[i] >= 'A' && m_pStr[i] <= 'Z') m_pStr[i] = static_cast<char>(m_pStr[i] + 32);
    }
}

void CAutoString::AttachPoint(char* p) {
    if (p == nullptr || p == m_pStr) return;
    std::free(m_pStr);
    m_pStr = p;
    m_len = static_cast<unsigned int>(std::strlen(p));
}

void CAutoString::Detach() {
    std::free(m_pStr);
    m_pStr = nullptr;
    m_len = 0;
}
