// The traffic log of WebSocket components: the client's writer and the
// server-wide writer with one writer per accepted connection, all intercepts on
// their connections' channels (raw "Recv "/"Sent "/"Stat " lines) that the frame
// writer and the receive path also tell about decoded messages. What a peer
// sends is written escaped (kbzEscapeLogData), so it never makes a line of its own.
#pragma once

#include "base/kbzWebSocket_Types.h"
#include "transport/kbzTCP_Intercept.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string>

namespace kbz
{

// What a connection tells its traffic log: frame data is being written
// (between BeginFrames and EndFrames, on the writing thread), a message or a
// control frame was written (uncompressed payload), or one was received
// (after decompression). None of them raises.
class IkbzWSConnectionLog
{
public:
    virtual ~IkbzWSConnectionLog() = default;
    virtual void BeginFrames() noexcept {}
    virtual void EndFrames() noexcept {}
    virtual void LogSent(TOpcode /*opcode*/, std::span<const std::uint8_t> /*payload*/) noexcept {}
    virtual void LogReceived(TOpcode /*opcode*/, std::span<const std::uint8_t> /*payload*/) noexcept
    {}
};

using IkbzWSConnectionLogPtr = std::shared_ptr<IkbzWSConnectionLog>;

// Lines through FLock, and the send and receive lines of the writers.
class TkbzIdLogFileBase : public TkbzIdLogFile
{
public:
    using TkbzIdLogFile::TkbzIdLogFile;

    void EnterCS() { FLock.lock(); }
    void LeaveCS() { FLock.unlock(); }
    // Raw data lines: "Sent "/"Recv " + time + ": " + data.
    void LogSendString(std::string_view data) noexcept;
    void LogRecvString(std::string_view data) noexcept;
    // Decoded lines: "Sent "/"Recv " + time + ": " + text.
    virtual void LogSendDecodedString(std::string_view text) noexcept;
    virtual void LogRecvDecodedString(std::string_view text) noexcept;

protected:
    void WriteLine(std::string_view text) noexcept override;
    // "[" + opcode name + "] " + payload.
    static std::string DecodedText(TOpcode opcode, std::span<const std::uint8_t> payload);

private:
    std::mutex FLock;
};

class TkbzIdLogFileClient : public TkbzIdLogFileBase
{
public:
    using TkbzIdLogFileBase::TkbzIdLogFileBase;
};

// The client's writer. With FUnMaskFrames the bytes of frames (masked, maybe
// compressed) are not logged raw; each message and control frame written gets
// one decoded "Sent " line instead. The opening handshake and raw TCP writes
// are logged raw. Received bytes are logged raw only (they are not masked).
class TkbzWSIdLogFileClient : public TkbzIdLogFileClient, public IkbzWSConnectionLog
{
public:
    using TkbzIdLogFileClient::TkbzIdLogFileClient;

    std::atomic<bool> FUnMaskFrames{true};
    // No frame write is in progress.
    bool SentData() const noexcept { return FFrameWrites.load() == 0; }

    void BeginFrames() noexcept override { FFrameWrites.fetch_add(1); }
    void EndFrames() noexcept override { FFrameWrites.fetch_sub(1); }
    void LogSent(TOpcode opcode, std::span<const std::uint8_t> payload) noexcept override;

protected:
    bool LogRawSent() const noexcept override { return !FUnMaskFrames.load() || SentData(); }

private:
    std::atomic<int> FFrameWrites{0};
};

// One accepted connection's writer: every line starts with the peer
// ("address:port", "0.0.0.0:0" without one) and goes to the server-wide file.
// With FUnMaskFrames every message and control frame received gets one
// decoded line, peer + " <<-- " + time + ": [opcode] text", besides the raw ones.
class TkbzWSIdLogFileServerConnection : public TkbzIdLogFileBase, public IkbzWSConnectionLog
{
public:
    using TkbzIdLogFileBase::TkbzIdLogFileBase;

    std::atomic<bool> FUnMaskFrames{true};
    std::string Peer() const;

    void LogRecvDecodedString(std::string_view text) noexcept override;
    void LogReceived(TOpcode opcode, std::span<const std::uint8_t> payload) noexcept override;

protected:
    void WriteLine(std::string_view text) noexcept override;
    void OnConnected(const TkbzSocketBinding& binding) noexcept override;

private:
    mutable std::mutex FPeerLock;
    std::string FPeer = "0.0.0.0:0";
};

// The server-wide writer: one file for every connection, lines serialised by
// the file's lock; Accept makes each connection's writer.
class TkbzIdLogFileServer
{
public:
    explicit TkbzIdLogFileServer(std::shared_ptr<TkbzLogFileSink> sink) : FSink(std::move(sink)) {}
    virtual ~TkbzIdLogFileServer() = default;

    std::atomic<bool> LogTime{true};
    const std::shared_ptr<TkbzLogFileSink>& Sink() const noexcept { return FSink; }

private:
    std::shared_ptr<TkbzLogFileSink> FSink;
};

class TkbzWSIdLogFileServer : public TkbzIdLogFileServer
{
public:
    using TkbzIdLogFileServer::TkbzIdLogFileServer;

    std::atomic<bool> FUnMaskFrames{true};
    // A writer for one accepted connection, active at once, with this writer's
    // LogTime and FUnMaskFrames.
    std::shared_ptr<TkbzWSIdLogFileServerConnection> Accept() const;
};

// The writer of a client or server for the file `fileName` names (kbzDefaultLogFileName() when
// empty): `current` while it still writes that file, otherwise a new writer on a new sink, which
// reports a file it cannot open through onError with its first line. The caller holds the lock
// that guards `current`.
template <class TWriter>
const std::shared_ptr<TWriter>& kbzLogWriterFor(std::shared_ptr<TWriter>& current,
                                                const std::string& fileName, bool unMaskFrames,
                                                std::function<void(const std::string&)> onError)
{
    const std::string name = fileName.empty() ? kbzDefaultLogFileName() : fileName;
    if (!current || current->Sink()->FileName() != name)
    {
        current =
            std::make_shared<TWriter>(std::make_shared<TkbzLogFileSink>(name, std::move(onError)));
    }
    current->FUnMaskFrames.store(unMaskFrames);
    return current;
}

} // namespace kbz
