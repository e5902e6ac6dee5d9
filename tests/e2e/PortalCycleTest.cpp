// The Portal business's task machine against portal-sim on loopback: the real business with its
// work and timer threads and a real connection, driven by client messages. The simulator's request
// log shows what reached the portal; a recording router shows the state messages the client got.
// The host is the test's own: loopback carries the default route and forwarding is a file.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "CBusiness.h"
#include "CCurlHttp.h"
#include "CHttpData.h"
#include "CInfoCenter.h"
#include "CLog.h"
#include "CPortalConn.h"
#include "CXMLOpt.h"
#include "CZsmHelper.h"
#include "IServer.h"
#include "PortalServerTestSupport.h"
#include "PortalSimProcess.h"
#include "RecordingPortalHost.h"
#include "TestSupport.h"

using namespace OrvaneSvr;
using namespace std::chrono_literals;
using orvane_test::SimProcess;
using orvane_test::TempDir;
using orvane_test::waitFor;
using Clock = std::chrono::steady_clock;

namespace {

struct State {
    int type, oldState, newState, code;
    bool operator==(const State& o) const {
        return type == o.type && oldState == o.oldState && newState == o.newState && code == o.code;
    }
};

// Stands in for the router: keeps the state messages the business sends, and the opcode and
// parameter text of the others.
class StateRouter : public IServer {
public:
    void RegisterBusiness(const char*, IBusiness*) override {}
    bool PostMessage(const char* message) override {
        CXMLOpt doc;
        if (!doc.SetDoc(message))
            return true;
        std::lock_guard<std::mutex> guard(m_lock);
        if (doc.GetValue("OpC") != "NetStateMessageResp") {
            const std::string text(message);
            const size_t p = text.find("<P>"), end = text.rfind("</P>");
            m_others.push_back(doc.GetValue("OpC").ToStdString() + " " +
                               text.substr(p + 3, end - p - 3));
            return true;
        }
        m_states.push_back({std::atoi(doc.GetValue("P.type").c_str()),
                            std::atoi(doc.GetValue("P.oldState").c_str()),
                            std::atoi(doc.GetValue("P.newState").c_str()),
                            std::atoi(doc.GetValue("P.ErrorCode").c_str())});
        return true;
    }
    ISvrInfoCenter* GetInfoCenter() override { return nullptr; }
    bool Saw(const State& s) {
        std::lock_guard<std::mutex> guard(m_lock);
        for (const State& seen : m_states)
            if (seen == s)
                return true;
        return false;
    }
    // The messages other than state messages whose opcode is opcode: "OPCODE PARAMETERS".
    std::vector<std::string> Others(const std::string& opcode) {
        std::lock_guard<std::mutex> guard(m_lock);
        std::vector<std::string> found;
        for (const std::string& m : m_others)
            if (m.compare(0, opcode.size() + 1, opcode + " ") == 0)
                found.push_back(m);
        return found;
    }

private:
    std::mutex m_lock;
    std::vector<State> m_states;
    std::vector<std::string> m_others;
};

const State kConnected{51, 1, 2, 1};
const char kForwarding[] = "IP\xCA\xFD\xBE\xDD\xD7\xAA\xB7\xA2";

class PortalCycleTest : public ::testing::Test {
protected:
    void SetUp() override {
        // The connection loads the algorithm container from the working directory.
        m_oldCwd = std::filesystem::current_path();
        std::filesystem::copy_file(ORVANE_ZXM_CONTAINER, m_dir.file("zuvUzarod.zxm"));
        std::filesystem::current_path(m_dir.path());
        CZsmHelper::GetInst()->SetHostPath(ORVANE_ZSM_HOST);
        CZsmHelper::GetInst()->Init(m_dir.file("zuvUzarod.zxm").c_str(), nullptr, 0);
        ASSERT_EQ(0, CLog::GetInst()->Create(m_dir.path().c_str(), "Info.log", ""));
        CLog::GetInst()->SetLevel(CLog::DEBUG);
        Forwarding("0");
    }
    void TearDown() override {
        m_portal.reset();  // a login still open is ended while the simulator runs
        m_info.reset();
        m_sim.reset();
        CLog::GetInst()->Close();
        std::filesystem::current_path(m_oldCwd);
    }

    void StartSim(std::vector<std::string> extra) {
        std::vector<std::string> args = {"--state-interval", "1", "--keep-retry", "1"};
        args.insert(args.end(), extra.begin(), extra.end());
        m_sim = std::make_unique<SimProcess>(m_dir, args);
        ASSERT_GT(m_sim->Port(), 0) << "simulator did not start";
    }
    // The business with a store that probes the simulator, plus storeExtra, after "ClientStart".
    void StartPortal(const std::string& storeExtra = "") {
        ASSERT_TRUE(orvane_test::writeFile(m_dir.file("conf.xml"),
                                           "<conf><redirect>" + m_sim->Url("/forward.cgi") +
                                               "</redirect>" + storeExtra + "</conf>"));
        m_info = std::make_unique<CInfoCenter>(m_dir.file("conf.xml").c_str());
        m_info->SetValue("hostName", "lab-pc");
        m_info->SetValue("clientId", "client-A");
        m_info->SetValue("version", "1.0");
        m_portal = std::make_unique<RecordingPortal>(orvane_test::LoopbackHostPaths(m_dir));
        m_portal->SetInfoCenter(m_info.get());
        m_portal->InitService(&m_router);
        Send("ClientStart");
    }
    void Send(const char* opcode, const std::string& params = "") {
        m_portal->DealMsg(CBusiness::BuildEnvelope("client", "Portal", opcode, params.c_str()));
    }
    void LogIn() {
        Send("PortalConnect",
             (CBusiness::MakeParam("user", "alice") + CBusiness::MakeParam("password", "s3cret<&>"))
                 .ToStdString());
    }
    // A ticket logged in by someone else (a phone scanning the code, or an earlier run).
    std::string LogInElsewhere(const std::string& ticket = "") {
        orvane_test::RecordingPortalHost host;
        CPortalConn phone(&host, nullptr);
        phone.InitPortalConf();
        CAuthConfig& cfg = *phone.GetPortalConf();
        cfg.strTickUrl = m_sim->Url("/ticket").c_str();
        cfg.strAuthUrl = m_sim->Url("/auth").c_str();
        cfg.strClientId = "phone";
        if (ticket.empty())
            EXPECT_EQ(1, phone.RequestTicket());
        else
            cfg.strTicket = ticket.c_str();
        const CAutoString login = CBusiness::BuildEnvelope(
            "client", "Portal", "PortalConnect",
            (CBusiness::MakeParam("user", "alice") + CBusiness::MakeParam("password", "s3cret<&>"))
                .c_str());
        EXPECT_EQ(1, phone.Connect(login.c_str()));
        return cfg.strTicket.ToStdString();
    }
    void Control(const std::string& commands) {
        CHttpData data(true);
        const std::string url = m_sim->Url("/sim/control");
        data.szUrl = url.c_str();
        data.szVerb = "POST";
        data.szPostData = commands.c_str();
        ASSERT_EQ(0, CCurlHttp::Perform(&data));
    }
    void Forwarding(const char* value) {
        std::filesystem::create_directories(m_dir.file("proc/sys/net/ipv4"));
        orvane_test::writeFile(m_dir.file("proc/sys/net/ipv4/ip_forward"), value);
    }

    // ---- The simulator's log --------------------------------------------------------------------
    int Count(const std::string& kind) {
        int n = 0;
        for (const std::string& k : m_sim->Kinds())
            n += k == kind;
        return n;
    }
    bool WaitCount(const std::string& kind, int n, std::chrono::milliseconds bound = 8s) {
        return waitFor([&] { return Count(kind) >= n; }, bound);
    }
    // At most count kinds logged after the first n records, controls left out.
    std::vector<std::string> KindsFrom(size_t n, size_t count) {
        std::vector<std::string> kinds, all = m_sim->Kinds();
        for (size_t i = n; i < all.size() && kinds.size() < count; ++i)
            if (all[i] != "control")
                kinds.push_back(all[i]);
        return kinds;
    }
    // The "reason" field of the last logout request.
    std::string LastLogoutReason() {
        std::string reason;
        for (cJSON* rec : m_sim->Log())
            if (SimProcess::Str(rec, "kind") == "term")
                reason = SimProcess::Str(rec, "fields", "reason");
        return reason;
    }
    std::string LogText() { return orvane_test::readFile(CLog::GetInst()->GetPath()); }

    TempDir m_dir;
    std::filesystem::path m_oldCwd;
    StateRouter m_router;
    std::unique_ptr<SimProcess> m_sim;
    std::unique_ptr<CInfoCenter> m_info;
    std::unique_ptr<RecordingPortal> m_portal;
    std::atomic<int> m_keepAhead{0};  // seconds the keep-alive tolerance's clock is ahead
};

}  // namespace

// Check, ticket with the state poll, login, keep-alive at the portal's interval, and the user's
// logout, after which nothing is prepared for a next login.
TEST_F(PortalCycleTest, CheckTicketLoginKeepAliveAndLogout) {
    StartSim({"--keep-interval", "2"});
    StartPortal();
    Send("CheckEnv");
    ASSERT_TRUE(WaitCount("state", 2)) << "the ticket's state is polled every second";
    LogIn();
    ASSERT_TRUE(waitFor([&] { return m_router.Saw(kConnected); }, 8s));
    ASSERT_TRUE(WaitCount("keep", 1));
    const auto first = Clock::now();
    // A window that starts again meanwhile is brought up to date while keep-alives run.
    Send("ClientStart");
    EXPECT_TRUE(m_router.Saw({51, 0, 31, 0}));
    const int states = Count("state");
    ASSERT_TRUE(WaitCount("keep", 4, 12s));
    const auto spent = Clock::now() - first;
    // Three intervals of 2 s; the timer counts whole seconds, so the first may be shorter.
    EXPECT_GE(spent, 3500ms) << "keep-alive is re-armed at the portal's interval";
    EXPECT_LE(spent, 9s);
    EXPECT_EQ(states, Count("state")) << "the state poll ends with the login";
    const std::vector<std::string> start = {"probe", "page", "ticket", "state"};
    const std::vector<std::string> kinds = m_sim->Kinds();
    ASSERT_GE(kinds.size(), start.size());
    EXPECT_EQ(start, std::vector<std::string>(kinds.begin(), kinds.begin() + start.size()));

    const int tickets = Count("ticket");
    Send("PortalDisConnect", "<src>2</src>");
    ASSERT_TRUE(WaitCount("term", 1));
    EXPECT_EQ("2", LastLogoutReason());
    ASSERT_TRUE(waitFor([&] { return m_router.Saw({51, 11, 12, 1}); }, 5s));
    const int keeps = Count("keep");
    std::this_thread::sleep_for(1500ms);
    EXPECT_EQ(keeps, Count("keep")) << "keep-alive stops with the logout";
    EXPECT_EQ(tickets, Count("ticket")) << "a requested logout prepares no new ticket";
    EXPECT_EQ(std::string::npos, LogText().find("s3cret")) << "the password reached the log";
}

// A login made elsewhere on this ticket is found by the state poll and kept alive, without a
// login request from this service.
TEST_F(PortalCycleTest, StatePollAdoptsALoginMadeElsewhere) {
    StartSim({"--keep-interval", "1"});
    StartPortal();
    Send("CheckEnv");
    ASSERT_TRUE(WaitCount("state", 1));
    ASSERT_TRUE(waitFor([&] { return !m_info->GetLocalValue("ticket").IsEmpty(); }, 5s));
    LogInElsewhere(m_info->GetLocalValue("ticket").ToStdString());
    ASSERT_TRUE(waitFor([&] { return m_router.Saw(kConnected); }, 5s));
    ASSERT_TRUE(WaitCount("keep", 2));
    EXPECT_EQ(1, Count("auth"));  // the other device's only
    EXPECT_EQ(0, m_portal->Count(auth));
    EXPECT_TRUE(m_portal->IsPortalEnv());
}

// Keep-alive failures: the portal ending the login sends the service to a new detection, ticket
// and log-in of its own; refusals beyond the retry count that last the tolerance end in a logout
// with reason "3", and the service logs in again.
TEST_F(PortalCycleTest, KeepAliveEndedOrFailingBeyondItsRetries) {
    StartSim({"--keep-interval", "1"});
    StartPortal();
    // The keep-alive tolerance is measured on this clock; the test moves it on.
    m_portal->GetPortalConn()->SetKeepClock([this] {
        return std::chrono::steady_clock::now() + std::chrono::seconds(m_keepAhead.load());
    });
    Send("CheckEnv");
    ASSERT_TRUE(WaitCount("state", 1));
    LogIn();
    ASSERT_TRUE(WaitCount("keep", 1));
    size_t mark = m_sim->Kinds().size();
    Control("end-login");
    ASSERT_TRUE(WaitCount("auth", 2));
    EXPECT_EQ((std::vector<std::string>{"keep", "probe", "page", "ticket", "auth"}),
              KindsFrom(mark, 5));
    ASSERT_TRUE(WaitCount("keep", 3));

    // Announced retry 1 and a keep-alive accepted since: one failure is tolerated; the next ends
    // the login only once the failures have lasted 30 s.
    mark = m_sim->Kinds().size();
    Control("fault keep:1+:error:99");
    ASSERT_TRUE(WaitCount("keep", 5, 10s));
    EXPECT_EQ(0, Count("term"));
    m_keepAhead = 31;
    ASSERT_TRUE(WaitCount("term", 1, 10s));
    EXPECT_EQ("3", LastLogoutReason());
    ASSERT_TRUE(WaitCount("auth", 3));
    // Only failing keep-alives (as many as came before the clock moved) up to the logout, and the
    // new detection right after it.
    const std::vector<std::string> kinds = KindsFrom(mark, SIZE_MAX);
    size_t term = 0;
    while (term < kinds.size() && kinds[term] == "keep")
        ++term;
    EXPECT_GE(term, 3u);
    ASSERT_LT(term + 1, kinds.size());
    EXPECT_EQ("term", kinds[term]);
    EXPECT_EQ("probe", kinds[term + 1]);
}

// An open network while the store says this service holds a login: it is logged out with reason
// "5" and the network is checked again at once, which then finds the portal.
TEST_F(PortalCycleTest, OpenNetworkWithOwnLoginIsLoggedOutAndCheckedAgain) {
    StartSim({});
    const std::string ticket = LogInElsewhere();  // the gateway lets a logged-in machine through
    StartPortal("<connState>1</connState><ticket>" + ticket + "</ticket><termUrl>" +
                m_sim->Url("/term") + "</termUrl>");
    const size_t mark = m_sim->Kinds().size();
    Send("CheckEnv");
    ASSERT_TRUE(WaitCount("ticket", 2));
    EXPECT_EQ("5", LastLogoutReason());
    const std::vector<std::string> expected = {"probe", "term", "probe", "page", "ticket"};
    EXPECT_EQ(expected, KindsFrom(mark, expected.size()));
    EXPECT_TRUE(m_router.Saw({51, 33, 33, 30000106}));
    EXPECT_EQ("0", m_info->GetLocalValue("connState").ToStdString());
}

// An open network that this service did not log on: reported as usable but not the portal's, then
// probed again every 5 s while the probe fails.
TEST_F(PortalCycleTest, OpenNetworkOfSomeoneElseIsProbedAgainEveryFiveSeconds) {
    StartSim({"--fault", "probe:2+:http500"});
    LogInElsewhere();
    StartPortal();
    Send("CheckEnv");
    ASSERT_TRUE(waitFor([&] { return m_router.Saw({0, 1, 2, 0}); }, 5s));
    const auto reported = Clock::now();
    EXPECT_FALSE(m_portal->IsPortalEnv());
    ASSERT_TRUE(WaitCount("probe", 2, 8s));
    const auto again = Clock::now() - reported;
    EXPECT_GE(again, 4s);
    EXPECT_LE(again, 7s);
    EXPECT_TRUE(
        waitFor([&] { return CPortalServerTestAccess::Armed(*m_portal, checkUnknowNet); }, 2s))
        << "a failed re-probe is armed again";
    EXPECT_EQ(0, Count("ticket") - 1);  // only the other device's
}

// Forwarding where the list forbids it: after the logout delay the service logs out with reason
// "6" and names the finding in its log.
TEST_F(PortalCycleTest, SharingEndsTheLoginAfterTheLogoutDelay) {
    StartSim({"--keep-interval", "1", "--against-interval", "1", "--logout-delay", "3",
              "--against-extra", "<against><shared><ipforward>1</ipforward></shared></against>"});
    Forwarding("1");
    StartPortal();
    Send("CheckEnv");
    ASSERT_TRUE(WaitCount("state", 1));
    LogIn();
    ASSERT_TRUE(waitFor([&] { return m_router.Saw(kConnected); }, 5s));
    const auto loggedIn = Clock::now();
    ASSERT_TRUE(WaitCount("term", 1, 10s));
    const auto spent = Clock::now() - loggedIn;
    // The timer counts whole seconds: the check is due after 1-2 s, the logout 2-3 s later.
    EXPECT_GE(spent, 3s) << "the logout waited for the delay";
    EXPECT_LE(spent, 8s);
    EXPECT_EQ("6", LastLogoutReason());
    EXPECT_NE(std::string::npos, LogText().find(std::string(kForwarding) + "\n"));
    EXPECT_TRUE(WaitCount("ticket", 2)) << "a forced logout prepares the next login";
}

// The terminal list reaches the client with this machine's name and ticket; logging another
// terminal out refreshes the list, and a refusal is answered with the portal's result.
TEST_F(PortalCycleTest, TerminalListAndTerminalLogout) {
    StartSim({});
    StartPortal();
    Send("CheckEnv");
    ASSERT_TRUE(WaitCount("state", 1));
    LogIn();
    ASSERT_TRUE(waitFor([&] { return m_router.Saw(kConnected); }, 5s));
    const std::string phone = LogInElsewhere();
    const std::string ticket = m_info->GetLocalValue("ticket").ToStdString();

    Send("GetTerminalData");
    ASSERT_TRUE(waitFor([&] { return m_router.Others("SetTerminalData").size() == 1; }, 5s));
    const std::string list = m_router.Others("SetTerminalData")[0];
    EXPECT_NE(std::string::npos, list.find("<response>")) << list;
    EXPECT_NE(std::string::npos, list.find(phone)) << list;
    const std::string tail = "<host>lab-pc</host><ticket>" + ticket + "</ticket>";
    ASSERT_GE(list.size(), tail.size());
    EXPECT_EQ(tail, list.substr(list.size() - tail.size()));

    Send("TerminalTermSend", "<ticket>no-such-ticket</ticket>");
    ASSERT_TRUE(waitFor([&] { return m_router.Others("TerminalTermReturn").size() == 1; }, 5s));
    EXPECT_EQ("TerminalTermReturn <code>-3</code>", m_router.Others("TerminalTermReturn")[0]);
    Send("TerminalTermSend", "<ticket>" + phone + "</ticket>");
    ASSERT_TRUE(waitFor([&] { return m_router.Others("SetTerminalData").size() == 2; }, 5s));
    EXPECT_EQ(std::string::npos, m_router.Others("SetTerminalData")[1].find(phone));
    EXPECT_EQ("8", LastLogoutReason());
    // Neither this login's ticket nor the other terminal's is written to the log whole.
    const std::string log = LogText();
    EXPECT_EQ(std::string::npos, log.find(ticket)) << "the ticket reached the log";
    EXPECT_EQ(std::string::npos, log.find(phone)) << "another terminal's ticket reached the log";
    EXPECT_NE(std::string::npos, log.find("<ticket>" + CLog::Abbreviate(ticket.c_str()))) << log;
}
