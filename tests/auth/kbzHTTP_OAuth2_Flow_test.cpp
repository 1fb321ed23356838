// The authorization server inside our TLS server, and our token source against it: the
// endpoints as the server's HTTP handling offers them, Bearer tokens on upgrades and plain
// requests, and the whole authorization-code grant with a scripted browser, up to a WebSocket
// connection that the token opens.
#include "auth/kbzHTTP_OAuth2_Client.h"
#include "client/kbzWebSocket_Client.h"
#include "server/kbzWebSocket_Server.h"
#include "tests/auth/kbzOAuth2TestServer.h"
#include "tests/support/kbzTestCerts.h"
#include "tests/support/kbzTestProcess.h"

#include <gtest/gtest.h>
#include <thread>

using namespace kbz;
using namespace kbz::test;
using namespace kbz::test::oauth2;

namespace
{

// Our server with the component, echoing text messages.
struct TLSAuthority
{
    Authority authority; // outlives the server that refers to it
    std::mutex lock;
    std::vector<TwsAuthentication> connected;
    TkbzWSHTTPServer server;
    int port = 0;

    explicit TLSAuthority(bool tls = true)
    {
        server.SSL = tls;
        server.SSLOptions().CertFile = Certs().ServerCert;
        server.SSLOptions().KeyFile = Certs().ServerKey;
        server.Bindings().push_back({"127.0.0.1", 0, TwsIPVersion::ipV4});
        server.SetPort(0);
        server.Authentication().Enabled = true;
        server.Authentication().OAuth.OAuth2 = &authority.server;
        server.OnConnect = [this](const TkbzWSConnectionPtr& c) {
            auto sc = std::static_pointer_cast<TkbzWSConnectionServer>(c);
            std::lock_guard guard(lock);
            connected.push_back(sc->Authentication().AuthType);
        };
        server.OnMessage = [](const TkbzWSConnectionPtr& c, const std::string& text) {
            c->WriteData("echo " + text);
        };
        server.SetActive(true);
        port = server.GetBoundPort();
    }
    std::string URL(const std::string& path) const
    {
        return std::string(server.SSL ? "https" : "http") + "://127.0.0.1:" + std::to_string(port) +
               path;
    }
};

TkbzHTTPClient& Verified(TkbzHTTPClient& http)
{
    http.TLSOptions.RootCertFile = Certs().CACert;
    http.TLSOptions.VerifyCertificate = true;
    return http;
}

struct Received
{
    std::mutex lock;
    std::condition_variable changed;
    std::vector<std::string> messages;
    std::vector<std::string> errors;

    void Wire(TkbzWSClient& client)
    {
        client.OnMessage = [this](const TkbzWSConnectionPtr&, const std::string& text) {
            std::lock_guard guard(lock);
            messages.push_back(text);
            changed.notify_all();
        };
        client.OnError = [this](const TkbzWSConnectionPtr&, const std::string& text) {
            std::lock_guard guard(lock);
            errors.push_back(text);
            changed.notify_all();
        };
    }
    bool WaitFor(const std::string& message)
    {
        std::unique_lock l(lock);
        return changed.wait_for(l, 20s, [&] {
            return std::find(messages.begin(), messages.end(), message) != messages.end();
        });
    }
};

} // namespace

// The endpoints answer on TLS connections; plain requests then need one of its tokens.
TEST(kbzHTTP_OAuth2_Flow, EndpointsAndBearerOverTLS)
{
    TLSAuthority a;
    TkbzHTTPClient http;
    Verified(http);
    const TkbzHTTPResponse page =
        http.Get(a.URL("/kbz/oauth2/auth?response_type=code&client_id=" + kClientId + "&state=s1"));
    ASSERT_EQ(page.Status(), 200) << page.Body;
    const std::string id = RequestIdOf(page.Body);
    const TkbzHTTPResponse signIn =
        http.Get(a.URL("/kbz/oauth2/auth?" + Form({{"request_type", "sign-in"},
                                                   {"id", id},
                                                   {"username", kUser},
                                                   {"password", kPassword}})));
    ASSERT_EQ(signIn.Status(), 302);
    const std::string code = ParamOf(signIn.Head.Headers.Get("Location"), "code");
    const TkbzHTTPResponse token = http.Post(a.URL("/kbz/oauth2/token"),
                                             Form({{"grant_type", "authorization_code"},
                                                   {"code", code},
                                                   {"client_id", kClientId},
                                                   {"client_secret", kSecret}}),
                                             "application/x-www-form-urlencoded");
    ASSERT_EQ(token.Status(), 200) << token.Body;
    const std::string access = Member(token.Body, "access_token");

    struct Case
    {
        const char* name;
        std::string authorization;
        int status;
    };
    const Case cases[] = {
        {"its token", "Bearer " + access, 200}, // past the check, to the default page
        {"no token", "", 401},
        {"the refresh token", "Bearer " + Member(token.Body, "refresh_token"), 401},
        {"basic", "Basic " + kbzEncodeBase64("a:b"), 401},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        TkbzHTTPHeaders headers;
        if (!c.authorization.empty())
        {
            headers.Add("Authorization", c.authorization);
        }
        EXPECT_EQ(http.Get(a.URL("/index.html"), headers).Status(), c.status);
    }
    // The token endpoint refuses in JSON, over the wire too.
    const TkbzHTTPResponse again =
        http.Post(a.URL("/kbz/oauth2/token"),
                  "grant_type=authorization_code&code=" + code + "&client_id=" + kClientId,
                  "application/x-www-form-urlencoded");
    EXPECT_EQ(again.Status(), 401);
    EXPECT_EQ(Member(again.Body, "error"), "invalid_client");

    // WebSocket upgrades with the token get through, others are refused with 401.
    for (const bool valid : {true, false})
    {
        SCOPED_TRACE(valid ? "upgrade with its token" : "upgrade with another token");
        TkbzWSClient client;
        Received r;
        r.Wire(client);
        client.SetURL("wss://127.0.0.1:" + std::to_string(a.port) + "/");
        client.TLSOptions.RootCertFile = Certs().CACert;
        client.TLSOptions.VerifyCertificate = true;
        client.Authentication.Enabled = true;
        client.Authentication.Token.Enabled = true;
        client.Authentication.Token.AuthToken = valid ? access : std::string(64, 'f');
        EXPECT_EQ(client.Connect(10000), valid);
        if (valid)
        {
            client.WriteData("hi");
            EXPECT_TRUE(r.WaitFor("echo hi"));
            std::lock_guard guard(a.lock);
            EXPECT_EQ(a.connected, std::vector<TwsAuthentication>{TwsAuthentication::authOAuth2});
        }
        client.Disconnect(5000);
    }
}

// On a plain listener the endpoints are not offered, and plain requests need no token; upgrades
// still do.
TEST(kbzHTTP_OAuth2_Flow, PlainListener)
{
    TLSAuthority a(false);
    TkbzHTTPClient http;
    const TkbzHTTPResponse page =
        http.Get(a.URL("/kbz/oauth2/auth?response_type=code&client_id=" + kClientId + "&state=s1"));
    EXPECT_EQ(page.Status(), 200); // the default page: the endpoints are not offered here
    EXPECT_EQ(a.authority.server.Requests().Count(), 0u);
    TkbzWSClient client;
    client.SetURL("ws://127.0.0.1:" + std::to_string(a.port) + "/");
    EXPECT_FALSE(client.Connect(5000));
}

// The whole grant: our client's token source opens the page in a scripted browser, which signs in
// and follows the redirect to the local server; the token opens the WebSocket connection.
TEST(kbzHTTP_OAuth2_Flow, AuthorizationCodeGrantOpensTheConnection)
{
    TLSAuthority a;
    a.authority.server.GetApp("Demo App")->RedirectURI.clear();
    TkbzHTTPComponentClient_OAuth2 source;
    source.AuthorizationServerOptions().AuthURL = a.URL("/kbz/oauth2/auth");
    source.AuthorizationServerOptions().TokenURL = a.URL("/kbz/oauth2/token");
    source.AuthorizationServerOptions().Scope.SetText("chat");
    source.OAuth2Options().ClientId = kClientId;
    source.OAuth2Options().ClientSecret = kSecret;
    source.LocalServerOptions().Port = 0;
    source.HTTPClientOptions().TLSOptions.RootCertFile = Certs().CACert;
    std::mutex browserLock;
    std::string browserSaw;
    std::vector<std::thread> browsers;
    source.BrowserOpener = [&](const std::string& url) {
        // A browser works on its own: the page, the sign-in, then wherever it is sent.
        browsers.emplace_back([&, url] {
            TkbzHTTPClient http;
            Verified(http);
            http.MaxRedirects = 5;
            const std::string id = RequestIdOf(http.Get(url).Body);
            const TkbzHTTPResponse last = http.Get(url.substr(0, url.find('?')) + "?" +
                                                   Form({{"request_type", "sign-in"},
                                                         {"id", id},
                                                         {"username", kUser},
                                                         {"password", kPassword}}));
            std::lock_guard guard(browserLock);
            browserSaw = std::to_string(last.Status()) + " " + last.Body;
        });
        return true;
    };

    TkbzWSClient client;
    Received r;
    r.Wire(client);
    client.SetURL("wss://127.0.0.1:" + std::to_string(a.port) + "/");
    client.TLSOptions.RootCertFile = Certs().CACert;
    client.TLSOptions.VerifyCertificate = true;
    client.Authentication.Enabled = true;
    client.Authentication.Token.Enabled = true;
    client.Authentication.Token.OAuth = &source;
    struct Join
    {
        std::vector<std::thread>& threads;
        ~Join()
        {
            for (auto& t : threads)
            {
                t.join();
            }
        }
    } join{browsers};
    const bool connected = client.Connect(30000);
    ASSERT_TRUE(connected) << testing::PrintToString(r.errors);
    {
        std::lock_guard guard(browserLock);
        EXPECT_EQ(browserSaw, "200 The operation was successful, you can close your browser now.");
    }
    EXPECT_EQ(client.Authentication.Token.AuthName, "Bearer");
    EXPECT_TRUE(
        a.authority.server.IsOAuth2TokenValid(nullptr, client.Authentication.Token.AuthToken));
    EXPECT_EQ(source.GetRefreshToken().size(), 64u);
    EXPECT_EQ(source.GetRefreshScheduled(), 1800);
    client.WriteData("with a token");
    EXPECT_TRUE(r.WaitFor("echo with a token"));
    // A refresh now brings a new token, which the client keeps for its next connection.
    const std::string first = client.Authentication.Token.AuthToken;
    source.Refresh(source.GetRefreshToken());
    EXPECT_NE(client.Authentication.Token.AuthToken, first);
    EXPECT_FALSE(a.authority.server.IsOAuth2TokenValid(nullptr, first));
    EXPECT_EQ(source.GetRefreshScheduled(), 3600);
    client.Disconnect(5000);
    EXPECT_TRUE(WaitUntil([&] { return !source.GetLocalServerActive(); }, 10s))
        << "the client's deactivation stops the source";
}

// A source that cannot start (no token endpoint) ends the activation with its error at once.
TEST(kbzHTTP_OAuth2_Flow, ASourceThatCannotStart)
{
    TkbzHTTPComponentClient_OAuth2 source;
    source.AuthorizationServerOptions().AuthURL = "https://127.0.0.1:9/auth";
    TkbzWSClient client;
    Received r;
    r.Wire(client);
    client.OnException = [&](const TkbzWSConnectionPtr&, const std::exception& e) {
        std::lock_guard guard(r.lock);
        r.errors.push_back(e.what());
    };
    client.SetURL("wss://127.0.0.1:9/");
    client.Authentication.Enabled = true;
    client.Authentication.Token.Enabled = true;
    client.Authentication.Token.OAuth = &source;
    EXPECT_FALSE(client.Connect(10000));
    std::lock_guard guard(r.lock);
    EXPECT_EQ(r.errors, std::vector<std::string>{"Token URL must not be empty."});
}
