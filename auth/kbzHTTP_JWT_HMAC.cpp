#include "auth/kbzHTTP_JWT_HMAC.h"

#include <limits>
#include <openssl/crypto.h>
#include <openssl/hmac.h>

namespace kbz
{

namespace
{

TBytes HMACOf(int bits, std::string_view value, std::string_view key)
{
    const EVP_MD* md = detail::SHA2Digest(bits);
    if (!md)
    {
        throw TkbzJWTException("SHA" + std::to_string(bits) + " hashing is not available!");
    }
    if (key.size() > static_cast<std::size_t>(std::numeric_limits<int>::max()))
    {
        throw TkbzJWTException("Invalid JWT [HMAC] key");
    }
    TBytes out(EVP_MAX_MD_SIZE);
    unsigned int length = 0;
    // A valid pointer even for an empty key: some OpenSSL versions refuse a null one.
    static const unsigned char emptyKey = 0;
    const void* keyData = key.empty() ? static_cast<const void*>(&emptyKey) : key.data();
    if (!HMAC(md, keyData, static_cast<int>(key.size()),
              reinterpret_cast<const unsigned char*>(value.data()), value.size(), out.data(),
              &length))
    {
        throw TkbzJWTException("SHA" + std::to_string(bits) + " hashing is not available!");
    }
    out.resize(length);
    return out;
}

} // namespace

TBytes TkbzHTTP_JWT_HMAC::SignHMAC256(std::string_view value, std::string_view key) const
{
    return HMACOf(256, value, key);
}

TBytes TkbzHTTP_JWT_HMAC::SignHMAC384(std::string_view value, std::string_view key) const
{
    return HMACOf(384, value, key);
}

TBytes TkbzHTTP_JWT_HMAC::SignHMAC512(std::string_view value, std::string_view key) const
{
    return HMACOf(512, value, key);
}

TBytes TkbzHTTP_JWT_HMAC::Sign(TkbzHTTP_JWT_Algorithm alg, std::string_view value,
                               std::string_view key) const
{
    if (kbzJWTFamily(alg) != TkbzHTTP_JWT_Family::jwfHS)
    {
        throw TkbzJWTException("Invalid JWT [HMAC] Algorithm");
    }
    return HMACOf(kbzJWTDigestBits(alg), value, key);
}

bool TkbzHTTP_JWT_HMAC::Validate(TkbzHTTP_JWT_Algorithm alg, std::string_view header,
                                 std::string_view payload, std::string_view signature,
                                 std::string_view secret) const
{
    if (kbzJWTFamily(alg) != TkbzHTTP_JWT_Family::jwfHS)
    {
        throw TkbzJWTException("Invalid JWT [HMAC] Algorithm");
    }
    // Without a secret anyone could sign: nothing is valid.
    if (secret.empty())
    {
        return false;
    }
    std::string input;
    input.reserve(header.size() + payload.size() + 1);
    input += header;
    input += '.';
    input += payload;
    const std::string expected = kbzEncodeBase64URL(HMACOf(kbzJWTDigestBits(alg), input, secret));
    // The length of a signature is no secret; its content is compared in constant time.
    return expected.size() == signature.size() &&
           CRYPTO_memcmp(expected.data(), signature.data(), expected.size()) == 0;
}

bool TkbzHTTP_JWT_HMAC::ValidateHMAC256(std::string_view header, std::string_view payload,
                                        std::string_view signature, std::string_view secret) const
{
    return Validate(TkbzHTTP_JWT_Algorithm::jwtHS256, header, payload, signature, secret);
}

bool TkbzHTTP_JWT_HMAC::ValidateHMAC384(std::string_view header, std::string_view payload,
                                        std::string_view signature, std::string_view secret) const
{
    return Validate(TkbzHTTP_JWT_Algorithm::jwtHS384, header, payload, signature, secret);
}

bool TkbzHTTP_JWT_HMAC::ValidateHMAC512(std::string_view header, std::string_view payload,
                                        std::string_view signature, std::string_view secret) const
{
    return Validate(TkbzHTTP_JWT_Algorithm::jwtHS512, header, payload, signature, secret);
}

} // namespace kbz
