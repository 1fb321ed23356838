#include "transport/kbzHTTP_Client.h"

#include "base/kbzBase_Helpers.h"
#include "base/kbzWebSocket_Helpers.h"
#include "transport/kbzSSL_SChannel.h"

#include <algorithm>
#include <fcntl.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

namespace kbz
{

namespace
{

constexpr std::uint64_t kNoDeadline = ~std::uint64_t{0};

std::uint64_t DeadlineIn(int ms)
{
    return ms > 0 ? kbzGetTicks() + static_cast<std::uint64_t>(ms) : kNoDeadline;
}

// Milliseconds left (at most 1 s per wait, so a cancel is seen soon enough
// even where a channel cannot be woken); raises once the deadline passed.
int WaitSlice(std::uint64_t deadline)
{
    const std::uint64_t now = kbzGetTicks();
    if (now >= deadline)
    {
        throw EIdReadTimeout("Read timed out.");
    }
    return static_cast<int>(std::min<std::uint64_t>(deadline - now, INT32_MAX));
}

bool IsRedirect(int status)
{
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

std::string HostField(const std::string& host, std::uint16_t port, bool tls)
{
    std::string text = host.find(':') != std::string::npos ? "[" + host + "]" : host;
    if (port != (tls ? 443 : 80))
    {
        text += ":" + std::to_string(port);
    }
    return text;
}

// A Location relative to the address it answered.
std::string ResolveLocation(const std::string& base, const std::string& location)
{
    if (location.find("://") != std::string::npos)
    {
        return location;
    }
    const std::size_t scheme = base.find("://");
    const std::size_t pathStart =
        scheme == std::string::npos ? std::string::npos : base.find('/', scheme + 3);
    const std::string origin = base.substr(0, pathStart);
    if (location.rfind("//", 0) == 0)
    {
        return base.substr(0, scheme + 1) + location;
    }
    if (!location.empty() && location.front() == '/')
    {
        return origin + location;
    }
    std::string path = pathStart == std::string::npos ? "/" : base.substr(pathStart);
    path = path.substr(0, path.find('?'));
    return origin + path.substr(0, path.rfind('/') + 1) + location;
}

} // namespace

void TkbzHTTPResponse::Check() const
{
    if (Head.Status >= 400)
    {
        throw EIdHTTPProtocolException(
            Head.Version() + " " + std::to_string(Head.Status) + " " + Head.Reason, Head.Status);
    }
}

TkbzHTTPClient::TkbzHTTPClient() = default;

TkbzHTTPClient::~TkbzHTTPClient()
{
    Disconnect();
}

TkbzHTTPClient::Target TkbzHTTPClient::ParseTarget(const std::string& url)
{
    std::string protocol, host, port, path, params;
    kbzParseURL(url, protocol, host, port, path, params);
    Target t;
    if (kbzSameText(protocol, "https"))
    {
        t.TLS = true;
    }
    else if (!kbzSameText(protocol, "http"))
    {
        throw EArgumentException("Not an http or https address: " + url);
    }
    if (host.empty())
    {
        throw EArgumentException("No host in " + url);
    }
    const int number = port.empty() ? (t.TLS ? 443 : 80) : kbzStrToIntDef(port, -1);
    if (number < 1 || number > 65535)
    {
        throw EConvertError("'" + port + "' is not a valid port number");
    }
    t.Host = host;
    t.Port = static_cast<std::uint16_t>(number);
    t.PathAndQuery = (path.empty() ? "/" : path) + (params.empty() ? "" : "?" + params);
    return t;
}

void TkbzHTTPClient::CheckCancelled() const
{
    if (FCancelled.load())
    {
        throw EIdClosedSocket("Request cancelled.");
    }
}

void TkbzHTTPClient::Cancel() noexcept
{
    FCancelled.store(true);
    std::shared_ptr<TkbzIdTCPConnection> connection;
    {
        std::lock_guard guard(FLock);
        connection = FConnection;
        if (FCancelFd >= 0)
        {
            const std::uint64_t one = 1;
            [[maybe_unused]] const ssize_t n = ::write(FCancelFd, &one, sizeof one);
        }
        if (FPendingSocket >= 0)
        {
            ::shutdown(FPendingSocket, SHUT_RDWR); // wakes a TLS handshake or tunnel
        }
    }
    if (connection)
    {
        try
        {
            connection->Disconnect(false);
        }
        catch (...)
        {}
    }
}

void TkbzHTTPClient::Disconnect() noexcept
{
    std::shared_ptr<TkbzIdTCPConnection> connection;
    {
        std::lock_guard guard(FLock);
        connection = std::move(FConnection);
        FConnectionOrigin.clear();
    }
    if (connection)
    {
        try
        {
            connection->Disconnect(true);
        }
        catch (...)
        {}
    }
}

std::shared_ptr<TkbzIdTCPConnection> TkbzHTTPClient::Open(const Target& target)
{
    const bool tunnel = static_cast<bool>(Tunnel.Open);
    const std::string host = tunnel ? Tunnel.Host : target.Host;
    const std::uint16_t port = tunnel ? Tunnel.Port : target.Port;
    const int cancelFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    {
        std::lock_guard guard(FLock);
        FCancelFd = cancelFd;
    }
    struct Done
    {
        TkbzHTTPClient& client;
        int fd;
        ~Done()
        {
            std::lock_guard guard(client.FLock);
            client.FCancelFd = -1;
            if (client.FPendingSocket >= 0)
            {
                ::close(client.FPendingSocket);
                client.FPendingSocket = -1;
            }
            if (fd >= 0)
            {
                ::close(fd);
            }
        }
    } done{*this, cancelFd};
    CheckCancelled();
    const std::uint64_t started = kbzGetTicks();
    auto socket = std::make_unique<TkbzSocketIOHandler>(
        kbzConnectTCP(host, port, IPVersion, ConnectTimeout, 0, 0, cancelFd));
    socket->SetNoDelay(true);
    {
        std::lock_guard guard(FLock);
        FPendingSocket = ::fcntl(socket->Handle(), F_DUPFD_CLOEXEC, 0);
    }
    CheckCancelled();
    const int budget = ConnectTimeout > 0 ? ConnectTimeout : 30000;
    auto left = [&] {
        const std::uint64_t spent = kbzGetTicks() - started;
        return static_cast<int>(
            std::max<std::int64_t>(1, budget - static_cast<std::int64_t>(spent)));
    };
    auto connection = std::make_shared<TkbzIdTCPConnection>(std::move(socket));
    if (tunnel)
    {
        Tunnel.Open(*connection, target.Host, target.Port, left());
        CheckCancelled();
    }
    if (target.TLS)
    {
        std::unique_ptr<TkbzIOHandler> plain = connection->ReleaseIOHandler();
        std::unique_ptr<TkbzSocketIOHandler> plainSocket(
            static_cast<TkbzSocketIOHandler*>(plain.release()));
        connection->SetIOHandler(kbzStartTLSClientFromOptions(
            std::move(plainSocket), TLSOptions, target.Host, left(), {}, OnSSLVerifyPeer));
        CheckCancelled();
    }
    return connection;
}

TkbzHTTPResponse TkbzHTTPClient::ReadAnswer(TkbzIdTCPConnection& connection,
                                            std::string_view method, std::uint64_t deadline,
                                            bool& reusable)
{
    TkbzHTTPResponse response;
    for (;;)
    {
        // An interim answer (100 Continue and the like) is followed by the real one.
        TkbzHTTPHeadParser parser(TkbzHTTPHeadKind::hkResponse, Limits);
        TkbzHTTPParseStatus status = TkbzHTTPParseStatus::hpsNeedMore;
        for (;;)
        {
            connection.InputBufferConsume([&](std::span<const std::uint8_t> bytes) -> std::size_t {
                status = parser.Parse(
                    std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
                return status == TkbzHTTPParseStatus::hpsComplete ? parser.Head().Length : 0;
            });
            if (status == TkbzHTTPParseStatus::hpsComplete)
            {
                break;
            }
            if (status == TkbzHTTPParseStatus::hpsNotHTTP)
            {
                throw EIdHTTPProtocolException("Not an HTTP answer", 502);
            }
            if (status == TkbzHTTPParseStatus::hpsError)
            {
                throw EIdHTTPProtocolException("Invalid answer: " + parser.ErrorText(),
                                               parser.ErrorStatus());
            }
            CheckCancelled();
            if (connection.Disconnected())
            {
                throw EIdClosedSocket("Disconnected.");
            }
            if (connection.PeerClosed())
            {
                throw EIdConnClosedGracefully("Connection Closed Gracefully.");
            }
            connection.CheckForDataOnSource(WaitSlice(deadline));
        }
        response.Head = std::move(parser.Head());
        if (response.Head.Status >= 200 || response.Head.Status == 101)
        {
            break;
        }
    }
    const TkbzHTTPBodyFraming framing = kbzHTTPResponseFraming(response.Head, method);
    if (framing.ErrorStatus != 0)
    {
        throw EIdHTTPProtocolException("Invalid answer: " + framing.ErrorText, 502);
    }
    if (framing.Kind == TkbzHTTPBodyKind::hbkLength && framing.Length > MaxBody)
    {
        throw EIdHTTPProtocolException("Answer body too large", 413);
    }
    TkbzHTTPBodyDecoder decoder(framing, MaxBody);
    while (!decoder.Done())
    {
        connection.InputBufferConsume([&](std::span<const std::uint8_t> bytes) -> std::size_t {
            return decoder.Feed(
                std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()),
                response.Body);
        });
        if (decoder.Failed())
        {
            throw EIdHTTPProtocolException(decoder.ErrorStatus() == 413
                                               ? std::string("Answer body too large")
                                               : "Invalid answer body: " + decoder.ErrorText(),
                                           decoder.ErrorStatus());
        }
        if (decoder.Done())
        {
            break;
        }
        CheckCancelled();
        if (connection.InputBufferIsEmpty() &&
            (connection.PeerClosed() || connection.Disconnected()))
        {
            decoder.End();
            if (decoder.Failed())
            {
                throw EIdConnClosedGracefully("Connection closed before the answer's end.");
            }
            break;
        }
        connection.CheckForDataOnSource(WaitSlice(deadline));
    }
    reusable = framing.Kind != TkbzHTTPBodyKind::hbkUntilClose && response.Head.KeepAlive() &&
               response.Head.Status != 101 && connection.InputBufferIsEmpty() &&
               !connection.PeerClosed();
    return response;
}

TkbzHTTPResponse TkbzHTTPClient::Exchange(std::string_view method, const Target& target,
                                          const TkbzHTTPHeaders& headers, std::string_view body)
{
    TkbzHTTPHeaders fields;
    if (!headers.Has("Host"))
    {
        fields.Add("Host", HostField(target.Host, target.Port, target.TLS));
    }
    for (const TkbzHTTPHeaderField& f : headers)
    {
        fields.Add(f.Name, f.Value);
    }
    if (!fields.Has("User-Agent") && !UserAgent.empty())
    {
        fields.Add("User-Agent", UserAgent);
    }
    if (!fields.Has("Accept"))
    {
        fields.Add("Accept", "*/*");
    }
    if (!KeepAlive && !fields.Has("Connection"))
    {
        fields.Add("Connection", "close");
    }
    const std::string request = kbzWriteHTTPRequest(method, target.PathAndQuery, fields, body);
    const std::string origin =
        std::string(target.TLS ? "s|" : "p|") + target.Host + "|" + std::to_string(target.Port);

    // A kept connection may have been closed by the server meanwhile: a
    // request that gets no answer byte on it is tried once more on a new one,
    // when repeating it cannot do harm.
    const bool repeatable = method == "GET" || method == "HEAD" || method == "OPTIONS";
    for (int attempt = 0;; ++attempt)
    {
        std::shared_ptr<TkbzIdTCPConnection> connection;
        bool kept = false;
        {
            std::lock_guard guard(FLock);
            if (FConnection && FConnectionOrigin == origin && FConnection->Connected() &&
                !FConnection->PeerClosed())
            {
                connection = FConnection;
                kept = true;
            }
        }
        if (!connection)
        {
            Disconnect();
            connection = Open(target);
            std::lock_guard guard(FLock);
            FConnection = connection;
            FConnectionOrigin = origin;
        }
        CheckCancelled();
        try
        {
            connection->Write(request);
            const std::uint64_t deadline = DeadlineIn(ReadTimeout);
            bool reusable = false;
            TkbzHTTPResponse response = ReadAnswer(*connection, method, deadline, reusable);
            if (!reusable || !KeepAlive)
            {
                Disconnect();
            }
            return response;
        }
        catch (const EIdClosedSocket&)
        {
            Disconnect();
            CheckCancelled();
            if (!kept || !repeatable || attempt > 0)
            {
                throw;
            }
        }
        catch (const EIdConnClosedGracefully&)
        {
            Disconnect();
            if (!kept || !repeatable || attempt > 0)
            {
                throw;
            }
        }
        catch (const EIdSocketError&)
        {
            Disconnect();
            CheckCancelled();
            if (!kept || !repeatable || attempt > 0)
            {
                throw;
            }
        }
        catch (...)
        {
            Disconnect();
            throw;
        }
    }
}

TkbzHTTPResponse TkbzHTTPClient::Request(std::string_view method, const std::string& url,
                                         const TkbzHTTPHeaders& headers, std::string_view body)
{
    FCancelled.store(false);
    std::string address = url;
    std::string currentMethod(method);
    std::string currentBody(body);
    for (int redirects = 0;; ++redirects)
    {
        const Target target = ParseTarget(address);
        TkbzHTTPResponse response = Exchange(currentMethod, target, headers, currentBody);
        response.URL = address;
        const std::string* location = response.Head.Headers.Find("Location");
        if (!IsRedirect(response.Status()) || !location || location->empty() ||
            redirects >= MaxRedirects)
        {
            return response;
        }
        address = ResolveLocation(address, *location);
        if (response.Status() == 303 ||
            ((response.Status() == 301 || response.Status() == 302) && currentMethod == "POST"))
        {
            currentMethod = "GET";
            currentBody.clear();
        }
    }
}

TkbzHTTPResponse TkbzHTTPClient::Get(const std::string& url, const TkbzHTTPHeaders& headers)
{
    return Request("GET", url, headers);
}

TkbzHTTPResponse TkbzHTTPClient::Post(const std::string& url, std::string_view body,
                                      const std::string& contentType,
                                      const TkbzHTTPHeaders& headers)
{
    TkbzHTTPHeaders fields = headers;
    if (!fields.Has("Content-Type") && !contentType.empty())
    {
        fields.Add("Content-Type", contentType);
    }
    return Request("POST", url, fields, body);
}

} // namespace kbz
