// Idle cost of the real service: OrvaneSvr in a temporary installation with a connected client
// and nothing to do, measured from its own CPU times in /proc over ten seconds. It must stay
// under 0.5% of one core.
#include "ServiceProcess.h"
#include "TestSupport.h"

#include <benchmark/benchmark.h>
#include <unistd.h>

namespace {

constexpr double kLimitPercent = 0.5;
constexpr int kSeconds = 10;

void BM_ServiceIdle(benchmark::State& state) {
    for (auto _ : state) {
        orvane_test::TempDir dir;
        orvane_test::ServiceProcess service;
        orvane_test::PipeClient client;
        if (!orvane_test::makeInstallation(ORVANE_INSTALL_TREE, dir.path()) ||
            !service.Start(dir.path()) || !client.Connect(dir.path(), std::chrono::seconds(10)) ||
            !client.Send(
                "<M><OpS>client</OpS><OpT>Portal</OpT><OpC>ClientStart</OpC><P></P></M>")) {
            state.SkipWithError("service did not start or accept the client");
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(500));  // let start-up settle
        const long before = orvane_test::processTicks(service.pid());
        std::this_thread::sleep_for(std::chrono::seconds(kSeconds));
        const long after = orvane_test::processTicks(service.pid());
        if (before < 0 || after < 0) {
            state.SkipWithError("cannot read the service's CPU times");
            return;
        }
        const double percent = 100.0 * static_cast<double>(after - before) /
                               static_cast<double>(sysconf(_SC_CLK_TCK)) / kSeconds;
        state.counters["cpu_percent"] = percent;
        state.counters["ticks"] = static_cast<double>(after - before);
        kill(service.pid(), SIGTERM);
        service.Wait(std::chrono::seconds(15));
        if (percent >= kLimitPercent)
            state.SkipWithError("idle service uses 0.5% of a core or more");
    }
}
BENCHMARK(BM_ServiceIdle)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
