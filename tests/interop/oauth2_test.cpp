// The OAuth 2 authorization server against peers we did not write: headless Chromium as the
// user's browser through the whole authorization-code grant (our token source opens the page,
// the browser signs in and is sent to the source's local server, the token opens our WebSocket
// client's connection, refreshes follow) and on a sign-in page whose scope carries markup; curl
// at the token endpoint; and kbzOAuth2Server walked through as the README does it, with curl and
// the console. Every server here is ours over TLS with the test CA, which the peers trust.
#include "auth/kbzHTTP_OAuth2_Client.h"
#include "client/kbzWebSocket_Client.h"
#include "server/kbzWebSocket_Server.h"
#include "tests/auth/kbzOAuth2TestServer.h"
#include "tests/support/kbzTestCerts.h"
#include "tests/support/kbzTestProcess.h"

#include <condition_variable>
#include <gtest/gtest.h>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

using namespace kbz;
using namespace kbz::test;
using namespace kbz::test::oauth2;

namespace
{

const std::string kPython = "/usr/bin/python3";
const std::string kChromium = "/usr/bin/chromium";

bool HaveBrowser()
{
    static const bool have = [] {
        TestProcess probe;
        return HaveProgram(kChromium) && HaveProgram("certutil") && HaveProgram(kPython) &&
               probe.Start({kPython, "-c", "import websockets"}) && probe.WaitForExit(30s) == 0;
    }();
    return have;
}

// Our TLS server with the component (its clock moved by the test), echoing text messages.
struct TLSAuthority
{
    Authority authority; // outlives the server that refers to it
    TkbzWSHTTPServer server;
    int port = 0;

    TLSAuthority()
    {
        server.SSL = true;
        server.SSLOptions().CertFile = Certs().ServerCert;
        server.SSLOptions().KeyFile = Certs().ServerKey;
        server.Bindings().push_back({"127.0.0.1", 0, TwsIPVersion::ipV4});
        server.SetPort(0);
        server.Authentication().Enabled = true;
        server.Authentication().OAuth.OAuth2 = &authority.server;
        server.OnMessage = [](const TkbzWSConnectionPtr& c, const std::string& text) {
            c->WriteData("echo " + text);
        };
        server.SetActive(true);
        port = server.GetBoundPort();
    }
    std::string URL(const std::string& path) const
    {
        return "https://127.0.0.1:" + std::to_string(port) + path;
    }
};

// Runs the Chromium driver; its output lines, or nothing when it did not end in time.
std::vector<std::string> Browser(const std::vector<std::string>& args)
{
    TestProcess p;
    std::vector<std::string> argv = {kPython,
                                     SourcePath("tests/interop/server_peers/chromium_oauth2.py"),
                                     kChromium, Certs().CACert};
    argv.insert(argv.end(), args.begin(), args.end());
    if (!p.Start(argv) || !p.WaitForExit(60s))
    {
        ADD_FAILURE() << "the browser driver did not end";
        return {};
    }
    return p.Lines();
}

struct CurlReply
{
    int status = 0;
    std::string head; // lines joined with "\n", without CR
    std::string body;
};

// curl with the test CA; the answer's status, head and body.
CurlReply Curl(const std::vector<std::string>& args)
{
    TestProcess p;
    std::vector<std::string> argv = {"curl",         "-s", "--max-time", "10", "--cacert",
                                     Certs().CACert, "-D", "-",          "-w", "\n%{http_code}"};
    argv.insert(argv.end(), args.begin(), args.end());
    CurlReply r;
    if (!p.Start(argv) || p.WaitForExit(20s) != 0)
    {
        ADD_FAILURE() << "curl failed: " << testing::PrintToString(args);
        return r;
    }
    std::vector<std::string> lines = p.Lines();
    if (lines.empty())
    {
        return r;
    }
    r.status = std::stoi(lines.back());
    lines.pop_back();
    bool inHead = true;
    for (std::string& line : lines)
    {
        if (!line.empty() && line.back() == '\r')
        {
            line.pop_back();
        }
        if (inHead)
        {
            if (line.empty())
            {
                inHead = false;
                continue;
            }
            r.head += line + "\n";
        }
        else
        {
            r.body += (r.body.empty() ? "" : "\n") + line;
        }
    }
    return r;
}

// A header of a curl head, without its name.
std::string HeaderOf(const CurlReply& r, const std::string& name)
{
    const std::string marker = "\n" + name + ": ";
    const std::string head = "\n" + r.head;
    const std::size_t at = head.find(marker);
    if (at == std::string::npos)
    {
        return {};
    }
    const std::size_t start = at + marker.size();
    return head.substr(start, head.find('\n', start) - start);
}

// The token source, whose refreshes wait until the test lets them come, then follow each other
// after as many milliseconds as a tenth of the seconds the answers give; exactly Refreshes of
// them, so none is in flight when the test ends. It counts the tokens it handed over.
class BrowserSource : public TkbzHTTPComponentClient_OAuth2
{
public:
    static constexpr int Refreshes = 2;

    ~BrowserSource() override
    {
        SetDestroying();
        Stop();
        ShutdownLocalServer();
    }
    void ReleaseRefreshes()
    {
        std::lock_guard guard(FGate);
        FReleased = true;
        if (FPending)
        {
            Arm(FPending->first, FPending->second);
        }
    }
    // Waits until n tokens were handed over (to the client, whose own handler has run).
    bool WaitForDelivered(int n)
    {
        std::unique_lock l(FGate);
        return FChanged.wait_for(l, 30s, [&] { return FDelivered >= n; });
    }

protected:
    void DoScheduleRefresh(std::int64_t seconds, std::uint64_t generation) override
    {
        std::lock_guard guard(FGate);
        if (!FReleased)
        {
            FPending = std::make_pair(seconds, generation);
            return;
        }
        Arm(seconds, generation);
    }
    void DoAuthToken(const std::string& tokenType, const std::string& token,
                     const std::string& data) override
    {
        TkbzHTTPComponentClient_OAuth2::DoAuthToken(tokenType, token, data);
        std::lock_guard guard(FGate);
        ++FDelivered;
        FChanged.notify_all();
    }

private:
    // Under FGate.
    void Arm(std::int64_t seconds, std::uint64_t generation)
    {
        if (FArmed < Refreshes)
        {
            ++FArmed;
            ArmRefreshTimer(std::max<std::int64_t>(1, seconds / 10), generation, seconds);
        }
    }

    std::mutex FGate;
    std::condition_variable FChanged;
    bool FReleased = false;
    int FArmed = 0;
    int FDelivered = 0;
    std::optional<std::pair<std::int64_t, std::uint64_t>> FPending;
};

} // namespace

// The user's browser through the whole grant, then every refresh renews the client's token.
TEST(OAuth2Chromium, AuthorizationCodeGrant)
{
    if (!HaveBrowser())
    {
        GTEST_SKIP() << "chromium, certutil or python3-websockets not installed";
    }
    TLSAuthority a;
    // The local server's port is chosen at its start: the redirect URI is the one the request
    // names.
    a.authority.server.GetApp("Demo App")->RedirectURI.clear();
    TestProcess browser;
    BrowserSource source;
    source.AuthorizationServerOptions().AuthURL = a.URL("/kbz/oauth2/auth");
    source.AuthorizationServerOptions().TokenURL = a.URL("/kbz/oauth2/token");
    source.AuthorizationServerOptions().Scope.SetText("chat\r\nread");
    source.OAuth2Options().ClientId = kClientId;
    source.OAuth2Options().ClientSecret = kSecret;
    source.LocalServerOptions().Port = 0;
    source.HTTPClientOptions().TLSOptions.RootCertFile = Certs().CACert;
    std::mutex lock;
    std::vector<std::string> refreshed;
    source.OnAfterRefreshToken = [&](TkbzHTTPComponentClient_OAuth2&, const std::string& token,
                                     const std::string&, const std::string&, const std::string&,
                                     const std::string&, const std::string&, bool&) {
        std::lock_guard guard(lock);
        refreshed.push_back(token);
    };
    source.BrowserOpener = [&](const std::string& url) {
        return browser.Start({kPython, SourcePath("tests/interop/server_peers/chromium_oauth2.py"),
                              kChromium, Certs().CACert, "signin", url, kUser, kPassword});
    };

    TkbzWSClient client;
    std::vector<std::string> messages;
    client.OnMessage = [&](const TkbzWSConnectionPtr&, const std::string& text) {
        std::lock_guard guard(lock);
        messages.push_back(text);
    };
    client.SetURL("wss://127.0.0.1:" + std::to_string(a.port) + "/");
    client.TLSOptions.RootCertFile = Certs().CACert;
    client.TLSOptions.VerifyCertificate = true;
    client.Authentication.Enabled = true;
    client.Authentication.Token.Enabled = true;
    client.Authentication.Token.OAuth = &source;
    ASSERT_TRUE(client.Connect(60000));
    const std::string first = client.Authentication.Token.AuthToken;
    EXPECT_EQ(first.size(), 64u);
    client.WriteData("with the browser's token");
    EXPECT_TRUE(WaitUntil(
        [&] {
            std::lock_guard guard(lock);
            return messages == std::vector<std::string>{"echo with the browser's token"};
        },
        20s));
    // The browser ended on the local server's answer.
    ASSERT_TRUE(browser.WaitForExit(60s).has_value());
    EXPECT_EQ(browser.Lines(),
              (std::vector<std::string>{
                  "final http://127.0.0.1:" + std::to_string(source.GetLocalServerPort()) + "/",
                  "text The operation was successful, you can close your browser now."}));

    source.ReleaseRefreshes();
    ASSERT_TRUE(source.WaitForDelivered(1 + BrowserSource::Refreshes));
    std::vector<std::string> tokens;
    {
        std::lock_guard guard(lock);
        tokens = refreshed;
    }
    ASSERT_EQ(tokens.size(), static_cast<std::size_t>(BrowserSource::Refreshes));
    tokens.insert(tokens.begin(), first);
    // Each refresh replaced the token before it; the client holds the latest.
    EXPECT_EQ(client.Authentication.Token.AuthToken, tokens.back());
    EXPECT_TRUE(a.authority.server.IsOAuth2TokenValid(nullptr, tokens.back()));
    for (std::size_t i = 0; i + 1 < tokens.size(); ++i)
    {
        EXPECT_NE(tokens[i], tokens[i + 1]);
        EXPECT_FALSE(a.authority.server.IsOAuth2TokenValid(nullptr, tokens[i])) << i;
    }
    client.Disconnect(5000); // stops the source
    EXPECT_TRUE(WaitUntil([&] { return !source.GetLocalServerActive(); }, 10s));
}

// Markup in the scope stays text on the sign-in page: no element, no script runs.
TEST(OAuth2Chromium, ScopeCannotInjectMarkup)
{
    if (!HaveBrowser())
    {
        GTEST_SKIP() << "chromium, certutil or python3-websockets not installed";
    }
    TLSAuthority a;
    const std::string payload = "read</span><img src=x onerror=\"window.kbzInjected=true\">"
                                "<script>window.kbzInjected=true</script>\"'&amp;";
    const std::string url = a.URL("/kbz/oauth2/auth?" + Form({{"response_type", "code"},
                                                              {"client_id", kClientId},
                                                              {"redirect_uri", kRedirect},
                                                              {"scope", payload}}));
    const std::vector<std::string> lines = Browser({"dom", url});
    ASSERT_EQ(lines.size(), 1u) << testing::PrintToString(lines);
    ASSERT_EQ(lines[0].rfind("dom ", 0), 0u) << lines[0];
    const std::string dom = lines[0].substr(4);
    EXPECT_EQ(Member(dom, "scope"), payload);
    EXPECT_EQ(Member(dom, "inside"), "0");
    EXPECT_EQ(Member(dom, "images"), "0");
    EXPECT_EQ(Member(dom, "scripts"), "0");
    EXPECT_EQ(Member(dom, "ran"), "false");
}

// The token endpoint as curl sees it: codes work once and expire, the client must authenticate,
// redirect_uri must be the one of the authorization, a refresh rotates the access token.
TEST(OAuth2Curl, TokenEndpoint)
{
    if (!HaveProgram("curl"))
    {
        GTEST_SKIP() << "curl not installed";
    }
    TLSAuthority a;
    const std::string endpoint = a.URL("/kbz/oauth2/token");
    auto exchange = [&](const std::string& code, const std::string& secret,
                        const std::string& redirect) {
        return Curl({"--data",
                     Form({{"grant_type", "authorization_code"},
                           {"code", code},
                           {"redirect_uri", redirect},
                           {"client_id", kClientId},
                           {"client_secret", secret}}),
                     endpoint});
    };
    const std::string code = a.authority.Code();
    const CurlReply issued = exchange(code, kSecret, kRedirect);
    ASSERT_EQ(issued.status, 200) << issued.body;
    EXPECT_EQ(HeaderOf(issued, "Content-Type"), "application/json");
    EXPECT_EQ(HeaderOf(issued, "Cache-Control"), "no-store");
    EXPECT_EQ(Member(issued.body, "token_type"), "Bearer");
    EXPECT_EQ(Member(issued.body, "scope"), "read write");
    const std::string access = Member(issued.body, "access_token");
    const std::string refresh = Member(issued.body, "refresh_token");
    EXPECT_EQ(access.size(), 64u);

    struct Case
    {
        const char* name;
        std::string code;
        std::string secret;
        std::string redirect;
        int status;
        std::string error;
    };
    const std::string expiring = a.authority.Code();
    const Case cases[] = {
        {"the same code again", code, kSecret, kRedirect, 400, "invalid_grant"},
        {"a wrong secret", a.authority.Code(), kSecret + "x", kRedirect, 401, "invalid_client"},
        {"another redirect_uri", a.authority.Code(), kSecret, kRedirect + "/x", 400,
         "invalid_grant"},
        {"an expired code", expiring, kSecret, kRedirect, 400, "invalid_grant"},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        if (c.code == expiring)
        {
            a.authority.server.Advance(std::chrono::seconds(601));
        }
        const CurlReply r = exchange(c.code, c.secret, c.redirect);
        EXPECT_EQ(r.status, c.status) << r.body;
        EXPECT_EQ(Member(r.body, "error"), c.error) << r.body;
        EXPECT_EQ(r.body.find(c.secret), std::string::npos) << "the secret is echoed";
        if (c.status == 401)
        {
            EXPECT_EQ(HeaderOf(r, "WWW-Authenticate"),
                      std::string("Basic realm=\"") + kbzServerSoftware + "\"");
        }
    }

    // A refresh brings a new access token for the same refresh token; the old one is refused.
    const CurlReply renewed = Curl({"--data",
                                    Form({{"grant_type", "refresh_token"},
                                          {"refresh_token", refresh},
                                          {"client_id", kClientId},
                                          {"client_secret", kSecret}}),
                                    endpoint});
    ASSERT_EQ(renewed.status, 200) << renewed.body;
    const std::string next = Member(renewed.body, "access_token");
    EXPECT_EQ(next.size(), 64u);
    EXPECT_NE(next, access);
    EXPECT_EQ(Member(renewed.body, "refresh_token"), "");
    // Past the Bearer check a plain request reaches the server's own answer.
    EXPECT_EQ(Curl({"--oauth2-bearer", next, a.URL("/index.html")}).status, 200);
    EXPECT_EQ(Curl({"--oauth2-bearer", access, a.URL("/index.html")}).status, 401);
}

// kbzOAuth2Server as the README walks through it: the page, the sign-in and the token with curl,
// then the console connects with the token and gets its echo; another token is refused.
TEST(kbzOAuth2Server, WalkThrough)
{
    if (!HaveProgram("curl"))
    {
        GTEST_SKIP() << "curl not installed";
    }
    TestProcess server;
    ASSERT_TRUE(server.Start({BinaryPath("kbzOAuth2Server"), "-cert", Certs().ServerCert, "-key",
                              Certs().ServerKey, "0"}));
    const auto listening = server.WaitForLineContaining("listening on 127.0.0.1:", 15s);
    ASSERT_TRUE(listening);
    const std::string line = server.Lines()[*listening];
    const std::string base = "https://127.0.0.1:" + line.substr(line.rfind(':') + 1);

    const CurlReply page =
        Curl({base + "/kbz/oauth2/auth?response_type=code&client_id=demo&state=xyz&scope=chat"});
    ASSERT_EQ(page.status, 200);
    const std::string id = RequestIdOf(page.body);
    ASSERT_EQ(id.size(), 64u) << page.body;
    const std::string signIn = base + "/kbz/oauth2/auth?request_type=sign-in&id=" + id;
    EXPECT_EQ(Curl({signIn + "&username=demo&password=wrong"}).status, 404);
    const CurlReply redirect = Curl({signIn + "&username=demo&password=demo"});
    ASSERT_EQ(redirect.status, 302);
    const std::string location = HeaderOf(redirect, "Location");
    EXPECT_EQ(location.rfind("http://127.0.0.1:8080?code=", 0), 0u) << location;
    EXPECT_EQ(ParamOf(location, "state"), "xyz");

    const CurlReply token = Curl({"-d", "grant_type=authorization_code", "-d",
                                  "code=" + ParamOf(location, "code"), "-d", "client_id=demo", "-d",
                                  "client_secret=demo-secret", base + "/kbz/oauth2/token"});
    ASSERT_EQ(token.status, 200) << token.body;
    EXPECT_EQ(Member(token.body, "scope"), "chat");
    const std::string access = Member(token.body, "access_token");
    EXPECT_TRUE(server.WaitForLineContaining("access token issued", 10s));

    TestProcess console;
    ASSERT_TRUE(
        console.Start({BinaryPath("kbzWebSocketClient"), "-quiet", "-tls.ca", Certs().CACert}));
    const std::string wss = "wss" + base.substr(5) + "/";
    console.WriteLine(R"({"message":"open","params":{"url":")" + wss +
                      R"(","headers":{"Authorization":"Bearer )" + access + R"("}}})");
    EXPECT_TRUE(console.WaitForLineContaining(R"({"event": "connected"})", 15s));
    console.WriteLine(R"({"message":"write","params":{"text":"hello"}})");
    EXPECT_TRUE(console.WaitForLineContaining(R"({"event": "message", "text": "hello"})", 15s));
    const std::size_t seen = console.Lines().size();
    console.WriteLine(R"({"message":"open","params":{"url":")" + wss +
                      R"(x","headers":{"Authorization":"Bearer )" + std::string(64, 'f') +
                      R"("}}})");
    EXPECT_TRUE(console.WaitForLineContaining("401 Unauthorized", 15s, seen));
    console.WriteLine("EXIT");
    EXPECT_EQ(console.WaitForExit(10s), 0);

    // The options name the application, the user and the redirect.
    TestProcess custom;
    ASSERT_TRUE(custom.Start({BinaryPath("kbzOAuth2Server"), "-cert", Certs().ServerCert, "-key",
                              Certs().ServerKey, "-client", "app:s3cret", "-user", "joe:pw",
                              "-redirect", "http://127.0.0.1:9/cb", "0"}));
    const auto at = custom.WaitForLineContaining("listening on 127.0.0.1:", 15s);
    ASSERT_TRUE(at);
    const std::string customLine = custom.Lines()[*at];
    const std::string customBase =
        "https://127.0.0.1:" + customLine.substr(customLine.rfind(':') + 1);
    EXPECT_EQ(Curl({customBase + "/kbz/oauth2/auth?response_type=code&client_id=demo"}).status,
              404);
    const std::string customId =
        RequestIdOf(Curl({customBase + "/kbz/oauth2/auth?response_type=code&client_id=app"}).body);
    const CurlReply customRedirect =
        Curl({customBase + "/kbz/oauth2/auth?request_type=sign-in&id=" + customId +
              "&username=joe&password=pw"});
    EXPECT_EQ(HeaderOf(customRedirect, "Location").rfind("http://127.0.0.1:9/cb?code=", 0), 0u);
    server.Stop();
    custom.Stop();
}
