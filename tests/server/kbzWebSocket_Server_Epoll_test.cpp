// The epoll engine holding many connections on a few threads, and a slow
// event handler that holds up only its own connection. Peers on 127.0.0.1.
#include "server/kbzWebSocket_Server.h"
#include "tests/server/kbzRawWSClient.h"
#include "tests/support/kbzTestProcess.h"

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <iterator>
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

int DescriptorCount()
{
    return static_cast<int>(std::distance(std::filesystem::directory_iterator("/proc/self/fd"),
                                          std::filesystem::directory_iterator{}));
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
    const int descriptorsBefore = DescriptorCount();
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
    // A peer's socket and the server's: a connection on the loops holds no other descriptor.
    EXPECT_LE(DescriptorCount(), descriptorsBefore + 2 * kPeers + 16);

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

namespace
{

// A first peer that the server holds in a state that once waited inside its
// step: the bytes that bring it there, and what it goes on sending to keep it
// there.
struct HeldPeerCase
{
    const char* Name;
    bool Upgrade;
    std::string Enter;
    std::string Keep;
    std::string Finish; // sent when the other peer has been served
    std::string Answer; // how the held peer's answer starts
};

} // namespace

TEST(EpollServer, AConnectionInAWaitingStateHoldsUpNoOtherOnItsLoop)
{
    const std::vector<HeldPeerCase> cases = {
        // An unmasked frame: closed with 1002, then lingering for the peer's end.
        {"lingering after a protocol error", true, std::string("\x81\x02hi", 4), "x", "", "\x88"},
        // A body over MaxRequestBody: 413, then lingering while the body still comes.
        {"lingering after a refused body", false,
         "POST / HTTP/1.1\r\nHost: a\r\nContent-Length: 100000000\r\n\r\n", std::string(512, 'b'),
         "", "HTTP/1.1 413"},
        // A stream's post whose body has not come yet (no such stream: 404 once it is whole).
        {"a post waiting for its body", false,
         "POST /kbz/xhr/none HTTP/1.1\r\nHost: a\r\nContent-Length: 1000\r\n\r\n", "",
         std::string(1000, 'p'), "HTTP/1.1 404"},
    };
    for (const auto& k : cases)
    {
        SCOPED_TRACE(k.Name);
        EpollServer es(1, 0);
        es.server.OnMessage = [](const TkbzWSConnectionPtr& c, const std::string& text) {
            c->WriteData("echo:" + text);
        };
        es.server.SetActive(true);
        const int port = es.server.GetBoundPort();
        RawWSClient held, other;
        ASSERT_TRUE(held.Connect(port, k.Upgrade));
        ASSERT_TRUE(other.Connect(port));
        ASSERT_TRUE(WaitUntil([&] { return es.server.Count() == 2; }, 10s));
        held.SendRaw(k.Enter);
        std::atomic<bool> stop{false};
        std::thread keeper([&] {
            while (!stop.load() && !k.Keep.empty())
            {
                held.SendRaw(k.Keep);
                std::this_thread::sleep_for(10ms);
            }
        });
        // Served while the held peer is still there.
        other.SendText("beside");
        const auto got = Await(other, 1, std::chrono::steady_clock::now() + 10s);
        const std::size_t count = es.server.Count();
        stop = true;
        keeper.join();
        EXPECT_EQ(got, std::vector<std::string>{"echo:beside"});
        EXPECT_EQ(count, 2u);
        held.SendRaw(k.Finish);
        while (held.Buffer().size() < k.Answer.size() && held.ReadSome(1000))
        {}
        EXPECT_EQ(held.Buffer().substr(0, k.Answer.size()), k.Answer);
        es.server.SetActive(false);
    }
}

TEST(EpollServer, AFileLargerThanAnyWriteQueueGoesOutAsThePeerReads)
{
    // Sparse: no disk time. Over the most a connection may queue, so it can
    // only go out whole when it is written as the socket drains.
    constexpr std::uint64_t kSize = 80 * 1024 * 1024;
    const auto root =
        std::filesystem::temp_directory_path() / ("kbz_epoll_file_" + std::to_string(::getpid()));
    std::filesystem::create_directories(root);
    std::ofstream(root / "big.bin").close();
    std::filesystem::resize_file(root / "big.bin", kSize);
    EpollServer es(1, 0);
    es.server.DocumentRoot = root.string();
    es.server.OnMessage = [](const TkbzWSConnectionPtr& c, const std::string& text) {
        c->WriteData("echo:" + text);
    };
    es.server.SetActive(true);
    const int port = es.server.GetBoundPort();
    RawWSClient reader, other;
    ASSERT_TRUE(reader.Connect(port, false));
    ASSERT_TRUE(other.Connect(port));
    reader.SendRaw("GET /big.bin HTTP/1.1\r\nHost: a\r\n\r\n");
    // The reader takes nothing yet; its loop serves the other peer meanwhile.
    other.SendText("beside");
    EXPECT_EQ(Await(other, 1, std::chrono::steady_clock::now() + 10s),
              std::vector<std::string>{"echo:beside"});
    std::string head;
    std::uint64_t body = 0;
    while (body < kSize && reader.ReadSome(10000))
    {
        std::string& b = reader.Buffer();
        if (head.empty())
        {
            const std::size_t end = b.find("\r\n\r\n");
            if (end == std::string::npos)
            {
                continue;
            }
            head = b.substr(0, end + 4);
            b.erase(0, end + 4);
        }
        body += b.size();
        b.clear();
    }
    EXPECT_EQ(head.rfind("HTTP/1.1 200", 0), 0u) << head;
    EXPECT_NE(head.find("Content-Length: " + std::to_string(kSize)), std::string::npos);
    EXPECT_EQ(body, kSize);
    es.server.SetActive(false);
    std::filesystem::remove_all(root);
}
