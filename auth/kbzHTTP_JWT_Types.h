// The algorithms of signed JSON Web Tokens, their names, the URL-safe Base64 of the token
// segments and the error class of the token code.
#pragma once

#include "base/kbzBase_Classes.h"
#include "base/kbzBase_Helpers.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <openssl/types.h>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace kbz
{

enum class TkbzHTTP_JWT_Algorithm : std::uint8_t
{
    jwtNone,
    jwtHS256,
    jwtHS384,
    jwtHS512,
    jwtRS256,
    jwtRS384,
    jwtRS512,
    jwtES256,
    jwtES384,
    jwtES512
};

// The key family an algorithm belongs to.
enum class TkbzHTTP_JWT_Family : std::uint8_t
{
    jwfNone,
    jwfHS,
    jwfRS,
    jwfES
};

// Signing, verifying and key errors of the token code, with their fixed texts.
KBZ_DECLARE_EXCEPTION(TkbzJWTException, Exception);

// "HS256" ... "ES512"; empty for jwtNone.
std::string_view kbzJWTAlgorithmText(TkbzHTTP_JWT_Algorithm alg) noexcept;
// Case-sensitive: "hs256", "none" and every other text give jwtNone.
TkbzHTTP_JWT_Algorithm kbzJWTAlgorithmFromText(std::string_view text) noexcept;
TkbzHTTP_JWT_Family kbzJWTFamily(TkbzHTTP_JWT_Algorithm alg) noexcept;
// 256, 384 or 512 (0 for jwtNone): the SHA-2 digest of the algorithm.
int kbzJWTDigestBits(TkbzHTTP_JWT_Algorithm alg) noexcept;

// URL-safe Base64 without padding or line breaks.
std::string kbzEncodeBase64URL(std::span<const std::uint8_t> bytes);
std::string kbzEncodeBase64URL(std::string_view bytes);
// Strict decoding: only the URL-safe alphabet, no padding, no length that leaves a lone
// character, and the unused bits of the last character zero, so every byte sequence has exactly
// one accepted text (an altered signature character can never decode to the same bytes).
// Nothing when the text is not such an encoding.
std::optional<TBytes> kbzDecodeBase64URL(std::string_view text);

// Seconds since 1970-01-01 UTC.
std::int64_t kbzJWTNow();

namespace detail
{
// Whether text is exactly one JSON value (RFC 8259, strict: no comments, no trailing commas,
// nothing but whitespace around it). With objectOnly it must be an object whose member names
// (compared decoded) are unique.
bool IsStrictJSON(std::string_view text, bool objectOnly = false);
// OpenSSL keys of the RSA and ECDSA signers and verifiers.
using TkbzPKey = std::shared_ptr<EVP_PKEY>;
// A private key in PEM (PKCS#8, PKCS#1 RSA or SEC 1 EC); null when it cannot be read.
TkbzPKey ReadPrivateKeyPEM(std::string_view pem);
// A public key in PEM: a subject public key, or a PKCS#1 RSA public key when the text starts
// with "-----BEGIN RSA PUBLIC KEY-----"; null when it cannot be read.
TkbzPKey ReadPublicKeyPEM(std::string_view pem);
// SHA-256, SHA-384 or SHA-512, fetched once; null for other sizes.
const EVP_MD* SHA2Digest(int bits);

// The last key read from a PEM text, so that a verifier or signer used again with the same
// text does not decode it again. Safe to share between threads.
class TKeyCache
{
public:
    TkbzPKey Get(std::string_view pem, bool privateKey);

private:
    std::mutex FLock;
    std::string FPEM;
    bool FPrivate = false;
    TkbzPKey FKey;
};

// A JSON integer as written ("-12", "0", no fraction, no exponent) that fits 64 bits.
std::optional<std::int64_t> ParseJSONInteger(std::string_view text);
} // namespace detail

} // namespace kbz
