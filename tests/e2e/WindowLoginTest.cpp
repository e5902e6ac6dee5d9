// The whole login cycle of the real OrvaneSvr against portal-sim inside a network namespace, with
// the test playing the window on the two FIFOs: detection, ticket, login, keep-alive, logout, the
// client restarting, logins the service did not make itself, the portal ending a login, and the
// failures found before any portal conversation.
#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "E2eWorld.h"

using namespace orvane_test;
using namespace std::chrono_literals;

namespace {

class WindowLoginTest : public E2eTest {};

}  // namespace

TEST_F(WindowLoginTest, ClientStartCheckLoginKeepAliveAndLogout) {
    E2E_WORLD();
    StartToPreconnected();
    if (HasFatalFailure())
        return;
    // Detection starts with the progress code and ends ready for login after a ticket.
    ASSERT_FALSE(window.States().empty());
    EXPECT_EQ(33, window.States().front().newState);
    EXPECT_EQ(30000101, window.States().front().code);
    EXPECT_EQ(51, window.States().back().type);
    EXPECT_EQ(0, window.States().back().code);
    EXPECT_GE(world->Count("probe"), 1u);
    EXPECT_EQ(1u, world->Count("ticket"));

    LogIn();
    if (HasFatalFailure())
        return;
    NetState connected = window.States().back();
    EXPECT_EQ(1, connected.code);
    EXPECT_EQ(1, connected.oldState);
    EXPECT_EQ("1", world->StoreValue("connState"));
    const auto logins = world->Requests("auth");
    ASSERT_EQ(1u, logins.size());
    EXPECT_EQ(E2eWorld::kUser, E2eWorld::Field(logins[0], "fields", "userid"));
    ASSERT_TRUE(world->WaitForRequests("keep", 3, 10s));

    ASSERT_TRUE(window.Send("PortalDisConnect", "<src>2</src>"));
    NetState off;
    ASSERT_TRUE(window.WaitState(12, 15s, &off));
    EXPECT_EQ(11, off.oldState);
    EXPECT_EQ(1, off.code);
    EXPECT_EQ(1u, Logouts("2"));
    EXPECT_EQ("0", world->StoreValue("connState"));
    // A logout the user asked for stops the keep-alive and prepares no new ticket.
    const size_t keeps = world->Count("keep");
    const size_t tickets = world->Count("ticket");
    std::this_thread::sleep_for(2500ms);
    EXPECT_EQ(keeps, world->Count("keep"));
    EXPECT_EQ(tickets, world->Count("ticket"));
    // The password never reaches the log.
    EXPECT_EQ(std::string::npos, world->LogText().find(E2eWorld::kPassword));
}

TEST_F(WindowLoginTest, RestartedClientIsToldPreconnectedThenTheCurrentState) {
    E2E_WORLD();
    StartToPreconnected();
    LogIn();
    if (HasFatalFailure())
        return;
    const size_t before = window.States().size();
    ASSERT_TRUE(window.Connect(world->Install()));
    ASSERT_TRUE(window.Send("ClientStart"));
    ASSERT_TRUE(window.WaitState(2, 10s));
    // Exactly two state messages answer the new client, and no second start acknowledgement.
    ASSERT_EQ(before + 2, window.States().size());
    const NetState first = window.States()[before];
    EXPECT_EQ(51, first.type);
    EXPECT_EQ(0, first.oldState);
    EXPECT_EQ(31, first.newState);
    EXPECT_EQ(0, first.code);
    EXPECT_EQ(1, window.States().back().code);
    size_t acks = 0;
    for (const std::string& m : window.Messages())
        acks += m.find("<OpC>ClientStartComplete</OpC>") != std::string::npos;
    EXPECT_EQ(1u, acks);
    // The login survives the client's restart: the keep-alive goes on, no new login is made.
    const size_t keeps = world->Count("keep");
    EXPECT_TRUE(world->WaitForRequests("keep", keeps + 2, 6s));
    EXPECT_EQ(1u, world->Count("auth"));
}

TEST_F(WindowLoginTest, LoginMadeElsewhereIsAdoptedByTheStatePoll) {
    E2E_WORLD();
    StartToPreconnected();
    if (HasFatalFailure())
        return;
    ASSERT_TRUE(world->SimControl("login-elsewhere " + std::string(E2eWorld::kUser)));
    ASSERT_TRUE(window.WaitState(2, 10s));
    EXPECT_TRUE(world->WaitForRequests("keep", 2, 10s));
    EXPECT_EQ(0u, world->Count("auth"));
}

TEST_F(WindowLoginTest, KeepAliveFailuresBeyondTheRetryCountLogOutWithReason3) {
    E2E_WORLD(E2eOptions::Sim({"--keep-retry", "1", "--fault", "keep:2+:http500"}));
    StartToPreconnected();
    LogIn();
    if (HasFatalFailure())
        return;
    // The login counts as lost once the keep-alives have failed for 30 s.
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(WaitForLogout("3", 45s)) << "requests: " << world->Count("keep") << " keep";
    EXPECT_GE(std::chrono::steady_clock::now() - start, 29s);
    EXPECT_EQ(0u, Logouts("2"));
    // Then the service logs in again by itself, and the window shows it doing so.
    EXPECT_TRUE(world->WaitForRequests("auth", 2, 15s));
    NetState again;
    EXPECT_TRUE(waitFor([&] { return window.WaitState(33, 200ms, &again) && again.code == 150121; },
                        15s, 0ms));
}

TEST_F(WindowLoginTest, PortalEndingTheLoginIsFollowedByANewLogin) {
    E2E_WORLD(E2eOptions::Sim({"--fault", "keep:2:endlogin"}));
    StartToPreconnected();
    LogIn();
    if (HasFatalFailure())
        return;
    NetState ended;
    ASSERT_TRUE(window.WaitState(12, 15s, &ended));
    EXPECT_EQ(2, ended.oldState);
    EXPECT_EQ(14, ended.code);
    // A new detection, ticket and log-in follow by themselves; nothing is logged out, since the
    // portal already ended the login.
    EXPECT_TRUE(world->WaitForRequests("ticket", 2, 10s));
    EXPECT_TRUE(world->WaitForRequests("auth", 2, 10s));
    EXPECT_TRUE(window.WaitState(2, 10s));
    EXPECT_EQ(0u, world->Count("term"));
}

TEST_F(WindowLoginTest, RestartWithOwnLoginOnAnOpenNetworkLogsOutWithReason5AndChecksAgain) {
    E2E_WORLD();
    StartToPreconnected();
    LogIn();
    if (HasFatalFailure())
        return;
    // The service dies without logging out: the portal still holds the login, so its probe is
    // no longer redirected, and the store still says the login is ours.
    kill(world->Service().pid(), SIGKILL);
    world->Service().Wait(5s);
    ASSERT_EQ("1", world->StoreValue("connState"));
    const size_t probes = world->Count("probe");

    StartToPreconnected("svr2");
    if (HasFatalFailure())
        return;
    EXPECT_TRUE(world->LogHas("net is connected,now disconnect", 1s));
    ASSERT_EQ(1u, Logouts("5"));
    // Order at the simulator: open probe, logout "5", redirected probe, ticket.
    const double logoutAt = E2eWorld::Time(world->Requests("term").back());
    const auto probeList = world->Requests("probe");
    ASSERT_GE(probeList.size(), probes + 2);
    EXPECT_LT(E2eWorld::Time(probeList[probes]), logoutAt);
    EXPECT_GE(E2eWorld::Time(probeList.back()), logoutAt);
    EXPECT_LE(logoutAt, E2eWorld::Time(world->Requests("ticket").back()));
}

TEST_F(WindowLoginTest, OpenNetworkNotOursIsReportedAndProbedEvery5Seconds) {
    // The first probe gets an ordinary page (an open network), later ones fail.
    E2E_WORLD(E2eOptions::Sim({"--fault", "probe:1:garbage", "--fault", "probe:2+:http500"}));
    ASSERT_TRUE(world->StartService());
    ASSERT_TRUE(window.Connect(world->Install()));
    ASSERT_TRUE(window.Send("ClientStart"));
    ASSERT_TRUE(window.WaitFor("ClientStartComplete", 10s));
    ASSERT_TRUE(window.Send("CheckEnv"));
    NetState open;
    ASSERT_TRUE(window.WaitState(2, 20s, &open));
    EXPECT_EQ(0, open.type);
    EXPECT_EQ(1, open.oldState);
    EXPECT_EQ(0, open.code);
    ASSERT_TRUE(world->WaitForRequests("probe", 3, 14s));
    const auto probes = world->Requests("probe");
    const double gap1 = E2eWorld::Time(probes[1]) - E2eWorld::Time(probes[0]);
    const double gap2 = E2eWorld::Time(probes[2]) - E2eWorld::Time(probes[1]);
    EXPECT_NEAR(5.0, gap1, 1.0);
    EXPECT_NEAR(5.0, gap2, 1.0);
    EXPECT_EQ(0u, world->Count("ticket"));
}

TEST_F(WindowLoginTest, NoDefaultRouteIsReportedWithoutAnyRequestUntilOneAppears) {
    E2E_WORLD(E2eOptions::NoDefaultRoute());
    ASSERT_TRUE(world->StartService());
    ASSERT_TRUE(window.Connect(world->Install()));
    ASSERT_TRUE(window.Send("ClientStart"));
    ASSERT_TRUE(window.WaitFor("ClientStartComplete", 10s));
    ASSERT_TRUE(window.Send("CheckEnv"));
    // Without a default route the network is down: the window says so, nothing is sent, and the
    // route's arrival starts the detection by itself.
    NetState down;
    ASSERT_TRUE(window.WaitState(33, 15s, &down));
    EXPECT_EQ(150120, down.code);
    EXPECT_EQ(0u, world->Count("probe"));
    EXPECT_TRUE(world->LogHas("no link or default route", 1s));
    ASSERT_TRUE(world->ns().exec("ip link add veth0 type veth peer name veth1") &&
                world->ns().exec("ip addr add 192.0.2.10/24 dev veth0") &&
                world->ns().exec("ip link set veth0 up") &&
                world->ns().exec("ip link set veth1 up") &&
                world->ns().exec("ip route add default via 192.0.2.1"));
    EXPECT_TRUE(window.WaitState(31, 15s)) << window.Transcript();
}

TEST_F(WindowLoginTest, SimulatorDownIsADetectionFailure) {
    E2E_WORLD();
    ASSERT_TRUE(world->StopSim());
    ASSERT_TRUE(world->StartService());
    ASSERT_TRUE(window.Connect(world->Install()));
    ASSERT_TRUE(window.Send("ClientStart"));
    ASSERT_TRUE(window.WaitFor("ClientStartComplete", 10s));
    ASSERT_TRUE(window.Send("CheckEnv"));
    NetState failed;
    ASSERT_TRUE(window.WaitState(32, 20s, &failed));
    EXPECT_EQ(20010207, failed.code);
    EXPECT_TRUE(world->LogHas("check net status is fail", 1s));
}

TEST_F(WindowLoginTest, FirstStartCreatesAVersion1ClientIdAndTheNextStartKeepsIt) {
    E2E_WORLD();
    StartToPreconnected();
    if (HasFatalFailure())
        return;
    const std::string id = world->StoreValue("clientId");
    EXPECT_TRUE(std::regex_match(
        id, std::regex("[0-9a-f]{8}-[0-9a-f]{4}-1[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}")))
        << id;
    ASSERT_EQ(1u, world->Count("ticket"));
    EXPECT_EQ(id, E2eWorld::Field(world->Requests("ticket")[0], "fields", "client-id"));
    EXPECT_EQ(0, world->StopService());

    StartToPreconnected("svr2");
    if (HasFatalFailure())
        return;
    EXPECT_EQ(id, world->StoreValue("clientId"));
    const auto tickets = world->Requests("ticket");
    ASSERT_EQ(2u, tickets.size());
    EXPECT_EQ(id, E2eWorld::Field(tickets[1], "fields", "client-id"));
}
