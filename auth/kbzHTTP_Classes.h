// Bases of the token components of the auth layer. The server-side checks implement the check
// interface that the server declares, so the server can consult them without knowing this layer.
#pragma once

#include "server/kbzWebSocket_Server_Base.h"
#include "server/kbzWebSocket_Server_Options.h"
#include "websocket/kbzWebSocket_Classes.h"

namespace kbz
{

// A component that decides whether a request carries a valid token.
class TkbzHTTPComponentServerAuthToken_Base : public TkbzComponent_Base,
                                              public IkbzWSServerTokenCheck
{};

} // namespace kbz
