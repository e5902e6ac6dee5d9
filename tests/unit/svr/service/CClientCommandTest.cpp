// The console business: what it sends the Portal business for each message the service posts,
// what it prints, how it ends, and the answer "y" on its input.
#include "CClientCommand.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <mutex>
#include <ostream>
#include <string>
#include <vector>

#include "CErrorCodeTable.h"
#include "CNetStatePoster.h"
#include "CServer.h"
#include "CXMLOpt.h"
#include "IPortalControl.h"
#include "TestSupport.h"

using orvane_test::waitFor;
using namespace std::chrono_literals;

namespace {

// Records the commands as short texts; optionally posts through a router as the real business
// answers "ClientStart".
class RecordingPortal : public IPortalControl {
public:
    void ClientStart() override {
        Add("start");
        if (router != nullptr)
            router->PostMessage(
                "<M><OpS>NetModule</OpS><OpT>Portal</OpT><OpC>ClientStartComplete</OpC><P></P></"
                "M>");
    }
    void SetAutoLogin(const CAutoString& login) override {
        CXMLOpt m(login.c_str());
        Add("autologin " + m.GetValue("P.user").ToStdString() + "/" +
            m.GetValue("P.password").ToStdString());
    }
    void PortalConnect(CXMLOpt& m) override {
        Add("connect " + m.GetValue("P.user").ToStdString() + "/" +
            m.GetValue("P.password").ToStdString());
    }
    void PortalDisConnect(CXMLOpt& m) override {
        Add("disconnect " + m.GetValue("P.src").ToStdString());
    }
    void CheckNetStatus(int delay) override { Add("check " + std::to_string(delay)); }
    CAutoString LastLogoutReason() override {
        std::lock_guard<std::mutex> guard(lock);
        return CAutoString(logoutReason.c_str());
    }
    void SetLogoutReason(const std::string& reason) {
        std::lock_guard<std::mutex> guard(lock);
        logoutReason = reason;
    }

    std::vector<std::string> Calls() {
        std::lock_guard<std::mutex> guard(lock);
        return calls;
    }
    CServer* router = nullptr;

private:
    void Add(const std::string& call) {
        std::lock_guard<std::mutex> guard(lock);
        calls.push_back(call);
    }
    std::mutex lock;
    std::vector<std::string> calls;
    std::string logoutReason;
};

std::string Envelope(const CAutoString& param) {
    return CBusiness::BuildEnvelope("NetModule", "Portal", CNetStatePoster::kOpcode, param.c_str())
        .ToStdString();
}
std::string State(INetConn::ESTATE state, int error = 0, const char* sub = "",
                  INetConn::ETYPE type = INetConn::ET_PORTAL) {
    return Envelope(CNetStatePoster::FormatPlain(type, INetConn::ES_NONE, state, error, sub));
}
// The extended form: the extra text for the code's "%s".
std::string StateEx(INetConn::ESTATE state, int error, const char* extra) {
    return Envelope(CNetStatePoster::FormatEx(INetConn::ET_PORTAL, INetConn::ES_NONE, state, error,
                                              "ConnError", extra));
}

// A few texts as conf/code.xml holds them.
const char kTexts[] =
    "<code><err id=\"14\" value=\"门户已结束登录\"/>"
    "<err id=\"140011\" value=\"账号或密码错误\"/>"
    "<err id=\"150108\" value=\"与门户的连接已断开，请重新登录\"/>"
    "<err id=\"150120\" value=\"网络连接已断开，正在等待网络恢复\"/>"
    "<err id=\"150121\" value=\"连接已断开，正在自动重新登录\"/>"
    "<err id=\"150122\" value=\"自动重新登录已停止，请重新登录\"/>"
    "<err id=\"150200\" value=\"该账号已在别处登录：%s\"/>"
    "<err id=\"20010204\" value=\"未找到可用的网卡\"/></code>";

class ClientCommandTest : public ::testing::Test {
protected:
    ClientCommandTest()
        : out(std::tmpfile()),
          console(
              &portal, out,
              [this](int status) {
                  std::lock_guard<std::mutex> guard(lock);
                  ends.push_back(status);
              },
              &texts) {
        console.SetAnswerInput(-1);  // the test's own standard input is not an answer
        orvane_test::writeFile(dir.file("code.xml"), kTexts);
        texts.LoadFile(dir.file("code.xml").c_str());
    }
    ~ClientCommandTest() override {
        console.Stop();
        std::fclose(out);
        for (int fd : input)
            if (fd >= 0)
                close(fd);
    }

    void Post(const std::string& message) { console.AddMessage(CAutoString(message)); }
    // Everything queued so far has been handled: a marker message went through.
    // Messages are handled in order, so once the check this posts shows up, so has every earlier
    // one.
    void Drain() {
        const size_t before = Checks();
        Post("<M><OpS>NetModule</OpS><OpT>Portal</OpT><OpC>ClientStartComplete</OpC><P/></M>");
        ASSERT_TRUE(waitFor([&] { return Checks() > before; }, 5s));
    }
    size_t Checks() {
        const std::vector<std::string> calls = portal.Calls();
        return static_cast<size_t>(std::count(calls.begin(), calls.end(), "check 0"));
    }
    std::string Printed() {
        std::fflush(out);
        std::rewind(out);
        std::string text;
        for (int c; (c = std::fgetc(out)) != EOF;)
            text += static_cast<char>(c);
        return text;
    }
    std::vector<int> Ends() {
        std::lock_guard<std::mutex> guard(lock);
        return ends;
    }
    // Connected, with answers read from a pipe that the test writes.
    void Connect() {
        ASSERT_EQ(0, pipe(input));
        console.SetAnswerInput(input[0]);
        console.Start();
        Post(State(INetConn::ES_CONNECTED));
    }

    RecordingPortal portal;
    FILE* out;
    std::mutex lock;
    std::vector<int> ends;
    int input[2] = {-1, -1};
    orvane_test::TempDir dir;
    CErrorCodeTable texts;
    CClientCommand console;
};

TEST_F(ClientCommandTest, LogsInOnceWhenTheNetworkIsReady) {
    console.SetUserInfo("u1", "p<&w");
    console.Start();
    // A login left open by an earlier run is closed first; that is not this run's end.
    Post(State(INetConn::ES_DISCONNECTED));
    Post(State(INetConn::ES_PRECONNECTING));
    Post(State(INetConn::ES_CONNECTING));
    Post(State(INetConn::ES_PRECONNECTED));
    Post(State(INetConn::ES_PRECONNECTED));  // a client that starts again sees it anew
    Drain();
    // The password's markup characters arrive as they were typed.
    // The business has the log-in before it starts, for its own attempts.
    const std::vector<std::string> expected = {"autologin u1/p<&w", "start", "connect u1/p<&w",
                                               "check 0"};
    EXPECT_EQ(expected, portal.Calls());
    EXPECT_EQ("", Printed());
    EXPECT_TRUE(Ends().empty());
}

TEST_F(ClientCommandTest, AnswerYWithoutALoginEndsAtOnce) {
    ASSERT_EQ(0, pipe(input));
    console.SetAnswerInput(input[0]);
    console.Start();
    Post(State(INetConn::ES_CONNECTED, 0, "", INetConn::ET_UNKNOWN));
    ASSERT_EQ(2, write(input[1], "y\n", 2));
    ASSERT_TRUE(waitFor([&] { return !Ends().empty(); }, 5s));
    EXPECT_EQ(std::vector<int>{CClientCommand::kExitLoggedOut}, Ends());
    const std::vector<std::string> expected = {"autologin /", "start"};
    EXPECT_EQ(expected, portal.Calls());  // no log-out sent for a login nobody holds
}

TEST_F(ClientCommandTest, AnswerYLogsOutAndTheDisconnectedStateEndsSilently) {
    Connect();
    Post(State(INetConn::ES_CONNECTED));  // the prompt is shown once
    ASSERT_TRUE(waitFor([&] { return !Printed().empty(); }, 5s));
    const std::string answers = "n\nyes\n  y \r\n";
    ASSERT_EQ(static_cast<ssize_t>(answers.size()),
              write(input[1], answers.data(), answers.size()));
    ASSERT_TRUE(waitFor([&] { return portal.Calls().size() == 3; }, 5s));
    EXPECT_EQ("disconnect 2", portal.Calls().back());

    Post(State(INetConn::ES_DISCONNECTED));
    ASSERT_TRUE(waitFor([&] { return !Ends().empty(); }, 5s));
    EXPECT_EQ(std::vector<int>{0}, Ends());
    EXPECT_EQ(std::string(CClientCommand::kPrompt) + "\n", Printed());
}

TEST_F(ClientCommandTest, EndOfInputDoesNotLogOut) {
    Connect();
    ASSERT_TRUE(waitFor([&] { return !Printed().empty(); }, 5s));
    ASSERT_EQ(1, write(input[1], "n", 1));
    close(input[1]);
    input[1] = -1;
    std::this_thread::sleep_for(200ms);
    Drain();
    const std::vector<std::string> expected = {"autologin /", "start", "check 0"};
    EXPECT_EQ(expected, portal.Calls());
    EXPECT_TRUE(Ends().empty());
}

// ---- One run of the console: what the service posts, what is printed, how it ends ---------------

// The messages the service posts ("y": the user answers y here), the reason of the last logout
// the service made, what the console prints and the status it ends with (-1: it runs on).
struct ConsoleRun {
    const char* name;
    std::vector<std::string> messages;
    const char* logoutReason;
    std::string printed;
    int status;
};
// Test names and failure messages show the case's name, not its bytes.
void PrintTo(const ConsoleRun& c, std::ostream* os) {
    *os << c.name;
}

class ClientCommandRunTest : public ClientCommandTest,
                             public ::testing::WithParamInterface<ConsoleRun> {};

TEST_P(ClientCommandRunTest, OneLinePerEventAndAnEndOnlyWhenTheServiceGivesUp) {
    const ConsoleRun& run = GetParam();
    portal.SetLogoutReason(run.logoutReason);
    ASSERT_EQ(0, pipe(input));
    console.SetAnswerInput(input[0]);
    console.Start();
    for (const std::string& message : run.messages) {
        if (message != "y") {
            Post(message);
            continue;
        }
        Drain();  // the answer comes after everything posted before it
        ASSERT_EQ(2, write(input[1], "y\n", 2));
        ASSERT_TRUE(waitFor([&] { return portal.Calls().back() == "disconnect 2"; }, 5s));
    }
    Drain();
    EXPECT_EQ(run.printed, Printed());
    EXPECT_EQ(run.status < 0 ? std::vector<int>() : std::vector<int>{run.status}, Ends());
}

using ES = INetConn;
const std::string kPromptLine = std::string(CClientCommand::kPrompt) + "\n";
const std::string kStopped = "automatic re-login stopped: 自动重新登录已停止，请重新登录 (150122, ";
const std::string kAgain = ": 连接已断开，正在自动重新登录 (150121)\n";
const std::string kLinkLost = "link lost: 网络连接已断开，正在等待网络恢复 (150120)\n";
const std::string kKeepLost = "keep-alive lost: 与门户的连接已断开，请重新登录 (150108)\n";

INSTANTIATE_TEST_SUITE_P(
    Runs, ClientCommandRunTest,
    ::testing::Values(
        ConsoleRun{"RefusedPassword",
                   {State(ES::ES_PRECONNECTED), State(ES::ES_CONNECTING),
                    State(ES::ES_CONNECTFAIL, 140011), State(ES::ES_CONNECTFAIL, 150122, "140011")},
                   "",
                   "login fail: 账号或密码错误 (140011)\n" + kStopped + "140011)\n",
                   CClientCommand::kExitLoginFailed},
        ConsoleRun{
            "LoggedInElsewhereKeepsTheBlanksOfTheHint",
            {State(ES::ES_PRECONNECTED), State(ES::ES_CONNECTING),
             StateEx(ES::ES_CONNECTFAIL, 150200, "lab-7 10:02"),
             State(ES::ES_CONNECTFAIL, 150122, "150200")},
            "",
            "login fail: 该账号已在别处登录：lab-7 10:02 (150200)\n" + kStopped + "150200)\n",
            CClientCommand::kExitLoginFailed},
        ConsoleRun{
            "KeepAliveLostAndLoggedInAgain",
            {State(ES::ES_CONNECTED, 1), State(ES::ES_CONNECTFAIL, 150108),
             State(ES::ES_DISCONNECTED, 1), State(ES::ES_PRECONNECTING, 150121, "5"),
             State(ES::ES_PRECONNECTING, 30000101), State(ES::ES_PRECONNECTED),
             State(ES::ES_CONNECTING), State(ES::ES_CONNECTED, 1)},
            "3",
            kPromptLine + kKeepLost + "logging in again in 5 s" + kAgain + "logged in again\n",
            -1},
        ConsoleRun{"LinkLostAndBackStillLoggedIn",
                   {State(ES::ES_CONNECTED, 1), State(ES::ES_PRECONNECTING, 150120),
                    State(ES::ES_PRECONNECTING, 150120), State(ES::ES_CONNECTED, 1)},
                   "",
                   kPromptLine + kLinkLost + "link back, still logged in\n",
                   -1},
        ConsoleRun{"LinkBackWithoutTheLogin",
                   {State(ES::ES_CONNECTED, 1), State(ES::ES_PRECONNECTING, 150120),
                    State(ES::ES_PRECONNECTING, 150121, "0"), State(ES::ES_PRECONNECTED),
                    State(ES::ES_CONNECTING), State(ES::ES_CONNECTED, 1)},
                   "",
                   kPromptLine + kLinkLost + "logging in again now" + kAgain + "logged in again\n",
                   -1},
        ConsoleRun{
            "DetectionFailuresAreRetried",
            {State(ES::ES_PRECONNECTFAIL, 20010204), State(ES::ES_PRECONNECTING, 150121, "3"),
             State(ES::ES_PRECONNECTFAIL, 20010204), State(ES::ES_PRECONNECTING, 150121, "x")},
            "",
            "network check failed: 未找到可用的网卡 (20010204)\nlogging in again in 3 s" + kAgain +
                "network check failed: 未找到可用的网卡 (20010204)\n" + "logging in again" + kAgain,
            -1},
        ConsoleRun{"KeepAliveLostWithoutAutoLogin",
                   {State(ES::ES_CONNECTED, 1), State(ES::ES_CONNECTFAIL, 150108),
                    State(ES::ES_DISCONNECTED, 1), State(ES::ES_CONNECTFAIL, 150122, "150108")},
                   "3",
                   kPromptLine + kKeepLost + kStopped + "150108)\n",
                   CClientCommand::kExitKeepAliveLost},
        // A code without a text, and a sub-code from the portal with a control character.
        ConsoleRun{"PortalCodeOnTheKeepAliveWithoutAutoLogin",
                   {State(ES::ES_CONNECTED, 1), State(ES::ES_CONNECTFAIL, 140005, "x\ty"),
                    State(ES::ES_DISCONNECTED, 1), State(ES::ES_CONNECTFAIL, 150122, "140005")},
                   "3",
                   kPromptLine + "keep-alive lost (140005, x?y)\n" + kStopped + "140005)\n",
                   CClientCommand::kExitKeepAliveLost},
        ConsoleRun{
            "PortalEndedTheLoginWithoutAutoLogin",
            {State(ES::ES_CONNECTED, 1), State(ES::ES_DISCONNECTED, 14),
             State(ES::ES_CONNECTFAIL, 150122, "14")},
            "",
            kPromptLine + "login ended by the portal: 门户已结束登录 (14)\n" + kStopped + "14)\n",
            CClientCommand::kExitPortalEnded},
        ConsoleRun{
            "StateQueryFoundTheLoginGoneWithoutAutoLogin",
            {State(ES::ES_CONNECTED, 1), State(ES::ES_CONNECTFAIL, 20010004),
             State(ES::ES_CONNECTFAIL, 150122, "20010004")},
            "",
            kPromptLine + "login ended by the portal (20010004)\n" + kStopped + "20010004)\n",
            CClientCommand::kExitPortalEnded},
        ConsoleRun{"TicketRefusedWithoutAutoLogin",
                   {State(ES::ES_PRECONNECTING, 30000101), State(ES::ES_PRECONNECTFAIL, 140005),
                    State(ES::ES_CONNECTFAIL, 150122, "140005")},
                   "",
                   "network check failed (140005)\n" + kStopped + "140005)\n",
                   CClientCommand::kExitDetectionFailed},
        ConsoleRun{"SharingDetected",
                   {State(ES::ES_CONNECTED, 1), State(ES::ES_DISCONNECTED, 1)},
                   "6",
                   kPromptLine + "logged out: sharing of the connection was detected\n",
                   CClientCommand::kExitSharingDetected},
        ConsoleRun{"LoggedOutByTheWindow",
                   {State(ES::ES_CONNECTED, 1), State(ES::ES_DISCONNECTED, 1)},
                   "2",
                   kPromptLine,
                   CClientCommand::kExitLoggedOut},
        // The shut-down's own logout: the program ends by itself with status 0.
        ConsoleRun{"StopSignalLogoutLeavesTheEndToTheProgram",
                   {State(ES::ES_CONNECTED, 1), State(ES::ES_DISCONNECTED, 1)},
                   "7",
                   kPromptLine,
                   -1},
        ConsoleRun{"OpenNetworkIsReportedOnceAndWaitedOut",
                   {State(ES::ES_CONNECTED, 0, "", ES::ET_UNKNOWN),
                    State(ES::ES_CONNECTED, 0, "", ES::ET_UNKNOWN), State(ES::ES_PRECONNECTED),
                    State(ES::ES_CONNECTING), State(ES::ES_CONNECTED, 1)},
                   "",
                   std::string(CClientCommand::kOpenNetwork) + "\n" + kPromptLine,
                   -1},
        ConsoleRun{"EarlierRunsLoginIsClosedFirst",
                   {State(ES::ES_DISCONNECTED, 1), State(ES::ES_PRECONNECTING, 30000106),
                    State(ES::ES_PRECONNECTED)},
                   "5",
                   "",
                   -1},
        ConsoleRun{"RequestedLogout",
                   {State(ES::ES_CONNECTED, 1), "y", State(ES::ES_DISCONNECTED, 1)},
                   "2",
                   kPromptLine,
                   CClientCommand::kExitLoggedOut},
        ConsoleRun{"RefusedLogout",
                   {State(ES::ES_CONNECTED, 1), "y", State(ES::ES_CONNECTFAIL, 140005)},
                   "2",
                   kPromptLine + "logout fail (140005)\n",
                   CClientCommand::kExitLogoutFailed},
        ConsoleRun{"InterceptedLogout",
                   {State(ES::ES_CONNECTED, 1), "y", State(ES::ES_DISCONNECTFAIL, 150010)},
                   "2",
                   kPromptLine + "logout fail (150010)\n",
                   CClientCommand::kExitLogoutFailed}),
    [](const ::testing::TestParamInfo<ConsoleRun>& info) { return info.param.name; });

// The router copies what the service posts only once the console has been started, and the copy
// is queued even though no client reads the pipe.
TEST_F(ClientCommandTest, RouterCopiesPostedMessagesOnceStarted) {
    CServer router;
    router.SetConsole(&console);
    portal.router = &router;
    router.PostMessage(State(INetConn::ES_PRECONNECTED).c_str());
    EXPECT_EQ(0u, console.PendingMessages());
    console.Start();  // the recording business answers with "ClientStartComplete" at once
    ASSERT_TRUE(waitFor([&] { return portal.Calls().size() == 3; }, 5s));
    EXPECT_EQ("check 0", portal.Calls().back());
    console.Stop();
    router.SetConsole(nullptr);
}

}  // namespace
