// The base of the token sources that ask an authorization server: its endpoints and scope, and
// the small local HTTP server that receives the browser's redirect after the user signed in.
#pragma once

#include "auth/kbzHTTP_Classes.h"
#include "client/kbzHTTP_Classes_Client.h"
#include "transport/kbzHTTP_Message.h"
#include "transport/kbzSocket_Options.h"

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

namespace kbz
{

// The authorization server's endpoints and the scopes asked for.
class TkbzHTTPOAuth_AuthorizationServer : public TkbzPersistent
{
public:
    KBZ_PERSISTENT_CLASS(TkbzHTTPOAuth_AuthorizationServer)
    KBZ_PERSISTENT_ASSIGN(TkbzHTTPOAuth_AuthorizationServer, TkbzPersistent)

    // The scope as sent: the lines, each without its blanks, joined with one blank (empty lines
    // left out).
    std::string GetScopeText() const;

    std::string AuthURL;
    std::string TokenURL;
    // One scope per line.
    TkbzDelimitedStringList Scope;
};

class TkbzHTTPOAuthSSL_Options : public TkbzWSSSL_Options
{
public:
    KBZ_PERSISTENT_CLASS(TkbzHTTPOAuthSSL_Options)
};

class TkbzHTTPOAuthLogFile : public TkbzTCPLogFile
{
public:
    KBZ_PERSISTENT_CLASS(TkbzHTTPOAuthLogFile)
};

// Where the local server listens.
class TkbzHTTPOAuth_LocalServerOptions : public TkbzPersistent
{
public:
    KBZ_PERSISTENT_CLASS(TkbzHTTPOAuth_LocalServerOptions)
    // Copies IP, RedirectURL, Port, SSL and the contents of SSLOptions and LogOptions.
    void Assign(const TkbzPersistent& src) override;
    void SetSSLOptions(const TkbzHTTPOAuthSSL_Options& value) { SSLOptions.Assign(value); }

    // RedirectURL when it is set; otherwise "http://" (or "https://" with SSL) + IP + ":" +
    // Port. boundPort stands for a Port of 0 (the port the system chose).
    std::string GetRedirectURL(int boundPort = 0) const;

    std::string IP = "127.0.0.1";
    // 0: the system chooses (the default redirect URL then names the chosen port).
    std::int32_t Port = 8080;
    std::string RedirectURL;
    bool SSL = false;
    // Certificate files; with SSL the server listens on SSLOptions.Port, or on Port when that
    // is 0.
    TkbzHTTPOAuthSSL_Options SSLOptions;
    // Recorded for the local server's traffic log.
    TkbzHTTPOAuthLogFile LogOptions;
};

// Opens the URL in the user's web browser (xdg-open, started without a shell); false when it
// cannot be started.
bool kbzOpenWebBrowser(const std::string& url);

class TkbzHTTPComponentClient_OAuth : public TkbzHTTPComponentClientAuthToken_Base
{
public:
    TkbzHTTPComponentClient_OAuth();
    ~TkbzHTTPComponentClient_OAuth() override;

    TkbzHTTPOAuth_AuthorizationServer& AuthorizationServerOptions() noexcept
    {
        return FAuthorizationServerOptions;
    }
    void SetAuthorizationServerOptions(const TkbzHTTPOAuth_AuthorizationServer& value)
    {
        FAuthorizationServerOptions.Assign(value);
    }
    TkbzHTTPOAuth_LocalServerOptions& LocalServerOptions() noexcept { return FLocalServerOptions; }
    void SetLocalServerOptions(const TkbzHTTPOAuth_LocalServerOptions& value)
    {
        FLocalServerOptions.Assign(value);
    }

    // Stops the local server. It returns at once: the server stops on a thread of its own, so
    // this may be called from any thread, also from the component's own events.
    void Stop() override;

    // The redirect URL sent to the authorization server.
    std::string GetRedirectURL() const;
    // Whether the local server listens, and on which port (0 when it does not).
    bool GetLocalServerActive() const;
    int GetLocalServerPort() const;

    // Opens the authorization page; none: kbzOpenWebBrowser. Returns false when it failed.
    std::function<bool(const std::string& url)> BrowserOpener;

protected:
    // Starts the local server unless it listens already; raises when it cannot listen.
    void StartLocalServer();
    // Stops the local server on a thread of its own (a Start that comes first keeps it).
    void StopLocalServer();
    bool OpenBrowser(const std::string& url);
    // A request that reached the local server (on its connection thread): fill the answer, and
    // set stopServer to stop the server once the answer is written.
    virtual void DoRedirectRequest(const TkbzHTTPHead& head, TkbzHTTPAnswer& answer,
                                   bool& stopServer) = 0;
    // The local server and its threads are gone (call first from the most derived destructor,
    // so that no redirect runs into a half-destroyed component).
    void ShutdownLocalServer() noexcept;

private:
    class TLocalServer;
    friend class TLocalServer;

    TkbzHTTPOAuth_AuthorizationServer FAuthorizationServerOptions;
    TkbzHTTPOAuth_LocalServerOptions FLocalServerOptions;

    // The server, its stops in progress, and the count of Start/Stop calls that a pending stop
    // compares with: a stop asked for before the latest Start does nothing.
    mutable std::mutex FServerLock;
    std::condition_variable FServerIdle;
    std::uint64_t FServerGeneration = 0;
    bool FStopping = false;
    int FStopThreads = 0;
    int FBoundPort = 0;
    std::unique_ptr<TLocalServer> FHTTPServer;
};

} // namespace kbz
