// CAutoString: the programs' string class. A value type that owns a zero-terminated buffer.
//
// A null string (no buffer) and an empty string (a buffer holding only the terminator) are
// different states: the null string converts to a null const char*, compares equal only to another
// null string, and has length 0. All positions are byte offsets.
#pragma once

#include <cstddef>
#include <string>

class CAutoString {
public:
    CAutoString() = default;
    CAutoString(const char* text);  // NOLINT: implicit on purpose, texts flow in everywhere
    CAutoString(const char* text, size_t len);
    explicit CAutoString(const std::string& text);
    CAutoString(const CAutoString& other);
    CAutoString(CAutoString&& other) noexcept;
    ~CAutoString();

    CAutoString& operator=(const CAutoString& other);
    CAutoString& operator=(CAutoString&& other) noexcept;
    // Assigning a null text leaves the string unchanged.
    CAutoString& operator=(const char* text);

    // printf-style formatting without length limit. The result replaces the text, except that an
    // empty result or a formatting failure leaves the text unchanged. Returns the new length, or
    // -1 when the text was left alone.
    int Format(const char* format, ...) __attribute__((format(printf, 2, 3)));

    bool operator==(const char* text) const;
    bool operator!=(const char* text) const { return !(*this == text); }
    bool operator==(const CAutoString& other) const { return *this == other.m_pStr; }
    bool operator!=(const CAutoString& other) const { return !(*this == other.m_pStr); }
    // Byte-wise order, a proper prefix before the longer string; the key order of every map.
    bool operator<(const CAutoString& other) const;

    CAutoString operator+(const char* text) const;
    CAutoString operator+(const CAutoString& other) const { return *this + other.m_pStr; }
    CAutoString& operator+=(const char* text);
    CAutoString& operator+=(const CAutoString& other) { return *this += other.m_pStr; }
    // Appends len bytes (which may hold no terminator); a null string becomes non-null.
    CAutoString& Append(const char* data, size_t len);

    // The byte at i, or 0 when i is at or past the end.
    char operator[](int i) const { return GetAt(i); }
    char GetAt(int i) const;

    // count bytes from start (0 means up to the end); null for a null or empty string.
    CAutoString Mid(int start, int count = 0) const;
    CAutoString Left(int n) const;   // Mid(0, n); null for n == 0
    CAutoString Right(int n) const;  // the last n bytes; null for n == 0

    // Offset of the first occurrence at or after start, or -1 (also for a null or empty string).
    int Find(char ch, int start = 0) const;
    int Find(const char* text, int start = 0) const;

    // Removes every blank, carriage return and line feed anywhere in the string.
    void Trim();
    // Replaces every non-overlapping occurrence of from, left to right.
    void Replace(const char* from, const char* to);
    void MakeLower();

    char* GetBuffer() const { return m_pStr; }
    unsigned int GetLength() const { return m_len; }
    operator const char*() const { return m_pStr; }  // NOLINT: the classic C-string bridge
    bool IsNull() const { return m_pStr == nullptr; }
    bool IsEmpty() const { return m_len == 0; }
    // Never null: "" for a null string. Handy for std::string and printf("%s").
    const char* c_str() const { return m_pStr ? m_pStr : ""; }
    std::string ToStdString() const { return std::string(c_str(), m_len); }

    // Takes ownership of a malloc'ed, zero-terminated buffer without copying.
    void AttachPoint(char* p);
    // Frees the buffer; the string becomes null.
    void Detach();

private:
    void Assign(const char* data, size_t len);

    char* m_pStr = nullptr;
    unsigned int m_len = 0;
};
