// The server's link to a load balancer: a WebSocket client that sends
// broadcasts and writes by identifier in envelopes and raises what comes back
// as events; and the adapter that connects it to a server (registration,
// connection reports, local delivery of what the balancer hands back).
#pragma once

#include "client/kbzWebSocket_Client.h"
#include "loadbalancer/kbzWebSocket_LoadBalancer_Message.h"
#include "server/kbzWebSocket_Server.h"

#include <memory>
#include <mutex>
#include <string>
#include <unordered_set>

namespace kbz
{

using TOnWriteDataText = TkbzEvent<const std::string& /*guid*/, const std::string& /*text*/>;
using TOnWriteDataBinary = TkbzEvent<const std::string& /*guid*/, TkbzStream& /*data*/>;
using TOnBroadCastText = TkbzEvent<const std::string& /*text*/, const std::string& /*channel*/,
                                   const std::string& /*protocol*/, const std::string& /*exclude*/,
                                   const std::string& /*include*/>;
using TOnBroadCastBinary =
    TkbzEvent<TkbzStream& /*data*/, const std::string& /*channel*/, const std::string& /*protocol*/,
              const std::string& /*exclude*/, const std::string& /*include*/, int /*size*/,
              TwsStreaming /*streaming*/>;

// Connects to the balancer's link path. Each envelope record is filled under
// its own indexed lock (0 text writes, 1 binary writes, 2 binary reads, 3 text
// reads); the events run on the link's read thread, outside those locks.
// Whole messages only: fragments are gathered before an envelope is read. An
// envelope that cannot be read is reported through OnError and the link stays.
class TkbzWSLoadBalancerClient : public TkbzWSClient
{
public:
    TkbzWSLoadBalancerClient();
    ~TkbzWSLoadBalancerClient() override;

    // Created on first use.
    TkbzWSLoadBalancerMessage& MessageWriteText();
    TkbzWSLoadBalancerMessage& MessageReadText();
    TkbzWSLoadBalancerBinary& MessageWriteBinary();
    TkbzWSLoadBalancerBinary& MessageReadBinary();

    TOnWriteDataText OnWriteDataText;
    TOnWriteDataBinary OnWriteDataBinary;
    TOnBroadCastText OnBroadCastText;
    TOnBroadCastBinary OnBroadCastBinary;

    // Plain messages (the registration records).
    using TkbzWSClient::WriteData;
    // Each returns whether the envelope was sent: false without an open
    // connection, or when the write failed (reported with DoError, which ends
    // the connection). A text header over 999 characters raises TkbzWSException.
    bool Broadcast(const std::string& aText, const std::string& aChannel = {},
                   const std::string& aProtocol = {}, const std::string& aExclude = {},
                   const std::string& aInclude = {});
    bool Broadcast(TkbzStream& aStream, const std::string& aChannel = {},
                   const std::string& aProtocol = {}, const std::string& aExclude = {},
                   const std::string& aInclude = {}, int aSize = 0,
                   TwsStreaming aStreaming = TwsStreaming::stmNone);
    bool WriteData(const std::string& aGuid, const std::string& aText);
    bool WriteData(const std::string& aGuid, TkbzStream& aStream, int aSize = 0,
                   TwsStreaming aStreaming = TwsStreaming::stmNone);
    // A plain text message; false as above.
    bool SendText(const std::string& aText);
    // The connection to the balancer is open.
    bool LinkOpen() const;

protected:
    void RaiseMessage(const TkbzWSConnectionPtr& connection, const std::string& text) override;
    void RaiseBinary(const TkbzWSConnectionPtr& connection, TkbzMemoryStream& data) override;

private:
    bool Send(const std::function<void(TkbzWSConnection&)>& write);
    template <class T> T& Ensure(std::unique_ptr<T>& record);

    std::mutex FRecordsLock; // creation of the records
    std::unique_ptr<TkbzWSLoadBalancerMessage> FMessageWriteText;
    std::unique_ptr<TkbzWSLoadBalancerMessage> FMessageReadText;
    std::unique_ptr<TkbzWSLoadBalancerBinary> FMessageWriteBinary;
    std::unique_ptr<TkbzWSLoadBalancerBinary> FMessageReadBinary;
};

// A server's link: created by the published server on first use. Registers
// when connected (server data, bindings, the open connections, the ready
// marker, in that order), reports every connection that comes and goes, and
// carries out locally what the balancer hands back. Events go to the server's
// OnLoadBalancerConnect, OnLoadBalancerDisconnect and OnLoadBalancerError.
class TkbzWSLoadBalancerServerLink final : public IkbzWSServerLoadBalancerLink
{
public:
    explicit TkbzWSLoadBalancerServerLink(TkbzWSHTTPServer& server);
    ~TkbzWSLoadBalancerServerLink() override;

    TkbzWSLoadBalancerClient& Client() noexcept { return *FClient; }

    // Host, port and reconnection from the server's LoadBalancer, then connects
    // on a thread of its own.
    void Activate() override;
    void Deactivate() override;
    bool Broadcast(const std::string& aText, const std::string& aChannel,
                   const std::string& aProtocol, const std::string& aExclude,
                   const std::string& aInclude) override;
    bool Broadcast(TkbzStream& aStream, const std::string& aChannel, const std::string& aProtocol,
                   const std::string& aExclude, const std::string& aInclude, int aSize,
                   TwsStreaming aStreaming) override;
    bool WriteData(const std::string& aGuid, const std::string& aText) override;
    bool WriteData(const std::string& aGuid, TkbzStream& aStream, int aSize,
                   TwsStreaming aStreaming) override;
    void ConnectionChanged(const std::shared_ptr<TkbzWSConnectionServer>& connection,
                           bool active) override;

    // The client connection record of a server connection, as sent.
    static std::string ConnectionRecord(const std::shared_ptr<TkbzWSConnectionServer>& connection,
                                        bool active);
    // The binding records the server announces, in order, as sent.
    std::vector<std::string> AnnouncedBindings() const;

private:
    void Register();
    void SendRecord(const std::string& text);

    TkbzWSHTTPServer& FServer;
    // Reports wait while the registration walks the connections, so that a
    // connection's "gone" never reaches the balancer before its "came".
    std::mutex FReportLock;
    bool FRegistered = false; // under FReportLock
    // The connections the balancer was told are active (their GUIDs), under FReportLock: a
    // connection that the registration found enabled before its connect step ran is told once.
    std::unordered_set<std::string> FReported;
    std::unique_ptr<TkbzWSLoadBalancerClient> FClient;
};

} // namespace kbz
