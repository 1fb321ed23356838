// The connection base classes every WebSocket connection derives from (locks,
// identity, counters, addresses, transport kind), and the raw-TCP framing by
// end-of-frame delimiters that tcp:// sessions use.
#pragma once

#include "base/kbzBase_Classes.h"
#include "base/kbzWebSocket_Classes_SyncObjs.h"
#include "base/kbzWebSocket_Types.h"
#include "transport/kbzSocket_Classes.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <vector>

namespace kbz
{

// Cap of undelimited raw-TCP data when the connection sets none.
inline constexpr std::size_t kbzDefaultTCPMaxMessageSize = 16 * 1024 * 1024;

enum class TkbzTCPFramerResult : std::uint8_t
{
    frOK,
    frMessageTooLarge // pending bytes (or one message) went over the cap; they were dropped
};

// Cuts a raw TCP byte stream into messages at an end-of-frame delimiter. No
// I/O: feed it each read's bytes and collect the completed messages.
//   eofScanNone: every read is one message.
//   eofScanLatestBytes: bytes accumulate until a read ends with the delimiter;
//     then everything accumulated is one message (a delimiter split across
//     two reads is only seen when a later read ends with it).
//   eofScanAllBytes: the accumulated bytes are searched; each delimiter ends a
//     message, so one read may complete several.
// Messages keep their delimiter. An empty delimiter means no scanning (as
// eofScanNone). Accumulated data is capped by MaxMessageSize.
class TkbzTCPDelimiterFramer
{
public:
    explicit TkbzTCPDelimiterFramer(TtcpEOFScanBuffer mode = TtcpEOFScanBuffer::eofScanNone,
                                    std::vector<std::uint8_t> delimiter = {},
                                    std::size_t maxMessageSize = kbzDefaultTCPMaxMessageSize);

    TtcpEOFScanBuffer GetMode() const noexcept { return FMode; }
    void SetMode(TtcpEOFScanBuffer mode) noexcept;
    const std::vector<std::uint8_t>& GetDelimiter() const noexcept { return FDelimiter; }
    void SetDelimiter(std::span<const std::uint8_t> delimiter);
    std::size_t GetMaxMessageSize() const noexcept { return FMaxMessageSize; }
    void SetMaxMessageSize(std::size_t size) noexcept { FMaxMessageSize = size; }

    // Feeds the bytes of one read; appends completed messages to messages, in order.
    TkbzTCPFramerResult Feed(std::span<const std::uint8_t> chunk,
                             std::vector<std::vector<std::uint8_t>>& messages);
    // Bytes received but not yet part of a delivered message.
    std::size_t Pending() const noexcept { return FPending.size() - FStart; }
    void Reset() noexcept;

private:
    TkbzTCPFramerResult FeedLatest(std::span<const std::uint8_t> chunk,
                                   std::vector<std::vector<std::uint8_t>>& messages);
    TkbzTCPFramerResult FeedAll(std::span<const std::uint8_t> chunk,
                                std::vector<std::vector<std::uint8_t>>& messages);
    std::vector<std::uint8_t> TakePending(std::size_t count);

    TtcpEOFScanBuffer FMode;
    std::vector<std::uint8_t> FDelimiter;
    std::size_t FMaxMessageSize;
    std::vector<std::uint8_t> FPending;
    std::size_t FStart = 0;   // delivered bytes at the front of FPending
    std::size_t FScanned = 0; // pending bytes already searched without a hit
};

// Root of every connection: the general lock and six indexed locks, identity,
// traffic counters, addresses and the transport kind. Connections live in
// std::shared_ptr, so whoever still runs code for one keeps it alive.
class TkbzSocketConnection_Base : public std::enable_shared_from_this<TkbzSocketConnection_Base>
{
public:
    TkbzSocketConnection_Base() = default;
    TkbzSocketConnection_Base(const TkbzSocketConnection_Base&) = delete;
    TkbzSocketConnection_Base& operator=(const TkbzSocketConnection_Base&) = delete;
    virtual ~TkbzSocketConnection_Base();

    virtual void DoEnterCS() noexcept { FLockSet.DoEnterCS(); }
    virtual void DoEnterCSIndex(int index) noexcept { FLockSet.DoEnterCSIndex(index); }
    virtual void DoLeaveCS() noexcept { FLockSet.DoLeaveCS(); }
    virtual void DoLeaveCSIndex(int index) noexcept { FLockSet.DoLeaveCSIndex(index); }
    TkbzLockSet& Locks() noexcept { return FLockSet; }

    // Open and not known to be gone.
    virtual bool GetActive() const { return !FDisconnected.load(); }
    // 32 upper-case hexadecimal digits, made on first use and never changed.
    virtual std::string GetGuid() const;
    virtual std::string GetIP() const;
    virtual std::string GetLocalIP() const;
    virtual int GetLocalPort() const;
    virtual int GetPort() const;
    virtual TwsIPVersion GetIPVersion() const;
    // Fills the addresses from a connected channel.
    void AssignBinding(const TkbzSocketBinding& binding);

    bool GetIsInternal() const noexcept { return FIsInternal.load(); }
    void SetIsInternal(bool value) noexcept { FIsInternal.store(value); }
    std::int64_t GetRecBytes() const noexcept { return FRecBytes.load(); }
    std::int64_t GetSendBytes() const noexcept { return FSendBytes.load(); }
    void AddRecBytes(std::int64_t n) noexcept { FRecBytes.fetch_add(n); }
    void AddSendBytes(std::int64_t n) noexcept { FSendBytes.fetch_add(n); }
    TwsTransport GetTransport() const noexcept { return FTransport.load(); }
    void SetTransport(TwsTransport value) noexcept { FTransport.store(value); }
    bool GetDisconnected() const noexcept { return FDisconnected.load(); }
    void SetDisconnected(bool value) noexcept { FDisconnected.store(value); }
    // The last transport error, kept for event handlers (a copy of the same class).
    void SetRawException(const std::exception& e);
    void ClearRawException();
    std::unique_ptr<Exception> GetRawException() const;
    // Free slot for the application; not owned.
    void* GetData() const noexcept { return FData.load(); }
    void SetData(void* data) noexcept { FData.store(data); }
    // Set by the owner when it lets go of the connection.
    bool GetFreed() const noexcept { return FFreed.load(); }
    void MarkFreed() noexcept { FFreed.store(true); }

protected:
    TkbzLockSet FLockSet; // the general lock and the six indexed locks
    std::atomic<bool> FIsInternal{false};
    std::atomic<std::int64_t> FRecBytes{0};
    std::atomic<std::int64_t> FSendBytes{0};
    std::atomic<TwsTransport> FTransport{TwsTransport::trpUndefined};
    std::atomic<bool> FDisconnected{false};
    std::atomic<void*> FData{nullptr};
    std::atomic<bool> FFreed{false};

    mutable std::mutex FFieldLock; // guards the texts and the raw exception below
    mutable std::string FGuid;
    std::string FIP;
    std::string FLocalIP;
    int FPort = 0;
    int FLocalPort = 0;
    TwsIPVersion FIPVersion = TwsIPVersion::ipV4;
    std::unique_ptr<Exception> FRawException;
};

class TkbzSocketConnection : public TkbzSocketConnection_Base
{};

// Adds the last received messages, the disconnect request and the raw-TCP
// framing settings.
class TkbzTCPConnection_Base : public TkbzSocketConnection
{
public:
    std::string GetMsgReceived() const;
    void SetMsgReceived(std::string text);
    // The last binary message, created on first use; only the reading thread uses it.
    TkbzMemoryStream& MsgBinaryReceived();
    std::string GetMsgException() const;
    void SetMsgException(std::string text);
    bool GetMustDisconnect() const noexcept { return FMustDisconnect.load(); }
    void SetMustDisconnect(bool value) noexcept { FMustDisconnect.store(value); }

    TtcpEOFScanBuffer GetTCPEndOfFrameScanBuffer() const;
    void SetTCPEndOfFrameScanBuffer(TtcpEOFScanBuffer mode);
    std::vector<std::uint8_t> GetTCPEndOfFrame() const;
    void AddTCPEndOfFrame(std::uint8_t b);
    void ClearTCPEndOfFrame();
    // Cap of undelimited raw-TCP data (the connection's largest message).
    std::size_t GetTCPMaxMessageSize() const;
    void SetTCPMaxMessageSize(std::size_t size);

    // Raw-TCP framing of one read with the current settings (reading thread only).
    TkbzTCPFramerResult FrameTCPData(std::span<const std::uint8_t> chunk,
                                     std::vector<std::vector<std::uint8_t>>& messages);

protected:
    std::string FMsgReceived;
    std::unique_ptr<TkbzMemoryStream> FMsgBinaryReceived;
    std::string FMsgException;
    std::atomic<bool> FMustDisconnect{false};
    TtcpEOFScanBuffer FTCPEndOfFrameScanBuffer = TtcpEOFScanBuffer::eofScanNone;
    std::vector<std::uint8_t> FTCPEndOfFrame;
    std::size_t FTCPMaxMessageSize = kbzDefaultTCPMaxMessageSize;
    TkbzTCPDelimiterFramer FTCPFramer;
};

class TkbzTCPConnection : public TkbzTCPConnection_Base
{};

} // namespace kbz
