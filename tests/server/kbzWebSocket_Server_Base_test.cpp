// The server's first-request gathering, opening handshake and authentication,
// driven over in-memory channel pairs with the wire bytes a peer sends.
#include "server/kbzWebSocket_Server_Base.h"
#include "tests/server/kbzServerHarness.h"
#include "tests/support/kbzTestProcess.h"
#include "websocket/kbzWebSocket_Codec.h"

#include <gtest/gtest.h>
#include <thread>

using namespace kbz;
using namespace kbz::test;

namespace
{

const std::string kRFCRequest = "GET /chat HTTP/1.1\r\n"
                                "Host: server.example.com\r\n"
                                "Upgrade: websocket\r\n"
                                "Connection: Upgrade\r\n"
                                "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
                                "Origin: http://example.com\r\n"
                                "Sec-WebSocket-Version: 13\r\n"
                                "\r\n";

const std::string kRFCAnswer = "HTTP/1.1 101 Switching Protocols\r\n"
                               "Upgrade: websocket\r\n"
                               "Connection: Upgrade\r\n"
                               "Sec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n"
                               "Server: " +
                               std::string(kbzServerSoftware) + "\r\n\r\n";

// The draft's example: head, then the 8 key bytes.
const std::string kHixieRequest = "GET /demo HTTP/1.1\r\n"
                                  "Host: example.com\r\n"
                                  "Connection: Upgrade\r\n"
                                  "Sec-WebSocket-Key2: 12998 5 Y3 1  .P00\r\n"
                                  "Sec-WebSocket-Protocol: sample\r\n"
                                  "Upgrade: WebSocket\r\n"
                                  "Sec-WebSocket-Key1: 4 @1  46546xW%0l 1 5\r\n"
                                  "Origin: http://example.com\r\n"
                                  "\r\n"
                                  "^n:ds[4U";

std::string HixieAnswer(const std::string& scheme)
{
    return "HTTP/1.1 101 WebSocket Protocol Handshake\r\n"
           "Upgrade: WebSocket\r\n"
           "Connection: Upgrade\r\n"
           "Sec-WebSocket-Origin: http://example.com\r\n"
           "Sec-WebSocket-Location: " +
           scheme +
           "://example.com/demo\r\n"
           "Sec-WebSocket-Protocol: sample\r\n"
           "Server: " +
           std::string(kbzServerSoftware) +
           "\r\n"
           "\r\n"
           "8jKS'y:G*Co,Wxa-";
}

std::string Replace(std::string text, const std::string& from, const std::string& to)
{
    const std::size_t at = text.find(from);
    if (at != std::string::npos)
    {
        text.replace(at, from.size(), to);
    }
    return text;
}

std::string MaskedText(std::string_view text)
{
    const auto frame = kbzBuildFrame(TOpcode::opText, kbzAsBytes(text), true, true, false);
    return std::string(frame.begin(), frame.end());
}

} // namespace

// ---- The first request ----

TEST(ServerRequestHead, ClassifiedHoweverTheHeadIsCut)
{
    // What the server makes of a first request, sent whole, split in two at
    // every byte and byte by byte: the upgrade is answered, a Hixie-76 head
    // keeps its 8 key bytes, a policy request gets the policy, and bad heads
    // get their status before the connection closes.
    struct Case
    {
        const char* name;
        std::string bytes;
        std::string answerStart;
        bool flash;
    };
    const std::vector<Case> cases = {
        {"upgrade", kRFCRequest, kRFCAnswer, false},
        {"Hixie-76 with key bytes", kHixieRequest, "HTTP/1.1 101 WebSocket Protocol Handshake\r\n",
         false},
        {"policy request", std::string("<policy-file-request/>\0", 23),
         "<cross-domain-policy><allow-access-from domain=\"*\" to-ports=\"*\" />", true},
        {"malformed field", "GET / HTTP/1.1\r\nBad Name: x\r\n\r\n", "HTTP/1.1 400 Bad Request\r\n",
         false},
        {"another HTTP version", "GET / HTTP/2.0\r\n\r\n",
         "HTTP/1.1 505 HTTP Version Not Supported\r\n", false},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        std::vector<std::vector<std::string>> cuts = {{c.bytes}};
        for (std::size_t at = 1; at < c.bytes.size(); at += c.bytes.size() / 7 + 1)
        {
            cuts.push_back({c.bytes.substr(0, at), c.bytes.substr(at)});
        }
        std::vector<std::string> bytewise;
        for (char ch : c.bytes)
        {
            bytewise.emplace_back(1, ch);
        }
        cuts.push_back(bytewise);
        for (const auto& cut : cuts)
        {
            SCOPED_TRACE(cut.size());
            RecordingServer rs;
            rs.server.FallBack().Flash.Enabled = c.flash;
            rs.server.RegisterProtocol("sample");
            MemoryPeer p(rs.server);
            // The in-memory channel hands out one piece per read.
            p.SendCut(cut);
            p.RunUntil(
                [&] { return p.connection->FRequestHandled && !p.connection->AwaitingKey3(); });
            const std::string sent = p.Read(c.answerStart.size());
            ASSERT_EQ(sent, c.answerStart);
        }
    }
}

// ---- Pure handshake parts ----

TEST(ServerHandshake, Hixie76AnswersOfTheDraft)
{
    struct Case
    {
        std::string key1, key2, key3, answer;
    };
    const std::vector<Case> cases = {
        {"4 @1  46546xW%0l 1 5", "12998 5 Y3 1  .P00", "^n:ds[4U", "8jKS'y:G*Co,Wxa-"},
        {"18x 6]8vM;54 *(5:  {   U1]8  z [  8", "1_ tx7X d  <  nw  334J702) 7]o}` 0", "Tm[K T2u",
         "fQJ,fN/4F4!~K~MH"},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.key1);
        const auto answer = kbzHixie76Answer(c.key1, c.key2, kbzAsBytes(c.key3));
        EXPECT_EQ(std::string(answer.begin(), answer.end()), c.answer);
    }
    EXPECT_THROW(
        {
            try
            {
                kbzHixie76KeyNumber("12345");
            }
            catch (const TkbzWSException& e)
            {
                EXPECT_STREQ(e.what(), "Error decoding sec-webSocket-key.");
                throw;
            }
        },
        TkbzWSException);
}

TEST(ServerHandshake, SubprotocolSelection)
{
    struct Case
    {
        const char* requested;
        const char* registered;
        const char* selected; // nullptr: refused
    };
    const std::vector<Case> cases = {
        {"", "", ""},
        {"", "chat", ""},
        {"superchat,chat", "chat,superchat", "superchat"},
        {"chat2, superchat", "chat,superchat", "superchat"}, // browsers write ", "
        {"SuperChat", "chat, superchat", "SuperChat"},       // as the request wrote it
        {"chat", "", nullptr},
        {"chat2", "chat", nullptr},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(std::string(c.requested) + " / " + c.registered);
        if (c.selected)
        {
            EXPECT_EQ(kbzSelectProtocol(c.requested, c.registered), c.selected);
        }
        else
        {
            EXPECT_THROW(kbzSelectProtocol(c.requested, c.registered), TkbzWSException);
        }
    }
    try
    {
        kbzSelectProtocol("chat", "");
        FAIL();
    }
    catch (const TkbzWSException& e)
    {
        EXPECT_STREQ(e.what(), "Error Protocol: chat\n not supported.");
    }
}

TEST(ServerHandshake, OriginsAndSecrets)
{
    EXPECT_TRUE(kbzOriginAllowed("http://a.example.com", ""));
    EXPECT_TRUE(kbzOriginAllowed("", "http://*.example.com"));
    EXPECT_TRUE(kbzOriginAllowed("http://A.example.com", "http://b.org, http://*.example.com"));
    EXPECT_FALSE(kbzOriginAllowed("http://evil.org", "http://*.example.com"));

    EXPECT_TRUE(kbzSameSecret("p:a:ss", "p:a:ss"));
    EXPECT_TRUE(kbzSameSecret("", ""));
    EXPECT_FALSE(kbzSameSecret("p:a:ss", "p:a:sS"));
    EXPECT_FALSE(kbzSameSecret("pass", "pass "));
}

TEST(ServerHandshake, SameOrigin)
{
    struct Case
    {
        const char* origin;
        const char* host;
        bool tls;
        bool same;
    };
    const Case cases[] = {
        {"http://127.0.0.1:8080", "127.0.0.1:8080", false, true},
        {"HTTP://LOCALHOST:8080", "localhost:8080", false, true},
        {"http://[::1]:8080", "[::1]:8080", false, true},
        {"http://[::1]", "[::1]:80", false, true},
        {"http://127.0.0.1", "127.0.0.1:80", false, true},
        {"https://127.0.0.1", "127.0.0.1:443", true, true},
        {"http://myhost:8080", "MyHost:8080", false, true}, // the machine's own name
        {"https://127.0.0.1:8080", "127.0.0.1:8080", false, false},
        {"http://127.0.0.1:8080", "127.0.0.1:8080", true, false},
        {"http://127.0.0.1:8081", "127.0.0.1:8080", false, false},
        {"http://127.0.0.1", "127.0.0.1:8080", false, false},
        {"http://localhost:8080", "127.0.0.1:8080", false, false},
        {"http://evil.example:8080", "evil.example:8080", false, false}, // a rebound name
        {"http://127.0.0.1:8080/page", "127.0.0.1:8080", false, false},
        {"http://127.0.0.1:8080", "", false, false},
        {"http://127.0.0.1:", "127.0.0.1:", false, false},
        {"http://127.0.0.1:99999", "127.0.0.1:99999", false, false},
        {"http://[::1:8080", "[::1:8080", false, false},
        {"null", "127.0.0.1:8080", false, false},
        {"file://", "127.0.0.1:8080", false, false},
        {"", "127.0.0.1:8080", false, false},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(std::string(c.origin) + " / " + c.host);
        EXPECT_EQ(kbzIsSameOrigin(c.origin, c.host, c.tls, "myhost"), c.same);
    }
}

// ---- The handshake on a connection ----

struct HandshakeCase
{
    const char* name;
    std::string request;
    std::string answer;    // exact bytes written back (empty: nothing)
    std::string error;     // OnError text (empty: none)
    std::string protocols; // registered subprotocols
    std::string origins;   // allowed origins
    bool deflate = false;  // permessage-deflate accepted
};

class ServerHandshakeTable : public ::testing::TestWithParam<HandshakeCase>
{};

TEST_P(ServerHandshakeTable, WholeAndInEveryCut)
{
    const HandshakeCase& hc = GetParam();
    // Whole, every two-way cut and byte by byte; long requests are tried whole,
    // byte by byte and in a few cuts (enough for the head's every state).
    std::vector<std::vector<std::string>> cuts = AllCuts(hc.request);
    for (const auto& cut : cuts)
    {
        SCOPED_TRACE(Describe(cut));
        RecordingServer rs;
        rs.server.Extensions().PerMessage_Deflate().SetEnabled(hc.deflate);
        rs.server.SecurityOptions().OriginsAllowed = hc.origins;
        TkbzDelimitedStringList names;
        names.SetDelimitedText(hc.protocols);
        for (const std::string& name : names)
        {
            rs.server.RegisterProtocol(name);
        }
        MemoryPeer p(rs.server);
        ASSERT_TRUE(p.connection);
        p.SendCut(cut);
        p.RunUntil([&] { return p.connection->Enabled() || !rs.Errors().empty(); });
        if (hc.error.empty())
        {
            ASSERT_TRUE(p.connection->Enabled());
            ASSERT_EQ(p.Read(hc.answer.size()), hc.answer);
            EXPECT_EQ(rs.Connects(), 1);
        }
        else
        {
            ASSERT_EQ(rs.Errors(), std::vector<std::string>{hc.error});
            EXPECT_FALSE(p.connection->Enabled());
            EXPECT_EQ(p.ReadAll(), ""); // closed without any answer
            EXPECT_EQ(rs.Connects(), 0);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Requests, ServerHandshakeTable,
    ::testing::Values(
        HandshakeCase{"rfc_sample_key", kRFCRequest, kRFCAnswer, "", "", ""},
        HandshakeCase{"hixie76_sample", kHixieRequest, HixieAnswer("ws"), "", "sample", ""},
        HandshakeCase{"names_in_any_case_and_blanks",
                      "GET /chat HTTP/1.1\r\nhost:server.example.com\r\nUPGRADE:   WebSocket\r\n"
                      "connection:Upgrade\r\nsec-websocket-key:dGhlIHNhbXBsZSBub25jZQ==\r\n\r\n",
                      kRFCAnswer, "", "", ""},
        HandshakeCase{
            "keep_alive_and_upgrade",
            Replace(kRFCRequest, "Connection: Upgrade", "Connection: keep-alive, Upgrade"),
            kRFCAnswer, "", "", ""},
        HandshakeCase{"keep_alive_alone",
                      Replace(kRFCRequest, "Connection: Upgrade", "Connection: keep-alive"), "",
                      "Error Decoding Header: Upgrade", "", ""},
        HandshakeCase{"http_1_0", Replace(kRFCRequest, "HTTP/1.1", "HTTP/1.0"), "",
                      "Error Decoding Header: GET", "", ""},
        HandshakeCase{"no_key",
                      Replace(kRFCRequest, "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n", ""),
                      "", "Error Decoding Header: WebSocket-Key", "", ""},
        HandshakeCase{"subprotocol_not_registered",
                      Replace(kRFCRequest, "Origin:", "Sec-WebSocket-Protocol: chat\r\nOrigin:"),
                      "", "Error Protocol: chat\n not supported.", "", ""},
        HandshakeCase{
            "subprotocol_selected",
            Replace(kRFCRequest, "Origin:", "Sec-WebSocket-Protocol: chat2, superchat\r\nOrigin:"),
            Replace(kRFCAnswer, "Sec-WebSocket-Accept",
                    "Sec-WebSocket-Protocol: superchat\r\nSec-WebSocket-Accept"),
            "", "chat,superchat", ""},
        HandshakeCase{"origin_allowed", kRFCRequest, kRFCAnswer, "", "", "http://*.com"},
        HandshakeCase{"origin_refused", kRFCRequest, "", "Origin http://example.com not allowed",
                      "", "http://*.org"},
        HandshakeCase{"permessage_deflate_offer",
                      Replace(kRFCRequest, "Origin:",
                              "Sec-WebSocket-Extensions: permessage-deflate; "
                              "client_max_window_bits\r\nOrigin:"),
                      Replace(kRFCAnswer, "\r\n\r\n",
                              "\r\nSec-WebSocket-Extensions: "
                              "permessage-deflate;client_max_window_bits=15\r\n\r\n"),
                      "", "", "", true}),
    [](const ::testing::TestParamInfo<HandshakeCase>& i) { return std::string(i.param.name); });

TEST(ServerHandshake, Hixie76LocationNamesTheTLSScheme)
{
    RecordingServer rs;
    rs.server.RegisterProtocol("sample");
    MemoryPeer p(rs.server);
    p.connection->FServerSSL = true;
    p.Send(kHixieRequest);
    ASSERT_TRUE(p.RunUntil([&] { return p.connection->Enabled(); }));
    EXPECT_EQ(p.Read(HixieAnswer("wss").size()), HixieAnswer("wss"));
}

TEST(ServerHandshake, Hixie76KeyBytesAreAwaitedWithALimit)
{
    const std::string head = kHixieRequest.substr(0, kHixieRequest.size() - 8);
    {
        SCOPED_TRACE("the key bytes come later");
        RecordingServer rs;
        rs.server.RegisterProtocol("sample");
        MemoryPeer p(rs.server);
        p.Send(head);
        std::atomic<bool> done{false};
        std::thread server([&] {
            p.RunUntil([&] { return p.connection->Enabled() || !rs.Errors().empty(); });
            done.store(true);
        });
        // The round is waiting for the 8 bytes now (or soon); they arrive in two pieces.
        p.Send("^n:d");
        p.Send("s[4U");
        server.join();
        EXPECT_TRUE(rs.Errors().empty());
        EXPECT_EQ(p.Read(HixieAnswer("ws").size()), HixieAnswer("ws"));
    }
    {
        SCOPED_TRACE("the key bytes never come");
        RecordingServer rs;
        rs.server.RequestHeadTimeOut = 300;
        rs.server.RegisterProtocol("sample");
        MemoryPeer p(rs.server);
        p.Send(head);
        p.RunUntil([&] { return !rs.Errors().empty(); });
        EXPECT_EQ(rs.Errors(), std::vector<std::string>{"Error Decoding Header: WebSocket-Key"});
        EXPECT_EQ(p.ReadAll(), "");
    }
}

TEST(ServerHandshake, FramesRightAfterTheHeadAreRead)
{
    RecordingServer rs;
    MemoryPeer p(rs.server);
    // Head and first frame in one segment; server frames must be masked.
    p.Send(kRFCRequest + MaskedText("hello"));
    ASSERT_TRUE(p.RunUntil([&] {
        std::lock_guard guard(rs.lock);
        return !rs.texts.empty();
    }));
    EXPECT_EQ(rs.texts, std::vector<std::string>{"hello"});

    // An unmasked frame from a client is a protocol error.
    RecordingServer rs2;
    MemoryPeer p2(rs2.server);
    const auto frame = kbzBuildFrame(TOpcode::opText, kbzAsBytes("x"), false, true, false);
    p2.Send(kRFCRequest + std::string(frame.begin(), frame.end()));
    p2.RunUntil([&] { return !rs2.Errors().empty(); });
    EXPECT_EQ(rs2.Errors().size(), 1u);
    EXPECT_TRUE(rs2.texts.empty());
}

TEST(ServerHandshake, MessagesOverTheLimitCloseWith1009)
{
    RecordingServer rs;
    rs.server.Options().MaxMessageSize = 1000;
    MemoryPeer p(rs.server);
    p.Send(kRFCRequest + MaskedText(std::string(1000, 'a')) + MaskedText(std::string(1001, 'b')));
    p.RunUntil([&] { return !rs.Errors().empty(); });
    EXPECT_EQ(rs.texts, std::vector<std::string>{std::string(1000, 'a')});
    EXPECT_EQ(rs.Errors().size(), 1u);
    // The answer, then a close frame with 1009.
    const std::string sent = p.ReadAll();
    ASSERT_GE(sent.size(), kRFCAnswer.size() + 4);
    EXPECT_EQ(sent.substr(kRFCAnswer.size(), 4), std::string("\x88\x02\x03\xF1", 4));
}

TEST(ServerHandshake, ConnectionsShareOneBudgetForMessagesInProgress)
{
    RecordingServer rs;
    rs.server.MaxBufferedBytes = 100000;
    MemoryPeer a(rs.server);
    MemoryPeer b(rs.server);
    const auto frame = [](TOpcode op, std::size_t n, char c, bool fin) {
        const auto f = kbzBuildFrame(op, kbzAsBytes(std::string(n, c)), true, fin, false);
        return std::string(f.begin(), f.end());
    };
    // a holds 60,000 bytes of a message it has not finished...
    a.Send(kRFCRequest + frame(TOpcode::opText, 60000, 'a', false));
    ASSERT_TRUE(a.RunUntil([&] { return rs.server.BufferedBytes() == 60000; }));
    // ...so b's 50,000-byte message fails with 1009, though it is far below MaxMessageSize.
    b.Send(kRFCRequest + frame(TOpcode::opText, 50000, 'b', true));
    b.RunUntil([&] { return !rs.Errors().empty(); });
    EXPECT_EQ(rs.Errors(), std::vector<std::string>{"Message too big"});
    const std::string sent = b.ReadAll();
    ASSERT_GE(sent.size(), kRFCAnswer.size() + 4);
    EXPECT_EQ(sent.substr(kRFCAnswer.size(), 4), std::string("\x88\x02\x03\xF1", 4));
    // Once a's message is done its bytes are given back, and a new connection fits.
    a.Send(frame(TOpcode::opContinuation, 10, 'a', true));
    ASSERT_TRUE(a.RunUntil([&] {
        std::lock_guard guard(rs.lock);
        return rs.texts.size() == 1;
    }));
    EXPECT_EQ(rs.texts[0], std::string(60010, 'a'));
    a.Round();
    EXPECT_EQ(rs.server.BufferedBytes(), 0u);
    MemoryPeer c(rs.server);
    c.Send(kRFCRequest + frame(TOpcode::opText, 50000, 'c', true));
    ASSERT_TRUE(c.RunUntil([&] {
        std::lock_guard guard(rs.lock);
        return rs.texts.size() == 2;
    }));
}

TEST(ServerHandshake, OversizedAndStalledHeadsAreRefused)
{
    {
        SCOPED_TRACE("oversized");
        RecordingServer rs;
        MemoryPeer p(rs.server);
        p.Send("GET / HTTP/1.1\r\n");
        p.Send("X-Filler: " + std::string(kbzMaxRequestHead, 'a') + "\r\n");
        p.RunUntil([&] { return !rs.Errors().empty(); });
        EXPECT_EQ(rs.Errors(), std::vector<std::string>{"Request head too large."});
        const std::string answer = p.ReadAll();
        EXPECT_EQ(answer.rfind("HTTP/1.1 431 Request Header Fields Too Large\r\n", 0), 0u)
            << answer;
    }
    {
        SCOPED_TRACE("stalled");
        RecordingServer rs;
        rs.server.RequestHeadTimeOut = 200;
        MemoryPeer p(rs.server);
        p.Send("GET / HTTP/1.1\r\nHost: a\r\n");
        p.RunUntil([&] { return !rs.Errors().empty(); });
        EXPECT_EQ(rs.Errors(), std::vector<std::string>{"Request head incomplete."});
    }
}

// ---- Authentication ----

TEST(ServerAuthentication, Methods)
{
    struct Case
    {
        const char* name;
        std::string extraLine; // header line added to the request
        std::string path;      // request target
        bool basic;            // Basic accepted
        bool granted;
        std::string user, password;
    };
    const std::vector<Case> cases = {
        {"basic with colons in the password",
         "Authorization: Basic " + kbzEncodeBase64("bob:p:a:ss") + "\r\n", "/", true, true, "bob",
         "p:a:ss"},
        {"basic off falls through to nothing",
         "Authorization: Basic " + kbzEncodeBase64("bob:p:a:ss") + "\r\n", "/", false, false, "",
         ""},
        {"basic with a wrong password",
         "Authorization: Basic " + kbzEncodeBase64("bob:pass") + "\r\n", "/", true, false, "bob",
         "pass"},
        {"url login", "", "/kbz/auth/url/BOB/p:a:ss", true, true, "BOB", "p:a:ss"},
        {"url login with only a user", "", "/kbz/auth/url/bob", true, false, "", ""},
        {"url login percent-decoded", "", "/kbz/auth/url/b%6Fb/p%3aa%3Ass", true, true, "bob",
         "p:a:ss"},
        {"url login with a stray percent", "", "/kbz/auth/url/alice%/x%zz", true, false, "alice%",
         "x%zz"},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        RecordingServer rs;
        rs.server.Authentication().Enabled = true;
        rs.server.Authentication().Basic.Enabled = c.basic;
        rs.server.Authentication().AuthUsers.SetText("bob=p:a:ss\nalice=x");
        std::vector<std::pair<std::string, std::string>> seen;
        rs.server.OnAuthentication = [&](const TkbzWSConnectionPtr&, const std::string& user,
                                         const std::string& password,
                                         bool&) { seen.emplace_back(user, password); };
        MemoryPeer p(rs.server);
        std::string request = Replace(kRFCRequest, "GET /chat", "GET " + c.path);
        request = Replace(request, "Origin:", c.extraLine + "Origin:");
        p.Send(request);
        p.RunUntil([&] { return p.connection->Enabled() || !rs.Errors().empty(); });
        EXPECT_EQ(p.connection->Enabled(), c.granted);
        if (c.granted)
        {
            EXPECT_TRUE(rs.Errors().empty());
            EXPECT_EQ(p.connection->Authentication().User, c.user);
        }
        else
        {
            EXPECT_EQ(rs.Errors(), std::vector<std::string>{"Authentication Denied"});
        }
        if (!c.user.empty())
        {
            ASSERT_FALSE(seen.empty());
            EXPECT_EQ(seen.front(), std::make_pair(c.user, c.password));
        }
    }
}

TEST(ServerAuthentication, RefusedPeerClosedWithTheChosenCode)
{
    RecordingServer rs;
    rs.server.Authentication().Enabled = true;
    rs.server.OnAuthentication = [](const TkbzWSConnectionPtr& c, const std::string&,
                                    const std::string&, bool& authenticated) {
        authenticated = false;
        std::static_pointer_cast<TkbzWSConnectionServer>(c)->SetAuthenticationCloseCode(4001);
    };
    MemoryPeer p(rs.server);
    p.Send(kRFCRequest);
    p.RunUntil([&] { return p.connection->Enabled(); });
    EXPECT_EQ(p.Read(kRFCAnswer.size()), kRFCAnswer);
    // Then a close frame with 4001: 0x88 0x02 0x0F 0xA1.
    EXPECT_EQ(p.Read(4), std::string("\x88\x02\x0F\xA1", 4));
}

TEST(ServerAuthentication, SessionIdentifierWorksOnce)
{
    RecordingServer rs;
    rs.server.Authentication().Enabled = true;
    rs.server.Authentication().AuthUsers.SetText("bob=secret");
    std::string id;
    {
        MemoryPeer login(rs.server);
        login.Send("GET /kbz/req/auth/session/bob/secret HTTP/1.1\r\nHost: a\r\n\r\n");
        login.RunUntil([] { return false; }, std::chrono::milliseconds(2000));
        const std::string answer = login.ReadAll();
        ASSERT_EQ(answer.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << answer;
        const std::size_t body = answer.find("\r\n\r\n");
        ASSERT_NE(body, std::string::npos);
        id = answer.substr(body + 4, 32);
        EXPECT_EQ(answer.substr(body + 4 + 32, 2), "\r\n");
    }
    {
        MemoryPeer wrong(rs.server);
        wrong.Send("GET /kbz/req/auth/session/bob/nope HTTP/1.1\r\nHost: a\r\n\r\n");
        wrong.RunUntil([] { return false; }, std::chrono::milliseconds(2000));
        EXPECT_EQ(wrong.ReadAll(), "HTTP/1.1 404 Not Found\r\n\r\n");
    }
    const std::string upgrade = Replace(kRFCRequest, "GET /chat", "GET /kbz/auth/session/" + id);
    for (int attempt = 0; attempt < 2; ++attempt)
    {
        SCOPED_TRACE(attempt);
        MemoryPeer p(rs.server);
        p.Send(upgrade);
        p.RunUntil([&] { return p.connection->Enabled() || !rs.Errors().empty(); });
        EXPECT_EQ(p.connection->Enabled(), attempt == 0);
        if (attempt == 0)
        {
            EXPECT_EQ(p.connection->Authentication().User, "bob");
        }
    }
    EXPECT_EQ(rs.Errors(), std::vector<std::string>{"Authentication Denied"});
}

TEST(ServerAuthentication, SessionListIsBoundedAndExpires)
{
    TkbzWSSessionList list;
    list.SetLimits(60, 3);
    for (int i = 0; i < 5; ++i)
    {
        list.Add("id" + std::to_string(i), "u", "p");
    }
    EXPECT_EQ(list.Count(), 3u);
    EXPECT_FALSE(list.Take("id0")); // the oldest went first
    EXPECT_TRUE(list.Take("id4"));
    EXPECT_FALSE(list.Take("id4")); // once only

    // Expiry: a one-second list, checked against a later entry's life.
    list.SetLimits(1, 3);
    list.Add("late", "u", "p");
    EXPECT_TRUE(WaitUntil([&] { return list.Count() == 0; }, std::chrono::milliseconds(3000)));
    EXPECT_FALSE(list.Take("late"));
}

// ---- Raw TCP after an accepted unknown protocol ----

TEST(ServerRawTCP, CommandLinesWhateverTheCuts)
{
    const std::string script = "{\"a\":1}\r\n{\"b\":2}\n{\"c\":3}";
    for (const auto& cut : AllCuts(script))
    {
        SCOPED_TRACE(Describe(cut));
        RecordingServer rs;
        rs.server.TCPFlushIdle = 50;
        rs.server.OnUnknownProtocol = [](const TkbzWSConnectionPtr& c, bool& accept) {
            accept = true;
            c->SetTransport(TwsTransport::trpTCP);
            c->SetTCPEndOfFrameScanBuffer(TtcpEOFScanBuffer::eofScanAllBytes);
            c->ClearTCPEndOfFrame();
            c->AddTCPEndOfFrame('\n');
        };
        MemoryPeer p(rs.server);
        p.SendCut(cut);
        // The last command has no line break: it runs once the peer pauses.
        ASSERT_TRUE(p.RunUntil([&] { return rs.Binaries().size() == 3; }));
        EXPECT_EQ(rs.Binaries(),
                  (std::vector<std::string>{"{\"a\":1}\r\n", "{\"b\":2}\n", "{\"c\":3}"}));
        EXPECT_EQ(rs.Connects(), 1);
    }
}

TEST(ServerRawTCP, RefusedUnknownProtocolIsClosedQuietly)
{
    RecordingServer rs;
    MemoryPeer p(rs.server);
    p.Send("{\"message\":\"heartbeat\"}\n");
    EXPECT_FALSE(p.RunUntil([] { return false; }, std::chrono::milliseconds(2000)));
    EXPECT_EQ(p.ReadAll(), "");
    EXPECT_TRUE(rs.Errors().empty());
    EXPECT_EQ(rs.Connects(), 0);
}
