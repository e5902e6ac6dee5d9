// Hostile input from every side the service listens to: portal pages, portal answers and their
// headers, algorithm containers and the window's pipe. Whatever arrives, no shell word runs, no
// file outside the installation changes, memory stays bounded, the stores keep their keys and the
// service stays up and logs the next well-formed request in.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "CMarkup.h"
#include "E2eWorld.h"
#include "StoreCheck.h"

using namespace orvane_test;
using namespace std::chrono_literals;

namespace {

namespace fs = std::filesystem;

// A kibibyte figure of /proc/PID/status ("VmRSS", "VmHWM"); -1 when unreadable.
long statusKib(pid_t pid, const std::string& field) {
    const std::string text = readFile("/proc/" + std::to_string(pid) + "/status");
    const size_t at = text.find("\n" + field + ":");
    return at == std::string::npos ? -1 : std::atol(text.c_str() + at + field.size() + 2);
}

// Every regular file below root with its size and modification time, links not followed.
std::map<std::string, std::string> treeState(const std::string& root) {
    std::map<std::string, std::string> files;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(root, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        struct stat st {};
        if (lstat(it->path().c_str(), &st) != 0)
            continue;
        files[it->path().string()] = std::to_string(st.st_mode) + ":" + std::to_string(st.st_size) +
                                     ":" + std::to_string(st.st_mtim.tv_sec) + "." +
                                     std::to_string(st.st_mtim.tv_nsec);
    }
    return files;
}

// Markup-safe text for values the portal hands out in elements and attributes alike.
std::string xmlEscape(const std::string& text) {
    return CMarkup::EscapeText(text.c_str(), CMarkup::MNF_ESCAPEALL, true).ToStdString();
}

std::string nested(const std::string& tag, size_t depth, const std::string& core) {
    std::string open, close;
    for (size_t i = 0; i < depth; ++i) {
        open += "<" + tag + ">";
        close += "</" + tag + ">";
    }
    return open + core + close;
}

class HostileInputTest : public E2eTest {
protected:
    static constexpr long kRssGrowthLimitKib = 64 * 1024;

    // Shell words that would each leave the marker file behind if a shell ever saw them.
    std::vector<std::string> ShellWords() const {
        const std::string m = markers.file("ran");
        return {"x; touch " + m,    "$(touch " + m + ")", "`touch " + m + "`",
                "x | touch " + m,   "x & touch " + m,     "x && touch " + m + " #",
                "../../../../" + m, " .. /.. " + m + " "};
    }
    std::string AllShellWords() const {
        std::string all;
        for (const std::string& w : ShellWords())
            all += w;
        return all;
    }

    // Writes the configuration block portal-sim serves; "@BASE@" is the simulator's own URL.
    void WritePageConfig(const std::string& ticketUrl, const std::string& extra = "",
                         const std::string& userConfigExtra = "", const std::string& funCfg = "") {
        const std::string doc =
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?><config>"
            "<ticket-url>" +
            ticketUrl +
            "</ticket-url>"
            "<query-url>@BASE@/query</query-url><auth-url>@BASE@/auth</auth-url>"
            "<state-url>@BASE@/state</state-url><state-interval>1</state-interval>"
            "<auth><type>vxr-http-pap</type><default>yes</default></auth>"
            "<user-config><against-interval>1</against-interval><logout-delay>300</logout-delay>" +
            userConfigExtra + "</user-config>" + extra + "<FunCfg>" + funCfg + "</FunCfg></config>";
        ASSERT_TRUE(writeFile(pageConfig, doc));
    }

    // Starts the service and the window; remembers what must not change from here on.
    void StartGuarded() {
        StartToPreconnected();
        if (HasFatalFailure())
            return;
        Remember();
    }
    void Remember() {
        pid = world->Service().pid();
        baseRssKib = statusKib(pid, "VmRSS");
        ASSERT_GT(baseRssKib, 0);
        ASSERT_TRUE(storeKeys(world->InstallFile("conf/conf.xml"), storeKeysBefore));
        container = readFile(world->InstallFile("zuvUzarod.zxm"));
        resolver = world->Resolver();
        outside = OutsideState();
        installNames = InstallNames();
    }

    // The test's files outside the installation, less those the simulator and the test write.
    std::map<std::string, std::string> OutsideState() const {
        std::map<std::string, std::string> state = treeState(world->dir().path());
        for (auto it = state.begin(); it != state.end();) {
            const std::string& p = it->first;
            const bool ours = p == world->Install() || p.rfind(world->Install() + "/", 0) == 0 ||
                              p.rfind(world->dir().path() + "/requests.jsonl", 0) == 0 ||
                              (p.size() > 4 && p.compare(p.size() - 4, 4, ".out") == 0);
            it = ours ? state.erase(it) : std::next(it);
        }
        for (const auto& entry : treeState(markers.path()))
            state.insert(entry);
        return state;
    }
    // Names in the installation outside the log folder: the service may rewrite its files, never
    // add one under a name it was sent.
    std::set<std::string> InstallNames() const {
        std::set<std::string> names;
        for (const auto& entry : treeState(world->Install())) {
            if (entry.first.rfind(world->InstallFile("Log/"), 0) != 0)
                names.insert(entry.first);
        }
        return names;
    }

    // Everything that must hold after a hostile input; label names the input in failures.
    void ExpectUnharmed(const std::string& label, bool containerKept = true) {
        SCOPED_TRACE(label);
        EXPECT_TRUE(world->Service().running()) << "the service died";
        EXPECT_TRUE(fs::is_empty(markers.path())) << "a shell word ran";
        EXPECT_EQ(outside, OutsideState()) << "a file outside the installation changed";
        EXPECT_EQ(installNames, InstallNames()) << "the installation gained or lost a file";
        EXPECT_EQ(resolver, world->Resolver());
        EXPECT_EQ("", storeDamage(world->InstallFile("conf/conf.xml"), storeKeysBefore));
        if (containerKept) {
            EXPECT_EQ(container, readFile(world->InstallFile("zuvUzarod.zxm")));
        }
        const long peak = statusKib(pid, "VmHWM");
#if !defined(__SANITIZE_THREAD__)
        // ThreadSanitizer's shadow of every touched byte is several times the byte itself, so its
        // peaks tell nothing about the service's own bound; the figure is still printed.
        EXPECT_LT(peak - baseRssKib, kRssGrowthLimitKib) << "peak " << peak << " KiB";
#endif
        std::cout << "[ rss      ] " << label << ": start " << baseRssKib << " KiB, now "
                  << statusKib(pid, "VmRSS") << " KiB, peak " << peak << " KiB\n";
    }

    // Waits for the state message that ends a detection or a log-in: a settled state, or a
    // failure code the window shows as an error. Returns false on timeout.
    bool WaitSettled(NetState& state, std::chrono::milliseconds timeout) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        for (size_t seen = window.States().size();; ++seen) {
            while (window.States().size() <= seen) {
                const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                    deadline - std::chrono::steady_clock::now());
                if (left.count() <= 0 || !window.WaitFor("NetStateMessageResp", left))
                    return false;
            }
            state = window.States()[seen];
            const bool settled = state.newState == 2 || state.newState == 3 ||
                                 state.newState == 31 || state.newState == 32;
            if (settled || state.code >= 140000)
                return true;
        }
    }
    // A control command of any length: the simulator's control port reads a form body only up
    // to 8 KiB, so the body goes as plain text.
    bool LongControl(const std::string& command) {
        NetnsScope inside(world->ns().name());
        const HttpResult r = Http(world->SimControlUrl(), &command, {"Content-Type: text/plain"});
        return inside.entered() && r.rc == CURLE_OK && r.status == 200;
    }
    // Headers the simulator received under this name, in any request.
    size_t ReceivedHeaders(const std::string& name) {
        size_t n = 0;
        for (const cJSON* rec : world->Requests()) {
            const cJSON* headers = cJSON_GetObjectItemCaseSensitive(rec, "headers");
            n += cJSON_GetObjectItemCaseSensitive(headers, name.c_str()) != nullptr;
        }
        return n;
    }

    // The window still gets answers: a fresh detection and a normal log-in.
    void ExpectNormalLogin() {
        ASSERT_TRUE(window.Send("CheckEnv"));
        ASSERT_TRUE(window.WaitState(31, 20s));
        LogIn();
    }

    TempDir markers;  // a shell word that ran would leave its file here
    TempDir files;    // the test's own inputs for the simulator
    std::string pageConfig = files.file("page-config.xml");
    pid_t pid = -1;
    long baseRssKib = 0;
    std::set<std::string> storeKeysBefore;
    std::string container;
    std::string resolver;
    std::map<std::string, std::string> outside;
    std::set<std::string> installNames;
};

// Values the portal hands over that travel on into the log, request headers, the window and the
// sharing check: shell words, "..", blanks, control characters and 64 KiB texts.
TEST_F(HostileInputTest, PortalValuesReachNoShellAndNoPath) {
    const std::string words = AllShellWords();
    const std::string huge(70 * 1024, 'v');
    std::string programs;
    for (const std::string& w : ShellWords())
        programs += "<process displayname=\"" + xmlEscape(w) + "\">" + xmlEscape(w) + "</process>";
    programs += "<process>" + huge + "</process><process>a&#13;&#10;b</process>";
    for (int i = 0; i < 100; ++i)
        programs += "<process>x" + std::to_string(i) + "</process>";
    // 10000 levels of nesting in the page and in one of its FunCfg entries.
    const std::string deep = nested("deep", 10000, "x");
    const std::string funCfg = "<Update url=\"" + xmlEscape(words) + "&#13;&#10;Host: evil" + huge +
                               "\" enable=\"1\"/><StatsInfor enable=\"1\" interval=\"1\" url=\"" +
                               xmlEscape(words) + "\"/><" + huge + "/><Deep>" + deep + "</Deep>";
    WritePageConfig("@BASE@/ticket",
                    "<account><modify><type>add-domain</type><value>" + xmlEscape(words) +
                        "</value></modify></account><note>" + huge + "</note>" + deep,
                    "<against>" + programs + "</against>", funCfg);
    // The gateway's school headers travel on in every request header block; the login answer
    // carries the against list the sharing check reads and the name servers; the account rule
    // adds the shell words as the domain, so the portal knows that account.
    E2E_WORLD(E2eOptions::Sim(
        {"--page-config", pageConfig, "--school-id", words, "--domain", "..", "--area", "a b | c",
         "--account", std::string(E2eWorld::kUser) + "@" + words + ":" + E2eWorld::kPassword,
         "--against-interval", "1", "--against-extra", "<against>" + programs + "</against>",
         "--dns1", "192.0.2.7\nnameserver 203.0.113.66\noptions ndots:15", "--dns2",
         ShellWords()[1]}));
    StartGuarded();
    if (HasFatalFailure())
        return;
    // The update address reaches the window whole and inside a message that still parses.
    std::string update;
    for (const std::string& m : window.Messages()) {
        if (m.find("FUN_Update") != std::string::npos)
            update = m;
    }
    CMarkup doc;
    EXPECT_TRUE(!update.empty() && doc.SetDoc(update.c_str()) && doc.FindElem("M")) << update;

    // A portal error whose free-text sub-code is hostile and long.
    ASSERT_TRUE(LongControl("fault auth:1:error:7:" + words + huge));
    ASSERT_TRUE(window.Send("PortalConnect", std::string("<user>") + E2eWorld::kUser +
                                                 "</user><password>x</password>"));
    NetState failed;
    ASSERT_TRUE(window.WaitState(3, 20s, &failed));
    EXPECT_EQ(140007, failed.code);
    ASSERT_TRUE(world->SimControl("clear-faults"));
    LogIn();
    if (HasFatalFailure())
        return;
    // Name servers that would add lines to the resolver file are refused, so it stays as it was
    // (checked by ExpectUnharmed).
    EXPECT_TRUE(world->LogHas("set dns", 10s));
    // The sharing check ran over the list (1 s interval) and refused the names it cannot check.
    EXPECT_TRUE(world->LogHas("program name refused", 10s));
    EXPECT_TRUE(world->WaitForRequests("keep", 2, 10s));
    ExpectUnharmed("portal values");
    const std::string log = world->LogText();
    EXPECT_EQ(std::string::npos, log.find(huge)) << "a 70 KiB value was logged whole";
    EXPECT_EQ(std::string::npos, log.find("\nHost: evil"));
}

// Portal addresses that are no web address, carry shell words, blanks and "..", are 64 KiB long or
// hide a header line: each log-in fails with a state the window shows, and the next good page
// brings the normal log-in back.
TEST_F(HostileInputTest, HostilePortalAddressesFailCleanly) {
    WritePageConfig("@BASE@/ticket");
    E2E_WORLD(E2eOptions::Sim({"--page-config", pageConfig}));
    StartGuarded();
    if (HasFatalFailure())
        return;
    const std::vector<std::string> urls = {
        "file://" + world->InstallFile("conf/conf.xml"),
        "file:///etc/passwd",
        "@BASE@/ticket?" + xmlEscape(AllShellWords()),
        "@BASE@/../../ticket/ " + xmlEscape(ShellWords()[1]),
        "@BASE@/ticket?" + std::string(66 * 1024, 'u'),
        "@BASE@/ticket&#13;&#10;X-Injected: 1",
    };
    for (const std::string& url : urls) {
        SCOPED_TRACE(url.substr(0, 200));
        WritePageConfig(url);
        NetState state;
        ASSERT_TRUE(window.Send("CheckEnv"));
        ASSERT_TRUE(WaitSettled(state, 20s));
        // A ticket request that failed leaves the state with its error; one that went through
        // leaves the log-in, which must fail or succeed as a whole.
        if (state.newState == 31) {
            ASSERT_TRUE(window.Send("PortalConnect", std::string("<user>") + E2eWorld::kUser +
                                                         "</user><password>" + E2eWorld::kPassword +
                                                         "</password>"));
            ASSERT_TRUE(WaitSettled(state, 20s));
            if (state.newState == 2) {
                ASSERT_TRUE(window.Send("PortalDisConnect", "<src>2</src>"));
                ASSERT_TRUE(window.WaitState(12, 20s));
            }
        } else {
            EXPECT_GE(state.code, 150000) << state.text;
        }
        ExpectUnharmed(url.substr(0, 80));
    }
    EXPECT_EQ(0u, ReceivedHeaders("X-Injected"));
    WritePageConfig("@BASE@/ticket");
    ExpectNormalLogin();
}

// A probe redirect to a local file: the detection fails, nothing is read, the service stays.
TEST_F(HostileInputTest, FileRedirectIsNotFollowed) {
    E2E_WORLD(E2eOptions::Sim({"--redirect-to", "file:///etc/shadow"}));
    ASSERT_TRUE(world->StartService());
    ASSERT_TRUE(window.Connect(world->Install())) << world->ServiceOutput();
    ASSERT_TRUE(window.Send("ClientStart"));
    ASSERT_TRUE(window.WaitFor("ClientStartComplete", 10s));
    Remember();
    ASSERT_TRUE(window.Send("CheckEnv"));
    NetState state;
    ASSERT_TRUE(WaitSettled(state, 20s));
    EXPECT_NE(31, state.newState) << state.text;
    EXPECT_EQ(0u, world->Count("page"));
    EXPECT_EQ(std::string::npos, window.Transcript().find("root:")) << "a local file was read";
    ExpectUnharmed("file redirect");
    // Still answering: a second detection reports again.
    const size_t states = window.States().size();
    ASSERT_TRUE(window.Send("CheckEnv"));
    EXPECT_TRUE(waitFor(
        [&] {
            return window.WaitFor("NetStateMessageResp", 100ms) && window.States().size() > states;
        },
        10s));
}

// A 100 MiB portal page: the transport stops collecting at its limit, memory stays bounded.
TEST_F(HostileInputTest, HugeAnswerBodyIsCut) {
    E2E_WORLD(E2eOptions::Sim({"--huge-page", "100"}));
    ASSERT_TRUE(world->StartService());
    ASSERT_TRUE(window.Connect(world->Install())) << world->ServiceOutput();
    ASSERT_TRUE(window.Send("ClientStart"));
    ASSERT_TRUE(window.WaitFor("ClientStartComplete", 10s));
    Remember();
    ASSERT_TRUE(window.Send("CheckEnv"));
    NetState state;
    ASSERT_TRUE(WaitSettled(state, 20s));
    ASSERT_TRUE(world->WaitForRequests("page", 1, 1s));
    ExpectUnharmed("100 MiB page");
    ExpectNormalLogin();
    ExpectUnharmed("log-in after the 100 MiB page");
}

// Renewed containers whose header declares a size past any module's: refused before anything
// is reserved, the installed container stays, and the next log-in works with it.
TEST_F(HostileInputTest, ContainerDeclaringHugeSizeIsRefused) {
    std::string bytes = readFile(ORVANE_ZXM_SECOND);
    ASSERT_GT(bytes.size(), 16u);
    const size_t keyLen = static_cast<unsigned char>(bytes[3]);
    const size_t algoAt = 4 + keyLen;
    const size_t sizeAt = algoAt + 1 + static_cast<unsigned char>(bytes[algoAt]) + 5;
    ASSERT_LT(sizeAt + 4, bytes.size());
    const std::string renew = files.file("renew.zxm");
    E2E_WORLD(E2eOptions::Sim({"--renew-container", renew, "--renew-unchecked"}));
    StartGuarded();
    if (HasFatalFailure())
        return;
    // 4 GiB, then just under the unpacking limit with a stream far too short for it.
    for (uint32_t declared : {0xffffffffu, (63u << 20)}) {
        for (int i = 0; i < 4; ++i)
            bytes[sizeAt + i] = static_cast<char>((declared >> (8 * i)) & 0xff);
        ASSERT_TRUE(writeFile(renew, bytes));
        // The ticket came with the detection; the log-in's own request is the first to renew.
        const std::string next = std::to_string(world->Count("auth") + 1);
        ASSERT_TRUE(world->SimControl("fault auth:" + next + "+:renew"));
        ASSERT_TRUE(window.Send("PortalConnect", std::string("<user>") + E2eWorld::kUser +
                                                     "</user><password>" + E2eWorld::kPassword +
                                                     "</password>"));
        EXPECT_TRUE(window.WaitState(3, 30s));
        ASSERT_TRUE(world->SimControl("clear-faults"));
        ExpectUnharmed("declared size " + std::to_string(declared));
        ASSERT_TRUE(window.Send("CheckEnv"));
        ASSERT_TRUE(window.WaitState(31, 20s));
    }
    LogIn();
}

// The window's pipe: messages past 4096 bytes and past the transport's limit, 10000 levels of
// nesting, shell words as operation codes and a flood; the next normal log-in still works.
TEST_F(HostileInputTest, HostilePipeMessagesLeaveTheServiceUp) {
    E2E_WORLD();
    StartGuarded();
    if (HasFatalFailure())
        return;
    const std::string words = xmlEscape(AllShellWords());
    ASSERT_TRUE(window.Send("NoSuchOp", std::string(8 * 1024, 'p')));
    ASSERT_TRUE(window.Send("CheckEnv", std::string(2 * 1024 * 1024, 'q')));
    ASSERT_TRUE(window.Send("CheckEnv", nested("a", 10000, "x")));
    ASSERT_TRUE(window.Send(nested("b", 10000, "CheckEnv")));
    ASSERT_TRUE(window.Send(words, words));
    ASSERT_TRUE(window.Send("PortalConnect", "<user>" + words + std::string(64 * 1024, 'u') +
                                                 "</user><password>" + words + "</password>"));
    ASSERT_TRUE(window.WaitState(3, 20s));
    for (int i = 0; i < 3000; ++i)
        ASSERT_TRUE(window.Send("NoSuchOp" + std::to_string(i % 7), words));
    ExpectUnharmed("pipe messages");
    ExpectNormalLogin();
    // The password of the hostile log-in never reached the log.
    EXPECT_EQ(std::string::npos, world->LogText().find("<password>"));
}

}  // namespace
