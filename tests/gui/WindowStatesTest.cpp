// The window against a service of the test's own: `client` under Xvfb in a fresh installation
// whose OrvaneSvr is a stand-in that ends at once, while the test plays the service on the two
// FIFOs. That way every message sequence the service can post, in any order and at any pace, can
// be put to the real window: which page it shows, with which text, and how many error dialogs
// open. The page is read from the client's lines on standard output, the dialogs are counted as
// visible windows with their title; screenshots go to <build>/tests/gui/artefacts/<test name>/.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "E2eWorld.h"
#include "ServiceProcess.h"
#include "TestSupport.h"
#include "XvfbDisplay.h"

// Last, and without the Xlib macros that would clash with the names above.
#include <gdk/gdk.h>
#include <gdk/gdkx.h>
#undef Bool
#undef None
#undef Status

using namespace orvane_test;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

const char* const kWindowTitle = "Orvane校园";
const char* const kErrorTitle = "错误提示";

// The service's end of the FIFOs: makes and writes "serverpipe", reads the client's
// "clientpipe". Writes never block (a message is shorter than PIPE_BUF, so it goes whole or
// not at all) and never raise SIGPIPE once the client has gone.
class FakeService {
public:
    explicit FakeService(const std::string& dir) : m_dir(dir) {
        signal(SIGPIPE, SIG_IGN);
        mkfifo((dir + "/serverpipe").c_str(), 0600);
    }
    ~FakeService() {
        for (int fd : {m_write, m_read}) {
            if (fd >= 0)
                close(fd);
        }
    }
    FakeService(const FakeService&) = delete;
    FakeService& operator=(const FakeService&) = delete;

    // Succeeds once the client reads "serverpipe" and has made "clientpipe".
    bool Accept(std::chrono::milliseconds timeout) {
        const std::string own = m_dir + "/serverpipe", peer = m_dir + "/clientpipe";
        waitFor([&] { return (m_write = open(own.c_str(), O_WRONLY | O_NONBLOCK)) >= 0; }, timeout,
                20ms);
        waitFor([&] { return (m_read = open(peer.c_str(), O_RDONLY | O_NONBLOCK)) >= 0; }, timeout,
                20ms);
        return m_write >= 0 && m_read >= 0;
    }
    // False when the client does not take the message within timeout (or has gone).
    bool Send(const std::string& opcode, const std::string& params,
              std::chrono::milliseconds timeout = 5s) {
        const std::string m = "<M><OpS>NetModule</OpS><OpT>Portal</OpT><OpC>" + opcode +
                              "</OpC><P>" + params + "</P></M>" + std::string(1, '\0');
        return waitFor(
            [&] { return write(m_write, m.data(), m.size()) == static_cast<ssize_t>(m.size()); },
            timeout, 2ms);
    }
    bool State(int newState, long code = 0, const std::string& sub = "",
               std::chrono::milliseconds timeout = 5s) {
        return Send("NetStateMessageResp",
                    "<type>51</type><oldState>1</oldState><newState>" + std::to_string(newState) +
                        "</newState><ErrorCode>" + std::to_string(code) +
                        "</ErrorCode><subErrCode>" + sub +
                        "</subErrCode><subType>0</subType><extern></extern>",
                    timeout);
    }
    // The next message from the client, or "" when none comes in time.
    std::string Receive(std::chrono::milliseconds timeout = 5s) {
        waitFor(
            [&] {
                char chunk[4096];
                const ssize_t n = read(m_read, chunk, sizeof chunk);
                if (n > 0)
                    m_buffer.append(chunk, static_cast<size_t>(n));
                return m_buffer.find('\0') != std::string::npos;
            },
            timeout, 10ms);
        const size_t zero = m_buffer.find('\0');
        if (zero == std::string::npos)
            return "";
        const std::string m = m_buffer.substr(0, zero);
        m_buffer.erase(0, zero + 1);
        return m;
    }

private:
    std::string m_dir;
    int m_write = -1;
    int m_read = -1;
    std::string m_buffer;
};

// Asks the window with the X id windowId on display to close, as a window manager does when its
// user clicks the close button (there is none on the test's X server). False when the display
// cannot be reached.
bool AskToClose(const std::string& display, const std::string& windowId) {
    static const bool parsed = (gdk_parse_args(nullptr, nullptr), true);
    (void)parsed;
    GdkDisplay* x = gdk_display_open(display.c_str());
    if (x == nullptr)
        return false;
    GdkEvent event = {};
    event.client.type = GDK_CLIENT_EVENT;
    event.client.send_event = TRUE;
    event.client.message_type = gdk_atom_intern("WM_PROTOCOLS", FALSE);
    event.client.data_format = 32;
    event.client.data.l[0] =
        static_cast<long>(gdk_x11_get_xatom_by_name_for_display(x, "WM_DELETE_WINDOW"));
    event.client.data.l[1] = GDK_CURRENT_TIME;
    const bool sent = gdk_event_send_client_message_for_display(
        x, &event, static_cast<GdkNativeWindow>(std::stoul(windowId)));
    gdk_display_sync(x);
    gdk_display_close(x);
    return sent;
}

bool IsCommand(const std::string& message, const std::string& opcode) {
    return message.find("<OpC>" + opcode + "</OpC>") != std::string::npos;
}

class WindowStatesTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_artefacts = std::string(ORVANE_GUI_ARTEFACTS) + "/" + TestName();
        std::error_code ec;
        fs::remove_all(m_artefacts, ec);
        fs::create_directories(m_artefacts, ec);
        ASSERT_TRUE(makeInstallation(ORVANE_INSTALL_TREE, m_inst));
        m_service = std::make_unique<FakeService>(m_inst);
        // The window starts this instead of the service; the test is the service.
        ASSERT_TRUE(writeFile(m_inst + "/OrvaneSvr", "#!/bin/sh\nexit 0\n"));
        chmod((m_inst + "/OrvaneSvr").c_str(), 0755);
        m_x = std::make_unique<XvfbDisplay>(m_dir.file("xvfb.log"));
        if (!m_x->ok())
            GTEST_SKIP() << "no X server for the window test: " << m_x->error();
        setenv("DISPLAY", m_x->display().c_str(), 1);
        setenv("LSAN_OPTIONS", "suppressions=" ORVANE_SOURCE_DIR "/tests/gui/lsan-gtk.supp", 1);
        setenv("TSAN_OPTIONS", "suppressions=" ORVANE_SOURCE_DIR "/tests/gui/tsan-gtk.supp", 1);
    }
    void TearDown() override {
        if (m_pid > 0 && !m_reaped) {
            EXPECT_EQ(0, StopClient(10s)) << Output();
        }
        if (!m_artefacts.empty())
            writeFile(m_artefacts + "/client.out", Output());
        EXPECT_EQ("", sanitizerFindings(Output()));
        if (HasFailure())
            std::cerr << "--- client output\n" << Output();
    }

    static std::string TestName() {
        std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
        for (char& c : name)
            c = c == '/' ? '-' : c;
        return name;
    }

    // Starts ./client in the installation, output to client.out.
    bool StartClient() {
        const std::string out = m_dir.file("client.out");
        m_pid = fork();
        if (m_pid == 0) {
            const int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            const int in = open("/dev/null", O_RDONLY);
            if (fd < 0 || in < 0 || chdir(m_inst.c_str()) != 0)
                _exit(120);
            dup2(in, 0);
            dup2(fd, 1);
            dup2(fd, 2);
            execl("./client", "./client", static_cast<char*>(nullptr));
            _exit(121);
        }
        return m_pid > 0;
    }
    // The client's exit status once it ended within timeout, else -1.
    int WaitClient(std::chrono::milliseconds timeout) {
        waitFor(
            [&] { return m_reaped || (m_reaped = waitpid(m_pid, &m_status, WNOHANG) == m_pid); },
            timeout, 10ms);
        return m_reaped && WIFEXITED(m_status) ? WEXITSTATUS(m_status) : -1;
    }
    // SIGTERM, then SIGKILL after grace; the exit status as for WaitClient.
    int StopClient(std::chrono::milliseconds grace) {
        if (!m_reaped)
            kill(m_pid, SIGTERM);
        const int status = WaitClient(grace);
        if (!m_reaped) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, &m_status, 0);
            m_reaped = true;
        }
        return status;
    }

    // The client up to its log-in page, with the test as its service.
    void StartToLoginPage() {
        ASSERT_TRUE(StartClient());
        ASSERT_TRUE(m_x->WaitWindow(kWindowTitle, 20s)) << Output();
        ASSERT_TRUE(m_service->Accept(10s)) << Output();
        ASSERT_TRUE(IsCommand(m_service->Receive(), "ClientStart")) << Output();
        ASSERT_TRUE(m_service->Send("ClientStartComplete", "ClientStartComplete"));
        ASSERT_TRUE(IsCommand(m_service->Receive(), "CheckEnv")) << Output();
        ASSERT_TRUE(m_service->State(31));
        ASSERT_TRUE(waitFor([&] { return Lines().size() >= 2; }, 10s)) << Output();
        ASSERT_EQ((std::vector<std::string>{"page: init", "page: login"}), Lines()) << Output();
    }

    std::string Output() const { return readFile(m_dir.file("client.out")); }
    // The window's lines (pages, texts, dialogs, the end) after the first skip of them.
    std::vector<std::string> Lines(size_t skip = 0) const {
        static const char* const kinds[] = {
            "page: ", "init text: ", "status: ", "error dialog: ", "error text: ", "window: "};
        std::vector<std::string> lines;
        std::istringstream in(Output());
        for (std::string line; std::getline(in, line);) {
            for (const char* kind : kinds) {
                if (line.rfind(kind, 0) == 0 && line != "init text: 正在初始化环境，请稍后...") {
                    lines.push_back(line);
                    break;
                }
            }
        }
        lines.erase(lines.begin(), lines.begin() + static_cast<long>(std::min(skip, lines.size())));
        return lines;
    }
    size_t VisibleDialogs() const {
        const std::string ids =
            m_x->Run("xdotool search --onlyvisible --name '^" + std::string(kErrorTitle) + "$'");
        size_t n = 0;
        for (char c : ids)
            n += c == '\n';
        return n;
    }
    void Shot(const std::string& name) {
        EXPECT_TRUE(m_x->Screenshot(m_artefacts + "/" + name + ".png")) << name;
    }

    TempDir m_dir;
    std::string m_inst = m_dir.file("inst");
    std::string m_artefacts;
    std::unique_ptr<XvfbDisplay> m_x;
    std::unique_ptr<FakeService> m_service;
    pid_t m_pid = -1;
    bool m_reaped = false;
    int m_status = 0;
};

// One message of the service: its new state, error code and sub code.
struct Posted {
    int state;
    long code;
    const char* sub;
};

struct Sequence {
    const char* name;
    std::vector<Posted> posted;          // sent after the log-in page is shown
    std::vector<std::string> lines;      // the window's lines they lead to, in order
    size_t dialogs;                      // error dialogs open at the end
    std::vector<std::string> toService;  // what the client sends meanwhile
};

void PrintTo(const Sequence& sequence, std::ostream* out) {
    *out << sequence.name;
}

class WindowSequenceTest : public WindowStatesTest,
                           public ::testing::WithParamInterface<Sequence> {};

TEST_P(WindowSequenceTest, ShowsWhatTheServiceSaysWithOneDialogAtMost) {
    const Sequence& c = GetParam();
    StartToLoginPage();
    if (HasFatalFailure())
        return;
    const size_t before = Lines().size();
    for (const Posted& p : c.posted)
        ASSERT_TRUE(m_service->State(p.state, p.code, p.sub));
    ASSERT_TRUE(waitFor([&] { return Lines(before).size() >= c.lines.size(); }, 15s)) << Output();
    // Whatever else the messages were going to do has happened by now.
    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(c.lines, Lines(before));
    EXPECT_TRUE(waitFor([&] { return VisibleDialogs() == c.dialogs; }, 5s, 100ms))
        << VisibleDialogs() << " dialogs";
    Shot("end");
    std::vector<std::string> sent;
    for (std::string m; !(m = m_service->Receive(300ms)).empty();)
        sent.push_back(m.substr(m.find("<OpC>") + 5, m.find("</OpC>") - m.find("<OpC>") - 5));
    EXPECT_EQ(c.toService, sent);
}

// A desktop start has no terminal: a client that refuses an installation others could change
// says why, and how to mend it, in a dialog as well, and ends with status 78 once it is closed.
TEST_F(WindowStatesTest, RefusedStartSaysWhyInADialog) {
    const std::string store = m_inst + "/conf/conf.xml";
    ASSERT_EQ(0, chmod(store.c_str(), 0664));
    ASSERT_TRUE(StartClient());
    ASSERT_TRUE(m_x->WaitWindow(kErrorTitle, 20s)) << Output();
    Shot("refusal");
    const std::string said = Output();
    const size_t dialog = said.find("error dialog: ");
    ASSERT_NE(std::string::npos, dialog) << said;
    EXPECT_NE(std::string::npos, said.find("mend it with: chmod go-w '" + store + "'", dialog))
        << said;
    const std::string id = m_x->FindWindow(kErrorTitle);
    EXPECT_TRUE(waitFor([&] { return m_x->Key("Return", id) && WaitClient(1s) != -1; }, 10s));
    EXPECT_EQ(78, WaitClient(1s)) << said;
    EXPECT_TRUE(m_x->FindWindow(kWindowTitle).empty());
}

// The window ends (told to, or closed by its user) while the service floods it with state
// messages. Whatever the message thread still handles then must not touch the window's widgets
// or open a dialog: after the window's end no page, text or dialog line may follow, and the
// client ends in order.
class WindowEndTest : public WindowStatesTest, public ::testing::WithParamInterface<bool> {};

TEST_P(WindowEndTest, StateMessagesArrivingAtTheEndChangeNothing) {
    const bool byTerm = GetParam();
    StartToLoginPage();
    if (HasFatalFailure())
        return;
    const std::string window = m_x->FindWindow(kWindowTitle);
    // Pages, texts and (told to end) the dialog change all the time, and nothing is sent back,
    // so the client's own pipe never fills while nobody reads it. A user cannot close the
    // window while the modal dialog is open, so for that end the failures come during a
    // recovery, where they only change the page's text.
    const std::vector<Posted> cycle =
        byTerm
            ? std::vector<Posted>{{2, 1, ""},
                                  {3, 140011, ""},
                                  {33, 150121, "3"},
                                  {32, 20010207, ""},
                                  {31, 0, ""}}
            : std::vector<Posted>{{2, 1, ""}, {33, 150121, "3"}, {32, 20010207, ""}, {31, 0, ""}};
    std::atomic<bool> stop{false};
    std::atomic<int> sent{0};
    std::thread flood([&] {
        for (int i = 0; i < 20000 && !stop; ++i) {
            const Posted& p = cycle[static_cast<size_t>(i) % cycle.size()];
            if (!m_service->State(p.state, p.code, p.sub, 2s))
                break;  // the client has gone
            ++sent;
        }
    });
    waitFor([&] { return sent > 200; }, 5s);
    if (byTerm)
        kill(m_pid, SIGTERM);
    else
        EXPECT_TRUE(AskToClose(m_x->display(), window));
    const int status = WaitClient(15s);
    stop = true;
    flood.join();
    EXPECT_EQ(0, status) << Output();
    const std::vector<std::string> lines = Lines();
    const auto closed = std::find(lines.begin(), lines.end(), "window: closed");
    ASSERT_NE(lines.end(), closed) << Output();
    EXPECT_EQ(std::vector<std::string>{}, std::vector<std::string>(closed + 1, lines.end()));
    EXPECT_GT(sent, 200);
}

INSTANTIATE_TEST_SUITE_P(Ends, WindowEndTest, ::testing::Bool(), [](const auto& info) {
    return std::string(info.param ? "TerminateSignal" : "ClosedByItsUser");
});

const char* const kWaitingText = "init text: 网络连接已断开，正在等待网络恢复";
const char* const kAgainText = "init text: 连接已断开，正在自动重新登录";

INSTANTIATE_TEST_SUITE_P(
    Sequences, WindowSequenceTest,
    ::testing::Values(
        Sequence{"LinkLostWhileOnline",
                 {{2, 1, ""}, {33, 150120, ""}},
                 {"page: online", "status: 已连接校园光网", "page: init", kWaitingText},
                 0,
                 {}},
        Sequence{"RefusedWhileLoggingInAgain",
                 {{33, 150121, "0"}, {3, 140011, ""}, {3, 150122, "140011"}},
                 {"page: init", kAgainText, "page: init", "init text: 账号或密码错误",
                  "page: login", "error dialog: 账号或密码错误"},
                 1,
                 {}},
        Sequence{"RecoveredAfterFailedAttempts",
                 {{33, 150121, "5"},
                  {32, 20010207, ""},
                  {33, 150121, "10"},
                  {33, 30000101, ""},
                  {31, 0, ""},
                  {2, 1, ""},
                  {12, 2, ""}},
                 {"page: init", std::string(kAgainText) + "（5 秒后）", "page: init",
                  "init text: 获取门户配置失败，请检查网络连接后重试", "page: init",
                  std::string(kAgainText) + "（10 秒后）", "page: online", "status: 已连接校园光网",
                  "page: init"},
                 0,
                 {"CheckEnv"}},
        Sequence{
            "TwoErrorsInARow",
            {{3, 140011, ""}, {32, 20010207, ""}},
            {"error dialog: 账号或密码错误", "error text: 获取门户配置失败，请检查网络连接后重试"},
            1,
            {}},
        Sequence{"GivenUpForACodeWithoutText",
                 {{2, 1, ""}, {12, 14, ""}, {33, 150121, "x1"}, {3, 150122, "99999"}},
                 {"page: online", "status: 已连接校园光网", "page: init", "page: init", kAgainText,
                  "page: login", "error dialog: 自动重新登录已停止，请重新登录"},
                 1,
                 {"CheckEnv"}}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
