// Development algorithm module: a stand-in for the portal's coding module, packed into the
// container by zxm-pack and loaded by CZsmHelper at run time.
//
// Exported contract (C linkage, looked up by name):
//   char* Code(const char* text)
//       Codes the NUL-terminated text. Returns a NUL-terminated printable text owned by the module
//       (release it with FreeResult), or null on failure.
//   void FreeResult(char* result)
//       Releases a result of Code; null is ignored.
//   int Prepare(const char* keyid, const char* text, PrepareCallback cb, void* info)
//       Decodes a text made by Code with the same key. On success calls cb(null, plain, info) once
//       and returns 1; returns 0 when the text is not ours (wrong key or key identifier, damaged or
//       foreign text) and -1 when an argument is missing.
//
// Coded form: "ZX" + 16 hex digits of a keyed tag + 2 hex digits per plain byte, each byte masked
// with a key-derived stream. Only lower-case hex digits appear, so the text travels as a
// NUL-terminated HTTP body. This is obfuscation for development, not protection.
//
// The key lives in kZsmKeySlot. zxm-pack finds the slot by its marker and writes the container's
// key identifier and key into it, so one build of this module serves any number of containers and
// a text coded under one key fails to decode under another.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <string>

struct ZsmKeySlot {
    char marker[24];       // "orvane.zxm.keyslot.v1", NUL-padded: how the packer finds the slot
    char keyid[3];         // key identifier handed back by the loader to Prepare
    unsigned char keyLen;  // bytes used in key
    char key[255];
};

// Written by the packer inside the shared object's bytes; read through a volatile pointer so the
// compiler never folds the default values into the code.
extern "C" {
__attribute__((visibility("default"), used))
ZsmKeySlot kZsmKeySlot = {"orvane.zxm.keyslot.v1", {'D', '0', '1'}, 22, "orvane-development-key"};
}

namespace {

using PrepareCallback = void (*)(void* ctx, const char* text, void* info);

constexpr char kPrefix[] = "ZX";
constexpr size_t kPrefixLen = 2;
constexpr size_t kTagDigits = 16;

struct KeyMaterial {
    std::string keyid;
    std::string key;
};

KeyMaterial readSlot() {
    const volatile ZsmKeySlot* slot = &kZsmKeySlot;
    KeyMaterial km;
    for (char c : {slot->keyid[0], slot->keyid[1], slot->keyid[2]})
        km.keyid.push_back(c);
    const unsigned len = slot->keyLen;
    for (unsigned i = 0; i < len && i < sizeof(slot->key); ++i)
        km.key.push_back(slot->key[i]);
    return km;
}

uint64_t fnv1a(uint64_t h, const std::string& bytes) {
    for (unsigned char c : bytes) {
        h ^= c;
        h *= 0x100000001b3ULL;
    }
    return h;
}

constexpr uint64_t kFnvBasis = 0xcbf29ce484222325ULL;

// xorshift64* seeded from the key: the mask stream applied to the plain bytes.
class KeyStream {
public:
    explicit KeyStream(const KeyMaterial& km)
        : state_(fnv1a(fnv1a(kFnvBasis, km.keyid), km.key) | 1) {}
    unsigned char next() {
        state_ ^= state_ >> 12;
        state_ ^= state_ << 25;
        state_ ^= state_ >> 27;
        return static_cast<unsigned char>((state_ * 0x2545f4914f6cdd1dULL) >> 56);
    }

private:
    uint64_t state_;
};

// Keyed check value over the plain text: a wrong key or a damaged text fails it.
uint64_t tagOf(const KeyMaterial& km, const std::string& plain) {
    uint64_t h = fnv1a(fnv1a(fnv1a(kFnvBasis, km.key), plain), km.keyid);
    h ^= h >> 33;
    h *= 0xff51afd7ed558ccdULL;
    h ^= h >> 33;
    return h;
}

const char kHex[] = "0123456789abcdef";

int hexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

void appendHexByte(std::string& out, unsigned char b) {
    out.push_back(kHex[b >> 4]);
    out.push_back(kHex[b & 0x0f]);
}

std::string codeText(const KeyMaterial& km, const std::string& plain) {
    std::string out(kPrefix);
    out.reserve(kPrefixLen + kTagDigits + plain.size() * 2);
    const uint64_t tag = tagOf(km, plain);
    for (int shift = 56; shift >= 0; shift -= 8)
        appendHexByte(out, static_cast<unsigned char>(tag >> shift));
    KeyStream ks(km);
    for (unsigned char c : plain)
        appendHexByte(out, static_cast<unsigned char>(c ^ ks.next()));
    return out;
}

// Reads 2*count hex digits at text into bytes; false on any non-hex digit.
bool readHex(const char* text, size_t count, std::string& bytes) {
    bytes.resize(count);
    for (size_t i = 0; i < count; ++i) {
        const int hi = hexValue(text[2 * i]);
        const int lo = hexValue(text[2 * i + 1]);
        if (hi < 0 || lo < 0)
            return false;
        bytes[i] = static_cast<char>((hi << 4) | lo);
    }
    return true;
}

bool decodeText(const KeyMaterial& km, const char* text, std::string& plain) {
    const size_t len = std::strlen(text);
    if (len < kPrefixLen + kTagDigits || std::strncmp(text, kPrefix, kPrefixLen) != 0)
        return false;
    if ((len - kPrefixLen) % 2 != 0)
        return false;
    std::string tagBytes;
    if (!readHex(text + kPrefixLen, kTagDigits / 2, tagBytes))
        return false;
    const char* body = text + kPrefixLen + kTagDigits;
    if (!readHex(body, (len - kPrefixLen - kTagDigits) / 2, plain))
        return false;
    KeyStream ks(km);
    for (char& c : plain)
        c = static_cast<char>(static_cast<unsigned char>(c) ^ ks.next());
    if (plain.find('\0') != std::string::npos)
        return false;
    uint64_t tag = 0;
    for (unsigned char b : tagBytes)
        tag = (tag << 8) | b;
    return tag == tagOf(km, plain);
}

}  // namespace

extern "C" __attribute__((visibility("default"))) char* Code(const char* text) {
    if (text == nullptr)
        return nullptr;
    try {
        const std::string coded = codeText(readSlot(), text);
        char* result = new char[coded.size() + 1];
        std::memcpy(result, coded.c_str(), coded.size() + 1);
        return result;
    } catch (...) {
        return nullptr;
    }
}

extern "C" __attribute__((visibility("default"))) void FreeResult(char* result) {
    delete[] result;
}

extern "C" __attribute__((visibility("default"))) int Prepare(const char* keyid, const char* text,
                                                              PrepareCallback cb, void* info) {
    if (keyid == nullptr || text == nullptr || cb == nullptr)
        return -1;
    try {
        const KeyMaterial km = readSlot();
        if (std::strncmp(keyid, km.keyid.c_str(), km.keyid.size()) != 0)
            return 0;
        std::string plain;
        if (!decodeText(km, text, plain))
            return 0;
        cb(nullptr, plain.c_str(), info);
        return 1;
    } catch (...) {
        return 0;
    }
}
