// CZxmContainer: the algorithm container file, parsed and unpacked in memory.
//
// Layout: 3-byte key identifier; key (1 length byte + bytes); algorithm identifier (1 length byte
// + bytes); 5 bytes of LZMA1 properties; unpacked size (32-bit little-endian); raw LZMA1 stream
// stored as a byte chain (each byte but the last XORed with the plain byte after it).
//
// Parsing treats the bytes as hostile: every read is bounded by the input, a declared unpacked
// size of 0 or above kMaxUnpacked is refused before any allocation, the decoder's dictionary is
// capped by the declared size, and the stream must yield exactly the declared size. An identifier
// holding control characters is refused, since it travels in a request header line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

class CZxmContainer {
public:
    static constexpr uint32_t kMaxUnpacked = 64u << 20;

    // Parses len bytes at data. On success returns true and fills every field; on failure
    // returns false, leaves the fields empty and sets Error() to a short reason.
    bool Parse(const unsigned char* data, size_t len);

    const std::string& KeyId() const { return m_keyid; }
    const std::string& Key() const { return m_key; }        // empty when its length byte is 0
    const std::string& AlgoId() const { return m_algoid; }  // empty when its length byte is 0
    const std::vector<unsigned char>& Image() const { return m_image; }  // the shared object
    const char* Error() const { return m_error; }

    // Reverses the byte chain in place, walking from the last byte to the first.
    static void Unscramble(unsigned char* data, size_t len);

private:
    bool Fail(const char* reason);
    // Raw LZMA1 decode of exactly size bytes into m_image; false on any decoder complaint.
    bool Uncompress(const unsigned char props[5], uint32_t size,
                    std::vector<unsigned char>& stream);

    std::string m_keyid;
    std::string m_key;
    std::string m_algoid;
    std::vector<unsigned char> m_image;
    const char* m_error = "";
};
