#include "auth/kbzHTTP_JWT_ES.h"

#include <array>
#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/obj_mac.h>
#include <openssl/objects.h>

namespace kbz
{

namespace
{

using TDigestContext = std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)>;
using TSignature = std::unique_ptr<ECDSA_SIG, decltype(&ECDSA_SIG_free)>;

int CurveOf(TkbzHTTP_JWT_Algorithm alg)
{
    using enum TkbzHTTP_JWT_Algorithm;
    switch (alg)
    {
    case jwtES256:
        return NID_X9_62_prime256v1;
    case jwtES384:
        return NID_secp384r1;
    case jwtES512:
        return NID_secp521r1;
    default:
        return NID_undef;
    }
}

// Whether key is an EC key on the curve of the algorithm.
bool IsKeyFor(EVP_PKEY* key, TkbzHTTP_JWT_Algorithm alg)
{
    if (!EVP_PKEY_is_a(key, "EC"))
    {
        return false;
    }
    std::array<char, 64> name{};
    std::size_t length = 0;
    if (EVP_PKEY_get_group_name(key, name.data(), name.size(), &length) != 1)
    {
        return false;
    }
    return OBJ_sn2nid(name.data()) == CurveOf(alg);
}

std::string SigningInput(std::string_view header, std::string_view payload)
{
    std::string input;
    input.reserve(header.size() + payload.size() + 1);
    input += header;
    input += '.';
    input += payload;
    return input;
}

} // namespace

std::size_t TkbzHTTP_JWT_ES::SignatureSize(TkbzHTTP_JWT_Algorithm alg) noexcept
{
    using enum TkbzHTTP_JWT_Algorithm;
    switch (alg)
    {
    case jwtES256:
        return 64;
    case jwtES384:
        return 96;
    case jwtES512:
        return 132;
    default:
        return 0;
    }
}

TBytes TkbzHTTP_JWT_ES::Sign(TkbzHTTP_JWT_Algorithm alg, std::string_view value,
                             std::string_view privateKeyPEM)
{
    if (kbzJWTFamily(alg) != TkbzHTTP_JWT_Family::jwfES)
    {
        throw TkbzJWTException("Invalid JWT [ES] Algorithm");
    }
    const detail::TkbzPKey key = FPrivateKey.Get(privateKeyPEM, true);
    if (!key)
    {
        throw TkbzJWTException("Unable to load private key");
    }
    // A key on another curve would give a signature of another size, which no verifier takes.
    if (!IsKeyFor(key.get(), alg))
    {
        throw TkbzJWTException("Unable to get EC Key");
    }
    const EVP_MD* md = detail::SHA2Digest(kbzJWTDigestBits(alg));
    TDigestContext ctx(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
    std::size_t length = 0;
    if (!md || !ctx || EVP_DigestSignInit(ctx.get(), nullptr, md, nullptr, key.get()) != 1 ||
        EVP_DigestSign(ctx.get(), nullptr, &length,
                       reinterpret_cast<const unsigned char*>(value.data()), value.size()) != 1)
    {
        throw TkbzJWTException("Unable to sign ECDSA");
    }
    TBytes der(length);
    if (EVP_DigestSign(ctx.get(), der.data(), &length,
                       reinterpret_cast<const unsigned char*>(value.data()), value.size()) != 1)
    {
        throw TkbzJWTException("Unable to sign ECDSA");
    }
    const unsigned char* p = der.data();
    TSignature sig(d2i_ECDSA_SIG(nullptr, &p, static_cast<long>(length)), &ECDSA_SIG_free);
    if (!sig)
    {
        throw TkbzJWTException("Unable to sign ECDSA");
    }
    // r and s right-aligned in their halves: leading zero bytes are kept.
    const std::size_t half = SignatureSize(alg) / 2;
    TBytes raw(half * 2, 0);
    if (BN_bn2binpad(ECDSA_SIG_get0_r(sig.get()), raw.data(), static_cast<int>(half)) < 0 ||
        BN_bn2binpad(ECDSA_SIG_get0_s(sig.get()), raw.data() + half, static_cast<int>(half)) < 0)
    {
        throw TkbzJWTException("Unable to sign ECDSA");
    }
    return raw;
}

bool TkbzHTTP_JWT_ES::Validate(TkbzHTTP_JWT_Algorithm alg, std::string_view header,
                               std::string_view payload, std::string_view signature,
                               std::string_view publicKeyPEM)
{
    if (kbzJWTFamily(alg) != TkbzHTTP_JWT_Family::jwfES)
    {
        throw TkbzJWTException("Invalid JWT [ES] Algorithm");
    }
    const detail::TkbzPKey key = FPublicKey.Get(publicKeyPEM, false);
    if (!key)
    {
        throw TkbzJWTException("Cannot Load Public Key.");
    }
    if (!EVP_PKEY_is_a(key.get(), "EC"))
    {
        throw TkbzJWTException("Cannot get EC_KEY.");
    }
    if (!IsKeyFor(key.get(), alg))
    {
        return false;
    }
    const std::optional<TBytes> raw = kbzDecodeBase64URL(signature);
    const std::size_t size = SignatureSize(alg);
    if (!raw || raw->size() != size)
    {
        return false;
    }
    const std::size_t half = size / 2;
    TSignature sig(ECDSA_SIG_new(), &ECDSA_SIG_free);
    BIGNUM* r = BN_bin2bn(raw->data(), static_cast<int>(half), nullptr);
    BIGNUM* s = BN_bin2bn(raw->data() + half, static_cast<int>(half), nullptr);
    if (!sig || !r || !s || ECDSA_SIG_set0(sig.get(), r, s) != 1)
    {
        BN_free(r);
        BN_free(s);
        return false;
    }
    unsigned char* der = nullptr;
    const int derLength = i2d_ECDSA_SIG(sig.get(), &der);
    if (derLength <= 0)
    {
        return false;
    }
    std::unique_ptr<unsigned char, void (*)(unsigned char*)> derOwner(
        der, [](unsigned char* d) { OPENSSL_free(d); });
    const std::string input = SigningInput(header, payload);
    TDigestContext ctx(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
    const EVP_MD* md = detail::SHA2Digest(kbzJWTDigestBits(alg));
    return md && ctx && EVP_DigestVerifyInit(ctx.get(), nullptr, md, nullptr, key.get()) == 1 &&
           EVP_DigestVerify(ctx.get(), der, static_cast<std::size_t>(derLength),
                            reinterpret_cast<const unsigned char*>(input.data()),
                            input.size()) == 1;
}

TBytes TkbzHTTP_JWT_ES::SignES256(std::string_view value, std::string_view privateKeyPEM)
{
    return Sign(TkbzHTTP_JWT_Algorithm::jwtES256, value, privateKeyPEM);
}

TBytes TkbzHTTP_JWT_ES::SignES384(std::string_view value, std::string_view privateKeyPEM)
{
    return Sign(TkbzHTTP_JWT_Algorithm::jwtES384, value, privateKeyPEM);
}

TBytes TkbzHTTP_JWT_ES::SignES512(std::string_view value, std::string_view privateKeyPEM)
{
    return Sign(TkbzHTTP_JWT_Algorithm::jwtES512, value, privateKeyPEM);
}

bool TkbzHTTP_JWT_ES::ValidateES256(std::string_view header, std::string_view payload,
                                    std::string_view signature, std::string_view publicKeyPEM)
{
    return Validate(TkbzHTTP_JWT_Algorithm::jwtES256, header, payload, signature, publicKeyPEM);
}

bool TkbzHTTP_JWT_ES::ValidateES384(std::string_view header, std::string_view payload,
                                    std::string_view signature, std::string_view publicKeyPEM)
{
    return Validate(TkbzHTTP_JWT_Algorithm::jwtES384, header, payload, signature, publicKeyPEM);
}

bool TkbzHTTP_JWT_ES::ValidateES512(std::string_view header, std::string_view payload,
                                    std::string_view signature, std::string_view publicKeyPEM)
{
    return Validate(TkbzHTTP_JWT_Algorithm::jwtES512, header, payload, signature, publicKeyPEM);
}

} // namespace kbz
