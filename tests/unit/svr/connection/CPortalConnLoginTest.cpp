// The login's local rules: the account rewrite, storing a login answer, and applying and
// restoring the announced name servers. The conversations themselves run against portal-sim in
// the end-to-end session tests.
#include "CPortalConn.h"

#include "CHttpData.h"
#include "CInfoCenter.h"
#include "RecordingPortalHost.h"
#include "TestSupport.h"

#include <gtest/gtest.h>
#include <httplib.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>

// Reaches the connection's request sender.
class CPortalConnTestAccess {
public:
    static int Send(CPortalConn& conn, const std::string& url, const CAutoString& body,
                    unsigned long& code) {
        CHttpData data(true);
        CAutoString sub;
        return conn.m_selector.SendPortalRequest(OrvaneSvr::auth, CAutoString(url.c_str()), body,
                                                 5000, data, code, sub);
    }
};

namespace {

class PortalConnLoginTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(orvane_test::writeFile(m_dir.file("conf.xml"), "<conf></conf>"));
        m_info = std::make_unique<CInfoCenter>(m_dir.file("conf.xml").c_str());
        m_conn = std::make_unique<CPortalConn>(&m_host, m_info.get());
        m_conn->InitPortalConf();
    }
    std::string Rewrite(const char* type, const char* value, const char* domain,
                        const char* account) {
        CAuthConfig& cfg = *m_conn->GetPortalConf();
        cfg.m_strAcountType = type;
        cfg.m_strAcountValue = value;
        cfg.domain = domain;
        cfg.userName = account;
        m_conn->AccountTran();
        return cfg.userName.ToStdString();
    }

    orvane_test::TempDir m_dir;
    orvane_test::RecordingPortalHost m_host;
    std::unique_ptr<CInfoCenter> m_info;
    std::unique_ptr<CPortalConn> m_conn;
};

TEST_F(PortalConnLoginTest, AccountRules) {
    EXPECT_EQ("user@d", Rewrite("add-domain", "", "d", "user"));
    EXPECT_EQ("user@v", Rewrite("add-domain", "v", "d", "user@x"));
    EXPECT_EQ("user@v", Rewrite("add-domain", "v", "d", "user@x@y"));  // from the first "@"
    EXPECT_EQ("user", Rewrite("del-domain", "", "d", "user@x@y"));
    EXPECT_EQ("user", Rewrite("del-domain", "", "d", "user"));
    EXPECT_EQ("user@x", Rewrite("keep", "v", "d", "user@x"));
    EXPECT_EQ("user@v", Rewrite("add-domain", "v", "", " us er \r\n"));  // blanks go first
    EXPECT_EQ("@v", Rewrite("add-domain", "v", "", ""));
}

TEST_F(PortalConnLoginTest, StoringALoginAnswer) {
    const char userConfig[] =
        "<user-config>\r\n<against-interval>45</against-interval>\r\n"
        "<logout-delay>90</logout-delay></user-config>";
    m_conn->SaveAuthResponse("a<b", 4, "http://p/keep", "http://p/term", userConfig,
                             "<domain-config><dns1>10.1.1.1</dns1></domain-config>");
    const CAuthConfig& cfg = *m_conn->GetPortalConf();
    EXPECT_EQ(4, cfg.iKeepRetry);
    EXPECT_EQ(45u, cfg.checkWifiInterval);
    EXPECT_EQ(90u, cfg.logoutDelay);
    EXPECT_EQ(cfg.m_strDNS, "<domain-config><dns1>10.1.1.1</dns1></domain-config>");
    EXPECT_EQ("http://p/keep", m_info->GetLocalValue("keepUrl").ToStdString());
    EXPECT_EQ("http://p/term", m_info->GetLocalValue("termUrl").ToStdString());
    EXPECT_EQ("4", m_info->GetLocalValue("keepRetry").ToStdString());
    EXPECT_EQ(
        "<user-config><against-interval>45</against-interval><logout-delay>90</logout-delay>"
        "</user-config>",
        m_info->GetValue("againstList").ToStdString());
    auto msgs = m_host.Msgs();
    ASSERT_EQ(1u, msgs.size());
    EXPECT_EQ("SetValue", msgs[0].opcode);
    // The account comes from the portal: escaped so it cannot break the client's message.
    EXPECT_EQ("<key>DialAccount</key><value>a&lt;b</value>", msgs[0].param);
}

TEST_F(PortalConnLoginTest, NameServerTextsThatApplyNothing) {
    for (const char* text : {"", "not xml <", "<other><dns1>1.1.1.1</dns1></other>",
                             "<domain-config></domain-config>"}) {
        CAutoString dns(text);
        EXPECT_EQ(-1, m_conn->SetDNS(dns)) << text;
    }
    EXPECT_TRUE(m_host.DnsCalls().empty());
}

// Only the servers named are taken; the logout leaves the putting back to the host, which kept
// the file as it was before the first application.
TEST_F(PortalConnLoginTest, NameServersAppliedThenHostRestores) {
    m_host.replacedDns1 = "8.8.8.8";
    m_host.replacedDns2 = "8.8.4.4";
    CAutoString both("<domain-config><dns1>10.1.1.1</dns1><dns2>10.1.1.2</dns2></domain-config>");
    ASSERT_EQ(0, m_conn->SetDNS(both));
    CAutoString first("<domain-config><dns1>10.2.2.2</dns1></domain-config>");
    m_host.replacedDns1 = "10.1.1.1";
    m_host.replacedDns2 = "10.1.1.2";
    ASSERT_EQ(0, m_conn->SetDNS(first));
    auto calls = m_host.DnsCalls();
    ASSERT_EQ(2u, calls.size());
    EXPECT_EQ("10.1.1.1", calls[0].first);
    EXPECT_EQ("10.1.1.2", calls[0].second);
    EXPECT_EQ("10.2.2.2", calls[1].first);
    EXPECT_EQ("8.8.4.4", calls[1].second);  // a missing dns2 leaves the field as it was

    m_conn->RestoreDNS();
    EXPECT_EQ(2u, m_host.DnsCalls().size());  // no re-application of the replaced addresses
    EXPECT_EQ(1, m_host.RestoreCount());
}

// A request whose document could not be built (empty body) never reaches the portal.
TEST_F(PortalConnLoginTest, ARefusedRequestDocumentIsNotSent) {
    httplib::Server server;
    std::atomic<int> posts{0};
    server.Post("/auth", [&](const httplib::Request&, httplib::Response& res) {
        ++posts;
        res.set_content("x", "text/plain");
    });
    const int port = server.bind_to_any_port("127.0.0.1");
    ASSERT_GT(port, 0);
    std::thread serving([&] { server.listen_after_bind(); });
    const std::string url = "http://127.0.0.1:" + std::to_string(port) + "/auth";
    unsigned long code = 99;
    const int refused = CPortalConnTestAccess::Send(*m_conn, url, CAutoString(""), code);
    const int postsAfterRefused = posts.load();
    unsigned long code2 = 0;
    CPortalConnTestAccess::Send(*m_conn, url, CAutoString("body"), code2);
    server.stop();
    serving.join();
    EXPECT_EQ(-1, refused);
    EXPECT_EQ(0u, code);
    EXPECT_EQ(0, postsAfterRefused);
    EXPECT_EQ(1, posts.load());  // the same sender does reach this server with a body
}

TEST_F(PortalConnLoginTest, RequestsWithoutTheirUrlOrTicketSendNothing) {
    EXPECT_EQ(-1, m_conn->KeepPluse());
    EXPECT_EQ(-1, m_conn->CheckConnectState(0));
    EXPECT_EQ(0, m_host.IpCalls());
    EXPECT_TRUE(m_host.States().empty());
}

}  // namespace
