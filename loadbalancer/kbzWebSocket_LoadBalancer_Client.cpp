#include "loadbalancer/kbzWebSocket_LoadBalancer_Client.h"

#include "base/kbzWebSocket_Helpers.h"

namespace kbz
{

namespace
{

// Holds one of a component's indexed locks for a scope.
class IndexLock
{
public:
    IndexLock(TkbzLockSet& locks, int index) : FLocks(locks), FIndex(index)
    {
        FLocks.DoEnterCSIndex(FIndex);
    }
    ~IndexLock() { FLocks.DoLeaveCSIndex(FIndex); }
    IndexLock(const IndexLock&) = delete;
    IndexLock& operator=(const IndexLock&) = delete;

private:
    TkbzLockSet& FLocks;
    int FIndex;
};

constexpr int kTextWrite = 0;
constexpr int kBinaryWrite = 1;
constexpr int kBinaryRead = 2;
constexpr int kTextRead = 3;

} // namespace

// ---- TkbzWSLoadBalancerClient ----

TkbzWSLoadBalancerClient::TkbzWSLoadBalancerClient()
{
    SetNotifyEvents(TwsNotifyEvent::neNoSync);
    Options.SetParameters(kbzLoadBalancerClientPath);
    // An envelope is read from a whole message only.
    Options.FragmentedMessages = TwsFragmentedMessages::frgOnlyBuffer;
}

TkbzWSLoadBalancerClient::~TkbzWSLoadBalancerClient()
{
    SetDestroying();
}

template <class T> T& TkbzWSLoadBalancerClient::Ensure(std::unique_ptr<T>& record)
{
    std::lock_guard guard(FRecordsLock);
    if (!record)
    {
        record = std::make_unique<T>();
    }
    return *record;
}

TkbzWSLoadBalancerMessage& TkbzWSLoadBalancerClient::MessageWriteText()
{
    return Ensure(FMessageWriteText);
}

TkbzWSLoadBalancerMessage& TkbzWSLoadBalancerClient::MessageReadText()
{
    return Ensure(FMessageReadText);
}

TkbzWSLoadBalancerBinary& TkbzWSLoadBalancerClient::MessageWriteBinary()
{
    return Ensure(FMessageWriteBinary);
}

TkbzWSLoadBalancerBinary& TkbzWSLoadBalancerClient::MessageReadBinary()
{
    return Ensure(FMessageReadBinary);
}

bool TkbzWSLoadBalancerClient::LinkOpen() const
{
    const TkbzWSConnectionClientPtr c = Connection();
    return c && c->Enabled() && !c->Disconnected();
}

bool TkbzWSLoadBalancerClient::Send(const std::function<void(TkbzWSConnection&)>& write)
{
    const TkbzWSConnectionClientPtr c = Connection();
    if (!c || !c->Enabled() || c->Disconnected())
    {
        return false;
    }
    try
    {
        write(*c);
        return true;
    }
    catch (const std::exception& e)
    {
        DoError(c, e.what());
        return false;
    }
}

bool TkbzWSLoadBalancerClient::SendText(const std::string& aText)
{
    return Send([&](TkbzWSConnection& c) { c.WriteData(aText); });
}

bool TkbzWSLoadBalancerClient::Broadcast(const std::string& aText, const std::string& aChannel,
                                         const std::string& aProtocol, const std::string& aExclude,
                                         const std::string& aInclude)
{
    std::string envelope;
    {
        IndexLock lock(*this, kTextWrite);
        TkbzWSLoadBalancerMessage& m = MessageWriteText();
        m.Clear();
        m.FText = aText;
        m.FChannel = aChannel;
        m.FProtocol = aProtocol;
        m.FExclude = aExclude;
        m.FInclude = aInclude;
        envelope = m.Write();
    }
    return SendText(envelope);
}

bool TkbzWSLoadBalancerClient::Broadcast(TkbzStream& aStream, const std::string& aChannel,
                                         const std::string& aProtocol, const std::string& aExclude,
                                         const std::string& aInclude, int aSize,
                                         TwsStreaming aStreaming)
{
    std::vector<std::uint8_t> envelope;
    {
        IndexLock lock(*this, kBinaryWrite);
        TkbzWSLoadBalancerBinary& m = MessageWriteBinary();
        m.Clear();
        m.FChannel = aChannel;
        m.FProtocol = aProtocol;
        m.FExclude = aExclude;
        m.FInclude = aInclude;
        m.FSize = aSize;
        m.FStreaming = aStreaming;
        envelope = m.Write(aStream);
    }
    return Send([&](TkbzWSConnection& c) {
        TkbzMemoryStream data(envelope);
        c.WriteData(data);
    });
}

bool TkbzWSLoadBalancerClient::WriteData(const std::string& aGuid, const std::string& aText)
{
    std::string envelope;
    {
        IndexLock lock(*this, kTextWrite);
        TkbzWSLoadBalancerMessage& m = MessageWriteText();
        m.Clear();
        m.FGuid = aGuid;
        m.FText = aText;
        envelope = m.Write();
    }
    return SendText(envelope);
}

bool TkbzWSLoadBalancerClient::WriteData(const std::string& aGuid, TkbzStream& aStream, int aSize,
                                         TwsStreaming aStreaming)
{
    std::vector<std::uint8_t> envelope;
    {
        IndexLock lock(*this, kBinaryWrite);
        TkbzWSLoadBalancerBinary& m = MessageWriteBinary();
        m.Clear();
        m.FGuid = aGuid;
        m.FSize = aSize;
        m.FStreaming = aStreaming;
        envelope = m.Write(aStream);
    }
    return Send([&](TkbzWSConnection& c) {
        TkbzMemoryStream data(envelope);
        c.WriteData(data);
    });
}

void TkbzWSLoadBalancerClient::RaiseMessage(const TkbzWSConnectionPtr& connection,
                                            const std::string& text)
{
    TkbzWSLoadBalancerMessage m;
    try
    {
        IndexLock lock(*this, kTextRead);
        TkbzWSLoadBalancerMessage& read = MessageReadText();
        read.Read(text);
        m.Assign(read);
    }
    catch (const std::exception& e)
    {
        // One bad envelope is reported; the link goes on.
        RaiseError(connection, e.what());
        return;
    }
    if (m.FGuid.empty())
    {
        OnBroadCastText(m.FText, m.FChannel, m.FProtocol, m.FExclude, m.FInclude);
    }
    else
    {
        OnWriteDataText(m.FGuid, m.FText);
    }
}

void TkbzWSLoadBalancerClient::RaiseBinary(const TkbzWSConnectionPtr& connection,
                                           TkbzMemoryStream& data)
{
    std::string guid;
    TkbzMemoryStream payload;
    try
    {
        IndexLock lock(*this, kBinaryRead);
        TkbzWSLoadBalancerBinary& read = MessageReadBinary();
        const std::span<const std::uint8_t> bytes = read.Read(data.Bytes());
        guid = read.FGuid;
        payload.Write(bytes);
        payload.SetPosition(0);
    }
    catch (const std::exception& e)
    {
        RaiseError(connection, e.what());
        return;
    }
    if (guid.empty())
    {
        // The envelope carries no channel, protocol, lists, size or streaming.
        OnBroadCastBinary(payload, std::string(), std::string(), std::string(), std::string(), 0,
                          TwsStreaming::stmNone);
    }
    else
    {
        OnWriteDataBinary(guid, payload);
    }
}

// ---- TkbzWSLoadBalancerServerLink ----

TkbzWSLoadBalancerServerLink::TkbzWSLoadBalancerServerLink(TkbzWSHTTPServer& server)
    : FServer(server), FClient(std::make_unique<TkbzWSLoadBalancerClient>())
{
    TkbzWSLoadBalancerClient& c = *FClient;
    c.OnConnect = [this](const TkbzWSConnectionPtr&) {
        if (FServer.IsDestroying())
        {
            return;
        }
        FServer.OnLoadBalancerConnect(FServer);
        Register();
    };
    c.OnDisconnect = [this](const TkbzWSConnectionPtr&, int) {
        {
            std::lock_guard guard(FReportLock);
            FRegistered = false;
            FReported.clear();
        }
        if (!FServer.IsDestroying())
        {
            FServer.OnLoadBalancerDisconnect(FServer);
        }
    };
    c.OnError = [this](const TkbzWSConnectionPtr&, const std::string& text) {
        FServer.DoLoadBalancerError(text);
    };
    c.OnException = [this](const TkbzWSConnectionPtr&, const std::exception& e) {
        FServer.DoLoadBalancerError(e.what());
    };
    // What comes back is carried out here, never forwarded again.
    c.OnWriteDataText = [this](const std::string& guid, const std::string& text) {
        FServer.WriteDataLocal(guid, text);
    };
    c.OnWriteDataBinary = [this](const std::string& guid, TkbzStream& data) {
        FServer.WriteDataLocal(guid, data);
    };
    c.OnBroadCastText = [this](const std::string& text, const std::string& channel,
                               const std::string& protocol, const std::string& exclude,
                               const std::string& include) {
        FServer.BroadcastLocal(text, channel, protocol, exclude, include);
    };
    c.OnBroadCastBinary = [this](TkbzStream& data, const std::string& channel,
                                 const std::string& protocol, const std::string& exclude,
                                 const std::string& include, int, TwsStreaming) {
        FServer.BroadcastLocal(data, channel, protocol, exclude, include);
    };
}

TkbzWSLoadBalancerServerLink::~TkbzWSLoadBalancerServerLink()
{
    try
    {
        FClient->WatchDog().Enabled = false;
        FClient->SetActive(false);
    }
    catch (...)
    {}
    FClient.reset();
}

void TkbzWSLoadBalancerServerLink::Activate()
{
    TkbzWSLoadBalancerServer_Options& o = FServer.LoadBalancer();
    TkbzWSLoadBalancerClient& c = *FClient;
    c.Host = o.Host;
    c.Port = o.Port;
    if (o.AutoRestart > 0)
    {
        c.WatchDog().Interval = o.AutoRestart;
        c.WatchDog().Enabled = true;
    }
    else
    {
        c.WatchDog().Enabled = false;
    }
    // The server's start-up never waits for the balancer.
    c.Start();
}

void TkbzWSLoadBalancerServerLink::Deactivate()
{
    FClient->SetActive(false);
}

bool TkbzWSLoadBalancerServerLink::Broadcast(const std::string& aText, const std::string& aChannel,
                                             const std::string& aProtocol,
                                             const std::string& aExclude,
                                             const std::string& aInclude)
{
    return FClient->Broadcast(aText, aChannel, aProtocol, aExclude, aInclude);
}

bool TkbzWSLoadBalancerServerLink::Broadcast(TkbzStream& aStream, const std::string& aChannel,
                                             const std::string& aProtocol,
                                             const std::string& aExclude,
                                             const std::string& aInclude, int aSize,
                                             TwsStreaming aStreaming)
{
    return FClient->Broadcast(aStream, aChannel, aProtocol, aExclude, aInclude, aSize, aStreaming);
}

bool TkbzWSLoadBalancerServerLink::WriteData(const std::string& aGuid, const std::string& aText)
{
    return FClient->WriteData(aGuid, aText);
}

bool TkbzWSLoadBalancerServerLink::WriteData(const std::string& aGuid, TkbzStream& aStream,
                                             int aSize, TwsStreaming aStreaming)
{
    return FClient->WriteData(aGuid, aStream, aSize, aStreaming);
}

std::string TkbzWSLoadBalancerServerLink::ConnectionRecord(
    const std::shared_ptr<TkbzWSConnectionServer>& connection, bool active)
{
    TkbzWSLoadBalancerClientConnection r;
    r.FActive = active;
    r.FGuid = connection->GetGuid();
    r.FIP = connection->GetIP();
    r.FProtocol = connection->Protocol;
    for (const std::string& channel : connection->Subscriptions())
    {
        r.FChannel += channel;
        r.FChannel += '\n';
    }
    return r.Write();
}

void TkbzWSLoadBalancerServerLink::ConnectionChanged(
    const std::shared_ptr<TkbzWSConnectionServer>& connection, bool active)
{
    if (!connection || connection->GetIsInternal())
    {
        return;
    }
    std::lock_guard guard(FReportLock);
    // Before the registration has walked the connections, it reports them itself. Each
    // connection is told active once, and gone only when it was told active.
    if (!FRegistered)
    {
        return;
    }
    const bool changed = active ? FReported.insert(connection->GetGuid()).second
                                : FReported.erase(connection->GetGuid()) > 0;
    if (changed)
    {
        FClient->SendText(ConnectionRecord(connection, active));
    }
}

std::vector<std::string> TkbzWSLoadBalancerServerLink::AnnouncedBindings() const
{
    std::vector<std::string> list;
    TkbzWSHTTPServer& server = FServer;
    if (server.LoadBalancer().AutoRegisterBindings)
    {
        const int tlsPort = server.SSLOptions().Port;
        for (const TkbzListenBinding& b : server.GetBoundBindings())
        {
            TkbzWSLoadBalancerServerBinding r;
            r.FHost = b.IP;
            r.FPort = b.Port;
            // The listener's own rule: TLS on every port when no TLS port is named.
            r.FSSL = server.SSL && (tlsPort == 0 || tlsPort == b.Port);
            list.push_back(r.Write());
        }
    }
    for (const std::string& entry : server.LoadBalancer().Bindings)
    {
        TkbzWSLoadBalancerServerBinding r;
        try
        {
            std::string host;
            int port = 0;
            bool tls = false;
            if (!kbzParseHostPort(entry, host, port, tls))
            {
                continue;
            }
            r.FHost = host;
            r.FPort = port;
            r.FSSL = tls;
        }
        catch (const std::exception&)
        {
            continue; // a port that is no number: not a binding
        }
        list.push_back(r.Write());
    }
    return list;
}

void TkbzWSLoadBalancerServerLink::SendRecord(const std::string& text)
{
    if (!FClient->SendText(text))
    {
        throw TkbzWSException("Load balancer link closed during registration.");
    }
}

void TkbzWSLoadBalancerServerLink::Register()
{
    try
    {
        TkbzWSLoadBalancerServerData data;
        data.FGuid = FServer.LoadBalancer().Guid;
        SendRecord(data.Write());
        for (const std::string& binding : AnnouncedBindings())
        {
            SendRecord(binding);
        }
        {
            std::lock_guard guard(FReportLock);
            for (const TkbzWSConnectionServerPtr& c : FServer.Connections())
            {
                if (!c->Enabled() || c->Disconnected() || c->GetIsInternal())
                {
                    continue;
                }
                // A failed send means the link is gone; the connection itself is fine.
                FReported.insert(c->GetGuid());
                SendRecord(ConnectionRecord(c, true));
            }
            FRegistered = true;
        }
        SendRecord(kbzLoadBalancerReady);
    }
    catch (const std::exception& e)
    {
        FServer.DoLoadBalancerError(e.what());
    }
}

} // namespace kbz
