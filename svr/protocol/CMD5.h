// CMD5: the MD5 message digest (RFC 1321), used for the checksum header of portal requests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

class CMD5 {
public:
    CMD5() { Reset(); }

    void Reset();
    // Adds len bytes; may be called any number of times before Final.
    void Update(const void* data, size_t len);
    // Writes the 16-byte digest and resets the object for the next message.
    void Final(unsigned char digest[16]);

    // The digest of len bytes as 32 lower-case hexadecimal digits.
    static std::string HexDigest(const void* data, size_t len);

private:
    void Transform(const unsigned char block[64]);

    uint32_t m_state[4];
    uint64_t m_bytes;            // message length so far
    unsigned char m_buffer[64];  // bytes of the current, incomplete block
};
