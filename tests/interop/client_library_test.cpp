// The client component against python websockets and node ws on loopback: certificate
// verification, permessage-deflate in every parameter combination both ways, fragmented
// messages from the peer, pings, heartbeat with the watchdog, and a reconnection soak.
#include "client/kbzWebSocket_Client.h"
#include "tests/client/kbzClientRecorder.h"
#include "tests/interop/client_peers.h"
#include "tests/support/kbzTestCerts.h"
#include "websocket/kbzWebSocket_Extension_PerMessage_Deflate.h"

#include <dirent.h>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <random>
#include <unistd.h>

using namespace kbz;
using namespace kbz::test;
using namespace kbz::test::client;

namespace
{

bool PeerPresent(Peer::Kind kind)
{
    return kind == Peer::NodeWS ? HaveNodeWs() : HavePythonWebSockets();
}

// ---- Certificate verification ----

struct TlsCase
{
    const char* name;
    bool verify;
    std::string root;   // CA file the client trusts ("" none)
    std::string host;   // the name the client connects to
    bool wrongNameCert; // the server shows a certificate for another name
    bool accepted;
};

TEST(ClientTls, CertificateVerificationAgainstPython)
{
    if (!HavePythonWebSockets() || !HaveProgram("openssl"))
    {
        GTEST_SKIP() << "python3-websockets or openssl is not installed";
    }
    // A self-signed certificate for a name that is not ours.
    const std::string dir = MakeTempDir("kbz-wrong-name");
    const std::string wrongCert = dir + "/cert.pem";
    const std::string wrongKey = dir + "/key.pem";
    {
        TestProcess openssl;
        ASSERT_TRUE(openssl.Start({"openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
                                   "ec_paramgen_curve:P-256", "-nodes", "-keyout", wrongKey, "-out",
                                   wrongCert, "-days", "2", "-subj", "/CN=wrong.example", "-addext",
                                   "subjectAltName=DNS:wrong.example"}));
        ASSERT_EQ(openssl.WaitForExit(30s), 0);
    }
    Peer good;
    ASSERT_TRUE(good.Start(Peer::PythonWS, {"--tls", Certs().ServerCert, Certs().ServerKey}));
    Peer wrong;
    ASSERT_TRUE(wrong.Start(Peer::PythonWS, {"--tls", wrongCert, wrongKey}));

    const TlsCase cases[] = {
        {"verification_off", false, "", "127.0.0.1", false, true},
        {"verification_off_wrong_name", false, "", "127.0.0.1", true, true},
        {"trusted_ca_by_address", true, Certs().CACert, "127.0.0.1", false, true},
        {"trusted_ca_by_name", true, Certs().CACert, "localhost", false, true},
        {"untrusted_ca", true, Certs().OtherCACert, "127.0.0.1", false, false},
        {"no_trusted_root", true, "", "127.0.0.1", false, false},
        {"trusted_but_for_another_name", true, wrongCert, "127.0.0.1", true, false},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        for (auto handler : {TwsTLSIOHandler::iohOpenSSL, TwsTLSIOHandler::iohSChannel})
        {
            SCOPED_TRACE(handler == TwsTLSIOHandler::iohOpenSSL ? "OpenSSL" : "SChannel");
            EventRecorder events;
            TkbzWSClient client;
            events.Attach(client);
            client.SetURL("wss://" + c.host + ":" +
                          std::to_string((c.wrongNameCert ? wrong : good).Port()) + "/");
            client.TLSOptions.IOHandler = handler;
            client.TLSOptions.VerifyCertificate = c.verify;
            client.TLSOptions.RootCertFile = c.root;
            EXPECT_EQ(client.Connect(10000), c.accepted) << events.Dump();
            if (c.accepted)
            {
                client.WriteData("over TLS");
                EXPECT_TRUE(events.Wait("message over TLS")) << events.Dump();
            }
            else
            {
                EXPECT_TRUE(events.Wait("exception ")) << events.Dump();
                EXPECT_EQ(events.Count("connect"), 0u) << events.Dump();
            }
        }
    }
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
}

// ---- Messages ----

std::string Compressible(std::size_t size, std::uint32_t seed)
{
    std::mt19937 rng(seed);
    std::string text;
    while (text.size() < size)
    {
        text += R"({"event": "message", "seq": )" + std::to_string(rng() % 100000) +
                R"(, "text": "caf\u00e9 )" + std::to_string(rng() % 1000) + "\"}, ";
    }
    text.resize(size);
    return text;
}

std::string Noise(std::size_t size, std::uint32_t seed)
{
    std::mt19937 rng(seed);
    std::string bytes(size, '\0');
    for (auto& b : bytes)
    {
        b = static_cast<char>(rng());
    }
    return bytes;
}

struct Message
{
    bool binary;
    std::string data;
};

// Empty, one byte, 1 KiB and 1 MiB both as text and binary, then one text five times (what
// context takeover keeps in the window), then a multi-byte text.
const std::vector<Message>& Messages()
{
    static const std::vector<Message> messages = [] {
        std::vector<Message> m = {
            {false, ""},
            {false, "x"},
            {false, Compressible(1024, 1)},
            {false, Compressible(1024 * 1024, 2)},
            {true, ""},
            {true, std::string(1, '\0')},
            {true, Noise(1024, 3)},
            {true, Noise(1024 * 1024, 4)},
        };
        for (int i = 0; i < 5; ++i)
        {
            m.push_back({false, Compressible(600, 5)});
        }
        m.push_back({false, "h\xC3\xA9llo \xE2\x9C\x93 \xF0\x9F\x98\x80 " + Compressible(300, 6)});
        return m;
    }();
    return messages;
}

// Sends every message and expects each back unchanged, in order.
void ExchangeAll(TkbzWSClient& client, EventRecorder& events)
{
    std::size_t from = events.Size();
    for (std::size_t i = 0; i < Messages().size(); ++i)
    {
        SCOPED_TRACE("message " + std::to_string(i));
        const Message& m = Messages()[i];
        if (m.binary)
        {
            TkbzMemoryStream stream(kbzAsBytes(m.data));
            client.WriteData(stream);
        }
        else
        {
            client.WriteData(m.data);
        }
        const std::string prefix = m.binary ? "binary " : "message ";
        const auto at = events.Wait(prefix, 20s, from);
        ASSERT_TRUE(at) << events.Dump();
        const std::string got = events.Events()[*at].substr(prefix.size());
        ASSERT_EQ(got.size(), m.data.size());
        ASSERT_TRUE(got == m.data) << "the echo differs";
        from = *at + 1;
    }
    EXPECT_EQ(events.Count("exception"), 0u) << events.Dump();
    EXPECT_EQ(events.Count("error"), 0u) << events.Dump();
}

// The Sec-WebSocket-Extensions answer the server gave.
std::string ExtensionAnswer(TkbzWSClient& client)
{
    auto connection = client.Connection();
    if (!connection)
    {
        return "no connection";
    }
    for (const auto& line : connection->HeadersRequest())
    {
        if (kbzStartsText(line, "Sec-WebSocket-Extensions:"))
        {
            return line.substr(line.find(':') + 2);
        }
    }
    return "";
}

// ---- permessage-deflate both ways ----

struct DeflateCase
{
    std::string name;
    Peer::Kind kind;
    bool fragmented;      // the peer sends every message back in three fragments
    std::size_t config;   // which of the peer's listeners (ServerConfigs)
    int clientBits;       // our offer's client_max_window_bits (0: bare parameter)
    int serverBits;       // our offer's server_max_window_bits (0: none)
    bool clientNoContext; // our offer's client_no_context_takeover
    bool serverNoContext; // our offer's server_no_context_takeover
    bool offer;           // we offer permessage-deflate at all
};

void PrintTo(const DeflateCase& c, std::ostream* os)
{
    *os << c.name;
}

// The listeners of each peer process, in order: defaults, no compression, then the server's
// own limits.
std::vector<std::string> ServerConfigs(Peer::Kind kind)
{
    std::vector<std::string> configs = {kind == Peer::NodeWS ? "{}" : "", "none"};
    for (int bits = 9; bits <= 15; ++bits)
    {
        const std::string b = std::to_string(bits);
        configs.push_back(kind == Peer::NodeWS ? R"({"serverMaxWindowBits":)" + b + "}"
                                               : "server_max_window_bits=" + b);
        configs.push_back(kind == Peer::NodeWS ? R"({"clientMaxWindowBits":)" + b + "}"
                                               : "client_max_window_bits=" + b);
    }
    configs.push_back(kind == Peer::NodeWS
                          ? R"({"serverNoContextTakeover":true,"clientNoContextTakeover":true})"
                          : "server_no_context_takeover,client_no_context_takeover");
    return configs;
}
constexpr std::size_t kDefaults = 0;
constexpr std::size_t kNone = 1;
std::size_t ServerBitsConfig(int bits)
{
    return 2 + 2 * static_cast<std::size_t>(bits - 9);
}
std::size_t ClientBitsConfig(int bits)
{
    return ServerBitsConfig(bits) + 1;
}
constexpr std::size_t kNoContext = 16;

class ClientDeflate : public testing::TestWithParam<DeflateCase>
{
public:
    static void TearDownTestSuite() { Peers().clear(); }

    // One process per peer kind and mode, started on first use, with every listener.
    static Peer* PeerFor(Peer::Kind kind, bool fragmented)
    {
        const int key = static_cast<int>(kind) * 2 + (fragmented ? 1 : 0);
        auto& peer = Peers()[key];
        if (!peer)
        {
            peer = std::make_unique<Peer>();
            std::vector<std::string> args = {"--mode", fragmented ? "echo-fragmented" : "echo"};
            for (const auto& c : ServerConfigs(kind))
            {
                args.insert(args.end(), {"--config", c.empty() ? "" : c});
            }
            if (!peer->Start(kind, args))
            {
                peer.reset();
            }
        }
        return peer.get();
    }

private:
    static std::map<int, std::unique_ptr<Peer>>& Peers()
    {
        static std::map<int, std::unique_ptr<Peer>> peers;
        return peers;
    }
};

TEST_P(ClientDeflate, MessagesIntactBothWays)
{
    const DeflateCase& c = GetParam();
    if (!PeerPresent(c.kind))
    {
        GTEST_SKIP() << "peer not installed";
    }
    Peer* peer = ClientDeflate::PeerFor(c.kind, c.fragmented);
    ASSERT_TRUE(peer);
    EventRecorder events;
    TkbzWSClient client;
    events.Attach(client);
    auto& deflate = client.Extensions().PerMessage_Deflate();
    deflate.SetEnabled(c.offer);
    if (c.clientBits)
    {
        deflate.SetClientMaxWindowBits(c.clientBits);
    }
    if (c.serverBits)
    {
        deflate.SetServerMaxWindowBits(c.serverBits);
    }
    deflate.SetClientNoContextTakeOver(c.clientNoContext);
    deflate.SetServerNoContextTakeOver(c.serverNoContext);
    client.Options.ValidateUTF8 = true;
    client.SetURL(peer->Url("ws", c.config));
    ASSERT_TRUE(client.Connect(10000)) << events.Dump();
    const std::string answer = ExtensionAnswer(client);
    SCOPED_TRACE("answer: " + answer);
    EXPECT_EQ(answer.rfind("permessage-deflate", 0) == 0, c.offer && c.config != kNone);
    ExchangeAll(client, events);
    EXPECT_TRUE(client.Ping(5000, "still there")) << "no pong from the peer";
}

std::vector<DeflateCase> DeflateCases()
{
    std::vector<DeflateCase> cases;
    for (Peer::Kind kind : {Peer::PythonWS, Peer::NodeWS})
    {
        const std::string k = kind == Peer::NodeWS ? "node_" : "python_";
        cases.push_back({k + "no_offer", kind, false, kDefaults, 0, 0, false, false, false});
        cases.push_back({k + "server_declines", kind, false, kNone, 0, 0, false, false, true});
        cases.push_back({k + "defaults", kind, false, kDefaults, 0, 0, false, false, true});
        cases.push_back(
            {k + "no_context_takeover_asked", kind, false, kDefaults, 0, 0, true, true, true});
        cases.push_back(
            {k + "no_context_takeover_imposed", kind, false, kNoContext, 0, 0, false, false, true});
        for (int bits = 9; bits <= 15; ++bits)
        {
            const std::string b = std::to_string(bits);
            cases.push_back({k + "we_ask_client_bits_" + b, kind, false, kDefaults, bits, 0, false,
                             false, true});
            cases.push_back({k + "we_ask_server_bits_" + b, kind, false, kDefaults, 0, bits, false,
                             false, true});
            cases.push_back({k + "server_limits_its_bits_" + b, kind, false, ServerBitsConfig(bits),
                             0, 0, false, false, true});
            cases.push_back({k + "server_limits_our_bits_" + b, kind, false, ClientBitsConfig(bits),
                             0, 0, false, false, true});
        }
        cases.push_back({k + "fragments_plain", kind, true, kNone, 0, 0, false, false, false});
        cases.push_back(
            {k + "fragments_compressed", kind, true, kDefaults, 0, 0, false, false, true});
    }
    return cases;
}

INSTANTIATE_TEST_SUITE_P(Interop, ClientDeflate, testing::ValuesIn(DeflateCases()),
                         [](const testing::TestParamInfo<DeflateCase>& p) { return p.param.name; });

// ---- Heartbeat and reconnection ----

TEST(ClientHeartBeat, SilentPythonServerIsDroppedAndTheWatchDogReconnects)
{
    if (!HavePythonWebSockets())
    {
        GTEST_SKIP() << "python3-websockets is not installed";
    }
    Peer peer;
    ASSERT_TRUE(peer.Start(Peer::PythonWS, {"--mode", "silent"}));
    EventRecorder events;
    TkbzWSClient client;
    events.Attach(client);
    client.HeartBeat().Enabled = true;
    client.HeartBeat().Interval = 1;
    client.HeartBeat().Timeout = 1;
    client.WatchDog().Enabled = true;
    client.WatchDog().Interval = 1;
    client.SetURL(peer.Url());
    ASSERT_TRUE(client.Connect(10000));
    const auto timeout = events.Wait("exception HeartBeat Timeout exceeded.", 10s);
    ASSERT_TRUE(timeout) << events.Dump();
    // Within Timeout + Interval of the first ping, itself one Interval after the connect.
    EXPECT_LE(events.TimeOf(*timeout) - events.TimeOf(0), 3s + 1s) << events.Dump();
    const auto lost = events.Wait("disconnect", 5s, *timeout);
    ASSERT_TRUE(lost) << events.Dump();
    EXPECT_TRUE(events.Wait("connect", 5s, *lost)) << events.Dump();
}

TEST(ClientPing, PeersAnswerOurPings)
{
    for (Peer::Kind kind : {Peer::PythonWS, Peer::NodeWS})
    {
        SCOPED_TRACE(kind == Peer::NodeWS ? "node" : "python");
        if (!PeerPresent(kind))
        {
            continue;
        }
        Peer peer;
        ASSERT_TRUE(peer.Start(kind, {}));
        TkbzWSClient client;
        client.SetURL(peer.Url());
        ASSERT_TRUE(client.Connect(10000));
        for (const std::string& payload : {std::string(), std::string("p"), std::string(125, 'x')})
        {
            EXPECT_TRUE(client.Ping(5000, payload.empty() ? "" : payload));
        }
    }
}

// ---- A client-side API ----

// Takes the events of the client's connection (instead of, or with RawMessages beside, the
// client's own) and its heartbeat pings, which it sends as texts.
struct RecordingAPI : TkbzWSAPI_Client
{
    EventRecorder& events;
    explicit RecordingAPI(EventRecorder& e) : events(e) {}
    void DoConnect(const TkbzWSConnectionPtr&) override { events.Add("api connect"); }
    void DoDisconnect(const TkbzWSConnectionPtr&) override { events.Add("api disconnect"); }
    void DoMessage(const TkbzWSConnectionPtr&, const std::string& text) override
    {
        events.Add("api message " + text);
    }
    void DoBinary(const TkbzWSConnectionPtr&, TkbzMemoryStream& data) override
    {
        events.Add("api binary " + data.DataString());
    }
    bool DoPing(const TkbzWSConnectionPtr& c, const std::string&) override
    {
        c->WriteData(std::string("api ping"));
        return true;
    }
};

TEST(ClientAPI, TakesTheEventsAndHeartbeatPingsOfTheConnection)
{
    if (!HavePythonWebSockets())
    {
        GTEST_SKIP() << "python3-websockets is not installed";
    }
    for (const bool raw : {false, true})
    {
        SCOPED_TRACE(raw ? "raw messages" : "instead of the client's events");
        Peer peer;
        ASSERT_TRUE(peer.Start(Peer::PythonWS, {"--report-pings"}));
        EventRecorder events;
        TkbzWSClient client;
        events.Attach(client);
        auto api = std::make_shared<RecordingAPI>(events);
        api->RawMessages = raw;
        client.RegisterAPI(api);
        client.HeartBeat().Enabled = true;
        client.HeartBeat().Interval = 1;
        client.SetURL(peer.Url());
        ASSERT_TRUE(client.Connect(10000));
        client.WriteData("hello");
        TkbzMemoryStream bytes(kbzAsBytes("\x01\x02"));
        client.WriteData(bytes);
        // The first heartbeat tick is the API's: its text comes back as an echo.
        ASSERT_TRUE(events.Wait("api message api ping", 10s)) << events.Dump();
        ASSERT_TRUE(events.Wait("api binary \x01\x02", 5s)) << events.Dump();
        EXPECT_EQ(events.Count("message hello"), raw ? 1u : 0u) << events.Dump();
        EXPECT_EQ(events.Count("connect"), raw ? 1u : 0u) << events.Dump();
        EXPECT_EQ(events.Count("api message hello"), 1u) << events.Dump();
        for (const std::string& line : peer.Process().Lines())
        {
            EXPECT_NE(line.rfind("ping ", 0), 0u) << "a ping frame went out: " << line;
        }
        // Unregistered, the client's own events come back and its pings are frames again.
        client.UnRegisterAPI();
        client.WriteData("after");
        ASSERT_TRUE(events.Wait("message after", 5s)) << events.Dump();
        EXPECT_TRUE(peer.Process().WaitForLine(
            [](const std::string& l) { return l.rfind("ping ", 0) == 0; }, 10s));
        EXPECT_EQ(events.Count("api message after"), 0u) << events.Dump();
    }
}

std::size_t ThreadCount()
{
    std::size_t n = 0;
    if (DIR* d = ::opendir("/proc/self/task"))
    {
        while (dirent* e = ::readdir(d))
        {
            n += e->d_name[0] != '.' ? 1 : 0;
        }
        ::closedir(d);
    }
    return n;
}

// Resident memory in KiB.
long ResidentKiB()
{
    std::ifstream statm("/proc/self/statm");
    long size = 0;
    long resident = 0;
    statm >> size >> resident;
    return resident * (::sysconf(_SC_PAGESIZE) / 1024);
}

TEST(ClientSoak, TwoHundredReconnectionsLeaveNoThreadsOrMemoryBehind)
{
    if (!HavePythonWebSockets())
    {
        GTEST_SKIP() << "python3-websockets is not installed";
    }
    Peer peer;
    ASSERT_TRUE(peer.Start(Peer::PythonWS, {"--mode", "close:1000"}));
    EventRecorder events;
    TkbzWSClient client;
    events.Attach(client);
    client.HeartBeat().Enabled = true; // a heartbeat timer per connection too
    client.HeartBeat().Interval = 1;
    client.SetURL(peer.Url());
    auto cycle = [&](std::size_t i) {
        client.Connect(10000);
        return WaitUntil([&] { return events.Count("disconnect 1000") >= i + 1; }, 10s);
    };
    ASSERT_TRUE(cycle(0)) << events.Dump();
    ASSERT_TRUE(WaitUntil([&] { return !client.GetActive(); }, 10s));
    const std::size_t threads = ThreadCount();
    const long memory = ResidentKiB();
    for (std::size_t i = 1; i <= 200; ++i)
    {
        ASSERT_TRUE(cycle(i)) << "cycle " << i << "\n" << events.Dump();
    }
    EXPECT_EQ(events.Count("connect"), 201u);
    EXPECT_EQ(events.Count("exception"), 0u) << events.Dump();
    EXPECT_TRUE(WaitUntil([&] { return ThreadCount() <= threads; }, 10s))
        << ThreadCount() << " threads, " << threads << " after the first connection";
#if !defined(__SANITIZE_ADDRESS__)
    // Freed memory is not always returned at once: allow a little slack, far less than 200
    // connections' worth of buffers and threads.
    EXPECT_LE(ResidentKiB(), memory + 2048) << "KiB resident, " << memory << " at first";
#else
    (void)memory;
#endif
}

} // namespace
