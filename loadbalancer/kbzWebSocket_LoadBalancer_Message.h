// The messages between a server's load-balancer link (or a client's binding
// query) and the balancer: the text and binary envelopes that carry
// broadcasts and writes by identifier, and the registration records.
//
// Envelope and record strings are JSON-escaped (ASCII only) on write and
// unescaped on read, so a quote in a channel name cannot break a header.
// Lengths read from a peer are checked against what arrived: a bad envelope
// raises, it never reads out of range.
#pragma once

#include "base/kbzBase_Classes.h"
#include "base/kbzWebSocket_Types.h"
#include "transport/kbzSocket_Options.h"

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kbz
{

// The request path of a server's link at the balancer.
inline constexpr const char* kbzLoadBalancerClientPath = "/kbz@load_balancer_client";
// The binding query's path (after "/").
inline constexpr const char* kbzLoadBalancerBindingQuery = "kbz@lb@client@get@binding";
inline constexpr const char* kbzLoadBalancerMethodConnection = "kbz@lb@client@connection";
inline constexpr const char* kbzLoadBalancerMethodBinding = "kbz@lb@server@binding";
inline constexpr const char* kbzLoadBalancerMethodData = "kbz@lb@server@data";
// Sent as a plain text message once a link has registered everything.
inline constexpr const char* kbzLoadBalancerReady = "kbz@lb@server@ready";
// The longest text envelope header: its length is written in three digits.
inline constexpr std::size_t kbzLoadBalancerMaxHeader = 999;

// A broadcast (empty FGuid) or a write to FGuid, as one text message: the
// header's length in three digits, the header document, then FText.
class TkbzWSLoadBalancerMessage : public TkbzPersistent
{
public:
    KBZ_PERSISTENT_CLASS(TkbzWSLoadBalancerMessage)
    // Copies the fields Write sends.
    void Assign(const TkbzPersistent& src) override;

    void Clear();
    // Raises EConvertError when the first three characters are not digits and
    // TkbzWSException when the header does not fit in what arrived or is no
    // JSON object.
    void Read(std::string_view message);
    // Raises TkbzWSException when the header is longer than 999 characters.
    std::string Write() const;

    std::string FGuid;
    std::string FChannel;
    std::string FProtocol;
    std::string FInclude;
    std::string FExclude;
    std::string FText;
};

// A broadcast or a write as one binary message: the identifier's byte count
// in ten digits, its bytes, then the payload. Only the identifier travels:
// channel, protocol, lists, size and streaming stay behind.
class TkbzWSLoadBalancerBinary : public TkbzPersistent
{
public:
    KBZ_PERSISTENT_CLASS(TkbzWSLoadBalancerBinary)
    void Assign(const TkbzPersistent& src) override;

    void Clear();
    // Fills FGuid and returns the payload, a view into message. Raises
    // EConvertError for a length that is not ten digits and TkbzWSException
    // for one longer than what arrived.
    std::span<const std::uint8_t> Read(std::span<const std::uint8_t> message);
    // The envelope of payload.
    std::vector<std::uint8_t> Write(std::span<const std::uint8_t> payload) const;
    // The envelope of the stream's bytes from its start.
    std::vector<std::uint8_t> Write(TkbzStream& payload) const;

    std::string FGuid;
    std::string FChannel;
    std::string FProtocol;
    std::string FInclude;
    std::string FExclude;
    std::int32_t FSize = 0;
    TwsStreaming FStreaming = TwsStreaming::stmNone;
};

// A client connection that came (FActive) or went, as a server reports it.
class TkbzWSLoadBalancerClientConnection : public TkbzPersistent
{
public:
    KBZ_PERSISTENT_CLASS(TkbzWSLoadBalancerClientConnection)
    void Assign(const TkbzPersistent& src) override;

    void Clear();
    // Members that are missing read as empty or false.
    void Read(std::string_view text);
    std::string Write() const;

    bool FActive = false;
    std::string FChannel;
    std::string FIP;
    std::string FGuid;
    std::string FProtocol;
};

// Where clients can reach a server: sent by the server when it registers, and
// the body of the balancer's answer to the binding query.
class TkbzWSLoadBalancerServerBinding : public TkbzPersistent
{
public:
    KBZ_PERSISTENT_CLASS(TkbzWSLoadBalancerServerBinding)
    void Assign(const TkbzPersistent& src) override;

    void Clear();
    // Missing members read as empty, 0 or false; a port that is no integer
    // raises EConvertError.
    void Read(std::string_view text);
    std::string Write() const;

    std::string FHost;
    std::int32_t FPort = 0;
    bool FSSL = false;
};

// The server's identity at the balancer.
class TkbzWSLoadBalancerServerData : public TkbzPersistent
{
public:
    KBZ_PERSISTENT_CLASS(TkbzWSLoadBalancerServerData)
    void Assign(const TkbzPersistent& src) override;

    void Clear();
    void Read(std::string_view text);
    std::string Write() const;

    std::string FGuid;
};

// What a text message on a link is.
enum class TkbzLoadBalancerTextKind : std::uint8_t
{
    lbkEnvelope,   // starts with three digits
    lbkConnection, // a record whose "method" names it
    lbkBinding,
    lbkData,
    lbkReady,
    lbkUnknown
};
TkbzLoadBalancerTextKind kbzLoadBalancerTextKind(std::string_view text);

} // namespace kbz
