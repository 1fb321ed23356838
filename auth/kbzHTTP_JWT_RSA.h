// RSASSA-PKCS1-v1_5 signatures of tokens (RS256, RS384, RS512).
#pragma once

#include "auth/kbzHTTP_JWT_Types.h"

#include <string_view>

namespace kbz
{

class TkbzHTTP_JWT_RSA
{
public:
    // Signs value with the RSA private key in PEM.
    TBytes SignRSA256(std::string_view value, std::string_view privateKeyPEM);
    TBytes SignRSA384(std::string_view value, std::string_view privateKeyPEM);
    TBytes SignRSA512(std::string_view value, std::string_view privateKeyPEM);
    TBytes Sign(TkbzHTTP_JWT_Algorithm alg, std::string_view value, std::string_view privateKeyPEM);

    // Verifies the signature (URL-safe Base64) of header + "." + payload with the public key in
    // PEM ("Cannot Load Public Key." when it is no RSA public key).
    bool ValidateRSA256(std::string_view header, std::string_view payload,
                        std::string_view signature, std::string_view publicKeyPEM);
    bool ValidateRSA384(std::string_view header, std::string_view payload,
                        std::string_view signature, std::string_view publicKeyPEM);
    bool ValidateRSA512(std::string_view header, std::string_view payload,
                        std::string_view signature, std::string_view publicKeyPEM);
    bool Validate(TkbzHTTP_JWT_Algorithm alg, std::string_view header, std::string_view payload,
                  std::string_view signature, std::string_view publicKeyPEM);

private:
    detail::TKeyCache FPrivateKey;
    detail::TKeyCache FPublicKey;
};

} // namespace kbz
