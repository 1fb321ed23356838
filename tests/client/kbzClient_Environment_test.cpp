// The proxy environment variables and URL credentials as the console and kbzEchoClient read
// them: which variable wins, what no_proxy exempts, how a proxy URL is read, and that no
// message ever repeats a password.
#include "client/kbzClient_Environment.h"
#include "client/kbzWebSocket_Client.h"

#include <gtest/gtest.h>
#include <map>

using namespace kbz;

namespace
{

using Env = std::map<std::string, std::string>;

TkbzEnvironment From(const Env& env)
{
    return [env](const std::string& name) -> std::optional<std::string> {
        const auto it = env.find(name);
        if (it == env.end())
        {
            return std::nullopt;
        }
        return it->second;
    };
}

// "VAR TYPE host:port user:password [local]", "direct", or "error: message".
std::string Describe(const std::string& scheme, const std::string& host, const Env& env)
{
    try
    {
        const auto p = kbzProxyFromEnvironment(scheme, host, From(env));
        if (!p)
        {
            return "direct";
        }
        const char* types[] = {"http", "socks4", "socks4a", "socks5"};
        const TkbzProxyURL& u = p->first;
        return p->second + " " + types[static_cast<int>(u.ProxyType)] + " " + u.Host + ":" +
               std::to_string(u.Port) + " " + u.Username + ":" + u.Password +
               (u.ResolveLocally ? " local" : "");
    }
    catch (const std::exception& e)
    {
        return std::string("error: ") + e.what();
    }
}

struct EnvCase
{
    const char* name;
    std::string scheme, host;
    Env env;
    std::string expected;
};

TEST(kbzClientEnvironment, WhichProxyAConnectionUses)
{
    const EnvCase cases[] = {
        {"nothing_set", "ws", "h", {}, "direct"},
        {"https_for_wss",
         "wss",
         "h",
         {{"HTTPS_PROXY", "p:3128"}, {"HTTP_PROXY", "q:1"}},
         "HTTPS_PROXY http p:3128 :"},
        {"https_for_tcps", "tcps", "h", {{"https_proxy", "p:3128"}}, "https_proxy http p:3128 :"},
        {"http_for_ws",
         "ws",
         "h",
         {{"HTTPS_PROXY", "p:1"}, {"HTTP_PROXY", "q:8080"}},
         "HTTP_PROXY http q:8080 :"},
        {"http_for_tcp", "tcp", "h", {{"http_proxy", "q:8080"}}, "http_proxy http q:8080 :"},
        {"lower_case_first",
         "ws",
         "h",
         {{"http_proxy", "low:1"}, {"HTTP_PROXY", "up:2"}},
         "http_proxy http low:1 :"},
        {"empty_lower_case_does_not_hide_upper",
         "ws",
         "h",
         {{"http_proxy", ""}, {"HTTP_PROXY", "up:2"}},
         "HTTP_PROXY http up:2 :"},
        {"all_proxy_for_either",
         "wss",
         "h",
         {{"ALL_PROXY", "socks5h://s:9050"}},
         "ALL_PROXY socks5 s:9050 :"},
        {"scheme_specific_before_all_proxy",
         "ws",
         "h",
         {{"all_proxy", "a:1"}, {"HTTP_PROXY", "b:2"}},
         "HTTP_PROXY http b:2 :"},
        {"http_proxy_is_not_for_wss", "wss", "h", {{"http_proxy", "q:1"}}, "direct"},
        {"default_port_1080", "ws", "h", {{"http_proxy", "http://p"}}, "http_proxy http p:1080 :"},
        {"socks_schemes", "ws", "h", {{"http_proxy", "socks4://p:1"}}, "http_proxy socks4 p:1 :"},
        {"socks4a", "ws", "h", {{"http_proxy", "SOCKS4A://p:1"}}, "http_proxy socks4a p:1 :"},
        {"socks5_resolves_here",
         "ws",
         "h",
         {{"http_proxy", "socks5://p:1"}},
         "http_proxy socks5 p:1 : local"},
        {"credentials_percent_decoded",
         "ws",
         "h",
         {{"http_proxy", "http://al%20ice:p%40ss%3Aw@p:3128/"}},
         "http_proxy http p:3128 al ice:p@ss:w"},
        {"user_without_password",
         "ws",
         "h",
         {{"http_proxy", "socks5h://al@p:1"}},
         "http_proxy socks5 p:1 al:"},
        {"ipv6_proxy",
         "ws",
         "h",
         {{"http_proxy", "http://[::1]:3128"}},
         "http_proxy http ::1:3128 :"},
        {"no_proxy_star", "ws", "h", {{"http_proxy", "p:1"}, {"no_proxy", "*"}}, "direct"},
        {"no_proxy_exact_name",
         "ws",
         "Intra.Example",
         {{"http_proxy", "p:1"}, {"NO_PROXY", "a.test, intra.example"}},
         "direct"},
        {"no_proxy_domain_covers_subdomains",
         "ws",
         "ws.intra.example",
         {{"http_proxy", "p:1"}, {"no_proxy", "intra.example"}},
         "direct"},
        {"no_proxy_leading_dot",
         "ws",
         "ws.intra.example",
         {{"http_proxy", "p:1"}, {"no_proxy", ".intra.example"}},
         "direct"},
        {"no_proxy_not_part_of_a_label",
         "ws",
         "myintra.example",
         {{"http_proxy", "p:1"}, {"no_proxy", "intra.example"}},
         "http_proxy http p:1 :"},
        {"no_proxy_address",
         "ws",
         "127.0.0.1",
         {{"http_proxy", "p:1"}, {"no_proxy", "127.0.0.1"}},
         "direct"},
        {"no_proxy_address_matches_whole_only",
         "ws",
         "10.0.0.1",
         {{"http_proxy", "p:1"}, {"no_proxy", "0.0.1"}},
         "http_proxy http p:1 :"},
        {"no_proxy_ipv6_bracketed",
         "ws",
         "::1",
         {{"http_proxy", "p:1"}, {"no_proxy", "[::1]"}},
         "direct"},
        {"no_proxy_for_another_host",
         "ws",
         "other.test",
         {{"http_proxy", "p:1"}, {"no_proxy", "localhost,127.0.0.1"}},
         "http_proxy http p:1 :"},
        {"unknown_scheme",
         "ws",
         "h",
         {{"http_proxy", "ftp://u:secret@p:1"}},
         "error: Invalid proxy in http_proxy: the scheme 'ftp' is not supported (http, socks4, "
         "socks4a, socks5, socks5h)"},
        {"tls_to_the_proxy_is_not_spoken",
         "wss",
         "h",
         {{"HTTPS_PROXY", "https://p:443"}},
         "error: Invalid proxy in HTTPS_PROXY: the scheme 'https' is not supported (http, "
         "socks4, socks4a, socks5, socks5h)"},
        {"bad_port",
         "ws",
         "h",
         {{"ALL_PROXY", "http://u:secret@p:99999"}},
         "error: Invalid proxy in ALL_PROXY: the port '99999' is not a number from 1 to 65535"},
        {"port_not_a_number",
         "ws",
         "h",
         {{"ALL_PROXY", "p:http"}},
         "error: Invalid proxy in ALL_PROXY: the port 'http' is not a number from 1 to 65535"},
        {"no_host",
         "ws",
         "h",
         {{"http_proxy", "http://u:secret@:3128"}},
         "error: Invalid proxy in http_proxy: no host"},
        {"bad_escape",
         "ws",
         "h",
         {{"http_proxy", "http://u:sec%zzret@p:1"}},
         "error: Invalid proxy in http_proxy: bad percent escapes in its user name or password"},
        {"blank_inside",
         "ws",
         "h",
         {{"http_proxy", "http://u:sec ret@p:1"}},
         "error: Invalid proxy in http_proxy: blanks or control characters in it"},
        {"exempt_hosts_never_see_a_bad_value",
         "ws",
         "h",
         {{"http_proxy", "ftp://p"}, {"no_proxy", "h"}},
         "direct"},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        const std::string got = Describe(c.scheme, c.host, c.env);
        EXPECT_EQ(got, c.expected);
        if (got.rfind("error:", 0) == 0)
        {
            EXPECT_EQ(got.find("secret"), std::string::npos);
            EXPECT_EQ(got.find("sec"), std::string::npos);
        }
    }
}

TEST(kbzClientEnvironment, AppliedToTheClientPerURL)
{
    TkbzWSClient client;
    const Env env{{"HTTPS_PROXY", "socks5h://al:pw@127.0.0.1:1081"}, {"no_proxy", "direct.test"}};
    client.SetURL("wss://ws.example.test/");
    kbzApplyProxyEnvironment(client, "wss://ws.example.test/", From(env));
    EXPECT_TRUE(client.Proxy.Enabled);
    EXPECT_EQ(client.Proxy.Host, "127.0.0.1");
    EXPECT_EQ(client.Proxy.Port, 1081);
    EXPECT_EQ(client.Proxy.ProxyType, TwsProxy::pxySocks5);
    EXPECT_FALSE(client.Proxy.ResolveLocally);
    EXPECT_EQ(client.Proxy.Username, "al");
    EXPECT_EQ(client.Proxy.Password, "pw");
    // The next URL decides again.
    client.SetURL("ws://ws.example.test/");
    kbzApplyProxyEnvironment(client, "ws://ws.example.test/", From(env));
    EXPECT_FALSE(client.Proxy.Enabled);
    client.SetURL("wss://direct.test/");
    kbzApplyProxyEnvironment(client, "wss://direct.test/", From(env));
    EXPECT_FALSE(client.Proxy.Enabled);
}

TEST(kbzClientEnvironment, URLCredentialsAreBasicAuthentication)
{
    struct Case
    {
        std::string url;
        bool enabled;
        std::string user, password;
    };
    const Case cases[] = {
        {"ws://h/", false, "", ""},
        {"ws://al:pw@h:81/p?q=1", true, "al", "pw"},
        {"wss://al%20ice:p%40ss%3A@h/", true, "al ice", "p@ss:"},
        {"ws://al@h/", true, "al", ""},
        {"ws://a:b@c@h/", true, "a", "b@c"},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.url);
        TkbzWSClient client;
        client.SetURL(c.url);
        kbzApplyURLCredentials(client, c.url);
        const auto& a = client.Authentication;
        EXPECT_EQ(a.Enabled, c.enabled);
        EXPECT_EQ(a.Basic.Enabled, c.enabled);
        EXPECT_FALSE(a.URL.Enabled); // the request path stays the URL's
        EXPECT_EQ(a.User, c.user);
        EXPECT_EQ(a.Password, c.password);
        EXPECT_EQ(client.Host, "h");
    }
    TkbzWSClient client;
    EXPECT_THROW(kbzApplyURLCredentials(client, "ws://al:p%zz@h/"), EArgumentException);
}

TEST(kbzClientEnvironment, MessagesNeverShowAPassword)
{
    EXPECT_EQ(kbzRedactURL("ws://al:secret@h:1/p?x=a@b"), "ws://al:***@h:1/p?x=a@b");
    EXPECT_EQ(kbzRedactURL("ws://al@h/"), "ws://al@h/");
    EXPECT_EQ(kbzRedactURL("ws://h/a:b@c"), "ws://h/a:b@c");
    EXPECT_EQ(kbzRedactURL("http://u:p@q@h"), "http://u:***@h");
    TkbzWSClient client;
    try
    {
        client.SetURL("ws://al:secret@h/a b");
        ADD_FAILURE() << "a blank in the path is refused";
    }
    catch (const std::exception& e)
    {
        EXPECT_EQ(std::string(e.what()).find("secret"), std::string::npos) << e.what();
    }
}

} // namespace
