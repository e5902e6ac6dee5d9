// A portal that renews the algorithm container with a hostile module: the service stores it and
// runs it, but only in its unprivileged helper, never with root's identity.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "E2eWorld.h"

using namespace orvane_test;
using namespace std::chrono_literals;

namespace {

class ModuleRenewalTest : public E2eTest {
protected:
    // The probe's report ("euid=N write=E") from the first ticket request that carries one.
    std::string Report() {
        for (const cJSON* rec : world->Requests("ticket")) {
            for (const char* field : {"body", "raw_body"}) {
                const std::string text = E2eWorld::Field(rec, field);
                if (text.rfind("euid=", 0) == 0)
                    return text;
            }
        }
        return "";
    }
};

TEST_F(ModuleRenewalTest, HostileRenewedModuleNeverRunsAsRoot) {
    // The folder the module tries to write into: root's, like the installation.
    TempDir victim;
    ASSERT_EQ(chmod(victim.path().c_str(), 0755), 0);
    TempDir packDir;
    const std::string probe = packDir.file("probe.zxm");
    const std::string pack = std::string(ORVANE_ZXM_PACK) + " '" + ORVANE_ZSM_PROBE + "' '" +
                             probe + "' --keyid PRB --key '" + victim.path() +
                             "' --algoid 11111111-2222-3333-4444-555555555555 2>/dev/null";
    ASSERT_EQ(std::system(pack.c_str()), 0) << pack;
    E2E_WORLD(E2eOptions::Sim({"--fault", "ticket:1:renew", "--renew-container", probe}));
    ASSERT_TRUE(world->StartService({E2eWorld::kUser, E2eWorld::kPassword}));

    // After the renewal the ticket request is coded by the probe, so its body is the report.
    ASSERT_TRUE(waitFor([&] { return !Report().empty(); }, 30s)) << world->ServiceOutput();
    const std::string report = Report();
    EXPECT_EQ(report.rfind("euid=0 ", 0), std::string::npos) << report;
    EXPECT_EQ(report.find(" write=0"), std::string::npos) << report;
    EXPECT_FALSE(std::filesystem::exists(victim.file("planted-by-module")));
    // The container on disk is the renewed one, and no unpacked module lies next to it.
    EXPECT_EQ(readFile(world->InstallFile("zuvUzarod.zxm")), readFile(probe));
    EXPECT_FALSE(std::filesystem::exists(world->InstallFile("protect.so")));
    // The module's garbage fails the ticket; the service reports it rather than dying of it.
    const int status = world->Service().Wait(30s);
    if (status == -1) {
        EXPECT_TRUE(world->Service().running()) << "ended by a signal:\n" << world->ServiceOutput();
    }
}

}  // namespace
