// Traffic reports of the real OrvaneSvr inside a network namespace, as portal-sim's statistics
// server decrypts and records them: the schedule (nothing at login, TIMING every interval, the
// LOGOUT report before the logout), counters that follow traffic the test puts through the
// adapter, and logouts that a refusing or stalling statistics server cannot hold up.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <linux/if_packet.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "CUniqueFd.h"
#include "E2eWorld.h"

using namespace orvane_test;
using namespace std::chrono_literals;

namespace {

// A report as the statistics server recorded it.
struct Report {
    int type = -1;
    double up = -1;  // kilobytes
    double down = -1;
    std::string start, stop;
    double timestamp = 0;
    double time = 0;  // arrival at the simulator
};

Report ReadReport(const cJSON* rec) {
    Report r;
    const cJSON* type = cJSON_GetObjectItemCaseSensitive(rec, "stattype");
    const cJSON* stamp = cJSON_GetObjectItemCaseSensitive(rec, "timestamp");
    r.type = cJSON_IsNumber(type) ? type->valueint : -1;
    r.timestamp = cJSON_IsNumber(stamp) ? stamp->valuedouble : 0;
    r.up = std::atof(E2eWorld::Field(rec, "up").c_str());
    r.down = std::atof(E2eWorld::Field(rec, "down").c_str());
    r.start = E2eWorld::Field(rec, "start");
    r.stop = E2eWorld::Field(rec, "stop");
    r.time = E2eWorld::Time(rec);
    return r;
}

std::string LocalTime(double seconds) {
    const time_t t = static_cast<time_t>(seconds);
    tm local{};
    localtime_r(&t, &local);
    char text[32];
    strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
    return text;
}

// Sends count Ethernet frames of size bytes out of the interface (broadcast, an experimental
// ether type nobody answers), from inside the namespace. Over a veth pair, frames sent on one end
// are the other end's received bytes. Returns the bytes handed to the card.
size_t SendFrames(const std::string& ns, const char* card, int count, size_t size) {
    NetnsScope inside(ns);
    if (!inside.entered())
        return 0;
    CUniqueFd fd(socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, htons(0x88b5)));
    sockaddr_ll to{};
    to.sll_family = AF_PACKET;
    to.sll_ifindex = static_cast<int>(if_nametoindex(card));
    to.sll_halen = ETH_ALEN;
    std::string frame(size, 'x');
    frame.replace(0, 14, "\xff\xff\xff\xff\xff\xff\x02\x00\x00\x00\x00\x01\x88\xb5", 14);
    std::fill(to.sll_addr, to.sll_addr + ETH_ALEN, 0xff);
    size_t sent = 0;
    for (int i = 0; fd.get() >= 0 && to.sll_ifindex > 0 && i < count; ++i) {
        const ssize_t n = sendto(fd.get(), frame.data(), frame.size(), 0,
                                 reinterpret_cast<const sockaddr*>(&to), sizeof to);
        sent += n > 0 ? static_cast<size_t>(n) : 0;
    }
    return sent;
}

class TrafficStatisticsTest : public E2eTest {
protected:
    std::vector<Report> Reports() {
        std::vector<Report> out;
        for (const cJSON* rec : world->Requests("stats"))
            out.push_back(ReadReport(rec));
        return out;
    }
    bool WaitReports(size_t n, std::chrono::milliseconds timeout) {
        return world->WaitForRequests("stats", n, timeout);
    }
    double LogoutTime(const std::string& reason) {
        for (const cJSON* rec : world->Requests("term")) {
            if (E2eWorld::Field(rec, "fields", "reason") == reason)
                return E2eWorld::Time(rec);
        }
        return -1;
    }
    static double Now() {
        return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch())
            .count();
    }
    void LogInWithReports(const std::vector<std::string>& simArgs) {
        E2E_WORLD(E2eOptions::Sim(simArgs));
        StartToPreconnected();
        LogIn();
    }
    // The login's counter reading has been taken. A logout asked for before it replaces that
    // reading, and its report then has no start to count from.
    void WaitLoginReading() {
        ASSERT_TRUE(world->LogHas("traffic report type 1 sent, result 0", 5s));
    }
};

}  // namespace

TEST_F(TrafficStatisticsTest, TimingReportsFollowTheTrafficAndTheLogoutReportGoesFirst) {
    LogInWithReports({"--stats-interval", "2"});
    if (IsSkipped() || HasFatalFailure())
        return;
    const double login = E2eWorld::Time(world->Requests("auth").back());
    // The login only takes its counter reading: the first report is the first TIMING one.
    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(0u, world->Count("stats"));
    ASSERT_TRUE(WaitReports(1, 5s));

    // Traffic through the adapter: 300 frames out of veth0 and 200 into it.
    const double sendStart = Now();
    const size_t sent = SendFrames(world->ns().name(), "veth0", 300, 1000);
    const size_t received = SendFrames(world->ns().name(), "veth1", 200, 1000);
    const double sendEnd = Now();
    ASSERT_EQ(300000u, sent);
    ASSERT_EQ(200000u, received);
    ASSERT_TRUE(waitFor(
        [&] {
            const std::vector<Report> all = Reports();
            return all.back().time > sendEnd + 0.5;
        },
        6s));

    std::vector<Report> reports = Reports();
    const Report* before = nullptr;
    const Report* after = nullptr;
    for (const Report& r : reports) {
        if (r.time < sendStart)
            before = &r;
        if (after == nullptr && r.time > sendEnd + 0.5)
            after = &r;
    }
    ASSERT_NE(nullptr, before);
    ASSERT_NE(nullptr, after);
    // Kilobytes, cut to thousandths; a little room for the card's own chatter (IPv6 neighbour
    // discovery and the like).
    EXPECT_GE(after->up - before->up, sent / 1024.0 - 0.002);
    EXPECT_LE(after->up - before->up, sent / 1024.0 + 4);
    EXPECT_GE(after->down - before->down, received / 1024.0 - 0.002);
    EXPECT_LE(after->down - before->down, received / 1024.0 + 4);

    for (size_t i = 0; i < reports.size(); ++i) {
        const Report& r = reports[i];
        EXPECT_EQ(2, r.type);
        EXPECT_EQ(reports[0].start, r.start);  // counted from the login
        EXPECT_LE(r.start, r.stop);
        EXPECT_NEAR(r.time, r.timestamp, 2.0);
        EXPECT_EQ(LocalTime(r.timestamp), r.stop.substr(0, 19)) << "report " << i;
        if (i > 0) {
            EXPECT_GE(r.up, reports[i - 1].up);
            // Each report arms the next one interval later (the timer counts whole seconds).
            EXPECT_GE(r.time - reports[i - 1].time, 0.9);
            EXPECT_LE(r.time - reports[i - 1].time, 3.5);
        }
    }
    EXPECT_NEAR(login, reports[0].time - 1.5, 1.6);
    const cJSON* first = world->Requests("stats").front();
    EXPECT_EQ(std::string(E2eWorld::kUser), E2eWorld::Field(first, "report", "account"));
    EXPECT_EQ("192.0.2.10", E2eWorld::Field(first, "report", "ipv4"));
    EXPECT_EQ("127.0.0.1", E2eWorld::Field(first, "report", "brasip"));

    // The window's logout: the LOGOUT report, then the logout with reason "2", then nothing more.
    ASSERT_TRUE(window.Send("PortalDisConnect", "<src>2</src>"));
    ASSERT_TRUE(WaitForLogout("2", 10s));
    const double logout = LogoutTime("2");
    const double lastUp = after->up;
    std::this_thread::sleep_for(3500ms);
    reports = Reports();
    size_t logoutReports = 0;
    for (const Report& r : reports) {
        if (r.type == 0) {
            ++logoutReports;
            EXPECT_LE(r.time, logout);
            EXPECT_GE(r.up, lastUp);
        } else {
            EXPECT_LT(r.time, logout) << "a TIMING report after the logout";
        }
    }
    EXPECT_EQ(1u, logoutReports);
    EXPECT_EQ(0, reports.back().type);
}

TEST_F(TrafficStatisticsTest, DisabledReportsSendNothingAndTheLogoutGoesAtOnce) {
    LogInWithReports({"--stats-enable", "0", "--stats-interval", "1"});
    if (IsSkipped() || HasFatalFailure())
        return;
    std::this_thread::sleep_for(2500ms);
    const double asked = Now();
    ASSERT_TRUE(window.Send("PortalDisConnect", "<src>2</src>"));
    ASSERT_TRUE(WaitForLogout("2", 5s));
    EXPECT_LT(LogoutTime("2") - asked, 1.5);
    std::this_thread::sleep_for(1500ms);
    EXPECT_EQ(0u, world->Count("stats"));
}

// Nothing listens at the statistics address: the report fails at once and the logout follows.
TEST_F(TrafficStatisticsTest, RefusedReportDoesNotHoldTheLogout) {
    LogInWithReports({"--stats-refuse", "--stats-interval", "60"});
    if (IsSkipped() || HasFatalFailure())
        return;
    WaitLoginReading();
    if (HasFatalFailure())
        return;
    const double asked = Now();
    ASSERT_TRUE(window.Send("PortalDisConnect", "<src>2</src>"));
    ASSERT_TRUE(WaitForLogout("2", 12s));
    EXPECT_LT(LogoutTime("2") - asked, 3.0);
    EXPECT_TRUE(world->LogHas("traffic report type 0 sent, result -4", 1s));
}

// The statistics server takes the report and never answers: the post gives up after its 10 s
// and the logout follows then, not later.
TEST_F(TrafficStatisticsTest, StalledReportHoldsTheLogoutNoLongerThanItsLimit) {
    LogInWithReports({"--stats-stall", "--stats-interval", "60"});
    if (IsSkipped() || HasFatalFailure())
        return;
    WaitLoginReading();
    if (HasFatalFailure())
        return;
    ASSERT_TRUE(window.Send("PortalDisConnect", "<src>2</src>"));
    ASSERT_TRUE(WaitReports(1, 5s));
    const Report report = Reports().back();
    EXPECT_EQ(0, report.type);
    ASSERT_TRUE(WaitForLogout("2", 15s));
    const double held = LogoutTime("2") - report.time;
    EXPECT_GE(held, 9.0);
    EXPECT_LE(held, 11.5);
}

// A logout after failed keep-alives (reason "3") does not go through the LOGOUT report, so the
// pending TIMING report still fires afterwards.
TEST_F(TrafficStatisticsTest, KeepAliveFailureLogoutLeavesTimingReportsPending) {
    LogInWithReports({"--stats-interval", "1", "--keep-retry", "0"});
    if (IsSkipped() || HasFatalFailure())
        return;
    ASSERT_TRUE(WaitReports(1, 5s));
    ASSERT_TRUE(world->SimControl("fault keep:1+:error:99"));
    // The login counts as lost once the keep-alives have failed for 30 s.
    ASSERT_TRUE(WaitForLogout("3", 45s));
    const double logout = LogoutTime("3");
    ASSERT_TRUE(waitFor(
        [&] {
            const std::vector<Report> all = Reports();
            return all.back().time > logout;
        },
        5s));
    for (const Report& r : Reports())
        EXPECT_EQ(2, r.type);
}
