// portal-sim driven over loopback: the gateway, the coded portal conversations, faults, the
// renewal of the algorithm container, the update server and the shutdown. The request log is the
// oracle for what the simulator received.
#include <gtest/gtest.h>

#include <chrono>
#include <regex>
#include <string>
#include <vector>

#include "CMD5.h"
#include "CPortalParser.h"
#include "CTrafficStatistics.h"
#include "CZsmHelper.h"
#include "PortalSimProcess.h"
#include "TestSupport.h"

namespace {

using namespace std::chrono_literals;
using orvane_test::Http;
using orvane_test::HttpResult;
using orvane_test::SimProcess;
using orvane_test::TempDir;
using orvane_test::waitFor;

class PortalSimTest : public ::testing::Test {
protected:
    void SetUp() override {
        CZsmHelper::GetInst()->SetHostPath(ORVANE_ZSM_HOST);
        CZsmHelper::GetInst()->Init(ORVANE_ZXM_CONTAINER, nullptr, 0);
    }
    SimProcess& Start(std::vector<std::string> extra = {}) {
        m_sim = std::make_unique<SimProcess>(m_dir, std::move(extra));
        EXPECT_GT(m_sim->Port(), 0) << "simulator did not start";
        return *m_sim;
    }

    // Posts a coded request document as the service does; the answer body comes back decoded in
    // `plain` (empty when it does not decode).
    HttpResult Portal(const std::string& kind, const std::string& doc, std::string* plain = nullptr,
                      const std::string& checksum = "", long timeoutMs = 5000) {
        std::string coded = m_parser.EncodePostRequestData(doc.c_str()).ToStdString();
        std::string sum = checksum.empty() ? CMD5::HexDigest(coded.data(), coded.size()) : checksum;
        HttpResult r = Http(m_sim->Url("/" + kind), &coded,
                            {"Connection: close", "User-Agent: ZKRW/Linux64/1.0",
                             "Algo-ID: " + m_parser.GetAlgoId().ToStdString(),
                             "Client-ID: client-1", "VXR-Checksum: " + sum},
                            timeoutMs);
        if (plain)
            *plain = m_parser.DecodePostResponseData(r.body.c_str()).ToStdString();
        return r;
    }
    std::string TicketDoc() {
        return "<?xml version=\"1.0\"?><request><ostag>linux</ostag><local-time>2024-01-01 "
               "10:00:00</local-time><mac>aa-bb</mac><ipv6></ipv6><ipv4>10.1.2.3</ipv4><client-id>"
               "client-1</client-id><user-agent>ua</user-agent><host-name>box</host-name></"
               "request>";
    }
    static std::string Between(const std::string& s, const std::string& tag) {
        size_t b = s.find("<" + tag + ">");
        size_t e = s.find("</" + tag + ">");
        if (b == std::string::npos || e == std::string::npos)
            return "";
        return s.substr(b + tag.size() + 2, e - b - tag.size() - 2);
    }
    std::string GetTicket() {
        std::string plain;
        EXPECT_EQ(Portal("ticket", TicketDoc(), &plain).Header("Error-Code"), "0");
        return Between(plain, "ticket");
    }
    HttpResult Login(const std::string& ticket, const std::string& password,
                     std::string* plain = nullptr) {
        return Portal("auth",
                      "<request><user-agent>ua</user-agent><client-id>client-1</client-id><userid>"
                      "<![CDATA[alice]]></userid><passwd><![CDATA[" +
                          password + "]]></passwd><ticket>" + ticket +
                          "</ticket><local-time>t</local-time>"
                          "</request>",
                      plain);
    }
    HttpResult Simple(const std::string& kind, const std::string& ticket,
                      std::string* plain = nullptr, const std::string& extra = "") {
        return Portal(kind,
                      "<request>" + extra + "<ticket>" + ticket +
                          "</ticket><client-id>client-1</client-id></request>",
                      plain);
    }

    TempDir m_dir;
    CPortalParser m_parser;
    std::unique_ptr<SimProcess> m_sim;
};

TEST_F(PortalSimTest, ProbeRedirectsUntilLoginAndFullSessionIsLogged) {
    SimProcess& sim = Start({"--school-id", "S7", "--domain", "campus", "--area", "north"});
    HttpResult probe = Http(sim.Url("/forward.cgi"));
    EXPECT_EQ(probe.status, 302);
    EXPECT_EQ(probe.Header("schoolid"), "S7");
    std::string location = probe.Header("Location");
    EXPECT_NE(location.find(sim.Url("/index.cgi?wlanuserip=")), std::string::npos) << location;
    EXPECT_NE(location.find("&wlanacip=127.0.0.1&wlanusermac="), std::string::npos);

    std::string page = Http(location).body;
    size_t start = page.find("<!--//auth.orvane.local"), end = page.find("//auth.orvane.local-->");
    ASSERT_TRUE(start != std::string::npos && end != std::string::npos && start < end);
    std::string block = page.substr(start, end - start);
    EXPECT_NE(block.find("<ticket-url>" + sim.Url("/ticket") + "</ticket-url>"), std::string::npos);
    EXPECT_NE(block.find("<StatsInfor enable=\"1\""), std::string::npos);
    EXPECT_NE(block.find("<Update url=\"" + sim.Url("/update") + "\""), std::string::npos);

    std::string ticket = GetTicket(), plain;
    ASSERT_FALSE(ticket.empty());
    HttpResult auth = Login(ticket, "s3cret<&>", &plain);
    EXPECT_EQ(auth.Header("Error-Code"), "0");
    EXPECT_EQ(auth.Header("Server-Tag"), "portal-sim");
    EXPECT_EQ(Between(plain, "keep-retry"), "3");
    EXPECT_EQ(Between(plain, "keep-url"), sim.Url("/keep"));
    EXPECT_EQ(Http(sim.Url("/forward.cgi")).status, 200);

    EXPECT_EQ(Simple("keep", ticket, &plain).Header("Error-Code"), "0");
    EXPECT_EQ(Between(plain, "interval"), "1");
    EXPECT_EQ(Simple("state", ticket, &plain).Header("Error-Code"), "0");
    EXPECT_EQ(Between(plain, "userid"), "alice");
    EXPECT_EQ(Simple("term", ticket, nullptr, "<reason>2</reason>").Header("Error-Code"), "0");
    EXPECT_EQ(Simple("state", ticket).Header("Error-Code"), "300");
    EXPECT_EQ(Http(sim.Url("/forward.cgi")).status, 302);

    EXPECT_EQ(sim.Kinds(), (std::vector<std::string>{"probe", "page", "ticket", "auth", "probe",
                                                     "keep", "state", "term", "state", "probe"}));
    std::vector<cJSON*> log = sim.Log();
    EXPECT_EQ(SimProcess::Str(log[3], "fields", "passwd"), "s3cret<&>");
    EXPECT_EQ(SimProcess::Str(log[3], "fields", "userid"), "alice");
    EXPECT_EQ(SimProcess::Str(log[2], "fields", "host-name"), "box");
    EXPECT_EQ(SimProcess::Str(log[7], "fields", "reason"), "2");
    EXPECT_EQ(SimProcess::Str(log[3], "headers", "Client-ID"), "client-1");
}

TEST_F(PortalSimTest, RefusesBadChecksumAlgoIdPasswordAndTicket) {
    SimProcess& sim = Start();
    HttpResult bad = Portal("ticket", TicketDoc(), nullptr, std::string(32, '0'));
    EXPECT_EQ(bad.Header("Error-Code"), "4");
    EXPECT_EQ(bad.Header("Sub-Error"), "checksum");
    std::string coded = m_parser.EncodePostRequestData(TicketDoc().c_str()).ToStdString();
    HttpResult wrongId = Http(sim.Url("/ticket"), &coded,
                              {"Algo-ID: 11111111-2222-3333-4444-555555555555",
                               "VXR-Checksum: " + CMD5::HexDigest(coded.data(), coded.size())});
    EXPECT_EQ(wrongId.Header("Error-Code"), "5");

    std::string ticket = GetTicket();
    EXPECT_EQ(Login(ticket, "wrong").Header("Error-Code"), "11");
    EXPECT_EQ(Login("TK-unknown", "s3cret<&>").Header("Error-Code"), "10");
    EXPECT_EQ(Simple("state", ticket).Header("Error-Code"), "300");
    EXPECT_EQ(Simple("state", "TK-unknown").Header("Error-Code"), "301");
    EXPECT_EQ(Simple("term", ticket).Header("Error-Code"), "13");

    cJSON* first = sim.Log().at(0);
    EXPECT_TRUE(cJSON_IsFalse(cJSON_GetObjectItem(first, "checksum_ok")));
    EXPECT_TRUE(cJSON_IsTrue(cJSON_GetObjectItem(first, "algo_ok")));
    EXPECT_FALSE(cJSON_IsTrue(cJSON_GetObjectItem(sim.Log().at(1), "algo_ok")));
}

TEST_F(PortalSimTest, FaultsHitTheConfiguredRequestOfAKind) {
    SimProcess& sim = Start({"--fault", "keep:2:error:7:quota", "--fault", "ticket:2:drop",
                             "--fault", "state:1+:notag", "--fault", "probe:1:http500", "--fault",
                             "probe:2:delay:1500", "--fault", "query:1:truncate"});
    EXPECT_EQ(Http(sim.Url("/forward.cgi")).status, 500);
    EXPECT_EQ(Http(sim.Url("/forward.cgi"), nullptr, {}, 300).rc, CURLE_OPERATION_TIMEDOUT);
    std::string ticket = GetTicket();
    HttpResult dropped = Portal("ticket", TicketDoc());
    EXPECT_EQ(dropped.rc, CURLE_GOT_NOTHING);
    ASSERT_EQ(Login(ticket, "s3cret<&>").Header("Error-Code"), "0");

    EXPECT_EQ(Simple("keep", ticket).Header("Error-Code"), "0");
    HttpResult second = Simple("keep", ticket);
    EXPECT_EQ(second.Header("Error-Code"), "7");
    EXPECT_EQ(second.Header("Sub-Error"), "quota");
    EXPECT_EQ(Simple("keep", ticket).Header("Error-Code"), "0");
    // "next" is the keep-alive after the three counted so far, and only that one.
    std::string next = "fault keep:next:error:9\n";
    EXPECT_EQ(Http(sim.Url("/sim/control"), &next).status, 200);
    EXPECT_EQ(Simple("keep", ticket).Header("Error-Code"), "9");
    EXPECT_EQ(Simple("keep", ticket).Header("Error-Code"), "0");
    for (int i = 0; i < 2; ++i) {
        HttpResult intercepted = Simple("state", ticket);
        EXPECT_EQ(intercepted.status, 200);
        EXPECT_EQ(intercepted.Header("Error-Code"), "0");
        EXPECT_EQ(intercepted.Header("Server-Tag"), "");
    }
    EXPECT_EQ(Portal("query", "<request><client-id>client-1</client-id></request>").rc,
              CURLE_PARTIAL_FILE);

    // The portal ends the login on command: keep-alive and state then answer 14.
    std::string control = "clear-faults\nend-login\n";
    EXPECT_EQ(Http(sim.Url("/sim/control"), &control).status, 200);
    EXPECT_EQ(Simple("keep", ticket).Header("Error-Code"), "14");
    EXPECT_EQ(Simple("state", ticket).Header("Error-Code"), "14");
    std::string bad = "fault keep:x:drop\n";
    EXPECT_EQ(Http(sim.Url("/sim/control"), &bad).status, 400);
}

TEST_F(PortalSimTest, RenewalHandsOutTheSecondContainerAndSwitchesToIt) {
    SimProcess& sim = Start({"--fault", "ticket:1:renew"});
    std::string ownCopy = m_dir.file("zuvUzarod.zxm");
    ASSERT_TRUE(orvane_test::writeFile(ownCopy, orvane_test::readFile(ORVANE_ZXM_CONTAINER)));
    CZsmHelper::GetInst()->Init(ownCopy.c_str(), nullptr, 0);

    HttpResult renew = Portal("ticket", TicketDoc());
    ASSERT_EQ(renew.Header("Error-Code"), "200");
    ASSERT_EQ(CZsmHelper::GetInst()->Update(renew.body.data(), renew.body.size()), 1);
    EXPECT_EQ(m_parser.GetAlgoId().ToStdString(), ORVANE_ZXM_SECOND_ALGOID);

    std::string plain;
    EXPECT_EQ(Portal("ticket", TicketDoc(), &plain).Header("Error-Code"), "0");
    EXPECT_FALSE(Between(plain, "ticket").empty()) << "answer must be coded with the new key";
    CZsmHelper::GetInst()->Init(ORVANE_ZXM_CONTAINER, nullptr, 0);
    EXPECT_EQ(Portal("ticket", TicketDoc()).Header("Error-Code"), "5");
    EXPECT_EQ(sim.Kinds().size(), 3u);
}

TEST_F(PortalSimTest, UpdateQueryListsPackagesAndDownloadsResume) {
    std::string payload;
    for (int i = 0; i < 5000; ++i)
        payload += static_cast<char>('a' + i % 26);
    ASSERT_TRUE(orvane_test::writeFile(m_dir.file("pkg.tar.gz"), payload));
    SimProcess& sim = Start({"--update-package", "core=" + m_dir.file("pkg.tar.gz"),
                             "--update-exefile", "core=" + m_dir.file("pkg.tar.gz")});
    HttpResult query =
        Http(sim.Url("/update?keyword=(auto)&version=1000&clientid=c&dialaccount=a&cid=s&"));
    ASSERT_EQ(query.status, 200);
    std::string md5 = CMD5::HexDigest(payload.data(), payload.size());
    std::string bin =
        "<binfile size=\"5000\" md5=\"" + md5 + "\">" + sim.Url("/pkg/core/bin") + "</binfile>";
    EXPECT_NE(query.body.find("<response><pkgxmls><pkgxml><pkglist><pkg name=\"core\"><pfile>" +
                              bin + "<exefile"),
              std::string::npos)
        << query.body;

    HttpResult head = Http(sim.Url("/pkg/core/bin"), nullptr, {"Range: bytes=0-1999"});
    HttpResult rest = Http(sim.Url("/pkg/core/bin"), nullptr, {"Range: bytes=2000-"});
    EXPECT_EQ(head.status, 206);
    EXPECT_EQ(rest.status, 206);
    EXPECT_EQ(head.body + rest.body, payload);
    EXPECT_EQ(Http(sim.Url("/pkg/other/bin")).status, 404);
    std::vector<cJSON*> log = sim.Log();
    EXPECT_EQ(SimProcess::Str(log.at(0), "query", "version"), "1000");
    EXPECT_EQ(SimProcess::Str(log.at(2), "range"), "bytes=2000-");
}

TEST_F(PortalSimTest, RefuseClosesTheListenerForAWhile) {
    SimProcess& sim = Start({"--fault", "probe:1:refuse:1000"});
    EXPECT_EQ(Http(sim.Url("/forward.cgi")).rc, CURLE_GOT_NOTHING);
    EXPECT_EQ(Http(sim.Url("/forward.cgi")).rc, CURLE_COULDNT_CONNECT);
    EXPECT_TRUE(waitFor(
        [&] { return Http(sim.Url("/forward.cgi"), nullptr, {}, 500).status == 302; }, 5s, 50ms));
}

// With a control listener of its own the simulator takes commands while the portal refuses,
// and the portal's listener no longer takes them.
TEST_F(PortalSimTest, ControlListenerStaysOpenWhileThePortalRefuses) {
    const std::string portFile = m_dir.file("control-port");
    SimProcess& sim = Start({"--control-port", "0", "--control-port-file", portFile, "--fault",
                             "probe:1+:refuse:3000"});
    const int control = std::atoi(orvane_test::readFile(portFile).c_str());
    ASSERT_GT(control, 0);
    ASSERT_NE(control, sim.Port());
    const std::string controlUrl = "http://127.0.0.1:" + std::to_string(control) + "/sim/control";
    const std::string clear = "clear-faults";
    EXPECT_EQ(Http(sim.Url("/forward.cgi")).rc, CURLE_GOT_NOTHING);
    EXPECT_EQ(Http(sim.Url("/forward.cgi")).rc, CURLE_COULDNT_CONNECT);
    EXPECT_EQ(Http(controlUrl, &clear).status, 200);
    // Once the pause is over the portal answers normally again (the rule is gone).
    EXPECT_TRUE(waitFor(
        [&] { return Http(sim.Url("/forward.cgi"), nullptr, {}, 500).status == 302; }, 6s, 50ms));
    EXPECT_EQ(Http(sim.Url("/forward.cgi")).status, 302);
    EXPECT_EQ(Http(sim.Url("/sim/control"), &clear).status, 404);
}

// The statistics server opens both layers and lifts type, amounts and times into its record; on
// demand it holds its answers back, and the configuration can disable reports or name a port
// that refuses them.
TEST_F(PortalSimTest, StatisticsServerRecordsReportsAndStallsOrRefusesOnDemand) {
    CTrafficStatistics stats;
    CAutoString report, token, submit, body;
    ASSERT_EQ(0, stats.BuildToken("alice", "s1", 2, "10.1.2.3", "10.1.2.1", "2026-01-01 10:00:00",
                                  "2026-01-01 10:05:00", "1.5", "0", 2, 1767261900, report));
    stats.EncryptData(report, token, CTrafficStatistics::szSecretKey_t,
                      CTrafficStatistics::szSecretIV_t);
    stats.BuildSubmitData(token, submit);
    stats.EncryptData(submit, body, CTrafficStatistics::szSecretKey,
                      CTrafficStatistics::szSecretIV);
    const std::string text = body.ToStdString();
    const std::string stallOn = "stats-stall on", stallOff = "stats-stall off";

    SimProcess& sim = Start({"--stats-enable", "0"});
    ASSERT_EQ(Http(sim.Url("/stats"), &text).status, 200);
    const std::string garbage = "00112233";
    EXPECT_EQ(Http(sim.Url("/stats"), &garbage).status, 400);
    ASSERT_EQ(Http(sim.Url("/sim/control"), &stallOn).status, 200);
    EXPECT_EQ(Http(sim.Url("/stats"), &text, {}, 1000).rc, CURLE_OPERATION_TIMEDOUT);
    ASSERT_EQ(Http(sim.Url("/sim/control"), &stallOff).status, 200);
    EXPECT_EQ(Http(sim.Url("/stats"), &text).status, 200);

    std::vector<const cJSON*> records;
    for (const cJSON* rec : sim.Log()) {
        if (SimProcess::Str(rec, "kind") == "stats")
            records.push_back(rec);
    }
    ASSERT_EQ(4u, records.size());
    for (size_t i : {0u, 2u, 3u}) {
        EXPECT_EQ(2, cJSON_GetObjectItemCaseSensitive(records[i], "stattype")->valueint);
        EXPECT_EQ("1.5", SimProcess::Str(records[i], "up"));
        EXPECT_EQ("2026-01-01 10:00:00", SimProcess::Str(records[i], "start"));
        EXPECT_EQ("alice", SimProcess::Str(records[i], "report", "account"));
        EXPECT_EQ(i == 2, cJSON_IsTrue(cJSON_GetObjectItemCaseSensitive(records[i], "stalled")));
    }
    EXPECT_EQ("outer layer does not decrypt", SimProcess::Str(records[1], "error"));

    const std::string page = Http(sim.Url("/index.cgi?wlanuserip=1")).body;
    EXPECT_NE(std::string::npos, page.find("<StatsInfor enable=\"0\""));

    TempDir other;
    SimProcess refusing(other, {"--stats-refuse"});
    ASSERT_GT(refusing.Port(), 0);
    const std::string refusingPage = Http(refusing.Url("/index.cgi?wlanuserip=1")).body;
    std::smatch url;
    ASSERT_TRUE(std::regex_search(refusingPage, url, std::regex("url=\"(http://[^\"]*/stats)\"")));
    EXPECT_NE(refusing.Url("/stats"), url[1].str());
    EXPECT_EQ(Http(url[1].str(), &text).rc, CURLE_COULDNT_CONNECT);
}

TEST_F(PortalSimTest, SigtermStopsCleanlyAndBadRulesAreRejected) {
    SimProcess& sim = Start();
    ASSERT_EQ(Http(sim.Url("/forward.cgi")).status, 302);
    ASSERT_EQ(kill(sim.Pid(), SIGTERM), 0);
    ASSERT_TRUE(waitFor([&] { return sim.Exited(); }, 5s));
    EXPECT_TRUE(WIFEXITED(sim.Status()) && WEXITSTATUS(sim.Status()) == 0);

    TempDir other;
    SimProcess broken(other, {"--fault", "keep:0:drop"});
    EXPECT_TRUE(waitFor([&] { return broken.Exited(); }, 5s));
    EXPECT_TRUE(WIFEXITED(broken.Status()) && WEXITSTATUS(broken.Status()) == 1);
    EXPECT_EQ(broken.Port(), 0);
}

}  // namespace
