// The start of the `client` program before any window: a second copy ends at once, and a
// complete update download hands over to the installer instead of starting the service. Run
// without a display, so a start that went further than it should would fail visibly.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "CPackageSignature.h"
#include "ServiceProcess.h"
#include "TestSupport.h"

using namespace orvane_test;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

class ClientStartTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(makeInstallation(ORVANE_INSTALL_TREE, inst));
        // A stand-in service that only says it was started.
        ASSERT_TRUE(writeFile(inst + "/OrvaneSvr", "#!/bin/sh\ntouch service-started\n"));
        chmod((inst + "/OrvaneSvr").c_str(), 0755);
    }
    void TearDown() override {
        if (m_other > 0) {
            kill(m_other, SIGKILL);
            waitpid(m_other, nullptr, 0);
        }
    }

    // Runs ./client in the installation with an environment of its own (no display, and
    // extraEnv); its exit status, or -1 when it did not end within ten seconds. Output in Output().
    int RunClient(const std::vector<std::string>& extraEnv = {}) {
        const std::string out = dir.file("client.out");
        const pid_t pid = fork();
        if (pid == 0) {
            const int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (fd < 0 || chdir(inst.c_str()) != 0)
                _exit(120);
            dup2(fd, 1);
            dup2(fd, 2);
            char* const argv[] = {const_cast<char*>("./client"), nullptr};
            std::vector<char*> env = {const_cast<char*>("PATH=/usr/bin:/bin")};
            for (const std::string& e : extraEnv)
                env.push_back(const_cast<char*>(e.c_str()));
            env.push_back(nullptr);
            execve(argv[0], argv, env.data());
            _exit(121);
        }
        int status = 0;
        if (!waitFor([&] { return waitpid(pid, &status, WNOHANG) == pid; }, 10s, 10ms)) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
            return -1;
        }
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    std::string Output() const { return readFile(dir.file("client.out")); }

    // Another live process whose program is called "client".
    pid_t StartOtherClient() {
        fs::create_directories(dir.file("other"));
        fs::copy_file("/bin/sleep", dir.file("other/client"));
        m_other = fork();
        if (m_other == 0) {
            execl(dir.file("other/client").c_str(), "client", "30", static_cast<char*>(nullptr));
            _exit(127);
        }
        waitFor(
            [&] { return readFile("/proc/" + std::to_string(m_other) + "/comm") == "client\n"; },
            5s);
        return m_other;
    }

    TempDir dir;
    std::string inst = dir.file("inst dir");  // a blank in the installation's path
    pid_t m_other = -1;
};

TEST_F(ClientStartTest, SecondCopyEndsAtOnceAndLeavesTheRunningOnesRecord) {
    const std::string record = std::to_string(StartOtherClient()) + "\n";
    ASSERT_TRUE(writeFile(inst + "/conf/client.xml",
                          "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<conf><ClientPID>" + record +
                              "</ClientPID></conf>\n"));
    EXPECT_EQ(255, RunClient());
    EXPECT_EQ("Client Process had start!\n", Output());
    EXPECT_FALSE(fs::exists(inst + "/service-started"));
    EXPECT_NE(std::string::npos, readFile(inst + "/conf/client.xml").find(record));
}

// Lays out a complete update download with a stand-in installer that writes down its argument.
void PlaceCompleteDownload(const std::string& d) {
    fs::create_directories(d);
    ASSERT_TRUE(writeFile(d + "install.xml", "<response><pkgxmls/></response>"));
    ASSERT_TRUE(writeFile(d + "update.xml",
                          "<update><item name=\"app\" md5=\"m\" size=\"1\" "
                          "state=\"2\">" +
                              d + "app.tar.gz</item></update>"));
    ASSERT_TRUE(writeFile(d + "AutoUpdate",
                          "#!/bin/sh\nprintf '%s' \"$1\" > argument.tmp\n"
                          "mv argument.tmp argument\n"));
    chmod((d + "AutoUpdate").c_str(), 0755);
}

TEST_F(ClientStartTest, CompleteDownloadHandsOverToTheInstallerWithoutStartingTheService) {
    const std::string d = inst + "/Quorra/AutoSetupAuth/";
    PlaceCompleteDownload(d);
    // Without a release key the installer would refuse every package, so nothing is handed over.
    std::string error;
    ASSERT_TRUE(CPackageSignature::GenerateKeyPair(dir.file("release.key"),
                                                   inst + "/conf/release.pub", error))
        << error;

    EXPECT_EQ(255, RunClient());
    EXPECT_NE(std::string::npos, Output().find("need update , exit\n")) << Output();
    ASSERT_TRUE(waitFor([&] { return fs::exists(d + "argument"); }, 5s));
    const std::string argument = readFile(d + "argument");
    EXPECT_NE(std::string::npos, argument.find("<updateDir>" + inst + "/</updateDir>")) << argument;
    EXPECT_NE(std::string::npos, argument.find("<mainProgram>client</mainProgram>"));
    EXPECT_FALSE(fs::exists(inst + "/service-started"));
}

// A package's window, even root's: it keeps its store in the user's places, says once that
// updates come as packages, hands nothing over (a complete download in the installation or in
// the user's cache alike), never starts the service, and reports the missing unit's service.
TEST_F(ClientStartTest, PackagedWindowNeitherHandsOverNorStartsTheService) {
    fs::copy_file(ORVANE_CLIENT_PACKAGED, inst + "/client", fs::copy_options::overwrite_existing);
    removeGroupOtherWrite(inst);
    const std::string home = dir.file("home");
    const std::vector<std::string> downloads = {inst + "/Quorra/AutoSetupAuth/",
                                                home + "/cache/orvane/Quorra/AutoSetupAuth/"};
    for (const std::string& d : downloads)
        PlaceCompleteDownload(d);
    std::string error;
    ASSERT_TRUE(CPackageSignature::GenerateKeyPair(dir.file("release.key"),
                                                   inst + "/conf/release.pub", error))
        << error;
    const std::string storeBefore = readFile(inst + "/conf/client.xml");

    EXPECT_EQ(69, RunClient({"HOME=" + home, "XDG_CONFIG_HOME=" + home + "/config",
                             "XDG_CACHE_HOME=" + home + "/cache",
                             "ORVANE_RUNTIME_DIR=" + dir.file("no-runtime")}));
    EXPECT_NE(std::string::npos, Output().find("updates come as packages")) << Output();
    EXPECT_EQ(std::string::npos, Output().find("need update")) << Output();
    EXPECT_NE(std::string::npos, Output().find("no service:")) << Output();
    for (const std::string& d : downloads) {
        EXPECT_FALSE(fs::exists(d + "argument")) << d;
        EXPECT_TRUE(fs::exists(d + "update.xml")) << d;
    }
    EXPECT_FALSE(fs::exists(inst + "/service-started"));
    EXPECT_EQ(storeBefore, readFile(inst + "/conf/client.xml"));
    EXPECT_TRUE(fs::exists(home + "/config/orvane/client.xml"));
}

}  // namespace
