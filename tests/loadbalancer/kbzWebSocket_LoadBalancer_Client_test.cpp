// A server's load-balancer link against a fake balancer of the test's own
// (our server component on loopback): the registration in its order, the
// connection reports, broadcasts and writes that go out as envelopes and are
// carried out when they come back, and what happens while the link is down.
#include "kbzWebSocket.h"
#include "tests/client/kbzClientRecorder.h"
#include "tests/support/kbzTestCerts.h"
#include "tests/support/kbzTestProcess.h"

#include <gtest/gtest.h>

using namespace kbz;
using namespace kbz::test;

namespace
{

// Records every message a link sends ("text ..." / "binary ..."), in order, and
// sends what the test asks to the link.
class FakeBalancer
{
public:
    FakeBalancer()
    {
        FServer.Bindings().push_back({"127.0.0.1", 0, TwsIPVersion::ipV4});
        FServer.SetPort(0);
        FServer.OnConnect = [this](const TkbzWSConnectionPtr& c) {
            std::lock_guard guard(FLock);
            FLink = c;
        };
        FServer.OnMessage = [this](const TkbzWSConnectionPtr&, const std::string& text) {
            FRecord.Add("text " + text);
        };
        FServer.OnBinary = [this](const TkbzWSConnectionPtr&, TkbzMemoryStream& data) {
            FRecord.Add("binary " + data.DataString());
        };
        FServer.SetActive(true);
    }
    ~FakeBalancer() { FServer.SetActive(false); }

    int Port() const { return FServer.GetBoundPort(); }
    EventRecorder& Record() { return FRecord; }
    std::vector<std::string> Texts() { return FRecord.Events(); }
    // The request path the link connected with.
    std::string LinkPath()
    {
        std::lock_guard guard(FLock);
        auto c = std::dynamic_pointer_cast<TkbzWSConnectionServer>(FLink);
        return c && c->Handshake() ? c->Handshake()->FGet : std::string();
    }
    void Send(const std::string& text)
    {
        std::lock_guard guard(FLock);
        ASSERT_TRUE(FLink);
        FLink->WriteData(text);
    }
    void SendBinary(const std::string& bytes)
    {
        std::lock_guard guard(FLock);
        ASSERT_TRUE(FLink);
        TkbzMemoryStream data(std::vector<std::uint8_t>(bytes.begin(), bytes.end()));
        FLink->WriteData(data);
    }
    // Everything recorded from index from on.
    std::vector<std::string> From(std::size_t from)
    {
        const auto all = Texts();
        return {all.begin() + static_cast<std::ptrdiff_t>(std::min(from, all.size())), all.end()};
    }

private:
    EventRecorder FRecord;
    std::mutex FLock;
    TkbzWSConnectionPtr FLink;
    TkbzWebSocketHTTPServer FServer; // last: its threads use the above
};

// The server under test, with its load-balancer events recorded.
struct LinkedServer
{
    EventRecorder events; // "lb connect", "lb disconnect", "lb error TEXT"
    TkbzWebSocketHTTPServer server;

    explicit LinkedServer(int balancerPort, bool enabled = true)
    {
        server.Bindings().push_back({"127.0.0.1", 0, TwsIPVersion::ipV4});
        server.SetPort(0);
        auto& lb = server.LoadBalancer();
        lb.Enabled = enabled;
        lb.Host = "127.0.0.1";
        lb.Port = balancerPort;
        lb.Guid = "SERVER-1";
        lb.AutoRegisterBindings = true;
        lb.Bindings = {"wss://lb.example:8443", "no binding", "ws://h:port"};
        server.OnLoadBalancerConnect = [this](TkbzWSServer_Indy_Base&) {
            events.Add("lb connect");
        };
        server.OnLoadBalancerDisconnect = [this](TkbzWSServer_Indy_Base&) {
            events.Add("lb disconnect");
        };
        server.OnLoadBalancerError = [this](TkbzWSServer_Indy_Base&, const std::string& text) {
            events.Add("lb error " + text);
        };
    }
    ~LinkedServer() { server.SetActive(false); }

    std::string Url() const { return "ws://127.0.0.1:" + std::to_string(server.GetBoundPort()); }
    std::string ConnectionGuid(std::size_t i = 0) { return server.Connections().at(i)->GetGuid(); }
};

// A client of the server under test.
struct Client
{
    EventRecorder events;
    TkbzWSClient client;
    explicit Client(const std::string& url)
    {
        events.Attach(client);
        client.SetURL(url + "/");
    }
    ~Client() { client.Disconnect(5000); }
};

std::string ConnectionRecord(bool active, const std::string& guid)
{
    return std::string("text {\"method\":\"kbz@lb@client@connection\",\"active\":") +
           (active ? "true" : "false") + ",\"guid\":\"" + guid +
           "\",\"ip\":\"127.0.0.1\",\"channel\":\"\",\"protocol\":\"\"}";
}

const std::string kEmptyHeader =
    R"({"guid":"","channel":"","protocol":"","include":"","exclude":""})";

TEST(kbzLoadBalancerLink, RegistersInOrderThenReportsConnections)
{
    FakeBalancer balancer;
    LinkedServer s(balancer.Port(), false);
    s.server.SetActive(true);
    // A connection that is open before the link comes up is part of the registration.
    Client first(s.Url());
    ASSERT_TRUE(first.client.Connect(5000)) << first.events.Dump();
    const std::string firstGuid = s.ConnectionGuid();

    s.server.LoadBalancer().Enabled = true;
    s.server.GetClientLoadBalancer()->Activate();
    ASSERT_TRUE(balancer.Record().Wait("text kbz@lb@server@ready")) << balancer.Record().Dump();
    const std::string port = std::to_string(s.server.GetBoundPort());
    EXPECT_EQ(
        balancer.Texts(),
        (std::vector<std::string>{
            R"(text {"method":"kbz@lb@server@data","guid":"SERVER-1"})",
            R"(text {"method":"kbz@lb@server@binding","host":"127.0.0.1","port":)" + port +
                R"(,"ssl":false})",
            R"(text {"method":"kbz@lb@server@binding","host":"lb.example","port":8443,"ssl":true})",
            ConnectionRecord(true, firstGuid),
            "text kbz@lb@server@ready",
        }));
    EXPECT_EQ(balancer.LinkPath(), "/kbz@load_balancer_client");
    EXPECT_TRUE(s.events.Wait("lb connect"));

    // Then every connection that comes and goes.
    const std::size_t mark = balancer.Texts().size();
    {
        Client second(s.Url());
        ASSERT_TRUE(second.client.Connect(5000));
        ASSERT_TRUE(WaitUntil([&] { return s.server.Connections().size() == 2; }, 5s));
    }
    // The server sees the second one go before the first is closed.
    ASSERT_TRUE(WaitUntil([&] { return balancer.Texts().size() >= mark + 2; }, 5s))
        << balancer.Record().Dump();
    first.client.Disconnect(5000);
    ASSERT_TRUE(WaitUntil([&] { return balancer.Texts().size() >= mark + 3; }, 5s))
        << balancer.Record().Dump();
    const auto reports = balancer.From(mark);
    ASSERT_EQ(reports.size(), 3u) << balancer.Record().Dump();
    const std::string secondGuid = reports[0].substr(reports[0].find("\"guid\":\"") + 8, 32);
    EXPECT_EQ(reports[0], ConnectionRecord(true, secondGuid));
    EXPECT_EQ(reports[1], ConnectionRecord(false, secondGuid));
    EXPECT_EQ(reports[2], ConnectionRecord(false, firstGuid));
    EXPECT_EQ(s.events.Count("lb error"), 0u) << s.events.Dump();
}

TEST(kbzLoadBalancerLink, AnnouncedBindingsFollowTheListenersTLSRule)
{
    struct Case
    {
        const char* name;
        bool ssl;
        bool tlsOnSecondPortOnly; // else SSLOptions.Port 0: TLS on every port
        bool expected[2];
    };
    const Case cases[] = {
        {"plain", false, false, {false, false}},
        {"tls_on_every_port", true, false, {true, true}},
        {"tls_on_its_own_port", true, true, {false, true}},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        const int ports[2] = {FreePort(), FreePort()};
        LinkedServer s(FreePort());
        s.server.LoadBalancer().Enabled = false;
        s.server.LoadBalancer().Bindings.clear();
        s.server.Bindings().clear();
        for (const int p : ports)
        {
            s.server.Bindings().push_back(
                {"127.0.0.1", static_cast<std::uint16_t>(p), TwsIPVersion::ipV4});
        }
        s.server.SSL = c.ssl;
        s.server.SSLOptions().CertFile = Certs().ServerCert;
        s.server.SSLOptions().KeyFile = Certs().ServerKey;
        s.server.SSLOptions().Port = c.tlsOnSecondPortOnly ? ports[1] : 0;
        s.server.SetActive(true);
        auto& link = static_cast<TkbzWSLoadBalancerServerLink&>(*s.server.GetClientLoadBalancer());
        std::vector<std::string> expected;
        for (int i = 0; i < 2; ++i)
        {
            expected.push_back(R"({"method":"kbz@lb@server@binding","host":"127.0.0.1","port":)" +
                               std::to_string(ports[i]) + R"(,"ssl":)" +
                               (c.expected[i] ? "true" : "false") + "}");
        }
        EXPECT_EQ(link.AnnouncedBindings(), expected);
    }
}

// A linked server with one client, registered at the fake balancer.
struct Linked
{
    FakeBalancer balancer;
    LinkedServer s{balancer.Port()};
    std::unique_ptr<Client> client;
    std::string guid;

    Linked()
    {
        s.server.SetActive(true);
        if (!balancer.Record().Wait("text kbz@lb@server@ready"))
        {
            ADD_FAILURE() << "no registration: " << balancer.Record().Dump();
            return;
        }
        client = std::make_unique<Client>(s.Url());
        if (!client->client.Connect(5000))
        {
            ADD_FAILURE() << client->events.Dump();
            return;
        }
        guid = s.ConnectionGuid();
        balancer.Record().Wait("text {\"method\":\"kbz@lb@client@connection\",\"active\":true");
    }
};

TEST(kbzLoadBalancerLink, BroadcastsAndWritesGoOutAndAreCarriedOutWhenTheyComeBack)
{
    Linked f;
    ASSERT_FALSE(f.guid.empty());
    struct Case
    {
        const char* name;
        std::function<void()> send;
        std::string atBalancer;                                   // what the link sends
        std::function<std::string(const std::string& guid)> back; // what the balancer returns
        bool binary;
        std::string atClient; // what the server's client then receives
    };
    const std::string unknown = "0123456789ABCDEF0123456789ABCDEF";
    const Case cases[] = {
        {"text_broadcast", [&] { f.s.server.Broadcast("hi"); }, "text 064" + kEmptyHeader + "hi",
         [&](const std::string&) { return "064" + kEmptyHeader + "hi"; }, false, "message hi"},
        {"binary_broadcast_of_three_bytes",
         [&] {
             TkbzMemoryStream data(std::vector<std::uint8_t>{0x00, 0xFF, 0x10});
             f.s.server.Broadcast(data);
         },
         std::string("binary 0000000000\x00\xFF\x10", 20),
         [&](const std::string&) { return std::string("0000000000\x00\xFF\x10", 13); }, true,
         std::string("binary \x00\xFF\x10", 10)},
        {"write_to_an_identifier_this_server_does_not_hold",
         [&] { EXPECT_TRUE(f.s.server.WriteData(unknown, "x")); },
         "text 096{\"guid\":\"" + unknown +
             R"(","channel":"","protocol":"","include":"","exclude":""}x)",
         [&](const std::string& guid) {
             return "096{\"guid\":\"" + guid +
                    R"(","channel":"","protocol":"","include":"","exclude":""}x)";
         },
         false, "message x"},
        {"binary_write_to_an_identifier_elsewhere",
         [&] {
             TkbzMemoryStream data(std::vector<std::uint8_t>{'y', 'z'});
             EXPECT_TRUE(f.s.server.WriteData(unknown, data));
         },
         "binary 0000000032" + unknown + "yz",
         [&](const std::string& guid) { return "0000000032" + guid + "yz"; }, true, "binary yz"},
        {"broadcast_fields_that_try_to_break_the_header",
         [&] { f.s.server.Broadcast("t", "", "", R"(a"},"guid":"X)", ""); },
         R"(text 081{"guid":"","channel":"","protocol":"","include":"","exclude":"a\"},\"guid\":\"X"}t)",
         [&](const std::string&) {
             return std::string(
                 R"(081{"guid":"","channel":"","protocol":"","include":"","exclude":"a\"},\"guid\":\"X"}t)");
         },
         false, "message t"},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        const std::size_t mark = f.balancer.Texts().size();
        const std::size_t clientMark = f.client->events.Size();
        c.send();
        ASSERT_TRUE(f.balancer.Record().Wait(c.atBalancer.substr(0, 7), 5s, mark))
            << f.balancer.Record().Dump();
        EXPECT_EQ(f.balancer.From(mark), std::vector<std::string>{c.atBalancer});
        // Nothing is delivered here before the balancer hands it back.
        EXPECT_EQ(f.client->events.Size(), clientMark) << f.client->events.Dump();
        if (c.binary)
        {
            f.balancer.SendBinary(c.back(f.guid));
        }
        else
        {
            f.balancer.Send(c.back(f.guid));
        }
        ASSERT_TRUE(f.client->events.Wait(c.atClient.substr(0, 8), 5s, clientMark))
            << f.client->events.Dump();
        EXPECT_EQ(f.client->events.Events().at(clientMark), c.atClient);
    }
    // What came back was carried out here only: nothing went out again.
    std::size_t mark = f.balancer.Texts().size();
    f.balancer.Send("064" + kEmptyHeader + "last");
    ASSERT_TRUE(f.client->events.Wait("message last"));
    f.s.server.Broadcast("probe");
    ASSERT_TRUE(f.balancer.Record().Wait("text 064", 5s, mark));
    EXPECT_EQ(f.balancer.From(mark), std::vector<std::string>{"text 064" + kEmptyHeader + "probe"});
    // A write to a connection the server holds goes straight to it.
    mark = f.balancer.Texts().size();
    EXPECT_TRUE(f.s.server.WriteData(f.guid, "direct"));
    EXPECT_TRUE(f.client->events.Wait("message direct"));
    EXPECT_EQ(f.balancer.Texts().size(), mark);
    EXPECT_EQ(f.s.events.Count("lb error"), 0u) << f.s.events.Dump();
}

TEST(kbzLoadBalancerLink, BadEnvelopesFromTheBalancerAreReportedAndTheLinkStays)
{
    Linked f;
    ASSERT_FALSE(f.guid.empty());
    const std::vector<std::string> texts = {"abc", "999{}", "002hi"};
    for (const std::string& bad : texts)
    {
        f.balancer.Send(bad);
    }
    f.balancer.SendBinary("0000000099short");
    ASSERT_TRUE(WaitUntil([&] { return f.s.events.Count("lb error") == 4; }, 5s))
        << f.s.events.Dump();
    EXPECT_EQ(f.s.events.Count("lb error 'abc' is not a valid integer value"), 1u)
        << f.s.events.Dump();
    f.balancer.Send("064" + kEmptyHeader + "still here");
    EXPECT_TRUE(f.client->events.Wait("message still here")) << f.client->events.Dump();
    EXPECT_EQ(f.s.events.Count("lb disconnect"), 0u);
}

TEST(kbzLoadBalancerLink, WhileTheLinkIsDownTheWorkIsDoneHereAndReported)
{
    // Nothing listens where the balancer should be.
    LinkedServer s(FreePort());
    s.server.SetActive(true);
    ASSERT_TRUE(s.events.Wait("lb error")) << s.events.Dump();
    Client client(s.Url());
    ASSERT_TRUE(client.client.Connect(5000)) << client.events.Dump();
    const std::size_t mark = s.events.Size();
    s.server.Broadcast("local");
    EXPECT_TRUE(client.events.Wait("message local")) << client.events.Dump();
    EXPECT_FALSE(s.server.WriteData("0123456789ABCDEF0123456789ABCDEF", "lost"));
    ASSERT_TRUE(WaitUntil([&] { return s.events.Size() >= mark + 2; }, 5s)) << s.events.Dump();
    const auto events = s.events.Events();
    EXPECT_EQ(events.at(mark), "lb error Load balancer link is down: the broadcast reached this "
                               "server's connections only.");
    EXPECT_EQ(events.at(mark + 1),
              "lb error Load balancer link is down: no write to a connection of another server.");
}

} // namespace
