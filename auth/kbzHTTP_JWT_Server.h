// The server-side token check: whether a request or a token carries a valid signed token, with
// the time checks and the application's hooks.
#pragma once

#include "auth/kbzHTTP_Classes.h"
#include "auth/kbzHTTP_JWT_Classes.h"
#include "base/kbzBase_Classes.h"
#include "base/kbzBase_Events.h"

#include <exception>
#include <string>

namespace kbz
{

class TkbzHTTP_JWT_Server_Algorithm_Options : public TkbzPersistent
{
public:
    KBZ_PERSISTENT_CLASS(TkbzHTTP_JWT_Server_Algorithm_Options)
    KBZ_PERSISTENT_ASSIGN(TkbzHTTP_JWT_Server_Algorithm_Options, TkbzPersistent)

    bool Enabled = true;
};

class TkbzHTTP_JWT_Server_HS_Options : public TkbzHTTP_JWT_Server_Algorithm_Options
{
public:
    KBZ_PERSISTENT_CLASS(TkbzHTTP_JWT_Server_HS_Options)
    KBZ_PERSISTENT_ASSIGN(TkbzHTTP_JWT_Server_HS_Options, TkbzHTTP_JWT_Server_Algorithm_Options)

    // Empty: no HS token is valid.
    std::string Secret;
};

class TkbzHTTP_JWT_Server_RS_Options : public TkbzHTTP_JWT_Server_Algorithm_Options
{
public:
    KBZ_PERSISTENT_CLASS(TkbzHTTP_JWT_Server_RS_Options)
    KBZ_PERSISTENT_ASSIGN(TkbzHTTP_JWT_Server_RS_Options, TkbzHTTP_JWT_Server_Algorithm_Options)

    // The lines of a PEM public key; empty: no RS token is valid.
    TkbzDelimitedStringList PublicKey;
};

class TkbzHTTP_JWT_Server_ES_Options : public TkbzHTTP_JWT_Server_Algorithm_Options
{
public:
    KBZ_PERSISTENT_CLASS(TkbzHTTP_JWT_Server_ES_Options)
    KBZ_PERSISTENT_ASSIGN(TkbzHTTP_JWT_Server_ES_Options, TkbzHTTP_JWT_Server_Algorithm_Options)

    // The lines of a PEM public key; empty: no ES token is valid.
    TkbzDelimitedStringList PublicKey;
};

class TkbzHTTP_JWT_Server_Algorithms_Options : public TkbzPersistent
{
public:
    KBZ_PERSISTENT_CLASS(TkbzHTTP_JWT_Server_Algorithms_Options)
    KBZ_PERSISTENT_ASSIGN(TkbzHTTP_JWT_Server_Algorithms_Options, TkbzPersistent)

    TkbzHTTP_JWT_Server_HS_Options HS;
    TkbzHTTP_JWT_Server_RS_Options RS;
    TkbzHTTP_JWT_Server_ES_Options ES;
};

class TkbzHTTP_JWT_Server_Validations_Options : public TkbzPersistent
{
public:
    KBZ_PERSISTENT_CLASS(TkbzHTTP_JWT_Server_Validations_Options)
    KBZ_PERSISTENT_ASSIGN(TkbzHTTP_JWT_Server_Validations_Options, TkbzPersistent)

    bool Expiration = true;
    bool Issued = true;
    bool NotBefore = true;
};

class TkbzHTTP_JWT_Server_Options : public TkbzPersistent
{
public:
    KBZ_PERSISTENT_CLASS(TkbzHTTP_JWT_Server_Options)
    KBZ_PERSISTENT_ASSIGN(TkbzHTTP_JWT_Server_Options, TkbzPersistent)

    TkbzHTTP_JWT_Server_Algorithms_Options Algorithms;
    TkbzHTTP_JWT_Server_Validations_Options Validations;
};

class TkbzHTTPComponentServer_JWT;

using TkbzHTTPJWTBeforeRequestEvent =
    TkbzEvent<TkbzHTTPComponentServer_JWT&, const TkbzWSConnectionServerPtr&, const TkbzHeaderList&,
              bool&>;
using TkbzHTTPJWTBeforeValidateTokenEvent =
    TkbzEvent<TkbzHTTPComponentServer_JWT&, const TkbzWSConnectionServerPtr&, const std::string&,
              bool&>;
using TkbzHTTPJWTBeforeValidateSignatureEvent =
    TkbzEvent<TkbzHTTPComponentServer_JWT&, const TkbzWSConnectionServerPtr&, const std::string&,
              const std::string&, std::string&>;
using TkbzHTTPJWTAfterValidateTokenEvent =
    TkbzEvent<TkbzHTTPComponentServer_JWT&, const TkbzWSConnectionServerPtr&, const std::string&,
              const std::string&, const std::string&, const std::string&, bool&>;
using TkbzHTTPJWTExceptionEvent =
    TkbzEvent<TkbzHTTPComponentServer_JWT&, const TkbzWSConnectionServerPtr&,
              const std::exception&>;

// Configure JWTOptions and the events before the server that refers to the component starts;
// the checks run on the server's connection threads, several at once.
class TkbzHTTPComponentServer_JWT : public TkbzHTTPComponentServerAuthToken_Base
{
public:
    TkbzHTTPComponentServer_JWT();
    ~TkbzHTTPComponentServer_JWT() override;

    TkbzHTTP_JWT_Server_Options& JWTOptions() { return FJWTOptions; }
    const TkbzHTTP_JWT_Server_Options& JWTOptions() const { return FJWTOptions; }
    void SetJWTOptions(const TkbzHTTP_JWT_Server_Options& value) { FJWTOptions.Assign(value); }

    // Whether the request is accepted: OnJWTBeforeRequest may accept it with Cancel; otherwise
    // its Bearer token must be valid. Never raises.
    bool IsJWTTokenValid(const TkbzWSConnectionServerPtr& aConnection,
                         const TkbzHeaderList& aHeaders);
    // Whether the token is valid: signature, then the time checks. Never raises; failures reach
    // OnJWTException and the error text of OnJWTAfterValidateToken.
    bool IsJWTTokenValid(const TkbzWSConnectionServerPtr& aConnection, const std::string& aToken);
    // The signature check alone (no time checks), for callers that want the decoded texts;
    // raises the errors of a malformed token or key.
    bool Validate(const std::string& aJWT, std::string& aHeader, std::string& aPayload,
                  std::string& aError);

    bool IsRequestTokenValid(const TkbzWSConnectionServerPtr& connection,
                             const TkbzHeaderList& headers) override;
    bool IsBearerTokenValid(const TkbzWSConnectionServerPtr& connection,
                            const std::string& token) override;

    TkbzHTTPJWTBeforeRequestEvent OnJWTBeforeRequest;
    TkbzHTTPJWTBeforeValidateTokenEvent OnJWTBeforeValidateToken;
    TkbzHTTPJWTBeforeValidateSignatureEvent OnJWTBeforeValidateSignature;
    TkbzHTTPJWTAfterValidateTokenEvent OnJWTAfterValidateToken;
    TkbzHTTPJWTExceptionEvent OnJWTException;

private:
    // The shared core of IsJWTTokenValid and Validate. Fills header and payload as soon as they
    // are decoded, and claims with the payload read as a document.
    bool CheckSignature(const TkbzWSConnectionServerPtr& connection, const std::string& token,
                        std::string& header, std::string& payload, std::string& error,
                        IkbzJSON* claims);
    void RaiseException(const TkbzWSConnectionServerPtr& connection, const std::exception& e);

    TkbzHTTP_JWT_Server_Options FJWTOptions;
    detail::TJWTSigners FSigners;
};

} // namespace kbz
