// sign-package: signs update packages with the release key, and makes key pairs.
//
//   sign-package --version N PRIVATE.pem PACKAGE.tar.gz SIGNED
//                        write PACKAGE followed by version N and the signature of both
//   sign-package --keygen PRIVATE.pem PUBLIC.pem     make a new Ed25519 key pair
//
// N is a decimal number above the installed version (conf/conf.xml's "version", 1000 when it has
// none): the installer refuses a package that is not newer than what it last installed. The
// private key never belongs in the repository; the public one is installed as conf/release.pub.
#include "CPackageSignature.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

namespace {

int Usage() {
    std::fprintf(stderr,
                 "usage: sign-package --version N PRIVATE.pem PACKAGE.tar.gz SIGNED\n"
                 "       sign-package --keygen PRIVATE.pem PUBLIC.pem\n");
    return 2;
}

int Fail(const std::string& why) {
    std::fprintf(stderr, "sign-package: %s\n", why.c_str());
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    std::string error;
    if (argc == 4 && std::strcmp(argv[1], "--keygen") == 0)
        return CPackageSignature::GenerateKeyPair(argv[2], argv[3], error) ? 0 : Fail(error);
    if (argc != 6 || std::strcmp(argv[1], "--version") != 0)
        return Usage();
    uint64_t version = 0;
    if (!CPackageSignature::ParseVersion(argv[2], version))
        return Fail(std::string("the version must be a decimal number above 0: ") + argv[2]);
    std::ifstream in(argv[4], std::ios::binary);
    std::ostringstream payload;
    payload << in.rdbuf();
    if (!in)
        return Fail(std::string("cannot read ") + argv[4]);
    std::string signedPackage;
    if (!CPackageSignature::Sign(argv[3], payload.str(), version, signedPackage, error))
        return Fail(error);
    std::ofstream out(argv[5], std::ios::binary | std::ios::trunc);
    out << signedPackage;
    out.close();
    if (!out)
        return Fail(std::string("cannot write ") + argv[5]);
    std::printf("%s: version %llu, %zu bytes, md5 %s\n", argv[5],
                static_cast<unsigned long long>(version), signedPackage.size(),
                CPackageSignature::Md5Hex(signedPackage).c_str());
    return 0;
}
