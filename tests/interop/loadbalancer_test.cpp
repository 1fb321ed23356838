// Chat servers linked through kbzLoadBalancer, end to end: python3-websockets
// clients placed through the binding query, a line reaching the clients of
// every server, writes by identifier crossing servers, servers that re-register
// when their balancer comes back and vanish when they die; then two balancers
// sharing one redis-server.
#include "tests/support/kbzTestProcess.h"
#include "transport/kbzHTTP_Client.h"

#include <csignal>
#include <gtest/gtest.h>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

using namespace kbz;
using namespace kbz::test;

namespace
{

const std::string kPython = "/usr/bin/python3";

bool HavePythonWebSockets()
{
    static const bool have = [] {
        TestProcess probe;
        return HaveProgram(kPython) && probe.Start({kPython, "-c", "import websockets"}) &&
               probe.WaitForExit(30s) == 0;
    }();
    return have;
}

// Starts a program that prints "listening on 127.0.0.1:PORT"; returns PORT (0 on failure).
int StartListening(TestProcess& p, const std::vector<std::string>& argv)
{
    if (!p.Start(argv))
    {
        return 0;
    }
    const auto at = p.WaitForLineContaining("listening on 127.0.0.1:", 15s);
    if (!at)
    {
        return 0;
    }
    const std::string line = p.Lines()[*at];
    return std::stoi(line.substr(line.rfind(':') + 1));
}

int StartBalancer(TestProcess& p, int port = 0, const std::string& redis = {})
{
    std::vector<std::string> argv = {BinaryPath("kbzLoadBalancer")};
    if (!redis.empty())
    {
        argv.insert(argv.end(), {"-redis", redis});
    }
    argv.push_back(std::to_string(port));
    return StartListening(p, argv);
}

// A chat server linked to the balancer, once the balancer has its registration.
int StartChatServer(TestProcess& server, TestProcess& balancer, int balancerPort)
{
    const std::size_t from = balancer.Lines().size();
    const int port = StartListening(server, {BinaryPath("kbzEchoServer"), "-chat", "-lb",
                                             "127.0.0.1:" + std::to_string(balancerPort), "0"});
    if (port == 0 || !balancer.WaitForLineContaining(
                         "registered ws://127.0.0.1:" + std::to_string(port), 15s, from))
    {
        return 0;
    }
    return port;
}

// The clients of lb_clients.py: where each was placed and what each received.
class Clients
{
public:
    bool Start(const std::string& balancers, int count)
    {
        FCount = count;
        if (!FProcess.Start({kPython, SourcePath("tests/interop/peers/lb_clients.py"), balancers,
                             std::to_string(count)},
                            {{}, "", true}) ||
            !FProcess.WaitForLine([](const std::string& l) { return l == "ready"; }, 60s))
        {
            return false;
        }
        for (const std::string& line : FProcess.Lines())
        {
            std::istringstream in(line);
            std::string word, where, guid;
            int index = 0;
            if (in >> word >> index >> where >> guid && word == "placed")
            {
                FWhere[index] = where;
                FGuid[index] = guid;
            }
        }
        return static_cast<int>(FWhere.size()) == count;
    }
    const std::string& Where(int i) { return FWhere.at(i); }
    const std::string& Guid(int i) { return FGuid.at(i); }
    std::map<std::string, int> PerServer() const
    {
        std::map<std::string, int> counts;
        for (const auto& [i, where] : FWhere)
        {
            ++counts[where];
        }
        return counts;
    }
    void Send(int i, const std::string& text)
    {
        FProcess.WriteLine("send " + std::to_string(i) + " " + text);
    }
    // The clients that received text so far.
    std::set<int> Receivers(const std::string& text) const
    {
        std::set<int> who;
        for (const std::string& line : FProcess.Lines())
        {
            std::istringstream in(line);
            std::string word;
            int index = 0;
            if (in >> word >> index && word == "recv" && line.substr(line.find(' ', 5) + 1) == text)
            {
                who.insert(index);
            }
        }
        return who;
    }
    // Waits until every client received text.
    bool AllReceive(const std::string& text, std::chrono::milliseconds timeout = 15s)
    {
        return WaitUntil([&] { return static_cast<int>(Receivers(text).size()) == FCount; },
                         timeout);
    }
    bool Receives(int i, const std::string& text)
    {
        return WaitUntil([&] { return Receivers(text).count(i) > 0; }, 15s);
    }
    // The first client placed on the server other than the one of client i.
    int OnAnotherServer(int i)
    {
        for (const auto& [k, where] : FWhere)
        {
            if (where != FWhere.at(i))
            {
                return k;
            }
        }
        return -1;
    }
    std::string Dump() const
    {
        std::string out;
        for (const auto& l : FProcess.Lines())
        {
            out += "  " + l.substr(0, 200) + "\n";
        }
        return out;
    }

private:
    TestProcess FProcess;
    int FCount = 0;
    std::map<int, std::string> FWhere;
    std::map<int, std::string> FGuid;
};

std::string QueryBinding(int balancerPort)
{
    TkbzHTTPClient http;
    return http
        .Get("http://127.0.0.1:" + std::to_string(balancerPort) + "/kbz@lb@client@get@binding")
        .Body;
}

// A write by identifier from a client on one server to one on the other reaches
// that client alone.
void ExpectPrivateWriteCrosses(Clients& clients, int from, const std::string& text)
{
    const int to = clients.OnAnotherServer(from);
    ASSERT_GE(to, 0);
    clients.Send(from, "#kbz_to:" + clients.Guid(to) + ":" + text);
    ASSERT_TRUE(clients.Receives(to, text)) << clients.Dump();
    // A broadcast after it comes after it on every server's links.
    clients.Send(from, text + " done");
    ASSERT_TRUE(clients.AllReceive(text + " done")) << clients.Dump();
    EXPECT_EQ(clients.Receivers(text), std::set<int>{to});
}

class LoadBalancerEndToEnd : public ::testing::Test
{
protected:
    void SetUp() override
    {
        if (!HavePythonWebSockets())
        {
            GTEST_SKIP() << "python3-websockets is not installed";
        }
    }
};

TEST_F(LoadBalancerEndToEnd, ChatServersLinkedThroughOneBalancer)
{
    TestProcess balancer;
    const int lb = StartBalancer(balancer);
    ASSERT_NE(lb, 0);
    TestProcess serverA, serverB;
    const int a = StartChatServer(serverA, balancer, lb);
    const int b = StartChatServer(serverB, balancer, lb);
    ASSERT_TRUE(a && b) << "servers did not register";

    Clients clients;
    ASSERT_TRUE(clients.Start("127.0.0.1:" + std::to_string(lb), 20)) << clients.Dump();
    EXPECT_EQ(clients.PerServer(),
              (std::map<std::string, int>{{"127.0.0.1:" + std::to_string(a), 10},
                                          {"127.0.0.1:" + std::to_string(b), 10}}));
    clients.Send(0, "hello everyone");
    ASSERT_TRUE(clients.AllReceive("hello everyone")) << clients.Dump();
    ExpectPrivateWriteCrosses(clients, 3, "for your eyes only");

    // The balancer goes and comes back on its port: both servers re-register by
    // themselves, with the clients they hold.
    balancer.Stop();
    TestProcess again;
    ASSERT_EQ(StartBalancer(again, lb), lb);
    ASSERT_TRUE(again.WaitForLineContaining("registered ws://127.0.0.1:" + std::to_string(a), 15s));
    ASSERT_TRUE(again.WaitForLineContaining("registered ws://127.0.0.1:" + std::to_string(b), 15s));
    clients.Send(7, "after the restart");
    ASSERT_TRUE(clients.AllReceive("after the restart")) << clients.Dump();
    ExpectPrivateWriteCrosses(clients, 8, "still private");

    // A server that dies is forgotten: every query names the other one.
    ::kill(serverB.Pid(), SIGKILL);
    ASSERT_TRUE(again.WaitForLineContaining("gone ws://127.0.0.1:" + std::to_string(b), 15s));
    for (int i = 0; i < 3; ++i)
    {
        EXPECT_NE(QueryBinding(lb).find("\"port\":" + std::to_string(a) + ","), std::string::npos);
    }
    // Started again on its port, it registers again, and the balancer places new clients
    // there (it holds none yet).
    TestProcess restarted;
    const std::size_t from = again.Lines().size();
    ASSERT_EQ(StartListening(restarted, {BinaryPath("kbzEchoServer"), "-chat", "-lb",
                                         "127.0.0.1:" + std::to_string(lb), std::to_string(b)}),
              b);
    ASSERT_TRUE(
        again.WaitForLineContaining("registered ws://127.0.0.1:" + std::to_string(b), 15s, from));
    EXPECT_NE(QueryBinding(lb).find("\"port\":" + std::to_string(b) + ","), std::string::npos);
}

TEST_F(LoadBalancerEndToEnd, TwoBalancersShareOneRedis)
{
    if (!HaveProgram("redis-server"))
    {
        GTEST_SKIP() << "redis-server is not installed";
    }
    const int redisPort = FreePort();
    TestProcess redis;
    ASSERT_TRUE(redis.Start({"redis-server", "--port", std::to_string(redisPort), "--bind",
                             "127.0.0.1", "--save", "", "--appendonly", "no"}));
    ASSERT_TRUE(redis.WaitForLineContaining("Ready to accept connections", 15s));
    const std::string shared = "127.0.0.1:" + std::to_string(redisPort);

    TestProcess balancer1, balancer2;
    const int lb1 = StartBalancer(balancer1, 0, shared);
    const int lb2 = StartBalancer(balancer2, 0, shared);
    ASSERT_TRUE(lb1 && lb2);
    TestProcess serverA, serverB;
    const int a = StartChatServer(serverA, balancer1, lb1);
    const int b = StartChatServer(serverB, balancer2, lb2);
    ASSERT_TRUE(a && b) << "servers did not register";

    // Clients 0, 1, 4, 5 ask the first balancer, 2, 3, 6, 7 the second: each
    // places clients on both servers.
    const std::string first = "127.0.0.1:" + std::to_string(lb1);
    const std::string second = "127.0.0.1:" + std::to_string(lb2);
    Clients clients;
    ASSERT_TRUE(clients.Start(first + "," + first + "," + second + "," + second, 8))
        << clients.Dump();
    const std::string whereA = "127.0.0.1:" + std::to_string(a);
    const std::string whereB = "127.0.0.1:" + std::to_string(b);
    EXPECT_EQ(clients.PerServer(), (std::map<std::string, int>{{whereA, 4}, {whereB, 4}}));
    EXPECT_EQ((std::set<std::string>{clients.Where(0), clients.Where(1)}),
              (std::set<std::string>{whereA, whereB}));
    EXPECT_EQ((std::set<std::string>{clients.Where(2), clients.Where(3)}),
              (std::set<std::string>{whereA, whereB}));

    clients.Send(0, "across balancers");
    ASSERT_TRUE(clients.AllReceive("across balancers")) << clients.Dump();
    ExpectPrivateWriteCrosses(clients, 1, "routed through redis");

    // A balancer that dies without a word: its server's entries expire from the shared
    // registry (within ten seconds), and the other balancer names only its own server.
    ::kill(balancer2.Pid(), SIGKILL);
    const std::string onlyA = "\"port\":" + std::to_string(a) + ",";
    EXPECT_TRUE(WaitUntil(
        [&] {
            for (int i = 0; i < 3; ++i)
            {
                if (QueryBinding(lb1).find(onlyA) == std::string::npos)
                {
                    return false;
                }
            }
            return true;
        },
        20s));
}

} // namespace
