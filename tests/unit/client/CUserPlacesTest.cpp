#include "CUserPlaces.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "TestSupport.h"

using orvane_test::TempDir;
namespace fs = std::filesystem;

namespace {

// Sets (or, with a null value, removes) environment variables for one scope.
class ScopedEnvironment {
public:
    ScopedEnvironment(std::vector<std::pair<std::string, const char*>> values) {
        for (const auto& [name, value] : values) {
            const char* old = std::getenv(name.c_str());
            m_saved.push_back({name, old != nullptr, old != nullptr ? old : ""});
            if (value != nullptr)
                setenv(name.c_str(), value, 1);
            else
                unsetenv(name.c_str());
        }
    }
    ~ScopedEnvironment() {
        for (const Saved& s : m_saved) {
            if (s.was)
                setenv(s.name.c_str(), s.value.c_str(), 1);
            else
                unsetenv(s.name.c_str());
        }
    }

private:
    struct Saved {
        std::string name;
        bool was;
        std::string value;
    };
    std::vector<Saved> m_saved;
};

struct PlacesCase {
    const char* name;
    const char* config;   // XDG_CONFIG_HOME
    const char* cache;    // XDG_CACHE_HOME
    const char* runtime;  // ORVANE_RUNTIME_DIR
    const char* expectConfig;
    const char* expectDownload;
    const char* expectPipes;
};

class UserPlacesTest : public ::testing::TestWithParam<PlacesCase> {};

// The XDG rules: a set, absolute folder wins; anything else falls back to the home folder.
TEST_P(UserPlacesTest, FollowTheEnvironmentAndFallBackToTheHomeFolder) {
    const PlacesCase& c = GetParam();
    ScopedEnvironment env({{"HOME", "/home/u"},
                           {"XDG_CONFIG_HOME", c.config},
                           {"XDG_CACHE_HOME", c.cache},
                           {"ORVANE_RUNTIME_DIR", c.runtime}});
    const CUserPlaces places = CUserPlaces::FromEnvironment();
    EXPECT_EQ(c.expectConfig, places.ConfigDir());
    EXPECT_EQ(std::string(c.expectConfig) + "/client.xml", places.StoreFile());
    EXPECT_EQ(c.expectDownload, places.DownloadDir());
    EXPECT_EQ(c.expectPipes, places.PipeDir());
}

INSTANTIATE_TEST_SUITE_P(
    Environments, UserPlacesTest,
    ::testing::Values(PlacesCase{"Defaults", nullptr, nullptr, nullptr, "/home/u/.config/orvane",
                                 "/home/u/.cache/orvane/Quorra/AutoSetupAuth/", "/run/orvane"},
                      PlacesCase{"AllSet", "/x/cfg", "/x/cache", "/x/run", "/x/cfg/orvane",
                                 "/x/cache/orvane/Quorra/AutoSetupAuth/", "/x/run"},
                      PlacesCase{"RelativeIgnored", "cfg", "", "run", "/home/u/.config/orvane",
                                 "/home/u/.cache/orvane/Quorra/AutoSetupAuth/", "/run/orvane"}),
    [](const ::testing::TestParamInfo<PlacesCase>& info) { return info.param.name; });

// The store's folder is made private, a looser one is tightened, and one of another user is
// refused: the store keeps the password.
TEST(UserPlacesFolderTest, ConfigFolderIsPrivateAndTheUsersOwn) {
    TempDir home;
    ScopedEnvironment env({{"HOME", home.path().c_str()}, {"XDG_CONFIG_HOME", nullptr}});
    const CUserPlaces places = CUserPlaces::FromEnvironment();
    std::string why;
    ASSERT_TRUE(places.PrepareConfigDir(why)) << why;
    struct stat st {};
    ASSERT_EQ(0, stat(places.ConfigDir().c_str(), &st));
    EXPECT_EQ(0700u, st.st_mode & 07777);
    ASSERT_EQ(0, chmod(places.ConfigDir().c_str(), 0755));
    ASSERT_TRUE(places.PrepareConfigDir(why)) << why;
    ASSERT_EQ(0, stat(places.ConfigDir().c_str(), &st));
    EXPECT_EQ(0700u, st.st_mode & 07777);
    if (geteuid() != 0)
        return;  // giving the folder away needs root
    ASSERT_EQ(0, chown(places.ConfigDir().c_str(), 65534, 65534));
    EXPECT_FALSE(places.PrepareConfigDir(why));
    EXPECT_NE(why.find("belongs to user 65534"), std::string::npos) << why;
}

}  // namespace
