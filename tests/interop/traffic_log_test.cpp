// The traffic log against peers we did not write: the console's -log during a
// session with the python websockets echo server, and kbzEchoServer -log with
// a python websockets client that pings and sends lines with line breaks.
#include "tests/interop/client_peers.h"

#include <fstream>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace kbz::test::client
{
namespace
{

std::vector<std::string> FileLines(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);)
    {
        if (!line.empty() && line.back() == '\r')
        {
            line.pop_back();
        }
        lines.push_back(line);
    }
    return lines;
}

std::string Dump(const std::vector<std::string>& lines)
{
    std::string out;
    for (const std::string& l : lines)
    {
        out += l + "\n";
    }
    return out;
}

int Count(const std::vector<std::string>& lines, const std::string& start, const std::string& has)
{
    int n = 0;
    for (const std::string& l : lines)
    {
        n += l.rfind(start, 0) == 0 && l.find(has) != std::string::npos;
    }
    return n;
}

} // namespace

TEST(TrafficLogInterop, ConsoleLogsTheHandshakeRawAndFramesDecoded)
{
    if (!HavePythonWebSockets())
    {
        GTEST_SKIP() << "python3-websockets is not installed";
    }
    Peer server;
    ASSERT_TRUE(server.Start(Peer::PythonWS, {"--port", "0"}));
    const std::string file = MakeTempDir("kbz-log") + "/console.log";
    Console console;
    ASSERT_TRUE(console.Start({"-quiet", "-log", file}));
    console.Open(server.Url());
    ASSERT_TRUE(console.Await(ConnectedLine)) << console.Dump();
    // A message with a line break and a forged line after it.
    console.Send(R"({"message":"write","params":{"text":"one\r\nStat Disconnected."}})");
    ASSERT_TRUE(console.Await("Stat Disconnected.")) << console.Dump();
    console.Send(R"({"message":"close","params":{"code":1000}})");
    ASSERT_TRUE(console.Await(DisconnectedLine(1000))) << console.Dump();
    EXPECT_EQ(console.Exit(), 0);

    const auto lines = FileLines(file);
    SCOPED_TRACE(Dump(lines));
    for (const std::string& l : lines)
    {
        EXPECT_TRUE(l.rfind("Stat ", 0) == 0 || l.rfind("Sent ", 0) == 0 ||
                    l.rfind("Recv ", 0) == 0)
            << l;
    }
    EXPECT_EQ(Count(lines, "Stat Connected.", ""), 1);
    // Only the real end of the connection, not the forged one inside the message.
    EXPECT_EQ(Count(lines, "Stat Disconnected.", ""), 1);
    EXPECT_EQ(Count(lines, "Sent ", ": GET / HTTP/1.1\\r\\n"), 1);
    EXPECT_EQ(Count(lines, "Recv ", ": HTTP/1.1 101 Switching Protocols\\r\\n"), 1);
    EXPECT_EQ(Count(lines, "Sent ", ": [text] one\\r\\nStat Disconnected."), 1);
    EXPECT_EQ(Count(lines, "Sent ", ": [close] "), 1);
    // The server's echo is unmasked: raw, readable.
    EXPECT_EQ(Count(lines, "Recv ", "one\\r\\nStat Disconnected."), 1);
    // The client's masked frames never appear raw: every raw sent line is the handshake.
    EXPECT_EQ(Count(lines, "Sent ", ""), 3);
}

TEST(TrafficLogInterop, EchoServerLogsWhatClientsSendDecoded)
{
    if (!HavePythonWebSockets())
    {
        GTEST_SKIP() << "python3-websockets is not installed";
    }
    const std::string file = MakeTempDir("kbz-log") + "/server.log";
    TestProcess server;
    ASSERT_TRUE(server.Start({BinaryPath("kbzEchoServer"), "-log", file, "0"}));
    const auto at = server.WaitForLineContaining("listening on 127.0.0.1:", 10s);
    ASSERT_TRUE(at);
    const std::string port = server.Lines()[*at].substr(server.Lines()[*at].rfind(':') + 1);

    TestProcess peer;
    ASSERT_TRUE(peer.Start({Python, SourcePath("tests/interop/server_peers/ws_peer.py"),
                            "ws://127.0.0.1:" + port + "/", "plain"},
                           {{}, "", true}));
    ASSERT_TRUE(peer.WaitForLineContaining("open", 15s));
    peer.WriteLine("ping are you there");
    ASSERT_TRUE(peer.WaitForLineContaining("pong", 10s));
    peer.WriteLine("text x\ty");
    ASSERT_TRUE(peer.WaitForLineContaining("text x\ty", 10s));
    peer.WriteLine("close");
    ASSERT_TRUE(peer.WaitForLineContaining("closed 1000", 10s));
    server.Stop();

    const auto lines = FileLines(file);
    SCOPED_TRACE(Dump(lines));
    const std::string prefix = "127.0.0.1:";
    for (const std::string& l : lines)
    {
        EXPECT_EQ(l.rfind(prefix, 0), 0u) << l;
    }
    // The masked ping: its raw bytes, and one decoded line with its payload.
    EXPECT_EQ(Count(lines, prefix, " <<-- "), 3) << "ping, text, close";
    EXPECT_EQ(Count(lines, prefix, ": [ping] are you there"), 1);
    EXPECT_EQ(Count(lines, prefix, ": [text] x\\ty"), 1);
    EXPECT_GE(Count(lines, prefix, " Recv "), 3);
    // Our answers are not masked: logged raw, the pong's payload readable.
    EXPECT_EQ(Count(lines, prefix, " Sent "), 4) << "101, pong, echo, close";
    EXPECT_EQ(Count(lines, prefix, " Stat Connected."), 1);
}

// kbzEchoClient -log against a python websockets server that drives it, and the console's raw TCP
// session with -log: the handshake raw, the client's frames decoded, raw TCP writes as they went.
TEST(TrafficLogInterop, EchoClientAndRawTCPSessions)
{
    if (!HavePythonWebSockets())
    {
        GTEST_SKIP() << "python3-websockets is not installed";
    }
    {
        Peer driver;
        ASSERT_TRUE(driver.Start(Peer::PythonWS, {"--mode", "driver"}));
        const std::string file = MakeTempDir("kbz-log") + "/echo.log";
        TestProcess echo;
        ASSERT_TRUE(echo.Start(
            {BinaryPath("kbzEchoClient"), "-log", file, driver.Url("ws", 0, "/driver")}));
        ASSERT_EQ(echo.WaitForExit(60s), 0);
        const auto lines = FileLines(file);
        SCOPED_TRACE(Dump(lines));
        EXPECT_EQ(Count(lines, "Stat Connected.", ""), 1);
        EXPECT_EQ(Count(lines, "Stat Disconnected.", ""), 1);
        EXPECT_EQ(Count(lines, "Sent ", ": GET /driver HTTP/1.1\\r\\n"), 1);
        EXPECT_GE(Count(lines, "Sent ", ": [text] "), 1);
        EXPECT_EQ(Count(lines, "Sent ", ": [close] "), 1);
    }
    {
        Peer peer;
        ASSERT_TRUE(peer.Start(Peer::Raw, {"tcp-echo"}));
        const std::string file = MakeTempDir("kbz-log") + "/raw.log";
        Console console;
        ASSERT_TRUE(console.Start({"-quiet", "-log", file}));
        console.Open(peer.Url("tcp", 0, ""));
        ASSERT_TRUE(console.Await(ConnectedLine)) << console.Dump();
        console.Send(R"({"message":"write","params":{"text":"raw line\r\nStat Disconnected.\n"}})");
        ASSERT_TRUE(peer.Process().WaitForLineContaining("raw line", 20s));
        console.Send(R"({"message":"close"})");
        ASSERT_TRUE(console.Await(DisconnectedLine(0))) << console.Dump();
        EXPECT_EQ(console.Exit(), 0);
        const auto lines = FileLines(file);
        SCOPED_TRACE(Dump(lines));
        EXPECT_EQ(Count(lines, "Sent ", ": raw line\\r\\nStat Disconnected.\\n"), 1);
        EXPECT_EQ(Count(lines, "Stat Disconnected.", ""), 1);
    }
}

} // namespace kbz::test::client
