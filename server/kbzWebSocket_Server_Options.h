// The option records of the server component: connection settings, allowed
// origins, authentication, fallback transports and send queues.
#pragma once

#include "base/kbzBase_Classes.h"
#include "base/kbzWebSocket_Helpers.h"
#include "websocket/kbzWebSocket_Options.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace kbz
{

// Settings every accepted connection gets.
class TkbzWSOptionsServer : public TkbzPersistent
{
public:
    KBZ_PERSISTENT_CLASS(TkbzWSOptionsServer)
    // Copies every field except WriteTimeOut.
    void Assign(const TkbzPersistent& src) override;

    // Read waits of the execute step and of each connection (ms); never below 1.
    int GetReadTimeOut() const noexcept { return FReadTimeOut < 1 ? 1 : FReadTimeOut; }
    void SetReadTimeOut(int value) noexcept { FReadTimeOut = value < 1 ? 1 : value; }

    bool CleanDisconnect = false;
    TwsFragmentedMessages FragmentedMessages = TwsFragmentedMessages::frgOnlyBuffer;
    bool HTMLFiles = false;
    bool JavascriptFiles = true;
    // When above 0, the send time-out (ms) of each accepted socket.
    std::int32_t WriteTimeOut = 0;
    bool RaiseDisconnectExceptions = true;
    bool ValidateUTF8 = false;
    // Largest frame or message a client may send; a larger one closes its
    // connection with 1009 instead of growing memory without bound.
    std::int64_t MaxMessageSize = kbzDefaultMaxMessageSize;

private:
    int FReadTimeOut = 10;
};

class TkbzWSSecurity_Options : public TkbzPersistent
{
public:
    KBZ_PERSISTENT_CLASS(TkbzWSSecurity_Options)
    void Assign(const TkbzPersistent& src) override;

    // Comma-separated wildcard masks of the origins allowed; empty allows all.
    std::string OriginsAllowed;
};

// ---- Authentication ----

// A token check of an external component (JWT, OAuth 2): whether the request
// headers carry a valid token.
using TkbzWSTokenCheck = std::function<bool(const TkbzHeaderList& headers)>;

class TkbzWSConnectionServer;

// What the server asks a token-checking component (the JWT check of the auth layer, which sits
// above the server and implements this). The component is not owned: it must outlive the
// server that refers to it. Both calls may come from several connection threads at once.
class IkbzWSServerTokenCheck
{
public:
    virtual ~IkbzWSServerTokenCheck() = default;
    // Whether the header lines of an upgrade request carry a valid token (or the component
    // accepts the request on its own).
    virtual bool IsRequestTokenValid(const std::shared_ptr<TkbzWSConnectionServer>& connection,
                                     const TkbzHeaderList& headers) = 0;
    // Whether the token of a Bearer "Authorization" header of an HTTP request is valid.
    virtual bool IsBearerTokenValid(const std::shared_ptr<TkbzWSConnectionServer>& connection,
                                    const std::string& token) = 0;
};

class TkbzWSAuthenticationServer_URL : public TkbzWSAuthentication_Options
{
public:
    TkbzWSAuthenticationServer_URL() { Enabled = true; }
    KBZ_PERSISTENT_CLASS(TkbzWSAuthenticationServer_URL)
};

class TkbzWSAuthenticationServer_Session : public TkbzWSAuthentication_Options
{
public:
    TkbzWSAuthenticationServer_Session() { Enabled = true; }
    KBZ_PERSISTENT_CLASS(TkbzWSAuthenticationServer_Session)
    void Assign(const TkbzPersistent& src) override;

    // Seconds an unused session identifier stays valid.
    std::int32_t TimeOut = 60;
    // Most pending session identifiers; the oldest goes when a new one would exceed it.
    std::int32_t MaxSessions = 10000;
};

class TkbzWSAuthenticationServer_Basic : public TkbzWSAuthentication_Options
{
public:
    KBZ_PERSISTENT_CLASS(TkbzWSAuthenticationServer_Basic)
};

class TkbzWSAuthenticationServer_JWT : public TkbzPersistent
{
public:
    KBZ_PERSISTENT_CLASS(TkbzWSAuthenticationServer_JWT)
    void Assign(const TkbzPersistent& src) override;

    // The JWT component, not owned; none by default.
    IkbzWSServerTokenCheck* JWT = nullptr;
};

class TkbzWSAuthenticationServer_OAuth : public TkbzPersistent
{
public:
    KBZ_PERSISTENT_CLASS(TkbzWSAuthenticationServer_OAuth)
    void Assign(const TkbzPersistent& src) override;

    TkbzWSTokenCheck OAuth2;
    TkbzWSTokenCheck OAuth2Provider;
};

class TkbzWSAuthenticationServer_Options : public TkbzWSAuthentication_Options
{
public:
    KBZ_PERSISTENT_CLASS(TkbzWSAuthenticationServer_Options)
    // Enabled, the five sub-records, AllowNonAuth and the lines of AuthUsers.
    void Assign(const TkbzPersistent& src) override;

    bool AllowNonAuth = false;
    // "user=password" lines; user names compare ignoring case.
    TkbzDelimitedStringList AuthUsers;
    TkbzWSAuthenticationServer_URL URL;
    TkbzWSAuthenticationServer_Session Session;
    TkbzWSAuthenticationServer_Basic Basic;
    TkbzWSAuthenticationServer_JWT JWT;
    TkbzWSAuthenticationServer_OAuth OAuth;
};

// ---- Fallback transports ----

class TkbzWSFallBack_Flash : public TkbzPersistent
{
public:
    KBZ_PERSISTENT_CLASS(TkbzWSFallBack_Flash)
    void Assign(const TkbzPersistent& src) override;

    bool Enabled = false;
    std::string Domain = "*";
    std::string Ports = "*";
};

class TkbzWSFallBack_SSE : public TkbzPersistent
{
public:
    KBZ_PERSISTENT_CLASS(TkbzWSFallBack_SSE)
    void Assign(const TkbzPersistent& src) override;

    bool Enabled = false;
    std::int32_t Retry = 3000;
};

class TkbzWSFallBack_Options : public TkbzPersistent
{
public:
    KBZ_PERSISTENT_CLASS(TkbzWSFallBack_Options)
    void Assign(const TkbzPersistent& src) override;

    TkbzWSFallBack_Flash Flash;
    TkbzWSFallBack_SSE ServerSentEvents;
};

class TkbzWSQueueServer_Options : public TkbzWSQueueOptions
{
public:
    KBZ_PERSISTENT_CLASS(TkbzWSQueueServer_Options)
};

} // namespace kbz
