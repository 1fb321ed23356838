// HMAC-SHA-2 signatures of tokens (HS256, HS384, HS512).
#pragma once

#include "auth/kbzHTTP_JWT_Types.h"

#include <string_view>

namespace kbz
{

class TkbzHTTP_JWT_HMAC
{
public:
    // The HMAC of value under key.
    TBytes SignHMAC256(std::string_view value, std::string_view key) const;
    TBytes SignHMAC384(std::string_view value, std::string_view key) const;
    TBytes SignHMAC512(std::string_view value, std::string_view key) const;
    // HS256, HS384 or HS512; any other algorithm raises "Invalid JWT [HMAC] Algorithm".
    TBytes Sign(TkbzHTTP_JWT_Algorithm alg, std::string_view value, std::string_view key) const;

    // Whether signature is the URL-safe Base64 of the HMAC of header + "." + payload under the
    // secret, compared in constant time. An empty secret accepts nothing.
    bool ValidateHMAC256(std::string_view header, std::string_view payload,
                         std::string_view signature, std::string_view secret) const;
    bool ValidateHMAC384(std::string_view header, std::string_view payload,
                         std::string_view signature, std::string_view secret) const;
    bool ValidateHMAC512(std::string_view header, std::string_view payload,
                         std::string_view signature, std::string_view secret) const;
    bool Validate(TkbzHTTP_JWT_Algorithm alg, std::string_view header, std::string_view payload,
                  std::string_view signature, std::string_view secret) const;
};

} // namespace kbz
