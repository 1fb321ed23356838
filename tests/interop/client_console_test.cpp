// The console program against real servers: commands typed on its standard input, event
// lines read from its standard output, peers (python websockets, node ws, raw TCP) on loopback.
#include "tests/interop/client_peers.h"
#include "tests/support/kbzTestCerts.h"

#include <algorithm>
#include <csignal>
#include <gtest/gtest.h>

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
    return console.Process().WaitForLine([&](const std::string& l) { return l == line; }, timeout,
                                         console.Mark());
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
{};

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
        {"quotes_and_backslashes", R"("say \"hi\" to C:\\dir\\")", "say \"hi\" to C:\\dir\\",
         false},
        {"line_breaks_and_tabs", R"("one\ntwo\r\nthree\tfour")", "one\ntwo\r\nthree\tfour", false},
        {"control_characters", R"("bell\u0007 nul-free \u001f end")", "bell\x07 nul-free \x1f end",
         false},
        {"non_ascii_as_escapes", R"("caf\u00e9 \u4e2d \ud83d\ude00")",
         "caf\xC3\xA9 \xE4\xB8\xAD \xF0\x9F\x98\x80", false},
        {"non_ascii_raw", "\"caf\xC3\xA9 \xF0\x9F\x98\x80\"", "caf\xC3\xA9 \xF0\x9F\x98\x80",
         false},
        {"line_separators", R"("a\u2028b\u2029c")",
         "a\xE2\x80\xA8"
         "b\xE2\x80\xA9"
         "c",
         false},
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
        EXPECT_EQ(StrictJsonString(console.Line(*at), "text"), c.expected) << console.Line(*at);
    }
    EXPECT_EQ(console.Exit(), 0);
}

// The console's client validates UTF-8: such a text fails the connection with 1007, as
// RFC 6455 asks, and the error line itself stays valid JSON.
TEST(ConsoleText, TextThatIsNotUtf8FailsTheConnectionWith1007)
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
    const auto error = console.Await(R"({"event": "error")");
    ASSERT_TRUE(error) << console.Dump();
    EXPECT_TRUE(StrictJsonString(console.Line(*error), "description")) << console.Line(*error);
    EXPECT_TRUE(console.AwaitFrom(*error, R"({"event": "disconnected")")) << console.Dump();
    EXPECT_TRUE(peer.Process().WaitForLineContaining("closed 1007", 20s));
    for (const auto& line : console.Lines())
    {
        EXPECT_EQ(line.find(R"("event": "message")"), std::string::npos) << line;
    }
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
        {"ftp://127.0.0.1:" + dead + "/", "EArgumentException: ", "Unknown scheme 'ftp'"},
        {"127.0.0.1:" + dead + "/", "EArgumentException: ", "No scheme"},
        {"http://127.0.0.1:" + dead + "/", "EArgumentException: ", "Unknown scheme 'http'"},
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
        console,
        R"({"event": "options", "params":{"watchdog": {"enabled": true, "interval": 1}}})"));
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

// The heartbeat applies at once: switched on while connected, the running connection
// starts pinging; switched off, the pings stop.
TEST(ConsoleHeartBeat, OptionsApplyToTheLiveConnection)
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
    const auto first = peer.Process().WaitForLineContaining("ping", 10s);
    ASSERT_TRUE(first) << "the running connection did not start pinging";
    EXPECT_TRUE(peer.Process().WaitForLineContaining("ping", 10s, *first + 1));

    console.Send(R"({"message":"heartbeat","params":{"heartbeat":{"enabled":false}}})");
    ASSERT_TRUE(AwaitExact(
        console,
        R"({"event": "options", "params":{"heartbeat": {"enabled": false, "interval": 1}}})"));
    // A write and its echo: a ping the timer had sent before reaches the peer before it.
    console.Send(WriteCommand(R"("after")"));
    ASSERT_TRUE(AwaitExact(console, R"({"event": "message", "text": "after"})"));
    const std::size_t pings = peer.Process().Lines().size();
    EXPECT_FALSE(peer.Process().WaitForLineContaining("ping", 2500ms, pings))
        << "still pinging after the heartbeat was switched off";
}

// A user's close stops the watchdog until the next open; the next open arms it again.
TEST(ConsoleWatchDog, UsersCloseStopsReconnectingUntilTheNextOpen)
{
    if (!HavePythonWebSockets())
    {
        GTEST_SKIP() << "python3-websockets is not installed";
    }
    Peer peer;
    ASSERT_TRUE(peer.Start(Peer::PythonWS, {"--report-close"}));
    Console console;
    ASSERT_TRUE(console.Start());
    console.Send(R"({"message":"watchdog","params":{"watchdog":{"enabled":true,"interval":1}}})");
    ASSERT_TRUE(console.Await(R"("watchdog": {"enabled": true, "interval": 1})"));
    for (const char* close :
         {R"({"message":"close","params":{"code":1000}})", R"({"message":"close"})"})
    {
        SCOPED_TRACE(close);
        console.Open(peer.Url());
        ASSERT_TRUE(AwaitExact(console, ConnectedLine)) << console.Dump();
        console.Send(close);
        ASSERT_TRUE(console.Await(R"({"event": "disconnected")")) << console.Dump();
        // Two watchdog intervals and more: no attempt.
        EXPECT_FALSE(console.AwaitFrom(console.Mark(), ConnectedLine, 2500ms)) << console.Dump();
    }
}

// Enabled while connected, the watchdog brings a lost connection back.
TEST(ConsoleWatchDog, EnabledWhileConnectedReconnects)
{
    if (!HavePythonWebSockets())
    {
        GTEST_SKIP() << "python3-websockets is not installed";
    }
    Peer peer;
    ASSERT_TRUE(peer.Start(Peer::PythonWS, {}));
    const int port = peer.Port();
    Console console;
    ASSERT_TRUE(console.Start());
    console.Open(peer.Url());
    ASSERT_TRUE(AwaitExact(console, ConnectedLine)) << console.Dump();
    console.Send(R"({"message":"watchdog","params":{"watchdog":{"enabled":true,"interval":1}}})");
    ASSERT_TRUE(console.Await(R"("watchdog": {"enabled": true, "interval": 1})"));
    peer.Stop();
    ASSERT_TRUE(console.Await(R"({"event": "disconnected")")) << console.Dump();
    Peer back;
    ASSERT_TRUE(back.Start(Peer::PythonWS, {"--port", std::to_string(port)}));
    EXPECT_TRUE(console.AwaitFrom(console.Lines().size() - 1, ConnectedLine, 20s))
        << console.Dump();
}

// ---- The end of a session ----

struct EndCase
{
    const char* name;
    // How the session ends: a line, the end of input, or a signal.
    const char* line;
    int signal;
    int exitCode;
    // python websockets answers a close at once and drops the echoes its handler has not
    // sent yet; node ws echoes every message that came before the close.
    Peer::Kind peer;
};

void PrintTo(const EndCase& c, std::ostream* os)
{
    *os << c.name;
}

class ConsoleEnd : public testing::TestWithParam<EndCase>
{};

// However the session ends, a connection still open is closed with 1000, and the echoes
// still in flight and the disconnected line are printed before the program exits.
TEST_P(ConsoleEnd, ClosesWith1000AndPrintsTheLastEvents)
{
    if (!HavePythonWebSockets())
    {
        GTEST_SKIP() << "python3-websockets is not installed";
    }
    const EndCase& c = GetParam();
    if (c.peer == Peer::NodeWS && !HaveNodeWs())
    {
        GTEST_SKIP() << "node ws is not installed";
    }
    const bool python = c.peer == Peer::PythonWS;
    Peer peer;
    ASSERT_TRUE(peer.Start(c.peer, python ? std::vector<std::string>{"--report-close"}
                                          : std::vector<std::string>{}));
    Console console;
    ASSERT_TRUE(console.Start({"-quiet", peer.Url()}));
    ASSERT_TRUE(AwaitExact(console, ConnectedLine)) << console.Dump();
    // Written at once with what ends the session: their echoes are still on the way.
    std::string script;
    for (int i = 1; i <= 20; ++i)
    {
        script += WriteCommand("\"echo " + std::to_string(i) + "\"") + "\n";
    }
    if (c.signal != 0)
    {
        console.Process().Write(script);
        // The signal comes once the commands were read (their first echo is back).
        ASSERT_TRUE(console.Await(R"({"event": "message", "text": "echo 1"})"));
        ::kill(console.Process().Pid(), c.signal);
    }
    else
    {
        console.Process().Write(script + c.line);
        if (std::string(c.line).empty())
        {
            console.Process().CloseStdin();
        }
    }
    EXPECT_EQ(console.Process().WaitForExit(20s), c.exitCode) << console.Dump();
    const auto lines = console.Lines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), DisconnectedLine(1000)) << console.Dump();
    // The echoes that came, in order, before the disconnected line: all of them from a
    // peer that sends them all.
    std::vector<std::string> expected = {ConnectedLine};
    for (int i = 1; i <= 20 && expected.size() + 1 < lines.size(); ++i)
    {
        expected.push_back(R"({"event": "message", "text": "echo )" + std::to_string(i) + "\"}");
    }
    expected.push_back(DisconnectedLine(1000));
    EXPECT_EQ(lines, expected);
    if (c.signal == 0 && !python)
    {
        EXPECT_EQ(lines.size(), 22u) << "echoes lost";
    }
    if (python)
    {
        EXPECT_TRUE(peer.Process().WaitForLineContaining("closed 1000", 20s));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Interop, ConsoleEnd,
    testing::Values(EndCase{"exit", "exit\n", 0, 0, Peer::NodeWS},
                    EndCase{"end_of_input", "", 0, 0, Peer::NodeWS},
                    EndCase{"exit_python", "EXIT\n", 0, 0, Peer::PythonWS},
                    EndCase{"sigint", "", SIGINT, 128 + SIGINT, Peer::PythonWS},
                    EndCase{"sigterm", "", SIGTERM, 128 + SIGTERM, Peer::NodeWS}),
    [](const testing::TestParamInfo<EndCase>& p) { return p.param.name; });

// A server that never answers the close: the end waits for the close time-out (and then
// prints the disconnected line), unless a second SIGINT ends the program at once.
TEST(ConsoleEndMute, CloseTimeOutOrASecondSigint)
{
    if (!HavePythonWebSockets())
    {
        GTEST_SKIP() << "python3 is not installed";
    }
    for (const bool second : {true, false})
    {
        SCOPED_TRACE(second ? "second SIGINT" : "close time-out");
        Peer mute;
        ASSERT_TRUE(mute.Start(Peer::Raw, {"ws-mute"}));
        Console console;
        ASSERT_TRUE(console.Start({"-quiet", mute.Url()}));
        ASSERT_TRUE(AwaitExact(console, ConnectedLine)) << console.Dump();
        ::kill(console.Process().Pid(), SIGINT);
        ASSERT_TRUE(mute.Process().WaitForLineContaining("frame 8", 20s)) << "no close frame";
        if (second)
        {
            ::kill(console.Process().Pid(), SIGINT);
            EXPECT_EQ(console.Process().WaitForExit(20s), 128 + SIGINT);
            // Gone without waiting out the close time-out, which prints the disconnected line.
            EXPECT_EQ(console.Lines(), std::vector<std::string>{ConnectedLine});
        }
        else
        {
            EXPECT_EQ(console.Process().WaitForExit(20s), 128 + SIGINT);
            ASSERT_EQ(console.Lines().size(), 2u) << console.Dump();
            EXPECT_EQ(console.Lines()[1].rfind(R"({"event": "disconnected", "code": )", 0), 0u);
        }
    }
}

// ---- open ----

// Another URL while connected: the connection is closed with 1000, then the new one opens.
TEST(ConsoleOpen, AnotherUrlWhileConnectedClosesFirst)
{
    if (!HavePythonWebSockets())
    {
        GTEST_SKIP() << "python3-websockets is not installed";
    }
    Peer first, second;
    ASSERT_TRUE(first.Start(Peer::PythonWS, {"--report-close", "--report-messages"}));
    ASSERT_TRUE(second.Start(Peer::PythonWS, {"--report-messages"}));
    Console console;
    ASSERT_TRUE(console.Start({"-quiet"}));
    console.Open(first.Url());
    ASSERT_TRUE(AwaitExact(console, ConnectedLine)) << console.Dump();
    // The same URL again, and no URL, change nothing while connected.
    console.Open(first.Url());
    console.Send(R"({"message":"open"})");
    console.Open(second.Url());
    console.Send(WriteCommand(R"("to the second")"));
    ASSERT_TRUE(AwaitExact(console, R"({"event": "message", "text": "to the second"})"))
        << console.Dump();
    EXPECT_EQ(console.Lines(),
              (std::vector<std::string>{ConnectedLine, DisconnectedLine(1000), ConnectedLine,
                                        R"({"event": "message", "text": "to the second"})"}));
    EXPECT_TRUE(first.Process().WaitForLineContaining("closed 1000", 20s));
    EXPECT_TRUE(second.Process().WaitForLineContaining("message to the second", 20s));
    EXPECT_FALSE(first.Process().WaitForLineContaining("message", 0ms));
}

// subprotocol, headers and origin reach the server's request.
TEST(ConsoleOpen, SubprotocolHeadersAndOrigin)
{
    if (!HavePythonWebSockets())
    {
        GTEST_SKIP() << "python3-websockets is not installed";
    }
    Peer peer;
    ASSERT_TRUE(peer.Start(Peer::PythonWS, {"--report-headers", "--subprotocols", "one"}));
    Console console;
    ASSERT_TRUE(console.Start({"-quiet"}));
    console.Send(R"({"message":"open","params":{"url":")" + peer.Url() +
                 R"(","subprotocol":"zero, one","origin":"http://example.test",)"
                 R"("headers":{"X-Kbz-Test":"a \"quoted\" value","Authorization":"Bearer t0k"}}})");
    ASSERT_TRUE(AwaitExact(console, ConnectedLine)) << console.Dump();
    console.Send(WriteCommand(R"("chat")"));
    EXPECT_TRUE(AwaitExact(console, R"({"event": "message", "text": "chat"})")) << console.Dump();
    auto& p = peer.Process();
    EXPECT_TRUE(p.WaitForLineContaining("header Origin: http://example.test", 10s));
    EXPECT_TRUE(p.WaitForLineContaining(R"(header X-Kbz-Test: a "quoted" value)", 10s));
    EXPECT_TRUE(p.WaitForLineContaining("header Authorization: Bearer t0k", 10s));
    EXPECT_TRUE(p.WaitForLineContaining("header Sec-WebSocket-Protocol: zero,one", 10s));
    EXPECT_TRUE(p.WaitForLineContaining("subprotocol one", 10s));

    // Refused before anything is sent; the connection stays as it was.
    const char* const refused[] = {
        R"("headers":{"X-Bad":"a\r\nInjected: yes"})", R"("headers":{"Bad Name":"x"})",
        R"("headers":{"Sec-WebSocket-Key":"x"})",      R"("headers":"X-Not-An-Object: 1")",
        R"("origin":"http://a\r\nInjected: yes")",
    };
    for (const char* args : refused)
    {
        SCOPED_TRACE(args);
        console.Send(R"({"message":"open","params":{"url":"ws://127.0.0.1:1/",)" +
                     std::string(args) + "}}");
        const auto at = console.Await("EArgumentException: ");
        ASSERT_TRUE(at) << console.Dump();
    }
    console.Send(WriteCommand(R"("still the first")"));
    EXPECT_TRUE(AwaitExact(console, R"({"event": "message", "text": "still the first"})"))
        << console.Dump();
    const auto peerLines = p.Lines();
    EXPECT_EQ(std::count(peerLines.begin(), peerLines.end(), "subprotocol one"), 1);
}

// ws://[::1]:PORT/ reaches a server on the IPv6 loopback.
TEST(ConsoleOpen, Ipv6Literal)
{
    if (!HavePythonWebSockets())
    {
        GTEST_SKIP() << "python3-websockets is not installed";
    }
    Peer peer;
    if (!peer.Start(Peer::PythonWS, {"--host", "::1"}))
    {
        GTEST_SKIP() << "no IPv6 loopback";
    }
    Console console;
    ASSERT_TRUE(console.Start({"-quiet"}));
    console.Open("ws://[::1]:" + std::to_string(peer.Port()) + "/v6");
    ASSERT_TRUE(AwaitExact(console, ConnectedLine)) << console.Dump();
    console.Send(WriteCommand(R"("over v6")"));
    EXPECT_TRUE(AwaitExact(console, R"({"event": "message", "text": "over v6"})"))
        << console.Dump();
}

// ---- TLS ----

// Servers that accept TLS 1.3 only: a python wss server, and openssl s_server under a raw
// tcps:// session.
TEST(ConsoleTls, Tls13OnlyServers)
{
    if (!HavePythonWebSockets() || !HaveProgram("openssl"))
    {
        GTEST_SKIP() << "python3-websockets or openssl is not installed";
    }
    Peer peer;
    ASSERT_TRUE(
        peer.Start(Peer::PythonWS, {"--tls13", "--tls", Certs().ServerCert, Certs().ServerKey}));
    Console console;
    ASSERT_TRUE(console.Start({"-quiet"}));
    console.Open(peer.Url("wss"));
    ASSERT_TRUE(AwaitExact(console, ConnectedLine)) << console.Dump();
    console.Send(WriteCommand(R"("over 1.3")"));
    ASSERT_TRUE(AwaitExact(console, R"({"event": "message", "text": "over 1.3"})"))
        << console.Dump();
    console.Send(R"({"message":"close","params":{"code":1000}})");
    ASSERT_TRUE(AwaitExact(console, DisconnectedLine(1000))) << console.Dump();

    TestProcess server;
    const int port = FreePort();
    ASSERT_TRUE(server.Start({"openssl", "s_server", "-tls1_3", "-accept",
                              "127.0.0.1:" + std::to_string(port), "-cert", Certs().ServerCert,
                              "-key", Certs().ServerKey},
                             {{}, "", true}));
    ASSERT_TRUE(server.WaitForLine([](const std::string& l) { return l == "ACCEPT"; }, 20s));
    console.Open("tcps://127.0.0.1:" + std::to_string(port) + "/");
    ASSERT_TRUE(AwaitExact(console, ConnectedLine)) << console.Dump();
    console.Send(WriteCommand(R"("raw over 1.3\n")"));
    EXPECT_TRUE(server.WaitForLineContaining("raw over 1.3", 20s));
}

// -tls.verify and -tls.ca check the server's certificate and host name; without them the
// console does not check.
TEST(ConsoleTls, VerifySwitches)
{
    if (!HavePythonWebSockets())
    {
        GTEST_SKIP() << "python3-websockets is not installed";
    }
    Peer peer;
    ASSERT_TRUE(peer.Start(Peer::PythonWS, {"--tls", Certs().ServerCert, Certs().ServerKey}));
    const std::string port = std::to_string(peer.Port());
    struct Case
    {
        std::vector<std::string> switches;
        std::string url;
        bool connects;
    };
    const Case cases[] = {
        {{}, "wss://127.0.0.1:" + port + "/", true},
        {{"-tls.ca", Certs().CACert}, "wss://localhost:" + port + "/", true},
        {{"-tls.ca:" + Certs().CACert}, "wss://127.0.0.1:" + port + "/", true},
        // The system's store does not know our throw-away CA.
        {{"-tls.verify"}, "wss://localhost:" + port + "/", false},
        {{"-tls.ca", Certs().OtherCACert}, "wss://localhost:" + port + "/", false},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.url + (c.switches.empty() ? "" : " " + c.switches.front()));
        std::vector<std::string> args = c.switches;
        args.push_back("-quiet");
        Console console;
        ASSERT_TRUE(console.Start(args));
        console.Open(c.url);
        const auto at = console.Await(c.connects ? ConnectedLine : R"({"event": "error")");
        ASSERT_TRUE(at) << console.Dump();
        EXPECT_EQ(console.Line(*at), c.connects ? ConnectedLine : console.Line(*at));
        if (!c.connects)
        {
            const auto lines = console.Lines();
            EXPECT_EQ(std::count(lines.begin(), lines.end(), ConnectedLine), 0);
        }
        EXPECT_EQ(console.Exit(), 0);
    }
}

// Two consoles on one kbzEchoServer: what one broadcasts, both receive.
TEST(ConsoleEchoServer, BroadcastReachesEveryClient)
{
    TestProcess server;
    ASSERT_TRUE(server.Start({BinaryPath("kbzEchoServer"), "0"}));
    const auto ready = server.WaitForLineContaining("listening on 127.0.0.1:", 20s);
    ASSERT_TRUE(ready);
    const std::string url =
        "ws://" + server.Lines()[*ready].substr(std::string("listening on ").size()) + "/";
    Console a, b;
    ASSERT_TRUE(a.Start({"-quiet", url}));
    ASSERT_TRUE(b.Start({"-quiet", url}));
    ASSERT_TRUE(AwaitExact(a, ConnectedLine));
    ASSERT_TRUE(AwaitExact(b, ConnectedLine));
    a.Send(R"({"message":"broadcast","params":{"text":"hi \"all\""}})");
    const std::string line = R"({"event": "message", "text": "hi \"all\""})";
    EXPECT_TRUE(AwaitExact(a, line)) << a.Dump();
    EXPECT_TRUE(AwaitExact(b, line)) << b.Dump();
    // An ordinary text is still only echoed.
    b.Send(WriteCommand(R"("#kbz_broadcast is not the prefix")"));
    EXPECT_TRUE(
        AwaitExact(b, R"({"event": "message", "text": "#kbz_broadcast is not the prefix"})"));
    EXPECT_FALSE(a.Process().WaitForLineContaining("not the prefix", 500ms));
}

} // namespace
