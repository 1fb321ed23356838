#include "app/kbzWSClient.h"

#include "app/kbzRelay.h"
#include "base/kbzBase_Classes.h"
#include "base/kbzBase_Helpers.h"
#include "client/kbzClient_Environment.h"

#include <charconv>
#include <chrono>
#include <cmath>
#include <limits>

namespace kbz
{

namespace
{

// RFC 7230 token characters.
bool IsHeaderName(std::string_view name)
{
    if (name.empty())
    {
        return false;
    }
    for (const char ch : name)
    {
        const auto c = static_cast<unsigned char>(ch);
        const bool alnum =
            (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
        if (!alnum && std::string_view("!#$%&'*+-.^_`|~").find(static_cast<char>(c)) ==
                          std::string_view::npos)
        {
            return false;
        }
    }
    return true;
}

// Headers the opening handshake writes itself: replacing them would break it.
bool IsHandshakeHeader(std::string_view name)
{
    for (const std::string_view own :
         {"Upgrade", "Connection", "Sec-WebSocket-Key", "Sec-WebSocket-Version",
          "Sec-WebSocket-Extensions", "Sec-WebSocket-Protocol", "Origin"})
    {
        if (kbzSameText(name, own))
        {
            return true;
        }
    }
    return false;
}

// The name of a request line ("Name: value"), empty for the request line itself.
std::string_view HeaderNameOf(std::string_view line)
{
    const std::size_t colon = line.find(':');
    return colon == std::string_view::npos ? std::string_view() : line.substr(0, colon);
}

// The scheme of a URL as the client reads it (text before "://"), lower-cased.
std::string SchemeOf(const std::string& url)
{
    const std::size_t sep = url.find("://");
    if (sep == std::string::npos || url.find_first_of("/?") < sep)
    {
        return {};
    }
    std::string scheme = url.substr(0, sep);
    for (char& c : scheme)
    {
        if (c >= 'A' && c <= 'Z')
        {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return scheme;
}

} // namespace

std::vector<std::pair<std::string, std::string>> kbzOpenHeaders(const IkbzObjectJSON& member)
{
    std::vector<std::pair<std::string, std::string>> headers;
    if (!member)
    {
        return headers;
    }
    if (member->GetJSONType() != TkbzJSONtype::kbzJSONObject)
    {
        throw EArgumentException("\"headers\" must be an object of header names and values");
    }
    const IkbzJSON document = member->GetJSONObject();
    for (std::size_t i = 0; i < document->GetCount(); ++i)
    {
        const IkbzObjectJSON header = document->GetItem(i);
        const std::string name = kbzJSONDecodeString(header->GetName());
        if (!IsHeaderName(name))
        {
            throw EArgumentException("Invalid header name '" + name + "'");
        }
        if (IsHandshakeHeader(name))
        {
            throw EArgumentException("Header " + name + " is written by the handshake");
        }
        const TkbzJSONtype kind = header->GetJSONType();
        if (kind == TkbzJSONtype::kbzJSONObject || kind == TkbzJSONtype::kbzJSONList ||
            kind == TkbzJSONtype::kbzJSONNull)
        {
            throw EArgumentException("The value of header " + name + " must be a text");
        }
        const std::string value = kind == TkbzJSONtype::kbzJSONString
                                      ? kbzJSONDecodeString(header->GetRawValue())
                                      : header->GetRawValue();
        if (value.find_first_of(std::string_view("\r\n\0", 3)) != std::string::npos)
        {
            throw EArgumentException("The value of header " + name +
                                     " may not contain CR, LF or NUL");
        }
        headers.emplace_back(name, value);
    }
    return headers;
}

std::string kbzOptionsLine(std::string_view which, bool enabled, int interval)
{
    std::string line = "{\"event\": \"options\", \"params\":{\"";
    line += which;
    line += "\": {\"enabled\": ";
    line += enabled ? "true" : "false";
    line += ", \"interval\": ";
    line += std::to_string(interval);
    line += "}}}";
    return line;
}

int kbzIntervalToInt(const std::optional<std::string>& value)
{
    if (!value)
    {
        return 0;
    }
    try
    {
        return kbzStrToInt(*value);
    }
    catch (const EConvertError&)
    {
        // A number with a fraction (1.5, 2e1) rounds; everything else keeps the error.
        const std::string& text = *value;
        double number = 0;
        const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), number);
        if (ec != std::errc() || end != text.data() + text.size() || !std::isfinite(number))
        {
            throw;
        }
        const double rounded = std::round(number);
        if (rounded < static_cast<double>(std::numeric_limits<int>::min()) ||
            rounded > static_cast<double>(std::numeric_limits<int>::max()))
        {
            throw;
        }
        return static_cast<int>(rounded);
    }
}

void TkbzCommandLog_WSClient::DoHelp()
{
    TkbzCommandLog::DoHelp();
    WriteLine("***kbzWebSocketClient usage***");
    WriteLine("***BASICS***");
    WriteLine("[open a new websocket connection] {\"message\":\"open\", \"params\":{\"url\": "
              "\"ws://echo.example.com\"}}");
    WriteLine("[open a new tcp connection] {\"message\":\"open\", \"params\":{\"url\": "
              "\"tcp://echo.example.com\"}}");
    WriteLine("[send a message to server] {\"message\":\"write\", \"params\":{\"text\": \"My First "
              "Message\"}}");
    WriteLine("[broadcast a message to all clients] {\"message\":\"broadcast\", "
              "\"params\":{\"text\": \"My First Message\"}}");
    WriteLine("[close connection] {\"message\":\"close\"}");
    WriteLine("[close connection with code] {\"message\":\"close\", \"params\":{\"code\": 1000}}");
    WriteLine("");
    WriteLine("***OPTIONS***");
    WriteLine("[enable heartbeat every 30 seconds] {\"message\":\"heartbeat\", "
              "\"params\":{\"heartbeat\":{\"enabled\": true, \"interval\": 30}}}");
    WriteLine("[enable watchdog every 10 seconds} {\"message\":\"watchdog\", "
              "\"params\":{\"watchdog\":{\"enabled\": true, \"interval\": 10}}}");
}

void TkbzCommandLog_WSClient::LogConnected()
{
    DoLog("{\"event\": \"connected\"}");
}

void TkbzCommandLog_WSClient::LogDisconnected(int code)
{
    DoLog("{\"event\": \"disconnected\", \"code\": " + std::to_string(code) + "}");
}

// Texts from the peer are bytes that may not be UTF-8: malformed sequences become U+FFFD, so
// every line stays valid UTF-8 JSON.
void TkbzCommandLog_WSClient::LogError(std::string_view description)
{
    DoLog("{\"event\": \"error\", \"description\": \"" +
          kbzJSONEscapeText(kbzGetUTF8String(description)) + "\"}");
}

void TkbzCommandLog_WSClient::LogMessage(std::string_view text)
{
    DoLog("{\"event\": \"message\", \"text\": \"" + kbzJSONEscapeText(kbzGetUTF8String(text)) +
          "\"}");
}

void TkbzCommandLog_WSClient::DoProcessJSON()
{
    if (Ending())
    {
        return; // the session is ending: nothing new starts
    }
    const std::string msg = GetJSONArgument("message").value_or(std::string());
    const IkbzObjectJSON params = GetJSON()->GetNode("params");
    if (msg == "close")
    {
        const auto code = GetJSONArgument("code", params);
        DoClose(code ? kbzValToInt(*code) : 0, code.has_value());
    }
    else if (msg == "open")
    {
        // Arguments beside the URL, looked up where the URL is.
        const IkbzJSON node = params ? params->GetJSONObject() : GetJSON();
        const IkbzObjectJSON protocol = node->GetNode("subprotocol");
        const IkbzObjectJSON headers = node->GetNode("headers");
        const IkbzObjectJSON origin = node->GetNode("origin");
        std::optional<TkbzConsoleOpenOptions> options;
        if (protocol || headers || origin)
        {
            options.emplace();
            options->SubProtocol = GetJSONArgument("subprotocol", params).value_or(std::string());
            options->Headers = kbzOpenHeaders(headers);
            options->Origin = GetJSONArgument("origin", params).value_or(std::string());
            if (options->Origin.find_first_of(std::string_view("\r\n\0", 3)) != std::string::npos ||
                options->SubProtocol.find_first_of(std::string_view("\r\n\0", 3)) !=
                    std::string::npos)
            {
                throw EArgumentException("\"origin\" and \"subprotocol\" may not contain CR, "
                                         "LF or NUL");
            }
        }
        DoOpen(GetJSONArgument("url", params).value_or(std::string()), options);
    }
    else if (msg == "write")
    {
        DoWrite(GetJSONArgument("text", params).value_or(std::string()));
    }
    else if (msg == "broadcast")
    {
        DoBroadcast(GetJSONArgument("text", params).value_or(std::string()));
    }
    else if (msg == "heartbeat" || msg == "watchdog")
    {
        const IkbzObjectJSON inner = params ? params->GetNode(msg) : nullptr;
        const int interval = kbzIntervalToInt(GetJSONArgument("interval", inner));
        const std::string enabled = GetJSONArgument("enabled", inner).value_or(std::string());
        if (msg == "heartbeat")
        {
            DoHeartBeat(interval, enabled);
        }
        else
        {
            DoWatchDog(interval, enabled);
        }
    }
}

void TkbzCommandLog_WSClient::Initialize()
{
    TkbzCommandLog::Initialize();
    const TkbzConsoleSwitches switches = kbzReadConsoleSwitches(CommandLine());
    FTLSVerify = switches.TLSVerify;
    FTLSCA = switches.TLSCA;
    FLogFile = switches.LogFile;
    if (FHaveClient.load())
    {
        WSClient().TLSOptions.VerifyCertificate = FTLSVerify;
        WSClient().TLSOptions.RootCertFile = FTLSCA;
        ApplyLogFile(WSClient());
    }
}

void TkbzCommandLog_WSClient::ApplyLogFile(TkbzWebSocketClient& client)
{
    // Beyond the design: -log FILE writes the client's traffic, frames decoded.
    client.LogFile().Enabled = !FLogFile.empty();
    client.LogFile().FileName = FLogFile;
    client.LogFile().UnMaskFrames = true;
}

TkbzCommandLog_WSClient::~TkbzCommandLog_WSClient()
{
    // Relay commands and the client's handlers use this object: the relay
    // stops first, then the client goes, while everything is still alive.
    StopRelay();
    FWSClient.reset();
}

TkbzWebSocketClient& TkbzCommandLog_WSClient::WSClient()
{
    std::call_once(FClientOnce, [this] {
        auto client = std::make_unique<TkbzWebSocketClient>();
        client->OnConnect = [this](const TkbzWSConnectionPtr&) { LogConnected(); };
        client->OnDisconnect = [this](const TkbzWSConnectionPtr& c, int code) {
            LogDisconnected(code);
            {
                std::lock_guard guard(FEndLock);
                FLastDisconnected = c.get();
            }
            FEndChanged.notify_all();
        };
        client->OnError = [this](const TkbzWSConnectionPtr&, const std::string& error) {
            LogError(error);
        };
        client->OnException = [this](const TkbzWSConnectionPtr&, const std::exception& e) {
            LogError(e.what());
        };
        client->OnMessage = [this](const TkbzWSConnectionPtr&, const std::string& text) {
            LogMessage(text);
        };
        client->OnHandshake = [this](const TkbzWSConnectionPtr&, std::vector<std::string>& lines) {
            AddOpenHeaders(lines);
        };
        client->TLSOptions.IOHandler = TwsTLSIOHandler::iohSChannel;
        // Left undefined, the version is negotiated: TLS 1.2 or 1.3.
        client->TLSOptions.Version = TwsTLSVersions::tlsUndefined;
        client->TLSOptions.VerifyCertificate = FTLSVerify;
        client->TLSOptions.RootCertFile = FTLSCA;
        ApplyLogFile(*client);
        // Text that is not UTF-8 fails the connection with 1007.
        client->Options.ValidateUTF8 = true;
        FWSClient = std::move(client);
        FHaveClient.store(true);
    });
    return *FWSClient;
}

TkbzConsoleIntervalOptions TkbzCommandLog_WSClient::GetHeartBeat()
{
    const TkbzWSHeartBeat_Options& o = WSClient().HeartBeat();
    return {o.Enabled, o.Interval};
}

TkbzConsoleIntervalOptions TkbzCommandLog_WSClient::GetWatchDog()
{
    const TkbzWSWatchDogClient_Options& o = WSClient().WatchDog();
    return {o.Enabled, o.Interval};
}

void TkbzCommandLog_WSClient::AddOpenHeaders(std::vector<std::string>& lines)
{
    std::lock_guard guard(FOpenLock);
    for (const auto& header : FOpenOptions.Headers)
    {
        const std::string& name = header.first;
        // A header given replaces the one the request would carry (Host, for example).
        std::erase_if(lines, [&](const std::string& line) {
            return kbzSameText(kbzTrim(HeaderNameOf(line)), name);
        });
        lines.push_back(name + ": " + header.second);
    }
}

void TkbzCommandLog_WSClient::CloseAndWait(const TkbzWSConnectionClientPtr& connection)
{
    TkbzWebSocketClient& client = WSClient();
    if (!connection)
    {
        return;
    }
    if (connection->GetTransport() == TwsTransport::trpTCP || !connection->Enabled())
    {
        client.SetActive(false); // no closing handshake to wait for
        return;
    }
    try
    {
        client.Close(kbzCloseNormal); // nothing new when a close is under way already
    }
    catch (const std::exception& e)
    {
        LogError(e.what());
    }
    const auto limit = std::chrono::milliseconds(std::max(0, connection->CloseTimeOut) + 1000);
    {
        std::unique_lock lock(FEndLock);
        FEndChanged.wait_for(lock, limit, [&] { return FLastDisconnected == connection.get(); });
    }
    // No answer in time: dropped (the disconnected line follows at once).
    if (client.Connection() == connection)
    {
        client.SetActive(false);
    }
}

void TkbzCommandLog_WSClient::DoOpen(const std::string& url,
                                     const std::optional<TkbzConsoleOpenOptions>& options)
{
    TkbzWebSocketClient& client = WSClient();
    if (!url.empty())
    {
        const std::string scheme = SchemeOf(url);
        if (scheme != "ws" && scheme != "wss" && scheme != "tcp" && scheme != "tcps")
        {
            throw EArgumentException((scheme.empty() ? std::string("No scheme in URL ")
                                                     : "Unknown scheme '" + scheme + "' in URL ") +
                                     kbzRedactURL(url) + " (ws://, wss://, tcp:// or tcps://)");
        }
        std::string previous;
        {
            std::lock_guard guard(FOpenLock);
            previous = FURL;
        }
        if (auto connection = client.Connection(); connection && url != previous)
        {
            CloseAndWait(connection);
        }
    }
    if (!url.empty() || options)
    {
        if (!url.empty())
        {
            client.SetURL(url);
            // As curl: user:password@ in the URL is Basic authentication, the proxy comes from
            // the environment.
            kbzApplyURLCredentials(client, url);
            kbzApplyProxyEnvironment(client, url);
        }
        std::lock_guard guard(FOpenLock);
        if (!url.empty())
        {
            FURL = url;
        }
        FOpenOptions = options.value_or(TkbzConsoleOpenOptions{});
        client.Options.Origin = FOpenOptions.Origin;
        for (const std::string& name : FRegisteredProtocols)
        {
            client.UnRegisterProtocol(name);
        }
        FRegisteredProtocols.clear();
        TkbzDelimitedStringList names;
        names.SetDelimitedText(FOpenOptions.SubProtocol);
        for (const std::string& name : names)
        {
            const std::string trimmed = kbzTrim(name);
            if (!trimmed.empty())
            {
                client.RegisterProtocol(trimmed);
                FRegisteredProtocols.push_back(trimmed);
            }
        }
    }
    // Waits until the opening handshake is done (or failed), so that a script
    // can write right after its "open" line; the handshake has its own time limit.
    ++FOpening;
    struct Done
    {
        std::atomic<int>& count;
        ~Done() { --count; }
    } done{FOpening};
    if (Ending())
    {
        return;
    }
    client.Connect(client.ConnectTimeout > 0 ? client.ConnectTimeout + 1000 : 11000);
}

void TkbzCommandLog_WSClient::DoClose(int code, bool /*hasCode*/)
{
    // Not connected: nothing to close, but reconnection attempts stop too.
    try
    {
        WSClient().Close(code);
    }
    catch (const std::exception& e)
    {
        // A code that may not be sent: nothing is sent, the connection stays open.
        LogError(e.what());
    }
}

void TkbzCommandLog_WSClient::DoWrite(const std::string& text)
{
    TkbzWebSocketClient& client = WSClient();
    const auto connection = client.Connection();
    if (!connection || !connection->Enabled())
    {
        LogError("Not connected");
        return;
    }
    client.WriteData(text, 0, TwsStreaming::stmNone);
}

void TkbzCommandLog_WSClient::DoBroadcast(const std::string& text)
{
    DoWrite(std::string(kbzBroadcastPrefix) + text);
}

void TkbzCommandLog_WSClient::RequestEnd() noexcept
{
    FEnding.store(true);
    try
    {
        if (FOpening.load() > 0 && FHaveClient.load())
        {
            const auto connection = WSClient().Connection();
            if (!connection || !connection->Enabled())
            {
                WSClient().SetActive(false); // stops connecting
            }
        }
    }
    catch (...)
    {}
}

void TkbzCommandLog_WSClient::EndSession() noexcept
{
    FEnding.store(true);
    if (!FHaveClient.load())
    {
        return;
    }
    try
    {
        TkbzWebSocketClient& client = WSClient();
        CloseAndWait(client.Connection());
        // No watchdog attempt after the end, and nothing left half-open.
        client.Close(0);
        client.SetActive(false);
    }
    catch (const std::exception& e)
    {
        LogError(e.what());
    }
    catch (...)
    {}
}

void TkbzCommandLog_WSClient::DoHeartBeat(int interval, const std::string& enabledText)
{
    TkbzWSHeartBeat_Options& options = WSClient().HeartBeat();
    TkbzConsoleIntervalOptions values{options.Enabled, options.Interval};
    ApplyIntervalOptions("heartbeat", values, interval, enabledText);
    options.Interval = values.Interval;
    options.Enabled = values.Enabled;
    WSClient().ApplyHeartBeat();
}

void TkbzCommandLog_WSClient::DoWatchDog(int interval, const std::string& enabledText)
{
    TkbzWSWatchDogClient_Options& options = WSClient().WatchDog();
    TkbzConsoleIntervalOptions values{options.Enabled, options.Interval};
    ApplyIntervalOptions("watchdog", values, interval, enabledText);
    options.Interval = values.Interval;
    options.Enabled = values.Enabled;
    WSClient().ApplyWatchDog();
}

void TkbzCommandLog_WSClient::ApplyIntervalOptions(std::string_view which,
                                                   TkbzConsoleIntervalOptions& options,
                                                   int interval, const std::string& enabledText)
{
    if (interval > 0)
    {
        options.Interval = interval;
    }
    if (enabledText == "true" || enabledText == "false")
    {
        options.Enabled = enabledText == "true";
        DoLog(kbzOptionsLine(which, options.Enabled, options.Interval));
    }
}

} // namespace kbz
