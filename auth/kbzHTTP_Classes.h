// Bases of the token components of the auth layer. The server-side checks implement the check
// interface that the server declares, so the server can consult them without knowing this layer.
#pragma once

#include "server/kbzWebSocket_Server_Base.h"
#include "server/kbzWebSocket_Server_Options.h"
#include "websocket/kbzWebSocket_Classes.h"

#include <string>
#include <string_view>

namespace kbz
{

// A component that decides whether a request carries a valid token.
class TkbzHTTPComponentServerAuthToken_Base : public TkbzComponent_Base,
                                              public IkbzWSServerTokenCheck
{};

namespace detail
{

// A value for a form body or a query: everything but the unreserved characters of RFC 3986
// as %XX (a blank too), so that "&", "=", "+" and "%" in secrets arrive as they were.
std::string FormEncode(std::string_view value);
// Whether the text holds a control character (CR, LF, NUL and the others below 0x20, DEL).
bool HasControlCharacters(std::string_view text) noexcept;

} // namespace detail

} // namespace kbz
