// Helpers of the TLS unit shared with the SChannel stand-in and the tests; not installed.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kbz::detail
{
// The host part of a bare host, "[v6]" or URL text ("https://h:1/p" gives "h").
std::string TLSHostOf(const std::string& hostOrUrl);
// Whether text is an IPv4 or IPv6 literal (without brackets).
bool IsIPLiteral(const std::string& host);
// ALPN wire form: each name prefixed by its length; raises EIdTLSError for an
// empty name or one longer than 255 bytes.
std::vector<std::uint8_t> EncodeALPN(const std::vector<std::string>& protocols);
} // namespace kbz::detail
