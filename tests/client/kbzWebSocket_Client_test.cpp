// The client component: URL assignment, the upgrade request and the parsing of the answer,
// then the whole client against scripted peers on loopback (good and broken answers,
// redirects, activation from several threads, closing, heartbeat and watchdog).
#include "client/kbzWebSocket_Client.h"
#include "tests/client/kbzClientPeer.h"
#include "tests/client/kbzClientRecorder.h"

#include <atomic>
#include <gtest/gtest.h>
#include <thread>

using namespace kbz;
using namespace kbz::test;

namespace
{

using Lines = std::vector<std::string>;

// ---- Answer parsing ----

struct AnswerCase
{
    const char* name;
    Lines lines;
    // "error: " + what() when parsing fails, else the parsed fields as Describe gives them.
    std::string expected;
};

std::string Describe(const TkbzWSHandShakeClient& h)
{
    return "accept=" + h.Accept() + " protocols=" + h.Protocols() +
           " extensions=" + h.Extensions() + " redirect=" + (h.Redirect() ? "1" : "0") +
           " location=" + h.Location();
}

TEST(kbzWSHandShakeClient, ParsesAnswersAndRefusesBadOnes)
{
    const AnswerCase cases[] = {
        {"plain",
         {"HTTP/1.1 101 Switching Protocols", "Upgrade: websocket", "Connection: Upgrade",
          "Sec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo="},
         "accept=s3pPLMBiTxaQ9kYGzzhZRbK+xOo= protocols= extensions= redirect=0 location="},
        {"names_in_any_case_any_blanks",
         {"HTTP/1.1 101 Switching Protocols", "upgrade:   WebSocket", "CONNECTION:Upgrade",
          "sec-websocket-accept:abc=", "Sec-WebSocket-Protocol:\tchat ",
          "SEC-WEBSOCKET-EXTENSIONS: permessage-deflate"},
         "accept=abc= protocols=chat extensions=permessage-deflate redirect=0 location="},
        {"connection_lists_upgrade_among_others",
         {"HTTP/1.1 101 Switching Protocols", "Upgrade: websocket",
          "Connection: keep-alive, Upgrade", "Sec-WebSocket-Accept: x"},
         "accept=x protocols= extensions= redirect=0 location="},
        {"extension_lines_form_one_list",
         {"HTTP/1.1 101 Switching Protocols", "Sec-WebSocket-Extensions: a",
          "Sec-WebSocket-Extensions: b; x=1"},
         "accept= protocols= extensions=a, b; x=1 redirect=0 location="},
        {"status_400",
         {"HTTP/1.1 400 Bad Request", "Content-Length: 0"},
         "error: Error Decoding Header: Switching Protocols [HTTP/1.1 400 Bad Request]"},
        {"status_that_only_starts_with_101",
         {"HTTP/1.1 1010 Whatever", "Upgrade: websocket"},
         "error: Error Decoding Header: Switching Protocols [HTTP/1.1 1010 Whatever]"},
        {"101_only_in_the_reason",
         {"HTTP/1.1 200 OK 101"},
         "error: Error Decoding Header: Switching Protocols [HTTP/1.1 200 OK 101]"},
        {"no_status_line",
         {"Upgrade: websocket"},
         "error: Error Decoding Header: Switching Protocols []"},
        {"upgrade_to_something_else",
         {"HTTP/1.1 101 Switching Protocols", "Upgrade: h2c"},
         "error: Error Decoding Header: Upgrade"},
        {"connection_without_upgrade",
         {"HTTP/1.1 101 Switching Protocols", "Connection: close"},
         "error: Error Decoding Header: Upgrade"},
        {"redirect_with_location",
         {"HTTP/1.1 302 Found", "Upgrade: nonsense", "Location: ws://other:81/x", "Location: y"},
         "accept= protocols= extensions= redirect=1 location=ws://other:81/x"},
        {"redirect_without_location",
         {"HTTP/1.1 301 Moved"},
         "accept= protocols= extensions= redirect=1 location="},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        std::string got;
        try
        {
            got = Describe(TkbzWSHandShakeClient(c.lines));
        }
        catch (const std::exception& e)
        {
            got = std::string("error: ") + e.what();
        }
        EXPECT_EQ(got, c.expected);
    }
}

// ---- URL assignment and the request ----

// The request line the client would send for its current settings.
std::string RequestLine(TkbzWSClient& client)
{
    TkbzWSConnectionClient c;
    c.FHost = client.Host;
    c.FPort = client.Port;
    c.FOptions.Assign(client.Options);
    return c.BuildRequest().at(0);
}

TEST(kbzWSClient, URLSetsHostPortTLSFramingAndPath)
{
    struct Case
    {
        const char* url;
        std::string host;
        int port;
        bool tls;
        bool webSocket;
        std::string requestLine;
    };
    const Case cases[] = {
        {"ws://example.com", "example.com", 80, false, true, "GET / HTTP/1.1"},
        {"wss://example.com:8443/a?b=1", "example.com", 8443, true, true, "GET /a?b=1 HTTP/1.1"},
        {"WSS://Example.com/", "Example.com", 443, true, true, "GET / HTTP/1.1"},
        {"Ws://h:81/p/q", "h", 81, false, true, "GET /p/q HTTP/1.1"},
        {"tcp://127.0.0.1:7", "127.0.0.1", 7, false, false, "GET / HTTP/1.1"},
        {"TCPS://h", "h", 443, true, false, "GET / HTTP/1.1"},
        {"ws://[::1]:9000/x", "::1", 9000, false, true, "GET /x HTTP/1.1"},
        {"ws://h:65535/#frag", "h", 65535, false, true, "GET / HTTP/1.1"},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.url);
        TkbzWSClient client;
        client.SetURL(c.url);
        EXPECT_EQ(client.Host, c.host);
        EXPECT_EQ(client.Port, c.port);
        EXPECT_EQ(client.TLS, c.tls);
        EXPECT_EQ(client.Specifications().RFC6455, c.webSocket);
        EXPECT_EQ(RequestLine(client), c.requestLine);
    }
}

TEST(kbzWSClient, BadURLsRaiseAndChangeNothing)
{
    struct Case
    {
        const char* url;
        bool conversion; // EConvertError, else EArgumentException
    };
    const Case cases[] = {
        {"ws://h:0/", true},    {"ws://h:65536/", true},        {"ws://h:abc/", true},
        {"ws://h:-1/", true},   {"ws://h:99999999999/", true},  {"ws://h/a b", false},
        {"ws://h/a\tb", false}, {"ws://h/?q=1\r\nX: y", false}, {"ws://h x:80/", false},
        {"ws://h\x7f/", false}, {"ws://h/\x01", false},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.url);
        TkbzWSClient client;
        client.SetURL("wss://before:1234/old");
        if (c.conversion)
        {
            EXPECT_THROW(client.SetURL(c.url), EConvertError);
        }
        else
        {
            EXPECT_THROW(client.SetURL(c.url), EArgumentException);
        }
        EXPECT_EQ(client.Host, "before");
        EXPECT_EQ(client.Port, 1234);
        EXPECT_TRUE(client.TLS);
        EXPECT_EQ(RequestLine(client), "GET /old HTTP/1.1");
    }
}

TEST(kbzWSConnectionClient, RequestLinesInOrder)
{
    struct Case
    {
        const char* name;
        std::string host;
        int port;
        std::string path;
        std::string origin;
        Lines expected; // the key line is checked apart
    };
    const Case cases[] = {
        {"port_80_and_empty_path",
         "example.com",
         80,
         "",
         "",
         {"GET / HTTP/1.1", "Host: example.com", "Upgrade: websocket", "Connection: Upgrade", "KEY",
          "Origin: example.com", "Sec-WebSocket-Version: 13"}},
        {"port_443_keeps_the_host_alone",
         "h",
         443,
         "chat?room=1",
         "https://o.example",
         {"GET /chat?room=1 HTTP/1.1", "Host: h", "Upgrade: websocket", "Connection: Upgrade",
          "KEY", "Origin: https://o.example", "Sec-WebSocket-Version: 13"}},
        {"other_port",
         "127.0.0.1",
         8080,
         "/x",
         "",
         {"GET /x HTTP/1.1", "Host: 127.0.0.1:8080", "Upgrade: websocket", "Connection: Upgrade",
          "KEY", "Origin: 127.0.0.1", "Sec-WebSocket-Version: 13"}},
        {"ipv6_literal_in_brackets",
         "::1",
         9000,
         "/",
         "",
         {"GET / HTTP/1.1", "Host: [::1]:9000", "Upgrade: websocket", "Connection: Upgrade", "KEY",
          "Origin: [::1]", "Sec-WebSocket-Version: 13"}},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        TkbzWSConnectionClient conn;
        conn.FHost = c.host;
        conn.FPort = c.port;
        conn.FOptions.SetParameters(c.path);
        conn.FOptions.Origin = c.origin;
        Lines lines = conn.BuildRequest();
        ASSERT_EQ(lines.size(), c.expected.size());
        EXPECT_EQ(lines[4], "Sec-WebSocket-Key: " + conn.Key());
        lines[4] = "KEY";
        EXPECT_EQ(lines, c.expected);
    }
}

TEST(kbzWSConnectionClient, KeyIsSixteenFreshRandomBytes)
{
    TkbzWSConnectionClient a;
    TkbzWSConnectionClient b;
    a.BuildRequest();
    b.BuildRequest();
    for (const std::string& key : {a.Key(), b.Key()})
    {
        ASSERT_EQ(key.size(), 24u);
        EXPECT_EQ(key.substr(22), "==");
        EXPECT_EQ(kbzDecodeBase64Bytes(key).size(), 16u);
    }
    EXPECT_NE(a.Key(), b.Key());
    const std::string first = a.Key();
    a.BuildRequest();
    EXPECT_NE(a.Key(), first) << "every handshake draws a new key";
}

// ---- The client against scripted peers ----

struct HandshakeCase
{
    const char* name;
    // What the peer sends after reading the request head ("" sends nothing).
    std::function<std::string(const std::string& head)> answer;
    int connectTimeout;
    // Expected: the message that follows the connect, or the start of the exception text.
    std::string message;
    std::string exception;
};

std::string WithFrame(std::string answer, std::string_view text)
{
    const auto frame = kbzBuildFrame(TOpcode::opText, kbzAsBytes(text), false);
    answer.append(frame.begin(), frame.end());
    return answer;
}

TEST(kbzWSClient, HandshakeAnswersFromAScriptedPeer)
{
    const HandshakeCase cases[] = {
        {"names_in_any_case_and_a_frame_in_the_same_segment",
         [](const std::string& head) {
             return WithFrame("HTTP/1.1 101 Switching Protocols\r\nupgrade: WebSocket\r\n"
                              "connection:upgrade\r\nSEC-WEBSOCKET-ACCEPT:   " +
                                  kbzWebSocketAcceptKey(RequestKey(head)) + "\r\n\r\n",
                              "right behind the head");
         },
         0, "right behind the head", ""},
        {"wrong_accept_key",
         [](const std::string&) {
             return "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\n"
                    "Connection: Upgrade\r\nSec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n"
                    "\r\n";
         },
         0, "", "Handshake Error: Invalid Accept Key"},
        {"status_400",
         [](const std::string&) {
             return std::string("HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\n\r\n");
         },
         0, "", "Error Decoding Header: Switching Protocols [HTTP/1.1 400 Bad Request]"},
        {"protocol_that_was_not_asked_for",
         [](const std::string& head) {
             return Answer101(head, "Sec-WebSocket-Protocol: chat\r\n");
         },
         0, "", "Protocol not supported chat."},
        {"extension_that_was_not_offered",
         [](const std::string& head) {
             return Answer101(head, "Sec-WebSocket-Extensions: permessage-deflate\r\n");
         },
         0, "", ""},
        {"head_above_16_KiB",
         [](const std::string& head) {
             return Answer101(head, "X-Filler: " + std::string(17000, 'a') + "\r\n");
         },
         0, "", "Header block exceeds 16384 bytes."},
        {"head_that_never_ends",
         [](const std::string& head) {
             std::string answer = Answer101(head);
             return answer.substr(0, answer.size() - 2);
         },
         400, "", ""},
        {"no_answer_at_all", [](const std::string&) { return std::string(); }, 400, "", ""},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        ScriptedPeer peer([&](PeerConnection& conn, const std::string& head) {
            const std::string answer = c.answer(head);
            if (!answer.empty())
            {
                conn.Send(answer);
            }
            conn.WaitClosed(10000);
        });
        EventRecorder events;
        TkbzWSClient client;
        events.Attach(client);
        client.SetURL(peer.Url());
        client.ConnectTimeout = c.connectTimeout;
        const bool good = c.exception.empty() && c.connectTimeout == 0;
        const auto started = std::chrono::steady_clock::now();
        EXPECT_EQ(client.Connect(10000), good);
        if (good)
        {
            if (!c.message.empty())
            {
                EXPECT_TRUE(events.Wait("message " + c.message)) << events.Dump();
            }
            EXPECT_TRUE(client.Disconnect(5000));
            EXPECT_TRUE(events.Wait("disconnect")) << events.Dump();
            continue;
        }
        // Every failed handshake is one exception followed by the disconnect, and the time
        // limit ends a handshake that stalls.
        const auto error = events.Wait("exception ");
        ASSERT_TRUE(error) << events.Dump();
        EXPECT_EQ(events.Events()[*error].rfind("exception " + c.exception, 0), 0u)
            << events.Dump();
        EXPECT_TRUE(events.Wait("disconnect ", 10s, *error)) << events.Dump();
        EXPECT_EQ(events.Count("connect"), 0u) << events.Dump();
        EXPECT_EQ(events.Count("exception"), 1u) << events.Dump();
        EXPECT_FALSE(client.GetActive());
        if (c.connectTimeout > 0)
        {
            EXPECT_LT(std::chrono::steady_clock::now() - started, 5s)
                << "the handshake's time limit did not apply";
        }
    }
}

// Answers the handshake, then echoes every text and binary message and answers pings.
void EchoSession(PeerConnection& conn, const std::string& head)
{
    conn.Send(Answer101(head));
    while (auto f = conn.ReadFrame(30000))
    {
        switch (f->opcode)
        {
        case TOpcode::opText:
        case TOpcode::opBinary:
            conn.SendFrame(f->opcode, f->payload);
            break;
        case TOpcode::opPing:
            conn.SendFrame(TOpcode::opPong, f->payload);
            break;
        case TOpcode::opClose:
            conn.Send(kbzBuildFrame(TOpcode::opClose, kbzBuildClosePayload(f->closeCode), false));
            conn.WaitClosed(5000);
            return;
        default:
            break;
        }
    }
}

TEST(kbzWSClient, RedirectIsFollowedToTheNewLocation)
{
    ScriptedPeer target(EchoSession);
    // The redirecting server hangs up at once, with a body the client never reads.
    ScriptedPeer redirector([&](PeerConnection& conn, const std::string&) {
        conn.Send("HTTP/1.1 302 Found\r\nLocation: " + target.Url("/there?x=1") +
                  "\r\nContent-Length: 5\r\n\r\nmoved");
    });
    EventRecorder events;
    TkbzWSClient client;
    events.Attach(client);
    client.SetURL(redirector.Url("/here"));
    client.Connect(5000);
    ASSERT_TRUE(events.Wait("connect")) << events.Dump();
    client.WriteData("after the redirect");
    EXPECT_TRUE(events.Wait("message after the redirect")) << events.Dump();
    ASSERT_EQ(target.Heads().size(), 1u);
    EXPECT_EQ(target.Heads()[0].rfind("GET /there?x=1 HTTP/1.1\r\n", 0), 0u);
    EXPECT_EQ(redirector.Accepted(), 1);
    EXPECT_EQ(events.Count("exception"), 0u) << events.Dump();
    EXPECT_EQ(events.Count("error"), 0u) << events.Dump();
}

TEST(kbzWSClient, RedirectLoopEndsAfterFiveRedirects)
{
    std::string self;
    ScriptedPeer loop([&](PeerConnection& conn, const std::string&) {
        conn.Send("HTTP/1.1 307 Temporary Redirect\r\nLocation: " + self + "\r\n\r\n");
        conn.WaitClosed(5000);
    });
    self = loop.Url("/again");
    EventRecorder events;
    TkbzWSClient client;
    events.Attach(client);
    client.SetURL(loop.Url());
    client.Connect(5000);
    const auto error = events.Wait("exception Too many redirects", 20s);
    ASSERT_TRUE(error) << events.Dump();
    EXPECT_TRUE(events.Wait("disconnect", 10s, *error));
    EXPECT_EQ(loop.Accepted(), 6) << "the first request and five redirects";
    EXPECT_EQ(events.Count("connect"), 0u);

    // A new activation starts counting afresh.
    client.Connect(5000);
    EXPECT_TRUE(events.Wait("exception Too many redirects", 20s, *error + 1)) << events.Dump();
    EXPECT_EQ(loop.Accepted(), 12);
}

TEST(kbzWSClient, ConcurrentActivationsMakeOneConnection)
{
    ScriptedPeer peer(EchoSession);
    EventRecorder events;
    TkbzWSClient client;
    events.Attach(client);
    client.SetURL(peer.Url());
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i)
    {
        threads.emplace_back([&] { client.SetActive(true); });
    }
    for (auto& t : threads)
    {
        t.join();
    }
    ASSERT_TRUE(events.Wait("connect")) << events.Dump();
    client.WriteData("one");
    ASSERT_TRUE(events.Wait("message one")) << events.Dump();
    EXPECT_EQ(peer.Accepted(), 1);
    EXPECT_EQ(events.Count("connect"), 1u);
}

TEST(kbzWSClient, DeactivationFromAnotherThreadWaitsForTheReadThread)
{
    ScriptedPeer peer(EchoSession);
    std::atomic<bool> inHandler{false};
    std::atomic<bool> deactivating{false};
    std::atomic<bool> handlerDone{false};
    EventRecorder events;
    TkbzWSClient client;
    events.Attach(client);
    client.OnMessage = [&](const TkbzWSConnectionPtr&, const std::string&) {
        inHandler.store(true);
        WaitUntil([&] { return deactivating.load(); }, 5s);
        // Work that outlasts the start of the deactivation.
        std::this_thread::sleep_for(100ms);
        handlerDone.store(true);
    };
    client.SetURL(peer.Url());
    ASSERT_TRUE(client.Connect(5000));
    client.WriteData("hold the read thread");
    ASSERT_TRUE(WaitUntil([&] { return inHandler.load(); }, 5s));
    deactivating.store(true);
    client.SetActive(false);
    EXPECT_TRUE(handlerDone.load()) << "the deactivation returned while OnMessage still ran";
    EXPECT_TRUE(events.Wait("disconnect")) << events.Dump();
    EXPECT_FALSE(client.GetActive());
}

TEST(kbzWSClient, DeactivationFromItsOwnEventHandlers)
{
    ScriptedPeer peer(EchoSession);
    EventRecorder events;
    TkbzWSClient client;
    events.Attach(client);
    client.OnMessage = [&](const TkbzWSConnectionPtr&, const std::string& text) {
        events.Add("message " + text);
        client.SetActive(false);
    };
    client.SetURL(peer.Url());
    ASSERT_TRUE(client.Connect(5000));
    client.WriteData("stop from the read thread");
    EXPECT_TRUE(events.Wait("disconnect")) << events.Dump();
    EXPECT_TRUE(WaitUntil([&] { return !client.GetActive(); }, 5s));

    // And the client connects again afterwards.
    client.OnMessage = [&](const TkbzWSConnectionPtr&, const std::string& text) {
        events.Add("message " + text);
    };
    ASSERT_TRUE(client.Connect(5000));
    client.WriteData("again");
    EXPECT_TRUE(events.Wait("message again")) << events.Dump();
}

TEST(kbzWSClient, DeactivationWhileTheConnectIsUnderWayWins)
{
    ScriptedPeer peer(EchoSession);
    EventRecorder events;
    TkbzWSClient client;
    events.Attach(client);
    client.WatchDog().Enabled = true;
    client.WatchDog().Interval = 1;
    // A deactivation from another thread while the activation has not made its connection
    // yet (here: right before the TCP connect).
    client.OnBeforeConnect = [&](TkbzWSClient&) {
        std::thread([&] { client.SetActive(false); }).join();
    };
    client.SetURL(peer.Url());
    client.SetActive(true);
    EXPECT_FALSE(client.GetActive());
    EXPECT_FALSE(client.Connection());
    // Nor does the watchdog bring it back.
    EXPECT_FALSE(WaitUntil([&] { return peer.Accepted() > 1 || client.GetActive(); }, 2500ms))
        << events.Dump();

    client.OnBeforeConnect = nullptr;
    ASSERT_TRUE(client.Connect(5000)) << events.Dump();
}

TEST(kbzWSClient, CloseCodesThatMayNotBeSentSendNothing)
{
    std::mutex lock;
    std::vector<std::string> seen;
    ScriptedPeer peer([&](PeerConnection& conn, const std::string& head) {
        conn.Send(Answer101(head));
        while (auto f = conn.ReadFrame(30000))
        {
            std::lock_guard guard(lock);
            seen.push_back(
                std::string(kbzOpcodeName(f->opcode)) + " " +
                (f->opcode == TOpcode::opClose ? std::to_string(f->closeCode) : f->payload));
            if (f->opcode == TOpcode::opClose)
            {
                conn.Send(
                    kbzBuildFrame(TOpcode::opClose, kbzBuildClosePayload(f->closeCode), false));
                conn.WaitClosed(5000);
                return;
            }
        }
    });
    EventRecorder events;
    TkbzWSClient client;
    events.Attach(client);
    client.SetURL(peer.Url());
    ASSERT_TRUE(client.Connect(5000));
    auto connection = client.Connection();
    ASSERT_TRUE(connection);
    for (int code : {999, 1004, 1005, 1006, 1015, 1016, 2999, 5000, 65535})
    {
        SCOPED_TRACE(code);
        EXPECT_THROW(connection->Close(code), TkbzWSException);
        EXPECT_TRUE(client.GetActive());
    }
    client.WriteData("still open");
    connection->Close(4000);
    EXPECT_TRUE(events.Wait("disconnect 4000")) << events.Dump();
    std::lock_guard guard(lock);
    EXPECT_EQ(seen, (std::vector<std::string>{"text still open", "close 4000"}));
}

// ---- Heartbeat ----

// Answers the handshake after delayMs, then reads frames; pong decides what a ping gets:
// nothing (empty), or the pong payload to send for the n-th ping (0-based) and its payload.
struct PingPeer
{
    int delayMs = 0;
    std::function<std::optional<std::string>(int n, const std::string& payload)> pong;
    std::mutex lock;
    std::vector<std::chrono::steady_clock::time_point> pings;
    std::atomic<bool> frameBeforeAnswer{false};

    void operator()(PeerConnection& conn, const std::string& head)
    {
        // Anything the client sends before the answer is a fault (no ping while handshaking).
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(delayMs);
        while (std::chrono::steady_clock::now() < until && !conn.Stopping())
        {
            if (conn.ReadMore(20) || !conn.Buffer().empty())
            {
                frameBeforeAnswer.store(true);
            }
        }
        conn.Send(Answer101(head));
        int n = 0;
        while (auto f = conn.ReadFrame(30000))
        {
            if (f->opcode == TOpcode::opPing)
            {
                {
                    std::lock_guard guard(lock);
                    pings.push_back(std::chrono::steady_clock::now());
                }
                if (auto payload = pong ? pong(n, f->payload) : std::nullopt)
                {
                    conn.SendFrame(TOpcode::opPong, *payload);
                }
                ++n;
            }
            else if (f->opcode == TOpcode::opClose)
            {
                return;
            }
        }
    }
    std::size_t Pings()
    {
        std::lock_guard guard(lock);
        return pings.size();
    }
    std::chrono::steady_clock::time_point FirstPing()
    {
        std::lock_guard guard(lock);
        return pings.at(0);
    }
};

TEST(kbzWSClient, HeartBeatEndsAConnectionWhosePingsGoUnanswered)
{
    struct Case
    {
        const char* name;
        int interval;
        int timeout;
        std::function<std::optional<std::string>(int, const std::string&)> pong;
    };
    std::string firstPayload;
    const Case cases[] = {
        {"never_answered", 1, 1, nullptr},
        {"longer_timeout_than_interval", 1, 2, nullptr},
        // The peer repeats its answer to the first ping: that old pong answers no later ping.
        {"old_pong_repeated", 1, 2,
         [&](int n, const std::string& payload) -> std::optional<std::string> {
             if (n == 0)
             {
                 firstPayload = payload;
             }
             return firstPayload;
         }},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        PingPeer script;
        script.pong = c.pong;
        ScriptedPeer peer(std::ref(script));
        EventRecorder events;
        TkbzWSClient client;
        events.Attach(client);
        client.HeartBeat().Enabled = true;
        client.HeartBeat().Interval = c.interval;
        client.HeartBeat().Timeout = c.timeout;
        client.SetURL(peer.Url());
        ASSERT_TRUE(client.Connect(5000));
        const auto error = events.Wait("exception HeartBeat Timeout exceeded.", 15s);
        ASSERT_TRUE(error) << events.Dump();
        const auto gone = events.Wait("disconnect", 5s, *error);
        ASSERT_TRUE(gone) << events.Dump();
        ASSERT_GE(script.Pings(), 1u);
        // Ended no later than Timeout + Interval after the first unanswered ping (with two
        // seconds of slack for timer threads on a loaded machine).
        EXPECT_LE(events.TimeOf(*gone) - script.FirstPing(),
                  std::chrono::seconds(c.timeout + c.interval + 2));
        EXPECT_GE(events.TimeOf(*gone) - script.FirstPing(),
                  std::chrono::milliseconds(c.timeout * 1000 - 100));
    }
}

TEST(kbzWSClient, HeartBeatKeepsAConnectionWhosePeerAnswersTheLatestPing)
{
    // RFC 6455 lets a peer answer only the most recent of several pings: here every second
    // ping gets its pong, which answers the one before it too.
    PingPeer script;
    script.pong = [](int n, const std::string& payload) -> std::optional<std::string> {
        if (n % 2 == 1)
        {
            return payload;
        }
        return std::nullopt;
    };
    ScriptedPeer peer(std::ref(script));
    EventRecorder events;
    TkbzWSClient client;
    events.Attach(client);
    client.HeartBeat().Enabled = true;
    client.HeartBeat().Interval = 1;
    client.HeartBeat().Timeout = 2;
    client.SetURL(peer.Url());
    ASSERT_TRUE(client.Connect(5000));
    ASSERT_TRUE(WaitUntil([&] { return script.Pings() >= 6; }, 15s));
    EXPECT_EQ(events.Count("disconnect"), 0u) << events.Dump();
    EXPECT_EQ(events.Count("exception"), 0u) << events.Dump();
    EXPECT_TRUE(client.GetActive());
}

TEST(kbzWSClient, NoPingBeforeTheHandshakeIsDone)
{
    PingPeer script;
    script.delayMs = 2500;
    script.pong = [](int, const std::string& payload) { return std::optional(payload); };
    ScriptedPeer peer(std::ref(script));
    EventRecorder events;
    TkbzWSClient client;
    events.Attach(client);
    client.HeartBeat().Enabled = true;
    client.HeartBeat().Interval = 1;
    client.HeartBeat().Timeout = 1;
    client.SetURL(peer.Url());
    ASSERT_TRUE(client.Connect(10000));
    EXPECT_FALSE(script.frameBeforeAnswer.load()) << "a frame went out during the handshake";
    // Once enabled the heartbeat runs and its answered pings keep the connection.
    ASSERT_TRUE(WaitUntil([&] { return script.Pings() >= 3; }, 10s));
    EXPECT_EQ(events.Count("disconnect"), 0u) << events.Dump();
}

TEST(kbzWSClient, UnansweredPingsStayBoundedAndTheOldestCounts)
{
    PingPeer script; // never answers
    ScriptedPeer peer(std::ref(script));
    TkbzWSClient client;
    client.SetURL(peer.Url());
    ASSERT_TRUE(client.Connect(5000));
    auto connection = client.Connection();
    ASSERT_TRUE(connection);
    connection->Ping("first");
    const std::int64_t first = connection->OldestPendingPing();
    ASSERT_NE(first, 0);
    for (int i = 0; i < 1000; ++i)
    {
        connection->Ping("p" + std::to_string(i));
    }
    EXPECT_LE(connection->PendingPings(), 64u);
    EXPECT_EQ(connection->OldestPendingPing(), first)
        << "dropping entries must not forget when the first unanswered ping went out";
}

// ---- Watchdog ----

TEST(kbzWSClient, WatchDogGivesUpAfterItsAttempts)
{
    const int deadPort = FreePort();
    std::atomic<int> attempts{0};
    EventRecorder events;
    TkbzWSClient client;
    events.Attach(client);
    client.OnBeforeWatchDog = [&](TkbzWSClient&, bool&) { ++attempts; };
    client.WatchDog().Enabled = true;
    client.WatchDog().Interval = 1;
    client.WatchDog().Attempts = 3;
    client.SetURL("ws://127.0.0.1:" + std::to_string(deadPort) + "/");
    client.SetActive(true);
    ASSERT_TRUE(WaitUntil([&] { return events.Count("exception") >= 4; }, 15s)) << events.Dump();
    // Silence afterwards: no fourth attempt within two more intervals.
    EXPECT_FALSE(WaitUntil([&] { return attempts.load() > 3; }, 2500ms));
    EXPECT_EQ(attempts.load(), 3);
    EXPECT_EQ(events.Count("exception"), 4u) << "the first failure and three attempts";
}

TEST(kbzWSClient, WatchDogReconnectsAfterALossAndHeartBeatRunsAgain)
{
    // The first connection is dropped by the peer; every later one is kept and its pings
    // answered.
    std::atomic<int> sessions{0};
    PingPeer keep;
    keep.pong = [](int, const std::string& payload) { return std::optional(payload); };
    ScriptedPeer peer([&](PeerConnection& conn, const std::string& head) {
        if (sessions.fetch_add(1) == 0)
        {
            conn.Send(Answer101(head));
            return; // closes the socket
        }
        keep(conn, head);
    });
    EventRecorder events;
    TkbzWSClient client;
    events.Attach(client);
    client.WatchDog().Enabled = true;
    client.WatchDog().Interval = 1;
    client.HeartBeat().Enabled = true;
    client.HeartBeat().Interval = 1;
    client.HeartBeat().Timeout = 2;
    client.SetURL(peer.Url());
    client.Connect(5000);
    const auto lost = events.Wait("disconnect", 10s);
    ASSERT_TRUE(lost) << events.Dump();
    ASSERT_TRUE(events.Wait("connect", 10s, *lost)) << events.Dump();
    ASSERT_TRUE(WaitUntil([&] { return keep.Pings() >= 2; }, 10s));
    EXPECT_EQ(peer.Accepted(), 2);
}

TEST(kbzWSClient, DeactivationStopsTheWatchDog)
{
    const int deadPort = FreePort();
    std::atomic<int> attempts{0};
    EventRecorder events;
    TkbzWSClient client;
    events.Attach(client);
    client.OnBeforeWatchDog = [&](TkbzWSClient&, bool&) { ++attempts; };
    client.WatchDog().Enabled = true;
    client.WatchDog().Interval = 1;
    client.SetURL("ws://127.0.0.1:" + std::to_string(deadPort) + "/");
    client.SetActive(true);
    ASSERT_TRUE(WaitUntil([&] { return attempts.load() >= 1; }, 10s));
    client.SetActive(false);
    const int seen = attempts.load();
    EXPECT_FALSE(WaitUntil([&] { return attempts.load() > seen + 0; }, 2500ms))
        << "the watchdog went on after the deactivation";
}

} // namespace
