// The authorization server on its own: the registry, the page and its sign-in, the token
// endpoint's answers and refusals, codes used once and expiring, refreshes, the Bearer check,
// and the bounds on what peers can make it keep.
#include "tests/auth/kbzOAuth2TestServer.h"

#include <atomic>
#include <gtest/gtest.h>
#include <thread>

using namespace kbz;
using namespace kbz::test::oauth2;
using namespace std::chrono_literals;

namespace
{

std::size_t CountState(TkbzHTTPComponentServer_OAuth2& server, TkbzOAuth2CurrentState state)
{
    std::size_t n = 0;
    for (const auto& item : server.Requests().Snapshot())
    {
        n += static_cast<TkbzHTTPOAuth2Request&>(*item).GetCurrentState() == state;
    }
    return n;
}

} // namespace

TEST(kbzHTTP_OAuth2_Server, Registry)
{
    TkbzHTTPComponentServer_OAuth2 server;
    std::string id1, secret1, id2, secret2;
    ASSERT_TRUE(server.RegisterApp("one", "https://one/cb", id1, secret1));
    EXPECT_EQ(id1.size(), 32u);
    EXPECT_NE(id1, secret1);
    EXPECT_FALSE(server.RegisterApp("one", "https://other/cb", id2, secret2));
    EXPECT_EQ(server.GetApp("one")->ClientSecret, secret1);
    EXPECT_EQ(server.GetApp("one")->RedirectURI, "https://one/cb");
    EXPECT_EQ(server.GetApp("one")->ExpiresIn, 3600);
    EXPECT_TRUE(server.GetApp("one")->RefreshToken);
    ASSERT_TRUE(server.RegisterApp("two", "", id2, secret2));
    // The last registered application with a client id wins.
    server.GetApp("two")->ClientId = id1;
    EXPECT_EQ(server.GetAppByClientId(id1)->GetAppName(), "two");
    EXPECT_TRUE(server.UnRegisterApp("two"));
    EXPECT_FALSE(server.UnRegisterApp("two"));
    EXPECT_EQ(server.GetAppByClientId(id1)->GetAppName(), "one");
    EXPECT_EQ(server.GetAppByClientId("nobody"), nullptr);
}

// Page, sign-in, exchange, Bearer check, refresh: the whole authorization-code grant.
TEST(kbzHTTP_OAuth2_Server, FullFlow)
{
    Authority a;
    std::vector<std::string> afterAccess;
    a.server.OnOAuth2AfterAccessToken =
        [&](TkbzHTTPComponentServer_OAuth2&, const TkbzWSConnectionServerPtr&,
            const TkbzHTTPOAuth2RequestPtr& r, const std::string& doc) {
            afterAccess.push_back((r ? r->GetScope() : "none") + "|" + doc);
        };
    const Reply page = a.Page("read write", "st&te=1");
    ASSERT_TRUE(page.Mine);
    EXPECT_EQ(page.Status, 200);
    EXPECT_EQ(page.Header("Content-Type"), "text/html; charset=utf-8");
    EXPECT_NE(page.Body.find("Demo App"), std::string::npos);
    EXPECT_NE(page.Body.find("read write"), std::string::npos);
    const std::string id = RequestIdOf(page.Body);
    EXPECT_EQ(id.size(), 64u);
    EXPECT_EQ(id.find_first_not_of("0123456789abcdef"), std::string::npos);

    const Reply signIn = a.SignIn(id);
    ASSERT_EQ(signIn.Status, 302);
    EXPECT_EQ(signIn.Reason, "Moved Temporarily");
    const std::string location = signIn.Header("Location");
    EXPECT_EQ(location.rfind(kRedirect + "?code=", 0), 0u) << location;
    const std::string code = ParamOf(location, "code");
    EXPECT_EQ(code.size(), 32u);
    EXPECT_EQ(ParamOf(location, "state"), "st&te=1");

    const Reply token = a.Exchange(code);
    ASSERT_EQ(token.Status, 200) << token.Body;
    EXPECT_EQ(token.Header("Content-Type"), "application/json");
    EXPECT_EQ(token.Header("Cache-Control"), "no-store");
    const std::string access = Member(token.Body, "access_token");
    const std::string refresh = Member(token.Body, "refresh_token");
    EXPECT_EQ(token.Body, "{\"token_type\":\"Bearer\",\"access_token\":\"" + access +
                              "\",\"expires_in\":3600,\"refresh_token\":\"" + refresh +
                              "\",\"scope\":\"read write\"}");
    EXPECT_EQ(access.size(), 64u);
    EXPECT_EQ(refresh.size(), 64u);
    ASSERT_EQ(afterAccess.size(), 1u);
    EXPECT_EQ(afterAccess[0], "read write|" + token.Body);

    EXPECT_TRUE(a.server.IsOAuth2TokenValid(nullptr, access));
    EXPECT_TRUE(a.server.IsOAuth2TokenValid(
        nullptr, TkbzHeaderList{"GET / HTTP/1.1", "Authorization: Bearer " + access}));
    EXPECT_FALSE(a.server.IsOAuth2TokenValid(nullptr, TkbzHeaderList{"GET / HTTP/1.1"}));
    EXPECT_FALSE(a.server.IsOAuth2TokenValid(nullptr, refresh));

    // A refresh makes a new access token; the old one is refused, the refresh token stays.
    const Reply renewed = a.RefreshWith(refresh);
    ASSERT_EQ(renewed.Status, 200) << renewed.Body;
    const std::string access2 = Member(renewed.Body, "access_token");
    EXPECT_EQ(renewed.Body, "{\"token_type\":\"Bearer\",\"access_token\":\"" + access2 +
                                "\",\"expires_in\":3600,\"scope\":\"read write\"}");
    EXPECT_NE(access2, access);
    EXPECT_FALSE(a.server.IsOAuth2TokenValid(nullptr, access));
    EXPECT_TRUE(a.server.IsOAuth2TokenValid(nullptr, access2));
    EXPECT_EQ(a.RefreshWith(refresh, "").Status, 200) << "no scope: the one granted";
}

// Every refusal of the token endpoint: its status, its error, and texts that name no secret.
TEST(kbzHTTP_OAuth2_Server, TokenEndpointRefusals)
{
    struct Case
    {
        const char* name;
        std::function<Reply(Authority&, const std::string& code)> send;
        int status;
        std::string error;
        std::string description; // a part of it
    };
    const Case cases[] = {
        {"second exchange of a code",
         [](Authority& a, const std::string& code) {
             EXPECT_EQ(a.Exchange(code).Status, 200);
             return a.Exchange(code);
         },
         400, "invalid_grant", "Invalid request"},
        {"wrong secret",
         [](Authority& a, const std::string& code) { return a.Exchange(code, "x"); }, 401,
         "invalid_client", "Client authentication failed"},
        {"wrong redirect_uri",
         [](Authority& a, const std::string& code) {
             return a.Exchange(code, kSecret, "https://evil.example/cb");
         },
         400, "invalid_grant",
         "Redirect_URI https://app.example/cb is different from previous value "
         "https://evil.example/cb"},
        {"no redirect_uri although the request named one",
         [](Authority& a, const std::string& code) { return a.Exchange(code, kSecret, ""); }, 400,
         "invalid_grant", "Redirect_URI"},
        {"a code of another client",
         [](Authority& a, const std::string& code) {
             std::string id, secret;
             a.server.RegisterApp("Other", kRedirect, id, secret);
             return a.Token({{"grant_type", "authorization_code"},
                             {"code", code},
                             {"redirect_uri", kRedirect},
                             {"client_id", id},
                             {"client_secret", secret}});
         },
         400, "invalid_grant", "Client_Id demo-id is different from previous value "},
        {"an unknown client",
         [](Authority& a, const std::string& code) {
             return a.Token({{"grant_type", "authorization_code"},
                             {"code", code},
                             {"client_id", "nobody"},
                             {"client_secret", kSecret}});
         },
         401, "invalid_client", "Client authentication failed"},
        {"a used code without the secret",
         [](Authority& a, const std::string& code) {
             a.Exchange(code);
             return a.Exchange(code, "");
         },
         401, "invalid_client", "Client authentication failed"},
        {"unknown code",
         [](Authority& a, const std::string&) { return a.Exchange("0123456789abcdef"); }, 400,
         "invalid_grant", "Authorization Code not found"},
        {"expired code",
         [](Authority& a, const std::string& code) {
             a.server.Advance(601s);
             return a.Exchange(code);
         },
         400, "invalid_grant", "Authorization Code expired"},
        {"no code",
         [](Authority& a, const std::string&) {
             return a.Token({{"grant_type", "authorization_code"}});
         },
         400, "invalid_request", "Missing code"},
        {"no grant_type",
         [](Authority& a, const std::string& code) {
             return a.Token({{"code", code}});
         },
         400, "invalid_request", "Missing grant_type"},
        {"password grant",
         [](Authority& a, const std::string&) {
             return a.Token({{"grant_type", "password"}, {"username", kUser}});
         },
         400, "unsupported_grant_type", "password"},
        {"repeated code",
         [](Authority& a, const std::string& code) {
             return a.Token({{"grant_type", "authorization_code"}, {"code", code}, {"code", code}});
         },
         400, "invalid_request", "Repeated parameter code"},
        {"unknown refresh token",
         [](Authority& a, const std::string&) { return a.RefreshWith("feed"); }, 400,
         "invalid_grant", "Refresh Token not found"},
        {"refresh with another scope",
         [](Authority& a, const std::string& code) {
             return a.RefreshWith(Member(a.Exchange(code).Body, "refresh_token"), "admin");
         },
         400, "invalid_scope", "Scope read write is different from previous value admin"},
        {"refresh with a wrong secret",
         [](Authority& a, const std::string& code) {
             return a.Token({{"grant_type", "refresh_token"},
                             {"refresh_token", Member(a.Exchange(code).Body, "refresh_token")},
                             {"client_id", kClientId},
                             {"client_secret", "nope"}});
         },
         401, "invalid_client", "Client authentication failed"},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        Authority a;
        const std::string code = a.Code();
        ASSERT_FALSE(code.empty());
        const Reply r = c.send(a, code);
        ASSERT_TRUE(r.Mine);
        EXPECT_EQ(r.Status, c.status) << r.Body;
        EXPECT_EQ(r.Header("Content-Type"), "application/json");
        EXPECT_EQ(Member(r.Body, "error"), c.error) << r.Body;
        EXPECT_NE(Member(r.Body, "error_description").find(c.description), std::string::npos)
            << r.Body;
        EXPECT_EQ(r.Body.find(code), std::string::npos) << "the code is echoed";
        EXPECT_EQ(r.Body.find(kSecret), std::string::npos) << "the secret is echoed";
        EXPECT_EQ(r.Header("WWW-Authenticate").empty(), c.status != 401);
    }
}

// A client may authenticate with Basic credentials (each part form-encoded) instead of the body.
TEST(kbzHTTP_OAuth2_Server, ClientCredentialsAsBasic)
{
    Authority a;
    const std::string basic = "Basic " + kbzEncodeBase64(detail::FormEncode(kClientId) + ":" +
                                                         detail::FormEncode(kSecret));
    const Reply ok = a.Token(
        {{"grant_type", "authorization_code"}, {"code", a.Code()}, {"redirect_uri", kRedirect}},
        {{"Authorization", basic}});
    EXPECT_EQ(ok.Status, 200) << ok.Body;
    const Reply wrong = a.Token(
        {{"grant_type", "authorization_code"}, {"code", a.Code()}, {"redirect_uri", kRedirect}},
        {{"Authorization", "Basic " + kbzEncodeBase64(kClientId + ":bad")}});
    EXPECT_EQ(wrong.Status, 401) << wrong.Body;
}

// Only one of many exchanges of one code racing each other gets a token.
TEST(kbzHTTP_OAuth2_Server, ACodeIsExchangedOnce)
{
    Authority a;
    const std::string code = a.Code();
    std::atomic<int> granted{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 8; ++i)
    {
        threads.emplace_back([&] { granted += a.Exchange(code).Status == 200; });
    }
    for (auto& t : threads)
    {
        t.join();
    }
    EXPECT_EQ(granted.load(), 1);
}

TEST(kbzHTTP_OAuth2_Server, AuthorizationRequests)
{
    struct Case
    {
        const char* name;
        std::string query;
        int status;
        std::string location; // a prefix; empty: no redirect
    };
    const std::string base = "response_type=code&client_id=" + kClientId;
    const Case cases[] = {
        {"unknown client", "response_type=code&client_id=who&redirect_uri=" + kRedirect, 404, ""},
        {"no query", "", 404, ""},
        {"not the registered redirect", base + "&redirect_uri=https://evil.example/", 400, ""},
        {"line break in the redirect", base + "&redirect_uri=https://app.example/cb%0D%0AX:1", 400,
         ""},
        {"registered redirect when none is named", base + "&state=s", 200, ""},
        {"token response type", "response_type=token&client_id=" + kClientId + "&state=a%20b", 302,
         kRedirect + "?error=unsupported_response_type&state=a%20b"},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        Authority a;
        const Reply r = Offer(a.server, "GET", "/kbz/oauth2/auth?" + c.query);
        ASSERT_TRUE(r.Mine);
        EXPECT_EQ(r.Status, c.status) << r.Body;
        EXPECT_EQ(r.Header("Location").rfind(c.location, 0), 0u) << r.Header("Location");
        EXPECT_EQ(a.server.Requests().Count(), c.status == 200 ? 1u : 0u);
    }
    // Without a registered redirect the request's own is used; none at all is refused.
    Authority a;
    a.server.GetApp("Demo App")->RedirectURI.clear();
    EXPECT_EQ(a.Page("s", "x", "http://127.0.0.1:9/back?k=v").Status, 200);
    const std::string id = RequestIdOf(a.Page("s", "x", "http://127.0.0.1:9/back?k=v").Body);
    EXPECT_EQ(a.SignIn(id).Header("Location").rfind("http://127.0.0.1:9/back?k=v&code=", 0), 0u);
    EXPECT_EQ(a.Page("s", "x", "").Status, 400);
}

// What the page shows comes from the request: every placeholder is escaped.
TEST(kbzHTTP_OAuth2_Server, PagePlaceholdersAreEscaped)
{
    Authority a;
    const std::string payload = "<script>alert(1)</script>\"><img src=x onerror=alert(2)>'";
    const Reply page = a.Page(payload);
    ASSERT_EQ(page.Status, 200);
    EXPECT_EQ(page.Body.find("<script>"), std::string::npos);
    EXPECT_EQ(page.Body.find("<img"), std::string::npos);
    EXPECT_NE(page.Body.find("&lt;script&gt;alert(1)&lt;/script&gt;&quot;&gt;&lt;img src=x "
                             "onerror=alert(2)&gt;&#39;"),
              std::string::npos);
    // The application may replace the page, or refuse to show one.
    a.server.OnOAuth2BeforeDispatchPage = [](TkbzHTTPComponentServer_OAuth2&,
                                             const TkbzHTTPOAuth2RequestPtr& r, std::string& html) {
        html = r->GetScope() == "none" ? "" : "<p>mine</p>";
    };
    EXPECT_EQ(a.Page().Body, "<p>mine</p>");
    const std::size_t before = a.server.Requests().Count();
    EXPECT_EQ(a.Page("none").Status, 404);
    EXPECT_EQ(a.server.Requests().Count(), before + 1) << "the request stays";
}

TEST(kbzHTTP_OAuth2_Server, SignIns)
{
    {
        SCOPED_TRACE("a mistyped password leaves the request usable");
        Authority a;
        const std::string id = RequestIdOf(a.Page().Body);
        EXPECT_EQ(a.SignIn(id, kUser, "wrong").Status, 404);
        EXPECT_EQ(a.SignIn(id).Status, 302);
    }
    {
        SCOPED_TRACE("unknown and expired requests");
        Authority a;
        EXPECT_EQ(a.SignIn(std::string(64, 'a')).Status, 404);
        const std::string id = RequestIdOf(a.Page().Body);
        a.server.Advance(601s);
        EXPECT_EQ(a.SignIn(id).Status, 404);
        EXPECT_EQ(a.server.Requests().Count(), 0u);
    }
    {
        SCOPED_TRACE("without a handler nobody signs in");
        Authority a;
        a.server.OnOAuth2Authentication = nullptr;
        EXPECT_EQ(a.SignIn(RequestIdOf(a.Page().Body)).Status, 404);
    }
    for (const bool accepted : {true, false})
    {
        SCOPED_TRACE(accepted ? "a second sign-in, accepted" : "a second sign-in, refused");
        Authority a;
        const std::string id = RequestIdOf(a.Page().Body);
        const std::string code = ParamOf(a.SignIn(id).Header("Location"), "code");
        const Reply again = accepted ? a.SignIn(id) : a.SignIn(id, kUser, "wrong");
        if (accepted)
        {
            EXPECT_EQ(again.Status, 302);
            EXPECT_EQ(again.Header("Location"), kRedirect + "?error=invalid_request&state=xyz");
        }
        else
        {
            EXPECT_EQ(again.Status, 404);
        }
        EXPECT_EQ(a.server.Requests().Count(), 0u) << "the request is gone";
        EXPECT_EQ(a.Exchange(code).Status, 400);
    }
}

TEST(kbzHTTP_OAuth2_Server, RequestsThatAreNotItsOwn)
{
    Authority a;
    EXPECT_FALSE(Offer(a.server, "GET", "/index.html").Mine);
    EXPECT_FALSE(Offer(a.server, "GET", "/kbz/oauth2/token").Mine);
    EXPECT_FALSE(Offer(a.server, "POST", "/kbz/oauth2/auth", "x=1").Mine);
    EXPECT_FALSE(Offer(a.server, "GET", "/other?x=/kbz/oauth2/auth").Mine);
    // "/favicon.ico" is swallowed without an answer.
    const Reply favicon = Offer(a.server, "GET", "/favicon.ico");
    EXPECT_TRUE(favicon.Mine);
    EXPECT_FALSE(favicon.Answered);
    a.server.OAuth2Options().Token.Enabled = false;
    EXPECT_FALSE(a.Token({{"grant_type", "authorization_code"}}).Mine);
    a.server.OAuth2Options().Authorization.URL = "/login";
    EXPECT_FALSE(a.Page().Mine);
    EXPECT_EQ(Offer(a.server, "GET", "/login?response_type=code&client_id=" + kClientId).Status,
              200);
}

// Cancel in OnOAuth2BeforeRequest swallows requests and refuses every token.
TEST(kbzHTTP_OAuth2_Server, CancelNeverAcceptsATokens)
{
    Authority a;
    const std::string access = Member(a.Exchange(a.Code()).Body, "access_token");
    ASSERT_TRUE(a.server.IsOAuth2TokenValid(nullptr, access));
    a.server.OnOAuth2BeforeRequest = [](TkbzHTTPComponentServer_OAuth2_Base&,
                                        const TkbzWSConnectionServerPtr&, const TkbzHeaderList&,
                                        bool& cancel) { cancel = true; };
    EXPECT_FALSE(a.server.IsOAuth2TokenValid(nullptr, access));
    EXPECT_FALSE(a.server.IsOAuth2TokenValid(nullptr, "anything"));
    const Reply swallowed = a.Page();
    EXPECT_TRUE(swallowed.Mine);
    EXPECT_FALSE(swallowed.Answered);
}

TEST(kbzHTTP_OAuth2_Server, TokenLifetimes)
{
    Authority a;
    a.server.GetApp("Demo App")->ExpiresIn = 60;
    std::string refresh;
    const std::string access = [&] {
        const Reply r = a.Exchange(a.Code());
        refresh = Member(r.Body, "refresh_token");
        EXPECT_EQ(Member(r.Body, "expires_in"), "60");
        return Member(r.Body, "access_token");
    }();
    a.server.Advance(59s);
    EXPECT_TRUE(a.server.IsOAuth2TokenValid(nullptr, access));
    a.server.Advance(1s);
    EXPECT_FALSE(a.server.IsOAuth2TokenValid(nullptr, access));
    // The refresh token outlives the access token it renews.
    const Reply renewed = a.RefreshWith(refresh);
    ASSERT_EQ(renewed.Status, 200) << renewed.Body;
    EXPECT_TRUE(a.server.IsOAuth2TokenValid(nullptr, Member(renewed.Body, "access_token")));

    // Without refresh tokens, an expired token's authorization goes when a check walks over it.
    a.server.GetApp("Demo App")->RefreshToken = false;
    const Reply plain = a.Exchange(a.Code());
    EXPECT_EQ(Member(plain.Body, "refresh_token"), "");
    EXPECT_EQ(plain.Body.find("refresh_token"), std::string::npos);
    const std::size_t before = a.server.Requests().Count();
    a.server.Advance(61s);
    EXPECT_FALSE(a.server.IsOAuth2TokenValid(nullptr, Member(plain.Body, "access_token")));
    EXPECT_EQ(a.server.Requests().Count(), before - 1);

    // A removed application's tokens are refused.
    a.server.GetApp("Demo App")->RefreshToken = true;
    const std::string last = Member(a.Exchange(a.Code()).Body, "access_token");
    EXPECT_TRUE(a.server.IsOAuth2TokenValid(nullptr, last));
    a.server.UnRegisterApp("Demo App");
    EXPECT_FALSE(a.server.IsOAuth2TokenValid(nullptr, last));
}

TEST(kbzHTTP_OAuth2_Server, TokensIssuedElsewhere)
{
    Authority a;
    const auto now = std::chrono::system_clock::now();
    EXPECT_FALSE(a.server.AddToken("nobody", "t1", now + 1h, ""));
    EXPECT_FALSE(a.server.AddToken("Demo App", "t1", now - 1h, ""));
    ASSERT_TRUE(a.server.AddToken("Demo App", "t1", now + 1h, "r1"));
    EXPECT_TRUE(a.server.IsOAuth2TokenValid(nullptr, "t1"));
    int vetoed = 0;
    a.server.OnOAuth2AfterValidateAccessToken =
        [&](TkbzHTTPComponentServer_OAuth2&, const TkbzWSConnectionServerPtr&,
            const TkbzHTTPOAuth2RequestPtr& r, bool& valid) {
            EXPECT_EQ(r->GetClient_Id(), kClientId);
            valid = false;
            ++vetoed;
        };
    EXPECT_FALSE(a.server.IsOAuth2TokenValid(nullptr, "t1"));
    EXPECT_EQ(vetoed, 1);
    a.server.OnOAuth2AfterValidateAccessToken = nullptr;
    EXPECT_EQ(Member(a.RefreshWith("r1", "").Body, "token_type"), "Bearer");
    EXPECT_FALSE(a.server.RemoveToken("t1")) << "renewed by the refresh";
    EXPECT_EQ(a.server.Requests().Count(), 1u);
}

// Peers can ask for pages without end; the list keeps the newest within its bound, and expired
// pages and codes go.
TEST(kbzHTTP_OAuth2_Server, ListsAreBounded)
{
    Authority a;
    a.server.OAuth2Options().MaxPendingRequests = 3;
    a.server.OAuth2Options().MaxTokens = 2;
    for (int i = 0; i < 4; ++i)
    {
        a.Exchange(a.Code());
    }
    std::vector<std::string> ids;
    for (int i = 0; i < 5; ++i)
    {
        ids.push_back(RequestIdOf(a.Page().Body));
    }
    EXPECT_EQ(CountState(a.server, TkbzOAuth2CurrentState::oat2RequestAuthorization), 3u);
    EXPECT_EQ(CountState(a.server, TkbzOAuth2CurrentState::oat2AccessToken), 2u);
    EXPECT_EQ(a.SignIn(ids[0]).Status, 404) << "the oldest went";
    EXPECT_EQ(a.SignIn(ids[4]).Status, 302);
    a.server.Advance(601s);
    a.Page();
    EXPECT_EQ(CountState(a.server, TkbzOAuth2CurrentState::oat2RequestAuthorization), 1u);
    EXPECT_EQ(CountState(a.server, TkbzOAuth2CurrentState::oat2AuthorizationCode), 0u);
}

TEST(kbzHTTP_OAuth2_Server, OptionsAssign)
{
    TkbzHTTPOAuth2Server_Options a;
    EXPECT_TRUE(a.Authorization.Enabled);
    EXPECT_EQ(a.Authorization.URL, "/kbz/oauth2/auth");
    EXPECT_TRUE(a.Token.Enabled);
    EXPECT_EQ(a.Token.URL, "/kbz/oauth2/token");
    a.Token.URL = "/t";
    a.Authorization.Enabled = false;
    a.CodeExpiresIn = 5;
    TkbzHTTPOAuth2Server_Options b;
    b.Assign(a);
    EXPECT_EQ(b.Token.URL, "/t");
    EXPECT_FALSE(b.Authorization.Enabled);
    EXPECT_EQ(b.CodeExpiresIn, 5);
}
