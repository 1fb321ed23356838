#include "auth/kbzHTTP_JWT_Client.h"

#include "auth/kbzHTTP_JWT_ES.h"
#include "auth/kbzHTTP_JWT_HMAC.h"
#include "auth/kbzHTTP_JWT_RSA.h"

namespace kbz
{

void TkbzHTTP_JWT_Client_Options::Assign(const TkbzPersistent& src)
{
    if (const auto* s = dynamic_cast<const TkbzHTTP_JWT_Client_Options*>(&src))
    {
        Header.Assign(s->Header);
        Payload.Assign(s->Payload);
        Algorithms = s->Algorithms;
        RefreshTokenAfter = s->RefreshTokenAfter;
        OpenSSL_Options.Assign(s->OpenSSL_Options);
        return;
    }
    TkbzPersistent::Assign(src);
}

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

TkbzHTTPComponentClient_JWT::TkbzHTTPComponentClient_JWT() = default;

TkbzHTTPComponentClient_JWT::~TkbzHTTPComponentClient_JWT()
{
    SetDestroying();
}

std::string TkbzHTTPComponentClient_JWT::Sign()
{
    std::lock_guard guard(FSignLock);
    TkbzHTTP_JWT_Client_Options& o = FJWTOptions;
    if (o.RefreshTokenAfter > 0)
    {
        o.Payload.iat = kbzJWTNow();
        o.Payload.exp = o.Payload.iat + o.RefreshTokenAfter;
    }
    const TkbzHTTP_JWT_Algorithm alg = o.Header.alg;
    std::string key;
    switch (kbzJWTFamily(alg))
    {
    case TkbzHTTP_JWT_Family::jwfHS:
        key = o.Algorithms.HS.Secret;
        break;
    case TkbzHTTP_JWT_Family::jwfRS:
        key = JoinLines(o.Algorithms.RS.PrivateKey);
        break;
    case TkbzHTTP_JWT_Family::jwfES:
        key = JoinLines(o.Algorithms.ES.PrivateKey);
        break;
    case TkbzHTTP_JWT_Family::jwfNone:
        return {};
    }
    return detail::SignJWT(FSigners, alg, o.Header.GetJSON(), o.Payload.GetJSON(), key);
}

void TkbzHTTPComponentClient_JWT::Start()
{
    std::string token;
    std::string error;
    try
    {
        token = Sign();
        if (token.empty())
        {
            error = "JWT Token cannot be empty.";
        }
    }
    catch (const std::exception& e)
    {
        error = e.what();
    }
    catch (...)
    {
        error = "Unknown error";
    }
    // Raised outside the try: what the handlers do (the client connecting) is not a signing
    // failure.
    if (error.empty())
    {
        DoAuthToken("Bearer", token, std::string());
    }
    else
    {
        DoAuthTokenError("JWT Error", error, std::string());
    }
}

} // namespace kbz
