// A small TCP listener: bindings (all addresses by default, IPv4 and IPv6 on
// separate sockets), one accepting thread per binding, a lock-protected list of
// per-connection contexts, and a stop that shuts every connection down and
// joins every thread. Connections are run by one of three engines: a thread
// each, a pool of threads that run a connection's step whenever it has
// something to do, or epoll event loops that own non-blocking sockets
// (transport/kbzTCP_Epoll.h; the pool waits on such a loop too).
#pragma once

#include "base/kbzBase_Events.h"
#include "base/kbzWebSocket_Classes_SyncObjs.h"
#include "base/kbzWebSocket_Types.h"
#include "transport/kbzSocket_Classes.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
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

// How a listener runs its connections (read when it becomes active).
enum class TkbzServerEngine : std::uint8_t
{
    seThreads, // one thread per connection
    sePool,    // steps on pooled threads, idle connections hold none
    seEpoll    // event loops over non-blocking sockets
};

struct TkbzServerEngineOptions
{
    TkbzServerEngine Engine = TkbzServerEngine::seThreads;
    // sePool: one event loop waits for every connection and hands a step
    // (which may block) to a pooled thread when bytes, a wake or a deadline
    // come. Idle threads kept: PoolSize; more are made while every one is
    // busy, up to MaxThreads (0: no cap); over the cap steps wait for a
    // thread to come free.
    int PoolSize = 32;
    int MaxThreads = 0;
    // seEpoll: event loops (0: one per core) and workers that run the
    // connections' steps, so their event handlers (0: the loops run them).
    int EPOLLThreads = 0;
    int WorkOpThreads = 0;
};

namespace detail
{

class EpollEngine;
class EpollLoop;
struct EpollStepResult;

// A thread with a small stack, for the many connection threads of a server:
// what a connection thread runs (parsers, zlib, OpenSSL, event handlers) needs
// far less than the system's default of 8 MiB, and thousands of them would
// otherwise reserve gigabytes of address space.
class SmallStackThread
{
public:
    // Stack size of connection threads (more under the sanitizers, whose
    // frames are larger).
    static std::size_t StackSize() noexcept;

    SmallStackThread() = default;
    // Raises std::system_error when no thread can be made.
    explicit SmallStackThread(std::function<void()> body);
    SmallStackThread(SmallStackThread&& other) noexcept;
    SmallStackThread& operator=(SmallStackThread&& other) noexcept;
    SmallStackThread(const SmallStackThread&) = delete;
    SmallStackThread& operator=(const SmallStackThread&) = delete;
    ~SmallStackThread(); // joins (or detaches when it is the thread itself)

    bool joinable() const noexcept { return FJoinable; }
    // Whether the calling thread is this one.
    bool IsCurrent() const noexcept;
    void join() noexcept;
    void detach() noexcept;

private:
    unsigned long FHandle = 0; // pthread_t
    bool FJoinable = false;
};

} // namespace detail

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
    // The engine the connection runs on.
    TkbzServerEngine Engine() const noexcept { return FEngine; }

    // For the OnExecute handler: how long the listener may wait for bytes or a
    // wake before it calls OnExecute again (ms; negative: until bytes or a wake
    // come). Reset to negative before every call.
    void SetWaitLimit(int ms) noexcept { FWaitLimit = ms; }
    int WaitLimit() const noexcept { return FWaitLimit; }

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
    // socket whichever channel (plain or TLS) owns the first one at the time,
    // also while a TLS handler that waits is being made. The event loops' own
    // connections do without it: nothing there releases the plain channel,
    // so the accepted descriptor (FSocketFd) stays open as long as the context.
    TkbzSocket FAbortSocket;
    int FSocketFd = -1;
    std::atomic<bool> FAborted{false};
    std::atomic<bool> FHoldsPlace{false}; // counted in the listener's open places
    TkbzServerEngine FEngine = TkbzServerEngine::seThreads;
    bool FBlockingTLS = false;        // epoll: TLSHandlerFactory still has to run
    int FWaitLimit = -1;              // the thread running the connection only
    detail::SmallStackThread FThread; // joined by the server, never by the thread itself
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
// The same for engines that own non-blocking sockets: the channel to use, whose
// handshake the engine drives (TkbzIOHandler::ContinueHandshake), or the plain
// one itself; null, leaving plain alone, when only TLSHandlerFactory can do it.
using TkbzServerDeferredTLSFactory = std::function<std::unique_ptr<TkbzIOHandler>(
    std::unique_ptr<TkbzSocketIOHandler>& plain, const TkbzListenBinding& binding)>;

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
    // Over it a new connection is closed at once, silently. 0: what the
    // descriptor limit allows (see EffectiveMaxConnections). A connection's
    // place is free again when it is closed, before its OnDisconnect.
    int MaxConnections = 0;
    bool UseNagle = true;
    TkbzServerTLSHandlerFactory TLSHandlerFactory;
    // Used by the engines on event loops (epoll, pool) before
    // TLSHandlerFactory, with this time limit for the handshake (ms).
    TkbzServerDeferredTLSFactory DeferredTLSFactory;
    int TLSHandshakeTimeOut = 10000;
    TkbzServerEngineOptions EngineOptions;

    // ---- Events, set before activation. Per connection, on its own thread:
    // OnConnect once, OnExecute at once and then whenever bytes arrived, the
    // reader was woken (WakeReader) or the wait limit it left in the context
    // passed, while the connection is open; it works through the buffered input
    // and does not wait itself. When it used some bytes and others remain it is
    // called again before the listener waits. Then OnDisconnect once, also
    // after a failure. OnException gets what a callback raised, except the
    // silent family and errors caused by a stop.
    TkbzIdContextEvent OnConnect;
    TkbzIdContextEvent OnExecute;
    TkbzIdContextEvent OnDisconnect;
    TkbzIdContextExceptionEvent OnException;
    // On the activating thread: after binding, before accepting; and after the stop.
    TkbzIdServerEvent OnStartup;
    TkbzIdServerEvent OnShutdown;
    // On an accepting thread: accepting failed for want of resources (the
    // system's text, e.g. "Too many open files"); the waiting client was
    // refused and every open connection goes on. At most one a second.
    TkbzEvent<TkbzIdTCPServer&, const std::string&> OnListenError;

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
    // The connection limit in force while active: MaxConnections, or with 0
    // the descriptors left after a reserve for files and listeners, divided
    // by what one connection uses.
    int EffectiveMaxConnections() const noexcept { return FMaxConnections.load(); }

private:
    friend class detail::EpollEngine;
    friend class detail::EpollLoop;
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
    // One step of a connection on the epoll engine: at first the TLS set-up
    // that only TLSHandlerFactory can do, install (the engine's channel) and
    // OnConnect; then what is readable is read and OnExecute runs while it
    // uses bytes; at the end (or on failure) OnDisconnect. Never raises.
    detail::EpollStepResult EngineStep(const TkbzIdContextPtr& context, bool first,
                                       std::exception_ptr failure,
                                       const std::function<void()>& install) noexcept;
    // The end of every connection, on whichever thread runs it: the channel is
    // closed, the place given back, OnDisconnect raised, then Finished.
    void EndConnection(const TkbzIdContextPtr& context) noexcept;
    void FreePlace(TkbzIdContext& context) noexcept;
    // Leaves the list and hands a connection thread over for joining.
    void Finished(const TkbzIdContextPtr& context) noexcept;
    void ReportException(TkbzIdContext& context, const std::exception& e) noexcept;
    // Joins the threads of connections that have ended (thread engine).
    void ReapFinished() noexcept;
    // Out of descriptors: the reserve one is given up to accept and close the
    // waiting client, so that the listener does not spin on it.
    void RefuseForLackOfDescriptors(Listener& listener, int err) noexcept;

    std::mutex FActiveLock; // serialises activation changes
    std::atomic<bool> FActive{false};
    std::atomic<bool> FStopping{false};
    int FWake = -1;     // eventfd: wakes the accepting threads at a stop
    int FReapWake = -1; // eventfd: a connection thread ended and waits to be joined
    std::mutex FReserveLock;
    int FReserveFd = -1; // held back for refusing clients when descriptors run out
    std::uint64_t FLastListenError = 0;
    std::atomic<int> FMaxConnections{0};
    // Connections that count against it: taken at the accept, given back as
    // soon as a connection is closed, before its OnDisconnect.
    std::atomic<int> FOpenPlaces{0};
    mutable std::mutex FListenersLock;
    std::vector<std::unique_ptr<Listener>> FListeners;
    TkbzThreadList<TkbzIdContextPtr> FContexts;
    std::mutex FFinishedLock;
    std::vector<TkbzIdContextPtr> FFinished;
    TkbzServerEngineOptions FEngineOptions; // as activated

    std::unique_ptr<detail::EpollEngine> FEpoll;
};

} // namespace kbz
