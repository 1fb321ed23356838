#include "base/kbzBase_Helpers.h"

#include "base/kbzBase_Classes.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <limits>
#include <mutex>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <sys/random.h>

namespace kbz
{

namespace detail
{

// The compiled-in files, defined in the source the build generates from server/www.
bool FindEmbeddedFile(std::string_view name, const std::uint8_t*& data, std::size_t& size);

int HexDigitValue(char c)
{
    if (c >= '0' && c <= '9')
    {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f')
    {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F')
    {
        return c - 'A' + 10;
    }
    return -1;
}

// Reads an optional sign, then an optional hexadecimal prefix ("$" or "0x"), from s at i.
void ReadSignAndBase(std::string_view s, std::size_t& i, bool& negative, unsigned& base)
{
    if (i < s.size() && (s[i] == '+' || s[i] == '-'))
    {
        negative = s[i] == '-';
        ++i;
    }
    if (i < s.size() && s[i] == '$')
    {
        base = 16;
        ++i;
    }
    else if (i + 1 < s.size() && s[i] == '0' && (s[i + 1] == 'x' || s[i + 1] == 'X'))
    {
        base = 16;
        i += 2;
    }
}

// Parses the strict integer grammar into the range [lo, hi]; false on any deviation.
bool ParseStrictInteger(std::string_view s, std::int64_t lo, std::int64_t hi, std::int64_t& out)
{
    std::size_t i = 0;
    bool negative = false;
    unsigned base = 10;
    ReadSignAndBase(s, i, negative, base);
    if (i >= s.size())
    {
        return false;
    }
    // The magnitude is gathered unsigned so that the most negative value still fits.
    const std::uint64_t limit =
        negative ? static_cast<std::uint64_t>(-(lo + 1)) + 1u : static_cast<std::uint64_t>(hi);
    std::uint64_t magnitude = 0;
    for (; i < s.size(); ++i)
    {
        const int d = HexDigitValue(s[i]);
        if (d < 0 || static_cast<unsigned>(d) >= base)
        {
            return false;
        }
        if (magnitude > (limit - static_cast<std::uint64_t>(d)) / base)
        {
            return false;
        }
        magnitude = magnitude * base + static_cast<std::uint64_t>(d);
    }
    if (negative)
    {
        out = magnitude == 0 ? 0 : -static_cast<std::int64_t>(magnitude - 1) - 1;
    }
    else
    {
        out = static_cast<std::int64_t>(magnitude);
    }
    return true;
}

[[noreturn]] void RaiseNotInteger(std::string_view s)
{
    throw EConvertError("'" + std::string(s) + "' is not a valid integer value");
}

} // namespace detail

int kbzStrToInt(std::string_view s)
{
    std::int64_t value = 0;
    if (!detail::ParseStrictInteger(s, std::numeric_limits<int>::min(),
                                    std::numeric_limits<int>::max(), value))
    {
        detail::RaiseNotInteger(s);
    }
    return static_cast<int>(value);
}

std::int64_t kbzStrToInt64(std::string_view s)
{
    std::int64_t value = 0;
    if (!detail::ParseStrictInteger(s, std::numeric_limits<std::int64_t>::min(),
                                    std::numeric_limits<std::int64_t>::max(), value))
    {
        detail::RaiseNotInteger(s);
    }
    return value;
}

int kbzStrToIntDef(std::string_view s, int def)
{
    std::int64_t value = 0;
    if (!detail::ParseStrictInteger(s, std::numeric_limits<int>::min(),
                                    std::numeric_limits<int>::max(), value))
    {
        return def;
    }
    return static_cast<int>(value);
}

std::int64_t kbzStrToInt64Def(std::string_view s, std::int64_t def)
{
    std::int64_t value = 0;
    if (!detail::ParseStrictInteger(s, std::numeric_limits<std::int64_t>::min(),
                                    std::numeric_limits<std::int64_t>::max(), value))
    {
        return def;
    }
    return value;
}

int kbzValToInt(std::string_view s)
{
    std::size_t i = 0;
    while (i < s.size() && (s[i] == ' ' || s[i] == '\t'))
    {
        ++i;
    }
    bool negative = false;
    unsigned base = 10;
    detail::ReadSignAndBase(s, i, negative, base);
    // Saturate rather than wrap: a huge code must not turn into a small or negative one.
    const std::uint64_t limit =
        negative ? static_cast<std::uint64_t>(std::numeric_limits<int>::max()) + 1u
                 : static_cast<std::uint64_t>(std::numeric_limits<int>::max());
    std::uint64_t magnitude = 0;
    for (; i < s.size(); ++i)
    {
        const int d = detail::HexDigitValue(s[i]);
        if (d < 0 || static_cast<unsigned>(d) >= base)
        {
            break;
        }
        magnitude = magnitude * base + static_cast<std::uint64_t>(d);
        if (magnitude > limit)
        {
            magnitude = limit;
        }
    }
    if (negative)
    {
        return static_cast<int>(-static_cast<std::int64_t>(magnitude));
    }
    return static_cast<int>(magnitude);
}

// ---- Ticks -------------------------------------------------------------------------------------

std::uint64_t kbzGetTicks()
{
    using namespace std::chrono;
    return static_cast<std::uint64_t>(
        duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

// ---- Text and bytes ----------------------------------------------------------------------------

namespace detail
{

// Length of the well-formed UTF-8 sequence at the start of p (1 to 4) with its code point in cp,
// or 0 when the bytes there are malformed; then bad holds the length of the malformed piece
// (the longest start of a valid sequence, at least 1).
std::size_t DecodeUTF8(const std::uint8_t* p, std::size_t n, char32_t& cp, std::size_t& bad)
{
    bad = 1;
    const std::uint8_t b0 = p[0];
    if (b0 < 0x80)
    {
        cp = b0;
        return 1;
    }
    std::size_t len = 0;
    std::uint8_t lo = 0x80;
    std::uint8_t hi = 0xBF;
    if (b0 >= 0xC2 && b0 <= 0xDF)
    {
        len = 2;
        cp = b0 & 0x1Fu;
    }
    else if (b0 >= 0xE0 && b0 <= 0xEF)
    {
        len = 3;
        cp = b0 & 0x0Fu;
        lo = b0 == 0xE0 ? 0xA0 : 0x80;
        hi = b0 == 0xED ? 0x9F : 0xBF;
    }
    else if (b0 >= 0xF0 && b0 <= 0xF4)
    {
        len = 4;
        cp = b0 & 0x07u;
        lo = b0 == 0xF0 ? 0x90 : 0x80;
        hi = b0 == 0xF4 ? 0x8F : 0xBF;
    }
    else
    {
        return 0;
    }
    for (std::size_t k = 1; k < len; ++k)
    {
        if (k >= n)
        {
            bad = k;
            return 0;
        }
        const std::uint8_t b = p[k];
        const std::uint8_t l = k == 1 ? lo : 0x80;
        const std::uint8_t h = k == 1 ? hi : 0xBF;
        if (b < l || b > h)
        {
            bad = k;
            return 0;
        }
        cp = (cp << 6) | (b & 0x3Fu);
    }
    return len;
}

void AppendUTF8(std::string& out, char32_t cp)
{
    if (cp < 0x80)
    {
        out += static_cast<char>(cp);
    }
    else if (cp < 0x800)
    {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
    else if (cp < 0x10000)
    {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
    else
    {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

std::span<const std::uint8_t> AsBytes(std::string_view s)
{
    return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

// Length in bytes of the character at text[i]: its UTF-8 sequence, or 1 for a malformed byte.
std::size_t CharLength(std::string_view text, std::size_t i)
{
    char32_t cp = 0;
    std::size_t bad = 0;
    const std::size_t len = DecodeUTF8(reinterpret_cast<const std::uint8_t*>(text.data()) + i,
                                       text.size() - i, cp, bad);
    return len == 0 ? 1 : len;
}

char FoldCase(char c)
{
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool IsBlank(char c)
{
    return static_cast<unsigned char>(c) <= ' ';
}

} // namespace detail

TBytes kbzGetUTF8Bytes(std::string_view text)
{
    return TBytes(text.begin(), text.end());
}

std::string kbzGetUTF8String(std::span<const std::uint8_t> bytes)
{
    std::string out;
    out.reserve(bytes.size());
    std::size_t i = 0;
    while (i < bytes.size())
    {
        char32_t cp = 0;
        std::size_t bad = 0;
        const std::size_t len = detail::DecodeUTF8(bytes.data() + i, bytes.size() - i, cp, bad);
        if (len == 0)
        {
            detail::AppendUTF8(out, U'\uFFFD');
            i += bad;
            continue;
        }
        out.append(reinterpret_cast<const char*>(bytes.data() + i), len);
        i += len;
    }
    return out;
}

std::string kbzGetUTF8String(std::string_view bytes)
{
    return kbzGetUTF8String(detail::AsBytes(bytes));
}

std::string kbzGetStreamUTF8String(const TkbzMemoryStream& stream)
{
    return kbzGetUTF8String(std::span<const std::uint8_t>(stream.Bytes()));
}

std::string kbzGetStreamUTF8String(TkbzStream& stream)
{
    if (const auto* memory = dynamic_cast<const TkbzMemoryStream*>(&stream))
    {
        return kbzGetStreamUTF8String(*memory);
    }
    const std::int64_t position = stream.Position();
    stream.SetPosition(0);
    const TBytes bytes = stream.ReadBytes();
    stream.SetPosition(position);
    return kbzGetUTF8String(bytes);
}

bool kbzIsValidUTF8(std::span<const std::uint8_t> bytes)
{
    std::size_t i = 0;
    while (i < bytes.size())
    {
        char32_t cp = 0;
        std::size_t bad = 0;
        const std::size_t len = detail::DecodeUTF8(bytes.data() + i, bytes.size() - i, cp, bad);
        if (len == 0)
        {
            return false;
        }
        i += len;
    }
    return true;
}

bool kbzIsValidUTF8(std::string_view bytes)
{
    return kbzIsValidUTF8(detail::AsBytes(bytes));
}

std::size_t kbzUTF16Length(std::string_view utf8)
{
    const auto bytes = detail::AsBytes(utf8);
    std::size_t units = 0;
    std::size_t i = 0;
    while (i < bytes.size())
    {
        // ASCII runs, eight bytes at a time: one unit each (most texts are all of it).
        while (i + 8 <= bytes.size())
        {
            std::uint64_t word = 0;
            std::memcpy(&word, bytes.data() + i, 8);
            if ((word & 0x8080808080808080ULL) != 0)
            {
                break;
            }
            units += 8;
            i += 8;
        }
        if (i >= bytes.size())
        {
            break;
        }
        if (bytes[i] < 0x80)
        {
            ++units;
            ++i;
            continue;
        }
        char32_t cp = 0;
        std::size_t bad = 0;
        const std::size_t len = detail::DecodeUTF8(bytes.data() + i, bytes.size() - i, cp, bad);
        if (len == 0)
        {
            ++units;
            ++i;
            continue;
        }
        units += cp >= 0x10000 ? 2 : 1;
        i += len;
    }
    return units;
}

TBytes kbzGetAnsiBytes(std::string_view text)
{
    const auto bytes = detail::AsBytes(text);
    TBytes out;
    out.reserve(bytes.size());
    std::size_t i = 0;
    while (i < bytes.size())
    {
        char32_t cp = 0;
        std::size_t bad = 0;
        const std::size_t len = detail::DecodeUTF8(bytes.data() + i, bytes.size() - i, cp, bad);
        if (len == 0 || cp > 0xFF)
        {
            return TBytes(bytes.begin(), bytes.end());
        }
        out.push_back(static_cast<std::uint8_t>(cp));
        i += len;
    }
    return out;
}

std::string kbzGetAnsiString(std::span<const std::uint8_t> bytes)
{
    if (kbzIsValidUTF8(bytes))
    {
        return std::string(bytes.begin(), bytes.end());
    }
    std::string out;
    out.reserve(bytes.size() * 2);
    for (std::uint8_t b : bytes)
    {
        detail::AppendUTF8(out, b);
    }
    return out;
}

void kbzAppendBytes(std::span<const std::uint8_t> source, TBytes& destination)
{
    if (!source.empty())
    {
        destination.insert(destination.end(), source.begin(), source.end());
    }
}

void kbzMoveBytes(std::span<const std::uint8_t> source, std::span<std::uint8_t> destination,
                  std::int64_t count)
{
    if (count <= 0)
    {
        return;
    }
    const std::size_t n =
        std::min({static_cast<std::size_t>(count), source.size(), destination.size()});
    if (n > 0)
    {
        std::memmove(destination.data(), source.data(), n);
    }
}

void kbzStreamKeepTail(TkbzStream& stream, std::int64_t count)
{
    const std::int64_t size = stream.Size();
    count = std::clamp<std::int64_t>(count, 0, size);
    stream.SetPosition(size - count);
    const TBytes tail = stream.ReadBytes(static_cast<std::size_t>(count));
    stream.SetSize(count);
    stream.SetPosition(0);
    stream.Write(tail);
}

std::string kbzReplaceText(std::string_view text, std::string_view from, std::string_view to)
{
    if (from.empty())
    {
        return std::string(text);
    }
    std::string out;
    std::size_t start = 0;
    for (std::size_t hit = text.find(from); hit != std::string_view::npos;
         hit = text.find(from, start))
    {
        out.append(text.substr(start, hit - start));
        out.append(to);
        start = hit + from.size();
    }
    out.append(text.substr(start));
    return out;
}

bool kbzSameText(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
    {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i)
    {
        if (detail::FoldCase(a[i]) != detail::FoldCase(b[i]))
        {
            return false;
        }
    }
    return true;
}

bool kbzContainsText(std::string_view text, std::string_view sub)
{
    if (sub.size() > text.size())
    {
        return false;
    }
    for (std::size_t i = 0; i + sub.size() <= text.size(); ++i)
    {
        if (kbzSameText(text.substr(i, sub.size()), sub))
        {
            return true;
        }
    }
    return false;
}

bool kbzStartsText(std::string_view text, std::string_view prefix)
{
    return text.size() >= prefix.size() && kbzSameText(text.substr(0, prefix.size()), prefix);
}

std::string kbzUpperCase(std::string_view text)
{
    std::string out(text);
    for (char& c : out)
    {
        if (c >= 'a' && c <= 'z')
        {
            c = static_cast<char>(c - 'a' + 'A');
        }
    }
    return out;
}

std::string kbzLowerCase(std::string_view text)
{
    std::string out(text);
    for (char& c : out)
    {
        c = detail::FoldCase(c);
    }
    return out;
}

std::string kbzTrim(std::string_view text)
{
    std::size_t b = 0;
    std::size_t e = text.size();
    while (b < e && detail::IsBlank(text[b]))
    {
        ++b;
    }
    while (e > b && detail::IsBlank(text[e - 1]))
    {
        --e;
    }
    return std::string(text.substr(b, e - b));
}

bool kbzMatchesMask(std::string_view text, std::string_view mask)
{
    // Greedy matching that remembers only the last "*": on a mismatch the star takes one more
    // character and matching resumes after it. At most text x mask steps, whatever the mask.
    std::size_t t = 0;
    std::size_t m = 0;
    std::size_t starMask = std::string_view::npos;
    std::size_t starText = 0;
    while (t < text.size())
    {
        if (m < mask.size() && mask[m] == '*')
        {
            starMask = m++;
            starText = t;
        }
        else if (m < mask.size() && mask[m] == '?')
        {
            t += detail::CharLength(text, t);
            ++m;
        }
        else if (m < mask.size() && detail::FoldCase(mask[m]) == detail::FoldCase(text[t]))
        {
            ++t;
            ++m;
        }
        else if (starMask != std::string_view::npos)
        {
            starText += detail::CharLength(text, starText);
            t = starText;
            m = starMask + 1;
        }
        else
        {
            return false;
        }
    }
    while (m < mask.size() && mask[m] == '*')
    {
        ++m;
    }
    return m == mask.size();
}

std::string kbzGetApplicationPath()
{
    std::error_code ec;
    const std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    std::filesystem::path dir = ec ? std::filesystem::current_path(ec) : exe.parent_path();
    std::string out = dir.string();
    if (out.empty() || out.back() != '/')
    {
        out += '/';
    }
    return out;
}

namespace
{
std::mutex& OpenSSLPathLock()
{
    static std::mutex lock;
    return lock;
}
std::string& OpenSSLPath()
{
    static std::string path;
    return path;
}
} // namespace

void kbzSetOpenSSLLibPath(std::string folder)
{
    std::lock_guard guard(OpenSSLPathLock());
    OpenSSLPath() = std::move(folder);
}

std::string kbzGetOpenSSLLibPath()
{
    std::lock_guard guard(OpenSSLPathLock());
    return OpenSSLPath();
}

std::string kbzGetResourceText(std::string_view name)
{
    if (name.empty())
    {
        return {};
    }
    const std::uint8_t* data = nullptr;
    std::size_t size = 0;
    if (!detail::FindEmbeddedFile(name, data, size))
    {
        throw EResNotFound("Resource " + std::string(name) + " not found");
    }
    return std::string(reinterpret_cast<const char*>(data), size);
}

bool kbzGetResourceStream(std::string_view name, TkbzStream& stream)
{
    const std::uint8_t* data = nullptr;
    std::size_t size = 0;
    if (name.empty() || !detail::FindEmbeddedFile(name, data, size))
    {
        return false;
    }
    stream.SetSize(0);
    stream.SetPosition(0);
    stream.Write(data, size);
    stream.SetPosition(0);
    return true;
}

// ---- Encoders, digests and identifiers --------------------------------------------------------

namespace
{
constexpr char kBase64Alphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int Base64Value(char c)
{
    if (c >= 'A' && c <= 'Z')
    {
        return c - 'A';
    }
    if (c >= 'a' && c <= 'z')
    {
        return c - 'a' + 26;
    }
    if (c >= '0' && c <= '9')
    {
        return c - '0' + 52;
    }
    if (c == '+')
    {
        return 62;
    }
    if (c == '/')
    {
        return 63;
    }
    return -1;
}

TBytes Digest(const EVP_MD* md, std::span<const std::uint8_t> bytes)
{
    TBytes out(EVP_MAX_MD_SIZE);
    unsigned int len = 0;
    if (EVP_Digest(bytes.data(), bytes.size(), out.data(), &len, md, nullptr) != 1)
    {
        throw Exception("Digest computation failed");
    }
    out.resize(len);
    return out;
}
} // namespace

std::string kbzEncodeBase64Bytes(std::span<const std::uint8_t> bytes)
{
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    std::size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3)
    {
        const std::uint32_t v =
            (std::uint32_t{bytes[i]} << 16) | (std::uint32_t{bytes[i + 1]} << 8) | bytes[i + 2];
        out += kBase64Alphabet[(v >> 18) & 63];
        out += kBase64Alphabet[(v >> 12) & 63];
        out += kBase64Alphabet[(v >> 6) & 63];
        out += kBase64Alphabet[v & 63];
    }
    const std::size_t rest = bytes.size() - i;
    if (rest == 1)
    {
        const std::uint32_t v = std::uint32_t{bytes[i]} << 16;
        out += kBase64Alphabet[(v >> 18) & 63];
        out += kBase64Alphabet[(v >> 12) & 63];
        out += "==";
    }
    else if (rest == 2)
    {
        const std::uint32_t v =
            (std::uint32_t{bytes[i]} << 16) | (std::uint32_t{bytes[i + 1]} << 8);
        out += kBase64Alphabet[(v >> 18) & 63];
        out += kBase64Alphabet[(v >> 12) & 63];
        out += kBase64Alphabet[(v >> 6) & 63];
        out += '=';
    }
    return out;
}

std::string kbzEncodeBase64(std::string_view text, bool utf8)
{
    if (utf8)
    {
        return kbzEncodeBase64Bytes(detail::AsBytes(text));
    }
    return kbzEncodeBase64Bytes(kbzGetAnsiBytes(text));
}

TBytes kbzDecodeBase64Bytes(std::string_view base64)
{
    TBytes out;
    out.reserve(base64.size() / 4 * 3 + 2);
    std::uint32_t acc = 0;
    int bits = 0;
    for (char c : base64)
    {
        if (c == '=')
        {
            break;
        }
        const int v = Base64Value(c);
        if (v < 0)
        {
            continue;
        }
        acc = (acc << 6) | static_cast<std::uint32_t>(v);
        bits += 6;
        if (bits >= 8)
        {
            bits -= 8;
            out.push_back(static_cast<std::uint8_t>((acc >> bits) & 0xFF));
        }
    }
    return out;
}

std::string kbzDecodeBase64(std::string_view base64)
{
    return kbzGetAnsiString(kbzDecodeBase64Bytes(base64));
}

std::string kbzBytesToHex(std::span<const std::uint8_t> bytes)
{
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(bytes.size() * 2);
    for (std::uint8_t b : bytes)
    {
        out += kDigits[b >> 4];
        out += kDigits[b & 15];
    }
    return out;
}

TBytes kbzHexToBytes(std::string_view hex)
{
    TBytes out;
    out.reserve(hex.size() / 2);
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
    {
        const int hi = detail::HexDigitValue(hex[i]);
        const int lo = detail::HexDigitValue(hex[i + 1]);
        if (hi < 0 || lo < 0)
        {
            detail::RaiseNotInteger(hex.substr(i, 2));
        }
        out.push_back(static_cast<std::uint8_t>(hi * 16 + lo));
    }
    return out;
}

std::string kbzHexToString(std::string_view hex)
{
    const TBytes bytes = kbzHexToBytes(hex);
    return std::string(bytes.begin(), bytes.end());
}

std::string kbzEncodeBase64FromHex(std::string_view hex)
{
    return kbzEncodeBase64Bytes(kbzHexToBytes(hex));
}

std::string kbzGetMD5Hex(std::string_view hex)
{
    return kbzBytesToHex(Digest(EVP_md5(), kbzHexToBytes(hex)));
}

std::string kbzGetSHA1Hex(std::string_view text)
{
    return kbzBytesToHex(Digest(EVP_sha1(), detail::AsBytes(text)));
}

std::string kbzWebSocketAcceptKey(std::string_view key)
{
    return kbzEncodeBase64FromHex(
        kbzGetSHA1Hex(std::string(key) + "258EAFA5-E914-47DA-95CA-C5AB0DC85B11"));
}

TBytes kbzRandomBytes(std::size_t n)
{
    TBytes out(n);
    std::size_t done = 0;
    while (done < n)
    {
        const int chunk = static_cast<int>(std::min<std::size_t>(n - done, 1 << 20));
        if (RAND_bytes(out.data() + done, chunk) == 1)
        {
            done += static_cast<std::size_t>(chunk);
            continue;
        }
        // OpenSSL could not seed itself: ask the kernel directly.
        const ssize_t got = ::getrandom(out.data() + done, static_cast<std::size_t>(chunk), 0);
        if (got < 0 && errno == EINTR)
        {
            continue;
        }
        if (got <= 0)
        {
            throw Exception("No random bytes available from the operating system");
        }
        done += static_cast<std::size_t>(got);
    }
    return out;
}

std::string kbzNewGuid()
{
    TBytes b = kbzRandomBytes(16);
    b[6] = static_cast<std::uint8_t>((b[6] & 0x0F) | 0x40); // version 4
    b[8] = static_cast<std::uint8_t>((b[8] & 0x3F) | 0x80); // RFC 4122 variant
    return kbzBytesToHex(b);
}

// ---- Dates -------------------------------------------------------------------------------------

std::string kbzFormatDateTime(std::string_view format, std::chrono::system_clock::time_point time)
{
    using namespace std::chrono;
    const auto sinceEpoch = time.time_since_epoch();
    const auto secs = floor<seconds>(sinceEpoch);
    const int millis = static_cast<int>(duration_cast<milliseconds>(sinceEpoch - secs).count());
    const std::time_t tt = static_cast<std::time_t>(secs.count());
    std::tm tm{};
    localtime_r(&tt, &tm);

    auto number = [](int value, int width) {
        std::string digits = std::to_string(value);
        if (static_cast<int>(digits.size()) < width)
        {
            digits.insert(0, static_cast<std::size_t>(width) - digits.size(), '0');
        }
        return digits;
    };
    std::string out;
    std::size_t i = 0;
    while (i < format.size())
    {
        const char c = detail::FoldCase(format[i]);
        std::size_t run = 1;
        while (i + run < format.size() && detail::FoldCase(format[i + run]) == c)
        {
            ++run;
        }
        switch (c)
        {
        case 'y':
            out += run >= 3 ? number(tm.tm_year + 1900, 4) : number((tm.tm_year + 1900) % 100, 2);
            break;
        case 'm':
            out += number(tm.tm_mon + 1, run >= 2 ? 2 : 1);
            break;
        case 'd':
            out += number(tm.tm_mday, run >= 2 ? 2 : 1);
            break;
        case 'h':
            out += number(tm.tm_hour, run >= 2 ? 2 : 1);
            break;
        case 'n':
            out += number(tm.tm_min, run >= 2 ? 2 : 1);
            break;
        case 's':
            out += number(tm.tm_sec, run >= 2 ? 2 : 1);
            break;
        case 'z':
            out += number(millis, run >= 2 ? 3 : 1);
            break;
        default:
            out.append(format.substr(i, run));
            break;
        }
        i += run;
    }
    return out;
}

std::string kbzNowAsPingText()
{
    return kbzFormatDateTime("yyyymmddhhnnsszzz", std::chrono::system_clock::now());
}

} // namespace kbz
