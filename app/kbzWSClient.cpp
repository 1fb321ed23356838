#include "app/kbzWSClient.h"

#include "base/kbzBase_Classes.h"
#include "base/kbzBase_Helpers.h"
#include "client/kbzClient_Environment.h"

#include <charconv>
#include <cmath>
#include <limits>

namespace kbz
{

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
    const std::string msg = GetJSONArgument("message").value_or(std::string());
    const IkbzObjectJSON params = GetJSON()->GetNode("params");
    if (msg == "close")
    {
        const auto code = GetJSONArgument("code", params);
        DoClose(code ? kbzValToInt(*code) : 0, code.has_value());
    }
    else if (msg == "open")
    {
        DoOpen(GetJSONArgument("url", params).value_or(std::string()));
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
        client->OnDisconnect = [this](const TkbzWSConnectionPtr&, int code) {
            LogDisconnected(code);
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
        client->TLSOptions.IOHandler = TwsTLSIOHandler::iohSChannel;
        client->TLSOptions.Version = TwsTLSVersions::tls1_2;
        FWSClient = std::move(client);
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

void TkbzCommandLog_WSClient::DoOpen(const std::string& url)
{
    TkbzWebSocketClient& client = WSClient();
    if (!url.empty())
    {
        client.SetURL(url);
        // As curl: user:password@ in the URL is Basic authentication, the proxy comes from
        // the environment.
        kbzApplyURLCredentials(client, url);
        kbzApplyProxyEnvironment(client, url);
    }
    // Waits until the opening handshake is done (or failed), so that a script
    // can write right after its "open" line; the handshake has its own time limit.
    client.Connect(client.ConnectTimeout > 0 ? client.ConnectTimeout + 1000 : 11000);
}

void TkbzCommandLog_WSClient::DoClose(int code, bool /*hasCode*/)
{
    TkbzWebSocketClient& client = WSClient();
    if (!client.GetActive())
    {
        return;
    }
    if (code < 1)
    {
        client.SetActive(false);
        return;
    }
    auto connection = client.Connection();
    if (!connection)
    {
        return;
    }
    try
    {
        connection->Close(code);
    }
    catch (const std::exception& e)
    {
        // A code that may not be sent: nothing is sent, the connection stays open.
        LogError(e.what());
    }
}

void TkbzCommandLog_WSClient::DoWrite(const std::string& text)
{
    WSClient().WriteData(text, 0, TwsStreaming::stmNone);
}

void TkbzCommandLog_WSClient::DoBroadcast(const std::string& text)
{
    WSClient().WriteData(std::string(kbzBroadcastPrefix) + text, 0, TwsStreaming::stmNone);
}

void TkbzCommandLog_WSClient::DoHeartBeat(int interval, const std::string& enabledText)
{
    TkbzWSHeartBeat_Options& options = WSClient().HeartBeat();
    TkbzConsoleIntervalOptions values{options.Enabled, options.Interval};
    ApplyIntervalOptions("heartbeat", values, interval, enabledText);
    options.Interval = values.Interval;
    options.Enabled = values.Enabled;
}

void TkbzCommandLog_WSClient::DoWatchDog(int interval, const std::string& enabledText)
{
    TkbzWSWatchDogClient_Options& options = WSClient().WatchDog();
    TkbzConsoleIntervalOptions values{options.Enabled, options.Interval};
    ApplyIntervalOptions("watchdog", values, interval, enabledText);
    options.Interval = values.Interval;
    options.Enabled = values.Enabled;
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
