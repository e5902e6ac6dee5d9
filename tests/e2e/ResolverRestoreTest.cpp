// The machine's own resolver file around a console login in a network namespace: the portal's
// name servers while logged in, the file back byte for byte after the log-out, and after a
// service killed while logged in has been started again.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "E2eWorld.h"

using namespace orvane_test;
using namespace std::chrono_literals;

namespace {

const char kPrompt[] = "If you want go to offline, Please enter [y]:\n";
const char kOwnResolver[] =
    "nameserver 192.168.0.1\nnameserver 10.20.0.2\noptions timeout:2 attempts:3\n"
    "search campus.example\n";

class ResolverRestoreTest : public E2eTest {
protected:
    void MakeWorldWith(std::vector<std::string> simArgs) {
        E2eOptions options = E2eOptions::Sim(std::move(simArgs));
        options.resolver = kOwnResolver;
        MakeWorld(options);
    }
    bool LoggedIn() {
        return waitFor([&] { return world->ServiceOutput().find(kPrompt) != std::string::npos; },
                       30s, 20ms);
    }
    std::string Saved() const { return world->InstallFile("conf/resolv.conf.saved"); }
    bool SavedExists() const {
        struct stat st;
        return lstat(Saved().c_str(), &st) == 0;
    }
    void LogOutWithY() {
        ASSERT_TRUE(world->Service().WriteInput("y\n"));
        EXPECT_EQ(0, world->Service().Wait(20s)) << world->ServiceOutput();
    }
};

}  // namespace

TEST_F(ResolverRestoreTest, PortalServersWhileLoggedInOwnFileAfterLogout) {
    MakeWorldWith({"--dns1", "10.1.1.1", "--dns2", "10.1.1.2"});
    if (IsSkipped() || HasFatalFailure())
        return;
    ASSERT_TRUE(world->StartService({E2eWorld::kUser, E2eWorld::kPassword}));
    ASSERT_TRUE(LoggedIn()) << world->ServiceOutput();
    EXPECT_EQ(
        "nameserver 10.1.1.1\nnameserver 10.1.1.2\noptions timeout:2 attempts:3\n"
        "search campus.example\n",
        world->Resolver());
    // Kept next to the store, for the owner only, while the rewrite is in force.
    struct stat st;
    ASSERT_EQ(0, lstat(Saved().c_str(), &st));
    EXPECT_EQ(0600u, st.st_mode & 0777);
    EXPECT_EQ(kOwnResolver, readFile(Saved()));

    LogOutWithY();
    EXPECT_EQ(kOwnResolver, world->Resolver());
    EXPECT_FALSE(SavedExists());
}

// A campus server with zeros inside its address is used; the second own server, which it
// displaces, comes back with the rest of the file.
TEST_F(ResolverRestoreTest, ServerWithZeroOctetsIsUsedAndTheFileComesBack) {
    MakeWorldWith({"--dns1", "10.0.0.1"});
    if (IsSkipped() || HasFatalFailure())
        return;
    ASSERT_TRUE(world->StartService({E2eWorld::kUser, E2eWorld::kPassword}));
    ASSERT_TRUE(LoggedIn()) << world->ServiceOutput();
    EXPECT_EQ("nameserver 10.0.0.1\noptions timeout:2 attempts:3\nsearch campus.example\n",
              world->Resolver());
    LogOutWithY();
    EXPECT_EQ(kOwnResolver, world->Resolver());
}

// Killed while logged in: the next start puts the file back before anything else (even without
// a client), and a later login and logout leave it as the machine had it.
TEST_F(ResolverRestoreTest, KilledWhileLoggedInRestoredAtTheNextStart) {
    MakeWorldWith({"--dns1", "10.1.1.1", "--dns2", "10.1.1.2"});
    if (IsSkipped() || HasFatalFailure())
        return;
    ASSERT_TRUE(world->StartService({E2eWorld::kUser, E2eWorld::kPassword}));
    ASSERT_TRUE(LoggedIn()) << world->ServiceOutput();
    ASSERT_NE(kOwnResolver, world->Resolver());
    kill(world->Service().pid(), SIGKILL);
    ASSERT_EQ(-1, world->Service().Wait(10s));
    EXPECT_NE(kOwnResolver, world->Resolver());

    // Window mode: the service waits for a client that never comes.
    ASSERT_TRUE(world->StartService({}, "second"));
    EXPECT_TRUE(waitFor([&] { return world->Resolver() == kOwnResolver; }, 15s, 20ms))
        << world->Resolver();
    EXPECT_FALSE(SavedExists());
    // Stopped only once it listens for the stop signal.
    ASSERT_TRUE(world->LogHas(
        "OrvaneSvr started, pid " + std::to_string(world->Service().pid()) + "\n", 10s));
    EXPECT_EQ(0, world->StopService());

    // The login of the killed run is still open at the portal: it is closed, then a new one made.
    ASSERT_TRUE(world->StartService({E2eWorld::kUser, E2eWorld::kPassword}, "third"));
    ASSERT_TRUE(LoggedIn()) << world->ServiceOutput();
    EXPECT_EQ(kOwnResolver, readFile(Saved()));
    LogOutWithY();
    EXPECT_EQ(kOwnResolver, world->Resolver());
}
