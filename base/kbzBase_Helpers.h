// Free helpers of the foundation: integer conversions, ticks, text and byte
// helpers, encoders, digests and identifiers. They keep no state.
#pragma once

#include <chrono>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kbz
{

// A growable byte array.
using TBytes = std::vector<std::uint8_t>;

class TkbzStream;
class TkbzMemoryStream;

// ---- Integer conversions ----------------------------------------------------------------------

// Strict conversions: an optional sign, then decimal digits, or "$"/"0x" followed by hexadecimal
// digits, and nothing else. Anything else (also empty text or a value out of range) raises
// EConvertError "'<s>' is not a valid integer value".
int kbzStrToInt(std::string_view s);
std::int64_t kbzStrToInt64(std::string_view s);
// Strict conversion that gives def where kbzStrToInt would raise.
int kbzStrToIntDef(std::string_view s, int def);
std::int64_t kbzStrToInt64Def(std::string_view s, std::int64_t def);
// Lenient conversion: leading blanks skipped, optional sign, "$" or "0x" selects hexadecimal, the
// digits up to the first other character are the value (none gives 0); saturates at the int range.
int kbzValToInt(std::string_view s);

// ---- Ticks -------------------------------------------------------------------------------------

// Monotonic milliseconds since an arbitrary start. Callers keep a start value truncated to 32 bits
// and compare kbzGetTickDiff(start, kbzGetTicks()) unsigned against a timeout.
std::uint64_t kbzGetTicks();
// (now - old) modulo 2^32, so a wrap of the 32-bit counter is harmless.
constexpr std::uint32_t kbzGetTickDiff(std::uint32_t old, std::uint32_t now)
{
    return now - old;
}

// ---- Text and bytes ----------------------------------------------------------------------------

// Text is UTF-8 throughout, so this is a plain copy of the bytes.
TBytes kbzGetUTF8Bytes(std::string_view text);
// UTF-8 decoding: malformed sequences become U+FFFD, so the result is always valid UTF-8.
std::string kbzGetUTF8String(std::span<const std::uint8_t> bytes);
std::string kbzGetUTF8String(std::string_view bytes);
// kbzGetUTF8String of the stream's whole content, independent of its position (which is kept).
std::string kbzGetStreamUTF8String(TkbzStream& stream);
std::string kbzGetStreamUTF8String(const TkbzMemoryStream& stream);
// Strict well-formedness (no overlong forms, surrogates or code points above U+10FFFF).
bool kbzIsValidUTF8(std::span<const std::uint8_t> bytes);
bool kbzIsValidUTF8(std::string_view bytes);
// Number of UTF-16 code units the UTF-8 text needs; a malformed byte counts as one unit.
std::size_t kbzUTF16Length(std::string_view utf8);
// The "ANSI" form of a text: one byte per character when every character is U+0000..U+00FF
// (Latin-1), otherwise the UTF-8 bytes unchanged.
TBytes kbzGetAnsiBytes(std::string_view text);
// Bytes back to text: valid UTF-8 is kept as it is, anything else is read as Latin-1.
std::string kbzGetAnsiString(std::span<const std::uint8_t> bytes);

// Appends source to destination; an empty source leaves it untouched.
void kbzAppendBytes(std::span<const std::uint8_t> source, TBytes& destination);
// Copies count bytes from the start of source to the start of destination; a count <= 0 does
// nothing and a count beyond either span is clamped to it. The spans may overlap.
void kbzMoveBytes(std::span<const std::uint8_t> source, std::span<std::uint8_t> destination,
                  std::int64_t count);
// Keeps only the last count bytes of the stream (count is clamped to 0..Size) and leaves the
// position at the new end.
void kbzStreamKeepTail(TkbzStream& stream, std::int64_t count);

// Every occurrence of from replaced by to, case-sensitive; an empty from changes nothing.
std::string kbzReplaceText(std::string_view text, std::string_view from, std::string_view to);
// Case-insensitive comparisons (ASCII letters fold; other bytes compare as they are).
bool kbzSameText(std::string_view a, std::string_view b);
bool kbzContainsText(std::string_view text, std::string_view sub);
bool kbzStartsText(std::string_view text, std::string_view prefix);
std::string kbzUpperCase(std::string_view text);
std::string kbzLowerCase(std::string_view text);
// Text without leading and trailing blanks and control characters.
std::string kbzTrim(std::string_view text);
// Case-insensitive match of the whole text against a mask: "*" any run of characters (also none),
// "?" exactly one character; everything else literal. Linear in practice: no backtracking blow-up.
bool kbzMatchesMask(std::string_view text, std::string_view mask);
// Folder of the running executable, with a trailing "/".
std::string kbzGetApplicationPath();

// Where the TLS library is to be loaded from. OpenSSL is linked into the program
// when it is built, so the folder is only recorded.
void kbzSetOpenSSLLibPath(std::string folder);
std::string kbzGetOpenSSLLibPath();
// The compiled-in data block of that name (the files of server/www): its bytes
// as text; an empty name gives an empty text; an unknown one raises
// EResNotFound "Resource <name> not found".
std::string kbzGetResourceText(std::string_view name);
// Replaces the stream's content with the data block and positions it at 0;
// false for an empty or unknown name.
bool kbzGetResourceStream(std::string_view name, TkbzStream& stream);

// ---- Encoders, digests and identifiers --------------------------------------------------------

// Base64 (RFC 4648 alphabet, "=" padding, no line breaks).
std::string kbzEncodeBase64Bytes(std::span<const std::uint8_t> bytes);
// Base64 of the text's UTF-8 bytes, or of its ANSI form (kbzGetAnsiBytes) when utf8 is false.
std::string kbzEncodeBase64(std::string_view text, bool utf8 = true);
// Base64 decoding; characters outside the alphabet are skipped and decoding stops at "=".
TBytes kbzDecodeBase64Bytes(std::string_view base64);
// Decoded bytes as text (kbzGetAnsiString: UTF-8 kept, other bytes read as Latin-1).
std::string kbzDecodeBase64(std::string_view base64);
// Upper-case hexadecimal of the bytes.
std::string kbzBytesToHex(std::span<const std::uint8_t> bytes);
// Length/2 bytes from pairs of hexadecimal digits (either case); a trailing odd digit is ignored;
// a pair that is not hexadecimal raises EConvertError.
TBytes kbzHexToBytes(std::string_view hex);
// The same bytes as a string of bytes.
std::string kbzHexToString(std::string_view hex);
// Base64 of the bytes the hex text spells: "616263" gives "YWJj".
std::string kbzEncodeBase64FromHex(std::string_view hex);
// MD5 of kbzHexToBytes(hex) as 32 upper-case hexadecimal digits.
std::string kbzGetMD5Hex(std::string_view hex);
// SHA-1 of the text's bytes as 40 upper-case hexadecimal digits.
std::string kbzGetSHA1Hex(std::string_view text);
// The Sec-WebSocket-Accept value for a Sec-WebSocket-Key.
std::string kbzWebSocketAcceptKey(std::string_view key);
// n bytes from the operating system's cryptographic generator.
TBytes kbzRandomBytes(std::size_t n);
// A random (version 4) GUID as 32 upper-case hexadecimal digits, without braces or hyphens.
std::string kbzNewGuid();

// ---- Dates -------------------------------------------------------------------------------------

// Formats a local time: "yyyy", "yy", "mm", "m", "dd", "d", "hh", "h", "nn", "n", "ss", "s",
// "zzz", "z"; any other character is copied.
std::string kbzFormatDateTime(std::string_view format, std::chrono::system_clock::time_point time);
// The current local time as "yyyymmddhhnnsszzz", the default payload of a ping.
std::string kbzNowAsPingText();

} // namespace kbz
