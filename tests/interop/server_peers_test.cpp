// Our server against clients we did not write: python3-websockets and node ws
// (both with permessage-deflate) talk to the echo server example and to the
// console's log relay.
#include "tests/support/kbzTestProcess.h"

#include <csignal>
#include <cstdlib>
#include <gtest/gtest.h>
#include <string>
#include <vector>

using namespace kbz::test;

namespace
{

const std::string kPython = "/usr/bin/python3";
const std::map<std::string, std::string> kNodeEnv = {{"NODE_PATH", "/usr/share/nodejs"}};

bool Probe(const std::vector<std::string>& argv, const TestProcess::Options& options = {})
{
    if (!HaveProgram(argv.front()))
    {
        return false;
    }
    TestProcess probe;
    return probe.Start(argv, options) && probe.WaitForExit(30s) == 0;
}

bool HavePeer(const std::string& kind)
{
    if (kind == "python")
    {
        static const bool have = Probe({kPython, "-c", "import websockets"});
        return have;
    }
    static const bool have = Probe({"node", "-e", "require('ws')"}, {kNodeEnv, "", false});
    return have;
}

// The echo server's command line, on the engine that KBZ_TEST_ENGINE names
// (ctest runs these tests once more with it set to epoll).
std::vector<std::string> EchoServer(std::vector<std::string> args)
{
    std::vector<std::string> argv = {BinaryPath("kbzEchoServer")};
    if (const char* engine = std::getenv("KBZ_TEST_ENGINE"))
    {
        argv.insert(argv.end(), {"-io", engine});
    }
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
}

// One line-driven client (tests/interop/server_peers/ws_peer.*).
class Peer
{
public:
    bool Start(const std::string& kind, const std::string& url, bool deflate)
    {
        const std::string mode = deflate ? "deflate" : "plain";
        const bool started =
            kind == "python"
                ? FProcess.Start(
                      {kPython, SourcePath("tests/interop/server_peers/ws_peer.py"), url, mode},
                      {{}, "", true})
                : FProcess.Start(
                      {"node", SourcePath("tests/interop/server_peers/ws_peer.js"), url, mode},
                      {kNodeEnv, "", true});
        if (!started)
        {
            return false;
        }
        const auto open = FProcess.WaitForLine(
            [](const std::string& l) {
                return l.rfind("open", 0) == 0 || l.rfind("error", 0) == 0;
            },
            15s);
        if (!open || FProcess.Lines()[*open].rfind("open", 0) != 0)
        {
            return false;
        }
        FOpen = FProcess.Lines()[*open];
        FNext = *open + 1;
        return true;
    }
    const std::string& OpenLine() const { return FOpen; }
    void Send(const std::string& line) { FProcess.WriteLine(line); }
    // The next line the peer prints (after those already taken).
    std::string Next()
    {
        const auto at = FProcess.WaitForLine([](const std::string&) { return true; }, 20s, FNext);
        if (!at)
        {
            return "<nothing>";
        }
        FNext = *at + 1;
        return FProcess.Lines()[*at];
    }
    TestProcess& Process() { return FProcess; }

private:
    TestProcess FProcess;
    std::string FOpen;
    std::size_t FNext = 0;
};

class PeerTest : public ::testing::TestWithParam<std::string>
{
protected:
    void SetUp() override
    {
        if (!HavePeer(GetParam()))
        {
            GTEST_SKIP() << GetParam() << " WebSocket peer not installed";
        }
    }
};

} // namespace

TEST_P(PeerTest, EchoServerWithCompression)
{
    for (const bool deflate : {true, false})
    {
        SCOPED_TRACE(deflate ? "deflate" : "plain");
        TestProcess server;
        ASSERT_TRUE(server.Start(deflate ? EchoServer({"-deflate", "0"}) : EchoServer({"0"})));
        const auto listening = server.WaitForLineContaining("listening on 127.0.0.1:", 10s);
        ASSERT_TRUE(listening);
        const std::string line = server.Lines()[*listening];
        const std::string port = line.substr(line.rfind(':') + 1);

        Peer peer;
        ASSERT_TRUE(peer.Start(GetParam(), "ws://127.0.0.1:" + port + "/", true));
        EXPECT_EQ(peer.OpenLine().find("permessage-deflate") != std::string::npos, deflate)
            << peer.OpenLine();
        const std::vector<std::pair<std::string, std::string>> exchanges = {
            {"text hello", "text hello"},
            {"text h\xC3\xA9llo \xE2\x82\xAC \xF0\x9F\x98\x80",
             "text h\xC3\xA9llo \xE2\x82\xAC \xF0\x9F\x98\x80"},
            {"binary 00ff10807f", "binary 00ff10807f"},
            {"long 300000", "text-len 300000 all-a"},
            {"fragments Frag men ted", "text Fragmented"},
            {"text again", "text again"},
        };
        for (const auto& [send, expect] : exchanges)
        {
            SCOPED_TRACE(send);
            peer.Send(send);
            EXPECT_EQ(peer.Next(), expect);
        }
        peer.Send("close");
        EXPECT_EQ(peer.Next(), "closed 1000");
        // SIGTERM ends the server cleanly.
        ::kill(server.Pid(), SIGTERM);
        EXPECT_EQ(server.WaitForExit(10s), 0);
    }
}

TEST_P(PeerTest, BigAndFragmentedMessages)
{
    TestProcess server;
    ASSERT_TRUE(server.Start(EchoServer({"0"})));
    const auto listening = server.WaitForLineContaining("listening on 127.0.0.1:", 10s);
    ASSERT_TRUE(listening);
    const std::string line = server.Lines()[*listening];
    const std::string url = "ws://127.0.0.1:" + line.substr(line.rfind(':') + 1) + "/";
    {
        Peer peer;
        ASSERT_TRUE(peer.Start(GetParam(), url, false));
        // 4 MiB in frames of every size, then 64 MiB (the largest message) in one.
        for (const char* fragment : {"64", "1024", "65536"})
        {
            SCOPED_TRACE(fragment);
            peer.Send(std::string("pattern 4194304 ") + fragment);
            EXPECT_EQ(peer.Next(), "binary-len 4194304 pattern");
        }
        peer.Send("pattern 67108864 0");
        EXPECT_EQ(peer.Next(), "binary-len 67108864 pattern");
        peer.Send("close");
        EXPECT_EQ(peer.Next(), "closed 1000");
    }
    // One byte more is refused with 1009, whether it comes in one frame or in many.
    for (const char* fragment : {"0", "1048576"})
    {
        SCOPED_TRACE(fragment);
        Peer peer;
        ASSERT_TRUE(peer.Start(GetParam(), url, false));
        peer.Send(std::string("pattern 67108865 ") + fragment);
        EXPECT_EQ(peer.Next(), "closed 1009");
    }
    ::kill(server.Pid(), SIGTERM);
    EXPECT_EQ(server.WaitForExit(10s), 0);
}

TEST_P(PeerTest, RelayBroadcastsTheCommandsItRuns)
{
    const std::string port = std::to_string(FreePort());
    TestProcess console;
    ASSERT_TRUE(console.Start({BinaryPath("kbzWebSocketClient"), "-server", "-server.port", port}));
    ASSERT_TRUE(console.WaitForLineContaining("Server Listening on *:" + port, 10s));

    // The peer of this run and, beside it, the other kind when it is there.
    Peer first;
    ASSERT_TRUE(first.Start(GetParam(), "ws://127.0.0.1:" + port + "/", true));
    const std::string other = GetParam() == "python" ? "node" : "python";
    Peer second;
    const bool haveSecond = HavePeer(other) && second.Start(other, "ws://127.0.0.1:" + port, false);
    // The relay accepts no compression: both talk plain.
    EXPECT_EQ(first.OpenLine(), "open ");

    first.Send(
        R"(text {"message":"heartbeat","params":{"heartbeat":{"enabled":true,"interval":7}}})");
    const std::string heartbeat =
        R"(text {"event": "options", "params":{"heartbeat": {"enabled": true, "interval": 7}}})";
    EXPECT_EQ(first.Next(), heartbeat);
    if (haveSecond)
    {
        EXPECT_EQ(second.Next(), heartbeat);
        // A binary command from the other peer reaches both as well.
        const std::string command =
            R"({"message":"watchdog","params":{"watchdog":{"enabled":false,"interval":9}}})";
        std::string hex;
        for (const char ch : command)
        {
            const auto c = static_cast<unsigned char>(ch);
            static const char* digits = "0123456789abcdef";
            hex += digits[c >> 4];
            hex += digits[c & 15];
        }
        second.Send("binary " + hex);
        const std::string watchdog =
            R"(text {"event": "options", "params":{"watchdog": {"enabled": false, "interval": 9}}})";
        EXPECT_EQ(second.Next(), watchdog);
        EXPECT_EQ(first.Next(), watchdog);
    }
    // What the console prints goes to the peers too; connect lines do not.
    console.WriteLine(R"({"message":"heartbeat","params":{"heartbeat":{"enabled":false}}})");
    EXPECT_EQ(
        first.Next(),
        R"(text {"event": "options", "params":{"heartbeat": {"enabled": false, "interval": 7}}})");
    first.Send("close");
    EXPECT_EQ(first.Next(), "closed 1000");
    EXPECT_TRUE(console.WaitForLineContaining(" disconnected from 127.0.0.1", 10s));
    console.WriteLine("EXIT");
    EXPECT_EQ(console.WaitForExit(10s), 0);
}

INSTANTIATE_TEST_SUITE_P(Peers, PeerTest, ::testing::Values("python", "node"),
                         [](const ::testing::TestParamInfo<std::string>& i) { return i.param; });
