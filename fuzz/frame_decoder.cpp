// Fuzzes the RFC 6455 and Hixie-76 frame decoders. The first input byte chooses the
// options and how the rest is cut into reads; the same bytes are also decoded whole, and
// both runs must report exactly the same results, so resuming across reads is checked too.
//
// First byte: bits 0-2 cut size (0: one byte per read, n: pieces of 1 to 4^n bytes),
// bit 3 validate UTF-8, bit 4 server side, bit 5 extension negotiated, bits 6-7 fragment
// delivery mode (3: frgOnlyBuffer with a small message limit).
#include "websocket/kbzWebSocket_Codec.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>
#include <vector>

namespace
{
using namespace kbz;

std::uint64_t Hash(std::span<const std::uint8_t> p)
{
    std::uint64_t h = 1469598103934665603ULL;
    for (const std::uint8_t b : p)
        h = (h ^ b) * 1099511628211ULL;
    return h;
}

void Check(bool condition)
{
    if (!condition)
        std::abort();
}

// Cuts input into reads of pseudo-random sizes fixed by the control byte.
std::vector<std::span<const std::uint8_t>> Cut(std::span<const std::uint8_t> input,
                                               std::uint8_t control)
{
    std::vector<std::span<const std::uint8_t>> pieces;
    const unsigned bits = control & 0x07u;
    const std::size_t maxPiece = std::size_t{1} << (2 * bits);
    std::uint32_t seed = 0x9E3779B9u ^ control;
    while (!input.empty())
    {
        seed = seed * 1664525u + 1013904223u;
        std::size_t n = 1 + (seed >> 8) % maxPiece;
        n = std::min(n, input.size());
        pieces.push_back(input.first(n));
        input = input.subspan(n);
    }
    return pieces;
}

struct TEvent
{
    TkbzWSDecodeResult Result;
    TOpcode OpCode;
    bool More;
    bool Compressed;
    std::uint64_t Size;
    std::uint64_t Hash;
    std::uint16_t Code;
    std::string Text;
    bool operator==(const TEvent&) const = default;
};

std::vector<TEvent> DecodeFrames(const TkbzWSDecoderOptions& options,
                                 const std::vector<std::span<const std::uint8_t>>& pieces)
{
    TkbzWSFrameDecoder d(options);
    std::vector<TEvent> out;
    for (std::span<const std::uint8_t> in : pieces)
    {
        TkbzWSDecodeResult r;
        while ((r = d.Decode(in)) != TkbzWSDecodeResult::drNeedMore)
        {
            const TkbzWSMsg& m = d.Msg();
            TEvent e{r, m.FOpCode, d.MoreFrames(), m.FCompressed, m.FStream.size(), Hash(m.FStream),
                     0, {}};
            switch (r)
            {
            case TkbzWSDecodeResult::drError:
                e = TEvent{r, TOpcode::opNone, false, false, 0, 0, d.ErrorCode(), d.ErrorText()};
                out.push_back(e);
                Check(d.Failed());
                Check(d.Decode(in) == TkbzWSDecodeResult::drError);
                return out;
            case TkbzWSDecodeResult::drControl:
                Check(kbzIsControlOpcode(m.FOpCode));
                Check(m.FStream.size() <= kbzMaxControlPayload);
                if (m.FOpCode == TOpcode::opClose)
                {
                    e.Code = d.CloseCode();
                    e.Text = d.CloseReason();
                    Check(e.Code == 0 || kbzIsValidCloseCode(e.Code));
                    Check(TkbzUTF8Validator::IsValid(e.Text));
                }
                break;
            case TkbzWSDecodeResult::drMessage:
            case TkbzWSDecodeResult::drFragment:
                Check(m.FOpCode == TOpcode::opText || m.FOpCode == TOpcode::opBinary);
                Check(options.MaxMessageSize == 0 || m.FStream.size() <= options.MaxMessageSize);
                Check(options.ExtensionNegotiated || !m.FCompressed);
                if (r == TkbzWSDecodeResult::drMessage && options.ValidateUTF8 &&
                    m.FOpCode == TOpcode::opText && !m.FCompressed)
                    Check(TkbzUTF8Validator::IsValid(m.FStream));
                break;
            case TkbzWSDecodeResult::drNeedMore:
                break;
            }
            out.push_back(e);
        }
        Check(in.empty());
    }
    return out;
}

std::vector<std::string> DecodeHixie(const std::vector<std::span<const std::uint8_t>>& pieces,
                                     bool validate)
{
    TkbzHixie76Decoder d;
    d.MaxMessageSize = 4096;
    d.ValidateUTF8 = validate;
    std::vector<std::string> out;
    for (std::span<const std::uint8_t> in : pieces)
    {
        TkbzHixie76Result r;
        while ((r = d.Decode(in)) != TkbzHixie76Result::hxNeedMore)
        {
            if (r == TkbzHixie76Result::hxText)
            {
                Check(d.Text().find('\xff') == std::string::npos);
                out.push_back("t" + d.Text());
            }
            else if (r == TkbzHixie76Result::hxClose)
                out.push_back("c");
            else
            {
                out.push_back("e" + d.ErrorText());
                return out;
            }
        }
    }
    return out;
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 1)
        return 0;
    const std::uint8_t control = data[0];
    const std::span<const std::uint8_t> input(data + 1, size - 1);

    TkbzWSDecoderOptions options;
    options.ValidateUTF8 = (control & 0x08) != 0;
    options.MaskRequired = (control & 0x10) != 0;
    options.ExtensionNegotiated = (control & 0x20) != 0;
    switch (control >> 6)
    {
    case 0:
        options.FragmentedMessages = TwsFragmentedMessages::frgOnlyBuffer;
        options.MaxMessageSize = 1 << 20;
        break;
    case 1:
        options.FragmentedMessages = TwsFragmentedMessages::frgOnlyFragmented;
        options.MaxMessageSize = 1 << 20;
        break;
    case 2:
        options.FragmentedMessages = TwsFragmentedMessages::frgAll;
        options.MaxMessageSize = 1 << 20;
        break;
    default:
        options.FragmentedMessages = TwsFragmentedMessages::frgOnlyBuffer;
        options.MaxMessageSize = 64;
        break;
    }

    const std::vector<std::span<const std::uint8_t>> whole{input};
    const std::vector<std::span<const std::uint8_t>> pieces = Cut(input, control);
    Check(DecodeFrames(options, whole) == DecodeFrames(options, pieces));
    Check(DecodeHixie(whole, options.ValidateUTF8) == DecodeHixie(pieces, options.ValidateUTF8));

    // Our own writer's frames, with the input as payload split into up to three fragments
    // and a ping between them, decode back to the same message.
    {
        TkbzWSDecoderOptions rt = options;
        rt.ExtensionNegotiated = false;
        rt.MaxMessageSize = 0;
        std::vector<std::uint8_t> wire;
        const std::size_t a = input.size() / 3;
        const std::size_t b = input.size() - input.size() / 4;
        const std::span<const std::uint8_t> parts[] = {input.first(a), input.subspan(a, b - a),
                                                       input.subspan(b)};
        for (std::size_t k = 0; k < 3; ++k)
        {
            kbzAppendFrame(wire, k == 0 ? TOpcode::opBinary : TOpcode::opContinuation, parts[k],
                           rt.MaskRequired, k == 2);
            if (k == 0)
                kbzAppendFrame(wire, TOpcode::opPing, input.first(std::min<std::size_t>(a, 125)),
                               rt.MaskRequired);
        }
        const auto cut = Cut(wire, control);
        TkbzWSFrameDecoder d(rt);
        std::vector<std::uint8_t> got;
        bool message = false;
        for (std::span<const std::uint8_t> in : cut)
        {
            TkbzWSDecodeResult r;
            while ((r = d.Decode(in)) != TkbzWSDecodeResult::drNeedMore)
            {
                Check(r != TkbzWSDecodeResult::drError);
                if (r == TkbzWSDecodeResult::drMessage)
                {
                    Check(!message);
                    message = true;
                    got = d.Msg().FStream;
                }
                else if (r == TkbzWSDecodeResult::drFragment &&
                         rt.FragmentedMessages == TwsFragmentedMessages::frgOnlyFragmented)
                    got.insert(got.end(), d.Msg().FStream.begin(), d.Msg().FStream.end());
            }
        }
        if (rt.FragmentedMessages != TwsFragmentedMessages::frgOnlyFragmented)
            Check(message);
        Check(got.size() == input.size() && std::equal(got.begin(), got.end(), input.begin()));
    }

    // The incremental validator agrees with itself whatever the cut.
    TkbzUTF8Validator v;
    bool ok = true;
    for (const auto& p : pieces)
        ok = v.Feed(p) && ok;
    Check((ok && v.Finish()) == TkbzUTF8Validator::IsValid(input));
    return 0;
}
