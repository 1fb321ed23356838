// The option records that the WebSocket components instantiate: the
// WebSocket-level transport records, heartbeat, watchdog, send queues,
// accepted protocol versions, server optimisations, and the client's
// connection and authentication settings.
#pragma once

#include "base/kbzWebSocket_Types.h"
#include "transport/kbzSocket_Options.h"

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

namespace kbz
{

// The token sources a client's token authentication can start (the JWT and OAuth 2 client
// components derive from it).
class TkbzHTTPComponentClientAuthToken_Base;

// ---- WebSocket-level transport records ----
class TkbzWSTLS_Options : public TkbzTCPTLS_Options
{
public:
    KBZ_PERSISTENT_CLASS(TkbzWSTLS_Options)
};

class TkbzWSProxy_Options : public TkbzTCPProxy_Options
{
public:
    KBZ_PERSISTENT_CLASS(TkbzWSProxy_Options)
};

class TkbzWSLogFile : public TkbzTCPLogFile
{
public:
    KBZ_PERSISTENT_CLASS(TkbzWSLogFile)
    KBZ_PERSISTENT_ASSIGN(TkbzWSLogFile, TkbzTCPLogFile)

    bool UnMaskFrames = true; // log masked payloads unmasked
};

class TkbzWSThrottle : public TkbzTCPThrottle
{
public:
    KBZ_PERSISTENT_CLASS(TkbzWSThrottle)
};

// ---- Watchdog ----
class TkbzWSWatchDog_Options : public TkbzTCPWatchDog_Options
{
public:
    KBZ_PERSISTENT_CLASS(TkbzWSWatchDog_Options)
};

class TkbzWSWatchDogClient_Options : public TkbzWSWatchDog_Options
{
public:
    KBZ_PERSISTENT_CLASS(TkbzWSWatchDogClient_Options)
};

// The server's outside check that its listener still accepts WebSocket connections.
class TkbzWSWatchDogMonitorServer_Options : public TkbzPersistent
{
public:
    KBZ_PERSISTENT_CLASS(TkbzWSWatchDogMonitorServer_Options)
    KBZ_PERSISTENT_ASSIGN(TkbzWSWatchDogMonitorServer_Options, TkbzPersistent)

    bool Enabled = false;
    std::int32_t Timeout = 10; // seconds the monitor's connect may take
};

class TkbzWSWatchDogServer_Options : public TkbzWSWatchDog_Options
{
public:
    KBZ_PERSISTENT_CLASS(TkbzWSWatchDogServer_Options)
    KBZ_PERSISTENT_ASSIGN(TkbzWSWatchDogServer_Options, TkbzWSWatchDog_Options)

    TkbzWSWatchDogMonitorServer_Options Monitor;
};

// ---- Heartbeat ----
class TkbzWSHeartBeat_Options : public TkbzPersistent
{
public:
    KBZ_PERSISTENT_CLASS(TkbzWSHeartBeat_Options)
    KBZ_PERSISTENT_ASSIGN(TkbzWSHeartBeat_Options, TkbzPersistent)

    // Atomic: commands change them while the heartbeat's timers read them.
    TkbzAtomicField<bool> Enabled{false};
    TkbzAtomicField<std::int32_t> Interval{300}; // seconds between pings
    TkbzAtomicField<std::int32_t> Timeout{0};    // seconds a pong may take; below 1: not supervised
};

// ---- Send queues ----
class TkbzWSQueue : public TkbzPersistent
{
public:
    KBZ_PERSISTENT_CLASS(TkbzWSQueue)
    KBZ_PERSISTENT_ASSIGN(TkbzWSQueue, TkbzPersistent)

    TwsQueueMsgLevels Level = TwsQueueMsgLevels::qmNone; // qmNone: sent at once
};

class TkbzWSQueueOptions : public TkbzPersistent
{
public:
    KBZ_PERSISTENT_CLASS(TkbzWSQueueOptions)
    KBZ_PERSISTENT_ASSIGN(TkbzWSQueueOptions, TkbzPersistent)

    // Whether any kind of message goes through a queue.
    bool AnyQueued() const noexcept
    {
        return Text.Level != TwsQueueMsgLevels::qmNone ||
               Binary.Level != TwsQueueMsgLevels::qmNone || Ping.Level != TwsQueueMsgLevels::qmNone;
    }

    TkbzWSQueue Text;
    TkbzWSQueue Binary;
    TkbzWSQueue Ping;
};

// ---- Accepted protocol versions ----
class TkbzWSDrafts : public TkbzPersistent
{
public:
    KBZ_PERSISTENT_CLASS(TkbzWSDrafts)
    KBZ_PERSISTENT_ASSIGN(TkbzWSDrafts, TkbzPersistent)

    bool Hixie76 = true;
};

class TkbzWSSpecifications : public TkbzPersistent
{
public:
    KBZ_PERSISTENT_CLASS(TkbzWSSpecifications)
    KBZ_PERSISTENT_ASSIGN(TkbzWSSpecifications, TkbzPersistent)

    bool RFC6455 = true;
    bool RFC8441 = false;
    TkbzWSDrafts Drafts;
};

// ---- Server optimisations ----
// Connection lookup by identifier through the bucketed cache list.
class TkbzWSOptimization_Connections : public TkbzPersistent
{
public:
    KBZ_PERSISTENT_CLASS(TkbzWSOptimization_Connections)
    KBZ_PERSISTENT_ASSIGN(TkbzWSOptimization_Connections, TkbzPersistent)

    bool Enabled = true;
    std::int32_t CacheSize = 100; // recently found entries kept per bucket
    std::int32_t GroupLevel = 1;  // leading identifier characters that name a bucket
};

class TkbzWSOptimization_Channels : public TkbzPersistent
{
public:
    KBZ_PERSISTENT_CLASS(TkbzWSOptimization_Channels)
    KBZ_PERSISTENT_ASSIGN(TkbzWSOptimization_Channels, TkbzPersistent)

    bool Enabled = true;
};

class TkbzWSOptimization_ConnectionsFree : public TkbzPersistent
{
public:
    KBZ_PERSISTENT_CLASS(TkbzWSOptimization_ConnectionsFree)
    KBZ_PERSISTENT_ASSIGN(TkbzWSOptimization_ConnectionsFree, TkbzPersistent)

    bool Enabled = true;
    std::int32_t Interval = 60; // seconds
};

class TkbzWSOptimization_Options : public TkbzPersistent
{
public:
    KBZ_PERSISTENT_CLASS(TkbzWSOptimization_Options)
    KBZ_PERSISTENT_ASSIGN(TkbzWSOptimization_Options, TkbzPersistent)

    TkbzWSOptimization_Connections Connections;
    TkbzWSOptimization_Channels Channels;
    TkbzWSOptimization_ConnectionsFree ConnectionsFree;
};

// ---- Connection settings ----
// What a connection takes from its client or server component, as one value
// (TkbzWSOptionsClient::ConnectionSettings, TkbzWSOptionsServer::ConnectionSettings).
struct TkbzWSConnectionSettings
{
    bool ValidateUTF8 = false;
    bool RaiseDisconnectExceptions = true;
    TwsFragmentedMessages FragmentedMessages = TwsFragmentedMessages::frgOnlyBuffer;
    bool CleanDisconnect = true;
    // Largest frame or message accepted; a larger one closes the connection with 1009.
    std::int64_t MaxMessageSize = kbzDefaultMaxMessageSize;
    // The owner's read time-out (ms); kept for the options that copy it.
    int ReadTimeOut = 10;
};

// ---- Client connection settings ----
class TkbzWSOptionsClient : public TkbzPersistent
{
public:
    KBZ_PERSISTENT_CLASS(TkbzWSOptionsClient)
    KBZ_PERSISTENT_ASSIGN(TkbzWSOptionsClient, TkbzPersistent)

    // The request path with query, always starting with "/".
    std::string GetParameters() const;
    void SetParameters(std::string value) { FParameters = std::move(value); }
    // The settings a connection of the client takes.
    TkbzWSConnectionSettings ConnectionSettings() const
    {
        TkbzWSConnectionSettings s;
        s.ValidateUTF8 = ValidateUTF8;
        s.RaiseDisconnectExceptions = RaiseDisconnectExceptions;
        s.FragmentedMessages = FragmentedMessages;
        s.CleanDisconnect = CleanDisconnect;
        s.MaxMessageSize = MaxMessageSize;
        return s;
    }

    bool CleanDisconnect = false; // deactivation sends a close frame first
    TwsFragmentedMessages FragmentedMessages = TwsFragmentedMessages::frgOnlyBuffer;
    std::string Origin; // empty: the host
    bool RaiseDisconnectExceptions = true;
    bool ValidateUTF8 = false;
    // Largest frame or message accepted from the server; a larger one ends the
    // connection instead of growing memory without bound.
    std::int64_t MaxMessageSize = kbzDefaultMaxMessageSize;

private:
    std::string FParameters;
};

// ---- Client server selection ----
// A load balancer that names the server for each activation, and servers to
// pick from at random when it cannot answer.
class TkbzWSLoadBalancerClient_Options : public TkbzPersistent
{
public:
    KBZ_PERSISTENT_CLASS(TkbzWSLoadBalancerClient_Options)
    KBZ_PERSISTENT_ASSIGN(TkbzWSLoadBalancerClient_Options, TkbzPersistent)

    bool Enabled = false;
    std::string Host; // the balancer
    std::int32_t Port = 0;
    // Fallback servers, each "scheme:host:port" (ws://10.0.0.5:80, wss://10.0.0.6:443).
    std::vector<std::string> Servers;
};

// ---- Client authentication ----
class TkbzWSAuthentication_Options : public TkbzPersistent
{
public:
    KBZ_PERSISTENT_CLASS(TkbzWSAuthentication_Options)
    KBZ_PERSISTENT_ASSIGN(TkbzWSAuthentication_Options, TkbzPersistent)

    bool Enabled = false;
};

// User and password in the request path.
class TkbzWSAuthenticationClient_URL : public TkbzWSAuthentication_Options
{
public:
    TkbzWSAuthenticationClient_URL() { Enabled = true; }
    KBZ_PERSISTENT_CLASS(TkbzWSAuthenticationClient_URL)
};

// A session obtained by an HTTP request before connecting.
class TkbzWSAuthenticationClient_Session : public TkbzWSAuthentication_Options
{
public:
    KBZ_PERSISTENT_CLASS(TkbzWSAuthenticationClient_Session)
    KBZ_PERSISTENT_ASSIGN(TkbzWSAuthenticationClient_Session, TkbzWSAuthentication_Options)

    // Filled by the session request.
    std::string Extensions;
    std::string Protocols;
    std::string ID;
};

// An HTTP Basic header.
class TkbzWSAuthenticationClient_Basic : public TkbzWSAuthentication_Options
{
public:
    KBZ_PERSISTENT_CLASS(TkbzWSAuthenticationClient_Basic)
};

// An arbitrary "Authorization: <AuthName> <AuthToken>" header.
class TkbzWSAuthentication_Token : public TkbzWSAuthentication_Options
{
public:
    KBZ_PERSISTENT_CLASS(TkbzWSAuthentication_Token)
    KBZ_PERSISTENT_ASSIGN(TkbzWSAuthentication_Token, TkbzWSAuthentication_Options)

    std::string AuthName = "Bearer";
    std::string AuthToken;
};

class TkbzWSAuthenticationClient_Token : public TkbzWSAuthentication_Token
{
public:
    KBZ_PERSISTENT_CLASS(TkbzWSAuthenticationClient_Token)

    // Token sources, not owned; none by default. Assign does not copy them. OAuth is used
    // when both are set.
    TkbzHTTPComponentClientAuthToken_Base* JWT = nullptr;
    TkbzHTTPComponentClientAuthToken_Base* OAuth = nullptr;
};

class TkbzWSAuthenticationClient_Options : public TkbzWSAuthentication_Options
{
public:
    KBZ_PERSISTENT_CLASS(TkbzWSAuthenticationClient_Options)
    // Copies Enabled, User, Password and assigns the four sub-records.
    void Assign(const TkbzPersistent& src) override;

    std::string User;
    std::string Password;
    TkbzWSAuthenticationClient_URL URL;
    TkbzWSAuthenticationClient_Session Session;
    TkbzWSAuthenticationClient_Basic Basic;
    TkbzWSAuthenticationClient_Token Token;
};

} // namespace kbz
