// The real OrvaneSvr in a temporary installation: single instance, log, routing through the
// pipes to the Portal business, and the orderly end.
#include "CXMLOpt.h"
#include "ServiceProcess.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <ctime>
#include <filesystem>
#include <string>

using namespace orvane_test;
using namespace std::chrono_literals;

namespace {

std::string Today() {
    char day[16];
    const time_t now = time(nullptr);
    tm local{};
    localtime_r(&now, &local);
    strftime(day, sizeof day, "%Y%m%d", &local);
    return day;
}

class ServiceStartTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(makeInstallation(ORVANE_INSTALL_TREE, dir.path()));
        // The network check probes a closed loopback port instead of the real gateway's address.
        std::string conf = readFile(dir.file("conf/conf.xml"));
        const std::string empty = "<redirect></redirect>";
        ASSERT_NE(std::string::npos, conf.find(empty));
        conf.replace(conf.find(empty), empty.size(),
                     "<redirect>http://127.0.0.1:9/forward.cgi</redirect>");
        ASSERT_TRUE(writeFile(dir.file("conf/conf.xml"), conf));
    }

    // The service's log; the date is taken around the start so a run across midnight still finds
    // it.
    std::string LogText() {
        std::string text = readFile(dir.file("Log/" + Today() + "_Info.log"));
        if (text.empty())
            text = readFile(dir.file("Log/" + startDay + "_Info.log"));
        return text;
    }
    bool LogHas(const std::string& needle, std::chrono::milliseconds timeout = 5s) {
        return waitFor([&] { return LogText().find(needle) != std::string::npos; }, timeout);
    }
    std::string StoredPid() {
        CXMLOpt conf;
        if (!conf.LoadFile(dir.file("conf/conf.xml").c_str()))
            return "<unreadable>";
        return conf.GetValue("PID").ToStdString();
    }
    bool StartService(ServiceProcess& service) {
        startDay = Today();
        return service.Start(dir.path());
    }

    TempDir dir;
    std::string startDay;
};

const std::string kCheckEnv = "<M><OpS>client</OpS><OpT>Portal</OpT><OpC>CheckEnv</OpC><P></P></M>";
const std::string kClientStart =
    "<M><OpS>client</OpS><OpT>Portal</OpT><OpC>ClientStart</OpC><P></P></M>";
const std::string kStartComplete =
    "<M><OpS>NetModule</OpS><OpT>Portal</OpT><OpC>ClientStartComplete</OpC><P></P></M>";
const std::string kLogin =
    "<M><OpS>client</OpS><OpT>Portal</OpT><OpC>PortalConnect</OpC>"
    "<P><user>u1</user><password>pw&lt;&amp;Secret</password></P></M>";

TEST_F(ServiceStartTest, RoutesClientMessagesAndEndsInOrder) {
    ServiceProcess service;
    ASSERT_TRUE(StartService(service));
    PipeClient client;
    ASSERT_TRUE(client.Connect(dir.path(), 10s)) << readFile(service.outPath());
    EXPECT_EQ(std::to_string(service.pid()) + "\n", StoredPid());

    // The first start brings the Portal business up: its answer, then its work and timer threads.
    ASSERT_TRUE(client.Send(kClientStart));
    std::string answer;
    ASSERT_TRUE(client.Receive(answer, 10s));
    EXPECT_EQ(kStartComplete, answer);
    ASSERT_TRUE(client.Send(kLogin));
    ASSERT_TRUE(client.Send(kCheckEnv));
    EXPECT_TRUE(LogHas(kCheckEnv + "\n"));
    EXPECT_TRUE(LogHas("check net status start\n"));  // timer entry turned into a task and run
    EXPECT_TRUE(LogHas("portal connect start\n"));    // the login task reached the connection

    // A client that closes its end and comes back is served again.
    client.CloseWriter();
    std::this_thread::sleep_for(200ms);
    ASSERT_TRUE(client.OpenWriter(5s));
    ASSERT_TRUE(client.Send("<M><OpS>client</OpS><OpT>Portal</OpT><OpC>Again</OpC><P></P></M>"));
    EXPECT_TRUE(LogHas("CPortalServer: opcode Again from client not handled"));

    kill(service.pid(), SIGTERM);
    EXPECT_EQ(0, service.Wait(15s));
    EXPECT_FALSE(std::filesystem::exists(dir.file("serverpipe")));
    EXPECT_TRUE(std::filesystem::exists(dir.file("clientpipe")));  // the client's own FIFO stays
    const std::string log = LogText();
    EXPECT_NE(std::string::npos, log.find("DoWork\n"));
    EXPECT_NE(std::string::npos, log.find("client disconnect -1\n"));
    const size_t status = log.find("CPortalServer::ServerStatus\n");
    EXPECT_NE(std::string::npos, status);
    EXPECT_NE(std::string::npos, log.find("work thread stopped\n", status));
    EXPECT_EQ(std::string::npos, log.find("<OpC>PortalConnect"));
    EXPECT_EQ(std::string::npos, log.find("Secret"));
}

TEST_F(ServiceStartTest, SecondStartExitsWith255AndLeavesTheLogAlone) {
    ServiceProcess first;
    ASSERT_TRUE(StartService(first));
    ASSERT_TRUE(LogHas("OrvaneSvr started"));
    ASSERT_TRUE(waitFor([&] { return std::filesystem::exists(dir.file("serverpipe")); }, 5s));
    const std::string logBefore = LogText();

    ServiceProcess second;
    ASSERT_TRUE(second.Start(dir.path(), "second"));
    EXPECT_EQ(255, second.Wait(10s));
    EXPECT_EQ("", readFile(second.outPath()));
    EXPECT_EQ(logBefore, LogText());
    EXPECT_EQ(std::to_string(first.pid()) + "\n", StoredPid());

    // The first one is still waiting for its client; a stop ends that wait in order.
    ASSERT_TRUE(first.running());
    kill(first.pid(), SIGTERM);
    EXPECT_EQ(0, first.Wait(15s));
    EXPECT_FALSE(std::filesystem::exists(dir.file("serverpipe")));
    // Stopped, not broken: nothing says the pipe could not be opened.
    EXPECT_EQ(std::string::npos, readFile(first.outPath()).find("open server pipe"))
        << readFile(first.outPath());
}

// After a reboot the recorded id often belongs to some other program: that must not block.
TEST_F(ServiceStartTest, RecordedIdOfAnotherProgramIsReplaced) {
    const pid_t other = fork();
    ASSERT_GE(other, 0);
    if (other == 0) {
        execl("/bin/sleep", "sleep", "30", static_cast<char*>(nullptr));
        _exit(127);
    }
    {
        CXMLOpt conf;
        ASSERT_TRUE(conf.LoadFile(dir.file("conf/conf.xml").c_str()));
        ASSERT_TRUE(conf.SetValue("PID", (std::to_string(other) + "\n").c_str()));
        ASSERT_TRUE(conf.SaveFile());
    }
    ServiceProcess service;
    ASSERT_TRUE(StartService(service));
    EXPECT_TRUE(waitFor([&] { return StoredPid() == std::to_string(service.pid()) + "\n"; }, 5s));
    EXPECT_TRUE(LogHas("OrvaneSvr started"));
    EXPECT_TRUE(service.running());
    kill(service.pid(), SIGTERM);
    EXPECT_EQ(0, service.Wait(15s));
    kill(other, SIGKILL);
    waitpid(other, nullptr, 0);
}

}  // namespace
