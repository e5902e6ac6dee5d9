// Round trip of one message: a client-side transport writes it into the FIFO, the service's
// router hands it to a business, the business answers through the router, and the client's
// message thread receives the answer.
#include "CBusiness.h"
#include "CPipeService.h"
#include "CServer.h"
#include "TestSupport.h"

#include <benchmark/benchmark.h>

#include <condition_variable>
#include <mutex>
#include <thread>

namespace {

class EchoBusiness : public CBusiness {
public:
    void InitService(IServer* server) override {
        CBusiness::InitService(server);
        server->RegisterBusiness("Portal", this);
    }
    void InitOpcodeFun() override { AddOpcode("Ping", &EchoBusiness::OnPing); }
    void OnPing(const char*, CXMLOpt& message) {
        PostMsg("NetModule", "Portal", "Pong", MakeParam("n", message.GetValue("P.n")));
    }
};

class Inbox : public IPipeCallback {
public:
    void DoWorkOnPipe(CAutoString) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        ++m_count;
        m_cond.notify_one();
    }
    // Waits until `count` answers have arrived; false after the timeout.
    bool WaitFor(long count) {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_cond.wait_for(lock, std::chrono::seconds(5), [&] { return m_count >= count; });
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_cond;
    long m_count = 0;
};

void BM_RouterRoundTrip(benchmark::State& state) {
    orvane_test::TempDir dir;
    EchoBusiness echo;
    CServer server(dir.path());
    echo.InitService(&server);
    server.CreateServer("serverpipe");
    std::thread service([&] {
        if (server.ConnectToServer("clientpipe") == 0)
            server.DoWork();
    });

    Inbox inbox;
    CPipeService client(dir.path());
    client.CreateNamedPipeInServer("clientpipe", &inbox);
    const bool connected = client.OpenNamePipeClient("serverpipe") == 0;
    std::thread reader([&] { client.LoopMsg(); });

    const char* ping = "<M><OpS>client</OpS><OpT>Portal</OpT><OpC>Ping</OpC><P><n>42</n></P></M>";
    long sent = 0;
    for (auto _ : state) {
        if (!connected || !client.WritePipe(ping) || !inbox.WaitFor(++sent)) {
            state.SkipWithError("no answer through the router");
            break;
        }
    }
    state.SetItemsProcessed(sent);

    client.StopLoop();
    server.StopWork();
    reader.join();
    service.join();
}
BENCHMARK(BM_RouterRoundTrip)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
