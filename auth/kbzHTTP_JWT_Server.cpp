#include "auth/kbzHTTP_JWT_Server.h"

#include "base/kbzWebSocket_Helpers.h"

namespace kbz
{

// ---- Option records ----

// ---- The component ----

namespace
{

std::string JoinLines(const TkbzDelimitedStringList& lines)
{
    std::string text;
    for (const std::string& line : lines)
    {
        text += line;
        text += '\n';
    }
    return text;
}

} // namespace

TkbzHTTPComponentServer_JWT::TkbzHTTPComponentServer_JWT() = default;

TkbzHTTPComponentServer_JWT::~TkbzHTTPComponentServer_JWT()
{
    SetDestroying();
}

bool TkbzHTTPComponentServer_JWT::IsRequestTokenValid(const TkbzWSConnectionServerPtr& connection,
                                                      const TkbzHeaderList& headers)
{
    return IsJWTTokenValid(connection, headers);
}

bool TkbzHTTPComponentServer_JWT::IsBearerTokenValid(const TkbzWSConnectionServerPtr& connection,
                                                     const std::string& token)
{
    return IsJWTTokenValid(connection, token);
}

void TkbzHTTPComponentServer_JWT::RaiseException(const TkbzWSConnectionServerPtr& connection,
                                                 const std::exception& e)
{
    try
    {
        OnJWTException(*this, connection, e);
    }
    catch (...)
    {
        // The check answers false either way; a failing handler must not end a server thread.
    }
}

bool TkbzHTTPComponentServer_JWT::IsJWTTokenValid(const TkbzWSConnectionServerPtr& aConnection,
                                                  const TkbzHeaderList& aHeaders)
{
    try
    {
        bool cancel = false;
        if (OnJWTBeforeRequest(*this, aConnection, aHeaders, cancel))
        {
            // A handler that cancels accepts the request without looking at any token.
            if (cancel)
            {
                return true;
            }
        }
        if (!kbzHasAuthorization(aHeaders))
        {
            return false;
        }
        const std::string token = kbzGetBearerToken(aHeaders);
        return !token.empty() && IsJWTTokenValid(aConnection, token);
    }
    catch (const std::exception& e)
    {
        RaiseException(aConnection, e);
    }
    catch (...)
    {
        RaiseException(aConnection, Exception("Unknown error"));
    }
    return false;
}

bool TkbzHTTPComponentServer_JWT::IsJWTTokenValid(const TkbzWSConnectionServerPtr& aConnection,
                                                  const std::string& aToken)
{
    try
    {
        bool cancel = false;
        OnJWTBeforeValidateToken(*this, aConnection, aToken, cancel);
        if (cancel)
        {
            return false;
        }
        std::string header;
        std::string payload;
        std::string error;
        IkbzJSON claims;
        bool valid = CheckSignature(aConnection, aToken, header, payload, error, &claims);
        if (!valid && error.empty())
        {
            error = "Invalid signature";
        }
        if (valid && claims)
        {
            const TkbzHTTP_JWT_Server_Validations_Options& checks = FJWTOptions.Validations;
            const std::int64_t now = kbzJWTNow();
            struct TimeCheck
            {
                std::string_view name;
                bool enabled;
                bool (*passes)(std::int64_t value, std::int64_t now);
                std::string_view message;
            };
            const TimeCheck timeChecks[] = {
                {"iat", checks.Issued, [](std::int64_t v, std::int64_t n) { return v <= n; },
                 "Invalid iat value. "},
                {"nbf", checks.NotBefore, [](std::int64_t v, std::int64_t n) { return v <= n; },
                 "Invalid nbf value. "},
                // Expired from the second it names on, as for any other reader of tokens.
                {"exp", checks.Expiration, [](std::int64_t v, std::int64_t n) { return v > n; },
                 "Invalid exp value. "},
            };
            for (const TimeCheck& check : timeChecks)
            {
                const IkbzObjectJSON member = detail::FindJWTMember(*claims, check.name);
                if (!member)
                {
                    continue;
                }
                // A time that is no integer is malformed whether or not it is checked.
                const std::optional<std::int64_t> value =
                    member->GetJSONType() == TkbzJSONtype::kbzJSONNumber
                        ? detail::ParseJSONInteger(member->GetRawValue())
                        : std::nullopt;
                if (!value || (check.enabled && !check.passes(*value, now)))
                {
                    error += check.message;
                    valid = false;
                }
            }
        }
        OnJWTAfterValidateToken(*this, aConnection, aToken, header, payload, error, valid);
        return valid;
    }
    catch (const std::exception& e)
    {
        RaiseException(aConnection, e);
    }
    catch (...)
    {
        RaiseException(aConnection, Exception("Unknown error"));
    }
    return false;
}

bool TkbzHTTPComponentServer_JWT::Validate(const std::string& aJWT, std::string& aHeader,
                                           std::string& aPayload, std::string& aError)
{
    aHeader.clear();
    aPayload.clear();
    aError.clear();
    return CheckSignature(nullptr, aJWT, aHeader, aPayload, aError, nullptr);
}

bool TkbzHTTPComponentServer_JWT::CheckSignature(const TkbzWSConnectionServerPtr& connection,
                                                 const std::string& token, std::string& header,
                                                 std::string& payload, std::string& error,
                                                 IkbzJSON* claims)
{
    detail::TJWTParts parts = detail::SplitJWT(token);
    header = parts.header;
    payload = parts.payload;
    if (claims)
    {
        *claims = parts.claims;
    }
    const TkbzHTTP_JWT_Server_Algorithms_Options& algorithms = FJWTOptions.Algorithms;
    std::string key;
    std::string_view family;
    switch (kbzJWTFamily(parts.alg))
    {
    case TkbzHTTP_JWT_Family::jwfHS:
        family = "HS";
        if (!algorithms.HS.Enabled)
        {
            error += "HS Algorithm not supported";
            return false;
        }
        key = algorithms.HS.Secret;
        break;
    case TkbzHTTP_JWT_Family::jwfRS:
        family = "RS";
        if (!algorithms.RS.Enabled)
        {
            error += "RS Algorithm not supported";
            return false;
        }
        key = JoinLines(algorithms.RS.PublicKey);
        break;
    case TkbzHTTP_JWT_Family::jwfES:
        family = "ES";
        if (!algorithms.ES.Enabled)
        {
            error += "ES Algorithm not supported";
            return false;
        }
        key = JoinLines(algorithms.ES.PublicKey);
        break;
    case TkbzHTTP_JWT_Family::jwfNone:
        throw TkbzJWTException("JWT cannot be validated");
    }
    OnJWTBeforeValidateSignature(*this, connection, header, payload, key);
    // A family that is enabled but has no key accepts nothing: an application that configured
    // only RS must not accept HS tokens signed with the empty secret.
    if (key.empty())
    {
        error += std::string(family) + " Algorithm has no key";
        return false;
    }
    return FSigners.Verify(parts.alg, parts.headerSegment, parts.payloadSegment, parts.signature,
                           key);
}

} // namespace kbz
