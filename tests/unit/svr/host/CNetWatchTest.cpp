// Network awareness from rtnetlink, inside namespaces the tests make: every change of a link, an
// address or a route there must reach the snapshot and the callback within two seconds, bursts are
// read once, and the idle watcher costs nothing and stops at once.
#include "CNetWatch.h"

#include <gtest/gtest.h>
#include <net/if.h>
#include <sys/resource.h>
#include <time.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "NetNamespace.h"
#include "TestSupport.h"

using namespace std::chrono_literals;
using orvane_test::NetNamespace;
using orvane_test::NetnsScope;
using Snapshot = CNetWatch::Snapshot;

namespace {

// Records the callbacks, which come on the watcher thread.
class CallbackLog {
public:
    CNetWatch::Callback Callback() {
        return [this](const Snapshot& before, const Snapshot& now) {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_calls.emplace_back(before, now);
            m_changed.notify_all();
        };
    }
    // True once the latest call reported wanted.
    bool WaitForLatest(const Snapshot& wanted, std::chrono::milliseconds timeout) {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_changed.wait_for(
            lock, timeout, [&] { return !m_calls.empty() && m_calls.back().second == wanted; });
    }
    std::vector<std::pair<Snapshot, Snapshot>> Calls() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_calls;
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<std::pair<Snapshot, Snapshot>> m_calls;
};

// Each call's "before" is what the previous one (or the first reading) said "now", and each
// call reports a change.
void ExpectAChainOfChanges(const Snapshot& first,
                           const std::vector<std::pair<Snapshot, Snapshot>>& calls) {
    Snapshot last = first;
    for (const auto& call : calls) {
        EXPECT_EQ(call.first.Describe(), last.Describe());
        EXPECT_NE(call.first, call.second) << call.second.Describe();
        last = call.second;
    }
}

// The expected snapshot with the interface index of its card, as the namespace numbers it.
Snapshot WithIndex(Snapshot expected) {
    expected.ifindex =
        expected.card.empty() ? 0 : static_cast<int>(if_nametoindex(expected.card.c_str()));
    return expected;
}

double ProcessCpuMs() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

struct NetEvent {
    const char* name;
    std::vector<std::string> setup;   // commands run before the watcher starts
    std::vector<std::string> change;  // commands run while it watches
    Snapshot expected;                // after the change (the index is looked up)
};

const std::vector<std::string> kSecondCard = {"ip link add veth2 type veth peer name veth3",
                                              "ip addr add 198.51.100.10/24 dev veth2",
                                              "ip link set veth2 up", "ip link set veth3 up"};

const NetEvent kEvents[] = {
    {"CarrierLost", {}, {"ip link set veth1 down"}, {false, "veth0", 0, "192.0.2.10", ""}},
    {"CardDown", {}, {"ip link set veth0 down"}, {false, "", 0, "", ""}},
    {"CarrierBack",
     {"ip link set veth1 down"},
     {"ip link set veth1 up"},
     {true, "veth0", 0, "192.0.2.10", ""}},
    {"DefaultRouteDeleted", {}, {"ip route del default"}, {false, "", 0, "", ""}},
    {"DefaultRouteMovedToAnotherCard",
     kSecondCard,
     {"ip route replace default via 198.51.100.1 dev veth2"},
     {true, "veth2", 0, "198.51.100.10", ""}},
    {"AddressChanged",
     {"sysctl -w net.ipv4.conf.veth0.promote_secondaries=1", "ip addr add 192.0.2.20/24 dev veth0"},
     {"ip addr del 192.0.2.10/24 dev veth0"},
     {true, "veth0", 0, "192.0.2.20", ""}},
    // Without an IPv4 default the IPv6 one counts; a deprecated address is not the card's.
    {"OnlyAnIpv6DefaultRouteAppears",
     {"ip -6 addr add 2001:db8::99/64 dev veth0 nodad preferred_lft 0",
      "ip -6 addr add 2001:db8::10/64 dev veth0 nodad", "ip route del default"},
     {"ip -6 route add default via 2001:db8::1 dev veth0"},
     {true, "veth0", 0, "192.0.2.10", "2001:db8::10"}},
};

void PrintTo(const NetEvent& event, std::ostream* out) {
    *out << event.name;
}

class NetWatchEventTest : public ::testing::TestWithParam<NetEvent> {};

TEST_P(NetWatchEventTest, ReachesTheSnapshotAndTheCallbackWithinTwoSeconds) {
    const NetEvent& event = GetParam();
    NetNamespace ns(true);
    if (!ns.ok())
        GTEST_SKIP() << ns.error();
    for (const std::string& command : event.setup)
        ASSERT_TRUE(ns.exec(command)) << command;
    NetnsScope inside(ns.name());
    ASSERT_TRUE(inside.entered());
    CallbackLog log;
    CNetWatch watcher;
    ASSERT_TRUE(watcher.Start(log.Callback())) << watcher.LastError();
    const Snapshot first = watcher.Current();
    EXPECT_EQ(first.Describe(), CNetWatch::Read().Describe());

    for (const std::string& command : event.change)
        ASSERT_TRUE(ns.exec(command)) << command;
    const Snapshot expected = WithIndex(event.expected);
    ASSERT_TRUE(log.WaitForLatest(expected, 2s))
        << "wanted " << expected.Describe() << ", have " << watcher.Current().Describe();
    EXPECT_EQ(watcher.Current(), expected);
    EXPECT_EQ(CNetWatch::Read().Describe(), expected.Describe());
    EXPECT_EQ(watcher.WaitUntilUp(expected.up ? 1000ms : 50ms), expected.up);
    ExpectAChainOfChanges(first, log.Calls());
}

INSTANTIATE_TEST_SUITE_P(Events, NetWatchEventTest, ::testing::ValuesIn(kEvents),
                         [](const ::testing::TestParamInfo<NetEvent>& info) {
                             return std::string(info.param.name);
                         });

TEST(NetWatchTest, ABurstOfChangesIsReadOnceItSettles) {
    NetNamespace ns(true);
    if (!ns.ok())
        GTEST_SKIP() << ns.error();
    NetnsScope inside(ns.name());
    ASSERT_TRUE(inside.entered());
    CallbackLog log;
    CNetWatch watcher;
    ASSERT_TRUE(watcher.Start(log.Callback())) << watcher.LastError();
    const Snapshot first = watcher.Current();
    ASSERT_TRUE(first.up) << first.Describe();

    // Twenty changes some 20 ms apart, ending where they began: a watcher that read the tables
    // after each of them would report most of the flapping.
    ASSERT_TRUE(
        ns.exec("sh -c 'for i in 1 2 3 4 5 6 7 8 9 10; do ip route del default; "
                "sleep 0.02; ip route add default via 192.0.2.1; sleep 0.02; done'"));
    std::this_thread::sleep_for(1500ms);  // past the longest burst the watcher waits out
    EXPECT_EQ(watcher.Current(), first) << watcher.Current().Describe();
    const auto calls = log.Calls();
    EXPECT_LE(calls.size(), 6u);
    ExpectAChainOfChanges(first, calls);
}

TEST(NetWatchTest, SleepsWhileIdleStopsPromptlyAndStartsAgain) {
    NetNamespace ns(true);
    if (!ns.ok())
        GTEST_SKIP() << ns.error();
    NetnsScope inside(ns.name());
    ASSERT_TRUE(inside.entered());
    CNetWatch watcher;
    ASSERT_TRUE(watcher.Start(nullptr)) << watcher.LastError();
    EXPECT_FALSE(watcher.Start(nullptr));
    EXPECT_TRUE(watcher.WaitUntilUp(0ms));
    std::this_thread::sleep_for(20ms);
    const double before = ProcessCpuMs();
    std::this_thread::sleep_for(300ms);
    EXPECT_LT(ProcessCpuMs() - before, 30.0) << "CPU ms used while idle";

    const auto start = std::chrono::steady_clock::now();
    watcher.Stop();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 200ms);
    watcher.Stop();

    ASSERT_TRUE(watcher.Start(nullptr)) << watcher.LastError();
    ASSERT_TRUE(ns.exec("ip route del default"));
    EXPECT_TRUE(orvane_test::waitFor([&] { return !watcher.Current().up; }, 2s));
    EXPECT_FALSE(watcher.WaitUntilUp(100ms));
}

TEST(NetWatchTest, StartSaysWhyNetlinkCannotBeOpened) {
    NetNamespace ns(false);
    if (!ns.ok())
        GTEST_SKIP() << ns.error();
    // In a child whose descriptor limit leaves no room for a socket.
    auto seen = ns.runInside([] {
        rlimit none{0, 0};
        if (setrlimit(RLIMIT_NOFILE, &none) != 0)
            return std::string("setrlimit failed");
        CNetWatch watcher;
        const bool started = watcher.Start(nullptr);
        std::string error;
        const Snapshot read = CNetWatch::Read(&error);
        return std::to_string(started) + " " + watcher.LastError() + "\n" + read.Describe() + "; " +
               error;
    });
    ASSERT_TRUE(seen);
    EXPECT_EQ(*seen,
              "0 cannot open a netlink socket: Too many open files\n"
              "down, no default route; cannot open a netlink socket: Too many open files");
}

}  // namespace
