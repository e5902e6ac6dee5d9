// Router dispatch, business opcode tables and envelopes.
#include "CServer.h"

#include "CBusiness.h"
#include "CLog.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using orvane_test::readFile;
using orvane_test::TempDir;

namespace {

// Records every call in a log shared by all recorders, so the order across businesses shows.
class RecordingBusiness : public CBusiness {
public:
    RecordingBusiness(std::string name, std::vector<std::string>* calls)
        : m_name(std::move(name)), m_calls(calls) {}

    void InitOpcodeFun() override { AddOpcode("Known", &RecordingBusiness::OnKnown); }
    void ServerStatus(int status) override {
        m_calls->push_back(m_name + ":status " + std::to_string(status));
    }
    void DefaultDeal(CXMLOpt& message) override {
        m_calls->push_back(m_name + ":default " + message.GetValue("OpC").ToStdString());
    }
    void OnKnown(const char* source, CXMLOpt& message) {
        m_calls->push_back(m_name + ":known from " + source + " " +
                           message.GetValue("P.x").ToStdString());
    }

private:
    std::string m_name;
    std::vector<std::string>* m_calls;
};

class ServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(0, CLog::GetInst()->Create(dir.path().c_str(), "Info.log", ""));
        CLog::GetInst()->SetLevel(CLog::DEBUG);
    }
    void TearDown() override { CLog::GetInst()->Close(); }

    std::string LogText() { return readFile(dir.file("Info.log")); }
    void Attach(RecordingBusiness& business, const char* name) {
        business.InitService(&server);
        server.RegisterBusiness(name, &business);
    }

    TempDir dir;
    CServer server;
    std::vector<std::string> calls;
};

std::string Envelope(const char* target, const char* opcode, const char* params = "") {
    return CBusiness::BuildEnvelope("client", target, opcode, params).ToStdString();
}

TEST_F(ServerTest, DeliversByExactTargetAndOpcode) {
    RecordingBusiness portal("Portal", &calls);
    Attach(portal, "Portal");
    server.DoWorkOnPipe(CAutoString(Envelope("Portal", "Known", "<x>1</x>").c_str()));
    server.DoWorkOnPipe(CAutoString(Envelope("Portal", "known").c_str()));  // opcodes are exact too
    server.DoWorkOnPipe(CAutoString(Envelope("portal", "Known").c_str()));
    server.DoWorkOnPipe(CAutoString(Envelope("Other", "Known").c_str()));
    server.DoWorkOnPipe(CAutoString(Envelope("", "Known").c_str()));
    // The root's name plays no part: the paths start below it.
    server.DoWorkOnPipe(CAutoString(
        "<Msg><OpS>client</OpS><OpT>Portal</OpT><OpC>Known</OpC><P><x>2</x></P></Msg>"));
    const std::vector<std::string> expected = {"Portal:known from client 1", "Portal:default known",
                                               "Portal:known from client 2"};
    EXPECT_EQ(expected, calls);
}

TEST_F(ServerTest, MalformedAndEmptyMessagesAreDroppedWithoutALogLine) {
    RecordingBusiness portal("Portal", &calls);
    Attach(portal, "Portal");
    server.DoWorkOnPipe(CAutoString("<M><OpT>Portal</OpT><OpC>Known</OpC>"));
    server.DoWorkOnPipe(CAutoString(""));
    server.DoWorkOnPipe(CAutoString());
    server.DoWorkOnPipe(CAutoString("Portal Known"));
    EXPECT_TRUE(calls.empty());
    EXPECT_EQ("", LogText());
}

TEST_F(ServerTest, LogsEveryRoutedMessageLiterallyExceptSecrets) {
    RecordingBusiness portal("Portal", &calls);
    Attach(portal, "Portal");
    const std::string check = Envelope("Portal", "CheckEnv", "<x>%s%n%d</x>");
    const std::string login = Envelope(
        "Portal", "PortalConnect",
        (CBusiness::MakeParam("user", "u1") + CBusiness::MakeParam("password", "s3cret")).c_str());
    const std::string unrouted = Envelope("Nobody", "CheckEnv");
    const std::string term =
        Envelope("Portal", "TerminalTermSend", "<ticket>TK-0123456789-secret</ticket>");
    server.DoWorkOnPipe(CAutoString(check.c_str()));
    server.DoWorkOnPipe(CAutoString(login.c_str()));
    server.DoWorkOnPipe(CAutoString(unrouted.c_str()));
    server.DoWorkOnPipe(CAutoString(term.c_str()));
    const std::string log = LogText();
    EXPECT_NE(std::string::npos, log.find(check + "\n"));
    EXPECT_NE(std::string::npos, log.find(unrouted + "\n"));
    EXPECT_EQ(std::string::npos, log.find("s3cret"));
    EXPECT_EQ(std::string::npos, log.find("PortalConnect"));
    // Another terminal's ticket is logged only in part.
    EXPECT_NE(std::string::npos, log.find("TerminalTermSend for ticket TK-0...(20 chars)\n"));
    EXPECT_EQ(std::string::npos, log.find("0123456789"));
    EXPECT_EQ(3u, calls.size());  // the log-in is still delivered
}

// A later registration under a name replaces the earlier business; every business is told the
// status, in byte order of the names.
TEST_F(ServerTest, RegistrationReplacesAndStatusGoesToAllInNameOrder) {
    RecordingBusiness replaced("replaced", &calls), c("c", &calls), a("a", &calls), b("B", &calls);
    Attach(replaced, "c");
    Attach(c, "c");
    Attach(a, "a");
    Attach(b, "B");
    server.DoWorkOnPipe(CAutoString(Envelope("c", "Known", "<x>3</x>").c_str()));
    server.ServerStatus(-1);
    const std::vector<std::string> expected = {"c:known from client 3", "B:status -1",
                                               "a:status -1", "c:status -1"};
    EXPECT_EQ(expected, calls);
    EXPECT_NE(std::string::npos, LogText().find("client disconnect -1\n"));
}

TEST_F(ServerTest, PostsAreDroppedWithoutAPipeOrWithMissingParts) {
    RecordingBusiness portal("Portal", &calls);
    EXPECT_FALSE(portal.PostMsg("NetModule", "Portal", "ClientStartComplete", ""));  // no router
    Attach(portal, "Portal");
    EXPECT_FALSE(portal.PostMsg("NetModule", nullptr, "ClientStartComplete", ""));
    EXPECT_FALSE(portal.PostMsg("NetModule", "Portal", "ClientStartComplete", ""));  // pipe closed
    EXPECT_FALSE(server.PostMessage(nullptr));
    EXPECT_NE(nullptr, server.GetInfoCenter());
}

// Markup characters in a value survive the trip: the sender escapes, the reader decodes.
TEST(Envelope, ValuesWithMarkupCharactersArriveUnchanged) {
    const char* password = "p<a&s>s</password>";
    const CAutoString params =
        CBusiness::MakeParam("user", "me&you") + CBusiness::MakeParam("password", password);
    const CAutoString text = CBusiness::BuildEnvelope("cli<ent", "Portal", "PortalConnect", params);
    CXMLOpt doc;
    ASSERT_TRUE(doc.SetDoc(text));
    EXPECT_EQ("cli<ent", doc.GetValue("OpS").ToStdString());
    EXPECT_EQ("PortalConnect", doc.GetValue("OpC").ToStdString());
    EXPECT_EQ("me&you", doc.GetValue("P.user").ToStdString());
    EXPECT_EQ(password, doc.GetValue("P.password").ToStdString());
    EXPECT_EQ("<x></x>", CBusiness::MakeParam("x", nullptr).ToStdString());
}

}  // namespace
