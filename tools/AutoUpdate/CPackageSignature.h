// CPackageSignature: Ed25519 signatures of update packages (OpenSSL libcrypto).
//
// A signed package is the .tar.gz payload followed by a trailer: the 64-byte Ed25519 signature of
// the payload, then the 8 bytes "ORVSIG01". The update server serves the signed file, so the size
// and MD5 in its answer are those of the whole file; the installer checks them, then the
// signature against the release public key installed in conf/, and unpacks only the payload.
//
// Keys are PEM files (PKCS#8 private key, SubjectPublicKeyInfo public key). No state.
#pragma once

#include <string>

class CPackageSignature {
public:
    static constexpr size_t kSignatureBytes = 64;
    static constexpr char kMagic[] = "ORVSIG01";
    static constexpr size_t kMagicBytes = 8;

    // Writes a fresh key pair; the private key file is created with mode 0600.
    static bool GenerateKeyPair(const std::string& privatePem, const std::string& publicPem,
                                std::string& error);
    // signedPackage <- payload + signature + magic.
    static bool Sign(const std::string& privatePem, const std::string& payload,
                     std::string& signedPackage, std::string& error);
    // True when package ends with a trailer whose signature over the bytes before it verifies
    // with the public key; payload then holds those bytes. error says why otherwise.
    static bool Verify(const std::string& publicPem, const std::string& package,
                       std::string& payload, std::string& error);
    // True when publicPem (never through a link) holds an Ed25519 public key.
    static bool IsPublicKey(const std::string& publicPem);
    // Lower-case hexadecimal MD5 of data.
    static std::string Md5Hex(const std::string& data);
};
