// The Portal business behind the real router, driven by a test client over two real FIFOs.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "CBusiness.h"
#include "CInfoCenter.h"
#include "CLog.h"
#include "CPipeService.h"
#include "CPortalServer.h"
#include "CServer.h"
#include "IPipeCallback.h"
#include "PortalServerTestSupport.h"
#include "TestSupport.h"

using namespace OrvaneSvr;
using namespace std::chrono_literals;
using orvane_test::TempDir;
using orvane_test::waitFor;

namespace {

class RecordingClient : public IPipeCallback {
public:
    void DoWorkOnPipe(CAutoString message) override {
        std::lock_guard<std::mutex> guard(m_lock);
        m_messages.push_back(message.ToStdString());
    }
    std::vector<std::string> Messages() {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_messages;
    }

private:
    std::mutex m_lock;
    std::vector<std::string> m_messages;
};

const char kComplete[] =
    "<M><OpS>NetModule</OpS><OpT>Portal</OpT><OpC>ClientStartComplete</OpC>"
    "<P></P></M>";

std::string StateMessage(int type, int oldState, int newState, int code) {
    return "<M><OpS>NetModule</OpS><OpT>Portal</OpT><OpC>NetStateMessageResp</OpC><P><type>" +
           std::to_string(type) + "</type><oldState>" + std::to_string(oldState) +
           "</oldState><newState>" + std::to_string(newState) + "</newState><ErrorCode>" +
           std::to_string(code) +
           "</ErrorCode><subErrCode></subErrCode><subType></subType><extern></extern></P></M>";
}

// A store whose probe address is a closed loopback port.
std::string Store(const TempDir& dir) {
    orvane_test::writeFile(dir.file("conf.xml"),
                           "<conf><redirect>http://127.0.0.1:9/forward.cgi</redirect></conf>");
    return dir.file("conf.xml");
}

// The service side (router and Portal business) and a client, joined by FIFOs in a temporary
// folder. The network checks probe a closed loopback port, so nothing leaves the machine.
class PortalPipeTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(0, CLog::GetInst()->Create(dir.path().c_str(), "Info.log", ""));
        CLog::GetInst()->SetLevel(CLog::DEBUG);
        portal.SetInfoCenter(&info);
        portal.InitService(&server);
        server.CreateServer("serverpipe");
        clientPipe.CreateNamedPipeInServer("clientpipe", &client);
        serverThread = std::thread([this] {
            if (server.ConnectToServer("clientpipe") == 0)
                server.DoWork();
        });
        ASSERT_EQ(0, clientPipe.OpenNamePipeClient("serverpipe"));
        clientThread = std::thread([this] { clientPipe.LoopMsg(); });
    }
    void TearDown() override {
        EndPipe();
        clientPipe.StopLoop();
        if (clientThread.joinable())
            clientThread.join();
        CLog::GetInst()->Close();
    }
    // Ends the service's pipe loop, which tells the business to shut down.
    void EndPipe() {
        server.StopWork();
        if (serverThread.joinable())
            serverThread.join();
    }

    void Send(const char* opcode, const std::string& params = "") {
        const CAutoString message =
            CBusiness::BuildEnvelope("client", "Portal", opcode, params.c_str());
        ASSERT_TRUE(clientPipe.WritePipe(message.c_str()));
    }
    bool WaitMessages(size_t n) {
        return waitFor([&] { return client.Messages().size() >= n; }, 5s);
    }
    // Messages are handled in order: once this unknown opcode has reached the default handler,
    // every message sent before it has been handled.
    void Barrier() {
        Send("EndOfBatch");
        ASSERT_TRUE(waitFor(
            [&] {
                const std::vector<std::string> seen = portal.Defaults();
                return !seen.empty() && seen.back() == "EndOfBatch";
            },
            10s));
    }

    TempDir dir;
    CInfoCenter info{Store(dir).c_str()};
    RecordingPortal portal{
        orvane_test::LoopbackHostPaths(dir)};  // outlives the router, whose message thread calls it
    CServer server{dir.path()};
    RecordingClient client;
    CPipeService clientPipe{dir.path()};
    std::thread serverThread;
    std::thread clientThread;
};

}  // namespace

TEST_F(PortalPipeTest, ClientStartOnceStartsTheMachineAndTwiceResynchronisesTheClient) {
    Send("ClientStart");
    ASSERT_TRUE(WaitMessages(1));
    EXPECT_EQ(kComplete, client.Messages().at(0));
    CPortalConn* conn = portal.GetPortalConn();
    ASSERT_NE(nullptr, conn);
    EXPECT_TRUE(CPortalServerTestAccess::WorkerRunning(portal));

    // The connection logs in; a client that starts again sees the ready page, then that state.
    conn->NetStateChange(INetConn::ES_CONNECTING, INetConn::ES_CONNECTED, 1, CAutoString(""));
    ASSERT_TRUE(WaitMessages(2));
    Send("ClientStart");
    ASSERT_TRUE(WaitMessages(4));
    const std::vector<std::string> expected = {kComplete, StateMessage(51, 1, 2, 1),
                                               StateMessage(51, 0, 31, 0),
                                               StateMessage(51, 1, 2, 1)};
    EXPECT_EQ(expected, client.Messages());
    EXPECT_EQ(conn, portal.GetPortalConn());  // no second connection
    EXPECT_EQ(0, CPortalServerTestAccess::Armed(portal, checkNet));

    // The pipe ends: the work and timer threads stop and the connection goes.
    EndPipe();
    EXPECT_FALSE(CPortalServerTestAccess::WorkerRunning(portal));
    EXPECT_EQ(nullptr, portal.GetPortalConn());
    CPortalServerTestAccess::Arm(portal, reqState, 0);
    std::this_thread::sleep_for(1200ms);
    EXPECT_EQ(1, CPortalServerTestAccess::Armed(portal, reqState));  // nobody dispatches it
    EXPECT_EQ(0u, CPortalServerTestAccess::QueueSize(portal));
}

TEST_F(PortalPipeTest, ClientStartAgainWithoutAStateChecksTheNetwork) {
    Send("ClientStart");
    ASSERT_TRUE(WaitMessages(1));
    CPortalConn* conn = portal.GetPortalConn();
    Send("ClientStart");
    ASSERT_TRUE(waitFor([&] { return portal.Count(checkNet) == 1; }, 5s));
    EXPECT_EQ(conn, portal.GetPortalConn());
    // The check runs (and fails against the closed port); no second acknowledgement is sent.
    const std::string failed = StateMessage(51, 33, 32, 20010207);
    ASSERT_TRUE(waitFor([&] { return client.Messages().back() == failed; }, 5s));
    const std::vector<std::string> seen = client.Messages();
    EXPECT_EQ(1, std::count(seen.begin(), seen.end(), std::string(kComplete)));
}

TEST_F(PortalPipeTest, CheckEnvReplacesAPendingCheck) {
    Send("ClientStart");
    ASSERT_TRUE(WaitMessages(1));
    portal.CheckNetStatus(100);
    Send("CheckEnv");
    ASSERT_TRUE(waitFor([&] { return portal.Count(checkNet) == 1; }, 5s));
    // Kept instead of replaced, the 100 s entry would still be pending.
    EXPECT_EQ(0, CPortalServerTestAccess::Armed(portal, checkNet));
    std::this_thread::sleep_for(600ms);
    EXPECT_EQ(1, portal.Count(checkNet));
}

// Before the first "ClientStart" no thread runs, so what the opcodes queue stays visible.
TEST_F(PortalPipeTest, OpcodesQueueTheirTasksAndUnknownOnesReachTheDefaultHandler) {
    Send("GetTerminalData", "<n>1</n>");
    Send("GetTerminalData", "<n>2</n>");
    Send("NoSuchOpcode", "<x>1</x>");
    Send("PortalConnect",
         (CBusiness::MakeParam("user", "u1") + CBusiness::MakeParam("password", "p<1")).c_str());
    Send("TerminalTermSend", "<ticket>T-9</ticket>");
    Send("PortalDisConnect", "<src>2</src>");  // no connection yet: nothing to log out
    Barrier();

    const std::vector<Task> queued = CPortalServerTestAccess::Drain(portal);
    ASSERT_EQ(3u, queued.size());
    EXPECT_EQ(terminal, queued[0].curTask);
    EXPECT_EQ(high, queued[0].level);
    EXPECT_NE(nullptr, strstr(queued[0].tag.c_str(), "<n>2</n>"));
    EXPECT_EQ(auth, queued[1].curTask);
    EXPECT_EQ(high, queued[1].level);
    // The whole message travels, password included, escaped as it came.
    EXPECT_NE(nullptr, strstr(queued[1].tag.c_str(), "<OpC>PortalConnect</OpC>"));
    EXPECT_NE(nullptr, strstr(queued[1].tag.c_str(), "<password>p&lt;1</password>"));
    EXPECT_EQ(terminalTerm, queued[2].curTask);
    EXPECT_STREQ("T-9", CPortalServerTestAccess::OtherTicket(portal).c_str());
    EXPECT_EQ((std::vector<std::string>{"NoSuchOpcode", "EndOfBatch"}), portal.Defaults());
    EXPECT_EQ(0, CPortalServerTestAccess::Armed(portal, checkNet));
}

// A flood of requests over the pipe is refused beyond the request depth, with a log line, and
// leaves room for the tasks the service queues itself.
TEST_F(PortalPipeTest, AFloodOfRequestsIsRefusedBeyondTheRequestDepth) {
    for (int i = 0; i < 40; ++i) {
        const std::string user = "u" + std::to_string(i);
        Send("PortalConnect",
             (CBusiness::MakeParam("user", user.c_str()) + CBusiness::MakeParam("password", "p"))
                 .c_str());
    }
    Barrier();
    CAutoString tag("3");
    portal.DoTimeTask(term, tag);  // the service's own task still finds room
    const std::vector<Task> queued = CPortalServerTestAccess::Drain(portal);
    ASSERT_EQ(CTaskMgr::kMaxRequestTasks + 1, queued.size());
    EXPECT_EQ(CTaskMgr::kMaxRequestTasks,
              static_cast<size_t>(std::count_if(queued.begin(), queued.end(),
                                                [](const Task& t) { return t.curTask == auth; })));
    EXPECT_EQ(term, queued.back().curTask);
    EXPECT_NE(nullptr, strstr(queued[0].tag.c_str(), "<user>u0</user>"));  // the first ones stay
    EXPECT_NE(
        std::string::npos,
        orvane_test::readFile(dir.file("Info.log")).find("task 6 refused: 32 tasks already wait"));
}

TEST_F(PortalPipeTest, LogoutRequestQueuesTheLogoutWithItsReason) {
    Send("ClientStart");
    ASSERT_TRUE(WaitMessages(1));
    Send("PortalDisConnect", "<src>2</src>");
    ASSERT_TRUE(waitFor([&] { return portal.Count(term) == 1; }, 5s));
    EXPECT_EQ("2", portal.TagOf(term));
}

// Opcodes from several writers, direct task control from other threads, the timer firing and the
// work loop running, all at once; then an orderly end. TSan checks the lock order.
TEST_F(PortalPipeTest, StressOpcodesTimerAndWorkLoopTogether) {
    Send("ClientStart");
    ASSERT_TRUE(WaitMessages(1));
    const char* const opcodes[] = {"CheckEnv",         "GetTerminalData",  "PortalConnect",
                                   "TerminalTermSend", "PortalDisConnect", "NoSuchOpcode"};
    std::atomic<bool> writeFailed{false};
    std::vector<std::thread> threads;
    for (int w = 0; w < 3; ++w) {
        threads.emplace_back([&, w] {
            for (int i = 0; i < 150; ++i) {
                const CAutoString message = CBusiness::BuildEnvelope(
                    "client", "Portal", opcodes[(i + w) % 6], "<src>2</src><ticket>t</ticket>");
                if (!clientPipe.WritePipe(message.c_str()))
                    writeFailed = true;
            }
        });
    }
    threads.emplace_back([&] {
        for (int i = 0; i < 300; ++i) {
            portal.CheckNetStatus(0);
            CPortalServerTestAccess::Arm(portal, pluse, 0);
            portal.StopTask(i % 2 ? pluse : terminal);
            if (i % 50 == 0)
                portal.StopAllTask();
            std::this_thread::sleep_for(1ms);
        }
    });
    threads.emplace_back([&] {
        for (int i = 0; i < 300; ++i) {
            CAutoString tag("x");
            portal.DoTimeTask(i % 15, tag);
            std::this_thread::yield();
        }
    });
    for (std::thread& t : threads)
        t.join();
    EXPECT_FALSE(writeFailed.load());
    Barrier();
    EXPECT_GT(portal.Ran().size(), 0u);
    std::vector<std::string> defaults(75, "NoSuchOpcode");
    defaults.push_back("EndOfBatch");
    EXPECT_EQ(defaults, portal.Defaults());

    EndPipe();
    EXPECT_FALSE(CPortalServerTestAccess::WorkerRunning(portal));
    EXPECT_EQ(nullptr, portal.GetPortalConn());
}
