// A load balancer for servers that link to it (LoadBalancer.Enabled): it
// accepts their links at "/kbz@load_balancer_client", keeps what they register
// (identity, bindings, client connections), answers
// "GET /kbz@lb@client@get@binding" with the binding of the server that holds
// the fewest client connections, hands every broadcast to every linked server
// and every write by identifier to the server that holds the identifier, and
// forgets a server whose link drops.
//
//   kbzLoadBalancer [-ip ADDRESS] [-redis HOST:PORT] PORT
//
// -ip chooses the address to listen on (127.0.0.1 by default); PORT 0 lets the
// system choose. With -redis several balancers share one state through a Redis
// server: the registry of servers and their connection counts (expiring, so
// the servers of a balancer that died vanish), broadcasts fanned out over
// Redis pub/sub to every balancer, and writes by identifier routed to the
// balancer whose server holds the identifier. Without it the state is in
// memory. Prints "listening on ADDRESS:PORT" once it accepts links, and ends
// on SIGINT or SIGTERM.
#include "base/kbzBase_Helpers.h"
#include "base/kbzWebSocket_Helpers.h"
#include "kbzWebSocket.h"
#include "transport/kbzHTTP_Message.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#ifdef KBZ_HAVE_HIREDIS
#include <hiredis/hiredis.h>
#include <sys/socket.h>
#endif

using namespace kbz;

namespace
{

int StopPipe[2] = {-1, -1};

void OnStopSignal(int)
{
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = ::write(StopPipe[1], &byte, 1);
}

int Usage()
{
    std::fprintf(stderr, "usage: kbzLoadBalancer [-ip ADDRESS] [-redis HOST:PORT] PORT\n");
    return 2;
}

void Log(const std::string& text)
{
    std::fprintf(stderr, "kbzLoadBalancer: %s\n", text.c_str());
}

// What happens to the registry, on standard output.
void Say(const std::string& text)
{
    std::printf("%s\n", text.c_str());
    std::fflush(stdout);
}

// "host:port" of a binding record.
std::string Where(const std::string& binding)
{
    TkbzWSLoadBalancerServerBinding b;
    b.Read(binding);
    return (b.FSSL ? "wss://" : "ws://") + b.FHost + ":" + std::to_string(b.FPort);
}

std::uint64_t NowMs()
{
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                          std::chrono::system_clock::now().time_since_epoch())
                                          .count());
}

// A placement handed out counts for its server until the client's connection
// is reported, or for this long: clients placed in a burst spread out although
// their reports have not come yet.
constexpr std::uint64_t kPlacementMs = 5000;

// One linked server, as its link registered it.
struct Link
{
    TkbzWSConnectionPtr Connection;
    std::string ServerGuid;
    std::vector<std::string> Bindings; // binding records as received
    std::set<std::string> Clients;
    std::deque<std::uint64_t> Placements; // deadlines (NowMs)
    bool Ready = false;
    std::uint64_t Order = 0; // registration order: ties go to the earlier server

    std::size_t Load(std::uint64_t now)
    {
        while (!Placements.empty() && Placements.front() <= now)
        {
            Placements.pop_front();
        }
        return Clients.size() + Placements.size();
    }
};

// A server that a binding query may name.
struct Candidate
{
    std::string Balancer; // empty: this one
    std::string LinkId;
    std::string Binding;
    std::size_t Load = 0;
};

bool SendText(const TkbzWSConnectionPtr& c, const std::string& text)
{
    // Queued for the link's own thread: a slow server holds up no other.
    return c && !c->Disconnected() && c->QueueData(text);
}

bool SendBinary(const TkbzWSConnectionPtr& c, std::span<const std::uint8_t> bytes)
{
    return c && !c->Disconnected() && c->QueueData(bytes);
}

class Balancer;

#ifdef KBZ_HAVE_HIREDIS
// The state several balancers share in Redis, and the pub/sub that carries
// broadcasts and routed writes between them. Commands go through one context
// under a lock; a second context only listens.
class SharedState
{
public:
    SharedState(Balancer& balancer, std::string host, int port)
        : FBalancer(balancer), FHost(std::move(host)), FPort(port), FId(kbzNewGuid())
    {}
    ~SharedState() { Stop(); }

    const std::string& Id() const { return FId; }
    // Connects both contexts and subscribes; raises when Redis cannot be reached.
    void Start();
    void Stop();

    void Refresh(); // registry and expiry of this balancer's servers
    void Publish(const std::string& channel, char kind, std::span<const std::uint8_t> data);
    void PublishBroadcast(char kind, std::span<const std::uint8_t> data)
    {
        Publish(kPrefix + std::string("broadcast"), kind, data);
    }
    // The balancer whose server holds the client, other than this one.
    std::optional<std::string> OwnerOf(const std::string& client);
    void ClientChanged(const std::string& linkId, const std::string& client, bool active,
                       std::size_t count);
    void LinkGone(const std::string& linkId, const std::vector<std::string>& clients);
    std::vector<Candidate> Candidates();
    void Placed(const Candidate& c);

private:
    static constexpr const char* kPrefix = "kbz:lb:";
    static constexpr std::uint64_t kTTLms = 10000;

    using Reply = std::unique_ptr<redisReply, void (*)(void*)>;
    // Runs one command (argv form, binary-safe); nothing when Redis failed (logged).
    Reply Command(const std::vector<std::string>& args);
    Reply CommandLocked(const std::vector<std::string>& args);
    bool EnsureConnected(); // under FLock
    void Listen();
    std::string Key(const std::string& kind, const std::string& id) const
    {
        return kPrefix + kind + ":" + id;
    }

    Balancer& FBalancer;
    std::string FHost;
    int FPort;
    std::string FId;
    std::mutex FLock;
    redisContext* FContext = nullptr; // under FLock
    redisContext* FListener = nullptr;
    std::mutex FListenLock;
    std::condition_variable FListenChanged;
    int FSubscribed = 0;
    bool FStopping = false; // under FListenLock
    std::thread FListenThread;
    std::thread FRefreshThread;
};
#endif

class Balancer : public TkbzWebSocketHTTPServer
{
public:
    Balancer()
    {
        OnConnect = [this](const TkbzWSConnectionPtr& c) { LinkConnected(c); };
        OnDisconnect = [this](const TkbzWSConnectionPtr& c, int) { LinkGone(c); };
        OnMessage = [this](const TkbzWSConnectionPtr& c, const std::string& text) {
            LinkText(c, text);
        };
        OnBinary = [this](const TkbzWSConnectionPtr& c, TkbzMemoryStream& data) {
            LinkBinary(c, data);
        };
        OnError = [](const TkbzWSConnectionPtr&, const std::string& text) { Log(text); };
    }
    ~Balancer() override
    {
        // No link thread uses the shared state once the server has stopped.
        StopForDestruction();
#ifdef KBZ_HAVE_HIREDIS
        if (FShared)
        {
            FShared->Stop();
        }
#endif
    }

#ifdef KBZ_HAVE_HIREDIS
    void UseRedis(const std::string& host, int port)
    {
        FShared = std::make_unique<SharedState>(*this, host, port);
        FShared->Start();
    }
#endif

    // ---- Delivery to this balancer's links (also what arrives from other balancers) ----
    void FanOutText(const std::string& envelope)
    {
        for (const TkbzWSConnectionPtr& c : ReadyLinks())
        {
            SendText(c, envelope);
        }
    }
    void FanOutBinary(std::span<const std::uint8_t> envelope)
    {
        for (const TkbzWSConnectionPtr& c : ReadyLinks())
        {
            SendBinary(c, envelope);
        }
    }
    // false when no link of this balancer holds the client.
    bool RouteLocally(const std::string& client, bool binary, std::span<const std::uint8_t> data)
    {
        TkbzWSConnectionPtr target;
        {
            std::lock_guard guard(FLock);
            const auto owner = FOwners.find(client);
            if (owner == FOwners.end())
            {
                return false;
            }
            target = FLinks.at(owner->second).Connection;
        }
        if (binary)
        {
            SendBinary(target, data);
        }
        else
        {
            SendText(target, std::string(reinterpret_cast<const char*>(data.data()), data.size()));
        }
        return true;
    }

    // The registry this balancer publishes: ready links with a binding and their loads.
    std::vector<Candidate> LocalCandidates()
    {
        std::vector<Candidate> list;
        const std::uint64_t now = NowMs();
        std::lock_guard guard(FLock);
        std::vector<std::pair<std::uint64_t, Candidate>> ordered;
        for (auto& [id, link] : FLinks)
        {
            if (link.Ready && !link.Bindings.empty())
            {
                ordered.push_back({link.Order, {{}, id, link.Bindings.front(), link.Load(now)}});
            }
        }
        std::sort(ordered.begin(), ordered.end(),
                  [](const auto& a, const auto& b) { return a.first < b.first; });
        for (auto& [order, c] : ordered)
        {
            list.push_back(std::move(c));
        }
        return list;
    }
    // Only the counts of reported connections (what other balancers read).
    std::map<std::string, std::size_t> LocalCounts()
    {
        std::map<std::string, std::size_t> counts;
        std::lock_guard guard(FLock);
        for (const auto& [id, link] : FLinks)
        {
            counts[id] = link.Clients.size();
        }
        return counts;
    }
    std::vector<std::string> LocalClients(const std::string& linkId)
    {
        std::lock_guard guard(FLock);
        const auto it = FLinks.find(linkId);
        return it == FLinks.end()
                   ? std::vector<std::string>{}
                   : std::vector<std::string>(it->second.Clients.begin(), it->second.Clients.end());
    }

protected:
    // The binding query; every other plain request gets 404.
    bool DoExecuteHTTP(const TkbzWSConnectionServerPtr& connection) override
    {
        TkbzIdTCPConnection* tcp = connection->TCPConnection();
        const TkbzHTTPHead* head = connection->RequestHead();
        if (!tcp || !head)
        {
            return false;
        }
        const std::string path = head->Target.substr(0, head->Target.find('?'));
        TkbzHTTPAnswer a;
        a.Headers.Add("Cache-Control", "no-cache");
        a.Headers.Add("Connection", "close");
        a.Headers.Add("Server", kbzServerSoftware);
        if (path != std::string("/") + kbzLoadBalancerBindingQuery ||
            (head->Method != "GET" && head->Method != "HEAD"))
        {
            a.Status = 404;
            a.Headers.Add("Content-Type", "text/plain; charset=utf-8");
            a.Body = "Not Found";
        }
        else if (const std::optional<std::string> binding = Place())
        {
            a.Headers.Add("Content-Type", "application/json");
            a.Body = *binding;
        }
        else
        {
            a.Status = 503;
            a.Headers.Add("Content-Type", "text/plain; charset=utf-8");
            a.Body = "No server registered";
        }
        if (head->Method == "HEAD")
        {
            a.Headers.Add("Content-Length", std::to_string(a.Body.size()));
            a.Body.clear();
        }
        const std::string answer = kbzWriteHTTPAnswer(a);
        tcp->Write(answer);
        connection->AddSendBytes(static_cast<std::int64_t>(answer.size()));
        return false;
    }

private:
    std::vector<TkbzWSConnectionPtr> ReadyLinks()
    {
        std::vector<TkbzWSConnectionPtr> list;
        std::lock_guard guard(FLock);
        for (const auto& [id, link] : FLinks)
        {
            if (link.Ready)
            {
                list.push_back(link.Connection);
            }
        }
        return list;
    }

    std::optional<std::string> Place()
    {
#ifdef KBZ_HAVE_HIREDIS
        if (FShared)
        {
            std::vector<Candidate> all = FShared->Candidates();
            if (all.empty())
            {
                return std::nullopt;
            }
            const auto best = std::min_element(all.begin(), all.end(),
                                               [](auto& a, auto& b) { return a.Load < b.Load; });
            FShared->Placed(*best);
            return best->Binding;
        }
#endif
        const std::uint64_t now = NowMs();
        std::lock_guard guard(FLock);
        Link* best = nullptr;
        std::size_t bestLoad = 0;
        for (auto& [id, link] : FLinks)
        {
            if (!link.Ready || link.Bindings.empty())
            {
                continue;
            }
            const std::size_t load = link.Load(now);
            if (!best || load < bestLoad || (load == bestLoad && link.Order < best->Order))
            {
                best = &link;
                bestLoad = load;
            }
        }
        if (!best)
        {
            return std::nullopt;
        }
        best->Placements.push_back(now + kPlacementMs);
        return best->Bindings.front();
    }

    void LinkConnected(const TkbzWSConnectionPtr& c)
    {
        const auto server = std::dynamic_pointer_cast<TkbzWSConnectionServer>(c);
        const std::string target =
            server && server->Handshake() ? server->Handshake()->FGet : std::string();
        if (target.substr(0, target.find('?')) != kbzLoadBalancerClientPath)
        {
            c->Disconnect(1008); // only server links belong here
            return;
        }
        std::lock_guard guard(FLock);
        Link& link = FLinks[c->GetGuid()];
        link.Connection = c;
        link.Order = ++FOrder;
    }

    void LinkGone(const TkbzWSConnectionPtr& c)
    {
        std::vector<std::string> clients;
        std::string gone;
        {
            std::lock_guard guard(FLock);
            const auto it = FLinks.find(c->GetGuid());
            if (it == FLinks.end())
            {
                return;
            }
            if (it->second.Ready && !it->second.Bindings.empty())
            {
                gone = Where(it->second.Bindings.front());
            }
            for (const std::string& client : it->second.Clients)
            {
                const auto owner = FOwners.find(client);
                if (owner != FOwners.end() && owner->second == it->first)
                {
                    FOwners.erase(owner);
                }
                clients.push_back(client);
            }
            FLinks.erase(it);
        }
        if (!gone.empty())
        {
            Say("gone " + gone);
        }
#ifdef KBZ_HAVE_HIREDIS
        if (FShared)
        {
            FShared->LinkGone(c->GetGuid(), clients);
            FShared->Refresh();
        }
#endif
    }

    void LinkText(const TkbzWSConnectionPtr& c, const std::string& text)
    {
        using enum TkbzLoadBalancerTextKind;
        const std::string id = c->GetGuid();
        try
        {
            switch (kbzLoadBalancerTextKind(text))
            {
            case lbkEnvelope: {
                TkbzWSLoadBalancerMessage m;
                m.Read(text); // only envelopes that can be read travel on
                const auto bytes = std::span<const std::uint8_t>(
                    reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
                if (m.FGuid.empty())
                {
                    Broadcast('T', bytes);
                }
                else
                {
                    Route(m.FGuid, false, bytes);
                }
                break;
            }
            case lbkConnection: {
                TkbzWSLoadBalancerClientConnection r;
                r.Read(text);
                ClientChanged(id, r.FGuid, r.FActive);
                break;
            }
            case lbkBinding: {
                TkbzWSLoadBalancerServerBinding r;
                r.Read(text);
                if (!r.FHost.empty() && r.FPort > 0 && r.FPort < 65536)
                {
                    std::lock_guard guard(FLock);
                    FLinks[id].Bindings.push_back(r.Write());
                }
                break;
            }
            case lbkData: {
                TkbzWSLoadBalancerServerData r;
                r.Read(text);
                std::lock_guard guard(FLock);
                FLinks[id].ServerGuid = r.FGuid;
                break;
            }
            case lbkReady: {
                std::string where = "a server without bindings";
                {
                    std::lock_guard guard(FLock);
                    Link& link = FLinks[id];
                    link.Ready = true;
                    if (!link.Bindings.empty())
                    {
                        where = Where(link.Bindings.front());
                    }
                }
                Say("registered " + where);
#ifdef KBZ_HAVE_HIREDIS
                if (FShared)
                {
                    FShared->Refresh();
                }
#endif
                break;
            }
            case lbkUnknown:
                Log("unknown message from a link: " + text.substr(0, 100));
                break;
            }
        }
        catch (const std::exception& e)
        {
            Log(std::string("bad message from a link: ") + e.what());
        }
    }

    void LinkBinary(const TkbzWSConnectionPtr&, TkbzMemoryStream& data)
    {
        try
        {
            TkbzWSLoadBalancerBinary m;
            m.Read(data.Bytes());
            if (m.FGuid.empty())
            {
                Broadcast('B', data.Bytes());
            }
            else
            {
                Route(m.FGuid, true, data.Bytes());
            }
        }
        catch (const std::exception& e)
        {
            Log(std::string("bad message from a link: ") + e.what());
        }
    }

    void ClientChanged(const std::string& linkId, const std::string& client, bool active)
    {
        if (client.empty())
        {
            return;
        }
        std::size_t count = 0;
        {
            std::lock_guard guard(FLock);
            Link& link = FLinks[linkId];
            if (active)
            {
                link.Clients.insert(client);
                FOwners[client] = linkId;
                if (!link.Placements.empty())
                {
                    link.Placements.pop_front(); // the placement has arrived
                }
            }
            else
            {
                link.Clients.erase(client);
                const auto owner = FOwners.find(client);
                if (owner != FOwners.end() && owner->second == linkId)
                {
                    FOwners.erase(owner);
                }
            }
            count = link.Clients.size();
        }
#ifdef KBZ_HAVE_HIREDIS
        if (FShared)
        {
            FShared->ClientChanged(linkId, client, active, count);
        }
#else
        (void)count;
#endif
    }

    void Broadcast(char kind, std::span<const std::uint8_t> envelope)
    {
#ifdef KBZ_HAVE_HIREDIS
        if (FShared)
        {
            // Every balancer (this one too) gets it from Redis and hands it to its servers.
            FShared->PublishBroadcast(kind, envelope);
            return;
        }
#endif
        if (kind == 'T')
        {
            FanOutText(
                std::string(reinterpret_cast<const char*>(envelope.data()), envelope.size()));
        }
        else
        {
            FanOutBinary(envelope);
        }
    }

    void Route(const std::string& client, bool binary, std::span<const std::uint8_t> envelope)
    {
        if (RouteLocally(client, binary, envelope))
        {
            return;
        }
#ifdef KBZ_HAVE_HIREDIS
        if (FShared)
        {
            if (const std::optional<std::string> owner = FShared->OwnerOf(client))
            {
                FShared->Publish(std::string("kbz:lb:to:") + *owner, binary ? 'B' : 'T', envelope);
                return;
            }
        }
#endif
        Log("no server holds " + client + ": write dropped");
    }

    std::mutex FLock;
    std::map<std::string, Link> FLinks;         // by link connection identifier
    std::map<std::string, std::string> FOwners; // client identifier -> link
    std::uint64_t FOrder = 0;
#ifdef KBZ_HAVE_HIREDIS
    std::unique_ptr<SharedState> FShared;
#endif
};

#ifdef KBZ_HAVE_HIREDIS

void SharedState::Start()
{
    {
        std::lock_guard guard(FLock);
        if (!EnsureConnected())
        {
            throw Exception("Redis at " + FHost + ":" + std::to_string(FPort) +
                            " cannot be reached");
        }
    }
    timeval timeout{5, 0};
    FListener = redisConnectWithTimeout(FHost.c_str(), FPort, timeout);
    if (!FListener || FListener->err)
    {
        throw Exception("Redis at " + FHost + ":" + std::to_string(FPort) +
                        " cannot be reached for pub/sub");
    }
    // The reads of the listener block without limit: Stop shuts its socket down.
    timeval none{0, 0};
    redisSetTimeout(FListener, none);
    const std::string broadcast = kPrefix + std::string("broadcast");
    const std::string mine = kPrefix + std::string("to:") + FId;
    redisAppendCommand(FListener, "SUBSCRIBE %b %b", broadcast.data(), broadcast.size(),
                       mine.data(), mine.size());
    FListenThread = std::thread([this] { Listen(); });
    {
        // Broadcasts published after this point reach this balancer.
        std::unique_lock lock(FListenLock);
        if (!FListenChanged.wait_for(lock, std::chrono::seconds(10),
                                     [this] { return FSubscribed >= 2 || FStopping; }) ||
            FSubscribed < 2)
        {
            throw Exception("Redis did not confirm the subscriptions");
        }
    }
    Refresh();
    FRefreshThread = std::thread([this] {
        std::unique_lock lock(FListenLock);
        while (!FListenChanged.wait_for(lock, std::chrono::milliseconds(kTTLms / 3),
                                        [this] { return FStopping; }))
        {
            lock.unlock();
            Refresh();
            lock.lock();
        }
    });
}

void SharedState::Stop()
{
    {
        std::lock_guard guard(FListenLock);
        if (FStopping)
        {
            return;
        }
        FStopping = true;
    }
    FListenChanged.notify_all();
    if (FListener)
    {
        ::shutdown(FListener->fd, SHUT_RDWR); // wakes the blocking read
    }
    if (FListenThread.joinable())
    {
        FListenThread.join();
    }
    if (FRefreshThread.joinable())
    {
        FRefreshThread.join();
    }
    if (FListener)
    {
        redisFree(FListener);
        FListener = nullptr;
    }
    std::lock_guard guard(FLock);
    if (FContext)
    {
        // This balancer's servers leave the registry at once.
        CommandLocked({"ZREM", kPrefix + std::string("balancers"), FId});
        CommandLocked({"DEL", Key("servers", FId), Key("counts", FId), Key("clients", FId)});
        redisFree(FContext);
        FContext = nullptr;
    }
}

void SharedState::Listen()
{
    for (;;)
    {
        void* raw = nullptr;
        if (redisGetReply(FListener, &raw) != REDIS_OK || !raw)
        {
            std::lock_guard guard(FListenLock);
            if (!FStopping)
            {
                Log("Redis pub/sub connection lost");
            }
            FStopping = true;
            FListenChanged.notify_all();
            return;
        }
        Reply reply(static_cast<redisReply*>(raw), freeReplyObject);
        if (reply->type != REDIS_REPLY_ARRAY)
        {
            continue;
        }
        if (reply->elements < 3)
        {
            continue;
        }
        const std::string type(reply->element[0]->str, reply->element[0]->len);
        if (type == "subscribe")
        {
            std::lock_guard guard(FListenLock);
            ++FSubscribed;
            FListenChanged.notify_all();
            continue;
        }
        if (type != "message")
        {
            continue;
        }
        const std::string channel(reply->element[1]->str, reply->element[1]->len);
        const redisReply* payload = reply->element[2];
        if (payload->len < 1)
        {
            continue;
        }
        const char kind = payload->str[0];
        const std::span<const std::uint8_t> data(
            reinterpret_cast<const std::uint8_t*>(payload->str) + 1, payload->len - 1);
        try
        {
            if (channel == kPrefix + std::string("broadcast"))
            {
                if (kind == 'T')
                {
                    FBalancer.FanOutText(
                        std::string(reinterpret_cast<const char*>(data.data()), data.size()));
                }
                else
                {
                    FBalancer.FanOutBinary(data);
                }
            }
            else
            {
                // A write routed here: only this balancer's links, never on again.
                std::string client;
                if (kind == 'T')
                {
                    TkbzWSLoadBalancerMessage m;
                    m.Read(
                        std::string_view(reinterpret_cast<const char*>(data.data()), data.size()));
                    client = m.FGuid;
                }
                else
                {
                    TkbzWSLoadBalancerBinary m;
                    m.Read(data);
                    client = m.FGuid;
                }
                if (!FBalancer.RouteLocally(client, kind == 'B', data))
                {
                    Log("no server here holds " + client + ": write dropped");
                }
            }
        }
        catch (const std::exception& e)
        {
            Log(std::string("bad message from Redis: ") + e.what());
        }
    }
}

bool SharedState::EnsureConnected()
{
    if (FContext && !FContext->err)
    {
        return true;
    }
    if (FContext)
    {
        redisFree(FContext);
        FContext = nullptr;
    }
    timeval timeout{2, 0};
    FContext = redisConnectWithTimeout(FHost.c_str(), FPort, timeout);
    if (!FContext || FContext->err)
    {
        Log("Redis at " + FHost + ":" + std::to_string(FPort) + " cannot be reached");
        if (FContext)
        {
            redisFree(FContext);
            FContext = nullptr;
        }
        return false;
    }
    redisSetTimeout(FContext, timeout);
    return true;
}

SharedState::Reply SharedState::CommandLocked(const std::vector<std::string>& args)
{
    if (!EnsureConnected())
    {
        return {nullptr, freeReplyObject};
    }
    std::vector<const char*> argv;
    std::vector<std::size_t> lengths;
    for (const std::string& a : args)
    {
        argv.push_back(a.data());
        lengths.push_back(a.size());
    }
    void* raw =
        redisCommandArgv(FContext, static_cast<int>(args.size()), argv.data(), lengths.data());
    if (!raw)
    {
        Log(std::string("Redis command failed: ") + FContext->errstr);
        return {nullptr, freeReplyObject};
    }
    Reply reply(static_cast<redisReply*>(raw), freeReplyObject);
    if (reply->type == REDIS_REPLY_ERROR)
    {
        Log("Redis: " + std::string(reply->str, reply->len));
    }
    return reply;
}

SharedState::Reply SharedState::Command(const std::vector<std::string>& args)
{
    std::lock_guard guard(FLock);
    return CommandLocked(args);
}

void SharedState::Publish(const std::string& channel, char kind, std::span<const std::uint8_t> data)
{
    std::string message(1, kind);
    message.append(reinterpret_cast<const char*>(data.data()), data.size());
    Command({"PUBLISH", channel, message});
}

void SharedState::Refresh()
{
    const std::uint64_t now = NowMs();
    const std::string expiry = std::to_string(now + kTTLms);
    const std::string ttl = std::to_string(kTTLms);
    const std::vector<Candidate> servers = FBalancer.LocalCandidates();
    const std::map<std::string, std::size_t> counts = FBalancer.LocalCounts();
    std::lock_guard guard(FLock);
    // Replaced whole, so that servers that left vanish with their fields.
    CommandLocked({"MULTI"});
    CommandLocked({"DEL", Key("servers", FId), Key("counts", FId)});
    for (const Candidate& c : servers)
    {
        CommandLocked({"HSET", Key("servers", FId), c.LinkId, c.Binding});
    }
    for (const auto& [link, count] : counts)
    {
        CommandLocked({"HSET", Key("counts", FId), link, std::to_string(count)});
    }
    CommandLocked({"PEXPIRE", Key("servers", FId), ttl});
    CommandLocked({"PEXPIRE", Key("counts", FId), ttl});
    CommandLocked({"PEXPIRE", Key("clients", FId), ttl});
    CommandLocked({"ZADD", kPrefix + std::string("balancers"), expiry, FId});
    CommandLocked({"EXEC"});
}

void SharedState::ClientChanged(const std::string& linkId, const std::string& client, bool active,
                                std::size_t count)
{
    std::lock_guard guard(FLock);
    if (active)
    {
        CommandLocked({"HSET", Key("clients", FId), client, linkId});
        CommandLocked({"ZPOPMIN", Key("pending", FId + ":" + linkId)});
    }
    else
    {
        CommandLocked({"HDEL", Key("clients", FId), client});
    }
    CommandLocked({"HSET", Key("counts", FId), linkId, std::to_string(count)});
    CommandLocked({"PEXPIRE", Key("clients", FId), std::to_string(kTTLms)});
}

void SharedState::LinkGone(const std::string& linkId, const std::vector<std::string>& clients)
{
    std::lock_guard guard(FLock);
    for (const std::string& client : clients)
    {
        CommandLocked({"HDEL", Key("clients", FId), client});
    }
    CommandLocked({"DEL", Key("pending", FId + ":" + linkId)});
}

std::optional<std::string> SharedState::OwnerOf(const std::string& client)
{
    std::lock_guard guard(FLock);
    const std::string now = std::to_string(NowMs());
    Reply ids = CommandLocked({"ZRANGEBYSCORE", kPrefix + std::string("balancers"), now, "+inf"});
    if (!ids || ids->type != REDIS_REPLY_ARRAY)
    {
        return std::nullopt;
    }
    for (std::size_t i = 0; i < ids->elements; ++i)
    {
        const std::string id(ids->element[i]->str, ids->element[i]->len);
        if (id == FId)
        {
            continue;
        }
        Reply has = CommandLocked({"HEXISTS", Key("clients", id), client});
        if (has && has->type == REDIS_REPLY_INTEGER && has->integer == 1)
        {
            return id;
        }
    }
    return std::nullopt;
}

std::vector<Candidate> SharedState::Candidates()
{
    std::vector<Candidate> list;
    const std::uint64_t nowMs = NowMs();
    const std::string now = std::to_string(nowMs);
    std::lock_guard guard(FLock);
    CommandLocked({"ZREMRANGEBYSCORE", kPrefix + std::string("balancers"), "-inf", now});
    Reply ids = CommandLocked({"ZRANGE", kPrefix + std::string("balancers"), "0", "-1"});
    if (!ids || ids->type != REDIS_REPLY_ARRAY)
    {
        return list;
    }
    for (std::size_t i = 0; i < ids->elements; ++i)
    {
        const std::string id(ids->element[i]->str, ids->element[i]->len);
        Reply servers = CommandLocked({"HGETALL", Key("servers", id)});
        Reply counts = CommandLocked({"HGETALL", Key("counts", id)});
        if (!servers || servers->type != REDIS_REPLY_ARRAY)
        {
            continue;
        }
        std::map<std::string, std::size_t> count;
        if (counts && counts->type == REDIS_REPLY_ARRAY)
        {
            for (std::size_t k = 0; k + 1 < counts->elements; k += 2)
            {
                count[std::string(counts->element[k]->str, counts->element[k]->len)] =
                    static_cast<std::size_t>(kbzStrToIntDef(
                        std::string(counts->element[k + 1]->str, counts->element[k + 1]->len), 0));
            }
        }
        for (std::size_t k = 0; k + 1 < servers->elements; k += 2)
        {
            Candidate c;
            c.Balancer = id;
            c.LinkId = std::string(servers->element[k]->str, servers->element[k]->len);
            c.Binding = std::string(servers->element[k + 1]->str, servers->element[k + 1]->len);
            const std::string pending = Key("pending", id + ":" + c.LinkId);
            CommandLocked({"ZREMRANGEBYSCORE", pending, "-inf", now});
            Reply placed = CommandLocked({"ZCARD", pending});
            c.Load = count[c.LinkId] + (placed && placed->type == REDIS_REPLY_INTEGER
                                            ? static_cast<std::size_t>(placed->integer)
                                            : 0);
            list.push_back(std::move(c));
        }
    }
    // The same order for every balancer: ties go the same way everywhere.
    std::stable_sort(list.begin(), list.end(), [](const Candidate& a, const Candidate& b) {
        return std::tie(a.Balancer, a.LinkId) < std::tie(b.Balancer, b.LinkId);
    });
    return list;
}

void SharedState::Placed(const Candidate& c)
{
    const std::string pending = Key("pending", c.Balancer + ":" + c.LinkId);
    Command({"ZADD", pending, std::to_string(NowMs() + kPlacementMs), kbzNewGuid()});
    Command({"PEXPIRE", pending, std::to_string(kTTLms)});
}

#endif // KBZ_HAVE_HIREDIS

} // namespace

int main(int argc, char** argv)
{
    std::string ip = "127.0.0.1";
    std::string redis;
    std::string port;
    for (int i = 1; i < argc; ++i)
    {
        const std::string arg = argv[i];
        if (arg == "-ip" && i + 1 < argc)
        {
            ip = argv[++i];
        }
        else if (arg == "-redis" && i + 1 < argc)
        {
            redis = argv[++i];
        }
        else if (port.empty() && !arg.empty() && arg[0] != '-')
        {
            port = arg;
        }
        else
        {
            return Usage();
        }
    }
    if (port.empty())
    {
        return Usage();
    }

    if (::pipe(StopPipe) != 0)
    {
        return 1;
    }
    struct sigaction stop = {};
    stop.sa_handler = OnStopSignal;
    sigemptyset(&stop.sa_mask);
    sigaction(SIGINT, &stop, nullptr);
    sigaction(SIGTERM, &stop, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    Balancer balancer;
    try
    {
        if (!redis.empty())
        {
#ifdef KBZ_HAVE_HIREDIS
            const std::size_t colon = redis.rfind(':');
            if (colon == std::string::npos)
            {
                return Usage();
            }
            balancer.UseRedis(redis.substr(0, colon), kbzStrToInt(redis.substr(colon + 1)));
#else
            std::fprintf(stderr, "kbzLoadBalancer was built without Redis (libhiredis-dev)\n");
            return 1;
#endif
        }
        const int portNumber = kbzStrToInt(port);
        balancer.SetPort(portNumber);
        const TwsIPVersion version =
            ip.find(':') != std::string::npos ? TwsIPVersion::ipV6 : TwsIPVersion::ipV4;
        balancer.Bindings().push_back({ip, static_cast<std::uint16_t>(portNumber), version});
        balancer.SetActive(true);
    }
    catch (const std::exception& e)
    {
        std::fprintf(stderr, "%s: %s\n", kbzExceptionClassName(e).c_str(), e.what());
        return 1;
    }
    std::printf("listening on %s:%d\n", ip.c_str(), balancer.GetBoundPort());
    std::fflush(stdout);

    char byte = 0;
    while (::read(StopPipe[0], &byte, 1) < 0 && errno == EINTR)
    {}
    balancer.SetActive(false);
    return 0;
}
