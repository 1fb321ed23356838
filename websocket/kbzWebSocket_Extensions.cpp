#include "websocket/kbzWebSocket_Extensions.h"

#include "base/kbzBase_Memory.h"
#include "websocket/kbzWebSocket_Extensions_Internal.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>
#include <zlib.h>

namespace kbz
{

namespace detail
{

namespace
{

// What a sync flush ends with; RFC 7692 drops it from the wire and the receiver adds it back.
constexpr std::array<std::uint8_t, 4> SyncMarker{0x00, 0x00, 0xFF, 0xFF};
// Output buffers larger than this are released after a message instead of kept for the next.
constexpr std::size_t KeepBufferBytes = 256 * 1024;
// zlib's largest window; what inflateGetDictionary can return.
constexpr std::size_t MaxWindowBytes = 32768;

std::string Format(const char* pattern, long long value)
{
    std::string text(pattern);
    const auto at = text.find("%d");
    if (at != std::string::npos)
    {
        text.replace(at, 2, std::to_string(value));
    }
    return text;
}

// zlib counts in uInt; longer buffers are handed over in pieces.
constexpr std::size_t MaxChunk = std::size_t{1} << 30;

uInt ChunkSize(std::size_t available)
{
    return static_cast<uInt>(std::min(available, MaxChunk));
}

// Tops up avail_in from the unread rest once zlib has taken the previous piece.
void FeedInput(z_stream& s, std::size_t& unread)
{
    if (s.avail_in == 0 && unread > 0)
    {
        s.avail_in = ChunkSize(unread);
        unread -= s.avail_in;
    }
}

void ReleaseIfLarge(TBytes& buffer)
{
    if (buffer.capacity() > KeepBufferBytes)
    {
        TBytes().swap(buffer);
    }
}

std::string Unquote(std::string text)
{
    if (text.size() >= 2 && text.front() == '"' && text.back() == '"')
    {
        return text.substr(1, text.size() - 2);
    }
    return text;
}

} // namespace

std::string FormatWindowBitsError(int value)
{
    return Format(InvalidWindowBitsText, value);
}

std::string FormatZLibError(int code)
{
    return Format(ZLibErrorText, code);
}

void ZStreamDeleter::operator()(z_stream_s* stream) const noexcept
{
    if (deflating)
    {
        deflateEnd(stream);
    }
    else
    {
        inflateEnd(stream);
    }
    delete stream;
}

// ---- RawDeflater ----------------------------------------------------------------------------

void RawDeflater::Configure(int level, int windowBits, int memLevel, bool contextTakeover)
{
    if (level != FLevel || windowBits != FWindowBits || memLevel != FMemLevel)
    {
        FStream.reset();
    }
    if (FStream && contextTakeover != FContextTakeover)
    {
        deflateReset(FStream.get());
    }
    FLevel = level;
    FWindowBits = windowBits;
    FMemLevel = memLevel;
    FContextTakeover = contextTakeover;
}

void RawDeflater::Reset() noexcept
{
    FStream.reset();
    TBytes().swap(FOut);
}

void RawDeflater::Open()
{
    ZStreamPtr stream(new z_stream{}, ZStreamDeleter{true});
    const int rc =
        deflateInit2(stream.get(), FLevel, Z_DEFLATED, -FWindowBits, FMemLevel, Z_DEFAULT_STRATEGY);
    if (rc != Z_OK)
    {
        // A failed init leaves no state behind; deflateEnd on it is a harmless no-op.
        throw ECompressionError(FormatZLibError(rc), kbzCloseInternalError);
    }
    FStream = std::move(stream);
}

void RawDeflater::Compress(TBytes& data)
{
    if (!FStream)
    {
        Open();
    }
    z_stream& s = *FStream;
    // The bound does not count the flush marker; a few bytes more cover it. A
    // large message starts from an eighth of it and grows as the output needs
    // (most compress far better than the bound), so it is not held twice.
    const std::size_t bound = deflateBound(&s, static_cast<uLong>(data.size())) + 16;
    constexpr std::size_t kLargeStart = 256 * 1024;
    FOut.resize(bound <= kLargeStart ? bound : std::max(kLargeStart, bound / 8));
    s.next_in = data.data();
    s.avail_in = 0;
    std::size_t unread = data.size();
    std::size_t produced = 0;
    for (;;)
    {
        FeedInput(s, unread);
        s.next_out = FOut.data() + produced;
        s.avail_out = ChunkSize(FOut.size() - produced);
        const uInt before = s.avail_out;
        const int rc = deflate(&s, unread > 0 ? Z_NO_FLUSH : Z_SYNC_FLUSH);
        produced += before - s.avail_out;
        if (rc != Z_OK && rc != Z_BUF_ERROR)
        {
            FStream.reset();
            throw ECompressionError(FormatZLibError(rc), kbzCloseInternalError);
        }
        // With a sync flush, space left over means everything was written.
        if (s.avail_out != 0 && s.avail_in == 0 && unread == 0)
        {
            break;
        }
        if (produced == FOut.size())
        {
            FOut.resize(FOut.size() * 2);
        }
    }
    if (produced < SyncMarker.size() ||
        !std::equal(SyncMarker.begin(), SyncMarker.end(),
                    FOut.begin() + static_cast<std::ptrdiff_t>(produced - SyncMarker.size())))
    {
        FStream.reset();
        throw ECompressionError(FormatZLibError(Z_STREAM_ERROR), kbzCloseInternalError);
    }
    FOut.resize(produced - SyncMarker.size());
    data.swap(FOut);
    ReleaseIfLarge(FOut);
    if (!FContextTakeover)
    {
        deflateReset(&s);
    }
}

// ---- RawInflater ----------------------------------------------------------------------------

void RawInflater::Configure(int windowBits, bool contextTakeover)
{
    // A window of 8 bits is read with 9: some deflaters asked for 8 silently use 9, and a larger
    // window reads every stream a smaller one produced.
    windowBits = std::max(windowBits, 9);
    if (windowBits != FWindowBits)
    {
        FStream.reset();
    }
    if (FStream && contextTakeover != FContextTakeover)
    {
        inflateReset(FStream.get());
    }
    FWindowBits = windowBits;
    FContextTakeover = contextTakeover;
}

void RawInflater::Reset() noexcept
{
    FStream.reset();
}

void RawInflater::Open()
{
    ZStreamPtr stream(new z_stream{}, ZStreamDeleter{false});
    const int rc = inflateInit2(stream.get(), -FWindowBits);
    if (rc != Z_OK)
    {
        throw ECompressionError(FormatZLibError(rc), kbzCloseInternalError);
    }
    FStream = std::move(stream);
}

void RawInflater::EndOfMessage(bool finalBlock)
{
    z_stream& s = *FStream;
    if (finalBlock && FContextTakeover)
    {
        // The peer ended its stream with a final block, yet its next message may still refer
        // back to this one: carry the window over into the restarted stream.
        std::array<Bytef, MaxWindowBytes> window;
        uInt length = 0;
        inflateGetDictionary(&s, window.data(), &length);
        inflateReset(&s);
        if (length > 0)
        {
            inflateSetDictionary(&s, window.data(), length);
        }
    }
    else if (finalBlock || !FContextTakeover)
    {
        inflateReset(&s);
    }
}

namespace
{
// Messages up to this size are inflated in one pass into a buffer that grows
// as needed; the rest of a larger one is counted first, so that its buffer is
// allocated once at its final size: a message costs its size plus at most this.
constexpr std::size_t InflateDirectBytes = 1024 * 1024;
// What the count of a large message's rest is inflated into (and thrown away).
constexpr std::size_t InflateCountBytes = 64 * 1024;

// The compressed payload, then the 00 00 FF FF the sender dropped, fed to zlib
// without copying the payload. Copyable, so that a probe can run ahead.
struct InflateInput
{
    const Bytef* Pieces[2];
    std::size_t Lengths[2];
    std::size_t Piece = 0;

    void Feed(z_stream& s)
    {
        while (s.avail_in == 0 && Piece < 2)
        {
            s.next_in = const_cast<Bytef*>(Pieces[Piece]);
            s.avail_in = ChunkSize(Lengths[Piece]);
            Pieces[Piece] += s.avail_in;
            Lengths[Piece] -= s.avail_in;
            if (Lengths[Piece] == 0)
            {
                ++Piece;
            }
        }
    }
    bool Done(const z_stream& s) const { return s.avail_in == 0 && Piece == 2; }
    std::size_t Left(const z_stream& s) const { return s.avail_in + Lengths[0] + Lengths[1]; }
};

enum class InflateStop : std::uint8_t
{
    FinalBlock, // the stream ended with a final block
    Boundary,   // all input used, between two blocks: the message is complete
    Truncated,  // all input used inside a block
    OutputFull  // give more room and call again
};

// Inflates from input into out[0, size) until one of the stops; produced
// counts the bytes written. Raises ECompressionError (through fail) on bad data.
template <class Fail>
InflateStop InflateInto(z_stream& s, InflateInput& input, std::uint8_t* out, std::size_t size,
                        std::size_t& produced, const Fail& fail)
{
    produced = 0;
    for (;;)
    {
        input.Feed(s);
        s.next_out = out + produced;
        s.avail_out = ChunkSize(size - produced);
        const uInt before = s.avail_out;
        // Z_BLOCK stops at block boundaries, so that after the last input it is known whether
        // the data ended between blocks (complete) or inside one (truncated).
        const int rc = inflate(&s, Z_BLOCK);
        produced += before - s.avail_out;
        if (rc == Z_STREAM_END)
        {
            return InflateStop::FinalBlock;
        }
        if (rc == Z_MEM_ERROR)
        {
            throw fail(FormatZLibError(rc), kbzCloseInternalError);
        }
        if (rc != Z_OK && rc != Z_BUF_ERROR)
        {
            throw fail(FormatZLibError(rc), kbzCloseInvalidPayload);
        }
        const bool inputDone = input.Done(s);
        if (inputDone && (s.data_type & 128) != 0)
        {
            return InflateStop::Boundary;
        }
        if (produced == size)
        {
            return InflateStop::OutputFull;
        }
        if (inputDone)
        {
            return InflateStop::Truncated;
        }
        if (rc == Z_BUF_ERROR && s.avail_in > 0)
        {
            throw fail(FormatZLibError(rc), kbzCloseInvalidPayload); // no progress possible
        }
    }
}
} // namespace

void RawInflater::Decompress(TBytes& data, std::int64_t maxSize, ByteBudgetShare* budget)
{
    if (!FStream)
    {
        Open();
    }
    z_stream& s = *FStream;
    const std::uint64_t cap = maxSize > 0 ? static_cast<std::uint64_t>(maxSize)
                                          : std::numeric_limits<std::uint64_t>::max() - 1;

    auto fail = [this](std::string message, std::uint16_t code) {
        // The window no longer matches the peer's; the connection is going to end anyway.
        FStream.reset();
        return ECompressionError(std::move(message), code);
    };
    auto tooBig = [&] {
        return fail("Decompressed message exceeds " + std::to_string(cap) + " bytes",
                    kbzCloseMessageTooBig);
    };
    auto checkEnd = [&](InflateStop stop, const InflateInput& input, const z_stream& z) {
        if (stop == InflateStop::FinalBlock && input.Left(z) > SyncMarker.size())
        {
            throw fail("Compressed message has data after its final block", kbzCloseInvalidPayload);
        }
        if (stop == InflateStop::Truncated)
        {
            throw fail("Compressed message is truncated", kbzCloseInvalidPayload);
        }
    };
    auto admit = [&](std::uint64_t total) {
        if (total > cap)
        {
            throw tooBig();
        }
        if (budget != nullptr && !budget->Acquire(total))
        {
            throw fail("Decompressed message does not fit in the buffer budget",
                       kbzCloseMessageTooBig);
        }
    };

    InflateInput input{{data.data(), SyncMarker.data()}, {data.size(), SyncMarker.size()}};
    s.avail_in = 0;
    // The usual ratio is below 4; a buffer that fills is doubled up to InflateDirectBytes.
    TBytes out(static_cast<std::size_t>(std::min<std::uint64_t>(
        std::max<std::uint64_t>(static_cast<std::uint64_t>(data.size()) * 4, 256), cap + 1)));
    std::size_t produced = 0;
    InflateStop stop;
    for (;;)
    {
        std::size_t n = 0;
        stop = InflateInto(s, input, out.data() + produced, out.size() - produced, n, fail);
        produced += n;
        if (produced > cap)
        {
            throw tooBig();
        }
        if (stop != InflateStop::OutputFull || out.size() >= InflateDirectBytes || out.size() > cap)
        {
            break;
        }
        out.resize(static_cast<std::size_t>(std::min<std::uint64_t>(
            std::min<std::size_t>(out.size() * 2, InflateDirectBytes), cap + 1)));
    }
    if (stop != InflateStop::OutputFull)
    {
        checkEnd(stop, input, s);
        admit(produced);
        EndOfMessage(stop == InflateStop::FinalBlock);
        out.resize(produced);
        data.swap(out);
        return;
    }

    // Larger: a probe inflates the rest from a copy of the stream only to count
    // it, so that the message is held once at its final size, never in growing copies.
    std::uint64_t total = produced;
    {
        ZStreamPtr probe(new z_stream{}, ZStreamDeleter{false});
        const int rc = inflateCopy(probe.get(), &s);
        if (rc != Z_OK)
        {
            throw fail(FormatZLibError(rc), kbzCloseInternalError);
        }
        InflateInput probeInput = input;
        TBytes counting(InflateCountBytes);
        do
        {
            std::size_t n = 0;
            stop = InflateInto(*probe, probeInput, counting.data(), counting.size(), n, fail);
            total += n;
            if (total > cap)
            {
                throw tooBig();
            }
        } while (stop == InflateStop::OutputFull);
        checkEnd(stop, probeInput, *probe);
    }
    admit(total);
    // One spare byte, so that the real pass ends on its own stop and never on a full buffer.
    TBytes whole(static_cast<std::size_t>(total) + 1);
    std::memcpy(whole.data(), out.data(), produced);
    TBytes().swap(out);
    std::size_t rest = 0;
    stop = InflateInto(s, input, whole.data() + produced, whole.size() - produced, rest, fail);
    if (stop == InflateStop::OutputFull || produced + rest != total)
    {
        throw fail(FormatZLibError(Z_STREAM_ERROR), kbzCloseInternalError);
    }
    EndOfMessage(stop == InflateStop::FinalBlock);
    whole.resize(static_cast<std::size_t>(total));
    data.swap(whole);
    NoteLargeFree(whole.capacity() > LargeBufferBytes ? whole.capacity() : 0);
}

// ---- Header parsing -------------------------------------------------------------------------

ExtensionItem ParseExtensionItem(std::string_view item)
{
    ExtensionItem result;
    bool first = true;
    std::size_t start = 0;
    for (;;)
    {
        const std::size_t end = std::min(item.find(';', start), item.size());
        const std::string part = kbzTrim(item.substr(start, end - start));
        if (first)
        {
            result.name = part;
            first = false;
        }
        else if (!part.empty())
        {
            ExtensionParam param;
            const auto eq = part.find('=');
            if (eq == std::string::npos)
            {
                param.name = part;
            }
            else
            {
                param.name = kbzTrim(std::string_view(part).substr(0, eq));
                param.hasValue = true;
                param.value = Unquote(kbzTrim(std::string_view(part).substr(eq + 1)));
            }
            result.params.push_back(std::move(param));
        }
        if (end >= item.size())
        {
            break;
        }
        start = end + 1;
    }
    return result;
}

std::vector<std::string> SplitExtensionList(std::string_view value)
{
    std::vector<std::string> items;
    std::size_t start = 0;
    for (;;)
    {
        const std::size_t end = std::min(value.find(',', start), value.size());
        items.push_back(Unquote(std::string(value.substr(start, end - start))));
        if (end >= value.size())
        {
            break;
        }
        start = end + 1;
    }
    return items;
}

} // namespace detail

// ---- TkbzWSExtension_Base ------------------------------------------------------------------

std::string TkbzWSExtension_Base::GetHeaderExtension() const
{
    return "Sec-WebSocket-Extensions: " + FHeaderExtension;
}

bool TkbzWSExtension_Base::DecodeExtension(const std::string& /*item*/)
{
    return false;
}

void TkbzWSExtension_Base::DecodeHeader(std::uint8_t firstByte)
{
    const std::uint8_t opcode = firstByte & 0x0F;
    if (opcode == 0x0 || (opcode & 0x08) != 0)
    {
        return;
    }
    FMessageCompressed = (firstByte & 0x40) != 0;
}

void TkbzWSExtension_Base::EncodeHeader(std::uint8_t& firstByte)
{
    const std::uint8_t opcode = firstByte & 0x0F;
    if ((opcode == 0x1 || opcode == 0x2) && WillCompress())
    {
        firstByte = static_cast<std::uint8_t>(firstByte | 0x40);
    }
}

void TkbzWSExtension_Base::Assign(const TkbzWSExtension_Base& source)
{
    FEnabled = source.FEnabled;
    FMaxMessageSize = source.FMaxMessageSize;
    ResetNegotiation();
}

TkbzWSExtension_Base::TkbzWSExtension_Base() = default;
TkbzWSExtension_Base::~TkbzWSExtension_Base() = default;

void TkbzWSExtension_Base::ResetNegotiation() noexcept
{
    FActive = false;
    FMessageCompressed = false;
    if (FDeflater)
    {
        FDeflater->Reset();
    }
    if (FInflater)
    {
        FInflater->Reset();
    }
}

bool TkbzWSExtension_Base::WillCompress() const
{
    return FActive && OutgoingParams().windowBits >= 9;
}

bool TkbzWSExtension_Base::DeflateFrame(TBytes& data)
{
    if (!WillCompress())
    {
        return false;
    }
    if (data.empty())
    {
        // An empty RSV1 payload is not valid deflate data: the receiver's appended 00 00 FF FF
        // would read as the start of a stored block that swallows the next messages. One empty
        // stored block (the 0x00 left after dropping 00 00 FF FF) is the empty message.
        data.push_back(0x00);
        return true;
    }
    const TDeflateParams p = OutgoingParams();
    if (!FDeflater)
    {
        FDeflater = std::make_unique<detail::RawDeflater>();
    }
    FDeflater->Configure(p.level, p.windowBits, p.memLevel, p.contextTakeover);
    FDeflater->Compress(data);
    return true;
}

void TkbzWSExtension_Base::InflateFrame(TBytes& data)
{
    if (data.empty())
    {
        return; // what some peers send for an empty message; there is nothing to inflate
    }
    const TInflateParams p = IncomingParams();
    if (!FInflater)
    {
        FInflater = std::make_unique<detail::RawInflater>();
    }
    FInflater->Configure(p.windowBits, p.contextTakeover);
    FInflater->Decompress(data, FMaxMessageSize, FInflateBudget);
}

// ---- TkbzWSExtensions ----------------------------------------------------------------------

TkbzWSExtensions::TkbzWSExtensions()
    : FPerMessage_Deflate(std::make_unique<TkbzWSExtension_PerMessage_Deflate>()),
      FDeflateFrame(std::make_unique<TkbzWSExtension_DeflateFrame>())
{}

TkbzWSExtensions::~TkbzWSExtensions() = default;

void TkbzWSExtensions::SetMode(TwsApplicationMode value) noexcept
{
    FMode = value;
    FPerMessage_Deflate->SetMode(value);
    FDeflateFrame->SetMode(value);
}

std::int64_t TkbzWSExtensions::GetMaxMessageSize() const noexcept
{
    return FPerMessage_Deflate->GetMaxMessageSize();
}

void TkbzWSExtensions::SetMaxMessageSize(std::int64_t value) noexcept
{
    FPerMessage_Deflate->SetMaxMessageSize(value);
    FDeflateFrame->SetMaxMessageSize(value);
}

void TkbzWSExtensions::SetInflateBudget(detail::ByteBudgetShare* share) noexcept
{
    FPerMessage_Deflate->SetInflateBudget(share);
    FDeflateFrame->SetInflateBudget(share);
}

bool TkbzWSExtensions::Compression() const noexcept
{
    return FPerMessage_Deflate->GetActive() || FDeflateFrame->GetActive();
}

std::vector<std::string> TkbzWSExtensions::List() const
{
    std::vector<std::string> names;
    if (FPerMessage_Deflate->GetActive())
    {
        names.emplace_back("permessage-deflate");
    }
    if (FDeflateFrame->GetActive())
    {
        names.emplace_back("x-webkit-deflate-frame");
    }
    return names;
}

void TkbzWSExtensions::WriteHeader(std::vector<std::string>& headers) const
{
    const bool client = FMode == TwsApplicationMode::appClient;
    for (const TkbzWSExtension_Base* ext :
         {static_cast<const TkbzWSExtension_Base*>(FPerMessage_Deflate.get()),
          static_cast<const TkbzWSExtension_Base*>(FDeflateFrame.get())})
    {
        if (client ? ext->GetEnabled() : ext->GetActive())
        {
            headers.push_back(ext->GetHeaderExtension());
        }
    }
}

void TkbzWSExtensions::DecodeExtensions(const std::string& value)
{
    for (const std::string& item : detail::SplitExtensionList(value))
    {
        if (FPerMessage_Deflate->GetEnabled() && !FPerMessage_Deflate->GetActive() &&
            FPerMessage_Deflate->DecodeExtension(item))
        {
            FPerMessage_Deflate->SetActive(true);
        }
        if (FDeflateFrame->GetEnabled() && !FPerMessage_Deflate->GetActive() &&
            !FDeflateFrame->GetActive() && FDeflateFrame->DecodeExtension(item))
        {
            FDeflateFrame->SetActive(true);
        }
    }
    // Both extensions claim RSV1; a peer told both could not know which one a message used, so
    // only the one that compresses (permessage-deflate) stays agreed.
    if (FPerMessage_Deflate->GetActive() && FDeflateFrame->GetActive())
    {
        FDeflateFrame->ResetNegotiation();
    }
    FExtensionNegotiated = Compression();
}

TkbzWSExtension_Base* TkbzWSExtensions::InForce() const noexcept
{
    if (FPerMessage_Deflate->GetActive())
    {
        return FPerMessage_Deflate.get();
    }
    if (FDeflateFrame->GetActive())
    {
        return FDeflateFrame.get();
    }
    return nullptr;
}

void TkbzWSExtensions::EncodeHeader(std::uint8_t& firstByte) const
{
    if (auto* ext = InForce())
    {
        ext->EncodeHeader(firstByte);
    }
}

void TkbzWSExtensions::DecodeHeader(std::uint8_t firstByte)
{
    if (auto* ext = InForce())
    {
        ext->DecodeHeader(firstByte);
    }
}

bool TkbzWSExtensions::WillCompress() const
{
    const auto* ext = InForce();
    return ext != nullptr && ext->WillCompress();
}

bool TkbzWSExtensions::MessageCompressed() const noexcept
{
    const auto* ext = InForce();
    return ext != nullptr && ext->GetMessageCompressed();
}

bool TkbzWSExtensions::WriteStream(TBytes& data)
{
    auto* ext = InForce();
    return ext != nullptr && ext->DeflateFrame(data);
}

void TkbzWSExtensions::ReadStream(TBytes& data)
{
    ReadStream(data, MessageCompressed());
}

void TkbzWSExtensions::ReadStream(TBytes& data, bool compressed)
{
    auto* ext = InForce();
    if (ext != nullptr && compressed)
    {
        ext->InflateFrame(data);
    }
}

void TkbzWSExtensions::Assign(const TkbzWSExtensions& source)
{
    SetMode(source.FMode);
    FPerMessage_Deflate->Assign(*source.FPerMessage_Deflate);
    FDeflateFrame->Assign(*source.FDeflateFrame);
    FExtensionNegotiated = false;
}

} // namespace kbz
