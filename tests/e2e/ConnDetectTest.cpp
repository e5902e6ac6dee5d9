// The portal connection on loopback: detection and configuration fetch against portal-sim, the
// move to another portal server, the probe's redirect bound, and every branch of the portal
// request routine the simulator (or a small scripted portal) can provoke. The simulator's request
// log is the oracle for what was sent.
#include "CPortalConn.h"

#include <gtest/gtest.h>
#include <httplib.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "CBusiness.h"
#include "CHttpData.h"
#include "CInfoCenter.h"
#include "CZsmHelper.h"
#include "PortalSimProcess.h"
#include "RecordingPortalHost.h"
#include "TestSupport.h"

namespace {

using namespace std::chrono_literals;
using orvane_test::SimProcess;
using orvane_test::TempDir;
using orvane_test::waitFor;
using ES = INetConn::ESTATE;

// A scripted HTTP server on a free loopback port for answers portal-sim does not give.
class ScriptedServer {
public:
    ScriptedServer() = default;
    ~ScriptedServer() {
        if (m_thread.joinable()) {
            m_server.stop();
            m_thread.join();
        }
    }
    httplib::Server& Routes() { return m_server; }
    bool Start() {
        m_port = m_server.bind_to_any_port("127.0.0.1");
        if (m_port <= 0)
            return false;
        m_thread = std::thread([this] { m_server.listen_after_bind(); });
        return waitFor([this] { return m_server.is_running(); }, 5s);
    }
    std::string Url(const std::string& path) const {
        return "http://127.0.0.1:" + std::to_string(m_port) + path;
    }

private:
    httplib::Server m_server;
    std::thread m_thread;
    int m_port = 0;
};

class ConnDetectTest : public ::testing::Test {
protected:
    void SetUp() override {
        // Each test codes with its own copy: a renewal rewrites the container file.
        m_container = m_dir.file("zuvUzarod.zxm");
        ASSERT_TRUE(
            orvane_test::writeFile(m_container, orvane_test::readFile(ORVANE_ZXM_CONTAINER)));
        CZsmHelper::GetInst()->SetHostPath(ORVANE_ZSM_HOST);
        CZsmHelper::GetInst()->Init(m_container.c_str(), nullptr, 0);
    }

    SimProcess& StartSim(std::vector<std::string> extra = {}) {
        m_sims.push_back(std::make_unique<SimProcess>(m_dir, std::move(extra)));
        EXPECT_GT(m_sims.back()->Port(), 0) << "simulator did not start";
        return *m_sims.back();
    }
    // A second simulator needs its own folder for its port file and request log.
    SimProcess& StartSimIn(const TempDir& dir, std::vector<std::string> extra = {}) {
        m_sims.push_back(std::make_unique<SimProcess>(dir, std::move(extra)));
        EXPECT_GT(m_sims.back()->Port(), 0) << "simulator did not start";
        return *m_sims.back();
    }

    // The connection, started from a store holding the given probe URL and server list.
    CPortalConn& MakeConn(const std::string& probeUrl, const std::string& servers = "") {
        std::string store = "<conf><redirect>" + probeUrl + "</redirect><clientId>CID-7</clientId>";
        if (!servers.empty())
            store += "<serverCluster>" + servers + "</serverCluster>";
        EXPECT_TRUE(orvane_test::writeFile(m_dir.file("conf.xml"), store + "</conf>"));
        m_conn.reset();
        m_info = std::make_unique<CInfoCenter>(m_dir.file("conf.xml").c_str());
        m_info->SetValue("version", "3.1.4");
        m_conn = std::make_unique<CPortalConn>(&m_host, m_info.get());
        m_conn->InitPortalConf();
        CAuthConfig* cfg = m_conn->GetPortalConf();
        cfg->m_afType = 2;
        cfg->ip4 = "A";  // hashes to 65: entry 65 mod n of a server list
        return *m_conn;
    }

    // A coded ticket request as the login conversation builds it.
    void TicketRequest(CHttpData& data, const std::string& url) {
        CAuthConfig* cfg = m_conn->GetPortalConf();
        m_body = m_conn->GetPortalParser().MakeTickRequestData(
            "box", cfg->strUserAgent, cfg->strClientId, "10.1.2.3", "", "aa-bb",
            "2026-01-01 10:00:00", "linux64");
        m_head = m_conn->GetRequestHead(m_body);
        m_url = url;
        data.szUrl = m_url.c_str();
        data.szVerb = "POST";
        data.szHead = m_head.c_str();
        data.szPostData = m_body.c_str();
        data.dwTimeOut = 5000;
    }

    int Send(OrvaneSvr::TaskItem verb, const std::string& url, unsigned long& code,
             CAutoString& sub) {
        CHttpData data(true);
        TicketRequest(data, url);
        return m_conn->RequestPortalServer(verb, &data, code, sub, 2);
    }

    static size_t Count(const std::vector<std::string>& kinds, const std::string& kind) {
        size_t n = 0;
        for (const std::string& k : kinds)
            n += k == kind;
        return n;
    }

    TempDir m_dir;
    std::string m_container;
    orvane_test::RecordingPortalHost m_host;
    std::unique_ptr<CInfoCenter> m_info;
    std::unique_ptr<CPortalConn> m_conn;
    std::vector<std::unique_ptr<SimProcess>> m_sims;
    CAutoString m_body, m_head;
    std::string m_url;
};

}  // namespace

TEST_F(ConnDetectTest, DetectionFetchesAppliesAndPublishesTheConfiguration) {
    SimProcess& sim = StartSim({"--school-id", "S7", "--domain", "campus", "--area", "north",
                                "--wlan-user-ip", "10.1.2.3", "--wlan-user-mac", "AA-BB-CC"});
    CPortalConn& conn = MakeConn(sim.Url("/forward.cgi"));
    ASSERT_EQ(1, conn.RequestConfig(0));

    CAuthConfig* cfg = conn.GetPortalConf();
    EXPECT_EQ(cfg->strTickUrl, sim.Url("/ticket").c_str());
    EXPECT_EQ(cfg->schoolId, "S7");
    EXPECT_EQ(cfg->wlanuserip, "10.1.2.3");
    EXPECT_EQ(cfg->wlanusermac, "aa-bb-cc");  // the redirect target comes back in lower case
    EXPECT_EQ(cfg->wlancip, "127.0.0.1");
    EXPECT_EQ(m_info->GetLocalValue("schoolId"), "S7");
    EXPECT_EQ(m_info->GetLocalValue("wlanusermac"), "aa-bb-cc");
    EXPECT_EQ(m_info->GetLocalValue("tickUrl"), sim.Url("/ticket").c_str());
    EXPECT_EQ(m_info->GetValue("wlanacip"), "127.0.0.1");
    EXPECT_EQ(m_info->GetLocalValue("connState"), "0");

    // The client learns the values in a fixed order.
    std::vector<std::string> keys;
    for (const orvane_test::PostedMsg& m : m_host.Msgs()) {
        EXPECT_EQ("InfoCenter", m.opcode);
        keys.push_back(m.param.substr(5, m.param.find("</key>") - 5));
    }
    EXPECT_EQ(keys,
              (std::vector<std::string>{"authType", "authDefautType", "schoolId", "domain", "area",
                                        "FUN_StatsInfor", "FUN_Update", "version", "clientId"}));
    const std::string update = m_host.Msgs().at(6).param;
    EXPECT_EQ(0u, update.find("<key>FUN_Update</key><value>&lt;Update url=\"" + sim.Url("/update") +
                              "\""))
        << update;
    EXPECT_EQ(m_host.Msgs().back().param, "<key>clientId</key><value>CID-7</value>");

    // The server list of the configuration is loaded; the stored value is the one held before.
    EXPECT_EQ(1u, conn.GetHashBalance4().Size());
    EXPECT_EQ(cfg->m_strServersIPv4, ("127.0.0.1:" + std::to_string(sim.Port())).c_str());
    EXPECT_EQ(m_info->GetLocalValue("serverCluster"), "");
    EXPECT_EQ(sim.Kinds(), (std::vector<std::string>{"probe", "page"}));
    EXPECT_TRUE(m_host.States().empty());

    // Moves to another server use the list up; the next fetch fills it again.
    CAutoString url(sim.Url("/ticket").c_str());
    ASSERT_TRUE(conn.GetNewServerIP(url));
    ASSERT_EQ(0u, conn.GetHashBalance4().Size());
    ASSERT_EQ(1, conn.RequestConfig(0));
    EXPECT_EQ(1u, conn.GetHashBalance4().Size());
}

TEST_F(ConnDetectTest, ProbeResultsWithoutAPortal) {
    // Nothing listens here: the probe's transport failure is the result, with no message.
    CPortalConn& conn = MakeConn("http://127.0.0.1:1/forward.cgi");
    EXPECT_EQ(-4, conn.CheckNetEnv());
    EXPECT_EQ(-1, conn.RequestConfig(0));
    EXPECT_TRUE(m_host.States().empty());

    ScriptedServer open;
    open.Routes().Get("/plain", [](const httplib::Request&, httplib::Response& res) {
        res.set_content("<html><head></head><body>hello</body></html>", "text/html");
    });
    ASSERT_TRUE(open.Start());
    MakeConn(open.Url("/plain"));
    EXPECT_EQ(0, m_conn->RequestConfig(0));
    EXPECT_TRUE(m_host.Msgs().empty());
}

// A page request that fails moves to the next portal server of the list; a used-up list ends the
// probe with the transport result.
TEST_F(ConnDetectTest, PortalPageFailsOverToTheNextServer) {
    TempDir otherDir;
    SimProcess& broken = StartSim({"--fault", "page:1+:drop"});
    SimProcess& good = StartSimIn(otherDir);
    const std::string brokenHost = "127.0.0.1:" + std::to_string(broken.Port());
    const std::string goodHost = "127.0.0.1:" + std::to_string(good.Port());
    // Key "A" picks entry 1 first (the broken server), then the only one left.
    CPortalConn& conn = MakeConn(broken.Url("/forward.cgi"), goodHost + "," + brokenHost);
    ASSERT_EQ(1, conn.CheckNetEnv());
    // A dropped request reaches the log only after the connection is closed.
    EXPECT_TRUE(waitFor([&] { return broken.Kinds().size() == 2; }, 3s));
    EXPECT_EQ(broken.Kinds(), (std::vector<std::string>{"probe", "page"}));
    EXPECT_EQ(good.Kinds(), (std::vector<std::string>{"page"}));
    EXPECT_EQ(0u, conn.GetHashBalance4().Size());

    conn.GetHashBalance4().SetIpList(brokenHost.c_str());
    EXPECT_EQ(-4, conn.CheckNetEnv());
    EXPECT_TRUE(waitFor([&] { return Count(broken.Kinds(), "page") == 2; }, 3s));
    EXPECT_EQ(-1, conn.RequestConfig(0));  // nothing left to move to
}

// The gateway's chain is followed for ten redirects of any kind; one more is a failed probe.
TEST_F(ConnDetectTest, ProbeFollowsAtMostTenRedirects) {
    ScriptedServer gw;
    std::atomic<int> hits{0};
    gw.Routes().Get(R"(/hop/(\d+))", [&](const httplib::Request& req, httplib::Response& res) {
        ++hits;
        const int left = std::stoi(req.matches[1]);
        const std::string next = gw.Url("/hop/" + std::to_string(left - 1));
        if (left == 0) {
            res.set_content("<html><!--//auth.orvane.local<config/>//auth.orvane.local--></html>",
                            "text/html");
        } else if (left % 3 == 1) {
            res.set_content("<html><head><meta http-equiv=\"refresh\" content=\"0; url=" + next +
                                "\"></head></html>",
                            "text/html");
        } else if (left % 3 == 2) {
            res.set_content(
                "<html><head><script>location.href=\"" + next + "\"</script></head></html>",
                "text/html");
        } else {
            res.status = 303;
            res.set_header("Location", next);
        }
    });
    gw.Routes().Get("/loop", [&](const httplib::Request&, httplib::Response& res) {
        ++hits;
        res.status = 302;
        res.set_header("Location", gw.Url("/loop"));
    });
    ASSERT_TRUE(gw.Start());

    CPortalConn& conn = MakeConn(gw.Url("/hop/10"));
    EXPECT_EQ(1, conn.CheckNetEnv());
    EXPECT_EQ(11, hits);

    MakeConn(gw.Url("/hop/11"));
    hits = 0;
    EXPECT_EQ(CPortalConn::kProbeTooManyRedirects, m_conn->CheckNetEnv());
    EXPECT_EQ(11, hits);

    MakeConn(gw.Url("/loop"));
    hits = 0;
    EXPECT_EQ(-1, m_conn->RequestConfig(0));
    EXPECT_EQ(11, hits);
    EXPECT_TRUE(m_host.States().empty());  // the caller reports a failed fetch
}

TEST_F(ConnDetectTest, RequestAcceptedRetriedOnceAndFailedInTransport) {
    SimProcess& sim = StartSim({"--fault", "ticket:1:drop", "--fault", "ticket:3+:drop"});
    MakeConn(sim.Url("/forward.cgi"));
    unsigned long code = 99;
    CAutoString sub;
    // The first send is dropped, the second answered.
    EXPECT_EQ(1, Send(OrvaneSvr::reqTicket, sim.Url("/ticket"), code, sub));
    EXPECT_EQ(0u, code);
    // Both sends dropped: the budget of two is spent.
    EXPECT_EQ(-1, Send(OrvaneSvr::reqTicket, sim.Url("/ticket"), code, sub));
    EXPECT_EQ(static_cast<unsigned long>(-4L), code);
    EXPECT_TRUE(waitFor([&] { return Count(sim.Kinds(), "ticket") == 4; }, 3s));
    EXPECT_EQ(Count(sim.Kinds(), "ticket"), 4u);
    EXPECT_TRUE(m_host.States().empty());
}

TEST_F(ConnDetectTest, InterceptedAnswers) {
    SimProcess& sim = StartSim(
        {"--fault", "ticket:1:notag", "--fault", "keep:1:notag", "--fault", "state:1:redirect"});
    MakeConn(sim.Url("/forward.cgi"));
    unsigned long code = 0;
    CAutoString sub;
    EXPECT_EQ(-8, Send(OrvaneSvr::reqTicket, sim.Url("/ticket"), code, sub));
    EXPECT_EQ(1, m_host.UnknownEnvCount());
    EXPECT_EQ(-8, Send(OrvaneSvr::reqState, sim.Url("/state"), code, sub));
    EXPECT_EQ(2, m_host.UnknownEnvCount());
    EXPECT_TRUE(m_host.Disconnects().empty());
    EXPECT_TRUE(m_host.States().empty());

    // A caught keep-alive means the login is gone.
    EXPECT_EQ(-8, Send(OrvaneSvr::pluse, sim.Url("/keep"), code, sub));
    EXPECT_EQ(m_host.Disconnects(), (std::vector<std::string>{"4"}));
    ASSERT_EQ(1u, m_host.StateCount());
    EXPECT_EQ(150108, m_host.LastState().code);
    EXPECT_EQ(ES::ES_CONNECTFAIL, m_host.LastState().newState);
    EXPECT_EQ(2, m_host.UnknownEnvCount());
}

TEST_F(ConnDetectTest, VersionLimitAndOtherErrorCodes) {
    SimProcess& sim =
        StartSim({"--fault", "ticket:1:error:3:too old", "--fault", "ticket:2:error:7:quota"});
    MakeConn(sim.Url("/forward.cgi"));
    unsigned long code = 0;
    CAutoString sub;
    EXPECT_EQ(-2, Send(OrvaneSvr::reqTicket, sim.Url("/ticket"), code, sub));
    ASSERT_EQ(1u, m_host.StateCount());
    orvane_test::PostedState limit = m_host.LastState();
    EXPECT_EQ(140003, limit.code);
    EXPECT_EQ(ES::ES_PRECONNECTFAIL, limit.newState);
    EXPECT_EQ("tooold", limit.sub);  // header values lose their blanks

    EXPECT_EQ(-3, Send(OrvaneSvr::reqTicket, sim.Url("/ticket"), code, sub));
    EXPECT_EQ(7u, code);
    EXPECT_EQ(sub, "quota");
    EXPECT_EQ(1u, m_host.StateCount());
    EXPECT_EQ(Count(sim.Kinds(), "ticket"), 2u);
}

// A good replacement container is stored and the caller rebuilds its request with it.
TEST_F(ConnDetectTest, RenewalWithAGoodContainer) {
    SimProcess& sim = StartSim({"--fault", "ticket:1:renew"});
    MakeConn(sim.Url("/forward.cgi"));
    unsigned long code = 0;
    CAutoString sub;
    EXPECT_EQ(2, Send(OrvaneSvr::reqTicket, sim.Url("/ticket"), code, sub));
    EXPECT_EQ(m_host.Codes(), (std::vector<int>{30000104, 30000105}));
    EXPECT_EQ(m_conn->GetPortalParser().GetAlgoId().ToStdString(), ORVANE_ZXM_SECOND_ALGOID);
    EXPECT_EQ(1, Send(OrvaneSvr::reqTicket, sim.Url("/ticket"), code, sub));
    EXPECT_EQ(Count(sim.Kinds(), "ticket"), 2u);
}

// A container that is refused is asked for once more, then reported; an answer that is neither
// a container nor a refusal is asked for at most twice more.
TEST_F(ConnDetectTest, RenewalWithABadOrEmptyContainerEnds) {
    ScriptedServer portal;
    std::atomic<int> sends{0};
    std::atomic<bool> emptyBody{false};
    portal.Routes().Post("/ticket", [&](const httplib::Request&, httplib::Response& res) {
        ++sends;
        res.set_header("Error-Code", "200");
        res.set_header("Server-Tag", "scripted");
        res.set_content(emptyBody ? "" : "not a container", "application/octet-stream");
    });
    ASSERT_TRUE(portal.Start());
    MakeConn(portal.Url("/forward.cgi"));
    const CAutoString algoBefore = m_conn->GetPortalParser().GetAlgoId();
    unsigned long code = 0;
    CAutoString sub;

    EXPECT_EQ(-2, Send(OrvaneSvr::reqTicket, portal.Url("/ticket"), code, sub));
    EXPECT_EQ(2, sends);
    EXPECT_EQ(m_host.Codes(), (std::vector<int>{30000104, 30000104, 150003}));
    EXPECT_EQ(ES::ES_PRECONNECTFAIL, m_host.LastState().newState);
    EXPECT_EQ(m_conn->GetPortalParser().GetAlgoId(), algoBefore);

    // During login the failure belongs to the connecting phase.
    m_host.Clear();
    m_conn->NetStateChange(ES::ES_NONE, ES::ES_CONNECTING, 0, "");
    EXPECT_EQ(-2, Send(OrvaneSvr::auth, portal.Url("/ticket"), code, sub));
    EXPECT_EQ(ES::ES_CONNECTFAIL, m_host.LastState().newState);
    EXPECT_EQ(150003, m_host.LastState().code);

    emptyBody = true;
    sends = 0;
    EXPECT_EQ(-2, Send(OrvaneSvr::reqTicket, portal.Url("/ticket"), code, sub));
    EXPECT_EQ(1 + CPortalConn::kMaxRenewalResends, sends);
}

// The whole life of one login driven through the connection alone: every conversation reaches the
// simulator in order, starting from the probe and ending with the logout.
TEST_F(ConnDetectTest, DetectionToLogoutThroughTheConnectionAlone) {
    SimProcess& sim = StartSim({"--account", "alice:pw<&1"});
    CPortalConn& conn = MakeConn(sim.Url("/forward.cgi"));
    conn.GetPortalConf()->strClientId = "CID-7";  // the client identity is set at service start
    ASSERT_EQ(1, conn.RequestConfig(0));
    ASSERT_EQ(1, conn.RequestTicket());
    const std::string login =
        CBusiness::BuildEnvelope("client", "Portal", "PortalConnect",
                                 (CBusiness::MakeParam("user", "alice").ToStdString() +
                                  CBusiness::MakeParam("password", "pw<&1").ToStdString())
                                     .c_str())
            .ToStdString();
    ASSERT_EQ(1, conn.Connect(login.c_str()));
    EXPECT_EQ(ES::ES_CONNECTED, conn.GetNetState());
    EXPECT_EQ(1, conn.KeepPluse());
    EXPECT_EQ(1, conn.CheckConnectState(0));
    CAutoString terminals;
    EXPECT_EQ(1, conn.TerminalRequestData(terminals));
    ASSERT_EQ(1, conn.DisConnect("2"));
    EXPECT_EQ(ES::ES_DISCONNECTED, conn.GetNetState());
    EXPECT_EQ(sim.Kinds(), (std::vector<std::string>{"probe", "page", "ticket", "auth", "keep",
                                                     "state", "query", "term"}));
    EXPECT_EQ("2", SimProcess::Str(sim.Log().back(), "fields", "reason"));
}
