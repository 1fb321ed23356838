// The WebSocket and HTTP server: the server component over the TCP listener.
// Plain HTTP requests get a short default answer.
#pragma once

#include "server/kbzWebSocket_Server_Base.h"
#include "transport/kbzSSL_Handler.h"
#include "transport/kbzTCP_Server.h"

#include <memory>
#include <mutex>
#include <vector>

namespace kbz
{

class TkbzWSHTTPServer : public TkbzWSServer_Indy_Base
{
public:
    TkbzWSHTTPServer();
    ~TkbzWSHTTPServer() override;

    // Listening. Setting it true binds every binding (raising when one cannot
    // be bound, e.g. the address is in use or not local); false closes every
    // connection and joins its thread. Not from one of the server's own
    // connection threads: use Stop or ReStart there.
    bool GetActive() const override;
    void SetActive(bool value) override;

    // Default port, also of the bindings that name none; 0 lets the system choose.
    int GetPort() const noexcept { return FPort; }
    void SetPort(int value);
    // Listening addresses; empty means every IPv4 and IPv6 address on Port.
    std::vector<TkbzListenBinding>& Bindings() { return GetHTTPServer().Bindings; }
    // The addresses actually listened on, and the first one's port (the one
    // the system chose when Port is 0).
    std::vector<TkbzListenBinding> GetBoundBindings() const;
    int GetBoundPort() const;
    // Over it a new connection is closed at once, without events. 0: as many
    // as the descriptor limit allows (the soft limit is raised to the hard one
    // on activation), less a reserve for files and listeners.
    int MaxConnections = 0;
    bool UseNagle = true;
    // TLS on the listener, with the certificate files of SSLOptions; connections
    // of a binding whose port is not SSLOptions.Port stay plain when that is set.
    bool SSL = false;
    TkbzWSSSL_Options& SSLOptions() noexcept { return FSSLOptions; }
    // HTTP/2 is carried as options only (Enabled always reads False).
    TkbzWSHTTP2Server_Options& HTTP2Options() noexcept { return FHTTP2Options; }

    // ---- TLS handler hooks. Every activation with SSL makes its handler (so
    // it follows SSLOptions as they are then; one without SSL releases it):
    // OnSSLGetHandler may supply it, else a TkbzSSLHandlerOpenSSL is configured
    // from SSLOptions (the key's password asked from SSLOptions.Password);
    // OnSSLAfterCreateHandler sees it, then the certificate, key and root file
    // names of SSLOptions are copied into it. The hooks run on the activating thread.
    TkbzSSLGetHandlerEvent<TkbzWSHTTPServer> OnSSLGetHandler;
    TkbzSSLAfterCreateHandlerEvent<TkbzWSHTTPServer> OnSSLAfterCreateHandler;
    // The application protocol for a TLS client's offer (in its order): the
    // handler sets chosen (empty: none). Runs on the connection's thread
    // during its handshake.
    TkbzEvent<TkbzWSHTTPServer&, const std::vector<std::string>&, std::string&> OnSSLALPNSelect;
    // The handler in use (none without SSL).
    TkbzSSLHandlerPtr SSLHandler() const;
    // The choice of OnSSLALPNSelect for an offer ("h2" only with HTTP/2, never).
    std::string DoALPNSelect(const std::vector<std::string>& offered);

protected:
    // Ends what the destructor ends (connections, timers, threads). The published class calls
    // it first, so that no thread calls into an object whose derived parts are already gone.
    // A second call finds nothing left to do.
    void StopForDestruction() noexcept;
    // A "404 Not Found" answer with a short body.
    void DoExecuteHTTP(const TkbzWSConnectionServerPtr& connection) override;

private:
    TkbzIdTCPServer& GetHTTPServer();
    const TkbzIdTCPServer* HTTPServer() const;
    // The listener's engine from ThreadPool and IOHandlerOptions.
    TkbzServerEngineOptions EngineOptions();
    // The handler of an activation with SSL, through the hooks.
    TkbzSSLHandlerPtr MakeSSLHandler();

    int FPort = 80;
    TkbzWSSSL_Options FSSLOptions;
    TkbzWSHTTP2Server_Options FHTTP2Options;
    mutable std::mutex FSSLLock; // the handler pointer
    TkbzSSLHandlerPtr FSSLHandler;
    std::recursive_mutex FActiveLock;
    mutable std::mutex FServerLock;
    std::unique_ptr<TkbzIdTCPServer> FHTTPServer;
};

} // namespace kbz
