#include "websocket/kbzWebSocket_Extensions.h"

#include <cstring>
#include <functional>
#include <gtest/gtest.h>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>
#include <zlib.h>

using namespace kbz;

namespace
{

const std::string HeaderName = "Sec-WebSocket-Extensions: ";

TBytes ToBytes(std::string_view text)
{
    return TBytes(text.begin(), text.end());
}

// Compressible text that looks like the JSON the console exchanges.
TBytes JsonText(std::size_t size, std::uint32_t seed)
{
    std::mt19937 rng(seed);
    std::string text;
    while (text.size() < size)
    {
        text += R"({"event": "message", "id": )" + std::to_string(rng() % 100000) +
                R"(, "text": "reading )" + std::to_string(rng() % 1000) +
                R"( of sensor", "ok": true}, )";
    }
    text.resize(size);
    return ToBytes(text);
}

TBytes RandomBytes(std::size_t size, std::uint32_t seed)
{
    std::mt19937 rng(seed);
    TBytes bytes(size);
    for (auto& b : bytes)
    {
        b = static_cast<std::uint8_t>(rng());
    }
    return bytes;
}

std::string ValueOf(const std::string& line)
{
    EXPECT_EQ(line.rfind(HeaderName, 0), 0u) << line;
    return line.substr(std::min(line.size(), HeaderName.size()));
}

// The header lines joined into one value, as a peer reading several lines sees them.
std::string JoinValues(const std::vector<std::string>& lines)
{
    std::string value;
    for (const auto& line : lines)
    {
        value += (value.empty() ? "" : ", ") + ValueOf(line);
    }
    return value;
}

using Configure = std::function<void(TkbzWSExtensions&)>;

void EnablePerMessage(TkbzWSExtensions& e)
{
    e.PerMessage_Deflate().SetEnabled(true);
}

// A client and a server that negotiated through their real offer and answer lines.
struct Peers
{
    TkbzWSExtensions client;
    TkbzWSExtensions server;
    std::vector<std::string> offer;
    std::vector<std::string> answer;

    Peers(const Configure& clientSetup, const Configure& serverSetup)
    {
        client.SetMode(TwsApplicationMode::appClient);
        server.SetMode(TwsApplicationMode::appServer);
        clientSetup(client);
        serverSetup(server);
        client.WriteHeader(offer);
        server.DecodeExtensions(JoinValues(offer));
        server.WriteHeader(answer);
        client.DecodeExtensions(JoinValues(answer));
    }
};

// One message from one side to the other the way the engine moves it: compress, first header
// byte, header decode, decompress. wire receives what travelled.
TBytes Transfer(TkbzWSExtensions& from, TkbzWSExtensions& to, const TBytes& message,
                TBytes* wire = nullptr, bool* rsv1 = nullptr)
{
    TBytes payload = message;
    const bool compressed = from.WriteStream(payload);
    std::uint8_t first = 0x81; // FIN, text
    from.EncodeHeader(first);
    EXPECT_EQ((first & 0x40) != 0, compressed) << "RSV1 must match what WriteStream did";
    if (wire != nullptr)
    {
        *wire = payload;
    }
    if (rsv1 != nullptr)
    {
        *rsv1 = compressed;
    }
    to.DecodeHeader(first);
    to.ReadStream(payload);
    return payload;
}

// Reference raw deflate/inflate written straight on zlib, independent of the code under test.
class RefDeflater
{
public:
    RefDeflater(int windowBits, int level = Z_DEFAULT_COMPRESSION)
    {
        EXPECT_EQ(deflateInit2(&FStream, level, Z_DEFLATED, -windowBits, 8, Z_DEFAULT_STRATEGY),
                  Z_OK);
    }
    ~RefDeflater() { deflateEnd(&FStream); }
    void SetDictionary(const TBytes& dictionary)
    {
        ASSERT_EQ(
            deflateSetDictionary(&FStream, dictionary.data(), static_cast<uInt>(dictionary.size())),
            Z_OK);
    }
    void Reset() { deflateReset(&FStream); }
    // Compresses with the flush mode; dropTail removes that many bytes from the end.
    TBytes Compress(const TBytes& input, int flush, std::size_t dropTail)
    {
        TBytes out(deflateBound(&FStream, input.size()) + 64);
        FStream.next_in = const_cast<Bytef*>(input.data());
        FStream.avail_in = static_cast<uInt>(input.size());
        FStream.next_out = out.data();
        FStream.avail_out = static_cast<uInt>(out.size());
        const int rc = deflate(&FStream, flush);
        EXPECT_TRUE(rc == Z_OK || rc == Z_STREAM_END) << rc;
        EXPECT_EQ(FStream.avail_in, 0u);
        out.resize(out.size() - FStream.avail_out - dropTail);
        return out;
    }

private:
    z_stream FStream{};
};

class RefInflater
{
public:
    explicit RefInflater(int windowBits) { EXPECT_EQ(inflateInit2(&FStream, -windowBits), Z_OK); }
    ~RefInflater() { inflateEnd(&FStream); }
    // Inflates one RFC 7692 message; nothing when zlib reports an error.
    std::optional<TBytes> Message(TBytes input)
    {
        input.insert(input.end(), {0x00, 0x00, 0xFF, 0xFF});
        TBytes out;
        std::uint8_t buffer[16384];
        FStream.next_in = input.data();
        FStream.avail_in = static_cast<uInt>(input.size());
        do
        {
            FStream.next_out = buffer;
            FStream.avail_out = sizeof buffer;
            const int rc = inflate(&FStream, Z_SYNC_FLUSH);
            if (rc != Z_OK && rc != Z_BUF_ERROR)
            {
                return std::nullopt;
            }
            out.insert(out.end(), buffer, buffer + (sizeof buffer - FStream.avail_out));
        } while (FStream.avail_out == 0 || FStream.avail_in > 0);
        return out;
    }

private:
    z_stream FStream{};
};

struct Agreed
{
    int serverBits;
    bool serverNoContext;
    int clientBits;
    bool clientNoContext;
};

void ExpectAgreed(const TkbzWSExtensions& e, const Agreed& a)
{
    const auto& p = e.PerMessage_Deflate();
    EXPECT_EQ(p.GetServerMaxWindowBits(), a.serverBits);
    EXPECT_EQ(p.GetServerNoContextTakeOver(), a.serverNoContext);
    EXPECT_EQ(p.GetClientMaxWindowBits(), a.clientBits);
    EXPECT_EQ(p.GetClientNoContextTakeOver(), a.clientNoContext);
}

template <typename F> std::optional<ECompressionError> CompressionErrorOf(F&& f)
{
    try
    {
        f();
    }
    catch (const ECompressionError& e)
    {
        return e;
    }
    return std::nullopt;
}

} // namespace

// ---- Offer and answer texts ---------------------------------------------------------------------

TEST(kbzWebSocket_Extensions, ClientOfferLines)
{
    struct Case
    {
        const char* name;
        Configure setup;
        std::vector<std::string> lines;
    };
    const std::vector<Case> cases = {
        {"nothing enabled", [](TkbzWSExtensions&) {}, {}},
        {"defaults",
         EnablePerMessage,
         {"Sec-WebSocket-Extensions: permessage-deflate; client_max_window_bits"}},
        {"client window 10",
         [](TkbzWSExtensions& e) {
             EnablePerMessage(e);
             e.PerMessage_Deflate().SetClientMaxWindowBits(10);
         },
         {"Sec-WebSocket-Extensions: permessage-deflate; client_max_window_bits=10"}},
        {"client no context takeover",
         [](TkbzWSExtensions& e) {
             EnablePerMessage(e);
             e.PerMessage_Deflate().SetClientNoContextTakeOver(true);
         },
         {"Sec-WebSocket-Extensions: permessage-deflate; "
          "client_max_window_bits;client_no_context_takeover"}},
        {"server window 12",
         [](TkbzWSExtensions& e) {
             EnablePerMessage(e);
             e.PerMessage_Deflate().SetServerMaxWindowBits(12);
         },
         {"Sec-WebSocket-Extensions: permessage-deflate; "
          "client_max_window_bits;server_max_window_bits=12"}},
        {"client window 10 and server no context takeover",
         [](TkbzWSExtensions& e) {
             EnablePerMessage(e);
             e.PerMessage_Deflate().SetClientMaxWindowBits(10);
             e.PerMessage_Deflate().SetServerNoContextTakeOver(true);
         },
         {"Sec-WebSocket-Extensions: permessage-deflate; "
          "client_max_window_bits=10;server_no_context_takeover"}},
        {"every parameter",
         [](TkbzWSExtensions& e) {
             EnablePerMessage(e);
             auto& p = e.PerMessage_Deflate();
             p.SetClientMaxWindowBits(9);
             p.SetClientNoContextTakeOver(true);
             p.SetServerMaxWindowBits(8);
             p.SetServerNoContextTakeOver(true);
         },
         {"Sec-WebSocket-Extensions: permessage-deflate; client_max_window_bits=9;"
          "client_no_context_takeover;server_max_window_bits=8;server_no_context_takeover"}},
        {"deflate-frame only",
         [](TkbzWSExtensions& e) { e.DeflateFrame().SetEnabled(true); },
         {"Sec-WebSocket-Extensions: x-webkit-deflate-frame"}},
        {"both, one line each",
         [](TkbzWSExtensions& e) {
             EnablePerMessage(e);
             e.DeflateFrame().SetEnabled(true);
         },
         {"Sec-WebSocket-Extensions: permessage-deflate; client_max_window_bits",
          "Sec-WebSocket-Extensions: x-webkit-deflate-frame"}},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        TkbzWSExtensions e;
        e.SetMode(TwsApplicationMode::appClient);
        c.setup(e);
        std::vector<std::string> lines;
        e.WriteHeader(lines);
        EXPECT_EQ(lines, c.lines);
        EXPECT_FALSE(e.ExtensionNegotiated()); // offering agrees nothing yet
    }
}

TEST(kbzWebSocket_Extensions, ServerAnswersOffers)
{
    struct Case
    {
        const char* name;
        Configure setup; // on top of both extensions enabled
        std::string offer;
        std::vector<std::string> answer;
        std::vector<std::string> list;
        std::optional<Agreed> agreed;
    };
    const Configure none = [](TkbzWSExtensions&) {};
    const std::string pmd = "Sec-WebSocket-Extensions: permessage-deflate";
    const std::vector<std::string> active = {"permessage-deflate"};
    const std::vector<Case> cases = {
        {"bare client window",
         none,
         "permessage-deflate; client_max_window_bits",
         {pmd + ";client_max_window_bits=15"},
         active,
         Agreed{15, false, 15, false}},
        {"no parameters", none, "permessage-deflate", {pmd}, active, Agreed{15, false, 15, false}},
        {"every parameter, answered in offer order",
         none,
         "permessage-deflate; client_max_window_bits=10; server_max_window_bits=12; "
         "client_no_context_takeover; server_no_context_takeover",
         {pmd + ";client_max_window_bits=10;server_max_window_bits=12;"
                "client_no_context_takeover;server_no_context_takeover"},
         active,
         Agreed{12, true, 10, true}},
        {"quoted value",
         none,
         "permessage-deflate; client_max_window_bits=\"9\"",
         {pmd + ";client_max_window_bits=9"},
         active,
         Agreed{15, false, 9, false}},
        {"name in another case", none, "PerMessage-Deflate", {pmd}, active, std::nullopt},
        {"other extension name", none, "x-permessage-deflate", {}, {}, std::nullopt},
        {"unknown parameter declines", none, "permessage-deflate; mux", {}, {}, std::nullopt},
        {"parameter name is case-sensitive",
         none,
         "permessage-deflate; Server_No_Context_Takeover",
         {},
         {},
         std::nullopt},
        {"repeated parameter declines",
         none,
         "permessage-deflate; server_no_context_takeover; server_no_context_takeover",
         {},
         {},
         std::nullopt},
        {"repeated window declines",
         none,
         "permessage-deflate; client_max_window_bits=10; client_max_window_bits",
         {},
         {},
         std::nullopt},
        {"window 16 declines, next offer taken",
         none,
         "permessage-deflate; client_max_window_bits=16, permessage-deflate; "
         "client_max_window_bits",
         {pmd + ";client_max_window_bits=15"},
         active,
         Agreed{15, false, 15, false}},
        {"window 7 declines",
         none,
         "permessage-deflate; server_max_window_bits=7",
         {},
         {},
         std::nullopt},
        {"server window without value declines",
         none,
         "permessage-deflate; server_max_window_bits",
         {},
         {},
         std::nullopt},
        {"window not a number declines",
         none,
         "permessage-deflate; server_max_window_bits=abc",
         {},
         {},
         std::nullopt},
        {"flag with a value declines",
         none,
         "permessage-deflate; server_no_context_takeover=1",
         {},
         {},
         std::nullopt},
        {"our no-context settings are announced",
         [](TkbzWSExtensions& e) {
             e.PerMessage_Deflate().SetServerNoContextTakeOver(true);
             e.PerMessage_Deflate().SetClientNoContextTakeOver(true);
         },
         "permessage-deflate; client_max_window_bits",
         {pmd + ";client_max_window_bits=15;server_no_context_takeover;client_no_context_takeover"},
         active,
         Agreed{15, true, 15, true}},
        {"our client window limits a bare offer",
         [](TkbzWSExtensions& e) { e.PerMessage_Deflate().SetClientMaxWindowBits(10); },
         "permessage-deflate; client_max_window_bits",
         {pmd + ";client_max_window_bits=10"},
         active,
         Agreed{15, false, 10, false}},
        {"client window cannot be limited unless offered",
         [](TkbzWSExtensions& e) { e.PerMessage_Deflate().SetClientMaxWindowBits(10); },
         "permessage-deflate",
         {pmd},
         active,
         Agreed{15, false, 15, false}},
        {"smaller offered client window wins",
         [](TkbzWSExtensions& e) { e.PerMessage_Deflate().SetClientMaxWindowBits(12); },
         "permessage-deflate; client_max_window_bits=9",
         {pmd + ";client_max_window_bits=9"},
         active,
         Agreed{15, false, 9, false}},
        {"our smaller server window wins",
         [](TkbzWSExtensions& e) { e.PerMessage_Deflate().SetServerMaxWindowBits(10); },
         "permessage-deflate; server_max_window_bits=12",
         {pmd + ";server_max_window_bits=10"},
         active,
         Agreed{10, false, 15, false}},
        {"our server window announced unasked",
         [](TkbzWSExtensions& e) { e.PerMessage_Deflate().SetServerMaxWindowBits(11); },
         "permessage-deflate",
         {pmd + ";server_max_window_bits=11"},
         active,
         Agreed{11, false, 15, false}},
        {"deflate-frame then permessage-deflate: only permessage-deflate",
         none,
         "x-webkit-deflate-frame, permessage-deflate",
         {pmd},
         active,
         std::nullopt},
        {"deflate-frame alone",
         none,
         "x-webkit-deflate-frame; no_context_takeover",
         {"Sec-WebSocket-Extensions: x-webkit-deflate-frame"},
         {"x-webkit-deflate-frame"},
         std::nullopt},
        {"permessage-deflate not enabled",
         [](TkbzWSExtensions& e) { e.PerMessage_Deflate().SetEnabled(false); },
         "permessage-deflate",
         {},
         {},
         std::nullopt},
        {"no offer", none, "", {}, {}, std::nullopt},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        TkbzWSExtensions server;
        server.SetMode(TwsApplicationMode::appServer);
        server.PerMessage_Deflate().SetEnabled(true);
        server.DeflateFrame().SetEnabled(true);
        c.setup(server);
        server.DecodeExtensions(c.offer);
        std::vector<std::string> lines;
        server.WriteHeader(lines);
        EXPECT_EQ(lines, c.answer);
        EXPECT_EQ(server.List(), c.list);
        EXPECT_EQ(server.ExtensionNegotiated(), !c.list.empty());
        EXPECT_EQ(server.Compression(), !c.list.empty());
        if (c.agreed)
        {
            ExpectAgreed(server, *c.agreed);
        }
    }
}

TEST(kbzWebSocket_Extensions, ClientReadsAnswers)
{
    struct Case
    {
        const char* name;
        Configure setup; // on top of permessage-deflate enabled
        std::string answer;
        std::vector<std::string> list;
        std::optional<Agreed> agreed;
        std::string error; // "Class: message" when the handshake must fail
    };
    const Configure none = [](TkbzWSExtensions&) {};
    const std::vector<std::string> active = {"permessage-deflate"};
    const std::vector<Case> cases = {
        {"our own server's answer", none, "permessage-deflate;client_max_window_bits=15", active,
         Agreed{15, false, 15, false}, ""},
        {"windows with blanks", none,
         "permessage-deflate; server_max_window_bits=10; client_max_window_bits=12", active,
         Agreed{10, false, 12, false}, ""},
        {"our smaller window stays",
         [](TkbzWSExtensions& e) { e.PerMessage_Deflate().SetClientMaxWindowBits(10); },
         "permessage-deflate; client_max_window_bits=12", active, Agreed{15, false, 10, false}, ""},
        {"server context kept unless answered",
         [](TkbzWSExtensions& e) {
             e.PerMessage_Deflate().SetServerNoContextTakeOver(true);
             e.PerMessage_Deflate().SetServerMaxWindowBits(10);
         },
         "permessage-deflate", active, Agreed{15, false, 15, false}, ""},
        {"both no context takeover", none,
         "permessage-deflate; client_no_context_takeover; server_no_context_takeover", active,
         Agreed{15, true, 15, true}, ""},
        {"client window 16",
         none,
         "permessage-deflate; client_max_window_bits=16",
         {},
         std::nullopt,
         "TkbzWSException: Invalid Value for WindowBits 16"},
        {"server window 7",
         none,
         "permessage-deflate; server_max_window_bits=7",
         {},
         std::nullopt,
         "TkbzWSException: Invalid Value for WindowBits 7"},
        {"window not a number",
         none,
         "permessage-deflate; server_max_window_bits=abc",
         {},
         std::nullopt,
         "EConvertError: 'abc' is not a valid integer value"},
        {"no answer", none, "", {}, std::nullopt, ""},
        {"deflate-frame answered",
         [](TkbzWSExtensions& e) { e.DeflateFrame().SetEnabled(true); },
         "x-webkit-deflate-frame",
         {"x-webkit-deflate-frame"},
         std::nullopt,
         ""},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        TkbzWSExtensions client;
        client.SetMode(TwsApplicationMode::appClient);
        client.PerMessage_Deflate().SetEnabled(true);
        c.setup(client);
        std::string error;
        try
        {
            client.DecodeExtensions(c.answer);
        }
        catch (const Exception& e)
        {
            error = e.ClassName() + ": " + e.Message();
        }
        EXPECT_EQ(error, c.error);
        EXPECT_EQ(client.List(), c.list);
        if (c.agreed)
        {
            ExpectAgreed(client, *c.agreed);
        }
    }
}

TEST(kbzWebSocket_Extensions, WindowBitsSetters)
{
    TkbzWSExtension_PerMessage_Deflate pmd;
    TkbzWSExtension_DeflateFrame frame;
    const std::vector<std::pair<const char*, std::function<void(int)>>> setters = {
        {"ServerMaxWindowBits", [&](int v) { pmd.SetServerMaxWindowBits(v); }},
        {"ClientMaxWindowBits", [&](int v) { pmd.SetClientMaxWindowBits(v); }},
        {"WindowBits", [&](int v) { frame.SetWindowBits(v); }},
    };
    for (const auto& [name, set] : setters)
    {
        for (int value : {-1, 0, 7, 8, 15, 16})
        {
            SCOPED_TRACE(std::string(name) + " " + std::to_string(value));
            std::string error;
            try
            {
                set(value);
            }
            catch (const EArgumentException& e)
            {
                error = e.Message();
            }
            EXPECT_EQ(error, value >= 8 && value <= 15
                                 ? ""
                                 : "Invalid Value for WindowBits " + std::to_string(value));
        }
    }
    EXPECT_EQ(pmd.GetServerMaxWindowBits(), 15); // the last valid value stays
    EXPECT_EQ(frame.GetWindowBits(), 15);
}

TEST(kbzWebSocket_Extensions, AssignCopiesSettingsNotNegotiation)
{
    TkbzWSExtensions component;
    component.SetMode(TwsApplicationMode::appServer);
    component.SetMaxMessageSize(4096);
    auto& p = component.PerMessage_Deflate();
    p.SetEnabled(true);
    p.SetServerMaxWindowBits(11);
    p.SetClientMaxWindowBits(12);
    p.SetServerNoContextTakeOver(true);
    p.SetMemLevel(3);
    component.DeflateFrame().SetEnabled(true);
    component.DeflateFrame().SetWindowBits(9);

    TkbzWSExtensions connection;
    connection.DecodeExtensions("x-webkit-deflate-frame"); // stale state from an earlier use
    connection.Assign(component);
    EXPECT_EQ(connection.GetMode(), TwsApplicationMode::appServer);
    EXPECT_EQ(connection.PerMessage_Deflate().GetMode(), TwsApplicationMode::appServer);
    EXPECT_EQ(connection.GetMaxMessageSize(), 4096);
    EXPECT_TRUE(connection.PerMessage_Deflate().GetEnabled());
    ExpectAgreed(connection, Agreed{11, true, 12, false});
    EXPECT_EQ(connection.PerMessage_Deflate().GetMemLevel(), 9); // not copied
    EXPECT_TRUE(connection.DeflateFrame().GetEnabled());
    EXPECT_EQ(connection.DeflateFrame().GetWindowBits(), 9);
    EXPECT_FALSE(connection.ExtensionNegotiated());
    EXPECT_TRUE(connection.List().empty());

    // Negotiating on the copy leaves the component's settings alone.
    connection.DecodeExtensions("permessage-deflate; server_max_window_bits=9");
    EXPECT_EQ(connection.PerMessage_Deflate().GetServerMaxWindowBits(), 9);
    EXPECT_EQ(p.GetServerMaxWindowBits(), 11);
    EXPECT_FALSE(p.GetActive());
}

// ---- RSV1 -------------------------------------------------------------------------------------

TEST(kbzWebSocket_Extensions, Rsv1MarksDataMessagesOnly)
{
    Peers peers(EnablePerMessage, EnablePerMessage);
    struct Case
    {
        std::uint8_t in;
        std::uint8_t out;
    };
    for (const Case& c : std::vector<Case>{{0x81, 0xC1},  // text
                                           {0x02, 0x42},  // binary, first of several
                                           {0x00, 0x00},  // continuation
                                           {0x80, 0x80},  // last continuation
                                           {0x89, 0x89},  // ping
                                           {0x88, 0x88}}) // close
    {
        SCOPED_TRACE(c.in);
        std::uint8_t b = c.in;
        peers.client.EncodeHeader(b);
        EXPECT_EQ(b, c.out);
    }

    // Without an agreement nothing is marked.
    TkbzWSExtensions plain;
    std::uint8_t b = 0x81;
    plain.EncodeHeader(b);
    EXPECT_EQ(b, 0x81);
    EXPECT_FALSE(plain.WillCompress());

    // The record of a compressed message survives control frames and continuations between
    // its fragments; the next data message replaces it.
    auto& rx = peers.server;
    rx.DecodeHeader(0x41); // compressed text, more to come
    EXPECT_TRUE(rx.MessageCompressed());
    rx.DecodeHeader(0x89); // ping
    rx.DecodeHeader(0x8A); // pong
    rx.DecodeHeader(0x00); // continuation
    EXPECT_TRUE(rx.MessageCompressed());
    rx.DecodeHeader(0x82); // uncompressed binary
    EXPECT_FALSE(rx.MessageCompressed());
}

TEST(kbzWebSocket_Extensions, UnmarkedAndEmptyMessagesPassUnchanged)
{
    Peers peers(EnablePerMessage, EnablePerMessage);
    // A message that arrives with RSV1 clear is delivered as it came.
    TBytes plain = ToBytes("not compressed at all");
    peers.server.DecodeHeader(0x81);
    peers.server.ReadStream(plain);
    EXPECT_EQ(plain, ToBytes("not compressed at all"));

    // An empty message goes out marked, as one empty stored block, between other messages too;
    // an empty marked payload, which some peers send, reads back empty as well.
    for (int i = 0; i < 3; ++i)
    {
        SCOPED_TRACE(i);
        TBytes wire;
        bool rsv1 = false;
        EXPECT_TRUE(Transfer(peers.client, peers.server, {}, &wire, &rsv1).empty());
        EXPECT_TRUE(rsv1);
        EXPECT_EQ(wire, TBytes{0x00});
        EXPECT_EQ(Transfer(peers.client, peers.server, ToBytes("between")), ToBytes("between"));
    }
    TBytes empty;
    peers.server.ReadStream(empty, true);
    EXPECT_TRUE(empty.empty());
    EXPECT_EQ(Transfer(peers.client, peers.server, ToBytes("after")), ToBytes("after"));
}

TEST(kbzWebSocket_Extensions, WindowOf8BitsSendsUncompressed)
{
    // zlib cannot compress raw deflate with a 256-byte window, so a side held to 8 bits sends
    // its messages plain, RSV1 clear; the other direction still compresses.
    Peers peers(
        [](TkbzWSExtensions& e) {
            EnablePerMessage(e);
            e.PerMessage_Deflate().SetClientMaxWindowBits(8);
            e.PerMessage_Deflate().SetServerMaxWindowBits(8);
        },
        EnablePerMessage);
    EXPECT_EQ(peers.answer, std::vector<std::string>{"Sec-WebSocket-Extensions: permessage-deflate;"
                                                     "client_max_window_bits=8;"
                                                     "server_max_window_bits=8"});
    const TBytes message = JsonText(3000, 1);
    for (auto* from : {&peers.client, &peers.server})
    {
        auto* to = from == &peers.client ? &peers.server : &peers.client;
        TBytes wire;
        bool rsv1 = true;
        EXPECT_EQ(Transfer(*from, *to, message, &wire, &rsv1), message);
        EXPECT_FALSE(rsv1);
        EXPECT_EQ(wire, message);
        EXPECT_FALSE(from->WillCompress());
    }
}

// ---- Round trips --------------------------------------------------------------------------------

struct RoundTripCase
{
    const char* name;
    int clientBits;
    int serverBits;
    bool clientNoContext;
    bool serverNoContext;
    bool deflateFrame; // x-webkit-deflate-frame instead of permessage-deflate (serverBits used)
};

class kbzWebSocket_Extensions_RoundTrip : public testing::TestWithParam<RoundTripCase>
{};

TEST_P(kbzWebSocket_Extensions_RoundTrip, BothDirections)
{
    const RoundTripCase& c = GetParam();
    const Configure setup = [&c](TkbzWSExtensions& e) {
        if (c.deflateFrame)
        {
            e.DeflateFrame().SetEnabled(true);
            e.DeflateFrame().SetWindowBits(c.serverBits);
            return;
        }
        EnablePerMessage(e);
        auto& p = e.PerMessage_Deflate();
        p.SetClientMaxWindowBits(c.clientBits);
        p.SetServerMaxWindowBits(c.serverBits);
        p.SetClientNoContextTakeOver(c.clientNoContext);
        p.SetServerNoContextTakeOver(c.serverNoContext);
    };
    Peers peers(setup, setup);
    ASSERT_TRUE(peers.client.Compression());
    ASSERT_TRUE(peers.server.Compression());

    const std::vector<TBytes> messages = {
        {},
        ToBytes("x"),
        JsonText(1024, 2),
        JsonText(1024, 2), // the same again: refers back to the previous one
        RandomBytes(1024, 3),
        JsonText(1 << 20, 4),
        RandomBytes(1 << 20, 5),
        JsonText(700, 6),
        JsonText(700, 6),
    };
    struct Direction
    {
        TkbzWSExtensions* from;
        TkbzWSExtensions* to;
        int bits;
    };
    const int clientBits = c.deflateFrame ? c.serverBits : c.clientBits;
    for (const Direction& d : {Direction{&peers.client, &peers.server, clientBits},
                               Direction{&peers.server, &peers.client, c.serverBits}})
    {
        SCOPED_TRACE(d.from == &peers.client ? "client to server" : "server to client");
        // A plain zlib inflater with exactly the agreed window proves the compressor kept to it.
        RefInflater reference(d.bits);
        for (std::size_t i = 0; i < messages.size(); ++i)
        {
            SCOPED_TRACE("message " + std::to_string(i));
            TBytes wire;
            bool rsv1 = false;
            EXPECT_EQ(Transfer(*d.from, *d.to, messages[i], &wire, &rsv1), messages[i]);
            EXPECT_TRUE(rsv1);
            EXPECT_EQ(reference.Message(wire), messages[i]);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Configurations, kbzWebSocket_Extensions_RoundTrip,
    testing::Values(RoundTripCase{"defaults", 15, 15, false, false, false},
                    RoundTripCase{"client_no_context", 15, 15, true, false, false},
                    RoundTripCase{"server_no_context", 15, 15, false, true, false},
                    RoundTripCase{"no_context", 15, 15, true, true, false},
                    RoundTripCase{"bits9", 9, 9, false, false, false},
                    RoundTripCase{"bits10", 10, 10, false, true, false},
                    RoundTripCase{"bits11", 11, 11, true, false, false},
                    RoundTripCase{"bits12", 12, 12, false, false, false},
                    RoundTripCase{"bits13", 13, 13, false, false, false},
                    RoundTripCase{"bits14", 14, 14, false, false, false},
                    RoundTripCase{"client9_server15", 9, 15, false, false, false},
                    RoundTripCase{"client15_server9", 15, 9, true, false, false},
                    RoundTripCase{"client12_server10", 12, 10, false, false, false},
                    RoundTripCase{"deflate_frame", 15, 15, false, false, true},
                    RoundTripCase{"deflate_frame_bits9", 15, 9, false, false, true}),
    [](const testing::TestParamInfo<RoundTripCase>& p) { return p.param.name; });

TEST(kbzWebSocket_Extensions, ContextTakeoverShrinksRepeats)
{
    struct Case
    {
        const char* name;
        Configure client;
        Configure server;
        bool fromClient;
        bool takeover;
    };
    const Configure none = EnablePerMessage;
    const std::vector<Case> cases = {
        {"client keeps context", none, none, true, true},
        {"server keeps context", none, none, false, true},
        {"client without context",
         [](TkbzWSExtensions& e) {
             EnablePerMessage(e);
             e.PerMessage_Deflate().SetClientNoContextTakeOver(true);
         },
         none, true, false},
        {"server without context (asked by the client)",
         [](TkbzWSExtensions& e) {
             EnablePerMessage(e);
             e.PerMessage_Deflate().SetServerNoContextTakeOver(true);
         },
         none, false, false},
        {"client without context (asked by the server)", none,
         [](TkbzWSExtensions& e) {
             EnablePerMessage(e);
             e.PerMessage_Deflate().SetClientNoContextTakeOver(true);
         },
         true, false},
    };
    const TBytes message = JsonText(400, 7);
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        Peers peers(c.client, c.server);
        auto& from = c.fromClient ? peers.client : peers.server;
        auto& to = c.fromClient ? peers.server : peers.client;
        TBytes first;
        TBytes second;
        EXPECT_EQ(Transfer(from, to, message, &first), message);
        EXPECT_EQ(Transfer(from, to, message, &second), message);
        if (c.takeover)
        {
            EXPECT_LT(second.size(), first.size());
        }
        else
        {
            EXPECT_EQ(second, first);
        }
    }
}

TEST(kbzWebSocket_Extensions, CompressAndReadOnTwoThreads)
{
    // Each side compresses on one thread while it decompresses on another, as a connection's
    // writer and reader do.
    Peers peers(EnablePerMessage, EnablePerMessage);
    auto pump = [](TkbzWSExtensions& from, TkbzWSExtensions& to, std::uint32_t seed) {
        int mismatches = 0;
        for (std::uint32_t i = 0; i < 200; ++i)
        {
            const TBytes message = JsonText(200 + (i * 37) % 3000, seed + i);
            TBytes payload = message;
            std::uint8_t first = 0x82;
            if (from.WriteStream(payload))
            {
                first |= 0x40;
            }
            to.ReadStream(payload, (first & 0x40) != 0);
            mismatches += payload != message ? 1 : 0;
        }
        return mismatches;
    };
    int up = -1;
    int down = -1;
    {
        std::jthread a([&] { up = pump(peers.client, peers.server, 100); });
        std::jthread b([&] { down = pump(peers.server, peers.client, 900); });
    }
    EXPECT_EQ(up, 0);
    EXPECT_EQ(down, 0);
}

// ---- Hostile and broken input -----------------------------------------------------------------

TEST(kbzWebSocket_Extensions, DecompressionIsCapped)
{
    struct Case
    {
        const char* name;
        std::int64_t cap;
        TBytes plain;
        bool fails;
    };
    const std::vector<Case> cases = {
        {"exactly the cap", 1000, JsonText(1000, 8), false},
        {"one byte over", 1000, JsonText(1001, 8), true},
        {"16 MiB of zeros against 1 MiB", 1 << 20, TBytes(16 << 20, 0), true},
        {"no cap", 0, TBytes(3 << 20, 'a'), false},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        TkbzWSExtensions client;
        client.SetMode(TwsApplicationMode::appClient);
        EnablePerMessage(client);
        client.DecodeExtensions("permessage-deflate");
        client.SetMaxMessageSize(c.cap);
        RefDeflater deflater(15, 9);
        TBytes data = deflater.Compress(c.plain, Z_SYNC_FLUSH, 4);
        const TBytes wire = data;
        const auto error = CompressionErrorOf([&] { client.ReadStream(data, true); });
        if (c.fails)
        {
            ASSERT_TRUE(error.has_value());
            EXPECT_EQ(error->CloseCode(), 1009);
            EXPECT_EQ(data, wire); // left as it came
        }
        else
        {
            EXPECT_FALSE(error.has_value()) << error->Message();
            EXPECT_EQ(data, c.plain);
        }
    }
}

TEST(kbzWebSocket_Extensions, DecompressedMessagesTakeTheirSizeFromTheBudget)
{
    auto budget = std::make_shared<detail::ByteBudget>(1 << 20);
    detail::ByteBudgetShare share;
    share.SetBudget(budget);
    TkbzWSExtensions client;
    client.SetMode(TwsApplicationMode::appClient);
    EnablePerMessage(client);
    client.DecodeExtensions("permessage-deflate");
    client.SetInflateBudget(&share);
    RefDeflater deflater(15, 9);
    // Small and large messages (the large ones are counted before their buffer exists).
    for (const std::size_t size : {std::size_t{1000}, std::size_t{512} << 10})
    {
        SCOPED_TRACE(size);
        const TBytes plain = JsonText(size, 3);
        TBytes data = deflater.Compress(plain, Z_SYNC_FLUSH, 4);
        client.ReadStream(data, true);
        EXPECT_EQ(data, plain);
        EXPECT_EQ(share.Held(), size);
        share.ReleaseAll();
        EXPECT_EQ(budget->Used(), 0u);
    }
    // What the budget cannot hold fails as too big, whatever the message size limit says.
    TBytes data = deflater.Compress(TBytes(2 << 20, 'z'), Z_SYNC_FLUSH, 4);
    const TBytes wire = data;
    const auto error = CompressionErrorOf([&] { client.ReadStream(data, true); });
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(error->CloseCode(), 1009);
    EXPECT_EQ(data, wire);
    EXPECT_EQ(budget->Used(), 0u);
}

TEST(kbzWebSocket_Extensions, BrokenCompressedDataFailsWith1007)
{
    RefDeflater deflater(15);
    const TBytes plain = JsonText(600, 9);
    const TBytes good = deflater.Compress(plain, Z_SYNC_FLUSH, 4);
    RefDeflater finisher(15);
    TBytes trailing = finisher.Compress(plain, Z_FINISH, 0);
    trailing.insert(trailing.end(), {0x01, 0x02, 0x03, 0x04, 0x05});

    std::vector<std::pair<std::string, TBytes>> cases = {
        {"not deflate data", {0xFF, 0xFF, 0xFF, 0xFF}},
        {"reserved block type", {0x07, 0x00}},
        {"bytes after the final block", trailing},
    };
    // Cut short anywhere, the message must not be delivered truncated.
    for (std::size_t n = 1; n < good.size(); ++n)
    {
        cases.emplace_back("first " + std::to_string(n) + " of " + std::to_string(good.size()),
                           TBytes(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(n)));
    }
    for (const auto& [name, bytes] : cases)
    {
        SCOPED_TRACE(name);
        TkbzWSExtensions client;
        client.SetMode(TwsApplicationMode::appClient);
        EnablePerMessage(client);
        client.DecodeExtensions("permessage-deflate");
        TBytes data = bytes;
        const auto error = CompressionErrorOf([&] { client.ReadStream(data, true); });
        ASSERT_TRUE(error.has_value());
        EXPECT_EQ(error->CloseCode(), 1007);
        EXPECT_EQ(error->ClassName(), "ECompressionError");
    }

    // The whole message is fine.
    TkbzWSExtensions client;
    client.SetMode(TwsApplicationMode::appClient);
    EnablePerMessage(client);
    client.DecodeExtensions("permessage-deflate");
    TBytes data = good;
    client.ReadStream(data, true);
    EXPECT_EQ(data, plain);
}

// ---- Output of other deflaters ------------------------------------------------------------------

// How the sending side built its messages.
enum class Sender
{
    OneStream,        // one stream kept open, sync flush per message, 00 00 FF FF dropped
    FreshStream,      // a new stream per message, no shared history
    PrimedDictionary, // a new stream per message primed with the earlier plaintext
    FinalBlockPrimed, // as above but ended with Z_FINISH, final block kept
};

TEST(kbzWebSocket_Extensions, InflatesOtherDeflaters)
{
    const std::vector<TBytes> messages = {JsonText(300, 10),   JsonText(300, 10),
                                          JsonText(5000, 11),  ToBytes("z"),
                                          JsonText(40000, 12), JsonText(300, 10)};
    for (int bits = 9; bits <= 15; ++bits)
    {
        for (Sender sender : {Sender::OneStream, Sender::FreshStream, Sender::PrimedDictionary,
                              Sender::FinalBlockPrimed})
        {
            SCOPED_TRACE("window " + std::to_string(bits) + " sender " +
                         std::to_string(static_cast<int>(sender)));
            const bool shared = sender != Sender::FreshStream;
            TkbzWSExtensions client;
            client.SetMode(TwsApplicationMode::appClient);
            EnablePerMessage(client);
            client.DecodeExtensions(
                "permessage-deflate; server_max_window_bits=" + std::to_string(bits) +
                (shared ? "" : "; server_no_context_takeover"));
            RefDeflater one(bits);
            TBytes history;
            for (std::size_t i = 0; i < messages.size(); ++i)
            {
                SCOPED_TRACE("message " + std::to_string(i));
                TBytes wire;
                if (sender == Sender::OneStream)
                {
                    wire = one.Compress(messages[i], Z_SYNC_FLUSH, 4);
                }
                else
                {
                    RefDeflater fresh(bits);
                    if (sender != Sender::FreshStream && !history.empty())
                    {
                        fresh.SetDictionary(history);
                    }
                    wire = sender == Sender::FinalBlockPrimed
                               ? fresh.Compress(messages[i], Z_FINISH, 0)
                               : fresh.Compress(messages[i], Z_SYNC_FLUSH, 4);
                }
                history.insert(history.end(), messages[i].begin(), messages[i].end());
                client.DecodeHeader(0xC2);
                client.ReadStream(wire);
                EXPECT_EQ(wire, messages[i]);
            }
        }
    }
}
