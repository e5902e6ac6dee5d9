// Request header block, body coding in both directions, code-page conversion and algorithm
// renewal, ending with one coded conversation with a loopback server that uses the same module.
#include "CPortalParser.h"

#include <gtest/gtest.h>
#include <httplib.h>

#include <string>
#include <thread>
#include <vector>

#include "CMD5.h"
#include "CPortalConn.h"
#include "CZsmHelper.h"
#include "TestSupport.h"

using orvane_test::readFile;
using orvane_test::TempDir;
using orvane_test::writeFile;

// Installs a configuration record into a connection, as start-up would.
class CPortalConnTestAccess {
public:
    static CAuthConfig& Conf(CPortalConn& conn) {
        if (conn.m_pPortalConf == nullptr)
            conn.m_pPortalConf = new CAuthConfig();
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
        CZsmHelper::GetInst()->SetTempDir(dir.path().c_str());
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
    httplib::Headers headers;
    for (const std::string& line : lines(conn.GetRequestHead(body).ToStdString())) {
        const size_t colon = line.find(':');
        if (line.rfind("Connection", 0) != 0)
            headers.emplace(line.substr(0, colon), line.substr(colon + 1));
    }
    httplib::Client client("127.0.0.1", port);
    client.set_connection_timeout(2);
    client.set_read_timeout(5);
    auto res = client.Post("/auth", headers, body.c_str(), body.GetLength(), "text/plain");
    server.stop();
    serving.join();
    ASSERT_TRUE(res);
    EXPECT_EQ(res->get_header_value("Error-Code"), "0");
    EXPECT_EQ(received, doc);
    EXPECT_EQ(parser.DecodePostResponseData(res->body.c_str()).ToStdString(), kGb18030);
}

}  // namespace
