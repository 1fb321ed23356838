#include "auth/kbzHTTP_OAuth2_Server.h"

#include "base/kbzBase_Helpers.h"
#include "base/kbzWebSocket_Version.h"
#include "server/kbzWebSocket_HTTPResponse.h"

#include "json/kbzJSON.h"
#include <algorithm>
#include <optional>
#include <utility>
#include <vector>

namespace kbz
{

namespace
{

// The compiled-in sign-in page (server/www).
constexpr const char* kAuthorizationPage = "kbzOAuth2Authorization.html";
constexpr const char* kChallenge = "Basic realm=\"" KBZ_SOFTWARE "\"";

// Holds a queue's lock for a walk; entries taken out are released after it.
class ListGuard
{
public:
    explicit ListGuard(TkbzQueue& queue) : FQueue(queue), FList(queue.LockList()) {}
    ~ListGuard() { FQueue.UnlockList(); }
    ListGuard(const ListGuard&) = delete;
    ListGuard& operator=(const ListGuard&) = delete;

    std::vector<TkbzQueueItem>& List() noexcept { return FList; }

private:
    TkbzQueue& FQueue;
    std::vector<TkbzQueueItem>& FList;
};

TkbzHTTPOAuth2Request* AsRequest(const TkbzQueueItem& item)
{
    return static_cast<TkbzHTTPOAuth2Request*>(item.get());
}

TkbzHTTPAnswer StatusAnswer(int status)
{
    TkbzHTTPAnswer a;
    a.Status = status;
    a.Headers.Add("Content-Type", "text/html; charset=utf-8");
    a.Headers.Add("Connection", "close");
    a.Headers.Add("Server", kbzServerSoftware);
    a.Body = "<HTML><BODY><B>" + std::to_string(status) + " " + kbzHTTPStatusText(status) +
             "</B></BODY></HTML>";
    return a;
}

TkbzHTTPAnswer JSONAnswer(int status, const std::string& document, bool challenge)
{
    TkbzHTTPAnswer a;
    a.Status = status;
    a.Headers.Add("Content-Type", "application/json");
    // Token answers must not be kept by caches on the way.
    a.Headers.Add("Cache-Control", "no-store");
    a.Headers.Add("Pragma", "no-cache");
    if (challenge)
    {
        a.Headers.Add("WWW-Authenticate", kChallenge);
    }
    a.Headers.Add("Connection", "close");
    a.Headers.Add("Server", kbzServerSoftware);
    a.Body = document;
    return a;
}

TkbzHTTPAnswer RedirectAnswer(const std::string& target)
{
    TkbzHTTPAnswer a;
    a.Status = 302;
    a.Reason = "Moved Temporarily";
    a.Headers.Add("Connection", "close");
    a.Headers.Add("Location", target);
    a.Headers.Add("Server", kbzServerSoftware);
    return a;
}

IkbzJSON NewDocument()
{
    IkbzJSON doc = std::make_shared<TkbzJSON>();
    doc->SetEscapeStrings(true);
    return doc;
}

std::string ErrorDocument(const std::string& error, const std::string& description)
{
    IkbzJSON doc = NewDocument();
    doc->AddPair("error", error);
    doc->AddPair("error_description", description);
    return doc->GetText();
}

std::string Format2(std::string text, const std::string& a, const std::string& b)
{
    const std::size_t first = text.find("%s");
    if (first != std::string::npos)
    {
        text.replace(first, 2, a);
        const std::size_t second = text.find("%s", first + a.size());
        if (second != std::string::npos)
        {
            text.replace(second, 2, b);
        }
    }
    return text;
}

// Query or form fields, decoded, in order.
using TFields = std::vector<std::pair<std::string, std::string>>;

// The last value of a field whose name equals name ignoring case.
std::optional<std::string> FieldOf(const TFields& fields, std::string_view name)
{
    std::optional<std::string> value;
    for (const auto& [n, v] : fields)
    {
        if (kbzSameText(n, name))
        {
            value = v;
        }
    }
    return value;
}

// The parameters a token request may name once only.
bool HasRepeatedField(const TFields& fields, std::string& repeated)
{
    static constexpr const char* kOnce[] = {"grant_type", "code",          "redirect_uri",
                                            "client_id",  "client_secret", "refresh_token",
                                            "scope"};
    for (const char* name : kOnce)
    {
        const auto n = std::count_if(fields.begin(), fields.end(),
                                     [&](const auto& f) { return kbzSameText(f.first, name); });
        if (n > 1)
        {
            repeated = name;
            return true;
        }
    }
    return false;
}

std::string ReplaceAll(std::string text, std::string_view from, const std::string& to)
{
    return kbzReplaceText(text, from, to);
}

// The redirect target with the answer's parameters added to its query.
std::string AddQuery(const std::string& uri, const std::string& params)
{
    return uri + (uri.find('?') == std::string::npos ? "?" : "&") + params;
}

} // namespace

// ---- TkbzHTTPOAuth2AccessToken ----

std::int32_t TkbzHTTPOAuth2AccessToken::ExpiresIn(TkbzDateTime now) const noexcept
{
    if (now >= Expires)
    {
        return -1;
    }
    const auto left = std::chrono::ceil<std::chrono::seconds>(Expires - now).count();
    return static_cast<std::int32_t>(std::min<std::int64_t>(left, INT32_MAX));
}

std::string TkbzHTTPOAuth2AccessToken::MakeToken()
{
    return kbzLowerCase(kbzNewGuid() + kbzNewGuid());
}

// ---- TkbzHTTPOAuth2Request ----

TkbzHTTPOAuth2Request::TkbzHTTPOAuth2Request()
    : TkbzQueueItemBase(TkbzHTTPOAuth2AccessToken::MakeToken())
{}

TkbzHTTPOAuthAppPtr TkbzHTTPOAuth2Request::GetApp() const
{
    std::lock_guard guard(FLock);
    return FApp;
}

TkbzHTTPOAuth2Authentication TkbzHTTPOAuth2Request::GetAuthentication() const
{
    std::lock_guard guard(FLock);
    return FAuthentication;
}

std::string TkbzHTTPOAuth2Request::GetAuthorizationCode() const
{
    std::lock_guard guard(FLock);
    return FAuthorizationCode;
}

std::string TkbzHTTPOAuth2Request::GetClient_Id() const
{
    std::lock_guard guard(FLock);
    return FClient_Id;
}

std::string TkbzHTTPOAuth2Request::GetRedirect_URI() const
{
    std::lock_guard guard(FLock);
    return FRedirect_URI;
}

std::string TkbzHTTPOAuth2Request::GetResponse_Type() const
{
    std::lock_guard guard(FLock);
    return FResponse_Type;
}

std::string TkbzHTTPOAuth2Request::GetScope() const
{
    std::lock_guard guard(FLock);
    return FScope;
}

std::string TkbzHTTPOAuth2Request::GetState() const
{
    std::lock_guard guard(FLock);
    return FState;
}

TkbzOAuth2CurrentState TkbzHTTPOAuth2Request::GetCurrentState() const
{
    std::lock_guard guard(FLock);
    return FCurrentState;
}

TkbzHTTPOAuth2AccessToken TkbzHTTPOAuth2Request::GetToken() const
{
    std::lock_guard guard(FLock);
    return FToken;
}

// ---- Options ----

// ---- The component ----

struct TkbzHTTPComponentServer_OAuth2::TTokenReply
{
    int Status = 400;
    std::string Document;
    bool Challenge = false;
    TkbzHTTPOAuth2RequestPtr Request;
};

TkbzHTTPComponentServer_OAuth2::TkbzHTTPComponentServer_OAuth2() = default;

TkbzHTTPComponentServer_OAuth2::~TkbzHTTPComponentServer_OAuth2()
{
    SetDestroying();
}

TkbzDateTime TkbzHTTPComponentServer_OAuth2::Now() const
{
    return std::chrono::system_clock::now();
}

TkbzHTTPOAuth2Requests& TkbzHTTPComponentServer_OAuth2::Requests()
{
    std::lock_guard guard(FRequestsLock);
    if (!FRequests)
    {
        FRequests = std::make_unique<TkbzHTTPOAuth2Requests>();
    }
    return *FRequests;
}

bool TkbzHTTPComponentServer_OAuth2::IsExpired(TkbzHTTPOAuth2Request& r, TkbzDateTime now) const
{
    const auto codeLife = std::chrono::seconds(std::max(0, FOAuth2Options.CodeExpiresIn));
    std::lock_guard guard(r.FLock);
    switch (r.FCurrentState)
    {
    case TkbzOAuth2CurrentState::oat2RequestAuthorization:
        return now >= r.FCreated + codeLife;
    case TkbzOAuth2CurrentState::oat2AuthorizationCode:
        return now >= r.FCodeIssued + codeLife;
    case TkbzOAuth2CurrentState::oat2AccessToken:
        // Kept while its refresh token can still renew it.
        return now >= r.FToken.Expires &&
               (r.FToken.RefreshToken.empty() || now >= r.FToken.RefreshExpires);
    }
    return true;
}

void TkbzHTTPComponentServer_OAuth2::EnforceBounds(std::vector<TkbzQueueItem>& list,
                                                   std::vector<TkbzQueueItem>& gone,
                                                   TkbzDateTime now, std::size_t roomPending,
                                                   std::size_t roomTokens) const
{
    const auto isToken = [](const TkbzQueueItem& item) {
        return AsRequest(item)->GetCurrentState() == TkbzOAuth2CurrentState::oat2AccessToken;
    };
    std::size_t pending = 0;
    std::size_t tokens = 0;
    for (std::size_t i = 0; i < list.size();)
    {
        if (IsExpired(*AsRequest(list[i]), now))
        {
            gone.push_back(std::move(list[i]));
            list.erase(list.begin() + static_cast<std::ptrdiff_t>(i));
            continue;
        }
        ++(isToken(list[i]) ? tokens : pending);
        ++i;
    }
    // The oldest of a kind make room; tokens never give way to pending pages.
    const std::size_t maxPending =
        static_cast<std::size_t>(std::max(1, FOAuth2Options.MaxPendingRequests));
    const std::size_t maxTokens = static_cast<std::size_t>(std::max(1, FOAuth2Options.MaxTokens));
    for (std::size_t i = 0; i < list.size() && (pending + roomPending > maxPending ||
                                                tokens + roomTokens > maxTokens);)
    {
        const bool token = isToken(list[i]);
        std::size_t& count = token ? tokens : pending;
        if (count + (token ? roomTokens : roomPending) > (token ? maxTokens : maxPending))
        {
            gone.push_back(std::move(list[i]));
            list.erase(list.begin() + static_cast<std::ptrdiff_t>(i));
            --count;
            continue;
        }
        ++i;
    }
}

void TkbzHTTPComponentServer_OAuth2::AddRequest(const TkbzHTTPOAuth2RequestPtr& request)
{
    const bool isToken = request->GetCurrentState() == TkbzOAuth2CurrentState::oat2AccessToken;
    std::vector<TkbzQueueItem> gone;
    ListGuard guard(Requests());
    EnforceBounds(guard.List(), gone, Now(), isToken ? 0 : 1, isToken ? 1 : 0);
    guard.List().push_back(request);
}

TkbzHTTPOAuth2RequestPtr TkbzHTTPComponentServer_OAuth2::FindByID(const std::string& id)
{
    if (id.empty())
    {
        return nullptr;
    }
    const TkbzDateTime now = Now();
    TkbzQueueItem gone;
    ListGuard guard(Requests());
    std::vector<TkbzQueueItem>& list = guard.List();
    for (std::size_t i = 0; i < list.size(); ++i)
    {
        if (list[i]->GetID() == id)
        {
            if (IsExpired(*AsRequest(list[i]), now))
            {
                gone = std::move(list[i]);
                list.erase(list.begin() + static_cast<std::ptrdiff_t>(i));
                return nullptr;
            }
            return std::static_pointer_cast<TkbzHTTPOAuth2Request>(list[i]);
        }
    }
    return nullptr;
}

bool TkbzHTTPComponentServer_OAuth2::AddToken(const std::string& aAppName,
                                              const std::string& aToken, TkbzDateTime aExpires,
                                              const std::string& aRefreshToken)
{
    const TkbzHTTPOAuthAppPtr app = GetApp(aAppName);
    const TkbzDateTime now = Now();
    if (!app || aToken.empty() || aExpires <= now)
    {
        return false;
    }
    auto r = std::make_shared<TkbzHTTPOAuth2Request>();
    {
        std::lock_guard guard(r->FLock);
        r->FApp = app;
        r->FClient_Id = app->ClientId;
        r->FRedirect_URI = app->RedirectURI;
        r->FCurrentState = TkbzOAuth2CurrentState::oat2AccessToken;
        r->FCreated = now;
        r->FToken.AccessToken = aToken;
        r->FToken.RefreshToken = aRefreshToken;
        r->FToken.Expires = aExpires;
        r->FToken.RefreshExpires =
            std::max(aExpires, now + std::chrono::seconds(app->RefreshTokenExpiresIn));
    }
    AddRequest(r);
    return true;
}

bool TkbzHTTPComponentServer_OAuth2::RemoveToken(const std::string& aToken)
{
    if (aToken.empty())
    {
        return false;
    }
    TkbzQueueItem gone;
    ListGuard guard(Requests());
    std::vector<TkbzQueueItem>& list = guard.List();
    for (std::size_t i = list.size(); i-- > 0;)
    {
        TkbzHTTPOAuth2Request& r = *AsRequest(list[i]);
        std::unique_lock lock(r.FLock);
        if (r.FCurrentState == TkbzOAuth2CurrentState::oat2AccessToken &&
            r.FToken.AccessToken == aToken)
        {
            lock.unlock();
            gone = std::move(list[i]);
            list.erase(list.begin() + static_cast<std::ptrdiff_t>(i));
            return true;
        }
    }
    return false;
}

// ---- Tokens ----

bool TkbzHTTPComponentServer_OAuth2::IsOAuth2TokenValid(
    const TkbzWSConnectionServerPtr& aConnection, const TkbzHeaderList& aHeaders)
{
    const std::string token = kbzGetBearerToken(aHeaders);
    if (!kbzHasAuthorization(aHeaders) || token.empty())
    {
        return false;
    }
    return IsOAuth2TokenValid(aConnection, token);
}

bool TkbzHTTPComponentServer_OAuth2::IsOAuth2TokenValid(
    const TkbzWSConnectionServerPtr& aConnection, const std::string& aToken)
{
    if (IsDestroying())
    {
        return false;
    }
    bool cancel = false;
    static const TkbzHeaderList kNone;
    OnOAuth2BeforeRequest(*this, aConnection, aConnection ? aConnection->HeadersRequest() : kNone,
                          cancel);
    // Cancel swallows a request elsewhere; here it must not let any token through.
    if (cancel || aToken.empty())
    {
        return false;
    }
    const TkbzDateTime now = Now();
    TkbzHTTPOAuth2RequestPtr found;
    std::vector<TkbzQueueItem> gone;
    {
        ListGuard guard(Requests());
        std::vector<TkbzQueueItem>& list = guard.List();
        for (std::size_t i = list.size(); i-- > 0;)
        {
            TkbzHTTPOAuth2Request& r = *AsRequest(list[i]);
            std::unique_lock lock(r.FLock);
            if (r.FCurrentState != TkbzOAuth2CurrentState::oat2AccessToken)
            {
                continue;
            }
            if (r.FToken.ExpiresIn(now) > 0)
            {
                if (kbzSameSecret(r.FToken.AccessToken, aToken))
                {
                    if (r.FApp && r.FApp->GetRegistered())
                    {
                        found = std::static_pointer_cast<TkbzHTTPOAuth2Request>(list[i]);
                    }
                    break;
                }
                continue;
            }
            lock.unlock();
            if (IsExpired(r, now))
            {
                gone.push_back(std::move(list[i]));
                list.erase(list.begin() + static_cast<std::ptrdiff_t>(i));
            }
        }
    }
    if (!found)
    {
        return false;
    }
    bool valid = true;
    OnOAuth2AfterValidateAccessToken(*this, aConnection, found, valid);
    return valid;
}

bool TkbzHTTPComponentServer_OAuth2::IsRequestTokenValid(
    const TkbzWSConnectionServerPtr& connection, const TkbzHeaderList& headers)
{
    return IsOAuth2TokenValid(connection, headers);
}

bool TkbzHTTPComponentServer_OAuth2::IsBearerTokenValid(const TkbzWSConnectionServerPtr& connection,
                                                        const std::string& token)
{
    return IsOAuth2TokenValid(connection, token);
}

// ---- Endpoints ----

bool TkbzHTTPComponentServer_OAuth2::DoProcessHTTP(const TkbzWSConnectionServerPtr& aConnection,
                                                   TkbzWSServerHTTPRequest& aRequest)
{
    if (IsDestroying())
    {
        return false;
    }
    const TkbzHTTPHead& head = aRequest.Head();
    const std::string path = head.Path();
    if (path == "/favicon.ico")
    {
        return true;
    }
    bool cancel = false;
    OnOAuth2BeforeRequest(*this, aConnection, head.Lines, cancel);
    if (cancel)
    {
        return true;
    }
    if (FOAuth2Options.Authorization.Enabled && head.Method == "GET" &&
        kbzSameText(path, FOAuth2Options.Authorization.URL))
    {
        const TFields fields = kbzHTTPParseQuery(head.Query());
        if (FieldOf(fields, "request_type").value_or("") == "sign-in")
        {
            DoSignIn(aConnection, aRequest);
        }
        else
        {
            DoAuthorizationRequest(aConnection, aRequest);
        }
        return true;
    }
    if (FOAuth2Options.Token.Enabled && head.Method == "POST" &&
        kbzSameText(path, FOAuth2Options.Token.URL))
    {
        DoTokenEndpoint(aConnection, aRequest);
        return true;
    }
    return false;
}

void TkbzHTTPComponentServer_OAuth2::DoAuthorizationRequest(const TkbzWSConnectionServerPtr& /*c*/,
                                                            TkbzWSServerHTTPRequest& r)
{
    const TFields fields = kbzHTTPParseQuery(r.Head().Query());
    if (fields.empty())
    {
        r.Answer(StatusAnswer(404));
        return;
    }
    auto request = std::make_shared<TkbzHTTPOAuth2Request>();
    std::string responseType;
    std::string clientId;
    std::string redirectURI;
    std::string scope;
    std::string state;
    for (const auto& [name, value] : fields)
    {
        const std::string upper = kbzUpperCase(name);
        if (upper == "RESPONSE_TYPE")
        {
            responseType = value;
        }
        else if (upper == "CLIENT_ID")
        {
            clientId = value;
        }
        else if (upper == "REDIRECT_URI")
        {
            redirectURI = value;
        }
        else if (upper == "SCOPE")
        {
            scope = value;
        }
        else if (upper == "STATE")
        {
            state = value;
        }
    }
    const TkbzHTTPOAuthAppPtr app = clientId.empty() ? nullptr : GetAppByClientId(clientId);
    if (!app)
    {
        r.Answer(StatusAnswer(404));
        return;
    }
    // Where the browser goes back must be known and sound before anything is sent there.
    std::string refusal;
    if (!app->RedirectURI.empty() && !redirectURI.empty() && redirectURI != app->RedirectURI)
    {
        refusal = "redirect_uri is not the one registered for the application";
    }
    const std::string target = redirectURI.empty() ? app->RedirectURI : redirectURI;
    if (refusal.empty() && target.empty())
    {
        refusal = "redirect_uri is missing";
    }
    if (refusal.empty() &&
        (detail::HasControlCharacters(target) || target.find('#') != std::string::npos))
    {
        refusal = "redirect_uri is not a valid address";
    }
    if (!refusal.empty())
    {
        r.Answer(JSONAnswer(400, ErrorDocument("invalid_request", refusal), false));
        return;
    }
    if (responseType != "code")
    {
        std::string params = "error=unsupported_response_type";
        if (!state.empty())
        {
            params += "&state=" + detail::FormEncode(state);
        }
        r.Answer(RedirectAnswer(AddQuery(target, params)));
        return;
    }
    {
        std::lock_guard guard(request->FLock);
        request->FApp = app;
        request->FClient_Id = clientId;
        request->FRedirect_URI = target;
        request->FRedirectGiven = !redirectURI.empty();
        request->FResponse_Type = responseType;
        request->FScope = scope;
        request->FState = state;
        request->FCreated = Now();
    }
    AddRequest(request);

    std::string html;
    try
    {
        html = kbzGetResourceText(kAuthorizationPage);
    }
    catch (const std::exception&)
    {
        html.clear();
    }
    // The scope (and the name, set by the application) land in the page: escaped, so that a
    // crafted request cannot put markup or script there.
    html = ReplaceAll(html, "{%app.name%}", kbzHTMLEscape(app->GetAppName()));
    html = ReplaceAll(html, "{%app.scope%}", kbzHTMLEscape(scope));
    html = ReplaceAll(html, "{%request.id%}", kbzHTMLEscape(request->GetID()));
    OnOAuth2BeforeDispatchPage(*this, request, html);
    if (html.empty())
    {
        r.Answer(StatusAnswer(404));
        return;
    }
    TkbzHTTPAnswer a;
    a.Status = 200;
    a.Headers.Add("Content-Type", "text/html; charset=utf-8");
    a.Headers.Add("Cache-Control", "no-store");
    // The sign-in form must not be framed by another site.
    a.Headers.Add("X-Frame-Options", "DENY");
    a.Headers.Add("Connection", "close");
    a.Headers.Add("Server", kbzServerSoftware);
    a.Body = std::move(html);
    a.HeadOnly = r.Head().Method == "HEAD";
    r.Answer(a);
}

void TkbzHTTPComponentServer_OAuth2::DoSignIn(const TkbzWSConnectionServerPtr& c,
                                              TkbzWSServerHTTPRequest& r)
{
    const TFields fields = kbzHTTPParseQuery(r.Head().Query());
    const std::string user = FieldOf(fields, "username").value_or("");
    const std::string password = FieldOf(fields, "password").value_or("");
    const std::string id = FieldOf(fields, "id").value_or("");
    const TkbzHTTPOAuth2RequestPtr request = FindByID(id);
    if (!request)
    {
        r.Answer(StatusAnswer(404));
        return;
    }
    // A request that has its code already is used up by a second sign-in, whatever its outcome.
    bool burnt = request->GetCurrentState() != TkbzOAuth2CurrentState::oat2RequestAuthorization;
    bool authenticated = false;
    OnOAuth2Authentication(c, request, user, password, authenticated);
    if (authenticated)
    {
        std::string target;
        {
            std::lock_guard guard(request->FLock);
            // The state moves only now, after a successful sign-in (a mistyped password
            // leaves the page usable), and only once: a second sign-in racing this one loses.
            if (!burnt &&
                request->FCurrentState == TkbzOAuth2CurrentState::oat2RequestAuthorization)
            {
                request->FCurrentState = TkbzOAuth2CurrentState::oat2AuthorizationCode;
                request->FAuthorizationCode = kbzLowerCase(kbzNewGuid());
                request->FCodeIssued = Now();
                request->FAuthentication = {user, password};
                std::string params = "code=" + request->FAuthorizationCode;
                if (!request->FState.empty())
                {
                    params += "&state=" + detail::FormEncode(request->FState);
                }
                target = AddQuery(request->FRedirect_URI, params);
            }
            else
            {
                burnt = true;
                std::string params = "error=invalid_request";
                if (!request->FState.empty())
                {
                    params += "&state=" + detail::FormEncode(request->FState);
                }
                target = AddQuery(request->FRedirect_URI, params);
            }
        }
        r.Answer(RedirectAnswer(target));
    }
    else
    {
        r.Answer(StatusAnswer(404));
    }
    if (burnt)
    {
        TkbzQueueItem gone = Requests().TakeItem(request->GetID());
    }
}

bool TkbzHTTPComponentServer_OAuth2::AuthenticateClient(const std::string& clientId,
                                                        const std::string& clientSecret,
                                                        TTokenReply& reply)
{
    const TkbzHTTPOAuthAppPtr app = clientId.empty() ? nullptr : GetAppByClientId(clientId);
    if (app && app->GetRegistered() && kbzSameSecret(app->ClientSecret, clientSecret))
    {
        return true;
    }
    reply.Status = 401;
    reply.Challenge = true;
    reply.Document = ErrorDocument("invalid_client", "Client authentication failed");
    return false;
}

TkbzHTTPComponentServer_OAuth2::TTokenReply TkbzHTTPComponentServer_OAuth2::ExchangeCode(
    const std::string& code, const std::string& redirectURI, const std::string& clientId,
    const std::string& clientSecret)
{
    TTokenReply reply;
    // The client first: who cannot authenticate learns nothing about codes.
    if (!AuthenticateClient(clientId, clientSecret, reply))
    {
        return reply;
    }
    const TkbzDateTime now = Now();
    TkbzQueueItem gone;
    std::vector<TkbzQueueItem> others;
    // Lookup, checks and issue are one step under the list's lock: a code is exchanged once.
    ListGuard guard(Requests());
    std::vector<TkbzQueueItem>& list = guard.List();
    std::size_t index = list.size();
    for (std::size_t i = 0; i < list.size(); ++i)
    {
        TkbzHTTPOAuth2Request& r = *AsRequest(list[i]);
        std::lock_guard lock(r.FLock);
        if (!r.FAuthorizationCode.empty() && kbzSameSecret(r.FAuthorizationCode, code))
        {
            index = i;
            break;
        }
    }
    if (index == list.size())
    {
        reply.Document = ErrorDocument("invalid_grant", "Authorization Code not found");
        return reply;
    }
    auto request = std::static_pointer_cast<TkbzHTTPOAuth2Request>(list[index]);
    reply.Request = request;
    if (IsExpired(*request, now))
    {
        gone = std::move(list[index]);
        list.erase(list.begin() + static_cast<std::ptrdiff_t>(index));
        reply.Document = ErrorDocument("invalid_grant", "Authorization Code expired");
        return reply;
    }
    std::unique_lock lock(request->FLock);
    const TkbzHTTPOAuthAppPtr app = request->FApp;
    if (request->FCurrentState != TkbzOAuth2CurrentState::oat2AuthorizationCode)
    {
        reply.Document = ErrorDocument("invalid_grant", "Invalid request");
        return reply;
    }
    if (request->FClient_Id != clientId || !app || !app->GetRegistered())
    {
        reply.Document = ErrorDocument("invalid_grant",
                                       Format2("Client_Id %s is different from previous value %s",
                                               request->FClient_Id, clientId));
        return reply;
    }
    // Named in the authorization request: the same again; otherwise the registered one, if any.
    if (request->FRedirectGiven ? redirectURI != request->FRedirect_URI
                                : !redirectURI.empty() && redirectURI != request->FRedirect_URI)
    {
        reply.Document = ErrorDocument(
            "invalid_grant", Format2("Redirect_URI %s is different from previous value %s",
                                     request->FRedirect_URI, redirectURI));
        return reply;
    }
    request->FCurrentState = TkbzOAuth2CurrentState::oat2AccessToken;
    request->FToken = {};
    request->FToken.AccessToken = TkbzHTTPOAuth2AccessToken::MakeToken();
    request->FToken.Expires = now + std::chrono::seconds(std::max(0, app->ExpiresIn));
    if (app->RefreshToken)
    {
        request->FToken.RefreshToken = TkbzHTTPOAuth2AccessToken::MakeToken();
        request->FToken.RefreshExpires =
            std::max(request->FToken.Expires,
                     now + std::chrono::seconds(std::max(0, app->RefreshTokenExpiresIn)));
    }
    IkbzJSON doc = NewDocument();
    doc->AddPair("token_type", "Bearer");
    doc->AddPair("access_token", request->FToken.AccessToken);
    doc->AddPair("expires_in", request->FToken.ExpiresIn(now));
    if (app->RefreshToken)
    {
        doc->AddPair("refresh_token", request->FToken.RefreshToken);
    }
    doc->AddPair("scope", request->FScope);
    reply.Status = 200;
    reply.Document = doc->GetText();
    lock.unlock();
    // The new token counts against the bound of issued tokens (others make room).
    list.erase(list.begin() + static_cast<std::ptrdiff_t>(index));
    EnforceBounds(list, others, now, 0, 1);
    list.push_back(request);
    return reply;
}

TkbzHTTPComponentServer_OAuth2::TTokenReply TkbzHTTPComponentServer_OAuth2::RefreshAccessToken(
    const std::string& refreshToken, const std::string& scope, const std::string& clientId,
    const std::string& clientSecret)
{
    TTokenReply reply;
    if (!AuthenticateClient(clientId, clientSecret, reply))
    {
        return reply;
    }
    const TkbzDateTime now = Now();
    TkbzQueueItem gone;
    ListGuard guard(Requests());
    std::vector<TkbzQueueItem>& list = guard.List();
    std::size_t index = list.size();
    for (std::size_t i = 0; i < list.size(); ++i)
    {
        TkbzHTTPOAuth2Request& r = *AsRequest(list[i]);
        std::lock_guard lock(r.FLock);
        if (r.FCurrentState == TkbzOAuth2CurrentState::oat2AccessToken &&
            !r.FToken.RefreshToken.empty() && kbzSameSecret(r.FToken.RefreshToken, refreshToken))
        {
            index = i;
            break;
        }
    }
    if (index == list.size())
    {
        reply.Document = ErrorDocument("invalid_grant", "Refresh Token not found");
        return reply;
    }
    auto request = std::static_pointer_cast<TkbzHTTPOAuth2Request>(list[index]);
    reply.Request = request;
    if (IsExpired(*request, now))
    {
        gone = std::move(list[index]);
        list.erase(list.begin() + static_cast<std::ptrdiff_t>(index));
        reply.Document = ErrorDocument("invalid_grant", "Refresh Token expired");
        return reply;
    }
    std::lock_guard lock(request->FLock);
    const TkbzHTTPOAuthAppPtr app = request->FApp;
    if (request->FClient_Id != clientId || !app || !app->GetRegistered())
    {
        reply.Document = ErrorDocument("invalid_grant",
                                       Format2("Client_Id %s is different from previous value %s",
                                               request->FClient_Id, clientId));
        return reply;
    }
    // No scope: the one granted before.
    if (!scope.empty() && scope != request->FScope)
    {
        reply.Document =
            ErrorDocument("invalid_scope", Format2("Scope %s is different from previous value %s",
                                                   request->FScope, scope));
        return reply;
    }
    request->FToken.AccessToken = TkbzHTTPOAuth2AccessToken::MakeToken();
    request->FToken.Expires = now + std::chrono::seconds(std::max(0, app->ExpiresIn));
    request->FToken.RefreshExpires =
        std::max(request->FToken.RefreshExpires, request->FToken.Expires);
    IkbzJSON doc = NewDocument();
    doc->AddPair("token_type", "Bearer");
    doc->AddPair("access_token", request->FToken.AccessToken);
    doc->AddPair("expires_in", request->FToken.ExpiresIn(now));
    doc->AddPair("scope", request->FScope);
    reply.Status = 200;
    reply.Document = doc->GetText();
    return reply;
}

void TkbzHTTPComponentServer_OAuth2::DoTokenEndpoint(const TkbzWSConnectionServerPtr& c,
                                                     TkbzWSServerHTTPRequest& r)
{
    const std::optional<std::string> body = r.Body();
    if (!body)
    {
        return; // refused while it was read (answered there), or the peer went away
    }
    const TFields fields = kbzHTTPParseQuery(*body);
    auto refuse = [&](int status, const std::string& error, const std::string& description) {
        r.Answer(JSONAnswer(status, ErrorDocument(error, description), false));
    };
    std::string repeated;
    if (HasRepeatedField(fields, repeated))
    {
        refuse(400, "invalid_request", "Repeated parameter " + repeated);
        return;
    }
    const std::optional<std::string> grant = FieldOf(fields, "grant_type");
    if (!grant || grant->empty())
    {
        refuse(400, "invalid_request", "Missing grant_type");
        return;
    }
    // The client's credentials: in the body, or as Basic credentials (each part form-encoded).
    std::string clientId = FieldOf(fields, "client_id").value_or("");
    std::optional<std::string> clientSecret = FieldOf(fields, "client_secret");
    if (!clientSecret)
    {
        const std::string authorization = r.Head().Headers.Get("Authorization");
        if (kbzStartsText(authorization, "Basic "))
        {
            const std::string credentials = kbzDecodeBase64(kbzTrim(authorization.substr(6)));
            const std::size_t colon = credentials.find(':');
            const std::string basicId = kbzHTTPDecodeFormComponent(credentials.substr(0, colon));
            if (!clientId.empty() && clientId != basicId)
            {
                refuse(400, "invalid_request", "client_id differs from the Basic credentials");
                return;
            }
            clientId = basicId;
            clientSecret = colon == std::string::npos
                               ? std::string()
                               : kbzHTTPDecodeFormComponent(credentials.substr(colon + 1));
        }
    }
    const bool isCode = kbzSameText(*grant, "authorization_code");
    if (!isCode && !kbzSameText(*grant, "refresh_token"))
    {
        refuse(400, "unsupported_grant_type", "Unsupported grant_type " + *grant);
        return;
    }
    const std::string key = isCode ? "code" : "refresh_token";
    const std::string value = FieldOf(fields, key).value_or("");
    if (value.empty())
    {
        refuse(400, "invalid_request", "Missing " + key);
        return;
    }
    const TTokenReply reply =
        isCode ? ExchangeCode(value, FieldOf(fields, "redirect_uri").value_or(""), clientId,
                              clientSecret.value_or(""))
               : RefreshAccessToken(value, FieldOf(fields, "scope").value_or(""), clientId,
                                    clientSecret.value_or(""));
    r.Answer(JSONAnswer(reply.Status, reply.Document, reply.Challenge));
    if (isCode)
    {
        OnOAuth2AfterAccessToken(*this, c, reply.Request, reply.Document);
    }
    else
    {
        OnOAuth2AfterRefreshToken(*this, c, reply.Request, reply.Document);
    }
}

} // namespace kbz
