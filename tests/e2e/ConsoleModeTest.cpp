// The real OrvaneSvr started from a terminal with an account and a password.
#include "CXMLOpt.h"
#include "ServiceProcess.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

using namespace orvane_test;
using namespace std::chrono_literals;

namespace {

std::string LogText(const std::string& dir) {
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(dir + "/Log", ec))
        return readFile(entry.path().string());
    return std::string();
}

// Without any client the console business starts the Portal business and asks for the network
// check; meanwhile nobody can read the password from the process's command line, and a stop
// signal still ends the service in order (status 0).
TEST(ConsoleModeTest, WipesTheCredentialsAndStartsWithoutAClient) {
    TempDir dir;
    ASSERT_TRUE(makeInstallation(ORVANE_INSTALL_TREE, dir.path()));
    ServiceProcess service;
    ASSERT_TRUE(service.Start(dir.path(), "service", {"alice01", "s3cret-pw", "extra"}));
    ASSERT_TRUE(waitFor(
        [&] { return LogText(dir.path()).find("check net status start") != std::string::npos; },
        10s))
        << LogText(dir.path()) << readFile(service.outPath());

    const std::string cmdline = readFile("/proc/" + std::to_string(service.pid()) + "/cmdline");
    EXPECT_EQ(0u, cmdline.find(std::string("./OrvaneSvr\0", 12))) << cmdline;
    EXPECT_EQ(std::string::npos, cmdline.find("s3cret")) << cmdline;
    EXPECT_EQ(std::string::npos, cmdline.find("alice01")) << cmdline;
    EXPECT_NE(std::string::npos, cmdline.find("extra")) << cmdline;
    EXPECT_EQ(std::string::npos, LogText(dir.path()).find("s3cret"));

    CXMLOpt conf;
    ASSERT_TRUE(conf.LoadFile(dir.file("conf/conf.xml").c_str()));
    EXPECT_EQ(36u, conf.GetValue("clientId").GetLength());

    kill(service.pid(), SIGTERM);
    EXPECT_EQ(0, service.Wait(15s)) << readFile(service.outPath());
}

}  // namespace
