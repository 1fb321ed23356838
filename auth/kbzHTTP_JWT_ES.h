// ECDSA signatures of tokens in the raw form r || s (ES256 on P-256, ES384 on P-384, ES512 on
// P-521).
#pragma once

#include "auth/kbzHTTP_JWT_Types.h"

#include <cstddef>
#include <string_view>

namespace kbz
{

class TkbzHTTP_JWT_ES
{
public:
    // Signs value with the EC private key in PEM; the result has 64, 96 or 132 bytes. A key on
    // another curve than the algorithm's raises "Unable to get EC Key".
    TBytes SignES256(std::string_view value, std::string_view privateKeyPEM);
    TBytes SignES384(std::string_view value, std::string_view privateKeyPEM);
    TBytes SignES512(std::string_view value, std::string_view privateKeyPEM);
    TBytes Sign(TkbzHTTP_JWT_Algorithm alg, std::string_view value, std::string_view privateKeyPEM);

    // Verifies the raw signature (URL-safe Base64) of header + "." + payload with the public key
    // in PEM. A signature of any other length than the algorithm's, or a key on another curve,
    // is invalid.
    bool ValidateES256(std::string_view header, std::string_view payload,
                       std::string_view signature, std::string_view publicKeyPEM);
    bool ValidateES384(std::string_view header, std::string_view payload,
                       std::string_view signature, std::string_view publicKeyPEM);
    bool ValidateES512(std::string_view header, std::string_view payload,
                       std::string_view signature, std::string_view publicKeyPEM);
    bool Validate(TkbzHTTP_JWT_Algorithm alg, std::string_view header, std::string_view payload,
                  std::string_view signature, std::string_view publicKeyPEM);

    // 64, 96 or 132 for ES256, ES384, ES512; 0 otherwise.
    static std::size_t SignatureSize(TkbzHTTP_JWT_Algorithm alg) noexcept;

private:
    detail::TKeyCache FPrivateKey;
    detail::TKeyCache FPublicKey;
};

} // namespace kbz
