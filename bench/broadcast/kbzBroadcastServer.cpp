// The broadcast side of the broadcast benchmark: every line read from standard
// input goes to every connected client through Broadcast(text), the call the
// console's log relay makes for each line it prints.
//
//   kbzBroadcastServer [-nodelay] PORT
//
// Listens on 127.0.0.1 (PORT 0 lets the system choose) with the server's
// default settings, as the relay does; -nodelay turns Nagle's algorithm off.
// Prints "listening on 127.0.0.1:PORT" once it accepts connections and ends at
// the end of its input.
#include "base/kbzBase_Helpers.h"
#include "kbzWebSocket.h"

#include <csignal>
#include <cstdio>
#include <iostream>
#include <string>

using namespace kbz;

int main(int argc, char** argv)
{
    bool noDelay = false;
    std::string port;
    for (int i = 1; i < argc; ++i)
    {
        const std::string arg = argv[i];
        if (arg == "-nodelay")
        {
            noDelay = true;
        }
        else if (port.empty() && !arg.empty() && arg[0] != '-')
        {
            port = arg;
        }
        else
        {
            port.clear();
            break;
        }
    }
    if (port.empty())
    {
        std::fprintf(stderr, "usage: kbzBroadcastServer [-nodelay] PORT\n");
        return 2;
    }
    std::signal(SIGPIPE, SIG_IGN);

    TkbzWebSocketHTTPServer server;
    try
    {
        const int portNumber = kbzStrToInt(port);
        server.SetPort(portNumber);
        server.UseNagle = !noDelay;
        server.Bindings().push_back(
            {"127.0.0.1", static_cast<std::uint16_t>(portNumber), TwsIPVersion::ipV4});
        server.SetActive(true);
        std::printf("listening on 127.0.0.1:%d\n", server.GetBoundPort());
        std::fflush(stdout);

        std::ios::sync_with_stdio(false);
        std::string line;
        while (std::getline(std::cin, line))
        {
            server.Broadcast(line);
        }
        server.SetActive(false);
    }
    catch (const std::exception& e)
    {
        std::fprintf(stderr, "%s: %s\n", kbzExceptionClassName(e).c_str(), e.what());
        return 1;
    }
    return 0;
}
