// Message round trips through our client against echo servers: python3-websockets, node ws
// and our own kbzEchoServer. One message written, its echo awaited, again. The servers are
// started by bench/bench_client.py, which passes their ports in KBZ_BENCH_PYTHON_WS_PORT,
// KBZ_BENCH_NODE_WS_PORT and KBZ_BENCH_KBZ_WS_PORT, runs the same round trips with the python
// and node clients and prints the ratios. Without a port the benchmark reports an error and
// is skipped.
//
// Also one 4 MiB message that a node ws server (bench/server_peers/fragment_server.js, its port
// in KBZ_BENCH_FRAGMENT_PORT) sends in 64-byte or 1 KiB fragments, received whole and echoed
// back; the time runs until the server has the whole echo. bench/bench_engines.py runs the
// node client on the same server beside it.
#include "client/kbzWebSocket_Client.h"

#include <benchmark/benchmark.h>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <string>

namespace
{

using namespace kbz;

class EchoWaiter
{
public:
    void Received()
    {
        {
            std::lock_guard guard(FLock);
            ++FReceived;
        }
        FChanged.notify_one();
    }
    // Waits for the echo number n (1-based); false after 10 s.
    bool WaitFor(std::uint64_t n)
    {
        std::unique_lock lock(FLock);
        return FChanged.wait_for(lock, std::chrono::seconds(10), [&] { return FReceived >= n; });
    }

private:
    std::mutex FLock;
    std::condition_variable FChanged;
    std::uint64_t FReceived = 0;
};

void RoundTrips(benchmark::State& state, const char* portVariable)
{
    const char* port = std::getenv(portVariable);
    if (!port || !*port)
    {
        state.SkipWithError((std::string(portVariable) + " is not set").c_str());
        return;
    }
    EchoWaiter echoes;
    TkbzWSClient client;
    client.OnMessage = [&](const TkbzWSConnectionPtr&, const std::string&) { echoes.Received(); };
    client.SetURL(std::string("ws://127.0.0.1:") + port + "/");
    if (!client.Connect(10000))
    {
        state.SkipWithError("could not connect");
        return;
    }
    const std::string message(static_cast<std::size_t>(state.range(0)), 'x');
    std::uint64_t sent = 0;
    for (auto _ : state)
    {
        client.WriteData(message);
        if (!echoes.WaitFor(++sent))
        {
            state.SkipWithError("no echo");
            break;
        }
    }
    state.counters["round_trips_per_s"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0) * 2);
    client.Disconnect(5000);
}

void BM_ClientRoundTrip_Python(benchmark::State& state)
{
    RoundTrips(state, "KBZ_BENCH_PYTHON_WS_PORT");
}
void BM_ClientRoundTrip_Node(benchmark::State& state)
{
    RoundTrips(state, "KBZ_BENCH_NODE_WS_PORT");
}
void BM_ClientRoundTrip_Kbz(benchmark::State& state)
{
    RoundTrips(state, "KBZ_BENCH_KBZ_WS_PORT");
}

void BM_ClientFragments(benchmark::State& state)
{
    const char* port = std::getenv("KBZ_BENCH_FRAGMENT_PORT");
    if (!port || !*port)
    {
        state.SkipWithError("KBZ_BENCH_FRAGMENT_PORT is not set");
        return;
    }
    EchoWaiter answers;
    TkbzWSClient client;
    client.OnBinary = [](const TkbzWSConnectionPtr& c, TkbzMemoryStream& data) {
        c->WriteData(data);
    };
    client.OnMessage = [&](const TkbzWSConnectionPtr&, const std::string&) { answers.Received(); };
    client.SetURL(std::string("ws://127.0.0.1:") + port + "/");
    if (!client.Connect(10000))
    {
        state.SkipWithError("could not connect");
        return;
    }
    const std::string request = std::to_string(state.range(0));
    std::uint64_t sent = 0;
    for (auto _ : state)
    {
        client.WriteData(request);
        if (!answers.WaitFor(++sent))
        {
            state.SkipWithError("no answer");
            break;
        }
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
    client.Disconnect(5000);
}

BENCHMARK(BM_ClientFragments)->Arg(64)->Arg(1024)->UseRealTime()->MinTime(1.0);

BENCHMARK(BM_ClientRoundTrip_Python)->Arg(16)->Arg(1024)->Arg(65536)->UseRealTime();
BENCHMARK(BM_ClientRoundTrip_Node)->Arg(16)->Arg(1024)->Arg(65536)->UseRealTime();
BENCHMARK(BM_ClientRoundTrip_Kbz)->Arg(16)->Arg(1024)->Arg(65536)->UseRealTime();

} // namespace
