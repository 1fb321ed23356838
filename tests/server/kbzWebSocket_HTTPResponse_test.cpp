// The built-in browser files as the server answers them, the placeholders of
// the test page, and the posts that carry a server-sent-events client's
// messages and a registered protocol's requests, over in-memory channel pairs.
#include "base/kbzBase_Helpers.h"
#include "server/kbzWebSocket_HTTPResponse.h"
#include "server/kbzWebSocket_Server.h"
#include "server/kbzWebSocket_Server_Base.h"
#include "tests/server/kbzServerHarness.h"

#include <gtest/gtest.h>

using namespace kbz;
using namespace kbz::test;

namespace
{

std::string File(const std::string& name)
{
    return kbzGetResourceText(name) + "\r\n";
}

TkbzHTTPHead Head(const std::string& head)
{
    TkbzHTTPHeadParser parser;
    EXPECT_EQ(parser.Parse(head), TkbzHTTPParseStatus::hpsComplete) << head;
    return parser.Head();
}

struct Settings
{
    bool js = true;
    bool html = false;
    bool flash = false;
    bool sse = false;
};

// The answer of the server's first request (head and body), read until it closed.
std::string Exchange(RecordingServer& rs, const std::string& request)
{
    MemoryPeer p(rs.server);
    p.Send(request);
    p.RunUntil([] { return false; }, std::chrono::milliseconds(3000));
    return p.ReadAll(500);
}

std::string StatusLine(const std::string& answer)
{
    return answer.substr(0, answer.find("\r\n"));
}

std::string Body(const std::string& answer)
{
    const std::size_t end = answer.find("\r\n\r\n");
    return end == std::string::npos ? std::string() : answer.substr(end + 4);
}

} // namespace

TEST(BuiltInFiles, AnswersByNameAndSwitches)
{
    const std::string core = File("kbzWebSockets.js");
    const std::string es = File("kbzWebSocketsEventSource.js");
    const std::string flash = File("kbzWebSocketsFlash.js");
    const struct
    {
        const char* name;
        Settings settings;
        std::string target;
        int status; // 0: not a built-in file
        std::string type;
        std::string body;
    } cases[] = {
        {"core script", {}, "/kbzWebSockets.js", 200, "text/javascript; charset=utf-8", core},
        {"query is no part of the name",
         {},
         "/kbzWebSockets.js?v=2",
         200,
         "text/javascript; charset=utf-8",
         core},
        {"with the stream fallback",
         {.sse = true},
         "/kbzWebSockets.js",
         200,
         "text/javascript; charset=utf-8",
         es + core},
        {"with both fallbacks",
         {.flash = true, .sse = true},
         "/kbzWebSockets.js?v=2",
         200,
         "text/javascript; charset=utf-8",
         es + flash + core},
        {"other case, subfolder: no fallbacks",
         {.sse = true},
         "/lib/KBZWEBSOCKETS.JS",
         200,
         "text/javascript; charset=utf-8",
         core},
        {"a fallback script alone",
         {},
         "/kbzWebSocketsEventSource.js",
         200,
         "text/javascript; charset=utf-8",
         es},
        {"scripts switched off", {.js = false}, "/kbzWebSockets.js", 0, "", ""},
        {"unknown script", {}, "/app.js", 0, "", ""},
        {"page without HTMLFiles", {}, "/kbzWebSockets.html", 0, "", ""},
        {"style sheet",
         {.html = true},
         "/kbzWebSockets.css",
         200,
         "text/css; charset=utf-8",
         File("kbzWebSockets.css")},
        {"a page that is not the server's",
         {.html = true},
         "/kbzOAuth2Authorization.html",
         0,
         "",
         ""},
        {"Flash movie",
         {},
         "/WebSocketMain.swf",
         404,
         "text/html; charset=utf-8",
         "<HTML><BODY><B>404 Not Found</B></BODY></HTML>"},
        {"favicon", {}, "/favicon.ico", 0, "", ""},
        {"root", {.html = true}, "/", 0, "", ""},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        TkbzWSServer_Indy_Base server;
        server.Options().JavascriptFiles = c.settings.js;
        server.Options().HTMLFiles = c.settings.html;
        server.FallBack().Flash.Enabled = c.settings.flash;
        server.FallBack().ServerSentEvents.Enabled = c.settings.sse;
        TkbzWSConnectionServer connection;
        TkbzHTTPAnswer answer;
        const bool answered = server.GetBuiltInFile(
            connection, Head("GET " + c.target + " HTTP/1.1\r\nHost: h:1\r\n\r\n"), false, answer);
        ASSERT_EQ(answered, c.status != 0);
        if (!answered)
        {
            continue;
        }
        EXPECT_EQ(answer.Status, c.status);
        EXPECT_EQ(answer.Headers.Get("Content-Type"), c.type);
        EXPECT_EQ(answer.Body, c.body);
    }
}

TEST(BuiltInFiles, TestPageGetsTheHostItWasAskedUnder)
{
    TkbzWSServer_Indy_Base server;
    server.Options().HTMLFiles = true;
    TkbzWSConnectionServer connection;
    const struct
    {
        const char* name;
        std::string host;
        bool tls;
        std::string socket; // where the page's socket goes
        std::string script;
    } cases[] = {
        {"address and port", "127.0.0.1:8080", false, "ws://127.0.0.1:8080",
         "http://127.0.0.1:8080/kbzWebSockets.js"},
        {"name without port", "relay.example", false, "ws://relay.example:80",
         "http://relay.example:80/kbzWebSockets.js"},
        {"IPv6 over TLS", "[::1]:8443", true, "wss://[::1]:8443",
         "https://[::1]:8443/kbzWebSockets.js"},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        connection.FServerSSL = c.tls;
        TkbzHTTPAnswer answer;
        ASSERT_TRUE(server.GetBuiltInFile(
            connection, Head("GET /kbzWebSockets.html HTTP/1.1\r\nHost: " + c.host + "\r\n\r\n"),
            false, answer));
        EXPECT_EQ(answer.Headers.Get("Content-Type"), "text/html; charset=utf-8");
        EXPECT_NE(answer.Body.find("value=\"" + c.socket + "\""), std::string::npos);
        EXPECT_NE(answer.Body.find("src=\"" + c.script + "\""), std::string::npos);
        EXPECT_EQ(answer.Body.find("{%"), std::string::npos);
    }
}

TEST(BuiltInFiles, PlaceholdersEscapedInHTML)
{
    const TkbzWSResponsePlaceholders values{"a\"<b>&'", "80", true};
    EXPECT_EQ(
        kbzReplaceResponsePlaceholders("<x v=\"{%HOST%}:{%port%}\">{%Ssl%}{%other%}", values, true),
        "<x v=\"a&quot;&lt;b&gt;&amp;&#39;:80\">s{%other%}");
    EXPECT_EQ(kbzReplaceResponsePlaceholders("'{%host%}'", values, false), "'a\"<b>&''");
}

TEST(BuiltInFiles, HostFieldsThatFillAPage)
{
    const struct
    {
        std::string field;
        bool ok;
        std::string host;
        std::string port;
    } cases[] = {
        {"relay.example", true, "relay.example", ""},
        {"127.0.0.1:8080", true, "127.0.0.1", "8080"},
        {"[::1]:8080", true, "[::1]", "8080"},
        {"[fe80::1]", true, "[fe80::1]", ""},
        {"", false, "", ""},
        {"a\"b", false, "", ""},
        {"a b:80", false, "", ""},
        {"host:port", false, "", ""},
        {"host:", false, "", ""},
        {"host:123456", false, "", ""},
        {"[::1", false, "", ""},
        {"[::1]x", false, "", ""},
        {"[<x>]:1", false, "", ""},
        {"a/b", false, "", ""},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.field);
        std::string host;
        std::string port;
        ASSERT_EQ(kbzSplitHostField(c.field, host, port), c.ok);
        if (c.ok)
        {
            EXPECT_EQ(host, c.host);
            EXPECT_EQ(port, c.port);
        }
    }
}

TEST(BuiltInFiles, ServedOnTheFirstRequest)
{
    RecordingServer rs;
    const std::string answer =
        Exchange(rs, "GET /kbzWebSockets.js?v=2 HTTP/1.1\r\nHost: 127.0.0.1:80\r\n\r\n");
    EXPECT_EQ(StatusLine(answer), "HTTP/1.1 200 OK");
    EXPECT_NE(answer.find("\r\nCache-Control: no-cache\r\n"), std::string::npos);
    EXPECT_NE(answer.find("\r\nServer: " + std::string(kbzServerSoftware) + "\r\n"),
              std::string::npos);
    EXPECT_EQ(Body(answer), File("kbzWebSockets.js"));
    EXPECT_EQ(StatusLine(Exchange(rs, "GET /WebSocketMain.swf HTTP/1.1\r\nHost: a\r\n\r\n")),
              "HTTP/1.1 404 Not Found");
}

TEST(EventStream, PostsBecomeTheStreamsMessages)
{
    RecordingServer rs;
    rs.server.FallBack().ServerSentEvents.Enabled = true;
    rs.server.SecurityOptions().OriginsAllowed = "http://page.example";
    MemoryPeer stream(rs.server);
    stream.Send("GET /events HTTP/1.1\r\nHost: a\r\nAccept: text/event-stream\r\n\r\n");
    ASSERT_TRUE(stream.RunUntil([&] { return stream.connection->Enabled(); }));
    const std::string guid = stream.connection->GetGuid();
    const std::string expected =
        "retry: 3000\r\n\r\ndata: " + guid + "\r\n\r\ndata: " + guid + "\r\n\r\n";
    const std::string sent = stream.Read(std::string::npos / 2, 500);
    ASSERT_EQ(Body(sent), expected);

    const struct
    {
        const char* name;
        std::string target;
        std::string origin;
        std::string status;
        bool delivered;
    } cases[] = {
        {"the stream's identifier", "/kbz/xhr/" + guid, "", "HTTP/1.1 200 OK", true},
        {"from an allowed page", "/kbz/xhr/" + guid, "http://page.example", "HTTP/1.1 200 OK",
         true},
        {"from another page", "/kbz/xhr/" + guid, "http://other.example", "HTTP/1.1 403 Forbidden",
         false},
        {"unknown identifier", "/kbz/xhr/0123456789ABCDEF0123456789ABCDEF", "",
         "HTTP/1.1 404 Not Found", false},
        {"a connection that is no stream", "/kbz/xhr/" + stream.connection->GetGuid() + "X", "",
         "HTTP/1.1 404 Not Found", false},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        const std::string body = std::string("{\"message\":\"") + c.name + "\"}";
        const std::string answer = Exchange(
            rs, "POST " + c.target + " HTTP/1.1\r\nHost: a\r\n" +
                    (c.origin.empty() ? std::string() : "Origin: " + c.origin + "\r\n") +
                    "Content-Type: text/plain\r\nContent-Length: " + std::to_string(body.size()) +
                    "\r\n\r\n" + body);
        EXPECT_EQ(StatusLine(answer), c.status);
        std::lock_guard guard(rs.lock);
        EXPECT_EQ(!rs.texts.empty() && rs.texts.back() == body, c.delivered);
    }
    // A WebSocket client's identifier takes no posts either.
    MemoryPeer raw(rs.server);
    raw.connection->SetTransport(TwsTransport::trpRFC6455);
    raw.connection->SetEnabled(true);
    EXPECT_EQ(StatusLine(Exchange(rs, "POST /kbz/xhr/" + raw.connection->GetGuid() +
                                          " HTTP/1.1\r\nHost: a\r\nContent-Length: 1\r\n\r\nx")),
              "HTTP/1.1 404 Not Found");
}

TEST(EventStream, StartPassesTheOriginCheck)
{
    RecordingServer rs;
    rs.server.FallBack().ServerSentEvents.Enabled = true;
    rs.server.SecurityOptions().OriginsAllowed = "http://page.example";
    const struct
    {
        const char* name;
        std::string origin;
        std::string status;
        std::string allow; // the Access-Control-Allow-Origin field of the stream
    } cases[] = {
        {"no origin (no page)", "", "HTTP/1.1 200 OK", ""},
        {"an allowed page", "http://page.example", "HTTP/1.1 200 OK", "http://page.example"},
        {"another page", "http://other.example", "HTTP/1.1 403 Forbidden", ""},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        MemoryPeer p(rs.server);
        p.Send("GET /events HTTP/1.1\r\nHost: a\r\nAccept: text/event-stream\r\n" +
               (c.origin.empty() ? std::string() : "Origin: " + c.origin + "\r\n") + "\r\n");
        p.RunUntil([&] { return p.connection->Enabled(); }, std::chrono::milliseconds(2000));
        const std::string head = p.Read(std::string::npos / 2, 300);
        EXPECT_EQ(StatusLine(head), c.status);
        const TkbzHTTPHead parsed = [&] {
            TkbzHTTPHeadParser parser(TkbzHTTPHeadKind::hkResponse);
            parser.Parse(head);
            return parser.Head();
        }();
        EXPECT_EQ(parsed.Headers.Get("Access-Control-Allow-Origin"), c.allow);
    }
}

TEST(EventStream, StartPassesAuthentication)
{
    RecordingServer rs;
    rs.server.FallBack().ServerSentEvents.Enabled = true;
    rs.server.Authentication().Enabled = true;
    rs.server.Authentication().Basic.Enabled = true;
    rs.server.Authentication().AuthUsers.SetText("bob=secret");
    const struct
    {
        const char* name;
        std::string authorization;
        bool enabled;
    } cases[] = {
        {"no credentials", "", false},
        {"wrong password", "Authorization: Basic " + kbzEncodeBase64("bob:nope") + "\r\n", false},
        {"the user's", "Authorization: Basic " + kbzEncodeBase64("bob:secret") + "\r\n", true},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        MemoryPeer p(rs.server);
        p.Send("GET /events HTTP/1.1\r\nHost: a\r\nAccept: text/event-stream\r\n" +
               c.authorization + "\r\n");
        p.RunUntil([&] { return p.connection->Enabled(); }, std::chrono::milliseconds(2000));
        EXPECT_EQ(p.connection->Enabled(), c.enabled);
        EXPECT_EQ(p.Read(12, 500), c.enabled ? "HTTP/1.1 200" : "HTTP/1.1 401");
    }
}

TEST(ProtocolPost, AnsweredByTheProtocolOfThatName)
{
    RecordingServer rs;
    auto chat = rs.server.RegisterProtocol("chat");
    chat->OnHTTPPost = [](const TkbzWSConnectionPtr&, const std::string& path,
                          const std::string& body,
                          std::string& answer) { answer = path + "|" + body; };
    const struct
    {
        std::string target;
        std::string status;
        std::string body;
    } cases[] = {
        {"/kbz/protocol/chat/rooms/1", "HTTP/1.1 200 OK", "rooms/1|hello"},
        {"/kbz/protocol/CHAT", "HTTP/1.1 200 OK", "|hello"},
        {"/kbz/protocol/news/x", "HTTP/1.1 404 Not Found", ""},
        {"/kbz/protocol/", "HTTP/1.1 404 Not Found", ""},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.target);
        const std::string answer = Exchange(
            rs, "POST " + c.target + " HTTP/1.1\r\nHost: a\r\nContent-Length: 5\r\n\r\nhello");
        EXPECT_EQ(StatusLine(answer), c.status);
        if (c.status == "HTTP/1.1 200 OK")
        {
            EXPECT_EQ(Body(answer), c.body);
        }
    }
}

TEST(FlashPolicy, AnsweredWhileTheFallbackIsOn)
{
    const std::string kPolicyEnd("\0\r\n", 3);
    const struct
    {
        const char* name;
        bool enabled;
        std::string domain;
        std::string ports;
        std::string answer;
    } cases[] = {
        {"defaults", true, "*", "*",
         std::string("<cross-domain-policy><allow-access-from domain=\"*\" to-ports=\"*\" />"
                     "</cross-domain-policy>") +
             kPolicyEnd},
        {"a domain and ports", true, "*.example", "8080,8443",
         std::string("<cross-domain-policy><allow-access-from domain=\"*.example\" "
                     "to-ports=\"8080,8443\" /></cross-domain-policy>") +
             kPolicyEnd},
        {"fallback off", false, "*", "*", ""},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        RecordingServer rs;
        rs.server.FallBack().Flash.Enabled = c.enabled;
        rs.server.FallBack().Flash.Domain = c.domain;
        rs.server.FallBack().Flash.Ports = c.ports;
        MemoryPeer p(rs.server);
        p.Send(std::string("<policy-file-request/>\0", 23));
        p.RunUntil([&] { return p.connection->FRequestHandled; });
        EXPECT_EQ(p.Read(std::string::npos / 2, 300), c.answer);
        // Answered, the connection waits for the player to close it; refused, it ends.
        EXPECT_EQ(p.Step(), c.enabled);
    }
}

TEST(EventStream, StreamsAndPostsOnKeptConnections)
{
    // Browsers send them on whichever connection they keep open.
    std::mutex lock;
    std::vector<std::string> texts;
    TkbzWSHTTPServer server;
    server.KeepAlive = true;
    server.FallBack().ServerSentEvents.Enabled = true;
    server.OnMessage = [&](const TkbzWSConnectionPtr&, const std::string& text) {
        std::lock_guard guard(lock);
        texts.push_back(text);
    };
    const std::string page = "GET / HTTP/1.1\r\nHost: a\r\n\r\n";
    const std::string pageAnswerEnd = "<HTML><BODY><B>200 OK</B></BODY></HTML>";

    MemoryPeer stream(server);
    stream.Send(page);
    std::string sent;
    ASSERT_TRUE(stream.RunUntil([&] {
        sent += stream.ReadAll(10);
        return sent.ends_with(pageAnswerEnd);
    }));
    stream.Send("GET /events HTTP/1.1\r\nHost: a\r\nAccept: text/event-stream\r\n\r\n");
    ASSERT_TRUE(stream.RunUntil([&] { return stream.connection->Enabled(); }));
    const std::string guid = stream.connection->GetGuid();
    EXPECT_EQ(stream.connection->GetTransport(), TwsTransport::trpSSE);
    sent = stream.Read(std::string::npos / 2, 300);
    EXPECT_EQ(StatusLine(sent), "HTTP/1.1 200 OK");
    EXPECT_NE(sent.find("data: " + guid + "\r\n"), std::string::npos);

    // A page request, then the post right behind it on the same connection.
    MemoryPeer poster(server);
    poster.Send(page + "POST /kbz/xhr/" + guid +
                " HTTP/1.1\r\nHost: a\r\nContent-Length: 7\r\n\r\ncommand");
    std::string answers;
    poster.RunUntil([&] {
        answers += poster.ReadAll(10);
        std::lock_guard guard(lock);
        return !texts.empty() && answers.ends_with("\r\n\r\n");
    });
    EXPECT_EQ(answers.rfind("HTTP/1.1 200 OK\r\n", 0), 0u);
    EXPECT_NE(answers.find(pageAnswerEnd + "HTTP/1.1 200 OK\r\n"), std::string::npos) << answers;
    std::lock_guard guard(lock);
    EXPECT_EQ(texts, std::vector<std::string>{"command"});
}
