// The key files of the token tests (tests/auth/keys/) and a token check that turns every
// refusal, raised or answered, into false.
#pragma once

#include "auth/kbzHTTP_JWT_Classes.h"
#include "auth/kbzHTTP_JWT_Types.h"
#include "tests/support/kbzTestProcess.h"

#include <fstream>
#include <sstream>
#include <string>

namespace kbz::test::jwt
{

inline std::string KeyPath(const std::string& name)
{
    return SourcePath("tests/auth/keys/" + name);
}

inline std::string ReadKey(const std::string& name)
{
    std::ifstream in(KeyPath(name), std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// The test keys of an algorithm: the secret for HS, PEM files otherwise.
struct AlgorithmKeys
{
    TkbzHTTP_JWT_Algorithm alg;
    std::string privateFile; // empty for HS
    std::string publicFile;
};

inline const AlgorithmKeys kAllAlgorithms[] = {
    {TkbzHTTP_JWT_Algorithm::jwtHS256, "", ""},
    {TkbzHTTP_JWT_Algorithm::jwtHS384, "", ""},
    {TkbzHTTP_JWT_Algorithm::jwtHS512, "", ""},
    {TkbzHTTP_JWT_Algorithm::jwtRS256, "rsa_private.pem", "rsa_public.pem"},
    {TkbzHTTP_JWT_Algorithm::jwtRS384, "rsa_private.pem", "rsa_public.pem"},
    {TkbzHTTP_JWT_Algorithm::jwtRS512, "rsa_private.pem", "rsa_public.pem"},
    {TkbzHTTP_JWT_Algorithm::jwtES256, "ec_p256_private.pem", "ec_p256_public.pem"},
    {TkbzHTTP_JWT_Algorithm::jwtES384, "ec_p384_private.pem", "ec_p384_public.pem"},
    {TkbzHTTP_JWT_Algorithm::jwtES512, "ec_p521_private.pem", "ec_p521_public.pem"},
};

inline const std::string kSecret = "a secret of the tests, long enough for HS512 too";

inline std::string SigningKey(const AlgorithmKeys& a)
{
    return a.privateFile.empty() ? kSecret : ReadKey(a.privateFile);
}

inline std::string VerifyingKey(const AlgorithmKeys& a)
{
    return a.publicFile.empty() ? kSecret : ReadKey(a.publicFile);
}

// Whether the token's signature holds under key; malformed tokens and key errors count as no.
inline bool SignatureHolds(detail::TJWTSigners& signers, const std::string& token,
                           const std::string& key)
{
    try
    {
        const detail::TJWTParts parts = detail::SplitJWT(token);
        return signers.Verify(parts.alg, parts.headerSegment, parts.payloadSegment, parts.signature,
                              key);
    }
    catch (const std::exception&)
    {
        return false;
    }
}

} // namespace kbz::test::jwt
