// The server over its real listener on 127.0.0.1: our own client and raw
// sockets as peers, broadcast filters, a peer that stops reading, refusals,
// plain HTTP and restarts.
#include "client/kbzWebSocket_Client.h"
#include "server/kbzWebSocket_Server.h"
#include "tests/server/kbzLoopbackServer.h"
#include "tests/server/kbzRawWSClient.h"
#include "tests/server/kbzServerEngine.h"
#include "tests/support/kbzTestCerts.h"
#include "tests/support/kbzTestProcess.h"
#include "tests/transport/kbzLoopback.h"
#include "transport/kbzTCP_Intercept.h"

#include <arpa/inet.h>
#include <atomic>
#include <filesystem>
#include <future>
#include <gtest/gtest.h>
#include <mutex>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>

using namespace kbz;
using namespace kbz::test;

namespace
{

std::vector<std::string> ReadMessages(RawWSClient& c, std::size_t n, int ms = 5000)
{
    std::vector<std::string> got;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (got.size() < n && std::chrono::steady_clock::now() < deadline)
    {
        for (auto& m : c.TakeMessages())
        {
            got.push_back(std::move(m));
        }
        if (got.size() < n && !c.ReadSome(50))
        {
            for (auto& m : c.TakeMessages())
            {
                got.push_back(std::move(m));
            }
            break;
        }
    }
    return got;
}

} // namespace

TEST(Server, EchoWithOurClientAndTheDisconnectCode)
{
    LoopbackServer ls;
    ls.server.OnMessage = [](const TkbzWSConnectionPtr& c, const std::string& text) {
        c->WriteData("echo:" + text);
    };
    const int port = ls.Start();
    ASSERT_GT(port, 0);

    TkbzWSClient client;
    client.SetURL("ws://127.0.0.1:" + std::to_string(port) + "/path");
    client.Options.CleanDisconnect = true;
    std::mutex lock;
    std::vector<std::string> received;
    client.OnMessage = [&](const TkbzWSConnectionPtr&, const std::string& text) {
        std::lock_guard guard(lock);
        received.push_back(text);
    };
    ASSERT_TRUE(client.Connect(5000));
    client.WriteData("one");
    client.WriteData(std::string(100000, 'x'));
    ASSERT_TRUE(WaitUntil(
        [&] {
            std::lock_guard guard(lock);
            return received.size() == 2;
        },
        5s));
    EXPECT_EQ(received[0], "echo:one");
    EXPECT_EQ(received[1], "echo:" + std::string(100000, 'x'));
    EXPECT_EQ(ls.connects.load(), 1);
    ASSERT_EQ(ls.server.Count(), 1u);
    EXPECT_EQ(ls.server.GetConnectionByIndex(0)->HeadersRequest().front(), "GET /path HTTP/1.1");

    ASSERT_TRUE(client.Disconnect(5000));
    ASSERT_TRUE(WaitUntil([&] { return ls.CloseCodes().size() == 1; }, 5s));
    EXPECT_EQ(ls.CloseCodes().front(), 1000);
    EXPECT_TRUE(WaitUntil([&] { return ls.server.Count() == 0; }, 5s));
    EXPECT_TRUE(ls.Errors().empty());
}

TEST(Server, PlainHTTPIsAnsweredAndClosed)
{
    LoopbackServer ls;
    const int port = ls.Start();
    // The request arrives in two segments with a pause between them.
    RawWSClient http;
    ASSERT_TRUE(http.Connect(port, false));
    http.SendRaw("GET /index.html HT");
    std::this_thread::sleep_for(50ms); // a gap between segments, not a synchronisation
    http.SendRaw("TP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    while (http.ReadSome(5000))
    {}
    const std::string answer = http.Buffer();
    // Nothing filled the response: the default page.
    EXPECT_EQ(answer.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << answer;
    EXPECT_TRUE(answer.ends_with("\r\n\r\n<HTML><BODY><B>200 OK</B></BODY></HTML>")) << answer;
    EXPECT_NE(answer.find("\r\nServer: " + std::string(kbzServerSoftware) + "\r\n"),
              std::string::npos);
    EXPECT_TRUE(http.Closed());
    EXPECT_EQ(ls.connects.load(), 0);
}

TEST(Server, BroadcastFilters)
{
    LoopbackServer ls;
    ls.server.RegisterProtocol("chat");
    const int port = ls.Start();
    RawWSClient a, b, c;
    ASSERT_TRUE(a.Connect(port));
    ASSERT_TRUE(WaitUntil([&] { return ls.connects.load() == 1; }, 5s));
    ASSERT_TRUE(b.Connect(port));
    ASSERT_TRUE(WaitUntil([&] { return ls.connects.load() == 2; }, 5s));
    ASSERT_TRUE(c.Connect(port, true, "/", "Sec-WebSocket-Protocol: chat\r\n"));
    ASSERT_NE(c.Head().find("Sec-WebSocket-Protocol: chat\r\n"), std::string::npos);
    // The protocol handler raises the events of its connections (with the same handlers).
    ASSERT_TRUE(WaitUntil([&] { return ls.connects.load() == 3; }, 5s));
    const std::string ga = ls.server.GetConnectionByIndex(0)->GetGuid();
    const std::string gb = ls.server.GetConnectionByIndex(1)->GetGuid();
    const std::string gc = ls.server.GetConnectionByIndex(2)->GetGuid();

    struct Case
    {
        const char* name;
        std::string protocol, exclude, include;
        bool toA, toB, toC;
    };
    const std::vector<Case> cases = {
        {"everyone without a subprotocol", "", "", "", true, true, false},
        {"the subprotocol, any case", "CHAT", "", "", false, false, true},
        {"exclude", "", ga, "", false, true, false},
        {"include two", "", "", ga + "," + gc, true, false, false},
        {"include with the protocol", "chat", "", ga + "," + gc, false, false, true},
    };
    for (const Case& k : cases)
    {
        SCOPED_TRACE(k.name);
        ls.server.Broadcast(k.name, {}, k.protocol, k.exclude, k.include);
        // A marker to every connection ends the case: what came before it is the answer.
        ls.server.Broadcast("end");
        ls.server.Broadcast("end", {}, "chat");
        for (auto [client, expected] : {std::pair{&a, k.toA}, {&b, k.toB}, {&c, k.toC}})
        {
            const auto got = ReadMessages(*client, expected ? 2 : 1);
            const std::vector<std::string> want = expected ? std::vector<std::string>{k.name, "end"}
                                                           : std::vector<std::string>{"end"};
            EXPECT_EQ(got, want);
        }
    }
    EXPECT_FALSE(ls.server.WriteData("0123456789ABCDEF0123456789ABCDEF", "x"));
    EXPECT_TRUE(ls.server.WriteData(gb, "direct"));
    EXPECT_EQ(ReadMessages(b, 1), std::vector<std::string>{"direct"});
}

TEST(Server, BroadcastWakesConnectionsThatWaitForInput)
{
    LoopbackServer ls;
    // Connection threads that would wait half a minute for input between passes.
    ls.server.Options().SetReadTimeOut(30000);
    const int port = ls.Start();
    RawWSClient a, b;
    ASSERT_TRUE(a.Connect(port));
    ASSERT_TRUE(b.Connect(port));
    ASSERT_TRUE(WaitUntil([&] { return ls.connects.load() == 2; }, 5s));
    // A line alone, then a burst right after it (left for the next pass).
    ls.server.Broadcast("one");
    EXPECT_EQ(ReadMessages(a, 1), std::vector<std::string>{"one"});
    for (const char* line : {"two", "three", "four"})
    {
        ls.server.Broadcast(line);
    }
    const std::vector<std::string> rest = {"two", "three", "four"};
    EXPECT_EQ(ReadMessages(a, 3), rest);
    const std::vector<std::string> all = {"one", "two", "three", "four"};
    EXPECT_EQ(ReadMessages(b, 4), all);
}

TEST(Server, APeerThatStopsReadingHoldsUpNobody)
{
    LoopbackServer ls;
    ls.server.OnTCPConnect = [](const TkbzWSConnectionPtr& c, bool&) {
        c->MaxQueuedBytes = 2 * 1024 * 1024;
    };
    const int port = ls.Start();
    RawWSClient stalled, reader;
    ASSERT_TRUE(stalled.Connect(port));
    ASSERT_TRUE(reader.Connect(port));
    ASSERT_TRUE(WaitUntil([&] { return ls.connects.load() == 2; }, 5s));

    // Far more than the stalled peer's socket buffers and queue hold, sent in
    // batches the reader keeps up with (so only the stalled peer falls behind).
    const int batches = 48;
    const int perBatch = 16;
    const std::string payload(32 * 1024, 'p');
    std::vector<std::string> got;
    for (int batch = 0; batch < batches; ++batch)
    {
        auto sent = std::async(std::launch::async, [&] {
            for (int i = 0; i < perBatch; ++i)
            {
                ls.server.Broadcast(std::to_string(batch * perBatch + i) + ":" + payload);
            }
        });
        // Broadcast never waits for a peer, whatever the stalled one does.
        ASSERT_EQ(sent.wait_for(10s), std::future_status::ready) << batch;
        for (auto& m : ReadMessages(reader, perBatch, 10000))
        {
            got.push_back(std::move(m));
        }
        ASSERT_EQ(got.size(), static_cast<std::size_t>((batch + 1) * perBatch));
    }
    for (std::size_t i = 0; i < got.size(); ++i)
    {
        ASSERT_EQ(got[i], std::to_string(i) + ":" + payload);
    }
    // The stalled one was dropped, with the reason.
    ASSERT_TRUE(WaitUntil([&] { return !ls.Errors().empty(); }, 10s));
    EXPECT_EQ(ls.Errors(), std::vector<std::string>{"Connection dropped: send queue full."});
    EXPECT_TRUE(WaitUntil([&] { return ls.server.Count() == 1; }, 10s));
}

TEST(Server, RefusedAtTCPConnect)
{
    LoopbackServer ls;
    ls.server.OnTCPConnect = [](const TkbzWSConnectionPtr&, bool& accept) { accept = false; };
    const int port = ls.Start();
    RawWSClient peer;
    ASSERT_TRUE(peer.Connect(port, false));
    while (peer.ReadSome(5000))
    {}
    EXPECT_TRUE(peer.Closed());
    EXPECT_EQ(peer.Buffer(), "");
    ASSERT_TRUE(WaitUntil([&] { return !ls.Errors().empty(); }, 5s));
    EXPECT_EQ(ls.Errors(), std::vector<std::string>{"Connection rejected by server."});
}

TEST(Server, StartStopRestart)
{
    LoopbackServer ls;
    const int port = ls.Start();
    ls.server.SetActive(true); // a second activation binds nothing new
    EXPECT_EQ(ls.server.GetBoundPort(), port);

    RawWSClient before;
    ASSERT_TRUE(before.Connect(port));
    ls.server.ReStart();
    // The restart drops the connection and listens again.
    while (before.ReadSome(5000))
    {}
    EXPECT_TRUE(before.Closed());
    ASSERT_TRUE(WaitUntil([&] { return ls.startups.load() == 2; }, 5s));
    const int again = ls.server.GetBoundPort();
    RawWSClient after;
    EXPECT_TRUE(after.Connect(again));

    ls.server.Stop();
    ASSERT_TRUE(WaitUntil([&] { return !ls.server.GetActive(); }, 5s));
    // Pending start threads are waited for by the destructor.
    auto* server = new TkbzWSHTTPServer();
    server->Bindings().push_back({"127.0.0.1", 0, TwsIPVersion::ipV4});
    server->SetPort(0);
    server->Start();
    delete server;
}

TEST(Server, TLSListenerWithOurClient)
{
    LoopbackServer ls;
    ls.server.SSL = true;
    ls.server.SSLOptions().CertFile = Certs().ServerCert;
    ls.server.SSLOptions().KeyFile = Certs().ServerKey;
    ls.server.OnMessage = [](const TkbzWSConnectionPtr& c, const std::string& text) {
        c->WriteData(text);
    };
    const int port = ls.Start();

    TkbzWSClient client;
    client.SetURL("wss://127.0.0.1:" + std::to_string(port) + "/");
    client.TLSOptions.RootCertFile = Certs().CACert;
    client.TLSOptions.VerifyCertificate = true;
    std::mutex lock;
    std::vector<std::string> received;
    client.OnMessage = [&](const TkbzWSConnectionPtr&, const std::string& text) {
        std::lock_guard guard(lock);
        received.push_back(text);
    };
    ASSERT_TRUE(client.Connect(10000));
    client.WriteData("over TLS");
    ASSERT_TRUE(WaitUntil(
        [&] {
            std::lock_guard guard(lock);
            return !received.empty();
        },
        5s));
    EXPECT_EQ(received.front(), "over TLS");
    ASSERT_EQ(ls.server.Count(), 1u);
    EXPECT_TRUE(ls.server.GetConnectionByIndex(0)->FServerSSL);
}

TEST(Server, HeartbeatPingsAndEndsSilentPeers)
{
    LoopbackServer ls;
    ls.server.HeartBeat().Enabled = true;
    ls.server.HeartBeat().Interval = 1;
    ls.server.HeartBeat().Timeout = 1;
    const int port = ls.Start();
    // This peer never answers pings.
    RawWSClient silent;
    ASSERT_TRUE(silent.Connect(port));
    bool pinged = false;
    const auto deadline = std::chrono::steady_clock::now() + 15s;
    while (!silent.Closed() && std::chrono::steady_clock::now() < deadline)
    {
        silent.ReadSome(100);
        // A ping frame: 0x89, then the time as "yyyymmddhhnnsszzz" (17 bytes).
        if (silent.Buffer().size() >= 19 && silent.Buffer()[0] == '\x89')
        {
            pinged = true;
            EXPECT_EQ(silent.Buffer()[1], '\x11');
        }
    }
    EXPECT_TRUE(pinged);
    EXPECT_TRUE(silent.Closed());
    ASSERT_TRUE(WaitUntil([&] { return !ls.Exceptions().empty(); }, 5s));
    EXPECT_EQ(ls.Exceptions().front(), "HeartBeat Timeout exceeded.");
}

TEST(Server, PingToAllLetsARegisteredAPIPingItsOwnWay)
{
    struct Api : TkbzWSAPI
    {
        std::atomic<int> connects{0};
        void DoConnect(const TkbzWSConnectionPtr&) override { ++connects; }
        bool DoPing(const TkbzWSConnectionPtr& c, const std::string& text) override
        {
            c->WriteData("api ping " + text);
            return true;
        }
    };
    LoopbackServer ls;
    auto api = std::make_shared<Api>();
    ls.server.RegisterAPI(api);
    const int port = ls.Start();
    RawWSClient peer;
    ASSERT_TRUE(peer.Connect(port));
    ASSERT_TRUE(WaitUntil([&] { return api->connects.load() == 1; }, 5s));
    ls.server.Ping("one");
    EXPECT_EQ(ReadMessages(peer, 1), std::vector<std::string>{"api ping one"});
    EXPECT_TRUE(peer.Buffer().empty()) << "a ping frame went out as well";
    // Without the API the connection gets the ping frame itself.
    ls.server.UnRegisterAPI();
    ls.server.Ping("two");
    const std::string frame = "\x89\x03two";
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (peer.Buffer().size() < frame.size() && std::chrono::steady_clock::now() < deadline)
    {
        peer.ReadSome(100);
    }
    EXPECT_EQ(peer.Buffer(), frame);
    EXPECT_EQ(ls.connects.load(), 0);
}

TEST(Server, HeartbeatEndsAPeerThatStoppedReading)
{
    LoopbackServer ls;
    ls.server.HeartBeat().Enabled = true;
    ls.server.HeartBeat().Interval = 1;
    ls.server.HeartBeat().Timeout = 2;
    const int port = ls.Start();
    RawWSClient stalled;
    ASSERT_TRUE(stalled.Connect(port));
    ASSERT_TRUE(WaitUntil([&] { return ls.connects.load() == 1; }, 5s));
    // More than the socket buffers hold: the connection's thread ends up blocked
    // in a send, so its pings cannot even be sent.
    const std::string payload(256 * 1024, 'p');
    for (int i = 0; i < 48; ++i)
    {
        ls.server.Broadcast(payload);
    }
    ASSERT_TRUE(WaitUntil([&] { return !ls.Exceptions().empty(); }, 15s));
    EXPECT_EQ(ls.Exceptions().front(), "HeartBeat Timeout exceeded.");
    EXPECT_TRUE(WaitUntil([&] { return ls.server.Count() == 0; }, 10s));
    // The connection leaves the list before its close event has been recorded.
    EXPECT_TRUE(WaitUntil([&] { return !ls.CloseCodes().empty(); }, 10s));
    EXPECT_EQ(ls.CloseCodes().size(), 1u);
}

namespace
{

// The server's listening socket on port, among the process's descriptors (-1: none).
int ListeningSocketOf(int port)
{
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd"))
    {
        const int fd = std::atoi(entry.path().filename().c_str());
        int listening = 0;
        socklen_t length = sizeof listening;
        sockaddr_in address{};
        socklen_t addressLength = sizeof address;
        if (::getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &length) == 0 && listening &&
            ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &addressLength) == 0 &&
            address.sin_family == AF_INET && ntohs(address.sin_port) == port)
        {
            return fd;
        }
    }
    return -1;
}

// An in-memory connection whose peer has the given address.
class PeerAtAddress : public TkbzInterceptIOHandler
{
public:
    PeerAtAddress(std::unique_ptr<TkbzIOHandler> inner, std::string ip)
        : TkbzInterceptIOHandler(std::move(inner), nullptr, 0), FIP(std::move(ip))
    {}
    TkbzSocketBinding Binding() const override
    {
        TkbzSocketBinding binding;
        binding.IP = FIP;
        binding.Port = 40000;
        return binding;
    }

private:
    std::string FIP;
};

} // namespace

// A listener that stops accepting (its socket shut down behind its back) fails the monitor's
// check, and the monitor restarts it within its interval; clients are served again.
TEST(ServerWatchDog, MonitorRestartsAListenerThatStopsAccepting)
{
    LoopbackServer ls;
    ls.server.WatchDog().Enabled = true;
    ls.server.WatchDog().Interval = 1;
    ls.server.WatchDog().Monitor.Enabled = true;
    ls.server.WatchDog().Monitor.Timeout = 2;
    const int port = ls.Start();
    ASSERT_EQ(ls.startups.load(), 1);
    const int fd = ListeningSocketOf(port);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::shutdown(fd, SHUT_RD), 0);
    ASSERT_TRUE(WaitUntil([&] { return ls.startups.load() >= 2; }, 10s));
    RawWSClient client;
    ASSERT_TRUE(client.Connect(ls.server.GetBoundPort()));
    EXPECT_TRUE(WaitUntil([&] { return ls.connects.load() == 1; }, 5s));
    // The monitor's own connections were never anyone's events.
    EXPECT_EQ(ls.connects.load(), 1);
}

// The monitor's secret lets a connection past the credentials only from a loopback address;
// from any other it is an ordinary client, refused without them.
TEST(ServerWatchDog, MonitorSecretOnlyFromLoopback)
{
    LoopbackServer ls;
    ls.server.WatchDog().Enabled = true;
    ls.server.WatchDog().Interval = 3600;
    ls.server.WatchDog().Monitor.Enabled = true;
    ls.server.Authentication().Enabled = true;
    ls.server.Authentication().Basic.Enabled = true;
    ls.server.Authentication().AuthUsers.SetText("bob=pw");
    ls.Start();
    const std::string secret = ls.server.WatchDogMonitorSecret();
    ASSERT_EQ(secret.size(), 32u);
    struct Case
    {
        std::string ip;
        std::string path;
        bool internal;
    };
    const Case cases[] = {
        {"127.0.0.1", "/" + secret, true},
        {"::1", "/" + secret, true},
        {"::ffff:127.0.0.1", "/" + secret, true},
        {"192.0.2.7", "/" + secret, false},
        {"", "/" + secret, false},
        {"127.0.0.1", "/not-the-secret", false},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.ip + " " + c.path);
        auto [peer, ours] = kbzMemoryIOHandlerPair();
        auto connection = ls.server.OnListenerConnect(std::make_shared<TkbzIdTCPConnection>(
            std::make_unique<PeerAtAddress>(std::move(ours), c.ip)));
        ASSERT_TRUE(connection);
        SendText(*peer, "GET " + c.path +
                            " HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\n"
                            "Connection: Upgrade\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
                            "Sec-WebSocket-Version: 13\r\n\r\n");
        // The engine's rounds: bytes in, one step, until the answer is there.
        std::string answer;
        for (int round = 0; round < 100 && answer.size() < 12; ++round)
        {
            connection->TCPConnection()->CheckForDataOnSource(50);
            if (!ls.server.OnListenerExecute(connection))
            {
                break;
            }
            answer += RecvText(*peer, 12 - answer.size(), 50);
        }
        answer += RecvText(*peer, 12 - answer.size(), 500);
        EXPECT_EQ(answer, c.internal ? "HTTP/1.1 101" : "HTTP/1.1 401");
        EXPECT_EQ(connection->GetIsInternal(), c.internal);
        peer->Shutdown();
        if (auto* tcp = connection->TCPConnection())
        {
            tcp->Disconnect(false);
        }
        ls.server.OnListenerDisconnect(connection);
    }
    EXPECT_EQ(ls.connects.load(), 0);
}
