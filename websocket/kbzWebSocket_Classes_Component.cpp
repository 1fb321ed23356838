// Component base classes: event delivery in the three notify modes, held
// messages, error reporting, subprotocol routing and the heartbeat and
// watchdog timers.
#include "base/kbzBase_Helpers.h"
#include "websocket/kbzWebSocket_Classes.h"

namespace kbz
{

// ---- TkbzWSComponent_Base ----

TkbzWSComponent_Base::TkbzWSComponent_Base() = default;

TkbzWSComponent_Base::~TkbzWSComponent_Base()
{
    FAlive->store(false);
}

void TkbzWSComponent_Base::Deliver(std::function<void()> f)
{
    switch (GetNotifyEvents())
    {
    case TwsNotifyEvent::neNoSync:
        f();
        return;
    case TwsNotifyEvent::neAsynchronous:
        kbzQueue([alive = FAlive, f = std::move(f)] {
            if (alive->load())
            {
                f();
            }
        });
        return;
    case TwsNotifyEvent::neSynchronous:
        kbzSynchronize([alive = FAlive, f = std::move(f)] {
            if (alive->load())
            {
                f();
            }
        });
        return;
    }
}

void TkbzWSComponent_Base::SetQueueMessages(bool value)
{
    if (FQueueProcessing.load())
    {
        return;
    }
    FQueueMessages.store(value);
    if (value)
    {
        return;
    }
    // Release what was held, in arrival order per kind, on this thread.
    FQueueProcessing.store(true);
    std::vector<std::pair<TkbzWSConnectionPtr, std::string>> texts;
    std::vector<std::pair<TkbzWSConnectionPtr, TkbzMemoryStream>> binaries;
    std::vector<HeldFragment> fragments;
    {
        std::lock_guard guard(FHeldLock);
        texts.swap(FQueueMessage);
        binaries.swap(FQueueBinary);
        fragments.swap(FQueueFragmented);
    }
    try
    {
        for (auto& [c, t] : texts)
        {
            RaiseMessage(c, t);
        }
        for (auto& [c, d] : binaries)
        {
            d.SetPosition(0);
            RaiseBinary(c, d);
        }
        for (auto& f : fragments)
        {
            f.data.SetPosition(0);
            RaiseFragmented(f.connection, f.data, f.opcode, f.continuation);
        }
    }
    catch (...)
    {
        FQueueProcessing.store(false);
        throw;
    }
    FQueueProcessing.store(false);
}

void TkbzWSComponent_Base::QueueClear()
{
    std::lock_guard guard(FHeldLock);
    FQueueMessage.clear();
    FQueueBinary.clear();
    FQueueFragmented.clear();
}

void TkbzWSComponent_Base::DoNotifyConnect(const TkbzWSConnectionPtr& connection)
{
    if (IsDestroying() || !connection || connection->GetIsInternal() ||
        !connection->NotifyConnection)
    {
        return;
    }
    Deliver([this, connection] { RaiseConnect(connection); });
}

void TkbzWSComponent_Base::DoNotifyDisconnect(const TkbzWSConnectionPtr& connection)
{
    if (!connection)
    {
        return;
    }
    if (IsDestroying() || connection->GetIsInternal() || !connection->NotifyDisconnection)
    {
        DoFreeConnection(connection);
        return;
    }
    Deliver([this, connection] {
        try
        {
            RaiseDisconnect(connection, connection->CloseCode());
        }
        catch (...)
        {
            DoFreeConnection(connection);
            throw;
        }
        DoFreeConnection(connection);
    });
}

void TkbzWSComponent_Base::DoNotifyMessage(const TkbzWSConnectionPtr& connection,
                                           const std::string& text)
{
    if (IsDestroying() || !connection || connection->GetIsInternal())
    {
        return;
    }
    if (GetQueueMessages())
    {
        std::lock_guard guard(FHeldLock);
        FQueueMessage.emplace_back(connection, text);
        return;
    }
    if (GetNotifyEvents() == TwsNotifyEvent::neNoSync)
    {
        // On this thread, from the connection's own text: a large message is not copied.
        RaiseMessage(connection, text);
        return;
    }
    Deliver([this, connection, text] { RaiseMessage(connection, text); });
}

void TkbzWSComponent_Base::DoNotifyBinary(const TkbzWSConnectionPtr& connection,
                                          TkbzMemoryStream& data)
{
    if (IsDestroying() || !connection || connection->GetIsInternal())
    {
        return;
    }
    if (GetQueueMessages())
    {
        std::lock_guard guard(FHeldLock);
        TkbzMemoryStream copy;
        copy.Bytes() = data.Bytes();
        FQueueBinary.emplace_back(connection, std::move(copy));
        return;
    }
    if (GetNotifyEvents() == TwsNotifyEvent::neNoSync)
    {
        data.SetPosition(0);
        RaiseBinary(connection, data);
        return;
    }
    auto copy = std::make_shared<TkbzMemoryStream>();
    copy->Bytes() = data.Bytes();
    Deliver([this, connection, copy] { RaiseBinary(connection, *copy); });
}

void TkbzWSComponent_Base::DoNotifyFragmented(const TkbzWSConnectionPtr& connection,
                                              TkbzMemoryStream& data, TOpcode opcode,
                                              bool continuation)
{
    if (IsDestroying() || !connection || connection->GetIsInternal())
    {
        return;
    }
    if (GetQueueMessages())
    {
        std::lock_guard guard(FHeldLock);
        HeldFragment held{connection, TkbzMemoryStream(), opcode, continuation};
        held.data.Bytes() = data.Bytes();
        FQueueFragmented.push_back(std::move(held));
        return;
    }
    if (GetNotifyEvents() == TwsNotifyEvent::neNoSync)
    {
        data.SetPosition(0);
        RaiseFragmented(connection, data, opcode, continuation);
        return;
    }
    auto copy = std::make_shared<TkbzMemoryStream>();
    copy->Bytes() = data.Bytes();
    Deliver([this, connection, copy, opcode, continuation] {
        RaiseFragmented(connection, *copy, opcode, continuation);
    });
}

void TkbzWSComponent_Base::DoNotifyError(const TkbzWSConnectionPtr& connection,
                                         const std::string& text)
{
    if (IsDestroying())
    {
        return;
    }
    Deliver([this, connection, text] { RaiseError(connection, text); });
}

void TkbzWSComponent_Base::DoNotifyException(const TkbzWSConnectionPtr& connection,
                                             const std::string& text, const std::exception* e)
{
    if (IsDestroying())
    {
        return;
    }
    // A copy of the same class (ours) or a plain error with the message; one
    // without a message gets the text.
    std::shared_ptr<Exception> copy;
    if (const auto* own = dynamic_cast<const Exception*>(e))
    {
        copy = own->Clone();
    }
    else
    {
        copy = std::make_shared<Exception>(e ? e->what() : text);
    }
    if (copy->Message().empty())
    {
        copy->SetMessage(text);
    }
    Deliver([this, connection, copy] { RaiseException(connection, *copy); });
}

void TkbzWSComponent_Base::HookDataEvents(TkbzWSConnection& connection)
{
    connection.OnMessage = [this](TkbzWSConnection& conn, const std::string& text) {
        if (IsDestroying())
        {
            return;
        }
        auto shared = conn.SharedFromThis();
        // The last text is kept for the application, but a large one is not held
        // for the connection's whole life.
        conn.SetMsgReceived(text.size() <= detail::LargeBufferBytes ? text : std::string());
        try
        {
            DoNotifyMessage(shared, text);
        }
        catch (const std::exception& e)
        {
            DoError(shared, e.what());
        }
    };
    connection.OnBinary = [this](TkbzWSConnection& conn, TkbzMemoryStream& data) {
        if (IsDestroying())
        {
            return;
        }
        auto shared = conn.SharedFromThis();
        try
        {
            DoNotifyBinary(shared, data);
        }
        catch (const std::exception& e)
        {
            DoError(shared, e.what());
        }
    };
    connection.OnFragmented = [this](TkbzWSConnection& conn, TkbzMemoryStream& data, TOpcode opcode,
                                     bool more) {
        if (IsDestroying())
        {
            return;
        }
        auto shared = conn.SharedFromThis();
        try
        {
            DoNotifyFragmented(shared, data, opcode, more);
        }
        catch (const std::exception& e)
        {
            DoError(shared, e.what());
        }
    };
}

void TkbzWSComponent_Base::DoError(const TkbzWSConnectionPtr& connection,
                                   const std::string& text) noexcept
{
    try
    {
        if (IsDestroying())
        {
            return;
        }
        if (OnError)
        {
            if (connection)
            {
                connection->SetMsgError(text);
            }
            DoNotifyError(connection, text);
        }
    }
    catch (...)
    {}
    if (connection)
    {
        try
        {
            connection->TerminateConnection();
        }
        catch (...)
        {}
    }
}

void TkbzWSComponent_Base::DoException(const TkbzWSConnectionPtr& connection,
                                       const std::string& text, const std::exception* e) noexcept
{
    try
    {
        if (IsDestroying())
        {
            return;
        }
        if (OnException)
        {
            if (connection)
            {
                connection->SetMsgException(text);
                if (e)
                {
                    connection->SetRawException(*e);
                }
            }
            DoNotifyException(connection, text, e);
        }
    }
    catch (...)
    {}
    if (connection)
    {
        try
        {
            connection->TerminateConnection();
        }
        catch (...)
        {}
    }
}

void TkbzWSComponent_Base::RaiseConnect(const TkbzWSConnectionPtr& connection)
{
    OnConnect(connection);
}

void TkbzWSComponent_Base::RaiseDisconnect(const TkbzWSConnectionPtr& connection, int code)
{
    OnDisconnect(connection, code);
}

void TkbzWSComponent_Base::RaiseMessage(const TkbzWSConnectionPtr& connection,
                                        const std::string& text)
{
    OnMessage(connection, text);
}

void TkbzWSComponent_Base::RaiseBinary(const TkbzWSConnectionPtr& connection,
                                       TkbzMemoryStream& data)
{
    OnBinary(connection, data);
}

void TkbzWSComponent_Base::RaiseFragmented(const TkbzWSConnectionPtr& connection,
                                           TkbzMemoryStream& data, TOpcode opcode,
                                           bool continuation)
{
    OnFragmented(connection, data, opcode, continuation);
}

void TkbzWSComponent_Base::RaiseError(const TkbzWSConnectionPtr& connection,
                                      const std::string& text)
{
    OnError(connection, text);
}

void TkbzWSComponent_Base::RaiseException(const TkbzWSConnectionPtr& connection,
                                          const std::exception& e)
{
    OnException(connection, e);
}

// ---- TkbzWSProtocol ----

const std::string& TkbzWSProtocol::Guid() const
{
    std::call_once(FGuidOnce, [this] { FGuid = kbzNewGuid(); });
    return FGuid;
}

bool TkbzWSProtocol::Matches(const std::string& protocol) const
{
    TkbzDelimitedStringList names;
    names.SetDelimitedText(FName);
    for (std::size_t i = 0; i < names.Count(); ++i)
    {
        const std::string& name = names[i];
        if (kbzSameText(protocol, name) || kbzSameText(protocol, Guid() + "." + name))
        {
            return true;
        }
    }
    return false;
}

std::string TkbzWSProtocol::DoHTTPPost(const TkbzWSConnectionPtr& connection,
                                       const std::string& path, const std::string& body)
{
    std::string answer;
    OnHTTPPost(connection, path, body, answer);
    return answer;
}

// ---- TkbzWSComponent ----

TkbzWSComponent::TkbzWSComponent()
{
    FTCPKeepAlive.Enabled = false;
    FTCPKeepAlive.Time = 7200000;
    FTCPKeepAlive.Interval = 1000;
}

TkbzWSComponent::~TkbzWSComponent()
{
    {
        std::lock_guard guard(FTicksLock);
        SetDestroying();
    }
    FreeTimers();
    WaitForTimerTicks();
}

void TkbzWSComponent::SetNotifyEvents(TwsNotifyEvent value)
{
    TkbzWSComponent_Base::SetNotifyEvents(value);
    std::lock_guard guard(FTimerLock);
    for (auto* t : {&FHeartBeatTimer, &FHeartBeatTimeoutTimer, &FWatchDogTimer})
    {
        if (*t)
        {
            (*t)->SetNotifyEvents(value);
        }
    }
    std::lock_guard protocols(FProtocolLock);
    for (auto& p : FProtocolObjectList)
    {
        p->SetNotifyEvents(value);
    }
}

void TkbzWSComponent::RegisterProtocol(std::shared_ptr<TkbzWSProtocol> protocol)
{
    if (!protocol)
    {
        return;
    }
    protocol->SetNotifyEvents(GetNotifyEvents());
    std::lock_guard guard(FProtocolLock);
    if (std::find(FProtocolObjectList.begin(), FProtocolObjectList.end(), protocol) ==
        FProtocolObjectList.end())
    {
        FProtocolObjectList.push_back(std::move(protocol));
    }
}

std::shared_ptr<TkbzWSProtocol> TkbzWSComponent::RegisterProtocol(const std::string& name)
{
    {
        std::lock_guard guard(FProtocolLock);
        for (auto& p : FProtocolObjectList)
        {
            if (p->Name() == name)
            {
                return p;
            }
        }
    }
    auto protocol = std::make_shared<TkbzWSProtocol>(name);
    protocol->OnConnect = OnConnect;
    protocol->OnDisconnect = OnDisconnect;
    protocol->OnMessage = OnMessage;
    protocol->OnBinary = OnBinary;
    protocol->OnFragmented = OnFragmented;
    protocol->OnError = OnError;
    protocol->OnException = OnException;
    RegisterProtocol(protocol);
    return protocol;
}

void TkbzWSComponent::UnRegisterProtocol(const std::string& name)
{
    std::lock_guard guard(FProtocolLock);
    std::erase_if(FProtocolObjectList, [&](const auto& p) { return p->Name() == name; });
}

std::string TkbzWSComponent::ProtocolNames() const
{
    std::lock_guard guard(FProtocolLock);
    std::string names;
    for (const auto& p : FProtocolObjectList)
    {
        if (!names.empty())
        {
            names += ",";
        }
        names += p->Name();
    }
    return names;
}

std::vector<std::shared_ptr<TkbzWSProtocol>>
TkbzWSComponent::ProtocolsFor(const TkbzWSConnection& c) const
{
    std::vector<std::shared_ptr<TkbzWSProtocol>> out;
    if (c.Protocol.empty())
    {
        return out;
    }
    std::lock_guard guard(FProtocolLock);
    for (const auto& p : FProtocolObjectList)
    {
        if (p->Matches(c.Protocol))
        {
            out.push_back(p);
        }
    }
    return out;
}

std::vector<std::shared_ptr<TkbzWSProtocol>>
TkbzWSComponent::ProtocolsNamed(const std::string& name) const
{
    std::vector<std::shared_ptr<TkbzWSProtocol>> out;
    if (name.empty())
    {
        return out;
    }
    std::lock_guard guard(FProtocolLock);
    for (const auto& p : FProtocolObjectList)
    {
        if (p->Matches(name))
        {
            out.push_back(p);
        }
    }
    return out;
}

TkbzWSAPIBasePtr TkbzWSComponent::RegisteredAPI() const
{
    std::lock_guard guard(FProtocolLock);
    return FAPI;
}

void TkbzWSComponent::SetAPI(TkbzWSAPIBasePtr api)
{
    std::lock_guard guard(FProtocolLock);
    FAPI = std::move(api);
}

TkbzWSAPIBasePtr TkbzWSComponent::APIFor(const TkbzWSConnection& c) const
{
    if (!c.Protocol.empty() || c.GetIsInternal())
    {
        return nullptr;
    }
    return RegisteredAPI();
}

bool TkbzWSComponent::OfferPingToAPI(const TkbzWSConnectionPtr& connection, const std::string& text)
{
    const TkbzWSAPIBasePtr api = connection ? APIFor(*connection) : nullptr;
    return api && api->DoPing(connection, text);
}

// Each notification goes to the protocol handlers the connection's subprotocol
// names; without one, to the registered API instead of this component's events
// (with RawMessages to both, the API first). The API is told in the
// NotifyEvents mode too: at once on this thread, or with copies of the data.

void TkbzWSComponent::DoNotifyConnect(const TkbzWSConnectionPtr& connection)
{
    if (connection && !connection->Protocol.empty())
    {
        for (auto& p : ProtocolsFor(*connection))
        {
            p->DoNotifyConnect(connection);
        }
        return;
    }
    if (const TkbzWSAPIBasePtr api = connection ? APIFor(*connection) : nullptr)
    {
        if (!IsDestroying() && connection->NotifyConnection)
        {
            Deliver([api, connection] { api->DoConnect(connection); });
        }
        if (!api->RawMessages)
        {
            return;
        }
    }
    TkbzWSComponent_Base::DoNotifyConnect(connection);
}

void TkbzWSComponent::DoNotifyDisconnect(const TkbzWSConnectionPtr& connection)
{
    if (connection && !connection->Protocol.empty())
    {
        auto protocols = ProtocolsFor(*connection);
        if (!protocols.empty())
        {
            protocols.front()->DoNotifyDisconnect(connection);
            DoFreeConnection(connection);
            return;
        }
    }
    const TkbzWSAPIBasePtr api = connection ? APIFor(*connection) : nullptr;
    if (api && !IsDestroying() && connection->NotifyDisconnection)
    {
        const bool raw = api->RawMessages;
        Deliver([this, api, connection, raw] {
            try
            {
                api->DoDisconnect(connection);
            }
            catch (...)
            {
                if (!raw)
                {
                    DoFreeConnection(connection);
                }
                throw;
            }
            if (!raw)
            {
                DoFreeConnection(connection);
            }
        });
        if (!raw)
        {
            return;
        }
    }
    TkbzWSComponent_Base::DoNotifyDisconnect(connection);
}

void TkbzWSComponent::DoNotifyMessage(const TkbzWSConnectionPtr& connection,
                                      const std::string& text)
{
    if (connection && !connection->Protocol.empty())
    {
        for (auto& p : ProtocolsFor(*connection))
        {
            p->DoNotifyMessage(connection, text);
        }
        return;
    }
    if (const TkbzWSAPIBasePtr api = connection ? APIFor(*connection) : nullptr)
    {
        if (IsDestroying())
        {
            return;
        }
        if (GetNotifyEvents() == TwsNotifyEvent::neNoSync)
        {
            api->DoMessage(connection, text);
        }
        else
        {
            Deliver([api, connection, text] { api->DoMessage(connection, text); });
        }
        if (!api->RawMessages)
        {
            return;
        }
    }
    TkbzWSComponent_Base::DoNotifyMessage(connection, text);
}

void TkbzWSComponent::DoNotifyBinary(const TkbzWSConnectionPtr& connection, TkbzMemoryStream& data)
{
    if (connection && !connection->Protocol.empty())
    {
        for (auto& p : ProtocolsFor(*connection))
        {
            p->DoNotifyBinary(connection, data);
        }
        return;
    }
    if (const TkbzWSAPIBasePtr api = connection ? APIFor(*connection) : nullptr)
    {
        if (IsDestroying())
        {
            return;
        }
        if (GetNotifyEvents() == TwsNotifyEvent::neNoSync)
        {
            data.SetPosition(0);
            api->DoBinary(connection, data);
        }
        else
        {
            auto copy = std::make_shared<TkbzMemoryStream>();
            copy->Bytes() = data.Bytes();
            Deliver([api, connection, copy] { api->DoBinary(connection, *copy); });
        }
        if (!api->RawMessages)
        {
            return;
        }
    }
    TkbzWSComponent_Base::DoNotifyBinary(connection, data);
}

void TkbzWSComponent::DoNotifyFragmented(const TkbzWSConnectionPtr& connection,
                                         TkbzMemoryStream& data, TOpcode opcode, bool continuation)
{
    if (connection && !connection->Protocol.empty())
    {
        for (auto& p : ProtocolsFor(*connection))
        {
            p->DoNotifyFragmented(connection, data, opcode, continuation);
        }
        return;
    }
    if (const TkbzWSAPIBasePtr api = connection ? APIFor(*connection) : nullptr)
    {
        if (IsDestroying())
        {
            return;
        }
        if (GetNotifyEvents() == TwsNotifyEvent::neNoSync)
        {
            data.SetPosition(0);
            api->DoFragmented(connection, data, opcode, continuation);
        }
        else
        {
            auto copy = std::make_shared<TkbzMemoryStream>();
            copy->Bytes() = data.Bytes();
            Deliver([api, connection, copy, opcode, continuation] {
                api->DoFragmented(connection, *copy, opcode, continuation);
            });
        }
        if (!api->RawMessages)
        {
            return;
        }
    }
    TkbzWSComponent_Base::DoNotifyFragmented(connection, data, opcode, continuation);
}

void TkbzWSComponent::DoNotifyHandshake(const TkbzWSConnectionPtr& connection,
                                        std::vector<std::string>& headers)
{
    if (!OnHandshake || IsDestroying())
    {
        return;
    }
    if (GetNotifyEvents() == TwsNotifyEvent::neNoSync)
    {
        OnHandshake(connection, headers);
        return;
    }
    // The handler may change the lines, so the raising thread waits for it.
    kbzSynchronize([&] { OnHandshake(connection, headers); });
}

// ---- Timers ----

void TkbzWSComponent::StartTimer(std::unique_ptr<TkbzTimer>& timer, const char* name, int ms,
                                 std::function<void()> tick)
{
    std::lock_guard guard(FTimerLock);
    if (!timer)
    {
        timer = std::make_unique<TkbzTimer>(name);
        timer->SetNotifyEvents(GetNotifyEvents());
        timer->OnTimer = [this, tick = std::move(tick)](TkbzTimer&) {
            {
                std::lock_guard ticks(FTicksLock);
                if (IsDestroying())
                {
                    return;
                }
                ++FTicksRunning;
            }
            struct Done
            {
                TkbzWSComponent& owner;
                ~Done()
                {
                    std::lock_guard lock(owner.FTicksLock);
                    --owner.FTicksRunning;
                    owner.FTicksDone.notify_all();
                }
            } done{*this};
            tick();
        };
        timer->OnException = [this](TkbzTimer&, const std::exception& e) {
            DoException(nullptr, e.what(), &e);
        };
    }
    timer->SetInterval(ms);
    if (ms > 0 && !timer->GetEnabled())
    {
        timer->SetEnabled(true);
    }
}

namespace
{
// Takes the timer out under the lock and disposes of it outside, so a tick
// that is starting another timer never waits for this one's lock.
void StopTimer(std::mutex& lock, std::unique_ptr<TkbzTimer>& slot)
{
    std::unique_ptr<TkbzTimer> timer;
    {
        std::lock_guard guard(lock);
        timer = std::move(slot);
    }
    kbzFreeThread(timer);
}
} // namespace

void TkbzWSComponent::StartHeartBeat()
{
    if (!FHeartBeat.Enabled || IsDestroying())
    {
        return;
    }
    const int ms = FHeartBeat.Interval * 1000;
    if (ms <= 0)
    {
        return;
    }
    StartTimer(FHeartBeatTimer, "HeartBeat", ms, [this] { DoHeartBeat(); });
}

void TkbzWSComponent::StopHeartBeat()
{
    StopTimer(FTimerLock, FHeartBeatTimer);
}

void TkbzWSComponent::StartHeartBeatTimeout()
{
    if (FHeartBeat.Timeout < 1 || IsDestroying())
    {
        return;
    }
    // Checked at the finer of the two periods, so an unanswered ping is noticed
    // no later than Timeout + Interval after it was sent.
    const int seconds =
        std::max(1, std::min(FHeartBeat.Timeout.load(), FHeartBeat.Interval.load()));
    StartTimer(FHeartBeatTimeoutTimer, "HeartBeatTimeout", seconds * 1000,
               [this] { DoHeartBeatTimeout(); });
}

void TkbzWSComponent::StopHeartBeatTimeout()
{
    StopTimer(FTimerLock, FHeartBeatTimeoutTimer);
}

void TkbzWSComponent::StartWatchDog(int intervalSeconds)
{
    if (IsDestroying() || intervalSeconds <= 0)
    {
        return;
    }
    StartTimer(FWatchDogTimer, "WatchDog", intervalSeconds * 1000, [this] { DoWatchDog(); });
}

void TkbzWSComponent::StopWatchDog()
{
    StopTimer(FTimerLock, FWatchDogTimer);
}

void TkbzWSComponent::FreeTimers()
{
    StopHeartBeatTimeout();
    StopHeartBeat();
    StopWatchDog();
}

void TkbzWSComponent::WaitForTimerTicks()
{
    std::unique_lock lock(FTicksLock);
    FTicksDone.wait(lock, [this] { return FTicksRunning == 0; });
}

// ---- Client and server branches ----

TkbzWSComponent_Client::TkbzWSComponent_Client()
{
    FWatchDog.Enabled = false;
    FWatchDog.Interval = 10;
}

void TkbzWSComponent_Client::DoFreeConnection(const TkbzWSConnectionPtr& connection)
{
    if (!connection)
    {
        return;
    }
    connection->MarkFreed();
    TkbzWSConnectionPtr previous;
    {
        std::lock_guard guard(FDelayedLock);
        previous = std::exchange(FDelayedFreeConnection, connection);
    }
    // previous goes here, outside the lock (it may be the last reference).
}

void TkbzWSComponent_Client::RegisterAPI(TkbzWSAPIBasePtr api)
{
    if (api && dynamic_cast<const TkbzWSAPI_Client*>(api.get()) == nullptr)
    {
        throw TkbzWSException("Error API: " + api->ClassName() + " not supported.");
    }
    SetAPI(std::move(api));
}

void TkbzWSComponent_Client::UnRegisterAPI()
{
    SetAPI(nullptr);
}

TkbzWSComponent_Server::TkbzWSComponent_Server() = default;

} // namespace kbz
