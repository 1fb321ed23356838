#include "auth/kbzHTTP_OAuth2_Client.h"

#include "base/kbzBase_Helpers.h"

#include "json/kbzJSON.h"
#include <fstream>

namespace kbz
{

namespace
{

constexpr const char* kSuccessText =
    "The operation was successful, you can close your browser now.";
constexpr const char* kDefaultPage = "<HTML><BODY><B>200 OK</B></BODY></HTML>";

// The members of a token answer or an error document, each as text (empty when absent).
struct TDocument
{
    IkbzJSON Doc = std::make_shared<TkbzJSON>();

    explicit TDocument(const std::string& text) { Doc->Read(text); }
    std::string Get(std::string_view name) const
    {
        const IkbzObjectJSON node = Doc->GetNode(name);
        if (!node)
        {
            return {};
        }
        switch (node->GetJSONType())
        {
        case TkbzJSONtype::kbzJSONString:
            return kbzJSONDecodeString(node->GetRawValue());
        case TkbzJSONtype::kbzJSONNull:
            return {};
        default:
            return node->GetValue();
        }
    }
};

// "expires_in" read leniently: blanks, a sign, "$" or "0x" for hexadecimal, then the digits up
// to the first other character; 0 without any. Clamped to the 32-bit range.
std::int32_t LenientInt(std::string_view text)
{
    std::size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t'))
    {
        ++i;
    }
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-'))
    {
        negative = text[i] == '-';
        ++i;
    }
    int base = 10;
    if (i < text.size() && text[i] == '$')
    {
        base = 16;
        ++i;
    }
    else if (i + 1 < text.size() && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X'))
    {
        base = 16;
        i += 2;
    }
    std::int64_t value = 0;
    for (; i < text.size(); ++i)
    {
        const char c = text[i];
        int digit = -1;
        if (c >= '0' && c <= '9')
        {
            digit = c - '0';
        }
        else if (base == 16 && c >= 'a' && c <= 'f')
        {
            digit = c - 'a' + 10;
        }
        else if (base == 16 && c >= 'A' && c <= 'F')
        {
            digit = c - 'A' + 10;
        }
        if (digit < 0)
        {
            break;
        }
        value = value * base + digit;
        if (value > INT32_MAX)
        {
            value = INT32_MAX;
        }
    }
    return static_cast<std::int32_t>(negative ? -value : value);
}

bool IsHTTPS(const std::string& url)
{
    return kbzUpperCase(url.substr(0, 5)) == "HTTPS";
}

// The query parameters of the redirect: by name (the last one wins), and all of them as
// "name=value" lines.
struct TRedirectParams
{
    std::string Code, State, Scope, Error, ErrorDescription, ErrorURI, Raw;

    explicit TRedirectParams(const TkbzHTTPHead& head)
    {
        TkbzDelimitedStringList raw;
        for (const auto& [name, value] : kbzHTTPParseQuery(head.Query()))
        {
            raw.Add(name + "=" + value);
            if (name == "code")
            {
                Code = value;
            }
            else if (name == "state")
            {
                State = value;
            }
            else if (name == "scope")
            {
                Scope = value;
            }
            else if (name == "error")
            {
                Error = value;
            }
            else if (name == "error_description")
            {
                ErrorDescription = value;
            }
            else if (name == "error_uri")
            {
                ErrorURI = value;
            }
        }
        Raw = raw.GetText();
    }
};

TkbzHTTPAnswer TextAnswer(int status, const std::string& text)
{
    TkbzHTTPAnswer a;
    a.Status = status;
    // Plain text: the text may be the token endpoint's answer, which must not become markup.
    a.Headers.Add("Content-Type", "text/plain; charset=utf-8");
    a.Body = text;
    return a;
}

TkbzHTTPAnswer DefaultAnswer()
{
    TkbzHTTPAnswer a;
    a.Status = 200;
    a.Headers.Add("Content-Type", "text/html; charset=utf-8");
    a.Body = kDefaultPage;
    return a;
}

} // namespace

// ---- Options ----

std::string TkbzHTTPOAuth2_Options::GetState()
{
    std::lock_guard guard(FStateLock);
    if (FState.empty())
    {
        FState = kbzNewGuid();
    }
    return FState;
}

void TkbzHTTPOAuth2_Options::SetState(std::string value)
{
    std::lock_guard guard(FStateLock);
    FState = std::move(value);
}

void TkbzHTTPOAuth2_Options::Assign(const TkbzPersistent& src)
{
    if (const auto* s = dynamic_cast<const TkbzHTTPOAuth2_Options*>(&src))
    {
        ClientId = s->ClientId;
        ClientSecret = s->ClientSecret;
        Username = s->Username;
        Password = s->Password;
        GrantType = s->GrantType;
        return;
    }
    TkbzPersistent::Assign(src);
}

void TkbzHTTPClient_Options::Assign(const TkbzPersistent& src)
{
    if (const auto* s = dynamic_cast<const TkbzHTTPClient_Options*>(&src))
    {
        TLSOptions.Assign(s->TLSOptions);
        LogOptions = s->LogOptions;
        return;
    }
    TkbzPersistent::Assign(src);
}

// ---- The component ----

TkbzHTTPComponentClient_OAuth2::TkbzHTTPComponentClient_OAuth2() = default;

TkbzHTTPComponentClient_OAuth2::~TkbzHTTPComponentClient_OAuth2()
{
    SetDestroying();
    std::vector<std::unique_ptr<TkbzTimer>> timers;
    {
        std::lock_guard guard(FLock);
        ++FGeneration;
        for (TkbzHTTPClient* request : FRequests)
        {
            request->Cancel();
        }
        if (FTimer)
        {
            timers.push_back(std::move(FTimer));
        }
        for (auto& t : FRetiredTimers)
        {
            timers.push_back(std::move(t));
        }
        FRetiredTimers.clear();
    }
    // Redirects in progress end with the local server; refreshes with their timers.
    ShutdownLocalServer();
    for (auto& t : timers)
    {
        kbzFreeThread(t);
    }
}

std::uint64_t TkbzHTTPComponentClient_OAuth2::Generation() const
{
    std::lock_guard guard(FLock);
    return FGeneration;
}

bool TkbzHTTPComponentClient_OAuth2::IsCurrent(std::uint64_t generation) const
{
    return !IsDestroying() && Generation() == generation;
}

std::string TkbzHTTPComponentClient_OAuth2::GetRefreshToken() const
{
    std::lock_guard guard(FLock);
    return FRefreshToken;
}

std::int32_t TkbzHTTPComponentClient_OAuth2::GetExpiresIn() const
{
    std::lock_guard guard(FLock);
    return FExpiresIn;
}

std::int64_t TkbzHTTPComponentClient_OAuth2::GetRefreshScheduled() const
{
    std::lock_guard guard(FLock);
    return FRefreshScheduled;
}

void TkbzHTTPComponentClient_OAuth2::RetireTimer(std::unique_ptr<TkbzTimer> timer)
{
    // Under FLock. A retired timer ends at once, or after the tick it runs; ended ones go.
    if (timer)
    {
        timer->Terminate();
        FRetiredTimers.push_back(std::move(timer));
    }
    for (auto it = FRetiredTimers.begin(); it != FRetiredTimers.end();)
    {
        if ((*it)->Finished() && !(*it)->IsCurrentThread())
        {
            it = FRetiredTimers.erase(it);
        }
        else
        {
            ++it;
        }
    }
}

void TkbzHTTPComponentClient_OAuth2::Start()
{
    std::uint64_t generation = 0;
    {
        std::lock_guard guard(FLock);
        generation = ++FGeneration;
        FRefreshToken.clear();
        FRefreshScheduled = 0;
        RetireTimer(std::move(FTimer));
    }
    const TkbzHTTPOAuth_AuthorizationServer& server = AuthorizationServerOptions();
    if (FOAuth2Options.GrantType == TkbzOAuth2GrantTypes::auth2ClientCredentials)
    {
        // Nothing comes back through a browser: no local server.
        if (server.TokenURL.empty())
        {
            throw Exception("Token URL must not be empty.");
        }
        AccessTokenRequest(std::string(), generation);
        return;
    }
    if (server.AuthURL.empty())
    {
        throw Exception("Authentication URL must not be empty.");
    }
    if (server.TokenURL.empty())
    {
        throw Exception("Token URL must not be empty.");
    }
    if (FOAuth2Options.ClientId.empty())
    {
        throw Exception("Client ID must not be empty.");
    }
    StartLocalServer();
    try
    {
        FOAuth2Options.SetState(std::string());
        std::string params = "response_type=code";
        AddPair(params, "client_id", FOAuth2Options.ClientId);
        const std::string redirect = GetRedirectURL();
        if (!redirect.empty())
        {
            AddPair(params, "redirect_uri", redirect);
        }
        AddPair(params, "scope", server.GetScopeText());
        AddPair(params, "state", FOAuth2Options.GetState());
        std::string url =
            server.AuthURL + (server.AuthURL.find('?') == std::string::npos ? "?" : "&") + params;
        bool handled = false;
        OnBeforeAuthorizeCode(*this, url, handled);
        if (!handled && !OpenBrowser(url))
        {
            throw Exception("WebBrowser cannot be opened.");
        }
    }
    catch (...)
    {
        StopLocalServer();
        throw;
    }
}

void TkbzHTTPComponentClient_OAuth2::Stop()
{
    {
        std::lock_guard guard(FLock);
        ++FGeneration;
        FRefreshScheduled = 0;
        RetireTimer(std::move(FTimer));
        for (TkbzHTTPClient* request : FRequests)
        {
            request->Cancel();
        }
    }
    TkbzHTTPComponentClient_OAuth::Stop();
}

void TkbzHTTPComponentClient_OAuth2::Refresh(const std::string& aRefreshToken)
{
    RefreshRequest(aRefreshToken, Generation());
}

void TkbzHTTPComponentClient_OAuth2::AddPair(std::string& body, const std::string& name,
                                             const std::string& value)
{
    body += "&" + name + "=" + detail::FormEncode(value);
}

TkbzHTTPResponse TkbzHTTPComponentClient_OAuth2::DoHTTPPost(const std::string& url,
                                                            const std::string& body)
{
    TkbzHTTPClient client;
    client.TLSOptions.Assign(FHTTPClientOptions.TLSOptions);
    client.KeepAlive = false;
    TkbzHTTPHeaders headers;
    headers.Add("Accept", "application/json");
    if (!FOAuth2Options.Username.empty())
    {
        headers.Add("Authorization", "Basic " + kbzEncodeBase64(FOAuth2Options.Username + ":" +
                                                                FOAuth2Options.Password));
    }
    {
        std::lock_guard guard(FLock);
        if (IsDestroying())
        {
            throw EIdClosedSocket("Request cancelled.");
        }
        FRequests.insert(&client);
    }
    struct Unregister
    {
        TkbzHTTPComponentClient_OAuth2& owner;
        TkbzHTTPClient* client;
        ~Unregister()
        {
            std::lock_guard guard(owner.FLock);
            owner.FRequests.erase(client);
        }
    } unregister{*this, &client};
    const std::string logFile = FHTTPClientOptions.LogOptions.FileName;
    auto log = [&](const std::string& text) {
        if (logFile.empty())
        {
            return;
        }
        std::ofstream out(logFile, std::ios::app | std::ios::binary);
        out << kbzFormatDateTime("yyyy-mm-dd hh:nn:ss.zzz", std::chrono::system_clock::now()) << " "
            << text << "\n";
    };
    log("POST " + url + "\n" + body);
    try
    {
        TkbzHTTPResponse response =
            client.Post(url, body, "application/x-www-form-urlencoded", headers);
        log(response.Head.Version() + " " + std::to_string(response.Status()) + " " +
            response.Reason() + "\n" + response.Body);
        return response;
    }
    catch (const std::exception& e)
    {
        log(std::string("error ") + e.what());
        throw;
    }
}

TkbzHTTPComponentClient_OAuth2::TExchange
TkbzHTTPComponentClient_OAuth2::AccessTokenRequest(const std::string& code,
                                                   std::uint64_t generation)
{
    TExchange x;
    const bool isCode = FOAuth2Options.GrantType == TkbzOAuth2GrantTypes::auth2Code;
    std::string body;
    if (isCode)
    {
        body = "grant_type=authorization_code";
        AddPair(body, "code", code);
    }
    else
    {
        body = "grant_type=client_credentials";
        AddPair(body, "scope", AuthorizationServerOptions().GetScopeText());
    }
    const std::string redirect = GetRedirectURL();
    if (!redirect.empty())
    {
        AddPair(body, "redirect_uri", redirect);
    }
    if (!FOAuth2Options.ClientId.empty())
    {
        AddPair(body, "client_id", FOAuth2Options.ClientId);
    }
    if (!FOAuth2Options.ClientSecret.empty())
    {
        AddPair(body, "client_secret", FOAuth2Options.ClientSecret);
    }
    std::string url = AuthorizationServerOptions().TokenURL;
    bool handled = false;
    OnBeforeAccessToken(*this, url, body, handled);
    if (handled)
    {
        return x;
    }
    if (!IsHTTPS(url))
    {
        // Token requests carry the client's secret: only to https endpoints.
        x.NotHTTPS = true;
        return x;
    }
    x.Sent = true;
    TkbzHTTPResponse response;
    try
    {
        response = DoHTTPPost(url, body);
    }
    catch (const std::exception& e)
    {
        x.Status = 500;
        x.Text = e.what();
        if (IsCurrent(generation))
        {
            OnErrorAccessToken(*this, "invalid_request", x.Text, std::string(), std::string());
            DoAuthTokenError("invalid_request", x.Text, std::string());
        }
        return x;
    }
    x.Status = response.Status();
    if (!IsCurrent(generation))
    {
        x.Text = kSuccessText;
        return x; // stopped meanwhile: nothing more is raised
    }
    const TDocument doc(response.Body);
    const std::string accessToken = doc.Get("access_token");
    if (x.Status != 200 || accessToken.empty())
    {
        // Only a 200 answer with a token delivers one; anything else is the server's refusal.
        std::string error = doc.Get("error");
        std::string description = doc.Get("error_description");
        if (error.empty())
        {
            error = "invalid_request";
        }
        if (description.empty())
        {
            description = response.Body.empty() ? std::to_string(x.Status) + " " + response.Reason()
                                                : response.Body;
        }
        x.Text = response.Body.empty() ? description : response.Body;
        if (x.Status == 200)
        {
            x.Status = 500;
        }
        OnErrorAccessToken(*this, error, description, doc.Get("error_uri"), response.Body);
        DoAuthTokenError(error, description, response.Body);
        return x;
    }
    x.Text = kSuccessText;
    const std::string tokenType = doc.Get("token_type");
    const std::string expiresIn = doc.Get("expires_in");
    const std::string refreshToken = doc.Get("refresh_token");
    {
        std::lock_guard guard(FLock);
        FRefreshToken.clear();
    }
    bool afterHandled = false;
    OnAfterAccessToken(*this, accessToken, tokenType, expiresIn, refreshToken, doc.Get("scope"),
                       response.Body, afterHandled);
    if (afterHandled)
    {
        return x;
    }
    const std::int32_t lifetime = LenientInt(expiresIn);
    {
        std::lock_guard guard(FLock);
        if (FGeneration != generation)
        {
            return x;
        }
        FRefreshToken = refreshToken;
        FExpiresIn = lifetime;
    }
    // Armed before the token is handed over, so a Stop from the handler also ends the refresh.
    if (!refreshToken.empty() && lifetime > 60)
    {
        DoScheduleRefresh(lifetime / 2, generation);
    }
    DoAuthToken(tokenType, accessToken, response.Body);
    return x;
}

void TkbzHTTPComponentClient_OAuth2::RefreshRequest(const std::string& refreshToken,
                                                    std::uint64_t generation)
{
    {
        std::lock_guard guard(FLock);
        FRefreshToken = refreshToken;
    }
    std::string body = "grant_type=refresh_token";
    AddPair(body, "refresh_token", refreshToken);
    AddPair(body, "scope", AuthorizationServerOptions().GetScopeText());
    if (!FOAuth2Options.ClientId.empty())
    {
        AddPair(body, "client_id", FOAuth2Options.ClientId);
    }
    if (!FOAuth2Options.ClientSecret.empty())
    {
        AddPair(body, "client_secret", FOAuth2Options.ClientSecret);
    }
    std::string url = AuthorizationServerOptions().TokenURL;
    bool handled = false;
    OnBeforeRefreshToken(*this, url, body, handled);
    if (handled || !IsHTTPS(url))
    {
        return;
    }
    const TkbzHTTPResponse response = DoHTTPPost(url, body);
    if (!IsCurrent(generation))
    {
        return;
    }
    const TDocument doc(response.Body);
    const std::string accessToken = doc.Get("access_token");
    if (response.Status() != 200 || accessToken.empty())
    {
        std::string error = doc.Get("error");
        std::string description = doc.Get("error_description");
        if (error.empty())
        {
            error = "invalid_request";
        }
        if (description.empty())
        {
            description = response.Body.empty()
                              ? std::to_string(response.Status()) + " " + response.Reason()
                              : response.Body;
        }
        OnErrorRefreshToken(*this, error, description, doc.Get("error_uri"), response.Body);
        DoAuthTokenError(error, description, response.Body);
        return;
    }
    const std::string tokenType = doc.Get("token_type");
    const std::string expiresIn = doc.Get("expires_in");
    const std::string newRefreshToken = doc.Get("refresh_token");
    bool afterHandled = false;
    OnAfterRefreshToken(*this, accessToken, tokenType, expiresIn, newRefreshToken, doc.Get("scope"),
                        response.Body, afterHandled);
    if (afterHandled)
    {
        return;
    }
    const std::int32_t lifetime = LenientInt(expiresIn);
    {
        std::lock_guard guard(FLock);
        if (FGeneration != generation)
        {
            return;
        }
        if (!newRefreshToken.empty())
        {
            FRefreshToken = newRefreshToken;
        }
        FExpiresIn = lifetime;
    }
    if (lifetime > 0)
    {
        DoScheduleRefresh(lifetime, generation);
    }
    DoAuthToken(tokenType, accessToken, response.Body);
}

void TkbzHTTPComponentClient_OAuth2::DoScheduleRefresh(std::int64_t seconds,
                                                       std::uint64_t generation)
{
    // The interval is a signed 32-bit count of milliseconds.
    ArmRefreshTimer(seconds <= 2147483 ? seconds * 1000 : 0, generation, seconds);
}

void TkbzHTTPComponentClient_OAuth2::ArmRefreshTimer(std::int64_t ms, std::uint64_t generation,
                                                     std::int64_t seconds)
{
    std::lock_guard guard(FLock);
    if (generation != FGeneration || IsDestroying())
    {
        return;
    }
    // A timer that stopped cannot start again: every schedule builds its own.
    RetireTimer(std::move(FTimer));
    FRefreshScheduled = 0;
    if (ms <= 0)
    {
        return;
    }
    auto timer = std::make_unique<TkbzTimer>("OAuth2 Timer");
    timer->SetInterval(static_cast<int>(std::min<std::int64_t>(ms, INT32_MAX)));
    timer->OnTimer = [this, generation](TkbzTimer& t) { OnRefreshTick(t, generation); };
    timer->OnException = [this](TkbzTimer&, const std::exception& e) {
        OnAuthTokenError(*this, "TimerException", e.what(), std::string());
    };
    timer->SetEnabled(true);
    FTimer = std::move(timer);
    FRefreshScheduled = seconds;
}

void TkbzHTTPComponentClient_OAuth2::OnRefreshTick(TkbzTimer& timer, std::uint64_t generation)
{
    timer.SetEnabled(false); // one refresh per timer
    std::string refreshToken;
    {
        std::lock_guard guard(FLock);
        if (generation != FGeneration || IsDestroying())
        {
            return;
        }
        if (FTimer.get() == &timer)
        {
            RetireTimer(std::move(FTimer));
            FRefreshScheduled = 0;
        }
        refreshToken = FRefreshToken;
    }
    if (refreshToken.empty())
    {
        return;
    }
    try
    {
        RefreshRequest(refreshToken, generation);
    }
    catch (const std::exception& e)
    {
        if (IsCurrent(generation))
        {
            OnAuthTokenError(*this, "TimerException", e.what(), std::string());
        }
    }
}

void TkbzHTTPComponentClient_OAuth2::DoRedirectRequest(const TkbzHTTPHead& head,
                                                       TkbzHTTPAnswer& answer, bool& stopServer)
{
    if (head.Path() == "/favicon.ico")
    {
        answer = TextAnswer(404, "Not Found");
        return;
    }
    const std::uint64_t generation = Generation();
    const TRedirectParams p(head);
    const std::string stored = FOAuth2Options.GetState();
    if (p.State != stored)
    {
        const std::string description =
            "State Value " + p.State + " is different from request " + stored;
        OnErrorAuthorizeCode(*this, p.Error, description, p.ErrorURI, p.State, p.Raw);
        DoAuthTokenError(p.Error, description, p.Raw);
        stopServer = true;
        answer = TextAnswer(500, "The state of the answer is not the one of the request.");
        return;
    }
    if (!p.Error.empty())
    {
        OnErrorAuthorizeCode(*this, p.Error, p.ErrorDescription, p.ErrorURI, p.State, p.Raw);
        DoAuthTokenError(p.Error, p.ErrorDescription, p.Raw);
        stopServer = true;
        answer = DefaultAnswer();
        return;
    }
    bool handled = false;
    OnAfterAuthorizeCode(*this, p.Code, p.State, p.Scope, p.Raw, handled);
    if (handled)
    {
        // The application exchanges the code itself.
        answer = DefaultAnswer();
        return;
    }
    TExchange x = AccessTokenRequest(p.Code, generation);
    if (!x.Sent)
    {
        if (!x.NotHTTPS)
        {
            answer = DefaultAnswer();
            return;
        }
        x.Status = 500;
        x.Text = "The token URL is not an https address.";
    }
    OnHTTPResponse(*this, x.Status, x.Text);
    answer = TextAnswer(x.Status, x.Text);
}

} // namespace kbz
