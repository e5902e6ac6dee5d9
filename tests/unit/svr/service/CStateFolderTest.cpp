// The state folder of a package's layout: made private when missing, refused when someone else
// could change it (nothing made or copied then), seeded from the installation only where it
// lacks a file, and the store's version taken from a newer shipped store.
#include "CStateFolder.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <string>

#include "CInfoCenter.h"
#include "CUniqueFd.h"
#include "TestSupport.h"

using namespace orvane_test;
namespace fs = std::filesystem;

namespace {

const char kShippedStore[] = "<?xml version=\"1.0\"?>\n<conf><version>1002</version></conf>\n";
const char kContainer[] = "container bytes\n";

mode_t ModeOf(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

class StateFolderWorld {
public:
    StateFolderWorld() {
        fs::create_directories(inst + "/conf");
        writeFile(inst + "/conf/conf.xml", kShippedStore);
        writeFile(inst + "/zuvUzarod.zxm", kContainer);
        removeGroupOtherWrite(inst);
        installation.Reset(open(inst.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    }
    TempDir dir;
    std::string inst = dir.file("inst");
    std::string state = dir.file("state");
    CUniqueFd installation;
};

struct TakeCase {
    const char* name;
    std::function<void(StateFolderWorld&)> arrange;  // may point state elsewhere
    const char* problem;                             // empty: taken
    const char* storeAfter;                          // the state folder's store once seeded
};

void PrintTo(const TakeCase& c, std::ostream* out) {
    *out << c.name;
}

class StateFolderTakeTest : public ::testing::TestWithParam<TakeCase> {};

TEST_P(StateFolderTakeTest, TakesOnlyAFolderNobodyElseCanChangeAndSeedsWhatItLacks) {
    const TakeCase& c = GetParam();
    StateFolderWorld w;
    ASSERT_GE(w.installation.get(), 0);
    if (std::string(c.name) == "OwnedByAnother" && geteuid() != 0)
        GTEST_SKIP() << "only root can give a folder to another user";
    c.arrange(w);
    const bool existed = fs::exists(fs::symlink_status(w.state));

    CStateFolder folder(w.state);
    const bool taken = folder.Take("20260102");
    std::string lines;
    for (const std::string& line : folder.Problems())
        lines += line + "\n";
    if (*c.problem != '\0') {
        EXPECT_FALSE(taken);
        EXPECT_NE(std::string::npos, lines.find(c.problem)) << lines;
        EXPECT_EQ(-1, folder.Folder());
        // Refused: nothing was made where there was nothing.
        EXPECT_EQ(existed, fs::exists(fs::symlink_status(w.state)));
        return;
    }
    ASSERT_TRUE(taken) << lines;
    if (!existed) {
        EXPECT_EQ(0700u, ModeOf(w.state));
    }
    std::string why;
    ASSERT_TRUE(folder.Seed(w.installation.get(), why)) << why;
    EXPECT_EQ(c.storeAfter, readFile(w.state + "/conf/conf.xml"));
    EXPECT_EQ(kContainer, readFile(w.state + "/zuvUzarod.zxm"));
    EXPECT_EQ(0600u, ModeOf(w.state + "/zuvUzarod.zxm"));
    EXPECT_EQ(0700u, ModeOf(w.state + "/Log"));
    // A second start finds everything in place and copies nothing over it.
    writeFile(w.state + "/zuvUzarod.zxm", "renewed by the portal");
    ASSERT_TRUE(folder.Seed(w.installation.get(), why)) << why;
    EXPECT_EQ("renewed by the portal", readFile(w.state + "/zuvUzarod.zxm"));
    // The installation is only read.
    EXPECT_EQ(kShippedStore, readFile(w.inst + "/conf/conf.xml"));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, StateFolderTakeTest,
    ::testing::Values(TakeCase{"Missing", [](StateFolderWorld&) {}, "", kShippedStore},
                      TakeCase{"KeepsItsOwnStore",
                               [](StateFolderWorld& w) {
                                   fs::create_directories(w.state + "/conf");
                                   chmod(w.state.c_str(), 0700);
                                   writeFile(w.state + "/conf/conf.xml", "<conf>own</conf>");
                                   chmod((w.state + "/conf/conf.xml").c_str(), 0600);
                               },
                               "", "<conf>own</conf>"},
                      TakeCase{"SymbolicLink",
                               [](StateFolderWorld& w) {
                                   fs::create_directories(w.dir.file("elsewhere"));
                                   fs::create_symlink(w.dir.file("elsewhere"), w.state);
                               },
                               "is a symbolic link", ""},
                      TakeCase{"WritableByOthers",
                               [](StateFolderWorld& w) {
                                   fs::create_directories(w.state);
                                   chmod(w.state.c_str(), 0777);
                               },
                               "is writable by group or others", ""},
                      TakeCase{"OwnedByAnother",
                               [](StateFolderWorld& w) {
                                   fs::create_directories(w.state);
                                   chmod(w.state.c_str(), 0700);
                                   ASSERT_EQ(0, chown(w.state.c_str(), 4242, 4242));
                               },
                               "is owned by user 4242", ""},
                      TakeCase{"MissingBelowAFolderOthersCanChange",
                               [](StateFolderWorld& w) {
                                   fs::create_directories(w.dir.file("open"));
                                   chmod(w.dir.file("open").c_str(), 0777);
                                   w.state = w.dir.file("open/state");
                               },
                               "is writable by group or others", ""},
                      TakeCase{"StoreIsALink",
                               [](StateFolderWorld& w) {
                                   fs::create_directories(w.state + "/conf");
                                   chmod(w.state.c_str(), 0700);
                                   fs::create_symlink(w.inst + "/conf/conf.xml",
                                                      w.state + "/conf/conf.xml");
                               },
                               "conf.xml is a symbolic link", ""},
                      TakeCase{"NotAbsolute",
                               [](StateFolderWorld& w) { w.state = "var/lib/orvane"; },
                               "is not an absolute path", ""}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(StateFolderChooseTest, TakesTheUnitsFolderOnlyWhenItIsTheConfiguredOne) {
    std::string note;
    EXPECT_EQ("/var/lib/orvane", CStateFolder::Choose("/var/lib/orvane", nullptr, note));
    EXPECT_EQ("", note);
    EXPECT_EQ("/var/lib/orvane", CStateFolder::Choose("/var/lib/orvane", "/var/lib/orvane/", note));
    EXPECT_EQ("", note);
    EXPECT_EQ("/var/lib/orvane", CStateFolder::Choose("/var/lib/orvane", "/tmp/x", note));
    EXPECT_NE(std::string::npos, note.find("/tmp/x")) << note;
}

struct VersionCase {
    const char* name;
    const char* shipped;  // the shipped store's version element, or "" for none
    const char* stored;   // the state folder's store, whole
    const char* after;    // its "version" afterwards
    bool changed;
};

void PrintTo(const VersionCase& c, std::ostream* out) {
    *out << c.name;
}

class StateFolderVersionTest : public ::testing::TestWithParam<VersionCase> {};

TEST_P(StateFolderVersionTest, TakesOnlyANewerShippedVersionAndKeepsEveryOtherKey) {
    const VersionCase& c = GetParam();
    StateFolderWorld w;
    writeFile(w.inst + "/conf/conf.xml", std::string("<conf>") + c.shipped + "</conf>");
    fs::create_directories(w.state + "/conf");
    writeFile(w.state + "/conf/conf.xml", c.stored);

    CInfoCenter store((w.state + "/conf/conf.xml").c_str());
    const bool changed = CStateFolder::RefreshVersion(w.installation.get(), &store);
    EXPECT_EQ(c.after, std::string(store.GetLocalValue("version").c_str()));
    EXPECT_EQ(c.changed, changed);
    // Read again from the file: the other keys are still there.
    CInfoCenter reread((w.state + "/conf/conf.xml").c_str());
    EXPECT_EQ(c.after, std::string(reread.GetLocalValue("version").c_str()));
    EXPECT_EQ("T-1", std::string(reread.GetLocalValue("ticket").c_str()));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, StateFolderVersionTest,
    ::testing::Values(
        VersionCase{"Newer", "<version>1002</version>",
                    "<conf><version>1001</version><ticket>T-1</ticket></conf>", "1002", true},
        VersionCase{"NewerByValueNotByText", "<version>10000</version>",
                    "<conf><version>9999</version><ticket>T-1</ticket></conf>", "10000", true},
        VersionCase{"Older", "<version>1001</version>",
                    "<conf><version>1002</version><ticket>T-1</ticket></conf>", "1002", false},
        VersionCase{"Same", "<version>1002</version>",
                    "<conf><version>1002</version><ticket>T-1</ticket></conf>", "1002", false},
        VersionCase{"NoneStored", "<version>1002</version>", "<conf><ticket>T-1</ticket></conf>",
                    "1002", true},
        VersionCase{"ShippedNotANumber", "<version>1003x</version>",
                    "<conf><version>1002</version><ticket>T-1</ticket></conf>", "1002", false},
        VersionCase{"NoneShipped", "", "<conf><version>1002</version><ticket>T-1</ticket></conf>",
                    "1002", false}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
