// The published components of the library: the WebSocket client and the
// WebSocket and HTTP server.
#pragma once

#include "client/kbzWebSocket_Client.h"
#include "loadbalancer/kbzWebSocket_LoadBalancer_Client.h"
#include "server/kbzWebSocket_Server.h"

namespace kbz
{

// The server as published to applications; its LoadBalancer link is the
// load-balancer client.
class TkbzWebSocketHTTPServer : public TkbzWSHTTPServer
{
public:
    TkbzWebSocketHTTPServer()
    {
        SetLoadBalancerLinkFactory(
            [this] { return std::make_unique<TkbzWSLoadBalancerServerLink>(*this); });
    }
    // The link to the balancer, created on first use.
    TkbzWSLoadBalancerClient& ClientLoadBalancer()
    {
        return static_cast<TkbzWSLoadBalancerServerLink&>(*GetClientLoadBalancer()).Client();
    }
    ~TkbzWebSocketHTTPServer() override { StopForDestruction(); }
};

} // namespace kbz
