// The server's HTTP layer over in-memory channel pairs: the default page, 500, HEAD,
// parameters, bodies and their caps, refusals, keep-alive with pipelining and its time-out,
// cookie sessions, the GET chain (forwarding, API, document root) and uploads.
#include "server/kbzWebSocket_Server.h"
#include "tests/server/kbzServerHarness.h"

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <thread>
#include <unistd.h>

using namespace kbz;
using namespace kbz::test;

namespace
{

const std::string kDefaultPage = "<HTML><BODY><B>200 OK</B></BODY></HTML>";

struct HTTPServer
{
    std::mutex lock;
    std::vector<std::string> seen; // what the handler was given, one line per request
    TkbzWSHTTPServer server;

    HTTPServer()
    {
        server.OnCommandGet = [this](const TkbzWSConnectionServerPtr&, TkbzWSHTTPRequestInfo& rq,
                                     TkbzWSHTTPResponseInfo& rs) { Record(rq, rs); };
        server.OnCommandOther = server.OnCommandGet;
    }
    void Record(TkbzWSHTTPRequestInfo& rq, TkbzWSHTTPResponseInfo& rs)
    {
        std::string line = rq.Command + " " + rq.Document;
        for (const auto& [n, v] : rq.Params)
        {
            line += " " + n + "=" + v;
        }
        if (!rq.PostBody.empty())
        {
            line += " body:" + rq.PostBody;
        }
        {
            std::lock_guard guard(lock);
            seen.push_back(line);
        }
        if (rq.Document == "/fail")
        {
            throw Exception("it <failed>");
        }
        if (rq.Document == "/text")
        {
            rs.ContentText = "hello";
            rs.ContentType = "text/plain";
            rs.CharSet = "utf-8";
        }
        if (rq.Document == "/missing")
        {
            rs.ResponseNo = 404;
        }
    }
    std::vector<std::string> Seen()
    {
        std::lock_guard guard(lock);
        return seen;
    }
};

// Runs the connection until the server closed it (or 2 s passed); what it wrote.
std::string Exchange(MemoryPeer& p, const std::string& bytes)
{
    p.Send(bytes);
    p.RunUntil([] { return false; }, std::chrono::milliseconds(2000));
    return p.ReadAll(200);
}

// The answers of a byte stream as "status [body]" items.
std::vector<std::string> Answers(const std::string& stream)
{
    std::vector<std::string> out;
    std::size_t at = 0;
    while (at < stream.size())
    {
        TkbzHTTPHeadParser parser(TkbzHTTPHeadKind::hkResponse);
        if (parser.Parse(std::string_view(stream).substr(at)) != TkbzHTTPParseStatus::hpsComplete)
        {
            out.push_back("garbage: " + stream.substr(at));
            break;
        }
        const TkbzHTTPHead& h = parser.Head();
        const std::size_t length =
            std::stoul(h.Headers.Get("Content-Length").empty() ? std::string("0")
                                                               : h.Headers.Get("Content-Length"));
        out.push_back(
            std::to_string(h.Status) + " " +
            stream.substr(at + h.Length, std::min(length, stream.size() - at - h.Length)));
        at += h.Length + length;
    }
    return out;
}

} // namespace

TEST(ServerHTTP, AnswersOfOneRequest)
{
    struct Case
    {
        const char* name;
        std::string request;
        std::string head; // a line the head must hold
        std::string body;
    };
    const Case cases[] = {
        {"default page", "GET / HTTP/1.1\r\nHost: a\r\n\r\n",
         "Content-Type: text/html; charset=utf-8", kDefaultPage},
        {"a status without content names it", "GET /missing HTTP/1.1\r\nHost: a\r\n\r\n",
         "HTTP/1.1 404 Not Found", "<HTML><BODY><B>404 Not Found</B></BODY></HTML>"},
        {"content with a charset", "GET /text HTTP/1.1\r\nHost: a\r\n\r\n",
         "Content-Type: text/plain; charset=utf-8", "hello"},
        {"HEAD: the same head, no body", "HEAD /text HTTP/1.1\r\nHost: a\r\n\r\n",
         "Content-Length: 5", ""},
        {"a handler that raises: 500 with its message as text",
         "GET /fail HTTP/1.1\r\nHost: a\r\n\r\n", "HTTP/1.1 500 Internal Server Error",
         "it <failed>"},
        {"another method", "DELETE /x HTTP/1.1\r\nHost: a\r\n\r\n", "Connection: close",
         kDefaultPage},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        HTTPServer hs;
        MemoryPeer p(hs.server);
        const std::string answer = Exchange(p, c.request);
        const std::size_t end = answer.find("\r\n\r\n");
        ASSERT_NE(end, std::string::npos) << answer;
        EXPECT_NE(answer.substr(0, end + 2).find(c.head + "\r\n"), std::string::npos) << answer;
        EXPECT_NE(answer.find("\r\nServer: " + std::string(kbzServerSoftware) + "\r\n"),
                  std::string::npos);
        EXPECT_EQ(answer.substr(end + 4), c.body);
    }
}

TEST(ServerHTTP, ParametersAndBodies)
{
    struct Case
    {
        const char* name;
        std::string request;
        std::string seen;
    };
    const Case cases[] = {
        {"query", "GET /p?a=1&b=x%20y&c HTTP/1.1\r\nHost: a\r\n\r\n", "GET /p a=1 b=x y c="},
        {"decoded document", "GET /a%20b.txt HTTP/1.1\r\nHost: a\r\n\r\n", "GET /a b.txt"},
        {"form body after the query",
         "POST /f?q=1 HTTP/1.1\r\nHost: a\r\nContent-Type: application/x-www-form-urlencoded\r\n"
         "Content-Length: 11\r\n\r\nname=a+b&z=",
         "POST /f q=1 name=a b z= body:name=a+b&z="},
        {"chunked body",
         "PUT /c HTTP/1.1\r\nHost: a\r\nTransfer-Encoding: chunked\r\n\r\n"
         "3\r\nabc\r\n2;x=y\r\nde\r\n0\r\n\r\n",
         "PUT /c body:abcde"},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        // Whole, and byte by byte.
        for (bool bytewise : {false, true})
        {
            HTTPServer hs;
            MemoryPeer p(hs.server);
            if (bytewise)
            {
                for (char ch : c.request)
                {
                    p.Send(std::string(1, ch));
                    p.Step();
                }
            }
            const std::string answer = Exchange(p, bytewise ? std::string() : c.request);
            EXPECT_EQ(answer.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << answer;
            EXPECT_EQ(hs.Seen(), std::vector<std::string>{c.seen});
        }
    }
}

TEST(ServerHTTP, RefusedRequestsAreAnsweredAndClosed)
{
    struct Case
    {
        const char* name;
        std::string request;
        int status;
    };
    const std::string ok = "GET / HTTP/1.1\r\nHost: a\r\n\r\n";
    const Case cases[] = {
        {"body over the cap", "POST / HTTP/1.1\r\nHost: a\r\nContent-Length: 2000\r\n\r\n", 413},
        {"chunked body over the cap",
         "POST / HTTP/1.1\r\nHost: a\r\nTransfer-Encoding: chunked\r\n\r\n7D0\r\n" +
             std::string(2000, 'x') + "\r\n0\r\n\r\n",
         413},
        {"two lengths",
         "POST / HTTP/1.1\r\nHost: a\r\nContent-Length: 1\r\nContent-Length: 2\r\n\r\nab", 400},
        // On a kept connection: the second head is refused.
        {"malformed head after a first request", ok + "GET / HTTP/1.1\r\nBad header\r\n\r\n", 400},
        {"oversized head after a first request",
         ok + "GET / HTTP/1.1\r\nX: " + std::string(20000, 'a') + "\r\n\r\n", 431},
        {"oversized first head", "GET / HTTP/1.1\r\nX: " + std::string(20000, 'a') + "\r\n\r\n",
         431},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        HTTPServer hs;
        hs.server.KeepAlive = true;
        hs.server.MaxRequestBody = 1000;
        MemoryPeer p(hs.server);
        const std::string answer = Exchange(p, c.request);
        const std::string last = "HTTP/1.1 " + std::to_string(c.status) + " ";
        EXPECT_NE(answer.find(last), std::string::npos) << answer;
        EXPECT_NE(answer.find("Connection: close\r\n", answer.find(last)), std::string::npos);
        EXPECT_FALSE(p.Step()) << "closed";
    }
}

TEST(ServerHTTP, KeepAliveAnswersPipelinedRequestsInOrder)
{
    HTTPServer hs;
    hs.server.KeepAlive = true;
    MemoryPeer p(hs.server);
    p.Send("GET /text HTTP/1.1\r\nHost: a\r\n\r\n"
           "POST /p HTTP/1.1\r\nHost: a\r\nContent-Length: 3\r\n\r\nabc"
           "GET /missing HTTP/1.1\r\nHost: a\r\n\r\n");
    std::string stream;
    ASSERT_TRUE(p.RunUntil([&] {
        stream += p.ReadAll(10);
        return Answers(stream).size() == 3;
    }));
    EXPECT_EQ(Answers(stream),
              (std::vector<std::string>{"200 hello", "200 " + kDefaultPage,
                                        "404 <HTML><BODY><B>404 Not Found</B></BODY></HTML>"}));
    EXPECT_EQ(stream.find("Connection: close"), std::string::npos);
    EXPECT_TRUE(p.Step()) << "kept open";

    // A built-in file on the kept connection.
    stream.clear();
    p.Send("GET /kbzWebSockets.js?v=2 HTTP/1.1\r\nHost: a\r\n\r\n");
    ASSERT_TRUE(p.RunUntil([&] {
        stream += p.ReadAll(10);
        return Answers(stream).size() == 1;
    }));
    EXPECT_EQ(stream.rfind("HTTP/1.1 200 OK\r\n", 0), 0u);
    EXPECT_NE(stream.find("Content-Type: text/javascript; charset=utf-8\r\n"), std::string::npos);
    EXPECT_NE(stream.find("kbzWebSocket"), std::string::npos);
    EXPECT_TRUE(p.Step()) << "kept open";

    // Connection: close ends it after its answer.
    p.Send("GET / HTTP/1.1\r\nHost: a\r\nConnection: close\r\n\r\n");
    p.RunUntil([] { return false; }, std::chrono::milliseconds(2000));
    EXPECT_NE(p.ReadAll(200).find("Connection: close\r\n"), std::string::npos);
    EXPECT_FALSE(p.Step());
}

TEST(ServerHTTP, WhichConnectionsAreKept)
{
    struct Case
    {
        const char* name;
        bool keepAlive;
        std::string request;
        bool kept;
    };
    const Case cases[] = {
        {"HTTP/1.1", true, "GET / HTTP/1.1\r\nHost: a\r\n\r\n", true},
        {"HTTP/1.0", true, "GET / HTTP/1.0\r\n\r\n", false},
        {"HTTP/1.0 keep-alive", true, "GET / HTTP/1.0\r\nConnection: keep-alive\r\n\r\n", true},
        {"KeepAlive off", false, "GET / HTTP/1.1\r\nHost: a\r\n\r\n", false},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        HTTPServer hs;
        hs.server.KeepAlive = c.keepAlive;
        MemoryPeer p(hs.server);
        p.Send(c.request);
        std::string answer;
        p.RunUntil([&] {
            answer += p.ReadAll(10);
            return answer.ends_with(kDefaultPage);
        });
        EXPECT_TRUE(answer.ends_with(kDefaultPage)) << answer;
        EXPECT_EQ(answer.find("Connection: close") == std::string::npos, c.kept) << answer;
        EXPECT_EQ(p.Step(), c.kept);
    }
}

TEST(ServerHTTP, EveryKeptRequestShowsItsCredentials)
{
    HTTPServer hs;
    hs.server.KeepAlive = true;
    hs.server.Authentication().Enabled = true;
    hs.server.Authentication().Basic.Enabled = true;
    hs.server.Authentication().AuthUsers.Add("u=p");
    MemoryPeer p(hs.server);
    const std::string good = "Authorization: Basic " + kbzEncodeBase64("u:p") + "\r\n";
    p.Send("GET /text HTTP/1.1\r\nHost: a\r\n" + good + "\r\nGET /text HTTP/1.1\r\nHost: a\r\n" +
           good + "\r\nGET /text HTTP/1.1\r\nHost: a\r\n\r\n");
    std::string stream;
    p.RunUntil(
        [&] {
            stream += p.ReadAll(10);
            return false;
        },
        std::chrono::milliseconds(1000));
    EXPECT_EQ(Answers(stream),
              (std::vector<std::string>{"200 hello", "200 hello",
                                        "401 <HTML><BODY><B>401 Unauthorized</B></BODY></HTML>"}));
    EXPECT_NE(stream.find("WWW-Authenticate: Basic realm=\""), std::string::npos);
    EXPECT_FALSE(p.Step());
}

TEST(ServerHTTP, IdleKeptConnectionTimesOut)
{
    HTTPServer hs;
    hs.server.KeepAlive = true;
    hs.server.KeepAliveTimeOut = 100;
    MemoryPeer p(hs.server);
    p.Send("GET / HTTP/1.1\r\nHost: a\r\n\r\n");
    // The step's wait limit brings the engine back when the time is up.
    EXPECT_TRUE(p.RunUntil([&] { return p.ended; }, std::chrono::milliseconds(3000)));
    EXPECT_TRUE(p.ReadAll(100).ends_with(kDefaultPage));
}

TEST(ServerHTTP, CookieSessions)
{
    HTTPServer hs;
    std::vector<std::string> events;
    hs.server.KeepAlive = true;
    hs.server.SessionState = true;
    hs.server.AutoStartSession = true;
    hs.server.OnSessionStart = [&](const TkbzHTTPSessionPtr& s) {
        events.push_back("start " + s->SessionID);
    };
    hs.server.OnSessionEnd = [&](const TkbzHTTPSessionPtr& s) {
        events.push_back("end " + s->SessionID);
    };
    hs.server.OnInvalidSession = [&](const TkbzWSConnectionServerPtr&, TkbzWSHTTPRequestInfo&,
                                     TkbzWSHTTPResponseInfo&, bool&,
                                     const std::string& id) { events.push_back("invalid " + id); };
    std::vector<std::string> sessions;
    hs.server.OnCommandGet = [&](const TkbzWSConnectionServerPtr&, TkbzWSHTTPRequestInfo& rq,
                                 TkbzWSHTTPResponseInfo&) {
        sessions.push_back(rq.Session ? rq.Session->SessionID : "none");
    };
    MemoryPeer p(hs.server);
    std::string stream;
    const auto exchange = [&](const std::string& request) {
        stream.clear();
        p.Send(request);
        p.RunUntil([&] {
            stream += p.ReadAll(10);
            return stream.ends_with(kDefaultPage);
        });
        return stream;
    };
    const std::string first = exchange("GET / HTTP/1.1\r\nHost: a\r\n\r\n");
    const std::size_t at = first.find("Set-Cookie: KBZSESSIONID=");
    ASSERT_NE(at, std::string::npos) << first;
    const std::string id = first.substr(at + 25, 32);
    EXPECT_NE(first.find("; Path=/; HttpOnly; SameSite=Lax\r\n", at), std::string::npos);
    const std::string again =
        exchange("GET / HTTP/1.1\r\nHost: a\r\nCookie: x=1; KBZSESSIONID=" + id + "\r\n\r\n");
    EXPECT_EQ(again.find("Set-Cookie"), std::string::npos);
    exchange("GET / HTTP/1.1\r\nHost: a\r\nCookie: KBZSESSIONID=WRONG\r\n\r\n");
    ASSERT_EQ(sessions.size(), 3u);
    EXPECT_EQ(sessions[0], id);
    EXPECT_EQ(sessions[1], id);
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[0], "start " + id);
    EXPECT_EQ(events[1], "invalid WRONG");
    EXPECT_EQ(events[2], "start " + sessions[2]);
    EXPECT_TRUE(hs.server.EndSession(id));
    EXPECT_EQ(events.back(), "end " + id);
    EXPECT_EQ(hs.server.HTTPSessionList().Count(), 1u);
}

namespace
{

// A folder with a few files, a link that stays inside and one that leads out.
struct Folder
{
    std::filesystem::path root;
    std::filesystem::path outside;
    Folder()
    {
        const auto base = std::filesystem::temp_directory_path() /
                          ("kbz_docroot_" + std::to_string(::getpid()) + "_" +
                           ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::remove_all(base);
        root = base / "www";
        outside = base / "secret.txt";
        std::filesystem::create_directories(root / "sub");
        std::ofstream(root / "a.txt") << "alpha";
        std::ofstream(root / "sub" / "index.html") << "<p>index</p>";
        std::ofstream(root / "sub" / "s.css") << "p{}";
        std::ofstream(outside) << "secret";
        std::filesystem::create_symlink(root / "a.txt", root / "in.txt");
        std::filesystem::create_symlink(outside, root / "out.txt");
        std::filesystem::create_directory_symlink(base, root / "up");
    }
    ~Folder() { std::filesystem::remove_all(root.parent_path()); }
};

} // namespace

TEST(ServerHTTP, DocumentPaths)
{
    using enum TkbzDocumentPath::TStatus;
    Folder f;
    struct Case
    {
        const char* path;
        TkbzDocumentPath::TStatus status;
        std::string file; // below root, when found
    };
    const Case cases[] = {
        {"/a.txt", dpFound, "a.txt"},
        {"//a.txt", dpFound, "a.txt"},
        {"/in.txt", dpFound, "a.txt"},
        {"/sub/", dpFound, "sub/index.html"},
        {"/sub", dpFound, "sub/index.html"},
        {"/sub/s%2Ecss", dpFound, "sub/s.css"},
        {"/none.txt", dpMissing, ""},
        {"/", dpMissing, ""},
        {"/../secret.txt", dpRefused, ""},
        {"/sub/../a.txt", dpRefused, ""},
        {"/%2e%2e/secret.txt", dpRefused, ""},
        {"/%2E%2E/secret.txt", dpRefused, ""},
        {"/sub%2f..%2fa.txt", dpRefused, ""},
        {"/sub%2Fs.css", dpRefused, ""},
        {"/..%5csecret.txt", dpRefused, ""},
        {"/..\\secret.txt", dpRefused, ""},
        {"/a.txt%00", dpRefused, ""},
        {"/a.txt%0a", dpRefused, ""},
        {"/%zz", dpRefused, ""},
        {"/./a.txt", dpRefused, ""},
        {"/out.txt", dpRefused, ""},
        {"/up/secret.txt", dpRefused, ""},
        {"a.txt", dpRefused, ""},
    };
    for (const std::string& root : {f.root.string(), f.root.string() + "/"})
    {
        for (const Case& c : cases)
        {
            SCOPED_TRACE(std::string(c.path) + " in " + root);
            const TkbzDocumentPath r = kbzResolveDocumentPath(root, c.path);
            EXPECT_EQ(r.Status, c.status);
            if (c.status == dpFound)
            {
                EXPECT_EQ(r.Path, std::filesystem::canonical(f.root / c.file).string());
            }
        }
    }
}

TEST(ServerHTTP, GetChain)
{
    Folder f;
    struct Api : TkbzWSAPI
    {
        bool DoHTTPRequest(const TkbzWSConnectionServerPtr&, const TkbzWSAPIRequest& r,
                           TkbzWSAPIResponse& a) override
        {
            if (!r.Document.starts_with("/api/"))
            {
                return false;
            }
            a.Code = 201;
            a.Content = "{\"doc\":\"" + r.Document + "\",\"q\":\"" +
                        (r.QueryParams.empty() ? "" : r.QueryParams[0].second) + "\",\"body\":\"" +
                        r.Content + "\"}";
            return true;
        }
    };
    struct Case
    {
        const char* name;
        std::string request;
        std::string answer; // status line, content type and body
    };
    const Case cases[] = {
        {"api", "POST /api/x?q=1 HTTP/1.1\r\nHost: a\r\nContent-Length: 2\r\n\r\nhi",
         "201 application/json {\"doc\":\"/api/x\",\"q\":\"1\",\"body\":\"hi\"}"},
        {"file with charset", "GET /a.txt HTTP/1.1\r\nHost: a\r\n\r\n",
         "200 text/plain; charset=utf-8 alpha"},
        {"css", "GET /sub/s.css HTTP/1.1\r\nHost: a\r\n\r\n", "200 text/css; charset=utf-8 p{}"},
        {"HEAD of a file: its length, no body", "HEAD /a.txt HTTP/1.1\r\nHost: a\r\n\r\n",
         "200 text/plain; charset=utf-8 "},
        {"index", "GET /sub/ HTTP/1.1\r\nHost: a\r\n\r\n",
         "200 text/html; charset=utf-8 <p>index</p>"},
        {"missing: on to OnCommandGet", "GET /none HTTP/1.1\r\nHost: a\r\n\r\n",
         "200 text/plain handler"},
        {"leaving the folder", "GET /%2e%2e/secret.txt HTTP/1.1\r\nHost: a\r\n\r\n",
         "404 text/html; charset=utf-8 <HTML><BODY><B>404 Not Found</B></BODY></HTML>"},
        {"POST is not served from the folder", "POST /a.txt HTTP/1.1\r\nHost: a\r\n\r\n",
         "200 text/plain handler"},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        TkbzWSHTTPServer server;
        server.DocumentRoot = f.root.string();
        server.Charset = "utf-8";
        server.RegisterAPI(std::make_shared<Api>());
        server.OnCommandGet = [](const TkbzWSConnectionServerPtr&, TkbzWSHTTPRequestInfo&,
                                 TkbzWSHTTPResponseInfo& rs) {
            rs.ContentText = "handler";
            rs.ContentType = "text/plain";
        };
        MemoryPeer p(server);
        const std::string answer = Exchange(p, c.request);
        TkbzHTTPHeadParser parser(TkbzHTTPHeadKind::hkResponse);
        ASSERT_EQ(parser.Parse(answer), TkbzHTTPParseStatus::hpsComplete) << answer;
        EXPECT_EQ(std::to_string(parser.Head().Status) + " " +
                      parser.Head().Headers.Get("Content-Type") + " " +
                      answer.substr(parser.Head().Length),
                  c.answer);
        if (c.request.starts_with("HEAD"))
        {
            EXPECT_EQ(parser.Head().Headers.Get("Content-Length"), "5");
        }
    }
}

TEST(ServerHTTP, ForwardedRequests)
{
    TkbzWSHTTPServer target;
    target.Bindings().push_back({"127.0.0.1", 0, TwsIPVersion::ipV4});
    target.SetPort(0);
    target.OnCommandGet = [](const TkbzWSConnectionServerPtr&, TkbzWSHTTPRequestInfo& rq,
                             TkbzWSHTTPResponseInfo& rs) {
        rs.ResponseNo = 202;
        rs.ContentType = "text/plain";
        rs.CustomHeaders.Add("X-Target", "yes");
        rs.ContentText = rq.Command + " " + rq.Head.Target + " for " +
                         rq.Head.Headers.Get("X-Forwarded-For") + " host " +
                         rq.Head.Headers.Get("X-Forwarded-Host") + " " + rq.PostBody;
    };
    target.SetActive(true);
    const std::string base = "http://127.0.0.1:" + std::to_string(target.GetBoundPort());

    TkbzWSHTTPServer front;
    std::vector<std::string> after;
    front.OnBeforeForwardHTTP = [&](const TkbzWSConnectionServerPtr&, TkbzWSHTTPRequestInfo& rq,
                                    TkbzWSServerForwardHTTP& fw) {
        fw.Enabled = rq.Document != "/local";
        fw.URL = rq.Document == "/gone" ? "http://127.0.0.1:1" : base;
    };
    front.OnAfterForwardHTTP = [&](const TkbzWSConnectionServerPtr&, TkbzWSHTTPRequestInfo&,
                                   TkbzWSHTTPResponseInfo& rs, const std::exception* e) {
        after.push_back(std::to_string(rs.ResponseNo) + (e ? " failed" : ""));
    };
    struct Case
    {
        const char* name;
        std::string request;
        std::string status;
        std::string body;
    };
    const Case cases[] = {
        {"GET", "GET /p?x=1 HTTP/1.1\r\nHost: front\r\n\r\n", "HTTP/1.1 202 Accepted",
         "GET /p?x=1 for  host front "},
        {"POST with its body", "POST /q HTTP/1.1\r\nHost: front\r\nContent-Length: 3\r\n\r\nabc",
         "HTTP/1.1 202 Accepted", "POST /q for  host front abc"},
        {"not forwarded", "GET /local HTTP/1.1\r\nHost: front\r\n\r\n", "HTTP/1.1 200 OK",
         kDefaultPage},
        {"HEAD: the target's length, no body", "HEAD /h HTTP/1.1\r\nHost: front\r\n\r\n",
         "HTTP/1.1 202 Accepted", ""},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        MemoryPeer p(front);
        const std::string answer = Exchange(p, c.request);
        EXPECT_EQ(answer.rfind(c.status + "\r\n", 0), 0u) << answer;
        EXPECT_TRUE(answer.ends_with("\r\n\r\n" + c.body)) << answer;
        if (c.status.find("202") != std::string::npos)
        {
            EXPECT_NE(answer.find("\r\nX-Target: yes\r\n"), std::string::npos) << answer;
        }
        if (c.request.starts_with("HEAD"))
        {
            // What the target's GET of /h would send: "HEAD /h for  host front ".
            EXPECT_NE(answer.find("\r\nContent-Length: 24\r\n"), std::string::npos) << answer;
        }
    }
    {
        MemoryPeer p(front);
        const std::string answer = Exchange(p, "GET /gone HTTP/1.1\r\nHost: front\r\n\r\n");
        EXPECT_EQ(answer.rfind("HTTP/1.1 500 ", 0), 0u) << answer;
    }
    EXPECT_EQ(after, (std::vector<std::string>{"202", "202", "202", "500 failed"}));
    target.SetActive(false);
}

TEST(ServerHTTP, APIGetsTheEventsOfConnectionsWithoutSubprotocol)
{
    struct Api : TkbzWSAPI
    {
        std::mutex lock;
        std::vector<std::string> seen;
        void DoConnect(const TkbzWSConnectionPtr&) override { Add("connect"); }
        void DoMessage(const TkbzWSConnectionPtr&, const std::string& t) override
        {
            Add("message " + t);
        }
        void DoDisconnect(const TkbzWSConnectionPtr&) override { Add("disconnect"); }
        void Add(const std::string& s)
        {
            std::lock_guard guard(lock);
            seen.push_back(s);
        }
    };
    for (bool raw : {false, true})
    {
        SCOPED_TRACE(raw ? "raw messages" : "instead of the events");
        TkbzWSHTTPServer server;
        auto api = std::make_shared<Api>();
        api->RawMessages = raw;
        server.RegisterAPI(api);
        std::vector<std::string> events;
        server.OnConnect = [&](const TkbzWSConnectionPtr&) { events.push_back("connect"); };
        server.OnMessage = [&](const TkbzWSConnectionPtr&, const std::string& t) {
            events.push_back("message " + t);
        };
        auto c = server.OnListenerConnect(
            std::make_shared<TkbzIdTCPConnection>(kbzMemoryIOHandlerPair().first));
        ASSERT_TRUE(c);
        server.DoNotifyConnect(c);
        server.DoNotifyMessage(c, "hi");
        const std::vector<std::string> both{"connect", "message hi"};
        EXPECT_EQ(api->seen, both);
        EXPECT_EQ(events, raw ? both : std::vector<std::string>{});
        server.UnRegisterAPI();
        server.DoNotifyMessage(c, "after");
        EXPECT_EQ(events.back(), "message after");
    }
}

TEST(ServerHTTPUpload, FileNames)
{
    const std::pair<const char*, const char*> cases[] = {
        {"a.txt", "a.txt"},
        {"dir/a.txt", "a.txt"},
        {"C:\\Users\\x\\a b.txt", "a b.txt"},
        {"../../etc/passwd", "passwd"},
        {"..", ""},
        {".", ""},
        {"", ""},
        {"dir/", ""},
        {"a\x01.txt", ""},
        {"a\nb", ""},
        {"x\x7f", ""},
        {".hidden", ".hidden"},
    };
    for (const auto& [in, out] : cases)
    {
        SCOPED_TRACE(in);
        EXPECT_EQ(kbzUploadFileName(in), out);
    }
    EXPECT_EQ(kbzUploadFileName(std::string("a\0b", 3)), "");
}

TEST(ServerHTTPUpload, FilesAreCreatedExclusively)
{
    Folder f;
    const std::string dir = (f.root / "sub").string();
    std::vector<std::string> names(8);
    std::vector<std::thread> threads;
    for (std::string& name : names)
    {
        threads.emplace_back([&name, &dir] {
            name = "same.txt";
            const int fd = kbzCreateUploadFile(dir, name);
            if (fd >= 0)
            {
                ::close(fd);
            }
            else
            {
                name.clear();
            }
        });
    }
    for (auto& t : threads)
    {
        t.join();
    }
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names,
              (std::vector<std::string>{"same-1.txt", "same-2.txt", "same-3.txt", "same-4.txt",
                                        "same-5.txt", "same-6.txt", "same-7.txt", "same.txt"}));
    // A link planted under the name is not followed.
    std::filesystem::create_symlink(f.outside, f.root / "sub" / "link.txt");
    std::string name = "link.txt";
    const int fd = kbzCreateUploadFile(dir, name);
    ASSERT_GE(fd, 0);
    ::close(fd);
    EXPECT_EQ(name, "link-1.txt");
}

namespace
{

const std::string kBoundary = "----kbzBoundary7MA4YWxkTrZu0gW";

std::string FilePart(const std::string& field, const std::string& file, const std::string& data)
{
    return "--" + kBoundary + "\r\nContent-Disposition: form-data; name=\"" + field +
           "\"; filename=\"" + file + "\"\r\nContent-Type: application/octet-stream\r\n\r\n" +
           data + "\r\n";
}
std::string FieldPart(const std::string& field, const std::string& value)
{
    return "--" + kBoundary + "\r\nContent-Disposition: form-data; name=\"" + field + "\"\r\n\r\n" +
           value + "\r\n";
}
std::string End()
{
    return "--" + kBoundary + "--\r\n";
}
std::string Slurp(const std::filesystem::path& p)
{
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

} // namespace

TEST(ServerHTTPUpload, DecoderFindsDelimitersAcrossBlocks)
{
    Folder f;
    const std::string head = FieldPart("note", "a\r\nb") + "--" + kBoundary +
                             "\r\nContent-Disposition: form-data; name=\"f\"; "
                             "filename=\"data.bin\"\r\n\r\n";
    // The file's closing delimiter straddles the 100,000-byte block at every offset.
    for (std::size_t cut = 0; cut <= kBoundary.size() + 4; ++cut)
    {
        SCOPED_TRACE(cut);
        const std::size_t size = 100000 - head.size() - cut;
        std::string data(size, 'd');
        data[size - 1] = '\r'; // a CR right before the delimiter's own CR LF
        const std::string body = head + data + "\r\n" + FilePart("g", "b.txt", "bee") + End();
        TkbzMemoryStream stream;
        stream.Write(body);
        TkbzHTTPMultipartFormDataDecoder decoder;
        std::vector<std::string> seen;
        decoder.OnReadInput = [&](auto&, const std::string& n, const std::string& v) {
            seen.push_back(n + "=" + v);
        };
        decoder.OnAfterSaveFile = [&](auto&, const std::string& n, const std::string& p) {
            seen.push_back("file " + n + (p == f.root.string() ? "" : " elsewhere"));
        };
        decoder.ExtractFiles(stream, kBoundary, f.root.string());
        EXPECT_EQ(seen, (std::vector<std::string>{"note=a\r\nb", "file data.bin", "file b.txt"}));
        EXPECT_TRUE(Slurp(f.root / "data.bin") == data);
        EXPECT_EQ(Slurp(f.root / "b.txt"), "bee");
        std::filesystem::remove(f.root / "data.bin");
        std::filesystem::remove(f.root / "b.txt");
    }
    // Small blocks, and a body cut off inside a file: that file is not kept.
    for (std::int64_t block : {1, 3, 17})
    {
        SCOPED_TRACE(block);
        TkbzMemoryStream stream;
        stream.Write(FilePart("f", "whole.txt", "abc") + FilePart("f", "cut.txt", "xyz"));
        TkbzHTTPMultipartFormDataDecoder decoder;
        decoder.ReadBlockSize = block;
        std::vector<std::string> saved;
        decoder.OnAfterSaveFile = [&](auto&, const std::string& n, const std::string&) {
            saved.push_back(n);
        };
        decoder.ExtractFiles(stream, kBoundary, f.root.string());
        EXPECT_EQ(saved, std::vector<std::string>{"whole.txt"});
        EXPECT_EQ(Slurp(f.root / "whole.txt"), "abc");
        EXPECT_FALSE(std::filesystem::exists(f.root / "cut.txt"));
        std::filesystem::remove(f.root / "whole.txt");
    }
}

TEST(ServerHTTPUpload, UploadsToDisk)
{
    Folder f;
    const std::string dir = (f.root / "sub").string();
    TkbzWSHTTPServer server;
    server.HTTPUploadFiles().StreamType = TwsPostStreamType::pstFileStream;
    server.HTTPUploadFiles().SaveDirectory = dir;
    server.HTTPUploadFiles().MaxFileSize = 5000;
    server.MaxRequestBody = 100; // does not apply to bodies going to disk
    std::vector<std::string> events;
    server.OnHTTPUploadBeforeSaveFile = [&](const TkbzWSConnectionServerPtr&, std::string& name,
                                            std::string&) {
        if (name == "rename.txt")
        {
            name = "../renamed.txt"; // reduced to its base name again
        }
    };
    server.OnHTTPUploadAfterSaveFile = [&](const TkbzWSConnectionServerPtr&,
                                           const std::string& name, const std::string&) {
        events.push_back("saved " + name);
    };
    server.OnHTTPUploadReadInput = [&](const TkbzWSConnectionServerPtr&, const std::string& name,
                                       const std::string& value) {
        events.push_back(name + "=" + value);
    };
    server.OnCommandGet = [&](const TkbzWSConnectionServerPtr&, TkbzWSHTTPRequestInfo& rq,
                              TkbzWSHTTPResponseInfo&) {
        events.push_back("command body " + std::to_string(rq.PostBody.size()) + " length " +
                         std::to_string(rq.ContentLength));
    };
    const std::string body =
        FieldPart("title", "hello") + FilePart("f", "../../escape.txt", std::string(300, 'e')) +
        FilePart("f", "index.html", "taken") + FilePart("f", "rename.txt", "r") +
        FilePart("f", "..", "refused") + End();
    std::ofstream(f.root / "sub" / "index.html") << "already there";
    for (bool chunked : {false, true})
    {
        SCOPED_TRACE(chunked ? "chunked" : "length");
        events.clear();
        MemoryPeer p(server);
        std::string request = "POST /up HTTP/1.1\r\nHost: a\r\nContent-Type: multipart/form-data; "
                              "boundary=" +
                              kBoundary + "\r\n";
        if (chunked)
        {
            char size[16];
            std::snprintf(size, sizeof size, "%zx", body.size());
            request += "Transfer-Encoding: chunked\r\n\r\n" + std::string(size) + "\r\n" + body +
                       "\r\n0\r\n\r\n";
        }
        else
        {
            request += "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
        }
        const std::string answer = Exchange(p, request);
        EXPECT_EQ(answer.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << answer;
        const std::string suffix = chunked ? "-1" : "";
        EXPECT_EQ(events, (std::vector<std::string>{
                              "title=hello", "saved escape" + suffix + ".txt",
                              "saved index-" + std::string(chunked ? "2" : "1") + ".html",
                              "saved renamed" + suffix + ".txt",
                              "command body 0 length " + std::to_string(body.size())}));
    }
    EXPECT_EQ(Slurp(f.root / "sub" / "escape.txt"), std::string(300, 'e'));
    EXPECT_EQ(Slurp(f.root / "sub" / "index.html"), "already there");
    EXPECT_FALSE(std::filesystem::exists(f.root.parent_path() / "escape.txt"));
    for (const auto& entry : std::filesystem::directory_iterator(f.root / "sub"))
    {
        EXPECT_NE(entry.path().extension(), ".kbz_ps") << "temporary file left";
    }
    // Over the cap for disk: 413 before the body is read.
    MemoryPeer p(server);
    const std::string answer =
        Exchange(p, "POST /up HTTP/1.1\r\nHost: a\r\nContent-Type: multipart/form-data; "
                    "boundary=x\r\nContent-Length: 6000\r\n\r\n");
    EXPECT_EQ(answer.rfind("HTTP/1.1 413 ", 0), 0u) << answer;
}

TEST(ServerHTTP, StreamMessagesPostedOnAKeptConnection)
{
    TkbzWSHTTPServer server;
    server.KeepAlive = true;
    server.FallBack().ServerSentEvents.Enabled = true;
    std::vector<std::string> messages;
    server.OnMessage = [&](const TkbzWSConnectionPtr& c, const std::string& text) {
        messages.push_back(c->GetGuid() + " " + text);
    };
    MemoryPeer stream(server);
    stream.Send("GET /events HTTP/1.1\r\nHost: a\r\nAccept: text/event-stream\r\n\r\n");
    ASSERT_TRUE(stream.RunUntil([&] { return stream.connection->Enabled(); }));
    const std::string guid = stream.connection->GetGuid();

    MemoryPeer poster(server);
    poster.Send("GET / HTTP/1.1\r\nHost: a\r\n\r\nPOST /kbz/xhr/" + guid +
                " HTTP/1.1\r\nHost: a\r\nContent-Length: 5\r\n\r\nhello");
    std::string answers;
    poster.RunUntil([&] {
        answers += poster.ReadAll(10);
        return !messages.empty();
    });
    EXPECT_EQ(messages, std::vector<std::string>{guid + " hello"});
    EXPECT_EQ(Answers(answers).front(), "200 " + kDefaultPage);
}

TEST(ServerHTTP, BearerGuardsTheAPIAndTokenFreeEndpointsComeFirst)
{
    // An authorization server's part: one token-free endpoint, and the tokens it accepts.
    struct Tokens : IkbzWSServerTokenCheck
    {
        bool IsRequestTokenValid(const std::shared_ptr<TkbzWSConnectionServer>&,
                                 const TkbzHeaderList&) override
        {
            return false;
        }
        bool IsBearerTokenValid(const std::shared_ptr<TkbzWSConnectionServer>&,
                                const std::string& token) override
        {
            return token == "good";
        }
        bool DoProcessHTTP(const std::shared_ptr<TkbzWSConnectionServer>&,
                           TkbzWSServerHTTPRequest& request) override
        {
            if (request.Head().Path() != "/token")
            {
                return false;
            }
            TkbzHTTPAnswer a;
            a.Headers.Add("Connection", "close");
            a.Body = "token endpoint";
            request.Answer(a);
            return true;
        }
    } tokens;
    struct Api : TkbzWSAPI
    {
        bool DoHTTPRequest(const TkbzWSConnectionServerPtr&, const TkbzWSAPIRequest& r,
                           TkbzWSAPIResponse& a) override
        {
            a.Content = "api " + r.Document;
            return true;
        }
    };
    struct Case
    {
        const char* name;
        std::string requests;
        std::vector<std::string> answers;
    };
    const std::string bearer = "Authorization: Bearer good\r\n";
    const Case cases[] = {
        {"token-free endpoint", "GET /token HTTP/1.1\r\nHost: a\r\n\r\n", {"200 token endpoint"}},
        {"API with a token", "GET /x HTTP/1.1\r\nHost: a\r\n" + bearer + "\r\n", {"200 api /x"}},
        {"API without one",
         "GET /x HTTP/1.1\r\nHost: a\r\n\r\n",
         {"401 <HTML><BODY><B>401 Unauthorized</B></BODY></HTML>"}},
        {"kept: a token each time",
         "GET /x HTTP/1.1\r\nHost: a\r\n" + bearer + "\r\nGET /y HTTP/1.1\r\nHost: a\r\n" + bearer +
             "\r\nGET /z HTTP/1.1\r\nHost: a\r\n\r\n",
         {"200 api /x", "200 api /y", "401 <HTML><BODY><B>401 Unauthorized</B></BODY></HTML>"}},
        {"kept: the endpoint after an API request",
         "GET /x HTTP/1.1\r\nHost: a\r\n" + bearer + "\r\nGET /token HTTP/1.1\r\nHost: a\r\n\r\n",
         {"200 api /x", "200 token endpoint"}},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        TkbzWSHTTPServer server;
        server.KeepAlive = true;
        server.Authentication().Enabled = true;
        server.Authentication().OAuth.OAuth2 = &tokens;
        server.RegisterAPI(std::make_shared<Api>());
        MemoryPeer p(server);
        p.connection->FServerSSL = true; // the authorization server guards TLS connections
        p.Send(c.requests);
        std::string stream;
        p.RunUntil([&] {
            stream += p.ReadAll(10);
            return Answers(stream).size() >= c.answers.size();
        });
        EXPECT_EQ(Answers(stream), c.answers) << stream;
    }
}
