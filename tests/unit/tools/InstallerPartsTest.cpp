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
    ASSERT_TRUE(CPackageSignature::Sign(dir.file("k"), data, signedPackage, error)) << error;
    ASSERT_TRUE(CPackageSignature::Verify(dir.file("k.pub"), signedPackage, payload, error));
    EXPECT_EQ(data, payload);

    EXPECT_FALSE(CPackageSignature::Verify(dir.file("o.pub"), signedPackage, payload, error));
    for (size_t at : {size_t(0), data.size() - 1, data.size() + 10}) {
        std::string changed = signedPackage;
        changed[at] ^= 1;
        EXPECT_FALSE(CPackageSignature::Verify(dir.file("k.pub"), changed, payload, error)) << at;
    }
    EXPECT_FALSE(CPackageSignature::Verify(dir.file("k.pub"), data, payload, error));
    EXPECT_FALSE(CPackageSignature::Verify(dir.file("missing.pub"), signedPackage, payload, error));
    // A private key where the public one belongs is no release key.
    EXPECT_FALSE(CPackageSignature::Verify(dir.file("k"), signedPackage, payload, error));
    EXPECT_EQ("d41d8cd98f00b204e9800998ecf8427e", CPackageSignature::Md5Hex(""));
}

}  // namespace
