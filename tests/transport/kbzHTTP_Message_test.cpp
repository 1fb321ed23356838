#include "tests/transport/kbzLoopback.h"
#include "transport/kbzHTTP_Message.h"

#include <functional>
#include <gtest/gtest.h>

namespace kbz
{
namespace
{

using enum TkbzHTTPParseStatus;
using enum TkbzHTTPHeadKind;

// Every way of cutting the bytes into reads that the tests try: whole, in
// every two-way split, and one byte at a time.
std::vector<std::vector<std::size_t>> Cuts(std::size_t size)
{
    std::vector<std::vector<std::size_t>> cuts;
    cuts.push_back({size});
    for (std::size_t at = 1; at < size; ++at)
    {
        cuts.push_back({at, size});
    }
    std::vector<std::size_t> bytewise;
    for (std::size_t n = 1; n <= size; ++n)
    {
        bytewise.push_back(n);
    }
    cuts.push_back(bytewise);
    return cuts;
}

// A parsed head in one line, for comparing results.
std::string Describe(TkbzHTTPParseStatus status, const TkbzHTTPHeadParser& p)
{
    switch (status)
    {
    case hpsNeedMore:
        return "need more";
    case hpsNotHTTP:
        return "not http";
    case hpsError:
        return "error " + std::to_string(p.ErrorStatus());
    case hpsComplete:
        break;
    }
    const TkbzHTTPHead& h = p.Head();
    std::string text = h.Kind == hkRequest
                           ? h.Method + " " + h.Target + " " + h.Version()
                           : h.Version() + " " + std::to_string(h.Status) + " [" + h.Reason + "]";
    for (const TkbzHTTPHeaderField& f : h.Headers)
    {
        text += " | " + f.Name + "=" + f.Value;
    }
    return text + " | length " + std::to_string(h.Length) + " | lines " +
           std::to_string(h.Lines.size());
}

// Feeds growing prefixes, as a connection's buffer grows, until a verdict.
std::string ParseCut(TkbzHTTPHeadKind kind, const std::string& bytes,
                     const std::vector<std::size_t>& cut, TkbzHTTPLimits limits)
{
    TkbzHTTPHeadParser parser(kind, limits);
    TkbzHTTPParseStatus status = hpsNeedMore;
    for (std::size_t end : cut)
    {
        status = parser.Parse(std::string_view(bytes).substr(0, end));
        if (status != hpsNeedMore)
        {
            break;
        }
    }
    return Describe(status, parser);
}

TEST(HTTPHeadParser, SameVerdictHoweverTheBytesAreCut)
{
    struct Case
    {
        const char* name;
        TkbzHTTPHeadKind kind;
        std::string bytes;
        std::string expected;
    };
    const std::string hixie = "GET /demo HTTP/1.1\r\nHost: example.com\r\nConnection: Upgrade\r\n"
                              "Sec-WebSocket-Key2: 12998 5 Y3 1  .P00\r\n\r\n^n:ds[4U";
    const std::vector<Case> cases = {
        {"request", hkRequest, "GET /a?b=1 HTTP/1.1\r\nHost: h\r\n\r\n",
         "GET /a?b=1 HTTP/1.1 | Host=h | length 32 | lines 2"},
        {"LF line ends", hkRequest, "GET / HTTP/1.0\nHost: h\n\n",
         "GET / HTTP/1.0 | Host=h | length 24 | lines 2"},
        {"empty lines before the request line", hkRequest, "\r\nPUT /x HTTP/1.1\r\n\r\n",
         "PUT /x HTTP/1.1 | length 21 | lines 1"},
        {"blanks around values, empty value, repeated name", hkRequest,
         "GET / HTTP/1.1\r\nA:\t x y \t\r\nB:\r\na: 2\r\n\r\n",
         "GET / HTTP/1.1 | A=x y | B= | a=2 | length 39 | lines 4"},
        {"body after the head stays", hkRequest, "POST /p HTTP/1.1\r\nContent-Length: 2\r\n\r\nab",
         "POST /p HTTP/1.1 | Content-Length=2 | length 39 | lines 2"},
        {"key bytes after a Hixie-76 head stay", hkRequest, hixie,
         "GET /demo HTTP/1.1 | Host=example.com | Connection=Upgrade | "
         "Sec-WebSocket-Key2=12998 5 Y3 1  .P00 | length " +
             std::to_string(hixie.size() - 8) + " | lines 4"},
        {"non-ASCII bytes in a value", hkRequest, "GET / HTTP/1.1\r\nX: \xC3\xA9\r\n\r\n",
         "GET / HTTP/1.1 | X=\xC3\xA9 | length 25 | lines 2"},
        {"policy request", hkRequest, std::string("<policy-file-request/>\0", 23), "not http"},
        {"JSON command", hkRequest, "{\"message\":\"heartbeat\"}\n", "not http"},
        {"TLS hello", hkRequest, std::string("\x16\x03\x01\x02\x00\x01", 6), "not http"},
        {"a line of another protocol", hkRequest, "HELLO there\r\n", "not http"},
        {"request line without version", hkRequest, "GET /\r\n\r\n", "not http"},
        {"doubled blank", hkRequest, "GET  / HTTP/1.1\r\n\r\n", "not http"},
        {"blank inside the target", hkRequest, "GET /a b HTTP/1.1\r\n\r\n", "not http"},
        {"bad version", hkRequest, "GET / HTTP/1.x\r\n\r\n", "error 400"},
        {"HTTP/2 preface", hkRequest, "PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n", "error 505"},
        {"folded line", hkRequest, "GET / HTTP/1.1\r\nA: 1\r\n 2\r\n\r\n", "error 400"},
        {"blank before the colon", hkRequest, "GET / HTTP/1.1\r\nHost : h\r\n\r\n", "error 400"},
        {"line without colon", hkRequest, "GET / HTTP/1.1\r\nHost\r\n\r\n", "error 400"},
        {"NUL in a value", hkRequest, std::string("GET / HTTP/1.1\r\nA: \0\r\n\r\n", 23),
         "error 400"},
        {"bare CR in a value", hkRequest, "GET / HTTP/1.1\r\nA: x\ry\r\n\r\n", "error 400"},
        {"answer", hkResponse,
         "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\n\r\n\x81\x00",
         "HTTP/1.1 101 [Switching Protocols] | Upgrade=websocket | length 56 | lines 2"},
        {"answer without reason", hkResponse, "HTTP/1.0 200\r\n\r\n",
         "HTTP/1.0 200 [] | length 16 | lines 1"},
        {"answer with blanks before a colon", hkResponse, "HTTP/1.1 404 Not Found\r\nA : b\r\n\r\n",
         "HTTP/1.1 404 [Not Found] | A=b | length 33 | lines 2"},
        {"four-digit status", hkResponse, "HTTP/1.1 1010 Whatever\r\n\r\n", "error 400"},
        {"not an answer", hkResponse, "SSH-2.0-OpenSSH_9\r\n", "not http"},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        for (const auto& cut : Cuts(c.bytes.size()))
        {
            SCOPED_TRACE(cut.size() == 2 ? "split at " + std::to_string(cut[0])
                                         : std::to_string(cut.size()) + " reads");
            ASSERT_EQ(ParseCut(c.kind, c.bytes, cut, {}), c.expected);
        }
    }
}

TEST(HTTPHeadParser, LimitsOfSizeAndFieldCount)
{
    TkbzHTTPLimits limits;
    limits.MaxHeadSize = 64;
    limits.MaxFields = 3;
    struct Case
    {
        const char* name;
        std::string bytes;
        std::string expected;
    };
    const std::string line = "GET / HTTP/1.1\r\n";
    const Case cases[] = {
        {"exactly at the limit", line + "X: " + std::string(41, 'a') + "\r\n\r\n",
         "GET / HTTP/1.1 | X=" + std::string(41, 'a') + " | length 64 | lines 2"},
        {"one byte over", line + "X: " + std::string(42, 'a') + "\r\n\r\n", "error 431"},
        {"a long line that never ends", line + std::string(100, 'b'), "error 431"},
        {"a long start line", "GET /" + std::string(100, 'c'), "error 431"},
        {"too many fields", line + "A: 1\r\nB: 2\r\nC: 3\r\nD: 4\r\n\r\n", "error 431"},
        {"a long line of another protocol", std::string(100, 'd') + "{", "not http"},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        for (const auto& cut : Cuts(c.bytes.size()))
        {
            ASSERT_EQ(ParseCut(hkRequest, c.bytes, cut, limits), c.expected);
        }
    }
}

TEST(HTTPHeadParser, ResetReadsThePipelinedNextHead)
{
    const std::string two = "GET /1 HTTP/1.1\r\n\r\nGET /2 HTTP/1.1\r\nConnection: close\r\n\r\n";
    TkbzHTTPHeadParser parser;
    ASSERT_EQ(parser.Parse(two), hpsComplete);
    EXPECT_EQ(parser.Head().Target, "/1");
    EXPECT_TRUE(parser.Head().KeepAlive());
    const std::size_t first = parser.Head().Length;
    parser.Reset();
    ASSERT_EQ(parser.Parse(std::string_view(two).substr(first)), hpsComplete);
    EXPECT_EQ(parser.Head().Target, "/2");
    EXPECT_FALSE(parser.Head().KeepAlive());
}

TEST(HTTPHead, TargetsVersionsAndKeepAlive)
{
    struct Case
    {
        std::string bytes;
        std::string path, query;
        bool keepAlive;
    };
    const Case cases[] = {
        {"GET /a/b.js?v=2#top HTTP/1.1\r\n\r\n", "/a/b.js", "v=2", true},
        {"GET /x#y?z HTTP/1.1\r\nConnection: Close\r\n\r\n", "/x", "", false},
        {"GET /?a&b HTTP/1.1\r\nConnection: keep-alive, close\r\n\r\n", "/", "a&b", false},
        {"GET / HTTP/1.0\r\n\r\n", "/", "", false},
        {"GET / HTTP/1.0\r\nConnection: Keep-Alive\r\n\r\n", "/", "", true},
        {"GET / HTTP/1.0\r\nConnection: upgrade\r\nConnection: keep-alive\r\n\r\n", "/", "", true},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.bytes);
        TkbzHTTPHeadParser parser;
        ASSERT_EQ(parser.Parse(c.bytes), hpsComplete);
        EXPECT_EQ(parser.Head().Path(), c.path);
        EXPECT_EQ(parser.Head().Query(), c.query);
        EXPECT_EQ(parser.Head().KeepAlive(), c.keepAlive);
    }
}

TEST(HTTPHeaders, LookupIgnoresCaseAndListsJoinAcrossFields)
{
    TkbzHTTPHeaders h;
    h.Add("Connection", "keep-alive, Upgrade");
    h.Add("Sec-WebSocket-Protocol", "chat, \"a,b\" ,, x");
    h.Add("connection", "close");
    h.Add("Content-Type", "multipart/form-data; charset=utf-8; boundary=\"--a;b\"");
    h.Add("Accept", "text/plain; q=0.5");

    EXPECT_EQ(h.Get("CONNECTION"), "keep-alive, Upgrade");
    EXPECT_EQ(h.CountOf("connection"), 2u);
    EXPECT_EQ(h.GetList("Connection"), "keep-alive, Upgrade, close");
    EXPECT_TRUE(h.HasToken("connection", "UPGRADE"));
    EXPECT_TRUE(h.HasToken("Connection", "close"));
    EXPECT_FALSE(h.HasToken("Connection", "keep"));
    EXPECT_EQ(h.Tokens("Sec-WebSocket-Protocol"),
              (std::vector<std::string>{"chat", "\"a,b\"", "x"}));
    EXPECT_EQ(h.Param("content-type", "BOUNDARY"), "--a;b");
    EXPECT_EQ(h.Param("content-type", "charset"), "utf-8");
    EXPECT_EQ(h.Param("Accept", "q"), "0.5");
    EXPECT_EQ(h.Param("Accept", "text/plain"), "");
    EXPECT_EQ(h.Param("Missing", "x"), "");
    EXPECT_EQ(h.Find("nothing"), nullptr);

    h.Set("CONNECTION", "close");
    EXPECT_EQ(h.CountOf("Connection"), 1u);
    EXPECT_EQ(h[0].Name, "Connection"); // kept at its place
    EXPECT_EQ(h.Remove("accept"), 1u);
    EXPECT_FALSE(h.Has("Accept"));
}

TEST(HTTPBodyFraming, RequestsAndAnswers)
{
    struct Case
    {
        const char* name;
        std::string head;
        TkbzHTTPBodyKind kind;
        std::uint64_t length;
        int error;
    };
    using enum TkbzHTTPBodyKind;
    const Case requests[] = {
        {"none", "GET / HTTP/1.1\r\n\r\n", hbkNone, 0, 0},
        {"length", "POST / HTTP/1.1\r\nContent-Length: 12\r\n\r\n", hbkLength, 12, 0},
        {"zero length", "POST / HTTP/1.1\r\nContent-Length: 0\r\n\r\n", hbkNone, 0, 0},
        {"equal lengths twice", "POST / HTTP/1.1\r\nContent-Length: 3, 3\r\n\r\n", hbkLength, 3, 0},
        {"differing lengths", "POST / HTTP/1.1\r\nContent-Length: 3\r\nContent-Length: 4\r\n\r\n",
         hbkNone, 0, 400},
        {"signed length", "POST / HTTP/1.1\r\nContent-Length: +3\r\n\r\n", hbkNone, 0, 400},
        {"hexadecimal length", "POST / HTTP/1.1\r\nContent-Length: 0x10\r\n\r\n", hbkNone, 0, 400},
        {"empty length", "POST / HTTP/1.1\r\nContent-Length:\r\n\r\n", hbkNone, 0, 400},
        {"chunked", "POST / HTTP/1.1\r\nTransfer-Encoding: Chunked\r\n\r\n", hbkChunked, 0, 0},
        {"chunked and length",
         "POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\nContent-Length: 5\r\n\r\n", hbkNone, 0,
         400},
        {"chunked not last", "POST / HTTP/1.1\r\nTransfer-Encoding: chunked, gzip\r\n\r\n", hbkNone,
         0, 400},
        {"another coding first", "POST / HTTP/1.1\r\nTransfer-Encoding: gzip, chunked\r\n\r\n",
         hbkNone, 0, 501},
        {"chunked in HTTP/1.0", "POST / HTTP/1.0\r\nTransfer-Encoding: chunked\r\n\r\n", hbkNone, 0,
         400},
    };
    for (const Case& c : requests)
    {
        SCOPED_TRACE(c.name);
        TkbzHTTPHeadParser parser;
        ASSERT_EQ(parser.Parse(c.head), hpsComplete);
        const TkbzHTTPBodyFraming f = kbzHTTPRequestFraming(parser.Head());
        EXPECT_EQ(f.Kind, c.kind);
        EXPECT_EQ(f.Length, c.length);
        EXPECT_EQ(f.ErrorStatus, c.error);
    }
    struct AnswerCase
    {
        std::string head;
        const char* method;
        TkbzHTTPBodyKind kind;
    };
    const AnswerCase answers[] = {
        {"HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\n", "GET", hbkLength},
        {"HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\n", "HEAD", hbkNone},
        {"HTTP/1.1 204 No Content\r\n\r\n", "GET", hbkNone},
        {"HTTP/1.1 304 Not Modified\r\nContent-Length: 9\r\n\r\n", "GET", hbkNone},
        {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n", "GET", hbkChunked},
        {"HTTP/1.0 200 OK\r\n\r\n", "GET", hbkUntilClose},
    };
    for (const AnswerCase& c : answers)
    {
        SCOPED_TRACE(c.head);
        TkbzHTTPHeadParser parser(hkResponse);
        ASSERT_EQ(parser.Parse(c.head), hpsComplete);
        EXPECT_EQ(kbzHTTPResponseFraming(parser.Head(), c.method).Kind, c.kind);
    }
}

TkbzHTTPBodyFraming Framing(TkbzHTTPBodyKind kind, std::uint64_t length = 0)
{
    TkbzHTTPBodyFraming f;
    f.Kind = kind;
    f.Length = length;
    return f;
}

// Decodes bytes cut as given; "error N" or the body, then what was left unused.
std::string DecodeCut(const TkbzHTTPBodyFraming& framing, const std::string& bytes,
                      const std::vector<std::size_t>& cut, std::uint64_t maxBody, bool end)
{
    TkbzHTTPBodyDecoder decoder(framing, maxBody);
    std::string body;
    std::size_t used = 0;
    std::size_t previous = 0;
    for (std::size_t stop : cut)
    {
        // Each read hands over what the connection holds: the unused rest and the new bytes.
        used += decoder.Feed(std::string_view(bytes).substr(used, stop - used), body);
        previous = stop;
        if (decoder.Done() || decoder.Failed())
        {
            break;
        }
    }
    (void)previous;
    if (end && !decoder.Done() && !decoder.Failed())
    {
        decoder.End();
    }
    if (decoder.Failed())
    {
        return "error " + std::to_string(decoder.ErrorStatus());
    }
    return (decoder.Done() ? "" : "(more) ") + body + " | rest " + bytes.substr(used);
}

TEST(HTTPBodyDecoder, ChunkedAndLengthBodiesHoweverTheyAreCut)
{
    using enum TkbzHTTPBodyKind;
    struct Case
    {
        const char* name;
        TkbzHTTPBodyFraming framing;
        std::string bytes;
        std::uint64_t maxBody;
        bool end; // the stream ends after the bytes
        std::string expected;
    };
    const TkbzHTTPBodyFraming chunked = Framing(hbkChunked);
    const std::vector<Case> cases = {
        {"length", Framing(hbkLength, 5), "helloGET", 100, false, "hello | rest GET"},
        {"length cut short", Framing(hbkLength, 5), "hel", 100, true, "error 400"},
        {"length over the cap", Framing(hbkLength, 5), "hello", 4, false, "error 413"},
        {"chunks", chunked, "5\r\nhello\r\n6;ext=\"1\"\r\n world\r\n0\r\n\r\nNEXT", 100, false,
         "hello world | rest NEXT"},
        {"upper-case hex, LF ends, trailers", chunked, "A\nabcdefghij\n0\nX-T: 1\n\nZ", 100, false,
         "abcdefghij | rest Z"},
        {"blanks after the size", chunked, "3 \r\nabc\r\n0\r\n\r\n", 100, false, "abc | rest "},
        {"over the cap across chunks", chunked, "3\r\nabc\r\n3\r\ndef\r\n0\r\n\r\n", 5, false,
         "error 413"},
        {"no digits", chunked, "\r\nabc", 100, false, "error 400"},
        {"size not hex", chunked, "g\r\n", 100, false, "error 400"},
        {"size too large", chunked, "10000000000000000\r\n", ~std::uint64_t{0}, false, "error 400"},
        {"data longer than its size", chunked, "3\r\nabcd\r\n", 100, false, "error 400"},
        {"stream ends inside", chunked, "3\r\nab", 100, true, "error 400"},
        {"until close", Framing(hbkUntilClose), "all of it", 100, true, "all of it | rest "},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        for (const auto& cut : Cuts(c.bytes.size()))
        {
            ASSERT_EQ(DecodeCut(c.framing, c.bytes, cut, c.maxBody, c.end), c.expected);
        }
    }
}

TEST(HTTPWriter, AnswersAndRequestsAreWrittenExactly)
{
    TkbzHTTPAnswer a;
    a.Status = 404;
    a.Headers.Add("Server", "kbzWebSockets 2023.2.0");
    a.Body = "<b>x</b>";
    EXPECT_EQ(kbzWriteHTTPAnswer(a), "HTTP/1.1 404 Not Found\r\nServer: kbzWebSockets 2023.2.0\r\n"
                                     "Content-Length: 8\r\n\r\n<b>x</b>");
    a.HeadOnly = true;
    EXPECT_EQ(kbzWriteHTTPAnswer(a), "HTTP/1.1 404 Not Found\r\nServer: kbzWebSockets 2023.2.0\r\n"
                                     "Content-Length: 8\r\n\r\n");
    TkbzHTTPAnswer b;
    b.Status = 101;
    b.Headers.Add("Upgrade", "websocket");
    b.Body = "ignored";
    EXPECT_EQ(kbzWriteHTTPAnswer(b),
              "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\n\r\n");
    TkbzHTTPAnswer c;
    c.Reason = "Fine";
    c.AddContentLength = false;
    c.Body = "x";
    EXPECT_EQ(kbzWriteHTTPAnswer(c), "HTTP/1.1 200 Fine\r\n\r\nx");

    TkbzHTTPHeaders h;
    h.Add("Host", "a:1");
    EXPECT_EQ(kbzWriteHTTPRequest("GET", "/x?y", h), "GET /x?y HTTP/1.1\r\nHost: a:1\r\n\r\n");
    EXPECT_EQ(kbzWriteHTTPRequest("POST", "/", h, "ab"),
              "POST / HTTP/1.1\r\nHost: a:1\r\nContent-Length: 2\r\n\r\nab");
    EXPECT_EQ(kbzWriteHTTPRequest("POST", "/", h), "POST / HTTP/1.1\r\nHost: a:1\r\n"
                                                   "Content-Length: 0\r\n\r\n");

    // Nothing that could split the head is written.
    for (const auto& [name, value] : std::vector<std::pair<std::string, std::string>>{
             {"X", "a\r\nSet-Cookie: b"}, {"X", std::string("a\0b", 3)}, {"X Y", "a"}, {"", "a"}})
    {
        TkbzHTTPHeaders bad;
        bad.Add(name, value);
        EXPECT_THROW(kbzWriteHTTPHead("HTTP/1.1 200 OK", bad), EArgumentException) << name;
    }
    EXPECT_THROW(kbzWriteHTTPLines({"HTTP/1.1 200 OK", "A: b\nC: d"}), EArgumentException);
    EXPECT_THROW(kbzWriteHTTPRequest("GET", "/a b", h), EArgumentException);
    EXPECT_EQ(kbzWriteHTTPLines({"HTTP/1.1 101 X", "A: b"}), "HTTP/1.1 101 X\r\nA: b\r\n\r\n");
}

TEST(HTTPTargets, DecodingAndQueries)
{
    struct Case
    {
        std::string in;
        bool ok;
        std::string out;
    };
    const Case paths[] = {
        {"/a%20b/%C3%A9", true, "/a b/\xC3\xA9"},
        {"/%2e%2E/x", true, "/../x"},
        {"/a+b", true, "/a+b"},
        {"/%2fetc", true, "//etc"},
        {"/%00", false, ""},
        {"/%zz", false, ""},
        {"/%4", false, ""},
        {std::string("/a\0", 3), false, ""},
    };
    for (const Case& c : paths)
    {
        SCOPED_TRACE(c.in);
        std::string out;
        EXPECT_EQ(kbzHTTPDecodePath(c.in, out), c.ok);
        if (c.ok)
        {
            EXPECT_EQ(out, c.out);
        }
    }
    using Pairs = std::vector<std::pair<std::string, std::string>>;
    EXPECT_EQ(kbzHTTPParseQuery("a=1&b=x+y%21&&c&=z&d=%zz"),
              (Pairs{{"a", "1"}, {"b", "x y!"}, {"c", ""}, {"", "z"}, {"d", "%zz"}}));
    EXPECT_EQ(kbzHTTPEncodePath("/a b/\xC3\xA9~"), "/a%20b/%C3%A9~");
}

TEST(HTTPHeadLines, LinesParseLikeBytes)
{
    const TkbzHTTPHead h =
        kbzParseHTTPHeadLines({"GET /chat HTTP/1.1", "Host: a", "Upgrade: websocket"}, hkRequest);
    EXPECT_EQ(h.Target, "/chat");
    EXPECT_EQ(h.Headers.Get("upgrade"), "websocket");
    try
    {
        (void)kbzParseHTTPHeadLines({"GET / HTTP/1.1", "Bad Name: x"}, hkRequest);
        FAIL() << "no error";
    }
    catch (const EIdHTTPProtocolException& e)
    {
        EXPECT_EQ(e.Status(), 400);
    }
    EXPECT_THROW((void)kbzParseHTTPHeadLines({"GET / HTTP/1.1", "A: b\r\nC: d"}, hkRequest),
                 EArgumentException);
}

// The head read from a live connection, in pieces, leaves the bytes after it.
TEST(HTTPHeadRead, FromABufferedConnection)
{
    auto [a, b] = kbzMemoryIOHandlerPair();
    TkbzIdTCPConnection connection(std::move(b));
    test::SendText(*a, "HTTP/1.1 200 OK\r\nConte");
    test::SendText(*a, "nt-Length: 3\r\n\r\nabcNEXT");
    const TkbzHTTPHead head = kbzReadHTTPHead(connection, hkResponse, 5000);
    EXPECT_EQ(head.Status, 200);
    EXPECT_EQ(head.Headers.Get("Content-Length"), "3");
    EXPECT_EQ(connection.InputBufferAsString(), "abcNEXT");

    test::SendText(*a, "garbage\r\n");
    EXPECT_THROW((void)kbzReadHTTPHead(connection, hkRequest, 5000), EIdHTTPProtocolException);
    connection.InputBufferClear();
    test::SendText(*a, "HTTP/1.1 200");
    a->Shutdown();
    EXPECT_THROW((void)kbzReadHTTPHead(connection, hkResponse, 5000), EIdConnClosedGracefully);
}

} // namespace
} // namespace kbz
