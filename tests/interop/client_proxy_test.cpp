// The client through real proxies to python websockets, over ws:// and wss://: tinyproxy
// (HTTP CONNECT, Basic authentication after a 407 on a connection it closes), microsocks
// (SOCKS 5 with and without user name and password), dante (SOCKS 4 and 5) and our SOCKS 4A
// responder; certificate verification through a tunnel checks the target's name.
#include "client/kbzWebSocket_Client.h"
#include "server/kbzWebSocket_Server.h"
#include "tests/client/kbzClientRecorder.h"
#include "tests/interop/client_peers.h"
#include "tests/interop/proxy_peers.h"
#include "tests/support/kbzTestCerts.h"

#include <filesystem>
#include <gtest/gtest.h>

using namespace kbz;
using namespace kbz::test;
using namespace kbz::test::client;
using namespace kbz::test::proxy;

namespace
{

struct ProxyCase
{
    const char* name;
    Kind kind;
    std::string proxyUser, proxyPassword; // what the proxy demands
    TwsProxy type;
    std::string user, password; // what the client sends
    std::string target;         // the server's host as the client names it
    bool tls;
    std::string failure; // empty: the connection works; else how the exception starts
    std::string logged;  // something the proxy's log shows for a working case
};

// The python servers every case reaches: plain, and TLS with a certificate of the test CA.
struct Servers
{
    Peer plain;
    Peer secure;
    bool Start()
    {
        return plain.Start(Peer::PythonWS, {}) &&
               secure.Start(Peer::PythonWS, {"--tls", Certs().ServerCert, Certs().ServerKey});
    }
    std::string Url(const ProxyCase& c)
    {
        return std::string(c.tls ? "wss" : "ws") + "://" + c.target + ":" +
               std::to_string((c.tls ? secure : plain).Port()) + "/";
    }
};

void Configure(TkbzWSClient& client, const ProxyCase& c, int proxyPort)
{
    client.Proxy.Enabled = true;
    client.Proxy.Host = "127.0.0.1";
    client.Proxy.Port = proxyPort;
    client.Proxy.ProxyType = c.type;
    client.Proxy.Username = c.user;
    client.Proxy.Password = c.password;
    client.TLSOptions.VerifyCertificate = true;
    client.TLSOptions.RootCertFile = Certs().CACert;
}

void RunCase(const ProxyCase& c, Servers& servers)
{
    SCOPED_TRACE(c.name);
    KBZ_REQUIRE_PROXY(c.kind);
    ProxyPeer proxy;
    ASSERT_TRUE(proxy.Start(c.kind, c.proxyUser, c.proxyPassword)) << proxy.Log();
    EventRecorder events;
    TkbzWSClient client;
    events.Attach(client);
    client.SetURL(servers.Url(c));
    Configure(client, c, proxy.Port());
    const bool connected = client.Connect(15000);
    if (!c.failure.empty())
    {
        EXPECT_FALSE(connected);
        EXPECT_TRUE(events.Wait("exception " + c.failure, 5s)) << events.Dump() << proxy.Log();
        EXPECT_EQ(events.Count("connect"), 0u);
        return;
    }
    ASSERT_TRUE(connected) << events.Dump() << proxy.Log();
    // The TCP connection leads to the proxy, not straight to the server.
    auto connection = client.Connection();
    ASSERT_TRUE(connection && connection->TCPConnection());
    EXPECT_EQ(connection->TCPConnection()->Binding().Port, proxy.Port());
    client.WriteData(std::string("through ") + c.name);
    EXPECT_TRUE(events.Wait(std::string("message through ") + c.name, 10s)) << events.Dump();
    EXPECT_TRUE(client.Disconnect(5000));
    if (!c.logged.empty())
    {
        EXPECT_TRUE(WaitUntil([&] { return proxy.Log().find(c.logged) != std::string::npos; }, 5s))
            << proxy.Log();
    }
}

class ClientProxy : public ::testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        if (HavePythonWebSockets())
        {
            FServers = new Servers;
            if (!FServers->Start())
            {
                delete FServers;
                FServers = nullptr;
            }
        }
    }
    static void TearDownTestSuite()
    {
        delete FServers;
        FServers = nullptr;
    }
    void SetUp() override
    {
        if (!FServers)
        {
            GTEST_SKIP() << "python3-websockets is not installed or did not start";
        }
    }
    void RunAll(const std::vector<ProxyCase>& cases)
    {
        for (const auto& c : cases)
        {
            RunCase(c, *FServers);
        }
    }
    static Servers* FServers;
};

Servers* ClientProxy::FServers = nullptr;

TEST_F(ClientProxy, HTTPConnectThroughTinyproxy)
{
    RunAll({
        {"tinyproxy_ws", Kind::Tinyproxy, "", "", TwsProxy::pxyHTTP, "", "", "127.0.0.1", false, "",
         "CONNECT 127.0.0.1:"},
        {"tinyproxy_wss_names_the_target", Kind::Tinyproxy, "", "", TwsProxy::pxyHTTP, "", "",
         "localhost", true, "", "CONNECT localhost:"},
        {"tinyproxy_basic_after_407_on_a_new_connection", Kind::Tinyproxy, "al", "s3cr.t",
         TwsProxy::pxyHTTP, "al", "s3cr.t", "127.0.0.1", false, "", ""},
        {"tinyproxy_basic_wss", Kind::Tinyproxy, "al", "s3cr.t", TwsProxy::pxyHTTP, "al", "s3cr.t",
         "localhost", true, "", ""},
        {"tinyproxy_wrong_password", Kind::Tinyproxy, "al", "s3cr.t", TwsProxy::pxyHTTP, "al",
         "nope", "127.0.0.1", false, "401 Unauthorized", ""},
        {"tinyproxy_no_credentials", Kind::Tinyproxy, "al", "s3cr.t", TwsProxy::pxyHTTP, "", "",
         "127.0.0.1", false, "407 Proxy Authentication Required", ""},
    });
}

TEST_F(ClientProxy, Socks5ThroughMicrosocks)
{
    RunAll({
        {"microsocks_ws", Kind::Microsocks, "", "", TwsProxy::pxySocks5, "", "", "127.0.0.1", false,
         "", ""},
        {"microsocks_wss_by_name", Kind::Microsocks, "", "", TwsProxy::pxySocks5, "", "",
         "localhost", true, "", ""},
        {"microsocks_user_and_password", Kind::Microsocks, "al", "s3cret", TwsProxy::pxySocks5,
         "al", "s3cret", "localhost", false, "", ""},
        {"microsocks_user_and_password_wss", Kind::Microsocks, "al", "s3cret", TwsProxy::pxySocks5,
         "al", "s3cret", "localhost", true, "", ""},
        {"microsocks_wrong_password", Kind::Microsocks, "al", "s3cret", TwsProxy::pxySocks5, "al",
         "nope", "127.0.0.1", false, "SOCKS 5 proxy refused the user name or password.", ""},
        {"microsocks_no_credentials", Kind::Microsocks, "al", "s3cret", TwsProxy::pxySocks5, "", "",
         "127.0.0.1", false, "SOCKS 5 proxy requires a user name and password.", ""},
    });
}

TEST_F(ClientProxy, Socks4And5ThroughDante)
{
    RunAll({
        {"dante_socks4", Kind::Dante, "", "", TwsProxy::pxySocks4, "", "", "127.0.0.1", false, "",
         ""},
        {"dante_socks4_name_resolved_here", Kind::Dante, "", "", TwsProxy::pxySocks4, "", "",
         "localhost", true, "", ""},
        {"dante_socks5", Kind::Dante, "", "", TwsProxy::pxySocks5, "", "", "127.0.0.1", false, "",
         ""},
        {"dante_socks5_wss_by_name", Kind::Dante, "", "", TwsProxy::pxySocks5, "", "", "localhost",
         true, "", ""},
    });
}

TEST_F(ClientProxy, Socks4AThroughOurResponder)
{
    RunAll({
        {"stub_socks4a_sends_the_name", Kind::Socks4AStub, "", "", TwsProxy::pxySocks4A, "", "",
         "localhost", false, "", "request localhost "},
        {"stub_socks4a_wss", Kind::Socks4AStub, "", "", TwsProxy::pxySocks4A, "", "", "localhost",
         true, "", "request localhost "},
        {"stub_socks4_resolves_here", Kind::Socks4AStub, "", "", TwsProxy::pxySocks4, "", "",
         "localhost", false, "", "request 127.0.0.1 "},
        {"stub_socks4_user_id", Kind::Socks4AStub, "kbz", "", TwsProxy::pxySocks4A, "kbz", "",
         "localhost", false, "", "request localhost "},
        {"stub_socks4_wrong_user_id", Kind::Socks4AStub, "kbz", "", TwsProxy::pxySocks4A, "other",
         "", "localhost", false,
         "SOCKS 4A proxy refused the connection: the user id was not confirmed by identd (93).",
         ""},
    });
}

// The certificate names only "localhost"; the proxy is reached as 127.0.0.1. Verification
// passes only when it checks the target's name.
TEST_F(ClientProxy, CertificateCheckThroughATunnelNamesTheTarget)
{
    if (!HaveProgram("openssl"))
    {
        GTEST_SKIP() << "openssl is not installed";
    }
    const std::string dir = MakeTempDir("kbz-localhost-cert");
    const std::string cert = dir + "/cert.pem";
    const std::string key = dir + "/key.pem";
    {
        TestProcess openssl;
        ASSERT_TRUE(openssl.Start({"openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
                                   "ec_paramgen_curve:P-256", "-nodes", "-keyout", key, "-out",
                                   cert, "-days", "2", "-subj", "/CN=localhost", "-addext",
                                   "subjectAltName=DNS:localhost"}));
        ASSERT_EQ(openssl.WaitForExit(30s), 0);
    }
    Peer server;
    ASSERT_TRUE(server.Start(Peer::PythonWS, {"--tls", cert, key}));
    for (const Kind kind : {Kind::Tinyproxy, Kind::Microsocks})
    {
        SCOPED_TRACE(Name(kind));
        KBZ_REQUIRE_PROXY(kind);
        ProxyPeer proxy;
        ASSERT_TRUE(proxy.Start(kind));
        for (const std::string target : {"localhost", "127.0.0.1"})
        {
            SCOPED_TRACE(target);
            EventRecorder events;
            TkbzWSClient client;
            events.Attach(client);
            client.SetURL("wss://" + target + ":" + std::to_string(server.Port()) + "/");
            client.Proxy.Enabled = true;
            client.Proxy.Host = "127.0.0.1";
            client.Proxy.Port = proxy.Port();
            client.Proxy.ProxyType =
                kind == Kind::Tinyproxy ? TwsProxy::pxyHTTP : TwsProxy::pxySocks5;
            client.TLSOptions.VerifyCertificate = true;
            client.TLSOptions.RootCertFile = cert;
            const bool named = target == "localhost";
            EXPECT_EQ(client.Connect(15000), named) << events.Dump();
            if (!named)
            {
                EXPECT_TRUE(events.Wait("exception ", 5s)) << events.Dump();
            }
        }
    }
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
}

// The session request and the upgrade both go through the proxy (an HTTP proxy that wants
// credentials gets them with the session request at once: it cannot be reconnected).
TEST_F(ClientProxy, SessionModeThroughProxiesToOurServer)
{
    TkbzWSHTTPServer server;
    server.Bindings().push_back({"127.0.0.1", 0, TwsIPVersion::ipV4});
    server.SetPort(0);
    server.Authentication().Enabled = true;
    server.Authentication().AuthUsers.SetText("bob=p/w d");
    server.SetActive(true);
    const int port = server.GetBoundPort();
    ASSERT_GT(port, 0);
    struct Case
    {
        const char* name;
        Kind kind;
        std::string user, password;
        TwsProxy type;
    };
    const Case cases[] = {
        {"tinyproxy_with_basic", Kind::Tinyproxy, "al", "pw", TwsProxy::pxyHTTP},
        {"microsocks_with_user", Kind::Microsocks, "al", "pw", TwsProxy::pxySocks5},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        KBZ_REQUIRE_PROXY(c.kind);
        ProxyPeer proxy;
        ASSERT_TRUE(proxy.Start(c.kind, c.user, c.password));
        EventRecorder events;
        TkbzWSClient client;
        events.Attach(client);
        client.SetURL("ws://127.0.0.1:" + std::to_string(port) + "/");
        client.Proxy.Enabled = true;
        client.Proxy.Host = "127.0.0.1";
        client.Proxy.Port = proxy.Port();
        client.Proxy.ProxyType = c.type;
        client.Proxy.Username = c.user;
        client.Proxy.Password = c.password;
        client.Authentication.Enabled = true;
        client.Authentication.Session.Enabled = true;
        client.Authentication.User = "bob";
        client.Authentication.Password = "p/w d";
        ASSERT_TRUE(client.Connect(15000)) << events.Dump() << proxy.Log();
        EXPECT_EQ(client.Authentication.Session.ID.size(), 32u);
        EXPECT_EQ(client.Connection()->TCPConnection()->Binding().Port, proxy.Port());
        client.Disconnect(5000);
        if (c.kind == Kind::Tinyproxy)
        {
            EXPECT_TRUE(WaitUntil(
                [&] {
                    const std::string log = proxy.Log();
                    const std::string connect = "CONNECT 127.0.0.1:" + std::to_string(port);
                    const std::size_t first = log.find(connect);
                    return first != std::string::npos &&
                           log.find(connect, first + 1) != std::string::npos;
                },
                5s))
                << proxy.Log();
        }
    }
}

} // namespace
