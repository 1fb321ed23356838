// The console's command processor: the JSON commands typed on the console (or
// received by the log relay), the usage text, and the JSON event lines.
#pragma once

#include "app/kbzCommand.h"
#include "client/kbzWebSocket_Client.h"

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

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

// What an "open" asks for besides the URL.
struct TkbzConsoleOpenOptions
{
    std::string SubProtocol;                                  // offered names, comma-separated
    std::vector<std::pair<std::string, std::string>> Headers; // added to the upgrade request
    std::string Origin;
};

// The "headers" argument of an "open": a JSON object of names and text values.
// Raises EArgumentException for anything else, for a name that is not an HTTP
// token, a CR, LF or NUL in a value, or a header the handshake itself writes.
std::vector<std::pair<std::string, std::string>> kbzOpenHeaders(const IkbzObjectJSON& member);

class TkbzCommandLog_WSClient : public TkbzCommandLog
{
public:
    TkbzCommandLog_WSClient() = default;
    ~TkbzCommandLog_WSClient() override;

    // The one WebSocket client, created on first use (from any thread) with its
    // events turned into event lines, TLS 1.2 or 1.3 through the SChannel choice
    // (certificates checked with -tls.verify or -tls.ca) and UTF-8 validated.
    TkbzWebSocketClient& WSClient();

    // The relay's switches, then -tls.verify and -tls.ca.
    void Initialize() override;

    // ---- The end of a session ----
    // From any thread (a signal): commands stop being executed, and an "open"
    // still connecting is given up.
    void RequestEnd() noexcept;
    bool Ending() const noexcept { return FEnding.load(); }
    // The orderly end, on the main thread after the last command: a connection
    // still open is closed with 1000 (unless a close is under way already) and
    // its events are printed until the peer's close arrives or its CloseTimeOut
    // passes; then the connection is dropped if it is still there.
    void EndSession() noexcept;

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
    // url: the "url" argument, empty when absent (connect again to the last
    // URL, with the options of the last open). Another URL while connected
    // closes the connection with 1000 first. A scheme other than ws, wss, tcp and
    // tcps raises EArgumentException. options: what the command gave besides
    // the URL (nothing: none for a new URL, the last ones for a reconnection).
    virtual void DoOpen(const std::string& url,
                        const std::optional<TkbzConsoleOpenOptions>& options = std::nullopt);
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
    // Closes the connection with 1000 unless a close is under way, and waits
    // for its disconnected line (at most its CloseTimeOut and a second).
    void CloseAndWait(const TkbzWSConnectionClientPtr& connection);
    // The handshake's request lines, with the open's extra headers.
    void AddOpenHeaders(std::vector<std::string>& lines);
    // The -log switch on the client.
    void ApplyLogFile(TkbzWebSocketClient& client);

    std::once_flag FClientOnce;
    std::unique_ptr<TkbzWebSocketClient> FWSClient;
    std::atomic<bool> FHaveClient{false};

    bool FTLSVerify = false;
    std::string FTLSCA;
    std::string FLogFile; // -log: the client's traffic log

    // The last URL opened and the options that came with it (FOpenLock).
    std::mutex FOpenLock;
    std::string FURL;
    TkbzConsoleOpenOptions FOpenOptions;
    std::vector<std::string> FRegisteredProtocols;
    // Opens in progress (an ending gives them up).
    std::atomic<int> FOpening{0};

    std::atomic<bool> FEnding{false};
    // The connection whose disconnected line was printed last (FEndLock).
    std::mutex FEndLock;
    std::condition_variable FEndChanged;
    const void* FLastDisconnected = nullptr;
};

} // namespace kbz
