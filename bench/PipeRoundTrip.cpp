// Round trip of one message over the two FIFOs: the client side writes, the service side's
// callback answers at once, and the client side's callback receives the answer.
#include <benchmark/benchmark.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "CPipeService.h"
#include "TestSupport.h"

namespace {

// The service side: answers every message it gets.
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

// The client side: counts the answers and lets the benchmark wait for the next one.
class Waiter : public IPipeCallback {
public:
    void DoWorkOnPipe(CAutoString) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        ++m_answers;
        m_cond.notify_one();
    }
    bool WaitFor(long count) {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_cond.wait_for(lock, std::chrono::seconds(5), [&] { return m_answers >= count; });
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_cond;
    long m_answers = 0;
};

void BM_PipeRoundTrip(benchmark::State& state) {
    CPipeService::IgnoreBrokenPipeSignal();
    orvane_test::TempDir dir;
    CPipeService server(dir.path()), client(dir.path());
    Answerer answerer(server);
    Waiter waiter;
    server.CreateNamedPipeInServer("serverpipe", &answerer);
    client.CreateNamedPipeInServer("clientpipe", &waiter);
    std::thread serverOpen([&] { server.OpenNamePipeServer("clientpipe"); });
    if (client.OpenNamePipeClient("serverpipe") != 0)
        state.SkipWithError("client open failed");
    serverOpen.join();
    std::thread serverLoop([&] { server.LoopMsg(); });
    std::thread clientLoop([&] { client.LoopMsg(); });

    long sent = 0;
    for (auto _ : state) {
        client.WritePipe("<M><OpS>client</OpS><OpT>Portal</OpT><OpC>CheckEnv</OpC><P></P></M>");
        if (!waiter.WaitFor(++sent)) {
            state.SkipWithError("no answer within 5 s");
            break;
        }
    }
    state.SetItemsProcessed(sent);
    server.StopLoop();
    client.StopLoop();
    serverLoop.join();
    clientLoop.join();
}
BENCHMARK(BM_PipeRoundTrip)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
