// The log relay: command-line switches, start-up in the command log, and the
// relay end to end through the console program with WebSocket and raw TCP
// clients, commands from several sources at once, and a load of many clients.
#include "app/kbzCommand.h"
#include "app/kbzRelay.h"
#include "tests/server/kbzRawWSClient.h"
#include "tests/support/kbzTestProcess.h"

#include <algorithm>
#include <dirent.h>
#include <gtest/gtest.h>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using namespace kbz;
using namespace kbz::test;

namespace
{

using Strings = std::vector<std::string>;

// A command log that records its lines and the commands it ran.
class CapturingLog : public TkbzCommandLog
{
public:
    ~CapturingLog() override { StopRelay(); }
    Strings Lines()
    {
        std::lock_guard guard(FLock);
        return FLines;
    }

protected:
    void DoProcessJSON() override {}
    void DoWriteLine(std::string_view line) noexcept override
    {
        std::lock_guard guard(FLock);
        FLines.emplace_back(line);
    }

private:
    std::mutex FLock;
    Strings FLines;
};

std::string Heartbeat(int interval)
{
    return R"({"message":"heartbeat","params":{"heartbeat":{"enabled":true,"interval":)" +
           std::to_string(interval) + "}}}";
}

std::string HeartbeatLine(int interval)
{
    return R"({"event": "options", "params":{"heartbeat": {"enabled": true, "interval": )" +
           std::to_string(interval) + "}}}";
}

// The interval of an options line, -1 for any other text.
int IntervalOf(const std::string& line)
{
    const std::string head =
        R"({"event": "options", "params":{"heartbeat": {"enabled": true, "interval": )";
    const std::string tail = "}}}";
    if (line.size() <= head.size() + tail.size() || line.compare(0, head.size(), head) != 0 ||
        line.compare(line.size() - tail.size(), tail.size(), tail) != 0)
    {
        return -1;
    }
    const std::string digits = line.substr(head.size(), line.size() - head.size() - tail.size());
    if (digits.find_first_not_of("0123456789") != std::string::npos)
    {
        return -1;
    }
    return std::stoi(digits);
}

std::size_t ThreadCount(int pid)
{
    std::size_t n = 0;
    if (DIR* d = ::opendir(("/proc/" + std::to_string(pid) + "/task").c_str()))
    {
        while (const dirent* e = ::readdir(d))
        {
            n += e->d_name[0] != '.';
        }
        ::closedir(d);
    }
    return n;
}

// "Client <32 hexadecimal digits> <what> from 127.0.0.1"
bool IsClientLine(const std::string& line, const std::string& what)
{
    const std::string tail = " " + what + " from 127.0.0.1";
    return line.size() == 7 + 32 + tail.size() && line.compare(0, 7, "Client ") == 0 &&
           line.substr(7, 32).find_first_not_of("0123456789ABCDEF") == std::string::npos &&
           line.compare(39, tail.size(), tail) == 0;
}

std::size_t CountClientLines(const Strings& lines, const std::string& what)
{
    return static_cast<std::size_t>(std::count_if(
        lines.begin(), lines.end(), [&](const std::string& l) { return IsClientLine(l, what); }));
}

// Collects messages of one client until it has n of them (or the deadline passes).
// Messages received by c, up to n of them within ms. The listening line is
// left out: the console prints it before it broadcasts it, so a client that
// connects as soon as the line appears may get it too.
Strings Collect(RawWSClient& c, std::size_t n, int ms = 10000)
{
    Strings got;
    const auto take = [&] {
        for (auto& m : c.TakeMessages())
        {
            if (m.rfind("Server Listening on ", 0) != 0)
            {
                got.push_back(std::move(m));
            }
        }
    };
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (got.size() < n && std::chrono::steady_clock::now() < deadline)
    {
        take();
        if (got.size() < n && !c.ReadSome(50))
        {
            break;
        }
    }
    take();
    return got;
}

} // namespace

// ---- Switches ----

TEST(RelaySwitches, SyntaxOfTheSwitches)
{
    struct Case
    {
        Strings args;
        bool server;
        std::optional<std::string> ip;
        std::optional<std::string> port;
    };
    const std::vector<Case> cases = {
        {{}, false, std::nullopt, std::nullopt},
        {{"-server"}, true, std::nullopt, std::nullopt},
        {{"/SERVER"}, true, std::nullopt, std::nullopt},
        {{"-server.port", "4000"}, false, std::nullopt, "4000"},
        {{"-server", "-server.port:4000"}, true, std::nullopt, "4000"},
        {{"-server", "-server.port4000"}, true, std::nullopt, "4000"},
        {{"-server", "/Server.Port", "4000"}, true, std::nullopt, "4000"},
        {{"-server", "-server.ip", "-server.port", "1"}, true, "", "1"},
        {{"-server", "-server.ip"}, true, "", std::nullopt},
        {{"-server", "-server.ip", "192.168.1.1", "-server.port", "5000"},
         true,
         "192.168.1.1",
         "5000"},
        {{"server", "server.port", "1"}, false, std::nullopt, std::nullopt},
        {{"-server.port", "1", "-server.port", "2"}, false, std::nullopt, "1"},
    };
    for (const Case& c : cases)
    {
        std::string trace;
        for (const auto& a : c.args)
        {
            trace += a + " ";
        }
        SCOPED_TRACE(trace);
        EXPECT_EQ(kbzFindCmdLineSwitch(c.args, "server"), c.server);
        EXPECT_EQ(kbzFindCmdLineSwitchValue(c.args, "server.ip"), c.ip);
        EXPECT_EQ(kbzFindCmdLineSwitchValue(c.args, "server.port"), c.port);
    }
}

TEST(RelaySwitches, PortNumbers)
{
    EXPECT_EQ(kbzRelayPortNumber("1"), 1);
    EXPECT_EQ(kbzRelayPortNumber("65535"), 65535);
    const std::vector<std::pair<std::string, std::string>> bad = {
        {"0", "'0' is not a valid port number"},
        {"65536", "'65536' is not a valid port number"},
        {"", "'' is not a valid integer value"},
        {"abc", "'abc' is not a valid integer value"},
    };
    for (const auto& [text, message] : bad)
    {
        SCOPED_TRACE(text);
        try
        {
            kbzRelayPortNumber(text);
            ADD_FAILURE() << "no error";
        }
        catch (const EConvertError& e)
        {
            EXPECT_EQ(std::string(e.what()), message);
        }
    }
}

TEST(RelaySwitches, WholeCommandsOfRawClients)
{
    const std::vector<std::pair<std::string, bool>> cases = {
        {R"({"message":"heartbeat"})", true},
        {R"(  {"a":{"b":[1,2]}})", true},
        {R"({"message":"watch)", false},
        {R"({"text":"}"})", true},
        {R"({"text":"}")", false},
        {R"({"text":"a\"}"})", true},
        {R"([1,[2)", false},
        {"not json", true},
        {"", true},
    };
    for (const auto& [text, whole] : cases)
    {
        SCOPED_TRACE(text);
        EXPECT_EQ(kbzIsWholeCommand(text), whole);
    }
}

// ---- Start-up in the command log ----

TEST(RelayInitialize, ListensAsTheSwitchesSay)
{
    const std::string port = std::to_string(FreePort());
    struct Case
    {
        Strings args;
        Strings lines;        // logged by Initialize
        std::size_t bindings; // listening sockets (0: no relay)
    };
    const std::vector<Case> cases = {
        {{}, {}, 0},
        {{"-server.port", port}, {}, 0},
        {{"-server", "-server.ip", "127.0.0.1", "-server.port", port},
         {"Server Listening on 127.0.0.1:" + port},
         1},
        {{"/server", "/server.port:" + port}, {"Server Listening on *:" + port}, 2},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.lines.empty() ? "none" : c.lines.front());
        CapturingLog log;
        log.SetCommandLine(c.args);
        log.Initialize();
        EXPECT_EQ(log.Lines(), c.lines);
        ASSERT_EQ(log.HasRelayServer(), c.bindings > 0);
        if (c.bindings > 0)
        {
            const auto bound = log.GetRelayServer().GetBoundBindings();
            // All addresses: IPv4 and, where the system has it, IPv6.
            EXPECT_GE(bound.size(), 1u);
            EXPECT_LE(bound.size(), c.bindings);
            EXPECT_EQ(log.GetRelayServer().GetBoundPort(), std::stoi(port));
            RawWSClient peer;
            EXPECT_TRUE(peer.Connect(std::stoi(port)));
        }
    }
}

TEST(RelayInitialize, BadPortsRaiseConversionErrors)
{
    for (const Strings& args :
         {Strings{"-server", "-server.port", "70000"}, Strings{"-server", "-server.port"},
          Strings{"-server", "-server.ip", "127.0.0.1", "-server.port", "x"}})
    {
        SCOPED_TRACE(args.back());
        CapturingLog log;
        log.SetCommandLine(args);
        EXPECT_THROW(log.Initialize(), EConvertError);
        EXPECT_TRUE(log.Lines().empty());
    }
}

TEST(RelayInitialize, TLSAndCredentialSwitchesNeedTheirValues)
{
    // Files may start with "/", which other switches' values may not.
    const Strings tls = {"-server", "-server.cert", "/etc/c.pem", "-server.key", "/etc/k.pem"};
    EXPECT_EQ(kbzFindCmdLineFileValue(tls, "server.cert"), "/etc/c.pem");
    EXPECT_EQ(kbzFindCmdLineFileValue(tls, "server.key"), "/etc/k.pem");
    EXPECT_EQ(kbzFindCmdLineSwitchValue(tls, "server.cert"), "");
    EXPECT_EQ(kbzReadConsoleSwitches(tls).Error, "");
    EXPECT_EQ(kbzReadConsoleSwitches({"-server", "-server.www"}).Error, "");

    const std::string port = std::to_string(FreePort());
    for (const Strings& args :
         {Strings{"-server", "-server.port", port, "-server.key", "k.pem"},
          Strings{"-server", "-server.port", port, "-server.cert"},
          Strings{"-server", "-server.port", port, "-server.auth", "nocolon"},
          Strings{"-server", "-server.port", port, "-server.auth", ":password"}})
    {
        SCOPED_TRACE(args[3] + " " + (args.size() > 4 ? args[4] : ""));
        CapturingLog log;
        log.SetCommandLine(args);
        EXPECT_THROW(log.Initialize(), EArgumentException);
        EXPECT_TRUE(log.Lines().empty());
    }
}

// ---- Through the console program ----

class RelayConsole : public ::testing::Test
{
protected:
    void StartConsole()
    {
        FPort = FreePort();
        ASSERT_TRUE(FProcess.Start(
            {BinaryPath("kbzWebSocketClient"), "-server", "-server.port", std::to_string(FPort)}));
        ASSERT_TRUE(
            FProcess.WaitForLineContaining("Server Listening on *:" + std::to_string(FPort), 10s))
            << "no listening line";
    }
    void TearDown() override
    {
        if (FProcess.Pid() > 0 && FProcess.Running())
        {
            FProcess.WriteLine("EXIT");
            if (!FProcess.WaitForExit(10s))
            {
                FProcess.Stop();
            }
        }
    }
    Strings Lines() { return FProcess.Lines(); }

    int FPort = 0;
    TestProcess FProcess;
};

TEST_F(RelayConsole, WebSocketAndRawTCPClients)
{
    StartConsole();
    RawWSClient ws;
    ASSERT_TRUE(ws.Connect(FPort));
    RawWSClient raw;
    ASSERT_TRUE(raw.Connect(FPort, false));
    ASSERT_TRUE(WaitUntil([&] { return CountClientLines(Lines(), "connected") == 2; }, 10s));

    // A command cut into two segments runs once, whole; two commands in one
    // segment both run; a last command without a line break runs when the
    // client pauses.
    raw.SendRaw(Heartbeat(1).substr(0, 20));
    std::this_thread::sleep_for(50ms); // a gap between the segments
    raw.SendRaw(Heartbeat(1).substr(20) + "\r\n" + Heartbeat(2) + "\n" + Heartbeat(3));
    const Strings got = Collect(ws, 3);
    EXPECT_EQ(got, (Strings{HeartbeatLine(1), HeartbeatLine(2), HeartbeatLine(3)}));
    // The raw client gets the lines without framing, each with its line break.
    const std::string expected =
        HeartbeatLine(1) + "\n" + HeartbeatLine(2) + "\n" + HeartbeatLine(3) + "\n";
    while (raw.Buffer().size() < expected.size() && raw.ReadSome(5000))
    {}
    EXPECT_EQ(raw.Buffer(), expected);
    raw.Buffer().clear();

    // A pause inside a command, longer than the one that ends a last command.
    raw.SendRaw(Heartbeat(7).substr(0, 25));
    std::this_thread::sleep_for(400ms); // a long gap between the segments
    raw.SendRaw(Heartbeat(7).substr(25) + "\n");
    EXPECT_EQ(Collect(ws, 1), Strings{HeartbeatLine(7)});
    while (raw.Buffer().size() <= HeartbeatLine(7).size() && raw.ReadSome(5000))
    {}
    raw.Buffer().clear();

    // A WebSocket client's text and binary commands, and a typed one.
    ws.SendText(Heartbeat(4));
    const auto binary =
        kbzBuildFrame(TOpcode::opBinary, kbzAsBytes(Heartbeat(5)), true, true, false);
    ws.SendRaw(std::string(binary.begin(), binary.end()));
    ASSERT_EQ(Collect(ws, 2), (Strings{HeartbeatLine(4), HeartbeatLine(5)}));
    FProcess.WriteLine(Heartbeat(6));
    EXPECT_EQ(Collect(ws, 1), Strings{HeartbeatLine(6)});

    // Connect and disconnect lines are on the console only.
    ws.SendClose();
    raw.Close();
    ASSERT_TRUE(WaitUntil([&] { return CountClientLines(Lines(), "disconnected") == 2; }, 10s));
    const Strings lines = Lines();
    for (int i = 1; i <= 7; ++i)
    {
        EXPECT_EQ(std::count(lines.begin(), lines.end(), HeartbeatLine(i)), 1) << i;
    }
    EXPECT_EQ(ws.TakeMessages(), Strings{});
}

TEST_F(RelayConsole, ACommandsErrorIsEveryonesLineAndTheSenderStays)
{
    StartConsole();
    RawWSClient a, b;
    ASSERT_TRUE(a.Connect(FPort));
    ASSERT_TRUE(b.Connect(FPort));
    ASSERT_TRUE(WaitUntil([&] { return CountClientLines(Lines(), "connected") == 2; }, 10s));

    const std::string error = "EConvertError: 'abc' is not a valid integer value";
    for (const std::string& bad :
         {std::string(R"({"message":"heartbeat","params":{"heartbeat":{"interval":"abc"}}})"),
          std::string(R"({"message":"heartbeat","interval":"abc"})")})
    {
        a.SendText(bad);
        EXPECT_EQ(Collect(a, 1), Strings{error});
        EXPECT_EQ(Collect(b, 1), Strings{error});
    }
    // Still connected: its next command runs.
    a.SendText(Heartbeat(9));
    EXPECT_EQ(Collect(a, 1), Strings{HeartbeatLine(9)});
    EXPECT_FALSE(a.CloseSeen());
    const Strings lines = Lines();
    EXPECT_EQ(CountClientLines(lines, "disconnected"), 0u);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), error), 2);
}

TEST_F(RelayConsole, AClientThatKeepsSendingGetsItsRepliesMeanwhile)
{
    StartConsole();
    RawWSClient a;
    ASSERT_TRUE(a.Connect(FPort));
    ASSERT_TRUE(WaitUntil([&] { return CountClientLines(Lines(), "connected") == 1; }, 10s));

    // Each command's reply (an error line naming the URL) is 8 KiB; together
    // they are more than a client may have waiting, unless they leave as the
    // commands run.
    const std::string url = "ftp://" + std::string(8 * 1024, 'a');
    const std::string command = R"({"message":"open","params":{"url":")" + url + "\"}}";
    const int count = 600;
    std::thread sender([&] {
        for (int i = 0; i < count; ++i)
        {
            a.SendText(command);
        }
    });
    const Strings got = Collect(a, count, 60000);
    sender.join();
    ASSERT_EQ(got.size(), static_cast<std::size_t>(count));
    for (const std::string& line : got)
    {
        ASSERT_NE(line.find(url), std::string::npos) << line.substr(0, 100);
    }
    EXPECT_FALSE(a.CloseSeen());
    EXPECT_EQ(CountClientLines(Lines(), "disconnected"), 0u);
}

TEST_F(RelayConsole, CommandsFromTwoClientsAndTheConsoleAtOnce)
{
    StartConsole();
    RawWSClient a, b;
    ASSERT_TRUE(a.Connect(FPort));
    ASSERT_TRUE(b.Connect(FPort));
    ASSERT_TRUE(WaitUntil([&] { return CountClientLines(Lines(), "connected") == 2; }, 10s));

    const int each = 50;
    std::thread ta([&] {
        for (int i = 0; i < each; ++i)
        {
            a.SendText(Heartbeat(1000 + i));
        }
    });
    std::thread tb([&] {
        for (int i = 0; i < each; ++i)
        {
            b.SendText(Heartbeat(2000 + i));
        }
    });
    for (int i = 0; i < each; ++i)
    {
        FProcess.WriteLine(Heartbeat(3000 + i));
    }
    ta.join();
    tb.join();

    for (RawWSClient* c : {&a, &b})
    {
        const Strings got = Collect(*c, 3 * each, 20000);
        ASSERT_EQ(got.size(), static_cast<std::size_t>(3 * each)) << [&] {
            std::string all;
            for (const auto& l : Lines())
            {
                if (IntervalOf(l) < 0)
                {
                    all += l + "\n";
                }
            }
            for (const auto& l : got)
            {
                all += IntervalOf(l) < 0 ? "[" + l + "] " : std::to_string(IntervalOf(l)) + " ";
            }
            return all;
        }();
        // Every source's commands ran whole and in the order they were sent.
        int next[3] = {1000, 2000, 3000};
        for (const auto& line : got)
        {
            const int interval = IntervalOf(line);
            ASSERT_GE(interval, 1000) << line;
            int& expected = next[interval / 1000 - 1];
            EXPECT_EQ(interval, expected);
            expected = interval + 1;
        }
    }
    EXPECT_TRUE(WaitUntil(
        [&] {
            const Strings lines = Lines();
            return std::count_if(lines.begin(), lines.end(), [](const std::string& l) {
                       return IntervalOf(l) >= 0;
                   }) == 3 * each;
        },
        10s));
}

TEST_F(RelayConsole, BadPortEndsTheProgramBeforeInput)
{
    ASSERT_TRUE(
        FProcess.Start({BinaryPath("kbzWebSocketClient"), "-server", "-server.port:70000"}));
    EXPECT_TRUE(
        FProcess.WaitForLineContaining("EConvertError: '70000' is not a valid port number", 10s));
    const auto code = FProcess.WaitForExit(10s);
    ASSERT_TRUE(code.has_value());
    EXPECT_NE(*code, 0);
}

TEST_F(RelayConsole, ManyClientsGetEveryLineThenThreadsReturnToIdle)
{
    StartConsole();
    // The idle level: listening, with the client commands' objects made once.
    FProcess.WriteLine(Heartbeat(1));
    ASSERT_TRUE(FProcess.WaitForLineContaining(HeartbeatLine(1), 10s));
    const std::size_t idle = ThreadCount(FProcess.Pid());
    ASSERT_GT(idle, 0u);

    const std::size_t clients = 200;
    const int lines = 1000;
    std::vector<std::unique_ptr<RawWSClient>> peers;
    for (std::size_t i = 0; i < clients; ++i)
    {
        peers.push_back(std::make_unique<RawWSClient>());
        ASSERT_TRUE(peers.back()->Connect(FPort)) << i;
    }
    ASSERT_TRUE(WaitUntil([&] { return CountClientLines(Lines(), "connected") == clients; }, 30s));

    std::string script;
    for (int i = 1; i <= lines; ++i)
    {
        script += Heartbeat(1000 + i) + "\n";
    }
    FProcess.Write(script);

    // One thread reads them all.
    std::vector<int> next(clients, 1001);
    std::vector<pollfd> fds(clients);
    const auto deadline = std::chrono::steady_clock::now() + 120s;
    std::size_t complete = 0;
    while (complete < clients && std::chrono::steady_clock::now() < deadline)
    {
        for (std::size_t i = 0; i < clients; ++i)
        {
            fds[i] = {peers[i]->Fd(), POLLIN, 0};
        }
        ::poll(fds.data(), fds.size(), 100);
        for (std::size_t i = 0; i < clients; ++i)
        {
            if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR)))
            {
                continue;
            }
            if (!peers[i]->ReadSome(0))
            {
                FAIL() << "client " << i << " was dropped";
            }
            for (const auto& m : peers[i]->TakeMessages())
            {
                // The idle-level line is printed before it is broadcast: a client that
                // connected in between gets it too.
                if (m.rfind("Server Listening on ", 0) == 0 || IntervalOf(m) == 1)
                {
                    continue; // see Collect
                }
                // None lost, none twice, in order.
                ASSERT_EQ(IntervalOf(m), next[i]) << "client " << i;
                if (++next[i] == 1001 + lines)
                {
                    ++complete;
                }
            }
        }
    }
    ASSERT_EQ(complete, clients);

    for (auto& p : peers)
    {
        p->SendClose();
    }
    peers.clear();
    ASSERT_TRUE(
        WaitUntil([&] { return CountClientLines(Lines(), "disconnected") == clients; }, 60s));
    EXPECT_TRUE(WaitUntil([&] { return ThreadCount(FProcess.Pid()) <= idle; }, 30s))
        << ThreadCount(FProcess.Pid()) << " threads, idle was " << idle;
}
