// The token source that signs its own token: a client whose Authentication.Token.JWT names
// one sends the signed token as its Bearer credentials.
#pragma once

#include "auth/kbzHTTP_JWT_Classes.h"
#include "client/kbzHTTP_Classes_Client.h"
#include "transport/kbzSocket_Options.h"

#include <cstdint>
#include <mutex>
#include <string>

namespace kbz
{

class TkbzHTTP_JWT_Client_HS_Options : public TkbzPersistent
{
public:
    KBZ_PERSISTENT_CLASS(TkbzHTTP_JWT_Client_HS_Options)
    KBZ_PERSISTENT_ASSIGN(TkbzHTTP_JWT_Client_HS_Options, TkbzPersistent)

    std::string Secret;
};

class TkbzHTTP_JWT_Client_RS_Options : public TkbzPersistent
{
public:
    KBZ_PERSISTENT_CLASS(TkbzHTTP_JWT_Client_RS_Options)
    KBZ_PERSISTENT_ASSIGN(TkbzHTTP_JWT_Client_RS_Options, TkbzPersistent)

    // The lines of a PEM private key.
    TkbzDelimitedStringList PrivateKey;
};

class TkbzHTTP_JWT_Client_ES_Options : public TkbzPersistent
{
public:
    KBZ_PERSISTENT_CLASS(TkbzHTTP_JWT_Client_ES_Options)
    KBZ_PERSISTENT_ASSIGN(TkbzHTTP_JWT_Client_ES_Options, TkbzPersistent)

    // The lines of a PEM private key.
    TkbzDelimitedStringList PrivateKey;
};

class TkbzHTTP_JWT_Client_Algorithms_Options : public TkbzPersistent
{
public:
    KBZ_PERSISTENT_CLASS(TkbzHTTP_JWT_Client_Algorithms_Options)
    KBZ_PERSISTENT_ASSIGN(TkbzHTTP_JWT_Client_Algorithms_Options, TkbzPersistent)

    TkbzHTTP_JWT_Client_HS_Options HS;
    TkbzHTTP_JWT_Client_RS_Options RS;
    TkbzHTTP_JWT_Client_ES_Options ES;
};

class TkbzHTTP_JWT_Client_Options : public TkbzPersistent
{
public:
    KBZ_PERSISTENT_CLASS(TkbzHTTP_JWT_Client_Options)
    // Copies the header, the payload, the algorithms, RefreshTokenAfter and the OpenSSL
    // options (the extra claims are not copied).
    void Assign(const TkbzPersistent& src) override;

    TkbzHTTP_JWT_Client_Algorithms_Options Algorithms;
    TkbzHTTP_JWTHeader Header;
    TkbzHTTP_JWTPayload Payload;
    // Kept and copied only: OpenSSL is linked into the library.
    TkbzSocketOpenSSL_Options OpenSSL_Options;
    // When above 0, every Sign sets iat to now and exp to now + this many seconds.
    std::int32_t RefreshTokenAfter = 0;
};

class TkbzHTTPComponentClient_JWT : public TkbzHTTPComponentClientAuthToken_Base
{
public:
    TkbzHTTPComponentClient_JWT();
    ~TkbzHTTPComponentClient_JWT() override;

    TkbzHTTP_JWT_Client_Options& JWTOptions() { return FJWTOptions; }
    const TkbzHTTP_JWT_Client_Options& JWTOptions() const { return FJWTOptions; }
    void SetJWTOptions(const TkbzHTTP_JWT_Client_Options& value) { FJWTOptions.Assign(value); }

    // The signed token of Header and Payload; empty for jwtNone. Raises the signers' errors.
    std::string Sign();
    // Signs and hands the token over: OnAuthToken ("Bearer", token), or OnAuthTokenError
    // ("JWT Error", why); signing failures are reported, never raised.
    void Start() override;

    // The signers, for direct use.
    TkbzHTTP_JWT_HMAC& JWTHMAC() { return FSigners.HMAC(); }
    TkbzHTTP_JWT_RSA& JWTRSA() { return FSigners.RSA(); }
    TkbzHTTP_JWT_ES& JWTES() { return FSigners.ES(); }

private:
    std::mutex FSignLock; // Sign moves iat and exp and builds into the header's document
    TkbzHTTP_JWT_Client_Options FJWTOptions;
    detail::TJWTSigners FSigners;
};

} // namespace kbz
