#include "transport/kbzTCP_Client.h"

#include <chrono>
#include <cstdint>
#include <fcntl.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>
#include <utility>

namespace kbz
{

// ---- TkbzReadThreadEnd ----

void TkbzReadThreadEnd::Signal() noexcept
{
    try
    {
        std::lock_guard guard(FLock);
        FEnded = true;
        FChanged.notify_all();
    }
    catch (...)
    {}
}

bool TkbzReadThreadEnd::Wait(int ms)
{
    std::unique_lock lock(FLock);
    if (ms < 0)
    {
        FChanged.wait(lock, [this] { return FEnded; });
        return true;
    }
    return FChanged.wait_for(lock, std::chrono::milliseconds(ms), [this] { return FEnded; });
}

bool TkbzReadThreadEnd::Ended() const
{
    std::lock_guard guard(FLock);
    return FEnded;
}

// ---- TkbzTCPReadThread ----

namespace
{

// Marks a user callback as running, so that disposing of the thread from
// inside the callback does not wait for itself.
class ExecutingScope
{
public:
    explicit ExecutingScope(std::function<void(bool)> set) : FSet(std::move(set)) { FSet(true); }
    ~ExecutingScope() { FSet(false); }
    ExecutingScope(const ExecutingScope&) = delete;
    ExecutingScope& operator=(const ExecutingScope&) = delete;

private:
    std::function<void(bool)> FSet;
};

} // namespace

TkbzTCPReadThread::TkbzTCPReadThread(TkbzIdTCPClient* client, TkbzTCPMode mode)
    : TkbzIdThread(true, "TCPRead"), FClient(client), FTCPMode(mode)
{}

TkbzTCPReadThread::~TkbzTCPReadThread()
{
    // The pass uses this object's members: it must be over before they go.
    TerminateAndWait();
}

void TkbzTCPReadThread::SetReadSocket(bool value)
{
    {
        std::lock_guard guard(FArmLock);
        FReadSocket.store(value);
    }
    FArmChanged.notify_all();
}

void TkbzTCPReadThread::Terminate() noexcept
{
    TkbzIdThread::Terminate();
    try
    {
        std::lock_guard guard(FArmLock);
        FArmChanged.notify_all();
    }
    catch (...)
    {}
    // A pass waiting for bytes notices at once.
    if (TkbzIdTCPClient* c = FClient.load())
    {
        c->WakeReader();
    }
}

void TkbzTCPReadThread::WaitArmed()
{
    std::unique_lock lock(FArmLock);
    FArmChanged.wait(lock, [this] { return FReadSocket.load() || Terminated(); });
}

void TkbzTCPReadThread::DoTerminated() noexcept
{
    FEnd->Signal();
}

void TkbzTCPReadThread::Run()
{
    FExecuted.store(true);
    // Honoured from the very first pass: an owner that ends the thread before
    // it ever ran must not wait for it forever.
    if (Terminated())
    {
        return;
    }
    TkbzIdTCPClient* c = FClient.load();
    if (c == nullptr)
    {
        TkbzIdThread::Terminate();
        return;
    }
    const std::uint64_t generation = c->Generation();
    try
    {
        c->SetReadWaitLimit(-1);
        c->DoOnThread();
        if ((c = FClient.load()) == nullptr || Terminated())
        {
            return;
        }
        if (!FReadSocket.load())
        {
            WaitArmed();
            return;
        }
        if (c->HasIOHandler() && (FStalled || c->InputBufferIsEmpty()))
        {
            // Until bytes, a wake (writes queued, a close begun, Terminate) or
            // the next deadline of the owner; a Disconnect ends it too.
            const bool readable = c->WaitReadable(c->ReadWaitLimit());
            FStalled = false;
            if (readable && !Terminated())
            {
                c->CheckForDataOnSource(0);
            }
        }
        if (!Terminated() && !c->InputBufferIsEmpty())
        {
            const std::size_t before = c->InputBufferSize();
            {
                ExecutingScope executing([this](bool v) { SetExecuting(v); });
                c->DoOnRead();
            }
            if ((c = FClient.load()) == nullptr)
            {
                return;
            }
            const std::size_t after = c->InputBufferSize();
            // A handler that took nothing is waiting for the rest of a message:
            // the next pass waits for bytes instead of calling it again at once,
            // and once the peer has closed the rest can never come.
            FStalled = after != 0 && after == before;
            if (FStalled && c->PeerClosed())
            {
                c->CheckForDisconnect(true, true);
            }
        }
        if (Terminated())
        {
            return;
        }
        c->CheckForDisconnect(true, false);
    }
    catch (const std::exception& e)
    {
        HandleReadException(e, generation);
    }
    catch (...)
    {
        TkbzIdThread::Terminate();
    }
}

void TkbzTCPReadThread::HandleReadException(const std::exception& e,
                                            std::uint64_t generation) noexcept
{
    try
    {
        TkbzIdTCPClient* c = FClient.load();
        if (FTCPMode == TkbzTCPMode::tcpmCommands)
        {
            // Disarm only for the connection that failed: a Connect from another
            // thread may have installed and armed the next one meanwhile. It
            // installs before it arms, and arms under FArmLock.
            std::lock_guard guard(FArmLock);
            if (c == nullptr || c->Generation() == generation)
            {
                FReadSocket.store(false);
            }
        }
        else
        {
            TkbzIdThread::Terminate();
        }
        if (c == nullptr || c->Generation() != generation)
        {
            return;
        }
        // After our own Disconnect, the errors it causes in a running read are no news.
        if (!c->Disconnected())
        {
            ExecutingScope executing([this](bool v) { SetExecuting(v); });
            c->DoOnReadException(e);
        }
        // Nobody reads this connection any more: end it, which raises the
        // status notification once.
        c = FClient.load();
        if (c != nullptr && c->Generation() == generation && !c->Disconnected())
        {
            c->Disconnect(false);
        }
    }
    catch (...)
    {
        // A handler that raises cannot take the thread down.
    }
}

// ---- TkbzIdTCPClient ----

TkbzIdTCPClient::TkbzIdTCPClient() = default;

TkbzIdTCPClient::~TkbzIdTCPClient()
{
    std::unique_ptr<TkbzTCPReadThread> thread;
    {
        std::lock_guard guard(FThreadLock);
        thread = std::move(FTCPRead);
    }
    if (thread)
    {
        thread->DetachClient();
        thread->Terminate();
    }
    ShutdownQuietly(false);
    // Joins from another thread; from the read thread itself (a handler that
    // destroys its client) the thread frees itself after the pass, which no
    // longer touches this object.
    kbzFreeThread(thread);
}

void TkbzIdTCPClient::DisposeReadThread() noexcept
{
    std::unique_ptr<TkbzTCPReadThread> thread;
    {
        std::lock_guard guard(FThreadLock);
        thread = std::move(FTCPRead);
    }
    kbzFreeThread(thread);
}

void TkbzIdTCPClient::Connect()
{
    if (TkbzIdTCPConnection::Connected())
    {
        throw EIdAlreadyConnected("Already connected.");
    }
    if (GetTCPMode() == TkbzTCPMode::tcpmDefault)
    {
        DisposeReadThread();
    }
    // Everything below may be cancelled from another thread (CancelConnect).
    const int cancelFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    {
        std::lock_guard guard(FCancelLock);
        FCancelFd = cancelFd;
        FCancelled = false;
    }
    struct Done
    {
        TkbzIdTCPClient& client;
        int fd;
        ~Done()
        {
            std::lock_guard guard(client.FCancelLock);
            client.FCancelFd = -1;
            if (client.FPendingSocket >= 0)
            {
                ::close(client.FPendingSocket);
                client.FPendingSocket = -1;
            }
            if (fd >= 0)
            {
                ::close(fd);
            }
        }
    } done{*this, cancelFd};
    SetIOHandler(OpenSocket(cancelFd));
    try
    {
        OnConnectThrough(*this);
        if (const auto factory = TLSHandlerFactory)
        {
            std::unique_ptr<TkbzIOHandler> plain = ReleaseIOHandler();
            std::unique_ptr<TkbzSocketIOHandler> socketHandler(
                static_cast<TkbzSocketIOHandler*>(plain.release()));
            SetIOHandler(factory(std::move(socketHandler)));
        }
        std::lock_guard guard(FCancelLock);
        if (FCancelled)
        {
            throw EIdClosedSocket("Connect cancelled.");
        }
    }
    catch (...)
    {
        ShutdownQuietly(false);
        std::lock_guard guard(FCancelLock);
        if (FCancelled)
        {
            // A tunnel or TLS handshake that failed because it was cancelled.
            throw EIdClosedSocket("Connect cancelled.");
        }
        throw;
    }
    FinishConnect();
}

void TkbzIdTCPClient::CancelConnect() noexcept
{
    std::lock_guard guard(FCancelLock);
    if (FCancelFd < 0)
    {
        return; // no Connect in progress
    }
    FCancelled = true;
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(FCancelFd, &one, sizeof one);
    if (FPendingSocket >= 0)
    {
        ::shutdown(FPendingSocket, SHUT_RDWR); // wakes a TLS handshake on that socket
    }
}

std::unique_ptr<TkbzSocketIOHandler> TkbzIdTCPClient::OpenSocket(int cancelFd)
{
    auto socket = std::make_unique<TkbzSocketIOHandler>(
        kbzConnectTCP(Host, Port, IPVersion, ConnectTimeout, BoundPortMin, BoundPortMax, cancelFd));
    socket->SetNoDelay(!UseNagle);
    std::lock_guard guard(FCancelLock);
    if (FCancelled)
    {
        throw EIdClosedSocket("Connect cancelled.");
    }
    if (FPendingSocket >= 0)
    {
        ::close(FPendingSocket);
    }
    FPendingSocket = ::fcntl(socket->Handle(), F_DUPFD_CLOEXEC, 0);
    return socket;
}

void TkbzIdTCPClient::Reopen()
{
    int cancelFd = -1;
    {
        std::lock_guard guard(FCancelLock);
        cancelFd = FCancelFd;
    }
    if (cancelFd < 0)
    {
        throw EIdNotConnected("Reopen is only possible while connecting.");
    }
    if (auto* old = GetIOHandler())
    {
        old->Shutdown();
    }
    SetIOHandler(OpenSocket(cancelFd));
}

void TkbzIdTCPClient::Connect(std::unique_ptr<TkbzIOHandler> handler)
{
    if (TkbzIdTCPConnection::Connected())
    {
        throw EIdAlreadyConnected("Already connected.");
    }
    if (GetTCPMode() == TkbzTCPMode::tcpmDefault)
    {
        DisposeReadThread();
    }
    SetIOHandler(std::move(handler));
    FinishConnect();
}

void TkbzIdTCPClient::FinishConnect()
{
    try
    {
        OnConnected(*this);
    }
    catch (...)
    {
        ShutdownQuietly(false);
        throw;
    }
    try
    {
        TCPRead().SetReadSocket(true);
    }
    catch (...)
    {
        // Without a read thread the connection is of no use; the connect itself succeeded.
        try
        {
            Disconnect(true);
        }
        catch (...)
        {}
    }
}

void TkbzIdTCPClient::Disconnect(bool notifyPeer)
{
    std::shared_ptr<TkbzReadThreadEnd> end;
    bool onReadThread = false;
    {
        std::lock_guard guard(FThreadLock);
        if (FTCPRead)
        {
            if (FTCPRead->GetTCPMode() == TkbzTCPMode::tcpmCommands)
            {
                FTCPRead->SetReadSocket(false);
            }
            else
            {
                FTCPRead->Terminate();
                end = FTCPRead->EndState();
            }
            onReadThread = FTCPRead->IsCurrentThread();
        }
    }
    // Shutting the channel down wakes the read thread wherever it waits; the
    // disconnected notification comes once its last pass is over, so no event
    // of the read thread can follow it.
    ShutdownChannel(notifyPeer);
    if (end && !onReadThread)
    {
        end->Wait();
    }
    // Cleared once the reader has stopped (default mode), so no read runs under it.
    InputBufferClear();
    RaiseDisconnected();
}

bool TkbzIdTCPClient::Connected() const
{
    // The connection state is thread-safe on its own: no need to queue behind
    // the read thread's wait for the client lock.
    return TkbzIdTCPConnection::Connected();
}

TkbzTCPReadThread& TkbzIdTCPClient::TCPRead()
{
    std::lock_guard guard(FThreadLock);
    if (!FTCPRead)
    {
        auto thread = std::make_unique<TkbzTCPReadThread>(this, GetTCPMode());
        thread->Start();
        FTCPRead = std::move(thread);
    }
    return *FTCPRead;
}

bool TkbzIdTCPClient::HasReadThread() const
{
    std::lock_guard guard(FThreadLock);
    return FTCPRead != nullptr;
}

void TkbzIdTCPClient::DoOnThread()
{
    // The event runs a copy of the handler, which may replace itself or
    // destroy this client.
    OnThread(*this);
}

void TkbzIdTCPClient::DoOnRead()
{
    OnRead(*this);
}

void TkbzIdTCPClient::DoOnReadException(const std::exception& e)
{
    OnReadException(*this, e);
}

} // namespace kbz
