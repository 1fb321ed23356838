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

} // namespace kbz
