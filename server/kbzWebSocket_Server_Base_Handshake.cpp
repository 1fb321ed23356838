// The pure parts of the server's opening handshake: the upgrade fields,
// Hixie-76 answers, subprotocol and origin checks; and the server
// connection's handshake step.
#include "base/kbzBase_Helpers.h"
#include "server/kbzWebSocket_Server_Base.h"

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <openssl/crypto.h>
#include <unistd.h>

namespace kbz
{

namespace
{

bool IsBlank(char c)
{
    return c == ' ' || c == '\t';
}

std::string_view TrimBlanks(std::string_view s)
{
    while (!s.empty() && IsBlank(s.front()))
    {
        s.remove_prefix(1);
    }
    while (!s.empty() && (IsBlank(s.back()) || s.back() == '\r'))
    {
        s.remove_suffix(1);
    }
    return s;
}

// Lines of a header value list, without the blanks around each item.
std::vector<std::string> SplitList(std::string_view text, char delimiter)
{
    std::vector<std::string> items;
    std::size_t start = 0;
    while (start <= text.size())
    {
        std::size_t end = text.find(delimiter, start);
        if (end == std::string_view::npos)
        {
            end = text.size();
        }
        const std::string_view item = TrimBlanks(text.substr(start, end - start));
        if (!item.empty())
        {
            items.emplace_back(item);
        }
        start = end + 1;
    }
    return items;
}

bool ListsToken(std::string_view value, std::string_view token)
{
    for (const std::string& item : kbzHTTPSplitList(value))
    {
        if (kbzSameText(item, token))
        {
            return true;
        }
    }
    return false;
}

void AppendListValue(std::string& list, std::string_view value)
{
    if (value.empty())
    {
        return;
    }
    if (!list.empty())
    {
        list += ", ";
    }
    list += value;
}

} // namespace

// ---- TkbzWSHandShakeServer ----

TkbzWSHandShakeServer::TkbzWSHandShakeServer(const TkbzHTTPHead& head)
{
    if (head.Method == "GET")
    {
        FIsGET = true;
        if (!head.AtLeast11())
        {
            throw TkbzWSException("Error Decoding Header: GET");
        }
        FGet = head.Target;
    }
    for (const TkbzHTTPHeaderField& field : head.Headers)
    {
        const std::string& name = field.Name;
        const std::string& value = field.Value;
        if (kbzSameText(name, "Upgrade"))
        {
            FIsUpgrade = true;
            if (!ListsToken(value, "websocket"))
            {
                throw TkbzWSException("Error Decoding Header: WebSocket");
            }
        }
        else if (kbzSameText(name, "Connection"))
        {
            FIsConnection = true;
            if (!ListsToken(value, "Upgrade"))
            {
                throw TkbzWSException("Error Decoding Header: Upgrade");
            }
        }
        else if (kbzSameText(name, "Host"))
        {
            FIsHost = true;
            FHost = value;
        }
        else if (kbzSameText(name, "Sec-WebSocket-Key"))
        {
            FIsKey = true;
            FKey = value;
        }
        else if (kbzSameText(name, "Origin"))
        {
            FIsOrigin = true;
            FOrigin = value;
        }
        else if (kbzSameText(name, "Sec-WebSocket-Protocol"))
        {
            FIsProtocols = true;
            AppendListValue(FProtocols, value);
        }
        else if (kbzSameText(name, "Sec-WebSocket-Version"))
        {
            FIsVersion = true;
            FVersion = value;
        }
        else if (kbzSameText(name, "Sec-WebSocket-Extensions"))
        {
            FIsExtensions = true;
            AppendListValue(FExtensions, value);
        }
        else if (kbzSameText(name, "Sec-WebSocket-Key1"))
        {
            FIsKey1 = true;
            FKey1 = value;
        }
        else if (kbzSameText(name, "Sec-WebSocket-Key2"))
        {
            FIsKey2 = true;
            FKey2 = value;
        }
    }
    if (!FIsKey && !FIsKey1 && !FIsKey2)
    {
        throw TkbzWSException("Error Decoding Header: WebSocket-Key");
    }
}

TwsSpecification TkbzWSHandShakeServer::GetSpecification() const noexcept
{
    return FKey1.empty() ? TwsSpecification::spRFC6455 : TwsSpecification::spHixie76;
}

void TkbzWSHandShakeServer::SetKey3(std::span<const std::uint8_t> bytes)
{
    FKey3 = kbzBytesToHex(bytes);
}

// ---- Hixie-76 ----

std::uint32_t kbzHixie76KeyNumber(std::string_view key)
{
    std::uint32_t number = 0;
    std::uint32_t blanks = 0;
    for (char c : key)
    {
        if (c >= '0' && c <= '9')
        {
            number = number * 10u + static_cast<std::uint32_t>(c - '0');
        }
        else if (c == ' ')
        {
            ++blanks;
        }
    }
    if (blanks == 0)
    {
        throw TkbzWSException("Error decoding sec-webSocket-key.");
    }
    return number / blanks;
}

std::array<std::uint8_t, 16> kbzHixie76Answer(std::string_view key1, std::string_view key2,
                                              std::span<const std::uint8_t> key3)
{
    TBytes challenge;
    for (std::uint32_t n : {kbzHixie76KeyNumber(key1), kbzHixie76KeyNumber(key2)})
    {
        for (int shift = 24; shift >= 0; shift -= 8)
        {
            challenge.push_back(static_cast<std::uint8_t>(n >> shift));
        }
    }
    challenge.insert(challenge.end(), key3.begin(), key3.end());
    const TBytes digest = kbzHexToBytes(kbzGetMD5Hex(kbzBytesToHex(challenge)));
    std::array<std::uint8_t, 16> answer{};
    std::copy_n(digest.begin(), std::min<std::size_t>(digest.size(), answer.size()),
                answer.begin());
    return answer;
}

// ---- Subprotocols, origins, secrets ----

std::string kbzSelectProtocol(std::string_view requested, std::string_view registered)
{
    const std::vector<std::string> wanted = SplitList(requested, ',');
    if (wanted.empty())
    {
        return {};
    }
    const std::vector<std::string> offered = SplitList(registered, ',');
    for (const std::string& name : wanted)
    {
        for (const std::string& ours : offered)
        {
            if (kbzSameText(name, ours))
            {
                return name;
            }
        }
    }
    std::string names;
    for (const std::string& name : wanted)
    {
        names += name;
        names += '\n';
    }
    throw TkbzWSException("Error Protocol: " + names + " not supported.");
}

bool kbzOriginAllowed(std::string_view origin, std::string_view masks)
{
    if (origin.empty() || TrimBlanks(masks).empty())
    {
        return true;
    }
    for (const std::string& mask : SplitList(masks, ','))
    {
        if (kbzMatchesMask(origin, mask))
        {
            return true;
        }
    }
    return false;
}

namespace
{

// "host[:port]" of an Origin or a Host header: the host in lower case (an IPv6
// literal keeps its brackets) and the port, defaultPort when none is written.
// False for anything else (a path, an empty host, a port that is not a number).
bool SplitAuthority(std::string_view text, std::string& host, int& port, int defaultPort)
{
    std::size_t hostEnd = 0;
    if (!text.empty() && text.front() == '[')
    {
        hostEnd = text.find(']');
        if (hostEnd == std::string_view::npos)
        {
            return false;
        }
        ++hostEnd;
    }
    else
    {
        hostEnd = std::min(text.find(':'), text.size());
    }
    host = kbzLowerCase(text.substr(0, hostEnd));
    if (host.empty() || host.find_first_of("/?#@ \t") != std::string::npos)
    {
        return false;
    }
    const std::string_view rest = text.substr(hostEnd);
    if (rest.empty())
    {
        port = defaultPort;
        return true;
    }
    if (rest.front() != ':' || rest.size() < 2 || rest.size() > 6)
    {
        return false;
    }
    port = 0;
    for (const char c : rest.substr(1))
    {
        if (c < '0' || c > '9')
        {
            return false;
        }
        port = port * 10 + (c - '0');
    }
    return port > 0 && port <= 65535;
}

// A host that no name server can point elsewhere: an address literal,
// localhost, or the machine's own name.
bool IsTrustedHost(const std::string& host, std::string_view machineName)
{
    unsigned char address[16];
    if (host.size() > 2 && host.front() == '[' && host.back() == ']')
    {
        return ::inet_pton(AF_INET6, host.substr(1, host.size() - 2).c_str(), address) == 1;
    }
    return ::inet_pton(AF_INET, host.c_str(), address) == 1 || host == "localhost" ||
           (!machineName.empty() && kbzSameText(host, machineName));
}

} // namespace

bool kbzIsSameOrigin(std::string_view origin, std::string_view host, bool tls,
                     std::string_view machineName)
{
    const std::string_view scheme = tls ? "https://" : "http://";
    if (origin.size() <= scheme.size() || !kbzSameText(origin.substr(0, scheme.size()), scheme))
    {
        return false;
    }
    const int defaultPort = tls ? 443 : 80;
    std::string originHost;
    std::string requestHost;
    int originPort = 0;
    int requestPort = 0;
    return SplitAuthority(origin.substr(scheme.size()), originHost, originPort, defaultPort) &&
           SplitAuthority(TrimBlanks(host), requestHost, requestPort, defaultPort) &&
           originHost == requestHost && originPort == requestPort &&
           IsTrustedHost(originHost, machineName);
}

std::string kbzMachineName()
{
    static const std::string name = [] {
        char buffer[256] = {};
        if (::gethostname(buffer, sizeof(buffer) - 1) != 0)
        {
            return std::string();
        }
        return std::string(buffer);
    }();
    return name;
}

bool kbzSameSecret(std::string_view a, std::string_view b) noexcept
{
    if (a.size() != b.size())
    {
        // Still compares, so a wrong length costs the same as a wrong byte.
        (void)CRYPTO_memcmp(a.data(), a.data(), a.size());
        return false;
    }
    return a.empty() || CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

// ---- Authentication records ----

std::string TkbzWSConnectionAuthentication::GetSessionID()
{
    if (FSessionID.empty())
    {
        FSessionID = kbzNewGuid();
    }
    return FSessionID;
}

void TkbzWSSessionList::SetLimits(int timeOutSeconds, std::size_t maxEntries)
{
    std::lock_guard guard(FLock);
    FTimeOutMs = static_cast<std::int64_t>(std::max(1, timeOutSeconds)) * 1000;
    FMaxEntries = std::max<std::size_t>(1, maxEntries);
}

void TkbzWSSessionList::Expire(std::uint64_t now)
{
    std::erase_if(FEntries, [&](const auto& item) {
        return static_cast<std::int64_t>(now - item.second.Added) >= FTimeOutMs;
    });
}

void TkbzWSSessionList::Add(const std::string& id, const std::string& user,
                            const std::string& password)
{
    const std::uint64_t now = kbzGetTicks();
    std::lock_guard guard(FLock);
    Expire(now);
    if (FEntries.contains(id))
    {
        return;
    }
    while (FEntries.size() >= FMaxEntries)
    {
        auto oldest = std::min_element(FEntries.begin(), FEntries.end(), [](auto& x, auto& y) {
            return x.second.Added < y.second.Added;
        });
        FEntries.erase(oldest);
    }
    FEntries.emplace(id, Entry{user, password, now});
}

std::optional<std::pair<std::string, std::string>> TkbzWSSessionList::Take(const std::string& id)
{
    const std::uint64_t now = kbzGetTicks();
    std::lock_guard guard(FLock);
    Expire(now);
    auto it = FEntries.find(id);
    if (it == FEntries.end())
    {
        return std::nullopt;
    }
    auto result = std::make_pair(std::move(it->second.User), std::move(it->second.Password));
    FEntries.erase(it);
    return result;
}

std::size_t TkbzWSSessionList::Count()
{
    std::lock_guard guard(FLock);
    Expire(kbzGetTicks());
    return FEntries.size();
}

void TkbzWSSessionList::Clear()
{
    std::lock_guard guard(FLock);
    FEntries.clear();
}

// ---- TkbzWSConnectionServer ----

TkbzWSConnectionServer::TkbzWSConnectionServer()
{
    Masked = false;
    Extensions().SetMode(TwsApplicationMode::appServer);
}

void TkbzWSConnectionServer::SetRequestHead(TkbzHTTPHead head)
{
    FRequestHead = std::make_unique<TkbzHTTPHead>(std::move(head));
}

TkbzWSConnectionAuthentication& TkbzWSConnectionServer::Authentication()
{
    if (!FAuthentication)
    {
        FAuthentication = std::make_unique<TkbzWSConnectionAuthentication>();
    }
    return *FAuthentication;
}

void TkbzWSConnectionServer::DoAuthentication()
{
    TkbzWSConnectionAuthentication& a = Authentication();
    bool authenticated = a.Authenticated;
    if (OnAuthenticationHook)
    {
        OnAuthenticationHook(*this, a.User, a.Password, authenticated);
    }
    a.Authenticated = authenticated;
}

void TkbzWSConnectionServer::SendResponseHTTP(const std::string& content,
                                              const std::string& contentType)
{
    TkbzIdTCPConnection* tcp = TCPConnection();
    if (!tcp)
    {
        return;
    }
    TkbzHTTPAnswer a;
    a.Headers.Add("Cache-Control", "no-cache");
    a.Headers.Add("Content-Type", contentType);
    a.Headers.Add("Connection", "close");
    a.Headers.Add("Server", kbzServerSoftware);
    a.Body = content;
    const std::string answer = kbzWriteHTTPAnswer(a);
    tcp->Write(answer);
    AddSendBytes(static_cast<std::int64_t>(answer.size()));
}

bool TkbzWSConnectionServer::TakeKey3(TkbzIdTCPConnection& tcp)
{
    // The 8 key bytes may come in a later segment than the head; a peer that
    // never sends them is ended by the request time limit of the execute step.
    if (tcp.InputBufferSize() < 8)
    {
        if (!tcp.Connected() || tcp.PeerClosed())
        {
            FAwaitingKey3 = false;
            throw TkbzWSException("Error Decoding Header: WebSocket-Key");
        }
        FAwaitingKey3 = true;
        return false;
    }
    FAwaitingKey3 = false;
    const TBytes key3 = tcp.InputBufferPeek(8);
    tcp.InputBufferRemove(8);
    AddRecBytes(8);
    FHandshake->SetKey3(key3);
    return true;
}

void TkbzWSConnectionServer::DoHandshake()
{
    TkbzIdTCPConnection* tcp = TCPConnection();
    if (!tcp || Enabled())
    {
        return;
    }
    if (!FRequestHead)
    {
        // A connection driven without the server's classification: its lines.
        try
        {
            SetRequestHead(kbzParseHTTPHeadLines(HeadersRequest(), TkbzHTTPHeadKind::hkRequest));
        }
        catch (const EIdHTTPProtocolException&)
        {
            throw TkbzWSException("Error Decoding Header: GET");
        }
    }
    FHandshake = std::make_unique<TkbzWSHandShakeServer>(*FRequestHead);
    const TkbzWSHandShakeServer& h = *FHandshake;
    const TwsSpecification framing = h.GetSpecification();
    std::array<std::uint8_t, 16> challenge{};
    if (framing == TwsSpecification::spHixie76)
    {
        if (!h.NeedsKey3())
        {
            throw TkbzWSException("Error Decoding Header: WebSocket-Key");
        }
        if (!TakeKey3(*tcp))
        {
            return;
        }
        challenge = kbzHixie76Answer(h.FKey1, h.FKey2, kbzHexToBytes(h.FKey3));
    }
    FSpecification = framing;

    const std::string selected = kbzSelectProtocol(h.FProtocols, Protocol);
    Protocol = selected;
    std::vector<std::string>& lines = HeadersResponse();
    lines.clear();
    // With SameOrigin every request's Origin was checked when its head came.
    if (!FServerSameOrigin && !kbzOriginAllowed(h.FOrigin, FServerOriginsAllowed))
    {
        throw TkbzWSException("Origin " + h.FOrigin + " not allowed");
    }

    if (framing == TwsSpecification::spRFC6455)
    {
        if (GetTransport() == TwsTransport::trpUndefined)
        {
            SetTransport(TwsTransport::trpRFC6455);
        }
        if (h.FIsExtensions)
        {
            Extensions().DecodeExtensions(h.FExtensions);
        }
        lines.emplace_back("HTTP/1.1 101 Switching Protocols");
        lines.emplace_back("Upgrade: websocket");
        lines.emplace_back("Connection: Upgrade");
        if (!selected.empty())
        {
            lines.push_back("Sec-WebSocket-Protocol: " + selected);
        }
        lines.push_back("Sec-WebSocket-Accept: " + kbzWebSocketAcceptKey(h.FKey));
        lines.push_back("Server: " + std::string(kbzServerSoftware));
        Extensions().WriteHeader(lines);
    }
    else
    {
        if (GetTransport() == TwsTransport::trpUndefined)
        {
            SetTransport(TwsTransport::trpHixie76);
        }
        lines.emplace_back("HTTP/1.1 101 WebSocket Protocol Handshake");
        lines.emplace_back("Upgrade: WebSocket");
        lines.emplace_back("Connection: Upgrade");
        lines.push_back("Sec-WebSocket-Origin: " + h.FOrigin);
        // The location names the scheme the peer really used.
        lines.push_back(std::string("Sec-WebSocket-Location: ") +
                        (FServerSSL ? "wss://" : "ws://") + h.FHost + h.FGet);
        lines.push_back("Sec-WebSocket-Protocol: " + (selected.empty() ? "*" : selected));
        lines.push_back("Server: " + std::string(kbzServerSoftware));
    }
    if (OnHandshake)
    {
        OnHandshake(*this, lines);
    }

    // One write: the answer head and, for Hixie-76, the challenge answer.
    std::string answer = kbzWriteHTTPLines(lines);
    if (framing == TwsSpecification::spHixie76)
    {
        answer.append(reinterpret_cast<const char*>(challenge.data()), challenge.size());
    }
    {
        // Enabled in the same step as the answer leaves, under the frame lock:
        // a peer that has read the answer already gets every later broadcast,
        // and no other writer's frame can go out before the answer.
        std::lock_guard frame(Locks().CS());
        SetEnabled(true);
        try
        {
            tcp->Write(answer);
        }
        catch (...)
        {
            SetEnabled(false);
            throw;
        }
    }
    AddSendBytes(static_cast<std::int64_t>(answer.size()));
    if (OnUpdate)
    {
        OnUpdate(*this, 1);
    }
    const int closeCode = GetAuthenticationCloseCode();
    if (closeCode != kbzCloseNormal && !GetDisconnected())
    {
        Close(closeCode);
    }
}

void TkbzWSConnectionServer::RequestPing(const std::string& text)
{
    {
        std::lock_guard guard(FPingRequestLock);
        FPingText = text;
        std::uint64_t none = 0;
        FPingRequested.compare_exchange_strong(none, kbzGetTicks());
    }
    WakeReader();
}

void TkbzWSConnectionServer::SendRequestedPing()
{
    if (FPingRequested.load() == 0)
    {
        return;
    }
    std::string text;
    {
        std::lock_guard guard(FPingRequestLock);
        text.swap(FPingText);
        FPingRequested.store(0);
    }
    if (Enabled() && !GetDisconnected())
    {
        Ping(text);
    }
}

void TkbzWSConnectionServer::FlushIdleTCPData(std::uint64_t now, bool force)
{
    if (GetTransport() != TwsTransport::trpTCP || !Enabled() || GetDisconnected() ||
        FTCPFramer.Pending() == 0)
    {
        return;
    }
    if (!force &&
        (TCPFlushIdle <= 0 || now - FLastInput < static_cast<std::uint64_t>(TCPFlushIdle)))
    {
        return;
    }
    // Completing the pending bytes with the delimiter hands them out as one
    // message; the delimiter we added is taken off again.
    const std::vector<std::uint8_t> delimiter = GetTCPEndOfFrame();
    if (delimiter.empty())
    {
        return;
    }
    std::vector<std::vector<std::uint8_t>> messages;
    FrameTCPData(delimiter, messages);
    if (!messages.empty())
    {
        std::vector<std::uint8_t>& last = messages.back();
        if (last.size() >= delimiter.size())
        {
            last.resize(last.size() - delimiter.size());
        }
    }
    for (auto& m : messages)
    {
        if (GetDisconnected() || !OnBinary)
        {
            return;
        }
        TkbzMemoryStream data;
        data.Bytes() = std::move(m);
        data.SetPosition(0);
        OnBinary(*this, data);
    }
}

} // namespace kbz
