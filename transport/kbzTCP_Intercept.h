// Intercepts on a connection's channel: what sees every byte block that the
// connection sends and receives (the traffic log), and what holds its bytes
// to a bandwidth (the throttle). Both sit in one channel that wraps the
// connection's own (plain or TLS, so the log sees plaintext), installed with
// TkbzIdTCPConnection::WrapIOHandler once the connection is up.
//
// For an engine of its own: either the engine reads and writes through the
// connection's installed channel (then everything here works as it is, as long
// as the engine lets a reader block in Recv/Readable while the throttle waits),
// or it does its own socket I/O and then calls the intercept itself (Connected,
// Received for every block read, Sent for every block written, Disconnected
// once) and asks a TkbzThrottleMeter per direction when the next bytes may go,
// arming its own timer instead of blocking.
#pragma once

#include "transport/kbzSocket_Classes.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>

namespace kbz
{

// Sees the bytes of one connection as they cross its channel. Received and
// Sent may come from different threads at once; none of them raises.
class TkbzConnectionIntercept
{
public:
    virtual ~TkbzConnectionIntercept() = default;
    // The channel is up (once, before any bytes).
    virtual void Connected(const TkbzSocketBinding& /*binding*/) noexcept {}
    // The channel ended (once).
    virtual void Disconnected() noexcept {}
    virtual void Received(std::span<const std::uint8_t> /*bytes*/) noexcept {}
    virtual void Sent(std::span<const std::uint8_t> /*bytes*/) noexcept {}
};

using TkbzConnectionInterceptPtr = std::shared_ptr<TkbzConnectionIntercept>;

// The bandwidth of one direction. Pure: fed a clock, it tells when bytes may
// pass. A byte passes no earlier than its share of the rate has been earned
// since the meter started (or since it last stood idle), so n bytes never take
// less than n * 8 / BitsPerSec seconds.
class TkbzThrottleMeter
{
public:
    using Clock = std::chrono::steady_clock;
    // bitsPerSec <= 0: no limit.
    explicit TkbzThrottleMeter(std::int64_t bitsPerSec = 0) noexcept : FBitsPerSec(bitsPerSec) {}
    bool Limited() const noexcept { return FBitsPerSec > 0; }
    std::int64_t BitsPerSec() const noexcept { return FBitsPerSec; }
    // Books n bytes and returns when the last of them may pass.
    Clock::time_point Book(std::size_t n, Clock::time_point now) noexcept;
    // When the next byte may pass at the earliest (now when nothing is booked ahead).
    Clock::time_point Next(Clock::time_point now) const noexcept;
    // The size of one piece: about 50 ms of the rate (1 byte to 64 KiB).
    std::size_t Piece() const noexcept;

private:
    std::int64_t FBitsPerSec;
    Clock::time_point FNext{};
};

// The channel with the intercept chain: the connection's channel wrapped, its
// bytes shown to the log intercept and held to the throttle's rate in both
// directions. A throttle wait ends at once on Shutdown or Close (which also
// wakes a blocked reader); a reader's Readable wait also on Wake.
class TkbzInterceptIOHandler : public TkbzIOHandler
{
public:
    // log may be empty; bitsPerSec <= 0 means no limit.
    TkbzInterceptIOHandler(std::unique_ptr<TkbzIOHandler> inner, TkbzConnectionInterceptPtr log,
                           std::int64_t bitsPerSec);
    ~TkbzInterceptIOHandler() override;

    bool Readable(int ms) override;
    std::size_t Recv(std::uint8_t* buffer, std::size_t n) override;
    void Send(const std::uint8_t* data, std::size_t n) override;
    void Send2(std::span<const std::uint8_t> a, std::span<const std::uint8_t> b) override;
    void Shutdown() noexcept override;
    void Close() noexcept override;
    void ShutdownWrite() noexcept override;
    void Wake() noexcept override;
    bool Backlogged() const noexcept override { return FInner->Backlogged(); }
    bool Connected() const noexcept override;
    TkbzSocketBinding Binding() const override;
    bool IsTLS() const noexcept override;
    std::string NegotiatedALPN() const override;
    void SetSendTimeout(int ms) override;
    void SetKeepAlive(bool enabled, int timeMs, int intervalMs) override;
    void SetNoDelay(bool noDelay) override;

    TkbzIOHandler& Inner() const noexcept { return *FInner; }
    const TkbzConnectionInterceptPtr& Intercept() const noexcept { return FLog; }

private:
    using Clock = TkbzThrottleMeter::Clock;
    enum class TWait : std::uint8_t
    {
        wReached,
        wWoken,
        wStopped
    };
    // Waits until `until` (or the end of the channel; on a Wake too when wakeable).
    TWait WaitUntil(Clock::time_point until, bool wakeable);
    void SendPiece(const std::uint8_t* data, std::size_t n);
    void NotifyDisconnected() noexcept;

    std::unique_ptr<TkbzIOHandler> FInner;
    TkbzConnectionInterceptPtr FLog;
    std::mutex FSendLock; // keeps each Send whole when it leaves in pieces
    std::mutex FLock;     // the meters and the flags below
    std::condition_variable FChanged;
    TkbzThrottleMeter FSendMeter;
    TkbzThrottleMeter FRecvMeter;
    bool FWakePending = false;
    std::atomic<bool> FStopped{false};
    std::atomic<bool> FDisconnectNotified{false};
};

// Quoting of logged data: CR, LF, TAB and the backslash as \r, \n, \t and \\,
// every other control byte (below 0x20, and 0x7F) as \xHH; other bytes as they
// are. A peer can thus never start a line of its own in a log.
std::string kbzEscapeLogData(std::string_view data);

// The local date and time for log lines: "yyyy-mm-dd hh:nn:ss.zzz".
std::string kbzLogTimeStamp();

// The program's own path with the extension ".log" (replacing one it has).
std::string kbzDefaultLogFileName();

// A log file shared by the writers of one component: opened for appending on
// the first line, each line written whole under its lock. A file that cannot
// be opened is reported once through onError (outside the lock) and nothing is
// written afterwards; the connections go on without a log.
class TkbzLogFileSink
{
public:
    // An empty name means kbzDefaultLogFileName().
    TkbzLogFileSink(std::string fileName, std::function<void(const std::string&)> onError);
    ~TkbzLogFileSink();
    TkbzLogFileSink(const TkbzLogFileSink&) = delete;
    TkbzLogFileSink& operator=(const TkbzLogFileSink&) = delete;

    const std::string& FileName() const noexcept { return FFileName; }
    // Appends text and "\r\n".
    void WriteLine(std::string_view text) noexcept;

private:
    std::string FFileName;
    std::function<void(const std::string&)> FOnError;
    std::mutex FLock;
    std::FILE* FFile = nullptr;
    bool FFailed = false;
};

// The transport's file log intercept: raw lines for every block and status
// change, "Recv " / "Sent " + time + ": " + data, and "Stat " + text; the
// subclasses decide the prefix of every line and may hold raw sent lines back.
class TkbzIdLogFile : public TkbzConnectionIntercept
{
public:
    explicit TkbzIdLogFile(std::shared_ptr<TkbzLogFileSink> sink) : FSink(std::move(sink)) {}

    std::atomic<bool> Active{true};
    // Data lines carry the current date and time.
    std::atomic<bool> LogTime{true};

    void Connected(const TkbzSocketBinding& binding) noexcept override;
    void Disconnected() noexcept override;
    void Received(std::span<const std::uint8_t> bytes) noexcept override;
    void Sent(std::span<const std::uint8_t> bytes) noexcept override;

    const std::shared_ptr<TkbzLogFileSink>& Sink() const noexcept { return FSink; }

protected:
    // The text of a data line: time + ": " + the escaped data.
    std::string DataText(std::string_view data) const;
    // Writes one line (prefix + text) unless inactive.
    virtual void WriteLine(std::string_view text) noexcept;
    // Raw sent bytes are logged unless this says no (frame data of a client that
    // logs frames decoded).
    virtual bool LogRawSent() const noexcept { return true; }
    virtual void OnConnected(const TkbzSocketBinding& /*binding*/) noexcept {}

private:
    std::shared_ptr<TkbzLogFileSink> FSink;
};

} // namespace kbz
