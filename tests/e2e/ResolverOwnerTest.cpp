// The portal's name servers go to whoever owns the resolver in the test's namespace: the
// systemd-resolved fake on a private bus, the resolvconf fake, or else the resolver file. For
// each: what a console login applied, undone when the next start finds a run killed while
// logged in (before its stale login is logged out), and undone again at the logout.
#include <gtest/gtest.h>
#include <net/if.h>
#include <sys/stat.h>

#include <memory>
#include <string>

#include "E2eWorld.h"
#include "PrivateBus.h"

using namespace orvane_test;
using namespace std::chrono_literals;

namespace {

const char kPrompt[] = "If you want go to offline, Please enter [y]:\n";
const char kOwnResolver[] = "nameserver 192.0.2.53\nsearch campus.example\n";

enum class Owner { kResolved, kResolvconf, kFile };

// The last line of text that starts with prefix, empty when none.
std::string LastLine(const std::string& text, const std::string& prefix) {
    std::string last;
    for (size_t pos = 0; pos < text.size();) {
        size_t end = text.find('\n', pos);
        end = end == std::string::npos ? text.size() : end;
        if (text.compare(pos, prefix.size(), prefix) == 0)
            last = text.substr(pos, end - pos);
        pos = end + 1;
    }
    return last;
}

size_t Occurrences(const std::string& text, const std::string& needle) {
    size_t n = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1))
        ++n;
    return n;
}

class ResolverOwnerTest : public E2eTest, public ::testing::WithParamInterface<Owner> {
protected:
    void MakeOwnersWorld() {
        E2eOptions options = E2eOptions::Sim({"--dns1", "10.1.1.1", "--dns2", "10.1.1.2"});
        options.resolver = kOwnResolver;
        if (GetParam() == Owner::kResolved) {
            bus = std::make_unique<PrivateBus>();
            ASSERT_TRUE(bus->ok());
            options.systemBus = bus->Address();
        } else if (GetParam() == Owner::kResolvconf) {
            resolvconf = std::make_unique<ResolvconfFolder>();
            options.resolvconfPath = "/nonexistent:" + resolvconf->Folder();
        }
        E2E_WORLD(options);
        NetnsScope inside(world->ns().name());
        ASSERT_TRUE(inside.entered());
        link = std::to_string(if_nametoindex("veth0"));
        // The link's own settings, which the undoing must bring back.
        if (bus) {
            ASSERT_TRUE(bus->StartResolved({"--dns", link, "192.0.2.99", "--domain", link, "lan"}));
        }
    }
    bool LoggedIn() {
        return waitFor([&] { return world->ServiceOutput().find(kPrompt) != std::string::npos; },
                       30s, 20ms) &&
               world->LogHas(OwnerLine(), 5s);
    }
    std::string OwnerLine() const {
        switch (GetParam()) {
            case Owner::kResolved:
                return "name servers: systemd-resolved owns the resolver, set on link veth0 (" +
                       link + ")";
            case Owner::kResolvconf:
                return "name servers: resolvconf owns the resolver, record veth0.orvane";
            case Owner::kFile:
                break;
        }
        return "name servers: the resolver file owns the resolver, /etc/resolv.conf";
    }
    // The portal's servers are in force with the owner, and only there.
    bool Applied() const {
        switch (GetParam()) {
            case Owner::kResolved:
                return LastLine(bus->Calls(), "SetLinkDNS") ==
                           "SetLinkDNS " + link + " 10.1.1.1 10.1.1.2" &&
                       LastLine(bus->Calls(), "SetLinkDomains") ==
                           "SetLinkDomains " + link + " ~." &&
                       world->Resolver() == kOwnResolver;
            case Owner::kResolvconf:
                return LastLine(resolvconf->Log(), "-") == "-a veth0.orvane" &&
                       world->Resolver() == kOwnResolver;
            case Owner::kFile:
                break;
        }
        return world->Resolver() ==
               "nameserver 10.1.1.1\nnameserver 10.1.1.2\nsearch campus.example\n";
    }
    // The machine's own settings are back; undoings counts those made so far.
    bool Undone(size_t undoings) const {
        switch (GetParam()) {
            case Owner::kResolved:
                return LastLine(bus->Calls(), "SetLinkDNS") ==
                           "SetLinkDNS " + link + " 192.0.2.99" &&
                       LastLine(bus->Calls(), "SetLinkDomains") ==
                           "SetLinkDomains " + link + " lan" &&
                       Occurrences(bus->Calls(), " 192.0.2.99\n") == undoings;
            case Owner::kResolvconf:
                return LastLine(resolvconf->Log(), "-") == "-d veth0.orvane" &&
                       Occurrences(resolvconf->Log(), "-d veth0.orvane\n") == undoings;
            case Owner::kFile:
                break;
        }
        return world->Resolver() == kOwnResolver;
    }
    std::string Record() const { return world->InstallFile("conf/resolv.conf.owner"); }
    bool RecordExists() const {
        struct stat st;
        return lstat(Record().c_str(), &st) == 0;
    }
    std::string Trace() const {
        return world->LogText() + (bus ? "--- bus\n" + bus->Calls() : "") +
               (resolvconf ? "--- resolvconf\n" + resolvconf->Log() : "");
    }

    std::unique_ptr<PrivateBus> bus;
    std::unique_ptr<ResolvconfFolder> resolvconf;
    std::string link;
};

}  // namespace

TEST_P(ResolverOwnerTest, AppliedWhileLoggedInUndoneAfterAKillAndAtLogout) {
    MakeOwnersWorld();
    if (IsSkipped() || HasFatalFailure())
        return;
    ASSERT_TRUE(world->StartService({E2eWorld::kUser, E2eWorld::kPassword}));
    ASSERT_TRUE(LoggedIn()) << Trace();
    EXPECT_TRUE(Applied()) << Trace();
    if (GetParam() != Owner::kFile) {
        struct stat st;
        ASSERT_EQ(0, lstat(Record().c_str(), &st));
        EXPECT_EQ(0600u, st.st_mode & 0777);
    }
    kill(world->Service().pid(), SIGKILL);
    ASSERT_EQ(-1, world->Service().Wait(10s));
    EXPECT_TRUE(Applied());

    // The next start undoes the killed run's change before anything else, logs out its stale
    // login (reason "5") and logs in anew.
    ASSERT_TRUE(world->StartService({E2eWorld::kUser, E2eWorld::kPassword}, "second"));
    EXPECT_TRUE(waitFor([&] { return Undone(1); }, 15s, 20ms)) << Trace();
    EXPECT_TRUE(WaitForLogout("5", 30s));
    ASSERT_TRUE(waitFor([&] { return Applied(); }, 30s, 20ms)) << Trace();
    ASSERT_TRUE(LoggedIn()) << Trace();

    ASSERT_TRUE(world->Service().WriteInput("y\n"));
    EXPECT_EQ(0, world->Service().Wait(20s)) << world->ServiceOutput();
    EXPECT_TRUE(Undone(2)) << Trace();
    EXPECT_FALSE(RecordExists());
    EXPECT_EQ(kOwnResolver, world->Resolver());
}

INSTANTIATE_TEST_SUITE_P(Owners, ResolverOwnerTest,
                         ::testing::Values(Owner::kResolved, Owner::kResolvconf, Owner::kFile),
                         [](const ::testing::TestParamInfo<Owner>& info) {
                             return info.param == Owner::kResolved     ? std::string("Resolved")
                                    : info.param == Owner::kResolvconf ? std::string("Resolvconf")
                                                                       : std::string("File");
                         });
