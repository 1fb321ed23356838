#include "auth/kbzHTTP_OAuth_Client.h"

#include "base/kbzBase_Helpers.h"
#include "server/kbzWebSocket_Server.h"

#include <spawn.h>
#include <sys/wait.h>
#include <thread>

extern char** environ;

namespace kbz
{

// ---- Options ----

std::string TkbzHTTPOAuth_AuthorizationServer::GetScopeText() const
{
    std::string text;
    for (const std::string& line : Scope)
    {
        const std::string scope = kbzTrim(line);
        if (!scope.empty())
        {
            text += text.empty() ? scope : " " + scope;
        }
    }
    return text;
}

void TkbzHTTPOAuth_LocalServerOptions::Assign(const TkbzPersistent& src)
{
    if (const auto* s = dynamic_cast<const TkbzHTTPOAuth_LocalServerOptions*>(&src))
    {
        IP = s->IP;
        RedirectURL = s->RedirectURL;
        Port = s->Port;
        SSL = s->SSL;
        SSLOptions.Assign(s->SSLOptions);
        LogOptions = s->LogOptions;
        return;
    }
    TkbzPersistent::Assign(src);
}

std::string TkbzHTTPOAuth_LocalServerOptions::GetRedirectURL(int boundPort) const
{
    if (!RedirectURL.empty())
    {
        return RedirectURL;
    }
    const int port = Port == 0 && boundPort > 0 ? boundPort : Port;
    const std::string host = IP.find(':') != std::string::npos ? "[" + IP + "]" : IP;
    return std::string(SSL ? "https://" : "http://") + host + ":" + std::to_string(port);
}

// ---- The browser ----

bool kbzOpenWebBrowser(const std::string& url)
{
    std::string program = "xdg-open";
    std::string argument = url;
    char* argv[] = {program.data(), argument.data(), nullptr};
    pid_t pid = 0;
    if (posix_spawnp(&pid, "xdg-open", nullptr, nullptr, argv, environ) != 0)
    {
        return false;
    }
    // The opener may live as long as the browser it starts; it is reaped when it ends.
    try
    {
        std::thread([pid] {
            int status = 0;
            while (waitpid(pid, &status, 0) < 0 && errno == EINTR)
            {}
        }).detach();
    }
    catch (const std::exception&)
    {
        // Without a reaper the finished opener stays a zombie; the browser still opens.
    }
    return true;
}

// ---- The local server ----

namespace
{
// The component whose local server runs the request on this thread.
thread_local const void* tlsRedirectOwner = nullptr;
} // namespace

class TkbzHTTPComponentClient_OAuth::TLocalServer : public TkbzWSHTTPServer
{
public:
    explicit TLocalServer(TkbzHTTPComponentClient_OAuth& owner) : FOwner(owner) {}
    ~TLocalServer() override
    {
        SetDestroying();
        JoinServerThreads();
    }

protected:
    bool DoExecuteHTTP(const TkbzWSConnectionServerPtr& connection) override
    {
        TkbzIdTCPConnection* tcp = connection->TCPConnection();
        const TkbzHTTPHead* head = connection->RequestHead();
        if (!tcp || !head)
        {
            return false;
        }
        TkbzHTTPAnswer answer;
        bool stop = false;
        tlsRedirectOwner = &FOwner;
        try
        {
            FOwner.DoRedirectRequest(*head, answer, stop);
        }
        catch (const std::exception& e)
        {
            answer = TkbzHTTPAnswer{};
            answer.Status = 500;
            answer.Headers.Add("Content-Type", "text/plain; charset=utf-8");
            answer.Body = e.what();
        }
        tlsRedirectOwner = nullptr;
        if (!answer.Headers.Has("Connection"))
        {
            answer.Headers.Add("Connection", "close");
        }
        if (!answer.Headers.Has("Server"))
        {
            answer.Headers.Add("Server", kbzServerSoftware);
        }
        answer.HeadOnly = head->Method == "HEAD";
        try
        {
            const std::string bytes = kbzWriteHTTPAnswer(answer);
            tcp->Write(bytes);
            connection->AddSendBytes(static_cast<std::int64_t>(bytes.size()));
        }
        catch (const std::exception&)
        {
            // The browser went away; what the answer said happened anyway.
        }
        if (stop)
        {
            FOwner.StopLocalServer();
        }
        return false;
    }

private:
    TkbzHTTPComponentClient_OAuth& FOwner;
};

TkbzHTTPComponentClient_OAuth::TkbzHTTPComponentClient_OAuth() = default;

TkbzHTTPComponentClient_OAuth::~TkbzHTTPComponentClient_OAuth()
{
    SetDestroying();
    ShutdownLocalServer();
}

void TkbzHTTPComponentClient_OAuth::ShutdownLocalServer() noexcept
{
    std::unique_ptr<TLocalServer> server;
    {
        std::unique_lock lock(FServerLock);
        ++FServerGeneration;
        FServerIdle.wait(lock, [this] { return FStopThreads == 0; });
        server = std::move(FHTTPServer);
        FBoundPort = 0;
    }
    // Deactivates and joins every connection thread.
    server.reset();
}

void TkbzHTTPComponentClient_OAuth::StartLocalServer()
{
    std::unique_lock lock(FServerLock);
    ++FServerGeneration;
    if (FStopping)
    {
        if (tlsRedirectOwner == this)
        {
            // The stop in progress waits for this very thread.
            throw Exception("The local server is stopping.");
        }
        FServerIdle.wait(lock, [this] { return !FStopping; });
    }
    if (!FHTTPServer)
    {
        FHTTPServer = std::make_unique<TLocalServer>(*this);
    }
    TLocalServer& server = *FHTTPServer;
    server.LogFile().Enabled = FLocalServerOptions.LogOptions.Enabled;
    server.LogFile().FileName = FLocalServerOptions.LogOptions.FileName;
    if (server.GetActive())
    {
        return;
    }
    const TkbzHTTPOAuth_LocalServerOptions& o = FLocalServerOptions;
    server.SetPort(o.Port);
    server.SSL = o.SSL;
    server.SSLOptions().Assign(o.SSLOptions);
    // With TLS and no port of its own, the server listens where the redirect URL points.
    const int port = o.SSL && o.SSLOptions.Port != 0 ? o.SSLOptions.Port : o.Port;
    server.SSLOptions().Port = o.SSL ? port : 0;
    server.Bindings().clear();
    TkbzListenBinding binding;
    binding.IP = o.IP;
    binding.Port = static_cast<std::uint16_t>(port);
    binding.IPVersion =
        o.IP.find(':') != std::string::npos ? TwsIPVersion::ipV6 : TwsIPVersion::ipV4;
    server.Bindings().push_back(binding);
    try
    {
        server.SetActive(true);
    }
    catch (...)
    {
        server.Bindings().clear();
        throw;
    }
    FBoundPort = server.GetBoundPort();
    if (o.SSL && port == 0)
    {
        // The TLS port is the one the system chose.
        server.SSLOptions().Port = FBoundPort;
    }
}

void TkbzHTTPComponentClient_OAuth::StopLocalServer()
{
    std::uint64_t generation = 0;
    {
        std::lock_guard lock(FServerLock);
        if (!FHTTPServer || IsDestroying())
        {
            return;
        }
        generation = FServerGeneration;
        ++FStopThreads;
    }
    auto work = [this, generation] {
        TLocalServer* server = nullptr;
        {
            std::lock_guard lock(FServerLock);
            if (generation == FServerGeneration && FHTTPServer && !FStopping)
            {
                FStopping = true;
                server = FHTTPServer.get();
            }
        }
        if (server)
        {
            try
            {
                server->SetActive(false);
            }
            catch (...)
            {}
            server->Bindings().clear();
        }
        std::lock_guard lock(FServerLock);
        if (server)
        {
            FStopping = false;
            FBoundPort = 0;
        }
        --FStopThreads;
        // Under the lock: the destructor waiting for the count cannot free the condition first.
        FServerIdle.notify_all();
    };
    try
    {
        std::thread(work).detach();
    }
    catch (const std::exception&)
    {
        std::lock_guard lock(FServerLock);
        --FStopThreads;
        FServerIdle.notify_all();
    }
}

void TkbzHTTPComponentClient_OAuth::Stop()
{
    StopLocalServer();
}

std::string TkbzHTTPComponentClient_OAuth::GetRedirectURL() const
{
    int bound = 0;
    {
        std::lock_guard lock(FServerLock);
        bound = FBoundPort;
    }
    return FLocalServerOptions.GetRedirectURL(bound);
}

bool TkbzHTTPComponentClient_OAuth::GetLocalServerActive() const
{
    std::lock_guard lock(FServerLock);
    return FHTTPServer && FHTTPServer->GetActive() && !FStopping;
}

int TkbzHTTPComponentClient_OAuth::GetLocalServerPort() const
{
    std::lock_guard lock(FServerLock);
    return FHTTPServer && FHTTPServer->GetActive() ? FHTTPServer->GetBoundPort() : 0;
}

bool TkbzHTTPComponentClient_OAuth::OpenBrowser(const std::string& url)
{
    if (BrowserOpener)
    {
        return BrowserOpener(url);
    }
    return kbzOpenWebBrowser(url);
}

} // namespace kbz
