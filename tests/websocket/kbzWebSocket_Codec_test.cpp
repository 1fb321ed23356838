#include "base/kbzBase_Classes.h"
#include "websocket/kbzWebSocket_Codec.h"
#include "websocket/kbzWebSocket_Codec_Internal.h"

#include <cstdio>
#include <functional>
#include <gtest/gtest.h>
#include <set>
#include <string>
#include <vector>

namespace kbz
{
namespace
{
using Bytes = std::vector<std::uint8_t>;
using Events = std::vector<std::string>;
using enum TOpcode;
using enum TwsFragmentedMessages;

// Wire bytes written as a peer sends them: hex pairs, and 'text' for ASCII runs.
Bytes W(std::string_view s)
{
    Bytes out;
    for (std::size_t i = 0; i < s.size();)
    {
        if (s[i] == ' ')
        {
            ++i;
        }
        else if (s[i] == '\'')
        {
            const std::size_t end = s.find('\'', i + 1);
            out.insert(out.end(), s.begin() + static_cast<std::ptrdiff_t>(i + 1),
                       s.begin() + static_cast<std::ptrdiff_t>(end));
            i = end + 1;
        }
        else
        {
            out.push_back(
                static_cast<std::uint8_t>(std::stoi(std::string(s.substr(i, 2)), nullptr, 16)));
            i += 2;
        }
    }
    return out;
}

Bytes Pattern(std::size_t n)
{
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i)
        b[i] = static_cast<std::uint8_t>((i * 7 + i / 251) % 256);
    return b;
}

// Short payloads shown as text (other bytes as \xNN); long ones by size and checksum.
std::string Show(std::span<const std::uint8_t> p)
{
    if (p.size() > 48)
    {
        std::uint64_t h = 1469598103934665603ULL;
        for (const std::uint8_t b : p)
            h = (h ^ b) * 1099511628211ULL;
        return "<" + std::to_string(p.size()) + " bytes " + std::to_string(h % 1000000007) + ">";
    }
    std::string s = "'";
    for (const std::uint8_t b : p)
    {
        if (b >= 0x20 && b < 0x7F && b != '\\')
        {
            s += static_cast<char>(b);
        }
        else
        {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02x", b);
            s += buf;
        }
    }
    return s + "'";
}

std::string Describe(TkbzWSFrameDecoder& d, TkbzWSDecodeResult r)
{
    const TkbzWSMsg& m = d.Msg();
    const std::string rsv = m.FCompressed ? " rsv1" : "";
    switch (r)
    {
    case TkbzWSDecodeResult::drMessage:
        return std::string(kbzOpcodeName(m.FOpCode)) + " " + Show(m.FStream) + rsv;
    case TkbzWSDecodeResult::drFragment:
        return std::string("fragment ") + kbzOpcodeName(m.FOpCode) + " " + Show(m.FStream) +
               (d.MoreFrames() ? " more" : " last") + rsv;
    case TkbzWSDecodeResult::drControl:
        if (m.FOpCode == opClose)
            return d.CloseCode() == 0 ? "close"
                                      : "close " + std::to_string(d.CloseCode()) + " " +
                                            Show(kbzAsBytes(d.CloseReason()));
        return std::string(kbzOpcodeName(m.FOpCode)) + " " + Show(m.FStream);
    case TkbzWSDecodeResult::drError:
        return "error " + std::to_string(d.ErrorCode()) + " " + d.ErrorText();
    case TkbzWSDecodeResult::drNeedMore:
        break;
    }
    return "?";
}

// Feeds the pieces in order and lists what the decoder reported; stops at an error.
Events Decoded(const TkbzWSDecoderOptions& options,
               const std::vector<std::span<const std::uint8_t>>& pieces)
{
    TkbzWSFrameDecoder d(options);
    Events out;
    for (std::span<const std::uint8_t> in : pieces)
    {
        TkbzWSDecodeResult r;
        while ((r = d.Decode(in)) != TkbzWSDecodeResult::drNeedMore)
        {
            out.push_back(Describe(d, r));
            if (r == TkbzWSDecodeResult::drError)
                return out;
        }
        EXPECT_TRUE(in.empty());
    }
    return out;
}

// The same input whole, in every two-way split (a sample of them for long inputs), and
// one byte at a time must all give the expected events.
void ExpectDecodes(const TkbzWSDecoderOptions& options, const Bytes& wire, const Events& expected)
{
    const std::span<const std::uint8_t> all(wire);
    EXPECT_EQ(Decoded(options, {all}), expected) << "fed whole";
    for (std::size_t cut = 1; cut < wire.size(); ++cut)
    {
        if (wire.size() > 400 && cut > 64 && wire.size() - cut > 64 && cut % 997 != 0)
            continue;
        const Events got = Decoded(options, {all.first(cut), all.subspan(cut)});
        if (got != expected)
        {
            EXPECT_EQ(got, expected) << "split at " << cut;
            break;
        }
    }
    std::vector<std::span<const std::uint8_t>> bytes;
    for (std::size_t i = 0; i < wire.size(); ++i)
        bytes.push_back(all.subspan(i, 1));
    EXPECT_EQ(Decoded(options, bytes), expected) << "one byte at a time";
}

TkbzWSDecoderOptions Client(TwsFragmentedMessages mode = frgOnlyBuffer)
{
    TkbzWSDecoderOptions o;
    o.MaskRequired = false;
    o.FragmentedMessages = mode;
    return o;
}

TkbzWSDecoderOptions Server(TwsFragmentedMessages mode = frgOnlyBuffer)
{
    TkbzWSDecoderOptions o;
    o.MaskRequired = true;
    o.FragmentedMessages = mode;
    return o;
}

TkbzWSDecoderOptions With(TkbzWSDecoderOptions o,
                          const std::function<void(TkbzWSDecoderOptions&)>& f)
{
    f(o);
    return o;
}

const auto Ext = [](TkbzWSDecoderOptions& o) { o.ExtensionNegotiated = true; };
const auto Utf8 = [](TkbzWSDecoderOptions& o) { o.ValidateUTF8 = true; };

struct DecodeCase
{
    const char* name;
    TkbzWSDecoderOptions options;
    const char* wire;
    Events expected;
};

void RunTable(const std::vector<DecodeCase>& table)
{
    for (const DecodeCase& c : table)
    {
        SCOPED_TRACE(c.name);
        ExpectDecodes(c.options, W(c.wire), c.expected);
    }
}

// ---- Opcodes and writer ----

TEST(Codec, OpcodeTableMapsWireValuesAndNames)
{
    struct
    {
        TOpcode op;
        std::uint8_t wire;
        const char* name;
        bool control;
    } const table[] = {
        {opContinuation, 0x0, "continuation", false},
        {opText, 0x1, "text", false},
        {opBinary, 0x2, "binary", false},
        {opClose, 0x8, "close", true},
        {opPing, 0x9, "ping", true},
        {opPong, 0xA, "pong", true},
    };
    for (const auto& c : table)
    {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(kbzOpcodeToWire(c.op), c.wire);
        EXPECT_EQ(kbzWireToOpcode(c.wire), c.op);
        EXPECT_STREQ(kbzOpcodeName(c.op), c.name);
        EXPECT_EQ(kbzIsControlOpcode(c.op), c.control);
    }
    EXPECT_STREQ(kbzOpcodeName(opNone), "none");
    EXPECT_FALSE(kbzIsControlOpcode(opNone));
    for (int n : {0x3, 0x4, 0x5, 0x6, 0x7, 0xB, 0xC, 0xD, 0xE, 0xF})
        EXPECT_FALSE(kbzWireToOpcode(static_cast<std::uint8_t>(n)).has_value()) << n;
}

TEST(Codec, WriterBuildsFramesByteExact)
{
    const std::uint8_t key[4] = {0x37, 0xfa, 0x21, 0x3d};
    struct
    {
        const char* name;
        TOpcode op;
        Bytes payload;
        bool masked;
        bool fin;
        bool rsv1;
        const char* wire;
    } const table[] = {
        {"server text abc", opText, W("'abc'"), false, true, false, "81 03 'abc'"},
        {"client text abc", opText, W("'abc'"), true, true, false, "81 83 37 fa 21 3d 56 98 42"},
        {"client Hello", opText, W("'Hello'"), true, true, false,
         "81 85 37 fa 21 3d 7f 9f 4d 51 58"},
        {"U+0000 alone", opText, W("00"), false, true, false, "81 01 00"},
        {"empty text", opText, {}, false, true, false, "81 00"},
        {"empty masked text", opText, {}, true, true, false, "81 80 37 fa 21 3d"},
        {"first fragment", opBinary, W("'a'"), false, false, false, "02 01 'a'"},
        {"continuation", opContinuation, W("'b'"), false, false, false, "00 01 'b'"},
        {"last continuation", opContinuation, W("'c'"), false, true, false, "80 01 'c'"},
        {"compressed", opText, W("'z'"), false, true, true, "c1 01 'z'"},
        {"compressed first fragment", opBinary, W("'z'"), false, false, true, "42 01 'z'"},
        {"close", opClose, W("03 e8"), false, true, false, "88 02 03 e8"},
        {"ping", opPing, W("'hi'"), true, true, false, "89 82 37 fa 21 3d 5f 93"},
        {"pong", opPong, {}, false, true, false, "8a 00"},
    };
    for (const auto& c : table)
    {
        SCOPED_TRACE(c.name);
        Bytes out;
        if (c.masked)
            kbzAppendFrameWithKey(out, c.op, c.payload, key, c.fin, c.rsv1);
        else
            kbzAppendFrame(out, c.op, c.payload, false, c.fin, c.rsv1);
        EXPECT_EQ(Show(out), Show(W(c.wire)));
    }
}

TEST(Codec, WriterChoosesLengthFormFromFullSize)
{
    const std::uint8_t key[4] = {1, 2, 3, 4};
    struct
    {
        std::uint64_t n;
        const char* plain;
        const char* masked;
    } const table[] = {
        {0, "82 00", "82 80 01 02 03 04"},
        {125, "82 7d", "82 fd 01 02 03 04"},
        {126, "82 7e 00 7e", "82 fe 00 7e 01 02 03 04"},
        {65535, "82 7e ff ff", "82 fe ff ff 01 02 03 04"},
        {65536, "82 7f 00 00 00 00 00 01 00 00", "82 ff 00 00 00 00 00 01 00 00 01 02 03 04"},
    };
    for (const auto& c : table)
    {
        SCOPED_TRACE(c.n);
        const Bytes payload = Pattern(c.n);
        for (const bool masked : {false, true})
        {
            Bytes out;
            if (masked)
                kbzAppendFrameWithKey(out, opBinary, payload, key);
            else
                kbzAppendFrame(out, opBinary, payload, false);
            const Bytes header = W(masked ? c.masked : c.plain);
            ASSERT_EQ(out.size(), header.size() + c.n);
            EXPECT_EQ(kbzFrameHeaderSize(c.n, masked), header.size());
            EXPECT_EQ(Show(std::span(out).first(header.size())), Show(header));
            // Decoded by the other side, the payload comes back exactly.
            ExpectDecodes(masked ? Server() : Client(), out, {"binary " + Show(payload)});
        }
    }
    // Sizes beyond 32 bits keep all 64 bits of the length.
    std::uint8_t len[9];
    ASSERT_EQ(kbzEncodePayloadLength(len, 0x1'0000'0005ULL, false), 9u);
    EXPECT_EQ(Show(len), Show(W("7f 00 00 00 01 00 00 00 05")));
}

TEST(Codec, WriterRefusesFramesThePeerMustReject)
{
    const Bytes big(126, 'x');
    const Bytes max(125, 'x');
    EXPECT_NO_THROW(kbzBuildFrame(opPing, max, true));
    struct
    {
        const char* name;
        TOpcode op;
        const Bytes& payload;
        bool fin;
        bool rsv1;
        const char* text;
    } const table[] = {
        {"ping above 125", opPing, big, true, false, kbzCodecText::ControlTooLong},
        {"close above 125", opClose, big, true, false, kbzCodecText::ControlTooLong},
        {"fragmented pong", opPong, max, false, false, kbzCodecText::ControlFragmented},
        {"rsv1 on continuation", opContinuation, max, true, true, kbzCodecText::InvalidRsv},
        {"rsv1 on ping", opPing, max, true, true, kbzCodecText::InvalidRsv},
        {"no opcode", opNone, max, true, false, kbzCodecText::InvalidOpcode},
    };
    for (const auto& c : table)
    {
        SCOPED_TRACE(c.name);
        try
        {
            kbzBuildFrame(c.op, c.payload, false, c.fin, c.rsv1);
            ADD_FAILURE() << "no exception";
        }
        catch (const TkbzWSException& e)
        {
            EXPECT_STREQ(e.what(), c.text);
        }
    }
}

TEST(Codec, MaskedFramesGetFreshKeysAndRoundTrip)
{
    std::set<std::vector<std::uint8_t>> keys;
    for (int i = 0; i < 16; ++i)
    {
        const Bytes payload = Pattern(static_cast<std::size_t>(i) * 300);
        const Bytes frame = kbzBuildFrame(opBinary, payload, true);
        const std::size_t h = kbzFrameHeaderSize(payload.size(), true);
        keys.insert(Bytes(frame.begin() + static_cast<std::ptrdiff_t>(h - 4),
                          frame.begin() + static_cast<std::ptrdiff_t>(h)));
        EXPECT_EQ(Decoded(Server(), {frame}), Events{"binary " + Show(payload)});
    }
    EXPECT_GT(keys.size(), 1u);
}

TEST(Codec, ClosePayloadBuilder)
{
    EXPECT_TRUE(kbzBuildClosePayload(0).empty());
    EXPECT_EQ(Show(kbzBuildClosePayload(1000)), Show(W("03 e8")));
    EXPECT_EQ(Show(kbzBuildClosePayload(4999, "bye")), Show(W("13 87 'bye'")));
    // A long reason is cut to fit a control frame, never inside a character.
    std::string reason(122, 'a');
    reason += "\xc3\xa9\xc3\xa9"; // two 2-byte characters straddle the 123-byte limit
    const Bytes p = kbzBuildClosePayload(1001, reason);
    EXPECT_EQ(p.size(), 2u + 122u);
    EXPECT_TRUE(TkbzUTF8Validator::IsValid(std::span(p).subspan(2)));
    EXPECT_NO_THROW(kbzBuildFrame(opClose, p, true));
}

TEST(Codec, MaskingVariantsAgreeAtEveryOffsetAndAlignment)
{
    const std::uint8_t key[4] = {0xa1, 0x5c, 0x00, 0xff};
    for (std::size_t n :
         {0u, 1u, 3u, 7u, 8u, 15u, 16u, 31u, 32u, 33u, 127u, 128u, 129u, 300u, 4099u})
    {
        for (std::size_t offset = 0; offset < 4; ++offset)
        {
            for (std::size_t start = 0; start < 3; ++start)
            {
                SCOPED_TRACE(std::to_string(n) + "/" + std::to_string(offset) + "/" +
                             std::to_string(start));
                const Bytes src = Pattern(n + start);
                Bytes expected = src;
                for (std::size_t i = 0; i < n; ++i)
                    expected[start + i] ^= key[(offset + i) % 4];
                Bytes a = src, b = src, c = src;
                kbzMaskPayload(a.data() + start, n, key, offset);
                detail::MaskPayloadWords(b.data() + start, n, key, offset);
                detail::MaskPayloadBytes(c.data() + start, n, key, offset);
                EXPECT_EQ(a, expected);
                EXPECT_EQ(b, expected);
                EXPECT_EQ(c, expected);
                if (detail::CpuHasAVX2())
                {
                    Bytes d = src;
                    detail::MaskPayloadAVX2(d.data() + start, n, key, offset);
                    EXPECT_EQ(d, expected);
                }
            }
        }
    }
}

// ---- UTF-8 ----

// An independent reference: decode code points arithmetically and check their ranges.
bool ReferenceUTF8(std::span<const std::uint8_t> s)
{
    std::size_t i = 0;
    while (i < s.size())
    {
        const std::uint8_t b = s[i];
        std::size_t len;
        std::uint32_t cp;
        if (b < 0x80)
        {
            ++i;
            continue;
        }
        if ((b & 0xE0) == 0xC0)
        {
            len = 2;
            cp = b & 0x1Fu;
        }
        else if ((b & 0xF0) == 0xE0)
        {
            len = 3;
            cp = b & 0x0Fu;
        }
        else if ((b & 0xF8) == 0xF0)
        {
            len = 4;
            cp = b & 0x07u;
        }
        else
            return false;
        if (i + len > s.size())
            return false;
        for (std::size_t k = 1; k < len; ++k)
        {
            if ((s[i + k] & 0xC0) != 0x80)
                return false;
            cp = (cp << 6) | (s[i + k] & 0x3Fu);
        }
        const std::uint32_t min = len == 2 ? 0x80 : (len == 3 ? 0x800 : 0x10000);
        if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
            return false;
        i += len;
    }
    return true;
}

TEST(Codec, UTF8ValidatorMatchesReferenceOnAllShortSequences)
{
    // Every 1- and 2-byte input, every 3-byte input with a lead from C0 up, and 4-byte
    // inputs over every lead and second byte; each checked whole and fed in two pieces.
    std::uint8_t buf[4];
    std::size_t mismatches = 0;
    auto check = [&](std::size_t n) {
        const std::span<const std::uint8_t> s(buf, n);
        const bool want = ReferenceUTF8(s);
        if (TkbzUTF8Validator::IsValid(s) != want)
            ++mismatches;
        TkbzUTF8Validator v;
        // Both pieces are fed even after a failure: a failed validator must stay failed.
        const bool first = v.Feed(s.first(1));
        const bool fed = v.Feed(s.subspan(1)) && first;
        if ((fed && v.Finish()) != want)
            ++mismatches;
        if (mismatches == 1)
        {
            ADD_FAILURE() << "mismatch on " << Show(s);
            ++mismatches;
        }
    };
    for (int a = 0; a < 256; ++a)
    {
        buf[0] = static_cast<std::uint8_t>(a);
        check(1);
        for (int b = 0; b < 256; ++b)
        {
            buf[1] = static_cast<std::uint8_t>(b);
            check(2);
            if (a < 0xC0)
                continue;
            for (int c = 0; c < 256; ++c)
            {
                buf[2] = static_cast<std::uint8_t>(c);
                check(3);
                if (a >= 0xF0)
                {
                    for (int d : {0x00, 0x7F, 0x80, 0xBF, 0xC0, 0xFF})
                    {
                        buf[3] = static_cast<std::uint8_t>(d);
                        check(4);
                    }
                }
            }
        }
    }
    EXPECT_EQ(mismatches, 0u);
}

TEST(Codec, UTF8ValidatorMatchesReferenceInsideLongText)
{
    // Long inputs take the vector path: every 2- and 3-byte sequence, and 4-byte ones over
    // every lead and second byte, placed in ASCII text across a 16-byte lane, a 32-byte
    // block, the end of the vector blocks, and the scalar tail.
    std::string text(80, 'a');
    std::size_t mismatches = 0;
    auto check = [&](const std::uint8_t* seq, std::size_t n) {
        const bool want = ReferenceUTF8({seq, n});
        for (std::size_t at : {15u, 30u, 62u, 77u})
        {
            std::string t = text;
            t.replace(at, n, reinterpret_cast<const char*>(seq), n);
            if (TkbzUTF8Validator::IsValid(t) != want && mismatches++ == 0)
                ADD_FAILURE() << "mismatch on " << Show({seq, n}) << " at " << at;
        }
    };
    std::uint8_t s[4];
    for (int a = 0x80; a < 256; ++a)
    {
        s[0] = static_cast<std::uint8_t>(a);
        for (int b = 0; b < 256; ++b)
        {
            s[1] = static_cast<std::uint8_t>(b);
            check(s, 2);
            if (a < 0xC0 || b < 0x80 || b > 0xBF)
                continue; // a bad second byte is already covered by the 2-byte inputs
            for (int c = 0; c < 256; ++c)
            {
                s[2] = static_cast<std::uint8_t>(c);
                check(s, 3);
                if (a >= 0xF0)
                {
                    for (int d : {0x41, 0x80, 0xBF, 0xC2})
                    {
                        s[3] = static_cast<std::uint8_t>(d);
                        check(s, 4);
                    }
                }
            }
        }
    }
    EXPECT_EQ(mismatches, 0u);

    // Random multilingual texts with random damage, against the reference.
    std::uint32_t seed = 12345;
    auto next = [&] { return seed = seed * 1664525u + 1013904223u; };
    for (int round = 0; round < 3000; ++round)
    {
        std::string t;
        const std::size_t chars = next() % 200;
        for (std::size_t k = 0; k < chars; ++k)
        {
            const std::uint32_t pick = next() % 4;
            std::uint32_t cp = pick == 0 ? 0x20 + next() % 0x5F
                                         : (pick == 1 ? 0x80 + next() % 0x780
                                                      : (pick == 2 ? 0x800 + next() % 0xF800
                                                                   : 0x10000 + next() % 0x100000));
            if (cp >= 0xD800 && cp <= 0xDFFF)
                cp = 0x41;
            if (cp < 0x80)
                t += static_cast<char>(cp);
            else if (cp < 0x800)
                t += {static_cast<char>(0xC0 | (cp >> 6)), static_cast<char>(0x80 | (cp & 0x3F))};
            else if (cp < 0x10000)
                t += {static_cast<char>(0xE0 | (cp >> 12)),
                      static_cast<char>(0x80 | ((cp >> 6) & 0x3F)),
                      static_cast<char>(0x80 | (cp & 0x3F))};
            else
                t += {static_cast<char>(0xF0 | (cp >> 18)),
                      static_cast<char>(0x80 | ((cp >> 12) & 0x3F)),
                      static_cast<char>(0x80 | ((cp >> 6) & 0x3F)),
                      static_cast<char>(0x80 | (cp & 0x3F))};
        }
        if (!t.empty() && round % 2 == 1)
            t[next() % t.size()] = static_cast<char>(next() & 0xFF);
        const auto b = kbzAsBytes(t);
        const bool want = ReferenceUTF8(b);
        ASSERT_EQ(TkbzUTF8Validator::IsValid(b), want) << Show(b);
        TkbzUTF8Validator v;
        const std::size_t cut = t.empty() ? 0 : next() % t.size();
        const bool ok = v.Feed(b.first(cut)) && v.Feed(b.subspan(cut));
        ASSERT_EQ(ok && v.Finish(), want) << Show(b) << " cut " << cut;
    }
}

TEST(Codec, UTF8ValidatorCases)
{
    struct
    {
        const char* name;
        const char* bytes;
        bool valid;
    } const table[] = {
        {"empty", "", true},
        {"greek kosme", "ce ba e1 bd b9 cf 83 ce bc ce b5", true},
        {"U+0000", "00", true},
        {"U+10FFFF", "f4 8f bf bf", true},
        {"U+FFFF", "ef bf bf", true},
        {"encoded surrogate", "ed a0 80", false},
        {"last surrogate", "ed bf bf", false},
        {"overlong slash", "c0 af", false},
        {"overlong 3 bytes", "e0 80 af", false},
        {"overlong 4 bytes", "f0 80 80 af", false},
        {"above U+10FFFF", "f4 90 80 80", false},
        {"lead F5", "f5 80 80 80", false},
        {"lone continuation", "80", false},
        {"lone F4 at the end", "'ab' f4", false},
        {"truncated 3-byte", "'ab' e2 82", false},
        {"FE and FF", "fe ff", false},
    };
    for (const auto& c : table)
    {
        SCOPED_TRACE(c.name);
        const Bytes b = W(c.bytes);
        EXPECT_EQ(TkbzUTF8Validator::IsValid(b), c.valid);
    }
}

TEST(Codec, UTF8ValidatorAcrossPiecesAndFastPaths)
{
    // Long texts exercise the word and vector ASCII paths; a bad byte or a multibyte
    // character is placed at every position around the vector width, and each text is
    // also fed in every two-way split.
    for (std::size_t len : {31u, 32u, 33u, 64u, 100u})
    {
        for (std::size_t at = 0; at + 3 <= len; ++at)
        {
            std::string good(len, 'a');
            good.replace(at, 3, "\xe2\x82\xac"); // euro sign
            std::string bad(len, 'a');
            bad[at] = '\xff';
            std::string cut(len, 'a');
            cut.replace(len - 2, 2, "\xe2\x82");
            for (const auto& [text, valid] : {std::pair{good, true}, {bad, false}, {cut, false}})
            {
                SCOPED_TRACE(std::to_string(len) + "@" + std::to_string(at) + " " +
                             Show(kbzAsBytes(text)));
                ASSERT_EQ(TkbzUTF8Validator::IsValid(text), valid);
                for (std::size_t split = 0; split <= text.size(); ++split)
                {
                    TkbzUTF8Validator v;
                    const auto s = kbzAsBytes(text);
                    const bool ok = v.Feed(s.first(split)) && v.Feed(s.subspan(split));
                    ASSERT_EQ(ok && v.Finish(), valid) << "split " << split;
                }
            }
        }
    }
    // Feed refuses as soon as the bytes cannot be a prefix of valid text, before the end.
    TkbzUTF8Validator v;
    EXPECT_TRUE(v.Feed(W("e2 82")));
    EXPECT_FALSE(v.Finish());
    EXPECT_FALSE(v.Feed(W("41")));
    EXPECT_FALSE(v.Feed(W("41"))); // stays failed
    v.Reset();
    EXPECT_TRUE(v.Feed(W("41")) && v.Finish());
}

// ---- RFC 6455 decoder ----

TEST(FrameDecoder, MessagesLengthsAndMasking)
{
    RunTable({
        {"text Hello", Client(), "81 05 'Hello'", {"text 'Hello'"}},
        {"empty text", Client(), "81 00", {"text ''"}},
        {"U+0000 alone", Client(), "81 01 00", {"text '\\x00'"}},
        {"empty binary then text", Client(), "82 00 81 01 'x'", {"binary ''", "text 'x'"}},
        {"16-bit form with a small length", Client(), "82 7e 00 03 'abc'", {"binary 'abc'"}},
        {"64-bit form with a small length",
         Client(),
         "82 7f 00 00 00 00 00 00 00 03 'abc'",
         {"binary 'abc'"}},
        {"64-bit length with its top bit set",
         Client(),
         "82 7f 80 00 00 00 00 00 00 00",
         {"error 1002 Invalid Payload length"}},
        {"masked Hello to a server",
         Server(),
         "81 85 37 fa 21 3d 7f 9f 4d 51 58",
         {"text 'Hello'"}},
        {"masked fragments with their own keys",
         Server(),
         "01 83 37 fa 21 3d 56 98 42 80 82 01 02 03 04 65 67",
         {"text 'abcde'"}},
        {"masked empty text completes after its key", Server(), "81 80 01 02 03 04", {"text ''"}},
        {"masked empty close completes after its key", Server(), "88 80 01 02 03 04", {"close"}},
        {"masked close 1001", Server(), "88 82 37 fa 21 3d 34 13", {"close 1001 ''"}},
        {"unmasked frame to a server", Server(), "81 01 'a'", {"error 1002 Message is not masked"}},
        {"masked frame to a client",
         Client(),
         "81 81 00 00 00 00 'a'",
         {"error 1002 Message must not be masked"}},
        {"zero-length fragments", Client(), "01 00 00 00 80 00 82 00", {"text ''", "binary ''"}},
        {"ping pong close",
         Client(),
         "89 02 'hi' 8a 00 88 05 03 e8 'bye'",
         {"ping 'hi'", "pong ''", "close 1000 'bye'"}},
    });
}

TEST(FrameDecoder, HeaderErrors)
{
    RunTable({
        {"continuation without a message",
         Client(),
         "80 01 'a'",
         {"error 1002 Unfragmented message after continuation frame with FIN"}},
        {"unfinished continuation without a message",
         Client(),
         "00 01 'a'",
         {"error 1002 Unfragmented message after continuation frame with FIN"}},
        {"text inside a fragmented binary, ping between",
         Client(),
         "02 01 'a' 89 00 81 01 'b'",
         {"ping ''", "error 1002 OpCode error, received opText after Continuation not finished"}},
        {"binary inside a fragmented text",
         Client(),
         "01 01 'a' 82 01 'b'",
         {"error 1002 OpCode error, received opBinary after Continuation not finished"}},
        {"fragmented ping",
         Client(),
         "09 00",
         {"error 1002 Control Message must not be fragmented"}},
        {"fragmented close",
         Client(),
         "08 00",
         {"error 1002 Control Message must not be fragmented"}},
        {"ping with a 16-bit length form",
         Client(),
         "89 7e 00 01 'a'",
         {"error 1002 Control frames are only allowed to have payload up to and including 125 "
          "octets"}},
        {"close with a 64-bit length form",
         Client(),
         "88 7f 00 00 00 00 00 00 00 02 03 e8",
         {"error 1002 Control frames are only allowed to have payload up to and including 125 "
          "octets"}},
    });
    for (int nibble : {0x3, 0x4, 0x5, 0x6, 0x7, 0xB, 0xC, 0xD, 0xE, 0xF})
    {
        SCOPED_TRACE(nibble);
        ExpectDecodes(Client(), {static_cast<std::uint8_t>(0x80 | nibble), 0x00},
                      {"error 1002 Invalid Control OptCode"});
    }
    // A ping of exactly 125 bytes is fine.
    Bytes ping = W("89 7d");
    const Bytes body(125, 'p');
    ping.insert(ping.end(), body.begin(), body.end());
    ExpectDecodes(Client(), ping, {"ping " + Show(body)});
}

TEST(FrameDecoder, ReservedBitsAndCompressedFlag)
{
    const auto ext = With(Client(), Ext);
    RunTable({
        {"RSV1 without an extension",
         Client(),
         "c1 01 'a'",
         {"error 1002 Invalid value of RSV while no Extension Negotiated"}},
        {"RSV2 without an extension",
         Client(),
         "a1 01 'a'",
         {"error 1002 Invalid value of RSV while no Extension Negotiated"}},
        {"RSV3 without an extension",
         Client(),
         "91 01 'a'",
         {"error 1002 Invalid value of RSV while no Extension Negotiated"}},
        {"RSV1 on a continuation without an extension",
         Client(),
         "01 01 'a' c0 01 'b'",
         {"error 1002 Invalid value of RSV while no Extension Negotiated"}},
        {"RSV1 with an extension", ext, "c1 01 'a'", {"text 'a' rsv1"}},
        {"RSV2 with an extension", ext, "a1 01 'a'", {"error 1002 Invalid value of RSV"}},
        {"RSV3 with an extension", ext, "91 01 'a'", {"error 1002 Invalid value of RSV"}},
        {"RSV1 on a ping", ext, "c9 00", {"error 1002 Invalid value of RSV"}},
        {"RSV1 on a continuation", ext, "41 01 'a' c0 01 'b'", {"error 1002 Invalid value of RSV"}},
        {"compressed flag survives a ping between fragments",
         ext,
         "41 02 'ab' 89 00 80 02 'cd'",
         {"ping ''", "text 'abcd' rsv1"}},
        {"uncompressed message after a compressed one",
         ext,
         "c2 01 'a' 82 01 'b'",
         {"binary 'a' rsv1", "binary 'b'"}},
    });
}

TEST(FrameDecoder, FragmentDeliveryModes)
{
    // Text in three frames with a ping between the second and the third.
    const char* wire = "01 03 'Hel' 00 02 'lo' 89 02 'hi' 80 06 ' world'";
    RunTable({
        {"gathered", Client(frgOnlyBuffer), wire, {"ping 'hi'", "text 'Hello world'"}},
        {"fragments alone",
         Client(frgOnlyFragmented),
         wire,
         {"fragment text 'Hel' more", "fragment text 'lo' more", "ping 'hi'",
          "fragment text ' world' last"}},
        {"fragments growing, then the message",
         Client(frgAll),
         wire,
         {"fragment text 'Hel' more", "fragment text 'Hello' more", "ping 'hi'",
          "fragment text 'Hello world' last", "text 'Hello world'"}},
        {"single frame, fragments alone",
         Client(frgOnlyFragmented),
         "82 02 'ab'",
         {"fragment binary 'ab' last"}},
        {"single frame, all",
         Client(frgAll),
         "82 02 'ab' 81 01 'c'",
         {"fragment binary 'ab' last", "binary 'ab'", "fragment text 'c' last", "text 'c'"}},
        {"next message after a fragmented one",
         Client(frgOnlyBuffer),
         "01 01 'a' 80 01 'b' 81 01 'c'",
         {"text 'ab'", "text 'c'"}},
        {"compressed fragments keep the flag",
         With(Client(frgOnlyFragmented), Ext),
         "42 01 'a' 89 00 80 01 'b'",
         {"fragment binary 'a' more rsv1", "ping ''", "fragment binary 'b' last rsv1"}},
    });
}

TEST(FrameDecoder, CloseFrames)
{
    RunTable({
        {"no payload", Client(), "88 00", {"close"}},
        {"code only", Client(), "88 02 03 e8", {"close 1000 ''"}},
        {"code and reason", Client(), "88 05 03 e9 'bye'", {"close 1001 'bye'"}},
        {"one byte", Client(), "88 01 03", {"error 1002 Invalid Payload length for close code"}},
        {"1005 is never sent", Client(), "88 02 03 ed", {"error 1002 Invalid close code"}},
        {"1005 with a reason", Client(), "88 05 03 ed 'abc'", {"error 1002 Invalid close code"}},
        {"reason not UTF-8", Client(), "88 04 03 e8 ff fe", {"error 1007 Invalid UTF8 message"}},
        {"reason cut inside a character",
         Client(),
         "88 04 03 e8 e2 82",
         {"error 1007 Invalid UTF8 message"}},
    });
    struct
    {
        std::uint32_t code;
        bool valid;
    } const codes[] = {{0, false},    {999, false},  {1000, true},  {1003, true},  {1004, false},
                       {1005, false}, {1006, false}, {1007, true},  {1011, true},  {1012, true},
                       {1014, true},  {1015, false}, {1016, false}, {2999, false}, {3000, true},
                       {4999, true},  {5000, false}, {65535, false}};
    for (const auto& c : codes)
    {
        SCOPED_TRACE(c.code);
        EXPECT_EQ(kbzIsValidCloseCode(c.code), c.valid);
        const Bytes wire = {0x88, 0x02, static_cast<std::uint8_t>(c.code >> 8),
                            static_cast<std::uint8_t>(c.code)};
        ExpectDecodes(Client(), wire,
                      {c.valid ? "close " + std::to_string(c.code) + " ''"
                               : "error 1002 Invalid close code"});
    }
}

TEST(FrameDecoder, TextValidation)
{
    const auto v = With(Client(), Utf8);
    RunTable({
        {"valid greek",
         v,
         "81 0b ce ba e1 bd b9 cf 83 ce bc ce b5",
         {"text '\\xce\\xba\\xe1\\xbd\\xb9\\xcf\\x83\\xce\\xbc\\xce\\xb5'"}},
        {"surrogate", v, "81 03 ed a0 80", {"error 1007 Invalid UTF8 message"}},
        {"overlong", v, "81 02 c0 af", {"error 1007 Invalid UTF8 message"}},
        {"lone F4 at the end", v, "81 03 'ab' f4", {"error 1007 Invalid UTF8 message"}},
        {"character split over fragments",
         v,
         "01 02 ce ba 00 01 e1 80 02 bd b9",
         {"text '\\xce\\xba\\xe1\\xbd\\xb9'"}},
        {"bad first fragment fails before the message ends",
         v,
         "01 01 ff",
         {"error 1007 Invalid UTF8 message"}},
        {"bad bytes fail before the frame ends",
         v,
         "81 05 ff",
         {"error 1007 Invalid UTF8 message"}},
        {"character left open at the end",
         v,
         "01 01 ce 80 00",
         {"error 1007 Invalid UTF8 message"}},
        {"ping between valid fragments",
         v,
         "01 01 ce 89 00 80 01 ba",
         {"ping ''", "text '\\xce\\xba'"}},
        {"binary is not text", v, "82 01 ff", {"binary '\\xff'"}},
        {"compressed text is left to the caller", With(v, Ext), "c1 01 ff", {"text '\\xff' rsv1"}},
        {"validation off", Client(), "81 01 ff", {"text '\\xff'"}},
        {"fragments alone still validated",
         With(Client(frgOnlyFragmented), Utf8),
         "01 01 ce 80 01 ba 01 01 ff",
         {"fragment text '\\xce' more", "fragment text '\\xba' last",
          "error 1007 Invalid UTF8 message"}},
    });
}

TEST(FrameDecoder, SizeLimits)
{
    const auto max4 = [](TkbzWSDecoderOptions& o) { o.MaxMessageSize = 4; };
    RunTable({
        {"frame above the limit fails at its header",
         With(Client(), max4),
         "82 05",
         {"error 1009 Message too big"}},
        {"message at the limit", With(Client(), max4), "02 02 'ab' 80 02 'cd'", {"binary 'abcd'"}},
        {"message above the limit",
         With(Client(), max4),
         "02 03 'abc' 80 02 'de'",
         {"error 1009 Message too big"}},
        {"fragments alone count towards the message",
         With(Client(frgOnlyFragmented), max4),
         "02 02 'ab' 80 03 'cde'",
         {"fragment binary 'ab' more", "error 1009 Message too big"}},
        {"fragments at the limit",
         With(Client(frgAll), max4),
         "02 02 'ab' 89 00 80 02 'cd'",
         {"fragment binary 'ab' more", "ping ''", "fragment binary 'abcd' last", "binary 'abcd'"}},
        {"the next message starts from zero",
         With(Client(frgOnlyFragmented), max4),
         "82 04 'abcd' 82 04 'efgh'",
         {"fragment binary 'abcd' last", "fragment binary 'efgh' last"}},
        {"huge 64-bit length with the default limit",
         Client(),
         "82 7f 7f ff ff ff ff ff ff ff",
         {"error 1009 Message too big"}},
        {"no limit still refuses the top bit",
         With(Client(), [](auto& o) { o.MaxMessageSize = 0; }),
         "82 7f ff ff ff ff ff ff ff ff",
         {"error 1002 Invalid Payload length"}},
    });
}

TEST(FrameDecoder, LargeMaskedFrameArrivingInSmallPieces)
{
    const Bytes payload = Pattern(70000);
    Bytes wire;
    const std::uint8_t key[4] = {9, 8, 7, 6};
    kbzAppendFrameWithKey(wire, opBinary, payload, key);
    std::vector<std::span<const std::uint8_t>> pieces;
    for (std::size_t i = 0; i < wire.size(); i += 1460)
        pieces.push_back(std::span(wire).subspan(i, std::min<std::size_t>(1460, wire.size() - i)));
    EXPECT_EQ(Decoded(Server(), pieces), Events{"binary " + Show(payload)});
}

TEST(FrameDecoder, ManySmallFramesCostLinearTime)
{
    // One message in 1 Mi one-byte masked frames, built into one buffer and decoded: a
    // buffer that grew by exactly what each frame needs would copy the whole message so
    // far once per frame (on both sides), which no test run could wait for.
    constexpr std::size_t frames = std::size_t{1} << 20;
    const Bytes payload = Pattern(frames);
    const std::uint8_t key[4] = {1, 2, 3, 4};
    Bytes wire;
    for (std::size_t i = 0; i < frames; ++i)
        kbzAppendFrameWithKey(wire, i == 0 ? opBinary : opContinuation,
                              std::span(payload).subspan(i, 1), key, i + 1 == frames);
    ASSERT_EQ(wire.size(), frames * 7);
    for (const std::size_t piece : {wire.size(), std::size_t{65536}, std::size_t{1000}})
    {
        SCOPED_TRACE(piece);
        TkbzWSFrameDecoder d(Server());
        std::span<const std::uint8_t> all(wire);
        std::size_t messages = 0;
        for (std::size_t at = 0; at < wire.size(); at += piece)
        {
            std::span<const std::uint8_t> in = all.subspan(at, std::min(piece, wire.size() - at));
            TkbzWSDecodeResult r;
            while ((r = d.Decode(in)) != TkbzWSDecodeResult::drNeedMore)
            {
                ASSERT_EQ(r, TkbzWSDecodeResult::drMessage);
                EXPECT_EQ(d.Msg().FStream, payload);
                ++messages;
            }
        }
        EXPECT_EQ(messages, 1u);
    }
}

TEST(FrameDecoder, BufferBudgetIsSharedAndGivenBack)
{
    auto budget = std::make_shared<detail::ByteBudget>(10);
    TkbzWSFrameDecoder a(Client());
    TkbzWSFrameDecoder b(Client());
    a.SetBudget(budget);
    b.SetBudget(budget);
    auto feed = [](TkbzWSFrameDecoder& d, const char* wire) {
        const Bytes bytes = W(wire);
        std::span<const std::uint8_t> in(bytes);
        const TkbzWSDecodeResult r = d.Decode(in);
        return r == TkbzWSDecodeResult::drNeedMore ? std::string("need more") : Describe(d, r);
    };
    // a holds 6 bytes of a message in progress; b's 5-byte frame no longer fits.
    EXPECT_EQ(feed(a, "02 06 'abcdef'"), "need more");
    EXPECT_EQ(budget->Used(), 6u);
    EXPECT_EQ(feed(b, "82 05 'abcde'"), "error 1009 Message too big");
    EXPECT_EQ(budget->Used(), 6u);
    // Control frames are not counted; the end of a's message gives its bytes back.
    EXPECT_EQ(feed(a, "89 00"), "ping ''");
    EXPECT_EQ(feed(a, "80 01 'g'"), "binary 'abcdefg'");
    EXPECT_EQ(feed(a, ""), "need more");
    EXPECT_EQ(budget->Used(), 0u);
    b.Reset();
    EXPECT_EQ(feed(b, "82 05 'abcde'"), "binary 'abcde'");
    EXPECT_EQ(feed(b, ""), "need more");
    // Fragments handed out one by one hold only themselves.
    TkbzWSFrameDecoder c(Client(frgOnlyFragmented));
    c.SetBudget(budget);
    EXPECT_EQ(feed(c, "02 08 'abcdefgh'"), "fragment binary 'abcdefgh' more");
    EXPECT_EQ(feed(c, "80 08 'ijklmnop'"), "fragment binary 'ijklmnop' last");
    EXPECT_EQ(feed(c, ""), "need more");
    EXPECT_EQ(budget->Used(), 0u);
}

TEST(FrameDecoder, StaysFailedAndResets)
{
    TkbzWSFrameDecoder d(Client());
    Bytes bad = W("83 00 81 01 'a'");
    std::span<const std::uint8_t> in(bad);
    EXPECT_EQ(d.Decode(in), TkbzWSDecodeResult::drError);
    EXPECT_TRUE(d.Failed());
    EXPECT_EQ(d.Decode(in), TkbzWSDecodeResult::drError);
    d.Reset();
    Bytes good = W("81 01 'a'");
    std::span<const std::uint8_t> in2(good);
    EXPECT_EQ(d.Decode(in2), TkbzWSDecodeResult::drMessage);
    EXPECT_EQ(Show(d.Msg().FStream), "'a'");
    // The payload may be moved out; the next message starts clean.
    Bytes taken = std::move(d.Msg().FStream);
    Bytes next = W("82 01 'b'");
    std::span<const std::uint8_t> in3(next);
    EXPECT_EQ(d.Decode(in3), TkbzWSDecodeResult::drMessage);
    EXPECT_EQ(Show(d.Msg().FStream), "'b'");
    EXPECT_EQ(d.Msg().FOpCode, opBinary);
    EXPECT_FALSE(d.InMessage());
    // A message is in progress from its first fragment until its final frame was reported.
    Bytes first = W("01 01 'x'");
    std::span<const std::uint8_t> in4(first);
    EXPECT_EQ(d.Decode(in4), TkbzWSDecodeResult::drNeedMore);
    EXPECT_TRUE(d.InMessage());
    Bytes last = W("80 01 'y'");
    std::span<const std::uint8_t> in5(last);
    EXPECT_EQ(d.Decode(in5), TkbzWSDecodeResult::drMessage);
    EXPECT_FALSE(d.InMessage());
}

// ---- Hixie-76 decoder ----

Events RunHixie(const TkbzHixie76Decoder& proto,
                const std::vector<std::span<const std::uint8_t>>& pieces)
{
    TkbzHixie76Decoder d = proto;
    Events out;
    for (std::span<const std::uint8_t> in : pieces)
    {
        TkbzHixie76Result r;
        while ((r = d.Decode(in)) != TkbzHixie76Result::hxNeedMore)
        {
            if (r == TkbzHixie76Result::hxText)
                out.push_back("text " + Show(kbzAsBytes(d.Text())));
            else if (r == TkbzHixie76Result::hxClose)
                out.push_back("close");
            else
            {
                out.push_back("error " + std::to_string(d.ErrorCode()) + " " + d.ErrorText());
                return out;
            }
        }
    }
    return out;
}

TEST(Hixie76Decoder, FramesInEveryCut)
{
    TkbzHixie76Decoder plain;
    TkbzHixie76Decoder limited;
    limited.MaxMessageSize = 2;
    TkbzHixie76Decoder strict;
    strict.ValidateUTF8 = true;
    struct
    {
        const char* name;
        const TkbzHixie76Decoder& decoder;
        const char* wire;
        Events expected;
    } const table[] = {
        {"two letters", plain, "00 'ab' ff", {"text 'ab'"}},
        {"empty text", plain, "00 ff", {"text ''"}},
        {"closing frame", plain, "ff 00", {"close"}},
        {"texts then close",
         plain,
         "00 'a' ff 00 'bc' ff ff 00",
         {"text 'a'", "text 'bc'", "close"}},
        {"bytes between frames are skipped", plain, "41 42 00 'x' ff", {"text 'x'"}},
        {"FF not followed by 00 is skipped", plain, "ff 41 00 'y' ff", {"text 'y'"}},
        {"text above the limit", limited, "00 'abc' ff", {"error 1009 Message too big"}},
        {"text at the limit", limited, "00 'ab' ff", {"text 'ab'"}},
        {"invalid UTF-8 when validating",
         strict,
         "00 ed a0 80 ff",
         {"error 1007 Invalid UTF8 message"}},
        {"invalid UTF-8 when not validating", plain, "00 c0 af ff", {"text '\\xc0\\xaf'"}},
    };
    for (const auto& c : table)
    {
        SCOPED_TRACE(c.name);
        const Bytes wire = W(c.wire);
        const std::span<const std::uint8_t> all(wire);
        EXPECT_EQ(RunHixie(c.decoder, {all}), c.expected);
        for (std::size_t cut = 1; cut < wire.size(); ++cut)
            EXPECT_EQ(RunHixie(c.decoder, {all.first(cut), all.subspan(cut)}), c.expected) << cut;
        std::vector<std::span<const std::uint8_t>> bytes;
        for (std::size_t i = 0; i < wire.size(); ++i)
            bytes.push_back(all.subspan(i, 1));
        EXPECT_EQ(RunHixie(c.decoder, bytes), c.expected);
    }
    EXPECT_EQ(Show(kbzBuildHixie76Text("ab")), Show(W("00 'ab' ff")));
    EXPECT_EQ(Show(kbzHixie76CloseFrame), Show(W("ff 00")));
}

} // namespace
} // namespace kbz
