#include "CRestartPause.h"

#include "CLog.h"
#include "ISvrInfoCenter.h"

#include <signal.h>
#include <systemd/sd-bus.h>
#include <systemd/sd-login.h>
#include <time.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

long long BootSeconds() {
    struct timespec now = {};
    clock_gettime(CLOCK_BOOTTIME, &now);
    return static_cast<long long>(now.tv_sec);
}

struct FreeText {
    void operator()(char* text) const { std::free(text); }
};
struct CloseBus {
    void operator()(sd_bus* bus) const { sd_bus_flush_close_unref(bus); }
};

// The service unit this process runs in, or empty.
std::string OwnUnit() {
    if (std::getenv("INVOCATION_ID") == nullptr)
        return "";
    char* found = nullptr;
    if (sd_pid_get_unit(0, &found) < 0 || found == nullptr)
        return "";
    const std::unique_ptr<char, FreeText> unit(found);
    const std::string name(unit.get());
    const std::string suffix = ".service";
    if (name.size() <= suffix.size() ||
        name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0)
        return "";
    return name;
}

}  // namespace

unsigned CRestartPause::PauseSeconds(unsigned failedRuns) {
    if (failedRuns == 0)
        return 0;
    unsigned pause = kUnitPause;
    for (unsigned n = 1; n < failedRuns && pause < kLongest; ++n)
        pause *= 2;
    return pause < kLongest ? pause : kLongest;
}

unsigned CRestartPause::ExtraSeconds(unsigned failedRuns) {
    const unsigned pause = PauseSeconds(failedRuns);
    return pause > kUnitPause ? pause - kUnitPause : 0;
}

CRestartPause::Record CRestartPause::Next(const Record& last, unsigned restarts, long long now) {
    Record next;
    next.restarts = restarts;
    if (restarts > last.restarts) {
        // The last run ended when systemd's own pause began.
        const long long ran = now - kUnitPause - last.startedAt;
        const bool longRun = last.startedAt <= 0 || ran < 0 || ran >= kLongRun;
        // Counted no further than the pause can grow, so days of failures cannot overflow it.
        next.failedRuns = longRun ? 1 : std::min(last.failedRuns, 63u) + 1;
    }
    next.startedAt = now + ExtraSeconds(next.failedRuns);
    return next;
}

std::string CRestartPause::Format(const Record& record) {
    return std::to_string(record.restarts) + " " + std::to_string(record.failedRuns) + " " +
           std::to_string(record.startedAt);
}

bool CRestartPause::Parse(const std::string& text, Record& record) {
    unsigned restarts = 0, failedRuns = 0;
    long long startedAt = 0;
    int used = 0;
    if (std::sscanf(text.c_str(), "%u %u %lld%n", &restarts, &failedRuns, &startedAt, &used) != 3 ||
        text.find_first_not_of(" \n", static_cast<size_t>(used)) != std::string::npos)
        return false;
    record.restarts = restarts;
    record.failedRuns = failedRuns;
    record.startedAt = startedAt;
    return true;
}

bool CRestartPause::UnitRestarts(unsigned& restarts) {
    const std::string unit = OwnUnit();
    sd_bus* opened = nullptr;
    if (unit.empty() || sd_bus_open_system(&opened) < 0)
        return false;
    const std::unique_ptr<sd_bus, CloseBus> bus(opened);
    // A bus that hangs must not hold the start up for long.
    sd_bus_set_method_call_timeout(bus.get(), 5 * 1000 * 1000);
    char* encoded = nullptr;
    if (sd_bus_path_encode("/org/freedesktop/systemd1/unit", unit.c_str(), &encoded) < 0)
        return false;
    const std::unique_ptr<char, FreeText> path(encoded);
    sd_bus_error error = SD_BUS_ERROR_NULL;
    uint32_t value = 0;
    const int got = sd_bus_get_property_trivial(bus.get(), "org.freedesktop.systemd1", path.get(),
                                                "org.freedesktop.systemd1.Service", "NRestarts",
                                                &error, 'u', &value);
    sd_bus_error_free(&error);
    if (got < 0)
        return false;
    restarts = value;
    return true;
}

bool CRestartPause::Wait(unsigned seconds) {
    sigset_t stops, before;
    sigemptyset(&stops);
    for (int signo : {SIGTERM, SIGINT, SIGHUP})
        sigaddset(&stops, signo);
    sigprocmask(SIG_BLOCK, &stops, &before);
    struct timespec left = {static_cast<time_t>(seconds), 0};
    int got = -1;
    do {
        // An interruption by another signal goes on waiting for what remains of the pause.
        const long long end = BootSeconds() + left.tv_sec;
        got = sigtimedwait(&stops, nullptr, &left);
        left.tv_sec = static_cast<time_t>(end - BootSeconds());
    } while (got < 0 && errno == EINTR && left.tv_sec > 0);
    sigprocmask(SIG_SETMASK, &before, nullptr);
    return got < 0;
}

bool CRestartPause::Run(ISvrInfoCenter* store) {
    unsigned restarts = 0;
    if (store == nullptr || !UnitRestarts(restarts))
        return true;
    Record last;
    Parse(store->GetLocalValue(kStoreKey).c_str(), last);
    const Record next = Next(last, restarts, BootSeconds());
    store->SetLocalValue(kStoreKey, Format(next).c_str());
    const unsigned extra = ExtraSeconds(next.failedRuns);
    if (extra == 0)
        return true;
    CLog::GetInst()->WriteLog(CLog::INFO,
                              "restart after %u failed runs in a row: waiting %u s more before "
                              "starting",
                              next.failedRuns, extra);
    return Wait(extra);
}
