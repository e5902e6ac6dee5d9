// Enforcement of the operator's rule against sharing the login, with the real OrvaneSvr inside a
// network namespace: a forbidden program running, forwarding switched on in the namespace, and
// program names from the portal that must never reach a shell.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "E2eWorld.h"

using namespace orvane_test;
using namespace std::chrono_literals;

namespace {

class SharingTest : public E2eTest {
protected:
    // Sharing checks every second; a finding logs out three seconds later.
    static E2eOptions Against(const std::string& against) {
        return E2eOptions::Sim({"--against-interval", "1", "--logout-delay", "3",
                                "--against-extra", "<against>" + against + "</against>"});
    }
    // Seconds from the login to the forced logout at the simulator.
    double LoginToLogout() {
        return E2eWorld::Time(world->Requests("term").back()) -
               E2eWorld::Time(world->Requests("auth").back());
    }
};

const char kForwardingLabel[] = "IP\xCA\xFD\xBE\xDD\xD7\xAA\xB7\xA2";

}  // namespace

TEST_F(SharingTest, ForbiddenProgramRunningLogsOutWithReason6AfterTheDelay) {
    const std::string program = "orvsh" + std::to_string(getpid());
    E2E_WORLD(Against("<process displayname=\"Hotspot helper\">" + program + "</process>"));
    NamedSleeper sleeper(world->dir().path(), program);
    ASSERT_TRUE(waitFor([&] { return sleeper.running(program); }, 5s));
    StartToPreconnected();
    LogIn();
    if (HasFatalFailure())
        return;
    ASSERT_TRUE(WaitForLogout("6", 15s));
    EXPECT_TRUE(world->LogHas("Hotspot helper\n", 1s));
    // The first check comes at least a second after the login (the timer counts whole seconds,
    // so an entry set for n seconds fires after n-1 to n), the logout after the delay.
    EXPECT_GE(LoginToLogout(), 3.0);
    ASSERT_TRUE(window.WaitState(12, 10s));
    EXPECT_EQ(1u, world->Count("term"));
}

TEST_F(SharingTest, ForwardingInTheNamespaceLogsOutWithTheForwardingLabel) {
    E2E_WORLD(Against("<shared><ipforward>1</ipforward></shared>"));
    ASSERT_TRUE(world->ns().exec("sysctl -qw net.ipv4.ip_forward=1"));
    StartToPreconnected();
    LogIn();
    if (HasFatalFailure())
        return;
    ASSERT_TRUE(WaitForLogout("6", 15s));
    EXPECT_TRUE(world->LogHas(std::string(kForwardingLabel) + "\n", 1s));
    EXPECT_GE(LoginToLogout(), 3.0);
}

TEST_F(SharingTest, HostileProgramNamesAreRefusedAndNothingRuns) {
    // Forwarding is listed too but off in the namespace, whatever the machine itself does.
    E2E_WORLD(Against("<process displayname=\"a\">x;touch pwned1</process>"
                      "<process displayname=\"b\">$(touch pwned2)</process>"
                      "<process displayname=\"c\">`touch pwned3`</process>"
                      "<process displayname=\"d\">-e</process>"
                      "<shared><ipforward>1</ipforward></shared>"));
    StartToPreconnected();
    LogIn();
    if (HasFatalFailure())
        return;
    EXPECT_TRUE(world->LogHas("program name refused, not checked: \"x;touch pwned1\"", 5s));
    EXPECT_TRUE(world->LogHas("program name refused, not checked: \"$(touch pwned2)\"", 1s));
    EXPECT_TRUE(world->LogHas("program name refused, not checked: \"`touch pwned3`\"", 1s));
    // Several checks pass without a finding.
    std::this_thread::sleep_for(5s);
    EXPECT_EQ(0u, world->Count("term"));
    for (const char* file : {"pwned1", "pwned2", "pwned3"}) {
        EXPECT_FALSE(std::filesystem::exists(world->InstallFile(file))) << file;
        EXPECT_FALSE(std::filesystem::exists(world->dir().file(file))) << file;
    }
}
