// The traffic report: the kilobyte text, the documents, the exact header block, and whole reports
// posted to a statistics server on loopback (opened with the same keys) from a fake counter file.
#include "CTrafficStatistics.h"

#include <cjson/cJSON.h>
#include <gtest/gtest.h>
#include <httplib.h>

#include <filesystem>
#include <mutex>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "CAes.h"
#include "CCurlHttp.h"
#include "TestSupport.h"
#include "TlsTestServer.h"

using orvane_test::TempDir;
using orvane_test::waitFor;
using orvane_test::writeFile;
using namespace std::chrono_literals;

namespace {

std::string FromHex(const std::string& hex) {
    std::string out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return out;
}

// Undoes one layer: hexadecimal text, AES-CBC with PKCS#7 under key and iv.
std::string Open(const std::string& hex, const char* key, const char* iv) {
    std::string plain;
    EXPECT_TRUE(CAes::Decrypt(CAes::MODE_CBC, CAes::PAD_PKCS7, key, iv, FromHex(hex), plain));
    return plain;
}

// The report inside a posted body, as the statistics server reads it.
std::string OpenBody(const std::string& body) {
    const std::string submit =
        Open(body, CTrafficStatistics::szSecretKey, CTrafficStatistics::szSecretIV);
    cJSON* array = cJSON_Parse(submit.c_str());
    const cJSON* token = cJSON_GetObjectItemCaseSensitive(cJSON_GetArrayItem(array, 0), "token");
    std::string report;
    if (cJSON_IsString(token))
        report = Open(token->valuestring, CTrafficStatistics::szSecretKey_t,
                      CTrafficStatistics::szSecretIV_t);
    cJSON_Delete(array);
    return report;
}

std::string Member(const std::string& json, const char* name) {
    cJSON* doc = cJSON_Parse(json.c_str());
    const cJSON* item = cJSON_GetObjectItemCaseSensitive(doc, name);
    std::string out = cJSON_IsString(item)   ? item->valuestring
                      : cJSON_IsNumber(item) ? std::to_string(item->valueint)
                                             : "<none>";
    cJSON_Delete(doc);
    return out;
}

// A statistics server on a free loopback port that keeps every request it receives.
class StatsServer {
public:
    StatsServer() {
        m_server.Post("/stats", [this](const httplib::Request& req, httplib::Response& res) {
            std::lock_guard<std::mutex> guard(m_lock);
            m_posts.push_back(req);
            res.set_content("{\"code\":0}", "application/json");
        });
        m_server.Post("/moved", [this](const httplib::Request&, httplib::Response& res) {
            res.set_redirect(Url("/stats"));
        });
        m_port = m_server.bind_to_any_port("127.0.0.1");
        m_thread = std::thread([this] { m_server.listen_after_bind(); });
        waitFor([this] { return m_server.is_running(); }, 5s);
    }
    ~StatsServer() {
        m_server.stop();
        m_thread.join();
    }
    std::string Url(const std::string& path) const {
        return "http://127.0.0.1:" + std::to_string(m_port) + path;
    }
    std::vector<httplib::Request> Posts() {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_posts;
    }

private:
    httplib::Server m_server;
    int m_port = 0;
    std::thread m_thread;
    std::mutex m_lock;
    std::vector<httplib::Request> m_posts;
};

// A kernel file tree whose default route runs over eth1 with the given counters.
class FakeCounters {
public:
    FakeCounters() {
        std::filesystem::create_directories(dir.path() + "/proc/net");
        writeFile(
            dir.path() + "/proc/net/route",
            "Iface\tDestination\tGateway\tFlags\tRefCnt\tUse\tMetric\tMask\tMTU\tWindow\tIRTT\n"
            "eth1\t00000000\t0102000A\t0003\t0\t0\t0\t00000000\t0\t0\t0\n");
    }
    void Set(unsigned long received, unsigned long sent) {
        writeFile(dir.path() + "/proc/net/dev",
                  "Inter-|   Receive |  Transmit\n face |bytes packets|bytes packets\n  eth1: " +
                      std::to_string(received) + " 1 0 0 0 0 0 0 " + std::to_string(sent) +
                      " 1 0 0 0 0 0 0\n");
    }
    void Remove() { std::filesystem::remove(dir.path() + "/proc/net/dev"); }
    TempDir dir;
};

}  // namespace

// Thousandths cut off, never rounded; six significant digits; exponent form from a million.
TEST(TrafficStatisticsTest, KilobyteTextCutsToThousandthsAndWritesAsAStreamDoes) {
    EXPECT_EQ("1.5", CTrafficStatistics::KilobyteText(1536));
    EXPECT_EQ("0", CTrafficStatistics::KilobyteText(0));
    EXPECT_EQ("0", CTrafficStatistics::KilobyteText(1));         // 0.0009765 KB
    EXPECT_EQ("1.999", CTrafficStatistics::KilobyteText(2047));  // 1.99902 would round to 2
    EXPECT_EQ("0.976", CTrafficStatistics::KilobyteText(1000));
    EXPECT_EQ("999999", CTrafficStatistics::KilobyteText(999999ull * 1024));
    EXPECT_EQ("1e+06", CTrafficStatistics::KilobyteText(1000000ull * 1024));
    EXPECT_EQ("1.04858e+06", CTrafficStatistics::KilobyteText(1048576ull * 1024));
    // A counter that went back (the adapter was reset) counts nothing rather than wrapping.
    EXPECT_EQ(0u, CTrafficStatistics::CountedSince(5000, 10));
    EXPECT_EQ(4990u, CTrafficStatistics::CountedSince(10, 5000));
}

TEST(TrafficStatisticsTest, DocumentsHaveTheirExactTextAndRefuseMissingValues) {
    CTrafficStatistics stats;
    CAutoString out("untouched");
    ASSERT_EQ(0,
              stats.BuildToken("user1", "school7", 2, "10.2.0.5", "10.2.0.1", "2026-01-02 03:04:05",
                               "2026-01-02 03:09:05", "1.5", "0", 2, 1767323345, out));
    EXPECT_STREQ(
        "{\"account\":\"user1\",\"schoolid\":\"school7\",\"ostype\":2,\"ipv4\":\"10.2.0.5\","
        "\"brasip\":\"10.2.0.1\",\"start\":\"2026-01-02 03:04:05\",\"stop\":\"2026-01-02 "
        "03:09:05\",\"up\":\"1.5\",\"down\":\"0\",\"stattype\":2,\"timestamp\":1767323345}",
        out.c_str());
    // Quotes in a value stay inside their string.
    ASSERT_EQ(0, stats.BuildToken("a\"b", "", 2, "ip", "", "s", "t", "0", "0", 0, 1, out));
    EXPECT_EQ("a\"b", Member(out.ToStdString(), "account"));

    out = "untouched";
    const char* empty = "";
    EXPECT_EQ(-1, stats.BuildToken(empty, "s", 2, "ip", "b", "s", "t", "0", "0", 2, 1, out));
    EXPECT_EQ(-1, stats.BuildToken("u", "s", 2, empty, "b", "s", "t", "0", "0", 2, 1, out));
    EXPECT_EQ(-1, stats.BuildToken("u", "s", 2, "ip", "b", empty, "t", "0", "0", 2, 1, out));
    EXPECT_EQ(-1, stats.BuildToken("u", "s", 2, "ip", "b", "s", empty, "0", "0", 2, 1, out));
    EXPECT_STREQ("untouched", out.c_str());

    ASSERT_EQ(0, stats.BuildSubmitData("0a1b", out));
    EXPECT_STREQ("[{\"token\":\"0a1b\"}]", out.c_str());
    EXPECT_STREQ(
        "Accept: text/javascript, text/html, application/xml, text/xml, */*\r\n"
        "Content-type: text/plain; charset=utf-8\r\nAccept-Encoding: gzip, deflate\r\n"
        "Connection: close\r\nCache-Control: no-cache\r\n",
        CTrafficStatistics::BuildHTTPHead().c_str());
    const unsigned char bytes[] = {0x00, 0x0f, 0xa5, 0xff};
    EXPECT_STREQ("000fa5ff", CTrafficStatistics::Bytes2Hex(bytes, 4).c_str());
}

TEST(TrafficStatisticsTest, EncryptDataIsLowerCaseHexOfCbcWithPkcs7) {
    CTrafficStatistics stats;
    CAutoString hex;
    ASSERT_EQ(0, stats.EncryptData("0123456789abcdef", hex, CTrafficStatistics::szSecretKey_t,
                                   CTrafficStatistics::szSecretIV_t));
    EXPECT_EQ(64u, hex.GetLength());  // 16 bytes plus a whole block of padding
    EXPECT_TRUE(std::regex_match(hex.ToStdString(), std::regex("[0-9a-f]+")));
    EXPECT_EQ("0123456789abcdef", Open(hex.ToStdString(), CTrafficStatistics::szSecretKey_t,
                                       CTrafficStatistics::szSecretIV_t));
    EXPECT_EQ(-1, stats.EncryptData("x", hex, "short key", CTrafficStatistics::szSecretIV_t));
}

// LOGIN only reads; TIMING and LOGOUT post the amounts since login, doubly encrypted.
TEST(TrafficStatisticsTest, ReportsCarryTheTrafficSinceLoginToTheServer) {
    StatsServer server;
    FakeCounters counters;
    CTrafficStatistics stats("/nonexistent", counters.dir.path());
    const CAutoString url(server.Url("/stats").c_str());
    counters.Set(700000, 5000);
    ASSERT_EQ(0, stats.NetworkTrafficStatistics(url, "user1", "s7", "10.2.0.5", "10.2.0.1",
                                                CTrafficStatistics::LOGIN));
    EXPECT_TRUE(server.Posts().empty());
    EXPECT_TRUE(std::regex_match(stats.StartTime().ToStdString(),
                                 std::regex(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d)")));

    counters.Set(700000, 5000 + 1536);
    ASSERT_EQ(0, stats.NetworkTrafficStatistics(url, "user1", "s7", "10.2.0.5", "10.2.0.1",
                                                CTrafficStatistics::TIMING));
    counters.Set(700000 + 2048 * 1024, 5000 + 3072);
    ASSERT_EQ(0, stats.NetworkTrafficStatistics(url, "user1", "s7", "10.2.0.5", "10.2.0.1",
                                                CTrafficStatistics::LOGOUT));
    const std::vector<httplib::Request> posts = server.Posts();
    ASSERT_EQ(2u, posts.size());
    for (const httplib::Request& post : posts) {
        EXPECT_TRUE(std::regex_match(post.body, std::regex("[0-9a-f]+")));
        EXPECT_EQ(0u, post.body.size() % 32);
        EXPECT_EQ("text/plain; charset=utf-8", post.get_header_value("Content-type"));
        EXPECT_EQ("no-cache", post.get_header_value("Cache-Control"));
    }
    const std::string timing = OpenBody(posts[0].body);
    EXPECT_EQ("1.5", Member(timing, "up"));
    EXPECT_EQ("0", Member(timing, "down"));
    EXPECT_EQ("2", Member(timing, "stattype"));
    EXPECT_EQ("2", Member(timing, "ostype"));
    EXPECT_EQ("10.2.0.1", Member(timing, "brasip"));
    EXPECT_EQ(stats.StartTime().ToStdString(), Member(timing, "start"));
    const std::string logout = OpenBody(posts[1].body);
    EXPECT_EQ("3", Member(logout, "up"));
    EXPECT_EQ("2048", Member(logout, "down"));
    EXPECT_EQ("0", Member(logout, "stattype"));
    EXPECT_EQ(stats.StatisticsTime().ToStdString(), Member(logout, "stop"));
}

TEST(TrafficStatisticsTest, NothingIsPostedWithoutCountersAccountAddressOrUrl) {
    StatsServer server;
    FakeCounters counters;
    CTrafficStatistics stats("/nonexistent", counters.dir.path());
    const CAutoString url(server.Url("/stats").c_str());
    const int timing = CTrafficStatistics::TIMING;
    counters.Set(1, 1);
    ASSERT_EQ(0, stats.NetworkTrafficStatistics(url, "u", "", "ip", "", CTrafficStatistics::LOGIN));
    EXPECT_EQ(-1, stats.NetworkTrafficStatistics(url, "", "", "ip", "", timing));
    EXPECT_EQ(-1, stats.NetworkTrafficStatistics(url, "u", "", "", "", timing));
    EXPECT_EQ(-1, stats.NetworkTrafficStatistics("", "u", "", "ip", "", timing));
    EXPECT_EQ(0, stats.NetworkTrafficStatistics(url, "u", "", "ip", "", 7));  // no such type
    counters.Remove();
    EXPECT_EQ(-1, stats.NetworkTrafficStatistics(url, "u", "", "ip", "", timing));
    EXPECT_TRUE(server.Posts().empty());
}

TEST(TrafficStatisticsTest, SubmitNeitherFollowsRedirectsNorHidesFailures) {
    StatsServer server;
    CTrafficStatistics stats;
    const CAutoString head = CTrafficStatistics::BuildHTTPHead();
    EXPECT_EQ(-1, stats.SubmitData("", head, "00"));
    EXPECT_EQ(-1, stats.SubmitData(server.Url("/stats").c_str(), "", "00"));
    EXPECT_EQ(0, stats.SubmitData(server.Url("/moved").c_str(), head, "00"));
    EXPECT_TRUE(server.Posts().empty());  // the redirect was not followed
    EXPECT_EQ(-3, stats.SubmitData(server.Url("/absent").c_str(), head, "00"));
    ASSERT_EQ(0, stats.SubmitData(server.Url("/stats").c_str(), head, "abcd"));
    EXPECT_EQ("abcd", server.Posts().at(0).body);
}

// The report carries the account and its addresses: over https it goes only to a server whose
// certificate a trusted authority issued for its name. The listener here has one from an
// authority nobody trusts, and answers anyone who does not check.
TEST(TrafficStatisticsTest, ReportOverHttpsGoesOnlyToACertifiedServer) {
    TempDir dir;
    orvane_test::TestCertificates certs(dir);
    if (!certs.made)
        GTEST_SKIP() << "the openssl command cannot make test certificates here";
    orvane_test::TlsTestServer tls(certs.hostCert, certs.hostKey);
    std::mutex lock;
    int posts = 0;
    tls.Server().Post("/stats", [&](const httplib::Request&, httplib::Response& res) {
        std::lock_guard<std::mutex> guard(lock);
        ++posts;
        res.set_content("{\"code\":0}", "application/json");
    });
    ASSERT_TRUE(tls.Start());
    const std::string url = tls.Url("/stats");
    CTrafficStatistics stats;
    EXPECT_EQ(-4, stats.SubmitData(url.c_str(), CTrafficStatistics::BuildHTTPHead(), "abcd"));
    {
        std::lock_guard<std::mutex> guard(lock);
        EXPECT_EQ(0, posts);
    }
    CHttpData unchecked(true);
    unchecked.szUrl = url.c_str();
    unchecked.szVerb = "POST";
    unchecked.szPostData = "abcd";
    EXPECT_EQ(0, CCurlHttp::Perform(&unchecked));
    std::lock_guard<std::mutex> guard(lock);
    EXPECT_EQ(1, posts);
}
