// The portal connection's own conversations against portal-sim on loopback: ticket, login with
// each answer the portal can give, keep-alive retry counting, state query, terminal requests and
// logout. The simulator's request log shows what was sent; a recording host shows what the
// connection reported, and the name servers are rewritten in a resolver file of the test's own.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "CCurlHttp.h"
#include "CHttpData.h"
#include "CInfoCenter.h"
#include "CLog.h"
#include "CNetHelper.h"
#include "CPortalConn.h"
#include "CZsmHelper.h"
#include "PortalSimProcess.h"
#include "RecordingPortalHost.h"
#include "TestSupport.h"

namespace {

using ES = INetConn::ESTATE;
using orvane_test::PostedState;
using orvane_test::SimProcess;
using orvane_test::TempDir;

// The recording host, with the name servers written to a resolver file of the test's own.
class ResolverHost : public orvane_test::RecordingPortalHost {
public:
    explicit ResolverHost(std::string resolver) : m_helper(resolver.c_str()) {}
    int SetDNS(CAutoString& dns1, CAutoString& dns2) override {
        CAutoString seen1 = dns1, seen2 = dns2;
        RecordingPortalHost::SetDNS(seen1, seen2);  // recorded; its made-up answer is not used
        if (dnsResult != 0)
            return dnsResult;
        return m_helper.SetDNSServers(dns1, dns2);
    }
    int RestoreDNS() override {
        RecordingPortalHost::RestoreDNS();
        return m_helper.RestoreDNSServers();
    }

private:
    CNetHelper m_helper;
};

// The store as the connection writes it: the keys of each synced write, and how many state
// messages had been posted when it was made.
class WatchedStore : public CInfoCenter {
public:
    struct Write {
        std::set<std::string> keys;
        size_t statesBefore = 0;
    };
    WatchedStore(const char* path, orvane_test::RecordingPortalHost& host)
        : CInfoCenter(path), m_host(host) {}
    bool SetLocalValues(const LocalValues& values) override {
        Write write;
        for (const auto& pair : values)
            write.keys.insert(pair.first.ToStdString());
        write.statesBefore = m_host.States().size();
        m_writes.push_back(write);
        return CInfoCenter::SetLocalValues(values);
    }
    std::vector<Write> TakeWrites() { return std::move(m_writes); }

private:
    orvane_test::RecordingPortalHost& m_host;
    std::vector<Write> m_writes;  // the test's thread only
};

const char kResolver[] = "nameserver 8.8.8.8\nnameserver 8.8.4.4\nsearch lan\n";
const char kPassword[] = "pw<&>Secret-77";

class ConnSessionTest : public ::testing::Test {
protected:
    void SetUp() override {
        CZsmHelper::GetInst()->SetHostPath(ORVANE_ZSM_HOST);
        CZsmHelper::GetInst()->Init(ORVANE_ZXM_CONTAINER, nullptr, 0);
        ASSERT_TRUE(orvane_test::writeFile(m_dir.file("conf.xml"), "<conf></conf>"));
        ASSERT_TRUE(orvane_test::writeFile(m_dir.file("resolv.conf"), kResolver));
        CLog::GetInst()->Create(m_dir.path().c_str(), "Info.log", "");
        CLog::GetInst()->SetLevel(CLog::DEBUG);
        m_info = std::make_unique<CInfoCenter>(m_dir.file("conf.xml").c_str());
        m_info->SetValue("hostName", "lab-pc");
        m_info->SetValue("clientId", "client-A");
        m_info->SetValue("version", "1.0");
    }
    void TearDown() override { CLog::GetInst()->Close(); }

    // Starts the simulator (account alice, keep-alive retry 1 unless overridden) and a connection
    // whose configuration names the simulator's conversations.
    void Start(std::vector<std::string> extra = {}) {
        std::vector<std::string> args = {"--account",    std::string("alice:") + kPassword,
                                         "--account",    "13800138000:pw",
                                         "--keep-retry", "1"};
        args.insert(args.end(), extra.begin(), extra.end());
        m_sim = std::make_unique<SimProcess>(m_dir, args);
        ASSERT_GT(m_sim->Port(), 0) << "simulator did not start";
        m_conn = NewConn(m_host, m_info.get());
    }
    // The simulator's request log: kind and one decoded request field of each record.
    std::vector<std::string> Kinds() { return m_sim->Kinds(); }
    std::string Field(size_t index, const char* name) {
        auto log = m_sim->Log();
        return index < log.size() ? SimProcess::Str(log[index], "fields", name) : "";
    }
    std::unique_ptr<CPortalConn> NewConn(ResolverHost& host, ISvrInfoCenter* info) {
        auto conn = std::make_unique<CPortalConn>(&host, info);
        conn->InitPortalConf();
        CAuthConfig& cfg = *conn->GetPortalConf();
        cfg.strTickUrl = m_sim->Url("/ticket").c_str();
        cfg.strAuthUrl = m_sim->Url("/auth").c_str();
        cfg.strStateUrl = m_sim->Url("/state").c_str();
        cfg.strQueryUrl = m_sim->Url("/query").c_str();
        return conn;
    }
    static std::string LoginMessage(const std::string& user, const std::string& password) {
        std::string p = CBusiness::MakeParam("user", user.c_str()).ToStdString() +
                        CBusiness::MakeParam("password", password.c_str()).ToStdString();
        return CBusiness::BuildEnvelope("client", "Portal", "PortalConnect", p.c_str())
            .ToStdString();
    }
    // Ticket and login of alice; asserts both succeed.
    void LogIn(CPortalConn& conn) {
        ASSERT_EQ(1, conn.RequestTicket());
        ASSERT_EQ(1, conn.Connect(LoginMessage("alice", kPassword).c_str()));
    }
    // Sends control commands to the simulator ("fault RULE", "end-login", ...).
    void Control(const std::string& commands) {
        std::string url = m_sim->Url("/sim/control");
        CHttpData data(true);
        data.szUrl = url.c_str();
        data.szVerb = "POST";
        data.szPostData = commands.c_str();
        ASSERT_EQ(0, CCurlHttp::Perform(&data));
    }
    PostedState LastState() { return m_host.LastState(); }
    std::string Resolver() { return orvane_test::readFile(m_dir.file("resolv.conf")); }

    TempDir m_dir;
    ResolverHost m_host{m_dir.file("resolv.conf")};
    std::unique_ptr<CInfoCenter> m_info;
    std::unique_ptr<SimProcess> m_sim;
    std::unique_ptr<CPortalConn> m_conn;
};

}  // namespace

// One whole session: every conversation reaches the simulator with what the portal needs, every
// answer lands where the service keeps it, and the password never reaches the log.
TEST_F(ConnSessionTest, TicketLoginKeepStateTerminalsAndLogout) {
    Start({"--keep-interval", "7"});
    CAuthConfig& cfg = *m_conn->GetPortalConf();
    cfg.hostName = "lab%pc";  // a "%" in the terminal list becomes a space
    ASSERT_EQ(1, m_conn->RequestTicket());
    std::string ticket = cfg.strTicket.ToStdString();
    ASSERT_FALSE(ticket.empty());
    EXPECT_EQ(ticket, m_info->GetLocalValue("ticket").ToStdString());
    EXPECT_EQ(ticket, m_info->GetValue("ticket").ToStdString());
    EXPECT_EQ(ES::ES_PRECONNECTED, m_conn->GetNetState());
    auto messages = m_host.Msgs();
    ASSERT_EQ(1u, messages.size());
    EXPECT_EQ("TicketResp", messages[0].opcode);
    EXPECT_EQ("<ticket>" + ticket + "</ticket><hostname>lab%pc</hostname><qr>zkrw://" + ticket +
                  "@lab%pc</qr>",
              messages[0].param);

    ASSERT_EQ(1, m_conn->Connect(LoginMessage(" al ice ", kPassword).c_str()));
    EXPECT_EQ(ES::ES_CONNECTED, m_conn->GetNetState());
    EXPECT_EQ(2, m_conn->GetKeepRetry());  // announced 1, plus one
    EXPECT_EQ("1", m_info->GetLocalValue("connState").ToStdString());
    EXPECT_EQ(m_sim->Url("/keep"), m_info->GetLocalValue("keepUrl").ToStdString());
    EXPECT_EQ(m_sim->Url("/term"), m_info->GetLocalValue("termUrl").ToStdString());
    EXPECT_EQ("1", m_info->GetLocalValue("keepRetry").ToStdString());
    ASSERT_EQ(2u, m_host.Msgs().size());
    EXPECT_EQ("SetValue", m_host.Msgs()[1].opcode);
    EXPECT_EQ("<key>DialAccount</key><value>alice</value>", m_host.Msgs()[1].param);
    EXPECT_EQ(0, m_host.DnsCalls().size());  // the simulator announced no name servers

    cfg.fileIntervalFlag = 0;
    ASSERT_EQ(1, m_conn->KeepPluse());
    EXPECT_EQ(7, cfg.iInterval);
    EXPECT_EQ(1, m_conn->GetKeepRetry());  // restored to the announced count
    cfg.fileIntervalFlag = 1;
    cfg.fileInterval = 120;
    ASSERT_EQ(1, m_conn->KeepPluse());
    EXPECT_EQ(120, cfg.iInterval);  // the local setting overrides the portal's

    EXPECT_EQ(1, m_conn->CheckConnectState(0));
    CAutoString list;
    ASSERT_EQ(1, m_conn->TerminalRequestData(list));
    std::string doc = list.ToStdString();
    EXPECT_EQ(0u, doc.find("<response>")) << doc;
    EXPECT_NE(std::string::npos, doc.find("<ticket>" + ticket + "</ticket>")) << doc;
    EXPECT_NE(std::string::npos, doc.find("lab pc")) << doc;

    ASSERT_EQ(1, m_conn->DisConnect("2"));
    EXPECT_EQ(ES::ES_DISCONNECTED, m_conn->GetNetState());
    EXPECT_EQ("0", m_info->GetLocalValue("connState").ToStdString());
    PostedState last = LastState();
    EXPECT_EQ(11, last.oldState);
    EXPECT_EQ(1, last.code);

    EXPECT_EQ(
        (std::vector<std::string>{"ticket", "auth", "keep", "keep", "state", "query", "term"}),
        Kinds());
    EXPECT_EQ("alice", Field(1, "userid"));
    EXPECT_EQ(ticket, Field(1, "ticket"));
    EXPECT_EQ("10.1.2.3", Field(2, "ipv4"));
    EXPECT_EQ("2", Field(6, "reason"));
    std::string written = orvane_test::readFile(CLog::GetInst()->GetPath());
    EXPECT_NE(std::string::npos, written.find("account is alice"));
    EXPECT_EQ(std::string::npos, written.find("Secret-77")) << "the password reached the log";
    ASSERT_GT(ticket.size(), 8u);
    EXPECT_EQ(std::string::npos, written.find(ticket)) << "the ticket reached the log";
    EXPECT_NE(std::string::npos, written.find("ticket is " + ticket.substr(0, 4) + "...(" +
                                              std::to_string(ticket.size()) + " chars)"));
}

TEST_F(ConnSessionTest, TicketFailures) {
    Start({"--fault", "ticket:1:error:9:busy", "--fault", "ticket:2+:http500"});
    EXPECT_EQ(-1, m_conn->RequestTicket());
    PostedState p = LastState();
    EXPECT_EQ(32, p.newState);
    EXPECT_EQ(140009, p.code);
    EXPECT_EQ("busy", p.sub);

    // Transport failure with another portal server left: the ticket URL moves there.
    m_conn->GetHashBalance4().SetIpList(CAutoString("127.0.0.1:1"));
    EXPECT_EQ(-99, m_conn->RequestTicket());
    EXPECT_EQ("http://127.0.0.1:1/ticket", m_conn->GetPortalConf()->strTickUrl.ToStdString());
    // No server left: the failure is reported with the transport result.
    m_conn->GetPortalConf()->strTickUrl = m_sim->Url("/ticket").c_str();
    EXPECT_EQ(-1, m_conn->RequestTicket());
    p = LastState();
    EXPECT_TRUE(p.extended);
    EXPECT_EQ(150103, p.code);
    EXPECT_EQ("HttpError", p.subType);
    EXPECT_EQ("-3", p.extra);

    m_host.ipResult = -1;
    EXPECT_EQ(-3, m_conn->RequestTicket());
    EXPECT_EQ(150107, LastState().code);
    EXPECT_EQ(0u, m_host.Msgs().size());  // no TicketResp without a ticket
}

// The portal's refusals of a login, each with the code the client shows.
TEST_F(ConnSessionTest, LoginRefusals) {
    Start({"--fault", "auth:1:lastlogin:lab-7 10:02", "--fault", "auth:2:error:105:taken",
           "--fault", "auth:3:error:105", "--fault", "auth:4:error:14"});
    ASSERT_EQ(1, m_conn->RequestTicket());

    // With "Last-Login": the extended message, and the state stays at connecting.
    EXPECT_EQ(-1, m_conn->Connect(LoginMessage("abc", "x").c_str()));
    PostedState p = LastState();
    EXPECT_TRUE(p.extended);
    EXPECT_EQ(150200, p.code);
    EXPECT_EQ("ConnError", p.subType);
    EXPECT_EQ("lab-7 10:02", p.extra);  // the hint keeps its blanks
    EXPECT_EQ(ES::ES_CONNECTING, m_conn->GetNetState());

    // Without it, a mobile-number account (the domain does not count) gets the portal's code.
    EXPECT_EQ(-1, m_conn->Connect(LoginMessage("13800138000@campus", "x").c_str()));
    p = LastState();
    EXPECT_EQ(140105, p.code);
    EXPECT_EQ("taken", p.sub);
    EXPECT_EQ(ES::ES_CONNECTFAIL, m_conn->GetNetState());
    // Any other account is asked to use its mobile number.
    EXPECT_EQ(-1, m_conn->Connect(LoginMessage("1380013800", "x").c_str()));
    EXPECT_EQ(150201, LastState().code);

    // 14: nothing is shown beyond the start of the login.
    EXPECT_EQ(-1, m_conn->Connect(LoginMessage("alice", kPassword).c_str()));
    p = LastState();
    EXPECT_EQ(ES::ES_CONNECTING, p.newState);
    EXPECT_EQ(0, p.code);

    // A wrong password: the portal's own code.
    EXPECT_EQ(-1, m_conn->Connect(LoginMessage("alice", "wrong").c_str()));
    EXPECT_EQ(140011, LastState().code);
    EXPECT_NE("1", m_info->GetLocalValue("connState").ToStdString());

    // A message that is not a document: no request, no message.
    size_t before = m_host.States().size();
    EXPECT_EQ(-1, m_conn->Connect("<M><P><user>alice</P>"));
    EXPECT_EQ(before, m_host.States().size());
    EXPECT_EQ(6u, Kinds().size());
}

// The announced name servers replace the machine's at login; a state query that adopts the
// login applies them again; logout puts the machine's own servers back.
TEST_F(ConnSessionTest, NameServersAppliedAndRestored) {
    Start({"--dns1", "10.1.1.1", "--dns2", "10.1.1.2"});
    LogIn(*m_conn);
    EXPECT_EQ("nameserver 10.1.1.1\nnameserver 10.1.1.2\nsearch lan\n", Resolver());
    EXPECT_EQ("8.8.8.8", m_conn->GetDNS1().ToStdString());
    EXPECT_EQ("8.8.4.4", m_conn->GetDNS2().ToStdString());

    ASSERT_EQ(1, m_conn->CheckConnectState(0));
    EXPECT_EQ("nameserver 10.1.1.1\nnameserver 10.1.1.2\nsearch lan\n", Resolver());

    ASSERT_EQ(1, m_conn->DisConnect("1"));
    EXPECT_EQ(kResolver, Resolver());
    EXPECT_EQ(2, m_host.DnsCalls().size());
}

TEST_F(ConnSessionTest, RefusedResolverFailsTheLogin) {
    Start({"--dns1", "10.1.1.1"});
    m_host.dnsResult = 13;
    ASSERT_EQ(1, m_conn->RequestTicket());
    EXPECT_EQ(-1, m_conn->Connect(LoginMessage("alice", kPassword).c_str()));
    EXPECT_EQ(150110, LastState().code);
    EXPECT_EQ(ES::ES_CONNECTFAIL, m_conn->GetNetState());
    // Nothing was applied, so the logout has nothing to put back.
    m_host.dnsResult = 0;
    m_conn->DisConnect("1");
    EXPECT_EQ(kResolver, Resolver());
    EXPECT_EQ(1, m_host.DnsCalls().size());
}

// With a retry count of n the next n failed keep-alives are tolerated; after that a failure is
// the loss only once the failures have lasted the minimum tolerance (30 s). An accepted
// keep-alive restores the count and the clock. Each failed keep-alive is sent twice.
TEST_F(ConnSessionTest, KeepAliveRetryCounting) {
    Start({"--fault", "keep:1:http500", "--fault", "keep:2:http500", "--fault", "keep:3:drop",
           "--fault", "keep:4:drop", "--fault", "keep:6+:http500"});
    auto now = std::chrono::steady_clock::now();
    m_conn->SetKeepClock([&now] { return now; });
    LogIn(*m_conn);
    ASSERT_EQ(2, m_conn->GetKeepRetry());
    size_t before = m_host.States().size();
    EXPECT_EQ(0, m_conn->KeepPluse());
    EXPECT_EQ(1, m_conn->GetKeepRetry());
    EXPECT_EQ(0, m_conn->KeepPluse());
    EXPECT_EQ(0, m_conn->GetKeepRetry());
    EXPECT_EQ(before, m_host.States().size());  // tolerated failures say nothing
    EXPECT_EQ(1, m_conn->KeepPluse());
    EXPECT_EQ(1, m_conn->GetKeepRetry());
    EXPECT_EQ(0, m_conn->KeepPluse());
    now += std::chrono::seconds(29);
    EXPECT_EQ(0, m_conn->KeepPluse());  // no retry left, but not failing for 30 s yet
    EXPECT_EQ(before, m_host.States().size());
    now += std::chrono::seconds(1);
    EXPECT_EQ(-1, m_conn->KeepPluse());
    PostedState p = LastState();
    EXPECT_EQ(150108, p.code);
    EXPECT_EQ(ES::ES_CONNECTFAIL, m_conn->GetNetState());
    EXPECT_EQ(11u, Kinds().size() - 2);  // besides ticket and login
}

TEST_F(ConnSessionTest, KeepAlivePortalErrorsAndEndedLogin) {
    Start({"--keep-retry", "0", "--fault", "keep:1:error:7:gone", "--fault", "keep:2:error:7:gone",
           "--fault", "keep:3:endlogin"});
    auto now = std::chrono::steady_clock::now();
    m_conn->SetKeepClock([&now] { return now; });
    LogIn(*m_conn);
    ASSERT_EQ(1, m_conn->GetKeepRetry());
    EXPECT_EQ(0, m_conn->KeepPluse());  // the one tolerated failure
    now += std::chrono::seconds(30);
    EXPECT_EQ(-1, m_conn->KeepPluse());
    PostedState p = LastState();
    EXPECT_EQ(140007, p.code);
    EXPECT_EQ("gone", p.sub);

    // The portal ends the login: reported whatever retries are left.
    m_conn->NetStateChange(ES::ES_CONNECTING, ES::ES_CONNECTED, 1, "");
    EXPECT_EQ(-14, m_conn->KeepPluse());
    p = LastState();
    EXPECT_EQ(ES::ES_CONNECTED, p.oldState);
    EXPECT_EQ(ES::ES_DISCONNECTED, p.newState);
    EXPECT_EQ(14, p.code);
    // The state query then learns the login is over; not connected any more, so nothing shows.
    size_t count = m_host.States().size();
    EXPECT_EQ(-14, m_conn->CheckConnectState(0));
    EXPECT_EQ(count, m_host.States().size());

    m_conn->GetPortalConf()->strKeepUrl = "";
    EXPECT_EQ(-1, m_conn->KeepPluse());
    EXPECT_EQ(6u, Kinds().size());  // ticket, auth, three keep-alives, state
}

TEST_F(ConnSessionTest, StateQueries) {
    Start({"--fault", "state:4:error:14"});
    CAuthConfig& cfg = *m_conn->GetPortalConf();
    EXPECT_EQ(-1, m_conn->CheckConnectState(0));  // no ticket yet: nothing is asked
    EXPECT_TRUE(Kinds().empty());
    ASSERT_EQ(1, m_conn->RequestTicket());
    size_t count = m_host.States().size();
    EXPECT_EQ(0, m_conn->CheckConnectState(0));  // 300: the ticket holds no login yet
    CAutoString own = cfg.strTicket;
    cfg.strTicket = "unknown-ticket";
    EXPECT_EQ(0, m_conn->CheckConnectState(0));  // 301
    EXPECT_EQ(count, m_host.States().size());
    cfg.strTicket = own;

    // A login made elsewhere on our ticket (a scan of the QR code) is adopted.
    auto other = NewConn(m_host, nullptr);
    other->GetPortalConf()->strTicket = own;
    ASSERT_EQ(1, other->Connect(LoginMessage("alice", kPassword).c_str()));
    ASSERT_EQ(1, m_conn->CheckConnectState(0));
    EXPECT_EQ(ES::ES_CONNECTED, m_conn->GetNetState());
    EXPECT_EQ(1, LastState().code);
    EXPECT_EQ(m_sim->Url("/keep"), cfg.strKeepUrl.ToStdString());
    EXPECT_EQ("1", m_info->GetLocalValue("connState").ToStdString());
    // Tolerated keep-alive failures as after a login of our own: the announced 1, plus one.
    EXPECT_EQ(2, m_conn->GetKeepRetry());

    // The portal reports the login over while we hold it.
    EXPECT_EQ(-14, m_conn->CheckConnectState(0));
    PostedState p = LastState();
    EXPECT_EQ(ES::ES_CONNECTFAIL, p.newState);
    EXPECT_EQ(20010004, p.code);
}

TEST_F(ConnSessionTest, LogoutAnswers) {
    Start({"--fault", "term:2:error:7:busy", "--fault", "term:5+:drop"});
    LogIn(*m_conn);
    ASSERT_EQ(1, m_conn->DisConnect("2"));
    EXPECT_EQ(-1, m_conn->DisConnect("2"));
    PostedState p = LastState();
    EXPECT_EQ(140007, p.code);
    EXPECT_EQ("busy", p.sub);
    // The portal no longer knows the login (13, then 14 for one it ended): logged out.
    EXPECT_EQ(1, m_conn->DisConnect("2"));
    EXPECT_EQ(ES::ES_DISCONNECTED, m_conn->GetNetState());
    ASSERT_EQ(1, m_conn->Connect(LoginMessage("alice", kPassword).c_str()));
    Control("end-login\n");
    EXPECT_EQ(1, m_conn->DisConnect("3"));
    EXPECT_EQ(ES::ES_DISCONNECTED, m_conn->GetNetState());
    EXPECT_EQ("0", m_info->GetLocalValue("connState").ToStdString());

    // Reason 5 (a login left by an earlier run): announced and forgotten even when the request
    // then fails.
    m_conn->SetConnCfg(1);
    size_t count = m_host.States().size();
    EXPECT_EQ(-1, m_conn->DisConnect("5"));
    auto states = m_host.States();
    ASSERT_EQ(count + 1, states.size());
    EXPECT_EQ(30000106, states.back().code);
    EXPECT_EQ("0", m_info->GetLocalValue("connState").ToStdString());

    // Off the portal network: forgotten, nothing reported.
    m_conn->SetConnCfg(1);
    m_host.portalEnv = false;
    EXPECT_EQ(0, m_conn->DisConnect("2"));
    EXPECT_EQ("0", m_info->GetLocalValue("connState").ToStdString());
    EXPECT_EQ(count + 1, m_host.States().size());
    ASSERT_EQ(12u, Kinds().size());  // the control command is logged too
    EXPECT_EQ("3", Field(7, "reason"));
    EXPECT_EQ("5", Field(8, "reason"));
    EXPECT_EQ("5", Field(9, "reason"));  // the second send of the failed logout
}

// Another terminal of the account is listed and logged out; our own login stays.
TEST_F(ConnSessionTest, TerminalListAndRemoteLogout) {
    Start();
    LogIn(*m_conn);
    ResolverHost otherHost(m_dir.file("resolv.conf"));
    auto other = NewConn(otherHost, nullptr);
    other->GetPortalConf()->strClientId = "client-B";
    other->GetPortalConf()->hostName = "laptop";
    LogIn(*other);
    std::string otherTicket = other->GetPortalConf()->strTicket.ToStdString();

    CAutoString list;
    ASSERT_EQ(1, m_conn->TerminalRequestData(list));
    EXPECT_NE(std::string::npos, list.ToStdString().find("<ticket>" + otherTicket + "</ticket>"));
    size_t count = m_host.States().size();
    EXPECT_EQ(1, m_conn->TerminalTermRequest(CAutoString(otherTicket.c_str())));
    EXPECT_EQ(count, m_host.States().size());
    EXPECT_EQ(ES::ES_CONNECTED, m_conn->GetNetState());
    EXPECT_EQ(1, m_conn->KeepPluse());
    // Its login is gone and the portal says so: no tolerance is waited out for that.
    EXPECT_EQ(-10, other->KeepPluse());
    size_t term = Kinds().size() - 3;
    EXPECT_EQ("term", Kinds()[term]);
    EXPECT_EQ(otherTicket, Field(term, "ticket"));
    EXPECT_EQ("8", Field(term, "reason"));

    // A list request the portal does not answer gives 0 and leaves the output alone.
    Control("fault query:1+:http500\n");
    CAutoString none("untouched");
    EXPECT_EQ(0, m_conn->TerminalRequestData(none));
    EXPECT_EQ("untouched", none.ToStdString());
}

// The window learns of a login before the store is written (a synced write costs more than the
// whole login request), and the login's addresses and its "connState" record land in one write,
// so the record never says a login is held without what is needed to end it. A login adopted
// from the state query is stored the same way.
TEST_F(ConnSessionTest, LoginIsReportedFirstAndStoredInOneWrite) {
    Start();
    WatchedStore store(m_dir.file("conf.xml").c_str(), m_host);
    store.SetValue("hostName", "lab-pc");
    store.SetValue("clientId", "client-A");
    m_conn = NewConn(m_host, &store);
    ASSERT_EQ(1, m_conn->RequestTicket());
    const std::set<std::string> login = {"connState", "keepRetry", "keepUrl", "termUrl"};
    for (const char* how : {"login", "state query"}) {
        SCOPED_TRACE(how);
        store.TakeWrites();
        if (std::string(how) == "login")
            ASSERT_EQ(1, m_conn->Connect(LoginMessage("alice", kPassword).c_str()));
        else
            ASSERT_EQ(1, m_conn->CheckConnectState(0));
        const std::vector<WatchedStore::Write> writes = store.TakeWrites();
        ASSERT_EQ(1u, writes.size());
        EXPECT_EQ(login, writes[0].keys);
        const std::vector<PostedState> states = m_host.States();
        ASSERT_GE(writes[0].statesBefore, 1u);
        EXPECT_EQ(ES::ES_CONNECTED, states[writes[0].statesBefore - 1].newState);
        EXPECT_EQ("1", store.GetLocalValue("connState").ToStdString());
        EXPECT_EQ(m_sim->Url("/term"), store.GetLocalValue("termUrl").ToStdString());
    }
}
