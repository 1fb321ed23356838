// The console's command log: the output sink every event line leaves through,
// the command document each input line is read into, the value accessor the
// commands read their arguments with, and the base part of the usage text.
#pragma once

#include "base/kbzWebSocket_Classes_SyncObjs.h"

#include "json/kbzJSON.h"
#include <exception>
#include <optional>
#include <string>
#include <string_view>

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
    virtual ~TkbzCommandLog() = default;

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
    // Start-up, once before the first command (command-line switches and relay later).
    virtual void Initialize();

    // DoJSON for a line typed on the console or received from a relay client:
    // an error is printed as one "ClassName: message" line and goes no further.
    void ExecuteCommand(const std::string& json) noexcept;

    // One line to standard output only (banner, usage, error lines).
    void WriteLine(std::string_view line) noexcept { DoWriteLine(line); }

protected:
    // Executes the command that DoJSON has just read into the document.
    virtual void DoProcessJSON() = 0;

    // Where every line ends up; tests capture it.
    virtual void DoWriteLine(std::string_view line) noexcept { kbzWriteConsoleLine(line); }

    // ---- Relay hook ----
    // Every DoLog line is also broadcast to the clients of the log relay; the
    // relay server plugs in here.
    virtual void DoRelayBroadcast(const std::string& text) { (void)text; }

private:
    IkbzObjectJSON FindMember(std::string_view name, const IkbzObjectJSON& parent);

    // Serialises whole commands (read and execute); re-entrant so that a
    // command may run a nested one on the same thread.
    TkbzCriticalSection FCommandLock;
    IkbzJSON FJSON;
};

} // namespace kbz
