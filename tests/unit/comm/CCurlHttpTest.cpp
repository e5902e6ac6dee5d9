// CCurlHttp against a cpp-httplib server on a free loopback port, started and stopped by each test.
#include "CCurlHttp.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "TestSupport.h"
#include "TlsTestServer.h"

using orvane_test::readFile;
using orvane_test::TempDir;
using orvane_test::waitFor;
using std::chrono::milliseconds;
using std::chrono::seconds;
using std::chrono::steady_clock;

namespace {

// The bytes of the download resource: position-dependent, so a misplaced range shows.
std::string PackageBytes(size_t len) {
    std::string bytes(len, '\0');
    for (size_t i = 0; i < len; ++i)
        bytes[i] = static_cast<char>('a' + (i * 7 + i / 26) % 26);
    return bytes;
}

const size_t kPackageLen = 3000;

class CCurlHttpTest : public ::testing::Test {
protected:
    void SetUp() override {
        AddRoutes();
        m_port = m_server.bind_to_any_port("127.0.0.1");
        ASSERT_GT(m_port, 0);
        m_thread = std::thread([this] { m_server.listen_after_bind(); });
        ASSERT_TRUE(waitFor([this] { return m_server.is_running(); }, seconds(5)));
    }

    void TearDown() override {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_released = true;  // a held-back answer ends now, so stop() need not wait for it
        }
        m_cv.notify_all();
        if (m_thread.joinable()) {
            waitFor([this] { return m_server.is_running(); }, seconds(5));
            m_server.stop();
            m_thread.join();
        }
    }

    void AddRoutes() {
        m_server.Get("/redirect", [this](const httplib::Request&, httplib::Response& res) {
            res.set_redirect(Url("/target"));
        });
        m_server.Get("/target", [](const httplib::Request&, httplib::Response& res) {
            res.set_content("arrived", "text/plain");
        });
        m_server.Get("/missing", [](const httplib::Request&, httplib::Response& res) {
            res.status = 404;
            res.set_content("no such page", "text/plain");
        });
        m_server.Get("/stall", [this](const httplib::Request&, httplib::Response& res) {
            std::unique_lock<std::mutex> lock(m_mutex);
            m_cv.wait_for(lock, seconds(5), [this] { return m_released; });
            res.set_content("late", "text/plain");
        });
        m_server.Post("/echo", [this](const httplib::Request& req, httplib::Response& res) {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_received = req;
            res.set_content(req.body, "application/octet-stream");
        });
        m_server.Get("/", [this](const httplib::Request& req, httplib::Response& res) {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_received = req;
            res.set_content("root", "text/plain");
        });
        m_server.Get("/package", [this](const httplib::Request& req, httplib::Response& res) {
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                m_received = req;
            }
            res.set_content(PackageBytes(kPackageLen), "application/octet-stream");
        });
        m_server.Get("/flood", [](const httplib::Request&, httplib::Response& res) {
            // 64 MiB without a length, as a server that lists one size and sends without end.
            res.set_chunked_content_provider("application/octet-stream",
                                             [](size_t offset, httplib::DataSink& sink) {
                                                 static const std::string block(64 * 1024, 'F');
                                                 if (offset >= (64u << 20)) {
                                                     sink.done();
                                                     return true;
                                                 }
                                                 return sink.write(block.data(), block.size());
                                             });
        });
        m_server.Get("/to-file", [](const httplib::Request&, httplib::Response& res) {
            res.set_redirect("file:///etc/hostname");
        });
        m_server.Get("/huge", [](const httplib::Request&, httplib::Response& res) {
            const size_t total = CCurlHttp::kMaxResponseBytes + 4096;
            res.set_content_provider(total, "application/octet-stream",
                                     [](size_t offset, size_t length, httplib::DataSink& sink) {
                                         static const std::string block(64 * 1024, 'x');
                                         (void)offset;
                                         return sink.write(block.data(),
                                                           std::min(length, block.size()));
                                     });
        });
    }

    std::string Url(const std::string& path) const {
        return "http://127.0.0.1:" + std::to_string(m_port) + path;
    }

    httplib::Request Received() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_received;
    }

    httplib::Server m_server;
    std::thread m_thread;
    int m_port = 0;
    std::mutex m_mutex;
    std::condition_variable m_cv;
    bool m_released = false;
    httplib::Request m_received;
};

TEST_F(CCurlHttpTest, RedirectAnsweredOrFollowed) {
    const std::string url = Url("/redirect");
    CHttpData data(true);
    data.szUrl = url.c_str();
    data.bRedirect = false;
    EXPECT_EQ(CCurlHttp::Perform(&data), 0);
    EXPECT_EQ(data.retCode, 302);
    EXPECT_NE(std::string(data.RespHead()).find("Location: " + Url("/target") + "\r\n"),
              std::string::npos);
    EXPECT_EQ(data.GetHeadAttri("Location"), Url("/target").c_str());

    // Followed: the header blocks of both answers, one after the other, and the final body.
    data.bRedirect = true;
    EXPECT_EQ(CCurlHttp::Perform(&data), 0);
    EXPECT_EQ(data.retCode, 200);
    EXPECT_STREQ(data.RespData(), "arrived");
    EXPECT_EQ(data.dwDataLen, 7u);
    const std::string head = data.RespHead();
    const size_t first = head.find("HTTP/1.1 302");
    ASSERT_NE(first, std::string::npos);
    EXPECT_NE(head.find("HTTP/1.1 200", first), std::string::npos);
}

TEST_F(CCurlHttpTest, ErrorStatusStoresNoBodyAndDropsAnEarlierAnswer) {
    const std::string good = Url("/target");
    const std::string bad = Url("/missing");
    CHttpData data(true);
    data.szUrl = good.c_str();
    ASSERT_EQ(CCurlHttp::Perform(&data), 0);
    data.szUrl = bad.c_str();
    EXPECT_EQ(CCurlHttp::Perform(&data), -3);
    EXPECT_EQ(data.retCode, 404);
    EXPECT_EQ(data.szRespData, nullptr);
    EXPECT_STREQ(data.RespData(), "");
    EXPECT_STREQ(data.RespHead(), "");
}

TEST_F(CCurlHttpTest, MissingUrlSendsNothing) {
    CHttpData data(true);
    EXPECT_EQ(CCurlHttp::Perform(nullptr), -1);
    EXPECT_EQ(CCurlHttp::Perform(&data), -1);
    data.szUrl = "";
    EXPECT_EQ(CCurlHttp::Perform(&data), -1);
    EXPECT_EQ(data.retCode, 0);
}

TEST_F(CCurlHttpTest, StalledServerFailsWithinTheLimitInMilliseconds) {
    const std::string url = Url("/stall");
    CHttpData data(true);
    data.szUrl = url.c_str();
    data.dwTimeOut = 1000;
    const auto start = steady_clock::now();
    EXPECT_EQ(CCurlHttp::Perform(&data), -4);
    const auto took = steady_clock::now() - start;
    EXPECT_EQ(data.retCode, 28);  // libcurl's "operation timed out"
    EXPECT_GE(took, milliseconds(900));
    EXPECT_LT(took, milliseconds(2000));
}

TEST_F(CCurlHttpTest, PostSendsBodyAndHeadersExactly) {
    const std::string url = Url("/echo");
    const std::string body("coded\0body\r\nwith bytes", 22);
    CHttpData data(true);
    data.szUrl = url.c_str();
    data.szVerb = "post";
    data.szPostData = body.data();
    data.dwPostDataLen = body.size();
    // Two lines, the second without its CR LF: both must be sent.
    data.szHead = "Algo-ID: 0123-abcd\r\nVXR-Checksum: 9e107d9d372bb6826bd81d3542a419d6";
    ASSERT_EQ(CCurlHttp::Perform(&data), 0);
    const httplib::Request got = Received();
    EXPECT_EQ(got.method, "POST");
    EXPECT_EQ(got.body, body);
    EXPECT_EQ(got.get_header_value("Algo-ID"), "0123-abcd");
    EXPECT_EQ(got.get_header_value("VXR-Checksum"), "9e107d9d372bb6826bd81d3542a419d6");
    EXPECT_EQ(data.dwDataLen, body.size());
    EXPECT_EQ(std::string(data.RespData(), data.dwDataLen), body);
}

TEST_F(CCurlHttpTest, PostWithoutLengthSendsTextUpToItsEnd) {
    const std::string url = Url("/echo");
    CHttpData data(true);
    data.szUrl = url.c_str();
    data.szVerb = "POST";
    data.szPostData = "<M>text</M>";
    data.szHead = "A: 1\r\n\r\nB: 2\r\n";
    ASSERT_EQ(CCurlHttp::Perform(&data), 0);
    const httplib::Request got = Received();
    EXPECT_EQ(got.body, "<M>text</M>");
    EXPECT_EQ(got.get_header_value("A"), "1");
    EXPECT_EQ(got.get_header_value("B"), "2");

    data.szPostData = nullptr;  // no body at all: an empty one, never standard input
    ASSERT_EQ(CCurlHttp::Perform(&data), 0);
    EXPECT_EQ(Received().body, "");
}

TEST_F(CCurlHttpTest, UrlIsPretreatedBeforeSending) {
    const std::string url = "http://127.0.0.1:" + std::to_string(m_port) + "?x=1&amp;y=2";
    CHttpData data(true);
    data.szUrl = url.c_str();
    ASSERT_EQ(CCurlHttp::Perform(&data), 0);
    const httplib::Request got = Received();
    EXPECT_EQ(got.path, "/");
    EXPECT_EQ(got.get_param_value("x"), "1");
    EXPECT_EQ(got.get_param_value("y"), "2");
}

TEST_F(CCurlHttpTest, OversizedAnswerIsRefused) {
    const std::string url = Url("/huge");
    CHttpData data(true);
    data.szUrl = url.c_str();
    data.dwTimeOut = 20000;
    EXPECT_EQ(CCurlHttp::Perform(&data), -4);
    EXPECT_EQ(data.retCode, 23);  // the write routine refused the block
    EXPECT_EQ(data.szRespData, nullptr);
}

TEST_F(CCurlHttpTest, OnlyHttpAndHttpsAreSpoken) {
    TempDir dir;
    ASSERT_TRUE(orvane_test::writeFile(dir.file("secret"), "local secret"));
    const std::string fileUrl = "file://" + dir.file("secret");
    CHttpData data(true);
    data.szUrl = fileUrl.c_str();
    EXPECT_EQ(CCurlHttp::Perform(&data), -4);
    EXPECT_EQ(data.retCode, 1);  // unsupported protocol
    EXPECT_STREQ(data.RespData(), "");

    const std::string hop = Url("/to-file");
    data.szUrl = hop.c_str();
    EXPECT_EQ(CCurlHttp::Perform(&data), -4);
    EXPECT_EQ(data.retCode, 1);

    EXPECT_FALSE(CCurlHttp::downLoad(CAutoString(fileUrl.c_str()), dir.file("copy").c_str()));
    EXPECT_EQ(readFile(dir.file("copy")), "");
}

TEST_F(CCurlHttpTest, ThreadsTransferAtTheSameTime) {
    const std::string url = Url("/echo");
    std::atomic<int> good{0};
    std::vector<std::thread> workers;
    for (int i = 0; i < 4; ++i) {
        workers.emplace_back([&url, &good, i] {
            for (int round = 0; round < 5; ++round) {
                const std::string body =
                    "thread " + std::to_string(i) + " round " + std::to_string(round);
                CHttpData data(true);
                data.szUrl = url.c_str();
                data.szVerb = "POST";
                data.szPostData = body.c_str();
                if (CCurlHttp::Perform(&data) == 0 && body == data.RespData())
                    ++good;
            }
        });
    }
    for (std::thread& worker : workers)
        worker.join();
    EXPECT_EQ(good.load(), 20);
}

// A socket bound to a loopback port but not listening: connecting to it is refused, and the
// port cannot be taken by anyone else while the test runs.
TEST(CCurlHttpUnreachable, RefusedConnectionIsATransferFailure) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(fd, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(addr);
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&addr), len), 0);
    ASSERT_EQ(getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len), 0);
    const std::string url = "http://127.0.0.1:" + std::to_string(ntohs(addr.sin_port)) + "/";
    CHttpData data(true);
    data.szUrl = url.c_str();
    EXPECT_EQ(CCurlHttp::Perform(&data), -4);
    EXPECT_EQ(data.retCode, 7);  // could not connect
    close(fd);
}

TEST_F(CCurlHttpTest, DownloadResumesAfterTheBytesOnDisk) {
    TempDir dir;
    const std::string whole = PackageBytes(kPackageLen);
    const std::string path = dir.file("pkg.tar.gz");
    ASSERT_TRUE(orvane_test::writeFile(path, whole.substr(0, 1000)));
    const std::string url = Url("/package");
    CHttpData data(true);
    data.szUrl = url.c_str();
    data.dwTimeOut = 15000;
    EXPECT_TRUE(CCurlHttp::downLoad(&data, CAutoString(path.c_str())));
    EXPECT_EQ(Received().get_header_value("Range"), "bytes=1000-");
    EXPECT_EQ(readFile(path), whole);

    // The file is complete: a second run succeeds and leaves it as it is.
    EXPECT_TRUE(CCurlHttp::downLoad(&data, CAutoString(path.c_str())));
    EXPECT_EQ(readFile(path), whole);
}

TEST_F(CCurlHttpTest, DownloadByUrlFromScratchAndAfterPartialFile) {
    TempDir dir;
    const std::string whole = PackageBytes(kPackageLen);
    const CAutoString url(Url("/package").c_str());
    EXPECT_TRUE(CCurlHttp::downLoad(url, CAutoString(dir.file("fresh").c_str())));
    EXPECT_FALSE(Received().has_header("Range"));
    EXPECT_EQ(readFile(dir.file("fresh")), whole);

    ASSERT_TRUE(orvane_test::writeFile(dir.file("part"), whole.substr(0, 2999)));
    EXPECT_TRUE(CCurlHttp::downLoad(url, CAutoString(dir.file("part").c_str())));
    EXPECT_EQ(readFile(dir.file("part")), whole);
}

TEST_F(CCurlHttpTest, DownloadNeverWritesThroughALinkAndNewFilesAreTheOwnersAlone) {
    TempDir dir;
    const CAutoString url(Url("/package").c_str());
    ASSERT_TRUE(orvane_test::writeFile(dir.file("victim"), "keep me"));
    ASSERT_EQ(symlink(dir.file("victim").c_str(), dir.file("pkg").c_str()), 0);
    EXPECT_FALSE(CCurlHttp::downLoad(url, CAutoString(dir.file("pkg").c_str())));
    EXPECT_EQ(readFile(dir.file("victim")), "keep me");

    const mode_t old = umask(0);
    const bool fetched = CCurlHttp::downLoad(url, CAutoString(dir.file("fresh").c_str()));
    umask(old);
    EXPECT_TRUE(fetched);
    struct stat st;
    ASSERT_EQ(stat(dir.file("fresh").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(CCurlHttpTest, FailedDownloadReportsFailureAndKeepsTheFile) {
    TempDir dir;
    const std::string path = dir.file("pkg");
    ASSERT_TRUE(orvane_test::writeFile(path, "partial"));
    const std::string missing = Url("/missing");
    CHttpData data(true);
    data.szUrl = missing.c_str();
    EXPECT_FALSE(CCurlHttp::downLoad(&data, CAutoString(path.c_str())));
    EXPECT_FALSE(CCurlHttp::downLoad(CAutoString(missing.c_str()), CAutoString(path.c_str())));
    EXPECT_EQ(readFile(path), "partial");  // no error page appended

    data.szUrl = "";
    EXPECT_FALSE(CCurlHttp::downLoad(&data, CAutoString(path.c_str())));
    const std::string url = Url("/package");
    data.szUrl = url.c_str();
    EXPECT_FALSE(CCurlHttp::downLoad(&data, CAutoString(dir.file("no/such/dir").c_str())));
}

struct LimitCase {
    const char* name;
    const char* path;  // "/package": 3000 bytes with their length; "/flood": 64 MiB without one
    size_t onDisk;     // bytes of the package in the file before the download
    uint64_t limit;
    bool fetched;
};

class DownloadLimitTest : public CCurlHttpTest, public ::testing::WithParamInterface<LimitCase> {};

// However the server sends, the file never grows past the limit, the download says why it
// stopped, and it stops at once rather than reading the rest.
TEST_P(DownloadLimitTest, TheFileNeverGrowsPastTheLimit) {
    const LimitCase& c = GetParam();
    TempDir dir;
    const std::string path = dir.file("pkg");
    const std::string whole = PackageBytes(kPackageLen);
    ASSERT_TRUE(orvane_test::writeFile(path, whole.substr(0, c.onDisk)));
    const std::string url = Url(c.path);
    CHttpData data(true);
    data.szUrl = url.c_str();
    data.dwTimeOut = 15000;
    data.dwMaxFileBytes = c.limit;
    const auto began = steady_clock::now();
    EXPECT_EQ(c.fetched, CCurlHttp::downLoad(&data, CAutoString(path.c_str())));
    EXPECT_EQ(!c.fetched, data.bFileTooLarge);
    EXPECT_LT(steady_clock::now() - began, seconds(10));
    const std::string got = readFile(path);
    if (c.fetched) {
        EXPECT_EQ(whole, got);
        return;
    }
    EXPECT_LE(got.size(), std::max<size_t>(c.limit, c.onDisk));
    EXPECT_EQ(whole.substr(0, c.onDisk), got.substr(0, c.onDisk));
}

INSTANTIATE_TEST_SUITE_P(
    Limits, DownloadLimitTest,
    ::testing::Values(LimitCase{"Whole", "/package", 0, kPackageLen, true},
                      LimitCase{"Resumed", "/package", 1000, kPackageLen, true},
                      LimitCase{"AnnouncedPastTheLimit", "/package", 0, 1000, false},
                      LimitCase{"ResumedPastTheLimit", "/package", 500, 1000, false},
                      LimitCase{"Flood", "/flood", 0, 1000, false},
                      LimitCase{"FileAlreadyPastTheLimit", "/package", 2000, 1000, false}),
    [](const auto& info) { return std::string(info.param.name); });

enum class Issued { FOR_THE_HOST, FOR_ANOTHER_NAME };

struct TlsCase {
    const char* name;
    Issued issued;
    bool verify;       // bVerifyPeer
    bool trustTestCa;  // szCaFile names the test authority (else the system's store)
    int performs;      // Perform's result
    bool downloads;    // downLoad always checks
};

class CCurlHttpTlsTest : public ::testing::TestWithParam<TlsCase> {};

// Certificates are checked exactly when asked for (the update server and the statistics report)
// and always for downloads: the chain must lead to a trusted authority and the certificate
// must name the host. Without the check (portal conversations) any certificate is taken.
TEST_P(CCurlHttpTlsTest, CertificatesAreCheckedWhenAsked) {
    const TlsCase& c = GetParam();
    TempDir dir;
    orvane_test::TestCertificates certs(dir);
    if (!certs.made)
        GTEST_SKIP() << "the openssl command cannot make test certificates here";
    const bool host = c.issued == Issued::FOR_THE_HOST;
    orvane_test::TlsTestServer tls(host ? certs.hostCert : certs.otherCert,
                                   host ? certs.hostKey : certs.otherKey);
    tls.Server().Get("/", [](const httplib::Request&, httplib::Response& res) {
        res.set_content("root", "text/plain");
    });
    ASSERT_TRUE(tls.Start());
    const std::string url = tls.Url("/");
    CHttpData data(true);
    data.szUrl = url.c_str();
    data.bVerifyPeer = c.verify;
    data.szCaFile = c.trustTestCa ? certs.caFile.c_str() : nullptr;
    EXPECT_EQ(c.performs, CCurlHttp::Perform(&data)) << data.retCode;
    EXPECT_STREQ(c.performs == 0 ? "root" : "", data.RespData());
    EXPECT_EQ(c.downloads, CCurlHttp::downLoad(&data, CAutoString(dir.file("got").c_str())));
    EXPECT_EQ(c.downloads ? "root" : "", readFile(dir.file("got")));
}

INSTANTIATE_TEST_SUITE_P(
    Certificates, CCurlHttpTlsTest,
    ::testing::Values(
        TlsCase{"UncheckedTakesAnyAuthority", Issued::FOR_THE_HOST, false, false, 0, false},
        TlsCase{"UncheckedTakesAnyName", Issued::FOR_ANOTHER_NAME, false, true, 0, false},
        TlsCase{"UnknownAuthorityRefused", Issued::FOR_THE_HOST, true, false, -4, false},
        TlsCase{"TrustedAuthorityAndNameTaken", Issued::FOR_THE_HOST, true, true, 0, true},
        TlsCase{"WrongNameRefused", Issued::FOR_ANOTHER_NAME, true, true, -4, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(CCurlHttpPretreat, SlashBeforeQueryAndPlainAmpersands) {
    struct Case {
        const char* in;
        const char* out;
    } cases[] = {
        {"http://10.0.0.1?wlanuserip=1.2.3.4&x=y", "http://10.0.0.1/?wlanuserip=1.2.3.4&x=y"},
        {"http://10.0.0.1:8080?a=1", "http://10.0.0.1:8080/?a=1"},
        {"http://10.0.0.1/p?a=1&amp;b=2", "http://10.0.0.1/p?a=1&b=2"},
        {"http://10.0.0.1/p?next=http://x?y", "http://10.0.0.1/p?next=http://x?y"},
        {"http://10.0.0.1", "http://10.0.0.1"},
        {"a=1&amp;b=2&amp;amp;c", "a=1&b=2&amp;c"},
    };
    for (const Case& c : cases) {
        CAutoString url(c.in);
        CCurlHttp::PretreatUrl(url);
        EXPECT_STREQ(url.c_str(), c.out) << c.in;
    }
    CAutoString null;
    CCurlHttp::PretreatUrl(null);
    EXPECT_TRUE(null.IsNull());
}

}  // namespace
