#include "websocket/kbzWebSocket_Codec.h"

#include "base/kbzBase_Classes.h"
#include "websocket/kbzWebSocket_Codec_Internal.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <openssl/rand.h>
#include <pthread.h>
#include <sys/random.h>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define KBZ_CODEC_X86 1
#endif

namespace kbz
{

namespace
{
constexpr std::uint16_t kCloseInvalidUTF8 = 1007;
constexpr std::uint16_t kCloseTooBig = 1009;
} // namespace

// ---- Opcodes ----

namespace
{
// Indexed by the ordinal of TOpcode; the wire value is never the ordinal itself.
constexpr std::uint8_t kOpcodeWire[] = {0x0, 0x1, 0x2, 0x8, 0x9, 0xA};
constexpr const char* kOpcodeNames[] = {"continuation", "text", "binary", "close", "ping", "pong"};
} // namespace

std::uint8_t kbzOpcodeToWire(TOpcode opcode) noexcept
{
    const auto i = static_cast<std::size_t>(opcode);
    return i < std::size(kOpcodeWire) ? kOpcodeWire[i] : 0xFF;
}

std::optional<TOpcode> kbzWireToOpcode(std::uint8_t nibble) noexcept
{
    using enum TOpcode;
    switch (nibble)
    {
    case 0x0:
        return opContinuation;
    case 0x1:
        return opText;
    case 0x2:
        return opBinary;
    case 0x8:
        return opClose;
    case 0x9:
        return opPing;
    case 0xA:
        return opPong;
    default:
        return std::nullopt;
    }
}

bool kbzIsControlOpcode(TOpcode opcode) noexcept
{
    using enum TOpcode;
    return opcode == opClose || opcode == opPing || opcode == opPong;
}

const char* kbzOpcodeName(TOpcode opcode) noexcept
{
    const auto i = static_cast<std::size_t>(opcode);
    return i < std::size(kOpcodeNames) ? kOpcodeNames[i] : "none";
}

bool kbzIsValidCloseCode(std::uint32_t code) noexcept
{
    return (code >= 1000 && code <= 1003) || (code >= 1007 && code <= 1014) ||
           (code >= 3000 && code <= 4999);
}

// ---- Masking ----

namespace detail
{
void MaskPayloadBytes(std::uint8_t* data, std::size_t n, const std::uint8_t key[4],
                      std::size_t offset) noexcept
{
    for (std::size_t i = 0; i < n; ++i)
        data[i] ^= key[(offset + i) & 3];
}

namespace
{
// The key rotated so that its first byte applies to payload byte 0 of this piece.
inline std::uint32_t RotatedKey(const std::uint8_t key[4], std::size_t offset) noexcept
{
    std::uint8_t k[4];
    for (std::size_t j = 0; j < 4; ++j)
        k[j] = key[(offset + j) & 3];
    std::uint32_t k32;
    std::memcpy(&k32, k, 4);
    return k32;
}
} // namespace

void MaskPayloadWords(std::uint8_t* data, std::size_t n, const std::uint8_t key[4],
                      std::size_t offset) noexcept
{
    const std::uint32_t k32 = RotatedKey(key, offset);
    const std::uint64_t k64 = (std::uint64_t{k32} << 32) | k32;
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8)
    {
        std::uint64_t w;
        std::memcpy(&w, data + i, 8);
        w ^= k64;
        std::memcpy(data + i, &w, 8);
    }
    for (; i < n; ++i)
        data[i] ^= key[(offset + i) & 3];
}

#ifdef KBZ_CODEC_X86
__attribute__((target("avx2"))) void MaskPayloadAVX2(std::uint8_t* data, std::size_t n,
                                                     const std::uint8_t key[4],
                                                     std::size_t offset) noexcept
{
    if (n < 32)
    {
        MaskPayloadWords(data, n, key, offset);
        return;
    }
    const __m256i kv = _mm256_set1_epi32(static_cast<int>(RotatedKey(key, offset)));
    std::size_t i = 0;
    for (; i + 128 <= n; i += 128)
    {
        auto* p = reinterpret_cast<__m256i*>(data + i);
        const __m256i a = _mm256_loadu_si256(p);
        const __m256i b = _mm256_loadu_si256(p + 1);
        const __m256i c = _mm256_loadu_si256(p + 2);
        const __m256i d = _mm256_loadu_si256(p + 3);
        _mm256_storeu_si256(p, _mm256_xor_si256(a, kv));
        _mm256_storeu_si256(p + 1, _mm256_xor_si256(b, kv));
        _mm256_storeu_si256(p + 2, _mm256_xor_si256(c, kv));
        _mm256_storeu_si256(p + 3, _mm256_xor_si256(d, kv));
    }
    for (; i + 32 <= n; i += 32)
    {
        auto* p = reinterpret_cast<__m256i*>(data + i);
        _mm256_storeu_si256(p, _mm256_xor_si256(_mm256_loadu_si256(p), kv));
    }
    MaskPayloadWords(data + i, n - i, key, offset + i);
}

bool CpuHasAVX2() noexcept
{
    static const bool has = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx2") != 0;
    }();
    return has;
}
#else
void MaskPayloadAVX2(std::uint8_t* data, std::size_t n, const std::uint8_t key[4],
                     std::size_t offset) noexcept
{
    MaskPayloadWords(data, n, key, offset);
}

bool CpuHasAVX2() noexcept
{
    return false;
}
#endif
} // namespace detail

namespace
{
using MaskFn = void (*)(std::uint8_t*, std::size_t, const std::uint8_t*, std::size_t) noexcept;

MaskFn ChooseMask() noexcept
{
    return detail::CpuHasAVX2() ? &detail::MaskPayloadAVX2 : &detail::MaskPayloadWords;
}
} // namespace

void kbzMaskPayload(std::uint8_t* data, std::size_t n, const std::uint8_t key[4],
                    std::size_t offset) noexcept
{
    if (n < 16)
    {
        detail::MaskPayloadBytes(data, n, key, offset);
        return;
    }
    static const MaskFn fn = ChooseMask();
    fn(data, n, key, offset);
}

// ---- Masking keys ----

namespace
{
// A forked child must not hand out the keys its parent already used; the generation
// changes in the child and every thread's pool refills.
std::atomic<unsigned> gForkGeneration{0};

void OnForkChild() noexcept
{
    gForkGeneration.fetch_add(1, std::memory_order_relaxed);
}

void FillRandom(std::uint8_t* p, std::size_t n)
{
    while (n > 0)
    {
        const ssize_t r = ::getrandom(p, n, 0);
        if (r > 0)
        {
            p += r;
            n -= static_cast<std::size_t>(r);
            continue;
        }
        if (r < 0 && errno == EINTR)
            continue;
        // No getrandom (old kernel, seccomp): OpenSSL's generator is just as good.
        if (RAND_bytes(p, static_cast<int>(n)) != 1)
            throw TkbzWSException("No random bytes available for a masking key");
        return;
    }
}

struct TKeyPool
{
    std::array<std::uint8_t, 4096> Bytes;
    std::size_t Position = 4096; // empty until first use
    unsigned Generation = 0;
};
} // namespace

void kbzGetMaskingKey(std::uint8_t key[4])
{
    static const bool registered = [] {
        ::pthread_atfork(nullptr, nullptr, &OnForkChild);
        return true;
    }();
    (void)registered;
    thread_local TKeyPool pool;
    const unsigned generation = gForkGeneration.load(std::memory_order_relaxed);
    if (pool.Position + 4 > pool.Bytes.size() || pool.Generation != generation)
    {
        FillRandom(pool.Bytes.data(), pool.Bytes.size());
        pool.Position = 0;
        pool.Generation = generation;
    }
    std::memcpy(key, pool.Bytes.data() + pool.Position, 4);
    // Used key bytes are wiped so that nothing later in this thread can read them back.
    std::memset(pool.Bytes.data() + pool.Position, 0, 4);
    pool.Position += 4;
}

// ---- Frame writer ----

std::uint8_t kbzEncodeFirstByte(TOpcode opcode, bool moreFrames, bool rsv1) noexcept
{
    std::uint8_t b = kbzOpcodeToWire(opcode) & 0x0F;
    if (!moreFrames)
        b |= 0x80;
    if (rsv1)
        b |= 0x40;
    return b;
}

std::size_t kbzEncodePayloadLength(std::uint8_t* out, std::uint64_t n, bool masked) noexcept
{
    const std::uint8_t m = masked ? 0x80 : 0x00;
    if (n < 126)
    {
        out[0] = static_cast<std::uint8_t>(m | n);
        return 1;
    }
    if (n <= 0xFFFF)
    {
        out[0] = m | 126;
        out[1] = static_cast<std::uint8_t>(n >> 8);
        out[2] = static_cast<std::uint8_t>(n);
        return 3;
    }
    out[0] = m | 127;
    for (int i = 0; i < 8; ++i)
        out[1 + i] = static_cast<std::uint8_t>(n >> (56 - 8 * i));
    return 9;
}

std::size_t kbzFrameHeaderSize(std::uint64_t n, bool masked) noexcept
{
    const std::size_t len = n < 126 ? 1 : (n <= 0xFFFF ? 3 : 9);
    return 1 + len + (masked ? 4 : 0);
}

namespace
{
void CheckFrame(TOpcode opcode, std::uint64_t n, bool fin, bool rsv1)
{
    using enum TOpcode;
    if (opcode == opNone)
        throw TkbzWSException(kbzCodecText::InvalidOpcode);
    if (kbzIsControlOpcode(opcode))
    {
        if (n > kbzMaxControlPayload)
            throw TkbzWSException(kbzCodecText::ControlTooLong);
        if (!fin)
            throw TkbzWSException(kbzCodecText::ControlFragmented);
    }
    // RSV1 marks a compressed message, which only its first frame can say.
    if (rsv1 && (opcode == opContinuation || kbzIsControlOpcode(opcode)))
        throw TkbzWSException(kbzCodecText::InvalidRsv);
}

void AppendFrameImpl(std::vector<std::uint8_t>& out, TOpcode opcode,
                     std::span<const std::uint8_t> payload, const std::uint8_t* key, bool fin,
                     bool rsv1)
{
    std::uint8_t header[14];
    const std::size_t h = kbzBuildFrameHeader(header, opcode, payload.size(), key, fin, rsv1);
    const std::size_t start = out.size();
    // Frames appended one after another to one buffer grow it geometrically.
    const std::size_t needed = start + h + payload.size();
    if (needed > out.capacity())
    {
        out.reserve(std::max(needed, 2 * out.capacity()));
    }
    out.insert(out.end(), header, header + h);
    out.insert(out.end(), payload.begin(), payload.end());
    if (key != nullptr)
        kbzMaskPayload(out.data() + start + h, payload.size(), key, 0);
}
} // namespace

std::size_t kbzBuildFrameHeader(std::uint8_t (&out)[14], TOpcode opcode, std::uint64_t n,
                                const std::uint8_t* key, bool fin, bool rsv1)
{
    CheckFrame(opcode, n, fin, rsv1);
    out[0] = kbzEncodeFirstByte(opcode, !fin, rsv1);
    std::size_t h = 1 + kbzEncodePayloadLength(out + 1, n, key != nullptr);
    if (key != nullptr)
    {
        std::memcpy(out + h, key, 4);
        h += 4;
    }
    return h;
}

void kbzAppendFrame(std::vector<std::uint8_t>& out, TOpcode opcode,
                    std::span<const std::uint8_t> payload, bool masked, bool fin, bool rsv1)
{
    if (!masked)
    {
        AppendFrameImpl(out, opcode, payload, nullptr, fin, rsv1);
        return;
    }
    std::uint8_t key[4];
    kbzGetMaskingKey(key);
    AppendFrameImpl(out, opcode, payload, key, fin, rsv1);
}

void kbzAppendFrameWithKey(std::vector<std::uint8_t>& out, TOpcode opcode,
                           std::span<const std::uint8_t> payload, const std::uint8_t key[4],
                           bool fin, bool rsv1)
{
    AppendFrameImpl(out, opcode, payload, key, fin, rsv1);
}

std::vector<std::uint8_t> kbzBuildFrame(TOpcode opcode, std::span<const std::uint8_t> payload,
                                        bool masked, bool fin, bool rsv1)
{
    std::vector<std::uint8_t> out;
    kbzAppendFrame(out, opcode, payload, masked, fin, rsv1);
    return out;
}

std::vector<std::uint8_t> kbzBuildClosePayload(std::uint16_t code, std::string_view reason)
{
    std::vector<std::uint8_t> out;
    if (code == 0)
        return out;
    constexpr std::size_t maxReason = kbzMaxControlPayload - 2;
    if (reason.size() > maxReason)
    {
        // Cut before a continuation byte never splits a character.
        std::size_t cut = maxReason;
        while (cut > 0 && (static_cast<std::uint8_t>(reason[cut]) & 0xC0) == 0x80)
            --cut;
        reason = reason.substr(0, cut);
    }
    out.reserve(2 + reason.size());
    out.push_back(static_cast<std::uint8_t>(code >> 8));
    out.push_back(static_cast<std::uint8_t>(code));
    out.insert(out.end(), reason.begin(), reason.end());
    return out;
}

std::vector<std::uint8_t> kbzBuildHixie76Text(std::string_view text)
{
    std::vector<std::uint8_t> out;
    out.reserve(text.size() + 2);
    out.push_back(0x00);
    out.insert(out.end(), text.begin(), text.end());
    out.push_back(0xFF);
    return out;
}

// ---- UTF-8 ----

namespace
{
// For each lead byte: how many continuation bytes follow and the range allowed for the
// first of them (the narrowed ranges refuse overlongs, surrogates and > U+10FFFF).
// Need 0 marks a byte that cannot start a sequence (ASCII is handled before the table).
struct TLead
{
    std::uint8_t Need;
    std::uint8_t Low;
    std::uint8_t High;
};

constexpr std::array<TLead, 256> MakeLeadTable()
{
    std::array<TLead, 256> t{};
    for (int b = 0xC2; b <= 0xDF; ++b)
        t[static_cast<std::size_t>(b)] = {1, 0x80, 0xBF};
    t[0xE0] = {2, 0xA0, 0xBF};
    for (int b = 0xE1; b <= 0xEF; ++b)
        t[static_cast<std::size_t>(b)] = {2, 0x80, 0xBF};
    t[0xED] = {2, 0x80, 0x9F};
    t[0xF0] = {3, 0x90, 0xBF};
    for (int b = 0xF1; b <= 0xF3; ++b)
        t[static_cast<std::size_t>(b)] = {3, 0x80, 0xBF};
    t[0xF4] = {3, 0x80, 0x8F};
    return t;
}

constexpr std::array<TLead, 256> kLead = MakeLeadTable();

// Index of the first byte at or after i that is not ASCII, or n.
inline std::size_t SkipASCIIWords(const std::uint8_t* p, std::size_t i, std::size_t n) noexcept
{
    constexpr std::uint64_t high = 0x8080808080808080ULL;
    for (; i + 8 <= n; i += 8)
    {
        std::uint64_t w;
        std::memcpy(&w, p + i, 8);
        if ((w & high) != 0)
        {
            if constexpr (std::endian::native == std::endian::little)
                return i + static_cast<std::size_t>(__builtin_ctzll(w & high) / 8);
            else
                break;
        }
    }
    while (i < n && p[i] < 0x80)
        ++i;
    return i;
}

#ifdef KBZ_CODEC_X86
__attribute__((target("avx2"))) inline std::size_t
SkipASCIIAVX2(const std::uint8_t* p, std::size_t i, std::size_t n) noexcept
{
    for (; i + 32 <= n; i += 32)
    {
        const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i));
        const auto mask = static_cast<unsigned>(_mm256_movemask_epi8(v));
        if (mask != 0)
            return i + static_cast<std::size_t>(__builtin_ctz(mask));
    }
    return SkipASCIIWords(p, i, n);
}
#endif

// Validates p[0..n) starting between sequences; a sequence cut by the end leaves its state
// in need/low/high for the next piece.
template <std::size_t (*Skip)(const std::uint8_t*, std::size_t, std::size_t) noexcept>
__attribute__((always_inline)) inline bool ValidateBody(const std::uint8_t* p, std::size_t n,
                                                        std::uint8_t& need, std::uint8_t& low,
                                                        std::uint8_t& high) noexcept
{
    std::size_t i = 0;
    while (i < n)
    {
        if (p[i] < 0x80)
        {
            i = Skip(p, i, n);
            continue;
        }
        const TLead lead = kLead[p[i]];
        if (lead.Need == 0)
            return false;
        if (i + lead.Need < n)
        {
            const std::uint8_t b1 = p[i + 1];
            if (b1 < lead.Low || b1 > lead.High)
                return false;
            if (lead.Need >= 2 && (p[i + 2] & 0xC0) != 0x80)
                return false;
            if (lead.Need == 3 && (p[i + 3] & 0xC0) != 0x80)
                return false;
            i += lead.Need + 1u;
            continue;
        }
        need = lead.Need;
        low = lead.Low;
        high = lead.High;
        for (++i; i < n; ++i)
        {
            if (p[i] < low || p[i] > high)
                return false;
            low = 0x80;
            high = 0xBF;
            --need;
        }
        return true;
    }
    return true;
}

bool ValidateWords(const std::uint8_t* p, std::size_t n, std::uint8_t& need, std::uint8_t& low,
                   std::uint8_t& high) noexcept
{
    return ValidateBody<&SkipASCIIWords>(p, n, need, low, high);
}

#ifdef KBZ_CODEC_X86
// Block validation, 32 bytes per step: every byte is classified together with the byte
// before it by three 16-entry lookups (high and low nibble of the previous byte, high
// nibble of this one); each lookup yields the set of faults that its nibble allows, and a
// fault is present when all three allow it. Whether a byte must be the 2nd/3rd
// continuation of a longer sequence comes from the bytes two and three back.
namespace avx2
{
constexpr std::uint8_t kTooShort = 1 << 0;     // lead followed by ASCII or another lead
constexpr std::uint8_t kTooLong = 1 << 1;      // ASCII followed by a continuation
constexpr std::uint8_t kOverlong3 = 1 << 2;    // E0 80..9F
constexpr std::uint8_t kTooLarge = 1 << 3;     // F4 90..BF, F5..FF 90..BF
constexpr std::uint8_t kSurrogate = 1 << 4;    // ED A0..BF
constexpr std::uint8_t kOverlong2 = 1 << 5;    // C0/C1 followed by a continuation
constexpr std::uint8_t kTooLarge1000 = 1 << 6; // F5..FF 80..8F
constexpr std::uint8_t kOverlong4 = 1 << 6;    // F0 80..8F
constexpr std::uint8_t kTwoConts = 1 << 7;     // continuation after continuation
constexpr std::uint8_t kCarry = kTooShort | kTooLong | kTwoConts;

__attribute__((target("avx2"))) inline __m256i Table(const std::uint8_t (&t)[16]) noexcept
{
    const __m128i lane = _mm_loadu_si128(reinterpret_cast<const __m128i*>(t));
    return _mm256_broadcastsi128_si256(lane);
}

template <int N>
__attribute__((target("avx2"))) inline __m256i Prev(__m256i input, __m256i previous) noexcept
{
    return _mm256_alignr_epi8(input, _mm256_permute2x128_si256(previous, input, 0x21), 16 - N);
}

// Validates whole 32-byte blocks from p; returns the index where scalar validation must
// resume (the start of a sequence the last block may have cut), or n + 1 on a fault.
__attribute__((target("avx2"))) std::size_t Blocks(const std::uint8_t* p, std::size_t n) noexcept
{
    static constexpr std::uint8_t byte1High[16] = {kTooLong,
                                                   kTooLong,
                                                   kTooLong,
                                                   kTooLong,
                                                   kTooLong,
                                                   kTooLong,
                                                   kTooLong,
                                                   kTooLong,
                                                   kTwoConts,
                                                   kTwoConts,
                                                   kTwoConts,
                                                   kTwoConts,
                                                   kTooShort | kOverlong2,
                                                   kTooShort,
                                                   kTooShort | kOverlong3 | kSurrogate,
                                                   kTooShort | kTooLarge | kTooLarge1000 |
                                                       kOverlong4};
    static constexpr std::uint8_t byte1Low[16] = {kCarry | kOverlong3 | kOverlong2 | kOverlong4,
                                                  kCarry | kOverlong2,
                                                  kCarry,
                                                  kCarry,
                                                  kCarry | kTooLarge,
                                                  kCarry | kTooLarge | kTooLarge1000,
                                                  kCarry | kTooLarge | kTooLarge1000,
                                                  kCarry | kTooLarge | kTooLarge1000,
                                                  kCarry | kTooLarge | kTooLarge1000,
                                                  kCarry | kTooLarge | kTooLarge1000,
                                                  kCarry | kTooLarge | kTooLarge1000,
                                                  kCarry | kTooLarge | kTooLarge1000,
                                                  kCarry | kTooLarge | kTooLarge1000,
                                                  kCarry | kTooLarge | kTooLarge1000 | kSurrogate,
                                                  kCarry | kTooLarge | kTooLarge1000,
                                                  kCarry | kTooLarge | kTooLarge1000};
    static constexpr std::uint8_t byte2High[16] = {
        kTooShort,
        kTooShort,
        kTooShort,
        kTooShort,
        kTooShort,
        kTooShort,
        kTooShort,
        kTooShort,
        kTooLong | kOverlong2 | kTwoConts | kOverlong3 | kTooLarge1000 | kOverlong4,
        kTooLong | kOverlong2 | kTwoConts | kOverlong3 | kTooLarge,
        kTooLong | kOverlong2 | kTwoConts | kSurrogate | kTooLarge,
        kTooLong | kOverlong2 | kTwoConts | kSurrogate | kTooLarge,
        kTooShort,
        kTooShort,
        kTooShort,
        kTooShort};
    static constexpr std::uint8_t incompleteMax[32] = {
        0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
        0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
        0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xEF, 0xDF, 0xBF};

    const __m256i t1h = Table(byte1High);
    const __m256i t1l = Table(byte1Low);
    const __m256i t2h = Table(byte2High);
    const __m256i nibble = _mm256_set1_epi8(0x0F);
    const __m256i third = _mm256_set1_epi8(static_cast<char>(0xE0 - 0x80));
    const __m256i fourth = _mm256_set1_epi8(static_cast<char>(0xF0 - 0x80));
    const __m256i high = _mm256_set1_epi8(static_cast<char>(0x80));
    const __m256i maxv = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(incompleteMax));

    __m256i previous = _mm256_setzero_si256();
    __m256i previousIncomplete = _mm256_setzero_si256();
    __m256i error = _mm256_setzero_si256();
    std::size_t i = 0;
    for (; i + 32 <= n; i += 32)
    {
        const __m256i in = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i));
        if (_mm256_movemask_epi8(in) == 0)
        {
            // All ASCII: only a sequence left open by the previous block can be wrong.
            error = _mm256_or_si256(error, previousIncomplete);
            previousIncomplete = _mm256_setzero_si256();
            previous = in;
            continue;
        }
        const __m256i prev1 = Prev<1>(in, previous);
        const __m256i b1h =
            _mm256_shuffle_epi8(t1h, _mm256_and_si256(_mm256_srli_epi16(prev1, 4), nibble));
        const __m256i b1l = _mm256_shuffle_epi8(t1l, _mm256_and_si256(prev1, nibble));
        const __m256i b2h =
            _mm256_shuffle_epi8(t2h, _mm256_and_si256(_mm256_srli_epi16(in, 4), nibble));
        const __m256i special = _mm256_and_si256(_mm256_and_si256(b1h, b1l), b2h);
        const __m256i prev2 = Prev<2>(in, previous);
        const __m256i prev3 = Prev<3>(in, previous);
        const __m256i must23 = _mm256_and_si256(
            _mm256_or_si256(_mm256_subs_epu8(prev2, third), _mm256_subs_epu8(prev3, fourth)), high);
        error = _mm256_or_si256(error, _mm256_xor_si256(must23, special));
        previousIncomplete = _mm256_subs_epu8(in, maxv);
        previous = in;
    }
    if (!_mm256_testz_si256(error, error))
        return n + 1;
    // Resume at the start of the last sequence, which the blocks may have cut short.
    std::size_t j = i;
    while (j > 0 && i - j < 3 && (p[j - 1] & 0xC0) == 0x80)
        --j;
    if (j > 0 && p[j - 1] >= 0xC0)
        --j;
    return j;
}
} // namespace avx2

__attribute__((target("avx2"))) bool ValidateAVX2(const std::uint8_t* p, std::size_t n,
                                                  std::uint8_t& need, std::uint8_t& low,
                                                  std::uint8_t& high) noexcept
{
    std::size_t i = 0;
    if (n >= 64)
    {
        i = avx2::Blocks(p, n);
        if (i > n)
            return false;
    }
    return ValidateBody<&SkipASCIIAVX2>(p + i, n - i, need, low, high);
}
#endif

using ValidateFn = bool (*)(const std::uint8_t*, std::size_t, std::uint8_t&, std::uint8_t&,
                            std::uint8_t&) noexcept;

ValidateFn ChooseValidate() noexcept
{
#ifdef KBZ_CODEC_X86
    if (detail::CpuHasAVX2())
        return &ValidateAVX2;
#endif
    return &ValidateWords;
}
} // namespace

bool TkbzUTF8Validator::Feed(const std::uint8_t* data, std::size_t n) noexcept
{
    if (FFailed)
        return false;
    std::size_t i = 0;
    // Finish the sequence the previous piece left open.
    for (; FNeed != 0 && i < n; ++i)
    {
        if (data[i] < FLow || data[i] > FHigh)
        {
            FFailed = true;
            return false;
        }
        FLow = 0x80;
        FHigh = 0xBF;
        --FNeed;
    }
    if (i == n)
        return true;
    static const ValidateFn fn = ChooseValidate();
    if (!fn(data + i, n - i, FNeed, FLow, FHigh))
        FFailed = true;
    return !FFailed;
}

bool TkbzUTF8Validator::IsValid(std::span<const std::uint8_t> bytes) noexcept
{
    TkbzUTF8Validator v;
    return v.Feed(bytes) && v.Finish();
}

// ---- RFC 6455 decoder ----

void TkbzWSMsg::Clear() noexcept
{
    FContinuation = false;
    FFragmented = false;
    FCompressed = false;
    FReadMasked = false;
    FFirstByte = 0;
    FOpCode = TOpcode::opNone;
    FPayLoad = TPayload::pa7bits;
    FPayLoadLength = 0;
    FFrameOffset = 0;
    FMessageLength = 0;
    Mask = {};
    detail::ReleaseLargeBuffer(FStream);
}

void TkbzWSFrameDecoder::Reset() noexcept
{
    FBudget.ReleaseAll();
    FData.Clear();
    FControl.Clear();
    FCurrent = &FData;
    FValidator.Reset();
    FState = State::Header;
    FPending = Pending::None;
    FHeaderLen = 0;
    FHeaderSize = 2;
    FCloseCode = 0;
    FCloseReason.clear();
    FErrorCode = 0;
    FErrorText.clear();
}

TkbzWSDecodeResult TkbzWSFrameDecoder::Fail(std::uint16_t code, const char* text)
{
    FState = State::Failed;
    FBudget.ReleaseAll();
    FErrorCode = code;
    FErrorText = text;
    return TkbzWSDecodeResult::drError;
}

void TkbzWSFrameDecoder::ApplyPending() noexcept
{
    switch (FPending)
    {
    case Pending::ResetData:
        FData.Clear();
        FValidator.Reset();
        FBudget.ReleaseAll();
        break;
    case Pending::ResetControl:
        FControl.Clear();
        FCurrent = &FData;
        break;
    case Pending::FragmentDelivered:
        // Only frgOnlyFragmented hands out each piece alone; frgAll keeps gathering.
        if (FOptions.FragmentedMessages == TwsFragmentedMessages::frgOnlyFragmented)
        {
            FData.FStream.clear();
            FBudget.ReleaseAll();
        }
        break;
    case Pending::None:
    case Pending::MessageAfterFragment:
        break;
    }
    FPending = Pending::None;
}

TkbzWSDecodeResult TkbzWSFrameDecoder::Decode(const std::uint8_t* data, std::size_t size,
                                              std::size_t& consumed)
{
    std::span<const std::uint8_t> input(data, size);
    const TkbzWSDecodeResult r = Decode(input);
    consumed = size - input.size();
    return r;
}

TkbzWSDecodeResult TkbzWSFrameDecoder::Decode(std::span<const std::uint8_t>& input)
{
    using enum TkbzWSDecodeResult;
    if (FPending == Pending::MessageAfterFragment)
    {
        FPending = Pending::ResetData;
        FCurrent = &FData;
        return drMessage;
    }
    ApplyPending();

    while (true)
    {
        if (FState == State::Failed)
            return drError;
        if (input.empty())
            return drNeedMore;

        if (FState == State::Payload)
        {
            TkbzWSMsg& r = *FCurrent;
            const std::size_t take =
                static_cast<std::size_t>(std::min<std::uint64_t>(r.FPayLoadLength, input.size()));
            const std::size_t old = r.FStream.size();
            r.FStream.insert(r.FStream.end(), input.begin(),
                             input.begin() + static_cast<std::ptrdiff_t>(take));
            input = input.subspan(take);
            std::uint8_t* piece = r.FStream.data() + old;
            if (r.FReadMasked)
                kbzMaskPayload(piece, take, r.Mask.data(),
                               static_cast<std::size_t>(r.FFrameOffset & 3));
            r.FFrameOffset += take;
            r.FPayLoadLength -= take;
            // Uncompressed text is checked as it arrives, so a bad message fails at once.
            if (&r == &FData && r.FOpCode == TOpcode::opText && !r.FCompressed &&
                FOptions.ValidateUTF8 && !FValidator.Feed(piece, take))
                return Fail(kCloseInvalidUTF8, kbzCodecText::InvalidUTF8);
            if (r.FPayLoadLength == 0)
            {
                const TkbzWSDecodeResult res = CompleteFrame();
                if (res != drNeedMore)
                    return res;
            }
            continue;
        }

        // Header: the first two bytes are checked as soon as they arrive; the rest of the
        // header (extended length, key) is gathered and then read at once.
        if (FHeaderLen == 0)
        {
            FHeader[0] = input[0];
            FHeaderLen = 1;
            input = input.subspan(1);
            const TkbzWSDecodeResult res = CheckFirstByte(FHeader[0]);
            if (res != drNeedMore)
                return res;
            continue;
        }
        if (FHeaderLen == 1)
        {
            FHeader[1] = input[0];
            FHeaderLen = 2;
            input = input.subspan(1);
            TkbzWSDecodeResult res = CheckSecondByte(FHeader[1]);
            if (res == drNeedMore && FHeaderLen == FHeaderSize)
                res = FinishHeader();
            if (res != drNeedMore)
                return res;
            continue;
        }
        const std::size_t take = std::min<std::size_t>(FHeaderSize - FHeaderLen, input.size());
        std::memcpy(FHeader.data() + FHeaderLen, input.data(), take);
        FHeaderLen = static_cast<std::uint8_t>(FHeaderLen + take);
        input = input.subspan(take);
        if (FHeaderLen == FHeaderSize)
        {
            const TkbzWSDecodeResult res = FinishHeader();
            if (res != drNeedMore)
                return res;
        }
    }
}

TkbzWSDecodeResult TkbzWSFrameDecoder::CheckFirstByte(std::uint8_t b)
{
    using enum TOpcode;
    FCloseCode = 0;
    FCloseReason.clear();
    const bool fin = (b & 0x80) != 0;
    const std::uint8_t rsv = b & 0x70;
    const std::optional<TOpcode> op = kbzWireToOpcode(b & 0x0F);
    if (!op)
        return Fail(kbzCloseProtocolError, kbzCodecText::InvalidOpcode);
    switch (*op)
    {
    case opContinuation:
        if (FData.FOpCode == opNone)
            return Fail(kbzCloseProtocolError, kbzCodecText::ContinuationWithoutMessage);
        FCurrent = &FData;
        FData.FContinuation = true;
        break;
    case opText:
    case opBinary:
        if (FData.FOpCode != opNone)
            return Fail(kbzCloseProtocolError, *op == opText
                                                   ? kbzCodecText::TextInsideFragmented
                                                   : kbzCodecText::BinaryInsideFragmented);
        FCurrent = &FData;
        FData.FOpCode = *op;
        FData.FContinuation = false;
        FData.FFirstByte = b;
        // The message's compression is decided by its first frame alone; control frames
        // in between have their own record and cannot change it.
        FData.FCompressed = (rsv & 0x40) != 0;
        break;
    default:
        FControl.Clear();
        FControl.FOpCode = *op;
        FControl.FFirstByte = b;
        FCurrent = &FControl;
        break;
    }
    FCurrent->FFragmented = !fin;

    if (rsv != 0)
    {
        if (!FOptions.ExtensionNegotiated)
            return Fail(kbzCloseProtocolError, kbzCodecText::RsvWithoutExtension);
        // No extension of ours uses RSV2/RSV3, and RSV1 belongs to a message's first frame.
        if ((rsv & 0x30) != 0 || *op == opContinuation || kbzIsControlOpcode(*op))
            return Fail(kbzCloseProtocolError, kbzCodecText::InvalidRsv);
    }
    if (!fin && kbzIsControlOpcode(*op))
        return Fail(kbzCloseProtocolError, kbzCodecText::ControlFragmented);
    return TkbzWSDecodeResult::drNeedMore;
}

TkbzWSDecodeResult TkbzWSFrameDecoder::CheckSecondByte(std::uint8_t b)
{
    const bool masked = (b & 0x80) != 0;
    const std::uint8_t len = b & 0x7F;
    if (FOptions.MaskRequired && !masked)
        return Fail(kbzCloseProtocolError, kbzCodecText::NotMasked);
    if (!FOptions.MaskRequired && masked)
        return Fail(kbzCloseProtocolError, kbzCodecText::MustNotBeMasked);
    TkbzWSMsg& r = *FCurrent;
    r.FReadMasked = masked;
    r.FPayLoad =
        len == 127 ? TPayload::pa64bits : (len == 126 ? TPayload::pa16bits : TPayload::pa7bits);
    // The test is on the length form: a control frame may not use an extended length at all.
    if (kbzIsControlOpcode(r.FOpCode) && r.FPayLoad != TPayload::pa7bits)
        return Fail(kbzCloseProtocolError, kbzCodecText::ControlTooLong);
    const std::uint8_t ext = len == 127 ? 8 : (len == 126 ? 2 : 0);
    FHeaderSize = static_cast<std::uint8_t>(2 + ext + (masked ? 4 : 0));
    return TkbzWSDecodeResult::drNeedMore;
}

TkbzWSDecodeResult TkbzWSFrameDecoder::FinishHeader()
{
    TkbzWSMsg& r = *FCurrent;
    std::uint64_t length = FHeader[1] & 0x7F;
    std::size_t pos = 2;
    if (r.FPayLoad == TPayload::pa16bits)
    {
        length = (std::uint64_t{FHeader[2]} << 8) | FHeader[3];
        pos = 4;
    }
    else if (r.FPayLoad == TPayload::pa64bits)
    {
        length = 0;
        for (std::size_t i = 0; i < 8; ++i)
            length = (length << 8) | FHeader[2 + i];
        pos = 10;
        if ((length >> 63) != 0)
            return Fail(kbzCloseProtocolError, kbzCodecText::InvalidPayloadLength);
    }
    if (r.FReadMasked)
        std::memcpy(r.Mask.data(), FHeader.data() + pos, 4);

    const std::uint64_t limit = FOptions.MaxMessageSize;
    if (limit != 0 && (length > limit || r.FMessageLength > limit - length))
        return Fail(kCloseTooBig, kbzCodecText::MessageTooBig);
    if (&r == &FData && !FBudget.Acquire(length))
        return Fail(kCloseTooBig, kbzCodecText::MessageTooBig);
    // Room for this frame, but never more than a bounded step ahead of the bytes that
    // actually arrived: a header alone must not make us allocate a huge buffer. Growth is
    // geometric, so a message in many small frames is copied a bounded number of times
    // in all, never once per frame.
    constexpr std::uint64_t reserveStep = 1u << 20;
    const std::uint64_t size = r.FStream.size();
    const std::uint64_t capacity = r.FStream.capacity();
    if (size + length > capacity)
    {
        std::uint64_t target = std::max(2 * capacity, size + std::min(length, reserveStep));
        if (limit != 0)
        {
            target = std::min(target, limit);
        }
        r.FStream.reserve(static_cast<std::size_t>(std::max(target, size + 1)));
    }

    r.FPayLoadLength = length;
    r.FFrameOffset = 0;
    r.FMessageLength += length;
    FHeaderLen = 0;
    FHeaderSize = 2;
    FState = State::Payload;
    if (length == 0)
        return CompleteFrame();
    return TkbzWSDecodeResult::drNeedMore;
}

TkbzWSDecodeResult TkbzWSFrameDecoder::CompleteFrame()
{
    using enum TkbzWSDecodeResult;
    FState = State::Header;
    if (FCurrent == &FControl)
        return CompleteControl();

    const bool final = !FData.FFragmented;
    if (final && FData.FOpCode == TOpcode::opText && !FData.FCompressed && FOptions.ValidateUTF8 &&
        !FValidator.Finish())
        return Fail(kCloseInvalidUTF8, kbzCodecText::InvalidUTF8);

    switch (FOptions.FragmentedMessages)
    {
    case TwsFragmentedMessages::frgOnlyBuffer:
        if (!final)
            return drNeedMore; // keep gathering
        FPending = Pending::ResetData;
        return drMessage;
    case TwsFragmentedMessages::frgOnlyFragmented:
        FPending = final ? Pending::ResetData : Pending::FragmentDelivered;
        return drFragment;
    case TwsFragmentedMessages::frgAll:
        FPending = final ? Pending::MessageAfterFragment : Pending::FragmentDelivered;
        return drFragment;
    }
    return drNeedMore;
}

TkbzWSDecodeResult TkbzWSFrameDecoder::CompleteControl()
{
    FPending = Pending::ResetControl;
    if (FControl.FOpCode != TOpcode::opClose)
        return TkbzWSDecodeResult::drControl;
    const std::vector<std::uint8_t>& p = FControl.FStream;
    if (p.empty())
        return TkbzWSDecodeResult::drControl;
    if (p.size() == 1)
        return Fail(kbzCloseProtocolError, kbzCodecText::InvalidCloseLength);
    FCloseCode = static_cast<std::uint16_t>((p[0] << 8) | p[1]);
    if (!kbzIsValidCloseCode(FCloseCode))
        return Fail(kbzCloseProtocolError, kbzCodecText::InvalidCloseCode);
    const std::span<const std::uint8_t> reason(p.data() + 2, p.size() - 2);
    if (!TkbzUTF8Validator::IsValid(reason))
        return Fail(kCloseInvalidUTF8, kbzCodecText::InvalidUTF8);
    FCloseReason.assign(reason.begin(), reason.end());
    return TkbzWSDecodeResult::drControl;
}

// ---- Hixie-76 decoder ----

void TkbzHixie76Decoder::Reset() noexcept
{
    FState = State::Between;
    FDelivered = false;
    FText.clear();
    FErrorCode = 0;
    FErrorText.clear();
}

TkbzHixie76Result TkbzHixie76Decoder::Decode(std::span<const std::uint8_t>& input)
{
    using enum TkbzHixie76Result;
    if (FDelivered)
    {
        FText.clear();
        FDelivered = false;
    }
    while (true)
    {
        if (FState == State::Failed)
            return hxError;
        if (input.empty())
            return hxNeedMore;
        switch (FState)
        {
        case State::Between: {
            const std::uint8_t b = input[0];
            input = input.subspan(1);
            if (b == 0x00)
                FState = State::InText;
            else if (b == 0xFF)
                FState = State::AfterFF;
            break; // anything else between frames is skipped
        }
        case State::AfterFF: {
            const std::uint8_t b = input[0];
            input = input.subspan(1);
            FState = State::Between;
            if (b == 0x00)
                return hxClose;
            break;
        }
        case State::InText: {
            const void* end = std::memchr(input.data(), 0xFF, input.size());
            const std::size_t n =
                end != nullptr
                    ? static_cast<std::size_t>(static_cast<const std::uint8_t*>(end) - input.data())
                    : input.size();
            if (MaxMessageSize != 0 && FText.size() + n > MaxMessageSize)
            {
                FState = State::Failed;
                FErrorCode = kCloseTooBig;
                FErrorText = kbzCodecText::MessageTooBig;
                return hxError;
            }
            FText.append(reinterpret_cast<const char*>(input.data()), n);
            input = input.subspan(n);
            if (end == nullptr)
                break;
            input = input.subspan(1);
            FState = State::Between;
            if (ValidateUTF8 && !TkbzUTF8Validator::IsValid(FText))
            {
                FState = State::Failed;
                FErrorCode = kCloseInvalidUTF8;
                FErrorText = kbzCodecText::InvalidUTF8;
                return hxError;
            }
            FDelivered = true;
            return hxText;
        }
        case State::Failed:
            return hxError;
        }
    }
}

} // namespace kbz
