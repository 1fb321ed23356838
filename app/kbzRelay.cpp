#include "app/kbzRelay.h"

#include "base/kbzBase_Classes.h"
#include "base/kbzBase_Helpers.h"

#include <fstream>
#include <iterator>

namespace kbz
{

namespace
{

bool IsSwitch(std::string_view arg)
{
    return !arg.empty() && (arg[0] == '-' || arg[0] == '/');
}

} // namespace

std::vector<std::string> kbzProcessArguments()
{
    std::ifstream in("/proc/self/cmdline", std::ios::binary);
    const std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<std::string> args;
    std::size_t start = 0;
    while (start < all.size())
    {
        std::size_t end = all.find('\0', start);
        if (end == std::string::npos)
        {
            end = all.size();
        }
        args.push_back(all.substr(start, end - start));
        start = end + 1;
    }
    if (!args.empty())
    {
        args.erase(args.begin()); // the program
    }
    return args;
}

bool kbzFindCmdLineSwitch(const std::vector<std::string>& args, std::string_view name)
{
    for (const std::string& arg : args)
    {
        if (IsSwitch(arg) && kbzSameText(std::string_view(arg).substr(1), name))
        {
            return true;
        }
    }
    return false;
}

std::optional<std::string> kbzFindCmdLineSwitchValue(const std::vector<std::string>& args,
                                                     std::string_view name)
{
    for (std::size_t i = 0; i < args.size(); ++i)
    {
        const std::string_view arg = args[i];
        if (!IsSwitch(arg) || !kbzStartsText(arg.substr(1), name))
        {
            continue;
        }
        std::string_view rest = arg.substr(1 + name.size());
        if (!rest.empty())
        {
            if (rest.front() == ':')
            {
                rest.remove_prefix(1);
            }
            return std::string(rest);
        }
        if (i + 1 < args.size() && !IsSwitch(args[i + 1]))
        {
            return args[i + 1];
        }
        return std::string();
    }
    return std::nullopt;
}

std::optional<std::string> kbzFindCmdLineFileValue(const std::vector<std::string>& args,
                                                   std::string_view name)
{
    for (std::size_t i = 0; i < args.size(); ++i)
    {
        const std::string_view arg = args[i];
        if (!IsSwitch(arg) || !kbzStartsText(arg.substr(1), name))
        {
            continue;
        }
        std::string_view rest = arg.substr(1 + name.size());
        if (!rest.empty())
        {
            if (rest.front() == ':')
            {
                rest.remove_prefix(1);
            }
            return std::string(rest);
        }
        if (i + 1 < args.size() && args[i + 1].rfind('-', 0) != 0)
        {
            return args[i + 1];
        }
        return std::string();
    }
    return std::nullopt;
}

int kbzRelayPortNumber(const std::string& text)
{
    const int port = kbzStrToInt(text);
    if (port < 1 || port > 65535)
    {
        throw EConvertError("'" + text + "' is not a valid port number");
    }
    return port;
}

bool kbzIsWholeCommand(std::string_view text)
{
    std::size_t start = 0;
    while (start < text.size() && (text[start] == ' ' || text[start] == '\t'))
    {
        ++start;
    }
    if (start == text.size() || (text[start] != '{' && text[start] != '['))
    {
        return true;
    }
    int depth = 0;
    bool inString = false;
    bool escaped = false;
    for (std::size_t i = start; i < text.size(); ++i)
    {
        const char c = text[i];
        if (inString)
        {
            if (escaped)
            {
                escaped = false;
            }
            else if (c == '\\')
            {
                escaped = true;
            }
            else if (c == '"')
            {
                inString = false;
            }
            continue;
        }
        if (c == '"')
        {
            inString = true;
        }
        else if (c == '{' || c == '[')
        {
            ++depth;
        }
        else if (c == '}' || c == ']')
        {
            if (--depth == 0)
            {
                // Closed: whatever follows is for the reader to judge.
                return true;
            }
        }
    }
    return false;
}

namespace
{

// Switches that stand alone, and switches that carry a value (matched at the
// start of the argument, as the relay's switches are).
constexpr std::string_view kFlagSwitches[] = {"server", "server.www", "quiet", "tls.verify", "h"};
constexpr std::string_view kValueSwitches[] = {"server.ip",   "server.port", "server.origins",
                                               "server.cert", "server.key",  "server.auth",
                                               "tls.ca",      "log"};

// Switches whose value is a file, which may start with "/".
bool IsFileSwitch(std::string_view name)
{
    return name == "tls.ca" || name == "server.cert" || name == "server.key" || name == "log";
}

} // namespace

TkbzConsoleSwitches kbzReadConsoleSwitches(const std::vector<std::string>& args)
{
    TkbzConsoleSwitches result;
    for (std::size_t i = 0; i < args.size(); ++i)
    {
        const std::string& arg = args[i];
        if (arg.empty())
        {
            continue;
        }
        if (!IsSwitch(arg))
        {
            if (!result.URL.empty())
            {
                result.Error = "more than one URL: " + arg;
                return result;
            }
            result.URL = arg;
            continue;
        }
        if (arg == "--help")
        {
            result.Help = true;
            continue;
        }
        if (arg == "--version")
        {
            result.Version = true;
            continue;
        }
        const std::string_view name = std::string_view(arg).substr(1);
        bool known = false;
        for (const std::string_view flag : kFlagSwitches)
        {
            if (kbzSameText(name, flag))
            {
                known = true;
                result.Help = result.Help || flag == "h";
                result.Quiet = result.Quiet || flag == "quiet";
                result.TLSVerify = result.TLSVerify || flag == "tls.verify";
            }
        }
        for (const std::string_view valued : kValueSwitches)
        {
            if (known || !kbzStartsText(name, valued))
            {
                continue;
            }
            known = true;
            std::string value;
            if (name.size() > valued.size())
            {
                value = std::string(name.substr(valued.size()));
                if (value.front() == ':')
                {
                    value.erase(0, 1);
                }
            }
            else if (i + 1 < args.size() && (IsFileSwitch(valued) ? args[i + 1].rfind('-', 0) != 0
                                                                  : !IsSwitch(args[i + 1])))
            {
                // A file may well start with "/", which the relay's switches take for a switch.
                value = args[++i];
            }
            if (valued == "log")
            {
                if (value.empty())
                {
                    result.Error = "-log needs a file";
                    return result;
                }
                result.LogFile = value;
            }
            if (valued == "tls.ca")
            {
                if (value.empty())
                {
                    result.Error = "-tls.ca needs a file";
                    return result;
                }
                result.TLSCA = value;
                result.TLSVerify = true;
            }
        }
        if (!known)
        {
            result.Error = "unknown switch " + arg;
            return result;
        }
    }
    return result;
}

std::vector<std::string> kbzConsoleSwitchLines()
{
    return {
        "usage: kbzWebSocketClient [switches] [URL]",
        "  URL                   open this URL at start (ws://, wss://, tcp://, tcps://)",
        "  -server               run the log relay (port 8080, all addresses)",
        "  -server.ip ADDRESS    the relay's address",
        "  -server.port PORT     the relay's port",
        "  -server.origins LIST  browser origins the relay accepts besides its own",
        "                        (comma-separated, * and ? as wildcards)",
        "  -quiet                no banner: standard output holds only event lines",
        "  -tls.verify           check server certificates and host names (system CAs)",
        "  -tls.ca FILE          check them against the CA certificates in FILE (PEM)",
        "  -h, --help            this text",
        "  --version             the version",
    };
}

} // namespace kbz
