// The console's command log: the output sink every event line leaves through,
// the command document each input line is read into, the value accessor the
// commands read their arguments with, and the base part of the usage text.
#pragma once

#include "base/kbzWebSocket_Classes_SyncObjs.h"
#include "kbzWebSocket.h"

#include "json/kbzJSON.h"
#include <atomic>
#include <exception>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kbz
{

// Writes one line and its line break to standard output in a single write,
// under a process-wide output lock, so lines from different threads never
// interleave. Safe from any thread; never raises.
void kbzWriteConsoleLine(std::string_view line) noexcept;

// "ClassName: message" for an error that reached the console.
std::string kbzErrorLine(const std::exception& e);

class TkbzCommandLog
{
public:
    TkbzCommandLog() = default;
    TkbzCommandLog(const TkbzCommandLog&) = delete;
    TkbzCommandLog& operator=(const TkbzCommandLog&) = delete;
    // Stops the relay. Descendants call StopRelay first in their own
    // destructor, so that no relay command runs into a half-destroyed object.
    virtual ~TkbzCommandLog();

    // The command document, created on first use and read into again for every command.
    IkbzJSON GetJSON();

    // The value of member name in parent's nested document, or in the root
    // document when parent is null. Objects and lists give their compact JSON
    // text, everything else its stored text (string content as written, escapes
    // untouched). Nothing when there is no such member; never raises.
    std::optional<std::string> GetJSONValue(std::string_view name,
                                            const IkbzObjectJSON& parent = nullptr) noexcept;
    // The same, but with the escape sequences of a string member decoded: the
    // form in which commands use their text arguments.
    std::optional<std::string> GetJSONArgument(std::string_view name,
                                               const IkbzObjectJSON& parent = nullptr) noexcept;

    // "OFF" / "ON" in any ASCII letter case, nothing else.
    static bool IsOff(std::string_view text);
    static bool IsOn(std::string_view text);

    // The output sink: writes the line to standard output, then hands it to the
    // relay. Callable from any thread; never waits for a running command.
    virtual void DoLog(const std::string& text);
    // Reads one command into the document and executes it. Commands run one at
    // a time (console and relay threads share the document). Errors pass to the caller.
    virtual void DoJSON(const std::string& json);
    // Usage text: the base lines, then two empty lines.
    virtual void DoHelp();
    // Start-up, once before the first command: with the switch -server (and
    // optionally -server.ip ADDRESS, -server.port PORT) starts the log relay
    // and logs "Server Listening on IP:PORT". A bad port raises EConvertError,
    // a failure to listen the listener's error. Browsers' requests are taken
    // only from the relay's own origin and those of -server.origins LIST.
    virtual void Initialize();

    // ---- Log relay ----
    // The arguments Initialize reads (without the program name); by default
    // those of the running process.
    void SetCommandLine(std::vector<std::string> args) { FCommandLine = std::move(args); }
    std::vector<std::string> CommandLine() const;
    // The relay server, created and wired on first use.
    TkbzWebSocketHTTPServer& GetRelayServer();
    bool HasRelayServer() const;
    // Stops and releases the relay server (waits for its connection threads).
    // Never from a relay thread.
    void StopRelay() noexcept;

    // DoJSON for a line typed on the console or received from a relay client:
    // an error is logged (printed and sent to the relay's clients) as one
    // "ClassName: message" line and goes no further.
    void ExecuteCommand(const std::string& json) noexcept;

    // One line to standard output only (banner, usage, error lines).
    void WriteLine(std::string_view line) noexcept { DoWriteLine(line); }

protected:
    // Executes the command that DoJSON has just read into the document.
    virtual void DoProcessJSON() = 0;

    // Where every line ends up; tests capture it.
    virtual void DoWriteLine(std::string_view line) noexcept { kbzWriteConsoleLine(line); }

    // ---- Relay hook ----
    // Every DoLog line is also broadcast to the clients of the log relay. Never
    // waits for a relay client.
    virtual void DoRelayBroadcast(const std::string& text);

    // ---- Relay events (on the relay's connection threads) ----
    // Console lines only; none of them is broadcast.
    virtual void OnServerTCPConnectEvent(const TkbzWSConnectionPtr& connection, bool& accept);
    virtual void OnServerDisconnectEvent(const TkbzWSConnectionPtr& connection, int code);
    virtual void OnServerErrorEvent(const TkbzWSConnectionPtr& connection,
                                    const std::string& error);
    virtual void OnServerExceptionEvent(const TkbzWSConnectionPtr& connection,
                                        const std::exception& e);
    // Messages from relay clients are commands.
    virtual void OnServerMessageEvent(const TkbzWSConnectionPtr& connection,
                                      const std::string& text);
    // Binary messages and raw TCP lines: decoded as UTF-8, without their line
    // end; an empty line is skipped.
    virtual void OnServerBinaryEvent(const TkbzWSConnectionPtr& connection, TkbzMemoryStream& data);
    // A client that speaks neither HTTP nor WebSocket stays as raw TCP, its
    // commands cut at line feeds.
    virtual void OnServerUnknownProtocolEvent(const TkbzWSConnectionPtr& connection, bool& accept);

private:
    // A command from a relay client, on its connection's thread: errors are
    // logged, then the client's own queued lines are sent.
    void RunRelayCommand(const TkbzWSConnectionPtr& connection, const std::string& text);
    IkbzObjectJSON FindMember(std::string_view name, const IkbzObjectJSON& parent);

    // Serialises whole commands (read and execute); re-entrant so that a
    // command may run a nested one on the same thread.
    TkbzCriticalSection FCommandLock;
    IkbzJSON FJSON;

    std::optional<std::vector<std::string>> FCommandLine;
    // Raw TCP text that came without its line break but is not a whole command
    // yet (the client paused inside it), by connection; completed by what follows.
    std::mutex FPartialLock;
    std::map<std::string, std::string> FPartialCommands;
    // Guards FServer for broadcasts from any thread (never held while waiting).
    mutable std::mutex FServerLock;
    std::unique_ptr<TkbzWebSocketHTTPServer> FServer;
    // The relay asks for credentials (-server.auth): raw TCP clients are refused.
    std::atomic<bool> FRelayAuthentication{false};
};

} // namespace kbz
