#include "tests/support/kbzTestProcess.h"
#include "tests/transport/kbzLoopback.h"
#include "transport/kbzTCP_Classes.h"
#include "transport/kbzTCP_Client.h"

#include <condition_variable>
#include <future>
#include <gtest/gtest.h>
#include <mutex>

namespace kbz
{
namespace
{

using namespace std::chrono_literals;
using test::Bytes;
using test::LoopbackListener;
using test::SendText;
using test::Text;

// What a client's read thread delivered, with waits bounded by deadlines.
struct Recorder
{
    std::mutex lock;
    std::condition_variable changed;
    std::vector<std::string> messages;
    std::vector<std::string> exceptions; // class names
    int disconnects = 0;
    bool framingError = false;

    template <class F> void Update(F f)
    {
        {
            std::lock_guard g(lock);
            f();
        }
        changed.notify_all();
    }
    std::vector<std::string> Messages()
    {
        std::lock_guard g(lock);
        return messages;
    }
    std::vector<std::string> Exceptions()
    {
        std::lock_guard g(lock);
        return exceptions;
    }
    int Disconnects()
    {
        std::lock_guard g(lock);
        return disconnects;
    }
    // pred runs under the lock.
    bool WaitUntil(const std::function<bool()>& pred, std::chrono::milliseconds d = 5000ms)
    {
        std::unique_lock g(lock);
        return changed.wait_for(g, d, pred);
    }

    // Wires the client: OnRead frames all buffered bytes with the connection's
    // settings; exceptions and the disconnect notification are recorded.
    void Attach(TkbzIdTCPClient& client, TkbzTCPConnection& framing)
    {
        client.OnRead = [this, &framing](TkbzIdTCPClient& c) {
            std::vector<std::uint8_t> chunk;
            c.ReadAvailable(chunk);
            std::vector<std::vector<std::uint8_t>> out;
            const bool bad =
                framing.FrameTCPData(chunk, out) == TkbzTCPFramerResult::frMessageTooLarge;
            Update([&] {
                framingError = framingError || bad;
                for (auto& m : out)
                {
                    messages.push_back(Text(m));
                }
            });
            if (bad)
            {
                c.Disconnect(false);
            }
        };
        client.OnReadException = [this](TkbzIdTCPClient&, const std::exception& e) {
            Update([&] { exceptions.push_back(kbzExceptionClassName(e)); });
        };
        client.OnDisconnected = [this] { Update([&] { ++disconnects; }); };
    }
};

bool ThreadEnds(TkbzIdTCPClient& client, std::chrono::milliseconds d = 5000ms)
{
    return client.TCPRead().EndState()->Wait(static_cast<int>(d.count()));
}

template <class T> bool Ready(std::future<T>& f, std::chrono::milliseconds d = 5000ms)
{
    return f.wait_for(d) == std::future_status::ready;
}

// A client connected to a peer end that the test drives: over loopback or
// over the in-memory pair.
struct Session
{
    // Declared before the client, so they outlive its read thread.
    Recorder rec;
    TkbzTCPConnection framing;
    std::unique_ptr<LoopbackListener> listener;
    std::unique_ptr<TkbzIOHandler> peer;
    TkbzIdTCPClient client;

    explicit Session(bool overLoopback)
    {
        rec.Attach(client, framing);
        if (overLoopback)
        {
            listener = std::make_unique<LoopbackListener>();
            client.Host = "127.0.0.1";
            client.Port = listener->Port();
            client.UseNagle = false;
            client.Connect();
            TkbzSocket accepted = listener->Accept();
            if (!accepted.Valid())
            {
                throw std::runtime_error("nothing accepted");
            }
            peer = std::make_unique<TkbzSocketIOHandler>(std::move(accepted));
        }
        else
        {
            auto [a, b] = kbzMemoryIOHandlerPair();
            peer = std::move(a);
            client.Connect(std::move(b));
        }
    }
};

class ReadThreadTest : public ::testing::TestWithParam<bool>
{};

TEST_P(ReadThreadTest, DeliversDelimitedMessagesHoweverTheBytesArrive)
{
    const std::string wire = "{\"message\":\"open\"}\r\n{\"message\":\"write\"}\r\nHELP\r\n";
    const std::vector<std::string> expected = {"{\"message\":\"open\"}\r\n",
                                               "{\"message\":\"write\"}\r\n", "HELP\r\n"};
    for (const auto& cut : test::AllCuts(wire))
    {
        SCOPED_TRACE(test::Describe(cut));
        Session s(GetParam());
        s.framing.SetTCPEndOfFrameScanBuffer(TtcpEOFScanBuffer::eofScanAllBytes);
        s.framing.AddTCPEndOfFrame('\r');
        s.framing.AddTCPEndOfFrame('\n');
        for (const auto& piece : cut)
        {
            SendText(*s.peer, piece);
        }
        ASSERT_TRUE(s.rec.WaitUntil([&] { return s.rec.messages.size() >= expected.size(); }));
        EXPECT_EQ(s.rec.Messages(), expected);
        s.client.Disconnect();
        EXPECT_TRUE(s.rec.Exceptions().empty());
    }
}

TEST_P(ReadThreadTest, PeerCloseWithoutDataEndsTheThreadWithOneGracefulClose)
{
    Session s(GetParam());
    s.peer->Shutdown();
    ASSERT_TRUE(ThreadEnds(s.client));
    ASSERT_TRUE(s.rec.WaitUntil([&] { return s.rec.disconnects == 1; }));
    EXPECT_EQ(s.rec.Exceptions(), std::vector<std::string>{"EIdConnClosedGracefully"});
    EXPECT_FALSE(s.client.Connected());
}

TEST_P(ReadThreadTest, BytesBeforeThePeerCloseAreDeliveredFirst)
{
    Session s(GetParam());
    SendText(*s.peer, "last words");
    s.peer->Shutdown();
    ASSERT_TRUE(ThreadEnds(s.client));
    EXPECT_EQ(s.rec.Messages(), std::vector<std::string>{"last words"});
    EXPECT_EQ(s.rec.Exceptions(), std::vector<std::string>{"EIdConnClosedGracefully"});
}

TEST_P(ReadThreadTest, AnIncompleteMessageAtThePeerCloseEndsTheThread)
{
    // The handler waits for 10 bytes and takes nothing until they are there;
    // only 5 come before the close. The thread must not spin on them.
    Session s(GetParam());
    std::atomic<int> calls{0};
    s.client.OnRead = [&](TkbzIdTCPClient& c) {
        ++calls;
        if (c.InputBufferSize() >= 10)
        {
            c.InputBufferClear();
        }
    };
    SendText(*s.peer, "12345");
    ASSERT_TRUE(test::WaitUntil([&] { return calls.load() > 0; }, 5000ms));
    s.peer->Shutdown();
    ASSERT_TRUE(ThreadEnds(s.client));
    EXPECT_EQ(s.rec.Exceptions(), std::vector<std::string>{"EIdConnClosedGracefully"});
}

TEST_P(ReadThreadTest, DisconnectFromAnotherThreadWakesAndJoinsABlockedReader)
{
    Session s(GetParam());
    std::promise<void> entered;
    s.client.OnRead = [&](TkbzIdTCPClient& c) {
        entered.set_value();
        std::vector<std::uint8_t> dst;
        c.ReadBytes(dst, 1000); // without a time limit: only the Disconnect ends it
    };
    SendText(*s.peer, "0123456789");
    ASSERT_EQ(entered.get_future().wait_for(5s), std::future_status::ready);
    auto disconnect = std::async(std::launch::async, [&] { s.client.Disconnect(); });
    ASSERT_TRUE(Ready(disconnect));
    EXPECT_TRUE(s.client.TCPRead().EndState()->Ended()); // joined before Disconnect returned
    EXPECT_TRUE(s.client.InputBufferIsEmpty());
    EXPECT_TRUE(s.rec.Exceptions().empty()); // our own disconnect is not reported as an error
    EXPECT_EQ(s.rec.Disconnects(), 1);
}

TEST_P(ReadThreadTest, DisconnectFromInsideOnReadEndsTheThread)
{
    Session s(GetParam());
    s.client.OnRead = [&](TkbzIdTCPClient& c) { c.Disconnect(); };
    SendText(*s.peer, "x");
    ASSERT_TRUE(ThreadEnds(s.client));
    ASSERT_TRUE(s.rec.WaitUntil([&] { return s.rec.disconnects == 1; }));
    EXPECT_TRUE(s.rec.Exceptions().empty());
    std::uint8_t b;
    EXPECT_TRUE(s.peer->Readable(5000));
    EXPECT_EQ(s.peer->Recv(&b, 1), 0u); // the peer saw the close
}

TEST_P(ReadThreadTest, OverlongUndelimitedDataEndsTheConnection)
{
    Session s(GetParam());
    s.framing.SetTCPEndOfFrameScanBuffer(TtcpEOFScanBuffer::eofScanAllBytes);
    s.framing.AddTCPEndOfFrame('\n');
    s.framing.SetTCPMaxMessageSize(1000);
    SendText(*s.peer, "ok\n");
    SendText(*s.peer, std::string(1500, 'z'));
    ASSERT_TRUE(ThreadEnds(s.client));
    EXPECT_TRUE(s.rec.WaitUntil([&] { return s.rec.framingError; }, 0ms));
    EXPECT_EQ(s.rec.Messages(), std::vector<std::string>{"ok\n"});
    EXPECT_EQ(s.rec.Disconnects(), 1);
}

INSTANTIATE_TEST_SUITE_P(Transports, ReadThreadTest, ::testing::Values(true, false),
                         [](const auto& p) { return p.param ? "Loopback" : "MemoryPair"; });

TEST(TCPClient, ConnectRunsTunnelTLSAndConnectedHooksInOrderBeforeReading)
{
    LoopbackListener listener;
    Recorder rec;
    TkbzTCPConnection framing;
    TkbzIdTCPClient client;
    client.Host = "127.0.0.1";
    client.Port = listener.Port();
    std::vector<std::string> order;
    client.OnConnectThrough = [&](TkbzIdTCPClient& c) {
        order.push_back("through");
        EXPECT_NE(dynamic_cast<TkbzSocketIOHandler*>(c.GetIOHandler()), nullptr);
    };
    client.TLSHandlerFactory = [&](std::unique_ptr<TkbzSocketIOHandler> plain) {
        order.push_back("tls");
        return std::unique_ptr<TkbzIOHandler>(std::move(plain));
    };
    client.OnConnected = [&](TkbzIdTCPClient& c) {
        order.push_back(c.HasReadThread() && c.TCPRead().GetReadSocket() ? "armed" : "connected");
        c.WriteLn("GET / HTTP/1.1");
    };
    rec.Attach(client, framing);
    client.Connect();
    EXPECT_EQ(order, (std::vector<std::string>{"through", "tls", "connected"}));
    TkbzSocketIOHandler peer(listener.Accept());
    EXPECT_EQ(test::RecvText(peer, 16), "GET / HTTP/1.1\r\n");
    SendText(peer, "HTTP/1.1 101");
    ASSERT_TRUE(rec.WaitUntil([&] { return !rec.messages.empty(); }));
    EXPECT_EQ(rec.Messages().front(), "HTTP/1.1 101");
    EXPECT_THROW(client.Connect(), EIdAlreadyConnected);
}

TEST(TCPClient, FailedConnectsRaiseAndLeaveNoThread)
{
    struct Case
    {
        const char* name;
        std::function<void(TkbzIdTCPClient&)> setup;
        const char* exceptionClass;
    };
    LoopbackListener listener;
    const auto closedPort = static_cast<std::uint16_t>(test::FreePort());
    const Case cases[] = {
        {"refused", [&](TkbzIdTCPClient& c) { c.Port = closedPort; }, "EIdSocketError"},
        {"tunnel fails",
         [&](TkbzIdTCPClient& c) {
             c.OnConnectThrough = [](TkbzIdTCPClient&) { throw EIdException("proxy said no"); };
         },
         "EIdException"},
        {"TLS fails",
         [&](TkbzIdTCPClient& c) {
             c.TLSHandlerFactory =
                 [](std::unique_ptr<TkbzSocketIOHandler>) -> std::unique_ptr<TkbzIOHandler> {
                 throw EIdTLSError("handshake failed");
             };
         },
         "EIdTLSError"},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        TkbzIdTCPClient client;
        client.Host = "127.0.0.1";
        client.Port = listener.Port();
        bool connected = false;
        int disconnects = 0;
        client.OnConnected = [&](TkbzIdTCPClient&) { connected = true; };
        client.OnDisconnected = [&] { ++disconnects; };
        c.setup(client);
        try
        {
            client.Connect();
            ADD_FAILURE() << "connect succeeded";
        }
        catch (const std::exception& e)
        {
            EXPECT_EQ(kbzExceptionClassName(e), c.exceptionClass);
        }
        EXPECT_FALSE(connected);
        EXPECT_FALSE(client.HasReadThread());
        EXPECT_FALSE(client.Connected());
        EXPECT_EQ(disconnects, 0); // never connected, so never disconnected
        listener.Accept(0);
    }
}

TEST(TCPClient, CommandModeKeepsOneThreadAcrossConnections)
{
    Recorder rec;
    TkbzTCPConnection framing;
    TkbzIdTCPClient client;
    client.SetTCPMode(TkbzTCPMode::tcpmCommands);
    rec.Attach(client, framing);
    TkbzTCPReadThread* first = nullptr;
    for (int round = 0; round < 2; ++round)
    {
        SCOPED_TRACE(round);
        auto [a, b] = kbzMemoryIOHandlerPair();
        client.Connect(std::move(b));
        if (first == nullptr)
        {
            first = &client.TCPRead();
        }
        EXPECT_EQ(&client.TCPRead(), first);
        EXPECT_TRUE(client.TCPRead().GetReadSocket());
        SendText(*a, "round" + std::to_string(round));
        ASSERT_TRUE(rec.WaitUntil([&] { return rec.messages.size() == std::size_t(round + 1); }));
        client.Disconnect();
        EXPECT_FALSE(client.TCPRead().GetReadSocket());
        EXPECT_FALSE(client.TCPRead().Finished());
    }
    EXPECT_EQ(rec.Messages(), (std::vector<std::string>{"round0", "round1"}));
}

TEST(TCPClient, AThreadThatNeverRanStillEndsWhenTold)
{
    for (int i = 0; i < 20; ++i)
    {
        auto client = std::make_unique<TkbzIdTCPClient>();
        auto [a, b] = kbzMemoryIOHandlerPair();
        client->SetIOHandler(std::move(b));
        auto end = client->TCPRead().EndState(); // started, not armed, maybe not yet run
        auto done = std::async(std::launch::async, [&] { client->Disconnect(); });
        ASSERT_TRUE(Ready(done));
        EXPECT_TRUE(end->Ended());
        client.reset();
    }
}

TEST(TCPClient, DestroyingAConnectedClientStopsItsThread)
{
    LoopbackListener listener;
    std::shared_ptr<TkbzReadThreadEnd> end;
    auto destroy = std::async(std::launch::async, [&] {
        TkbzIdTCPClient client;
        client.Host = "127.0.0.1";
        client.Port = listener.Port();
        client.Connect();
        end = client.TCPRead().EndState();
    });
    ASSERT_TRUE(Ready(destroy));
    EXPECT_TRUE(end->Ended());
}

TEST(TkbzIdTCPClient, CancelConnectEndsAHangingConnectOrTLSHandshake)
{
    // A TCP connect that cannot complete (a listener whose backlog is full), and
    // a TLS handshake with a server that accepts but never answers.
    for (const bool tls : {false, true})
    {
        SCOPED_TRACE(tls ? "TLS handshake" : "TCP connect");
        LoopbackListener listener(TwsIPVersion::ipV4, 0);
        std::vector<TkbzSocket> fillers;
        if (!tls)
        {
            bool full = false;
            for (int i = 0; i < 8 && !full; ++i)
            {
                try
                {
                    fillers.push_back(
                        kbzConnectTCP("127.0.0.1", listener.Port(), TwsIPVersion::ipV4, 300));
                }
                catch (const EIdConnectTimeout&)
                {
                    full = true;
                }
            }
            if (!full)
            {
                GTEST_SKIP() << "this kernel kept accepting handshakes into a full backlog";
            }
        }
        TkbzIdTCPClient client;
        client.Host = "127.0.0.1";
        client.Port = listener.Port();
        client.ConnectTimeout = 60000;
        if (tls)
        {
            // Stands in for a TLS handshake: waits for an answer that never comes.
            client.TLSHandlerFactory = [](std::unique_ptr<TkbzSocketIOHandler> plain) {
                plain->Readable(60000);
                std::uint8_t b = 0;
                plain->Recv(&b, 1);
                return std::unique_ptr<TkbzIOHandler>(std::move(plain));
            };
        }
        auto result = std::async(std::launch::async, [&] {
            try
            {
                client.Connect();
                return std::string("connected");
            }
            catch (const Exception& e)
            {
                return e.ClassName() + ": " + e.Message();
            }
        });
        // Cancel until the connect gives up (it may not have started at the first try).
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        while (result.wait_for(20ms) != std::future_status::ready &&
               std::chrono::steady_clock::now() < deadline)
        {
            client.CancelConnect();
        }
        ASSERT_EQ(result.wait_for(0s), std::future_status::ready);
        EXPECT_EQ(result.get().rfind("EIdClosedSocket", 0), 0u);
    }
}

} // namespace
} // namespace kbz
