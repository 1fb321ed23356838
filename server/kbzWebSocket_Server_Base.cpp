#include "server/kbzWebSocket_Server_Base.h"

#include "base/kbzBase_Helpers.h"

#include <algorithm>
#include <chrono>
#include <limits>
#include <thread>

namespace kbz
{

namespace
{

constexpr const char* kQueueFullText = "Connection dropped: send queue full.";
// The close code of a connection dropped for its full queue.
constexpr int kClosePolicyViolation = 1008;

// Items of a path split at "/" ("/a/b" gives "", "a", "b").
// "%XX" escapes of one path segment decoded; a "%" that starts no valid escape stays as it is.
std::string DecodeSegment(const std::string& segment)
{
    const auto hex = [](char c) -> int {
        if (c >= '0' && c <= '9')
        {
            return c - '0';
        }
        if (c >= 'A' && c <= 'F')
        {
            return c - 'A' + 10;
        }
        if (c >= 'a' && c <= 'f')
        {
            return c - 'a' + 10;
        }
        return -1;
    };
    std::string out;
    out.reserve(segment.size());
    for (std::size_t i = 0; i < segment.size(); ++i)
    {
        if (segment[i] == '%' && i + 2 < segment.size() && hex(segment[i + 1]) >= 0 &&
            hex(segment[i + 2]) >= 0)
        {
            out.push_back(static_cast<char>(hex(segment[i + 1]) * 16 + hex(segment[i + 2])));
            i += 2;
        }
        else
        {
            out.push_back(segment[i]);
        }
    }
    return out;
}

std::vector<std::string> SplitPath(const std::string& path)
{
    std::vector<std::string> parts;
    std::size_t start = 0;
    for (;;)
    {
        const std::size_t slash = path.find('/', start);
        if (slash == std::string::npos)
        {
            parts.push_back(path.substr(start));
            return parts;
        }
        parts.push_back(path.substr(start, slash - start));
        start = slash + 1;
    }
}

constexpr std::string_view kPolicyRequest = "<policy-file-request/>";

// Components read small form bodies; larger ones are refused rather than buffered.
constexpr std::uint64_t kMaxFormBody = 64 * 1024;

// Whether the body behind a head of headLength bytes is whole in the input
// buffer, or can be refused at once (bad framing, over maxBody): reading it
// then never waits for the peer.
bool BodyBuffered(TkbzIdTCPConnection& tcp, const TkbzHTTPHead& head, std::size_t headLength,
                  std::uint64_t maxBody)
{
    const TkbzHTTPBodyFraming framing = kbzHTTPRequestFraming(head);
    if (framing.ErrorStatus != 0 || framing.Kind == TkbzHTTPBodyKind::hbkNone)
    {
        return true;
    }
    if (framing.Kind == TkbzHTTPBodyKind::hbkLength)
    {
        return framing.Length > maxBody || tcp.InputBufferSize() >= headLength + framing.Length;
    }
    TkbzHTTPBodyDecoder decoder(framing, maxBody);
    std::string body;
    tcp.InputBufferConsume([&](std::span<const std::uint8_t> bytes) -> std::size_t {
        if (bytes.size() > headLength)
        {
            decoder.Feed(std::string_view(reinterpret_cast<const char*>(bytes.data()) + headLength,
                                          bytes.size() - headLength),
                         body);
        }
        return 0;
    });
    return decoder.Done() || decoder.Failed();
}

// A GET whose Upgrade header lists "websocket" (any case, any blanks).
bool IsUpgradeRequest(const TkbzHTTPHead& head)
{
    return kbzSameText(head.Method, "GET") && head.Headers.HasToken("Upgrade", "websocket");
}

// An Accept header that names the event stream type (parameters aside).
bool IsEventStreamRequest(const TkbzHTTPHead& head)
{
    for (const std::string& item : head.Headers.Tokens("Accept"))
    {
        if (kbzSameText(kbzTrim(item.substr(0, item.find(';'))), "text/event-stream"))
        {
            return true;
        }
    }
    return false;
}

// A connection that has sent nothing yet, still to be offered as a raw TCP
// client once SilentClientTimeOut has passed.
bool SilentPending(const TkbzWSConnectionServer& c)
{
    return c.FSilentTimeOut > 0 && !c.FRequestHandled && c.FFirstInput == 0 && !c.Enabled();
}

TkbzWSConnectionServerPtr AsServerConnection(TkbzWSConnection& c)
{
    return std::static_pointer_cast<TkbzWSConnectionServer>(c.SharedFromThis());
}

} // namespace

// ---- TkbzWSServer_Indy_Base ----

TkbzWSServer_Indy_Base::TkbzWSServer_Indy_Base()
{
    Extensions().SetMode(TwsApplicationMode::appServer);
}

TkbzWSServer_Indy_Base::~TkbzWSServer_Indy_Base()
{
    SetDestroying();
    JoinServerThreads();
    ReleaseLoadBalancerLink();
    FreeTimers();
}

// ---- Start, Stop, ReStart ----

void TkbzWSServer_Indy_Base::RunServerThread(std::function<void()> f)
{
    {
        std::lock_guard guard(FThreadsLock);
        ++FThreads;
    }
    try
    {
        std::thread([this, f = std::move(f)]() mutable {
            {
                // The work (and what it holds) is gone before the destructor is released.
                auto work = std::move(f);
                try
                {
                    work();
                }
                catch (const std::exception& e)
                {
                    DoException(nullptr, e.what(), &e);
                }
                catch (...)
                {}
            }
            std::lock_guard guard(FThreadsLock);
            --FThreads;
            FThreadsDone.notify_all();
        }).detach();
    }
    catch (...)
    {
        std::lock_guard guard(FThreadsLock);
        --FThreads;
        FThreadsDone.notify_all();
        throw;
    }
}

void TkbzWSServer_Indy_Base::JoinServerThreads()
{
    std::unique_lock lock(FThreadsLock);
    FThreadsDone.wait(lock, [this] { return FThreads == 0; });
}

void TkbzWSServer_Indy_Base::SetActiveOnThread(bool active)
{
    if (IsDestroying())
    {
        return;
    }
    RunServerThread([this, active] {
        if (IsDestroying())
        {
            return;
        }
        std::lock_guard guard(CS());
        SetActive(active);
    });
}

void TkbzWSServer_Indy_Base::Start()
{
    SetActiveOnThread(true);
}

void TkbzWSServer_Indy_Base::Stop()
{
    SetActiveOnThread(false);
}

void TkbzWSServer_Indy_Base::ReStart()
{
    if (IsDestroying())
    {
        return;
    }
    // One thread does both steps in order, so the start never overtakes the stop.
    RunServerThread([this] {
        if (IsDestroying())
        {
            return;
        }
        std::lock_guard guard(CS());
        SetActive(false);
        if (!IsDestroying())
        {
            SetActive(true);
        }
    });
}

void TkbzWSServer_Indy_Base::StartTimers()
{
    StartHeartBeat();
    if (WatchDog().Enabled)
    {
        FWatchDogAttempts.store(0);
        StartWatchDog(WatchDog().Interval);
    }
}

void TkbzWSServer_Indy_Base::StopTimers()
{
    StopHeartBeatTimeout();
    StopHeartBeat();
    StopWatchDog();
}

void TkbzWSServer_Indy_Base::DoStartup()
{
    {
        std::lock_guard guard(FMonitorLock);
        FWatchDogMonitorSecret = kbzNewGuid();
    }
    OnStartup(*this);
    if (IkbzWSServerLoadBalancerLink* link = EnabledLoadBalancer())
    {
        link->Activate();
    }
}

void TkbzWSServer_Indy_Base::DoShutdown()
{
    IkbzWSServerLoadBalancerLink* link = nullptr;
    {
        std::lock_guard guard(FLoadBalancerLock);
        link = FClientLoadBalancer.get();
    }
    if (link)
    {
        link->Deactivate();
    }
    {
        std::lock_guard guard(FMonitorLock);
        FWatchDogMonitorSecret.clear();
    }
    OnShutdown(*this);
}

std::string TkbzWSServer_Indy_Base::WatchDogMonitorSecret() const
{
    std::lock_guard guard(FMonitorLock);
    return FWatchDogMonitorSecret;
}

bool TkbzWSServer_Indy_Base::IsWatchDogMonitor(const TkbzWSConnectionServerPtr& c,
                                               const std::string& requestLine)
{
    const TkbzWSWatchDogServer_Options& watchDog = WatchDog();
    if (!c || !watchDog.Enabled || !watchDog.Monitor.Enabled)
    {
        return false;
    }
    const std::string secret = WatchDogMonitorSecret();
    if (secret.empty() || requestLine.find("/" + secret) == std::string::npos)
    {
        return false;
    }
    // Only the server's own machine: the secret is no credential for anyone else.
    std::string ip = c->GetIP();
    if (ip.rfind("::ffff:", 0) == 0)
    {
        ip = ip.substr(7);
    }
    return ip == "::1" || ip.rfind("127.", 0) == 0;
}

// ---- Load balancer ----

void TkbzWSServer_Indy_Base::SetLoadBalancerLinkFactory(
    std::function<std::unique_ptr<IkbzWSServerLoadBalancerLink>()> factory)
{
    std::lock_guard guard(FLoadBalancerLock);
    FLoadBalancerFactory = std::move(factory);
}

IkbzWSServerLoadBalancerLink* TkbzWSServer_Indy_Base::GetClientLoadBalancer()
{
    std::lock_guard guard(FLoadBalancerLock);
    if (!FClientLoadBalancer && FLoadBalancerFactory && !IsDestroying())
    {
        FClientLoadBalancer = FLoadBalancerFactory();
    }
    return FClientLoadBalancer.get();
}

IkbzWSServerLoadBalancerLink* TkbzWSServer_Indy_Base::EnabledLoadBalancer()
{
    return FLoadBalancer.Enabled ? GetClientLoadBalancer() : nullptr;
}

void TkbzWSServer_Indy_Base::ReleaseLoadBalancerLink() noexcept
{
    std::unique_ptr<IkbzWSServerLoadBalancerLink> link;
    {
        std::lock_guard guard(FLoadBalancerLock);
        link = std::move(FClientLoadBalancer);
        FLoadBalancerFactory = nullptr;
    }
    try
    {
        link.reset();
    }
    catch (...)
    {}
}

void TkbzWSServer_Indy_Base::DoLoadBalancerError(const std::string& text) noexcept
{
    if (IsDestroying())
    {
        return;
    }
    try
    {
        OnLoadBalancerError(*this, text);
    }
    catch (...)
    {}
}

void TkbzWSServer_Indy_Base::ReportToLoadBalancer(const TkbzWSConnectionServerPtr& c,
                                                  bool active) noexcept
{
    try
    {
        if (IkbzWSServerLoadBalancerLink* link = EnabledLoadBalancer())
        {
            link->ConnectionChanged(c, active);
        }
    }
    catch (const std::exception& e)
    {
        DoLoadBalancerError(e.what());
    }
}

// ---- Connection list ----

std::vector<TkbzWSConnectionServerPtr> TkbzWSServer_Indy_Base::Connections() const
{
    std::lock_guard guard(FListLock);
    return FList;
}

std::size_t TkbzWSServer_Indy_Base::Count() const
{
    std::lock_guard guard(FListLock);
    return FList.size();
}

TkbzWSConnectionServerPtr TkbzWSServer_Indy_Base::GetConnectionByIndex(std::size_t index) const
{
    std::lock_guard guard(FListLock);
    return index < FList.size() ? FList[index] : nullptr;
}

TkbzWSConnectionServerPtr
TkbzWSServer_Indy_Base::GetConnectionByGuid(const std::string& aGuid) const
{
    std::lock_guard guard(FListLock);
    const auto it = FByGuid.find(aGuid);
    return it == FByGuid.end() ? nullptr : it->second;
}

void TkbzWSServer_Indy_Base::RemoveConnection(const TkbzWSConnectionServerPtr& c)
{
    // The last reference may go here: released outside the lock.
    TkbzWSConnectionServerPtr keep;
    std::lock_guard guard(FListLock);
    const auto it = std::find(FList.begin(), FList.end(), c);
    if (it != FList.end())
    {
        keep = *it;
        FList.erase(it);
    }
    FByGuid.erase(c->GetGuid());
}

std::shared_ptr<TkbzWSIdLogFileServer> TkbzWSServer_Indy_Base::LogWriter()
{
    std::lock_guard guard(FLogLock);
    return kbzLogWriterFor(FInterceptLogFile, LogFile().FileName, LogFile().UnMaskFrames,
                           [this](const std::string& error) { DoError(nullptr, error); });
}

// ---- Listener callbacks ----

TkbzWSConnectionServerPtr
TkbzWSServer_Indy_Base::OnListenerConnect(std::shared_ptr<TkbzIdTCPConnection> tcp,
                                          TwsIPVersion ipVersion)
{
    if (IsDestroying() || !tcp)
    {
        return nullptr;
    }
    auto c = std::make_shared<TkbzWSConnectionServer>();
    try
    {
        if (TkbzIOHandler* handler = tcp->GetIOHandler())
        {
            if (FOptions.WriteTimeOut > 0)
            {
                handler->SetSendTimeout(FOptions.WriteTimeOut);
            }
            if (TCPKeepAlive().Enabled)
            {
                handler->SetKeepAlive(true, TCPKeepAlive().Time, TCPKeepAlive().Interval);
            }
            c->FServerSSL = handler->IsTLS();
        }
        // The intercept chain (traffic log, throttle) of every engine's connection goes on here,
        // before its first byte is read.
        std::shared_ptr<TkbzWSIdLogFileServerConnection> log;
        if (LogFile().Enabled)
        {
            log = LogWriter()->Accept();
        }
        const std::int64_t bitsPerSec = FThrottle.Enabled ? FThrottle.BitsPerSec : 0;
        if (log || bitsPerSec > 0)
        {
            tcp->WrapIOHandler([&](std::unique_ptr<TkbzIOHandler> inner) {
                return std::make_unique<TkbzInterceptIOHandler>(std::move(inner), log, bitsPerSec);
            });
        }
        c->SetTrafficLog(log);
        c->SetStepLinger(true);
        c->FServerOriginsAllowed = FSecurityOptions.OriginsAllowed;
        c->FServerSameOrigin = FSecurityOptions.SameOrigin;
        c->FSilentTimeOut = SilentClientTimeOut;
        TkbzWSConnectionSettings settings = FOptions.ConnectionSettings();
        // Engines other than the default always raise at a disconnect.
        settings.RaiseDisconnectExceptions =
            settings.RaiseDisconnectExceptions ||
            FIOHandlerOptions.IOHandlerType != TwsIOHandler::iohDefault;
        c->SetSettings(settings);
        FBufferBudget->SetLimit(MaxBufferedBytes);
        c->SetBufferBudget(FBufferBudget);
        c->SetQueueOptions(FQueueOptions);
        c->SetExtensions(Extensions());
        c->Extensions().SetMode(TwsApplicationMode::appServer);
        c->Masked = false;
        c->Protocol = ProtocolNames();
        c->HandshakeTimeOut = RequestHeadTimeOut;
        c->TCPFlushIdle = TCPFlushIdle;
        c->FIPVersion = ipVersion;
        c->FAccepted = kbzGetTicks();
        c->FLastInput = c->FAccepted;
        c->SetTCPConnection(tcp);

        HookDataEvents(*c);
        c->OnUpdate = [this](TkbzWSConnection& conn, int type) {
            DoHandshakeDone(AsServerConnection(conn), type);
        };
        c->OnHandshake = [this](TkbzWSConnection& conn, std::vector<std::string>& headers) {
            DoNotifyHandshake(conn.SharedFromThis(), headers);
        };
        if (FAuthentication.Enabled)
        {
            c->OnAuthenticationHook = [this](TkbzWSConnectionServer& conn, const std::string& user,
                                             const std::string& password, bool& authenticated) {
                OnServerAuthenticationEvent(conn, user, password, authenticated);
            };
        }
        {
            std::lock_guard guard(FListLock);
            FList.push_back(c);
            FByGuid[c->GetGuid()] = c;
        }
        bool accept = true;
        if (OnTCPConnect)
        {
            if (GetNotifyEvents() == TwsNotifyEvent::neNoSync)
            {
                OnTCPConnect(c, accept);
            }
            else
            {
                kbzSynchronize([&] { OnTCPConnect(c, accept); });
            }
        }
        if (!accept)
        {
            throw TkbzWSException("Connection rejected by server.");
        }
    }
    catch (const std::exception& e)
    {
        DoError(c, e.what());
        RemoveConnection(c);
        c->FDisconnectHandled.store(true);
        return nullptr;
    }
    return c;
}

bool TkbzWSServer_Indy_Base::OnListenerExecute(const TkbzWSConnectionServerPtr& c)
{
    if (!c || IsDestroying())
    {
        return false;
    }
    TkbzIdTCPConnection* tcp = c->TCPConnection();
    if (!tcp)
    {
        return false;
    }
    try
    {
        const std::uint64_t now = kbzGetTicks();
        if (c->Lingering())
        {
            // Closed for the peer's error: what it still sends is dropped until
            // it ends or the linger is over, without holding up the engine.
            return c->LingerStep();
        }
        if (c->Disconnected() || c->GetMustDisconnect() || !tcp->Connected())
        {
            // A raw TCP peer that ended without a final line break still has
            // its last command run.
            c->FlushIdleTCPData(now, true);
            if (c->FQueueOverflow.exchange(false))
            {
                DoError(c, kQueueFullText);
            }
            tcp->InputBufferClear();
            c->TerminateConnection();
            return false;
        }
        if (c->FQueueOverflow.load() && !c->FOverflowClosed.exchange(true))
        {
            // Dropped for a full queue while its sends could still finish: what
            // waited is discarded, and a peer that reads again learns why. The
            // drop is reported when the connection has ended.
            c->ClearQueues();
            c->Close(kClosePolicyViolation);
            return !c->Disconnected();
        }
        if (c->HasQueues() && c->QueueDue())
        {
            c->DrainQueues();
        }
        c->SendRequestedPing();
        c->CheckCloseTimeOut();
        const bool waitingForRequest = !c->FRequestHandled || c->AwaitingKey3();
        if (tcp->InputBufferIsEmpty())
        {
            if (c->Enabled())
            {
                c->FlushIdleTCPData(now);
            }
            else if (SilentPending(*c) &&
                     now - c->FAccepted >= static_cast<std::uint64_t>(c->FSilentTimeOut))
            {
                // Silent for its time: a raw TCP client that only listens.
                c->FRequestHandled = true;
                DoUnknownProtocol(c);
            }
            else if (c->FHTTPActive)
            {
                if (c->FHTTPDeadline != 0 && now >= c->FHTTPDeadline)
                {
                    // Idle keep-alive, a request that stopped coming halfway, or
                    // a peer that stopped reading its answer.
                    DoCloseHTTPConnection(c);
                    return false;
                }
                if (c->FHTTPSending && !DoExecuteHTTP(c))
                {
                    DoCloseHTTPConnection(c);
                    return c->Lingering();
                }
            }
            else if (waitingForRequest)
            {
                if (now - c->FAccepted >=
                    static_cast<std::uint64_t>(std::max(1, RequestHeadTimeOut)))
                {
                    throw TkbzWSException(c->AwaitingKey3() ? "Error Decoding Header: WebSocket-Key"
                                                            : "Request head incomplete.");
                }
                if (ReadEmptySource > 0 && !c->FRequestHandled &&
                    now - c->FLastInput >=
                        static_cast<std::uint64_t>(ReadEmptySource) *
                            static_cast<std::uint64_t>(FOptions.GetReadTimeOut()))
                {
                    DoCloseHTTPConnection(c);
                    return false;
                }
            }
            return !c->Disconnected();
        }
        c->FLastInput = now;
        if (c->FFirstInput == 0)
        {
            c->FFirstInput = now;
        }
        if (c->Enabled())
        {
            c->ReadData(true);
        }
        else if (c->AwaitingKey3())
        {
            c->ReadData(true); // the rest of the handshake
        }
        else if (c->FHTTPActive)
        {
            if (!DoExecuteHTTP(c))
            {
                DoCloseHTTPConnection(c);
                return c->Lingering();
            }
            if (!c->FHTTPActive && !c->FRequestHandled && !tcp->InputBufferIsEmpty())
            {
                GatherAndClassify(c);
            }
        }
        else if (c->FRequestHandled)
        {
            // Answered already (a policy request): what follows is not read.
            tcp->InputBufferClear();
        }
        else
        {
            GatherAndClassify(c);
        }
        // Frames that came right behind the upgrade request are read in the same step.
        if (c->Enabled() && !tcp->InputBufferIsEmpty() && !c->Disconnected())
        {
            c->ReadData(true);
        }
    }
    catch (const EIdSilentException&)
    {
        c->TerminateConnection();
        return c->Lingering();
    }
    catch (const std::exception& e)
    {
        DoError(c, c->FQueueOverflow.exchange(false) ? std::string(kQueueFullText) : e.what());
        return c->Lingering();
    }
    return (!c->Disconnected() && !c->GetMustDisconnect()) || c->Lingering();
}

int TkbzWSServer_Indy_Base::ExecuteWaitLimit(const TkbzWSConnectionServerPtr& c) const
{
    if (!c)
    {
        return -1;
    }
    const std::uint64_t now = kbzGetTicks();
    std::int64_t limit = -1;
    const auto until = [&](std::uint64_t deadline) {
        const std::int64_t left =
            deadline > now ? static_cast<std::int64_t>(deadline - now) : std::int64_t{0};
        limit = limit < 0 ? left : std::min(limit, left);
    };
    if (const std::int64_t linger = c->LingerWaitLimit(); linger >= 0)
    {
        return static_cast<int>(std::min<std::int64_t>(linger, std::numeric_limits<int>::max()));
    }
    if (c->RequestedPingTime() != 0)
    {
        return 0;
    }
    if (c->HasQueues())
    {
        until(now + static_cast<std::uint64_t>(c->QueueWaitLimit(-1)));
    }
    if (SilentPending(*c))
    {
        until(c->FAccepted + static_cast<std::uint64_t>(c->FSilentTimeOut));
    }
    if (!c->FRequestHandled || c->AwaitingKey3())
    {
        until(c->FAccepted + static_cast<std::uint64_t>(std::max(1, RequestHeadTimeOut)));
        if (ReadEmptySource > 0 && !c->FRequestHandled)
        {
            until(c->FLastInput + static_cast<std::uint64_t>(ReadEmptySource) *
                                      static_cast<std::uint64_t>(FOptions.GetReadTimeOut()));
        }
    }
    if (c->FHTTPActive && c->FHTTPDeadline != 0)
    {
        until(c->FHTTPDeadline);
    }
    if (const std::int64_t close = c->CloseWaitLimit(); close >= 0)
    {
        until(now + static_cast<std::uint64_t>(close));
    }
    if (c->TCPFlushIdle > 0 && c->GetTransport() == TwsTransport::trpTCP && c->TCPPending() > 0)
    {
        until(c->FLastInput + static_cast<std::uint64_t>(c->TCPFlushIdle));
    }
    return static_cast<int>(std::min<std::int64_t>(limit, std::numeric_limits<int>::max()));
}

void TkbzWSServer_Indy_Base::OnListenerDisconnect(const TkbzWSConnectionServerPtr& c)
{
    if (!c || c->FDisconnectHandled.exchange(true))
    {
        return;
    }
    // Dropped for its full queue while its thread was not writing (it waited
    // for input, or the engine sends for it): the reason is told here.
    if (c->FQueueOverflow.exchange(false))
    {
        DoError(c, kQueueFullText);
    }
    RemoveConnection(c);
    const bool enabled = c->Enabled();
    c->SetDisconnected(true);
    if (!enabled)
    {
        c->MarkFreed();
        return;
    }
    if (IsDestroying())
    {
        c->MarkFreed();
        return;
    }
    // A drop for a full queue that ended in a closing handshake: said now, before its end.
    if (c->FQueueOverflow.exchange(false))
    {
        DoError(c, kQueueFullText);
    }
    ReportToLoadBalancer(c, false);
    try
    {
        DoNotifyDisconnect(c);
    }
    catch (const std::exception& e)
    {
        DoError(c, e.what());
    }
}

void TkbzWSServer_Indy_Base::OnListenerException(const TkbzWSConnectionServerPtr& c,
                                                 const std::exception& e)
{
    DoException(c, e.what(), &e);
}

void TkbzWSServer_Indy_Base::DoFreeConnection(const TkbzWSConnectionPtr& connection)
{
    if (connection)
    {
        connection->MarkFreed();
    }
}

// ---- The first request ----

void TkbzWSServer_Indy_Base::GatherAndClassify(const TkbzWSConnectionServerPtr& c)
{
    TkbzIdTCPConnection& tcp = *c->TCPConnection();
    // The head is parsed as it arrives, however the peer cuts it into
    // segments, within a size and a time limit; bytes that cannot start an
    // HTTP request (a policy request, raw TCP) are classified at once.
    // The head is parsed as it arrives, however the peer cuts it into
    // segments, within a size limit and the time limit from the accept that
    // the execute step keeps; bytes that cannot start an HTTP request (a
    // policy request, raw TCP) are classified at once.
    TkbzHTTPLimits limits;
    limits.MaxHeadSize = kbzMaxRequestHead;
    TkbzHTTPHeadParser parser(TkbzHTTPHeadKind::hkRequest, limits);
    TkbzHTTPParseStatus status = TkbzHTTPParseStatus::hpsNeedMore;
    bool policyPrefix = false;
    tcp.InputBufferConsume([&](std::span<const std::uint8_t> bytes) -> std::size_t {
        const std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
        status = parser.Parse(text);
        // A policy request may come in pieces too.
        policyPrefix =
            text.size() < kPolicyRequest.size() && kPolicyRequest.substr(0, text.size()) == text;
        return 0; // inspected in place; the branch that handles it consumes
    });
    if (status == TkbzHTTPParseStatus::hpsNeedMore ||
        (status == TkbzHTTPParseStatus::hpsNotHTTP && policyPrefix))
    {
        if (kbzGetTicks() - c->FAccepted >=
            static_cast<std::uint64_t>(std::max(1, RequestHeadTimeOut)))
        {
            throw TkbzWSException("Request head incomplete.");
        }
        if (!tcp.Connected() || tcp.PeerClosed() || c->Disconnected() || IsDestroying())
        {
            // Gone before its request was whole: nothing to answer.
            DoCloseHTTPConnection(c);
        }
        return;
    }
    c->FRequestHandled = true;
    if (status == TkbzHTTPParseStatus::hpsError)
    {
        DoRefuseRequest(c, parser.ErrorStatus(),
                        parser.ErrorStatus() == 431 ? std::string("Request head too large.")
                                                    : "Bad request: " + parser.ErrorText() + ".");
        return;
    }
    if (status == TkbzHTTPParseStatus::hpsNotHTTP)
    {
        const std::string start = tcp.InputBufferAsString(kPolicyRequest.size() + 1);
        if (start.compare(0, kPolicyRequest.size(), kPolicyRequest) == 0 &&
            (start.size() == kPolicyRequest.size() || start[kPolicyRequest.size()] == '\0' ||
             start[kPolicyRequest.size()] == '\r' || start[kPolicyRequest.size()] == '\n'))
        {
            c->HeadersRequest() = {std::string(kPolicyRequest)};
            DoPolicyFile(c);
            return;
        }
        DoUnknownProtocol(c);
        return;
    }

    const std::size_t headLength = parser.Head().Length;
    c->HeadersRequest() = parser.Head().Lines;
    c->SetRequestHead(std::move(parser.Head()));
    const TkbzHTTPHead& head = *c->RequestHead();
    const TkbzHeaderList& lines = c->HeadersRequest();
    auto consumeHead = [&] {
        tcp.InputBufferRemove(headLength);
        c->AddRecBytes(static_cast<std::int64_t>(headLength));
    };
    // Posts that components read whole wait in the buffer until their body
    // is there too (within the request time limit): their reading never waits.
    const bool readWhole =
        head.Method == "POST" &&
        (head.Path().starts_with("/kbz/xhr/") || head.Path().starts_with("/kbz/protocol/") ||
         (FAuthentication.Enabled && c->FServerSSL && !c->GetIsInternal()));
    if (readWhole && !BodyBuffered(tcp, head, headLength, kMaxFormBody) &&
        kbzGetTicks() - c->FAccepted < static_cast<std::uint64_t>(std::max(1, RequestHeadTimeOut)))
    {
        if (!tcp.Connected() || tcp.PeerClosed() || c->Disconnected() || IsDestroying())
        {
            DoCloseHTTPConnection(c);
            return;
        }
        c->FRequestHandled = false;
        return;
    }

    if (c->FServerSameOrigin && !DoCheckOrigin(c, head))
    {
        return;
    }
    if (IsUpgradeRequest(head))
    {
        if (!lines.empty() && IsWatchDogMonitor(c, lines.front()))
        {
            c->SetIsInternal(true);
        }
        if (FAuthentication.Enabled && !c->GetIsInternal())
        {
            DoAuthenticate(c, lines);
        }
        consumeHead();
        c->ReadData(true); // not enabled yet: runs the handshake
        return;
    }
    if (FAuthentication.Enabled && FAuthentication.Session.Enabled &&
        kbzIsAuthSessionRequest(lines))
    {
        consumeHead();
        DoSessionLogin(c, lines);
        DoCloseHTTPConnection(c);
        return;
    }
    // A stream passes the same authentication as an upgrade: it is the same
    // kind of connection, only framed differently.
    if (IsEventStreamRequest(head))
    {
        if (FAuthentication.Enabled && !c->GetIsInternal())
        {
            DoAuthenticate(c, lines);
        }
        consumeHead();
        DoEventStream(c, head);
        return;
    }
    // A stream's messages: the stream's identifier, known only to its reader,
    // stands for the stream's authentication.
    if (head.Method == "POST" && head.Path().starts_with("/kbz/xhr/"))
    {
        consumeHead();
        DoXHRPost(c, head);
        DoCloseHTTPConnection(c);
        return;
    }
    if (FAuthentication.Enabled && c->FServerSSL && !c->GetIsInternal() &&
        DoOfferHTTP(c, head, consumeHead))
    {
        DoCloseHTTPConnection(c);
        return;
    }
    if (FAuthentication.Enabled && FAuthentication.Basic.Enabled && !c->GetIsInternal() &&
        !DoAuthorizeBasic(c, lines))
    {
        DoCloseHTTPConnection(c);
        return;
    }
    c->SetTransport(TwsTransport::trpHTTP);
    consumeHead();
    if (FAuthentication.Enabled && !c->GetIsInternal() && NeedsBearer(*c) &&
        !DoAuthorizeBearer(c, lines))
    {
        DoCloseHTTPConnection(c);
        return;
    }
    if (head.Method == "POST" && head.Path().starts_with("/kbz/protocol/"))
    {
        DoProtocolPost(c, head);
        DoCloseHTTPConnection(c);
        return;
    }
    if (DoServeResource(c, head, false))
    {
        DoCloseHTTPConnection(c);
        return;
    }
    c->FHTTPActive = true;
    if (!DoExecuteHTTP(c))
    {
        DoCloseHTTPConnection(c);
    }
}

bool TkbzWSServer_Indy_Base::DoOfferHTTP(const TkbzWSConnectionServerPtr& c,
                                         const TkbzHTTPHead& head,
                                         const std::function<void()>& consumeHead)
{
    IkbzWSServerTokenCheck* components[] = {FAuthentication.OAuth.OAuth2,
                                            FAuthentication.OAuth.OAuth2Provider};
    bool consumed = false;
    for (IkbzWSServerTokenCheck* component : components)
    {
        if (!component)
        {
            continue;
        }
        TkbzWSServerHTTPRequest request(
            head,
            [&]() -> std::optional<std::string> {
                if (!consumed)
                {
                    consumed = true;
                    consumeHead();
                }
                return ReadRequestBody(c, head);
            },
            [&](const TkbzHTTPAnswer& answer) {
                c->SetTransport(TwsTransport::trpHTTP);
                if (TkbzIdTCPConnection* tcp = c->TCPConnection())
                {
                    const std::string bytes = kbzWriteHTTPAnswer(answer);
                    tcp->Write(bytes);
                    c->AddSendBytes(static_cast<std::int64_t>(bytes.size()));
                }
            });
        if (component->DoProcessHTTP(c, request))
        {
            c->SetTransport(TwsTransport::trpHTTP);
            return true;
        }
        if (consumed)
        {
            // A component that read the body must answer; the request cannot go on.
            return true;
        }
    }
    return false;
}

std::optional<std::string>
TkbzWSServer_Indy_Base::ReadRequestBody(const TkbzWSConnectionServerPtr& c,
                                        const TkbzHTTPHead& head)
{
    constexpr std::uint64_t kMaxBody = kMaxFormBody;
    const TkbzHTTPBodyFraming framing = kbzHTTPRequestFraming(head);
    int failure = framing.ErrorStatus;
    if (failure == 0 && framing.Kind == TkbzHTTPBodyKind::hbkLength && framing.Length > kMaxBody)
    {
        failure = 413;
    }
    std::string body;
    TkbzIdTCPConnection* tcp = c->TCPConnection();
    if (failure == 0 && framing.Kind != TkbzHTTPBodyKind::hbkNone && tcp)
    {
        if (head.Headers.HasToken("Expect", "100-continue"))
        {
            tcp->Write("HTTP/1.1 100 Continue\r\n\r\n");
        }
        TkbzHTTPBodyDecoder decoder(framing, kMaxBody);
        // The request time limit runs from its start: a first request's body
        // is whole in the buffer by now, or that time is up.
        const std::uint64_t deadline =
            c->FAccepted + static_cast<std::uint64_t>(std::max(1, RequestHeadTimeOut));
        while (!decoder.Done() && !decoder.Failed())
        {
            tcp->InputBufferConsume([&](std::span<const std::uint8_t> bytes) -> std::size_t {
                return decoder.Feed(
                    std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()),
                    body);
            });
            if (decoder.Done() || decoder.Failed())
            {
                break;
            }
            const std::uint64_t now = kbzGetTicks();
            if (now >= deadline)
            {
                failure = 408;
                break;
            }
            if (!tcp->Connected() || tcp->PeerClosed() || IsDestroying())
            {
                return std::nullopt;
            }
            tcp->CheckForDataOnSource(static_cast<int>(deadline - now));
        }
        if (decoder.Failed())
        {
            failure = decoder.ErrorStatus();
        }
        c->AddRecBytes(static_cast<std::int64_t>(body.size()));
    }
    if (failure != 0)
    {
        if (tcp)
        {
            TkbzHTTPAnswer answer;
            answer.Status = failure;
            answer.Headers.Add("Connection", "close");
            answer.Headers.Add("Server", kbzServerSoftware);
            try
            {
                tcp->Write(kbzWriteHTTPAnswer(answer));
            }
            catch (const std::exception&)
            {
                // The peer went away; the connection ends either way.
            }
        }
        return std::nullopt;
    }
    return body;
}

void TkbzWSServer_Indy_Base::WriteBasicChallenge(const TkbzWSConnectionServerPtr& c) noexcept
{
    TkbzIdTCPConnection* tcp = c->TCPConnection();
    if (!tcp)
    {
        return;
    }
    try
    {
        TkbzHTTPAnswer answer;
        answer.Status = 401;
        answer.Headers.Add("WWW-Authenticate",
                           std::string("Basic realm=\"") + kbzServerSoftware + "\"");
        answer.Headers.Add("Content-Type", "text/html; charset=utf-8");
        answer.Headers.Add("Connection", "close");
        answer.Headers.Add("Server", kbzServerSoftware);
        answer.Body = "<HTML><BODY><B>401 Unauthorized</B></BODY></HTML>";
        const std::string bytes = kbzWriteHTTPAnswer(answer);
        tcp->Write(bytes);
        c->AddSendBytes(static_cast<std::int64_t>(bytes.size()));
    }
    catch (const std::exception&)
    {
        // The peer is gone already; the connection ends either way.
    }
}

bool TkbzWSServer_Indy_Base::DoAuthorizeBasic(const TkbzWSConnectionServerPtr& c,
                                              const TkbzHeaderList& lines)
{
    TkbzWSConnectionAuthentication& a = c->Authentication();
    if (kbzHasBasicAuthorization(lines))
    {
        const std::string credentials = kbzGetBasicCredentials(lines);
        const std::size_t colon = credentials.find(':');
        if (colon != std::string::npos)
        {
            a.AuthType = TwsAuthentication::authBasic;
            a.User = credentials.substr(0, colon);
            a.Password = credentials.substr(colon + 1);
            c->DoAuthentication();
        }
    }
    if (a.Authenticated)
    {
        return true;
    }
    c->SetTransport(TwsTransport::trpHTTP);
    WriteBasicChallenge(c);
    return false;
}

bool TkbzWSServer_Indy_Base::NeedsBearer(const TkbzWSConnectionServer& c) const
{
    // The OAuth 2 server's tokens guard the plain requests of TLS connections only.
    return FAuthentication.JWT.JWT ||
           (c.FServerSSL && (FAuthentication.OAuth.OAuth2 || FAuthentication.OAuth.OAuth2Provider));
}

bool TkbzWSServer_Indy_Base::DoAuthorizeBearer(const TkbzWSConnectionServerPtr& c,
                                               const TkbzHeaderList& lines)
{
    const std::string token = kbzGetBearerToken(lines);
    if (!token.empty())
    {
        struct Check
        {
            IkbzWSServerTokenCheck* component;
            TwsAuthentication type;
        };
        const bool tls = c->FServerSSL;
        const Check checks[] = {
            {tls ? FAuthentication.OAuth.OAuth2 : nullptr, TwsAuthentication::authOAuth2},
            {tls ? FAuthentication.OAuth.OAuth2Provider : nullptr,
             TwsAuthentication::authOAuth2Provider},
            {FAuthentication.JWT.JWT, TwsAuthentication::authJWT},
        };
        for (const Check& check : checks)
        {
            if (check.component && check.component->IsBearerTokenValid(c, token))
            {
                TkbzWSConnectionAuthentication& a = c->Authentication();
                a.AuthType = check.type;
                a.Authenticated = true;
                return true;
            }
        }
    }
    // With a token check every plain request needs a valid Bearer token (other schemes too get
    // this answer); the challenge tells the client which scheme is wanted.
    if (TkbzIdTCPConnection* tcp = c->TCPConnection())
    {
        TkbzHTTPAnswer answer;
        answer.Status = 401;
        answer.Headers.Add("WWW-Authenticate", token.empty() ? std::string("Bearer")
                                                             : "Bearer error=\"invalid_token\"");
        answer.Headers.Add("Content-Type", "text/html; charset=utf-8");
        answer.Headers.Add("Connection", "close");
        answer.Headers.Add("Server", kbzServerSoftware);
        answer.Body = "<HTML><BODY><B>401 Unauthorized</B></BODY></HTML>";
        try
        {
            const std::string bytes = kbzWriteHTTPAnswer(answer);
            tcp->Write(bytes);
            c->AddSendBytes(static_cast<std::int64_t>(bytes.size()));
        }
        catch (const std::exception&)
        {
            // The peer went away; the connection ends either way.
        }
    }
    return false;
}

void TkbzWSServer_Indy_Base::DoRefuseRequest(const TkbzWSConnectionServerPtr& c, int status,
                                             const std::string& error)
{
    c->SetTransport(TwsTransport::trpHTTP);
    if (TkbzIdTCPConnection* tcp = c->TCPConnection())
    {
        TkbzHTTPAnswer answer;
        answer.Status = status;
        answer.Headers.Add("Content-Type", "text/html; charset=utf-8");
        answer.Headers.Add("Connection", "close");
        answer.Headers.Add("Server", kbzServerSoftware);
        answer.Body = "<HTML><BODY><B>" + std::to_string(status) + " " + kbzHTTPStatusText(status) +
                      "</B></BODY></HTML>";
        try
        {
            const std::string bytes = kbzWriteHTTPAnswer(answer);
            tcp->Write(bytes);
            c->AddSendBytes(static_cast<std::int64_t>(bytes.size()));
        }
        catch (const std::exception&)
        {
            // The peer went away; the error below still tells what happened.
        }
    }
    DoCloseHTTPConnection(c);
    DoError(c, error);
}

bool TkbzWSServer_Indy_Base::DoExecuteHTTP(const TkbzWSConnectionServerPtr& /*connection*/)
{
    return false;
}

bool TkbzWSServer_Indy_Base::IsClassifiedRequest(const TkbzHTTPHead& head) const
{
    return IsUpgradeRequest(head) || IsEventStreamRequest(head) ||
           (head.Method == "POST" &&
            (head.Path().starts_with("/kbz/xhr/") || head.Path().starts_with("/kbz/protocol/"))) ||
           (FAuthentication.Enabled && FAuthentication.Session.Enabled &&
            kbzIsAuthSessionRequest(head.Lines));
}

void TkbzWSServer_Indy_Base::ReturnToClassification(const TkbzWSConnectionServerPtr& c)
{
    c->FHTTPActive = false;
    c->FHTTPState.reset();
    c->FHTTPDeadline = 0;
    c->FRequestHandled = false;
    // Its request has the time of a first one; the credentials of the ones before do not count.
    c->FAccepted = kbzGetTicks();
    c->Authentication().Authenticated = false;
}

void TkbzWSServer_Indy_Base::DoCloseHTTPConnection(const TkbzWSConnectionServerPtr& c)
{
    if (TkbzIdTCPConnection* tcp = c->TCPConnection())
    {
        tcp->InputBufferClear();
    }
    c->FHTTPActive = false;
    c->FHTTPState.reset();
    c->SetMustDisconnect(true);
    c->SetDisconnected(true);
    c->TerminateConnection();
}

void TkbzWSServer_Indy_Base::DoPolicyFile(const TkbzWSConnectionServerPtr& c)
{
    c->SetTransport(TwsTransport::trpFlash);
    c->HeadersRequest().clear();
    TkbzIdTCPConnection& tcp = *c->TCPConnection();
    tcp.InputBufferClear();
    const TkbzWSFallBack_Flash& flash = FFallBack.Flash;
    if (!flash.Enabled)
    {
        DoCloseHTTPConnection(c);
        return;
    }
    std::string policy = "<cross-domain-policy><allow-access-from domain=\"" + flash.Domain +
                         "\" to-ports=\"" + flash.Ports + "\" /></cross-domain-policy>";
    policy += '\0';
    policy += "\r\n";
    tcp.Write(policy);
    c->AddSendBytes(static_cast<std::int64_t>(policy.size()));
    // The connection stays open until the peer closes it.
}

void TkbzWSServer_Indy_Base::DoEventStream(const TkbzWSConnectionServerPtr& c,
                                           const TkbzHTTPHead& head)
{
    c->SetTransport(TwsTransport::trpSSE);
    const TkbzWSFallBack_SSE& sse = FFallBack.ServerSentEvents;
    if (!sse.Enabled)
    {
        DoCloseHTTPConnection(c);
        return;
    }
    // A page's stream passes the origin check of its upgrades; one of another
    // origin that is let in may read the stream.
    const std::string origin = head.Headers.Get("Origin");
    if (!c->FServerSameOrigin && !kbzOriginAllowed(origin, c->FServerOriginsAllowed))
    {
        DoRefuseRequest(c, 403, "Origin " + origin + " not allowed");
        return;
    }
    if (!origin.empty())
    {
        c->SSEHeaderFields = {"Access-Control-Allow-Origin: " + origin, "Vary: Origin"};
    }
    // The subprotocol comes from the URL: the first registered name in the path.
    const std::string path = head.Target;
    std::string selected;
    TkbzDelimitedStringList names;
    names.SetDelimitedText(c->Protocol);
    for (const std::string& name : names)
    {
        const std::string trimmed = kbzTrim(name);
        if (!trimmed.empty() && kbzMatchesMask(path, "*" + trimmed + "*"))
        {
            selected = trimmed;
            break;
        }
    }
    c->Protocol = selected;
    c->SetEnabled(true);
    // Retry is already in milliseconds, the unit of the field.
    c->WriteData("retry: " + std::to_string(sse.Retry));
    c->WriteData(c->GetGuid());
    c->WriteData(c->GetGuid());
    DoHandshakeDone(c, 1);
}

bool TkbzWSServer_Indy_Base::DoCheckOrigin(const TkbzWSConnectionServerPtr& c,
                                           const TkbzHTTPHead& head)
{
    // Drafts of the protocol named it Sec-WebSocket-Origin.
    std::string origin = head.Headers.Get("Origin");
    if (origin.empty())
    {
        origin = head.Headers.Get("Sec-WebSocket-Origin");
    }
    if (origin.empty() ||
        kbzIsSameOrigin(origin, head.Headers.Get("Host"), c->FServerSSL, kbzMachineName()) ||
        (!c->FServerOriginsAllowed.empty() && kbzOriginAllowed(origin, c->FServerOriginsAllowed)))
    {
        return true;
    }
    DoRefuseRequest(c, 403, "Origin " + origin + " not allowed");
    return false;
}

void TkbzWSServer_Indy_Base::DoUnknownProtocol(const TkbzWSConnectionServerPtr& c)
{
    bool accept = false;
    if (OnUnknownProtocol)
    {
        if (GetNotifyEvents() == TwsNotifyEvent::neNoSync)
        {
            OnUnknownProtocol(c, accept);
        }
        else
        {
            kbzSynchronize([&] { OnUnknownProtocol(c, accept); });
        }
    }
    if (!accept)
    {
        DoCloseHTTPConnection(c);
        return;
    }
    c->SetEnabled(true);
    DoHandshakeDone(c, 1);
    if (!c->Disconnected())
    {
        c->ReadData(false);
    }
}

void TkbzWSServer_Indy_Base::DoHandshakeDone(const TkbzWSConnectionServerPtr& c, int type)
{
    if (type != 1 || !c)
    {
        return;
    }
    if ((c->FSpecification == TwsSpecification::spRFC6455 && !Specifications().RFC6455 &&
         c->GetTransport() == TwsTransport::trpRFC6455) ||
        (c->FSpecification == TwsSpecification::spHixie76 && !Specifications().Drafts.Hixie76))
    {
        c->Disconnect(kbzCloseNormal);
        return;
    }
    if (c->Enabled() && !c->Disconnected())
    {
        ReportToLoadBalancer(c, true);
        DoNotifyConnect(c);
    }
}

// ---- Authentication ----

void TkbzWSServer_Indy_Base::DoAuthenticate(const TkbzWSConnectionServerPtr& c,
                                            const TkbzHeaderList& lines)
{
    TkbzWSConnectionAuthentication& a = c->Authentication();
    const TkbzWSAuthenticationServer_Options& options = FAuthentication;
    if (options.OAuth.OAuth2 && options.OAuth.OAuth2->IsRequestTokenValid(c, lines))
    {
        a.AuthType = TwsAuthentication::authOAuth2;
        a.Authenticated = true;
    }
    else if (options.OAuth.OAuth2Provider &&
             options.OAuth.OAuth2Provider->IsRequestTokenValid(c, lines))
    {
        a.AuthType = TwsAuthentication::authOAuth2Provider;
        a.Authenticated = true;
    }
    else if (options.JWT.JWT && options.JWT.JWT->IsRequestTokenValid(c, lines))
    {
        a.AuthType = TwsAuthentication::authJWT;
        a.Authenticated = true;
    }
    else if (options.Basic.Enabled && kbzHasBasicAuthorization(lines))
    {
        // Split at the first colon: a password may contain colons.
        const std::string credentials = kbzGetBasicCredentials(lines);
        const std::size_t colon = credentials.find(':');
        if (colon != std::string::npos)
        {
            a.AuthType = TwsAuthentication::authBasic;
            a.User = credentials.substr(0, colon);
            a.Password = credentials.substr(colon + 1);
            c->DoAuthentication();
        }
    }
    else if (options.URL.Enabled && kbzIsAuthURLRequest(lines) &&
             SplitPath(kbzGetGETPath(lines)).size() > 5)
    {
        // "/kbz/auth/url/<user>/<password>"; with only a user it is no URL
        // login and the later methods are tried.
        const std::vector<std::string> parts = SplitPath(kbzGetGETPath(lines));
        a.AuthType = TwsAuthentication::authURL;
        // Clients percent-encode the credentials (plain names read the same either way).
        a.User = DecodeSegment(parts[4]);
        a.Password = DecodeSegment(parts[5]);
        c->DoAuthentication();
    }
    else if (options.Session.Enabled && kbzIsAuthSessionURLRequest(lines))
    {
        const std::vector<std::string> parts = SplitPath(kbzGetGETPath(lines));
        if (parts.size() > 4 && !parts[4].empty())
        {
            FSessionList.SetLimits(options.Session.TimeOut, static_cast<std::size_t>(std::max(
                                                                1, options.Session.MaxSessions)));
            // Taken out in one step: two upgrades racing with one identifier
            // cannot both succeed.
            if (auto entry = FSessionList.Take(parts[4]))
            {
                a.SetSessionID(parts[4]);
                a.AuthType = TwsAuthentication::authSession;
                a.User = entry->first;
                a.Password = entry->second;
                a.Authenticated = true;
            }
        }
    }
    else if (kbzHasAuthorization(lines))
    {
        if (OnUnknownAuthentication)
        {
            const std::string value = kbzGetHeaderValue(lines, "Authorization");
            const std::size_t blank = value.find(' ');
            const std::string type = value.substr(0, blank);
            const std::string data =
                blank == std::string::npos ? std::string() : kbzTrim(value.substr(blank + 1));
            std::string user = a.User;
            std::string password = a.Password;
            bool authenticated = false;
            if (GetNotifyEvents() == TwsNotifyEvent::neNoSync)
            {
                OnUnknownAuthentication(c, type, data, user, password, authenticated);
            }
            else
            {
                kbzSynchronize(
                    [&] { OnUnknownAuthentication(c, type, data, user, password, authenticated); });
            }
            if (authenticated)
            {
                a.User = user;
                a.Password = password;
                a.Authenticated = true;
            }
        }
    }
    else if (OnAuthentication)
    {
        bool authenticated = a.Authenticated;
        if (GetNotifyEvents() == TwsNotifyEvent::neNoSync)
        {
            OnAuthentication(c, std::string(), std::string(), authenticated);
        }
        else
        {
            kbzSynchronize(
                [&] { OnAuthentication(c, std::string(), std::string(), authenticated); });
        }
        a.Authenticated = authenticated;
    }
    if (!a.Authenticated && !options.AllowNonAuth &&
        c->GetAuthenticationCloseCode() == kbzCloseNormal)
    {
        c->HeadersRequest().clear();
        c->TCPConnection()->InputBufferClear();
        if (options.Basic.Enabled &&
            !(options.JWT.JWT || options.OAuth.OAuth2 || options.OAuth.OAuth2Provider))
        {
            // A client without (or with wrong) credentials is asked for them.
            WriteBasicChallenge(c);
        }
        else if (options.JWT.JWT || options.OAuth.OAuth2 || options.OAuth.OAuth2Provider)
        {
            // A client whose token was refused (wrong, expired, missing) learns why the
            // connection ends instead of seeing it dropped.
            const std::string answer = std::string("HTTP/1.1 401 Unauthorized\r\n"
                                                   "WWW-Authenticate: Bearer\r\n"
                                                   "Content-Length: 0\r\n"
                                                   "Connection: close\r\n"
                                                   "Server: ") +
                                       kbzServerSoftware + "\r\n\r\n";
            try
            {
                c->TCPConnection()->Write(answer);
                c->AddSendBytes(static_cast<std::int64_t>(answer.size()));
            }
            catch (const std::exception&)
            {
                // The peer is gone already; the refusal below ends the connection either way.
            }
        }
        throw TkbzWSException("Authentication Denied");
    }
}

void TkbzWSServer_Indy_Base::OnServerAuthenticationEvent(TkbzWSConnectionServer& c,
                                                         const std::string& user,
                                                         const std::string& password,
                                                         bool& authenticated)
{
    const TkbzDelimitedStringList& users = FAuthentication.AuthUsers;
    const int index = users.Empty() ? -1 : users.IndexOfName(user);
    if (index >= 0 &&
        kbzSameSecret(users.ValueFromIndex(static_cast<std::size_t>(index)), password))
    {
        authenticated = true;
    }
    if (OnAuthentication)
    {
        auto shared = c.SharedFromThis();
        if (GetNotifyEvents() == TwsNotifyEvent::neNoSync)
        {
            OnAuthentication(shared, user, password, authenticated);
        }
        else
        {
            kbzSynchronize([&] { OnAuthentication(shared, user, password, authenticated); });
        }
    }
    TkbzWSConnectionAuthentication& a = c.Authentication();
    if (authenticated && a.AuthType == TwsAuthentication::authSession)
    {
        FSessionList.SetLimits(
            FAuthentication.Session.TimeOut,
            static_cast<std::size_t>(std::max(1, FAuthentication.Session.MaxSessions)));
        FSessionList.Add(a.GetSessionID(), user, password);
    }
}

void TkbzWSServer_Indy_Base::DoSessionLogin(const TkbzWSConnectionServerPtr& c,
                                            const TkbzHeaderList& lines)
{
    c->SetTransport(TwsTransport::trpHTTP);
    const std::vector<std::string> parts = SplitPath(kbzGetGETPath(lines));
    if (parts.size() <= 5)
    {
        return;
    }
    TkbzWSConnectionAuthentication& a = c->Authentication();
    a.AuthType = TwsAuthentication::authSession;
    a.User = DecodeSegment(parts[5]);
    a.Password = parts.size() > 6 ? DecodeSegment(parts[6]) : std::string();
    c->DoAuthentication();
    if (a.Authenticated)
    {
        std::string extensions;
        for (const std::string& name : c->Extensions().List())
        {
            extensions += extensions.empty() ? name : "," + name;
        }
        const std::string body = kbzTrim(a.GetSessionID()) + "\r\n" + kbzTrim(extensions) + "\r\n" +
                                 kbzTrim(c->Protocol) + "\r\n";
        c->SendResponseHTTP(body, "text/plain");
    }
    else
    {
        TkbzHTTPAnswer notFound;
        notFound.Status = 404;
        notFound.AddContentLength = false;
        c->TCPConnection()->Write(kbzWriteHTTPAnswer(notFound));
    }
}

// ---- Writing to the connections ----

void TkbzWSServer_Indy_Base::DoBroadcast(const std::string* text,
                                         const std::vector<std::uint8_t>* bytes,
                                         const std::string& channel, const std::string& protocol,
                                         const std::string& exclude, const std::string& include)
{
    TkbzDelimitedStringList excludeList;
    TkbzDelimitedStringList includeList;
    excludeList.SetDelimitedText(exclude);
    includeList.SetDelimitedText(include);
    const std::string upperProtocol = kbzUpperCase(protocol);
    // Walked on a copy of the list: no lock is held while a connection is touched.
    const std::vector<TkbzWSConnectionServerPtr> list = Connections();
    for (auto it = list.rbegin(); it != list.rend(); ++it)
    {
        const TkbzWSConnectionServerPtr& c = *it;
        if (!c->Enabled() || c->Disconnected() || c->Closing() || c->FQueueOverflow.load() ||
            c->GetTransport() == TwsTransport::trpHTTP2)
        {
            continue;
        }
        const std::string guid = c->GetGuid();
        if ((!exclude.empty() && excludeList.IndexOf(guid) >= 0) ||
            (!include.empty() && includeList.IndexOf(guid) < 0))
        {
            continue;
        }
        if (kbzUpperCase(c->Protocol) != upperProtocol || !c->Subscribed(channel))
        {
            continue;
        }
        const bool queued = text ? c->QueueData(*text) : c->QueueData(*bytes);
        if (!queued)
        {
            DropForFullQueue(c);
        }
    }
}

void TkbzWSServer_Indy_Base::DropForFullQueue(const TkbzWSConnectionServerPtr& c) noexcept
{
    if (!c)
    {
        return;
    }
    // Its own thread reports the drop.
    if (c->FQueueOverflow.exchange(true))
    {
        return;
    }
    if (FOptions.WriteTimeOut > 0)
    {
        // Its sends end within WriteTimeOut, so its thread gets to send the close
        // (1008) once the send in progress is done; nothing more is queued meanwhile.
        c->ClearQueues();
        c->WakeReader();
        return;
    }
    // A send could wait for ever: the socket is shut down without waiting
    // for a send in progress.
    c->SetDisconnected(true);
    try
    {
        if (TkbzIdTCPConnection* tcp = c->TCPConnection())
        {
            tcp->Disconnect(false);
        }
    }
    catch (...)
    {}
}

namespace
{
constexpr const char* kLinkDownBroadcast =
    "Load balancer link is down: the broadcast reached this server's connections only.";
constexpr const char* kLinkDownWrite =
    "Load balancer link is down: no write to a connection of another server.";
} // namespace

void TkbzWSServer_Indy_Base::Broadcast(const std::string& aText, const std::string& aChannel,
                                       const std::string& aProtocol, const std::string& aExclude,
                                       const std::string& aInclude)
{
    if (IkbzWSServerLoadBalancerLink* link = EnabledLoadBalancer())
    {
        // The balancer hands it back to every server, this one included.
        try
        {
            if (link->Broadcast(aText, aChannel, aProtocol, aExclude, aInclude))
            {
                return;
            }
            DoLoadBalancerError(kLinkDownBroadcast);
        }
        catch (const std::exception& e)
        {
            DoLoadBalancerError(e.what());
        }
    }
    BroadcastLocal(aText, aChannel, aProtocol, aExclude, aInclude);
}

void TkbzWSServer_Indy_Base::Broadcast(TkbzStream& aStream, const std::string& aChannel,
                                       const std::string& aProtocol, const std::string& aExclude,
                                       const std::string& aInclude)
{
    if (IkbzWSServerLoadBalancerLink* link = EnabledLoadBalancer())
    {
        try
        {
            if (link->Broadcast(aStream, aChannel, aProtocol, aExclude, aInclude, 0,
                                TwsStreaming::stmNone))
            {
                return;
            }
            DoLoadBalancerError(kLinkDownBroadcast);
        }
        catch (const std::exception& e)
        {
            DoLoadBalancerError(e.what());
        }
    }
    BroadcastLocal(aStream, aChannel, aProtocol, aExclude, aInclude);
}

void TkbzWSServer_Indy_Base::BroadcastLocal(const std::string& aText, const std::string& aChannel,
                                            const std::string& aProtocol,
                                            const std::string& aExclude,
                                            const std::string& aInclude)
{
    DoBroadcast(&aText, nullptr, aChannel, aProtocol, aExclude, aInclude);
}

void TkbzWSServer_Indy_Base::BroadcastLocal(TkbzStream& aStream, const std::string& aChannel,
                                            const std::string& aProtocol,
                                            const std::string& aExclude,
                                            const std::string& aInclude)
{
    aStream.SetPosition(0);
    const std::vector<std::uint8_t> bytes = aStream.ReadBytes();
    DoBroadcast(nullptr, &bytes, aChannel, aProtocol, aExclude, aInclude);
}

bool TkbzWSServer_Indy_Base::WriteData(const std::string& aGuid, const std::string& aText,
                                       int aSize, TwsStreaming aStreaming)
{
    IkbzWSServerLoadBalancerLink* link = EnabledLoadBalancer();
    if (!link || GetConnectionByGuid(aGuid))
    {
        return WriteDataLocal(aGuid, aText, aSize, aStreaming);
    }
    // Not held here: the balancer knows which server holds it.
    try
    {
        if (link->WriteData(aGuid, aText))
        {
            return true;
        }
        DoLoadBalancerError(kLinkDownWrite);
    }
    catch (const std::exception& e)
    {
        DoLoadBalancerError(e.what());
    }
    return false;
}

bool TkbzWSServer_Indy_Base::WriteData(const std::string& aGuid, TkbzStream& aStream, int aSize,
                                       TwsStreaming aStreaming)
{
    IkbzWSServerLoadBalancerLink* link = EnabledLoadBalancer();
    if (!link || GetConnectionByGuid(aGuid))
    {
        return WriteDataLocal(aGuid, aStream, aSize, aStreaming);
    }
    try
    {
        if (link->WriteData(aGuid, aStream, aSize, aStreaming))
        {
            return true;
        }
        DoLoadBalancerError(kLinkDownWrite);
    }
    catch (const std::exception& e)
    {
        DoLoadBalancerError(e.what());
    }
    return false;
}

bool TkbzWSServer_Indy_Base::WriteDataLocal(const std::string& aGuid, const std::string& aText,
                                            int aSize, TwsStreaming aStreaming)
{
    const TkbzWSConnectionServerPtr c = GetConnectionByGuid(aGuid);
    if (!c || !c->Enabled() || c->Disconnected())
    {
        return false;
    }
    try
    {
        c->WriteData(aText, aSize, aStreaming);
        return true;
    }
    catch (const std::exception& e)
    {
        DoError(c, e.what());
        return false;
    }
}

bool TkbzWSServer_Indy_Base::WriteDataLocal(const std::string& aGuid, TkbzStream& aStream,
                                            int aSize, TwsStreaming aStreaming)
{
    const TkbzWSConnectionServerPtr c = GetConnectionByGuid(aGuid);
    if (!c || !c->Enabled() || c->Disconnected())
    {
        return false;
    }
    try
    {
        c->WriteData(aStream, aSize, aStreaming);
        return true;
    }
    catch (const std::exception& e)
    {
        DoError(c, e.what());
        return false;
    }
}

void TkbzWSServer_Indy_Base::Ping(const std::string& aText)
{
    const std::string text = aText.empty() ? kbzNowAsPingText() : aText;
    const std::vector<TkbzWSConnectionServerPtr> list = Connections();
    for (auto it = list.rbegin(); it != list.rend(); ++it)
    {
        const TkbzWSConnectionServerPtr& c = *it;
        if (!c->Enabled() || c->Disconnected())
        {
            continue;
        }
        try
        {
            bool handled = false;
            OnBeforeHeartBeat(*this, c, handled);
            c->FCustomHeartBeat.store(handled);
            // A registered API pings its connections its own way when it wants to.
            if (!handled && !OfferPingToAPI(c, text))
            {
                c->RequestPing(text);
            }
        }
        catch (const std::exception& e)
        {
            DoException(c, e.what(), &e);
        }
    }
}

void TkbzWSServer_Indy_Base::DisconnectAll()
{
    const std::vector<TkbzWSConnectionServerPtr> list = Connections();
    for (auto it = list.rbegin(); it != list.rend(); ++it)
    {
        const TkbzWSConnectionServerPtr& c = *it;
        if (c->Disconnected() || !c->Active())
        {
            continue;
        }
        try
        {
            c->DisconnectPeer(false);
        }
        catch (const std::exception& e)
        {
            DoException(c, e.what(), &e);
        }
    }
}

// ---- Heartbeat and watchdog ----

void TkbzWSServer_Indy_Base::DoHeartBeat()
{
    if (IsDestroying())
    {
        return;
    }
    Ping({});
    StartHeartBeatTimeout();
}

void TkbzWSServer_Indy_Base::DoHeartBeatTimeout()
{
    if (IsDestroying())
    {
        return;
    }
    const std::int64_t timeoutMs = static_cast<std::int64_t>(HeartBeat().Timeout) * 1000;
    const std::int64_t now = static_cast<std::int64_t>(kbzGetTicks());
    const std::vector<TkbzWSConnectionServerPtr> list = Connections();
    for (auto it = list.rbegin(); it != list.rend(); ++it)
    {
        const TkbzWSConnectionServerPtr& c = *it;
        const TwsTransport t = c->GetTransport();
        if (!c->Enabled() || c->Disconnected() || c->FCustomHeartBeat ||
            // Hixie-76 has no pings (its "ping" sends nothing), so it could only ever time out.
            (t != TwsTransport::trpRFC6455 && t != TwsTransport::trpFlash &&
             t != TwsTransport::trpRFC8441))
        {
            continue;
        }
        // The oldest unanswered ping decides, or one that could not even be
        // sent (the connection's thread is stuck writing to a peer that does not read).
        std::int64_t oldest = c->OldestPendingPing();
        if (oldest == 0)
        {
            oldest = static_cast<std::int64_t>(c->RequestedPingTime());
        }
        if (oldest == 0)
        {
            c->ResetFirstPing();
            continue;
        }
        if (now - oldest >= timeoutMs)
        {
            // Marked first, so ending it only shuts the socket down and never
            // waits for a send in progress.
            c->SetDisconnected(true);
            DoException(c, "HeartBeat Timeout exceeded.", nullptr);
        }
    }
}

void TkbzWSServer_Indy_Base::DoWatchDog()
{
    if (IsDestroying())
    {
        return;
    }
    if (!GetActive())
    {
        if (GetNotifyEvents() != TwsNotifyEvent::neNoSync)
        {
            kbzQueue([this] { Start(); });
        }
        else
        {
            Start();
        }
    }
    else if (WatchDog().Monitor.Enabled)
    {
        if (GetNotifyEvents() != TwsNotifyEvent::neNoSync)
        {
            kbzQueue([this] { DoWatchDogMonitor(); });
        }
        else
        {
            DoWatchDogMonitor();
        }
    }
    const int attempts = WatchDog().Attempts;
    if (attempts > 0 && FWatchDogAttempts.fetch_add(1) + 1 >= attempts)
    {
        StopWatchDog();
    }
}

} // namespace kbz
