// The console's command-line switches: "-server", "-server.ip", "-server.port",
// "-server.origins", "-server.www", and the program's own "-quiet", "-tls.verify", "-tls.ca",
// "-h"/"--help", "--version" and an optional URL.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kbz
{

// The arguments of the running process, without the program name.
std::vector<std::string> kbzProcessArguments();

// A switch is an argument that starts with "-" or "/"; names compare ignoring
// case and the first matching argument wins.
// Whether an argument is exactly the switch name (so "-server.port" is not "server").
bool kbzFindCmdLineSwitch(const std::vector<std::string>& args, std::string_view name);
// The value of a switch that starts with the name: what follows the name in
// the argument (after one ":" that directly follows the name), or else the
// next argument unless it is a switch itself, or else empty. Nothing when no
// argument names the switch.
std::optional<std::string> kbzFindCmdLineSwitchValue(const std::vector<std::string>& args,
                                                     std::string_view name);
// As kbzFindCmdLineSwitchValue, for a value that names a file: the next
// argument is the value unless it starts with "-" (a path may start with "/").
std::optional<std::string> kbzFindCmdLineFileValue(const std::vector<std::string>& args,
                                                   std::string_view name);
// A port number from 1 to 65535; anything else raises EConvertError.
int kbzRelayPortNumber(const std::string& text);

// Whether a raw TCP client's text, received without its line break, is a whole
// command: a JSON object or list whose brackets close at its end (brackets in
// strings do not count), or any text that is not JSON at all. Text that opens a
// JSON value and does not close it is the start of a command cut short.
bool kbzIsWholeCommand(std::string_view text);

// What the program's switches ask for, read once at start-up. The relay's
// switches are read again by Initialize; here they are only known, so that
// their values are not taken for the URL.
struct TkbzConsoleSwitches
{
    bool Help = false;
    bool Version = false;
    bool Quiet = false;     // no banner
    bool TLSVerify = false; // server certificates and host names checked
    std::string TLSCA;      // PEM file of the CAs to check against (implies TLSVerify)
    std::string LogFile;    // the client's traffic log (frames decoded)
    std::string URL;        // opened at start
    std::string Error;      // a switch that is not known, a missing value, a second URL
};
TkbzConsoleSwitches kbzReadConsoleSwitches(const std::vector<std::string>& args);

// The switches, one per line, for -h and for the error of an unknown switch.
std::vector<std::string> kbzConsoleSwitchLines();

} // namespace kbz
