// A small blocking HTTP/1.1 client: GET, POST and the other methods over
// plain TCP or TLS (with the project's TLS options), optionally through a
// proxy tunnel, with time limits on connecting and on the answer, bounded
// heads and bodies, a kept connection for the next request to the same
// origin, redirects when asked for, and a cancel from another thread.
#pragma once

#include "base/kbzWebSocket_Version.h"
#include "transport/kbzHTTP_Message.h"
#include "transport/kbzSSL_OpenSSL.h"
#include "transport/kbzSocket_Classes.h"
#include "transport/kbzSocket_Options.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

namespace kbz
{

// The user agent the library's own requests name.
inline constexpr const char* kbzHTTPUserAgent = "Mozilla/5.0 (" KBZ_SOFTWARE ")";

struct TkbzHTTPResponse
{
    TkbzHTTPHead Head; // status line and fields
    std::string Body;  // decoded (chunks joined)
    // The address the answer came from, after any redirects.
    std::string URL;

    int Status() const noexcept { return Head.Status; }
    const std::string& Reason() const noexcept { return Head.Reason; }
    // Raises EIdHTTPProtocolException "HTTP/1.1 404 Not Found" (with the
    // status) for a status of 400 and above.
    void Check() const;
};

// How requests reach their host through a proxy: the client connects to Host
// and Port instead, then Open runs on the open plain channel and leaves it
// leading to the target (a CONNECT or SOCKS exchange); TLS to the target, if
// any, starts after it. Open raises to fail the request.
struct TkbzHTTPTunnel
{
    std::string Host;
    std::uint16_t Port = 0;
    std::function<void(TkbzIdTCPConnection& channel, const std::string& host, std::uint16_t port,
                       int timeoutMs)>
        Open;
};

// One request at a time; Cancel and Disconnect may come from any thread.
class TkbzHTTPClient
{
public:
    TkbzHTTPClient();
    ~TkbzHTTPClient();
    TkbzHTTPClient(const TkbzHTTPClient&) = delete;
    TkbzHTTPClient& operator=(const TkbzHTTPClient&) = delete;

    // ---- Settings
    // Name resolution, TCP connect, tunnel and TLS handshake, in all (ms).
    int ConnectTimeout = 10000;
    // From the request written to the whole answer read (ms); 0 or less: no limit.
    int ReadTimeout = 10000;
    TwsIPVersion IPVersion = TwsIPVersion::ipV4;
    std::string UserAgent = kbzHTTPUserAgent;
    // For https:// addresses.
    TkbzSocketTLS_Options TLSOptions;
    TkbzSSLVerifyPeerEvent OnSSLVerifyPeer;
    // Empty Open: straight to the host.
    TkbzHTTPTunnel Tunnel;
    TkbzHTTPLimits Limits;                    // answer heads
    std::uint64_t MaxBody = 64 * 1024 * 1024; // answer bodies
    // Redirects (301, 302, 303, 307, 308) followed in a row; 0: the redirect is the answer.
    int MaxRedirects = 0;
    // Keep the connection for the next request to the same scheme, host and port.
    bool KeepAlive = true;

    // ---- Requests. Raise the transport's errors (resolution, refusal,
    // EIdConnectTimeout, EIdReadTimeout, TLS), EIdHTTPProtocolException for an
    // answer that breaks the rules or is too large, EIdClosedSocket
    // "Request cancelled." after Cancel, and EArgumentException for an
    // address that is not http:// or https://. An error status is an answer
    // like any other (see TkbzHTTPResponse::Check).
    TkbzHTTPResponse Get(const std::string& url, const TkbzHTTPHeaders& headers = {});
    TkbzHTTPResponse Post(const std::string& url, std::string_view body,
                          const std::string& contentType, const TkbzHTTPHeaders& headers = {});
    // Any method; Host, User-Agent, Accept and Content-Length are added unless given.
    TkbzHTTPResponse Request(std::string_view method, const std::string& url,
                             const TkbzHTTPHeaders& headers = {}, std::string_view body = {});

    // Ends the request in progress at once (connect, TLS, write or read).
    void Cancel() noexcept;
    // Closes the kept connection.
    void Disconnect() noexcept;

private:
    struct Target
    {
        bool TLS = false;
        std::string Host;
        std::uint16_t Port = 0;
        std::string PathAndQuery;
    };
    static Target ParseTarget(const std::string& url);
    TkbzHTTPResponse Exchange(std::string_view method, const Target& target,
                              const TkbzHTTPHeaders& headers, std::string_view body);
    std::shared_ptr<TkbzIdTCPConnection> Open(const Target& target);
    // Reads the answer to a request written on connection, within deadline (kbzGetTicks).
    TkbzHTTPResponse ReadAnswer(TkbzIdTCPConnection& connection, std::string_view method,
                                std::uint64_t deadline, bool& reusable);
    void CheckCancelled() const;

    std::mutex FLock; // guards the pointers below (never held while waiting)
    std::shared_ptr<TkbzIdTCPConnection> FConnection;
    std::string FConnectionOrigin; // "tls|host|port" of FConnection
    int FCancelFd = -1;            // eventfd that cancels a connect in progress
    int FPendingSocket = -1;       // a second descriptor of a socket being set up
    std::atomic<bool> FCancelled{false};
};

} // namespace kbz
