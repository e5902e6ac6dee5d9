// The console business: what it sends the Portal business for each message the service posts,
// what it prints, how it ends, and the answer "y" on its input.
#include "CClientCommand.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

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

std::string State(INetConn::ESTATE state, int error = 0, const char* sub = "",
                  INetConn::ETYPE type = INetConn::ET_PORTAL) {
    const CAutoString p = CNetStatePoster::FormatPlain(type, INetConn::ES_NONE, state, error, sub);
    return CBusiness::BuildEnvelope("NetModule", "Portal", CNetStatePoster::kOpcode, p.c_str())
        .ToStdString();
}

class ClientCommandTest : public ::testing::Test {
protected:
    ClientCommandTest()
        : out(std::tmpfile()), console(&portal, out, [this](int status) {
              std::lock_guard<std::mutex> guard(lock);
              ends.push_back(status);
          }) {
        console.SetAnswerInput(-1);  // the test's own standard input is not an answer
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
    const std::vector<std::string> expected = {"start", "connect u1/p<&w", "check 0"};
    EXPECT_EQ(expected, portal.Calls());
    EXPECT_EQ("", Printed());
    EXPECT_TRUE(Ends().empty());
}

TEST_F(ClientCommandTest, FailuresPrintTheirLineAndEndWithTheirStatus) {
    console.Start();
    Post(State(INetConn::ES_PRECONNECTFAIL, 5, "sub&7"));
    Post(State(INetConn::ES_CONNECTFAIL, 140003, "bad password"));
    Drain();
    EXPECT_EQ(
        "Init environment fail,Please restart the program,the error is 5, subcode is sub&7\n"
        "login fail, the error is 140003, subcode is bad password\n",
        Printed());
    const std::vector<int> expected = {CClientCommand::kExitDetectionFailed,
                                       CClientCommand::kExitLoginFailed};
    EXPECT_EQ(expected, Ends());
}

// A log-in that the portal refuses without a report goes back to a ticket; the console must not
// wait for an outcome that never comes.
TEST_F(ClientCommandTest, LoginThatGoesBackToATicketIsAFailedLogin) {
    console.Start();
    Post(State(INetConn::ES_CONNECTING));  // not this run's log-in yet: nothing
    Post(State(INetConn::ES_PRECONNECTED));
    Post(State(INetConn::ES_CONNECTING));
    Post(State(INetConn::ES_PRECONNECTING, 30000103));
    Post(State(INetConn::ES_PRECONNECTED));
    Drain();
    EXPECT_EQ("login fail, the portal refused the log-in without an error code\n", Printed());
    EXPECT_EQ(std::vector<int>{CClientCommand::kExitLoginFailed}, Ends());
    const std::vector<std::string> calls = portal.Calls();
    EXPECT_EQ(1, std::count(calls.begin(), calls.end(), "connect /"));
}

// An open network is not a login: one line, no prompt, and a portal found later is logged in to.
TEST_F(ClientCommandTest, OpenNetworkIsReportedAndWaitedOut) {
    console.Start();
    for (int i = 0; i < 2; ++i)
        Post(State(INetConn::ES_CONNECTED, 0, "", INetConn::ET_UNKNOWN));
    Drain();
    EXPECT_EQ(std::string(CClientCommand::kOpenNetwork) + "\n", Printed());
    Post(State(INetConn::ES_PRECONNECTED));
    Post(State(INetConn::ES_CONNECTING));
    Post(State(INetConn::ES_CONNECTED, 1));
    Drain();
    EXPECT_EQ(std::string(CClientCommand::kOpenNetwork) + "\n" + CClientCommand::kPrompt + "\n",
              Printed());
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
    const std::vector<std::string> expected = {"start"};
    EXPECT_EQ(expected, portal.Calls());  // no log-out sent for a login nobody holds
}

// Every end the user did not ask for has a status of its own and a line naming the reason.
TEST(ClientCommandEndTest, ForcedEndsAfterTheLogin) {
    struct Case {
        std::vector<std::string> messages;
        std::string reason;
        std::string line;
        int status;
    };
    const Case cases[] = {
        {{State(INetConn::ES_CONNECTFAIL, 150108)},
         "",
         "keep-alive lost, the error is 150108",
         CClientCommand::kExitKeepAliveLost},
        {{State(INetConn::ES_CONNECTFAIL, 20010004)},
         "",
         "login ended by the portal",
         CClientCommand::kExitPortalEnded},
        {{State(INetConn::ES_DISCONNECTED, 14)},
         "",
         "login ended by the portal, the error is 14",
         CClientCommand::kExitPortalEnded},
        {{State(INetConn::ES_DISCONNECTED, 1)},
         "6",
         "sharing of the connection was detected",
         CClientCommand::kExitSharingDetected},
        {{State(INetConn::ES_DISCONNECTED, 1)},
         "3",
         "keep-alive lost",
         CClientCommand::kExitKeepAliveLost},
    };
    for (const Case& c : cases) {
        RecordingPortal portal;
        portal.SetLogoutReason(c.reason);
        FILE* out = std::tmpfile();
        std::mutex lock;
        std::vector<int> ends;
        {
            CClientCommand console(&portal, out, [&](int status) {
                std::lock_guard<std::mutex> guard(lock);
                ends.push_back(status);
            });
            console.SetAnswerInput(-1);
            console.Start();
            console.AddMessage(CAutoString(State(INetConn::ES_CONNECTED, 1)));
            for (const std::string& m : c.messages)
                console.AddMessage(CAutoString(m));
            EXPECT_TRUE(waitFor(
                [&] {
                    std::lock_guard<std::mutex> guard(lock);
                    return !ends.empty();
                },
                5s))
                << c.line;
            console.Stop();
        }
        std::rewind(out);
        std::string text;
        for (int ch; (ch = std::fgetc(out)) != EOF;)
            text += static_cast<char>(ch);
        std::fclose(out);
        EXPECT_NE(std::string::npos, text.find(c.line)) << text;
        EXPECT_EQ(std::vector<int>{c.status}, ends) << c.line;
        EXPECT_STRNE("unknown", CClientCommand::ExitStatusName(c.status));
    }
}

// The shut-down's own logout ends nothing here: the program ends by itself with status 0.
TEST_F(ClientCommandTest, StopSignalLogoutLeavesTheEndToTheProgram) {
    Connect();
    portal.SetLogoutReason("7");
    Post(State(INetConn::ES_DISCONNECTED, 1));
    Drain();
    EXPECT_TRUE(Ends().empty());
}

TEST_F(ClientCommandTest, AnswerYLogsOutAndTheDisconnectedStateEndsSilently) {
    Connect();
    Post(State(INetConn::ES_CONNECTED));  // the prompt is shown once
    ASSERT_TRUE(waitFor([&] { return !Printed().empty(); }, 5s));
    const std::string answers = "n\nyes\n  y \r\n";
    ASSERT_EQ(static_cast<ssize_t>(answers.size()),
              write(input[1], answers.data(), answers.size()));
    ASSERT_TRUE(waitFor([&] { return portal.Calls().size() == 2; }, 5s));
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
    const std::vector<std::string> expected = {"start", "check 0"};
    EXPECT_EQ(expected, portal.Calls());
    EXPECT_TRUE(Ends().empty());
}

// The router copies what the service posts only once the console has been started, and the copy
// is queued even though no client reads the pipe.
TEST_F(ClientCommandTest, RouterCopiesPostedMessagesOnceStarted) {
    CServer router;
    router.SetConsole(&console);
    portal.router = &router;
    router.PostMessage(State(INetConn::ES_PRECONNECTED).c_str());
    EXPECT_EQ(0u, console.PendingMessages());
    console.Start();  // the recording business answers with "ClientStartComplete" at once
    ASSERT_TRUE(waitFor([&] { return portal.Calls().size() == 2; }, 5s));
    EXPECT_EQ("check 0", portal.Calls().back());
    console.Stop();
    router.SetConsole(nullptr);
}

}  // namespace
