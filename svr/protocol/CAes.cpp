#include "CAes.h"

#include <openssl/evp.h>

#include <memory>

namespace {

struct CipherCtxDeleter {
    void operator()(EVP_CIPHER_CTX* ctx) const { EVP_CIPHER_CTX_free(ctx); }
};
using CipherCtx = std::unique_ptr<EVP_CIPHER_CTX, CipherCtxDeleter>;

const EVP_CIPHER* CipherOf(CAes::Mode mode) {
    switch (mode) {
        case CAes::MODE_ECB:
            return EVP_aes_128_ecb();
        case CAes::MODE_CBC:
            return EVP_aes_128_cbc();
        case CAes::MODE_CFB:
            return EVP_aes_128_cfb128();
    }
    return nullptr;
}

const unsigned char* Bytes(const std::string& text) {
    return reinterpret_cast<const unsigned char*>(text.data());
}

// One pass of the cipher over data, padding switched off (this class pads on its own).
bool Run(CAes::Mode mode, bool encrypt, const std::string& key, const std::string& iv,
         const std::string& data, std::string& out) {
    const EVP_CIPHER* cipher = CipherOf(mode);
    if (cipher == nullptr || key.size() != CAes::kBlock ||
        (mode != CAes::MODE_ECB && iv.size() != CAes::kBlock))
        return false;
    CipherCtx ctx(EVP_CIPHER_CTX_new());
    const unsigned char* ivBytes = mode == CAes::MODE_ECB ? nullptr : Bytes(iv);
    if (!ctx ||
        EVP_CipherInit_ex(ctx.get(), cipher, nullptr, Bytes(key), ivBytes, encrypt ? 1 : 0) != 1 ||
        EVP_CIPHER_CTX_set_padding(ctx.get(), 0) != 1)
        return false;
    std::string result(data.size() + CAes::kBlock, '\0');
    auto* dst = reinterpret_cast<unsigned char*>(&result[0]);
    int written = 0, last = 0;
    if (EVP_CipherUpdate(ctx.get(), dst, &written, Bytes(data), static_cast<int>(data.size())) !=
            1 ||
        EVP_CipherFinal_ex(ctx.get(), dst + written, &last) != 1)
        return false;
    result.resize(static_cast<size_t>(written + last));
    out.swap(result);
    return true;
}

bool NeedsBlocks(CAes::Mode mode) {
    return mode != CAes::MODE_CFB;
}

}  // namespace

bool CAes::Pad(Padding padding, std::string& text) {
    const size_t rest = text.size() % kBlock;
    if (padding == PAD_PKCS7) {
        const size_t add = kBlock - rest;
        text.append(add, static_cast<char>(add));
    } else if (padding == PAD_ZERO) {
        if (rest != 0)
            text.append(kBlock - rest, '\0');
    } else if (rest != 0) {
        return false;
    }
    return true;
}

bool CAes::Unpad(Padding padding, std::string& text) {
    if (padding == PAD_ZERO) {
        const size_t end = text.find_last_not_of('\0');
        text.resize(end == std::string::npos ? 0 : end + 1);
        return true;
    }
    if (padding != PAD_PKCS7)
        return true;
    if (text.empty() || text.size() % kBlock != 0)
        return false;
    const auto add = static_cast<unsigned char>(text.back());
    if (add == 0 || add > kBlock)
        return false;
    for (size_t i = text.size() - add; i < text.size(); ++i) {
        if (static_cast<unsigned char>(text[i]) != add)
            return false;
    }
    text.resize(text.size() - add);
    return true;
}

bool CAes::Encrypt(Mode mode, Padding padding, const std::string& key, const std::string& iv,
                   const std::string& plain, std::string& out) {
    std::string padded = plain;
    // CFB is a stream mode: it takes any length, so it is padded only when asked to.
    if (!(mode == MODE_CFB && padding == PAD_NONE) && !Pad(padding, padded))
        return false;
    return Run(mode, true, key, iv, padded, out);
}

bool CAes::Decrypt(Mode mode, Padding padding, const std::string& key, const std::string& iv,
                   const std::string& cipher, std::string& out) {
    if (NeedsBlocks(mode) && cipher.size() % kBlock != 0)
        return false;
    std::string plain;
    if (!Run(mode, false, key, iv, cipher, plain) || !Unpad(padding, plain))
        return false;
    out.swap(plain);
    return true;
}
