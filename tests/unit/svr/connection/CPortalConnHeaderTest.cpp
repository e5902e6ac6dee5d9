// Header text from the network never reaches a later request's header block: a probe answer
// with crafted header lines, served byte for byte by a loopback socket, then the request header
// built from what the connection took, sent through the real transport and read back raw.
#include "CPortalConn.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "CCurlHttp.h"
#include "CHttpData.h"
#include "CInfoCenter.h"
#include "RecordingPortalHost.h"
#include "TestSupport.h"

namespace {

// Answers each connection with the next canned answer, exactly as given, and keeps the bytes of
// every request it received (headers, and a body as long as its Content-Length).
class RawServer {
public:
    explicit RawServer(std::vector<std::string> answers) : m_answers(std::move(answers)) {
        m_fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        if (m_fd < 0 || bind(m_fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
            listen(m_fd, 4) != 0 ||
            getsockname(m_fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
            return;
        m_port = ntohs(addr.sin_port);
        m_thread = std::thread([this] { Serve(); });
    }
    ~RawServer() {
        m_stop = true;
        if (m_thread.joinable())
            m_thread.join();
        if (m_fd >= 0)
            close(m_fd);
    }
    std::string Url(const char* path) const {
        return "http://127.0.0.1:" + std::to_string(m_port) + path;
    }
    std::vector<std::string> Requests() {
        std::lock_guard<std::mutex> lock(m_lock);
        return m_requests;
    }

private:
    void Serve() {
        for (const std::string& answer : m_answers) {
            pollfd p{m_fd, POLLIN, 0};
            while (!m_stop && poll(&p, 1, 100) == 0) {
            }
            if (m_stop)
                return;
            const int client = accept4(m_fd, nullptr, nullptr, SOCK_CLOEXEC);
            if (client < 0)
                return;
            std::string request = ReadRequest(client);
            {
                std::lock_guard<std::mutex> lock(m_lock);
                m_requests.push_back(std::move(request));
            }
            (void)!write(client, answer.data(), answer.size());
            close(client);
        }
    }
    static std::string ReadRequest(int fd) {
        std::string in;
        char buffer[4096];
        for (int rounds = 0; rounds < 200; ++rounds) {
            const size_t end = in.find("\r\n\r\n");
            if (end != std::string::npos) {
                const size_t at = in.find("Content-Length: ");
                const size_t body = at == std::string::npos ? 0 : std::stoul(in.substr(at + 16));
                if (in.size() >= end + 4 + body)
                    return in;
            }
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, 100) <= 0)
                continue;
            const ssize_t n = read(fd, buffer, sizeof buffer);
            if (n <= 0)
                return in;
            in.append(buffer, static_cast<size_t>(n));
        }
        return in;
    }

    std::vector<std::string> m_answers;
    int m_fd = -1;
    int m_port = 0;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
    std::mutex m_lock;
    std::vector<std::string> m_requests;
};

const char kPlainEnd[] = "Content-Length: 0\r\nConnection: close\r\n\r\n";

// The header lines of a raw request, without the request line.
std::vector<std::string> HeaderLines(const std::string& request) {
    std::vector<std::string> lines;
    size_t pos = request.find("\r\n");
    while (pos != std::string::npos) {
        const size_t next = request.find("\r\n", pos + 2);
        if (next == std::string::npos || next == pos + 2)
            break;
        lines.push_back(request.substr(pos + 2, next - pos - 2));
        pos = next;
    }
    return lines;
}

class PortalConnHeaderTest : public ::testing::Test {
protected:
    // Probes a server that answers with headText, then sends one request built by the
    // connection to the same server; returns the raw request it received.
    std::string ProbeThenRequest(const std::string& headText) {
        RawServer server({"HTTP/1.1 200 OK\r\n" + headText + kPlainEnd,
                          std::string("HTTP/1.1 200 OK\r\n") + kPlainEnd});
        const std::string store =
            "<conf><redirect>" + server.Url("/forward.cgi") + "</redirect></conf>";
        EXPECT_TRUE(orvane_test::writeFile(dir.file("conf.xml"), store));
        info = std::make_unique<CInfoCenter>(dir.file("conf.xml").c_str());
        conn = std::make_unique<CPortalConn>(&host, info.get());
        conn->InitPortalConf();
        EXPECT_EQ(0, conn->CheckNetEnv());  // a final page without a configuration block

        const CAutoString body("coded-body");
        const CAutoString head = conn->GetRequestHead(body);
        const std::string url = server.Url("/ticket.cgi");
        CHttpData data(true);
        data.szUrl = url.c_str();
        data.szVerb = "POST";
        data.szHead = head.c_str();
        data.szPostData = body.c_str();
        data.dwTimeOut = 5000;
        EXPECT_EQ(0, CCurlHttp::Perform(&data));
        data.szUrl = data.szHead = data.szPostData = nullptr;
        const std::vector<std::string> requests = server.Requests();
        EXPECT_EQ(2u, requests.size());
        return requests.size() == 2 ? requests[1] : std::string();
    }

    orvane_test::TempDir dir;
    orvane_test::RecordingPortalHost host;
    std::unique_ptr<CInfoCenter> info;
    std::unique_ptr<CPortalConn> conn;
};

bool HasLineStartingWith(const std::vector<std::string>& lines, const std::string& start) {
    for (const std::string& line : lines) {
        if (line.compare(0, start.size(), start) == 0)
            return true;
    }
    return false;
}

}  // namespace

// A name inside another header's value is not the header; a line broken by a lone LF ends there,
// and what follows is a header line of the answer, never one of ours.
TEST_F(PortalConnHeaderTest, NamesCountOnlyAtALineStartAndLinesEndAtALoneLineFeed) {
    const std::string request = ProbeThenRequest(
        "X-Note: schoolid: EVIL\r\n"
        "schoolid: S1\r\n"
        "domain: D1\nVXR-Injected: lf\r\n"
        "area: A1\r\n");
    const std::vector<std::string> lines = HeaderLines(request);
    EXPECT_TRUE(HasLineStartingWith(lines, "VXR-SchoolId:S1")) << request;
    EXPECT_TRUE(HasLineStartingWith(lines, "VXR-Domain:D1")) << request;
    EXPECT_TRUE(HasLineStartingWith(lines, "VXR-Area:A1")) << request;
    EXPECT_FALSE(HasLineStartingWith(lines, "VXR-Injected")) << request;
    EXPECT_EQ(std::string::npos, request.find("EVIL")) << request;
    EXPECT_EQ(conn->GetPortalConf()->domain, "D1");
}

// A value holding a lone CR is no value: the three are then not taken at all.
TEST_F(PortalConnHeaderTest, AValueWithACarriageReturnIsNotTaken) {
    const std::string request = ProbeThenRequest(
        "schoolid: S1\r\n"
        "domain: D1\rVXR-Injected: cr\r\n"
        "area: A1\r\n");
    const std::vector<std::string> lines = HeaderLines(request);
    EXPECT_FALSE(HasLineStartingWith(lines, "VXR-Injected")) << request;
    EXPECT_EQ(std::string::npos, request.find("Injected")) << request;
    EXPECT_FALSE(HasLineStartingWith(lines, "VXR-SchoolId")) << request;
    EXPECT_EQ(conn->GetPortalConf()->domain, "");
    EXPECT_EQ(info->GetLocalValue("schoolId"), "");
}

// A value that already holds a line break (from the store or the configuration) stops the
// request: no header block is built and the transport refuses a broken one on its own.
TEST_F(PortalConnHeaderTest, AStoredValueWithALineBreakBuildsNoHeader) {
    ASSERT_TRUE(orvane_test::writeFile(dir.file("conf.xml"), "<conf/>"));
    info = std::make_unique<CInfoCenter>(dir.file("conf.xml").c_str());
    conn = std::make_unique<CPortalConn>(&host, info.get());
    conn->InitPortalConf();
    conn->GetPortalConf()->schoolId = "S1\r\nVXR-Injected: store";
    EXPECT_TRUE(conn->GetRequestHead(CAutoString("body")).IsEmpty());
    conn->GetPortalConf()->schoolId = "S1";
    conn->GetPortalConf()->area = "A1\nVXR-Injected: store";
    EXPECT_TRUE(conn->GetRequestHead(CAutoString("body")).IsEmpty());
    conn->GetPortalConf()->area = "A1";
    EXPECT_NE(std::string::npos,
              conn->GetRequestHead(CAutoString("body")).ToStdString().find("VXR-Area:A1\r\n"));

    RawServer server({std::string("HTTP/1.1 200 OK\r\n") + kPlainEnd});
    const std::string url = server.Url("/x");
    CHttpData data(true);
    data.szUrl = url.c_str();
    data.szHead = "Connection:close\r\nX-Bad:a\nVXR-Injected: lone\r\n";
    data.dwTimeOut = 2000;
    EXPECT_EQ(-4, CCurlHttp::Perform(&data));
    data.szUrl = data.szHead = nullptr;
    EXPECT_TRUE(server.Requests().empty());
}
