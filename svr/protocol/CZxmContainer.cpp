#include "CZxmContainer.h"

#include <lzma.h>

#include <algorithm>
#include <cstdlib>

namespace {

// Bounded reader over the container bytes.
class ByteReader {
public:
    ByteReader(const unsigned char* data, size_t len) : m_data(data), m_len(len) {}
    bool Take(size_t n, const unsigned char*& out) {
        if (n > m_len - m_pos)
            return false;
        out = m_data + m_pos;
        m_pos += n;
        return true;
    }
    // One length byte, then that many bytes.
    bool TakeString(std::string& out) {
        const unsigned char* p = nullptr;
        if (!Take(1, p))
            return false;
        const size_t n = *p;
        if (!Take(n, p))
            return false;
        out.assign(reinterpret_cast<const char*>(p), n);
        return true;
    }
    size_t Remaining() const { return m_len - m_pos; }

private:
    const unsigned char* m_data;
    size_t m_len;
    size_t m_pos = 0;
};

// Owns the options block that lzma_properties_decode allocates.
struct LzmaFilterOptions {
    lzma_filter filters[2] = {{LZMA_FILTER_LZMA1, nullptr}, {LZMA_VLI_UNKNOWN, nullptr}};
    ~LzmaFilterOptions() { free(filters[0].options); }
};

struct LzmaStream {
    lzma_stream strm = LZMA_STREAM_INIT;
    ~LzmaStream() { lzma_end(&strm); }
};

constexpr size_t kFirstChunk = 256u << 10;

}  // namespace

void CZxmContainer::Unscramble(unsigned char* data, size_t len) {
    for (size_t i = len; i-- > 1;)
        data[i - 1] ^= data[i];
}

bool CZxmContainer::Fail(const char* reason) {
    m_keyid.clear();
    m_key.clear();
    m_algoid.clear();
    m_image.clear();
    m_error = reason;
    return false;
}

bool CZxmContainer::Parse(const unsigned char* data, size_t len) {
    m_error = "";
    if (data == nullptr)
        return Fail("no data");
    ByteReader in(data, len);
    const unsigned char* p = nullptr;
    if (!in.Take(3, p))
        return Fail("short key identifier");
    m_keyid.assign(reinterpret_cast<const char*>(p), 3);
    if (!in.TakeString(m_key) || !in.TakeString(m_algoid))
        return Fail("short key or identifier");
    // The identifier goes into a request header line; a control byte could end that line early.
    for (unsigned char c : m_algoid) {
        if (c < 0x20 || c == 0x7f)
            return Fail("control character in the identifier");
    }
    const unsigned char* props = nullptr;
    const unsigned char* sizeBytes = nullptr;
    if (!in.Take(5, props) || !in.Take(4, sizeBytes))
        return Fail("short compression header");
    const uint32_t size = uint32_t(sizeBytes[0]) | uint32_t(sizeBytes[1]) << 8 |
                          uint32_t(sizeBytes[2]) << 16 | uint32_t(sizeBytes[3]) << 24;
    if (size == 0 || size > kMaxUnpacked)
        return Fail("unpacked size out of range");
    const size_t streamLen = in.Remaining();
    if (!in.Take(streamLen, p) || streamLen == 0)
        return Fail("no compressed data");
    std::vector<unsigned char> stream(p, p + streamLen);
    Unscramble(stream.data(), stream.size());
    if (!Uncompress(props, size, stream))
        return Fail("compressed data is corrupt");
    return true;
}

bool CZxmContainer::Uncompress(const unsigned char props[5], uint32_t size,
                               std::vector<unsigned char>& stream) {
    LzmaFilterOptions opt;
    if (lzma_properties_decode(&opt.filters[0], nullptr, props, 5) != LZMA_OK)
        return false;
    // No match reaches further back than the output written so far, so a dictionary larger than
    // the declared size is never needed; capping it keeps a forged header from reserving gigabytes.
    auto* lz = static_cast<lzma_options_lzma*>(opt.filters[0].options);
    lz->dict_size = std::max<uint32_t>(LZMA_DICT_SIZE_MIN, std::min(lz->dict_size, size));
    LzmaStream s;
    if (lzma_raw_decoder(&s.strm, opt.filters) != LZMA_OK)
        return false;
    s.strm.next_in = stream.data();
    s.strm.avail_in = stream.size();
    // The output grows with the data actually decoded, so a small file that declares a large size
    // costs only what it really unpacks to.
    m_image.clear();
    for (;;) {
        const size_t have = m_image.size();
        if (s.strm.avail_out == 0) {
            if (have == size)
                break;
            const size_t grow = std::min<size_t>(size - have, std::max(kFirstChunk, have));
            m_image.resize(have + grow);
            s.strm.next_out = m_image.data() + have;
            s.strm.avail_out = grow;
        }
        const size_t before = s.strm.total_out + s.strm.total_in;
        const lzma_ret ret = lzma_code(&s.strm, LZMA_FINISH);
        if (ret == LZMA_STREAM_END)
            break;
        if (ret != LZMA_OK || s.strm.total_out + s.strm.total_in == before)
            return false;
    }
    return s.strm.total_out == size;
}
