#include "transport/kbzTCP_Server.h"

#include <arpa/inet.h>
#include <cerrno>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <system_error>
#include <unistd.h>

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
        if (FThread.get_id() == std::this_thread::get_id())
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
    if (FAbortSocket.Valid())
    {
        ::shutdown(FAbortSocket.Handle(), SHUT_RDWR);
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
    if (wake < 0)
    {
        throw EIdSocketError(ErrorText(errno));
    }
    FWake = wake;
    FStopping.store(false);
    {
        std::lock_guard lock(FListenersLock);
        FListeners = std::move(listeners);
    }
    FActive.store(true);
    try
    {
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
    ReapFinished();
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
        pollfd fds[2] = {{listener.Socket.Handle(), POLLIN, 0}, {FWake, POLLIN, 0}};
        // The time-out only lets ended connection threads be joined while idle.
        const int r = ::poll(fds, 2, 1000);
        if (FStopping.load())
        {
            break;
        }
        ReapFinished();
        if (r <= 0 || (fds[0].revents & POLLIN) == 0)
        {
            continue;
        }
        const int fd = ::accept4(listener.Socket.Handle(), nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
        {
            const int err = errno;
            if (err == EMFILE || err == ENFILE || err == ENOBUFS || err == ENOMEM)
            {
                // Out of resources: back off instead of spinning on a pending connection.
                pollfd wake{FWake, POLLIN, 0};
                ::poll(&wake, 1, 100);
            }
            continue;
        }
        Accept(listener, TkbzSocket(fd));
    }
    tlsServerThread = nullptr;
}

void TkbzIdTCPServer::Accept(Listener& listener, TkbzSocket socket) noexcept
{
    try
    {
        if (MaxConnections > 0 && Count() >= static_cast<std::size_t>(MaxConnections))
        {
            return; // closed at once, without any event
        }
        TkbzSocket abortSocket(::dup(socket.Handle()));
        auto handler = std::make_unique<TkbzSocketIOHandler>(std::move(socket));
        handler->SetNoDelay(!UseNagle);
        auto connection = std::make_shared<TkbzIdTCPConnection>(std::move(handler));
        auto context = std::make_shared<TkbzIdContext>(*this, connection, listener.Binding);
        context->FAbortSocket = std::move(abortSocket);
        {
            auto& list = FContexts.LockList();
            try
            {
                list.push_back(context);
            }
            catch (...)
            {
                FContexts.UnlockList();
                throw;
            }
            FContexts.UnlockList();
        }
        try
        {
            // Under the lock the ending thread takes to hand itself over for
            // joining, so no joiner can see FThread before it is assigned.
            std::lock_guard lock(FFinishedLock);
            context->FThread = std::thread([this, context] { RunConnection(context); });
        }
        catch (...)
        {
            FContexts.Remove(context);
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
            std::unique_ptr<TkbzIOHandler> plain = conn.ReleaseIOHandler();
            std::unique_ptr<TkbzSocketIOHandler> socketHandler(
                static_cast<TkbzSocketIOHandler*>(plain.release()));
            conn.SetIOHandler(factory(std::move(socketHandler), context->Binding()));
        }
        if (!context->Aborted())
        {
            OnConnect(*context);
            while (!context->Aborted() && !conn.CheckForDisconnect(false, false))
            {
                const std::size_t before = conn.InputBufferSize();
                if (!OnExecute(*context))
                {
                    // Nobody wants the bytes: wait for more and drop them.
                    conn.CheckForDataOnSource(1000);
                    conn.InputBufferClear();
                }
                // Bytes the handler leaves alone after the peer closed can never
                // become a whole message.
                if (conn.PeerClosed() && before != 0 && conn.InputBufferSize() == before)
                {
                    break;
                }
            }
        }
    }
    catch (const std::exception& e)
    {
        ReportException(*context, e);
    }
    catch (...)
    {}
    try
    {
        conn.Disconnect(false);
    }
    catch (const std::exception& e)
    {
        ReportException(*context, e);
    }
    catch (...)
    {}
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
    // Handed over for joining: the thread never joins or frees itself. Leaving the list and
    // joining the finished ones is one step, so a stop that takes its snapshot of the list in
    // between still finds this thread (in one list or the other) and joins it before the
    // listener goes away.
    try
    {
        std::lock_guard lock(FFinishedLock);
        FContexts.Remove(context);
        FFinished.push_back(context);
    }
    catch (...)
    {}
    tlsServerThread = nullptr;
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
