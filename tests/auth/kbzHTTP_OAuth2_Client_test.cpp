// The OAuth 2 token source: the authorization URL it opens, the redirect its local server
// receives, what it makes of the token endpoint's answers, and the refreshes that follow.
// Token requests go to a scripted endpoint; redirects come over real loopback HTTP.
#include "auth/kbzHTTP_OAuth2_Client.h"
#include "base/kbzBase_Helpers.h"
#include "tests/support/kbzTestProcess.h"

#include <atomic>
#include <gtest/gtest.h>
#include <mutex>

using namespace kbz;
using namespace kbz::test;

namespace
{

const std::string kToken =
    "{\"access_token\":\"tok1\",\"token_type\":\"Bearer\",\"expires_in\":3600,"
    "\"refresh_token\":\"ref1\",\"scope\":\"a b\"}";

TkbzHTTPResponse Answer(int status, const std::string& body)
{
    TkbzHTTPResponse r;
    r.Head.Kind = TkbzHTTPHeadKind::hkResponse;
    r.Head.Status = status;
    r.Head.Reason = kbzHTTPStatusText(status);
    r.Body = body;
    return r;
}

// The component with a scripted token endpoint, recording its events. Refreshes can be made to
// come after as many milliseconds as the answer gave seconds, divided by Speedup.
class ScriptedClient : public TkbzHTTPComponentClient_OAuth2
{
public:
    std::function<TkbzHTTPResponse(const std::string& url, const std::string& body)> Endpoint =
        [](const std::string&, const std::string&) { return Answer(200, kToken); };
    std::int64_t Speedup = 0; // 0: real timers

    std::mutex lock;
    std::vector<std::string> posts;     // url + " " + body
    std::vector<std::string> tokens;    // type + " " + token
    std::vector<std::string> errors;    // error + "|" + description + "|" + data
    std::vector<std::string> events;    // the component's own events
    std::vector<std::int64_t> schedule; // seconds

    ScriptedClient()
    {
        AuthorizationServerOptions().AuthURL = "https://auth.example/authorize";
        AuthorizationServerOptions().TokenURL = "https://auth.example/token";
        AuthorizationServerOptions().Scope.SetText(" a \r\n\r\nb\r\n");
        OAuth2Options().ClientId = "app id";
        OAuth2Options().ClientSecret = "s&e+c=r%t";
        LocalServerOptions().Port = 0;
        OnAuthToken = [this](TkbzHTTPComponentClientAuthToken_Base&, const std::string& type,
                             const std::string& token, const std::string&) {
            std::lock_guard guard(lock);
            tokens.push_back(type + " " + token);
        };
        OnAuthTokenError = [this](TkbzHTTPComponentClientAuthToken_Base&, const std::string& e,
                                  const std::string& d, const std::string& data) {
            std::lock_guard guard(lock);
            errors.push_back(e + "|" + d + "|" + data);
        };
        OnErrorAccessToken = [this](TkbzHTTPComponentClient_OAuth2&, const std::string& e,
                                    const std::string& d, const std::string& u,
                                    const std::string& raw) {
            std::lock_guard guard(lock);
            events.push_back("ErrorAccessToken " + e + "|" + d + "|" + u + "|" + raw);
        };
        OnErrorAuthorizeCode = [this](TkbzHTTPComponentClient_OAuth2&, const std::string& e,
                                      const std::string& d, const std::string& u,
                                      const std::string& state, const std::string&) {
            std::lock_guard guard(lock);
            events.push_back("ErrorAuthorizeCode " + e + "|" + d + "|" + u + "|" + state);
        };
        OnAfterAuthorizeCode = [this](TkbzHTTPComponentClient_OAuth2&, const std::string& code,
                                      const std::string& state, const std::string&,
                                      const std::string& raw, bool&) {
            std::lock_guard guard(lock);
            events.push_back("AfterAuthorizeCode " + code + "|" + state + "|" + raw);
        };
    }
    ~ScriptedClient() override
    {
        // Before the recorders go: nothing may still raise into them.
        SetDestroying();
        Stop();
        ShutdownLocalServer();
    }

    template <class T> std::vector<T> Copy(const std::vector<T>& v)
    {
        std::lock_guard guard(lock);
        return v;
    }
    std::size_t Count(const std::vector<std::string>& v)
    {
        std::lock_guard guard(lock);
        return v.size();
    }

protected:
    TkbzHTTPResponse DoHTTPPost(const std::string& url, const std::string& body) override
    {
        {
            std::lock_guard guard(lock);
            posts.push_back(url + " " + body);
        }
        return Endpoint(url, body);
    }
    void DoScheduleRefresh(std::int64_t seconds, std::uint64_t generation) override
    {
        {
            std::lock_guard guard(lock);
            schedule.push_back(seconds);
        }
        if (Speedup > 0)
        {
            ArmRefreshTimer(std::max<std::int64_t>(1, seconds / Speedup), generation, seconds);
        }
        else
        {
            TkbzHTTPComponentClient_OAuth2::DoScheduleRefresh(seconds, generation);
        }
    }
};

// The browser's request to the local server.
TkbzHTTPResponse Browse(int port, const std::string& pathAndQuery)
{
    TkbzHTTPClient http;
    http.ReadTimeout = 20000;
    return http.Get("http://127.0.0.1:" + std::to_string(port) + pathAndQuery);
}

} // namespace

TEST(kbzHTTP_OAuth2_Client, OptionRecords)
{
    TkbzHTTPOAuth_LocalServerOptions local;
    EXPECT_EQ(local.GetRedirectURL(), "http://127.0.0.1:8080");
    local.SSL = true;
    local.SSLOptions.Port = 9443;
    EXPECT_EQ(local.GetRedirectURL(), "https://127.0.0.1:8080") << "always Port";
    local.Port = 0;
    EXPECT_EQ(local.GetRedirectURL(4711), "https://127.0.0.1:4711");
    local.RedirectURL = "http://localhost/cb";
    TkbzHTTPOAuth_LocalServerOptions copy;
    copy.Assign(local);
    EXPECT_EQ(copy.GetRedirectURL(), "http://localhost/cb");
    EXPECT_TRUE(copy.SSL);
    EXPECT_EQ(copy.SSLOptions.Port, 9443);

    TkbzHTTPOAuth2_Options o;
    EXPECT_EQ(o.GrantType, TkbzOAuth2GrantTypes::auth2Code);
    const std::string state = o.GetState();
    EXPECT_EQ(state.size(), 32u);
    EXPECT_EQ(o.GetState(), state);
    o.ClientId = "id";
    o.GrantType = TkbzOAuth2GrantTypes::auth2ClientCredentials;
    TkbzHTTPOAuth2_Options o2;
    o2.Assign(o);
    EXPECT_EQ(o2.ClientId, "id");
    EXPECT_EQ(o2.GrantType, TkbzOAuth2GrantTypes::auth2ClientCredentials);
    EXPECT_NE(o2.GetState(), state) << "the state is not copied";

    TkbzHTTPClient_Options h;
    EXPECT_TRUE(h.TLSOptions.VerifyCertificate) << "token requests carry secrets";

    TkbzHTTPOAuth_AuthorizationServer s;
    s.Scope.SetText(" openid \r\n\r\n profile\r\n");
    EXPECT_EQ(s.GetScopeText(), "openid profile");
}

TEST(kbzHTTP_OAuth2_Client, StartOpensTheAuthorizationPage)
{
    ScriptedClient client;
    std::string opened;
    client.BrowserOpener = [&](const std::string& url) {
        opened = url;
        return true;
    };
    client.Start();
    ASSERT_TRUE(client.GetLocalServerActive());
    const int port = client.GetLocalServerPort();
    ASSERT_GT(port, 0);
    const std::string prefix = "https://auth.example/authorize?response_type=code&";
    ASSERT_EQ(opened.rfind(prefix, 0), 0u) << opened;
    const std::string state = client.OAuth2Options().GetState();
    EXPECT_EQ(state.size(), 32u);
    EXPECT_EQ(opened, prefix + "client_id=app%20id&redirect_uri=http%3A%2F%2F127.0.0.1%3A" +
                          std::to_string(port) + "&scope=a%20b&state=" + state);
    // The handler may change the address or open it itself.
    client.OnBeforeAuthorizeCode = [](TkbzHTTPComponentClient_OAuth2&, std::string& url,
                                      bool& handled) {
        handled = url.find("state=") != std::string::npos;
    };
    opened.clear();
    client.Start();
    EXPECT_TRUE(opened.empty());
    EXPECT_NE(client.OAuth2Options().GetState(), state) << "a new state for every start";
    EXPECT_EQ(client.GetLocalServerPort(), port) << "the server that listens is kept";
    client.Stop();
    EXPECT_TRUE(WaitUntil([&] { return !client.GetLocalServerActive(); }, 10s));
}

TEST(kbzHTTP_OAuth2_Client, StartRefusesWhatCannotWork)
{
    struct Case
    {
        const char* name;
        std::function<void(ScriptedClient&)> configure;
        std::string error;
    };
    const Case cases[] = {
        {"no AuthURL", [](auto& c) { c.AuthorizationServerOptions().AuthURL.clear(); },
         "Authentication URL must not be empty."},
        {"no TokenURL", [](auto& c) { c.AuthorizationServerOptions().TokenURL.clear(); },
         "Token URL must not be empty."},
        {"no client id", [](auto& c) { c.OAuth2Options().ClientId.clear(); },
         "Client ID must not be empty."},
        {"no browser", [](auto& c) { c.BrowserOpener = [](const std::string&) { return false; }; },
         "WebBrowser cannot be opened."},
        {"client credentials without TokenURL",
         [](auto& c) {
             c.OAuth2Options().GrantType = TkbzOAuth2GrantTypes::auth2ClientCredentials;
             c.AuthorizationServerOptions().TokenURL.clear();
         },
         "Token URL must not be empty."},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        ScriptedClient client;
        client.BrowserOpener = [](const std::string&) { return true; };
        c.configure(client);
        try
        {
            client.Start();
            ADD_FAILURE() << "no error";
        }
        catch (const Exception& e)
        {
            EXPECT_EQ(e.Message(), c.error);
        }
        EXPECT_TRUE(WaitUntil([&] { return !client.GetLocalServerActive(); }, 10s));
        EXPECT_TRUE(client.Copy(client.posts).empty());
    }
}

// The browser comes back to the local server: with a code (exchanged), an error, a state that is
// not ours, or for the icon.
TEST(kbzHTTP_OAuth2_Client, Redirects)
{
    ScriptedClient client;
    client.BrowserOpener = [](const std::string&) { return true; };
    client.Start();
    const int port = client.GetLocalServerPort();
    const std::string state = client.OAuth2Options().GetState();

    const TkbzHTTPResponse icon = Browse(port, "/favicon.ico");
    EXPECT_EQ(icon.Status(), 404);
    EXPECT_TRUE(client.Copy(client.events).empty());

    const TkbzHTTPResponse done = Browse(port, "/?code=c%2B1&state=" + state + "&x=y");
    EXPECT_EQ(done.Status(), 200);
    EXPECT_EQ(done.Body, "The operation was successful, you can close your browser now.");
    EXPECT_EQ(done.Head.Headers.Get("Content-Type"), "text/plain; charset=utf-8");
    ASSERT_EQ(client.Copy(client.posts).size(), 1u);
    EXPECT_EQ(client.Copy(client.posts)[0],
              "https://auth.example/token grant_type=authorization_code&code=c%2B1"
              "&redirect_uri=http%3A%2F%2F127.0.0.1%3A" +
                  std::to_string(port) + "&client_id=app%20id&client_secret=s%26e%2Bc%3Dr%25t");
    EXPECT_EQ(client.Copy(client.events),
              std::vector<std::string>{"AfterAuthorizeCode c+1|" + state +
                                       "|code=c+1\r\nstate=" + state + "\r\nx=y"});
    EXPECT_EQ(client.Copy(client.tokens), std::vector<std::string>{"Bearer tok1"});
    EXPECT_TRUE(client.GetLocalServerActive()) << "kept after a successful exchange";

    // A refusal of the token endpoint reaches the browser as plain text.
    client.Endpoint = [](const std::string&, const std::string&) {
        return Answer(400, "{\"error\":\"invalid_grant\",\"error_description\":\"<b>used</b>\"}");
    };
    const TkbzHTTPResponse refused = Browse(port, "/?code=c2&state=" + state);
    EXPECT_EQ(refused.Status(), 400);
    EXPECT_EQ(refused.Head.Headers.Get("Content-Type"), "text/plain; charset=utf-8");

    const TkbzHTTPResponse foreign = Browse(port, "/?code=c3&state=forged");
    EXPECT_EQ(foreign.Status(), 500);
    EXPECT_TRUE(WaitUntil([&] { return !client.GetLocalServerActive(); }, 10s))
        << "a foreign state stops the server";
    const auto events = client.Copy(client.events);
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events.back(), "ErrorAuthorizeCode |State Value forged is different from request " +
                                 state + "||forged");
    EXPECT_EQ(client.Copy(client.posts).size(), 2u) << "no exchange for a foreign state";

    // An error from the authorization server stops the server too.
    client.Start();
    const int port2 = client.GetLocalServerPort();
    const std::string state2 = client.OAuth2Options().GetState();
    EXPECT_EQ(
        Browse(port2, "/?error=access_denied&error_description=no%20way&state=" + state2).Status(),
        200);
    EXPECT_TRUE(WaitUntil([&] { return !client.GetLocalServerActive(); }, 10s));
    EXPECT_EQ(client.Copy(client.events).back(),
              "ErrorAuthorizeCode access_denied|no way||" + state2);
    const auto errors = client.Copy(client.errors);
    ASSERT_FALSE(errors.empty());
    EXPECT_EQ(errors.back().rfind("access_denied|no way|error=access_denied", 0), 0u)
        << errors.back();
}

// What the token endpoint answers, and what the component makes of it (client credentials: the
// answer is handled on the thread of Start).
TEST(kbzHTTP_OAuth2_Client, TokenAnswers)
{
    struct Case
    {
        const char* name;
        int status;
        std::string body;
        std::string token;                 // delivered, or empty
        std::string error;                 // OnAuthTokenError, or empty
        std::vector<std::int64_t> refresh; // scheduled seconds
    };
    const Case cases[] = {
        {"token with refresh", 200, kToken, "Bearer tok1", "", {1800}},
        {"short lifetime",
         200,
         R"({"access_token":"t","token_type":"Bearer","expires_in":60,"refresh_token":"r"})",
         "Bearer t",
         "",
         {}},
        {"hexadecimal lifetime",
         200,
         R"({"access_token":"t","token_type":"bearer","expires_in":" 0x100z","refresh_token":"r"})",
         "bearer t",
         "",
         {128}},
        {"no refresh token",
         200,
         R"({"access_token":"t","token_type":"Bearer","expires_in":3600})",
         "Bearer t",
         "",
         {}},
        {"error document",
         400,
         R"({"error":"invalid_scope","error_description":"no \"admin\"","error_uri":"https://e/1"})",
         "",
         "invalid_scope|no \"admin\"",
         {}},
        {"refused client",
         401,
         R"({"error":"invalid_client","error_description":"who?"})",
         "",
         "invalid_client|who?",
         {}},
        {"200 without a token",
         200,
         R"({"token_type":"Bearer"})",
         "",
         "invalid_request|{\"token_type\":\"Bearer\"}",
         {}},
        {"server failure", 503, "busy", "", "invalid_request|busy", {}},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        ScriptedClient client;
        client.OAuth2Options().GrantType = TkbzOAuth2GrantTypes::auth2ClientCredentials;
        client.Endpoint = [&](const std::string&, const std::string&) {
            return Answer(c.status, c.body);
        };
        client.Start();
        EXPECT_FALSE(client.GetLocalServerActive()) << "client credentials need no local server";
        EXPECT_EQ(client.Copy(client.posts),
                  std::vector<std::string>{"https://auth.example/token "
                                           "grant_type=client_credentials&scope=a%20b&redirect_"
                                           "uri=http%3A%2F%2F127.0.0.1%3A0&client_id=app%20id&"
                                           "client_secret=s%26e%2Bc%3Dr%25t"});
        EXPECT_EQ(client.Copy(client.tokens),
                  c.token.empty() ? std::vector<std::string>{} : std::vector<std::string>{c.token});
        const auto errors = client.Copy(client.errors);
        if (c.error.empty())
        {
            EXPECT_TRUE(errors.empty()) << errors[0];
        }
        else
        {
            ASSERT_EQ(errors.size(), 1u);
            EXPECT_EQ(errors[0], c.error + "|" + c.body);
        }
        EXPECT_EQ(client.Copy(client.schedule), c.refresh);
        EXPECT_EQ(client.GetRefreshScheduled(), c.refresh.empty() ? 0 : c.refresh[0]);
    }
    {
        SCOPED_TRACE("error document members");
        ScriptedClient client;
        client.OAuth2Options().GrantType = TkbzOAuth2GrantTypes::auth2ClientCredentials;
        const std::string doc = R"({"error":"e","error_description":"d","error_uri":"u"})";
        client.Endpoint = [&](const std::string&, const std::string&) { return Answer(400, doc); };
        client.Start();
        EXPECT_EQ(client.Copy(client.events),
                  std::vector<std::string>{"ErrorAccessToken e|d|u|" + doc});
    }
    {
        SCOPED_TRACE("no https");
        ScriptedClient client;
        client.OAuth2Options().GrantType = TkbzOAuth2GrantTypes::auth2ClientCredentials;
        client.AuthorizationServerOptions().TokenURL = "http://auth.example/token";
        client.Start();
        EXPECT_TRUE(client.Copy(client.posts).empty());
        EXPECT_TRUE(client.Copy(client.tokens).empty());
        EXPECT_TRUE(client.Copy(client.errors).empty());
    }
    {
        SCOPED_TRACE("transport failure");
        ScriptedClient client;
        client.OAuth2Options().GrantType = TkbzOAuth2GrantTypes::auth2ClientCredentials;
        client.Endpoint = [](const std::string&, const std::string&) -> TkbzHTTPResponse {
            throw Exception("Connection refused");
        };
        client.Start();
        EXPECT_EQ(client.Copy(client.errors),
                  std::vector<std::string>{"invalid_request|Connection refused|"});
    }
}

// Every refresh comes: the first after half the lifetime, the next ones after the whole
// lifetime each answer gives, each with its own timer.
TEST(kbzHTTP_OAuth2_Client, EveryRefreshHappens)
{
    ScriptedClient client;
    client.OAuth2Options().GrantType = TkbzOAuth2GrantTypes::auth2ClientCredentials;
    client.Speedup = 10; // 3600 s → 360 ms
    std::atomic<int> issued{0};
    client.Endpoint = [&](const std::string&, const std::string& body) {
        const int n = ++issued;
        if (body.rfind("grant_type=refresh_token&refresh_token=ref1&scope=a%20b&client_id=", 0) !=
                0 &&
            n > 1)
        {
            ADD_FAILURE() << body;
        }
        // Refresh answers without a refresh token keep the one in use.
        return Answer(200, "{\"access_token\":\"tok" + std::to_string(n) +
                               "\",\"token_type\":\"Bearer\",\"expires_in\":" +
                               (n == 1 ? "3600,\"refresh_token\":\"ref1\"}" : "2000}"));
    };
    std::atomic<bool> stopped{false};
    client.OnAfterRefreshToken = [&](TkbzHTTPComponentClient_OAuth2& sender, const std::string&,
                                     const std::string&, const std::string&, const std::string&,
                                     const std::string&, const std::string&, bool&) {
        if (issued.load() == 3)
        {
            sender.Stop(); // from the timer's own thread: must not wait for itself
            stopped = true;
        }
    };
    client.Start();
    ASSERT_TRUE(WaitUntil([&] { return stopped.load(); }, 30s)) << issued.load();
    EXPECT_EQ(client.Copy(client.tokens), (std::vector<std::string>{"Bearer tok1", "Bearer tok2"}))
        << "the third token came after Stop";
    EXPECT_EQ(client.Copy(client.schedule), (std::vector<std::int64_t>{1800, 2000}));
    EXPECT_EQ(client.GetRefreshScheduled(), 0);
    EXPECT_EQ(client.GetRefreshToken(), "ref1");
}

TEST(kbzHTTP_OAuth2_Client, RefreshFailures)
{
    ScriptedClient client;
    client.OAuth2Options().GrantType = TkbzOAuth2GrantTypes::auth2ClientCredentials;
    client.Start();
    client.Endpoint = [](const std::string&, const std::string&) {
        return Answer(400, R"({"error":"invalid_grant","error_description":"gone"})");
    };
    client.Refresh("ref1");
    EXPECT_EQ(client.Copy(client.errors).back(),
              "invalid_grant|gone|{\"error\":\"invalid_grant\",\"error_description\":\"gone\"}");
    // A failure of the timer's refresh arrives as TimerException.
    client.Speedup = 100000;
    client.Endpoint = [](const std::string&, const std::string& body) -> TkbzHTTPResponse {
        if (body.rfind("grant_type=refresh_token", 0) == 0)
        {
            throw Exception("Connection refused");
        }
        return Answer(200, kToken);
    };
    client.Start();
    ASSERT_TRUE(WaitUntil([&] { return client.Count(client.errors) == 2; }, 30s));
    EXPECT_EQ(client.Copy(client.errors).back(), "TimerException|Connection refused|");
    EXPECT_THROW(client.Refresh("ref1"), Exception) << "a direct refresh raises";
}
