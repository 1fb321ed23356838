#include "base/kbzBase_Classes.h"
#include "base/kbzBase_Helpers.h"

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <ctime>
#include <filesystem>
#include <gtest/gtest.h>
#include <limits>
#include <set>
#include <string>
#include <unistd.h>
#include <vector>

namespace kbz
{
namespace
{

// ---- Integer conversions ----------------------------------------------------------------------

TEST(kbzStrToInt, AcceptsDecimalAndHexWithOptionalSign)
{
    struct Case
    {
        const char* text;
        std::int64_t value;
    };
    const Case cases[] = {
        {"0", 0},
        {"42", 42},
        {"+42", 42},
        {"-42", -42},
        {"007", 7},
        {"$1F", 31},
        {"$ff", 255},
        {"0x1f", 31},
        {"0X1F", 31},
        {"-$10", -16},
        {"-0x10", -16},
        {"2147483647", 2147483647},
        {"-2147483648", -2147483648LL},
        {"$7FFFFFFF", 2147483647},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(kbzStrToInt(c.text), c.value);
        EXPECT_EQ(kbzStrToInt64(c.text), c.value);
        EXPECT_EQ(kbzStrToIntDef(c.text, -7), c.value);
    }
}

TEST(kbzStrToInt, RejectsEverythingElseWithTheExactMessage)
{
    const char* const bad[] = {
        "",    "abc",        " 1",          "1 ",        "1a",
        "+",   "-",          "$",           "0x",        "1.5",
        "--1", "+-1",        "$g",          "0xg",       "1e3",
        "١",   "2147483648", "-2147483649", "$80000000", "99999999999999999999",
    };
    for (const char* text : bad)
    {
        SCOPED_TRACE(text);
        try
        {
            (void)kbzStrToInt(text);
            ADD_FAILURE() << "no error";
        }
        catch (const EConvertError& e)
        {
            EXPECT_EQ(e.Message(), "'" + std::string(text) + "' is not a valid integer value");
            EXPECT_EQ(e.ClassName(), "EConvertError");
        }
        EXPECT_EQ(kbzStrToIntDef(text, -7), -7);
    }
}

TEST(kbzStrToInt64, CoversTheWholeRangeAndNoMore)
{
    EXPECT_EQ(kbzStrToInt64("9223372036854775807"), std::numeric_limits<std::int64_t>::max());
    EXPECT_EQ(kbzStrToInt64("-9223372036854775808"), std::numeric_limits<std::int64_t>::min());
    EXPECT_EQ(kbzStrToInt64("2147483648"), 2147483648LL);
    EXPECT_THROW((void)kbzStrToInt64("9223372036854775808"), EConvertError);
    EXPECT_THROW((void)kbzStrToInt64("-9223372036854775809"), EConvertError);
    EXPECT_THROW((void)kbzStrToInt64("$10000000000000000"), EConvertError);
    EXPECT_EQ(kbzStrToInt64Def("x", 5), 5);
}

TEST(kbzValToInt, ReadsTheLeadingNumberAndIgnoresTheRest)
{
    struct Case
    {
        const char* text;
        int value;
    };
    const Case cases[] = {
        {"1000", 1000},
        {"  1000", 1000},
        {"\t-12", -12},
        {"+7", 7},
        {"1000abc", 1000},
        {"12 34", 12},
        {"1.9", 1},
        {"$1F", 31},
        {"0x1fz", 31},
        {"-$10", -16},
        {"", 0},
        {"abc", 0},
        {"-", 0},
        {"0x", 0},
        {"$", 0},
        {"99999999999999999999", std::numeric_limits<int>::max()},
        {"-99999999999999999999", std::numeric_limits<int>::min()},
        {"$FFFFFFFFFFFFFFFFFFFF", std::numeric_limits<int>::max()},
        {"2147483647", 2147483647},
        {"-2147483648", std::numeric_limits<int>::min()},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(kbzValToInt(c.text), c.value);
    }
}

// ---- Ticks -------------------------------------------------------------------------------------

TEST(kbzGetTickDiff, WrapsModulo2To32)
{
    struct Case
    {
        std::uint32_t old;
        std::uint32_t now;
        std::uint32_t diff;
    };
    const Case cases[] = {
        {0, 0, 0},           {100, 250, 150},     {0xFFFFFFF0u, 0x00000010u, 32},
        {0xFFFFFFFFu, 0, 1}, {1, 0, 0xFFFFFFFFu},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(::testing::Message() << c.old << " -> " << c.now);
        EXPECT_EQ(kbzGetTickDiff(c.old, c.now), c.diff);
    }
    const std::uint64_t first = kbzGetTicks();
    EXPECT_GE(kbzGetTicks(), first);
}

// ---- UTF-8 -------------------------------------------------------------------------------------

TEST(kbzUTF8, DecodingValidationAndUTF16Length)
{
    struct Case
    {
        const char* name;
        std::string bytes;
        bool valid;
        std::string decoded; // malformed pieces become U+FFFD
        std::size_t utf16;
    };
    const std::string fffd = "\xEF\xBF\xBD";
    const Case cases[] = {
        {"empty", "", true, "", 0},
        {"ascii", "abc", true, "abc", 3},
        {"two-byte", "Zo\xC3\xAB", true, "Zo\xC3\xAB", 3},
        {"three-byte euro", "\xE2\x82\xAC", true, "\xE2\x82\xAC", 1},
        {"four-byte needs a surrogate pair", "\xF0\x9F\x98\x80", true, "\xF0\x9F\x98\x80", 2},
        {"largest code point", "\xF4\x8F\xBF\xBF", true, "\xF4\x8F\xBF\xBF", 2},
        {"beyond U+10FFFF", "\xF4\x90\x80\x80", false, fffd + fffd + fffd + fffd, 4},
        {"overlong slash", "\xC0\xAF", false, fffd + fffd, 2},
        {"overlong three-byte", "\xE0\x80\xAF", false, fffd + fffd + fffd, 3},
        {"surrogate", "\xED\xA0\x80", false, fffd + fffd + fffd, 3},
        {"lone continuation", std::string("a\x80") + 'b', false, "a" + fffd + "b", 3},
        {"truncated at end", "a\xE2\x82", false, "a" + fffd, 3},
        {"truncated before ascii", "\xE2\x82z", false, fffd + "z", 3},
        {"latin-1 byte", "Zo\xEB", false, "Zo" + fffd, 3},
        {"embedded nul", std::string("a\0b", 3), true, std::string("a\0b", 3), 3},
        {"ascii past a word, then a pair", "abcdefghij\xF0\x9F\x98\x80k", true,
         "abcdefghij\xF0\x9F\x98\x80k", 13},
        {"a euro inside the first word",
         "abc\xE2\x82\xAC"
         "defghijkl",
         true,
         "abc\xE2\x82\xAC"
         "defghijkl",
         13},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(kbzIsValidUTF8(c.bytes), c.valid);
        EXPECT_EQ(kbzGetUTF8String(c.bytes), c.decoded);
        EXPECT_TRUE(kbzIsValidUTF8(kbzGetUTF8String(c.bytes)));
        EXPECT_EQ(kbzUTF16Length(c.bytes), c.utf16);
        EXPECT_EQ(kbzGetUTF8Bytes(c.bytes), TBytes(c.bytes.begin(), c.bytes.end()));
    }
}

TEST(kbzUTF8, StreamTextIgnoresAndKeepsThePosition)
{
    TkbzStringStream stream("h\xC3\xA9llo");
    stream.SetPosition(3);
    EXPECT_EQ(kbzGetStreamUTF8String(stream), "h\xC3\xA9llo");
    EXPECT_EQ(stream.Position(), 3);

    const auto path = std::filesystem::temp_directory_path() /
                      ("kbz_stream_text_" + std::to_string(::getpid()) + ".txt");
    {
        TkbzFileStream file(path.string(), TkbzFileMode::fmCreate);
        file.Write(std::string_view("file \xE2\x82\xAC"));
        EXPECT_EQ(kbzGetStreamUTF8String(file), "file \xE2\x82\xAC");
        EXPECT_EQ(file.Position(), 8);
    }
    std::filesystem::remove(path);
}

// ---- Byte and stream helpers --------------------------------------------------------------------

TEST(kbzBytes, AppendAndMoveClampToWhatExists)
{
    TBytes dst = {1, 2};
    kbzAppendBytes(TBytes{}, dst);
    EXPECT_EQ(dst, (TBytes{1, 2}));
    kbzAppendBytes(TBytes{3, 4}, dst);
    EXPECT_EQ(dst, (TBytes{1, 2, 3, 4}));

    struct Case
    {
        std::int64_t count;
        TBytes expected;
    };
    const TBytes source = {9, 8, 7};
    const Case cases[] = {
        {-1, {0, 0, 0, 0}}, {0, {0, 0, 0, 0}},   {2, {9, 8, 0, 0}},
        {3, {9, 8, 7, 0}},  {100, {9, 8, 7, 0}}, // only what the source has
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.count);
        TBytes target(4, 0);
        kbzMoveBytes(source, target, c.count);
        EXPECT_EQ(target, c.expected);
    }
    TBytes small(2, 0);
    kbzMoveBytes(source, small, 3); // never past the destination
    EXPECT_EQ(small, (TBytes{9, 8}));
    TBytes overlap = {1, 2, 3, 4, 5};
    kbzMoveBytes(overlap, std::span<std::uint8_t>(overlap).subspan(1), 4);
    EXPECT_EQ(overlap, (TBytes{1, 1, 2, 3, 4}));
}

TEST(kbzStreamKeepTail, KeepsTheLastBytesAndEndsAtTheirEnd)
{
    struct Case
    {
        std::int64_t count;
        std::string kept;
    };
    const Case cases[] = {{3, "def"}, {0, ""}, {6, "abcdef"}, {50, "abcdef"}, {-2, ""}};
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.count);
        TkbzMemoryStream stream;
        stream.Write(std::string_view("abcdef"));
        stream.SetPosition(1);
        kbzStreamKeepTail(stream, c.count);
        EXPECT_EQ(stream.DataString(), c.kept);
        EXPECT_EQ(stream.Position(), static_cast<std::int64_t>(c.kept.size()));
    }
}

// ---- Text helpers -------------------------------------------------------------------------------

TEST(kbzText, ReplaceContainsStartsAndTrim)
{
    EXPECT_EQ(kbzReplaceText("a-b-c", "-", "+-"), "a+-b+-c");
    EXPECT_EQ(kbzReplaceText("aaa", "aa", "b"), "ba");
    EXPECT_EQ(kbzReplaceText("Abc abc", "abc", "x"), "Abc x"); // case-sensitive
    EXPECT_EQ(kbzReplaceText("abc", "", "x"), "abc");
    EXPECT_EQ(kbzReplaceText("//host//", "/", ""), "host");

    struct Case
    {
        const char* text;
        const char* part;
        bool contains;
        bool starts;
    };
    const Case cases[] = {
        {"Upgrade: WebSocket", "upgrade: websocket", true, true},
        {"x Upgrade: websocket", "UPGRADE", true, false},
        {"abc", "", true, true},
        {"", "a", false, false},
        {"ab", "abc", false, false},
        {"\xC3\xA9t\xC3\xA9", "T", true, false},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(std::string(c.text) + " / " + c.part);
        EXPECT_EQ(kbzContainsText(c.text, c.part), c.contains);
        EXPECT_EQ(kbzStartsText(c.text, c.part), c.starts);
    }
    EXPECT_TRUE(kbzSameText("Content-LENGTH", "content-length"));
    EXPECT_FALSE(kbzSameText("Content-Length", "Content-Lengt"));
    EXPECT_EQ(kbzTrim(" \t a b \r\n"), "a b");
    EXPECT_EQ(kbzUpperCase("ab1\xC3\xA9"), "AB1\xC3\xA9");
    EXPECT_EQ(kbzLowerCase("AB1"), "ab1");
}

TEST(kbzMatchesMask, WildcardsIgnoringCase)
{
    struct Case
    {
        const char* text;
        const char* mask;
        bool matches;
    };
    const Case cases[] = {
        {"GET /chat HTTP/1.1", "GET *", true},
        {"get /chat HTTP/1.1", "GET *", true},
        {"GET", "GET *", false},
        {"GET ", "GET *", true},
        {"POST /kbz/xhr/abc HTTP/1.1", "POST /kbz/xhr/*", true},
        {"GET /a HTTP/1.1", "*HTTP/1.*", true},
        {"GET /a HTTP/2", "*HTTP/1.*", false},
        {"", "*", true},
        {"", "", true},
        {"a", "", false},
        {"", "?", false},
        {"abc", "a?c", true},
        {"ac", "a?c", false},
        {"a\xC3\xA9\x63", "a?c", true}, // "?" is one character, not one byte
        {"\xC3\xA9", "??", false},
        {"abcbcd", "*bcd", true},
        {"abcbce", "*bcd", false},
        {"mississippi", "m*iss*ppi", true},
        {"mississippi", "m*iss*ppx", false},
        {"https://app.example.org", "https://*.example.org", true},
        {"https://example.org", "https://*.example.org", false},
        {"a[b]", "a[b]", true}, // no other wildcard: brackets are literal
        {"ab", "a**b", true},
        {"text", "TEXT", true},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(std::string(c.text) + " ~ " + c.mask);
        EXPECT_EQ(kbzMatchesMask(c.text, c.mask), c.matches);
    }
}

TEST(kbzMatchesMask, AdversarialMasksFinish)
{
    // A backtracking matcher needs exponential time here; this one needs text x mask steps.
    const std::string text(20000, 'a');
    std::string mask;
    for (int i = 0; i < 40; ++i)
    {
        mask += "*a";
    }
    EXPECT_FALSE(kbzMatchesMask(text, mask + "*b"));
    EXPECT_TRUE(kbzMatchesMask(text, mask + "*"));
}

TEST(kbzGetApplicationPath, IsTheFolderOfThisProgram)
{
    const std::string path = kbzGetApplicationPath();
    ASSERT_FALSE(path.empty());
    EXPECT_EQ(path.back(), '/');
    EXPECT_TRUE(std::filesystem::exists(path + program_invocation_short_name)) << path;
}

// ---- Encoders, digests and identifiers ----------------------------------------------------------

TEST(kbzBase64, EncodesAndDecodesUTF8AndAnsiText)
{
    struct Case
    {
        const char* name;
        std::string text;
        bool utf8;
        const char* base64;
    };
    const Case cases[] = {
        {"empty", "", true, ""},
        {"one byte", "a", true, "YQ=="},
        {"two bytes", "ab", true, "YWI="},
        {"three bytes", "abc", true, "YWJj"},
        {"credentials", "user:pass", false, "dXNlcjpwYXNz"},
        {"utf8 text", "Zo\xC3\xAB", true, "Wm/Dqw=="},
        {"latin-1 text as ansi", "Zo\xC3\xAB", false, "Wm/r"},
        {"text beyond latin-1 stays utf8", "\xE2\x82\xAC", false, "4oKs"},
        {"digits 62 and 63", "\xC3\xBB\xC3\xBF", false, "+/8="},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(kbzEncodeBase64(c.text, c.utf8), c.base64);
        EXPECT_EQ(kbzDecodeBase64(c.base64), c.text);
    }
    // Line breaks and other characters outside the alphabet are skipped; "=" ends the data.
    EXPECT_EQ(kbzDecodeBase64("dXNl\r\ncjpw YXNz"), "user:pass");
    EXPECT_EQ(kbzDecodeBase64("YQ==YWJj"), "a");
    EXPECT_EQ(kbzDecodeBase64Bytes("AP8="), (TBytes{0x00, 0xFF}));
    EXPECT_EQ(kbzEncodeBase64Bytes(TBytes{0x00, 0xFF}), "AP8=");
}

TEST(kbzHex, PairsBase64FromHexAndDigests)
{
    struct Case
    {
        const char* hex;
        TBytes bytes;
        const char* base64;
    };
    const Case cases[] = {
        {"", {}, ""},
        {"61", {0x61}, "YQ=="},
        {"6162", {0x61, 0x62}, "YWI="},
        {"616263", {0x61, 0x62, 0x63}, "YWJj"},
        {"616", {0x61}, "YQ=="}, // a trailing odd digit is ignored
        {"00fFaB", {0x00, 0xFF, 0xAB}, "AP+r"},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.hex);
        EXPECT_EQ(kbzHexToBytes(c.hex), c.bytes);
        EXPECT_EQ(kbzHexToString(c.hex), std::string(c.bytes.begin(), c.bytes.end()));
        EXPECT_EQ(kbzEncodeBase64FromHex(c.hex), c.base64);
    }
    EXPECT_EQ(kbzBytesToHex(TBytes{0x00, 0xAB, 0x0F}), "00AB0F");

    for (const char* bad : {"0g", "zz00", "00 1", "+1"})
    {
        SCOPED_TRACE(bad);
        EXPECT_THROW((void)kbzHexToBytes(bad), EConvertError);
        EXPECT_THROW((void)kbzEncodeBase64FromHex(bad), EConvertError);
    }
    try
    {
        (void)kbzHexToBytes("61g1");
        ADD_FAILURE() << "no error";
    }
    catch (const EConvertError& e)
    {
        EXPECT_EQ(e.Message(), "'g1' is not a valid integer value");
    }

    EXPECT_EQ(kbzGetMD5Hex(""), "D41D8CD98F00B204E9800998ECF8427E");
    EXPECT_EQ(kbzGetMD5Hex("616263"), "900150983CD24FB0D6963F7D28E17F72");
    EXPECT_EQ(kbzGetSHA1Hex("abc"), "A9993E364706816ABA3E25717850C26C9CD0D89D");
    // The example key and answer of RFC 6455, section 1.3.
    EXPECT_EQ(kbzWebSocketAcceptKey("dGhlIHNhbXBsZSBub25jZQ=="), "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=");
}

TEST(kbzNewGuid, ThirtyTwoUpperHexDigitsAndFresh)
{
    std::set<std::string> seen;
    for (int i = 0; i < 50; ++i)
    {
        const std::string guid = kbzNewGuid();
        ASSERT_EQ(guid.size(), 32u);
        EXPECT_EQ(guid.find_first_not_of("0123456789ABCDEF"), std::string::npos) << guid;
        EXPECT_EQ(guid[12], '4') << guid; // random (version 4) identifier
        seen.insert(guid);
    }
    EXPECT_EQ(seen.size(), 50u);

    EXPECT_TRUE(kbzRandomBytes(0).empty());
    const TBytes a = kbzRandomBytes(32);
    ASSERT_EQ(a.size(), 32u);
    EXPECT_NE(a, kbzRandomBytes(32));
}

// ---- Dates -------------------------------------------------------------------------------------

TEST(kbzFormatDateTime, LocalTimeFields)
{
    std::tm local{};
    local.tm_year = 2023 - 1900;
    local.tm_mon = 0;
    local.tm_mday = 2;
    local.tm_hour = 3;
    local.tm_min = 4;
    local.tm_sec = 5;
    local.tm_isdst = -1;
    const auto time =
        std::chrono::system_clock::from_time_t(std::mktime(&local)) + std::chrono::milliseconds(7);
    struct Case
    {
        const char* format;
        const char* text;
    };
    const Case cases[] = {
        {"yyyymmddhhnnsszzz", "20230102030405007"},
        {"yyyy-mm-dd hh:nn:ss.zzz", "2023-01-02 03:04:05.007"},
        {"d/m/yy h:n:s z", "2/1/23 3:4:5 7"},
        {"", ""},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.format);
        EXPECT_EQ(kbzFormatDateTime(c.format, time), c.text);
    }
    const std::string ping = kbzNowAsPingText();
    EXPECT_EQ(ping.size(), 17u);
    EXPECT_EQ(ping.find_first_not_of("0123456789"), std::string::npos);
}

TEST(kbzGetResource, UnknownAndEmptyNames)
{
    EXPECT_EQ(kbzGetResourceText(""), "");
    EXPECT_THROW(kbzGetResourceText("no-such-file.js"), EResNotFound);
    TkbzMemoryStream stream;
    stream.Write("keep", 4);
    EXPECT_FALSE(kbzGetResourceStream("", stream));
    EXPECT_FALSE(kbzGetResourceStream("no-such-file.js", stream));
    EXPECT_EQ(stream.Size(), 4); // left alone
}

} // namespace
} // namespace kbz
