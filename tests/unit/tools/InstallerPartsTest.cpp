// The installer's argument reading, package signatures and its work through held folders: what an
// argument or a package must hold before the installer trusts it, and what root may touch in a
// folder someone else can change.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "CFileSwap.h"
#include "CHeldFolder.h"
#include "CInstallerArgs.h"
#include "CPackageSignature.h"
#include "CUniqueFd.h"
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

TEST(InstallerArgs, AUsersOwnDownloadFolderNeedsTheUserPkexecNamed) {
    const std::string argument = Argument("/opt/a/", "/home/u/.cache/orvane/Quorra/AutoSetupAuth/");
    CInstallerArgs root;
    std::string error;
    EXPECT_FALSE(root.Parse(argument, "/", error));
    CInstallerArgs user;
    user.invoker = 1000;
    ASSERT_TRUE(user.Parse(argument, "/", error)) << error;
    EXPECT_FALSE(user.ownDownloads);
    EXPECT_EQ("/home/u/.cache/orvane/Quorra/AutoSetupAuth/", user.downloadDir);
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

namespace {

namespace fs = std::filesystem;

int OpenHeld(const std::string& path) {
    return open(path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
}

}  // namespace

// Root clears a download folder its user can change: links in it go, what they point to stays.
TEST(HeldFolder, ClearingRemovesLinksAndNeverWhatTheyPointTo) {
    orvane_test::TempDir dir;
    fs::create_directories(dir.file("down/sub"));
    fs::create_directories(dir.file("outside"));
    ASSERT_TRUE(orvane_test::writeFile(dir.file("outside/keep"), "keep"));
    ASSERT_TRUE(orvane_test::writeFile(dir.file("down/sub/pkg.tar.gz"), "x"));
    ASSERT_EQ(0, symlink(dir.file("outside").c_str(), dir.file("down/folder-link").c_str()));
    ASSERT_EQ(0, symlink(dir.file("outside/keep").c_str(), dir.file("down/update.xml").c_str()));
    CUniqueFd down(OpenHeld(dir.file("down")));
    std::string bytes, why;
    EXPECT_FALSE(CHeldFolder::ReadCapped(down.get(), "update.xml", 100, bytes, why));
    EXPECT_TRUE(CHeldFolder::Clear(down.get()));
    EXPECT_TRUE(fs::is_empty(dir.file("down")));
    EXPECT_EQ("keep", orvane_test::readFile(dir.file("outside/keep")));
}

// What a package unpacks to: each odd member refuses the whole package before anything moves.
struct Member {
    const char* name;
    void (*plant)(const std::string& unpacked, const std::string& elsewhere);
    const char* error;
};

class FileSwapMemberTest : public ::testing::TestWithParam<Member> {};

TEST_P(FileSwapMemberTest, IsRefusedBeforeAnythingMoves) {
    orvane_test::TempDir dir;
    fs::create_directories(dir.file("inst/conf"));
    fs::create_directories(dir.file("new/conf"));
    fs::create_directories(dir.file("old"));
    ASSERT_TRUE(orvane_test::writeFile(dir.file("inst/conf/release.pub"), "key"));
    ASSERT_TRUE(orvane_test::writeFile(dir.file("new/readme.txt"), "new"));
    GetParam().plant(dir.file("new"), dir.file("elsewhere"));
    CUniqueFd inst(OpenHeld(dir.file("inst"))), unpacked(OpenHeld(dir.file("new"))),
        backup(OpenHeld(dir.file("old")));
    CFileSwap swap(inst.get(), unpacked.get(), backup.get());
    std::string error;
    EXPECT_FALSE(swap.Check(error));
    EXPECT_NE(std::string::npos, error.find(GetParam().error)) << error;
    EXPECT_FALSE(fs::exists(dir.file("inst/readme.txt")));
}

INSTANTIATE_TEST_SUITE_P(
    Members, FileSwapMemberTest,
    ::testing::Values(
        Member{"SymbolicLink",
               [](const std::string& in, const std::string& out) {
                   ASSERT_EQ(0, symlink(out.c_str(), (in + "/client").c_str()));
               },
               "client, which is neither a file nor a folder"},
        Member{"SecondHardLink",
               [](const std::string& in, const std::string&) {
                   ASSERT_EQ(0, link((in + "/readme.txt").c_str(), (in + "/conf/x").c_str()));
               },
               "which is neither a file nor a folder"},
        Member{"StoreFile",
               [](const std::string& in, const std::string&) {
                   ASSERT_TRUE(orvane_test::writeFile(in + "/conf/conf.xml", "<conf/>"));
               },
               "the store file conf/conf.xml"},
        Member{"LogFolder",
               [](const std::string& in, const std::string&) {
                   fs::create_directories(in + "/Log");
                   ASSERT_TRUE(orvane_test::writeFile(in + "/Log/AutoUpdate.log", "x"));
               },
               "writes into Log/"}),
    [](const auto& info) { return std::string(info.param.name); });
