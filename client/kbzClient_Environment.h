// What the console and the example client take from outside the command itself, as curl does:
// credentials written into the URL (user:password@) become Basic authentication, and the
// proxy comes from the environment (https_proxy for wss:// and tcps://, http_proxy for ws://
// and tcp://, all_proxy for either; each in lower or upper case, lower first; no_proxy lists
// the hosts that are reached directly).
#pragma once

#include "base/kbzWebSocket_Types.h"

#include <functional>
#include <optional>
#include <string>

namespace kbz
{

class TkbzWSClient;

// Looks a variable up; nothing when it is not set.
using TkbzEnvironment = std::function<std::optional<std::string>(const std::string& name)>;
// The process's own environment.
TkbzEnvironment kbzProcessEnvironment();

// A proxy as a URL names it: [scheme://][user[:password]@]host[:port], with the schemes http
// (the default), socks4, socks4a, socks5 and socks5h, and port 1080 when none is given.
struct TkbzProxyURL
{
    TwsProxy ProxyType = TwsProxy::pxyHTTP;
    bool ResolveLocally = false; // socks5:// resolves names here, socks5h:// lets the proxy
    std::string Host;
    int Port = 1080;
    std::string Username; // percent-decoded
    std::string Password;
};

// Raises EArgumentException for a scheme we cannot speak, a missing host, a bad port or bad
// percent escapes; the message never repeats the password.
TkbzProxyURL kbzParseProxyURL(const std::string& url);

// Whether a no_proxy list ("*", host names, ".suffix" or "suffix" domains, IP addresses,
// separated by commas) says host is reached directly. Names compare ignoring case.
bool kbzNoProxyMatches(const std::string& noProxy, const std::string& host);

// The proxy for a connection to host with the URL scheme ("ws", "wss", "tcp", "tcps"), and
// the name of the variable it came from; nothing when none applies. Raises EArgumentException
// (naming the variable, never its value) when the variable holds a proxy we cannot use.
std::optional<std::pair<TkbzProxyURL, std::string>>
kbzProxyFromEnvironment(const std::string& scheme, const std::string& host,
                        const TkbzEnvironment& env);

// After client.SetURL(url): the URL's credentials as Basic authentication (authentication off
// when it has none), and the client's Proxy from env (off when none applies).
void kbzApplyURLCredentials(TkbzWSClient& client, const std::string& url);
void kbzApplyProxyEnvironment(TkbzWSClient& client, const std::string& url,
                              const TkbzEnvironment& env = kbzProcessEnvironment());

// The URL with the password of its user:password@ part replaced by "***", for messages.
std::string kbzRedactURL(const std::string& url);

} // namespace kbz
