#include "transport/kbzTCP_Server.h"

#include "base/kbzBase_Helpers.h"
#include "transport/kbzTCP_Epoll.h"

#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <system_error>
#include <unistd.h>
#include <utility>

namespace kbz
{

namespace
{

// The server whose thread is running here, so that a stop requested from one
// of its own threads is refused instead of waiting for itself.
thread_local const TkbzIdTCPServer* tlsServerThread = nullptr;

std::string ErrorText(int err)
{
    return "Socket Error # " + std::to_string(err) + ": " + std::system_category().message(err) +
           ".";
}

// Whether the engine gives each connection a thread that waits on it.
bool WaitsPerConnection(TkbzServerEngine engine)
{
    return engine == TkbzServerEngine::seThreads;
}

// Descriptors one connection holds: its socket and, where a thread waits on
// it, the second descriptor that aborts it and the eventfd that wakes its
// reader. On the event loops (the pool's too) only a step that blocks on a
// read makes the eventfd, and only a TLS handler that waits needs the second
// descriptor; the reserve covers those few.
int DescriptorsPerConnection(TkbzServerEngine engine)
{
    return WaitsPerConnection(engine) ? 3 : 1;
}

// The connections that fit in the descriptor limit, after a reserve for the
// listeners, files, pipes and whatever else the process opens.
int ConnectionsForDescriptors(int limit, TkbzServerEngine engine)
{
    const int reserve = std::max(64, limit / 20);
    return std::max(1, (limit - reserve) / DescriptorsPerConnection(engine));
}

void Signal(int fd) noexcept
{
    if (fd >= 0)
    {
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t w = ::write(fd, &one, sizeof(one));
    }
}

void Drain(int fd) noexcept
{
    std::uint64_t count = 0;
    [[maybe_unused]] const ssize_t r = ::read(fd, &count, sizeof(count));
}

// Hands the accepted plain channel (still the one installed) to the factory
// and installs what it returns; raises what the factory raises.
void WrapAcceptedChannel(TkbzIdContext& context, const TkbzServerTLSHandlerFactory& factory)
{
    TkbzIdTCPConnection& conn = context.Connection();
    std::unique_ptr<TkbzIOHandler> plain = conn.ReleaseIOHandler();
    std::unique_ptr<TkbzSocketIOHandler> socketHandler(
        static_cast<TkbzSocketIOHandler*>(plain.release()));
    conn.SetIOHandler(factory(std::move(socketHandler), context.Binding()));
}

std::string Describe(const TkbzListenBinding& b)
{
    const std::string ip =
        b.IP.empty() ? (b.IPVersion == TwsIPVersion::ipV6 ? "::" : "0.0.0.0") : b.IP;
    return (b.IPVersion == TwsIPVersion::ipV6 ? "[" + ip + "]" : ip) + ":" + std::to_string(b.Port);
}

// A listening socket for b, or an error number.
TkbzSocket Listen(TkbzListenBinding& b, int& err)
{
    const int family = b.IPVersion == TwsIPVersion::ipV6 ? AF_INET6 : AF_INET;
    sockaddr_storage addr{};
    socklen_t len = 0;
    if (family == AF_INET6)
    {
        auto* a6 = reinterpret_cast<sockaddr_in6*>(&addr);
        a6->sin6_family = AF_INET6;
        a6->sin6_port = htons(b.Port);
        a6->sin6_addr = in6addr_any;
        len = sizeof(sockaddr_in6);
        if (!b.IP.empty() && ::inet_pton(AF_INET6, b.IP.c_str(), &a6->sin6_addr) != 1)
        {
            err = EINVAL;
            return TkbzSocket();
        }
    }
    else
    {
        auto* a4 = reinterpret_cast<sockaddr_in*>(&addr);
        a4->sin_family = AF_INET;
        a4->sin_port = htons(b.Port);
        a4->sin_addr.s_addr = htonl(INADDR_ANY);
        len = sizeof(sockaddr_in);
        if (!b.IP.empty() && ::inet_pton(AF_INET, b.IP.c_str(), &a4->sin_addr) != 1)
        {
            err = EINVAL;
            return TkbzSocket();
        }
    }
    TkbzSocket s(::socket(family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!s.Valid())
    {
        err = errno;
        return TkbzSocket();
    }
    const int one = 1;
    ::setsockopt(s.Handle(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    if (family == AF_INET6)
    {
        // IPv4 has its own socket: the IPv6 one must not claim IPv4 too.
        ::setsockopt(s.Handle(), IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof(one));
    }
    if (::bind(s.Handle(), reinterpret_cast<sockaddr*>(&addr), len) != 0 ||
        ::listen(s.Handle(), SOMAXCONN) != 0 ||
        ::getsockname(s.Handle(), reinterpret_cast<sockaddr*>(&addr), &len) != 0)
    {
        err = errno;
        return TkbzSocket();
    }
    b.Port = ntohs(family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&addr)->sin6_port
                                      : reinterpret_cast<sockaddr_in*>(&addr)->sin_port);
    return s;
}

} // namespace

// ---- detail::SmallStackThread ----

static_assert(sizeof(pthread_t) <= sizeof(unsigned long), "pthread_t must fit the handle");

std::size_t detail::SmallStackThread::StackSize() noexcept
{
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    return 4u * 1024 * 1024;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
    return 4u * 1024 * 1024;
#else
    return 512u * 1024;
#endif
#else
    return 512u * 1024;
#endif
}

namespace
{
void* RunThreadBody(void* arg) noexcept
{
    std::unique_ptr<std::function<void()>> body(static_cast<std::function<void()>*>(arg));
    try
    {
        (*body)();
    }
    catch (...)
    {
        // The bodies catch everything themselves; nothing may leave a thread.
    }
    return nullptr;
}
} // namespace

detail::SmallStackThread::SmallStackThread(std::function<void()> body)
{
    auto owned = std::make_unique<std::function<void()>>(std::move(body));
    pthread_attr_t attr;
    int rc = ::pthread_attr_init(&attr);
    if (rc == 0)
    {
        ::pthread_attr_setstacksize(&attr, StackSize());
        pthread_t handle{};
        rc = ::pthread_create(&handle, &attr, &RunThreadBody, owned.get());
        ::pthread_attr_destroy(&attr);
        if (rc == 0)
        {
            owned.release(); // the thread owns it now
            FHandle = static_cast<unsigned long>(handle);
            FJoinable = true;
            return;
        }
    }
    throw std::system_error(rc, std::generic_category(), "pthread_create");
}

detail::SmallStackThread::SmallStackThread(SmallStackThread&& other) noexcept
    : FHandle(other.FHandle), FJoinable(std::exchange(other.FJoinable, false))
{}

detail::SmallStackThread& detail::SmallStackThread::operator=(SmallStackThread&& other) noexcept
{
    if (this != &other)
    {
        if (FJoinable)
        {
            IsCurrent() ? detach() : join();
        }
        FHandle = other.FHandle;
        FJoinable = std::exchange(other.FJoinable, false);
    }
    return *this;
}

detail::SmallStackThread::~SmallStackThread()
{
    if (FJoinable)
    {
        IsCurrent() ? detach() : join();
    }
}

bool detail::SmallStackThread::IsCurrent() const noexcept
{
    return FJoinable && ::pthread_equal(static_cast<pthread_t>(FHandle), ::pthread_self()) != 0;
}

void detail::SmallStackThread::join() noexcept
{
    if (FJoinable)
    {
        FJoinable = false;
        ::pthread_join(static_cast<pthread_t>(FHandle), nullptr);
    }
}

void detail::SmallStackThread::detach() noexcept
{
    if (FJoinable)
    {
        FJoinable = false;
        ::pthread_detach(static_cast<pthread_t>(FHandle));
    }
}

// ---- TkbzIdContext ----

TkbzIdContext::TkbzIdContext(TkbzIdTCPServer& server,
                             std::shared_ptr<TkbzIdTCPConnection> connection,
                             TkbzListenBinding binding)
    : FServer(server), FConnection(std::move(connection)), FBinding(std::move(binding))
{}

TkbzIdContext::~TkbzIdContext()
{
    // The server joins every connection thread before it lets go of the
    // context; this only covers a context that never got that far.
    if (FThread.joinable())
    {
        if (FThread.IsCurrent())
        {
            FThread.detach();
        }
        else
        {
            FThread.join();
        }
    }
}

std::shared_ptr<void> TkbzIdContext::GetData() const
{
    std::lock_guard guard(FDataLock);
    return FData;
}

void TkbzIdContext::SetData(std::shared_ptr<void> data)
{
    std::shared_ptr<void> old;
    {
        std::lock_guard guard(FDataLock);
        old = std::exchange(FData, std::move(data));
    }
    // old is released outside the lock: its destructor may take locks of its own.
}

void TkbzIdContext::Abort() noexcept
{
    FAborted.store(true);
    const int fd = FAbortSocket.Valid() ? FAbortSocket.Handle() : FSocketFd;
    if (fd >= 0)
    {
        ::shutdown(fd, SHUT_RDWR);
    }
}

// ---- TkbzIdTCPServer ----

TkbzIdTCPServer::TkbzIdTCPServer()
{
    FContexts.Duplicates = TDuplicates::dupAccept; // every context is new: no search needed
}

TkbzIdTCPServer::~TkbzIdTCPServer()
{
    try
    {
        SetActive(false);
    }
    catch (...)
    {}
}

void TkbzIdTCPServer::SetActive(bool value)
{
    if (!value && tlsServerThread == this)
    {
        throw EIdException("The listener cannot be stopped from one of its own threads.");
    }
    std::lock_guard guard(FActiveLock);
    if (value == FActive.load())
    {
        return;
    }
    if (value)
    {
        Activate();
    }
    else
    {
        Deactivate();
    }
}

void TkbzIdTCPServer::Activate()
{
    std::vector<TkbzListenBinding> wanted = Bindings;
    const bool defaults = wanted.empty();
    if (defaults)
    {
        wanted.push_back({"", DefaultPort, TwsIPVersion::ipV4});
        wanted.push_back({"", DefaultPort, TwsIPVersion::ipV6});
    }
    std::vector<std::unique_ptr<Listener>> listeners;
    for (auto& b : wanted)
    {
        if (b.Port == 0)
        {
            b.Port = DefaultPort;
        }
        // A system-chosen port is shared by the default IPv4 and IPv6 sockets.
        if (defaults && b.Port == 0 && !listeners.empty())
        {
            b.Port = listeners.front()->Binding.Port;
        }
        int err = 0;
        TkbzSocket s = Listen(b, err);
        if (!s.Valid())
        {
            if (defaults && b.IPVersion == TwsIPVersion::ipV6)
            {
                continue; // a system without IPv6 still listens on IPv4
            }
            throw EIdCouldNotBindSocket("Could not bind socket to " + Describe(b) + ". " +
                                        ErrorText(err));
        }
        auto l = std::make_unique<Listener>();
        l->Socket = std::move(s);
        l->Binding = b;
        listeners.push_back(std::move(l));
    }

    const int wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    const int reap = wake < 0 ? -1 : ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (reap < 0)
    {
        const int err = errno;
        if (wake >= 0)
        {
            ::close(wake);
        }
        throw EIdSocketError(ErrorText(err));
    }
    FWake = wake;
    FReapWake = reap;
    {
        std::lock_guard lock(FReserveLock);
        FReserveFd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    }
    FEngineOptions = EngineOptions;
    FMaxConnections.store(MaxConnections > 0 ? MaxConnections
                                             : ConnectionsForDescriptors(kbzRaiseDescriptorLimit(),
                                                                         FEngineOptions.Engine));
    FOpenPlaces.store(0);
    FStopping.store(false);
    {
        std::lock_guard lock(FListenersLock);
        FListeners = std::move(listeners);
    }
    FActive.store(true);
    try
    {
        if (FEngineOptions.Engine == TkbzServerEngine::seEpoll)
        {
            FEpoll = std::make_unique<detail::EpollEngine>(
                *this, FEngineOptions.EPOLLThreads,
                detail::EpollWorkers{std::max(0, FEngineOptions.WorkOpThreads), false, 0});
        }
        else if (FEngineOptions.Engine == TkbzServerEngine::sePool)
        {
            // One loop waits for every connection; the pool runs their steps.
            FEpoll = std::make_unique<detail::EpollEngine>(
                *this, 1,
                detail::EpollWorkers{std::max(0, FEngineOptions.PoolSize), true,
                                     std::max(0, FEngineOptions.MaxThreads)});
        }
        OnStartup(*this);
        std::lock_guard lock(FListenersLock);
        for (auto& l : FListeners)
        {
            Listener* raw = l.get();
            l->Thread = std::thread([this, raw] { AcceptLoop(*raw); });
        }
    }
    catch (...)
    {
        Deactivate();
        throw;
    }
}

void TkbzIdTCPServer::Deactivate()
{
    // 1. No new connections.
    FStopping.store(true);
    if (FWake >= 0)
    {
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t w = ::write(FWake, &one, sizeof(one));
    }
    std::vector<std::unique_ptr<Listener>> listeners;
    {
        std::lock_guard lock(FListenersLock);
        listeners.swap(FListeners);
    }
    for (auto& l : listeners)
    {
        if (l->Thread.joinable())
        {
            l->Thread.join();
        }
    }
    listeners.clear();
    if (FWake >= 0)
    {
        ::close(FWake);
        FWake = -1;
    }
    {
        std::lock_guard lock(FReserveLock);
        if (FReserveFd >= 0)
        {
            ::close(FReserveFd);
            FReserveFd = -1;
        }
    }

    // 2. Wake every connection thread wherever it waits; the connections end
    // on their own threads, which raise their disconnect events there.
    std::vector<TkbzIdContextPtr> open;
    {
        auto& list = FContexts.LockList();
        open = list;
        FContexts.UnlockList();
    }
    for (const auto& c : open)
    {
        c->Abort();
    }

    // 3. Join them all (outside the list lock, which the ending threads take).
    for (const auto& c : open)
    {
        if (c->FThread.joinable())
        {
            c->FThread.join();
        }
    }
    open.clear();
    // The loops end once their connections have (the pool's steps too).
    if (FEpoll)
    {
        FEpoll->Stop();
        FEpoll.reset();
    }
    ReapFinished();
    if (FReapWake >= 0)
    {
        ::close(FReapWake);
        FReapWake = -1;
    }
    FActive.store(false);
    try
    {
        OnShutdown(*this);
    }
    catch (...)
    {
        // The listener is stopped either way.
    }
}

std::vector<TkbzListenBinding> TkbzIdTCPServer::GetBoundBindings() const
{
    std::lock_guard lock(FListenersLock);
    std::vector<TkbzListenBinding> out;
    for (const auto& l : FListeners)
    {
        out.push_back(l->Binding);
    }
    return out;
}

std::uint16_t TkbzIdTCPServer::GetBoundPort() const
{
    std::lock_guard lock(FListenersLock);
    return FListeners.empty() ? 0 : FListeners.front()->Binding.Port;
}

void TkbzIdTCPServer::AcceptLoop(Listener& listener) noexcept
{
    tlsServerThread = this;
    while (!FStopping.load())
    {
        // Sleeps until a client, a stop, or a connection thread that ended.
        pollfd fds[3] = {
            {listener.Socket.Handle(), POLLIN, 0}, {FWake, POLLIN, 0}, {FReapWake, POLLIN, 0}};
        const int r = ::poll(fds, 3, -1);
        if (FStopping.load())
        {
            break;
        }
        if (r > 0 && fds[2].revents != 0)
        {
            Drain(FReapWake);
            ReapFinished();
        }
        if (r <= 0 || (fds[0].revents & POLLIN) == 0)
        {
            continue;
        }
        const int fd = ::accept4(listener.Socket.Handle(), nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
        {
            const int err = errno;
            if (err == EMFILE || err == ENFILE)
            {
                RefuseForLackOfDescriptors(listener, err);
            }
            else if (err == ENOBUFS || err == ENOMEM)
            {
                // Out of memory: back off instead of spinning on a pending connection.
                pollfd wake{FWake, POLLIN, 0};
                ::poll(&wake, 1, 100);
            }
            continue;
        }
        Accept(listener, TkbzSocket(fd));
    }
    tlsServerThread = nullptr;
}

void TkbzIdTCPServer::RefuseForLackOfDescriptors(Listener& listener, int err) noexcept
{
    {
        std::lock_guard lock(FReserveLock);
        if (FReserveFd >= 0)
        {
            ::close(FReserveFd);
            FReserveFd = -1;
        }
        const int fd = ::accept4(listener.Socket.Handle(), nullptr, nullptr, SOCK_CLOEXEC);
        if (fd >= 0)
        {
            ::close(fd);
        }
        FReserveFd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        const std::uint64_t now = kbzGetTicks();
        if (FLastListenError != 0 && now - FLastListenError < 1000)
        {
            if (FReserveFd < 0)
            {
                // Nothing left to refuse with: wait for a descriptor to come free.
                pollfd wake{FWake, POLLIN, 0};
                ::poll(&wake, 1, 100);
            }
            return;
        }
        FLastListenError = now;
    }
    try
    {
        OnListenError(*this, ErrorText(err));
    }
    catch (...)
    {}
}

void TkbzIdTCPServer::Accept(Listener& listener, TkbzSocket socket) noexcept
{
    // The place is taken first, so that accepting threads of several bindings
    // cannot both take the last one; it is given back unless a context holds it.
    struct Claim
    {
        std::atomic<int>& Places;
        bool Held = true;
        ~Claim()
        {
            if (Held)
            {
                Places.fetch_sub(1);
            }
        }
    };
    if (FOpenPlaces.fetch_add(1) >= std::max(1, FMaxConnections.load()))
    {
        FOpenPlaces.fetch_sub(1);
        return; // closed at once, without any event
    }
    Claim claim{FOpenPlaces};
    try
    {
        const TkbzServerEngine engine = FEngineOptions.Engine;
        const int fd = socket.Handle();
        const bool waits = WaitsPerConnection(engine);
        auto handler = std::make_unique<TkbzSocketIOHandler>(std::move(socket), waits);
        handler->SetNoDelay(!UseNagle);
        bool handshake = false;
        bool blockingTLS = false;
        std::unique_ptr<TkbzIOHandler> channel;
        if (!waits && TLSHandlerFactory)
        {
            // The loop drives the handshake when the factory can leave it to us.
            if (const auto deferred = DeferredTLSFactory)
            {
                channel = deferred(handler, listener.Binding);
            }
            if (channel)
            {
                handshake = channel.get() != static_cast<TkbzIOHandler*>(handler.get());
            }
            else
            {
                blockingTLS = true;
            }
        }
        TkbzSocket abortSocket;
        if (waits || blockingTLS)
        {
            abortSocket = TkbzSocket(::dup(fd));
            if (!abortSocket.Valid())
            {
                return; // out of descriptors: closed at once
            }
        }
        if (!channel)
        {
            channel = std::move(handler);
        }
        auto connection = std::make_shared<TkbzIdTCPConnection>(std::move(channel));
        auto context = std::make_shared<TkbzIdContext>(*this, connection, listener.Binding);
        context->FAbortSocket = std::move(abortSocket);
        context->FSocketFd = fd;
        context->FEngine = engine;
        context->FBlockingTLS = blockingTLS;
        context->FHoldsPlace.store(true);
        claim.Held = false;
        {
            auto& list = FContexts.LockList();
            try
            {
                list.push_back(context);
            }
            catch (...)
            {
                FContexts.UnlockList();
                FreePlace(*context);
                throw;
            }
            FContexts.UnlockList();
        }
        try
        {
            if (!waits)
            {
                FEpoll->Add(context, fd, handshake, TLSHandshakeTimeOut);
            }
            else
            {
                // Under the lock the ending thread takes to hand itself over for
                // joining, so no joiner can see FThread before it is assigned.
                std::lock_guard lock(FFinishedLock);
                context->FThread =
                    detail::SmallStackThread([this, context] { RunConnection(context); });
            }
        }
        catch (...)
        {
            FContexts.Remove(context);
            FreePlace(*context);
            throw;
        }
    }
    catch (...)
    {
        // A connection that could not be set up is dropped; the listener goes on.
    }
}

void TkbzIdTCPServer::ReportException(TkbzIdContext& context, const std::exception& e) noexcept
{
    // The silent family ends a connection quietly, and so does our own stop.
    if (dynamic_cast<const EIdSilentException*>(&e) != nullptr || context.Aborted())
    {
        return;
    }
    try
    {
        OnException(context, e);
    }
    catch (...)
    {}
}

void TkbzIdTCPServer::RunConnection(const TkbzIdContextPtr& context) noexcept
{
    tlsServerThread = this;
    TkbzIdTCPConnection& conn = context->Connection();
    try
    {
        if (const auto factory = TLSHandlerFactory)
        {
            WrapAcceptedChannel(*context, factory);
        }
        if (!context->Aborted())
        {
            OnConnect(*context);
            while (!context->Aborted() && !conn.Disconnected() &&
                   !conn.CheckForDisconnect(false, false))
            {
                const std::size_t before = conn.InputBufferSize();
                context->FWaitLimit = -1;
                if (!OnExecute(*context))
                {
                    // Nobody wants the bytes: wait for more and drop them.
                    conn.CheckForDataOnSource(-1);
                    conn.InputBufferClear();
                    continue;
                }
                const std::size_t after = conn.InputBufferSize();
                if (after != 0 && after < before)
                {
                    continue; // what remains may hold more whole requests or frames
                }
                // Bytes the handler leaves alone after the peer closed can never
                // become a whole message.
                if (conn.PeerClosed())
                {
                    if (after != 0 && after == before)
                    {
                        break;
                    }
                    continue;
                }
                conn.CheckForDataOnSource(context->FWaitLimit);
            }
        }
    }
    catch (const std::exception& e)
    {
        ReportException(*context, e);
    }
    catch (...)
    {}
    EndConnection(context);
    tlsServerThread = nullptr;
}

detail::EpollStepResult TkbzIdTCPServer::EngineStep(const TkbzIdContextPtr& context, bool first,
                                                    std::exception_ptr failure,
                                                    const std::function<void()>& install) noexcept
{
    // Each read of a step takes at most this much, so that one busy peer does
    // not keep its loop from the others.
    constexpr std::size_t kStepReadBytes = 1024 * 1024;
    const TkbzIdTCPServer* outer = tlsServerThread;
    tlsServerThread = this;
    detail::EpollStepResult result;
    TkbzIdTCPConnection& conn = context->Connection();
    try
    {
        if (failure)
        {
            std::rethrow_exception(failure);
        }
        if (first)
        {
            if (context->FBlockingTLS)
            {
                // A TLS handler without a non-blocking handshake: it waits, here.
                WrapAcceptedChannel(*context, TLSHandlerFactory);
            }
            install();
            if (!context->Aborted())
            {
                OnConnect(*context);
            }
        }
        while (!context->Aborted())
        {
            std::size_t got = 0;
            do
            {
                got = conn.CheckForDataOnSource(0);
            } while (got > 0 && conn.InputBufferSize() < kStepReadBytes);
            if (context->Aborted() || conn.Disconnected() || conn.CheckForDisconnect(false, false))
            {
                break;
            }
            const std::size_t before = conn.InputBufferSize();
            context->FWaitLimit = -1;
            if (!OnExecute(*context))
            {
                // Nobody wants the bytes: dropped.
                conn.InputBufferClear();
                tlsServerThread = outer;
                return result;
            }
            const std::size_t after = conn.InputBufferSize();
            if (after != 0 && after < before)
            {
                continue; // what remains may hold more whole requests or frames
            }
            if (conn.PeerClosed())
            {
                if (after != 0 && after == before)
                {
                    break;
                }
                continue;
            }
            result.WaitLimit = context->FWaitLimit;
            // A read cut short may leave bytes that only another read finds
            // (TLS records already taken from the socket).
            result.Again = got > 0;
            tlsServerThread = outer;
            return result;
        }
    }
    catch (const std::exception& e)
    {
        ReportException(*context, e);
    }
    catch (...)
    {}
    EndConnection(context);
    result.Finished = true;
    tlsServerThread = outer;
    return result;
}

void TkbzIdTCPServer::EndConnection(const TkbzIdContextPtr& context) noexcept
{
    try
    {
        context->Connection().Disconnect(false);
    }
    catch (const std::exception& e)
    {
        ReportException(*context, e);
    }
    catch (...)
    {}
    // Given back before the end is told: a client that comes once the
    // application has seen this one go is not refused for it.
    FreePlace(*context);
    try
    {
        OnDisconnect(*context);
    }
    catch (const std::exception& e)
    {
        ReportException(*context, e);
    }
    catch (...)
    {}
    Finished(context);
}

void TkbzIdTCPServer::FreePlace(TkbzIdContext& context) noexcept
{
    if (context.FHoldsPlace.exchange(false))
    {
        FOpenPlaces.fetch_sub(1);
    }
}

void TkbzIdTCPServer::Finished(const TkbzIdContextPtr& context) noexcept
{
    FreePlace(*context);
    // Handed over for joining: the thread never joins or frees itself. It is
    // in the finished list before it leaves the context list, so a stop that
    // takes its snapshot of the list in between still finds this thread (in
    // one list or both; a joined thread is not joined again) and joins it
    // before the listener goes away. Only a thread of its own is joined.
    try
    {
        if (context->FEngine == TkbzServerEngine::seThreads)
        {
            std::lock_guard lock(FFinishedLock);
            FFinished.push_back(context);
            Signal(FReapWake);
        }
        FContexts.Remove(context);
    }
    catch (...)
    {}
}

void TkbzIdTCPServer::ReapFinished() noexcept
{
    std::vector<TkbzIdContextPtr> finished;
    {
        std::lock_guard lock(FFinishedLock);
        finished.swap(FFinished);
    }
    for (const auto& c : finished)
    {
        if (c->FThread.joinable())
        {
            c->FThread.join();
        }
    }
}

} // namespace kbz
