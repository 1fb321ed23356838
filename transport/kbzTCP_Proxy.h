// Proxy tunnels: the HTTP CONNECT exchange and the SOCKS 4, 4A and 5 handshakes that a TCP
// client runs right after its TCP connection to the proxy is up, before TLS and before any
// byte of its own protocol. Once ConnectThrough returns, the connection leads to the target
// as if it had been made directly.
#pragma once

#include "base/kbzWebSocket_Types.h"
#include "transport/kbzSocket_Classes.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace kbz
{

struct TkbzHTTPHead;

// The HTTP proxy refused the tunnel (its status code and reason) or answered with something
// that is no HTTP answer.
KBZ_DECLARE_EXCEPTION(EIdHTTPProxyError, EIdException);
// A SOCKS proxy refused the request, the credentials or our methods, or broke the protocol.
KBZ_DECLARE_EXCEPTION(EIdSocksError, EIdException);

enum class TkbzSocksVersion : std::uint8_t
{
    svNoSocks,
    svSocks4,
    svSocks4A,
    svSocks5
};

enum class TkbzSocksAuthentication : std::uint8_t
{
    saNoAuthentication,
    saUsernamePassword
};

// One proxy between the client and its target.
class TkbzTransparentProxy
{
public:
    virtual ~TkbzTransparentProxy() = default;

    std::string Host;
    int Port = 0;
    std::string Username;
    std::string Password;
    bool Enabled = false;

    // Opens the tunnel to host:port over connection, the fresh TCP connection to this proxy,
    // within timeoutMs in all (0 or less: 30 s), whatever the connection's ReadTimeout.
    // reopen, when given, closes that connection and connects to the proxy again (for a proxy
    // that closes it after asking for credentials). Raises when the tunnel is not open: a
    // refusal, an answer that breaks the protocol, a time-out, a target or credentials that
    // cannot be sent. Bytes the proxy sent after its answer stay buffered for the caller.
    virtual void ConnectThrough(TkbzIdTCPConnection& connection, const std::string& host, int port,
                                int timeoutMs, const std::function<void()>& reopen = {}) = 0;
};

// The HTTP CONNECT tunnel. The first request carries no credentials; a 407 answer makes it
// ask again with Basic credentials (on the same connection, or a new one when the proxy ends
// the old one). Only a 200 answer opens the tunnel; its body is never read, since what follows
// the head belongs to the tunnel.
class TkbzProxyHTTP : public TkbzTransparentProxy
{
public:
    void ConnectThrough(TkbzIdTCPConnection& connection, const std::string& host, int port,
                        int timeoutMs, const std::function<void()>& reopen = {}) override;
    // Set while a retry with credentials runs on a new connection.
    bool AuthorizationRequired() const noexcept { return FAuthorizationRequired; }
    // Send the credentials with the first request already, for callers that cannot give a
    // way to reconnect after a 407.
    bool Preemptive = false;

    // The CONNECT request, with credentials when login; raises EArgumentException for a
    // target or credentials that would break the request.
    std::string BuildRequest(const std::string& host, int port, bool login) const;

private:
    bool FAuthorizationRequired = false;
};

// SOCKS 4 (the target's name resolved here, IPv4 only), 4A (the name sent to the proxy) and
// 5 (RFC 1928; RFC 1929 user name and password when Authentication asks for it; names are
// sent to the proxy unless ResolveLocally).
class TkbzProxySocks : public TkbzTransparentProxy
{
public:
    TkbzSocksVersion Version = TkbzSocksVersion::svSocks5;
    TkbzSocksAuthentication Authentication = TkbzSocksAuthentication::saNoAuthentication;
    bool ResolveLocally = false;
    // Address family for names resolved here (SOCKS 5; SOCKS 4 is IPv4 only).
    TwsIPVersion IPVersion = TwsIPVersion::ipV4;

    void ConnectThrough(TkbzIdTCPConnection& connection, const std::string& host, int port,
                        int timeoutMs, const std::function<void()>& reopen = {}) override;

private:
    void Socks4(TkbzIdTCPConnection& connection, const std::string& host, int port,
                std::uint64_t deadline);
    void Socks5(TkbzIdTCPConnection& connection, const std::string& host, int port,
                std::uint64_t deadline);
};

// The target as an HTTP authority: "host:port", an IPv6 literal in brackets. Raises
// EArgumentException for an empty host, blanks or control characters in it, or a port outside
// 1 to 65535.
std::string kbzProxyAuthority(const std::string& host, int port);

// Reads an HTTP proxy's answer head within the time left before deadline (kbzGetTicks);
// interim 1xx answers are skipped. Raises EIdHTTPProxyError for bytes that are no answer,
// EIdReadTimeout when the proxy says nothing in time.
TkbzHTTPHead kbzReadProxyAnswer(TkbzIdTCPConnection& connection, std::uint64_t deadline);

} // namespace kbz
