// CPackageSignature: Ed25519 signatures of update packages (OpenSSL libcrypto).
//
// A signed package is the .tar.gz payload followed by a trailer: the package's version (8 bytes,
// big-endian), the 8 bytes "ORVSIG02", then the 64-byte Ed25519 signature of every byte before
// it. The version is signed with the payload, so it cannot be changed, and a validly signed
// older package cannot pass for a newer one. The update server serves the signed file, so the size
// and MD5 in its answer are those of the whole file; the installer checks them, then the signature
// against the release public key installed in conf/, then the version against the installed one,
// and unpacks only the payload.
//
// Keys are PEM files (PKCS#8 private key, SubjectPublicKeyInfo public key). No state.
#pragma once

#include <cstdint>
#include <string>

class CPackageSignature {
public:
    static constexpr size_t kSignatureBytes = 64;
    static constexpr size_t kVersionBytes = 8;
    static constexpr char kMagic[] = "ORVSIG02";
    static constexpr size_t kMagicBytes = 8;

    // Writes a fresh key pair; the private key file is created with mode 0600.
    static bool GenerateKeyPair(const std::string& privatePem, const std::string& publicPem,
                                std::string& error);
    // signedPackage <- payload + version + magic + signature. version must be positive.
    static bool Sign(const std::string& privatePem, const std::string& payload, uint64_t version,
                     std::string& signedPackage, std::string& error);
    // True when package ends with a trailer whose signature verifies with the public key;
    // payload and version then hold what it signs. error says why otherwise.
    static bool Verify(const std::string& publicPem, const std::string& package,
                       std::string& payload, uint64_t& version, std::string& error);
    // A version as it is written (conf/conf.xml, the command line): 1 to 19 decimal digits and
    // nothing else, not 0. False for anything else, which no comparison can be made with.
    static bool ParseVersion(const std::string& text, uint64_t& version);
    // True when publicPem (never through a link) holds an Ed25519 public key.
    static bool IsPublicKey(const std::string& publicPem);
    // Lower-case hexadecimal MD5 of data.
    static std::string Md5Hex(const std::string& data);
};
