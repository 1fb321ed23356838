// The echo server example as a program: its engine switch, SIGTERM while a
// connection is busy, and the memory a large compressed message costs it.
#include "tests/server/kbzRawWSClient.h"
#include "tests/support/kbzTestProcess.h"

#include <atomic>
#include <csignal>
#include <fstream>
#include <gtest/gtest.h>
#include <string>
#include <thread>
#include <vector>

using namespace kbz;
using namespace kbz::test;

namespace
{

// Starts kbzEchoServer with the arguments before the port (0); its port, or 0.
int StartEchoServer(TestProcess& server, std::vector<std::string> args)
{
    args.insert(args.begin(), BinaryPath("kbzEchoServer"));
    args.push_back("0");
    if (!server.Start(args))
    {
        return 0;
    }
    const auto listening = server.WaitForLineContaining("listening on 127.0.0.1:", 10s);
    if (!listening)
    {
        return 0;
    }
    const std::string line = server.Lines()[*listening];
    return std::stoi(line.substr(line.rfind(':') + 1));
}

// A field of /proc/PID/status in KiB (VmRSS, VmHWM), or -1 (unused where the sanitizer
// skips the memory test).
[[maybe_unused]] long StatusKiB(int pid, const std::string& field)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line))
    {
        if (line.rfind(field + ":", 0) == 0)
        {
            return std::stol(line.substr(field.size() + 1));
        }
    }
    return -1;
}

// Sends one text of N bytes ('a', so it compresses to a few KiB) with
// permessage-deflate and prints the length of the echo.
const char* const kPythonSender = R"(
import asyncio, sys, websockets
async def main():
    async with websockets.connect(sys.argv[1], max_size=None, ping_interval=None) as ws:
        print("extensions", ws.response_headers.get("Sec-WebSocket-Extensions"), flush=True)
        await ws.send("a" * int(sys.argv[2]))
        print("echo", len(await ws.recv()), flush=True)
asyncio.run(main())
)";

} // namespace

TEST(EchoServerProgram, EngineSwitch)
{
    struct Case
    {
        std::vector<std::string> args;
        int exitCode; // -1: it runs and echoes
        std::string stderrLine;
    };
    const std::vector<Case> cases = {
        {{}, -1, ""},
        {{"-io", "threads"}, -1, ""},
        {{"-io", "pool"}, -1, ""},
        {{"-io", "epoll"}, -1, ""},
        {{"-io", "fibers"}, 2, ""},
        {{"-io"}, 2, ""},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.args.empty() ? "default" : c.args.back());
        TestProcess server;
        if (c.exitCode >= 0)
        {
            std::vector<std::string> argv = {BinaryPath("kbzEchoServer")};
            argv.insert(argv.end(), c.args.begin(), c.args.end());
            argv.push_back("0");
            ASSERT_TRUE(server.Start(argv));
            EXPECT_EQ(server.WaitForExit(10s), c.exitCode);
            const auto err = server.StderrLines();
            if (c.stderrLine.empty())
            {
                ASSERT_FALSE(err.empty());
                EXPECT_EQ(err.front().rfind("usage: kbzEchoServer ", 0), 0u) << err.front();
            }
            else
            {
                EXPECT_EQ(err, std::vector<std::string>{c.stderrLine});
            }
            continue;
        }
        const int port = StartEchoServer(server, c.args);
        ASSERT_GT(port, 0);
        RawWSClient peer;
        ASSERT_TRUE(peer.Connect(port));
        peer.SendText("hello");
        while (peer.TakeMessages().empty() && peer.ReadSome(5000))
        {}
        EXPECT_FALSE(peer.Closed());
        ::kill(server.Pid(), SIGTERM);
        EXPECT_EQ(server.WaitForExit(10s), 0);
    }
}

TEST(EchoServerProgram, SigtermEndsItWhileAConnectionIsBusy)
{
    const std::string payload(1 << 20, 'x');
    const auto frame = kbzBuildFrame(TOpcode::opBinary, kbzAsBytes(payload), true, true, false);
    const std::string_view bytes(reinterpret_cast<const char*>(frame.data()), frame.size());
    for (const char* engine : {"threads", "pool", "epoll"})
    {
        SCOPED_TRACE(engine);
        TestProcess server;
        const int port = StartEchoServer(server, {"-io", engine});
        ASSERT_GT(port, 0);
        // A peer that sends far more than it reads, so that the server's echoes
        // stall in writes to it, and a second peer in the middle of a message.
        RawWSClient stalled;
        ASSERT_TRUE(stalled.Connect(port));
        std::atomic<int> sent{0};
        std::thread sender([&] {
            // Ends when the server has gone and the socket fails.
            for (int i = 0; i < 64; ++i)
            {
                stalled.SendRaw(bytes);
                ++sent;
            }
        });
        const bool stalling = WaitUntil([&] { return sent.load() >= 8; }, 10s);
        RawWSClient midway;
        const bool connected = midway.Connect(port);
        midway.SendRaw(bytes.substr(0, bytes.size() / 2));

        ::kill(server.Pid(), SIGTERM);
        EXPECT_EQ(server.WaitForExit(5s), 0);
        ::shutdown(stalled.Fd(), SHUT_RDWR);
        sender.join();
        EXPECT_TRUE(stalling);
        EXPECT_TRUE(connected);
    }
}

TEST(EchoServerProgram, ALargeCompressedMessageCostsAboutTwiceItsSize)
{
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the sanitizer's allocator keeps freed memory";
#else
    if (!HaveProgram("/usr/bin/python3"))
    {
        GTEST_SKIP() << "python3 not installed";
    }
    TestProcess server;
    const int port = StartEchoServer(server, {"-deflate"});
    ASSERT_GT(port, 0);
    const long base = StatusKiB(server.Pid(), "VmHWM");
    ASSERT_GT(base, 0);
    // 60 MiB that come as about 60 KiB: the server inflates it, hands it to
    // its handler and compresses the echo.
    constexpr long size = 60L << 20;
    TestProcess peer;
    ASSERT_TRUE(peer.Start({"/usr/bin/python3", "-c", kPythonSender,
                            "ws://127.0.0.1:" + std::to_string(port) + "/", std::to_string(size)},
                           {{}, "", true}));
    if (peer.WaitForExit(60s) != 0 && peer.Lines().empty())
    {
        GTEST_SKIP() << "python3-websockets not installed";
    }
    ASSERT_EQ(peer.Lines().size(), 2u);
    EXPECT_NE(peer.Lines()[0].find("permessage-deflate"), std::string::npos) << peer.Lines()[0];
    EXPECT_EQ(peer.Lines()[1], "echo " + std::to_string(size));
    // The inflated message once, a copy on the way to the handler and one for
    // the compressor's input, never all at once with more.
    const long peak = StatusKiB(server.Pid(), "VmHWM") - base;
    EXPECT_LT(peak, size / 1024 * 5 / 2) << peak << " KiB at the peak";
    // And it is given back once the message is done.
    EXPECT_TRUE(WaitUntil([&] { return StatusKiB(server.Pid(), "VmRSS") - base < 16 * 1024; }, 5s))
        << StatusKiB(server.Pid(), "VmRSS") << " KiB resident";
    ::kill(server.Pid(), SIGTERM);
    EXPECT_EQ(server.WaitForExit(10s), 0);
#endif
}
