// The client's authentication on the opening request: the request path and Authorization lines
// of each mode, credentials that could break the request, and token sources that deliver at
// once, later from a thread of their own, or fail.
#include "client/kbzHTTP_Classes_Client.h"
#include "client/kbzWebSocket_Client.h"
#include "tests/client/kbzClientPeer.h"
#include "tests/client/kbzClientRecorder.h"

#include <gtest/gtest.h>
#include <thread>

using namespace kbz;
using namespace kbz::test;

namespace
{

// Answers the upgrade, then keeps the connection until the client closes it.
void AcceptSession(PeerConnection& conn, const std::string& head)
{
    if (head.empty())
    {
        return;
    }
    conn.Send(Answer101(head));
    while (auto f = conn.ReadFrame(30000))
    {
        if (f->opcode == TOpcode::opClose)
        {
            conn.Send(kbzBuildFrame(TOpcode::opClose, kbzBuildClosePayload(f->closeCode), false));
            conn.WaitClosed(5000);
            return;
        }
        if (f->opcode == TOpcode::opText)
        {
            conn.SendFrame(TOpcode::opText, f->payload);
        }
    }
}

std::string RequestLineOf(const std::string& head)
{
    return head.substr(0, head.find("\r\n"));
}

// The Authorization lines of a head, in order, joined by "|".
std::string AuthorizationLines(const std::string& head)
{
    std::string out;
    std::size_t at = 0;
    while ((at = head.find("\r\nAuthorization: ", at)) != std::string::npos)
    {
        const std::size_t end = head.find("\r\n", at + 2);
        out += (out.empty() ? "" : "|") + head.substr(at + 2, end - at - 2);
        at = end;
    }
    return out;
}

struct ModeCase
{
    const char* name;
    std::function<void(TkbzWSAuthenticationClient_Options&)> configure;
    std::string requestLine;
    std::string authorization;
};

TEST(kbzWSClientAuthentication, ModesShapeTheRequest)
{
    const ModeCase cases[] = {
        {"off", [](auto& a) { a.User = "alice"; }, "GET /chat?room=1 HTTP/1.1", ""},
        {"url_is_the_default_and_replaces_the_path",
         [](auto& a) {
             a.Enabled = true;
             a.User = "alice";
             a.Password = "s3cret";
         },
         "GET /kbz/auth/url/alice/s3cret HTTP/1.1", ""},
        {"url_percent_encodes_what_is_not_unreserved",
         [](auto& a) {
             a.Enabled = true;
             a.User = "a b.c_d~e-f";
             a.Password = "p/%?#:\xC3\xBC";
         },
         "GET /kbz/auth/url/a%20b.c_d~e-f/p%2F%25%3F%23%3A%C3%BC HTTP/1.1", ""},
        {"basic_rides_along_with_the_url_mode",
         [](auto& a) {
             a.Enabled = true;
             a.Basic.Enabled = true;
             a.User = "alice";
             a.Password = "pw";
         },
         "GET /kbz/auth/url/alice/pw HTTP/1.1", "Authorization: Basic YWxpY2U6cHc="},
        {"basic_alone_keeps_the_path",
         [](auto& a) {
             a.Enabled = true;
             a.URL.Enabled = false;
             a.Basic.Enabled = true;
             a.User = "bob";
             a.Password = "p:a:ss";
         },
         "GET /chat?room=1 HTTP/1.1", "Authorization: Basic Ym9iOnA6YTpzcw=="},
        {"a_configured_token_is_the_mode_so_the_path_stays",
         [](auto& a) {
             a.Enabled = true;
             a.Token.Enabled = true;
             a.Token.AuthToken = "abc.def";
         },
         "GET /chat?room=1 HTTP/1.1", "Authorization: Bearer abc.def"},
        {"basic_and_token_lines_both",
         [](auto& a) {
             a.Enabled = true;
             a.Basic.Enabled = true;
             a.Token.Enabled = true;
             a.Token.AuthName = "Token";
             a.Token.AuthToken = "t1";
             a.User = "u";
             a.Password = "p";
         },
         "GET /chat?room=1 HTTP/1.1", "Authorization: Basic dTpw|Authorization: Token t1"},
    };
    ScriptedPeer peer(AcceptSession);
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        EventRecorder events;
        TkbzWSClient client;
        events.Attach(client);
        client.SetURL(peer.Url("/chat?room=1"));
        c.configure(client.Authentication);
        ASSERT_TRUE(client.Connect(5000)) << events.Dump();
        const std::string head = peer.Heads().back();
        EXPECT_EQ(RequestLineOf(head), c.requestLine);
        EXPECT_EQ(AuthorizationLines(head), c.authorization);
        // The component keeps the URL's path for the next activation.
        EXPECT_EQ(client.Options.GetParameters(), "/chat?room=1");
        client.Disconnect(5000);
    }
}

TEST(kbzWSClientAuthentication, ControlCharactersInCredentialsAreRefusedBeforeConnecting)
{
    const std::function<void(TkbzWSAuthenticationClient_Options&)> cases[] = {
        [](auto& a) { a.User = "ali\r\nX-Injected: 1"; },
        [](auto& a) { a.Password = std::string("p\0w", 3); },
        [](auto& a) {
            a.Token.Enabled = true;
            a.Token.AuthToken = "tok\nX: y";
        },
        [](auto& a) {
            a.Basic.Enabled = true;
            a.Password = "tab\there";
        },
    };
    ScriptedPeer peer(AcceptSession);
    int i = 0;
    for (const auto& configure : cases)
    {
        SCOPED_TRACE(i++);
        EventRecorder events;
        TkbzWSClient client;
        events.Attach(client);
        client.SetURL(peer.Url());
        client.Authentication.Enabled = true;
        configure(client.Authentication);
        EXPECT_FALSE(client.Connect(2000));
        EXPECT_TRUE(events.Wait("exception Invalid ", 2s)) << events.Dump();
        EXPECT_EQ(events.Count("connect"), 0u);
    }
    EXPECT_EQ(peer.Accepted(), 0);
}

// A token source of the test: delivers a fixed outcome, at once or from a thread of its own.
class TestTokenSource : public TkbzHTTPComponentClientAuthToken_Base
{
public:
    std::string Type = "Bearer";
    std::string Token = "tok-1";
    std::string Error;       // when set, Start reports this error instead
    bool FromThread = false; // deliver later, from a thread of the source
    std::atomic<int> Starts{0};
    std::atomic<int> Stops{0};

    ~TestTokenSource() override
    {
        if (FThread.joinable())
        {
            FThread.join();
        }
    }
    // Starts counts once the delivery is under way (a thread exists to release).
    void Start() override
    {
        if (!FromThread)
        {
            ++Starts;
            Deliver();
            return;
        }
        if (FThread.joinable())
        {
            FThread.join();
        }
        FThread = std::thread([this] {
            std::unique_lock lock(FLock);
            FGo.wait(lock, [this] { return FRelease; });
            FRelease = false;
            lock.unlock();
            Deliver();
        });
        ++Starts;
    }
    void Stop() override { ++Stops; }
    // Lets a threaded source deliver now and waits until it has.
    void Release()
    {
        {
            std::lock_guard guard(FLock);
            FRelease = true;
        }
        FGo.notify_all();
        FThread.join();
    }
    // A later token (a refresh), delivered on the caller's thread.
    void Refresh(const std::string& token) { DoAuthToken(Type, token, {}); }

private:
    void Deliver()
    {
        if (!Error.empty())
        {
            DoAuthTokenError("JWT Error", Error, {});
        }
        else
        {
            DoAuthToken(Type, Token, {});
        }
    }

    std::mutex FLock;
    std::condition_variable FGo;
    bool FRelease = false;
    std::thread FThread;
};

struct TokenFixture
{
    ScriptedPeer peer{AcceptSession};
    TestTokenSource source;
    EventRecorder events;
    TkbzWSClient client; // last: goes first

    TokenFixture()
    {
        events.Attach(client);
        client.SetURL(peer.Url("/app"));
        client.Authentication.Enabled = true;
        client.Authentication.Token.Enabled = true;
        client.Authentication.Token.JWT = &source;
    }
};

TEST(kbzWSClientAuthentication, TokenFromASourceThatHasItAtOnce)
{
    TokenFixture f;
    f.source.Type = "JWT";
    ASSERT_TRUE(f.client.Connect(5000)) << f.events.Dump();
    ASSERT_EQ(f.peer.Heads().size(), 1u);
    EXPECT_EQ(RequestLineOf(f.peer.Heads()[0]), "GET /app HTTP/1.1");
    EXPECT_EQ(AuthorizationLines(f.peer.Heads()[0]), "Authorization: JWT tok-1");
    EXPECT_EQ(f.client.Authentication.Token.AuthToken, "tok-1");

    // The next activation asks the source again and sends its new token.
    f.client.Disconnect(5000);
    f.source.Token = "tok-2";
    ASSERT_TRUE(f.client.Connect(5000)) << f.events.Dump();
    EXPECT_EQ(AuthorizationLines(f.peer.Heads().back()), "Authorization: JWT tok-2");
    EXPECT_EQ(f.source.Starts.load(), 2);
    EXPECT_GE(f.source.Stops.load(), 1);
}

TEST(kbzWSClientAuthentication, OAuthSourceWinsOverJWT)
{
    TokenFixture f;
    TestTokenSource oauth;
    oauth.Token = "from-oauth";
    f.client.Authentication.Token.OAuth = &oauth;
    ASSERT_TRUE(f.client.Connect(5000)) << f.events.Dump();
    EXPECT_EQ(AuthorizationLines(f.peer.Heads().back()), "Authorization: Bearer from-oauth");
    EXPECT_EQ(f.source.Starts.load(), 0);
    f.client.Disconnect(5000);
    f.client.Authentication.Token.OAuth = nullptr;
}

TEST(kbzWSClientAuthentication, TokenFromASourceThatDeliversLaterOnItsOwnThread)
{
    TokenFixture f;
    f.source.FromThread = true;
    std::atomic<bool> connected{false};
    std::thread caller([&] { connected = f.client.Connect(10000); });
    ASSERT_TRUE(WaitUntil([&] { return f.source.Starts.load() == 1; }, 5s));
    EXPECT_EQ(f.peer.Accepted(), 0); // nothing is connected before the token is there
    f.source.Release();
    caller.join();
    EXPECT_TRUE(connected.load()) << f.events.Dump();
    EXPECT_EQ(AuthorizationLines(f.peer.Heads().at(0)), "Authorization: Bearer tok-1");

    // A refresh while connected is kept for the next activation; it connects nothing.
    f.source.Refresh("tok-refreshed");
    EXPECT_EQ(f.client.Authentication.Token.AuthToken, "tok-refreshed");
    EXPECT_EQ(f.peer.Accepted(), 1);
}

TEST(kbzWSClientAuthentication, ATokenThatArrivesAfterDeactivationConnectsNothing)
{
    TokenFixture f;
    f.source.FromThread = true;
    f.client.SetActive(true);
    ASSERT_TRUE(WaitUntil([&] { return f.source.Starts.load() == 1; }, 5s));
    f.client.SetActive(false);
    EXPECT_EQ(f.source.Stops.load(), 1);
    f.source.Release();
    EXPECT_FALSE(f.client.GetActive());
    EXPECT_EQ(f.peer.Accepted(), 0);
    EXPECT_EQ(f.events.Size(), 0u) << f.events.Dump();
}

TEST(kbzWSClientAuthentication, TokenFailuresAreErrorsWithoutConnection)
{
    struct Case
    {
        const char* name;
        std::string error;
        std::string token;
        std::string expected;
    };
    const Case cases[] = {
        {"source_error", "bad key", "", "error JWT Error bad key"},
        {"empty_token", "", "", "error OAuth Error Token is empty"},
        {"token_with_a_line_break", "", "a\r\nX: y", "error Invalid token"},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        for (const bool fromThread : {false, true})
        {
            TokenFixture f;
            f.source.Error = c.error;
            f.source.Token = c.token;
            f.source.FromThread = fromThread;
            std::thread release;
            if (fromThread)
            {
                release = std::thread([&] {
                    WaitUntil([&] { return f.source.Starts.load() == 1; }, 5s);
                    f.source.Release();
                });
            }
            EXPECT_FALSE(f.client.Connect(5000));
            if (release.joinable())
            {
                release.join();
            }
            EXPECT_TRUE(f.events.Wait(c.expected, 2s)) << f.events.Dump();
            EXPECT_EQ(f.events.Count("connect"), 0u);
            EXPECT_EQ(f.peer.Accepted(), 0);
        }
    }
}

// ---- Session mode ----

TEST(kbzWSClientAuthentication, SessionAnswersDecideThePath)
{
    struct Case
    {
        const char* name;
        std::string body;
        std::string requestLine; // of the upgrade
        std::string id;
    };
    const Case cases[] = {
        {"three_lines", "S1D\r\npermessage-deflate\r\nchat\r\n",
         "GET /kbz/auth/session/S1D HTTP/1.1", "S1D"},
        {"fewer_than_three_lines_keep_the_path", "S1D\r\nx\r\n", "GET /app?x=1 HTTP/1.1", ""},
        {"empty_id_keeps_the_path", "\r\na\r\nb\r\n", "GET /app?x=1 HTTP/1.1", ""},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        std::mutex lock;
        std::vector<std::string> sessionRequests;
        ScriptedPeer peer([&](PeerConnection& conn, const std::string& head) {
            if (head.rfind("GET /kbz/req/auth/session/", 0) == 0)
            {
                {
                    std::lock_guard guard(lock);
                    sessionRequests.push_back(RequestLineOf(head));
                }
                conn.Send("HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(c.body.size()) +
                          "\r\n\r\n" + c.body);
                conn.WaitClosed(2000);
                return;
            }
            AcceptSession(conn, head);
        });
        EventRecorder events;
        TkbzWSClient client;
        events.Attach(client);
        client.SetURL(peer.Url("/app?x=1"));
        client.Authentication.Enabled = true;
        client.Authentication.Session.Enabled = true;
        client.Authentication.User = "al/ice";
        client.Authentication.Password = "p w";
        ASSERT_TRUE(client.Connect(5000)) << events.Dump();
        {
            std::lock_guard guard(lock);
            EXPECT_EQ(sessionRequests, std::vector<std::string>{
                                           "GET /kbz/req/auth/session/al%2Fice/p%20w HTTP/1.1"});
        }
        EXPECT_EQ(RequestLineOf(peer.Heads().back()), c.requestLine);
        EXPECT_EQ(client.Authentication.Session.ID, c.id);
        client.Disconnect(5000);
    }
}

TEST(kbzWSClientAuthentication, AFailedSessionRequestEndsTheActivation)
{
    const int dead = FreePort();
    EventRecorder events;
    TkbzWSClient client;
    events.Attach(client);
    client.SetURL("ws://127.0.0.1:" + std::to_string(dead) + "/");
    client.Authentication.Enabled = true;
    client.Authentication.Session.Enabled = true;
    client.Authentication.User = "al";
    client.Authentication.Password = "secretpw";
    EXPECT_FALSE(client.Connect(5000));
    ASSERT_TRUE(events.Wait("exception ", 5s)) << events.Dump();
    EXPECT_EQ(events.Dump().find("secretpw"), std::string::npos) << events.Dump();
    EXPECT_EQ(events.Count("connect"), 0u);
}

TEST(kbzWSClientAuthentication, DeactivationCancelsASessionRequest)
{
    std::atomic<bool> asked{false};
    ScriptedPeer peer([&](PeerConnection& conn, const std::string&) {
        asked = true;
        conn.WaitClosed(20000);
    });
    EventRecorder events;
    TkbzWSClient client;
    events.Attach(client);
    client.SetURL(peer.Url());
    client.Authentication.Enabled = true;
    client.Authentication.Session.Enabled = true;
    std::thread activation([&] { client.SetActive(true); });
    ASSERT_TRUE(WaitUntil([&] { return asked.load(); }, 5s));
    client.SetActive(false);
    activation.join(); // the session request would otherwise wait 10 s for its answer
    EXPECT_FALSE(client.GetActive());
    EXPECT_EQ(events.Size(), 0u) << events.Dump();
}

} // namespace
