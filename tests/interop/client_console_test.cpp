// The console program against real servers: commands typed on its standard input, event
// lines read from its standard output, peers (python websockets, node ws, raw TCP) on loopback.
#include "tests/interop/client_peers.h"
#include "tests/support/kbzTestCerts.h"

#include <gtest/gtest.h>

#include <algorithm>

using namespace kbz::test;
using namespace kbz::test::client;

namespace
{

std::string WriteCommand(const std::string& jsonText)
{
    return R"({"message":"write","params":{"text":)" + jsonText + "}}";
}

// Index of the first line from `from` on that is exactly `line`.
std::optional<std::size_t> AwaitExact(Console& console, const std::string& line,
                                      std::chrono::milliseconds timeout = 20s)
{
    return console.Process().WaitForLine([&](const std::string& l) { return l == line; },
                                         timeout, console.Mark());
}

struct SessionCase
{
    const char* name;
    Peer::Kind kind;
    std::vector<std::string> arguments;
    const char* scheme;
};

void PrintTo(const SessionCase& c, std::ostream* os)
{
    *os << c.name;
}

class ConsoleSession : public testing::TestWithParam<SessionCase>
{
};

// open, connected, write, message, close with 1000, disconnected with 1000.
TEST_P(ConsoleSession, OpenWriteReceiveClose)
{
    const SessionCase& c = GetParam();
    if (c.kind == Peer::NodeWS ? !HaveNodeWs() : !HavePythonWebSockets())
    {
        GTEST_SKIP() << "peer not installed";
    }
    std::vector<std::string> arguments = c.arguments;
    if (std::string(c.scheme) == "wss")
    {
        arguments.insert(arguments.end(), {"--tls", Certs().ServerCert, Certs().ServerKey});
    }
    Peer peer;
    ASSERT_TRUE(peer.Start(c.kind, arguments));
    Console console;
    ASSERT_TRUE(console.Start());

    console.Open(peer.Url(c.scheme, 0, "/session?x=1"));
    ASSERT_TRUE(AwaitExact(console, ConnectedLine)) << console.Dump();
    console.Send(WriteCommand(R"("hello \u00e9 world")"));
    ASSERT_TRUE(AwaitExact(console, R"({"event": "message", "text": "hello é world"})"))
        << console.Dump();
    console.Send(R"({"message":"close","params":{"code":1000}})");
    ASSERT_TRUE(AwaitExact(console, DisconnectedLine(1000))) << console.Dump();
    for (const auto& line : console.Lines())
    {
        EXPECT_EQ(line.find("\"error\""), std::string::npos) << line;
    }
    EXPECT_EQ(console.Exit(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Interop, ConsoleSession,
    testing::Values(SessionCase{"python_ws", Peer::PythonWS, {}, "ws"},
                    // A self-signed chain: the console leaves verification off.
                    SessionCase{"python_wss", Peer::PythonWS, {}, "wss"},
                    SessionCase{"node_ws_with_deflate", Peer::NodeWS, {}, "ws"},
                    SessionCase{"node_wss", Peer::NodeWS, {"--config", "none"}, "wss"}),
    [](const testing::TestParamInfo<SessionCase>& p) { return p.param.name; });

// Texts written as JSON strings reach the server as the strings' values, and each message line
// parsed as JSON gives back exactly that value.
TEST(ConsoleText, JsonStringsTravelAsTheirValuesAndComeBackAsValidJson)
{
    if (!HavePythonWebSockets())
    {
        GTEST_SKIP() << "python3-websockets is not installed";
    }
    struct Case
    {
        const char* name;
        std::string json;     // the "text" argument as typed
        std::string expected; // the text the server receives (and echoes)
        bool broadcast;
    };
    const Case cases[] = {
        {"quotes_and_backslashes", R"("say \"hi\" to C:\\dir\\")", "say \"hi\" to C:\\dir\\", false},
        {"line_breaks_and_tabs", R"("one\ntwo\r\nthree\tfour")", "one\ntwo\r\nthree\tfour", false},
        {"control_characters", R"("bell\u0007 nul-free \u001f end")", "bell\x07 nul-free \x1f end",
         false},
        {"non_ascii_as_escapes", R"("caf\u00e9 \u4e2d \ud83d\ude00")",
         "caf\xC3\xA9 \xE4\xB8\xAD \xF0\x9F\x98\x80", false},
        {"non_ascii_raw", "\"caf\xC3\xA9 \xF0\x9F\x98\x80\"", "caf\xC3\xA9 \xF0\x9F\x98\x80",
         false},
        {"line_separators", R"("a\u2028b\u2029c")", "a\xE2\x80\xA8" "b\xE2\x80\xA9" "c", false},
        {"slash_escape_and_invalid_escape", R"("a\/b \q \u12 end")", "a/b \\q \\u12 end", false},
        {"fake_event_inside", R"("\"}\n{\"event\": \"connected\"}")",
         "\"}\n{\"event\": \"connected\"}", false},
        {"broadcast_prefix", R"("to \"all\"\n")", "#kbz_broadcast:to \"all\"\n", true},
    };
    Peer peer;
    ASSERT_TRUE(peer.Start(Peer::PythonWS, {}));
    Console console;
    ASSERT_TRUE(console.Start());
    console.Open(peer.Url());
    ASSERT_TRUE(AwaitExact(console, ConnectedLine)) << console.Dump();
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        const std::string message = c.broadcast ? "broadcast" : "write";
        console.Send(R"({"message":")" + message + R"(","params":{"text":)" + c.json + "}}");
        const auto at = console.Await(R"({"event": "message")");
        ASSERT_TRUE(at) << console.Dump();
        // One line per event, and the line is strict JSON carrying exactly the text.
        EXPECT_EQ(console.Process().Lines().size(), *at + 1) << console.Dump();
        EXPECT_EQ(StrictJsonString(console.Line(*at), "text"), c.expected)
            << console.Line(*at);
    }
    EXPECT_EQ(console.Exit(), 0);
}

TEST(ConsoleText, TextThatIsNotUtf8StillGivesAValidLine)
{
    if (!HavePythonWebSockets())
    {
        GTEST_SKIP() << "python3-websockets is not installed";
    }
    Peer peer;
    ASSERT_TRUE(peer.Start(Peer::PythonWS, {"--mode", "badutf8"}));
    Console console;
    ASSERT_TRUE(console.Start());
    console.Open(peer.Url());
    const auto at = console.Await(R"({"event": "message")");
    ASSERT_TRUE(at) << console.Dump();
    EXPECT_EQ(StrictJsonString(console.Line(*at), "text"), "ok \xEF\xBF\xBD\xEF\xBF\xBD")
        << console.Line(*at);
}

TEST(ConsoleText, CloseWithACodeThatMayNotBeSentKeepsTheConnection)
{
    if (!HavePythonWebSockets())
    {
        GTEST_SKIP() << "python3-websockets is not installed";
    }
    Peer peer;
    ASSERT_TRUE(peer.Start(Peer::PythonWS, {}));
    Console console;
    ASSERT_TRUE(console.Start());
    console.Open(peer.Url());
    ASSERT_TRUE(AwaitExact(console, ConnectedLine)) << console.Dump();
    for (const char* code : {"1005", "1006", "999", "1015", "5000"})
    {
        SCOPED_TRACE(code);
        console.Send(std::string(R"({"message":"close","params":{"code":)") + code + "}}");
        const auto at = console.Await(R"({"event": "error", "description": ")");
        ASSERT_TRUE(at) << console.Dump();
        EXPECT_NE(console.Line(*at).find(code), std::string::npos);
        console.Send(WriteCommand(R"("still here")"));
        ASSERT_TRUE(AwaitExact(console, R"({"event": "message", "text": "still here"})"))
            << console.Dump();
    }
    console.Send(R"({"message":"close","params":{"code":4001}})");
    EXPECT_TRUE(AwaitExact(console, DisconnectedLine(4001))) << console.Dump();
}

TEST(ConsoleServer, CloseCodeFromTheServerIsPrinted)
{
    if (!HavePythonWebSockets())
    {
        GTEST_SKIP() << "python3-websockets is not installed";
    }
    Peer peer;
    ASSERT_TRUE(peer.Start(Peer::PythonWS, {"--mode", "close:4000"}));
    Console console;
    ASSERT_TRUE(console.Start());
    console.Open(peer.Url());
    EXPECT_TRUE(AwaitExact(console, DisconnectedLine(4000))) << console.Dump();
}

// tcp:// is a raw session: the text goes out as it is and the echo (binary) prints nothing.
TEST(ConsoleTcp, RawSessionAgainstATcpEcho)
{
    if (!HavePythonWebSockets())
    {
        GTEST_SKIP() << "python3 is not installed";
    }
    Peer peer;
    ASSERT_TRUE(peer.Start(Peer::Raw, {"tcp-echo"}));
    Console console;
    ASSERT_TRUE(console.Start());
    console.Open(peer.Url("tcp", 0, ""));
    ASSERT_TRUE(AwaitExact(console, ConnectedLine)) << console.Dump();
    const std::size_t connectedAt = console.Lines().size();
    console.Send(WriteCommand(R"("raw text \u00e9\n")"));
    EXPECT_TRUE(peer.Process().WaitForLine(
        [](const std::string& l) { return l == R"(received "raw text \u00e9\n")"; }, 20s))
        << "the peer got something else";
    console.Send(R"({"message":"close"})");
    const auto gone = AwaitExact(console, DisconnectedLine(0));
    ASSERT_TRUE(gone) << console.Dump();
    for (std::size_t i = connectedAt; i < *gone; ++i)
    {
        EXPECT_EQ(console.Line(i).find("message"), std::string::npos) << console.Line(i);
    }
}

TEST(ConsoleOpen, BadOpensPrintAnErrorAndTheConsoleGoesOn)
{
    if (!HavePythonWebSockets())
    {
        GTEST_SKIP() << "python3-websockets is not installed";
    }
    const std::string dead = std::to_string(FreePort());
    const std::string event = R"({"event": "error", "description": ")";
    struct Case
    {
        std::string url;
        std::string start; // how the error line starts
        std::string text;  // and something it names
    };
    // Connection failures are error events; a URL the client refuses is the loop's error line.
    const Case cases[] = {
        {"ws://127.0.0.1:" + dead + "/", event, "refused"},
        {"ws://127.0.0.1:99999/", "EConvertError: ", "99999"},
        {"ws://127.0.0.1:abc/", "EConvertError: ", "abc"},
        {"ws://127.0.0.1:1/a b", "EArgumentException: ", "a b"},
        {"wss://127.0.0.1:" + dead + "/", event, "refused"},
    };
    Console console;
    ASSERT_TRUE(console.Start());
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.url);
        console.Open(c.url);
        const auto at = console.Await(c.start);
        ASSERT_TRUE(at) << console.Dump();
        EXPECT_EQ(console.Line(*at).rfind(c.start, 0), 0u) << console.Line(*at);
        EXPECT_NE(console.Line(*at).find(c.text), std::string::npos) << console.Line(*at);
        if (c.start == event)
        {
            EXPECT_TRUE(StrictJsonString(console.Line(*at), "description"));
        }
    }
    Peer peer;
    ASSERT_TRUE(peer.Start(Peer::PythonWS, {}));
    console.Open(peer.Url());
    EXPECT_TRUE(AwaitExact(console, ConnectedLine)) << console.Dump();
    EXPECT_EQ(console.Exit(), 0);
}

TEST(ConsoleRedirect, FollowedToTheEchoServer)
{
    if (!HavePythonWebSockets())
    {
        GTEST_SKIP() << "python3-websockets is not installed";
    }
    Peer echo;
    ASSERT_TRUE(echo.Start(Peer::PythonWS, {}));
    Peer redirect;
    ASSERT_TRUE(redirect.Start(Peer::Raw, {"redirect", echo.Url("ws", 0, "/moved")}));
    Console console;
    ASSERT_TRUE(console.Start());
    console.Open(redirect.Url());
    ASSERT_TRUE(AwaitExact(console, ConnectedLine)) << console.Dump();
    console.Send(WriteCommand(R"("via the redirect")"));
    EXPECT_TRUE(AwaitExact(console, R"({"event": "message", "text": "via the redirect"})"))
        << console.Dump();
    // The redirecting server hanging up is no error.
    for (const auto& line : console.Lines())
    {
        EXPECT_EQ(line.find(R"("error")"), std::string::npos) << line;
    }
}

TEST(ConsoleRedirect, LoopEndsWithAnError)
{
    if (!HavePythonWebSockets())
    {
        GTEST_SKIP() << "python3 is not installed";
    }
    Peer loop;
    ASSERT_TRUE(loop.Start(Peer::Raw, {"redirect", "ws://127.0.0.1:{port}/again"}));
    Console console;
    ASSERT_TRUE(console.Start());
    console.Open(loop.Url());
    const auto at = console.Await("Too many redirects");
    ASSERT_TRUE(at) << console.Dump();
    EXPECT_TRUE(StrictJsonString(console.Line(*at), "description"));
    const auto lines = loop.Process().Lines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "redirected"), 6);
    // The console goes on.
    console.Send("HELP");
    EXPECT_TRUE(console.Await("***kbzWebSocketClient usage***"));
}

// ---- Heartbeat and watchdog through the console ----

TEST(ConsoleWatchDog, ReconnectsWhenTheServerComesBack)
{
    if (!HavePythonWebSockets())
    {
        GTEST_SKIP() << "python3-websockets is not installed";
    }
    constexpr int interval = 1;
    Peer peer;
    ASSERT_TRUE(peer.Start(Peer::PythonWS, {}));
    const int port = peer.Port();
    Console console;
    ASSERT_TRUE(console.Start());
    console.Send(R"({"message":"watchdog","params":{"watchdog":{"enabled":true,"interval":1}}})");
    ASSERT_TRUE(AwaitExact(
        console, R"({"event": "options", "params":{"watchdog": {"enabled": true, "interval": 1}}})"));
    console.Open(peer.Url());
    ASSERT_TRUE(AwaitExact(console, ConnectedLine)) << console.Dump();

    peer.Stop();
    const auto lost = console.Await(R"({"event": "disconnected")");
    ASSERT_TRUE(lost) << console.Dump();
    // While the server is away every attempt prints an error line.
    ASSERT_TRUE(console.AwaitFrom(*lost, "refused", 10s)) << console.Dump();
    const std::size_t firstError = *console.AwaitFrom(*lost, "refused");
    ASSERT_TRUE(console.AwaitFrom(firstError + 1, "refused", 10s)) << console.Dump();

    Peer back;
    ASSERT_TRUE(back.Start(Peer::PythonWS, {"--port", std::to_string(port)}));
    console.SetMark(console.Lines().size());
    EXPECT_TRUE(AwaitExact(console, ConnectedLine, std::chrono::seconds(interval + 1)))
        << "not connected again within the watchdog's interval and a second\n"
        << console.Dump();
    console.Send(WriteCommand(R"("back again")"));
    EXPECT_TRUE(AwaitExact(console, R"({"event": "message", "text": "back again"})"))
        << console.Dump();
}

// The options take effect with the next connection: a heartbeat switched on while connected
// sends no ping on that connection, the next connection pings.
TEST(ConsoleHeartBeat, OptionsApplyToTheNextConnection)
{
    if (!HavePythonWebSockets())
    {
        GTEST_SKIP() << "python3-websockets is not installed";
    }
    Peer peer;
    ASSERT_TRUE(peer.Start(Peer::PythonWS, {"--report-pings"}));
    Console console;
    ASSERT_TRUE(console.Start());
    console.Open(peer.Url());
    ASSERT_TRUE(AwaitExact(console, ConnectedLine)) << console.Dump();
    console.Send(
        R"({"message":"heartbeat","params":{"heartbeat":{"enabled":"true","interval":1}}})");
    ASSERT_TRUE(AwaitExact(
        console,
        R"({"event": "options", "params":{"heartbeat": {"enabled": true, "interval": 1}}})"));
    EXPECT_FALSE(peer.Process().WaitForLineContaining("ping", 2500ms))
        << "the running connection started pinging";

    console.Send(R"({"message":"close"})");
    ASSERT_TRUE(console.Await(R"({"event": "disconnected")")) << console.Dump();
    console.Open(peer.Url());
    ASSERT_TRUE(AwaitExact(console, ConnectedLine)) << console.Dump();
    const auto first = peer.Process().WaitForLineContaining("ping", 5s);
    ASSERT_TRUE(first);
    EXPECT_TRUE(peer.Process().WaitForLineContaining("ping", 5s, *first + 1));

    console.Send(R"({"message":"heartbeat","params":{"heartbeat":{"enabled":false}}})");
    EXPECT_TRUE(AwaitExact(
        console,
        R"({"event": "options", "params":{"heartbeat": {"enabled": false, "interval": 1}}})"));
}

} // namespace
