// A small OAuth 2.0 authorization server on the WebSocket and HTTP server (authorization-code
// grant with refresh tokens): the authorization page with its sign-in, the token endpoint, and
// the check of the Bearer tokens it issued. The server offers it every plain HTTP request of a
// TLS connection when its Authentication.OAuth.OAuth2 names it, and asks it about the tokens of
// upgrades and HTTP requests.
#pragma once

#include "auth/kbzHTTP_OAuth_Server.h"
#include "base/kbzBase_Events.h"
#include "transport/kbzSocket_Options.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace kbz
{

using TkbzDateTime = std::chrono::system_clock::time_point;

enum class TkbzOAuth2CurrentState : std::uint8_t
{
    oat2RequestAuthorization, // the authorization page was shown
    oat2AuthorizationCode,    // the user signed in; a code was issued
    oat2AccessToken           // the code was exchanged; a token was issued
};

// The credentials the user signed in with.
struct TkbzHTTPOAuth2Authentication
{
    std::string User;
    std::string Password;
};

// A token issued for one authorization.
struct TkbzHTTPOAuth2AccessToken
{
    std::string AccessToken;
    // Empty when the application gets no refresh tokens.
    std::string RefreshToken;
    TkbzDateTime Expires{};
    TkbzDateTime RefreshExpires{};

    // Whole seconds from now until Expires (rounded up) while now is before it; otherwise -1.
    std::int32_t ExpiresIn(TkbzDateTime now) const noexcept;
    // 64 lower-case hexadecimal characters from the system's random source.
    static std::string MakeToken();
};

// One authorization, from the page to the issued token. Its fields change on the connection
// threads that serve its endpoints; the getters give consistent copies.
class TkbzHTTPOAuth2Request : public TkbzQueueItemBase
{
public:
    // A fresh identifier: 64 lower-case hexadecimal characters.
    TkbzHTTPOAuth2Request();

    TkbzHTTPOAuthAppPtr GetApp() const;
    TkbzHTTPOAuth2Authentication GetAuthentication() const;
    // Empty until the user signed in.
    std::string GetAuthorizationCode() const;
    std::string GetClient_Id() const;
    std::string GetRedirect_URI() const;
    std::string GetResponse_Type() const;
    std::string GetScope() const;
    std::string GetState() const;
    TkbzOAuth2CurrentState GetCurrentState() const;
    TkbzHTTPOAuth2AccessToken GetToken() const;

private:
    friend class TkbzHTTPComponentServer_OAuth2;

    mutable std::mutex FLock;
    TkbzHTTPOAuthAppPtr FApp;
    TkbzHTTPOAuth2Authentication FAuthentication;
    std::string FAuthorizationCode;
    std::string FClient_Id;
    std::string FRedirect_URI;
    // The authorization request named its redirect_uri (the token request must name it too).
    bool FRedirectGiven = false;
    std::string FResponse_Type;
    std::string FScope;
    std::string FState;
    TkbzOAuth2CurrentState FCurrentState = TkbzOAuth2CurrentState::oat2RequestAuthorization;
    TkbzHTTPOAuth2AccessToken FToken;
    // When the page was shown, and when the code was issued.
    TkbzDateTime FCreated{};
    TkbzDateTime FCodeIssued{};
};

using TkbzHTTPOAuth2RequestPtr = std::shared_ptr<TkbzHTTPOAuth2Request>;

class TkbzHTTPOAuth2Requests : public TkbzQueue
{
public:
    TkbzHTTPOAuth2Requests() { SetOwnObjects(true); }
};

class TkbzHTTPOAuth2Server_Authorization : public TkbzPersistent
{
public:
    KBZ_PERSISTENT_CLASS(TkbzHTTPOAuth2Server_Authorization)
    KBZ_PERSISTENT_ASSIGN(TkbzHTTPOAuth2Server_Authorization, TkbzPersistent)

    bool Enabled = true;
    std::string URL = "/kbz/oauth2/auth";
};

class TkbzHTTPOAuth2Server_Token : public TkbzPersistent
{
public:
    KBZ_PERSISTENT_CLASS(TkbzHTTPOAuth2Server_Token)
    KBZ_PERSISTENT_ASSIGN(TkbzHTTPOAuth2Server_Token, TkbzPersistent)

    bool Enabled = true;
    std::string URL = "/kbz/oauth2/token";
};

class TkbzHTTPOAuth2Server_Options : public TkbzPersistent
{
public:
    KBZ_PERSISTENT_CLASS(TkbzHTTPOAuth2Server_Options)
    KBZ_PERSISTENT_ASSIGN(TkbzHTTPOAuth2Server_Options, TkbzPersistent)

    TkbzHTTPOAuth2Server_Authorization Authorization;
    TkbzHTTPOAuth2Server_Token Token;
    // How long a shown page waits for its sign-in, and an issued code for its exchange (seconds).
    std::int32_t CodeExpiresIn = 600;
    // Most authorizations waiting for a sign-in or an exchange, and most issued tokens: past
    // them the oldest goes, so peers cannot grow the lists without bound.
    std::int32_t MaxPendingRequests = 10000;
    std::int32_t MaxTokens = 100000;
};

class TkbzHTTPComponentServer_OAuth2_Base;
class TkbzHTTPComponentServer_OAuth2;

using TkbzHTTPOAuth2BeforeRequestEvent =
    TkbzEvent<TkbzHTTPComponentServer_OAuth2_Base&, const TkbzWSConnectionServerPtr&,
              const TkbzHeaderList&, bool&>;
using TkbzHTTPOAuth2BeforeDispatchPageEvent =
    TkbzEvent<TkbzHTTPComponentServer_OAuth2&, const TkbzHTTPOAuth2RequestPtr&, std::string&>;
// Connection, request, user, password, var Authenticated.
using TkbzHTTPOAuth2AuthenticationEvent =
    TkbzEvent<const TkbzWSConnectionServerPtr&, const TkbzHTTPOAuth2RequestPtr&, const std::string&,
              const std::string&, bool&>;
// Sender, connection, request (none when there was none), the JSON text sent.
using TkbzHTTPOAuth2AfterAccessTokenEvent =
    TkbzEvent<TkbzHTTPComponentServer_OAuth2&, const TkbzWSConnectionServerPtr&,
              const TkbzHTTPOAuth2RequestPtr&, const std::string&>;
using TkbzHTTPOAuth2AfterRefreshTokenEvent = TkbzHTTPOAuth2AfterAccessTokenEvent;
using TkbzHTTPOAuth2AfterValidateAccessTokenEvent =
    TkbzEvent<TkbzHTTPComponentServer_OAuth2&, const TkbzWSConnectionServerPtr&,
              const TkbzHTTPOAuth2RequestPtr&, bool&>;

class TkbzHTTPComponentServer_OAuth2_Base : public TkbzHTTPComponentServer_OAuth
{
public:
    // Every offered request and every token check asks it first: Cancel swallows a request
    // (nothing is answered) and makes a token invalid.
    TkbzHTTPOAuth2BeforeRequestEvent OnOAuth2BeforeRequest;
};

// Register applications and set the options and events before the server that refers to the
// component starts; endpoints and checks run on the server's connection threads, several at once.
// Events are raised outside the component's locks.
class TkbzHTTPComponentServer_OAuth2 : public TkbzHTTPComponentServer_OAuth2_Base
{
public:
    TkbzHTTPComponentServer_OAuth2();
    ~TkbzHTTPComponentServer_OAuth2() override;

    TkbzHTTPOAuth2Server_Options& OAuth2Options() noexcept { return FOAuth2Options; }
    void SetOAuth2Options(const TkbzHTTPOAuth2Server_Options& value)
    {
        FOAuth2Options.Assign(value);
    }
    // Created on first use.
    TkbzHTTPOAuth2Requests& Requests();

    // Registers a token issued elsewhere: false when no application has that name or aExpires
    // is not later than now.
    bool AddToken(const std::string& aAppName, const std::string& aToken, TkbzDateTime aExpires,
                  const std::string& aRefreshToken);
    // Removes the authorization whose access token that is; true when one was removed.
    bool RemoveToken(const std::string& aToken);

    // The component's endpoints: true when the request was the component's (answered, or
    // swallowed by "/favicon.ico" or OnOAuth2BeforeRequest).
    bool DoProcessHTTP(const TkbzWSConnectionServerPtr& aConnection,
                       TkbzWSServerHTTPRequest& aRequest) override;

    // The Bearer token of the header lines is one the component issued and has not expired.
    bool IsOAuth2TokenValid(const TkbzWSConnectionServerPtr& aConnection,
                            const TkbzHeaderList& aHeaders);
    bool IsOAuth2TokenValid(const TkbzWSConnectionServerPtr& aConnection,
                            const std::string& aToken);

    bool IsRequestTokenValid(const TkbzWSConnectionServerPtr& connection,
                             const TkbzHeaderList& headers) override;
    bool IsBearerTokenValid(const TkbzWSConnectionServerPtr& connection,
                            const std::string& token) override;

    TkbzHTTPOAuth2BeforeDispatchPageEvent OnOAuth2BeforeDispatchPage;
    TkbzHTTPOAuth2AuthenticationEvent OnOAuth2Authentication;
    TkbzHTTPOAuth2AfterAccessTokenEvent OnOAuth2AfterAccessToken;
    TkbzHTTPOAuth2AfterRefreshTokenEvent OnOAuth2AfterRefreshToken;
    TkbzHTTPOAuth2AfterValidateAccessTokenEvent OnOAuth2AfterValidateAccessToken;

protected:
    // The clock of every expiry (tests move it).
    virtual TkbzDateTime Now() const;

private:
    struct TTokenReply;

    void DoAuthorizationRequest(const TkbzWSConnectionServerPtr& c, TkbzWSServerHTTPRequest& r);
    void DoSignIn(const TkbzWSConnectionServerPtr& c, TkbzWSServerHTTPRequest& r);
    void DoTokenEndpoint(const TkbzWSConnectionServerPtr& c, TkbzWSServerHTTPRequest& r);
    TTokenReply ExchangeCode(const std::string& code, const std::string& redirectURI,
                             const std::string& clientId, const std::string& clientSecret);
    // The client's id and secret name a registered application; otherwise the refusal.
    bool AuthenticateClient(const std::string& clientId, const std::string& clientSecret,
                            TTokenReply& reply);
    TTokenReply RefreshAccessToken(const std::string& refreshToken, const std::string& scope,
                                   const std::string& clientId, const std::string& clientSecret);
    // Adds a request, first dropping expired ones and, past the bounds, the oldest.
    void AddRequest(const TkbzHTTPOAuth2RequestPtr& request);
    // Under the list's lock: drops expired requests, then the oldest of each kind until room
    // more pending requests and roomTokens more tokens fit.
    void EnforceBounds(std::vector<TkbzQueueItem>& list, std::vector<TkbzQueueItem>& gone,
                       TkbzDateTime now, std::size_t roomPending, std::size_t roomTokens) const;
    // Under the list's lock: whether the request is over (its page, code or tokens expired).
    bool IsExpired(TkbzHTTPOAuth2Request& request, TkbzDateTime now) const;
    TkbzHTTPOAuth2RequestPtr FindByID(const std::string& id);

    TkbzHTTPOAuth2Server_Options FOAuth2Options;
    std::mutex FRequestsLock; // creation of FRequests
    std::unique_ptr<TkbzHTTPOAuth2Requests> FRequests;
};

} // namespace kbz
