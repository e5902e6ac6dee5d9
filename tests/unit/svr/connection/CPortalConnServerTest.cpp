// The portal connection's server choice, answer classification and publishing, without a network.
#include "CPortalConn.h"

#include "CHttpData.h"
#include "CInfoCenter.h"
#include "HashBalance.h"
#include "RecordingPortalHost.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

namespace {

class PortalConnServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(orvane_test::writeFile(dir.file("conf.xml"), "<conf/>"));
        info = std::make_unique<CInfoCenter>(dir.file("conf.xml").c_str());
        conn = std::make_unique<CPortalConn>(&host, info.get());
        conn->InitPortalConf();
        cfg = conn->GetPortalConf();
        cfg->m_afType = 2;
        cfg->ip4 = "A";  // hash 65: entry 65 mod n
    }

    orvane_test::TempDir dir;
    orvane_test::RecordingPortalHost host;
    std::unique_ptr<CInfoCenter> info;
    std::unique_ptr<CPortalConn> conn;
    CAuthConfig* cfg = nullptr;
};

void Respond(CHttpData& data, int status, const char* head) {
    data.retCode = status;
    char* h = new char[std::strlen(head) + 1];
    std::strcpy(h, head);
    data.RespHead(h);
}

}  // namespace

// Each move consumes the chosen server, so the same client never tries one twice and a used-up
// list ends the moves.
TEST_F(PortalConnServerTest, NewServerExhaustsTheList) {
    conn->GetHashBalance4().SetIpList("10.0.0.7:80,10.0.0.8:80");
    CAutoString url("http://10.0.0.1:80/index.cgi?back=10.0.0.1:80&x=1");
    ASSERT_TRUE(conn->GetNewServerIP(url));
    // Every occurrence of the host moves, the one in the query too.
    EXPECT_EQ(url, "http://10.0.0.8:80/index.cgi?back=10.0.0.8:80&x=1");
    ASSERT_TRUE(conn->GetNewServerIP(url));
    EXPECT_EQ(url, "http://10.0.0.7:80/index.cgi?back=10.0.0.7:80&x=1");
    EXPECT_FALSE(conn->GetNewServerIP(url));
    EXPECT_EQ(url, "http://10.0.0.7:80/index.cgi?back=10.0.0.7:80&x=1");
    EXPECT_EQ(0u, conn->GetHashBalance4().Size());

    // A URL without a host moves nowhere and leaves the list alone.
    conn->GetHashBalance4().SetIpList("s1,s2");
    CAutoString relative("/index.cgi");
    EXPECT_FALSE(conn->GetNewServerIP(relative));
    EXPECT_EQ(2u, conn->GetHashBalance4().Size());
    // Without the client's own address there is no choice.
    cfg->ip4 = "";
    CAutoString url2("http://h/x");
    EXPECT_FALSE(conn->GetNewServerIP(url2));
}

TEST_F(PortalConnServerTest, IPv6UsesItsOwnListOnlyWithAnIPv6Address) {
    conn->GetHashBalance4().SetIpList("v4a,v4b");
    conn->GetHashBalance6().SetIpList("[fd00::2],[fd00::3]");
    cfg->m_afType = 10;
    cfg->ip6 = "";
    CAutoString url("http://old/x");
    ASSERT_TRUE(conn->GetNewServerIP(url));
    EXPECT_EQ(url, "http://v4b/x");
    EXPECT_EQ(2u, conn->GetHashBalance6().Size());

    cfg->ip6 = "fd00::99";
    const CAutoString expected = conn->GetHashBalance6().getServer("fd00::99");
    CAutoString url6("http://[fd00::1]/x");
    ASSERT_TRUE(conn->GetNewServerIP(url6));
    EXPECT_EQ(url6, (CAutoString("http://") + expected + "/x"));
    EXPECT_EQ(1u, conn->GetHashBalance6().Size());
    EXPECT_EQ(1u, conn->GetHashBalance4().Size());
}

TEST_F(PortalConnServerTest, RefillLoadsOnlyEmptyLists) {
    cfg->m_strServersIPv4 = "a1,b1";
    cfg->m_strServersIPv6 = "c1,d1,e1";
    conn->GetHashBalance4().SetIpList("kept1,kept2,kept3");
    conn->RefillServerLists();
    EXPECT_EQ(3u, conn->GetHashBalance4().Size());
    EXPECT_EQ(3u, conn->GetHashBalance6().Size());
    conn->GetHashBalance4().serverMap.clear();
    conn->RefillServerLists();
    EXPECT_EQ(2u, conn->GetHashBalance4().Size());
}

TEST_F(PortalConnServerTest, UserAgentFollowsTheAddressFamily) {
    cfg->version = "2.0.1";
    cfg->m_afType = 10;
    conn->SetServerIp();
    EXPECT_EQ(cfg->strUserAgent, "ZKRW/LinuxIpv664/2.0.1");
    cfg->m_afType = -1;
    conn->SetServerIp();
    EXPECT_EQ(cfg->strUserAgent, "ZKRW/LinuxIpv664/2.0.1");
    cfg->m_afType = 2;
    conn->SetServerIp();
    EXPECT_EQ(cfg->strUserAgent, "ZKRW/Linux64/2.0.1");
}

// Only a 200 carrying both the verdict and the server's tag comes from a portal server.
TEST_F(PortalConnServerTest, GenuineAnswerNeedsBothHeaders) {
    struct Case {
        int status;
        const char* head;
        bool intercepted;
    } cases[] = {
        {200, "HTTP/1.1 200 OK\r\nError-Code: 0\r\n", true},
        {200, "HTTP/1.1 200 OK\r\nServer-Tag: s1\r\n", true},
        {200, "HTTP/1.1 200 OK\r\nError-Code: 0\r\nServer-Tag: s1\r\n", false},
        {200, "HTTP/1.1 200 OK\r\nError-Code: \r\nServer-Tag: s1\r\n", true},
        {302, "HTTP/1.1 302 Found\r\nError-Code: 0\r\nServer-Tag: s1\r\n", true},
        {303, "HTTP/1.1 303 See Other\r\n", true},
        {301, "HTTP/1.1 301 Moved\r\n", false},
        {204, "HTTP/1.1 204 No Content\r\n", false},
    };
    for (const Case& c : cases) {
        CHttpData data(true);
        Respond(data, c.status, c.head);
        EXPECT_EQ(c.intercepted, CPortalConn::IsRequestRedirect(&data)) << c.status << c.head;
    }
}

TEST_F(PortalConnServerTest, ErrorCodeAndSubError) {
    CHttpData data(true);
    Respond(data, 200, "HTTP/1.1 200 OK\r\nError-Code: 105\r\nSub-Error: mobile user \r\n");
    CAutoString sub("stale");
    EXPECT_EQ(105, CPortalConn::GetErrorCode(data, sub));
    EXPECT_EQ(sub, "mobileuser");
    Respond(data, 200, "HTTP/1.1 200 OK\r\nServer-Tag: s\r\n");
    EXPECT_EQ(-1, CPortalConn::GetErrorCode(data, sub));
    EXPECT_EQ(sub, "");
    // Garbage and out-of-range numbers read like atoi, without overflow.
    Respond(data, 200, "Error-Code: 12abc\r\n");
    EXPECT_EQ(12, CPortalConn::GetErrorCode(data, sub));
    Respond(data, 200, "Error-Code: 99999999999999999999\r\n");
    EXPECT_EQ(INT32_MAX, CPortalConn::GetErrorCode(data, sub));
}

TEST_F(PortalConnServerTest, SendDataPublishesNonEmptyValuesOnly) {
    conn->SendData("domain", "");
    conn->SendData("domain", nullptr);
    EXPECT_TRUE(host.Msgs().empty());
    EXPECT_EQ(info->GetValue("domain"), "");

    conn->SendData("FUN_A", "&lt;a&gt;1&lt;/a&gt;");
    conn->SendData("schoolId", "S1</value><key>x");
    auto msgs = host.Msgs();
    ASSERT_EQ(2u, msgs.size());
    EXPECT_EQ("Portal", msgs[0].target);
    EXPECT_EQ("InfoCenter", msgs[0].opcode);
    EXPECT_EQ("<key>FUN_A</key><value>&lt;a&gt;1&lt;/a&gt;</value>", msgs[0].param);
    // A portal value cannot close the value element and add markup of its own.
    EXPECT_EQ("<key>schoolId</key><value>S1&lt;/value&gt;&lt;key&gt;x</value>", msgs[1].param);
    EXPECT_EQ(info->GetValue("schoolId"), "S1</value><key>x");
}

// Without a record (start-up not run) the conversations refuse instead of crashing.
TEST(PortalConnNoRecord, ConversationsRefuse) {
    CPortalConn conn;
    CAutoString url("http://h/index.cgi");
    EXPECT_FALSE(conn.GetNewServerIP(url));
    EXPECT_EQ(-1, conn.CheckNetEnv());
    EXPECT_EQ(-1, conn.RequestConfig(0));
    conn.SetServerIp();
    conn.RefillServerLists();
    unsigned long code = 0;
    CAutoString sub;
    EXPECT_EQ(-1, conn.RequestPortalServer(OrvaneSvr::reqTicket, nullptr, code, sub, 2));
}
