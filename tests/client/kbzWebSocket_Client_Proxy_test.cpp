// The client's proxy settings against scripted proxies on loopback: the tunnel comes before the
// opening request, which still names the server; proxies that refuse, answer 201, say nothing
// or answer garbage end the activation with a clear error; settings that cannot work are
// refused; a deactivation ends a tunnel handshake in progress without an error.
#include "client/kbzWebSocket_Client.h"
#include "tests/client/kbzClientPeer.h"
#include "tests/client/kbzClientRecorder.h"

#include <gtest/gtest.h>
#include <thread>

using namespace kbz;
using namespace kbz::test;

namespace
{

// Opens the tunnel, then plays the WebSocket server itself (echo).
void TunnelAndEcho(PeerConnection& conn, const std::string& connect)
{
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
    conn.Send(Answer101(*head));
    while (auto f = conn.ReadFrame(10000))
    {
        if (f->opcode == TOpcode::opText)
        {
            conn.SendFrame(TOpcode::opText, f->payload);
        }
        else if (f->opcode == TOpcode::opClose)
        {
            conn.Send(kbzBuildFrame(TOpcode::opClose, kbzBuildClosePayload(f->closeCode), false));
            conn.WaitClosed(2000);
            return;
        }
    }
}

void UseProxy(TkbzWSClient& client, int port)
{
    client.Proxy.Enabled = true;
    client.Proxy.Host = "127.0.0.1";
    client.Proxy.Port = port;
}

TEST(kbzWSClientProxy, TheTunnelComesFirstAndTheRequestNamesTheServer)
{
    ScriptedPeer proxy(
        [&](PeerConnection& conn, const std::string& head) { TunnelAndEcho(conn, head); });
    EventRecorder events;
    TkbzWSClient client;
    events.Attach(client);
    // Only the proxy resolves the server's name; here it never needs to.
    client.SetURL("ws://ws.example.test:8080/chat?x=1");
    UseProxy(client, proxy.Port());
    client.ReadTimeout = -1;
    ASSERT_TRUE(client.Connect(5000)) << events.Dump();
    client.WriteData("through the tunnel");
    EXPECT_TRUE(events.Wait("message through the tunnel")) << events.Dump();
    ASSERT_EQ(proxy.Heads().size(), 1u);
    EXPECT_EQ(proxy.Heads()[0], "CONNECT ws.example.test:8080 HTTP/1.0\r\n"
                                "Host: ws.example.test:8080\r\n\r\n");
    auto c = client.Connection();
    ASSERT_TRUE(c);
    EXPECT_EQ(c->HeadersResponse().at(0), "GET /chat?x=1 HTTP/1.1");
    EXPECT_EQ(c->HeadersResponse().at(1), "Host: ws.example.test:8080");
    client.Disconnect(5000);
}

TEST(kbzWSClientProxy, ProxiesThatFailEndTheActivationWithAClearError)
{
    struct Case
    {
        const char* name;
        std::string answer; // empty: says nothing
        std::string error;
    };
    const Case cases[] = {
        {"201", "HTTP/1.1 201 Created\r\nContent-Length: 0\r\n\r\n", "exception 201 Created"},
        {"garbage", "\x16\x03\x01 nonsense\r\n\r\n",
         "exception Invalid answer from the HTTP proxy: "},
        {"hang_up", "HTTP/1.1",
         "exception The HTTP proxy closed the connection without an answer."},
        {"silent", "", "exception The HTTP proxy did not answer in time."},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        ScriptedPeer proxy([&](PeerConnection& conn, const std::string&) {
            if (!c.answer.empty())
            {
                conn.Send(c.answer);
                return; // and hang up
            }
            conn.WaitClosed(10000);
        });
        EventRecorder events;
        TkbzWSClient client;
        events.Attach(client);
        client.SetURL("ws://ws.example.test/");
        UseProxy(client, proxy.Port());
        client.ConnectTimeout = 300; // the tunnel's limit too, whatever ReadTimeout says
        client.ReadTimeout = -1;
        EXPECT_FALSE(client.Connect(5000));
        EXPECT_TRUE(events.Wait(c.error, 5s)) << events.Dump();
        EXPECT_EQ(events.Count("connect"), 0u);
        EXPECT_FALSE(client.GetActive());
    }
}

TEST(kbzWSClientProxy, SettingsThatCannotWorkAreRefused)
{
    struct Case
    {
        const char* name;
        std::string host;
        int port;
        std::string error;
    };
    const int dead = FreePort();
    const Case cases[] = {
        {"port_above_65535", "127.0.0.1", 65616, "exception Invalid proxy port 65616 (1 to 65535)"},
        {"port_0", "127.0.0.1", 0, "exception Invalid proxy port 0 (1 to 65535)"},
        {"no_host", "", 8080, "exception The proxy has no host"},
        {"refused", "127.0.0.1", dead, "exception "},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        EventRecorder events;
        TkbzWSClient client;
        events.Attach(client);
        client.SetURL("ws://ws.example.test/");
        client.Proxy.Enabled = true;
        client.Proxy.Host = c.host;
        client.Proxy.Port = c.port;
        EXPECT_FALSE(client.Connect(5000));
        EXPECT_TRUE(events.Wait(c.error, 5s)) << events.Dump();
    }
}

TEST(kbzWSClientProxy, DeactivationEndsATunnelHandshakeWithoutAnError)
{
    std::atomic<bool> asked{false};
    ScriptedPeer proxy([&](PeerConnection& conn, const std::string&) {
        asked = true;
        conn.WaitClosed(10000);
    });
    EventRecorder events;
    TkbzWSClient client;
    events.Attach(client);
    client.SetURL("ws://ws.example.test/");
    UseProxy(client, proxy.Port());
    client.ConnectTimeout = 20000;
    std::thread activation([&] { client.SetActive(true); });
    ASSERT_TRUE(WaitUntil([&] { return asked.load(); }, 5s));
    const auto start = std::chrono::steady_clock::now();
    client.SetActive(false);
    activation.join();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    EXPECT_FALSE(client.GetActive());
    EXPECT_EQ(events.Size(), 0u) << events.Dump();
}

} // namespace
