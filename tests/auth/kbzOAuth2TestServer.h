// An authorization server for the tests: one application and one user, a clock the test moves,
// and requests offered straight to the component (as the server's HTTP handling offers them).
#pragma once

#include "auth/kbzHTTP_Classes.h"
#include "auth/kbzHTTP_OAuth2_Server.h"
#include "base/kbzBase_Helpers.h"

#include "json/kbzJSON.h"
#include <gtest/gtest.h>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace kbz::test::oauth2
{

inline const std::string kClientId = "demo-id";
// Characters that a body must encode to keep.
inline const std::string kSecret = "s&e+c=r%t s";
inline const std::string kRedirect = "https://app.example/cb";
inline const std::string kUser = "alice";
inline const std::string kPassword = "wonder land&=";

class ClockedServer : public TkbzHTTPComponentServer_OAuth2
{
public:
    void Advance(std::chrono::seconds s)
    {
        std::lock_guard guard(FClockLock);
        FNow += s;
    }

protected:
    TkbzDateTime Now() const override
    {
        std::lock_guard guard(FClockLock);
        return FNow;
    }

private:
    mutable std::mutex FClockLock;
    TkbzDateTime FNow = std::chrono::system_clock::now();
};

struct Reply
{
    bool Mine = false;
    bool Answered = false;
    int Status = 0;
    std::string Reason;
    TkbzHTTPHeaders Headers;
    std::string Body;

    std::string Header(std::string_view name) const { return Headers.Get(name); }
};

// The head of "METHOD target HTTP/1.1" with the fields given.
inline TkbzHTTPHead MakeHead(const std::string& method, const std::string& target,
                             const std::vector<std::pair<std::string, std::string>>& fields,
                             std::size_t bodyLength)
{
    std::string text = method + " " + target + " HTTP/1.1\r\nHost: auth.example\r\n";
    for (const auto& [name, value] : fields)
    {
        text += name + ": " + value + "\r\n";
    }
    if (method == "POST")
    {
        text += "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: " +
                std::to_string(bodyLength) + "\r\n";
    }
    text += "\r\n";
    TkbzHTTPHeadParser parser;
    EXPECT_EQ(parser.Parse(text), TkbzHTTPParseStatus::hpsComplete) << text;
    return parser.Head();
}

inline Reply Offer(TkbzHTTPComponentServer_OAuth2& server, const std::string& method,
                   const std::string& target, const std::string& body = {},
                   const std::vector<std::pair<std::string, std::string>>& fields = {})
{
    const TkbzHTTPHead head = MakeHead(method, target, fields, body.size());
    Reply reply;
    TkbzWSServerHTTPRequest request(
        head, [&]() -> std::optional<std::string> { return body; },
        [&](const TkbzHTTPAnswer& a) {
            EXPECT_FALSE(reply.Answered) << "a second answer";
            reply.Answered = true;
            reply.Status = a.Status;
            reply.Reason = a.Reason.empty() ? kbzHTTPStatusText(a.Status) : a.Reason;
            reply.Headers = a.Headers;
            reply.Body = a.Body;
            // Every answer must be writable as it is.
            EXPECT_NO_THROW(kbzWriteHTTPAnswer(a));
        });
    reply.Mine = server.DoProcessHTTP(nullptr, request);
    return reply;
}

// A query or form text from pairs, each value encoded.
inline std::string Form(const std::vector<std::pair<std::string, std::string>>& pairs)
{
    std::string text;
    for (const auto& [name, value] : pairs)
    {
        text += (text.empty() ? "" : "&") + name + "=" + detail::FormEncode(value);
    }
    return text;
}

// The value of the request identifier field of the sign-in page.
inline std::string RequestIdOf(const std::string& page)
{
    const std::string marker = "name=\"id\" value=\"";
    const std::size_t at = page.find(marker);
    if (at == std::string::npos)
    {
        return {};
    }
    const std::size_t start = at + marker.size();
    return page.substr(start, page.find('"', start) - start);
}

// A query parameter of a redirect target, decoded.
inline std::string ParamOf(const std::string& location, const std::string& name)
{
    const std::size_t q = location.find('?');
    if (q == std::string::npos)
    {
        return {};
    }
    for (const auto& [n, v] : kbzHTTPParseQuery(location.substr(q + 1)))
    {
        if (n == name)
        {
            return v;
        }
    }
    return {};
}

// The component with the application and the user of the tests.
struct Authority
{
    ClockedServer server;

    Authority()
    {
        std::string id, secret;
        EXPECT_TRUE(server.RegisterApp("Demo App", kRedirect, id, secret));
        auto app = server.GetApp("Demo App");
        app->ClientId = kClientId;
        app->ClientSecret = kSecret;
        server.OnOAuth2Authentication = [](const TkbzWSConnectionServerPtr&,
                                           const TkbzHTTPOAuth2RequestPtr&, const std::string& u,
                                           const std::string& p, bool& authenticated) {
            authenticated = u == kUser && p == kPassword;
        };
    }

    Reply Page(const std::string& scope = "read write", const std::string& state = "xyz",
               const std::string& redirect = kRedirect)
    {
        std::vector<std::pair<std::string, std::string>> q = {
            {"response_type", "code"}, {"client_id", kClientId}, {"scope", scope}};
        if (!redirect.empty())
        {
            q.emplace_back("redirect_uri", redirect);
        }
        if (!state.empty())
        {
            q.emplace_back("state", state);
        }
        return Offer(server, "GET", "/kbz/oauth2/auth?" + Form(q));
    }

    Reply SignIn(const std::string& id, const std::string& user = kUser,
                 const std::string& password = kPassword)
    {
        return Offer(server, "GET",
                     "/kbz/oauth2/auth?" + Form({{"request_type", "sign-in"},
                                                 {"id", id},
                                                 {"username", user},
                                                 {"password", password}}));
    }

    // Page and sign-in: the code the redirect carries.
    std::string Code(const std::string& scope = "read write")
    {
        const std::string id = RequestIdOf(Page(scope).Body);
        const Reply r = SignIn(id);
        EXPECT_EQ(r.Status, 302) << r.Body;
        return ParamOf(r.Header("Location"), "code");
    }

    Reply Token(const std::vector<std::pair<std::string, std::string>>& pairs,
                const std::vector<std::pair<std::string, std::string>>& fields = {})
    {
        return Offer(server, "POST", "/kbz/oauth2/token", Form(pairs), fields);
    }

    Reply Exchange(const std::string& code, const std::string& secret = kSecret,
                   const std::string& redirect = kRedirect)
    {
        return Token({{"grant_type", "authorization_code"},
                      {"code", code},
                      {"redirect_uri", redirect},
                      {"client_id", kClientId},
                      {"client_secret", secret}});
    }

    Reply RefreshWith(const std::string& refreshToken, const std::string& scope = "read write")
    {
        return Token({{"grant_type", "refresh_token"},
                      {"refresh_token", refreshToken},
                      {"scope", scope},
                      {"client_id", kClientId},
                      {"client_secret", kSecret}});
    }
};

// A member of a JSON answer, as text.
inline std::string Member(const std::string& json, const std::string& name)
{
    TkbzJSON doc;
    doc.Read(json);
    const IkbzObjectJSON node = doc.GetNode(name);
    if (!node)
    {
        return {};
    }
    return node->GetJSONType() == TkbzJSONtype::kbzJSONString
               ? kbzJSONDecodeString(node->GetRawValue())
               : node->GetValue();
}

} // namespace kbz::test::oauth2
