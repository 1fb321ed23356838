// A WebSocket echo server: every text and binary message comes back as it
// came, as the same type.
//
//   kbzEchoServer [-deflate] [-ip ADDRESS] PORT
//
// -deflate accepts the permessage-deflate and deflate-frame extensions; -ip
// chooses the address to listen on (127.0.0.1 by default). PORT 0 lets the
// system choose. Prints "listening on ADDRESS:PORT" once it accepts
// connections, and ends on SIGINT or SIGTERM.
#include "base/kbzBase_Helpers.h"
#include "kbzWebSocket.h"

#include <csignal>
#include <cstdio>
#include <cstring>
#include <pthread.h>
#include <string>

using namespace kbz;

namespace
{

int Usage()
{
    std::fprintf(stderr, "usage: kbzEchoServer [-deflate] [-ip ADDRESS] PORT\n");
    return 2;
}

} // namespace

int main(int argc, char** argv)
{
    bool deflate = false;
    std::string ip = "127.0.0.1";
    std::string port;
    for (int i = 1; i < argc; ++i)
    {
        const std::string arg = argv[i];
        if (arg == "-deflate")
        {
            deflate = true;
        }
        else if (arg == "-ip" && i + 1 < argc)
        {
            ip = argv[++i];
        }
        else if (port.empty() && !arg.empty() && arg[0] != '-')
        {
            port = arg;
        }
        else
        {
            return Usage();
        }
    }
    if (port.empty())
    {
        return Usage();
    }

    // The signals are taken by sigwait below: every thread the server starts
    // inherits this mask, so none of them is interrupted by them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    TkbzWebSocketHTTPServer server;
    try
    {
        server.Options().ValidateUTF8 = true;
        server.Extensions().PerMessage_Deflate().SetEnabled(deflate);
        server.Extensions().DeflateFrame().SetEnabled(deflate);
        const int portNumber = kbzStrToInt(port);
        server.SetPort(portNumber);
        const TwsIPVersion version =
            ip.find(':') != std::string::npos ? TwsIPVersion::ipV6 : TwsIPVersion::ipV4;
        server.Bindings().push_back({ip, static_cast<std::uint16_t>(portNumber), version});

        // Events run on each connection's own thread, which also answers.
        server.OnMessage = [](const TkbzWSConnectionPtr& c, const std::string& text) {
            c->WriteData(text);
        };
        server.OnBinary = [](const TkbzWSConnectionPtr& c, TkbzMemoryStream& data) {
            c->WriteData(data);
        };
        server.SetActive(true);
    }
    catch (const std::exception& e)
    {
        std::fprintf(stderr, "%s: %s\n", kbzExceptionClassName(e).c_str(), e.what());
        return 1;
    }
    std::printf("listening on %s:%d\n", ip.c_str(), server.GetBoundPort());
    std::fflush(stdout);

    int signal = 0;
    sigwait(&stopSignals, &signal);
    server.SetActive(false);
    return 0;
}
