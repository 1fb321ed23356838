#include "client/kbzClient_Environment.h"

#include "base/kbzBase_Classes.h"
#include "base/kbzBase_Helpers.h"
#include "client/kbzWebSocket_Client.h"
#include "transport/kbzHTTP_Message.h"

#include <arpa/inet.h>
#include <cstdlib>

namespace kbz
{

namespace
{

std::string Lower(std::string s)
{
    for (char& c : s)
    {
        if (c >= 'A' && c <= 'Z')
        {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return s;
}

// scheme, the user information (without "@", nothing when absent) and the rest of the
// authority of a URL.
struct URLParts
{
    std::string Scheme;
    std::optional<std::string> UserInfo;
    std::string HostPort;
};

URLParts SplitURL(const std::string& url)
{
    URLParts parts;
    std::size_t start = 0;
    const std::size_t sep = url.find("://");
    if (sep != std::string::npos)
    {
        parts.Scheme = Lower(url.substr(0, sep));
        start = sep + 3;
    }
    std::size_t end = url.find_first_of("/?#", start);
    if (end == std::string::npos)
    {
        end = url.size();
    }
    std::string authority = url.substr(start, end - start);
    const std::size_t at = authority.rfind('@');
    if (at != std::string::npos)
    {
        parts.UserInfo = authority.substr(0, at);
        authority.erase(0, at + 1);
    }
    parts.HostPort = authority;
    return parts;
}

std::string Unbracketed(const std::string& host)
{
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
    {
        return host.substr(1, host.size() - 2);
    }
    return host;
}

bool IsAddress(const std::string& host)
{
    unsigned char buf[16];
    return ::inet_pton(AF_INET, host.c_str(), buf) == 1 ||
           ::inet_pton(AF_INET6, host.c_str(), buf) == 1;
}

// user and password of "user[:password]", percent-decoded; false for a bad escape.
bool DecodeUserInfo(const std::string& info, std::string& user, std::string& password)
{
    const std::size_t colon = info.find(':');
    return kbzHTTPDecodePath(info.substr(0, colon), user) &&
           (colon == std::string::npos || kbzHTTPDecodePath(info.substr(colon + 1), password));
}

} // namespace

TkbzEnvironment kbzProcessEnvironment()
{
    return [](const std::string& name) -> std::optional<std::string> {
        if (const char* v = std::getenv(name.c_str()))
        {
            return std::string(v);
        }
        return std::nullopt;
    };
}

TkbzProxyURL kbzParseProxyURL(const std::string& url)
{
    for (const char ch : url)
    {
        const auto c = static_cast<unsigned char>(ch);
        if (c <= 0x20 || c == 0x7F)
        {
            throw EArgumentException("blanks or control characters in it");
        }
    }
    const URLParts parts = SplitURL(url);
    TkbzProxyURL proxy;
    if (parts.Scheme.empty() || parts.Scheme == "http")
    {
        proxy.ProxyType = TwsProxy::pxyHTTP;
    }
    else if (parts.Scheme == "socks4")
    {
        proxy.ProxyType = TwsProxy::pxySocks4;
    }
    else if (parts.Scheme == "socks4a")
    {
        proxy.ProxyType = TwsProxy::pxySocks4A;
    }
    else if (parts.Scheme == "socks5")
    {
        proxy.ProxyType = TwsProxy::pxySocks5;
        proxy.ResolveLocally = true;
    }
    else if (parts.Scheme == "socks5h")
    {
        proxy.ProxyType = TwsProxy::pxySocks5;
    }
    else
    {
        throw EArgumentException("the scheme '" + parts.Scheme +
                                 "' is not supported (http, socks4, socks4a, socks5, socks5h)");
    }
    if (parts.UserInfo && !DecodeUserInfo(*parts.UserInfo, proxy.Username, proxy.Password))
    {
        throw EArgumentException("bad percent escapes in its user name or password");
    }
    // host, [v6], host:port, [v6]:port
    std::string host = parts.HostPort;
    std::string port;
    if (!host.empty() && host.front() == '[')
    {
        const std::size_t close = host.find(']');
        if (close == std::string::npos)
        {
            throw EArgumentException("an unclosed '[' in its host");
        }
        if (close + 1 < host.size())
        {
            if (host[close + 1] != ':')
            {
                throw EArgumentException("text after its host");
            }
            port = host.substr(close + 2);
        }
        host = host.substr(1, close - 1);
    }
    else if (const std::size_t colon = host.find(':'); colon != std::string::npos)
    {
        port = host.substr(colon + 1);
        host.resize(colon);
    }
    if (host.empty())
    {
        throw EArgumentException("no host");
    }
    if (port.empty() && parts.HostPort.back() == ':')
    {
        throw EArgumentException("an empty port");
    }
    if (!port.empty())
    {
        const bool digits =
            port.size() <= 5 && port.find_first_not_of("0123456789") == std::string::npos;
        const int number = digits ? std::stoi(port) : 0;
        if (number < 1 || number > 65535)
        {
            throw EArgumentException("the port '" + port + "' is not a number from 1 to 65535");
        }
        proxy.Port = number;
    }
    proxy.Host = host;
    return proxy;
}

bool kbzNoProxyMatches(const std::string& noProxy, const std::string& host)
{
    const std::string name = Lower(Unbracketed(host));
    const bool address = IsAddress(name);
    std::size_t start = 0;
    while (start <= noProxy.size())
    {
        std::size_t end = noProxy.find(',', start);
        if (end == std::string::npos)
        {
            end = noProxy.size();
        }
        std::string entry = Lower(Unbracketed(kbzTrim(noProxy.substr(start, end - start))));
        start = end + 1;
        if (entry == "*")
        {
            return true;
        }
        if (!entry.empty() && entry.front() == '.')
        {
            entry.erase(0, 1);
        }
        if (entry.empty())
        {
            continue;
        }
        if (entry == name)
        {
            return true;
        }
        // A domain covers its subdomains, never a part of a label ("ample.com" is not
        // "example.com"); addresses match only whole.
        if (!address && !IsAddress(entry) && name.size() > entry.size() &&
            name.compare(name.size() - entry.size(), entry.size(), entry) == 0 &&
            name[name.size() - entry.size() - 1] == '.')
        {
            return true;
        }
    }
    return false;
}

std::optional<std::pair<TkbzProxyURL, std::string>>
kbzProxyFromEnvironment(const std::string& scheme, const std::string& host,
                        const TkbzEnvironment& env)
{
    const auto lookup =
        [&env](const std::string& lower) -> std::optional<std::pair<std::string, std::string>> {
        std::string upper = lower;
        for (char& c : upper)
        {
            c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
        }
        for (const std::string& name : {lower, upper})
        {
            if (const auto value = env(name); value && !value->empty())
            {
                return std::make_pair(name, *value);
            }
        }
        return std::nullopt;
    };
    const std::string s = Lower(scheme);
    const bool tls = s == "wss" || s == "tcps";
    auto found = lookup(tls ? "https_proxy" : "http_proxy");
    if (!found)
    {
        found = lookup("all_proxy");
    }
    if (!found)
    {
        return std::nullopt;
    }
    if (const auto noProxy = lookup("no_proxy");
        noProxy && kbzNoProxyMatches(noProxy->second, host))
    {
        return std::nullopt;
    }
    try
    {
        return std::make_pair(kbzParseProxyURL(found->second), found->first);
    }
    catch (const EArgumentException& e)
    {
        throw EArgumentException("Invalid proxy in " + found->first + ": " + e.what());
    }
}

void kbzApplyURLCredentials(TkbzWSClient& client, const std::string& url)
{
    TkbzWSAuthenticationClient_Options& a = client.Authentication;
    const URLParts parts = SplitURL(url);
    std::string user;
    std::string password;
    if (parts.UserInfo && !DecodeUserInfo(*parts.UserInfo, user, password))
    {
        throw EArgumentException("Invalid URL: bad percent escapes in its user name or password");
    }
    a.Enabled = parts.UserInfo.has_value();
    a.URL.Enabled = false; // the path stays the URL's
    a.Basic.Enabled = a.Enabled;
    a.User = user;
    a.Password = password;
}

void kbzApplyProxyEnvironment(TkbzWSClient& client, const std::string& url,
                              const TkbzEnvironment& env)
{
    std::string scheme = SplitURL(url).Scheme;
    if (scheme.empty())
    {
        scheme = client.TLS ? "wss" : "ws";
    }
    client.Proxy.Enabled = false;
    const auto proxy = kbzProxyFromEnvironment(scheme, client.Host, env);
    if (!proxy)
    {
        return;
    }
    client.Proxy.Enabled = true;
    client.Proxy.Host = proxy->first.Host;
    client.Proxy.Port = proxy->first.Port;
    client.Proxy.ProxyType = proxy->first.ProxyType;
    client.Proxy.ResolveLocally = proxy->first.ResolveLocally;
    client.Proxy.Username = proxy->first.Username;
    client.Proxy.Password = proxy->first.Password;
}

std::string kbzRedactURL(const std::string& url)
{
    const std::size_t sep = url.find("://");
    const std::size_t start = sep == std::string::npos ? 0 : sep + 3;
    std::size_t end = url.find_first_of("/?#", start);
    if (end == std::string::npos)
    {
        end = url.size();
    }
    const std::size_t at = url.rfind('@', end - 1);
    if (at == std::string::npos || at < start || end == start)
    {
        return url;
    }
    const std::size_t colon = url.find(':', start);
    if (colon == std::string::npos || colon > at)
    {
        return url;
    }
    return url.substr(0, colon + 1) + "***" + url.substr(at);
}

} // namespace kbz
