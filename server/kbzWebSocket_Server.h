// The WebSocket and HTTP server: the server component over the TCP listener.
// Plain HTTP requests get a short default answer.
#pragma once

#include "server/kbzWebSocket_Server_Base.h"
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
    // 0: no limit; over it a new connection is closed at once, without events.
    int MaxConnections = 0;
    bool UseNagle = true;
    // TLS on the listener, with the certificate files of SSLOptions; connections
    // of a binding whose port is not SSLOptions.Port stay plain when that is set.
    bool SSL = false;
    TkbzWSSSL_Options& SSLOptions() noexcept { return FSSLOptions; }

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

    int FPort = 80;
    TkbzWSSSL_Options FSSLOptions;
    std::recursive_mutex FActiveLock;
    mutable std::mutex FServerLock;
    std::unique_ptr<TkbzIdTCPServer> FHTTPServer;
};

} // namespace kbz
