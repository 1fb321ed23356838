#include "app/kbzCommand.h"

#include "base/kbzBase_Classes.h"

#include <cerrno>
#include <mutex>
#include <unistd.h>

namespace kbz
{

namespace
{

std::mutex& OutputLock()
{
    // Never destroyed: threads still running at exit may write a last line.
    static auto* lock = new std::mutex;
    return *lock;
}

bool SameAsciiUpper(std::string_view text, std::string_view upper)
{
    if (text.size() != upper.size())
    {
        return false;
    }
    for (std::size_t i = 0; i < text.size(); ++i)
    {
        char c = text[i];
        if (c >= 'a' && c <= 'z')
        {
            c = static_cast<char>(c - 'a' + 'A');
        }
        if (c != upper[i])
        {
            return false;
        }
    }
    return true;
}

} // namespace

void kbzWriteConsoleLine(std::string_view line) noexcept
{
    try
    {
        std::string buffer;
        buffer.reserve(line.size() + 1);
        buffer.append(line);
        buffer += '\n';
        const std::lock_guard lock(OutputLock());
        std::size_t done = 0;
        while (done < buffer.size())
        {
            const ssize_t n = ::write(STDOUT_FILENO, buffer.data() + done, buffer.size() - done);
            if (n < 0 && errno == EINTR)
            {
                continue;
            }
            if (n <= 0)
            {
                return; // standard output is gone: nothing left to tell anyone
            }
            done += static_cast<std::size_t>(n);
        }
    }
    catch (...)
    {
        // Out of memory for one line: drop it rather than end the program.
    }
}

std::string kbzErrorLine(const std::exception& e)
{
    return kbzExceptionClassName(e) + ": " + kbzExceptionMessage(e);
}

IkbzJSON TkbzCommandLog::GetJSON()
{
    const std::lock_guard lock(FCommandLock);
    if (!FJSON)
    {
        FJSON = CreateJSONInstance();
    }
    return FJSON;
}

IkbzObjectJSON TkbzCommandLog::FindMember(std::string_view name, const IkbzObjectJSON& parent)
{
    const IkbzJSON node = parent ? parent->GetJSONObject() : GetJSON();
    return node ? node->GetNode(name) : nullptr;
}

std::optional<std::string> TkbzCommandLog::GetJSONValue(std::string_view name,
                                                        const IkbzObjectJSON& parent) noexcept
{
    try
    {
        const IkbzObjectJSON member = FindMember(name, parent);
        if (!member)
        {
            return std::nullopt;
        }
        return member->GetValue();
    }
    catch (...)
    {
        return std::string();
    }
}

std::optional<std::string> TkbzCommandLog::GetJSONArgument(std::string_view name,
                                                           const IkbzObjectJSON& parent) noexcept
{
    try
    {
        const IkbzObjectJSON member = FindMember(name, parent);
        if (!member)
        {
            return std::nullopt;
        }
        if (member->GetJSONType() == TkbzJSONtype::kbzJSONString)
        {
            return kbzJSONDecodeString(member->GetValue());
        }
        return member->GetValue();
    }
    catch (...)
    {
        return std::string();
    }
}

bool TkbzCommandLog::IsOff(std::string_view text)
{
    return SameAsciiUpper(text, "OFF");
}

bool TkbzCommandLog::IsOn(std::string_view text)
{
    return SameAsciiUpper(text, "ON");
}

void TkbzCommandLog::DoLog(const std::string& text)
{
    DoWriteLine(text);
    DoRelayBroadcast(text);
}

void TkbzCommandLog::DoJSON(const std::string& json)
{
    const std::lock_guard lock(FCommandLock);
    GetJSON()->Read(json);
    DoProcessJSON();
}

void TkbzCommandLog::DoHelp()
{
    WriteLine("***TCP Server***");
    WriteLine("***Start application using the following parameters***");
    WriteLine("[enable server on port 8080] -server");
    WriteLine("[enable server on port 4000] -server -server.port 4000");
    WriteLine("[enable server on ip 192.168.1.1 and port 5000] -server -server.ip 192.168.1.1 "
              "-server.port 5000");
    WriteLine("");
    WriteLine("");
}

void TkbzCommandLog::Initialize()
{
    // Command-line switches and the log relay come with the server.
}

void TkbzCommandLog::ExecuteCommand(const std::string& json) noexcept
{
    try
    {
        DoJSON(json);
    }
    catch (const std::exception& e)
    {
        try
        {
            WriteLine(kbzErrorLine(e));
        }
        catch (...)
        {}
    }
    catch (...)
    {
        WriteLine("Exception: unknown error");
    }
}

} // namespace kbz
