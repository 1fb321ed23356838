// Frame codec speed: unmasking (byte loop, 64-bit words, and the dispatched routine),
// UTF-8 validation (ASCII and mixed multilingual text), and frame encode/decode by size.
#include "websocket/kbzWebSocket_Codec.h"
#include "websocket/kbzWebSocket_Codec_Internal.h"

#include <benchmark/benchmark.h>
#include <cstdint>
#include <string>
#include <vector>

namespace
{
using namespace kbz;

const std::uint8_t kKey[4] = {0x37, 0xfa, 0x21, 0x3d};

std::vector<std::uint8_t> Payload(std::size_t n)
{
    std::vector<std::uint8_t> b(n);
    for (std::size_t i = 0; i < n; ++i)
        b[i] = static_cast<std::uint8_t>(i * 31 + 7);
    return b;
}

template <void (*Fn)(std::uint8_t*, std::size_t, const std::uint8_t*, std::size_t) noexcept>
void BM_Mask(benchmark::State& state)
{
    std::vector<std::uint8_t> data = Payload(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state)
    {
        Fn(data.data(), data.size(), kKey, 0);
        benchmark::DoNotOptimize(data.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

void MaskDispatched(std::uint8_t* d, std::size_t n, const std::uint8_t* k, std::size_t o) noexcept
{
    kbzMaskPayload(d, n, k, o);
}

BENCHMARK_TEMPLATE(BM_Mask, &detail::MaskPayloadBytes)->Name("Mask/bytes")->Arg(1024)->Arg(65536);
BENCHMARK_TEMPLATE(BM_Mask, &detail::MaskPayloadWords)->Name("Mask/words64")->Arg(1024)->Arg(65536);
BENCHMARK_TEMPLATE(BM_Mask, &MaskDispatched)
    ->Name("Mask/dispatched")
    ->Arg(16)
    ->Arg(1024)
    ->Arg(65536)
    ->Arg(1 << 20);

// Text of the given size: plain ASCII, or a mix of Latin, Greek, Cyrillic, CJK and emoji.
std::string Text(std::size_t n, bool ascii)
{
    const std::string piece =
        ascii ? std::string("The quick brown fox jumps over the lazy dog; 0123456789. ")
              : std::string("Hello, \xce\xba\xcf\x8c\xcf\x83\xce\xbc\xce\xb5! "
                            "\xd0\x9f\xd1\x80\xd0\xb8\xd0\xb2\xd0\xb5\xd1\x82 \xd0\xbc\xd0\xb8"
                            "\xd1\x80, \xe4\xbd\xa0\xe5\xa5\xbd\xe4\xb8\x96\xe7\x95\x8c "
                            "\xf0\x9f\x98\x80 caf\xc3\xa9 ");
    std::string s;
    while (s.size() + piece.size() <= n)
        s += piece;
    s.append(n - s.size(), 'x');
    return s;
}

void BM_UTF8(benchmark::State& state, bool ascii)
{
    const std::string text = Text(65536, ascii);
    for (auto _ : state)
        benchmark::DoNotOptimize(TkbzUTF8Validator::IsValid(text));
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(text.size()));
}
BENCHMARK_CAPTURE(BM_UTF8, ascii, true)->Name("UTF8/ascii_64KiB");
BENCHMARK_CAPTURE(BM_UTF8, mixed, false)->Name("UTF8/multilingual_64KiB");

// A client frame as it is sent: fresh key, masked payload, into a reused buffer.
void BM_Encode(benchmark::State& state)
{
    const std::vector<std::uint8_t> payload = Payload(static_cast<std::size_t>(state.range(0)));
    std::vector<std::uint8_t> out;
    for (auto _ : state)
    {
        out.clear();
        kbzAppendFrame(out, TOpcode::opBinary, payload, true);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_Encode)->Name("Frame/encode_masked")->Arg(16)->Arg(1024)->Arg(65536)->Arg(1 << 20);

// A server decoding masked client frames: header, copy into the message, unmask.
void BM_Decode(benchmark::State& state)
{
    const std::size_t n = static_cast<std::size_t>(state.range(0));
    const std::vector<std::uint8_t> payload = Payload(n);
    // Several frames per buffer for small sizes, so the loop overhead is not what we measure.
    const std::size_t frames = std::max<std::size_t>(1, 65536 / (n + 14));
    std::vector<std::uint8_t> wire;
    for (std::size_t i = 0; i < frames; ++i)
        kbzAppendFrameWithKey(wire, TOpcode::opBinary, payload, kKey);
    TkbzWSDecoderOptions options;
    options.MaskRequired = true;
    TkbzWSFrameDecoder decoder(options);
    std::size_t messages = 0;
    for (auto _ : state)
    {
        std::span<const std::uint8_t> in(wire);
        while (decoder.Decode(in) == TkbzWSDecodeResult::drMessage)
        {
            benchmark::DoNotOptimize(decoder.Msg().FStream.data());
            ++messages;
        }
    }
    if (messages != static_cast<std::size_t>(state.iterations()) * frames)
        state.SkipWithError("decoder lost messages");
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(frames * n));
    state.counters["frames/s"] =
        benchmark::Counter(static_cast<double>(messages), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_Decode)->Name("Frame/decode_masked")->Arg(16)->Arg(1024)->Arg(65536)->Arg(1 << 20);

} // namespace
