// A small thread-per-connection TCP listener: bindings (all addresses by
// default, IPv4 and IPv6 on separate sockets), one accepting thread per
// binding, one thread per accepted connection running the callbacks, a
// lock-protected list of per-connection contexts, and a stop that shuts every
// connection down and joins every thread.
#pragma once

#include "base/kbzBase_Events.h"
#include "base/kbzWebSocket_Classes_SyncObjs.h"
#include "base/kbzWebSocket_Types.h"
#include "transport/kbzSocket_Classes.h"

#include <atomic>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kbz
{

// One listening address. An empty IP means every address of that IP version;
// port 0 means the server's DefaultPort (and 0 there lets the system choose).
struct TkbzListenBinding
{
    std::string IP;
    std::uint16_t Port = 0;
    TwsIPVersion IPVersion = TwsIPVersion::ipV4;
};

class TkbzIdTCPServer;

// One accepted connection: its buffered TCP connection, the binding that
// accepted it, and a data slot for the layer above.
class TkbzIdContext
{
public:
    TkbzIdContext(TkbzIdTCPServer& server, std::shared_ptr<TkbzIdTCPConnection> connection,
                  TkbzListenBinding binding);
    TkbzIdContext(const TkbzIdContext&) = delete;
    TkbzIdContext& operator=(const TkbzIdContext&) = delete;
    ~TkbzIdContext();

    TkbzIdTCPServer& Server() const noexcept { return FServer; }
    TkbzIdTCPConnection& Connection() const noexcept { return *FConnection; }
    const std::shared_ptr<TkbzIdTCPConnection>& GetConnection() const noexcept
    {
        return FConnection;
    }
    // The listening binding (with its bound port) that accepted the connection.
    const TkbzListenBinding& Binding() const noexcept { return FBinding; }

    // The data slot; empty until the layer above fills it.
    std::shared_ptr<void> GetData() const;
    void SetData(std::shared_ptr<void> data);
    template <class T> std::shared_ptr<T> DataAs() const
    {
        return std::static_pointer_cast<T>(GetData());
    }
    bool HasData() const { return GetData() != nullptr; }

    // The listener is stopping this connection.
    bool Aborted() const noexcept { return FAborted.load(); }

private:
    friend class TkbzIdTCPServer;
    // Wakes every wait of the connection's thread, also inside a TLS handshake.
    void Abort() noexcept;

    TkbzIdTCPServer& FServer;
    std::shared_ptr<TkbzIdTCPConnection> FConnection;
    TkbzListenBinding FBinding;
    mutable std::mutex FDataLock;
    std::shared_ptr<void> FData;
    // A second descriptor of the accepted socket: shutting it down reaches the
    // socket whichever channel (plain or TLS) owns the first one at the time.
    TkbzSocket FAbortSocket;
    std::atomic<bool> FAborted{false};
    std::thread FThread; // joined by the server, never by the thread itself
};

using TkbzIdContextPtr = std::shared_ptr<TkbzIdContext>;
using TkbzIdContextEvent = TkbzEvent<TkbzIdContext&>;
using TkbzIdContextExceptionEvent = TkbzEvent<TkbzIdContext&, const std::exception&>;
using TkbzIdServerEvent = TkbzEvent<TkbzIdTCPServer&>;
// Wraps an accepted plain channel, typically in a TLS session (handshake
// included); the binding tells which listening port accepted it. May return
// the plain channel unchanged; raises when the handshake fails.
using TkbzServerTLSHandlerFactory = std::function<std::unique_ptr<TkbzIOHandler>(
    std::unique_ptr<TkbzSocketIOHandler> plain, const TkbzListenBinding& binding)>;

class TkbzIdTCPServer
{
public:
    TkbzIdTCPServer();
    TkbzIdTCPServer(const TkbzIdTCPServer&) = delete;
    TkbzIdTCPServer& operator=(const TkbzIdTCPServer&) = delete;
    // Stops the listener (never call it from one of the listener's threads).
    virtual ~TkbzIdTCPServer();

    // ---- Settings, read when the listener becomes active.
    // Empty: every IPv4 address and, where the system has IPv6, every IPv6
    // address, both on DefaultPort (port 0: one port chosen for both).
    std::vector<TkbzListenBinding> Bindings;
    std::uint16_t DefaultPort = 0;
    int MaxConnections = 0; // 0: no limit; over it a new connection is closed at once, silently
    bool UseNagle = true;
    TkbzServerTLSHandlerFactory TLSHandlerFactory;

    // ---- Events, set before activation. Per connection, on its own thread:
    // OnConnect once, OnExecute again and again while the connection is open
    // (it should wait for input, e.g. CheckForDataOnSource(ms)), then
    // OnDisconnect once, also after a failure. OnException gets what a
    // callback raised, except the silent family and errors caused by a stop.
    TkbzIdContextEvent OnConnect;
    TkbzIdContextEvent OnExecute;
    TkbzIdContextEvent OnDisconnect;
    TkbzIdContextExceptionEvent OnException;
    // On the activating thread: after binding, before accepting; and after the stop.
    TkbzIdServerEvent OnStartup;
    TkbzIdServerEvent OnShutdown;

    bool GetActive() const noexcept { return FActive.load(); }
    // true: binds every binding (raising EIdCouldNotBindSocket and binding
    // nothing when one fails) and starts accepting. false: stops accepting,
    // shuts every connection down and joins every thread; raises
    // EIdException when called from one of the listener's own threads.
    void SetActive(bool value);

    // The addresses actually listened on, with their bound ports.
    std::vector<TkbzListenBinding> GetBoundBindings() const;
    // The port of the first listening socket (0 while inactive).
    std::uint16_t GetBoundPort() const;

    // The contexts of the open connections. Callers that iterate hold the lock
    // from LockList to UnlockList and call no blocking code in between.
    std::vector<TkbzIdContextPtr>& LockList() noexcept { return FContexts.LockList(); }
    void UnlockList() noexcept { FContexts.UnlockList(); }
    std::size_t Count() const { return FContexts.Count(); }

private:
    struct Listener
    {
        TkbzSocket Socket;
        TkbzListenBinding Binding;
        std::thread Thread;
    };

    void Activate();
    void Deactivate();
    void AcceptLoop(Listener& listener) noexcept;
    void Accept(Listener& listener, TkbzSocket socket) noexcept;
    void RunConnection(const TkbzIdContextPtr& context) noexcept;
    void ReportException(TkbzIdContext& context, const std::exception& e) noexcept;
    // Joins the threads of connections that have ended.
    void ReapFinished() noexcept;

    std::mutex FActiveLock; // serialises activation changes
    std::atomic<bool> FActive{false};
    std::atomic<bool> FStopping{false};
    int FWake = -1; // eventfd: wakes the accepting threads at a stop
    mutable std::mutex FListenersLock;
    std::vector<std::unique_ptr<Listener>> FListeners;
    TkbzThreadList<TkbzIdContextPtr> FContexts;
    std::mutex FFinishedLock;
    std::vector<TkbzIdContextPtr> FFinished;
};

} // namespace kbz
