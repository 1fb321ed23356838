#include "base/kbzBase_Classes.h"
#include "base/kbzWebSocket_Helpers.h"
#include "base/kbzWebSocket_Types.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace kbz
{
namespace
{

// ---- URL splitting ------------------------------------------------------------------------------

// The version texts are generated from the build's project version; what is checked here is
// their shape, which peers (Server headers) and the console banner show.
TEST(kbzVersion, TextsAreBuiltFromTheProjectVersion)
{
    const std::string version = std::to_string(KBZ_VERSION_MAJOR) + "." +
                                std::to_string(KBZ_VERSION_MINOR) + "." +
                                std::to_string(KBZ_VERSION_PATCH);
    EXPECT_EQ(kbzLibraryVersion, version);
    EXPECT_EQ(KBZ_VERSION, version);
    EXPECT_EQ(kbzServerSoftware, "kbzWebSockets " + version);
    const std::string console = kbzConsoleVersion;
    EXPECT_EQ(console.rfind("version ", 0), 0u);
    EXPECT_EQ(std::count(console.begin(), console.end(), '.'), 2);
}

TEST(kbzParseURL, SplitsSchemeHostPortPathAndQuery)
{
    struct Case
    {
        const char* url;
        const char* protocol;
        const char* host;
        const char* port;
        const char* path;
        const char* params;
    };
    const Case cases[] = {
        {"ws://localhost:8080/chat", "ws", "localhost", "8080", "/chat", ""},
        {"wss://echo.example.org/a/b/c.html?x=1&y=2", "wss", "echo.example.org", "", "/a/b/c.html",
         "x=1&y=2"},
        {"tcp://127.0.0.1:9000", "tcp", "127.0.0.1", "9000", "", ""},
        {"tcps://127.0.0.1:9443/", "tcps", "127.0.0.1", "9443", "/", ""},
        {"ws://host", "ws", "host", "", "", ""},
        {"ws://host?only=query", "ws", "host", "", "", "only=query"},
        {"ws://[::1]:8080/x", "ws", "::1", "8080", "/x", ""},
        {"ws://[fe80::1%25eth0]/x", "ws", "fe80::1%25eth0", "", "/x", ""},
        {"ws://[::1]", "ws", "::1", "", "", ""},
        {"ws://user:secret@host:81/p", "ws", "host", "81", "/p", ""},
        {"ws://a@b@host/p", "ws", "host", "", "/p", ""},
        {"ws://host/p#frag?not-query", "ws", "host", "", "/p", ""},
        {"ws://host:abc/p", "ws", "host", "abc", "/p", ""},
        {"ws://host/p?a=1?b=2", "ws", "host", "", "/p", "a=1?b=2"},
        {"WSS://Host/P", "WSS", "Host", "", "/P", ""},
        {"ws://host/p://q", "ws", "host", "", "/p://q", ""},
        {"localhost:8080/chat", "", "localhost", "8080", "/chat", ""},
        {"/chat?x=1", "", "", "", "/chat", "x=1"},
        {"", "", "", "", "", ""},
        {"ws://", "ws", "", "", "", ""},
        {"ws://[::1", "ws", "::1", "", "", ""},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.url);
        std::string protocol = "stale", host = "stale", port = "stale", path = "stale",
                    params = "stale";
        kbzParseURL(c.url, protocol, host, port, path, params);
        EXPECT_EQ(protocol, c.protocol);
        EXPECT_EQ(host, c.host);
        EXPECT_EQ(port, c.port);
        EXPECT_EQ(path, c.path);
        EXPECT_EQ(params, c.params);
    }
}

TEST(kbzParseHostPort, NeedsExactlyThreePieces)
{
    struct Case
    {
        const char* text;
        bool ok;
        const char* host;
        int port;
        bool tls;
    };
    const Case cases[] = {
        {"wss://10.0.0.1:443", true, "10.0.0.1", 443, true},
        {"WsS://10.0.0.1:443", true, "10.0.0.1", 443, true},
        {"ws://host:80", true, "host", 80, false},
        {"https://host:80", true, "host", 80, false},
        {"x:/h/o/s/t/:1", true, "host", 1, false},
        {"host:80", false, "unchanged", -1, true},
        {"ws://[::1]:80", false, "unchanged", -1, true},
        {"", false, "unchanged", -1, true},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.text);
        std::string host = "unchanged";
        int port = -1;
        bool tls = true;
        EXPECT_EQ(kbzParseHostPort(c.text, host, port, tls), c.ok);
        EXPECT_EQ(host, c.host);
        EXPECT_EQ(port, c.port);
        EXPECT_EQ(tls, c.tls);
    }
    std::string host;
    int port = 0;
    bool tls = false;
    try
    {
        kbzParseHostPort("ws://host:http", host, port, tls);
        ADD_FAILURE() << "no error";
    }
    catch (const EConvertError& e)
    {
        EXPECT_EQ(e.Message(), "'http' is not a valid integer value");
    }
}

// ---- Request heads ------------------------------------------------------------------------------

TEST(kbzRequestHead, PathsQueriesAndResourceNames)
{
    struct Case
    {
        std::vector<std::string> head;
        const char* get;
        const char* post;
        const char* request;
        const char* query;
    };
    const Case cases[] = {
        {{"GET /chat?a=1 HTTP/1.1", "Host: x"}, "/chat?a=1", "", "/chat?a=1", "a=1"},
        {{"POST /kbz/xhr/abc HTTP/1.1"}, "", "/kbz/xhr/abc", "/kbz/xhr/abc", ""},
        {{"get /low HTTP/1.1"}, "/low", "", "/low", ""},
        {{"PUT /put HTTP/1.1"}, "", "", "/put", ""},
        {{"DELETE /items/7 HTTP/1.0"}, "", "", "/items/7", ""},
        {{"GET /a?b?c HTTP/1.1"}, "/a?b?c", "", "/a?b?c", "b?c"},
        {{"GET  /spaced  HTTP/1.1"}, "/spaced", "", "/spaced", ""},
        {{"GET /no-version"}, "", "", "", ""},
        {{"<policy-file-request/>"}, "", "", "", ""},
        {{}, "", "", "", ""},
        {{""}, "", "", "", ""},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.head.empty() ? "(no lines)" : c.head[0]);
        EXPECT_EQ(kbzGetGETPath(c.head), c.get);
        EXPECT_EQ(kbzGetPOSTPath(c.head), c.post);
        EXPECT_EQ(kbzGetRequestPath(c.head), c.request);
        EXPECT_EQ(kbzGetGETQuery(c.head), c.query);
    }
    EXPECT_EQ(kbzGetGETLine({"GET / HTTP/1.1"}), "GET / HTTP/1.1");
    EXPECT_EQ(kbzGetPOSTLine({"GET / HTTP/1.1"}), "");

    struct Name
    {
        const char* line;
        const char* name;
    };
    const Name names[] = {
        {"GET /js/app.js HTTP/1.1", "app.js"},
        {"GET / HTTP/1.1", ""},
        {"GET /kbzWebSockets.js HTTP/1.1", "kbzWebSockets.js"},
        {"GET /a/b.js?v=2 HTTP/1.1", "b.js?v=2"},
        {"GET /js/app.js", ""},
        {"", ""},
    };
    for (const auto& n : names)
    {
        SCOPED_TRACE(n.line);
        EXPECT_EQ(kbzGetResourceName(n.line), n.name);
    }
}

TEST(kbzRequestHead, Classification)
{
    enum Kind : unsigned
    {
        HTTP = 1,
        Upgrade = 2,
        Policy = 4,
        EventStream = 8,
        XHR = 16,
        ProtocolPOST = 32,
        AuthSession = 64,
        AuthURL = 128,
        AuthSessionURL = 256,
    };
    struct Case
    {
        const char* name;
        std::vector<std::string> head;
        unsigned kinds;
    };
    const Case cases[] = {
        {"websocket upgrade",
         {"GET /chat HTTP/1.1", "Host: h", "Upgrade: websocket", "Connection: Upgrade"},
         HTTP | Upgrade},
        {"upgrade header in other case", {"GET / HTTP/1.1", "UPGRADE: WebSocket"}, HTTP | Upgrade},
        {"upgrade in the request line", {"GET /Upgrade: websocket HTTP/1.1"}, HTTP | Upgrade},
        {"upgrade needs GET", {"POST / HTTP/1.1", "Upgrade: websocket"}, HTTP},
        {"upgrade needs HTTP/1.x", {"GET / HTTP/2", "Upgrade: websocket"}, 0},
        {"plain page", {"GET /index.html HTTP/1.1", "Host: h"}, HTTP},
        {"policy file", {"<policy-file-request/>"}, Policy},
        {"policy file in capitals", {"<POLICY-FILE-REQUEST/>"}, 0},
        {"event stream",
         {"GET /kbz/sse HTTP/1.1", "Accept: text/event-stream"},
         HTTP | EventStream},
        {"event stream in capitals",
         {"GET / HTTP/1.1", "ACCEPT: TEXT/EVENT-STREAM"},
         HTTP | EventStream},
        {"accept listing more types", {"GET / HTTP/1.1", "Accept: text/event-stream, */*"}, HTTP},
        {"xhr", {"POST /kbz/xhr/123 HTTP/1.1"}, HTTP | XHR},
        {"xhr needs POST", {"GET /kbz/xhr/123 HTTP/1.1"}, HTTP},
        {"protocol post", {"POST /kbz/protocol/x HTTP/1.1"}, HTTP | ProtocolPOST},
        {"auth session", {"GET /kbz/req/auth/session/?u=1 HTTP/1.1"}, HTTP | AuthSession},
        {"auth session any case", {"get /KBZ/REQ/AUTH/SESSION/ HTTP/1.1"}, HTTP | AuthSession},
        {"auth url", {"GET /kbz/auth/url/?p=1 HTTP/1.1"}, HTTP | AuthURL},
        {"auth url is case-sensitive", {"GET /KBZ/AUTH/URL/ HTTP/1.1"}, HTTP},
        {"auth session url", {"GET /kbz/auth/session/x HTTP/1.1"}, HTTP | AuthSessionURL},
        {"no lines", {}, 0},
        {"empty line", {""}, 0},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(kbzIsHTTPRequest(c.head), (c.kinds & HTTP) != 0);
        EXPECT_EQ(kbzIsWebSocketUpgrade(c.head), (c.kinds & Upgrade) != 0);
        EXPECT_EQ(kbzIsPolicyFileRequest(c.head), (c.kinds & Policy) != 0);
        EXPECT_EQ(kbzIsEventStreamRequest(c.head), (c.kinds & EventStream) != 0);
        EXPECT_EQ(kbzIsXHRRequest(c.head), (c.kinds & XHR) != 0);
        EXPECT_EQ(kbzIsProtocolPOSTRequest(c.head), (c.kinds & ProtocolPOST) != 0);
        EXPECT_EQ(kbzIsAuthSessionRequest(c.head), (c.kinds & AuthSession) != 0);
        EXPECT_EQ(kbzIsAuthURLRequest(c.head), (c.kinds & AuthURL) != 0);
        EXPECT_EQ(kbzIsAuthSessionURLRequest(c.head), (c.kinds & AuthSessionURL) != 0);
    }

    const std::vector<std::string> js = {"GET /js/kbzWebSockets.js HTTP/1.1"};
    EXPECT_TRUE(kbzIsResourceRequest(js, "kbzWebSockets.js"));
    EXPECT_TRUE(kbzIsResourceRequest(js, "KBZWEBSOCKETS.JS"));
    EXPECT_FALSE(kbzIsResourceRequest(js, "other.js"));
    EXPECT_FALSE(kbzIsResourceRequest({}, "kbzWebSockets.js"));
}

TEST(kbzRequestHead, CredentialsOnlyFromTheAuthorizationHeader)
{
    // "dXNlcjpwYXNz" is user:pass; "Wm/rOnB3" is Latin-1 "Zoë:pw"; "Wm/Dqzpwdw==" UTF-8 "Zoë:pw".
    struct Case
    {
        const char* name;
        std::vector<std::string> head;
        bool has;
        bool hasBasic;
        const char* basic;
        const char* bearer;
    };
    // clang-format off
    const Case cases[] = {
        {"basic", {"GET / HTTP/1.1", "Authorization: Basic dXNlcjpwYXNz"}, true, true,
         "user:pass", ""},
        {"lower-case name and scheme", {"GET / HTTP/1.1", "authorization: basic dXNlcjpwYXNz"},
         true, true, "user:pass", ""},
        {"extra blanks", {"GET / HTTP/1.1", "Authorization:   Basic    dXNlcjpwYXNz  "}, true, true,
         "user:pass", ""},
        {"latin-1 credentials", {"GET / HTTP/1.1", "Authorization: Basic Wm/rOnB3"}, true, true,
         "Zo\xC3\xAB:pw", ""},
        {"utf-8 credentials", {"GET / HTTP/1.1", "Authorization: Basic Wm/Dqzpwdw=="}, true, true,
         "Zo\xC3\xAB:pw", ""},
        {"bearer", {"GET / HTTP/1.1", "Authorization: Bearer abc.def.ghi"}, true, false, "",
         "abc.def.ghi"},
        {"bearer any case", {"GET / HTTP/1.1", "AUTHORIZATION: BEARER tok"}, true, false, "",
         "tok"},
        {"proxy authorization is not ours",
         {"GET / HTTP/1.1", "Proxy-Authorization: Basic dXNlcjpwYXNz"}, false, false, "", ""},
        {"prefixed name is not ours", {"GET / HTTP/1.1", "X-Authorization: Bearer tok"}, false,
         false, "", ""},
        {"value that merely mentions it",
         {"GET / HTTP/1.1", "Referer: http://x/?Authorization: Basic dXNlcjpwYXNz"}, false, false,
         "", ""},
        {"first matching scheme wins",
         {"GET / HTTP/1.1", "Authorization: Bearer t1", "Authorization: Basic dXNlcjpwYXNz",
          "Authorization: Bearer t2"},
         true, true, "user:pass", "t1"},
        {"scheme glued to more letters", {"GET / HTTP/1.1", "Authorization: BasicdXNlcjpwYXNz"},
         true, false, "", ""},
        {"empty value", {"GET / HTTP/1.1", "Authorization:"}, false, false, "", ""},
        {"other scheme", {"GET / HTTP/1.1", "Authorization: Digest x"}, true, false, "", ""},
        {"no lines", {}, false, false, "", ""},
    };
    // clang-format on
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(kbzHasAuthorization(c.head), c.has);
        EXPECT_EQ(kbzHasBasicAuthorization(c.head), c.hasBasic);
        EXPECT_EQ(kbzGetBasicCredentials(c.head), c.basic);
        EXPECT_EQ(kbzGetBearerToken(c.head), c.bearer);
    }
}

TEST(kbzRequestHead, ContentLength)
{
    struct Case
    {
        std::vector<std::string> head;
        std::int64_t length;
    };
    const Case cases[] = {
        {{"POST / HTTP/1.1", "Content-Length: 12"}, 12},
        {{"POST / HTTP/1.1", "content-length:0"}, 0},
        {{"POST / HTTP/1.1", "CONTENT-LENGTH:   345  "}, 345},
        {{"POST / HTTP/1.1", "Content-Length: 9223372036854775807"}, 9223372036854775807LL},
        {{"POST / HTTP/1.1", "Content-Length: 5", "Content-Length: 6"}, 5},
        {{"POST / HTTP/1.1", "Content-Length:"}, -1},
        {{"POST / HTTP/1.1", "Content-Length-X: 4"}, -1},
        {{"POST / HTTP/1.1"}, -1},
        {{}, -1},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.head.size() > 1 ? c.head[1] : "(none)");
        EXPECT_EQ(kbzGetContentLength(c.head), c.length);
    }
    struct Bad
    {
        const char* line;
        const char* message;
    };
    const Bad bad[] = {
        {"Content-Length: abc", "'abc' is not a valid integer value"},
        {"Content-Length: -1", "'-1' is not a valid integer value"},
        {"Content-Length: +5", "'+5' is not a valid integer value"},
        {"Content-Length: 0x10", "'0x10' is not a valid integer value"},
        {"Content-Length: 1 2", "'1 2' is not a valid integer value"},
        {"Content-Length: 99999999999999999999",
         "'99999999999999999999' is not a valid integer value"},
    };
    for (const auto& b : bad)
    {
        SCOPED_TRACE(b.line);
        try
        {
            (void)kbzGetContentLength({"POST / HTTP/1.1", b.line});
            ADD_FAILURE() << "no error";
        }
        catch (const EConvertError& e)
        {
            EXPECT_EQ(e.Message(), b.message);
        }
    }
    EXPECT_EQ(kbzGetHeaderValue({"GET / HTTP/1.1", "Host:  example.org:80 "}, "host"),
              "example.org:80");
}

} // namespace
} // namespace kbz
