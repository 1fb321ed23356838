// The console program: banner, start-up, then one command per line of standard
// input until EXIT or the end of input.
#include "app/kbzWSClient.h"
#include "base/kbzWebSocket_Types.h"

#include <csignal>
#include <iostream>
#include <memory>
#include <string>

namespace
{

using namespace kbz;

// The one command processor of the program.
std::unique_ptr<TkbzCommandLog_WSClient> CommandLogInstance;

std::string AsciiUpper(std::string text)
{
    for (char& c : text)
    {
        if (c >= 'a' && c <= 'z')
        {
            c = static_cast<char>(c - 'a' + 'A');
        }
    }
    return text;
}

void WriteBanner()
{
    kbzWriteConsoleLine("kbzWebSocketClient - WebSocket console client");
    kbzWriteConsoleLine(kbzConsoleVersion);
    kbzWriteConsoleLine("   made by the kbzWebSockets developers");
    kbzWriteConsoleLine("   questions and reports: the issue tracker of the kbzWebSockets project");
    kbzWriteConsoleLine("   type HELP for the commands, EXIT to quit");
}

bool Start()
{
    try
    {
        CommandLogInstance = std::make_unique<TkbzCommandLog_WSClient>();
        CommandLogInstance->Initialize();
        return true;
    }
    catch (const std::exception& e)
    {
        kbzWriteConsoleLine(kbzErrorLine(e));
    }
    catch (...)
    {
        kbzWriteConsoleLine("Exception: unknown error");
    }
    return false;
}

void RunLoop()
{
    std::string line;
    // The end of input ends the program as EXIT does.
    while (std::getline(std::cin, line))
    {
        // Scripts written with CRLF line ends work like typed lines.
        if (!line.empty() && line.back() == '\r')
        {
            line.pop_back();
        }
        // Whole-line comparisons: "exit " with a blank is a (bad) command, not EXIT.
        const std::string upper = AsciiUpper(line);
        if (upper == "EXIT")
        {
            return;
        }
        if (upper == "HELP")
        {
            try
            {
                CommandLogInstance->DoHelp();
            }
            catch (const std::exception& e)
            {
                CommandLogInstance->WriteLine(kbzErrorLine(e));
            }
            continue;
        }
        CommandLogInstance->ExecuteCommand(line);
    }
}

} // namespace

int main()
{
    // A closed standard output (or, later, a peer gone) must not kill the process.
    std::signal(SIGPIPE, SIG_IGN);
    WriteBanner();
    if (!Start())
    {
        CommandLogInstance.reset();
        return 1;
    }
    RunLoop();
    CommandLogInstance.reset();
    return 0;
}
