#include "transport/kbzTCP_Classes.h"

#include "base/kbzBase_Helpers.h"

#include <algorithm>
#include <cstring>
#include <functional>

namespace kbz
{

// ---- TkbzTCPDelimiterFramer ----

TkbzTCPDelimiterFramer::TkbzTCPDelimiterFramer(TtcpEOFScanBuffer mode,
                                               std::vector<std::uint8_t> delimiter,
                                               std::size_t maxMessageSize)
    : FMode(mode), FDelimiter(std::move(delimiter)), FMaxMessageSize(maxMessageSize)
{}

void TkbzTCPDelimiterFramer::SetMode(TtcpEOFScanBuffer mode) noexcept
{
    FMode = mode;
    FScanned = 0;
}

void TkbzTCPDelimiterFramer::SetDelimiter(std::span<const std::uint8_t> delimiter)
{
    FDelimiter.assign(delimiter.begin(), delimiter.end());
    FScanned = 0;
}

void TkbzTCPDelimiterFramer::Reset() noexcept
{
    FPending.clear();
    FStart = 0;
    FScanned = 0;
}

std::vector<std::uint8_t> TkbzTCPDelimiterFramer::TakePending(std::size_t count)
{
    const auto first = FPending.begin() + static_cast<std::ptrdiff_t>(FStart);
    std::vector<std::uint8_t> message(first, first + static_cast<std::ptrdiff_t>(count));
    FStart += count;
    FScanned = 0;
    if (FStart == FPending.size())
    {
        FPending.clear();
        FStart = 0;
    }
    return message;
}

TkbzTCPFramerResult TkbzTCPDelimiterFramer::Feed(std::span<const std::uint8_t> chunk,
                                                 std::vector<std::vector<std::uint8_t>>& messages)
{
    if (chunk.empty())
    {
        return TkbzTCPFramerResult::frOK;
    }
    // Without a delimiter there is nothing to wait for: accumulating would only
    // grow without end.
    if (FMode == TtcpEOFScanBuffer::eofScanNone || FDelimiter.empty())
    {
        if (Pending() == 0)
        {
            messages.emplace_back(chunk.begin(), chunk.end());
        }
        else
        {
            // Bytes kept from an earlier scanning mode go out with this read.
            FPending.insert(FPending.end(), chunk.begin(), chunk.end());
            messages.push_back(TakePending(Pending()));
        }
        return TkbzTCPFramerResult::frOK;
    }
    if (FMode == TtcpEOFScanBuffer::eofScanLatestBytes)
    {
        return FeedLatest(chunk, messages);
    }
    return FeedAll(chunk, messages);
}

TkbzTCPFramerResult
TkbzTCPDelimiterFramer::FeedLatest(std::span<const std::uint8_t> chunk,
                                   std::vector<std::vector<std::uint8_t>>& messages)
{
    const std::size_t l = FDelimiter.size();
    FPending.insert(FPending.end(), chunk.begin(), chunk.end());
    const std::size_t pending = Pending();
    if (pending > FMaxMessageSize)
    {
        Reset();
        return TkbzTCPFramerResult::frMessageTooLarge;
    }
    // Only this read's own last bytes count.
    if (chunk.size() >= l &&
        std::equal(chunk.end() - static_cast<std::ptrdiff_t>(l), chunk.end(), FDelimiter.begin()))
    {
        messages.push_back(TakePending(pending));
    }
    return TkbzTCPFramerResult::frOK;
}

TkbzTCPFramerResult
TkbzTCPDelimiterFramer::FeedAll(std::span<const std::uint8_t> chunk,
                                std::vector<std::vector<std::uint8_t>>& messages)
{
    const std::size_t l = FDelimiter.size();
    FPending.insert(FPending.end(), chunk.begin(), chunk.end());
    const std::boyer_moore_horspool_searcher searcher(FDelimiter.begin(), FDelimiter.end());
    for (;;)
    {
        const auto begin = FPending.begin() + static_cast<std::ptrdiff_t>(FStart);
        // Earlier bytes were searched already; a delimiter may still straddle
        // their end, so the last l - 1 of them are searched again.
        const auto from = begin + static_cast<std::ptrdiff_t>(FScanned);
        const auto hit = std::search(from, FPending.end(), searcher);
        if (hit == FPending.end())
        {
            const std::size_t pending = Pending();
            if (pending > FMaxMessageSize)
            {
                Reset();
                return TkbzTCPFramerResult::frMessageTooLarge;
            }
            FScanned = pending >= l ? pending - (l - 1) : 0;
            break;
        }
        const auto length = static_cast<std::size_t>(hit - begin) + l;
        if (length > FMaxMessageSize)
        {
            Reset();
            return TkbzTCPFramerResult::frMessageTooLarge;
        }
        messages.push_back(TakePending(length));
    }
    // Moving the tail forward is cheap once most of the buffer was delivered.
    if (FStart > 0 && FStart * 2 >= FPending.size())
    {
        FPending.erase(FPending.begin(), FPending.begin() + static_cast<std::ptrdiff_t>(FStart));
        FStart = 0;
    }
    return TkbzTCPFramerResult::frOK;
}

// ---- TkbzSocketConnection_Base ----

TkbzSocketConnection_Base::~TkbzSocketConnection_Base()
{
    FFreed.store(true);
}

std::string TkbzSocketConnection_Base::GetGuid() const
{
    std::lock_guard guard(FFieldLock);
    if (FGuid.empty())
    {
        FGuid = kbzNewGuid();
    }
    return FGuid;
}

std::string TkbzSocketConnection_Base::GetIP() const
{
    std::lock_guard guard(FFieldLock);
    return FIP;
}

std::string TkbzSocketConnection_Base::GetLocalIP() const
{
    std::lock_guard guard(FFieldLock);
    return FLocalIP;
}

int TkbzSocketConnection_Base::GetLocalPort() const
{
    std::lock_guard guard(FFieldLock);
    return FLocalPort;
}

int TkbzSocketConnection_Base::GetPort() const
{
    std::lock_guard guard(FFieldLock);
    return FPort;
}

TwsIPVersion TkbzSocketConnection_Base::GetIPVersion() const
{
    std::lock_guard guard(FFieldLock);
    return FIPVersion;
}

void TkbzSocketConnection_Base::AssignBinding(const TkbzSocketBinding& binding)
{
    std::lock_guard guard(FFieldLock);
    FIP = binding.IP;
    FPort = binding.Port;
    FLocalIP = binding.LocalIP;
    FLocalPort = binding.LocalPort;
    FIPVersion = binding.IPVersion;
}

void TkbzSocketConnection_Base::SetRawException(const std::exception& e)
{
    std::unique_ptr<Exception> copy;
    if (const auto* own = dynamic_cast<const Exception*>(&e))
    {
        copy = own->Clone();
    }
    else
    {
        copy = std::make_unique<Exception>(e.what());
    }
    std::lock_guard guard(FFieldLock);
    FRawException = std::move(copy);
}

void TkbzSocketConnection_Base::ClearRawException()
{
    std::lock_guard guard(FFieldLock);
    FRawException.reset();
}

std::unique_ptr<Exception> TkbzSocketConnection_Base::GetRawException() const
{
    std::lock_guard guard(FFieldLock);
    return FRawException ? FRawException->Clone() : nullptr;
}

// ---- TkbzTCPConnection_Base ----

std::string TkbzTCPConnection_Base::GetMsgReceived() const
{
    std::lock_guard guard(FFieldLock);
    return FMsgReceived;
}

void TkbzTCPConnection_Base::SetMsgReceived(std::string text)
{
    std::lock_guard guard(FFieldLock);
    FMsgReceived = std::move(text);
}

TkbzMemoryStream& TkbzTCPConnection_Base::MsgBinaryReceived()
{
    if (!FMsgBinaryReceived)
    {
        FMsgBinaryReceived = std::make_unique<TkbzMemoryStream>();
    }
    return *FMsgBinaryReceived;
}

std::string TkbzTCPConnection_Base::GetMsgException() const
{
    std::lock_guard guard(FFieldLock);
    return FMsgException;
}

void TkbzTCPConnection_Base::SetMsgException(std::string text)
{
    std::lock_guard guard(FFieldLock);
    FMsgException = std::move(text);
}

TtcpEOFScanBuffer TkbzTCPConnection_Base::GetTCPEndOfFrameScanBuffer() const
{
    std::lock_guard guard(FFieldLock);
    return FTCPEndOfFrameScanBuffer;
}

void TkbzTCPConnection_Base::SetTCPEndOfFrameScanBuffer(TtcpEOFScanBuffer mode)
{
    std::lock_guard guard(FFieldLock);
    FTCPEndOfFrameScanBuffer = mode;
}

std::vector<std::uint8_t> TkbzTCPConnection_Base::GetTCPEndOfFrame() const
{
    std::lock_guard guard(FFieldLock);
    return FTCPEndOfFrame;
}

void TkbzTCPConnection_Base::AddTCPEndOfFrame(std::uint8_t b)
{
    std::lock_guard guard(FFieldLock);
    FTCPEndOfFrame.push_back(b);
}

void TkbzTCPConnection_Base::ClearTCPEndOfFrame()
{
    std::lock_guard guard(FFieldLock);
    FTCPEndOfFrame.clear();
}

std::size_t TkbzTCPConnection_Base::GetTCPMaxMessageSize() const
{
    std::lock_guard guard(FFieldLock);
    return FTCPMaxMessageSize;
}

void TkbzTCPConnection_Base::SetTCPMaxMessageSize(std::size_t size)
{
    std::lock_guard guard(FFieldLock);
    FTCPMaxMessageSize = size;
}

TkbzTCPFramerResult
TkbzTCPConnection_Base::FrameTCPData(std::span<const std::uint8_t> chunk,
                                     std::vector<std::vector<std::uint8_t>>& messages)
{
    {
        // The settings may change between reads (from a handler): the framer follows them.
        std::lock_guard guard(FFieldLock);
        if (FTCPFramer.GetMode() != FTCPEndOfFrameScanBuffer)
        {
            FTCPFramer.SetMode(FTCPEndOfFrameScanBuffer);
        }
        if (FTCPFramer.GetDelimiter() != FTCPEndOfFrame)
        {
            FTCPFramer.SetDelimiter(FTCPEndOfFrame);
        }
        FTCPFramer.SetMaxMessageSize(FTCPMaxMessageSize);
    }
    return FTCPFramer.Feed(chunk, messages);
}

} // namespace kbz
