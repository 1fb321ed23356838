// The TLS handler of a component: the exchangeable object that turns each new
// plain connection into a TLS one. A component asks its OnSSLGetHandler hook
// first and creates the OpenSSL (or SChannel) handler only when the hook gives
// none; OnSSLAfterCreateHandler sees the handler before it is used, so an
// application can adjust its settings or supply a TLS layer of its own.
#pragma once

#include "base/kbzBase_Events.h"
#include "transport/kbzSSL_OpenSSL.h"
#include "transport/kbzSocket_Options.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

namespace kbz
{

enum class TwsSSLHandlerType : std::uint8_t
{
    sslClient,
    sslServer
};

class TkbzSSLHandler
{
public:
    explicit TkbzSSLHandler(TwsSSLHandlerType type) noexcept : FType(type) {}
    TkbzSSLHandler(const TkbzSSLHandler&) = delete;
    TkbzSSLHandler& operator=(const TkbzSSLHandler&) = delete;
    virtual ~TkbzSSLHandler() = default;

    TwsSSLHandlerType GetType() const noexcept { return FType; }
    // Called once before the first connection, on the activating thread: a
    // server loads its certificate here, so that a bad file fails the
    // activation rather than every connection. Raises EIdTLSError.
    virtual void Prepare() {}
    // Server: TLS on an accepted plain channel, handshake included, within
    // timeoutMs. Any connection thread may call it at the same time.
    virtual std::unique_ptr<TkbzIOHandler> Accept(std::unique_ptr<TkbzSocketIOHandler> plain,
                                                  int timeoutMs);
    // Server, for engines that own non-blocking sockets: TLS on an accepted
    // plain channel whose handshake the engine drives with the channel's
    // ContinueHandshake. Null when the handler has no such mode (the engine
    // then calls Accept, which waits).
    virtual std::unique_ptr<TkbzIOHandler>
    AcceptDeferred(std::unique_ptr<TkbzSocketIOHandler>& plain)
    {
        (void)plain;
        return nullptr;
    }
    // Client: TLS over a connected plain channel to host, within timeoutMs.
    virtual std::unique_ptr<TkbzIOHandler> Connect(std::unique_ptr<TkbzSocketIOHandler> plain,
                                                   const std::string& host, int timeoutMs);

private:
    const TwsSSLHandlerType FType;
};

using TkbzSSLHandlerPtr = std::shared_ptr<TkbzSSLHandler>;

// The hooks around the creation of a component's handler: the first may
// supply one (it stays null for the default), the second sees the one in use.
template <class Sender>
using TkbzSSLGetHandlerEvent = TkbzEvent<Sender&, TwsSSLHandlerType, TkbzSSLHandlerPtr&>;
template <class Sender>
using TkbzSSLAfterCreateHandlerEvent = TkbzEvent<Sender&, TwsSSLHandlerType, TkbzSSLHandler&>;

// The handler a component creates itself. Its settings may be changed until
// Prepare (server) or until a connection starts (client).
class TkbzSSLHandlerOpenSSL : public TkbzSSLHandler
{
public:
    using TkbzSSLHandler::TkbzSSLHandler;

    // ---- sslServer
    TkbzTLSServerConfig ServerConfig;
    // Returns the password of the server's key (asked once, by Prepare); when
    // unset ServerConfig.Password is used.
    std::function<std::string()> OnGetPassword;
    // ---- sslClient: the client's TLS record (its IOHandler chooses OpenSSL or
    // SChannel), the name checked against the certificate (empty: the host)
    // and the verification hook.
    TkbzSocketTLS_Options ClientOptions;
    std::string HostToCheck;
    TkbzSSLVerifyPeerEvent OnSSLVerifyPeer;

    void Prepare() override;
    std::unique_ptr<TkbzIOHandler> Accept(std::unique_ptr<TkbzSocketIOHandler> plain,
                                          int timeoutMs) override;
    std::unique_ptr<TkbzIOHandler>
    AcceptDeferred(std::unique_ptr<TkbzSocketIOHandler>& plain) override;
    std::unique_ptr<TkbzIOHandler> Connect(std::unique_ptr<TkbzSocketIOHandler> plain,
                                           const std::string& host, int timeoutMs) override;
    // The server context made by Prepare (none before).
    std::shared_ptr<TkbzSSLContext> Context() const;

private:
    mutable std::mutex FLock;
    std::shared_ptr<TkbzSSLContext> FContext;
};

} // namespace kbz
