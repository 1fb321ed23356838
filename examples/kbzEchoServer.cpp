// A WebSocket echo server: every text and binary message comes back as it
// came, as the same type, except a text that starts with "#kbz_broadcast:"
// (what the console's "broadcast" command sends): the rest of it goes to every
// client, the sender included.
//
//   kbzEchoServer [-deflate] [-ip ADDRESS] [-io threads|pool|epoll] [-cert FILE [-key FILE]]
//                 [-log FILE] [-lb HOST:PORT] [-chat] [-root DIR] PORT
//
// -deflate accepts the permessage-deflate and deflate-frame extensions; -ip
// chooses the address to listen on (127.0.0.1 by default). PORT 0 lets the
// system choose. Prints "listening on ADDRESS:PORT" once it accepts
// connections, and ends on SIGINT or SIGTERM.
//
// -io picks how connections are run: a thread each (threads, the default),
// threads of a pool that are reused (pool), or epoll event loops (epoll).
//
// -cert makes it a TLS server (wss:// and https://) with the PEM certificate
// chain in FILE, and -key the PEM key when it is not in that file.
//
// -log writes the traffic of every connection to FILE, with what clients send
// decoded (unmasked, decompressed).
//
// -lb links the server to the load balancer at HOST:PORT (kbzLoadBalancer):
// it announces its bindings there, reports its connections, and reconnects
// every second while the link is down. -chat makes it a chat server: each
// client first gets "#kbz_id:<its identifier>", and each text it sends is
// broadcast to every client (through the balancer, so to the clients of every
// linked server, when linked) instead of echoed; a text
// "#kbz_to:<identifier>:<text>" goes to that one client only, wherever it is.
//
// -root serves the files of DIR over HTTP beside the echo (GET and HEAD, types by file
// extension, keep-alive; a folder's index.html for the folder; 404 for what DIR does not
// hold, or for a path that tries to leave it), with the built-in browser files and their
// test page.
#include "base/kbzBase_Helpers.h"
#include "kbzWebSocket.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <string>
#include <string_view>
#include <unistd.h>

using namespace kbz;

namespace
{

int StopPipe[2] = {-1, -1};

void OnStopSignal(int)
{
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = ::write(StopPipe[1], &byte, 1);
}

int Usage()
{
    std::fprintf(stderr, "usage: kbzEchoServer [-deflate] [-ip ADDRESS] [-io threads|pool|epoll] "
                         "[-cert FILE [-key FILE]] [-log FILE] [-lb HOST:PORT] [-chat] [-root DIR] "
                         "PORT\n");
    return 2;
}

} // namespace

int main(int argc, char** argv)
{
    bool deflate = false;
    bool chat = false;
    std::string balancer;
    std::string cert;
    std::string key;
    std::string logFile;
    std::string root;
    std::string ip = "127.0.0.1";
    std::string io = "threads";
    std::string port;
    for (int i = 1; i < argc; ++i)
    {
        const std::string arg = argv[i];
        if (arg == "-deflate")
        {
            deflate = true;
        }
        else if (arg == "-lb" && i + 1 < argc)
        {
            balancer = argv[++i];
        }
        else if (arg == "-cert" && i + 1 < argc)
        {
            cert = argv[++i];
        }
        else if (arg == "-key" && i + 1 < argc)
        {
            key = argv[++i];
        }
        else if (arg == "-log" && i + 1 < argc)
        {
            logFile = argv[++i];
        }
        else if (arg == "-root" && i + 1 < argc)
        {
            root = argv[++i];
        }
        else if (arg == "-chat")
        {
            chat = true;
        }
        else if (arg == "-ip" && i + 1 < argc)
        {
            ip = argv[++i];
        }
        else if (arg == "-io" && i + 1 < argc)
        {
            io = argv[++i];
            if (io != "threads" && io != "pool" && io != "epoll")
            {
                return Usage();
            }
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
    if (port.empty() || (!key.empty() && cert.empty()))
    {
        return Usage();
    }
    if (std::error_code ec; !root.empty() && !std::filesystem::is_directory(root, ec))
    {
        std::fprintf(stderr, "kbzEchoServer: %s is not a folder\n", root.c_str());
        return 2;
    }

    // SIGINT and SIGTERM only wake the main thread (through a pipe), whichever
    // thread they arrive on; it then stops the server cleanly.
    if (::pipe(StopPipe) != 0)
    {
        return 1;
    }
    struct sigaction stop = {};
    stop.sa_handler = OnStopSignal;
    sigemptyset(&stop.sa_mask);
    sigaction(SIGINT, &stop, nullptr);
    sigaction(SIGTERM, &stop, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    TkbzWebSocketHTTPServer server;
    try
    {
        server.Options().ValidateUTF8 = true;
        server.ThreadPool = io == "pool";
        if (io == "epoll")
        {
            server.IOHandlerOptions().IOHandlerType = TwsIOHandler::iohEPOLL;
        }
        server.Extensions().PerMessage_Deflate().SetEnabled(deflate);
        server.Extensions().DeflateFrame().SetEnabled(deflate);
        const int portNumber = kbzStrToInt(port);
        server.SetPort(portNumber);
        const TwsIPVersion version =
            ip.find(':') != std::string::npos ? TwsIPVersion::ipV6 : TwsIPVersion::ipV4;
        server.Bindings().push_back({ip, static_cast<std::uint16_t>(portNumber), version});
        server.LogFile().Enabled = !logFile.empty();
        server.LogFile().FileName = logFile;
        server.OnError = [](const TkbzWSConnectionPtr&, const std::string& text) {
            std::fprintf(stderr, "kbzEchoServer: %s\n", text.c_str());
        };
        if (!root.empty())
        {
            server.DocumentRoot = root;
            server.Charset = "utf-8";
            server.KeepAlive = true;
            server.Options().HTMLFiles = true;
            // What the folder does not hold is not there.
            server.OnCommandGet = [](const TkbzWSConnectionServerPtr&, TkbzWSHTTPRequestInfo&,
                                     TkbzWSHTTPResponseInfo& response) {
                response.ResponseNo = 404;
            };
        }
        if (!cert.empty())
        {
            server.SSL = true;
            server.SSLOptions().CertFile = cert;
            server.SSLOptions().KeyFile = key;
        }

        // Events run on each connection's own thread, which also answers.
        if (!balancer.empty())
        {
            const std::size_t colon = balancer.rfind(':');
            if (colon == std::string::npos)
            {
                return Usage();
            }
            TkbzWSLoadBalancerServer_Options& lb = server.LoadBalancer();
            lb.Enabled = true;
            lb.Host = balancer.substr(0, colon);
            lb.Port = kbzStrToInt(balancer.substr(colon + 1));
            lb.AutoRestart = 1;
            lb.AutoRegisterBindings = true;
            lb.Guid = kbzNewGuid();
            server.OnLoadBalancerError = [](TkbzWSServer_Indy_Base&, const std::string& text) {
                std::fprintf(stderr, "load balancer: %s\n", text.c_str());
            };
        }
        if (chat)
        {
            server.OnConnect = [](const TkbzWSConnectionPtr& c) {
                c->WriteData("#kbz_id:" + c->GetGuid());
            };
        }
        server.OnMessage = [&server, chat](const TkbzWSConnectionPtr& c, const std::string& text) {
            if (chat)
            {
                constexpr std::string_view to = "#kbz_to:";
                const std::size_t colon = text.find(':', to.size());
                if (text.compare(0, to.size(), to) == 0 && colon != std::string::npos)
                {
                    server.WriteData(text.substr(to.size(), colon - to.size()),
                                     text.substr(colon + 1));
                }
                else
                {
                    server.Broadcast(text);
                }
                return;
            }
            constexpr std::string_view prefix = "#kbz_broadcast:";
            if (text.compare(0, prefix.size(), prefix) != 0)
            {
                c->WriteData(text);
                return;
            }
            const std::string line = text.substr(prefix.size());
            // The sender's copy is written like an echo, so it keeps its place
            // among the sender's echoes; the others get theirs queued.
            c->WriteData(line);
            server.Broadcast(line, {}, c->Protocol, c->GetGuid());
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

    char byte = 0;
    while (::read(StopPipe[0], &byte, 1) < 0 && errno == EINTR)
    {}
    server.SetActive(false);
    return 0;
}
