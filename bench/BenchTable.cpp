// The benchmark table printed by ./dev.sh bench. The real OrvaneSvr runs against portal-sim in a
// network namespace of its own, driven over its two FIFOs as the window drives it:
//   - 20 rounds of "CheckEnv" to pre-connected, "PortalConnect" (a click's 250 ms later) to
//     connected, and a logout;
//   - in each round, right after the service's log-in, the same coded requests sent with libcurl
//     alone (the service's own documents coded again by the same module, the same headers), which
//     is the transport floor the log-in is compared with; both cut into phases where portal-sim
//     saw the log-in request (to its arrival, the portal's work, from the answer to the end);
//   - one coded request through the algorithm module's helper process, and its answer decoded;
//   - the round trip of one message over the two FIFOs;
//   - idle CPU, wake-ups, resident memory and threads of the logged-in service and its module
//     helper, and of the client attached to it under Xvfb when both are there;
//   - idle CPU and wake-ups of the service logged in from the terminal, with no window;
//   - ten link flaps with the portal behind the card: link back to online again.
// The numbers are printed, never judged as a failure: the exit status is 0 whenever the runs
// could be made.
#include <unistd.h>

#include <condition_variable>
#include <filesystem>
#include <map>
#include <mutex>
#include <thread>

#include "BenchStats.h"
#include "CMD5.h"
#include "CPipeService.h"
#include "CPortalParser.h"
#include "CZsmHelper.h"
#include "E2eWorld.h"
#include "LinkFlapBench.h"

using namespace orvane_test;
using namespace orvane_bench;
using namespace std::chrono_literals;

namespace {

constexpr int kRounds = 20;
constexpr int kCodedRuns = 2000;
constexpr int kPipeRuns = 2000;
constexpr int kIdleSeconds = 30;
// The portal's keep-alive interval during the idle sample; tests use 1 s, portals use minutes.
constexpr const char* kKeepInterval = "30";
// The portal's interval of timed traffic reports: portals report every few minutes; the tests'
// 2 s would put fifteen reports into an idle sample.
constexpr const char* kStatsInterval = "300";
constexpr double kPausesMs = 3 * 500;
// Between the ready state and the log-in, as between the window's ready page and the user's
// click. The ticket arms the first state poll at once; a log-in sent the moment the ready state
// arrives always meets that poll and waits for it on the one work thread. The floor's log-in
// request waits as long after its ticket request.
constexpr auto kClickDelay = 250ms;

// Now on the wall clock in seconds, as the simulator stamps its records.
double wallSeconds() {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// One log-in request cut where the simulator saw it: from its start to its arrival at the
// portal, the portal's own work, and from the portal's answer to its end.
struct Phases {
    Samples toPortal, atPortal, back;

    // start and end on the wall clock; rec is the simulator's record of the request.
    void Add(double start, const cJSON* rec, double end) {
        const cJSON* made = cJSON_GetObjectItemCaseSensitive(rec, "answered");
        const double arrived = E2eWorld::Time(rec);
        if (!cJSON_IsNumber(made) || arrived <= 0)
            return;
        toPortal.Add((arrived - start) * 1000);
        atPortal.Add((made->valuedouble - arrived) * 1000);
        back.Add((end - made->valuedouble) * 1000);
    }
};

struct LoginFigures {
    Samples checkEnv;            // "CheckEnv" to pre-connected
    Samples login;               // "PortalConnect" to connected
    Samples floorLogin;          // the log-in request alone, with libcurl
    Samples floorTicket;         // the ticket request alone, with libcurl
    Phases loginPhases;          // the service's log-in
    Phases floorPhases;          // the floor's log-in request
    std::string lastAuthAnswer;  // a coded answer body, for the module row
    std::string authDoc;         // a request document, for the module row
};

// One coded portal request replayed with libcurl from inside the namespace.
class FloorClient {
public:
    FloorClient(E2eWorld& world, CPortalParser& parser) : m_world(world), m_parser(parser) {}

    // Sends doc as the service sent rec (its headers, checksum recomputed); ms is the transfer
    // alone. False with a reason in error when the portal did not answer with Error-Code 0.
    bool Send(const cJSON* rec, const std::string& doc, HttpResult& answer, double& ms,
              std::string& error) {
        const std::string coded = m_parser.EncodePostRequestData(doc.c_str()).c_str();
        if (coded.empty()) {
            error = "the module did not code the document";
            return false;
        }
        std::vector<std::string> headers = Headers(rec, coded);
        const std::string body = coded + std::string(1, '\0');
        const std::string url = m_world.SimUrl(E2eWorld::Field(rec, "path"));
        NetnsScope inside(m_world.ns().name());
        if (!inside.entered()) {
            error = "cannot enter the namespace";
            return false;
        }
        m_start = wallSeconds();
        const Clock::time_point start = Clock::now();
        answer = Http(url, &body, headers);
        ms = millisSince(start);
        m_end = wallSeconds();
        if (answer.rc != CURLE_OK || answer.status != 200 || answer.Header("Error-Code") != "0") {
            error = url + " answered " + std::to_string(answer.status) + " with Error-Code \"" +
                    answer.Header("Error-Code") + "\"";
            return false;
        }
        return true;
    }
    // Wall-clock start and end of the last transfer.
    double LastStart() const { return m_start; }
    double LastEnd() const { return m_end; }

private:
    static std::vector<std::string> Headers(const cJSON* rec, const std::string& coded) {
        std::vector<std::string> headers;
        const cJSON* sent = cJSON_GetObjectItemCaseSensitive(rec, "headers");
        const cJSON* h = nullptr;
        cJSON_ArrayForEach(h, sent) {
            const std::string name = h->string;
            if (name == "Host" || name == "Content-Length" || name == "VXR-Checksum" ||
                !cJSON_IsString(h))
                continue;
            headers.push_back(name + ": " + h->valuestring);
        }
        headers.push_back("VXR-Checksum: " + CMD5::HexDigest(coded.c_str(), coded.size()));
        return headers;
    }

    E2eWorld& m_world;
    CPortalParser& m_parser;
    double m_start = 0;
    double m_end = 0;
};

std::string replaceTicket(std::string doc, const std::string& from, const std::string& to) {
    const std::string old = "<ticket>" + from + "</ticket>";
    const size_t at = doc.find(old);
    if (at != std::string::npos)
        doc.replace(at, old.size(), "<ticket>" + to + "</ticket>");
    return doc;
}

class LoginRounds {
public:
    LoginRounds(E2eWorld& world, WindowClient& window, CPortalParser& parser)
        : m_world(world), m_window(window), m_parser(parser), m_floor(world, parser) {}

    bool Start(std::string& error) {
        if (!m_world.StartService() || !m_window.Connect(m_world.Install()) ||
            !m_window.Send("ClientStart") || !m_window.WaitFor("ClientStartComplete", 10s)) {
            error = "the service did not start or answer the window";
            return false;
        }
        return true;
    }

    // "CheckEnv", log-in and logout by the service, then the floor requests.
    bool Round(LoginFigures& f, std::string& error) {
        Clock::time_point start = Clock::now();
        if (!m_window.Send("CheckEnv") || !m_window.WaitState(31, 20s))
            return Fail(error, "no pre-connected state after \"CheckEnv\"");
        f.checkEnv.Add(millisSince(start));
        const size_t auths = m_world.Count("auth");
        std::this_thread::sleep_for(kClickDelay);
        if (!LogIn(f))
            return Fail(error, "no connected state after \"PortalConnect\"");
        if (m_world.Count("auth") != auths + 1)
            return Fail(error, "the log-in did not send exactly one request");
        if (!m_window.Send("PortalDisConnect", "<src>2</src>") || !m_window.WaitState(12, 15s))
            return Fail(error, "no logout state after \"PortalDisConnect\"");
        return Floor(f, error);
    }

    // Logs in and stays logged in.
    bool LogIn(LoginFigures& f) {
        const std::string login = std::string("<user>") + E2eWorld::kUser + "</user><password>" +
                                  E2eWorld::kPassword + "</password>";
        const double sent = wallSeconds();
        const Clock::time_point start = Clock::now();
        if (!m_window.Send("PortalConnect", login) || !m_window.WaitState(2, 20s))
            return false;
        f.login.Add(millisSince(start));
        const double connected = wallSeconds();
        const auto auths = m_world.Requests("auth");
        if (!auths.empty())
            f.loginPhases.Add(sent, auths.back(), connected);
        return true;
    }

private:
    static bool Fail(std::string& error, const std::string& why) {
        error = why;
        return false;
    }

    // Ticket and log-in with the service's documents, then a logout of that log-in.
    bool Floor(LoginFigures& f, std::string& error) {
        const auto tickets = m_world.Requests("ticket");
        const auto auths = m_world.Requests("auth");
        const auto terms = m_world.Requests("term");
        if (tickets.empty() || auths.empty() || terms.empty())
            return Fail(error, "the simulator logged no ticket, log-in or logout");
        const std::string oldTicket = E2eWorld::Field(auths.back(), "fields", "ticket");
        HttpResult answer;
        double ms = 0;
        if (!m_floor.Send(tickets.back(), E2eWorld::Field(tickets.back(), "body"), answer, ms,
                          error))
            return false;
        f.floorTicket.Add(ms);
        CAutoString ticket("");
        int expire = 0;
        if (m_parser.ParserTickResponse(answer.body.c_str(), ticket, expire) != 0 ||
            ticket.IsEmpty())
            return Fail(error, "the floor's ticket answer did not decode");
        f.authDoc = replaceTicket(E2eWorld::Field(auths.back(), "body"), oldTicket, ticket.c_str());
        // The same pause as before the service's log-in: both requests meet a machine that has
        // been idle as long (caches, clock and sleep states), so the comparison is of the work.
        std::this_thread::sleep_for(kClickDelay);
        if (!m_floor.Send(auths.back(), f.authDoc, answer, ms, error))
            return false;
        f.floorLogin.Add(ms);
        f.floorPhases.Add(m_floor.LastStart(), m_world.Requests("auth").back(), m_floor.LastEnd());
        f.lastAuthAnswer = answer.body;
        const std::string term =
            replaceTicket(E2eWorld::Field(terms.back(), "body"), oldTicket, ticket.c_str());
        return m_floor.Send(terms.back(), term, answer, ms, error);
    }

    E2eWorld& m_world;
    WindowClient& m_window;
    CPortalParser& m_parser;
    FloorClient m_floor;
};

// ---- Module and pipe --------------------------------------------------------------------------

// Coding the log-in document and decoding the log-in answer, each through the module helper.
bool codedRequests(CPortalParser& parser, const LoginFigures& f, Samples& code, Samples& decode) {
    for (int i = 0; i < kCodedRuns; ++i) {
        Clock::time_point start = Clock::now();
        const CAutoString coded = parser.EncodePostRequestData(f.authDoc.c_str());
        code.Add(millisSince(start));
        start = Clock::now();
        const CAutoString plain = parser.DecodePostResponseData(f.lastAuthAnswer.c_str());
        decode.Add(millisSince(start));
        if (coded.IsEmpty() || coded == CZsmHelper::kCodeFallback || plain.IsEmpty())
            return false;
    }
    return true;
}

// The service side of the FIFOs answers every message at once.
class Answerer : public IPipeCallback {
public:
    explicit Answerer(CPipeService& pipe) : m_pipe(pipe) {}
    void DoWorkOnPipe(CAutoString) override {
        m_pipe.WritePipe(
            "<M><OpS>NetModule</OpS><OpT>Portal</OpT><OpC>NetStateMessageResp</OpC>"
            "<P><newState>3</newState><errorCode>0</errorCode></P></M>");
    }

private:
    CPipeService& m_pipe;
};

// The window side counts answers.
class Inbox : public IPipeCallback {
public:
    void DoWorkOnPipe(CAutoString) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        ++m_count;
        m_cond.notify_one();
    }
    bool WaitFor(long count) {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_cond.wait_for(lock, 5s, [&] { return m_count >= count; });
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_cond;
    long m_count = 0;
};

Samples pipeRoundTrips() {
    CPipeService::IgnoreBrokenPipeSignal();
    TempDir dir;
    CPipeService server(dir.path()), client(dir.path());
    Answerer answerer(server);
    Inbox inbox;
    server.CreateNamedPipeInServer("serverpipe", &answerer);
    client.CreateNamedPipeInServer("clientpipe", &inbox);
    std::thread serverOpen([&] { server.OpenNamePipeServer("clientpipe"); });
    const bool open = client.OpenNamePipeClient("serverpipe") == 0;
    serverOpen.join();
    std::thread serverLoop([&] { server.LoopMsg(); });
    std::thread clientLoop([&] { client.LoopMsg(); });
    Samples s;
    for (long sent = 1; open && sent <= kPipeRuns; ++sent) {
        const Clock::time_point start = Clock::now();
        if (!client.WritePipe(
                "<M><OpS>client</OpS><OpT>Portal</OpT><OpC>CheckEnv</OpC><P></P></M>") ||
            !inbox.WaitFor(sent)) {
            s = Samples();
            break;
        }
        s.Add(millisSince(start));
    }
    server.StopLoop();
    client.StopLoop();
    serverLoop.join();
    clientLoop.join();
    return s;
}

// ---- Idle processes ---------------------------------------------------------------------------

struct IdleFigures {
    double cpuPercent = -1;
    long rssKiB = -1;
    long anonKiB = -1;  // resident memory that is the process's own (heap, stacks, data)
    long pssKiB = -1;   // resident memory with shared pages divided among their users
    long threads = -1;
    double timerWakeups = -1;  // per second: the table timer's and the work loop's threads
    double otherWakeups = -1;  // per second: every other thread
};

// The threads that do the timers' work: the table timer fires the entries, the work loop runs
// them (and looks at its queue every 500 ms while it is empty).
bool isTimerThread(const std::string& name) {
    return name == "timer\n" || name == "portal-work\n";
}

// Wake-ups (voluntary context switches) of a process's threads so far, those of the timer
// threads apart; false when the process is gone.
bool wakeupsSoFar(pid_t pid, long long& timers, long long& others) {
    std::error_code ec;
    timers = others = 0;
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    for (const auto& task : std::filesystem::directory_iterator(tasks, ec)) {
        const long tid = std::atol(task.path().filename().c_str());
        const long n = wakeupsOf(pid, tid);
        if (n < 0)
            continue;  // ended meanwhile
        (isTimerThread(readFile(task.path().string() + "/comm")) ? timers : others) += n;
    }
    return !ec;
}

// CPU time of all threads of a process in nanoseconds (clock ticks are 10 ms, too coarse for
// an idle process); -1 when unreadable.
long long runNanos(pid_t pid) {
    std::error_code ec;
    long long total = 0;
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    for (const auto& task : std::filesystem::directory_iterator(tasks, ec))
        total += std::atoll(readFile(task.path().string() + "/schedstat").c_str());
    return ec ? -1 : total;
}

IdleFigures memoryOf(pid_t pid) {
    IdleFigures f;
    f.rssKiB = statusField(pid, "VmRSS");
    f.anonKiB = statusField(pid, "RssAnon");
    const std::string rollup = readFile("/proc/" + std::to_string(pid) + "/smaps_rollup");
    const size_t pss = rollup.find("\nPss:");
    if (pss != std::string::npos)
        f.pssKiB = std::atol(rollup.c_str() + pss + 5);
    f.threads = statusField(pid, "Threads");
    return f;
}

// CPU share over the given seconds and memory at their end, of several processes at once.
std::vector<IdleFigures> sampleIdle(const std::vector<pid_t>& pids, int seconds) {
    std::vector<long long> before, timers(pids.size()), others(pids.size());
    std::vector<bool> counted;
    for (size_t i = 0; i < pids.size(); ++i) {
        before.push_back(runNanos(pids[i]));
        counted.push_back(wakeupsSoFar(pids[i], timers[i], others[i]));
    }
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    std::vector<IdleFigures> figures;
    for (size_t i = 0; i < pids.size(); ++i) {
        IdleFigures f = memoryOf(pids[i]);
        const long long after = runNanos(pids[i]);
        if (before[i] >= 0 && after >= 0)
            f.cpuPercent = 100.0 * static_cast<double>(after - before[i]) / 1e9 / seconds;
        long long timersAfter = 0, othersAfter = 0;
        if (counted[i] && wakeupsSoFar(pids[i], timersAfter, othersAfter)) {
            f.timerWakeups = static_cast<double>(timersAfter - timers[i]) / seconds;
            f.otherWakeups = static_cast<double>(othersAfter - others[i]) / seconds;
        }
        figures.push_back(f);
    }
    return figures;
}

// The first child of parent running the program name, or -1.
pid_t childNamed(pid_t parent, const std::string& name) {
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator("/proc", ec)) {
        const std::string stat = readFile(entry.path().string() + "/stat");
        const size_t open = stat.find('('), close = stat.rfind(')');
        if (open == std::string::npos || close == std::string::npos || close + 4 > stat.size())
            continue;
        std::istringstream rest(stat.substr(close + 2));
        char state = 0;
        long ppid = -1;
        rest >> state >> ppid;
        if (ppid == parent && stat.substr(open + 1, close - open - 1) == name)
            return static_cast<pid_t>(std::atol(entry.path().filename().c_str()));
    }
    return -1;
}

// Resident memory of a process by mapping (library, heap, stacks, anonymous), largest first.
std::string residentByMapping(pid_t pid) {
    std::istringstream in(readFile("/proc/" + std::to_string(pid) + "/smaps"));
    std::map<std::string, long> kib;
    std::string current;
    for (std::string line; std::getline(in, line);) {
        std::istringstream words(line);
        std::string first;
        words >> first;
        if (first == "Rss:") {
            long n = 0;
            words >> n;
            kib[current] += n;
        } else if (first.find('-') != std::string::npos && first.back() != ':') {
            std::string perms, offset, dev, inode, path;
            words >> perms >> offset >> dev >> inode >> path;
            current = path.empty() ? "[anonymous]" : path.substr(path.rfind('/') + 1);
        }
    }
    std::vector<std::pair<long, std::string>> order;
    for (const auto& m : kib)
        order.emplace_back(m.second, m.first);
    std::sort(order.rbegin(), order.rend());
    std::string text;
    for (size_t i = 0; i < order.size() && i < 8 && order[i].first > 0; ++i)
        text += (i ? ", " : "") + order[i].second + " " + std::to_string(order[i].first) + " KiB";
    return text;
}

std::string percentText(double percent) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3f %% of a core", percent);
    return text;
}

std::string mibText(long kib) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f MiB", static_cast<double>(kib) / 1024);
    return text;
}

std::string perSecondText(double rate) {
    if (rate < 0)
        return "";
    char text[32];
    std::snprintf(text, sizeof text, "%.2f per s", rate);
    return text;
}

std::string verdict(bool met) {
    return met ? "met" : "MISSED";
}

}  // namespace

namespace {

// The client, when the installation has one and Xvfb is there: started inside the namespace on a
// display of its own, attached to the logged-in service, and sampled once it has settled.
bool clientIdle(E2eWorld& world, IdleFigures& f, std::string& note) {
    if (access(world.InstallFile("client").c_str(), X_OK) != 0) {
        note = "skipped: the installation holds no client program yet";
        return false;
    }
    if (access("/usr/bin/Xvfb", X_OK) != 0) {
        note = "skipped: Xvfb is not installed";
        return false;
    }
    const int number = 90 + static_cast<int>(getpid() % 400);
    const std::string display = ":" + std::to_string(number);
    NsProcess xvfb, client;
    const std::string socket = "/tmp/.X11-unix/X" + std::to_string(number);
    if (!xvfb.Start(world.ns().name(), world.dir().path(), {"Xvfb", display, "-nolisten", "tcp"},
                    world.dir().file("xvfb.out"), false) ||
        !waitFor([&] { return access(socket.c_str(), F_OK) == 0; }, 10s)) {
        note = "skipped: Xvfb did not start";
        return false;
    }
    if (!client.Start(world.ns().name(), world.Install(), {"env", "DISPLAY=" + display, "./client"},
                      world.dir().file("client.out"), false)) {
        note = "skipped: the client did not start";
        return false;
    }
    std::this_thread::sleep_for(5s);  // start-up and the first exchange with the service
    if (!client.running()) {
        note = "skipped: the client ended within 5 s";
        return false;
    }
    f = sampleIdle({client.pid()}, kIdleSeconds).front();
    client.Stop(5s);
    xvfb.Stop(5s);
    return true;
}

// The service started from a terminal and logged in, with no window at all: started afresh once
// the window's service has logged out and ended, and sampled once it has settled.
bool consoleIdle(E2eWorld& world, IdleFigures& f, std::string& note) {
    static const char kPrompt[] = "If you want go to offline, Please enter [y]:";
    if (world.StopService() != 0) {
        note = "skipped: the window's service did not end with status 0";
        return false;
    }
    if (!world.StartService({E2eWorld::kUser, E2eWorld::kPassword}, "console") ||
        !waitFor([&] { return world.ServiceOutput().find(kPrompt) != std::string::npos; }, 30s)) {
        note = "skipped: the console log-in did not reach its prompt";
        return false;
    }
    std::this_thread::sleep_for(3s);  // the first keep-alive is behind
    std::fprintf(stderr, "== idle console service for %d s\n", kIdleSeconds);
    f = sampleIdle({world.Service().pid()}, kIdleSeconds).front();
    return true;
}

// The module works from a copy of the container in a private working folder, as the service
// works from its installation folder.
bool initModule(CPortalParser& parser, const TempDir& dir) {
    if (!writeFile(dir.file("zuvUzarod.zxm"), readFile(ORVANE_ZXM_CONTAINER)) ||
        chdir(dir.path().c_str()) != 0)
        return false;
    CZsmHelper::GetInst()->SetHostPath(ORVANE_ZSM_HOST);
    return parser.Init() == 1;
}

// One phase of the log-in next to the same phase of the floor's request.
void phaseRow(Table& t, const std::string& what, const Samples& login, const Samples& floor) {
    t.Row("log-in, phase " + what, formatMs(login.Median()), formatMs(login.P95()), "",
          "floor " + formatMs(floor.Median()) + ", p95 " + formatMs(floor.P95()));
}

void loginRows(Table& t, const LoginFigures& f) {
    const std::string n = std::to_string(f.login.size());
    t.Row("log-in, \"PortalConnect\" to connected (" + n + " log-ins)", formatMs(f.login.Median()),
          formatMs(f.login.P95()), "", "one request to the portal");
    t.Row("the same log-in request with libcurl alone (floor)", formatMs(f.floorLogin.Median()),
          formatMs(f.floorLogin.P95()), "", "same coded document and headers");
    const double ratio = f.login.Median() / f.floorLogin.Median();
    t.Row("log-in / floor", formatRatio(ratio), formatRatio(f.login.P95() / f.floorLogin.P95()),
          "2.0 x or less", verdict(ratio <= 2.0));
    phaseRow(t, "1: \"PortalConnect\" (floor: the request's start) to its arrival at the portal",
             f.loginPhases.toPortal, f.floorPhases.toPortal);
    phaseRow(t, "2: the portal's work on it", f.loginPhases.atPortal, f.floorPhases.atPortal);
    phaseRow(t, "3: the portal's answer to connected (floor: to the transfer's end)",
             f.loginPhases.back, f.floorPhases.back);
    t.Row("ticket request with libcurl alone", formatMs(f.floorTicket.Median()),
          formatMs(f.floorTicket.P95()), "", "");
    t.Row("\"CheckEnv\" to pre-connected", formatMs(f.checkEnv.Median()),
          formatMs(f.checkEnv.P95()), formatMs(kPausesMs) + " of pauses",
          formatMs(f.checkEnv.Median() - kPausesMs) + " over the pauses");
}

// Wake-ups of a service: the timers' own, and the others against the goal of at most one per
// keep-alive interval.
void wakeupRows(Table& t, const std::string& who, const IdleFigures& f) {
    const double keep = std::atof(kKeepInterval);
    t.Row(who + ": wake-ups, idle, outside the timer and work threads",
          perSecondText(f.otherWakeups), "", "1 per " + std::string(kKeepInterval) + " s or fewer",
          verdict(f.otherWakeups >= 0 && f.otherWakeups <= 1 / keep));
    t.Row(who + ": wake-ups, idle, of the timer and work threads", perSecondText(f.timerWakeups),
          "", "", "the keep-alive, and the work loop's look at its queue every 500 ms");
}

void idleRows(Table& t, const std::string& who, const IdleFigures& f, bool goals) {
    const std::string over = " (" + std::to_string(kIdleSeconds) + " s)";
    t.Row(who + ": CPU" + over, percentText(f.cpuPercent), "", goals ? "under 0.1 %" : "",
          goals ? verdict(f.cpuPercent >= 0 && f.cpuPercent < 0.1) : "");
    if (goals)
        wakeupRows(t, who, f);
    else
        t.Row(who + ": wake-ups, idle",
              perSecondText(f.otherWakeups < 0 ? -1 : f.timerWakeups + f.otherWakeups), "", "", "");
    t.Row(who + ": resident memory", mibText(f.rssKiB), "", goals ? "under 8 MiB" : "",
          goals ? verdict(f.rssKiB >= 0 && f.rssKiB < 8 * 1024) : "");
    t.Row(who + ": of it its own (heap, stacks, data)", mibText(f.anonKiB), "", "",
          "the rest is shared library code");
    t.Row(who + ": proportional share (PSS)", mibText(f.pssKiB), "", "", "");
    t.Row(who + ": threads", std::to_string(f.threads), "", "", "");
}

// The rounds against the real service; false with a reason when they could not be made.
bool runService(E2eWorld& world, CPortalParser& parser, LoginFigures& f,
                std::vector<IdleFigures>& idle, std::string& error) {
    auto window = std::make_unique<WindowClient>();
    LoginRounds rounds(world, *window, parser);
    if (!rounds.Start(error))
        return false;
    for (int i = 1; i <= kRounds; ++i) {
        std::fprintf(stderr, "== log-in round %d of %d\n", i, kRounds);
        if (!rounds.Round(f, error)) {
            const std::string log = world.LogText();
            std::fprintf(stderr, "--- window transcript\n%s--- service log (end)\n%s\n",
                         window->Transcript().c_str(),
                         log.substr(log.size() > 6000 ? log.size() - 6000 : 0).c_str());
            return false;
        }
    }
    LoginFigures once;
    if (!window->Send("CheckEnv") || !window->WaitState(31, 20s) || !rounds.LogIn(once)) {
        error = "the final log-in failed";
        return false;
    }
    std::this_thread::sleep_for(3s);  // the first keep-alive and the DNS rewrite are behind
    std::fprintf(stderr, "== idle service for %d s\n", kIdleSeconds);
    const pid_t service = world.Service().pid();
    idle = sampleIdle({service, childNamed(service, "OrvaneZsm")}, kIdleSeconds);
    std::fprintf(stderr, "== service memory by mapping: %s\n",
                 residentByMapping(world.Service().pid()).c_str());
    return true;
}

}  // namespace

int main() {
    curl_global_init(CURL_GLOBAL_DEFAULT);
    if (const char* rows = std::getenv("ORVANE_BENCH_ROWS"); rows && std::string(rows) == "link") {
        // Only the link flaps, for a quick look at the recovery.
        Table table;
        linkFlapRows(table);
        table.Print();
        curl_global_cleanup();
        return 0;
    }
    TempDir moduleDir;
    CPortalParser parser;
    if (!initModule(parser, moduleDir)) {
        std::fprintf(stderr, "the algorithm module does not load from %s\n", ORVANE_ZXM_CONTAINER);
        return 1;
    }
    Table table;
    LoginFigures login;
    std::vector<IdleFigures> service;
    IdleFigures client, console;
    std::string error, clientNote, consoleNote;
    bool clientDone = false, consoleDone = false;
    {
        E2eWorld world(E2eOptions::Sim(
            {"--keep-interval", kKeepInterval, "--stats-interval", kStatsInterval}));
        if (!world.skipReason().empty() || !world.failure().empty())
            error = world.skipReason() + world.failure();
        else if (runService(world, parser, login, service, error)) {
            clientDone = clientIdle(world, client, clientNote);
            consoleDone = consoleIdle(world, console, consoleNote);
        }
        if (!error.empty())
            std::fprintf(stderr, "log-in rounds not made: %s\n%s", error.c_str(),
                         world.ServiceOutput().c_str());
    }
    if (error.empty())
        loginRows(table, login);
    else
        table.Row("log-in rows", "", "", "", "skipped: " + error);
    if (login.authDoc.empty())
        login.authDoc =
            "<request><user-name>demo</user-name><password>demo-pw</password></request>";
    if (login.lastAuthAnswer.empty())
        login.lastAuthAnswer = parser.EncodePostRequestData(login.authDoc.c_str()).c_str();
    Samples code, decode;
    const bool coded = codedRequests(parser, login, code, decode);
    table.Row("one coded request: the log-in document through the module helper",
              formatMs(code.Median()), formatMs(code.P95()), "under 1 ms",
              coded ? verdict(code.Median() < 1.0) : "the module failed");
    table.Row("its answer decoded through the module helper", formatMs(decode.Median()),
              formatMs(decode.P95()), "", coded ? "" : "the module failed");
    const Samples pipe = pipeRoundTrips();
    table.Row("pipe round trip (one message each way)", formatMs(pipe.Median()),
              formatMs(pipe.P95()), "", pipe.empty() ? "the pipes failed" : "");
    if (error.empty()) {
        idleRows(table,
                 std::string("service idle, logged in, keep-alive every ") + kKeepInterval + " s",
                 service[0], true);
        idleRows(table, "its module helper", service[1], false);
    }
    if (clientDone)
        idleRows(table, "client idle, attached", client, false);
    else
        table.Row("client idle", "", "", "", clientNote.empty() ? "skipped" : clientNote);
    const std::string alone =
        std::string("console service idle, logged in, no window, keep-alive every ") +
        kKeepInterval + " s";
    if (consoleDone) {
        table.Row(alone + ": CPU (" + std::to_string(kIdleSeconds) + " s)",
                  percentText(console.cpuPercent), "", "under 0.1 %",
                  verdict(console.cpuPercent >= 0 && console.cpuPercent < 0.1));
        wakeupRows(table, alone, console);
    } else if (error.empty()) {
        table.Row("console service idle", "", "", "",
                  consoleNote.empty() ? "skipped" : consoleNote);
    }
    linkFlapRows(table);
    table.Print();
    curl_global_cleanup();
    return 0;
}
