// The console's command processor: the JSON commands typed on the console (or
// received by the log relay), the usage text, and the JSON event lines.
#pragma once

#include "app/kbzCommand.h"
#include "client/kbzWebSocket_Client.h"

#include <memory>
#include <mutex>

#include <optional>
#include <string>
#include <string_view>

namespace kbz
{

// Prefix of a "broadcast" command's text message; the server decides what it means.
inline constexpr std::string_view kbzBroadcastPrefix = "#kbz_broadcast:";

// What a "heartbeat" or "watchdog" command changes.
struct TkbzConsoleIntervalOptions
{
    bool Enabled = false;
    int Interval = 0; // seconds
};

// {"event": "options", "params":{"<which>": {"enabled": <flag>, "interval": <n>}}}
std::string kbzOptionsLine(std::string_view which, bool enabled, int interval);

// The "interval" argument as an integer: absent gives 0, an integer text its
// value, a number with a fraction the nearest integer (halves away from zero).
// Anything else raises EConvertError "'<text>' is not a valid integer value".
int kbzIntervalToInt(const std::optional<std::string>& value);

class TkbzCommandLog_WSClient : public TkbzCommandLog
{
public:
    TkbzCommandLog_WSClient() = default;
    ~TkbzCommandLog_WSClient() override;

    // The one WebSocket client, created on first use (from any thread) with its
    // events turned into event lines and TLS through the SChannel choice at TLS 1.2.
    TkbzWebSocketClient& WSClient();

    // The command log's usage lines, then the client's.
    void DoHelp() override;

    // ---- Event lines ----
    // Texts from the peer are escaped, so every event line is one valid JSON line.
    void LogConnected();
    void LogDisconnected(int code);
    void LogError(std::string_view description);
    void LogMessage(std::string_view text);

    // The client's heartbeat and watchdog settings as the commands see them.
    TkbzConsoleIntervalOptions GetHeartBeat();
    TkbzConsoleIntervalOptions GetWatchDog();


protected:
    // "close", "open", "write", "broadcast", "heartbeat", "watchdog"; anything
    // else does nothing. Arguments come from "params", or from the root when
    // there is no "params" (heartbeat and watchdog: from "params"."heartbeat" /
    // "params"."watchdog", falling back to the root).
    void DoProcessJSON() override;

    // ---- The commands, with their arguments converted ----
    // url: the "url" argument, empty when absent (connect again to the last URL).
    virtual void DoOpen(const std::string& url);
    // code: the "code" argument read leniently (0 when absent or without digits);
    // below 1 drops the connection, otherwise closes with that code.
    virtual void DoClose(int code, bool hasCode);
    // text: the "text" argument with its escapes decoded, empty when absent.
    virtual void DoWrite(const std::string& text);
    // text: as for DoWrite; sent as kbzBroadcastPrefix + text.
    virtual void DoBroadcast(const std::string& text);
    // interval: the converted "interval" (only a value above 0 changes the
    // setting); enabledText: the "enabled" value, "true" and "false" act.
    virtual void DoHeartBeat(int interval, const std::string& enabledText);
    virtual void DoWatchDog(int interval, const std::string& enabledText);

    // Applies a heartbeat or watchdog command to options and prints the options
    // line when enabledText is "true" or "false". The settings take effect with
    // the next connection.
    void ApplyIntervalOptions(std::string_view which, TkbzConsoleIntervalOptions& options,
                              int interval, const std::string& enabledText);

private:
    std::once_flag FClientOnce;
    std::unique_ptr<TkbzWebSocketClient> FWSClient;
};

} // namespace kbz
