// The header and the claims of a token, and how their JSON texts are built.
#pragma once

#include "auth/kbzHTTP_JWT_Types.h"
#include "transport/kbzSocket_Options.h"

#include "json/kbzJSON.h"
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kbz
{

// Extra claims ("name=value") and the document the JSON text is built into.
class TkbzHTTP_JWTBase_JSON : public TkbzPersistent
{
public:
    KBZ_PERSISTENT_CLASS(TkbzHTTP_JWTBase_JSON)

    // Appends name + "=" + value. "true" and "false" become Booleans, a decimal integer that
    // fits 64 bits a number, any other value a string.
    void AddKeyValue(std::string_view name, std::string_view value);
    void AddKeyValue(std::string_view name, const char* value)
    {
        AddKeyValue(name, std::string_view(value));
    }
    void AddKeyValue(std::string_view name, const std::string& value)
    {
        AddKeyValue(name, std::string_view(value));
    }
    // Appends name + "=true" or name + "=false".
    void AddKeyValue(std::string_view name, bool value);
    void ClearKeyValues();
    // The claims as added, in order.
    std::vector<std::string> KeyValues() const;

    // The JSON text, built anew each time.
    virtual std::string GetJSON() = 0;

protected:
    // The cleared document.
    TkbzJSON& NewDocument();
    // A text member: quoted and escaped, unless it is a JSON object or list on its own, which is
    // embedded as it is (so "aud" may carry a list).
    static void AddText(TkbzJSON& doc, std::string_view name, std::string_view value);
    static void AddNumber(TkbzJSON& doc, std::string_view name, std::int64_t value);
    // One member per extra claim, in the order they were added.
    void AddKeyValues(TkbzJSON& doc) const;

private:
    std::vector<std::string>& KeyValueList();

    std::unique_ptr<std::vector<std::string>> FKeyValue;
    IkbzJSON FJSON;
};

class TkbzHTTP_JWTHeader : public TkbzHTTP_JWTBase_JSON
{
public:
    KBZ_PERSISTENT_CLASS(TkbzHTTP_JWTHeader)
    // Copies alg, kid and typ.
    void Assign(const TkbzPersistent& src) override;
    // "alg", "typ", "kid" when not empty, then the extra claims.
    std::string GetJSON() override;

    TkbzHTTP_JWT_Algorithm alg = TkbzHTTP_JWT_Algorithm::jwtNone;
    std::string kid;
    std::string typ = "JWT";
};

class TkbzHTTP_JWTPayload : public TkbzHTTP_JWTBase_JSON
{
public:
    KBZ_PERSISTENT_CLASS(TkbzHTTP_JWTPayload)
    // Copies the seven claims.
    void Assign(const TkbzPersistent& src) override;
    // "iss", "sub", "aud", "jti" when not empty, "iat", "exp", "nbf" when above 0, then the
    // extra claims.
    std::string GetJSON() override;

    std::string iss;
    std::string sub;
    std::string aud;
    std::string jti;
    // Seconds since 1970-01-01 UTC.
    std::int64_t iat = 0;
    std::int64_t exp = 0;
    std::int64_t nbf = 0;
};

class TkbzHTTP_JWT_HMAC;
class TkbzHTTP_JWT_RSA;
class TkbzHTTP_JWT_ES;

namespace detail
{
// The signers and verifiers of the three families, created on first use.
class TJWTSigners
{
public:
    TJWTSigners();
    ~TJWTSigners();
    TkbzHTTP_JWT_HMAC& HMAC();
    TkbzHTTP_JWT_RSA& RSA();
    TkbzHTTP_JWT_ES& ES();

    // The signature of input with key (the secret for HS, a private key PEM otherwise).
    TBytes Sign(TkbzHTTP_JWT_Algorithm alg, std::string_view input, std::string_view key);
    // Whether signature is valid for header + "." + payload under key (the secret for HS, a
    // public key PEM otherwise).
    bool Verify(TkbzHTTP_JWT_Algorithm alg, std::string_view header, std::string_view payload,
                std::string_view signature, std::string_view key);

private:
    std::mutex FLock;
    std::unique_ptr<TkbzHTTP_JWT_HMAC> FJWTHMAC;
    std::unique_ptr<TkbzHTTP_JWT_RSA> FJWTRSA;
    std::unique_ptr<TkbzHTTP_JWT_ES> FJWTES;
};

// A compact token: header segment + "." + payload segment + "." + signature, each segment the
// URL-safe Base64 of its JSON text.
std::string SignJWT(TJWTSigners& signers, TkbzHTTP_JWT_Algorithm alg, std::string_view header,
                    std::string_view payload, std::string_view key);

// A token cut into its segments, with the decoded header and payload texts.
struct TJWTParts
{
    std::string_view headerSegment;
    std::string_view payloadSegment;
    std::string_view signature;
    std::string header;
    std::string payload;
    // The payload read as a document.
    IkbzJSON claims;
    TkbzHTTP_JWT_Algorithm alg = TkbzHTTP_JWT_Algorithm::jwtNone;
};
// Raises "JWT is invalid, cannot be splitted." unless the token has exactly three segments, and
// "JWT is invalid, cannot be decoded." when the header or payload segment is not URL-safe Base64
// of a JSON object (with unique member names). A header without a known "alg" gives jwtNone.
TJWTParts SplitJWT(std::string_view token);

// The top-level member of a document with this name (compared decoded); null when none.
IkbzObjectJSON FindJWTMember(const TkbzJSON& doc, std::string_view name);

// The escaping rule of token texts: b, t, n, f, r escapes, a backslash before '"', '/' and '\',
// "\uXXXX" (upper-case, UTF-16 code units) for every other character below 32 or above 126.
std::string EscapeJWTText(std::string_view utf8);
} // namespace detail

} // namespace kbz
