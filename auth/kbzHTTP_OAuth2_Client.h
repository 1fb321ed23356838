// The token source that obtains an OAuth 2.0 access token: the authorization-code grant (the
// authorization page opens in the user's browser, whose redirect brings the code to the local
// server) or the client-credentials grant, token and refresh requests over HTTPS, and the
// refresh timer that renews the token while its refresh token lasts. Every token arrives through
// OnAuthToken, every failure through OnAuthTokenError.
#pragma once

#include "auth/kbzHTTP_OAuth_Client.h"
#include "base/kbzWebSocket_Classes_SyncObjs.h"
#include "transport/kbzHTTP_Client.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace kbz
{

enum class TkbzOAuth2GrantTypes : std::uint8_t
{
    auth2Code,
    auth2ClientCredentials
};

class TkbzHTTPOAuth2_Options : public TkbzPersistent
{
public:
    KBZ_PERSISTENT_CLASS(TkbzHTTPOAuth2_Options)
    // Every field but the state of the authorization in progress.
    void Assign(const TkbzPersistent& src) override;

    // The state of the authorization in progress; reading it while it is empty makes one.
    std::string GetState();
    void SetState(std::string value);

    std::string ClientId;
    std::string ClientSecret;
    TkbzOAuth2GrantTypes GrantType = TkbzOAuth2GrantTypes::auth2Code;
    // When set, the token requests carry them as Basic credentials.
    std::string Username;
    std::string Password;

private:
    std::mutex FStateLock;
    std::string FState;
};

// The TLS settings of the token requests. They carry the client's secret, so the server's
// certificate is verified unless an application turns it off.
class TkbzIdHTTPTLS_Options : public TkbzTCPTLS_Options
{
public:
    TkbzIdHTTPTLS_Options() { VerifyCertificate = true; }
    KBZ_PERSISTENT_CLASS(TkbzIdHTTPTLS_Options)
};

class TkbzHttpLogFile : public TkbzPersistent
{
public:
    KBZ_PERSISTENT_CLASS(TkbzHttpLogFile)
    KBZ_PERSISTENT_ASSIGN(TkbzHttpLogFile, TkbzPersistent)

    // Not empty: every token request and its answer are appended to this file.
    std::string FileName;
};

class TkbzHTTPClient_Options : public TkbzPersistent
{
public:
    KBZ_PERSISTENT_CLASS(TkbzHTTPClient_Options)
    // Copies both records; the TLS one by its Assign (the OpenSSL record keeps UnixSymLinks).
    void Assign(const TkbzPersistent& src) override;
    void SetTLSOptions(const TkbzIdHTTPTLS_Options& value) { TLSOptions.Assign(value); }
    void SetLogOptions(const TkbzHttpLogFile& value) { LogOptions.Assign(value); }

    TkbzIdHTTPTLS_Options TLSOptions;
    TkbzHttpLogFile LogOptions;
};

class TkbzHTTPComponentClient_OAuth2;

// Sender, var URL, var Handled.
using TkbzOnAuth2BeforeAuthorizeCode =
    TkbzEvent<TkbzHTTPComponentClient_OAuth2&, std::string&, bool&>;
// Sender, Code, State, Scope, RawParams, var Handled.
using TkbzOnAuth2AfterAuthorizeCode =
    TkbzEvent<TkbzHTTPComponentClient_OAuth2&, const std::string&, const std::string&,
              const std::string&, const std::string&, bool&>;
// Sender, Error, Error_Description, Error_URI, State, RawParams.
using TkbzOnAuth2ErrorAuthorizeCode =
    TkbzEvent<TkbzHTTPComponentClient_OAuth2&, const std::string&, const std::string&,
              const std::string&, const std::string&, const std::string&>;
// Sender, var URL, var Parameters, var Handled.
using TkbzOnAuth2BeforeAccessToken =
    TkbzEvent<TkbzHTTPComponentClient_OAuth2&, std::string&, std::string&, bool&>;
// Sender, Access_Token, Token_Type, Expires_In, Refresh_Token, Scope, RawParams, var Handled.
using TkbzOnAuth2AfterAccessToken =
    TkbzEvent<TkbzHTTPComponentClient_OAuth2&, const std::string&, const std::string&,
              const std::string&, const std::string&, const std::string&, const std::string&,
              bool&>;
// Sender, Error, Error_Description, Error_URI, RawParams.
using TkbzOnAuth2ErrorAccessToken =
    TkbzEvent<TkbzHTTPComponentClient_OAuth2&, const std::string&, const std::string&,
              const std::string&, const std::string&>;
using TkbzOnAuth2BeforeRefreshToken = TkbzOnAuth2BeforeAccessToken;
using TkbzOnAuth2AfterRefreshToken = TkbzOnAuth2AfterAccessToken;
using TkbzOnAuth2ErrorRefreshToken = TkbzOnAuth2ErrorAccessToken;
// Sender, var Code, var Text: the answer the browser gets after the code was exchanged.
using TkbzOnAuth2HTTPResponse = TkbzEvent<TkbzHTTPComponentClient_OAuth2&, int&, std::string&>;

// Configure the options and events before Start. Start runs on the caller's thread; the
// redirect and the exchange of its code on the local server's connection thread; refreshes on
// the timer's thread. Stop may come from any thread, the component's events included: it never
// waits for them, and no event of the work it ended follows it.
class TkbzHTTPComponentClient_OAuth2 : public TkbzHTTPComponentClient_OAuth
{
public:
    TkbzHTTPComponentClient_OAuth2();
    ~TkbzHTTPComponentClient_OAuth2() override;

    TkbzHTTPOAuth2_Options& OAuth2Options() noexcept { return FOAuth2Options; }
    void SetOAuth2Options(const TkbzHTTPOAuth2_Options& value) { FOAuth2Options.Assign(value); }
    TkbzHTTPClient_Options& HTTPClientOptions() noexcept { return FHTTPClientOptions; }
    void SetHTTPClientOptions(const TkbzHTTPClient_Options& value)
    {
        FHTTPClientOptions.Assign(value);
    }

    // Begins the configured grant. Raises Exception for a missing AuthURL, TokenURL or client
    // id, a local server that cannot listen and a browser that cannot be opened (the local
    // server is stopped then); token endpoint failures arrive as events.
    void Start() override;
    // Stops the local server, the refresh timer and any token request in progress.
    void Stop() override;
    // Runs the refresh request with this refresh token now. Transport errors raise.
    void Refresh(const std::string& aRefreshToken);

    std::string GetRefreshToken() const;
    // Lifetime (seconds) of the last token.
    std::int32_t GetExpiresIn() const;
    // Seconds after which the armed refresh comes; 0 when none is armed.
    std::int64_t GetRefreshScheduled() const;

    TkbzOnAuth2BeforeAuthorizeCode OnBeforeAuthorizeCode;
    TkbzOnAuth2AfterAuthorizeCode OnAfterAuthorizeCode;
    TkbzOnAuth2ErrorAuthorizeCode OnErrorAuthorizeCode;
    TkbzOnAuth2BeforeAccessToken OnBeforeAccessToken;
    TkbzOnAuth2AfterAccessToken OnAfterAccessToken;
    TkbzOnAuth2ErrorAccessToken OnErrorAccessToken;
    TkbzOnAuth2BeforeRefreshToken OnBeforeRefreshToken;
    TkbzOnAuth2AfterRefreshToken OnAfterRefreshToken;
    TkbzOnAuth2ErrorRefreshToken OnErrorRefreshToken;
    TkbzOnAuth2HTTPResponse OnHTTPResponse;

protected:
    // The POST of a token or refresh request: raises what the HTTP client raises.
    virtual TkbzHTTPResponse DoHTTPPost(const std::string& url, const std::string& body);
    // Arms the refresh after seconds (disarms it when they do not fit a 32-bit millisecond
    // interval); tests arm shorter ones. generation ties the timer to the work that armed it.
    virtual void DoScheduleRefresh(std::int64_t seconds, std::uint64_t generation);
    // A fresh timer that fires once after ms; none with ms <= 0. Nothing when the generation
    // is not the current one (a Stop came in between).
    void ArmRefreshTimer(std::int64_t ms, std::uint64_t generation, std::int64_t seconds);
    void DoRedirectRequest(const TkbzHTTPHead& head, TkbzHTTPAnswer& answer,
                           bool& stopServer) override;

private:
    // What a token request came to: its status and text for the browser, or why it was not sent.
    struct TExchange
    {
        bool Sent = false;
        bool NotHTTPS = false;
        int Status = 0;
        std::string Text;
    };

    TExchange AccessTokenRequest(const std::string& code, std::uint64_t generation);
    void RefreshRequest(const std::string& refreshToken, std::uint64_t generation);
    void OnRefreshTick(TkbzTimer& timer, std::uint64_t generation);
    // Appends a pair to a form body.
    static void AddPair(std::string& body, const std::string& name, const std::string& value);
    bool IsCurrent(std::uint64_t generation) const;
    std::uint64_t Generation() const;
    void RetireTimer(std::unique_ptr<TkbzTimer> timer);

    TkbzHTTPOAuth2_Options FOAuth2Options;
    TkbzHTTPClient_Options FHTTPClientOptions;

    // Refresh state, the timer and the requests in progress; the generation counts Start and
    // Stop, so work that began before the latest Stop raises nothing.
    mutable std::mutex FLock;
    std::uint64_t FGeneration = 0;
    std::string FRefreshToken;
    std::int32_t FExpiresIn = 0;
    std::int64_t FRefreshScheduled = 0;
    std::set<TkbzHTTPClient*> FRequests;
    std::unique_ptr<TkbzTimer> FTimer;
    // Timers that were replaced or stopped, freed once their thread has ended (never waited
    // for from a thread that may be raising their events).
    std::vector<std::unique_ptr<TkbzTimer>> FRetiredTimers;
};

} // namespace kbz
