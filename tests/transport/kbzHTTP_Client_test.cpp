// The HTTP client against a scripted loopback server that writes exactly the
// bytes each case wants, so broken answers are as easy as good ones.
#include "tests/support/kbzTestProcess.h"
#include "tests/transport/kbzLoopback.h"
#include "transport/kbzHTTP_Client.h"

#include <atomic>
#include <functional>
#include <gtest/gtest.h>
#include <mutex>
#include <thread>

namespace kbz
{
namespace
{

using namespace std::chrono_literals;

// One accepted connection of the scripted server.
class Session
{
public:
    explicit Session(TkbzSocket s) : FChannel(std::move(s)) {}

    // The next request head (up to its empty line) and a body of the length
    // it announces; nothing when the client closed or 5 s passed.
    std::optional<std::string> ReadRequest()
    {
        for (;;)
        {
            const std::size_t end = FBuffer.find("\r\n\r\n");
            if (end != std::string::npos)
            {
                std::size_t length = 0;
                const std::size_t cl = FBuffer.find("Content-Length: ");
                if (cl != std::string::npos && cl < end)
                {
                    length = std::stoul(FBuffer.substr(cl + 16));
                }
                if (FBuffer.size() >= end + 4 + length)
                {
                    std::string request = FBuffer.substr(0, end + 4 + length);
                    FBuffer.erase(0, request.size());
                    return request;
                }
            }
            // What one read brings, within 5 s.
            std::uint8_t buf[65536];
            if (!FChannel.Readable(5000))
            {
                return std::nullopt;
            }
            const std::size_t got = FChannel.Recv(buf, sizeof buf);
            if (got == 0)
            {
                return std::nullopt;
            }
            FBuffer.append(reinterpret_cast<const char*>(buf), got);
        }
    }
    void Send(std::string_view bytes) { test::SendText(FChannel, bytes); }
    void Close() { FChannel.Shutdown(); }

private:
    TkbzSocketIOHandler FChannel;
    std::string FBuffer;
};

class ScriptedServer
{
public:
    using Script = std::function<void(Session&, int index)>;

    explicit ScriptedServer(Script script) : FScript(std::move(script))
    {
        FThread = std::thread([this] {
            while (!FStop.load())
            {
                TkbzSocket s = FListener.Accept(50);
                if (!s.Valid())
                {
                    continue;
                }
                Session session(std::move(s));
                const int index = FAccepted++;
                try
                {
                    FScript(session, index);
                }
                catch (...)
                {}
            }
        });
    }
    ~ScriptedServer()
    {
        FStop.store(true);
        FThread.join();
    }
    std::string Url(const std::string& path = "/") const
    {
        return "http://127.0.0.1:" + std::to_string(FListener.Port()) + path;
    }
    int Accepted() const { return FAccepted.load(); }

private:
    test::LoopbackListener FListener;
    Script FScript;
    std::atomic<bool> FStop{false};
    std::atomic<int> FAccepted{0};
    std::thread FThread;
};

std::string Outcome(TkbzHTTPClient& client, const std::string& url, const char* method = "GET")
{
    try
    {
        const TkbzHTTPResponse r = client.Request(method, url);
        return std::to_string(r.Status()) + " " + r.Body;
    }
    catch (const Exception& e)
    {
        return e.ClassName() + ": " + e.Message();
    }
}

TEST(HTTPClient, AnswersOfEveryFraming)
{
    struct Case
    {
        const char* name;
        std::string answer;
        std::size_t piece;
        const char* method;
        std::string expected;
    };
    const std::string chunked = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"
                                "4\r\nWiki\r\n5;x=y\r\npedia\r\n0\r\nT: 1\r\n\r\n";
    const Case cases[] = {
        {"length", "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello", 0, "GET", "200 hello"},
        {"length byte by byte", "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello", 1, "GET",
         "200 hello"},
        {"chunked", chunked, 0, "GET", "200 Wikipedia"},
        {"chunked in pieces of 3", chunked, 3, "GET", "200 Wikipedia"},
        {"until the server closes", "HTTP/1.0 200 OK\r\n\r\nall of it", 0, "GET", "200 all of it"},
        {"no content", "HTTP/1.1 204 No Content\r\n\r\n", 0, "GET", "204 "},
        {"HEAD with a length", "HTTP/1.1 200 OK\r\nContent-Length: 99\r\n\r\n", 0, "HEAD", "200 "},
        {"an interim answer first",
         "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 404 Not Found\r\n"
         "Content-Length: 1\r\n\r\nx",
         0, "GET", "404 x"},
        {"not HTTP", "SSH-2.0-x\r\n", 0, "GET", "EIdHTTPProtocolException: Not an HTTP answer"},
        {"head too large", "HTTP/1.1 200 OK\r\nX: " + std::string(20000, 'a') + "\r\n\r\n", 0,
         "GET", "EIdHTTPProtocolException: Invalid answer: Request header fields too large"},
        {"body too large", "HTTP/1.1 200 OK\r\nContent-Length: 2000000\r\n\r\n", 0, "GET",
         "EIdHTTPProtocolException: Answer body too large"},
        {"bad chunk", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\n", 0, "GET",
         "EIdHTTPProtocolException: Invalid answer body: Invalid chunk size"},
        {"cut short", "HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nabc", 0, "GET",
         "EIdConnClosedGracefully: Connection closed before the answer's end."},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        const bool closes =
            c.answer.find("HTTP/1.0") == 0 || c.answer.find("abc") != std::string::npos;
        ScriptedServer server([&](Session& s, int) {
            if (!s.ReadRequest())
            {
                return;
            }
            const std::size_t piece = c.piece ? c.piece : c.answer.size();
            for (std::size_t i = 0; i < c.answer.size(); i += piece)
            {
                s.Send(std::string_view(c.answer).substr(i, piece));
            }
            if (closes)
            {
                s.Close();
                return;
            }
            s.ReadRequest(); // until the client closes
        });
        TkbzHTTPClient client;
        client.MaxBody = 1000000;
        EXPECT_EQ(Outcome(client, server.Url("/x"), c.method), c.expected);
    }
}

TEST(HTTPClient, RequestsCarryTheirFieldsAndBody)
{
    std::mutex lock;
    std::vector<std::string> requests;
    ScriptedServer server([&](Session& s, int) {
        while (auto r = s.ReadRequest())
        {
            {
                std::lock_guard guard(lock);
                requests.push_back(*r);
            }
            s.Send("HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n");
        }
    });
    TkbzHTTPClient client;
    TkbzHTTPHeaders extra;
    extra.Add("X-Test", "1");
    EXPECT_EQ(client.Post(server.Url("/p?q=1"), "a=b", "application/x-www-form-urlencoded", extra)
                  .Status(),
              200);
    EXPECT_EQ(client.Get(server.Url()).Status(), 200);
    std::lock_guard guard(lock);
    ASSERT_EQ(requests.size(), 2u);
    const std::string host = server.Url().substr(7, server.Url().size() - 8);
    EXPECT_EQ(requests[0],
              "POST /p?q=1 HTTP/1.1\r\nHost: " + host +
                  "\r\nX-Test: 1\r\nContent-Type: application/x-www-form-urlencoded\r\n"
                  "User-Agent: " +
                  std::string(kbzHTTPUserAgent) +
                  "\r\nAccept: */*\r\n"
                  "Content-Length: 3\r\n\r\na=b");
    EXPECT_EQ(requests[1].rfind("GET / HTTP/1.1\r\n", 0), 0u);
    // Both on the one kept connection.
    EXPECT_EQ(server.Accepted(), 1);
}

TEST(HTTPClient, AStaleKeptConnectionIsReplacedForRepeatableRequests)
{
    // The server answers one request per connection and then hangs up
    // without saying so (no "Connection: close").
    ScriptedServer server([](Session& s, int index) {
        if (s.ReadRequest())
        {
            s.Send("HTTP/1.1 200 OK\r\nContent-Length: 1\r\n\r\n" + std::to_string(index));
        }
        s.Close();
    });
    TkbzHTTPClient client;
    EXPECT_EQ(Outcome(client, server.Url()), "200 0");
    ASSERT_TRUE(test::WaitUntil([&] { return server.Accepted() == 1; }, 5s));
    std::this_thread::sleep_for(
        50ms); // let the server's close arrive first (not a synchronisation)
    EXPECT_EQ(Outcome(client, server.Url()), "200 1");
    EXPECT_EQ(server.Accepted(), 2);
}

TEST(HTTPClient, RedirectsAreFollowedWhenAsked)
{
    ScriptedServer server([](Session& s, int) {
        while (auto r = s.ReadRequest())
        {
            if (r->rfind("POST /start ", 0) == 0)
            {
                s.Send("HTTP/1.1 303 See Other\r\nLocation: next?a=1\r\nContent-Length: 0\r\n\r\n");
            }
            else if (r->rfind("GET /next?a=1 ", 0) == 0)
            {
                s.Send("HTTP/1.1 307 Temporary Redirect\r\nLocation: /final\r\n"
                       "Content-Length: 0\r\n\r\n");
            }
            else
            {
                const std::string line = r->substr(0, r->find("\r\n"));
                s.Send("HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(line.size()) +
                       "\r\n\r\n" + line);
            }
        }
    });
    TkbzHTTPClient client;
    EXPECT_EQ(client.Post(server.Url("/start"), "x", "text/plain").Status(), 303);
    client.MaxRedirects = 5;
    const TkbzHTTPResponse r = client.Post(server.Url("/start"), "x", "text/plain");
    EXPECT_EQ(r.Body, "GET /final HTTP/1.1");
    EXPECT_EQ(r.URL, server.Url("/final"));
}

TEST(HTTPClient, TimeLimitsAndCancel)
{
    // A server that reads the request and never answers.
    std::atomic<int> requests{0};
    ScriptedServer server([&](Session& s, int) {
        if (s.ReadRequest())
        {
            ++requests;
            s.ReadRequest();
        }
    });
    {
        TkbzHTTPClient client;
        client.ReadTimeout = 300;
        EXPECT_EQ(Outcome(client, server.Url()), "EIdReadTimeout: Read timed out.");
    }
    {
        TkbzHTTPClient client;
        client.ReadTimeout = 0; // no limit: only the cancel ends it
        std::thread canceller([&] {
            ASSERT_TRUE(test::WaitUntil([&] { return requests.load() == 2; }, 10s));
            client.Cancel();
        });
        EXPECT_EQ(Outcome(client, server.Url()), "EIdClosedSocket: Request cancelled.");
        canceller.join();
    }
    TkbzHTTPClient client;
    EXPECT_THROW(client.Get("ftp://127.0.0.1/"), EArgumentException);
    EXPECT_THROW(client.Get("http://127.0.0.1:70000/"), EConvertError);
}

} // namespace
} // namespace kbz
