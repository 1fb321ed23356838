#include "transport/kbzTCP_Intercept.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <unistd.h>
#include <vector>

namespace kbz
{

// ---- Throttle ----

TkbzThrottleMeter::Clock::time_point TkbzThrottleMeter::Book(std::size_t n,
                                                             Clock::time_point now) noexcept
{
    if (!Limited())
    {
        return now;
    }
    // An idle meter starts again from now: a pause earns no burst.
    if (FNext < now)
    {
        FNext = now;
    }
    const long double seconds =
        static_cast<long double>(n) * 8.0L / static_cast<long double>(FBitsPerSec);
    FNext +=
        std::chrono::duration_cast<Clock::duration>(std::chrono::duration<long double>(seconds));
    return FNext;
}

TkbzThrottleMeter::Clock::time_point TkbzThrottleMeter::Next(Clock::time_point now) const noexcept
{
    return std::max(FNext, now);
}

std::size_t TkbzThrottleMeter::Piece() const noexcept
{
    if (!Limited())
    {
        return 64 * 1024;
    }
    const std::int64_t bytes = FBitsPerSec / 8 / 20;
    return static_cast<std::size_t>(std::clamp<std::int64_t>(bytes, 1, 64 * 1024));
}

// ---- The intercept channel ----

TkbzInterceptIOHandler::TkbzInterceptIOHandler(std::unique_ptr<TkbzIOHandler> inner,
                                               TkbzConnectionInterceptPtr log,
                                               std::int64_t bitsPerSec)
    : FInner(std::move(inner)), FLog(std::move(log)), FSendMeter(bitsPerSec), FRecvMeter(bitsPerSec)
{
    if (!FInner)
    {
        throw EIdNotConnected("An intercept needs a channel");
    }
    if (FLog)
    {
        FLog->Connected(FInner->Binding());
    }
}

TkbzInterceptIOHandler::~TkbzInterceptIOHandler()
{
    NotifyDisconnected();
}

void TkbzInterceptIOHandler::NotifyDisconnected() noexcept
{
    if (FLog && !FDisconnectNotified.exchange(true))
    {
        FLog->Disconnected();
    }
}

TkbzInterceptIOHandler::TWait TkbzInterceptIOHandler::WaitUntil(Clock::time_point until,
                                                                bool wakeable)
{
    std::unique_lock lock(FLock);
    for (;;)
    {
        if (FStopped.load())
        {
            return TWait::wStopped;
        }
        if (wakeable && FWakePending)
        {
            FWakePending = false;
            return TWait::wWoken;
        }
        if (Clock::now() >= until)
        {
            return TWait::wReached;
        }
        FChanged.wait_until(lock, until);
    }
}

bool TkbzInterceptIOHandler::Readable(int ms)
{
    if (FRecvMeter.Limited())
    {
        const Clock::time_point start = Clock::now();
        Clock::time_point next;
        {
            std::lock_guard guard(FLock);
            next = FRecvMeter.Next(start);
        }
        if (next > start)
        {
            const Clock::time_point limit =
                ms < 0 ? next : std::min(next, start + std::chrono::milliseconds(ms));
            const TWait w = WaitUntil(limit, true);
            if (w == TWait::wStopped)
            {
                return true; // Recv reports the end
            }
            if (w == TWait::wWoken || Clock::now() < next)
            {
                return false;
            }
            if (ms >= 0)
            {
                const auto spent =
                    std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start)
                        .count();
                ms = std::max(0, ms - static_cast<int>(spent));
            }
        }
    }
    return FInner->Readable(ms);
}

std::size_t TkbzInterceptIOHandler::Recv(std::uint8_t* buffer, std::size_t n)
{
    if (FRecvMeter.Limited())
    {
        n = std::min(n, FRecvMeter.Piece());
    }
    const std::size_t got = FInner->Recv(buffer, n);
    if (got == 0)
    {
        NotifyDisconnected();
        return 0;
    }
    if (FRecvMeter.Limited())
    {
        // The bytes are handed on once the rate has earned them.
        Clock::time_point until;
        {
            std::lock_guard guard(FLock);
            until = FRecvMeter.Book(got, Clock::now());
        }
        WaitUntil(until, false);
    }
    if (FLog)
    {
        FLog->Received({buffer, got});
    }
    return got;
}

void TkbzInterceptIOHandler::SendPiece(const std::uint8_t* data, std::size_t n)
{
    if (FSendMeter.Limited())
    {
        Clock::time_point until;
        {
            std::lock_guard guard(FLock);
            until = FSendMeter.Book(n, Clock::now());
        }
        if (WaitUntil(until, false) == TWait::wStopped)
        {
            throw EIdClosedSocket("Connection closed.");
        }
    }
    FInner->Send(data, n);
    if (FLog)
    {
        FLog->Sent({data, n});
    }
}

void TkbzInterceptIOHandler::Send(const std::uint8_t* data, std::size_t n)
{
    std::lock_guard whole(FSendLock);
    const std::size_t piece = FSendMeter.Limited() ? FSendMeter.Piece() : n;
    std::size_t pos = 0;
    do
    {
        const std::size_t k = std::min(piece, n - pos);
        SendPiece(data + pos, k);
        pos += k;
    } while (pos < n);
}

void TkbzInterceptIOHandler::Send2(std::span<const std::uint8_t> a, std::span<const std::uint8_t> b)
{
    if (!FSendMeter.Limited())
    {
        std::lock_guard whole(FSendLock);
        FInner->Send2(a, b);
        if (FLog)
        {
            // One block crossed: one line.
            std::vector<std::uint8_t> block(a.begin(), a.end());
            block.insert(block.end(), b.begin(), b.end());
            FLog->Sent(block);
        }
        return;
    }
    std::lock_guard whole(FSendLock);
    const std::size_t piece = FSendMeter.Piece();
    for (const std::span<const std::uint8_t> part : {a, b})
    {
        for (std::size_t pos = 0; pos < part.size(); pos += piece)
        {
            SendPiece(part.data() + pos, std::min(piece, part.size() - pos));
        }
    }
}

void TkbzInterceptIOHandler::Shutdown() noexcept
{
    {
        std::lock_guard guard(FLock);
        FStopped.store(true);
    }
    FChanged.notify_all();
    FInner->Shutdown();
    NotifyDisconnected();
}

void TkbzInterceptIOHandler::Close() noexcept
{
    {
        std::lock_guard guard(FLock);
        FStopped.store(true);
    }
    FChanged.notify_all();
    FInner->Close();
    NotifyDisconnected();
}

void TkbzInterceptIOHandler::ShutdownWrite() noexcept
{
    FInner->ShutdownWrite();
}

void TkbzInterceptIOHandler::Wake() noexcept
{
    {
        std::lock_guard guard(FLock);
        FWakePending = true;
    }
    FChanged.notify_all();
    FInner->Wake();
}

bool TkbzInterceptIOHandler::Connected() const noexcept
{
    return FInner->Connected();
}

TkbzSocketBinding TkbzInterceptIOHandler::Binding() const
{
    return FInner->Binding();
}

bool TkbzInterceptIOHandler::IsTLS() const noexcept
{
    return FInner->IsTLS();
}

std::string TkbzInterceptIOHandler::NegotiatedALPN() const
{
    return FInner->NegotiatedALPN();
}

void TkbzInterceptIOHandler::SetSendTimeout(int ms)
{
    FInner->SetSendTimeout(ms);
}

void TkbzInterceptIOHandler::SetKeepAlive(bool enabled, int timeMs, int intervalMs)
{
    FInner->SetKeepAlive(enabled, timeMs, intervalMs);
}

void TkbzInterceptIOHandler::SetNoDelay(bool noDelay)
{
    FInner->SetNoDelay(noDelay);
}

// ---- Log texts ----

std::string kbzEscapeLogData(std::string_view data)
{
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(data.size());
    for (const char ch : data)
    {
        const auto b = static_cast<unsigned char>(ch);
        switch (b)
        {
        case '\r':
            out += "\\r";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\t':
            out += "\\t";
            break;
        case '\\':
            out += "\\\\";
            break;
        default:
            if (b < 0x20 || b == 0x7F)
            {
                out += "\\x";
                out += kHex[b >> 4];
                out += kHex[b & 0x0F];
            }
            else
            {
                out += ch;
            }
        }
    }
    return out;
}

std::string kbzLogTimeStamp()
{
    const auto now = std::chrono::system_clock::now();
    const std::time_t t = std::chrono::system_clock::to_time_t(now);
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() %
        1000;
    std::tm local{};
    localtime_r(&t, &local);
    char text[96];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d.%03d", local.tm_year + 1900,
                  local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec,
                  static_cast<int>(ms));
    return text;
}

std::string kbzDefaultLogFileName()
{
    char path[4096];
    const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
    std::string program = n > 0 ? std::string(path, static_cast<std::size_t>(n)) : "kbzWebSockets";
    const std::size_t slash = program.rfind('/');
    const std::size_t dot = program.rfind('.');
    if (dot != std::string::npos && (slash == std::string::npos || dot > slash + 1))
    {
        program.erase(dot);
    }
    return program + ".log";
}

// ---- Log file ----

TkbzLogFileSink::TkbzLogFileSink(std::string fileName,
                                 std::function<void(const std::string&)> onError)
    : FFileName(fileName.empty() ? kbzDefaultLogFileName() : std::move(fileName)),
      FOnError(std::move(onError))
{}

TkbzLogFileSink::~TkbzLogFileSink()
{
    if (FFile)
    {
        std::fclose(FFile);
    }
}

void TkbzLogFileSink::WriteLine(std::string_view text) noexcept
{
    std::string failure;
    {
        std::lock_guard guard(FLock);
        if (FFailed)
        {
            return;
        }
        if (!FFile)
        {
            FFile = std::fopen(FFileName.c_str(), "ab");
            if (!FFile)
            {
                FFailed = true;
                failure = "Cannot open the log file " + FFileName + ": " + std::strerror(errno);
            }
        }
        if (FFile)
        {
            std::fwrite(text.data(), 1, text.size(), FFile);
            std::fwrite("\r\n", 1, 2, FFile);
            std::fflush(FFile);
        }
    }
    if (!failure.empty() && FOnError)
    {
        try
        {
            FOnError(failure);
        }
        catch (...)
        {}
    }
}

// ---- File log intercept ----

std::string TkbzIdLogFile::DataText(std::string_view data) const
{
    return (LogTime.load() ? kbzLogTimeStamp() : std::string()) + ": " + kbzEscapeLogData(data);
}

void TkbzIdLogFile::WriteLine(std::string_view text) noexcept
{
    if (Active.load() && FSink)
    {
        FSink->WriteLine(text);
    }
}

void TkbzIdLogFile::Connected(const TkbzSocketBinding& binding) noexcept
{
    OnConnected(binding);
    WriteLine("Stat Connected.");
}

void TkbzIdLogFile::Disconnected() noexcept
{
    WriteLine("Stat Disconnected.");
}

void TkbzIdLogFile::Received(std::span<const std::uint8_t> bytes) noexcept
{
    try
    {
        WriteLine("Recv " + DataText({reinterpret_cast<const char*>(bytes.data()), bytes.size()}));
    }
    catch (...)
    {}
}

void TkbzIdLogFile::Sent(std::span<const std::uint8_t> bytes) noexcept
{
    if (!LogRawSent())
    {
        return;
    }
    try
    {
        WriteLine("Sent " + DataText({reinterpret_cast<const char*>(bytes.data()), bytes.size()}));
    }
    catch (...)
    {}
}

} // namespace kbz
