// zxm-pack: packs an algorithm module (a shared object) into the container that the service loads.
//
//   zxm-pack MODULE.so OUT.zxm [--keyid ABC] [--key TEXT] [--algoid ID]
//
// Container layout (all lengths in bytes; K and A are single unsigned length bytes):
//   offset 0        3  key identifier, no terminator
//   offset 3        1  K, length of the key
//   offset 4        K  key
//   offset 4+K      1  A, length of the algorithm identifier
//   offset 5+K      A  algorithm identifier (UUID-form text)
//   offset 5+K+A    5  LZMA1 properties (lc/lp/pb byte, then the dictionary size little-endian)
//   offset 10+K+A   4  unpacked size of the shared object, unsigned 32-bit little-endian
//   offset 14+K+A   .. raw LZMA1 stream (end marker included), scrambled as a byte chain:
//                      every byte but the last is XORed with the plain byte that follows it.
//                      The loader undoes this walking from the last byte to the first.
//
// The development module (tools/algo-module) exports, with C linkage:
//   char* Code(const char* text)           coded printable text, released by FreeResult
//   void  FreeResult(char* result)
//   int   Prepare(const char* keyid, const char* text,
//                 void (*cb)(void* ctx, const char* plain, void* info), void* info)
//                                          1 after cb(null, plain, info); 0 or -1 on failure
// It carries a key slot ("orvane.zxm.keyslot.v1" marker). The packer writes --keyid and --key
// into that slot as well as into the container header, so containers packed with different keys
// code differently and cannot decode each other's texts. A module without the slot is packed
// unchanged.
#include <lzma.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

constexpr char kSlotMarker[] = "orvane.zxm.keyslot.v1";
constexpr size_t kSlotMarkerSize = 24;  // marker field size in the module's slot
constexpr size_t kSlotKeyMax = 255;

struct Options {
    std::string module;
    std::string output;
    std::string keyid = "D01";
    std::string key = "orvane-development-key";
    std::string algoid = "5f0c1d2e-3a4b-4c5d-8e6f-0a1b2c3d4e5f";
};

bool parseArgs(int argc, char** argv, Options& opt) {
    std::vector<std::string> positional;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        std::string* target = arg == "--keyid"    ? &opt.keyid
                              : arg == "--key"    ? &opt.key
                              : arg == "--algoid" ? &opt.algoid
                                                  : nullptr;
        if (target != nullptr) {
            if (i + 1 >= argc)
                return false;
            *target = argv[++i];
        } else {
            positional.push_back(arg);
        }
    }
    if (positional.size() != 2)
        return false;
    opt.module = positional[0];
    opt.output = positional[1];
    if (opt.keyid.size() != 3) {
        std::cerr << "zxm-pack: the key identifier must be exactly 3 bytes\n";
        return false;
    }
    if (opt.key.size() > kSlotKeyMax || opt.algoid.size() > 255) {
        std::cerr << "zxm-pack: key and identifier must be shorter than 256 bytes\n";
        return false;
    }
    return true;
}

bool readFile(const std::string& path, Bytes& out) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

// Writes keyid and key into the module's key slot. Returns false when the marker is ambiguous.
bool patchKeySlot(Bytes& module, const Options& opt) {
    const Bytes marker(kSlotMarker, kSlotMarker + sizeof(kSlotMarker));
    auto at = std::search(module.begin(), module.end(), marker.begin(), marker.end());
    if (at == module.end()) {
        std::cerr << "zxm-pack: no key slot in " << opt.module << ", packed unchanged\n";
        return true;
    }
    if (std::search(at + 1, module.end(), marker.begin(), marker.end()) != module.end()) {
        std::cerr << "zxm-pack: more than one key slot in " << opt.module << "\n";
        return false;
    }
    const size_t pos = static_cast<size_t>(at - module.begin()) + kSlotMarkerSize;
    if (pos + 3 + 1 + kSlotKeyMax > module.size())
        return false;
    std::memcpy(&module[pos], opt.keyid.data(), 3);
    module[pos + 3] = static_cast<unsigned char>(opt.key.size());
    std::memset(&module[pos + 4], 0, kSlotKeyMax);
    std::memcpy(&module[pos + 4], opt.key.data(), opt.key.size());
    return true;
}

// Raw LZMA1 at preset 6; props receives the 5-byte properties header.
bool compress(const Bytes& plain, Bytes& packed, unsigned char props[5]) {
    lzma_options_lzma lz;
    if (lzma_lzma_preset(&lz, 6))
        return false;
    lzma_filter filters[] = {{LZMA_FILTER_LZMA1, &lz}, {LZMA_VLI_UNKNOWN, nullptr}};
    uint32_t propsSize = 0;
    if (lzma_properties_size(&propsSize, filters) != LZMA_OK || propsSize != 5)
        return false;
    if (lzma_properties_encode(filters, props) != LZMA_OK)
        return false;
    lzma_stream strm = LZMA_STREAM_INIT;
    if (lzma_raw_encoder(&strm, filters) != LZMA_OK)
        return false;
    packed.resize(plain.size() + plain.size() / 2 + 4096);
    strm.next_in = plain.data();
    strm.avail_in = plain.size();
    strm.next_out = packed.data();
    strm.avail_out = packed.size();
    const lzma_ret ret = lzma_code(&strm, LZMA_FINISH);
    packed.resize(packed.size() - strm.avail_out);
    lzma_end(&strm);
    return ret == LZMA_STREAM_END;
}

// Byte chain: s[i] = p[i] ^ p[i+1]; the last byte stays as it is.
void scramble(Bytes& data) {
    for (size_t i = 0; i + 1 < data.size(); ++i)
        data[i] ^= data[i + 1];
}

Bytes buildContainer(const Options& opt, const Bytes& module, const Bytes& packed,
                     const unsigned char props[5]) {
    Bytes out(opt.keyid.begin(), opt.keyid.end());
    out.push_back(static_cast<unsigned char>(opt.key.size()));
    out.insert(out.end(), opt.key.begin(), opt.key.end());
    out.push_back(static_cast<unsigned char>(opt.algoid.size()));
    out.insert(out.end(), opt.algoid.begin(), opt.algoid.end());
    out.insert(out.end(), props, props + 5);
    const uint32_t size = static_cast<uint32_t>(module.size());
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<unsigned char>(size >> (8 * i)));
    out.insert(out.end(), packed.begin(), packed.end());
    return out;
}

}  // namespace

int main(int argc, char** argv) {
    Options opt;
    if (!parseArgs(argc, argv, opt)) {
        std::cerr << "usage: zxm-pack MODULE.so OUT.zxm [--keyid ABC] [--key TEXT] [--algoid ID]\n";
        return 2;
    }
    Bytes module;
    if (!readFile(opt.module, module) || module.empty() || module.size() > UINT32_MAX) {
        std::cerr << "zxm-pack: cannot read " << opt.module << "\n";
        return 1;
    }
    if (!patchKeySlot(module, opt))
        return 1;
    Bytes packed;
    unsigned char props[5];
    if (!compress(module, packed, props)) {
        std::cerr << "zxm-pack: compression failed\n";
        return 1;
    }
    scramble(packed);
    const Bytes container = buildContainer(opt, module, packed, props);
    const std::string tmp = opt.output + ".part";
    std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(container.data()),
              static_cast<std::streamsize>(container.size()));
    out.close();
    if (!out || std::rename(tmp.c_str(), opt.output.c_str()) != 0) {
        std::cerr << "zxm-pack: cannot write " << opt.output << "\n";
        std::remove(tmp.c_str());
        return 1;
    }
    return 0;
}
