#include "transport/kbzSocket_Classes.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <limits>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <optional>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <system_error>
#include <unistd.h>

namespace kbz
{

namespace detail
{

using Clock = std::chrono::steady_clock;
using Deadline = std::optional<Clock::time_point>;

std::string SocketErrorText(int err)
{
    return "Socket Error # " + std::to_string(err) + ": " + std::system_category().message(err) +
           ".";
}

[[noreturn]] void RaiseSocketError(int err)
{
    throw EIdSocketError(SocketErrorText(err));
}

// Milliseconds left until deadline for a poll (never negative); -1 without a deadline.
int MsLeft(const Deadline& deadline)
{
    if (!deadline)
    {
        return -1;
    }
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(*deadline - Clock::now()).count();
    if (left <= 0)
    {
        return 0;
    }
    return static_cast<int>(std::min<long long>(left, std::numeric_limits<int>::max()));
}

Deadline DeadlineIn(int ms)
{
    if (ms < 0)
    {
        return std::nullopt;
    }
    return Clock::now() + std::chrono::milliseconds(ms);
}

bool Expired(const Deadline& deadline)
{
    return deadline && Clock::now() >= *deadline;
}

// poll() that resumes after signals and keeps to the overall time limit.
int PollFor(pollfd* fds, nfds_t count, int ms)
{
    const Deadline deadline = DeadlineIn(ms);
    for (;;)
    {
        const int r = ::poll(fds, count, MsLeft(deadline));
        if (r >= 0 || errno != EINTR)
        {
            return r;
        }
    }
}

std::string NumericHost(const sockaddr* addr, socklen_t len, std::uint16_t& port)
{
    char host[NI_MAXHOST] = {};
    char serv[NI_MAXSERV] = {};
    if (::getnameinfo(addr, len, host, sizeof(host), serv, sizeof(serv),
                      NI_NUMERICHOST | NI_NUMERICSERV) != 0)
    {
        port = 0;
        return {};
    }
    port = static_cast<std::uint16_t>(std::strtoul(serv, nullptr, 10));
    return host;
}

void SetBlocking(int fd, bool blocking)
{
    const int flags = ::fcntl(fd, F_GETFL, 0);
    if (flags < 0)
    {
        RaiseSocketError(errno);
    }
    const int wanted = blocking ? (flags & ~O_NONBLOCK) : (flags | O_NONBLOCK);
    if (wanted != flags && ::fcntl(fd, F_SETFL, wanted) < 0)
    {
        RaiseSocketError(errno);
    }
}

void SetIntOption(int fd, int level, int name, int value)
{
    if (::setsockopt(fd, level, name, &value, sizeof(value)) != 0)
    {
        RaiseSocketError(errno);
    }
}

} // namespace detail

using namespace detail;

// ---- TkbzIOHandler ----

void TkbzIOHandler::Send2(std::span<const std::uint8_t> a, std::span<const std::uint8_t> b)
{
    constexpr std::size_t kJoinBelow = 16 * 1024;
    if (a.size() + b.size() <= kJoinBelow)
    {
        std::uint8_t joined[kJoinBelow];
        if (!a.empty())
        {
            std::memcpy(joined, a.data(), a.size());
        }
        if (!b.empty())
        {
            std::memcpy(joined + a.size(), b.data(), b.size());
        }
        Send(joined, a.size() + b.size());
        return;
    }
    Send(a.data(), a.size());
    Send(b.data(), b.size());
}

std::size_t TkbzIOHandler::TrySend2(std::span<const std::uint8_t> a,
                                    std::span<const std::uint8_t> b)
{
    constexpr std::size_t kJoinBelow = 16 * 1024;
    if (a.size() + b.size() <= kJoinBelow)
    {
        std::uint8_t joined[kJoinBelow];
        if (!a.empty())
        {
            std::memcpy(joined, a.data(), a.size());
        }
        if (!b.empty())
        {
            std::memcpy(joined + a.size(), b.data(), b.size());
        }
        return TrySend(joined, a.size() + b.size());
    }
    const std::size_t takenA = a.empty() ? 0 : TrySend(a.data(), a.size());
    if (takenA < a.size() || b.empty())
    {
        return takenA;
    }
    return takenA + TrySend(b.data(), b.size());
}

// ---- TkbzSocket ----

TkbzSocket& TkbzSocket::operator=(TkbzSocket&& other) noexcept
{
    if (this != &other)
    {
        if (FHandle >= 0)
        {
            ::close(FHandle);
        }
        FHandle = std::exchange(other.FHandle, -1);
    }
    return *this;
}

TkbzSocket::~TkbzSocket()
{
    if (FHandle >= 0)
    {
        ::close(FHandle);
    }
}

// ---- TkbzSocketIOHandler ----

TkbzSocketIOHandler::TkbzSocketIOHandler(TkbzSocket socket, bool wakeAtOnce)
    : FSocket(std::move(socket))
{
    if (wakeAtOnce && EnsureWake() < 0)
    {
        RaiseSocketError(errno);
    }
}

TkbzSocketIOHandler::~TkbzSocketIOHandler()
{
    const int fd = FWakeRead.load();
    if (fd >= 0)
    {
        ::close(fd);
    }
}

int TkbzSocketIOHandler::EnsureWake() const noexcept
{
    int fd = FWakeRead.load();
    if (fd >= 0)
    {
        return fd;
    }
    const int made = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (made < 0)
    {
        return -1;
    }
    if (!FWakeRead.compare_exchange_strong(fd, made))
    {
        ::close(made); // another thread made one first
        return fd;
    }
    // A Wake that found no descriptor set the flag before it looked.
    if (FWakePending.exchange(false))
    {
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t w = ::write(made, &one, sizeof(one));
    }
    return made;
}

bool TkbzSocketIOHandler::Readable(int ms)
{
    if (FShutdown.load() || FPeerClosed.load())
    {
        return true;
    }
    // A look that does not wait needs no wake (an event loop's only look).
    const int wake = ms == 0 ? FWakeRead.load() : EnsureWake();
    if (wake < 0 && ms != 0)
    {
        RaiseSocketError(errno);
    }
    pollfd fds[2] = {{FSocket.Handle(), POLLIN, 0}, {wake, POLLIN, 0}};
    const int r = PollFor(fds, wake < 0 ? 1 : 2, ms);
    if (r < 0)
    {
        RaiseSocketError(errno);
    }
    if (r == 0)
    {
        return false;
    }
    if (fds[1].revents != 0)
    {
        // A Wake (Shutdown sets its flag before it signals): consumed, so the
        // next wait blocks again.
        ClearWake();
        if (FShutdown.load())
        {
            return true;
        }
    }
    return fds[0].revents != 0;
}

void TkbzSocketIOHandler::Wake() noexcept
{
    FWakePending.store(true);
    const int fd = FWakeRead.load();
    if (fd >= 0)
    {
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t w = ::write(fd, &one, sizeof(one));
    }
}

void TkbzSocketIOHandler::ClearWake() noexcept
{
    const int fd = FWakeRead.load();
    if (fd >= 0 && !FShutdown.load())
    {
        std::uint64_t count = 0;
        [[maybe_unused]] const ssize_t r = ::read(fd, &count, sizeof(count));
    }
}

std::size_t TkbzSocketIOHandler::Recv(std::uint8_t* buffer, std::size_t n)
{
    if (n == 0)
    {
        return 0;
    }
    for (;;)
    {
        if (FShutdown.load())
        {
            throw EIdClosedSocket("Disconnected.");
        }
        const ssize_t r = ::recv(FSocket.Handle(), buffer, n, MSG_DONTWAIT);
        if (r > 0)
        {
            return static_cast<std::size_t>(r);
        }
        if (r == 0)
        {
            // Our own shutdown also reads as an end of stream: tell the two apart.
            if (FShutdown.load())
            {
                throw EIdClosedSocket("Disconnected.");
            }
            FPeerClosed.store(true);
            return 0;
        }
        const int err = errno;
        if (err == EINTR)
        {
            continue;
        }
        if (err == EAGAIN || err == EWOULDBLOCK)
        {
            Readable(-1);
            continue;
        }
        if (FShutdown.load())
        {
            throw EIdClosedSocket("Disconnected.");
        }
        // A reset ends the stream as surely as a close, but it is reported.
        FPeerClosed.store(true);
        RaiseSocketError(err);
    }
}

void TkbzSocketIOHandler::Send(const std::uint8_t* data, std::size_t n)
{
    std::lock_guard guard(FSendLock);
    while (n > 0)
    {
        if (FShutdown.load())
        {
            throw EIdClosedSocket("Disconnected.");
        }
        const ssize_t r = ::send(FSocket.Handle(), data, n, MSG_NOSIGNAL);
        if (r > 0)
        {
            data += r;
            n -= static_cast<std::size_t>(r);
            continue;
        }
        const int err = r < 0 ? errno : EPIPE;
        if (err == EINTR)
        {
            continue;
        }
        if (FShutdown.load())
        {
            throw EIdClosedSocket("Disconnected.");
        }
        if (err == EAGAIN || err == EWOULDBLOCK)
        {
            // The blocking socket only answers EAGAIN when SO_SNDTIMEO ran out.
            throw EIdSocketError("Socket Error # " + std::to_string(err) + ": Send timed out.");
        }
        RaiseSocketError(err);
    }
}

void TkbzSocketIOHandler::Send2(std::span<const std::uint8_t> a, std::span<const std::uint8_t> b)
{
    std::lock_guard guard(FSendLock);
    iovec pieces[2] = {{const_cast<std::uint8_t*>(a.data()), a.size()},
                       {const_cast<std::uint8_t*>(b.data()), b.size()}};
    iovec* next = pieces;
    int count = 2;
    while (count > 0)
    {
        if (next->iov_len == 0)
        {
            ++next;
            --count;
            continue;
        }
        if (FShutdown.load())
        {
            throw EIdClosedSocket("Disconnected.");
        }
        msghdr msg{};
        msg.msg_iov = next;
        msg.msg_iovlen = static_cast<std::size_t>(count);
        const ssize_t r = ::sendmsg(FSocket.Handle(), &msg, MSG_NOSIGNAL);
        if (r > 0)
        {
            std::size_t sent = static_cast<std::size_t>(r);
            while (count > 0 && sent >= next->iov_len)
            {
                sent -= next->iov_len;
                ++next;
                --count;
            }
            if (count > 0)
            {
                next->iov_base = static_cast<std::uint8_t*>(next->iov_base) + sent;
                next->iov_len -= sent;
            }
            continue;
        }
        const int err = r < 0 ? errno : EPIPE;
        if (err == EINTR)
        {
            continue;
        }
        if (FShutdown.load())
        {
            throw EIdClosedSocket("Disconnected.");
        }
        if (err == EAGAIN || err == EWOULDBLOCK)
        {
            throw EIdSocketError("Socket Error # " + std::to_string(err) + ": Send timed out.");
        }
        RaiseSocketError(err);
    }
}

std::size_t TkbzSocketIOHandler::TrySend2(std::span<const std::uint8_t> a,
                                          std::span<const std::uint8_t> b)
{
    std::lock_guard guard(FSendLock);
    iovec pieces[2] = {{const_cast<std::uint8_t*>(a.data()), a.size()},
                       {const_cast<std::uint8_t*>(b.data()), b.size()}};
    iovec* next = pieces;
    int count = 2;
    std::size_t taken = 0;
    while (count > 0)
    {
        if (next->iov_len == 0)
        {
            ++next;
            --count;
            continue;
        }
        if (FShutdown.load())
        {
            throw EIdClosedSocket("Disconnected.");
        }
        msghdr msg{};
        msg.msg_iov = next;
        msg.msg_iovlen = static_cast<std::size_t>(count);
        const ssize_t r = ::sendmsg(FSocket.Handle(), &msg, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (r > 0)
        {
            std::size_t sent = static_cast<std::size_t>(r);
            taken += sent;
            while (count > 0 && sent >= next->iov_len)
            {
                sent -= next->iov_len;
                ++next;
                --count;
            }
            if (count > 0)
            {
                next->iov_base = static_cast<std::uint8_t*>(next->iov_base) + sent;
                next->iov_len -= sent;
            }
            continue;
        }
        const int err = r < 0 ? errno : EPIPE;
        if (err == EINTR)
        {
            continue;
        }
        if (err == EAGAIN || err == EWOULDBLOCK)
        {
            break;
        }
        if (FShutdown.load())
        {
            throw EIdClosedSocket("Disconnected.");
        }
        RaiseSocketError(err);
    }
    return taken;
}

std::size_t TkbzSocketIOHandler::TrySend(const std::uint8_t* data, std::size_t n)
{
    std::lock_guard guard(FSendLock);
    std::size_t sent = 0;
    while (sent < n)
    {
        if (FShutdown.load())
        {
            throw EIdClosedSocket("Disconnected.");
        }
        const ssize_t r =
            ::send(FSocket.Handle(), data + sent, n - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (r > 0)
        {
            sent += static_cast<std::size_t>(r);
            continue;
        }
        const int err = r < 0 ? errno : EPIPE;
        if (err == EINTR)
        {
            continue;
        }
        if (err == EAGAIN || err == EWOULDBLOCK)
        {
            break;
        }
        if (FShutdown.load())
        {
            throw EIdClosedSocket("Disconnected.");
        }
        RaiseSocketError(err);
    }
    return sent;
}

void TkbzSocketIOHandler::Shutdown() noexcept
{
    if (FShutdown.exchange(true))
    {
        return;
    }
    if (FSocket.Valid())
    {
        ::shutdown(FSocket.Handle(), SHUT_RDWR);
    }
    Wake();
}

void TkbzSocketIOHandler::ShutdownWrite() noexcept
{
    if (FSocket.Valid() && !FShutdown.load())
    {
        ::shutdown(FSocket.Handle(), SHUT_WR);
    }
}

bool TkbzSocketIOHandler::Connected() const noexcept
{
    return FSocket.Valid() && !FShutdown.load() && !FPeerClosed.load();
}

TkbzSocketBinding TkbzSocketIOHandler::Binding() const
{
    TkbzSocketBinding b;
    sockaddr_storage addr{};
    socklen_t len = sizeof(addr);
    if (::getpeername(FSocket.Handle(), reinterpret_cast<sockaddr*>(&addr), &len) == 0)
    {
        b.IP = NumericHost(reinterpret_cast<sockaddr*>(&addr), len, b.Port);
        b.IPVersion = addr.ss_family == AF_INET6 ? TwsIPVersion::ipV6 : TwsIPVersion::ipV4;
    }
    len = sizeof(addr);
    if (::getsockname(FSocket.Handle(), reinterpret_cast<sockaddr*>(&addr), &len) == 0)
    {
        b.LocalIP = NumericHost(reinterpret_cast<sockaddr*>(&addr), len, b.LocalPort);
        b.IPVersion = addr.ss_family == AF_INET6 ? TwsIPVersion::ipV6 : TwsIPVersion::ipV4;
    }
    return b;
}

void TkbzSocketIOHandler::SetSendTimeout(int ms)
{
    timeval tv{};
    if (ms > 0)
    {
        tv.tv_sec = ms / 1000;
        tv.tv_usec = static_cast<suseconds_t>((ms % 1000) * 1000);
    }
    if (::setsockopt(FSocket.Handle(), SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv)) != 0)
    {
        RaiseSocketError(errno);
    }
}

void TkbzSocketIOHandler::SetKeepAlive(bool enabled, int timeMs, int intervalMs)
{
    const int fd = FSocket.Handle();
    SetIntOption(fd, SOL_SOCKET, SO_KEEPALIVE, enabled ? 1 : 0);
    if (enabled)
    {
        // The kernel counts in whole seconds; a sub-second setting still probes.
        SetIntOption(fd, IPPROTO_TCP, TCP_KEEPIDLE, std::max(1, timeMs / 1000));
        SetIntOption(fd, IPPROTO_TCP, TCP_KEEPINTVL, std::max(1, intervalMs / 1000));
    }
}

void TkbzSocketIOHandler::SetNoDelay(bool noDelay)
{
    SetIntOption(FSocket.Handle(), IPPROTO_TCP, TCP_NODELAY, noDelay ? 1 : 0);
}

// ---- Descriptor limit ----

int kbzRaiseDescriptorLimit() noexcept
{
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0)
    {
        return 1024;
    }
    if (limit.rlim_cur < limit.rlim_max)
    {
        rlimit raised = limit;
        raised.rlim_cur = limit.rlim_max;
        if (::setrlimit(RLIMIT_NOFILE, &raised) == 0)
        {
            limit = raised;
        }
    }
    constexpr rlim_t kMax = 1 << 30;
    return static_cast<int>(limit.rlim_cur == RLIM_INFINITY ? kMax
                                                            : std::min(limit.rlim_cur, kMax));
}

// ---- kbzConnectTCP ----

namespace
{

// Binds fd to a local port of [minPort, maxPort] on the wildcard address of family.
bool BindLocalPort(int fd, int family, std::uint16_t minPort, std::uint16_t maxPort, int& err)
{
    SetIntOption(fd, SOL_SOCKET, SO_REUSEADDR, 1);
    for (std::uint32_t p = minPort; p <= maxPort; ++p)
    {
        sockaddr_storage local{};
        socklen_t len = 0;
        if (family == AF_INET6)
        {
            auto* a6 = reinterpret_cast<sockaddr_in6*>(&local);
            a6->sin6_family = AF_INET6;
            a6->sin6_addr = in6addr_any;
            a6->sin6_port = htons(static_cast<std::uint16_t>(p));
            len = sizeof(sockaddr_in6);
        }
        else
        {
            auto* a4 = reinterpret_cast<sockaddr_in*>(&local);
            a4->sin_family = AF_INET;
            a4->sin_addr.s_addr = htonl(INADDR_ANY);
            a4->sin_port = htons(static_cast<std::uint16_t>(p));
            len = sizeof(sockaddr_in);
        }
        if (::bind(fd, reinterpret_cast<sockaddr*>(&local), len) == 0)
        {
            return true;
        }
        err = errno;
    }
    return false;
}

} // namespace

TkbzSocket kbzConnectTCP(const std::string& host, std::uint16_t port, TwsIPVersion ipVersion,
                         int timeoutMs, std::uint16_t boundPortMin, std::uint16_t boundPortMax,
                         int cancelFd)
{
    std::string name = host;
    if (name.size() >= 2 && name.front() == '[' && name.back() == ']')
    {
        name = name.substr(1, name.size() - 2);
    }
    if (name.empty())
    {
        throw EIdResolveError("Could not resolve an empty host name.");
    }
    addrinfo hints{};
    // An address literal names its own family, whatever the IP version asked for.
    in6_addr literal6{};
    const bool isV6Literal = ::inet_pton(AF_INET6, name.c_str(), &literal6) == 1;
    hints.ai_family = ipVersion == TwsIPVersion::ipV6 || isV6Literal ? AF_INET6 : AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* list = nullptr;
    const std::string service = std::to_string(port);
    const int rc = ::getaddrinfo(name.c_str(), service.c_str(), &hints, &list);
    if (rc != 0 || list == nullptr)
    {
        throw EIdResolveError("Could not resolve host '" + name + "': " +
                              (rc == EAI_SYSTEM ? std::system_category().message(errno)
                                                : std::string(::gai_strerror(rc))) +
                              ".");
    }
    std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> guard(list, &::freeaddrinfo);

    const Deadline deadline = DeadlineIn(timeoutMs > 0 ? timeoutMs : 30000);
    if (boundPortMin != 0 && boundPortMax < boundPortMin)
    {
        boundPortMax = boundPortMin;
    }
    int lastErr = ECONNREFUSED;
    for (const addrinfo* ai = list; ai != nullptr; ai = ai->ai_next)
    {
        TkbzSocket sock(::socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK,
                                 ai->ai_protocol));
        if (!sock.Valid())
        {
            lastErr = errno;
            continue;
        }
        if (boundPortMin != 0)
        {
            int bindErr = EADDRINUSE;
            if (!BindLocalPort(sock.Handle(), ai->ai_family, boundPortMin, boundPortMax, bindErr))
            {
                throw EIdCouldNotBindSocket(
                    "Could not bind socket to a local port in " + std::to_string(boundPortMin) +
                    ".." + std::to_string(boundPortMax) + ". " + SocketErrorText(bindErr));
            }
        }
        int r = ::connect(sock.Handle(), ai->ai_addr, ai->ai_addrlen);
        if (r != 0 && errno == EINPROGRESS)
        {
            pollfd pfd[2] = {{sock.Handle(), POLLOUT, 0}, {cancelFd, POLLIN, 0}};
            const int pr = PollFor(pfd, cancelFd >= 0 ? 2 : 1, MsLeft(deadline));
            if (pr > 0 && cancelFd >= 0 && (pfd[1].revents & POLLIN) != 0)
            {
                throw EIdClosedSocket("Connect cancelled.");
            }
            if (pr == 0)
            {
                // The time limit covers the whole attempt, not each address.
                throw EIdConnectTimeout("Connect timed out.");
            }
            if (pr < 0)
            {
                lastErr = errno;
                continue;
            }
            int soErr = 0;
            socklen_t len = sizeof(soErr);
            if (::getsockopt(sock.Handle(), SOL_SOCKET, SO_ERROR, &soErr, &len) != 0)
            {
                soErr = errno;
            }
            r = soErr == 0 ? 0 : -1;
            errno = soErr;
        }
        if (r != 0)
        {
            lastErr = errno;
            if (Expired(deadline))
            {
                break;
            }
            continue;
        }
        SetBlocking(sock.Handle(), true);
        return sock;
    }
    RaiseSocketError(lastErr);
}

// ---- In-memory channel pair ----

namespace
{

struct MemoryShared
{
    std::mutex lock;
    std::condition_variable changed;
    std::deque<std::vector<std::uint8_t>> chunks[2]; // chunks[i]: bytes waiting for end i
    std::size_t frontOffset[2] = {0, 0};             // consumed part of chunks[i].front()
    bool shut[2] = {false, false};
    bool eofSeen[2] = {false, false};
    bool woken[2] = {false, false};
};

class TkbzMemoryIOHandler : public TkbzIOHandler
{
public:
    TkbzMemoryIOHandler(std::shared_ptr<MemoryShared> shared, int side)
        : FShared(std::move(shared)), FSide(side), FPeer(1 - side)
    {}
    ~TkbzMemoryIOHandler() override { Shutdown(); }

    bool Readable(int ms) override
    {
        std::unique_lock lk(FShared->lock);
        auto ready = [this] { return ReadyLocked() || FShared->woken[FSide]; };
        if (ms < 0)
        {
            FShared->changed.wait(lk, ready);
        }
        else
        {
            FShared->changed.wait_for(lk, std::chrono::milliseconds(ms), ready);
        }
        FShared->woken[FSide] = false;
        return ReadyLocked();
    }

    void Wake() noexcept override
    {
        {
            std::lock_guard lk(FShared->lock);
            FShared->woken[FSide] = true;
        }
        FShared->changed.notify_all();
    }

    std::size_t Recv(std::uint8_t* buffer, std::size_t n) override
    {
        if (n == 0)
        {
            return 0;
        }
        std::unique_lock lk(FShared->lock);
        FShared->changed.wait(lk, [this] { return ReadyLocked(); });
        if (FShared->shut[FSide])
        {
            throw EIdClosedSocket("Disconnected.");
        }
        auto& queue = FShared->chunks[FSide];
        if (queue.empty())
        {
            FShared->eofSeen[FSide] = true;
            return 0;
        }
        auto& front = queue.front();
        std::size_t& offset = FShared->frontOffset[FSide];
        const std::size_t count = std::min(n, front.size() - offset);
        std::memcpy(buffer, front.data() + offset, count);
        offset += count;
        if (offset == front.size())
        {
            queue.pop_front();
            offset = 0;
        }
        return count;
    }

    void Send(const std::uint8_t* data, std::size_t n) override
    {
        {
            std::lock_guard lk(FShared->lock);
            if (FShared->shut[FSide])
            {
                throw EIdClosedSocket("Disconnected.");
            }
            if (FShared->shut[FPeer])
            {
                RaiseSocketError(EPIPE);
            }
            if (n == 0)
            {
                return;
            }
            FShared->chunks[FPeer].emplace_back(data, data + n);
        }
        FShared->changed.notify_all();
    }

    void Shutdown() noexcept override
    {
        {
            std::lock_guard lk(FShared->lock);
            FShared->shut[FSide] = true;
        }
        FShared->changed.notify_all();
    }

    bool Connected() const noexcept override
    {
        std::lock_guard lk(FShared->lock);
        return !FShared->shut[FSide] && !FShared->eofSeen[FSide];
    }

private:
    bool ReadyLocked() const
    {
        return FShared->shut[FSide] || FShared->shut[FPeer] || !FShared->chunks[FSide].empty();
    }

    std::shared_ptr<MemoryShared> FShared;
    int FSide;
    int FPeer;
};

} // namespace

std::pair<std::unique_ptr<TkbzIOHandler>, std::unique_ptr<TkbzIOHandler>> kbzMemoryIOHandlerPair()
{
    auto shared = std::make_shared<MemoryShared>();
    return {std::make_unique<TkbzMemoryIOHandler>(shared, 0),
            std::make_unique<TkbzMemoryIOHandler>(shared, 1)};
}

// ---- TkbzIdTCPConnection ----

namespace
{
constexpr std::size_t kReadPiece = 64 * 1024;
// Above this, an emptied input buffer gives its memory back.
constexpr std::size_t kKeepCapacity = 1024 * 1024;
} // namespace

TkbzIdTCPConnection::TkbzIdTCPConnection() = default;

TkbzIdTCPConnection::TkbzIdTCPConnection(std::unique_ptr<TkbzIOHandler> handler)
    : FIOHandler(std::move(handler))
{}

TkbzIdTCPConnection::~TkbzIdTCPConnection() = default;

void TkbzIdTCPConnection::SetIOHandler(std::unique_ptr<TkbzIOHandler> handler)
{
    std::unique_ptr<TkbzIOHandler> old;
    {
        std::scoped_lock locks(FReadLock, FWriteLock, FHandlerLock, FInputLock);
        old = std::exchange(FIOHandler, std::move(handler));
        if (FIOHandler)
        {
            FInput.clear();
            FInputStart = 0;
            ++FInputEpoch;
            FWriteBuffer.clear();
            FWriteBuffering = false;
            FPeerClosed.store(false);
            FDisconnected.store(false);
            FNotified.store(false);
            FGeneration.fetch_add(1);
        }
    }
    // old is released here, outside the locks.
}

std::unique_ptr<TkbzIOHandler> TkbzIdTCPConnection::ReleaseIOHandler()
{
    std::scoped_lock locks(FReadLock, FWriteLock, FHandlerLock);
    return std::move(FIOHandler);
}

void TkbzIdTCPConnection::WrapIOHandler(
    const std::function<std::unique_ptr<TkbzIOHandler>(std::unique_ptr<TkbzIOHandler>)>& wrap)
{
    // wrap runs outside the locks: it may report (a log file that cannot be opened).
    std::unique_ptr<TkbzIOHandler> current = ReleaseIOHandler();
    if (!current)
    {
        return;
    }
    std::unique_ptr<TkbzIOHandler> wrapped = wrap(std::move(current));
    std::scoped_lock locks(FReadLock, FWriteLock, FHandlerLock);
    FIOHandler = std::move(wrapped);
}

bool TkbzIdTCPConnection::HasIOHandler() const
{
    std::lock_guard guard(FHandlerLock);
    return FIOHandler != nullptr;
}

std::size_t TkbzIdTCPConnection::InputBufferSize() const
{
    std::lock_guard guard(FInputLock);
    return FInput.size() - FInputStart;
}

std::string TkbzIdTCPConnection::InputBufferAsString(std::size_t maxLength) const
{
    std::lock_guard guard(FInputLock);
    const std::size_t n = std::min(maxLength, FInput.size() - FInputStart);
    return std::string(reinterpret_cast<const char*>(FInput.data() + FInputStart), n);
}

std::vector<std::uint8_t> TkbzIdTCPConnection::InputBufferPeek(std::size_t maxLength) const
{
    std::lock_guard guard(FInputLock);
    const std::size_t n = std::min(maxLength, FInput.size() - FInputStart);
    const auto first = FInput.begin() + static_cast<std::ptrdiff_t>(FInputStart);
    return std::vector<std::uint8_t>(first, first + static_cast<std::ptrdiff_t>(n));
}

void TkbzIdTCPConnection::CompactInput()
{
    if (FInputStart == FInput.size())
    {
        FInput.clear();
        FInputStart = 0;
        if (FInput.capacity() > kKeepCapacity)
        {
            FInput.shrink_to_fit();
        }
    }
    else if (FInputStart >= kReadPiece && FInputStart * 2 >= FInput.size())
    {
        // Moving the unread tail to the front is cheap once most of the buffer is consumed.
        FInput.erase(FInput.begin(), FInput.begin() + static_cast<std::ptrdiff_t>(FInputStart));
        FInputStart = 0;
    }
}

std::size_t TkbzIdTCPConnection::InputBufferRemove(std::size_t n)
{
    std::lock_guard guard(FInputLock);
    const std::size_t count = std::min(n, FInput.size() - FInputStart);
    FInputStart += count;
    ++FInputEpoch;
    CompactInput();
    return count;
}

std::size_t TkbzIdTCPConnection::InputBufferConsume(
    const std::function<std::size_t(std::span<const std::uint8_t>)>& consume)
{
    std::lock_guard guard(FInputLock);
    const std::span<const std::uint8_t> buffered(FInput.data() + FInputStart,
                                                 FInput.size() - FInputStart);
    const std::size_t used = std::min(consume(buffered), buffered.size());
    if (used > 0)
    {
        FInputStart += used;
        ++FInputEpoch;
        CompactInput();
    }
    return used;
}

void TkbzIdTCPConnection::InputBufferClear()
{
    std::lock_guard guard(FInputLock);
    FInputStart = FInput.size();
    ++FInputEpoch;
    CompactInput();
}

bool TkbzIdTCPConnection::WaitReadable(int ms)
{
    std::lock_guard reading(FReadLock);
    TkbzIOHandler* h = FIOHandler.get();
    if (h == nullptr || FDisconnected.load() || FPeerClosed.load())
    {
        return false;
    }
    return h->Readable(ms);
}

std::size_t TkbzIdTCPConnection::CheckForDataOnSource(int ms)
{
    std::lock_guard reading(FReadLock);
    TkbzIOHandler* h = FIOHandler.get();
    if (h == nullptr || FDisconnected.load() || FPeerClosed.load())
    {
        return 0;
    }
    if (!h->Readable(ms) || FDisconnected.load())
    {
        return 0;
    }
    // One scratch piece per reading thread, not per connection, and left
    // uninitialised: only the pages that reads fill become resident, so an
    // idle connection (or its thread) holds a page of it, not 64 KiB.
    thread_local const auto chunk = std::make_unique_for_overwrite<std::uint8_t[]>(kReadPiece);
    std::size_t got = 0;
    try
    {
        got = h->Recv(chunk.get(), kReadPiece);
    }
    catch (const EIdClosedSocket&)
    {
        if (FDisconnected.load())
        {
            return 0; // our own Disconnect ended the read
        }
        throw;
    }
    if (got == 0)
    {
        FPeerClosed.store(true);
        return 0;
    }
    std::lock_guard guard(FInputLock);
    FInput.insert(FInput.end(), chunk.get(), chunk.get() + got);
    return got;
}

std::size_t TkbzIdTCPConnection::ReadAvailable(std::vector<std::uint8_t>& dst, std::size_t maxCount)
{
    std::lock_guard guard(FInputLock);
    const std::size_t n = std::min(maxCount, FInput.size() - FInputStart);
    const auto first = FInput.begin() + static_cast<std::ptrdiff_t>(FInputStart);
    dst.insert(dst.end(), first, first + static_cast<std::ptrdiff_t>(n));
    FInputStart += n;
    CompactInput();
    return n;
}

TkbzIdTCPConnection::TWait TkbzIdTCPConnection::FillOnce(int msLeft)
{
    if (FDisconnected.load())
    {
        return TWait::wDisconnected;
    }
    if (FPeerClosed.load())
    {
        return TWait::wPeerClosed;
    }
    if (CheckForDataOnSource(msLeft) > 0)
    {
        return TWait::wData;
    }
    if (FDisconnected.load())
    {
        return TWait::wDisconnected;
    }
    if (FPeerClosed.load())
    {
        return TWait::wPeerClosed;
    }
    {
        std::lock_guard guard(FHandlerLock);
        if (FIOHandler == nullptr)
        {
            return TWait::wDisconnected;
        }
    }
    return TWait::wTimeout;
}

void TkbzIdTCPConnection::RaiseWaitFailure(TWait w) const
{
    switch (w)
    {
    case TWait::wPeerClosed:
        throw EIdConnClosedGracefully("Connection Closed Gracefully.");
    case TWait::wDisconnected:
        throw EIdClosedSocket("Disconnected.");
    default:
        throw EIdReadTimeout("Read timed out.");
    }
}

void TkbzIdTCPConnection::ReadBytes(std::vector<std::uint8_t>& dst, std::size_t count, bool append)
{
    const Deadline deadline = DeadlineIn(ReadTimeout > 0 ? ReadTimeout : -1);
    for (;;)
    {
        {
            std::lock_guard guard(FInputLock);
            if (FInput.size() - FInputStart >= count)
            {
                const auto first = FInput.begin() + static_cast<std::ptrdiff_t>(FInputStart);
                if (append)
                {
                    dst.insert(dst.end(), first, first + static_cast<std::ptrdiff_t>(count));
                }
                else
                {
                    dst.assign(first, first + static_cast<std::ptrdiff_t>(count));
                }
                FInputStart += count;
                CompactInput();
                return;
            }
        }
        if (Expired(deadline))
        {
            RaiseWaitFailure(TWait::wTimeout);
        }
        const TWait w = FillOnce(MsLeft(deadline));
        if (w == TWait::wPeerClosed || w == TWait::wDisconnected)
        {
            RaiseWaitFailure(w);
        }
    }
}

namespace
{

// Takes one line out of [data, data + size) when it holds a LF; scanned keeps
// how far earlier calls looked so a long line is not searched again.
std::optional<std::string> TakeLine(const std::uint8_t* data, std::size_t size,
                                    std::size_t& scanned, std::size_t maxLength,
                                    std::size_t& consumed)
{
    if (scanned > size)
    {
        scanned = 0;
    }
    // An empty vector has no data pointer, and memchr wants one.
    const void* lf = size > scanned ? std::memchr(data + scanned, '\n', size - scanned) : nullptr;
    if (lf == nullptr)
    {
        scanned = size;
        // One byte of slack for the CR that may precede the LF still to come.
        if (size > maxLength + 1)
        {
            throw EIdMaxLineLengthExceeded("Max line length exceeded.");
        }
        return std::nullopt;
    }
    std::size_t len = static_cast<std::size_t>(static_cast<const std::uint8_t*>(lf) - data);
    consumed = len + 1;
    if (len > 0 && data[len - 1] == '\r')
    {
        --len;
    }
    if (len > maxLength)
    {
        throw EIdMaxLineLengthExceeded("Max line length exceeded.");
    }
    return std::string(reinterpret_cast<const char*>(data), len);
}

} // namespace

std::string TkbzIdTCPConnection::ReadLn(std::size_t maxLength)
{
    const Deadline deadline = DeadlineIn(ReadTimeout > 0 ? ReadTimeout : -1);
    std::size_t scanned = 0;
    std::uint64_t epoch = 0;
    for (;;)
    {
        {
            std::lock_guard guard(FInputLock);
            if (epoch != FInputEpoch)
            {
                scanned = 0;
                epoch = FInputEpoch;
            }
            std::size_t consumed = 0;
            auto line = TakeLine(FInput.data() + FInputStart, FInput.size() - FInputStart, scanned,
                                 maxLength, consumed);
            if (line)
            {
                FInputStart += consumed;
                CompactInput();
                return std::move(*line);
            }
        }
        if (Expired(deadline))
        {
            RaiseWaitFailure(TWait::wTimeout);
        }
        const TWait w = FillOnce(MsLeft(deadline));
        if (w == TWait::wPeerClosed || w == TWait::wDisconnected)
        {
            RaiseWaitFailure(w);
        }
    }
}

std::vector<std::string> TkbzIdTCPConnection::ReadHeaderLines(int timeoutMs, std::size_t maxBytes)
{
    const int limit = timeoutMs > 0 ? timeoutMs : (ReadTimeout > 0 ? ReadTimeout : -1);
    const Deadline deadline = DeadlineIn(limit);
    std::vector<std::string> lines;
    std::size_t total = 0;
    std::size_t scanned = 0;
    std::uint64_t epoch = 0;
    for (;;)
    {
        bool progressed = true;
        while (progressed)
        {
            progressed = false;
            std::lock_guard guard(FInputLock);
            const std::size_t room = maxBytes - total;
            std::size_t consumed = 0;
            const std::size_t avail = FInput.size() - FInputStart;
            // Lines are searched only within the bytes still allowed by maxBytes.
            const std::size_t window = std::min(avail, room);
            if (epoch != FInputEpoch)
            {
                scanned = 0;
                epoch = FInputEpoch;
            }
            auto line = TakeLine(FInput.data() + FInputStart, window, scanned, maxBytes, consumed);
            if (!line)
            {
                if (avail >= room)
                {
                    throw EIdMaxLineLengthExceeded("Header block exceeds " +
                                                   std::to_string(maxBytes) + " bytes.");
                }
                break;
            }
            FInputStart += consumed;
            CompactInput();
            total += consumed;
            scanned = 0;
            if (line->empty())
            {
                return lines;
            }
            lines.push_back(std::move(*line));
            progressed = true;
        }
        if (Expired(deadline))
        {
            RaiseWaitFailure(TWait::wTimeout);
        }
        const TWait w = FillOnce(MsLeft(deadline));
        if (w == TWait::wPeerClosed || w == TWait::wDisconnected)
        {
            RaiseWaitFailure(w);
        }
    }
}

void TkbzIdTCPConnection::Write(const std::uint8_t* data, std::size_t n)
{
    std::lock_guard guard(FWriteLock);
    if (FWriteBuffering)
    {
        FWriteBuffer.insert(FWriteBuffer.end(), data, data + n);
        return;
    }
    if (n == 0)
    {
        return;
    }
    if (FIOHandler == nullptr)
    {
        throw EIdNotConnected("Not Connected");
    }
    if (FDisconnected.load())
    {
        throw EIdClosedSocket("Disconnected.");
    }
    FIOHandler->Send(data, n);
}

void TkbzIdTCPConnection::Write2(std::span<const std::uint8_t> a, std::span<const std::uint8_t> b)
{
    std::lock_guard guard(FWriteLock);
    if (FWriteBuffering)
    {
        FWriteBuffer.insert(FWriteBuffer.end(), a.begin(), a.end());
        FWriteBuffer.insert(FWriteBuffer.end(), b.begin(), b.end());
        return;
    }
    if (a.empty() && b.empty())
    {
        return;
    }
    if (FIOHandler == nullptr)
    {
        throw EIdNotConnected("Not Connected");
    }
    if (FDisconnected.load())
    {
        throw EIdClosedSocket("Disconnected.");
    }
    FIOHandler->Send2(a, b);
}

void TkbzIdTCPConnection::Write(std::string_view text)
{
    Write(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
}

void TkbzIdTCPConnection::WriteLn(std::string_view text)
{
    std::string line;
    line.reserve(text.size() + 2);
    line.append(text).append("\r\n");
    Write(line);
}

void TkbzIdTCPConnection::WriteBufferOpen()
{
    std::lock_guard guard(FWriteLock);
    FWriteBuffering = true;
}

void TkbzIdTCPConnection::WriteBufferFlush()
{
    std::lock_guard guard(FWriteLock);
    if (FWriteBuffer.empty())
    {
        return;
    }
    // Taken out first: a failed send must not leave half a frame to be sent again.
    std::vector<std::uint8_t> pending;
    pending.swap(FWriteBuffer);
    if (FIOHandler == nullptr)
    {
        throw EIdNotConnected("Not Connected");
    }
    if (FDisconnected.load())
    {
        throw EIdClosedSocket("Disconnected.");
    }
    FIOHandler->Send(pending.data(), pending.size());
}

void TkbzIdTCPConnection::WriteBufferClose()
{
    std::lock_guard guard(FWriteLock);
    FWriteBuffering = false;
    if (FWriteBuffer.empty())
    {
        return;
    }
    std::vector<std::uint8_t> pending;
    pending.swap(FWriteBuffer);
    if (FIOHandler == nullptr)
    {
        throw EIdNotConnected("Not Connected");
    }
    if (FDisconnected.load())
    {
        throw EIdClosedSocket("Disconnected.");
    }
    FIOHandler->Send(pending.data(), pending.size());
}

void TkbzIdTCPConnection::WriteBufferClear()
{
    std::lock_guard guard(FWriteLock);
    FWriteBuffering = false;
    FWriteBuffer.clear();
}

bool TkbzIdTCPConnection::WriteBufferOpened() const
{
    std::lock_guard guard(FWriteLock);
    return FWriteBuffering;
}

bool TkbzIdTCPConnection::Connected() const
{
    if (FDisconnected.load())
    {
        return false;
    }
    {
        std::lock_guard guard(FHandlerLock);
        if (FIOHandler == nullptr)
        {
            return false;
        }
        if (FIOHandler->Connected() && !FPeerClosed.load())
        {
            return true;
        }
    }
    return !InputBufferIsEmpty();
}

bool TkbzIdTCPConnection::CheckForDisconnect(bool raiseException, bool ignoreBuffer)
{
    bool gone = FDisconnected.load() || FPeerClosed.load();
    if (!gone)
    {
        std::lock_guard guard(FHandlerLock);
        gone = FIOHandler == nullptr || !FIOHandler->Connected();
    }
    if (!gone || (!ignoreBuffer && !InputBufferIsEmpty()))
    {
        return false;
    }
    if (raiseException)
    {
        throw EIdConnClosedGracefully("Connection Closed Gracefully.");
    }
    return true;
}

bool TkbzIdTCPConnection::WriteBacklogged() const
{
    std::lock_guard guard(FHandlerLock);
    return FIOHandler && FIOHandler->Backlogged();
}

void TkbzIdTCPConnection::WakeReader() noexcept
{
    std::lock_guard guard(FHandlerLock);
    if (FIOHandler)
    {
        FIOHandler->Wake();
    }
}

void TkbzIdTCPConnection::ShutdownQuietly(bool notifyPeer) noexcept
{
    FNotified.store(true);
    FDisconnected.store(true);
    std::lock_guard guard(FHandlerLock);
    if (FIOHandler)
    {
        if (notifyPeer)
        {
            FIOHandler->Close();
        }
        else
        {
            FIOHandler->Shutdown();
        }
    }
}

void TkbzIdTCPConnection::ShutdownChannel(bool notifyPeer) noexcept
{
    FDisconnected.store(true);
    std::lock_guard guard(FHandlerLock);
    if (FIOHandler)
    {
        if (notifyPeer)
        {
            FIOHandler->Close();
        }
        else
        {
            FIOHandler->Shutdown();
        }
    }
}

void TkbzIdTCPConnection::Disconnect(bool notifyPeer)
{
    ShutdownChannel(notifyPeer);
    RaiseDisconnected();
}

bool TkbzIdTCPConnection::HalfClose()
{
    std::lock_guard guard(FHandlerLock);
    if (FIOHandler == nullptr || FDisconnected.load())
    {
        return false;
    }
    FIOHandler->ShutdownWrite();
    return true;
}

void TkbzIdTCPConnection::LingerAfterClose(int totalMs, int idleMs)
{
    if (!HalfClose())
    {
        return;
    }
    const Deadline deadline = DeadlineIn(std::max(0, totalMs));
    try
    {
        while (!FDisconnected.load() && !FPeerClosed.load() && !Expired(deadline))
        {
            const std::size_t got =
                CheckForDataOnSource(std::min(MsLeft(deadline), std::max(1, idleMs)));
            InputBufferClear();
            if (got == 0 && !FPeerClosed.load())
            {
                break; // quiet: nothing is in flight that could reset the connection
            }
        }
    }
    catch (const std::exception&)
    {
        // A reset or a closed socket ends the wait as well as the peer's end would.
    }
    InputBufferClear();
}

void TkbzIdTCPConnection::RaiseDisconnected()
{
    if (FNotified.exchange(true))
    {
        return;
    }
    OnDisconnected();
}

TkbzSocketBinding TkbzIdTCPConnection::Binding() const
{
    std::lock_guard guard(FHandlerLock);
    return FIOHandler ? FIOHandler->Binding() : TkbzSocketBinding{};
}

} // namespace kbz
