// Portal documents: request header block, body coding in both directions, code-page conversion
// and algorithm renewal, one coded conversation with a loopback server that uses the same module;
// then the configuration block, the request builders and the answer parsers.
#include "CPortalParser.h"

#include <gtest/gtest.h>
#include <httplib.h>

#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "CCurlHttp.h"
#include "CHttpData.h"
#include "CMD5.h"
#include "CMarkup.h"
#include "CPortalConn.h"
#include "CZsmHelper.h"
#include "PortalTestPages.h"
#include "TestSupport.h"

using orvane_test::readFile;
using orvane_test::TempDir;
using orvane_test::writeFile;

// Installs a configuration record into a connection, as start-up would.
class CPortalConnTestAccess {
public:
    static CAuthConfig& Conf(CPortalConn& conn) {
        if (conn.m_pPortalConf == nullptr)
            conn.m_pPortalConf = std::make_unique<CAuthConfig>();
        return *conn.m_pPortalConf;
    }
};

namespace {

std::vector<std::string> lines(const std::string& block) {
    std::vector<std::string> out;
    size_t start = 0;
    for (size_t end; (end = block.find("\r\n", start)) != std::string::npos; start = end + 2) {
        out.push_back(block.substr(start, end - start));
    }
    EXPECT_EQ(start, block.size()) << "text after the last CR LF";
    return out;
}

// Only the body field set, as a portal answer carrying a container has it.
struct Answer {
    char* szRespData;
    uint64_t dwDataLen;
};

const char kZeroId[] = "00000000-0000-0000-0000-000000000000";
// "<r>中文</r>" in UTF-8 and in GB18030.
const std::string kUtf8 = "<r>\xe4\xb8\xad\xe6\x96\x87</r>";
const std::string kGb18030 = "<r>\xd6\xd0\xce\xc4</r>";

class PortalParserTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(writeFile(dir.file("zuvUzarod.zxm"), readFile(ORVANE_ZXM_CONTAINER)));
        CZsmHelper::GetInst()->SetHostPath(ORVANE_ZSM_HOST);
        CZsmHelper::GetInst()->Init(dir.file("zuvUzarod.zxm").c_str(), nullptr, 0);
    }
    TempDir dir;
    CPortalParser parser;
};

TEST_F(PortalParserTest, HeaderBlockHasFiveFixedLinesAndOnlyTheOptionalOnesThatAreSet) {
    const auto none = lines(parser.MakeRequestHead("UA/1", "cid", "sum", "", "", "").ToStdString());
    EXPECT_EQ(none, (std::vector<std::string>{"Connection:close", "User-Agent:UA/1",
                                              std::string("Algo-ID:") + ORVANE_ZXM_ALGOID,
                                              "Client-ID:cid", "VXR-Checksum:sum"}));
    const auto one =
        lines(parser.MakeRequestHead("UA/1", "cid", "sum", "", "", "north").ToStdString());
    ASSERT_EQ(one.size(), 6u);
    EXPECT_EQ(one[5], "VXR-Area:north");
    const auto all =
        lines(parser.MakeRequestHead("UA/1", "cid", "sum", "s1", "dom", "north").ToStdString());
    ASSERT_EQ(all.size(), 8u);
    EXPECT_EQ(std::vector<std::string>(all.begin() + 5, all.end()),
              (std::vector<std::string>{"VXR-SchoolId:s1", "VXR-Domain:dom", "VXR-Area:north"}));

    CZsmHelper::GetInst()->Init(dir.file("absent.zxm").c_str(), nullptr, 0);
    EXPECT_EQ(lines(parser.MakeRequestHead("UA", "c", "s", "", "", "").ToStdString())[2],
              std::string("Algo-ID:") + kZeroId);
}

TEST_F(PortalParserTest, ConnectionHeadCarriesTheChecksumOfTheCodedBody) {
    CPortalConn conn;
    EXPECT_EQ(conn.GetMD5FromPostData(""), "d41d8cd98f00b204e9800998ecf8427e");
    CAuthConfig& conf = CPortalConnTestAccess::Conf(conn);
    conf.strUserAgent = "ZKRW/Linux64/1.0";
    conf.strClientId = "client-7";
    conf.domain = "campus";
    const CAutoString body = parser.EncodePostRequestData("<request/>");
    const auto head = lines(conn.GetRequestHead(body).ToStdString());
    ASSERT_EQ(head.size(), 6u);
    EXPECT_EQ(head[1], "User-Agent:ZKRW/Linux64/1.0");
    EXPECT_EQ(head[3], "Client-ID:client-7");
    EXPECT_EQ(head[4], "VXR-Checksum:" + CMD5::HexDigest(body.c_str(), body.GetLength()));
    EXPECT_EQ(head[5], "VXR-Domain:campus");
}

TEST_F(PortalParserTest, DecodedAnswersComeBackInGb18030) {
    EXPECT_EQ(
        parser.DecodePostResponseData(parser.EncodePostRequestData(kUtf8.c_str())).ToStdString(),
        kGb18030);
    const std::string ascii = "<response><code>0</code></response>";
    EXPECT_EQ(
        parser.DecodePostResponseData(parser.EncodePostRequestData(ascii.c_str())).ToStdString(),
        ascii);
    // Not valid UTF-8: kept as decoded.
    const std::string latin1 = "<r>caf\xe9</r>";
    EXPECT_EQ(
        parser.DecodePostResponseData(parser.EncodePostRequestData(latin1.c_str())).ToStdString(),
        latin1);
    EXPECT_TRUE(parser.DecodePostResponseData("<html>gateway page</html>").IsEmpty());
    EXPECT_TRUE(parser.DecodePostResponseData(nullptr).IsEmpty());

    CZsmHelper::GetInst()->Init(dir.file("absent.zxm").c_str(), nullptr, 0);
    EXPECT_EQ(parser.EncodePostRequestData("<request/>"), CZsmHelper::kCodeFallback);
}

TEST_F(PortalParserTest, CodeConvertReportsFailuresAsMinusOne) {
    char out[16];
    EXPECT_EQ(CPortalParser::CodeConvert("NO-SUCH-CHARSET", "UTF-8", "a", 1, out, sizeof out), -1);
    EXPECT_EQ(CPortalParser::CodeConvert("UTF-8", "GB18030", kUtf8.data(), kUtf8.size(), out, 4),
              -1);
    EXPECT_EQ(
        CPortalParser::CodeConvert("UTF-8", "GB18030", kUtf8.data(), kUtf8.size(), out, sizeof out),
        0);
    EXPECT_EQ(std::string(out), kGb18030);
}

TEST_F(PortalParserTest, RenewalStoresTheAnswerBodyAsTheNewContainer) {
    CPortalConn conn;
    std::string second = readFile(ORVANE_ZXM_SECOND);
    Answer answer{&second[0], second.size()};
    EXPECT_EQ(conn.UpdateAlgoid(&answer), 1);
    EXPECT_EQ(conn.GetNetState(), INetConn::ES_PRECONNECTING);
    EXPECT_EQ(parser.GetAlgoId(), ORVANE_ZXM_SECOND_ALGOID);
    Answer empty{nullptr, 0};
    EXPECT_EQ(conn.UpdateAlgoid(&empty), 0);
    std::string junk = "<html>not a container</html>";
    Answer bad{&junk[0], junk.size()};
    EXPECT_EQ(conn.UpdateAlgoid(&bad), -1);
    EXPECT_EQ(parser.GetAlgoId(), ORVANE_ZXM_SECOND_ALGOID);
}

// The portal side of the conversation: checks the checksum and identifier headers, decodes the
// request with the module and answers a coded document.
TEST_F(PortalParserTest, CodedConversationWithALoopbackServer) {
    httplib::Server server;
    std::string received;
    server.Post("/auth", [&](const httplib::Request& req, httplib::Response& res) {
        const bool headersOk = req.get_header_value("VXR-Checksum") ==
                                   CMD5::HexDigest(req.body.data(), req.body.size()) &&
                               req.get_header_value("Algo-ID") == ORVANE_ZXM_ALGOID;
        char* plain = CZsmHelper::GetInst()->DeCode(req.body.c_str());
        received = plain != nullptr ? plain : "";
        CZsmHelper::FreeResult(plain);
        char* coded = CZsmHelper::GetInst()->Code(kUtf8.c_str());
        res.set_header("Error-Code", headersOk ? "0" : "1");
        res.set_content(coded, "text/plain");
        CZsmHelper::FreeResult(coded);
    });
    const int port = server.bind_to_any_port("127.0.0.1");
    ASSERT_GT(port, 0);
    std::thread serving([&] { server.listen_after_bind(); });

    CPortalConn conn;
    CPortalConnTestAccess::Conf(conn).strUserAgent = "ZKRW/Linux64/1.0";
    const std::string doc = "<request><user-name>alice</user-name></request>";
    const CAutoString body = parser.EncodePostRequestData(doc.c_str());
    const CAutoString head = conn.GetRequestHead(body);
    const std::string url = "http://127.0.0.1:" + std::to_string(port) + "/auth";
    CHttpData request(true);
    request.szUrl = url.c_str();
    request.szVerb = "POST";
    request.szHead = head.c_str();
    request.szPostData = body.c_str();
    request.bRedirect = false;
    request.dwTimeOut = 5000;
    const int rc = CCurlHttp::Perform(&request);
    server.stop();
    serving.join();
    ASSERT_EQ(rc, 0);
    EXPECT_EQ(request.GetHeadAttri("Error-Code"), "0");
    EXPECT_EQ(received, doc);
    EXPECT_EQ(parser.DecodePostResponseData(request.RespData()).ToStdString(), kGb18030);
}

}  // namespace

namespace {

using Children = std::vector<std::pair<std::string, std::string>>;

// Tag names and decoded texts of the root's children, in document order.
Children ChildrenOf(const std::string& doc, const char* root) {
    CMarkup xml;
    Children out;
    if (!xml.SetDoc(doc.c_str()) || !xml.FindElem(root))
        return out;
    while (xml.FindChildElem()) {
        out.emplace_back(xml.GetChildTagName().c_str(), xml.GetChildData().c_str());
    }
    return out;
}

std::vector<std::string> Tags(const Children& children) {
    std::vector<std::string> tags;
    for (const auto& child : children)
        tags.push_back(child.first);
    return tags;
}

std::unique_ptr<CAuthConfig> Parse(CPortalParser& parser, const char* doc) {
    std::unique_ptr<CAuthConfig> cfg;
    EXPECT_EQ(0, parser.ParserConfig(doc, cfg)) << doc;
    return cfg;
}

}  // namespace

TEST(PortalConfigBlock, CutsTheBlockBetweenTheMarkers) {
    CPortalParser parser;
    CAutoString block;
    int len = parser.GetConfigWithString(orvane_test::PortalPage(), block);
    ASSERT_GT(len, 0);
    EXPECT_EQ(static_cast<unsigned>(len), block.GetLength());
    std::string text = block.c_str();
    EXPECT_EQ(0u, text.find("\n<config>"));
    EXPECT_EQ(text.size() - 1, text.rfind("</config>\n") + 9);

    // The first end marker after the start ends the block.
    const char* two = "x<!--//auth.orvane.local<a/>//auth.orvane.local-->y//auth.orvane.local-->";
    EXPECT_EQ(4, parser.GetConfigWithString(two, block));
    EXPECT_EQ(block, "<a/>");
}

TEST(PortalConfigBlock, IncompleteOrEmptyBlocksGiveNothing) {
    CPortalParser parser;
    CAutoString block("kept");
    EXPECT_EQ(0, parser.GetConfigWithString("<html>no block</html>", block));
    EXPECT_EQ(0, parser.GetConfigWithString("<!--//auth.orvane.local<config/>", block));
    EXPECT_EQ(0,
              parser.GetConfigWithString("<!--//auth.orvane.local//auth.orvane.local-->", block));
    // An end marker before the start marker does not count.
    EXPECT_EQ(
        0, parser.GetConfigWithString("//auth.orvane.local--><!--//auth.orvane.local<a/>", block));
    EXPECT_EQ(0, parser.GetConfigWithString("<!--//other.example<a/>//other.example-->", block));
    EXPECT_EQ(0, parser.GetConfigWithString(nullptr, block));
    EXPECT_EQ(block, "kept");
}

TEST(PortalConfig, RealisticPageFillsEveryField) {
    CPortalParser parser;
    CAutoString block;
    ASSERT_GT(parser.GetConfigWithString(orvane_test::PortalPage(), block), 0);
    auto cfg = Parse(parser, block);
    ASSERT_TRUE(cfg);
    EXPECT_EQ(cfg->strTickUrl, "http://10.9.0.2:8080/ticket.cgi");
    EXPECT_EQ(cfg->strQueryUrl, "http://10.9.0.2:8080/query.cgi");
    EXPECT_EQ(cfg->strAuthUrl, "http://10.9.0.2:8080/auth.cgi");
    EXPECT_EQ(cfg->strStateUrl, "http://10.9.0.2:8080/state.cgi");
    EXPECT_EQ(30u, cfg->stateInterval);
    EXPECT_EQ((std::vector<CAutoString>{"r-one", "r-two"}), cfg->m_vecRegister);
    EXPECT_EQ(std::vector<CAutoString>{"opt"}, cfg->m_vecOption);
    EXPECT_EQ(cfg->m_strAcountType, "suffix");
    EXPECT_EQ(cfg->m_strAcountValue, "@campus");
    EXPECT_EQ(3, cfg->nAuthType);
    EXPECT_EQ(1, cfg->nDefaultAuth);
    EXPECT_EQ(cfg->m_strServers, "10.9.0.2:8080,10.9.0.3:8080");
    EXPECT_EQ(cfg->againstList,
              "<user-config><against-interval>120</against-interval><logout-delay>45</logout-delay>"
              "<against><item>hostapd</item></against></user-config>");
    ASSERT_EQ(2u, cfg->funCfg.size());
    EXPECT_EQ(cfg->funCfg[CAutoString("StatsInfor")],
              "<StatsInfor url=\"http://10.9.0.5/stats\" interval=\"600\"/>");
    EXPECT_EQ(cfg->funCfg[CAutoString("Update")],
              "<Update><url>http://10.9.0.6/update</url></Update>");
    // Fields the configuration does not speak of keep their defaults.
    EXPECT_EQ(2, cfg->iKeepRetry);
    EXPECT_EQ(300u, cfg->checkWifiInterval);
    EXPECT_EQ(300u, cfg->logoutDelay);
    EXPECT_EQ(300, cfg->RNKeepPortTime);
    EXPECT_TRUE(cfg->strTicket.IsEmpty());
}

TEST(PortalConfig, StateIntervalFallsBackToFive) {
    CPortalParser parser;
    for (const char* text : {"0", "abc", "-7", ""}) {
        std::string doc =
            std::string("<config><state-interval>") + text + "</state-interval></config>";
        EXPECT_EQ(5u, Parse(parser, doc.c_str())->stateInterval) << text;
    }
    EXPECT_EQ(30u,
              Parse(parser, "<config><state-interval>30</state-interval></config>")->stateInterval);
    EXPECT_EQ(5u, Parse(parser, "<config/>")->stateInterval);
}

TEST(PortalConfig, AddressesCountOnlyInTheirOrder) {
    CPortalParser parser;
    // state-url stands before ticket-url, so it is not seen; query-url is missing and skipped.
    auto cfg = Parse(parser,
                     "<config><state-url>S</state-url><ticket-url>T</ticket-url><x/>"
                     "<auth-url>A</auth-url><state-interval>9</state-interval></config>");
    EXPECT_EQ(cfg->strTickUrl, "T");
    EXPECT_TRUE(cfg->strQueryUrl.IsEmpty());
    EXPECT_EQ(cfg->strAuthUrl, "A");
    EXPECT_TRUE(cfg->strStateUrl.IsEmpty());
    EXPECT_EQ(9u, cfg->stateInterval);
}

TEST(PortalConfig, AuthMethodsAndDefault) {
    CPortalParser parser;
    auto other =
        Parse(parser, "<config><auth><type>sms</type><default>1</default></auth></config>");
    EXPECT_EQ(4, other->nAuthType);
    EXPECT_EQ(4, other->nDefaultAuth);

    auto upper = Parse(
        parser, "<config><auth><default>YES</default><type>vxr-mobile-qr</type></auth></config>");
    EXPECT_EQ(2, upper->nAuthType);
    EXPECT_EQ(2, upper->nDefaultAuth);

    auto notDefault = Parse(parser,
                            "<config><auth><type>vxr-mobile-qr</type><default>true</default></auth>"
                            "<auth><type>vxr-http-pap</type></auth></config>");
    EXPECT_EQ(3, notDefault->nAuthType);
    EXPECT_EQ(1, notDefault->nDefaultAuth);

    // An entry without a type counts as another method.
    EXPECT_EQ(4, Parse(parser, "<config><auth/></config>")->nAuthType);
}

TEST(PortalConfig, NotifyOptionsFollowTheLastRegister) {
    CPortalParser parser;
    auto cfg = Parse(parser,
                     "<config><notify><option>early</option><register>r</register>"
                     "<option>o1</option><option>o2</option></notify></config>");
    EXPECT_EQ(std::vector<CAutoString>{"r"}, cfg->m_vecRegister);
    EXPECT_EQ((std::vector<CAutoString>{"o1", "o2"}), cfg->m_vecOption);
}

TEST(PortalConfig, FunCfgEntriesAreKeyedByTagAndTheLastRepeatWins) {
    CPortalParser parser;
    auto cfg = Parse(parser,
                     "<config><FunCfg><StatsInfor a=\"1\"/><Other>x</Other>"
                     "<StatsInfor a=\"2\"/></FunCfg></config>");
    ASSERT_EQ(2u, cfg->funCfg.size());
    EXPECT_EQ(cfg->funCfg[CAutoString("StatsInfor")], "<StatsInfor a=\"2\"/>");
    EXPECT_EQ(cfg->funCfg[CAutoString("Other")], "<Other>x</Other>");
}

TEST(PortalConfig, SecondDocumentOverwritesOnlyWhatItCarries) {
    CPortalParser parser;
    CAutoString block;
    parser.GetConfigWithString(orvane_test::PortalPage(), block);
    auto cfg = Parse(parser, block);
    ASSERT_EQ(0, parser.ParserConfig("<config><ticket-url>T2</ticket-url><notify/>"
                                     "<auth><type>x</type></auth></config>",
                                     cfg));
    EXPECT_EQ(cfg->strTickUrl, "T2");
    EXPECT_EQ(cfg->strAuthUrl, "http://10.9.0.2:8080/auth.cgi");
    EXPECT_TRUE(cfg->m_vecRegister.empty());
    EXPECT_TRUE(cfg->m_vecOption.empty());
    EXPECT_EQ(4, cfg->nAuthType);
    EXPECT_EQ(1, cfg->nDefaultAuth);
    EXPECT_EQ(2u, cfg->funCfg.size());
}

TEST(PortalConfig, RefusedDocumentsLeaveTheRecordAlone) {
    CPortalParser parser;
    CAutoString block;
    parser.GetConfigWithString(orvane_test::PortalPage(), block);
    auto cfg = Parse(parser, block);
    CAuthConfig* before = cfg.get();
    for (const char* bad : {"<settings><ticket-url>X</ticket-url></settings>",
                            "<config><ticket-url>X</ticket-url>", "", "<a/><config/>"}) {
        EXPECT_EQ(-1, parser.ParserConfig(bad, cfg)) << bad;
    }
    EXPECT_EQ(-1, parser.ParserConfig(nullptr, cfg));
    EXPECT_EQ(before, cfg.get());
    EXPECT_EQ(cfg->strTickUrl, "http://10.9.0.2:8080/ticket.cgi");
    EXPECT_EQ(3, cfg->nAuthType);

    // A refused document still leaves a fresh record with its defaults.
    std::unique_ptr<CAuthConfig> fresh;
    EXPECT_EQ(-1, parser.ParserConfig("<settings/>", fresh));
    ASSERT_TRUE(fresh);
    EXPECT_EQ(1, fresh->nDefaultAuth);
    EXPECT_EQ(5u, fresh->stateInterval);
}

TEST(PortalWifiTimes, ReadFromUserConfigText) {
    const char* both =
        "<user-config><against-interval>120</against-interval>"
        "<logout-delay>45</logout-delay></user-config>";
    EXPECT_EQ(120, CPortalParser::GetCheckWifiShareTime(both));
    EXPECT_EQ(45, CPortalParser::GetCheckWifiLogoutTime(both));
    const char* none = "<user-config><against/></user-config>";
    EXPECT_EQ(0, CPortalParser::GetCheckWifiShareTime(none));
    EXPECT_EQ(300, CPortalParser::GetCheckWifiLogoutTime(none));
    const char* empty = "<against-interval></against-interval><logout-delay></logout-delay>";
    EXPECT_EQ(0, CPortalParser::GetCheckWifiShareTime(empty));
    EXPECT_EQ(300, CPortalParser::GetCheckWifiLogoutTime(empty));
    EXPECT_EQ(0, CPortalParser::GetCheckWifiShareTime("<against-interval>5"));
    EXPECT_EQ(300, CPortalParser::GetCheckWifiLogoutTime(nullptr));
    // A number too large for the result saturates instead of wrapping.
    EXPECT_EQ(2147483647, CPortalParser::GetCheckWifiShareTime(
                              "<against-interval>99999999999999999999</against-interval>"));
}

// Documents travel coded by the development algorithm module; the same module decodes them.
class PortalRequests : public ::testing::Test {
protected:
    void SetUp() override {
        CZsmHelper::GetInst()->SetHostPath(ORVANE_ZSM_HOST);
        ASSERT_EQ(1, CZsmHelper::GetInst()->Init(ORVANE_ZXM_CONTAINER, nullptr, 0));
    }
    // The plain document behind a coded body; fails the test when it does not decode.
    std::string Plain(const CAutoString& coded) {
        EXPECT_FALSE(coded.IsEmpty());
        std::string doc = parser.DecodePostResponseData(coded).c_str();
        EXPECT_NE(std::string::npos, doc.find("<request>")) << doc;
        return doc;
    }
    // The decoded document as the portal reads it, without the code-page conversion answers get.
    std::string Wire(const CAutoString& coded) {
        char* plain = CZsmHelper::GetInst()->DeCode(coded.c_str());
        const std::string doc = plain != nullptr ? plain : "";
        CZsmHelper::FreeResult(plain);
        return doc;
    }
    orvane_test::TempDir dir;
    CPortalParser parser;
};

TEST_F(PortalRequests, TicketRequestOrderAndValues) {
    std::string doc =
        Plain(parser.MakeTickRequestData("host&amp;1", "UA", "CID", "10.0.0.7", "fe80::7",
                                         "00:11:22:33:44:55", "2026-01-02 03:04:05", "linux64"));
    Children kids = ChildrenOf(doc, "request");
    EXPECT_EQ((Children{{"ostag", "linux64"},
                        {"local-time", "2026-01-02 03:04:05"},
                        {"mac", "00:11:22:33:44:55"},
                        {"ipv6", "fe80::7"},
                        {"ipv4", "10.0.0.7"},
                        {"client-id", "CID"},
                        {"user-agent", "UA"},
                        {"host-name", "host&1"}}),
              kids);
    // A reference already in the host name is kept, not escaped a second time.
    EXPECT_NE(std::string::npos, doc.find("<host-name>host&amp;1</host-name>"));
}

TEST_F(PortalRequests, LoginRequestKeepsAccountAndPasswordVerbatim) {
    const char* password = "p<a&ss]]>word>";
    std::string doc =
        Plain(parser.MakeAuthRequestData("UA", "CID", "user<&1", password, "TK", "LT"));
    EXPECT_EQ((Children{{"local-time", "LT"},
                        {"ticket", "TK"},
                        {"passwd", password},
                        {"userid", "user<&1"},
                        {"client-id", "CID"},
                        {"user-agent", "UA"}}),
              ChildrenOf(doc, "request"));
    EXPECT_NE(std::string::npos, doc.find("<passwd><![CDATA[p<a&ss]]"));
    EXPECT_NE(std::string::npos, doc.find("<userid><![CDATA[user<&1]]></userid>"));
}

TEST_F(PortalRequests, KeepAliveRequestSharedOnlyWhenNonZero) {
    std::vector<std::string> base = {"mac", "ipv6", "ipv4", "ticket", "client-id", "user-agent"};
    auto expectTags = [&](std::vector<std::string> head, const std::string& doc) {
        head.insert(head.end(), base.begin(), base.end());
        EXPECT_EQ(head, Tags(ChildrenOf(doc, "request"))) << doc;
    };
    expectTags({"local-time"}, Plain(parser.MakeKeepRequestData("UA", "CID", "TK", "4", "6", "M",
                                                                "LT", nullptr, 0)));
    std::string shared =
        Plain(parser.MakeKeepRequestData("UA", "CID", "TK", "4", "6", "M", "LT", "", 2));
    expectTags({"shared", "local-time"}, shared);
    EXPECT_EQ("2", ChildrenOf(shared, "request")[0].second);

    std::string extra = Plain(parser.MakeKeepRequestData("UA", "CID", "TK", "4", "6", "M", "LT",
                                                         "<wifi a=\"1\"><n>x</n></wifi>", -1));
    expectTags({"local-time", "shared", "wifi"}, extra);
    EXPECT_NE(std::string::npos, extra.find("<wifi a=\"1\"><n>x</n></wifi>"));
    EXPECT_EQ("-1", ChildrenOf(extra, "request")[1].second);
}

// A value the XML layer refuses must not leave a request that looks complete but lacks a field:
// the builder gives nothing, and the caller's failure path runs instead of a send.
TEST_F(PortalRequests, ARefusedValueFailsTheWholeRequest) {
    const char* bad = "a\x01b";
    EXPECT_TRUE(parser.MakeAuthRequestData("UA", "CID", bad, "pw", "TK", "LT").IsEmpty());
    EXPECT_TRUE(parser.MakeAuthRequestData("UA", "CID", "user", "p\x1Bw", "TK", "LT").IsEmpty());
    EXPECT_TRUE(parser.MakeTickRequestData(bad, "UA", "CID", "4", "6", "M", "LT", "OS").IsEmpty());
    EXPECT_TRUE(
        parser.MakeKeepRequestData("UA", "CID", bad, "4", "6", "M", "LT", nullptr, 0).IsEmpty());
    EXPECT_TRUE(parser.MakeKeepRequestData("UA", "CID", "TK", "4", "6", "M", "LT", "<a><b></a>", 0)
                    .IsEmpty());
    EXPECT_TRUE(parser.MakeTermRequestData("UA", "CID", "TK", "LT", bad).IsEmpty());
    EXPECT_TRUE(parser.MakeStateRequestData("UA", bad, "TK", "LT").IsEmpty());
    EXPECT_TRUE(parser.MakeTerminalRequestData(bad, "CID", "LT").IsEmpty());
}

TEST_F(PortalRequests, NonAsciiAccountsGoOutComplete) {
    // 张三 in UTF-8, and 中文 in GB18030 with a domain suffix (a terminal in a GBK locale).
    for (const std::string account : {"\xE5\xBC\xA0\xE4\xB8\x89", "\xD6\xD0\xCE\xC4@campus"}) {
        const std::string doc =
            Wire(parser.MakeAuthRequestData("UA", "CID", account.c_str(), "pw", "TK", "LT"));
        EXPECT_NE(std::string::npos, doc.find("<userid><![CDATA[" + account + "]]></userid>"))
            << doc;
    }
}

TEST_F(PortalRequests, LogoutStateAndTerminalRequests) {
    EXPECT_EQ(
        (Children{{"reason", "7"},
                  {"local-time", "LT"},
                  {"ticket", "TK"},
                  {"client-id", "CID"},
                  {"user-agent", "UA"}}),
        ChildrenOf(Plain(parser.MakeTermRequestData("UA", "CID", "TK", "LT", "7")), "request"));
    EXPECT_EQ(
        (Children{
            {"local-time", "LT"}, {"ticket", "TK"}, {"client-id", "CID"}, {"user-agent", "UA"}}),
        ChildrenOf(Plain(parser.MakeStateRequestData("UA", "CID", "TK", "LT")), "request"));
    EXPECT_EQ((Children{{"local-time", "LT"}, {"client-id", "CID"}, {"user-agent", ""}}),
              ChildrenOf(Plain(parser.MakeTerminalRequestData(nullptr, "CID", "LT")), "request"));
}

TEST_F(PortalRequests, MarkupInValuesStillGivesWellFormedDocuments) {
    std::string doc = Plain(parser.MakeStateRequestData("UA</user-agent><x>", "a&b", "<t>", "\"'"));
    CMarkup xml;
    ASSERT_TRUE(xml.SetDoc(doc.c_str())) << doc;
    EXPECT_EQ((Children{{"local-time", "\"'"},
                        {"ticket", "<t>"},
                        {"client-id", "a&b"},
                        {"user-agent", "UA</user-agent><x>"}}),
              ChildrenOf(doc, "request"));
}

// Answers: coded by the same module as the portal codes them.
TEST_F(PortalRequests, AnswersAreReadInAnyOrder) {
    CAutoString ticket("old");
    int expire = -5;
    ASSERT_EQ(0, CPortalParser::ReadTickResponse("<response><ticket>T0</ticket></response>", ticket,
                                                 expire));
    EXPECT_EQ(ticket, "T0");
    EXPECT_EQ(-5, expire);  // missing: untouched
    CAutoString body = parser.EncodePostRequestData(
        "<?xml version=\"1.0\"?><response><expire>3600</expire><x/><ticket>T1</ticket></response>");
    ASSERT_EQ(0, parser.ParserTickResponse(body, ticket, expire));
    EXPECT_EQ(ticket, "T1");
    EXPECT_EQ(3600, expire);

    CAutoString userid, keepUrl("k"), termUrl, userConfig, domainConfig("d");
    int keepRetry = 9;
    body = parser.EncodePostRequestData(
        "<response><user-config><logout-delay>60</logout-delay></user-config><term-url>TU</"
        "term-url>"
        "<keep-retry>3x</keep-retry><userid>u@campus</userid></response>");
    ASSERT_EQ(0, parser.ParserAuthResponse(body, userid, keepRetry, keepUrl, termUrl, userConfig,
                                           domainConfig));
    EXPECT_EQ(userid, "u@campus");
    EXPECT_EQ(3, keepRetry);
    EXPECT_EQ(keepUrl, "k");
    EXPECT_EQ(termUrl, "TU");
    EXPECT_EQ(userConfig, "<user-config><logout-delay>60</logout-delay></user-config>");
    EXPECT_EQ(domainConfig, "d");

    int interval = 1, level = 2;
    body = parser.EncodePostRequestData(
        "<response><level>abc</level><interval>45</interval></response>");
    ASSERT_EQ(0, parser.ParserKeepResponse(body, interval, level));
    EXPECT_EQ(45, interval);
    EXPECT_EQ(0, level);
}

// The portal answers in UTF-8; what the parsers see has been converted to GB18030.
TEST_F(PortalRequests, AnswersCarryingChineseTextAreRead) {
    const std::string zhang = "\xE5\xBC\xA0\xE4\xB8\x89";  // 张三
    const std::string zhangGb = "\xD5\xC5\xC8\xFD";
    const std::string note = "<note>\xE6\xA0\xA1\xE5\x9B\xAD</note>";  // 校园
    CAutoString ticket;
    int expire = 0;
    ASSERT_EQ(
        0,
        parser.ParserTickResponse(
            parser.EncodePostRequestData(
                ("<response>" + note + "<ticket>T1</ticket><expire>9</expire></response>").c_str()),
            ticket, expire));
    EXPECT_EQ(ticket, "T1");

    CAutoString userid, keepUrl, termUrl, userConfig, domainConfig;
    int keepRetry = 0;
    const std::string login = "<response><userid>" + zhang + "</userid>" + note +
                              "<keep-retry>2</keep-retry><user-config><against><process "
                              "displayname=\"" +
                              zhang + "\">p</process></against></user-config></response>";
    ASSERT_EQ(0, parser.ParserAuthResponse(parser.EncodePostRequestData(login.c_str()), userid,
                                           keepRetry, keepUrl, termUrl, userConfig, domainConfig));
    EXPECT_EQ(userid.ToStdString(), zhangGb);
    EXPECT_EQ(2, keepRetry);
    EXPECT_NE(std::string::npos, userConfig.ToStdString().find("displayname=\"" + zhangGb));

    int interval = 0, level = 0;
    ASSERT_EQ(0, parser.ParserKeepResponse(
                     parser.EncodePostRequestData(
                         ("<response><interval>5</interval>" + note + "</response>").c_str()),
                     interval, level));
    EXPECT_EQ(5, interval);
}

TEST_F(PortalRequests, AnswersWithoutResponseRootAreRefused) {
    CAutoString ticket("old");
    int expire = 7;
    for (const char* doc : {"<result><ticket>T</ticket><expire>1</expire></result>",
                            "<response><ticket>T</ticket>", "ticket=T"}) {
        EXPECT_EQ(-1, parser.ParserTickResponse(parser.EncodePostRequestData(doc), ticket, expire))
            << doc;
    }
    // A body the module cannot decode.
    EXPECT_EQ(-1,
              parser.ParserTickResponse("<response><ticket>T</ticket></response>", ticket, expire));
    EXPECT_EQ(-1, parser.ParserTickResponse(nullptr, ticket, expire));
    EXPECT_EQ(ticket, "old");
    EXPECT_EQ(7, expire);

    int interval = 1, level = 2;
    EXPECT_EQ(-1, parser.ParserKeepResponse(
                      parser.EncodePostRequestData("<result><interval>4</interval></result>"),
                      interval, level));
    EXPECT_EQ(1, interval);
}
