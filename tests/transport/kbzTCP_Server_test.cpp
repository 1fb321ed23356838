#include "tests/support/kbzTestProcess.h"
#include "tests/transport/kbzLoopback.h"
#include "tests/transport/kbzTestEngine.h"
#include "transport/kbzTCP_Server.h"

#include <algorithm>
#include <fstream>
#include <future>
#include <gtest/gtest.h>
#include <mutex>
#include <sys/resource.h>
#include <thread>

namespace kbz
{
namespace
{

using namespace std::chrono_literals;
using test::LoopbackAddress;
using test::RecvText;
using test::SendText;

// Counts what the listener reported, safely across its threads.
struct Events
{
    std::mutex lock;
    int connects = 0;
    int disconnects = 0;
    std::vector<std::string> exceptions;

    void Attach(TkbzIdTCPServer& server)
    {
        server.OnConnect = [this](TkbzIdContext&) { Bump(connects); };
        server.OnDisconnect = [this](TkbzIdContext&) { Bump(disconnects); };
        server.OnException = [this](TkbzIdContext&, const std::exception& e) {
            std::lock_guard g(lock);
            exceptions.push_back(e.what());
        };
    }
    void Bump(int& n)
    {
        std::lock_guard g(lock);
        ++n;
    }
    int Connects()
    {
        std::lock_guard g(lock);
        return connects;
    }
    int Disconnects()
    {
        std::lock_guard g(lock);
        return disconnects;
    }
    std::vector<std::string> Exceptions()
    {
        std::lock_guard g(lock);
        return exceptions;
    }
};

// Works through what is buffered, as an execute step does: the listener waits.
void Echo(TkbzIdContext& c)
{
    TkbzIdTCPConnection& conn = c.Connection();
    std::vector<std::uint8_t> bytes;
    conn.ReadAvailable(bytes);
    conn.Write(bytes);
}

std::unique_ptr<TkbzSocketIOHandler> ConnectTo(TwsIPVersion v, std::uint16_t port)
{
    return std::make_unique<TkbzSocketIOHandler>(kbzConnectTCP(LoopbackAddress(v), port, v, 5000));
}

// The peer's view of a connection the server ended: the end of the stream.
bool SeesClose(TkbzSocketIOHandler& h)
{
    std::uint8_t b;
    return h.Readable(5000) && h.Recv(&b, 1) == 0;
}

class ListenerTest : public ::testing::TestWithParam<TwsIPVersion>
{};

TEST_P(ListenerTest, BindsPortZeroAcceptsAndEchoes)
{
    const TwsIPVersion v = GetParam();
    Events ev; // outlives the server, whose threads report into it
    TkbzIdTCPServer server;
    server.EngineOptions = test::TestEngineOptions();
    ev.Attach(server);
    server.OnExecute = Echo;
    std::mutex seenLock;
    TkbzSocketBinding seen;
    server.OnConnect = [&](TkbzIdContext& c) {
        std::lock_guard g(seenLock);
        seen = c.Connection().Binding();
        EXPECT_EQ(c.Binding().Port, server.GetBoundPort());
        EXPECT_EQ(c.Binding().IPVersion, v);
    };
    server.Bindings = {{LoopbackAddress(v), 0, v}};
    server.SetActive(true);
    ASSERT_TRUE(server.GetActive());
    const std::uint16_t port = server.GetBoundPort();
    ASSERT_NE(port, 0);

    auto a = ConnectTo(v, port);
    auto b = ConnectTo(v, port);
    SendText(*a, "hello from a");
    SendText(*b, "and b");
    EXPECT_EQ(RecvText(*a, 12), "hello from a");
    EXPECT_EQ(RecvText(*b, 5), "and b");
    {
        std::lock_guard g(seenLock);
        EXPECT_EQ(seen.LocalIP, LoopbackAddress(v));
        EXPECT_EQ(seen.LocalPort, port);
    }
    EXPECT_EQ(server.Count(), 2u);

    // A client that leaves ends its connection thread and context.
    a->Shutdown();
    ASSERT_TRUE(test::WaitUntil([&] { return server.Count() == 1; }, 5000ms));
    server.SetActive(false);
    EXPECT_FALSE(server.GetActive());
    EXPECT_EQ(server.Count(), 0u);
    EXPECT_TRUE(SeesClose(*b));
    EXPECT_TRUE(ev.Exceptions().empty());
}

INSTANTIATE_TEST_SUITE_P(Loopback, ListenerTest,
                         ::testing::Values(TwsIPVersion::ipV4, TwsIPVersion::ipV6),
                         [](const auto& p) {
                             return p.param == TwsIPVersion::ipV6 ? "IPv6" : "IPv4";
                         });

TEST(Listener, WithoutBindingsListensOnIPv4AndIPv6OnOnePort)
{
    TkbzIdTCPServer server;
    server.EngineOptions = test::TestEngineOptions();
    server.OnExecute = Echo;
    server.SetActive(true);
    const auto bound = server.GetBoundBindings();
    ASSERT_EQ(bound.size(), 2u);
    EXPECT_EQ(bound[0].IPVersion, TwsIPVersion::ipV4);
    EXPECT_EQ(bound[1].IPVersion, TwsIPVersion::ipV6);
    EXPECT_EQ(bound[0].Port, bound[1].Port);
    for (const TwsIPVersion v : {TwsIPVersion::ipV4, TwsIPVersion::ipV6})
    {
        auto c = ConnectTo(v, bound[0].Port);
        SendText(*c, "x");
        EXPECT_EQ(RecvText(*c, 1), "x");
    }
    server.SetActive(false);

    // Active again, on a fresh port.
    server.SetActive(true);
    EXPECT_TRUE(server.GetActive());
    auto c = ConnectTo(TwsIPVersion::ipV4, server.GetBoundPort());
    SendText(*c, "again");
    EXPECT_EQ(RecvText(*c, 5), "again");
}

TEST(Listener, StopWhileClientsAreConnectedEndsEveryThread)
{
    if (test::TestEngine() == TkbzServerEngine::seEpoll)
    {
        GTEST_SKIP() << "handlers that block for good would hold every event loop";
    }
    Events ev; // outlives the server, whose threads report into it
    TkbzIdTCPServer server;
    server.EngineOptions = test::TestEngineOptions();
    ev.Attach(server);
    std::atomic<int> blocked{0};
    server.OnExecute = [&](TkbzIdContext& c) {
        ++blocked;
        std::vector<std::uint8_t> dst;
        c.Connection().ReadBytes(dst, 1000); // no time limit: only the stop ends it
    };
    // One connection sits in a TLS-like handshake that waits for bytes that never come.
    server.TLSHandlerFactory = [](std::unique_ptr<TkbzSocketIOHandler> plain,
                                  const TkbzListenBinding&) -> std::unique_ptr<TkbzIOHandler> {
        std::uint8_t hello;
        if (plain->Recv(&hello, 1) == 0)
        {
            throw EIdTLSError("handshake cut short");
        }
        return plain;
    };
    server.Bindings = {{"127.0.0.1", 0, TwsIPVersion::ipV4}};
    server.SetActive(true);
    std::vector<std::unique_ptr<TkbzSocketIOHandler>> clients;
    for (int i = 0; i < 3; ++i)
    {
        clients.push_back(ConnectTo(TwsIPVersion::ipV4, server.GetBoundPort()));
        SendText(*clients.back(), "H"); // passes the handshake, then nothing more
    }
    auto silent = ConnectTo(TwsIPVersion::ipV4, server.GetBoundPort());
    ASSERT_TRUE(
        test::WaitUntil([&] { return blocked.load() == 3 && server.Count() == 4; }, 5000ms));

    auto stop = std::async(std::launch::async, [&] { server.SetActive(false); });
    ASSERT_EQ(stop.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(server.Count(), 0u);
    EXPECT_EQ(ev.Connects(), 3);
    EXPECT_EQ(ev.Disconnects(), 4); // also for the one stopped in its handshake
    EXPECT_TRUE(ev.Exceptions().empty());
    for (auto& c : clients)
    {
        EXPECT_TRUE(SeesClose(*c));
    }
    EXPECT_TRUE(SeesClose(*silent));
}

TEST(Listener, CallbackFailuresAndLimits)
{
    Events ev; // outlives the server, whose threads report into it
    TkbzIdTCPServer server;
    server.EngineOptions = test::TestEngineOptions();
    ev.Attach(server);
    server.OnConnect = [&](TkbzIdContext& c) {
        ev.Bump(ev.connects);
        c.SetData(std::make_shared<std::string>("slot"));
        EXPECT_EQ(*c.DataAs<std::string>(), "slot");
        std::vector<std::uint8_t> first;
        c.Connection().ReadTimeout = 5000;
        c.Connection().ReadBytes(first, 1);
        if (first[0] == 'T')
        {
            throw EIdException("boom");
        }
        if (first[0] == 'S')
        {
            c.Server().SetActive(false); // refused from the listener's own thread
        }
    };
    server.OnExecute = Echo;
    server.MaxConnections = 2;
    server.Bindings = {{"127.0.0.1", 0, TwsIPVersion::ipV4}};
    server.SetActive(true);
    const auto port = server.GetBoundPort();

    // A handler that raises: reported, the connection ends, OnDisconnect still comes.
    auto t = ConnectTo(TwsIPVersion::ipV4, port);
    SendText(*t, "T");
    EXPECT_TRUE(SeesClose(*t));
    ASSERT_TRUE(test::WaitUntil([&] { return ev.Disconnects() == 1; }, 5000ms));
    auto s = ConnectTo(TwsIPVersion::ipV4, port);
    SendText(*s, "S");
    EXPECT_TRUE(SeesClose(*s));
    ASSERT_TRUE(test::WaitUntil([&] { return ev.Disconnects() == 2; }, 5000ms));
    EXPECT_EQ(ev.Exceptions(),
              (std::vector<std::string>{
                  "boom", "The listener cannot be stopped from one of its own threads."}));
    EXPECT_TRUE(server.GetActive());

    // A client that closes while its handler reads is no error.
    auto q = ConnectTo(TwsIPVersion::ipV4, port);
    q->Shutdown();
    ASSERT_TRUE(test::WaitUntil([&] { return ev.Disconnects() == 3; }, 5000ms));
    EXPECT_EQ(ev.Exceptions().size(), 2u);

    // Over MaxConnections a connection is closed at once, without events.
    ASSERT_TRUE(test::WaitUntil([&] { return server.Count() == 0; }, 5000ms));
    auto c1 = ConnectTo(TwsIPVersion::ipV4, port);
    auto c2 = ConnectTo(TwsIPVersion::ipV4, port);
    SendText(*c1, "x1"); // OnConnect takes the first byte
    SendText(*c2, "x2");
    EXPECT_EQ(RecvText(*c1, 1), "1");
    EXPECT_EQ(RecvText(*c2, 1), "2");
    const int connects = ev.Connects();
    auto c3 = ConnectTo(TwsIPVersion::ipV4, port);
    EXPECT_TRUE(SeesClose(*c3));
    EXPECT_EQ(ev.Connects(), connects);
}

TEST(Listener, BindingAnAddressInUseRaisesAndBindsNothing)
{
    test::LoopbackListener taken;
    TkbzIdTCPServer server;
    server.EngineOptions = test::TestEngineOptions();
    server.Bindings = {{"127.0.0.1", 0, TwsIPVersion::ipV4},
                       {"127.0.0.1", taken.Port(), TwsIPVersion::ipV4}};
    EXPECT_THROW(server.SetActive(true), EIdCouldNotBindSocket);
    EXPECT_FALSE(server.GetActive());
    EXPECT_TRUE(server.GetBoundBindings().empty());
}

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

// A pooled thread runs a step and goes back to the pool: idle connections
// hold none, so a thousand of them leave the pool at its size.
TEST(ListenerPool, IdleConnectionsHoldNoThread)
{
    constexpr int kPoolSize = 4;
    const int before = ThreadCount();
    TkbzIdTCPServer server;
    server.EngineOptions.Engine = TkbzServerEngine::sePool;
    server.EngineOptions.PoolSize = kPoolSize;
    server.OnExecute = Echo;
    server.Bindings = {{"127.0.0.1", 0, TwsIPVersion::ipV4}};
    server.SetActive(true); // raises the descriptor limit to the hard one
    rlimit limit{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &limit), 0);
    // Three descriptors each: the client's socket and eventfd, the server's socket.
    const auto peers = std::min<std::size_t>(1000, (limit.rlim_cur - 256) / 3);
    std::vector<std::unique_ptr<TkbzSocketIOHandler>> clients;
    for (std::size_t i = 0; i < peers; ++i)
    {
        clients.push_back(ConnectTo(TwsIPVersion::ipV4, server.GetBoundPort()));
        SendText(*clients.back(), "x");
    }
    for (auto& c : clients)
    {
        ASSERT_EQ(RecvText(*c, 1), "x");
    }
    EXPECT_EQ(server.Count(), peers);
    // The pool, its loop and the accepting thread (more threads, made while
    // every one was busy, end as they come free).
    EXPECT_TRUE(test::WaitUntil([&] { return ThreadCount() <= before + kPoolSize + 2; }, 5000ms))
        << ThreadCount() - before;
    SendText(*clients.front(), "y");
    EXPECT_EQ(RecvText(*clients.front(), 1), "y");
}

// Over MaxThreads a step waits for a pooled thread to come free.
TEST(ListenerPool, ACappedPoolRunsOneStepAtATime)
{
    TkbzIdTCPServer server;
    server.EngineOptions.Engine = TkbzServerEngine::sePool;
    server.EngineOptions.PoolSize = 1;
    server.EngineOptions.MaxThreads = 1;
    std::mutex lock;
    std::vector<std::thread::id> threads;
    std::atomic<bool> blocked{false};
    std::atomic<bool> release{false};
    server.OnExecute = [&](TkbzIdContext& c) {
        {
            std::lock_guard g(lock);
            threads.push_back(std::this_thread::get_id());
        }
        if (c.Connection().InputBufferAsString(1) == "w")
        {
            blocked = true;
            test::WaitUntil([&] { return release.load(); }, 10000ms);
        }
        Echo(c);
    };
    server.Bindings = {{"127.0.0.1", 0, TwsIPVersion::ipV4}};
    server.SetActive(true);
    const auto port = server.GetBoundPort();

    // An open connection that sends nothing holds no thread.
    auto a = ConnectTo(TwsIPVersion::ipV4, port);
    SendText(*a, "a");
    EXPECT_EQ(RecvText(*a, 1), "a");
    auto b = ConnectTo(TwsIPVersion::ipV4, port);
    SendText(*b, "b");
    EXPECT_EQ(RecvText(*b, 1), "b");
    // While a's step holds the one thread, b's waits.
    SendText(*a, "w");
    ASSERT_TRUE(test::WaitUntil([&] { return blocked.load(); }, 5000ms));
    SendText(*b, "c");
    EXPECT_FALSE(b->Readable(200));
    release = true;
    EXPECT_EQ(RecvText(*a, 1), "w");
    EXPECT_EQ(RecvText(*b, 1), "c");
    server.SetActive(false);
    std::lock_guard g(lock);
    ASSERT_FALSE(threads.empty());
    EXPECT_EQ(std::count(threads.begin(), threads.end(), threads.front()),
              static_cast<std::ptrdiff_t>(threads.size()));
}

} // namespace
} // namespace kbz
