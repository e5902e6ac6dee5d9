// The desktop client end to end: `client` under Xvfb, started inside a network namespace with
// portal-sim, starting the real service itself, driven with xdotool as a user would. The page
// shown is read from the client's page lines on standard output and the dialogs are found by
// their window titles; a screenshot of every page and dialog, and the output of the client and
// the service, are left in <build>/tests/gui/artefacts/<test name>/ for a person to look at.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "CErrorCodeTable.h"
#include "E2eWorld.h"
#include "XvfbDisplay.h"

using namespace orvane_test;
using namespace std::chrono_literals;

namespace {

const char* const kWindowTitle = "Orvane校园";
const char* const kErrorTitle = "错误提示";

// Points inside the widgets of the 300 x 299 window (see the window's layout).
struct Point {
    int x, y;
};
const Point kAccount = {150, 100};
const Point kPassword = {150, 150};
const Point kLogin = {150, 215};
const Point kLogout = {160, 165};

class ClientWindowTest : public E2eTest {
protected:
    // Starts the X server and the client in the world's namespace, and waits for the window.
    void StartClient() {
        m_artefacts = std::string(ORVANE_GUI_ARTEFACTS) + "/" +
                      ::testing::UnitTest::GetInstance()->current_test_info()->name();
        std::error_code ec;
        std::filesystem::remove_all(m_artefacts, ec);
        std::filesystem::create_directories(m_artefacts, ec);
        m_x = std::make_unique<XvfbDisplay>(world->dir().file("xvfb.log"));
        if (!m_x->ok())
            GTEST_SKIP() << "no X server for the window test: " << m_x->error();
        setenv("DISPLAY", m_x->display().c_str(), 1);
        // For sanitizer builds: fontconfig keeps its caches for the life of the process, and the
        // uninstrumented GTK libraries are not the thread checker's business.
        setenv("LSAN_OPTIONS", "suppressions=" ORVANE_SOURCE_DIR "/tests/gui/lsan-gtk.supp", 1);
        setenv("TSAN_OPTIONS", "suppressions=" ORVANE_SOURCE_DIR "/tests/gui/tsan-gtk.supp", 1);
        m_client = std::make_unique<NsProcess>();
        ASSERT_TRUE(m_client->Start(world->ns().name(), world->Install(), {"./client"},
                                    world->dir().file("client.out"), false));
        ASSERT_TRUE(m_x->WaitWindow(kWindowTitle, 20s)) << Output();
        m_window = m_x->FindWindow(kWindowTitle);
    }

    std::string Output() const { return m_client ? m_client->Output() : ""; }
    // Where the client's output has got to, for waiting on lines written after that point.
    size_t Mark() const { return Output().size(); }
    // Position just after the first whole line equal to line written after since; npos if none.
    size_t FindLine(const std::string& line, size_t since = 0) const {
        const std::string text = Output();
        for (size_t at = text.find(line + "\n", since); at != std::string::npos;
             at = text.find(line + "\n", at + 1)) {
            if (at == 0 || text[at - 1] == '\n')
                return at + line.size() + 1;
        }
        return std::string::npos;
    }
    bool WaitLine(const std::string& line, std::chrono::milliseconds timeout, size_t since = 0) {
        return waitFor([&] { return FindLine(line, since) != std::string::npos; }, timeout, 50ms);
    }
    void Shot(const std::string& name) {
        EXPECT_TRUE(m_x->Screenshot(m_artefacts + "/" + name + ".png")) << name;
    }
    void Click(Point p) { ASSERT_TRUE(m_x->Click(m_window, p.x, p.y)); }
    void TypeInto(Point p, const std::string& text) {
        Click(p);
        ASSERT_TRUE(m_x->Key("ctrl+a"));  // replaces what the field held
        ASSERT_TRUE(m_x->Type(text));
    }
    // Waits for the error dialog, photographs it and closes it with its OK button's key.
    void ExpectDialog(const std::string& shot) {
        ASSERT_TRUE(m_x->WaitWindow(kErrorTitle, 10s)) << Output();
        Shot(shot);
        const std::string dialog = m_x->FindWindow(kErrorTitle);
        for (int attempt = 0; attempt < 3 && !m_x->FindWindow(kErrorTitle).empty(); ++attempt) {
            m_x->Key("Return", dialog);
            m_x->WaitNoWindow(kErrorTitle, 2s);
        }
        ASSERT_TRUE(m_x->FindWindow(kErrorTitle).empty()) << "the error dialog did not close";
    }

    void TearDown() override {
        if (m_client) {
            // The window ends in order on SIGTERM; the service it started keeps running.
            EXPECT_EQ(0, m_client->Stop(10s)) << Output();
        }
        StopStartedService();
        if (!m_artefacts.empty())
            writeFile(m_artefacts + "/client.out", Output());
        EXPECT_EQ("", sanitizerFindings(Output()));
        if (HasFailure())
            std::cerr << "--- client and service output\n" << Output();
        E2eTest::TearDown();
    }

    // The service the client started lives on after it; it is found through its store's "PID"
    // and stopped only when that process is an OrvaneSvr.
    void StopStartedService() {
        const pid_t pid = std::atoi(world ? world->StoreValue("PID").c_str() : "0");
        if (pid <= 0 || readFile("/proc/" + std::to_string(pid) + "/comm") != "OrvaneSvr\n")
            return;
        kill(pid, SIGTERM);
        if (!waitFor([&] { return Gone(pid); }, 15s, 50ms)) {
            ADD_FAILURE() << "the service did not end on SIGTERM";
            kill(pid, SIGKILL);
            waitFor([&] { return Gone(pid); }, 5s, 50ms);
        }
    }
    static bool Gone(pid_t pid) {
        const std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
        const size_t close = stat.rfind(')');
        return close == std::string::npos || stat.compare(close, 3, ") Z") == 0;
    }

    std::unique_ptr<XvfbDisplay> m_x;
    std::unique_ptr<NsProcess> m_client;
    std::string m_window;
    std::string m_artefacts;
};

TEST_F(ClientWindowTest, LogInAndOutThroughTheWindow) {
    E2E_WORLD();
    StartClient();
    if (IsSkipped() || HasFatalFailure())
        return;
    ASSERT_TRUE(WaitLine("page: init", 10s)) << Output();
    Shot("1-initialising");
    ASSERT_TRUE(WaitLine("page: login", 30s)) << Output();
    Shot("2-login");

    // Both fields empty: only the missing account is reported, and nothing is sent.
    Click(kLogin);
    ASSERT_TRUE(WaitLine("error dialog: 账号不能为空！", 10s)) << Output();
    ExpectDialog("3-empty-account");
    EXPECT_EQ(std::string::npos, FindLine("error dialog: 密码不能为空！"));
    EXPECT_EQ(0u, world->Count("auth"));

    // A wrong password: the portal's refusal in the words of the installed error table.
    CErrorCodeTable table;
    ASSERT_TRUE(table.LoadFile(world->InstallFile("conf/code.xml").c_str()));
    const std::string refused = table.GetErrorText(140011, "", "").ToStdString();
    ASSERT_EQ(std::string::npos, refused.find("错误码")) << "code.xml has no text for 140011";
    TypeInto(kAccount, E2eWorld::kUser);
    TypeInto(kPassword, "not-the-password");
    Click(kLogin);
    ASSERT_TRUE(WaitLine("error dialog: " + refused, 30s)) << Output();
    ExpectDialog("4-wrong-password");
    EXPECT_EQ(std::string::npos, FindLine("page: online"));

    // The service looks at the network again after a refusal; the form keeps the account.
    size_t mark = Mark();
    TypeInto(kPassword, E2eWorld::kPassword);
    Click(kLogin);
    ASSERT_TRUE(WaitLine("page: online", 30s, mark)) << Output();
    ASSERT_TRUE(WaitLine("status: 已连接校园光网", 5s, mark)) << Output();
    Shot("5-online");
    ASSERT_EQ(2u, world->Count("auth"));
    EXPECT_EQ(E2eWorld::kUser, E2eWorld::Field(world->Requests("auth")[1], "fields", "userid"));
    // The store kept what was typed, for its owner's eyes only.
    const std::string store = readFile(world->InstallFile("conf/client.xml"));
    EXPECT_NE(std::string::npos, store.find("<Account>demo</Account>")) << store;
    EXPECT_NE(std::string::npos, store.find("<Password>demo-pw</Password>")) << store;
    struct stat st {};
    ASSERT_EQ(0, stat(world->InstallFile("conf/client.xml").c_str(), &st));
    EXPECT_EQ(0600u, st.st_mode & 07777);

    mark = Mark();
    Click(kLogout);
    ASSERT_TRUE(WaitLine("page: init", 20s, mark)) << Output();
    Shot("6-initialising-after-logout");
    mark = FindLine("page: init", mark);
    EXPECT_TRUE(WaitForLogout("2", 10s));
    ASSERT_TRUE(WaitLine("page: login", 30s, mark)) << Output();
    Shot("7-login-again");
}

// Told to end while the service's error dialog is open, the window does not wait for OK.
TEST_F(ClientWindowTest, EndsOnRequestWhileAnErrorDialogIsOpen) {
    E2E_WORLD();
    StartClient();
    if (IsSkipped() || HasFatalFailure())
        return;
    ASSERT_TRUE(WaitLine("page: login", 30s)) << Output();
    TypeInto(kAccount, E2eWorld::kUser);
    TypeInto(kPassword, "not-the-password");
    Click(kLogin);
    ASSERT_TRUE(m_x->WaitWindow(kErrorTitle, 30s)) << Output();
    Shot("1-service-error");
    EXPECT_EQ(0, m_client->Stop(10s)) << Output();
    EXPECT_TRUE(m_x->WaitNoWindow(kErrorTitle, 5s));
}

// A network without a portal (the probe comes back unredirected): online at once, as plain
// Internet access, with no log-in at all.
TEST_F(ClientWindowTest, OpenNetworkShowsInternetAccess) {
    E2E_WORLD(E2eOptions::Sim({"--fault", "probe:1:garbage", "--fault", "probe:2+:http500"}));
    StartClient();
    if (IsSkipped() || HasFatalFailure())
        return;
    ASSERT_TRUE(WaitLine("page: online", 30s)) << Output();
    ASSERT_TRUE(WaitLine("status: 已连接Internet", 5s)) << Output();
    Shot("1-online-internet");
    EXPECT_EQ(std::string::npos, FindLine("page: login"));
    EXPECT_EQ(0u, world->Count("auth"));
}

}  // namespace
