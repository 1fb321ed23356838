// The proxy tunnels over an in-memory channel: what the client asks each kind of proxy, and how
// it reads every answer (good, refusing, broken, silent), fed whole, in every two-way split and
// one byte at a time.
#include "base/kbzBase_Helpers.h"
#include "transport/kbzTCP_Proxy.h"

#include <functional>
#include <gtest/gtest.h>
#include <thread>

using namespace kbz;

namespace
{

// What the proxy end sent before the client spoke; a trailing "<close>" makes it hang up after.
using Script = std::vector<std::string>;

struct Outcome
{
    std::string result;                // "ok", or "ClassName: message"
    std::vector<std::string> requests; // bytes the client sent, per connection
    std::string leftover;              // buffered after the tunnel opened
};

using Cut = std::function<std::vector<std::string>(const std::string&)>;

std::vector<std::string> Whole(const std::string& s)
{
    return {s};
}
std::vector<std::string> Bytewise(const std::string& s)
{
    std::vector<std::string> out;
    for (char c : s)
    {
        out.emplace_back(1, c);
    }
    return out;
}

std::string Drain(TkbzIOHandler& end, int waitMs = 0)
{
    std::string out;
    try
    {
        while (end.Readable(out.empty() ? waitMs : 0))
        {
            std::uint8_t buf[4096];
            const std::size_t n = end.Recv(buf, sizeof buf);
            if (n == 0)
            {
                break;
            }
            out.append(reinterpret_cast<const char*>(buf), n);
        }
    }
    catch (...)
    {}
    return out;
}

// The proxy's end of one connection: its answer is there before the client speaks; with
// "<close>" it hangs up once the client's request has come.
struct ProxyEnd
{
    std::unique_ptr<TkbzIOHandler> End;
    std::string Got;
    std::thread Closer;

    ProxyEnd(std::unique_ptr<TkbzIOHandler> end, std::string answer, const Cut& cut)
        : End(std::move(end))
    {
        const bool close =
            answer.size() >= 7 && answer.compare(answer.size() - 7, 7, "<close>") == 0;
        if (close)
        {
            answer.resize(answer.size() - 7);
        }
        for (const std::string& piece : cut(answer))
        {
            if (!piece.empty())
            {
                End->Send(reinterpret_cast<const std::uint8_t*>(piece.data()), piece.size());
            }
        }
        if (close)
        {
            Closer = std::thread([this] {
                Got = Drain(*End, 2000);
                End->Shutdown();
            });
        }
    }
    ~ProxyEnd()
    {
        if (Closer.joinable())
        {
            Closer.join();
        }
    }
    std::string Requests()
    {
        if (Closer.joinable())
        {
            Closer.join();
            return Got;
        }
        return Drain(*End);
    }
};

Outcome RunTunnel(TkbzTransparentProxy& proxy, const Script& answers, const Cut& cut,
                  const std::string& host = "example.test", int port = 443, int timeoutMs = 2000)
{
    std::vector<std::unique_ptr<ProxyEnd>> peers;
    auto [mine, theirs] = kbzMemoryIOHandlerPair();
    peers.push_back(std::make_unique<ProxyEnd>(std::move(theirs), answers.at(0), cut));
    TkbzIdTCPConnection connection(std::move(mine));
    connection.ReadTimeout = -1; // the tunnel's own limit applies
    const auto reopen = [&] {
        auto [m, t] = kbzMemoryIOHandlerPair();
        const std::size_t next = peers.size();
        peers.push_back(std::make_unique<ProxyEnd>(
            std::move(t), next < answers.size() ? answers[next] : std::string(), cut));
        connection.SetIOHandler(std::move(m));
    };
    Outcome o;
    try
    {
        proxy.ConnectThrough(connection, host, port, timeoutMs, reopen);
        o.result = "ok";
        // Whatever came after the answer, buffered or not yet read.
        while (connection.CheckForDataOnSource(0) > 0)
        {}
        o.leftover = connection.InputBufferAsString();
    }
    catch (const Exception& e)
    {
        o.result = e.ClassName() + ": " + e.what();
    }
    for (auto& p : peers)
    {
        o.requests.push_back(p->Requests());
    }
    EXPECT_EQ(connection.ReadTimeout, -1) << "the connection's own limit is restored";
    return o;
}

// Runs one case whole, byte by byte and in every two-way split of the first answer.
void RunEveryCut(TkbzTransparentProxy& proxy, const Script& answers, const Outcome& expected,
                 const std::string& host, int port)
{
    std::vector<std::pair<std::string, Cut>> cuts{{"whole", Whole}, {"bytewise", Bytewise}};
    for (std::size_t at = 1; at < answers[0].size(); ++at)
    {
        cuts.emplace_back("split at " + std::to_string(at), [at](const std::string& s) {
            return std::vector<std::string>{s.substr(0, at), at < s.size() ? s.substr(at) : ""};
        });
    }
    for (const auto& [name, cut] : cuts)
    {
        SCOPED_TRACE(name);
        const Outcome o = RunTunnel(proxy, answers, cut, host, port);
        EXPECT_EQ(o.result, expected.result);
        EXPECT_EQ(o.requests, expected.requests);
        EXPECT_EQ(o.leftover, expected.leftover);
        if (::testing::Test::HasFailure())
        {
            return;
        }
    }
}

const std::string kConnect = "CONNECT example.test:443 HTTP/1.0\r\nHost: example.test:443\r\n";
const std::string kLogin =
    kConnect + "Proxy-Authorization: Basic " + kbzEncodeBase64("al ice:p\xC3\xA4ss") + "\r\n\r\n";
const std::string kNoLogin = kConnect + "\r\n";
const std::string k407 = "HTTP/1.1 407 Proxy Authentication Required\r\n"
                         "Proxy-Authenticate: Basic realm=\"p\"\r\n";

struct HTTPCase
{
    const char* name;
    bool credentials;
    Script answers;
    Outcome expected;
};

TEST(kbzProxyHTTP, ConnectExchanges)
{
    const HTTPCase cases[] = {
        {"open", false, {"HTTP/1.1 200 Connection established\r\n\r\n"}, {"ok", {kNoLogin}, ""}},
        {"the_target_speaks_first_right_behind_the_head",
         false,
         {"HTTP/1.0 200 OK\r\nContent-Length: 5\r\n\r\nHELLO"},
         {"ok", {kNoLogin}, "HELLO"}},
        {"interim_answer_before_the_real_one",
         false,
         {"HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\n\r\n"},
         {"ok", {kNoLogin}, ""}},
        {"201_is_not_200",
         false,
         {"HTTP/1.1 201 Created\r\nContent-Length: 0\r\n\r\n"},
         {"EIdHTTPProxyError: 201 Created", {kNoLogin}, ""}},
        {"refused",
         false,
         {"HTTP/1.1 403 Forbidden\r\nContent-Length: 3\r\n\r\nno!"},
         {"EIdHTTPProxyError: 403 Forbidden", {kNoLogin}, ""}},
        {"407_without_credentials",
         false,
         {k407 + "Content-Length: 0\r\n\r\n"},
         {"EIdHTTPProxyError: 407 Proxy Authentication Required", {kNoLogin}, ""}},
        {"407_then_credentials_on_the_same_connection",
         true,
         {k407 + "Content-Length: 4\r\n\r\ndenyHTTP/1.1 200 OK\r\n\r\n"},
         {"ok", {kNoLogin + kLogin}, ""}},
        {"407_with_a_chunked_body_on_the_same_connection",
         true,
         {k407 + "Transfer-Encoding: chunked\r\n\r\n4\r\ndeny\r\n0\r\n\r\nHTTP/1.1 200 OK\r\n\r\n"},
         {"ok", {kNoLogin + kLogin}, ""}},
        {"407_that_closes_makes_a_new_connection",
         true,
         {k407 + "Proxy-Connection: close\r\nContent-Length: 0\r\n\r\n<close>",
          "HTTP/1.1 200 OK\r\n\r\n"},
         {"ok", {kNoLogin, kLogin}, ""}},
        {"407_from_http_1_0_without_length_makes_a_new_connection",
         true,
         {"HTTP/1.0 407 Proxy Authentication Required\r\n\r\n<close>",
          "HTTP/1.0 200 Connection established\r\n\r\n"},
         {"ok", {kNoLogin, kLogin}, ""}},
        {"credentials_refused",
         true,
         {k407 + "Content-Length: 0\r\n\r\n" + k407 + "Content-Length: 0\r\n\r\n"},
         {"EIdHTTPProxyError: 407 Proxy Authentication Required", {kNoLogin + kLogin}, ""}},
        {"empty_status_line",
         false,
         {"\r\n\r\n"},
         {"EIdHTTPProxyError: Invalid answer from the HTTP proxy: Not an HTTP answer",
          {kNoLogin},
          ""}},
        {"status_that_is_no_number",
         false,
         {"HTTP/1.1 abc OK\r\n\r\n"},
         {"EIdHTTPProxyError: Invalid answer from the HTTP proxy: Invalid status line",
          {kNoLogin},
          ""}},
        {"garbage",
         false,
         {"SSH-2.0-OpenSSH_9.2\r\n"},
         {"EIdHTTPProxyError: Invalid answer from the HTTP proxy: Not an HTTP answer",
          {kNoLogin},
          ""}},
        {"hangs_up_without_an_answer",
         false,
         {"HTTP/1.1 20<close>"},
         {"EIdHTTPProxyError: The HTTP proxy closed the connection without an answer.",
          {kNoLogin},
          ""}},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        TkbzProxyHTTP proxy;
        if (c.credentials)
        {
            proxy.Username = "al ice";
            proxy.Password = "p\xC3\xA4ss";
        }
        RunEveryCut(proxy, c.answers, c.expected, "example.test", 443);
        EXPECT_FALSE(proxy.AuthorizationRequired());
    }
}

TEST(kbzProxyHTTP, BoundedAnswersAndTimeLimit)
{
    TkbzProxyHTTP proxy;
    // A status line without end fails at the head limit instead of growing.
    EXPECT_EQ(RunTunnel(proxy, {"HTTP/1.1 200 " + std::string(20000, 'x')}, Whole)
                  .result.rfind("EIdHTTPProxyError: Invalid answer from the HTTP proxy", 0),
              0u);
    // A proxy that says nothing fails within the tunnel's limit, whatever ReadTimeout says.
    EXPECT_EQ(RunTunnel(proxy, {""}, Whole, "example.test", 443, 200).result,
              "EIdReadTimeout: The HTTP proxy did not answer in time.");
    EXPECT_EQ(RunTunnel(proxy, {"HTTP/1.1 200 OK\r\n"}, Whole, "example.test", 443, 200).result,
              "EIdReadTimeout: The HTTP proxy did not answer in time.");
}

TEST(kbzProxyHTTP, TargetsAndCredentialsThatCannotBeSent)
{
    struct Case
    {
        std::string host;
        int port;
        std::string user;
        std::string result; // "ok" with the request line, or the error
    };
    const Case cases[] = {
        {"::1", 8443, "", "CONNECT [::1]:8443 HTTP/1.0"},
        {"[2001:db8::1]", 443, "", "CONNECT [2001:db8::1]:443 HTTP/1.0"},
        {"10.0.0.1", 65535, "", "CONNECT 10.0.0.1:65535 HTTP/1.0"},
        {"example.test", 65616, "", "EArgumentException: Invalid target port 65616 (1 to 65535)"},
        {"example.test", 0, "", "EArgumentException: Invalid target port 0 (1 to 65535)"},
        {"example.test\r\nX: y", 443, "", "EArgumentException: Invalid target host for the proxy"},
        {"a b", 443, "", "EArgumentException: Invalid target host for the proxy"},
        {"", 443, "", "EArgumentException: Invalid target host for the proxy"},
        {"example.test", 443, "u\nX: y",
         "EArgumentException: Invalid proxy credentials: control characters in user name or "
         "password"},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.host);
        TkbzProxyHTTP proxy;
        proxy.Username = c.user;
        const Outcome o = RunTunnel(proxy, {"HTTP/1.1 200 OK\r\n\r\n"}, Whole, c.host, c.port);
        if (o.result == "ok")
        {
            EXPECT_EQ(o.requests.at(0).substr(0, o.requests[0].find("\r\n")), c.result);
        }
        else
        {
            EXPECT_EQ(o.result, c.result);
            EXPECT_EQ(o.requests.at(0), "") << "nothing is sent";
        }
    }
}

// ---- SOCKS ----

std::string Bytes(std::initializer_list<int> list)
{
    std::string s;
    for (int b : list)
    {
        s.push_back(static_cast<char>(b));
    }
    return s;
}

struct SocksCase
{
    const char* name;
    TkbzSocksVersion version;
    std::string host;
    std::string user, password;
    bool resolveLocally;
    Script answers;
    Outcome expected;
};

TEST(kbzProxySocks, Handshakes)
{
    using enum TkbzSocksVersion;
    const std::string granted4 = Bytes({0, 0x5A, 0, 0, 0, 0, 0, 0});
    const std::string ok5 = Bytes({5, 0, 0, 1, 0, 0, 0, 0, 0, 0});
    const std::string name5 = Bytes({5, 1, 0, 3, 12}) + "example.test" + Bytes({0x01, 0xBB});
    const SocksCase cases[] = {
        {"socks4_address_and_user_id",
         svSocks4,
         "127.0.0.1",
         "u",
         "ignored",
         false,
         {granted4 + "after"},
         {"ok", {Bytes({4, 1, 0x01, 0xBB, 127, 0, 0, 1}) + "u" + Bytes({0})}, "after"}},
        {"socks4_resolves_names_here",
         svSocks4,
         "localhost",
         "",
         "",
         false,
         {granted4},
         {"ok", {Bytes({4, 1, 0x01, 0xBB, 127, 0, 0, 1, 0})}, ""}},
        {"socks4a_sends_the_name",
         svSocks4A,
         "example.test",
         "",
         "",
         false,
         {Bytes({4, 0x5A, 0, 0, 0, 0, 0, 0})},
         {"ok", {Bytes({4, 1, 0x01, 0xBB, 0, 0, 0, 1, 0}) + "example.test" + Bytes({0})}, ""}},
        {"socks4_rejected",
         svSocks4,
         "127.0.0.1",
         "",
         "",
         false,
         {Bytes({0, 0x5B, 0, 0, 0, 0, 0, 0})},
         {"EIdSocksError: SOCKS 4 proxy refused the connection: request rejected or failed (91).",
          {Bytes({4, 1, 0x01, 0xBB, 127, 0, 0, 1, 0})},
          ""}},
        {"socks4_cannot_reach_ipv6",
         svSocks4A,
         "[::1]",
         "",
         "",
         false,
         {granted4},
         {"EIdSocksError: SOCKS 4A cannot reach an IPv6 address.", {""}, ""}},
        {"socks4_short_reply_then_close",
         svSocks4,
         "127.0.0.1",
         "",
         "",
         false,
         {Bytes({0, 0x5A, 0}) + "<close>"},
         {"EIdSocksError: SOCKS 4 proxy closed the connection.",
          {Bytes({4, 1, 0x01, 0xBB, 127, 0, 0, 1, 0})},
          ""}},
        {"socks5_name_to_the_proxy",
         svSocks5,
         "example.test",
         "",
         "",
         false,
         {Bytes({5, 0}) + ok5 + "after"},
         {"ok", {Bytes({5, 1, 0}) + name5}, "after"}},
        {"socks5_password_without_user_is_no_login",
         svSocks5,
         "example.test",
         "",
         "pw",
         false,
         {Bytes({5, 0}) + ok5},
         {"ok", {Bytes({5, 1, 0}) + name5}, ""}},
        {"socks5_user_and_password",
         svSocks5,
         "example.test",
         "al ice",
         "p\xC3\xA4ss",
         false,
         {Bytes({5, 2, 1, 0}) + ok5},
         {"ok", {Bytes({5, 2, 0, 2, 1, 6}) + "al ice" + Bytes({5}) + "p\xC3\xA4ss" + name5}, ""}},
        {"socks5_credentials_offered_but_none_needed",
         svSocks5,
         "example.test",
         "u",
         "p",
         false,
         {Bytes({5, 0}) + ok5},
         {"ok", {Bytes({5, 2, 0, 2}) + name5}, ""}},
        {"socks5_credentials_refused",
         svSocks5,
         "example.test",
         "u",
         "bad",
         false,
         {Bytes({5, 2, 1, 1})},
         {"EIdSocksError: SOCKS 5 proxy refused the user name or password.",
          {Bytes({5, 2, 0, 2, 1, 1}) + "u" + Bytes({3}) + "bad"},
          ""}},
        {"socks5_wants_credentials_we_lack",
         svSocks5,
         "example.test",
         "",
         "",
         false,
         {Bytes({5, 0xFF})},
         {"EIdSocksError: SOCKS 5 proxy requires a user name and password.",
          {Bytes({5, 1, 0})},
          ""}},
        {"socks5_ipv6_literal_and_a_domain_bound_address",
         svSocks5,
         "[::1]",
         "",
         "",
         false,
         {Bytes({5, 0, 5, 0, 0, 3, 3}) + "abc" + Bytes({0, 80}) + "after"},
         {"ok",
          {Bytes(
              {5, 1, 0, 5, 1, 0, 4, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0x01, 0xBB})},
          "after"}},
        {"socks5_resolves_here_when_asked",
         svSocks5,
         "localhost",
         "",
         "",
         true,
         {Bytes({5, 0}) + ok5},
         {"ok", {Bytes({5, 1, 0, 5, 1, 0, 1, 127, 0, 0, 1, 0x01, 0xBB})}, ""}},
        {"socks5_refused_by_the_target",
         svSocks5,
         "example.test",
         "",
         "",
         false,
         {Bytes({5, 0, 5, 5, 0, 1, 0, 0, 0, 0, 0, 0})},
         {"EIdSocksError: SOCKS 5 proxy refused the connection: connection refused (5).",
          {Bytes({5, 1, 0}) + name5},
          ""}},
        {"socks5_answers_as_something_else",
         svSocks5,
         "example.test",
         "",
         "",
         false,
         {"HTTP/1.1 400 Bad Request\r\n\r\n"},
         {"EIdSocksError: SOCKS 5 proxy sent an invalid reply.", {Bytes({5, 1, 0})}, ""}},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        TkbzProxySocks proxy;
        proxy.Version = c.version;
        proxy.Username = c.user;
        proxy.Password = c.password;
        proxy.Authentication = c.user.empty() ? TkbzSocksAuthentication::saNoAuthentication
                                              : TkbzSocksAuthentication::saUsernamePassword;
        proxy.ResolveLocally = c.resolveLocally;
        RunEveryCut(proxy, c.answers, c.expected, c.host, 443);
    }
}

TEST(kbzProxySocks, LimitsAreClearErrorsBeforeAnythingIsSent)
{
    struct Case
    {
        TkbzSocksVersion version;
        std::string host, user, password;
        int port;
        std::string result;
    };
    using enum TkbzSocksVersion;
    const Case cases[] = {
        {svSocks5, "example.test", std::string(256, 'u'), "p", 443,
         "EIdSocksError: SOCKS 5 user name and password may have at most 255 bytes each."},
        {svSocks5, "example.test", "u", std::string(256, 'p'), 443,
         "EIdSocksError: SOCKS 5 user name and password may have at most 255 bytes each."},
        {svSocks5, std::string(256, 'h'), "", "", 443,
         "EIdSocksError: SOCKS 5 host name is longer than 255 bytes."},
        {svSocks4A, std::string(256, 'h'), "", "", 443,
         "EIdSocksError: SOCKS 4A host name is longer than 255 bytes."},
        {svSocks5, "example.test", "", "", 70000,
         "EArgumentException: Invalid target port 70000 (1 to 65535)"},
        {svSocks5, "example.test", "u\r", "", 443,
         "EArgumentException: Invalid proxy credentials: control characters in user name or "
         "password"},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.result);
        TkbzProxySocks proxy;
        proxy.Version = c.version;
        proxy.Username = c.user;
        proxy.Password = c.password;
        proxy.Authentication = TkbzSocksAuthentication::saUsernamePassword;
        const Outcome o = RunTunnel(proxy, {""}, Whole, c.host, c.port);
        EXPECT_EQ(o.result.substr(0, c.result.size()), c.result);
        EXPECT_EQ(o.requests.at(0), "");
    }
    // Silence is bounded by the tunnel's limit.
    TkbzProxySocks proxy;
    EXPECT_EQ(RunTunnel(proxy, {""}, Whole, "example.test", 443, 200).result,
              "EIdReadTimeout: SOCKS 5 proxy did not answer in time.");
}

} // namespace
