// The real OrvaneSvr started from installations that other users could change: it names each
// wrong path with the command that mends it, creates and changes nothing, and exits with 78.
// From a sound installation it creates its files for its own user alone.
#include "ServiceProcess.h"
#include "TestSupport.h"

#include <grp.h>
#include <gtest/gtest.h>

#include <ctime>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

using namespace orvane_test;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

constexpr int kUnsafe = 78;

std::string Today() {
    char day[16];
    const time_t now = time(nullptr);
    tm local{};
    localtime_r(&now, &local);
    strftime(day, sizeof day, "%Y%m%d", &local);
    return day;
}

mode_t ModeOf(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 07777;
}

// Every path of the installation with its kind, mode, owner and content, so a run that changed
// anything shows up as a difference. The test's own output files are left out.
std::map<std::string, std::string> Snapshot(const std::string& dir) {
    std::map<std::string, std::string> out;
    for (auto it = fs::recursive_directory_iterator(dir); it != fs::recursive_directory_iterator();
         ++it) {
        const std::string path = it->path().string();
        if (it->path().extension() == ".out")
            continue;
        struct stat st;
        if (lstat(path.c_str(), &st) != 0)
            continue;
        std::string what = std::to_string(st.st_mode) + ":" + std::to_string(st.st_uid);
        if (S_ISREG(st.st_mode))
            what += ":" + readFile(path);
        out[path.substr(dir.size())] = what;
    }
    return out;
}

class UnsafeInstallationTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(makeInstallation(ORVANE_INSTALL_TREE, dir.path()));
        // The network check would probe a closed loopback port, should the service ever get there.
        std::string conf = readFile(dir.file("conf/conf.xml"));
        const std::string empty = "<redirect></redirect>";
        ASSERT_NE(std::string::npos, conf.find(empty));
        conf.replace(conf.find(empty), empty.size(),
                     "<redirect>http://127.0.0.1:9/forward.cgi</redirect>");
        ASSERT_TRUE(writeFile(dir.file("conf/conf.xml"), conf));
    }
    void ReplaceWithLink(const std::string& name) {
        const std::string real = outside.file(fs::path(name).filename().string());
        ASSERT_EQ(rename(dir.file(name).c_str(), real.c_str()), 0);
        ASSERT_EQ(symlink(real.c_str(), dir.file(name).c_str()), 0);
    }
    // Starts the service on the prepared installation and expects a refusal naming path with
    // the given fault and mending command; nothing in the installation may change.
    void ExpectRefused(const std::string& path, const std::string& fault,
                       const std::string& command, const std::string& program = "./OrvaneSvr",
                       const std::vector<std::string>& args = {}) {
        ExpectRefusedIn(dir.path(), path, fault, command, program, args);
    }
    static void ExpectRefusedIn(const std::string& inst, const std::string& path,
                                const std::string& fault, const std::string& command,
                                const std::string& program, const std::vector<std::string>& args) {
        const auto before = Snapshot(inst);
        ServiceProcess run;
        ASSERT_TRUE(run.StartProgram(inst, program, "refused", args));
        EXPECT_EQ(kUnsafe, run.Wait(10s));
        const std::string out = readFile(run.outPath());
        EXPECT_NE(out.find("unsafe installation: " + path + " " + fault), std::string::npos) << out;
        EXPECT_NE(out.find("mend it with: " + command), std::string::npos) << out;
        EXPECT_EQ(before, Snapshot(inst)) << "the refused start changed the installation";
    }

    TempDir dir;
    TempDir outside;  // where links point: a place the service must never write
};

}  // namespace

TEST_F(UnsafeInstallationTest, FoldersWritableByOthersAreRefused) {
    ASSERT_EQ(chmod(dir.path().c_str(), 0777), 0);
    ExpectRefused(dir.path(), "is writable by group or others", "chmod go-w '" + dir.path() + "'");

    ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
    ASSERT_EQ(chmod(dir.file("conf").c_str(), 0775), 0);
    ExpectRefused(dir.file("conf"), "is writable by group or others",
                  "chmod go-w '" + dir.file("conf") + "'");
}

TEST_F(UnsafeInstallationTest, StoreOfAnotherUserIsRefused) {
    if (geteuid() != 0)
        GTEST_SKIP() << "giving a file to another user needs root";
    ASSERT_EQ(chown(dir.file("conf/conf.xml").c_str(), 65534, 65534), 0);
    ExpectRefused(dir.file("conf/conf.xml"), "is owned by user 65534",
                  "chown root '" + dir.file("conf/conf.xml") + "'");
}

TEST_F(UnsafeInstallationTest, LinksAtTheContainerTheStoreTheLogAndAPipeAreRefused) {
    struct Case {
        std::string name;
        std::function<void()> plant;
        std::string fault;
    };
    const std::string log = "Log/" + Today() + "_Info.log";
    auto oldLog = [&] {
        ASSERT_EQ(mkdir(dir.file("Log").c_str(), 0700), 0);
        ASSERT_TRUE(writeFile(dir.file(log), "old lines\n"));
    };
    const std::vector<Case> cases = {
        {"zuvUzarod.zxm", [&] { ReplaceWithLink("zuvUzarod.zxm"); }, "is a symbolic link"},
        {"conf/conf.xml", [&] { ReplaceWithLink("conf/conf.xml"); }, "is a symbolic link"},
        {log,
         [&] {
             oldLog();
             ReplaceWithLink(log);
         },
         "is a symbolic link"},
        // A second name outside, made while the file was there: every line would land there too.
        {log,
         [&] {
             const std::string other = outside.file(fs::path(log).filename().string());
             ASSERT_EQ(link(dir.file(log).c_str(), other.c_str()), 0);
         },
         "has 2 hard links"},
        {"serverpipe",
         [&] {
             ASSERT_EQ(mkfifo(dir.file("serverpipe").c_str(), 0600), 0);
             ReplaceWithLink("serverpipe");
         },
         "is a symbolic link"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name + " " + c.fault);
        c.plant();
        const std::string path = dir.file(c.name);
        // Only a fresh copy belongs there; what the other name holds is its maker's.
        ExpectRefused(path, c.fault, "rm '" + path + "', then reinstall");
        // Put right for the next case.
        const std::string real = outside.file(fs::path(c.name).filename().string());
        ASSERT_EQ(unlink(path.c_str()), 0);
        ASSERT_EQ(rename(real.c_str(), path.c_str()), 0);
    }
    EXPECT_EQ(readFile(dir.file(log)), "old lines\n");
}

// Whoever owns a folder above the installation can rename it away and put another in its place:
// each program of the installation refuses to start there, before it reads or runs anything.
class ForeignParentTest : public UnsafeInstallationTest,
                          public ::testing::WithParamInterface<const char*> {};

TEST_P(ForeignParentTest, AParentOwnedByAnotherUserIsRefused) {
    if (geteuid() != 0)
        GTEST_SKIP() << "giving a folder to another user needs root";
    const std::string parent = outside.file("parent");
    const std::string inst = parent + "/inst";
    ASSERT_EQ(mkdir(parent.c_str(), 0755), 0);
    ASSERT_EQ(rename(dir.path().c_str(), inst.c_str()), 0);
    ASSERT_EQ(chown(parent.c_str(), 65534, 65534), 0);
    // The window has no display here: the refusal is its printed lines and its status.
    unsetenv("DISPLAY");
    const std::string program = GetParam();
    std::vector<std::string> args;
    if (program == "./AutoUpdate")
        args = {"<conf><updateDir>" + inst + "/</updateDir><downloadDir>" + inst +
                "/Quorra/AutoSetupAuth/</downloadDir></conf>"};
    ExpectRefusedIn(inst, parent, "is owned by user 65534", "chown root '" + parent + "'", program,
                    args);
    ASSERT_EQ(rename(inst.c_str(), dir.path().c_str()), 0);  // TempDir removes it
}

INSTANTIATE_TEST_SUITE_P(EachProgram, ForeignParentTest,
                         ::testing::Values("./OrvaneSvr", "./client", "./AutoUpdate"),
                         [](const auto& info) { return std::string(info.param + 2); });

TEST_F(UnsafeInstallationTest, SoundInstallationStartsAndItsNewFilesAreTheServicesAlone) {
    // An installation from before the store was kept private: the ticket it gets must not be
    // readable by others all the same.
    ASSERT_EQ(chmod(dir.file("conf/conf.xml").c_str(), 0644), 0);
    const mode_t old = umask(0);  // the service must not depend on the umask it inherits
    ServiceProcess service;
    const bool started = service.Start(dir.path());
    umask(old);
    ASSERT_TRUE(started);
    const std::string log = dir.file("Log/" + Today() + "_Info.log");
    ASSERT_TRUE(
        waitFor([&] { return readFile(log).find("OrvaneSvr started") != std::string::npos; }, 10s))
        << readFile(service.outPath());
    ASSERT_TRUE(waitFor([&] { return fs::exists(dir.file("serverpipe")); }, 5s));

    EXPECT_EQ(ModeOf(dir.file("Log")), 0700u);
    EXPECT_EQ(ModeOf(log), 0600u);
    EXPECT_EQ(ModeOf(dir.file("serverpipe")), 0600u);
    // The store was rewritten (the process id) and is the service's alone.
    EXPECT_NE(readFile(dir.file("conf/conf.xml")).find(std::to_string(service.pid())),
              std::string::npos);
    EXPECT_EQ(ModeOf(dir.file("conf/conf.xml")), 0600u);
    EXPECT_EQ(ModeOf(ORVANE_INSTALL_TREE "/conf/conf.xml"), 0600u) << "installed readable";
    std::string status = readFile("/proc/" + std::to_string(service.pid()) + "/status");
    EXPECT_NE(status.find("Umask:\t0077"), std::string::npos);
    for (const auto& entry : fs::directory_iterator(dir.file("conf")))
        EXPECT_EQ(entry.path().filename().string().find("conf.xml."), std::string::npos)
            << "temporary file left: " << entry.path();

    kill(service.pid(), SIGTERM);
    EXPECT_EQ(0, service.Wait(15s));
}

namespace {

// The system unit's runtime folder for the pipes, as the service might find it.
struct PipeFolderCase {
    const char* name;
    mode_t mode;
    uid_t owner;
    bool link;
    const char* fault;
};

class UnsafePipeFolderTest : public UnsafeInstallationTest,
                             public ::testing::WithParamInterface<PipeFolderCase> {};

// A pipe folder that another user owns or could enter is refused before anything else happens:
// nothing is created in it or in the installation.
TEST_P(UnsafePipeFolderTest, IsRefusedBeforeTheServiceTouchesAnything) {
    if (geteuid() != 0)
        GTEST_SKIP() << "giving a folder to another user needs root";
    if (getgrnam("orvane") == nullptr)
        GTEST_SKIP() << "the group \"orvane\" is missing (./dev.sh makes it; by hand: "
                        "groupadd --system orvane)";
    const PipeFolderCase& c = GetParam();
    const std::string real = outside.file("run");
    ASSERT_EQ(0, mkdir(real.c_str(), 0700));
    ASSERT_EQ(0, chmod(real.c_str(), c.mode));
    ASSERT_EQ(0, chown(real.c_str(), c.owner, 0));
    std::string folder = real;
    if (c.link) {
        folder = outside.file("link");
        ASSERT_EQ(0, symlink(real.c_str(), folder.c_str()));
    }
    const auto before = Snapshot(dir.path());
    ServiceProcess service;
    setenv("RUNTIME_DIRECTORY", folder.c_str(), 1);
    const bool started = service.Start(dir.path());
    unsetenv("RUNTIME_DIRECTORY");
    ASSERT_TRUE(started);
    EXPECT_EQ(kUnsafe, service.Wait(10s));
    const std::string out = readFile(service.outPath());
    EXPECT_NE(out.find("OrvaneSvr refuses its pipe folder: pipe folder " + folder + " " + c.fault),
              std::string::npos)
        << out;
    EXPECT_EQ(before, Snapshot(dir.path())) << "the refused start changed the installation";
    EXPECT_TRUE(fs::is_empty(real));
    EXPECT_EQ(c.mode, ModeOf(real));
}

INSTANTIATE_TEST_SUITE_P(
    Folders, UnsafePipeFolderTest,
    ::testing::Values(PipeFolderCase{"OpenToOthers", 0775, 0, false, "has mode 0775"},
                      PipeFolderCase{"OfAnotherUser", 0700, 65534, false, "is owned by user 65534"},
                      PipeFolderCase{"Link", 0700, 0, true, "is not a folder"}),
    [](const ::testing::TestParamInfo<PipeFolderCase>& info) { return info.param.name; });

}  // namespace
