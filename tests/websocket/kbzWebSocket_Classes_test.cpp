// The connection's receive and write paths, driven over an in-memory channel
// pair: a test plays the peer with raw wire bytes, or two connections talk.
#include "websocket/kbzWebSocket_Classes.h"

#include <atomic>
#include <gtest/gtest.h>
#include <thread>

using namespace kbz;

namespace
{

std::vector<std::uint8_t> Bytes(std::initializer_list<int> list)
{
    std::vector<std::uint8_t> out;
    for (int b : list)
    {
        out.push_back(static_cast<std::uint8_t>(b));
    }
    return out;
}

std::vector<std::uint8_t> Frame(TOpcode op, std::string_view payload, bool masked, bool fin = true,
                                bool rsv1 = false)
{
    return kbzBuildFrame(op, kbzAsBytes(payload), masked, fin, rsv1);
}

// A connection whose handshake is already done.
class TestConnection : public TkbzWSConnection_Indy
{
public:
    std::vector<std::string> texts;
    std::vector<std::vector<std::uint8_t>> binaries;
    struct Fragment
    {
        std::string data;
        bool more;
    };
    std::vector<Fragment> fragments;
    std::vector<std::string> errors;

    TestConnection()
    {
        SetTransport(TwsTransport::trpRFC6455);
        SetEnabled(true);
        OnMessage = [this](TkbzWSConnection&, const std::string& t) { texts.push_back(t); };
        OnBinary = [this](TkbzWSConnection&, TkbzMemoryStream& d) {
            binaries.push_back(d.Bytes());
        };
        OnFragmented = [this](TkbzWSConnection&, TkbzMemoryStream& d, TOpcode, bool more) {
            fragments.push_back({std::string(d.Bytes().begin(), d.Bytes().end()), more});
        };
    }
};

// One end is a connection, the other is the test playing the peer.
struct PeerFixture
{
    std::shared_ptr<TestConnection> conn = std::make_shared<TestConnection>();
    std::shared_ptr<TkbzIdTCPConnection> tcp;
    std::unique_ptr<TkbzIOHandler> peer;
    bool server = true; // the connection is the server side: frames must be masked

    explicit PeerFixture(bool serverSide = true) : server(serverSide)
    {
        auto [a, b] = kbzMemoryIOHandlerPair();
        tcp = std::make_shared<TkbzIdTCPConnection>(std::move(a));
        peer = std::move(b);
        conn->Masked = !serverSide;
        conn->SetTCPConnection(tcp);
    }

    void Send(const std::vector<std::uint8_t>& bytes) { peer->Send(bytes.data(), bytes.size()); }

    // Reads what arrived and runs the receive path until nothing more comes;
    // errors are collected instead of raised.
    void Pump()
    {
        while (tcp->CheckForDataOnSource(20) > 0 || !tcp->InputBufferIsEmpty())
        {
            try
            {
                conn->ReadData(server);
            }
            catch (const std::exception& e)
            {
                conn->errors.push_back(e.what());
                conn->TerminateConnection();
            }
            if (conn->Disconnected())
            {
                break;
            }
        }
    }

    // Everything the connection sent so far, decoded as frames seen by the other side.
    std::vector<std::pair<TOpcode, std::vector<std::uint8_t>>> Received()
    {
        std::vector<std::uint8_t> wire;
        while (peer->Readable(20))
        {
            std::uint8_t buf[65536];
            const std::size_t n = peer->Recv(buf, sizeof buf);
            if (n == 0)
            {
                break;
            }
            wire.insert(wire.end(), buf, buf + n);
        }
        TkbzWSDecoderOptions options;
        options.MaskRequired = !server; // the peer of a client is a server
        TkbzWSFrameDecoder decoder(options);
        std::vector<std::pair<TOpcode, std::vector<std::uint8_t>>> frames;
        std::span<const std::uint8_t> in(wire);
        while (true)
        {
            auto r = decoder.Decode(in);
            if (r == TkbzWSDecodeResult::drNeedMore || r == TkbzWSDecodeResult::drError)
            {
                EXPECT_NE(r, TkbzWSDecodeResult::drError) << decoder.ErrorText();
                break;
            }
            frames.emplace_back(decoder.Msg().FOpCode, decoder.Msg().FStream);
        }
        return frames;
    }
};

std::uint16_t CloseCodeOf(const std::vector<std::uint8_t>& payload)
{
    return payload.size() >= 2 ? static_cast<std::uint16_t>((payload[0] << 8) | payload[1]) : 0;
}

} // namespace

TEST(TkbzWSConnectionReceive, FragmentedTextWithPingBetweenInEveryMode)
{
    struct Case
    {
        TwsFragmentedMessages mode;
        std::vector<std::string> texts;
        std::vector<std::pair<std::string, bool>> fragments;
    };
    const Case cases[] = {
        {TwsFragmentedMessages::frgOnlyBuffer, {"Hello World!"}, {}},
        {TwsFragmentedMessages::frgOnlyFragmented,
         {},
         {{"Hel", true}, {"lo Wor", true}, {"ld!", false}}},
        {TwsFragmentedMessages::frgAll,
         {"Hello World!"},
         {{"Hel", true}, {"Hello Wor", true}, {"Hello World!", false}}},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(static_cast<int>(c.mode));
        PeerFixture f;
        f.conn->FragmentedMessages = c.mode;
        f.Send(Frame(TOpcode::opText, "Hel", true, false));
        f.Send(Frame(TOpcode::opContinuation, "lo Wor", true, false));
        f.Send(Frame(TOpcode::opPing, "p1", true));
        f.Send(Frame(TOpcode::opContinuation, "ld!", true, true));
        f.Pump();
        EXPECT_EQ(f.conn->texts, c.texts);
        ASSERT_EQ(f.conn->fragments.size(), c.fragments.size());
        for (std::size_t i = 0; i < c.fragments.size(); ++i)
        {
            EXPECT_EQ(f.conn->fragments[i].data, c.fragments[i].first);
            EXPECT_EQ(f.conn->fragments[i].more, c.fragments[i].second);
        }
        const auto sent = f.Received();
        ASSERT_EQ(sent.size(), 1u);
        EXPECT_EQ(sent[0].first, TOpcode::opPong);
        EXPECT_EQ(std::string(sent[0].second.begin(), sent[0].second.end()), "p1");
    }
}

TEST(TkbzWSConnectionReceive, CloseFramesAreAnsweredAndCodesChecked)
{
    struct Case
    {
        const char* name;
        std::vector<std::uint8_t> payload;
        bool cleanDisconnect;
        int closeCode;      // recorded from the peer
        std::uint16_t sent; // code of our close answer
        const char* error;  // raised text, or empty
    };
    const Case cases[] = {
        {"1001 answered with 1000", Bytes({0x03, 0xE9}), true, 1001, 1000, ""},
        {"answered even without clean disconnects", Bytes({0x03, 0xE9}), false, 1001, 1000, ""},
        {"4000 with a reason", Bytes({0x0F, 0xA0, 'b', 'y', 'e'}), true, 4000, 1000, ""},
        {"1014 is valid", Bytes({0x03, 0xF6}), true, 1014, 1000, ""},
        {"empty payload", {}, true, 0, 1000, ""},
        {"1005 may not be sent", Bytes({0x03, 0xED}), true, 0, 1002, "Invalid close code"},
        {"one byte", Bytes({0x03}), true, 0, 1002, "Invalid Payload length for close code"},
        {"invalid UTF-8 reason", Bytes({0x03, 0xE8, 0xFF}), true, 0, 1007, "Invalid UTF8 message"},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        PeerFixture f;
        f.conn->CleanDisconnect = c.cleanDisconnect;
        f.Send(kbzBuildFrame(TOpcode::opClose, c.payload, true));
        f.Pump();
        EXPECT_TRUE(f.conn->Disconnected());
        EXPECT_EQ(f.conn->CloseCode(), c.closeCode);
        const auto sent = f.Received();
        ASSERT_EQ(sent.size(), 1u);
        EXPECT_EQ(sent[0].first, TOpcode::opClose);
        EXPECT_EQ(CloseCodeOf(sent[0].second), c.sent);
        if (*c.error)
        {
            ASSERT_EQ(f.conn->errors.size(), 1u);
            EXPECT_EQ(f.conn->errors[0], c.error);
        }
        else
        {
            EXPECT_TRUE(f.conn->errors.empty());
        }
        EXPECT_TRUE(f.tcp->Disconnected());
    }
}

TEST(TkbzWSConnectionReceive, ProtocolErrorsCloseWithTheirCodes)
{
    struct Case
    {
        const char* name;
        bool server;
        std::vector<std::uint8_t> wire;
        std::uint16_t code;
    };
    const Case cases[] = {
        {"server gets an unmasked frame", true, Frame(TOpcode::opText, "x", false), 1002},
        {"client gets a masked frame", false, Frame(TOpcode::opText, "x", true), 1002},
        {"reserved opcode", true, Bytes({0x83, 0x80, 1, 2, 3, 4}), 1002},
        {"RSV1 without extension", true, Frame(TOpcode::opText, "x", true, true, true), 1002},
        {"continuation without message", true, Frame(TOpcode::opContinuation, "x", true), 1002},
        {"invalid UTF-8 text", true, Frame(TOpcode::opText, "\xED\xA0\x80", true), 1007},
        {"64-bit length with the top bit", true,
         Bytes({0x82, 0xFF, 0x80, 0, 0, 0, 0, 0, 0, 1, 1, 2, 3, 4}), 1002},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        PeerFixture f(c.server);
        f.conn->ValidateUTF8 = true;
        f.Send(c.wire);
        f.Pump();
        EXPECT_TRUE(f.conn->Disconnected());
        ASSERT_EQ(f.conn->errors.size(), 1u);
        const auto sent = f.Received();
        ASSERT_EQ(sent.size(), 1u);
        EXPECT_EQ(sent[0].first, TOpcode::opClose);
        EXPECT_EQ(CloseCodeOf(sent[0].second), c.code);
        EXPECT_TRUE(f.conn->texts.empty());
    }
}

TEST(TkbzWSConnectionReceive, MessageAboveTheLimitCloses1009)
{
    PeerFixture f;
    f.conn->MaxMessageSize = 1000;
    f.Send(Frame(TOpcode::opBinary, std::string(600, 'a'), true, false));
    f.Send(Frame(TOpcode::opContinuation, std::string(600, 'b'), true, true));
    f.Pump();
    EXPECT_TRUE(f.conn->binaries.empty());
    const auto sent = f.Received();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(CloseCodeOf(sent[0].second), 1009);
}

TEST(TkbzWSConnectionReceive, PongsAnswerTheirPingAndStrayOnesAreIgnored)
{
    PeerFixture f;
    f.Send(Frame(TOpcode::opPong, "nobody asked", true));
    f.Pump();
    EXPECT_FALSE(f.conn->Disconnected());

    f.conn->Ping("a");
    f.conn->Ping("b");
    f.conn->Ping("c");
    EXPECT_EQ(f.conn->PendingPings(), 3u);
    // A peer may answer only the latest of several pings: "b" answers "a" too.
    f.Send(Frame(TOpcode::opPong, "b", true));
    f.Pump();
    EXPECT_EQ(f.conn->Pong(), "b");
    EXPECT_EQ(f.conn->PendingPings(), 1u);
    EXPECT_NE(f.conn->OldestPendingPing(), 0);
    f.Send(Frame(TOpcode::opPong, "unknown", true));
    f.Pump();
    EXPECT_EQ(f.conn->PendingPings(), 1u);
    f.Send(Frame(TOpcode::opPong, "c", true));
    f.Pump();
    EXPECT_EQ(f.conn->PendingPings(), 0u);
    EXPECT_EQ(f.conn->OldestPendingPing(), 0);
    EXPECT_FALSE(f.conn->Disconnected());
}

TEST(TkbzWSConnectionWrite, FragmentsStreamingPiecesAndCloseBytes)
{
    PeerFixture f; // server side: unmasked frames, easy to read back
    f.conn->WriteData("0123456789", 4);
    f.conn->WriteData("abc", 10);
    f.conn->WriteData("x", 0, TwsStreaming::stmFirst);
    f.conn->WriteData("y", 0, TwsStreaming::stmContinue);
    f.conn->WriteData("z", 0, TwsStreaming::stmLast);
    f.conn->Close(4000);

    std::vector<std::uint8_t> wire;
    while (f.peer->Readable(20))
    {
        std::uint8_t buf[1024];
        const std::size_t n = f.peer->Recv(buf, sizeof buf);
        wire.insert(wire.end(), buf, buf + n);
    }
    const auto expected =
        Bytes({0x01, 0x04, '0', '1',  '2',  '3', // first fragment
               0x00, 0x04, '4', '5',  '6',  '7', // continuation
               0x80, 0x02, '8', '9',             // last
               0x81, 0x03, 'a', 'b',  'c',       // one frame
               0x01, 0x01, 'x', 0x00, 0x01, 'y', 0x80, 0x01, 'z', 0x88, 0x02, 0x0F, 0xA0});
    EXPECT_EQ(wire, expected);
}

TEST(TkbzWSConnectionWrite, RefusedWritesSendNothing)
{
    PeerFixture f;
    EXPECT_THROW(f.conn->Ping(std::string(126, 'p')), TkbzWSException);
    for (int code : {0, 999, 1004, 1005, 1006, 1015, 2999, 5000})
    {
        SCOPED_TRACE(code);
        EXPECT_THROW(f.conn->Close(code), TkbzWSException);
    }
    EXPECT_FALSE(f.conn->Disconnected());
    EXPECT_TRUE(f.Received().empty());

    f.conn->SetEnabled(false); // before the handshake: dropped silently
    f.conn->WriteData("early");
    EXPECT_TRUE(f.Received().empty());
}

TEST(TkbzWSConnectionWrite, ClientFramesAreMaskedWithFreshKeys)
{
    PeerFixture f(false);
    f.conn->WriteData("abc");
    f.conn->WriteData("abc");
    std::vector<std::uint8_t> wire;
    while (f.peer->Readable(20))
    {
        std::uint8_t buf[256];
        const std::size_t n = f.peer->Recv(buf, sizeof buf);
        wire.insert(wire.end(), buf, buf + n);
    }
    ASSERT_EQ(wire.size(), 18u);
    EXPECT_EQ(wire[0], 0x81);
    EXPECT_EQ(wire[1], 0x83);
    EXPECT_NE(std::vector<std::uint8_t>(wire.begin() + 2, wire.begin() + 6),
              std::vector<std::uint8_t>(wire.begin() + 11, wire.begin() + 15));
}

TEST(TkbzWSConnectionWrite, ConcurrentWritersNeverInterleaveFrames)
{
    PeerFixture f(false);
    constexpr int kThreads = 4;
    constexpr int kMessages = 200;
    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; ++t)
    {
        writers.emplace_back([&, t] {
            for (int i = 0; i < kMessages; ++i)
            {
                const std::string text(static_cast<std::size_t>(1 + (i * 37 + t * 11) % 3000),
                                       static_cast<char>('a' + t));
                f.conn->WriteData(text, 500); // fragmented messages too
                if (i % 50 == 0)
                {
                    f.conn->Ping(std::to_string(t));
                }
            }
        });
    }
    std::vector<std::uint8_t> wire;
    std::atomic<bool> done{false};
    std::thread reader([&] {
        std::uint8_t buf[65536];
        while (!done.load() || f.peer->Readable(50))
        {
            if (!f.peer->Readable(10))
            {
                continue;
            }
            const std::size_t n = f.peer->Recv(buf, sizeof buf);
            wire.insert(wire.end(), buf, buf + n);
        }
    });
    for (auto& w : writers)
    {
        w.join();
    }
    done.store(true);
    reader.join();

    TkbzWSDecoderOptions options;
    options.MaskRequired = true; // read as the server reads a client
    TkbzWSFrameDecoder decoder(options);
    std::span<const std::uint8_t> in(wire);
    int messages = 0;
    while (true)
    {
        const auto r = decoder.Decode(in);
        ASSERT_NE(r, TkbzWSDecodeResult::drError) << decoder.ErrorText();
        if (r == TkbzWSDecodeResult::drNeedMore)
        {
            break;
        }
        if (r == TkbzWSDecodeResult::drMessage)
        {
            const auto& s = decoder.Msg().FStream;
            ASSERT_FALSE(s.empty());
            // Every message is made of one letter: fragments of two messages never mixed.
            EXPECT_EQ(std::count(s.begin(), s.end(), s[0]), static_cast<long>(s.size()));
            ++messages;
        }
    }
    EXPECT_EQ(messages, kThreads * kMessages);
}

TEST(TkbzWSConnectionClose, OurCloseWaitsForTheAnswerThenEnds)
{
    PeerFixture f(false);
    f.conn->Close(4001);
    EXPECT_TRUE(f.conn->Closing());
    EXPECT_FALSE(f.conn->Disconnected());
    f.conn->WriteData("after close"); // not sent any more
    auto sent = f.Received();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(CloseCodeOf(sent[0].second), 4001);

    // What the peer sent before it saw our close still arrives; its close ends the connection.
    f.Send(Frame(TOpcode::opText, "late data", false));
    f.Send(kbzBuildFrame(TOpcode::opClose, kbzBuildClosePayload(4001), false));
    f.Pump();
    EXPECT_TRUE(f.conn->Disconnected());
    EXPECT_EQ(f.conn->CloseCode(), 4001);
    EXPECT_EQ(f.conn->texts, std::vector<std::string>{"late data"});
    EXPECT_TRUE(f.Received().empty()); // no second close
}

TEST(TkbzWSConnectionClose, UnansweredCloseEndsAfterTheTimeOut)
{
    PeerFixture f(false);
    f.conn->CloseTimeOut = 50;
    f.conn->Close();
    EXPECT_TRUE(f.conn->Closing());
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!f.conn->Disconnected() && std::chrono::steady_clock::now() < deadline)
    {
        f.tcp->CheckForDataOnSource(10);
        f.conn->CheckCloseTimeOut();
    }
    EXPECT_TRUE(f.conn->Disconnected());
    EXPECT_TRUE(f.tcp->Disconnected());
}

TEST(TkbzWSConnectionExtensions, CompressedMessagesBetweenTwoConnections)
{
    // A client and a server connection that agreed permessage-deflate.
    auto [a, b] = kbzMemoryIOHandlerPair();
    auto clientTcp = std::make_shared<TkbzIdTCPConnection>(std::move(a));
    auto serverTcp = std::make_shared<TkbzIdTCPConnection>(std::move(b));
    auto client = std::make_shared<TestConnection>();
    auto server = std::make_shared<TestConnection>();
    client->Masked = true;
    client->SetTCPConnection(clientTcp);
    server->SetTCPConnection(serverTcp);
    client->Extensions().SetMode(TwsApplicationMode::appClient);
    server->Extensions().SetMode(TwsApplicationMode::appServer);
    client->Extensions().PerMessage_Deflate().SetEnabled(true);
    server->Extensions().PerMessage_Deflate().SetEnabled(true);
    server->Extensions().DecodeExtensions("permessage-deflate; client_max_window_bits");
    std::vector<std::string> answer;
    server->Extensions().WriteHeader(answer);
    ASSERT_EQ(answer.size(), 1u);
    client->Extensions().DecodeExtensions(answer[0].substr(answer[0].find(':') + 2));
    ASSERT_TRUE(client->Extensions().Compression());

    auto pump = [](TkbzIdTCPConnection& tcp, TestConnection& c, bool maskRequired) {
        while (tcp.CheckForDataOnSource(20) > 0 || !tcp.InputBufferIsEmpty())
        {
            c.ReadData(maskRequired);
        }
    };
    const std::string big(100000, 'z');
    for (const std::string& text : {std::string("hello"), std::string("hello"), std::string(), big})
    {
        client->WriteData(text, 1000); // compressed once, then cut into frames
        pump(*serverTcp, *server, true);
        server->WriteData(text);
        pump(*clientTcp, *client, false);
    }
    ASSERT_EQ(server->texts.size(), 4u);
    EXPECT_EQ(server->texts[3], big);
    EXPECT_EQ(client->texts, server->texts);
    EXPECT_FALSE(client->Disconnected());
    EXPECT_FALSE(server->Disconnected());
    // Compression made the long text small on the wire.
    EXPECT_LT(client->GetSendBytes(), 10000);
}

TEST(TkbzWSComponentClient, RegisterAPITakesOnlyClientSideAPIs)
{
    struct ServerSide : TkbzWSAPI_Base
    {
        std::string ClassName() const override { return "TkbzWSAPI"; }
    };
    TkbzWSComponent_Client client;
    const struct
    {
        TkbzWSAPIBasePtr api;
        const char* refusal; // nullptr: taken
    } cases[] = {
        {std::make_shared<TkbzWSAPI_Client>(), nullptr},
        {std::make_shared<TkbzWSAPI_Base>(), "Error API: TkbzWSAPI_Base not supported."},
        {std::make_shared<ServerSide>(), "Error API: TkbzWSAPI not supported."},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.api->ClassName());
        client.UnRegisterAPI();
        if (c.refusal == nullptr)
        {
            client.RegisterAPI(c.api);
            EXPECT_EQ(client.RegisteredAPI(), c.api);
            continue;
        }
        try
        {
            client.RegisterAPI(c.api);
            ADD_FAILURE() << "taken";
        }
        catch (const TkbzWSException& e)
        {
            EXPECT_STREQ(e.what(), c.refusal);
        }
        EXPECT_EQ(client.RegisteredAPI(), nullptr);
    }
}
