// The connection object: state, the write path, pings, closing and the send queues.
#include "websocket/kbzWebSocket_Classes.h"

#include "base/kbzBase_Helpers.h"

#include <algorithm>
#include <chrono>
#include <exception>

namespace kbz
{

namespace
{
// Outstanding pings kept per connection; older ones are forgotten, so a peer
// that never answers cannot grow the list.
constexpr std::size_t kMaxPendingPings = 64;

// The message lock: held for a whole data message (compression and all its frames).
constexpr int kMessageLock = 2;

// After a close frame sent for the peer's error: how long what the peer still
// sends is read and dropped, in all and without anything arriving.
constexpr int kLingerTotalMs = 2000;
constexpr int kLingerIdleMs = 100;

std::int64_t Now()
{
    return static_cast<std::int64_t>(kbzGetTicks());
}

[[noreturn]] void RaiseWriteError(const std::exception& e)
{
    throw TkbzWSException("Error writing message " + std::string(e.what()) + ".");
}

bool IsSendableCloseCode(int code)
{
    return (code >= 1000 && code <= 1003) || (code >= 1007 && code <= 1014) ||
           (code >= 3000 && code <= 4999);
}
} // namespace

TkbzWSConnection::TkbzWSConnection()
{
    SetTransport(TwsTransport::trpUndefined);
    FExtensions.SetInflateBudget(&FInflateShare);
}

void TkbzWSConnection::SetBufferBudget(std::shared_ptr<detail::ByteBudget> budget)
{
    FDecoder.SetBudget(budget);
    FInflateShare.SetBudget(std::move(budget));
}

TkbzWSConnection::~TkbzWSConnection() = default;

void TkbzWSConnection::SetTCPConnection(std::shared_ptr<TkbzIdTCPConnection> tcp)
{
    FTCPConnection = std::move(tcp);
    if (FTCPConnection)
    {
        try
        {
            AssignBinding(FTCPConnection->Binding());
        }
        catch (...)
        {
            // The addresses stay unset; the connection works without them.
        }
    }
}

void TkbzWSConnection::SetDisconnected(bool value)
{
    const bool was = GetDisconnected();
    TkbzTCPConnection::SetDisconnected(value);
    if (value && !was)
    {
        ClearQueues();
    }
}

std::string TkbzWSConnection::CloseReason() const
{
    std::lock_guard guard(FStateLock);
    return FCloseReason;
}

std::string TkbzWSConnection::MsgError() const
{
    std::lock_guard guard(FStateLock);
    return FMsgError;
}

void TkbzWSConnection::SetMsgError(std::string text)
{
    std::lock_guard guard(FStateLock);
    FMsgError = std::move(text);
}

std::string TkbzWSConnection::Pong() const
{
    std::lock_guard guard(FStateLock);
    return FPong;
}

std::size_t TkbzWSConnection::PendingPings() const
{
    std::lock_guard guard(FPingLock);
    return FQueuePingList.size();
}

std::int64_t TkbzWSConnection::OldestPendingPing() const
{
    std::lock_guard guard(FPingLock);
    return FQueuePingList.empty() ? 0 : FQueuePingList.front()->FDate;
}

bool TkbzWSConnection::Active() const
{
    try
    {
        return FTCPConnection && FTCPConnection->Connected();
    }
    catch (...)
    {
        return false;
    }
}

bool TkbzWSConnection::IsFramedTransport() const noexcept
{
    const TwsTransport t = GetTransport();
    return t == TwsTransport::trpRFC6455 || t == TwsTransport::trpFlash ||
           t == TwsTransport::trpRFC8441;
}

// ---- Writing ----

void TkbzWSConnection::WriteData(const std::string& aText, int aSize, TwsStreaming aStreaming)
{
    if (FQueueOptions.Text.Level != TwsQueueMsgLevels::qmNone)
    {
        TkbzQueueObject q;
        q.FText = aText;
        q.FSize = aSize;
        q.FStreaming = aStreaming;
        q.FOpCode = TOpcode::opText;
        PushQueue(static_cast<int>(FQueueOptions.Text.Level) - 1, std::move(q));
        return;
    }
    DoWriteText(aText, aSize, aStreaming);
}

void TkbzWSConnection::WriteData(TkbzStream& aStream, int aSize, TwsStreaming aStreaming)
{
    // A memory stream is sent from its own bytes, without a copy.
    if (auto* memory = dynamic_cast<TkbzMemoryStream*>(&aStream))
    {
        WriteData(std::span<const std::uint8_t>(memory->Bytes()), aSize, aStreaming);
        return;
    }
    aStream.SetPosition(0);
    std::vector<std::uint8_t> bytes = aStream.ReadBytes();
    WriteData(std::span<const std::uint8_t>(bytes), aSize, aStreaming);
}

void TkbzWSConnection::WriteData(std::span<const std::uint8_t> aBytes, int aSize,
                                 TwsStreaming aStreaming)
{
    if (FQueueOptions.Binary.Level != TwsQueueMsgLevels::qmNone)
    {
        TkbzQueueObject q;
        q.FStream.assign(aBytes.begin(), aBytes.end());
        q.FSize = aSize;
        q.FStreaming = aStreaming;
        q.FOpCode = TOpcode::opBinary;
        PushQueue(static_cast<int>(FQueueOptions.Binary.Level) - 1, std::move(q));
        return;
    }
    DoWriteBinary(aBytes, aSize, aStreaming);
}

void TkbzWSConnection::DoWriteText(const std::string& aText, int aSize, TwsStreaming aStreaming)
{
    if (!Enabled() || GetDisconnected() || Closing())
    {
        return;
    }
    switch (GetTransport())
    {
    case TwsTransport::trpSSE:
        DoWriteSSE(aText);
        return;
    case TwsTransport::trpTCP:
        DoWriteRaw(kbzAsBytes(aText));
        return;
    default:
        break;
    }
    if (FSpecification == TwsSpecification::spHixie76)
    {
        DoWriteHixie76(TOpcode::opText, aText);
        return;
    }
    if (FSpecification != TwsSpecification::spRFC6455)
    {
        return;
    }
    DoWriteMessage(TOpcode::opText, kbzAsBytes(aText), kbzUTF16Length(aText), aSize, aStreaming);
}

void TkbzWSConnection::DoWriteBinary(std::span<const std::uint8_t> bytes, int aSize,
                                     TwsStreaming aStreaming)
{
    if (!Enabled() || GetDisconnected() || Closing())
    {
        return;
    }
    if (GetTransport() == TwsTransport::trpTCP)
    {
        DoWriteRaw(bytes);
        return;
    }
    if (FSpecification != TwsSpecification::spRFC6455 || GetTransport() == TwsTransport::trpSSE)
    {
        return;
    }
    DoWriteMessage(TOpcode::opBinary, bytes, bytes.size(), aSize, aStreaming);
}

void TkbzWSConnection::DoWriteMessage(TOpcode opcode, std::span<const std::uint8_t> payload,
                                      std::size_t unitLength, int aSize, TwsStreaming aStreaming)
{
    using enum TwsStreaming;
    std::lock_guard message(Locks().CSIndex(kMessageLock));
    // The traffic log gets the message as the application wrote it, once it is sent.
    struct SentLog
    {
        const IkbzWSConnectionLogPtr& log;
        TOpcode opcode;
        std::span<const std::uint8_t> payload;
        int exceptions = std::uncaught_exceptions();
        ~SentLog()
        {
            if (log && std::uncaught_exceptions() == exceptions)
            {
                log->LogSent(opcode, payload);
            }
        }
    } sentLog{FTrafficLog,
              aStreaming == stmNone || aStreaming == stmFirst ? opcode : TOpcode::opContinuation,
              payload};
    const std::size_t size = aSize > 0 ? static_cast<std::size_t>(aSize) : 0;
    const bool cut = size > 0 && unitLength > size;

    if (aStreaming == stmNone)
    {
        // A whole message is compressed once, then cut into frames; RSV1 marks
        // its first frame only. Messages written piece by piece go out
        // uncompressed, which keeps every piece a valid fragment.
        bool compressed = false;
        std::vector<std::uint8_t> deflated;
        if (FExtensions.Compression())
        {
            try
            {
                deflated.assign(payload.begin(), payload.end());
                compressed = FExtensions.WriteStream(deflated);
            }
            catch (const std::exception& e)
            {
                throw TkbzWSException("Error Inflating Frame: " + std::string(e.what()));
            }
            payload = deflated;
        }
        if (!cut || payload.size() <= size)
        {
            DoWriteFrame(opcode, payload, true, compressed);
            detail::ReleaseLargeBuffer(deflated);
            return;
        }
        for (std::size_t pos = 0; pos < payload.size(); pos += size)
        {
            const std::size_t n = std::min(size, payload.size() - pos);
            const bool first = pos == 0;
            const bool last = pos + n >= payload.size();
            DoWriteFrame(first ? opcode : TOpcode::opContinuation, payload.subspan(pos, n), last,
                         first && compressed);
        }
        detail::ReleaseLargeBuffer(deflated);
        return;
    }

    switch (aStreaming)
    {
    case stmFirst:
        DoWriteFrame(opcode, payload, false, false);
        return;
    case stmContinue:
        DoWriteFrame(TOpcode::opContinuation, payload, false, false);
        return;
    case stmLast:
        DoWriteFrame(TOpcode::opContinuation, payload, true, false);
        return;
    case stmContinueAndLast: {
        if (!cut || payload.size() <= size)
        {
            DoWriteFrame(TOpcode::opContinuation, payload, true, false);
            return;
        }
        for (std::size_t pos = 0; pos < payload.size(); pos += size)
        {
            const std::size_t n = std::min(size, payload.size() - pos);
            DoWriteFrame(TOpcode::opContinuation, payload.subspan(pos, n),
                         pos + n >= payload.size(), false);
        }
        return;
    }
    default:
        return;
    }
}

void TkbzWSConnection::DoWriteFrame(TOpcode opcode, std::span<const std::uint8_t> payload, bool fin,
                                    bool rsv1)
{
    if (!FTCPConnection)
    {
        return;
    }
    // Masked payloads are masked into a bounded scratch buffer piece by piece,
    // so a large frame is never copied whole; unmasked ones leave from the
    // caller's bytes after their header.
    constexpr std::size_t kMaskPiece = 64 * 1024;
    std::lock_guard frame(Locks().CS());
    // Frame bytes are under way: a log that decodes frames keeps them out of its raw lines.
    struct FrameScope
    {
        const IkbzWSConnectionLogPtr& log;
        explicit FrameScope(const IkbzWSConnectionLogPtr& l) : log(l)
        {
            if (log)
            {
                log->BeginFrames();
            }
        }
        ~FrameScope()
        {
            if (log)
            {
                log->EndFrames();
            }
        }
        FrameScope(const FrameScope&) = delete;
        FrameScope& operator=(const FrameScope&) = delete;
    } frameScope(FTrafficLog);
    try
    {
        std::uint8_t header[14];
        std::uint8_t key[4];
        if (Masked)
        {
            kbzGetMaskingKey(key);
        }
        const std::size_t h =
            kbzBuildFrameHeader(header, opcode, payload.size(), Masked ? key : nullptr, fin, rsv1);
        if (!Masked)
        {
            FTCPConnection->Write2({header, h}, payload);
        }
        else
        {
            std::size_t pos = 0;
            do
            {
                const std::size_t n = std::min(kMaskPiece, payload.size() - pos);
                FFrameBuffer.clear();
                if (pos == 0)
                {
                    FFrameBuffer.insert(FFrameBuffer.end(), header, header + h);
                }
                const std::size_t start = FFrameBuffer.size();
                FFrameBuffer.insert(FFrameBuffer.end(),
                                    payload.begin() + static_cast<std::ptrdiff_t>(pos),
                                    payload.begin() + static_cast<std::ptrdiff_t>(pos + n));
                kbzMaskPayload(FFrameBuffer.data() + start, n, key, pos);
                FTCPConnection->Write(FFrameBuffer.data(), FFrameBuffer.size());
                pos += n;
            } while (pos < payload.size());
        }
        AddSendBytes(static_cast<std::int64_t>(h + payload.size()));
        if (FTrafficLog && kbzIsControlOpcode(opcode))
        {
            FTrafficLog->LogSent(opcode, payload);
        }
    }
    catch (const TkbzWSException&)
    {
        throw;
    }
    catch (const std::exception& e)
    {
        RaiseWriteError(e);
    }
}

void TkbzWSConnection::DoWriteRaw(std::span<const std::uint8_t> bytes)
{
    if (!FTCPConnection || bytes.empty())
    {
        return;
    }
    std::lock_guard frame(Locks().CS());
    try
    {
        FTCPConnection->Write(bytes.data(), bytes.size());
        AddSendBytes(static_cast<std::int64_t>(bytes.size()));
    }
    catch (const std::exception& e)
    {
        RaiseWriteError(e);
    }
}

void TkbzWSConnection::DoWriteSSE(const std::string& text)
{
    std::string out;
    {
        std::lock_guard frame(Locks().CS());
        if (!FSSEHeaderSent)
        {
            out = "HTTP/1.1 200 OK\r\n"
                  "Content-Type: text/event-stream\r\n"
                  "Cache-Control: no-cache, no-store, max-age=0, must-revalidate\r\n"
                  "Expires: Fri, 01 Jan 1990 00:00:00 GMT\r\n"
                  "Pragma: no-cache\r\n"
                  "Connection: close\r\n";
            for (const std::string& field : SSEHeaderFields)
            {
                out += field + "\r\n";
            }
            out += "\r\n";
            FSSEHeaderSent = true;
        }
    }
    // Each line of the text is one data line (or a field line it already is);
    // a blank line ends the event.
    std::size_t start = 0;
    while (start <= text.size())
    {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos)
        {
            end = text.size();
        }
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r')
        {
            line.pop_back();
        }
        if (kbzStartsText(line, "data:") || kbzStartsText(line, "retry:") ||
            kbzStartsText(line, "event:") || kbzStartsText(line, "id:"))
        {
            out += line;
        }
        else
        {
            out += "data: " + line;
        }
        out += "\r\n";
        start = end + 1;
    }
    out += "\r\n";
    DoWriteRaw(kbzAsBytes(out));
}

void TkbzWSConnection::DoWriteHixie76(TOpcode opcode, const std::string& text)
{
    if (opcode == TOpcode::opText)
    {
        const std::vector<std::uint8_t> frame = kbzBuildHixie76Text(text);
        DoWriteRaw(frame);
    }
    else if (opcode == TOpcode::opClose)
    {
        DoWriteRaw(kbzHixie76CloseFrame);
    }
}

// ---- Pings ----

void TkbzWSConnection::Ping(const std::string& aText)
{
    if (FQueueOptions.Ping.Level != TwsQueueMsgLevels::qmNone)
    {
        TkbzQueueObject q;
        q.FText = aText;
        q.FOpCode = TOpcode::opPing;
        PushQueue(static_cast<int>(FQueueOptions.Ping.Level) - 1, std::move(q));
        return;
    }
    DoPing(aText, nullptr);
}

bool TkbzWSConnection::Ping(const std::string& aText, int aTimeOut)
{
    std::shared_ptr<TkbzPing> sent;
    DoPing(aText, &sent);
    if (aTimeOut <= 0 || !sent)
    {
        return false;
    }
    std::unique_lock lock(FPingLock);
    return FPingAnswered.wait_for(lock, std::chrono::milliseconds(aTimeOut), [&] {
        return sent->FAnswered || GetDisconnected();
    }) && sent->FAnswered;
}

void TkbzWSConnection::DoPing(const std::string& aText, std::shared_ptr<TkbzPing>* sent)
{
    if (aText.size() > kbzMaxControlPayload)
    {
        throw TkbzWSException("Ping payload above 125 bytes");
    }
    const std::int64_t now = Now();
    std::int64_t expected = 0;
    FFirstPing.compare_exchange_strong(expected, now);
    FLastPing.store(now);
    switch (GetTransport())
    {
    case TwsTransport::trpRFC6455:
    case TwsTransport::trpFlash:
    case TwsTransport::trpRFC8441: {
        if (!Enabled() || GetDisconnected() || Closing())
        {
            return;
        }
        auto ping = std::make_shared<TkbzPing>();
        ping->FText = aText;
        ping->FDate = now;
        {
            std::lock_guard guard(FPingLock);
            FQueuePingList.push_back(ping);
            // Bounded, but the oldest entry stays: it says since when the peer is silent.
            while (FQueuePingList.size() > kMaxPendingPings)
            {
                FQueuePingList.erase(FQueuePingList.begin() + 1);
            }
        }
        if (sent)
        {
            *sent = ping;
        }
        DoWriteFrame(TOpcode::opPing, kbzAsBytes(aText), true, false);
        return;
    }
    case TwsTransport::trpSSE:
        if (Enabled() && !GetDisconnected())
        {
            DoWriteSSE("event: Ping\ndata: " + aText);
        }
        return;
    case TwsTransport::trpTCP:
        if (Enabled() && !GetDisconnected())
        {
            DoWriteRaw(kbzAsBytes(aText));
        }
        return;
    default:
        return;
    }
}

std::string TkbzWSConnection::WriteAndWaitData(const std::string& aText, int aTimeOut)
{
    std::uint64_t before;
    {
        std::lock_guard guard(FWaitLock);
        before = FTextsReceived;
        ++FTextWaiters;
    }
    struct Waiting
    {
        TkbzWSConnection& c;
        ~Waiting()
        {
            std::lock_guard guard(c.FWaitLock);
            if (--c.FTextWaiters == 0)
            {
                std::string().swap(c.FLastText);
            }
        }
    } waiting{*this};
    SetMsgReceived("");
    WriteData(aText, 0, TwsStreaming::stmNone);
    if (aTimeOut <= 0)
    {
        return {};
    }
    std::unique_lock lock(FWaitLock);
    if (FWaitChanged.wait_for(lock, std::chrono::milliseconds(aTimeOut),
                              [&] { return FTextsReceived != before || GetDisconnected(); }) &&
        FTextsReceived != before)
    {
        return FLastText;
    }
    return {};
}

// ---- Queues ----

bool TkbzWSConnection::PushQueue(int level, TkbzQueueObject&& q, std::size_t limit)
{
    const std::size_t bytes = q.FText.size() + q.FStream.size();
    bool first = false;
    {
        std::lock_guard guard(FQueueLock);
        if (FQueuedBytes + bytes > limit)
        {
            return false;
        }
        FQueuedBytes += bytes;
        FQueueLevel[level].push_back(std::move(q));
        first = FQueuedCount.fetch_add(1) == 0;
    }
    if (first)
    {
        // The owner's thread drains at once, or sleeps out what is left of the
        // batch window (QueueWaitLimit) and drains then.
        WakeQueueReader();
    }
    return true;
}

bool TkbzWSConnection::QueueDue() const noexcept
{
    return kbzGetTicks() - FLastDrain.load() >= kQueueBatchMs;
}

int TkbzWSConnection::QueueWaitLimit(int readTimeOut) const noexcept
{
    const std::uint64_t since = kbzGetTicks() - FLastDrain.load();
    if (since >= kQueueBatchMs)
    {
        return readTimeOut;
    }
    const int left = static_cast<int>(kQueueBatchMs - since);
    return readTimeOut < 0 ? left : std::min(readTimeOut, left);
}

void TkbzWSConnection::WakeQueueReader() noexcept
{
    // The connection's thread drains the queues between its waits for input;
    // one wake per queue that stops being empty is enough, as it takes all.
    if (TkbzIdTCPConnection* tcp = TCPConnection())
    {
        tcp->WakeReader();
    }
}

bool TkbzWSConnection::QueueData(const std::string& aText)
{
    TkbzQueueObject q;
    q.FText = aText;
    q.FOpCode = TOpcode::opText;
    return PushQueue(0, std::move(q), MaxQueuedBytes);
}

bool TkbzWSConnection::QueueData(std::span<const std::uint8_t> aBytes)
{
    TkbzQueueObject q;
    q.FStream.assign(aBytes.begin(), aBytes.end());
    q.FOpCode = TOpcode::opBinary;
    return PushQueue(0, std::move(q), MaxQueuedBytes);
}

void TkbzWSConnection::DrainQueues()
{
    if (!Enabled())
    {
        return;
    }
    // What piled up since the last pass leaves in as few sends as possible:
    // the frames are gathered in the connection's write buffer and sent about
    // every 64 KiB. A failed write discards the rest; the connection is ending.
    TkbzIdTCPConnection* tcp = TCPConnection();
    // An engine that queues what the socket does not take yet says when it
    // holds enough: the rest waits here (where the queue's limit applies), and
    // the engine runs the connection again once its backlog has left.
    if (tcp && tcp->WriteBacklogged())
    {
        return;
    }
    constexpr std::size_t kFlushBytes = 64 * 1024;
    std::size_t gathered = 0;
    std::size_t drained = 0;
    // A failed send reads like the failed write of a frame.
    const auto send = [tcp](bool close) {
        try
        {
            close ? tcp->WriteBufferClose() : tcp->WriteBufferFlush();
        }
        catch (const std::exception& e)
        {
            RaiseWriteError(e);
        }
    };
    if (tcp)
    {
        tcp->WriteBufferOpen();
    }
    try
    {
        DrainQueueLevels([&](std::size_t bytes) {
            ++drained;
            gathered += bytes;
            if (tcp && gathered >= kFlushBytes)
            {
                send(false);
                gathered = 0;
            }
        });
        if (tcp)
        {
            send(true);
        }
    }
    catch (...)
    {
        if (tcp)
        {
            tcp->WriteBufferClear();
        }
        throw;
    }
    if (drained > 0)
    {
        FLastDrain.store(kbzGetTicks());
    }
}

void TkbzWSConnection::DrainQueueLevels(const std::function<void(std::size_t)>& written)
{
    for (auto& level : FQueueLevel)
    {
        std::deque<TkbzQueueObject> items;
        {
            std::lock_guard guard(FQueueLock);
            items.swap(level);
            FQueuedCount.fetch_sub(items.size());
            for (const auto& q : items)
            {
                FQueuedBytes -= q.FText.size() + q.FStream.size();
            }
        }
        for (auto& q : items)
        {
            const std::size_t bytes = q.FText.size() + q.FStream.size();
            switch (q.FOpCode)
            {
            case TOpcode::opText:
                DoWriteText(q.FText, q.FSize, q.FStreaming);
                break;
            case TOpcode::opBinary:
                DoWriteBinary(q.FStream, q.FSize, q.FStreaming);
                break;
            case TOpcode::opPing:
                DoPing(q.FText, nullptr);
                break;
            default:
                break;
            }
            written(bytes);
        }
    }
}

void TkbzWSConnection::ClearQueues()
{
    std::lock_guard guard(FQueueLock);
    for (auto& level : FQueueLevel)
    {
        level.clear();
    }
    FQueuedCount.store(0);
    FQueuedBytes = 0;
}

// ---- Closing ----

void TkbzWSConnection::DoWriteClose(int code)
{
    if (FCloseSent.exchange(true))
    {
        return;
    }
    if (IsFramedTransport())
    {
        const std::vector<std::uint8_t> payload =
            code < 0 ? std::vector<std::uint8_t>{}
                     : kbzBuildClosePayload(static_cast<std::uint16_t>(code));
        DoWriteFrame(TOpcode::opClose, payload, true, false);
    }
    else if (GetTransport() == TwsTransport::trpHixie76 ||
             FSpecification == TwsSpecification::spHixie76)
    {
        DoWriteHixie76(TOpcode::opClose, {});
    }
}

void TkbzWSConnection::Close(int aCloseCode)
{
    if (IsFramedTransport() && !IsSendableCloseCode(aCloseCode))
    {
        throw TkbzWSException("Invalid close code " + std::to_string(aCloseCode));
    }
    if (GetDisconnected() || Closing())
    {
        return;
    }
    if (IsFramedTransport() && Enabled())
    {
        // Our half of the closing handshake: the reading thread goes on until the
        // peer's close arrives (or CloseTimeOut passes), then drops the connection.
        // The start is set before the state says so: the reader's deadline needs it.
        FCloseStarted.store(Now());
        auto open = TwsConnectionState::csOpen;
        if (!FState.compare_exchange_strong(open, TwsConnectionState::csClosing))
        {
            return; // another thread started the close, or it has ended
        }
        RaiseBeforeDisconnect();
        try
        {
            DoWriteClose(aCloseCode);
        }
        catch (...)
        {
            DoDisconnect({}, aCloseCode, false);
        }
        // The reading thread now has a deadline to keep.
        WakeQueueReader();
        return;
    }
    DoDisconnect({}, aCloseCode, true);
}

void TkbzWSConnection::CheckCloseTimeOut()
{
    if (!Closing() || GetDisconnected())
    {
        return;
    }
    const std::int64_t started = FCloseStarted.load();
    if (Now() - started >= CloseTimeOut)
    {
        DoDisconnect({}, kbzCloseNormal, false);
    }
}

std::int64_t TkbzWSConnection::CloseWaitLimit() const noexcept
{
    if (!Closing() || GetDisconnected())
    {
        return -1;
    }
    const std::int64_t left = FCloseStarted.load() + CloseTimeOut - Now();
    return left > 0 ? left : 0;
}

void TkbzWSConnection::SetEnabled(bool value) noexcept
{
    FEnabled.store(value);
    // Only the handshake moves between connecting and open; an ending stays.
    auto from = value ? TwsConnectionState::csConnecting : TwsConnectionState::csOpen;
    FState.compare_exchange_strong(from, value ? TwsConnectionState::csOpen
                                               : TwsConnectionState::csConnecting);
}

bool TkbzWSConnection::BeginLinger(int totalMs)
{
    if (!FTCPConnection || !FTCPConnection->HalfClose())
    {
        return false;
    }
    FTCPConnection->InputBufferClear();
    const std::int64_t now = Now();
    FLingerQuietAt = now + kLingerIdleMs;
    FLingerUntil.store(now + std::max(1, totalMs));
    return true;
}

bool TkbzWSConnection::LingerStep()
{
    const std::int64_t until = FLingerUntil.load();
    if (until == 0 || !FTCPConnection)
    {
        return false;
    }
    const std::int64_t now = Now();
    if (!FTCPConnection->InputBufferIsEmpty())
    {
        FTCPConnection->InputBufferClear();
        FLingerQuietAt = now + kLingerIdleMs;
    }
    if (now >= until || now >= FLingerQuietAt || FTCPConnection->PeerClosed() ||
        FTCPConnection->Disconnected())
    {
        FLingerUntil.store(0);
        return false;
    }
    return true;
}

std::int64_t TkbzWSConnection::LingerWaitLimit() const noexcept
{
    const std::int64_t until = FLingerUntil.load();
    if (until == 0)
    {
        return -1;
    }
    return std::max<std::int64_t>(0, std::min(until, FLingerQuietAt) - Now());
}

void TkbzWSConnection::Disconnect(int aCloseCode)
{
    DoDisconnect({}, aCloseCode, CleanDisconnect);
}

void TkbzWSConnection::RaiseBeforeDisconnect()
{
    if (!FBeforeDisconnectRaised.exchange(true) && OnBeforeDisconnect)
    {
        try
        {
            OnBeforeDisconnect(*this);
        }
        catch (...)
        {}
    }
}

void TkbzWSConnection::DoDisconnect(const std::string& text, int code, bool sendClose, bool linger)
{
    if (FState.exchange(TwsConnectionState::csClosed) == TwsConnectionState::csClosed)
    {
        return;
    }
    RaiseBeforeDisconnect();
    SetDisconnected(true);
    {
        std::lock_guard guard(FPingLock);
        FPingAnswered.notify_all();
    }
    {
        std::lock_guard guard(FWaitLock);
        FWaitChanged.notify_all();
    }
    if (sendClose && Enabled())
    {
        try
        {
            if (FTCPConnection)
            {
                FTCPConnection->InputBufferClear();
            }
            DoWriteClose(code);
            if (linger && FTCPConnection)
            {
                if (!FStepLinger)
                {
                    FTCPConnection->LingerAfterClose(kLingerTotalMs, kLingerIdleMs);
                }
                else
                {
                    BeginLinger(kLingerTotalMs);
                }
            }
        }
        catch (...)
        {
            // The peer may be gone already; the connection ends either way.
        }
    }
    if (!text.empty() && RaiseDisconnectExceptions)
    {
        // The owner reports the error first and then ends the connection
        // (TerminateConnection), so the error comes before the disconnect event.
        throw TkbzWSException(text);
    }
    if (Lingering())
    {
        return; // the owner's steps drop the connection when the linger is over
    }
    try
    {
        DisconnectPeer(false);
    }
    catch (const EIdSilentException&)
    {
        if (RaiseDisconnectExceptions)
        {
            throw;
        }
    }
}

void TkbzWSConnection::DisconnectPeer(bool /*aCallOnDisconnectIfClosed*/)
{
    if (!FTCPConnection)
    {
        return;
    }
    SetDisconnected(true);
    // The channel is shut down first: a thread blocked writing to a peer that
    // does not read holds the write lock until its send fails. The transport
    // raises its disconnected notification once, whether the socket was still
    // open or the peer had closed it already, so the owner's disconnect
    // handling runs in both cases.
    FTCPConnection->Disconnect(false);
    FTCPConnection->WriteBufferClear();
    FTCPConnection->InputBufferClear();
}

void TkbzWSConnection::TerminateConnection()
{
    if (Lingering())
    {
        // Our last bytes are on their way: the owner's steps drop the connection.
        FState.store(TwsConnectionState::csClosed);
        RaiseBeforeDisconnect();
        SetDisconnected(true);
        return;
    }
    if (FState.load() == TwsConnectionState::csClosed || GetDisconnected())
    {
        SetDisconnected(true);
        if (FTCPConnection && !FTCPConnection->Disconnected())
        {
            try
            {
                FTCPConnection->Disconnect(false);
            }
            catch (...)
            {}
        }
        return;
    }
    FState.store(TwsConnectionState::csClosed);
    RaiseBeforeDisconnect();
    SetDisconnected(true);
    try
    {
        DisconnectPeer(true);
    }
    catch (...)
    {}
}

// ---- Subscriptions ----

void TkbzWSConnection::DoSubscribe(const std::string& aChannels)
{
    TkbzDelimitedStringList list;
    list.SetDelimitedText(aChannels);
    for (std::size_t i = 0; i < list.Count(); ++i)
    {
        const std::string& channel = list[i];
        bool added = false;
        {
            std::lock_guard guard(Locks().CSIndex(0));
            if (std::find(FSubscriptions.begin(), FSubscriptions.end(), channel) ==
                FSubscriptions.end())
            {
                FSubscriptions.push_back(channel);
                added = true;
            }
        }
        if (added && OnSubscription)
        {
            OnSubscription(*this, channel);
        }
    }
}

void TkbzWSConnection::DoUnSubscribe(const std::string& aChannels)
{
    TkbzDelimitedStringList list;
    list.SetDelimitedText(aChannels);
    for (std::size_t i = 0; i < list.Count(); ++i)
    {
        const std::string& channel = list[i];
        bool removed = false;
        {
            std::lock_guard guard(Locks().CSIndex(0));
            auto it = std::find(FSubscriptions.begin(), FSubscriptions.end(), channel);
            if (it != FSubscriptions.end())
            {
                FSubscriptions.erase(it);
                removed = true;
            }
        }
        if (removed && OnUnSubscription)
        {
            OnUnSubscription(*this, channel);
        }
    }
}

bool TkbzWSConnection::Subscribed(const std::string& aChannel)
{
    if (aChannel.empty())
    {
        return true;
    }
    TkbzDelimitedStringList list;
    list.SetDelimitedText(aChannel);
    std::lock_guard guard(Locks().CSIndex(0));
    for (std::size_t i = 0; i < list.Count(); ++i)
    {
        if (std::find(FSubscriptions.begin(), FSubscriptions.end(), list[i]) !=
            FSubscriptions.end())
        {
            return true;
        }
    }
    return false;
}

std::vector<std::string> TkbzWSConnection::Subscriptions() const
{
    std::lock_guard guard(const_cast<TkbzWSConnection*>(this)->Locks().CSIndex(0));
    return FSubscriptions;
}

} // namespace kbz
