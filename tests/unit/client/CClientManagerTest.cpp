// The client's router and business against a service end of the two FIFOs made with plain system
// calls: the commands the client sends, the page or dialog each service state leads to, values
// the service publishes, and what a log-in leaves in the client's store.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "CClient.h"
#include "CClientManager.h"
#include "CInfoCenter.h"
#include "TestSupport.h"

using namespace orvane_test;
using namespace std::chrono_literals;

namespace {

// The window as the business sees it, writing down every call.
class RecordingView : public IClientView {
public:
    void ShowInitPage() override { Add("init"); }
    void ShowRecoveryPage(const char* text) override { Add(std::string("recovery ") + text); }
    void ShowLoginPage() override { Add("login"); }
    void ShowOnlinePage(int netType) override { Add("online " + std::to_string(netType)); }
    void ShowError(long code, const char* sub, const char* text) override {
        Add("error " + std::to_string(code) + "|" + sub + "|" + text);
    }
    std::vector<std::string> Calls() {
        std::lock_guard<std::mutex> lock(m_lock);
        return m_calls;
    }
    bool WaitCalls(size_t n) {
        return waitFor([&] { return Calls().size() >= n; }, 5s);
    }

private:
    void Add(const std::string& call) {
        std::lock_guard<std::mutex> lock(m_lock);
        m_calls.push_back(call);
    }
    std::mutex m_lock;
    std::vector<std::string> m_calls;
};

// The service's end: creates and writes "serverpipe", reads the client's "clientpipe".
class ServiceEnd {
public:
    explicit ServiceEnd(const std::string& dir) : m_dir(dir) {
        mkfifo((dir + "/serverpipe").c_str(), 0600);
    }
    ~ServiceEnd() {
        if (m_write >= 0)
            close(m_write);
        if (m_read >= 0)
            close(m_read);
    }
    // Succeeds once the client reads "serverpipe" and has made "clientpipe".
    bool Accept() {
        const std::string own = m_dir + "/serverpipe", peer = m_dir + "/clientpipe";
        waitFor([&] { return (m_write = open(own.c_str(), O_WRONLY | O_NONBLOCK)) >= 0; }, 5s);
        waitFor([&] { return (m_read = open(peer.c_str(), O_RDONLY | O_NONBLOCK)) >= 0; }, 5s);
        return m_write >= 0 && m_read >= 0;
    }
    bool Send(const std::string& opcode, const std::string& params,
              const std::string& target = "Portal") {
        const std::string m = "<M><OpS>NetModule</OpS><OpT>" + target + "</OpT><OpC>" + opcode +
                              "</OpC><P>" + params + "</P></M>" + std::string(1, '\0');
        return write(m_write, m.data(), m.size()) == static_cast<ssize_t>(m.size());
    }
    bool State(int newState, int type = 51, const std::string& extra = "") {
        return Send("NetStateMessageResp", "<type>" + std::to_string(type) +
                                               "</type><oldState>1</oldState><newState>" +
                                               std::to_string(newState) + "</newState>" + extra);
    }
    // The next message from the client, or "" when none comes within a few seconds.
    std::string Receive(std::chrono::milliseconds timeout = 5s) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (m_buffer.find('\0') == std::string::npos &&
               std::chrono::steady_clock::now() < deadline) {
            pollfd fd = {m_read, POLLIN, 0};
            if (poll(&fd, 1, 50) <= 0)
                continue;
            char chunk[4096];
            const ssize_t n = read(m_read, chunk, sizeof chunk);
            if (n > 0)
                m_buffer.append(chunk, static_cast<size_t>(n));
        }
        const size_t zero = m_buffer.find('\0');
        if (zero == std::string::npos)
            return "";
        const std::string m = m_buffer.substr(0, zero);
        m_buffer.erase(0, zero + 1);
        return m;
    }
    // Nothing more arrives for a while.
    bool Quiet() { return Receive(300ms).empty(); }

private:
    std::string m_dir;
    int m_write = -1;
    int m_read = -1;
    std::string m_buffer;
};

std::string Command(const std::string& opcode, const std::string& params) {
    return "<M><OpS>client</OpS><OpT>Portal</OpT><OpC>" + opcode + "</OpC><P>" + params +
           "</P></M>";
}

class ClientBusinessTest : public ::testing::Test {
protected:
    void SetUp() override {
        mkdir(dir.file("conf").c_str(), 0700);
        ASSERT_TRUE(
            writeFile(store, "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<conf>\n</conf>\n"));
        chmod(store.c_str(), 0600);
        info = std::make_unique<CInfoCenter>(store.c_str());
        business.SetInfoCenter(info.get());
        business.SetMainWindow(&view);
        business.SetUpdateRun([this] { ++updateRuns; });
        router = std::make_unique<CClient>(dir.path());
        business.InitService(router.get());
        router->RegisterBusiness(CClientManager::kName, &business);
        // The pipe thread as the client runs it: open, announce, read until stopped.
        pipeThread = std::thread([this] {
            if (router->Open() == 0) {
                business.Start();
                router->DoWork();
            }
        });
        ASSERT_TRUE(service.Accept());
        ASSERT_EQ(Command("ClientStart", "ClientStart"), service.Receive());
    }
    void TearDown() override {
        router->StopWork();
        pipeThread.join();
        business.InitService(nullptr);
    }

    TempDir dir;
    std::string store = dir.file("conf/client.xml");
    std::unique_ptr<CInfoCenter> info;
    RecordingView view;
    CClientManager business;
    std::unique_ptr<CClient> router;
    ServiceEnd service{dir.path()};
    std::thread pipeThread;
    std::atomic<int> updateRuns{0};
};

TEST_F(ClientBusinessTest, ConversationFollowsTheServiceStates) {
    ASSERT_TRUE(service.Send("ClientStartComplete", "ClientStartComplete"));
    EXPECT_EQ(Command("CheckEnv", "CheckEnv"), service.Receive());

    ASSERT_TRUE(service.State(33));  // still detecting: nothing to show
    ASSERT_TRUE(service.State(31));
    ASSERT_TRUE(view.WaitCalls(1));
    EXPECT_TRUE(waitFor([&] { return updateRuns == 1; }, 5s));

    ASSERT_TRUE(service.State(2, 51));
    ASSERT_TRUE(service.State(2, 0));
    ASSERT_TRUE(view.WaitCalls(3));

    // The client does not route by target: a state addressed elsewhere is handled all the same.
    ASSERT_TRUE(
        service.Send("NetStateMessageResp", "<type>51</type><newState>12</newState>", "Elsewhere"));
    EXPECT_EQ(Command("CheckEnv", "CheckEnv"), service.Receive());
    ASSERT_TRUE(view.WaitCalls(4));
    EXPECT_EQ((std::vector<std::string>{"login", "online 51", "online 0", "init"}), view.Calls());
    EXPECT_TRUE(service.Quiet());
}

TEST_F(ClientBusinessTest, FailedStatesShowOneDialogEachAndKeepThePage) {
    const std::string detail =
        "<ErrorCode>%d</ErrorCode><subErrCode>7</subErrCode><subType>0</subType>"
        "<extern>eth0 &amp; more</extern>";
    const auto with = [&](long code) {
        std::string text = detail;
        text.replace(text.find("%d"), 2, std::to_string(code));
        return text;
    };
    ASSERT_TRUE(service.State(32, 51, with(20010206)));
    ASSERT_TRUE(service.State(3, 51, with(140002)));
    ASSERT_TRUE(service.State(13, 51, with(150004)));
    // An unknown state and a message the client has no use for change nothing.
    ASSERT_TRUE(service.State(99));
    ASSERT_TRUE(service.Send("TermInfoResp", "<x>1</x>"));
    ASSERT_TRUE(service.Send("<broken", ""));
    ASSERT_TRUE(view.WaitCalls(3));
    EXPECT_TRUE(service.Quiet());
    EXPECT_EQ(
        (std::vector<std::string>{"error 20010206|7|eth0 & more", "error 140002|7|eth0 & more",
                                  "error 150004|7|eth0 & more"}),
        view.Calls());
    EXPECT_EQ(0, updateRuns);
}

TEST_F(ClientBusinessTest, PublishedValuesAreStoredAndReplaced) {
    ASSERT_TRUE(service.Send("InfoCenter",
                             "<key>FUN_Update</key><value>url=\"http://u/?a=1&amp;b=2\"</value>"));
    ASSERT_TRUE(service.Send("InfoCenter", "<key>version</key><value>1.0</value>"));
    ASSERT_TRUE(service.Send("InfoCenter", "<key>version</key><value>2.0</value>"));
    ASSERT_TRUE(waitFor([&] { return info->GetValue("version") == "2.0"; }, 5s));
    EXPECT_STREQ("url=\"http://u/?a=1&b=2\"", info->GetValue("FUN_Update").c_str());
    // Published values live in memory; the store file keeps only what the client writes itself.
    EXPECT_EQ(std::string::npos, readFile(store).find("FUN_Update"));
}

TEST_F(ClientBusinessTest, LoginIsStoredPrivatelyBeforeTheServiceAnswers) {
    const std::string password = "p<&>w%s";
    ASSERT_TRUE(business.Login("student01", password.c_str()));
    const std::string sent = service.Receive();
    // The service has not answered yet; the store already holds both values.
    const std::string text = readFile(store);
    EXPECT_NE(std::string::npos, text.find("<Account>student01</Account>")) << text;
    EXPECT_NE(std::string::npos, text.find("<Password>p&lt;&amp;&gt;w%s</Password>")) << text;
    struct stat st {};
    ASSERT_EQ(0, stat(store.c_str(), &st));
    EXPECT_EQ(0600u, st.st_mode & 07777);
    EXPECT_STREQ("student01", info->GetValue("account").c_str());
    // The values travel escaped, so the password arrives as typed.
    EXPECT_EQ(
        Command("PortalConnect", "<user>student01</user><password>p&lt;&amp;&gt;w%s</password>"),
        sent);
    // A fresh reader of the store sees the password as typed.
    CInfoCenter reread(store.c_str());
    EXPECT_EQ(password, reread.GetLocalValue("Password").ToStdString());

    ASSERT_TRUE(business.Logout());
    EXPECT_EQ(Command("PortalDisConnect", "<src>2</src>"), service.Receive());
}

}  // namespace
