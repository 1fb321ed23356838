#include "auth/kbzHTTP_JWT_RSA.h"

#include <openssl/evp.h>

namespace kbz
{

namespace
{

using TDigestContext = std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)>;

TDigestContext NewDigestContext()
{
    return {EVP_MD_CTX_new(), &EVP_MD_CTX_free};
}

} // namespace

TBytes TkbzHTTP_JWT_RSA::Sign(TkbzHTTP_JWT_Algorithm alg, std::string_view value,
                              std::string_view privateKeyPEM)
{
    if (kbzJWTFamily(alg) != TkbzHTTP_JWT_Family::jwfRS)
    {
        throw TkbzJWTException("Invalid JWT [RSA] Algorithm");
    }
    const detail::TkbzPKey key = FPrivateKey.Get(privateKeyPEM, true);
    if (!key)
    {
        throw TkbzJWTException("Unable to load private key");
    }
    if (!EVP_PKEY_is_a(key.get(), "RSA"))
    {
        throw TkbzJWTException("Unable to extract private key");
    }
    const EVP_MD* md = detail::SHA2Digest(kbzJWTDigestBits(alg));
    if (!md)
    {
        throw TkbzJWTException("Unsupported signing algorithm!");
    }
    TDigestContext ctx = NewDigestContext();
    if (!ctx || EVP_DigestSignInit(ctx.get(), nullptr, md, nullptr, key.get()) != 1)
    {
        throw TkbzJWTException("Unable to init context");
    }
    if (EVP_DigestSignUpdate(ctx.get(), value.data(), value.size()) != 1)
    {
        throw TkbzJWTException("Unable to update context with payload");
    }
    std::size_t length = 0;
    if (EVP_DigestSignFinal(ctx.get(), nullptr, &length) != 1)
    {
        throw TkbzJWTException("Unable to update context with payload");
    }
    TBytes signature(length);
    if (EVP_DigestSignFinal(ctx.get(), signature.data(), &length) != 1)
    {
        throw TkbzJWTException("Unable to update context with payload");
    }
    signature.resize(length);
    return signature;
}

bool TkbzHTTP_JWT_RSA::Validate(TkbzHTTP_JWT_Algorithm alg, std::string_view header,
                                std::string_view payload, std::string_view signature,
                                std::string_view publicKeyPEM)
{
    if (kbzJWTFamily(alg) != TkbzHTTP_JWT_Family::jwfRS)
    {
        throw TkbzJWTException("Invalid JWT [RSA] Algorithm");
    }
    const detail::TkbzPKey key = FPublicKey.Get(publicKeyPEM, false);
    if (!key || !EVP_PKEY_is_a(key.get(), "RSA"))
    {
        throw TkbzJWTException("Cannot Load Public Key.");
    }
    const EVP_MD* md = detail::SHA2Digest(kbzJWTDigestBits(alg));
    if (!md)
    {
        throw TkbzJWTException("[RSA] Unsupported signing algorithm!");
    }
    const std::optional<TBytes> bytes = kbzDecodeBase64URL(signature);
    if (!bytes || bytes->empty())
    {
        return false;
    }
    std::string input;
    input.reserve(header.size() + payload.size() + 1);
    input += header;
    input += '.';
    input += payload;
    TDigestContext ctx = NewDigestContext();
    return ctx && EVP_DigestVerifyInit(ctx.get(), nullptr, md, nullptr, key.get()) == 1 &&
           EVP_DigestVerify(ctx.get(), bytes->data(), bytes->size(),
                            reinterpret_cast<const unsigned char*>(input.data()),
                            input.size()) == 1;
}

TBytes TkbzHTTP_JWT_RSA::SignRSA256(std::string_view value, std::string_view privateKeyPEM)
{
    return Sign(TkbzHTTP_JWT_Algorithm::jwtRS256, value, privateKeyPEM);
}

TBytes TkbzHTTP_JWT_RSA::SignRSA384(std::string_view value, std::string_view privateKeyPEM)
{
    return Sign(TkbzHTTP_JWT_Algorithm::jwtRS384, value, privateKeyPEM);
}

TBytes TkbzHTTP_JWT_RSA::SignRSA512(std::string_view value, std::string_view privateKeyPEM)
{
    return Sign(TkbzHTTP_JWT_Algorithm::jwtRS512, value, privateKeyPEM);
}

bool TkbzHTTP_JWT_RSA::ValidateRSA256(std::string_view header, std::string_view payload,
                                      std::string_view signature, std::string_view publicKeyPEM)
{
    return Validate(TkbzHTTP_JWT_Algorithm::jwtRS256, header, payload, signature, publicKeyPEM);
}

bool TkbzHTTP_JWT_RSA::ValidateRSA384(std::string_view header, std::string_view payload,
                                      std::string_view signature, std::string_view publicKeyPEM)
{
    return Validate(TkbzHTTP_JWT_Algorithm::jwtRS384, header, payload, signature, publicKeyPEM);
}

bool TkbzHTTP_JWT_RSA::ValidateRSA512(std::string_view header, std::string_view payload,
                                      std::string_view signature, std::string_view publicKeyPEM)
{
    return Validate(TkbzHTTP_JWT_Algorithm::jwtRS512, header, payload, signature, publicKeyPEM);
}

} // namespace kbz
