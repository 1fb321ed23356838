// The epoll engine holding many connections on a few threads, and a slow
// event handler that holds up only its own connection. Peers on 127.0.0.1.
#include "server/kbzWebSocket_Server.h"
#include "tests/server/kbzRawWSClient.h"
#include "tests/support/kbzTestProcess.h"

#include <atomic>
#include <chrono>
#include <fstream>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <thread>
#include <vector>

using namespace kbz;
using namespace kbz::test;
using namespace std::chrono_literals;

namespace
{

int ThreadCount()
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
    {
        if (line.rfind("Threads:", 0) == 0)
        {
            return std::stoi(line.substr(8));
        }
    }
    return -1;
}

// Reads from one peer until it holds n messages or the deadline passes.
std::vector<std::string> Await(RawWSClient& c, std::size_t n,
                               std::chrono::steady_clock::time_point deadline)
{
    std::vector<std::string> got;
    while (got.size() < n && std::chrono::steady_clock::now() < deadline)
    {
        for (auto& m : c.TakeMessages())
        {
            got.push_back(std::move(m));
        }
        if (got.size() < n && !c.ReadSome(100))
        {
            break;
        }
    }
    for (auto& m : c.TakeMessages())
    {
        got.push_back(std::move(m));
    }
    return got;
}

struct EpollServer
{
    std::atomic<int> disconnects{0};
    std::atomic<int> otherCodes{0};
    TkbzWSHTTPServer server; // last: its threads report into the members above

    EpollServer(int loops, int workers)
    {
        server.Bindings().push_back({"127.0.0.1", 0, TwsIPVersion::ipV4});
        server.SetPort(0);
        server.IOHandlerOptions().IOHandlerType = TwsIOHandler::iohEPOLL;
        server.IOHandlerOptions().EPOLL.EPOLLThreads = loops;
        server.IOHandlerOptions().EPOLL.WorkOpThreads = workers;
        server.OnDisconnect = [this](const TkbzWSConnectionPtr&, int code) {
            if (code != 1000)
            {
                ++otherCodes;
            }
            ++disconnects;
        };
    }
};

} // namespace

TEST(EpollServer, TwoThousandConnectionsOpenEchoAndCloseOnAFewThreads)
{
    constexpr int kPeers = 2000;
    constexpr int kLoops = 2;
    constexpr int kWorkers = 2;
    const int before = ThreadCount();
    EpollServer es(kLoops, kWorkers);
    es.server.OnMessage = [](const TkbzWSConnectionPtr& c, const std::string& text) {
        c->WriteData("echo:" + text);
    };
    // Activation raises the descriptor limit to what the system allows.
    es.server.SetActive(true);
    const int port = es.server.GetBoundPort();
    const auto deadline = std::chrono::steady_clock::now() + 120s;

    std::vector<std::unique_ptr<RawWSClient>> peers;
    for (int i = 0; i < kPeers; ++i)
    {
        peers.push_back(std::make_unique<RawWSClient>());
        ASSERT_TRUE(peers.back()->Connect(port)) << i;
    }
    for (int i = 0; i < kPeers; ++i)
    {
        peers[static_cast<std::size_t>(i)]->SendText("m" + std::to_string(i));
    }
    for (int i = 0; i < kPeers; ++i)
    {
        const auto got = Await(*peers[static_cast<std::size_t>(i)], 1, deadline);
        ASSERT_EQ(got, std::vector<std::string>{"echo:m" + std::to_string(i)}) << i;
    }
    EXPECT_EQ(es.server.Count(), static_cast<std::size_t>(kPeers));
    // Loops, workers, the accepting thread and the server's own few.
    EXPECT_LE(ThreadCount(), before + kLoops + kWorkers + 4);

    for (auto& p : peers)
    {
        p->SendClose();
    }
    for (std::size_t i = 0; i < peers.size(); ++i)
    {
        while (!peers[i]->CloseSeen() && !peers[i]->Closed() &&
               std::chrono::steady_clock::now() < deadline)
        {
            peers[i]->TakeMessages();
            if (!peers[i]->CloseSeen())
            {
                peers[i]->ReadSome(100);
            }
        }
        ASSERT_TRUE(peers[i]->CloseSeen()) << i;
    }
    ASSERT_TRUE(WaitUntil([&] { return es.disconnects.load() == kPeers; }, 60s));
    EXPECT_EQ(es.otherCodes.load(), 0);
    EXPECT_TRUE(WaitUntil([&] { return es.server.Count() == 0; }, 10s));
    es.server.SetActive(false);
}

TEST(EpollServer, ASlowHandlerHoldsUpOnlyItsOwnConnection)
{
    EpollServer es(1, 2);
    std::atomic<bool> release{false};
    es.server.OnMessage = [&](const TkbzWSConnectionPtr& c, const std::string& text) {
        if (text == "slow")
        {
            // Blocks its worker, not the loop, until the test lets it go.
            WaitUntil([&] { return release.load(); }, 30s);
        }
        c->WriteData("echo:" + text);
    };
    es.server.SetActive(true);
    const int port = es.server.GetBoundPort();
    RawWSClient slow, quick;
    ASSERT_TRUE(slow.Connect(port));
    ASSERT_TRUE(quick.Connect(port));
    slow.SendText("slow");
    slow.SendText("after");
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    for (int i = 0; i < 20; ++i)
    {
        quick.SendText("q" + std::to_string(i));
        ASSERT_EQ(Await(quick, 1, deadline),
                  std::vector<std::string>{"echo:q" + std::to_string(i)});
    }
    release = true;
    // The slow connection's own events keep their order.
    EXPECT_EQ(Await(slow, 2, deadline), (std::vector<std::string>{"echo:slow", "echo:after"}));
    es.server.SetActive(false);
}
