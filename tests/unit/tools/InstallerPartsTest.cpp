// The installer's argument reading and package signatures: what an argument or a package must
// hold before the installer trusts it.
#include <gtest/gtest.h>

#include <string>

#include "CInstallerArgs.h"
#include "CPackageSignature.h"
#include "TestSupport.h"

namespace {

using namespace std::string_literals;

std::string Argument(const std::string& update, const std::string& download,
                     const std::string& program = "client") {
    return "<conf><version>1.0</version><updateDir>" + update + "</updateDir><mainProgram>" +
           program + "</mainProgram><recordFile>" + update +
           "conf/client.xml</recordFile><downloadDir>" + download + "</downloadDir></conf>";
}

TEST(InstallerArgs, AcceptsOnlyAnInstallationWithItsOwnDownloadFolder) {
    CInstallerArgs args;
    std::string error;
    ASSERT_TRUE(
        args.Parse(Argument("/opt/a &amp; b/", "/opt/a &amp; b/Quorra/AutoSetupAuth/"), "/", error))
        << error;
    EXPECT_EQ("/opt/a & b", args.installDir);
    EXPECT_EQ("/opt/a & b/Quorra/AutoSetupAuth/", args.downloadDir);
    EXPECT_EQ("/opt/a & b/conf/client.xml", args.recordFile);

    for (const std::string& bad :
         {Argument("/opt/a/", "/tmp/Quorra/AutoSetupAuth/"),
          Argument("opt/a/", "opt/a/Quorra/AutoSetupAuth/"),
          Argument("/opt/a/", "/opt/a/Quorra/AutoSetupAuth/", "../bin/sh"),
          Argument("/opt/a/", "/opt/a/Quorra/AutoSetupAuth/", "sub/client"),
          Argument("", "/Quorra/AutoSetupAuth/"), std::string("<conf><updateDir>/x/</conf>")}) {
        CInstallerArgs refused;
        EXPECT_FALSE(refused.Parse(bad, "/", error)) << bad;
    }
}

TEST(InstallerArgs, EmptyArgumentFallsBackToTheDownloadFolderItRunsIn) {
    CInstallerArgs args;
    std::string error;
    ASSERT_TRUE(args.Parse("", "/opt/my inst/Quorra/AutoSetupAuth/", error)) << error;
    EXPECT_EQ("/opt/my inst", args.installDir);
    EXPECT_EQ("client", args.mainProgram);
    CInstallerArgs elsewhere;
    EXPECT_FALSE(elsewhere.Parse("", "/opt/my inst", error));
}

TEST(PackageSignature, AnyChangedByteOrForeignKeyIsRefused) {
    orvane_test::TempDir dir;
    std::string error, signedPackage, payload;
    ASSERT_TRUE(CPackageSignature::GenerateKeyPair(dir.file("k"), dir.file("k.pub"), error));
    ASSERT_TRUE(CPackageSignature::GenerateKeyPair(dir.file("o"), dir.file("o.pub"), error));
    const std::string data = "package bytes\0with a zero"s;
    // A version with a byte in each place, so that a byte order slip shows.
    const uint64_t version = 0x0102030405060708ull;
    ASSERT_TRUE(CPackageSignature::Sign(dir.file("k"), data, version, signedPackage, error))
        << error;
    uint64_t read = 0;
    ASSERT_TRUE(CPackageSignature::Verify(dir.file("k.pub"), signedPackage, payload, read, error));
    EXPECT_EQ(data, payload);
    EXPECT_EQ(version, read);

    EXPECT_FALSE(CPackageSignature::Verify(dir.file("o.pub"), signedPackage, payload, read, error));
    // The payload's first and last byte, the version's last byte (a replay with another version),
    // the magic and the signature.
    for (size_t at : {size_t(0), data.size() - 1, data.size() + 7, data.size() + 10,
                      signedPackage.size() - 1}) {
        std::string changed = signedPackage;
        changed[at] ^= 1;
        EXPECT_FALSE(CPackageSignature::Verify(dir.file("k.pub"), changed, payload, read, error))
            << at;
    }
    EXPECT_FALSE(CPackageSignature::Verify(dir.file("k.pub"), data, payload, read, error));
    EXPECT_FALSE(
        CPackageSignature::Verify(dir.file("missing.pub"), signedPackage, payload, read, error));
    // A private key where the public one belongs is no release key.
    EXPECT_FALSE(CPackageSignature::Verify(dir.file("k"), signedPackage, payload, read, error));
    EXPECT_FALSE(CPackageSignature::Sign(dir.file("k"), data, 0, signedPackage, error));
    EXPECT_EQ("d41d8cd98f00b204e9800998ecf8427e", CPackageSignature::Md5Hex(""));
}

TEST(PackageSignature, OnlyPlainPositiveNumbersAreVersions) {
    uint64_t version = 0;
    ASSERT_TRUE(CPackageSignature::ParseVersion("1001", version));
    EXPECT_EQ(1001u, version);
    ASSERT_TRUE(CPackageSignature::ParseVersion("9999999999999999999", version));
    EXPECT_EQ(9999999999999999999ull, version);
    for (const char* bad : {"", "0", "1.0.0", "-5", "+5", " 5", "5 ", "12abc", "0x10",
                            "18446744073709551616", "99999999999999999999"})
        EXPECT_FALSE(CPackageSignature::ParseVersion(bad, version)) << bad;
}

}  // namespace
