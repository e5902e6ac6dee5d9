// The portal connection: start-up from the store, state changes, state messages and their replay.
#include "CPortalConn.h"

#include "CInfoCenter.h"
#include "CMarkup.h"
#include "CZsmHelper.h"
#include "PortalTestPages.h"
#include "RecordingPortalHost.h"
#include "TestSupport.h"

#include <gtest/gtest.h>
#include <httplib.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using ES = INetConn::ESTATE;

using Posted = orvane_test::PostedState;

// Adapts the shared recording host to the names these tests read.
class RecordingSink : public orvane_test::RecordingPortalHost {
public:
    std::vector<Posted> All() { return States(); }
    size_t Count() { return StateCount(); }
    Posted Last() { return LastState(); }
};

const char kStore[] = R"(<?xml version="1.0" encoding="UTF-8"?>
<conf>
<redirect>http://127.0.0.1:18080/forward.cgi</redirect>
<redirectipv6>http://[::1]:18080/</redirectipv6>
<termUrl>http://10.9.0.2/term</termUrl>
<keepUrl>http://10.9.0.2/keep</keepUrl>
<keepRetry>3</keepRetry>
<ticket>TICKET-1</ticket>
<stateUrl>http://10.9.0.2/state</stateUrl>
<defaultAuth>2</defaultAuth>
<schoolId>S01</schoolId>
<domain>campus</domain>
<area>north</area>
<wlanuserip>10.9.1.20</wlanuserip>
<wlanusermac>aa-bb-cc-dd-ee-ff</wlanusermac>
<wlanacip>10.9.0.1</wlanacip>
<plusInterval>20</plusInterval>
<plusFlag>1</plusFlag>
<disasterUrl>HTTP://Backup.Example/</disasterUrl>
<serverCluster>10.9.0.2,10.9.0.3</serverCluster>
<serverCluster6>[fd00::2],[fd00::3],[fd00::4]</serverCluster6>
<connState>0</connState>
</conf>
)";

class PortalConnTest : public ::testing::Test {
protected:
    void Store(const char* text) {
        ASSERT_TRUE(orvane_test::writeFile(dir.file("conf.xml"), text));
        info = std::make_unique<CInfoCenter>(dir.file("conf.xml").c_str());
        conn = std::make_unique<CPortalConn>(&sink, info.get());
    }
    void SetUp() override { Store("<conf><connState>0</connState></conf>"); }

    orvane_test::TempDir dir;
    RecordingSink sink;
    std::unique_ptr<CInfoCenter> info;
    std::unique_ptr<CPortalConn> conn;
};

}  // namespace

TEST_F(PortalConnTest, StartUpReadsTheStore) {
    Store(kStore);
    info->SetValue("hostName", "lab-pc");
    info->SetValue("clientId", "CID-9");
    info->SetValue("version", "1.2.3");
    ASSERT_EQ(0, conn->InitPortalConf());
    CAuthConfig* cfg = conn->GetPortalConf();
    ASSERT_NE(nullptr, cfg);
    EXPECT_EQ(cfg->hostName, "lab-pc");
    EXPECT_EQ(cfg->strClientId, "CID-9");
    EXPECT_EQ(cfg->version, "1.2.3");
    EXPECT_EQ(cfg->ostag, "linux64");
    EXPECT_EQ(cfg->strUserAgent, "ZKRW/Linux64/1.2.3");
    EXPECT_EQ(conn->GetRedirectUrl(), "http://127.0.0.1:18080/forward.cgi");
    EXPECT_EQ(conn->GetRedirectUrlIpv6(), "http://[::1]:18080/");
    EXPECT_EQ(cfg->strTermUrl, "http://10.9.0.2/term");
    EXPECT_EQ(cfg->strKeepUrl, "http://10.9.0.2/keep");
    EXPECT_EQ(3, cfg->iKeepRetry);
    EXPECT_EQ(cfg->strTicket, "TICKET-1");
    EXPECT_EQ(cfg->strStateUrl, "http://10.9.0.2/state");
    EXPECT_EQ(2, cfg->nDefaultAuth);
    EXPECT_EQ(cfg->schoolId, "S01");
    EXPECT_EQ(cfg->domain, "campus");
    EXPECT_EQ(cfg->area, "north");
    EXPECT_EQ(cfg->wlanuserip, "10.9.1.20");
    EXPECT_EQ(cfg->wlanusermac, "aa-bb-cc-dd-ee-ff");
    EXPECT_EQ(cfg->wlancip, "10.9.0.1");
    EXPECT_EQ(20, cfg->fileInterval);
    EXPECT_EQ(1, cfg->fileIntervalFlag);
    EXPECT_EQ(conn->GetDisasterUrl(), "http://backup.example/");
    EXPECT_EQ(cfg->m_strServersIPv4, "10.9.0.2,10.9.0.3");
    EXPECT_EQ(2u, conn->GetHashBalance4().Size());
    EXPECT_EQ(3u, conn->GetHashBalance6().Size());
    EXPECT_TRUE(sink.All().empty());
}

TEST_F(PortalConnTest, StartUpDefaultsForAnEmptyStore) {
    Store("<conf/>");
    conn->InitPortalConf();
    CAuthConfig* cfg = conn->GetPortalConf();
    EXPECT_EQ(1, cfg->nDefaultAuth);
    EXPECT_EQ(conn->GetRedirectUrl(), CPortalConn::kDefaultRedirectUrl);
    EXPECT_EQ(conn->GetRedirectUrlIpv6(), CPortalConn::kDefaultRedirectUrlIpv6);
    EXPECT_EQ(cfg->strUserAgent, "ZKRW/Linux64/");
    EXPECT_EQ(0u, conn->GetHashBalance4().Size());
    EXPECT_EQ(0u, conn->GetHashBalance6().Size());
    EXPECT_EQ(0, conn->GetConnCfg());
}

TEST_F(PortalConnTest, FreshObjectPostsNothing) {
    conn->PostLastNetStateMessage();
    EXPECT_TRUE(sink.All().empty());
    EXPECT_EQ(INetConn::ES_NONE, conn->GetNetState());
}

TEST_F(PortalConnTest, PreConnectingNeverDisplacesAReadyOrConnectedState) {
    for (ES held : {INetConn::ES_CONNECTED, INetConn::ES_PRECONNECTED}) {
        conn->NetStateChange(INetConn::ES_CONNECTING, held, 1, "");
        size_t before = sink.Count();
        auto start = std::chrono::steady_clock::now();
        conn->NetStateChange(INetConn::ES_PRECONNECTING, INetConn::ES_PRECONNECTING, 30000101, "");
        EXPECT_LT(std::chrono::steady_clock::now() - start, 400ms);
        EXPECT_EQ(held, conn->GetNetState());
        EXPECT_EQ(before, sink.Count());
    }
    // Other reports still replace a connected state.
    conn->NetStateChange(INetConn::ES_CONNECTED, INetConn::ES_DISCONNECTFAIL, 150010, "");
    EXPECT_EQ(INetConn::ES_DISCONNECTFAIL, conn->GetNetState());
}

TEST_F(PortalConnTest, PreConnectionReportsPostThenPause) {
    conn->NetStateChange(INetConn::ES_PRECONNECTING, INetConn::ES_PRECONNECTFAIL, 20010207, "");
    sink.All();
    auto start = std::chrono::steady_clock::now();
    conn->NetStateChange(INetConn::ES_PRECONNECTING, INetConn::ES_PRECONNECTING, 30000101, "");
    EXPECT_GE(std::chrono::steady_clock::now() - start, 500ms);
    ASSERT_EQ(2u, sink.Count());
    Posted p = sink.Last();
    EXPECT_FALSE(p.extended);
    EXPECT_EQ(51, p.type);
    EXPECT_EQ(33, p.oldState);
    EXPECT_EQ(33, p.newState);
    EXPECT_EQ(30000101, p.code);
    EXPECT_EQ(INetConn::ES_PRECONNECTING, conn->GetNetState());
}

TEST_F(PortalConnTest, PostingTable) {
    struct Row {
        ES state;
        bool posts;
    };
    const Row rows[] = {{INetConn::ES_CONNECTING, true},      {INetConn::ES_CONNECTFAIL, true},
                        {INetConn::ES_DISCONNECTED, true},    {INetConn::ES_PRECONNECTED, true},
                        {INetConn::ES_NONE, false},           {INetConn::ES_DISCONNECTING, false},
                        {INetConn::ES_DISCONNECTFAIL, false}, {INetConn::ES_CANCELED, false},
                        {INetConn::ES_PREDISCONNECTED, false}};
    for (const Row& row : rows) {
        size_t before = sink.Count();
        conn->NetStateChange(INetConn::ES_NONE, row.state, 140007, "sub");
        EXPECT_EQ(row.state, conn->GetNetState());
        EXPECT_EQ(before + (row.posts ? 1 : 0), sink.Count()) << row.state;
        if (row.posts) {
            Posted p = sink.Last();
            EXPECT_EQ(row.state, p.newState);
            EXPECT_EQ("sub", p.sub);
        }
    }
    EXPECT_EQ(0, conn->GetConnCfg());
}

TEST_F(PortalConnTest, ConnectedIsRecordedInTheStore) {
    conn->NetStateChange(INetConn::ES_CONNECTING, INetConn::ES_CONNECTED, 1, "");
    EXPECT_EQ(1, conn->GetConnCfg());
    EXPECT_NE(std::string::npos,
              orvane_test::readFile(dir.file("conf.xml")).find("<connState>1</connState>"));
    ASSERT_EQ(1u, sink.Count());
    EXPECT_EQ(2, sink.Last().newState);
    conn->SetConnCfg(0);
    EXPECT_EQ(0, conn->GetConnCfg());
}

TEST_F(PortalConnTest, PostErrorIsRepeatedExactly) {
    conn->NetStateChange(INetConn::ES_CONNECTING, INetConn::ES_CONNECTED, 1, "");
    conn->PostError(INetConn::ES_CONNECTFAIL, 150102, static_cast<unsigned long>(-4), 1);
    EXPECT_EQ(INetConn::ES_CONNECTFAIL, conn->GetNetState());
    conn->PostLastNetStateMessage();
    std::vector<Posted> all = sink.All();
    ASSERT_EQ(3u, all.size());
    for (size_t i = 1; i < 3; ++i) {
        const Posted& p = all[i];
        EXPECT_TRUE(p.extended);
        EXPECT_EQ(51, p.type);
        EXPECT_EQ(0, p.oldState);
        EXPECT_EQ(3, p.newState);
        EXPECT_EQ(150102, p.code);
        EXPECT_EQ("HttpError", p.subType);
        EXPECT_EQ("-4", p.extra);
    }
}

TEST_F(PortalConnTest, PlainMessageIsRepeatedAndExtendedLeavesTheState) {
    conn->NetStateChange(INetConn::ES_CONNECTING, INetConn::ES_CONNECTFAIL, 140105, "mobile");
    conn->PostLastNetStateMessage();
    Posted p = sink.Last();
    EXPECT_FALSE(p.extended);
    EXPECT_EQ(1, p.oldState);
    EXPECT_EQ(3, p.newState);
    EXPECT_EQ(140105, p.code);
    EXPECT_EQ("mobile", p.sub);

    conn->PostNetStateMessageEx(INetConn::ES_CONNECTING, INetConn::ES_CONNECTFAIL, 150200,
                                "ConnError", "2026-01-01 10.0.0.1");
    EXPECT_EQ(INetConn::ES_CONNECTFAIL, conn->GetNetState());
    conn->PostLastNetStateMessage();
    p = sink.Last();
    EXPECT_TRUE(p.extended);
    EXPECT_EQ("ConnError", p.subType);
    EXPECT_EQ("2026-01-01 10.0.0.1", p.extra);
    EXPECT_EQ(4u, sink.Count());
}

// A client start replays the last message while the work thread keeps reporting: every replay
// must be one whole message, never the state of one report with the code of another.
TEST_F(PortalConnTest, ReplayOnAnotherThreadSeesWholeMessages) {
    std::atomic<bool> done{false};
    std::thread worker([&] {
        for (int i = 0; i < 300; ++i) {
            if (i % 2) {
                conn->PostNetStateMessage(INetConn::ES_CONNECTING, INetConn::ES_CONNECTFAIL, 3,
                                          "three");
            } else {
                conn->PostNetStateMessageEx(INetConn::ES_NONE, INetConn::ES_DISCONNECTED, 12, "t12",
                                            "e12");
            }
        }
        done = true;
    });
    int replays = 0;
    while (!done && replays < 100000) {
        conn->PostLastNetStateMessage();
        (void)conn->GetNetState();
        ++replays;
    }
    worker.join();
    for (const Posted& p : sink.All()) {
        if (p.extended) {
            EXPECT_EQ(12, p.code);
            EXPECT_EQ(12, p.newState);
            EXPECT_EQ("e12", p.extra);
        } else {
            EXPECT_EQ(3, p.code);
            EXPECT_EQ(3, p.newState);
            EXPECT_EQ("three", p.sub);
        }
    }
    // The last message sent is the one remembered.
    Posted last = sink.Last();
    conn->PostLastNetStateMessage();
    Posted again = sink.Last();
    EXPECT_EQ(last.code, again.code);
    EXPECT_EQ(last.extended, again.extended);
}

namespace {

// Observes the logout that Destroy asks for.
class LogoutProbe : public CPortalConn {
public:
    using CPortalConn::CPortalConn;
    int DisConnect(const char* reason) override {
        reasons.push_back(reason ? reason : "(null)");
        return 1;
    }
    std::vector<std::string> reasons;
};

}  // namespace

TEST_F(PortalConnTest, DestroyLogsOutOnlyAnOpenLogin) {
    LogoutProbe probe(&sink, info.get());
    probe.Destroy();
    EXPECT_TRUE(probe.reasons.empty());
    probe.SetConnCfg(1);
    probe.Destroy();
    EXPECT_EQ(std::vector<std::string>{"7"}, probe.reasons);
}

// The whole path of one detection: start-up from the store, the configuration of a portal page,
// and every request built from the resulting record and decoded again.
TEST_F(PortalConnTest, PortalPageToEveryRequest) {
    Store(kStore);
    info->SetValue("clientId", "CID-9");
    info->SetValue("version", "1.2.3");
    conn->Init();
    // Start-up points the loader at the installation folder; the tests use the built container.
    CZsmHelper::GetInst()->SetHostPath(ORVANE_ZSM_HOST);
    ASSERT_EQ(1, CZsmHelper::GetInst()->Init(ORVANE_ZXM_CONTAINER, nullptr, 0));
    CPortalParser& parser = conn->GetPortalParser();

    CAutoString block;
    ASSERT_GT(parser.GetConfigWithString(orvane_test::PortalPage(), block), 0);
    auto cfg = std::make_unique<CAuthConfig>(*conn->GetPortalConf());
    ASSERT_EQ(0, parser.ParserConfig(block, cfg));
    EXPECT_EQ(cfg->strTickUrl, "http://10.9.0.2:8080/ticket.cgi");
    EXPECT_EQ(cfg->strStateUrl, "http://10.9.0.2:8080/state.cgi");  // the page replaces the store
    EXPECT_EQ(cfg->strClientId, "CID-9");                           // start-up values stay
    EXPECT_EQ(120, CPortalParser::GetCheckWifiShareTime(cfg->againstList));
    EXPECT_EQ(45, CPortalParser::GetCheckWifiLogoutTime(cfg->againstList));

    const char* ua = cfg->strUserAgent;
    const char* cid = cfg->strClientId;
    const char* tk = cfg->strTicket;
    const char* lt = "2026-03-04 05:06:07";
    const std::vector<std::pair<CAutoString, std::string>> requests = {
        {parser.MakeTickRequestData("lab-pc", ua, cid, "10.9.1.20", "", "aa", lt, cfg->ostag),
         "host-name"},
        {parser.MakeAuthRequestData(ua, cid, "u", "p", tk, lt), "user-agent"},
        {parser.MakeKeepRequestData(ua, cid, tk, "10.9.1.20", "", "aa", lt, nullptr,
                                    cfg->checkResult),
         "user-agent"},
        {parser.MakeTermRequestData(ua, cid, tk, lt, "2"), "user-agent"},
        {parser.MakeStateRequestData(ua, cid, tk, lt), "user-agent"},
        {parser.MakeTerminalRequestData(ua, cid, lt), "user-agent"}};
    for (const auto& request : requests) {
        std::string doc = parser.DecodePostResponseData(request.first).c_str();
        CMarkup xml;
        ASSERT_TRUE(xml.SetDoc(doc.c_str())) << doc;
        ASSERT_TRUE(xml.FindElem("request"));
        std::string lastTag;
        while (xml.FindChildElem())
            lastTag = xml.GetChildTagName().c_str();
        EXPECT_EQ(request.second, lastTag);
        EXPECT_NE(std::string::npos, doc.find("CID-9")) << doc;
    }
}

// A state answer that says "no error" is only a login when its document reads as one: an
// unreadable body adopts nothing and reports nothing, and the next poll asks again.
TEST_F(PortalConnTest, StateAnswerAdoptsOnlyALoginItCanRead) {
    httplib::Server portal;
    std::atomic<int> polls{0};
    std::string good;  // set before the first poll, read only by the handler afterwards
    portal.Post("/state", [&](const httplib::Request&, httplib::Response& res) {
        res.set_header("Error-Code", "0");
        res.set_header("Server-Tag", "unit");
        res.set_content(polls++ == 0 ? "#<garbage>\x7f not coded" : good, "text/plain");
    });
    const int port = portal.bind_to_any_port("127.0.0.1");
    ASSERT_GT(port, 0);
    std::thread serving([&] { portal.listen_after_bind(); });
    std::string store = kStore;
    const std::string stateUrl = "http://10.9.0.2/state";
    store.replace(store.find(stateUrl), stateUrl.size(),
                  "http://127.0.0.1:" + std::to_string(port) + "/state");
    Store(store.c_str());
    info->SetValue("clientId", "CID-9");
    conn->Init();
    CZsmHelper::GetInst()->SetHostPath(ORVANE_ZSM_HOST);
    ASSERT_EQ(1, CZsmHelper::GetInst()->Init(ORVANE_ZXM_CONTAINER, nullptr, 0));
    good = conn->GetPortalParser()
               .EncodePostRequestData(
                   "<response><userid>u1</userid><keep-retry>2</keep-retry>"
                   "<keep-url>http://10.9.0.2/keep2</keep-url></response>")
               .c_str();
    const size_t before = sink.Count();

    const int unreadable = conn->CheckConnectState(1);
    const size_t afterUnreadable = sink.Count();
    const ES stateAfterUnreadable = conn->GetNetState();
    const int readable = conn->CheckConnectState(1);
    portal.stop();
    serving.join();

    EXPECT_EQ(0, unreadable);
    EXPECT_EQ(before, afterUnreadable);
    EXPECT_NE(ES::ES_CONNECTED, stateAfterUnreadable);
    EXPECT_EQ(1, readable);
    ASSERT_EQ(before + 1, sink.Count());
    EXPECT_EQ(static_cast<int>(ES::ES_CONNECTED), sink.Last().newState);
    EXPECT_EQ("http://10.9.0.2/keep2", info->GetLocalValue("keepUrl").ToStdString());
    EXPECT_EQ(2, polls.load());
}
