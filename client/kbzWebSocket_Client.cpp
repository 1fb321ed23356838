#include "client/kbzWebSocket_Client.h"

#include "base/kbzBase_Helpers.h"
#include "base/kbzWebSocket_Helpers.h"
#include "client/kbzClient_Environment.h"
#include "transport/kbzHTTP_Client.h"

#include "json/kbzJSON.h"
#include <algorithm>
#include <chrono>
#include <limits>
#include <random>
#include <thread>

namespace kbz
{

namespace
{
// Redirects followed in a row before the client gives up.
constexpr int kMaxRedirects = 5;
// Largest answer head accepted from the server.
constexpr std::size_t kMaxAnswerHead = 16384;
// Activate without the check for deactivations since the request.
constexpr std::uint64_t kAnyEpoch = ~std::uint64_t{0};

// The TCP client whose read thread runs this code, if any.
thread_local const TkbzIdTCPClient* tlsReadClient = nullptr;
// Set on the thread that follows a redirect: its activation continues a count of redirects
// that every other activation starts afresh.
thread_local bool tlsFollowingRedirect = false;

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

std::string Trim(std::string_view s)
{
    std::size_t b = 0;
    std::size_t e = s.size();
    while (b < e && (s[b] == ' ' || s[b] == '\t'))
    {
        ++b;
    }
    while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t'))
    {
        --e;
    }
    return std::string(s.substr(b, e - b));
}

// Whether a comma-separated header value lists token (ignoring case).
bool ListsToken(const std::string& value, const std::string& token)
{
    const std::string lowered = Lower(value);
    std::size_t start = 0;
    while (start <= lowered.size())
    {
        std::size_t end = lowered.find(',', start);
        if (end == std::string::npos)
        {
            end = lowered.size();
        }
        if (Trim(std::string_view(lowered).substr(start, end - start)) == token)
        {
            return true;
        }
        start = end + 1;
    }
    return false;
}

// Unreserved characters stay as they are, everything else (UTF-8 bytes too) becomes %XX.
std::string PercentEncode(std::string_view s)
{
    static const char* const hex = "0123456789ABCDEF";
    std::string out;
    out.reserve(s.size());
    for (const char ch : s)
    {
        const auto c = static_cast<unsigned char>(ch);
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
            c == '-' || c == '.' || c == '_' || c == '~')
        {
            out.push_back(static_cast<char>(c));
        }
        else
        {
            out.push_back('%');
            out.push_back(hex[c >> 4]);
            out.push_back(hex[c & 15]);
        }
    }
    return out;
}

bool HasControlCharacters(std::string_view s)
{
    for (const char ch : s)
    {
        const auto c = static_cast<unsigned char>(ch);
        if (c < 0x20 || c == 0x7F)
        {
            return true;
        }
    }
    return false;
}

// Credentials end up in request lines: a CR or LF in them would add lines of its own.
void CheckCredentials(const TkbzWSAuthenticationClient_Options& a)
{
    if (HasControlCharacters(a.User) || HasControlCharacters(a.Password))
    {
        throw EArgumentException("Invalid credentials: control characters in user or password");
    }
    if (a.Token.Enabled &&
        (HasControlCharacters(a.Token.AuthName) || HasControlCharacters(a.Token.AuthToken)))
    {
        throw EArgumentException("Invalid token: control characters in its name or value");
    }
}

bool HasUnsafeCharacters(std::string_view s)
{
    for (const char ch : s)
    {
        const auto c = static_cast<unsigned char>(ch);
        if (c <= 0x20 || c == 0x7F)
        {
            return true;
        }
    }
    return false;
}
} // namespace

// ---- TkbzWSHandShakeClient ----

namespace
{
[[noreturn]] void RaiseWrongStatus(const std::string& statusLine)
{
    throw Exception("Error Decoding Header: Switching Protocols [" + statusLine + "]");
}

TkbzHTTPHead AnswerHead(const std::vector<std::string>& lines)
{
    try
    {
        return kbzParseHTTPHeadLines(lines, TkbzHTTPHeadKind::hkResponse);
    }
    catch (const Exception&)
    {
        RaiseWrongStatus(!lines.empty() && kbzStartsText(lines.front(), "HTTP/") ? lines.front()
                                                                                 : "");
    }
}
} // namespace

TkbzWSHandShakeClient::TkbzWSHandShakeClient(const std::vector<std::string>& lines)
    : TkbzWSHandShakeClient(AnswerHead(lines))
{}

TkbzWSHandShakeClient::TkbzWSHandShakeClient(const TkbzHTTPHead& head)
{
    const std::string statusLine = head.Lines.empty() ? std::string() : head.Lines.front();
    if (head.Status >= 300 && head.Status <= 309)
    {
        FRedirect = true;
        FLocation = head.Headers.Get("Location");
        return;
    }
    if (head.Status != 101)
    {
        RaiseWrongStatus(statusLine);
    }
    for (const TkbzHTTPHeaderField& field : head.Headers)
    {
        const std::string name = Lower(field.Name);
        const std::string& value = field.Value;
        if (name == "upgrade")
        {
            if (!ListsToken(value, "websocket"))
            {
                throw TkbzWSException("Error Decoding Header: Upgrade");
            }
        }
        else if (name == "connection")
        {
            if (!ListsToken(value, "upgrade"))
            {
                throw TkbzWSException("Error Decoding Header: Upgrade");
            }
        }
        else if (name == "sec-websocket-accept")
        {
            FAccept = value;
        }
        else if (name == "sec-websocket-protocol")
        {
            FProtocols = value;
        }
        else if (name == "sec-websocket-extensions")
        {
            // Several lines mean one list.
            FExtensions = FExtensions.empty() ? value : FExtensions + ", " + value;
        }
    }
}

// ---- TkbzWSConnectionClient ----

std::vector<std::string> TkbzWSConnectionClient::BuildRequest()
{
    // 16 bytes from the system's CSPRNG, written as hex, then Base64.
    FKey = kbzEncodeBase64FromHex(kbzBytesToHex(kbzRandomBytes(16)));

    std::string path = FOptions.GetParameters();
    if (path.empty() || path[0] != '/')
    {
        path = "/" + path;
    }
    std::string host = FHost;
    if (host.find(':') != std::string::npos && host.front() != '[')
    {
        host = "[" + host + "]"; // an IPv6 literal
    }
    std::vector<std::string> lines;
    lines.push_back("GET " + path + " HTTP/1.1");
    if (FPort == 80 || FPort == 443)
    {
        lines.push_back("Host: " + host);
    }
    else
    {
        lines.push_back("Host: " + host + ":" + std::to_string(FPort));
    }
    lines.push_back("Upgrade: websocket");
    lines.push_back("Connection: Upgrade");
    lines.push_back("Sec-WebSocket-Key: " + FKey);
    lines.push_back("Origin: " + (FOptions.Origin.empty() ? host : FOptions.Origin));
    if (!Protocol.empty())
    {
        lines.push_back("Sec-WebSocket-Protocol: " + Protocol);
    }
    if (FAuthentication.Enabled)
    {
        if (FAuthentication.Basic.Enabled)
        {
            // The UTF-8 bytes (RFC 7617's charset): servers decode them as UTF-8, and ours
            // also reads Latin-1.
            lines.push_back(
                "Authorization: Basic " +
                kbzEncodeBase64(FAuthentication.User + ":" + FAuthentication.Password, true));
        }
        if (FAuthentication.Token.Enabled)
        {
            lines.push_back("Authorization: " + FAuthentication.Token.AuthName + " " +
                            FAuthentication.Token.AuthToken);
        }
    }
    Extensions().WriteHeader(lines);
    lines.push_back("Sec-WebSocket-Version: 13");
    return lines;
}

void TkbzWSConnectionClient::DoInitialize(std::shared_ptr<TkbzIdTCPConnection> tcp)
{
    SetTCPConnection(tcp);
    switch (GetTransport())
    {
    case TwsTransport::trpTCP:
        SetEnabled(true);
        if (OnEnabled)
        {
            OnEnabled(*this);
        }
        return;
    case TwsTransport::trpRFC8441:
        // No HTTP/2 is ever negotiated here: fall back to the HTTP/1.1 upgrade.
        SetTransport(TwsTransport::trpRFC6455);
        break;
    default:
        break;
    }
    std::vector<std::string> lines = BuildRequest();
    if (OnHandshake)
    {
        OnHandshake(*this, lines);
    }
    const std::string request = kbzWriteHTTPLines(lines);
    HeadersResponse() = lines;
    FHandshakeStarted.store(kbzGetTicks());
    tcp->Write(request);
    AddSendBytes(static_cast<std::int64_t>(request.size()));
}

void TkbzWSConnectionClient::DoHandshake()
{
    TkbzIdTCPConnection* tcp = TCPConnection();
    if (!tcp || Enabled())
    {
        return;
    }
    if (Redirecting())
    {
        tcp->InputBufferClear(); // the rest of the redirect answer
        return;
    }
    const std::uint64_t started = FHandshakeStarted.load();
    const std::uint64_t elapsed = started ? kbzGetTicks() - started : 0;
    const int left = std::max<int>(
        1, HandshakeTimeOut - static_cast<int>(std::min<std::uint64_t>(
                                  elapsed, static_cast<std::uint64_t>(HandshakeTimeOut))));
    TkbzHTTPLimits limits;
    limits.MaxHeadSize = kMaxAnswerHead;
    TkbzHTTPHead head;
    try
    {
        head = kbzReadHTTPHead(*tcp, TkbzHTTPHeadKind::hkResponse, left, limits);
    }
    catch (const EIdHTTPProtocolException& e)
    {
        if (e.Status() == 431)
        {
            throw EIdMaxLineLengthExceeded("Header block exceeds " +
                                           std::to_string(kMaxAnswerHead) + " bytes.");
        }
        // Not an answer we can read: name what the server sent first.
        std::string first = tcp->InputBufferAsString(256);
        first = first.substr(0, first.find_first_of("\r\n"));
        RaiseWrongStatus(kbzStartsText(first, "HTTP/") ? first : std::string());
    }
    HeadersRequest() = head.Lines;
    FHandshake = std::make_unique<TkbzWSHandShakeClient>(head);

    if (FHandshake->Redirect() && !FHandshake->Location().empty())
    {
        if (OnRedirect)
        {
            FRedirecting.store(true);
            OnRedirect(*this, FHandshake->Location());
            return;
        }
        throw TkbzWSException("Redirect to: " + FHandshake->Location());
    }
    if (FHandshake->Accept() != kbzWebSocketAcceptKey(FKey))
    {
        throw TkbzWSException("Handshake Error: Invalid Accept Key");
    }
    // A server may not choose a subprotocol that was not asked for; it may
    // answer without one.
    const std::string& chosen = FHandshake->Protocols();
    if (!chosen.empty())
    {
        bool requested = false;
        TkbzDelimitedStringList list;
        list.SetDelimitedText(Protocol);
        for (std::size_t i = 0; i < list.Count(); ++i)
        {
            if (Trim(list[i]) == chosen)
            {
                requested = true;
            }
        }
        if (!requested)
        {
            throw TkbzWSException("Protocol not supported " + chosen + ".");
        }
    }
    Protocol = chosen;
    Extensions().DecodeExtensions(FHandshake->Extensions());
    SetEnabled(true);
    if (OnEnabled)
    {
        OnEnabled(*this);
    }
}

// ---- TkbzWSClient ----

TkbzWSClient::TkbzWSClient()
{
    FTokenLink->Client = this;
    Proxy.Port = 8080;
    Extensions().SetMode(TwsApplicationMode::appClient);
}

TkbzWSClient::~TkbzWSClient()
{
    StopForDestruction();
}

void TkbzWSClient::StopForDestruction() noexcept
{
    SetDestroying();
    try
    {
        Deactivate();
    }
    catch (...)
    {}
    {
        // A token handler that is running ends first; later ones find no client.
        std::unique_lock lock(FTokenLink->Lock);
        FTokenLink->Client = nullptr;
        FTokenLink->Idle.wait(lock, [this] { return FTokenLink->Running == 0; });
    }
    FreeTimers();
    WaitForTimerTicks();
    // Start/Stop/redirect threads use this object: wait until they are done.
    std::unique_lock lock(FThreadsLock);
    FThreadsDone.wait(lock, [this] { return FThreads == 0; });
    lock.unlock();
    std::shared_ptr<TkbzIdTCPClient> tcp;
    {
        std::lock_guard guard(FLock);
        tcp = std::move(FTCPClient);
        FWSConnection.reset();
    }
    if (tcp)
    {
        tcp->OnDisconnected = nullptr;
        try
        {
            tcp->Disconnect(false);
        }
        catch (...)
        {}
    }
}

void TkbzWSClient::SetURL(const std::string& url)
{
    std::string scheme, host, port, path, query;
    kbzParseURL(url, scheme, host, port, path, query);
    if (HasUnsafeCharacters(host) || HasUnsafeCharacters(path) || HasUnsafeCharacters(query))
    {
        throw EArgumentException("Invalid URL: " + kbzRedactURL(url));
    }
    scheme = Lower(scheme);
    const bool tls = scheme == "wss" || scheme == "tcps";
    int portNumber = tls ? 443 : 80;
    if (!port.empty())
    {
        portNumber = kbzStrToInt(port);
        if (portNumber < 1 || portNumber > 65535)
        {
            throw EConvertError("'" + port + "' is not a valid port number");
        }
    }
    Host = host;
    TLS = tls;
    Port = portNumber;
    Specifications().RFC6455 = scheme != "tcp" && scheme != "tcps";
    Options.SetParameters(query.empty() ? path : path + "?" + query);
}

bool TkbzWSClient::GetActive() const
{
    std::lock_guard guard(FLock);
    return FWSConnection != nullptr;
}

void TkbzWSClient::SetActive(bool value)
{
    if (value)
    {
        Activate(kAnyEpoch);
    }
    else
    {
        Deactivate();
    }
}

TkbzWSConnectionClientPtr TkbzWSClient::Connection() const
{
    std::lock_guard guard(FLock);
    return FWSConnection;
}

bool TkbzWSClient::OnReadThread() const
{
    std::lock_guard guard(FLock);
    return FTCPClient && tlsReadClient == FTCPClient.get();
}

bool TkbzWSClient::Connected() const
{
    std::shared_ptr<TkbzIdTCPClient> tcp;
    {
        std::lock_guard guard(FLock);
        tcp = FTCPClient;
    }
    return tcp && tcp->Connected();
}

void TkbzWSClient::Activate(std::uint64_t epoch, bool tokenReady)
{
    if (IsDestroying())
    {
        return;
    }
    if (OnReadThread())
    {
        // The new connection replaces the TCP client whose read thread runs
        // this: hand the activation to a thread of its own.
        Start();
        return;
    }
    std::lock_guard activation(FActivationLock);
    if (epoch != kAnyEpoch && FActivationEpoch.load() != epoch)
    {
        return; // a deactivation came after this activation was asked for
    }
    const std::uint64_t startEpoch = FActivationEpoch.load();
    FCancelConnecting.store(false);
    std::shared_ptr<TkbzIdTCPClient> previous;
    {
        std::lock_guard guard(FLock);
        if (FWSConnection)
        {
            return; // connecting or connected already
        }
        previous = std::move(FTCPClient);
    }
    if (!tlsFollowingRedirect)
    {
        FRedirects.store(0);
    }
    StopHeartBeatTimeout();
    StopHeartBeat();
    if (previous)
    {
        previous->OnDisconnected = nullptr;
        try
        {
            previous->Disconnect(false);
        }
        catch (...)
        {}
        previous.reset();
    }
    FWatchDogEnabled.store(WatchDog().Enabled);
    FConnecting.store(true);
    TkbzWSConnectionClientPtr connection;
    try
    {
        OnBeforeConnect(*this);
        // A connect that follows a token continues the activation that chose the server.
        if (LoadBalancer.Enabled && !tokenReady)
        {
            SelectServer();
            if (FCancelConnecting.load())
            {
                throw EIdClosedSocket("Request cancelled."); // a deactivation came meanwhile
            }
        }
        const std::optional<std::string> path = ApplyAuthentication(startEpoch, tokenReady);
        if (!path)
        {
            // The connect follows when the token source delivers (maybe done already).
            FConnecting.store(false);
            NotifyStateChanged();
            return;
        }
        FRequestPath = *path;

        if (Port < 1 || Port > 65535)
        {
            throw EArgumentException("Invalid port " + std::to_string(Port) + " (1 to 65535)");
        }
        auto tcp = std::make_shared<TkbzIdTCPClient>();
        tcp->Host = Host;
        tcp->Port = static_cast<std::uint16_t>(Port);
        tcp->IPVersion = IPVersion;
        tcp->ConnectTimeout = ConnectTimeout;
        tcp->ReadTimeout = ReadTimeout;
        if (TLS)
        {
            const std::string host = Host;
            const int timeout = ConnectTimeout > 0 ? ConnectTimeout : 10000;
            TkbzSSLHandlerPtr handler;
            OnSSLGetHandler(*this, TwsSSLHandlerType::sslClient, handler);
            if (!handler)
            {
                auto openssl =
                    std::make_shared<TkbzSSLHandlerOpenSSL>(TwsSSLHandlerType::sslClient);
                openssl->ClientOptions.Assign(TLSOptions);
                openssl->OnSSLVerifyPeer = OnSSLVerifyPeer;
                handler = std::move(openssl);
            }
            OnSSLAfterCreateHandler(*this, TwsSSLHandlerType::sslClient, *handler);
            tcp->TLSHandlerFactory = [handler, host,
                                      timeout](std::unique_ptr<TkbzSocketIOHandler> plain) {
                return handler->Connect(std::move(plain), host, timeout);
            };
        }
        PrepareProxy(*tcp);
        std::weak_ptr<TkbzIdTCPClient> weak = tcp;
        tcp->OnConnected = [this, weak](TkbzIdTCPClient&) {
            if (auto t = weak.lock())
            {
                OnTCPConnected(t);
            }
        };
        tcp->OnRead = [this, weak](TkbzIdTCPClient&) {
            if (auto t = weak.lock())
            {
                OnTCPRead(t);
            }
        };
        tcp->OnThread = [this, weak](TkbzIdTCPClient&) {
            if (auto t = weak.lock())
            {
                OnTCPThread(t);
            }
        };
        tcp->OnReadException = [this, weak](TkbzIdTCPClient&, const std::exception& e) {
            if (auto t = weak.lock())
            {
                OnTCPReadException(t, e);
            }
        };
        tcp->OnDisconnected = [this, weak] { OnTCPDisconnected(weak); };
        {
            std::lock_guard guard(FLock);
            FTCPClient = tcp;
        }
        tcp->Connect();
    }
    catch (const std::exception& e)
    {
        FConnecting.store(false);
        if (IsDestroying())
        {
            return;
        }
        connection = Connection();
        // A connect ended by our own deactivation is not an error to report.
        const bool cancelled =
            FCancelConnecting.load() && dynamic_cast<const EIdClosedSocket*>(&e) != nullptr;
        if (!cancelled)
        {
            DoException(connection, e.what(), &e);
        }
        if (connection)
        {
            DisconnectNotification(connection);
        }
        else if (FWatchDogEnabled.load() && FActivationEpoch.load() == startEpoch)
        {
            StartWatchDog(WatchDog().Interval);
        }
    }
    FConnecting.store(false);
    // A deactivation that came while the TCP connection was being made found nothing to end:
    // it wins now.
    if (FCancelConnecting.exchange(false) && !IsDestroying())
    {
        Deactivate();
    }
    NotifyStateChanged();
}

std::shared_ptr<TkbzTransparentProxy> TkbzWSClient::MakeTunnel()
{
    FProxyHTTP.reset();
    FProxySocks.reset();
    if (!Proxy.Enabled)
    {
        return nullptr;
    }
    if (Proxy.Host.empty())
    {
        throw EArgumentException("The proxy has no host");
    }
    // Refused, not cut to 16 bits: port 65616 is not port 80.
    if (Proxy.Port < 1 || Proxy.Port > 65535)
    {
        throw EArgumentException("Invalid proxy port " + std::to_string(Proxy.Port) +
                                 " (1 to 65535)");
    }
    std::shared_ptr<TkbzTransparentProxy> tunnel;
    if (Proxy.ProxyType == TwsProxy::pxyHTTP)
    {
        FProxyHTTP = std::make_shared<TkbzProxyHTTP>();
        tunnel = FProxyHTTP;
    }
    else
    {
        FProxySocks = std::make_shared<TkbzProxySocks>();
        FProxySocks->Version = Proxy.ProxyType == TwsProxy::pxySocks4 ? TkbzSocksVersion::svSocks4
                               : Proxy.ProxyType == TwsProxy::pxySocks4A
                                   ? TkbzSocksVersion::svSocks4A
                                   : TkbzSocksVersion::svSocks5;
        FProxySocks->Authentication = Proxy.Username.empty()
                                          ? TkbzSocksAuthentication::saNoAuthentication
                                          : TkbzSocksAuthentication::saUsernamePassword;
        FProxySocks->ResolveLocally = Proxy.ResolveLocally;
        FProxySocks->IPVersion = IPVersion;
        tunnel = FProxySocks;
    }
    tunnel->Host = Proxy.Host;
    tunnel->Port = Proxy.Port;
    tunnel->Username = Proxy.Username;
    tunnel->Password = Proxy.Password;
    tunnel->Enabled = true;
    return tunnel;
}

void TkbzWSClient::PrepareProxy(TkbzIdTCPClient& tcp)
{
    const std::shared_ptr<TkbzTransparentProxy> tunnel = MakeTunnel();
    if (!tunnel)
    {
        return;
    }
    // The TCP connection goes to the proxy; the tunnel, TLS (its server name and certificate
    // check) and the Host header name the server.
    tcp.Host = Proxy.Host;
    tcp.Port = static_cast<std::uint16_t>(Proxy.Port);
    const std::string host = Host;
    const int port = Port;
    const int timeout = ConnectTimeout > 0 ? ConnectTimeout : 10000;
    tcp.OnConnectThrough = [tunnel, host, port, timeout](TkbzIdTCPClient& c) {
        tunnel->ConnectThrough(c, host, port, timeout, [&c] { c.Reopen(); });
    };
}

void TkbzWSClient::PrepareHTTP(TkbzHTTPClient& http)
{
    http.ReadTimeout = 10000;
    http.ConnectTimeout = ConnectTimeout > 0 ? ConnectTimeout : 10000;
    http.IPVersion = IPVersion;
    http.KeepAlive = false;
    http.TLSOptions.Assign(TLSOptions);
    http.OnSSLVerifyPeer = OnSSLVerifyPeer;
    if (const std::shared_ptr<TkbzTransparentProxy> tunnel = MakeTunnel())
    {
        // This request has no way to reconnect after a 407: credentials go first.
        if (FProxyHTTP)
        {
            FProxyHTTP->Preemptive = true;
        }
        http.Tunnel.Host = Proxy.Host;
        http.Tunnel.Port = static_cast<std::uint16_t>(Proxy.Port);
        http.Tunnel.Open = [tunnel](TkbzIdTCPConnection& channel, const std::string& host,
                                    std::uint16_t port, int timeoutMs) {
            tunnel->ConnectThrough(channel, host, port, timeoutMs);
        };
    }
}

namespace
{
// host, port and ssl of a server binding record (a JSON object); a record
// without a host or with a port out of range names no server.
void ReadServerBinding(const std::string& body, std::string& host, int& port, bool& tls)
{
    const IkbzJSON document = CreateJSONInstance();
    FreeJSONInstance(document);
    document->Read(body);
    const auto text = [&](std::string_view name) -> std::string {
        const IkbzObjectJSON member = document->GetNode(name);
        if (!member)
        {
            return {};
        }
        return member->GetJSONType() == TkbzJSONtype::kbzJSONString
                   ? kbzJSONDecodeString(member->GetRawValue())
                   : member->GetRawValue();
    };
    host = text("host");
    const std::string portText = kbzTrim(text("port"));
    port = portText.empty() ? 0 : kbzStrToInt(portText);
    tls = kbzSameText(text("ssl"), "true");
    if (host.empty() || HasUnsafeCharacters(host) || port < 1 || port > 65535)
    {
        throw EArgumentException("The load balancer named no usable server: " +
                                 body.substr(0, 200));
    }
}

std::size_t RandomIndex(std::size_t count)
{
    thread_local std::mt19937 generator{std::random_device{}()};
    return std::uniform_int_distribution<std::size_t>(0, count - 1)(generator);
}
} // namespace

bool TkbzWSClient::QueryLoadBalancer()
{
    try
    {
        TkbzHTTPClient http;
        PrepareHTTP(http);
        const std::string& lbHost = LoadBalancer.Host;
        const std::string host = lbHost.find(':') != std::string::npos && lbHost.front() != '['
                                     ? "[" + lbHost + "]"
                                     : lbHost;
        const std::string url = std::string(TLS ? "https" : "http") + "://" + host + ":" +
                                std::to_string(LoadBalancer.Port) + "/kbz@lb@client@get@binding";
        {
            std::lock_guard guard(FSessionLock);
            FSessionRequest = &http;
        }
        struct Clear
        {
            TkbzWSClient& client;
            ~Clear()
            {
                std::lock_guard guard(client.FSessionLock);
                client.FSessionRequest = nullptr;
            }
        } clear{*this};
        if (FCancelConnecting.load())
        {
            throw EIdClosedSocket("Request cancelled.");
        }
        TkbzHTTPResponse answer = http.Get(url);
        answer.Check();
        if (answer.Body.empty())
        {
            return false;
        }
        std::string bindingHost;
        int bindingPort = 0;
        bool bindingTLS = false;
        ReadServerBinding(answer.Body, bindingHost, bindingPort, bindingTLS);
        Host = bindingHost;
        Port = bindingPort;
        TLS = bindingTLS;
        return true;
    }
    catch (const std::exception& e)
    {
        if (!FCancelConnecting.load())
        {
            OnLoadBalancerError(*this, std::string(e.what()));
        }
        return false;
    }
}

void TkbzWSClient::SelectServer()
{
    if (QueryLoadBalancer() || LoadBalancer.Servers.empty())
    {
        return;
    }
    const std::vector<std::string>& servers = LoadBalancer.Servers;
    // Up to ten picks, with repetition: an entry that does not split is just skipped.
    for (int attempt = 0; attempt < 10; ++attempt)
    {
        const std::string& entry = servers[RandomIndex(servers.size())];
        std::string host;
        int port = 0;
        bool tls = false;
        try
        {
            if (!kbzParseHostPort(entry, host, port, tls))
            {
                continue;
            }
        }
        catch (const std::exception&)
        {
            continue; // a port that is no number
        }
        Host = host;
        Port = port;
        TLS = tls;
        return;
    }
}

std::optional<std::string> TkbzWSClient::RequestSession()
{
    TkbzWSAuthenticationClient_Options& a = Authentication;
    TkbzHTTPClient http;
    PrepareHTTP(http);
    const std::string host =
        Host.find(':') != std::string::npos && Host.front() != '[' ? "[" + Host + "]" : Host;
    const std::string url = std::string(TLS ? "https" : "http") + "://" + host + ":" +
                            std::to_string(Port) + "/kbz/req/auth/session/" +
                            PercentEncode(a.User) + "/" + PercentEncode(a.Password);
    {
        std::lock_guard guard(FSessionLock);
        FSessionRequest = &http;
    }
    struct Clear
    {
        TkbzWSClient& client;
        ~Clear()
        {
            std::lock_guard guard(client.FSessionLock);
            client.FSessionRequest = nullptr;
        }
    } clear{*this};
    if (FCancelConnecting.load())
    {
        throw EIdClosedSocket("Request cancelled."); // a deactivation came first
    }
    TkbzHTTPResponse answer;
    try
    {
        answer = http.Get(url);
    }
    catch (const EArgumentException&)
    {
        // Its message would repeat the address, and so the password.
        throw EArgumentException("Invalid server address for the session request");
    }
    answer.Check();
    // "ID", "extensions" and "protocols", one per line.
    std::vector<std::string> lines;
    std::size_t start = 0;
    const std::string& body = answer.Body;
    while (start < body.size())
    {
        std::size_t end = body.find('\n', start);
        if (end == std::string::npos)
        {
            end = body.size();
        }
        std::string line = body.substr(start, end - start);
        if (!line.empty() && line.back() == '\r')
        {
            line.pop_back();
        }
        lines.push_back(std::move(line));
        start = end + 1;
    }
    if (lines.size() > 2)
    {
        a.Session.ID = lines[0];
        a.Session.Extensions = lines[1];
        a.Session.Protocols = lines[2];
        if (!a.Session.ID.empty())
        {
            return "/kbz/auth/session/" + PercentEncode(a.Session.ID);
        }
    }
    return std::nullopt;
}

std::optional<std::string> TkbzWSClient::ApplyAuthentication(std::uint64_t epoch, bool tokenReady)
{
    // The path comes from the URL unless a mode puts the credentials there; the component's
    // Options keep the URL's path, so changing modes between activations works.
    const std::string path = Options.GetParameters();
    TkbzWSAuthenticationClient_Options& a = Authentication;
    if (!a.Enabled)
    {
        return path;
    }
    CheckCredentials(a);
    // The first mode that applies, in this order: token, URL. Basic rides along with any.
    if (a.Token.Enabled)
    {
        TkbzHTTPComponentClientAuthToken_Base* source = a.Token.OAuth ? a.Token.OAuth : a.Token.JWT;
        if (source && !tokenReady)
        {
            StartTokenSource(*source, epoch);
            return std::nullopt;
        }
        return path;
    }
    if (a.Session.Enabled)
    {
        // Without a session ID the path stays the URL's.
        return RequestSession().value_or(path);
    }
    if (a.URL.Enabled)
    {
        // Encoded, so that a "/" or "%" in a password cannot change the path's shape; the
        // server decodes both.
        return "/kbz/auth/url/" + PercentEncode(a.User) + "/" + PercentEncode(a.Password);
    }
    return path;
}

void TkbzWSClient::StartTokenSource(TkbzHTTPComponentClientAuthToken_Base& source,
                                    std::uint64_t epoch)
{
    {
        std::lock_guard guard(FTokenLock);
        FTokenSource = &source;
        FTokenEpoch = epoch;
    }
    const std::shared_ptr<TokenLink> link = FTokenLink;
    source.OnAuthToken = [link](TkbzHTTPComponentClientAuthToken_Base&, const std::string& type,
                                const std::string& token, const std::string&) {
        link->Call([&](TkbzWSClient& client) { client.TokenArrived(type, token); });
    };
    source.OnAuthTokenError = [link](TkbzHTTPComponentClientAuthToken_Base&,
                                     const std::string& error, const std::string& description,
                                     const std::string&) {
        link->Call([&](TkbzWSClient& client) { client.TokenFailed(error, description); });
    };
    FAwaitingToken.store(true);
    try
    {
        source.Start();
    }
    catch (...)
    {
        // A source that refused to start (a configuration error) brings no token later.
        FAwaitingToken.store(false);
        throw;
    }
}

void TkbzWSClient::TokenLink::Call(const std::function<void(TkbzWSClient&)>& f)
{
    TkbzWSClient* client = nullptr;
    {
        std::lock_guard guard(Lock);
        if (!Client)
        {
            return;
        }
        client = Client;
        ++Running;
    }
    try
    {
        f(*client);
    }
    catch (...)
    {}
    std::lock_guard guard(Lock);
    if (--Running == 0)
    {
        Idle.notify_all();
    }
}

void TkbzWSClient::NotifyStateChanged()
{
    {
        std::lock_guard guard(FLock); // a Connect between its test and its wait sees the change
    }
    FStateChanged.notify_all();
}

void TkbzWSClient::TokenArrived(const std::string& tokenType, const std::string& token)
{
    if (IsDestroying())
    {
        return;
    }
    std::string failure;
    std::uint64_t epoch = 0;
    bool connect = false;
    {
        std::lock_guard activation(FActivationLock);
        if (token.empty())
        {
            failure = "OAuth Error Token is empty";
        }
        else if (HasControlCharacters(tokenType) || HasControlCharacters(token))
        {
            failure = "Invalid token: control characters in its name or value";
        }
        else
        {
            // A later token (a refresh) is kept for the next activation.
            if (!tokenType.empty())
            {
                Authentication.Token.AuthName = tokenType;
            }
            Authentication.Token.AuthToken = token;
            std::lock_guard guard(FTokenLock);
            epoch = FTokenEpoch;
        }
        // Only an activation that waits for its token connects; after a deactivation (or
        // while connected) the token is just kept.
        connect = FAwaitingToken.exchange(false) && failure.empty();
    }
    if (!failure.empty())
    {
        NotifyStateChanged();
        DoError(nullptr, failure);
        return;
    }
    if (connect)
    {
        try
        {
            Activate(epoch, true);
        }
        catch (const std::exception& e)
        {
            DoError(nullptr, e.what());
        }
    }
    NotifyStateChanged();
}

void TkbzWSClient::TokenFailed(const std::string& error, const std::string& description)
{
    if (IsDestroying())
    {
        return;
    }
    FAwaitingToken.store(false);
    NotifyStateChanged();
    DoError(nullptr, kbzTrim(error + " " + description));
}

void TkbzWSClient::StopTokenSource() noexcept
{
    FAwaitingToken.store(false);
    TkbzHTTPComponentClientAuthToken_Base* source = nullptr;
    {
        std::lock_guard guard(FTokenLock);
        source = std::exchange(FTokenSource, nullptr);
    }
    if (source)
    {
        try
        {
            source->Stop();
        }
        catch (...)
        {}
    }
    NotifyStateChanged();
}

std::shared_ptr<TkbzWSIdLogFileClient> TkbzWSClient::LogWriter()
{
    std::lock_guard guard(FLogLock);
    return kbzLogWriterFor(FInterceptLogFile, LogFile().FileName, LogFile().UnMaskFrames,
                           [this](const std::string& error) { DoError(nullptr, error); });
}

void TkbzWSClient::OnTCPConnected(const std::shared_ptr<TkbzIdTCPClient>& tcp)
{
    if (auto* handler = tcp->GetIOHandler())
    {
        if (WriteTimeout > 0)
        {
            handler->SetSendTimeout(WriteTimeout);
        }
        if (TCPKeepAlive().Enabled)
        {
            handler->SetKeepAlive(true, TCPKeepAlive().Time, TCPKeepAlive().Interval);
        }
    }
    // The intercept chain (traffic log, throttle) goes on before the first byte is written.
    std::shared_ptr<TkbzWSIdLogFileClient> log = LogFile().Enabled ? LogWriter() : nullptr;
    const std::int64_t bitsPerSec = Throttle().Enabled ? Throttle().BitsPerSec : 0;
    if (log || bitsPerSec > 0)
    {
        tcp->WrapIOHandler([&](std::unique_ptr<TkbzIOHandler> inner) {
            return std::make_unique<TkbzInterceptIOHandler>(std::move(inner), log, bitsPerSec);
        });
    }
    auto c = std::make_shared<TkbzWSConnectionClient>();
    c->SetTrafficLog(log);
    if (Specifications().RFC8441)
    {
        c->SetTransport(TwsTransport::trpRFC8441);
    }
    else if (Specifications().RFC6455)
    {
        c->SetTransport(TwsTransport::trpRFC6455);
    }
    else
    {
        c->SetTransport(TwsTransport::trpTCP);
    }
    c->FSpecification = TwsSpecification::spRFC6455;
    c->SetExtensions(Extensions());
    c->Extensions().SetMode(TwsApplicationMode::appClient);
    c->Masked = true;
    c->Protocol = ProtocolNames();
    c->FHost = Host;
    c->FPort = Port;
    c->FOptions = Options;
    c->FOptions.SetParameters(FRequestPath);
    c->FAuthentication.Assign(Authentication);
    c->SetSettings(Options.ConnectionSettings());
    c->SetQueueOptions(QueueOptions);
    c->HandshakeTimeOut = ConnectTimeout > 0 ? ConnectTimeout : 10000;

    TkbzWSConnectionClient* raw = c.get();
    c->OnHandshake = [this, raw](TkbzWSConnection&, std::vector<std::string>& headers) {
        DoNotifyHandshake(raw->SharedFromThis(), headers);
    };
    HookDataEvents(*c);
    c->OnEnabled = [this](TkbzWSConnectionClient& conn) {
        // A Connect waiting for the connection returns once OnConnect has run.
        auto announce = [this, &conn] {
            {
                std::lock_guard guard(FLock);
                FConnectNotified = &conn;
            }
            FStateChanged.notify_all();
        };
        try
        {
            DoNotifyConnect(conn.SharedFromThis());
        }
        catch (...)
        {
            announce();
            throw;
        }
        announce();
    };
    c->OnBeforeDisconnect = [this](TkbzWSConnection&) {
        StopHeartBeatTimeout();
        StopHeartBeat();
    };
    c->OnRedirect = [this](TkbzWSConnectionClient&, const std::string& location) {
        StartRedirect(location);
    };
    {
        std::lock_guard guard(FLock);
        FWSConnection = c;
    }
    // Only now: a deactivation always finds either the connection or an activation in progress.
    FConnecting.store(false);
    c->DoInitialize(tcp);
    StartHeartBeat();
}

void TkbzWSClient::RaiseConnect(const TkbzWSConnectionPtr& connection)
{
    StopWatchDog();
    TkbzWSComponent_Client_Indy::RaiseConnect(connection);
    FWatchDogAttempts.store(0);
    FRedirects.store(0);
}

void TkbzWSClient::OnTCPRead(const std::shared_ptr<TkbzIdTCPClient>& tcp)
{
    tlsReadClient = tcp.get();
    auto c = Connection();
    if (!c || c->Disconnected())
    {
        return;
    }
    try
    {
        c->ReadData(false);
    }
    catch (const std::exception& e)
    {
        DoException(c, e.what(), &e);
    }
}

void TkbzWSClient::OnTCPThread(const std::shared_ptr<TkbzIdTCPClient>& tcp)
{
    tlsReadClient = tcp.get();
    auto c = Connection();
    if (!c)
    {
        return;
    }
    try
    {
        if (c->HasQueues())
        {
            c->DrainQueues();
        }
        c->CheckCloseTimeOut();
        // The server has to answer the upgrade request in time.
        const std::uint64_t started = c->HandshakeStarted();
        const std::uint64_t now = kbzGetTicks();
        const bool answerDue =
            !c->Enabled() && !c->Disconnected() && !c->Redirecting() && started != 0;
        if (answerDue && now - started > static_cast<std::uint64_t>(c->HandshakeTimeOut))
        {
            throw EIdReadTimeout("Opening handshake timed out");
        }
        // The read thread sleeps until bytes, a wake or the nearest of these.
        std::int64_t limit = c->CloseWaitLimit();
        const auto until = [&limit](std::int64_t ms) {
            limit = limit < 0 ? ms : std::min(limit, ms);
        };
        if (c->HasQueues())
        {
            until(c->QueueWaitLimit(-1));
        }
        if (answerDue)
        {
            until(static_cast<std::int64_t>(started) + c->HandshakeTimeOut + 1 -
                  static_cast<std::int64_t>(now));
        }
        tcp->SetReadWaitLimit(
            static_cast<int>(std::min<std::int64_t>(limit, std::numeric_limits<int>::max())));
    }
    catch (const std::exception& e)
    {
        DoException(c, e.what(), &e);
    }
}

void TkbzWSClient::OnTCPReadException(const std::shared_ptr<TkbzIdTCPClient>& tcp,
                                      const std::exception& e)
{
    tlsReadClient = tcp.get();
    auto c = Connection();
    const bool silent = dynamic_cast<const EIdSilentException*>(&e) != nullptr;
    // A redirecting server hanging up is expected: the redirect replaces the connection.
    const bool redirecting = c && c->Redirecting();
    if (!redirecting && (!silent || Options.RaiseDisconnectExceptions))
    {
        if (c && !c->Disconnected())
        {
            DoException(c, e.what(), &e);
        }
        else if (!c)
        {
            DoException(nullptr, e.what(), &e);
        }
    }
    if (c)
    {
        tcp->InputBufferClear();
        c->TerminateConnection();
    }
    try
    {
        tcp->Disconnect(false);
    }
    catch (...)
    {}
}

void TkbzWSClient::OnTCPDisconnected(const std::weak_ptr<TkbzIdTCPClient>& tcp)
{
    auto t = tcp.lock();
    TkbzWSConnectionClientPtr c;
    {
        std::lock_guard guard(FLock);
        if (!t || t != FTCPClient)
        {
            return; // a TCP client of an earlier activation
        }
        c = FWSConnection;
    }
    if (c)
    {
        DisconnectNotification(c);
    }
}

void TkbzWSClient::DisconnectNotification(const TkbzWSConnectionClientPtr& connection)
{
    {
        std::lock_guard guard(FLock);
        if (FWSConnection != connection)
        {
            return; // notified already
        }
        FWSConnection.reset();
    }
    FStateChanged.notify_all();
    FDisconnecting.store(true);
    StopHeartBeatTimeout();
    StopHeartBeat();
    try
    {
        DoNotifyDisconnect(connection);
    }
    catch (const std::exception& e)
    {
        DoError(nullptr, e.what());
    }
    if (FWatchDogEnabled.load() && !IsDestroying())
    {
        StartWatchDog(WatchDog().Interval);
    }
    FDisconnecting.store(false);
}

void TkbzWSClient::Deactivate()
{
    FActivationEpoch.fetch_add(1);
    FWatchDogEnabled.store(false);
    StopTokenSource();
    std::shared_ptr<TkbzIdTCPClient> tcp;
    TkbzWSConnectionClientPtr c;
    {
        std::lock_guard guard(FLock);
        tcp = FTCPClient;
        c = FWSConnection;
    }
    if (!c || FDisconnecting.load())
    {
        if (!c && FConnecting.load())
        {
            FCancelConnecting.store(true); // the activation ends what it is making
            {
                std::lock_guard guard(FSessionLock);
                if (FSessionRequest)
                {
                    FSessionRequest->Cancel();
                }
            }
            if (tcp)
            {
                tcp->CancelConnect(); // and stops waiting for the server now
            }
        }
        StopWatchDog();
        return;
    }
    if (Options.CleanDisconnect && c->Enabled())
    {
        try
        {
            c->Disconnect(kbzCloseNormal);
        }
        catch (...)
        {}
    }
    StopHeartBeatTimeout();
    StopHeartBeat();
    c->SetMustDisconnect(true);
    if (tcp)
    {
        // Wakes the read thread and waits for its last pass (unless this is
        // it); the transport's disconnected notification then raises OnDisconnect.
        try
        {
            tcp->Disconnect(false);
        }
        catch (...)
        {}
    }
    // A connection whose TCP client had gone quietly is still notified.
    DisconnectNotification(c);
}

void TkbzWSClient::Close(int aCloseCode)
{
    auto c = Connection();
    // Off before the close goes out, so its answer finds the watchdog off.
    const bool watchDog = FWatchDogEnabled.exchange(false);
    if (c && aCloseCode >= 1 && !c->Closing())
    {
        try
        {
            c->Close(aCloseCode);
        }
        catch (...)
        {
            FWatchDogEnabled.store(watchDog); // a refused code changes nothing
            throw;
        }
    }
    StopWatchDog();
    if (c && aCloseCode < 1)
    {
        SetActive(false);
    }
}

void TkbzWSClient::ApplyHeartBeat()
{
    StopHeartBeatTimeout();
    StopHeartBeat();
    auto c = Connection();
    if (c && c->Enabled() && !c->Disconnected() && !c->Closing())
    {
        StartHeartBeat();
    }
}

void TkbzWSClient::ApplyWatchDog()
{
    const bool connected = GetActive();
    if (!connected && !FWatchDogEnabled.load())
    {
        return; // nothing live: the next activation copies the options
    }
    const bool enabled = WatchDog().Enabled;
    FWatchDogEnabled.store(enabled);
    if (!enabled)
    {
        StopWatchDog();
    }
    else if (!connected)
    {
        // Reconnecting: the next attempt follows the new interval.
        StopWatchDog();
        StartWatchDog(WatchDog().Interval);
    }
}

bool TkbzWSClient::Connect(int aTimeout)
{
    SetActive(true);
    if (!Connection() && !FConnecting.load() && !FAwaitingToken.load())
    {
        return false;
    }
    if (aTimeout <= 0)
    {
        return false;
    }
    std::unique_lock lock(FLock);
    return FStateChanged.wait_for(lock, std::chrono::milliseconds(aTimeout),
                                  [this] {
                                      return FWSConnection
                                                 ? FConnectNotified == FWSConnection.get()
                                                 : !FConnecting.load() && !FAwaitingToken.load();
                                  }) &&
           FWSConnection && FWSConnection->Enabled();
}

bool TkbzWSClient::Disconnect(int aTimeout)
{
    SetActive(false);
    if (aTimeout <= 0)
    {
        return false;
    }
    std::unique_lock lock(FLock);
    return FStateChanged.wait_for(lock, std::chrono::milliseconds(aTimeout),
                                  [this] { return !FWSConnection; });
}

void TkbzWSClient::RunClientThread(std::function<void()> f)
{
    {
        std::lock_guard guard(FThreadsLock);
        ++FThreads;
    }
    std::thread([this, f = std::move(f)] {
        try
        {
            f();
        }
        catch (...)
        {}
        std::lock_guard guard(FThreadsLock);
        --FThreads;
        FThreadsDone.notify_all();
    }).detach();
}

void TkbzWSClient::Start()
{
    if (IsDestroying())
    {
        return;
    }
    FThreadStart.store(true);
    RunClientThread([this] {
        std::lock_guard guard(CS());
        SetActive(true);
    });
}

void TkbzWSClient::StartFromWatchDog()
{
    if (IsDestroying())
    {
        return;
    }
    FThreadStart.store(true);
    // The attempt belongs to the activation that armed the watchdog: a deactivation after
    // this tick cancels it.
    const std::uint64_t epoch = FActivationEpoch.load();
    RunClientThread([this, epoch] {
        std::lock_guard guard(CS());
        if (FWatchDogEnabled.load())
        {
            Activate(epoch);
        }
    });
}

void TkbzWSClient::Stop()
{
    RunClientThread([this] {
        std::lock_guard guard(CS());
        SetActive(false);
    });
}

void TkbzWSClient::StartRedirect(const std::string& location)
{
    if (FRedirects.fetch_add(1) >= kMaxRedirects)
    {
        FRedirects.store(0);
        throw TkbzWSException("Too many redirects (last to: " + location + ")");
    }
    // The redirect replaces the TCP client whose read thread found it.
    RunClientThread([this, location] {
        tlsFollowingRedirect = true;
        Disconnect(10000);
        try
        {
            SetURL(location);
        }
        catch (const std::exception& e)
        {
            DoException(nullptr, e.what(), &e);
            return;
        }
        Connect(10000);
    });
}

void TkbzWSClient::Ping(const std::string& aText)
{
    auto c = Connection();
    if (!c)
    {
        return;
    }
    try
    {
        c->Ping(aText.empty() ? kbzNowAsPingText() : aText);
    }
    catch (const std::exception& e)
    {
        DoError(c, e.what());
    }
}

bool TkbzWSClient::Ping(int aTimeout, const std::string& aText)
{
    auto c = Connection();
    if (!c)
    {
        return false;
    }
    try
    {
        return c->Ping(aText.empty() ? kbzNowAsPingText() : aText, aTimeout);
    }
    catch (const std::exception& e)
    {
        DoError(c, e.what());
        return false;
    }
}

void TkbzWSClient::WriteData(const std::string& aText, int aSize, TwsStreaming aStreaming)
{
    auto c = Connection();
    if (!c)
    {
        return;
    }
    try
    {
        c->WriteData(aText, aSize, aStreaming);
    }
    catch (const std::exception& e)
    {
        DoError(c, e.what());
    }
}

void TkbzWSClient::WriteData(TkbzStream& aStream, int aSize, TwsStreaming aStreaming)
{
    auto c = Connection();
    if (!c)
    {
        return;
    }
    try
    {
        c->WriteData(aStream, aSize, aStreaming);
    }
    catch (const std::exception& e)
    {
        DoError(c, e.what());
    }
}

std::string TkbzWSClient::WriteAndWaitData(const std::string& aText, int aTimeout)
{
    auto c = Connection();
    if (!c)
    {
        return {};
    }
    try
    {
        return c->WriteAndWaitData(aText, aTimeout);
    }
    catch (const std::exception& e)
    {
        DoError(c, e.what());
        return {};
    }
}

// ---- Heartbeat and watchdog ticks ----

void TkbzWSClient::DoHeartBeat()
{
    auto c = Connection();
    // No ping before the connection is enabled (never during the handshake).
    if (IsDestroying() || !c || c->Disconnected() || !c->Enabled())
    {
        return;
    }
    try
    {
        bool handled = false;
        OnBeforeHeartBeat(*this, c, handled);
        if (handled)
        {
            return;
        }
        const std::string text = kbzNowAsPingText();
        if (!OfferPingToAPI(c, text))
        {
            c->Ping(text);
        }
        StartHeartBeatTimeout();
    }
    catch (const std::exception& e)
    {
        DoException(c, e.what(), &e);
    }
}

void TkbzWSClient::DoHeartBeatTimeout()
{
    auto c = Connection();
    if (IsDestroying() || !c || !c->Enabled())
    {
        return;
    }
    const std::int64_t timeoutMs = static_cast<std::int64_t>(HeartBeat().Timeout) * 1000;
    // The oldest ping still unanswered decides; a pong answers only its own
    // ping, so an old pong does not restart the count.
    const std::int64_t oldest = c->OldestPendingPing();
    if (oldest == 0)
    {
        c->ResetFirstPing();
        return;
    }
    if (static_cast<std::int64_t>(kbzGetTicks()) - oldest >= timeoutMs)
    {
        StopHeartBeatTimeout();
        DoException(c, "HeartBeat Timeout exceeded.", nullptr);
    }
}

void TkbzWSClient::DoWatchDog()
{
    if (IsDestroying() || FConnecting.load())
    {
        return;
    }
    const int attempts = WatchDog().Attempts;
    if (attempts > 0 && FWatchDogAttempts.load() >= attempts)
    {
        return;
    }
    bool handled = false;
    OnBeforeWatchDog(*this, handled);
    if (!handled)
    {
        if (GetNotifyEvents() != TwsNotifyEvent::neNoSync && !FThreadStart.load())
        {
            if (!GetActive())
            {
                kbzQueue([this] { SetActive(true); });
            }
        }
        else if (!GetActive())
        {
            StartFromWatchDog();
        }
    }
    if (attempts > 0 && FWatchDogAttempts.fetch_add(1) + 1 >= attempts)
    {
        StopWatchDog();
    }
}

} // namespace kbz
