// The intercept chain of connections: the bandwidth throttle in both
// directions on both sides, and the traffic log's texts, its default file and
// a file that cannot be opened. Our client and our server talk over loopback.
#include "client/kbzWebSocket_Client.h"
#include "server/kbzWebSocket_Server.h"
#include "tests/server/kbzServerEngine.h"
#include "tests/support/kbzTestProcess.h"
#include "transport/kbzTCP_Intercept.h"

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <mutex>
#include <string>
#include <vector>

namespace kbz
{
namespace
{

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Our server on 127.0.0.1 that echoes binaries, or answers "send N" with N bytes.
struct EchoServer
{
    std::mutex Lock;
    std::condition_variable Changed;
    std::size_t Received = 0; // bytes of the last binary message
    Clock::time_point ReceivedAt{};
    int Disconnects = 0;
    TkbzWSHTTPServer Server;

    explicit EchoServer(std::int32_t bitsPerSec = -1)
    {
        Server.SetPort(0);
        Server.Bindings().push_back({"127.0.0.1", 0, TwsIPVersion::ipV4});
        if (bitsPerSec >= 0)
        {
            Server.Throttle().Enabled = true;
            Server.Throttle().BitsPerSec = bitsPerSec;
        }
        Server.OnBinary = [this](const TkbzWSConnectionPtr&, TkbzMemoryStream& data) {
            std::lock_guard guard(Lock);
            Received = data.DataString().size();
            ReceivedAt = Clock::now();
            Changed.notify_all();
        };
        Server.OnMessage = [](const TkbzWSConnectionPtr& c, const std::string& text) {
            if (text.rfind("send ", 0) == 0)
            {
                c->WriteData(std::vector<std::uint8_t>(std::stoul(text.substr(5)), 'x'));
            }
            else
            {
                c->WriteData(text);
            }
        };
        Server.OnDisconnect = [this](const TkbzWSConnectionPtr&, int) {
            std::lock_guard guard(Lock);
            ++Disconnects;
            Changed.notify_all();
        };
        test::UseTestEngine(Server);
        Server.SetActive(true);
    }
    std::string URL() const { return "ws://127.0.0.1:" + std::to_string(Server.GetBoundPort()); }
    bool WaitReceived(std::size_t n, std::chrono::milliseconds timeout)
    {
        std::unique_lock lock(Lock);
        return Changed.wait_for(lock, timeout, [&] { return Received == n; });
    }
};

// Our client, recording the binary messages it gets.
struct Client
{
    std::mutex Lock;
    std::condition_variable Changed;
    std::size_t Received = 0;
    Clock::time_point ReceivedAt{};
    std::vector<std::string> Errors;
    TkbzWebSocketClient WS;

    explicit Client(const std::string& url, std::int32_t bitsPerSec = -1)
    {
        WS.SetURL(url);
        if (bitsPerSec >= 0)
        {
            WS.Throttle().Enabled = true;
            WS.Throttle().BitsPerSec = bitsPerSec;
        }
        WS.OnBinary = [this](const TkbzWSConnectionPtr&, TkbzMemoryStream& data) {
            std::lock_guard guard(Lock);
            Received = data.DataString().size();
            ReceivedAt = Clock::now();
            Changed.notify_all();
        };
        WS.OnError = [this](const TkbzWSConnectionPtr&, const std::string& text) {
            std::lock_guard guard(Lock);
            Errors.push_back(text);
        };
    }
    bool WaitReceived(std::size_t n, std::chrono::milliseconds timeout)
    {
        std::unique_lock lock(Lock);
        return Changed.wait_for(lock, timeout, [&] { return Received == n; });
    }
};

constexpr std::size_t k100KB = 100 * 1024;

double Seconds(Clock::duration d)
{
    return std::chrono::duration<double>(d).count();
}

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

} // namespace

// n bytes at a rate never take less than n * 8 / rate; the bytes that have
// arrived by a deadline stay within what the rate allows.
TEST(Throttle, HoldsBothDirectionsOnBothSides)
{
    struct Case
    {
        const char* name;
        std::int32_t client; // client's BitsPerSec (-1: no throttle)
        std::int32_t server; // server's BitsPerSec
        bool serverToClient; // the server sends the 100 KB
        double atLeastSeconds;
    };
    const Case cases[] = {
        {"client sends at 800 kbit/s", 800000, -1, false, 100.0 * 1024 * 8 / 800000},
        {"server receives at 3.2 Mbit/s", -1, 3200000, false, 100.0 * 1024 * 8 / 3200000},
        {"server sends at 3.2 Mbit/s", -1, 3200000, true, 100.0 * 1024 * 8 / 3200000},
        {"client receives at 3.2 Mbit/s", 3200000, -1, true, 100.0 * 1024 * 8 / 3200000},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        EchoServer server(c.server);
        Client client(server.URL(), c.client);
        ASSERT_TRUE(client.WS.Connect(10000));
        const Clock::time_point start = Clock::now();
        if (c.serverToClient)
        {
            client.WS.WriteData("send " + std::to_string(k100KB));
            ASSERT_TRUE(client.WaitReceived(k100KB, 20s));
            EXPECT_GE(Seconds(client.ReceivedAt - start), c.atLeastSeconds);
        }
        else
        {
            std::vector<std::uint8_t> bytes(k100KB, 'y');
            TkbzMemoryStream stream;
            stream.Write(bytes.data(), bytes.size());
            client.WS.WriteData(stream);
            ASSERT_TRUE(server.WaitReceived(k100KB, 20s));
            EXPECT_GE(Seconds(server.ReceivedAt - start), c.atLeastSeconds);
        }
        client.WS.Disconnect(5000);
    }
}

TEST(Throttle, ZeroBitsPerSecondIsNoLimit)
{
    // 8 MB both ways would take 160 seconds at 800 kbit/s.
    constexpr std::size_t k8MB = 8 * 1024 * 1024;
    EchoServer server(0);
    Client client(server.URL(), 0);
    ASSERT_TRUE(client.WS.Connect(10000));
    client.WS.WriteData("send " + std::to_string(k8MB));
    EXPECT_TRUE(client.WaitReceived(k8MB, 30s));
    client.WS.Disconnect(5000);
}

TEST(Throttle, AThrottledConnectionEndsOnTime)
{
    // The server would need 100 seconds for 100 KB at 8 kbit/s: a peer that goes away,
    // and the server's own stop, end that at once.
    for (const bool serverStops : {false, true})
    {
        SCOPED_TRACE(serverStops ? "server stops" : "peer goes");
        EchoServer server(8000);
        Client client(server.URL());
        ASSERT_TRUE(client.WS.Connect(10000));
        client.WS.WriteData("send " + std::to_string(k100KB));
        const Clock::time_point start = Clock::now();
        if (serverStops)
        {
            server.Server.SetActive(false);
        }
        else
        {
            client.WS.Close(0); // dropped, no closing handshake
        }
        std::unique_lock lock(server.Lock);
        EXPECT_TRUE(server.Changed.wait_for(lock, 10s, [&] { return server.Disconnects == 1; }));
        EXPECT_LT(Seconds(Clock::now() - start), 5.0);
    }
}

TEST(TrafficLog, LoggedDataCannotStartALine)
{
    struct Case
    {
        std::string data;
        std::string logged;
    };
    const std::vector<Case> cases = {
        {"plain text", "plain text"},
        {"a\r\nStat Forged.", "a\\r\\nStat Forged."},
        {"tab\there", "tab\\there"},
        {"back\\slash", "back\\\\slash"},
        {std::string("nul\0bell\x07\x1b\x7f", 11), "nul\\x00bell\\x07\\x1B\\x7F"},
        {"h\xC3\xA9llo \x81\xFE", "h\xC3\xA9llo \x81\xFE"}, // 8-bit bytes as they are
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.logged);
        EXPECT_EQ(kbzEscapeLogData(c.data), c.logged);
    }
}

TEST(TrafficLog, DefaultFileIsNextToTheProgram)
{
    // The tests' own program (whichever test binary this is): its path with ".log".
    EXPECT_EQ(kbzDefaultLogFileName(),
              std::filesystem::read_symlink("/proc/self/exe").string() + ".log");
}

TEST(TrafficLog, ClientLogsFramesDecodedOrRaw)
{
    EchoServer server;
    for (const bool unmask : {true, false})
    {
        SCOPED_TRACE(unmask ? "UnMaskFrames" : "raw");
        const std::string file = test::MakeTempDir("kbz-log") + "/client.log";
        Client client(server.URL());
        client.WS.LogFile().Enabled = true;
        client.WS.LogFile().FileName = file;
        client.WS.LogFile().UnMaskFrames = unmask;
        ASSERT_TRUE(client.WS.Connect(10000));
        EXPECT_EQ(client.WS.WriteAndWaitData("two\r\nlines", 10000), "two\r\nlines");
        client.WS.Disconnect(5000);
        const auto lines = FileLines(file);
        ASSERT_GE(lines.size(), 4u);
        EXPECT_EQ(lines.front(), "Stat Connected.");
        EXPECT_EQ(lines.back(), "Stat Disconnected.");
        int handshake = 0;
        int decoded = 0;
        int rawFrames = 0;
        for (const std::string& line : lines)
        {
            // Every line is one of the writer's own: data never starts one.
            ASSERT_TRUE(line.rfind("Stat ", 0) == 0 || line.rfind("Sent ", 0) == 0 ||
                        line.rfind("Recv ", 0) == 0)
                << line;
            handshake += line.rfind("Sent ", 0) == 0 &&
                         line.find(": GET / HTTP/1.1\\r\\nHost: 127.0.0.1:") != std::string::npos;
            decoded += line.rfind("Sent ", 0) == 0 &&
                       line.find(": [text] two\\r\\nlines") != std::string::npos;
            // A masked text frame of 10 bytes starts with 0x81 0x8A.
            rawFrames +=
                line.rfind("Sent ", 0) == 0 && line.find(": \x81\x8A") != std::string::npos;
        }
        EXPECT_EQ(handshake, 1);
        EXPECT_EQ(decoded, unmask ? 1 : 0);
        EXPECT_EQ(rawFrames, unmask ? 0 : 1);
    }
}

TEST(TrafficLog, AFileThatCannotBeOpenedGivesOneErrorAndTheConnectionGoesOn)
{
    EchoServer server;
    Client client(server.URL());
    client.WS.LogFile().Enabled = true;
    client.WS.LogFile().FileName = "/nonexistent-kbz-folder/client.log";
    for (int round = 0; round < 2; ++round)
    {
        ASSERT_TRUE(client.WS.Connect(10000));
        EXPECT_EQ(client.WS.WriteAndWaitData("still here", 10000), "still here");
        client.WS.Disconnect(5000);
    }
    std::lock_guard guard(client.Lock);
    ASSERT_EQ(client.Errors.size(), 1u);
    EXPECT_NE(client.Errors[0].find("/nonexistent-kbz-folder/client.log"), std::string::npos);
}

} // namespace kbz
