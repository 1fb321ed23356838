#include "tests/support/kbzTestProcess.h"
#include "tests/transport/kbzLoopback.h"
#include "transport/kbzSocket_Classes.h"

#include <atomic>
#include <cctype>
#include <future>
#include <gtest/gtest.h>
#include <netinet/tcp.h>
#include <thread>

namespace kbz
{
namespace
{

using namespace std::chrono_literals;
using test::Bytes;
using test::LoopbackListener;
using test::RecvText;
using test::SendText;
using test::Text;

// Runs f on another thread and reports whether it finished within the deadline.
template <class F> bool FinishesWithin(std::future<F>& f, std::chrono::milliseconds d = 5000ms)
{
    return f.wait_for(d) == std::future_status::ready;
}

// ---- In-memory pair ----

TEST(MemoryIOHandlerPair, KeepsChunksAndHandsOutParts)
{
    auto [a, b] = kbzMemoryIOHandlerPair();
    SendText(*a, "abc");
    SendText(*a, "de");
    std::uint8_t buf[16];
    ASSERT_TRUE(b->Readable(0));
    EXPECT_EQ(b->Recv(buf, 2), 2u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), 2), "ab");
    EXPECT_EQ(b->Recv(buf, sizeof(buf)), 1u); // the rest of the first chunk only
    EXPECT_EQ(b->Recv(buf, sizeof(buf)), 2u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), 2), "de");
    EXPECT_FALSE(b->Readable(0));
}

TEST(MemoryIOHandlerPair, ShutdownWakesTheOtherReaderWithEndOfStreamAfterPendingBytes)
{
    auto [a, b] = kbzMemoryIOHandlerPair();
    SendText(*a, "x");
    std::uint8_t buf[8];
    ASSERT_EQ(b->Recv(buf, sizeof(buf)), 1u);
    auto blocked =
        std::async(std::launch::async, [&, &bb = b] { return bb->Recv(buf, sizeof(buf)); });
    EXPECT_FALSE(FinishesWithin(blocked, 20ms)); // really blocked
    SendText(*a, "yz");
    a->Shutdown();
    ASSERT_TRUE(FinishesWithin(blocked));
    EXPECT_EQ(blocked.get(), 2u); // what was sent before the shutdown still arrives
    EXPECT_EQ(b->Recv(buf, sizeof(buf)), 0u);
    EXPECT_FALSE(b->Connected());
    EXPECT_FALSE(a->Connected());
    EXPECT_THROW(a->Recv(buf, 1), EIdClosedSocket);
    EXPECT_THROW(SendText(*a, "q"), EIdClosedSocket);
    EXPECT_THROW(SendText(*b, "q"), EIdSocketError);
}

// Wake ends the reader's wait for input early without reporting input, is
// used up by that wait, and ends the next wait when none is running.
void ExpectWakeEndsOneWait(TkbzIOHandler& reader, TkbzIOHandler& writer)
{
    auto waiting = std::async(std::launch::async, [&] { return reader.Readable(-1); });
    EXPECT_FALSE(FinishesWithin(waiting, 20ms));
    reader.Wake();
    ASSERT_TRUE(FinishesWithin(waiting));
    EXPECT_FALSE(waiting.get());

    reader.Wake();
    EXPECT_FALSE(reader.Readable(-1));

    auto again = std::async(std::launch::async, [&] { return reader.Readable(-1); });
    EXPECT_FALSE(FinishesWithin(again, 20ms)); // the wake was used up
    SendText(writer, "x");
    ASSERT_TRUE(FinishesWithin(again));
    EXPECT_TRUE(again.get());
    EXPECT_EQ(RecvText(reader, 1), "x");
}

TEST(MemoryIOHandlerPair, WakeEndsOneWait)
{
    auto [a, b] = kbzMemoryIOHandlerPair();
    ExpectWakeEndsOneWait(*b, *a);
}

// ---- Plain socket channel over loopback ----

struct SocketPair
{
    LoopbackListener listener;
    std::unique_ptr<TkbzSocketIOHandler> client;
    std::unique_ptr<TkbzSocketIOHandler> server;

    explicit SocketPair(TwsIPVersion v = TwsIPVersion::ipV4) : listener(v)
    {
        client = std::make_unique<TkbzSocketIOHandler>(
            kbzConnectTCP(test::LoopbackAddress(v), listener.Port(), v, 5000));
        TkbzSocket accepted = listener.Accept();
        if (!accepted.Valid())
        {
            throw std::runtime_error("no connection accepted");
        }
        server = std::make_unique<TkbzSocketIOHandler>(std::move(accepted));
    }
};

class SocketIOHandlerTest : public ::testing::TestWithParam<TwsIPVersion>
{};

TEST_P(SocketIOHandlerTest, ExchangesBytesAndReportsBothEnds)
{
    SocketPair p(GetParam());
    const std::string ip = test::LoopbackAddress(GetParam());
    const TkbzSocketBinding b = p.client->Binding();
    EXPECT_EQ(b.IP, ip);
    EXPECT_EQ(b.Port, p.listener.Port());
    EXPECT_EQ(b.LocalIP, ip);
    EXPECT_NE(b.LocalPort, 0);
    EXPECT_EQ(b.IPVersion, GetParam());

    EXPECT_FALSE(p.server->Readable(0));
    SendText(*p.client, "hello");
    EXPECT_EQ(RecvText(*p.server, 5), "hello");
    SendText(*p.server, "back");
    EXPECT_EQ(RecvText(*p.client, 4), "back");
    EXPECT_TRUE(p.client->Connected());

    // The peer's close reads as the end of the stream, once the bytes before it are read.
    SendText(*p.server, "bye");
    p.server->Shutdown();
    EXPECT_EQ(RecvText(*p.client, 100), "bye");
    EXPECT_FALSE(p.client->Connected());
}

INSTANTIATE_TEST_SUITE_P(Loopback, SocketIOHandlerTest,
                         ::testing::Values(TwsIPVersion::ipV4, TwsIPVersion::ipV6),
                         [](const auto& p) {
                             return p.param == TwsIPVersion::ipV6 ? "IPv6" : "IPv4";
                         });

TEST(SocketIOHandler, ShutdownFromAnotherThreadWakesBlockedReaders)
{
    SocketPair p;
    auto waiting = std::async(std::launch::async, [&] { return p.client->Readable(-1); });
    std::uint8_t buf[8];
    EXPECT_FALSE(FinishesWithin(waiting, 20ms));
    p.client->Shutdown();
    ASSERT_TRUE(FinishesWithin(waiting));
    EXPECT_TRUE(waiting.get());
    EXPECT_THROW(p.client->Recv(buf, sizeof(buf)), EIdClosedSocket);
    EXPECT_THROW(SendText(*p.client, "x"), EIdClosedSocket);
    EXPECT_FALSE(p.client->Connected());
    // The peer sees the end of the stream.
    EXPECT_EQ(RecvText(*p.server, 1), "");
}

TEST(SocketIOHandler, WakeEndsOneWaitAndShutdownStillEndsAll)
{
    SocketPair p;
    ExpectWakeEndsOneWait(*p.server, *p.client);
    // A wake never hides a shutdown: every wait after it returns at once.
    p.server->Wake();
    p.server->Shutdown();
    EXPECT_TRUE(p.server->Readable(-1));
    EXPECT_TRUE(p.server->Readable(-1));
}

TEST(SocketIOHandler, SendTimeoutRaisesWhenThePeerStopsReading)
{
    SocketPair p;
    p.client->SetSendTimeout(200);
    std::vector<std::uint8_t> big(64 * 1024 * 1024, 0x55);
    try
    {
        p.client->Send(big.data(), big.size());
        FAIL() << "a send that cannot finish must raise";
    }
    catch (const EIdSocketError& e)
    {
        EXPECT_NE(e.Message().find("Socket Error # 11"), std::string::npos) << e.Message();
        EXPECT_NE(e.Message().find("timed out"), std::string::npos) << e.Message();
    }
}

TEST(SocketIOHandler, OptionsReachTheSocket)
{
    SocketPair p;
    const int fd = p.client->Handle();
    auto get = [fd](int level, int name) {
        int v = -1;
        socklen_t len = sizeof(v);
        ::getsockopt(fd, level, name, &v, &len);
        return v;
    };
    p.client->SetNoDelay(true);
    EXPECT_EQ(get(IPPROTO_TCP, TCP_NODELAY), 1);
    p.client->SetNoDelay(false);
    EXPECT_EQ(get(IPPROTO_TCP, TCP_NODELAY), 0);

    struct Case
    {
        int timeMs, intervalMs, idle, interval;
    };
    for (const Case c : {Case{500, 999, 1, 1}, Case{30000, 2500, 30, 2}})
    {
        SCOPED_TRACE(c.timeMs);
        p.client->SetKeepAlive(true, c.timeMs, c.intervalMs);
        EXPECT_EQ(get(SOL_SOCKET, SO_KEEPALIVE), 1);
        EXPECT_EQ(get(IPPROTO_TCP, TCP_KEEPIDLE), c.idle);
        EXPECT_EQ(get(IPPROTO_TCP, TCP_KEEPINTVL), c.interval);
    }
    p.client->SetKeepAlive(false, 0, 0);
    EXPECT_EQ(get(SOL_SOCKET, SO_KEEPALIVE), 0);
}

// ---- kbzConnectTCP ----

TEST(ConnectTCP, ResolvesLiteralsAndLocalNames)
{
    struct Case
    {
        const char* host;
        TwsIPVersion version;
    };
    for (const Case c :
         {Case{"127.0.0.1", TwsIPVersion::ipV4}, Case{"localhost", TwsIPVersion::ipV4},
          Case{"::1", TwsIPVersion::ipV6}, Case{"[::1]", TwsIPVersion::ipV6}})
    {
        SCOPED_TRACE(c.host);
        LoopbackListener listener(c.version);
        TkbzSocketIOHandler h(kbzConnectTCP(c.host, listener.Port(), c.version, 5000));
        EXPECT_TRUE(listener.Accept().Valid());
        EXPECT_EQ(h.Binding().Port, listener.Port());
    }
}

TEST(ConnectTCP, FailuresRaiseTheirOwnErrors)
{
    const auto closedPort = static_cast<std::uint16_t>(test::FreePort());
    try
    {
        kbzConnectTCP("127.0.0.1", closedPort, TwsIPVersion::ipV4, 5000);
        FAIL() << "connect to a closed port succeeded";
    }
    catch (const EIdSocketError& e)
    {
        EXPECT_EQ(e.ClassName(), "EIdSocketError");
        EXPECT_NE(e.Message().find("Socket Error # 111"), std::string::npos) << e.Message();
    }
    EXPECT_THROW(kbzConnectTCP("", 80, TwsIPVersion::ipV4, 5000), EIdResolveError);
}

TEST(ConnectTCP, BindsTheLocalPortWithinTheRange)
{
    LoopbackListener listener;
    const auto first = static_cast<std::uint16_t>(test::FreePort());
    const auto last = static_cast<std::uint16_t>(first + 20);
    TkbzSocketIOHandler h(
        kbzConnectTCP("127.0.0.1", listener.Port(), TwsIPVersion::ipV4, 5000, first, last));
    const auto local = h.Binding().LocalPort;
    EXPECT_GE(local, first);
    EXPECT_LE(local, last);
}

TEST(ConnectTCP, TimesOutAgainstAListenerWhoseBacklogIsFull)
{
    // Nothing leaves loopback: a listener that never accepts, with its queue
    // filled, drops further handshakes, so the next connect can only time out.
    LoopbackListener listener(TwsIPVersion::ipV4, 0);
    std::vector<TkbzSocket> fillers;
    bool timedOut = false;
    for (int i = 0; i < 8 && !timedOut; ++i)
    {
        try
        {
            fillers.push_back(kbzConnectTCP("127.0.0.1", listener.Port(), TwsIPVersion::ipV4, 300));
        }
        catch (const EIdConnectTimeout& e)
        {
            EXPECT_EQ(e.Message(), "Connect timed out.");
            timedOut = true;
        }
    }
    if (!timedOut)
    {
        GTEST_SKIP() << "this kernel kept accepting handshakes into a full backlog";
    }
}

// ---- TkbzIdTCPConnection over the memory pair ----

struct MemoryConnection
{
    std::unique_ptr<TkbzIOHandler> peer;
    TkbzIdTCPConnection conn;

    MemoryConnection()
    {
        auto [a, b] = kbzMemoryIOHandlerPair();
        peer = std::move(a);
        conn.SetIOHandler(std::move(b));
    }
    void Feed(const std::vector<std::string>& pieces)
    {
        for (const auto& piece : pieces)
        {
            SendText(*peer, piece);
        }
    }
};

TEST(TCPConnection, ReadsHeadersLinesAndBytesHoweverTheInputIsCut)
{
    const std::string wire = "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\n"
                             "Connection: Upgrade\r\n\r\nline two\nBODY!";
    for (const auto& cut : test::AllCuts(wire))
    {
        SCOPED_TRACE(test::Describe(cut));
        MemoryConnection m;
        m.conn.ReadTimeout = 5000;
        m.Feed(cut);
        EXPECT_EQ(m.conn.ReadHeaderLines(5000),
                  (std::vector<std::string>{"HTTP/1.1 101 Switching Protocols",
                                            "Upgrade: websocket", "Connection: Upgrade"}));
        EXPECT_EQ(m.conn.ReadLn(), "line two");
        std::vector<std::uint8_t> body{'>'};
        m.conn.ReadBytes(body, 5);
        EXPECT_EQ(Text(body), ">BODY!");
        EXPECT_TRUE(m.conn.InputBufferIsEmpty());
    }
}

TEST(TCPConnection, LineEndingsAndLimits)
{
    struct Case
    {
        const char* input;
        std::size_t maxLength;
        const char* line; // nullptr: EIdMaxLineLengthExceeded
    };
    const Case cases[] = {
        {"abc\n", 100, "abc"},      {"abc\r\n", 100, "abc"},   {"\r\n", 100, ""},
        {"a\rb\n", 100, "a\rb"},    {"12345\r\n", 5, "12345"}, {"123456\n", 5, nullptr},
        {"1234567890", 5, nullptr}, // too long before any line break arrives
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.input);
        MemoryConnection m;
        m.conn.ReadTimeout = 2000;
        m.Feed({c.input});
        if (c.line != nullptr)
        {
            EXPECT_EQ(m.conn.ReadLn(c.maxLength), c.line);
        }
        else
        {
            EXPECT_THROW(m.conn.ReadLn(c.maxLength), EIdMaxLineLengthExceeded);
        }
    }

    MemoryConnection m;
    m.Feed({"Host: a\r\nX-Long: ", std::string(200, 'x'), "\r\n\r\n"});
    EXPECT_THROW(m.conn.ReadHeaderLines(2000, 100), EIdMaxLineLengthExceeded);
}

TEST(TCPConnection, WaitsEndInTimeoutPeerCloseOrLocalDisconnect)
{
    {
        MemoryConnection m;
        m.conn.ReadTimeout = 30;
        std::vector<std::uint8_t> dst;
        EXPECT_THROW(m.conn.ReadBytes(dst, 1), EIdReadTimeout);
        EXPECT_THROW(m.conn.ReadLn(), EIdReadTimeout);
        EXPECT_THROW(m.conn.ReadHeaderLines(30), EIdReadTimeout);
    }
    {
        // The peer closes in the middle: what arrived stays buffered and readable.
        MemoryConnection m;
        m.Feed({"ab"});
        m.peer->Shutdown();
        std::vector<std::uint8_t> dst;
        EXPECT_THROW(m.conn.ReadBytes(dst, 3), EIdConnClosedGracefully);
        EXPECT_EQ(m.conn.InputBufferSize(), 2u);
        EXPECT_TRUE(m.conn.Connected()); // unread bytes remain
        EXPECT_FALSE(m.conn.CheckForDisconnect(false, false));
        EXPECT_TRUE(m.conn.CheckForDisconnect(false, true));
        m.conn.ReadBytes(dst, 2, false);
        EXPECT_EQ(Text(dst), "ab");
        EXPECT_FALSE(m.conn.Connected());
        EXPECT_THROW(m.conn.CheckForDisconnect(true, false), EIdConnClosedGracefully);
    }
    {
        // A reader waiting without a time limit is woken by a Disconnect on another thread.
        MemoryConnection m;
        int notified = 0;
        m.conn.OnDisconnected = [&] { ++notified; };
        auto reader = std::async(std::launch::async, [&] {
            std::vector<std::uint8_t> dst;
            try
            {
                m.conn.ReadBytes(dst, 10);
            }
            catch (const EIdClosedSocket&)
            {
                return std::string("EIdClosedSocket");
            }
            catch (const std::exception& e)
            {
                return std::string(e.what());
            }
            return std::string("no error");
        });
        EXPECT_FALSE(FinishesWithin(reader, 20ms));
        auto other = std::async(std::launch::async, [&] { m.conn.Disconnect(); });
        m.conn.Disconnect();
        other.get();
        ASSERT_TRUE(FinishesWithin(reader));
        EXPECT_EQ(reader.get(), "EIdClosedSocket");
        EXPECT_EQ(notified, 1);
        EXPECT_FALSE(m.conn.Connected());
        EXPECT_EQ(m.conn.CheckForDataOnSource(0), 0u); // a local close is not an error here
        EXPECT_THROW(m.conn.CheckForDisconnect(), EIdConnClosedGracefully);
        // The peer sees the end of the stream.
        std::uint8_t b;
        EXPECT_EQ(m.peer->Recv(&b, 1), 0u);
    }
}

TEST(TCPConnection, WriteBufferLeavesInOnePiece)
{
    MemoryConnection m;
    m.conn.WriteBufferOpen();
    m.conn.Write(std::string_view("GET / HTTP/1.1"));
    m.conn.WriteLn("");
    m.conn.WriteLn("Host: a");
    EXPECT_FALSE(m.peer->Readable(0));
    m.conn.WriteBufferFlush();
    EXPECT_TRUE(m.conn.WriteBufferOpened());
    std::uint8_t buf[256];
    const std::size_t n = m.peer->Recv(buf, sizeof(buf)); // one chunk = one send
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), n), "GET / HTTP/1.1\r\nHost: a\r\n");

    m.conn.Write(std::string_view("dropped"));
    m.conn.WriteBufferClear();
    EXPECT_FALSE(m.conn.WriteBufferOpened());
    m.conn.Write(Bytes("now"));
    EXPECT_EQ(RecvText(*m.peer, 3), "now");

    m.conn.Disconnect();
    EXPECT_THROW(m.conn.Write(Bytes("late")), EIdClosedSocket);
    TkbzIdTCPConnection none;
    EXPECT_THROW(none.Write(Bytes("x")), EIdNotConnected);
}

TEST(TCPConnection, ClearingAndPeekingFromOtherThreadsWhileTheReaderReads)
{
    MemoryConnection m;
    std::atomic<bool> done{false};
    std::thread writer([&] {
        for (int i = 0; i < 400; ++i)
        {
            SendText(*m.peer, "line " + std::to_string(i) + "\r\n");
        }
        SendText(*m.peer, "END\r\n");
        m.peer->Shutdown();
    });
    std::thread meddler([&] {
        while (!done.load())
        {
            m.conn.InputBufferClear();
            (void)m.conn.InputBufferAsString(8);
            m.conn.InputBufferRemove(3);
            std::this_thread::yield();
        }
    });
    // The reader must neither crash nor hang. Lines may be lost to the clears or
    // lose their front to the removals, but never mix with one another.
    std::size_t lines = 0;
    for (;;)
    {
        try
        {
            const std::string line = m.conn.ReadLn();
            ++lines;
            const bool wellFormed = line.empty() || std::string("END").ends_with(line) ||
                                    (std::isdigit(static_cast<unsigned char>(line.back())) &&
                                     line.find('\r') == std::string::npos);
            EXPECT_TRUE(wellFormed) << line;
        }
        catch (const EIdConnClosedGracefully&)
        {
            break;
        }
    }
    done.store(true);
    writer.join();
    meddler.join();
    EXPECT_LE(lines, 401u);
    EXPECT_TRUE(m.conn.CheckForDisconnect(false, true));
}

TEST(TCPConnection, MovesALargeTransferOverLoopback)
{
    SocketPair p;
    TkbzIdTCPConnection sender(std::move(p.client));
    TkbzIdTCPConnection receiver(std::move(p.server));
    receiver.ReadTimeout = 10000;
    std::vector<std::uint8_t> data(3 * 1024 * 1024 + 17);
    for (std::size_t i = 0; i < data.size(); ++i)
    {
        data[i] = static_cast<std::uint8_t>(i * 31 + i / 7);
    }
    std::thread t([&] { sender.Write(data); });
    std::vector<std::uint8_t> got;
    receiver.ReadBytes(got, 1000);
    receiver.ReadBytes(got, data.size() - 1000);
    t.join();
    EXPECT_TRUE(got == data);
    sender.Disconnect();
    EXPECT_THROW(receiver.ReadBytes(got, 1), EIdConnClosedGracefully);
}

} // namespace
} // namespace kbz
