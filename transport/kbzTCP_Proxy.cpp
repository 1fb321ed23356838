#include "transport/kbzTCP_Proxy.h"

#include "base/kbzBase_Helpers.h"
#include "transport/kbzHTTP_Message.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cstring>
#include <memory>
#include <netdb.h>
#include <netinet/in.h>

namespace kbz
{

namespace
{

// A body the proxy sends with a refusal is read and dropped up to this size; beyond it the
// connection is given up (a retry then opens a new one).
constexpr std::uint64_t kMaxDiscardedBody = 64 * 1024;
// Interim answers skipped before the real one.
constexpr int kMaxInterimAnswers = 8;

bool HasControlCharacters(std::string_view s)
{
    return std::any_of(s.begin(), s.end(), [](char ch) {
        const auto c = static_cast<unsigned char>(ch);
        return c < 0x20 || c == 0x7F;
    });
}

void CheckCredentials(const std::string& user, const std::string& password)
{
    if (HasControlCharacters(user) || HasControlCharacters(password))
    {
        throw EArgumentException(
            "Invalid proxy credentials: control characters in user name or password");
    }
}

std::string Unbracketed(const std::string& host)
{
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
    {
        return host.substr(1, host.size() - 2);
    }
    return host;
}

void CheckPort(int port)
{
    if (port < 1 || port > 65535)
    {
        throw EArgumentException("Invalid target port " + std::to_string(port) + " (1 to 65535)");
    }
}

std::uint64_t DeadlineIn(int timeoutMs)
{
    return kbzGetTicks() + static_cast<std::uint64_t>(timeoutMs > 0 ? timeoutMs : 30000);
}

int MsLeft(std::uint64_t deadline)
{
    const std::uint64_t now = kbzGetTicks();
    if (now >= deadline)
    {
        throw EIdReadTimeout("The proxy did not answer in time.");
    }
    return static_cast<int>(std::min<std::uint64_t>(deadline - now, 0x7FFFFFFF));
}

// The connection's own read time limit is replaced by the tunnel's for the handshake.
class ReadTimeoutScope
{
public:
    explicit ReadTimeoutScope(TkbzIdTCPConnection& c) : FConnection(c), FSaved(c.ReadTimeout) {}
    ~ReadTimeoutScope() { FConnection.ReadTimeout = FSaved; }
    ReadTimeoutScope(const ReadTimeoutScope&) = delete;
    ReadTimeoutScope& operator=(const ReadTimeoutScope&) = delete;

private:
    TkbzIdTCPConnection& FConnection;
    int FSaved;
};

// Exactly n bytes before the deadline; a proxy that hangs up is a clear failure.
std::vector<std::uint8_t> ReadExactly(TkbzIdTCPConnection& c, std::size_t n, std::uint64_t deadline,
                                      const char* who)
{
    std::vector<std::uint8_t> bytes;
    c.ReadTimeout = MsLeft(deadline);
    try
    {
        c.ReadBytes(bytes, n, false);
    }
    catch (const EIdConnClosedGracefully&)
    {
        throw EIdSocksError(std::string(who) + " proxy closed the connection.");
    }
    catch (const EIdReadTimeout&)
    {
        throw EIdReadTimeout(std::string(who) + " proxy did not answer in time.");
    }
    return bytes;
}

void WriteBytes(TkbzIdTCPConnection& c, const std::vector<std::uint8_t>& bytes)
{
    c.Write(bytes.data(), bytes.size());
}

void PutPort(std::vector<std::uint8_t>& out, int port)
{
    out.push_back(static_cast<std::uint8_t>((port >> 8) & 0xFF));
    out.push_back(static_cast<std::uint8_t>(port & 0xFF));
}

// A literal address as its bytes (4 or 16), or nothing for a name.
std::vector<std::uint8_t> LiteralAddress(const std::string& host)
{
    in6_addr a6{};
    in_addr a4{};
    if (::inet_pton(AF_INET, host.c_str(), &a4) == 1)
    {
        const auto* b = reinterpret_cast<const std::uint8_t*>(&a4);
        return {b, b + 4};
    }
    if (::inet_pton(AF_INET6, host.c_str(), &a6) == 1)
    {
        const auto* b = reinterpret_cast<const std::uint8_t*>(&a6);
        return {b, b + 16};
    }
    return {};
}

// The first address of the name in the family asked for (4 or 16 bytes).
std::vector<std::uint8_t> Resolve(const std::string& host, TwsIPVersion version)
{
    addrinfo hints{};
    hints.ai_family = version == TwsIPVersion::ipV6 ? AF_INET6 : AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    const int rc = ::getaddrinfo(host.c_str(), nullptr, &hints, &list);
    if (rc != 0 || list == nullptr)
    {
        throw EIdResolveError("Could not resolve host '" + host + "': " + ::gai_strerror(rc) + ".");
    }
    std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> guard(list, &::freeaddrinfo);
    if (list->ai_family == AF_INET6)
    {
        const auto* b = reinterpret_cast<const std::uint8_t*>(
            &reinterpret_cast<const sockaddr_in6*>(list->ai_addr)->sin6_addr);
        return {b, b + 16};
    }
    const auto* b = reinterpret_cast<const std::uint8_t*>(
        &reinterpret_cast<const sockaddr_in*>(list->ai_addr)->sin_addr);
    return {b, b + 4};
}

// Reads and drops a refusal's body when it is small and delimited; false when the connection
// cannot carry another request (the caller then opens a new one).
bool DiscardBody(TkbzIdTCPConnection& c, const TkbzHTTPHead& head, std::uint64_t deadline)
{
    const TkbzHTTPBodyFraming framing = kbzHTTPResponseFraming(head, "CONNECT");
    if (framing.ErrorStatus != 0 || framing.Kind == TkbzHTTPBodyKind::hbkUntilClose ||
        (framing.Kind == TkbzHTTPBodyKind::hbkLength && framing.Length > kMaxDiscardedBody))
    {
        return false;
    }
    TkbzHTTPBodyDecoder decoder(framing, kMaxDiscardedBody);
    std::string body;
    while (!decoder.Done())
    {
        c.InputBufferConsume([&](std::span<const std::uint8_t> bytes) -> std::size_t {
            return decoder.Feed(
                std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()), body);
        });
        body.clear();
        if (decoder.Failed())
        {
            return false;
        }
        if (decoder.Done())
        {
            break;
        }
        if (c.PeerClosed() || c.Disconnected())
        {
            return false;
        }
        c.CheckForDataOnSource(MsLeft(deadline));
    }
    return true;
}

const char* Socks4Reply(std::uint8_t code)
{
    switch (code)
    {
    case 0x5B:
        return "request rejected or failed";
    case 0x5C:
        return "the proxy could not reach the client's identd";
    case 0x5D:
        return "the user id was not confirmed by identd";
    default:
        return "unknown reply";
    }
}

const char* Socks5Reply(std::uint8_t code)
{
    switch (code)
    {
    case 1:
        return "general SOCKS server failure";
    case 2:
        return "connection not allowed by ruleset";
    case 3:
        return "network unreachable";
    case 4:
        return "host unreachable";
    case 5:
        return "connection refused";
    case 6:
        return "TTL expired";
    case 7:
        return "command not supported";
    case 8:
        return "address type not supported";
    default:
        return "unknown reply";
    }
}

} // namespace

std::string kbzProxyAuthority(const std::string& host, int port)
{
    const std::string name = Unbracketed(host);
    if (name.empty() || HasControlCharacters(name) || name.find(' ') != std::string::npos)
    {
        throw EArgumentException("Invalid target host for the proxy");
    }
    CheckPort(port);
    const bool v6 = name.find(':') != std::string::npos;
    return (v6 ? "[" + name + "]" : name) + ":" + std::to_string(port);
}

TkbzHTTPHead kbzReadProxyAnswer(TkbzIdTCPConnection& connection, std::uint64_t deadline)
{
    for (int interim = 0;; ++interim)
    {
        TkbzHTTPHead head;
        try
        {
            head = kbzReadHTTPHead(connection, TkbzHTTPHeadKind::hkResponse, MsLeft(deadline));
        }
        catch (const EIdHTTPProtocolException& e)
        {
            throw EIdHTTPProxyError(std::string("Invalid answer from the HTTP proxy: ") + e.what());
        }
        catch (const EIdConnClosedGracefully&)
        {
            throw EIdHTTPProxyError("The HTTP proxy closed the connection without an answer.");
        }
        catch (const EIdReadTimeout&)
        {
            throw EIdReadTimeout("The HTTP proxy did not answer in time.");
        }
        if (head.Status >= 200 || interim >= kMaxInterimAnswers)
        {
            return head;
        }
    }
}

// ---- HTTP CONNECT ----

std::string TkbzProxyHTTP::BuildRequest(const std::string& host, int port, bool login) const
{
    const std::string authority = kbzProxyAuthority(host, port);
    std::string request = "CONNECT " + authority + " HTTP/1.0\r\nHost: " + authority + "\r\n";
    if (login)
    {
        CheckCredentials(Username, Password);
        request +=
            "Proxy-Authorization: Basic " + kbzEncodeBase64(Username + ":" + Password) + "\r\n";
    }
    return request + "\r\n";
}

void TkbzProxyHTTP::ConnectThrough(TkbzIdTCPConnection& connection, const std::string& host,
                                   int port, int timeoutMs, const std::function<void()>& reopen)
{
    ReadTimeoutScope scope(connection);
    const std::uint64_t deadline = DeadlineIn(timeoutMs);
    CheckCredentials(Username, Password);
    bool login = FAuthorizationRequired || (Preemptive && (!Username.empty() || !Password.empty()));
    struct ClearFlag
    {
        bool& flag;
        ~ClearFlag() { flag = false; }
    } clear{FAuthorizationRequired};
    for (;;)
    {
        connection.Write(BuildRequest(host, port, login));
        const TkbzHTTPHead head = kbzReadProxyAnswer(connection, deadline);
        if (head.Status == 200)
        {
            return; // the tunnel is open; what follows the head is the target's
        }
        const bool haveCredentials = !Username.empty() || !Password.empty();
        if (head.Status == 407 && !login && haveCredentials)
        {
            login = true;
            // The same connection carries the retry only when the proxy keeps it and its body
            // can be skipped; otherwise a new one.
            const bool closes = head.Headers.HasToken("Proxy-Connection", "close") ||
                                head.Headers.HasToken("Connection", "close");
            const bool keeps =
                head.KeepAlive() || head.Headers.HasToken("Proxy-Connection", "keep-alive");
            if (!closes && keeps && DiscardBody(connection, head, deadline))
            {
                continue;
            }
            if (!reopen)
            {
                throw EIdHTTPProxyError("407 " + head.Reason +
                                        " (the proxy closed the connection)");
            }
            FAuthorizationRequired = true;
            reopen();
            continue;
        }
        std::string text = std::to_string(head.Status);
        if (!head.Reason.empty())
        {
            text += " " + head.Reason;
        }
        throw EIdHTTPProxyError(text);
    }
}

// ---- SOCKS ----

void TkbzProxySocks::ConnectThrough(TkbzIdTCPConnection& connection, const std::string& host,
                                    int port, int timeoutMs, const std::function<void()>&)
{
    ReadTimeoutScope scope(connection);
    const std::uint64_t deadline = DeadlineIn(timeoutMs);
    CheckPort(port);
    CheckCredentials(Username, Password);
    const std::string name = Unbracketed(host);
    if (name.empty() || HasControlCharacters(name))
    {
        throw EArgumentException("Invalid target host for the proxy");
    }
    switch (Version)
    {
    case TkbzSocksVersion::svSocks4:
    case TkbzSocksVersion::svSocks4A:
        Socks4(connection, name, port, deadline);
        break;
    case TkbzSocksVersion::svSocks5:
        Socks5(connection, name, port, deadline);
        break;
    case TkbzSocksVersion::svNoSocks:
        break;
    }
}

void TkbzProxySocks::Socks4(TkbzIdTCPConnection& connection, const std::string& host, int port,
                            std::uint64_t deadline)
{
    const bool v4a = Version == TkbzSocksVersion::svSocks4A;
    const char* who = v4a ? "SOCKS 4A" : "SOCKS 4";
    std::vector<std::uint8_t> address = LiteralAddress(host);
    if (address.size() == 16)
    {
        throw EIdSocksError(std::string(who) + " cannot reach an IPv6 address.");
    }
    if (address.empty() && !v4a)
    {
        address = Resolve(host, TwsIPVersion::ipV4);
    }
    const bool sendName = address.empty();
    if (sendName && host.size() > 255)
    {
        throw EIdSocksError("SOCKS 4A host name is longer than 255 bytes.");
    }
    std::vector<std::uint8_t> request{4, 1};
    PutPort(request, port);
    if (sendName)
    {
        request.insert(request.end(), {0, 0, 0, 1}); // "the proxy resolves the name"
    }
    else
    {
        request.insert(request.end(), address.begin(), address.end());
    }
    // SOCKS 4 has a user id and no password.
    const std::string& user =
        Authentication == TkbzSocksAuthentication::saUsernamePassword ? Username : std::string();
    request.insert(request.end(), user.begin(), user.end());
    request.push_back(0);
    if (sendName)
    {
        request.insert(request.end(), host.begin(), host.end());
        request.push_back(0);
    }
    WriteBytes(connection, request);
    const std::vector<std::uint8_t> reply = ReadExactly(connection, 8, deadline, who);
    if (reply[0] != 0 && reply[0] != 4)
    {
        throw EIdSocksError(std::string(who) + " proxy sent an invalid reply.");
    }
    if (reply[1] != 0x5A)
    {
        throw EIdSocksError(std::string(who) + " proxy refused the connection: " +
                            Socks4Reply(reply[1]) + " (" + std::to_string(reply[1]) + ").");
    }
}

void TkbzProxySocks::Socks5(TkbzIdTCPConnection& connection, const std::string& host, int port,
                            std::uint64_t deadline)
{
    const char* who = "SOCKS 5";
    const bool login =
        Authentication == TkbzSocksAuthentication::saUsernamePassword && !Username.empty();
    if (login && (Username.size() > 255 || Password.size() > 255))
    {
        throw EIdSocksError("SOCKS 5 user name and password may have at most 255 bytes each.");
    }
    std::vector<std::uint8_t> address = LiteralAddress(host);
    if (address.empty() && ResolveLocally)
    {
        address = Resolve(host, IPVersion);
    }
    if (address.empty() && host.size() > 255)
    {
        throw EIdSocksError("SOCKS 5 host name is longer than 255 bytes.");
    }

    // Greeting: "none", and user name and password when we have them.
    std::vector<std::uint8_t> greeting{5};
    if (login)
    {
        greeting.insert(greeting.end(), {2, 0, 2});
    }
    else
    {
        greeting.insert(greeting.end(), {1, 0});
    }
    WriteBytes(connection, greeting);
    const std::vector<std::uint8_t> choice = ReadExactly(connection, 2, deadline, who);
    if (choice[0] != 5)
    {
        throw EIdSocksError("SOCKS 5 proxy sent an invalid reply.");
    }
    if (choice[1] == 0xFF)
    {
        throw EIdSocksError(login ? "SOCKS 5 proxy accepted none of our authentication methods."
                                  : "SOCKS 5 proxy requires a user name and password.");
    }
    if (choice[1] == 2 && login)
    {
        std::vector<std::uint8_t> auth{1, static_cast<std::uint8_t>(Username.size())};
        auth.insert(auth.end(), Username.begin(), Username.end());
        auth.push_back(static_cast<std::uint8_t>(Password.size()));
        auth.insert(auth.end(), Password.begin(), Password.end());
        WriteBytes(connection, auth);
        const std::vector<std::uint8_t> status = ReadExactly(connection, 2, deadline, who);
        if (status[1] != 0)
        {
            throw EIdSocksError("SOCKS 5 proxy refused the user name or password.");
        }
    }
    else if (choice[1] != 0)
    {
        throw EIdSocksError("SOCKS 5 proxy chose an authentication method we did not offer (" +
                            std::to_string(choice[1]) + ").");
    }

    std::vector<std::uint8_t> request{5, 1, 0};
    if (address.size() == 4)
    {
        request.push_back(1);
    }
    else if (address.size() == 16)
    {
        request.push_back(4);
    }
    else
    {
        request.push_back(3);
        request.push_back(static_cast<std::uint8_t>(host.size()));
        address.assign(host.begin(), host.end());
    }
    request.insert(request.end(), address.begin(), address.end());
    PutPort(request, port);
    WriteBytes(connection, request);

    const std::vector<std::uint8_t> reply = ReadExactly(connection, 4, deadline, who);
    if (reply[0] != 5)
    {
        throw EIdSocksError("SOCKS 5 proxy sent an invalid reply.");
    }
    if (reply[1] != 0)
    {
        throw EIdSocksError(std::string("SOCKS 5 proxy refused the connection: ") +
                            Socks5Reply(reply[1]) + " (" + std::to_string(reply[1]) + ").");
    }
    // The bound address that follows is of no use to us, but its bytes are not the target's.
    std::size_t rest = 0;
    switch (reply[3])
    {
    case 1:
        rest = 4 + 2;
        break;
    case 4:
        rest = 16 + 2;
        break;
    case 3:
        rest = ReadExactly(connection, 1, deadline, who)[0] + std::size_t{2};
        break;
    default:
        throw EIdSocksError("SOCKS 5 proxy sent an invalid reply.");
    }
    ReadExactly(connection, rest, deadline, who);
}

} // namespace kbz
