#include "CAutoUpdate.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "CPackageSignature.h"
#include "TestSupport.h"

using orvane_test::TempDir;
namespace fs = std::filesystem;

namespace {

// A desktop user's update: the installer's argument names the user's download folder, and the
// hand-over waits while that folder or what is in it could have been changed by someone else.
class UserDownloadTest : public ::testing::Test {
protected:
    void SetUp() override {
        fs::create_directories(inst.file("conf"));
        ASSERT_TRUE(orvane_test::writeFile(inst.file("conf/conf.xml"),
                                           "<conf><version>1000</version></conf>"));
        std::string error;
        ASSERT_TRUE(CPackageSignature::GenerateKeyPair(keys.file("release.key"),
                                                       inst.file("conf/release.pub"), error))
            << error;
        download = user.file("Quorra/AutoSetupAuth/");
        fs::create_directories(download);
        chmod(download.c_str(), 0700);
        for (const char* file : {"install.xml", "AutoUpdate"})
            ASSERT_TRUE(orvane_test::writeFile(download + file, "x"));
        ASSERT_TRUE(
            orvane_test::writeFile(download + "update.xml",
                                   "<update><item name=\"app\" md5=\"m\" size=\"1\" state=\"2\">" +
                                       download + "app.tar.gz</item></update>"));
    }
    std::string CheckInstallOutput(bool& handedOver) {
        testing::internal::CaptureStdout();
        handedOver = CAutoUpdate(inst.path().c_str(), download.c_str()).CheckInstall();
        return testing::internal::GetCapturedStdout();
    }
    TempDir inst, keys, user;
    std::string download;
};

TEST_F(UserDownloadTest, ArgumentNamesTheUsersFolderAndTheInstallation) {
    const std::string argument =
        CAutoUpdate(inst.path().c_str(), download.c_str()).BuildInstallerArgument().ToStdString();
    EXPECT_NE(argument.find("<downloadDir>" + download + "</downloadDir>"), std::string::npos)
        << argument;
    EXPECT_NE(argument.find("<updateDir>" + inst.path() + "/</updateDir>"), std::string::npos)
        << argument;
}

TEST_F(UserDownloadTest, WaitsWhileOthersCouldHaveChangedTheDownload) {
    struct Case {
        const char* what;
        std::function<void()> spoil;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {"folder writable by the group", [&] { chmod(download.c_str(), 0770); },
         "is writable by group or others"},
        {"installer copy is a link",
         [&] {
             chmod(download.c_str(), 0700);
             fs::remove(download + "AutoUpdate");
             fs::create_symlink("/bin/true", download + "AutoUpdate");
         },
         "is a symbolic link"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        c.spoil();
        bool handedOver = true;
        const std::string printed = CheckInstallOutput(handedOver);
        EXPECT_FALSE(handedOver);
        EXPECT_NE(printed.find("the update waits: "), std::string::npos) << printed;
        EXPECT_NE(printed.find(c.expected), std::string::npos) << printed;
    }
}

TEST_F(UserDownloadTest, WithoutPkexecNothingIsHandedOver) {
    if (access(CAutoUpdate::kPkexec, X_OK) == 0)
        GTEST_SKIP() << CAutoUpdate::kPkexec
                     << " is installed: a hand-over would ask for a password";
    bool handedOver = true;
    const std::string printed = CheckInstallOutput(handedOver);
    EXPECT_FALSE(handedOver);
    EXPECT_NE(printed.find("/usr/bin/pkexec is missing"), std::string::npos) << printed;
}

}  // namespace
