// Cost of the algorithm module per portal request, through the confined helper process.
// BM_CodedRequest is one coded request body (one Code exchange with a running helper; goal under
// 1 ms). "Warm" round trips (Code plus DeCode) reuse the helper as requests do while the container
// is unchanged; "Cold" ends it first, so every iteration pays the container read, unpacking, the
// helper's start (fork, exec, loading from a memory file, the filter) and the exchanges.
#include <benchmark/benchmark.h>

#include <string>

#include "CZsmHelper.h"
#include "TestSupport.h"

namespace {

class ZsmBench {
public:
    ZsmBench() {
        orvane_test::writeFile(dir.file("zuvUzarod.zxm"),
                               orvane_test::readFile(ORVANE_ZXM_CONTAINER));
        zsm->SetHostPath(ORVANE_ZSM_HOST);
        zsm->Init(dir.file("zuvUzarod.zxm").c_str(), nullptr, 0);
    }
    orvane_test::TempDir dir;
    CZsmHelper* zsm = CZsmHelper::GetInst();
};

const std::string kDoc =
    "<request><user-name>20230001</user-name><password>secret</password><client-id>3f1c</client-id>"
    "<ipv4>10.0.0.2</ipv4><mac>00:11:22:33:44:55</mac><ostag>linux64</ostag><local-time>"
    "2024-01-01 08:00:00</local-time></request>";

void roundTrip(benchmark::State& state, bool cold) {
    ZsmBench b;
    for (auto _ : state) {
        if (cold)
            b.zsm->Release();
        char* coded = b.zsm->Code(kDoc.c_str());
        if (cold)
            b.zsm->Release();
        char* plain = b.zsm->DeCode(coded);
        if (plain == nullptr || kDoc != plain)
            state.SkipWithError("round trip failed");
        CZsmHelper::FreeResult(coded);
        CZsmHelper::FreeResult(plain);
    }
}

void algoId(benchmark::State& state, bool cold) {
    ZsmBench b;
    for (auto _ : state) {
        if (cold)
            b.zsm->Release();
        benchmark::DoNotOptimize(b.zsm->GetAlgoId());
    }
}

void BM_CodedRequest(benchmark::State& state) {
    ZsmBench b;
    for (auto _ : state) {
        char* coded = b.zsm->Code(kDoc.c_str());
        if (std::string(coded) == CZsmHelper::kCodeFallback)
            state.SkipWithError("no module");
        CZsmHelper::FreeResult(coded);
    }
}

void BM_CodeDecodeWarm(benchmark::State& state) {
    roundTrip(state, false);
}
void BM_CodeDecodeCold(benchmark::State& state) {
    roundTrip(state, true);
}
void BM_GetAlgoIdWarm(benchmark::State& state) {
    algoId(state, false);
}
void BM_GetAlgoIdCold(benchmark::State& state) {
    algoId(state, true);
}

}  // namespace

BENCHMARK(BM_CodedRequest)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_CodeDecodeWarm)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_CodeDecodeCold)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_GetAlgoIdWarm)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_GetAlgoIdCold)->Unit(benchmark::kMicrosecond);
BENCHMARK_MAIN();
