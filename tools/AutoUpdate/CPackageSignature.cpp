#include "CPackageSignature.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

struct PkeyFree {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct CtxFree {
    void operator()(EVP_PKEY_CTX* ctx) const { EVP_PKEY_CTX_free(ctx); }
};
struct MdCtxFree {
    void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
};
struct FileClose {
    void operator()(FILE* f) const { std::fclose(f); }
};
using PkeyPtr = std::unique_ptr<EVP_PKEY, PkeyFree>;
using FilePtr = std::unique_ptr<FILE, FileClose>;

FilePtr OpenRead(const std::string& path) {
    const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return nullptr;
    FILE* f = fdopen(fd, "r");
    if (f == nullptr)
        close(fd);
    return FilePtr(f);
}

FilePtr OpenWrite(const std::string& path, mode_t mode) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, mode);
    if (fd < 0)
        return nullptr;
    FILE* f = fdopen(fd, "w");
    if (f == nullptr)
        close(fd);
    return FilePtr(f);
}

bool IsEd25519(const PkeyPtr& key) {
    return key && EVP_PKEY_get_id(key.get()) == EVP_PKEY_ED25519;
}

}  // namespace

bool CPackageSignature::GenerateKeyPair(const std::string& privatePem, const std::string& publicPem,
                                        std::string& error) {
    std::unique_ptr<EVP_PKEY_CTX, CtxFree> ctx(EVP_PKEY_CTX_new_id(EVP_PKEY_ED25519, nullptr));
    EVP_PKEY* raw = nullptr;
    if (!ctx || EVP_PKEY_keygen_init(ctx.get()) <= 0 || EVP_PKEY_keygen(ctx.get(), &raw) <= 0) {
        error = "cannot generate an Ed25519 key";
        return false;
    }
    PkeyPtr key(raw);
    FilePtr priv = OpenWrite(privatePem, 0600);
    FilePtr pub = OpenWrite(publicPem, 0644);
    if (!priv || !pub ||
        !PEM_write_PrivateKey(priv.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr) ||
        !PEM_write_PUBKEY(pub.get(), key.get())) {
        error = "cannot write the key files";
        return false;
    }
    return true;
}

bool CPackageSignature::Sign(const std::string& privatePem, const std::string& payload,
                             uint64_t version, std::string& signedPackage, std::string& error) {
    if (version == 0) {
        error = "a package needs a version above 0";
        return false;
    }
    FilePtr file = OpenRead(privatePem);
    PkeyPtr key(file ? PEM_read_PrivateKey(file.get(), nullptr, nullptr, nullptr) : nullptr);
    if (!IsEd25519(key)) {
        error = "'" + privatePem + "' holds no Ed25519 private key";
        return false;
    }
    signedPackage = payload;
    for (size_t i = kVersionBytes; i-- > 0;)
        signedPackage += static_cast<char>((version >> (8 * i)) & 0xff);
    signedPackage.append(kMagic, kMagicBytes);
    std::unique_ptr<EVP_MD_CTX, MdCtxFree> md(EVP_MD_CTX_new());
    unsigned char sig[kSignatureBytes];
    size_t sigLen = sizeof sig;
    if (!md || EVP_DigestSignInit(md.get(), nullptr, nullptr, nullptr, key.get()) <= 0 ||
        EVP_DigestSign(md.get(), sig, &sigLen,
                       reinterpret_cast<const unsigned char*>(signedPackage.data()),
                       signedPackage.size()) <= 0 ||
        sigLen != kSignatureBytes) {
        signedPackage.clear();
        error = "signing failed";
        return false;
    }
    signedPackage.append(reinterpret_cast<const char*>(sig), sigLen);
    return true;
}

bool CPackageSignature::Verify(const std::string& publicPem, const std::string& package,
                               std::string& payload, uint64_t& version, std::string& error) {
    const size_t trailer = kVersionBytes + kMagicBytes + kSignatureBytes;
    if (package.size() < trailer || package.compare(package.size() - kSignatureBytes - kMagicBytes,
                                                    kMagicBytes, kMagic, kMagicBytes) != 0) {
        error = "the package carries no signature";
        return false;
    }
    FilePtr file = OpenRead(publicPem);
    PkeyPtr key(file ? PEM_read_PUBKEY(file.get(), nullptr, nullptr, nullptr) : nullptr);
    if (!IsEd25519(key)) {
        error = "no Ed25519 release key in '" + publicPem + "'";
        return false;
    }
    const size_t signedLen = package.size() - kSignatureBytes;
    const auto* bytes = reinterpret_cast<const unsigned char*>(package.data());
    std::unique_ptr<EVP_MD_CTX, MdCtxFree> md(EVP_MD_CTX_new());
    if (!md || EVP_DigestVerifyInit(md.get(), nullptr, nullptr, nullptr, key.get()) <= 0 ||
        EVP_DigestVerify(md.get(), bytes + signedLen, kSignatureBytes, bytes, signedLen) != 1) {
        error = "the signature does not match the release key";
        return false;
    }
    const size_t payloadLen = package.size() - trailer;
    version = 0;
    for (size_t i = 0; i < kVersionBytes; ++i)
        version = (version << 8) | bytes[payloadLen + i];
    payload.assign(package, 0, payloadLen);
    return true;
}

bool CPackageSignature::ParseVersion(const std::string& text, uint64_t& version) {
    if (text.empty() || text.size() > 19 ||
        text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    version = std::strtoull(text.c_str(), nullptr, 10);
    return version > 0;
}

bool CPackageSignature::IsPublicKey(const std::string& publicPem) {
    FilePtr file = OpenRead(publicPem);
    return IsEd25519(
        PkeyPtr(file ? PEM_read_PUBKEY(file.get(), nullptr, nullptr, nullptr) : nullptr));
}

std::string CPackageSignature::Md5Hex(const std::string& data) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    if (EVP_Digest(data.data(), data.size(), digest, &len, EVP_md5(), nullptr) != 1)
        return "";
    static const char kHex[] = "0123456789abcdef";
    std::string hex;
    for (unsigned int i = 0; i < len; ++i) {
        hex += kHex[digest[i] >> 4];
        hex += kHex[digest[i] & 15];
    }
    return hex;
}
