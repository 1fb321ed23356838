// The published components of the library: the WebSocket client and the
// WebSocket and HTTP server.
#pragma once

#include "client/kbzWebSocket_Client.h"
#include "server/kbzWebSocket_Server.h"

namespace kbz
{

// The server as published to applications.
class TkbzWebSocketHTTPServer : public TkbzWSHTTPServer
{
public:
    ~TkbzWebSocketHTTPServer() override { StopForDestruction(); }
};

} // namespace kbz
