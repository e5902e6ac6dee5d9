// The "link back -> online again" row of the benchmark table: the real service, logged in through
// a window on its pipes, with the portal behind the card; the link is cut and restored ten times,
// and each sample is the time from restoring the link to the window being told it is connected
// again (the portal kept the login, so one keep-alive decides).
#pragma once

#include <string>
#include <thread>

#include "BenchStats.h"
#include "E2eWorld.h"

namespace orvane_bench {

constexpr int kLinkFlaps = 10;

// Prints the window's transcript and the end of the service's log; false.
inline bool Diagnose(orvane_test::E2eWorld& world, orvane_test::WindowClient& window) {
    const std::string log = world.LogText();
    std::fprintf(stderr, "--- window transcript\n%s--- service log (end)\n%s\n",
                 window.Transcript().c_str(),
                 log.substr(log.size() > 6000 ? log.size() - 6000 : 0).c_str());
    return false;
}

// Samples in ms; false with a reason in error when the rounds could not be made.
inline bool linkFlapRounds(Samples& back, std::string& error) {
    using namespace orvane_test;
    using namespace std::chrono_literals;
    E2eWorld world(E2eOptions::BehindCard({"--keep-interval", "30"}));
    if (!world.skipReason().empty() || !world.failure().empty()) {
        error = world.skipReason() + world.failure();
        return false;
    }
    WindowClient window;
    if (!world.StartService() || !window.Connect(world.Install()) || !window.Send("ClientStart") ||
        !window.WaitFor("ClientStartComplete", 10s) || !window.Send("CheckEnv") ||
        !window.WaitState(31, 20s) ||
        !window.Send("PortalConnect", std::string("<user>") + E2eWorld::kUser +
                                          "</user><password>" + E2eWorld::kPassword +
                                          "</password>") ||
        !window.WaitState(2, 20s)) {
        error = "the log-in failed";
        return false;
    }
    for (int i = 1; i <= kLinkFlaps; ++i) {
        std::fprintf(stderr, "== link flap %d of %d\n", i, kLinkFlaps);
        if (!world.CutLink() || !window.WaitState(33, 10s)) {
            error = "the service was not told the link went down";
            return Diagnose(world, window);
        }
        std::this_thread::sleep_for(1s);
        const Clock::time_point restored = Clock::now();
        if (!world.RestoreLink() || !window.WaitState(2, 20s)) {
            error = "not online again within 20 s of the link's return";
            return Diagnose(world, window);
        }
        back.Add(millisSince(restored));
    }
    world.StopService();
    return true;
}

inline void linkFlapRows(Table& table) {
    Samples back;
    std::string error;
    if (linkFlapRounds(back, error))
        table.Row("link back -> online again (" + std::to_string(kLinkFlaps) + " flaps)",
                  formatMs(back.Median()), formatMs(back.P95()), "under 2 s",
                  back.P95() < 2000 ? "met" : "MISSED");
    else
        table.Row("link back -> online again", "", "", "", "skipped: " + error);
}

}  // namespace orvane_bench
