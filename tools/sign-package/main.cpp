// sign-package: signs update packages with the release key, and makes key pairs.
//
//   sign-package PRIVATE.pem PACKAGE.tar.gz SIGNED   write PACKAGE followed by its signature
//   sign-package --keygen PRIVATE.pem PUBLIC.pem     make a new Ed25519 key pair
//
// The private key never belongs in the repository; the public one is installed as
// conf/release.pub.
#include "CPackageSignature.h"

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

namespace {

int Usage() {
    std::fprintf(stderr,
                 "usage: sign-package PRIVATE.pem PACKAGE.tar.gz SIGNED\n"
                 "       sign-package --keygen PRIVATE.pem PUBLIC.pem\n");
    return 2;
}

int Fail(const std::string& why) {
    std::fprintf(stderr, "sign-package: %s\n", why.c_str());
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4)
        return Usage();
    std::string error;
    if (std::strcmp(argv[1], "--keygen") == 0)
        return CPackageSignature::GenerateKeyPair(argv[2], argv[3], error) ? 0 : Fail(error);
    std::ifstream in(argv[2], std::ios::binary);
    std::ostringstream payload;
    payload << in.rdbuf();
    if (!in)
        return Fail(std::string("cannot read ") + argv[2]);
    std::string signedPackage;
    if (!CPackageSignature::Sign(argv[1], payload.str(), signedPackage, error))
        return Fail(error);
    std::ofstream out(argv[3], std::ios::binary | std::ios::trunc);
    out << signedPackage;
    out.close();
    if (!out)
        return Fail(std::string("cannot write ") + argv[3]);
    std::printf("%s: %zu bytes, md5 %s\n", argv[3], signedPackage.size(),
                CPackageSignature::Md5Hex(signedPackage).c_str());
    return 0;
}
