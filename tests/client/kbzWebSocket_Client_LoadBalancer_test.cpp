// The client's server selection against scripted peers on loopback: the
// binding query names the server; a failed query is one OnLoadBalancerError
// and a random fallback server; the query goes through the client's proxy;
// a deactivation cancels a query that hangs.
#include "client/kbzWebSocket_Client.h"
#include "tests/client/kbzClientPeer.h"
#include "tests/client/kbzClientRecorder.h"

#include <gtest/gtest.h>
#include <thread>

using namespace kbz;
using namespace kbz::test;

namespace
{

const std::string kQueryLine = "GET /kbz@lb@client@get@binding HTTP/1.1";

std::string RequestLineOf(const std::string& head)
{
    return head.substr(0, head.find("\r\n"));
}

std::string HttpAnswer(const std::string& status, const std::string& body)
{
    return "HTTP/1.1 " + status +
           "\r\nContent-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) +
           "\r\nConnection: close\r\n\r\n" + body;
}

std::string Binding(const std::string& host, int port, bool ssl = false)
{
    return R"({"method":"kbz@lb@server@binding","host":")" + host + R"(","port":)" +
           std::to_string(port) + R"(,"ssl":)" + (ssl ? "true" : "false") + "}";
}

// Completes the upgrade and answers the close.
void AcceptWebSocket(PeerConnection& conn, const std::string& head)
{
    if (head.rfind("GET ", 0) != 0)
    {
        return;
    }
    conn.Send(Answer101(head));
    while (auto f = conn.ReadFrame(10000))
    {
        if (f->opcode == TOpcode::opClose)
        {
            conn.Send(kbzBuildFrame(TOpcode::opClose, kbzBuildClosePayload(f->closeCode), false));
            conn.WaitClosed(2000);
            return;
        }
    }
}

// A balancer that answers the binding query with a fixed answer.
struct Balancer
{
    std::string answer;
    ScriptedPeer peer{[this](PeerConnection& conn, const std::string&) {
        conn.Send(answer);
        conn.WaitClosed(2000);
    }};
    explicit Balancer(std::string a) : answer(std::move(a)) {}
};

struct Selecting
{
    EventRecorder events; // client events, and "lb error TEXT"
    TkbzWSClient client;
    explicit Selecting(int balancerPort)
    {
        events.Attach(client);
        client.LoadBalancer.Enabled = true;
        client.LoadBalancer.Host = "127.0.0.1";
        client.LoadBalancer.Port = balancerPort;
        client.OnLoadBalancerError = [this](TkbzWSClient&, const std::string& text) {
            events.Add("lb error " + text);
        };
    }
    ~Selecting() { client.Disconnect(5000); }
};

TEST(kbzWSClientLoadBalancer, TheBindingQueryNamesTheServer)
{
    ScriptedPeer server(AcceptWebSocket);
    Balancer balancer(HttpAnswer("200 OK", Binding("127.0.0.1", server.Port())));
    Selecting s(balancer.peer.Port());
    // The configured server is never used: the balancer's answer replaces it.
    s.client.SetURL("ws://127.0.0.1:" + std::to_string(FreePort()) + "/chat");
    ASSERT_TRUE(s.client.Connect(5000)) << s.events.Dump();
    ASSERT_EQ(balancer.peer.Heads().size(), 1u);
    EXPECT_EQ(RequestLineOf(balancer.peer.Heads()[0]), kQueryLine);
    EXPECT_NE(balancer.peer.Heads()[0].find(
                  "\r\nHost: 127.0.0.1:" + std::to_string(balancer.peer.Port()) + "\r\n"),
              std::string::npos);
    EXPECT_EQ(s.client.Port, server.Port());
    EXPECT_FALSE(s.client.TLS);
    ASSERT_EQ(server.Heads().size(), 1u);
    EXPECT_EQ(RequestLineOf(server.Heads()[0]), "GET /chat HTTP/1.1");
    EXPECT_EQ(s.events.Count("lb error"), 0u) << s.events.Dump();
}

TEST(kbzWSClientLoadBalancer, AnswersThatNameNoServerKeepTheConfiguredOne)
{
    ScriptedPeer server(AcceptWebSocket);
    struct Case
    {
        const char* name;
        std::string answer;
        std::string error; // empty: no OnLoadBalancerError
    };
    const Case cases[] = {
        {"empty_body_is_silent", HttpAnswer("200 OK", ""), ""},
        {"error_status", HttpAnswer("404 Not Found", "nothing"), "lb error HTTP/1.1 404 Not Found"},
        {"no_host", HttpAnswer("200 OK", R"({"port":80})"),
         "lb error The load balancer named no usable server"},
        {"port_out_of_range", HttpAnswer("200 OK", Binding("127.0.0.1", 70000)),
         "lb error The load balancer named no usable server"},
        {"port_no_number", HttpAnswer("200 OK", R"({"host":"h","port":"x"})"),
         "lb error 'x' is not a valid integer value"},
        {"not_http", "garbage\r\n\r\n", "lb error "},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        Balancer balancer(c.answer);
        Selecting s(balancer.peer.Port());
        s.client.SetURL(server.Url("/"));
        ASSERT_TRUE(s.client.Connect(5000)) << s.events.Dump();
        EXPECT_EQ(s.client.Port, server.Port());
        if (c.error.empty())
        {
            EXPECT_EQ(s.events.Count("lb error"), 0u) << s.events.Dump();
        }
        else
        {
            EXPECT_EQ(s.events.Count("lb error"), 1u) << s.events.Dump();
            EXPECT_EQ(s.events.Count(c.error), 1u) << s.events.Dump();
        }
    }
}

TEST(kbzWSClientLoadBalancer, AnUnreachableBalancerLeadsToTheFallbackList)
{
    ScriptedPeer server(AcceptWebSocket);
    const std::string live = std::to_string(server.Port());
    const std::string dead = std::to_string(FreePort());
    struct Case
    {
        const char* name;
        std::vector<std::string> servers;
        std::string port; // where the client goes
        bool connects;
        bool tls;
    };
    const Case cases[] = {
        {"one_plain_entry", {"ws://127.0.0.1:" + live}, live, true, false},
        // "wss" in any case means TLS (nothing listens there: the choice is what counts).
        {"one_tls_entry", {"WSS://127.0.0.1:" + dead}, dead, false, true},
        // Nothing splits: the configured server is used.
        {"entries_that_do_not_split", {"127.0.0.1", "ws://127.0.0.1:port"}, live, true, false},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        Selecting s(FreePort());
        s.client.LoadBalancer.Servers = c.servers;
        s.client.SetURL(server.Url("/"));
        if (c.servers.size() == 1)
        {
            s.client.Port = FreePort(); // only the fallback leads to the server
        }
        EXPECT_EQ(s.client.Connect(5000), c.connects) << s.events.Dump();
        EXPECT_EQ(std::to_string(s.client.Port), c.port);
        EXPECT_EQ(s.client.TLS, c.tls);
        EXPECT_EQ(s.events.Count("lb error"), 1u) << s.events.Dump();
    }
}

TEST(kbzWSClientLoadBalancer, TheQueryGoesThroughTheProxy)
{
    // The proxy plays the balancer and the server behind its tunnels.
    ScriptedPeer proxy([](PeerConnection& conn, const std::string& connect) {
        if (connect.rfind("CONNECT ", 0) != 0)
        {
            return;
        }
        conn.Send("HTTP/1.1 200 Connection established\r\n\r\n");
        const auto head = conn.ReadHead();
        if (!head)
        {
            return;
        }
        if (RequestLineOf(*head) == kQueryLine)
        {
            conn.Send(HttpAnswer("200 OK", Binding("ws.example.test", 8080)));
            conn.WaitClosed(2000);
            return;
        }
        AcceptWebSocket(conn, *head);
    });
    Selecting s(9000);
    s.client.LoadBalancer.Host = "lb.example.test";
    s.client.SetURL("ws://configured.example.test/");
    s.client.Proxy.Enabled = true;
    s.client.Proxy.Host = "127.0.0.1";
    s.client.Proxy.Port = proxy.Port();
    ASSERT_TRUE(s.client.Connect(5000)) << s.events.Dump();
    const auto heads = proxy.Heads();
    ASSERT_EQ(heads.size(), 2u);
    EXPECT_EQ(RequestLineOf(heads[0]), "CONNECT lb.example.test:9000 HTTP/1.0");
    EXPECT_EQ(RequestLineOf(heads[1]), "CONNECT ws.example.test:8080 HTTP/1.0");
    EXPECT_EQ(s.client.Host, "ws.example.test");
}

TEST(kbzWSClientLoadBalancer, DeactivationCancelsAQueryThatHangs)
{
    std::atomic<bool> asked{false};
    ScriptedPeer balancer([&](PeerConnection& conn, const std::string&) {
        asked = true;
        conn.WaitClosed(20000);
    });
    Selecting s(balancer.Port());
    s.client.SetURL("ws://127.0.0.1:" + std::to_string(FreePort()) + "/");
    std::thread activation([&] { s.client.SetActive(true); });
    ASSERT_TRUE(WaitUntil([&] { return asked.load(); }, 5s));
    s.client.SetActive(false);
    activation.join(); // the query would otherwise wait 10 s for its answer
    EXPECT_FALSE(s.client.GetActive());
    EXPECT_EQ(s.events.Count("lb error"), 0u) << s.events.Dump();
}

} // namespace
