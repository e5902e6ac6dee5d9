// The window as a desktop user: `client` run by an unprivileged member of the group "orvane" (its
// own primary group, "orvane" its one supplementary group) on an X server of that user's, inside
// the world's network namespace, against the real service that the test runs as root with its
// pipes in a runtime folder of the test's own. A settings manager on the display announces a GTK
// module, as any program of another user on the display could; whatever loads the module notes
// its user in a marker. In every scenario no root process that the test started has anything to
// do with the display, and the window has written nothing into the installation.
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/prctl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "CClientApp.h"
#include "E2eWorld.h"
#include "XvfbDisplay.h"

using namespace orvane_test;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

// A user that exists nowhere else on the machine.
const uid_t kUser = 42424;
const gid_t kUserGroup = 42424;
const char* const kWindowTitle = "Orvane校园";
const char* const kErrorTitle = "错误提示";
const char* const kNoServiceDialog = "error dialog: 校园网服务没有运行，无法登录。";

// The command line that runs argv as the desktop user with exactly env: its own group as the
// primary one, "orvane" as its one supplementary group.
std::vector<std::string> AsUser(gid_t member, const std::vector<std::string>& env,
                                const std::vector<std::string>& argv) {
    std::vector<std::string> line = {"env", "-i"};
    line.insert(line.end(), env.begin(), env.end());
    line.insert(line.end(), {"setpriv", "--reuid=" + std::to_string(kUser),
                             "--regid=" + std::to_string(kUserGroup),
                             "--groups=" + std::to_string(member), "--"});
    line.insert(line.end(), argv.begin(), argv.end());
    return line;
}

std::string StatusField(pid_t pid, const std::string& key) {
    std::istringstream in(readFile("/proc/" + std::to_string(pid) + "/status"));
    for (std::string line; std::getline(in, line);) {
        if (line.compare(0, key.size() + 1, key + ":") == 0)
            return line.substr(key.size() + 1);
    }
    return "";
}

// Every live process below this one whose real, effective, saved or file-system user is root.
std::vector<pid_t> RootDescendants() {
    std::map<pid_t, pid_t> parent;
    for (const auto& entry : fs::directory_iterator("/proc")) {
        const std::string name = entry.path().filename();
        if (name.find_first_not_of("0123456789") == std::string::npos)
            parent[std::stoi(name)] = std::atoi(StatusField(std::stoi(name), "PPid").c_str());
    }
    std::vector<pid_t> found;
    for (const auto& [pid, ppid] : parent) {
        bool below = false;
        for (pid_t up = ppid, steps = 0; up > 1 && steps < 64 && !below; up = parent[up], ++steps)
            below = up == getpid();
        std::istringstream uids(StatusField(pid, "Uid"));
        bool root = false;
        for (long uid; uids >> uid;)
            root = root || uid == 0;
        if (below && root)
            found.push_back(pid);
    }
    return found;
}

// The socket inodes a process holds.
std::set<unsigned long> SocketsOf(pid_t pid) {
    std::set<unsigned long> sockets;
    std::error_code ec;
    for (const auto& fd : fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec)) {
        const std::string target = fs::read_symlink(fd.path(), ec).string();
        if (!ec && target.rfind("socket:[", 0) == 0)
            sockets.insert(std::stoul(target.substr(8)));
    }
    return sockets;
}

// Local socket inode -> its peer's, from `ss` in the host's namespace and in ns.
std::map<unsigned long, unsigned long> UnixPeers(const std::string& ns) {
    std::map<unsigned long, unsigned long> peers;
    for (const std::string& command :
         {std::string("ss -xaH"), "ip netns exec " + ns + " ss -xaH"}) {
        FILE* pipe = popen(command.c_str(), "r");
        if (pipe == nullptr)
            continue;
        char line[1024];
        while (fgets(line, sizeof line, pipe) != nullptr) {
            std::istringstream in(line);
            std::vector<std::string> words;
            for (std::string w; in >> w;)
                words.push_back(w);
            if (words.size() >= 8 && words.back() != "*" && words.back() != "0")
                peers[std::stoul(words[words.size() - 3])] = std::stoul(words.back());
        }
        pclose(pipe);
    }
    return peers;
}

enum class Service { kRunning, kNoFolder, kPipeWithoutService };

struct Scenario {
    const char* name;
    Service service;
    bool xdgFolders;  // XDG_CONFIG_HOME and XDG_CACHE_HOME set, else the defaults under HOME
};

class DesktopUserTest : public E2eTest, public ::testing::WithParamInterface<Scenario> {
protected:
    void MakeUserWorld() {
        struct group* member = getgrnam("orvane");
        if (member == nullptr)
            GTEST_SKIP() << "the group \"orvane\" is missing (./dev.sh makes it; by hand: "
                            "groupadd --system orvane)";
        m_member = member->gr_gid;
        // Processes that detach from the service or the window come back to the test, so the
        // look for root processes below sees them too.
        prctl(PR_SET_CHILD_SUBREAPER, 1);
        MakeWorld();
        if (IsSkipped() || HasFatalFailure())
            return;
        ASSERT_EQ(0, chmod(world->dir().path().c_str(), 0711));
        for (const std::string& dir : {Home(), world->dir().file("gtk")})
            ASSERT_TRUE(fs::create_directory(dir));
        ASSERT_EQ(0, chown(Home().c_str(), kUser, kUserGroup));
        ASSERT_EQ(0, chmod(Home().c_str(), 0700));
        fs::copy_file(ORVANE_GTK_MARKER_MODULE, Module());
        m_shippedStore = readFile(world->InstallFile("conf/client.xml"));
        m_x = std::make_unique<XvfbDisplay>(world->dir().file("xvfb.log"), kUser, kUserGroup);
        if (!m_x->ok())
            GTEST_SKIP() << "no X server for the window test: " << m_x->error();
        ASSERT_TRUE(m_announcer.Start(
            world->ns().name(), "/",
            AsUser(m_member, {"DISPLAY=" + m_x->display()}, {ORVANE_XSETTINGS_ANNOUNCER, Module()}),
            Out("announcer"), false));
        ASSERT_TRUE(waitFor([&] { return m_announcer.Output() == "ready\n"; }, 10s))
            << m_announcer.Output();
    }
    std::string Home() const { return world->dir().file("home"); }
    std::string RunDir() const { return world->dir().file("run"); }
    std::string Module() const { return world->dir().file("gtk/libmarker.so"); }
    std::string Marker() const { return Home() + "/marker"; }
    std::string Out(const std::string& name) const { return world->dir().file(name + ".out"); }
    std::string ConfigDir() const {
        return (GetParam().xdgFolders ? Home() + "/xdg-config" : Home() + "/.config") + "/orvane";
    }

    void StartService() {
        switch (GetParam().service) {
            case Service::kRunning:
                ASSERT_EQ(0, mkdir(RunDir().c_str(), 0700));
                ASSERT_TRUE(world->StartService({}, "svr", {"RUNTIME_DIRECTORY=" + RunDir()}));
                ASSERT_TRUE(waitFor([&] { return fs::exists(RunDir() + "/serverpipe"); }, 10s))
                    << world->ServiceOutput();
                break;
            case Service::kPipeWithoutService: {
                // A service that was killed leaves its pipe behind; nothing reads or writes it.
                ASSERT_EQ(0, mkdir(RunDir().c_str(), 0770));
                ASSERT_EQ(0, chown(RunDir().c_str(), 0, m_member));
                ASSERT_EQ(0, chmod(RunDir().c_str(), 0770));
                const std::string pipe = RunDir() + "/serverpipe";
                ASSERT_EQ(0, mkfifo(pipe.c_str(), 0660));
                ASSERT_EQ(0, chown(pipe.c_str(), 0, m_member));
                ASSERT_EQ(0, chmod(pipe.c_str(), 0660));
                break;
            }
            case Service::kNoFolder:
                break;
        }
    }
    void StartClient() {
        std::vector<std::string> env = {
            "PATH=/usr/bin:/bin",
            "LANG=C.UTF-8",
            "HOME=" + Home(),
            "DISPLAY=" + m_x->display(),
            "ORVANE_RUNTIME_DIR=" + RunDir(),
            "ORVANE_GTK_MARKER=" + Marker(),
            "LSAN_OPTIONS=suppressions=" ORVANE_SOURCE_DIR "/tests/gui/lsan-gtk.supp",
            "TSAN_OPTIONS=suppressions=" ORVANE_SOURCE_DIR "/tests/gui/tsan-gtk.supp"};
        if (GetParam().xdgFolders) {
            env.push_back("XDG_CONFIG_HOME=" + Home() + "/xdg-config");
            env.push_back("XDG_CACHE_HOME=" + Home() + "/xdg-cache");
        }
        ASSERT_TRUE(m_client.Start(world->ns().name(), world->Install(),
                                   AsUser(m_member, env, {"./client"}), Out("client"), false));
    }

    bool WaitText(const std::string& text, std::chrono::milliseconds timeout, size_t since = 0) {
        return waitFor([&] { return m_client.Output().find(text, since) != std::string::npos; },
                       timeout, 50ms);
    }
    void Click(int x, int y) { ASSERT_TRUE(m_x->Click(m_window, x, y)); }
    void TypeInto(int x, int y, const std::string& text) {
        Click(x, y);
        ASSERT_TRUE(m_x->Key("ctrl+a"));
        ASSERT_TRUE(m_x->Type(text));
    }
    void CloseDialog() {
        ASSERT_TRUE(m_x->WaitWindow(kErrorTitle, 10s)) << m_client.Output();
        const std::string dialog = m_x->FindWindow(kErrorTitle);
        for (int attempt = 0; attempt < 3 && !m_x->FindWindow(kErrorTitle).empty(); ++attempt) {
            m_x->Key("Return", dialog);
            m_x->WaitNoWindow(kErrorTitle, 2s);
        }
    }

    // The root processes the test started (the service, its helper, whatever they started) have
    // no display, are no client of the X server and never mapped the announced module; the
    // window is, as its user, which shows that the look would find a root one.
    void ExpectNoRootProcessOnTheDisplay(bool windowOnDisplay) {
        std::set<unsigned long> server = SocketsOf(m_x->pid());
        ASSERT_FALSE(server.empty());
        const auto peers = UnixPeers(world->ns().name());
        auto onDisplay = [&](pid_t pid) {
            for (unsigned long socket : SocketsOf(pid)) {
                const auto peer = peers.find(socket);
                if (peer != peers.end() && server.count(peer->second) != 0)
                    return true;
            }
            return false;
        };
        for (pid_t pid : RootDescendants()) {
            const std::string proc = "/proc/" + std::to_string(pid);
            std::string environ = "\n" + readFile(proc + "/environ");
            std::replace(environ.begin(), environ.end(), '\0', '\n');
            const std::string what = readFile(proc + "/comm");
            EXPECT_EQ(std::string::npos, environ.find("\nDISPLAY=")) << what;
            EXPECT_EQ(std::string::npos, readFile(proc + "/maps").find("libmarker.so")) << what;
            EXPECT_FALSE(onDisplay(pid)) << what << " is a client of the display";
        }
        if (windowOnDisplay) {
            EXPECT_TRUE(onDisplay(m_client.pid())) << "the look for display clients finds none";
            EXPECT_EQ(std::to_string(kUser), StatusField(m_client.pid(), "Uid").substr(1, 5));
        }
    }
    // GTK takes the announced module from the display (which is why the window must not be
    // root): the window loaded it, and nothing but the user did.
    void ExpectMarkerOfTheUserOnly() {
        struct stat st {};
        ASSERT_EQ(0, lstat(Marker().c_str(), &st))
            << "the window did not take the announced module";
        EXPECT_EQ(kUser, st.st_uid);
        std::istringstream lines(readFile(Marker()));
        for (std::string line; std::getline(lines, line);)
            EXPECT_EQ(0u, line.find("uid=" + std::to_string(kUser) + " ")) << line;
    }
    // The store is the user's own and private; the installation's is as shipped.
    void ExpectStoreOfTheUser() {
        struct stat folder {
        }, store{};
        ASSERT_EQ(0, lstat(ConfigDir().c_str(), &folder));
        ASSERT_EQ(0, lstat((ConfigDir() + "/client.xml").c_str(), &store));
        EXPECT_EQ(kUser, folder.st_uid);
        EXPECT_EQ(0700u, folder.st_mode & 07777);
        EXPECT_EQ(kUser, store.st_uid);
        EXPECT_EQ(0600u, store.st_mode & 07777);
        EXPECT_EQ(m_shippedStore, readFile(world->InstallFile("conf/client.xml")));
        EXPECT_FALSE(fs::exists(world->InstallFile("Quorra")));
    }

    void LogInAndOut() {
        ASSERT_TRUE(m_x->WaitWindow(kWindowTitle, 20s)) << m_client.Output();
        m_window = m_x->FindWindow(kWindowTitle);
        ASSERT_TRUE(WaitText("page: login\n", 30s)) << m_client.Output();
        // The pipes as the folder's rule has them: root's 0660 and the member's 0660, group
        // "orvane", in a folder of root and the group with mode 0770.
        struct stat folder {
        }, own{}, peer{};
        ASSERT_EQ(0, lstat(RunDir().c_str(), &folder));
        ASSERT_EQ(0, lstat((RunDir() + "/serverpipe").c_str(), &own));
        ASSERT_EQ(0, lstat((RunDir() + "/clientpipe").c_str(), &peer));
        EXPECT_EQ(0u, folder.st_uid);
        EXPECT_EQ(m_member, folder.st_gid);
        EXPECT_EQ(0770u, folder.st_mode & 07777);
        EXPECT_EQ(0u, own.st_uid);
        EXPECT_EQ(kUser, peer.st_uid);
        for (const struct stat& pipe : {own, peer}) {
            EXPECT_EQ(m_member, pipe.st_gid);
            EXPECT_EQ(0660u, pipe.st_mode & 07777);
        }
        TypeInto(150, 100, E2eWorld::kUser);
        TypeInto(150, 150, E2eWorld::kPassword);
        const size_t mark = m_client.Output().size();
        Click(150, 215);
        ASSERT_TRUE(WaitText("page: online\n", 30s, mark)) << m_client.Output();
        EXPECT_EQ(1u, world->Count("auth"));
        ExpectNoRootProcessOnTheDisplay(true);
        EXPECT_NE(std::string::npos,
                  readFile(ConfigDir() + "/client.xml").find("<Account>demo</Account>"));
        const size_t online = m_client.Output().size();
        Click(160, 165);
        EXPECT_TRUE(WaitForLogout("2", 20s));
        ASSERT_TRUE(WaitText("page: login\n", 30s, online)) << m_client.Output();
    }

    void ExpectToldHowToStartTheService(const std::string& why) {
        const std::chrono::seconds wait(CClientApp::kServiceWaitSeconds + 15);
        ASSERT_TRUE(WaitText(kNoServiceDialog, wait)) << m_client.Output();
        EXPECT_NE(std::string::npos,
                  m_client.Output().find("no service: " + why +
                                         "; start it with: systemctl start orvane-window\n"))
            << m_client.Output();
        ExpectNoRootProcessOnTheDisplay(false);
        CloseDialog();
        EXPECT_EQ(CClientApp::kNoService, m_client.Wait(10s)) << m_client.Output();
    }

    void TearDown() override {
        if (m_client.pid() > 0 && GetParam().service == Service::kRunning) {
            EXPECT_EQ(0, m_client.Stop(10s)) << m_client.Output();
        }
        m_client.Stop(0ms);
        m_announcer.Stop(5s);
        EXPECT_EQ("", sanitizerFindings(m_client.Output()));
        if (HasFailure())
            std::cerr << "--- client output\n" << m_client.Output();
        E2eTest::TearDown();
    }

    gid_t m_member = 0;
    std::string m_shippedStore;
    std::unique_ptr<XvfbDisplay> m_x;
    NsProcess m_announcer;
    NsProcess m_client;
    std::string m_window;
};

TEST_P(DesktopUserTest, WindowOfAMemberReachesOnlyTheRootService) {
    MakeUserWorld();
    if (IsSkipped() || HasFatalFailure())
        return;
    StartService();
    StartClient();
    if (HasFatalFailure())
        return;
    switch (GetParam().service) {
        case Service::kRunning:
            LogInAndOut();
            break;
        case Service::kNoFolder:
            ExpectToldHowToStartTheService(RunDir() + " does not exist");
            break;
        case Service::kPipeWithoutService:
            ExpectToldHowToStartTheService("the service does not answer on its pipe");
            break;
    }
    if (HasFatalFailure())
        return;
    ExpectMarkerOfTheUserOnly();
    ExpectStoreOfTheUser();
}

INSTANTIATE_TEST_SUITE_P(
    Services, DesktopUserTest,
    ::testing::Values(Scenario{"ServiceRunning", Service::kRunning, true},
                      Scenario{"NoRuntimeFolder", Service::kNoFolder, false},
                      Scenario{"PipeLeftWithoutService", Service::kPipeWithoutService, true}),
    [](const ::testing::TestParamInfo<Scenario>& info) { return info.param.name; });

}  // namespace
