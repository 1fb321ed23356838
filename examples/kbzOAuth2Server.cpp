// A small OAuth 2.0 authorization server over TLS, with a WebSocket echo on the same port that
// accepts only the access tokens it issued, so that the whole authorization-code grant can be
// watched on one machine.
//
//   kbzOAuth2Server -cert FILE -key FILE [-ip ADDRESS] [-client ID:SECRET]
//                   [-user NAME:PASSWORD] [-redirect URL] PORT
//
// One application (client "demo", secret "demo-secret", redirect "http://127.0.0.1:8080" by
// default) and one user ("demo", password "demo"). The browser signs in on
// "/kbz/oauth2/auth?response_type=code&client_id=ID&state=..." and is sent back to the
// redirect URL with the code; the client exchanges it (and later its refresh token) at
// "/kbz/oauth2/token". A WebSocket upgrade, or a plain HTTP request, with
// "Authorization: Bearer TOKEN" gets through while the token is valid; every text and binary
// message comes back as it came. -ip chooses the address (127.0.0.1 by default); PORT 0 lets
// the system choose. Prints "listening on ADDRESS:PORT" once it accepts connections, a line
// for each sign-in, token and connection, and ends on SIGINT or SIGTERM.
#include "auth/kbzHTTP_OAuth2_Server.h"
#include "base/kbzBase_Helpers.h"
#include "kbzWebSocket.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <mutex>
#include <string>
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
    std::fprintf(stderr, "usage: kbzOAuth2Server -cert FILE -key FILE [-ip ADDRESS] "
                         "[-client ID:SECRET] [-user NAME:PASSWORD] [-redirect URL] PORT\n");
    return 2;
}

// "A:B" split at its first colon; false without one or with an empty first part.
bool SplitPair(const std::string& text, std::string& first, std::string& second)
{
    const std::size_t colon = text.find(':');
    if (colon == std::string::npos || colon == 0)
    {
        return false;
    }
    first = text.substr(0, colon);
    second = text.substr(colon + 1);
    return true;
}

// Lines come from several connection threads at once.
std::mutex PrintLock;

void Print(const std::string& line)
{
    std::lock_guard guard(PrintLock);
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

} // namespace

int main(int argc, char** argv)
{
    std::string cert;
    std::string key;
    std::string ip = "127.0.0.1";
    std::string client = "demo:demo-secret";
    std::string user = "demo:demo";
    std::string redirect = "http://127.0.0.1:8080";
    std::string port;
    for (int i = 1; i < argc; ++i)
    {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "-cert" && hasValue)
        {
            cert = argv[++i];
        }
        else if (arg == "-key" && hasValue)
        {
            key = argv[++i];
        }
        else if (arg == "-ip" && hasValue)
        {
            ip = argv[++i];
        }
        else if (arg == "-client" && hasValue)
        {
            client = argv[++i];
        }
        else if (arg == "-user" && hasValue)
        {
            user = argv[++i];
        }
        else if (arg == "-redirect" && hasValue)
        {
            redirect = argv[++i];
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
    std::string clientId, clientSecret, userName, password;
    if (port.empty() || cert.empty() || key.empty() || !SplitPair(client, clientId, clientSecret) ||
        !SplitPair(user, userName, password))
    {
        return Usage();
    }

    // SIGINT and SIGTERM only wake the main thread (through a pipe), whichever thread they
    // arrive on; it then stops the server cleanly.
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

    // The component outlives the server that refers to it.
    TkbzHTTPComponentServer_OAuth2 authority;
    TkbzWebSocketHTTPServer server;
    try
    {
        // The application's fields are set before the server starts: its connection threads
        // read them without a lock.
        std::string madeId, madeSecret;
        authority.RegisterApp("kbzOAuth2Server demo", redirect, madeId, madeSecret);
        const TkbzHTTPOAuthAppPtr app = authority.GetApp("kbzOAuth2Server demo");
        app->ClientId = clientId;
        app->ClientSecret = clientSecret;
        authority.OnOAuth2Authentication =
            [userName, password](const TkbzWSConnectionServerPtr&, const TkbzHTTPOAuth2RequestPtr&,
                                 const std::string& u, const std::string& p, bool& authenticated) {
                authenticated = u == userName && kbzSameSecret(p, password);
                Print((authenticated ? "signed in " : "sign-in refused for ") + u);
            };
        authority.OnOAuth2AfterAccessToken =
            [](TkbzHTTPComponentServer_OAuth2&, const TkbzWSConnectionServerPtr&,
               const TkbzHTTPOAuth2RequestPtr&, const std::string& response) {
                Print(response.find("\"access_token\"") != std::string::npos
                          ? "access token issued"
                          : "token request refused: " + response);
            };
        authority.OnOAuth2AfterRefreshToken =
            [](TkbzHTTPComponentServer_OAuth2&, const TkbzWSConnectionServerPtr&,
               const TkbzHTTPOAuth2RequestPtr&, const std::string& response) {
                Print(response.find("\"access_token\"") != std::string::npos
                          ? "access token refreshed"
                          : "refresh refused: " + response);
            };

        server.SSL = true;
        server.SSLOptions().CertFile = cert;
        server.SSLOptions().KeyFile = key;
        server.Authentication().Enabled = true;
        server.Authentication().OAuth.OAuth2 = &authority;
        const int portNumber = kbzStrToInt(port);
        server.SetPort(portNumber);
        const TwsIPVersion version =
            ip.find(':') != std::string::npos ? TwsIPVersion::ipV6 : TwsIPVersion::ipV4;
        server.Bindings().push_back({ip, static_cast<std::uint16_t>(portNumber), version});
        server.OnConnect = [](const TkbzWSConnectionPtr& c) { Print("connected " + c->GetGuid()); };
        server.OnError = [](const TkbzWSConnectionPtr&, const std::string& text) {
            Print("refused: " + text);
        };
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
    Print("listening on " + ip + ":" + std::to_string(server.GetBoundPort()));

    char byte = 0;
    while (::read(StopPipe[0], &byte, 1) < 0 && errno == EINTR)
    {}
    server.SetActive(false);
    return 0;
}
